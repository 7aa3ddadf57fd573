#include "db/page_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "db/file_io.h"

namespace db {
namespace {

// Page 0, tdef of the catalogue on page 2: a database has at least three pages.
constexpr uint32_t kMinimumPages = 3;
// Jet addresses at most 2 GB of pages in a file.
constexpr uint64_t kMaximumFileSize = uint64_t{1} << 31;

DbError osError(const std::string& path, int err) {
  switch (err) {
    case ENOENT:
      return makeError(DbErrorNumber::FileNotFound, "Could not find file '" + path + "'.", err);
    case EACCES:
    case EPERM:
      return makeError(DbErrorNumber::AccessDenied,
                       "No permission to open '" + path + "'.", err);
    case ENOTDIR:
      return makeError(DbErrorNumber::PathNotFound, "'" + path + "' is not a valid path.", err);
    default:
      return makeError(DbErrorNumber::IoError,
                       "Could not read '" + path + "': " + std::strerror(err) + ".", err);
  }
}

bool readFully(int fd, uint8_t* buffer, size_t length, off_t offset) {
  while (length > 0) {
    ssize_t n = ::pread(fd, buffer, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

std::map<std::pair<uint64_t, uint64_t>, std::string>& passwords() {
  static std::map<std::pair<uint64_t, uint64_t>, std::string> given;
  return given;
}

}  // namespace

bool rememberPassword(const std::string& path, const std::string& password) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return false;
  passwords()[{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}] = password;
  return true;
}

PageFile::~PageFile() {
  if (fd_ >= 0) ::close(fd_);
}

DbError PageFile::open(const std::string& path, std::unique_ptr<PageFile>* out, bool writable) {
  // Opened for reading only; the first write reopens the file for writing, so that a file
  // that is only read is never opened in a mode that could change it. Without blocking, so
  // that a named pipe given as a database is refused below instead of waiting for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return osError(path, errno);
  const bool readOnly = !writable;
  std::unique_ptr<PageFile> file(new PageFile());
  file->fd_ = fd;
  file->path_ = path;
  file->readOnly_ = readOnly;
  struct stat st{};
  if (::fstat(fd, &st) != 0) return osError(path, errno);
  file->device_ = static_cast<uint64_t>(st.st_dev);
  file->inode_ = static_cast<uint64_t>(st.st_ino);
  if (!S_ISREG(st.st_mode)) {
    return makeError(DbErrorNumber::NotADatabase, "'" + path + "' is not a file.");
  }
  uint8_t probe[kHeaderProbeSize];
  if (static_cast<uint64_t>(st.st_size) < kHeaderProbeSize ||
      !readFully(fd, probe, kHeaderProbeSize, 0)) {
    return makeError(DbErrorNumber::NotADatabase,
                     "'" + path + "' is not a database this program can read: the file is too "
                     "short for a header.");
  }
  DbError err = detectFormat(probe, path, &file->header_);
  if (!err.ok()) return err;
  if (file->header_.hasPassword) {
    const auto given = passwords().find({file->device_, file->inode_});
    err = checkPassword(file->header_, given == passwords().end() ? std::string() : given->second, path);
    if (!err.ok()) return err;
  }
  const uint64_t pageSize = file->header_.format->pageSize;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size % pageSize != 0 || size / pageSize < kMinimumPages) {
    return makeError(DbErrorNumber::NotADatabase,
                     "'" + path + "' is truncated: its size of " + std::to_string(size) +
                         " bytes is not a whole number of " + std::to_string(pageSize) +
                         "-byte pages.");
  }
  if (size > kMaximumFileSize) {
    return makeError(DbErrorNumber::NotADatabase,
                     "'" + path + "' is not a database this program can read: at " +
                         std::to_string(size) + " bytes it is larger than the 2 GB a Jet "
                         "database can hold.");
  }
  file->pageCount_ = static_cast<uint32_t>(size / pageSize);
  *out = std::move(file);
  return DbError::success();
}

DbError PageFile::create(const std::string& path, const FormatDescriptor& format,
                         std::span<const uint8_t> page0, std::unique_ptr<PageFile>* out) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == EEXIST) {
      return makeError(DbErrorNumber::FileExists, "The file '" + path + "' already exists.", errno);
    }
    return osError(path, errno);
  }
  std::unique_ptr<PageFile> file(new PageFile());
  file->fd_ = fd;
  file->path_ = path;
  file->readOnly_ = false;
  file->openedForWriting_ = true;
  struct stat st{};
  if (::fstat(fd, &st) != 0) return osError(path, errno);
  file->device_ = static_cast<uint64_t>(st.st_dev);
  file->inode_ = static_cast<uint64_t>(st.st_ino);
  DbError err = detectFormat(page0, path, &file->header_);
  if (!err.ok()) return err;
  if (file->header_.format != &format || page0.size() != format.pageSize) {
    return makeError(DbErrorNumber::InvalidArgument, "The new database's header is malformed.");
  }
  uint32_t pageNo = 0;
  err = file->appendPage(page0, &pageNo);
  if (!err.ok()) return err;
  *out = std::move(file);
  return DbError::success();
}

