// The integrity check: every Access-made fixture and every file the engine writes passes it,
// and each kind of damage, made on purpose in a copy at a place found through the engine's own
// reader, is reported with the sentence that names it (and, where the damage touches one
// thing only, with nothing else).
#include <gtest/gtest.h>

#include <algorithm>

#include "db/bytes.h"
#include "db/compact.h"
#include "db/index_page.h"
#include "db/long_value.h"
#include "db/table_scan.h"
#include "db/test_support.h"
#include "db/usage_map.h"

namespace {

namespace fs = std::filesystem;
using db::CheckReport;
using db::ColumnType;
using db::RowPointer;
using testing_support::column;
using testing_support::ScratchDir;

std::string rowText(RowPointer p) {
  return "row " + std::to_string(p.row) + " of page " + std::to_string(p.page);
}

std::string listed(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += "\n  " + l;
  return s.empty() ? " (none)" : s;
}

// The report holds exactly these problems, in any order.
void expectProblems(const CheckReport& report, std::vector<std::string> expected) {
  std::vector<std::string> found = report.problems;
  std::sort(found.begin(), found.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected) << "expected:" << listed(expected) << "\nfound:" << listed(found);
}

// The report holds this problem, among others.
void expectProblem(const CheckReport& report, const std::string& sentence) {
  EXPECT_NE(std::find(report.problems.begin(), report.problems.end(), sentence),
            report.problems.end())
      << "expected: " << sentence << "\nfound:" << listed(report.problems);
}

// A Jet4 database as the engine writes it: an autonumber primary key, a unique and an
// ignore-nulls index, Memo and OLE values inline, on one long-value row and chained, and rows
// that an UPDATE made longer, so that they moved and left a pointer in their slot. Written
// once: the tests damage copies of it.
const fs::path& gamesDatabase() {
  static const ScratchDir dir;
  static const fs::path path = [] {
    const fs::path p = dir.file("games.mdb");
    const db::TableSchema s{"Games",
                            {testing_support::counter("Id"), column("Name", ColumnType::Text, 100),
                             column("Code", ColumnType::Text, 10), column("Notes", ColumnType::Memo),
                             column("Box", ColumnType::OLE), column("Publisher", ColumnType::Text, 200)},
                            {testing_support::primaryKey("Id"),
                             {.name = "Name", .columns = {{"Name", true}}, .unique = true},
                             {.name = "Code", .columns = {{"Code", true}}, .ignoreNulls = true}}};
    auto d = testing_support::createDatabaseWith(p, s, 120, [](db::Recordset& rs, int i) {
      rs.Fields("Name").Value = db::Variant("Game " + std::to_string(i));
      if (i % 2 == 0) rs.Fields("Code").Value = db::Variant("C" + std::to_string(i));
      rs.Fields("Notes").Value = db::Variant(std::string(i % 10 == 0 ? 6000 : (i % 3 ? 200 : 20), 'n'));
      if (i % 25 == 0) rs.Fields("Box").Value = db::Variant(std::vector<uint8_t>(9000, uint8_t(i)));
      rs.Fields("Publisher").Value = db::Variant("P");
    });
    d->Execute("UPDATE Games SET Publisher = '" + std::string(150, 'p') + "' WHERE Id <= 20");
    d->Close();
    return p;
  }();
  return path;
}

// ---- Files that pass --------------------------------------------------------------------------

class CheckFixtureTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CheckFixtureTest, accessMadeFilesPassEveryCheck) {
  REQUIRE_FIXTURE(path, GetParam());
  const CheckReport report = testing_support::checkReport(path);
  EXPECT_TRUE(report.clean()) << report.problems.size() << " problems:" << listed(report.problems);
  EXPECT_GE(report.tables, 4u) << "the system tables are checked too";
  EXPECT_GT(report.rows, 0u);
  EXPECT_GT(report.indexEntries, 0u);
  // Cyrillic, Greek and CJK text: keys the encoder refuses are counted, not reported.
  EXPECT_EQ(report.keysNotChecked > 0, std::string(GetParam()) == "testUnicodeCompV2003.mdb")
      << report.keysNotChecked;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CheckFixtureTest, testing::ValuesIn(testing_support::kAccessFixtures),
                         testing_support::fixtureTestName);

