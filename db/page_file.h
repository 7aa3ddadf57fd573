// page_file.h -- whole pages of one database file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "db/error.h"
#include "db/file_io.h"
#include "db/format.h"

namespace db {

// Page-type bytes, the first byte of every page.
inline constexpr uint8_t kPageHeader = 0x00;
inline constexpr uint8_t kPageData = 0x01;
inline constexpr uint8_t kPageTableDef = 0x02;
inline constexpr uint8_t kPageIndexNode = 0x03;
inline constexpr uint8_t kPageIndexLeaf = 0x04;
inline constexpr uint8_t kPageUsageMap = 0x05;

using Page = std::vector<uint8_t>;

// The password of a password-protected database, given by the person and kept by the file's
// identity on disk, so that every open of that file in this process is let in (the run's, the
// genre dialog's, whatever path names it). False when nothing is at `path`.
bool rememberPassword(const std::string& path, const std::string& password);

class PageFile {
 public:
  // Writes back the pages still changed, whatever comes of it: a caller that must know that
  // they reached the file calls flush() first.
  ~PageFile();
  PageFile(const PageFile&) = delete;
  PageFile& operator=(const PageFile&) = delete;

  // Opens an existing database and checks its header (and a password-protected file's
  // password, as remembered). An encoded file's pages are decrypted as they are read; it is
  // never written. With `writable`, the first write
  // reopens it for writing (and fails with ReadOnly where that is refused); without, every
  // write fails.
  static DbError open(const std::string& path, std::unique_ptr<PageFile>* out,
                      bool writable = true);
  // Creates a new file holding `page0` as its first page; fails when the path exists.
  static DbError create(const std::string& path, const FormatDescriptor& format,
                        std::span<const uint8_t> page0, std::unique_ptr<PageFile>* out);

  const std::string& path() const { return path_; }
  const FormatDescriptor& format() const { return *header_.format; }
  const DatabaseHeader& header() const { return header_; }
  uint32_t pageSize() const { return header_.format->pageSize; }
  uint32_t pageCount() const { return pageCount_; }

  // Reads page `pageNo` into `page` (resized to the page size). Page 0 comes back as stored,
  // its header region still masked. A page past the file's end is a corrupt reference. Making
  // room in the cache may write changed pages back first; the failure of their write, or of an
  // earlier write-back's, is this call's.
  DbError readPage(uint32_t pageNo, Page* page) const;

  // Writes a whole page; `pageNo` may be the page count to append. The page goes to the cache
  // and reaches the file when it leaves the cache, at flush() or when the file is closed.
  DbError writePage(uint32_t pageNo, std::span<const uint8_t> page);
  // Appends `page` as a new last page and names it.
  DbError appendPage(std::span<const uint8_t> page, uint32_t* pageNo);
  // Appends a page of zero bytes and names it.
  DbError appendBlankPage(uint32_t* pageNo);
  // The cached bytes of page `pageNo` to change in place, counted as written. They stay valid
  // until the next call on this file.
  DbError changePage(uint32_t pageNo, std::span<uint8_t>* bytes);
  // Writes every changed page to the file, in page order, and waits until every write-back has
  // reached it; a write that failed on the way is this call's failure. Nothing is synced: a
  // caller that needs the data on the disk syncs the file itself.
  DbError flush();
  // Forgets the changed pages instead of writing them, for a file that is about to be removed.
  void discardChanges();
  // Starts the disk writing what each write-back hands the system, so that a later sync of a
  // large new file finds little left to do.
  void setWriteBehind(bool on) { writeBehind_ = on; }

  // Sees each page read of a file that is read once on its way to removal (a run's own work
  // file, as it is compacted), for a reader that judges what it is done with by the pages.
  class ReadObserver {
   public:
    virtual ~ReadObserver() = default;
    virtual void pageRead(uint32_t pageNo, std::span<const uint8_t> page) = 0;
  };
  // From now on the file is read once on its way to removal: `observer` sees each page read,
  // and each page given up is cut out of the file, so that the memory the system cached it in
  // serves the next pages written, anywhere, instead of memory not touched for a while (which
  // on a virtual machine can cost more to touch than the copy). Fails, leaving the file as it
  // was, where the file cannot be written; null ends it. Pages are cut in batches, best
  // effort: a file system without holes keeps them.
  DbError consume(ReadObserver* observer);
  // No later read will want page `pageNo` of a file being consumed: reading or changing it
  // afterwards is an error, a fault of this program.
  void giveUp(uint32_t pageNo);

