// ipcpeer: one library host on a lab address, controlled line by line on
// standard input; answers on standard output, one line each.
//
//   ipcpeer --name A --addr 127.0.0.2 --peers 127.0.0.2,127.0.0.3
//           [--type 5] [--silence HUNDREDTHS] [--period HUNDREDTHS] [--no-server]
//
// Commands:
//   connect NAME                  be a client of NAME's test server 22/1
//   wait NAME online|attached|offline MS
//                                 poll until the state holds ("ok ..." with the
//                                 time since start) or MS pass ("timeout ...")
//   call COUNT SIZE [WAIT_MS]     COUNT com-procs of SIZE data bytes, one at a
//                                 time, each waiting for the answer event that
//                                 carries its serial (WAIT_MS, 2000 unless
//                                 given); prints the round trips' p50 and p99
//   status NAME                   the node's status, link status and handles,
//                                 and the datagram layer's traffic counters
//   figures                       the socket driver's system calls, the
//                                 host's waits and the process's context
//                                 switches since it started
//   quit                          (also end of input)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Peer.h"
#include "PeerCli.h"
#include "ipctcpip.h"  // the socket driver's counters

namespace {

using ipcpeer::LineReader;
using ipcpeer::Out;
using ipcpeer::ParseNumber;

using ipcpeer::MonotonicMicros;
using ipcpeer::Peer;

// The usage, after a line saying what is wrong when `why` is given.
int Usage(const std::string& why = {}) {
  if (!why.empty()) std::fprintf(stderr, "ipcpeer: %s\n", why.c_str());
  std::fprintf(stderr,
               "usage: ipcpeer --name NAME --addr A.B.C.D [--peers A,B,...] [--type N]\n"
               "               [--silence HUNDREDTHS] [--period HUNDREDTHS] [--no-server]\n");
  return 2;
}



// The round trips' p50 and p99 in whole microseconds and in nanoseconds.
std::string Percentiles(std::vector<uint64_t> ns) {
  if (ns.empty()) return "p50_us 0 p99_us 0 p50_ns 0 p99_ns 0";
  std::sort(ns.begin(), ns.end());
  auto at = [&](double q) { return ns[std::min(ns.size() - 1, static_cast<size_t>(q * ns.size()))]; };
  return "p50_us " + std::to_string(at(0.50) / 1000) + " p99_us " + std::to_string(at(0.99) / 1000) +
         " p50_ns " + std::to_string(at(0.50)) + " p99_ns " + std::to_string(at(0.99));
}

// What the process's library and host did: system calls of the socket
// driver, the host's waits, and the kernel's count of context switches.
std::string Figures(const Peer& peer) {
  const IpcSockCounters& c = ipc::IpcSockCountersGet();
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return "figures sends " + std::to_string(c.sends) + " recv_calls " + std::to_string(c.recvCalls) +
         " recv_empty " + std::to_string(c.recvEmpty) + " looks " + std::to_string(c.looks) +
         " waits " + std::to_string(peer.waits()) + " wakeups " + std::to_string(ru.ru_nvcsw) +
         " preempted " + std::to_string(ru.ru_nivcsw);
}

bool Holds(Peer& peer, const std::string& name, const std::string& what) {
  const uint8_t n = peer.NodeOf(name);
  if (what == "online") return n != IPC_NO_NET_NODE && IpcNetNodeStatusGet(n) == IPC_NODE_STATUS_ONLINE;
  if (what == "offline") {
    return n == IPC_NO_NET_NODE || IpcNetNodeStatusGet(n) != IPC_NODE_STATUS_ONLINE;
  }
  if (what == "attached") return peer.Attached() && peer.connectedNode() == n;
  return false;
}

void Command(Peer& peer, const std::string& line, bool* quit) {
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  if (cmd.empty()) return;
  if (cmd == "quit") {
    *quit = true;
    Out("bye");
  } else if (cmd == "connect") {
    std::string name, error;
    in >> name;
    Out(peer.Connect(name, &error) ? "ok connect " + name : "error " + error);
  } else if (cmd == "wait") {
    std::string name, what;
    long ms = 0;
    in >> name >> what >> ms;
    if (what != "online" && what != "offline" && what != "attached") {
      Out("error wait what: online, attached or offline");
      return;
    }
    const uint64_t start = MonotonicMicros();
    const uint64_t limit = start + static_cast<uint64_t>(std::max(ms, 0L)) * 1000u;
    while (!Holds(peer, name, what) && MonotonicMicros() < limit) peer.WaitAndPoll(10);
    const uint64_t now = MonotonicMicros();
    Out(std::string(Holds(peer, name, what) ? "ok " : "timeout ") + what + " " + name +
        " waited_ms " + std::to_string((now - start) / 1000) + " since_start_ms " +
        std::to_string((now - peer.startedAtMicros()) / 1000));
  } else if (cmd == "call") {
    long count = 1, size = 16, waitMs = 2000;
    in >> count >> size;
    if (!(in >> waitMs)) waitMs = 2000;
    count = std::clamp(count, 1L, 1000000L);
    size = std::clamp(size, 4L, 1232L);
    waitMs = std::clamp(waitMs, 1L, 600000L);
    std::vector<uint64_t> rtt;
    rtt.reserve(static_cast<size_t>(count));
    long ok = 0;
    for (long i = 0; i < count; ++i) {
      const uint64_t before = peer.answers();
      const uint32_t serial = static_cast<uint32_t>(i + 1);
      const uint64_t t0 = ipcpeer::MonotonicNanos();
      if (!peer.Call(static_cast<uint16_t>(size), serial)) break;
      // Only the answer to this call counts: one to an earlier call that
      // comes late (the link delivers in order, so before this one) is not
      // taken for it.
      auto answered = [&] {
        return peer.answers() != before && peer.lastAnswerSerial() == serial;
      };
      const uint64_t limit = t0 + static_cast<uint64_t>(waitMs) * 1000000u;
      while (!answered() && ipcpeer::MonotonicNanos() < limit) peer.WaitAndPoll(10);
      if (!answered()) continue;  // lost: the next call goes on
      // Until the answer reached its callback: the acknowledgement the
      // same poll sends after it is no part of the round trip.
      rtt.push_back(peer.lastAnswerAtNanos() - t0);
      ++ok;
    }
    Out("ok calls " + std::to_string(count) + " answered " + std::to_string(ok) + " " +
        Percentiles(rtt));
  } else if (cmd == "figures") {
    Out(Figures(peer));
  } else if (cmd == "status") {
    std::string name;
    in >> name;
    const uint8_t n = peer.NodeOf(name);
    if (n == IPC_NO_NET_NODE) {
      Out("status " + name + " unknown");
      return;
    }
    Out("status " + name + " index " + std::to_string(n) + " node " +
        std::to_string(IpcNetNodeStatusGet(n)) + " link " +
        std::to_string(IpcNetNodeLinkStatusGet(n)) + " attached " +
        std::to_string(peer.Attached() && peer.connectedNode() == n ? 1 : 0) + " served " +
        std::to_string(peer.callsServed()) + " " + peer.NetFigures());
  } else {
    Out("error unknown command " + cmd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ipcpeer::Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const ipcpeer::OptionResult taken = ipcpeer::ParsePeerOption(a, value, o);
    if (taken == ipcpeer::OptionResult::kBad) return Usage(ipcpeer::PeerOptionNeeds(a) + ".");
    if (taken == ipcpeer::OptionResult::kTaken) continue;
    if (a == "--no-server") {
      o.serve = false;
    } else {
      return Usage("unknown argument \"" + a + "\".");
    }
  }

  Peer peer;
  std::string error;
  if (!peer.Start(o, &error)) {
    std::fprintf(stderr, "ipcpeer: %s\n", error.c_str());
    return 1;
  }
  Out("ready " + o.name);

  LineReader reader;
  bool quit = false;
  bool inputOpen = true;
  while (!quit) {
    const bool readable = peer.WaitAndPoll(10, inputOpen ? STDIN_FILENO : -1);
    if (readable && inputOpen) {
      inputOpen = reader.Fill();
      if (!inputOpen) quit = true;
    }
    std::string line;
    while (!quit && reader.Next(&line)) Command(peer, line, &quit);
  }
  IpcTerm();
  return 0;
}
