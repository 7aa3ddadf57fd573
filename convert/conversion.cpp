// conversion.cpp -- the run: phases in a fixed order, each one line of the status log, every
// table copied record by record through the same pattern, one error handler for all of it.
#include "convert/conversion.h"


#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string_view>

#include "convert/conversion_seam.h"
#include "convert/work_file.h"
#include "db/check.h"
#include "db/compact.h"
#include "db/page_file.h"
#include "db/recordset.h"
#include "db/text_codec.h"

namespace convert {
namespace {

using db::Recordset;
using db::Variant;

constexpr const char* kLineEnd = "\r\n";
constexpr const char* kDone = "Done\r\n";

// What a run holds; dropping it releases every recordset and connection, whatever state the
// run was left in.
struct RunState {
  std::shared_ptr<db::Database> source;
  std::shared_ptr<db::Database> destination;
  std::shared_ptr<Recordset> sourceRecords;
  std::shared_ptr<Recordset> destinationRecords;
  RunReport* report = nullptr;

  // A run that ends still holding the destination has failed, and its work file goes: what
  // the file holds unwritten (a large table's indexes above all) is not written first.
  ~RunState() {
    if (destination) destination->discard();
  }
};

// The run's view of its window, which knows whether the log stands at the start of a line, so
// that the reason a run ends early goes on a line of its own after the phase it stopped in.
class LoggedWindow : public ConversionWindow {
 public:
  explicit LoggedWindow(ConversionWindow& window) : window_(window) {}

  std::string sourcePath() const override { return window_.sourcePath(); }
  std::string destinationPath() const override { return window_.destinationPath(); }
  void AddStatus(const std::string& text) override {
    window_.AddStatus(text);
    if (!text.empty()) atLineStart_ = text.ends_with(kLineEnd);
  }
  void setProgressMin(float value) override { window_.setProgressMin(value); }
  void setProgressMax(float value) override { window_.setProgressMax(value); }
  void setProgressValue(float value) override { window_.setProgressValue(value); }
  float progressValue() const override { return window_.progressValue(); }
  void yield() override { window_.yield(); }
  void showMessage(const std::string& text, MessageIcon icon) override {
    window_.showMessage(text, icon);
  }
  std::optional<GenreIdMap> showGenreDialog() override { return window_.showGenreDialog(); }

  // The log's last line: why the run ends without its last "Done". The log stays as it is
  // above it, since it is only ever appended to.
  void endWith(const std::string& reason) {
    AddStatus((atLineStart_ ? "" : std::string(kLineEnd)) + reason + kLineEnd);
  }
  // A failure: its line in the log, then its message.
  void fail(const std::string& text) {
    endWith("Failed: " + text);
    window_.showMessage(text, MessageIcon::Critical);
  }

 private:
  ConversionWindow& window_;
  bool atLineStart_ = true;
};

// Sets the columns of the destination's new record from the source's current record.
using RecordCopy = std::function<void()>;
// Finds the fields a table's copy reads and writes, once, when both recordsets are open, and
// gives the copy of one record, which goes through them by position.
using ColumnRule = std::function<RecordCopy(Recordset& source, Recordset& destination)>;
using db::FieldValue;

void copyTable(ConversionWindow& window, RunState& run, const std::string& openingText,
               const std::string& sourceQuery, const std::string& destinationQuery,
               const std::string& tableName, const ColumnRule& rule) {
  window.AddStatus(openingText);
  TableRows& rows = run.report->table(tableName);
  rows.source = 0;
  run.sourceRecords = run.source->OpenRecordset(sourceQuery, db::dbOpenSnapshot);
  if (!run.sourceRecords->EOF_()) {
    window.setProgressMin(0);
    window.setProgressValue(0);
    run.sourceRecords->MoveLast();
    run.sourceRecords->MoveFirst();
    rows.source = static_cast<uint64_t>(run.sourceRecords->RecordCount());
    window.setProgressMax(static_cast<float>(run.sourceRecords->RecordCount() - 1));
    window.yield();
    run.destinationRecords = run.destination->OpenRecordset(destinationQuery, db::dbOpenDynaset);
    const RecordCopy copyRecord = rule(*run.sourceRecords, *run.destinationRecords);
    int32_t counter = 0;
    while (!run.sourceRecords->EOF_()) {
      run.destinationRecords->AddNew();
      copyRecord();
      run.destinationRecords->Update(db::dbUpdateRegular, false);
      window.setProgressValue(static_cast<float>(counter));
      window.yield();
      run.sourceRecords->MoveNext();
      ++counter;
    }
    rows.written = static_cast<uint64_t>(counter);
    run.destinationRecords->Close();
    run.destinationRecords.reset();
    run.sourceRecords->Close();
  }
  run.sourceRecords.reset();
  window.AddStatus(kDone);
  window.yield();
}

// The old catalogue writes a placeholder where nothing was given; only the exact text counts.
Variant placeholderRule(Variant value, const char* placeholder, uint64_t* emptied) {
  if (value.type() == db::VariantType::Text && value.asText() == placeholder) {
    ++*emptied;
    return Variant("");
  }
  return value;
}

// A text the Null repair would empty is written empty in the first place: the repair's
// statements then find nothing to change, instead of rewriting (and often moving) the rows.
Variant emptyForNull(Variant value, uint64_t* repaired) {
  if (!value.isNull()) return value;
  ++*repaired;
  return Variant("");
}

// What the rules did to one text column, counted in plain integers as the rows go by and
// added to the report once the table is copied.
struct TextRuleCounts {
  const char* column;
  const char* placeholder;  // nullptr: the column has none
  uint64_t emptied = 0, repaired = 0;

