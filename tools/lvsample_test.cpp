// lvsample as the converter's tests and a person use it: old-layout catalogues that our engine
// and mdbtools read alike, that hold every awkward value a real catalogue can, and that are the
// same for the same seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "db/column_properties.h"
#include "db/test_support.h"
#include "db/text_codec.h"

namespace {

namespace fs = std::filesystem;
using db::Variant;
using testing_support::ScratchDir;
using testing_support::shellQuoted;
using Rows = testing_support::Rows;

const char* const kTables[] = {"Difficulty", "Publishers", "Musicians", "Music", "Genres", "Games"};

int run(const std::string& args, std::string* out = nullptr) {
  int code = -1;
  const std::string text =
      testing_support::runCommand(std::string(LVSAMPLE_PATH) + " " + args + " 2>&1", &code);
  if (out) *out = text;
  return code;
}

// Rows in the order of their first column, the table's key.
Rows readRows(db::Database& d, const std::string& table) {
  Rows rows = testing_support::readRows(d, table);
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a[0].int32() < b[0].int32(); });
  return rows;
}

// Every value of one column.
std::vector<Variant> column(db::Database& d, const std::string& table, const std::string& name) {
  std::vector<Variant> values;
  for (auto& row : testing_support::queryRows(d, "SELECT [" + name + "] FROM [" + table + "]")) values.push_back(row[0]);
  return values;
}

std::set<std::string> texts(const std::vector<Variant>& values) {
  std::set<std::string> out;
  for (const Variant& v : values) {
    if (v.type() == db::VariantType::Text) out.insert(v.asText());
  }
  return out;
}

bool hasNull(const std::vector<Variant>& values) {
  return std::any_of(values.begin(), values.end(), [](const Variant& v) { return v.isNull(); });
}

class SampleTest : public testing::TestWithParam<const char*> {
 protected:
  // A new catalogue in the format under test; fails the test when lvsample does.
  fs::path make(const std::string& name, const std::string& options) {
    return testing_support::makeSample(LVSAMPLE_PATH, dir_.file(name), std::string("--format ") + GetParam() + " " + options);
  }
  std::shared_ptr<db::Database> open(const std::string& name, const std::string& options) {
    return db::DBEngine().OpenDatabase(make(name, options).string());
  }
  ScratchDir dir_;
};

// Each kind of catalogue holds the six tables with the rows asked for, passes the integrity
// check, and reads the same through mdb-export as through our engine. (That the converters take
// it for a catalogue, their own tests find out.)
TEST_P(SampleTest, catalogueIsSoundAndBothReadersAgreeOnIt) {
  const struct {
    std::string options;
    size_t games;
    std::optional<size_t> music;
  } variants[] = {
      {"", 200, std::nullopt},
      {"--games 1", 1, std::nullopt},
      {"--games 0", 0, 0},
      {"--games 37", 37, std::nullopt},
      {"--games 30 --empty Games --one-row Music", 0, 1},
      {"--games 60 --one-row genres --empty MUSICIANS --one-row Publishers --empty difficulty", 60,
       std::nullopt},
      {"--seed 7", 200, std::nullopt}};
  for (size_t k = 0; k < std::size(variants); ++k) {
    SCOPED_TRACE(variants[k].options);
    const fs::path path = make("v" + std::to_string(k) + ".mdb", variants[k].options);
    auto d = db::DBEngine().OpenDatabase(path.string());
    EXPECT_STREQ(d->formatName(), std::string(GetParam()) == "jet3" ? "Jet3" : "Jet4");
    std::vector<std::string> names = d->tableNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Difficulty", "Games", "Genres", "Music",
                                               "Musicians", "Publishers"}));

    EXPECT_EQ(readRows(*d, "Games").size(), variants[k].games);
    if (variants[k].music) {
      EXPECT_EQ(readRows(*d, "Music").size(), *variants[k].music);
    }

    for (const char* table : kTables) testing_support::expectMdbToolsAgree(path, table);
  }
  // The same seed gives the same file, byte for byte; another seed other games.
  const fs::path seed7 = dir_.file("v" + std::to_string(std::size(variants) - 1) + ".mdb");
  EXPECT_TRUE(testing_support::readBytes(make("again.mdb", "--seed 7")) == testing_support::readBytes(seed7));
  auto d1 = db::DBEngine().OpenDatabase(dir_.file("v0.mdb").string());
  auto d7 = db::DBEngine().OpenDatabase(seed7.string());
  EXPECT_NE(column(*d1, "Games", "Name"), column(*d7, "Games", "Name"));
  EXPECT_NE(readRows(*d1, "Genres"), readRows(*d7, "Genres"));
}

