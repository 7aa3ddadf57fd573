#include "db/json_dump.h"

#include <algorithm>
#include <cstdio>

#include "db/sha256.h"
#include "db/table_scan.h"
#include "db/text_codec.h"

namespace db {
namespace {

constexpr size_t kInlineBinaryLimit = 64;

std::string jsonBool(bool b) { return b ? "true" : "false"; }

std::string columnJson(const ColumnDef& c) {
  std::string s = "{\"name\":" + jsonString(c.name) + ",\"type\":" +
                  jsonString(columnTypeName(c.typeCode)) + ",\"size\":" +
                  std::to_string(c.type() == ColumnType::Boolean ? 0 : c.length) +
                  ",\"fixed\":" + jsonBool(c.isFixed()) + ",\"autoLong\":" +
                  jsonBool(c.isAutoLong()) + ",\"autoGuid\":" + jsonBool(c.isAutoGuid());
  if (c.type() == ColumnType::Decimal) {
    s += ",\"precision\":" + std::to_string(c.precision) + ",\"scale\":" + std::to_string(c.scale);
  }
  if (c.type() == ColumnType::Text || c.type() == ColumnType::Memo) {
    s += ",\"compressedUnicode\":" + jsonBool(c.compressedUnicode()) +
         ",\"sortOrder\":" + std::to_string(c.sortOrder);
  }
  if (c.isHyperlink()) s += ",\"hyperlink\":true";
  return s + "}";
}

std::string indexJson(const TableDef& def, const IndexDef& index) {
  const RealIndexDef& real = def.realIndexes[index.realIndex];
  std::string s = "{\"name\":" + jsonString(index.name) + ",\"columns\":[";
  for (size_t i = 0; i < real.columns.size(); ++i) {
    const ColumnDef* c = def.columnByNumber(real.columns[i].columnNumber);
    if (i > 0) s += ",";
    s += "{\"name\":" + jsonString(c ? c->name : "?") +
         ",\"asc\":" + jsonBool(real.columns[i].ascending) + "}";
  }
  s += "],\"primary\":" + jsonBool(index.isPrimary()) +
       ",\"unique\":" + jsonBool(real.flags & kIndexUnique) +
       ",\"ignoreNulls\":" + jsonBool(real.flags & kIndexIgnoreNulls) +
       ",\"required\":" + jsonBool(real.flags & kIndexRequired) +
       ",\"foreignKey\":" + jsonBool(index.isForeignKey()) + "}";
  return s;
}

std::string tableJson(const TableDef& def, uint64_t rows) {
  std::string s = "{\"kind\":\"table\",\"name\":" + jsonString(def.name) +
                  ",\"rows\":" + std::to_string(rows) + ",\"columns\":[";
  for (size_t i = 0; i < def.columns.size(); ++i) {
    if (i > 0) s += ",";
    s += columnJson(def.columns[i]);
  }
  s += "],\"indexes\":[";
  std::vector<const IndexDef*> indexes;
  for (const IndexDef& ix : def.indexes) indexes.push_back(&ix);
  std::stable_sort(indexes.begin(), indexes.end(), [](const IndexDef* a, const IndexDef* b) {
    return utf8ToUtf16(a->name) < utf8ToUtf16(b->name);
  });
  for (size_t i = 0; i < indexes.size(); ++i) {
    if (i > 0) s += ",";
    s += indexJson(def, *indexes[i]);
  }
  return s + "]}";
}

}  // namespace

std::string jsonString(std::string_view utf8) {
  std::string out = "\"";
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\b': out += "\\b"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\f': out += "\\f"; continue;
      case '\r': out += "\\r"; continue;
      default: break;
    }
    char buf[8];
    if (c < 0x20) {
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0x85) {
      out += "\\u0085";
      ++i;
    } else if (c == 0xE2 && i + 2 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(utf8[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(utf8[i + 2]) == 0xA9)) {
      out += static_cast<unsigned char>(utf8[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

std::string jsonValue(const Variant& v) {
  switch (v.type()) {
    case VariantType::Null: return "null";
    case VariantType::Boolean: return jsonBool(v.asBool());
    case VariantType::Byte: return std::to_string(v.asByte());
    case VariantType::Integer: return std::to_string(v.asInteger());
    case VariantType::Long: return std::to_string(v.asLong());
    case VariantType::Currency: return formatCurrency(v.asCurrency());
    case VariantType::Decimal: return formatDecimal(v.asDecimal());
    case VariantType::Single: return formatSingle(v.asSingle());
    case VariantType::Double: return formatDouble(v.asDouble());
    case VariantType::Date: return jsonString(formatDate(v.asDate()));
    case VariantType::Text: return jsonString(v.asText());
    case VariantType::Guid: return jsonString(formatGuid(v.asGuid()));
    case VariantType::Binary: {
      const std::vector<uint8_t>& b = v.asBinary();
      std::string s = "bin:" + std::to_string(b.size()) + ":";
      if (b.size() > kInlineBinaryLimit) return jsonString(s + "sha256:" + sha256Hex(b));
      static const char* kHex = "0123456789abcdef";
      for (uint8_t x : b) {
        s.push_back(kHex[x >> 4]);
        s.push_back(kHex[x & 15]);
      }
      return jsonString(s);
    }
  }
  return "null";
}

DbError dumpJson(const PageFile& file, const Catalog& catalog, std::string_view onlyTable,
                 std::ostream& out) {
  std::vector<CatalogEntry> tables;
  if (onlyTable.empty()) {
    tables = catalog.userTables();
  } else {
    CatalogEntry e;
    DbError err = catalog.findTable(onlyTable, &e);
    if (!err.ok()) return err;
    tables.push_back(e);
  }
  out << "{\"kind\":\"database\",\"format\":\"" << file.format().name
      << "\",\"tables\":" << tables.size() << "}\n";
  for (const CatalogEntry& entry : tables) {
    TableDef def;
    DbError err = readTableDef(file, entry.tdefPage(), entry.name, &def);
    if (!err.ok()) return err;
    TableScan scan(file, def, isUserTable(entry, def));
    // Count first, so the table line can say how many rows follow without holding them.
    uint64_t rows = 0;
    err = scan.rewind();
    for (bool found = true; err.ok();) {
      err = scan.next(&found);
      if (!found) break;
      ++rows;
    }
    if (!err.ok()) return err;
    out << tableJson(def, rows) << "\n";
    err = scan.rewind();
    if (!err.ok()) return err;
    const std::string prefix = "{\"kind\":\"row\",\"table\":" + jsonString(def.name) +
                               ",\"values\":{";
    std::vector<std::string> keys;
    for (const ColumnDef& c : def.columns) keys.push_back(jsonString(c.name) + ":");
    Variant value;
    std::string line;
    for (bool found = true;;) {
      err = scan.next(&found);
      if (!err.ok()) return err;
      if (!found) break;
      line = prefix;
      for (size_t i = 0; i < def.columns.size(); ++i) {
        err = scan.value(i, &value);
        if (!err.ok()) return err;
        if (i > 0) line += ",";
        line += keys[i];
        line += jsonValue(value);
      }
      line += "}}\n";
      out << line;
    }
  }
  return {};
}

}  // namespace db
