#include "db/recordset.h"

#include <algorithm>
#include <unordered_map>

#include "db/database_file.h"
#include "db/row_read_ahead.h"
#include "db/sql.h"
#include "db/table_scan.h"
#include "db/text_codec.h"
#include "db/value_convert.h"

namespace db {

namespace {

[[noreturn]] void fail(DbErrorNumber number, const std::string& description) {
  throw DbException(makeError(number, description));
}

// Text columns compare with text, everything else with numbers.
bool isTextType(uint8_t typeCode) {
  return typeCode == static_cast<uint8_t>(ColumnType::Text) ||
         typeCode == static_cast<uint8_t>(ColumnType::Memo);
}
bool isComparableType(uint8_t typeCode) {
  return typeCode != static_cast<uint8_t>(ColumnType::Binary) &&
         typeCode != static_cast<uint8_t>(ColumnType::OLE) &&
         typeCode != static_cast<uint8_t>(ColumnType::GUID);
}

}  // namespace

Engine& DBEngine() {
  static Engine engine;
  return engine;
}

std::shared_ptr<Database> Engine::OpenDatabase(const std::string& path) {
  std::shared_ptr<DatabaseFile> file;
  throwIfError(DatabaseFile::open(path, &file));
  std::shared_ptr<Database> db(new Database());
  db->file_ = std::move(file);
  return db;
}

std::shared_ptr<Database> Engine::CreateDatabase(const std::string& path,
                                                 const FormatDescriptor& format,
                                                 double creationDate) {
  std::shared_ptr<DatabaseFile> file;
  throwIfError(DatabaseFile::create(path, format, &file, creationDate));
  std::shared_ptr<Database> db(new Database());
  db->file_ = std::move(file);
  return db;
}

Database::~Database() = default;

std::shared_ptr<DatabaseFile> Database::file() const {
  if (!file_) fail(DbErrorNumber::ObjectClosed, "The database has been closed.");
  return file_;
}

void Database::Close() {
  const std::shared_ptr<DatabaseFile> file = std::move(file_);
  if (file) throwIfError(file->flush());
}

void Database::discard() {
  const std::shared_ptr<DatabaseFile> file = std::move(file_);
  if (file) file->discard();
}

const std::string& Database::path() const { return file()->pages().path(); }

const char* Database::formatName() const { return file()->pages().format().name; }

std::vector<std::string> Database::tableNames() const {
  std::vector<std::string> names;
  for (const CatalogEntry& e : file()->catalog().userTables()) names.push_back(e.name);
  return names;
}

TableDef Database::tableDef(std::string_view table) const {
  std::shared_ptr<TableState> state;
  throwIfError(file()->table(table, &state));
  return state->def;
}

void Database::createTable(const TableSchema& schema) { throwIfError(file()->createTable(schema)); }

namespace {

// Binds the columns a condition names to their place in `def` and checks what each is
// compared with; fails like Jet does for unknown names and mismatched types.
void bindCondition(const TableDef& def, Condition* where) {
  std::vector<Condition*> pending{where};
  while (!pending.empty()) {
    Condition* c = pending.back();
    pending.pop_back();
    if (c->a) pending.push_back(c->a.get());
    if (c->b) pending.push_back(c->b.get());
    int kinds[2] = {0, 0};  // 1 text, 2 number, 0 Null or not a comparison
    Operand* ops[2] = {&c->left, &c->right};
    for (int k = 0; k < 2; ++k) {
      Operand* o = ops[k];
      if (o->isColumn) {
        o->columnIndex = def.findColumn(o->column);
        if (o->columnIndex < 0) {
          fail(DbErrorNumber::UnknownFieldInQuery, "The query names '" + o->column +
                                                       "', which is not a column of table '" +
                                                       def.name + "'.");
        }
        const uint8_t type = def.columns[o->columnIndex].typeCode;
        if (c->kind == Condition::Kind::Compare && !isComparableType(type)) {
          fail(DbErrorNumber::TypeMismatch,
               "The column '" + o->column + "' cannot be compared in a query condition.");
        }
        kinds[k] = isTextType(type) ? 1 : 2;
      } else if (!o->literal.isNull()) {
        kinds[k] = o->literal.type() == VariantType::Text ? 1 : 2;
      }
    }
    if (c->kind == Condition::Kind::Compare && kinds[0] && kinds[1] && kinds[0] != kinds[1]) {
      fail(DbErrorNumber::TypeMismatch,
           "Data type mismatch in the query's condition: text is compared with a number.");
    }
  }
}

}  // namespace

struct Recordset::State {
  std::shared_ptr<DatabaseFile> file;
  std::weak_ptr<Database> database;   // a closed database ends its recordsets too
  const Database* databaseObject = nullptr;  // the same, to ask while it has not expired
  int type = dbOpenSnapshot;
  std::shared_ptr<TableState> table;  // shared with every connection to the file
  const TableDef* defPtr = nullptr;
  const TableDef& def() const { return *defPtr; }
  std::unique_ptr<TableScan> scan;
  // A snapshot's walk through a large table takes its rows from a second thread once it has
  // passed the first; the rows come from `ahead` while it is set.
  std::unique_ptr<RowReadAhead> ahead;
  uint64_t writesAtAhead = 0;         // the file's write count when `ahead` started
  bool aheadTried = false;            // since the last rewind
  SqlStatement statement;
  std::vector<int> columns;           // def.columns index of each field
  std::vector<std::string> names;     // each field's name (its alias, if any)
  // Names as callers spelled them, to their field: the same names come for every record.
  std::unordered_map<std::string, int> lookups;
  bool closed = false;
  bool eof = true;
  int32_t position = -1;              // 0-based place of the current record
  int32_t reached = 0;                // records reached so far
  bool endKnown = false;              // the scan has run past the last record
  RowLocation last;                   // the furthest record reached
  bool adding = false;                // between AddNew and Update
  std::vector<Variant> pending;       // the record being added, one value per column
  ColumnFlags given;                  // per column, whether set since AddNew

