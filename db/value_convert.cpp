#include "db/value_convert.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "db/text_codec.h"

namespace db {
namespace {

constexpr double kCurrencyScale = 10000.0;
constexpr int kMaxDecimalDigits = 28;

DbError conversionFailed(const ColumnDef& c, const std::string& what) {
  return makeError(DbErrorNumber::ConversionFailed,
                   "Data type conversion error: " + what + " cannot be stored in the " +
                       columnTypeName(c.typeCode) + " column '" + c.name + "'.");
}

DbError overflow(const ColumnDef& c, const std::string& what) {
  return makeError(DbErrorNumber::NumericOverflow,
                   "Numeric field overflow: " + what + " does not fit the " +
                       columnTypeName(c.typeCode) + " column '" + c.name + "'.");
}

std::string describe(const Variant& v) {
  std::string text;
  if (v.toText(&text).ok()) return "'" + text + "'";
  return "the value";
}

// The value as a number, for numeric columns: text must be numeric.
DbError numberOf(const ColumnDef& c, const Variant& in, double* out) {
  if (in.type() == VariantType::Guid || in.type() == VariantType::Binary) {
    return conversionFailed(c, "binary data");
  }
  DbError err = in.toDouble(out);
  if (!err.ok()) return conversionFailed(c, describe(in));
  return {};
}

bool parseGuid(const std::string& text, Guid* out) {
  unsigned v[11];
  if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &v[0], &v[1], &v[2],
                  &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10]) != 11 ||
      text.size() != 38) {
    return false;
  }
  Guid g{};
  for (int i = 0; i < 4; ++i) g[i] = static_cast<uint8_t>(v[0] >> (8 * i));
  for (int i = 0; i < 2; ++i) g[4 + i] = static_cast<uint8_t>(v[1] >> (8 * i));
  for (int i = 0; i < 2; ++i) g[6 + i] = static_cast<uint8_t>(v[2] >> (8 * i));
  for (int i = 0; i < 8; ++i) g[8 + i] = static_cast<uint8_t>(v[3 + i]);
  *out = g;
  return true;
}

// Days since 1899-12-30 for a civil date.
double daysFromCivil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<double>(era) * 146097 + static_cast<double>(doe) - 719468 + 25569;
}

bool parseIsoDate(const std::string& text, double* out) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char sep = 0;
  const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &y, &mo, &d, &sep, &h, &mi, &s);
  if (n != 3 && n < 6) return false;
  if (n >= 4 && sep != ' ' && sep != 'T') return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || y < 100) return false;
  const double days = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  const double time = (h * 3600 + mi * 60 + s) / 86400.0;
  // Before day zero the time of day still counts forwards.
  *out = days < 0 ? days - time : days + time;
  return true;
}

bool parseDecimal(const std::string& text, uint8_t scale, Decimal* out) {
  double d = 0;
  if (!parseNumber(text, &d)) return false;
  // Exact digits where the text is plain decimal notation; otherwise through the double.
  std::string s = text;
  s.erase(0, s.find_first_not_of(" \t"));
  s.erase(s.find_last_not_of(" \t") + 1);
  Decimal r;
  r.scale = scale;
  size_t i = 0;
  if (s[i] == '-' || s[i] == '+') r.negative = s[i++] == '-';
  if (s.find_first_of("eE") != std::string::npos) return false;
  std::string whole, fraction;
  size_t point = s.find('.', i);
  whole = s.substr(i, point == std::string::npos ? std::string::npos : point - i);
  if (point != std::string::npos) fraction = s.substr(point + 1);
  // Round half to even at the column's scale.
  bool roundUp = false;
  if (fraction.size() > scale) {
    const std::string rest = fraction.substr(scale);
    fraction.resize(scale);
    const char first = rest[0];
    const bool tail = rest.find_first_not_of('0', 1) != std::string::npos;
    const int lastDigit = (fraction.empty() ? (whole.empty() ? 0 : whole.back()) : fraction.back()) - '0';
    roundUp = first > '5' || (first == '5' && (tail || lastDigit % 2 == 1));
  }
  fraction.resize(scale, '0');
  const std::string digits = whole + fraction;
  if (digits.size() > 38) return false;
  unsigned __int128 m = 0;
  for (char c : digits) m = m * 10 + static_cast<unsigned>(c - '0');
  if (roundUp) ++m;
  r.magnitude = m;
  if (m == 0) r.negative = false;
  *out = r;
  return true;
}

unsigned __int128 pow10(int n) {
  unsigned __int128 p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

}  // namespace

