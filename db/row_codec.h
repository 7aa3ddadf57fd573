// row_codec.h -- one row's bytes to its columns' raw values. Layout (offsets from the row
// start; `countSize` and `offsetSize` are 1 in Jet3, 2 in Jet4):
//   column count C    countSize bytes: columns when the row was written
//   fixed area        each fixed column at countSize + fixedOffset, present even when Null
//   variable data     values of the variable slots, back to back
//   EOD               offset of the first byte after the variable data
//   offsets           one per variable slot, slot 0 nearest the row end
//   (Jet3 only) jump  one byte per 256-byte boundary that the offsets cross
//   V                 variable slots when the row was written
//   null mask         ceil(C / 8) bytes at the very end: bit n = column number n present
// A table without variable columns has no EOD, offsets, jump table or V.
#pragma once

#include <span>
#include <vector>

#include "db/table_def.h"
#include "db/value.h"

namespace db {

struct RawField {
  bool present = false;              // the null-mask bit; a Boolean's value
  std::span<const uint8_t> bytes;    // fixed or variable bytes when present
};

// Splits `row` (the row's bytes on page `pageNo`) into one RawField per column of `def`,
// in the order of def.columns. Offsets outside the row are reported as corrupt.
DbError decodeRow(const PageFile& file, const TableDef& def, std::span<const uint8_t> row,
                  uint32_t pageNo, std::vector<RawField>* fields);

// The same in two steps, for a reader that wants some columns only: where a row's parts lie,
// checked as decodeRow checks them, and then any one column. The layout points into `row`.
struct RowLayout {
  std::span<const uint8_t> row;
  std::span<const uint8_t> mask;     // the null mask
  size_t countSize = 0;
  size_t columns = 0;                // C, columns when the row was written
  size_t varSlots = 0;               // V, variable slots when it was written
  size_t dataEnd = 0;
  std::vector<uint32_t> offsets;     // V + 1 variable-data offsets, the last EOD
};
// `fixedEnd` is fixedAreaEnd(def), which a reader of many rows works out once.
DbError readRowLayout(const PageFile& file, const TableDef& def, std::span<const uint8_t> row,
                      uint32_t pageNo, size_t fixedEnd, RowLayout* layout);
// Where the fixed area of the table's rows ends: the end of its furthest fixed column.
size_t fixedAreaEnd(const TableDef& def);
// Byte size of a fixed-length type, 0 for a variable-length one.
inline uint16_t fixedTypeSize(uint8_t typeCode) {
  switch (typeCode) {
    case 0x01: return 0;
    case 0x02: return 1;
    case 0x03: return 2;
    case 0x04: return 4;
    case 0x05: return 8;
    case 0x06: return 4;
    case 0x07: return 8;
    case 0x08: return 8;
    case 0x0F: return 16;
    case 0x10: return 17;
    default: return 0;
  }
}

// Column `column` (of the table the layout was read for) of a row whose layout was read.
inline RawField rowField(const RowLayout& layout, const ColumnDef& col) {
  RawField out;
  out.present = col.number < layout.columns &&
                (layout.mask[col.number / 8] & (1u << (col.number % 8)));
  if (!out.present || col.type() == ColumnType::Boolean) return out;
  if (col.isFixed()) {
    size_t size = fixedTypeSize(col.typeCode);
    if (size == 0) size = col.length;
    out.bytes = layout.row.subspan(layout.countSize + col.fixedOffset, size);
  } else if (col.varSlot >= layout.varSlots) {
    out.present = false;  // the column was added after the row was written
  } else {
    const uint32_t begin = layout.offsets[col.varSlot];
    out.bytes = layout.row.subspan(begin, layout.offsets[col.varSlot + 1] - begin);
  }
  return out;
}

// The value of a column that is not Memo or OLE (those need long_value.h).
DbError decodeScalar(const PageFile& file, const ColumnDef& column, const RawField& raw,
                     Variant* out);

// Longest row a page takes, long values kept elsewhere (Jet3 2012 bytes, Jet4 4060): the
// physical room less what Jet keeps free for itself.
size_t maxRowSize(const FormatDescriptor& format);

// One column's bytes as the row stores them, kept with the row's other fields end to end in
// one buffer: bytes[offset, offset + length). Memo and OLE carry their 12-byte long-value
// header (and inline data); Booleans only `present`, which is their value.
struct EncodedField {
  bool present = false;
  uint32_t offset = 0;
  uint32_t length = 0;
};

// Appends the stored bytes of a value already converted to the column's type (value_convert.h)
// to `bytes`, and says where they are in `field`; not for Memo and OLE, whose bytes
// long_value.h makes. Text is compressed where the column allows it and every character is
// U+0001..U+00FF (Jet4), or put in the database's code page (Jet3).
void encodeScalar(const DatabaseHeader& header, const ColumnDef& column, const Variant& value,
                  std::vector<uint8_t>* bytes, EncodedField* field);

// Whether encoding the value a present field holds gives back the very bytes it has, so that a
// copy may keep them: for Memo, the text as its long value stores it; not for OLE.
bool storedAsEncoded(const DatabaseHeader& header, const ColumnDef& column,
                     std::span<const uint8_t> bytes);

// Appends the text bytes a Memo value stores before it goes to long-value pages.
void encodeMemoText(const DatabaseHeader& header, const ColumnDef& column,
                    const std::string& text, std::vector<uint8_t>* bytes);

// The length of the row encodeRow would build (unpadded), and its refusal of one too large;
// Jet3 rows, whose jump table follows their length, are built in `scratch` to find out.
DbError measureRow(const FormatDescriptor& format, const TableDef& def,
                   const std::vector<EncodedField>& fields, std::span<const uint8_t> bytes,
                   size_t* length, std::vector<uint8_t>* scratch);

// Builds a row from one EncodedField per column of `def` (in def.columns order) over `bytes`.
// The row is padded with zero bytes after its fixed area up to `minLength`, so that it can
// replace a longer row in place. Fails with RecordTooLarge past maxRowSize.
DbError encodeRow(const FormatDescriptor& format, const TableDef& def,
                  const std::vector<EncodedField>& fields, std::span<const uint8_t> bytes,
                  size_t minLength, std::vector<uint8_t>* row);

}  // namespace db
