#include "db/test_support.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <random>
#include <sstream>
#include <thread>

#include "db/file_io.h"
#include "db/json_dump.h"
#include "db/usage_map.h"

namespace testing_support {
namespace {

std::atomic<uint64_t> gAllocationsLeft{0};  // counting down to the one that fails; 0: none fails
std::atomic<bool> gOtherThreads{false};
std::atomic<bool> gAllocationFailed{false};
std::atomic<std::thread::id> gArmingThread;

// Whether the allocation being made is the one armed to fail.
bool failThisAllocation() {
  if (gAllocationsLeft.load() == 0) return false;
  if ((std::this_thread::get_id() != gArmingThread) != gOtherThreads.load()) return false;
  uint64_t left = gAllocationsLeft.load();
  while (left != 0 && !gAllocationsLeft.compare_exchange_weak(left, left - 1)) {
  }
  if (left != 1) return false;
  gAllocationFailed = true;
  return true;
}

}  // namespace

void failAllocation(uint64_t nth, AllocationThread where) {
  gAllocationsLeft = 0;
  gArmingThread = std::this_thread::get_id();
  gOtherThreads = where == AllocationThread::Others;
  gAllocationFailed = false;
  gAllocationsLeft = nth;
}

bool allocationFailed() { return gAllocationFailed; }

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

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path) << text;
}

std::string hexOf(const std::vector<uint8_t>& bytes) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) s += std::string(s.empty() ? "" : " ") + kDigits[b >> 4] + kDigits[b & 15];
  return s;
}

OpenedFile::OpenedFile(const std::filesystem::path& path) {
  db::DbError err = db::PageFile::open(path.string(), &file, false);
  if (err.ok()) err = db::Catalog::load(*file, &catalog);
  EXPECT_TRUE(err.ok()) << path << ": " << err.description;
}

db::TableDef OpenedFile::table(const std::string& name) const {
  db::TableDef def;
  const db::DbError err = db::openTableDef(*file, catalog, name, &def);
  EXPECT_TRUE(err.ok()) << name << ": " << err.description;
  return def;
}

size_t rowOffset(const db::PageFile& file, db::RowPointer where, size_t* length) {
  db::Page page;
  std::span<const uint8_t> row;
  EXPECT_TRUE(db::readRowAt(file, where, &page, &row).ok()) << "row " << int(where.row) << " of page " << where.page;
  if (length) *length = row.size();
  return size_t(where.page) * file.pageSize() + static_cast<size_t>(row.data() - page.data());
}

std::vector<db::RowPointer> movedRows(const db::PageFile& file, const db::TableDef& table) {
  std::vector<uint32_t> pages;
  EXPECT_TRUE(db::readUsageMap(file, table.ownedMap, &pages).ok()) << table.name;
  std::vector<db::RowPointer> moved;
  db::Page page;
  for (uint32_t p : pages) {
    uint16_t count = 0;
    EXPECT_TRUE(file.readPage(p, &page).ok() && db::dataRowCount(file, page, p, &count).ok()) << p;
    for (uint16_t s = 0; s < count; ++s) {
      db::RowSlot slot;
      EXPECT_TRUE(db::dataRowSlot(file, page, p, s, &slot).ok()) << p;
      if (slot.overflow && !slot.deleted) moved.push_back({p, static_cast<uint8_t>(s)});
    }
  }
  return moved;
}

std::string dumpJson(const std::filesystem::path& path, const std::string& table) {
  OpenedFile f(path);
  std::stringstream out;
  const db::DbError err = db::dumpJson(*f.file, f.catalog, table, out);
  EXPECT_TRUE(err.ok()) << path << ": " << err.description;
  return out.str();
}

std::string runCommand(const std::string& command, int* exitCode) {
  return db::io::runCommand(command, exitCode);
}

std::string shellQuoted(const std::string& word) { return db::io::shellQuoted(word); }

std::filesystem::path makeSample(const std::string& program, const std::filesystem::path& out,
                                 const std::string& options) {
  int exitCode = -1;
  const std::string output =
      runCommand(shellQuoted(program) + " " + shellQuoted(out.string()) + " " + options + " 2>&1", &exitCode);
  EXPECT_EQ(exitCode, 0) << options << ": " << output;
  return out;
}

