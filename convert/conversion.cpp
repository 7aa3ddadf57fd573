// conversion.cpp -- the run: phases in a fixed order, each one line of the status log, every
// table copied record by record through the same pattern, one error handler for all of it.
#include "convert/conversion.h"

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <new>

#include "convert/work_file.h"
#include "db/compact.h"
#include "db/recordset.h"
#include "db/text_codec.h"
#include "shared/mod_global.h"

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
};

// Sets the columns of the destination's new record from the source's current record.
using ColumnRule = std::function<void(Recordset& source, Recordset& destination)>;

void copyTable(ConversionWindow& window, RunState& run, const std::string& openingText,
               const std::string& sourceQuery, const std::string& destinationQuery,
               const ColumnRule& rule) {
  window.AddStatus(openingText);
  run.sourceRecords = run.source->OpenRecordset(sourceQuery, db::dbOpenSnapshot);
  if (!run.sourceRecords->EOF_()) {
    window.setProgressMin(0);
    window.setProgressValue(0);
    run.sourceRecords->MoveLast();
    run.sourceRecords->MoveFirst();
    window.setProgressMax(static_cast<float>(run.sourceRecords->RecordCount() - 1));
    window.yield();
    run.destinationRecords = run.destination->OpenRecordset(destinationQuery, db::dbOpenDynaset);
    int32_t counter = 0;
    while (!run.sourceRecords->EOF_()) {
      run.destinationRecords->AddNew();
      rule(*run.sourceRecords, *run.destinationRecords);
      run.destinationRecords->Update(db::dbUpdateRegular, false);
      window.setProgressValue(static_cast<float>(counter));
      window.yield();
      run.sourceRecords->MoveNext();
      ++counter;
    }
    run.destinationRecords->Close();
    run.destinationRecords.reset();
    run.sourceRecords->Close();
  }
  run.sourceRecords.reset();
  window.AddStatus(kDone);
  window.yield();
}

// The old catalogue writes a placeholder where nothing was given; only the exact text counts.
Variant placeholderRule(const Variant& value, const char* placeholder) {
  if (value.type() == db::VariantType::Text && value.asText() == placeholder) return Variant("");
  return value;
}

// A plain substring test without regard to case, so longer words that hold the sequences
// count too.
bool adultTest(const Variant& name) {
  if (name.isNull()) return false;
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
              [](Recordset& src, Recordset& dst) {
                dst.Collect("ID") = src.Collect("ID");
                dst.Collect("Name") = src.Collect("Name");
              });
  }
}

void musiciansPhase(ConversionWindow& window, RunState& run) {
  copyTable(window, run, "Copying Musicians table...", "SELECT * FROM Musicians",
            "SELECT * FROM Musicians", [](Recordset& src, Recordset& dst) {
              dst.Collect("MU_Id") = src.Collect("MU_Id");
              dst.Collect("Musician") = src.Collect("Name");
              dst.Collect("Nick") = Variant("");
              dst.Collect("Grp") = Variant("");
              dst.Collect("Photo") = Variant("");
            });
}

void musicPhase(ConversionWindow& window, RunState& run) {
  copyTable(window, run, "Copying Music table...", "SELECT Name, Filename, MU_Id FROM Music",
            "SELECT * FROM Music", [](Recordset& src, Recordset& dst) {
              dst.Collect("Name") = src.Collect("Name");
              dst.Collect("FileName") = placeholderRule(src.Collect("FileName"), "(None)");
              dst.Collect("MU_Id") = src.Collect("MU_Id");
              dst.Collect("SFav") = Variant(false);
              dst.Collect("SA") = Variant(false);
              dst.Collect("Adult") = Variant(adultTest(src.Collect("Name")));
            });
}

