// An auto-reset event: one thread waits for another's signal.
//
// Set() leaves the event signalled until one Wait consumes it, so a Set that
// comes before the Wait is not lost; Sets while signalled do not add up (two
// Sets release one Wait).  Any thread may Set; meant for one waiter at a time.
// The creator owns the object and keeps it alive until no thread can call it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace msgq {

class AutoResetEvent {
 public:
  AutoResetEvent() = default;
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  void Set();

  // Waits until signalled and clears the signal; true when it was signalled,
  // false when `timeout` (measured on the monotonic clock) ran out first.
  // Without a timeout it waits as long as it takes.
  bool Wait(std::optional<std::chrono::milliseconds> timeout = std::nullopt);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace msgq
