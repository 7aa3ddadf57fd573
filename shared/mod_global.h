// mod_global.h -- the state that crosses the windows: the outcome of the genre dialog and the
// genre translation its OK builds, and the variables through which a caller drives the name
// prompt. Variables only, and the windows' alone: the run below them is handed what it needs
// (the genre phase returns the translation, the prompt's callers pass a request).
#pragma once

#include <string>

#include "convert/genre_model.h"

namespace modGlobal {

// True while the genre phase has not completed: the genre dialog sets it when it loads and
// clears it as the last step of a finished OK; its Abort sets it again.
inline bool ConversionAborted = true;

// What the genre dialog's OK wrote, for the window that showed it.
inline convert::GenreIdMap GenreIdMap;

// The name prompt's contract: the caller sets all of these before showing it and uses
// InputResult only when InputOK is true. Texts are UTF-8.
inline std::string InputTitle;
inline std::string InputPrompt;
inline std::string InputDefault;
inline std::string InputOKCaption;
inline std::string InputCancelCaption;
inline std::string InputInvalidChars;
inline int InputMaxLength = 0;
inline bool InputAllowEmpty = false;
inline std::string InputResult;
inline bool InputOK = false;
// Shows what is typed as dots, for a password. Not one of the prompt's own variables: a caller
// that sets it sets it back to false once the prompt has closed.
inline bool InputMasked = false;

}  // namespace modGlobal
