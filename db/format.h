// format.h -- what differs between the 2 KB-page (version 3) and 4 KB-page (version 4) layouts,
// and the database header on page 0.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "db/error.h"

namespace db {

inline constexpr uint32_t kAbsent = 0xFFFFFFFF;  // a field this version lacks; reading it is a bug

enum class TextEncoding { CodePage, Utf16Le };

struct FormatDescriptor {
  const char* name;              // "Jet3" or "Jet4", as dumps print it
  uint8_t versionByte;           // byte 0x14 of page 0
  uint32_t pageSize;             // bytes per page
  TextEncoding textEncoding;     // single-byte code page, or UTF-16LE

  // Page 0: the RC4-masked region starts at 0x18 and is this long.
  uint32_t headerMaskedLength;

  // Data pages (also long-value and usage-map pages).
  uint32_t dataRowCountOffset;   // uint16 LE: number of row slots
  uint32_t dataRowTableOffset;   // first uint16 LE slot entry

  // Table definition stream (offsets from the start of the first tdef page).
  uint32_t tdefRowCountOffset;
  uint32_t tdefAutonumberOffset;     // last Long autonumber handed out
  uint32_t tdefAutonumberEnableOffset;
  uint32_t tdefTableTypeOffset;      // 'N' user, 'S' system
  uint32_t tdefMaxColumnsOffset;
  uint32_t tdefVarColumnsOffset;
  uint32_t tdefColumnCountOffset;
  uint32_t tdefLogicalIndexCountOffset;
  uint32_t tdefRealIndexCountOffset;
  uint32_t tdefOwnedMapOffset;
  uint32_t tdefFreeMapOffset;
  uint32_t tdefHeaderSize;           // where the real-index row-count block starts
  uint32_t realIndexCountSize;       // one record of that block

  // Column record.
  uint32_t columnRecordSize;
  uint32_t columnNumberOffset;
  uint32_t columnVarSlotOffset;
  uint32_t columnSortOrderOffset;
  uint32_t columnCodePageOffset;
  uint32_t columnPrecisionOffset;
  uint32_t columnScaleOffset;
  uint32_t columnFlagsOffset;
  uint32_t columnExtFlagsOffset;
  uint32_t columnFixedOffsetOffset;
  uint32_t columnLengthOffset;
  uint32_t nameLengthSize;           // length prefix of a column or index name

  // Real index record.
  uint32_t realIndexRecordSize;
  uint32_t realIndexColumnsOffset;   // 10 slots of {column number: 2, flags: 1}
  uint32_t realIndexMapOffset;
  uint32_t realIndexRootOffset;
  uint32_t realIndexFlagsOffset;

  // Logical index record.
  uint32_t logicalIndexRecordSize;
  uint32_t logicalIndexNumberOffset;
  uint32_t logicalIndexRealOffset;
  uint32_t logicalIndexTypeOffset;

  // Rows.
  uint32_t rowColumnCountSize;       // the row's leading column count
  uint32_t rowVarOffsetSize;         // each entry of the variable-offset table

