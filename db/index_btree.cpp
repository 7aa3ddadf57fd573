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

std::vector<uint8_t> orderBytes(const IndexEntry& e) { return orderBytes(e.key, e.row); }

struct PathStep {
  uint32_t pageNo;
  IndexPageContents contents;
  size_t childIndex;  // which child was followed: an entry index, or entries.size() for the tail
};

class Tree {
 public:
  Tree(PageAllocator* allocator, const PageFile& file, const TableDef* def, const RealIndexDef& index)
      : allocator_(allocator), file_(file), def_(def), index_(index) {}

  // Descends to the leaf where `target` belongs, recording the way down.
  DbError descend(const std::vector<uint8_t>& target, std::vector<PathStep>* path) const {
    path->clear();
    uint32_t pageNo = index_.rootPage;
    for (uint32_t steps = 0;; ++steps) {
      if (steps > file_.pageCount()) return file_.corrupt("an index loops back on itself");
      PathStep step{pageNo, {}, 0};
      DbError err = readIndexPage(file_, pageNo, &step.contents);
      if (!err.ok()) return err;
      if (step.contents.type == kPageIndexLeaf) {
        path->push_back(std::move(step));
        return {};
      }
      const auto& entries = step.contents.entries;
      size_t i = 0;
      while (i < entries.size() && orderBytes(entries[i]) < target) ++i;
      uint32_t child = 0;
      if (i < entries.size()) {
        child = entries[i].childPage;
      } else if (step.contents.tail != 0) {
        child = step.contents.tail;
      } else if (!entries.empty()) {
        i = entries.size() - 1;  // a page with one child keeps it as an entry, no tail
        child = entries[i].childPage;
      } else {
        return file_.corrupt("index page " + std::to_string(pageNo) + " has no children");
      }
      step.childIndex = i;
      path->push_back(std::move(step));
      pageNo = child;
    }
  }

  // The greatest leaf entry below `pageNo`.
  DbError lastEntry(uint32_t pageNo, IndexEntry* out) const {
    for (uint32_t steps = 0; steps <= file_.pageCount(); ++steps) {
      IndexPageContents c;
      DbError err = readIndexPage(file_, pageNo, &c);
      if (!err.ok()) return err;
      if (c.type == kPageIndexLeaf) {
        if (c.entries.empty()) return file_.corrupt("an index leaf below the root is empty");
        *out = c.entries.back();
        out->childPage = 0;
        return {};
      }
      pageNo = c.tail ? c.tail : (c.entries.empty() ? 0 : c.entries.back().childPage);
      if (pageNo == 0) return file_.corrupt("an index page has no children");
    }
    return file_.corrupt("an index loops back on itself");
  }

  DbError write(uint32_t pageNo, IndexPageContents& c) {
    // A parent whose children are all named by entries turns the last into its tail.
    if (c.type == kPageIndexNode && c.tail == 0 && c.entries.size() > 1) {
      c.tail = c.entries.back().childPage;
      c.entries.pop_back();
    }
    Page page;
    DbError err = encodeIndexPage(file_.format(), c, def_->tdefPage, &page);
    if (!err.ok()) return err;
    return allocator_->file().writePage(pageNo, page);
  }

  DbError newPage(uint32_t* pageNo) {
    DbError err = allocator_->allocate(emptyIndexRoot(file_.format(), def_->tdefPage), pageNo);
    if (!err.ok()) return err;
    return updateUsageMap(*allocator_, index_.usageMap, *pageNo, true);
  }

  bool overflows(const IndexPageContents& c) const {
    return encodedIndexEntriesSize(file_.format(), c.type, c.entries) >
           indexPageCapacity(file_.format());
  }

  // After the greatest entry below path[level] changed, the copies above it follow.
  DbError propagateLast(std::vector<PathStep>& path, size_t level) {
    for (size_t up = level; up-- > 0;) {
      PathStep& parent = path[up];
      IndexEntry last;
      DbError err = lastEntry(path[up + 1].pageNo, &last);
      if (!err.ok()) return err;
      if (parent.childIndex < parent.contents.entries.size()) {
        IndexEntry& e = parent.contents.entries[parent.childIndex];
        if (e.key == last.key && e.row.page == last.row.page && e.row.row == last.row.row) {
          return {};
        }
        e.key = last.key;
        e.row = last.row;
        err = write(parent.pageNo, parent.contents);
        if (!err.ok()) return err;
        // Only the tail's (or a lone entry's) greatest entry is the parent's own.
        const bool parentsLast = parent.contents.tail == 0 &&
                                 parent.childIndex + 1 == parent.contents.entries.size();
        if (!parentsLast) return {};
      }
    }
    return {};
  }

