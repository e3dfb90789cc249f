#include "platform/serial/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace serial {

PtyPair::PtyPair() {
  const int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0) return;
  char name[128];
  if (::grantpt(m) != 0 || ::unlockpt(m) != 0 || ::ptsname_r(m, name, sizeof name) != 0) {
    ::close(m);
    return;
  }
  // Hold the slave open in raw mode, so bytes sent before a port opens are
  // not echoed or edited, and so the master never reads a hang-up.
  const int s = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t{};
  if (s < 0 || ::tcgetattr(s, &t) != 0) {
    if (s >= 0) ::close(s);
    ::close(m);
    return;
  }
  ::cfmakeraw(&t);
  ::tcsetattr(s, TCSANOW, &t);
  master_ = m;
  keep_ = s;
  slave_ = name;
}

PtyPair::~PtyPair() {
  if (keep_ >= 0) ::close(keep_);
  if (master_ >= 0) ::close(master_);
}

bool PtyPair::Write(const std::vector<uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<uint8_t> PtyPair::Read(std::size_t count, int timeoutMs) {
  std::vector<uint8_t> out;
  while (out.size() < count) {
    pollfd p{master_, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    uint8_t buf[256];
    const std::size_t want = count - out.size() < sizeof buf ? count - out.size() : sizeof buf;
    const ssize_t n = ::read(master_, buf, want);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

}  // namespace serial
