// Injectable clock.  Everything that reads the time of day, the weekday, a
// time stamp or a monotonic interval takes a Clock so that tests can run on a
// FakeClock and cross hours, midnight and weekdays at will.
//
// Ownership: a Clock is owned by whoever creates it; users hold a reference
// and must not outlive it.  SystemClock() is a process-wide object that lives
// for the whole process.  All Clock methods may be called from any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace platform::time {

// A broken-down local time, with milliseconds.
struct LocalTime {
  int year = 1970;     // e.g. 2004
  int month = 1;       // 1..12
  int day = 1;         // 1..31
  int hour = 0;        // 0..23
  int minute = 0;      // 0..59
  int second = 0;      // 0..60
  int millisecond = 0; // 0..999
  int weekday = 4;     // 0 Sunday .. 6 Saturday
  int yearDay = 0;     // 0..365
  int isDst = 0;       // >0 daylight saving in force, 0 not, <0 unknown
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time in milliseconds since the Unix epoch (UTC).
  virtual std::int64_t NowUnixMs() const = 0;
  // The current local time.
  virtual LocalTime Local() const = 0;
  // Monotonic milliseconds from an arbitrary origin; never goes backwards.
  virtual std::int64_t MonotonicMs() const = 0;

  std::time_t Now() const { return static_cast<std::time_t>(NowUnixMs() / 1000); }
};

// The operating system's clock (CLOCK_REALTIME, localtime_r, CLOCK_MONOTONIC).
Clock& SystemClock();

// The C library's text form of a time ("Thu Feb  5 10:22:59 2004"), without
// the trailing newline.
std::string CTimeText(const LocalTime& t);

// Broken-down local time of a Unix time through the C library (TZ rules).
// Returns false when the time cannot be converted.
bool ToLocal(std::time_t t, LocalTime& out);

// OLE dates: days since 1899-12-30 00:00 as a double, the time of day as
// the fraction (local time, no zone).  Dates before the epoch use the
// OLE convention: the integer part counts days backwards and the fraction
// still runs forwards.
double ToOleDate(const LocalTime& t);
// Returns false for a value outside years 100..9999 or not a number.
bool FromOleDate(double ole, LocalTime& out);

}  // namespace platform::time
