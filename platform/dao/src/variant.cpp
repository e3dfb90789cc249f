#include "dao/variant.h"

#include <cmath>
#include <cstdlib>

namespace dao {
namespace {

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

const int64_t kOleEpoch = DaysFromCivil(1899, 12, 30);

}  // namespace

OleDate ToOleDate(const LocalDateTime& t) {
  const int64_t days = DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) - kOleEpoch;
  const double frac = (t.hour * 3600.0 + t.minute * 60.0 + t.second) / 86400.0;
  return OleDate{days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac};
}

LocalDateTime FromOleDate(OleDate d) {
  if (!std::isfinite(d.days) || std::fabs(d.days) > 3.0e6) return LocalDateTime{};
  double whole = std::trunc(d.days);
  double frac = std::fabs(d.days - whole);
  int64_t secs = std::llround(frac * 86400.0);
  int64_t day = static_cast<int64_t>(whole);
  // The time of day runs forwards on negative dates too, so rounding up to
  // midnight always reaches the next calendar day.
  if (secs >= 86400) {
    secs -= 86400;
    day += 1;
  }
  LocalDateTime t;
  CivilFromDays(day + kOleEpoch, t.year, t.month, t.day);
  t.hour = static_cast<int>(secs / 3600);
  t.minute = static_cast<int>(secs / 60 % 60);
  t.second = static_cast<int>(secs % 60);
  return t;
}

OleDate OleDateFromTime(std::time_t tt) {
  std::tm tm{};
  localtime_r(&tt, &tm);
  return ToOleDate({tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec});
}

int64_t Variant::AsInt() const {
  switch (type()) {
    case Type::kNull: return 0;
    case Type::kI16: return std::get<int16_t>(v_);
    case Type::kI32: return std::get<int32_t>(v_);
    case Type::kU8: return std::get<uint8_t>(v_);
    case Type::kDate: return static_cast<int64_t>(std::trunc(std::get<OleDate>(v_).days));
    case Type::kText: return std::strtoll(std::get<std::string>(v_).c_str(), nullptr, 10);
  }
  return 0;
}

std::string Variant::AsText() const {
  switch (type()) {
    case Type::kNull: return {};
    case Type::kText: return std::get<std::string>(v_);
    case Type::kDate: {
      char buf[40];
      snprintf(buf, sizeof buf, "%.10g", std::get<OleDate>(v_).days);
      return buf;
    }
    default: return std::to_string(AsInt());
  }
}

}  // namespace dao
