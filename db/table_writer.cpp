#include "db/table_writer.h"

#include <string>

#include "db/bytes.h"
#include "db/index_btree.h"
#include "db/index_key.h"
#include "db/table_scan.h"

namespace db {
namespace {

// The most a table's held-back index entries may take; past it they are written, and the
// table's later rows go into its B-trees one by one.
constexpr size_t kMaxDeferredBytes = size_t{48} << 20;
// The most rows a table's lists of Nulls may name; past it they are dropped, and searches for
// Nulls go through the whole table.
constexpr size_t kMaxNullRows = size_t{2} << 20;

bool allNull(const RealIndexDef& index, const TableDef& def, const std::vector<Variant>& values) {
  for (const IndexColumn& ic : index.columns) {
    for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
      if (def.columns[k].number == ic.columnNumber && !values[k].isNull()) return false;
    }
  }
  return true;
}

bool anyNull(const RealIndexDef& index, const TableDef& def, const std::vector<Variant>& values) {
  for (const IndexColumn& ic : index.columns) {
    for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
      if (def.columns[k].number == ic.columnNumber && values[k].isNull() &&
          def.columns[k].type() != ColumnType::Boolean) {
        return true;
      }
    }
  }
  return false;
}

// 3058 for the real index `real`, named by the last logical index that shares it.
DbError indexNullError(const TableDef& def, size_t real) {
  std::string name;
  for (const IndexDef& li : def.indexes) {
    if (li.realIndex == real) name = li.name;
  }
  return makeError(DbErrorNumber::IndexNull,
                   "The index '" + name + "' of table '" + def.name + "' cannot contain a Null value.");
}

}  // namespace

void prepareLongValueTargets(TableState* state) {
  state->longValues.assign(state->def.columns.size(), LongValueTarget{});
  for (size_t k = 0; k < state->def.columns.size(); ++k) {
    for (const LongValueMaps& lv : state->def.longValueMaps) {
      if (lv.columnNumber == state->def.columns[k].number) {
        state->longValues[k].ownedMap = lv.owned;
        state->longValues[k].freeMap = lv.free;
      }
    }
  }
}

DbError writeDeferredIndexes(PageAllocator& allocator, TableState& table) {
  if (!table.deferred) return {};
  DbError err = table.deferred->write(allocator, table.def);
  // Pages decoded before the indexes were written whole no longer show them.
  table.indexPages.pages.clear();
  // Indexes that could not be written whole stay held, failing every later flush as this one.
  if (!err.ok()) return err;
  table.deferred.reset();
  return writeTableCounts(allocator.file(), table.def);
}

void TableWriter::noteNull(size_t k, RowPointer at) {
  NullRows& nulls = *table_.nullRows;
  nulls.byColumn[k].push_back(at.stored());
  if (++nulls.entries > kMaxNullRows) table_.nullRows.reset();
}

DbError TableWriter::considerDeferral() {
  table_.deferralConsidered = true;
  const TableDef& def = table_.def;
  // Only a table with no rows and no pages has no Nulls this process has not seen written.
  std::vector<uint32_t> owned;
  DbError err = readUsageMap(allocator_.file(), def.ownedMap, &owned);
  if (!err.ok()) return err;
  if (def.rowCount == 0 && owned.empty()) {
    table_.nullRows = std::make_unique<NullRows>();
    table_.nullRows->byColumn.resize(def.columns.size());
  }
  if (def.rowCount != 0 || def.realIndexes.empty()) return {};
  for (const RealIndexDef& index : def.realIndexes) {
    if (index.uniqueCount != 0) return {};
    IndexPageContents root;
    err = readIndexPage(allocator_.file(), index.rootPage, &root);
    if (!err.ok()) return err;
    if (root.type != kPageIndexLeaf || !root.entries.empty()) return {};
  }
  table_.deferred = std::make_unique<DeferredIndexes>(def);
  return {};
}

