#include "db/value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace db {
namespace {

constexpr double kJetEpochToUnixDays = 25569;  // 1970-01-01 as a Jet day number
constexpr int64_t kMsPerDay = 86400000;
constexpr double kFirstJetDay = -657434;   // 0100-01-01
constexpr double kLastJetDay = 2958466;    // 10000-01-01

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = yy + (*m <= 2);
}

// Digits and decimal exponent of the shortest round-trip form, then JavaScript's layout.
std::string jsNumber(const char* sci) {
  // `sci` is like "-1.2345e+02" or "5e-07".
  std::string s(sci);
  bool negative = false;
  if (!s.empty() && s[0] == '-') { negative = true; s.erase(0, 1); }
  size_t e = s.find('e');
  std::string mantissa = s.substr(0, e);
  int exponent = std::atoi(s.c_str() + e + 1);
  std::string digits;
  for (char c : mantissa) if (c != '.') digits += c;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (digits == "0") return "0";
  const int k = static_cast<int>(digits.size());
  const int n = exponent + 1;
  std::string out = negative ? "-" : "";
  if (k <= n && n <= 21) {
    out += digits + std::string(n - k, '0');
  } else if (0 < n && n <= 21) {
    out += digits.substr(0, n) + "." + digits.substr(n);
  } else if (-6 < n && n <= 0) {
    out += "0." + std::string(-n, '0') + digits;
  } else {
    out += digits.substr(0, 1);
    if (k > 1) out += "." + digits.substr(1);
    out += (n - 1 >= 0 ? "e+" : "e-") + std::to_string(std::abs(n - 1));
  }
  return out;
}

// Rounds half to even, as Jet and VB round to integers.
double roundHalfEven(double v) { return std::nearbyint(v); }

}  // namespace

bool Variant::isNumeric() const {
  switch (type()) {
    case VariantType::Boolean: case VariantType::Byte: case VariantType::Integer:
    case VariantType::Long: case VariantType::Currency: case VariantType::Single:
    case VariantType::Double: case VariantType::Decimal:
      return true;
    default:
      return false;
  }
}

std::string formatCurrency(Currency c) {
  Decimal d;
  d.negative = c.scaled < 0;
  d.scale = 4;
  d.magnitude = c.scaled < 0 ? static_cast<unsigned __int128>(-(static_cast<__int128>(c.scaled)))
                             : static_cast<unsigned __int128>(c.scaled);
  return formatDecimal(d);
}

std::string formatDecimal(const Decimal& d) {
  std::string digits;
  unsigned __int128 m = d.magnitude;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  } while (m != 0);
  if (digits.size() <= d.scale) digits.insert(0, d.scale + 1 - digits.size(), '0');
  std::string whole = digits.substr(0, digits.size() - d.scale);
  std::string fraction = digits.substr(digits.size() - d.scale);
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  std::string out = whole;
  if (!fraction.empty()) out += "." + fraction;
  if (d.negative && out != "0") out.insert(0, "-");
  return out;
}

std::string formatDouble(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf - 1, d, std::chars_format::scientific);
  *r.ptr = '\0';
  return jsNumber(buf);
}

std::string formatSingle(float f) {
  if (std::isnan(f)) return "NaN";
  if (std::isinf(f)) return f > 0 ? "Infinity" : "-Infinity";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf - 1, f, std::chars_format::scientific);
  *r.ptr = '\0';
  return jsNumber(buf);
}

std::string formatGuid(const Guid& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3],
                g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                g[14], g[15]);
  return buf;
}

std::string formatDate(DateValue value, char separator) {
  const double v = value.days;
  if (!std::isfinite(v) || v <= kFirstJetDay - 1 || v >= kLastJetDay) return formatDouble(v);
  int64_t days = static_cast<int64_t>(std::trunc(v));
  int64_t ms = std::llround(std::fabs(v - static_cast<double>(days)) * kMsPerDay);
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    days += 1;
  }
  int64_t y;
  unsigned m, d;
  civilFromDays(days - static_cast<int64_t>(kJetEpochToUnixDays), &y, &m, &d);
  char buf[96];
  const int64_t secs = ms / 1000;
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u%c%02lld:%02lld:%02lld",
                static_cast<long long>(y), m, d, separator, static_cast<long long>(secs / 3600),
                static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
  std::string out = buf;
  if (ms % 1000 != 0) {
    std::snprintf(buf, sizeof buf, ".%03lld", static_cast<long long>(ms % 1000));
    out += buf;
  }
  return out;
}

