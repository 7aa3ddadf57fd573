// The description of a new catalogue's tables and the template the build makes from it: the
// file is sound, other readers agree with it, it is the same on every build, it holds what a
// conversion starts from, and every column a conversion writes takes every kind of value the
// conversion writes into it.
#include <gtest/gtest.h>

#include <map>
#include <tuple>
#include <set>

#include "db/test_support.h"
#include "schema/schema_doc.h"

namespace {

using db::ColumnType;
using db::Variant;
using testing_support::ScratchDir;

const schema::SchemaDocument& document() {
  static const schema::SchemaDocument doc = schema::loadSchemaDocument(LV_SCHEMA_DOC);
  return doc;
}

TEST(SchemaDocumentTest, faultsAreNamedWithTheirLine) {
  const std::string head = "created 2026-01-01\ntable T\n  A  Long  required\n";
  const std::pair<std::string, std::string> cases[] = {
      {head + "  B  Varchar\n", "line 4: column B: expected a type (Long, Text(50), ...)"},
      {head + "  B  Text(256)\n", "line 4: column B: expected a type (Long, Text(50), ...)"},
      {head + "  B  Integer  counter\n",
       "line 4: column B: \"counter\" is not a property of a Integer column"},
      {head + "  B  Long  zero-length\n",
       "line 4: column B: \"zero-length\" is not a property of a Long column"},
      {head + "  a  Long\n", "line 4: column a is described twice"},
      {head + "  primary key B\n", "line 4: no column B in T"},
      {head + "  primary key A\n  primary key A\n", "line 5: index PrimaryKey is described twice"},
      {head + "  row A=\"open\n", "line 4: a text has no closing quote"},
      {head + "  row B=1\n", "line 4: no column B in T"},
      {head + "  rows A = 5..1\n", "line 4: expected: rows COLUMN[, COLUMN...] = FIRST..LAST"},
      {"  A  Long\n", "line 1: \"A\" before the first table"},
      {head + "table T\n", "line 4: table T is described twice"},
      {head + "table U\n", "table U has no columns"},
  };
  for (const auto& [text, fault] : cases) {
    schema::SchemaDocument doc;
    std::string error;
    EXPECT_FALSE(schema::parseSchemaDocument(text, &doc, &error)) << text;
    EXPECT_EQ(error, fault);
  }
}

TEST(SchemaDocumentTest, aCounterThatGivesAnotherNumberStopsTheBuild) {
  schema::SchemaDocument doc;
  std::string error;
  ASSERT_TRUE(schema::parseSchemaDocument(
      "created 2026-01-01\ntable T\n  Id  Long  counter\n  N  Text(10)\n"
      "  row Id=1 N=\"a\"\n  row Id=3 N=\"b\"\n", &doc, &error)) << error;
  EXPECT_EQ(doc.tables[0].rows[1].values[1].second, Variant("b"));
  ScratchDir dir;
  try {
    schema::buildTemplate(doc, dir.file("t.mdb").string());
    FAIL() << "the build went on";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "T.Id numbers a row 2, not 3");
  }
}

// The build's template and one made here from the same description are the same bytes:
// nothing in the file depends on when or where it was built.
TEST(TemplateTest, isTheSameOnEveryBuild) {
  ScratchDir dir;
  schema::buildTemplate(document(), dir.file("again.lvd").string());
  EXPECT_EQ(testing_support::readBytes(LV_TEMPLATE), testing_support::readBytes(dir.file("again.lvd")));
}

TEST(TemplateTest, isSoundAndOtherReadersAgree) {
  int exitCode = -1;
  const std::string out = testing_support::runCommand(std::string(LVDB_PATH) + " check " + LV_TEMPLATE, &exitCode);
  EXPECT_EQ(exitCode, 0) << out;
  for (const schema::TableBlock& t : document().tables) {
    SCOPED_TRACE(t.table.name);
    testing_support::expectMdbToolsAgree(LV_TEMPLATE, t.table.name);
  }
  if (testing_support::haveMdbTools()) {
    const std::string tables = testing_support::runCommand("mdb-tables -1 '" + std::string(LV_TEMPLATE) + "'");
    for (const schema::TableBlock& t : document().tables) {
      EXPECT_NE(tables.find(t.table.name + "\n"), std::string::npos) << t.table.name;
    }
  }
}