bool haveMdbTools() {
#ifdef _WIN32
  // mdbtools are built for POSIX systems only: the tests check the files without them.
  static const bool told = [] {
    std::fprintf(stderr, "note: no comparison with mdbtools (mdb-export) on Windows\n");
    return true;
  }();
  (void)told;
  return false;
#else
  static const bool have = [] {
    int code = 0;
    runCommand("command -v mdb-export >/dev/null 2>&1", &code);
    return code == 0;
  }();
  return have;
#endif
}

namespace {

// mdb-export is asked for unquoted fields ended by 0x1F and rows ended by 0x1E, which no value
// of the tests holds. An empty field is Null: mdb-export prints "" as it prints Null.
std::vector<ExportedRow> splitExport(const std::string& text) {
  std::vector<ExportedRow> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line, '\x1E');) {
    ExportedRow& row = rows.emplace_back();
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
      end = line.find('\x1F', start);
      const std::string field = line.substr(start, end == std::string::npos ? end : end - start);
      row.push_back(field.empty() ? std::nullopt : std::optional<std::string>(field));
    }
  }
  return rows;
}

bool numbersMatch(double a, double b) {
  return a == b || std::fabs(a - b) <= 1e-6 * std::max(std::fabs(a), std::fabs(b));
}

}  // namespace

std::vector<ExportedRow> mdbExport(const std::filesystem::path& path, const std::string& table,
                                   std::vector<std::string>* header) {
  const std::string out = runCommand("mdb-export -Q -d '\x1F' -R '\x1E' -b hex -D '%Y-%m-%d %H:%M:%S' "
                                     "-T '%Y-%m-%d %H:%M:%S' " + shellQuoted(path.string()) + " " + shellQuoted(table));
  std::vector<ExportedRow> rows = splitExport(out);
  if (!rows.empty()) {
    if (header) {
      header->clear();
      for (const auto& f : rows.front()) header->push_back(f.value_or(""));
    }
    rows.erase(rows.begin());
  }
  return rows;
}

namespace {

// Whether mdb-export's text for a field says the same as a value our reader gave for it;
// `why` tells how they differ.
bool sameAsExported(const db::Variant& ours, const std::optional<std::string>& theirs,
                    std::string* why) {
  using db::VariantType;
  auto differ = [&](const std::string& expected) {
    const std::string shown = theirs ? theirs->substr(0, 64) + (theirs->size() > 64 ? "..." : "") : "";
    *why = "ours " + expected + ", mdb-export " + (theirs ? "'" + shown + "'" : "Null");
    return false;
  };
  if (ours.isNull()) return theirs ? differ("Null") : true;
  // mdb-export prints a zero-length text or binary value as it prints Null.
  // A Binary value that starts with a zero byte is therefore empty to it, too.
  const bool empty = (ours.type() == VariantType::Text && ours.asText().empty()) ||
                     (ours.type() == VariantType::Binary &&
                      (ours.asBinary().empty() || ours.asBinary()[0] == 0));
  if (!theirs) return empty ? true : differ(ours.text());
  const std::string& t = *theirs;
  switch (ours.type()) {
    case VariantType::Boolean:
      return t == (ours.asBool() ? "1" : "0") ? true : differ(ours.text());
    case VariantType::Text:
      return t == ours.asText() ? true : differ(ours.asText());
    case VariantType::Date: {
      const std::string mine = db::formatDate(ours.asDate(), ' ').substr(0, 19);
      return t == mine ? true : differ(mine);
    }
    case VariantType::Binary: {
      // mdb-export stops a Binary column's value (not an OLE one's) at its first zero byte.
      const std::vector<uint8_t>& bytes = ours.asBinary();
      const auto zero = std::find(bytes.begin(), bytes.end(), 0);
      std::string hex = hexOf(bytes), beforeZero = hexOf({bytes.begin(), zero});
      std::erase(hex, ' ');
      std::erase(beforeZero, ' ');
      if (t == hex || (zero != bytes.end() && t == beforeZero)) return true;
      return differ(hex.substr(0, 64) + (hex.size() > 64 ? "..." : ""));
    }
    case VariantType::Guid: {
      // mdb-export prints the hex of the GUID's text, and leaves out its last hyphen.
      std::string text;
      for (size_t i = 0; i + 1 < t.size(); i += 2) text += static_cast<char>(std::stoi(t.substr(i, 2), nullptr, 16));
      std::string mine = db::formatGuid(ours.asGuid());
      mine.erase(24, 1);
      return text == mine ? true : differ(mine);
    }
    default: {
      double a = 0, b = 0;
      if (!ours.toDouble(&a).ok() || !db::parseNumber(t, &b) || !numbersMatch(a, b)) {
        return differ(ours.text());
      }
      return true;
    }
  }
}

}  // namespace

