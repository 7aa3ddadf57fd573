// Values as callers see them: conversions with Jet's rules and errors, the text forms dumps
// print, and stored text decoding.
#include <gtest/gtest.h>

#include <cmath>

#include "db/text_codec.h"
#include "db/value.h"

namespace {

using db::DbErrorNumber;
using db::Variant;

TEST(ValueTest, toInt32RoundsHalfToEvenAndRefusesWhatIsNoNumber) {
  struct Case {
    Variant value;
    int32_t expected;
    DbErrorNumber error = DbErrorNumber::Ok;
  };
  const Case cases[] = {
      {Variant(int16_t{-7}), -7},
      {Variant(uint8_t{255}), 255},
      {Variant(true), -1},
      {Variant(false), 0},
      {Variant(2.5), 2},
      {Variant(3.5), 4},
      {Variant(-2.5), -2},
      {Variant(db::Currency{15000}), 2},  // 1.5
      {Variant(" 42 "), 42},
      {Variant("-1e3"), -1000},
      {Variant(2147483647.4), 2147483647},
      {Variant(), 0, DbErrorNumber::InvalidUseOfNull},
      {Variant("12abc"), 0, DbErrorNumber::TypeMismatchVb},
      {Variant(""), 0, DbErrorNumber::TypeMismatchVb},
      {Variant(std::vector<uint8_t>{1}), 0, DbErrorNumber::TypeMismatchVb},
      {Variant(2147483648.0), 0, DbErrorNumber::NumericOverflow},
      {Variant("-3000000000"), 0, DbErrorNumber::NumericOverflow},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.isNull() ? "Null" : c.value.text());
    int32_t v = 0;
    EXPECT_EQ(c.value.toInt32(&v).number, static_cast<int>(c.error));
    if (c.error == DbErrorNumber::Ok) {
      EXPECT_EQ(v, c.expected);
    }
  }
  EXPECT_THROW(Variant().int32(), db::DbException);
}

TEST(ValueTest, textFormsOfEachType) {
  EXPECT_EQ(Variant(true).text(), "True");
  EXPECT_EQ(Variant(int32_t{-12}).text(), "-12");
  EXPECT_EQ(Variant(db::Currency{-1}).text(), "-0.0001");
  EXPECT_EQ(Variant(db::Currency{180000}).text(), "18");
  EXPECT_EQ(Variant(0.1).text(), "0.1");
  EXPECT_EQ(Variant(1.0f / 3).text(), "0.33333334");
  EXPECT_EQ(Variant(db::DateValue{27293.0}).text(), "1974-09-21");
  EXPECT_EQ(Variant(db::DateValue{27293.75}).text(), "1974-09-21 18:00:00");
  EXPECT_EQ(Variant("abc").text(), "abc");
  db::Guid g{0x6A, 0x27, 0x39, 0x8E, 0xA8, 0xBC, 0xC4, 0x4A,
             0x89, 0x1E, 0x49, 0x91, 0x1D, 0x84, 0x38, 0xDD};
  EXPECT_EQ(Variant(g).text(), "{8E39276A-BCA8-4AC4-891E-49911D8438DD}");
  EXPECT_THROW(Variant().text(), db::DbException);
}

TEST(ValueTest, numbersPrintInShortestRoundTripForm) {
  EXPECT_EQ(db::formatDouble(444.555), "444.555");
  EXPECT_EQ(db::formatDouble(1e21), "1e+21");
  EXPECT_EQ(db::formatDouble(1e20), "100000000000000000000");
  EXPECT_EQ(db::formatDouble(5e-7), "5e-7");
  EXPECT_EQ(db::formatDouble(0.000001), "0.000001");
  EXPECT_EQ(db::formatDouble(-0.0), "0");
  EXPECT_EQ(db::formatDouble(-1.5e-10), "-1.5e-10");
  EXPECT_EQ(db::formatSingle(0.15f), "0.15");
  EXPECT_EQ(db::formatDecimal({.negative = true, .scale = 3, .magnitude = 12500}), "-12.5");
  EXPECT_EQ(db::formatDecimal({.magnitude = static_cast<unsigned __int128>(1) << 100}),
            "1267650600228229401496703205376");
}

