// The command-line and standard-input pieces that the peer programs
// (ipcpeer, nodesim) share: output lines, bounded numbers, the peer's own
// options, and a reader of whole lines from standard input that never
// blocks the loop.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "Peer.h"

namespace ipcpeer {

// One answer or trace line on standard output, flushed at once.
inline void Out(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// A whole decimal number in lo..hi.
inline bool ParseNumber(const char* text, long lo, long hi, long* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

enum class OptionResult { kNotMine, kTaken, kBad };

// Takes one of the peer's options (--name, --addr, --peers, --type,
// --silence, --period) with its value from `value` (null when missing).
template <class Value>
OptionResult ParsePeerOption(const std::string& option, Value&& value, Options& o) {
  const bool mine = option == "--name" || option == "--addr" || option == "--peers" ||
                    option == "--type" || option == "--silence" || option == "--period";
  if (!mine) return OptionResult::kNotMine;
  const char* s = value();
  if (s == nullptr) return OptionResult::kBad;
  long v = 0;
  if (option == "--name") {
    o.name = s;
  } else if (option == "--addr") {
    if ((o.addr = ParseAddr(s)) == 0) return OptionResult::kBad;
  } else if (option == "--peers") {
    std::stringstream list(s);
    for (std::string item; std::getline(list, item, ',');) {
      const uint32_t p = ParseAddr(item);
      if (p == 0) return OptionResult::kBad;
      o.peers.push_back(p);
    }
  } else if (option == "--type") {
    if (!ParseNumber(s, 1, 25, &v)) return OptionResult::kBad;
    o.nodeType = static_cast<uint8_t>(v);
  } else if (option == "--silence") {
    if (!ParseNumber(s, 1, 60000, &v)) return OptionResult::kBad;
    o.silence = static_cast<uint16_t>(v);
  } else {
    if (!ParseNumber(s, 1, 6000, &v)) return OptionResult::kBad;
    o.period = static_cast<uint16_t>(v);
  }
  return OptionResult::kTaken;
}

// What the value of one of the peer's options has to be, for the line that
// refuses a command line.
inline std::string PeerOptionNeeds(const std::string& option) {
  if (option == "--name") return "--name needs a node name";
  if (option == "--addr") return "--addr needs an IPv4 host address (A.B.C.D)";
  if (option == "--peers") return "--peers needs a comma-separated list of IPv4 host addresses";
  if (option == "--type") return "--type needs a node type from 1 to 25";
  if (option == "--silence") return "--silence needs hundredths of a second from 1 to 60000";
  return "--period needs hundredths of a second from 1 to 6000";
}

// Reads whole lines from standard input without blocking the poll loop.
class LineReader {
 public:
  // False at end of input.
  bool Fill() {
    char buf[512];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
    if (pending_.size() > 65536) pending_.clear();  // no line is that long
    return true;
  }
  bool Next(std::string* line) {
    const size_t nl = pending_.find('\n');
    if (nl == std::string::npos) return false;
    *line = pending_.substr(0, nl);
    pending_.erase(0, nl + 1);
    return true;
  }

 private:
  std::string pending_;
};

}  // namespace ipcpeer
