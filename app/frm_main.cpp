#include "app/frm_main.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <exception>

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include "app/path_label.h"
#include "convert/file_checks.h"
#include "convert/start_checks.h"
#include "db/page_file.h"
#include "db/recordset.h"
#include "prompt/enter_key.h"

namespace app {
namespace {

using convert::MessageIcon;

// The layout is designed in twips, 15 to a pixel at 96 dots per inch.
constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidthTwips = 6510;
constexpr int kClientHeightTwips = 3135;
constexpr int kDesignFontPoints = 8;

QRect twips(int left, int top, int width, int height) {
  return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
               height / kTwipsPerPixel);
}

const QString kCaption = QStringLiteral("Database Converter Utility");
const QString kInfoText = QStringLiteral(
    "This utility will take your current Kestrel v1.3b database and copy it to a new converted "
    "database for use with the new version of Ludovane.");
const QString kSourcePlaceholder = QStringLiteral("[Current Kestrel v1.3b Database File]");
const QString kDestPlaceholder = QStringLiteral("[New LV Destination Database File]");
// The name the Select checks refuse, compared in upper case.
const QString kTemplateGuardName = QStringLiteral("V13BCONVERT.LVD");
const QString kCrLf = QStringLiteral("\r\n");

const QString kFilter = QStringLiteral("Ludovane Databases (*.mdb)");
const QString kSourceTitle = QStringLiteral("Select v1.3b File to copy and convert");
const QString kDestTitle = QStringLiteral("Select Destination Filename");
const QString kDestPreset = QStringLiteral("C64.mdb");

// Form_QueryUnload's UnloadMode: the user's close box or system menu, or the program itself.
constexpr int kUnloadByUser = 0;
constexpr int kUnloadByCode = 1;

constexpr int kExitConverted = 0;
constexpr int kExitFailed = 1;

// The progress bar counts in ints; the run sets it in floats.
int progressStep(float value) {
  if (!std::isfinite(value)) return 0;
  return static_cast<int>(std::clamp<double>(std::nearbyint(value), INT_MIN, INT_MAX));
}

std::string utf8(const QString& text) { return text.toStdString(); }

// A window given no genre dialog ends the genre phase as closing that dialog unfinished would.
std::optional<convert::GenreIdMap> genreDialogStandIn(frmMain&) { return std::nullopt; }

}  // namespace

frmMain::frmMain(QString programFolder, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent), dialogs_(dialogs), genreDialog_(genreDialogStandIn),
      givenFolder_(std::move(programFolder)) {
  setWindowTitle(kCaption);
  // The layout is measured for an 8-point font; a larger desktop font would clip the info text.
  QFont designFont = font();
  designFont.setPointSize(kDesignFontPoints);
  setFont(designFont);
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

  // The two path labels stand out in the tooltip colour, as notes to be filled in.
  QPalette note = palette();
  note.setColor(QPalette::Window, note.color(QPalette::ToolTipBase));
  note.setColor(QPalette::WindowText, note.color(QPalette::ToolTipText));
  auto makeLabel = [&](const char* name, const QRect& place, bool isNote) {
    // The two path labels show the whole path where it fits, its ends where it does not.
    QLabel* label = isNote ? new PathLabel(this) : new QLabel(this);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(place);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    if (isNote) {
      label->setAutoFillBackground(true);
      label->setPalette(note);
    }
    return label;
  };
  auto makeButton = [&](const char* name, const QRect& place, const QString& text) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(place);
    prompt::pressOnEnter({button});
    return button;
  };

  ui_.lblInfo = makeLabel("lblInfo", twips(120, 120, 6255, 495), false);
  ui_.lblInfo->setWordWrap(true);
  ui_.lblInfo->setText(kInfoText);
  ui_.lblSource = makeLabel("lblSource", twips(120, 720, 5175, 255), true);
  ui_.cmdSource = makeButton("cmdSource", twips(5400, 720, 975, 375), QStringLiteral("Select"));
  ui_.lblDest = makeLabel("lblDest", twips(120, 1440, 5175, 255), true);
  ui_.cmdDest = makeButton("cmdDest", twips(5400, 1440, 975, 375), QStringLiteral("Select"));
  ui_.cmdStart = makeButton("cmdStart", twips(2760, 2280, 975, 375), QStringLiteral("Start"));
  ui_.cmdStart->setEnabled(false);

  ui_.pbStatus = new QProgressBar(this);
  ui_.pbStatus->setObjectName(QStringLiteral("pbStatus"));
  ui_.pbStatus->setGeometry(twips(120, 2760, 6255, 255));
  ui_.pbStatus->setTextVisible(false);
  ui_.pbStatus->hide();
  showProgress();

  // The log covers everything from the info text down to Start; only the bar stays beside it.
  ui_.txtStatus = new QPlainTextEdit(this);
  ui_.txtStatus->setObjectName(QStringLiteral("txtStatus"));
  ui_.txtStatus->setGeometry(twips(120, 120, 6255, 2535));
  ui_.txtStatus->setReadOnly(true);
  ui_.txtStatus->hide();

  setTabOrder(ui_.cmdSource, ui_.cmdDest);
  setTabOrder(ui_.cmdDest, ui_.cmdStart);
  setTabOrder(ui_.cmdStart, ui_.txtStatus);

  connect(ui_.cmdSource, &QPushButton::clicked, this, &frmMain::cmdSource_Click);
  connect(ui_.cmdDest, &QPushButton::clicked, this, &frmMain::cmdDest_Click);
  connect(ui_.cmdStart, &QPushButton::clicked, this, &frmMain::cmdStart_Click);
}

