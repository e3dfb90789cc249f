// Figures of the rack message exchange over IO_KRN: the comm thread on its
// own thread over the real library and loopback sockets, against nodesim
// processes with zero-latency rack models, the main thread playing the UI
// thread (it answers the racks' synchronisation, and keeps one message in
// flight on every racked port, re-sending each as it comes back).
//
//   raw        the library's com-proc round trip between two ipcpeer
//              processes (p50/p99), measured first in the same run: the
//              floor of one exchange, which needs a com-proc out and events
//              back
//   chain      the same hand-offs as one exchange with nothing but the
//              bare system calls (this thread wakes a second one through an
//              eventfd, it sends a datagram to a child process that answers
//              at once, and wakes this thread through an eventfd): the floor
//              of one exchange at a time on this machine
//   exchanges  for 1, 10, 50 and 99 nodes of 6 ports: the first 50 nodes
//              with a rack on 5 ports each (racks 1 to 250), nodes 51 to 56
//              with one (racks 251 to 256, the last rack number), the rest
//              in the node table, linked and announcing, without racks:
//              exchanges per second in all, per node and per racked port
//              (with the share of the rate of one raw round trip at a time
//              that a port reaches, as each port has one message in
//              flight), and the latency from SendRackMsg to WM_DOC_MSG_DONE
//              on the UI thread (p50/p99), with its ratio to the raw round
//              trip; on the one-node plant also one exchange at a time, its
//              latency beside the raw round trip and the bare chain; then what the comm thread did meanwhile: the share of
//              the time spent in its library's network passes, the passes
//              per exchange, its system calls per exchange (the socket
//              driver's sendto, recvmmsg and readiness looks, its message
//              queue's waits, wake-up signals and socket re-arms) and its
//              wake-ups per exchange (voluntary context switches) beside
//              the UI thread's, retransmissions, event packets refused by a
//              full event ring, and messages not queued for want of a
//              transmit entry; last the share of the time the comm and UI
//              threads were on a CPU, and the cores the simulated plant's
//              processes took meanwhile (a comm thread near 100 % is the
//              limit of the rate; a plant near the machine's cores would be)
//   paced      the 50-node plant at a fixed 13,651 exchanges/s (the rate the
//              comm loop of an earlier build reached there at saturation):
//              the latency, how many exchanges took over 5 ms, the comm
//              thread's share of the time in passes and on a CPU, its
//              passes per exchange and the retransmissions, at a load the
//              thread is not saturated by
//   burst      one message to every rack of the 99 nodes at once: the event
//              ring's high-water mark (of 49 events) and its drops
//   idle       with the 99 nodes and every rack up and polled, no traffic
//              but the plant's own (announcements, polls that find nothing
//              new): the comm thread's CPU time as a share of a core; then
//              the whole server (TKZ_App, headless, on a site made for this
//              plant) against the same nodes, every rack up and no
//              requests: its CPU time as a share of a core and its resident
//              memory, beside its comm thread's figure
//
// Usage: krnloop_bench [seconds-per-case] [server-program]   (default 3, and
//   the TKZ_App of this build; another build's program measures that build
//   in the idle case, against the same simulated plant)
//   The benchmark uses 127.0.11.1 (this PC), 127.0.11.2-100 (nodes) and
//   127.0.11.200-201 (the raw pair), 127.0.11.202-203 (the bare chain);
//   DROVANA_NET_* are set by it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Comm.h"
#include "CommLibrary.h"
#include "DisplayFlags.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "MessageBox.h"
#include "PeerProcess.h"
#include "RackCommands.h"
#include "RackMsg.h"
#include "ThreadMsgs.h"
#include "ipcinst.h"
#include "msgqueue.h"
#include "site.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMaxNodes = 99;
constexpr int kPortsPerNode = 6;
constexpr int kRacksPerNode = 5;      // on the first kFullNodes nodes
constexpr int kFullNodes = 50;
constexpr uint32_t kLastRack = 256;

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
      .count();
}

std::string SimAddr(int i) { return "127.0.11." + std::to_string(2 + i); }
uint32_t SimAddrValue(int i) { return 0x7F000B00u + static_cast<uint32_t>(2 + i); }
// The rack on the node's slot, 0 when none: racks 1 to 250 on slots 1 to
// 5 of each of the first 50 nodes, 251 to 256 on slot 1 of the next six
// (slot 0 stays free, as a database node's racks lie on slots 1 to 5).
uint32_t RackOf(int node, int slot) {
  if (slot < 1) return 0;
  if (node < kFullNodes) {
    return slot <= kRacksPerNode ? static_cast<uint32_t>(node * kRacksPerNode + slot) : 0;
  }
  const uint32_t r = static_cast<uint32_t>(kFullNodes * kRacksPerNode + (node - kFullNodes) + 1);
  return slot == 1 && r <= kLastRack ? r : 0;
}
int RacksOfFirst(int nodes) {
  int n = 0;
  for (int i = 0; i < nodes; ++i)
    for (int s = 0; s < kPortsPerNode; ++s) n += RackOf(i, s) != 0;
  return n;
}

