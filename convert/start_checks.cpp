#include "convert/start_checks.h"

#include <memory>

#include "convert/conversion.h"
#include "convert/file_checks.h"
#include "db/file_io.h"
#include "db/page_file.h"
#include "db/recordset.h"

namespace convert {
namespace {

constexpr const char* kBlankLine = "\r\n\r\n";

// A catalogue of the new release: its Games table has the players columns the conversion makes,
// beside the parent genres' table.
bool isNewReleaseCatalogue(const std::string& path) {
  try {
    std::shared_ptr<db::Database> database = db::DBEngine().OpenDatabase(path);
    database->OpenRecordset("SELECT PlayersFrom, PlayersTo, PlayersSim FROM Games", db::dbOpenSnapshot)
        ->Close();
    database->OpenRecordset("SELECT PG_Id, ParentGenre FROM PGenres", db::dbOpenSnapshot)->Close();
    return true;
  } catch (const db::DbException&) {
    return false;
  }
}

bool isNumber(const db::DbError& error, db::DbErrorNumber number) {
  return error.number == static_cast<int>(number);
}

}  // namespace

std::string sourceRefusal(const std::string& path, const db::DbError& why, PasswordAnswer password) {
  const std::string reason = kBlankLine + errorMessage(why);
  if (isNumber(why, db::DbErrorNumber::PasswordProtected)) {
    return (password == PasswordAnswer::Given
                ? "The password given is not the database password of the selected file."
                : "The selected file is protected by a database password, and none was given.") +
           reason;
  }
  if ((isNumber(why, db::DbErrorNumber::UnknownFieldInQuery) ||
       isNumber(why, db::DbErrorNumber::NoSuchTable)) &&
      isNewReleaseCatalogue(path)) {
    return "The selected file is already a Ludovane database of the new release: it needs no "
           "conversion.";
  }
  // Windows: another program holds the file and shares it with nobody.
  if (why.systemError == db::io::kInUse) {
    return "The selected file is in use by another program. Close it there, then try again." + reason;
  }
  std::string text = kNotValidSource + reason;
  if (isNumber(why, db::DbErrorNumber::CorruptDatabase) &&
      why.description.find("repair") == std::string::npos) {
    text += kBlankLine;
    text += "Repair the file in Access first (Tools, Database Utilities, Compact and Repair "
            "Database), then convert the repaired copy.";
  }
  return text;
}

StartRefusal checkSource(const std::string& source, const PasswordPrompt& askPassword) {
  if (!FileExists(source)) {
    const std::string why = whyNotAFile(source);
    return {Refusal::SourceMissing, "File not found: " + source + (why.empty() ? "" : kBlankLine + why), {}};
  }
  return checkCatalogue(source, askPassword);
}

StartRefusal checkCatalogue(const std::string& source, const PasswordPrompt& askPassword) {
  db::DbError why = probeSourceDatabase(source);
  auto answer = PasswordAnswer::NotAsked;
  if (isNumber(why, db::DbErrorNumber::PasswordProtected)) {
    const std::optional<std::string> password = askPassword ? askPassword(source) : std::nullopt;
    answer = password ? PasswordAnswer::Given : PasswordAnswer::NotGiven;
    if (password && db::rememberPassword(source, *password)) why = probeSourceDatabase(source);
  }
  if (why.ok()) return {};
  return {Refusal::SourceRefused, sourceRefusal(source, why, answer), why};
}

StartRefusal checkDestination(const std::string& source, const std::string& destination,
                              const std::string& templatePath) {
  if (sameFileOrName(source, destination)) return {Refusal::SameFile, kMustDiffer, {}};
  if (sameFileOrName(templatePath, source)) return {Refusal::SourceIsTemplate, kSourceIsTemplate, {}};
  if (sameFileOrName(templatePath, destination)) {
    return {Refusal::DestinationIsTemplate, kDestinationIsTemplate, {}};
  }
  if (std::string why = folderRefusal(destination); !why.empty()) {
    return {Refusal::DestinationFolder, std::move(why), {}};
  }
  // The destination is replaced only by the finished conversion; one that could not be
  // replaced then is refused now, before any work.
  if (db::DbError why = checkReplaceable(destination); !why.ok()) {
    return {Refusal::DestinationNotReplaceable, errorMessage(why), why};
  }
  return {};
}

StartRefusal checkBeforeRun(const std::string& source, const std::string& destination,
                            const std::string& templatePath, const PasswordPrompt& askPassword) {
  if (sameFileOrName(source, destination)) return {Refusal::SameFile, kMustDiffer, {}};
  if (StartRefusal refusal = checkSource(source, askPassword); !refusal.ok()) return refusal;
  return checkDestination(source, destination, templatePath);
}

}  // namespace convert