frmMain::~frmMain() { showDefaultPointer(); }

void frmMain::setGenreDialog(GenreDialog dialog) {
  genreDialog_ = dialog ? std::move(dialog) : GenreDialog(genreDialogStandIn);
}

void frmMain::setVisible(bool visible) {
  if (visible && !loaded_) {
    loaded_ = true;
    Form_Load();
  }
  if (visible && ended_) return;
  QWidget::setVisible(visible);
}

void frmMain::closeEvent(QCloseEvent* event) {
  // Only the close the program makes at its end is its own; the close box, the system menu,
  // the window system and any other caller of close() count as the user's.
  bool cancel = false;
  Form_QueryUnload(cancel, closingByCode_ ? kUnloadByCode : kUnloadByUser);
  if (cancel) {
    event->ignore();
  } else {
    event->accept();
  }
}

// --- Load and close --------------------------------------------------------------------------

void frmMain::Form_Load() {
  // The widget's size is its client area.
  setFixedSize(kClientWidthTwips / kTwipsPerPixel, kClientHeightTwips / kTwipsPerPixel);
  if (QScreen* screen = this->screen()) {
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                    screen->availableGeometry()));
  }
  ui_.lblSource->setText(kSourcePlaceholder);
  ui_.lblDest->setText(kDestPlaceholder);
  // Shown and passed on as the system writes paths: "C:\Program Files\lvconvert\" on Windows.
  programFolder_ = QDir::toNativeSeparators(givenFolder_);
  if (!programFolder_.endsWith(QDir::separator())) programFolder_ += QDir::separator();
  conversionRunning_ = false;
  ui_.cmdSource->setFocus();

  // Beside the program, as a build lays it out, or where an installation puts shared files.
  templatePath_ = QString::fromStdString(convert::findTemplate(utf8(programFolder_)));
  if (templatePath_.isEmpty()) {
    message(QString::fromStdString(convert::missingTemplateMessage(convert::templatePlaces(utf8(programFolder_)))),
            MessageIcon::Critical);
    endProgram(kExitFailed);
  }
}

void frmMain::Form_QueryUnload(bool& Cancel, int UnloadMode) {
  if (UnloadMode == kUnloadByUser && conversionRunning_) Cancel = true;
}

// --- Selection -------------------------------------------------------------------------------

void frmMain::setUpFileDialog(bool source) {
  cDialog_.defaultSuffix = QStringLiteral("mdb");
  cDialog_.nameFilter = kFilter;
  // A new database goes beside the old one when the program's folder is nobody's to write.
  const QString chosenSource = ui_.lblSource->text();
  cDialog_.folder = dialogStartFolder(
      programFolder_,
      chosenSource == kSourcePlaceholder ? QString() : QFileInfo(chosenSource).absolutePath());
  // Both must find their folder and refuse read-only files; the source must exist, an existing
  // destination is overwritten only when the user confirms it.
  cDialog_.folderMustExist = true;
  cDialog_.refuseReadOnly = true;
  cDialog_.fileMustExist = source;
  cDialog_.confirmOverwrite = !source;
  cDialog_.title = source ? kSourceTitle : kDestTitle;
  if (!source) cDialog_.fileName = kDestPreset;
  cDialog_.save = !source;
}

