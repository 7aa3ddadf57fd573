#include "db/database_file.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>

#include "db/blank_database.h"
#include "db/bytes.h"
#include "db/file_io.h"
#include "db/index_btree.h"
#include "db/column_properties.h"
#include "db/text_codec.h"

namespace db {
namespace {

// Files open in this process, by device and inode.
std::map<std::pair<uint64_t, uint64_t>, std::weak_ptr<DatabaseFile>>& openFiles() {
  static std::map<std::pair<uint64_t, uint64_t>, std::weak_ptr<DatabaseFile>> files;
  return files;
}

// Column flag bits seen on system tables: 0x10 on all their columns, 0x20 on the security
// identifier columns (MSysObjects.Owner, MSysACEs.SID).
constexpr uint8_t kColumnSystem = 0x10;
constexpr uint8_t kColumnSecurityId = 0x20;
constexpr uint8_t kIndexTypeNormal = 0;
constexpr uint32_t kMaxNameLength = 64;
constexpr uint32_t kFullAccess = 0x000FFFFF;

bool validName(const std::string& name) {
  if (name.empty() || utf16Length(name) > kMaxNameLength || name[0] == ' ') return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == '.' || c == '!' || c == '`' || c == '[' || c == ']') return false;
  }
  return true;
}

DbError invalid(const std::string& what) {
  return makeError(DbErrorNumber::InvalidArgument, what);
}

// A column's name is valid and not that of an earlier column.
DbError checkColumnName(const TableSchema& schema, size_t i) {
  const ColumnDesign& given = schema.columns[i];
  if (!validName(given.name)) return invalid("'" + given.name + "' is not a valid column name.");
  for (size_t j = 0; j < i; ++j) {
    if (equalsIgnoreCase(schema.columns[j].name, given.name)) {
      return invalid("The column name '" + given.name + "' is used twice in '" + schema.name + "'.");
    }
  }
  return {};
}

// Bytes a column takes in a row: text is counted in characters, two bytes each in Jet4; Memo
// and OLE columns keep only a reference in the row.
DbError columnLength(const ColumnDesign& given, bool jet4, uint16_t fixedSize, uint16_t* length) {
  switch (given.type) {
    case ColumnType::Text:
      if (given.size < 1 || given.size > 255) {
        return invalid("The text column '" + given.name + "' must hold 1 to 255 characters.");
      }
      *length = static_cast<uint16_t>(jet4 ? 2 * given.size : given.size);
      break;
    case ColumnType::Binary:
      if (given.size < 1 || given.size > 510) {
        return invalid("The binary column '" + given.name + "' must hold 1 to 510 bytes.");
      }
      *length = given.size;
      break;
    case ColumnType::Memo:
    case ColumnType::OLE:
      *length = 0;
      break;
    case ColumnType::Boolean:
      *length = 1;
      break;
    default:
      *length = fixedSize;
  }
  return {};
}

// Column `number` of a new table, all but its place in the row.
DbError columnDefOf(const DatabaseHeader& header, const ColumnDesign& given, uint16_t number,
                    ColumnDef* out) {
  const bool jet4 = header.format->textEncoding == TextEncoding::Utf16Le;
  ColumnDef c;
  c.name = given.name;
  c.typeCode = static_cast<uint8_t>(given.type);
  if (std::string(columnTypeName(c.typeCode)) == "Unknown") {
    return invalid("The column '" + given.name + "' has an unknown type.");
  }
  c.number = number;
  c.sortOrder = header.sortOrder ? header.sortOrder : 1033;
  if (!jet4) c.codePage = header.codePage;
  c.flags = kColumnUpdatable;
  DbError err = columnLength(given, jet4, fixedTypeSize(c.typeCode), &c.length);
  if (!err.ok()) return err;
  if (given.autoNumber) {
    if (given.type != ColumnType::Long) {
      return invalid("Only a Long column can be an autonumber; '" + given.name + "' is not.");
    }
    c.flags |= kColumnAutoLong;
  }
  if (given.type == ColumnType::Decimal) {
    if (!jet4) return invalid("Decimal columns need a Jet4 database.");
    if (given.precision < 1 || given.precision > 28 || given.scale > given.precision) {
      return invalid("The decimal column '" + given.name + "' has an invalid precision or scale.");
    }
    c.precision = given.precision;
    c.scale = given.scale;
  }
  if (jet4 && given.unicodeCompression &&
      (given.type == ColumnType::Text || given.type == ColumnType::Memo)) {
    c.extFlags |= kColumnExtCompressedUnicode;
  }
  *out = std::move(c);
  return {};
}

