#include "LogRepeats.h"

#include <algorithm>

std::string LogRepeats::Summary(const Entry& e, std::int64_t nowMs) {
  const std::int64_t ms = std::clamp<std::int64_t>(nowMs - e.start, 1, kIntervalMs);
  const std::int64_t seconds = (ms + 999) / 1000;
  std::string text = e.line;
  text += " (repeated " + std::to_string(e.count) + (e.count == 1 ? " more time in " : " more times in ") +
          std::to_string(seconds) + " s)\n";
  return text;
}

bool LogRepeats::Admit(std::string_view line, std::int64_t nowMs, std::uint64_t times,
                       std::vector<std::string>& summaries) {
  if (times == 0) return false;
  for (Entry& e : entries_) {
    if (e.line.size() == line.size() && e.line == line) {
      const bool write = !e.folding && e.written < kBurst;
      if (write) {
        ++e.written;
        --times;
      }
      e.count += times;
      if (e.written >= kBurst || e.count > 0) e.folding = true;
      return write;
    }
  }
  if (entries_.size() >= kTracked) {
    // The line followed longest makes room, its count written first.
    auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                   [](const Entry& a, const Entry& b) { return a.start < b.start; });
    if (oldest->count > 0) summaries.push_back(Summary(*oldest, nowMs));
    entries_.erase(oldest);
  }
  entries_.push_back({std::string(line), nowMs, 1, times - 1, times > 1});
  return true;
}

void LogRepeats::TakeDue(std::int64_t nowMs, bool all, std::vector<std::string>& summaries) {
  std::erase_if(entries_, [&](Entry& e) {
    if (!all && nowMs - e.start < kIntervalMs) return false;
    if (e.count == 0) return true;  // a quiet interval: the flood is over
    summaries.push_back(Summary(e, nowMs));
    e.count = 0;
    e.start = nowMs;
    return all;
  });
}