QString frmMain::SelectDatabaseFile(bool source) {
  setUpFileDialog(source);
  const QString chosen = dialogs_.chooseFile(this, cDialog_);
  if (!chosen.isEmpty()) cDialog_.fileName = chosen;
  return chosen;
}

void frmMain::cmdSource_Click() {
  const QString path = SelectDatabaseFile(true);
  if (!path.isEmpty()) sourceChosen(path);
}

void frmMain::sourceChosen(const QString& chosen) {
  const QString path = QDir::toNativeSeparators(chosen);
  ui_.lblSource->setText(path);
  if (!bothChosen()) {
    ui_.cmdStart->setEnabled(false);
    return;
  }
  if (convert::sameFileOrName(utf8(path), utf8(ui_.lblDest->text()))) {
    message(QString::fromUtf8(convert::kMustDiffer), MessageIcon::None);
  } else if (isTemplate(path)) {
    message(QString::fromUtf8(convert::kSourceIsTemplate), MessageIcon::Information);
  } else if (IsValidSourceDatabase(path)) {
    ui_.cmdStart->setEnabled(true);
    ui_.cmdDest->setFocus();
    return;
  }
  ui_.lblSource->setText(kSourcePlaceholder);
  ui_.cmdStart->setEnabled(false);
}

void frmMain::cmdDest_Click() {
  const QString path = SelectDatabaseFile(false);
  if (!path.isEmpty()) destChosen(path);
}

void frmMain::destChosen(const QString& chosen) {
  const QString path = QDir::toNativeSeparators(chosen);
  ui_.lblDest->setText(path);
  if (!bothChosen()) {
    ui_.cmdStart->setEnabled(false);
    return;
  }
  if (convert::sameFileOrName(utf8(ui_.lblSource->text()), utf8(path))) {
    message(QString::fromUtf8(convert::kMustDiffer), MessageIcon::None);
  } else if (isTemplate(path)) {
    message(QString::fromUtf8(convert::kDestinationIsTemplate), MessageIcon::Information);
  } else {
    ui_.cmdStart->setEnabled(true);
    ui_.cmdStart->setFocus();
    return;
  }
  ui_.lblDest->setText(kDestPlaceholder);
  ui_.cmdStart->setEnabled(false);
}

void frmMain::chooseFiles(const QString& source, const QString& destination) {
  // The destination first, so that the source is probed as it is when picked second; each
  // refused as its file dialog would refuse it.
  struct Side {
    QString path;
    bool isSource;
  };
  for (const Side& side : {Side{destination, false}, Side{source, true}}) {
    if (side.path.isEmpty()) continue;
    const QString path = QFileInfo(side.path).absoluteFilePath();
    setUpFileDialog(side.isSource);
    const QString refusal = fileRefusal(cDialog_, path);
    if (!refusal.isEmpty()) {
      message(refusal, MessageIcon::Information);
      continue;
    }
    // An existing file is replaced only when the person agrees, as the Save dialog asks it.
    if (!side.isSource && QFileInfo(path).exists() &&
        !dialogs_.askYesNo(this, kDestTitle, replaceQuestion(path))) {
      continue;
    }
    cDialog_.fileName = path;
    side.isSource ? sourceChosen(path) : destChosen(path);
  }
}

bool frmMain::IsValidSourceDatabase(const QString& path) {
  // The engine's reason follows the refusal: a damaged, encrypted or foreign file, or one that
  // lacks a table or column of the old release, each needs another remedy.
  const convert::StartRefusal refusal = convert::checkCatalogue(utf8(path), passwordPrompt());
  if (refusal.ok()) return true;
  message(QString::fromStdString(refusal.message), MessageIcon::None);
  return false;
}

convert::PasswordPrompt frmMain::passwordPrompt() {
  // A password-protected catalogue opens once its password is given, and stays open to this
  // process for the rest of the run.
  return [this](const std::string& path) -> std::optional<std::string> {
    const QString password = dialogs_.askPassword(this, QString::fromStdString(path));
    if (password.isNull()) return std::nullopt;
    return password.toStdString();
  };
}

// --- Start -----------------------------------------------------------------------------------

