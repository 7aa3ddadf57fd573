// Whole conversions of generated old catalogues, Jet 3 and Jet 4, checked row by row against
// their sources with expectations worked out here from the source values; failures at every
// stage of a run; and the genre names and mapping a run is given.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "convert/conversion.h"
#include "convert/conversion_seam.h"
#include "convert/file_checks.h"
#include "convert/genre_model.h"
#include "convert/start_checks.h"
#include "convert/work_file.h"
#include "db/file_io.h"
#include "db/test_support.h"
#include "db/text_codec.h"
#include "db/usage_map.h"

namespace {

namespace fs = std::filesystem;
using db::Variant;
using testing_support::ScratchDir;

// ---- A window that records what the run does -------------------------------------------------

class RecordingWindow : public convert::ConversionWindow {
 public:
  // Makes the run's work file beside `destination`, as Start does; `createError` says why
  // when it cannot.
  RecordingWindow(fs::path source, fs::path destination)
      : source_(std::move(source)), destination_(std::move(destination)) {
    createError = convert::WorkFile::create(LV_TEMPLATE, destination_.string(), &work);
  }

  // The run, then its work dropped as the callers drop it.
  bool run() {
    const bool converted = work && convert::ConvertDatabase(*this, *work, &report);
    work.reset();
    return converted;
  }
  std::string workPath() const { return work ? work->path() : std::string(); }

  std::string sourcePath() const override { return source_.string(); }
  std::string destinationPath() const override { return destination_.string(); }
  void AddStatus(const std::string& text) override {
    log += text;
    trace.push_back("status " + text);
    if (onStatus) onStatus(text);
  }
  void setProgressMin(float v) override {
    trace.push_back("min " + std::to_string(static_cast<int>(v)));
  }
  void setProgressMax(float v) override {
    max = v;
    trace.push_back("max " + std::to_string(static_cast<int>(v)));
  }
  void setProgressValue(float v) override {
    value = v;
    trace.push_back("value " + std::to_string(static_cast<int>(v)));
    EXPECT_LE(v, max) << "progress past its maximum";
  }
  float progressValue() const override { return value; }
  void yield() override {
    trace.push_back("yield");
    if (onYield) onYield();
  }
  void showMessage(const std::string& text, convert::MessageIcon icon) override {
    messages.push_back(text);
    EXPECT_EQ(icon, convert::MessageIcon::Critical);
  }
  std::optional<convert::GenreIdMap> showGenreDialog() override {
    trace.push_back("genre dialog");
    return genrePhase ? genrePhase() : std::nullopt;
  }

  std::string log;
  std::vector<std::string> messages;
  convert::RunReport report;
  float max = 0, value = 0;
  std::vector<std::string> trace;  // every call, in order
  std::function<std::optional<convert::GenreIdMap>()> genrePhase;  // none: aborted
  std::function<void(const std::string&)> onStatus;
  std::function<void()> onYield;
  std::unique_ptr<convert::WorkFile> work;
  db::DbError createError;

 private:
  fs::path source_, destination_;
};

const char* const kPhaseLines =
    "Creating Years table...Done\r\n"
    "Copying Difficulty table...Done\r\n"
    "Copying Publishers table...Done\r\n"
    "Copying Musicians table...Done\r\n"
    "Copying Music table...Done\r\n"
    "Copying Genres tables...Done\r\n"
    "Copying Games table...Done\r\n"
    "Fixing NULL values...Done\r\n"
    "Compacting the new database...Done\r\n";

// ---- Files -----------------------------------------------------------------------------------

// An old catalogue, old.mdb, in `dir`.
fs::path makeSample(const ScratchDir& dir, const std::string& options) {
  return testing_support::makeSample(LVSAMPLE_PATH, dir.file("old.mdb"), options);
}

fs::path copyTemplate(const ScratchDir& dir) {
  const fs::path out = dir.file("new.mdb");
  fs::copy_file(LV_TEMPLATE, out);
  return out;
}

// The names in a folder: after a run, the sources and the destination, and nothing of the
// run's work.
// `folder` in UTF-8, or an ASCII path.
std::set<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  EXPECT_EQ(db::io::listFolder(folder, &names), 0) << folder;
  return {names.begin(), names.end()};
}
std::set<std::string> filesIn(const fs::path& folder) { return filesIn(folder.string()); }

// A table read whole through a query, values by column name.
struct Rows {
  std::vector<std::string> columns;
  testing_support::Rows rows;

  const Variant& at(size_t row, const std::string& column) const {
    for (size_t i = 0; i < columns.size(); ++i) {
      if (db::equalsIgnoreCase(columns[i], column)) return rows[row][i];
    }
    ADD_FAILURE() << "no column " << column;
    static const Variant null;
    return null;
  }
};

Rows readQuery(const fs::path& path, const std::string& sql) {
  auto d = db::DBEngine().OpenDatabase(path.string());
  Rows out{{}, testing_support::queryRows(*d, sql)};
  auto rs = d->OpenRecordset(sql, db::dbOpenSnapshot);
  for (int i = 0; i < rs->FieldCount(); ++i) out.columns.push_back(rs->FieldAt(i).Name);
  return out;
}

int openDescriptors() { return db::io::openCount(); }

// ---- What the rules say, worked out independently --------------------------------------------

Variant afterPlaceholder(const Variant& v, const std::string& placeholder) {
  if (v.type() == db::VariantType::Text && v.asText() == placeholder) return Variant("");
  return v;
}

// Text columns the Null repair empties end up "" where they were Null.
Variant repaired(const Variant& v) { return v.isNull() ? Variant("") : v; }

bool flagged(const Variant& name) {
  if (name.isNull()) return false;
  std::string lower = name.text();
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("sex") != std::string::npos || lower.find("fuck") != std::string::npos;
}

