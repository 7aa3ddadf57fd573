#include "db/table_def.h"

#include <algorithm>
#include <unordered_set>

#include "db/bytes.h"
#include "db/text_codec.h"
#include "db/usage_map.h"

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
constexpr uint32_t kMaxColumns = 255;
// A definition of 255 columns and dozens of indexes fits in about 15 pages.
constexpr size_t kMaxTdefPages = 64;
constexpr uint32_t kMaxIndexes = 1024;
// Constants that every Jet4 definition written by Access carries in these places.
constexpr uint32_t kJet4TdefMagic = 1625;
constexpr uint32_t kJet4RealIndexMagic = 1923;
constexpr uint16_t kJet3ColumnConstant = 0x0001;
// Jet3 tdef pages carry "VC" where Jet4 keeps the page's free space.
constexpr uint16_t kJet3TdefMarker = 0x4356;

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

namespace {

// The definition's pages joined into one stream (each page after the first without its
// header), their numbers kept in t->tdefPages; a chain that revisits a page is a loop in a
// damaged file.
DbError readDefinitionStream(const PageFile& file, const std::string& where, TableDef* t,
                             std::vector<uint8_t>* stream) {
  std::unordered_set<uint32_t> seen;
  Page page;
  for (uint32_t pageNo = t->tdefPage; pageNo != 0;) {
    if (!seen.insert(pageNo).second) return file.corrupt(where + " loops back to page " +
                                                         std::to_string(pageNo));
    if (seen.size() > kMaxTdefPages) return file.corrupt(where + " runs over too many pages");
    DbError err = file.readPage(pageNo, &page);
    if (!err.ok()) return err;
    if (page[0] != kPageTableDef) {
      return file.corrupt(where + " names page " + std::to_string(pageNo) +
                          ", which is not a table-definition page");
    }
    t->tdefPages.push_back(pageNo);
    if (stream->empty()) {
      stream->assign(page.begin(), page.end());
    } else {
      stream->insert(stream->end(), page.begin() + kTdefPageHeaderSize, page.end());
    }
    pageNo = readU32(page, kTdefNextPageOffset);
  }
  return {};
}

void readColumnRecord(const FormatDescriptor& f, std::span<const uint8_t> rec, ColumnDef* c) {
  c->typeCode = rec[0];
  c->number = readU16(rec, f.columnNumberOffset);
  c->varSlot = readU16(rec, f.columnVarSlotOffset);
  c->sortOrder = readU16(rec, f.columnSortOrderOffset);
  if (f.columnCodePageOffset != kAbsent) c->codePage = readU16(rec, f.columnCodePageOffset);
  if (f.columnPrecisionOffset != kAbsent && c->type() == ColumnType::Decimal) {
    c->precision = rec[f.columnPrecisionOffset];
    c->scale = rec[f.columnScaleOffset];
  }
  c->flags = rec[f.columnFlagsOffset];
  if (f.columnExtFlagsOffset != kAbsent) c->extFlags = rec[f.columnExtFlagsOffset];
  c->fixedOffset = readU16(rec, f.columnFixedOffsetOffset);
  c->length = readU16(rec, f.columnLengthOffset);
}

void readLogicalIndexRecord(const FormatDescriptor& f, std::span<const uint8_t> rec, IndexDef* li) {
  li->number = readU32(rec, f.logicalIndexNumberOffset);
  li->realIndex = readU32(rec, f.logicalIndexRealOffset);
  // After the real index number: related-table type (1), related index (4), related table
  // page (4), cascade-update (1) and cascade-delete (1) flags, then the index type.
  const size_t rel = f.logicalIndexRealOffset + 4;
  li->relatedType = rec[rel];
  li->relatedIndex = readU32(rec, rel + 1);
  li->relatedTablePage = readU32(rec, rel + 5);
  li->cascadeUpdate = rec[rel + 9];
  li->cascadeDelete = rec[rel + 10];
  li->type = rec[f.logicalIndexTypeOffset];
}

// The counts of column numbers and variable slots ever used bound every column's number and
// slot, and an index is made of columns the table has: a definition that breaks this would
// read its rows with values in the wrong columns, or with none. The columns are in number order.
DbError checkNumbering(const PageFile& file, const std::string& where, const TableDef& t) {
  for (size_t k = 0; k < t.columns.size(); ++k) {
    const ColumnDef& c = t.columns[k];
    if (c.number >= t.maxColumns || (k > 0 && c.number == t.columns[k - 1].number) ||
        (!c.isFixed() && c.varSlot >= t.varColumns)) {
      return file.corrupt(where + ": column '" + c.name + "' has the number " +
                          std::to_string(c.number) + " or the variable slot " +
                          std::to_string(c.varSlot) + ", outside the table's " +
                          std::to_string(t.maxColumns) + " columns and " +
                          std::to_string(t.varColumns) + " slots or taken twice");
    }
  }
  for (const RealIndexDef& ri : t.realIndexes) {
    for (const IndexColumn& ic : ri.columns) {
      if (!t.columnByNumber(ic.columnNumber)) {
        return file.corrupt(where + ": an index names column number " +
                            std::to_string(ic.columnNumber) + ", which the table does not have");
      }
    }
  }
  return {};
}

}  // namespace

