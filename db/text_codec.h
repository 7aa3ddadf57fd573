// text_codec.h -- text as the files store it, to and from UTF-8, which is how text reaches
// callers. Jet3 text is single-byte in the database's code page; Jet4 text is UTF-16LE, or
// "compressed": FF FE, then one byte per character U+0001..U+00FF, a 0x00 byte switching to
// two-byte units and back.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace db {

// Bytes in Windows code page `codePage` to UTF-8. Windows-1252 is built in (its five undefined
// bytes become the C1 controls U+0081, U+008D, U+008F, U+0090, U+009D, as Windows maps them, so
// that the byte can be written back); other code pages go through the system's tables (iconv, or
// Windows' own), and fall back to Windows-1252 where it does not know them.
std::string decodeCodePage(std::span<const uint8_t> bytes, uint16_t codePage);

// UTF-8 to bytes in `codePage`; characters the code page lacks become '?'. Returns false
// when one was replaced.
bool encodeCodePage(std::string_view utf8, uint16_t codePage, std::string* out);

// A Jet4 text value, compressed or not, to UTF-8.
std::string decodeJet4Text(std::span<const uint8_t> bytes);
// UTF-8 text appended to `out` as a Jet4 value: compressed when `mayCompress`, every character
// is U+0001..U+00FF and there are at least three (fewer gain nothing on the marker) and at
// most `maxCompressed`; otherwise UTF-16LE.
void appendJet4Text(std::string_view utf8, bool mayCompress, size_t maxCompressed,
                    std::vector<uint8_t>* out);

std::string utf16leToUtf8(std::span<const uint8_t> bytes);
std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view text);
// UTF-16 units as the files store them: each unit's low byte, then its high byte.
std::vector<uint8_t> utf16leBytes(std::u16string_view units);

// Number of UTF-16 code units, which is what Jet's text lengths count.
size_t utf16Length(std::string_view utf8);

// Upper-case form used for comparing names and paths without regard to letter case (ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic letters).
std::string upperCase(std::string_view utf8);
bool equalsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace db
