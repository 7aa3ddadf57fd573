// database_file.h -- one database file as the process holds it: its pages, its catalogue and
// the state of its tables, shared by every connection that opens the same file (found by its
// identity on disk, so that two paths to one file share too). Sharing is what keeps two
// connections from handing out the same page or autonumber.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "db/catalog.h"
#include "db/schema.h"
#include "db/table_writer.h"

namespace db {

class DatabaseFile {
 public:
  // Writes back what flush() would, whatever comes of it.
  ~DatabaseFile();

  // Opens the database at `path`, or returns the one this process has open already.
  static DbError open(const std::string& path, std::shared_ptr<DatabaseFile>* out);
  // Creates a new database at `path` (which must not exist) holding the system tables the Jet
  // engine writes into a new database and no user tables. `creationDate` is a Jet date; 0
  // means now. A database created with a given date also stamps the tables created through
  // this object with it, so that a file built from the same description twice is the same
  // file byte for byte.
  // With `catalogueRows` false the system tables are left empty, for a copy that brings its
  // own catalogue (compaction).
  static DbError create(const std::string& path, const FormatDescriptor& format,
                        std::shared_ptr<DatabaseFile>* out, double creationDate = 0,
                        bool catalogueRows = true);

  PageFile& pages() { return *file_; }
  const PageFile& pages() const { return *file_; }
  PageAllocator& allocator() { return allocator_; }
  const Catalog& catalog() const { return catalog_; }

  // The shared state of a table (system tables included), found without regard to case.
  DbError table(std::string_view name, std::shared_ptr<TableState>* out);
  // Adds a user table: its definition, maps, empty indexes, catalogue row, access entries and
  // column properties.
  DbError createTable(const TableSchema& schema);

  // Writes a complete definition (columns and indexes set, def->tdefPage already allocated):
  // its usage-map page, empty index roots and the definition pages. No catalogue row.
  DbError addTableDefinition(TableDef* def);
  // Forgets what it knows of the catalogue and reads it again.
  DbError reloadCatalog();
  // Writes to the file everything its tables and pages hold that the file lacks.
  DbError flush();
  // Lets go of all that is not yet written (held-back index entries, changed pages) without
  // writing it, for a file that is about to be removed: nothing may use this file afterwards.
  void discard();
  // flush() of the database at `path` when this process has it open; nothing otherwise.
  // `open`, when given, tells which.
  static DbError flushOpen(const std::string& path, bool* open = nullptr);
  // The shared state of the table whose definition is on `tdefPage`, for writers that work
  // below the catalogue.
  DbError tableAtPage(uint32_t tdefPage, const std::string& name, std::shared_ptr<TableState>* out);

 private:
  explicit DatabaseFile(std::unique_ptr<PageFile> file)
      : file_(std::move(file)), allocator_(*file_) {}
  // Makes `db` the one open() gives for its file from now on.
  static void registerOpen(const std::shared_ptr<DatabaseFile>& db);
  DbError tableAt(const CatalogEntry& entry, std::shared_ptr<TableState>* out);
  DbError insertCatalogRows(const TableDef& def, const std::vector<uint8_t>& properties);
  // Writes what the tables hold back (deferred index entries) to the pages.
  DbError writeTables();

  std::unique_ptr<PageFile> file_;
  PageAllocator allocator_;
  Catalog catalog_;
  std::map<uint32_t, std::shared_ptr<TableState>> tables_;  // by tdef page
  uint32_t mapPage_ = 0;  // the page that took the last new table's usage maps
  double stampDate_ = 0;  // the date of new catalogue rows; 0: the time they are written
};

// The current time as a Jet date (days since 1899-12-30, local time of day).
double jetNow();

}  // namespace db
