#include "db/sql.h"

#include <cctype>

#include "db/text_codec.h"

namespace db {
namespace {

enum class Tok { End, Name, Number, String, Symbol };

struct Token {
  Tok kind = Tok::End;
  std::string text;       // name (brackets removed), literal text, or the symbol
  bool bracketed = false; // a [name] is never a keyword
  size_t pos = 0;
};

DbError lex(std::string_view s, std::vector<Token>* out) {
  size_t i = 0;
  auto syntax = [&](const std::string& why) {
    return makeError(DbErrorNumber::ExpressionSyntax,
                     "Syntax error at position " + std::to_string(i + 1) + " of the query: " + why +
                         ".");
  };
  while (i < s.size()) {
    const char c = s[i];
    if (std::isspace(static_cast<unsigned char>(c))) { ++i; continue; }
    Token t;
    t.pos = i;
    if (c == '[') {
      size_t end = s.find(']', i + 1);
      if (end == std::string_view::npos) return syntax("a '[' has no closing ']'");
      t.kind = Tok::Name;
      t.text = std::string(s.substr(i + 1, end - i - 1));
      t.bracketed = true;
      if (t.text.empty()) return syntax("an empty name in brackets");
      i = end + 1;
    } else if (c == '"' || c == '\'') {
      t.kind = Tok::String;
      size_t j = i + 1;
      for (;; ++j) {
        if (j >= s.size()) return syntax("a text literal has no closing quote");
        if (s[j] == c) {
          if (j + 1 < s.size() && s[j + 1] == c) { t.text.push_back(c); ++j; continue; }
          break;
        }
        t.text.push_back(s[j]);
      }
      i = j + 1;
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      t.kind = Tok::Number;
      size_t j = i;
      while (j < s.size() && (std::isdigit(static_cast<unsigned char>(s[j])) || s[j] == '.')) ++j;
      if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
        size_t k = j + 1;
        if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
        if (k < s.size() && std::isdigit(static_cast<unsigned char>(s[k]))) {
          j = k;
          while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
        }
      }
      t.text = std::string(s.substr(i, j - i));
      i = j;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
               static_cast<unsigned char>(c) >= 0x80) {
      t.kind = Tok::Name;
      size_t j = i;
      while (j < s.size() && (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '_' ||
                              static_cast<unsigned char>(s[j]) >= 0x80)) {
        ++j;
      }
      t.text = std::string(s.substr(i, j - i));
      i = j;
    } else {
      t.kind = Tok::Symbol;
      static const char* kTwo[] = {"<>", "<=", ">=", "!="};
      t.text = std::string(1, c);
      for (const char* two : kTwo) {
        if (s.substr(i, 2) == two) t.text = two;
      }
      if (t.text == "!=") t.text = "<>";
      if (std::string("=<>*,();.-+").find(c) == std::string::npos) {
        return syntax(std::string("the character '") + c + "' is not understood");
      }
      i += t.text.size() == 2 ? 2 : 1;
    }
    out->push_back(std::move(t));
  }
  Token end;
  end.pos = s.size();
  out->push_back(end);
  return {};
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

  DbError statement(SqlStatement* out) {
    if (keyword("SELECT")) return select(out);
    if (keyword("UPDATE")) return update(out);
    return makeError(DbErrorNumber::InvalidStatement,
                     "The query is not understood: it must begin with SELECT or UPDATE.");
  }

 private:
  const Token& peek() const { return t_[p_]; }
  bool isKeyword(const char* word) const {
    return peek().kind == Tok::Name && !peek().bracketed && equalsIgnoreCase(peek().text, word);
  }
  bool keyword(const char* word) {
    if (!isKeyword(word)) return false;
    ++p_;
    return true;
  }
  bool symbol(const char* sym) {
    if (peek().kind != Tok::Symbol || peek().text != sym) return false;
    ++p_;
    return true;
  }
  static bool reserved(const std::string& word) {
    for (const char* k : {"SELECT", "FROM", "WHERE", "AS", "AND", "OR", "NOT", "IS", "NULL",
                          "UPDATE", "SET"}) {
      if (equalsIgnoreCase(word, k)) return true;
    }
    return false;
  }
  DbError error(DbErrorNumber number, const std::string& where) const {
    std::string near = peek().kind == Tok::End ? "the end of the query" : "'" + peek().text + "'";
    return makeError(number, "Syntax error in " + where + " near " + near + ".");
  }
  // A name, possibly qualified (table.column): the last part counts.
  bool name(std::string* out) {
    if (peek().kind != Tok::Name || (!peek().bracketed && reserved(peek().text))) return false;
    *out = peek().text;
    ++p_;
    while (peek().kind == Tok::Symbol && peek().text == "." && t_[p_ + 1].kind == Tok::Name) {
      ++p_;
      *out = peek().text;
      ++p_;
    }
    return true;
  }
  bool finished() {
    symbol(";");
    return peek().kind == Tok::End;
  }

