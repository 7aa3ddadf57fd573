// format.cpp -- page 0:
//   0x00  page type 0x00, 0x01, 0x0000
//   0x04  engine name, 15 ASCII characters + NUL: "Standard Jet DB"
//   0x14  version byte: 0 Jet3 (2 KB pages), 1 Jet4 (4 KB pages), 2.. ACE
//   0x18  region XORed with the RC4 keystream of key C7 DA 39 6B, 126 (Jet3) / 128 (Jet4) bytes
// Inside the decoded region: 0x3A Jet3 sort order, 0x3C code page, 0x3E database key,
// 0x42 password (Jet3 20 bytes; Jet4 40 bytes, masked with the creation date), 0x6E Jet4 sort
// order, 0x72 Jet4 creation date.
#include "db/format.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "db/bytes.h"
#include "db/text_codec.h"

namespace db {
namespace {

constexpr char kJetEngineName[] = "Standard Jet DB";
constexpr char kAceEngineName[] = "Standard ACE DB";
constexpr uint32_t kEngineNameOffset = 4;
constexpr uint32_t kEngineNameLength = 15;
constexpr uint32_t kVersionOffset = 0x14;
constexpr uint32_t kMaskedStart = 0x18;
constexpr uint32_t kSortOrder3Offset = 0x3A;
constexpr uint32_t kCodePageOffset = 0x3C;
constexpr uint32_t kDatabaseKeyOffset = 0x3E;
constexpr uint32_t kPasswordOffset = 0x42;
constexpr uint32_t kPassword3Length = 20;
constexpr uint32_t kPassword4Length = 40;  // 20 UCS-2 characters
constexpr uint32_t kSortOrder4Offset = 0x6E;
constexpr uint32_t kCreationDateOffset = 0x72;
constexpr std::array<uint8_t, 4> kHeaderKey{0xC7, 0xDA, 0x39, 0x6B};

}  // namespace

void rc4(std::span<const uint8_t> key, std::span<uint8_t> data) {
  std::array<uint8_t, 256> s{};
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  for (int i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % key.size()]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  int i = 0, j = 0;
  for (uint8_t& b : data) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    b ^= s[(s[i] + s[j]) & 0xFF];
  }
}

void applyHeaderMask(std::span<uint8_t> page0, const FormatDescriptor& format) {
  rc4(kHeaderKey, page0.subspan(kMaskedStart, format.headerMaskedLength));
}

DbError detectFormat(std::span<const uint8_t> page0, const std::string& fileName,
                     DatabaseHeader* header) {
  auto notADatabase = [&](const std::string& why) {
    return makeError(DbErrorNumber::NotADatabase,
                     "'" + fileName + "' is not a database this program can read: " + why + ".");
  };
  if (page0.size() < kHeaderProbeSize) return notADatabase("the file is too short for a header");
  const char* name = reinterpret_cast<const char*>(page0.data() + kEngineNameOffset);
  if (std::memcmp(name, kAceEngineName, kEngineNameLength) == 0) {
    return notADatabase("it is an Access 2007 or later (.accdb) database");
  }
  if (page0[0] != 0 || std::memcmp(name, kJetEngineName, kEngineNameLength) != 0) {
    return notADatabase("it has no Jet database header");
  }
  const FormatDescriptor* format = nullptr;
  switch (page0[kVersionOffset]) {
    case 0: format = &kVersion3; break;
    case 1: format = &kVersion4; break;
    default:
      if (page0[kVersionOffset] <= 6) return notADatabase("it is an Access 2007 or later database");
      return notADatabase("its version byte " + std::to_string(page0[kVersionOffset]) +
                          " is unknown");
  }
  std::vector<uint8_t> copy(page0.begin(), page0.begin() + kHeaderProbeSize);
  applyHeaderMask(copy, *format);
  DatabaseHeader h;
  h.format = format;
  h.codePage = readU16(copy, kCodePageOffset);
  h.databaseKey = readU32(copy, kDatabaseKeyOffset);
  if (format->textEncoding == TextEncoding::CodePage) {
    h.sortOrder = readU16(copy, kSortOrder3Offset);
    h.password.assign(copy.begin() + kPasswordOffset, copy.begin() + kPasswordOffset + kPassword3Length);
  } else {
    h.sortOrder = readU16(copy, kSortOrder4Offset);
    h.creationDate = readF64(copy, kCreationDateOffset);
    // The password area is XORed with the creation date's integer part, repeated.
    int32_t dateMask = 0;
    if (std::isfinite(h.creationDate) && std::fabs(h.creationDate) < 2147483647.0) {
      dateMask = static_cast<int32_t>(h.creationDate);
    }
    uint8_t mask[4];
    writeU32(mask, 0, static_cast<uint32_t>(dateMask));
    for (uint32_t i = 0; i < kPassword4Length; ++i) {
      h.password.push_back(copy[kPasswordOffset + i] ^ mask[i % 4]);
    }
  }
  h.hasPassword = std::any_of(h.password.begin(), h.password.end(), [](uint8_t b) { return b != 0; });
  *header = h;
  return DbError::success();
}

