// file_io.h -- the system calls through which the program changes files: writes, syncs to disk
// and renames, each retried on EINTR and reported with its errno. They are counted, so that a
// test can make the k-th of them fail as a full disk or a failing device would, and see what
// every step of a conversion leaves behind when it is the one that fails.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

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

// The test seam: with `failAt` k > 0, the k-th counted call from now fails with `error`
// (ENOSPC, EIO, ...) without touching the file; 0 disarms it. Counting starts afresh.
void failOperation(uint64_t failAt, int error);
// Counted calls since the last failOperation().
uint64_t operationCount();

}  // namespace db::io
