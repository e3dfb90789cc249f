// nodesim: one simulated network node on a lab address, controlled line by
// line on standard input; a trace line per event on standard output.
//
//   nodesim --name NODE1 --addr 127.0.0.2 --peers 127.0.0.1 [--type 5]
//           [--silence HUNDREDTHS] [--period HUNDREDTHS]
//           [--ftp-dir DIR [--ftp-raw]]
//
// With --ftp-dir the node serves IO_FTP as 21/1 and receives files into DIR
// (--ftp-raw: it refuses packed blocks).
// Commands (each answered "ok COMMAND"):
//   offline | online   announce the node offline / online
//   restart            start again with a new start time, forgetting all
//   silence | speak    stop / resume reading, sending and announcing
//   status             "status silent 0|1 open_ports N requests N"
//   quit               (also end of input)
// Trace lines: "ready NAME", "start ...", "req ...", "evt ...", "status ...".
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "NodeSim.h"

namespace {

void Out(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int Usage() {
  std::fprintf(stderr,
               "usage: nodesim --name NAME --addr A.B.C.D [--peers A,B,...] [--type N]\n"
               "               [--silence HUNDREDTHS] [--period HUNDREDTHS]\n"
               "               [--ftp-dir DIR [--ftp-raw]]\n");
  return 2;
}

bool ParseNumber(const char* text, long lo, long hi, long* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

class LineReader {
 public:
  bool Fill() {
    char buf[512];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
    if (pending_.size() > 65536) pending_.clear();  // no command is that long
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

}  // namespace

int main(int argc, char** argv) {
  nodesim::Options o;
  o.peer.name = "NODESIM";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    long v = 0;
    const char* s = nullptr;
    if (a == "--name") {
      if ((s = value()) == nullptr) return Usage();
      o.peer.name = s;
    } else if (a == "--addr") {
      if ((s = value()) == nullptr || (o.peer.addr = ipcpeer::ParseAddr(s)) == 0) return Usage();
    } else if (a == "--peers") {
      if ((s = value()) == nullptr) return Usage();
      std::stringstream list(s);
      for (std::string item; std::getline(list, item, ',');) {
        const uint32_t p = ipcpeer::ParseAddr(item);
        if (p == 0) return Usage();
        o.peer.peers.push_back(p);
      }
    } else if (a == "--type") {
      if ((s = value()) == nullptr || !ParseNumber(s, 1, 25, &v)) return Usage();
      o.peer.nodeType = static_cast<uint8_t>(v);
    } else if (a == "--silence") {
      if ((s = value()) == nullptr || !ParseNumber(s, 1, 60000, &v)) return Usage();
      o.peer.silence = static_cast<uint16_t>(v);
    } else if (a == "--period") {
      if ((s = value()) == nullptr || !ParseNumber(s, 1, 6000, &v)) return Usage();
      o.peer.period = static_cast<uint16_t>(v);
    } else if (a == "--ftp-dir") {
      if ((s = value()) == nullptr || *s == '\0') return Usage();
      o.ftp.dir = s;
    } else if (a == "--ftp-raw") {
      o.ftp.packed = false;
    } else {
      return Usage();
    }
  }

  nodesim::NodeSim sim(&Out);
  std::string error;
  if (!sim.Start(o, &error)) {
    std::fprintf(stderr, "nodesim: %s\n", error.c_str());
    return 1;
  }
  Out("ready " + o.peer.name);

  LineReader reader;
  bool quit = false;
  while (!quit) {
    // 10 ms at most between polls, so the library's clock stays fine.
    if (sim.WaitAndPoll(10, STDIN_FILENO) && !reader.Fill()) break;
    std::string line;
    while (!quit && reader.Next(&line)) {
      std::istringstream in(line);
      std::string cmd;
      in >> cmd;
      if (cmd.empty()) continue;
      if (cmd == "quit") {
        quit = true;
      } else if (cmd == "offline" || cmd == "online") {
        sim.SetOnline(cmd == "online");
      } else if (cmd == "restart") {
        if (!sim.Restart(&error)) {
          Out("error restart " + error);
          continue;
        }
      } else if (cmd == "silence" || cmd == "speak") {
        sim.SetSilent(cmd == "silence");
      } else if (cmd == "status") {
        Out("status silent " + std::to_string(sim.silent() ? 1 : 0) + " open_ports " +
            std::to_string(sim.openPorts()) + " requests " + std::to_string(sim.requests()));
        continue;
      } else {
        Out("error unknown command " + cmd);
        continue;
      }
      Out("ok " + cmd);
    }
  }
  IpcTerm();
  return 0;
}
