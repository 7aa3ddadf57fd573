// conversion.h -- the conversion run: an old catalogue copied, table by table, into a new
// database made from the template, with the genre phase in the middle, the Null repair and the
// compaction at the end. The run talks to its window only through ConversionWindow, so the main
// window, the command line and the tests drive the same code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "convert/genre_model.h"
#include "convert/run_report.h"
#include "db/error.h"

namespace convert {

class WorkFile;

// Every message box of the program carries this title.
inline constexpr const char* kMessageTitle = "Ludovane Database Converter";

// The outcome's messages, as both programs show them; lines joined by CR LF.
inline constexpr const char* kCannotCreate = "Unable to create the new database file";
inline constexpr const char* kNotConverted =
    "There was an error or you aborted.  The database was not fully converted!";
std::string finishedMessage(const std::string& destination);

enum class MessageIcon { None, Critical, Information, Exclamation };

// What the run needs from the window that shows it.
class ConversionWindow {
 public:
  virtual ~ConversionWindow() = default;
  // The chosen files: the captions of the source and destination labels.
  virtual std::string sourcePath() const = 0;
  virtual std::string destinationPath() const = 0;
  // Appends to the status log and puts the caret at its end; adds no line break itself.
  virtual void AddStatus(const std::string& text) = 0;
  // The progress bar.
  virtual void setProgressMin(float value) = 0;
  virtual void setProgressMax(float value) = 0;
  virtual void setProgressValue(float value) = 0;
  virtual float progressValue() const = 0;
  // Lets the window process pending events once, repaint and take input. It may throw
  // RunAborted to stop the run where it stands.
  virtual void yield() = 0;
  // A message box with one OK button, titled kMessageTitle.
  virtual void showMessage(const std::string& text, MessageIcon icon) = 0;
  // The genre phase: shows the genre dialog modally and returns when it has closed, with the
  // genre id map once its OK has written the genre tables, or nothing when the person aborted.
  // It may throw db::DbException like any other step of the run.
  virtual std::optional<GenreIdMap> showGenreDialog() = 0;
};

// Thrown by a window's yield() to stop the run as an abort from outside (an interrupted
// command line): the run reports nothing and returns false.
struct RunAborted {};

// Runs the whole conversion into `work`, a fresh copy of the template beside the destination,
// and puts the finished catalogue in the destination's place. True only when every phase has
// completed; on failure the window has been told why (except after an abort, which is the
// user's own doing) and the destination is as it was. Nothing stays open, whatever the
// outcome; the caller's dropping `work` removes what is left of it.
// Before the rename the compacted catalogue is checked (every table, index and usage map, and
// each table the run wrote against the rows it wrote); a catalogue that fails takes nothing's
// place, and the run fails with the check's first finding. `report`, when given, receives what
// the run did, counted as it went, whatever the outcome.
bool ConvertDatabase(ConversionWindow& window, WorkFile& work, RunReport* report = nullptr);

// Whether `path` opens as an old-release catalogue: the probe query every such catalogue
// answers runs on it. The engine's reason when it does not.
db::DbError probeSourceDatabase(const std::string& path);

// The program's error text: the description, " (", the number, ",", the last system error
// code (0 when none), ")".
std::string errorMessage(const db::DbError& error);

}  // namespace convert