// Voluntary context switches of a thread of this process: each is a wait
// that ended in a wake-up.
long WakeUpsOfThread(long tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "voluntary_ctxt_switches:") {
      in >> value;
      return value;
    }
  }
  return 0;
}

// The library, with the event ring watched after each despatch of the
// datagrams (the events are queued then, not yet delivered), the time spent
// in the network passes, and the datagram layer's counters.
class RingWatch : public TessioLibrary {
 public:
  std::atomic<uint32_t> high{0};
  std::atomic<uint32_t> dropped{0};
  // Written by the comm thread, read by the main thread between cases.
  struct Figures {
    uint64_t passes = 0, passUs = 0;
    uint32_t retransmissions = 0, ringFull = 0, poolFull = 0;
    // The comm thread's system calls.
    uint64_t sends = 0, recvs = 0, looks = 0, waits = 0, signals = 0, rearms = 0;
  };
  std::atomic<long> commTid{0};
  void IpcNetDespatch() override {
    if (commTid.load(std::memory_order_relaxed) == 0) commTid.store(static_cast<long>(::syscall(SYS_gettid)));
    const int64_t t0 = NowUs();
    TessioLibrary::IpcNetDespatch();
    passUs_.fetch_add(static_cast<uint64_t>(NowUs() - t0), std::memory_order_relaxed);
    passes_.fetch_add(1, std::memory_order_relaxed);
    const IpcSockCounters& sc = ipc::IpcSockCountersGet();
    sends_.store(sc.sends, std::memory_order_relaxed);
    recvs_.store(sc.recvCalls, std::memory_order_relaxed);
    looks_.store(sc.looks, std::memory_order_relaxed);
    const msgq::SysCallCounts mq = msgq::SysCalls();
    waits_.store(mq.waits, std::memory_order_relaxed);
    signals_.store(mq.wakeSignals, std::memory_order_relaxed);
    rearms_.store(mq.rearms, std::memory_order_relaxed);
    const IpcEvntState& ring = ipc::Cur().evnt;
    const uint32_t used = (ring.tail + kIpcEvntRingSlots - ring.head) % kIpcEvntRingSlots;
    if (used > high.load(std::memory_order_relaxed)) high.store(used, std::memory_order_relaxed);
    dropped.store(ring.droppedFull, std::memory_order_relaxed);
    const IpcNetCounters& c = ipc::Cur().net.counters;
    retransmissions_.store(c.retransmissions, std::memory_order_relaxed);
    ringFull_.store(c.rxRingFull, std::memory_order_relaxed);
    poolFull_.store(c.poolFull, std::memory_order_relaxed);
  }
  Figures Now() const {
    return {passes_.load(), passUs_.load(), retransmissions_.load(), ringFull_.load(),
            poolFull_.load(), sends_.load(), recvs_.load(), looks_.load(), waits_.load(),
            signals_.load(), rearms_.load()};
  }

 private:
  std::atomic<uint64_t> passes_{0}, passUs_{0};
  std::atomic<uint64_t> sends_{0}, recvs_{0}, looks_{0}, waits_{0}, signals_{0}, rearms_{0};
  std::atomic<uint32_t> retransmissions_{0}, ringFull_{0}, poolFull_{0};
};

// CPU time of a thread (task) of a process, in nanoseconds
// (/proc/PID/task/TID/schedstat); for a whole process, summed over its tasks.
uint64_t TaskCpuNs(const std::string& taskDir) {
  std::ifstream in(taskDir + "/schedstat");
  uint64_t ns = 0;
  in >> ns;
  return ns;
}
uint64_t ProcessCpuNs(pid_t pid) {
  uint64_t ns = 0;
  std::error_code ec;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(dir, ec))
    ns += TaskCpuNs(task.path().string());
  return ns;
}
long ResidentKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long kb = 0;
      in >> kb;
      return kb;
    }
  }
  return -1;
}

