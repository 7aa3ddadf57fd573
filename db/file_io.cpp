#include "db/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

namespace db::io {
namespace {

std::atomic<uint64_t> gCount{0};
std::atomic<uint64_t> gFailAt{0};
std::atomic<int> gError{0};

// Counts one call; true when the seam says this one fails.
bool injectedFailure() {
  const uint64_t n = ++gCount;
  return gFailAt.load() != 0 && n == gFailAt.load();
}

std::mutex gWatchMutex;
std::function<void(const Change&)> gWatcher;  // under gWatchMutex
std::atomic<bool> gWatching{false};

void tell(Change&& change) {
  std::lock_guard<std::mutex> lock(gWatchMutex);
  if (gWatcher) gWatcher(change);
}

uint64_t inodeOf(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

void tellWrite(int fd, const iovec* pieces, int count, off_t offset) {
  Change change{Change::Kind::Write, {}, {}, inodeOf(fd), static_cast<uint64_t>(offset), {}};
  for (int i = 0; i < count; ++i) {
    const auto* from = static_cast<const uint8_t*>(pieces[i].iov_base);
    change.bytes.insert(change.bytes.end(), from, from + pieces[i].iov_len);
  }
  tell(std::move(change));
}

int renameUncounted(const char* from, const char* to, bool replace) {
  if (replace) return ::rename(from, to) == 0 ? 0 : errno;
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the flag: a second name, which is refused where one exists, then
  // the first name dropped. Where hard links are unknown too, a look before the rename.
  if (::link(from, to) == 0) {
    ::unlink(from);
    return 0;
  }
  if (errno == EEXIST) return EEXIST;
  struct stat existing {};
  if (::lstat(to, &existing) == 0) return EEXIST;
  return ::rename(from, to) == 0 ? 0 : errno;
}

}  // namespace

void watchChanges(std::function<void(const Change&)> watcher) {
  std::lock_guard<std::mutex> lock(gWatchMutex);
  gWatching = static_cast<bool>(watcher);
  gWatcher = std::move(watcher);
}

void failOperation(uint64_t failAt, int error) {
  gCount = 0;
  gError = error;
  gFailAt = failAt;
}

uint64_t operationCount() { return gCount.load(); }

int writeAt(int fd, const void* data, size_t length, off_t offset) {
  if (injectedFailure()) return gError.load();
  const iovec whole{const_cast<void*>(data), length};
  const off_t start = offset;
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const ssize_t n = ::pwrite(fd, bytes, length, offset);
    if (n < 0 && errno == EINTR) continue;
    // A write that takes nothing and reports no error is a full disk by another name.
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    bytes += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  if (gWatching) tellWrite(fd, &whole, 1, start);
  return 0;
}

int writeAt(int fd, const iovec* pieces, int count, off_t offset) {
  if (injectedFailure()) return gError.load();
  const off_t start = offset;
  std::vector<iovec> rest(pieces, pieces + count);
  size_t first = 0;
  for (;;) {
    while (first < rest.size() && rest[first].iov_len == 0) ++first;
    if (first == rest.size()) break;
    const ssize_t n = ::pwritev(fd, rest.data() + first, static_cast<int>(rest.size() - first), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    offset += n;
    // Past the pieces written whole, into the one written in part.
    for (size_t left = static_cast<size_t>(n); left > 0;) {
      if (left >= rest[first].iov_len) {
        left -= rest[first].iov_len;
        ++first;
      } else {
        rest[first].iov_base = static_cast<uint8_t*>(rest[first].iov_base) + left;
        rest[first].iov_len -= left;
        left = 0;
      }
    }
  }
  if (gWatching) tellWrite(fd, pieces, count, start);
  return 0;
}

int syncFile(int fd) {
  if (injectedFailure()) return gError.load();
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  if (gWatching) tell({Change::Kind::Sync, {}, {}, inodeOf(fd), 0, {}});
  return 0;
}

int syncPath(const char* path, int flags) {
  const int fd = ::open(path, flags | O_CLOEXEC);
  if (fd < 0) return errno;
  const int err = syncFile(fd);
  ::close(fd);
  return err;
}

int renameFile(const char* from, const char* to, bool replace) {
  if (injectedFailure()) return gError.load();
  const int error = renameUncounted(from, to, replace);
  if (error == 0 && gWatching) tell({Change::Kind::Rename, from, to, 0, 0, {}});
  return error;
}

int createFile(const char* path, int flags, mode_t mode) {
  const int fd = ::open(path, flags | O_CREAT | O_EXCL, mode);
  if (fd >= 0 && gWatching) {
    const int error = errno;
    tell({Change::Kind::Create, path, {}, inodeOf(fd), 0, {}});
    errno = error;
  }
  return fd;
}

int removeFile(const char* path) {
  if (::unlink(path) != 0) return errno;
  if (gWatching) tell({Change::Kind::Remove, path, {}, 0, 0, {}});
  return 0;
}

int syncFolder(const char* folder) {
  const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  while (::fsync(fd) != 0) {
    if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  ::close(fd);
  if (error == 0 && gWatching) tell({Change::Kind::SyncFolder, folder, {}, 0, 0, {}});
  return error;
}

}  // namespace db::io
