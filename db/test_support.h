// test_support.h -- what the engine's tests share: where the fixtures are, scratch files, and
// a full read of a database through the program's surface.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// The folder of Access-made fixture files, or empty when this checkout has none beside it.
std::filesystem::path fixturesDir();

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

// Opens the file and reads every field of every row of every user table through recordsets,
// then MoveLast and RecordCount. Returns 0 when all went well, or the number of the first
// error thrown. Anything other than a DbException propagates and fails the test.
int readEverything(const std::filesystem::path& path, std::string* description = nullptr);

}  // namespace testing_support