DbError TableWriter::reserveAutonumber(int32_t* value) {
  TableDef& def = table_.def;
  bool hasAuto = false;
  for (const ColumnDef& c : def.columns) hasAuto = hasAuto || c.isAutoLong();
  if (!hasAuto) {
    return makeError(DbErrorNumber::InvalidArgument,
                     "The table '" + def.name + "' has no autonumber column.");
  }
  if (def.lastAutonumber >= 0x7FFFFFFF) {
    return makeError(DbErrorNumber::NumericOverflow,
                     "The autonumbers of table '" + def.name + "' are used up.");
  }
  ++def.lastAutonumber;
  *value = static_cast<int32_t>(def.lastAutonumber);
  return writeTableCounts(allocator_.file(), def);
}

DbError TableWriter::checkRules(const std::vector<Variant>& values) const {
  const TableDef& def = table_.def;
  for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
    const ColumnRules& rule = table_.rules[k];
    const ColumnDef& c = def.columns[k];
    if (rule.required && values[k].isNull() && c.type() != ColumnType::Boolean) {
      return makeError(DbErrorNumber::ValueRequired,
                       "The field '" + def.name + "." + c.name +
                           "' cannot contain a Null value because its Required property is "
                           "set. Enter a value in this field.");
    }
    if (!rule.allowZeroLength && values[k].type() == VariantType::Text &&
        values[k].asText().empty()) {
      return makeError(DbErrorNumber::ZeroLengthNotAllowed,
                       "The field '" + def.name + "." + c.name +
                           "' cannot be a zero-length string.");
    }
  }
  return {};
}

DbError TableWriter::indexKeys(const std::vector<Variant>& values,
                               std::vector<std::vector<uint8_t>>* keys, bool checkRequired) const {
  const TableDef& def = table_.def;
  const DatabaseHeader& header = allocator_.file().header();
  keys->resize(def.realIndexes.size());
  for (size_t i = 0; i < def.realIndexes.size(); ++i) {
    const RealIndexDef& index = def.realIndexes[i];
    if (checkRequired && (index.flags & kIndexRequired) && anyNull(index, def, values)) {
      return indexNullError(def, i);
    }
    DbError err = encodeIndexKey(header, def, index, values, &(*keys)[i]);
    if (!err.ok()) return err;
  }
  return {};
}

DbError TableWriter::checkUnique(const std::vector<std::vector<uint8_t>>& keys,
                                 const std::vector<Variant>& values, const RowPointer* self) {
  TableDef& def = table_.def;
  for (size_t i = 0; i < def.realIndexes.size(); ++i) {
    const RealIndexDef& index = def.realIndexes[i];
    // Keys whose columns are all Null are exempt, as Jet exempts them.
    if (!(index.flags & kIndexUnique) || allNull(index, def, values)) continue;
    bool found = false, answered = false;
    DbError err;
    if (table_.deferred && table_.deferred->holds(i)) {
      err = table_.deferred->contains(allocator_, def, i, keys[i], &found, &answered);
      if (!answered) table_.indexPages.pages.clear();
    }
    if (err.ok() && !answered) {
      err = indexContainsKey(allocator_.file(), index, keys[i], self, &found, &table_.indexPages);
    }
    if (!err.ok()) return err;
    if (found) {
      std::string name;
      for (const IndexDef& li : def.indexes) {
        if (li.realIndex == i) name = li.name;
      }
      return makeError(DbErrorNumber::DuplicateKey,
                       "The changes were not successful because they would create duplicate "
                       "values in the index '" + name + "' of table '" + def.name + "'.");
    }
  }
  return {};
}

