// value_convert.h -- a value given for a column, turned into the column's own type the way Jet
// converts on assignment: numbers between widths (rounding half to even), numeric text to
// numbers, Booleans to and from numbers (True is -1), anything to text. What cannot be
// converted fails with ConversionFailed, a number out of range with NumericOverflow, text
// longer than the column with FieldTooSmall. `out` is written only on success.
#pragma once

#include "db/table_def.h"
#include "db/value.h"

namespace db {

DbError convertForColumn(const DatabaseHeader& header, const ColumnDef& column, const Variant& in,
                         Variant* out);
// The same, taking `in` over as it is where it already has the column's type and fits.
DbError convertForColumn(const DatabaseHeader& header, const ColumnDef& column, Variant&& in,
                         Variant* out);

// The length Jet counts for a text value in this column: UTF-16 units in Jet4, code-page bytes
// in Jet3.
size_t storedTextLength(const DatabaseHeader& header, const std::string& text);

}  // namespace db
