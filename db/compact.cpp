#include "db/compact.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <unordered_map>

#include "db/database_file.h"
#include "db/index_btree.h"

namespace db {
namespace {

// The four tables every new database has already; their rows are copied, not their
// definitions.
const char* const kEngineTables[] = {"MSysObjects", "MSysACEs", "MSysQueries", "MSysRelationships"};

bool isEngineTable(const std::string& name) {
  for (const char* t : kEngineTables) {
    if (name == t) return true;
  }
  return false;
}

// Every row of a table, all columns, in scan order.
DbError readAllRows(const PageFile& file, const TableDef& def, std::vector<std::vector<Variant>>* rows) {
  TableScan scan(file, def);
  DbError err = scan.rewind();
  for (bool found = true; err.ok();) {
    err = scan.next(&found);
    if (!err.ok() || !found) break;
    std::vector<Variant> row;
    err = readRowValues(file, def, scan, &row);
    if (err.ok()) rows->push_back(std::move(row));
  }
  return err;
}

// The source's definition as a fresh one: columns renumbered in order with no gaps, fixed
// columns packed, variable slots in column order, index columns renumbered to match.
TableDef freshDefinition(const TableDef& source) {
  TableDef def;
  def.name = source.name;
  def.tableType = source.tableType;
  def.lastAutonumber = source.lastAutonumber;
  std::map<uint16_t, uint16_t> numbers;
  uint16_t fixedOffset = 0, varSlot = 0;
  for (const ColumnDef& c : source.columns) {
    ColumnDef d = c;
    d.number = static_cast<uint16_t>(def.columns.size());
    numbers[c.number] = d.number;
    d.fixedOffset = 0;
    d.varSlot = 0;
    if (d.isFixed()) {
      if (d.typeCode != 0x01) {
        d.fixedOffset = fixedOffset;
        const uint16_t size = fixedTypeSize(d.typeCode) ? fixedTypeSize(d.typeCode) : d.length;
        fixedOffset = static_cast<uint16_t>(fixedOffset + size);
      }
    } else {
      d.varSlot = varSlot++;
    }
    def.columns.push_back(d);
  }
  def.maxColumns = static_cast<uint16_t>(def.columns.size());
  def.varColumns = varSlot;
  for (const RealIndexDef& r : source.realIndexes) {
    RealIndexDef d;
    d.flags = r.flags;
    for (const IndexColumn& ic : r.columns) d.columns.push_back({numbers[ic.columnNumber], ic.ascending});
    def.realIndexes.push_back(d);
  }
  def.indexes = source.indexes;
  return def;
}

class Compactor {
 public:
  Compactor(const PageFile& source, DatabaseFile& target) : src_(source), dst_(target) {}

  DbError run() {
    TableDef objectsDef;
    DbError err = readTableDef(src_, kCatalogTdefPage, "MSysObjects", &objectsDef);
    if (err.ok()) err = readAllRows(src_, objectsDef, &objectRows_);
    if (!err.ok()) return err;
    const int idCol = objectsDef.findColumn("Id");
    const int typeCol = objectsDef.findColumn("Type");
    const int nameCol = objectsDef.findColumn("Name");
    if (idCol < 0 || typeCol < 0 || nameCol < 0) {
      return src_.corrupt("the system object table lacks its Id, Type or Name column");
    }
    Catalog catalog;
    err = Catalog::load(src_, &catalog);
    if (!err.ok()) return err;

    // Definitions first, so that every table's new page is known before rows name it.
    for (const CatalogEntry& e : catalog.tables()) {
      if (!e.isLocalTable()) continue;
      TableDef source;
      err = readTableDef(src_, e.tdefPage(), e.name, &source);
      if (!err.ok()) return err;
      if (isEngineTable(e.name)) {
        std::shared_ptr<TableState> state;
        err = engineTable(e.name, &state);
        if (!err.ok()) return err;
        pages_[e.tdefPage()] = state->def.tdefPage;
        continue;
      }
      Copy copy{source, freshDefinition(source), e};
      err = dst_.allocator().allocate(Page(dst_.pages().pageSize(), 0), &copy.def.tdefPage);
      if (!err.ok()) return err;
      pages_[e.tdefPage()] = copy.def.tdefPage;
      copies_.push_back(std::move(copy));
    }
    for (Copy& copy : copies_) {
      for (IndexDef& li : copy.def.indexes) {
        auto it = pages_.find(li.relatedTablePage);
        li.relatedTablePage = it != pages_.end() ? it->second : 0;
      }
      err = dst_.addTableDefinition(&copy.def);
      if (!err.ok()) return err;
    }

    // The catalogue as the source has it, table ids moved to their new pages.
    err = copyRows("MSysObjects", objectsDef, objectRows_, [&](std::vector<Variant>& row) {
      if (row[typeCol].isNull() || row[idCol].isNull()) return;
      if ((row[typeCol].int32() & 0x7F) != kObjectTypeLocalTable) return;
      auto it = pages_.find(static_cast<uint32_t>(row[idCol].int32()) & 0x00FFFFFF);
      if (it != pages_.end()) row[idCol] = Variant(static_cast<int32_t>(it->second));
    });
    if (!err.ok()) return err;
    for (const char* name : {"MSysACEs", "MSysQueries", "MSysRelationships"}) {
      CatalogEntry e;
      if (!catalog.findTable(name, &e).ok()) continue;
      TableDef def;
      std::vector<std::vector<Variant>> rows;
      err = readTableDef(src_, e.tdefPage(), name, &def);
      if (err.ok()) err = readAllRows(src_, def, &rows);
      if (!err.ok()) return err;
      const int objectCol = def.findColumn("ObjectId");
      err = copyRows(name, def, rows, [&](std::vector<Variant>& row) {
        if (std::string(name) != "MSysACEs" || objectCol < 0 || row[objectCol].isNull()) return;
        auto it = pages_.find(static_cast<uint32_t>(row[objectCol].int32()));
        if (it != pages_.end()) row[objectCol] = Variant(static_cast<int32_t>(it->second));
      });
      if (!err.ok()) return err;
    }
    err = dst_.reloadCatalog();
    for (Copy& copy : copies_) {
      if (err.ok()) err = copyTable(copy);
    }
    return err;
  }

