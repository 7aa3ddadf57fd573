// schema_doc.h -- the description of a new catalogue's tables (destination.schema), read into
// the engine's table descriptions, and the template database built from it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/schema.h"
#include "db/value.h"

namespace schema {

// A row the template brings: values by column name. A value given for a counter is the one the
// counter is expected to assign.
struct TemplateRow {
  std::vector<std::pair<std::string, db::Variant>> values;
};

struct TableBlock {
  db::TableSchema table;
  std::vector<TemplateRow> rows;

  const db::ColumnDesign* column(std::string_view name) const;  // any letter case
};

struct SchemaDocument {
  double created = 0;  // a Jet date
  std::vector<TableBlock> tables;

  const TableBlock* table(std::string_view name) const;  // any letter case
};

// Reads the document; on a fault returns false with "line N: what is wrong" in `error`.
bool parseSchemaDocument(std::string_view text, SchemaDocument* out, std::string* error);
// Reads the document from a file; throws std::runtime_error with the path and the fault.
SchemaDocument loadSchemaDocument(const std::string& path);

// Creates a Jet 4 database at `path` (which must not exist) holding the document's tables and
// rows, stamped with its creation date. Throws db::DbException on an engine error and
// std::runtime_error when a counter does not give a row the value the document expects.
void buildTemplate(const SchemaDocument& doc, const std::string& path);

}  // namespace schema
