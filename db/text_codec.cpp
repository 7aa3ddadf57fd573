#include "db/text_codec.h"

#include <array>
#include <cstring>
#include <vector>

#include "db/file_io.h"

namespace db {
namespace {

// Windows-1252 0x80..0x9F; the undefined bytes map to the C1 control of the same value.
constexpr std::array<char16_t, 32> kCp1252High{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void appendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Next code point of UTF-8 text; malformed bytes come back as U+FFFD, one byte at a time.
uint32_t nextCodePoint(std::string_view s, size_t* i) {
  const auto b0 = static_cast<uint8_t>(s[*i]);
  auto cont = [&](size_t k) {
    return *i + k < s.size() && (static_cast<uint8_t>(s[*i + k]) & 0xC0) == 0x80;
  };
  auto at = [&](size_t k) { return static_cast<uint8_t>(s[*i + k]) & 0x3F; };
  if (b0 < 0x80) { *i += 1; return b0; }
  if ((b0 & 0xE0) == 0xC0 && cont(1)) {
    uint32_t cp = ((b0 & 0x1F) << 6) | at(1);
    *i += 2;
    return cp >= 0x80 ? cp : 0xFFFD;
  }
  if ((b0 & 0xF0) == 0xE0 && cont(1) && cont(2)) {
    uint32_t cp = ((b0 & 0x0F) << 12) | (at(1) << 6) | at(2);
    *i += 3;
    return cp >= 0x800 ? cp : 0xFFFD;
  }
  if ((b0 & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
    uint32_t cp = ((b0 & 0x07) << 18) | (at(1) << 12) | (at(2) << 6) | at(3);
    *i += 4;
    return cp >= 0x10000 && cp <= 0x10FFFF ? cp : 0xFFFD;
  }
  *i += 1;
  return 0xFFFD;
}

// How many bytes from `at` on are ASCII, looked at eight at a time.
size_t asciiRun(const uint8_t* bytes, size_t at, size_t size) {
  size_t i = at;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    if (word & 0x8080808080808080ull) break;
  }
  while (i < size && bytes[i] < 0x80) ++i;
  return i - at;
}

// ASCII bytes as UTF-16LE units.
uint8_t* widenAscii(const uint8_t* from, size_t n, uint8_t* to) {
  for (size_t i = 0; i < n; ++i) {
    to[2 * i] = from[i];
    to[2 * i + 1] = 0;
  }
  return to + 2 * n;
}

uint32_t upperCodePoint(uint32_t c) {
  if (c >= 'a' && c <= 'z') return c - 0x20;
  if (c < 0x80) return c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    bool oddLower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (oddLower) return (c % 2 == 0) ? c - 1 : c;
    return (c % 2 == 1) ? c - 1 : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? 0x3A3 : c - 0x20;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  return c;
}

}  // namespace

std::string decodeCodePage(std::span<const uint8_t> bytes, uint16_t codePage) {
  std::string out;
  if (codePage != 1252 && codePage != 0) {
    std::string converted;
    // A code page the system lacks falls back to Windows-1252 below.
    if (io::decodeWithSystem(bytes, codePage, &converted) || !converted.empty()) return converted;
  }
  // Plain ASCII, the usual text, is the same in UTF-8 and goes over in runs; every other byte
  // takes two or three bytes, written into room made once and cut to what was used.
  if (bytes.empty()) return out;
  const size_t ascii = asciiRun(bytes.data(), 0, bytes.size());
  if (ascii == bytes.size()) return std::string(reinterpret_cast<const char*>(bytes.data()), ascii);
  out.resize(ascii + 3 * (bytes.size() - ascii));
  std::memcpy(out.data(), bytes.data(), ascii);
  char* to = out.data() + ascii;
  for (size_t i = ascii; i < bytes.size();) {
    const size_t run = asciiRun(bytes.data(), i, bytes.size());
    std::memcpy(to, bytes.data() + i, run);
    to += run;
    i += run;
    if (i == bytes.size()) break;
    const uint8_t b = bytes[i++];
    const uint32_t cp = b <= 0x9F ? kCp1252High[b - 0x80] : b;
    if (cp < 0x800) {
      *to++ = static_cast<char>(0xC0 | (cp >> 6));
      *to++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *to++ = static_cast<char>(0xE0 | (cp >> 12));
      *to++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *to++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  out.resize(static_cast<size_t>(to - out.data()));
  return out;
}

bool encodeCodePage(std::string_view utf8, uint16_t codePage, std::string* out) {
  if (codePage == 1252 || codePage == 0) {
    size_t ascii = 0;
    while (ascii < utf8.size() && static_cast<uint8_t>(utf8[ascii]) < 0x80) ++ascii;
    if (ascii == utf8.size()) {
      out->assign(utf8);
      return true;
    }
  }
  if (codePage != 1252 && codePage != 0) {
    std::string converted;
    bool ok = io::encodeWithSystem(utf8, codePage, &converted);
    if (ok || !converted.empty()) {
      *out = converted;
      return ok;
    }
  }
  out->clear();
  bool ok = true;
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = nextCodePoint(utf8, &i);
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
      out->push_back(static_cast<char>(cp));
      continue;
    }
    int found = -1;
    for (int k = 0; k < 32; ++k) {
      if (kCp1252High[k] == cp) found = k;
    }
    if (found >= 0) {
      out->push_back(static_cast<char>(0x80 + found));
    } else {
      out->push_back('?');
      ok = false;
    }
  }
  return ok;
}

std::string utf16leToUtf8(std::span<const uint8_t> bytes) {
  // At most three UTF-8 bytes per unit (a surrogate pair's four for its two units): written
  // into room made once, then cut to what was used.
  std::string out(bytes.size() / 2 * 3, '\0');
  char* to = out.data();
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t u = bytes[i] | (bytes[i + 1] << 8);
    if (u < 0x80) {
      *to++ = static_cast<char>(u);
      continue;
    }
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      uint32_t low = bytes[i + 2] | (bytes[i + 3] << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;  // a lone surrogate
    if (u < 0x800) {
      *to++ = static_cast<char>(0xC0 | (u >> 6));
      *to++ = static_cast<char>(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
      *to++ = static_cast<char>(0xE0 | (u >> 12));
      *to++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *to++ = static_cast<char>(0x80 | (u & 0x3F));
    } else {
      *to++ = static_cast<char>(0xF0 | (u >> 18));
      *to++ = static_cast<char>(0x80 | ((u >> 12) & 0x3F));
      *to++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *to++ = static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  out.resize(static_cast<size_t>(to - out.data()));
  return out;
}

std::string decodeJet4Text(std::span<const uint8_t> bytes) {
  if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) return utf16leToUtf8(bytes);
  std::string out;
  out.reserve(bytes.size());
  bool compressed = true;
  size_t i = 2;
  while (i < bytes.size()) {
    if (bytes[i] == 0x00) {
      compressed = !compressed;
      ++i;
      continue;
    }
    if (compressed) {
      // Up to the next switch: ASCII as it is, the rest of Latin-1 as two bytes each.
      size_t end = i;
      while (end < bytes.size() && bytes[end] != 0x00) ++end;
      while (i < end) {
        size_t ascii = i;
        while (ascii < end && bytes[ascii] < 0x80) ++ascii;
        out.append(reinterpret_cast<const char*>(bytes.data()) + i, ascii - i);
        for (i = ascii; i < end && bytes[i] >= 0x80; ++i) appendUtf8(&out, bytes[i]);
      }
    } else {
      // The whole run of two-byte units at once, so that surrogate pairs stay together.
      size_t end = i;
      while (end + 1 < bytes.size() && bytes[end] != 0x00) end += 2;
      if (end == i) break;  // an odd trailing byte
      out += utf16leToUtf8(bytes.subspan(i, end - i));
      i = end;
    }
  }
  return out;
}

void appendJet4Text(std::string_view utf8, bool mayCompress, size_t maxCompressed,
                    std::vector<uint8_t>* out) {
  constexpr size_t kMinCompressedChars = 3;
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
  // Plain ASCII, the usual text, needs no decoding: each byte is a character.
  if (asciiRun(bytes, 0, utf8.size()) == utf8.size()) {
    const size_t units = utf8.size();
    const size_t at = out->size();
    if (mayCompress && units >= kMinCompressedChars && units <= maxCompressed &&
        std::memchr(bytes, 0, units) == nullptr) {
      out->resize(at + 2 + units);
      (*out)[at] = 0xFF;
      (*out)[at + 1] = 0xFE;
      std::memcpy(out->data() + at + 2, bytes, units);
    } else {
      out->resize(at + 2 * units);
      widenAscii(bytes, units, out->data() + at);
    }
    return;
  }
  // Code points of one or two bytes, the rest of the text in practice, are decoded here; the
  // longer and the malformed go through nextCodePoint.
  auto next = [&](size_t* i) -> uint32_t {
    const uint8_t b0 = bytes[*i];
    if (b0 < 0x80) {
      *i += 1;
      return b0;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF && *i + 1 < utf8.size() && (bytes[*i + 1] & 0xC0) == 0x80) {
      const uint32_t cp = ((b0 & 0x1Fu) << 6) | (bytes[*i + 1] & 0x3Fu);
      *i += 2;
      return cp;
    }
    return nextCodePoint(utf8, i);
  };
  // Text that cannot be compressed (a long Memo has more characters than may be: a UTF-8
  // byte is at most one character) is written in one pass, into room for the most it needs.
  const size_t at = out->size();
  if (!mayCompress || utf8.size() / 4 > maxCompressed) {
    out->resize(at + 2 * utf8.size());
    uint8_t* to = out->data() + at;
    for (size_t i = 0; i < utf8.size();) {
      const size_t run = asciiRun(bytes, i, utf8.size());
      to = widenAscii(bytes + i, run, to);
      i += run;
      if (i == utf8.size()) break;
      uint32_t cp = next(&i);
      if (cp >= 0x10000) {
        cp -= 0x10000;
        const uint32_t high = 0xD800 + (cp >> 10), low = 0xDC00 + (cp & 0x3FF);
        *to++ = static_cast<uint8_t>(high);
        *to++ = static_cast<uint8_t>(high >> 8);
        *to++ = static_cast<uint8_t>(low);
        *to++ = static_cast<uint8_t>(low >> 8);
      } else {
        *to++ = static_cast<uint8_t>(cp);
        *to++ = static_cast<uint8_t>(cp >> 8);
      }
    }
    out->resize(static_cast<size_t>(to - out->data()));
    return;
  }
  size_t units = 0;
  bool narrow = true;
  for (size_t i = 0; i < utf8.size();) {
    const uint32_t cp = next(&i);
    narrow = narrow && cp != 0 && cp <= 0xFF;
    units += cp >= 0x10000 ? 2 : 1;
  }
  if (mayCompress && narrow && units >= kMinCompressedChars && units <= maxCompressed) {
    out->resize(at + 2 + units);
    uint8_t* to = out->data() + at;
    *to++ = 0xFF;
    *to++ = 0xFE;
    for (size_t i = 0; i < utf8.size();) *to++ = static_cast<uint8_t>(next(&i));
    return;
  }
  out->resize(at + 2 * units);
  uint8_t* to = out->data() + at;
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = next(&i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      const uint32_t high = 0xD800 + (cp >> 10), low = 0xDC00 + (cp & 0x3FF);
      *to++ = static_cast<uint8_t>(high);
      *to++ = static_cast<uint8_t>(high >> 8);
      *to++ = static_cast<uint8_t>(low);
      *to++ = static_cast<uint8_t>(low >> 8);
    } else {
      *to++ = static_cast<uint8_t>(cp);
      *to++ = static_cast<uint8_t>(cp >> 8);
    }
  }
}

std::u16string utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = nextCodePoint(utf8, &i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::vector<uint8_t> utf16leBytes(std::u16string_view units) {
  std::vector<uint8_t> bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t u : units) {
    bytes.push_back(static_cast<uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  }
  return bytes;
}

std::string utf16ToUtf8(std::u16string_view text) { return utf16leToUtf8(utf16leBytes(text)); }

size_t utf16Length(std::string_view utf8) {
  size_t n = 0;
  for (size_t i = 0; i < utf8.size();) n += nextCodePoint(utf8, &i) >= 0x10000 ? 2 : 1;
  return n;
}

std::string upperCase(std::string_view utf8) {
  std::string out(utf8);
  bool ascii = true;
  for (char& c : out) {
    if (static_cast<uint8_t>(c) >= 0x80) {
      ascii = false;
      break;
    }
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  }
  if (ascii) return out;
  out.clear();
  for (size_t i = 0; i < utf8.size();) appendUtf8(&out, upperCodePoint(nextCodePoint(utf8, &i)));
  return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return upperCase(a) == upperCase(b);
}

}  // namespace db