DbError readTableDef(const PageFile& file, uint32_t tdefPage, const std::string& tableName,
                     TableDef* def) {
  const FormatDescriptor& f = file.format();
  const std::string where = "the definition of table '" + tableName + "'";
  TableDef t;
  t.name = tableName;
  t.tdefPage = tdefPage;

  std::vector<uint8_t> stream;
  if (DbError err = readDefinitionStream(file, where, &t, &stream); !err.ok()) return err;

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
    readColumnRecord(f, rec, &c);
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
    readLogicalIndexRecord(f, rec, &li);
  }
  for (IndexDef& li : t.indexes) li.name = readName(&cur, file);
  if (cur.failed) return file.corrupt(where + " runs past its last page");
  for (const IndexDef& li : t.indexes) {
    if (li.realIndex >= realCount) {
      return file.corrupt(where + ": index '" + li.name + "' names a physical index that does "
                          "not exist");
    }
  }

  // The long-value map trailer; tolerated when absent, as older writers left it out. It has
  // at most one entry per Memo/OLE column.
  size_t longValueColumns = 0;
  for (const ColumnDef& c : columns) longValueColumns += isLongValueType(c.typeCode) ? 1 : 0;
  while (t.longValueMaps.size() < longValueColumns && cur.need(2)) {
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
  if (DbError err = checkNumbering(file, where, t); !err.ok()) return err;
  *def = std::move(t);
  return DbError::success();
}

namespace {

void appendName(std::vector<uint8_t>* out, const DatabaseHeader& header, const std::string& name) {
  if (header.format->textEncoding == TextEncoding::Utf16Le) {
    const std::vector<uint8_t> bytes = utf16leBytes(utf8ToUtf16(name));
    const size_t at = out->size();
    out->resize(at + 2);
    writeU16(*out, at, static_cast<uint16_t>(bytes.size()));
    out->insert(out->end(), bytes.begin(), bytes.end());
  } else {
    std::string bytes;
    encodeCodePage(name, header.codePage, &bytes);
    out->push_back(static_cast<uint8_t>(bytes.size()));
    out->insert(out->end(), bytes.begin(), bytes.end());
  }
}

}  // namespace