// The site of the simulated plant: this PC and the 99 nodes, each with a
// rack port (PortCategory 2, PortNumber = slot - 1) for each of its racks,
// every rack in one zone.
std::string PlantSeed(int nodes) {
  std::ostringstream sql;
  sql << "INSERT INTO tblNodeType (NodeType, Name) VALUES (5, 'Rack network node'), (20, 'Control PC');\n";
  sql << "INSERT INTO tblNode (NodeID, NodeName, NodeType, IPAddress) VALUES ";
  for (int i = 0; i < nodes; ++i) sql << "(" << i + 1 << ", 'KRN" << i << "', 5, '" << SimAddr(i) << "'), ";
  sql << "(" << nodes + 1 << ", 'PC', 20, '127.0.11.1');\n";
  sql << "INSERT INTO tblNodeStatus (NodeID, ConnectStatus) VALUES ";
  for (int i = 0; i <= nodes; ++i) sql << (i ? ", " : "") << "(" << i + 1 << ", 0)";
  sql << ";\n";
  sql << "INSERT INTO tblZoneTree (TreeID, ZoneID, ZoneParentID, ZoneType) VALUES (1, 1, 0, 'TreeGroup'), "
         "(2, 2, 1, 'Racks');\n";
  int port = 1, tree = 3;
  for (int i = 0; i < nodes; ++i) {
    for (int slot = 1; slot < kPortsPerNode; ++slot) {
      const uint32_t rack = RackOf(i, slot);
      if (rack == 0) continue;
      sql << "INSERT INTO tblNodePort (PortID, NodeID, PortNumber, PortCategory) VALUES (" << port
          << ", " << i + 1 << ", " << slot - 1 << ", 2);\n";
      sql << "INSERT INTO tblNodePortRack (PortID, RackNumber) VALUES (" << port << ", " << rack << ");\n";
      sql << "INSERT INTO tblZoneTree (TreeID, ZoneID, ZoneParentID, ZoneType) VALUES (" << tree++
          << ", " << 10000 + rack << ", 2, 'Rack');\n";
      sql << "INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackType, SpecialWiringType, RackCase, "
             "RackNumber, MuxTypeA, MuxTypeB, MuxFailPreset, MuxFailHoldTime, MuxFailMode, "
             "BrevantPowerupPreset, RackLanguage, KeypadLockEnable, FanSpeed, DigitalDims, "
             "AnalogOutputs, AnalogInputs, DigitalDimsFitted, NumberRows, NumberSlots) VALUES ("
          << 10000 + rack << ", 2, 1, NULL, 0, " << rack
          << ", 0, 0, 0, 0, 0, 0, 0, 0, 1, 48, 0, 0, 48, 2, 6);\n";
      sql << "INSERT INTO tblRackStatus (ZoneID, ZoneParentID, ConnectStatus, SoftwareVersion) VALUES ("
          << 10000 + rack << ", 2, 0, NULL);\n";
      ++port;
    }
  }
  sql << "WITH RECURSIVE lv(Level) AS (SELECT 0 UNION ALL SELECT Level + 1 FROM lv WHERE Level < 255) "
         "INSERT INTO tblLevel2Percent (Level, Percent) SELECT Level, (100 * Level + 127) / 255 FROM lv;\n";
  return sql.str();
}

// Racks the site's status table shows connected; -1 when it cannot be read.
int RacksUp(const std::string& db) {
  sqlite3* h = nullptr;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(h);
    return -1;
  }
  sqlite3_busy_timeout(h, 1000);
  sqlite3_stmt* st = nullptr;
  int n = -1;
  if (sqlite3_prepare_v2(h, "SELECT count(*) FROM tblRackStatus WHERE ConnectStatus <> 0", -1, &st,
                         nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW)
    n = sqlite3_column_int(st, 0);
  sqlite3_finalize(st);
  sqlite3_close(h);
  return n;
}

struct Percent {
  double p50 = 0, p99 = 0;  // microseconds
};
Percent Percentiles(std::vector<int64_t> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]; };
  return {static_cast<double>(at(0.50)), static_cast<double>(at(0.99))};
}