void gamesPhase(ConversionWindow& window, RunState& run) {
  copyTable(window, run, "Copying Games table...", "SELECT * FROM Games", "SELECT * FROM Games",
            [](Recordset& src, Recordset& dst) {
              auto small = [](int v) { return Variant(static_cast<int16_t>(v)); };
              dst.Collect("Name") = src.Collect("Name");
              dst.Collect("YE_Id") = src.Collect("Year Published");
              dst.Collect("Comment") = src.Collect("Personal Comment");
              dst.Collect("FileName") = placeholderRule(src.Collect("FileName"), "(None)");
              dst.Collect("FilenameIndex") = src.Collect("Filename Index");
              dst.Collect("FileToRun") = Variant("");
              dst.Collect("ScrnShotFileName") =
                  placeholderRule(src.Collect("Screenshot FileName"), "(None)");
              dst.Collect("MU_Id") = src.Collect("MU_Id");
              dst.Collect("GE_Id") = Variant(GetNewGenreId(src.Collect("GE_Id").int32()));
              dst.Collect("PU_Id") = src.Collect("PU_Id");
              dst.Collect("DI_Id") = src.Collect("DI_Id");
              dst.Collect("CR_Id") = small(8);
              dst.Collect("SidFileName") = placeholderRule(src.Collect("Music FileName"), "(None)");
              dst.Collect("DateLastPlayed") = placeholderRule(src.Collect("DateLastPlayed"), "(Never)");
              dst.Collect("TimesPlayed") = src.Collect("TimesPlayed");
              dst.Collect("CCode") = small(4);
              dst.Collect("HighScore") = placeholderRule(src.Collect("HighScore"), "(Not Entered)");
              dst.Collect("FA") = Variant(false);
              dst.Collect("SA") = Variant(false);
              dst.Collect("Fav") = Variant(false);
              dst.Collect("PR_Id") = small(1);
              dst.Collect("LA_Id") = small(1);
              dst.Collect("Extras") = Variant(false);
              dst.Collect("Classic") = Variant(false);
              dst.Collect("Rating") = small(0);
              dst.Collect("V_LoadingScreen") = Variant(false);
              dst.Collect("V_HighScoreSaver") = Variant(false);
              dst.Collect("V_IncludedDocs") = Variant(false);
              dst.Collect("V_PalNTSC") = small(3);
              dst.Collect("V_TrueDriveEmu") = Variant(false);
              dst.Collect("V_Length") = small(0);
              dst.Collect("V_Trainers") = src.Collect("Trained");
              const Players players = playersOf(src.Collect("PL_Id"));
              dst.Collect("PlayersFrom") = small(players.from);
              dst.Collect("PlayersTo") = small(players.to);
              dst.Collect("PlayersSim") = Variant(players.simultaneous);
              dst.Collect("V_Comment") = Variant("");
              dst.Collect("Adult") = Variant(adultTest(dst.Collect("Name")));
              dst.Collect("MemoText") = Variant("");
              dst.Collect("Prequel") = small(0);
              dst.Collect("Sequel") = small(0);
              dst.Collect("Related") = small(0);
              dst.Collect("Control") = small(0);
            });
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

// The compacted copy is what takes the destination's name; until then the destination is
// absent or the file it was, whatever happens to the run.
void compactionPhase(ConversionWindow& window, WorkFile& work) {
  window.AddStatus("Compacting the new database...");
  window.setProgressMin(0);
  window.setProgressValue(0);
  window.setProgressMax(13);
  window.yield();
  db::throwIfError(db::compactDatabase(work.path(), work.compactedPath()));
  // A compaction that made no file leaves the work file, complete and uncompacted, to be put
  // in place instead.
  struct stat compacted {};
  const bool made = ::stat(work.compactedPath().c_str(), &compacted) == 0 && S_ISREG(compacted.st_mode);
  db::throwIfError(work.install(made ? work.compactedPath() : work.path()));
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

int32_t GetNewGenreId(int32_t oldGenreId) {
  for (int32_t i = 0; i < modGlobal::GenreIdMapCount; ++i) {
    if (modGlobal::GenreIdMap[i].oldId == oldGenreId) return modGlobal::GenreIdMap[i].newId;
  }
  return 1;
}

std::string errorMessage(const db::DbError& error) {
  return error.description + " (" + std::to_string(error.number) + "," +
         std::to_string(error.systemError) + ")";
}

bool ConvertDatabase(ConversionWindow& window, WorkFile& work) {
  RunState run;
  try {
    run.source = db::DBEngine().OpenDatabase(window.sourcePath());
    if (!run.source) {
      window.showMessage("Could not open the source database '" + window.sourcePath() + "'",
                         MessageIcon::Critical);
      return false;
    }
    run.destination = db::DBEngine().OpenDatabase(work.path());
    if (!run.destination) {
      window.showMessage("Could not open the destination database '" + window.destinationPath() + "'",
                         MessageIcon::Critical);
      run.source->Close();
      return false;
    }
    lookupPhase(window, run);
    musiciansPhase(window, run);
    musicPhase(window, run);

    window.AddStatus("Copying Genres tables...");
    window.showGenreDialog();
    if (modGlobal::ConversionAborted) return false;
    window.AddStatus(kDone);
    window.yield();

    gamesPhase(window, run);
    nullRepairPhase(window, run);
    run.source->Close();
    run.destination->Close();
    run.source.reset();
    run.destination.reset();
    compactionPhase(window, work);
    return true;
  } catch (const RunAborted&) {
    // Stopped from outside, like an abort in the genre dialog: nothing to report. Once the
    // catalogue is in place it is complete, and an abort comes too late to change that.
    return work.installed();
  } catch (const db::DbException& e) {
    window.showMessage(errorMessage(e.error()), MessageIcon::Critical);
  } catch (const std::bad_alloc&) {
    window.showMessage(errorMessage(db::makeError(static_cast<db::DbErrorNumber>(7), "Out of memory")),
                       MessageIcon::Critical);
  } catch (const std::exception& e) {
    window.showMessage(errorMessage(db::makeError(static_cast<db::DbErrorNumber>(51), e.what())),
                       MessageIcon::Critical);
  }
  return false;
}

}  // namespace convert
