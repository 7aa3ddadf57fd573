// Indexes kept current by appends and updates: random keys in every order, pages split at
// every level, and what is left passes the integrity check, which derives every row's key
// again and finds it, in order, among the index's entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "db/database_file.h"
#include "db/index_build.h"
#include "db/index_page.h"
#include "db/test_support.h"

namespace {

using db::ColumnType;
using db::Variant;
using testing_support::column;
using testing_support::counter;
using testing_support::errorNumberOf;
using testing_support::number;
using testing_support::primaryKey;

class IndexBTreeTest : public testing::TestWithParam<int> {};

// A table filling from empty holds its entries back and writes each index whole; from seed 4
// on, the table has a row from an earlier session, so that its B-trees take every entry in
// turn instead.
TEST_P(IndexBTreeTest, randomAppendsAndUpdatesKeepEveryIndexInOrder) {
  testing_support::ScratchDir dir;
  const auto path = dir.file("idx.mdb");
  std::mt19937 rng(static_cast<unsigned>(GetParam()));
  const bool notEmpty = GetParam() >= 4;
  {
    auto d = db::DBEngine().CreateDatabase(path.string());
    d->createTable(
        {"Keys",
         {counter("Id"), column("Code", ColumnType::Long), column("Name", ColumnType::Text, 120),
          column("When", ColumnType::DateTime), column("Price", ColumnType::Currency),
          column("Small", ColumnType::Byte), column("Flag", ColumnType::Boolean),
          column("Ratio", ColumnType::Double), column("Short", ColumnType::Integer)},
         {primaryKey("Id"),
          {.name = "Code", .columns = {{"Code", false}}, .unique = true},
          {.name = "NameWhen", .columns = {{"Name", true}, {"When", false}}},
          {.name = "Price", .columns = {{"Price", true}, {"Small", false}, {"Flag", true}}, .ignoreNulls = true},
          {.name = "Ratio", .columns = {{"Ratio", false}, {"Short", true}}}}});
    if (notEmpty) {
      testing_support::addRows(*d, "Keys", 1, [](db::Recordset& rs, int) {
        rs.Fields("Code").Value = Variant(int32_t{-7000});
      });
      d->Close();
      d = db::DBEngine().OpenDatabase(path.string());
    }
    std::vector<int32_t> codes(4000);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<int32_t>(i) * 3 - 5000;
    // Keys arrive ascending, descending or shuffled, by seed.
    if (GetParam() % 3 == 1) std::reverse(codes.begin(), codes.end());
    if (GetParam() % 3 == 2) std::shuffle(codes.begin(), codes.end(), rng);
    testing_support::addRows(*d, "Keys", static_cast<int>(codes.size()), [&](db::Recordset& rs, int i) {
      rs.Fields("Code").Value = Variant(codes[i]);
      // Long names with a shared beginning give prefix-compressed pages.
      if (rng() % 7) rs.Fields("Name").Value = Variant(std::string(rng() % 60, 'k') + "name " + std::to_string(rng() % 500));
      if (rng() % 5) rs.Fields("When").Value = Variant(db::DateValue{static_cast<double>(rng() % 40000) - 2000.25});
      if (rng() % 4) rs.Fields("Price").Value = Variant(db::Currency{static_cast<int64_t>(rng() % 2000000) - 1000000});
      rs.Fields("Small").Value = Variant(static_cast<int32_t>(rng() % 256));
      rs.Fields("Flag").Value = Variant(rng() % 2 == 0);
      rs.Fields("Ratio").Value = Variant(static_cast<double>(rng()) / 1e6 - 2000);
      rs.Fields("Short").Value = Variant(static_cast<int32_t>(rng() % 60000) - 30000);
    });
    // Updates that change keys of every index, some making rows longer so they move.
    d->Execute("UPDATE Keys SET Name = 'renamed, and longer than it was before' WHERE Small < 40");
    d->Execute("UPDATE Keys SET Ratio = 1.5, Short = 7 WHERE Code > 5000");
    d->Execute("UPDATE Keys SET Name = NULL WHERE Small > 240");
    d->Close();
  }
  testing_support::expectSoundFile(path);
  if (testing_support::haveMdbTools()) {
    EXPECT_EQ(testing_support::mdbExport(path, "Keys").size(), notEmpty ? 4001u : 4000u);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, IndexBTreeTest, testing::Values(1, 2, 3, 4, 5, 6));

TEST(IndexBTreeTest, duplicatesInUniqueIndexesAreRefusedAndStoreNothing) {
  testing_support::ScratchDir dir;
  auto d = db::DBEngine().CreateDatabase(dir.file("u.mdb").string());
  d->createTable({"U", {column("A", ColumnType::Long), column("B", ColumnType::Text, 20)},
                 {primaryKey("A"), {.name = "B", .columns = {{"B", true}}, .unique = true}}});
  auto rs = d->OpenRecordset("SELECT * FROM U", db::dbOpenDynaset);
  auto add = [&](int32_t a, const char* b) {
    rs->AddNew();
    rs->Fields("A").Value = Variant(a);
    if (b) rs->Fields("B").Value = Variant(b);
    try {
      rs->Update();
    } catch (const db::DbException& e) {
      rs->CancelUpdate();
      return e.number();
    }
    return 0;
  };
  EXPECT_EQ(add(1, "one"), 0);
  EXPECT_EQ(add(1, "other"), number(db::DbErrorNumber::DuplicateKey));
  EXPECT_EQ(add(2, "ONE"), number(db::DbErrorNumber::DuplicateKey));  // text keys ignore case
  EXPECT_EQ(add(3, nullptr), 0);  // Null keys are exempt
  EXPECT_EQ(add(4, nullptr), 0);
  d->Close();
  EXPECT_EQ(testing_support::OpenedFile(dir.file("u.mdb")).table("U").rowCount, 3u);
  testing_support::expectSoundFile(dir.file("u.mdb"));
}

// Keys of very different lengths: when a parent's copy of a child's greatest entry is
// replaced by a longer one, the parent can overflow and must split too.
TEST(IndexBTreeTest, longerCopiesOfGreatestEntriesSplitTheirParents) {
  testing_support::ScratchDir dir;
  const auto path = dir.file("long.mdb");
  {
    auto d = testing_support::createDatabaseWith(
        path, {"T", {counter("Id"), column("Name", ColumnType::Text, 255)},
               {primaryKey("Id"), {.name = "Name", .columns = {{"Name", true}}}}},
        800, [](db::Recordset& rs, int i) {
          rs.Fields("Name").Value =
              Variant(std::string(i % 2 ? 200 : 1, static_cast<char>('a' + i % 26)) + std::to_string(100000 + i));
        });
    for (int k = 1; k <= 60; ++k) {
      d->Execute("UPDATE T SET Name = 'zzz' WHERE Id = " + std::to_string(k), db::dbFailOnError);
    }
    d->Close();
  }
  testing_support::expectSoundFile(path);
}

// A table filling from empty answers uniqueness from the entries it holds back, on the very
// row that breaks it, whichever way an index holds them: keys come in order (and go to the
// leaves as they come), a key out of order after that (the index goes on in its B-tree), and
// keys in no order from the start.
TEST(IndexBTreeTest, heldBackEntriesRefuseDuplicatesOnTheirRow) {
  testing_support::ScratchDir dir;
  const auto path = dir.file("held.mdb");
  {
    auto d = testing_support::createDatabaseWith(
        path, {"T", {column("Seq", ColumnType::Long), column("Code", ColumnType::Long), column("Grp", ColumnType::Long)},
               {primaryKey("Seq"), {.name = "Code", .columns = {{"Code", true}}, .unique = true},
                {.name = "Grp", .columns = {{"Grp", true}}}}});
    auto rs = d->OpenRecordset("SELECT * FROM T", db::dbOpenDynaset);
    auto add = [&](int32_t seq, int32_t code) {
      return errorNumberOf([&] {
        rs->AddNew();
        rs->Fields("Seq").Value = Variant(seq);
        rs->Fields("Code").Value = Variant(code);
        rs->Fields("Grp").Value = Variant(seq % 5);
        try {
          rs->Update();
        } catch (...) {
          rs->CancelUpdate();
          throw;
        }
      });
    };
    for (int32_t i = 0; i < 200; ++i) ASSERT_EQ(add(2 * i, i * 7919 % 1000), 0) << i;
    const int duplicate = number(db::DbErrorNumber::DuplicateKey);
    const struct { int32_t seq, code; int expected; } rows[] = {
        {398, 5000, duplicate}, {401, 5001, 0},     {401, 5002, duplicate}, {10, 5003, duplicate},
        {7, 5004, 0},           {7, 5005, duplicate}, {900, 7919 * 3 % 1000, duplicate},
        {901, 5006, 0}};
    for (const auto& r : rows) EXPECT_EQ(add(r.seq, r.code), r.expected) << r.seq << " " << r.code;
    d->Close();
  }
  EXPECT_EQ(testing_support::OpenedFile(path).table("T").rowCount, 203u);
  testing_support::expectSoundFile(path);
}

// Keys that are the start of one another's: the row pointers' bytes, which follow the key's,
// decide the order on the leaves, and the builder puts the entries in it.
TEST(IndexBTreeTest, theBuilderOrdersKeysThatStartOneAnother) {
  testing_support::ScratchDir dir;
  const auto path = dir.file("prefix.mdb");
  testing_support::createDatabaseWith(path, {"T", {column("A", ColumnType::Long)}, {{.name = "A", .columns = {{"A", true}}}}})
      ->Close();
  std::shared_ptr<db::DatabaseFile> file;
  ASSERT_TRUE(db::DatabaseFile::open(path.string(), &file).ok());
  std::shared_ptr<db::TableState> table;
  ASSERT_TRUE(file->table("T", &table).ok());
  db::RealIndexDef& index = table->def.realIndexes[0];
  db::IndexBuilder builder(file->allocator(), table->def, &index);
  const std::vector<std::vector<uint8_t>> keys = {{1}, {1, 0}, {1, 0, 0, 5}, {1, 3}, {2}};
  std::vector<db::IndexEntry> expected;
  for (const std::vector<uint8_t>& key : keys) {
    for (uint32_t j = 1; j <= 150; ++j) {
      // The row pointer's first byte runs from 0x00 to 0x0A, across the keys'.
      const db::IndexEntry e{key, {j * 0x11000, static_cast<uint8_t>(j)}};
      ASSERT_TRUE(builder.add(e.key, e.row).ok());
      expected.push_back(e);
    }
  }
  ASSERT_TRUE(builder.finish().ok());
  std::sort(expected.begin(), expected.end(), db::indexEntryLess);
  std::vector<db::IndexEntry> got;
  ASSERT_TRUE(db::scanIndex(file->pages(), index, &got).ok());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(index.uniqueCount, keys.size());
}

}  // namespace
