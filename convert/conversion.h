// conversion.h -- the conversion run: an old catalogue copied, table by table, into a new
// database made from the template, with the genre phase in the middle, the Null repair and the
// compaction at the end. The run talks to its window only through ConversionWindow, so the main
// window, the command line and the tests drive the same code.
#pragma once

#include <cstdint>
#include <string>

#include "db/error.h"

namespace convert {

// Every message box of the program carries this title.
inline constexpr const char* kMessageTitle = "Ludovane Database Converter";

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
  // Lets the window process pending events once, repaint and take input.
  virtual void yield() = 0;
  // A message box with one OK button, titled kMessageTitle.
  virtual void showMessage(const std::string& text, MessageIcon icon) = 0;
  // Shows the genre dialog modally and returns when it has closed. It leaves
  // modGlobal::ConversionAborted false only when it has written the genre tables and filled
  // the genre id map. It may throw db::DbException like any other step of the run.
  virtual void showGenreDialog() = 0;
};

// Runs the whole conversion into the destination, which must be a fresh copy of the template.
// True only when every phase has completed; on failure the window has been told why (except
// after an abort in the genre dialog, which is the user's own doing). Nothing stays open,
// whatever the outcome.
bool ConvertDatabase(ConversionWindow& window);

// The new genre id of an old one, from modGlobal::GenreIdMap; 1 when no entry holds it.
int32_t GetNewGenreId(int32_t oldGenreId);

// The program's error text: the description, " (", the number, ",", the last system error
// code (0 when none), ")".
std::string errorMessage(const db::DbError& error);

}  // namespace convert
