// value.h -- Variant, the value of one field: Null or a value of one of Jet's column types.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "db/error.h"

namespace db {

enum class VariantType { Null, Boolean, Byte, Integer, Long, Currency, Single, Double, Date,
                         Text, Binary, Guid, Decimal };

// Jet's Decimal: a sign, a 96..128-bit magnitude and a scale (value = magnitude / 10^scale).
struct Decimal {
  bool negative = false;
  uint8_t scale = 0;
  unsigned __int128 magnitude = 0;
  bool operator==(const Decimal&) const = default;
};

// Currency is stored scaled by 10 000 (four implied decimals).
struct Currency {
  int64_t scaled = 0;
  bool operator==(const Currency&) const = default;
};

struct DateValue {
  double days = 0;  // days since 1899-12-30; the fraction, taken as positive, is the time of day
  bool operator==(const DateValue&) const = default;
};

using Guid = std::array<uint8_t, 16>;  // as stored: the Windows GUID memory layout

class Variant {
 public:
  Variant() = default;  // Null
  Variant(bool v) : v_(v) {}
  Variant(uint8_t v) : v_(v) {}
  Variant(int16_t v) : v_(v) {}
  Variant(int32_t v) : v_(v) {}
  Variant(Currency v) : v_(v) {}
  Variant(float v) : v_(v) {}
  Variant(double v) : v_(v) {}
  Variant(DateValue v) : v_(v) {}
  Variant(std::string v) : v_(std::move(v)) {}
  Variant(const char* v) : v_(std::string(v)) {}
  Variant(std::vector<uint8_t> v) : v_(std::move(v)) {}
  Variant(Guid v) : v_(v) {}
  Variant(Decimal v) : v_(v) {}

  static Variant null() { return Variant(); }

  VariantType type() const { return static_cast<VariantType>(v_.index()); }
  bool isNull() const { return type() == VariantType::Null; }
  bool isNumeric() const;  // Boolean and every number type, not Date or Text

  // The stored value; the type must match (check type() first).
  bool asBool() const { return std::get<bool>(v_); }
  uint8_t asByte() const { return std::get<uint8_t>(v_); }
  int16_t asInteger() const { return std::get<int16_t>(v_); }
  int32_t asLong() const { return std::get<int32_t>(v_); }
  Currency asCurrency() const { return std::get<Currency>(v_); }
  float asSingle() const { return std::get<float>(v_); }
  double asDouble() const { return std::get<double>(v_); }
  DateValue asDate() const { return std::get<DateValue>(v_); }
  const std::string& asText() const { return std::get<std::string>(v_); }
  const std::vector<uint8_t>& asBinary() const { return std::get<std::vector<uint8_t>>(v_); }
  const Guid& asGuid() const { return std::get<Guid>(v_); }
  const Decimal& asDecimal() const { return std::get<Decimal>(v_); }

  // Conversions as callers use them. Text of a Boolean is "True"/"False", of a number its
  // plain decimal form, of a date "YYYY-MM-DD HH:MM:SS" (the time left out at midnight).
  // Null fails with InvalidUseOfNull.
  DbError toText(std::string* out) const;
  // A 32-bit integer: numbers rounded half to even, Booleans -1/0, numeric text parsed.
  // Null fails with InvalidUseOfNull, anything else that is no number with TypeMismatchVb,
  // a number outside the range with NumericOverflow.
  DbError toInt32(int32_t* out) const;
  // The value as a double where it is a number, a Boolean, a date or numeric text.
  DbError toDouble(double* out) const;

  // Throwing forms of the above, for code that lets errors reach its handler.
  std::string text() const;
  int32_t int32() const;

  bool operator==(const Variant& other) const = default;

 private:
  std::variant<std::monostate, bool, uint8_t, int16_t, int32_t, Currency, float, double,
               DateValue, std::string, std::vector<uint8_t>, Guid, Decimal>
      v_;
};

// Text forms shared by conversions and dumps.
std::string formatCurrency(Currency c);        // "3.5", "-0.0001", "18"
std::string formatDecimal(const Decimal& d);   // "12.5", "-1"
std::string formatDouble(double d);            // shortest round-trip, JavaScript notation
std::string formatSingle(float f);             // likewise, shortest for a float
std::string formatGuid(const Guid& g);         // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
// "YYYY-MM-DDTHH:MM:SS", ".mmm" added when milliseconds are not zero; `separator` between date
// and time. Values outside years 100..9999 give the day number as text.
std::string formatDate(DateValue d, char separator = 'T');

// Parses a number the way Jet reads numeric text: optional blanks, sign, digits, one point,
// an exponent. False when `text` is no number.
bool parseNumber(const std::string& text, double* out);

}  // namespace db
