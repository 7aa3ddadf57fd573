// table_def.h -- a table definition: one byte stream over a chain of tdef pages (type 0x02;
// uint32 LE at 4 names the next page, 0 for the last; each further page adds its bytes from
// offset 8). Stream order: header, one row-count record per real index, column records,
// column names, real-index records, logical-index records, logical-index names, then per
// Memo/OLE column {column number: 2, owned map: 4, free-space map: 4}, ended by 0xFFFF.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/data_page.h"

namespace db {

enum class ColumnType : uint8_t {
  Boolean = 0x01,
  Byte = 0x02,
  Integer = 0x03,
  Long = 0x04,
  Currency = 0x05,
  Single = 0x06,
  Double = 0x07,
  DateTime = 0x08,
  Binary = 0x09,
  Text = 0x0A,
  OLE = 0x0B,
  Memo = 0x0C,
  GUID = 0x0F,
  Decimal = 0x10,
};

// The name dumps and schemas print for a type code; "Unknown" for codes outside the list.
const char* columnTypeName(uint8_t typeCode);
inline bool isLongValueType(uint8_t typeCode) {
  return typeCode == static_cast<uint8_t>(ColumnType::OLE) ||
         typeCode == static_cast<uint8_t>(ColumnType::Memo);
}

// The "General" sort order (LCID 1033) that text columns and the database header name.
inline constexpr uint16_t kGeneralSortOrder = 1033;

// Column flag bits.
inline constexpr uint8_t kColumnFixed = 0x01;
inline constexpr uint8_t kColumnUpdatable = 0x02;
inline constexpr uint8_t kColumnAutoLong = 0x04;
inline constexpr uint8_t kColumnAutoGuid = 0x40;
inline constexpr uint8_t kColumnHyperlink = 0x80;
inline constexpr uint8_t kColumnExtCompressedUnicode = 0x01;

struct ColumnDef {
  std::string name;
  uint8_t typeCode = 0;
  uint16_t number = 0;        // bit in the null mask; stable across schema changes
  uint16_t varSlot = 0;       // entry of the row's variable-offset table
  uint16_t fixedOffset = 0;   // from the end of the row's column count
  uint16_t length = 0;        // bytes: fixed size, or the maximum for Text and Binary
  uint8_t flags = 0;
  uint8_t extFlags = 0;
  uint16_t sortOrder = 0;
  uint16_t codePage = 0;      // Jet3 only
  uint8_t precision = 0;      // Decimal only
  uint8_t scale = 0;

  ColumnType type() const { return static_cast<ColumnType>(typeCode); }
  bool isFixed() const { return flags & kColumnFixed; }
  // Flag bits that Access sets on other types for other purposes mean nothing there.
  bool isAutoLong() const { return type() == ColumnType::Long && (flags & kColumnAutoLong); }
  bool isAutoGuid() const { return type() == ColumnType::GUID && (flags & kColumnAutoGuid); }
  bool isHyperlink() const { return type() == ColumnType::Memo && (flags & kColumnHyperlink); }
  bool compressedUnicode() const { return extFlags & kColumnExtCompressedUnicode; }
};

// Real-index flag bits.
inline constexpr uint8_t kIndexUnique = 0x01;
inline constexpr uint8_t kIndexIgnoreNulls = 0x02;
inline constexpr uint8_t kIndexRequired = 0x08;
// Logical-index types.
inline constexpr uint8_t kIndexTypePrimary = 0x01;
inline constexpr uint8_t kIndexTypeForeignKey = 0x02;

struct IndexColumn {
  uint16_t columnNumber = 0;
  bool ascending = true;
};

// A physical B-tree.
struct RealIndexDef {
  std::vector<IndexColumn> columns;
  RowPointer usageMap;
  uint32_t rootPage = 0;
  uint8_t flags = 0;
  uint32_t uniqueCount = 0;
};

// An index as the user names it; several may share one real index.
struct IndexDef {
  std::string name;
  uint32_t number = 0;
  uint32_t realIndex = 0;
  uint8_t type = 0;
  // Foreign keys only: which side of the relationship this table is (1 primary, 2 the
  // referencing side), the other table's index and definition page, and the cascade flags.
  uint8_t relatedType = 0;
  uint32_t relatedIndex = 0xFFFFFFFF;
  uint32_t relatedTablePage = 0;
  uint8_t cascadeUpdate = 0;
  uint8_t cascadeDelete = 0;
  bool isPrimary() const { return type == kIndexTypePrimary; }
  bool isForeignKey() const { return type == kIndexTypeForeignKey; }
};

struct LongValueMaps {
  uint16_t columnNumber = 0;
  RowPointer owned;
  RowPointer free;
};

struct TableDef {
  std::string name;
  uint32_t tdefPage = 0;
  std::vector<uint32_t> tdefPages;   // first page, then continuations
  uint32_t definitionLength = 0;
  uint32_t rowCount = 0;
  uint32_t lastAutonumber = 0;
  uint8_t tableType = 0;
  uint16_t maxColumns = 0;           // column numbers ever used, deleted ones included
  uint16_t varColumns = 0;           // variable slots ever used
  RowPointer ownedMap;
  RowPointer freeMap;
  std::vector<ColumnDef> columns;    // ascending column number
  std::vector<RealIndexDef> realIndexes;
  std::vector<IndexDef> indexes;     // in stored order
  std::vector<LongValueMaps> longValueMaps;

  // Case-insensitive, as Jet matches names; -1 when absent.
  int findColumn(std::string_view columnName) const;
  const ColumnDef* columnByNumber(uint16_t number) const;
};

// Reads the tdef chain starting at `tdefPage`; `tableName` names the table in errors.
DbError readTableDef(const PageFile& file, uint32_t tdefPage, const std::string& tableName,
                     TableDef* def);

// Table-type bytes.
inline constexpr uint8_t kTableTypeUser = 0x4E;    // 'N'
inline constexpr uint8_t kTableTypeSystem = 0x53;  // 'S'

// The definition as one byte stream, as readTableDef reads it (first page header included).
// Column records are written in column-number order.
std::vector<uint8_t> encodeTableDef(const DatabaseHeader& header, const TableDef& def);

// Writes the definition over its pages, allocating continuation pages as the stream needs
// them (def.tdefPages is updated). def.tdefPage must already be allocated.
class PageAllocator;
DbError writeTableDef(PageAllocator& allocator, TableDef* def);

// Writes back what changes as rows arrive: row count, last autonumber and the unique-key
// counts of the real indexes, in place on the first tdef page.
DbError writeTableCounts(PageFile& file, const TableDef& def);

}  // namespace db
