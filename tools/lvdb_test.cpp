// lvdb as a person runs it: its commands, its output and its exit codes.
#include <gtest/gtest.h>

#include "db/bytes.h"
#include "db/test_support.h"

namespace {

struct CommandResult {
  int exitCode = -1;
  std::string out;  // standard output and error
};

CommandResult lvdb(const std::string& args) {
  CommandResult r;
  r.out = testing_support::runCommand(testing_support::shellQuoted(LVDB_PATH) + " " + args + " 2>&1", &r.exitCode);
  return r;
}

TEST(LvdbTest, listsDescribesAndDumpsTables) {
  REQUIRE_FIXTURE(mdb, "nwind.mdb");
  const std::string quoted = testing_support::shellQuoted(mdb.string());
  const CommandResult tables = lvdb("tables " + quoted);
  EXPECT_EQ(tables.exitCode, 0);
  EXPECT_EQ(tables.out.substr(0, 21), "Categories\nCustomers\n");

  const CommandResult schema = lvdb("schema " + quoted + " categories");
  EXPECT_EQ(schema.exitCode, 0);
  EXPECT_NE(schema.out.find("TABLE Categories"), std::string::npos);
  EXPECT_NE(schema.out.find("CategoryID  Long  autonumber"), std::string::npos) << schema.out;
  EXPECT_NE(schema.out.find("INDEX PrimaryKey (CategoryID) PRIMARY KEY"), std::string::npos);
  EXPECT_EQ(schema.out.find("TABLE Customers"), std::string::npos);

  const CommandResult dump = lvdb("dump " + quoted + " Shippers");
  EXPECT_EQ(dump.exitCode, 0);
  EXPECT_EQ(dump.out.substr(0, 47), "{\"kind\":\"database\",\"format\":\"Jet3\",\"tables\":1}\n");
  EXPECT_EQ(std::count(dump.out.begin(), dump.out.end(), '\n'), 2 + 3);
}

TEST(LvdbTest, checkPrintsEachProblemThenASummaryAndExitsByWhatItFound) {
  REQUIRE_FIXTURE(mdb, "testV1997.mdb");
  const CommandResult clean = lvdb("check " + testing_support::shellQuoted(mdb.string()));
  EXPECT_EQ(clean.exitCode, 0) << clean.out;
  EXPECT_EQ(clean.out.substr(0, 4), "OK: ") << clean.out;
  EXPECT_NE(clean.out.find(" index entries checked\n"), std::string::npos) << clean.out;
  EXPECT_EQ(std::count(clean.out.begin(), clean.out.end(), '\n'), 1) << clean.out;

  // A copy whose Table1 claims one row more than it holds.
  testing_support::ScratchDir dir;
  const testing_support::OpenedFile f(mdb);
  const db::TableDef def = f.table("Table1");
  std::vector<uint8_t> bytes = testing_support::readBytes(mdb);
  db::writeU32(std::span<uint8_t>(bytes),
               size_t(def.tdefPage) * f.file->pageSize() + f.file->format().tdefRowCountOffset,
               def.rowCount + 1);
  testing_support::writeBytes(dir.file("miscounted.mdb"), bytes);
  const CommandResult damaged = lvdb("check " + testing_support::shellQuoted(dir.file("miscounted.mdb").string()));
  EXPECT_EQ(damaged.exitCode, 1);
  EXPECT_EQ(damaged.out, "Table 'Table1': its definition counts " + std::to_string(def.rowCount + 1) +
                             " rows, but " + std::to_string(def.rowCount) + " were found.\n"
                             "1 problem found\n");
}

TEST(LvdbTest, failuresSayWhyAndExitNonZero) {
  REQUIRE_FIXTURE(mdb, "testV1997.mdb");
  testing_support::ScratchDir dir;
  // Cut after page 8: the catalogue's rows (on page 18) are gone, which is no empty database.
  std::vector<uint8_t> bytes = testing_support::readBytes(mdb);
  bytes.resize(9 * 2048);
  testing_support::writeBytes(dir.file("cut.mdb"), bytes);
  const std::string none = " " + testing_support::shellQuoted(dir.file("none.mdb").string());
  const std::string cut = " " + testing_support::shellQuoted(dir.file("cut.mdb").string());
  const std::string quoted = testing_support::shellQuoted(mdb.string());
  const struct {
    std::string args;
    int exitCode;
    std::vector<std::string> words;
  } cases[] = {
      {"dump" + none, 1, {"none.mdb", "(3024)"}},
      {"check" + none, 1, {"(3024)"}},
      {"dump " + quoted + " Nowhere", 1, {"(3078)"}},
      {"check" + cut, 1, {"cut.mdb' is damaged: ", "(3049)"}},
      {"dump" + cut, 1, {"cut.mdb' is damaged: ", "(3049)"}},
      {"tables" + cut, 1, {"cut.mdb' is damaged: ", "(3049)"}},
      {"", 2, {}},
      {"explode x.mdb", 2, {}},
      {"check", 2, {"lvdb check FILE"}},
      {"check " + quoted + " Table1", 2, {}},
  };
  for (const auto& c : cases) {
    const CommandResult r = lvdb(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args;
    for (const std::string& w : c.words) EXPECT_NE(r.out.find(w), std::string::npos) << c.args << ": " << r.out;
  }
}

}  // namespace
