#include "platform/time/clock.h"

#include <cmath>
#include <cstdio>

#include "platform/time/fake_clock.h"

namespace platform::time {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Breaks a count of milliseconds since 1970-01-01 00:00 (no zone) down.
LocalTime BreakDown(std::int64_t ms) {
  LocalTime t;
  const std::int64_t days = FloorDiv(ms, 86400000);
  std::int64_t rest = ms - days * 86400000;
  CivilFromDays(days, t.year, t.month, t.day);
  t.hour = static_cast<int>(rest / 3600000);
  rest %= 3600000;
  t.minute = static_cast<int>(rest / 60000);
  rest %= 60000;
  t.second = static_cast<int>(rest / 1000);
  t.millisecond = static_cast<int>(rest % 1000);
  // 1970-01-01 was a Thursday.
  t.weekday = static_cast<int>(((days % 7) + 7 + 4) % 7);
  t.yearDay = static_cast<int>(days - DaysFromCivil(t.year, 1, 1));
  return t;
}

std::int64_t MsOf(const LocalTime& t) {
  return DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) *
             86400000 +
         ((t.hour * 60 + t.minute) * 60 + t.second) * 1000LL + t.millisecond;
}

class RealClock final : public Clock {
 public:
  std::int64_t NowUnixMs() const override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
  LocalTime Local() const override {
    const std::int64_t ms = NowUnixMs();
    LocalTime t;
    if (!ToLocal(static_cast<std::time_t>(FloorDiv(ms, 1000)), t)) return BreakDown(ms);
    t.millisecond = static_cast<int>(ms - FloorDiv(ms, 1000) * 1000);
    return t;
  }
  std::int64_t MonotonicMs() const override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
};

constexpr std::int64_t kOleEpochDays = -25569;  // 1899-12-30 relative to 1970-01-01

}  // namespace

Clock& SystemClock() {
  static RealClock clock;
  return clock;
}

bool ToLocal(std::time_t t, LocalTime& out) {
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return false;
  out.year = tm.tm_year + 1900;
  out.month = tm.tm_mon + 1;
  out.day = tm.tm_mday;
  out.hour = tm.tm_hour;
  out.minute = tm.tm_min;
  out.second = tm.tm_sec;
  out.millisecond = 0;
  out.weekday = tm.tm_wday;
  out.yearDay = tm.tm_yday;
  out.isDst = tm.tm_isdst;
  return true;
}

std::string CTimeText(const LocalTime& t) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int wd = (t.weekday >= 0 && t.weekday <= 6) ? t.weekday : 0;
  const int mo = (t.month >= 1 && t.month <= 12) ? t.month - 1 : 0;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %s%3d %02d:%02d:%02d %d", kDays[wd], kMonths[mo], t.day,
                t.hour, t.minute, t.second, t.year);
  return buf;
}

double ToOleDate(const LocalTime& t) {
  const std::int64_t days =
      DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) -
      kOleEpochDays;
  const double frac =
      (((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond) / 86400000.0;
  return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

bool FromOleDate(double ole, LocalTime& out) {
  if (!std::isfinite(ole)) return false;
  // Years 100 to 9999, as OLE dates allow.
  if (ole < -657434.0 || ole >= 2958466.0) return false;
  double whole = std::trunc(ole);
  std::int64_t days = static_cast<std::int64_t>(whole);
  std::int64_t ms = std::llround(std::fabs(ole - whole) * 86400000.0);
  if (ms >= 86400000) {
    ms -= 86400000;
    days += 1;
  }
  out = BreakDown((days + kOleEpochDays) * 86400000 + ms);
  out.isDst = -1;
  return true;
}

// ---- FakeClock -------------------------------------------------------------

FakeClock::FakeClock(int year, int month, int day, int hour, int minute, int second) {
  SetLocal(year, month, day, hour, minute, second);
  monoMs_.store(0);
}

std::int64_t FakeClock::NowUnixMs() const { return unixMs_.load(); }

LocalTime FakeClock::Local() const {
  LocalTime t = BreakDown(unixMs_.load() + offset_.load() * 1000LL);
  t.isDst = dst_.load();
  return t;
}

std::int64_t FakeClock::MonotonicMs() const { return monoMs_.load(); }

void FakeClock::SetLocal(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  t.millisecond = millisecond;
  const std::int64_t target = MsOf(t) - offset_.load() * 1000LL;
  const std::int64_t delta = target - unixMs_.load();
  unixMs_.store(target);
  if (delta > 0) monoMs_.fetch_add(delta);
}

void FakeClock::AdvanceMs(std::int64_t ms) {
  unixMs_.fetch_add(ms);
  if (ms > 0) monoMs_.fetch_add(ms);
}

}  // namespace platform::time
