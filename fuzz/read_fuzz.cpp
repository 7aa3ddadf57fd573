// read_fuzz.cpp -- libFuzzer target for the read side of the engine. The input is a whole
// database file: it is written to a scratch file (the engine opens files by path), then read
// completely through the JSON dump and through the recordset surface. A damaged file must
// come back as data or as a DbError / DbException; anything else (a crash, a sanitizer report,
// another exception type, a hang, a huge allocation) is a finding. Built and run by scripts/fuzz.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "db/catalog.h"
#include "db/error.h"
#include "db/json_dump.h"
#include "db/page_file.h"
#include "db/recordset.h"
#include "db/table_def.h"
#include "db/table_scan.h"
#include "db/value.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/jet_mutator.h"

namespace {

// The lower layers, as the dump uses them.
void readWithDump(const std::string& path) {
  std::unique_ptr<db::PageFile> file;
  if (!db::PageFile::open(path, &file).ok()) return;
  db::Catalog catalog;
  if (!db::Catalog::load(*file, &catalog).ok()) return;

  std::ostream nullOut(nullptr);  // badbit: every write is dropped
  if (db::dumpJson(*file, catalog, "", nullOut).ok()) return;
  // The whole dump stops at the first damaged table; read the others one by one.
  for (const db::CatalogEntry& e : catalog.userTables()) {
    (void)db::dumpJson(*file, catalog, e.name, nullOut);
  }
  // Every table the catalogue lists, linked and system ones included, through the scan.
  for (const db::CatalogEntry& e : catalog.tables()) {
    if (!e.isLocalTable()) continue;
    db::TableDef def;
    if (!db::readTableDef(*file, e.tdefPage(), e.name, &def).ok()) continue;
    db::TableScan scan(*file, def);
    if (!scan.rewind().ok()) continue;
    std::vector<db::Variant> values;
    for (bool found = true;;) {
      if (!scan.next(&found).ok() || !found) break;
      if (!db::readRowValues(*file, def, scan, &values).ok()) break;
    }
  }
}

// SELECT * FROM [t] WHERE c1 ... OR c2 ... over the columns whose names fit in brackets;
// empty when there are none.
std::string whereEveryColumn(const db::TableDef& def) {
  std::string where;
  for (const db::ColumnDef& c : def.columns) {
    if (c.name.empty() || c.name.find(']') != std::string::npos) continue;
    where += (where.empty() ? " WHERE [" : " OR [") + c.name + "]";
    switch (c.typeCode) {
      case 0x0A: case 0x0C: where += " >= 'M'"; break;
      case 0x09: case 0x0B: case 0x0F: where += " IS NULL"; break;
      default: where += " < 1.5"; break;
    }
  }
  if (where.empty() || def.name.find(']') != std::string::npos) return {};
  return "SELECT * FROM [" + def.name + "]" + where;
}

// The surface the program calls.
void readWithRecordsets(const std::string& path) {
  std::shared_ptr<db::Database> database;
  std::vector<std::string> names;
  try {
    database = db::DBEngine().OpenDatabase(path);
    names = database->tableNames();
  } catch (const db::DbException&) {
    return;
  }
  for (const std::string& table : names) {
    try {
      (void)database->tableDef(table);
      auto rs = database->OpenRecordset("SELECT * FROM [" + table + "]", db::dbOpenSnapshot);
      fuzz::readAll(*rs);
      if (rs->RecordCount() > 0) {
        rs->MoveLast();
        fuzz::readFields(*rs);
        rs->MoveFirst();
        fuzz::readFields(*rs);
        (void)rs->RecordCount();
      }
      rs->Close();
    } catch (const db::DbException&) {
      // The next table may still be readable.
    }
    try {
      // A condition on every column, so that each damaged value is also compared.
      const std::string sql = whereEveryColumn(database->tableDef(table));
      if (!sql.empty()) {
        auto rs = database->OpenRecordset(sql, db::dbOpenDynaset);
        while (!rs->EOF_()) rs->MoveNext();
        (void)rs->RecordCount();
      }
    } catch (const db::DbException&) {
    }
  }
  database->Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzz::scratchPath("read_fuzz", "input.mdb");
  // As given: a size that is no whole number of pages must be refused cleanly.
  fuzz::writeScratch(path, data, size);
  std::unique_ptr<db::PageFile> file;
  (void)db::PageFile::open(path, &file);
  file.reset();
  fuzz::writeWholePages(path, data, size);
  readWithDump(path);
  readWithRecordsets(path);
  ::unlink(path.c_str());
  return 0;
}
