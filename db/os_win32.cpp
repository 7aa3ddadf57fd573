// The file seam on Windows. Paths arrive in UTF-8 and reach every call in UTF-16; one too long
// for the old limit of MAX_PATH is made absolute and given the \\?\ prefix (\\?\UNC\ for a
// \\server\share path), which lifts the limit and turns off the system's own parsing. Files are
// shared with other openers for reading, writing and removal, as POSIX lets every file be, so
// that a run can rename or remove a file it or another handle holds open; a program that opened
// a file sharing nothing is told apart (ERROR_SHARING_VIOLATION, kInUse). Windows has no text
// mode below the C library: every byte goes as written.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "db/os.h"

namespace db::io {
namespace {

HANDLE handleOf(File file) { return reinterpret_cast<HANDLE>(file.handle); }

std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr,
                      nullptr);
  return utf8;
}

// Below this length a path goes as it is. CreateDirectory's limit (MAX_PATH less room for an
// 8.3 name) is the lowest of the calls'.
constexpr size_t kPlainPathLimit = MAX_PATH - 12;

std::wstring winPath(const std::string& path) {
  std::wstring wide = widen(path);
  if (wide.starts_with(L"\\\\?\\")) return wide;
  // A short path with its drive or server is short whatever the current folder; any other is
  // measured as the system completes it.
  const bool whole = (wide.size() > 2 && wide[1] == L':' && (wide[2] == L'\\' || wide[2] == L'/')) ||
                     wide.starts_with(L"\\\\") || wide.starts_with(L"//");
  if (whole && wide.size() < kPlainPathLimit) return wide;
  const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  full.resize(GetFullPathNameW(wide.c_str(), n, full.data(), nullptr));
  if (full.size() < kPlainPathLimit) return wide;
  // The prefix turns off the system's own completion: the path goes absolute, with backslashes
  // and without "." or "..", which GetFullPathNameW has seen to.
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// ERROR_DISK_QUOTA_EXCEEDED, which MinGW's headers lack.
constexpr DWORD kDiskQuotaExceeded = 1295;

int mapError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_DELETE_PENDING:
    case ERROR_CANNOT_MAKE:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return kInUse;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case kDiskQuotaExceeded:
      return ENOSPC;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return ENOTSUP;
    default:
      return EIO;
  }
}

