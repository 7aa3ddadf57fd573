// long_value.h -- Memo and OLE values. The row holds a 12-byte header:
//   0  uint32 LE: bits 0..29 the value's length, bits 30..31 where it lives:
//        0x80000000 inline (the data follows the header in the row)
//        0x40000000 one row on a long-value page
//        0          a chain of rows on long-value pages, each {next row pointer: 4, data}
//   4  row pointer (page * 256 + row) of the first long-value row; 0 when inline
//   8  uint32, unused
#pragma once

#include <span>
#include <vector>

#include "db/data_page.h"
#include "db/row_codec.h"

namespace db {

inline constexpr uint32_t kLongValueHeaderSize = 4 + 4 + 4;
inline constexpr uint32_t kLongValueInline = 0x80000000;
inline constexpr uint32_t kLongValueSingle = 0x40000000;
inline constexpr uint32_t kLongValueKindMask = 0xC0000000;
inline constexpr uint32_t kLongValueLengthMask = 0x3FFFFFFF;

// Collects the value whose header is `field`. `columnName` names the column in errors.
DbError readLongValue(const PageFile& file, std::span<const uint8_t> field,
                      const std::string& columnName, std::vector<uint8_t>* data);

// A Memo or OLE column's value from the bytes readLongValue collected.
Variant longValueFromBytes(const PageFile& file, const ColumnDef& column, std::vector<uint8_t>&& data);

// The value of a column as a row holds it, Memo and OLE read in full (a zero-length one, which
// has no header, is Null).
DbError decodeFieldValue(const PageFile& file, const ColumnDef& column, const RawField& raw,
                         Variant* out);

// Values of up to this many bytes stay in the row.
inline constexpr size_t kMaxInlineLongValue = 64;

class PageAllocator;

// Where one Memo or OLE column keeps its long values: the column's owned and free-space maps
// (a free map at page 0 means the column has none), and the long-value page it last wrote to.
struct LongValueTarget {
  RowPointer ownedMap;
  RowPointer freeMap;
  uint32_t currentPage = 0;
};

// Stores `data` and appends to `field` the bytes the row holds: the header with the data after
// it when `mayInline` and it is short, else the header pointing to one long-value row, or to a
// chain of rows when the data is longer than one row can be.
DbError writeLongValue(PageAllocator& allocator, LongValueTarget* target,
                       std::span<const uint8_t> data, bool mayInline, std::vector<uint8_t>* field);

}  // namespace db