DbError checkPassword(const DatabaseHeader& header, const std::string& given,
                      const std::string& fileName) {
  std::vector<uint8_t> bytes;
  if (header.format->textEncoding == TextEncoding::CodePage) {
    std::string encoded;
    encodeCodePage(given, header.codePage, &encoded);
    bytes.assign(encoded.begin(), encoded.end());
  } else {
    bytes = utf16leBytes(utf8ToUtf16(given));
  }
  // The area is NUL-padded: a password that fills it has no NUL of its own.
  const bool fits = bytes.size() <= header.password.size();
  bytes.resize(header.password.size(), 0);
  if (fits && bytes == header.password) return {};
  return makeError(DbErrorNumber::PasswordProtected,
                   given.empty() ? "'" + fileName + "' is protected by a database password."
                                 : "Not a valid password for '" + fileName + "'.");
}

void applyPageKey(std::span<uint8_t> page, uint32_t pageNo, uint32_t databaseKey) {
  uint8_t key[4];
  writeU32(key, 0, databaseKey ^ pageNo);
  rc4(key, page);
}

std::vector<uint8_t> newDatabaseHeader(const FormatDescriptor& format, double creationDate) {
  std::vector<uint8_t> page(format.pageSize, 0);
  page[1] = 0x01;
  std::memcpy(page.data() + kEngineNameOffset, kJetEngineName, kEngineNameLength + 1);
  page[kVersionOffset] = format.versionByte;
  // Fields of the masked region whose meaning is unknown; every engine-made file has these.
  static const uint8_t kConstant[24] = {0x00, 0x01, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00,
                                        0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                                        0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
  std::memcpy(page.data() + kMaskedStart, kConstant, sizeof kConstant);
  writeU16(page, kCodePageOffset, 1252);
  if (format.textEncoding == TextEncoding::CodePage) {
    writeU16(page, 0x38, 0x0001);
    writeU16(page, kSortOrder3Offset, 1033);
    writeU16(page, 0x56, 0x251E);
  } else {
    // The password area holds the mask of an empty password: the creation date's integer
    // part, repeated.
    const int32_t dateMask = static_cast<int32_t>(creationDate);
    for (uint32_t i = 0; i < kPassword4Length; i += 4) {
      writeU32(page.data(), kPasswordOffset + i, static_cast<uint32_t>(dateMask));
    }
    writeU32(page.data(), 0x6A, 0x000011A6);
    writeU16(page, kSortOrder4Offset, 1033);  // version 0: the General order Jet4 uses
    writeF64(page, kCreationDateOffset, creationDate);
    writeU32(page.data(), 0x98, 0x00000654);
    std::memcpy(page.data() + 0x9C, "4.0", 4);
    // A table of 256 uint16 at 0xE00 whose meaning is unknown: 0x0101, then 0x0100 for each
    // further entry, in every engine-made blank.
    for (uint32_t at = 0xE00; at + 1 < format.pageSize; at += 2) {
      page[at] = at == 0xE00 ? 0x01 : 0x00;
      page[at + 1] = 0x01;
    }
  }
  applyHeaderMask(page, format);
  return page;
}

}  // namespace db
