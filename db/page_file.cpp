#include "db/page_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace db {
namespace {

// Page 0, tdef of the catalogue on page 2: a database has at least three pages.
constexpr uint32_t kMinimumPages = 3;

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

}  // namespace

PageFile::~PageFile() {
  if (fd_ >= 0) ::close(fd_);
}

DbError PageFile::open(const std::string& path, std::unique_ptr<PageFile>* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return osError(path, errno);
  std::unique_ptr<PageFile> file(new PageFile());
  file->fd_ = fd;
  file->path_ = path;
  struct stat st{};
  if (::fstat(fd, &st) != 0) return osError(path, errno);
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
  const uint64_t pageSize = file->header_.format->pageSize;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size % pageSize != 0 || size / pageSize < kMinimumPages) {
    return makeError(DbErrorNumber::NotADatabase,
                     "'" + path + "' is truncated: its size of " + std::to_string(size) +
                         " bytes is not a whole number of " + std::to_string(pageSize) +
                         "-byte pages.");
  }
  if (size / pageSize > 0xFFFFFF) {
    return makeError(DbErrorNumber::NotADatabase, "'" + path + "' is too large to be a database.");
  }
  file->pageCount_ = static_cast<uint32_t>(size / pageSize);
  *out = std::move(file);
  return DbError::success();
}

DbError PageFile::readPage(uint32_t pageNo, Page* page) const {
  if (pageNo >= pageCount_) {
    return corrupt("a reference to page " + std::to_string(pageNo) + " lies past the end of the " +
                   std::to_string(pageCount_) + "-page file");
  }
  page->resize(pageSize());
  if (!readFully(fd_, page->data(), pageSize(), static_cast<off_t>(pageNo) * pageSize())) {
    return makeError(DbErrorNumber::IoError,
                     "Could not read page " + std::to_string(pageNo) + " of '" + path_ + "'.",
                     errno);
  }
  return DbError::success();
}

DbError PageFile::corrupt(const std::string& what) const {
  return makeError(DbErrorNumber::CorruptDatabase,
                   "The database '" + path_ + "' is damaged: " + what + ".");
}

}  // namespace db
