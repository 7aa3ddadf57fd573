#include "db/database_file.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>

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
// Set on every real index Jet4 writes.
constexpr uint8_t kIndexJet4Marker = 0x80;
constexpr uint8_t kIndexTypeNormal = 0;
constexpr int kObjectTypeDatabase = 2;
constexpr int kObjectTypeContainer = 3;
constexpr uint32_t kMaxNameLength = 64;
constexpr uint32_t kFullAccess = 0x000FFFFF;

// Security identifiers of a database the Jet engine creates: the owner of the containers and
// system tables, the owner of the database object, and two groups. These are the values the
// engine itself wrote into its blank databases, which differ between the two versions.
struct EngineSids {
  std::vector<uint8_t> objectsOwner, databaseOwner, groupA, groupB;
};

const EngineSids& engineSids(const FormatDescriptor& format) {
  static const EngineSids jet3{{0x02, 0x03}, {0x03, 0x01}, {0x02, 0x04}, {0x02, 0x01}};
  static const EngineSids jet4{{0x06, 0xEA}, {0x07, 0xE8}, {0x06, 0xED}, {0x06, 0xE8}};
  return format.textEncoding == TextEncoding::CodePage ? jet3 : jet4;
}

enum class Sid { DatabaseOwner, GroupA, GroupB };

struct AceRow {
  int32_t objectId;
  Sid sid;
  int32_t mask;
  bool inheritable;
};

// The access entries of a new database, in the order the engine writes them. Jet3 gives the
// database owner inheritable rights on the Tables container where Jet4 gives it fewer.
std::vector<AceRow> blankDatabaseAces(const FormatDescriptor& format) {
  const bool jet3 = format.textEncoding == TextEncoding::CodePage;
  return {
      {2, Sid::DatabaseOwner, 393216, false},
      {3, Sid::DatabaseOwner, 393216, false},
      {4, Sid::DatabaseOwner, 393216, false},
      {5, Sid::DatabaseOwner, 917504, false},
      {kTablesContainerId, Sid::GroupA, 983294, true},
      {kTablesContainerId, Sid::DatabaseOwner, jet3 ? 1048319 : 393217, jet3},
      {kRelationshipsContainerId, Sid::GroupA, 983294, true},
      {kRelationshipsContainerId, Sid::DatabaseOwner, 393217, false},
      {kDatabasesContainerId, Sid::DatabaseOwner, 393216, false},
      {kDatabaseObjectId, Sid::DatabaseOwner, 393230, false},
      {kDatabaseObjectId, Sid::GroupB, 14, false},
      {4, Sid::GroupB, 20, false},
      {5, Sid::GroupB, 20, false},
      {2, Sid::GroupB, 20, false},
      {kTablesContainerId, Sid::GroupB, 1048319, true},
      {kRelationshipsContainerId, Sid::GroupB, 1048575, true},
  };
}

ColumnDesign col(const char* name, ColumnType type, uint16_t size = 0) {
  ColumnDesign c;
  c.name = name;
  c.type = type;
  c.size = size;
  c.allowZeroLength = true;
  c.unicodeCompression = false;
  return c;
}

IndexDesign index(const char* name, std::vector<const char*> columns, bool primary, bool unique,
                bool ignoreNulls, bool required) {
  IndexDesign ix;
  ix.name = name;
  for (const char* c : columns) ix.columns.push_back({c, true});
  ix.primaryKey = primary;
  ix.unique = unique;
  ix.ignoreNulls = ignoreNulls;
  ix.required = required;
  return ix;
}

