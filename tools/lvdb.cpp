// lvdb -- looks inside a Jet database file: its tables, their definitions, their rows.
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/catalog.h"
#include "db/check.h"
#include "db/json_dump.h"
#include "db/page_file.h"
#include "db/text_codec.h"
#include "tools/console.h"
#include "tools/program_help.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void printUsage(std::ostream& out) {
  out << "usage: lvdb tables FILE\n"
         "       lvdb schema FILE [TABLE]\n"
         "       lvdb dump FILE [TABLE]\n"
         "       lvdb check FILE\n"
         "       lvdb --help | --version\n"
         "  tables  lists the user tables\n"
         "  schema  prints each table's columns and indexes\n"
         "  dump    prints every row as JSON lines\n"
         "  check   checks every table, index and usage map; prints each problem\n"
         "          and a summary, and exits 1 when it found any\n"
         "  --help     prints this and exits\n"
         "  --version  prints the version and exits\n";
}

int usage() {
  printUsage(std::cerr);
  return kExitUsage;
}

int fail(const db::DbError& err) {
  std::cerr << "lvdb: " << err.description << " (" << err.number << ")\n";
  return kExitFailed;
}

void printSchema(const db::TableDef& def) {
  std::cout << "TABLE " << def.name << "  (" << def.rowCount << " rows";
  if (def.lastAutonumber != 0) std::cout << ", last autonumber " << def.lastAutonumber;
  std::cout << ")\n";
  for (const db::ColumnDef& c : def.columns) {
    std::cout << "  " << c.name << "  " << db::columnTypeName(c.typeCode);
    if (c.type() == db::ColumnType::Text || c.type() == db::ColumnType::Binary) std::cout << "(" << c.length << " bytes)";
    if (c.type() == db::ColumnType::Decimal) std::cout << "(" << int(c.precision) << "," << int(c.scale) << ")";
    if (c.isAutoLong() || c.isAutoGuid()) std::cout << "  autonumber";
    if (c.isHyperlink()) std::cout << "  hyperlink";
    if (c.compressedUnicode()) std::cout << "  compressed";
    std::cout << "\n";
  }
  for (const db::IndexDef& ix : def.indexes) {
    const db::RealIndexDef& real = def.realIndexes[ix.realIndex];
    std::cout << "  INDEX " << ix.name << " (";
    for (size_t i = 0; i < real.columns.size(); ++i) {
      const db::ColumnDef* c = def.columnByNumber(real.columns[i].columnNumber);
      std::cout << (i ? ", " : "") << (c ? c->name : "?") << (real.columns[i].ascending ? "" : " DESC");
    }
    std::cout << ")";
    if (ix.isPrimary()) std::cout << " PRIMARY KEY";
    else if (real.flags & db::kIndexUnique) std::cout << " UNIQUE";
    if (ix.isForeignKey()) std::cout << " FOREIGN KEY";
    std::cout << "\n";
  }
}

// Prints each problem on a line of its own, then one summary line.
int check(const db::PageFile& file) {
  db::CheckReport report;
  const db::DbError err = db::checkDatabase(file, &report);
  if (!err.ok()) return fail(err);
  for (const std::string& line : report.problems) std::cout << line << "\n";
  if (!report.clean()) {
    std::cout << report.problems.size()
              << (report.problems.size() == 1 ? " problem found\n" : " problems found\n");
    return kExitFailed;
  }
  std::cout << "OK: " << report.tables << " tables, " << report.rows << " rows, "
            << report.indexEntries << " index entries checked";
  if (report.keysNotChecked > 0) {
    std::cout << " (" << report.keysNotChecked
              << " index keys not compared: their text is outside what the key encoder covers)";
  }
  std::cout << "\n";
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const console::Session session(argc, argv);
  const std::vector<std::string>& args = session.arguments();
  if (args.size() == 1) {
    if (std::optional<int> answered = tools::answerHelpOrVersion(args[0], "lvdb", printUsage)) return *answered;
  }
  if (args.size() < 2) return usage();
  const std::string command = args[0];
  const std::string path = args[1];
  const std::string table = args.size() > 2 ? args[2] : "";
  if (args.size() > 3 || ((command == "tables" || command == "check") && args.size() > 2)) return usage();
  if (command != "tables" && command != "schema" && command != "dump" && command != "check") {
    return usage();
  }

  std::unique_ptr<db::PageFile> file;
  db::DbError err = db::PageFile::open(path, &file, /*writable=*/false);
  if (!err.ok()) return fail(err);
  if (command == "check") return check(*file);
  db::Catalog catalog;
  err = db::Catalog::load(*file, &catalog);
  if (!err.ok()) return fail(err);

  if (command == "tables") {
    for (const db::CatalogEntry& e : catalog.userTables()) std::cout << e.name << "\n";
    return kExitOk;
  }
  if (command == "schema") {
    std::cout << "FORMAT " << file->format().name << "\n";
    for (const db::CatalogEntry& e : catalog.userTables()) {
      if (!table.empty() && !db::equalsIgnoreCase(e.name, table)) continue;
      db::TableDef def;
      err = db::readTableDef(*file, e.tdefPage(), e.name, &def);
      if (!err.ok()) return fail(err);
      printSchema(def);
    }
    return kExitOk;
  }
  std::ios::sync_with_stdio(false);
  err = db::dumpJson(*file, catalog, table, std::cout);
  std::cout.flush();
  if (!err.ok()) return fail(err);
  return kExitOk;
}
