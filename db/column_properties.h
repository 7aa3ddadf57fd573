// column_properties.h -- the column properties Jet enforces (Required, AllowZeroLength,
// DefaultValue) and a column's Description, as a table's property blob holds them.
#pragma once

#include <vector>

#include "db/properties.h"
#include "db/schema.h"
#include "db/table_writer.h"

namespace db {

// The rules of each column of `def` (one per def.columns entry) from the properties of the
// catalogue object `objectId`. Absent properties mean what Jet takes them to mean: not
// required, no zero-length text, no default. A DefaultValue that is not a literal (a number,
// a quoted text, True/False/Yes/No) sets no default.
DbError loadColumnRules(const PageFile& file, int32_t objectId, const TableDef& def,
                        std::vector<ColumnRules>* rules);

// The property blob of a new table: for each column Required when set, AllowZeroLength for
// Text and Memo, DefaultValue when given, Description when not empty. Empty when no column
// has any of them. A property that cannot be stored (a description too long for its length
// field) fails the whole table rather than leaving its rules out.
DbError encodeColumnProperties(const DatabaseHeader& header, const TableSchema& schema,
                               std::vector<uint8_t>* blob);

// A literal default as the DefaultValue property writes it ("0", "\"text\"", "True"), and back.
std::string defaultValueExpression(const Variant& value);
bool parseDefaultValueExpression(const std::string& expression, Variant* value);

}  // namespace db
