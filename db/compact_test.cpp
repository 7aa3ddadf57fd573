// Compaction: a fresh file that holds everything its source held, passes the integrity
// check, is no larger, and leaves its source untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>

#include "db/compact.h"
#include "db/file_io.h"
#include "db/row_codec.h"
#include "db/table_scan.h"
#include "db/test_support.h"

namespace {

using db::ColumnType;
using db::Variant;
using testing_support::column;
using testing_support::counter;
using testing_support::number;
using testing_support::primaryKey;
using testing_support::ScratchDir;

// Bytes the file takes on the disk (its holes take none).
uintmax_t allocated(const std::filesystem::path& path) {
  db::io::FileInfo info;
  return db::io::pathInfo(path.string(), &info) == 0 ? info.allocated : 0;
}

// Whether the file system of `dir` makes holes: where it does not, a consumed source keeps its
// bytes.
bool makesHoles(const ScratchDir& dir) {
  testing_support::writeBytes(dir.file("probe"), std::vector<uint8_t>(1 << 16, 1));
  db::io::File file;
  const bool made = db::io::openFile(dir.file("probe").string(), db::io::Access::ReadWrite, &file) == 0 &&
                    db::io::punchHole(file, 0, 1 << 16);
  db::io::closeFile(&file);
  return made;
}

// The copy (of the source's version) dumps as its source, passes the check, is no larger,
// opens in mdbtools, and the source's bytes are as they were. A source consumed on the way
// gives the same copy.
void expectFaithfulCopy(const std::filesystem::path& source, const std::filesystem::path& copy) {
  const auto before = testing_support::readBytes(source);
  const db::DbError err = db::compactDatabase(source.string(), copy.string());
  ASSERT_TRUE(err.ok()) << err.description;
  EXPECT_EQ(testing_support::readBytes(source), before);
  const auto consumed = copy.parent_path() / "consumed.mdb", again = copy.parent_path() / "again.mdb";
  std::filesystem::copy_file(source, consumed);
  const db::DbError consuming = db::compactDatabase(consumed.string(), again.string(), db::CompactSource::Consumed);
  ASSERT_TRUE(consuming.ok()) << consuming.description;
  EXPECT_EQ(testing_support::readBytes(again), testing_support::readBytes(copy));
  EXPECT_EQ(testing_support::dumpJson(copy), testing_support::dumpJson(source)) << source.filename();
  EXPECT_LE(std::filesystem::file_size(copy), std::filesystem::file_size(source)) << source.filename();
  testing_support::expectSoundFile(copy);
  if (testing_support::haveMdbTools()) {
    // mdbtools lists tables in the order their catalogue rows lie on the pages, which a copy
    // changes where the source had moved rows: compare the sets.
    auto tables = [](const std::filesystem::path& p) {
      std::stringstream in(testing_support::runCommand("mdb-tables -1 '" + p.string() + "'"));
      std::vector<std::string> names;
      for (std::string line; std::getline(in, line);) names.push_back(line);
      std::sort(names.begin(), names.end());
      return names;
    };
    EXPECT_EQ(tables(copy), tables(source));
  }
}

class CompactFixtureTest : public testing::TestWithParam<const char*> {};

TEST_P(CompactFixtureTest, accessMadeFilesCompactToFaithfulSmallerCopies) {
  REQUIRE_FIXTURE(source, GetParam());
  ScratchDir dir;
  expectFaithfulCopy(source, dir.file("copy.mdb"));
}

INSTANTIATE_TEST_SUITE_P(AccessFixtures, CompactFixtureTest, testing::ValuesIn(testing_support::kAccessFixtures),
                         testing_support::fixtureTestName);

// A file grown by appends in random key order and by updates that move rows: its copy has
// full index pages in order, the same rows, and the autonumber counter as it stood (past
// rows deleted at the end it would not be reset).
TEST(CompactTest, writtenFilesCompactWithIndexesRebuiltAndCountersKept) {
  ScratchDir dir;
  const auto source = dir.file("grown.mdb");
  {
    auto d = db::DBEngine().CreateDatabase(source.string());
    d->createTable({"Games",
                    {counter("GA_Id"), column("Code", ColumnType::Long), column("Name", ColumnType::Text, 80),
                     column("Note", ColumnType::Memo), column("Score", ColumnType::Double)},
                    {primaryKey("GA_Id"),
                     {.name = "Code", .columns = {{"Code", false}}, .unique = true},
                     {.name = "NameScore", .columns = {{"Name", true}, {"Score", false}}}}});
    d->createTable({"Empty", {column("X", ColumnType::Long)}, {primaryKey("X")}});
    auto rs = d->OpenRecordset("SELECT * FROM Games", db::dbOpenDynaset);
    std::mt19937 rng(3);
    std::vector<int32_t> codes(6000);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<int32_t>(i * 7);
    std::shuffle(codes.begin(), codes.end(), rng);
    for (int32_t code : codes) {
      rs->AddNew();
      rs->Fields("Code").Value = Variant(code);
      if (rng() % 5) rs->Fields("Name").Value = Variant("Name " + std::to_string(rng() % 900));
      if (rng() % 3 == 0) rs->Fields("Note").Value = Variant(std::string(rng() % 6000, 'n'));
      rs->Fields("Score").Value = Variant(static_cast<double>(rng() % 1000) / 10);
      rs->Update();
    }
    d->Execute("UPDATE Games SET Name = 'a longer name than before, moved' WHERE Name IS NULL");
    d->Execute("UPDATE Games SET Name = 'N' WHERE Code < 7000");  // shorter: padded in place
    d->Close();
  }
  testing_support::expectSoundFile(source);
  expectFaithfulCopy(source, dir.file("copy.mdb"));
  // Consumed, the source gave up its rows, long values and indexes: most of it.
  if (makesHoles(dir)) {
    EXPECT_LT(allocated(dir.file("consumed.mdb")), allocated(source) / 4);
  }
  {
    // No row of the copy keeps padding: its variable data starts where its fixed area ends.
    const testing_support::OpenedFile f(dir.file("copy.mdb"));
    const db::TableDef def = f.table("Games");
    db::TableScan scan(*f.file, def);
    ASSERT_TRUE(scan.rewind().ok());
    for (bool found = true;;) {
      ASSERT_TRUE(scan.next(&found).ok());
      if (!found) break;
      ASSERT_EQ(scan.layout().offsets[0], scan.layout().countSize + db::fixedAreaEnd(def));
    }
  }
  auto copy = db::DBEngine().OpenDatabase(dir.file("copy.mdb").string());
  EXPECT_EQ(copy->tableDef("Games").lastAutonumber, 6000u);
  EXPECT_EQ(copy->tableDef("Games").rowCount, 6000u);
  EXPECT_EQ(copy->tableDef("Empty").rowCount, 0u);
  // The copy takes new rows and keeps counting from where the source stopped.
  auto rs = copy->OpenRecordset("SELECT * FROM Games", db::dbOpenDynaset);
  rs->AddNew();
  EXPECT_EQ(rs->Fields("GA_Id").Value.int32(), 6001);
  rs->Fields("Code").Value = Variant(int32_t{-5});
  rs->Update();
  copy->Close();
  testing_support::expectSoundFile(dir.file("copy.mdb"));
}

// A copy keeps a text's stored bytes only where writing its text would give them back: Jet 4
// text is compressed (a byte a character) when a column allows it and every character fits.
TEST(CompactTest, storedTextIsKeptOnlyInTheFormWritingGives) {
  const db::DatabaseHeader header = testing_support::headerFor(db::kVersion4);
  db::ColumnDef text{.name = "T", .typeCode = 0x0A, .length = 510};
  text.extFlags = db::kColumnExtCompressedUnicode;
  auto utf16 = [](std::u16string_view s) {
    std::vector<uint8_t> b;
    for (char16_t c : s) b.insert(b.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
    return b;
  };
  struct Case {
    std::u16string text;
    bool written;  // whether the column's writer stores it as UTF-16
  } const cases[] = {
      {u"ab", true},                    // too short to compress
      {u"abc", false},
      {u"several words, all ASCII", false},
      {u"Gr\u00fc\u00dfe aus K\u00f6ln", false},  // Latin-1 compresses too
      {u"caf\u00e9 \u65e5\u672c", true},    // a character past Latin-1 anywhere
      {u"abc\u65e5defg", true},
      {u"\u65e5\u672c\u8a9e plus ASCII after it", true},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  for (size_t at = 0; at < 4; ++at) {  // a zero byte would end a compressed run
    all.push_back({u"abcdefgh", true});
    all.back().text[at] = 0;
  }
  for (const Case& c : all) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    std::vector<uint8_t> compressed{0xFF, 0xFE};
    for (char16_t ch : c.text) compressed.push_back(static_cast<uint8_t>(ch));
    EXPECT_EQ(db::storedAsEncoded(header, text, utf16(c.text)), c.written);
    if (std::all_of(c.text.begin(), c.text.end(), [](char16_t ch) { return ch < 0x100; })) {
      EXPECT_EQ(db::storedAsEncoded(header, text, compressed), !c.written);
    }
  }
  text.extFlags = 0;  // a column without compression keeps UTF-16 for every text
  EXPECT_TRUE(db::storedAsEncoded(header, text, utf16(u"several words, all ASCII")));
}

TEST(CompactTest, theDestinationMustNotExistAndFailuresLeaveNothing) {
  ScratchDir dir;
  const auto source = dir.file("s.mdb");
  db::DBEngine().CreateDatabase(source.string())->Close();
  testing_support::writeBytes(dir.file("taken.mdb"), {42});
  db::DbError err = db::compactDatabase(source.string(), dir.file("taken.mdb").string());
  EXPECT_EQ(err.number, number(db::DbErrorNumber::FileExists));
  EXPECT_EQ(testing_support::readBytes(dir.file("taken.mdb")), std::vector<uint8_t>{42});
  err = db::compactDatabase(dir.file("missing.mdb").string(), dir.file("out.mdb").string());
  EXPECT_EQ(err.number, number(db::DbErrorNumber::FileNotFound));
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.mdb")));
  // A damaged source fails part way: what was written of the copy is removed.
  REQUIRE_FIXTURE(chained, "test2V2003.mdb");
  std::vector<uint8_t> bytes = testing_support::readBytes(chained);
  const size_t pageSize = 4096;
  for (size_t p = 3; p < bytes.size() / pageSize; ++p) {
    if (bytes[p * pageSize] == 0x04) bytes[p * pageSize + 0x1B] = 0xFF;  // index entry masks
  }
  testing_support::writeBytes(dir.file("damaged.mdb"), bytes);
  err = db::compactDatabase(dir.file("damaged.mdb").string(), dir.file("out.mdb").string());
  EXPECT_EQ(err.number, number(db::DbErrorNumber::CorruptDatabase)) << err.description;
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.mdb")));
}


// A disk that fills at any moment of a compaction: each write of the copy fails in turn, those
// that reach the file while an index is built among them. The failure is told as the write's
// own, never as a damaged source (which would send a person to repair a sound catalogue), and
// nothing of the copy is left. The source is consumed, as a run's work file is.
TEST(CompactTest, aWriteThatFailsAnywhereIsToldAsTheWritesFailure) {
  ScratchDir dir;
  const auto source = dir.file("grown.mdb"), work = dir.file("work.mdb"), copy = dir.file("copy.mdb");
  // Long keys: the copy's indexes take more pages than the cache holds, so that pages go to the
  // file while the entries are added.
  testing_support::createDatabaseWith(
      source,
      {"Games",
       {counter("Id"), column("Name", ColumnType::Text, 255)},
       {primaryKey("Id"), {.name = "Name", .columns = {{"Name", true}}}}},
      20000, [](db::Recordset& rs, int i) {
        rs.Fields("Name").Value = Variant(std::to_string(i * 7919 % 20000) + std::string(230, 'n'));
      })->Close();
  std::filesystem::copy_file(source, work);
  db::io::failOperation(0, 0);
  ASSERT_TRUE(db::compactDatabase(work.string(), copy.string(), db::CompactSource::Consumed).ok());
  const uint64_t operations = db::io::operationCount();
  ASSERT_GT(operations, 20u);
  for (uint64_t k = 1; k <= operations; ++k) {
    SCOPED_TRACE("write " + std::to_string(k) + " of " + std::to_string(operations));
    std::filesystem::remove(copy);
    std::filesystem::remove(work);
    std::filesystem::copy_file(source, work);
    db::io::failOperation(k, ENOSPC);
    const db::DbError err = db::compactDatabase(work.string(), copy.string(), db::CompactSource::Consumed);
    db::io::failOperation(0, 0);
    EXPECT_EQ(err.number, number(db::DbErrorNumber::DiskFull)) << err.description;
    EXPECT_EQ(err.systemError, ENOSPC);
    EXPECT_NE(err.description.find(std::strerror(ENOSPC)), std::string::npos) << err.description;
    EXPECT_FALSE(std::filesystem::exists(copy));
    if (::testing::Test::HasFailure()) break;
  }
}


// A page a consumed file has given up is read by no one: reading or changing it is a fault of
// this program, told as one, never the zeros of its hole.
TEST(CompactTest, aPageGivenUpIsNeitherReadNorChanged) {
  ScratchDir dir;
  const auto path = dir.file("consumed.mdb");
  db::DBEngine().CreateDatabase(path.string())->Close();
  std::unique_ptr<db::PageFile> file;
  ASSERT_TRUE(db::PageFile::open(path.string(), &file).ok());
  struct Unjudged final : db::PageFile::ReadObserver {
    void pageRead(uint32_t, std::span<const uint8_t>) override {}
  } observer;
  ASSERT_TRUE(file->consume(&observer).ok());
  db::Page page;
  ASSERT_TRUE(file->readPage(2, &page).ok());
  file->giveUp(2);
  std::span<uint8_t> bytes;
  for (const db::DbError& err : {file->readPage(2, &page), file->changePage(2, &bytes)}) {
    EXPECT_EQ(err.number, number(db::DbErrorNumber::InvalidArgument));
    EXPECT_NE(err.description.find("a fault of this program"), std::string::npos) << err.description;
  }
  EXPECT_TRUE(file->readPage(3, &page).ok());
}

// A file this process has open is only read by a compaction asked to consume it: what the
// open file holds back goes to it first, and it stays whole for those who have it open.
TEST(CompactTest, aFileThisProcessHasOpenIsNotConsumed) {
  ScratchDir dir;
  const auto source = dir.file("open.mdb");
  auto d = testing_support::createDatabaseWith(
      source, {"Notes", {counter("Id"), column("Text", ColumnType::Memo)}, {primaryKey("Id")}}, 300,
      [](db::Recordset& rs, int i) { rs.Fields("Text").Value = Variant(std::string(100 + i * 20, 'n')); });
  const db::DbError err = db::compactDatabase(source.string(), dir.file("copy.mdb").string(), db::CompactSource::Consumed);
  ASSERT_TRUE(err.ok()) << err.description;
  EXPECT_EQ(testing_support::readRows(*d, "Notes").size(), 300u);
  d->Close();
  d.reset();
  testing_support::expectSoundFile(source);
  EXPECT_EQ(testing_support::dumpJson(dir.file("copy.mdb")), testing_support::dumpJson(source));
}

}  // namespace