// The floor of one exchange without any of our code: the four hand-offs
// an exchange makes, each with the bare system call that makes it.  This
// thread (the UI thread) wakes a second thread through an eventfd; that
// thread (the comm thread) sends a datagram to a child process (the node),
// which answers it at once; the second thread wakes this one through
// another eventfd.  Each waiter sleeps in poll(), as ours do.
bool RawChain(int rounds, Percent* out) {
  const int toComm = eventfd(0, 0), toUi = eventfd(0, 0);
  const int commSock = socket(AF_INET, SOCK_DGRAM, 0), nodeSock = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in commAddr{}, nodeAddr{};
  commAddr.sin_family = nodeAddr.sin_family = AF_INET;
  commAddr.sin_addr.s_addr = htonl(0x7F000BCA);  // 127.0.11.202
  nodeAddr.sin_addr.s_addr = htonl(0x7F000BCB);  // 127.0.11.203
  bool ok = toComm >= 0 && toUi >= 0 && commSock >= 0 && nodeSock >= 0 &&
            bind(commSock, reinterpret_cast<sockaddr*>(&commAddr), sizeof commAddr) == 0 &&
            bind(nodeSock, reinterpret_cast<sockaddr*>(&nodeAddr), sizeof nodeAddr) == 0;
  socklen_t len = sizeof commAddr;
  ok = ok && getsockname(commSock, reinterpret_cast<sockaddr*>(&commAddr), &len) == 0;
  len = sizeof nodeAddr;
  ok = ok && getsockname(nodeSock, reinterpret_cast<sockaddr*>(&nodeAddr), &len) == 0;
  const pid_t node = ok ? fork() : -1;
  if (node == 0) {
    // The node: answer every datagram at once; a datagram of one byte ends it.
    char buf[256];
    for (;;) {
      pollfd p{nodeSock, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) _exit(0);
      sockaddr_in from{};
      socklen_t fl = sizeof from;
      const ssize_t n = recvfrom(nodeSock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (n <= 1) _exit(0);
      sendto(nodeSock, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fl);
    }
  }
  auto waitRead = [](int fd, void* buf, size_t n) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 2000) == 1 && read(fd, buf, n) > 0;
  };
  std::vector<int64_t> lat;
  if (node > 0) {
    std::thread comm([&] {
      char buf[256] = {};
      uint64_t v = 0;
      for (int i = 0; i < rounds; ++i) {
        if (!waitRead(toComm, &v, sizeof v)) break;
        sendto(commSock, buf, 196, 0, reinterpret_cast<sockaddr*>(&nodeAddr), sizeof nodeAddr);
        pollfd p{commSock, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1 || recv(commSock, buf, sizeof buf, 0) <= 0) break;
        v = 1;
        if (write(toUi, &v, sizeof v) != sizeof v) break;
      }
    });
    lat.reserve(static_cast<size_t>(rounds));
    for (int i = 0; i < rounds; ++i) {
      const int64_t t0 = NowUs();
      uint64_t v = 1;
      if (write(toComm, &v, sizeof v) != sizeof v || !waitRead(toUi, &v, sizeof v)) break;
      lat.push_back(NowUs() - t0);
    }
    comm.join();
    const char end = 0;
    sendto(commSock, &end, 1, 0, reinterpret_cast<sockaddr*>(&nodeAddr), sizeof nodeAddr);
    waitpid(node, nullptr, 0);
  }
  for (int fd : {toComm, toUi, commSock, nodeSock})
    if (fd >= 0) close(fd);
  *out = Percentiles(lat);
  return static_cast<int>(lat.size()) == rounds;
}

// The raw com-proc round trip between two ipcpeer processes.
bool RawRoundTrip(Percent* out) {
  const std::string a = "127.0.11.200", b = "127.0.11.201", peers = a + "," + b;
  ipcpeer::PeerProcess server, client;
  if (!server.Start(IPCPEER_PATH, {"--name", "RAWSRV", "--addr", a, "--peers", peers, "--period", "20"}) ||
      !client.Start(IPCPEER_PATH,
                    {"--name", "RAWCLI", "--addr", b, "--peers", peers, "--period", "20", "--no-server"}))
    return false;
  server.ReadLine(10000);
  client.ReadLine(10000);
  if (client.Ask("wait RAWSRV online 10000", 15000).rfind("ok", 0) != 0) return false;
  if (client.Ask("connect RAWSRV", 5000).rfind("ok", 0) != 0) return false;
  if (client.Ask("wait RAWSRV attached 10000", 15000).rfind("ok", 0) != 0) return false;
  const std::string line = client.Ask("call 3000 16", 60000);
  std::istringstream in(line);
  std::string word;
  while (in >> word) {
    if (word == "p50_ns") in >> out->p50;
    if (word == "p99_ns") in >> out->p99;
  }
  out->p50 /= 1000;
  out->p99 /= 1000;
  return out->p50 > 0;
}

struct Bench {
  msgq::Queue frame;
  std::map<uint32_t, RackMsg*> idle;     // bench messages waiting to be sent, by rack
  std::map<uint32_t, int64_t> sentAt;    // by rack
  std::map<uint32_t, uint64_t> done;     // completions by rack
  std::vector<int64_t> latencies;
  std::vector<bool> up = std::vector<bool>(257, false);
  uint64_t errors = 0;
  bool resend = false;
  // Paced: a message that came back waits its turn, one going out every
  // paceUs (0: at once).
  int64_t paceUs = 0;
  int64_t nextSendUs = 0;
  std::deque<std::pair<uint32_t, RackMsg*>> paced;

