// Files that are not readable databases: each is refused with a clear error, and damage
// anywhere gives an error or data, never a crash or a hang.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "db/long_value.h"
#include "db/table_scan.h"
#include "db/bytes.h"
#include "db/test_support.h"
#include "db/usage_map.h"

namespace {

using db::DbErrorNumber;
using testing_support::number;
using testing_support::readBytes;
using testing_support::ScratchDir;
using testing_support::writeBytes;

// Opens the file and, as the conversion does, counts the rows of every user table with
// MoveLast, then reads every field of every row through recordsets. Returns 0 when all went
// well, or the number of the first error thrown. Anything other than a DbException
// propagates and fails the test.
int readEverything(const std::filesystem::path& path, std::string* description = nullptr) {
  try {
    auto db = db::DBEngine().OpenDatabase(path.string());
    for (const std::string& table : db->tableNames()) {
      auto rs = db->OpenRecordset("SELECT * FROM [" + table + "]", db::dbOpenSnapshot);
      if (rs->EOF_()) continue;
      rs->MoveLast();
      const int32_t counted = rs->RecordCount();
      rs->MoveFirst();
      int32_t walked = 0;
      for (; !rs->EOF_(); rs->MoveNext(), ++walked) {
        for (int i = 0; i < rs->FieldCount(); ++i) (void)rs->FieldAt(i).Value.get();
      }
      // A count that the walk contradicts must have ended the walk with an error.
      EXPECT_EQ(walked, counted) << table;
      rs->Close();
    }
    db->Close();
  } catch (const db::DbException& e) {
    if (description) *description = e.description();
    return e.number();
  }
  return 0;
}

// The programs' tests take absent, empty, foreign, encoded and password-protected files
// through both programs; here the engine's own words for the rest.
TEST(DamagedFileTest, filesThatAreNoJetDatabaseAreRefusedByNameAndKind) {
  REQUIRE_FIXTURE(jet4, "test2V2003.mdb");
  ScratchDir dir;
  std::string why;
  writeBytes(dir.file("text.mdb"), std::vector<uint8_t>(5000, 'x'));
  EXPECT_EQ(readEverything(dir.file("text.mdb"), &why), number(DbErrorNumber::NotADatabase));
  EXPECT_NE(why.find("text.mdb"), std::string::npos) << why;

  std::vector<uint8_t> ace = readBytes(jet4);
  std::memcpy(ace.data() + 4, "Standard ACE DB", 15);
  ace[0x14] = 2;
  writeBytes(dir.file("ace.mdb"), ace);
  EXPECT_EQ(readEverything(dir.file("ace.mdb"), &why), number(DbErrorNumber::NotADatabase));
  EXPECT_NE(why.find("(.accdb)"), std::string::npos) << why;
}

TEST(DamagedFileTest, truncatedFilesGiveErrorsAtEveryLength) {
  for (const char* name : {"testV1997.mdb", "test2V2003.mdb", "overflowTestV2003.mdb"}) {
    REQUIRE_FIXTURE(source, name);
    const std::vector<uint8_t> good = readBytes(source);
    const size_t pageSize = good[0x14] == 0 ? 2048 : 4096;
    ScratchDir dir;
    std::mt19937 rng(12345);
    std::set<size_t> lengths = {0, 1, 100, 0x9C, pageSize - 1, pageSize, 3 * pageSize - 1};
    for (size_t page = 1; page < good.size() / pageSize; ++page) lengths.insert(page * pageSize);
    for (int i = 0; i < 40; ++i) lengths.insert(rng() % good.size());
    for (size_t length : lengths) {
      std::vector<uint8_t> cut(good.begin(), good.begin() + length);
      writeBytes(dir.file("cut.mdb"), cut);
      std::string why;
      const int err = readEverything(dir.file("cut.mdb"), &why);
      if (length % pageSize != 0 || length < 3 * pageSize) {
        EXPECT_EQ(err, number(DbErrorNumber::NotADatabase)) << name << " cut at " << length;
      } else {
        // Whole pages missing: what is left may read, or names the damage.
        EXPECT_TRUE(err == 0 || err == number(DbErrorNumber::CorruptDatabase))
            << name << " cut at " << length << ": " << err << " " << why;
      }
    }
  }
}

// Flips bytes in the pages of one type (-1: page 0, the header) and reads everything; only
// clear errors may result.
void flipBytesAndRead(const char* name, int pageType, int trials) {
  REQUIRE_FIXTURE(source, name);
  const std::vector<uint8_t> good = readBytes(source);
  const size_t pageSize = good[0x14] == 0 ? 2048 : 4096;
  std::vector<size_t> pages;
  for (size_t p = 0; p < good.size() / pageSize; ++p) {
    if (pageType < 0 ? p == 0 : good[p * pageSize] == pageType) pages.push_back(p);
  }
  ASSERT_FALSE(pages.empty());
  const std::set<int> clear = {0, number(DbErrorNumber::CorruptDatabase),
                               number(DbErrorNumber::NotADatabase),
                               number(DbErrorNumber::PasswordProtected),
                               number(DbErrorNumber::NoCurrentRecord)};
  ScratchDir dir;
  std::mt19937 rng(2024);
  for (int trial = 0; trial < trials; ++trial) {
    std::vector<uint8_t> bad = good;
    const size_t page = pages[rng() % pages.size()];
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < flips; ++k) {
      const size_t at = page * pageSize + rng() % pageSize;
      bad[at] = static_cast<uint8_t>(rng() % 2 ? bad[at] ^ (1u << (rng() % 8)) : rng());
    }
    writeBytes(dir.file("flipped.mdb"), bad);
    std::string why;
    const int err = readEverything(dir.file("flipped.mdb"), &why);
    EXPECT_TRUE(clear.count(err)) << name << " trial " << trial << ": " << err << " " << why;
  }
}

