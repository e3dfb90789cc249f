// Folds floods of identical log lines.  The first of them is written at once,
// and so are the next up to kBurst in all (a line logged twice or three
// times in a row of events is no flood); the ones that follow are only
// counted, and when the interval that began with the first ends, one
// summary line gives the count:
//   <the line> (repeated 1523 more times in 10 s)
// interval after interval while the flood lasts.  A line that comes again
// only after a whole quiet interval is written at once, as a new first.
// Lines are compared whole, as written (before their time stamps); up to
// kTracked different lines are followed at once, so that floods that
// interleave are folded too.
//
// Threads: the log buffer's owner thread only.  Ownership: a plain value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class LogRepeats {
 public:
  static constexpr std::int64_t kIntervalMs = 10000;
  static constexpr std::size_t kTracked = 32;
  static constexpr std::uint64_t kBurst = 3;

  // `line` (a complete line, without its '\n') came `times` times at nowMs.
  // True when it is to be written once now (its other times are counted);
  // false when all of them were counted.  A line that has to make room for
  // it leaves its summary in `summaries` (to be written first).
  bool Admit(std::string_view line, std::int64_t nowMs, std::uint64_t times,
             std::vector<std::string>& summaries);
  // The summaries (each ending in '\n') of the intervals that have ended by
  // nowMs, or of every line followed when `all` is set; lines whose interval
  // passed quietly are no longer followed.
  void TakeDue(std::int64_t nowMs, bool all, std::vector<std::string>& summaries);
  bool Empty() const { return entries_.empty(); }

 private:
  struct Entry {
    std::string line;
    std::int64_t start;     // when the current interval began
    std::uint64_t written;  // times written as they came (up to kBurst)
    std::uint64_t count;    // times counted in the current interval
    bool folding;           // counted from now on, until a quiet interval
  };
  static std::string Summary(const Entry& e, std::int64_t nowMs);

  std::vector<Entry> entries_;
};
