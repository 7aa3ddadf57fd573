// The name prompt as its callers and its user meet it: the variables in, keys and pastes, OK,
// Cancel, Esc and the close box, the variables out.
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "prompt/frm_input_box.h"
#include "shared/mod_global.h"

namespace {

// The prompt with its refusal message counted instead of shown.
class ScriptedInputBox : public prompt::frmInputBox {
 public:
  using prompt::frmInputBox::frmInputBox;
  int refusals = 0;

 protected:
  void showInvalidCharsMessage() override { ++refusals; }
};

// What the genre dialog sets before asking for a name, with leftovers of an earlier use in
// the results, which the load must clear.
void setGenreNameVariables(const std::string& defaultText) {
  modGlobal::InputTitle = "New Parent Genre";
  modGlobal::InputPrompt = "Parent Genre Name:";
  modGlobal::InputDefault = defaultText;
  modGlobal::InputOKCaption = "&OK";
  modGlobal::InputCancelCaption = "&Cancel";
  modGlobal::InputInvalidChars = "\"";
  modGlobal::InputMaxLength = 50;
  modGlobal::InputAllowEmpty = false;
  modGlobal::InputOK = true;
  modGlobal::InputResult = "left over";
}

void showAndActivate(QWidget& w) {
  w.show();
  QVERIFY(QTest::qWaitForWindowActive(&w));
}

}  // namespace

class FrmInputBoxTest : public QObject {
  Q_OBJECT

 private slots:
  // The load takes the variables and clears the result. A default longer than the limit (a
  // derived sub genre name) is shown whole, comes back whole at OK without an edit, cannot grow.
  void loadTakesTheVariablesAndClearsTheResult() {
    const QString sixty(60, QChar('s'));
    setGenreNameVariables(sixty.toStdString());
    modGlobal::InputTitle = "Rename Sub Genre";
    modGlobal::InputPrompt = "Sub Genre Name:";
    ScriptedInputBox box;
    QCOMPARE(box.windowTitle(), QString("Rename Sub Genre"));
    QCOMPARE(box.lblPrompt->text(), QString("Sub Genre Name:"));
    QCOMPARE(box.cmdOK->text(), QString("&OK"));
    QCOMPARE(box.cmdCancel->text(), QString("&Cancel"));
    QCOMPARE(box.txtInput->text(), sixty);
    QVERIFY(box.cmdOK->isEnabled());
    QVERIFY(box.cmdOK->isDefault());
    QVERIFY(!modGlobal::InputOK);
    QCOMPARE(modGlobal::InputResult, std::string());
    QCOMPARE(box.txtInput->echoMode(), QLineEdit::Normal);
    box.txtInput->end(false);
    QTest::keyClicks(box.txtInput, "x");
    QCOMPARE(box.txtInput->text(), sixty);
    QTest::mouseClick(box.cmdOK, Qt::LeftButton);
    QVERIFY(modGlobal::InputOK);
    QCOMPARE(modGlobal::InputResult, sixty.toStdString());
    // A password is typed unseen; with a shorter default the limit is the caller's.
    modGlobal::InputMasked = true;
    modGlobal::InputDefault = "Strategy";
    ScriptedInputBox masked;
    modGlobal::InputMasked = false;
    QCOMPARE(masked.txtInput->echoMode(), QLineEdit::Password);
    QCOMPARE(masked.txtInput->maxLength(), 50);
  }

  // Typed characters that the caller forbids are dropped; OK follows the text unless empty
  // answers are allowed. The variables are read once, when the prompt loads.
  void keyFilterAndOkFollowTheVariablesAsLoaded_data() {
    QTest::addColumn<QString>("forbidden");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("allowEmpty");
    QTest::newRow("double quote") << "\"" << "Str\"at\"egy\"" << "Strategy" << false;
    QTest::newRow("no check, empty allowed") << "" << "say \"hi\"" << "say \"hi\"" << true;
    QTest::newRow("case matters") << "xY" << "xXyY" << "Xy" << false;
    QTest::newRow("several") << "/\\:" << "a/b\\c:d" << "abcd" << false;
  }
  void keyFilterAndOkFollowTheVariablesAsLoaded() {
    QFETCH(QString, forbidden);
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    QFETCH(bool, allowEmpty);
    setGenreNameVariables("");
    modGlobal::InputInvalidChars = forbidden.toStdString();
    modGlobal::InputAllowEmpty = allowEmpty;
    ScriptedInputBox box;
    showAndActivate(box);
    modGlobal::InputInvalidChars = "";
    modGlobal::InputAllowEmpty = !allowEmpty;
    modGlobal::InputDefault = "Sport";
    QCOMPARE(box.cmdOK->isEnabled(), allowEmpty);
    QTest::keyClicks(box.txtInput, typed);
    QCOMPARE(box.txtInput->text(), expected);
    QCOMPARE(box.refusals, 0);
    QVERIFY(box.cmdOK->isEnabled());
    box.txtInput->clear();
    QCOMPARE(box.cmdOK->isEnabled(), allowEmpty);
    // Enter takes the empty answer only where it is allowed.
    QTest::keyClick(box.txtInput, Qt::Key_Return);
    QCOMPARE(modGlobal::InputOK, allowEmpty);
    QCOMPARE(modGlobal::InputResult, std::string());
  }

