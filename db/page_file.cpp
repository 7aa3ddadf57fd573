#include "db/page_file.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "db/file_io.h"

namespace db {
namespace {

// Page 0, tdef of the catalogue on page 2: a database has at least three pages.
constexpr uint32_t kMinimumPages = 3;
// Jet addresses at most 2 GB of pages in a file.
constexpr uint64_t kMaximumFileSize = uint64_t{1} << 31;

DbError osError(const std::string& path, int err) {
  switch (err) {
    case ENOENT:
      return makeError(DbErrorNumber::FileNotFound, "Could not find file '" + path + "'.", err);
    case EACCES:
    case EPERM:
      return makeError(DbErrorNumber::AccessDenied,
                       "No permission to open '" + path + "'.", err);
    case ENOTDIR:
      return makeError(DbErrorNumber::PathNotFound, "'" + path + "' is not a valid path.", err);
    default:
      return makeError(DbErrorNumber::IoError,
                       "Could not read '" + path + "': " + io::errorText(err) + ".", err);
  }
}

bool readFully(io::File file, uint8_t* buffer, size_t length, uint64_t offset) {
  while (length > 0) {
    size_t n = 0;
    if (io::readAt(file, buffer, length, offset, &n) != 0 || n == 0) return false;
    buffer += n;
    length -= n;
    offset += n;
  }
  return true;
}

std::map<std::pair<uint64_t, uint64_t>, std::string>& passwords() {
  static std::map<std::pair<uint64_t, uint64_t>, std::string> given;
  return given;
}

}  // namespace

bool rememberPassword(const std::string& path, const std::string& password) {
  io::FileInfo info;
  if (io::pathInfo(path, &info) != 0) return false;
  passwords()[{info.device, info.inode}] = password;
  return true;
}

struct PageFile::Writer {
  std::mutex mutex;
  std::condition_variable changed;
  bool onTheWay = false;  // a write-back handed over and not yet written
  bool stop = false;
  DbError failure;        // the first write that failed
  // What the writing threw instead (memory running out as it told a failure): the caller's,
  // thrown again there, as the writing is.
  std::exception_ptr thrown;
  // The write-back handed over: its pages end to end, in runs of consecutive pages.
  io::File file;
  bool writeBehind = false;
  size_t pageSize = 0;
  std::string path;
  std::vector<uint8_t> bytes;
  std::vector<std::pair<uint32_t, uint32_t>> runs;  // first page, pages
  std::thread thread;

  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return onTheWay || stop; });
      if (!onTheWay) return;
      lock.unlock();
      // Nothing may leave this thread: an exception here would end the program.
      DbError result;
      std::exception_ptr threw;
      try {
        result = write();
      } catch (...) {
        threw = std::current_exception();
      }
      lock.lock();
      if (failure.ok() && !thrown) {
        if (threw) thrown = std::move(threw);
        else failure = std::move(result);
      }
      onTheWay = false;
      changed.notify_all();
    }
  }

  DbError write() const {
    const uint8_t* from = bytes.data();
    for (const auto& [first, count] : runs) {
      const size_t length = size_t{count} * pageSize;
      const uint64_t at = uint64_t{first} * pageSize;
      if (const int error = io::writeAt(file, from, length, at); error != 0) {
        return writeError("Could not write page " + std::to_string(first) + " of '" + path + "'", error);
      }
      from += length;
    }
    if (writeBehind) {
      // Only a start: errors and durability are the later sync's.
      const uint64_t low = uint64_t{runs.front().first} * pageSize;
      const uint64_t high = uint64_t{runs.back().first + runs.back().second} * pageSize;
      io::startWriting(file, low, high - low);
    }
    return DbError::success();
  }
};

struct PageFile::Cutter {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<uint64_t, uint64_t>> holes;  // offset and length, handed over
  bool busy = false;  // cutting what it took
  bool stop = false;
  bool refused = false;  // the file system made no hole: the rest are not tried
  io::File file;  // the handle consume() opened for writing, the file's from then on
  std::thread thread;