  // Splits the page at path[level], which overflows, and whatever overflows above it.
  DbError split(std::vector<PathStep>& path, size_t level) {
    PathStep& step = path[level];
    if (level == 0) {
      // The root keeps its page: its entries move to a new child, which is then split.
      uint32_t child = 0;
      DbError err = newPage(&child);
      if (!err.ok()) return err;
      PathStep moved{child, step.contents, 0};
      moved.contents.prev = moved.contents.next = 0;
      step.contents = IndexPageContents{};
      step.contents.type = kPageIndexNode;
      step.contents.tail = child;
      step.childIndex = 0;
      path.insert(path.begin() + 1, std::move(moved));
      err = write(path[0].pageNo, path[0].contents);
      if (!err.ok()) return err;
      return split(path, 1);
    }
    PathStep& parent = path[level - 1];
    IndexPageContents& full = step.contents;
    uint32_t leftNo = 0;
    DbError err = newPage(&leftNo);
    if (!err.ok()) return err;
    IndexPageContents left;
    left.type = full.type;
    const size_t half = (full.entries.size() + 1) / 2;
    left.entries.assign(full.entries.begin(), full.entries.begin() + half);
    full.entries.erase(full.entries.begin(), full.entries.begin() + half);
    left.prev = full.prev;
    left.next = step.pageNo;
    full.prev = leftNo;
    if (left.prev != 0) {
      IndexPageContents neighbour;
      err = readIndexPage(file_, left.prev, &neighbour);
      if (!err.ok()) return err;
      neighbour.next = leftNo;
      err = write(left.prev, neighbour);
      if (!err.ok()) return err;
    }
    if (full.type == kPageIndexNode) {
      // The left page's last child becomes its tail; links between intermediate pages stay
      // within one parent, so the moved children's chain is cut where the pages part.
      left.tail = left.entries.back().childPage;
      left.entries.pop_back();
      IndexPageContents lastChild, firstChild;
      const uint32_t firstRight = full.entries.empty() ? full.tail : full.entries.front().childPage;
      err = readIndexPage(file_, left.tail, &lastChild);
      if (err.ok()) err = readIndexPage(file_, firstRight, &firstChild);
      if (!err.ok()) return err;
      if (lastChild.type == kPageIndexNode) {
        lastChild.next = 0;
        firstChild.prev = 0;
        err = write(left.tail, lastChild);
        if (err.ok()) err = write(firstRight, firstChild);
        if (!err.ok()) return err;
      }
    }
    err = write(leftNo, left);
    if (err.ok()) err = write(step.pageNo, full);
    if (!err.ok()) return err;
    IndexEntry leftLast;
    err = lastEntry(leftNo, &leftLast);
    if (!err.ok()) return err;
    leftLast.childPage = leftNo;
    auto& pe = parent.contents.entries;
    pe.insert(pe.begin() + static_cast<std::ptrdiff_t>(parent.childIndex), leftLast);
    ++parent.childIndex;
    if (overflows(parent.contents)) return split(path, level - 1);
    return write(parent.pageNo, parent.contents);
  }

  PageAllocator* allocator_;
  const PageFile& file_;
  const TableDef* def_;
  const RealIndexDef& index_;
};

bool sameKeyPrefix(const IndexEntry& e, const std::vector<uint8_t>& key) { return e.key == key; }

}  // namespace

Page emptyIndexRoot(const FormatDescriptor& format, uint32_t ownerTdefPage) {
  Page page;
  IndexPageContents empty;
  encodeIndexPage(format, empty, ownerTdefPage, &page);
  return page;
}

DbError indexContainsKey(const PageFile& file, const RealIndexDef& index,
                         const std::vector<uint8_t>& key, const RowPointer* except, bool* found) {
  *found = false;
  Tree tree(nullptr, file, nullptr, index);
  std::vector<PathStep> path;
  // The smallest entry with this key has the row pointer 0/0: start there, walk right.
  DbError err = tree.descend(orderBytes(key, RowPointer{0, 0}), &path);
  if (!err.ok()) return err;
  IndexPageContents page = path.back().contents;
  for (uint32_t steps = 0; steps <= file.pageCount(); ++steps) {
    for (const IndexEntry& e : page.entries) {
      if (e.key < key) continue;
      if (!sameKeyPrefix(e, key)) return {};
      if (except && e.row.page == except->page && e.row.row == except->row) continue;
      *found = true;
      return {};
    }
    if (page.next == 0) return {};
    err = readIndexPage(file, page.next, &page);
    if (!err.ok()) return err;
  }
  return file.corrupt("an index's leaves loop back on themselves");
}

