// compact.h -- a database rewritten whole into a new file: every table with its definition,
// properties, rows and indexes, the system catalogue and the access entries, and the
// autonumber counters as they stand. The copy has no free space, no deleted or moved rows,
// and indexes built in order with full pages.
#pragma once

#include <string>

#include "db/error.h"

namespace db {

// The copy has the source's version. `destination` must not exist; `source` is only read. On
// failure nothing is left at `destination`.
DbError compactDatabase(const std::string& source, const std::string& destination);

}  // namespace db
