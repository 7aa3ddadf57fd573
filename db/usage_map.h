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

// Pages whose bits are set, ascending; bits naming pages past the file's end are left out.
DbError readUsageMap(const PageFile& file, RowPointer where, std::vector<uint32_t>* pages);

}  // namespace db
