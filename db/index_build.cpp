// index_build.cpp -- pages filled in order. A page holds entries while their size, less the
// prefix every entry but the first leaves out, fits the page; the prefix is what the page's
// first and last keys share, so it only shrinks as entries are added, and an entry that does
// not fit starts the next page. Leaves are numbered in the order they fill, each allocated when
// the one before it needs its number as its right neighbour; parents come after all leaves.
#include "db/index_build.h"

#include <algorithm>
#include <string>

namespace db {
namespace {

size_t maxPrefix(const FormatDescriptor& f) { return f.indexPrefixSize == 1 ? 0xFF : 0xFFFF; }

size_t commonPrefix(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Consecutive runs of intermediate entries that each fill one page as far as it goes.
std::vector<std::pair<size_t, size_t>> packNodeEntries(const FormatDescriptor& f,
                                                       const std::vector<IndexEntry>& entries) {
  const size_t capacity = indexPageCapacity(f);
  const size_t pointers = kIndexRowPointerSize + kIndexChildPointerSize;
  std::vector<std::pair<size_t, size_t>> runs;
  size_t begin = 0;
  while (begin < entries.size()) {
    size_t total = entries[begin].key.size() + pointers;
    size_t end = begin + 1;
    while (end < entries.size()) {
      const size_t prefix = std::min(commonPrefix(entries[begin].key, entries[end].key), maxPrefix(f));
      const size_t withNext = total + entries[end].key.size() + pointers;
      const size_t count = end - begin + 1;
      if (withNext - (count - 1) * prefix > capacity) break;
      total = withNext;
      ++end;
    }
    runs.emplace_back(begin, end);
    begin = end;
  }
  return runs;
}

struct BuiltNode {
  uint32_t pageNo = 0;
  IndexPageContents contents;
  IndexEntry last;  // the greatest leaf entry below
};

}  // namespace

IndexBuilder::IndexBuilder(PageAllocator& allocator, const TableDef& def, RealIndexDef* index)
    : allocator_(allocator), def_(def), index_(index) {}

std::span<const uint8_t> IndexBuilder::lastHeldKey() const {
  const size_t begin = heldKeyEnds_.size() > 1 ? heldKeyEnds_[heldKeyEnds_.size() - 2] : 0;
  return std::span<const uint8_t>(heldKeys_.data() + begin, heldKeys_.size() - begin);
}

bool IndexBuilder::follows(std::span<const uint8_t> key, RowPointer row) const {
  if (held_.empty()) return true;  // none added yet: every key that follows is held
  const int order = compareKeys(key, lastHeldKey());
  return order > 0 || (order == 0 && held_.back().second < row.stored());
}

DbError IndexBuilder::newPage(uint32_t* pageNo) {
  DbError err = allocator_.allocate(Page(allocator_.file().pageSize(), 0), pageNo);
  if (!err.ok()) return err;
  return updateUsageMap(allocator_, index_->usageMap, *pageNo, true);
}

DbError IndexBuilder::writeLeaf(uint32_t pageNo, uint32_t next) {
  DbError err = encodeLeafPage(allocator_.file().format(), keys_, keyEnds_, rows_, previousLeaf_,
                               next, def_.tdefPage, &page_);
  if (!err.ok()) return err;
  return allocator_.file().writePage(pageNo, page_);
}

DbError IndexBuilder::add(std::span<const uint8_t> key, RowPointer row, bool* outOfOrder) {
  if (!held_.empty()) {
    const int order = compareKeys(key, lastHeldKey());
    if (order < 0 || (order == 0 && held_.back().second >= row.stored())) {
      if (outOfOrder) *outOfOrder = true;
      return makeError(DbErrorNumber::InvalidArgument,
                       "The entries of an index of table '" + def_.name + "' come out of order.");
    }
    if (order == 0) {
      held_.emplace_back(static_cast<uint32_t>(heldKeyEnds_.size() - 1), row.stored());
      return {};
    }
    const std::span<const uint8_t> first(heldKeys_.data(), heldKeyEnds_.front());
    if (key.size() <= first.size() || !std::equal(first.begin(), first.end(), key.begin())) {
      DbError err = placeHeld();
      if (!err.ok()) return err;
    }
  }
  // A key not added before: keys come in order, so equal keys come together.
  ++distinct_;
  heldKeys_.insert(heldKeys_.end(), key.begin(), key.end());
  heldKeyEnds_.push_back(static_cast<uint32_t>(heldKeys_.size()));
  held_.emplace_back(static_cast<uint32_t>(heldKeyEnds_.size() - 1), row.stored());
  return {};
}

DbError IndexBuilder::placeHeld() {
  auto keyOf = [&](uint32_t k) {
    const size_t begin = k == 0 ? 0 : heldKeyEnds_[k - 1];
    return std::span<const uint8_t>(heldKeys_.data() + begin, heldKeyEnds_[k] - begin);
  };
  if (heldKeyEnds_.size() > 1) {
    std::sort(held_.begin(), held_.end(), [&](const auto& a, const auto& b) {
      return compareIndexEntries(keyOf(a.first), RowPointer::fromStored(a.second), keyOf(b.first),
                                 RowPointer::fromStored(b.second)) < 0;
    });
  }
  DbError err;
  // Runs of one key go on together.
  for (size_t i = 0; i < held_.size() && err.ok();) {
    size_t end = i + 1;
    while (end < held_.size() && held_[end].first == held_[i].first) ++end;
    err = place(keyOf(held_[i].first), std::span(held_).subspan(i, end - i));
    i = end;
  }
  heldKeys_.clear();
  heldKeyEnds_.clear();
  held_.clear();
  return err;
}

DbError IndexBuilder::place(std::span<const uint8_t> key,
                            std::span<const std::pair<uint32_t, uint32_t>> rows) {
  const FormatDescriptor& f = allocator_.file().format();
  const size_t size = key.size() + kIndexRowPointerSize;
  const size_t capacity = indexPageCapacity(f);
  // What this key shares with the first key of the leaf, worked out again for a new leaf.
  size_t prefix = 0;
  bool prefixKnown = false;
  bool keySet = false;
  for (const auto& [k, stored] : rows) {
    const RowPointer row = RowPointer::fromStored(stored);
    if (!rows_.empty()) {
      if (!prefixKnown) {
        const std::span<const uint8_t> first(keys_.data(), keyEnds_.front());
        prefix = std::min(commonPrefix(first, key), maxPrefix(f));
        prefixKnown = true;
      }
      if (leafBytes_ + size - rows_.size() * prefix > capacity) {
        // The leaf is full: it is written with the page of the next as its right neighbour.
        if (leafPage_ == 0) {
          DbError err = newPage(&leafPage_);
          if (!err.ok()) return err;
        }
        uint32_t next = 0;
        DbError err = newPage(&next);
        if (err.ok()) err = writeLeaf(leafPage_, next);
        if (!err.ok()) return err;
        IndexEntry last;
        last.key = lastKey_;
        last.row = lastRow_;
        last.childPage = leafPage_;
        finished_.push_back(std::move(last));
        previousLeaf_ = leafPage_;
        leafPage_ = next;
        keys_.clear();
        keyEnds_.clear();
        rows_.clear();
        leafBytes_ = 0;
        prefixKnown = false;
      }
    }
    keys_.insert(keys_.end(), key.begin(), key.end());
    keyEnds_.push_back(static_cast<uint32_t>(keys_.size()));
    rows_.push_back(row);
    leafBytes_ += size;
    if (!keySet) {
      lastKey_.assign(key.begin(), key.end());
      keySet = true;
    }
    lastRow_ = row;
  }
  return {};
}

DbError IndexBuilder::finish() {
  PageFile& file = allocator_.file();
  const FormatDescriptor& f = file.format();
  DbError err = placeHeld();
  if (!err.ok()) return err;
  index_->uniqueCount = distinct_;
  if (leafPage_ == 0) {
    // Every entry fits one page: the root is that leaf.
    return writeLeaf(index_->rootPage, 0);
  }
  err = writeLeaf(leafPage_, 0);
  if (!err.ok()) return err;
  IndexEntry lastLeaf;
  lastLeaf.key = lastKey_;
  lastLeaf.row = lastRow_;
  lastLeaf.childPage = leafPage_;
  finished_.push_back(std::move(lastLeaf));

  auto writeNode = [&](uint32_t pageNo, const IndexPageContents& c) {
    DbError e = encodeIndexPage(f, c, def_.tdefPage, &page_);
    if (!e.ok()) return e;
    return file.writePage(pageNo, page_);
  };
  std::vector<BuiltNode> level(finished_.size());
  for (size_t i = 0; i < finished_.size(); ++i) {
    level[i].pageNo = finished_[i].childPage;
    level[i].last = std::move(finished_[i]);
    level[i].last.childPage = 0;
  }
  finished_.clear();
  // Parents, level by level: a page holds an entry (the child's greatest entry and its page)
  // for each child but its last, which only the tail names. Intermediate pages are linked to
  // their siblings under the same parent only.
  for (bool childrenWritten = true;;) {
    std::vector<IndexEntry> childEntries;
    for (const BuiltNode& child : level) {
      IndexEntry e = child.last;
      e.childPage = child.pageNo;
      childEntries.push_back(std::move(e));
    }
    const auto runs = packNodeEntries(f, childEntries);
    if (!childrenWritten) {
      for (const auto& [begin, end] : runs) {
        for (size_t i = begin; i < end; ++i) {
          level[i].contents.prev = i > begin ? level[i - 1].pageNo : 0;
          level[i].contents.next = i + 1 < end ? level[i + 1].pageNo : 0;
          err = writeNode(level[i].pageNo, level[i].contents);
          if (!err.ok()) return err;
        }
      }
    }
    std::vector<BuiltNode> parents(runs.size());
    for (size_t g = 0; g < runs.size(); ++g) {
      BuiltNode& parent = parents[g];
      parent.contents.type = kPageIndexNode;
      parent.contents.entries.assign(childEntries.begin() + static_cast<std::ptrdiff_t>(runs[g].first),
                                     childEntries.begin() + static_cast<std::ptrdiff_t>(runs[g].second));
      parent.last = level[runs[g].second - 1].last;
      if (parent.contents.entries.size() > 1) {
        parent.contents.tail = parent.contents.entries.back().childPage;
        parent.contents.entries.pop_back();
      }
    }
    if (parents.size() == 1) return writeNode(index_->rootPage, parents[0].contents);
    for (BuiltNode& parent : parents) {
      err = newPage(&parent.pageNo);
      if (!err.ok()) return err;
    }
    level = std::move(parents);
    childrenWritten = false;
  }
}

}  // namespace db
