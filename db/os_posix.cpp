// The file seam on POSIX systems (Linux first: sync_file_range, hole punching, renameat2 and
// the immutable flag are Linux's, each with a fallback or nothing where it is missing).
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "db/os.h"

namespace db::io {
namespace {

static_assert(sizeof(Piece) == sizeof(iovec) && offsetof(Piece, data) == offsetof(iovec, iov_base) &&
              offsetof(Piece, length) == offsetof(iovec, iov_len));

int fdOf(File file) { return static_cast<int>(file.handle); }

FileInfo describe(const struct stat& st) {
  FileInfo info;
  if (S_ISREG(st.st_mode)) info.kind = FileInfo::Kind::File;
  else if (S_ISDIR(st.st_mode)) info.kind = FileInfo::Kind::Folder;
  else if (S_ISLNK(st.st_mode)) info.kind = FileInfo::Kind::Link;
  else if (S_ISFIFO(st.st_mode)) info.kind = FileInfo::Kind::Pipe;
  else if (S_ISSOCK(st.st_mode)) info.kind = FileInfo::Kind::Socket;
  else info.kind = FileInfo::Kind::Device;
  info.size = static_cast<uint64_t>(st.st_size);
  info.device = static_cast<uint64_t>(st.st_dev);
  info.inode = static_cast<uint64_t>(st.st_ino);
  info.modifiedSeconds = st.st_mtim.tv_sec;
  info.modifiedNanoseconds = static_cast<int32_t>(st.st_mtim.tv_nsec);
  info.allocated = static_cast<uint64_t>(st.st_blocks) * 512;
  info.readOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  return info;
}

bool convertWithIconv(const std::string& to, const std::string& from, std::string_view in,
                      std::string* out) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  out->clear();
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::vector<char> input(in.begin(), in.end());
  char* inPtr = input.data();
  size_t inLeft = input.size();
  std::array<char, 1024> buffer{};
  bool ok = true;
  while (inLeft > 0) {
    char* outPtr = buffer.data();
    size_t outLeft = buffer.size();
    size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    out->append(buffer.data(), buffer.size() - outLeft);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // An unmappable or malformed byte: keep going past it with a replacement. Into a code
      // page, a character the code page lacks is one '?', however many bytes UTF-8 gave it.
      ok = false;
      const bool toUtf8 = to == "UTF-8";
      out->append(toUtf8 ? "\xEF\xBF\xBD" : "?");
      const auto lead = static_cast<uint8_t>(*inPtr);
      size_t skip = toUtf8 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      skip = std::min(skip, inLeft);
      inPtr += skip;
      inLeft -= skip;
    }
  }
  iconv_close(cd);
  return ok;
}

}  // namespace

// ---- What file_io.cpp counts and watches ----------------------------------------------------

