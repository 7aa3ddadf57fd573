#include "app/file_ops.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace app {
namespace {

// The number the old runtime gave for a file it could not delete ("Path/File access error"),
// so that the message reads as its users know it.
constexpr int kPathFileAccessError = 75;

bool statPath(const QString& path, struct stat* info) {
  if (path.isEmpty()) return false;
  return ::stat(QFile::encodeName(path).constData(), info) == 0;
}

std::filesystem::path fsPath(const QString& path) {
  return std::filesystem::path(QFile::encodeName(path).toStdString());
}

}  // namespace

bool FileExists(const QString& path) {
  struct stat info {};
  if (!statPath(path, &info) || !S_ISREG(info.st_mode)) return false;
  const QString name = path.section(u'/', -1);
  return !name.startsWith(u'.');
}

bool sameFile(const QString& a, const QString& b) {
  struct stat infoA {}, infoB {};
  if (!statPath(a, &infoA) || !statPath(b, &infoB)) return false;
  return infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
}

bool sameFileOrName(const QString& a, const QString& b) {
  return a.toUpper() == b.toUpper() || sameFile(a, b);
}

db::DbError deleteFile(const QString& path) {
  if (::unlink(QFile::encodeName(path).constData()) == 0) return db::DbError::success();
  const int systemError = errno;
  return db::DbError{kPathFileAccessError,
                     "Cannot delete '" + path.toStdString() + "': " + std::strerror(systemError),
                     systemError};
}

bool CreateDestinationDatabase(const QString& templatePath, const QString& destinationPath) {
  if (FileExists(destinationPath) && !deleteFile(destinationPath).ok()) return false;
  std::error_code error;
  std::filesystem::copy_file(fsPath(templatePath), fsPath(destinationPath),
                             std::filesystem::copy_options::overwrite_existing, error);
  if (error) return false;
  return FileExists(destinationPath);
}

QString dialogStartFolder(const QString& programFolder) {
  if (!programFolder.isEmpty() &&
      ::access(QFile::encodeName(programFolder).constData(), W_OK) == 0) {
    return programFolder;
  }
  QString home = QDir::homePath();
  if (!home.endsWith(u'/')) home += u'/';
  return home;
}

QString readOnlyRefusal(const QString& path) {
  const QFileInfo file(path);
  struct stat info {};
  if (statPath(path, &info)) {
    const bool nobodyWrites = (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    if (nobodyWrites || ::access(QFile::encodeName(path).constData(), W_OK) != 0) {
      return QStringLiteral("%1\nThis file is read-only.\nChoose another file.")
          .arg(file.fileName());
    }
  }
  const QString folder = file.absolutePath();
  if (::access(QFile::encodeName(folder).constData(), W_OK) != 0) {
    return QStringLiteral("%1\nThis folder is write-protected.\nChoose another folder.")
        .arg(folder);
  }
  return {};
}

}  // namespace app