int lastError() { return mapError(GetLastError()); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

OVERLAPPED at(uint64_t offset) {
  OVERLAPPED place{};
  place.Offset = static_cast<DWORD>(offset);
  place.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return place;
}

// Seconds and nanoseconds since 1970 of a time in 100 ns since 1601.
constexpr uint64_t kFrom1601 = 116444736000000000ull;

FileInfo describe(const BY_HANDLE_FILE_INFORMATION& about, DWORD type, uint64_t allocated, bool link) {
  FileInfo info;
  if (type == FILE_TYPE_PIPE) info.kind = FileInfo::Kind::Pipe;
  else if (type == FILE_TYPE_CHAR) info.kind = FileInfo::Kind::Device;
  else if (link && (about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) info.kind = FileInfo::Kind::Link;
  else if (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) info.kind = FileInfo::Kind::Folder;
  else info.kind = FileInfo::Kind::File;
  info.size = (uint64_t{about.nFileSizeHigh} << 32) | about.nFileSizeLow;
  info.device = about.dwVolumeSerialNumber;
  info.inode = (uint64_t{about.nFileIndexHigh} << 32) | about.nFileIndexLow;
  const uint64_t written =
      (uint64_t{about.ftLastWriteTime.dwHighDateTime} << 32) | about.ftLastWriteTime.dwLowDateTime;
  const int64_t since1970 = static_cast<int64_t>(written - kFrom1601);
  info.modifiedSeconds = since1970 / 10000000;
  info.modifiedNanoseconds = static_cast<int32_t>(since1970 % 10000000) * 100;
  info.allocated = allocated;
  info.readOnly = (about.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  info.hidden = (about.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
  return info;
}

int describeHandle(HANDLE handle, FileInfo* info, bool link) {
  BY_HANDLE_FILE_INFORMATION about{};
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR) {
    *info = describe(about, type, 0, link);
    return 0;
  }
  if (!GetFileInformationByHandle(handle, &about)) return lastError();
  FILE_STANDARD_INFO standard{};
  const uint64_t allocated =
      GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)
          ? static_cast<uint64_t>(standard.AllocationSize.QuadPart)
          : (uint64_t{about.nFileSizeHigh} << 32) | about.nFileSizeLow;
  *info = describe(about, type, allocated, link);
  return 0;
}

}  // namespace

// ---- What file_io.cpp counts and watches ----------------------------------------------------

int os::writeAll(File file, const void* data, size_t length, uint64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (length > 0) {
    OVERLAPPED place = at(offset);
    DWORD written = 0;
    const DWORD ask = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
    if (!WriteFile(handleOf(file), bytes, ask, &written, &place)) return lastError();
    // A write that takes nothing and reports no error is a full disk by another name.
    if (written == 0) return ENOSPC;
    bytes += written;
    length -= written;
    offset += written;
  }
  return 0;
}

int os::writeAll(File file, const Piece* pieces, int count, uint64_t offset) {
  for (int i = 0; i < count; ++i) {
    if (const int error = writeAll(file, pieces[i].data, pieces[i].length, offset); error != 0) return error;
    offset += pieces[i].length;
  }
  return 0;
}

int os::sync(File file) { return FlushFileBuffers(handleOf(file)) ? 0 : lastError(); }

int os::rename(const std::string& from, const std::string& to, bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  return MoveFileExW(winPath(from).c_str(), winPath(to).c_str(), flags) ? 0 : lastError();
}

int os::create(const std::string& path, File* out) {
  const size_t slash = path.find_last_of("/\\");
  const bool hidden = path.compare(slash == std::string::npos ? 0 : slash + 1, 1, ".") == 0;
  const HANDLE handle = CreateFileW(winPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                    CREATE_NEW, hidden ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return lastError();
  out->handle = reinterpret_cast<std::intptr_t>(handle);
  return 0;
}

int os::remove(const std::string& path) { return DeleteFileW(winPath(path).c_str()) ? 0 : lastError(); }

int os::syncFolder(const std::string&) { return 0; }

uint64_t os::identity(File file) {
  BY_HANDLE_FILE_INFORMATION about{};
  if (!GetFileInformationByHandle(handleOf(file), &about)) return 0;
  return (uint64_t{about.nFileIndexHigh} << 32) | about.nFileIndexLow;
}

// ---- The rest of the seam ---------------------------------------------------------------------

std::string errorText(int error) {
  // The C library knows the classic numbers only.
  switch (error) {
    case kInUse:
      return "The file is in use by another program";
    case kLocked:
      return "The file is locked by another program";
    case ENOTSUP:
      return "Operation not supported";
    default:
      return std::strerror(error);
  }
}

int openFile(const std::string& path, Access access, File* out) {
  const DWORD want = access == Access::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  // Backup semantics open a folder too, so that it is refused for what it is.
  const HANDLE handle = CreateFileW(winPath(path).c_str(), want, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return lastError();
  out->handle = reinterpret_cast<std::intptr_t>(handle);
  return 0;
}

void closeFile(File* file) {
  if (!file->valid()) return;
  CloseHandle(handleOf(*file));
  file->handle = -1;
}

int readAt(File file, void* data, size_t length, uint64_t offset, size_t* got) {
  OVERLAPPED place = at(offset);
  DWORD n = 0;
  *got = 0;
  const DWORD ask = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
  if (!ReadFile(handleOf(file), data, ask, &n, &place)) {
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : lastError();
  }
  *got = n;
  return 0;
}

int readAt(File file, const Piece* pieces, int count, uint64_t offset, size_t* got) {
  *got = 0;
  for (int i = 0; i < count; ++i) {
    size_t n = 0;
    if (const int error = readAt(file, pieces[i].data, pieces[i].length, offset + *got, &n); error != 0) {
      return *got > 0 ? 0 : error;
    }
    *got += n;
    if (n < pieces[i].length) break;
  }
  return 0;
}

void startWriting(File, uint64_t, uint64_t) {}

bool punchHole(File file, uint64_t offset, uint64_t length) {
  // Zeroed data of a sparse file gives its room back; a file system without sparse files says so
  // at the first call.
  DWORD unused = 0;
  if (!DeviceIoControl(handleOf(file), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr)) return false;
  FILE_ZERO_DATA_INFORMATION range{};
  range.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
  range.BeyondFinalZero.QuadPart = static_cast<LONGLONG>(offset + length);
  return DeviceIoControl(handleOf(file), FSCTL_SET_ZERO_DATA, &range, sizeof range, nullptr, 0, &unused,
                         nullptr) != 0;
}

int lockFile(File file) {
  // Windows' locks are mandatory: a lock on data would refuse the reads and writes of the
  // process's own other handles. A byte no file reaches is locked instead.
  OVERLAPPED place = at(0x7FFFFFFFFFFFFFF0ull);
  if (LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place)) return 0;
  const DWORD error = GetLastError();
  return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? kLocked : mapError(error);
}

void prepareToReplace(const std::string& finished, const std::string&) {
  const std::wstring path = winPath(finished);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_HIDDEN)) return;
  const DWORD shown = attributes & ~DWORD{FILE_ATTRIBUTE_HIDDEN};
  SetFileAttributesW(path.c_str(), shown == 0 ? FILE_ATTRIBUTE_NORMAL : shown);
}

