#include "db/file_io.h"

#include <atomic>
#include <mutex>

#include "db/os.h"

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

std::mutex gWatchMutex;
std::function<void(const Change&)> gWatcher;  // under gWatchMutex
std::atomic<bool> gWatching{false};

void tell(Change&& change) {
  std::lock_guard<std::mutex> lock(gWatchMutex);
  if (gWatcher) gWatcher(change);
}

void tellWrite(File file, const Piece* pieces, int count, uint64_t offset) {
  Change change{Change::Kind::Write, {}, {}, os::identity(file), offset, {}};
  for (int i = 0; i < count; ++i) {
    const auto* from = static_cast<const uint8_t*>(pieces[i].data);
    change.bytes.insert(change.bytes.end(), from, from + pieces[i].length);
  }
  tell(std::move(change));
}

}  // namespace

void watchChanges(std::function<void(const Change&)> watcher) {
  std::lock_guard<std::mutex> lock(gWatchMutex);
  gWatching = static_cast<bool>(watcher);
  gWatcher = std::move(watcher);
}

void failOperation(uint64_t failAt, int error) {
  gCount = 0;
  gError = error;
  gFailAt = failAt;
}

uint64_t operationCount() { return gCount.load(); }

int writeAt(File file, const void* data, size_t length, uint64_t offset) {
  if (injectedFailure()) return gError.load();
  if (const int error = os::writeAll(file, data, length, offset); error != 0) return error;
  if (gWatching) {
    const Piece whole{const_cast<void*>(data), length};
    tellWrite(file, &whole, 1, offset);
  }
  return 0;
}

int writeAt(File file, const Piece* pieces, int count, uint64_t offset) {
  if (injectedFailure()) return gError.load();
  if (const int error = os::writeAll(file, pieces, count, offset); error != 0) return error;
  if (gWatching) tellWrite(file, pieces, count, offset);
  return 0;
}

int syncFile(File file) {
  if (injectedFailure()) return gError.load();
  if (const int error = os::sync(file); error != 0) return error;
  if (gWatching) tell({Change::Kind::Sync, {}, {}, os::identity(file), 0, {}});
  return 0;
}

int syncPath(const std::string& path) {
  File file;
  // Windows flushes only a file open for writing.
#ifdef _WIN32
  const Access access = Access::ReadWrite;
#else
  const Access access = Access::Read;
#endif
  if (const int error = openFile(path, access, &file); error != 0) return error;
  const int error = syncFile(file);
  closeFile(&file);
  return error;
}

int renameFile(const std::string& from, const std::string& to, bool replace) {
  if (injectedFailure()) return gError.load();
  const int error = os::rename(from, to, replace);
  if (error == 0 && gWatching) tell({Change::Kind::Rename, from, to, 0, 0, {}});
  return error;
}

int createFile(const std::string& path, File* out) {
  const int error = os::create(path, out);
  if (error == 0 && gWatching) tell({Change::Kind::Create, path, {}, os::identity(*out), 0, {}});
  return error;
}

int removeFile(const std::string& path) {
  if (const int error = os::remove(path); error != 0) return error;
  if (gWatching) tell({Change::Kind::Remove, path, {}, 0, 0, {}});
  return 0;
}

std::filesystem::path pathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8Of(const std::filesystem::path& path) {
  const std::u8string utf8 = path.u8string();
  return std::string(utf8.begin(), utf8.end());
}

int syncFolder(const std::string& folder) {
  if (const int error = os::syncFolder(folder); error != 0) return error;
  if (gWatching) tell({Change::Kind::SyncFolder, folder, {}, 0, 0, {}});
  return 0;
}

}  // namespace db::io
