#include "db/long_value.h"

#include <algorithm>
#include <string>

#include "db/bytes.h"
#include "db/data_page.h"

namespace db {
namespace {

constexpr uint32_t kChainLinkSize = 4;

}  // namespace

DbError readLongValue(const PageFile& file, std::span<const uint8_t> field,
                      const std::string& columnName, std::vector<uint8_t>* data) {
  data->clear();
  const std::string where = "the long value of column '" + columnName + "'";
  if (field.size() < kLongValueHeaderSize) {
    return file.corrupt(where + " has a header of " + std::to_string(field.size()) + " bytes");
  }
  const uint32_t word = readU32(field, 0);
  const uint32_t length = word & kLongValueLengthMask;
  const uint32_t kind = word & kLongValueKindMask;
  if (kind == kLongValueInline) {
    if (length > field.size() - kLongValueHeaderSize) {
      return file.corrupt(where + " is longer than the row that holds it");
    }
    data->assign(field.begin() + kLongValueHeaderSize,
                 field.begin() + kLongValueHeaderSize + length);
    return {};
  }
  if (kind != kLongValueSingle && kind != 0) return file.corrupt(where + " has an unknown kind");
  // Every byte must come from a page of the file: a length beyond that is damage, and
  // refusing it here keeps a damaged length from allocating gigabytes.
  if (static_cast<uint64_t>(length) > static_cast<uint64_t>(file.pageCount()) * file.pageSize()) {
    return file.corrupt(where + " claims " + std::to_string(length) + " bytes");
  }
  RowPointer ptr = RowPointer::fromStored(readU32(field, 4));
  Page page;
  std::span<const uint8_t> row;
  if (kind == kLongValueSingle) {
    DbError err = readRowAt(file, ptr, &page, &row);
    if (!err.ok()) return err;
    if (row.size() < length) return file.corrupt(where + " is longer than its row");
    data->assign(row.begin(), row.begin() + length);
    return {};
  }
  data->reserve(length);
  // Each link moves to another row; more links than rows in the file means a loop.
  uint64_t steps = 0;
  const uint64_t maxSteps = static_cast<uint64_t>(file.pageCount()) * 256;
  while (data->size() < length) {
    if (ptr.page == 0 || ++steps > maxSteps) {
      return file.corrupt(where + " ends before its length of " + std::to_string(length) +
                          " bytes");
    }
    DbError err = readRowAt(file, ptr, &page, &row);
    if (!err.ok()) return err;
    if (row.size() < kChainLinkSize) return file.corrupt(where + " has a broken chain row");
    const size_t take = std::min<size_t>(row.size() - kChainLinkSize, length - data->size());
    data->insert(data->end(), row.begin() + kChainLinkSize, row.begin() + kChainLinkSize + take);
    ptr = RowPointer::fromStored(readU32(row, 0));
  }
  return {};
}

}  // namespace db