DbError indexInsert(PageAllocator& allocator, const TableDef& def, const RealIndexDef& index,
                    const std::vector<uint8_t>& key, RowPointer row, bool* newKey) {
  bool exists = false;
  DbError err = indexContainsKey(allocator.file(), index, key, nullptr, &exists);
  if (!err.ok()) return err;
  *newKey = !exists;
  Tree tree(&allocator, allocator.file(), &def, index);
  std::vector<PathStep> path;
  const std::vector<uint8_t> target = orderBytes(key, row);
  err = tree.descend(target, &path);
  if (!err.ok()) return err;
  PathStep& leaf = path.back();
  auto& entries = leaf.contents.entries;
  size_t at = 0;
  while (at < entries.size() && orderBytes(entries[at]) < target) ++at;
  if (at < entries.size() && orderBytes(entries[at]) == target) return {};  // already there
  IndexEntry entry;
  entry.key = key;
  entry.row = row;
  entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(at), entry);
  const bool becameLast = at + 1 == entries.size();
  if (tree.overflows(leaf.contents)) {
    const size_t level = path.size() - 1;
    err = tree.split(path, level);
    if (!err.ok()) return err;
    // The split rewrote the parents; their copies of last entries are right by construction,
    // except above the page that received the new greatest entry.
    if (becameLast) {
      std::vector<PathStep> again;
      err = tree.descend(target, &again);
      if (!err.ok()) return err;
      return tree.propagateLast(again, again.size() - 1);
    }
    return {};
  }
  err = tree.write(leaf.pageNo, leaf.contents);
  if (!err.ok()) return err;
  if (becameLast) return tree.propagateLast(path, path.size() - 1);
  return {};
}

DbError indexRemove(PageAllocator& allocator, const TableDef& def, const RealIndexDef& index,
                    const std::vector<uint8_t>& key, RowPointer row) {
  Tree tree(&allocator, allocator.file(), &def, index);
  const PageFile& file = allocator.file();
  std::vector<PathStep> path;
  const std::vector<uint8_t> target = orderBytes(key, row);
  DbError err = tree.descend(target, &path);
  if (!err.ok()) return err;
  PathStep& leaf = path.back();
  auto& entries = leaf.contents.entries;
  auto it = std::find_if(entries.begin(), entries.end(),
                         [&](const IndexEntry& e) { return orderBytes(e) == target; });
  if (it == entries.end()) {
    return file.corrupt("index of table '" + def.name + "' lacks the entry of a row it should hold");
  }
  const bool wasLast = it + 1 == entries.end();
  entries.erase(it);
  if (!entries.empty() || path.size() == 1) {
    err = tree.write(leaf.pageNo, leaf.contents);
    if (!err.ok()) return err;
    if (wasLast && !entries.empty()) return tree.propagateLast(path, path.size() - 1);
    return {};
  }
  // The leaf is empty and not the root: it leaves the leaf chain and its parent.
  for (size_t level = path.size() - 1; level > 0; --level) {
    PathStep& gone = path[level];
    if (gone.contents.prev) {
      IndexPageContents p;
      err = readIndexPage(file, gone.contents.prev, &p);
      if (!err.ok()) return err;
      p.next = gone.contents.next;
      err = tree.write(gone.contents.prev, p);
      if (!err.ok()) return err;
    }
    if (gone.contents.next) {
      IndexPageContents n;
      err = readIndexPage(file, gone.contents.next, &n);
      if (!err.ok()) return err;
      n.prev = gone.contents.prev;
      err = tree.write(gone.contents.next, n);
      if (!err.ok()) return err;
    }
    err = updateUsageMap(allocator, index.usageMap, gone.pageNo, false);
    if (!err.ok()) return err;
    err = allocator.release(gone.pageNo);
    if (!err.ok()) return err;
    PathStep& parent = path[level - 1];
    auto& pe = parent.contents.entries;
    if (parent.childIndex < pe.size()) {
      pe.erase(pe.begin() + static_cast<std::ptrdiff_t>(parent.childIndex));
    } else if (!pe.empty()) {
      parent.contents.tail = pe.back().childPage;
      pe.pop_back();
    } else {
      parent.contents.tail = 0;
    }
    const bool parentEmpty = pe.empty() && parent.contents.tail == 0;
    if (!parentEmpty || level - 1 == 0) {
      if (parentEmpty) {
        parent.contents = IndexPageContents{};  // an empty root is an empty leaf
      } else if (pe.empty() && parent.contents.tail != 0 && level - 1 > 0) {
        // One child left: Jet keeps it as an entry rather than a tail.
        IndexEntry only;
        err = tree.lastEntry(parent.contents.tail, &only);
        if (!err.ok()) return err;
        only.childPage = parent.contents.tail;
        parent.contents.tail = 0;
        pe.push_back(only);
      }
      err = tree.write(parent.pageNo, parent.contents);
      if (!err.ok()) return err;
      return tree.propagateLast(path, level - 1);
    }
  }
  return {};
}

}  // namespace db
