// table_writer.h -- appending and rewriting the rows of one table: values checked against the
// column rules, long values stored, the row placed on a page with room (or a new one, entered
// in the table's usage maps), every index told, and the definition's counts written back.
#pragma once

#include <cstdint>
#include <vector>

#include "db/deferred_index.h"
#include "db/index_btree.h"
#include "db/long_value.h"
#include "db/row_codec.h"
#include "db/table_scan.h"
#include "db/usage_map.h"

namespace db {

// What the column properties ask of each value: the writer enforces them.
struct ColumnRules {
  bool required = false;          // Null refused (ValueRequired)
  bool allowZeroLength = true;    // "" refused when false (ZeroLengthNotAllowed)
  bool hasDefault = false;        // a new row that leaves the column unset takes this value
  Variant defaultValue;
};

// One flag per column, as bytes: std::vector<bool> costs a division for every look.
using ColumnFlags = std::vector<uint8_t>;

// Buffers a table's writes reuse from row to row, so that a row costs no allocation.
struct RowScratch {
  std::vector<Variant> values;              // a row with what the table fills in
  std::vector<Variant> oldValues;           // a row's values before an update
  std::vector<std::vector<uint8_t>> keys;   // one per real index
  std::vector<std::vector<uint8_t>> oldKeys;
  std::vector<EncodedField> fields;
  std::vector<uint8_t> fieldBytes;          // the fields' bytes, end to end
  std::vector<uint8_t> longValue;           // a Memo's text bytes on their way to its pages
  std::vector<uint8_t> copied;              // a long value read from another file
  std::vector<uint8_t> row;
};

// Where a table's columns may hold Null, for a table this process has seen fill from empty:
// per column, the places (as stored) of the rows written with Null there, in the order they
// were written. Rows whose value changed since may be listed still; a row holding Null is
// never missing. A search for Nulls visits these rows instead of the whole table.
struct NullRows {
  std::vector<std::vector<uint32_t>> byColumn;  // one per def.columns entry
  size_t entries = 0;
};

// A table as every connection to its file shares it: the definition as it stands (row count,
// autonumber, unique counts), its column rules, and where rows and long values go next.
struct TableState {
  TableDef def;
  int32_t objectId = 0;                       // its MSysObjects Id
  bool userTable = false;                     // neither the engine's nor Access's own table
  std::vector<ColumnRules> rules;             // one per def.columns entry
  uint32_t currentDataPage = 0;               // 0 until the first row is placed
  std::vector<LongValueTarget> longValues;    // one per def.columns entry; used for Memo/OLE
  IndexPageCache indexPages;                  // decoded pages of the table's indexes
  // The index entries of a table filling from empty, until its indexes are written whole;
  // looked for once, at the first row added.
  std::unique_ptr<DeferredIndexes> deferred;
  bool deferralConsidered = false;
  // Kept from the first row of a table that was empty, while it stays within its bound.
  std::unique_ptr<NullRows> nullRows;
  RowScratch scratch;
};

// Fills state->longValues from the definition's long-value maps.
void prepareLongValueTargets(TableState* state);

// Writes the indexes a table holds back, if any, and its counts: what flushing the table
// leaves to the pages.
DbError writeDeferredIndexes(PageAllocator& allocator, TableState& table);

class TableWriter {
 public:
  TableWriter(PageAllocator& allocator, TableState& table) : allocator_(allocator), table_(table) {}

  // Hands out the next autonumber and records it at once, so that no other connection can
  // hand it out too. Fails when the table has no autonumber column.
  DbError reserveAutonumber(int32_t* value);

  // Appends a row. `values` are already converted to each column's type (value_convert.h),
  // one per def.columns entry; `given` tells which the caller set: the others take their
  // default. Nothing is stored when a check fails.
  DbError insertRow(const std::vector<Variant>& values, const ColumnFlags& given,
                    RowLocation* where);

  // Stores the current row of `scan` (a walk of `source`'s table `sourceDef`, whose columns
  // are this table's in the same order), for a copy of a table that is known to be sound: no
  // rules, no index entries and no counts (the copier builds and sets those itself). A field
  // keeps its bytes where encoding its value would give them back; long values kept on pages
  // are stored anew. With `sameLayout` (each column at the same place in both definitions),
  // a row that encoding would give back byte for byte is copied whole.
  DbError copyRow(const PageFile& source, const TableDef& sourceDef, const TableScan& scan,
                  bool sameLayout, RowPointer* where);

  // Gives the row found at `where` (its slot in the table scan), read as `oldRaw`, the new
  // values of the columns `changes` names (by def.columns index; values already converted to
  // each column's type). The other columns keep their bytes, long values their storage. A row
  // that outgrows its place moves, leaving a pointer in its slot.
  DbError updateRow(RowLocation where, const std::vector<RawField>& oldRaw,
                    const std::vector<std::pair<int, Variant>>& changes);

 private:
  // What an update of one row touches, beside the values and keys it leaves in the scratch.
  struct RowUpdate {
    ColumnFlags keep;               // by column: the row's bytes stay
    std::vector<bool> reached;      // by index: a column of it changes
    std::vector<bool> changedKeys;  // by index: its key changes
  };
  // The row's values, old and new, into the scratch, where a change, a rule or an index looks.
  DbError readUpdateValues(const std::vector<RawField>& oldRaw,
                           const std::vector<std::pair<int, Variant>>& changes, RowUpdate* update);
  // The old and new keys of the indexes a change reaches; Nulls and duplicates refused.
  DbError updateKeys(RowPointer self, RowUpdate* update);
  // The encoded row in its place, or moved where it has room, a pointer left behind.
  DbError rewriteRow(RowLocation where);
  // The entries of the keys that changed, taken out and put in anew.
  DbError moveIndexEntries(RowPointer self, const RowUpdate& update);
  DbError checkRules(const std::vector<Variant>& values) const;
  DbError indexKeys(const std::vector<Variant>& values, std::vector<std::vector<uint8_t>>* keys,
                    bool checkRequired = true) const;
  DbError checkUnique(const std::vector<std::vector<uint8_t>>& keys,
                      const std::vector<Variant>& values, const RowPointer* self);
  // The row's fields into table_.scratch (fields, fieldBytes, row), long values stored; a
  // column `keep` marks keeps its bytes in `raw` instead. With `copiedFrom`, long values come
  // from `raw` read in that file, and are stored anew.
  DbError encodeFields(const std::vector<Variant>& values, const std::vector<RawField>* raw,
                       const ColumnFlags* keep, const PageFile* copiedFrom = nullptr);
  DbError placeRow(std::span<const uint8_t> row, uint16_t flags, RowPointer* where);
  DbError considerDeferral();
  // Lists the row at `at` for column `k`, which it now holds as Null.
  void noteNull(size_t k, RowPointer at);

  PageAllocator& allocator_;
  TableState& table_;
};

}  // namespace db
