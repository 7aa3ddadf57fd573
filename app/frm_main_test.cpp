// The main window driven by clicks, headless: loading, the two Select buttons against real
// files, links and catalogues, Start's refusals, and whole conversions through the real run and
// engine. The file dialog and message boxes are answered by ScriptedDialogs.
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <memory>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>
#include <QWindow>
#include <QtTest>

#include "app/dialogs.h"
#include "app/frm_main.h"
#include "app/genre_phase.h"
#include "app/path_label.h"
#include "convert/genre_model.h"
#include "convert/test_sources.h"
#include "db/file_io.h"
#include "db/recordset.h"
#include "genres/frm_genres.h"
#include "prompt/frm_input_box.h"

using convert::MessageIcon;
Q_DECLARE_METATYPE(convert::MessageIcon)

namespace {

const QString kTitle = QStringLiteral("Ludovane Database Converter");
const QString kSourcePlaceholder = QStringLiteral("[Current Kestrel v1.3b Database File]");
const QString kDestPlaceholder = QStringLiteral("[New LV Destination Database File]");
const QString kMustDiffer = QStringLiteral("Source and Destination files must be different!");
// Each is followed by the engine's or the system's reason.
const QString kNotValid =
    QStringLiteral("The selected file is not a valid Kestrel v1.3b database!\r\n\r\n");
const QString kAlreadyNew = QStringLiteral(
    "The selected file is already a Ludovane database of the new release: it needs no "
    "conversion.");
const QString kCannotCreate = QStringLiteral("Unable to create the new database file\r\n\r\n");
const QString kCannotConvert = QStringLiteral("Could not convert the database!\r\n\r\n");

struct Message { QString title, text; MessageIcon icon; };

// Answers the file dialog from a queue ("" cancels) and records what was asked and shown.
class ScriptedDialogs : public app::Dialogs {
 public:
  QStringList files;
  QList<app::FileDialogSettings> asked;
  QList<Message> messages;

  QString chooseFile(QWidget*, const app::FileDialogSettings& settings) override {
    asked.append(settings);
    return files.isEmpty() ? QString() : files.takeFirst();
  }
  void showMessage(QWidget*, const QString& title, const QString& text, MessageIcon icon) override {
    messages.append({title, text, icon});
  }
  void showMessageWithDetails(QWidget* owner, const QString& title, const QString& text, MessageIcon icon,
                              const QString& shown) override {
    showMessage(owner, title, text, icon);
    details.append(shown);
  }
  QStringList details;  // of the messages shown with details
  QString askPassword(QWidget*, const QString& file) override {
    passwordsAskedFor << file;
    return passwords.isEmpty() ? QString() : passwords.takeFirst();
  }
  QStringList passwords;  // answers to the password prompt; none left: Cancel
  QStringList passwordsAskedFor;
  bool askYesNo(QWidget*, const QString& title, const QString& text) override {
    questions << title + ": " + text;
    return !yesNo.isEmpty() && yesNo.takeFirst();
  }
  QList<bool> yesNo;  // answers to questions; none left: No
  QStringList questions;
};

// The genre phase as a finished OK of the genre dialog leaves it: the suggested grouping written.
std::optional<convert::GenreIdMap> writeSuggestedGenres(app::frmMain& owner) {
  return convert::WriteSuggestedGenres(owner.sourcePath(), owner.workPath());
}

// Sets or clears the immutable attribute, which stops even root from deleting a file.
bool setImmutable(const QString& path, bool on) { return db::io::setImmutable(path.toStdString(), on) == 0; }

// A path as the window shows it: in the system's own separators.
QString shown(const QString& path) { return QDir::toNativeSeparators(path); }

}  // namespace

class frmMainTest : public QObject {
  Q_OBJECT

  QTemporaryDir suite_;
  QString sampleCatalogue_;
  std::unique_ptr<QTemporaryDir> scratch_;
  ScriptedDialogs dialogs_;
  std::unique_ptr<app::frmMain> window_;
  std::unique_ptr<QSignalSpy> ended_;  // the window's programEnded
  QString immutableFile_;

  QString programFolder() const { return scratch_->filePath(QStringLiteral("program/")); }
  QString path(const QString& name) const { return scratch_->filePath(name); }
  QPushButton* button(const char* name) { return window_->findChild<QPushButton*>(name); }
  QString caption(const char* name) { return window_->findChild<QLabel*>(name)->text(); }
  void click(const char* name) { QTest::mouseClick(button(name), Qt::LeftButton); }
  QStringList workFilesLeft() const {
    return QDir(scratch_->path()).entryList({".lvconvert-*"}, QDir::Hidden | QDir::Files);
  }

  // A copy of the shared sample catalogue under `name` in the scratch folder.
  QString catalogue(const QString& name) {
    const QString copy = path(name);
    if (!QFile::exists(copy)) QFile::copy(sampleCatalogue_, copy);
    return copy;
  }

  // Files and links the selection rows name by token, made on first use.
  QString resolve(const QString& token) {
    const QString templatePath = programFolder() + "v13bconvert.lvd";
    auto link = [&](const QString& name, const QString& target, bool hard) {
      const std::filesystem::path from = db::io::pathOf(target.toStdString());
      const std::filesystem::path to = db::io::pathOf(path(name).toStdString());
      // Where symbolic links need a privilege (Windows), a second name of the file stands in.
      std::error_code ec;
      if (!hard) std::filesystem::create_symlink(from, to, ec);
      if (hard || ec) std::filesystem::create_hard_link(from, to, ec);
      return path(name);
    };
    if (token == "cat") return catalogue("Catalogue.mdb");
    if (token == "cat-upper") return catalogue("Catalogue.mdb").toUpper();
    if (token == "symlink") return link("Linked.mdb", catalogue("Catalogue.mdb"), false);
    if (token == "hardlink") return link("Hard.mdb", catalogue("Catalogue.mdb"), true);
    if (token == "dotdot") {
      QDir(scratch_->path()).mkdir("sub");
      catalogue("Catalogue.mdb");
      return path("sub/../Catalogue.mdb");
    }
    if (token == "new") return path("New.mdb");
    if (token == "template") return templatePath;
    if (token == "template-upper") return programFolder() + "V13BConvert.LVD";
    if (token == "template-symlink") return link("Template.mdb", templatePath, false);
    if (token == "template-hardlink") return link("TemplateHard.mdb", templatePath, true);
    if (token == "template-copy") {
      QFile::copy(templatePath, path("Copy.lvd"));
      return path("Copy.lvd");
    }
    if (token == "text") {
      QFile text(path("Notes.mdb"));
      if (text.open(QIODevice::WriteOnly)) text.write("not a database\n");
      return text.fileName();
    }
    qFatal("unknown token %s", qPrintable(token));
  }

