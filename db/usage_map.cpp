#include "db/usage_map.h"

#include <string>

#include "db/bytes.h"

namespace db {
namespace {

void collectBits(std::span<const uint8_t> bitmap, uint64_t firstPage, uint32_t pageCount,
                 std::vector<uint32_t>* pages) {
  for (size_t byte = 0; byte < bitmap.size(); ++byte) {
    if (bitmap[byte] == 0) continue;
    for (int bit = 0; bit < 8; ++bit) {
      if (!(bitmap[byte] & (1u << bit))) continue;
      uint64_t page = firstPage + byte * 8 + bit;
      if (page < pageCount) pages->push_back(static_cast<uint32_t>(page));
    }
  }
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
    collectBits(row.subspan(kMapInlineHeaderSize), readU32(row, 1), file.pageCount(), pages);
    return DbError::success();
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
    collectBits(std::span<const uint8_t>(mapPage).subspan(kMapPageHeaderSize),
                j * pagesPerMapPage, file.pageCount(), pages);
  }
  return DbError::success();
}

}  // namespace db