  // placeholderRule then emptyForNull, in one step: a Null is never a placeholder.
  Variant apply(Variant value) {
    if (value.isNull()) return emptyForNull(std::move(value), &repaired);
    if (placeholder) return placeholderRule(std::move(value), placeholder, &emptied);
    return value;
  }
  void addTo(RunReport& report, const char* table) const {
    ColumnChanges& c = report.column(table, column);
    if (placeholder) c.placeholders[placeholder] += emptied;
    c.nullsRepaired += repaired;
  }
};

// A plain substring test without regard to case, so longer words that hold the sequences
// count too.
bool adultTest(const Variant& name) {
  if (name.isNull()) return false;
  if (name.type() == db::VariantType::Text) {
    // ASCII text, the usual name, is searched as it is; other text goes through the full
    // upper-casing, under which some other letters become these ones too.
    const std::string& text = name.asText();
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; })) {
      auto has = [&](std::string_view word) {
        return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
                 return (a >= 'a' && a <= 'z' ? a - 'a' + 'A' : a) == b;
               }) != text.end();
      };
      return has("FUCK") || has("SEX");
    }
  }
  const std::string upper = db::upperCase(name.text());
  return upper.find("FUCK") != std::string::npos || upper.find("SEX") != std::string::npos;
}

struct Players {
  int16_t from, to;
  bool simultaneous;
};

Players playersOf(const Variant& code) {
  if (!code.isNull()) {
    double n = 0;
    db::DbError err = code.toDouble(&n);
    if (!err.ok()) throw db::DbException(err);
    if (n == 1) return {1, 1, false};
    if (n == 2) return {1, 2, false};
    if (n == 3) return {1, 2, true};
    if (n == 4) return {1, -1, false};
  }
  return {-1, -1, false};
}

void lookupPhase(ConversionWindow& window, RunState& run) {
  window.AddStatus(std::string("Creating Years table...Done") + kLineEnd);
  static const std::pair<const char*, const char*> kJobs[] = {
      {"SELECT DI_Id AS ID, Difficulty AS Name FROM Difficulty", "Difficulty"},
      {"SELECT PU_Id AS ID, Publisher AS Name FROM Publishers", "Publishers"}};
  for (const auto& [query, displayName] : kJobs) {
    copyTable(window, run, std::string("Copying ") + displayName + " table...", query, query,
              displayName,
              [](Recordset& src, Recordset& dst) -> RecordCopy {
                FieldValue id = dst.Collect("ID"), srcId = src.Collect("ID");
                FieldValue name = dst.Collect("Name"), srcName = src.Collect("Name");
                return [=]() mutable {
                  id = srcId;
                  name = srcName;
                };
              });
  }
}

