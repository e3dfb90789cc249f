#include "platform/serial/posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace serial {

std::string ComEnvironmentName(int com) { return "DROVANA_COM" + std::to_string(com); }

std::string DevicePathForCom(int com, const char* envValue) {
  if (com < 1) return {};
  if (envValue != nullptr && envValue[0] != '\0') {
    if (std::strcmp(envValue, "none") == 0) return {};
    return envValue;
  }
  return "/dev/ttyS" + std::to_string(com - 1);
}

std::string DevicePathForCom(int com) {
  if (com < 1) return {};
  return DevicePathForCom(com, std::getenv(ComEnvironmentName(com).c_str()));
}

namespace {

struct BaudCode {
  uint32_t baud;
  speed_t code;
};

constexpr BaudCode kBauds[] = {
    {300, B300},     {600, B600},     {1200, B1200},     {2400, B2400},
    {4800, B4800},   {9600, B9600},   {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

bool SpeedCode(uint32_t baud, speed_t* code) {
  for (const BaudCode& b : kBauds)
    if (b.baud == baud) {
      *code = b.code;
      return true;
    }
  return false;
}

uint32_t BaudOf(speed_t code) {
  for (const BaudCode& b : kBauds)
    if (b.code == code) return b.baud;
  return 0;
}

bool IsImmediate(const Timeouts& t) {
  return t.readInterval == kMaxDword && t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class PosixPort final : public Port {
 public:
  PosixPort(int fd, const termios& original, RtsControl rts)
      : fd_(fd), original_(original), rtsControl_(rts) {}
  ~PosixPort() override {
    ::tcsetattr(fd_, TCSANOW, &original_);
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // also releases the flock
  }

  bool GetState(LineSettings* out) override {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return false;
    LineSettings s;
    s.baud = BaudOf(::cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
      case CS5: s.byteSize = 5; break;
      case CS6: s.byteSize = 6; break;
      case CS7: s.byteSize = 7; break;
      default: s.byteSize = 8; break;
    }
    s.parity = (t.c_cflag & PARENB) == 0 ? Parity::kNone
               : (t.c_cflag & PARODD) != 0 ? Parity::kOdd
                                           : Parity::kEven;
    s.parityCheck = (t.c_iflag & INPCK) != 0;
    s.stopBits = (t.c_cflag & CSTOPB) != 0 ? StopBits::kTwo : StopBits::kOne;
    s.rtsControl = (t.c_cflag & CRTSCTS) != 0 ? RtsControl::kHandshake : rtsControl_;
    *out = s;
    return true;
  }

  bool SetState(const LineSettings& s) override {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return false;
    if (s.baud != 0) {
      speed_t code;
      if (!SpeedCode(s.baud, &code)) return false;
      ::cfsetispeed(&t, code);
      ::cfsetospeed(&t, code);
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (s.byteSize) {
      case 5: t.c_cflag |= CS5; break;
      case 6: t.c_cflag |= CS6; break;
      case 7: t.c_cflag |= CS7; break;
      case 8: t.c_cflag |= CS8; break;
      default: return false;
    }
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CSTOPB | CRTSCTS);
    if (s.parity != Parity::kNone) t.c_cflag |= PARENB;
    if (s.parity == Parity::kOdd) t.c_cflag |= PARODD;
    if (s.stopBits == StopBits::kTwo) t.c_cflag |= CSTOPB;
    if (s.rtsControl == RtsControl::kHandshake) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    if (s.parityCheck) t.c_iflag |= INPCK;
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) return false;
    // RTS follows a change of its control: held low when disabled, high
    // when enabled.  A device without modem lines cannot, which is not a
    // failure of the settings.
    if (s.rtsControl != rtsControl_) {
      if (s.rtsControl == RtsControl::kDisable) SetRts(false);
      if (s.rtsControl == RtsControl::kEnable) SetRts(true);
      rtsControl_ = s.rtsControl;
    }
    return true;
  }

  bool GetTimeouts(Timeouts* out) override {
    *out = timeouts_;
    return true;
  }
  bool SetTimeouts(const Timeouts& t) override {
    timeouts_ = t;
    return true;
  }

  bool SetRts(bool on) override {
    int bits = TIOCM_RTS;
    return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
  }

  bool Read(uint8_t* buf, std::size_t size, std::size_t* got) override {
    *got = 0;
    if (size == 0) return true;
    if (!IsImmediate(timeouts_)) {
      // Wait for the first byte as the time-outs say; 0 totals wait for
      // as long as it takes.
      const uint64_t total = uint64_t{timeouts_.readTotalConstant} +
                             uint64_t{timeouts_.readTotalMultiplier} * size;
      int wait = total == 0 ? -1 : static_cast<int>(total > 0x7FFFFFFF ? 0x7FFFFFFF : total);
      pollfd p{fd_, POLLIN, 0};
      int r;
      do r = ::poll(&p, 1, wait);
      while (r < 0 && errno == EINTR);
      if (r < 0) return false;
      if (r == 0) return true;
    }
    ssize_t n;
    do n = ::read(fd_, buf, size);
    while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    *got = static_cast<std::size_t>(n);
    return true;
  }

  bool Write(const uint8_t* bytes, std::size_t size, std::size_t* written) override {
    *written = 0;
    LineSettings s;
    const uint32_t baud = GetState(&s) && s.baud != 0 ? s.baud : 9600;
    uint64_t limit = uint64_t{timeouts_.writeTotalConstant} +
                     uint64_t{timeouts_.writeTotalMultiplier} * size;
    if (limit == 0) limit = 1000 + uint64_t{size} * 11 * 1000 / baud;
    const int64_t deadline = NowMs() + static_cast<int64_t>(limit);
    while (*written < size) {
      ssize_t n = ::write(fd_, bytes + *written, size - *written);
      if (n > 0) {
        *written += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      const int64_t left = deadline - NowMs();
      if (left <= 0) return false;
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    }
    return true;
  }

  bool Drain() override {
    int r;
    do r = ::tcdrain(fd_);
    while (r != 0 && errno == EINTR);
    return r == 0;
  }

 private:
  int fd_;
  termios original_;
  RtsControl rtsControl_;
  Timeouts timeouts_;
};

}  // namespace

bool IsSupportedBaud(uint32_t baud) {
  speed_t code;
  return SpeedCode(baud, &code);
}

std::unique_ptr<Port> OpenDevice(const std::string& path, std::string* reason) {
  auto fail = [reason](const std::string& why) -> std::unique_ptr<Port> {
    if (reason != nullptr) *reason = why;
    return nullptr;
  };
  if (path.empty()) return fail("no device is set for the port");
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(std::strerror(errno));
  termios original{};
  std::string why;
  if (!::isatty(fd)) {
    why = "not a serial device";
  } else if (::tcgetattr(fd, &original) != 0) {
    why = std::strerror(errno);
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    why = errno == EWOULDBLOCK ? "in use by another program" : std::strerror(errno);
  }
  if (!why.empty()) {
    ::close(fd);
    return fail(why);
  }
  ::ioctl(fd, TIOCEXCL);
  termios raw = original;
  ::cfmakeraw(&raw);
  raw.c_cflag |= CLOCAL | CREAD;
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &raw) != 0) {
    why = std::strerror(errno);
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    return fail(why);
  }
  // The kernel raises RTS when a tty opens.
  const RtsControl rts =
      (raw.c_cflag & CRTSCTS) != 0 ? RtsControl::kHandshake : RtsControl::kEnable;
  return std::make_unique<PosixPort>(fd, original, rts);
}

PosixBackend::PosixBackend(std::function<std::string(int)> resolve)
    : resolve_(std::move(resolve)) {
  if (!resolve_) resolve_ = [](int com) { return DevicePathForCom(com); };
}

std::unique_ptr<Port> PosixBackend::Open(int com, OpenFailure* why) {
  const std::string device = resolve_(com);
  std::string reason;
  std::unique_ptr<Port> port = OpenDevice(device, &reason);
  if (!port && why != nullptr) *why = {device, device.empty() ? "no device is set for the port" : reason};
  return port;
}

}  // namespace serial
