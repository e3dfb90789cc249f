// serialrack: dimmer racks on a serial line for the server's direct-connect
// ports.  It opens a pseudo-terminal (or a given device) and prints
// "ready <device>"; point the server's COM port at that device
// (DROVANA_COM1=<device>).  Each rack answers at its own address with a
// rack model.
//
//   serialrack --racks 1,2,3 [--device PATH] [--dims N] [--type N]
//
// Commands on standard input, one per line: "silence <rack>",
// "speak <rack>", "status", "quit".  A line per frame answered goes to
// standard output.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "SerialRack.h"
#include "platform/serial/pty.h"

namespace {

// The usage, after a line saying what is wrong when `why` is given.
int Usage(const std::string& why = {}) {
  if (!why.empty()) std::fprintf(stderr, "serialrack: %s\n", why.c_str());
  std::fprintf(stderr,
               "usage: serialrack --racks N[,N...] [--device PATH] [--dims N] [--type N]\n");
  return 2;
}

bool ParseNumber(const std::string& s, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || end == s.c_str() || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint16_t> racks;
  std::string device;
  RackModel::Config config;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a != "--racks" && a != "--device" && a != "--dims" && a != "--type")
      return Usage("unknown argument \"" + a + "\".");
    if (i + 1 >= argc) return Usage(a + " needs a value.");
    const std::string v = argv[++i];
    long n = 0;
    if (a == "--racks") {
      std::stringstream list(v);
      std::string item;
      bool any = false;
      while (std::getline(list, item, ',')) {
        if (!ParseNumber(item, 1, 256, &n))
          return Usage("--racks needs rack numbers from 1 to 256, separated by commas.");
        const auto rack = static_cast<uint16_t>(n);
        if (std::find(racks.begin(), racks.end(), rack) != racks.end())
          return Usage("rack " + std::to_string(rack) + " given twice.");
        racks.push_back(rack);
        any = true;
      }
      if (!any) return Usage("--racks needs rack numbers from 1 to 256, separated by commas.");
    } else if (a == "--device") {
      if (v.empty()) return Usage("--device needs a path.");
      device = v;
    } else if (a == "--dims") {
      if (!ParseNumber(v, 0, 96, &n)) return Usage("--dims needs a number of dimmers from 0 to 96.");
      config.digitalDims = static_cast<uint16_t>(n);
    } else if (a == "--type") {
      if (!ParseNumber(v, 0, 255, &n)) return Usage("--type needs a rack kind from 0 to 255.");
      config.rackType = static_cast<uint16_t>(n);
    }
  }
  if (racks.empty()) return Usage("--racks is required.");

  std::unique_ptr<serialrack::SerialRack> line;
  try {
    line = std::make_unique<serialrack::SerialRack>(racks, config);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "serialrack: %s\n", e.what());
    return 2;
  }
  line->SetTrace([](const std::string& s) { std::printf("%s\n", s.c_str()), std::fflush(stdout); });

  std::unique_ptr<serial::PtyPair> pty;
  int fd = -1;
  if (device.empty()) {
    pty = std::make_unique<serial::PtyPair>();
    if (!pty->ok()) {
      std::fprintf(stderr, "serialrack: no pseudo-terminal\n");
      return 1;
    }
    fd = pty->master();
    device = pty->slavePath();
  } else {
    fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      std::fprintf(stderr, "serialrack: %s: %s\n", device.c_str(), std::strerror(errno));
      return 1;
    }
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(fd, TCSANOW, &t);
    }
  }
  std::printf("ready %s\n", device.c_str());
  std::fflush(stdout);

  std::string input;
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(fds, 2, 1000) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      uint8_t buf[1024];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) {
        const std::vector<uint8_t> out = line->Receive({buf, static_cast<size_t>(n)});
        if (!out.empty() && !WriteAll(fd, out)) std::fprintf(stderr, "serialrack: write failed\n");
      }
    }
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
      char buf[256];
      const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) break;  // standard input closed: done
      input.append(buf, static_cast<size_t>(n));
      if (input.size() > 65536 && input.find('\n') == std::string::npos) input.clear();  // no line is that long
      size_t nl;
      while ((nl = input.find('\n')) != std::string::npos) {
        std::stringstream cmd(input.substr(0, nl));
        input.erase(0, nl + 1);
        std::string word, arg;
        cmd >> word >> arg;
        long rack = 0;
        if (word == "quit") {
          std::printf("bye\n");
          return 0;
        } else if ((word == "silence" || word == "speak") && ParseNumber(arg, 1, 256, &rack) &&
                   line->Rack(static_cast<uint16_t>(rack)) != nullptr) {
          line->SetSilent(static_cast<uint16_t>(rack), word == "silence");
          std::printf("ok %s %ld\n", word.c_str(), rack);
        } else if (word == "status") {
          std::printf("ok frames %u bad %u\n", line->frames(), line->badFrames());
        } else if (!word.empty()) {
          std::printf("error unknown command\n");
        }
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
