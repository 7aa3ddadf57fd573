// catalog.h -- the system object table MSysObjects, whose definition is always on page 2.
// A local table is a row with Type & 0x7F == 1 under the "Tables" container; its Id is the
// page of its table definition. System tables carry the flag bits 0x80000002.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db/table_def.h"

namespace db {

inline constexpr uint32_t kCatalogTdefPage = 2;
inline constexpr int32_t kTablesContainerId = 0x0F000001;
inline constexpr int32_t kDatabasesContainerId = 0x0F000002;
inline constexpr int32_t kRelationshipsContainerId = 0x0F000003;
inline constexpr int32_t kDatabaseObjectId = 0x10000000;  // MSysDb, owner of the database's properties
inline constexpr int32_t kRootParentId = 0x0F000000;
inline constexpr int kObjectTypeLocalTable = 1;
inline constexpr int kObjectTypeOdbcTable = 4;
inline constexpr int kObjectTypeLinkedTable = 6;
inline constexpr uint32_t kSystemObjectFlags = 0x80000002;

struct CatalogEntry {
  std::string name;
  int32_t id = 0;
  int32_t parentId = 0;
  int type = 0;        // Type & 0x7F
  uint32_t flags = 0;

  bool isLocalTable() const { return type == kObjectTypeLocalTable; }
  bool isLinkedTable() const { return type == kObjectTypeLinkedTable || type == kObjectTypeOdbcTable; }
  bool isSystem() const { return (flags & kSystemObjectFlags) != 0; }
  uint32_t tdefPage() const { return static_cast<uint32_t>(id) & 0x00FFFFFF; }
};

// A table of the user's own: listed without the system flags and defined as a user table
// (Access's own tables, MSysAccessStorage and the like, have only the flags to tell them).
bool isUserTable(const CatalogEntry& entry, const TableDef& def);

class Catalog {
 public:
  // Reads the catalogue. It must list the engine's own tables, MSysObjects on page 2 among
  // them: a catalogue without them has lost its rows and would read as a database with no
  // tables.
  static DbError load(const PageFile& file, Catalog* out);

  // Tables (local and linked) under the Tables container, in catalogue order.
  const std::vector<CatalogEntry>& tables() const { return tables_; }
  // Local tables that are not system tables, sorted by name in UTF-16 code-unit order.
  std::vector<CatalogEntry> userTables() const;
  // A table by name, without regard to letter case; NoSuchTable when absent.
  DbError findTable(std::string_view name, CatalogEntry* out) const;

 private:
  std::vector<CatalogEntry> tables_;
  std::unordered_map<std::string, size_t> byUpperName_;  // into tables_
};

// Finds a local table and reads its definition.
DbError openTableDef(const PageFile& file, const Catalog& catalog, std::string_view name,
                     TableDef* def);

}  // namespace db
