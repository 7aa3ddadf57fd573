// games_shape.h -- the table the converter writes most rows into, for benchmarks: the
// destination's Games table with its 42 converted columns, and a source of realistic rows.
#pragma once

#include <random>
#include <string>

#include "db/recordset.h"
#include "schema/schema_doc.h"

namespace bench {

// The destination's Games table, as the description of the new catalogue's tables has it.
inline db::TableSchema gamesSchema() {
  return schema::loadSchemaDocument(LV_SCHEMA_DOC).table("Games")->table;
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
