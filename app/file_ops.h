// file_ops.h -- the file-system questions the main window asks: whether a path is a file a
// directory listing would show, whether two paths name one file, where the file dialogs open,
// and the copy that makes a new database from the template.
#pragma once

#include <QString>

#include "db/error.h"

namespace app {

// True when `path` names an existing ordinary file that a plain directory listing shows: not a
// folder, device or socket, and not hidden (its name does not start with "."). A symbolic link
// counts as what it points to. Any error (a bad path, a folder that cannot be searched) gives
// false.
bool FileExists(const QString& path);

// True when both paths exist and lead to the same file (same device and inode): the same file
// under another name, through a symbolic link, a hard link or a path with "..".
bool sameFile(const QString& a, const QString& b);

// The comparison of two chosen paths: equal in upper case, or one file under two names.
bool sameFileOrName(const QString& a, const QString& b);

// Deletes a file. A refusal is the error the window reports, with the system's error code.
db::DbError deleteFile(const QString& path);

// Deletes an existing destination, copies the template to it byte for byte, and reports
// whether the copy is now there as a file FileExists sees. Failures give false, no message.
bool CreateDestinationDatabase(const QString& templatePath, const QString& destinationPath);

// Where the file dialogs open: the program's folder when the user may write there (where the
// new database usually goes), otherwise the user's home folder, ending in "/".
QString dialogStartFolder(const QString& programFolder);

// Why the file dialogs refuse `path` as a database to write: "" when it is acceptable. A file
// is read-only when nobody has write permission on it or the process may not write it; a
// folder that the process may not write is refused too, as the database is rewritten in place.
QString readOnlyRefusal(const QString& path);

}  // namespace app