void frmMain::cmdStart_Click() {
  // Until a conversion ends the program, the person who closes the window after this Start
  // has none: the program's exit code says so.
  exitCode_ = kExitFailed;
  const QString source = ui_.lblSource->text();
  const QString destination = ui_.lblDest->text();
  // A source chosen before the destination was never probed, and a file may have changed
  // since: everything is checked again before anything is done about the destination.
  const convert::StartRefusal refusal =
      convert::checkBeforeRun(utf8(source), utf8(destination), utf8(templatePath()), passwordPrompt());
  switch (refusal.kind) {
    case convert::Refusal::None:
      break;
    case convert::Refusal::SameFile:
      message(QString::fromUtf8(convert::kMustDiffer), MessageIcon::None);
      ui_.cmdStart->setEnabled(false);
      clearSelection();
      return;
    case convert::Refusal::DestinationNotReplaceable:
      startFailed(refusal.error);
      return;
    default: {
      // The files' own faults have no icon; what the file dialogs would have refused has theirs.
      const bool ownFault = refusal.kind == convert::Refusal::SourceMissing ||
                            refusal.kind == convert::Refusal::SourceRefused;
      message(QString::fromStdString(refusal.message),
              ownFault ? MessageIcon::None : MessageIcon::Information);
      ui_.cmdSource->setFocus();
      clearSelection();
      ui_.cmdStart->setEnabled(false);
      return;
    }
  }
  showHourglass();
  yield();

  try {
    if (!CreateDestinationDatabase(templatePath(), destination)) {
      message(QString::fromUtf8(convert::kCannotCreate) + kCrLf + kCrLf +
                  QString::fromStdString(convert::errorMessage(createFailure_)),
              MessageIcon::Critical);
      clearSelection();
      ui_.cmdSource->setFocus();
      ui_.cmdStart->setEnabled(false);
      showDefaultPointer();
      return;
    }
    conversionRunning_ = true;
    ui_.cmdStart->setEnabled(false);
    ui_.cmdSource->setEnabled(false);
    ui_.cmdDest->setEnabled(false);
    ui_.pbStatus->show();
    AddStatus("Created new database OK\r\n");
    ui_.txtStatus->show();
    yield();

    const bool converted = ConvertDatabase();
    // A failed run's work goes before the message, so that nothing of it outlasts the program.
    work_.reset();
    // The bar tells what the run left: a complete catalogue, or none.
    setProgressMin(0);
    setProgressMax(1);
    setProgressValue(converted ? 1 : 0);
    // The closing message keeps its text and icon; the report goes behind its details, the
    // reason of a failed run at its head.
    const QString details = QString::fromStdString(convert::reportText(report_));
    if (converted) {
      dialogs_.showMessageWithDetails(this, QString::fromUtf8(convert::kMessageTitle),
                                      QString::fromStdString(convert::finishedMessage(utf8(destination))),
                                      MessageIcon::None, details);
    } else {
      dialogs_.showMessageWithDetails(this, QString::fromUtf8(convert::kMessageTitle),
                                      QString::fromUtf8(convert::kNotConverted), MessageIcon::Critical,
                                      details);
    }
    showDefaultPointer();
    conversionRunning_ = false;
    endProgram(converted ? kExitConverted : kExitFailed);
  } catch (const db::DbException& error) {
    startFailed(error.error());
  } catch (const std::exception& error) {
    startFailed(db::makeError(db::DbErrorNumber::InternalError, error.what()));
  }
}

void frmMain::startFailed(const db::DbError& error) {
  message(QStringLiteral("Could not convert the database!") + kCrLf + kCrLf +
              QString::fromStdString(convert::errorMessage(error)),
          MessageIcon::Critical);
  showDefaultPointer();
  conversionRunning_ = false;
  endProgram(kExitFailed);
}

bool frmMain::CreateDestinationDatabase(const QString& templatePath, const QString& destinationPath) {
  createFailure_ =
      convert::CreateDestinationDatabase(utf8(templatePath), utf8(destinationPath), &work_);
  return createFailure_.ok();
}

bool frmMain::ConvertDatabase() { return convert::ConvertDatabase(*this, *work_, &report_); }

void frmMain::endProgram(int exitCode) {
  ended_ = true;
  exitCode_ = exitCode;
  closingByCode_ = true;
  close();
  closingByCode_ = false;
  emit programEnded(exitCode);
}

// --- What the run sees -----------------------------------------------------------------------

std::string frmMain::sourcePath() const { return ui_.lblSource->text().toStdString(); }

std::string frmMain::destinationPath() const { return ui_.lblDest->text().toStdString(); }

std::string frmMain::workPath() const { return work_ ? work_->path() : std::string(); }