int makeFolder(const std::string& path) {
  return CreateDirectoryW(winPath(path).c_str(), nullptr) ? 0 : lastError();
}

int removeFolder(const std::string& path) {
  return RemoveDirectoryW(winPath(path).c_str()) ? 0 : lastError();
}

int listFolder(const std::string& folder, std::vector<std::string>* names) {
  std::wstring pattern = winPath(folder);
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                         nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return lastError();
  names->clear();
  do {
    const std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") names->push_back(narrow(name));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return 0;
}

int fileInfo(File file, FileInfo* info) { return describeHandle(handleOf(file), info, false); }

int pathInfo(const std::string& path, FileInfo* info, bool followLinks) {
  if (path.empty()) return ENOENT;
  // Attributes only: no sharing mode of another opener refuses that.
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const HANDLE handle =
      CreateFileW(winPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return lastError();
  const int error = describeHandle(handle, info, !followLinks);
  CloseHandle(handle);
  return error;
}

bool mayWrite(const std::string& path) {
  const std::wstring wide = winPath(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (attributes & FILE_ATTRIBUTE_READONLY) return false;
    // Access lists can deny writing a file whose attribute allows it. Opening for writing
    // changes nothing; another program holding it is a question of its own (replaceRefusal).
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED;
  }
  // A folder's read-only attribute marks it for the shell and does not stop new names; its
  // access list does (Program Files for a user without elevation), and nothing short of making
  // a name there tells. The probe is hidden and goes when its handle closes.
  const std::wstring probe = wide + (wide.ends_with(L'\\') || wide.ends_with(L'/') ? L"" : L"\\") +
                             L".lvconvert-probe-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(GetTickCount64());
  const HANDLE handle =
      CreateFileW(winPath(narrow(probe)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return true;
  }
  const DWORD error = GetLastError();
  return error != ERROR_ACCESS_DENIED && error != ERROR_WRITE_PROTECT;
}

int replaceRefusal(const std::string& path) {
  const std::wstring wide = winPath(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (path.empty() || attributes == INVALID_FILE_ATTRIBUTES) return 0;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
  // A read-only file refuses the rename over it.
  if (attributes & FILE_ATTRIBUTE_READONLY) return EACCES;
  // The rename over a file needs it open nowhere else, whatever the other opener shares (Windows
  // keeps a name open anywhere), which an open for removal that shares nothing tells.
  const HANDLE handle = CreateFileW(wide.c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const int error = lastError();
    return error == ENOENT ? 0 : error;
  }
  CloseHandle(handle);
  // A file whose access list (or, under wine, the host's immutable flag) denies writing is
  // refused as a read-only one is, though removal alone might have been allowed.
  return mayWrite(path) ? 0 : EACCES;
}

void ignoreFileSizeSignal() {}

long utcOffset(std::time_t when) {
  const uint64_t utcTicks = static_cast<uint64_t>(when) * 10000000ull + kFrom1601;
  FILETIME utcTime{static_cast<DWORD>(utcTicks), static_cast<DWORD>(utcTicks >> 32)};
  SYSTEMTIME utc{}, local{};
  FILETIME localTime{};
  if (!FileTimeToSystemTime(&utcTime, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
      !SystemTimeToFileTime(&local, &localTime)) {
    return 0;
  }
  const uint64_t localTicks = (uint64_t{localTime.dwHighDateTime} << 32) | localTime.dwLowDateTime;
  return static_cast<long>((static_cast<int64_t>(localTicks) - static_cast<int64_t>(utcTicks)) / 10000000);
}

// Numbers below 4 name the machine's own code pages (CP_ACP, CP_OEMCP, ...) to Windows, not a
// code page a file can be in.
bool knownCodePage(uint16_t codePage) { return codePage >= 4 && IsValidCodePage(codePage); }

bool decodeWithSystem(std::span<const uint8_t> bytes, uint16_t codePage, std::string* out) {
  out->clear();
  if (!knownCodePage(codePage)) return false;
  if (bytes.empty()) return true;
  const auto* in = reinterpret_cast<const char*>(bytes.data());
  const int size = static_cast<int>(bytes.size());
  int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in, size, nullptr, 0);
  const bool ok = n > 0;
  // A byte the code page does not define: converted again with the system's replacements.
  const DWORD flags = ok ? MB_ERR_INVALID_CHARS : 0;
  if (!ok) n = MultiByteToWideChar(codePage, 0, in, size, nullptr, 0);
  if (n <= 0) return false;  // a code page the system does not know
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, flags, in, size, wide.data(), n);
  *out = narrow(wide);
  return ok;
}

bool encodeWithSystem(std::string_view utf8, uint16_t codePage, std::string* out) {
  out->clear();
  if (!knownCodePage(codePage)) return false;
  if (utf8.empty()) return true;
  const std::wstring wide = widen(utf8);
  // No best fit ('a' for 'ā'): a character the code page lacks becomes '?', as iconv makes it.
  BOOL replaced = FALSE;
  const int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, "?", &replaced);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), out->data(), n,
                      "?", &replaced);
  return !replaced;
}