TEST(DamagedFileTest, damagedHeadersDefinitionsRowsAndLongValuesGiveClearErrors) {
  // Page 2 is the catalogue's definition; the others are found by their type byte.
  const struct {
    const char* file;
    int pageType;  // -1: page 0, the header
    int trials;
  } cases[] = {{"testV1997.mdb", -1, 150},          {"test2V2003.mdb", -1, 150},
               {"testV1997.mdb", 0x02, 300},        {"test2V2003.mdb", 0x02, 300},
               {"overflowTestV2003.mdb", 0x02, 300}, {"testV1997.mdb", 0x01, 300},
               {"test2V2003.mdb", 0x01, 300},       {"overflowTestV2003.mdb", 0x01, 300},
               {"fixedNumericTestV2003.mdb", 0x01, 300}, {"testUnicodeCompV2003.mdb", 0x01, 300}};
  for (const auto& c : cases) flipBytesAndRead(c.file, c.pageType, c.trials);
}

TEST(DamagedFileTest, loopsInLongValueChainsAndMovedRowsEndAsDamage) {
  REQUIRE_FIXTURE(chained, "test2V2003.mdb");
  REQUIRE_FIXTURE(moved, "overflowTestV2003.mdb");
  ScratchDir dir;
  {
    // The long OLE value of test2V2003 lies on a chain of rows; make its first row point to
    // itself.
    const testing_support::OpenedFile opened(chained);
    const db::PageFile& file = *opened.file;
    const db::TableDef def = opened.table("MSP_PROJECTS");
    db::TableScan scan(file, def);
    bool found = false;
    ASSERT_TRUE(scan.rewind().ok());
    ASSERT_TRUE(scan.next(&found).ok() && found);
    const int column = def.findColumn("RESERVED_BINARY_DATA");
    const auto header = scan.fields()[column].bytes;
    ASSERT_EQ(db::readU32(header, 0) & db::kLongValueKindMask, 0u);  // a chain
    const auto first = db::RowPointer::fromStored(db::readU32(header, 4));
    std::vector<uint8_t> bytes = readBytes(chained);
    db::writeU32(bytes.data(), testing_support::rowOffset(file, first), first.stored());
    writeBytes(dir.file("loop.mdb"), bytes);
    std::string why;
    EXPECT_EQ(readEverything(dir.file("loop.mdb"), &why), number(DbErrorNumber::CorruptDatabase));
    EXPECT_NE(why.find("loops back"), std::string::npos) << why;
  }
  {
    // Two moved rows of overflowTestV2003: point the second's slot at the first one's row.
    const testing_support::OpenedFile opened(moved);
    const std::vector<db::RowPointer> rows = testing_support::movedRows(*opened.file, opened.table("Table1"));
    ASSERT_EQ(rows.size(), 2u);
    std::vector<uint8_t> bytes = readBytes(moved);
    std::copy_n(bytes.begin() + testing_support::rowOffset(*opened.file, rows[0]), 4,
                bytes.begin() + testing_support::rowOffset(*opened.file, rows[1]));
    writeBytes(dir.file("twice.mdb"), bytes);
    std::string why;
    EXPECT_EQ(readEverything(dir.file("twice.mdb"), &why), number(DbErrorNumber::CorruptDatabase));
    EXPECT_NE(why.find("points to a row that another row points to"), std::string::npos) << why;
  }
}