void expectSame(const Variant& got, const Variant& want, const std::string& where) {
  if (want.isNull() || got.isNull()) {
    EXPECT_EQ(got.isNull(), want.isNull()) << where << ": got " << (got.isNull() ? "Null" : got.text())
                                           << ", want " << (want.isNull() ? "Null" : want.text());
    return;
  }
  if (want.type() == db::VariantType::Text) {
    EXPECT_EQ(got.text(), want.text()) << where;
    return;
  }
  double a = 0, b = 0;
  ASSERT_TRUE(got.toDouble(&a).ok() && want.toDouble(&b).ok()) << where;
  EXPECT_EQ(a, b) << where;
}

// The genre phase of these tests: one parent per ten old genres, in the source's order, each
// sub genre keeping its old name. New genre ids then follow the source's order from 2.
std::vector<convert::ParentGenre> mappingInSourceOrder(const fs::path& source) {
  const Rows old = readQuery(source, "SELECT GE_Id, Genre FROM Genres");
  std::vector<convert::ParentGenre> parents;
  size_t n = 0;
  for (size_t i = 0; i < old.rows.size(); ++i) {
    if (old.at(i, "GE_Id").int32() == 1) continue;
    if (n++ % 10 == 0) parents.push_back({"Parent " + std::to_string(parents.size() + 1), 0, {}});
    parents.back().subs.push_back({old.at(i, "Genre").text(), old.at(i, "GE_Id").int32()});
  }
  return parents;
}

// A genre phase that writes that mapping into the run's database and finishes as OK does.
std::function<std::optional<convert::GenreIdMap>()> genresInSourceOrder(const fs::path& source,
                                                                      const RecordingWindow& window) {
  return [source, &window] {
    auto mapping = mappingInSourceOrder(source);
    return std::optional(convert::WriteGenreTables(window.workPath(), mapping));
  };
}

std::map<int32_t, int32_t> expectedGenreIds(const fs::path& source) {
  const Rows old = readQuery(source, "SELECT GE_Id FROM Genres");
  std::map<int32_t, int32_t> ids{{1, 1}};
  int32_t next = 2;
  for (size_t i = 0; i < old.rows.size(); ++i) {
    if (old.at(i, "GE_Id").int32() != 1) ids[old.at(i, "GE_Id").int32()] = next++;
  }
  return ids;
}

void expectConvertedAsTheRulesSay(const fs::path& source, const fs::path& destination) {
  // Look-up tables: identifiers and names as they were (a musician's under its new column,
  // the three new texts empty).
  for (const auto& [table, key, name, newName] :
       {std::tuple{"Difficulty", "DI_Id", "Difficulty", "Difficulty"},
        std::tuple{"Publishers", "PU_Id", "Publisher", "Publisher"},
        std::tuple{"Musicians", "MU_Id", "Name", "Musician"}}) {
    const Rows from = readQuery(source, std::string("SELECT * FROM ") + table);
    const Rows to = readQuery(destination, std::string("SELECT * FROM ") + table);
    ASSERT_EQ(to.rows.size(), from.rows.size()) << table;
    std::map<int32_t, size_t> byId;
    for (size_t i = 0; i < to.rows.size(); ++i) byId[to.at(i, key).int32()] = i;
    for (size_t i = 0; i < from.rows.size(); ++i) {
      const auto it = byId.find(from.at(i, key).int32());
      ASSERT_NE(it, byId.end()) << table << " " << from.at(i, key).int32();
      expectSame(to.at(it->second, newName), from.at(i, name), std::string(table) + " name");
      if (std::string(table) != "Musicians") continue;
      for (const char* c : {"Nick", "Grp", "Photo"}) expectSame(to.at(it->second, c), Variant(""), c);
    }
  }
  // Music: in source order (the counter numbers them as they come).
  {
    const Rows from = readQuery(source, "SELECT Name, Filename, MU_Id FROM Music");
    const Rows to = readQuery(destination, "SELECT * FROM Music");
    ASSERT_EQ(to.rows.size(), from.rows.size());
    std::map<int32_t, size_t> byCounter;
    for (size_t i = 0; i < to.rows.size(); ++i) byCounter[to.at(i, "SI_Id").int32()] = i;
    size_t i = 0;
    for (const auto& [counter, j] : byCounter) {
      const std::string where = "Music " + std::to_string(counter);
      expectSame(to.at(j, "Name"), from.at(i, "Name"), where + " Name");
      expectSame(to.at(j, "FileName"), repaired(afterPlaceholder(from.at(i, "Filename"), "(None)")),
                 where + " FileName");
      expectSame(to.at(j, "MU_Id"), from.at(i, "MU_Id"), where + " MU_Id");
      expectSame(to.at(j, "SFav"), Variant(false), where + " SFav");
      expectSame(to.at(j, "SA"), Variant(false), where + " SA");
      expectSame(to.at(j, "Adult"), Variant(flagged(from.at(i, "Name"))), where + " Adult");
      ++i;
    }
  }
  // Games, column by column: copied as they were; copied with the placeholder emptied and the
  // Nulls repaired; one value for every game; and the values the rules derive.
  const std::pair<const char*, const char*> copies[] = {
      {"Name", "Name"}, {"YE_Id", "Year Published"}, {"FilenameIndex", "Filename Index"},
      {"MU_Id", "MU_Id"}, {"PU_Id", "PU_Id"}, {"DI_Id", "DI_Id"}, {"TimesPlayed", "TimesPlayed"},
      {"V_Trainers", "Trained"}};
  const std::tuple<const char*, const char*, const char*> repairedCopies[] = {
      {"Comment", "Personal Comment", nullptr}, {"FileName", "FileName", "(None)"},
      {"ScrnShotFileName", "Screenshot FileName", "(None)"},
      {"SidFileName", "Music FileName", "(None)"}, {"DateLastPlayed", "DateLastPlayed", "(Never)"},
      {"HighScore", "HighScore", "(Not Entered)"}};
  std::vector<std::pair<const char*, Variant>> constants = {
      {"FileToRun", Variant("")}, {"V_Comment", Variant("")}, {"MemoText", Variant("")},
      {"CR_Id", Variant(int32_t{8})}, {"CCode", Variant(int32_t{4})}, {"PR_Id", Variant(int32_t{1})},
      {"LA_Id", Variant(int32_t{1})}, {"V_PalNTSC", Variant(int32_t{3})}};
  for (const char* flag : {"FA", "SA", "Fav", "Extras", "Classic", "V_LoadingScreen",
                           "V_HighScoreSaver", "V_IncludedDocs", "V_TrueDriveEmu"}) {
    constants.push_back({flag, Variant(false)});
  }
  for (const char* zero : {"Rating", "V_Length", "Prequel", "Sequel", "Related", "Control"}) {
    constants.push_back({zero, Variant(int32_t{0})});
  }
  const std::map<int32_t, int32_t> genreIds = expectedGenreIds(source);
  const Rows from = readQuery(source, "SELECT * FROM Games");
  const Rows to = readQuery(destination, "SELECT * FROM Games");
  ASSERT_EQ(to.rows.size(), from.rows.size());
  std::map<int32_t, size_t> byCounter;
  for (size_t i = 0; i < to.rows.size(); ++i) byCounter[to.at(i, "GA_Id").int32()] = i;
  size_t i = 0;
  for (const auto& [counter, j] : byCounter) {
    const std::string where = "Games " + std::to_string(counter) + " ";
    auto expect = [&, j = j](const char* column, const Variant& want) {
      expectSame(to.at(j, column), want, where + column);
    };
    for (const auto& [column, sourceColumn] : copies) expect(column, from.at(i, sourceColumn));
    for (const auto& [column, sourceColumn, placeholder] : repairedCopies) {
      const Variant& v = from.at(i, sourceColumn);
      expect(column, repaired(placeholder ? afterPlaceholder(v, placeholder) : v));
    }
    for (const auto& [column, value] : constants) expect(column, value);
    const auto genre = genreIds.find(from.at(i, "GE_Id").int32());
    expect("GE_Id", Variant(genre == genreIds.end() ? 1 : genre->second));
    const Variant players = from.at(i, "PL_Id");
    const int code = players.isNull() ? -100 : players.int32();
    expect("PlayersFrom", Variant(int32_t{code >= 1 && code <= 4 ? 1 : -1}));
    expect("PlayersTo", Variant(int32_t{code == 1 ? 1 : code == 2 || code == 3 ? 2 : -1}));
    expect("PlayersSim", Variant(code == 3));
    expect("Adult", Variant(flagged(from.at(i, "Name"))));
    ++i;
  }
}