DbError TableWriter::encodeFields(const std::vector<Variant>& values,
                                  const std::vector<RawField>* raw,
                                  const ColumnFlags* keep, const PageFile* copiedFrom) {
  const TableDef& def = table_.def;
  const DatabaseHeader& header = allocator_.file().header();
  RowScratch& scratch = table_.scratch;
  std::vector<EncodedField>& fields = scratch.fields;
  std::vector<uint8_t>& bytes = scratch.fieldBytes;
  fields.assign(def.columns.size(), EncodedField{});
  bytes.clear();
  auto kept = [&](size_t k) { return keep && (*keep)[k]; };
  // First with bare headers for long values, to refuse a row that cannot fit before anything
  // is written.
  bool anyLong = false;
  for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
    const ColumnDef& c = def.columns[k];
    EncodedField& field = fields[k];
    field.offset = static_cast<uint32_t>(bytes.size());
    if (isLongValueType(c.typeCode)) {
      // A zero-length field, which has no header, reads as Null: it stays so.
      field.present = kept(k) || copiedFrom ? (*raw)[k].present && !(*raw)[k].bytes.empty()
                                            : !values[k].isNull();
      if (field.present) {
        bytes.resize(bytes.size() + kLongValueHeaderSize, 0);
        field.length = kLongValueHeaderSize;
        anyLong = true;
      }
    } else if (kept(k)) {
      const RawField& r = (*raw)[k];
      field.present = r.present;
      if (r.present && c.type() != ColumnType::Boolean) bytes.insert(bytes.end(), r.bytes.begin(), r.bytes.end());
      field.length = static_cast<uint32_t>(bytes.size() - field.offset);
    } else {
      encodeScalar(header, c, values[k], &bytes, &field);
    }
  }
  if (!anyLong) return encodeRow(header.format[0], def, fields, bytes, 0, &scratch.row);
  size_t probe = 0;
  DbError err = measureRow(header.format[0], def, fields, bytes, &probe, &scratch.row);
  if (!err.ok()) return err;
  size_t room = maxRowSize(*header.format) - probe;
  for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
    const ColumnDef& c = def.columns[k];
    EncodedField& out = fields[k];
    if (!isLongValueType(c.typeCode) || !out.present) continue;
    out.offset = static_cast<uint32_t>(bytes.size());
    if (kept(k)) {
      bytes.insert(bytes.end(), (*raw)[k].bytes.begin(), (*raw)[k].bytes.end());
    } else {
      std::span<const uint8_t> data;
      if (copiedFrom) {
        // The value as the source stores it; Memo text that would not be stored so again is
        // taken through its text.
        const std::span<const uint8_t> field = (*raw)[k].bytes;
        if (field.size() >= kLongValueHeaderSize &&
            (readU32(field, 0) & kLongValueKindMask) == kLongValueInline &&
            (readU32(field, 0) & kLongValueLengthMask) <= field.size() - kLongValueHeaderSize) {
          data = field.subspan(kLongValueHeaderSize, readU32(field, 0) & kLongValueLengthMask);
        } else {
          err = readLongValue(*copiedFrom, field, c.name, &scratch.copied);
          if (!err.ok()) return err;
          data = scratch.copied;
        }
        if (c.type() == ColumnType::Memo && !storedAsEncoded(header, c, data)) {
          // From the bytes in hand: a source being consumed gives a page up once it is read.
          const Variant text =
              longValueFromBytes(*copiedFrom, c, std::vector<uint8_t>(data.begin(), data.end()));
          scratch.longValue.clear();
          encodeMemoText(header, c, text.asText(), &scratch.longValue);
          data = scratch.longValue;
        }
      } else if (c.type() == ColumnType::Memo) {
        scratch.longValue.clear();
        encodeMemoText(header, c, values[k].asText(), &scratch.longValue);
        data = scratch.longValue;
      } else {
        data = values[k].asBinary();
      }
      const bool mayInline = data.size() <= kMaxInlineLongValue && data.size() <= room;
      err = writeLongValue(allocator_, &table_.longValues[k], data, mayInline, &bytes);
      if (!err.ok()) return err;
    }
    out.length = static_cast<uint32_t>(bytes.size() - out.offset);
    room -= std::min<size_t>(room, out.length - kLongValueHeaderSize);
  }
  return encodeRow(header.format[0], def, fields, bytes, 0, &scratch.row);
}

