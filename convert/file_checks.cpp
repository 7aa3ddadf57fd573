#include "convert/file_checks.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "db/text_codec.h"

namespace convert {

namespace fs = std::filesystem;
namespace {

// The number the old runtime gave for a file it could not delete or replace ("Path/File access
// error"), so that the message reads as its users know it.
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

std::vector<std::string> templatePlaces(const std::string& programFolder) {
  std::string folder = programFolder.empty() ? std::string(".") : programFolder;
  if (folder.back() != '/') folder += '/';
  return {folder + kTemplateName, folder + "../share/lvconvert/" + kTemplateName};
}

std::string findTemplate(const std::string& programFolder) {
  for (const std::string& place : templatePlaces(programFolder)) {
    if (FileExists(place)) return place;
  }
  return {};
}

std::string missingTemplateMessage(const std::vector<std::string>& places) {
  std::string text = std::string("Could not find empty Ludovane template database! (") +
                     kTemplateName + ")\r\n\r\nIt was looked for as:";
  for (const std::string& place : places) text += "\r\n" + place;
  return text;
}

std::string folderRefusal(const std::string& path) {
  std::error_code ec;
  const fs::path folder = fs::absolute(fs::path(path), ec).parent_path();
  if (fs::is_directory(folder, ec)) return {};
  fs::path existing = folder;
  while (!fs::exists(existing, ec) && existing.has_relative_path()) existing = existing.parent_path();
  if (fs::exists(existing, ec) && !fs::is_directory(existing, ec)) {
    return existing.string() + "\nThis is a file, not a folder.\nCheck the path and try again.";
  }
  return folder.string() + "\nThe folder does not exist.\nCheck the path and try again.";
}

std::string whyNotAFile(const std::string& path) {
  struct stat info {};
  if (!statPath(path, &info)) return {};
  if (S_ISDIR(info.st_mode)) return "It is a folder.";
  if (S_ISFIFO(info.st_mode)) return "It is a named pipe.";
  if (S_ISSOCK(info.st_mode)) return "It is a socket.";
  if (!S_ISREG(info.st_mode)) return "It is a device.";
  if (!FileExists(path)) return "Its name starts with \".\", which hides it.";
  return {};
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat infoA {}, infoB {};
  if (!statPath(a, &infoA) || !statPath(b, &infoB)) return false;
  return infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
}

bool maybeSameFile(const std::string& a, const std::string& b) {
  struct stat infoA {}, infoB {};
  if (!statPath(a, &infoA) || !statPath(b, &infoB)) return false;
  if (infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino) return true;
  if (!S_ISREG(infoA.st_mode) || !S_ISREG(infoB.st_mode) || infoA.st_size != infoB.st_size ||
      infoA.st_mtim.tv_sec != infoB.st_mtim.tv_sec || infoA.st_mtim.tv_nsec != infoB.st_mtim.tv_nsec) {
    return false;
  }
  // The first page of either version (two of the older's 2 KB pages), or the whole of a
  // shorter file.
  constexpr size_t kFirstPage = 4096;
  auto firstPage = [&](const std::string& path, std::string* bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bytes->resize(kFirstPage);
    size_t got = 0;
    for (ssize_t n = 1; got < kFirstPage && n > 0;) {
      n = ::pread(fd, bytes->data() + got, kFirstPage - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) n = 1;
      else if (n > 0) got += static_cast<size_t>(n);
    }
    ::close(fd);
    bytes->resize(got);
    return true;
  };
  std::string pageA, pageB;
  // A file that cannot be read is not known to differ.
  if (!firstPage(a, &pageA) || !firstPage(b, &pageB)) return true;
  return pageA == pageB;
}

db::DbError checkNotTheSource(const std::string& destination, const std::string& source) {
  if (!maybeSameFile(destination, source)) return {};
  return db::DbError{kPathFileAccessError,
                     "Cannot replace '" + destination + "': it may be the source database '" + source +
                         "' under another name (it has the source's size, time and first page)",
                     0};
}

bool sameFileOrName(const std::string& a, const std::string& b) {
  return db::upperCase(a) == db::upperCase(b) || sameFile(a, b);
}

db::DbError checkReplaceable(const std::string& path) {
  struct stat info {}, folderInfo {};
  if (path.empty() || ::lstat(path.c_str(), &info) != 0) return {};
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int systemError = 0;
  if (::access(folder.c_str(), W_OK | X_OK) != 0 || ::stat(folder.c_str(), &folderInfo) != 0) {
    systemError = errno;
  } else if ((folderInfo.st_mode & S_ISVTX) && ::geteuid() != 0 && info.st_uid != ::geteuid() &&
             folderInfo.st_uid != ::geteuid()) {
    systemError = EPERM;  // a sticky folder lets only the owner replace a file
  } else if (S_ISREG(info.st_mode)) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) {
      systemError = EPERM;
    }
    if (fd >= 0) ::close(fd);
  }
  if (systemError == 0) return {};
  return db::DbError{kPathFileAccessError,
                     "Cannot replace '" + path + "': " + std::strerror(systemError), systemError};
}

}  // namespace convert
