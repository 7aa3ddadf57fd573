#include "db/data_page.h"

#include <algorithm>
#include <cstring>
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

void initDataPage(const FormatDescriptor& f, std::span<uint8_t> page, uint32_t owner) {
  page[0] = kPageData;
  page[1] = 0x01;
  writeU16(page, kDataFreeSpaceOffset, static_cast<uint16_t>(f.pageSize - f.dataRowTableOffset));
  writeU32(page, kDataOwnerOffset, owner);
}

Page emptyDataPage(const FormatDescriptor& f, uint32_t owner) {
  Page page(f.pageSize, 0);
  initDataPage(f, page, owner);
  return page;
}

uint16_t dataPageFreeSpace(std::span<const uint8_t> page) {
  return readU16(page, kDataFreeSpaceOffset);
}

namespace {

uint32_t lowestRowStart(const FormatDescriptor& f, std::span<const uint8_t> page, uint16_t count) {
  uint32_t lowest = static_cast<uint32_t>(page.size());
  for (uint16_t i = 0; i < count; ++i) {
    lowest = std::min<uint32_t>(lowest, readU16(page, f.dataRowTableOffset + 2u * i) & kRowOffsetMask);
  }
  return lowest;
}

}  // namespace

bool rowFits(const FormatDescriptor& f, std::span<const uint8_t> page, size_t length) {
  const uint16_t count = readU16(page, f.dataRowCountOffset);
  if (count >= kMaxRowsPerPage) return false;
  const uint32_t tableEnd = f.dataRowTableOffset + 2u * (count + 1);
  const uint32_t lowest = lowestRowStart(f, page, count);
  return lowest >= tableEnd && length <= lowest - tableEnd;
}

bool appendRow(const FormatDescriptor& f, std::span<uint8_t> page, std::span<const uint8_t> row,
               uint16_t* slot, uint16_t flags) {
  const uint16_t count = readU16(page, f.dataRowCountOffset);
  if (count >= kMaxRowsPerPage) return false;
  const uint32_t tableEnd = f.dataRowTableOffset + 2u * (count + 1);
  const uint32_t lowest = lowestRowStart(f, page, count);
  if (lowest < tableEnd || row.size() > lowest - tableEnd) return false;
  const uint32_t start = lowest - static_cast<uint32_t>(row.size());
  std::copy(row.begin(), row.end(), page.begin() + start);
  writeU16(page, f.dataRowTableOffset + 2u * count, static_cast<uint16_t>(start | flags));
  writeU16(page, f.dataRowCountOffset, static_cast<uint16_t>(count + 1));
  writeU16(page, kDataFreeSpaceOffset, static_cast<uint16_t>(start - tableEnd));
  *slot = count;
  return true;
}

bool appendRow(const FormatDescriptor& f, Page* page, std::span<const uint8_t> row,
               uint16_t* slot, uint16_t flags) {
  return appendRow(f, std::span<uint8_t>(*page), row, slot, flags);
}

bool growRow(const FormatDescriptor& f, std::span<uint8_t> page, uint16_t slot,
             std::span<const uint8_t> row) {
  const uint16_t count = readU16(page, f.dataRowCountOffset);
  const uint32_t tableEnd = f.dataRowTableOffset + 2u * count;
  if (slot >= count || tableEnd > page.size()) return false;
  const uint32_t start = readU16(page, f.dataRowTableOffset + 2u * slot) & kRowOffsetMask;
  const uint32_t end =
      slot == 0 ? static_cast<uint32_t>(page.size())
                : readU16(page, f.dataRowTableOffset + 2u * (slot - 1)) & kRowOffsetMask;
  const uint32_t lowest = lowestRowStart(f, page, count);
  if (start > end || end > page.size() || lowest < tableEnd || lowest > start ||
      row.size() <= end - start) {
    return false;
  }
  const uint32_t delta = static_cast<uint32_t>(row.size()) - (end - start);
  if (delta > lowest - tableEnd) return false;
  // Everything stored from the lowest row up to this one moves down; so do their offsets.
  std::memmove(page.data() + lowest - delta, page.data() + lowest, start - lowest);
  for (uint16_t i = 0; i < count; ++i) {
    const uint32_t at = f.dataRowTableOffset + 2u * i;
    const uint16_t entry = readU16(page, at);
    const uint32_t offset = entry & kRowOffsetMask;
    if (i == slot || (offset >= lowest && offset < start)) {
      writeU16(page, at, static_cast<uint16_t>((entry & ~kRowOffsetMask) | (offset - delta)));
    }
  }
  std::copy(row.begin(), row.end(), page.begin() + (start - delta));
  writeU16(page, kDataFreeSpaceOffset, static_cast<uint16_t>(lowest - delta - tableEnd));
  return true;
}

bool repackRows(const FormatDescriptor& f, Page* page, const std::vector<std::vector<uint8_t>>& rows,
                const std::vector<uint16_t>& flags) {
  size_t total = f.dataRowTableOffset + 2 * rows.size();
  for (const auto& r : rows) total += r.size();
  if (total > f.pageSize || rows.size() > kMaxRowsPerPage) return false;
  const uint32_t owner = readU32(*page, kDataOwnerOffset);
  Page fresh = emptyDataPage(f, owner);
  for (size_t i = 0; i < rows.size(); ++i) {
    uint16_t slot = 0;
    appendRow(f, &fresh, rows[i], &slot, flags[i]);
  }
  *page = std::move(fresh);
  return true;
}

}  // namespace db