DbError TableWriter::placeRow(std::span<const uint8_t> row, uint16_t flags, RowPointer* where) {
  PageFile& file = allocator_.file();
  const FormatDescriptor& f = file.format();
  TableDef& def = table_.def;
  Page page;
  if (table_.currentDataPage == 0) {
    // Carry on with the last page the table owns that still has room.
    std::vector<uint32_t> free;
    DbError err = readUsageMap(file, def.freeMap, &free);
    if (!err.ok()) return err;
    for (auto it = free.rbegin(); it != free.rend(); ++it) {
      err = file.readPage(*it, &page);
      if (!err.ok()) return err;
      if (page[0] == kPageData && readU32(page, kDataOwnerOffset) == def.tdefPage) {
        table_.currentDataPage = *it;
        break;
      }
    }
  }
  if (table_.currentDataPage != 0) {
    std::span<uint8_t> current;
    DbError err = file.changePage(table_.currentDataPage, &current);
    if (!err.ok()) return err;
    uint16_t slot = 0;
    if (current[0] == kPageData && readU32(current, kDataOwnerOffset) == def.tdefPage &&
        appendRow(f, current, row, &slot, flags)) {
      *where = {table_.currentDataPage, static_cast<uint8_t>(slot)};
      return {};
    }
    err = updateUsageMap(allocator_, def.freeMap, table_.currentDataPage, false);
    if (!err.ok()) return err;
  }
  uint32_t pageNo = 0;
  std::span<uint8_t> fresh;
  DbError err = allocator_.allocateBlank(&pageNo, &fresh);
  if (!err.ok()) return err;
  initDataPage(f, fresh, def.tdefPage);
  uint16_t slot = 0;
  appendRow(f, fresh, row, &slot, flags);
  table_.currentDataPage = pageNo;
  err = updateUsageMap(allocator_, def.ownedMap, pageNo, true);
  if (err.ok()) err = updateUsageMap(allocator_, def.freeMap, pageNo, true);
  *where = {pageNo, static_cast<uint8_t>(slot)};
  return err;
}