// A file the engine writes, Games spread over several data pages with one picture on a
// long-value page, and Publishers on one page, with the places damage is aimed at.
struct Sample {
  std::filesystem::path path;
  std::vector<uint8_t> bytes;
  size_t pageSize = 0;
  uint32_t gamesRows = 0;
  std::vector<uint32_t> gamesPages, publishersPages;
  uint32_t longValuePage = 0;
  size_t firstColumnNumber = 0; // file offset of the number in Games' first column record
  size_t slotTable = 0;         // where a data page's row-offset table starts
  size_t gamesMapRow = 0;       // file offset of Games' owned-pages map row (an inline map)
  size_t catalogueSelfSlot = 0; // file offset of the slot of MSysObjects' own catalogue row
};

Sample writeSample(const ScratchDir& dir, const db::FormatDescriptor& format) {
  Sample s;
  s.path = dir.file("sample.mdb");
  {
    auto d = db::DBEngine().CreateDatabase(s.path.string(), format);
    for (const char* name : {"Games", "Publishers"}) {
      d->createTable({name, {testing_support::column("Id", db::ColumnType::Long),
                             testing_support::column("Name", db::ColumnType::Text, 100),
                             testing_support::column("Picture", db::ColumnType::OLE)}, {}});
      const bool games = name[0] == 'G';
      testing_support::addRows(*d, name, games ? 300 : 20, [&](db::Recordset& rs, int i) {
        rs.Fields("Id").Value = db::Variant(i);
        rs.Fields("Name").Value = db::Variant(std::string(games ? 40 : 100, 'a' + i % 26));
        // Too long to stay in its row, shorter than a row of Publishers.
        if (games && i == 0) rs.Fields("Picture").Value = db::Variant(std::vector<uint8_t>(65, 0xAB));
      });
    }
    d->Close();
  }
  s.bytes = readBytes(s.path);
  const testing_support::OpenedFile opened(s.path);
  const std::unique_ptr<db::PageFile>& file = opened.file;
  s.pageSize = file->pageSize();
  s.slotTable = file->format().dataRowTableOffset;
  const db::TableDef games = opened.table("Games"), publishers = opened.table("Publishers");
  db::TableDef objects;
  EXPECT_TRUE(db::readUsageMap(*file, games.ownedMap, &s.gamesPages).ok());
  EXPECT_TRUE(db::readUsageMap(*file, publishers.ownedMap, &s.publishersPages).ok());
  s.gamesRows = games.rowCount;
  std::vector<uint32_t> longValuePages;
  EXPECT_TRUE(db::readUsageMap(*file, games.longValueMaps.at(0).owned, &longValuePages).ok());
  s.longValuePage = longValuePages.at(0);
  const db::FormatDescriptor& f = file->format();
  s.firstColumnNumber = games.tdefPage * s.pageSize + f.tdefHeaderSize +
                        games.realIndexes.size() * f.realIndexCountSize + f.columnNumberOffset;
  s.gamesMapRow = testing_support::rowOffset(*file, games.ownedMap);
  EXPECT_EQ(s.bytes[s.gamesMapRow], db::kMapInline);
  EXPECT_TRUE(db::readTableDef(*file, db::kCatalogTdefPage, "MSysObjects", &objects).ok());
  db::TableScan scan(*file, objects);
  bool found = false;
  EXPECT_TRUE(scan.rewind().ok());
  while (scan.next(&found).ok() && found) {
    db::Variant name;
    if (scan.value(objects.findColumn("Name"), &name).ok() && name.text() == "MSysObjects") break;
  }
  EXPECT_TRUE(found);
  s.catalogueSelfSlot = scan.location().page * s.pageSize + s.slotTable + 2u * scan.location().slot;
  return s;
}

using Words = std::vector<std::string>;

struct DamageCase {
  const char* name;
  // Damages the sample's bytes (it may shorten them) and gives the words the error must hold.
  std::function<Words(Sample&)> damage;
};