void musiciansPhase(ConversionWindow& window, RunState& run) {
  copyTable(window, run, "Copying Musicians table...", "SELECT * FROM Musicians",
            "SELECT * FROM Musicians", "Musicians", [](Recordset& src, Recordset& dst) -> RecordCopy {
              FieldValue id = dst.Collect("MU_Id"), srcId = src.Collect("MU_Id");
              FieldValue musician = dst.Collect("Musician"), srcName = src.Collect("Name");
              FieldValue nick = dst.Collect("Nick"), grp = dst.Collect("Grp");
              FieldValue photo = dst.Collect("Photo");
              return [=]() mutable {
                id = srcId;
                musician = srcName;
                nick = Variant("");
                grp = Variant("");
                photo = Variant("");
              };
            });
}

void musicPhase(ConversionWindow& window, RunState& run) {
  TextRuleCounts file{"FileName", "(None)"};
  uint64_t adults = 0;
  copyTable(window, run, "Copying Music table...", "SELECT Name, Filename, MU_Id FROM Music",
            "SELECT * FROM Music", "Music", [&](Recordset& src, Recordset& dst) -> RecordCopy {
              FieldValue name = dst.Collect("Name"), srcName = src.Collect("Name");
              FieldValue fileName = dst.Collect("FileName"), srcFileName = src.Collect("FileName");
              FieldValue musician = dst.Collect("MU_Id"), srcMusician = src.Collect("MU_Id");
              FieldValue favourite = dst.Collect("SFav"), sa = dst.Collect("SA");
              FieldValue adult = dst.Collect("Adult");
              return [=, &file, &adults]() mutable {
                name = srcName;
                fileName = file.apply(srcFileName);
                musician = srcMusician;
                favourite = Variant(false);
                sa = Variant(false);
                const bool flagged = adultTest(srcName);
                adults += flagged;
                adult = Variant(flagged);
              };
            });
  file.addTo(*run.report, "Music");
  run.report->adultMusic += adults;
}

// The new genre of an old one, as GetNewGenreId gives it, and whether an entry held it.
int32_t newGenreOf(const GenreIdMap& map, int32_t oldId, bool* held) {
  for (const GenreIdPair& pair : map) {
    if (pair.oldId == oldId) {
      *held = true;
      return pair.newId;
    }
  }
  *held = false;
  return 1;
}

// The games the genre rule sends to genre 1 for want of a genre, and the players codes it
// cannot split.
struct GameRuleCounts {
  GameList unknownGenre;
  uint64_t playersOutside = 0, playersNull = 0, adults = 0;
};

// An Integer column's value.
Variant smallInt(int v) { return Variant(static_cast<int16_t>(v)); }

// The copy of one Games record. Each destination field, in the order the record is written,
// with what it takes from the source: found once, when both recordsets are open.
class GamesRecordCopy {
 public:
  GamesRecordCopy(Recordset& src, Recordset& dst, const GenreIdMap& genreIds,
                  TextRuleCounts (&texts)[6], GameRuleCounts& counts)
      : src_(src), dst_(dst), genreIds_(genreIds), commentRule_(texts[0]), fileRule_(texts[1]),
        screenshotRule_(texts[2]), sidRule_(texts[3]), lastPlayedRule_(texts[4]),
        highScoreRule_(texts[5]), counts_(counts) {}

  void operator()() {
    name = srcName;
    year = srcYear;
    comment = commentRule_.apply(srcComment);
    fileName = fileRule_.apply(srcFileName);
    fileIndex = srcFileIndex;
    fileToRun = Variant("");
    screenshot = screenshotRule_.apply(srcScreenshot);
    musician = srcMusician;
    copyGenre();
    publisher = srcPublisher;
    difficulty = srcDifficulty;
    cracker = smallInt(8);
    sidFileName = sidRule_.apply(srcMusicFileName);
    lastPlayed = lastPlayedRule_.apply(srcLastPlayed);
    timesPlayed = srcTimesPlayed;
    countryCode = smallInt(4);
    highScore = highScoreRule_.apply(srcHighScore);
    fa = Variant(false);
    sa = Variant(false);
    favourite = Variant(false);
    programmer = smallInt(1);
    language = smallInt(1);
    extras = Variant(false);
    classic = Variant(false);
    rating = smallInt(0);
    loadingScreen = Variant(false);
    scoreSaver = Variant(false);
    includedDocs = Variant(false);
    palNtsc = smallInt(3);
    trueDrive = Variant(false);
    length = smallInt(0);
    trainers = srcTrained;
    copyPlayers();
    versionComment = Variant("");
    const bool flagged = adultTest(name);
    counts_.adults += flagged;
    adult = Variant(flagged);
    memoText = Variant("");
    prequel = smallInt(0);
    sequel = smallInt(0);
    related = smallInt(0);
    control = smallInt(0);
  }