DbError TableWriter::insertRow(const std::vector<Variant>& given_values,
                               const ColumnFlags& given, RowLocation* where) {
  TableDef& def = table_.def;
  RowScratch& scratch = table_.scratch;
  // What the table fills in itself (autonumbers, defaults, Yes/No for Null) goes into a copy
  // of the row, made only when there is any.
  const std::vector<Variant>* row = &given_values;
  auto fill = [&](size_t k, Variant v) {
    if (row == &given_values) {
      scratch.values = given_values;
      row = &scratch.values;
    }
    scratch.values[k] = std::move(v);
  };
  for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
    const ColumnDef& c = def.columns[k];
    const Variant& value = (*row)[k];
    if (c.isAutoLong() && value.isNull()) {
      int32_t next = 0;
      DbError err = reserveAutonumber(&next);
      if (!err.ok()) return err;
      fill(k, Variant(next));
    } else if (!given[k] && table_.rules[k].hasDefault) {
      fill(k, table_.rules[k].defaultValue);
    } else if (c.type() == ColumnType::Boolean && value.isNull()) {
      fill(k, Variant(false));  // a Yes/No column has no Null
    }
  }
  const std::vector<Variant>& values = *row;
  DbError err = checkRules(values);
  if (!err.ok()) return err;
  if (!table_.deferralConsidered) {
    err = considerDeferral();
    if (!err.ok()) return err;
  }
  std::vector<std::vector<uint8_t>>& keys = scratch.keys;
  err = indexKeys(values, &keys);
  if (!err.ok()) return err;
  err = checkUnique(keys, values, nullptr);
  if (!err.ok()) return err;
  err = encodeFields(values, nullptr, nullptr);
  if (!err.ok()) return err;
  RowPointer at;
  err = placeRow(scratch.row, 0, &at);
  if (!err.ok()) return err;
  for (size_t k = 0, end = def.columns.size(); k < end && table_.nullRows; ++k) {
    if (values[k].isNull()) noteNull(k, at);
  }
  DeferredIndexes* deferred = table_.deferred.get();
  if (deferred) deferred->newRow(at);
  for (size_t i = 0; i < def.realIndexes.size(); ++i) {
    RealIndexDef& index = def.realIndexes[i];
    if ((index.flags & kIndexIgnoreNulls) && allNull(index, def, values)) continue;
    bool taken = false, newKey = false;
    if (deferred && deferred->holds(i)) {
      err = deferred->add(allocator_, def, i, keys[i], &taken, &newKey);
      if (!err.ok()) return err;
      if (!taken) table_.indexPages.pages.clear();
    }
    if (!taken) err = indexInsert(allocator_, def, index, keys[i], at, &newKey, &table_.indexPages);
    if (!err.ok()) return err;
    if (newKey) ++index.uniqueCount;
  }
  if (deferred && deferred->heldBytes() > kMaxDeferredBytes) {
    err = writeDeferredIndexes(allocator_, table_);
    if (!err.ok()) return err;
  }
  for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
    // An autonumber given explicitly moves the counter past it.
    if (def.columns[k].isAutoLong() && values[k].type() == VariantType::Long &&
        values[k].asLong() > 0 && static_cast<uint32_t>(values[k].asLong()) > def.lastAutonumber) {
      def.lastAutonumber = static_cast<uint32_t>(values[k].asLong());
    }
  }
  ++def.rowCount;
  err = writeTableCounts(allocator_.file(), def);
  if (!err.ok()) return err;
  *where = {at.page, at.row};
  return {};
}

namespace {

// Whether encoding the fields of a row, each kept as it is stored, would give back the row's
// bytes, but for bytes no reader looks at (under a Null fixed column, mask bits past the
// column count, the unused part of an inline long value's header): a Jet 4 row written with
// every column of `def` (whose places it shares), no padding between the fixed area and the
// variable data, nothing after the data but the offsets, and every field in the form it is
// written in. Long values must be inline (one on pages is stored anew) with their header (a
// field without one is written as Null).
bool rowAsEncoded(const DatabaseHeader& header, const TableDef& def, size_t fixedEnd,
                  const RowLayout& layout, const std::vector<RawField>& raw) {
  const FormatDescriptor& f = *header.format;
  const size_t v = def.varColumns;
  if (f.rowVarOffsetSize != 2 || layout.columns != def.maxColumns || layout.varSlots != v) {
    return false;
  }
  const size_t head = layout.countSize + fixedEnd;
  const bool unpadded =
      v == 0 ? layout.dataEnd == head : layout.offsets[0] == head && layout.offsets[v] == layout.dataEnd;
  if (!unpadded) return false;
  for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
    const ColumnDef& c = def.columns[k];
    const RawField& r = raw[k];
    if (c.type() == ColumnType::Boolean) continue;
    if (!c.isFixed()) {
      if (c.varSlot >= v) return false;
      // An absent field is written with no bytes.
      if (!r.present && layout.offsets[c.varSlot + 1] != layout.offsets[c.varSlot]) return false;
    }
    if (!r.present) continue;
    if (isLongValueType(c.typeCode)) {
      const std::span<const uint8_t> b = r.bytes;
      if (b.size() < kLongValueHeaderSize ||
          (readU32(b, 0) & kLongValueKindMask) != kLongValueInline ||
          (readU32(b, 0) & kLongValueLengthMask) != b.size() - kLongValueHeaderSize) {
        return false;
      }
      if (c.type() == ColumnType::Memo && !storedAsEncoded(header, c, b.subspan(kLongValueHeaderSize))) return false;
    } else if (!storedAsEncoded(header, c, r.bytes)) {
      return false;
    }
  }
  return true;
}

}  // namespace

