// table_scan.h -- the rows of one table, page by page in the order of its owned-pages map,
// slot by slot. Deleted slots are skipped; a slot that points elsewhere (overflow) yields the
// row it points to, at the pointer's place. Only one page is held at a time.
//
// Every page the owned-pages map lists must be one of the table's data pages, and a walk of a
// user table from rewind() to its end must meet as many rows as the definition counts: a
// page lost, zeroed or overwritten would otherwise read as a shorter table. The count is only
// held to a walk during which nothing was written to the file (rows added or moved while a
// dynaset walks may or may not be met), and not to system tables, whose counts Access does
// not promise to keep.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "db/row_codec.h"

namespace db {

// A row that moved leaves a row pointer of this size in its old slot; the row it points to may
// have moved again, and a longer chain than kMaxOverflowHops is a loop in a damaged file.
inline constexpr uint32_t kOverflowPointerSize = 4;
inline constexpr int kMaxOverflowHops = 16;

// Where a row was found: its page and the slot of its row-offset entry.
struct RowLocation {
  uint32_t page = 0;
  uint16_t slot = 0;
  bool operator==(const RowLocation&) const = default;
};

class TableScan {
 public:
  // `userTable`: the catalogue lists the table as the user's own, so a complete walk is held
  // to the definition's row count.
  TableScan(const PageFile& file, const TableDef& def, bool userTable = false)
      : file_(file), def_(def), fixedEnd_(fixedAreaEnd(def)), userTable_(userTable) {}

  // Reads the owned-pages map and stands before the first row.
  DbError rewind();
  // Moves to the next live row; `found` is false past the last.
  DbError next(bool* found);
  // Loads the row at a location that next() returned earlier.
  DbError load(RowLocation where);
  // Moves to the last live row, reading the table's pages from its last one backwards;
  // `found` is false when there is none.
  DbError last(bool* found);
  // Whether the definition's row count is the table's, as far as this walk can tell: a walk
  // to the end from here will be held to it (see above).
  bool countHeldToDefinition() const { return userTable_ && walkIsWhole(); }
  // Whether the walk has gone from the first row with no load() and no write to the file.
  bool walkIsWhole() const { return whole_ && file_.writeCount() == writesAtRewind_; }
  // Pages the owned-pages map listed at rewind().
  size_t pageCount() const { return pages_.size(); }

  RowLocation location() const { return location_; }
  // Every column of the current row, split out when first asked for.
  const std::vector<RawField>& fields() const;
  // The current row's bytes and parts, as checked when it was loaded.
  const RowLayout& layout() const { return layout_; }
  // fixedAreaEnd of the table's definition.
  size_t fixedEnd() const { return fixedEnd_; }
  // The value of def.columns[index] of the current row; Memo and OLE are read in full.
  DbError value(size_t index, Variant* out) const;
  // Whether that value is Null, without reading it.
  bool isNull(size_t index) const;

 private:
  DbError loadSlot(uint32_t pageNo, uint16_t slot, bool* live);
  // Reads pages_[index] into page_, which must be one of the table's data pages, and its
  // slot count.
  DbError readDataPage(size_t index);
  DbError checkRowCount() const;

  const PageFile& file_;
  const TableDef& def_;
  std::vector<uint32_t> pages_;
  size_t pageIndex_ = 0;
  int nextSlot_ = 0;
  uint16_t slotCount_ = 0;
  Page page_;          // the page being walked
  Page rowPage_;       // the page holding the current row when it was moved elsewhere
  RowLocation location_;
  // The current row's parts, checked as it is loaded; its columns are split out as they are
  // asked for, so that a walk that looks at a column or none costs no more.
  const size_t fixedEnd_;
  RowLayout layout_;
  mutable std::vector<RawField> fields_;
  mutable bool fieldsSplit_ = false;
  // Rows that moved are claimed by one pointer each; a second claim is damage (and would
  // make a scan return the row again and again).
  std::unordered_set<uint32_t> movedRows_;
  bool loading_ = false;
  const bool userTable_;
  // Rows met since rewind(), while the walk is still whole: from the first row, with no
  // load() and no write to the file since.
  uint64_t rowsMet_ = 0;
  bool whole_ = false;
  uint64_t writesAtRewind_ = 0;
};

// Every live value of a table's column-ordered row, read in full; for catalogue reading.
DbError readRowValues(const PageFile& file, const TableDef& def, const TableScan& scan,
                      std::vector<Variant>* values);

}  // namespace db