db::CheckReport checkReport(const std::filesystem::path& path) {
  db::CheckReport report;
  std::unique_ptr<db::PageFile> file;
  db::DbError err = db::PageFile::open(path.string(), &file, false);
  if (err.ok()) err = db::checkDatabase(*file, &report);
  EXPECT_TRUE(err.ok()) << path << ": " << err.description;
  return report;
}

void expectSoundFile(const std::filesystem::path& path) {
  for (const std::string& problem : checkReport(path).problems) ADD_FAILURE() << path.filename() << ": " << problem;
}

int errorNumberOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const db::DbException& e) {
    return e.number();
  }
  return 0;
}

void addRows(db::Database& d, const std::string& table, int rows, const RowFiller& fill) {
  auto rs = d.OpenRecordset("SELECT * FROM [" + table + "]", db::dbOpenDynaset);
  for (int i = 0; i < rows; ++i) {
    rs->AddNew();
    fill(*rs, i);
    rs->Update();
  }
}

std::shared_ptr<db::Database> createDatabaseWith(const std::filesystem::path& path, const db::TableSchema& schema,
                                                 int rows, const RowFiller& fill, const db::FormatDescriptor& format) {
  auto d = db::DBEngine().CreateDatabase(path.string(), format);
  d->createTable(schema);
  if (rows > 0) addRows(*d, schema.name, rows, fill);
  return d;
}

db::ColumnDesign column(const char* name, db::ColumnType type, uint16_t size) {
  db::ColumnDesign c;
  c.name = name;
  c.type = type;
  c.size = size;
  c.allowZeroLength = true;
  return c;
}

db::ColumnDesign counter(const char* name) {
  db::ColumnDesign c = column(name, db::ColumnType::Long);
  c.autoNumber = true;
  return c;
}

db::IndexDesign primaryKey(const std::string& column) {
  return {.name = "PrimaryKey", .columns = {{column, true}}, .primaryKey = true};
}

Rows queryRows(db::Database& d, const std::string& sql) {
  Rows rows;
  auto rs = d.OpenRecordset(sql, db::dbOpenSnapshot);
  for (; !rs->EOF_(); rs->MoveNext()) {
    std::vector<db::Variant> row;
    for (int i = 0; i < rs->FieldCount(); ++i) row.push_back(rs->FieldAt(i).Value);
    rows.push_back(std::move(row));
  }
  return rows;
}

Rows queryRows(const std::filesystem::path& path, const std::string& sql) {
  return queryRows(*db::DBEngine().OpenDatabase(path.string()), sql);
}

Rows readRows(db::Database& d, const std::string& table) {
  return queryRows(d, "SELECT * FROM [" + table + "]");
}

Rows readRows(const std::filesystem::path& path, const std::string& table) {
  return queryRows(path, "SELECT * FROM [" + table + "]");
}

void expectMdbToolsAgree(const std::filesystem::path& path, const std::string& table) {
  expectSoundFile(path);
  if (!haveMdbTools()) return;
  auto ours = readRows(path, table);
  auto theirs = mdbExport(path, table);
  std::sort(ours.begin(), ours.end(),
            [](const auto& a, const auto& b) { return a[0].int32() < b[0].int32(); });
  std::sort(theirs.begin(), theirs.end(), [](const auto& a, const auto& b) {
    return std::stol(a[0].value_or("0")) < std::stol(b[0].value_or("0"));
  });
  ASSERT_EQ(ours.size(), theirs.size()) << table;
  for (size_t r = 0; r < ours.size(); ++r) {
    ASSERT_EQ(ours[r].size(), theirs[r].size()) << table << " row " << r;
    for (size_t c = 0; c < ours[r].size(); ++c) {
      std::string why;
      ASSERT_TRUE(sameAsExported(ours[r][c], theirs[r][c], &why))
          << table << " row " << r << " column " << c << ": " << why;
    }
  }
}

}  // namespace testing_support

// Every allocation of a test program passes here, so that failAllocation() can make one fail.
// Each form is replaced, so that every allocation is freed by the form that made it.
namespace {
void* allocate(std::size_t size) {
  if (testing_support::failThisAllocation()) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* allocate(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t& n) noexcept { return allocate(size, n); }
void* operator new[](std::size_t size, const std::nothrow_t& n) noexcept { return allocate(size, n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
