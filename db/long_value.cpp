#include "db/long_value.h"

#include <algorithm>
#include <string>
#include <unordered_set>

#include "db/bytes.h"
#include "db/data_page.h"
#include "db/text_codec.h"
#include "db/usage_map.h"

namespace db {
namespace {

constexpr uint32_t kChainLinkSize = 4;
constexpr size_t kMaxUpFrontReserve = 1 << 20;

}  // namespace

DbError readLongValue(const PageFile& file, std::span<const uint8_t> field,
                      const std::string& columnName, std::vector<uint8_t>* data) {
  data->clear();
  auto where = [&] { return "the long value of column '" + columnName + "'"; };
  if (field.size() < kLongValueHeaderSize) {
    return file.corrupt(where() + " has a header of " + std::to_string(field.size()) + " bytes");
  }
  const uint32_t word = readU32(field, 0);
  const uint32_t length = word & kLongValueLengthMask;
  const uint32_t kind = word & kLongValueKindMask;
  if (kind == kLongValueInline) {
    if (length > field.size() - kLongValueHeaderSize) {
      return file.corrupt(where() + " is longer than the row that holds it");
    }
    data->assign(field.begin() + kLongValueHeaderSize,
                 field.begin() + kLongValueHeaderSize + length);
    return {};
  }
  if (kind != kLongValueSingle && kind != 0) return file.corrupt(where() + " has an unknown kind");
  // Every byte must come from a page of the file: a length beyond that is damage, and
  // refusing it here keeps a damaged length from allocating gigabytes.
  if (static_cast<uint64_t>(length) > static_cast<uint64_t>(file.pageCount()) * file.pageSize()) {
    return file.corrupt(where() + " claims " + std::to_string(length) + " bytes");
  }
  RowPointer ptr = RowPointer::fromStored(readU32(field, 4));
  Page page;
  std::span<const uint8_t> row;
  // Long values live on pages of their own ("LVAL"); a row found on any other page is one
  // that took the long-value page's place, and its bytes are not the value.
  auto readPiece = [&]() {
    DbError err = readRowAt(file, ptr, &page, &row);
    if (err.ok() && readU32(page, kDataOwnerOffset) != kLongValueOwner) {
      err = file.corrupt(where() + " lies on page " + std::to_string(ptr.page) +
                         ", which is not a long-value page");
    }
    return err;
  };
  if (kind == kLongValueSingle) {
    DbError err = readPiece();
    if (!err.ok()) return err;
    if (row.size() < length) return file.corrupt(where() + " is longer than its row");
    data->assign(row.begin(), row.begin() + length);
    return {};
  }
  // Grown as the chain is read: a damaged length must not reserve memory by itself.
  data->reserve(std::min<size_t>(length, kMaxUpFrontReserve));
  // Every row of a chain is visited once and adds data; a row seen again is a loop.
  std::unordered_set<uint32_t> visited;
  while (data->size() < length) {
    if (ptr.page == 0) {
      return file.corrupt(where() + " ends before its length of " + std::to_string(length) +
                          " bytes");
    }
    if (!visited.insert(ptr.stored()).second) {
      return file.corrupt(where() + " loops back to row " + std::to_string(ptr.row) + " of page " +
                          std::to_string(ptr.page));
    }
    DbError err = readPiece();
    if (!err.ok()) return err;
    if (row.size() <= kChainLinkSize) return file.corrupt(where() + " has a chain row without data");
    const size_t take = std::min<size_t>(row.size() - kChainLinkSize, length - data->size());
    data->insert(data->end(), row.begin() + kChainLinkSize, row.begin() + kChainLinkSize + take);
    ptr = RowPointer::fromStored(readU32(row, 0));
  }
  return {};
}

namespace {

// The longest long-value row: the page less its header and one slot entry, and four bytes
// that Jet leaves unused (Jet4 4076 = 4 + 4072 data bytes in a chain row; Jet3 2036 = 4 + 2032).
size_t maxLongValueRow(const FormatDescriptor& f) {
  return f.pageSize - f.dataRowTableOffset - 2 - (f.pageSize == kVersion3.pageSize ? 0 : 4);
}

// Puts one row on the column's current long-value page, or on a new one.
DbError placeRow(PageAllocator& allocator, LongValueTarget* target, std::span<const uint8_t> row,
                 RowPointer* where) {
  PageFile& file = allocator.file();
  const FormatDescriptor& f = file.format();
  Page page;
  if (target->currentPage == 0 && target->freeMap.page != 0) {
    // Carry on with the column's last page that still has room, as the file was left.
    std::vector<uint32_t> withRoom;
    DbError err = readUsageMap(file, target->freeMap, &withRoom);
    if (!err.ok()) return err;
    for (auto it = withRoom.rbegin(); it != withRoom.rend() && target->currentPage == 0; ++it) {
      err = file.readPage(*it, &page);
      if (!err.ok()) return err;
      if (page[0] == kPageData && readU32(page, kDataOwnerOffset) == kLongValueOwner) {
        target->currentPage = *it;
      }
    }
  }
  if (target->currentPage != 0) {
    std::span<uint8_t> current;
    DbError err = file.changePage(target->currentPage, &current);
    if (!err.ok()) return err;
    uint16_t slot = 0;
    if (current[0] == kPageData && readU32(current, kDataOwnerOffset) == kLongValueOwner &&
        appendRow(f, current, row, &slot)) {
      *where = {target->currentPage, static_cast<uint8_t>(slot)};
      return {};
    }
    // Full for this row: no longer a page with room.
    if (target->freeMap.page != 0) {
      err = updateUsageMap(allocator, target->freeMap, target->currentPage, false);
      if (!err.ok()) return err;
    }
  }
  uint32_t pageNo = 0;
  std::span<uint8_t> fresh;
  DbError err = allocator.allocateBlank(&pageNo, &fresh);
  if (!err.ok()) return err;
  initDataPage(f, fresh, kLongValueOwner);
  uint16_t slot = 0;
  appendRow(f, fresh, row, &slot);
  target->currentPage = pageNo;
  err = updateUsageMap(allocator, target->ownedMap, pageNo, true);
  if (err.ok() && target->freeMap.page != 0) {
    err = updateUsageMap(allocator, target->freeMap, pageNo, true);
  }
  *where = {pageNo, static_cast<uint8_t>(slot)};
  return err;
}

}  // namespace

DbError writeLongValue(PageAllocator& allocator, LongValueTarget* target,
                       std::span<const uint8_t> data, bool mayInline, std::vector<uint8_t>* field) {
  const FormatDescriptor& f = allocator.file().format();
  if (data.size() > kLongValueLengthMask) {
    return makeError(DbErrorNumber::FieldTooSmall, "A long value of " +
                                                      std::to_string(data.size()) +
                                                      " bytes is too large to store.");
  }
  const uint32_t length = static_cast<uint32_t>(data.size());
  const size_t header = field->size();
  field->resize(header + kLongValueHeaderSize, 0);
  if (mayInline && data.size() <= kMaxInlineLongValue) {
    writeU32(field->data() + header, 0, length | kLongValueInline);
    field->insert(field->end(), data.begin(), data.end());
    return {};
  }
  const size_t maxRow = maxLongValueRow(f);
  RowPointer first;
  if (data.size() <= maxRow) {
    DbError err = placeRow(allocator, target, data, &first);
    if (!err.ok()) return err;
    writeU32(field->data() + header, 0, length | kLongValueSingle);
  } else {
    // A chain: written from its last piece back, so that each row knows the next.
    const size_t chunk = maxRow - kChainLinkSize;
    const size_t pieces = (data.size() + chunk - 1) / chunk;
    RowPointer next;
    std::vector<uint8_t> row;
    for (size_t i = pieces; i-- > 0;) {
      const size_t at = i * chunk;
      const size_t n = std::min(chunk, data.size() - at);
      row.assign(kChainLinkSize, 0);
      writeU32(row.data(), 0, next.stored());
      row.insert(row.end(), data.begin() + at, data.begin() + at + n);
      DbError err = placeRow(allocator, target, row, &next);
      if (!err.ok()) return err;
    }
    first = next;
    writeU32(field->data() + header, 0, length);
  }
  writeU32(field->data() + header, 4, first.stored());
  return {};
}

DbError decodeFieldValue(const PageFile& file, const ColumnDef& column, const RawField& raw,
                         Variant* out) {
  if (!isLongValueType(column.typeCode) || !raw.present) return decodeScalar(file, column, raw, out);
  if (raw.bytes.empty()) {
    *out = Variant::null();
    return {};
  }
  std::vector<uint8_t> data;
  DbError err = readLongValue(file, raw.bytes, column.name, &data);
  if (!err.ok()) return err;
  *out = longValueFromBytes(file, column, std::move(data));
  return {};
}

Variant longValueFromBytes(const PageFile& file, const ColumnDef& column, std::vector<uint8_t>&& data) {
  if (column.type() == ColumnType::OLE) return Variant(std::move(data));
  if (file.format().textEncoding == TextEncoding::Utf16Le) return Variant(decodeJet4Text(data));
  return Variant(decodeCodePage(data, file.header().codePage));
}

}  // namespace db