// The four system tables of a database the Jet engine creates, column by column. Text sizes
// are characters (255 = the widest column); binary columns are 255 bytes wide in Jet3, 510 in
// Jet4, whose MSysQueries also has a column more.
std::vector<TableSchema> systemTables(const FormatDescriptor& format) {
  using T = ColumnType;
  const bool jet3 = format.textEncoding == TextEncoding::CodePage;
  const uint16_t binary = jet3 ? 255 : 510;
  TableSchema objects{"MSysObjects",
                      {col("Id", T::Long), col("ParentId", T::Long), col("Name", T::Text, 255),
                       col("Type", T::Integer), col("DateCreate", T::DateTime),
                       col("DateUpdate", T::DateTime), col("Owner", T::Binary, binary),
                       col("Flags", T::Long), col("Database", T::Memo), col("Connect", T::Memo),
                       col("ForeignName", T::Text, 255), col("RmtInfoShort", T::Binary, binary),
                       col("RmtInfoLong", T::OLE), col("Lv", T::OLE), col("LvProp", T::OLE),
                       col("LvModule", T::OLE), col("LvExtra", T::OLE)},
                      {index("ParentIdName", {"ParentId", "Name"}, false, true, false, false),
                       index("Id", {"Id"}, true, true, false, false)}};
  TableSchema aces{"MSysACEs",
                   {col("ObjectId", T::Long), col("SID", T::Binary, binary), col("ACM", T::Long),
                    col("FInheritable", T::Boolean)},
                   {index("ObjectId", {"ObjectId"}, false, false, false, true)}};
  TableSchema queries{"MSysQueries",
                      {col("ObjectId", T::Long), col("Attribute", T::Byte),
                       col("Order", T::Binary, binary), col("Name1", T::Text, 255),
                       col("Name2", T::Text, 255), col("Expression", T::Memo),
                       col("Flag", T::Integer), col("LvExtra", T::Long)},
                      {index("ObjectIdAttribute", {"ObjectId", "Attribute", "Order"}, true, true,
                             false, false)}};
  TableSchema relationships{
      "MSysRelationships",
      {col("szRelationship", T::Text, 255), col("grbit", T::Long), col("ccolumn", T::Long),
       col("icolumn", T::Long), col("szObject", T::Text, 255), col("szColumn", T::Text, 255),
       col("szReferencedObject", T::Text, 255), col("szReferencedColumn", T::Text, 255)},
      {index("szRelationship", {"szRelationship"}, false, false, true, false),
       index("szObject", {"szObject"}, false, false, true, false),
       index("szReferencedObject", {"szReferencedObject"}, false, false, true, false)}};
  if (jet3) queries.columns.pop_back();  // LvExtra
  return {objects, aces, queries, relationships};
}

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

// The definition of a new table, before it has pages: column numbers in order, fixed columns
// laid out one after another (Yes/No columns take no room), variable columns given slots in
// column order, one real index per index.
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
  uint16_t fixedOffset = 0;
  uint16_t varSlot = 0;
  for (size_t i = 0; i < schema.columns.size(); ++i) {
    const ColumnDesign& given = schema.columns[i];
    if (!validName(given.name)) return invalid("'" + given.name + "' is not a valid column name.");
    for (size_t j = 0; j < i; ++j) {
      if (equalsIgnoreCase(schema.columns[j].name, given.name)) {
        return invalid("The column name '" + given.name + "' is used twice in '" + schema.name + "'.");
      }
    }
    ColumnDef c;
    c.name = given.name;
    c.typeCode = static_cast<uint8_t>(given.type);
    if (std::string(columnTypeName(c.typeCode)) == "Unknown") {
      return invalid("The column '" + given.name + "' has an unknown type.");
    }
    c.number = static_cast<uint16_t>(i);
    c.sortOrder = header.sortOrder ? header.sortOrder : 1033;
    if (!jet4) c.codePage = header.codePage;
    c.flags = kColumnUpdatable;
    const uint16_t fixedSize = fixedTypeSize(c.typeCode);
    switch (given.type) {
      case ColumnType::Text:
        if (given.size < 1 || given.size > 255) {
          return invalid("The text column '" + given.name + "' must hold 1 to 255 characters.");
        }
        c.length = static_cast<uint16_t>(jet4 ? 2 * given.size : given.size);
        break;
      case ColumnType::Binary:
        if (given.size < 1 || given.size > 510) {
          return invalid("The binary column '" + given.name + "' must hold 1 to 510 bytes.");
        }
        c.length = given.size;
        break;
      case ColumnType::Memo:
      case ColumnType::OLE:
        c.length = 0;
        break;
      case ColumnType::Boolean:
        c.length = 1;
        break;
      default:
        c.length = fixedSize;
    }
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
    def.columns.push_back(c);
  }
  def.maxColumns = static_cast<uint16_t>(def.columns.size());
  def.varColumns = varSlot;

  bool primarySeen = false;
  for (size_t i = 0; i < schema.indexes.size(); ++i) {
    const IndexDesign& given = schema.indexes[i];
    if (!validName(given.name) || given.columns.empty() || given.columns.size() > 10) {
      return invalid("The index '" + given.name + "' of '" + schema.name + "' is not valid.");
    }
    for (size_t j = 0; j < i; ++j) {
      if (equalsIgnoreCase(schema.indexes[j].name, given.name)) {
        return invalid("The index name '" + given.name + "' is used twice in '" + schema.name + "'.");
      }
    }
    if (given.primaryKey && primarySeen) {
      return invalid("The table '" + schema.name + "' has more than one primary key.");
    }
    primarySeen = primarySeen || given.primaryKey;
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
    IndexDef logical;
    logical.name = given.name;
    logical.number = static_cast<uint32_t>(i);
    logical.realIndex = static_cast<uint32_t>(i);
    logical.type = given.primaryKey ? kIndexTypePrimary : kIndexTypeNormal;
    def.realIndexes.push_back(real);
    def.indexes.push_back(logical);
  }
  if (system) {
    for (ColumnDef& c : def.columns) {
      if (c.name == "Owner" || c.name == "SID") c.flags |= kColumnSecurityId;
    }
  }
  *out = std::move(def);
  return {};
}

}  // namespace

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
  openFiles()[{db->file_->device(), db->file_->inode()}] = db;
  *out = db;
  return {};
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