  void run() {
    std::vector<std::pair<uint64_t, uint64_t>> taken;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return !holes.empty() || stop; });
      if (holes.empty()) return;
      taken.swap(holes);
      busy = true;
      bool refusedNow = refused;
      lock.unlock();
      for (const auto& [at, length] : taken) {
        // The size stays: the file still names every page, those cut read as zeros.
        if (!refusedNow && !io::punchHole(file, at, length)) refusedNow = true;
      }
      taken.clear();
      lock.lock();
      refused = refusedNow;
      busy = false;
      changed.notify_all();
    }
  }
};

PageFile::~PageFile() {
  // Nothing may leave a destructor, and writing back allocates: a caller that must know that
  // the pages reached the file has flushed already.
  try {
    if (changedFrames_ > 0) writeBack();
  } catch (...) {
  }
  if (writer_) {
    {
      std::unique_lock<std::mutex> lock(writer_->mutex);
      writer_->changed.wait(lock, [&] { return !writer_->onTheWay; });
      writer_->stop = true;
    }
    writer_->changed.notify_all();
    if (writer_->thread.joinable()) writer_->thread.join();
  }
  if (cutter_) {
    {
      std::lock_guard<std::mutex> lock(cutter_->mutex);
      cutter_->stop = true;
    }
    cutter_->changed.notify_all();
    cutter_->thread.join();
  }
  io::closeFile(&file_);
}

DbError PageFile::awaitWriter() const {
  if (!writer_) return DbError::success();
  std::exception_ptr thrown;
  {
    std::unique_lock<std::mutex> lock(writer_->mutex);
    writer_->changed.wait(lock, [&] { return !writer_->onTheWay; });
    writer_->runs.clear();
    writeFailed_ = !writer_->failure.ok() || writer_->thrown;
    if (!writer_->thrown) return writer_->failure;
    thrown = writer_->thrown;
  }
  std::rethrow_exception(thrown);
}

bool PageFile::onTheWay(uint32_t pageNo, uint32_t count) const {
  // The writer only reads the runs while they are on their way; they change after awaitWriter().
  if (!writer_ || writer_->runs.empty()) return false;
  const auto& runs = writer_->runs;
  auto after = std::upper_bound(runs.begin(), runs.end(), pageNo,
                                [](uint32_t p, const auto& run) { return p < run.first + run.second; });
  return after != runs.end() && after->first < pageNo + count;
}

DbError PageFile::open(const std::string& path, std::unique_ptr<PageFile>* out, bool writable) {
  // Opened for reading only; the first write reopens the file for writing, so that a file
  // that is only read is never opened in a mode that could change it. Without blocking, so
  // that a named pipe given as a database is refused below instead of waiting for a writer.
  io::File fd;
  if (const int error = io::openFile(path, io::Access::Read, &fd); error != 0) return osError(path, error);
  const bool readOnly = !writable;
  std::unique_ptr<PageFile> file(new PageFile());
  file->file_ = fd;
  file->path_ = path;
  file->readOnly_ = readOnly;
  io::FileInfo st;
  if (const int error = io::fileInfo(fd, &st); error != 0) return osError(path, error);
  file->device_ = st.device;
  file->inode_ = st.inode;
  if (st.kind != io::FileInfo::Kind::File) {
    return makeError(DbErrorNumber::NotADatabase, "'" + path + "' is not a file.");
  }
  uint8_t probe[kHeaderProbeSize];
  if (st.size < kHeaderProbeSize || !readFully(fd, probe, kHeaderProbeSize, 0)) {
    return makeError(DbErrorNumber::NotADatabase,
                     "'" + path + "' is not a database this program can read: the file is too "
                     "short for a header.");
  }
  DbError err = detectFormat(probe, path, &file->header_);
  if (!err.ok()) return err;
  if (file->header_.hasPassword) {
    const auto given = passwords().find({file->device_, file->inode_});
    err = checkPassword(file->header_, given == passwords().end() ? std::string() : given->second, path);
    if (!err.ok()) return err;
  }
  const uint64_t pageSize = file->header_.format->pageSize;
  const uint64_t size = st.size;
  if (size % pageSize != 0 || size / pageSize < kMinimumPages) {
    return makeError(DbErrorNumber::NotADatabase,
                     "'" + path + "' is truncated: its size of " + std::to_string(size) +
                         " bytes is not a whole number of " + std::to_string(pageSize) +
                         "-byte pages.");
  }
  if (size > kMaximumFileSize) {
    return makeError(DbErrorNumber::NotADatabase,
                     "'" + path + "' is not a database this program can read: at " +
                         std::to_string(size) + " bytes it is larger than the 2 GB a Jet "
                         "database can hold.");
  }
  file->pageCount_ = static_cast<uint32_t>(size / pageSize);
  *out = std::move(file);
  return DbError::success();
}

