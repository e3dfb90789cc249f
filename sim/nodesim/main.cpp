// nodesim: one simulated network node on a lab address, controlled line by
// line on standard input; a trace line per event on standard output.
//
//   nodesim --name NODE1 --addr 127.0.0.2 --peers 127.0.0.1 [--type 5]
//           [--silence HUNDREDTHS] [--period HUNDREDTHS]
//           [--rack SLOT:RACK[:DIMMERS[:KIND]]]... [--report BYTES]
//           [--latency MS] [--silent-delay MS] [--quiet]
//           [--ftp-dir DIR [--ftp-raw]]
//
// --rack puts a rack model (rack number RACK, 48 dimmers and kind 0 unless
// given) behind the port of slot SLOT (0-5); repeat it for more racks.
// --report is the most bytes of one IO_KRN_EVNT_REPORT (1-255, default 200),
// --latency the delay of every rack answer (default 0), --silent-delay the
// delay before a rack that does not answer is reported with link code 0x10
// (default 500).  --quiet leaves the trace lines of requests, exchanges,
// polls and events out.
//
// With --ftp-dir the node serves IO_FTP as 21/1 and receives files into DIR
// (--ftp-raw: it refuses packed blocks).
// Commands (each answered "ok COMMAND"):
//   offline | disabled | online   announce the node offline / disabled /
//                      online (offline and disabled every announce period)
//   restart            start again with a new start time, forgetting all
//   silence | speak    stop / resume reading, sending and announcing
//   rack-silent R | rack-speak R   rack R stops / resumes answering
//   rack-fail R CODE   rack R's next exchange fails with link code CODE
//   rack-inputs R BITS rack R's input bits (its poll reply changes)
//   rack-fault R TYPE DIMMER [CIRCUIT [DIAG1 [DIAG2]]]
//                      rack R raises fault TYPE (0-63) at its output DIMMER
//                      (0-based, as the rack reports it); the next poll
//                      reports it
//   rack-clear R TYPE DIMMER [CIRCUIT]   the fault subsides
//   abuse KIND         bends the next answer: dup-start, long-report,
//                      report-no-start, oversize, hold (16 s), none
//   latency MS | silent-delay MS | report BYTES   change the options
//   status             "status silent 0|1 open_ports N requests N sends N
//                      polls N poll_reports N"
//   quit               (also end of input)
// Trace lines: "ready NAME", "start ...", "req ...", "evt ...", "rack ...",
// "poll ...", "broadcast ...", "status ...".
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "NodeSim.h"
#include "PeerCli.h"
#include "RackModel.h"

namespace {

using ipcpeer::LineReader;
using ipcpeer::Out;
using ipcpeer::ParseNumber;

// The usage, after a line saying what is wrong when `why` is given.
int Usage(const std::string& why = {}) {
  if (!why.empty()) std::fprintf(stderr, "nodesim: %s\n", why.c_str());
  std::fprintf(stderr,
               "usage: nodesim --name NAME --addr A.B.C.D [--peers A,B,...] [--type N]\n"
               "               [--silence HUNDREDTHS] [--period HUNDREDTHS]\n"
               "               [--rack SLOT:RACK[:DIMMERS[:KIND]]]... [--report BYTES]\n"
               "               [--latency MS] [--silent-delay MS] [--quiet]\n"
               "               [--ftp-dir DIR [--ftp-raw]]\n");
  return 2;
}

struct RackArg {
  int slot;
  sim::RackModel::Config config;
};

bool ParseRack(const std::string& text, RackArg* out) {
  std::stringstream in(text);
  std::vector<long> f;
  for (std::string item; std::getline(in, item, ':');) {
    long v = 0;
    if (!ParseNumber(item.c_str(), 0, 65535, &v)) return false;
    f.push_back(v);
  }
  if (f.size() < 2 || f.size() > 4 || f[0] > 5 || f[1] < 1 || f[1] > 256) return false;
  out->slot = static_cast<int>(f[0]);
  out->config.rackNumber = static_cast<uint16_t>(f[1]);
  if (f.size() > 2) {
    if (f[2] < 1 || f[2] > sim::kRackMaxOutputs) return false;
    out->config.digitalDims = static_cast<uint16_t>(f[2]);
  }
  if (f.size() > 3) out->config.rackType = static_cast<uint16_t>(f[3]);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  nodesim::Options o;
  std::vector<RackArg> racks;
  nodesim::KrnOptions krn;
  o.peer.name = "NODESIM";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    long v = 0;
    const char* s = nullptr;
    const ipcpeer::OptionResult taken = ipcpeer::ParsePeerOption(a, value, o.peer);
    if (taken == ipcpeer::OptionResult::kBad) return Usage(ipcpeer::PeerOptionNeeds(a) + ".");
    if (taken == ipcpeer::OptionResult::kTaken) continue;
    if (a == "--rack") {
      RackArg r{};
      if ((s = value()) == nullptr || !ParseRack(s, &r))
        return Usage("--rack needs SLOT:RACK[:DIMMERS[:KIND]]: slot 0-5, rack 1-256, dimmers 1-" +
                     std::to_string(sim::kRackMaxOutputs) + ", kind 0-65535.");
      racks.push_back(r);
    } else if (a == "--report") {
      if ((s = value()) == nullptr || !ParseNumber(s, 1, 255, &v))
        return Usage("--report needs a number of bytes from 1 to 255.");
      krn.reportSize = static_cast<int>(v);
    } else if (a == "--latency") {
      if ((s = value()) == nullptr || !ParseNumber(s, 0, 600000, &v))
        return Usage("--latency needs milliseconds from 0 to 600000.");
      krn.latencyMs = static_cast<int>(v);
    } else if (a == "--silent-delay") {
      if ((s = value()) == nullptr || !ParseNumber(s, 0, 600000, &v))
        return Usage("--silent-delay needs milliseconds from 0 to 600000.");
      krn.silentDelayMs = static_cast<int>(v);
    } else if (a == "--quiet") {
      krn.traceEvents = false;
    } else if (a == "--ftp-dir") {
      if ((s = value()) == nullptr || *s == '\0') return Usage("--ftp-dir needs a directory.");
      o.ftp.dir = s;
    } else if (a == "--ftp-raw") {
      o.ftp.packed = false;
    } else {
      return Usage("unknown argument \"" + a + "\".");
    }
  }

