#include "db/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
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

}  // namespace

void failOperation(uint64_t failAt, int error) {
  gCount = 0;
  gError = error;
  gFailAt = failAt;
}

uint64_t operationCount() { return gCount.load(); }

int writeAt(int fd, const void* data, size_t length, off_t offset) {
  if (injectedFailure()) return gError.load();
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
  return 0;
}

int writeAt(int fd, const iovec* pieces, int count, off_t offset) {
  if (injectedFailure()) return gError.load();
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
  return 0;
}

int syncFile(int fd) {
  if (injectedFailure()) return gError.load();
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
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

}  // namespace db::io
