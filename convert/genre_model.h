// genre_model.h -- the genre restructuring without windows: old flat genres, the parents and
// sub genres a person (or the suggestion) makes of them, the names derived on the way, and the
// writing of the new genre tables and the genre id map.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace convert {

// An old genre as the source holds it, or a sub genre as it will be written: a name and the
// old genre id (the source's GE_Id) it stands for.
struct GenreEntry {
  std::string name;  // UTF-8
  int32_t oldId = 0;
};

// A parent genre with its sub genres in list order. newId is 0 until the tables are written,
// then the PG_Id the destination gave it.
struct ParentGenre {
  std::string name;
  int32_t newId = 0;
  std::vector<GenreEntry> subs;
};

// The parent entry that stands for the uncategorized genre; never written, never a name.
inline constexpr const char* kUncategorized = "[uncategorized]";
// The limits the name prompt puts on a name a person types.
inline constexpr int kMaxNameLength = 50;      // characters
// A sub genre's name may be longer: derived from an old genre, it is as long as the column.
inline constexpr size_t kMaxSubNameLength = 255;
inline constexpr const char* kInvalidNameChars = "\"";

// The old genres of a source, in the order the engine delivers them, all but GE_Id 1 (which
// always becomes the new genre 1). Throws db::DbException.
std::vector<GenreEntry> LoadOldGenres(const std::string& sourcePath);

// The sub genre name Set derives from an old genre name `s0` put under parent `parent`:
// the parent's name taken off the front (compared in upper case) when at least two characters
// follow it, then trimmed and stripped of a pair of enclosing brackets (() or []); double
// quotes removed; "Miscellaneous" (exact case) shortened to "Misc".
std::string DeriveSubGenreName(const std::string& s0, const std::string& parent);

// Whether two names are equal compared in upper case.
bool SameName(const std::string& a, const std::string& b);

// The name a sub genre derived as `derived` from the old genre `old` takes under a parent where
// `taken` tells the names its sub genres already use (compared in upper case): the derived name
// when it is free and can be written, else the old genre's whole name (trimmed, without double
// quotes), else "Genre N" for its old id; numbered " (2)", " (3)", ... until it is free.
std::string UniqueSubGenreName(const std::string& derived, const GenreEntry& old,
                               const std::function<bool(const std::string&)>& taken);

// The suggested mapping: a genre named "P (S)" or "P [S]" goes under parent P, any other under
// a parent of its own name; parents in order of first appearance, compared in upper case, the
// first spelling kept; parent names made to obey the prompt's limits; sub names derived as Set
// derives them from the genres' names as the source holds them, and never two alike under one
// parent (the later keeps its whole old name, or gets a number). Parents in `existing` (with
// the sub genres they hold) are reused, matched in upper case: the result holds them first,
// each with only the sub genres the suggestion adds, then the new parents.
std::vector<ParentGenre> SuggestGenreMapping(const std::vector<GenreEntry>& oldGenres,
                                            const std::vector<ParentGenre>& existing = {});

// The parent name the suggestion gives an old genre (before the prompt's limits are applied,
// see PromptSafeName).
std::string SuggestedParentName(const std::string& oldName);
// A name obeying the prompt's limits: no invalid characters, at most kMaxNameLength
// characters, not empty, not the uncategorized entry's name.
std::string PromptSafeName(const std::string& name);
// Whether a name holds nothing but blanks (spaces, tabs, no-break and other wide spaces).
bool IsBlankName(const std::string& name);
// Why a parent name breaks the prompt's limits or is only blanks, or "" when it is good.
std::string ParentNameFault(const std::string& name);
// Why a sub genre name cannot be written (empty, a double quote, too long), or "".
std::string SubNameFault(const std::string& name);

// The genre translation the games go through: old genre id (the source's GE_Id) to new genre
// id (the destination's GE_Id). Entry 0 is always old 1 -> new 1.
struct GenreIdPair {
  int32_t oldId = 0;
  int32_t newId = 0;
};
using GenreIdMap = std::vector<GenreIdPair>;

// Writes the parents into PGenres and their sub genres into Genres of the destination through
// a connection of its own, parents first in order, then sub genres grouped by parent; stores
// each parent's new PG_Id in its newId. Returns the genre id map: entry 0 1 -> 1, then one entry
// per sub genre in writing order. Throws db::DbException.
GenreIdMap WriteGenreTables(const std::string& destinationPath, std::vector<ParentGenre>& parents);

// The genre phase as the suggestion answers it, for the programs and tests that make no choice
// of their own: the source's genres grouped by SuggestGenreMapping and written into the
// destination. Throws db::DbException.
GenreIdMap WriteSuggestedGenres(const std::string& sourcePath, const std::string& destinationPath);

// The new genre id of an old one: the first entry that holds it, 1 when none does.
int32_t GetNewGenreId(const GenreIdMap& map, int32_t oldGenreId);

}  // namespace convert
