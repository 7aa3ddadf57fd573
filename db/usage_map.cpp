#include "db/usage_map.h"

#include <algorithm>
#include <string>

#include "db/bytes.h"

namespace db {
namespace {

// A set bit past the file's end names a page the file lost (a copy cut short, say): the map's
// owner had rows or values there, so reading on without them would return less than it holds.
DbError collectBits(const PageFile& file, RowPointer where, std::span<const uint8_t> bitmap,
                    uint64_t firstPage, std::vector<uint32_t>* pages) {
  for (size_t byte = 0; byte < bitmap.size(); ++byte) {
    if (bitmap[byte] == 0) continue;
    for (int bit = 0; bit < 8; ++bit) {
      if (!(bitmap[byte] & (1u << bit))) continue;
      const uint64_t page = firstPage + byte * 8 + bit;
      if (page >= file.pageCount()) {
        return file.corrupt("the usage map in row " + std::to_string(where.row) + " of page " +
                            std::to_string(where.page) + " lists page " + std::to_string(page) +
                            ", past the end of the " + std::to_string(file.pageCount()) +
                            "-page file");
      }
      pages->push_back(static_cast<uint32_t>(page));
    }
  }
  return {};
}

}  // namespace

DbError readUsageMap(const PageFile& file, RowPointer where, std::vector<uint32_t>* pages) {
  pages->clear();
  Page page;
  std::span<const uint8_t> row;
  DbError err = readRowAt(file, where, &page, &row);
  if (!err.ok()) return err;
  if (row.empty()) return file.corrupt("the usage map on page " + std::to_string(where.page) +
                                       " is empty");
  if (row[0] == kMapInline) {
    if (row.size() < kMapInlineHeaderSize) {
      return file.corrupt("the usage map on page " + std::to_string(where.page) + " is too short");
    }
    return collectBits(file, where, row.subspan(kMapInlineHeaderSize), readU32(row, 1), pages);
  }
  if (row[0] != kMapReference) {
    return file.corrupt("the usage map on page " + std::to_string(where.page) +
                        " has the unknown type " + std::to_string(row[0]));
  }
  const uint64_t pagesPerMapPage = (file.pageSize() - kMapPageHeaderSize) * 8ull;
  const size_t pointerCount = (row.size() - 1) / 4;
  // Copy the pointers first: reading a map page reuses nothing of `page`, but keep it simple.
  std::vector<uint32_t> mapPages;
  for (size_t j = 0; j < pointerCount; ++j) mapPages.push_back(readU32(row, 1 + 4 * j));
  Page mapPage;
  for (size_t j = 0; j < mapPages.size(); ++j) {
    if (mapPages[j] == 0) continue;
    err = file.readPage(mapPages[j], &mapPage);
    if (!err.ok()) return err;
    if (mapPage[0] != kPageUsageMap) {
      return file.corrupt("page " + std::to_string(mapPages[j]) +
                          " is named as a usage-map page but is not one");
    }
    err = collectBits(file, where, std::span<const uint8_t>(mapPage).subspan(kMapPageHeaderSize),
                      j * pagesPerMapPage, pages);
    if (!err.ok()) return err;
  }
  return DbError::success();
}

namespace {

constexpr RowPointer kGlobalMap{1, 0};
constexpr uint32_t kInlineMapBitmapBytes3 = 128;
constexpr uint32_t kInlineMapBitmapBytes4 = 64;
// The global map grows in steps of this many bytes of bitmap (512 pages) as the file grows.
constexpr uint32_t kGlobalMapGrowth = 64;

uint64_t pagesPerMapPage(const PageFile& file) {
  return (file.pageSize() - kMapPageHeaderSize) * 8ull;
}

// Finds the slot that `ptr` names and its byte range in `page`.
DbError locateRow(const PageFile& file, RowPointer ptr, Page* page, uint16_t* start,
                  uint16_t* length) {
  std::span<const uint8_t> bytes;
  DbError err = readRowAt(file, ptr, page, &bytes);
  if (!err.ok()) return err;
  *start = static_cast<uint16_t>(bytes.data() - page->data());
  *length = static_cast<uint16_t>(bytes.size());
  if (*length < kMapInlineHeaderSize) {
    return file.corrupt("the usage map on page " + std::to_string(ptr.page) + " is too short");
  }
  return {};
}

void setBit(uint8_t* bitmap, uint64_t bit, bool on) {
  if (on) {
    bitmap[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
  } else {
    bitmap[bit / 8] &= static_cast<uint8_t>(~(1u << (bit % 8)));
  }
}

// Sets (on) or clears the bit of `pageNo` in the map row at `where`, in the cached pages
// themselves, where the map already has a bit for it: an inline map whose window covers the
// page, or a reference map with a map page for its range (`done`). Anything else is left to
// the caller, unchanged.
DbError setMapBitInPlace(PageFile& file, RowPointer where, uint32_t pageNo, bool on, bool* done) {
  *done = false;
  std::span<uint8_t> page;
  DbError err = file.changePage(where.page, &page);
  if (!err.ok() || page[0] != kPageData) return err;
  uint16_t count = 0;
  RowSlot slot;
  if (!dataRowCount(file, page, where.page, &count).ok() || where.row >= count ||
      !dataRowSlot(file, page, where.page, where.row, &slot).ok() ||
      slot.length() < kMapInlineHeaderSize) {
    return {};
  }
  const std::span<uint8_t> row = page.subspan(slot.start, slot.length());
  if (row[0] == kMapInline) {
    const uint32_t first = readU32(row, 1);
    const uint64_t bits = (slot.length() - kMapInlineHeaderSize) * 8ull;
    if (pageNo < first || pageNo - first >= bits) return {};
    setBit(row.data() + kMapInlineHeaderSize, pageNo - first, on);
    *done = true;
    return {};
  }
  if (row[0] != kMapReference) return {};
  const uint64_t perPage = pagesPerMapPage(file);
  const uint64_t j = pageNo / perPage;
  if (1 + 4 * (j + 1) > slot.length()) return {};
  const uint32_t mapPageNo = readU32(row, 1 + 4 * j);
  if (mapPageNo == 0 || mapPageNo >= file.pageCount()) return {};
  std::span<uint8_t> mapPage;
  err = file.changePage(mapPageNo, &mapPage);
  if (!err.ok() || mapPage[0] != kPageUsageMap) return err;
  setBit(mapPage.data() + kMapPageHeaderSize, pageNo % perPage, on);
  *done = true;
  return {};
}

Page emptyMapPage(const PageFile& file) {
  Page page(file.pageSize(), 0);
  page[0] = kPageUsageMap;
  page[1] = 0x01;
  return page;
}

}  // namespace

std::vector<uint8_t> emptyInlineMap(const FormatDescriptor& format, uint32_t startPage) {
  const uint32_t bitmap = format.pageSize == kVersion3.pageSize ? kInlineMapBitmapBytes3
                                                                 : kInlineMapBitmapBytes4;
  std::vector<uint8_t> row(kMapInlineHeaderSize + bitmap, 0);
  row[0] = kMapInline;
  writeU32(row, 1, startPage);
  return row;
}

DbError PageAllocator::allocate(std::span<const uint8_t> content, uint32_t* pageNo) {
  DbError err = file_.appendPage(content, pageNo);
  if (!err.ok()) return err;
  return markInUse(*pageNo);
}

DbError PageAllocator::allocateBlank(uint32_t* pageNo, std::span<uint8_t>* bytes) {
  DbError err = file_.appendBlankPage(pageNo);
  if (err.ok()) err = markInUse(*pageNo);
  if (err.ok()) err = file_.changePage(*pageNo, bytes);
  return err;
}

DbError PageAllocator::release(uint32_t pageNo) {
  DbError err = file_.writePage(pageNo, Page(file_.pageSize(), 0));
  if (!err.ok()) return err;
  return markFree(pageNo);
}

DbError PageAllocator::markFree(uint32_t pageNo) {
  bool done = false;
  DbError err = setMapBitInPlace(file_, kGlobalMap, pageNo, true, &done);
  if (!err.ok() || done) return err;
  Page page;
  uint16_t start = 0, length = 0;
  err = locateRow(file_, kGlobalMap, &page, &start, &length);
  if (!err.ok()) return err;
  if (page[start] == kMapInline) {
    const uint32_t first = readU32(page, start + 1);
    const uint64_t bits = (length - kMapInlineHeaderSize) * 8ull;
    if (pageNo < first || pageNo - first >= bits) return {};  // outside the map: free already
    setBit(&page[start + kMapInlineHeaderSize], pageNo - first, true);
    return file_.writePage(1, page);
  }
  const uint64_t perPage = pagesPerMapPage(file_);
  const uint64_t j = pageNo / perPage;
  if (1 + 4 * (j + 1) > length) return {};
  const uint32_t mapPageNo = readU32(page, start + 1 + 4 * j);
  if (mapPageNo == 0) return {};
  Page mp;
  err = file_.readPage(mapPageNo, &mp);
  if (!err.ok()) return err;
  setBit(&mp[kMapPageHeaderSize], pageNo % perPage, true);
  return file_.writePage(mapPageNo, mp);
}

DbError PageAllocator::markInUse(uint32_t pageNo) {
  bool done = false;
  DbError err = setMapBitInPlace(file_, kGlobalMap, pageNo, false, &done);
  if (!err.ok() || done) return err;
  Page page;
  uint16_t start = 0, length = 0;
  err = locateRow(file_, kGlobalMap, &page, &start, &length);
  if (!err.ok()) return err;
  const FormatDescriptor& f = file_.format();
  if (page[start] == kMapInline) {
    const uint32_t first = readU32(page, start + 1);
    const uint64_t bits = (length - kMapInlineHeaderSize) * 8ull;
    if (pageNo >= first && pageNo - first < bits) {
      setBit(&page[start + kMapInlineHeaderSize], pageNo - first, false);
      return file_.writePage(1, page);
    }
    if (pageNo < first) return file_.corrupt("the global usage map starts past page " +
                                             std::to_string(pageNo));
    // Grow the row: the new bytes mark every page past the file's end as free.
    uint16_t count = 0;
    err = dataRowCount(file_, page, 1, &count);
    if (!err.ok()) return err;
    std::vector<std::vector<uint8_t>> rows;
    std::vector<uint16_t> flags;
    for (uint16_t r = 0; r < count; ++r) {
      RowSlot slot;
      err = dataRowSlot(file_, page, 1, r, &slot);
      if (!err.ok()) return err;
      rows.emplace_back(page.begin() + slot.start, page.begin() + slot.end);
      flags.push_back(readU16(page, f.dataRowTableOffset + 2u * r) &
                      static_cast<uint16_t>(~kRowOffsetMask));
    }
    std::vector<uint8_t>& map = rows[0];
    const uint64_t neededBytes = (pageNo - first) / 8 + 1;
    const uint64_t newBytes = (neededBytes + kGlobalMapGrowth - 1) / kGlobalMapGrowth * kGlobalMapGrowth;
    const size_t oldBytes = map.size() - kMapInlineHeaderSize;
    map.resize(kMapInlineHeaderSize + newBytes, 0xFF);
    for (uint64_t p = first + oldBytes * 8; p < file_.pageCount(); ++p) {
      setBit(&map[kMapInlineHeaderSize], p - first, false);
    }
    if (repackRows(f, &page, rows, flags)) return file_.writePage(1, page);
    // Page 1 is full: the map becomes a reference map. Its row keeps the old length, so it
    // fits where it was; usage-map pages are appended, all pages below the file's new end
    // marked in use and the rest free.
    map.resize(kMapInlineHeaderSize + oldBytes);
    const size_t pointers = (map.size() - 1) / 4;
    const uint64_t perPage = pagesPerMapPage(file_);
    const uint64_t mapPages = (file_.pageCount() + 2) / perPage + 1;
    if (mapPages > pointers) return file_.corrupt("the file has outgrown its global usage map");
    const uint32_t firstMapPage = file_.pageCount();
    const uint64_t end = firstMapPage + mapPages;
    std::fill(map.begin(), map.end(), 0);
    map[0] = kMapReference;
    for (uint64_t j = 0; j < mapPages; ++j) {
      Page mp = emptyMapPage(file_);
      for (uint64_t b = 0; b < perPage; ++b) {
        setBit(&mp[kMapPageHeaderSize], b, j * perPage + b >= end);
      }
      uint32_t written = 0;
      err = file_.appendPage(mp, &written);
      if (!err.ok()) return err;
      writeU32(map, 1 + 4 * j, written);
    }
    if (!repackRows(f, &page, rows, flags)) return file_.corrupt("page 1 cannot hold its maps");
    return file_.writePage(1, page);
  }
  if (page[start] != kMapReference) return file_.corrupt("the global usage map has an unknown type");
  const uint64_t perPage = pagesPerMapPage(file_);
  const uint64_t j = pageNo / perPage;
  if (1 + 4 * (j + 1) > length) return file_.corrupt("the file has outgrown its global usage map");
  uint32_t mapPageNo = readU32(page, start + 1 + 4 * j);
  Page mp;
  if (mapPageNo == 0) {
    mp = emptyMapPage(file_);
    err = file_.appendPage(mp, &mapPageNo);
    if (!err.ok()) return err;
    for (uint64_t b = 0; b < perPage; ++b) {
      setBit(&mp[kMapPageHeaderSize], b, j * perPage + b >= file_.pageCount());
    }
    writeU32(page, start + 1 + 4 * j, mapPageNo);
    err = file_.writePage(1, page);
    if (!err.ok()) return err;
    err = file_.writePage(mapPageNo, mp);
    if (!err.ok()) return err;
    // The new map page may lie in the next range, which has no map page yet.
    if (mapPageNo / perPage != j) return markInUse(mapPageNo);
  } else {
    err = file_.readPage(mapPageNo, &mp);
    if (!err.ok()) return err;
  }
  setBit(&mp[kMapPageHeaderSize], pageNo % perPage, false);
  return file_.writePage(mapPageNo, mp);
}

DbError updateUsageMap(PageAllocator& allocator, RowPointer where, uint32_t pageNo, bool present) {
  PageFile& file = allocator.file();
  bool done = false;
  DbError err = setMapBitInPlace(file, where, pageNo, present, &done);
  if (!err.ok() || done) return err;
  Page page;
  uint16_t start = 0, length = 0;
  err = locateRow(file, where, &page, &start, &length);
  if (!err.ok()) return err;
  const uint64_t perPage = pagesPerMapPage(file);
  if (page[start] == kMapInline) {
    uint8_t* bitmap = &page[start + kMapInlineHeaderSize];
    const uint32_t first = readU32(page, start + 1);
    const uint64_t bits = (length - kMapInlineHeaderSize) * 8ull;
    if (pageNo >= first && pageNo - first < bits) {
      setBit(bitmap, pageNo - first, present);
      return file.writePage(where.page, page);
    }
    if (!present) return {};
    std::vector<uint32_t> pages;
    for (uint64_t b = 0; b < bits; ++b) {
      if (bitmap[b / 8] & (1u << (b % 8))) pages.push_back(static_cast<uint32_t>(first + b));
    }
    pages.push_back(pageNo);
    const uint32_t low = *std::min_element(pages.begin(), pages.end()) / 8 * 8;
    const uint32_t high = *std::max_element(pages.begin(), pages.end());
    std::fill(bitmap, bitmap + (length - kMapInlineHeaderSize), 0);
    if (high - low < bits) {
      writeU32(page, start + 1, low);
      for (uint32_t p : pages) setBit(bitmap, p - low, true);
      return file.writePage(where.page, page);
    }
    // Too wide for a window: the same row becomes a list of usage-map pages.
    std::fill(page.begin() + start, page.begin() + start + length, 0);
    page[start] = kMapReference;
    err = file.writePage(where.page, page);
    if (!err.ok()) return err;
    for (uint32_t p : pages) {
      err = updateUsageMap(allocator, where, p, true);
      if (!err.ok()) return err;
    }
    return {};
  }
  if (page[start] != kMapReference) {
    return file.corrupt("the usage map on page " + std::to_string(where.page) +
                        " has an unknown type");
  }
  const uint64_t j = pageNo / perPage;
  if (1 + 4 * (j + 1) > length) {
    return file.corrupt("the usage map on page " + std::to_string(where.page) +
                        " cannot reach page " + std::to_string(pageNo));
  }
  uint32_t mapPageNo = readU32(page, start + 1 + 4 * j);
  Page mp;
  if (mapPageNo == 0) {
    if (!present) return {};
    err = allocator.allocate(emptyMapPage(file), &mapPageNo);
    if (!err.ok()) return err;
    // Re-read: allocation may have changed nothing here, but the row is written whole.
    err = locateRow(file, where, &page, &start, &length);
    if (!err.ok()) return err;
    writeU32(page, start + 1 + 4 * j, mapPageNo);
    err = file.writePage(where.page, page);
    if (!err.ok()) return err;
  }
  err = file.readPage(mapPageNo, &mp);
  if (!err.ok()) return err;
  if (mp[0] != kPageUsageMap) {
    return file.corrupt("page " + std::to_string(mapPageNo) + " is not a usage-map page");
  }
  setBit(&mp[kMapPageHeaderSize], pageNo % perPage, present);
  return file.writePage(mapPageNo, mp);
}

}  // namespace db