  void Send(uint32_t rack, RackMsg* m) {
    const uint8_t cmd[] = {DIM_CMD_GET_RACK_STATUS, 0, 1, 0, 0};
    std::copy(std::begin(cmd), std::end(cmd), m->command);
    m->sendLength = sizeof cmd;
    m->Rack = rack;
    m->ReqNum = rack;
    sentAt[rack] = NowUs();
    if (!SendRackMsg(m)) FreeRackMsg(m);
  }
  void Handle(int waitMs) {
    SendPaced();
    // While messages wait their turn, at most a millisecond: the turns of a
    // millisecond go out together then.
    if (!msgq::WaitMessage(frame.handle(), paced.empty() ? waitMs : std::min(waitMs, 1))) return;
    msgq::Msg m;
    while (msgq::PeekMessage(frame.handle(), &m)) {
      if (m.message == WM_DOC_MSG_DONE) {
        auto* msg = reinterpret_cast<RackMsg*>(m.lParam);
        if (msg->ReqNum == 0) {
          if (msg->Command() == DIM_CMD_SYNCH_FAULT_EVENTS && msg->Rcode == 0) PostRackUp(msg->Rack);
          if (msg->Command() == DIM_CMD_GET_RACK_STATUS && msg->Rcode == 0 && msg->responseLength >= 18) {
            SetRackVersion(msg->Rack, msg->response + 2);
            if (msg->Rack <= 256) up[msg->Rack] = true;
          }
          FreeRackMsg(msg);
          continue;
        }
        const uint32_t rack = msg->ReqNum;
        const int64_t now = NowUs();
        latencies.push_back(now - sentAt[rack]);
        ++done[rack];
        if (msg->Rcode != 0) ++errors;
        if (resend && paceUs > 0)
          paced.emplace_back(rack, msg);
        else if (resend)
          Send(rack, msg);
        else
          idle[rack] = msg;
      } else if (m.message == WM_DOC_RACK_EVENT) {
        FreeRackMsg(reinterpret_cast<RackMsg*>(m.lParam));
      }
    }
  }
  void SendPaced() {
    const int64_t now = NowUs();
    while (!paced.empty() && now >= nextSendUs) {
      auto [rack, m] = paced.front();
      paced.pop_front();
      Send(rack, m);
      nextSendUs = std::max(nextSendUs + paceUs, now - 100 * paceUs);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;

  Percent raw;
  if (!RawRoundTrip(&raw)) {
    std::fprintf(stderr, "krnloop_bench: the raw round trip could not be measured\n");
    return 1;
  }
  std::printf("raw com-proc round trip (16 bytes, two ipcpeer processes): p50 %.1f us, p99 %.1f us\n",
              raw.p50, raw.p99);
  Percent chain;
  if (!RawChain(20000, &chain)) {
    std::fprintf(stderr, "krnloop_bench: the bare hand-offs could not be measured\n");
    return 1;
  }
  std::printf("bare four hand-offs (eventfd, UDP to a process and back, eventfd): p50 %.1f us, p99 %.1f us "
              "(%.1fx / %.1fx the raw round trip)\n",
              chain.p50, chain.p99, chain.p50 / raw.p50, chain.p99 / raw.p99);

  std::string bcast;
  for (int i = 0; i < kMaxNodes; ++i) bcast += (i ? "," : "") + SimAddr(i);
  setenv("DROVANA_NET_ADDR", "127.0.11.1", 1);
  setenv("DROVANA_NET_BIND_OWN", "1", 1);
  setenv("DROVANA_NET_BCAST_TO", bcast.c_str(), 1);

  std::vector<std::unique_ptr<ipcpeer::PeerProcess>> sims;
  for (int i = 0; i < kMaxNodes; ++i) {
    std::vector<std::string> args = {"--name", "KRN" + std::to_string(i), "--addr", SimAddr(i),
                                     "--peers", "127.0.11.1", "--period", "50", "--quiet"};
    for (int s = 0; s < kPortsPerNode; ++s) {
      if (RackOf(i, s) == 0) continue;
      args.push_back("--rack");
      args.push_back(std::to_string(s) + ":" + std::to_string(RackOf(i, s)));
    }
    auto p = std::make_unique<ipcpeer::PeerProcess>();
    if (!p->Start(NODESIM_PATH, args)) {
      std::fprintf(stderr, "krnloop_bench: nodesim did not start\n");
      return 1;
    }
    sims.push_back(std::move(p));
  }
  for (auto& p : sims) p->ReadLine(10000);

  platform::time::Clock& clock = platform::time::SystemClock();
  char dir[] = "/tmp/krnloop_bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  struct RemoveDir {
    const char* path;
    ~RemoveDir() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  } removeDir{dir};
  bool failed = false;
  g_bLogToDisk = false;
  // The debug switches off, as a site runs: no line per exchange.
  g_bIpcCommDebug = false;
  g_bCommDebug = false;
  LogBuffer log(clock, dir);
  Bench bench;
  g_hFrameWnd.store(bench.frame.handle());
  RingWatch lib;
  CIpcComm comm;
  StreamMessageBox box(stderr);
  comm.SetPorts({&lib, &clock, nullptr, &box, msgq::TimerMode::Real});
  if (!comm.Start()) return 1;

  int loaded = 0;
  for (int nodes : {1, 10, 50, 99}) {
    for (; loaded < nodes; ++loaded) {
      NodeDesc d{static_cast<uint32_t>(loaded + 1), SimAddrValue(loaded), nullptr, {1, 1, 1, 1, 1, 1}};
      comm.CommAddNode(&d);
      for (int s = 0; s < kPortsPerNode; ++s) {
        if (RackOf(loaded, s) == 0) continue;
        RackDesc r{static_cast<uint32_t>(loaded + 1), RackOf(loaded, s), static_cast<uint8_t>(s)};
        comm.CommAddRack(&r);
      }
    }
    const int racks = RacksOfFirst(nodes);
    // Every rack up (synchronised and its version read) before the count.
    const auto limit = Clock::now() + std::chrono::seconds(90);
    auto allUp = [&] {
      for (int r = 1; r <= racks; ++r)
        if (!bench.up[static_cast<size_t>(r)]) return false;
      return true;
    };
    while (!allUp() && Clock::now() < limit) bench.Handle(50);
    if (!allUp()) {
      std::fprintf(stderr, "krnloop_bench: racks did not come up for %d nodes\n", nodes);
      failed = true;
      break;
    }

    bench.latencies.clear();
    bench.done.clear();
    bench.errors = 0;
    bench.resend = true;
    for (int r = 1; r <= racks; ++r) {
      auto it = bench.idle.find(static_cast<uint32_t>(r));
      RackMsg* m = it != bench.idle.end() ? it->second : AllocRackMsg();
      if (it != bench.idle.end()) bench.idle.erase(it);
      bench.Send(static_cast<uint32_t>(r), m);
    }
    const int64_t t0 = NowUs();
    const RingWatch::Figures f0 = lib.Now();
    const long commWakes0 = WakeUpsOfThread(lib.commTid.load());
    const std::string commTask = "/proc/self/task/" + std::to_string(lib.commTid.load());
    auto plantCpuNs = [&] {
      uint64_t ns = 0;
      for (const auto& p : sims) ns += ProcessCpuNs(p->pid());
      return ns;
    };
    const uint64_t commCpu0 = TaskCpuNs(commTask);
    const uint64_t uiCpu0 = TaskCpuNs("/proc/thread-self");
    const uint64_t plantCpu0 = plantCpuNs();
    rusage ui0{};
    getrusage(RUSAGE_THREAD, &ui0);
    while (NowUs() - t0 < seconds * 1000000LL) bench.Handle(10);
    const int64_t elapsed = NowUs() - t0;
    const RingWatch::Figures f1 = lib.Now();
    const long commWakes = WakeUpsOfThread(lib.commTid.load()) - commWakes0;
    auto share = [&](uint64_t ns) { return static_cast<double>(ns) / (static_cast<double>(elapsed) * 1000.0); };
    const double commOnCpu = share(TaskCpuNs(commTask) - commCpu0);
    const double uiOnCpu = share(TaskCpuNs("/proc/thread-self") - uiCpu0);
    const double plantCores = share(plantCpuNs() - plantCpu0);
    rusage ui1{};
    getrusage(RUSAGE_THREAD, &ui1);
    uint64_t total = 0;
    for (const auto& [r, n] : bench.done) total += n;
    bench.resend = false;
    while (static_cast<int>(bench.idle.size()) < racks && NowUs() - t0 < (seconds + 30) * 1000000LL)
      bench.Handle(10);
    const double perSec = static_cast<double>(total) * 1e6 / static_cast<double>(elapsed);
    const Percent lat = Percentiles(bench.latencies);
    std::printf(
        "%2d nodes x %d ports (%d racked): %.0f exchanges/s, %.1f per node, %.1f per racked port; "
        "%.3f of one raw round trip at a time; "
        "latency p50 %lld us, p99 %lld us (%.1fx / %.1fx the raw round trip); errors %llu\n",
        nodes, kPortsPerNode, racks, perSec, perSec / nodes, perSec / racks,
        perSec / racks * raw.p50 / 1e6, static_cast<long long>(lat.p50),
        static_cast<long long>(lat.p99), lat.p50 / raw.p50, lat.p99 / raw.p99,
        static_cast<unsigned long long>(bench.errors));
    const double ex = total > 0 ? static_cast<double>(total) : 1.0;
    auto per = [&](uint64_t a, uint64_t b) { return static_cast<double>(b - a) / ex; };
    const double calls = per(f0.sends, f1.sends) + per(f0.recvs, f1.recvs) + per(f0.looks, f1.looks) +
                         per(f0.waits, f1.waits) + per(f0.signals, f1.signals) +
                         per(f0.rearms, f1.rearms);
    std::printf(
        "   comm thread: %.0f%% of the time in network passes, %.2f passes per exchange; "
        "system calls per exchange %.2f (sendto %.2f, recvmmsg %.2f, looks %.2f, waits %.2f, "
        "wake signals %.2f, re-arms %.2f); wake-ups per exchange %.2f (UI thread %.2f); "
        "%u retransmissions, %u event packets refused (ring full), %u messages not queued (no "
        "transmit entry)\n"
        "   on a CPU: comm thread %.0f%% of the time, UI thread %.0f%%; the simulated plant's %zu processes %.2f "
        "cores of %u\n",
        100.0 * static_cast<double>(f1.passUs - f0.passUs) / static_cast<double>(elapsed),
        per(f0.passes, f1.passes), calls, per(f0.sends, f1.sends), per(f0.recvs, f1.recvs),
        per(f0.looks, f1.looks), per(f0.waits, f1.waits), per(f0.signals, f1.signals),
        per(f0.rearms, f1.rearms), static_cast<double>(commWakes) / ex,
        static_cast<double>(ui1.ru_nvcsw - ui0.ru_nvcsw) / ex, f1.retransmissions - f0.retransmissions,
        f1.ringFull - f0.ringFull, f1.poolFull - f0.poolFull, 100.0 * commOnCpu, 100.0 * uiOnCpu, sims.size(),
        plantCores, std::thread::hardware_concurrency());
    std::fflush(stdout);

    // One exchange at a time on the one-node plant: the latency of an
    // exchange that waits for nothing but its own way through the comm
    // thread, the node and back.
    if (nodes == 1 && bench.idle.count(1) != 0) {
      bench.latencies.clear();
      bench.done.clear();
      bench.errors = 0;
      bench.resend = true;
      RackMsg* m = bench.idle[1];
      bench.idle.erase(1);
      bench.Send(1, m);
      const int64_t s0 = NowUs();
      while (NowUs() - s0 < seconds * 1000000LL) bench.Handle(10);
      bench.resend = false;
      while (bench.idle.count(1) == 0 && NowUs() - s0 < (seconds + 30) * 1000000LL) bench.Handle(10);
      const Percent one = Percentiles(bench.latencies);
      std::printf(
          " 1 node, one exchange at a time: %zu exchanges; latency p50 %lld us, p99 %lld us "
          "(%.1fx / %.1fx the raw round trip; %.1fx / %.1fx the bare four hand-offs); errors %llu\n",
          bench.latencies.size(), static_cast<long long>(one.p50), static_cast<long long>(one.p99),
          one.p50 / raw.p50, one.p99 / raw.p99, one.p50 / chain.p50, one.p99 / chain.p99,
          static_cast<unsigned long long>(bench.errors));
      std::fflush(stdout);
    }

    // The 50-node plant at the rate the old comm loop reached there
    // (13,651 exchanges/s): what the passes cost at a fixed load, not at
    // saturation, where a thread that does nothing but the plant's I/O
    // spends most of its time in passes whatever they cost.
    if (nodes == 50 && static_cast<int>(bench.idle.size()) == racks) {
      constexpr double kRate = 13651.0;
      bench.latencies.clear();
      bench.done.clear();
      bench.errors = 0;
      bench.resend = true;
      bench.paceUs = static_cast<int64_t>(1e6 / kRate);
      bench.nextSendUs = NowUs();
      for (auto& [r, m] : bench.idle) bench.paced.emplace_back(r, m);
      bench.idle.clear();
      const int64_t s0 = NowUs();
      const RingWatch::Figures g0 = lib.Now();
      const uint64_t cpu0 = TaskCpuNs(commTask);
      while (NowUs() - s0 < seconds * 1000000LL) bench.Handle(1);
      const int64_t span = NowUs() - s0;
      const RingWatch::Figures g1 = lib.Now();
      const uint64_t cpu1 = TaskCpuNs(commTask);
      uint64_t n = 0;
      for (const auto& [r, c] : bench.done) n += c;
      bench.resend = false;
      for (auto& [r, m] : bench.paced) bench.idle[r] = m;
      bench.paced.clear();
      bench.paceUs = 0;
      while (static_cast<int>(bench.idle.size()) < racks && NowUs() - s0 < (seconds + 30) * 1000000LL)
        bench.Handle(10);
      const Percent paceLat = Percentiles(bench.latencies);
      const auto slow = std::count_if(bench.latencies.begin(), bench.latencies.end(),
                                      [](int64_t us) { return us > 5000; });
      const double secs = static_cast<double>(span) / 1e6;
      std::printf(
          "50 nodes paced at %.0f exchanges/s: %.0f exchanges/s; latency p50 %lld us, p99 %lld us (%.1fx / %.1fx "
          "the raw round trip), %lld over 5 ms; errors %llu\n"
          "   comm thread: %.0f%% of the time in network passes, on a CPU %.0f%% of the time, %.2f passes per "
          "exchange; %u retransmissions\n",
          kRate, static_cast<double>(n) / secs, static_cast<long long>(paceLat.p50),
          static_cast<long long>(paceLat.p99), paceLat.p50 / raw.p50, paceLat.p99 / raw.p99,
          static_cast<long long>(slow), static_cast<unsigned long long>(bench.errors),
          100.0 * static_cast<double>(g1.passUs - g0.passUs) / static_cast<double>(span),
          100.0 * static_cast<double>(cpu1 - cpu0) / (static_cast<double>(span) * 1000.0),
          static_cast<double>(g1.passes - g0.passes) / (n > 0 ? static_cast<double>(n) : 1.0),
          g1.retransmissions - g0.retransmissions);
      std::fflush(stdout);
    }
  }

  // Every racked port answers at once.
  if (!failed) {
    const int racks = RacksOfFirst(loaded);
    lib.high.store(0);
    const uint32_t droppedBefore = lib.dropped.load();
    bench.resend = false;
    std::vector<std::pair<uint32_t, RackMsg*>> all(bench.idle.begin(), bench.idle.end());
    bench.idle.clear();
    for (auto& [r, m] : all) bench.Send(r, m);
    const int64_t t0 = NowUs();
    while (static_cast<int>(bench.idle.size()) < static_cast<int>(all.size()) &&
           NowUs() - t0 < 30000000LL)
      bench.Handle(10);
    std::printf("burst: %zu of %d racks at once back in %lld us; event ring high-water %u of %d, "
                "drops %u\n",
                bench.idle.size(), racks, static_cast<long long>(NowUs() - t0), lib.high.load(),
                kIpcEvntRingSlots - 1, lib.dropped.load() - droppedBefore);
  }

  // Idle: every rack up and polled, no messages; the comm thread's CPU.
  double commIdlePercent = -1;
  const int idleSeconds = std::max(seconds, 5) * 2;
  if (!failed) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::string task = "/proc/self/task/" + std::to_string(lib.commTid.load());
    const uint64_t c0 = TaskCpuNs(task);
    const int64_t t0 = NowUs();
    while (NowUs() - t0 < idleSeconds * 1000000LL) bench.Handle(100);
    commIdlePercent = 100.0 * static_cast<double>(TaskCpuNs(task) - c0) /
                      (static_cast<double>(NowUs() - t0) * 1000.0);
    std::printf("idle, %d nodes, %d racks up and polled, no messages, over %d s: comm thread %.3f%% of a "
                "core\n",
                loaded, RacksOfFirst(loaded), idleSeconds, commIdlePercent);
    std::fflush(stdout);
  }
  comm.Stop();
  // The library's sockets are this process's until it stops.
  IpcTerm();
  for (auto& [r, m] : bench.idle) FreeRackMsg(m);
  bench.idle.clear();
  g_hFrameWnd.store(msgq::Handle{});