const DamageCase kDamageCases[] = {
    {"cutAtAPageBoundary", [](Sample& s) -> Words {
       s.bytes.resize(s.gamesPages.back() * s.pageSize);
       return {"lists page " + std::to_string(s.gamesPages.back()), "past the end of the"};
     }},
    {"dataPageZeroed", [](Sample& s) -> Words {
       std::fill_n(s.bytes.begin() + s.gamesPages[1] * s.pageSize, s.pageSize, 0);
       return {"page " + std::to_string(s.gamesPages[1]) + ", listed among the pages of table 'Games'",
               "is not one of its data pages"};
     }},
    {"pagesSwapped", [](Sample& s) -> Words {
       std::swap_ranges(s.bytes.begin() + s.gamesPages[0] * s.pageSize,
                        s.bytes.begin() + (s.gamesPages[0] + 1) * s.pageSize,
                        s.bytes.begin() + s.publishersPages[0] * s.pageSize);
       return {"page " + std::to_string(s.gamesPages[0]), "is not one of its data pages"};
     }},
    {"pageCopiedOverAnother", [](Sample& s) -> Words {
       std::copy_n(s.bytes.begin() + s.publishersPages[0] * s.pageSize, s.pageSize,
                   s.bytes.begin() + s.gamesPages.back() * s.pageSize);
       return {"page " + std::to_string(s.gamesPages.back()), "is not one of its data pages"};
     }},
    {"pageLeftOutOfTheOwnedMap", [](Sample& s) -> Words {
       const uint32_t start = db::readU32(s.bytes, s.gamesMapRow + 1);
       const uint32_t bit = s.gamesPages[1] - start;
       s.bytes[s.gamesMapRow + db::kMapInlineHeaderSize + bit / 8] &= ~(1u << (bit % 8));
       return {"table 'Games' holds", "rows, but its definition counts " + std::to_string(s.gamesRows),
               "Compact and Repair"};
     }},
    {"rowFlaggedDeleted", [](Sample& s) -> Words {
       s.bytes[s.gamesPages[0] * s.pageSize + s.slotTable + 1] |= 0x80;
       return {"table 'Games' holds " + std::to_string(s.gamesRows - 1) +
               " rows, but its definition counts " + std::to_string(s.gamesRows)};
     }},
    {"columnNumberOutsideTheDefinition", [](Sample& s) -> Words {
       s.bytes[s.firstColumnNumber] = 7;
       return {"the definition of table 'Games': column 'Id' has the number 7"};
     }},
    {"longValuePageOverwritten", [](Sample& s) -> Words {
       std::copy_n(s.bytes.begin() + s.publishersPages[0] * s.pageSize, s.pageSize,
                   s.bytes.begin() + s.longValuePage * s.pageSize);
       return {"column 'Picture' lies on page " + std::to_string(s.longValuePage),
               "which is not a long-value page"};
     }},
    {"catalogueWithoutItsOwnRow", [](Sample& s) -> Words {
       s.bytes[s.catalogueSelfSlot + 1] |= 0x80;
       return {"lacks the row of the system table MSysObjects"};
     }},
};

void PrintTo(const DamageCase& c, std::ostream* out) { *out << c.name; }

class DamageKindTest
    : public testing::TestWithParam<std::tuple<DamageCase, const db::FormatDescriptor*>> {};

// Damage that once read as a shorter table is now named as damage by every reader.
TEST_P(DamageKindTest, isReportedInsteadOfReadingAsAShorterTable) {
  const auto& [kind, format] = GetParam();
  ScratchDir dir;
  Sample sample = writeSample(dir, *format);
  ASSERT_EQ(readEverything(sample.path), 0);
  ASSERT_GE(sample.gamesPages.size(), 3u);
  const std::vector<std::string> words = kind.damage(sample);
  writeBytes(dir.file("damaged.mdb"), sample.bytes);
  std::string why;
  EXPECT_EQ(readEverything(dir.file("damaged.mdb"), &why), number(DbErrorNumber::CorruptDatabase));
  EXPECT_TRUE(why.starts_with("The database '" + dir.file("damaged.mdb").string() + "' is damaged: ")) << why;
  for (const std::string& w : words) EXPECT_NE(why.find(w), std::string::npos) << why;
}

// A walk that met damage, and then a write to the file, meets the damage again where it was
// and does not start over.
TEST(DamagedFileTest, aWalkThatMetDamageMeetsItAgainAfterAWrite) {
  for (const db::FormatDescriptor* format : {&db::kVersion3, &db::kVersion4}) {
    SCOPED_TRACE(format->name);
    ScratchDir dir;
    Sample sample = writeSample(dir, *format);
    ASSERT_GE(sample.gamesPages.size(), 4u);
    std::fill_n(sample.bytes.begin() + sample.gamesPages[2] * sample.pageSize, sample.pageSize, 0);
    writeBytes(sample.path, sample.bytes);
    auto d = db::DBEngine().OpenDatabase(sample.path.string());
    auto rs = d->OpenRecordset("SELECT * FROM Games", db::dbOpenSnapshot);
    const int corrupt = number(DbErrorNumber::CorruptDatabase);
    EXPECT_EQ(testing_support::errorNumberOf([&] {
                for (; !rs->EOF_(); rs->MoveNext()) (void)rs->Fields("Name").Value.get();
              }),
              corrupt);
    d->Execute("UPDATE Publishers SET Name = 'changed' WHERE Id = 1");
    EXPECT_EQ(testing_support::errorNumberOf([&] { rs->MoveNext(); }), corrupt);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamageKindTest,
    testing::Combine(testing::ValuesIn(kDamageCases), testing::Values(&db::kVersion3, &db::kVersion4)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) == &db::kVersion3 ? "Jet3" : "Jet4");
    });

}  // namespace
