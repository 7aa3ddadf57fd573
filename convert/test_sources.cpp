#include "convert/test_sources.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>

#include "db/bytes.h"
#include "db/catalog.h"
#include "db/file_io.h"
#include "db/format.h"
#include "db/page_file.h"
#include "db/recordset.h"
#include "db/text_codec.h"
#include "schema/old_catalogue.h"

namespace test_sources {
namespace {

namespace fs = std::filesystem;
using db::ColumnType;
using db::Variant;
using Tables = std::vector<db::TableSchema>;
using Row = std::map<std::string, Variant>;

constexpr int kNoSuchTable = 3078, kUnknownInQuery = 3061, kItemNotFound = 3265;
constexpr int kNotADatabase = 3343, kDamaged = 3049;

// The opening text of the phase that reads `table`.
std::string phaseOf(const std::string& table) {
  return "Copying " + table + (table == "Genres" ? " tables..." : " table...");
}

// One row a table of the old layout would hold; every number 2 (a genre other than the
// uncategorized one), every text "x".
Row rowFor(const db::TableSchema& table) {
  Row row;
  for (const db::ColumnDesign& c : table.columns) {
    if (c.autoNumber) continue;
    switch (c.type) {
      case ColumnType::Long: row[c.name] = Variant(int32_t{2}); break;
      case ColumnType::Integer: row[c.name] = Variant(int16_t{2}); break;
      default: row[c.name] = Variant(std::string("x"));
    }
  }
  return row;
}

db::TableSchema& tableNamed(Tables& tables, const std::string& name) {
  for (db::TableSchema& t : tables) {
    if (t.name == name) return t;
  }
  throw std::logic_error("no table " + name);
}

void dropColumn(Tables& tables, const std::string& table, const std::string& column) {
  db::TableSchema& t = tableNamed(tables, table);
  std::erase_if(t.columns, [&](const db::ColumnDesign& c) { return c.name == column; });
  std::erase_if(t.indexes, [&](const db::IndexDesign& ix) {
    for (const db::IndexColumnDesign& ic : ix.columns) {
      if (ic.column == column) return true;
    }
    return false;
  });
}

// A Jet 3 catalogue of the old layout, edited by `edit`, with the rows `rows` makes (one
// ordinary row per table unless it says otherwise).
void writeCatalogue(const std::string& path, const std::function<void(Tables&)>& edit,
                    const std::function<void(const std::string&, std::vector<Row>&)>& rows = {}) {
  Tables tables = schema::oldCatalogueSchema();
  if (edit) edit(tables);
  auto d = db::DBEngine().CreateDatabase(path, db::kVersion3);
  for (const db::TableSchema& t : tables) {
    d->createTable(t);
    std::vector<Row> list{rowFor(t)};
    if (rows) rows(t.name, list);
    auto rs = d->OpenRecordset("SELECT * FROM [" + t.name + "]", db::dbOpenDynaset);
    for (const Row& row : list) {
      rs->AddNew();
      for (const auto& [column, value] : row) rs->Collect(column) = value;
      rs->Update();
    }
  }
  d->Close();
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

// Page 0's masked region decoded, changed by `edit`, and masked again.
void editHeader(const std::string& path, const std::function<void(std::vector<uint8_t>&, const db::FormatDescriptor&)>& edit) {
  std::vector<uint8_t> bytes = readFile(path);
  const db::FormatDescriptor& format = bytes.at(0x14) == 0 ? db::kVersion3 : db::kVersion4;
  db::applyHeaderMask(bytes, format);
  edit(bytes, format);
  db::applyHeaderMask(bytes, format);
  writeFile(path, bytes);
}

}  // namespace

void encodeCatalogue(const std::string& path, uint32_t key) {
  editHeader(path, [&](std::vector<uint8_t>& bytes, const db::FormatDescriptor& format) {
    db::writeU32(std::span<uint8_t>(bytes), 0x3E, key);
    for (uint32_t page = 1; page < bytes.size() / format.pageSize; ++page) {
      db::applyPageKey(std::span<uint8_t>(bytes).subspan(page * format.pageSize, format.pageSize), page, key);
    }
  });
}

void setCataloguePassword(const std::string& path, const std::string& password) {
  editHeader(path, [&](std::vector<uint8_t>& bytes, const db::FormatDescriptor& format) {
    constexpr size_t kArea = 0x42;
    if (format.textEncoding == db::TextEncoding::CodePage) {
      std::string encoded;
      db::encodeCodePage(password, 1252, &encoded);
      std::fill(bytes.begin() + kArea, bytes.begin() + kArea + 20, 0);
      std::copy(encoded.begin(), encoded.end(), bytes.begin() + kArea);
      return;
    }
    // Jet4 keeps it as UTF-16LE, masked with the creation date's integer part.
    std::vector<uint8_t> area = db::utf16leBytes(db::utf8ToUtf16(password));
    area.resize(40, 0);
    uint8_t mask[4];
    db::writeU32(mask, 0, static_cast<uint32_t>(static_cast<int32_t>(db::readF64(std::span<const uint8_t>(bytes), 0x72))));
    for (size_t i = 0; i < area.size(); ++i) bytes[kArea + i] = area[i] ^ mask[i % 4];
  });
}

std::vector<BadSource> makeBadSources(const std::string& folder, const std::string& lvsample) {
  fs::create_directories(folder);
  std::vector<BadSource> out;
  auto add = [&](const std::string& what, const std::string& phase, int number) -> std::string {
    std::string name = what;
    for (char& c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
    }
    out.push_back({what, folder + "/" + name + ".mdb", phase, number});
    return out.back().path;
  };

  // Each table, then each column the run reads, left out.
  for (const db::TableSchema& t : schema::oldCatalogueSchema()) {
    const std::string table = t.name;
    writeCatalogue(add("no " + table, table == "Games" ? "" : phaseOf(table), kNoSuchTable),
                   [&](Tables& ts) { std::erase_if(ts, [&](auto& x) { return x.name == table; }); });
  }
  // Queries that name their columns fail as they open; SELECT * fails at the first field read.
  const std::vector<std::tuple<const char*, const char*, int>> columns = {
      {"Difficulty", "DI_Id", kUnknownInQuery}, {"Difficulty", "Difficulty", kUnknownInQuery},
      {"Publishers", "PU_Id", kUnknownInQuery}, {"Publishers", "Publisher", kUnknownInQuery},
      {"Musicians", "MU_Id", kItemNotFound},    {"Musicians", "Name", kItemNotFound},
      {"Music", "Name", kUnknownInQuery},       {"Music", "Filename", kUnknownInQuery},
      {"Music", "MU_Id", kUnknownInQuery},      {"Genres", "GE_Id", kUnknownInQuery},
      {"Genres", "Genre", kItemNotFound}};
  for (const auto& [table, column, number] : columns) {
    writeCatalogue(add(std::string(table) + " without " + column, phaseOf(table), number),
                   [table = table, column = column](Tables& ts) { dropColumn(ts, table, column); });
  }
  Tables layout = schema::oldCatalogueSchema();
  for (const db::ColumnDesign& c : tableNamed(layout, "Games").columns) {
    static const std::vector<std::string> probed = {"PRG", "VicePort1", "VicePort2",
                                                    "Personal Comment", "Music FileName", "DocFile"};
    if (c.name == "GA_Id") continue;  // not read
    const bool inProbe = std::find(probed.begin(), probed.end(), c.name) != probed.end();
    writeCatalogue(add("Games without " + c.name, inProbe ? "" : phaseOf("Games"),
                       inProbe ? kUnknownInQuery : kItemNotFound),
                   [&](Tables& ts) { dropColumn(ts, "Games", c.name); });
  }

  // Values the run cannot store.
  writeCatalogue(add("a game without a genre", phaseOf("Games"), 94), [](Tables& ts) {
    for (db::ColumnDesign& c : tableNamed(ts, "Games").columns) {
      if (c.name == "GE_Id") c.required = false;
    }
  }, [](const std::string& table, std::vector<Row>& rows) {
    if (table == "Games") rows[0]["GE_Id"] = Variant::null();
  });
  writeCatalogue(add("a genre that is no number", phaseOf("Games"), 13), [](Tables& ts) {
    for (db::ColumnDesign& c : tableNamed(ts, "Games").columns) {
      if (c.name == "GE_Id") c.type = ColumnType::Text, c.size = 10;
    }
  }, [](const std::string& table, std::vector<Row>& rows) {
    if (table == "Games") rows[0]["GE_Id"] = Variant("Action");
  });
  writeCatalogue(add("a difficulty too long for its column", phaseOf("Difficulty"), 3163),
                 [](Tables& ts) { tableNamed(ts, "Difficulty").columns[1].type = ColumnType::Memo; },
                 [](const std::string& table, std::vector<Row>& rows) {
                   if (table == "Difficulty") rows[0]["Difficulty"] = Variant(std::string(300, 'd'));
                 });
  writeCatalogue(add("a difficulty id twice", phaseOf("Difficulty"), 3022),
                 [](Tables& ts) { tableNamed(ts, "Difficulty").indexes.clear(); },
                 [](const std::string& table, std::vector<Row>& rows) {
                   if (table == "Difficulty") rows.push_back(rows[0]);
                 });

  // Files that are no catalogue, or a damaged one.
  fs::create_directory(add("a folder", "", kNotADatabase));
  out.back().notAFile = true;
  // Windows has no named pipes among files.
  if (db::io::makePipe(add("a named pipe", "", kNotADatabase)) == ENOSYS) out.pop_back();
  else out.back().notAFile = true;
  writeFile(add("an empty file", "", kNotADatabase), {});

  const std::string sample = folder + "/sample.tmp";
  fs::remove(sample);
  int exitCode = -1;
  db::io::runCommand(db::io::shellQuoted(lvsample) + " " + db::io::shellQuoted(sample) + " --games 300 --seed 1",
                     &exitCode);
  if (exitCode != 0) throw std::runtime_error("lvsample failed");
  std::vector<uint8_t> bytes = readFile(sample);
  const size_t page = db::kVersion3.pageSize;
  const std::string large = add("larger than 2 GB", "", kNotADatabase);
  writeFile(large, bytes);
  fs::resize_file(large, (uint64_t{1} << 31) + page);  // sparse: nothing more is written
  writeFile(add("cut at a page boundary", "", kDamaged),
            std::vector<uint8_t>(bytes.begin(), bytes.begin() + 90 * page));
  std::vector<uint8_t> flipped = bytes;
  flipped[0x14] = 0x07;  // the version byte: a format nobody made
  writeFile(add("an unknown version in the header", "", kNotADatabase), flipped);
  {
    // The Games definition counts one row more than the table holds.
    std::unique_ptr<db::PageFile> file;
    db::Catalog catalog;
    db::TableDef games;
    if (!db::PageFile::open(sample, &file, false).ok() || !db::Catalog::load(*file, &catalog).ok() ||
        !db::openTableDef(*file, catalog, "Games", &games).ok()) {
      throw std::runtime_error("the sample cannot be read");
    }
    const size_t at = games.tdefPage * page + db::kVersion3.tdefRowCountOffset;
    db::writeU32(std::span<uint8_t>(bytes), at, db::readU32(std::span<const uint8_t>(bytes), at) + 1);
    writeFile(add("a Games row count one too many", phaseOf("Games"), kDamaged), bytes);
  }
  fs::remove(sample);
  return out;
}

}  // namespace test_sources
