// frm_genres_shots.h -- the genre dialog's and the name prompt's pictures for lvscreenshots.
#pragma once

namespace app {
class ShotContext;
}

namespace genres {

// frmGenres-loaded.png, frmGenres-mapped.png and frmInputBox.png.
void shootGenreDialogs(app::ShotContext& shots);

}  // namespace genres