DbError TableWriter::copyRow(const PageFile& source, const TableDef& sourceDef, const TableScan& scan,
                             bool sameLayout, RowPointer* where) {
  const TableDef& def = table_.def;
  table_.nullRows.reset();  // not kept for rows copied as they are
  const DatabaseHeader& header = allocator_.file().header();
  const std::vector<RawField>& raw = scan.fields();
  if (sameLayout && rowAsEncoded(header, def, scan.fixedEnd(), scan.layout(), raw)) {
    return placeRow(scan.layout().row, 0, where);
  }
  RowScratch& scratch = table_.scratch;
  std::vector<Variant>& values = scratch.values;
  values.assign(def.columns.size(), Variant());
  ColumnFlags keep(def.columns.size(), false);
  for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
    const ColumnDef& c = def.columns[k];
    if (isLongValueType(c.typeCode)) continue;
    keep[k] = !raw[k].present || c.type() == ColumnType::Boolean || storedAsEncoded(header, c, raw[k].bytes);
    if (keep[k]) continue;
    DbError err = decodeFieldValue(source, sourceDef.columns[k], raw[k], &values[k]);
    if (!err.ok()) return err;
  }
  DbError err = encodeFields(values, &raw, &keep, &source);
  if (!err.ok()) return err;
  return placeRow(scratch.row, 0, where);
}

DbError TableWriter::updateRow(RowLocation where, const std::vector<RawField>& oldRaw,
                               const std::vector<std::pair<int, Variant>>& changes) {
  const RowPointer self{where.page, static_cast<uint8_t>(where.slot)};
  const std::vector<Variant>& values = table_.scratch.values;
  RowUpdate update;
  DbError err = readUpdateValues(oldRaw, changes, &update);
  if (err.ok()) err = checkRules(values);
  if (err.ok()) err = updateKeys(self, &update);
  if (err.ok()) err = encodeFields(values, &oldRaw, &update.keep);
  if (!err.ok()) return err;
  // A value that becomes Null lists its row (a list only ever names too many rows).
  for (const auto& [k, value] : changes) {
    if (table_.nullRows && values[k].isNull()) noteNull(k, self);
  }
  err = rewriteRow(where);
  if (err.ok()) err = moveIndexEntries(self, update);
  if (!err.ok()) return err;
  return writeTableCounts(allocator_.file(), table_.def);
}

DbError TableWriter::readUpdateValues(const std::vector<RawField>& oldRaw,
                                      const std::vector<std::pair<int, Variant>>& changes,
                                      RowUpdate* update) {
  const TableDef& def = table_.def;
  const size_t n = def.columns.size();
  // The row's values, old and new, where something looks at them: the columns changed, those
  // with rules, and those of the indexes a change reaches or that refuse Nulls. The others
  // stay Null here and keep their bytes.
  ColumnFlags& keep = update->keep;
  keep.assign(n, true);
  std::vector<bool> wanted(n, false);
  std::vector<Variant>& values = table_.scratch.values;
  std::vector<Variant>& oldValues = table_.scratch.oldValues;
  values.assign(n, Variant());
  oldValues.assign(n, Variant());
  for (const auto& [k, value] : changes) {
    keep[k] = false;
    wanted[k] = true;
    values[k] = def.columns[k].type() == ColumnType::Boolean && value.isNull() ? Variant(false) : value;
  }
  auto columnIndex = [&](uint16_t number) {
    size_t k = 0;
    while (k < n && def.columns[k].number != number) ++k;
    return k;
  };
  update->reached.assign(def.realIndexes.size(), false);
  for (size_t i = 0; i < def.realIndexes.size(); ++i) {
    const RealIndexDef& index = def.realIndexes[i];
    for (const IndexColumn& ic : index.columns) {
      const size_t k = columnIndex(ic.columnNumber);
      if (k < n && !keep[k]) update->reached[i] = true;
    }
    if (!update->reached[i] && !(index.flags & kIndexRequired)) continue;
    for (const IndexColumn& ic : index.columns) {
      const size_t k = columnIndex(ic.columnNumber);
      if (k < n) wanted[k] = true;
    }
  }
  for (size_t k = 0; k < n; ++k) {
    if (table_.rules[k].required || !table_.rules[k].allowZeroLength) wanted[k] = true;
    if (!wanted[k]) continue;
    DbError err = decodeFieldValue(allocator_.file(), def.columns[k], oldRaw[k], &oldValues[k]);
    if (!err.ok()) return err;
    if (keep[k]) {
      values[k] = oldValues[k];
    } else if (values[k] == oldValues[k]) {
      keep[k] = true;  // the same value keeps its bytes, a long value its storage
    }
  }
  return {};
}

