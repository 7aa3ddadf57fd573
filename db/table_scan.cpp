#include "db/table_scan.h"

#include <algorithm>
#include <string>

#include "db/bytes.h"
#include "db/long_value.h"
#include "db/usage_map.h"

namespace db {

DbError TableScan::rewind() {
  DbError err = readUsageMap(file_, def_.ownedMap, &pages_);
  if (!err.ok()) return err;
  pageIndex_ = 0;
  nextSlot_ = -1;
  slotCount_ = 0;
  fields_.clear();
  fieldsSplit_ = true;
  movedRows_.clear();
  rowsMet_ = 0;
  whole_ = true;
  writesAtRewind_ = file_.writeCount();
  return {};
}

DbError TableScan::checkRowCount() const {
  if (!userTable_ || !whole_ || file_.writeCount() != writesAtRewind_ ||
      rowsMet_ == def_.rowCount) {
    return {};
  }
  return file_.corrupt("table '" + def_.name + "' holds " + std::to_string(rowsMet_) +
                       " rows, but its definition counts " + std::to_string(def_.rowCount) +
                       "; repair the file in Access first, for example with Compact and "
                       "Repair");
}

DbError TableScan::readDataPage(size_t index) {
  const uint32_t pageNo = pages_[index];
  DbError err = file_.readPage(pageNo, &page_);
  if (!err.ok()) return err;
  // Access leaves the pages it releases out of the owned map, so a listed page that is not
  // this table's was zeroed or overwritten, and the rows it held are lost.
  if (page_[0] != kPageData || readU32(page_, kDataOwnerOffset) != def_.tdefPage) {
    return file_.corrupt("page " + std::to_string(pageNo) + ", listed among the pages of table '" +
                         def_.name + "', is not one of its data pages");
  }
  return dataRowCount(file_, page_, pageNo, &slotCount_);
}

DbError TableScan::next(bool* found) {
  *found = false;
  while (pageIndex_ < pages_.size()) {
    if (nextSlot_ < 0) {
      DbError err = readDataPage(pageIndex_);
      if (!err.ok()) return err;
      nextSlot_ = 0;
    }
    while (nextSlot_ < slotCount_) {
      const auto slot = static_cast<uint16_t>(nextSlot_++);
      bool live = false;
      DbError err = loadSlot(pages_[pageIndex_], slot, &live);
      if (!err.ok()) return err;
      if (live) {
        ++rowsMet_;
        *found = true;
        return {};
      }
    }
    ++pageIndex_;
    nextSlot_ = -1;
  }
  return checkRowCount();
}

DbError TableScan::last(bool* found) {
  *found = false;
  whole_ = false;
  for (size_t i = pages_.size(); i-- > 0;) {
    DbError err = readDataPage(i);
    if (!err.ok()) return err;
    for (int slot = slotCount_ - 1; slot >= 0; --slot) {
      bool live = false;
      err = loadSlot(pages_[i], static_cast<uint16_t>(slot), &live);
      if (!err.ok()) return err;
      if (live) {
        pageIndex_ = i;
        nextSlot_ = slot + 1;
        *found = true;
        return {};
      }
    }
  }
  pageIndex_ = pages_.size();
  return {};
}

DbError TableScan::load(RowLocation where) {
  whole_ = false;
  // Find the page in the map (its pages are in ascending order) so that a following next()
  // carries on from there.
  auto found = std::lower_bound(pages_.begin(), pages_.end(), where.page);
  for (size_t i = static_cast<size_t>(found - pages_.begin()); i < pages_.size(); ++i) {
    if (pages_[i] != where.page) break;
    DbError err = file_.readPage(where.page, &page_);
    if (!err.ok()) return err;
    err = dataRowCount(file_, page_, where.page, &slotCount_);
    if (!err.ok()) return err;
    if (where.slot >= slotCount_) break;
    pageIndex_ = i;
    nextSlot_ = where.slot + 1;
    bool live = false;
    loading_ = true;
    err = loadSlot(where.page, where.slot, &live);
    loading_ = false;
    if (!err.ok()) return err;
    if (live) return {};
    break;
  }
  return makeError(DbErrorNumber::NoCurrentRecord,
                   "The row of table '" + def_.name + "' is no longer there.");
}

DbError TableScan::loadSlot(uint32_t pageNo, uint16_t slot, bool* live) {
  *live = false;
  RowSlot rs;
  DbError err = dataRowSlot(file_, page_, pageNo, slot, &rs);
  if (!err.ok()) return err;
  if (rs.deleted) return {};
  location_ = {pageNo, slot};
  std::span<const uint8_t> row = std::span<const uint8_t>(page_).subspan(rs.start, rs.length());
  uint32_t rowPageNo = pageNo;
  for (int hop = 0; rs.overflow; ++hop) {
    if (hop >= kMaxOverflowHops || row.size() < kOverflowPointerSize) {
      return file_.corrupt("page " + std::to_string(rowPageNo) + ": row " +
                           std::to_string(slot) + " has a broken overflow pointer");
    }
    const RowPointer target = RowPointer::fromStored(readU32(row, 0));
    // A row found again through load() makes the same claim as before; only the walk of
    // next() must not meet a second one.
    if (!loading_ && !movedRows_.insert(target.stored()).second) {
      return file_.corrupt("page " + std::to_string(rowPageNo) + ": row " + std::to_string(slot) +
                           " points to a row that another row points to already");
    }
    err = file_.readPage(target.page, &rowPage_);
    if (!err.ok()) return err;
    uint16_t count = 0;
    if (rowPage_[0] != kPageData || !(err = dataRowCount(file_, rowPage_, target.page, &count)).ok() ||
        target.row >= count) {
      return err.ok() ? file_.corrupt("page " + std::to_string(rowPageNo) +
                                      ": an overflow pointer names a row that does not exist")
                      : err;
    }
    err = dataRowSlot(file_, rowPage_, target.page, target.row, &rs);
    if (!err.ok()) return err;
    rowPageNo = target.page;
    row = std::span<const uint8_t>(rowPage_).subspan(rs.start, rs.length());
    // The target slot carries the deleted flag so that scans skip it; only 0x4000 matters.
  }
  err = readRowLayout(file_, def_, row, rowPageNo, fixedEnd_, &layout_);
  if (!err.ok()) return err;
  fieldsSplit_ = false;
  *live = true;
  return {};
}

const std::vector<RawField>& TableScan::fields() const {
  if (!fieldsSplit_) {
    fields_.resize(def_.columns.size());
    for (size_t k = 0, end = def_.columns.size(); k < end; ++k) fields_[k] = rowField(layout_, def_.columns[k]);
    fieldsSplit_ = true;
  }
  return fields_;
}

DbError TableScan::value(size_t index, Variant* out) const {
  const ColumnDef& col = def_.columns[index];
  return decodeFieldValue(file_, col, fieldsSplit_ ? fields_[index] : rowField(layout_, col), out);
}

bool TableScan::isNull(size_t index) const {
  const ColumnDef& col = def_.columns[index];
  const RawField raw = fieldsSplit_ ? fields_[index] : rowField(layout_, col);
  if (col.type() == ColumnType::Boolean) return false;
  // A zero-length Memo or OLE field has no header: Jet reads it as Null.
  return !raw.present || (isLongValueType(col.typeCode) && raw.bytes.empty());
}

DbError readRowValues(const PageFile&, const TableDef& def, const TableScan& scan,
                      std::vector<Variant>* values) {
  values->resize(def.columns.size());
  for (size_t i = 0; i < def.columns.size(); ++i) {
    DbError err = scan.value(i, &(*values)[i]);
    if (!err.ok()) return err;
  }
  return {};
}

}  // namespace db
