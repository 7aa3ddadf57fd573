// Index keys and index pages. The keys of every row of every fixture are compared with the
// entries Access wrote by the integrity check (check_test); here are the rules no fixture
// holds an example of, the errors for what cannot be encoded, and index pages: encode and
// decode, and damaged chains that must end as CorruptDatabase.
#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <memory>
#include <sstream>

#include "db/bytes.h"
#include "db/index_key.h"
#include "db/index_page.h"
#include "db/test_support.h"

namespace {

using db::ColumnDef;
using db::ColumnType;
using db::DatabaseHeader;
using db::DbError;
using db::DbErrorNumber;
using db::IndexEntry;
using db::IndexPageContents;
using db::Variant;
using Bytes = std::vector<uint8_t>;
using testing_support::headerFor;
using testing_support::hexOf;
using testing_support::number;

Bytes hexBytes(const std::string& hex) {
  Bytes out;
  std::istringstream in(hex);
  std::string token;
  while (in >> token) out.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
  return out;
}

ColumnDef column(const std::string& name, ColumnType type, uint16_t number = 0) {
  return {.name = name, .typeCode = static_cast<uint8_t>(type), .number = number,
          .sortOrder = db::kGeneralSortOrder, .codePage = 1252};
}

// The key item of one value in a column of `type`; a failure fails the calling test.
Bytes keyOf(const db::FormatDescriptor& format, db::ColumnType type, const Variant& v,
            bool ascending = true) {
  Bytes out;
  DbError err = db::encodeKeyColumn(headerFor(format), column("c", type), v, ascending, &out);
  EXPECT_TRUE(err.ok()) << err.description;
  return out;
}

// ---- Keys --------------------------------------------------------------------------------------

// Jet4 keys whose bytes are known: Jet keeps no Null for a Boolean (it is keyed as False); a
// descending text key ends in an inverted pad byte before its end byte; Access 2000-2003 keep
// the sign byte when a descending Decimal key is inverted, so descending Decimal keys do not
// reverse the ascending order (fixed only in later versions).
TEST(IndexKeyTest, jet4KeysAreTheBytesAccessWrites) {
  const db::Decimal one{.magnitude = 1}, minusOne{.negative = true, .magnitude = 1};
  const std::string zeros14 = "00 00 00 00 00 00 00 00 00 00 00 00 00 00";
  const std::string ones14 = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF";
  const struct {
    ColumnType type;
    Variant value;
    bool ascending;
    std::string key;
  } cases[] = {
      {ColumnType::Boolean, Variant(true), true, "7F 00"},
      {ColumnType::Boolean, Variant(false), true, "7F FF"},
      {ColumnType::Boolean, Variant(true), false, "80 FF"},
      {ColumnType::Boolean, Variant(), true, "7F FF"},
      {ColumnType::Text, Variant("Databases"), true, "7F 4F 4A 6D 4A 4C 4A 6B 51 6B 01 00"},
      {ColumnType::Text, Variant("Databases"), false, "80 B0 B5 92 B5 B3 B5 94 AE 94 FE FF 00"},
      {ColumnType::Decimal, Variant(one), true, "7F FF " + zeros14 + " 00 01"},
      {ColumnType::Decimal, Variant(minusOne), true, "7F 00 " + ones14 + " FF FE"},
      {ColumnType::Decimal, Variant(one), false, "80 FF " + ones14 + " FF FE"},
      {ColumnType::Decimal, Variant(minusOne), false, "80 00 " + zeros14 + " 00 01"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hexOf(keyOf(db::kVersion4, c.type, c.value, c.ascending)), c.key)
        << (c.value.isNull() ? "Null" : c.value.text()) << (c.ascending ? "" : " descending");
  }
}

TEST(IndexKeyTest, textKeysIgnoreCaseTrailingSpacesAndCharactersPast255) {
  const std::string longText(300, 'x');
  const std::string cut(255, 'x');
  for (const db::FormatDescriptor* f : {&db::kVersion3, &db::kVersion4}) {
    SCOPED_TRACE(f->name);
    auto encode = [&](const std::string& text) { return keyOf(*f, ColumnType::Text, Variant(text)); };
    EXPECT_EQ(encode("Caf\xC3\xA9 Noir"), encode("CAF\xC3\x89 noir"));
    EXPECT_EQ(encode("abc   "), encode("abc"));
    EXPECT_NE(encode("  abc"), encode("abc"));
    EXPECT_EQ(encode(longText), encode(cut));
    EXPECT_NE(encode(cut), encode(cut.substr(1)));
  }
}

// A Decimal value at another scale is keyed at the column's scale; one that would lose digits
// fails.
TEST(IndexKeyTest, decimalKeysTakeTheColumnsScale) {
  ColumnDef amount = column("amount", ColumnType::Decimal);
  amount.scale = 2;
  const db::Decimal one{.magnitude = 1}, hundredths{.scale = 2, .magnitude = 100};
  const db::Decimal thousandth{.scale = 3, .magnitude = 1};
  const DatabaseHeader h = headerFor(db::kVersion4);
  Bytes a, b, c;
  ASSERT_TRUE(db::encodeKeyColumn(h, amount, Variant(one), true, &a).ok());
  ASSERT_TRUE(db::encodeKeyColumn(h, amount, Variant(hundredths), true, &b).ok());
  EXPECT_EQ(a, b);
  EXPECT_EQ(db::encodeKeyColumn(h, amount, Variant(thousandth), true, &c).number,
            number(DbErrorNumber::NumericOverflow));
}

TEST(IndexKeyTest, valuesThatCannotBeKeyedFailClearlyAndAppendNothing) {
  const DatabaseHeader jet4 = headerFor(db::kVersion4);
  const DatabaseHeader jet3 = headerFor(db::kVersion3);
  DatabaseHeader cyrillic = jet3;
  cyrillic.codePage = 1251;
  const ColumnDef text = column("Title", ColumnType::Text);
  ColumnDef swedish = text, cyrillicText = text;
  swedish.sortOrder = 1053;
  cyrillicText.codePage = 1251;
  const struct {
    DatabaseHeader header;
    ColumnDef column;
    Variant value;
    DbErrorNumber error;
    std::vector<std::string> words;  // in the description, besides the column's name
  } cases[] = {
      {jet4, text, Variant("Zh \xD0\x96"), DbErrorNumber::NotSupported, {"U+0416"}},  // Ж
      {jet4, text, Variant("\xF0\x9F\x98\x80"), DbErrorNumber::NotSupported, {"U+1F600"}},
      {jet3, text, Variant("\xD0\x96"), DbErrorNumber::NotSupported, {"U+0416"}},
      {jet4, swedish, Variant("abc"), DbErrorNumber::NotSupported, {"1053"}},
      {cyrillic, cyrillicText, Variant("abc"), DbErrorNumber::NotSupported, {"1251"}},
      {jet4, column("n", ColumnType::Long), Variant("12"), DbErrorNumber::TypeMismatch, {}},
      {jet4, column("pic", ColumnType::OLE), Variant(Bytes{1}), DbErrorNumber::NotSupported, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.column.name + " " + c.value.text());
    Bytes out = {0xAA};
    const DbError err = db::encodeKeyColumn(c.header, c.column, c.value, true, &out);
    EXPECT_EQ(err.number, number(c.error));
    for (const std::string& w : c.words) EXPECT_NE(err.description.find(w), std::string::npos) << err.description;
    EXPECT_NE(err.description.find("'" + c.column.name + "'"), std::string::npos) << err.description;
    EXPECT_EQ(out, Bytes{0xAA});
  }
}

TEST(IndexKeyTest, indexKeysNeedAValueForEveryColumnAndColumnsTheTableHas) {
  db::TableDef def;
  def.name = "Games";
  def.columns = {column("Title", ColumnType::Text, 0), column("Year", ColumnType::Integer, 1)};
  db::RealIndexDef index;
  index.columns = {{1, false}, {0, true}};
  const DatabaseHeader h = headerFor(db::kVersion4);
  Bytes key;
  EXPECT_EQ(db::encodeIndexKey(h, def, index, {Variant("Ab")}, &key).number,
            number(DbErrorNumber::InvalidArgument));
  index.columns = {{7, true}};
  DbError err = db::encodeIndexKey(h, def, index, {Variant("Ab"), Variant(int16_t{1})}, &key);
  EXPECT_EQ(err.number, number(DbErrorNumber::CorruptDatabase));
  EXPECT_NE(err.description.find("'Games'"), std::string::npos);
}

// ---- Index pages ---------------------------------------------------------------------------

IndexEntry entry(const std::string& keyHex, uint32_t page, uint8_t row, uint32_t child = 0) {
  return {hexBytes(keyHex), {page, row}, child};
}

TEST(IndexPageTest, encodedPagesDecodeToTheSameEntriesWithTheirPrefixShared) {
  for (const db::FormatDescriptor* f : {&db::kVersion3, &db::kVersion4}) {
    SCOPED_TRACE(f->name);
    // A leaf has no tail: it is written as 0.
    const IndexPageContents leaf{.type = db::kPageIndexLeaf, .prev = 40, .next = 42, .tail = 9,
                                 .entries = {entry("7F 80 7F FF ED 01", 100, 0),
                                             entry("7F 80 7F FF EE", 100, 1),
                                             entry("7F 80 7F FF F0 00 22", 0x123456, 255),
                                             entry("7F 80 7F FF F4", 0x123456, 3)}};
    db::Page page;
    DbError err = db::encodeIndexPage(*f, leaf, 77, &page);
    ASSERT_TRUE(err.ok()) << err.description;
    ASSERT_EQ(page.size(), f->pageSize);

    IndexPageContents back;
    err = db::decodeIndexPage(*f, page, 5, &back);
    ASSERT_TRUE(err.ok()) << err.description;
    EXPECT_EQ(back.type, db::kPageIndexLeaf);
    EXPECT_EQ(back.prev, 40u);
    EXPECT_EQ(back.next, 42u);
    EXPECT_EQ(back.tail, 0u);
    EXPECT_EQ(back.prefixLength, 4u);  // 7F 80 7F FF, what the first and last keys share
    EXPECT_TRUE(back.entries == leaf.entries);
    EXPECT_EQ(db::readU32(page, db::kIndexOwnerOffset), 77u);
    EXPECT_EQ(page[1], 0x01);
    EXPECT_EQ(page[f->indexPrefixOffset + f->indexPrefixSize], 0x00);  // leaf marker
    size_t marked = 0;
    for (uint32_t i = f->indexMaskOffset; i < f->indexEntryStart; ++i) marked += std::popcount(page[i]);
    EXPECT_EQ(marked, leaf.entries.size());
    const size_t used = db::encodedIndexEntriesSize(*f, db::kPageIndexLeaf, leaf.entries);
    EXPECT_EQ(used, (6 + 4) + (5 + 4 - 4) + (7 + 4 - 4) + (5 + 4 - 4));
    EXPECT_EQ(db::readU16(page, db::kIndexFreeSpaceOffset), db::indexPageCapacity(*f) - used);

    const IndexPageContents node{.type = db::kPageIndexNode, .tail = 9,
                                 .entries = {entry("7F 61", 20, 1, 7), entry("7F 62 63", 21, 0, 8)}};
    ASSERT_TRUE(db::encodeIndexPage(*f, node, 77, &page).ok());
    ASSERT_TRUE(db::decodeIndexPage(*f, page, 6, &back).ok());
    EXPECT_EQ(back.type, db::kPageIndexNode);
    EXPECT_EQ(back.tail, 9u);
    EXPECT_EQ(back.prefixLength, 1u);
    EXPECT_TRUE(back.entries == node.entries);
    EXPECT_EQ(page[f->indexPrefixOffset + f->indexPrefixSize], 0x01);  // intermediate marker

    IndexPageContents empty;
    ASSERT_TRUE(db::encodeIndexPage(*f, empty, 77, &page).ok());
    EXPECT_EQ(db::readU16(page, db::kIndexFreeSpaceOffset), db::indexPageCapacity(*f));
    ASSERT_TRUE(db::decodeIndexPage(*f, page, 7, &back).ok());
    EXPECT_TRUE(back.entries.empty());
  }
}

TEST(IndexPageTest, encoderFillsAPageExactlyAndRefusesMoreOrUnsortedEntries) {
  for (const db::FormatDescriptor* f : {&db::kVersion3, &db::kVersion4}) {
    SCOPED_TRACE(f->name);
    // Keys without a common prefix, each entry 4 + 4 bytes, so that the page fills exactly.
    IndexPageContents full;
    const size_t capacity = db::indexPageCapacity(*f);
    ASSERT_EQ(capacity % 8, 0u);
    for (uint32_t i = 0; i < capacity / 8; ++i) {
      const uint8_t first = i == 0 ? 0x00 : 0x7F;  // the first and last keys differ at once
      const Bytes key{first, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 0x01};
      full.entries.push_back({key, {i + 1, 0}});
    }
    db::Page page;
    DbError err = db::encodeIndexPage(*f, full, 3, &page);
    ASSERT_TRUE(err.ok()) << err.description;
    EXPECT_EQ(db::readU16(page, db::kIndexFreeSpaceOffset), 0);
    IndexPageContents back;
    ASSERT_TRUE(db::decodeIndexPage(*f, page, 3, &back).ok());
    EXPECT_TRUE(back.entries == full.entries);

    IndexPageContents over = full;
    over.entries.push_back(entry("7F FF FF FF", 9, 9));
    EXPECT_GT(db::encodedIndexEntriesSize(*f, db::kPageIndexLeaf, over.entries), capacity);
    err = db::encodeIndexPage(*f, over, 3, &page);
    EXPECT_EQ(err.number, number(DbErrorNumber::InvalidArgument));
    EXPECT_NE(err.description.find(std::to_string(capacity)), std::string::npos);

    // Entries out of order, and one entry twice.
    for (const auto& wrong : {std::vector{entry("7F 02", 1, 0), entry("7F 01", 1, 1)},
                              std::vector{entry("7F 02", 1, 0), entry("7F 02", 1, 0)}}) {
      EXPECT_EQ(db::encodeIndexPage(*f, {.entries = wrong}, 3, &page).number,
                number(DbErrorNumber::InvalidArgument));
    }
  }
}

// ---- Damaged index pages -------------------------------------------------------------------

using Format = db::FormatDescriptor;
using FileEdit = std::function<void(const Format&, Bytes* file, uint32_t rootPage)>;

size_t pageStart(const Format& f, uint32_t pageNo) { return size_t{pageNo} * f.pageSize; }

// compIndexTestV2000's Table1 has one index: an intermediate root over two leaves.
class DamagedIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_FIXTURE(path, "compIndexTestV2000.mdb");
    source_ = path;
    opened_ = std::make_unique<testing_support::OpenedFile>(path);
    def_ = opened_->table("Table1");
    ASSERT_FALSE(def_.realIndexes.empty());
  }

  // Copies the file, lets `edit` change its bytes, and scans the index in the copy: the scan
  // must fail as damage, with `words` in its description.
  void expectCorruptAfter(const FileEdit& edit, const std::string& words) {
    const db::RealIndexDef& index = def_.realIndexes.front();
    Bytes bytes = testing_support::readBytes(source_);
    edit(opened_->file->format(), &bytes, index.rootPage);
    const auto copy = dir_.file("damaged.mdb");
    testing_support::writeBytes(copy, bytes);
    std::unique_ptr<db::PageFile> damaged;
    DbError err = db::PageFile::open(copy.string(), &damaged);
    std::vector<IndexEntry> entries;
    if (err.ok()) err = db::scanIndex(*damaged, index, &entries);
    EXPECT_EQ(err.number, number(DbErrorNumber::CorruptDatabase)) << err.description;
    EXPECT_NE(err.description.find(words), std::string::npos) << err.description;
  }

  std::filesystem::path source_;
  std::unique_ptr<testing_support::OpenedFile> opened_;
  db::TableDef def_;
  testing_support::ScratchDir dir_;
};