// ---- Damage made on purpose -------------------------------------------------------------------

// A copy of a database in a scratch folder. Places are found through the engine's reader of
// the source file; patches go into the copy's bytes, and each check() judges the patches made
// since the one before, then undoes them.
class Damaged {
 public:
  explicit Damaged(const fs::path& source)
      : path_(dir_.file(source.filename().string())), pristine_(testing_support::readBytes(source)),
        bytes_(pristine_), source_(source) {}

  const db::PageFile& file() const { return *source_.file; }
  db::TableDef table(const std::string& name) const { return source_.table(name); }
  size_t pageStart(uint32_t page) const { return size_t(page) * file().pageSize(); }
  uint8_t& byte(size_t offset) { return bytes_.at(offset); }
  void putU32(size_t offset, uint32_t v) { db::writeU32(std::span<uint8_t>(bytes_), offset, v); }
  size_t rowOffset(RowPointer where, size_t* length = nullptr) const {
    return testing_support::rowOffset(file(), where, length);
  }

  // Sets or clears the bit of `page` in the inline usage map stored at `map`.
  void setMapBit(RowPointer map, uint32_t page, bool on) {
    const size_t at = rowOffset(map);
    ASSERT_EQ(bytes_[at], db::kMapInline) << "the map at " << rowText(map) << " is not inline";
    const uint32_t start = db::readU32(bytes_, at + 1);
    ASSERT_GE(page, start);
    uint8_t& b = bytes_.at(at + db::kMapInlineHeaderSize + (page - start) / 8);
    const uint8_t bit = static_cast<uint8_t>(1u << ((page - start) % 8));
    b = on ? (b | bit) : (b & ~bit);
  }

  // Offsets in the file of the ends of the entries of index page `page`, from its entry mask.
  std::vector<size_t> entryEnds(uint32_t page) const {
    const db::FormatDescriptor& f = file().format();
    std::vector<size_t> ends;
    for (uint32_t k = 0; k < (f.indexEntryStart - f.indexMaskOffset) * 8; ++k) {
      if (bytes_[pageStart(page) + f.indexMaskOffset + k / 8] & (1u << (k % 8))) {
        ends.push_back(pageStart(page) + f.indexEntryStart + k);
      }
    }
    return ends;
  }

  // The sentences are the second pass's, which names rows; the bounded first pass, which the
  // conversion runs alone, must find the same damage on its own, with or without its second
  // thread.
  CheckReport check() {
    testing_support::writeBytes(path_, bytes_);
    bytes_ = pristine_;
    CheckReport streamed, oneThread;
    std::unique_ptr<db::PageFile> file;
    db::DbError err = db::PageFile::open(path_.string(), &file, false);
    if (err.ok()) err = db::checkDatabase(*file, &streamed, db::CheckDepth::Streaming);
    if (err.ok()) err = db::checkDatabase(*file, &oneThread, db::CheckDepth::Streaming, false);
    EXPECT_TRUE(err.ok()) << err.description;
    // A second thread for a large table's indexes changes nothing the report says, nor its order.
    EXPECT_EQ(streamed.problems, oneThread.problems);
    EXPECT_EQ(streamed.indexEntries, oneThread.indexEntries);
    CheckReport named = testing_support::checkReport(path_);
    EXPECT_EQ(streamed.clean(), named.clean()) << "streaming pass:" << listed(streamed.problems)
                                               << "\nnamed:" << listed(named.problems);
    return named;
  }
  // The damaged file compacted into a new one: the compaction's answer.
  db::DbError compacted() const {
    testing_support::writeBytes(path_, bytes_);
    const fs::path copy = path_.string() + ".copy";
    fs::remove(copy);
    return db::compactDatabase(path_.string(), copy.string());
  }

 private:
  ScratchDir dir_;
  fs::path path_;
  std::vector<uint8_t> pristine_, bytes_;
  testing_support::OpenedFile source_;
};

// What the damage tests need to know of a table: they run on a table of an Access-made Jet3
// file and on one of a Jet4 file the engine writes.
struct DamageCase {
  const char* label;
  const char* fixture;       // nullptr: gamesDatabase()
  const char* table;
  const char* primaryKey;    // how the report names the primary key's B-tree
  const char* chained;       // a Memo or OLE column with a value on chained long-value pages
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.label; }

