// mod_global.h -- the state that crosses windows: the outcome of the genre dialog and the
// genre translation it builds for the games, and the variables through which a caller drives
// the name prompt. Variables only; the windows and the run own the behaviour.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modGlobal {

// True while the genre phase has not completed: the genre dialog sets it when it loads and
// clears it as the last step of a finished OK.
inline bool ConversionAborted = true;

// Old genre id (the source's GE_Id) to new genre id (the destination's GE_Id).
struct GenreIdPair {
  int32_t oldId = 0;
  int32_t newId = 0;
};
// Valid entries are 0 .. GenreIdMapCount - 1; entry 0 is always old 1 -> new 1.
inline std::vector<GenreIdPair> GenreIdMap;
inline int32_t GenreIdMapCount = 0;

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
