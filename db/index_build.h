// index_build.h -- a whole index written bottom-up from its leaf entries, which come in key
// order: leaves filled as far as they go and linked left to right, each written once it is
// full; then each level of parents, the top one on the index's root page. Only the leaf being
// filled, the entries of the key being added and one entry per finished leaf are held,
// whatever the number of entries.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "db/index_page.h"
#include "db/usage_map.h"

namespace db {

class IndexBuilder {
 public:
  // Builds `index` (its root page allocated and in its usage map, its tree empty) of the table
  // `def`; new pages are added to the index's usage map.
  IndexBuilder(PageAllocator& allocator, const TableDef& def, RealIndexDef* index);

  // The next leaf entry: its key is the last one's or comes after it (byte by byte, a key
  // that is the start of another first), and an equal key comes with a greater row
  // (InvalidArgument if not, `*outOfOrder` set where given, and nothing is added). Any other
  // failure is a page's write.
  DbError add(std::span<const uint8_t> key, RowPointer row, bool* outOfOrder = nullptr);
  // Whether add() takes this entry next.
  bool follows(std::span<const uint8_t> key, RowPointer row) const;
  // Writes what is left, the root last, and sets the index's count of distinct keys. Call once.
  DbError finish();

 private:
  // Entries of one key, in index order, onto the leaves (each row as (key number, stored)).
  DbError place(std::span<const uint8_t> key, std::span<const std::pair<uint32_t, uint32_t>> rows);
  // The entries held back, in index order.
  DbError placeHeld();
  DbError newPage(uint32_t* pageNo);
  std::span<const uint8_t> lastHeldKey() const;
  // Writes the leaf being filled, as the one before `next` (0 for the last leaf).
  DbError writeLeaf(uint32_t pageNo, uint32_t next);

  PageAllocator& allocator_;
  const TableDef& def_;
  RealIndexDef* index_;
  // The leaf being filled: keys end to end, where each ends, and the rows.
  std::vector<uint8_t> keys_;
  std::vector<uint32_t> keyEnds_;
  std::vector<RowPointer> rows_;
  size_t leafBytes_ = 0;     // its entries' size before prefix compression
  uint32_t leafPage_ = 0;    // its page, 0 until a second leaf is needed
  uint32_t previousLeaf_ = 0;
  std::vector<IndexEntry> finished_;  // per written leaf: its last entry, its page as child
  std::vector<uint8_t> lastKey_;      // of the last entry placed
  RowPointer lastRow_;
  // Entries held back: those of the last key added, and of the keys before it back to the
  // first that is the start of them all. Their order on the leaves depends on the rows when
  // one key is the start of another, as the row pointer's bytes follow the key's.
  std::vector<uint8_t> heldKeys_;
  std::vector<uint32_t> heldKeyEnds_;
  std::vector<std::pair<uint32_t, uint32_t>> held_;  // (key number, row pointer as stored)
  uint32_t distinct_ = 0;
  Page page_;
};

}  // namespace db
