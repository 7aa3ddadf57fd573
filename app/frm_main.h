// frm_main.h -- the main window: the choice of the two databases, the start of a conversion, its
// status log and progress bar while it runs, and the end of the program after its outcome.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QElapsedTimer>
#include <QWidget>

#include "app/dialogs.h"
#include "convert/conversion.h"
#include "convert/start_checks.h"
#include "convert/work_file.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace app {

class frmMain : public QWidget, public convert::ConversionWindow {
  Q_OBJECT

 public:
  // The genre dialog of the run's genre phase: shown modally over `owner`, it returns when it
  // has closed, with the genre id map its OK wrote, or nothing when the person aborted.
  using GenreDialog = std::function<std::optional<convert::GenreIdMap>(frmMain& owner)>;

  // `programFolder` is the folder holding the executable and the template (the program passes
  // QCoreApplication::applicationDirPath()). The window loads when it is first shown.
  frmMain(QString programFolder, Dialogs& dialogs, QWidget* parent = nullptr);
  ~frmMain() override;

  // Without one (the default), the genre phase ends at once as an abort.
  void setGenreDialog(GenreDialog dialog);

  // The program's folder as the window loaded it, ending in "/".
  const QString& ProgramFolder() const { return programFolder_; }
  bool ConversionRunning() const { return conversionRunning_; }
  // Set once the program is to end. The exit code: of that end (0 after a finished conversion);
  // before it, what closing the window gives: 1 once a Start has failed, else 0.
  bool hasEnded() const { return ended_; }
  int exitCode() const { return exitCode_; }
  // The status log as appended, line breaks CR LF.
  const QString& statusLog() const { return statusLog_; }

  // The two files as if chosen through the Select buttons (destination first, so that the
  // source is probed), each refused as its file dialog would refuse it; "" leaves a side as it
  // is. The program passes its command line's SOURCE and DEST.
  void chooseFiles(const QString& source, const QString& destination);

  // Loads the window on its first show; an ended program never shows it.
  void setVisible(bool visible) override;

  // The database the run writes: a work file beside the destination that takes its name once
  // the conversion is complete ("" outside a run). The genre dialog writes into it.
  std::string workPath() const;

  // What the run sees of the window.
  std::string sourcePath() const override;
  std::string destinationPath() const override;
  void AddStatus(const std::string& text) override;
  void setProgressMin(float value) override;
  void setProgressMax(float value) override;
  void setProgressValue(float value) override;
  float progressValue() const override { return progressValue_; }
  void yield() override;
  void showMessage(const std::string& text, convert::MessageIcon icon) override;
  std::optional<convert::GenreIdMap> showGenreDialog() override;

 signals:
  // The program must end now with `exitCode`: the template was missing, a conversion has been
  // reported, or Start failed. The window has closed (or never shown).
  void programEnded(int exitCode);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Controls {
    QLabel* lblInfo = nullptr;
    QLabel* lblSource = nullptr;
    QPushButton* cmdSource = nullptr;
    QLabel* lblDest = nullptr;
    QPushButton* cmdDest = nullptr;
    QPushButton* cmdStart = nullptr;
    QProgressBar* pbStatus = nullptr;
    QPlainTextEdit* txtStatus = nullptr;
  };

  void Form_Load();
  void Form_QueryUnload(bool& Cancel, int UnloadMode);
  void cmdSource_Click();
  void cmdDest_Click();
  void cmdStart_Click();
  QString SelectDatabaseFile(bool source);
  void setUpFileDialog(bool source);
  void sourceChosen(const QString& path);
  void destChosen(const QString& path);
  bool IsValidSourceDatabase(const QString& path);
  // The password prompt the checks of a source ask through.
  convert::PasswordPrompt passwordPrompt();
  bool CreateDestinationDatabase(const QString& templatePath, const QString& destinationPath);
  bool ConvertDatabase();

  void message(const QString& text, convert::MessageIcon icon);
  void clearSelection();
  void showHourglass();
  void showDefaultPointer();
  void startFailed(const db::DbError& error);
  void endProgram(int exitCode);
  void showProgress();
  QString templatePath() const;
  bool bothChosen() const;
  // The template in the program's folder, by name (letter case ignored) or as the same file.
  bool isTemplate(const QString& path) const;

  Controls ui_;
  std::unique_ptr<convert::WorkFile> work_;
  convert::RunReport report_;  // what the run did, for the closing message's details
  db::DbError createFailure_;
  Dialogs& dialogs_;
  GenreDialog genreDialog_;
  FileDialogSettings cDialog_;  // the one file dialog; its settings outlive each use
  QString givenFolder_;
  QString programFolder_;
  QString templatePath_;  // where Form_Load found the template
  QString statusLog_;
  float progressMin_ = 0;
  float progressMax_ = 100;
  float progressValue_ = 0;
  bool conversionRunning_ = false;
  bool loaded_ = false;
  bool ended_ = false;
  bool closingByCode_ = false;
  bool hourglass_ = false;
  int exitCode_ = 0;
  QElapsedTimer yieldClock_;  // since the events were last taken in full
  QElapsedTimer barClock_;    // since the progress bar was last moved
};

}  // namespace app
