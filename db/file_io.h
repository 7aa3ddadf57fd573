// file_io.h -- the program's one way to the operating system's files. Everything that asks the
// system about a file, opens, reads, writes, syncs, renames, locks or removes one goes through
// here; the system calls themselves live in os_posix.cpp and os_win32.cpp, one of which a build
// takes. Paths are UTF-8 on every system (UTF-16 at each Windows call). Errors are errno values
// on every system, Windows' own mapped onto them (os_win32.cpp), so that one set of messages
// serves both.
//
// Writes, syncs and renames are counted, so that a test can make the k-th of them fail as a full
// disk or a failing device would, and see what every step of a conversion leaves behind when it
// is the one that fails. Every change to a file or a folder's names, counted or not, can also be
// watched, so that a test can lay out what a power cut at any moment of a run would leave on the
// disk.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace db::io {

// An open file: a descriptor on POSIX, a HANDLE on Windows; -1 (either's "none") when closed.
struct File {
  std::intptr_t handle = -1;
  bool valid() const { return handle != -1; }
};

// One piece of a gathered write or a scattered read (laid out as POSIX's iovec).
struct Piece {
  void* data;
  size_t length;
};

// The errors a caller tells apart besides the usual ones: a file another program holds open in a
// way that refuses this use (Windows' sharing violation; POSIX has none), and a lock another
// holds.
inline constexpr int kInUse = ETXTBSY;
inline constexpr int kLocked = EWOULDBLOCK;
// The system's words for `error`.
std::string errorText(int error);

// ---- Opening -----------------------------------------------------------------------------

enum class Access { Read, ReadWrite };
// Opens an existing file (for reading, a folder too, so that it can be told for one), without
// waiting on a named pipe, shared with other openers for reading, writing and removal. Returns 0
// or an errno.
int openFile(const std::string& path, Access access, File* out);
// Creates a new file for reading and writing; EEXIST where the name is taken. A name that starts
// with "." is hidden on POSIX by that alone and gets Windows' hidden attribute there. Not
// counted: the callers fail before any counted call. Returns 0 or an errno.
int createFile(const std::string& path, File* out);
void closeFile(File* file);

// ---- Reading and writing -----------------------------------------------------------------

// Reads up to `length` bytes at `offset` in one call: `*got` bytes, 0 at the file's end. Returns
// 0 or an errno.
int readAt(File file, void* data, size_t length, uint64_t offset, size_t* got);
// Reads into the pieces one after another from `offset`; `*got` may stop short of their sum
// (the file's end, or a call that took less).
int readAt(File file, const Piece* pieces, int count, uint64_t offset, size_t* got);
// Writes all `length` bytes at `offset`. Returns 0, or the errno of the failure.
int writeAt(File file, const void* data, size_t length, uint64_t offset);
// Writes the `count` pieces one after another from `offset`, as one counted write.
int writeAt(File file, const Piece* pieces, int count, uint64_t offset);
// Brings the file's data to the disk. Returns 0 or an errno.
int syncFile(File file);
// Opens `path` and syncs it. Returns 0 or an errno.
int syncPath(const std::string& path);
// Starts the disk writing the range (Linux's sync_file_range); no errors, no promise, and
// nothing where the system has no such call.
void startWriting(File file, uint64_t offset, uint64_t length);
// Cuts the range out of the file, its size kept, so that it reads as zeros and takes no room.
// False where the file system cannot (and then nothing changed).
bool punchHole(File file, uint64_t offset, uint64_t length);
// Takes an exclusive lock on the file without waiting, held until the file is closed (or the
// process ends). 0, kLocked where another open file holds it, or another errno where the file
// system knows no locks. On Windows a byte far past any data is locked, so that the reads and
// writes of the file's other handles are not refused.
int lockFile(File file);

// ---- Names ---------------------------------------------------------------------------------

// Renames `from` to `to`: replacing a file at `to` in one step (Windows: MoveFileEx, written
// through), or with `replace` false, EEXIST instead. Returns 0 or an errno.
int renameFile(const std::string& from, const std::string& to, bool replace = true);
// Before `finished` takes the name of `replaced`: on POSIX the permissions of a file it replaces;
// on Windows the hidden attribute it was made with goes. Best effort.
void prepareToReplace(const std::string& finished, const std::string& replaced);
// Removes the name. Returns 0 or an errno.
int removeFile(const std::string& path);
// Brings the names in `folder` (files made, renamed or removed there) to the disk; nothing on
// Windows, where the rename was written through. Returns 0 or an errno.
int syncFolder(const std::string& folder);
// Makes a folder; removes an empty one. Returns 0 or an errno.
int makeFolder(const std::string& path);
int removeFolder(const std::string& path);
// The names in `folder`, without "." and "..". Returns 0 or an errno.
int listFolder(const std::string& folder, std::vector<std::string>* names);

