#include "db/deferred_index.h"

#include <algorithm>
#include <numeric>

namespace db {
namespace {

constexpr uint32_t kNoEntry = 0xFFFFFFFF;
// Rows an index must see in order before its entries go straight to its leaves.
constexpr size_t kOrderedRows = 64;

uint64_t hashKey(std::span<const uint8_t> key) {
  uint64_t h = 0xCBF29CE484222325ull ^ key.size();
  for (uint8_t b : key) h = (h ^ b) * 0x100000001B3ull;
  return h ^ (h >> 29);
}

bool lessKey(std::span<const uint8_t> a, std::span<const uint8_t> b) { return compareKeys(a, b) < 0; }

bool sameKey(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && compareKeys(a, b) == 0;
}

}  // namespace

struct DeferredIndexes::Held {
  enum class Way { Keys, Leaves, Written };
  Way way = Way::Keys;
  // Keys: each distinct key once, end to end; the hash table of key numbers; the key number
  // of each row, kNoEntry for none. A slot holds a key of up to eight bytes itself (most keys
  // are: a flag byte and a number), a longer key's hash otherwise, so that a lookup mostly
  // touches the slot alone.
  struct Slot {
    uint64_t tag = 0;       // the key's bytes, or its hash
    uint32_t number = 0;    // key number + 1; 0 for a free slot
    uint32_t length = 0;
  };
  std::vector<uint8_t> keyBytes;
  std::vector<uint32_t> keyEnds;
  std::vector<Slot> table;    // a power of two long, at most half full
  std::vector<uint32_t> keyOfRow;
  bool inOrder = true;  // every key so far the last one's or after it
  uint32_t lastKeyNumber = kNoEntry;
  // Leaves: the builder the entries go to, and the last key it took.
  std::unique_ptr<IndexBuilder> builder;
  std::vector<uint8_t> lastKey;
  bool anyEntry = false;