DbError addColumns(const DatabaseHeader& header, const TableSchema& schema, bool system,
                   TableDef* def) {
  uint16_t fixedOffset = 0;
  uint16_t varSlot = 0;
  for (size_t i = 0; i < schema.columns.size(); ++i) {
    const ColumnDesign& given = schema.columns[i];
    DbError err = checkColumnName(schema, i);
    if (!err.ok()) return err;
    ColumnDef c;
    err = columnDefOf(header, given, static_cast<uint16_t>(i), &c);
    if (!err.ok()) return err;
    const uint16_t fixedSize = fixedTypeSize(c.typeCode);
    if (given.type == ColumnType::Boolean || fixedSize > 0) {
      c.flags |= kColumnFixed;
      if (given.type != ColumnType::Boolean) {
        c.fixedOffset = fixedOffset;
        fixedOffset = static_cast<uint16_t>(fixedOffset + fixedSize);
      }
    } else {
      c.varSlot = varSlot++;
    }
    if (system) c.flags |= kColumnSystem;
    def->columns.push_back(c);
  }
  def->maxColumns = static_cast<uint16_t>(def->columns.size());
  def->varColumns = varSlot;
  return {};
}

// An index's name is valid, not that of an earlier index, and names 1 to 10 columns; a table
// has one primary key at most.
DbError checkIndex(const TableSchema& schema, size_t i, bool* primarySeen) {
  const IndexDesign& given = schema.indexes[i];
  if (!validName(given.name) || given.columns.empty() || given.columns.size() > 10) {
    return invalid("The index '" + given.name + "' of '" + schema.name + "' is not valid.");
  }
  for (size_t j = 0; j < i; ++j) {
    if (equalsIgnoreCase(schema.indexes[j].name, given.name)) {
      return invalid("The index name '" + given.name + "' is used twice in '" + schema.name + "'.");
    }
  }
  if (given.primaryKey && *primarySeen) {
    return invalid("The table '" + schema.name + "' has more than one primary key.");
  }
  *primarySeen = *primarySeen || given.primaryKey;
  return {};
}

// The real index of an index, over columns of `def`, which cannot be Memo or OLE columns. A
// user table's primary key is Required; the engine's own system tables say so themselves.
DbError realIndexOf(const TableSchema& schema, const IndexDesign& given, const TableDef& def,
                    bool system, bool jet4, RealIndexDef* out) {
  RealIndexDef real;
  for (const IndexColumnDesign& ic : given.columns) {
    const int k = def.findColumn(ic.column);
    if (k < 0) {
      return invalid("The index '" + given.name + "' names '" + ic.column +
                     "', which is not a column of '" + schema.name + "'.");
    }
    const uint8_t t = def.columns[k].typeCode;
    if (t == 0x0B || t == 0x0C) {
      return invalid("The Memo or OLE column '" + ic.column + "' cannot be indexed.");
    }
    real.columns.push_back({def.columns[k].number, ic.ascending});
  }
  real.flags = 0;
  if (given.unique || given.primaryKey) real.flags |= kIndexUnique;
  if (given.ignoreNulls) real.flags |= kIndexIgnoreNulls;
  if (given.required || (given.primaryKey && !system)) real.flags |= kIndexRequired;
  if (jet4) real.flags |= kIndexJet4Marker;
  *out = std::move(real);
  return {};
}

DbError addIndexes(const TableSchema& schema, bool system, bool jet4, TableDef* def) {
  bool primarySeen = false;
  for (size_t i = 0; i < schema.indexes.size(); ++i) {
    const IndexDesign& given = schema.indexes[i];
    DbError err = checkIndex(schema, i, &primarySeen);
    if (!err.ok()) return err;
    RealIndexDef real;
    err = realIndexOf(schema, given, *def, system, jet4, &real);
    if (!err.ok()) return err;
    IndexDef logical;
    logical.name = given.name;
    logical.number = static_cast<uint32_t>(i);
    logical.realIndex = static_cast<uint32_t>(i);
    logical.type = given.primaryKey ? kIndexTypePrimary : kIndexTypeNormal;
    def->realIndexes.push_back(real);
    def->indexes.push_back(logical);
  }
  return {};
}
}  // namespace

