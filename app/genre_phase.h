// genre_phase.h -- the genre phase as the program shows it: the genre dialog, modal over the
// main window, working on the two files the main window's labels name.
#pragma once

#include <optional>

#include "convert/genre_model.h"

namespace app {

class frmMain;

// Loads the genre dialog afresh, shows it modally and returns when it has closed: the genre id
// map its OK wrote, or nothing when it closed any other way. A dialog that cannot read the
// source's genres throws db::DbException, which the run reports.
std::optional<convert::GenreIdMap> runGenreDialog(frmMain& owner);

}  // namespace app
