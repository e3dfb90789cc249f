// The POSIX serial backend: COM ports on termios devices.
//
// COM port n is the device named by the environment variable DROVANA_COM<n>
// (DROVANA_COM1=/dev/ttyUSB0), else /dev/ttyS<n-1>.  The value "none" leaves
// the port unconfigured: it never opens.
//
// A port is opened without becoming the controlling terminal, put in raw
// mode (no echo, no line editing, no character translation, receiver on,
// modem status lines ignored) and locked for exclusive use (TIOCEXCL and an
// flock on the device) so that a second open, by this process or another,
// fails.  Its terminal settings as found are put back when it is closed.
#ifndef PLATFORM_SERIAL_POSIX_H
#define PLATFORM_SERIAL_POSIX_H

#include <functional>
#include <string>

#include "platform/serial/port.h"

namespace serial {

// The device path of COM port `com` given the value of its environment
// variable (null when unset): "" for "none" or a COM number below 1.
std::string DevicePathForCom(int com, const char* envValue);
// The same, reading DROVANA_COM<com> from the environment.
std::string DevicePathForCom(int com);
// "DROVANA_COM<com>".
std::string ComEnvironmentName(int com);

// Opens a device path directly (for pseudo-terminals and tools); null on
// failure, with the reason in *reason when given.
std::unique_ptr<Port> OpenDevice(const std::string& path, std::string* reason = nullptr);

class PosixBackend final : public Backend {
 public:
  // resolve maps a COM number to a device path ("" = none); by default
  // DevicePathForCom.
  explicit PosixBackend(std::function<std::string(int)> resolve = {});
  using Backend::Open;
  std::unique_ptr<Port> Open(int com, OpenFailure* why) override;

 private:
  std::function<std::string(int)> resolve_;
};

// Speeds this layer can set, in baud; false for any other value.
bool IsSupportedBaud(uint32_t baud);

}  // namespace serial

#endif
