// blank_database.h -- inside the engine only: what database_file.cpp, which keeps the open
// files and adds tables to them, shares with blank_database.cpp, which writes the system tables
// of a new database as the Jet engine writes them.
#pragma once

#include <cstdint>

#include "db/database_file.h"

namespace db {

// Set on every real index Jet4 writes.
inline constexpr uint8_t kIndexJet4Marker = 0x80;

// The definition of a new table, before it has pages: column numbers in order, fixed columns
// laid out one after another (Yes/No columns take no room), variable columns given slots in
// column order, one real index per index. A system table's columns carry the flags the engine
// gives its own.
DbError buildTableDef(const DatabaseHeader& header, const TableSchema& schema, bool system,
                      TableDef* out);

}  // namespace db