// A table as mdb-export prints it, its columns found by name without regard to case (the old
// catalogue spells "Filename" where the new one has "FileName").
struct Exported {
  Exported(const fs::path& path, const std::string& table)
      : rows(testing_support::mdbExport(path, table, &header)) {}
  size_t count(const std::string& column,
               const std::function<bool(const std::optional<std::string>&)>& holds) const {
    size_t k = 0;
    while (k < header.size() && db::upperCase(header[k]) != db::upperCase(column)) ++k;
    EXPECT_LT(k, header.size()) << column;
    return k == header.size() ? 0 : std::count_if(rows.begin(), rows.end(), [&](const auto& r) { return holds(r[k]); });
  }
  std::vector<std::string> header;
  std::vector<testing_support::ExportedRow> rows;
};

// The report against counts mdb-export gives of the source and of the result. mdb-export
// prints "" as it prints Null, so a column's Nulls are held to our reader's count, and its
// empty texts in the result to the source's Nulls and empty texts and the placeholders emptied.
void expectReportAgreesWithMdbExport(const fs::path& source, const fs::path& result,
                                     const convert::RunReport& report) {
  if (!testing_support::haveMdbTools()) return;
  const std::map<std::string, std::string> sourceTable = {
      {"Difficulty", "Difficulty"}, {"Publishers", "Publishers"}, {"Musicians", "Musicians"},
      {"Music", "Music"}, {"Genres", "Genres"}, {"Games", "Games"}};
  std::vector<std::string> names;
  for (const convert::TableRows& t : report.tables) {
    SCOPED_TRACE(t.name);
    names.push_back(t.name);
    EXPECT_EQ(t.result, Exported(result, t.name).rows.size());
    EXPECT_EQ(t.result, t.written);
    if (sourceTable.count(t.name)) {
      EXPECT_EQ(t.source, Exported(source, t.name).rows.size());
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Difficulty", "Publishers", "Musicians", "Music", "PGenres",
                                              "Genres", "Games"}));
  EXPECT_TRUE(report.checked && report.verified);

  const Exported oldGames(source, "Games"), newGames(result, "Games");
  const Exported oldMusic(source, "Music"), newMusic(result, "Music");
  const Exported oldGenres(source, "Genres");
  auto is = [](const char* text) { return [text](const std::optional<std::string>& v) { return v == text; }; };
  auto empty = [](const std::optional<std::string>& v) { return !v || v->empty(); };
  struct Column {
    const char* table;
    const char* column;
    const char* sourceColumn;
    const char* placeholder;
  };
  for (const Column& c : {Column{"Music", "FileName", "Filename", "(None)"},
                          Column{"Games", "Comment", "Personal Comment", nullptr},
                          Column{"Games", "FileName", "FileName", "(None)"},
                          Column{"Games", "ScrnShotFileName", "Screenshot FileName", "(None)"},
                          Column{"Games", "SidFileName", "Music FileName", "(None)"},
                          Column{"Games", "DateLastPlayed", "DateLastPlayed", "(Never)"},
                          Column{"Games", "HighScore", "HighScore", "(Not Entered)"}}) {
    SCOPED_TRACE(std::string(c.table) + "." + c.column);
    const auto found = std::find_if(report.columns.begin(), report.columns.end(), [&](const auto& r) {
      return r.table == c.table && r.column == c.column;
    });
    ASSERT_NE(found, report.columns.end());
    const bool games = std::string(c.table) == "Games";
    const Exported& from = games ? oldGames : oldMusic;
    const Exported& to = games ? newGames : newMusic;
    const uint64_t emptied = c.placeholder ? found->placeholders.at(c.placeholder) : 0;
    if (c.placeholder) {
      EXPECT_EQ(emptied, from.count(c.sourceColumn, is(c.placeholder)));
    }
    EXPECT_EQ(to.count(c.column, empty), from.count(c.sourceColumn, empty) + emptied);
    const auto nulls = testing_support::queryRows(
        source, std::string("SELECT * FROM ") + c.table + " WHERE [" + c.sourceColumn + "] IS NULL");
    EXPECT_EQ(found->nullsRepaired, nulls.size());
  }

  std::set<std::string> genreIds = {"1"};
  for (const auto& row : oldGenres.rows) genreIds.insert(row[0].value_or(""));
  EXPECT_EQ(report.unknownGenre.count, oldGames.count("GE_Id", [&](const auto& v) { return v && !genreIds.count(*v); }));
  EXPECT_EQ(report.unknownGenre.first.size(), std::min<uint64_t>(report.unknownGenre.count, 20));
  EXPECT_EQ(report.playersNull, oldGames.count("PL_Id", [](const auto& v) { return !v; }));
  EXPECT_EQ(report.playersOutside, oldGames.count("PL_Id", [](const auto& v) {
    return v && *v != "1" && *v != "2" && *v != "3" && *v != "4";
  }));
  EXPECT_EQ(report.adultGames, newGames.count("Adult", is("1")));
  EXPECT_EQ(report.adultMusic, newMusic.count("Adult", is("1")));
  EXPECT_EQ(report.genres.size(), oldGenres.rows.size());
  // Each old genre's place names a parent and a sub genre the result holds together.
  std::map<std::string, std::string> parentNames;
  for (const auto& row : Exported(result, "PGenres").rows) parentNames[row[0].value_or("")] = row[1].value_or("");
  std::set<std::pair<std::string, std::string>> places;
  for (const auto& row : Exported(result, "Genres").rows) places.insert({parentNames[row[1].value_or("")], row[2].value_or("")});
  for (const convert::GenreMapping& g : report.genres) {
    EXPECT_TRUE(places.count({g.parent, g.sub})) << g.oldName << " -> " << g.parent << " / " << g.sub;
  }
}

