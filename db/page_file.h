// page_file.h -- whole pages of one database file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "db/error.h"
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
  // its header region still masked. A page past the file's end is a corrupt reference.
  DbError readPage(uint32_t pageNo, Page* page) const;

  // Writes a whole page, through to the file; `pageNo` may be the page count to append.
  DbError writePage(uint32_t pageNo, std::span<const uint8_t> page);
  // Appends `page` as a new last page and names it.
  DbError appendPage(std::span<const uint8_t> page, uint32_t* pageNo);

  bool readOnly() const { return readOnly_; }
  // Pages written through this object so far: a reader that notes it before a walk knows
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
  void remember(uint32_t pageNo, std::span<const uint8_t> page) const;

  std::string path_;
  int fd_ = -1;
  bool readOnly_ = true;
  bool openedForWriting_ = false;
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
  DatabaseHeader header_;
  uint32_t pageCount_ = 0;
  uint64_t writeCount_ = 0;
  // Recently used pages. Writes go through to the file at once, so the cache never holds
  // anything the file lacks; it only saves reads of the pages a run touches again and again
  // (a table's last data page, its definition, index roots).
  static constexpr size_t kCachePages = 512;
  mutable std::vector<std::pair<uint32_t, Page>> cache_;
  mutable std::vector<int32_t> cacheSlot_;  // page number -> index in cache_, -1 when absent
  mutable size_t cacheHand_ = 0;
};

}  // namespace db
