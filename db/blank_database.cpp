// blank_database.cpp -- a new database as the Jet engine creates one: the global usage map on
// page 1, the four system tables on pages 2 to 5, and the catalogue rows and access entries
// the engine itself writes into a blank database.
#include "db/blank_database.h"

#include <algorithm>

#include "db/data_page.h"
#include "db/usage_map.h"

namespace db {
namespace {

constexpr int kObjectTypeDatabase = 2;
constexpr int kObjectTypeContainer = 3;

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

// Page 1: the global usage map (pages 0 and 1 in use, every later page free) and a second,
// empty map that the engine keeps beside it.
DbError appendGlobalUsageMaps(PageFile& file, const FormatDescriptor& f) {
  Page page1 = emptyDataPage(f, 1);
  std::vector<uint8_t> global = emptyInlineMap(f);
  std::fill(global.begin() + kMapInlineHeaderSize, global.end(), 0xFF);
  global[kMapInlineHeaderSize] = 0xFC;
  uint16_t slot = 0;
  appendRow(f, &page1, global, &slot);
  appendRow(f, &page1, emptyInlineMap(f), &slot);
  uint32_t pageNo = 0;
  return file.appendPage(page1, &pageNo);
}

// The engine's own indexes on system tables carry no Required flag; its ACE index does.
uint8_t systemIndexFlags(const IndexDesign& given, const FormatDescriptor& format) {
  uint8_t flags = (given.unique || given.primaryKey ? kIndexUnique : 0) |
                  (given.ignoreNulls ? kIndexIgnoreNulls : 0) |
                  (given.required ? kIndexRequired : 0);
  if (format.textEncoding == TextEncoding::Utf16Le) flags |= kIndexJet4Marker;
  return flags;
}

// The four system tables' definitions take pages 2 to 5, the catalogue's on page 2 as every
// reader expects: all four pages are taken before the first table's maps.
DbError writeSystemTableDefs(DatabaseFile& db, const FormatDescriptor& format,
                             const std::vector<TableSchema>& system, std::vector<TableDef>* defs) {
  defs->assign(system.size(), TableDef{});
  for (TableDef& def : *defs) {
    DbError err = db.allocator().allocate(Page(format.pageSize, 0), &def.tdefPage);
    if (!err.ok()) return err;
  }
  for (size_t i = 0; i < system.size(); ++i) {
    TableDef& def = (*defs)[i];
    const uint32_t tdefPage = def.tdefPage;
    DbError err = buildTableDef(db.pages().header(), system[i], true, &def);
    if (!err.ok()) return err;
    def.tdefPage = tdefPage;
    err = db.addTableDefinition(&def);
    if (!err.ok()) return err;
    for (size_t r = 0; r < def.realIndexes.size(); ++r) {
      def.realIndexes[r].flags = systemIndexFlags(system[i].indexes[r], format);
    }
    err = writeTableDef(db.allocator(), &def);
    if (!err.ok()) return err;
  }
  return {};
}

std::shared_ptr<TableState> systemTableState(const TableDef& def) {
  auto state = std::make_shared<TableState>();
  state->def = def;
  state->rules.assign(state->def.columns.size(), ColumnRules{});
  prepareLongValueTargets(state.get());
  return state;
}

// MSysObjects of a blank database: the three containers, the database object and the four
// system tables, all dated with the database.
DbError insertBlankObjects(PageAllocator& allocator, TableState& objects,
                           const std::vector<TableDef>& defs, const EngineSids& sids,
                           double creationDate) {
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
  TableWriter objectsWriter(allocator, objects);
  const TableDef& od = objects.def;
  for (const ObjectRow& r : objectRows) {
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
    DbError err = objectsWriter.insertRow(row, ColumnFlags(row.size(), true), &where);
    if (!err.ok()) return err;
  }
  return {};
}

DbError insertBlankAces(PageAllocator& allocator, TableState& aces, const FormatDescriptor& format) {
  const EngineSids& sids = engineSids(format);
  TableWriter acesWriter(allocator, aces);
  const TableDef& ad = aces.def;
  for (const AceRow& r : blankDatabaseAces(format)) {
    std::vector<Variant> row(ad.columns.size());
    row[ad.findColumn("ObjectId")] = Variant(r.objectId);
    const std::vector<uint8_t>& sid = r.sid == Sid::DatabaseOwner ? sids.databaseOwner
                                      : r.sid == Sid::GroupA      ? sids.groupA
                                                                  : sids.groupB;
    row[ad.findColumn("SID")] = Variant(sid);
    row[ad.findColumn("ACM")] = Variant(r.mask);
    row[ad.findColumn("FInheritable")] = Variant(r.inheritable);
    RowLocation where;
    DbError err = acesWriter.insertRow(row, ColumnFlags(row.size(), true), &where);
    if (!err.ok()) return err;
  }
  return {};
}

}  // namespace

DbError DatabaseFile::create(const std::string& path, const FormatDescriptor& format,
                             std::shared_ptr<DatabaseFile>* out, double creationDate,
                             bool catalogueRows) {
  const bool fixedDate = creationDate != 0;
  if (!fixedDate) creationDate = jetNow();
  std::unique_ptr<PageFile> file;
  DbError err = PageFile::create(path, format, newDatabaseHeader(format, creationDate), &file);
  if (err.ok()) err = appendGlobalUsageMaps(*file, format);
  if (!err.ok()) return err;
  std::shared_ptr<DatabaseFile> db(new DatabaseFile(std::move(file)));
  if (fixedDate) db->stampDate_ = creationDate;
  std::vector<TableDef> defs;
  err = writeSystemTableDefs(*db, format, systemTables(format), &defs);
  if (!err.ok()) return err;
  // The catalogue rows, found by the reader from page 2 on.
  const std::shared_ptr<TableState> objects = systemTableState(defs[0]);
  const std::shared_ptr<TableState> aces = systemTableState(defs[1]);
  db->tables_[defs[0].tdefPage] = objects;
  db->tables_[defs[1].tdefPage] = aces;
  // Without its rows the catalogue is loaded once the copy that brings them has written them.
  if (catalogueRows) {
    err = insertBlankObjects(db->allocator_, *objects, defs, engineSids(format), creationDate);
    if (err.ok()) err = insertBlankAces(db->allocator_, *aces, format);
    if (err.ok()) err = Catalog::load(*db->file_, &db->catalog_);
    if (!err.ok()) return err;
  }
  registerOpen(db);
  *out = db;
  return {};
}

}  // namespace db
