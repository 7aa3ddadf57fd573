// lvdb as a person runs it: its commands, its output and its exit codes.
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>

#include "db/test_support.h"

namespace {

struct CommandResult {
  int exitCode = -1;
  std::string out;
};

CommandResult lvdb(const std::string& args) {
  CommandResult r;
  FILE* p = popen((std::string(LVDB_PATH) + " " + args + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
}

}  // namespace