DbError TableWriter::updateKeys(RowPointer self, RowUpdate* update) {
  const TableDef& def = table_.def;
  const PageFile& file = allocator_.file();
  const std::vector<Variant>& values = table_.scratch.values;
  const std::vector<Variant>& oldValues = table_.scratch.oldValues;
  std::vector<std::vector<uint8_t>>& oldKeys = table_.scratch.oldKeys;
  std::vector<std::vector<uint8_t>>& keys = table_.scratch.keys;
  oldKeys.resize(def.realIndexes.size());
  keys.resize(def.realIndexes.size());
  update->changedKeys.assign(def.realIndexes.size(), false);
  bool anyChanged = false;
  for (size_t i = 0; i < def.realIndexes.size(); ++i) {
    const RealIndexDef& index = def.realIndexes[i];
    if ((index.flags & kIndexRequired) && anyNull(index, def, values)) {
      return indexNullError(def, i);
    }
    if (!update->reached[i]) continue;
    // The row as it was may hold what the rules now refuse (a Null in a required index);
    // only the new values answer to them.
    DbError err = encodeIndexKey(file.header(), def, index, oldValues, &oldKeys[i]);
    if (err.ok()) err = encodeIndexKey(file.header(), def, index, values, &keys[i]);
    if (!err.ok()) return err;
    update->changedKeys[i] = keys[i] != oldKeys[i];
    anyChanged = anyChanged || update->changedKeys[i];
  }
  // Entries change in the B-trees: held-back ones go there first.
  if (anyChanged) {
    DbError err = writeDeferredIndexes(allocator_, table_);
    if (!err.ok()) return err;
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!update->changedKeys[i] || !(def.realIndexes[i].flags & kIndexUnique) ||
        allNull(def.realIndexes[i], def, values)) {
      continue;
    }
    bool found = false;
    DbError err = indexContainsKey(file, def.realIndexes[i], keys[i], &self, &found, &table_.indexPages);
    if (!err.ok()) return err;
    if (found) {
      return makeError(DbErrorNumber::DuplicateKey,
                       "The changes were not successful because they would create duplicate "
                       "values in an index of table '" + def.name + "'.");
    }
  }
  return {};
}