  bool readOnly() const { return readOnly_; }
  // Pages written or changed through this object so far: a reader that notes it before a walk knows
  // afterwards whether anything in the file changed under it.
  uint64_t writeCount() const { return writeCount_; }
  // Identity of the file on disk (device and inode), so that two opens of one file can share
  // one PageFile.
  uint64_t device() const { return device_; }
  uint64_t inode() const { return inode_; }

  // An error naming this file, for faults found in its pages.
  DbError corrupt(const std::string& what) const;

 private:
  PageFile() = default;
  DbError openForWriting();
  // The cache frame holding `pageNo`, read in when absent (-1 with the error when that fails).
  int32_t frameOf(uint32_t pageNo, DbError* err) const;
  // A frame to reuse: changed pages are written back first when it holds one.
  DbError freeFrame(int32_t* frame) const;
  // Hands every changed page to the writer and marks it unchanged; the failure of an earlier
  // write-back, if any, is this call's.
  DbError writeBack() const;
  // Waits until nothing is on its way to the file; a write that failed on the way.
  DbError awaitWriter() const;
  // Whether a page of pageNo .. pageNo + count - 1 is on its way to the file.
  bool onTheWay(uint32_t pageNo, uint32_t count) const;
  bool givenUp(uint32_t pageNo) const { return pageNo < givenUp_.size() && givenUp_[pageNo]; }
  void cutGivenUp() const;
  uint8_t* frameBytes(int32_t frame) const { return arena_.data() + size_t(frame) * pageSize(); }

  std::string path_;
  io::File file_;
  bool readOnly_ = true;
  bool openedForWriting_ = false;
  bool writeBehind_ = false;
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
  DatabaseHeader header_;
  uint32_t pageCount_ = 0;
  uint64_t writeCount_ = 0;
  // Recently used pages, changed ones among them: a write stays in the cache until its frame
  // is wanted for another page, when every changed page goes to the file at once, in page
  // order, so that pages written one after another leave in one write. Frames are reused in
  // turn, passing over those used since the hand last came by (a clock), which keeps a run's
  // hot pages (definitions, usage maps, the page rows go to) while pages read once pass through.
  static constexpr size_t kCacheBytes = size_t{4} << 20;
  static constexpr uint32_t kReadAhead = 16;  // pages read at once in a run
  static constexpr uint32_t kNoPage = 0xFFFFFFFF;
  struct Frame {
    uint32_t pageNo = kNoPage;  // kNoPage for a frame that holds none (a read into it failed)
    bool changed = false;
    bool used = false;
  };
  mutable std::vector<uint8_t> arena_;    // frame k's bytes at k * pageSize()
  mutable std::vector<Frame> frames_;
  mutable std::vector<int32_t> frameOf_;  // page number -> frame, -1 when absent
  mutable size_t hand_ = 0;
  mutable size_t changedFrames_ = 0;
  mutable uint32_t nextInRun_ = 0;         // the page after the last ones read
  // Write-backs leave through a thread of the file's own: the pages are copied aside and the
  // caller carries on while the system takes them (fresh memory for its cache, the copy into
  // it), which on a virtual machine can take longer than making the pages did. One write-back
  // at a time is on its way; the next waits for it, and so does a read of a page it holds. A
  // write that failed fails every later write-back, flush and read from the disk (once its
  // failure has come back; a read of a page on its way waits for it). What the writer throws
  // (memory running out) is thrown again by each of those calls.
  struct Writer;
  mutable std::unique_ptr<Writer> writer_;  // started by the first write-back
  mutable bool writeFailed_ = false;  // a write-back's failure has come back
  ReadObserver* observer_ = nullptr;
  mutable std::vector<uint8_t> givenUp_;   // by page number, once pages are given up
  mutable std::vector<uint32_t> toCut_;    // given up, not yet cut out of the file
  mutable bool cutting_ = true;            // false once the file system refused a hole
  // Holes are cut on a thread of their own: each costs the system a call and the dropping of
  // the pages it cached, which the reader of the pages need not wait for. The thread is
  // started by the first batch; consume(nullptr) waits until every hole is cut.
  struct Cutter;
  mutable std::unique_ptr<Cutter> cutter_;
  void awaitCutter() const;
};

}  // namespace db