TEST_F(DamagedIndexTest, loopsInTheTreeOrTheLeafChainEndAsCorruptDatabase) {
  IndexPageContents root;
  ASSERT_TRUE(db::readIndexPage(*opened_->file, def_.realIndexes.front().rootPage, &root).ok());
  ASSERT_EQ(root.type, db::kPageIndexNode);
  ASSERT_FALSE(root.entries.empty());
  const uint32_t firstLeaf = root.entries.front().childPage;
  const uint32_t lastLeaf = root.tail != 0 ? root.tail : root.entries.back().childPage;
  ASSERT_NE(firstLeaf, lastLeaf);

  // The last leaf's next link leads back to the first leaf.
  expectCorruptAfter([&](const Format& f, Bytes* b, uint32_t) {
    db::writeU32(*b, pageStart(f, lastLeaf) + f.indexNextOffset, firstLeaf);
  }, "leads back round");
  // A leaf whose next link is itself.
  expectCorruptAfter([&](const Format& f, Bytes* b, uint32_t) {
    db::writeU32(*b, pageStart(f, firstLeaf) + f.indexNextOffset, firstLeaf);
  }, "leads back round");
  // The root names itself as its first child.
  expectCorruptAfter([&](const Format& f, Bytes* b, uint32_t r) {
    db::Page page(b->begin() + pageStart(f, r), b->begin() + pageStart(f, r + 1));
    IndexPageContents c;
    ASSERT_TRUE(db::decodeIndexPage(f, page, r, &c).ok());
    c.entries.front().childPage = r;
    ASSERT_TRUE(db::encodeIndexPage(f, c, def_.tdefPage, &page).ok());
    std::copy(page.begin(), page.end(), b->begin() + pageStart(f, r));
  }, "leads back round");
}