DbError buildTableDef(const DatabaseHeader& header, const TableSchema& schema, bool system,
                      TableDef* out) {
  const bool jet4 = header.format->textEncoding == TextEncoding::Utf16Le;
  TableDef def;
  def.name = schema.name;
  def.tableType = system ? kTableTypeSystem : kTableTypeUser;
  if (!validName(schema.name)) return invalid("'" + schema.name + "' is not a valid table name.");
  if (schema.columns.empty() || schema.columns.size() > 255) {
    return invalid("A table has 1 to 255 columns; '" + schema.name + "' has " +
                   std::to_string(schema.columns.size()) + ".");
  }
  DbError err = addColumns(header, schema, system, &def);
  if (err.ok()) err = addIndexes(schema, system, jet4, &def);
  if (!err.ok()) return err;
  if (system) {
    for (ColumnDef& c : def.columns) {
      if (c.name == "Owner" || c.name == "SID") c.flags |= kColumnSecurityId;
    }
  }
  *out = std::move(def);
  return {};
}

double jetNow() {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  const double localSecs = static_cast<double>(secs + io::utcOffset(secs)) + (ms % 1000) / 1000.0;
  return 25569.0 + localSecs / 86400.0;
}

DbError DatabaseFile::open(const std::string& path, std::shared_ptr<DatabaseFile>* out) {
  io::FileInfo st;
  if (io::pathInfo(path, &st) == 0) {
    auto key = std::make_pair(st.device, st.inode);
    auto it = openFiles().find(key);
    if (it != openFiles().end()) {
      if (auto existing = it->second.lock()) {
        *out = existing;
        return {};
      }
    }
  }
  std::unique_ptr<PageFile> file;
  DbError err = PageFile::open(path, &file);
  if (!err.ok()) return err;
  std::shared_ptr<DatabaseFile> db(new DatabaseFile(std::move(file)));
  err = Catalog::load(*db->file_, &db->catalog_);
  if (!err.ok()) return err;
  registerOpen(db);
  *out = db;
  return {};
}

void DatabaseFile::registerOpen(const std::shared_ptr<DatabaseFile>& db) {
  openFiles()[{db->file_->device(), db->file_->inode()}] = db;
}

DbError DatabaseFile::tableAt(const CatalogEntry& entry, std::shared_ptr<TableState>* out) {
  auto it = tables_.find(entry.tdefPage());
  if (it != tables_.end()) {
    *out = it->second;
    return {};
  }
  auto state = std::make_shared<TableState>();
  DbError err = readTableDef(*file_, entry.tdefPage(), entry.name, &state->def);
  if (!err.ok()) return err;
  state->objectId = entry.id;
  state->userTable = isUserTable(entry, state->def);
  state->rules.assign(state->def.columns.size(), ColumnRules{});
  err = loadColumnRules(*file_, entry.id, state->def, &state->rules);
  if (!err.ok()) return err;
  prepareLongValueTargets(state.get());
  tables_[entry.tdefPage()] = state;
  *out = state;
  return {};
}

DbError DatabaseFile::table(std::string_view name, std::shared_ptr<TableState>* out) {
  CatalogEntry entry;
  DbError err = catalog_.findTable(name, &entry);
  if (!err.ok()) return err;
  if (!entry.isLocalTable()) {
    return makeError(DbErrorNumber::NotSupported,
                     "The table '" + entry.name + "' is linked to another database.");
  }
  return tableAt(entry, out);
}

DbError DatabaseFile::writeTables() {
  for (auto& [page, table] : tables_) {
    DbError err = writeDeferredIndexes(allocator_, *table);
    if (!err.ok()) return err;
  }
  return {};
}

DbError DatabaseFile::flush() {
  DbError err = writeTables();
  if (!err.ok()) return err;
  return file_->flush();
}

void DatabaseFile::discard() {
  for (auto& [page, table] : tables_) table->deferred.reset();
  file_->discardChanges();
}

DatabaseFile::~DatabaseFile() {
  // Nothing may leave a destructor; a caller that must know the outcome has flushed already.
  try {
    flush();
  } catch (...) {
  }
}

DbError DatabaseFile::flushOpen(const std::string& path, bool* isOpen) {
  if (isOpen) *isOpen = false;
  io::FileInfo st;
  if (io::pathInfo(path, &st) != 0) return {};
  auto it = openFiles().find({st.device, st.inode});
  if (it == openFiles().end()) return {};
  const std::shared_ptr<DatabaseFile> open = it->second.lock();
  if (isOpen) *isOpen = open != nullptr;
  return open ? open->flush() : DbError{};
}