  DbError select(SqlStatement* out) {
    out->kind = SqlStatement::Kind::Select;
    if (symbol("*")) {
      out->selectAll = true;
    } else {
      do {
        SelectItem item;
        if (!name(&item.column)) return error(DbErrorNumber::SelectSyntax, "the SELECT list");
        if (keyword("AS") && !name(&item.alias)) {
          return error(DbErrorNumber::SelectSyntax, "the SELECT list");
        }
        out->items.push_back(std::move(item));
      } while (symbol(","));
    }
    if (!keyword("FROM") || !name(&out->table)) {
      return error(DbErrorNumber::FromClauseSyntax, "the FROM clause");
    }
    if (keyword("WHERE")) {
      DbError err = condition(&out->where);
      if (!err.ok()) return err;
    }
    if (!finished()) {
      return peek().kind == Tok::Name && !isKeyword("WHERE")
                 ? error(DbErrorNumber::FromClauseSyntax, "the FROM clause")
                 : error(DbErrorNumber::ExpressionSyntax, "the query");
    }
    return {};
  }

  DbError update(SqlStatement* out) {
    out->kind = SqlStatement::Kind::Update;
    if (!name(&out->table) || !keyword("SET")) return error(DbErrorNumber::UpdateSyntax, "UPDATE");
    do {
      Assignment a;
      Operand value;
      if (!name(&a.column) || !symbol("=") || !literal(&value)) {
        return error(DbErrorNumber::UpdateSyntax, "UPDATE");
      }
      a.value = value.literal;
      out->assignments.push_back(std::move(a));
    } while (symbol(","));
    if (keyword("WHERE")) {
      DbError err = condition(&out->where);
      if (!err.ok()) return err;
    }
    if (!finished()) return error(DbErrorNumber::UpdateSyntax, "UPDATE");
    return {};
  }

  bool literal(Operand* out) {
    out->isColumn = false;
    bool negative = false;
    if (peek().kind == Tok::Symbol && (peek().text == "-" || peek().text == "+")) {
      negative = peek().text == "-";
      if (t_[p_ + 1].kind != Tok::Number) return false;
      ++p_;
    }
    if (peek().kind == Tok::Number) {
      double d = 0;
      if (!parseNumber(peek().text, &d)) return false;
      if (negative) d = -d;
      const bool integral = peek().text.find_first_of(".eE") == std::string::npos;
      if (integral && d >= -2147483648.0 && d <= 2147483647.0) {
        out->literal = Variant(static_cast<int32_t>(d));
      } else {
        out->literal = Variant(d);
      }
      ++p_;
      return true;
    }
    if (peek().kind == Tok::String) {
      out->literal = Variant(peek().text);
      ++p_;
      return true;
    }
    if (keyword("NULL")) { out->literal = Variant::null(); return true; }
    if (keyword("TRUE")) { out->literal = Variant(true); return true; }
    if (keyword("FALSE")) { out->literal = Variant(false); return true; }
    return false;
  }

  bool operand(Operand* out) {
    if (literal(out)) return true;
    if (isKeyword("TRUE") || isKeyword("FALSE")) return false;
    out->isColumn = true;
    return name(&out->column);
  }

  DbError condition(std::unique_ptr<Condition>* out) { return orExpr(out); }

  DbError orExpr(std::unique_ptr<Condition>* out) {
    DbError err = andExpr(out);
    while (err.ok() && keyword("OR")) {
      auto node = std::make_unique<Condition>();
      node->kind = Condition::Kind::Or;
      node->a = std::move(*out);
      err = andExpr(&node->b);
      *out = std::move(node);
    }
    return err;
  }

