// sha256.h -- SHA-256 of a byte string, as dumps print long binary values.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace db {

// Lower-case hexadecimal digest.
std::string sha256Hex(std::span<const uint8_t> data);

}  // namespace db
