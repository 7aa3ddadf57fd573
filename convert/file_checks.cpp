#include "convert/file_checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "db/text_codec.h"

namespace convert {
namespace {

// The number the old runtime gave for a file it could not delete ("Path/File access error"),
// so that the message reads as its users know it.
constexpr int kPathFileAccessError = 75;

bool statPath(const std::string& path, struct stat* info) {
  return !path.empty() && ::stat(path.c_str(), info) == 0;
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat info {};
  if (!statPath(path, &info) || !S_ISREG(info.st_mode)) return false;
  const size_t slash = path.rfind('/');
  return path.compare(slash == std::string::npos ? 0 : slash + 1, 1, ".") != 0;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat infoA {}, infoB {};
  if (!statPath(a, &infoA) || !statPath(b, &infoB)) return false;
  return infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
}

bool sameFileOrName(const std::string& a, const std::string& b) {
  return db::upperCase(a) == db::upperCase(b) || sameFile(a, b);
}

db::DbError deleteFile(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return db::DbError::success();
  const int systemError = errno;
  return db::DbError{kPathFileAccessError,
                     "Cannot delete '" + path + "': " + std::strerror(systemError), systemError};
}

bool CreateDestinationDatabase(const std::string& templatePath, const std::string& destinationPath) {
  if (FileExists(destinationPath) && !deleteFile(destinationPath).ok()) return false;
  std::error_code error;
  std::filesystem::copy_file(templatePath, destinationPath,
                             std::filesystem::copy_options::overwrite_existing, error);
  if (error) return false;
  return FileExists(destinationPath);
}

}  // namespace convert