DbError PageFile::create(const std::string& path, const FormatDescriptor& format,
                         std::span<const uint8_t> page0, std::unique_ptr<PageFile>* out) {
  io::File fd;
  if (const int error = io::createFile(path, &fd); error != 0) {
    if (error == EEXIST) {
      return makeError(DbErrorNumber::FileExists, "The file '" + path + "' already exists.", error);
    }
    return osError(path, error);
  }
  std::unique_ptr<PageFile> file(new PageFile());
  file->file_ = fd;
  file->path_ = path;
  file->readOnly_ = false;
  file->openedForWriting_ = true;
  io::FileInfo st;
  if (const int error = io::fileInfo(fd, &st); error != 0) return osError(path, error);
  file->device_ = st.device;
  file->inode_ = st.inode;
  DbError err = detectFormat(page0, path, &file->header_);
  if (!err.ok()) return err;
  if (file->header_.format != &format || page0.size() != format.pageSize) {
    return makeError(DbErrorNumber::InvalidArgument, "The new database's header is malformed.");
  }
  uint32_t pageNo = 0;
  err = file->appendPage(page0, &pageNo);
  if (!err.ok()) return err;
  *out = std::move(file);
  return DbError::success();
}

// Pages per write call at most. Measured on Linux 6.18 in a virtual machine: the system caches
// a larger write in larger blocks of memory, drawn from memory unused for a while (there the
// slowest to touch) rather than from the pages just freed, and compaction's copy of 771 MB,
// which reuses the pages of its source at 256 KB a write, took twice the time at 4 MB.
constexpr uint32_t kPagesPerWrite = 64;

DbError PageFile::writeBack() const {
  DbError err = awaitWriter();
  if (!err.ok()) return err;
  std::vector<int32_t> changed;
  changed.reserve(changedFrames_);
  for (size_t k = 0; k < frames_.size(); ++k) {
    if (frames_[k].changed) changed.push_back(static_cast<int32_t>(k));
  }
  if (changed.empty()) return DbError::success();
  std::sort(changed.begin(), changed.end(),
            [&](int32_t a, int32_t b) { return frames_[a].pageNo < frames_[b].pageNo; });
  if (!writer_) {
    writer_ = std::make_unique<Writer>();
    writer_->pageSize = pageSize();
    writer_->path = path_;
    try {
      writer_->thread = std::thread(&Writer::run, writer_.get());
    } catch (const std::system_error&) {
      // No thread to be had: the writes are made here, as they are handed over.
    }
  }
  // The writer is idle: what it holds is this thread's until the hand-over.
  Writer& w = *writer_;
  const size_t size = pageSize();
  w.bytes.resize(changed.size() * size);
  w.runs.clear();
  for (size_t i = 0; i < changed.size(); ++i) {
    Frame& frame = frames_[changed[i]];
    std::memcpy(w.bytes.data() + i * size, frameBytes(changed[i]), size);
    if (!w.runs.empty() && w.runs.back().first + w.runs.back().second == frame.pageNo &&
        w.runs.back().second < kPagesPerWrite) {
      ++w.runs.back().second;
    } else {
      w.runs.emplace_back(frame.pageNo, 1);
    }
    frame.changed = false;
  }
  changedFrames_ = 0;
  w.file = file_;
  w.writeBehind = writeBehind_;
  if (!w.thread.joinable()) {
    if (w.failure.ok()) {
      try {
        w.failure = w.write();
      } catch (...) {
        w.thrown = std::current_exception();
        throw;
      }
    }
    return w.failure;
  }
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    w.onTheWay = true;
  }
  w.changed.notify_all();
  return DbError::success();
}