// ---- Whole runs ------------------------------------------------------------------------------

struct Sample {
  const char* name;
  const char* options;
  std::string destination = "new.mdb";
  // Made of the sample before the run: games whose genre no genre holds.
  const char* sourceChange = nullptr;
};

class WholeRunTest : public testing::TestWithParam<Sample> {};

TEST_P(WholeRunTest, convertsEveryRowByItsRules) {
  ScratchDir dir;
  const fs::path source = makeSample(dir, GetParam().options);
  if (GetParam().sourceChange) {
    auto d = db::DBEngine().OpenDatabase(source.string());
    d->Execute(GetParam().sourceChange);
    d->Close();
  }
  const fs::path destination = dir.file(GetParam().destination);
  testing_support::writeBytes(destination, {'o', 'l', 'd'});  // replaced only once complete
  const std::vector<uint8_t> sourceBytes = testing_support::readBytes(source);
  const int descriptors = openDescriptors();

  RecordingWindow window(source, destination);
  window.genrePhase = genresInSourceOrder(source, window);
  ASSERT_TRUE(window.run()) << (window.messages.empty() ? "" : window.messages[0]);
  EXPECT_EQ(window.log, kPhaseLines);
  EXPECT_TRUE(window.messages.empty());
  EXPECT_EQ(openDescriptors(), descriptors) << "a file stayed open";

  expectConvertedAsTheRulesSay(source, destination);
  expectReportAgreesWithMdbExport(source, destination, window.report);
  if (GetParam().sourceChange) {
    EXPECT_GT(window.report.unknownGenre.count, 0u) << "no game lost its genre";
  }
  EXPECT_EQ(testing_support::readBytes(source), sourceBytes) << "the source was written";

  EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"old.mdb", GetParam().destination}));
  db::io::FileInfo info;
  ASSERT_EQ(db::io::pathInfo(destination.string(), &info), 0);
  EXPECT_FALSE(info.hidden) << "the hidden work's attribute came with it";
  for (const char* table : {"Difficulty", "Publishers", "Musicians", "Music", "PGenres", "Genres", "Games"}) {
    SCOPED_TRACE(table);
    testing_support::expectMdbToolsAgree(destination, table);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Samples, WholeRunTest,
    testing::Values(Sample{"Jet3", "--games 120 --seed 7"}, Sample{"Jet4", "--games 120 --seed 8 --format jet4"},
                    // The work file's name fits wherever the destination's does, even a name at
                    // the file system's limit.
                    Sample{"Empty", "--games 0 --empty Difficulty --empty Music", std::string(251, 'n') + ".mdb"},
                    Sample{"OneRow", "--games 1 --one-row Publishers --one-row Musicians --format jet4"},
                    Sample{"EmptyGenres", "--games 30 --empty Genres"},
                    Sample{"StrayGenres", "--games 60 --seed 9 --format jet4", "new.mdb",
                           "UPDATE Games SET GE_Id = 4242 WHERE PL_Id = 2"}),
    [](const testing::TestParamInfo<Sample>& info) { return std::string(info.param.name); });

