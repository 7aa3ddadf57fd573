// bytes.h -- little-endian integers and floats at an offset. Callers check the range first
// (inRange); these read and write exactly the bytes named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace db {

inline bool inRange(size_t size, size_t offset, size_t length) {
  return offset <= size && length <= size - offset;
}

inline uint16_t readU16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
inline uint32_t readU24(std::span<const uint8_t> b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (static_cast<uint32_t>(b[at + 2]) << 16);
}
inline uint32_t readU32(std::span<const uint8_t> b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
inline uint64_t readU64(std::span<const uint8_t> b, size_t at) {
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
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void writeU32(std::span<uint8_t> b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void writeU32(uint8_t* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void writeU64(std::span<uint8_t> b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void writeF64(std::span<uint8_t> b, size_t at, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  writeU64(b, at, bits);
}

}  // namespace db
