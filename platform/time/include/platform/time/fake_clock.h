// A clock for tests: it stands still until told to move.  Local time is the
// clock's UTC time shifted by a fixed offset, so tests do not depend on TZ.
// Thread-safe: the time is an atomic, so a test may advance it on one thread
// while others read it.
#pragma once

#include <atomic>

#include "platform/time/clock.h"

namespace platform::time {

class FakeClock final : public Clock {
 public:
  // Starts at the given local date and time (offset 0 unless set).
  explicit FakeClock(int year = 2004, int month = 2, int day = 5, int hour = 10,
                     int minute = 22, int second = 59);

  std::int64_t NowUnixMs() const override;
  LocalTime Local() const override;
  std::int64_t MonotonicMs() const override;

  // Sets the local date and time; the monotonic time moves by the same
  // amount when it goes forwards and stays when it goes backwards.
  void SetLocal(int year, int month, int day, int hour, int minute, int second,
                int millisecond = 0);
  void AdvanceMs(std::int64_t ms);
  void AdvanceSeconds(std::int64_t s) { AdvanceMs(s * 1000); }
  // Seconds east of UTC that Local() adds; the wall time stays put.
  void SetUtcOffsetSeconds(int seconds) { offset_.store(seconds); }
  void SetDst(int isDst) { dst_.store(isDst); }

 private:
  std::atomic<std::int64_t> unixMs_{0};
  std::atomic<std::int64_t> monoMs_{0};
  std::atomic<int> offset_{0};
  std::atomic<int> dst_{0};
};

}  // namespace platform::time
