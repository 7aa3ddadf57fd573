// test_support.h -- what the engine's tests share: where the fixtures are, scratch files, and
// a full read of a database through the program's surface.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db/catalog.h"
#include "db/check.h"
#include "db/data_page.h"
#include "db/format.h"
#include "db/page_file.h"
#include "db/recordset.h"
#include "db/schema.h"
#include "db/table_def.h"
#include "db/value.h"

namespace testing_support {

// The folder of Access-made fixture files, or empty when this checkout has none beside it.
std::filesystem::path fixturesDir();

// Every Access-made fixture, and the blank databases last; for INSTANTIATE_TEST_SUITE_P, with
// the test named after the file.
inline const std::vector<const char*> kAccessFixtures = {
    "nwind.mdb",           "testIndexCodesV1997.mdb", "testV1997.mdb",
    "test2V2003.mdb",      "testUnicodeCompV2003.mdb", "compIndexTestV2000.mdb",
    "overflowTestV2003.mdb", "fixedNumericTestV2003.mdb", "blankJet4.mdb", "blankAdoxJet4.mdb"};
inline std::string fixtureTestName(const ::testing::TestParamInfo<const char*>& info) {
  const std::string name = info.param;
  return name.substr(0, name.find('.'));
}

// Skips the calling test when the fixture is absent; returns its path otherwise.
#define REQUIRE_FIXTURE(var, name)                                                    \
  const std::filesystem::path var = ::testing_support::fixturesDir() / (name);        \
  if (::testing_support::fixturesDir().empty() || !std::filesystem::exists(var)) {   \
    GTEST_SKIP() << "fixture " << (name) << " is not available beside this checkout"; \
  }

// A fresh folder for one test, removed when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path file(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::vector<uint8_t> readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::string readText(const std::filesystem::path& path);
void writeText(const std::filesystem::path& path, const std::string& text);
// Bytes as upper-case hex pairs separated by blanks: "7F 80 00".
std::string hexOf(const std::vector<uint8_t>& bytes);

// A file opened read-only through the page layer, its catalogue loaded; a failure fails the
// calling test.
struct OpenedFile {
  explicit OpenedFile(const std::filesystem::path& path);
  db::TableDef table(const std::string& name) const;
  std::unique_ptr<db::PageFile> file;
  db::Catalog catalog;
};

// Where the row `where` names lies in the file, and its length; a failure fails the calling test.
size_t rowOffset(const db::PageFile& file, db::RowPointer where, size_t* length = nullptr);
// The slots of a table's rows that moved: each holds the pointer to where its row now lies.
std::vector<db::RowPointer> movedRows(const db::PageFile& file, const db::TableDef& table);

// The JSON lines lvdb dump prints: every user table, or the one named (system tables too).
std::string dumpJson(const std::filesystem::path& path, const std::string& table = "");

// Runs a shell command; its standard output, and its exit code in `exitCode`.
std::string runCommand(const std::string& command, int* exitCode = nullptr);
// A word for a shell command line: in single quotes, its own quotes escaped.
std::string shellQuoted(const std::string& word);
// Writes an old catalogue with lvsample (at `program`); a failure fails the calling test.
std::filesystem::path makeSample(const std::string& program, const std::filesystem::path& out,
                                 const std::string& options);

// mdbtools, the independent reader the tests compare with.
bool haveMdbTools();

// A table as mdb-export prints it: one vector per row, a field per column, std::nullopt for
// Null. Binary is upper-case hex; dates "YYYY-MM-DD HH:MM:SS".
using ExportedRow = std::vector<std::optional<std::string>>;
std::vector<ExportedRow> mdbExport(const std::filesystem::path& path, const std::string& table,
                                   std::vector<std::string>* header = nullptr);

// Rows as our reader gives them, through a snapshot on the query or on SELECT * of the table
// (a Variant per column).
using Rows = std::vector<std::vector<db::Variant>>;
Rows queryRows(db::Database& d, const std::string& sql);
Rows queryRows(const std::filesystem::path& path, const std::string& sql);
Rows readRows(db::Database& d, const std::string& table);
Rows readRows(const std::filesystem::path& path, const std::string& table);

// The file is sound, and our reader and mdb-export agree on every value of the table (when
// mdbtools is installed). Rows are matched by their first column, which must be a unique
// number: mdb-export returns a row that was moved after an update where its data now lies,
// not at its original place.
void expectMdbToolsAgree(const std::filesystem::path& path, const std::string& table);

// Memory running out, as the engine meets it: the `nth` allocation (operator new) from now on
// throws std::bad_alloc, counting those of this thread or those of every other (the threads
// that write pages back); once, then allocations succeed again. 0 disarms.
enum class AllocationThread { This, Others };
void failAllocation(uint64_t nth, AllocationThread where = AllocationThread::This);
// Whether the allocation armed last has failed.
bool allocationFailed();

// The Jet error number an action throws, 0 when it throws none.
int errorNumberOf(const std::function<void()>& action);
inline int number(db::DbErrorNumber n) { return static_cast<int>(n); }

// Adds `rows` rows to a table through a dynaset, `fill` setting the fields of row i.
using RowFiller = std::function<void(db::Recordset& rs, int i)>;
void addRows(db::Database& d, const std::string& table, int rows, const RowFiller& fill);
// A new database at `path` (in `format`) holding the table `schema` with `rows` rows so added.
std::shared_ptr<db::Database> createDatabaseWith(const std::filesystem::path& path, const db::TableSchema& schema,
                                                 int rows = 0, const RowFiller& fill = {},
                                                 const db::FormatDescriptor& format = db::kVersion4);

// A column for a test table: zero-length text allowed, so that tests set only what they test.
db::ColumnDesign column(const char* name, db::ColumnType type, uint16_t size = 0);
// A Long autonumber column, and a primary key on one column.
db::ColumnDesign counter(const char* name);
db::IndexDesign primaryKey(const std::string& column);

// The integrity check's report on a file; a file it cannot open or check fails the calling test.
db::CheckReport checkReport(const std::filesystem::path& path);
// Runs the integrity check on a file and fails the calling test with every problem it finds.
void expectSoundFile(const std::filesystem::path& path);

// The header of a file in `format` with the code page and sort order Access gives a new one.
inline db::DatabaseHeader headerFor(const db::FormatDescriptor& format) {
  return {.format = &format, .codePage = 1252, .sortOrder = db::kGeneralSortOrder, .password = {}};
}

}  // namespace testing_support

namespace db {
// Values in GoogleTest's failure messages as the engine's text forms, not as raw bytes.
inline void PrintTo(const Variant& v, std::ostream* os) { *os << (v.isNull() ? "Null" : v.text()); }
}  // namespace db