void PageFile::remember(uint32_t pageNo, std::span<const uint8_t> page) const {
  if (cacheSlot_.size() <= pageNo) cacheSlot_.resize(pageNo + 1024, -1);
  int32_t slot = cacheSlot_[pageNo];
  if (slot < 0) {
    if (cache_.size() < kCachePages) {
      slot = static_cast<int32_t>(cache_.size());
      cache_.emplace_back();
    } else {
      // Evict in turn: cheap, and good enough for pages that are touched in runs.
      slot = static_cast<int32_t>(cacheHand_++ % kCachePages);
      cacheSlot_[cache_[slot].first] = -1;
    }
    cacheSlot_[pageNo] = slot;
    cache_[slot].first = pageNo;
  }
  cache_[slot].second.assign(page.begin(), page.end());
}

DbError PageFile::readPage(uint32_t pageNo, Page* page) const {
  if (pageNo >= pageCount_) {
    return corrupt("a reference to page " + std::to_string(pageNo) + " lies past the end of the " +
                   std::to_string(pageCount_) + "-page file");
  }
  if (pageNo < cacheSlot_.size() && cacheSlot_[pageNo] >= 0) {
    *page = cache_[cacheSlot_[pageNo]].second;
    return DbError::success();
  }
  page->resize(pageSize());
  if (!readFully(fd_, page->data(), pageSize(), static_cast<off_t>(pageNo) * pageSize())) {
    return makeError(DbErrorNumber::IoError,
                     "Could not read page " + std::to_string(pageNo) + " of '" + path_ + "'.",
                     errno);
  }
  if (header_.databaseKey != 0 && pageNo != 0) applyPageKey(*page, pageNo, header_.databaseKey);
  remember(pageNo, *page);
  return DbError::success();
}

DbError PageFile::writePage(uint32_t pageNo, std::span<const uint8_t> page) {
  // An encoded database is only read: this engine writes no encoded pages.
  if (readOnly_ || header_.databaseKey != 0) {
    return makeError(DbErrorNumber::ReadOnly,
                     "The database '" + path_ + "' is read-only and cannot be changed.");
  }
  if (!openedForWriting_) {
    int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_ino) != inode_ ||
        static_cast<uint64_t>(st.st_dev) != device_) {
      const int err = errno;
      if (fd >= 0) ::close(fd);
      return makeError(DbErrorNumber::ReadOnly,
                       "The database '" + path_ + "' cannot be opened for writing.", err);
    }
    ::close(fd_);
    fd_ = fd;
    openedForWriting_ = true;
  }
  if (pageNo > pageCount_ || page.size() != pageSize()) {
    return makeError(DbErrorNumber::InvalidArgument,
                     "Page " + std::to_string(pageNo) + " cannot be written to '" + path_ + "'.");
  }
  const int failure = io::writeAt(fd_, page.data(), page.size(),
                                  static_cast<off_t>(pageNo) * pageSize());
  if (failure != 0) {
    return writeError("Could not write page " + std::to_string(pageNo) + " of '" + path_ + "'",
                      failure);
  }
  if (pageNo == pageCount_) ++pageCount_;
  ++writeCount_;
  remember(pageNo, page);
  return DbError::success();
}

DbError PageFile::appendPage(std::span<const uint8_t> page, uint32_t* pageNo) {
  *pageNo = pageCount_;
  return writePage(pageCount_, page);
}

DbError PageFile::corrupt(const std::string& what) const {
  return makeError(DbErrorNumber::CorruptDatabase,
                   "The database '" + path_ + "' is damaged: " + what + ".");
}

}  // namespace db