  DbError evaluate(const Condition& c, Truth* out) const;
  DbError operandValue(const Operand& o, Variant* out) const;
  DbError advance(bool* found);
  // Where the current row lies.
  RowLocation location() const { return ahead ? ahead->location() : scan->location(); }
  // Starts reading ahead where a walk from the first row has reached its second.
  void startAhead();
  // Takes the rows from the scan again, from the current one on.
  DbError stopAhead();
  DbError stopAheadIfWritten();
  // advance() over the rows `rows` names (stored row pointers) from `*next` on, for an UPDATE
  // whose condition is that a column is Null.
  DbError advanceListed(const std::vector<uint32_t>& rows, size_t* next, bool* found);
};

DbError Recordset::State::operandValue(const Operand& o, Variant* out) const {
  if (!o.isColumn) {
    *out = o.literal;
    return {};
  }
  return scan->value(static_cast<size_t>(o.columnIndex), out);
}

DbError Recordset::State::evaluate(const Condition& c, Truth* out) const {
  using K = Condition::Kind;
  switch (c.kind) {
    case K::IsNull:
    case K::IsNotNull: {
      // A column's Nullness is known without reading its value.
      const bool null = c.left.isColumn ? scan->isNull(static_cast<size_t>(c.left.columnIndex))
                                        : c.left.literal.isNull();
      *out = (null == (c.kind == K::IsNull)) ? Truth::True : Truth::False;
      return {};
    }
    case K::Compare: {
      Variant a, b;
      DbError err = operandValue(c.left, &a);
      if (err.ok()) err = operandValue(c.right, &b);
      if (!err.ok()) return err;
      if (a.isNull() || b.isNull()) {
        *out = Truth::Unknown;
        return {};
      }
      int order = 0;
      err = compareValues(a, b, &order);
      if (!err.ok()) return err;
      bool r = false;
      switch (c.op) {
        case CompareOp::Equal: r = order == 0; break;
        case CompareOp::NotEqual: r = order != 0; break;
        case CompareOp::Less: r = order < 0; break;
        case CompareOp::Greater: r = order > 0; break;
        case CompareOp::LessEqual: r = order <= 0; break;
        case CompareOp::GreaterEqual: r = order >= 0; break;
      }
      *out = r ? Truth::True : Truth::False;
      return {};
    }
    case K::Not: {
      Truth a;
      DbError err = evaluate(*c.a, &a);
      if (!err.ok()) return err;
      *out = a == Truth::Unknown ? Truth::Unknown : (a == Truth::True ? Truth::False : Truth::True);
      return {};
    }
    case K::And:
    case K::Or: {
      Truth a, b;
      DbError err = evaluate(*c.a, &a);
      if (err.ok()) err = evaluate(*c.b, &b);
      if (!err.ok()) return err;
      if (c.kind == K::And) {
        if (a == Truth::False || b == Truth::False) *out = Truth::False;
        else if (a == Truth::True && b == Truth::True) *out = Truth::True;
        else *out = Truth::Unknown;
      } else {
        if (a == Truth::True || b == Truth::True) *out = Truth::True;
        else if (a == Truth::False && b == Truth::False) *out = Truth::False;
        else *out = Truth::Unknown;
      }
      return {};
    }
  }
  return {};
}

// Tables this large have their rows read ahead: a thread of its own would cost more than the
// rows of a smaller one.
constexpr size_t kReadAheadPages = 4;

void Recordset::State::startAhead() {
  if (ahead || aheadTried || type != dbOpenSnapshot || statement.where || position != 0 ||
      !scan->walkIsWhole() || scan->pageCount() < kReadAheadPages) {
    return;
  }
  aheadTried = true;
  const PageFile& pages = file->pages();
  // Pages written through this handle may still be in its cache alone, or on their way.
  if (pages.writeCount() != 0) return;
  ahead = RowReadAhead::start(pages, def(), table->userTable, columns, 1);
  writesAtAhead = pages.writeCount();
}

DbError Recordset::State::stopAhead() {
  if (!ahead) return {};
  // The scan stands on the first row until the thread has given one; after that, on the last
  // one given, even when taking the next failed.
  const bool gave = ahead->gaveAny() && !eof;
  const RowLocation here = ahead->location();
  ahead.reset();
  return gave ? scan->load(here) : DbError{};
}

DbError Recordset::State::stopAheadIfWritten() {
  // Written since: the thread's handle may not see what this one holds.
  return ahead && file->pages().writeCount() != writesAtAhead ? stopAhead() : DbError{};
}

DbError Recordset::State::advance(bool* found) {
  DbError err = stopAheadIfWritten();
  if (!err.ok()) return err;
  if (ahead) {
    err = ahead->next(found);
    // Past the last row the thread and its handle on the file are let go.
    if (err.ok() && !*found) ahead.reset();
    return err;
  }
  for (;;) {
    err = scan->next(found);
    if (!err.ok() || !*found) return err;
    if (!statement.where) return {};
    Truth t;
    err = evaluate(*statement.where, &t);
    if (!err.ok()) return err;
    if (t == Truth::True) return {};
  }
}

Recordset::Recordset() : s_(std::make_unique<State>()) {}
Recordset::~Recordset() = default;

std::shared_ptr<Recordset> Database::OpenRecordset(const std::string& sql, int type) {
  auto f = file();
  if (type != dbOpenSnapshot && type != dbOpenDynaset) {
    fail(DbErrorNumber::InvalidArgument, "Recordset type " + std::to_string(type) +
                                             " is not supported: use a snapshot or a dynaset.");
  }
  std::shared_ptr<Recordset> rs(new Recordset());
  Recordset::State& s = *rs->s_;
  s.file = f;
  s.database = weak_from_this();
  s.databaseObject = this;
  s.type = type;
  throwIfError(parseSql(sql, &s.statement));
  if (s.statement.kind != SqlStatement::Kind::Select) {
    fail(DbErrorNumber::InvalidArgument,
         "A recordset needs a SELECT query; run other statements with Execute.");
  }
  throwIfError(f->table(s.statement.table, &s.table));
  s.defPtr = &s.table->def;
  const TableDef& def = s.def();
  if (s.statement.selectAll) {
    for (size_t i = 0; i < def.columns.size(); ++i) {
      s.columns.push_back(static_cast<int>(i));
      s.names.push_back(def.columns[i].name);
    }
  } else {
    for (const SelectItem& item : s.statement.items) {
      int index = def.findColumn(item.column);
      if (index < 0) {
        fail(DbErrorNumber::UnknownFieldInQuery, "The query names '" + item.column +
                                                     "', which is not a column of table '" +
                                                     def.name + "'.");
      }
      s.columns.push_back(index);
      s.names.push_back(item.alias.empty() ? def.columns[index].name : item.alias);
    }
  }
  if (s.statement.where) bindCondition(def, s.statement.where.get());
  s.scan = std::make_unique<TableScan>(f->pages(), def, s.table->userTable);
  throwIfError(s.scan->rewind());
  rs->MoveFirstOrEmpty();
  return rs;
}

namespace {

// The column each assignment of an UPDATE names, with the value the statement gives it.
std::vector<std::pair<int, Variant>> assignedColumns(const TableDef& def,
                                                     const SqlStatement& statement) {
  std::vector<std::pair<int, Variant>> changes;
  for (const Assignment& a : statement.assignments) {
    const int index = def.findColumn(a.column);
    if (index < 0) {
      fail(DbErrorNumber::UnknownFieldInQuery,
           "The statement names '" + a.column + "', which is not a column of table '" +
               def.name + "'.");
    }
    changes.emplace_back(index, a.value);
  }
  return changes;
}

// The rows the table's list of Nulls names for one column, in the order a scan meets them.
std::vector<uint32_t> listedNullRows(const TableState& table, int column) {
  std::vector<uint32_t> rows = table.nullRows->byColumn[static_cast<size_t>(column)];
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

// The values assigned, converted for their columns; a later assignment to a column replaces
// an earlier. A value that cannot be converted ends the conversion with its error.
DbError convertAssignments(const DatabaseHeader& header, const TableDef& def,
                           const std::vector<std::pair<int, Variant>>& changes,
                           std::vector<std::pair<int, Variant>>* converted) {
  for (const auto& [column, value] : changes) {
    Variant v;
    DbError err = convertForColumn(header, def.columns[column], value, &v);
    if (!err.ok()) return err;
    const int index = column;  // clang before 16 cannot capture a structured binding
    std::erase_if(*converted, [&](const auto& c) { return c.first == index; });
    converted->emplace_back(index, std::move(v));
  }
  return {};
}

// Whether the scan's current row holds, in any of the columns, another value than the one
// assigned to it.
DbError rowDiffers(const TableScan& scan, const std::vector<std::pair<int, Variant>>& values,
                   bool* differs) {
  DbError err;
  for (size_t c = 0; err.ok() && c < values.size() && !*differs; ++c) {
    Variant before;
    err = scan.value(static_cast<size_t>(values[c].first), &before);
    *differs = err.ok() && before != values[c].second;
  }
  return err;
}

bool isFileFault(const DbError& err) {
  return err.number == static_cast<int>(DbErrorNumber::IoError) ||
         err.number == static_cast<int>(DbErrorNumber::CorruptDatabase);
}

}  // namespace

DbError Recordset::State::advanceListed(const std::vector<uint32_t>& rows, size_t* next,
                                        bool* found) {
  *found = false;
  while (*next < rows.size()) {
    const RowPointer at = RowPointer::fromStored(rows[(*next)++]);
    DbError err = scan->load({at.page, at.row});
    if (err.number == static_cast<int>(DbErrorNumber::NoCurrentRecord)) continue;
    if (!err.ok()) return err;
    Truth t;
    err = evaluate(*statement.where, &t);
    if (!err.ok()) return err;
    if (t == Truth::True) {
      *found = true;
      return {};
    }
  }
  return {};
}

void Database::Execute(const std::string& sql, int options) {
  auto f = file();
  SqlStatement statement;
  throwIfError(parseSql(sql, &statement));
  if (statement.kind != SqlStatement::Kind::Update) {
    fail(DbErrorNumber::CannotExecuteSelect, "A SELECT query cannot be executed; open a "
                                             "recordset on it instead.");
  }
  std::shared_ptr<TableState> table;
  throwIfError(f->table(statement.table, &table));
  const TableDef& def = table->def;
  const std::vector<std::pair<int, Variant>> changes = assignedColumns(def, statement);
  if (statement.where) bindCondition(def, statement.where.get());
  Recordset::State s;
  s.defPtr = &def;
  s.statement = std::move(statement);
  s.scan = std::make_unique<TableScan>(f->pages(), def, table->userTable);
  throwIfError(s.scan->rewind());
  TableWriter writer(f->allocator(), *table);
  const bool failOnError = (options & dbFailOnError) != 0;
  // A search for the rows where one column is Null visits only those the table's list names
  // for it, in the order a scan meets them, each tested as a scan tests it.
  const Condition* where = s.statement.where.get();
  const bool listed = where && where->kind == Condition::Kind::IsNull && where->left.isColumn &&
                      table->nullRows;
  const std::vector<uint32_t> candidates =
      listed ? listedNullRows(*table, where->left.columnIndex) : std::vector<uint32_t>{};
  size_t next = 0;
  // The values are converted at the first row that takes them; every row takes them (or
  // fails) the same way.
  std::vector<std::pair<int, Variant>> converted;
  DbError conversion;
  bool convertedYet = false;
  for (;;) {
    bool found = false;
    throwIfError(listed ? s.advanceListed(candidates, &next, &found) : s.advance(&found));
    if (!found) break;
    if (!convertedYet) {
      convertedYet = true;
      conversion = convertAssignments(f->pages().header(), def, changes, &converted);
    }
    // A row that holds the values already is left as it is.
    DbError err = conversion;
    bool differs = false;
    if (err.ok()) err = rowDiffers(*s.scan, converted, &differs);
    if (isFileFault(err)) throw DbException(err);
    // Moving a row rewrites pages the scan holds a copy of; the copy stays as it was read,
    // and a moved row's new place is flagged so that the scan passes it by.
    if (err.ok() && differs) err = writer.updateRow(s.scan->location(), s.scan->fields(), converted);
    if (!err.ok() && (failOnError || isFileFault(err) ||
                      err.number == static_cast<int>(DbErrorNumber::ReadOnly))) {
      throw DbException(err);
    }
  }
}

void Recordset::MoveFirstOrEmpty() {
  State& s = *s_;
  s.ahead.reset();
  s.aheadTried = false;
  throwIfError(s.scan->rewind());
  bool found = false;
  throwIfError(s.advance(&found));
  s.eof = !found;
  s.position = found ? 0 : -1;
  if (found) {
    s.reached = std::max(s.reached, 1);
    if (s.reached == 1) s.last = s.scan->location();
  } else {
    s.endKnown = true;
  }
}

void Recordset::requireOpen() const {
  if (s_->closed || s_->database.expired() || !s_->databaseObject->file_) {
    fail(DbErrorNumber::ObjectClosed, "The recordset has been closed.");
  }
}

bool Recordset::EOF_() const {
  requireOpen();
  return s_->eof;
}

void Recordset::MoveNext() {
  requireOpen();
  State& s = *s_;
  if (s.eof) fail(DbErrorNumber::NoCurrentRecord, "There is no current record.");
  s.startAhead();
  bool found = false;
  throwIfError(s.advance(&found));
  if (!found) {
    s.eof = true;
    s.endKnown = true;
    s.position = s.reached;
    return;
  }
  ++s.position;
  if (s.position + 1 > s.reached) {
    s.reached = s.position + 1;
    s.last = s.location();
  }
}

void Recordset::MoveFirst() {
  requireOpen();
  MoveFirstOrEmpty();
  if (s_->eof) fail(DbErrorNumber::NoCurrentRecord, "There is no current record.");
}

void Recordset::MoveLast(int) {
  requireOpen();
  State& s = *s_;
  throwIfError(s.stopAhead());
  if (s.eof && s.reached == 0) {
    MoveFirstOrEmpty();
    if (s.eof) fail(DbErrorNumber::NoCurrentRecord, "There is no current record.");
  }
  if (!s.endKnown && !s.statement.where && s.scan->countHeldToDefinition()) {
    // A whole table's rows are as many as its definition counts, and a walk to its end holds
    // the table to that count; the last row is found from the end, without reading the rest.
    bool found = false;
    throwIfError(s.scan->last(&found));
    if (found && s.def().rowCount >= static_cast<uint32_t>(s.reached) &&
        s.def().rowCount <= static_cast<uint32_t>(INT32_MAX)) {
      s.reached = static_cast<int32_t>(s.def().rowCount);
      s.last = s.scan->location();
      s.endKnown = true;
    } else {
      // Not the rows the definition counts: they are counted from the first, and the walk's
      // end reports the difference.
      throwIfError(s.scan->rewind());
      s.position = -1;
      s.reached = 0;
      s.eof = false;
    }
  }
  if (!s.endKnown) {
    // Walk on from the furthest record reached; only its place is kept, not the rows.
    if (s.eof || s.position + 1 < s.reached) throwIfError(s.scan->load(s.last));
    for (;;) {
      bool found = false;
      throwIfError(s.advance(&found));
      if (!found) break;
      ++s.reached;
      s.last = s.scan->location();
    }
    s.endKnown = true;
  }
  throwIfError(s.scan->load(s.last));
  s.position = s.reached - 1;
  s.eof = false;
}

int32_t Recordset::RecordCount() const {
  requireOpen();
  return s_->reached;
}

int Recordset::FieldCount() const {
  requireOpen();
  return static_cast<int>(s_->names.size());
}

Field Recordset::FieldAt(int index) {
  requireOpen();
  if (index < 0 || index >= FieldCount()) {
    fail(DbErrorNumber::ItemNotFound, "There is no field number " + std::to_string(index) + ".");
  }
  return Field(this, index, s_->names[index], s_->def().columns[s_->columns[index]].type());
}

int Recordset::indexOf(std::string_view name) const {
  auto known = s_->lookups.find(std::string(name));
  if (known != s_->lookups.end()) return known->second;
  const std::string wanted = upperCase(name);
  for (size_t i = 0; i < s_->names.size(); ++i) {
    if (upperCase(s_->names[i]) == wanted) {
      s_->lookups.emplace(std::string(name), static_cast<int>(i));
      return static_cast<int>(i);
    }
  }
  fail(DbErrorNumber::ItemNotFound,
       "Item not found in this collection: the recordset has no field '" + std::string(name) + "'.");
}

Field Recordset::Fields(std::string_view name) {
  requireOpen();
  return FieldAt(indexOf(name));
}

FieldValue Recordset::Collect(std::string_view name) {
  requireOpen();
  return FieldValue(this, indexOf(name));
}

void Recordset::Close() {
  s_->closed = true;
  s_->adding = false;
  s_->ahead.reset();
  s_->scan.reset();
  s_->table.reset();
  s_->file.reset();
}

Variant Recordset::fieldValue(int index) {
  requireOpen();
  State& s = *s_;
  if (s.adding) return s.pending[s.columns[index]];
  if (s.eof) fail(DbErrorNumber::NoCurrentRecord, "There is no current record.");
  Variant v;
  // A long value is read when asked for, so a write since the row was read ahead counts.
  throwIfError(s.stopAheadIfWritten());
  throwIfError(s.ahead ? s.ahead->value(static_cast<size_t>(index), &v)
                       : s.scan->value(static_cast<size_t>(s.columns[index]), &v));
  return v;
}

void Recordset::setFieldValue(int index, Variant&& value) {
  requireOpen();
  State& s = *s_;
  if (s.type != dbOpenDynaset) {
    fail(DbErrorNumber::ReadOnly, "The recordset cannot be changed: it is read-only.");
  }
  if (!s.adding) {
    fail(DbErrorNumber::UpdateWithoutAddNew,
         "Update or CancelUpdate without AddNew or Edit: start a new record with AddNew first.");
  }
  const int column = s.columns[index];
  const ColumnDef& c = s.def().columns[column];
  if (c.isAutoLong()) {
    fail(DbErrorNumber::FieldNotUpdatable,
         "The field '" + c.name + "' cannot be updated: the database assigns its values.");
  }
  // A failed conversion leaves the pending value as it was.
  throwIfError(convertForColumn(s.file->pages().header(), c, std::move(value), &s.pending[column]));
  s.given[column] = true;
}

void Recordset::AddNew() {
  requireOpen();
  State& s = *s_;
  if (s.type != dbOpenDynaset) {
    fail(DbErrorNumber::ReadOnly, "The recordset cannot be changed: it is read-only.");
  }
  const TableDef& def = s.def();
  s.pending.assign(def.columns.size(), Variant());
  s.given.assign(def.columns.size(), false);
  TableWriter writer(s.file->allocator(), *s.table);
  for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
    if (!def.columns[k].isAutoLong()) continue;
    int32_t next = 0;
    throwIfError(writer.reserveAutonumber(&next));
    s.pending[k] = Variant(next);
  }
  s.adding = true;
}

void Recordset::Update(int type, bool force) {
  requireOpen();
  State& s = *s_;
  if (type != dbUpdateRegular || force) {
    fail(DbErrorNumber::InvalidArgument, "Only regular updates are supported.");
  }
  if (!s.adding) {
    fail(DbErrorNumber::UpdateWithoutAddNew,
         "Update or CancelUpdate without AddNew or Edit: start a new record with AddNew first.");
  }
  TableWriter writer(s.file->allocator(), *s.table);
  RowLocation where;
  throwIfError(writer.insertRow(s.pending, s.given, &where));
  s.adding = false;
  s.pending.clear();
  s.given.clear();
}

void Recordset::CancelUpdate() {
  requireOpen();
  s_->adding = false;
  s_->pending.clear();
  s_->given.clear();
}

Variant FieldValue::get() const { return rs_->fieldValue(index_); }

FieldValue& FieldValue::operator=(const Variant& value) {
  rs_->setFieldValue(index_, Variant(value));
  return *this;
}

FieldValue& FieldValue::operator=(Variant&& value) {
  rs_->setFieldValue(index_, std::move(value));
  return *this;
}

}  // namespace db