DbError DatabaseFile::reloadCatalog() {
  DbError err = writeTables();
  if (!err.ok()) return err;
  tables_.clear();
  return Catalog::load(*file_, &catalog_);
}

DbError DatabaseFile::tableAtPage(uint32_t tdefPage, const std::string& name,
                                  std::shared_ptr<TableState>* out) {
  CatalogEntry entry;
  entry.name = name;
  entry.id = static_cast<int32_t>(tdefPage);
  entry.type = kObjectTypeLocalTable;
  return tableAt(entry, out);
}

DbError DatabaseFile::addTableDefinition(TableDef* def) {
  const FormatDescriptor& f = file_->format();
  const uint32_t tdefPage = def->tdefPage;
  def->tdefPages = {tdefPage};
  def->longValueMaps.clear();
  DbError err;
  // The table's usage maps: owned and free pages, one map per index, and an owned and a free
  // map per Memo/OLE column.
  const uint32_t firstPage = file_->pageCount() / 8 * 8;
  std::vector<std::vector<uint8_t>> rows = {emptyInlineMap(f, firstPage),
                                            emptyInlineMap(f, firstPage)};
  // The index roots come first: their maps name them.
  for (RealIndexDef& ri : def->realIndexes) {
    err = allocator_.allocate(emptyIndexRoot(f, tdefPage), &ri.rootPage);
    if (!err.ok()) return err;
    std::vector<uint8_t> map = emptyInlineMap(f, ri.rootPage / 8 * 8);
    map[kMapInlineHeaderSize] |= static_cast<uint8_t>(1u << (ri.rootPage % 8));
    rows.push_back(map);
  }
  for (const ColumnDef& c : def->columns) {
    if (!isLongValueType(c.typeCode)) continue;
    rows.push_back(emptyInlineMap(f, firstPage));
    rows.push_back(emptyInlineMap(f, firstPage));
  }
  // The maps go on the page that took the last table's maps while they fit there, as Jet
  // keeps the maps of several tables on one page, and on new pages when they do not (Jet3's
  // maps are twice as long on pages half as big).
  std::vector<RowPointer> placed(rows.size());
  Page mapPage;
  bool haveMapPage = mapPage_ != 0 && file_->readPage(mapPage_, &mapPage).ok() &&
                     mapPage[0] == kPageData && readU32(mapPage, kDataOwnerOffset) == 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    uint16_t slot = 0;
    if (haveMapPage && appendRow(f, &mapPage, rows[i], &slot)) {
      placed[i] = {mapPage_, static_cast<uint8_t>(slot)};
      continue;
    }
    if (haveMapPage) {
      err = file_->writePage(mapPage_, mapPage);
      if (!err.ok()) return err;
    }
    mapPage = emptyDataPage(f, 0);
    err = allocator_.allocate(mapPage, &mapPage_);
    if (!err.ok()) return err;
    haveMapPage = true;
    if (!appendRow(f, &mapPage, rows[i], &slot)) {
      return invalid("A usage map of table '" + def->name + "' does not fit a page.");
    }
    placed[i] = {mapPage_, static_cast<uint8_t>(slot)};
  }
  err = file_->writePage(mapPage_, mapPage);
  if (!err.ok()) return err;
  size_t next = 0;
  def->ownedMap = placed[next++];
  def->freeMap = placed[next++];
  for (RealIndexDef& ri : def->realIndexes) ri.usageMap = placed[next++];
  for (const ColumnDef& c : def->columns) {
    if (!isLongValueType(c.typeCode)) continue;
    LongValueMaps lv;
    lv.columnNumber = c.number;
    lv.owned = placed[next++];
    lv.free = placed[next++];
    def->longValueMaps.push_back(lv);
  }
  return writeTableDef(allocator_, def);
}

