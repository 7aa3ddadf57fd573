// sql_fuzz.cpp -- libFuzzer target for the SQL subset. The input is a statement's text. It is
// parsed, opened as a snapshot and as a dynaset (every field of every row read, a row added),
// and executed, each on a fresh copy of a small database whose table has a column of each kind
// the program uses, Nulls and an index. Whatever the text, each step ends with rows or a
// DbException; a statement that the engine carried out must leave a file the integrity check
// finds sound. Built and run by scripts/fuzz.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/recordset.h"
#include "db/sql.h"
#include "fuzz/fuzz_support.h"

namespace {

using db::ColumnType;
using db::Variant;

db::ColumnDesign column(const char* name, ColumnType type, uint16_t size = 0) {
  return {.name = name, .type = type, .size = size, .allowZeroLength = true};
}

// The database each input starts from, made once per process.
const std::string& baseDatabase() {
  static const std::string path = [] {
    const std::string p = fuzz::scratchPath("sql_fuzz", "base.mdb");
    std::filesystem::remove(p);
    auto d = db::DBEngine().CreateDatabase(p);
    db::TableSchema games{"Games",
                          {column("GA_Id", ColumnType::Long), column("Name", ColumnType::Text, 50),
                           column("Comment", ColumnType::Memo), column("Year", ColumnType::Integer),
                           column("Rating", ColumnType::Double), column("Played", ColumnType::DateTime),
                           column("Adult", ColumnType::Boolean), column("GE_Id", ColumnType::Long)},
                          {{"PrimaryKey", {{"GA_Id", true}}, true}, {"GE_Id", {{"GE_Id", true}}}}};
    d->createTable(games);
    auto rs = d->OpenRecordset("SELECT * FROM Games", db::dbOpenDynaset);
    for (int32_t i = 1; i <= 40; ++i) {
      rs->AddNew();
      rs->Collect("GA_Id") = Variant(i);
      if (i % 5) rs->Collect("Name") = Variant(i % 7 ? "Game " + std::to_string(i) : std::string());
      if (i % 3) rs->Collect("Comment") = Variant(std::string(static_cast<size_t>(i) * 97, 'c'));
      rs->Collect("Year") = Variant(static_cast<int16_t>(1980 + i % 12));
      if (i % 4) rs->Collect("Rating") = Variant(i / 3.0);
      rs->Collect("Adult") = Variant(i % 11 == 0);
      rs->Collect("GE_Id") = Variant(i % 6);
      rs->Update();
    }
    rs->Close();
    d->Close();
    return p;
  }();
  return path;
}

// The statement on a fresh copy of the base database; `step` says what is done with it. After
// a step that may write, whether it succeeded or failed, the file must be sound.
template <typename Step>
void onFreshCopy(bool writes, Step step) {
  static const std::string path = fuzz::scratchPath("sql_fuzz", "copy.mdb");
  std::filesystem::copy_file(baseDatabase(), path, std::filesystem::copy_options::overwrite_existing);
  try {
    auto d = db::DBEngine().OpenDatabase(path);
    step(*d);
    d->Close();
  } catch (const db::DbException&) {
  }
  if (writes && !fuzz::soundFile(path)) std::abort();  // the statement left a damaged file
  ::unlink(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  db::SqlStatement statement;
  (void)db::parseSql(text, &statement);
  onFreshCopy(false,
              [&](db::Database& d) { fuzz::readAll(*d.OpenRecordset(text, db::dbOpenSnapshot)); });
  onFreshCopy(true, [&](db::Database& d) {
    auto rs = d.OpenRecordset(text, db::dbOpenDynaset);
    fuzz::readAll(*rs);
    rs->AddNew();
    for (int i = 0; i < rs->FieldCount(); ++i) {
      try {
        rs->FieldAt(i).Value = Variant(int32_t{1000 + i});
      } catch (const db::DbException&) {
      }
    }
    rs->Update();
  });
  onFreshCopy(true, [&](db::Database& d) { d.Execute(text); });
  return 0;
}