class CheckDamageTest : public ::testing::TestWithParam<DamageCase> {
 protected:
  void SetUp() override {
    if (GetParam().fixture) {
      REQUIRE_FIXTURE(path, GetParam().fixture);
      source_ = path;
    } else {
      source_ = gamesDatabase();
    }
    Damaged probe(source_);
    def_ = probe.table(GetParam().table);
    what_ = "Table '" + std::string(GetParam().table) + "'";
    for (size_t i = 0; i < def_.indexes.size(); ++i) {
      if (def_.indexes[i].isPrimary()) primary_ = def_.indexes[i].realIndex;
    }
    indexWhat_ = what_ + ", " + GetParam().primaryKey;
    std::vector<uint32_t> owned;
    ASSERT_TRUE(db::readUsageMap(probe.file(), def_.ownedMap, &owned).ok());
    ASSERT_FALSE(owned.empty());
    dataPage_ = owned.front();
    ASSERT_TRUE(db::readUsageMap(probe.file(), def_.freeMap, &freePages_).ok());
  }

  const db::RealIndexDef& primary() const { return def_.realIndexes[primary_]; }

  std::string columnWhat(const char* column) const { return what_ + ", column '" + column + "'"; }

  fs::path source_;
  db::TableDef def_;
  std::string what_, indexWhat_;
  size_t primary_ = 0;
  uint32_t dataPage_ = 0;
  std::vector<uint32_t> freePages_;
};

TEST_P(CheckDamageTest, usageMapsThatDisagreeWithThePagesAreReported) {
  const uint32_t root = primary().rootPage;
  Damaged d(source_);
  d.setMapBit(def_.ownedMap, dataPage_, false);
  std::vector<std::string> expected = {what_ + ": data page " + std::to_string(dataPage_) +
                                       " belongs to it but is missing from its owned-pages map."};
  if (std::count(freePages_.begin(), freePages_.end(), dataPage_)) {
    expected.push_back(what_ + ": its free-space map lists page " + std::to_string(dataPage_) +
                       ", which is not in its owned-pages map.");
  }
  expectProblems(d.check(), expected);

  d.setMapBit(def_.ownedMap, root, true);
  expectProblems(d.check(), {what_ + ": its owned-pages map lists page " + std::to_string(root) +
                             ", which is not one of its data pages but an index page of table '" +
                             GetParam().table + "'."});

  d.setMapBit(def_.freeMap, root, true);
  expectProblems(d.check(), {what_ + ": its free-space map lists page " + std::to_string(root) +
                             ", which is not in its owned-pages map."});

  d.setMapBit(primary().usageMap, root, false);
  expectProblems(d.check(), {indexWhat_ + ": page " + std::to_string(root) +
                             " of its tree is missing from its usage map."});

  d.setMapBit(primary().usageMap, dataPage_, true);
  expectProblems(d.check(), {indexWhat_ + ": its usage map lists page " + std::to_string(dataPage_) +
                             ", which is not a page of its tree but a data page of table '" +
                             GetParam().table + "'."});
}