// The other tables grow with the games, and Games refers to rows that exist wherever it can.
TEST_P(SampleTest, tablesGrowWithTheGamesAndReferencesHold) {
  {
    auto d = open("default.mdb", "");
    for (const char* table : {"Publishers", "Musicians", "Music", "Genres"}) {
      EXPECT_GE(readRows(*d, table).size(), 8u) << table;
    }
    EXPECT_GE(readRows(*d, "Music").size(), 200u / 8);
    EXPECT_LE(readRows(*d, "Music").size(), 200u / 2);
    // (table, column, the table it refers to)
    const std::tuple<const char*, const char*, const char*> references[] = {
        {"Games", "MU_Id", "Musicians"}, {"Games", "PU_Id", "Publishers"},
        {"Games", "DI_Id", "Difficulty"}, {"Games", "GE_Id", "Genres"},
        {"Music", "MU_Id", "Musicians"}};
    for (const auto& [table, name, to] : references) {
      const std::string from = std::string(table) + "." + name;
      std::set<int32_t> ids;
      for (const auto& row : readRows(*d, to)) ids.insert(row[0].int32());
      const std::vector<Variant> values = column(*d, table, name);
      size_t nulls = 0;
      for (const Variant& v : values) {
        if (v.isNull())
          ++nulls;
        else
          EXPECT_TRUE(ids.count(v.int32())) << from << " " << v.int32();
      }
      EXPECT_EQ(nulls > 0, from != "Games.GE_Id") << from;
      EXPECT_LT(nulls, values.size() / 2) << from;
    }
  }

  // One musician, no publishers, no genres: Games names the musician or nobody, and still a
  // genre.
  {
    auto d = open("narrow.mdb", "--games 60 --one-row musicians --empty publishers --empty Genres");
    const Rows musicians = readRows(*d, "Musicians");
    ASSERT_EQ(musicians.size(), 1u);
    EXPECT_FALSE(musicians[0][1].isNull());
    EXPECT_TRUE(readRows(*d, "Genres").empty());
    size_t named = 0;
    for (const Variant& v : column(*d, "Games", "MU_Id")) {
      if (v.isNull()) continue;
      EXPECT_EQ(v, musicians[0][0]);
      ++named;
    }
    EXPECT_GT(named, 0u);
    for (const Variant& v : column(*d, "Games", "PU_Id")) EXPECT_TRUE(v.isNull());
    EXPECT_FALSE(hasNull(column(*d, "Games", "GE_Id")));
  }

  // A one-game catalogue holds a realistic game: every field filled.
  {
    auto d = open("one.mdb", "--games 1");
    const Rows games = readRows(*d, "Games");
    ASSERT_EQ(games.size(), 1u);
    for (size_t c = 0; c < games[0].size(); ++c) EXPECT_FALSE(games[0][c].isNull()) << c;
    const Rows genres = readRows(*d, "Genres");
    ASSERT_FALSE(genres.empty());
    EXPECT_EQ(genres[0][0], Variant(int32_t{1}));
    EXPECT_EQ(genres[0][1], Variant("(None)"));
  }
}