  app::frmMain& openWindow(const QString& folder = QString()) {
    window_ = std::make_unique<app::frmMain>(folder.isEmpty() ? programFolder() : folder, dialogs_);
    ended_ = std::make_unique<QSignalSpy>(window_.get(), &app::frmMain::programEnded);
    window_->show();
    return *window_;
  }

  // Chooses both files through the Select buttons; fails the test unless Start is enabled.
  void choose(const QString& source, const QString& destination) {
    dialogs_.files << destination << source;
    click("cmdDest");
    click("cmdSource");
    QVERIFY(button("cmdStart")->isEnabled());
    QVERIFY(dialogs_.messages.isEmpty());
  }

  // Exactly one message was shown, with the program's title.
  void expectMessage(const QString& text, MessageIcon icon) {
    QCOMPARE(dialogs_.messages.size(), 1);
    QCOMPARE(dialogs_.messages[0].title, kTitle);
    // A text ending in a blank line is followed by the reason, which names scratch files.
    if (text.endsWith("\r\n\r\n")) {
      QVERIFY2(dialogs_.messages[0].text.startsWith(text), qPrintable(dialogs_.messages[0].text));
    } else {
      QCOMPARE(dialogs_.messages[0].text, text);
    }
    QCOMPARE(dialogs_.messages[0].icon, icon);
  }

  // The program was told once to end with `code`, and the window is closed with no run left.
  void expectEnded(int code) {
    QCOMPARE(ended_->size(), 1);
    QCOMPARE(ended_->at(0).at(0).toInt(), code);
    QVERIFY(window_->hasEnded() && window_->exitCode() == code);
    QVERIFY(!window_->isVisible());
    QVERIFY(!window_->ConversionRunning());
  }

 private slots:
  void initTestCase() {
    QVERIFY(suite_.isValid());
    // One row in Difficulty puts a one-record range on the progress bar.
    sampleCatalogue_ = suite_.filePath(QStringLiteral("sample.mdb"));
    QCOMPARE(QProcess::execute(QStringLiteral(LVSAMPLE_PATH),
                               {sampleCatalogue_, "--games", "30", "--one-row", "Difficulty"}),
             0);
  }

