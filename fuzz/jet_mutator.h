// jet_mutator.h -- libFuzzer mutations that know the page layout of a Jet file, for the
// targets whose input is a whole database. Include it in exactly one file of a target: it
// defines the target's custom mutator and cross-over.
//
// Most random byte changes in a whole file land in row data, so half of the time a field that
// steers the readers is changed instead (a page-type byte, a tdef header or column record, a row
// count or slot entry, the first or last bytes of a row, where column counts, long-value headers,
// null masks and variable offsets live), or one page is copied over another.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace fuzz {
struct Mutator {
  uint8_t* data;
  size_t size;
  size_t pageSize;
  size_t pages;
  std::minstd_rand rng;

  uint32_t below(size_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng() % n); }

  uint8_t* page(size_t p) { return data + p * pageSize; }
  uint16_t u16(const uint8_t* b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }

  // A random page of the given type, or a random page when none has it.
  size_t pickPage(uint8_t type) {
    for (int tries = 0; tries < 64; ++tries) {
      size_t p = 1 + below(pages - 1);
      if (page(p)[0] == type) return p;
    }
    return 1 + below(pages - 1);
  }

  uint32_t interesting(uint32_t old) {
    static const uint32_t kValues[] = {0, 1, 2, 3, 7, 8, 0x7F, 0x80, 0xFF, 0x100, 0x1FFF, 0x2000,
                                       0x3FFF, 0x4000, 0x7FFF, 0x8000, 0xC000, 0xFFFF, 0x10000,
                                       0x3FFFFFFF, 0x40000000, 0x7FFFFFFF, 0x80000000,
                                       0xC0000000, 0xFFFFFFFF};
    switch (below(8)) {
      case 0: case 1: return kValues[below(std::size(kValues))];
      case 2: return old + 1;
      case 3: return old - 1;
      case 4: return old ^ (1u << below(32));
      case 5: return (below(pages + 2) << 8) | below(4);
      case 6: return below(pages + 2);
      default: return static_cast<uint32_t>(pageSize - below(64));
    }
  }

  void poke(size_t at, int width) {
    if (at + width > size) return;
    uint32_t old = 0;
    for (int i = 0; i < width; ++i) old |= static_cast<uint32_t>(data[at + i]) << (8 * i);
    uint32_t v = interesting(old);
    for (int i = 0; i < width; ++i) data[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  int width() {
    static const int kWidths[] = {1, 2, 2, 4};
    return kWidths[below(4)];
  }

  void mutateOnce() {
    const size_t rowCountAt = pageSize == 2048 ? 8 : 12;
    const size_t slotsAt = rowCountAt + 2;
    switch (below(10)) {
      case 0: {  // tdef header, column and index records
        size_t p = below(4) == 0 ? 2 : pickPage(0x02);
        poke(p * pageSize + (below(3) == 0 ? below(pageSize) : below(700)), width());
        break;
      }
      case 1: case 2: {  // data page header and slot table
        size_t p = pickPage(0x01);
        uint16_t count = u16(page(p) + rowCountAt);
        size_t limit = slotsAt + 2 * std::min<size_t>(count + 1, 64);
        poke(p * pageSize + below(limit), below(3) == 0 ? 1 : 2);
        break;
      }
      case 3: case 4: case 5: case 6: {  // the start or end of one row
        size_t p = pickPage(0x01);
        const uint8_t* pg = page(p);
        uint16_t count = u16(pg + rowCountAt);
        if (count == 0 || slotsAt + 2 * count > pageSize) {
          poke(p * pageSize + below(pageSize), width());
          break;
        }
        uint16_t slot = static_cast<uint16_t>(below(count));
        size_t start = u16(pg + slotsAt + 2 * slot) & 0x1FFF;
        size_t end = slot == 0 ? pageSize : (u16(pg + slotsAt + 2 * (slot - 1)) & 0x1FFF);
        if (start >= end || end > pageSize) {
          poke(p * pageSize + slotsAt + 2 * slot, 2);
          break;
        }
        size_t near = below(std::min<size_t>(end - start, 32));
        poke(p * pageSize + (below(2) ? start + near : end - 1 - near), width());
        break;
      }
      case 7:  // a usage-map page or a page-type byte
        if (below(2)) {
          poke(pickPage(0x05) * pageSize + below(pageSize), width());
        } else {
          page(1 + below(pages - 1))[0] = static_cast<uint8_t>(below(7));
        }
        break;
      case 8: {  // one page copied over another
        size_t from = below(pages);
        size_t to = 1 + below(pages - 1);
        if (from != to) std::memmove(page(to), page(from), pageSize);
        break;
      }
      default:  // anywhere at all
        poke(below(size), width());
        break;
    }
  }
};

}  // namespace fuzz

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
  std::minstd_rand rng(seed);
  if (size < 3 * 2048 || size < 0x15 || rng() % 2 == 0) return LLVMFuzzerMutate(data, size, maxSize);
  const size_t pageSize = data[0x14] == 0 ? 2048 : 4096;
  if (size % pageSize != 0 || size / pageSize < 3) return LLVMFuzzerMutate(data, size, maxSize);
  fuzz::Mutator m{data, size, pageSize, size / pageSize, rng};
  const int rounds = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < rounds; ++i) m.mutateOnce();
  return size;
}

// Splices a run of whole pages of the second input into the first.
extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* data1, size_t size1,
                                            const uint8_t* data2, size_t size2, uint8_t* out,
                                            size_t maxOutSize, unsigned int seed) {
  std::minstd_rand rng(seed);
  const size_t n = std::min(size1, maxOutSize);
  std::memcpy(out, data1, n);
  if (n < 3 * 2048 || size2 < 0x15 || data1[0x14] != data2[0x14]) return n;
  const size_t pageSize = data1[0x14] == 0 ? 2048 : 4096;
  const size_t pages1 = n / pageSize, pages2 = size2 / pageSize;
  if (pages1 < 2 || pages2 < 2) return n;
  const size_t from = 1 + rng() % (pages2 - 1);
  const size_t to = 1 + rng() % (pages1 - 1);
  const size_t count = 1 + rng() % std::min<size_t>(4, std::min(pages2 - from, pages1 - to));
  std::memcpy(out + to * pageSize, data2 + from * pageSize, count * pageSize);
  return n;
}

