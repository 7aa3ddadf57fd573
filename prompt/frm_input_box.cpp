#include "prompt/frm_input_box.h"

#include <algorithm>

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "prompt/enter_key.h"
#include "prompt/message_box.h"
#include "prompt/twips.h"
#include "shared/mod_global.h"

namespace prompt {
namespace {

constexpr int kClientWidth = 4575;   // twips
constexpr int kClientHeight = 1335;  // twips

// A text box's own limit when none is asked for; a maximum of 0 means "no limit" to callers,
// while QLineEdit would take it literally.
constexpr int kUnlimitedLength = 32767;

QString fromUtf8(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

frmInputBox::frmInputBox(QWidget* parent) : QDialog(parent) {
  // A fixed dialog frame: title and close box only, no minimise, maximise or help button.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);

  lblPrompt = new QLabel(this);
  lblPrompt->setObjectName("lblPrompt");
  lblPrompt->setGeometry(twipsRect(120, 120, 4335, 255));
  txtInput = new QLineEdit(this);
  txtInput->setObjectName("txtInput");
  txtInput->setGeometry(twipsRect(120, 360, 4335, 285));
  cmdOK = new QPushButton(this);
  cmdOK->setObjectName("cmdOK");
  cmdOK->setGeometry(twipsRect(2160, 840, 1095, 375));
  cmdOK->setEnabled(false);
  cmdOK->setDefault(true);
  cmdCancel = new QPushButton(this);
  cmdCancel->setObjectName("cmdCancel");
  cmdCancel->setGeometry(twipsRect(3360, 840, 1095, 375));
  cmdCancel->setAutoDefault(false);
  lblPrompt->setBuddy(txtInput);
  pressOnEnter({cmdOK, cmdCancel});

  txtInput->installEventFilter(this);
  connect(txtInput, &QLineEdit::textChanged, this, &frmInputBox::txtInput_Change);
  connect(cmdOK, &QPushButton::clicked, this, &frmInputBox::cmdOK_Click);
  connect(cmdCancel, &QPushButton::clicked, this, &frmInputBox::cmdCancel_Click);

  Form_Load();
}

QSize frmInputBox::designSize() { return twipsSize(kClientWidth, kClientHeight); }

void frmInputBox::Form_Load() {
  // A widget's size is its client area, so the design size is set directly.
  setFixedSize(designSize());

  setWindowTitle(fromUtf8(modGlobal::InputTitle));
  lblPrompt->setText(fromUtf8(modGlobal::InputPrompt));
  // The limit holds for what is typed. A default that is longer already (a sub genre name
  // derived from a long old genre name) is shown whole, as a text box shows text put into it,
  // so that OK without an edit returns it unchanged; it cannot grow past its own length.
  const int defaultLength = static_cast<int>(fromUtf8(modGlobal::InputDefault).size());
  txtInput->setMaxLength(modGlobal::InputMaxLength > 0
                             ? std::max(modGlobal::InputMaxLength, defaultLength)
                             : kUnlimitedLength);

  invalidChars_ = fromUtf8(modGlobal::InputInvalidChars).toStdU32String();
  cmdOK->setText(fromUtf8(modGlobal::InputOKCaption));
  cmdCancel->setText(fromUtf8(modGlobal::InputCancelCaption));

  modGlobal::InputResult.clear();
  modGlobal::InputOK = false;
  allowEmpty_ = modGlobal::InputAllowEmpty;

  txtInput->setEchoMode(modGlobal::InputMasked ? QLineEdit::Password : QLineEdit::Normal);
  txtInput->setText(fromUtf8(modGlobal::InputDefault));
  if (allowEmpty_) cmdOK->setEnabled(true);
  txtInput->setFocus();
}

bool frmInputBox::eventFilter(QObject* watched, QEvent* event) {
  if (watched == txtInput) {
    if (event->type() == QEvent::FocusIn) {
      txtInput_GotFocus();
    } else if (event->type() == QEvent::KeyPress &&
               txtInput_KeyPress(*static_cast<QKeyEvent*>(event))) {
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void frmInputBox::txtInput_GotFocus() { txtInput->selectAll(); }

bool frmInputBox::txtInput_KeyPress(const QKeyEvent& key) const {
  if (invalidChars_.empty()) return false;
  const std::u32string typed = key.text().toStdU32String();
  return std::any_of(typed.begin(), typed.end(), [this](char32_t c) { return isForbidden(c); });
}

void frmInputBox::txtInput_Change() {
  if (!allowEmpty_) cmdOK->setEnabled(!txtInput->text().isEmpty());
}

void frmInputBox::cmdOK_Click() {
  const QString text = txtInput->text();
  if (!invalidChars_.empty() && !text.isEmpty()) {
    // Characters can arrive without a key press (pasted, dropped), so the text is checked again.
    const std::u32string chars = text.toStdU32String();
    if (std::any_of(chars.begin(), chars.end(), [this](char32_t c) { return isForbidden(c); })) {
      showInvalidCharsMessage();
      txtInput->setFocus();
      return;
    }
  }
  modGlobal::InputOK = true;
  modGlobal::InputResult = text.toStdString();
  accept();
}

void frmInputBox::cmdCancel_Click() { reject(); }

void frmInputBox::showInvalidCharsMessage() {
  QMessageBox box(QMessageBox::Warning, "LVToolbox",
                  "You have entered one or more invalid characters!", QMessageBox::Ok, this);
  fitMessageBox(box);
  box.exec();
}

bool frmInputBox::isForbidden(char32_t c) const {
  return invalidChars_.find(c) != std::u32string::npos;
}

std::optional<std::string> askForName(QWidget* owner, const NameRequest& request) {
  modGlobal::InputTitle = request.title;
  modGlobal::InputPrompt = request.prompt;
  modGlobal::InputDefault = request.defaultText;
  modGlobal::InputOKCaption = request.okCaption;
  modGlobal::InputCancelCaption = request.cancelCaption;
  modGlobal::InputInvalidChars = request.invalidChars;
  modGlobal::InputMaxLength = request.maxLength;
  modGlobal::InputAllowEmpty = request.allowEmpty;
  modGlobal::InputOK = false;
  modGlobal::InputResult.clear();
  modGlobal::InputMasked = request.masked;
  {
    frmInputBox box(owner);
    box.exec();
  }
  modGlobal::InputMasked = false;
  std::optional<std::string> answer;
  if (modGlobal::InputOK) answer = modGlobal::InputResult;
  modGlobal::InputResult.clear();  // a password stays no longer than it is needed
  return answer;
}

}  // namespace prompt