TEST_P(CheckDamageTest, longValuesOffTheirPagesOrOutOfTheirChainsAreReported) {
  const std::string where = columnWhat(GetParam().chained);
  const int k = def_.findColumn(GetParam().chained);
  ASSERT_GE(k, 0);
  const db::LongValueMaps* maps = nullptr;
  for (const db::LongValueMaps& lv : def_.longValueMaps) {
    if (lv.columnNumber == def_.columns[k].number) maps = &lv;
  }
  ASSERT_NE(maps, nullptr);
  // The first row whose value of the column lies on chained long-value rows: its slot, the
  // first row of the chain, and the value's length.
  Damaged d(source_);
  db::TableScan scan(d.file(), def_);
  ASSERT_TRUE(scan.rewind().ok());
  std::span<const uint8_t> field;
  for (bool found = true; field.empty();) {
    ASSERT_TRUE(scan.next(&found).ok());
    ASSERT_TRUE(found) << "no chained value in " << GetParam().chained;
    const db::RawField& f = scan.fields()[k];
    if (f.present && f.bytes.size() >= db::kLongValueHeaderSize &&
        (db::readU32(f.bytes, 0) & db::kLongValueKindMask) == 0) {
      field = f.bytes;
    }
  }
  const RowPointer row{scan.location().page, static_cast<uint8_t>(scan.location().slot)};
  const RowPointer chain = RowPointer::fromStored(db::readU32(field, 4));
  const uint32_t total = db::readU32(field, 0) & db::kLongValueLengthMask;
  const std::string value = where + ": the long value in " + rowText(row);
  const std::string page = std::to_string(chain.page);

  // Its first row points back to itself, or says it is the last.
  d.putU32(d.rowOffset(chain), chain.stored());
  expectProblems(d.check(), {value + " loops back to " + rowText(chain) + "."});
  size_t length = 0;
  d.putU32(d.rowOffset(chain, &length), 0);
  expectProblems(d.check(), {value + " ends after " + std::to_string(length - 4) + " of its " +
                             std::to_string(total) + " bytes."});

  // Its page left out of the column's map: every value with a row there is reported.
  d.setMapBit(maps->owned, chain.page, false);
  CheckReport r = d.check();
  expectProblem(r, value + " lies on page " + page + ", which is missing from the column's long-value map.");
  for (const std::string& p : r.problems) {
    EXPECT_NE(p.find("missing from the column's long-value map"), std::string::npos) << p;
  }

  // Its page no longer says LVAL.
  d.putU32(d.pageStart(chain.page) + db::kDataOwnerOffset, 0);
  r = d.check();
  const std::string is = "which is not a long-value page but a data page whose owner field names page 0.";
  expectProblem(r, value + " lies on page " + page + ", " + is);
  expectProblem(r, where + ": its long-value map lists page " + page + ", " + is);
}

TEST_P(CheckDamageTest, countsAndAutonumbersAreHeldToTheRows) {
  Damaged d(source_);
  const db::FormatDescriptor& f = d.file().format();
  const size_t tdef = size_t(def_.tdefPage) * f.pageSize;
  d.putU32(tdef + f.tdefRowCountOffset, def_.rowCount + 1);
  expectProblems(d.check(), {what_ + ": its definition counts " + std::to_string(def_.rowCount + 1) +
                             " rows, but " + std::to_string(def_.rowCount) + " were found."});

  // The counter one below the highest value in the table.
  const db::ColumnDef* autoColumn = nullptr;
  for (const db::ColumnDef& c : def_.columns) {
    if (c.isAutoLong()) autoColumn = &c;
  }
  ASSERT_NE(autoColumn, nullptr);
  d.putU32(tdef + f.tdefAutonumberOffset, def_.lastAutonumber - 1);
  expectProblems(d.check(), {columnWhat(autoColumn->name.c_str()) + ": it holds the autonumber " +
                             std::to_string(def_.lastAutonumber) + ", above the table's last autonumber " +
                             std::to_string(def_.lastAutonumber - 1) + "."});

  d.putU32(tdef + f.tdefHeaderSize + primary_ * f.realIndexCountSize + 4, primary().uniqueCount + 1);
  expectProblems(d.check(), {indexWhat_ + ": its definition counts " + std::to_string(primary().uniqueCount + 1) +
                             " distinct keys, but the index holds " +
                             std::to_string(primary().uniqueCount) + "."});
}