// The window hears of every step in order: a status line, the bar set up (minimum, value,
// then maximum), a yield after the set-up, after every record, after every repair statement
// and after every "Done" — and none after the Years line or before a phase's set-up.
TEST(RunOrderTest, statusProgressAndYieldsComeInTheirOrder) {
  ScratchDir dir;
  const fs::path source = makeSample(
      dir, "--games 2 --one-row Difficulty --empty Publishers --one-row Musicians --one-row Music");
  RecordingWindow window(source, dir.file("new.mdb"));
  window.genrePhase = genresInSourceOrder(source, window);
  ASSERT_TRUE(window.run());
  std::vector<std::string> want = {"status Creating Years table...Done\r\n"};
  auto add = [&](std::initializer_list<std::string> steps) { want.insert(want.end(), steps); };
  // The bar set up for the steps up to `last`, and a value and a yield for each from `first`.
  auto bar = [&](int first, int last) {
    add({"min 0", "value 0", "max " + std::to_string(last), "yield"});
    for (int i = first; i <= last; ++i) add({"value " + std::to_string(i), "yield"});
  };
  auto table = [&](const std::string& opening, int records) {
    add({"status " + opening});
    if (records > 0) bar(0, records - 1);
    add({"status Done\r\n", "yield"});
  };
  table("Copying Difficulty table...", 1);
  table("Copying Publishers table...", 0);
  table("Copying Musicians table...", 1);
  table("Copying Music table...", 1);
  add({"status Copying Genres tables...", "genre dialog", "status Done\r\n", "yield"});
  table("Copying Games table...", 2);
  add({"status Fixing NULL values..."});
  bar(1, 13);
  add({"status Done\r\n", "yield", "status Compacting the new database...", "min 0", "value 0", "max 13",
       "yield", "yield", "status Done\r\n", "yield"});
  EXPECT_EQ(window.trace, want);
}

// ---- Runs that stop ----------------------------------------------------------------------------

// While the compaction runs: a stop asked for (as Ctrl-C does on the command line), and a file
// made under the destination's name, which was free when the run began. Either way the run
// ends without a conversion, and what holds the destination's name then keeps it.
TEST(FailedRunTest, whatHappensDuringTheCompactionKeepsTheDestinationFromTheRun) {
  struct Case {
    const char* name;
    bool previousFile;
    bool stop;
  };
  for (const Case c : {Case{"stopped, over a previous file", true, true}, Case{"stopped", false, true},
                       Case{"a file made meanwhile", false, false}}) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const fs::path source = makeSample(dir, "--games 20");
    const fs::path destination = dir.file("new.mdb");
    if (c.previousFile) testing_support::writeText(destination, "mine");
    RecordingWindow window(source, destination);
    window.genrePhase = genresInSourceOrder(source, window);
    bool compacting = false;
    int yields = 0;
    window.onStatus = [&](const std::string& text) {
      if (text != "Compacting the new database...") return;
      compacting = true;
      if (!c.stop) testing_support::writeText(destination, "theirs");
    };
    // The compaction's second yield is the one after the compacted copy is made.
    window.onYield = [&] {
      if (c.stop && compacting && ++yields == 2) throw convert::RunAborted{};
    };
    EXPECT_FALSE(window.run());
    EXPECT_EQ(window.messages.size(), c.stop ? 0u : 1u);
    const char* kept = c.stop ? (c.previousFile ? "mine" : nullptr) : "theirs";
    if (kept) {
      EXPECT_EQ(testing_support::readText(destination), kept);
    }
    EXPECT_EQ(fs::exists(destination), kept != nullptr);
    EXPECT_EQ(filesIn(dir.path()).size(), kept ? 2u : 1u) << "work was left";
  }
}

// The compacted catalogue spoiled before the check that comes before the rename: the check
// finds it, the run fails naming what is wrong, and neither the catalogue nor its work is
// left behind.
TEST(FailedRunTest, aResultSpoiledAfterTheCompactionFailsItsCheckAndTakesNoName) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> spoil;
    std::string finding;
  };
  // One bit of the file flipped, at a place found through the page layer.
  using Place = std::function<size_t(const testing_support::OpenedFile&)>;
  auto patch = [](const fs::path& path, const Place& where, uint8_t mask) {
    size_t at = 0;
    {
      const testing_support::OpenedFile opened(path);
      at = where(opened);
    }
    std::vector<uint8_t> bytes = testing_support::readBytes(path);
    bytes.at(at) ^= mask;
    testing_support::writeBytes(path, bytes);
  };
  const Case cases[] = {
      {"a game more than the run wrote",
       [](const fs::path& path) {
         auto d = db::DBEngine().OpenDatabase(path.string());
         auto rs = d->OpenRecordset("SELECT * FROM Games", db::dbOpenDynaset);
         rs->AddNew();
         rs->Fields("Name").Value = Variant("Stowaway");
         rs->Update();
         rs->Close();
         d->Close();
       },
       "Table 'Games' holds 21 rows, but the run wrote 20."},
      {"a page in use marked free",
       [&](const fs::path& path) {
         // Page 2 is bit 2 of the global map's first bitmap byte (it starts at page 0).
         patch(path, [](const testing_support::OpenedFile& f) {
           return testing_support::rowOffset(*f.file, {1, 0}) + db::kMapInlineHeaderSize;
         }, 0x04);
       },
       "Page 2 (the definition of table 'MSysObjects') is in use, but the global usage map marks it free."},
      {"an index key changed",
       [&](const fs::path& path) {
         patch(path, [](const testing_support::OpenedFile& f) {
           // The first entry's key is a flag byte and a Long's four: this is its low byte.
           const uint32_t root = f.table("Games").realIndexes.at(0).rootPage;
           return size_t(root) * f.file->pageSize() + f.file->format().indexEntryStart + 4;
         }, 0x01);
       },
       "Table 'Games', index"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const fs::path source = makeSample(dir, "--games 20");
    const fs::path destination = dir.file("new.mdb");
    RecordingWindow window(source, destination);
    window.genrePhase = genresInSourceOrder(source, window);
    convert::seam::afterCompaction = [&](const std::string& path) { c.spoil(path); };
    EXPECT_FALSE(window.run());
    convert::seam::afterCompaction = nullptr;
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_TRUE(window.messages[0].starts_with("The new database failed its check: ")) << window.messages[0];
    EXPECT_NE(window.messages[0].find(c.finding), std::string::npos) << window.messages[0];
    EXPECT_TRUE(window.log.ends_with("Compacting the new database...\r\nFailed: " + window.messages[0] + "\r\n"))
        << window.log;
    EXPECT_TRUE(window.report.checked);
    EXPECT_FALSE(window.report.verified);
    EXPECT_EQ(window.report.failure, window.messages[0]);
    EXPECT_EQ(filesIn(dir.path()), std::set<std::string>{"old.mdb"}) << "the result or its work was left";
  }
}

