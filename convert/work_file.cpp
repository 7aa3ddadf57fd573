#include "convert/work_file.h"

#include <cerrno>
#include <cstdio>
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
  const std::string folder = db::io::utf8Of(db::io::pathOf(path).parent_path());
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

// Whether `path` still names the file open as `file`: a sweep of another run may have removed
// the name between its creation and the lock.
bool stillNamed(db::io::File file, const std::string& path) {
  db::io::FileInfo held, named;
  return db::io::fileInfo(file, &held) == 0 && db::io::pathInfo(path, &named) == 0 &&
         held.device == named.device && held.inode == named.inode;
}

db::DbError copyInto(db::io::File from, db::io::File to, const std::string& what) {
  std::vector<uint8_t> buffer(kCopyChunk);
  for (uint64_t offset = 0;;) {
    size_t n = 0;
    if (const int failure = db::io::readAt(from, buffer.data(), buffer.size(), offset, &n); failure != 0) {
      return db::writeError("Could not read the template for " + what, failure);
    }
    if (n == 0) return {};
    const int failure = db::io::writeAt(to, buffer.data(), n, offset);
    if (failure != 0) return db::writeError("Could not write " + what, failure);
    offset += n;
  }
}

}  // namespace

db::DbError WorkFile::create(const std::string& templatePath, const std::string& destinationPath,
                             std::unique_ptr<WorkFile>* out) {
  const std::string folder = folderOf(destinationPath);
  removeAbandonedWork(folder);
  db::io::File from;
  if (const int failure = db::io::openFile(templatePath, db::io::Access::Read, &from); failure != 0) {
    return db::writeError("Could not open the template '" + templatePath + "'", failure);
  }
  std::unique_ptr<WorkFile> work(new WorkFile());
  work->destination_ = destinationPath;
  db::io::FileInfo existing;
  work->replaces_ = db::io::pathInfo(destinationPath, &existing, false) == 0;
  std::random_device seed;
  std::mt19937_64 random(seed());
  db::DbError err = db::writeError("No name for a work file is free in '" + folder + "'", EEXIST);
  for (int attempt = 0; attempt < 100 && !work->lock_.valid(); ++attempt) {
    char digits[kDigits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(random()));
    const std::string path = workName(folder, digits, kWorkSuffix);
    db::io::File fd;
    if (const int failure = db::io::createFile(path, &fd); failure != 0) {
      if (failure == EEXIST) continue;
      err = db::writeError("Could not create a work file beside '" + destinationPath + "'", failure);
      break;
    }
    if (const int failure = db::io::lockFile(fd); failure != 0) {
      db::io::closeFile(&fd);
      // Locked already: another run's sweep took the new file for abandoned work and holds
      // it while it removes it. Any other failure is the folder's file system, which knows no
      // locks; work that cannot be told from abandoned work is not made there.
      if (failure == db::io::kLocked) continue;
      db::io::removeFile(path);
      err = db::writeError("Could not lock a work file beside '" + destinationPath + "'", failure);
      break;
    }
    if (!stillNamed(fd, path)) {
      db::io::closeFile(&fd);
      continue;
    }
    work->lock_ = fd;
    work->path_ = path;
    work->compactedPath_ = workName(folder, digits, kCompactedSuffix);
  }
  if (work->lock_.valid()) err = copyInto(from, work->lock_, "the work file '" + work->path_ + "'");
  db::io::closeFile(&from);
  if (!err.ok()) return err;
  *out = std::move(work);
  return {};
}

WorkFile::~WorkFile() { removeWork(); }

void WorkFile::removeWork() {
  if (!lock_.valid()) return;
  // The lock goes last, so that no sweep of another run meets a half-removed work.
  db::io::removeFile(compactedPath_);
  if (!installed_) db::io::removeFile(path_);
  db::io::closeFile(&lock_);
}

db::DbError WorkFile::install(const std::string& finished, const std::string& source) {
  int failure = db::io::syncPath(finished);
  if (failure != 0) {
    return db::writeError("The new database '" + finished + "' could not be written to disk",
                          failure);
  }
  // The checks before the run compare device and inode, which two mounts of one share do not
  // keep; the rename would put the conversion in place of its own source.
  if (db::DbError err = checkNotTheSource(destination_, source); !err.ok()) return err;
  db::io::prepareToReplace(finished, destination_);
  failure = db::io::renameFile(finished, destination_, replaces_);
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
  if (finished == compactedPath_) db::io::removeFile(path_);
  // The rename is the moment the conversion is in place. Syncing the folder makes the new
  // name last sooner; it cannot undo the rename, and a power cut before it shows either the
  // old file or the new one, each whole, so its failure changes nothing the run reports.
  db::io::syncFolder(folderOf(destination_));
  removeWork();
  return {};
}

db::DbError CreateDestinationDatabase(const std::string& templatePath,
                                      const std::string& destinationPath,
                                      std::unique_ptr<WorkFile>* work) {
  const std::string name = db::io::utf8Of(db::io::pathOf(destinationPath).filename());
  if (name.empty() || name[0] == '.') {
    return db::makeError(db::DbErrorNumber::InvalidArgument,
                         "'" + destinationPath + "' is a hidden name, which no folder listing shows.");
  }
  using Kind = db::io::FileInfo::Kind;
  db::io::FileInfo existing;
  if (db::io::pathInfo(destinationPath, &existing, false) == 0 && existing.kind != Kind::File &&
      existing.kind != Kind::Link) {
    return db::writeError("'" + destinationPath + "' is not a file that can be replaced",
                          existing.kind == Kind::Folder ? EISDIR : EEXIST);
  }
  return WorkFile::create(templatePath, destinationPath, work);
}

void removeAbandonedWork(const std::string& folder) {
  std::vector<std::string> found;
  if (db::io::listFolder(folder, &found) != 0) return;
  for (const std::string& name : found) {
    const std::string digits = digitsOf(name);
    if (digits.empty()) continue;
    const std::string work = workName(folder, digits, kWorkSuffix);
    // Read-write where it may: over NFS an exclusive flock is a write lock, refused on a file
    // opened only for reading.
    db::io::File fd;
    int failure = db::io::openFile(work, db::io::Access::ReadWrite, &fd);
    if (failure != 0 && failure != ENOENT) failure = db::io::openFile(work, db::io::Access::Read, &fd);
    if (failure != 0) {
      // A compacted copy whose work file is gone was left by a run that ended between the two
      // removals, or by an older release that kept no work file.
      if (failure == ENOENT) db::io::removeFile(folder + "/" + name);
      continue;
    }
    // A lock held means a live run; taking it means the run that made the file has ended.
    if (db::io::lockFile(fd) == 0) {
      db::io::removeFile(workName(folder, digits, kCompactedSuffix));
      db::io::removeFile(work);
    }
    db::io::closeFile(&fd);
  }
}

}  // namespace convert