 private:
  // The new genre; a game whose old one the map does not hold goes to genre 1 and is counted.
  // A Null genre is no number, and fails the run (the column is required in the old schema).
  void copyGenre() {
    bool held = false;
    genre = Variant(newGenreOf(genreIds_, srcGenre.int32(), &held));
    if (held) return;
    GameList& list = counts_.unknownGenre;
    // Titles are taken for the first few only: no string per row.
    if (list.first.size() < GameList::kMaxMentions) {
      const Variant title = srcName;
      list.add(title.isNull() ? std::string() : title.text(), srcId.int32());
    } else {
      ++list.count;
    }
  }

  void copyPlayers() {
    const Variant code = srcPlayers;
    const Players players = playersOf(code);
    if (code.isNull()) {
      ++counts_.playersNull;
    } else if (players.from < 0) {
      ++counts_.playersOutside;
    }
    playersFrom = smallInt(players.from);
    playersTo = smallInt(players.to);
    playersSim = Variant(players.simultaneous);
  }

  FieldValue to(const char* column) { return dst_.Collect(column); }
  FieldValue from(const char* column) { return src_.Collect(column); }

  Recordset& src_;
  Recordset& dst_;
  const GenreIdMap& genreIds_;
  TextRuleCounts& commentRule_;
  TextRuleCounts& fileRule_;
  TextRuleCounts& screenshotRule_;
  TextRuleCounts& sidRule_;
  TextRuleCounts& lastPlayedRule_;
  TextRuleCounts& highScoreRule_;
  GameRuleCounts& counts_;
  // Found in the order they are declared, after the recordsets above.
  FieldValue name = to("Name"), srcName = from("Name");
  FieldValue year = to("YE_Id"), srcYear = from("Year Published");
  FieldValue comment = to("Comment"), srcComment = from("Personal Comment");
  FieldValue fileName = to("FileName"), srcFileName = from("FileName");
  FieldValue fileIndex = to("FilenameIndex"), srcFileIndex = from("Filename Index");
  FieldValue fileToRun = to("FileToRun");
  FieldValue screenshot = to("ScrnShotFileName"), srcScreenshot = from("Screenshot FileName");
  FieldValue musician = to("MU_Id"), srcMusician = from("MU_Id");
  FieldValue genre = to("GE_Id"), srcGenre = from("GE_Id");
  FieldValue publisher = to("PU_Id"), srcPublisher = from("PU_Id");
  FieldValue difficulty = to("DI_Id"), srcDifficulty = from("DI_Id");
  FieldValue cracker = to("CR_Id");
  FieldValue sidFileName = to("SidFileName"), srcMusicFileName = from("Music FileName");
  FieldValue lastPlayed = to("DateLastPlayed"), srcLastPlayed = from("DateLastPlayed");
  FieldValue timesPlayed = to("TimesPlayed"), srcTimesPlayed = from("TimesPlayed");
  FieldValue countryCode = to("CCode");
  FieldValue highScore = to("HighScore"), srcHighScore = from("HighScore");
  FieldValue fa = to("FA"), sa = to("SA"), favourite = to("Fav");
  FieldValue programmer = to("PR_Id"), language = to("LA_Id");
  FieldValue extras = to("Extras"), classic = to("Classic"), rating = to("Rating");
  FieldValue loadingScreen = to("V_LoadingScreen"), scoreSaver = to("V_HighScoreSaver");
  FieldValue includedDocs = to("V_IncludedDocs"), palNtsc = to("V_PalNTSC");
  FieldValue trueDrive = to("V_TrueDriveEmu"), length = to("V_Length");
  FieldValue trainers = to("V_Trainers"), srcTrained = from("Trained");
  FieldValue srcPlayers = from("PL_Id");
  FieldValue playersFrom = to("PlayersFrom"), playersTo = to("PlayersTo");
  FieldValue playersSim = to("PlayersSim");
  FieldValue versionComment = to("V_Comment"), adult = to("Adult");
  FieldValue memoText = to("MemoText"), prequel = to("Prequel"), sequel = to("Sequel");
  FieldValue related = to("Related"), control = to("Control");
  FieldValue srcId = from("GA_Id");
};

