// conversion.cpp -- the run: phases in a fixed order, each one line of the status log, every
// table copied record by record through the same pattern, one error handler for all of it.
#include "convert/conversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <random>

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

[[noreturn]] void failWithSystemError(const std::string& what, int systemError) {
  throw db::DbException(db::makeError(db::DbErrorNumber::IoError, what, systemError));
}

// A name beside the destination that nothing else uses: the copy is made in the destination's
// own folder, which the person chose and can write, so that the final rename stays on one file
// system and replaces the destination in one step. The name has a fixed length, so that it
// fits wherever the destination's own name fits.
std::filesystem::path temporaryBeside(const std::filesystem::path& destination) {
  std::random_device seed;
  std::mt19937_64 rng(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, ".lvconvert-%016llx.tmp", static_cast<unsigned long long>(rng()));
    const std::filesystem::path candidate = destination.parent_path() / name;
    struct stat st{};
    if (::lstat(candidate.c_str(), &st) == 0) continue;
    if (errno != ENOENT) {
      failWithSystemError("No temporary file can be made beside '" + destination.string() + "'", errno);
    }
    return candidate;
  }
  failWithSystemError("No temporary name is free beside '" + destination.string() + "'", EEXIST);
}

// Data and name on disk before the step that depends on them: a power cut after the rename
// must not find the destination replaced by a file whose pages never reached the disk.
void syncToDisk(const std::filesystem::path& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  const bool ok = fd >= 0 && ::fsync(fd) == 0;
  const int systemError = errno;
  if (fd >= 0) ::close(fd);
  if (!ok) failWithSystemError("'" + path.string() + "' could not be written to disk", systemError);
}

// The compacted copy replaces the destination only when it is complete; until the rename the
// destination is the whole uncompacted conversion, and a failed copy leaves nothing behind.
void compactionPhase(ConversionWindow& window) {
  window.AddStatus("Compacting the new database...");
  window.setProgressMin(0);
  window.setProgressValue(0);
  window.setProgressMax(13);
  window.yield();
  const std::filesystem::path destination = window.destinationPath();
  const std::filesystem::path temporary = temporaryBeside(destination);
  // The compaction removes what it wrote when it fails; a file it found already there (another
  // program's, made since the name was chosen) is not ours to remove.
  db::DbError err;
  try {
    err = db::compactDatabase(destination.string(), temporary.string());
  } catch (...) {
    if (!std::filesystem::exists(temporary)) throw;
    std::error_code ec;
    std::filesystem::remove(temporary, ec);
    throw;
  }
  if (!err.ok()) throw db::DbException(err);
  struct stat st{};
  if (::stat(temporary.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    try {
      struct stat original{};
      if (::stat(destination.c_str(), &original) == 0) ::chmod(temporary.c_str(), original.st_mode & 07777);
      syncToDisk(temporary, O_RDONLY);
      if (::rename(temporary.c_str(), destination.c_str()) != 0) {
        failWithSystemError("The compacted database could not replace '" + destination.string() + "'",
                            errno);
      }
    } catch (...) {
      std::error_code ec;
      std::filesystem::remove(temporary, ec);
      throw;
    }
    syncToDisk(destination.parent_path().empty() ? "." : destination.parent_path(), O_RDONLY | O_DIRECTORY);
  }
  window.AddStatus(kDone);
  window.yield();
}

}  // namespace

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

bool ConvertDatabase(ConversionWindow& window) {
  RunState run;
  try {
    run.source = db::DBEngine().OpenDatabase(window.sourcePath());
    if (!run.source) {
      window.showMessage("Could not open the source database '" + window.sourcePath() + "'",
                         MessageIcon::Critical);
      return false;
    }
    run.destination = db::DBEngine().OpenDatabase(window.destinationPath());
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
    compactionPhase(window);
    return true;
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