TEST_F(DamagedIndexTest, damagedPagesAreCorruptDatabaseNamingThePage) {
  // The root is no index page at all.
  expectCorruptAfter([](const Format& f, Bytes* b, uint32_t r) { (*b)[pageStart(f, r)] = db::kPageData; },
                     "index page " + std::to_string(def_.realIndexes.front().rootPage));
  // The entry mask marks an entry end beyond the page.
  expectCorruptAfter([](const Format& f, Bytes* b, uint32_t r) {
    (*b)[pageStart(f, r) + f.indexEntryStart - 1] = 0x80;
  }, "past the page end");
  // A common prefix longer than the first entry.
  expectCorruptAfter([](const Format& f, Bytes* b, uint32_t r) {
    db::writeU16(*b, pageStart(f, r) + f.indexPrefixOffset, 4000);
  }, "common prefix");
  // No entries, and a tail child beyond the end of the file.
  expectCorruptAfter([](const Format& f, Bytes* b, uint32_t r) {
    std::fill(b->begin() + pageStart(f, r) + f.indexMaskOffset, b->begin() + pageStart(f, r) + f.indexEntryStart, 0);
    db::writeU32(*b, pageStart(f, r) + f.indexTailOffset, 0x00FFFFFF);
  }, "past the end");
}

}  // namespace