void gamesPhase(ConversionWindow& window, RunState& run, const GenreIdMap& genreIds) {
  TextRuleCounts texts[] = {{"Comment", nullptr},          {"FileName", "(None)"},
                            {"ScrnShotFileName", "(None)"}, {"SidFileName", "(None)"},
                            {"DateLastPlayed", "(Never)"},  {"HighScore", "(Not Entered)"}};
  GameRuleCounts counts;
  copyTable(window, run, "Copying Games table...", "SELECT * FROM Games", "SELECT * FROM Games",
            "Games", [&](Recordset& src, Recordset& dst) -> RecordCopy {
              return GamesRecordCopy(src, dst, genreIds, texts, counts);
            });
  for (const TextRuleCounts& t : texts) t.addTo(*run.report, "Games");
  RunReport& report = *run.report;
  report.unknownGenre = std::move(counts.unknownGenre);
  report.playersOutside = counts.playersOutside;
  report.playersNull = counts.playersNull;
  report.adultGames = counts.adults;
}

void nullRepairPhase(ConversionWindow& window, RunState& run) {
  static const char* const kStatements[] = {
      "UPDATE Games SET Comment = \"\" WHERE Comment IS NULL",
      "UPDATE Games SET Filename = \"\" WHERE Filename IS NULL",
      "UPDATE Games SET FileToRun = \"\" WHERE FileToRun IS NULL",
      "UPDATE Games SET ScrnShotFilename = \"\" WHERE ScrnShotFilename IS NULL",
      "UPDATE Games SET SidFilename = \"\" WHERE SidFilename IS NULL",
      "UPDATE Games SET DateLastPlayed = \"\" WHERE DateLastPlayed IS NULL",
      "UPDATE Games SET HighScore = \"\" WHERE HighScore IS NULL",
      "UPDATE Games SET V_Comment = \"\" WHERE V_Comment IS NULL",
      "UPDATE Games SET MemoText = \"\" WHERE MemoText IS NULL",
      "UPDATE Music SET Filename = \"\" WHERE Filename IS NULL",
      "UPDATE Musicians SET Grp = \"\" WHERE Grp IS NULL",
      "UPDATE Musicians SET Nick = \"\" WHERE Nick IS NULL",
      "UPDATE Musicians SET Photo = \"\" WHERE Photo IS NULL"};
  window.AddStatus("Fixing NULL values...");
  window.setProgressMin(0);
  window.setProgressValue(0);
  window.setProgressMax(13);
  window.yield();
  for (const char* statement : kStatements) {
    run.destination->Execute(statement);
    window.setProgressValue(window.progressValue() + 1);
    window.yield();
  }
  window.AddStatus(kDone);
  window.yield();
}