std::vector<uint8_t> encodeTableDef(const DatabaseHeader& header, const TableDef& def) {
  const FormatDescriptor& f = *header.format;
  const bool jet4 = f.textEncoding == TextEncoding::Utf16Le;
  std::vector<uint8_t> s(f.tdefHeaderSize, 0);
  s[0] = kPageTableDef;
  s[1] = 0x01;
  if (jet4) {
    writeU32(s, 12, kJet4TdefMagic);
    s[f.tdefAutonumberEnableOffset] = 1;
  }
  writeU32(s, f.tdefRowCountOffset, def.rowCount);
  writeU32(s, f.tdefAutonumberOffset, def.lastAutonumber);
  s[f.tdefTableTypeOffset] = def.tableType;
  writeU16(s, f.tdefMaxColumnsOffset, def.maxColumns);
  writeU16(s, f.tdefVarColumnsOffset, def.varColumns);
  writeU16(s, f.tdefColumnCountOffset, static_cast<uint16_t>(def.columns.size()));
  writeU32(s, f.tdefLogicalIndexCountOffset, static_cast<uint32_t>(def.indexes.size()));
  writeU32(s, f.tdefRealIndexCountOffset, static_cast<uint32_t>(def.realIndexes.size()));
  writeU32(s, f.tdefOwnedMapOffset, def.ownedMap.stored());
  writeU32(s, f.tdefFreeMapOffset, def.freeMap.stored());

  for (const RealIndexDef& ri : def.realIndexes) {
    std::vector<uint8_t> rec(f.realIndexCountSize, 0);
    writeU32(rec, 4, ri.uniqueCount);
    s.insert(s.end(), rec.begin(), rec.end());
  }
  for (const ColumnDef& c : def.columns) {
    std::vector<uint8_t> rec(f.columnRecordSize, 0);
    rec[0] = c.typeCode;
    if (jet4) writeU32(rec, 1, kJet4TdefMagic);
    writeU16(rec, f.columnNumberOffset, c.number);
    writeU16(rec, f.columnVarSlotOffset, c.varSlot);
    writeU16(rec, f.columnNumberOffset + 4, c.number);  // the second column number
    if (!jet4) writeU16(rec, 7, kJet3ColumnConstant);
    if (c.type() == ColumnType::Decimal && f.columnPrecisionOffset != kAbsent) {
      rec[f.columnPrecisionOffset] = c.precision;
      rec[f.columnScaleOffset] = c.scale;
    } else {
      writeU16(rec, f.columnSortOrderOffset, c.sortOrder ? c.sortOrder : kGeneralSortOrder);
    }
    if (f.columnCodePageOffset != kAbsent) {
      writeU16(rec, f.columnCodePageOffset, c.codePage ? c.codePage : header.codePage);
    }
    rec[f.columnFlagsOffset] = c.flags;
    if (f.columnExtFlagsOffset != kAbsent) rec[f.columnExtFlagsOffset] = c.extFlags;
    writeU16(rec, f.columnFixedOffsetOffset, c.isFixed() ? c.fixedOffset : 0);
    writeU16(rec, f.columnLengthOffset, c.length);
    s.insert(s.end(), rec.begin(), rec.end());
  }
  for (const ColumnDef& c : def.columns) appendName(&s, header, c.name);
  for (const RealIndexDef& ri : def.realIndexes) {
    std::vector<uint8_t> rec(f.realIndexRecordSize, 0);
    if (jet4) writeU32(rec, 0, kJet4RealIndexMagic);
    for (uint32_t slot = 0; slot < kIndexColumnSlots; ++slot) {
      const size_t at = f.realIndexColumnsOffset + slot * kIndexColumnSlotSize;
      if (slot < ri.columns.size()) {
        writeU16(rec, at, ri.columns[slot].columnNumber);
        rec[at + 2] = ri.columns[slot].ascending ? 0x01 : 0x00;
      } else {
        writeU16(rec, at, kNoColumn);
      }
    }
    writeU32(rec, f.realIndexMapOffset, ri.usageMap.stored());
    writeU32(rec, f.realIndexRootOffset, ri.rootPage);
    rec[f.realIndexFlagsOffset] = ri.flags;
    s.insert(s.end(), rec.begin(), rec.end());
  }
  for (const IndexDef& li : def.indexes) {
    std::vector<uint8_t> rec(f.logicalIndexRecordSize, 0);
    if (jet4) writeU32(rec, 0, kJet4TdefMagic);
    writeU32(rec, f.logicalIndexNumberOffset, li.number);
    writeU32(rec, f.logicalIndexRealOffset, li.realIndex);
    const size_t rel = f.logicalIndexRealOffset + 4;
    rec[rel] = li.relatedType;
    writeU32(rec, rel + 1, li.relatedIndex);
    writeU32(rec, rel + 5, li.relatedTablePage);
    rec[rel + 9] = li.cascadeUpdate;
    rec[rel + 10] = li.cascadeDelete;
    rec[f.logicalIndexTypeOffset] = li.type;
    s.insert(s.end(), rec.begin(), rec.end());
  }
  for (const IndexDef& li : def.indexes) appendName(&s, header, li.name);
  for (const LongValueMaps& lv : def.longValueMaps) {
    std::vector<uint8_t> rec(kLongValueMapEntrySize, 0);
    writeU16(rec, 0, lv.columnNumber);
    writeU32(rec, 2, lv.owned.stored());
    writeU32(rec, 6, lv.free.stored());
    s.insert(s.end(), rec.begin(), rec.end());
  }
  s.push_back(0xFF);
  s.push_back(0xFF);
  writeU32(s, kTdefLengthOffset, static_cast<uint32_t>(s.size()));
  return s;
}