struct Failure {
  std::string log;
  std::string message;
};

// A run that fails: one message, nothing left open, and nothing of it left beside the
// destination, which is absent or the file it was before.
Failure failedRun(const fs::path& source, const fs::path& destination,
                  std::function<void(RecordingWindow&)> setUp = {}) {
  const std::set<std::string> before = filesIn(destination.parent_path());
  const std::vector<uint8_t> previous =
      fs::exists(destination) ? testing_support::readBytes(destination) : std::vector<uint8_t>{};
  const int descriptors = openDescriptors();
  Failure f;
  {
    RecordingWindow window(source, destination);
    window.genrePhase = genresInSourceOrder(source, window);
    if (setUp) setUp(window);
    if (!window.work) {
      f.message = convert::errorMessage(window.createError);  // what Start reports
    } else {
      EXPECT_FALSE(window.run());
      EXPECT_EQ(window.messages.size(), 1u);
      f = {window.log, window.messages.empty() ? "" : window.messages[0]};
      // The log ends with the reason, on a line of its own after the phase it stopped in;
      // what is compared below is the log above it.
      const std::string failedLine = "Failed: " + f.message + "\r\n";
      EXPECT_TRUE(f.log.ends_with(failedLine)) << f.log;
      f.log.resize(f.log.size() - std::min(f.log.size(), failedLine.size()));
      if (f.log.ends_with("...\r\n")) f.log.resize(f.log.size() - 2);
    }
  }
  EXPECT_EQ(openDescriptors(), descriptors) << "a file stayed open";
  EXPECT_EQ(filesIn(destination.parent_path()), before);
  if (!previous.empty()) {
    EXPECT_EQ(testing_support::readBytes(destination), previous);
  }
  return f;
}

TEST(FailedRunTest, anUnopenableSourceIsReportedBeforeAnyLine) {
  ScratchDir dir;
  const Failure f = failedRun(dir.file("missing.mdb"), dir.file("new.mdb"));
  EXPECT_EQ(f.log, "");
  EXPECT_NE(f.message.find("missing.mdb"), std::string::npos) << f.message;
  EXPECT_TRUE(f.message.ends_with(" (3024,2)")) << f.message;  // ENOENT
}

// The disk refuses the compacted copy (a file-size limit binds root too): the run fails with
// the system's error, and the file the destination held before is untouched.
TEST(FailedRunTest, aCompactionThatCannotWriteLeavesTheDestinationAsItWas) {
  ScratchDir dir;
  const fs::path source = makeSample(dir, "--games 60");
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no file-size limit";
#endif
  db::io::ignoreFileSizeSignal();
  uint64_t original = 0;
  bool limited = false;
  const Failure f = failedRun(source, copyTemplate(dir), [&](RecordingWindow& w) {
    w.onStatus = [&](const std::string& text) {
      if (text == "Compacting the new database...") {
        ASSERT_EQ(db::io::setFileSizeLimit(8192, &original), 0);
        limited = true;
      }
    };
  });
  if (limited) db::io::setFileSizeLimit(original, nullptr);
  EXPECT_EQ(f.log + "Done\r\n", kPhaseLines) << "the log up to the compaction's opening text";
  EXPECT_TRUE(f.message.ends_with("(3026,27)")) << f.message;  // EFBIG
}

// Memory runs out on the thread that takes the compacted copy's pages to the file, as it tells
// of a write that failed: the run fails with a message instead of ending the program, and
// leaves the destination as it was.
TEST(FailedRunTest, memoryRunningOutWherePagesAreWrittenFailsTheRun) {
  ScratchDir dir;
  const fs::path source = makeSample(dir, "--games 60");
  const Failure f = failedRun(source, copyTemplate(dir), [&](RecordingWindow& w) {
    w.onStatus = [&](const std::string& text) {
      if (text != "Compacting the new database...") return;
      db::io::failOperation(1, ENOSPC);
      testing_support::failAllocation(1, testing_support::AllocationThread::Others);
    };
  });
  db::io::failOperation(0, 0);
  EXPECT_TRUE(testing_support::allocationFailed()) << "no allocation was made off the run's thread";
  testing_support::failAllocation(0);
  EXPECT_EQ(f.message, "Out of memory (7,0)");
}

// Every write, sync and rename of a run fails in turn, as a full disk or a failing device
// would make it: each run reports the system's error and leaves the destination as it was.
TEST(FailedRunTest, aWriteThatFailsAnywhereLeavesTheDestinationAsItWas) {
  ScratchDir dir;
  const fs::path source = makeSample(dir, "--games 3 --one-row Difficulty --one-row Publishers "
                                          "--one-row Musicians --one-row Music");
  const fs::path destination = copyTemplate(dir);
  const std::vector<uint8_t> sourceBytes = testing_support::readBytes(source);
  db::io::failOperation(0, 0);
  {
    RecordingWindow window(source, dir.file("counted.mdb"));
    window.genrePhase = genresInSourceOrder(source, window);
    ASSERT_TRUE(window.run());
  }
  const uint64_t operations = db::io::operationCount();
  fs::remove(dir.file("counted.mdb"));
  ASSERT_GT(operations, 10u);
  for (uint64_t k = 1; k <= operations; ++k) {
    SCOPED_TRACE("operation " + std::to_string(k) + " of " + std::to_string(operations));
    const int error = k % 2 ? ENOSPC : EIO;
    db::io::failOperation(k, error);
    const Failure f = failedRun(source, destination);
    EXPECT_TRUE(f.message.ends_with("," + std::to_string(error) + ")")) << f.message;
    EXPECT_NE(f.message.find(db::io::errorText(error)), std::string::npos) << f.message;
    if (::testing::Test::HasFailure()) break;
  }
  db::io::failOperation(0, 0);
  EXPECT_EQ(testing_support::readBytes(source), sourceBytes);
}

