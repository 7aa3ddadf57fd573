// file_io.h -- the system calls through which the program changes files: writes, syncs to disk
// and renames, each retried on EINTR and reported with its errno. They are counted, so that a
// test can make the k-th of them fail as a full disk or a failing device would, and see what
// every step of a conversion leaves behind when it is the one that fails. Every change to a
// file or a folder's names, counted or not, can also be watched, so that a test can lay out
// what a power cut at any moment of a run would leave on the disk.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace db::io {

// Writes all `length` bytes at `offset`. Returns 0, or the errno of the failure.
int writeAt(int fd, const void* data, size_t length, off_t offset);
// Writes the `count` pieces one after another from `offset`, as one counted write.
int writeAt(int fd, const iovec* pieces, int count, off_t offset);
// Brings the file's data (and for a folder, its names) to the disk. Returns 0 or an errno.
int syncFile(int fd);
// Opens `path` with `flags` and syncs it. Returns 0 or an errno.
int syncPath(const char* path, int flags);
// rename(2); with `replace` false, EEXIST instead of replacing a file already at `to`.
// Returns 0 or an errno.
int renameFile(const char* from, const char* to, bool replace = true);

// Not counted: the callers carry on whatever they return (a removal of work, the folder's
// sync after the rename that has already put a conversion in place), or they fail before any
// counted call (a creation).
//
// open(2) with O_CREAT | O_EXCL added to `flags`: the descriptor, or -1 with errno set.
int createFile(const char* path, int flags, mode_t mode);
// unlink(2). Returns 0 or an errno.
int removeFile(const char* path);
// Brings the names in `folder` (files made, renamed or removed there) to the disk. Returns 0
// or an errno.
int syncFolder(const char* folder);

// The test seam: with `failAt` k > 0, the k-th counted call from now fails with `error`
// (ENOSPC, EIO, ...) without touching the file; 0 disarms it. Counting starts afresh.
void failOperation(uint64_t failAt, int error);
// Counted calls since the last failOperation().
uint64_t operationCount();

// A change as a watcher sees it, after it has succeeded. A file is its inode, as its name can
// change; a write's bytes are the ones that reached the file.
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
