#include "db/test_support.h"

#include <fstream>
#include <random>

#include "db/recordset.h"

namespace testing_support {

std::filesystem::path fixturesDir() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path p = LV_FIXTURES_DIR;
    return std::filesystem::is_directory(p) ? p : std::filesystem::path();
  }();
  return dir;
}

ScratchDir::ScratchDir() {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("lvtest-" + std::to_string(rd()));
    if (std::filesystem::create_directory(path_)) break;
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

int readEverything(const std::filesystem::path& path, std::string* description) {
  try {
    auto db = db::DBEngine().OpenDatabase(path.string());
    for (const std::string& table : db->tableNames()) {
      auto rs = db->OpenRecordset("SELECT * FROM [" + table + "]", db::dbOpenSnapshot);
      while (!rs->EOF_()) {
        for (int i = 0; i < rs->FieldCount(); ++i) (void)rs->FieldAt(i).Value.get();
        rs->MoveNext();
      }
      if (rs->RecordCount() > 0) {
        rs->MoveLast();
        rs->MoveFirst();
      }
      rs->Close();
    }
    db->Close();
  } catch (const db::DbException& e) {
    if (description) *description = e.description();
    return e.number();
  }
  return 0;
}

}  // namespace testing_support
