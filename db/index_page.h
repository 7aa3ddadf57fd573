// index_page.h -- the pages of a real index's B-tree: intermediate pages (type 0x03) and leaves
// (type 0x04). Layout (offsets from the page start; desc = the FormatDescriptor):
//   0x00                    page type, then 0x01
//   0x02                    uint16 LE free space: page size - entry start - bytes of entries
//   0x04                    uint32 LE owner: the table's tdef page (Jet4 adds 4 zero bytes)
//   desc.indexPrevOffset    uint32 LE left sibling, 0 for none
//   desc.indexNextOffset    uint32 LE right sibling, 0 for none
//   desc.indexTailOffset    uint32 LE intermediate pages: the last child; leaves: 0
//   desc.indexPrefixOffset  common-prefix length, desc.indexPrefixSize bytes (Jet3 one byte)
//   then one byte           0x01 on intermediate pages, 0x00 on leaves
//   desc.indexMaskOffset    entry mask up to desc.indexEntryStart: bit k (byte k/8, LSB first)
//                           set = an entry ends before entry-area byte k
//   desc.indexEntryStart    the entries, packed from here
// Leaf entry: key bytes, then the row pointer big-endian: 3 bytes page, 1 byte row slot.
// Intermediate entry: a copy of the child's last entry, then the child page, 4 bytes big-endian;
// the last child has no entry, only the tail field. When the prefix length P > 0 every entry
// but the first is stored without its first P bytes, which are those of the first entry.
// Entries are in ascending byte order of key + row pointer, across the whole leaf level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "db/table_def.h"

namespace db {

inline constexpr uint32_t kIndexRowPointerSize = 3 + 1;  // page big-endian, row slot
inline constexpr uint32_t kIndexChildPointerSize = 4;    // page big-endian
inline constexpr uint32_t kIndexFreeSpaceOffset = 2;
inline constexpr uint32_t kIndexOwnerOffset = 4;

struct IndexEntry {
  std::vector<uint8_t> key;  // the entry's bytes before its row pointer
  RowPointer row;
  uint32_t childPage = 0;    // intermediate entries only
  bool operator==(const IndexEntry& o) const {
    return key == o.key && row.page == o.row.page && row.row == o.row.row &&
           childPage == o.childPage;
  }
};

struct IndexPageContents {
  uint8_t type = kPageIndexLeaf;   // kPageIndexNode or kPageIndexLeaf
  uint32_t prev = 0;
  uint32_t next = 0;
  uint32_t tail = 0;               // intermediate pages: the child after the last entry's
  uint16_t prefixLength = 0;       // as read; the encoder works out its own
  std::vector<IndexEntry> entries; // prefixes expanded: every entry in full
};

// The order of two keys byte by byte, unsigned, a key that is the start of the other first:
// -1, 0 or 1. Keys are a few bytes long: a plain loop beats a call to memcmp.
inline int compareKeys(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// The order of entries on index pages: key bytes then the row pointer's, unsigned, a byte
// string that is a prefix of another first.
bool indexEntryLess(const IndexEntry& a, const IndexEntry& b);
// The same order as -1, 0 or 1, for entries held as a key and a row pointer.
int compareIndexEntries(std::span<const uint8_t> keyA, RowPointer rowA,
                        std::span<const uint8_t> keyB, RowPointer rowB);

// An entry as the page orders and stores it (before prefix compression): key, row pointer,
// and on intermediate pages the child page.
std::vector<uint8_t> indexEntryBytes(uint8_t pageType, const IndexEntry& entry);

// Decodes index page `pageNo` held in `page`; a fault is CorruptDatabase naming the page.
DbError decodeIndexPage(const FormatDescriptor& format, std::span<const uint8_t> page,
                        uint32_t pageNo, IndexPageContents* out);

// Reads and decodes page `pageNo`, which must be an index page; faults name the file.
DbError readIndexPage(const PageFile& file, uint32_t pageNo, IndexPageContents* out);

// Every leaf entry of `index` in index order: down from the root along first children to the
// leftmost leaf, then along the leaves' next links. Each page read counts against the file's
// page count, so a cycle in a damaged file ends as CorruptDatabase.
DbError scanIndex(const PageFile& file, const RealIndexDef& index,
                  std::vector<IndexEntry>* leafEntries);
// The same walk, each leaf handed to `visit` as it is read (its entries may be changed or moved
// from); an error from `visit` ends the walk with that error.
DbError scanIndex(const PageFile& file, const RealIndexDef& index,
                  const std::function<DbError(IndexPageContents& leaf)>& visit);

// Bytes an index page has for entries.
size_t indexPageCapacity(const FormatDescriptor& format);

// Bytes that `entries` take on a page of `pageType` once prefix-compressed the way
// encodeIndexPage does it; a writer splits a page when this exceeds indexPageCapacity.
size_t encodedIndexEntriesSize(const FormatDescriptor& format, uint8_t pageType,
                               std::span<const IndexEntry> entries);

// Builds an index page from `contents` (its prefixLength is ignored: the prefix is the common
// prefix of the first and last entries' keys). A caller's fault is InvalidArgument: entries
// that are not in strictly ascending order, a row page beyond 24 bits, or entries that take
// more than indexPageCapacity.
DbError encodeIndexPage(const FormatDescriptor& format, const IndexPageContents& contents,
                        uint32_t ownerTdefPage, Page* out);

// A leaf page the same way, from entries held end to end: key i is keys[keyEnds[i - 1] ..
// keyEnds[i]) (from 0 for the first), its row rows[i]. The caller has put them in order.
DbError encodeLeafPage(const FormatDescriptor& format, std::span<const uint8_t> keys,
                       std::span<const uint32_t> keyEnds, std::span<const RowPointer> rows,
                       uint32_t prev, uint32_t next, uint32_t ownerTdefPage, Page* out);

}  // namespace db
