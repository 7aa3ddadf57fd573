// index_btree.h -- keeping an index's B-tree current as rows arrive and change. Entries are
// the key bytes followed by the row's pointer (3-byte page, 1-byte row, big-endian), kept in
// ascending byte order on leaf pages linked left to right; intermediate pages hold a copy of
// each child's last entry and the child's page, the last child only in the tail field.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "db/index_page.h"
#include "db/table_def.h"
#include "db/usage_map.h"

namespace db {

// Decoded index pages of one table, kept between operations so that a run of inserts does
// not decode the same root and leaf again and again. Every change to these pages must go
// through the functions below with the same cache; it holds at most kMaxPages pages and
// starts afresh past that.
struct IndexPageCache {
  static constexpr size_t kMaxPages = 256;
  std::unordered_map<uint32_t, IndexPageContents> pages;
};

// Whether an entry with exactly these key bytes exists (for any row other than `except`,
// when given).
DbError indexContainsKey(const PageFile& file, const RealIndexDef& index,
                         const std::vector<uint8_t>& key, const RowPointer* except, bool* found,
                         IndexPageCache* cache = nullptr);

// Adds the entry for `row`, splitting pages as needed; new pages are added to the index's
// usage map. `newKey` tells whether no entry had these key bytes before.
DbError indexInsert(PageAllocator& allocator, const TableDef& def, const RealIndexDef& index,
                    const std::vector<uint8_t>& key, RowPointer row, bool* newKey,
                    IndexPageCache* cache = nullptr);

// Removes the entry for `row` with these key bytes. `keyGone` tells whether no entry has
// these key bytes any more.
DbError indexRemove(PageAllocator& allocator, const TableDef& def, const RealIndexDef& index,
                    const std::vector<uint8_t>& key, RowPointer row, bool* keyGone,
                    IndexPageCache* cache = nullptr);

// An empty leaf page, as the root of a new index.
Page emptyIndexRoot(const FormatDescriptor& format, uint32_t ownerTdefPage);

}  // namespace db