// The destination's name reaches the source another way by the time the run ends (as through
// a second mount of one share, which device and inode do not tell): a file with the source's
// size, time and first page is taken for the source and keeps its place; one that differs in
// any of them is another file.
TEST(FailedRunTest, aDestinationThatMayBeTheSourceIsNotReplaced) {
  ScratchDir dir;
  const fs::path source = makeSample(dir, "--games 3");
  const fs::path destination = dir.file("new.mdb");
  fs::copy_file(source, destination);
  // A whole second, which every system's file times hold.
  const fs::file_time_type time =
      std::chrono::floor<std::chrono::seconds>(fs::last_write_time(source) - std::chrono::hours(1));
  fs::last_write_time(source, time);
  fs::last_write_time(destination, time);
  const Failure f = failedRun(source, destination);
  EXPECT_NE(f.message.find("may be the source database"), std::string::npos) << f.message;

  // What the comparison takes for one file: a name of its own, a copy kept whole with its time;
  // not a copy whose time or first page differs.
  const size_t page = 4096;
  const std::vector<uint8_t> bytes = testing_support::readBytes(source);
  ASSERT_GT(bytes.size(), 2 * page);
  struct Case {
    const char* what;
    size_t changedByte;  // a byte changed in the copy, or none
    bool keepsTime;
    bool same;
  } const cases[] = {{"a copy kept whole", SIZE_MAX, true, true},
                     {"a copy made later", SIZE_MAX, false, false},
                     {"another first page", 100, true, false},
                     {"another page after the first", page + 100, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path copy = dir.file("copy.mdb");
    std::vector<uint8_t> changed = bytes;
    if (c.changedByte != SIZE_MAX) changed[c.changedByte] ^= 0xFF;
    testing_support::writeBytes(copy, changed);
    fs::last_write_time(copy, c.keepsTime ? time : time + std::chrono::seconds(1));
    EXPECT_EQ(convert::maybeSameFile(copy.string(), source.string()), c.same);
    fs::remove(copy);
  }
  fs::create_hard_link(source, dir.file("link.mdb"));
  EXPECT_TRUE(convert::maybeSameFile(dir.file("link.mdb").string(), source.string()));
}

// A new run removes the work that ended runs left beside the destination (their lock is gone),
// and leaves alone the work of a run that is still under way (its lock is held).
TEST(WorkFileTest, abandonedWorkIsRemovedAndLiveWorkKept) {
  ScratchDir dir;
  const std::string stale = ".lvconvert-00000000000000aa", live = ".lvconvert-00000000000000bb";
  for (const std::string& name : {stale + ".work", stale + ".tmp", live + ".work", live + ".tmp",
                                  std::string(".lvconvert-1.work"), std::string("notes.txt")}) {
    testing_support::writeBytes(dir.file(name), {'x'});
  }
  db::io::File held;
  ASSERT_EQ(db::io::openFile(dir.file(live + ".work").string(), db::io::Access::Read, &held), 0);
  ASSERT_EQ(db::io::lockFile(held), 0);
  std::unique_ptr<convert::WorkFile> work;
  ASSERT_TRUE(convert::WorkFile::create(LV_TEMPLATE, dir.file("new.mdb").string(), &work).ok());
  const std::string mine = fs::path(work->path()).filename().string();
  EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{live + ".work", live + ".tmp", ".lvconvert-1.work",
                                                         "notes.txt", mine}));
  EXPECT_EQ(testing_support::readBytes(work->path()), testing_support::readBytes(LV_TEMPLATE));
  work.reset();
  db::io::closeFile(&held);
  EXPECT_FALSE(fs::exists(dir.file(mine)));
}

// The work file is hidden (its name, and on Windows its attribute) and held by its run against
// every sweep; the finished file that takes the destination's name is not hidden.
TEST(WorkFileTest, theWorkFileIsHiddenAndHeldAndTheResultShown) {
  ScratchDir dir;
  // In a folder named in other scripts, the whole path past Windows' old limit of 260.
  const std::string outer = dir.path().string() + "/Kataloge Müller ★", folder = outer + "/" + std::string(230, 'k');
  ASSERT_EQ(db::io::makeFolder(outer), 0);
  ASSERT_EQ(db::io::makeFolder(folder), 0);
  const std::string destination = folder + "/Spiele ä.mdb";
  ASSERT_GT(destination.size(), 260u);
  std::unique_ptr<convert::WorkFile> work;
  ASSERT_TRUE(convert::WorkFile::create(LV_TEMPLATE, destination, &work).ok());
  EXPECT_EQ(work->path()[work->path().find_last_of("/\\") + 1], '.');
  db::io::FileInfo info;
  ASSERT_EQ(db::io::pathInfo(work->path(), &info), 0);
#ifdef _WIN32
  EXPECT_TRUE(info.hidden);
#endif
  db::io::File other;
  ASSERT_EQ(db::io::openFile(work->path(), db::io::Access::ReadWrite, &other), 0);
  EXPECT_EQ(db::io::lockFile(other), db::io::kLocked);
  db::io::closeFile(&other);
  convert::removeAbandonedWork(folder);
  ASSERT_EQ(db::io::pathInfo(work->path(), &info), 0);

  ASSERT_TRUE(work->install(work->path(), dir.file("elsewhere.mdb").string()).ok());
  ASSERT_EQ(db::io::pathInfo(destination, &info), 0);
  EXPECT_FALSE(info.hidden);
  EXPECT_EQ(filesIn(folder), std::set<std::string>{"Spiele ä.mdb"});
  EXPECT_EQ(db::io::removeFile(destination), 0);
  EXPECT_EQ(db::io::removeFolder(folder), 0);
  EXPECT_EQ(db::io::removeFolder(outer), 0);
}

