// os.h -- what file_io.cpp asks of the system to make the counted and watched calls: the one
// implementation a build takes (os_posix.cpp or os_win32.cpp). Only file_io.cpp and those two
// include it.
#pragma once

#include "db/file_io.h"

namespace db::io::os {

// The whole of every piece, retried where the system takes less; 0 or an errno.
int writeAll(File file, const void* data, size_t length, uint64_t offset);
int writeAll(File file, const Piece* pieces, int count, uint64_t offset);
int sync(File file);
int rename(const std::string& from, const std::string& to, bool replace);
int create(const std::string& path, File* out);
int remove(const std::string& path);
int syncFolder(const std::string& folder);
// The file's identity as a watcher sees it (FileInfo::inode); 0 when unknown.
uint64_t identity(File file);

}  // namespace db::io::os
