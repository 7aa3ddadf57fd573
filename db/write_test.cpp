// Databases the engine writes: the system catalogue of a new file, tables of every type, rows
// appended through dynasets, UPDATE statements, and two connections to one file. Every file
// is read back through our reader and through mdbtools.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <set>

#include "db/database_file.h"
#include "db/file_io.h"
#include "db/page_file.h"
#include "db/test_support.h"
#include "db/usage_map.h"

namespace {

using db::ColumnType;
using db::DbErrorNumber;
using db::Variant;
using testing_support::column;
using testing_support::counter;
using testing_support::createDatabaseWith;
using testing_support::errorNumberOf;
using testing_support::expectMdbToolsAgree;
using testing_support::number;
using testing_support::primaryKey;
using testing_support::readRows;
using testing_support::ScratchDir;

// A new database never takes the place of a file. Its system tables hold what the engine
// itself writes into one: the blank fixture made by the engine is the model, rows and access
// entries alike, but for the creation dates.
TEST(WriteTest, newDatabaseHoldsTheEnginesSystemTablesAndReplacesNoFile) {
  ScratchDir dir;
  db::DBEngine().CreateDatabase(dir.file("new.mdb").string())->Close();
  const std::vector<uint8_t> made = testing_support::readBytes(dir.file("new.mdb"));
  EXPECT_EQ(errorNumberOf([&] { db::DBEngine().CreateDatabase(dir.file("new.mdb").string()); }),
            number(DbErrorNumber::FileExists));
  EXPECT_EQ(testing_support::readBytes(dir.file("new.mdb")), made);
  EXPECT_EQ(errorNumberOf([&] { db::DBEngine().CreateDatabase(dir.file("no/such/folder/x.mdb").string()); }),
            number(DbErrorNumber::FileNotFound));
  REQUIRE_FIXTURE(blank, "blankJet4.mdb");
  auto dumpSystem = [](const std::filesystem::path& path, const char* table) {
    // Dates of creation differ by nature.
    return std::regex_replace(testing_support::dumpJson(path, table),
                              std::regex("\"Date(Create|Update)\":\"[^\"]*\""), "\"Date$1\":\"-\"");
  };
  // Each system table holds the model's rows, and its definition matches the model's column by
  // column, flags and places included.
  auto ours = db::DBEngine().OpenDatabase(dir.file("new.mdb").string());
  auto model = db::DBEngine().OpenDatabase(blank.string());
  for (const char* table : {"MSysObjects", "MSysACEs", "MSysQueries", "MSysRelationships"}) {
    EXPECT_EQ(dumpSystem(dir.file("new.mdb"), table), dumpSystem(blank, table)) << table;
    const db::TableDef a = ours->tableDef(table), b = model->tableDef(table);
    ASSERT_EQ(a.columns.size(), b.columns.size());
    EXPECT_EQ(a.tableType, b.tableType);
    for (size_t i = 0; i < a.columns.size(); ++i) {
      EXPECT_EQ(a.columns[i].name, b.columns[i].name);
      EXPECT_EQ(a.columns[i].flags, b.columns[i].flags) << table << "." << a.columns[i].name;
      EXPECT_EQ(a.columns[i].length, b.columns[i].length) << a.columns[i].name;
      if (a.columns[i].isFixed()) EXPECT_EQ(a.columns[i].fixedOffset, b.columns[i].fixedOffset);
      else EXPECT_EQ(a.columns[i].varSlot, b.columns[i].varSlot) << a.columns[i].name;
    }
    ASSERT_EQ(a.realIndexes.size(), b.realIndexes.size());
    for (size_t i = 0; i < a.realIndexes.size(); ++i) {
      EXPECT_EQ(a.realIndexes[i].flags, b.realIndexes[i].flags) << table;
      EXPECT_EQ(a.realIndexes[i].uniqueCount, b.realIndexes[i].uniqueCount) << table;
    }
  }
  testing_support::expectSoundFile(dir.file("new.mdb"));
  if (testing_support::haveMdbTools()) {
    EXPECT_EQ(testing_support::runCommand("mdb-tables -S -1 '" + dir.file("new.mdb").string() + "'"),
              "MSysObjects\nMSysACEs\nMSysQueries\nMSysRelationships\n");
  }
}

// One row of varied values: Nulls, text of every script, memos of every storage size.
std::vector<std::pair<std::string, Variant>> sampleRow(std::mt19937& rng, int i) {
  static const char* kTexts[] = {"plain", "Grüße aus Köln", "Мир", "漢字仮名", "ümlaut é à",
                                 "", "quote \" and 'apostrophe'", "x"};
  std::vector<std::pair<std::string, Variant>> v;
  auto maybe = [&](const char* name, Variant value) {
    if (rng() % 7 != 0) v.emplace_back(name, std::move(value));
  };
  maybe("Flag", Variant(rng() % 2 == 0));
  maybe("Small", Variant(static_cast<int32_t>(rng() % 256)));
  maybe("Int", Variant(static_cast<int32_t>(rng() % 65536) - 32768));
  maybe("Whole", Variant(static_cast<int32_t>(rng())));
  maybe("Money", Variant(db::Currency{static_cast<int64_t>(rng()) - 2000000000}));
  maybe("Sing", Variant(static_cast<float>(rng() % 100000) / 8));
  maybe("Dbl", Variant(static_cast<double>(rng()) / 1000.0 - 1e6));
  maybe("When", Variant(db::DateValue{static_cast<double>(rng() % 60000) + (rng() % 86400) / 86400.0}));
  maybe("Txt", Variant(std::string(kTexts[rng() % 8]) + " " + std::to_string(i)));
  const size_t memo[] = {0, 10, 64, 65, 500, 1100, 4072, 4077, 9000, 30000};
  std::string note;
  for (size_t k = 0, n = memo[rng() % 10]; note.size() < n; ++k) note += (k % 5 == 0) ? "é" : "note ";
  maybe("Note", Variant(note));
  std::vector<uint8_t> bin(rng() % 17);
  for (auto& b : bin) b = static_cast<uint8_t>(rng());
  maybe("Bin", Variant(bin));
  std::vector<uint8_t> blob(memo[rng() % 10]);
  for (auto& b : blob) b = static_cast<uint8_t>(rng());
  maybe("Blob", Variant(blob));
  db::Guid g;
  for (auto& b : g) b = static_cast<uint8_t>(rng());
  maybe("Uid", Variant(g));
  maybe("Dec", Variant(std::to_string(static_cast<int>(rng() % 2000000) - 1000000) + ".1234"));
  return v;
}

TEST(WriteTest, rowsOfEveryTypeReadBackThroughBothReaders) {
  ScratchDir dir;
  const auto path = dir.file("types.mdb");
  std::vector<std::vector<std::pair<std::string, Variant>>> written;
  std::mt19937 rng(7);
  db::TableSchema s{"Every Type",
                    {counter("Id"),                        column("Flag", ColumnType::Boolean),
                     column("Small", ColumnType::Byte),    column("Int", ColumnType::Integer),
                     column("Whole", ColumnType::Long),    column("Money", ColumnType::Currency),
                     column("Sing", ColumnType::Single),   column("Dbl", ColumnType::Double),
                     column("When", ColumnType::DateTime), column("Txt", ColumnType::Text, 60),
                     column("Note", ColumnType::Memo),     column("Bin", ColumnType::Binary, 16),
                     column("Blob", ColumnType::OLE),      column("Uid", ColumnType::GUID),
                     column("Dec", ColumnType::Decimal)},
                    {primaryKey("Id"),
                     {.name = "ByWhole", .columns = {{"Whole", false}, {"Small", true}}}}};
  s.columns[9].unicodeCompression = true;
  s.columns.back().precision = 18;
  s.columns.back().scale = 4;
  createDatabaseWith(path, s, 1500, [&](db::Recordset& rs, int i) {
    written.push_back(sampleRow(rng, i));
    for (auto& [name, value] : written.back()) rs.Fields(name).Value = value;
    EXPECT_EQ(rs.Fields("Id").Value.int32(), i + 1);
  })->Close();
  auto d = db::DBEngine().OpenDatabase(path.string());
  auto rs = d->OpenRecordset("SELECT * FROM [Every Type]", db::dbOpenSnapshot);
  size_t i = 0;
  for (; !rs->EOF_(); rs->MoveNext(), ++i) {
    ASSERT_LT(i, written.size());
    EXPECT_EQ(rs->Fields("Id").Value.int32(), static_cast<int32_t>(i + 1));
    for (const auto& [name, value] : written[i]) {
      Variant stored = rs->Fields(name).Value;
      if (name == "Dec") {
        EXPECT_EQ(stored.text(), value.text()) << "row " << i;
      } else if (name == "Small" || name == "Int" || name == "Sing") {
        double a = 0, b = 0;
        stored.toDouble(&a);
        value.toDouble(&b);
        EXPECT_EQ(a, b) << name << " row " << i;
      } else {
        EXPECT_EQ(stored, value) << name << " row " << i;
      }
    }
  }
  EXPECT_EQ(i, written.size());
  d->Close();
  expectMdbToolsAgree(path, "Every Type");
}

TEST(WriteTest, valuesConvertAsJetConvertsThemOrFailWithItsErrors) {
  ScratchDir dir;
  db::TableSchema s{"T",
                    {counter("Id"), column("B", ColumnType::Byte), column("I", ColumnType::Integer),
                     column("L", ColumnType::Long), column("F", ColumnType::Boolean), column("T", ColumnType::Text, 5),
                     column("D", ColumnType::Double), column("Need", ColumnType::Text, 10),
                     column("NoEmpty", ColumnType::Text, 10)},
                    {primaryKey("Id"), {.name = "UniqueL", .columns = {{"L", true}}, .unique = true}}};
  s.columns[7].required = true;
  s.columns[8].allowZeroLength = false;
  auto d = createDatabaseWith(dir.file("c.mdb"), s);
  auto rs = d->OpenRecordset("SELECT * FROM T", db::dbOpenDynaset);
  rs->AddNew();
  rs->Fields("B").Value = Variant(2.5);          // rounds half to even
  rs->Fields("I").Value = Variant("  -42 ");     // numeric text
  rs->Fields("L").Value = Variant(true);         // True is -1
  rs->Fields("F").Value = Variant(int32_t{7});   // non-zero is True
  rs->Fields("T").Value = Variant(int32_t{12345});
  rs->Fields("D").Value = Variant(db::Currency{15000});
  rs->Fields("Need").Value = Variant("x");
  rs->Update();
  EXPECT_EQ(readRows(*d, "T"), (testing_support::Rows{{Variant(int32_t{1}), Variant(uint8_t{2}),
                                                       Variant(int16_t{-42}), Variant(int32_t{-1}),
                                                       Variant(true), Variant("12345"), Variant(1.5),
                                                       Variant("x"), Variant()}}));

  struct Case {
    const char* field;
    Variant value;
    DbErrorNumber expected;
  };
  const Case atAssignment[] = {
      {"B", Variant(int32_t{256}), DbErrorNumber::NumericOverflow},
      {"B", Variant(int32_t{-1}), DbErrorNumber::NumericOverflow},
      {"I", Variant(40000.0), DbErrorNumber::NumericOverflow},
      {"L", Variant("twelve"), DbErrorNumber::ConversionFailed},
      {"T", Variant("toolong"), DbErrorNumber::FieldTooSmall},
      {"D", Variant(std::vector<uint8_t>{1}), DbErrorNumber::ConversionFailed},
      {"Id", Variant(int32_t{99}), DbErrorNumber::FieldNotUpdatable},
  };
  rs->AddNew();
  for (const Case& c : atAssignment) {
    EXPECT_EQ(errorNumberOf([&] { rs->Fields(c.field).Value = c.value; }), number(c.expected))
        << c.field;
  }
  rs->CancelUpdate();
  // Failures at Update store nothing, and the next good row still goes in.
  const Case atUpdate[] = {{"Need", Variant(), DbErrorNumber::ValueRequired},
                           {"NoEmpty", Variant(""), DbErrorNumber::ZeroLengthNotAllowed},
                           {"L", Variant(int32_t{-1}), DbErrorNumber::DuplicateKey}};
  for (const Case& c : atUpdate) {
    rs->AddNew();
    rs->Fields("Need").Value = Variant("x");
    rs->Fields(c.field).Value = c.value;
    EXPECT_EQ(errorNumberOf([&] { rs->Update(); }), number(c.expected)) << c.field;
    rs->CancelUpdate();
  }
  EXPECT_EQ(readRows(*d, "T").size(), 1u);
  EXPECT_EQ(d->tableDef("T").rowCount, 1u);
  EXPECT_EQ(errorNumberOf([&] { rs->Update(); }), number(DbErrorNumber::UpdateWithoutAddNew));
  rs->AddNew();
  rs->Fields("Need").Value = Variant("y");
  rs->Update();
  EXPECT_EQ(readRows(*d, "T").size(), 2u);
  d->Close();
  expectMdbToolsAgree(dir.file("c.mdb"), "T");
}

// Column properties live in the table's property blob, where Jet keeps them; the writer
// honours them, also after the file is opened again, and mdbtools reads them.
// A table the engine cannot make is refused, with its reason, before anything is written.
TEST(WriteTest, tableDesignsOutsideJetsLimitsAreRefusedWithTheirReason) {
  ScratchDir dir;
  auto jet3 = db::DBEngine().CreateDatabase(dir.file("3.mdb").string(), db::kVersion3);
  auto jet4 = db::DBEngine().CreateDatabase(dir.file("4.mdb").string(), db::kVersion4);
  auto with = [](std::vector<db::ColumnDesign> columns, std::vector<db::IndexDesign> indexes = {}) {
    return db::TableSchema{"T", std::move(columns), std::move(indexes)};
  };
  auto on = [](const char* name, const char* column, bool primary = false) {
    return db::IndexDesign{.name = name, .columns = {{column}}, .primaryKey = primary};
  };
  const db::ColumnDesign a = column("A", ColumnType::Long);
  db::ColumnDesign textA = column("A", ColumnType::Text, 10);
  db::ColumnDesign decimal = column("D", ColumnType::Decimal);
  textA.autoNumber = true;
  decimal.precision = 29;
  const struct {
    db::Database* database;
    db::TableSchema schema;
    const char* reason;
  } cases[] = {
      {jet4.get(), {"Bad.Name", {a}, {}}, "'Bad.Name' is not a valid table name."},
      {jet4.get(), with({}), "A table has 1 to 255 columns; 'T' has 0."},
      {jet4.get(), with({a, column("a", ColumnType::Text, 5)}),
       "The column name 'a' is used twice in 'T'."},
      {jet4.get(), with({column("A", static_cast<ColumnType>(0x42))}),
       "The column 'A' has an unknown type."},
      {jet4.get(), with({column("A", ColumnType::Text, 256)}),
       "The text column 'A' must hold 1 to 255 characters."},
      {jet4.get(), with({column("B", ColumnType::Binary, 511)}),
       "The binary column 'B' must hold 1 to 510 bytes."},
      {jet4.get(), with({textA}), "Only a Long column can be an autonumber; 'A' is not."},
      {jet3.get(), with({column("D", ColumnType::Decimal)}), "Decimal columns need a Jet4 database."},
      {jet4.get(), with({decimal}), "The decimal column 'D' has an invalid precision or scale."},
      {jet4.get(), with({a}, {{.name = "I", .columns = {}}}), "The index 'I' of 'T' is not valid."},
      {jet4.get(), with({a}, {on("I", "A"), on("i", "A")}),
       "The index name 'i' is used twice in 'T'."},
      {jet4.get(), with({a}, {on("P1", "A", true), on("P2", "A", true)}),
       "The table 'T' has more than one primary key."},
      {jet4.get(), with({a}, {on("I", "Z")}),
       "The index 'I' names 'Z', which is not a column of 'T'."},
      {jet3.get(), with({column("M", ColumnType::Memo)}, {on("I", "M")}),
       "The Memo or OLE column 'M' cannot be indexed."},
  };
  for (const auto& c : cases) {
    try {
      c.database->createTable(c.schema);
      ADD_FAILURE() << "accepted: " << c.reason;
    } catch (const db::DbException& e) {
      EXPECT_EQ(e.number(), number(DbErrorNumber::InvalidArgument)) << c.reason;
      EXPECT_EQ(e.description(), c.reason);
    }
  }
  EXPECT_TRUE(jet3->tableNames().empty());
  EXPECT_TRUE(jet4->tableNames().empty());
}

TEST(WriteTest, columnPropertiesAreStoredAndHonoured) {
  ScratchDir dir;
  const auto path = dir.file("p.mdb");
  db::TableSchema s{"Games",
                    {column("Name", ColumnType::Text, 50), column("Players", ColumnType::Integer),
                     column("Label", ColumnType::Text, 20), column("Adult", ColumnType::Boolean),
                     column("Ratio", ColumnType::Double)},
                    {}};
  s.columns[0].required = true;
  s.columns[0].description = "The game's title, as the box prints it";
  s.columns[1].defaultValue = Variant(int32_t{4});
  s.columns[2].defaultValue = Variant("say \"hi\"");
  s.columns[2].allowZeroLength = false;
  s.columns[3].defaultValue = Variant(true);
  s.columns[4].defaultValue = Variant(0.25);
  createDatabaseWith(path, s)->Close();
  auto d = db::DBEngine().OpenDatabase(path.string());
  auto rs = d->OpenRecordset("SELECT * FROM Games", db::dbOpenDynaset);
  rs->AddNew();
  rs->Fields("Name").Value = Variant("Elite");
  rs->Update();
  rs->AddNew();
  rs->Fields("Name").Value = Variant("Given");
  rs->Fields("Players").Value = Variant(int32_t{1});
  rs->Fields("Label").Value = Variant();  // set, to Null: no default
  rs->Update();
  EXPECT_EQ(readRows(*d, "Games"),
            (testing_support::Rows{
                {Variant("Elite"), Variant(int16_t{4}), Variant("say \"hi\""), Variant(true), Variant(0.25)},
                {Variant("Given"), Variant(int16_t{1}), Variant(), Variant(true), Variant(0.25)}}));
  rs->AddNew();
  EXPECT_EQ(errorNumberOf([&] { rs->Update(); }), number(DbErrorNumber::ValueRequired));
  rs->Fields("Name").Value = Variant("x");
  rs->Fields("Label").Value = Variant("");
  EXPECT_EQ(errorNumberOf([&] { rs->Update(); }), number(DbErrorNumber::ZeroLengthNotAllowed));
  d->Close();
  testing_support::expectSoundFile(path);
  if (testing_support::haveMdbTools()) {
    const std::string props = testing_support::runCommand("mdb-prop '" + path.string() + "' Games");
    EXPECT_NE(props.find("Description: The game's title, as the box prints it"), std::string::npos) << props;
    EXPECT_NE(props.find("Required: yes"), std::string::npos) << props;
    EXPECT_NE(props.find("DefaultValue: 4"), std::string::npos) << props;
  }
}

TEST(WriteTest, updateStatementsRewriteRowsAndMoveThoseThatGrow) {
  ScratchDir dir;
  const auto path = dir.file("u.mdb");
  {
    db::TableSchema s{"Games",
                      {counter("GA_Id"), column("Name", ColumnType::Text, 100), column("Comment", ColumnType::Memo),
                       column("Players", ColumnType::Integer), column("Strict", ColumnType::Text, 10)},
                      {primaryKey("GA_Id"), {.name = "Name", .columns = {{"Name", true}}}}};
    s.columns[4].allowZeroLength = false;
    auto d = createDatabaseWith(path, s, 600, [](db::Recordset& rs, int i) {
      if (i % 3 != 0) rs.Fields("Name").Value = Variant("Game " + std::to_string(i));
      if (i % 4 != 0) rs.Fields("Comment").Value = Variant(std::string(i % 4 == 1 ? 5000 : 20, 'c'));
      rs.Fields("Players").Value = Variant(i % 5);
    });
    // Null text becomes "" (the rows grow by their empty value), a number changes, and a
    // row that cannot take a change is left alone without failing the statement.
    d->Execute("UPDATE Games SET Name = \"\" WHERE Name IS NULL");
    d->Execute("update [Games] set [Comment] = '', Players = 9 where Comment is null and Players >= 2");
    d->Execute("UPDATE Games SET Strict = '' WHERE Players = 1");
    EXPECT_EQ(errorNumberOf([&] { d->Execute("UPDATE Games SET Strict = '' WHERE Players = 1", db::dbFailOnError); }),
              number(DbErrorNumber::ZeroLengthNotAllowed));
    EXPECT_EQ(errorNumberOf([&] { d->Execute("UPDATE Nowhere SET a = 1"); }), number(DbErrorNumber::NoSuchTable));
    EXPECT_EQ(errorNumberOf([&] { d->Execute("UPDATE Games SET Missing = 1"); }),
              number(DbErrorNumber::UnknownFieldInQuery));
    EXPECT_EQ(errorNumberOf([&] { d->Execute("UPDATE Games SET = 1"); }), number(DbErrorNumber::UpdateSyntax));
    EXPECT_EQ(errorNumberOf([&] { d->Execute("SELECT * FROM Games"); }),
              number(DbErrorNumber::CannotExecuteSelect));
    d->Close();
  }
  auto d = db::DBEngine().OpenDatabase(path.string());
  auto rs = d->OpenRecordset("SELECT * FROM Games", db::dbOpenSnapshot);
  int i = 0;
  for (; !rs->EOF_(); rs->MoveNext(), ++i) {
    EXPECT_EQ(rs->Fields("GA_Id").Value.int32(), i + 1);
    EXPECT_EQ(rs->Fields("Name").Value.text(), i % 3 != 0 ? "Game " + std::to_string(i) : "");
    const bool commentWasNull = i % 4 == 0;
    const bool changed = commentWasNull && i % 5 >= 2;
    EXPECT_EQ(rs->Fields("Players").Value.int32(), changed ? 9 : i % 5) << i;
    if (changed) {
      EXPECT_EQ(rs->Fields("Comment").Value.text(), "");
    } else if (commentWasNull) {
      EXPECT_TRUE(rs->Fields("Comment").Value.isNull());
    } else {
      EXPECT_EQ(rs->Fields("Comment").Value.text().size(), i % 4 == 1 ? 5000u : 20u);
    }
    EXPECT_TRUE(rs->Fields("Strict").Value.isNull());
  }
  EXPECT_EQ(i, 600);
  EXPECT_EQ(d->tableDef("Games").rowCount, 600u);
  d->Close();
  expectMdbToolsAgree(path, "Games");
}

// A table filled in this session keeps where each column was given Null, and an UPDATE that
// looks for Nulls visits those rows only: it must find those written Null, those an UPDATE made
// Null, and not those that stopped being Null, as a later session's full search does.
TEST(WriteTest, searchesForNullFindEveryNullRowAndNoOther) {
  ScratchDir dir;
  const auto path = dir.file("nulls.mdb");
  auto expected = [](int i, int mark) {
    const bool null = (i % 3 == 0 && i >= 30) || i >= 250;
    return null ? mark : i;
  };
  {
    const db::TableSchema s{"T", {column("A", ColumnType::Text, 20), column("B", ColumnType::Long)}, {}};
    auto d = createDatabaseWith(path, s, 300, [](db::Recordset& rs, int i) {
      if (i % 3 != 0) rs.Fields("A").Value = Variant("a" + std::to_string(i));
      rs.Fields("B").Value = Variant(i);
    });
    d->Execute("UPDATE T SET A = NULL WHERE B >= 250");
    d->Execute("UPDATE T SET A = 'x' WHERE B < 30 AND A IS NULL");
    d->Execute("UPDATE T SET B = -1 WHERE A IS NULL");
    const auto rows = readRows(*d, "T");
    ASSERT_EQ(rows.size(), 300u);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(rows[i][1].int32(), expected(i, -1)) << i;
    d->Close();
  }
  auto d = db::DBEngine().OpenDatabase(path.string());
  d->Execute("UPDATE T SET B = -2 WHERE A IS NULL");
  const auto rows = readRows(*d, "T");
  for (int i = 0; i < 300; ++i) EXPECT_EQ(rows[i][1].int32(), expected(i, -2)) << i;
  d->Close();
}

// The conversion run and the genre dialog write to one file through two connections: each
// sees the other's rows at once, and no page or autonumber is handed out twice. A dynaset that
// walks on while rows are added, through its own connection or the other, meets some of them or
// none; that is no sign of damage.
TEST(WriteTest, twoConnectionsShareRowsPagesAndAutonumbers) {
  ScratchDir dir;
  const auto path = dir.file("shared.mdb");
  std::filesystem::create_directory(dir.file("sub"));
#ifndef _WIN32
  std::filesystem::create_symlink(path, dir.file("link.mdb"));
#endif
  auto first = createDatabaseWith(path, {"Genres",
                                          {counter("GE_Id"), column("Name", ColumnType::Text, 50),
                                           column("Note", ColumnType::Memo)},
                                          {primaryKey("GE_Id")}});
#ifdef _WIN32
  // Making a symbolic link takes a privilege on Windows; a second name does as well here.
  std::filesystem::create_hard_link(path, dir.file("link.mdb"));
#endif
  // The second connection reaches the file by another name.
  auto second = db::DBEngine().OpenDatabase((dir.path() / "sub" / ".." / "link.mdb").string());
  EXPECT_EQ(second->tableNames(), std::vector<std::string>{"Genres"});
  auto a = first->OpenRecordset("SELECT * FROM Genres", db::dbOpenDynaset);
  auto b = second->OpenRecordset("SELECT GE_Id, Name, Note FROM Genres", db::dbOpenDynaset);
  std::shared_ptr<db::Recordset> walker;
  std::set<int32_t> ids;
  for (int i = 0; i < 400; ++i) {
    auto& rs = (i % 3 == 0) ? b : a;
    rs->AddNew();
    ids.insert(rs->Fields("GE_Id").Value.int32());
    rs->Fields("Name").Value = Variant("genre " + std::to_string(i));
    rs->Fields("Note").Value = Variant(std::string(100 + i * 7, 'n'));
    rs->Update();
    if (i == 200) {
      // Each connection sees every row so far.
      EXPECT_EQ(readRows(*first, "Genres").size(), 201u);
      EXPECT_EQ(readRows(*second, "Genres").size(), 201u);
      walker = second->OpenRecordset("SELECT * FROM Genres", db::dbOpenDynaset);
      for (int k = 0; k < 10; ++k) walker->MoveNext();
    }
  }
  EXPECT_EQ(errorNumberOf([&] { while (!walker->EOF_()) walker->MoveNext(); }), 0);
  EXPECT_EQ(ids.size(), 400u);
  EXPECT_EQ(*ids.begin(), 1);
  EXPECT_EQ(*ids.rbegin(), 400);
  first->Close();
  // Closing one connection leaves the other working.
  EXPECT_EQ(readRows(*second, "Genres").size(), 400u);
  second->Close();
  auto again = db::DBEngine().OpenDatabase(path.string());
  const auto rows = readRows(*again, "Genres");
  ASSERT_EQ(rows.size(), 400u);
  std::set<std::string> names;
  for (const auto& r : rows) names.insert(r[1].text());
  EXPECT_EQ(names.size(), 400u);
  again->Close();
  expectMdbToolsAgree(path, "Genres");
}

class VersionTest : public testing::TestWithParam<const db::FormatDescriptor*> {};

// A row that outgrows its place again and again: each time, the copy it leaves is hidden from
// every reader (mdbtools reads moved rows where they lie, so it would show old copies).
TEST_P(VersionTest, rowsMovedAgainLeaveNoOldCopiesBehind) {
  ScratchDir dir;
  const auto path = dir.file("moves.mdb");
  const db::TableSchema s{"T", {counter("Id"), column("A", ColumnType::Text, 255), column("B", ColumnType::Text, 255)},
                          {primaryKey("Id")}};
  {
    auto d = createDatabaseWith(path, s, 300, [](db::Recordset& rs, int i) {
      rs.Fields("A").Value = Variant("a" + std::to_string(i));
    }, *GetParam());
    for (int round = 1; round <= 4; ++round) {
      d->Execute("UPDATE T SET A = '" + std::string(round * 40, static_cast<char>('a' + round)) +
                 "', B = '" + std::string(round * 20, 'b') + "' WHERE Id > 100");
    }
    d->Close();
  }
  expectMdbToolsAgree(path, "T");
  const auto rows = readRows(path, "T");
  ASSERT_EQ(rows.size(), 300u);
  EXPECT_EQ(rows[150][1], Variant(std::string(160, 'e')));
}

// Jet3 rows keep their variable columns' offsets in one byte each, with a jump table for every
// 256-byte boundary; wide rows of many columns must still read back.
TEST(WriteTest, wideJet3RowsReadBack) {
  ScratchDir dir;
  const auto path = dir.file("wide.mdb");
  const int counts[] = {10, 46, 47, 48, 49, 50, 60, 100, 124, 150};
  db::TableSchema s{"W", {column("Id", ColumnType::Long)}, {}};
  for (int c = 0; c < 254; ++c) s.columns.push_back(column(("c" + std::to_string(c)).c_str(), ColumnType::Text, 10));
  createDatabaseWith(path, s, std::size(counts), [&](db::Recordset& rs, int i) {
    rs.Fields("Id").Value = Variant(int32_t{counts[i]});
    for (int c = 0; c < counts[i]; ++c) rs.Fields("c" + std::to_string(c)).Value = Variant(std::string(10, 'w'));
  }, db::kVersion3)->Close();
  const auto rows = readRows(path, "W");
  ASSERT_EQ(rows.size(), std::size(counts));
  for (size_t r = 0; r < rows.size(); ++r) {
    for (int c = 0; c < 254; ++c) {
      if (c < counts[r]) EXPECT_EQ(rows[r][c + 1], Variant(std::string(10, 'w'))) << r << " " << c;
      else EXPECT_TRUE(rows[r][c + 1].isNull());
    }
  }
  expectMdbToolsAgree(path, "W");
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionTest, testing::Values(&db::kVersion3, &db::kVersion4),
                         [](const testing::TestParamInfo<const db::FormatDescriptor*>& info) {
                           return std::string(info.param->name);
                         });

// Long values written after the file was opened again go on the page that still has room.
TEST(WriteTest, longValuesFillTheirPagesAcrossSessions) {
  ScratchDir dir;
  const auto path = dir.file("lv.mdb");
  createDatabaseWith(path, {"Notes", {counter("Id"), column("Text", ColumnType::Memo)}, {}})->Close();
  for (int session = 0; session < 4; ++session) {
    auto d = db::DBEngine().OpenDatabase(path.string());
    testing_support::addRows(*d, "Notes", 3, [&](db::Recordset& rs, int) {
      rs.Fields("Text").Value = Variant(std::string(300, static_cast<char>('a' + session)));
    });
    d->Close();
  }
  // The column's own map of long-value pages: one page takes all twelve values.
  const testing_support::OpenedFile f(path);
  const db::TableDef def = f.table("Notes");
  ASSERT_EQ(def.longValueMaps.size(), 1u);
  std::vector<uint32_t> pages;
  ASSERT_TRUE(db::readUsageMap(*f.file, def.longValueMaps[0].owned, &pages).ok());
  EXPECT_EQ(pages.size(), 1u);
  expectMdbToolsAgree(path, "Notes");
}

// Pages leave the cache for the file in the background; a write that fails on its way is not
// lost. Pages that fit the cache fail at the flush a caller relies on; more fail an append
// after it, and then a read from the file fails too, rather than find the page as it was.
TEST(WriteTest, aWriteThatFailsOnItsWayFailsTheCallsAfterIt) {
  for (const uint32_t pages : {100u, 4000u}) {
    SCOPED_TRACE(pages);
    ScratchDir dir;
    db::DBEngine().CreateDatabase(dir.file("grown.mdb").string())->Close();
    std::unique_ptr<db::PageFile> file;
    ASSERT_TRUE(db::PageFile::open(dir.file("grown.mdb").string(), &file).ok());
    const uint32_t first = file->pageCount();
    db::io::failOperation(pages > 1000 ? 3 : 1, ENOSPC);
    std::vector<uint8_t> page(file->pageSize(), 0);
    db::DbError err;
    for (uint32_t n = 0; n < pages && err.ok(); ++n) {
      page[0] = static_cast<uint8_t>(n);
      uint32_t at = 0;
      err = file->appendPage(page, &at);
    }
    if (pages > 1000) {
      EXPECT_EQ(err.systemError, ENOSPC) << err.description;
      file->discardChanges();
      db::Page back;
      EXPECT_EQ(file->readPage(first + 150, &back).systemError, ENOSPC);
    } else {
      EXPECT_TRUE(err.ok()) << err.description;
    }
    EXPECT_EQ(file->flush().systemError, ENOSPC);
    db::io::failOperation(0, 0);
  }
}


// A read that fails (here the file was cut short behind this object's back) leaves no frame of
// the cache named after the page it could not read: when that frame is reused later, the page's
// own frame stays found, and a later write of the page changes that frame instead of making a
// second one that the write-back might put first.
TEST(WriteTest, aFailedReadLeavesOneFramePerPage) {
  ScratchDir dir;
  const auto path = dir.file("pages.mdb");
  db::DBEngine().CreateDatabase(path.string())->Close();
  std::unique_ptr<db::PageFile> file;
  ASSERT_TRUE(db::PageFile::open(path.string(), &file).ok());
  db::Page page(file->pageSize(), 0);
  for (uint32_t n = 0, at = 0; n < 1200; ++n) ASSERT_TRUE(file->appendPage(page, &at).ok());
  ASSERT_TRUE(file->flush().ok());
  const uint32_t last = file->pageCount() - 1;
  ASSERT_TRUE(db::PageFile::open(path.string(), &file).ok());
  std::filesystem::resize_file(path, uint64_t{last} * file->pageSize());
  ASSERT_FALSE(file->readPage(last, &page).ok());
  // Pages read one at a time, downwards so that none is read ahead: each takes a frame. The
  // cache holds 4 MB, 1024 of these pages: the frame of the failed read is reused after the
  // 1023 frames after it have been filled, and before the frame the first write took.
  uint32_t next = last - 1;
  auto readDown = [&](uint32_t pages) {
    for (uint32_t n = 0; n < pages; ++n) ASSERT_TRUE(file->readPage(next--, &page).ok());
  };
  std::vector<uint8_t> first(file->pageSize(), 0xAA), second(file->pageSize(), 0xBB);
  readDown(500);
  ASSERT_TRUE(file->writePage(last, first).ok());
  readDown(600);
  ASSERT_TRUE(file->writePage(last, second).ok());
  ASSERT_TRUE(file->flush().ok());
  const std::vector<uint8_t> bytes = testing_support::readBytes(path);
  ASSERT_EQ(bytes.size(), size_t{last + 1} * file->pageSize());
  EXPECT_TRUE(std::equal(second.begin(), second.end(), bytes.end() - file->pageSize()));
}


// Memory runs out while a flush writes a table's held-back index entries, at each allocation in
// turn. The entries taken out to be written are gone: every later flush fails too, rather than
// call the file sound. A later flush may succeed only where nothing was lost, and then the file
// is sound.
TEST(WriteTest, aFlushAfterAFailedOneFailsOrLeavesASoundFile) {
  const db::TableSchema schema{"Games",
                               {counter("Id"), column("Code", ColumnType::Long)},
                               {primaryKey("Id"), {.name = "Code", .columns = {{"Code", true}}}}};
  bool lost = false;  // whether some failure took entries with it
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    ScratchDir dir;
    const auto path = dir.file("held.mdb");
    auto d = createDatabaseWith(path, schema, 300, [](db::Recordset& rs, int i) {
      rs.Fields("Code").Value = Variant(int32_t{i * 37 % 300});
    });
    std::shared_ptr<db::DatabaseFile> file;
    ASSERT_TRUE(db::DatabaseFile::open(path.string(), &file).ok());
    bool threw = false;
    db::DbError first;
    testing_support::failAllocation(n);
    try {
      first = file->flush();
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    testing_support::failAllocation(0);
    if (!threw) {
      EXPECT_TRUE(first.ok()) << first.description;
      EXPECT_TRUE(lost) << "no failure came where entries were held";
      break;
    }
    if (!file->flush().ok()) {
      lost = true;
      continue;
    }
    file.reset();
    d.reset();
    testing_support::expectSoundFile(path);
    EXPECT_EQ(readRows(path, "Games").size(), 300u);
    if (HasFailure()) break;
  }
}

}  // namespace