int os::writeAll(File file, const void* data, size_t length, uint64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const ssize_t n = ::pwrite(fdOf(file), bytes, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    // A write that takes nothing and reports no error is a full disk by another name.
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    bytes += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return 0;
}

int os::writeAll(File file, const Piece* pieces, int count, uint64_t offset) {
  std::vector<iovec> rest(reinterpret_cast<const iovec*>(pieces), reinterpret_cast<const iovec*>(pieces) + count);
  size_t first = 0;
  for (;;) {
    while (first < rest.size() && rest[first].iov_len == 0) ++first;
    if (first == rest.size()) return 0;
    const ssize_t n = ::pwritev(fdOf(file), rest.data() + first, static_cast<int>(rest.size() - first),
                                static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    offset += static_cast<uint64_t>(n);
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
}

int os::sync(File file) {
  while (::fsync(fdOf(file)) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int os::rename(const std::string& from, const std::string& to, bool replace) {
  if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
  // A file system without the flag: a second name, which is refused where one exists, then
  // the first name dropped. Where hard links are unknown too, a look before the rename.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return 0;
  }
  if (errno == EEXIST) return EEXIST;
  struct stat existing {};
  if (::lstat(to.c_str(), &existing) == 0) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int os::create(const std::string& path, File* out) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_CREAT | O_EXCL, 0666);
  if (fd < 0) return errno;
  out->handle = fd;
  return 0;
}

int os::remove(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int os::syncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  while (::fsync(fd) != 0) {
    if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  ::close(fd);
  return error;
}

uint64_t os::identity(File file) {
  struct stat st {};
  return ::fstat(fdOf(file), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

// ---- The rest of the seam ---------------------------------------------------------------------

std::string errorText(int error) { return std::strerror(error); }

int openFile(const std::string& path, Access access, File* out) {
  // Without blocking, so that a named pipe is refused by its kind instead of waiting for a writer.
  const int flags = (access == Access::Read ? O_RDONLY : O_RDWR) | O_NONBLOCK | O_CLOEXEC;
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) return errno;
  out->handle = fd;
  return 0;
}

void closeFile(File* file) {
  if (!file->valid()) return;
  ::close(fdOf(*file));
  file->handle = -1;
}

int readAt(File file, void* data, size_t length, uint64_t offset, size_t* got) {
  for (;;) {
    const ssize_t n = ::pread(fdOf(file), data, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    *got = n > 0 ? static_cast<size_t>(n) : 0;
    return n < 0 ? errno : 0;
  }
}

int readAt(File file, const Piece* pieces, int count, uint64_t offset, size_t* got) {
  for (;;) {
    const ssize_t n =
        ::preadv(fdOf(file), reinterpret_cast<const iovec*>(pieces), count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    *got = n > 0 ? static_cast<size_t>(n) : 0;
    return n < 0 ? errno : 0;
  }
}

void startWriting(File file, uint64_t offset, uint64_t length) {
#ifdef SYNC_FILE_RANGE_WRITE
  ::sync_file_range(fdOf(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
#else
  (void)file, (void)offset, (void)length;
#endif
}

bool punchHole(File file, uint64_t offset, uint64_t length) {
#ifdef FALLOC_FL_PUNCH_HOLE
  return ::fallocate(fdOf(file), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                     static_cast<off_t>(length)) == 0;
#else
  (void)file, (void)offset, (void)length;
  return false;
#endif
}

int lockFile(File file) {
  if (::flock(fdOf(file), LOCK_EX | LOCK_NB) == 0) return 0;
  return errno == EWOULDBLOCK ? kLocked : errno;
}

void prepareToReplace(const std::string& finished, const std::string& replaced) {
  struct stat st {};
  if (::stat(replaced.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::chmod(finished.c_str(), st.st_mode & 07777);
}

int makeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno; }

int removeFolder(const std::string& path) { return ::rmdir(path.c_str()) == 0 ? 0 : errno; }

int listFolder(const std::string& folder, std::vector<std::string>* names) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return errno;
  names->clear();
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names->emplace_back(entry->d_name);
    }
  }
  ::closedir(dir);
  return 0;
}

int fileInfo(File file, FileInfo* info) {
  struct stat st {};
  if (::fstat(fdOf(file), &st) != 0) return errno;
  *info = describe(st);
  return 0;
}

int pathInfo(const std::string& path, FileInfo* info, bool followLinks) {
  struct stat st {};
  if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return errno;
  *info = describe(st);
  return 0;
}

bool mayWrite(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }

int replaceRefusal(const std::string& path) {
  struct stat info {}, folderInfo {};
  if (path.empty() || ::lstat(path.c_str(), &info) != 0) return 0;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (::access(folder.c_str(), W_OK | X_OK) != 0 || ::stat(folder.c_str(), &folderInfo) != 0) return errno;
  if ((folderInfo.st_mode & S_ISVTX) && ::geteuid() != 0 && info.st_uid != ::geteuid() &&
      folderInfo.st_uid != ::geteuid()) {
    return EPERM;  // a sticky folder lets only the owner replace a file
  }
#ifdef FS_IOC_GETFLAGS
  if (S_ISREG(info.st_mode)) {
    // Immutable or append-only stops even root.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    const bool refused =
        fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL));
    if (fd >= 0) ::close(fd);
    if (refused) return EPERM;
  }
#endif
  return 0;
}

void ignoreFileSizeSignal() { std::signal(SIGXFSZ, SIG_IGN); }


long utcOffset(std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  return local.tm_gmtoff;
}

bool decodeWithSystem(std::span<const uint8_t> bytes, uint16_t codePage, std::string* out) {
  const std::string_view in(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return convertWithIconv("UTF-8", "CP" + std::to_string(codePage), in, out);
}

bool encodeWithSystem(std::string_view utf8, uint16_t codePage, std::string* out) {
  return convertWithIconv("CP" + std::to_string(codePage), "UTF-8", utf8, out);
}

int makePipe(const std::string& path) { return ::mkfifo(path.c_str(), 0644) == 0 ? 0 : errno; }

int setImmutable(const std::string& path, bool on) {
#ifdef FS_IOC_SETFLAGS
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  int flags = 0;
  int error = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? 0 : errno;
  if (error == 0) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) error = errno;
  }
  ::close(fd);
  return error;
#else
  (void)path, (void)on;
  return ENOSYS;
#endif
}

int openUnshared(const std::string&, File*) { return ENOSYS; }

int openCount() {
  std::vector<std::string> names;
  return listFolder("/proc/self/fd", &names) == 0 ? static_cast<int>(names.size()) : -1;
}

int setFileSizeLimit(uint64_t bytes, uint64_t* before) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) return errno;
  if (before) *before = limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
  limit.rlim_cur = bytes == UINT64_MAX ? RLIM_INFINITY : static_cast<rlim_t>(bytes);
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0 ? 0 : errno;
}

std::string runCommand(const std::string& command, int* exitCode) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) {
    if (exitCode) *exitCode = -1;
    return out;
  }
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = ::pclose(p);
  if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::string shellQuoted(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace db::io