DbError PageFile::freeFrame(int32_t* frame) const {
  const size_t capacity = std::max<size_t>(kCacheBytes / pageSize(), 16);
  if (frames_.size() < capacity) {
    // Room for every frame at once, so that the frames never move (and untouched room costs
    // no memory).
    if (arena_.capacity() < capacity * pageSize()) {
      arena_.reserve(capacity * pageSize());
      frames_.reserve(capacity);
    }
    frames_.emplace_back();
    arena_.resize(frames_.size() * pageSize());
    *frame = static_cast<int32_t>(frames_.size() - 1);
    return DbError::success();
  }
  for (;;) {
    Frame& f = frames_[hand_];
    const size_t k = hand_;
    hand_ = (hand_ + 1) % frames_.size();
    if (f.used) {
      f.used = false;
      continue;
    }
    if (f.changed) {
      DbError err = writeBack();
      if (!err.ok()) return err;
    }
    // Only the page's own frame is forgotten: another may hold the page by now.
    if (f.pageNo < frameOf_.size() && frameOf_[f.pageNo] == static_cast<int32_t>(k)) {
      frameOf_[f.pageNo] = -1;
    }
    *frame = static_cast<int32_t>(k);
    return DbError::success();
  }
}

int32_t PageFile::frameOf(uint32_t pageNo, DbError* err) const {
  if (givenUp(pageNo)) {
    *err = makeError(DbErrorNumber::InvalidArgument,
                     "Page " + std::to_string(pageNo) + " of '" + path_ +
                         "' was read after it was given up (a fault of this program).");
    return -1;
  }
  if (frameOf_.size() <= pageNo + kReadAhead) frameOf_.resize(pageNo + kReadAhead + 1024, -1);
  int32_t k = frameOf_[pageNo];
  if (k >= 0) {
    frames_[k].used = true;
    return k;
  }
  // Pages are read in runs (a scan goes page after page): a miss right after the run read last
  // reads the pages after it too, those not in the cache, in one call.
  uint32_t count = 1;
  if (pageNo == nextInRun_) {
    // Not into a page given up: reading its hole would cache zeros in fresh memory.
    while (count < kReadAhead && pageNo + count < pageCount_ && frameOf_[pageNo + count] < 0 &&
           !givenUp(pageNo + count)) {
      ++count;
    }
  }
  const size_t size = pageSize();
  // The pages go straight into their frames, in one call.
  std::vector<int32_t> taken(count);
  std::vector<io::Piece> parts(count);
  // Frames that do not receive their page hold none: named after it, a frame would be taken
  // for the page's own when reused.
  auto release = [&](uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) frames_[taken[i]] = Frame{};
  };
  for (uint32_t i = 0; i < count; ++i) {
    *err = freeFrame(&taken[i]);
    if (!err->ok()) {
      release(0, i);
      return -1;
    }
    frames_[taken[i]] = Frame{pageNo + i, false, true};
  }
  // The frames' bytes, once every frame the read needs is taken and labelled.
  for (uint32_t i = 0; i < count; ++i) parts[i] = {frameBytes(taken[i]), size};
  // A page still on its way is read once it has reached the file; after a failed write the
  // file may hold the page as it was.
  if (writeFailed_ || onTheWay(pageNo, count)) {
    *err = awaitWriter();
    if (!err->ok()) {
      release(0, count);
      return -1;
    }
  }
  size_t got = 0;
  int reason = 0;
  for (size_t first = 0; first < count;) {
    size_t n = 0;
    reason = io::readAt(file_, parts.data() + first, static_cast<int>(count - first),
                        uint64_t{pageNo + first} * size, &n);
    if (reason != 0 || n == 0 || n % size != 0) {
      got += n / size;
      break;
    }
    got += n / size;
    first = got;
  }
  if (got == 0) {
    release(0, count);
    *err = makeError(DbErrorNumber::IoError,
                     "Could not read page " + std::to_string(pageNo) + " of '" + path_ + "'.", reason);
    return -1;
  }
  release(static_cast<uint32_t>(got), count);
  // Pages read ahead are taken first again unless they are used before the hand comes by;
  // frames of pages that could not be read are free.
  for (uint32_t i = 0; i < got; ++i) {
    frameOf_[pageNo + i] = taken[i];
    if (i > 0) frames_[taken[i]].used = false;
    // An encoded database's pages are decrypted as they come in; page 0 never is encoded.
    if (header_.databaseKey != 0 && pageNo + i != 0) {
      applyPageKey(std::span<uint8_t>(frameBytes(taken[i]), size), pageNo + i, header_.databaseKey);
    }
  }
  nextInRun_ = pageNo + static_cast<uint32_t>(got);
  const int32_t wanted = taken[0];
  return wanted;
}

