// The main window's pictures: as it opens, with both files chosen, half-way through the games of
// a conversion of the sample catalogue, and its finish message.
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include "app/frm_main.h"
#include "app/screenshots.h"
#include "convert/genre_model.h"

namespace app {
namespace {

// Answers the file dialogs from a list and lets every message pass.
class ListedAnswers : public Dialogs {
 public:
  explicit ListedAnswers(QStringList files) : files_(std::move(files)) {}
  QString chooseFile(QWidget*, const FileDialogSettings&) override {
    return files_.isEmpty() ? QString() : files_.takeFirst();
  }
  void showMessage(QWidget*, const QString&, const QString& text, convert::MessageIcon icon) override {
    lastText = text;
    lastIcon = icon;
  }
  void showMessageWithDetails(QWidget* owner, const QString& title, const QString& text,
                              convert::MessageIcon icon, const QString& details) override {
    showMessage(owner, title, text, icon);
    lastDetails = details;
  }
  QString lastText, lastDetails;
  convert::MessageIcon lastIcon = convert::MessageIcon::None;
  QString askPassword(QWidget*, const QString&) override { return {}; }
  bool askYesNo(QWidget*, const QString&, const QString&) override { return true; }

 private:
  QStringList files_;
};

}  // namespace

void shootMainWindow(ShotContext& shots) {
  // A source deep in folders, so that its label shows a path too long for it.
  const QString folder =
      shots.scratchFolder() + QStringLiteral("My catalogues/Commodore 64/Old release/Backups/");
  const QString source = folder + QStringLiteral("Games.mdb");
  // A destination in a folder of a long name: the finish message shows its path whole.
  const QString destinationFolder =
      shots.scratchFolder() +
      QStringLiteral("Commodore 64 catalogue converted for the new release on the first of "
                     "December, kept beside the old one for safety") + u'/';
  const QString destination = destinationFolder + QStringLiteral("C64.mdb");
  if (!QDir().mkpath(folder) || !QDir().mkpath(destinationFolder) ||
      !QFile::copy(shots.sampleCatalogue(), source)) {
    shots.fail(QStringLiteral("cannot copy the sample catalogue ") + shots.sampleCatalogue());
    return;
  }
  ListedAnswers answers({source, destination});
  frmMain window(shots.programFolder(), answers);
  // The genre phase takes the suggested grouping, so that the run goes on to the games.
  window.setGenreDialog([](frmMain& owner) {
    return convert::WriteSuggestedGenres(owner.sourcePath(), owner.workPath());
  });
  window.show();
  shots.save(QStringLiteral("frmMain-start.png"), window);

  window.findChild<QPushButton*>(QStringLiteral("cmdSource"))->click();
  window.findChild<QPushButton*>(QStringLiteral("cmdDest"))->click();
  shots.save(QStringLiteral("frmMain-files-chosen.png"), window);

  auto* log = window.findChild<QPlainTextEdit*>(QStringLiteral("txtStatus"));
  auto* bar = window.findChild<QProgressBar*>(QStringLiteral("pbStatus"));
  bool running = false;
  QObject::connect(bar, &QProgressBar::valueChanged, &window, [&](int value) {
    if (running || !window.statusLog().endsWith(QStringLiteral("Copying Games table..."))) return;
    if (value * 2 < bar->minimum() + bar->maximum()) return;
    running = shots.save(QStringLiteral("frmMain-running.png"), window);
  });
  window.findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
  if (!running) {
    shots.fail(QStringLiteral("the conversion never reached the games; its log:\n") +
               log->toPlainText());
  }
  // The finish message as the program shows it, then with its details open.
  const std::unique_ptr<QMessageBox> finished =
      makeDetailedMessageBox(nullptr, QString::fromUtf8(convert::kMessageTitle), answers.lastText,
                             answers.lastIcon, answers.lastDetails, answers);
  finished->show();
  shots.save(QStringLiteral("frmMain-finished.png"), *finished);
  for (QAbstractButton* button : finished->buttons()) {
    if (finished->buttonRole(button) == QMessageBox::ActionRole && button->text().startsWith("Show")) {
      button->click();
    }
  }
  shots.save(QStringLiteral("frmMain-finished-details.png"), *finished);
}

}  // namespace app
