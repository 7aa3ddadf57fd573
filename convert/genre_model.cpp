// genre_model.cpp -- names work in UTF-16 code units, the units a name's length is counted in
// by the prompt and by the derivation, and letter case is compared through the engine's
// upper-casing so that "Strategy" and "STRATEGY" are one parent here as in the database.
#include "convert/genre_model.h"

#include "db/recordset.h"
#include "db/text_codec.h"
#include "shared/mod_global.h"

namespace genres {
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
  if (trimSpaces(s).empty()) return "Other";
  if (SameName(out, kUncategorized)) return "Uncategorized";
  return out;
}

std::string ParentNameFault(const std::string& name) {
  const std::u16string s = db::utf8ToUtf16(name);
  if (s.empty()) return "a parent genre needs a name";
  if (s.size() > static_cast<size_t>(kMaxNameLength)) {
    return "a parent genre's name has at most " + std::to_string(kMaxNameLength) + " characters";
  }
  if (name.find_first_of(kInvalidNameChars) != std::string::npos) {
    return "a parent genre's name cannot hold a double quote";
  }
  if (SameName(name, kUncategorized)) return std::string("\"") + kUncategorized + "\" is taken";
  return {};
}

std::vector<ParentGenre> SuggestGenreMapping(const std::vector<GenreEntry>& oldGenres,
                                            const std::vector<std::string>& existing) {
  std::vector<ParentGenre> parents;
  for (const std::string& name : existing) parents.push_back({name, 0, {}});
  for (const GenreEntry& genre : oldGenres) {
    const std::string parentName = PromptSafeName(SuggestedParentName(genre.name));
    ParentGenre* parent = nullptr;
    for (ParentGenre& p : parents) {
      if (SameName(p.name, parentName)) {
        parent = &p;
        break;
      }
    }
    if (!parent) {
      parents.push_back({parentName, 0, {}});
      parent = &parents.back();
    }
    parent->subs.push_back({DeriveSubGenreName(genre.name, parent->name), genre.oldId});
  }
  return parents;
}

void WriteGenreTables(const std::string& destinationPath, std::vector<ParentGenre>& parents) {
  auto destination = db::DBEngine().OpenDatabase(destinationPath);
  modGlobal::GenreIdMap.assign(1, {1, 1});
  modGlobal::GenreIdMapCount = 1;
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
        modGlobal::GenreIdMap.push_back({sub.oldId, newId});
        ++modGlobal::GenreIdMapCount;
      }
    }
    rs->Close();
  }
  destination->Close();
}

}  // namespace genres
