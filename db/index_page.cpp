#include "db/index_page.h"

#include <cstring>

#include <algorithm>
#include <string>

#include "db/bytes.h"

namespace db {
namespace {

constexpr uint8_t kIndexPageConstant = 0x01;  // byte 1 of every index page
// Access writes 0x01 in the byte after the prefix length on intermediate pages, 0x00 on leaves.
constexpr uint8_t kIntermediateMarker = 0x01;
constexpr uint32_t kMaxRowPage = 0xFFFFFF;   // the row pointer holds 3 bytes of page number

bool isIndexPageType(uint8_t type) { return type == kPageIndexNode || type == kPageIndexLeaf; }

size_t pointerBytes(uint8_t pageType) {
  return pageType == kPageIndexNode ? kIndexRowPointerSize + kIndexChildPointerSize
                                    : kIndexRowPointerSize;
}

uint32_t readBigEndian(std::span<const uint8_t> b, size_t at, size_t length) {
  uint32_t v = 0;
  for (size_t i = 0; i < length; ++i) v = (v << 8) | b[at + i];
  return v;
}

size_t maxPrefix(const FormatDescriptor& format) {
  return format.indexPrefixSize == 1 ? 0xFF : 0xFFFF;
}

size_t commonPrefix(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The prefix the encoder uses: what the first and last keys share, as much as the header's
// field can hold. Entries between them in byte order share it too.
size_t chosenPrefix(const FormatDescriptor& format, std::span<const IndexEntry> entries) {
  if (entries.empty()) return 0;
  return std::min(commonPrefix(entries.front().key, entries.back().key), maxPrefix(format));
}

// Fills `out` from the page bytes; returns a description of the first fault, empty if none.
std::string decodeEntries(const FormatDescriptor& f, std::span<const uint8_t> page,
                          IndexPageContents* out) {
  if (page.size() != f.pageSize) return "is not a whole page";
  out->type = page[0];
  if (!isIndexPageType(out->type)) return "is not an index page";
  out->prev = readU32(page, f.indexPrevOffset);
  out->next = readU32(page, f.indexNextOffset);
  out->tail = readU32(page, f.indexTailOffset);
  out->prefixLength = f.indexPrefixSize == 1 ? page[f.indexPrefixOffset]
                                             : readU16(page, f.indexPrefixOffset);
  // The entries of a page decoded before are reused, with the room their keys have.
  size_t count = 0;
  // Whatever the outcome, the entries decoded are the page's entries.
  struct Trim {
    std::vector<IndexEntry>& entries;
    size_t& count;
    ~Trim() { entries.resize(count); }
  } trim{out->entries, count};

  const std::span<const uint8_t> mask =
      page.subspan(f.indexMaskOffset, f.indexEntryStart - f.indexMaskOffset);
  const std::span<const uint8_t> area = page.subspan(f.indexEntryStart);
  const size_t minimum = pointerBytes(out->type);
  std::span<const uint8_t> first;
  std::vector<uint8_t> full;
  size_t start = 0;
  for (size_t byte = 0; byte < mask.size(); ++byte) {
    if (mask[byte] == 0) continue;
    for (int bit = 0; bit < 8; ++bit) {
      if (!(mask[byte] & (1u << bit))) continue;
      const size_t end = byte * 8 + bit;
      if (end > area.size()) return "has an entry mask reaching past the page end";
      if (end == start) return "has an empty entry at offset " + std::to_string(start);
      const std::span<const uint8_t> stored = area.subspan(start, end - start);
      if (count == 0) {
        if (stored.size() < out->prefixLength) {
          return "has a first entry shorter than its common prefix of " +
                 std::to_string(out->prefixLength) + " bytes";
        }
        first = stored;
        full.assign(stored.begin(), stored.end());
      } else {
        full.assign(first.begin(), first.begin() + out->prefixLength);
        full.insert(full.end(), stored.begin(), stored.end());
      }
      if (full.size() < minimum) {
        return "has an entry of " + std::to_string(full.size()) +
               " bytes, too short for its pointers";
      }
      if (count == out->entries.size()) out->entries.emplace_back();
      IndexEntry& entry = out->entries[count++];
      const size_t keyLength = full.size() - minimum;
      entry.key.assign(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(keyLength));
      entry.row.page = readBigEndian(full, keyLength, 3);
      entry.row.row = full[keyLength + 3];
      entry.childPage = out->type == kPageIndexNode
                            ? readBigEndian(full, keyLength + kIndexRowPointerSize, 4)
                            : 0;
      start = end;
    }
  }
  return {};
}

}  // namespace

int compareIndexEntries(std::span<const uint8_t> keyA, RowPointer rowA,
                        std::span<const uint8_t> keyB, RowPointer rowB) {
  // Keys are a few bytes long: a plain loop beats a call to memcmp.
  const size_t common = std::min(keyA.size(), keyB.size());
  for (size_t i = 0; i < common; ++i) {
    if (keyA[i] != keyB[i]) return keyA[i] < keyB[i] ? -1 : 1;
  }
  // Equal keys, the usual case in an index that allows duplicates: the three page bytes and
  // the row byte compare as the numbers they spell.
  if (keyA.size() == keyB.size()) {
    const uint32_t a = rowA.stored(), b = rowB.stored();
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  // One key is a prefix of the other: the row pointer bytes continue the comparison.
  auto byteAt = [](std::span<const uint8_t> key, RowPointer row, size_t i) -> int {
    if (i < key.size()) return key[i];
    const size_t r = i - key.size();
    if (r < 3) return static_cast<uint8_t>(row.page >> (8 * (2 - r)));
    if (r == 3) return row.row;
    return -1;  // past the end
  };
  const size_t n = std::max(keyA.size(), keyB.size()) + 4;
  for (size_t i = common; i < n; ++i) {
    const int x = byteAt(keyA, rowA, i), y = byteAt(keyB, rowB, i);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

bool indexEntryLess(const IndexEntry& a, const IndexEntry& b) {
  return compareIndexEntries(a.key, a.row, b.key, b.row) < 0;
}

std::vector<uint8_t> indexEntryBytes(uint8_t pageType, const IndexEntry& entry) {
  std::vector<uint8_t> b = entry.key;
  b.push_back(static_cast<uint8_t>(entry.row.page >> 16));
  b.push_back(static_cast<uint8_t>(entry.row.page >> 8));
  b.push_back(static_cast<uint8_t>(entry.row.page));
  b.push_back(entry.row.row);
  if (pageType == kPageIndexNode) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      b.push_back(static_cast<uint8_t>(entry.childPage >> shift));
    }
  }
  return b;
}

DbError decodeIndexPage(const FormatDescriptor& format, std::span<const uint8_t> page,
                        uint32_t pageNo, IndexPageContents* out) {
  std::string fault = decodeEntries(format, page, out);
  if (fault.empty()) return {};
  return makeError(DbErrorNumber::CorruptDatabase,
                   "Index page " + std::to_string(pageNo) + " is damaged: it " + fault + ".");
}

DbError readIndexPage(const PageFile& file, uint32_t pageNo, IndexPageContents* out) {
  Page page;
  DbError err = file.readPage(pageNo, &page);
  if (!err.ok()) return err;
  std::string fault = decodeEntries(file.format(), page, out);
  if (fault.empty()) return {};
  return file.corrupt("index page " + std::to_string(pageNo) + " " + fault);
}

DbError scanIndex(const PageFile& file, const RealIndexDef& index,
                  std::vector<IndexEntry>* leafEntries) {
  leafEntries->clear();
  return scanIndex(file, index, [&](IndexPageContents& leaf) {
    for (IndexEntry& e : leaf.entries) leafEntries->push_back(std::move(e));
    return DbError::success();
  });
}

DbError scanIndex(const PageFile& file, const RealIndexDef& index,
                  const std::function<DbError(IndexPageContents& leaf)>& visit) {
  // No walk can visit more pages than the file has; one that tries has met a cycle.
  uint32_t budget = file.pageCount();
  auto loops = [&](uint32_t pageNo) {
    return file.corrupt("the index with root page " + std::to_string(index.rootPage) +
                        " leads back round to page " + std::to_string(pageNo));
  };

  IndexPageContents contents;
  uint32_t pageNo = index.rootPage;
  for (;;) {
    if (budget-- == 0) return loops(pageNo);
    DbError err = readIndexPage(file, pageNo, &contents);
    if (!err.ok()) return err;
    if (contents.type == kPageIndexLeaf) break;
    // The first child holds the smallest entries; a page without entries has only its tail.
    const uint32_t child = contents.entries.empty() ? contents.tail
                                                    : contents.entries.front().childPage;
    if (child == 0) {
      return file.corrupt("intermediate index page " + std::to_string(pageNo) +
                          " names no child page");
    }
    pageNo = child;
  }

  for (;;) {
    const uint32_t next = contents.next;
    DbError err = visit(contents);
    if (!err.ok()) return err;
    if (next == 0) return {};
    const uint32_t from = pageNo;
    pageNo = next;
    if (budget-- == 0) return loops(pageNo);
    err = readIndexPage(file, pageNo, &contents);
    if (!err.ok()) return err;
    if (contents.type != kPageIndexLeaf) {
      return file.corrupt("index leaf page " + std::to_string(from) + " is followed by page " +
                          std::to_string(pageNo) + ", which is not a leaf");
    }
  }
}

size_t indexPageCapacity(const FormatDescriptor& format) {
  // The mask has a few bits more than the area has bytes; the area is the limit.
  return format.pageSize - format.indexEntryStart;
}

size_t encodedIndexEntriesSize(const FormatDescriptor& format, uint8_t pageType,
                               std::span<const IndexEntry> entries) {
  const size_t prefix = chosenPrefix(format, entries);
  size_t total = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t full = entries[i].key.size() + pointerBytes(pageType);
    total += i == 0 ? full : full - prefix;
  }
  return total;
}

namespace {

// Lays out an index page: the header, then `count` entries, entry i being the key `keyAt(i)`,
// the row pointer `rowAt(i)` and on intermediate pages the child `childAt(i)`, each but the
// first without the first `prefix` bytes of its key. `used` is the entries' encoded size.
template <typename KeyAt, typename RowAt, typename ChildAt>
void layOutPage(const FormatDescriptor& f, uint8_t type, uint32_t prev, uint32_t next,
                uint32_t tail, uint32_t ownerTdefPage, size_t count, size_t prefix, size_t used,
                KeyAt keyAt, RowAt rowAt, ChildAt childAt, Page* out) {
  out->assign(f.pageSize, 0);
  std::span<uint8_t> page(*out);
  page[0] = type;
  page[1] = kIndexPageConstant;
  writeU16(page, kIndexFreeSpaceOffset, static_cast<uint16_t>(indexPageCapacity(f) - used));
  writeU32(page, kIndexOwnerOffset, ownerTdefPage);
  writeU32(page, f.indexPrevOffset, prev);
  writeU32(page, f.indexNextOffset, next);
  writeU32(page, f.indexTailOffset, type == kPageIndexNode ? tail : 0);
  if (f.indexPrefixSize == 1) {
    page[f.indexPrefixOffset] = static_cast<uint8_t>(prefix);
  } else {
    writeU16(page, f.indexPrefixOffset, static_cast<uint16_t>(prefix));
  }
  page[f.indexPrefixOffset + f.indexPrefixSize] = type == kPageIndexNode ? kIntermediateMarker : 0;

  size_t at = 0;
  uint8_t* area = page.data() + f.indexEntryStart;
  for (size_t i = 0; i < count; ++i) {
    const std::span<const uint8_t> key = keyAt(i);
    const RowPointer row = rowAt(i);
    // The prefix only ever covers key bytes: it is what the first and last keys share.
    const size_t skip = i == 0 ? 0 : prefix;
    std::copy(key.begin() + static_cast<std::ptrdiff_t>(skip), key.end(), area + at);
    at += key.size() - skip;
    area[at++] = static_cast<uint8_t>(row.page >> 16);
    area[at++] = static_cast<uint8_t>(row.page >> 8);
    area[at++] = static_cast<uint8_t>(row.page);
    area[at++] = row.row;
    if (type == kPageIndexNode) {
      const uint32_t child = childAt(i);
      for (int shift = 24; shift >= 0; shift -= 8) area[at++] = static_cast<uint8_t>(child >> shift);
    }
    page[f.indexMaskOffset + at / 8] |= static_cast<uint8_t>(1u << (at % 8));
  }
}

}  // namespace

DbError encodeIndexPage(const FormatDescriptor& f, const IndexPageContents& contents,
                        uint32_t ownerTdefPage, Page* out) {
  auto refuse = [](const std::string& what) {
    return makeError(DbErrorNumber::InvalidArgument, "Cannot build an index page: " + what + ".");
  };
  const uint8_t type = contents.type;
  if (!isIndexPageType(type)) return refuse("the page type " + std::to_string(type) +
                                            " is not an index page type");
  const std::vector<IndexEntry>& entries = contents.entries;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].row.page > kMaxRowPage) {
      return refuse("entry " + std::to_string(i) + " points to page " +
                    std::to_string(entries[i].row.page) + ", beyond what 3 bytes hold");
    }
    // Order by key and row pointer; prefix compression relies on it.
    if (i > 0 && !indexEntryLess(entries[i - 1], entries[i])) {
      return refuse("entry " + std::to_string(i) + " does not sort after the entry before it");
    }
  }
  const size_t capacity = indexPageCapacity(f);
  const size_t used = encodedIndexEntriesSize(f, type, entries);
  if (used > capacity) {
    return refuse("its entries take " + std::to_string(used) + " bytes, more than the " +
                  std::to_string(capacity) + " a page holds");
  }
  layOutPage(f, type, contents.prev, contents.next, contents.tail, ownerTdefPage, entries.size(),
             chosenPrefix(f, entries), used,
             [&](size_t i) { return std::span<const uint8_t>(entries[i].key); },
             [&](size_t i) { return entries[i].row; }, [&](size_t i) { return entries[i].childPage; },
             out);
  return {};
}