TEST_P(CheckDamageTest, indexEntriesThatDisagreeWithTheRowsAreReported) {
  // The primary key's first leaf: autonumbers 1, 2, ... whose keys differ in their last byte.
  Damaged d(source_);
  std::vector<db::IndexEntry> entries;
  ASSERT_TRUE(db::scanIndex(d.file(), primary(), &entries).ok());
  ASSERT_GE(entries.size(), 2u);
  ASSERT_EQ(entries[0].key.size(), 5u);
  ASSERT_EQ(std::vector<uint8_t>(entries[0].key.begin(), entries[0].key.end() - 1),
            std::vector<uint8_t>(entries[1].key.begin(), entries[1].key.end() - 1));
  uint32_t leaf = primary().rootPage;
  db::IndexPageContents contents;
  for (;;) {
    ASSERT_TRUE(db::readIndexPage(d.file(), leaf, &contents).ok());
    if (contents.type == db::kPageIndexLeaf) break;
    leaf = contents.entries.empty() ? contents.tail : contents.entries[0].childPage;
  }
  const auto hexKey = testing_support::hexOf;
  // Each leaf entry ends with its row pointer: 3 page bytes, then the row byte; the key's last
  // byte is the one before the pointer.
  const RowPointer first = entries[0].row, second = entries[1].row;
  const std::vector<size_t> ends = d.entryEnds(leaf);
  d.byte(ends[0] - 1) = 0xFE;
  expectProblems(d.check(), {indexWhat_ + " holds an entry for " + rowText({first.page, 0xFE}) +
                                 ", which is not a live row of the table.",
                             indexWhat_ + " has no entry for " + rowText(first) + "."});

  // The second key made equal to the first: a duplicate in a unique index.
  d.byte(ends[1] - 5) = d.byte(ends[0] - 5);
  expectProblems(d.check(),
                 {indexWhat_ + ": the entry for " + rowText(second) + " has the key " +
                      hexKey(entries[0].key) + ", but the row's values give " + hexKey(entries[1].key) + ".",
                  indexWhat_ + " is unique but holds the key " + hexKey(entries[0].key) +
                      " 2 times: " + rowText(first) + ", " + rowText(second) + ".",
                  indexWhat_ + ": its definition counts " + std::to_string(primary().uniqueCount) +
                      " distinct keys, but the index holds " + std::to_string(primary().uniqueCount - 1) + "."});

  // The second key made smaller than the first: out of order.
  d.byte(ends[1] - 5) = 0x00;
  // A compaction copies the entries as they stand, so it meets the order first: told as a
  // damaged source, not as the index builder's refusal.
  const db::DbError compacted = d.compacted();
  EXPECT_EQ(compacted.number, static_cast<int>(db::DbErrorNumber::CorruptDatabase)) << compacted.description;
  EXPECT_NE(compacted.description.find("are out of order"), std::string::npos) << compacted.description;
  std::vector<uint8_t> low = entries[1].key;
  low.back() = 0x00;
  expectProblems(d.check(),
                 {indexWhat_ + ": leaf entry 1 (for " + rowText(second) +
                      ") does not sort after the entry before it.",
                  indexWhat_ + ": the entry for " + rowText(second) + " has the key " +
                      hexKey(low) + ", but the row's values give " + hexKey(entries[1].key) + "."});
}

INSTANTIATE_TEST_SUITE_P(
    Tables, CheckDamageTest,
    ::testing::Values(DamageCase{"Jet3AccessCategories", "nwind.mdb", "Categories",
                                 "index 'PrimaryKey' (also '.rC')", "Picture"},
                      DamageCase{"Jet4EngineGames", nullptr, "Games", "index 'PrimaryKey'", "Box"}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.label); });

TEST(CheckTest, pagesInUseThatTheGlobalMapCallsFreeAreReported) {
  Damaged d(gamesDatabase());
  const db::TableDef def = d.table("Games");
  std::vector<uint32_t> owned, longValues;
  ASSERT_TRUE(db::readUsageMap(d.file(), def.ownedMap, &owned).ok());
  ASSERT_TRUE(db::readUsageMap(d.file(), def.longValueMaps.at(0).owned, &longValues).ok());
  ASSERT_FALSE(longValues.empty());
  const std::vector<std::pair<uint32_t, std::string>> cases = {
      {owned.front(), "a data page of table 'Games'"},
      {def.tdefPage, "the definition of table 'Games'"},
      {def.realIndexes[1].rootPage, "an index page of table 'Games'"},
      {longValues.front(), "a long-value page of table 'Games'"},
      {2, "the definition of table 'MSysObjects'"},
      // The page of the table's maps may hold the maps of other tables too: the report names
      // the first table whose map it found there.
      {def.ownedMap.page, "the usage maps of table '"},
  };
  for (const auto& [page, what] : cases) {
    d.setMapBit({1, 0}, page, true);  // a set bit in the global map means free
    const CheckReport r = d.check();
    ASSERT_EQ(r.problems.size(), 1u) << listed(r.problems);
    EXPECT_TRUE(r.problems[0].starts_with("Page " + std::to_string(page) + " (" + what)) << r.problems[0];
    EXPECT_TRUE(r.problems[0].ends_with(") is in use, but the global usage map marks it free.")) << r.problems[0];
  }
}