size_t storedTextLength(const DatabaseHeader& header, const std::string& text) {
  if (header.format->textEncoding == TextEncoding::Utf16Le) return utf16Length(text);
  std::string bytes;
  encodeCodePage(text, header.codePage, &bytes);
  return bytes.size();
}

namespace {

// One converter per kind of column; each takes a value that is not Null.

DbError toBoolean(const ColumnDef& c, const Variant& in, Variant* out) {
  if (in.type() == VariantType::Boolean) { *out = in; return {}; }
  if (in.type() == VariantType::Text) {
    const std::string t = upperCase(in.asText());
    if (t == "TRUE" || t == "YES" || t == "ON") { *out = Variant(true); return {}; }
    if (t == "FALSE" || t == "NO" || t == "OFF") { *out = Variant(false); return {}; }
  }
  double d = 0;
  DbError err = numberOf(c, in, &d);
  if (!err.ok()) return err;
  *out = Variant(d != 0);
  return {};
}

DbError toWholeNumber(const ColumnDef& c, const Variant& in, Variant* out) {
  const ColumnType type = c.type();
  double d = 0;
  DbError err = numberOf(c, in, &d);
  if (!err.ok()) return err;
  d = std::nearbyint(d);
  const double lo = type == ColumnType::Byte ? 0 : (type == ColumnType::Integer ? -32768 : -2147483648.0);
  const double hi = type == ColumnType::Byte ? 255 : (type == ColumnType::Integer ? 32767 : 2147483647.0);
  if (!(d >= lo && d <= hi)) return overflow(c, describe(in));
  if (type == ColumnType::Byte) *out = Variant(static_cast<uint8_t>(d));
  else if (type == ColumnType::Integer) *out = Variant(static_cast<int16_t>(d));
  else *out = Variant(static_cast<int32_t>(d));
  return {};
}

DbError toCurrency(const ColumnDef& c, const Variant& in, Variant* out) {
  if (in.type() == VariantType::Currency) { *out = in; return {}; }
  double d = 0;
  DbError err = numberOf(c, in, &d);
  if (!err.ok()) return err;
  const double scaled = std::nearbyint(d * kCurrencyScale);
  if (!(std::fabs(scaled) < 9.2e18)) return overflow(c, describe(in));
  *out = Variant(Currency{static_cast<int64_t>(scaled)});
  return {};
}

DbError toFloating(const ColumnDef& c, const Variant& in, Variant* out) {
  double d = 0;
  DbError err = numberOf(c, in, &d);
  if (!err.ok()) return err;
  if (c.type() == ColumnType::Double) {
    *out = Variant(d);
    return {};
  }
  if (std::fabs(d) > std::numeric_limits<float>::max()) return overflow(c, describe(in));
  *out = Variant(static_cast<float>(d));
  return {};
}

DbError toDate(const ColumnDef& c, const Variant& in, Variant* out) {
  if (in.type() == VariantType::Date) { *out = in; return {}; }
  double d = 0;
  if (in.type() == VariantType::Text) {
    if (!parseIsoDate(in.asText(), &d) && !parseNumber(in.asText(), &d)) {
      return conversionFailed(c, describe(in));
    }
  } else {
    DbError err = numberOf(c, in, &d);
    if (!err.ok()) return err;
  }
  if (!(d > -657435.0 && d < 2958466.0)) return overflow(c, describe(in));
  *out = Variant(DateValue{d});
  return {};
}

DbError toText(const DatabaseHeader& header, const ColumnDef& c, const Variant& in, Variant* out) {
  std::string text;
  if (in.type() == VariantType::Binary) {
    return conversionFailed(c, "binary data");
  }
  DbError err = in.toText(&text);
  if (!err.ok()) return err;
  if (c.type() == ColumnType::Text) {
    const size_t limit = header.format->textEncoding == TextEncoding::Utf16Le ? c.length / 2
                                                                              : c.length;
    const size_t length = storedTextLength(header, text);
    if (length > limit) {
      return makeError(DbErrorNumber::FieldTooSmall,
                       "The field is too small: " + std::to_string(length) +
                           " characters do not fit the column '" + c.name + "', which holds " +
                           std::to_string(limit) + ".");
    }
  }
  *out = Variant(std::move(text));
  return {};
}

DbError toBinary(const ColumnDef& c, const Variant& in, Variant* out) {
  std::vector<uint8_t> bytes;
  if (in.type() == VariantType::Binary) {
    bytes = in.asBinary();
  } else if (in.type() == VariantType::Guid) {
    bytes.assign(in.asGuid().begin(), in.asGuid().end());
  } else if (in.type() == VariantType::Text) {
    bytes = utf16leBytes(utf8ToUtf16(in.asText()));
  } else {
    return conversionFailed(c, describe(in));
  }
  if (c.type() == ColumnType::Binary && bytes.size() > c.length) {
    return makeError(DbErrorNumber::FieldTooSmall,
                     "The field is too small: " + std::to_string(bytes.size()) +
                         " bytes do not fit the column '" + c.name + "'.");
  }
  *out = Variant(std::move(bytes));
  return {};
}

DbError toGuid(const ColumnDef& c, const Variant& in, Variant* out) {
  if (in.type() == VariantType::Guid) { *out = in; return {}; }
  Guid g{};
  if (in.type() == VariantType::Text && parseGuid(in.asText(), &g)) {
    *out = Variant(g);
    return {};
  }
  if (in.type() == VariantType::Binary && in.asBinary().size() == 16) {
    std::copy(in.asBinary().begin(), in.asBinary().end(), g.begin());
    *out = Variant(g);
    return {};
  }
  return conversionFailed(c, describe(in));
}

DbError toDecimal(const ColumnDef& c, const Variant& in, Variant* out) {
  Decimal d;
  std::string text;
  if (in.type() == VariantType::Decimal) {
    d = in.asDecimal();
    text = formatDecimal(d);
  } else if (in.type() == VariantType::Text) {
    text = in.asText();
  } else {
    double v = 0;
    DbError err = numberOf(c, in, &v);
    if (!err.ok()) return err;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", std::min<int>(c.scale, 15), v);
    text = buf;
  }
  if (!parseDecimal(text, c.scale, &d)) {
    double probe = 0;
    if (!parseNumber(text, &probe)) return conversionFailed(c, describe(in));
    return overflow(c, describe(in));
  }
  const int precision = c.precision ? c.precision : kMaxDecimalDigits;
  if (d.magnitude >= pow10(std::min(precision, kMaxDecimalDigits))) return overflow(c, describe(in));
  *out = Variant(d);
  return {};
}

}  // namespace

