// schema.h -- a table as a program describes it when it creates one: columns with their type,
// size and properties, and indexes over them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "db/table_def.h"
#include "db/value.h"

namespace db {

struct ColumnDesign {
  std::string name;
  ColumnType type = ColumnType::Text;
  uint16_t size = 50;             // Text: characters (1..255); Binary: bytes; else unused
  bool autoNumber = false;        // Long only: the database assigns 1, 2, 3...
  bool required = false;
  bool allowZeroLength = false;   // Text and Memo: "" accepted (Jet's default is no)
  std::optional<Variant> defaultValue;  // a literal: number, text or Boolean
  std::string description;
  bool unicodeCompression = true; // Text and Memo (Jet4): stored one byte per character where
                                  // every character allows it
  uint8_t precision = 18;         // Decimal
  uint8_t scale = 0;
};

struct IndexColumnDesign {
  std::string column;
  bool ascending = true;
};

struct IndexDesign {
  std::string name;
  std::vector<IndexColumnDesign> columns;
  bool primaryKey = false;        // also unique and required
  bool unique = false;
  bool ignoreNulls = false;
  bool required = false;
};

struct TableSchema {
  std::string name;
  std::vector<ColumnDesign> columns;
  std::vector<IndexDesign> indexes;
};

}  // namespace db