DbError writeTableDef(PageAllocator& allocator, TableDef* def) {
  PageFile& file = allocator.file();
  const FormatDescriptor& f = file.format();
  const bool jet4 = f.textEncoding == TextEncoding::Utf16Le;
  const std::vector<uint8_t> stream = encodeTableDef(file.header(), *def);
  const size_t perContinuation = f.pageSize - kTdefPageHeaderSize;
  size_t pagesNeeded = 1;
  if (stream.size() > f.pageSize) {
    pagesNeeded += (stream.size() - f.pageSize + perContinuation - 1) / perContinuation;
  }
  if (def->tdefPages.empty()) def->tdefPages.push_back(def->tdefPage);
  while (def->tdefPages.size() < pagesNeeded) {
    uint32_t pageNo = 0;
    DbError err = allocator.allocate(Page(f.pageSize, 0), &pageNo);
    if (!err.ok()) return err;
    def->tdefPages.push_back(pageNo);
  }
  size_t consumed = 0;
  for (size_t i = 0; i < def->tdefPages.size(); ++i) {
    Page page(f.pageSize, 0);
    // The first page carries the stream from its offset 0; each further page from offset 8.
    const size_t at = i == 0 ? 0 : kTdefPageHeaderSize;
    const size_t placed = std::min(stream.size() - consumed, f.pageSize - at);
    std::copy(stream.begin() + consumed, stream.begin() + consumed + placed, page.begin() + at);
    consumed += placed;
    page[0] = kPageTableDef;
    page[1] = 0x01;
    if (jet4) {
      const size_t unused = f.pageSize - at - placed;
      writeU16(page, 2, static_cast<uint16_t>(unused > 8 ? unused - 8 : 0));
    } else {
      writeU16(page, 2, kJet3TdefMarker);
    }
    const bool last = i + 1 == def->tdefPages.size();
    writeU32(page, kTdefNextPageOffset, last ? 0 : def->tdefPages[i + 1]);
    DbError err = file.writePage(def->tdefPages[i], page);
    if (!err.ok()) return err;
  }
  def->definitionLength = static_cast<uint32_t>(stream.size());
  return {};
}

DbError writeTableCounts(PageFile& file, const TableDef& def) {
  const FormatDescriptor& f = file.format();
  std::span<uint8_t> page;
  DbError err = file.changePage(def.tdefPage, &page);
  if (!err.ok()) return err;
  if (page[0] != kPageTableDef) {
    return file.corrupt("page " + std::to_string(def.tdefPage) + " no longer holds the definition of '" +
                        def.name + "'");
  }
  writeU32(page, f.tdefRowCountOffset, def.rowCount);
  writeU32(page, f.tdefAutonumberOffset, def.lastAutonumber);
  for (size_t i = 0; i < def.realIndexes.size(); ++i) {
    const size_t at = f.tdefHeaderSize + i * f.realIndexCountSize + 4;
    if (at + 4 > page.size()) break;  // counts beyond the first page are left as they are
    writeU32(page, at, def.realIndexes[i].uniqueCount);
  }
  return {};
}

}  // namespace db