DbError DatabaseFile::create(const std::string& path, const FormatDescriptor& format,
                             std::shared_ptr<DatabaseFile>* out, double creationDate,
                             bool catalogueRows) {
  const bool fixedDate = creationDate != 0;
  if (!fixedDate) creationDate = jetNow();
  std::unique_ptr<PageFile> file;
  DbError err = PageFile::create(path, format, newDatabaseHeader(format, creationDate), &file);
  if (!err.ok()) return err;
  // Page 1: the global usage map (pages 0 and 1 in use, every later page free) and a second,
  // empty map that the engine keeps beside it.
  {
    const FormatDescriptor& f = format;
    Page page1 = emptyDataPage(f, 1);
    std::vector<uint8_t> global = emptyInlineMap(f);
    std::fill(global.begin() + kMapInlineHeaderSize, global.end(), 0xFF);
    global[kMapInlineHeaderSize] = 0xFC;
    uint16_t slot = 0;
    appendRow(f, &page1, global, &slot);
    appendRow(f, &page1, emptyInlineMap(f), &slot);
    uint32_t pageNo = 0;
    err = file->appendPage(page1, &pageNo);
    if (!err.ok()) return err;
  }
  std::shared_ptr<DatabaseFile> db(new DatabaseFile(std::move(file)));
  if (fixedDate) db->stampDate_ = creationDate;
  // The four system tables' definitions take pages 2 to 5, the catalogue's on page 2 as
  // every reader expects.
  const std::vector<TableSchema> system = systemTables(format);
  const EngineSids& sids = engineSids(format);
  std::vector<TableDef> defs(system.size());
  for (TableDef& def : defs) {
    err = db->allocator_.allocate(Page(format.pageSize, 0), &def.tdefPage);
    if (!err.ok()) return err;
  }
  for (size_t i = 0; i < system.size(); ++i) {
    const uint32_t tdefPage = defs[i].tdefPage;
    err = buildTableDef(db->file_->header(), system[i], true, &defs[i]);
    if (!err.ok()) return err;
    defs[i].tdefPage = tdefPage;
    err = db->addTableDefinition(&defs[i]);
    if (!err.ok()) return err;
    // The engine's own indexes on system tables carry no Required flag; its ACE index does.
    for (size_t r = 0; r < defs[i].realIndexes.size(); ++r) {
      const IndexDesign& given = system[i].indexes[r];
      uint8_t flags = (given.unique || given.primaryKey ? kIndexUnique : 0) |
                      (given.ignoreNulls ? kIndexIgnoreNulls : 0) |
                      (given.required ? kIndexRequired : 0);
      if (format.textEncoding == TextEncoding::Utf16Le) flags |= kIndexJet4Marker;
      defs[i].realIndexes[r].flags = flags;
    }
    err = writeTableDef(db->allocator_, &defs[i]);
    if (!err.ok()) return err;
  }
  // The catalogue rows, found by the reader from page 2 on.
  auto objects = std::make_shared<TableState>();
  objects->def = defs[0];
  objects->rules.assign(objects->def.columns.size(), ColumnRules{});
  prepareLongValueTargets(objects.get());
  auto aces = std::make_shared<TableState>();
  aces->def = defs[1];
  aces->rules.assign(aces->def.columns.size(), ColumnRules{});
  prepareLongValueTargets(aces.get());
  db->tables_[defs[0].tdefPage] = objects;
  db->tables_[defs[1].tdefPage] = aces;

  struct ObjectRow {
    int32_t id, parent;
    const char* name;
    int type;
    const std::vector<uint8_t>* owner;
  };
  const ObjectRow objectRows[] = {
      {kTablesContainerId, kRootParentId, "Tables", kObjectTypeContainer, &sids.objectsOwner},
      {kDatabasesContainerId, kRootParentId, "Databases", kObjectTypeContainer, &sids.objectsOwner},
      {kRelationshipsContainerId, kRootParentId, "Relationships", kObjectTypeContainer,
       &sids.objectsOwner},
      {kDatabaseObjectId, kDatabasesContainerId, "MSysDb", kObjectTypeDatabase, &sids.databaseOwner},
      {static_cast<int32_t>(defs[0].tdefPage), kTablesContainerId, "MSysObjects",
       kObjectTypeLocalTable, &sids.objectsOwner},
      {static_cast<int32_t>(defs[1].tdefPage), kTablesContainerId, "MSysACEs",
       kObjectTypeLocalTable, &sids.objectsOwner},
      {static_cast<int32_t>(defs[2].tdefPage), kTablesContainerId, "MSysQueries",
       kObjectTypeLocalTable, &sids.objectsOwner},
      {static_cast<int32_t>(defs[3].tdefPage), kTablesContainerId, "MSysRelationships",
       kObjectTypeLocalTable, &sids.objectsOwner},
  };
  TableWriter objectsWriter(db->allocator_, *objects);
  const TableDef& od = objects->def;
  for (const ObjectRow& r : objectRows) {
    if (!catalogueRows) break;
    std::vector<Variant> row(od.columns.size());
    row[od.findColumn("Id")] = Variant(r.id);
    row[od.findColumn("ParentId")] = Variant(r.parent);
    row[od.findColumn("Name")] = Variant(std::string(r.name));
    row[od.findColumn("Type")] = Variant(static_cast<int16_t>(r.type));
    row[od.findColumn("DateCreate")] = Variant(DateValue{creationDate});
    row[od.findColumn("DateUpdate")] = Variant(DateValue{creationDate});
    row[od.findColumn("Owner")] = Variant(*r.owner);
    row[od.findColumn("Flags")] = Variant(static_cast<int32_t>(0x80000000u));
    RowLocation where;
    err = objectsWriter.insertRow(row, ColumnFlags(row.size(), true), &where);
    if (!err.ok()) return err;
  }
  TableWriter acesWriter(db->allocator_, *aces);
  const TableDef& ad = aces->def;
  for (const AceRow& r : blankDatabaseAces(format)) {
    if (!catalogueRows) break;
    std::vector<Variant> row(ad.columns.size());
    row[ad.findColumn("ObjectId")] = Variant(r.objectId);
    const std::vector<uint8_t>& sid = r.sid == Sid::DatabaseOwner ? sids.databaseOwner
                                      : r.sid == Sid::GroupA      ? sids.groupA
                                                                  : sids.groupB;
    row[ad.findColumn("SID")] = Variant(sid);
    row[ad.findColumn("ACM")] = Variant(r.mask);
    row[ad.findColumn("FInheritable")] = Variant(r.inheritable);
    RowLocation where;
    err = acesWriter.insertRow(row, ColumnFlags(row.size(), true), &where);
    if (!err.ok()) return err;
  }
  // Without its rows the catalogue is loaded once the copy that brings them has written them.
  if (catalogueRows) err = Catalog::load(*db->file_, &db->catalog_);
  if (!err.ok()) return err;
  openFiles()[{db->file_->device(), db->file_->inode()}] = db;
  *out = db;
  return {};
}

}  // namespace db
