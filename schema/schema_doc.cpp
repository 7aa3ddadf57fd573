// schema_doc.cpp -- reading destination.schema and building the template from it.
#include "schema/schema_doc.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "db/recordset.h"
#include "db/text_codec.h"

namespace schema {
namespace {

using db::ColumnType;
using db::Variant;

struct Token {
  enum Kind { Word, Text, Punct } kind;
  std::string text;
};

// Words run to white space, '=' or ','; a text runs between double quotes ("" inside stands for
// one quote); '#' outside a text starts a comment.
bool tokenize(std::string_view line, std::vector<Token>* out, std::string* error) {
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == '#') break;
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '=' || c == ',') {
      out->push_back({Token::Punct, std::string(1, c)});
      ++i;
    } else if (c == '"') {
      std::string text;
      ++i;
      for (;;) {
        if (i >= line.size()) {
          *error = "a text has no closing quote";
          return false;
        }
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            text += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        text += line[i++];
      }
      out->push_back({Token::Text, text});
    } else {
      size_t j = i;
      while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j])) &&
             line[j] != '=' && line[j] != ',' && line[j] != '"' && line[j] != '#') {
        ++j;
      }
      out->push_back({Token::Word, std::string(line.substr(i, j - i))});
      i = j;
    }
  }
  return true;
}

bool parseInt(const std::string& s, long long* out) {
  if (s.empty()) return false;
  size_t i = s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    v = v * 10 + (s[i] - '0');
    if (v > 0x7FFFFFFFLL + 1) return false;
  }
  *out = s[0] == '-' ? -v : v;
  return *out >= -0x80000000LL && *out <= 0x7FFFFFFFLL;
}

bool parseValue(const Token& t, Variant* out) {
  if (t.kind == Token::Text) {
    *out = Variant(t.text);
    return true;
  }
  if (t.kind != Token::Word) return false;
  if (t.text == "True" || t.text == "False") {
    *out = Variant(t.text == "True");
    return true;
  }
  long long v = 0;
  if (!parseInt(t.text, &v)) return false;
  *out = Variant(static_cast<int32_t>(v));
  return true;
}

bool parseType(const std::string& word, db::ColumnDesign* c) {
  static const std::pair<const char*, ColumnType> kPlain[] = {
      {"Boolean", ColumnType::Boolean}, {"Byte", ColumnType::Byte},
      {"Integer", ColumnType::Integer}, {"Long", ColumnType::Long},
      {"Currency", ColumnType::Currency}, {"Single", ColumnType::Single},
      {"Double", ColumnType::Double}, {"DateTime", ColumnType::DateTime},
      {"Memo", ColumnType::Memo}};
  for (const auto& [name, type] : kPlain) {
    if (word == name) {
      c->type = type;
      c->size = 0;
      return true;
    }
  }
  if (word.size() > 6 && word.compare(0, 5, "Text(") == 0 && word.back() == ')') {
    long long n = 0;
    if (!parseInt(word.substr(5, word.size() - 6), &n) || n < 1 || n > 255) return false;
    c->type = ColumnType::Text;
    c->size = static_cast<uint16_t>(n);
    return true;
  }
  return false;
}

