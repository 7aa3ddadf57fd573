#include "db/table_def.h"

#include <algorithm>
#include <unordered_set>

#include "db/bytes.h"
#include "db/text_codec.h"

namespace db {
namespace {

constexpr uint32_t kTdefNextPageOffset = 4;
constexpr uint32_t kTdefPageHeaderSize = 8;
constexpr uint32_t kTdefLengthOffset = 8;
constexpr uint32_t kIndexColumnSlots = 10;
constexpr uint32_t kIndexColumnSlotSize = 2 + 1;  // column number, direction flags
constexpr uint16_t kNoColumn = 0xFFFF;
constexpr uint16_t kTrailerEnd = 0xFFFF;
constexpr uint32_t kLongValueMapEntrySize = 2 + 4 + 4;
// More columns or indexes than this cannot fit in a row or a tdef; a larger count is damage.
constexpr uint32_t kMaxColumns = 4096;
constexpr uint32_t kMaxIndexes = 1024;

// A bounds-checked walk through the stream; the first overrun sets `failed`.
struct StreamCursor {
  std::span<const uint8_t> data;
  size_t pos = 0;
  bool failed = false;

  bool need(size_t n) {
    if (!failed && inRange(data.size(), pos, n)) return true;
    failed = true;
    return false;
  }
  std::span<const uint8_t> take(size_t n) {
    if (!need(n)) return {};
    auto s = data.subspan(pos, n);
    pos += n;
    return s;
  }
};

std::string readName(StreamCursor* cur, const PageFile& file) {
  const FormatDescriptor& f = file.format();
  auto prefix = cur->take(f.nameLengthSize);
  if (cur->failed) return {};
  size_t length = f.nameLengthSize == 1 ? prefix[0] : readU16(prefix, 0);
  auto bytes = cur->take(length);
  if (cur->failed) return {};
  if (f.textEncoding == TextEncoding::Utf16Le) return utf16leToUtf8(bytes);
  return decodeCodePage(bytes, file.header().codePage);
}

}  // namespace

const char* columnTypeName(uint8_t typeCode) {
  switch (typeCode) {
    case 0x01: return "Boolean";
    case 0x02: return "Byte";
    case 0x03: return "Integer";
    case 0x04: return "Long";
    case 0x05: return "Currency";
    case 0x06: return "Single";
    case 0x07: return "Double";
    case 0x08: return "DateTime";
    case 0x09: return "Binary";
    case 0x0A: return "Text";
    case 0x0B: return "OLE";
    case 0x0C: return "Memo";
    case 0x0F: return "GUID";
    case 0x10: return "Decimal";
    default: return "Unknown";
  }
}

bool isLongValueType(uint8_t typeCode) { return typeCode == 0x0B || typeCode == 0x0C; }

int TableDef::findColumn(std::string_view columnName) const {
  const std::string wanted = upperCase(columnName);
  for (size_t i = 0; i < columns.size(); ++i) {
    if (upperCase(columns[i].name) == wanted) return static_cast<int>(i);
  }
  return -1;
}

const ColumnDef* TableDef::columnByNumber(uint16_t number) const {
  for (const ColumnDef& c : columns) {
    if (c.number == number) return &c;
  }
  return nullptr;
}

DbError readTableDef(const PageFile& file, uint32_t tdefPage, const std::string& tableName,
                     TableDef* def) {
  const FormatDescriptor& f = file.format();
  const std::string where = "the definition of table '" + tableName + "'";
  TableDef t;
  t.name = tableName;
  t.tdefPage = tdefPage;

  // Gather the stream; a chain that revisits a page is a loop in a damaged file.
  std::vector<uint8_t> stream;
  std::unordered_set<uint32_t> seen;
  Page page;
  for (uint32_t pageNo = tdefPage; pageNo != 0;) {
    if (!seen.insert(pageNo).second) return file.corrupt(where + " loops back to page " +
                                                         std::to_string(pageNo));
    DbError err = file.readPage(pageNo, &page);
    if (!err.ok()) return err;
    if (page[0] != kPageTableDef) {
      return file.corrupt(where + " names page " + std::to_string(pageNo) +
                          ", which is not a table-definition page");
    }
    t.tdefPages.push_back(pageNo);
    if (stream.empty()) {
      stream.assign(page.begin(), page.end());
    } else {
      stream.insert(stream.end(), page.begin() + kTdefPageHeaderSize, page.end());
    }
    pageNo = readU32(page, kTdefNextPageOffset);
  }

  StreamCursor cur{stream};
  if (!cur.need(f.tdefHeaderSize)) return file.corrupt(where + " is too short");
  t.definitionLength = readU32(stream, kTdefLengthOffset);
  t.rowCount = readU32(stream, f.tdefRowCountOffset);
  t.lastAutonumber = readU32(stream, f.tdefAutonumberOffset);
  t.tableType = stream[f.tdefTableTypeOffset];
  t.maxColumns = readU16(stream, f.tdefMaxColumnsOffset);
  t.varColumns = readU16(stream, f.tdefVarColumnsOffset);
  const uint32_t columnCount = readU16(stream, f.tdefColumnCountOffset);
  const uint32_t logicalCount = readU32(stream, f.tdefLogicalIndexCountOffset);
  const uint32_t realCount = readU32(stream, f.tdefRealIndexCountOffset);
  t.ownedMap = RowPointer::fromStored(readU32(stream, f.tdefOwnedMapOffset));
  t.freeMap = RowPointer::fromStored(readU32(stream, f.tdefFreeMapOffset));
  if (columnCount > kMaxColumns || logicalCount > kMaxIndexes || realCount > kMaxIndexes) {
    return file.corrupt(where + " claims " + std::to_string(columnCount) + " columns and " +
                        std::to_string(logicalCount) + " indexes");
  }
  cur.pos = f.tdefHeaderSize;

  t.realIndexes.resize(realCount);
  for (uint32_t i = 0; i < realCount; ++i) {
    auto rec = cur.take(f.realIndexCountSize);
    if (cur.failed) break;
    t.realIndexes[i].uniqueCount = readU32(rec, 4);
  }

  std::vector<ColumnDef> columns(columnCount);
  for (ColumnDef& c : columns) {
    auto rec = cur.take(f.columnRecordSize);
    if (cur.failed) break;
    c.typeCode = rec[0];
    c.number = readU16(rec, f.columnNumberOffset);
    c.varSlot = readU16(rec, f.columnVarSlotOffset);
    c.sortOrder = readU16(rec, f.columnSortOrderOffset);
    if (f.columnCodePageOffset != kAbsent) c.codePage = readU16(rec, f.columnCodePageOffset);
    if (f.columnPrecisionOffset != kAbsent && c.typeCode == 0x10) {
      c.precision = rec[f.columnPrecisionOffset];
      c.scale = rec[f.columnScaleOffset];
    }
    c.flags = rec[f.columnFlagsOffset];
    if (f.columnExtFlagsOffset != kAbsent) c.extFlags = rec[f.columnExtFlagsOffset];
    c.fixedOffset = readU16(rec, f.columnFixedOffsetOffset);
    c.length = readU16(rec, f.columnLengthOffset);
  }
  for (ColumnDef& c : columns) c.name = readName(&cur, file);

  for (RealIndexDef& ri : t.realIndexes) {
    auto rec = cur.take(f.realIndexRecordSize);
    if (cur.failed) break;
    for (uint32_t s = 0; s < kIndexColumnSlots; ++s) {
      const size_t at = f.realIndexColumnsOffset + s * kIndexColumnSlotSize;
      uint16_t number = readU16(rec, at);
      if (number == kNoColumn) continue;
      ri.columns.push_back({number, (rec[at + 2] & 0x01) != 0});
    }
    ri.usageMap = RowPointer::fromStored(readU32(rec, f.realIndexMapOffset));
    ri.rootPage = readU32(rec, f.realIndexRootOffset);
    ri.flags = rec[f.realIndexFlagsOffset];
  }

  t.indexes.resize(logicalCount);
  for (IndexDef& li : t.indexes) {
    auto rec = cur.take(f.logicalIndexRecordSize);
    if (cur.failed) break;
    li.number = readU32(rec, f.logicalIndexNumberOffset);
    li.realIndex = readU32(rec, f.logicalIndexRealOffset);
    li.type = rec[f.logicalIndexTypeOffset];
  }
  for (IndexDef& li : t.indexes) li.name = readName(&cur, file);
  if (cur.failed) return file.corrupt(where + " runs past its last page");
  for (const IndexDef& li : t.indexes) {
    if (li.realIndex >= realCount) {
      return file.corrupt(where + ": index '" + li.name + "' names a physical index that does "
                          "not exist");
    }
  }

  // The long-value map trailer; tolerated when absent, as older writers left it out.
  while (cur.need(2)) {
    uint16_t number = readU16(stream, cur.pos);
    if (number == kTrailerEnd) break;
    auto rec = cur.take(kLongValueMapEntrySize);
    if (cur.failed) break;
    t.longValueMaps.push_back({number, RowPointer::fromStored(readU32(rec, 2)),
                               RowPointer::fromStored(readU32(rec, 6))});
  }

  std::stable_sort(columns.begin(), columns.end(),
                   [](const ColumnDef& a, const ColumnDef& b) { return a.number < b.number; });
  t.columns = std::move(columns);
  *def = std::move(t);
  return DbError::success();
}

}  // namespace db
