// bytes.h -- little-endian integers and floats at an offset. Callers check the range first
// (inRange); these read and write exactly the bytes named.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace db {

inline bool inRange(size_t size, size_t offset, size_t length) {
  return offset <= size && length <= size - offset;
}

// On a little-endian machine a load of the bytes as they are: the compiler does not always
// merge the byte-by-byte form into one load.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

inline uint16_t readU16(std::span<const uint8_t> b, size_t at) {
  if constexpr (kLittleEndian) {
    uint16_t v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
  }
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
inline uint32_t readU24(std::span<const uint8_t> b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (static_cast<uint32_t>(b[at + 2]) << 16);
}
inline uint32_t readU32(std::span<const uint8_t> b, size_t at) {
  if constexpr (kLittleEndian) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
  }
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
inline uint64_t readU64(std::span<const uint8_t> b, size_t at) {
  if constexpr (kLittleEndian) {
    uint64_t v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
  }
  return readU32(b, at) | (static_cast<uint64_t>(readU32(b, at + 4)) << 32);
}
inline float readF32(std::span<const uint8_t> b, size_t at) {
  uint32_t bits = readU32(b, at);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}
inline double readF64(std::span<const uint8_t> b, size_t at) {
  uint64_t bits = readU64(b, at);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline void writeU16(std::span<uint8_t> b, size_t at, uint16_t v) {
  if constexpr (kLittleEndian) {
    std::memcpy(b.data() + at, &v, sizeof v);
    return;
  }
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void writeU32(std::span<uint8_t> b, size_t at, uint32_t v) {
  if constexpr (kLittleEndian) {
    std::memcpy(b.data() + at, &v, sizeof v);
    return;
  }
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void writeU32(uint8_t* b, size_t at, uint32_t v) {
  if constexpr (kLittleEndian) {
    std::memcpy(b + at, &v, sizeof v);
    return;
  }
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void writeU64(std::span<uint8_t> b, size_t at, uint64_t v) {
  if constexpr (kLittleEndian) {
    std::memcpy(b.data() + at, &v, sizeof v);
    return;
  }
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void writeF64(std::span<uint8_t> b, size_t at, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  writeU64(b, at, bits);
}

}  // namespace db