DbError TableWriter::rewriteRow(RowLocation where) {
  const TableDef& def = table_.def;
  PageFile& file = allocator_.file();
  const FormatDescriptor& f = file.format();
  // Where the row lives now: its own slot, or the slot its pointer names. The pages are
  // changed in the cache itself; a span holds only until the next call on the file.
  std::span<uint8_t> page;
  DbError err = file.changePage(where.page, &page);
  if (!err.ok()) return err;
  RowSlot slot;
  err = dataRowSlot(file, page, where.page, where.slot, &slot);
  if (!err.ok()) return err;
  RowPointer home{where.page, static_cast<uint8_t>(where.slot)};
  RowSlot homeSlot = slot;
  std::span<uint8_t> homePage = page;
  // A moved row may have moved again: follow the pointers to where its bytes are.
  for (int hop = 0; homeSlot.overflow; ++hop) {
    if (hop >= kMaxOverflowHops || homeSlot.length() < kOverflowPointerSize) {
      return file.corrupt("page " + std::to_string(home.page) + ": row " +
                          std::to_string(home.row) + " has a broken pointer to where it moved");
    }
    home = RowPointer::fromStored(readU32(homePage, homeSlot.start));
    err = file.changePage(home.page, &homePage);
    if (err.ok()) err = dataRowSlot(file, homePage, home.page, home.row, &homeSlot);
    if (!err.ok()) return err;
  }
  std::vector<uint8_t>& row = table_.scratch.row;
  // encodeFields built the row unpadded; one shorter than its place is padded to fill it.
  if (row.size() < homeSlot.length()) {
    err = encodeRow(f, def, table_.scratch.fields, table_.scratch.fieldBytes, homeSlot.length(), &row);
    if (!err.ok()) return err;
  }
  if (row.size() == homeSlot.length()) {
    std::copy(row.begin(), row.end(), homePage.begin() + homeSlot.start);
    return {};
  }
  // Longer, on a page with room for it: the row stays where it is.
  if (growRow(f, homePage, home.row, row)) return {};
  // Too long for its place: the row moves to a page with room; the slot it was found at
  // keeps a pointer to it, and the new slot is flagged deleted so that scans pass it by.
  if (slot.length() < kOverflowPointerSize) {
    return makeError(DbErrorNumber::RecordTooLarge,
                     "A row of table '" + def.name + "' cannot grow: it is too short to leave a "
                     "pointer behind.");
  }
  RowPointer moved;
  err = placeRow(row, kRowDeleted, &moved);
  if (!err.ok()) return err;
  if (slot.overflow) {
    // The place it moved to before is left: flagged as Jet flags a deleted row, so that
    // no reader, whichever flag it honours, returns that old copy.
    err = file.changePage(home.page, &homePage);
    if (!err.ok()) return err;
    const size_t oldEntry = f.dataRowTableOffset + 2u * home.row;
    writeU16(homePage, oldEntry, static_cast<uint16_t>(readU16(homePage, oldEntry) | kRowDeleted |
                                                       kRowOverflow));
  }
  err = file.changePage(where.page, &page);  // placing may have written this very page
  if (!err.ok()) return err;
  std::fill(page.begin() + slot.start, page.begin() + slot.end, 0);
  writeU32(page, slot.start, moved.stored());
  const size_t entry = f.dataRowTableOffset + 2u * where.slot;
  writeU16(page, entry, static_cast<uint16_t>(slot.start | kRowOverflow));
  return {};
}

DbError TableWriter::moveIndexEntries(RowPointer self, const RowUpdate& update) {
  TableDef& def = table_.def;
  const std::vector<Variant>& values = table_.scratch.values;
  const std::vector<Variant>& oldValues = table_.scratch.oldValues;
  for (size_t i = 0; i < update.changedKeys.size(); ++i) {
    if (!update.changedKeys[i]) continue;
    RealIndexDef& index = def.realIndexes[i];
    const bool oldStored = !((index.flags & kIndexIgnoreNulls) && allNull(index, def, oldValues));
    const bool newStored = !((index.flags & kIndexIgnoreNulls) && allNull(index, def, values));
    if (oldStored) {
      // The count of distinct keys follows the keys the index holds.
      bool keyGone = false;
      DbError err = indexRemove(allocator_, def, index, table_.scratch.oldKeys[i], self, &keyGone,
                                &table_.indexPages);
      if (!err.ok()) return err;
      if (keyGone && index.uniqueCount > 0) --index.uniqueCount;
    }
    if (newStored) {
      bool newKey = false;
      DbError err = indexInsert(allocator_, def, index, table_.scratch.keys[i], self, &newKey,
                                &table_.indexPages);
      if (!err.ok()) return err;
      if (newKey) ++index.uniqueCount;
    }
  }
  return {};
}

}  // namespace db
