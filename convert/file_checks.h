// file_checks.h -- the file-system questions that the window and the headless converter both
// ask before a run: whether a path is a file a directory listing would show, and whether two
// chosen paths name one file. Paths are UTF-8, as the rest of the program holds them.
#pragma once

#include <string>
#include <vector>

#include "db/error.h"

namespace convert {

// True when `path` names an existing ordinary file that a plain directory listing shows: not a
// folder, device or socket, and not hidden (its name does not start with "."). A symbolic link
// counts as what it points to. Any error (a bad path, a folder that cannot be searched) gives
// false.
bool FileExists(const std::string& path);

// The empty database every conversion starts from, and where a program looks for it, in
// order: beside the program, then in ../share/lvconvert/ as an installation lays it out.
inline constexpr const char* kTemplateName = "v13bconvert.lvd";
std::vector<std::string> templatePlaces(const std::string& programFolder);
// The first of those places that holds the template as FileExists sees files; "" when none.
std::string findTemplate(const std::string& programFolder);
// The message for a template found in none of `places`, naming each.
std::string missingTemplateMessage(const std::vector<std::string>& places);

// Why FileExists says false of a path that names something: "It is a folder.", "Its name
// starts with \".\", which hides it.", ...; "" when nothing is there (or it is such a file).
std::string whyNotAFile(const std::string& path);

// Why a new file cannot be made at `path` because its folder is missing: the nearest part of the
// path that exists is a file where a folder should be ("dest.mdb/new.mdb"), or the folder does
// not exist. Each as three lines joined by "\n": the path, what is wrong, what to do; "" when
// the folder is there.
std::string folderRefusal(const std::string& path);

// True when both paths exist and lead to the same file (same device and inode): the same file
// under another name, through a symbolic link, a hard link or a path with "..".
bool sameFile(const std::string& a, const std::string& b);

// Whether `a` may be the file `b` under another name: the same device and inode, or the same
// size, modification time and first page, as the one file reached by two mounts of one share
// (where the device, and perhaps the inode, differ). A copy that kept the file's time and
// bytes passes for it too: the safe side, where the question is whether a file may go.
bool maybeSameFile(const std::string& a, const std::string& b);

// The refusal to put the finished conversion in the place of `destination` when it may be the
// source under another name (maybeSameFile); success otherwise.
db::DbError checkNotTheSource(const std::string& destination, const std::string& source);

// The comparison of two chosen paths: equal in upper case, or one file under two names.
bool sameFileOrName(const std::string& a, const std::string& b);

// Why the file at `path` could not be replaced by a finished conversion: its immutable or
// append-only attribute (which stops even root), or a folder that refuses to change its names.
// Success when nothing is there or it can be replaced. The refusal is the error the window
// reports, with the system's error code.
db::DbError checkReplaceable(const std::string& path);

}  // namespace convert