  std::span<const uint8_t> key(uint32_t k) const {
    const uint32_t begin = k == 0 ? 0 : keyEnds[k - 1];
    return std::span<const uint8_t>(keyBytes.data() + begin, keyEnds[k] - begin);
  }
  static uint64_t tagOf(std::span<const uint8_t> k, uint64_t hash) {
    if (k.size() > 8) return hash;
    uint64_t packed = 0;
    for (size_t i = 0; i < k.size(); ++i) packed |= uint64_t{k[i]} << (8 * i);
    return packed;
  }
  bool matches(const Slot& slot, std::span<const uint8_t> k, uint64_t tag) const {
    return slot.length == k.size() && slot.tag == tag && (k.size() <= 8 || sameKey(key(slot.number - 1), k));
  }
  // The number of the key, or kNoEntry; `slot` where it is or would go.
  uint32_t find(std::span<const uint8_t> k, size_t* slot) const {
    if (table.empty()) return kNoEntry;
    const uint64_t hash = hashKey(k);
    const uint64_t tag = tagOf(k, hash);
    const size_t mask = table.size() - 1;
    for (size_t s = hash & mask;; s = (s + 1) & mask) {
      if (table[s].number == 0 || matches(table[s], k, tag)) {
        *slot = s;
        return table[s].number == 0 ? kNoEntry : table[s].number - 1;
      }
    }
  }
  uint32_t insert(std::span<const uint8_t> k) {
    if (2 * (keyEnds.size() + 1) > table.size()) {
      std::vector<Slot> old = std::move(table);
      table.assign(std::max<size_t>(64, old.size() * 2), Slot{});
      const size_t mask = table.size() - 1;
      for (const Slot& entry : old) {
        if (entry.number == 0) continue;
        size_t s = hashKey(key(entry.number - 1)) & mask;
        while (table[s].number != 0) s = (s + 1) & mask;
        table[s] = entry;
      }
    }
    size_t slot = 0;
    find(k, &slot);
    keyBytes.insert(keyBytes.end(), k.begin(), k.end());
    keyEnds.push_back(static_cast<uint32_t>(keyBytes.size()));
    table[slot] = Slot{tagOf(k, hashKey(k)), static_cast<uint32_t>(keyEnds.size()),
                       static_cast<uint32_t>(k.size())};
    return static_cast<uint32_t>(keyEnds.size() - 1);
  }
  size_t bytes() const {
    return keyBytes.capacity() + 4 * (keyEnds.capacity() + keyOfRow.capacity()) +
           sizeof(Slot) * table.capacity() + lastKey.capacity();
  }
};

DeferredIndexes::DeferredIndexes(const TableDef& def) {
  for (size_t i = 0; i < def.realIndexes.size(); ++i) indexes_.push_back(std::make_unique<Held>());
}

DeferredIndexes::~DeferredIndexes() = default;

template <typename Change>
DbError DeferredIndexes::guarded(const TableDef& def, Change change) {
  if (lost_) {
    return lostBy_.ok() ? makeError(DbErrorNumber::OutOfMemory,
                                    "The indexes of table '" + def.name +
                                        "' cannot be written whole: memory ran out as they were.")
                        : lostBy_;
  }
  lost_ = true;  // until the change has ended well; an exception leaves it so
  DbError err = change();
  if (err.ok()) lost_ = false;
  else lostBy_ = err;
  return err;
}

bool DeferredIndexes::holds(size_t i) const { return indexes_[i]->way != Held::Way::Written; }

DbError DeferredIndexes::contains(PageAllocator& allocator, TableDef& def, size_t i,
                                  std::span<const uint8_t> key, bool* found, bool* answered) {
  return guarded(def, [&] { return answer(allocator, def, i, key, found, answered); });
}

DbError DeferredIndexes::answer(PageAllocator& allocator, TableDef& def, size_t i,
                                std::span<const uint8_t> key, bool* found, bool* answered) {
  Held& h = *indexes_[i];
  *found = false;
  *answered = true;
  switch (h.way) {
    case Held::Way::Keys: {
      size_t slot = 0;
      *found = h.find(key, &slot) != kNoEntry;
      return {};
    }
    case Held::Way::Leaves:
      if (!h.anyEntry || lessKey(h.lastKey, key)) return {};
      if (sameKey(h.lastKey, key)) {
        *found = true;
        return {};
      }
      *answered = false;
      return writeIndex(allocator, def, i);
    case Held::Way::Written:
      *answered = false;
      return {};
  }
  return {};
}

void DeferredIndexes::newRow(RowPointer row) {
  const bool lost = lost_;
  lost_ = true;  // entries are lost where memory runs out part way
  current_ = row;
  bool keyed = false;
  for (auto& h : indexes_) {
    if (h->way != Held::Way::Keys) continue;
    h->keyOfRow.push_back(kNoEntry);
    keyed = true;
  }
  if (keyed) rows_.push_back(row.stored());
  lost_ = lost;
}

DbError DeferredIndexes::add(PageAllocator& allocator, TableDef& def, size_t i,
                             std::span<const uint8_t> key, bool* taken, bool* newKey) {
  *taken = false;
  *newKey = false;
  return guarded(def, [&] { return take(allocator, def, i, key, taken, newKey); });
}

DbError DeferredIndexes::take(PageAllocator& allocator, TableDef& def, size_t i,
                              std::span<const uint8_t> key, bool* taken, bool* newKey) {
  Held& h = *indexes_[i];
  switch (h.way) {
    case Held::Way::Keys: {
      size_t slot = 0;
      uint32_t k = h.find(key, &slot);
      if (k == kNoEntry) {
        k = h.insert(key);
        *newKey = true;
      }
      h.keyOfRow.back() = k;
      if (h.inOrder && h.lastKeyNumber != kNoEntry && k != h.lastKeyNumber &&
          lessKey(key, h.key(h.lastKeyNumber))) {
        h.inOrder = false;
      }
      h.lastKeyNumber = k;
      *taken = true;
      if (h.inOrder && h.keyOfRow.size() >= kOrderedRows) return stream(allocator, def, i);
      return {};
    }
    case Held::Way::Leaves:
      if (!h.builder->follows(key, current_)) return writeIndex(allocator, def, i);
      *newKey = !h.anyEntry || !sameKey(h.lastKey, key);
      *taken = true;
      h.lastKey.assign(key.begin(), key.end());
      h.anyEntry = true;
      return h.builder->add(key, current_);
    case Held::Way::Written:
      return {};
  }
  return {};
}

DbError DeferredIndexes::stream(PageAllocator& allocator, TableDef& def, size_t i) {
  Held& h = *indexes_[i];
  // Rows of one key must come in the order of their places too; where they do not, the index
  // stays as it is and is sorted when written.
  uint32_t previous = kNoEntry;
  for (size_t r = 0; r < h.keyOfRow.size(); ++r) {
    const uint32_t k = h.keyOfRow[r];
    if (k == kNoEntry) continue;
    if (previous != kNoEntry && h.keyOfRow[previous] == k && rows_[previous] >= rows_[r]) {
      h.inOrder = false;
      return {};
    }
    previous = static_cast<uint32_t>(r);
  }
  h.builder = std::make_unique<IndexBuilder>(allocator, def, &def.realIndexes[i]);
  for (size_t r = 0; r < h.keyOfRow.size(); ++r) {
    if (h.keyOfRow[r] == kNoEntry) continue;
    const std::span<const uint8_t> key = h.key(h.keyOfRow[r]);
    DbError err = h.builder->add(key, RowPointer::fromStored(rows_[r]));
    if (!err.ok()) return err;
    h.lastKey.assign(key.begin(), key.end());
    h.anyEntry = true;
  }
  h.way = Held::Way::Leaves;
  h.keyBytes = {};
  h.keyEnds = {};
  h.table = {};
  h.keyOfRow = {};
  dropRowsWhenUnused();
  return {};
}

void DeferredIndexes::dropRowsWhenUnused() {
  for (const auto& h : indexes_) {
    if (h->way == Held::Way::Keys) return;
  }
  rows_ = {};
}

DbError DeferredIndexes::writeIndex(PageAllocator& allocator, TableDef& def, size_t i) {
  Held& h = *indexes_[i];
  DbError err;
  if (h.way == Held::Way::Leaves) {
    err = h.builder->finish();
  } else if (h.way == Held::Way::Keys) {
    // The keys in order, then the rows of each key in the order they came (their places'
    // order, checked), by a count of the rows per key.
    const size_t n = h.keyEnds.size();
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return lessKey(h.key(a), h.key(b)); });
    std::vector<uint32_t> rank(n);
    for (size_t r = 0; r < n; ++r) rank[order[r]] = static_cast<uint32_t>(r);
    std::vector<uint32_t> start(n + 1, 0);
    for (uint32_t k : h.keyOfRow) {
      if (k != kNoEntry) ++start[rank[k] + 1];
    }
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<uint32_t> byKey(start.back());
    {
      std::vector<uint32_t> at(start.begin(), start.end() - 1);
      for (size_t r = 0; r < h.keyOfRow.size(); ++r) {
        if (h.keyOfRow[r] != kNoEntry) byKey[at[rank[h.keyOfRow[r]]]++] = static_cast<uint32_t>(r);
      }
    }
    IndexBuilder builder(allocator, def, &def.realIndexes[i]);
    for (size_t r = 0; r < n && err.ok(); ++r) {
      const auto first = byKey.begin() + start[r], last = byKey.begin() + start[r + 1];
      auto place = [&](uint32_t a, uint32_t b) { return rows_[a] < rows_[b]; };
      if (!std::is_sorted(first, last, place)) std::sort(first, last, place);
      const std::span<const uint8_t> key = h.key(order[r]);
      for (auto it = first; it != last && err.ok(); ++it) {
        err = builder.add(key, RowPointer::fromStored(rows_[*it]));
      }
    }
    if (err.ok()) err = builder.finish();
  }
  h = Held{};
  h.way = Held::Way::Written;
  dropRowsWhenUnused();
  return err;
}

DbError DeferredIndexes::write(PageAllocator& allocator, TableDef& def) {
  return guarded(def, [&] {
    DbError err;
    for (size_t i = 0; i < indexes_.size() && err.ok(); ++i) {
      if (holds(i)) err = writeIndex(allocator, def, i);
    }
    return err;
  });
}

size_t DeferredIndexes::heldBytes() const {
  size_t total = 4 * rows_.capacity();
  for (const auto& h : indexes_) total += h->bytes();
  return total;
}

}  // namespace db
