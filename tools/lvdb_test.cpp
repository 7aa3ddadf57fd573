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
  r.out = testing_support::runCommand(std::string(LVDB_PATH) + " " + args + " 2>&1", &r.exitCode);
  return r;
}

TEST(LvdbTest, listsDescribesAndDumpsTables) {
  REQUIRE_FIXTURE(mdb, "nwind.mdb");
  const CommandResult tables = lvdb("tables '" + mdb.string() + "'");
  EXPECT_EQ(tables.exitCode, 0);
  EXPECT_EQ(tables.out.substr(0, 21), "Categories\nCustomers\n");

  const CommandResult schema = lvdb("schema '" + mdb.string() + "' categories");
  EXPECT_EQ(schema.exitCode, 0);
  EXPECT_NE(schema.out.find("TABLE Categories"), std::string::npos);
  EXPECT_NE(schema.out.find("CategoryID  Long  autonumber"), std::string::npos) << schema.out;
  EXPECT_NE(schema.out.find("INDEX PrimaryKey (CategoryID) PRIMARY KEY"), std::string::npos);
  EXPECT_EQ(schema.out.find("TABLE Customers"), std::string::npos);

  const CommandResult dump = lvdb("dump '" + mdb.string() + "' Shippers");
  EXPECT_EQ(dump.exitCode, 0);
  EXPECT_EQ(dump.out.substr(0, 47), "{\"kind\":\"database\",\"format\":\"Jet3\",\"tables\":1}\n");
  EXPECT_EQ(std::count(dump.out.begin(), dump.out.end(), '\n'), 2 + 3);
}

TEST(LvdbTest, failuresSayWhyAndExitNonZero) {
  testing_support::ScratchDir dir;
  const CommandResult missing = lvdb("dump '" + dir.file("none.mdb").string() + "'");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.out.find("none.mdb"), std::string::npos);
  EXPECT_NE(missing.out.find("(3024)"), std::string::npos) << missing.out;

  EXPECT_EQ(lvdb("").exitCode, 2);
  EXPECT_EQ(lvdb("explode x.mdb").exitCode, 2);

  REQUIRE_FIXTURE(mdb, "testV1997.mdb");
  const CommandResult noTable = lvdb("dump '" + mdb.string() + "' Nowhere");
  EXPECT_EQ(noTable.exitCode, 1);
  EXPECT_NE(noTable.out.find("(3078)"), std::string::npos) << noTable.out;

  // Cut after page 8: the catalogue's rows (on page 18) are gone, which is no empty database.
  std::vector<uint8_t> bytes = testing_support::readBytes(mdb);
  bytes.resize(9 * 2048);
  testing_support::writeBytes(dir.file("cut.mdb"), bytes);
  for (const char* command : {"check", "dump", "tables"}) {
    const CommandResult cut = lvdb(std::string(command) + " '" + dir.file("cut.mdb").string() + "'");
    EXPECT_EQ(cut.exitCode, 1) << command;
    EXPECT_NE(cut.out.find("cut.mdb' is damaged: "), std::string::npos) << command << ": " << cut.out;
    EXPECT_NE(cut.out.find("(3049)"), std::string::npos) << command << ": " << cut.out;
  }
}

TEST(LvdbTest, checkPrintsEachProblemThenASummaryAndExitsByWhatItFound) {
  REQUIRE_FIXTURE(mdb, "testV1997.mdb");
  const CommandResult clean = lvdb("check '" + mdb.string() + "'");
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
  const CommandResult damaged = lvdb("check '" + dir.file("miscounted.mdb").string() + "'");
  EXPECT_EQ(damaged.exitCode, 1);
  EXPECT_EQ(damaged.out, "Table 'Table1': its definition counts " + std::to_string(def.rowCount + 1) +
                             " rows, but " + std::to_string(def.rowCount) + " were found.\n"
                             "1 problem found\n");

  const CommandResult missing = lvdb("check '" + dir.file("none.mdb").string() + "'");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.out.find("(3024)"), std::string::npos) << missing.out;

  const CommandResult bare = lvdb("check");
  EXPECT_EQ(bare.exitCode, 2);
  EXPECT_NE(bare.out.find("lvdb check FILE"), std::string::npos) << bare.out;
  EXPECT_EQ(lvdb("check '" + mdb.string() + "' Table1").exitCode, 2);
}

}  // namespace