// The query that tells an old catalogue from anything else fails on the template, so that the
// template can never be taken for a catalogue to convert.
TEST(TemplateTest, isNotTakenForAnOldCatalogue) {
  auto d = db::DBEngine().OpenDatabase(LV_TEMPLATE);
  EXPECT_NE(testing_support::errorNumberOf([&] {
              d->OpenRecordset("SELECT PRG, VicePort1, VicePort2, [Personal Comment], "
                               "[Music Filename], DocFile FROM Games", db::dbOpenSnapshot);
            }), 0);
}

TEST(TemplateTest, holdsEveryDescribedTableAsDescribed) {
  auto d = db::DBEngine().OpenDatabase(LV_TEMPLATE);
  std::vector<std::string> names = d->tableNames();
  ASSERT_EQ(names.size(), document().tables.size());
  for (const schema::TableBlock& t : document().tables) {
    SCOPED_TRACE(t.table.name);
    const db::TableDef def = d->tableDef(t.table.name);
    ASSERT_EQ(def.columns.size(), t.table.columns.size());
    for (size_t i = 0; i < def.columns.size(); ++i) {
      const db::ColumnDesign& want = t.table.columns[i];
      const db::ColumnDef& have = def.columns[i];
      EXPECT_EQ(have.name, want.name);
      EXPECT_EQ(have.type(), want.type) << want.name;
      if (want.type == ColumnType::Text) {
        EXPECT_EQ(have.length, want.size * 2) << want.name;
      }
      EXPECT_EQ(have.isAutoLong(), want.autoNumber) << want.name;
    }
    ASSERT_EQ(def.indexes.size(), t.table.indexes.size());
    EXPECT_EQ(def.rowCount, t.rows.size());
  }
}

// The years a game may name come with the template, each its own identifier. (That the other
// tables start empty, the genres with the uncategorized one alone, and that their counters go
// on from there, the conversion and genre dialog tests find out.)
TEST(TemplateTest, holdsTheYearsAGameMayName) {
  std::set<int32_t> years;
  for (const auto& row : testing_support::queryRows(LV_TEMPLATE, "SELECT YE_Id, Year FROM Years")) {
    EXPECT_EQ(row[0].int32(), row[1].int32());
    years.insert(row[0].int32());
  }
  EXPECT_EQ(years.size(), 61u);
  EXPECT_EQ(*years.begin(), 1970);
  EXPECT_EQ(*years.rbegin(), 2030);
}

// One column a conversion writes and the kinds of value it writes there: copied values of the
// old catalogue's types (Null included), emptied texts, constants of the stated types.
struct Written {
  const char* table;
  const char* column;
  std::vector<Variant> values;
};

