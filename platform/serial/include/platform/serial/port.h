// The seam under the server's serial port calls: an open serial device with
// line settings, read time-outs, RTS, and byte-wise read and write.
//
// Two implementations exist: the POSIX backend (posix.h), on termios
// devices (real ports, USB adapters, pseudo-terminals), and the fake
// (fake.h) for tests, which records what is done to a line and feeds it
// scripted input.
//
// Conventions:
// - Ports are named by their COM number, 1 for COM1.
// - No call throws.  Every call returns false on failure; callers may
//   ignore it (the server does).
// - A Port is used from one thread at a time.
#ifndef PLATFORM_SERIAL_PORT_H
#define PLATFORM_SERIAL_PORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace serial {

inline constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

enum class Parity : uint8_t { kNone, kOdd, kEven };
enum class StopBits : uint8_t { kOne, kTwo };
// How RTS is driven: held low unless set by hand (kDisable), held high
// (kEnable), or by the hardware flow control (kHandshake).
enum class RtsControl : uint8_t { kDisable, kEnable, kHandshake };

// The line settings of a port.
struct LineSettings {
  uint32_t baud = 9600;       // 0 = a speed this layer cannot name (kept as it is)
  uint8_t byteSize = 8;       // 5 to 8
  bool parityCheck = false;   // received parity is checked
  Parity parity = Parity::kNone;
  StopBits stopBits = StopBits::kOne;
  RtsControl rtsControl = RtsControl::kEnable;
  bool operator==(const LineSettings&) const = default;
};

// Read and write time-outs in milliseconds, with the usual meanings:
// readInterval kMaxDword with both read totals 0 makes a read return at once
// with what has arrived; all read fields 0 make a read wait for at least
// one byte.  Write totals of 0 mean "no limit" (the POSIX backend still
// gives up on a write the line cannot take within the write's byte time
// plus one second).
struct Timeouts {
  uint32_t readInterval = 0;
  uint32_t readTotalMultiplier = 0;
  uint32_t readTotalConstant = 0;
  uint32_t writeTotalMultiplier = 0;
  uint32_t writeTotalConstant = 0;
  bool operator==(const Timeouts&) const = default;
};

// The read mode in which a read never waits.
constexpr Timeouts ImmediateReads(Timeouts t) {
  t.readInterval = kMaxDword;
  t.readTotalMultiplier = 0;
  t.readTotalConstant = 0;
  return t;
}

// One open serial device, opened for exclusive use.  Destroying it closes
// the device.
class Port {
 public:
  virtual ~Port() = default;

  virtual bool GetState(LineSettings* out) = 0;
  virtual bool SetState(const LineSettings& settings) = 0;
  virtual bool GetTimeouts(Timeouts* out) = 0;
  virtual bool SetTimeouts(const Timeouts& timeouts) = 0;
  // Raises (on) or drops RTS.  A device without modem lines (a
  // pseudo-terminal) fails; the line itself is unaffected.
  virtual bool SetRts(bool on) = 0;
  // Reads up to size bytes as the read time-outs allow; *got is the count
  // (0 when nothing had arrived, which is not a failure).
  virtual bool Read(uint8_t* buf, std::size_t size, std::size_t* got) = 0;
  // Writes the bytes; *written is how many the device took.
  virtual bool Write(const uint8_t* bytes, std::size_t size, std::size_t* written) = 0;
  // Waits until every written byte has left the device.
  virtual bool Drain() = 0;
};

// Why a port did not open: the device tried ("" when the port has none)
// and the system's reason.
struct OpenFailure {
  std::string device;
  std::string reason;
};

class Backend {
 public:
  virtual ~Backend() = default;
  // Opens COM port `com` (1 = COM1) for exclusive use; null when it does
  // not exist, is not configured, or is in use, and then, when `why` is
  // given, fills it.  The caller owns the port.
  virtual std::unique_ptr<Port> Open(int com, OpenFailure* why) = 0;
  std::unique_ptr<Port> Open(int com) { return Open(com, nullptr); }
};

}  // namespace serial

#endif
