#include "app/dialogs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QScreen>
#include <QTreeView>

#include "convert/file_checks.h"
#include "db/file_io.h"
#include "prompt/frm_input_box.h"
#include "prompt/message_box.h"

namespace app {

QIcon programIcon() {
  QIcon icon;
  for (const int size : {16, 32, 48, 256}) {
    icon.addFile(QStringLiteral(":/%1x%1/lvconvert.png").arg(size), QSize(size, size));
  }
  return icon;
}

QString dialogStartFolder(const QString& programFolder, const QString& fallback) {
  for (const QString& given : {programFolder, fallback}) {
    const QString folder = QDir::fromNativeSeparators(given);
    if (!folder.isEmpty() && QFileInfo(folder).isDir() &&
        db::io::mayWrite(folder.toStdString())) {
      return folder.endsWith(u'/') ? folder : folder + u'/';
    }
  }
  QString home = QDir::homePath();
  if (!home.endsWith(u'/')) home += u'/';
  return home;
}

QString replaceQuestion(const QString& path) {
  return QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(QDir::toNativeSeparators(path));
}

QString readOnlyRefusal(const QString& path) {
  const QFileInfo file(path);
  db::io::FileInfo info;
  if (db::io::pathInfo(path.toStdString(), &info) == 0) {
    if (info.readOnly || !db::io::mayWrite(path.toStdString())) {
      return QStringLiteral("%1\nThis file is read-only.\nChoose another file.")
          .arg(file.fileName());
    }
  }
  const QString folder = file.absolutePath();
  if (!db::io::mayWrite(folder.toStdString())) {
    return QStringLiteral("%1\nThis folder is write-protected.\nChoose another folder.")
        .arg(QDir::toNativeSeparators(folder));
  }
  return {};
}

QString QtDialogs::chooseFile(QWidget* owner, const FileDialogSettings& settings) {
  DatabaseFileDialog dialog(owner, settings);
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList files = dialog.selectedFiles();
  return files.isEmpty() ? QString() : files.first();
}

std::unique_ptr<QMessageBox> makeMessageBox(QWidget* owner, const QString& title,
                                            const QString& text, convert::MessageIcon icon) {
  QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
  switch (icon) {
    case convert::MessageIcon::None: boxIcon = QMessageBox::NoIcon; break;
    case convert::MessageIcon::Critical: boxIcon = QMessageBox::Critical; break;
    case convert::MessageIcon::Information: boxIcon = QMessageBox::Information; break;
    case convert::MessageIcon::Exclamation: boxIcon = QMessageBox::Warning; break;
  }
  // Plain text: a path may hold "<" or "&"; a lone CR would show as a glyph.
  const QString shown = QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  auto box = std::make_unique<QMessageBox>(boxIcon, title, shown, QMessageBox::Ok, owner);
  box->setTextFormat(Qt::PlainText);
  prompt::fitMessageBox(*box);
  return box;
}

void QtDialogs::showMessage(QWidget* owner, const QString& title, const QString& text,
                            convert::MessageIcon icon) {
  makeMessageBox(owner, title, text, icon)->exec();
}

bool QtDialogs::askYesNo(QWidget* owner, const QString& title, const QString& text) {
  QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, owner);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::No);
  prompt::fitMessageBox(box);
  return box.exec() == QMessageBox::Yes;
}


QString QtDialogs::askPassword(QWidget* owner, const QString& file) {
  prompt::NameRequest request;
  request.title = "Database Password";
  request.prompt = "Password of " + QFileInfo(file).fileName().toStdString() + ":";
  request.maxLength = 20;  // the most a Jet database password holds
  request.masked = true;
  const std::optional<std::string> answer = prompt::askForName(owner, request);
  return answer ? QString::fromStdString(*answer) : QString();
}

DatabaseFileDialog::DatabaseFileDialog(QWidget* owner, const FileDialogSettings& settings)
    : QFileDialog(owner), settings_(settings) {
  setOption(QFileDialog::DontUseNativeDialog);
  setAcceptMode(settings.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  setFileMode(settings.fileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  // The overwrite question is asked in accept(), in a box wide enough for the dialog's title.
  setOption(QFileDialog::DontConfirmOverwrite, true);
  setWindowTitle(settings.title);
  setNameFilter(settings.nameFilter);
  setDefaultSuffix(settings.defaultSuffix);
  setDirectory(settings.folder);
  if (!settings.fileName.isEmpty()) selectFile(settings.fileName);
  // Sizes, types and dates shown whole beside the names, which take the rest of the width; a
  // dialog wide enough for all of them where the screen allows.
  setViewMode(QFileDialog::Detail);
  if (auto* view = findChild<QTreeView*>()) {
    QHeaderView* header = view->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < header->count(); ++column) {
      header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    }
  }
  QSize size(760, 460);
  if (const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen()) {
    size = size.boundedTo(screen->availableSize() * 9 / 10);
  }
  resize(size);
}

void DatabaseFileDialog::accept() {
  const QStringList files = selectedFiles();
  if (!files.isEmpty() && !QFileInfo(files.first()).isDir()) {
    const QString why = fileRefusal(settings_, files.first());
    if (!why.isEmpty()) {
      QMessageBox box(QMessageBox::Warning, windowTitle(), why, QMessageBox::Ok, this);
      prompt::fitMessageBox(box);
      box.exec();
      return;
    }
    if (settings_.save && settings_.confirmOverwrite && QFileInfo::exists(files.first())) {
      QMessageBox box(QMessageBox::Warning, windowTitle(),
                      replaceQuestion(QFileInfo(files.first()).fileName()),
                      QMessageBox::Yes | QMessageBox::No, this);
      box.setDefaultButton(QMessageBox::No);
      prompt::fitMessageBox(box);
      if (box.exec() != QMessageBox::Yes) return;
    }
  }
  QFileDialog::accept();
}

QString fileRefusal(const FileDialogSettings& settings, const QString& path) {
  const QFileInfo file(path);
  if (settings.folderMustExist) {
    const std::string why = convert::folderRefusal(QFile::encodeName(path).toStdString());
    if (!why.empty()) return QString::fromStdString(why);
  }
  // A missing file is left to QFileDialog, which reports it itself.
  if (settings.fileMustExist && !file.exists()) return {};
  if (settings.refuseReadOnly) return readOnlyRefusal(path);
  return {};
}

}  // namespace app
