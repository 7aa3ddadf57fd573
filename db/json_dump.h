// json_dump.h -- a database as JSON lines: one "database" line, then per user table (by name)
// a "table" line with its columns and indexes and one "row" line per row, in scan order.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "db/catalog.h"
#include "db/value.h"

namespace db {

// A JSON string literal: quotes, backslashes, control characters and U+0085, U+2028, U+2029
// escaped; everything else as UTF-8.
std::string jsonString(std::string_view utf8);

// The JSON form of one value: null, true/false, numbers, text, "bin:LEN:HEX" for up to 64
// bytes and "bin:LEN:sha256:HEX" above.
std::string jsonValue(const Variant& value);

// Writes the dump of every user table, or of `onlyTable` when it is not empty.
DbError dumpJson(const PageFile& file, const Catalog& catalog, std::string_view onlyTable,
                 std::ostream& out);

}  // namespace db
