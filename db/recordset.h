// recordset.h -- the surface the program calls, named as the program's database library names
// it: one program-wide engine (DBEngine), databases opened by path, recordsets on SQL texts,
// fields by name, AddNew ... Update, Execute. Failures throw DbException, carrying the Jet
// error number.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/error.h"
#include "db/format.h"
#include "db/schema.h"
#include "db/table_def.h"
#include "db/value.h"

namespace db {

inline constexpr int dbOpenDynaset = 2;
inline constexpr int dbOpenSnapshot = 4;
inline constexpr int dbUpdateRegular = 1;
inline constexpr int dbFailOnError = 128;

class Database;
class Recordset;
class DatabaseFile;

class Engine {
 public:
  // Opens an existing database by its full path, shared and read-write: every connection to
  // one file in this process sees the others' rows at once.
  std::shared_ptr<Database> OpenDatabase(const std::string& path);
  // Creates a new, empty database file (which must not exist) and opens it. A `creationDate`
  // (a Jet date) other than 0 is stamped on the file and on every table created through this
  // connection, for files that must come out the same on every build.
  std::shared_ptr<Database> CreateDatabase(const std::string& path,
                                           const FormatDescriptor& format = kVersion4,
                                           double creationDate = 0);
};

// The program-wide engine, created on first use.
Engine& DBEngine();

class Database : public std::enable_shared_from_this<Database> {
 public:
  ~Database();

  // `type` is dbOpenSnapshot (read only) or dbOpenDynaset (rows can be added).
  std::shared_ptr<Recordset> OpenRecordset(const std::string& sql, int type = dbOpenDynaset);
  // Runs an UPDATE statement. Without dbFailOnError in `options`, a row that cannot take the
  // change is left as it was and the others are changed; a missing table or column, or a bad
  // statement, always fails.
  void Execute(const std::string& sql, int options = 0);
  // Releases the connection; recordsets opened through it stop working. What the file's
  // connections have changed is written to it first (a failure to write throws, the
  // connection released all the same).
  void Close();
  // Releases the connection without writing what the file still holds unwritten (index
  // entries held back, changed pages), for a file that is about to be removed: a failed
  // conversion's work. No connection to the file may be used afterwards.
  void discard();

  const std::string& path() const;
  const char* formatName() const;
  // User tables, by name.
  std::vector<std::string> tableNames() const;
  // The definition of a table, as the file holds it now.
  TableDef tableDef(std::string_view table) const;
  // Adds a table.
  void createTable(const TableSchema& schema);

 private:
  friend class Engine;
  friend class Recordset;
  Database() = default;
  std::shared_ptr<DatabaseFile> file() const;  // throws when closed

  std::shared_ptr<DatabaseFile> file_;
};

// The value of one field of the current record (or of the record being added). Reading gives
// a Variant (which may be Null); assigning a FieldValue copies the other field's value, not
// the field.
class FieldValue {
 public:
  FieldValue(Recordset* recordset, int index) : rs_(recordset), index_(index) {}
  FieldValue(const FieldValue&) = default;

  Variant get() const;
  operator Variant() const { return get(); }
  FieldValue& operator=(const Variant& value);
  FieldValue& operator=(Variant&& value);
  FieldValue& operator=(const FieldValue& other) { return *this = other.get(); }

  bool isNull() const { return get().isNull(); }
  std::string text() const { return get().text(); }
  int32_t int32() const { return get().int32(); }

 private:
  Recordset* rs_;
  int index_;
};

struct Field {
  Field(Recordset* rs, int index, std::string name, ColumnType type)
      : Value(rs, index), Name(std::move(name)), Type(type) {}
  Field(const Field&) = default;
  Field& operator=(const Field&) = delete;

  FieldValue Value;
  const std::string Name;   // its alias in the query, else the name as the table spells it
  const ColumnType Type;
};

class Recordset {
 public:
  ~Recordset();

  // True when there is no current record past the last one (or the recordset is empty).
  // (The library's own name for it, EOF, is a C macro.)
  bool EOF_() const;
  void MoveNext();
  void MoveFirst();
  void MoveLast(int options = 0);
  // Records reached so far; exact after MoveLast. For a whole table that is the count its
  // definition keeps, found without reading the rows; a walk to the end holds the table to it.
  int32_t RecordCount() const;
  // A field of the current record by name, without regard to letter case.
  Field Fields(std::string_view name);
  // The same field's value, as the library's shorthand names it.
  FieldValue Collect(std::string_view name);
  int FieldCount() const;
  Field FieldAt(int index);

  // Starts a new record (dynasets only); an autonumber is assigned now and can be read.
  void AddNew();
  // Stores the new record. `type` dbUpdateRegular; `force` is not supported.
  void Update(int type = dbUpdateRegular, bool force = false);
  // Drops the record being added.
  void CancelUpdate();
  void Close();

 private:
  friend class Database;
  friend class FieldValue;
  struct State;
  Recordset();
  Variant fieldValue(int index);
  void setFieldValue(int index, Variant&& value);
  void requireOpen() const;
  void MoveFirstOrEmpty();  // positions on the first record, or at EOF when there is none
  int indexOf(std::string_view name) const;

  std::unique_ptr<State> s_;
};

}  // namespace db