DbError PageFile::readPage(uint32_t pageNo, Page* page) const {
  if (pageNo >= pageCount_) {
    return corrupt("a reference to page " + std::to_string(pageNo) + " lies past the end of the " +
                   std::to_string(pageCount_) + "-page file");
  }
  DbError err;
  const int32_t k = frameOf(pageNo, &err);
  if (k < 0) return err;
  page->assign(frameBytes(k), frameBytes(k) + pageSize());
  if (observer_) observer_->pageRead(pageNo, *page);
  return DbError::success();
}

void PageFile::giveUp(uint32_t pageNo) {
  if (pageNo >= givenUp_.size() || givenUp_[pageNo]) return;
  givenUp_[pageNo] = 1;
  const int32_t k = pageNo < frameOf_.size() ? frameOf_[pageNo] : -1;
  if (k >= 0 && !frames_[k].changed) {
    frames_[k] = Frame{};  // the next frame to reuse
    frameOf_[pageNo] = -1;
  }
  toCut_.push_back(pageNo);
  // A batch at a time, in runs: a hole costs a system call however many pages it spans.
  constexpr size_t kCutBatch = 512;
  if (toCut_.size() >= kCutBatch) cutGivenUp();
}

DbError PageFile::consume(ReadObserver* observer) {
  if (observer) {
    DbError err = openForWriting();
    if (!err.ok()) return err;
    givenUp_.resize(pageCount_, 0);
  } else {
    cutGivenUp();
    awaitCutter();
  }
  observer_ = observer;
  return DbError::success();
}

void PageFile::cutGivenUp() const {
  std::sort(toCut_.begin(), toCut_.end());
  const uint64_t size = pageSize();
  std::vector<std::pair<uint64_t, uint64_t>> holes;
  for (size_t i = 0; i < toCut_.size() && cutting_;) {
    size_t n = 1;
    while (i + n < toCut_.size() && toCut_[i + n] == toCut_[i] + n) ++n;
    holes.emplace_back(uint64_t{toCut_[i]} * size, n * size);
    i += n;
  }
  toCut_.clear();
  if (holes.empty()) return;
  if (!cutter_) {
    auto cutter = std::make_unique<Cutter>();
    cutter->file = file_;
    try {
      cutter->thread = std::thread(&Cutter::run, cutter.get());
      cutter_ = std::move(cutter);
    } catch (const std::system_error&) {
      // No thread to be had: the holes are cut here.
      for (const auto& [at, length] : holes) {
        if (cutting_ && !io::punchHole(file_, at, length)) cutting_ = false;
      }
      return;
    }
  }
  {
    std::lock_guard<std::mutex> lock(cutter_->mutex);
    if (cutter_->refused) {
      cutting_ = false;
      return;
    }
    cutter_->holes.insert(cutter_->holes.end(), holes.begin(), holes.end());
  }
  cutter_->changed.notify_all();
}

void PageFile::awaitCutter() const {
  if (!cutter_) return;
  std::unique_lock<std::mutex> lock(cutter_->mutex);
  cutter_->changed.wait(lock, [&] { return cutter_->holes.empty() && !cutter_->busy; });
  if (cutter_->refused) cutting_ = false;
}

