#include "db/data_page.h"

#include <string>

#include "db/bytes.h"

namespace db {

DbError dataRowCount(const PageFile& file, std::span<const uint8_t> page, uint32_t pageNo,
                     uint16_t* count) {
  const FormatDescriptor& f = file.format();
  uint16_t n = readU16(page, f.dataRowCountOffset);
  if (f.dataRowTableOffset + 2u * n > page.size()) {
    return file.corrupt("page " + std::to_string(pageNo) + " claims " + std::to_string(n) +
                        " rows, more than fit on a page");
  }
  *count = n;
  return DbError::success();
}

DbError dataRowSlot(const PageFile& file, std::span<const uint8_t> page, uint32_t pageNo,
                    uint16_t row, RowSlot* slot) {
  const FormatDescriptor& f = file.format();
  const uint16_t entry = readU16(page, f.dataRowTableOffset + 2u * row);
  const uint32_t tableEnd = f.dataRowTableOffset + 2u * readU16(page, f.dataRowCountOffset);
  uint32_t end = static_cast<uint32_t>(page.size());
  if (row > 0) end = readU16(page, f.dataRowTableOffset + 2u * (row - 1)) & kRowOffsetMask;
  const uint32_t start = entry & kRowOffsetMask;
  slot->deleted = (entry & kRowDeleted) != 0;
  slot->overflow = (entry & kRowOverflow) != 0;
  if (start > end || end > page.size() || (start < tableEnd && start != end)) {
    if (slot->deleted) {
      // A deleted slot is never read; give it no extent rather than refusing the page.
      slot->start = slot->end = 0;
      return DbError::success();
    }
    return file.corrupt("page " + std::to_string(pageNo) + ": row " + std::to_string(row) +
                        " lies outside the page");
  }
  slot->start = static_cast<uint16_t>(start);
  slot->end = static_cast<uint16_t>(end);
  return DbError::success();
}

DbError readRowAt(const PageFile& file, RowPointer ptr, Page* page,
                  std::span<const uint8_t>* bytes) {
  DbError err = file.readPage(ptr.page, page);
  if (!err.ok()) return err;
  if ((*page)[0] != kPageData) {
    return file.corrupt("a row pointer names page " + std::to_string(ptr.page) +
                        ", which is not a data page");
  }
  uint16_t count = 0;
  err = dataRowCount(file, *page, ptr.page, &count);
  if (!err.ok()) return err;
  if (ptr.row >= count) {
    return file.corrupt("a row pointer names row " + std::to_string(ptr.row) + " of page " +
                        std::to_string(ptr.page) + ", which has " + std::to_string(count) +
                        " rows");
  }
  RowSlot slot;
  err = dataRowSlot(file, *page, ptr.page, ptr.row, &slot);
  if (!err.ok()) return err;
  *bytes = std::span<const uint8_t>(*page).subspan(slot.start, slot.length());
  return DbError::success();
}

}  // namespace db
