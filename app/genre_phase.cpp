#include "app/genre_phase.h"

#include "app/frm_main.h"
#include "genres/frm_genres.h"
#include "shared/mod_global.h"

namespace app {

std::optional<convert::GenreIdMap> runGenreDialog(frmMain& owner) {
  {
    genres::frmGenres dialog(owner.sourcePath(), owner.workPath(), &owner);
    dialog.exec();
  }
  // The dialog leaves its outcome where its design puts it, in the windows' globals.
  if (modGlobal::ConversionAborted) return std::nullopt;
  return modGlobal::GenreIdMap;
}

}  // namespace app