bool parseNumber(const std::string& text, double* out) {
  size_t b = text.find_first_not_of(" \t");
  size_t e = text.find_last_not_of(" \t");
  if (b == std::string::npos) return false;
  std::string s = text.substr(b, e - b + 1);
  size_t i = 0;
  if (s[i] == '+' || s[i] == '-') ++i;
  bool digits = false;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; digits = true; }
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; digits = true; }
  }
  if (!digits) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    size_t expStart = j;
    while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
    if (j == expStart) return false;
    i = j;
  }
  if (i != s.size()) return false;
  *out = std::strtod(s.c_str(), nullptr);
  return std::isfinite(*out);
}

DbError Variant::toDouble(double* out) const {
  switch (type()) {
    case VariantType::Null:
      return makeError(DbErrorNumber::InvalidUseOfNull, "Invalid use of Null.");
    case VariantType::Boolean: *out = asBool() ? -1 : 0; return {};
    case VariantType::Byte: *out = asByte(); return {};
    case VariantType::Integer: *out = asInteger(); return {};
    case VariantType::Long: *out = asLong(); return {};
    case VariantType::Currency: *out = static_cast<double>(asCurrency().scaled) / 10000.0; return {};
    case VariantType::Single: *out = asSingle(); return {};
    case VariantType::Double: *out = asDouble(); return {};
    case VariantType::Date: *out = asDate().days; return {};
    case VariantType::Decimal: {
      const Decimal& d = asDecimal();
      double v = static_cast<double>(d.magnitude) / std::pow(10.0, d.scale);
      *out = d.negative ? -v : v;
      return {};
    }
    case VariantType::Text:
      if (parseNumber(asText(), out)) return {};
      return makeError(DbErrorNumber::TypeMismatchVb,
                       "Type mismatch: '" + asText() + "' is not a number.");
    default:
      return makeError(DbErrorNumber::TypeMismatchVb, "Type mismatch: the value is not a number.");
  }
}

DbError Variant::toInt32(int32_t* out) const {
  switch (type()) {
    case VariantType::Boolean: *out = asBool() ? -1 : 0; return {};
    case VariantType::Byte: *out = asByte(); return {};
    case VariantType::Integer: *out = asInteger(); return {};
    case VariantType::Long: *out = asLong(); return {};
    default: break;
  }
  double d = 0;
  DbError err = toDouble(&d);
  if (!err.ok()) return err;
  d = roundHalfEven(d);
  if (!(d >= std::numeric_limits<int32_t>::min() && d <= std::numeric_limits<int32_t>::max())) {
    return makeError(DbErrorNumber::NumericOverflow,
                     "The value " + formatDouble(d) + " does not fit a 32-bit integer.");
  }
  *out = static_cast<int32_t>(d);
  return {};
}

DbError Variant::toText(std::string* out) const {
  switch (type()) {
    case VariantType::Null:
      return makeError(DbErrorNumber::InvalidUseOfNull, "Invalid use of Null.");
    case VariantType::Boolean: *out = asBool() ? "True" : "False"; return {};
    case VariantType::Byte: *out = std::to_string(asByte()); return {};
    case VariantType::Integer: *out = std::to_string(asInteger()); return {};
    case VariantType::Long: *out = std::to_string(asLong()); return {};
    case VariantType::Currency: *out = formatCurrency(asCurrency()); return {};
    case VariantType::Single: *out = formatSingle(asSingle()); return {};
    case VariantType::Double: *out = formatDouble(asDouble()); return {};
    case VariantType::Decimal: *out = formatDecimal(asDecimal()); return {};
    case VariantType::Date: {
      std::string s = formatDate(asDate(), ' ');
      if (s.size() == 19 && s.compare(10, 9, " 00:00:00") == 0) s.resize(10);
      *out = s;
      return {};
    }
    case VariantType::Text: *out = asText(); return {};
    case VariantType::Guid: *out = formatGuid(asGuid()); return {};
    case VariantType::Binary: {
      static const char* kHex = "0123456789ABCDEF";
      out->clear();
      for (uint8_t b : asBinary()) {
        out->push_back(kHex[b >> 4]);
        out->push_back(kHex[b & 15]);
      }
      return {};
    }
  }
  return {};
}

std::string Variant::text() const {
  std::string s;
  throwIfError(toText(&s));
  return s;
}

int32_t Variant::int32() const {
  int32_t v = 0;
  throwIfError(toInt32(&v));
  return v;
}

}  // namespace db
