// sql.h -- the SQL the program sends, parsed into statements:
//   SELECT * | item [, item ...] FROM table [WHERE condition]
//       item:      column [AS alias]
//   UPDATE table SET column = literal [, column = literal ...] [WHERE condition]
//   condition: comparisons (=, <>, <, >, <=, >=) between columns and number or string literals
//   ("..." or '...', a doubled quote standing for itself), column IS [NOT] NULL, NOT, AND, OR,
//   parentheses. Names may stand in square brackets; keywords and names ignore letter case.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/error.h"
#include "db/value.h"

namespace db {

enum class CompareOp { Equal, NotEqual, Less, Greater, LessEqual, GreaterEqual };

struct Operand {
  bool isColumn = false;
  std::string column;     // when isColumn
  int columnIndex = -1;   // the column's place in the table, once the caller has bound it
  Variant literal;        // otherwise: Long, Double, Text, Boolean or Null
};

struct Condition {
  enum class Kind { Compare, IsNull, IsNotNull, Not, And, Or };
  Kind kind = Kind::Compare;
  CompareOp op = CompareOp::Equal;
  Operand left, right;                       // Compare; IsNull uses left
  std::unique_ptr<Condition> a, b;           // Not uses a; And, Or use both
};

struct SelectItem {
  std::string column;
  std::string alias;      // empty: the column's own name
};

struct Assignment {
  std::string column;
  Variant value;
};

struct SqlStatement {
  enum class Kind { Select, Update };
  Kind kind = Kind::Select;
  std::string table;
  bool selectAll = false;
  std::vector<SelectItem> items;             // Select without *
  std::vector<Assignment> assignments;       // Update
  std::unique_ptr<Condition> where;          // null: every row
};

DbError parseSql(std::string_view text, SqlStatement* out);

// Every column name a condition mentions, for checking them against the table.
void conditionColumns(const Condition& c, std::vector<std::string>* names);

// Three-valued result of a condition: a comparison with Null is Unknown, and only True rows
// are selected.
enum class Truth { False, True, Unknown };

// Compares two values as Jet does: numbers, Booleans and dates by value, text without regard
// to letter case. Text against a number is a type mismatch.
DbError compareValues(const Variant& a, const Variant& b, int* order);

}  // namespace db