int makePipe(const std::string&) { return ENOSYS; }

int setImmutable(const std::string& path, bool on) {
  // Windows has no such attribute, but wine runs on Linux and passes a host file's flags
  // through: its "start /unix" runs a host program, chattr here. start neither waits for a
  // host program nor tells how it ended, and quotes arguments its own way: a script beside the
  // file runs chattr and makes a mark file on success, which is waited for.
  using UnixName = char*(CDECL*)(LPCWSTR);
  const auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!unixName) return ENOSYS;
  auto hostName = [&](const std::string& name) {
    char* found = unixName(winPath(name).c_str());
    std::string host = found ? found : "";
    if (found) HeapFree(GetProcessHeap(), 0, found);
    return host;
  };
  std::string named = path;
  while (named.size() > 1 && (named.back() == '/' || named.back() == '\\')) named.pop_back();
  const std::string host = hostName(named);
  if (host.empty()) return ENOENT;
  if (host.find('\'') != std::string::npos) return EINVAL;
  const std::string script = named + ".chattr.sh", mark = named + ".chattr-done";
  const std::string text = std::string("chattr ") + (on ? "+i" : "-i") + " '" + host + "' && touch '" + host +
                           ".chattr-done'\n";
  File file;
  if (const int error = createFile(script, &file)) return error;
  const int written = writeAt(file, text.data(), text.size(), 0);
  closeFile(&file);
  int status = 0;
  bool marked = false;
  if (written == 0) {
    runCommand("start /unix /bin/sh " + hostName(script), &status);
    FileInfo info;
    for (int tries = 0; tries < 100 && !(marked = pathInfo(mark, &info) == 0); ++tries) Sleep(100);
  }
  removeFile(script);
  removeFile(mark);
  return marked ? 0 : ENOSYS;
}

int openUnshared(const std::string& path, File* out) {
  const HANDLE handle = CreateFileW(winPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return lastError();
  out->handle = reinterpret_cast<std::intptr_t>(handle);
  return 0;
}

int openCount() {
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

int setFileSizeLimit(uint64_t, uint64_t*) { return ENOSYS; }

std::string runCommand(const std::string& command, int* exitCode) {
  std::string out;
  // cmd.exe drops the outermost quotes of what follows /c: a pair of its own keeps the
  // command's.
  FILE* p = _wpopen(widen("\"" + command + "\"").c_str(), L"rb");
  if (!p) {
    if (exitCode) *exitCode = -1;
    return out;
  }
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = _pclose(p);
  if (exitCode) *exitCode = status;
  return out;
}

std::string shellQuoted(const std::string& word) {
  // A path rooted at the current drive ("/work/...") would read as a switch to cmd.exe.
  std::string out = "\"";
  for (char c : word) out += c == '/' && word[0] != '-' ? '\\' : c;
  return out + "\"";
}

}  // namespace db::io
