// Values that travel between the document and the database: a small variant
// (null, i16, i32, u8, date, text) and OLE dates (days since 1899-12-30,
// local time, a fraction for the time of day).  Flags are -1 and 0.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <variant>

namespace dao {

struct OleDate {
  double days = 0.0;
  friend bool operator==(OleDate a, OleDate b) { return a.days == b.days; }
  friend auto operator<=>(OleDate a, OleDate b) { return a.days <=> b.days; }
};

// Calendar fields of a local date-time (year, month 1-12, day 1-31,
// hour, minute, second).  Seconds are whole.
struct LocalDateTime {
  int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
  friend bool operator==(const LocalDateTime&, const LocalDateTime&) = default;
};

OleDate ToOleDate(const LocalDateTime& t);
// Rounds to the nearest second.  Dates before 1899-12-30 follow the OLE rule
// (negative whole part, positive fraction).
LocalDateTime FromOleDate(OleDate d);
// Local time of a time_t (localtime_r).
OleDate OleDateFromTime(std::time_t t);

using Null = std::monostate;

class Variant {
 public:
  using Value = std::variant<Null, int16_t, int32_t, uint8_t, OleDate, std::string>;
  enum class Type { kNull, kI16, kI32, kU8, kDate, kText };

  Variant() = default;
  Variant(Null) {}
  Variant(int16_t v) : v_(v) {}
  Variant(int32_t v) : v_(v) {}
  Variant(uint8_t v) : v_(v) {}
  Variant(OleDate v) : v_(v) {}
  Variant(std::string v) : v_(std::move(v)) {}
  Variant(std::string_view v) : v_(std::string(v)) {}
  Variant(const char* v) : v_(std::string(v)) {}

  Type type() const { return static_cast<Type>(v_.index()); }
  bool is_null() const { return v_.index() == 0; }
  const Value& value() const { return v_; }

  // Integer value of i16, i32 and u8; a date's whole days; 0 for null;
  // a text's leading decimal number (0 when none).
  int64_t AsInt() const;
  // Text of a text value; decimal digits of an integer; empty for null.
  std::string AsText() const;

  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  Value v_;
};

}  // namespace dao
