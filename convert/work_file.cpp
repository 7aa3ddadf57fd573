#include "convert/work_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "convert/file_checks.h"
#include "db/file_io.h"

namespace convert {
namespace {

constexpr const char* kPrefix = ".lvconvert-";
constexpr size_t kPrefixLength = 11;
constexpr size_t kDigits = 16;
constexpr const char* kWorkSuffix = ".work";
constexpr const char* kCompactedSuffix = ".tmp";
constexpr size_t kCopyChunk = 1 << 16;

std::string folderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? std::string(".") : folder;
}

std::string workName(const std::string& folder, const std::string& digits, const char* suffix) {
  return folder + "/" + kPrefix + digits + suffix;
}

// The 16 digits of one of our names, or "" for any other name.
std::string digitsOf(const std::string& name) {
  const bool work = name.size() == kPrefixLength + kDigits + 5 &&
                    name.compare(kPrefixLength + kDigits, 5, kWorkSuffix) == 0;
  const bool compacted = name.size() == kPrefixLength + kDigits + 4 &&
                         name.compare(kPrefixLength + kDigits, 4, kCompactedSuffix) == 0;
  if ((!work && !compacted) || name.compare(0, kPrefixLength, kPrefix) != 0) return {};
  const std::string digits = name.substr(kPrefixLength, kDigits);
  if (digits.find_first_not_of("0123456789abcdef") != std::string::npos) return {};
  return digits;
}

// Whether `path` still names the file open on `fd`: a sweep of another run may have removed
// the name between its creation and the lock.
bool stillNamed(int fd, const std::string& path) {
  struct stat held {}, named {};
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

db::DbError copyInto(int from, int to, const std::string& what) {
  std::vector<uint8_t> buffer(kCopyChunk);
  for (off_t offset = 0;;) {
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return db::writeError("Could not read the template for " + what, errno);
    if (n == 0) return {};
    const int failure = db::io::writeAt(to, buffer.data(), static_cast<size_t>(n), offset);
    if (failure != 0) return db::writeError("Could not write " + what, failure);
    offset += n;
  }
}

}  // namespace

db::DbError WorkFile::create(const std::string& templatePath, const std::string& destinationPath,
                             std::unique_ptr<WorkFile>* out) {
  const std::string folder = folderOf(destinationPath);
  removeAbandonedWork(folder);
  const int from = ::open(templatePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (from < 0) return db::writeError("Could not open the template '" + templatePath + "'", errno);
  std::unique_ptr<WorkFile> work(new WorkFile());
  work->destination_ = destinationPath;
  struct stat existing {};
  work->replaces_ = ::lstat(destinationPath.c_str(), &existing) == 0;
  std::random_device seed;
  std::mt19937_64 random(seed());
  db::DbError err = db::writeError("No name for a work file is free in '" + folder + "'", EEXIST);
  for (int attempt = 0; attempt < 100 && work->lockFd_ < 0; ++attempt) {
    char digits[kDigits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(random()));
    const std::string path = workName(folder, digits, kWorkSuffix);
    const int fd = db::io::createFile(path.c_str(), O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      err = db::writeError("Could not create a work file beside '" + destinationPath + "'", errno);
      break;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int failure = errno;
      ::close(fd);
      // Locked already: another run's sweep took the new file for abandoned work and holds
      // it while it removes it. Any other failure is the folder's file system, which knows no
      // locks; work that cannot be told from abandoned work is not made there.
      if (failure == EWOULDBLOCK) continue;
      db::io::removeFile(path.c_str());
      err = db::writeError("Could not lock a work file beside '" + destinationPath + "'", failure);
      break;
    }
    if (!stillNamed(fd, path)) {
      ::close(fd);
      continue;
    }
    work->lockFd_ = fd;
    work->path_ = path;
    work->compactedPath_ = workName(folder, digits, kCompactedSuffix);
  }
  if (work->lockFd_ >= 0) err = copyInto(from, work->lockFd_, "the work file '" + work->path_ + "'");
  ::close(from);
  if (!err.ok()) return err;
  *out = std::move(work);
  return {};
}

WorkFile::~WorkFile() { removeWork(); }

void WorkFile::removeWork() {
  if (lockFd_ < 0) return;
  // The lock goes last, so that no sweep of another run meets a half-removed work.
  db::io::removeFile(compactedPath_.c_str());
  if (!installed_) db::io::removeFile(path_.c_str());
  ::close(lockFd_);
  lockFd_ = -1;
}

db::DbError WorkFile::install(const std::string& finished, const std::string& source) {
  int failure = db::io::syncPath(finished.c_str(), O_RDONLY);
  if (failure != 0) {
    return db::writeError("The new database '" + finished + "' could not be written to disk",
                          failure);
  }
  // The checks before the run compare device and inode, which two mounts of one share do not
  // keep; the rename would put the conversion in place of its own source.
  if (db::DbError err = checkNotTheSource(destination_, source); !err.ok()) return err;
  struct stat replaced {};
  if (::stat(destination_.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode)) {
    ::chmod(finished.c_str(), replaced.st_mode & 07777);
  }
  failure = db::io::renameFile(finished.c_str(), destination_.c_str(), replaces_);
  if (failure == EEXIST && !replaces_) {
    return db::writeError("'" + destination_ + "' was made while the conversion ran; it is left " +
                              "as it is and the conversion is not put in its place",
                          failure);
  }
  if (failure != 0) {
    return db::writeError("The new database could not take the name '" + destination_ + "'",
                          failure);
  }
  installed_ = true;
  if (finished == compactedPath_) db::io::removeFile(path_.c_str());
  // The rename is the moment the conversion is in place. Syncing the folder makes the new
  // name last sooner; it cannot undo the rename, and a power cut before it shows either the
  // old file or the new one, each whole, so its failure changes nothing the run reports.
  db::io::syncFolder(folderOf(destination_).c_str());
  removeWork();
  return {};
}

db::DbError CreateDestinationDatabase(const std::string& templatePath,
                                      const std::string& destinationPath,
                                      std::unique_ptr<WorkFile>* work) {
  const std::string name = std::filesystem::path(destinationPath).filename().string();
  if (name.empty() || name[0] == '.') {
    return db::makeError(db::DbErrorNumber::InvalidArgument,
                         "'" + destinationPath + "' is a hidden name, which no folder listing shows.");
  }
  struct stat existing {};
  if (::lstat(destinationPath.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) &&
      !S_ISLNK(existing.st_mode)) {
    return db::writeError("'" + destinationPath + "' is not a file that can be replaced",
                          S_ISDIR(existing.st_mode) ? EISDIR : EEXIST);
  }
  return WorkFile::create(templatePath, destinationPath, work);
}

void removeAbandonedWork(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  std::vector<std::string> found;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string digits = digitsOf(entry->d_name);
    if (!digits.empty()) found.push_back(entry->d_name);
  }
  ::closedir(dir);
  for (const std::string& name : found) {
    const std::string digits = digitsOf(name);
    const std::string work = workName(folder, digits, kWorkSuffix);
    // Read-write where it may: over NFS an exclusive flock is a write lock, refused on a file
    // opened only for reading.
    int fd = ::open(work.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) fd = ::open(work.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      // A compacted copy whose work file is gone was left by a run that ended between the two
      // removals, or by an older release that kept no work file.
      if (errno == ENOENT) db::io::removeFile((folder + "/" + name).c_str());
      continue;
    }
    // A lock held means a live run; taking it means the run that made the file has ended.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      db::io::removeFile(workName(folder, digits, kCompactedSuffix).c_str());
      db::io::removeFile(work.c_str());
    }
    ::close(fd);
  }
}

}  // namespace convert
