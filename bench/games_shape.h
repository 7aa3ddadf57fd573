// games_shape.h -- a table of the shape the converter writes most rows into, for benchmarks:
// the games catalogue's destination table with its 42 converted columns, an autonumber key and
// the indexes a catalogue needs, and a source of realistic rows for it.
#pragma once

#include <random>
#include <string>

#include "db/recordset.h"

namespace bench {

inline db::TableSchema gamesSchema() {
  using T = db::ColumnType;
  db::TableSchema s;
  s.name = "Games";
  auto add = [&](const char* name, T type, uint16_t size = 0) {
    db::ColumnSpec c;
    c.name = name;
    c.type = type;
    c.size = size;
    c.allowZeroLength = true;
    s.columns.push_back(c);
  };
  add("GA_Id", T::Long);
  s.columns.back().autoNumber = true;
  add("Name", T::Text, 255); add("YE_Id", T::Long); add("Comment", T::Memo);
  add("FileName", T::Text, 255); add("FilenameIndex", T::Integer); add("FileToRun", T::Text, 255);
  add("ScrnShotFileName", T::Text, 255); add("MU_Id", T::Long); add("GE_Id", T::Long);
  add("PU_Id", T::Long); add("DI_Id", T::Long); add("CR_Id", T::Integer);
  add("SidFileName", T::Text, 255); add("DateLastPlayed", T::Text, 50); add("TimesPlayed", T::Long);
  add("CCode", T::Integer); add("HighScore", T::Text, 50); add("FA", T::Boolean);
  add("SA", T::Boolean); add("Fav", T::Boolean); add("PR_Id", T::Integer); add("LA_Id", T::Integer);
  add("Extras", T::Boolean); add("Classic", T::Boolean); add("Rating", T::Integer);
  add("V_LoadingScreen", T::Boolean); add("V_HighScoreSaver", T::Boolean);
  add("V_IncludedDocs", T::Boolean); add("V_PalNTSC", T::Integer); add("V_TrueDriveEmu", T::Boolean);
  add("V_Length", T::Integer); add("V_Trainers", T::Integer); add("PlayersFrom", T::Integer);
  add("PlayersTo", T::Integer); add("PlayersSim", T::Boolean); add("V_Comment", T::Memo);
  add("Adult", T::Boolean); add("MemoText", T::Memo); add("Prequel", T::Integer);
  add("Sequel", T::Integer); add("Related", T::Integer); add("Control", T::Integer);
  s.indexes = {{"PrimaryKey", {{"GA_Id", true}}, true, false, false, false},
               {"GE_Id", {{"GE_Id", true}}, false, false, false, false},
               {"PU_Id", {{"PU_Id", true}}, false, false, false, false},
               {"YE_Id", {{"YE_Id", true}}, false, false, false, false}};
  return s;
}

// Fills the new record of `rs` (after AddNew) as the conversion does, with made-up values.
inline void fillGame(db::Recordset& rs, std::mt19937& rng, int i) {
  using db::Variant;
  static const char* kWords[] = {"Space", "Quest", "Dragon", "Turbo", "Castle", "Ninja",
                                 "Galaxy", "Racer", "Shadow", "Kingdom", "Pirate", "Zone"};
  std::string name = std::string(kWords[rng() % 12]) + " " + kWords[rng() % 12];
  if (rng() % 3 == 0) name += " " + std::to_string(i % 7 + 2);
  rs.Collect("Name") = Variant(name);
  rs.Collect("YE_Id") = Variant(static_cast<int32_t>(1982 + rng() % 12));
  if (rng() % 4 == 0) rs.Collect("Comment") = Variant(std::string(40 + rng() % 400, 'c'));
  rs.Collect("FileName") = Variant(name + ".t64");
  rs.Collect("FilenameIndex") = Variant(static_cast<int32_t>(rng() % 3));
  rs.Collect("FileToRun") = Variant("");
  rs.Collect("ScrnShotFileName") = Variant(name + ".png");
  rs.Collect("MU_Id") = Variant(static_cast<int32_t>(rng() % 500));
  rs.Collect("GE_Id") = Variant(static_cast<int32_t>(rng() % 150 + 1));
  rs.Collect("PU_Id") = Variant(static_cast<int32_t>(rng() % 800));
  rs.Collect("DI_Id") = Variant(static_cast<int32_t>(rng() % 5));
  rs.Collect("CR_Id") = Variant(int16_t{8});
  rs.Collect("SidFileName") = Variant(name + ".sid");
  rs.Collect("DateLastPlayed") = Variant("");
  rs.Collect("TimesPlayed") = Variant(static_cast<int32_t>(rng() % 40));
  rs.Collect("CCode") = Variant(int16_t{4});
  rs.Collect("HighScore") = Variant(std::to_string(rng() % 100000));
  for (const char* flag : {"FA", "SA", "Fav", "Extras", "Classic", "V_LoadingScreen",
                           "V_HighScoreSaver", "V_IncludedDocs", "V_TrueDriveEmu"}) {
    rs.Collect(flag) = Variant(false);
  }
  rs.Collect("PR_Id") = Variant(int16_t{1});
  rs.Collect("LA_Id") = Variant(int16_t{1});
  rs.Collect("Rating") = Variant(int16_t{0});
  rs.Collect("V_PalNTSC") = Variant(int16_t{3});
  rs.Collect("V_Length") = Variant(int16_t{0});
  rs.Collect("V_Trainers") = Variant(static_cast<int32_t>(rng() % 4));
  rs.Collect("PlayersFrom") = Variant(int16_t{1});
  rs.Collect("PlayersTo") = Variant(int16_t{2});
  rs.Collect("PlayersSim") = Variant(false);
  rs.Collect("V_Comment") = Variant("");
  rs.Collect("Adult") = Variant(false);
  rs.Collect("MemoText") = Variant("");
  for (const char* n : {"Prequel", "Sequel", "Related", "Control"}) rs.Collect(n) = Variant(int16_t{0});
}

}  // namespace bench