 private:
  struct Copy {
    TableDef source;
    TableDef def;
    CatalogEntry entry;
  };

  DbError engineTable(const std::string& name, std::shared_ptr<TableState>* out) {
    const uint32_t page = name == "MSysObjects" ? 2 : name == "MSysACEs" ? 3 : name == "MSysQueries" ? 4 : 5;
    return dst_.tableAtPage(page, name, out);
  }

  // Rows of an engine table, each through `adjust`, into the new file's table of that name,
  // matching columns by name.
  template <typename Adjust>
  DbError copyRows(const std::string& name, const TableDef& sourceDef,
                   const std::vector<std::vector<Variant>>& rows, Adjust adjust) {
    std::shared_ptr<TableState> target;
    DbError err = engineTable(name, &target);
    if (!err.ok()) return err;
    TableWriter writer(dst_.allocator(), *target);
    for (std::vector<Variant> row : rows) {
      adjust(row);
      std::vector<Variant> values(target->def.columns.size());
      for (size_t k = 0; k < target->def.columns.size(); ++k) {
        const int from = sourceDef.findColumn(target->def.columns[k].name);
        if (from >= 0) values[k] = row[from];
      }
      RowLocation where;
      err = writer.insertRow(values, std::vector<bool>(values.size(), true), &where);
      if (!err.ok()) return err;
    }
    return {};
  }

  // A table's rows in scan order, then its indexes from the source's own entries (so keys are
  // copied as the source has them), row pointers moved to the rows' new places.
  DbError copyTable(Copy& copy) {
    std::shared_ptr<TableState> target;
    DbError err = dst_.tableAtPage(copy.def.tdefPage, copy.def.name, &target);
    if (!err.ok()) return err;
    TableWriter writer(dst_.allocator(), *target);
    std::unordered_map<uint32_t, RowPointer> moved;
    TableScan scan(src_, copy.source);
    err = scan.rewind();
    uint32_t rows = 0;
    std::vector<Variant> values;
    for (bool found = true; err.ok();) {
      err = scan.next(&found);
      if (!err.ok() || !found) break;
      err = readRowValues(src_, copy.source, scan, &values);
      RowPointer to;
      if (err.ok()) err = writer.copyRow(values, &to);
      if (!err.ok()) break;
      const RowLocation from = scan.location();
      moved[RowPointer{from.page, static_cast<uint8_t>(from.slot)}.stored()] = to;
      ++rows;
    }
    if (!err.ok()) return err;
    TableDef& def = target->def;
    for (size_t i = 0; i < def.realIndexes.size(); ++i) {
      std::vector<IndexEntry> entries;
      err = scanIndex(src_, copy.source.realIndexes[i], &entries);
      if (!err.ok()) return err;
      for (IndexEntry& e : entries) {
        auto it = moved.find(e.row.stored());
        if (it == moved.end()) {
          return src_.corrupt("an index of table '" + def.name + "' names a row the table lacks");
        }
        e.row = it->second;
      }
      // Equal keys order by their row's new place.
      std::sort(entries.begin(), entries.end(), indexEntryLess);
      err = buildIndex(dst_.allocator(), def, &def.realIndexes[i], entries);
      if (!err.ok()) return err;
    }
    target->indexPages.pages.clear();
    def.rowCount = rows;
    def.lastAutonumber = copy.source.lastAutonumber;
    return writeTableCounts(dst_.pages(), def);
  }

  const PageFile& src_;
  DatabaseFile& dst_;
  std::vector<std::vector<Variant>> objectRows_;
  std::map<uint32_t, uint32_t> pages_;  // source tdef page -> new tdef page
  std::vector<Copy> copies_;
};

}  // namespace

DbError compactDatabase(const std::string& source, const std::string& destination) {
  struct stat st{};
  if (::stat(destination.c_str(), &st) == 0) {
    return makeError(DbErrorNumber::FileExists,
                     "Cannot compact into '" + destination + "': the file already exists.");
  }
  // The source is read from the disk: what this process has changed in it goes there first.
  DbError err = DatabaseFile::flushOpen(source);
  if (!err.ok()) return err;
  std::unique_ptr<PageFile> src;
  err = PageFile::open(source, &src, false);
  if (!err.ok()) return err;
  {
    std::shared_ptr<DatabaseFile> dst;
    err = DatabaseFile::create(destination, src->format(), &dst, src->header().creationDate, false);
    if (err.ok()) err = Compactor(*src, *dst).run();
    if (err.ok()) err = dst->reloadCatalog();
    if (err.ok()) err = dst->flush();
  }
  if (!err.ok() && err.number != static_cast<int>(DbErrorNumber::FileExists)) {
    ::unlink(destination.c_str());
  }
  return err;
}

}  // namespace db
