// deferred_index.h -- the index entries of a table that fills from empty, kept aside while it
// fills and written whole, bottom-up (index_build.h), when it is flushed, instead of going
// into the B-trees row by row. Uniqueness is still answered row by row, from what is held.
//
// Each index holds its entries one of two ways. Keys that come in order (a counter's) go
// straight to the leaves as they come, and only the last key is kept to answer for them. The
// others keep each distinct key once, found through a hash table, and a key number per row
// (four bytes a row, with the row's place shared by all the table's indexes); they are sorted
// when written, by key and then by place. An index starts the second way and moves to the first
// once its first rows have all come in order; one whose order breaks after that is written as
// far as it goes and takes its later entries into its B-tree one by one.
//
// A failure while entries are taken or written (a write-back's, memory running out) may leave
// entries neither held nor written: from then on every call fails as the first did, so that no
// later flush calls indexes whole that lack entries.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "db/index_build.h"

namespace db {

class DeferredIndexes {
 public:
  explicit DeferredIndexes(const TableDef& def);
  ~DeferredIndexes();

  // Whether index `i` is still held here (otherwise its B-tree is current and takes entries).
  bool holds(size_t i) const;
  // Whether index `i`, held here, has an entry with exactly these key bytes: `answered` false
  // when it cannot say. An index whose entries went to its leaves in order cannot say for a key
  // before its last one: it is written then and stops being held, and its B-tree answers.
  DbError contains(PageAllocator& allocator, TableDef& def, size_t i,
                   std::span<const uint8_t> key, bool* found, bool* answered);
  // Starts the entries of a row that has taken its place at `row`.
  void newRow(RowPointer row);
  // Index i's entry for that row. `taken` false when the index stops being held instead (its
  // B-tree takes the entry); `newKey` whether no entry had these key bytes before.
  DbError add(PageAllocator& allocator, TableDef& def, size_t i, std::span<const uint8_t> key,
              bool* taken, bool* newKey);
  // Writes every index still held, and lets go of all that was held.
  DbError write(PageAllocator& allocator, TableDef& def);
  // Bytes held, for the caller's bound on them.
  size_t heldBytes() const;

 private:
  struct Held;
  DbError answer(PageAllocator& allocator, TableDef& def, size_t i, std::span<const uint8_t> key,
                 bool* found, bool* answered);
  DbError take(PageAllocator& allocator, TableDef& def, size_t i, std::span<const uint8_t> key,
               bool* taken, bool* newKey);
  DbError stream(PageAllocator& allocator, TableDef& def, size_t i);
  DbError writeIndex(PageAllocator& allocator, TableDef& def, size_t i);
  void dropRowsWhenUnused();
  // Runs `change` to what is held, failing from the first failure or exception on.
  template <typename Change>
  DbError guarded(const TableDef& def, Change change);

  std::vector<std::unique_ptr<Held>> indexes_;
  // The place of each row taken while an index keeps key numbers, as stored.
  std::vector<uint32_t> rows_;
  RowPointer current_;  // the row whose entries are being added
  bool lost_ = false;   // entries may be missing since a change that did not end well
  DbError lostBy_;      // that change's failure; none for an exception
};

}  // namespace db