TEST(ValueTest, datesBeforeDayZeroKeepAPositiveTimeOfDay) {
  EXPECT_EQ(db::formatDate({0.0}), "1899-12-30T00:00:00");
  EXPECT_EQ(db::formatDate({-1.25}), "1899-12-29T06:00:00");
  EXPECT_EQ(db::formatDate({-1.1}), "1899-12-29T02:24:00");
  EXPECT_EQ(db::formatDate({-34534}), "1805-06-12T00:00:00");
  EXPECT_EQ(db::formatDate({36526.5000115741}), "2000-01-01T12:00:01");
  EXPECT_EQ(db::formatDate({1.0005}), "1899-12-31T00:00:43.200");
  // Out of Jet's range or not a number: the day number, never a made-up date.
  EXPECT_EQ(db::formatDate({1e12}), "1000000000000");
  EXPECT_EQ(db::formatDate({std::nan("")}), "NaN");
}

TEST(ValueTest, jet4TextDecodesCompressedRunsAndToggles) {
  using Bytes = std::vector<uint8_t>;
  EXPECT_EQ(db::decodeJet4Text(Bytes{0xFF, 0xFE, 'a', 'b', 'c'}), "abc");
  EXPECT_EQ(db::decodeJet4Text(Bytes{0xFF, 0xFE, 0xE4, 0xE4, 'k'}), "\xC3\xA4\xC3\xA4k");
  // A 0x00 byte switches to two-byte units and back.
  EXPECT_EQ(db::decodeJet4Text(Bytes{0xFF, 0xFE, 'a', 0x00, 0x1C, 0x04, 0x00, 'z'}), "a\xD0\x9Cz");
  EXPECT_EQ(db::decodeJet4Text(Bytes{'h', 0, 'i', 0}), "hi");
  EXPECT_EQ(db::decodeJet4Text(Bytes{0x3D, 0xD8, 0x00, 0xDE}), "\xF0\x9F\x98\x80");
  EXPECT_EQ(db::decodeJet4Text(Bytes{'h', 0, 'i'}), "h");  // odd trailing byte
}

TEST(ValueTest, codePageTextKeepsEveryByte) {
  std::vector<uint8_t> all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<uint8_t>(b));
  const std::string text = db::decodeCodePage(all, 1252);
  EXPECT_NE(text.find("\xE2\x82\xAC"), std::string::npos);  // 0x80 is the euro sign
  std::string back;
  EXPECT_TRUE(db::encodeCodePage(text, 1252, &back));
  EXPECT_EQ(back, std::string(all.begin(), all.end()));
  std::string lossy;
  EXPECT_FALSE(db::encodeCodePage("\xD0\x9C", 1252, &lossy));
  EXPECT_EQ(lossy, "?");
}

// Other code pages go through the system's tables, with the same results on every system: a
// character a code page lacks is '?' and reported; a code page nobody knows reads as Windows-1252.
TEST(ValueTest, otherCodePagesConvertBothWays) {
  struct Case {
    uint16_t codePage;
    std::string bytes;
    std::string text;
  } const cases[] = {
      {1251, "\xC0\xE1\xE2", "Абв"},
      {1250, "\xB9\xE6\xF8", "ąćř"},
      {1253, "\xC1\xE2", "Αβ"},
      {932, "\x82\xA0\x8A\xBF", "あ漢"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    EXPECT_EQ(db::decodeCodePage(std::span(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()),
                                 c.codePage),
              c.text);
    std::string back;
    EXPECT_TRUE(db::encodeCodePage(c.text, c.codePage, &back));
    EXPECT_EQ(back, c.bytes);
    EXPECT_FALSE(db::encodeCodePage("a\xC4\x81" + c.text, c.codePage, &back));  // ā is in none of them
    EXPECT_EQ(back, "a?" + c.bytes);
  }
  EXPECT_EQ(db::decodeCodePage(std::vector<uint8_t>{0x80}, 2), "\xE2\x82\xAC");
}

TEST(ValueTest, upperCaseFoldsLettersForComparisons) {
  EXPECT_EQ(db::upperCase("Umsätze ÿ"), "UMSÄTZE Ÿ");
  EXPECT_TRUE(db::equalsIgnoreCase("straße", "STRAßE"));
  EXPECT_TRUE(db::equalsIgnoreCase("мир", "МИР"));
  EXPECT_TRUE(db::equalsIgnoreCase("Łódź", "ŁÓDŹ"));
  EXPECT_FALSE(db::equalsIgnoreCase("a", "b"));
  EXPECT_EQ(db::utf16Length("a\xF0\x9F\x98\x80"), 3u);
}

}  // namespace