TEST(CheckTest, referenceMapsAndTheirBitmapPagesAreCheckedToo) {
  // Two tables written in turn, a row a page each: each table's pages spread over more than
  // the 512 an inline Jet4 map reaches, so its owned map becomes a reference map whose bitmaps
  // lie on usage-map pages (type 0x05).
  ScratchDir dir;
  const fs::path path = dir.file("wide.mdb");
  {
    auto d = db::DBEngine().CreateDatabase(path.string());
    for (const char* name : {"Left", "Right"}) {
      db::TableSchema s;
      s.name = name;
      for (int c = 0; c < 7; ++c) {
        s.columns.push_back(column(("T" + std::to_string(c)).c_str(), ColumnType::Text, 255));
        s.columns.back().unicodeCompression = false;
      }
      d->createTable(s);
    }
    const testing_support::RowFiller fill = [](db::Recordset& rs, int) {
      for (int c = 0; c < 7; ++c) rs.Fields("T" + std::to_string(c)).Value = db::Variant(std::string(255, 'a' + c));
    };
    for (int i = 0; i < 300; ++i) {
      for (const char* name : {"Left", "Right"}) testing_support::addRows(*d, name, 1, fill);
    }
    d->Close();
  }
  const CheckReport report = testing_support::checkReport(path);
  EXPECT_TRUE(report.clean()) << listed(report.problems);

  Damaged d(path);
  const db::TableDef def = d.table("Left");
  const size_t map = d.rowOffset(def.ownedMap);
  ASSERT_EQ(d.byte(map), db::kMapReference);
  const uint32_t bitmapPage = db::readU32(testing_support::readBytes(path), map + 1);  // pages 0..32735
  std::vector<uint32_t> owned;
  ASSERT_TRUE(db::readUsageMap(d.file(), def.ownedMap, &owned).ok());
  ASSERT_GT(owned.size(), 1u);
  d.setMapBit({1, 0}, bitmapPage, true);
  expectProblems(d.check(), {"Page " + std::to_string(bitmapPage) +
                             " (the usage maps of table 'Left') is in use, but the global usage map marks it free."});

  const uint32_t page = owned[owned.size() / 2];  // a full page: not in the free-space map
  d.byte(d.pageStart(bitmapPage) + db::kMapPageHeaderSize + page / 8) &= static_cast<uint8_t>(~(1u << (page % 8)));
  expectProblems(d.check(), {"Table 'Left': data page " + std::to_string(page) +
                             " belongs to it but is missing from its owned-pages map."});
}

TEST(CheckTest, movedRowsMustPointToRowsThatExist) {
  REQUIRE_FIXTURE(access, "overflowTestV2003.mdb");
  for (const auto& [source, table] : {std::pair<fs::path, std::string>{access, "Table1"},
                                      {gamesDatabase(), "Games"}}) {
    Damaged d(source);
    const db::TableDef def = d.table(table);
    const std::vector<RowPointer> moved = testing_support::movedRows(d.file(), def);
    ASSERT_FALSE(moved.empty()) << table << " has no moved row";
    const size_t pointer = d.rowOffset(moved[0]);
    const RowPointer target = RowPointer::fromStored(db::readU32(testing_support::readBytes(source), pointer));
    db::Page page;
    uint16_t targetRows = 0;
    ASSERT_TRUE(d.file().readPage(target.page, &page).ok());
    ASSERT_TRUE(db::dataRowCount(d.file(), page, target.page, &targetRows).ok());
    const std::string what = "Table '" + table + "': " + rowText(moved[0]) + " points to ";
    d.putU32(pointer, RowPointer{target.page, 0xFE}.stored());
    expectProblems(d.check(), {what + rowText({target.page, 0xFE}) + ", which does not exist: the page has " +
                               std::to_string(targetRows) + " rows."});
    d.putU32(pointer, RowPointer{def.tdefPage, 0}.stored());
    expectProblems(d.check(), {what + rowText({def.tdefPage, 0}) +
                               ", which does not exist: the page is a table-definition page."});
  }
}