  // The whole server on a site of the same plant, against the same nodes.
  if (!failed) {
    const std::string site = std::string(dir) + "/site";
    drovana::site::SiteOptions o{site, "drovana", "admin", "bench"};
    o.seed_sql = PlantSeed(loaded);
    o.seed_name = "the benchmark's plant";
    try {
      drovana::site::CreateSite(o);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "krnloop_bench: site not made: %s\n", e.what());
      failed = true;
    }
    const std::string program = argc > 2 ? argv[2] : TKZ_APP_PATH;
    const std::string out = std::string(dir) + "/server.out";
    const pid_t server = failed ? -1 : fork();
    if (server == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      setenv("DROVANA_HEADLESS", "1", 1);
      setenv("DROVANA_COM1", "none", 1);
      setenv("XDG_CONFIG_HOME", dir, 1);
      execl(program.c_str(), program.c_str(), site.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (server > 0) {
      const int racks = RacksOfFirst(loaded);
      const auto limit = Clock::now() + std::chrono::seconds(180);
      int up = 0;
      while (Clock::now() < limit && (up = RacksUp(site + "/drovana.mdb")) < racks &&
             waitpid(server, nullptr, WNOHANG) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
      if (up < racks) {
        std::fprintf(stderr, "krnloop_bench: the server shows %d of %d racks up; its output ends:\n",
                     up, racks);
        std::ifstream serverLog(out);
        std::vector<std::string> lines;
        for (std::string l; std::getline(serverLog, l);) lines.push_back(l);
        for (size_t i = lines.size() > 20 ? lines.size() - 20 : 0; i < lines.size(); ++i)
          std::fprintf(stderr, "  %s\n", lines[i].c_str());
      } else {
        std::this_thread::sleep_for(std::chrono::seconds(2));  // the last versions written
        const uint64_t c0 = ProcessCpuNs(server);
        const int64_t t0 = NowUs();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        const double percent = 100.0 * static_cast<double>(ProcessCpuNs(server) - c0) /
                               (static_cast<double>(NowUs() - t0) * 1000.0);
        const long kb = ResidentKb(server);
        std::printf("idle, the whole server (%s), %d nodes, %d of %d racks up, no requests, over %d "
                    "s: %.3f%% of a core (%.1fx its comm thread's alone above), resident %.1f MB\n",
                    program.c_str(), loaded, up, racks, idleSeconds, percent,
                    commIdlePercent > 0 ? percent / commIdlePercent : 0.0,
                    static_cast<double>(kb) / 1024.0);
      }
      kill(server, SIGTERM);
      for (int i = 0; i < 100 && waitpid(server, nullptr, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      kill(server, SIGKILL);
      waitpid(server, nullptr, 0);
    }
  }
  sims.clear();
  return failed ? 1 : 0;
}
