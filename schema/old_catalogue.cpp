#include "schema/old_catalogue.h"

namespace schema {
namespace {

using T = db::ColumnType;

db::ColumnDesign col(const char* name, T type, uint16_t size = 0) {
  db::ColumnDesign c;
  c.name = name;
  c.type = type;
  c.size = size;
  // The old release let every text column hold "".
  c.allowZeroLength = type == T::Text || type == T::Memo;
  return c;
}

db::IndexDesign primaryKey(const char* column) {
  return {"PrimaryKey", {{column, true}}, true, false, false, false};
}

// Access indexed every column whose name ends in "Id" as the tables were designed.
db::IndexDesign plainIndex(const char* column) {
  return {column, {{column, true}}, false, false, false, false};
}

}  // namespace

std::vector<db::TableSchema> oldCatalogueSchema() {
  enum { kDifficulty, kPublishers, kMusicians, kMusic, kGenres, kGames, kTableCount };
  std::vector<db::TableSchema> s(kTableCount);
  s[kDifficulty] = {
      "Difficulty", {col("DI_Id", T::Long), col("Difficulty", T::Text, 50)}, {primaryKey("DI_Id")}};
  s[kPublishers] = {
      "Publishers", {col("PU_Id", T::Long), col("Publisher", T::Text, 255)}, {primaryKey("PU_Id")}};
  s[kMusicians] = {"Musicians",
                   {col("MU_Id", T::Long), col("Name", T::Text, 255), col("Country", T::Text, 50),
                    col("Born", T::Integer), col("Photo", T::Text, 255)},
                   {primaryKey("MU_Id")}};
  s[kMusic] = {"Music",
               {col("SI_Id", T::Long), col("Name", T::Text, 255), col("Filename", T::Text, 255),
                col("MU_Id", T::Long)},
               {primaryKey("SI_Id"), plainIndex("MU_Id")}};
  s[kMusic].columns[0].autoNumber = true;
  s[kGenres] = {
      "Genres", {col("GE_Id", T::Long), col("Genre", T::Text, 50)}, {primaryKey("GE_Id")}};
  s[kGenres].columns[1].required = true;
  s[kGames] = {"Games",
               {col("GA_Id", T::Long), col("Name", T::Text, 255), col("Year Published", T::Integer),
                col("Personal Comment", T::Memo), col("FileName", T::Text, 255),
                col("Filename Index", T::Long), col("Screenshot FileName", T::Text, 255),
                col("MU_Id", T::Long), col("GE_Id", T::Long), col("PU_Id", T::Long),
                col("DI_Id", T::Long), col("Music FileName", T::Text, 255),
                col("DateLastPlayed", T::Text, 50), col("TimesPlayed", T::Long),
                col("HighScore", T::Text, 50), col("Trained", T::Integer), col("PL_Id", T::Integer),
                col("PRG", T::Text, 255), col("VicePort1", T::Integer), col("VicePort2", T::Integer),
                col("DocFile", T::Text, 255)},
               {primaryKey("GA_Id"), plainIndex("MU_Id"), plainIndex("GE_Id"), plainIndex("PU_Id"),
                plainIndex("DI_Id"), plainIndex("PL_Id")}};
  s[kGames].columns[0].autoNumber = true;
  s[kGames].columns[8].required = true;
  return s;
}

}  // namespace schema