DbError DatabaseFile::createTable(const TableSchema& schema) {
  CatalogEntry existing;
  if (catalog_.findTable(schema.name, &existing).ok()) {
    return makeError(DbErrorNumber::TableExists, "The table '" + schema.name + "' already exists.");
  }
  // Everything that can be refused is checked before the first page is written.
  TableDef probe;
  DbError err = buildTableDef(file_->header(), schema, false, &probe);
  if (!err.ok()) return err;
  std::vector<uint8_t> properties;
  err = encodeColumnProperties(file_->header(), schema, &properties);
  if (!err.ok()) return err;
  uint32_t tdefPage = 0;
  err = allocator_.allocate(Page(file_->pageSize(), 0), &tdefPage);
  if (!err.ok()) return err;
  TableDef def = probe;
  def.tdefPage = tdefPage;
  err = addTableDefinition(&def);
  if (!err.ok()) return err;
  err = insertCatalogRows(def, properties);
  if (!err.ok()) return err;
  err = Catalog::load(*file_, &catalog_);
  if (!err.ok()) return err;
  // The new table's state comes from what was written, rules included.
  CatalogEntry entry;
  err = catalog_.findTable(schema.name, &entry);
  if (!err.ok()) return err;
  std::shared_ptr<TableState> state;
  return tableAt(entry, &state);
}

DbError DatabaseFile::insertCatalogRows(const TableDef& def,
                                        const std::vector<uint8_t>& properties) {
  std::shared_ptr<TableState> objects, aces;
  DbError err = table("MSysObjects", &objects);
  if (err.ok()) err = table("MSysACEs", &aces);
  if (!err.ok()) return err;
  // The new table belongs to the owner of the database object; every group with rights on
  // the Tables container gets full rights on it.
  Variant owner;
  std::vector<Variant> containerSids;
  {
    TableScan scan(*file_, objects->def);
    err = scan.rewind();
    const int idCol = objects->def.findColumn("Id");
    const int ownerCol = objects->def.findColumn("Owner");
    for (bool found = true; err.ok();) {
      err = scan.next(&found);
      if (!err.ok() || !found) break;
      Variant id;
      err = scan.value(idCol, &id);
      if (err.ok() && id.type() == VariantType::Long && id.asLong() == kDatabaseObjectId) {
        err = scan.value(ownerCol, &owner);
      }
    }
    if (!err.ok()) return err;
    TableScan aceScan(*file_, aces->def);
    err = aceScan.rewind();
    const int objCol = aces->def.findColumn("ObjectId");
    const int sidCol = aces->def.findColumn("SID");
    for (bool found = true; err.ok();) {
      err = aceScan.next(&found);
      if (!err.ok() || !found) break;
      Variant id, sid;
      err = aceScan.value(objCol, &id);
      if (err.ok()) err = aceScan.value(sidCol, &sid);
      if (err.ok() && id.type() == VariantType::Long && id.asLong() == kTablesContainerId &&
          std::find(containerSids.begin(), containerSids.end(), sid) == containerSids.end()) {
        containerSids.push_back(sid);
      }
    }
    if (!err.ok()) return err;
  }
  const double now = stampDate_ != 0 ? stampDate_ : jetNow();
  std::vector<Variant> row(objects->def.columns.size());
  ColumnFlags given(row.size(), true);
  auto set = [&](const char* name, Variant v) { row[objects->def.findColumn(name)] = std::move(v); };
  set("Id", Variant(static_cast<int32_t>(def.tdefPage)));
  set("ParentId", Variant(kTablesContainerId));
  set("Name", Variant(def.name));
  set("Type", Variant(static_cast<int16_t>(kObjectTypeLocalTable)));
  set("DateCreate", Variant(DateValue{now}));
  set("DateUpdate", Variant(DateValue{now}));
  set("Owner", owner);
  set("Flags", Variant(int32_t{0}));
  if (!properties.empty()) set("LvProp", Variant(properties));
  RowLocation where;
  TableWriter objectsWriter(allocator_, *objects);
  err = objectsWriter.insertRow(row, given, &where);
  if (!err.ok()) return err;
  TableWriter acesWriter(allocator_, *aces);
  for (const Variant& sid : containerSids) {
    std::vector<Variant> ace(aces->def.columns.size());
    ace[aces->def.findColumn("ObjectId")] = Variant(static_cast<int32_t>(def.tdefPage));
    ace[aces->def.findColumn("SID")] = sid;
    ace[aces->def.findColumn("ACM")] = Variant(static_cast<int32_t>(kFullAccess));
    ace[aces->def.findColumn("FInheritable")] = Variant(false);
    err = acesWriter.insertRow(ace, ColumnFlags(ace.size(), true), &where);
    if (!err.ok()) return err;
  }
  return {};
}

}  // namespace db