  DbError andExpr(std::unique_ptr<Condition>* out) {
    DbError err = notExpr(out);
    while (err.ok() && keyword("AND")) {
      auto node = std::make_unique<Condition>();
      node->kind = Condition::Kind::And;
      node->a = std::move(*out);
      err = notExpr(&node->b);
      *out = std::move(node);
    }
    return err;
  }

  DbError notExpr(std::unique_ptr<Condition>* out) {
    if (++depth_ > kMaxDepth) return error(DbErrorNumber::ExpressionSyntax, "the WHERE clause");
    DbError err;
    if (keyword("NOT")) {
      auto node = std::make_unique<Condition>();
      node->kind = Condition::Kind::Not;
      err = notExpr(&node->a);
      *out = std::move(node);
    } else {
      err = primary(out);
    }
    --depth_;
    return err;
  }

  DbError primary(std::unique_ptr<Condition>* out) {
    if (symbol("(")) {
      DbError err = condition(out);
      if (!err.ok()) return err;
      if (!symbol(")")) return error(DbErrorNumber::ExpressionSyntax, "the WHERE clause");
      return {};
    }
    auto node = std::make_unique<Condition>();
    if (!operand(&node->left)) return error(DbErrorNumber::ExpressionSyntax, "the WHERE clause");
    if (keyword("IS")) {
      node->kind = keyword("NOT") ? Condition::Kind::IsNotNull : Condition::Kind::IsNull;
      if (!keyword("NULL")) return error(DbErrorNumber::ExpressionSyntax, "the WHERE clause");
      *out = std::move(node);
      return {};
    }
    static const std::pair<const char*, CompareOp> kOps[] = {
        {"=", CompareOp::Equal}, {"<>", CompareOp::NotEqual}, {"<", CompareOp::Less},
        {">", CompareOp::Greater}, {"<=", CompareOp::LessEqual}, {">=", CompareOp::GreaterEqual}};
    bool matched = false;
    for (const auto& [sym, op] : kOps) {
      if (symbol(sym)) {
        node->op = op;
        matched = true;
        break;
      }
    }
    if (!matched || !operand(&node->right)) {
      return error(DbErrorNumber::ExpressionSyntax, "the WHERE clause");
    }
    node->kind = Condition::Kind::Compare;
    *out = std::move(node);
    return {};
  }

  // Nested NOTs and parentheses recurse; a limit keeps a hostile query from exhausting the stack.
  static constexpr int kMaxDepth = 200;
  std::vector<Token> t_;
  size_t p_ = 0;
  int depth_ = 0;
};

}  // namespace

DbError parseSql(std::string_view text, SqlStatement* out) {
  std::vector<Token> tokens;
  DbError err = lex(text, &tokens);
  if (!err.ok()) return err;
  *out = SqlStatement{};
  return Parser(std::move(tokens)).statement(out);
}

void conditionColumns(const Condition& c, std::vector<std::string>* names) {
  if (c.left.isColumn) names->push_back(c.left.column);
  if (c.right.isColumn) names->push_back(c.right.column);
  if (c.a) conditionColumns(*c.a, names);
  if (c.b) conditionColumns(*c.b, names);
}

DbError compareValues(const Variant& a, const Variant& b, int* order) {
  const bool aText = a.type() == VariantType::Text;
  const bool bText = b.type() == VariantType::Text;
  if (aText && bText) {
    const std::u16string x = utf8ToUtf16(upperCase(a.asText()));
    const std::u16string y = utf8ToUtf16(upperCase(b.asText()));
    *order = x < y ? -1 : (x == y ? 0 : 1);
    return {};
  }
  auto comparable = [](const Variant& v) {
    return v.isNumeric() || v.type() == VariantType::Date;
  };
  if (!comparable(a) || !comparable(b)) {
    return makeError(DbErrorNumber::TypeMismatch,
                     "Data type mismatch in the query's condition: text is compared with a "
                     "number.");
  }
  double x = 0, y = 0;
  a.toDouble(&x);
  b.toDouble(&y);
  *order = x < y ? -1 : (x == y ? 0 : 1);
  return {};
}

}  // namespace db
