#include "convert/file_checks.h"

#include <algorithm>
#include <filesystem>

#include "db/file_io.h"
#include "db/text_codec.h"

namespace convert {

namespace fs = std::filesystem;
namespace {

// The number the old runtime gave for a file it could not delete or replace ("Path/File access
// error"), so that the message reads as its users know it.
constexpr int kPathFileAccessError = 75;

using Kind = db::io::FileInfo::Kind;

bool statPath(const std::string& path, db::io::FileInfo* info) {
  return !path.empty() && db::io::pathInfo(path, info) == 0;
}

}  // namespace

bool FileExists(const std::string& path) {
  db::io::FileInfo info;
  if (!statPath(path, &info) || info.kind != Kind::File) return false;
#ifdef _WIN32
  const size_t slash = path.find_last_of("/\\");
#else
  const size_t slash = path.rfind('/');
#endif
  return path.compare(slash == std::string::npos ? 0 : slash + 1, 1, ".") != 0;
}

std::vector<std::string> templatePlaces(const std::string& programFolder) {
  std::string folder = programFolder.empty() ? std::string(".") : programFolder;
  // The places are shown when neither holds the template: in the folder's own separators.
#ifdef _WIN32
  const char separator = folder.back() == '/' ? '/' : '\\';
  if (folder.back() != '/' && folder.back() != '\\') folder += separator;
#else
  const char separator = '/';
  if (folder.back() != '/') folder += '/';
#endif
  std::string shared = "../share/lvconvert/";
  std::replace(shared.begin(), shared.end(), '/', separator);
  return {folder + kTemplateName, folder + shared + kTemplateName};
}

std::string findTemplate(const std::string& programFolder) {
  for (const std::string& place : templatePlaces(programFolder)) {
    if (FileExists(place)) return place;
  }
  return {};
}

std::string missingTemplateMessage(const std::vector<std::string>& places) {
  std::string text = std::string("Could not find empty Ludovane template database! (") +
                     kTemplateName + ")\r\n\r\nIt was looked for as:";
  for (const std::string& place : places) text += "\r\n" + place;
  return text;
}

std::string folderRefusal(const std::string& path) {
  std::error_code ec;
  const fs::path folder = fs::absolute(db::io::pathOf(path), ec).parent_path();
  if (fs::is_directory(folder, ec)) return {};
  fs::path existing = folder;
  while (!fs::exists(existing, ec) && existing.has_relative_path()) existing = existing.parent_path();
  if (fs::exists(existing, ec) && !fs::is_directory(existing, ec)) {
    return db::io::utf8Of(existing) + "\nThis is a file, not a folder.\nCheck the path and try again.";
  }
  return db::io::utf8Of(folder) + "\nThe folder does not exist.\nCheck the path and try again.";
}

std::string whyNotAFile(const std::string& path) {
  db::io::FileInfo info;
  if (!statPath(path, &info)) return {};
  if (info.kind == Kind::Folder) return "It is a folder.";
  if (info.kind == Kind::Pipe) return "It is a named pipe.";
  if (info.kind == Kind::Socket) return "It is a socket.";
  if (info.kind != Kind::File) return "It is a device.";
  if (!FileExists(path)) return "Its name starts with \".\", which hides it.";
  return {};
}

bool sameFile(const std::string& a, const std::string& b) {
  db::io::FileInfo infoA, infoB;
  if (!statPath(a, &infoA) || !statPath(b, &infoB)) return false;
  return infoA.device == infoB.device && infoA.inode == infoB.inode;
}

bool maybeSameFile(const std::string& a, const std::string& b) {
  db::io::FileInfo infoA, infoB;
  if (!statPath(a, &infoA) || !statPath(b, &infoB)) return false;
  if (infoA.device == infoB.device && infoA.inode == infoB.inode) return true;
  if (infoA.kind != Kind::File || infoB.kind != Kind::File || infoA.size != infoB.size ||
      infoA.modifiedSeconds != infoB.modifiedSeconds ||
      infoA.modifiedNanoseconds != infoB.modifiedNanoseconds) {
    return false;
  }
  // The first page of either version (two of the older's 2 KB pages), or the whole of a
  // shorter file.
  constexpr size_t kFirstPage = 4096;
  auto firstPage = [&](const std::string& path, std::string* bytes) {
    db::io::File file;
    if (db::io::openFile(path, db::io::Access::Read, &file) != 0) return false;
    bytes->resize(kFirstPage);
    size_t got = 0;
    for (size_t n = 1; got < kFirstPage && n > 0;) {
      if (db::io::readAt(file, bytes->data() + got, kFirstPage - got, got, &n) != 0) n = 0;
      got += n;
    }
    db::io::closeFile(&file);
    bytes->resize(got);
    return true;
  };
  std::string pageA, pageB;
  // A file that cannot be read is not known to differ.
  if (!firstPage(a, &pageA) || !firstPage(b, &pageB)) return true;
  return pageA == pageB;
}

db::DbError checkNotTheSource(const std::string& destination, const std::string& source) {
  if (!maybeSameFile(destination, source)) return {};
  return db::DbError{kPathFileAccessError,
                     "Cannot replace '" + destination + "': it may be the source database '" + source +
                         "' under another name (it has the source's size, time and first page)",
                     0};
}

bool sameFileOrName(const std::string& a, const std::string& b) {
  return db::upperCase(a) == db::upperCase(b) || sameFile(a, b);
}

db::DbError checkReplaceable(const std::string& path) {
  const int systemError = db::io::replaceRefusal(path);
  if (systemError == 0) return {};
  return db::DbError{kPathFileAccessError,
                     "Cannot replace '" + path + "': " + db::io::errorText(systemError), systemError};
}

}  // namespace convert