DbError convertForColumn(const DatabaseHeader& header, const ColumnDef& c, const Variant& in,
                         Variant* out) {
  if (in.isNull()) {
    *out = Variant::null();
    return {};
  }
  switch (c.type()) {
    case ColumnType::Boolean: return toBoolean(c, in, out);
    case ColumnType::Byte:
    case ColumnType::Integer:
    case ColumnType::Long: return toWholeNumber(c, in, out);
    case ColumnType::Currency: return toCurrency(c, in, out);
    case ColumnType::Single:
    case ColumnType::Double: return toFloating(c, in, out);
    case ColumnType::DateTime: return toDate(c, in, out);
    case ColumnType::Text:
    case ColumnType::Memo: return toText(header, c, in, out);
    case ColumnType::Binary:
    case ColumnType::OLE: return toBinary(c, in, out);
    case ColumnType::GUID: return toGuid(c, in, out);
    case ColumnType::Decimal: return toDecimal(c, in, out);
  }
  return conversionFailed(c, describe(in));
}

DbError convertForColumn(const DatabaseHeader& header, const ColumnDef& c, Variant&& in,
                         Variant* out) {
  // Only where conversion would give the value back unchanged: same type, nothing to check
  // but the length of text.
  bool asIs = false;
  switch (c.type()) {
    case ColumnType::Boolean: asIs = in.type() == VariantType::Boolean; break;
    case ColumnType::Byte: asIs = in.type() == VariantType::Byte; break;
    case ColumnType::Integer: asIs = in.type() == VariantType::Integer; break;
    case ColumnType::Long: asIs = in.type() == VariantType::Long; break;
    case ColumnType::Currency: asIs = in.type() == VariantType::Currency; break;
    case ColumnType::Memo: asIs = in.type() == VariantType::Text; break;
    case ColumnType::Text: {
      if (in.type() != VariantType::Text) break;
      const size_t limit = header.format->textEncoding == TextEncoding::Utf16Le ? c.length / 2
                                                                                : c.length;
      // No text has more characters than bytes: only a long one needs counting.
      asIs = in.asText().size() <= limit || storedTextLength(header, in.asText()) <= limit;
      break;
    }
    default: break;
  }
  if (in.isNull() || !asIs) return convertForColumn(header, c, static_cast<const Variant&>(in), out);
  *out = std::move(in);
  return {};
}

}  // namespace db
