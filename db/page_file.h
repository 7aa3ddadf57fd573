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

class PageFile {
 public:
  ~PageFile();
  PageFile(const PageFile&) = delete;
  PageFile& operator=(const PageFile&) = delete;

  // Opens an existing database for reading and checks its header.
  static DbError open(const std::string& path, std::unique_ptr<PageFile>* out);

  const std::string& path() const { return path_; }
  const FormatDescriptor& format() const { return *header_.format; }
  const DatabaseHeader& header() const { return header_; }
  uint32_t pageSize() const { return header_.format->pageSize; }
  uint32_t pageCount() const { return pageCount_; }

  // Reads page `pageNo` into `page` (resized to the page size). Page 0 comes back as stored,
  // its header region still masked. A page past the file's end is a corrupt reference.
  DbError readPage(uint32_t pageNo, Page* page) const;

  // An error naming this file, for faults found in its pages.
  DbError corrupt(const std::string& what) const;

 private:
  PageFile() = default;

  std::string path_;
  int fd_ = -1;
  DatabaseHeader header_;
  uint32_t pageCount_ = 0;
};

}  // namespace db