DbError encodeLeafPage(const FormatDescriptor& f, std::span<const uint8_t> keys,
                       std::span<const uint32_t> keyEnds, std::span<const RowPointer> rows,
                       uint32_t prev, uint32_t next, uint32_t ownerTdefPage, Page* out) {
  auto keyAt = [&](size_t i) {
    const size_t begin = i == 0 ? 0 : keyEnds[i - 1];
    return keys.subspan(begin, keyEnds[i] - begin);
  };
  const size_t count = rows.size();
  size_t prefix = 0, used = 0;
  if (count > 0) {
    const std::span<const uint8_t> first = keyAt(0), last = keyAt(count - 1);
    while (prefix < first.size() && prefix < last.size() && first[prefix] == last[prefix]) ++prefix;
    prefix = std::min(prefix, maxPrefix(f));
    used = keys.size() + count * kIndexRowPointerSize - (count - 1) * prefix;
  }
  for (const RowPointer& r : rows) {
    if (r.page > kMaxRowPage) {
      return makeError(DbErrorNumber::InvalidArgument,
                       "Cannot build an index page: an entry points to page " +
                           std::to_string(r.page) + ", beyond what 3 bytes hold.");
    }
  }
  if (used > indexPageCapacity(f)) {
    return makeError(DbErrorNumber::InvalidArgument,
                     "Cannot build an index page: its entries take " + std::to_string(used) +
                         " bytes, more than a page holds.");
  }
  layOutPage(f, kPageIndexLeaf, prev, next, 0, ownerTdefPage, count, prefix, used, keyAt,
             [&](size_t i) { return rows[i]; }, [](size_t) { return uint32_t{0}; }, out);
  return {};
}

}  // namespace db