  void init() {
    scratch_ = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch_->isValid());
    QVERIFY(QDir(scratch_->path()).mkdir(QStringLiteral("program")));
    QVERIFY(QFile::copy(QStringLiteral(LV_TEMPLATE), programFolder() + "v13bconvert.lvd"));
    dialogs_ = ScriptedDialogs();
  }

  void cleanup() {
    ended_.reset();
    window_.reset();
    if (!immutableFile_.isEmpty()) setImmutable(immutableFile_, false);
    immutableFile_.clear();
    scratch_.reset();
    QCOMPARE(QApplication::overrideCursor(), nullptr);
  }

  // The template is looked for beside the program, then where an installation puts it; without
  // it the program ends before its window shows.
  void loadsWithNothingChosenOrEndsWithoutTemplate_data() {
    QTest::addColumn<QString>("templateAt");
    QTest::addColumn<bool>("trailingSlash");
    QTest::newRow("folder given without a trailing slash") << "program folder" << false;
    QTest::newRow("folder given with one") << "program folder" << true;
    QTest::newRow("template where an installation puts it") << "installed" << true;
    QTest::newRow("template absent") << "absent" << true;
    QTest::newRow("a folder of the template's name") << "folder" << true;
    QTest::newRow("a link to nothing") << "dangling link" << true;
  }

  void loadsWithNothingChosenOrEndsWithoutTemplate() {
    QFETCH(QString, templateAt);
    QFETCH(bool, trailingSlash);
    const QString templatePath = programFolder() + "v13bconvert.lvd";
    if (templateAt == "installed") {
      QVERIFY(QDir().mkpath(path("share/lvconvert")));
      QVERIFY(QFile::rename(templatePath, path("share/lvconvert/v13bconvert.lvd")));
    } else if (templateAt != "program folder") {
      QVERIFY(QFile::remove(templatePath));
    }
    if (templateAt == "folder") QVERIFY(QDir().mkdir(templatePath));
    if (templateAt == "dangling link") {
#ifdef Q_OS_WIN
      QSKIP("a link on Windows is a shortcut file, which names nothing missing");
#endif
      QVERIFY(QFile::link(path("gone.lvd"), templatePath));
    }
    QString folder = programFolder();
    if (!trailingSlash) folder.chop(1);
    app::frmMain& w = openWindow(folder);

    if (templateAt != "program folder" && templateAt != "installed") {
      expectMessage(
          QStringLiteral("Could not find empty Ludovane template database! (v13bconvert.lvd)\r\n\r\n"
                         "It was looked for as:\r\n") +
              shown(templatePath + "\r\n" + programFolder() + "../share/lvconvert/v13bconvert.lvd"),
          MessageIcon::Critical);
      expectEnded(1);
      QCOMPARE(w.windowHandle(), nullptr);  // no native window was ever made
      return;
    }
    QCOMPARE(w.ProgramFolder(), shown(programFolder()));
    QVERIFY(dialogs_.messages.isEmpty());
    QVERIFY(w.isVisible());
    QCOMPARE(caption("lblSource"), kSourcePlaceholder);
    QCOMPARE(caption("lblDest"), kDestPlaceholder);
    QVERIFY(!button("cmdStart")->isEnabled());
    auto* log = w.findChild<QPlainTextEdit*>("txtStatus");
    auto* bar = w.findChild<QProgressBar*>("pbStatus");
    QVERIFY(!log->isVisible() && !bar->isVisible());
    // Shown, the log covers the info text and the buttons and leaves the bar in view.
    QVERIFY(log->geometry().contains(w.findChild<QLabel*>("lblInfo")->geometry()));
    QVERIFY(log->geometry().contains(button("cmdStart")->geometry()));
    QVERIFY(!log->geometry().intersects(bar->geometry()));

    QCOMPARE(w.focusWidget(), button("cmdSource"));
    QList<QWidget*> tabOrder;
    for (QWidget* next = button("cmdSource"); tabOrder.size() < 4;
         next = next->nextInFocusChain()) {
      if (next->focusPolicy() & Qt::TabFocus) tabOrder << next;
    }
    QCOMPARE(tabOrder, (QList<QWidget*>{button("cmdSource"), button("cmdDest"), button("cmdStart"),
                                        log}));

    // With no run under way the close box closes the window, and the program goes on.
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(w.windowHandle()->close());  // as the window system delivers the close box
    QVERIFY(!w.isVisible());
    QCOMPARE(ended_->size(), 0);
  }

  void selectionIsCheckedAgainstOtherSideAndTemplate_data() {
    QTest::addColumn<bool>("sourceFirst");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("message");
    QTest::addColumn<MessageIcon>("icon");  // the second file is kept where no message is shown

    const auto none = MessageIcon::None;
    const auto info = MessageIcon::Information;
    const QString sourceTemplate = QStringLiteral("You cannot select this file to update!");
    const QString destTemplate =
        QStringLiteral("You cannot overwrite this file!  Please select a new filename!");
    // Source picked second: it is probed.
    QTest::newRow("catalogue as source") << false << "new" << "cat" << "" << none;
    QTest::newRow("source same as destination, other letter case")
        << false << "cat-upper" << "cat" << kMustDiffer << none;
    QTest::newRow("source through a path with ..")
        << false << "cat" << "dotdot" << kMustDiffer << none;
    QTest::newRow("template as source") << false << "new" << "template" << sourceTemplate << info;
    QTest::newRow("template as source, other letter case")
        << false << "new" << "template-upper" << sourceTemplate << info;
    QTest::newRow("template as source through a link")
        << false << "new" << "template-symlink" << sourceTemplate << info;
    QTest::newRow("not a database") << false << "new" << "text" << kNotValid << none;
    QTest::newRow("copy of the template elsewhere: allowed, but of the new release")
        << false << "new" << "template-copy" << kAlreadyNew << none;
    // Destination picked second: never probed.
    QTest::newRow("destination after a source that was never probed")
        << true << "text" << "new" << "" << none;
    QTest::newRow("destination is a symbolic link to the source")
        << true << "cat" << "symlink" << kMustDiffer << none;
    QTest::newRow("destination is a hard link to the source")
        << true << "cat" << "hardlink" << kMustDiffer << none;
    QTest::newRow("template as destination") << true << "cat" << "template" << destTemplate << info;
    QTest::newRow("template as destination through a hard link")
        << true << "cat" << "template-hardlink" << destTemplate << info;
  }

  void selectionIsCheckedAgainstOtherSideAndTemplate() {
    QFETCH(bool, sourceFirst);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, message);
    QFETCH(MessageIcon, icon);
    const bool secondKept = message.isEmpty();
    const QString firstPath = resolve(first), secondPath = resolve(second);
    openWindow();
    const char* firstButton = sourceFirst ? "cmdSource" : "cmdDest";
    const char* secondButton = sourceFirst ? "cmdDest" : "cmdSource";
    const char* firstLabel = sourceFirst ? "lblSource" : "lblDest";
    const char* secondLabel = sourceFirst ? "lblDest" : "lblSource";
    const QString secondPlaceholder = sourceFirst ? kDestPlaceholder : kSourcePlaceholder;

    // One side alone is taken as it is: nothing compared, nothing probed, Start stays off.
    dialogs_.files << firstPath;
    click(firstButton);
    QCOMPARE(caption(firstLabel), shown(firstPath));
    QVERIFY(!button("cmdStart")->isEnabled());

    dialogs_.files << secondPath;
    click(secondButton);
    if (secondKept) {
      QVERIFY(dialogs_.messages.isEmpty());
    } else {
      expectMessage(message, icon);
    }
    QCOMPARE(caption(firstLabel), shown(firstPath));
    QCOMPARE(caption(secondLabel), secondKept ? shown(secondPath) : secondPlaceholder);
    QCOMPARE(button("cmdStart")->isEnabled(), secondKept);
    if (secondKept) {
      QCOMPARE(window_->focusWidget(), button(sourceFirst ? "cmdStart" : "cmdDest"));
    }
  }

  void fileDialogKeepsItsNameAndStartFollowsTheLastChoice() {
    const QString destination = resolve("new"), good = resolve("cat"), bad = resolve("text");
    openWindow();
    click("cmdSource");                   // cancelled
    button("cmdDest")->setFocus();        // Enter presses the focused button
    QTest::keyClick(button("cmdDest"), Qt::Key_Return);  // cancelled, leaving the preset name
    click("cmdSource");                   // cancelled
    dialogs_.files << destination;
    click("cmdDest");
    click("cmdSource");                   // cancelled
    QCOMPARE(dialogs_.asked.size(), 5);

    // What each dialog may accept: {save, file must exist, folder must exist, refuse read-only,
    // confirm overwrite}.
    auto rules = [](const app::FileDialogSettings& s) {
      return QList<bool>{s.save, s.fileMustExist, s.folderMustExist, s.refuseReadOnly,
                         s.confirmOverwrite};
    };
    QCOMPARE(rules(dialogs_.asked[0]), (QList<bool>{false, true, true, true, false}));
    QCOMPARE(rules(dialogs_.asked[1]), (QList<bool>{true, false, true, true, true}));
    // Both open in the program's folder, offer catalogues only and add their extension to a
    // name typed without one.
    for (const app::FileDialogSettings& d : {dialogs_.asked[0], dialogs_.asked[1]}) {
      QCOMPARE(d.folder, programFolder());
      QCOMPARE(d.nameFilter, QStringLiteral("Ludovane Databases (*.mdb)"));
      QCOMPARE(d.defaultSuffix, QStringLiteral("mdb"));
    }
    QCOMPARE(dialogs_.asked[0].fileName, QString());
    QCOMPARE(dialogs_.asked[1].fileName, QStringLiteral("C64.mdb"));
    // The source dialog shows the name the previous dialog left, chosen or only proposed.
    QCOMPARE(dialogs_.asked[2].fileName, QStringLiteral("C64.mdb"));
    QCOMPARE(rules(dialogs_.asked[2]), rules(dialogs_.asked[0]));
    QCOMPARE(dialogs_.asked[4].fileName, destination);

    // A folder the user may not write is no place to start a new database.
    QCOMPARE(app::dialogStartFolder(programFolder()), programFolder());
    QCOMPARE(app::dialogStartFolder(path("no such folder/")), QDir::homePath() + u'/');
    // Where the program's folder is no place for it, the new database goes beside the old one.
    QCOMPARE(app::dialogStartFolder(path("no such folder/"), scratch_->path()),
             scratch_->path() + u'/');
    // As the window holds it, and where nobody may make a name (Program Files to a user).
    QCOMPARE(app::dialogStartFolder(shown(programFolder())), programFolder());
    if (setImmutable(programFolder(), true)) {
      immutableFile_ = programFolder();
      QCOMPARE(app::dialogStartFolder(programFolder(), scratch_->path()), scratch_->path() + u'/');
      QVERIFY(setImmutable(programFolder(), false));
      immutableFile_.clear();
    }

    // Start follows the last choice of each side; a cancelled choice changes nothing.
    dialogs_.files << good;
    click("cmdSource");
    QVERIFY(button("cmdStart")->isEnabled());
    click("cmdSource");  // cancelled
    QCOMPARE(caption("lblSource"), shown(good));
    QVERIFY(button("cmdStart")->isEnabled());
    dialogs_.files << bad;
    click("cmdSource");
    click("cmdDest");  // cancelled
    QCOMPARE(caption("lblDest"), shown(destination));
    QVERIFY(!button("cmdStart")->isEnabled());
    dialogs_.files << good;
    click("cmdSource");
    QVERIFY(button("cmdStart")->isEnabled());
  }

  void fileDialogRefusesReadOnlyFilesAndMissingFoldersAndShowsSizesWhole() {
    const QString readOnly = resolve("cat"), writable = path("Writable.mdb");
    QVERIFY(QFile::copy(readOnly, writable));
    QVERIFY(QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    const QString inMissingFolder = path("missing/New.mdb");

    // Answers the next message box the dialog shows, keeping its text.
    QStringList shown;
    auto answerNextBox = [&] {
      QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
          shown << box->text();
          QAbstractButton* yes = box->button(QMessageBox::Yes);
          (yes ? yes : box->button(QMessageBox::Ok))->click();
        }
      });
    };
    // The window's own settings for each dialog, as it asks for them.
    openWindow();
    click("cmdSource");
    click("cmdDest");
    auto tryAccept = [&](bool save, const QString& file) {
      app::FileDialogSettings settings = dialogs_.asked.at(save ? 1 : 0);
      settings.folder = scratch_->path();
      settings.fileName = file;
      app::DatabaseFileDialog dialog(nullptr, settings);
      dialog.show();
      answerNextBox();
      QMetaObject::invokeMethod(&dialog, "accept");
      QCoreApplication::processEvents();
      const bool accepted = dialog.result() == QDialog::Accepted;
      return accepted && dialog.selectedFiles().value(0) == file;
    };

    auto lastBoxSays = [&](const char* words) {
      return !shown.isEmpty() && shown.last().contains(words);
    };

    QVERIFY(!tryAccept(false, readOnly));
    QVERIFY(lastBoxSays("read-only"));
    QVERIFY(tryAccept(false, writable));
    QVERIFY(!tryAccept(true, readOnly));
    QVERIFY(lastBoxSays("read-only"));
    QVERIFY(!tryAccept(true, inMissingFolder));
    QVERIFY(lastBoxSays("does not exist"));
    const int before = shown.size();
    QVERIFY(tryAccept(true, writable));  // after the overwrite question, answered Yes
    QCOMPARE(shown.size(), before + 1);
    QVERIFY(tryAccept(true, path("Fresh.mdb")));

    // Qt's own dialog, which shows sizes and types whole, even on a desktop whose font is larger
    // than Qt's own.
    app::FileDialogSettings settings = dialogs_.asked.at(0);
    settings.folder = scratch_->path();
    app::DatabaseFileDialog dialog(nullptr, settings);
    QVERIFY(dialog.testOption(QFileDialog::DontUseNativeDialog));
    QFont large = dialog.font();
    large.setPointSize(16);
    dialog.setFont(large);
    dialog.show();
    auto* view = dialog.findChild<QTreeView*>();
    QVERIFY(view);
    QVERIFY(QTest::qWaitFor([&] { return view->model()->rowCount(view->rootIndex()) > 0; }));
    QTest::qWait(50);  // the columns size themselves once the rows are in
    const QAbstractItemModel* model = view->model();
    for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
      for (int column = 1; column < view->header()->count(); ++column) {  // the name may elide
        const QString text = model->index(row, column, view->rootIndex()).data().toString();
        QVERIFY2(view->header()->sectionSize(column) >= view->fontMetrics().horizontalAdvance(text),
                 qPrintable(text));
      }
    }
  }

  // The program's command line fills in the files through the same checks as the Select buttons,
  // relative paths made whole; its windows carry the program's icon at every size; and a long path
  // shows its ends.
  void filesGivenOnTheCommandLineAreCheckedAsIfChosen() {
    const QString source = catalogue("Catalogue.mdb");
    QDir::setCurrent(scratch_->path());
    openWindow().chooseFiles(QStringLiteral("Catalogue.mdb"), QStringLiteral("New.mdb"));
    QCOMPARE(caption("lblSource"), shown(source));
    QCOMPARE(caption("lblDest"), shown(path("New.mdb")));
    QVERIFY(button("cmdStart")->isEnabled() && dialogs_.messages.isEmpty());
    QVERIFY(dialogs_.questions.isEmpty());

    // An existing destination is replaced only when the person agrees, asked before anything
    // else; No leaves it unchosen and untouched, and the source unprobed.
    QFile mine(path("Mine.mdb"));
    QVERIFY(mine.open(QIODevice::WriteOnly) && mine.write("mine") == 4);
    mine.close();
    for (const bool yes : {false, true}) {
      dialogs_ = ScriptedDialogs();
      dialogs_.yesNo = {yes};
      openWindow().chooseFiles(resolve("text"), QStringLiteral("Mine.mdb"));
      QCOMPARE(dialogs_.questions,
               QStringList{"Select Destination Filename: " + shown(path("Mine.mdb")) +
                           " already exists.\nDo you want to replace it?"});
      QCOMPARE(caption("lblDest"), yes ? shown(path("Mine.mdb")) : kDestPlaceholder);
      QCOMPARE(dialogs_.messages.size(), yes ? 1 : 0);  // only a chosen destination probes
      QVERIFY(mine.open(QIODevice::ReadOnly));
      QCOMPARE(mine.readAll(), QByteArray("mine"));
      mine.close();
    }
    dialogs_ = ScriptedDialogs();

    // The destination is refused as its dialog refuses it; the source, with no destination
    // standing, is taken unprobed, as a pick would be.
    openWindow().chooseFiles(resolve("text"), path("missing folder/New.mdb"));
    QCOMPARE(dialogs_.messages.size(), 1);
    QVERIFY(dialogs_.messages[0].text.contains(QStringLiteral("The folder does not exist")));
    QCOMPARE(caption("lblDest"), kDestPlaceholder);
    QCOMPARE(caption("lblSource"), shown(resolve("text")));
    QVERIFY(!button("cmdStart")->isEnabled());
    // A file where a folder should be is named as such.
    dialogs_.messages.clear();
    window_->chooseFiles(QString(), source + "/New.mdb");
    expectMessage(source + "\nThis is a file, not a folder.\nCheck the path and try again.",
                  MessageIcon::Information);
    dialogs_.messages.clear();

    const QList<QSize> sizes = app::programIcon().availableSizes();
    for (const int size : {16, 32, 48, 256}) QVERIFY(sizes.contains(QSize(size, size)));

    // A path too long for its label shows its ends and tells the whole path in a tooltip.
    const QString whole = shown(path(QStringLiteral("a rather long folder name/").repeated(5) + "C64.mdb"));
    dialogs_.files << whole;
    click("cmdDest");
    auto* label = static_cast<app::PathLabel*>(window_->findChild<QLabel*>("lblDest"));
    QCOMPARE(label->text(), whole);
    const QString visible = label->shownText();
    QVERIFY2(visible.contains(QChar(0x2026)) && visible.startsWith(whole.left(4)) &&
                 visible.endsWith(shown("/C64.mdb")),
             qPrintable(visible));
    QVERIFY(label->fontMetrics().horizontalAdvance(visible) <= label->contentsRect().width());
    QHelpEvent tip(QEvent::ToolTip, QPoint(2, 2), label->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(label, &tip);
    QCOMPARE(QToolTip::text(), whole);
  }

  // Message boxes show their titles whole, and a long path whole and selectable, wrapped
  // where a line is wider than the screen; the program's files lie beside it in a build.
  // The closing message's details are the report; Save Report writes them where the file
  // dialog says and leaves the box open for OK, and a cancelled dialog writes nothing.
  void theReportBehindTheClosingMessageIsSavedAsText() {
    const QString details = QStringLiteral("Rows, old catalogue -> new:\n  Games  3 ->  3  =\n\u00c9t\u00e9\n");
    const QString target = path(QStringLiteral("report.txt"));
    dialogs_.files << "" << target;
    const std::unique_ptr<QMessageBox> box = app::makeDetailedMessageBox(
        nullptr, kTitle, QStringLiteral("Finished!"), MessageIcon::None, details, dialogs_);
    box->show();
    QCOMPARE(box->detailedText(), details);
    QAbstractButton* save = nullptr;
    for (QAbstractButton* b : box->buttons()) {
      if (b->text() == QStringLiteral("&Save Report...")) save = b;
    }
    QVERIFY(save);
    save->click();
    QVERIFY(!QFile::exists(target));
    save->click();
    QVERIFY(box->isVisible());
    QFile written(target);
    QVERIFY(written.open(QIODevice::ReadOnly));
    // A text file as the system writes one: lines end in CR LF on Windows.
#ifdef Q_OS_WIN
    QCOMPARE(QString::fromUtf8(written.readAll()), QString(details).replace("\n", "\r\n"));
#else
    QCOMPARE(QString::fromUtf8(written.readAll()), details);
#endif
    QCOMPARE(dialogs_.asked.size(), 2);
    QVERIFY(dialogs_.asked[1].save && dialogs_.asked[1].confirmOverwrite);
  }

  void messagesShowTitlesAndLongPathsWhole() {
    const QString folder = "/home/someone/" + QString(117, u'f') + "/";
    const QString finished = "Finished!  Your new Ludovane database can be found here: -\r\n\r\n" +
                             folder + "C64.mdb\r\n\r\nPlease refer to the INSTRUCTIONS.TXT file";
    const QString shortText = QStringLiteral("x\r\nThe folder does not exist.");
    // The folder's name whole on a line of its own; a line wider than the screen wraps anywhere.
    for (const QString& text : {finished, shortText, finished + QString(300, u'w')}) {
      const std::unique_ptr<QMessageBox> box = app::makeMessageBox(
          nullptr, QStringLiteral("Select Destination Filename"), text, MessageIcon::None);
      box->show();
      QVERIFY(QTest::qWaitForWindowExposed(box.get()));
      auto* label = box->findChild<QLabel*>("qt_msgbox_label");
      QVERIFY(label && (label->textInteractionFlags() & Qt::TextSelectableByMouse));
      QVERIFY(box->width() > box->fontMetrics().horizontalAdvance(box->windowTitle()));
      // The label is as tall as its text at its width.
      QVERIFY(label->height() >= label->heightForWidth(label->width()));
      QVERIFY(box->width() <= box->screen()->availableGeometry().width());
      const int widest = label->fontMetrics().horizontalAdvance(QString(117, u'f'));
      // Where the screen itself is narrower than the name (a small virtual screen), it wraps.
      const int room = box->screen()->availableGeometry().width() - (box->width() - label->width());
      if (text != shortText && widest <= room) QVERIFY(widest <= label->width());
    }
    QVERIFY(QFileInfo::exists(QFileInfo(QStringLiteral(LV_TEMPLATE)).dir().filePath("INSTRUCTIONS.TXT")));
  }

  // Without a display the window says so and exits with 1, not with Qt's abort.
  void withoutADisplayTheProgramSaysSo() {
#ifdef Q_OS_WIN
    QSKIP("Windows always has a display");
#endif
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(name);
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(LVCONVERT_PATH), {});
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    QVERIFY2(program.readAllStandardError().contains("no display was found"), "no word of it");
  }

  // What changed after the choice is refused by Start, the window left for another choice
  // (exit code -1); a destination that cannot be replaced, or a run whose genre phase is
  // aborted, ends the program.
  void startRefusesOrEndsTheProgram_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("message");
    QTest::addColumn<MessageIcon>("icon");
    QTest::addColumn<int>("exitCode");
    const auto none = MessageIcon::None;
    const auto critical = MessageIcon::Critical;
    QTest::newRow("source deleted") << "source deleted" << "File not found: {source}" << none << -1;
    QTest::newRow("source hidden")
        << "hidden source"
        << "File not found: {source}\r\n\r\nIts name starts with \".\", which hides it." << none
        << -1;
    QTest::newRow("source now no catalogue") << "source replaced" << kNotValid << none << -1;
    QTest::newRow("destination made a link to the source")
        << "destination linked" << kMustDiffer << none << -1;
    QTest::newRow("destination is a folder with files")
        << "destination folder" << kCannotCreate << critical << -1;
    QTest::newRow("destination hidden, so its copy is never seen")
        << "hidden destination" << kCannotCreate << critical << -1;
    QTest::newRow("template gone") << "template gone" << kCannotCreate << critical << -1;
    QTest::newRow("destination immutable") << "immutable" << kCannotConvert << critical << 1;
    QTest::newRow("destination a file of the kernel's")
        << "kernel" << kCannotConvert << critical << 1;
    QTest::newRow("genre phase aborted")
        << "aborted"
        << "There was an error or you aborted.  The database was not fully converted!" << critical
        << 1;
  }

  void startRefusesOrEndsTheProgram() {
    QFETCH(QString, change);
    QFETCH(QString, message);
    QFETCH(MessageIcon, icon);
    QFETCH(int, exitCode);
    const QString source = catalogue(change == "hidden source" ? ".Hidden.mdb" : "Catalogue.mdb");
    QString destination = path(change == "hidden destination" ? ".New.mdb" : "New.mdb");
    if (change == "kernel") {
#ifdef Q_OS_WIN
      QSKIP("Windows has no files of the kernel's");
#endif
      destination = QStringLiteral("/proc/self/comm");
    }
    if (change == "immutable") {
      destination = catalogue("Old.mdb");
      if (!setImmutable(destination, true)) QSKIP("this file system keeps no immutable attribute");
      immutableFile_ = destination;
    }
    // A file the person agreed to overwrite is lost only to a complete conversion.
    const bool previous = change == "source replaced" || change == "aborted";
    if (previous) {
      QFile mine(destination);
      QVERIFY(mine.open(QIODevice::WriteOnly) && mine.write("mine") == 4);
    }
    openWindow();
    choose(source, destination);

    if (change == "source deleted") QVERIFY(QFile::remove(source));
    if (change == "source replaced") {
      QVERIFY(QFile::remove(source) && QFile::copy(resolve("text"), source));
    }
    if (change == "destination linked") {
      // Where symbolic links need a privilege (Windows), a second name of the file stands in.
      std::error_code ec;
      std::filesystem::create_symlink(db::io::pathOf(source.toStdString()),
                                      db::io::pathOf(destination.toStdString()), ec);
      if (ec) std::filesystem::create_hard_link(db::io::pathOf(source.toStdString()),
                                                db::io::pathOf(destination.toStdString()), ec);
      QVERIFY(!ec);
    }
    if (change == "destination folder") QVERIFY(QDir().mkpath(destination + "/inside"));
    if (change == "hidden destination") QVERIFY(QFile::copy(source, destination));
    if (change == "template gone") QVERIFY(QFile::remove(programFolder() + "v13bconvert.lvd"));
    click("cmdStart");

    expectMessage(QString(message).replace("{source}", shown(source)), icon);
    if (exitCode >= 0) {
      expectEnded(exitCode);
    } else {
      QCOMPARE(caption("lblSource"), kSourcePlaceholder);
      QCOMPARE(caption("lblDest"), kDestPlaceholder);
      QVERIFY(!button("cmdStart")->isEnabled());
      QVERIFY(button("cmdSource")->isEnabled() && button("cmdDest")->isEnabled());
      if (message != kMustDiffer) QCOMPARE(window_->focusWidget(), button("cmdSource"));
      QVERIFY(!window_->ConversionRunning());
      QVERIFY(window_->isVisible());
      QCOMPARE(ended_->size(), 0);
      QCOMPARE(window_->exitCode(), 1);  // closed now, the program says it converted nothing
    }
    if (message == kCannotConvert) {
      const QString& shown = dialogs_.messages[0].text;
      QVERIFY2(shown.contains(::shown(destination)), qPrintable(shown));
#ifdef Q_OS_WIN
      const int refusal = EACCES;  // the host's flag reaches a Windows program as denied access
#else
      const int refusal = EPERM;
#endif
      QVERIFY2(shown.endsWith(QStringLiteral(" (75,%1)").arg(refusal)), qPrintable(shown));
    }
    if (change == "aborted") {
      QVERIFY(window_->statusLog().endsWith("Music table...Done\r\nCopying Genres tables...\r\n"
                                            "Aborted: the genre dialog was closed before its OK.\r\n"));
      // Nothing was made, and the bar does not say otherwise.
      const auto* bar = window_->findChild<QProgressBar*>("pbStatus");
      QCOMPARE(bar->value(), bar->minimum());
    }
    if (change == "source deleted") QVERIFY(!QFile::exists(destination));
    if (previous) {
      QFile mine(destination);
      QVERIFY(mine.open(QIODevice::ReadOnly));
      QCOMPARE(mine.readAll(), QByteArray("mine"));
    }
    QCOMPARE(workFilesLeft(), QStringList());
  }

  // Each bad source, chosen after the destination so that its choice is probed: refused there,
  // or refused by Start (a folder or a pipe), or failing in the phase that reads it, where the
  // log stops; the message ends with the engine's number and no file is left where the new
  // database was to go.
  void everyBadSourceIsRefusedWhereItsFaultIsMet() {
    const QString destination = resolve("new");
    const auto sources = test_sources::makeBadSources(path("bad").toStdString(), LVSAMPLE_PATH);
    for (const test_sources::BadSource& bad : sources) {
      const QString source = QString::fromStdString(bad.path), what = QString::fromStdString(bad.what);
      const QString number = QStringLiteral(" (%1,").arg(bad.number);
      dialogs_ = ScriptedDialogs();
      app::frmMain& w = openWindow();
      w.setGenreDialog(writeSuggestedGenres);
      dialogs_.files << destination << source;
      click("cmdDest");
      click("cmdSource");
      if (bad.phase.empty() || bad.notAFile) {
        QVERIFY2(dialogs_.messages.size() == 1 && dialogs_.messages[0].text.startsWith(kNotValid) &&
                     dialogs_.messages[0].text.contains(number),
                 qPrintable(what));
        // A damaged file is to be repaired first, and the message says where.
        QVERIFY2(bad.number != 3049 || dialogs_.messages[0].text.contains("in Access"),
                 qPrintable(what + ": " + dialogs_.messages[0].text));
        QCOMPARE(caption("lblSource"), kSourcePlaceholder);
        continue;
      }
      QVERIFY2(dialogs_.messages.isEmpty(), qPrintable(what));
      click("cmdStart");
      QVERIFY2(dialogs_.messages.size() == 2 && dialogs_.messages[0].text.contains(number) &&
                   dialogs_.messages[1].text.startsWith("There was an error or you aborted."),
               qPrintable(what + ": " + (dialogs_.messages.isEmpty() ? "" : dialogs_.messages[0].text)));
      // The log ends with the reason, on a line of its own after the phase it stopped in.
      const QString failedLine = "\r\nFailed: " + dialogs_.messages[0].text + "\r\n";
      QVERIFY2(w.statusLog().endsWith(QString::fromStdString("\r\n" + bad.phase) + failedLine),
               qPrintable(what + ": " + w.statusLog()));
      QVERIFY2(w.hasEnded() && w.exitCode() == 1, qPrintable(what));
      QVERIFY2(!QFile::exists(destination), qPrintable(what));
      QCOMPARE(workFilesLeft(), QStringList());
    }
  }

  // A whole conversion as the program shows it, of a password-protected catalogue through the
  // real genre dialog. The catalogue asks for its password, refuses a wrong one with the
  // engine's 3031 and takes the right one; the genre dialog is worked through its real message
  // box, menu and name prompt. (Encoded catalogues need nothing of the window: the headless
  // converter's tests convert them.)
  void wholeConversionOfAProtectedCatalogueThroughTheGenreDialog() {
    const QString source = catalogue("Locked.mdb"), destination = resolve("new");
    test_sources::setCataloguePassword(source.toStdString(), "Sésame 1");
    app::frmMain& w = openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* log = w.findChild<QPlainTextEdit*>("txtStatus");
    auto* bar = w.findChild<QProgressBar*>("pbStatus");

    // At the end of every phase: where the bar stands. The first log line also asks the window
    // system to close the window, which arrives during the next yield, mid-run.
    QStringList barAtDone;
    bool closeAccepted = true;
    connect(log, &QPlainTextEdit::textChanged, &w, [&] {
      if (w.statusLog() == "Created new database OK\r\n") {
        QTimer::singleShot(0, &w, [&] { closeAccepted = w.windowHandle()->close(); });
      }
      if (w.statusLog().endsWith("Done\r\n")) {
        // An empty range would show as a busy animation, never as done.
        const bool range = bar->maximum() > bar->minimum();
        barAtDone << QStringLiteral("%1/%2").arg(bar->value()).arg(range ? bar->maximum() : -1);
      }
    });
    bool runShownDuringGenres = false;
    w.setGenreDialog([&](app::frmMain& owner) {
      // Nothing of the genre phase is written while its dialog waits: the bar stands empty.
      runShownDuringGenres = owner.ConversionRunning() && owner.isVisible() && log->isVisible() &&
                             bar->isVisible() && !button("cmdSource")->isEnabled() &&
                             !button("cmdDest")->isEnabled() && !button("cmdStart")->isEnabled() &&
                             bar->value() == bar->minimum();
      return app::runGenreDialog(owner);
    });
    // Cancelled, then a wrong password: each refused as what it is, not as a bad catalogue.
    dialogs_.files << destination << source << source;
    click("cmdDest");
    click("cmdSource");
    expectMessage(QStringLiteral("The selected file is protected by a database password, and "
                                 "none was given.\r\n\r\n"),
                  MessageIcon::None);
    dialogs_.messages.clear();
    dialogs_.passwords = {QStringLiteral("sésame 1"), QStringLiteral("Sésame 1")};
    click("cmdSource");
    QCOMPARE(dialogs_.passwordsAskedFor, (QStringList{shown(source), shown(source)}));
    expectMessage(QStringLiteral("The password given is not the database password of the "
                                 "selected file.\r\n\r\n"),
                  MessageIcon::None);
    QVERIFY2(dialogs_.messages[0].text.contains(QStringLiteral("Not a valid password")) &&
                 dialogs_.messages[0].text.endsWith(QStringLiteral("(3031,0)")),
             qPrintable(dialogs_.messages[0].text));
    dialogs_.messages.clear();
    choose(source, destination);
    // The person's part, each answer from a timer of its own, as it may open the next modal
    // loop: acknowledge the explanation, make a parent through the menu and the name prompt,
    // take the suggested grouping through the menu, then OK.
    QStringList seen;
    bool busy = false;
    int waits = 0;
    const auto answer = [&](const QString& what, std::function<void()> act) {
      seen << what;
      busy = true;
      QTimer::singleShot(0, &w, [&busy, act] {
        busy = false;
        act();
      });
    };
    QTimer person;
    connect(&person, &QTimer::timeout, [&] {
      if (busy) return;
      auto* genres = w.findChild<genres::frmGenres*>();
      QWidget* modal = QApplication::activeModalWidget();
      if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        QAction* item =
            genres->lstParent->count() == 1 ? genres->mnuParentNew : genres->suggestAction;
        answer("menu", [menu, item] {
          menu->setActiveAction(item);
          QTest::keyClick(menu, Qt::Key_Return);
        });
      } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        answer("message " + box->windowTitle(), [box] { box->button(QMessageBox::Ok)->click(); });
      } else if (auto* input = qobject_cast<prompt::frmInputBox*>(modal)) {
        answer("prompt " + input->windowTitle(), [input] {
          QTest::keyClicks(input->txtInput, "Strategy");
          QTest::keyClick(input->txtInput, Qt::Key_Return);
        });
      } else if (genres && modal == genres && (!seen.isEmpty() || ++waits > 200)) {
        // The explanation comes first, once the dialog has been activated.
        QCOMPARE(genres->parentWidget(), &w);
        QPushButton* next = genres->cmdOK->isEnabled() ? genres->cmdOK
                            : seen.size() < 9          ? genres->cmdParent
                                                       : genres->cmdAbort;  // stuck: give up
        answer(next->objectName(), [next] { next->click(); });
      }
    });
    person.start(10);
    click("cmdStart");
    person.stop();

    QCOMPARE(seen, (QStringList{"message Ludovane Database Converter", "cmdParent", "menu",
                                "prompt New Parent Genre", "cmdParent", "menu", "cmdOK"}));
    QVERIFY(runShownDuringGenres);
    QVERIFY(!closeAccepted);
    expectMessage(QStringLiteral("Finished!  Your new Ludovane database can be found here: -\r\n\r\n%1"
                                 "\r\n\r\nPlease refer to the INSTRUCTIONS.TXT file for info on "
                                 "setting up your new database with Ludovane")
                      .arg(shown(destination)),
                  MessageIcon::None);
    // Behind it the report: the rows of each table, source and result, agreeing.
    QCOMPARE(dialogs_.details.size(), 1);
    for (const char* line : {R"(\n  Difficulty +1 -> +1  =\n)", R"(\n  Games +30 -> +30  =\n)", "passed its check"}) {
      QVERIFY2(dialogs_.details[0].contains(QRegularExpression(QLatin1String(line))), qPrintable(dialogs_.details[0]));
    }
    const QStringList lines = {"Created new database OK",
                               "Creating Years table...Done",
                               "Copying Difficulty table...Done",
                               "Copying Publishers table...Done",
                               "Copying Musicians table...Done",
                               "Copying Music table...Done",
                               "Copying Genres tables...Done",
                               "Copying Games table...Done",
                               "Fixing NULL values...Done",
                               "Compacting the new database...Done"};
    QCOMPARE(w.statusLog(), lines.join("\r\n") + "\r\n");
    QCOMPARE(log->toPlainText(), lines.join("\n") + "\n");
    QVERIFY(log->textCursor().atEnd());
    // From the first table to the Null repair every phase leaves the bar full (Difficulty's one
    // row included); the compaction sets it up empty and does not move it.
    QCOMPARE(barAtDone.size(), 9);
    for (int i = 1; i < 8; ++i) {
      const QStringList parts = barAtDone[i].split('/');
      QVERIFY2(parts[0] == parts[1], qPrintable(lines[i + 1] + ": " + barAtDone[i]));
    }
    QCOMPARE(barAtDone[8], QStringLiteral("0/13"));
    QCOMPARE(bar->value(), bar->maximum());  // the conversion is complete
    expectEnded(0);

    // Every game sits under the new genre made of its old one: games that shared an old genre
    // share a new one and no others do (lvsample's games name existing genres only). What the
    // suggestion names them is the genre model's tests' concern. The destination numbered the
    // games in the order the source gave them.
    auto genreOfGame = [](const QString& file) {
      auto d = db::DBEngine().OpenDatabase(file.toStdString());
      auto rs = d->OpenRecordset("SELECT GA_Id, GE_Id FROM Games", db::dbOpenSnapshot);
      std::map<int32_t, int32_t> byGame;
      for (; !rs->EOF_(); rs->MoveNext()) {
        byGame[rs->FieldAt(0).Value.int32()] = rs->FieldAt(1).Value.int32();
      }
      return byGame;
    };
    const std::map<int32_t, int32_t> before = genreOfGame(source), after = genreOfGame(destination);
    QCOMPARE(after.size(), before.size());
    std::map<int32_t, std::set<int32_t>> newOfOld;
    std::set<int32_t> news;
    for (auto b = before.begin(), a = after.begin(); b != before.end(); ++b, ++a) {
      newOfOld[b->second].insert(a->second);
      news.insert(a->second);
    }
    QCOMPARE(newOfOld.size(), news.size());
    for (const auto& [old, news] : newOfOld) QVERIFY2(news.size() == 1, "an old genre split");
    QVERIFY(newOfOld.size() > 5);
  }
};

QTEST_MAIN(frmMainTest)
#include "frm_main_test.moc"