  // Index pages.
  uint32_t indexPrevOffset;
  uint32_t indexNextOffset;
  uint32_t indexTailOffset;
  uint32_t indexPrefixOffset;
  uint32_t indexPrefixSize;
  uint32_t indexMaskOffset;
  uint32_t indexEntryStart;
};

inline constexpr FormatDescriptor kVersion3{
    .name = "Jet3", .versionByte = 0, .pageSize = 2048, .textEncoding = TextEncoding::CodePage,
    .headerMaskedLength = 126,
    .dataRowCountOffset = 8, .dataRowTableOffset = 10,
    .tdefRowCountOffset = 12, .tdefAutonumberOffset = 16, .tdefAutonumberEnableOffset = kAbsent,
    .tdefTableTypeOffset = 20, .tdefMaxColumnsOffset = 21, .tdefVarColumnsOffset = 23,
    .tdefColumnCountOffset = 25, .tdefLogicalIndexCountOffset = 27,
    .tdefRealIndexCountOffset = 31, .tdefOwnedMapOffset = 35, .tdefFreeMapOffset = 39,
    .tdefHeaderSize = 43, .realIndexCountSize = 8,
    .columnRecordSize = 18, .columnNumberOffset = 1, .columnVarSlotOffset = 3,
    .columnSortOrderOffset = 9, .columnCodePageOffset = 11, .columnPrecisionOffset = kAbsent,
    .columnScaleOffset = kAbsent, .columnFlagsOffset = 13, .columnExtFlagsOffset = kAbsent,
    .columnFixedOffsetOffset = 14, .columnLengthOffset = 16, .nameLengthSize = 1,
    .realIndexRecordSize = 39, .realIndexColumnsOffset = 0, .realIndexMapOffset = 30,
    .realIndexRootOffset = 34, .realIndexFlagsOffset = 38,
    .logicalIndexRecordSize = 20, .logicalIndexNumberOffset = 0, .logicalIndexRealOffset = 4,
    .logicalIndexTypeOffset = 19,
    .rowColumnCountSize = 1, .rowVarOffsetSize = 1,
    .indexPrevOffset = 8, .indexNextOffset = 12, .indexTailOffset = 16,
    .indexPrefixOffset = 20, .indexPrefixSize = 1, .indexMaskOffset = 22,
    .indexEntryStart = 248,
};

inline constexpr FormatDescriptor kVersion4{
    .name = "Jet4", .versionByte = 1, .pageSize = 4096, .textEncoding = TextEncoding::Utf16Le,
    .headerMaskedLength = 128,
    .dataRowCountOffset = 12, .dataRowTableOffset = 14,
    .tdefRowCountOffset = 16, .tdefAutonumberOffset = 20, .tdefAutonumberEnableOffset = 24,
    .tdefTableTypeOffset = 40, .tdefMaxColumnsOffset = 41, .tdefVarColumnsOffset = 43,
    .tdefColumnCountOffset = 45, .tdefLogicalIndexCountOffset = 47,
    .tdefRealIndexCountOffset = 51, .tdefOwnedMapOffset = 55, .tdefFreeMapOffset = 59,
    .tdefHeaderSize = 63, .realIndexCountSize = 12,
    .columnRecordSize = 25, .columnNumberOffset = 5, .columnVarSlotOffset = 7,
    .columnSortOrderOffset = 11, .columnCodePageOffset = kAbsent, .columnPrecisionOffset = 11,
    .columnScaleOffset = 12, .columnFlagsOffset = 15, .columnExtFlagsOffset = 16,
    .columnFixedOffsetOffset = 21, .columnLengthOffset = 23, .nameLengthSize = 2,
    .realIndexRecordSize = 52, .realIndexColumnsOffset = 4, .realIndexMapOffset = 34,
    .realIndexRootOffset = 38, .realIndexFlagsOffset = 46,
    .logicalIndexRecordSize = 28, .logicalIndexNumberOffset = 4, .logicalIndexRealOffset = 8,
    .logicalIndexTypeOffset = 23,
    .rowColumnCountSize = 2, .rowVarOffsetSize = 2,
    .indexPrevOffset = 12, .indexNextOffset = 16, .indexTailOffset = 20,
    .indexPrefixOffset = 24, .indexPrefixSize = 2, .indexMaskOffset = 27,
    .indexEntryStart = 480,
};

// The smallest header that detectFormat can judge: up to the end of the Jet4 masked region.
inline constexpr uint32_t kHeaderProbeSize = 0x18 + 128;

// What page 0 says about the whole file, after its masked region has been decoded.
struct DatabaseHeader {
  const FormatDescriptor* format = nullptr;
  uint16_t codePage = 1252;       // Jet3 text; Jet4 keeps the field but stores Unicode
  uint16_t sortOrder = 1033;      // collation LCID
  uint32_t databaseKey = 0;       // non-zero: every page but page 0 is RC4-encrypted
  bool hasPassword = false;
  // The password area with the masks taken off: Jet3 20 bytes of code-page text, Jet4 40
  // bytes of UTF-16LE, NUL-padded.
  std::vector<uint8_t> password;
  double creationDate = 0;        // Jet4 only
};

// Reads the engine name and version byte, decodes the masked region and fills `header`.
// Refuses what this engine cannot read: other engines and ACE files. `fileName` only names
// the file in the description.
DbError detectFormat(std::span<const uint8_t> page0, const std::string& fileName,
                     DatabaseHeader* header);

// Whether `given` (UTF-8) is the database password the header holds, as Jet compares it:
// exactly, letter case included. PasswordProtected (3031) when it is not.
DbError checkPassword(const DatabaseHeader& header, const std::string& given,
                      const std::string& fileName);

// Decrypts (or encrypts: RC4 is its own inverse) page `pageNo` of an encoded database: the
// whole page under the key made of the database key XORed with the page number, as four
// little-endian bytes. Page 0 is never encoded.
void applyPageKey(std::span<uint8_t> page, uint32_t pageNo, uint32_t databaseKey);

// Page 0 of a new database: engine name, version, the engine's constant fields, code page
// 1252, General sort order, no key or password, and `creationDate` (Jet4), masked.
std::vector<uint8_t> newDatabaseHeader(const FormatDescriptor& format, double creationDate);

// XORs the masked region of a page-0 copy with the fixed RC4 keystream (decode = encode).
void applyHeaderMask(std::span<uint8_t> page0, const FormatDescriptor& format);

// Plain RC4 over `data` with `key`; used for the header mask and encoded pages.
void rc4(std::span<const uint8_t> key, std::span<uint8_t> data);

}  // namespace db
