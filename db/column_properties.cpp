#include "db/column_properties.h"

#include "db/text_codec.h"
#include "db/value_convert.h"

namespace db {

std::string defaultValueExpression(const Variant& value) {
  switch (value.type()) {
    case VariantType::Text: {
      std::string out = "\"";
      for (char c : value.asText()) {
        out += c;
        if (c == '"') out += '"';
      }
      return out + "\"";
    }
    case VariantType::Boolean:
      return value.asBool() ? "True" : "False";
    default:
      return value.text();
  }
}

bool parseDefaultValueExpression(const std::string& expression, Variant* value) {
  std::string e = expression;
  e.erase(0, e.find_first_not_of(" \t"));
  e.erase(e.find_last_not_of(" \t") + 1);
  if (e.size() >= 2 && (e.front() == '"' || e.front() == '\'') && e.back() == e.front()) {
    std::string text;
    const char quote = e.front();
    for (size_t i = 1; i + 1 < e.size(); ++i) {
      if (e[i] == quote) {
        if (e[i + 1] != quote || i + 2 >= e.size()) return false;  // a lone quote inside
        ++i;
      }
      text += e[i];
    }
    *value = Variant(text);
    return true;
  }
  const std::string upper = upperCase(e);
  if (upper == "TRUE" || upper == "YES" || upper == "ON") {
    *value = Variant(true);
    return true;
  }
  if (upper == "FALSE" || upper == "NO" || upper == "OFF") {
    *value = Variant(false);
    return true;
  }
  double d = 0;
  if (parseNumber(e, &d)) {
    *value = Variant(d);
    return true;
  }
  return false;
}

DbError loadColumnRules(const PageFile& file, int32_t objectId, const TableDef& def,
                        std::vector<ColumnRules>* rules) {
  rules->assign(def.columns.size(), ColumnRules{});
  PropertyBlob blob;
  DbError err = readObjectProperties(file, objectId, &blob);
  if (err.number == static_cast<int>(DbErrorNumber::ItemNotFound)) return {};
  if (!err.ok()) return err;
  for (size_t k = 0; k < def.columns.size(); ++k) {
    const ColumnDef& c = def.columns[k];
    ColumnRules& rule = (*rules)[k];
    rule.required = booleanProperty(blob, c.name, "Required", false);
    const bool text = c.type() == ColumnType::Text || c.type() == ColumnType::Memo;
    rule.allowZeroLength = !text || booleanProperty(blob, c.name, "AllowZeroLength", false);
    const Property* def0 = findProperty(blob, c.name, "DefaultValue");
    Variant literal;
    if (def0 && def0->value.type() == VariantType::Text &&
        parseDefaultValueExpression(def0->value.asText(), &literal)) {
      Variant converted;
      if (convertForColumn(file.header(), c, literal, &converted).ok()) {
        rule.hasDefault = true;
        rule.defaultValue = converted;
      }
    }
  }
  return {};
}

DbError encodeColumnProperties(const DatabaseHeader& header, const TableSchema& schema,
                               std::vector<uint8_t>* out) {
  out->clear();
  PropertyBlob blob;
  DbError err;
  auto add = [&](const std::string& column, const char* name, const Variant& value) {
    if (!err.ok()) return;
    Property p;
    err = makeProperty(name, value, &p);
    if (err.ok()) setProperty(&blob, column, p);
  };
  for (const ColumnDesign& c : schema.columns) {
    if (c.required) add(c.name, "Required", Variant(true));
    if (c.type == ColumnType::Text || c.type == ColumnType::Memo) {
      add(c.name, "AllowZeroLength", Variant(c.allowZeroLength));
    }
    if (c.defaultValue) add(c.name, "DefaultValue", Variant(defaultValueExpression(*c.defaultValue)));
    if (!c.description.empty()) add(c.name, "Description", Variant(c.description));
  }
  if (!err.ok() || blob.blocks.empty()) return err;
  return encodeProperties(blob, header, out);
}

}  // namespace db
