// genre_phase.h -- the genre phase as the program shows it: the genre dialog, modal over the
// main window, working on the two files the main window's labels name.
#pragma once

class frmMain;

namespace app {

// Loads the genre dialog afresh, shows it modally and returns when it has closed. A dialog that
// cannot read the source's genres throws db::DbException, which the run reports.
void runGenreDialog(frmMain& owner);

}  // namespace app
