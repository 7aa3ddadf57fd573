// data_page.h -- rows on a data page (table rows, long-value rows and usage-map rows alike):
//   0x00  page type 0x01, then 0x01
//   0x02  uint16 LE free space
//   0x04  uint32 LE owner: the owning table's tdef page, "LVAL" on long-value pages
//   desc.dataRowCountOffset  uint16 LE number of row slots
//   desc.dataRowTableOffset  one uint16 LE entry per slot
// Entry bits: 0x8000 row deleted; 0x4000 the row area holds a 4-byte pointer to where the row
// now lives (overflow); low 13 bits the row's start. Rows are packed from the page end down:
// slot 0 ends at the page end, slot i ends where slot i-1 starts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "db/page_file.h"

namespace db {

inline constexpr uint16_t kRowDeleted = 0x8000;
inline constexpr uint16_t kRowOverflow = 0x4000;
inline constexpr uint16_t kRowOffsetMask = 0x1FFF;
inline constexpr uint32_t kDataOwnerOffset = 4;
inline constexpr uint32_t kDataFreeSpaceOffset = 2;
inline constexpr uint32_t kLongValueOwner = 0x4C41564C;  // "LVAL" read as uint32 LE

// A row pointer as tdefs, long values and overflow slots store it: uint32 LE of
// page * 256 + row.
struct RowPointer {
  uint32_t page = 0;
  uint8_t row = 0;
  static RowPointer fromStored(uint32_t v) { return {v >> 8, static_cast<uint8_t>(v & 0xFF)}; }
  uint32_t stored() const { return (page << 8) | row; }
};

struct RowSlot {
  uint16_t start = 0;
  uint16_t end = 0;
  bool deleted = false;
  bool overflow = false;
  uint16_t length() const { return static_cast<uint16_t>(end - start); }
};

// Number of row slots, checked against the page size.
DbError dataRowCount(const PageFile& file, std::span<const uint8_t> page, uint32_t pageNo,
                     uint16_t* count);

// Extent and flags of slot `row`; a slot that reaches outside the page is corrupt.
DbError dataRowSlot(const PageFile& file, std::span<const uint8_t> page, uint32_t pageNo,
                    uint16_t row, RowSlot* slot);

// Reads the page named by `ptr` into `page` and finds its row, which must be a data page's
// live or overflow-target row. `bytes` points into `page`.
DbError readRowAt(const PageFile& file, RowPointer ptr, Page* page,
                  std::span<const uint8_t>* bytes);

// At most this many row slots on a page: a row pointer has one byte for the row.
inline constexpr uint16_t kMaxRowsPerPage = 255;

// An empty data page owned by `owner` (a tdef page, kLongValueOwner, or 0 for map pages).
Page emptyDataPage(const FormatDescriptor& format, uint32_t owner);
// The same made of a page of zero bytes.
void initDataPage(const FormatDescriptor& format, std::span<uint8_t> page, uint32_t owner);
uint16_t dataPageFreeSpace(std::span<const uint8_t> page);
// Whether a row of `length` bytes fits as one more slot.
bool rowFits(const FormatDescriptor& format, std::span<const uint8_t> page, size_t length);
// Appends `row` as the page's next slot, below the lowest row, and keeps the free-space field
// true (free = lowest row start - end of the slot table). False when it does not fit.
bool appendRow(const FormatDescriptor& format, Page* page, std::span<const uint8_t> row,
               uint16_t* slot, uint16_t flags = 0);
bool appendRow(const FormatDescriptor& format, std::span<uint8_t> page,
               std::span<const uint8_t> row, uint16_t* slot, uint16_t flags = 0);
// Gives slot `slot` the bytes `row`, longer than it has, where the page has the room: the rows
// stored below it move down to make it, and their offsets with them, so that every slot keeps
// its number. False, with the page unchanged, when the room is not there.
bool growRow(const FormatDescriptor& format, std::span<uint8_t> page, uint16_t slot,
             std::span<const uint8_t> row);
// Rebuilds a page from its slots' bytes, packed from the page end in slot order, each slot
// with its flags. Used where a row changes length (a usage map that grows).
bool repackRows(const FormatDescriptor& format, Page* page,
                const std::vector<std::vector<uint8_t>>& rows, const std::vector<uint16_t>& flags);

}  // namespace db