// The awkward values, each present in a catalogue of 50 games, found through the engine.
TEST_P(SampleTest, aSmallCatalogueHoldsEveryAwkwardValue) {
  const fs::path path = make("awkward.mdb", "--games 50");
  auto d = db::DBEngine().OpenDatabase(path.string());

  const std::vector<std::string> nones = {"(None)", "(none)", "(NONE)", " (None)", "(None) "};
  const std::pair<const char*, const char*> placeholders[] = {
      {"Games", "FileName"}, {"Games", "Screenshot FileName"},
      {"Games", "Music FileName"}, {"Music", "Filename"}};
  for (const auto& [table, name] : placeholders) {
    const std::set<std::string> values = texts(column(*d, table, name));
    for (const std::string& none : nones)
      EXPECT_TRUE(values.count(none)) << table << "." << name << " '" << none << "'";
  }
  const std::set<std::string> played = texts(column(*d, "Games", "DateLastPlayed"));
  EXPECT_TRUE(played.count("(Never)") && played.count("(never)"));
  const std::set<std::string> scores = texts(column(*d, "Games", "HighScore"));
  EXPECT_TRUE(scores.count("(Not Entered)") && scores.count("(not entered)"));

  std::set<int> players;
  for (const Variant& v : column(*d, "Games", "PL_Id")) players.insert(v.isNull() ? -1 : v.int32());
  EXPECT_EQ(players, (std::set<int>{-1, 0, 1, 2, 3, 4, 5}));

  // Genres: the uncategorised one, both sub-genre shapes, plain names, and two parents that
  // differ only in letter case.
  const Rows genres = readRows(*d, "Genres");
  ASSERT_FALSE(genres.empty());
  EXPECT_EQ(genres[0][1], Variant("(None)"));
  std::map<std::string, std::set<std::string>> parents;  // upper case -> as written
  bool parenthesised = false, bracketed = false, plain = false, miscellaneous = false;
  for (const auto& row : genres) {
    const std::string g = row[1].text();
    if (g == "(None)") continue;
    const size_t open = g.find_first_of("([");
    parenthesised |= g.find(" (") != std::string::npos && g.back() == ')';
    bracketed |= g.find(" [") != std::string::npos && g.back() == ']';
    plain |= open == std::string::npos;
    miscellaneous |= g == "Miscellaneous";
    const std::string parent = g.substr(0, open == std::string::npos ? g.size() : open - 1);
    parents[db::upperCase(parent)].insert(parent);
  }
  EXPECT_TRUE(parenthesised && bracketed && plain && miscellaneous);
  EXPECT_TRUE(std::any_of(parents.begin(), parents.end(),
                          [](const auto& p) { return p.second.size() > 1; }));

  // Titles: quotes, apostrophes, and words that hold "sex" or "fuck" beside ones that nearly do.
  const std::set<std::string> names = texts(column(*d, "Games", "Name"));
  auto anyName = [&](auto test) { return std::any_of(names.begin(), names.end(), test); };
  EXPECT_TRUE(anyName([](const std::string& n) { return n.find('"') != std::string::npos; }));
  EXPECT_TRUE(anyName([](const std::string& n) { return n.find('\'') != std::string::npos; }));
  std::set<std::string> insideWords;
  for (const std::string& n : names) {
    const std::string upper = db::upperCase(n);
    for (const char* word : {"SEX", "FUCK"}) {
      const size_t at = upper.find(word);
      if (at == std::string::npos) continue;
      const size_t end = at + std::strlen(word);
      const bool longer =
          (at > 0 && std::isalpha(static_cast<unsigned char>(upper[at - 1]))) ||
          (end < upper.size() && std::isalpha(static_cast<unsigned char>(upper[end])));
      if (longer) insideWords.insert(n.substr(at, end - at));
    }
  }
  EXPECT_TRUE(insideWords.count("sex") && insideWords.count("SEX") && insideWords.count("Fuck"));
  EXPECT_TRUE(names.count("S.E.X.") && names.count("Sussed"));

  // Accented and Windows-1252 text somewhere in the catalogue, € and Š among it.
  std::string all;
  for (const char* table : kTables) {
    for (const auto& row : readRows(*d, table)) {
      for (const Variant& v : row) {
        if (v.type() == db::VariantType::Text) all += v.asText() + "\n";
      }
    }
  }
  for (const char* piece : {"é", "ü", "ß", "ñ", "Ærø", "Ça va", "Crème brûlée", "€", "Š"}) {
    EXPECT_NE(all.find(piece), std::string::npos) << piece;
  }
  if (std::string(GetParam()) == "jet3") {
    // Jet3 keeps text in the code page: € is byte 0x80 there.
    const std::vector<uint8_t> bytes = testing_support::readBytes(path);
    const std::string text = "Euro \x80 Dealer";
    const std::vector<uint8_t> euro(text.begin(), text.end());
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), euro.begin(), euro.end()), bytes.end());
  }

  // Comments longer than a page, empty and Null.
  const std::vector<Variant> comments = column(*d, "Games", "Personal Comment");
  EXPECT_TRUE(hasNull(comments));
  EXPECT_TRUE(texts(comments).count(""));
  EXPECT_TRUE(std::any_of(comments.begin(), comments.end(), [](const Variant& v) {
    return !v.isNull() && db::utf16Length(v.asText()) > 5000;
  }));

  // The file's own rules: the keys, Games.GE_Id and Genres.Genre may not be Null; every other
  // column may, and holds a Null somewhere; every text column takes "". Every id column has gaps.
  const testing_support::OpenedFile file(path);
  for (const char* table : kTables) {
    const db::TableDef def = file.table(table);
    std::vector<db::ColumnRules> rules;
    ASSERT_TRUE(db::loadColumnRules(*file.file, static_cast<int32_t>(def.tdefPage), def, &rules).ok());
    std::set<int> keyColumns;
    for (const db::IndexDef& ix : def.indexes) {
      if (!ix.isPrimary()) continue;
      for (const db::IndexColumn& c : def.realIndexes[ix.realIndex].columns)
        keyColumns.insert(c.columnNumber);
    }
    EXPECT_EQ(keyColumns, std::set<int>{def.columns[0].number}) << table;
    const Rows rows = readRows(*d, table);
    for (size_t c = 0; c < def.columns.size(); ++c) {
      const db::ColumnDef& cd = def.columns[c];
      const std::string where = std::string(table) + "." + cd.name;
      const bool mayBeNull = c != 0 && !rules[c].required;
      EXPECT_EQ(!mayBeNull && c != 0, where == "Games.GE_Id" || where == "Genres.Genre") << where;
      if (cd.type() == db::ColumnType::Text || cd.type() == db::ColumnType::Memo) {
        EXPECT_TRUE(rules[c].allowZeroLength) << where;
      }
      const bool nullSeen =
          std::any_of(rows.begin(), rows.end(), [&](const auto& r) { return r[c].isNull(); });
      EXPECT_EQ(nullSeen, mayBeNull) << where;
    }
    bool gap = false;
    for (size_t r = 1; r < rows.size(); ++r) gap |= rows[r][0].int32() > rows[r - 1][0].int32() + 1;
    EXPECT_TRUE(gap) << table;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, SampleTest, testing::Values("jet3", "jet4"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

TEST(LvsampleTest, badUsageExitsTwoAndAnExistingFileIsLeftAlone) {
  ScratchDir dir;
  const std::string out = shellQuoted(dir.file("x.mdb").string());
  std::string text;
  EXPECT_EQ(run("", &text), 2);
  EXPECT_NE(text.find("usage: lvsample"), std::string::npos) << text;
  for (const std::string& args :
       {out + " --games", out + " --games -1", out + " --games 12x", out + " --seed many",
        out + " --format jet5", out + " --empty Nowhere", out + " --frobnicate 1",
        out + " " + out + "2", out + " --empty Music --one-row music"}) {
    EXPECT_EQ(run(args, &text), 2) << args << ": " << text;
  }
  EXPECT_FALSE(fs::exists(dir.file("x.mdb")));
  EXPECT_EQ(run("--help"), 0);

  testing_support::writeBytes(dir.file("x.mdb"), {1, 2, 3});
  EXPECT_EQ(run(out + " --games 5", &text), 1);
  EXPECT_NE(text.find("already exists"), std::string::npos) << text;
  EXPECT_EQ(testing_support::readBytes(dir.file("x.mdb")), (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
