// index_btree.cpp -- insertion and removal in an index B-tree.
// A page is read whole into an IndexPageContents, changed, and encoded again. The tree is
// changed the way Jet keeps its own: the root page never moves (when it overflows, its
// entries move to a new child and the root becomes that child's parent); an overflowing page
// gives the first half of its entries to a new left sibling; a parent's entry for a child is a
// copy of the child's greatest leaf entry, and the last child of a page is named only by its
// tail field.
#include "db/index_btree.h"

#include <algorithm>
#include <string>

namespace db {
namespace {

// The bytes that order entries: key, then the row pointer.
std::vector<uint8_t> orderBytes(const std::vector<uint8_t>& key, RowPointer row) {
  std::vector<uint8_t> b = key;
  b.push_back(static_cast<uint8_t>(row.page >> 16));
  b.push_back(static_cast<uint8_t>(row.page >> 8));
  b.push_back(static_cast<uint8_t>(row.page));
  b.push_back(row.row);
  return b;
}

// Orders an entry against the order bytes of another without building its own: key bytes,
// then the row pointer, as unsigned bytes, a shorter run first where one is a prefix.
int compareEntry(const IndexEntry& e, const std::vector<uint8_t>& target) {
  const uint8_t row[4] = {static_cast<uint8_t>(e.row.page >> 16),
                          static_cast<uint8_t>(e.row.page >> 8), static_cast<uint8_t>(e.row.page),
                          e.row.row};
  const size_t total = e.key.size() + 4;
  const size_t n = std::min(total, target.size());
  for (size_t i = 0; i < n; ++i) {
    const uint8_t a = i < e.key.size() ? e.key[i] : row[i - e.key.size()];
    if (a != target[i]) return a < target[i] ? -1 : 1;
  }
  return total < target.size() ? -1 : (total > target.size() ? 1 : 0);
}

// The first entry not below `target`.
size_t lowerBound(const std::vector<IndexEntry>& entries, const std::vector<uint8_t>& target) {
  size_t lo = 0, hi = entries.size();
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (compareEntry(entries[mid], target) < 0) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

struct PathStep {
  uint32_t pageNo;
  IndexPageContents* page;  // in the cache
  size_t childIndex;  // which child was followed: an entry index, or entries.size() for the tail
};

class Tree {
 public:
  Tree(PageAllocator* allocator, const PageFile& file, const TableDef* def, const RealIndexDef& index,
       IndexPageCache* cache)
      : allocator_(allocator), file_(file), def_(def), index_(index), cache_(cache ? cache : &local_) {}

  // Starts the cache afresh when it has grown past its bound. Only at the start of an
  // operation: pages of the operation's path point into it.
  void trimCache() {
    if (cache_->pages.size() > IndexPageCache::kMaxPages) cache_->pages.clear();
  }

  // The decoded page, from the cache or read now.
  DbError page(uint32_t pageNo, IndexPageContents** out) const {
    auto it = cache_->pages.find(pageNo);
    if (it == cache_->pages.end()) {
      IndexPageContents c;
      DbError err = readIndexPage(file_, pageNo, &c);
      if (!err.ok()) return err;
      it = cache_->pages.emplace(pageNo, std::move(c)).first;
    }
    *out = &it->second;
    return {};
  }

  // Descends to the leaf where `target` belongs, recording the way down.
  DbError descend(const std::vector<uint8_t>& target, std::vector<PathStep>* path) const {
    path->clear();
    uint32_t pageNo = index_.rootPage;
    for (uint32_t steps = 0;; ++steps) {
      if (steps > file_.pageCount()) return file_.corrupt("an index loops back on itself");
      PathStep step{pageNo, nullptr, 0};
      DbError err = page(pageNo, &step.page);
      if (!err.ok()) return err;
      if (step.page->type == kPageIndexLeaf) {
        path->push_back(step);
        return {};
      }
      const auto& entries = step.page->entries;
      size_t i = lowerBound(entries, target);
      uint32_t child = 0;
      if (i < entries.size()) {
        child = entries[i].childPage;
      } else if (step.page->tail != 0) {
        child = step.page->tail;
      } else if (!entries.empty()) {
        i = entries.size() - 1;  // a page with one child keeps it as an entry, no tail
        child = entries[i].childPage;
      } else {
        return file_.corrupt("index page " + std::to_string(pageNo) + " has no children");
      }
      step.childIndex = i;
      path->push_back(step);
      pageNo = child;
    }
  }

  // The greatest leaf entry below `pageNo`.
  DbError lastEntry(uint32_t pageNo, IndexEntry* out) const {
    for (uint32_t steps = 0; steps <= file_.pageCount(); ++steps) {
      IndexPageContents* c = nullptr;
      DbError err = page(pageNo, &c);
      if (!err.ok()) return err;
      if (c->type == kPageIndexLeaf) {
        if (c->entries.empty()) return file_.corrupt("an index leaf below the root is empty");
        *out = c->entries.back();
        out->childPage = 0;
        return {};
      }
      pageNo = c->tail ? c->tail : (c->entries.empty() ? 0 : c->entries.back().childPage);
      if (pageNo == 0) return file_.corrupt("an index page has no children");
    }
    return file_.corrupt("an index loops back on itself");
  }

  // Encodes and writes the cached page `pageNo`, after its contents were changed in place.
  DbError write(uint32_t pageNo) {
    IndexPageContents& c = cache_->pages.at(pageNo);
    // A parent whose children are all named by entries turns the last into its tail.
    if (c.type == kPageIndexNode && c.tail == 0 && c.entries.size() > 1) {
      c.tail = c.entries.back().childPage;
      c.entries.pop_back();
    }
    Page bytes;
    DbError err = encodeIndexPage(file_.format(), c, def_->tdefPage, &bytes);
    if (!err.ok()) return err;
    err = allocator_->file().writePage(pageNo, bytes);
    // A page that could not be written is no longer known as it stands on disk.
    if (!err.ok()) cache_->pages.erase(pageNo);
    return err;
  }

  // Puts `contents` in the cache as page `pageNo` and writes it.
  DbError store(uint32_t pageNo, IndexPageContents contents) {
    cache_->pages[pageNo] = std::move(contents);
    return write(pageNo);
  }

  void forget() { cache_->pages.clear(); }
  void drop(uint32_t pageNo) { cache_->pages.erase(pageNo); }

  DbError newPage(uint32_t* pageNo) {
    DbError err = allocator_->allocate(emptyIndexRoot(file_.format(), def_->tdefPage), pageNo);
    if (!err.ok()) return err;
    cache_->pages[*pageNo] = IndexPageContents{};
    return updateUsageMap(*allocator_, index_.usageMap, *pageNo, true);
  }

  bool overflows(const IndexPageContents& c) const {
    return encodedIndexEntriesSize(file_.format(), c.type, c.entries) >
           indexPageCapacity(file_.format());
  }

  // After the greatest entry below path[level] changed, the copies above it follow. A copy
  // that grows can overflow its page: the page is split, which changes the path, so the work
  // starts over from a fresh descent to `target` until no page splits.
  DbError propagateLast(std::vector<PathStep>& path, size_t level, const std::vector<uint8_t>& target) {
    for (int round = 0;; ++round) {
      if (round > 64) return file_.corrupt("an index keeps splitting without end");
      bool split = false;
      DbError err = propagateOnce(path, level, &split);
      if (!err.ok() || !split) return err;
      err = descend(target, &path);
      if (!err.ok()) return err;
      level = path.size() - 1;
    }
  }

  DbError propagateOnce(std::vector<PathStep>& path, size_t level, bool* splitDone) {
    *splitDone = false;
    for (size_t up = level; up-- > 0;) {
      PathStep& parent = path[up];
      IndexEntry last;
      DbError err = lastEntry(path[up + 1].pageNo, &last);
      if (!err.ok()) return err;
      if (parent.childIndex < parent.page->entries.size()) {
        IndexEntry& e = parent.page->entries[parent.childIndex];
        if (e.key == last.key && e.row.page == last.row.page && e.row.row == last.row.row) {
          return {};
        }
        e.key = last.key;
        e.row = last.row;
        if (overflows(*parent.page)) {
          *splitDone = true;
          return split(path, up);
        }
        err = write(parent.pageNo);
        if (!err.ok()) return err;
        // Only the tail's (or a lone entry's) greatest entry is the parent's own.
        const bool parentsLast = parent.page->tail == 0 &&
                                 parent.childIndex + 1 == parent.page->entries.size();
        if (!parentsLast) return {};
      }
    }
    return {};
  }

  // Splits the page at path[level], which overflows, and whatever overflows above it.
  DbError split(std::vector<PathStep>& path, size_t level) {
    if (level == 0) {
      // The root keeps its page: its entries move to a new child, which is then split.
      uint32_t child = 0;
      DbError err = newPage(&child);
      if (!err.ok()) return err;
      IndexPageContents& moved = cache_->pages.at(child);
      moved = std::move(*path[0].page);
      moved.prev = moved.next = 0;
      *path[0].page = IndexPageContents{};
      path[0].page->type = kPageIndexNode;
      path[0].page->tail = child;
      path[0].childIndex = 0;
      path.insert(path.begin() + 1, PathStep{child, &moved, 0});
      err = write(path[0].pageNo);
      if (!err.ok()) return err;
      return split(path, 1);
    }
    // Entries leave the page from its front for new left siblings until it fits: one cut in
    // half is usually enough, but a page whose entries shared a long common prefix can lose
    // it to a new first entry and then need more.
    while (overflows(*path[level].page)) {
      DbError err = splitOnce(path, level);
      if (!err.ok()) return err;
    }
    PathStep& parent = path[level - 1];
    if (overflows(*parent.page)) return split(path, level - 1);
    return write(parent.pageNo);
  }

  // Moves the first entries of path[level] to a new left sibling (half of them, or fewer when
  // half do not fit a page) and gives the parent an entry for it, without writing the parent.
  DbError splitOnce(std::vector<PathStep>& path, size_t level) {
    PathStep& step = path[level];
    PathStep& parent = path[level - 1];
    uint32_t leftNo = 0;
    DbError err = newPage(&leftNo);
    if (!err.ok()) return err;
    IndexPageContents& full = *step.page;
    IndexPageContents& left = cache_->pages.at(leftNo);
    left.type = full.type;
    size_t half = (full.entries.size() + 1) / 2;
    while (half > 1 && encodedIndexEntriesSize(file_.format(), full.type,
                                               std::span<const IndexEntry>(full.entries.data(), half)) >
                           indexPageCapacity(file_.format())) {
      --half;
    }
    left.entries.assign(std::make_move_iterator(full.entries.begin()),
                        std::make_move_iterator(full.entries.begin() + static_cast<std::ptrdiff_t>(half)));
    full.entries.erase(full.entries.begin(), full.entries.begin() + static_cast<std::ptrdiff_t>(half));
    left.prev = full.prev;
    left.next = step.pageNo;
    full.prev = leftNo;
    if (left.prev != 0) {
      IndexPageContents* neighbour = nullptr;
      err = page(left.prev, &neighbour);
      if (!err.ok()) return err;
      neighbour->next = leftNo;
      err = write(left.prev);
      if (!err.ok()) return err;
    }
    if (full.type == kPageIndexNode) {
      // The left page's last child becomes its tail; links between intermediate pages stay
      // within one parent, so the moved children's chain is cut where the pages part.
      left.tail = left.entries.back().childPage;
      left.entries.pop_back();
      const uint32_t firstRight = full.entries.empty() ? full.tail : full.entries.front().childPage;
      IndexPageContents *lastChild = nullptr, *firstChild = nullptr;
      err = page(left.tail, &lastChild);
      if (err.ok()) err = page(firstRight, &firstChild);
      if (!err.ok()) return err;
      if (lastChild->type == kPageIndexNode) {
        lastChild->next = 0;
        firstChild->prev = 0;
        err = write(left.tail);
        if (err.ok()) err = write(firstRight);
        if (!err.ok()) return err;
      }
    }
    err = write(leftNo);
    // A page that still overflows is written once the next cut has made it fit.
    if (err.ok() && !overflows(full)) err = write(step.pageNo);
    if (!err.ok()) return err;
    IndexEntry leftLast;
    err = lastEntry(leftNo, &leftLast);
    if (!err.ok()) return err;
    leftLast.childPage = leftNo;
    auto& pe = parent.page->entries;
    pe.insert(pe.begin() + static_cast<std::ptrdiff_t>(parent.childIndex), leftLast);
    ++parent.childIndex;
    return {};
  }

  PageAllocator* allocator_;
  const PageFile& file_;
  const TableDef* def_;
  const RealIndexDef& index_;
  IndexPageCache local_;
  IndexPageCache* cache_;
};

bool sameKeyPrefix(const IndexEntry& e, const std::vector<uint8_t>& key) { return e.key == key; }

}  // namespace

Page emptyIndexRoot(const FormatDescriptor& format, uint32_t ownerTdefPage) {
  Page page;
  IndexPageContents empty;
  encodeIndexPage(format, empty, ownerTdefPage, &page);
  return page;
}

namespace {

DbError containsKey(Tree& tree, const PageFile& file, const std::vector<uint8_t>& key,
                    const RowPointer* except, bool* found) {
  *found = false;
  std::vector<PathStep> path;
  // The smallest entry with this key has the row pointer 0/0: start there, walk right.
  DbError err = tree.descend(orderBytes(key, RowPointer{0, 0}), &path);
  if (!err.ok()) return err;
  const IndexPageContents* page = path.back().page;
  for (uint32_t steps = 0; steps <= file.pageCount(); ++steps) {
    for (const IndexEntry& e : page->entries) {
      if (e.key < key) continue;
      if (!sameKeyPrefix(e, key)) return {};
      if (except && e.row.page == except->page && e.row.row == except->row) continue;
      *found = true;
      return {};
    }
    if (page->next == 0) return {};
    IndexPageContents* next = nullptr;
    err = tree.page(page->next, &next);
    if (!err.ok()) return err;
    page = next;
  }
  return file.corrupt("an index's leaves loop back on themselves");
}

}  // namespace

DbError indexContainsKey(const PageFile& file, const RealIndexDef& index,
                         const std::vector<uint8_t>& key, const RowPointer* except, bool* found,
                         IndexPageCache* cache) {
  Tree tree(nullptr, file, nullptr, index, cache);
  tree.trimCache();
  return containsKey(tree, file, key, except, found);
}

DbError indexInsert(PageAllocator& allocator, const TableDef& def, const RealIndexDef& index,
                    const std::vector<uint8_t>& key, RowPointer row, bool* newKey,
                    IndexPageCache* cache) {
  Tree tree(&allocator, allocator.file(), &def, index, cache);
  tree.trimCache();
  std::vector<PathStep> path;
  const std::vector<uint8_t> target = orderBytes(key, row);
  DbError err = tree.descend(target, &path);
  if (!err.ok()) return err;
  IndexPageContents& leaf = *path.back().page;
  auto& entries = leaf.entries;
  const size_t at = lowerBound(entries, target);
  if (at < entries.size() && compareEntry(entries[at], target) == 0) return {};  // already there
  {
    // Equal keys sit next to each other: the new key is new unless a neighbour has it. At
    // either end of the leaf the neighbour may be on the next leaf, or the previous one.
    bool exists = (at < entries.size() && entries[at].key == key) ||
                  (at > 0 && entries[at - 1].key == key);
    if (!exists && ((at == 0 && leaf.prev != 0) || (at == entries.size() && leaf.next != 0))) {
      err = containsKey(tree, allocator.file(), key, nullptr, &exists);
      if (!err.ok()) return err;
    }
    *newKey = !exists;
  }
  IndexEntry entry;
  entry.key = key;
  entry.row = row;
  entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
  const bool becameLast = at + 1 == entries.size();
  if (tree.overflows(leaf)) {
    err = tree.split(path, path.size() - 1);
    if (err.ok() && becameLast) {
      // The split rewrote the parents; the copies of the greatest entry above the page that
      // took the new entry follow it.
      std::vector<PathStep> again;
      err = tree.descend(target, &again);
      if (err.ok()) err = tree.propagateLast(again, again.size() - 1, target);
    }
  } else {
    err = tree.write(path.back().pageNo);
    if (err.ok() && becameLast) err = tree.propagateLast(path, path.size() - 1, target);
  }
  // A failure half way leaves pages the cache may not show as they are on disk.
  if (!err.ok()) tree.forget();
  return err;
}

namespace {
DbError removeEntry(PageAllocator& allocator, const TableDef& def, const RealIndexDef& index,
                    const std::vector<uint8_t>& key, RowPointer row, IndexPageCache* cache);
}  // namespace

DbError indexRemove(PageAllocator& allocator, const TableDef& def, const RealIndexDef& index,
                    const std::vector<uint8_t>& key, RowPointer row, bool* keyGone,
                    IndexPageCache* cache) {
  DbError err = removeEntry(allocator, def, index, key, row, cache);
  if (!err.ok()) return err;
  bool found = false;
  err = indexContainsKey(allocator.file(), index, key, nullptr, &found, cache);
  *keyGone = !found;
  return err;
}

namespace {

DbError removeEntry(PageAllocator& allocator, const TableDef& def, const RealIndexDef& index,
                    const std::vector<uint8_t>& key, RowPointer row, IndexPageCache* cache) {
  Tree tree(&allocator, allocator.file(), &def, index, cache);
  tree.trimCache();
  const PageFile& file = allocator.file();
  std::vector<PathStep> path;
  const std::vector<uint8_t> target = orderBytes(key, row);
  DbError err = tree.descend(target, &path);
  if (!err.ok()) return err;
  auto& entries = path.back().page->entries;
  const size_t at = lowerBound(entries, target);
  if (at >= entries.size() || compareEntry(entries[at], target) != 0) {
    return file.corrupt("an index of table '" + def.name + "' lacks the entry of a row it should hold");
  }
  const bool wasLast = at + 1 == entries.size();
  entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(at));
  if (!entries.empty() || path.size() == 1) {
    err = tree.write(path.back().pageNo);
    if (err.ok() && wasLast && !entries.empty()) err = tree.propagateLast(path, path.size() - 1, target);
    if (!err.ok()) tree.forget();
    return err;
  }
  // The leaf is empty and not the root: it leaves its sibling chain and its parent, and its
  // page is given back; a parent left without children goes the same way.
  for (size_t level = path.size() - 1; level > 0; --level) {
    const PathStep gone = path[level];
    const uint32_t prev = gone.page->prev, next = gone.page->next;
    if (prev) {
      IndexPageContents* p = nullptr;
      err = tree.page(prev, &p);
      if (!err.ok()) break;
      p->next = next;
      err = tree.write(prev);
      if (!err.ok()) break;
    }
    if (next) {
      IndexPageContents* n = nullptr;
      err = tree.page(next, &n);
      if (!err.ok()) break;
      n->prev = prev;
      err = tree.write(next);
      if (!err.ok()) break;
    }
    err = updateUsageMap(allocator, index.usageMap, gone.pageNo, false);
    if (err.ok()) err = allocator.release(gone.pageNo);
    if (!err.ok()) break;
    tree.drop(gone.pageNo);
    PathStep& parent = path[level - 1];
    IndexPageContents& pc = *parent.page;
    auto& pe = pc.entries;
    if (parent.childIndex < pe.size()) {
      pe.erase(pe.begin() + static_cast<std::ptrdiff_t>(parent.childIndex));
    } else if (!pe.empty()) {
      pc.tail = pe.back().childPage;
      pe.pop_back();
    } else {
      pc.tail = 0;
    }
    const bool parentEmpty = pe.empty() && pc.tail == 0;
    if (parentEmpty && level - 1 > 0) continue;
    if (parentEmpty) {
      pc = IndexPageContents{};  // an empty root is an empty leaf
    } else if (pe.empty() && level - 1 > 0) {
      // One child left: Jet keeps it as an entry rather than a tail.
      IndexEntry only;
      err = tree.lastEntry(pc.tail, &only);
      if (!err.ok()) break;
      only.childPage = pc.tail;
      pc.tail = 0;
      pe.push_back(only);
    }
    err = tree.write(parent.pageNo);
    if (err.ok()) err = tree.propagateLast(path, level - 1, target);
    break;
  }
  if (!err.ok()) tree.forget();
  return err;
}

}  // namespace
}  // namespace db