void frmMain::AddStatus(const std::string& text) {
  statusLog_ += QString::fromStdString(text);
  // The log's lines end in CR LF; the text box breaks a line at either character alone.
  ui_.txtStatus->setPlainText(QString(statusLog_).replace(kCrLf, QStringLiteral("\n")));
  ui_.txtStatus->moveCursor(QTextCursor::End);
}

void frmMain::setProgressMin(float value) {
  progressMin_ = value;
  showProgress();
}

void frmMain::setProgressMax(float value) {
  progressMax_ = value;
  showProgress();
}

void frmMain::setProgressValue(float value) {
  progressValue_ = value;
  showProgress();
}

void frmMain::showProgress() {
  const int minimum = progressStep(progressMin_);
  const int maximum = progressStep(progressMax_);
  const int value = progressStep(progressValue_);
  // QProgressBar shows an empty range (a one-record table) as a busy animation: show it as a
  // range of one step instead, full once the value has reached the end.
  if (maximum <= minimum) {
    ui_.pbStatus->setRange(0, 1);
    ui_.pbStatus->setValue(value >= maximum ? 1 : 0);
    return;
  }
  // QProgressBar works out what it shows, and repaints at once when that moves, on every
  // value it is given: at a value per record that costs a run more than its records do. The
  // bar is moved at most every few milliseconds, and always to either end and to a new range,
  // so that it stands where the run is whenever a phase starts or ends.
  constexpr qint64 kBarIntervalMs = 20;
  const int shown = std::clamp(value, minimum, maximum);
  const bool sameRange = ui_.pbStatus->minimum() == minimum && ui_.pbStatus->maximum() == maximum;
  if (sameRange && shown != minimum && shown != maximum && barClock_.isValid() &&
      !barClock_.hasExpired(kBarIntervalMs)) {
    return;
  }
  ui_.pbStatus->setRange(minimum, maximum);
  ui_.pbStatus->setValue(shown);
  barClock_.start();
}

void frmMain::yield() {
  // Posted events (a queued call, a repaint asked for) are handled at every yield; the rest,
  // input above all, at most every few milliseconds: a yield per record then costs the run
  // little, and a person still sees the window answer at once.
  constexpr qint64 kYieldIntervalMs = 5;
  QCoreApplication::sendPostedEvents();
  if (!yieldClock_.isValid() || yieldClock_.hasExpired(kYieldIntervalMs)) {
    QCoreApplication::processEvents();
    yieldClock_.start();
  }
}

void frmMain::showMessage(const std::string& text, MessageIcon icon) {
  message(QString::fromStdString(text), icon);
}

std::optional<convert::GenreIdMap> frmMain::showGenreDialog() {
  // The hourglass belongs to this window; the dialog is worked with the ordinary pointer.
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  struct RestorePointer {
    ~RestorePointer() { QApplication::restoreOverrideCursor(); }
  } restore;
  // Nothing of the genre phase is written while its dialog waits; once its OK has written the
  // tables, the phase is done.
  setProgressMin(0);
  setProgressMax(1);
  setProgressValue(0);
  std::optional<convert::GenreIdMap> genreIds = genreDialog_(*this);
  if (genreIds) setProgressValue(1);
  return genreIds;
}

// --- Helpers ---------------------------------------------------------------------------------

void frmMain::message(const QString& text, MessageIcon icon) {
  dialogs_.showMessage(this, QString::fromUtf8(convert::kMessageTitle), text, icon);
}

void frmMain::clearSelection() {
  ui_.lblSource->setText(kSourcePlaceholder);
  ui_.lblDest->setText(kDestPlaceholder);
}

void frmMain::showHourglass() {
  if (hourglass_) return;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  hourglass_ = true;
}

void frmMain::showDefaultPointer() {
  if (!hourglass_) return;
  QApplication::restoreOverrideCursor();
  hourglass_ = false;
}

QString frmMain::templatePath() const { return templatePath_; }

bool frmMain::bothChosen() const {
  return ui_.lblSource->text() != kSourcePlaceholder && ui_.lblDest->text() != kDestPlaceholder;
}

bool frmMain::isTemplate(const QString& path) const {
  return QDir::fromNativeSeparators(path).toUpper() ==
             QDir::fromNativeSeparators(programFolder_ + kTemplateGuardName).toUpper() ||
         convert::sameFile(utf8(templatePath()), utf8(path));
}

}  // namespace app
