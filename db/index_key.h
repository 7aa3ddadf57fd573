// index_key.h -- the key bytes of an index entry: one item per index column, in index-column
// order. Each item is a flag byte, then the value's bytes:
//   0x7F  ascending, value present      0x00  ascending, Null (nothing follows)
//   0x80  descending, value present     0xFF  descending, Null (nothing follows)
// The value bytes are built so that plain byte comparison orders the values; a descending
// column takes the ascending bytes inverted (with the exceptions index_key.cpp describes).
// Text follows the sort order of the column: Jet4 "General" (the order Access 2000-2003 call
// General, LCID 1033) for U+0000..U+00FF; Jet3 "General" for Windows-1252 databases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "db/table_def.h"
#include "db/value.h"

namespace db {

inline constexpr uint8_t kKeyAscending = 0x7F;
inline constexpr uint8_t kKeyAscendingNull = 0x00;
inline constexpr uint8_t kKeyDescending = 0x80;
inline constexpr uint8_t kKeyDescendingNull = 0xFF;
// Text keys cover at most this many characters; the rest of a longer value is not indexed.
inline constexpr size_t kMaxKeyTextCharacters = 255;

// Appends the flag byte and value bytes of `value` in `column` to `out`. `value` holds the
// Variant type that reading the column gives (Text and Memo: UTF-8 text); a Null Boolean
// counts as False, as Jet keeps no Null for Booleans. Fails with
//   TypeMismatch   when the value's type does not belong to the column's type;
//   NotSupported   for text the sort order has no code for (Jet4 characters above U+00FF,
//                  Jet3 characters outside the code page), text columns of another sort
//                  order or code page, and OLE columns. The description names the character
//                  or the column.
// Nothing is appended when it fails.
DbError encodeKeyColumn(const DatabaseHeader& header, const ColumnDef& column,
                        const Variant& value, bool ascending, std::vector<uint8_t>* out);

// The whole key of `index` for a row whose values are `values`, one per def.columns entry in
// the same order. An index column naming no column of `def` is CorruptDatabase.
DbError encodeIndexKey(const DatabaseHeader& header, const TableDef& def,
                       const RealIndexDef& index, const std::vector<Variant>& values,
                       std::vector<uint8_t>* key);

// False when the index keeps no entry for the row: an index flagged "ignore nulls" leaves out
// rows whose key columns are all Null. (Booleans are never Null here.)
bool indexHoldsRow(const TableDef& def, const RealIndexDef& index,
                   const std::vector<Variant>& values);

}  // namespace db