std::vector<Written> conversionWrites() {
  const Variant null;
  const std::string accented = "Crème brûlée \"Deluxe\" € Š Ærø ";
  std::string text255;  // the longest a Text(255) holds, accented
  for (int i = 0; i < 255; ++i) text255 += i % 3 ? "a" : "\u00e9";
  const std::vector<Variant> texts = {Variant(""), Variant("Archon"), Variant(accented),
                                      Variant(text255), null};
  std::string comment;
  while (comment.size() < 9000) comment += accented + "and a long tale of play. ";
  const std::vector<Variant> memos = {Variant(""), Variant(comment), null};
  const std::vector<Variant> ids = {Variant(int32_t{1}), Variant(int32_t{7}),
                                    Variant(int32_t{2147483647}), null};
  const std::vector<Variant> smallInts = {Variant(int16_t{0}), Variant(int16_t{-1}),
                                          Variant(int16_t{32767}), null};
  const std::vector<Variant> booleans = {Variant(true), Variant(false)};
  const std::vector<Variant> emptied = {Variant("")};
  auto small = [](int v) { return std::vector<Variant>{Variant(static_cast<int16_t>(v))}; };
  const std::vector<Variant> wideIds = {Variant(int32_t{1}), Variant(int32_t{7}), Variant(int32_t{2147483647})};
  const std::vector<Variant> no = {Variant(false)};
  // Tables in the order the conversion fills them.
  const std::vector<std::tuple<const char*, std::vector<const char*>, std::vector<Variant>>> groups = {
      // Look-up tables and musicians: identifier and name copied, three new texts emptied.
      {"Difficulty", {"DI_Id"}, wideIds},
      {"Difficulty", {"Difficulty"}, texts},
      {"Publishers", {"PU_Id"}, wideIds},
      {"Publishers", {"Publisher"}, texts},
      {"Musicians", {"MU_Id"}, wideIds},
      {"Musicians", {"Musician"}, texts},
      {"Musicians", {"Nick", "Grp", "Photo"}, emptied},
      // Music: title and file name copied or emptied, musician copied, three flags.
      {"Music", {"Name", "FileName"}, texts},
      {"Music", {"MU_Id"}, ids},
      {"Music", {"SFav", "SA"}, no},
      {"Music", {"Adult"}, booleans},
      // The genre tables: names as a person types them, the parent's number.
      {"PGenres", {"ParentGenre"}, {Variant("Strategy"), Variant(accented), Variant(std::string(50, 'P'))}},
      {"Genres", {"PG_Id"}, {Variant(int32_t{1}), Variant(int32_t{2147483647})}},
      {"Genres", {"Genre"}, texts},
      // Games.
      {"Games", {"Name", "FileName", "ScrnShotFileName", "SidFileName", "DateLastPlayed", "HighScore"}, texts},
      {"Games", {"YE_Id"}, {Variant(int16_t{1984}), Variant(int16_t{0}), Variant(int16_t{-1}), null}},
      {"Games", {"Comment"}, memos},
      {"Games", {"FilenameIndex", "MU_Id", "PU_Id", "DI_Id", "TimesPlayed"}, ids},
      {"Games", {"FileToRun", "V_Comment", "MemoText"}, emptied},
      {"Games", {"GE_Id"}, {Variant(int32_t{1}), Variant(int32_t{2147483647})}},
      {"Games", {"CR_Id"}, small(8)},
      {"Games", {"CCode"}, small(4)},
      {"Games", {"FA", "SA", "Fav", "Extras", "Classic", "V_LoadingScreen", "V_HighScoreSaver",
                 "V_IncludedDocs", "V_TrueDriveEmu"}, no},
      {"Games", {"PR_Id", "LA_Id"}, small(1)},
      {"Games", {"Rating", "V_Length", "Prequel", "Sequel", "Related", "Control"}, small(0)},
      {"Games", {"V_PalNTSC"}, small(3)},
      {"Games", {"V_Trainers"}, smallInts},
      {"Games", {"PlayersFrom"}, {Variant(int16_t{1}), Variant(int16_t{-1})}},
      {"Games", {"PlayersTo"}, {Variant(int16_t{1}), Variant(int16_t{2}), Variant(int16_t{-1})}},
      {"Games", {"PlayersSim", "Adult"}, booleans},
  };
  std::vector<Written> out;
  for (const auto& [table, columns, values] : groups) {
    for (const char* column : columns) out.push_back({table, column, values});
  }
  return out;
}

// The stored value says what was written: the same text, truth or number.
bool sameValue(const Variant& stored, const Variant& written) {
  if (written.isNull() || stored.isNull()) return written.isNull() == stored.isNull();
  if (written.type() == db::VariantType::Text) {
    return stored.type() == db::VariantType::Text && stored.text() == written.text();
  }
  if (written.type() == db::VariantType::Boolean) {
    return stored.type() == db::VariantType::Boolean && stored.asBool() == written.asBool();
  }
  return stored.type() != db::VariantType::Text && stored.int32() == written.int32();
}