TEST(CheckTest, intermediateEntriesMustCopyTheirChildsGreatestEntry) {
  REQUIRE_FIXTURE(path, "nwind.mdb");
  Damaged d(path);
  const db::TableDef def = d.table("Order Details");
  // A B-tree of more than one level: its root is an intermediate page.
  const db::RealIndexDef* index = nullptr;
  std::string name;
  db::IndexPageContents root;
  for (const db::IndexDef& li : def.indexes) {
    const db::RealIndexDef& ri = def.realIndexes[li.realIndex];
    ASSERT_TRUE(db::readIndexPage(d.file(), ri.rootPage, &root).ok());
    if (root.type == db::kPageIndexNode && !root.entries.empty()) {
      index = &ri;
      name = li.name;
      break;
    }
  }
  ASSERT_NE(index, nullptr) << "no multi-level index in Order Details";
  // An intermediate entry is the child's last entry and then the child's page (4 bytes): its
  // row byte is the fifth byte from its end.
  const size_t rowByte = d.entryEnds(index->rootPage)[0] - 5;
  const RowPointer was = root.entries[0].row;
  const RowPointer now{was.page, static_cast<uint8_t>(was.row ^ 0x01)};
  d.byte(rowByte) = now.row;
  const CheckReport r = d.check();
  ASSERT_EQ(r.problems.size(), 1u) << listed(r.problems);
  EXPECT_NE(r.problems[0].find("index '" + name + "'"), std::string::npos) << r.problems[0];
  EXPECT_TRUE(r.problems[0].ends_with(": intermediate page " + std::to_string(index->rootPage) +
                                      " keeps for its child page " +
                                      std::to_string(root.entries[0].childPage) + " the entry for " +
                                      rowText(now) + ", which is not that child's greatest entry " +
                                      "(the one for " + rowText(was) + ")."))
      << r.problems[0];
}

TEST(CheckTest, anAllNullRowInAnIndexThatIgnoresNullsIsReported) {
  Damaged d(gamesDatabase());
  const db::TableDef def = d.table("Games");
  const int code = def.findColumn("Code");
  ASSERT_GE(code, 0);
  // A row that has a Code and lives in its own slot; clearing the Code's null-mask bit at the
  // row's end makes the value Null, while its entry in the Code index stays.
  db::TableScan scan(d.file(), def);
  ASSERT_TRUE(scan.rewind().ok());
  RowPointer row{0, 0};
  db::Page page;
  for (bool found = true; row.page == 0;) {
    ASSERT_TRUE(scan.next(&found).ok());
    ASSERT_TRUE(found);
    db::RowSlot slot;
    ASSERT_TRUE(d.file().readPage(scan.location().page, &page).ok());
    ASSERT_TRUE(db::dataRowSlot(d.file(), page, scan.location().page, scan.location().slot, &slot).ok());
    if (scan.fields()[code].present && !slot.overflow) {
      row = {scan.location().page, static_cast<uint8_t>(scan.location().slot)};
    }
  }
  size_t length = 0;
  const size_t start = d.rowOffset(row, &length);
  const uint16_t columns = db::readU16(std::span<const uint8_t>(&d.byte(start), 2), 0);
  const size_t mask = start + length - (columns + 7) / 8;
  const uint16_t number = def.columns[code].number;
  d.byte(mask + number / 8) &= static_cast<uint8_t>(~(1u << (number % 8)));
  expectProblems(d.check(), {"Table 'Games', index 'Code' holds an entry for " + rowText(row) +
                             ", whose key columns are all Null, though the index ignores Nulls."});
}

TEST(CheckTest, aFileWhoseCatalogueCannotBeReadFailsInsteadOfReporting) {
  REQUIRE_FIXTURE(path, "testV1997.mdb");
  ScratchDir dir;
  std::vector<uint8_t> bytes = testing_support::readBytes(path);
  bytes[2 * db::kVersion3.pageSize] = 0x01;  // page 2, MSysObjects' definition, now a data page
  testing_support::writeBytes(dir.file("broken.mdb"), bytes);
  std::unique_ptr<db::PageFile> file;
  ASSERT_TRUE(db::PageFile::open(dir.file("broken.mdb").string(), &file, false).ok());
  CheckReport report;
  const db::DbError err = db::checkDatabase(*file, &report);
  EXPECT_EQ(err.number, static_cast<int>(db::DbErrorNumber::CorruptDatabase));
  EXPECT_NE(err.description.find("page 2"), std::string::npos) << err.description;
}

}  // namespace
