// frm_input_box.h -- the name prompt: a small modal dialog asking for one line of text. It
// takes no arguments and returns nothing; the caller drives it only through the Input*
// variables of modGlobal:
//   before showing: InputTitle, InputPrompt, InputDefault, InputOKCaption, InputCancelCaption,
//                   InputInvalidChars, InputMaxLength, InputAllowEmpty (InputOK false,
//                   InputResult "")
//   after closing:  InputOK true only when OK accepted the text; InputResult that text exactly
//                   as typed ("" otherwise)
// Constructing the dialog is its load: it reads the variables then, and later changes to them
// have no effect on it. Callers outside the prompt ask through askForName, which drives it so.
#pragma once

#include <optional>
#include <string>

#include <QDialog>
#include <QSize>

class QLabel;
class QLineEdit;
class QPushButton;
class QKeyEvent;

namespace prompt {

class frmInputBox : public QDialog {
  Q_OBJECT

 public:
  explicit frmInputBox(QWidget* parent = nullptr);

  QLabel* lblPrompt;
  QLineEdit* txtInput;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;

  // The client area at design size: 4575 x 1335 twips.
  static QSize designSize();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  // The message of a refused text ("LVToolbox", exclamation icon, one OK button); a seam, so
  // tests can answer it without a modal loop.
  virtual void showInvalidCharsMessage();

 private:
  void Form_Load();
  void txtInput_GotFocus();
  // True when the key's character is forbidden and must not reach the text box.
  bool txtInput_KeyPress(const QKeyEvent& key) const;
  void txtInput_Change();
  void cmdOK_Click();
  void cmdCancel_Click();

  bool isForbidden(char32_t c) const;

  // Copies taken at load, so the caller's later changes to the globals do not reach an open
  // dialog.
  std::u32string invalidChars_;
  bool allowEmpty_ = false;
};

// What a caller asks the prompt: the texts and limits the Input* variables carry. Texts UTF-8.
struct NameRequest {
  std::string title;
  std::string prompt;
  std::string defaultText;
  std::string okCaption = "&OK";
  std::string cancelCaption = "&Cancel";
  std::string invalidChars;
  int maxLength = 0;
  bool allowEmpty = false;
  bool masked = false;  // what is typed shows as dots, for a password
};

// Shows the prompt modally over `owner` for `request`: the text OK accepted, exactly as typed,
// or nothing when the person cancelled. The answer stays in no variable afterwards.
std::optional<std::string> askForName(QWidget* owner, const NameRequest& request);

}  // namespace prompt
