#include "db/catalog.h"

#include <algorithm>
#include <unordered_set>

#include "db/table_scan.h"
#include "db/text_codec.h"

namespace db {
namespace {

// Reads a column of the catalogue row as an integer, 0 when Null or absent.
int64_t integerAt(const std::vector<Variant>& row, int index) {
  if (index < 0 || row[index].isNull()) return 0;
  int32_t v = 0;
  if (!row[index].toInt32(&v).ok()) return 0;
  return v;
}

}  // namespace

DbError Catalog::load(const PageFile& file, Catalog* out) {
  TableDef def;
  DbError err = readTableDef(file, kCatalogTdefPage, "MSysObjects", &def);
  if (!err.ok()) return err;
  const int idCol = def.findColumn("Id");
  const int parentCol = def.findColumn("ParentId");
  const int nameCol = def.findColumn("Name");
  const int typeCol = def.findColumn("Type");
  const int flagsCol = def.findColumn("Flags");
  if (idCol < 0 || parentCol < 0 || nameCol < 0 || typeCol < 0) {
    return file.corrupt("the system object table lacks its Id, ParentId, Name or Type column");
  }
  TableScan scan(file, def);
  err = scan.rewind();
  if (!err.ok()) return err;
  std::vector<CatalogEntry> all;
  std::vector<Variant> row(def.columns.size());
  for (bool found = true;;) {
    err = scan.next(&found);
    if (!err.ok()) return err;
    if (!found) break;
    // Only the small columns: the long-value ones hold properties and are not needed here.
    for (int c : {idCol, parentCol, nameCol, typeCol, flagsCol}) {
      if (c < 0) continue;
      err = scan.value(static_cast<size_t>(c), &row[c]);
      if (!err.ok()) return err;
    }
    CatalogEntry e;
    e.id = static_cast<int32_t>(integerAt(row, idCol));
    e.parentId = static_cast<int32_t>(integerAt(row, parentCol));
    e.type = static_cast<int>(integerAt(row, typeCol) & 0x7F);
    e.flags = static_cast<uint32_t>(integerAt(row, flagsCol));
    if (row[nameCol].type() == VariantType::Text) e.name = row[nameCol].asText();
    all.push_back(std::move(e));
  }
  int32_t tablesId = kTablesContainerId;
  for (const CatalogEntry& e : all) {
    if (e.parentId == kRootParentId && e.name == "Tables") tablesId = e.id;
  }
  Catalog c;
  std::unordered_set<uint32_t> pages;
  for (CatalogEntry& e : all) {
    if (e.parentId != tablesId || !(e.isLocalTable() || e.isLinkedTable())) continue;
    // A second entry for the same definition or the same name is damage; the first counts.
    if (e.isLocalTable() && !pages.insert(e.tdefPage()).second) continue;
    if (!c.byUpperName_.emplace(upperCase(e.name), c.tables_.size()).second) continue;
    c.tables_.push_back(std::move(e));
  }
  for (const char* name : {"MSysObjects", "MSysACEs", "MSysQueries", "MSysRelationships"}) {
    CatalogEntry e;
    if (!c.findTable(name, &e).ok() || !e.isLocalTable() ||
        (name == std::string_view("MSysObjects") && e.tdefPage() != kCatalogTdefPage)) {
      return file.corrupt("the catalogue (MSysObjects, page " + std::to_string(kCatalogTdefPage) +
                          ") lacks the row of the system table " + name);
    }
  }
  *out = std::move(c);
  return {};
}

bool isUserTable(const CatalogEntry& entry, const TableDef& def) {
  return entry.isLocalTable() && !entry.isSystem() && def.tableType == kTableTypeUser;
}

std::vector<CatalogEntry> Catalog::userTables() const {
  std::vector<CatalogEntry> out;
  for (const CatalogEntry& e : tables_) {
    if (e.isLocalTable() && !e.isSystem()) out.push_back(e);
  }
  std::sort(out.begin(), out.end(), [](const CatalogEntry& a, const CatalogEntry& b) {
    return utf8ToUtf16(a.name) < utf8ToUtf16(b.name);
  });
  return out;
}

DbError Catalog::findTable(std::string_view name, CatalogEntry* out) const {
  auto it = byUpperName_.find(upperCase(name));
  if (it != byUpperName_.end()) {
    *out = tables_[it->second];
    return {};
  }
  return makeError(DbErrorNumber::NoSuchTable,
                   "The table '" + std::string(name) + "' does not exist in the database.");
}

DbError openTableDef(const PageFile& file, const Catalog& catalog, std::string_view name,
                     TableDef* def) {
  CatalogEntry entry;
  DbError err = catalog.findTable(name, &entry);
  if (!err.ok()) return err;
  if (!entry.isLocalTable()) {
    return makeError(DbErrorNumber::NotSupported,
                     "The table '" + entry.name + "' is linked to another database; only tables "
                     "stored in the file can be read.");
  }
  return readTableDef(file, entry.tdefPage(), entry.name, def);
}

}  // namespace db
