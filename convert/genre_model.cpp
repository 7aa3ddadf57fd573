// genre_model.cpp -- names work in UTF-16 code units, the units a name's length is counted in
// by the prompt and by the derivation, and letter case is compared through the engine's
// upper-casing so that "Strategy" and "STRATEGY" are one parent here as in the database.
#include "convert/genre_model.h"

#include <algorithm>

#include "db/recordset.h"
#include "db/text_codec.h"

namespace convert {
namespace {

std::u16string trimSpaces(std::u16string s) {
  const size_t first = s.find_first_not_of(u' ');
  if (first == std::u16string::npos) return {};
  const size_t last = s.find_last_not_of(u' ');
  return s.substr(first, last - first + 1);
}

void replaceAll(std::u16string& s, std::u16string_view what, std::u16string_view with) {
  for (size_t at = s.find(what); at != std::u16string::npos; at = s.find(what, at + with.size())) {
    s.replace(at, what.size(), with);
  }
}

bool enclosed(const std::u16string& s) {
  return s.size() >= 2 && ((s.front() == u'[' && s.back() == u']') ||
                           (s.front() == u'(' && s.back() == u')'));
}

}  // namespace

bool SameName(const std::string& a, const std::string& b) {
  return db::upperCase(a) == db::upperCase(b);
}

std::vector<GenreEntry> LoadOldGenres(const std::string& sourcePath) {
  auto source = db::DBEngine().OpenDatabase(sourcePath);
  auto rs = source->OpenRecordset("SELECT * FROM Genres WHERE GE_Id <> 1", db::dbOpenSnapshot);
  std::vector<GenreEntry> out;
  if (!rs->EOF_()) {
    rs->MoveFirst();
    for (; !rs->EOF_(); rs->MoveNext()) {
      const db::Variant name = rs->Collect("Genre");
      if (name.isNull()) {
        throw db::DbException(db::makeError(db::DbErrorNumber::InvalidUseOfNull, "Invalid use of Null"));
      }
      out.push_back({name.text(), rs->Collect("GE_Id").int32()});
    }
  }
  rs->Close();
  source->Close();
  return out;
}

std::string DeriveSubGenreName(const std::string& s0, const std::string& parent) {
  const std::u16string original = db::utf8ToUtf16(s0);
  const std::u16string p = db::utf8ToUtf16(parent);
  std::u16string s = original;
  if (s.size() > p.size() + 1 &&
      db::upperCase(db::utf16ToUtf8(s.substr(0, p.size()))) == db::upperCase(parent)) {
    s = trimSpaces(s.substr(p.size()));
    if (s.empty()) {
      s = original;
    } else if (enclosed(s)) {
      s = s.substr(1, s.size() - 2);
      if (s.empty()) s = original;
    }
  }
  replaceAll(s, u"\"", u"");
  replaceAll(s, u"Miscellaneous", u"Misc");
  return db::utf16ToUtf8(s);
}

std::string SuggestedParentName(const std::string& oldName) {
  const std::u16string s = trimSpaces(db::utf8ToUtf16(oldName));
  if (s.size() >= 2 && (s.back() == u')' || s.back() == u']')) {
    const char16_t open = s.back() == u')' ? u'(' : u'[';
    const size_t at = s.rfind(open);
    if (at != std::u16string::npos && at > 0 && at + 2 < s.size()) {
      const std::u16string parent = trimSpaces(s.substr(0, at));
      const std::u16string sub = trimSpaces(s.substr(at + 1, s.size() - at - 2));
      if (!parent.empty() && !sub.empty()) return db::utf16ToUtf8(parent);
    }
  }
  return db::utf16ToUtf8(s);
}

bool IsBlankName(const std::string& name) {
  for (const char16_t c : db::utf8ToUtf16(name)) {
    const bool blank = c == u' ' || c == u'\t' || c == u'\u00A0' || c == u'\u3000' ||
                       (c >= u'\u2000' && c <= u'\u200B');
    if (!blank) return false;
  }
  return true;
}

std::string PromptSafeName(const std::string& name) {
  std::u16string s = db::utf8ToUtf16(name);
  for (const char* c = kInvalidNameChars; *c; ++c) {
    const char16_t bad[2] = {static_cast<char16_t>(*c), 0};
    replaceAll(s, bad, u"");
  }
  if (s.size() > static_cast<size_t>(kMaxNameLength)) s.resize(kMaxNameLength);
  // A cut through a surrogate pair would leave half a character.
  if (!s.empty() && s.back() >= 0xD800 && s.back() <= 0xDBFF) s.pop_back();
  std::string out = db::utf16ToUtf8(s);
  if (IsBlankName(out)) return "Other";
  if (SameName(out, kUncategorized)) return "Uncategorized";
  return out;
}

std::string ParentNameFault(const std::string& name) {
  const std::u16string s = db::utf8ToUtf16(name);
  if (s.empty()) return "a parent genre needs a name";
  if (IsBlankName(name)) return "a parent genre's name cannot be only blanks";
  if (s.size() > static_cast<size_t>(kMaxNameLength)) {
    return "a parent genre's name has at most " + std::to_string(kMaxNameLength) + " characters";
  }
  if (name.find_first_of(kInvalidNameChars) != std::string::npos) {
    return "a parent genre's name cannot hold a double quote";
  }
  if (SameName(name, kUncategorized)) return std::string("\"") + kUncategorized + "\" is taken";
  return {};
}

std::string SubNameFault(const std::string& name) {
  if (name.empty()) return "a sub genre needs a name";
  if (name.find_first_of(kInvalidNameChars) != std::string::npos) {
    return "a sub genre's name cannot hold a double quote";
  }
  if (db::utf16Length(name) > kMaxSubNameLength) {
    return "a sub genre's name has at most " + std::to_string(kMaxSubNameLength) + " characters";
  }
  return {};
}

std::string UniqueSubGenreName(const std::string& derived, const GenreEntry& old,
                               const std::function<bool(const std::string&)>& taken) {
  // Two old genres may give one sub name ("Quiz (War)" and "War" under "Quiz"): the second
  // keeps its whole old name, or failing that a number, as Rename would insist.
  std::string name = derived;
  if (taken(name) || !SubNameFault(name).empty()) {
    std::u16string whole = trimSpaces(db::utf8ToUtf16(old.name));
    replaceAll(whole, u"\"", u"");
    name = db::utf16ToUtf8(whole);
  }
  if (!SubNameFault(name).empty()) name = "Genre " + std::to_string(old.oldId);
  const std::string base = name;
  for (int n = 2; taken(name); ++n) name = base + " (" + std::to_string(n) + ")";
  return name;
}

std::vector<ParentGenre> SuggestGenreMapping(const std::vector<GenreEntry>& oldGenres,
                                            const std::vector<ParentGenre>& existing) {
  std::vector<ParentGenre> parents = existing;
  const size_t given = parents.size();
  for (const GenreEntry& genre : oldGenres) {
    const std::string parentName = PromptSafeName(SuggestedParentName(genre.name));
    auto parent = std::find_if(parents.begin(), parents.end(),
                               [&](const ParentGenre& p) { return SameName(p.name, parentName); });
    if (parent == parents.end()) parent = parents.insert(parents.end(), {parentName, 0, {}});
    auto taken = [&](const std::string& name) {
      return std::any_of(parent->subs.begin(), parent->subs.end(),
                         [&](const GenreEntry& s) { return SameName(s.name, name); });
    };
    parent->subs.push_back(
        {UniqueSubGenreName(DeriveSubGenreName(genre.name, parent->name), genre, taken), genre.oldId});
  }
  // The existing parents keep only what the suggestion adds to them.
  for (size_t i = 0; i < given; ++i) {
    parents[i].subs.erase(parents[i].subs.begin(),
                          parents[i].subs.begin() + static_cast<std::ptrdiff_t>(existing[i].subs.size()));
  }
  return parents;
}

GenreIdMap WriteGenreTables(const std::string& destinationPath, std::vector<ParentGenre>& parents) {
  auto destination = db::DBEngine().OpenDatabase(destinationPath);
  GenreIdMap map = {{1, 1}};
  {
    auto rs = destination->OpenRecordset("SELECT * FROM PGenres", db::dbOpenDynaset);
    for (ParentGenre& parent : parents) {
      rs->AddNew();
      parent.newId = rs->Collect("PG_Id").int32();
      rs->Collect("ParentGenre") = db::Variant(parent.name);
      rs->Update();
    }
    rs->Close();
  }
  {
    auto rs = destination->OpenRecordset("SELECT * FROM Genres", db::dbOpenDynaset);
    for (const ParentGenre& parent : parents) {
      for (const GenreEntry& sub : parent.subs) {
        rs->AddNew();
        rs->Collect("PG_Id") = db::Variant(parent.newId);
        rs->Collect("Genre") = db::Variant(sub.name);
        const int32_t newId = rs->Collect("GE_Id").int32();
        rs->Update();
        map.push_back({sub.oldId, newId});
      }
    }
    rs->Close();
  }
  destination->Close();
  return map;
}

GenreIdMap WriteSuggestedGenres(const std::string& sourcePath, const std::string& destinationPath) {
  std::vector<ParentGenre> parents = SuggestGenreMapping(LoadOldGenres(sourcePath));
  return WriteGenreTables(destinationPath, parents);
}

int32_t GetNewGenreId(const GenreIdMap& map, int32_t oldGenreId) {
  for (const GenreIdPair& entry : map) {
    if (entry.oldId == oldGenreId) return entry.newId;
  }
  return 1;
}

}  // namespace convert
