// usage_map.h -- a set of page numbers, stored as one row on a data page:
//   type 0 (inline):    byte 0 = 0, uint32 LE start page, then a bitmap; bit k (byte k/8,
//                       LSB first) stands for page start + k.
//   type 1 (reference): byte 0 = 1, then uint32 LE page numbers of usage-map pages (type 0x05),
//                       0 where none is allocated; pointer j covers pages
//                       [j * P, (j + 1) * P) with P = (pageSize - 4) * 8, its bitmap at
//                       offset 4 of that page.
#pragma once

#include <cstdint>
#include <vector>

#include "db/data_page.h"

namespace db {

inline constexpr uint8_t kMapInline = 0;
inline constexpr uint8_t kMapReference = 1;
inline constexpr uint32_t kMapInlineHeaderSize = 1 + 4;  // type, start page
inline constexpr uint32_t kMapPageHeaderSize = 4;        // type 0x05, 0x01, two zero bytes

// Pages whose bits are set, ascending. A bit naming a page past the file's end is damage.
DbError readUsageMap(const PageFile& file, RowPointer where, std::vector<uint32_t>* pages);

// Hands out new pages: each is appended to the file and marked in use in the global map
// (page 1, row 0, where a set bit means free). Released pages are not handed out again: a
// file that needs its free space reclaimed is compacted.
class PageAllocator {
 public:
  explicit PageAllocator(PageFile& file) : file_(file) {}
  // Appends `content` (a whole page) and names it.
  DbError allocate(std::span<const uint8_t> content, uint32_t* pageNo);
  // Appends a page of zero bytes and gives its cached bytes to fill in, valid until the next
  // call on the file.
  DbError allocateBlank(uint32_t* pageNo, std::span<uint8_t>* bytes);
  // Gives a page back: it is blanked and marked free in the global map (never reused here;
  // compaction drops it).
  DbError release(uint32_t pageNo);
  PageFile& file() { return file_; }

 private:
  DbError markInUse(uint32_t pageNo);
  DbError markFree(uint32_t pageNo);
  PageFile& file_;
};

// Adds `page` to (present) or removes it from the map stored at `where`. An inline map that
// cannot reach the page moves its window when every page still fits, and otherwise becomes a
// reference map in the same row, with usage-map pages from `allocator`.
DbError updateUsageMap(PageAllocator& allocator, RowPointer where, uint32_t page, bool present);

// The row of an empty inline map of the length the format's tables use (Jet3 133 bytes:
// 1024 pages; Jet4 69 bytes: 512 pages), starting at `startPage`.
std::vector<uint8_t> emptyInlineMap(const FormatDescriptor& format, uint32_t startPage = 0);

}  // namespace db
