// start_checks.h -- the checks both programs make before a run, and the words they refuse with:
// the source (there, a catalogue of the old release, its password given), the destination (not
// the source, not the template, a folder to make it in, a file that can be replaced) and each
// refusal's message, written here once. Paths are UTF-8.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "db/error.h"

namespace convert {

// The refusals' texts, as the windows and the command line show them.
inline constexpr const char* kMustDiffer = "Source and Destination files must be different!";
inline constexpr const char* kSourceIsTemplate = "You cannot select this file to update!";
inline constexpr const char* kDestinationIsTemplate =
    "You cannot overwrite this file!  Please select a new filename!";
inline constexpr const char* kNotValidSource =
    "The selected file is not a valid Kestrel v1.3b database!";

enum class Refusal {
  None,
  SameFile,               // source and destination are one file, or one name
  SourceMissing,          // no file a directory listing would show
  SourceRefused,          // not a catalogue of the old release, or its password not given
  SourceIsTemplate,
  DestinationIsTemplate,
  DestinationFolder,      // its folder is missing, or a file
  DestinationNotReplaceable,
};

struct StartRefusal {
  Refusal kind = Refusal::None;
  std::string message;  // what the person is told; lines joined by CR LF
  db::DbError error;    // the engine's or the system's error behind it, where there is one

  bool ok() const { return kind == Refusal::None; }
};

// Asks for the database password of the catalogue at the path: the password, or nothing when
// the person gave none.
using PasswordPrompt = std::function<std::optional<std::string>(const std::string& path)>;

// Whether the person was asked for a source's database password, and answered.
enum class PasswordAnswer { NotAsked, NotGiven, Given };

// Why a source that probeSourceDatabase refused with `why` is refused: a first line that names
// the fault truly (a wrong or missing password, a catalogue already converted, a damaged or
// foreign file), then the engine's reason, and for a damaged file the advice to repair it.
std::string sourceRefusal(const std::string& path, const db::DbError& why, PasswordAnswer password);

// Whether the file at `path` is a catalogue of the old release. One protected by a password is
// asked for it once; a password that opens it stays known to this process.
StartRefusal checkCatalogue(const std::string& path, const PasswordPrompt& askPassword);

// The source: a file a directory listing shows, and a catalogue of the old release.
StartRefusal checkSource(const std::string& source, const PasswordPrompt& askPassword);

// The destination against the source and the template: another file than either, in a folder
// that is there, replaceable if it exists.
StartRefusal checkDestination(const std::string& source, const std::string& destination,
                              const std::string& templatePath);

// Every check before a run, in the order Start makes them: the two files told apart, the
// source, then the destination.
StartRefusal checkBeforeRun(const std::string& source, const std::string& destination,
                            const std::string& templatePath, const PasswordPrompt& askPassword);

}  // namespace convert
