// read_fuzz.cpp -- libFuzzer target for the read side of the engine. The input is a whole
// database file: it is written to a scratch file (the engine opens files by path), then read
// completely through the JSON dump and through the recordset surface. A damaged file must
// come back as data or as a DbError / DbException; anything else (a crash, a sanitizer report,
// another exception type, a hang, a huge allocation) is a finding.
//
// Build and run: see build.sh beside this file.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

namespace {

// Pages are at most this long; inputs are padded to a whole number of them.
constexpr size_t kLargestPage = 4096;

const std::string& scratchPath() {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    std::string p = std::string(dir && *dir ? dir : "/tmp") + "/read_fuzz_" +
                    std::to_string(::getpid()) + ".mdb";
    return p;
  }();
  return path;
}

void writeScratch(const uint8_t* data, size_t size) {
  int fd = ::open(scratchPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

// The lower layers, as the dump uses them.
void readWithDump(const std::string& path) {
  std::unique_ptr<db::PageFile> file;
  if (!db::PageFile::open(path, &file).ok()) return;
  db::Catalog catalog;
  if (!db::Catalog::load(*file, &catalog).ok()) return;

  std::ostream nullOut(nullptr);  // badbit: every write is dropped
  const std::vector<db::CatalogEntry> tables = catalog.userTables();
  if (db::dumpJson(*file, catalog, "", nullOut).ok()) return;
  // The whole dump stops at the first damaged table; read the others one by one.
  for (const db::CatalogEntry& e : tables) {
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

void readFields(db::Recordset& rs) {
  for (int i = 0; i < rs.FieldCount(); ++i) {
    db::Field f = rs.FieldAt(i);
    db::Variant v = f.Value.get();
    std::string text;
    (void)v.toText(&text);
    (void)db::jsonValue(v);
  }
}

// The surface the program calls.
void readWithRecordsets(const std::string& path) {
  std::shared_ptr<db::Database> database;
  try {
    database = db::DBEngine().OpenDatabase(path);
  } catch (const db::DbException&) {
    return;
  }
  std::vector<std::string> names;
  try {
    names = database->tableNames();
  } catch (const db::DbException&) {
    return;
  }
  for (const std::string& table : names) {
    try {
      (void)database->tableDef(table);
      auto rs = database->OpenRecordset("SELECT * FROM [" + table + "]", db::dbOpenSnapshot);
      while (!rs->EOF_()) {
        readFields(*rs);
        rs->MoveNext();
      }
      if (rs->RecordCount() > 0) {
        rs->MoveLast();
        readFields(*rs);
        rs->MoveFirst();
        readFields(*rs);
        (void)rs->RecordCount();
      }
      rs->Close();
    } catch (const db::DbException&) {
      // The next table may still be readable.
    }
  }
  database->Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = scratchPath();
  if (size % kLargestPage != 0) {
    // As given: a size that is no whole number of pages must be refused cleanly.
    writeScratch(data, size);
    std::unique_ptr<db::PageFile> file;
    (void)db::PageFile::open(path, &file);
    // Then padded with zeros, so that mutations that insert or remove bytes still reach the
    // readers behind the size check.
    std::vector<uint8_t> padded(data, data + size);
    padded.resize((size / kLargestPage + 1) * kLargestPage, 0);
    writeScratch(padded.data(), padded.size());
  } else {
    writeScratch(data, size);
  }
  readWithDump(path);
  readWithRecordsets(path);
  return 0;
}