DbError PageFile::openForWriting() {
  // An encoded database is only read: this engine writes no encoded pages.
  if (readOnly_ || header_.databaseKey != 0) {
    return makeError(DbErrorNumber::ReadOnly,
                     "The database '" + path_ + "' is read-only and cannot be changed.");
  }
  if (openedForWriting_) return DbError::success();
  io::File fd;
  io::FileInfo st;
  int err = io::openFile(path_, io::Access::ReadWrite, &fd);
  if (err == 0) err = io::fileInfo(fd, &st);
  if (err != 0 || st.inode != inode_ || st.device != device_) {
    io::closeFile(&fd);
    return makeError(DbErrorNumber::ReadOnly,
                     "The database '" + path_ + "' cannot be opened for writing.", err);
  }
  io::closeFile(&file_);
  file_ = fd;
  openedForWriting_ = true;
  return DbError::success();
}

DbError PageFile::changePage(uint32_t pageNo, std::span<uint8_t>* bytes) {
  DbError err = openForWriting();
  if (!err.ok()) return err;
  if (pageNo >= pageCount_) {
    return makeError(DbErrorNumber::InvalidArgument,
                     "Page " + std::to_string(pageNo) + " cannot be written to '" + path_ + "'.");
  }
  const int32_t k = frameOf(pageNo, &err);
  if (k < 0) return err;
  if (!frames_[k].changed) ++changedFrames_;
  frames_[k].changed = true;
  ++writeCount_;
  *bytes = std::span<uint8_t>(frameBytes(k), pageSize());
  return DbError::success();
}

DbError PageFile::writePage(uint32_t pageNo, std::span<const uint8_t> page) {
  DbError err = openForWriting();
  if (!err.ok()) return err;
  if (pageNo > pageCount_ || page.size() != pageSize()) {
    return makeError(DbErrorNumber::InvalidArgument,
                     "Page " + std::to_string(pageNo) + " cannot be written to '" + path_ + "'.");
  }
  int32_t k = pageNo < frameOf_.size() ? frameOf_[pageNo] : -1;
  if (k < 0) {
    // The whole page is replaced: nothing of it needs reading first.
    err = freeFrame(&k);
    if (!err.ok()) return err;
    if (frameOf_.size() <= pageNo) frameOf_.resize(pageNo + 1024, -1);
    frames_[k] = Frame{pageNo, false, true};
    frameOf_[pageNo] = k;
  }
  if (!frames_[k].changed) ++changedFrames_;
  frames_[k].changed = true;
  frames_[k].used = true;
  std::memcpy(frameBytes(k), page.data(), pageSize());
  if (pageNo == pageCount_) ++pageCount_;
  ++writeCount_;
  return DbError::success();
}

DbError PageFile::appendPage(std::span<const uint8_t> page, uint32_t* pageNo) {
  *pageNo = pageCount_;
  return writePage(pageCount_, page);
}

DbError PageFile::appendBlankPage(uint32_t* pageNo) {
  DbError err = openForWriting();
  if (!err.ok()) return err;
  int32_t k = -1;
  err = freeFrame(&k);
  if (!err.ok()) return err;
  *pageNo = pageCount_;
  if (frameOf_.size() <= *pageNo) frameOf_.resize(*pageNo + 1024, -1);
  frames_[k] = Frame{*pageNo, true, true};
  ++changedFrames_;
  frameOf_[*pageNo] = k;
  std::memset(frameBytes(k), 0, pageSize());
  ++pageCount_;
  ++writeCount_;
  return DbError::success();
}

void PageFile::discardChanges() {
  for (Frame& frame : frames_) frame.changed = false;
  changedFrames_ = 0;
}

DbError PageFile::flush() {
  DbError err = changedFrames_ > 0 ? writeBack() : DbError::success();
  return err.ok() ? awaitWriter() : err;
}

DbError PageFile::corrupt(const std::string& what) const {
  return makeError(DbErrorNumber::CorruptDatabase,
                   "The database '" + path_ + "' is damaged: " + what + ".");
}

}  // namespace db
