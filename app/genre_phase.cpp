#include "app/genre_phase.h"

#include "app/frmMain.h"
#include "genres/frm_genres.h"

namespace app {

void runGenreDialog(frmMain& owner) {
  frmGenres dialog(owner.sourcePath(), owner.workPath(), &owner);
  dialog.exec();
}

}  // namespace app