TEST(TemplateTest, takesEveryValueAConversionWrites) {
  ScratchDir dir;
  const auto copy = dir.file("copy.mdb");
  std::filesystem::copy_file(LV_TEMPLATE, copy);
  const std::vector<Written> writes = conversionWrites();
  // Each value goes into a row of its own, keyed by a number of its own where the table's key
  // is not a counter, and is read back by that key: (table, key) -> (column, value).
  std::map<std::pair<std::string, int32_t>, std::pair<std::string, Variant>> stored;
  {
    auto d = db::DBEngine().OpenDatabase(copy.string());
    int32_t nextKey = 100000;
    for (const Written& w : writes) {
      const schema::TableBlock* block = document().table(w.table);
      ASSERT_NE(block, nullptr) << w.table;
      const db::ColumnDesign* column = block->column(w.column);
      ASSERT_NE(column, nullptr) << w.table << "." << w.column << " is not in the description";
      const std::string key = block->table.columns[0].name;
      for (size_t i = 0; i < w.values.size(); ++i) {
        SCOPED_TRACE(std::string(w.table) + "." + w.column + " value " + std::to_string(i));
        auto rs = d->OpenRecordset(std::string("SELECT * FROM ") + w.table, db::dbOpenDynaset);
        rs->AddNew();
        if (!block->table.columns[0].autoNumber && key != w.column) {
          rs->Collect(key) = Variant(nextKey++);
        }
        try {
          rs->Collect(w.column) = w.values[i];
          const int32_t id = rs->Collect(key).int32();
          rs->Update();
          stored[{w.table, id}] = {w.column, w.values[i]};
        } catch (const db::DbException& e) {
          ADD_FAILURE() << e.error().description << " (" << e.error().number << ")";
        }
        rs->Close();
      }
    }
  }
  size_t checked = 0;
  for (const schema::TableBlock& block : document().tables) {
    auto d = db::DBEngine().OpenDatabase(copy.string());
    auto rs = d->OpenRecordset("SELECT * FROM [" + block.table.name + "]", db::dbOpenSnapshot);
    for (; !rs->EOF_(); rs->MoveNext()) {
      const auto it = stored.find({block.table.name, rs->FieldAt(0).Value.int32()});
      if (it == stored.end()) continue;
      const auto& [column, written] = it->second;
      EXPECT_TRUE(sameValue(rs->Collect(column), written))
          << block.table.name << "." << column << ": wrote " << written.text() << ", read "
          << rs->Collect(column).get().text();
      ++checked;
    }
  }
  EXPECT_EQ(checked, stored.size());
  testing_support::expectSoundFile(copy);

  // The Null repair's statements, each on a column that holds Nulls now.
  auto d = db::DBEngine().OpenDatabase(copy.string());
  const std::pair<const char*, const char*> repaired[] = {
      {"Games", "Comment"}, {"Games", "Filename"}, {"Games", "FileToRun"},
      {"Games", "ScrnShotFilename"}, {"Games", "SidFilename"}, {"Games", "DateLastPlayed"},
      {"Games", "HighScore"}, {"Games", "V_Comment"}, {"Games", "MemoText"},
      {"Music", "Filename"}, {"Musicians", "Grp"}, {"Musicians", "Nick"}, {"Musicians", "Photo"}};
  for (const auto& [table, column] : repaired) {
    const std::string col = column;
    d->Execute(std::string("UPDATE ") + table + " SET " + col + " = \"\" WHERE " + col + " IS NULL",
               db::dbFailOnError);
    for (const auto& row : testing_support::queryRows(*d, "SELECT " + col + " FROM " + table)) {
      EXPECT_FALSE(row[0].isNull()) << table << "." << column;
    }
  }
}

}  // namespace