// Days from 1899-12-30 (Jet's day 0) to a civil date.
bool parseDate(const std::string& s, double* out) {
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (std::sscanf(s.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3 || m < 1 || m > 12 ||
      d < 1 || d > 31) {
    return false;
  }
  auto daysFromCivil = [](int yy, int mm, int dd) {
    yy -= mm <= 2;
    const int era = (yy >= 0 ? yy : yy - 399) / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (mm + (mm > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
  };
  *out = daysFromCivil(y, m, d) - daysFromCivil(1899, 12, 30);
  return true;
}

class Parser {
 public:
  explicit Parser(SchemaDocument* doc) : doc_(doc) {}

  bool line(const std::vector<Token>& t, std::string* error) {
    if (t.empty()) return true;
    if (t[0].kind != Token::Word) return fail(error, "a line must start with a word");
    const std::string& head = t[0].text;
    if (head == "created") {
      if (t.size() != 2 || !parseDate(t[1].text, &doc_->created)) {
        return fail(error, "expected: created YYYY-MM-DD");
      }
      return true;
    }
    if (head == "table") {
      if (t.size() != 2 || t[1].kind != Token::Word) return fail(error, "expected: table NAME");
      if (doc_->table(t[1].text)) return fail(error, "table " + t[1].text + " is described twice");
      doc_->tables.emplace_back();
      doc_->tables.back().table.name = t[1].text;
      return true;
    }
    if (doc_->tables.empty()) return fail(error, "\"" + head + "\" before the first table");
    TableBlock& block = doc_->tables.back();
    if (head == "primary" || head == "index") return key(block, t, error);
    if (head == "row") return row(block, t, error);
    if (head == "rows") return rows(block, t, error);
    return column(block, t, error);
  }

 private:
  static bool fail(std::string* error, std::string what) {
    *error = std::move(what);
    return false;
  }

  bool column(TableBlock& block, const std::vector<Token>& t, std::string* error) {
    db::ColumnDesign c;
    c.name = t[0].text;
    if (block.column(c.name)) return fail(error, "column " + c.name + " is described twice");
    if (t.size() < 2 || !parseType(t[1].text, &c)) {
      return fail(error, "column " + c.name + ": expected a type (Long, Text(50), ...)");
    }
    for (size_t i = 2; i < t.size(); ++i) {
      const std::string& w = t[i].text;
      if (w == "counter" && c.type == ColumnType::Long) {
        c.autoNumber = true;
      } else if (w == "required") {
        c.required = true;
      } else if (w == "zero-length" &&
                 (c.type == ColumnType::Text || c.type == ColumnType::Memo)) {
        c.allowZeroLength = true;
      } else if (w == "default" && i + 2 < t.size() && t[i + 1].text == "=") {
        Variant v;
        if (!parseValue(t[i + 2], &v)) return fail(error, "column " + c.name + ": bad default");
        c.defaultValue = v;
        i += 2;
      } else {
        return fail(error, "column " + c.name + ": \"" + w + "\" is not a property of a " +
                               t[1].text + " column");
      }
    }
    block.table.columns.push_back(std::move(c));
    return true;
  }

  // COLUMN[, COLUMN...] from t[from]; every column must exist.
  bool columnList(const TableBlock& block, const std::vector<Token>& t, size_t* i,
                  std::vector<std::string>* out, std::string* error) {
    for (;;) {
      if (*i >= t.size() || t[*i].kind != Token::Word) return fail(error, "expected a column");
      if (!block.column(t[*i].text)) {
        return fail(error, "no column " + t[*i].text + " in " + block.table.name);
      }
      out->push_back(t[*i].text);
      ++*i;
      if (*i < t.size() && t[*i].text == ",") {
        ++*i;
        continue;
      }
      return true;
    }
  }

  bool key(TableBlock& block, const std::vector<Token>& t, std::string* error) {
    db::IndexDesign index;
    size_t i = 0;
    if (t[0].text == "primary") {
      if (t.size() < 3 || t[1].text != "key") return fail(error, "expected: primary key COLUMN");
      index.name = "PrimaryKey";
      index.primaryKey = true;
      i = 2;
    } else {
      if (t.size() < 4 || t[2].text != "on") return fail(error, "expected: index NAME on COLUMN");
      index.name = t[1].text;
      i = 3;
    }
    for (const db::IndexDesign& other : block.table.indexes) {
      if (db::equalsIgnoreCase(other.name, index.name) || (index.primaryKey && other.primaryKey)) {
        return fail(error, "index " + index.name + " is described twice");
      }
    }
    std::vector<std::string> columns;
    if (!columnList(block, t, &i, &columns, error)) return false;
    for (const std::string& name : columns) index.columns.push_back({name, true});
    if (i < t.size() && t[i].text == "unique" && !index.primaryKey) {
      index.unique = true;
      ++i;
    }
    if (i != t.size()) return fail(error, "\"" + t[i].text + "\" after the index's columns");
    block.table.indexes.push_back(std::move(index));
    return true;
  }

  bool row(TableBlock& block, const std::vector<Token>& t, std::string* error) {
    TemplateRow r;
    for (size_t i = 1; i < t.size(); i += 3) {
      if (i + 2 >= t.size() + 0 || t[i].kind != Token::Word || t[i + 1].text != "=") {
        return fail(error, "expected: row COLUMN=VALUE ...");
      }
      if (!block.column(t[i].text)) {
        return fail(error, "no column " + t[i].text + " in " + block.table.name);
      }
      Variant v;
      if (!parseValue(t[i + 2], &v)) return fail(error, "bad value for " + t[i].text);
      r.values.emplace_back(t[i].text, v);
    }
    if (r.values.empty()) return fail(error, "a row with no values");
    block.rows.push_back(std::move(r));
    return true;
  }

  bool rows(TableBlock& block, const std::vector<Token>& t, std::string* error) {
    size_t i = 1;
    std::vector<std::string> columns;
    if (!columnList(block, t, &i, &columns, error)) return false;
    long long first = 0, last = 0;
    const std::string range = i + 1 < t.size() ? t[i + 1].text : "";
    const size_t dots = range.find("..");
    if (i + 2 != t.size() || t[i].text != "=" || dots == std::string::npos ||
        !parseInt(range.substr(0, dots), &first) || !parseInt(range.substr(dots + 2), &last) ||
        first > last || last - first > 100000) {
      return fail(error, "expected: rows COLUMN[, COLUMN...] = FIRST..LAST");
    }
    for (long long n = first; n <= last; ++n) {
      TemplateRow r;
      for (const std::string& c : columns) r.values.emplace_back(c, Variant(static_cast<int32_t>(n)));
      block.rows.push_back(std::move(r));
    }
    return true;
  }

  SchemaDocument* doc_;
};

}  // namespace

const db::ColumnDesign* TableBlock::column(std::string_view name) const {
  for (const db::ColumnDesign& c : table.columns) {
    if (db::equalsIgnoreCase(c.name, name)) return &c;
  }
  return nullptr;
}

const TableBlock* SchemaDocument::table(std::string_view name) const {
  for (const TableBlock& t : tables) {
    if (db::equalsIgnoreCase(t.table.name, name)) return &t;
  }
  return nullptr;
}

bool parseSchemaDocument(std::string_view text, SchemaDocument* out, std::string* error) {
  *out = SchemaDocument();
  Parser parser(out);
  size_t lineNo = 0;
  for (size_t pos = 0; pos <= text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    ++lineNo;
    std::vector<Token> tokens;
    std::string what;
    if (!tokenize(text.substr(pos, end - pos), &tokens, &what) || !parser.line(tokens, &what)) {
      *error = "line " + std::to_string(lineNo) + ": " + what;
      return false;
    }
    pos = end + 1;
  }
  for (const TableBlock& t : out->tables) {
    if (t.table.columns.empty()) {
      *error = "table " + t.table.name + " has no columns";
      return false;
    }
  }
  if (out->tables.empty()) {
    *error = "no tables";
    return false;
  }
  return true;
}

SchemaDocument loadSchemaDocument(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  SchemaDocument doc;
  std::string error;
  if (!parseSchemaDocument(text.str(), &doc, &error)) throw std::runtime_error(path + ": " + error);
  return doc;
}

void buildTemplate(const SchemaDocument& doc, const std::string& path) {
  auto database = db::DBEngine().CreateDatabase(path, db::kVersion4, doc.created);
  for (const TableBlock& block : doc.tables) database->createTable(block.table);
  for (const TableBlock& block : doc.tables) {
    if (block.rows.empty()) continue;
    auto rs = database->OpenRecordset("SELECT * FROM [" + block.table.name + "]", db::dbOpenDynaset);
    for (const TemplateRow& row : block.rows) {
      rs->AddNew();
      for (const auto& [name, value] : row.values) {
        if (block.column(name)->autoNumber) {
          const int32_t given = rs->Collect(name).int32();
          if (given != value.int32()) {
            throw std::runtime_error(block.table.name + "." + name + " numbers a row " +
                                     std::to_string(given) + ", not " + value.text());
          }
        } else {
          rs->Collect(name) = value;
        }
      }
      rs->Update();
    }
    rs->Close();
  }
  database->Close();
}

}  // namespace schema