#ifdef _WIN32
// POSIX has no opener that shares nothing. A source or destination another program holds open
// without sharing it is refused before the run, saying so.
TEST(WorkFileTest, aFileHeldByAnotherProgramIsRefusedBeforeTheRun) {
  ScratchDir dir;
  const std::string held = dir.file("held.mdb").string();
  testing_support::writeBytes(held, {'x'});
  db::io::File holder;
  ASSERT_EQ(db::io::openUnshared(held, &holder), 0);
  const db::DbError destination = convert::checkReplaceable(held);
  const convert::StartRefusal source = convert::checkSource(held, {});
  db::io::closeFile(&holder);
  EXPECT_EQ(destination.systemError, db::io::kInUse);
  EXPECT_NE(destination.description.find("in use by another program"), std::string::npos) << destination.description;
  EXPECT_EQ(source.kind, convert::Refusal::SourceRefused);
  EXPECT_TRUE(source.message.starts_with("The selected file is in use by another program.")) << source.message;
  EXPECT_TRUE(convert::checkReplaceable(held).ok());
}
#endif

// ---- The genre map and names -----------------------------------------------------------------

// The sub genres under the parents named `parent`, as (name, old id).
using Subs = std::vector<std::pair<std::string, int32_t>>;
Subs subsOf(const std::vector<convert::ParentGenre>& parents, const std::string& parent) {
  Subs out;
  for (const auto& p : parents) {
    if (p.name == parent) {
      for (const auto& s : p.subs) out.push_back({s.name, s.oldId});
    }
  }
  return out;
}

TEST(GenreMapTest, theFirstMatchingEntryWinsAndUnknownIdsBecomeOne) {
  const convert::GenreIdMap map = {{1, 1}, {7, 3}, {9, 4}, {7, 5}};
  EXPECT_EQ(convert::GetNewGenreId(map, 7), 3);
  EXPECT_EQ(convert::GetNewGenreId(map, 9), 4);
  EXPECT_EQ(convert::GetNewGenreId(map, 1), 1);
  EXPECT_EQ(convert::GetNewGenreId(map, 12), 1);
  EXPECT_EQ(convert::GetNewGenreId(map, -3), 1);
  EXPECT_EQ(convert::GetNewGenreId({}, 7), 1);
}

TEST(GenreNamesTest, theSuggestionGroupsByParentAndObeysThePromptsLimits) {
  const std::vector<convert::GenreEntry> old = {
      {"Strategy (War)", 4},  {"Sport [Football]", 9}, {"Puzzle", 2},
      {"ARCADE (Climbing)", 12}, {"Arcade (Maze)", 13}, {"strategy (Economy)", 5},
      {"Miscellaneous", 30}, {"[uncategorized]", 31}, {"\"Quoted\" (Thing)", 32},
      {std::string(60, 'L') + " (Long)", 33}, {"(Odd)", 34}, {"Sport [", 35}};
  const auto parents = convert::SuggestGenreMapping(old, {{"Sport", 0, {}}});
  std::vector<std::string> names;
  for (const auto& p : parents) {
    names.push_back(p.name);
    EXPECT_EQ(convert::ParentNameFault(p.name), "") << p.name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Sport", "Strategy", "Puzzle", "ARCADE", "Miscellaneous",
                                             "Uncategorized", "Quoted", std::string(50, 'L'), "(Odd)",
                                             "Sport ["}));
  EXPECT_EQ(subsOf(parents, "Sport"), (Subs{{"Football", 9}}));
  EXPECT_EQ(subsOf(parents, "Strategy"), (Subs{{"War", 4}, {"Economy", 5}}));
  EXPECT_EQ(subsOf(parents, "ARCADE"), (Subs{{"Climbing", 12}, {"Maze", 13}}));
  EXPECT_EQ(subsOf(parents, "Miscellaneous"), (Subs{{"Misc", 30}}));
  EXPECT_EQ(subsOf(parents, "Puzzle"), (Subs{{"Puzzle", 2}}));
  EXPECT_EQ(subsOf(parents, "Quoted"), (Subs{{"Quoted (Thing)", 32}}));
}

// Old genres whose derived names meet under one parent keep them apart, as Rename insists; a
// parent the suggestion makes is never only blanks.
TEST(GenreNamesTest, theSuggestionNeverRepeatsASubNameUnderOneParent) {
  const std::vector<convert::GenreEntry> old = {{"Quiz (War)", 4}, {"Quiz [War]", 5}, {"Quiz (War)", 6},
                                               {"Quiz (Trivia)", 7}, {"\t\u00A0(Odd)", 8}};
  const auto parents = convert::SuggestGenreMapping(old, {{"Quiz", 0, {{"Trivia", 9}}}});
  ASSERT_EQ(parents.size(), 2u);
  EXPECT_EQ(parents[0].name, "Quiz");
  EXPECT_EQ(subsOf(parents, "Quiz"),
            (Subs{{"War", 4}, {"Quiz [War]", 5}, {"Quiz (War)", 6}, {"Quiz (Trivia)", 7}}));
  EXPECT_EQ(parents[1].name, "Other");
  EXPECT_EQ(convert::ParentNameFault(" \t "), "a parent genre's name cannot be only blanks");
}

}  // namespace
