#include "db/recordset.h"

#include "db/catalog.h"
#include "db/page_file.h"
#include "db/sql.h"
#include "db/table_scan.h"
#include "db/text_codec.h"

namespace db {

struct OpenFile {
  std::unique_ptr<PageFile> file;
  Catalog catalog;
};

namespace {

[[noreturn]] void fail(DbErrorNumber number, const std::string& description) {
  throw DbException(makeError(number, description));
}

// Text columns compare with text, everything else with numbers.
bool isTextType(uint8_t typeCode) { return typeCode == 0x0A || typeCode == 0x0C; }
bool isComparableType(uint8_t typeCode) {
  return typeCode != 0x09 && typeCode != 0x0B && typeCode != 0x0F;
}

}  // namespace

Engine& DBEngine() {
  static Engine engine;
  return engine;
}

std::shared_ptr<Database> Engine::OpenDatabase(const std::string& path) {
  auto open = std::make_shared<OpenFile>();
  throwIfError(PageFile::open(path, &open->file));
  throwIfError(Catalog::load(*open->file, &open->catalog));
  std::shared_ptr<Database> db(new Database());
  db->file_ = std::move(open);
  return db;
}

Database::~Database() = default;

std::shared_ptr<OpenFile> Database::file() const {
  if (!file_) fail(DbErrorNumber::ObjectClosed, "The database has been closed.");
  return file_;
}

void Database::Close() { file_.reset(); }

const std::string& Database::path() const { return file()->file->path(); }

const char* Database::formatName() const { return file()->file->format().name; }

std::vector<std::string> Database::tableNames() const {
  std::vector<std::string> names;
  for (const CatalogEntry& e : file()->catalog.userTables()) names.push_back(e.name);
  return names;
}

TableDef Database::tableDef(std::string_view table) const {
  auto f = file();
  TableDef def;
  throwIfError(openTableDef(*f->file, f->catalog, table, &def));
  return def;
}

struct Recordset::State {
  std::shared_ptr<OpenFile> file;
  std::weak_ptr<Database> database;   // a closed database ends its recordsets too
  int type = dbOpenSnapshot;
  TableDef def;
  std::unique_ptr<TableScan> scan;
  SqlStatement statement;
  std::vector<int> columns;           // def.columns index of each field
  std::vector<std::string> names;     // each field's name (its alias, if any)
  bool closed = false;
  bool eof = true;
  int32_t position = -1;              // 0-based place of the current record
  int32_t reached = 0;                // records reached so far
  bool endKnown = false;              // the scan has run past the last record
  RowLocation last;                   // the furthest record reached

  DbError evaluate(const Condition& c, Truth* out) const;
  DbError operandValue(const Operand& o, Variant* out) const;
  DbError advance(bool* found);
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
      Variant v;
      DbError err = operandValue(c.left, &v);
      if (!err.ok()) return err;
      *out = (v.isNull() == (c.kind == K::IsNull)) ? Truth::True : Truth::False;
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

DbError Recordset::State::advance(bool* found) {
  for (;;) {
    DbError err = scan->next(found);
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
  s.type = type;
  throwIfError(parseSql(sql, &s.statement));
  if (s.statement.kind != SqlStatement::Kind::Select) {
    fail(DbErrorNumber::InvalidArgument,
         "A recordset needs a SELECT query; run other statements with Execute.");
  }
  throwIfError(openTableDef(*f->file, f->catalog, s.statement.table, &s.def));

  auto unknown = [&](const std::string& name) {
    fail(DbErrorNumber::UnknownFieldInQuery,
         "The query names '" + name + "', which is not a column of table '" + s.def.name + "'.");
  };
  if (s.statement.selectAll) {
    for (size_t i = 0; i < s.def.columns.size(); ++i) {
      s.columns.push_back(static_cast<int>(i));
      s.names.push_back(s.def.columns[i].name);
    }
  } else {
    for (const SelectItem& item : s.statement.items) {
      int index = s.def.findColumn(item.column);
      if (index < 0) unknown(item.column);
      s.columns.push_back(index);
      s.names.push_back(item.alias.empty() ? s.def.columns[index].name : item.alias);
    }
  }
  if (s.statement.where) {
    // Bind each column named in the condition and check what it is compared with.
    std::vector<Condition*> pending{s.statement.where.get()};
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
          o->columnIndex = s.def.findColumn(o->column);
          if (o->columnIndex < 0) unknown(o->column);
          const uint8_t type = s.def.columns[o->columnIndex].typeCode;
          if (c->kind == Condition::Kind::Compare && !isComparableType(type)) {
            fail(DbErrorNumber::TypeMismatch, "The column '" + o->column +
                                                  "' cannot be compared in a query condition.");
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
  s.scan = std::make_unique<TableScan>(*f->file, s.def);
  throwIfError(s.scan->rewind());
  rs->MoveFirstOrEmpty();
  return rs;
}

void Recordset::MoveFirstOrEmpty() {
  State& s = *s_;
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
  if (s_->closed || s_->database.expired() || !s_->database.lock()->file_) {
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
    s.last = s.scan->location();
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
  if (s.eof && s.reached == 0) {
    MoveFirstOrEmpty();
    if (s.eof) fail(DbErrorNumber::NoCurrentRecord, "There is no current record.");
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
  return Field(this, index, s_->names[index], s_->def.columns[s_->columns[index]].type());
}

Field Recordset::Fields(std::string_view name) {
  requireOpen();
  const std::string wanted = upperCase(name);
  for (size_t i = 0; i < s_->names.size(); ++i) {
    if (upperCase(s_->names[i]) == wanted) return FieldAt(static_cast<int>(i));
  }
  fail(DbErrorNumber::ItemNotFound,
       "Item not found in this collection: the recordset has no field '" + std::string(name) + "'.");
}

void Recordset::Close() {
  s_->closed = true;
  s_->scan.reset();
  s_->file.reset();
}

Variant Recordset::fieldValue(int index) {
  requireOpen();
  if (s_->eof) fail(DbErrorNumber::NoCurrentRecord, "There is no current record.");
  Variant v;
  throwIfError(s_->scan->value(static_cast<size_t>(s_->columns[index]), &v));
  return v;
}

void Recordset::setFieldValue(int, const Variant&) {
  requireOpen();
  fail(DbErrorNumber::ReadOnly, "The recordset cannot be changed: it is read-only.");
}

Variant FieldValue::get() const { return rs_->fieldValue(index_); }

FieldValue& FieldValue::operator=(const Variant& value) {
  rs_->setFieldValue(index_, value);
  return *this;
}

}  // namespace db