// What the genre dialog made of the old genres, read back from the new catalogue: the rows
// of PGenres and Genres (which the check holds the result to) and each old genre's place.
void recordGenres(RunState& run, const GenreIdMap& ids) {
  RunReport& report = *run.report;
  std::map<int32_t, std::string> parents;  // PG_Id -> name
  struct Sub {
    int32_t parent;
    std::string name;
  };
  std::map<int32_t, Sub> subs;              // GE_Id -> parent and name
  auto rows = [&](const std::string& query, const std::function<void(Recordset&)>& each) {
    std::shared_ptr<Recordset> rs = run.destination->OpenRecordset(query, db::dbOpenSnapshot);
    for (; !rs->EOF_(); rs->MoveNext()) each(*rs);
    rs->Close();
  };
  rows("SELECT PG_Id, ParentGenre FROM PGenres", [&](Recordset& rs) {
    const Variant name = rs.Collect("ParentGenre");
    parents[rs.Collect("PG_Id").int32()] = name.isNull() ? std::string() : name.text();
  });
  rows("SELECT GE_Id, PG_Id, Genre FROM Genres", [&](Recordset& rs) {
    const Variant name = rs.Collect("Genre");
    subs[rs.Collect("GE_Id").int32()] = {rs.Collect("PG_Id").int32(),
                                         name.isNull() ? std::string() : name.text()};
  });
  TableRows& pgenres = report.table("PGenres");
  pgenres.written = parents.size();
  TableRows& genres = report.table("Genres");
  genres.written = subs.size();
  genres.source = 0;
  std::shared_ptr<Recordset> old = run.source->OpenRecordset("SELECT * FROM Genres", db::dbOpenSnapshot);
  for (; !old->EOF_(); old->MoveNext()) {
    ++*genres.source;
    const Variant name = old->Collect("Genre");
    GenreMapping m;
    m.oldId = old->Collect("GE_Id").int32();
    m.oldName = name.isNull() ? std::string() : name.text();
    const int32_t newId = GetNewGenreId(ids, m.oldId);
    if (auto sub = subs.find(newId); sub != subs.end()) {
      m.sub = sub->second.name;
      m.parent = parents[sub->second.parent];
      // Suggest and Set take another name only when the derived one is another sub genre's.
      const std::string derived = DeriveSubGenreName(m.oldName, m.parent);
      if (!SameName(m.sub, derived)) {
        for (const auto& [id, other] : subs) {
          if (id != newId && other.parent == sub->second.parent && SameName(other.name, derived)) {
            m.madeUnique = true;
          }
        }
      }
    }
    report.genres.push_back(std::move(m));
  }
  old->Close();
}

// The phase's time in the report, under its status text without the "...".
class PhaseClock {
 public:
  PhaseClock(RunReport& report, std::string name)
      : report_(report), name_(std::move(name)), start_(std::chrono::steady_clock::now()) {}
  ~PhaseClock() {
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start_;
    report_.phases.push_back({name_, spent.count()});
  }

 private:
  RunReport& report_;
  std::string name_;
  std::chrono::steady_clock::time_point start_;
};

// The compacted catalogue checked before it may take the destination's name: the engine's
// streaming check (usage maps, every index entry against its row, long values, autonumbers)
// and each table the run wrote holding the rows it wrote. The reason it fails, when it does.
db::DbError checkResult(const std::string& path, RunReport& report) {
  std::unique_ptr<db::PageFile> file;
  db::DbError err = db::PageFile::open(path, &file, false);
  db::CheckReport found;
  if (err.ok()) err = db::checkDatabase(*file, &found, db::CheckDepth::Streaming);
  file.reset();
  if (!err.ok()) return err;
  report.checked = true;
  std::vector<std::string> problems = std::move(found.problems);
  for (TableRows& t : report.tables) {
    const auto it = std::find_if(found.tableRows.begin(), found.tableRows.end(),
                                 [&](const auto& entry) { return entry.first == t.name; });
    if (it == found.tableRows.end()) {
      problems.push_back("Table '" + t.name + "' is missing.");
      continue;
    }
    t.result = it->second;
    if (*t.result != t.written) {
      problems.push_back("Table '" + t.name + "' holds " + std::to_string(*t.result) +
                         " rows, but the run wrote " + std::to_string(t.written) + ".");
    }
  }
  report.problemCount = problems.size();
  report.verified = problems.empty();
  constexpr size_t kKept = 20;
  if (problems.size() > kKept) problems.resize(kKept);
  report.problems = problems;
  if (report.verified) return {};
  std::string reason = "The new database failed its check: " + problems.front();
  if (report.problemCount > 1) {
    reason += " (and " + std::to_string(report.problemCount - 1) + " more problem" +
              (report.problemCount == 2 ? "" : "s") + ")";
  }
  return db::makeError(db::DbErrorNumber::CorruptDatabase, reason);
}

// The compacted copy is what takes the destination's name; until then the destination is
// absent or the file it was, whatever happens to the run.
void compactionPhase(ConversionWindow& window, WorkFile& work, RunReport& report) {
  window.AddStatus("Compacting the new database...");
  window.setProgressMin(0);
  window.setProgressValue(0);
  window.setProgressMax(13);
  window.yield();
  // The work file is consumed: the copy takes the memory of its pages as it goes, and only the
  // copy can take the destination's name.
  {
    PhaseClock clock(report, "Compacting the new database");
    db::throwIfError(db::compactDatabase(work.path(), work.compactedPath(), db::CompactSource::Consumed));
  }
  if (seam::afterCompaction) seam::afterCompaction(work.compactedPath());
  {
    PhaseClock clock(report, "Checking the new database");
    db::throwIfError(checkResult(work.compactedPath(), report));
  }
  // A stop asked for while the compaction or the check ran is honoured before the rename,
  // after which it comes too late.
  window.yield();
  db::throwIfError(work.install(work.compactedPath(), window.sourcePath()));
  window.AddStatus(kDone);
  window.yield();
}

}  // namespace