// ---- Questions -------------------------------------------------------------------------------

struct FileInfo {
  enum class Kind { File, Folder, Link, Pipe, Socket, Device };
  Kind kind = Kind::File;
  uint64_t size = 0;
  // Identity: the same two for two names of one file (device and inode; on Windows the volume's
  // serial number and the file index).
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t modifiedSeconds = 0;  // since 1970
  int32_t modifiedNanoseconds = 0;
  uint64_t allocated = 0;  // bytes the file takes on the disk (its holes take none)
  // Nobody may write it: no write permission bits at all on POSIX, the read-only attribute on
  // Windows.
  bool readOnly = false;
  // Windows' hidden attribute (on POSIX a name that starts with "." hides a file by that alone).
  bool hidden = false;
};
// 0 or an errno. With `followLinks` false, a symbolic link is described as itself (Link).
int fileInfo(File file, FileInfo* info);
int pathInfo(const std::string& path, FileInfo* info, bool followLinks = true);
// Whether this process may write `path` (a file, or a folder's names), as far as the system says
// before trying (POSIX access(2)); on Windows a file not read-only that opens for writing, and
// a folder where a name can be made (tried, and gone again).
bool mayWrite(const std::string& path);
// Why a finished conversion could not take the place of the file at `path` by a rename: EPERM
// for an immutable or append-only file or one in a sticky folder that is not ours, EACCES for a
// folder whose names may not change (or on Windows a read-only file or one not to be written), kInUse on Windows for a file
// open anywhere (a rename cannot replace it there, whatever its opener shares); 0 when nothing is
// there or it can be replaced.
int replaceRefusal(const std::string& path);

// ---- The process and the system ----------------------------------------------------------------

// Past the file-size limit a write fails with EFBIG instead of the signal ending the program in
// the middle of a write (POSIX's SIGXFSZ; nothing on Windows).
void ignoreFileSizeSignal();
// std::filesystem's path for a UTF-8 path, and a path back in UTF-8: to std::filesystem a narrow
// string is in the ANSI code page on Windows.
std::filesystem::path pathOf(const std::string& utf8);
std::string utf8Of(const std::filesystem::path& path);
// The local time's offset from UTC at `when`, in seconds (east positive).
long utcOffset(std::time_t when);
// Bytes in Windows code page `codePage` to UTF-8, and back; false when the system does not know
// the code page (`*out` then empty) or replaced a character it could not convert ('?' or U+FFFD
// in `*out`). Through iconv on POSIX, the system's own tables on Windows.
bool decodeWithSystem(std::span<const uint8_t> bytes, uint16_t codePage, std::string* out);
bool encodeWithSystem(std::string_view utf8, uint16_t codePage, std::string* out);

// For tests: makes a named pipe (ENOSYS on Windows); opens a file as a program that shares it
// with nobody would (ENOSYS on POSIX, where every open shares); sets the soft file-size limit,
// giving the one before (ENOSYS on Windows); runs a command through the shell with its standard
// output taken, and its exit code; a word quoted for that shell.
int makePipe(const std::string& path);
int openUnshared(const std::string& path, File* out);
// For tests: what this process holds open (Linux: its descriptors; Windows: its handles of every
// kind), to compare before and after something that must close what it opens.
int openCount();
int setFileSizeLimit(uint64_t bytes, uint64_t* before);
// For tests: sets or clears the attribute that stops even root from changing, renaming or
// removing a file (Linux's immutable flag; under wine, the host file's). ENOSYS where the system
// or file system has none.
int setImmutable(const std::string& path, bool on);
std::string runCommand(const std::string& command, int* exitCode);
std::string shellQuoted(const std::string& word);

// ---- The test seam ----------------------------------------------------------------------------

// With `failAt` k > 0, the k-th counted call from now fails with `error` (ENOSPC, EIO, ...)
// without touching the file; 0 disarms it. Counting starts afresh.
void failOperation(uint64_t failAt, int error);
// Counted calls since the last failOperation().
uint64_t operationCount();

// A change as a watcher sees it, after it has succeeded. A file is its identity (inode), as its
// name can change; a write's bytes are the ones that reached the file.
struct Change {
  enum class Kind { Create, Write, Sync, Rename, Remove, SyncFolder };
  Kind kind;
  std::string path, to;        // Create, Rename (path to `to`), Remove, SyncFolder
  uint64_t file = 0;           // Create, Write, Sync
  uint64_t offset = 0;         // Write
  std::vector<uint8_t> bytes;  // Write
};
// Calls `watcher` with every change from now on, one at a time whichever thread makes it,
// until it is called with an empty function. The watcher must not change files itself.
void watchChanges(std::function<void(const Change&)> watcher);

}  // namespace db::io
