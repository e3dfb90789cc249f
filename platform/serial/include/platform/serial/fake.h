// A fake serial backend for tests: each COM number has a FakeLine that
// outlives the ports opened on it, records everything done to it in order,
// and feeds scripted input to reads.
//
// Not thread-safe: one test thread drives a fake and its ports.
#ifndef PLATFORM_SERIAL_FAKE_H
#define PLATFORM_SERIAL_FAKE_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/serial/port.h"

namespace serial {

struct FakeEvent {
  enum Kind { kOpen, kClose, kSetState, kSetTimeouts, kRtsOn, kRtsOff, kWrite, kDrain };
  Kind kind;
  std::vector<uint8_t> bytes;  // kWrite: what was written
  LineSettings settings;       // kSetState: what was set
  Timeouts timeouts;           // kSetTimeouts: what was set
};

// "open", "close", "state", "timeouts", "rts+", "rts-", "write", "drain".
const char* FakeEventName(FakeEvent::Kind kind);

class FakeLine {
 public:
  // ---- what the test sets up ----
  bool exists = true;       // false: Open fails with openError
  std::string device;       // the device an open names ("" = "COM<n>")
  std::string openError = "No such file or directory";
  bool failWrites = false;  // Write fails and takes nothing
  bool failRts = false;     // SetRts fails (as on a pseudo-terminal)
  std::size_t readChunk = 0;  // at most this many bytes per Read; 0 = no limit
  // Called after each successful write with the bytes written (a test's
  // rack answers here by Feed()ing its reply).
  std::function<void(std::span<const uint8_t>)> onWrite;
  void Feed(std::span<const uint8_t> bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }

  // ---- what the fake keeps ----
  LineSettings state;  // current line settings (the "as found" state before an open)
  Timeouts timeouts;   // current time-outs
  bool rts = false;
  bool open = false;
  std::deque<uint8_t> input;
  std::vector<FakeEvent> events;

  // Everything written since the last Clear, concatenated.
  std::vector<uint8_t> Written() const;
  // Each write's bytes, in order.
  std::vector<std::vector<uint8_t>> Writes() const;
  // The kinds of the recorded events as names, e.g. "rts+ write drain rts-".
  std::string Trace() const;
  void ClearEvents() { events.clear(); }
};

class FakeBackend final : public Backend {
 public:
  // The line of COM port `com`, created on first use.
  FakeLine& Line(int com);
  // COM numbers asked for by Open, in order.
  const std::vector<int>& opens() const { return opens_; }

  // Fails when the line does not exist (openError) or is already open
  // (exclusive use).
  using Backend::Open;
  std::unique_ptr<Port> Open(int com, OpenFailure* why) override;

 private:
  std::map<int, std::shared_ptr<FakeLine>> lines_;
  std::vector<int> opens_;
};

}  // namespace serial

#endif