db::DbError probeSourceDatabase(const std::string& path) {
  // Every old-release catalogue answers this; what it returns does not matter.
  static const char* const kProbeQuery =
      "SELECT PRG, VicePort1, VicePort2, [Personal Comment], [Music Filename], DocFile FROM Games";
  try {
    std::shared_ptr<db::Database> database = db::DBEngine().OpenDatabase(path);
    database->OpenRecordset(kProbeQuery, db::dbOpenSnapshot)->Close();
    return {};
  } catch (const db::DbException& e) {
    return e.error();
  }
}

std::string finishedMessage(const std::string& destination) {
  return "Finished!  Your new Ludovane database can be found here: -\r\n\r\n" + destination +
         "\r\n\r\nPlease refer to the INSTRUCTIONS.TXT file for info on setting up your new "
         "database with Ludovane";
}

std::string errorMessage(const db::DbError& error) {
  return error.description + " (" + std::to_string(error.number) + "," +
         std::to_string(error.systemError) + ")";
}

bool ConvertDatabase(ConversionWindow& shownIn, WorkFile& work, RunReport* reportTo) {
  LoggedWindow window(shownIn);
  RunReport own;
  RunReport& report = reportTo ? *reportTo : own;
  report = {};
  RunState run;
  run.report = &report;
  // The reason a run failed goes into its report too.
  auto failed = [&](const std::string& text) {
    report.failure = text;
    window.fail(text);
  };
  try {
    run.source = db::DBEngine().OpenDatabase(window.sourcePath());
    if (!run.source) {
      window.fail("Could not open the source database '" + window.sourcePath() + "'");
      return false;
    }
    run.destination = db::DBEngine().OpenDatabase(work.path());
    if (!run.destination) {
      window.fail("Could not open the destination database '" + window.destinationPath() + "'");
      run.source->Close();
      return false;
    }
    {
      PhaseClock clock(report, "Copying Difficulty and Publishers tables");
      lookupPhase(window, run);
    }
    {
      PhaseClock clock(report, "Copying Musicians table");
      musiciansPhase(window, run);
    }
    {
      PhaseClock clock(report, "Copying Music table");
      musicPhase(window, run);
    }

    std::optional<GenreIdMap> genreIds;
    {
      PhaseClock clock(report, "Copying Genres tables");
      window.AddStatus("Copying Genres tables...");
      genreIds = window.showGenreDialog();
      if (!genreIds) {
        window.endWith("Aborted: the genre dialog was closed before its OK.");
        report.failure = "the genre dialog was closed before its OK";
        return false;
      }
      recordGenres(run, *genreIds);
      window.AddStatus(kDone);
      window.yield();
    }
    {
      PhaseClock clock(report, "Copying Games table");
      gamesPhase(window, run, *genreIds);
    }
    {
      PhaseClock clock(report, "Fixing NULL values");
      nullRepairPhase(window, run);
      run.source->Close();
      run.destination->Close();
      run.source.reset();
      run.destination.reset();
    }
    compactionPhase(window, work, report);
    return true;
  } catch (const RunAborted&) {
    // Stopped from outside, like an abort in the genre dialog: nothing to report. Once the
    // catalogue is in place it is complete, and an abort comes too late to change that.
    if (work.installed()) return true;
    window.endWith("Stopped before the end.");
    report.failure = "stopped before the end";
  } catch (const db::DbException& e) {
    failed(errorMessage(e.error()));
  } catch (const std::bad_alloc&) {
    failed(errorMessage(db::makeError(db::DbErrorNumber::OutOfMemory, "Out of memory")));
  } catch (const std::exception& e) {
    failed(errorMessage(db::makeError(db::DbErrorNumber::InternalError, e.what())));
  }
  return false;
}

}  // namespace convert