  nodesim::NodeSim sim(&Out);
  sim.krn().options() = krn;
  for (const RackArg& r : racks) {
    if (!sim.krn().AddRack(r.slot, r.config.rackNumber, r.config)) {
      return Usage("rack " + std::to_string(r.config.rackNumber) + " given twice.");
    }
  }
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
    sim.Tick();
    std::string line;
    while (!quit && reader.Next(&line)) {
      std::istringstream in(line);
      std::string cmd;
      in >> cmd;
      if (cmd.empty()) continue;
      if (cmd == "quit") {
        quit = true;
      } else if (cmd == "offline" || cmd == "online" || cmd == "disabled") {
        sim.SetAnnounced(cmd == "online"    ? IPC_NODE_STATUS_ONLINE
                         : cmd == "offline" ? IPC_NODE_STATUS_OFFLINE
                                            : IPC_NODE_STATUS_DISABLED);
      } else if (cmd == "restart") {
        if (!sim.Restart(&error)) {
          Out("error restart " + error);
          continue;
        }
      } else if (cmd == "silence" || cmd == "speak") {
        sim.SetSilent(cmd == "silence");
      } else if (cmd == "rack-silent" || cmd == "rack-speak" || cmd == "rack-fail" ||
                 cmd == "rack-inputs") {
        long rack = 0, value = 0;
        std::string r, x;
        in >> r >> x;
        sim::RackModel* model =
            ParseNumber(r.c_str(), 1, 256, &rack) ? sim.krn().Rack(static_cast<uint16_t>(rack)) : nullptr;
        const bool needValue = cmd == "rack-fail" || cmd == "rack-inputs";
        if (model == nullptr ||
            (needValue && !ParseNumber(x.c_str(), 0, cmd == "rack-fail" ? 255 : 0x7FFFFFFF, &value))) {
          Out("error bad arguments " + cmd);
          continue;
        }
        if (cmd == "rack-silent" || cmd == "rack-speak")
          model->SetSilent(cmd == "rack-silent");
        else if (cmd == "rack-fail")
          model->FailNext(static_cast<uint16_t>(value));
        else
          model->SetInputBits(static_cast<uint32_t>(value));
      } else if (cmd == "rack-fault" || cmd == "rack-clear") {
        // rack-fault R TYPE DIMMER [CIRCUIT [DIAG1 [DIAG2]]]
        // rack-clear R TYPE DIMMER [CIRCUIT]
        std::vector<std::string> words;
        for (std::string w; in >> w;) words.push_back(w);
        const bool raise = cmd == "rack-fault";
        const struct {
          long lo, hi;
        } bounds[] = {{1, 256}, {0, 63}, {0, 255}, {0, 65535}, {-32768, 32767}, {-32768, 32767}};
        long v[6] = {0, 0, 0, 0, 0, 0};
        bool good = words.size() >= 3 && words.size() <= (raise ? 6u : 4u);
        for (size_t k = 0; good && k < words.size(); ++k)
          good = ParseNumber(words[k].c_str(), bounds[k].lo, bounds[k].hi, &v[k]);
        sim::RackModel* model = good ? sim.krn().Rack(static_cast<uint16_t>(v[0])) : nullptr;
        if (model == nullptr) {
          Out("error bad arguments " + cmd);
          continue;
        }
        // The event carries the rack's clock: it runs on the local time.
        model->SetClock(nodesim::LocalSecondsNow());
        if (raise)
          model->RaiseFault(static_cast<uint8_t>(v[1]), static_cast<uint8_t>(v[2]),
                            static_cast<uint16_t>(v[3]), static_cast<int16_t>(v[4]),
                            static_cast<int16_t>(v[5]));
        else
          model->SubsideFault(static_cast<uint8_t>(v[1]), static_cast<uint8_t>(v[2]),
                              static_cast<uint16_t>(v[3]));
      } else if (cmd == "abuse") {
        std::string kind;
        in >> kind;
        nodesim::Abuse abuse;
        if (!nodesim::ParseAbuse(kind, &abuse)) {
          Out("error bad arguments abuse");
          continue;
        }
        sim.krn().SetAbuse(abuse);
      } else if (cmd == "latency" || cmd == "silent-delay" || cmd == "report") {
        std::string x;
        in >> x;
        long v = 0;
        if (!ParseNumber(x.c_str(), cmd == "report" ? 1 : 0, cmd == "report" ? 255 : 600000, &v)) {
          Out("error bad arguments " + cmd);
          continue;
        }
        if (cmd == "latency") sim.krn().options().latencyMs = static_cast<int>(v);
        else if (cmd == "silent-delay") sim.krn().options().silentDelayMs = static_cast<int>(v);
        else sim.krn().options().reportSize = static_cast<int>(v);
      } else if (cmd == "status") {
        Out("status silent " + std::to_string(sim.silent() ? 1 : 0) + " open_ports " +
            std::to_string(sim.openPorts()) + " requests " + std::to_string(sim.requests()) +
            " sends " + std::to_string(sim.krn().sends()) + " polls " +
            std::to_string(sim.krn().polls()) + " poll_reports " +
            std::to_string(sim.krn().pollReports()));
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