  // A pasted forbidden character is refused at OK by the real message box (its own title, the
  // exclamation icon), shown over the prompt, which stays open.
  void pastedForbiddenCharacterIsRefusedThenTypedTextComesBackUnchanged() {
    setGenreNameVariables("");
    prompt::frmInputBox box;
    showAndActivate(box);
    QStringList refusals;  // title|text|icon|shown over the visible prompt
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
      if (auto* message = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        refusals << QString("%1|%2|%3|%4").arg(message->windowTitle(), message->text())
                        .arg(message->icon())
                        .arg(box.isVisible() && message->parentWidget() == &box);
        message->accept();
      }
    });
    answer.start(10);
    QApplication::clipboard()->setText("Strategy \"War\"");
    box.txtInput->paste();
    if (box.txtInput->text().isEmpty()) box.txtInput->insert("Strategy \"War\"");  // no clipboard
    QCOMPARE(box.txtInput->text(), QString("Strategy \"War\""));

    QTest::mouseClick(box.cmdOK, Qt::LeftButton);
    QCOMPARE(refusals, QStringList{QString("LVToolbox|You have entered one or more invalid "
                                           "characters!|%1|1").arg(QMessageBox::Warning)});
    QVERIFY(box.isVisible());
    QVERIFY(!modGlobal::InputOK);
    QCOMPARE(modGlobal::InputResult, std::string());
    // The dialog's focus child: offscreen, no window is made active again after the box.
    QCOMPARE(box.focusWidget(), box.txtInput);

    // Corrected, the same dialog accepts at Enter, and blanks and a letter beyond ASCII come
    // back as typed. QTest types only ASCII by character; the accented letter comes as a key
    // with its text.
    box.txtInput->clear();
    QTest::keyClicks(box.txtInput, "  Jeux d'");
    QTest::sendKeyEvent(QTest::Click, box.txtInput, Qt::Key_Eacute, QString(QChar(0xE9)),
                        Qt::NoModifier);
    QTest::keyClicks(box.txtInput, "checs  ");
    QTest::keyClick(box.txtInput, Qt::Key_Return);
    QCOMPARE(refusals.size(), 1);
    QVERIFY(modGlobal::InputOK);
    QCOMPARE(modGlobal::InputResult, std::string("  Jeux d'\xC3\xA9" "checs  "));
    QCOMPARE(box.result(), int(QDialog::Accepted));
    QVERIFY(!box.isVisible());
  }

  void cancelEscAndCloseBoxReturnNothing_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Cancel button") << "cancel";
    QTest::newRow("Enter on the focused Cancel button") << "enter";
    QTest::newRow("Esc") << "esc";
    QTest::newRow("close box") << "close";
  }
  void cancelEscAndCloseBoxReturnNothing() {
    QFETCH(QString, how);
    setGenreNameVariables("Strategy");
    ScriptedInputBox box;
    showAndActivate(box);
    // The default is selected, so that typing replaces it.
    QCOMPARE(QApplication::focusWidget(), box.txtInput);
    QCOMPARE(box.txtInput->selectedText(), QString("Strategy"));
    QTest::keyClicks(box.txtInput, "War");
    QCOMPARE(box.txtInput->text(), QString("War"));
    if (how == "cancel") QTest::mouseClick(box.cmdCancel, Qt::LeftButton);
    else if (how == "enter") box.cmdCancel->setFocus(), QTest::keyClick(box.cmdCancel, Qt::Key_Return);
    else if (how == "esc") QTest::keyClick(box.txtInput, Qt::Key_Escape);
    else QVERIFY(box.close());
    QVERIFY(!box.isVisible());
    QCOMPARE(box.result(), int(QDialog::Rejected));
    QVERIFY(!modGlobal::InputOK);
    QCOMPARE(modGlobal::InputResult, std::string());
  }
};

QTEST_MAIN(FrmInputBoxTest)
#include "frm_input_box_test.moc"
