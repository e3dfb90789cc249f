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
//   exchanges  for 1, 10 and 50 nodes of 6 ports (5 of them with a rack:
//              rack numbers end at 256): exchanges per second in all, per
//              node and per racked port (with the share of the rate of
//              one raw round trip at a time that a port reaches, as each
//              port has one message in flight), and the latency from SendRackMsg
//              to WM_DOC_MSG_DONE on the UI thread (p50/p99), with its
//              ratio to the raw round trip; then what the comm thread's
//              library did meanwhile: the share of the time spent in its
//              network passes (each serves every node's socket), the passes
//              per exchange, retransmissions, event packets refused by a
//              full event ring, and messages dropped for want of a
//              transmit entry
//   burst      one message to every rack of the 50 nodes at once: the event
//              ring's high-water mark (of 49 events) and its drops
//
// Usage: krnloop_bench [seconds-per-case]   (default 3)
//   The benchmark uses 127.0.11.1 (this PC), 127.0.11.2-51 (nodes) and
//   127.0.11.60-61 (the raw pair); DROVANA_NET_* are set by it.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
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

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMaxNodes = 50;
constexpr int kPortsPerNode = 6;
constexpr int kRacksPerNode = 5;

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
      .count();
}

std::string SimAddr(int i) { return "127.0.11." + std::to_string(2 + i); }
uint32_t SimAddrValue(int i) { return 0x7F000B00u + static_cast<uint32_t>(2 + i); }
uint32_t RackOf(int node, int slot) { return static_cast<uint32_t>(node * kRacksPerNode + slot + 1); }

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
  };
  void IpcNetDespatch() override {
    const int64_t t0 = NowUs();
    TessioLibrary::IpcNetDespatch();
    passUs_.fetch_add(static_cast<uint64_t>(NowUs() - t0), std::memory_order_relaxed);
    passes_.fetch_add(1, std::memory_order_relaxed);
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
    return {passes_.load(), passUs_.load(), retransmissions_.load(), ringFull_.load(), poolFull_.load()};
  }

 private:
  std::atomic<uint64_t> passes_{0}, passUs_{0};
  std::atomic<uint32_t> retransmissions_{0}, ringFull_{0}, poolFull_{0};
};

struct Percent {
  int64_t p50 = 0, p99 = 0;
};
Percent Percentiles(std::vector<int64_t> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]; };
  return {at(0.50), at(0.99)};
}

// The raw com-proc round trip between two ipcpeer processes.
bool RawRoundTrip(Percent* out) {
  const std::string a = "127.0.11.60", b = "127.0.11.61", peers = a + "," + b;
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
    if (word == "p50_us") in >> out->p50;
    if (word == "p99_us") in >> out->p99;
  }
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
    if (!msgq::WaitMessage(frame.handle(), waitMs)) return;
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
        if (resend)
          Send(rack, msg);
        else
          idle[rack] = msg;
      } else if (m.message == WM_DOC_RACK_EVENT) {
        FreeRackMsg(reinterpret_cast<RackMsg*>(m.lParam));
      }
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
  std::printf("raw com-proc round trip (16 bytes, two ipcpeer processes): p50 %lld us, p99 %lld us\n",
              static_cast<long long>(raw.p50), static_cast<long long>(raw.p99));

  std::string bcast;
  for (int i = 0; i < kMaxNodes; ++i) bcast += (i ? "," : "") + SimAddr(i);
  setenv("DROVANA_NET_ADDR", "127.0.11.1", 1);
  setenv("DROVANA_NET_BIND_OWN", "1", 1);
  setenv("DROVANA_NET_BCAST_TO", bcast.c_str(), 1);

  std::vector<std::unique_ptr<ipcpeer::PeerProcess>> sims;
  for (int i = 0; i < kMaxNodes; ++i) {
    std::vector<std::string> args = {"--name", "KRN" + std::to_string(i), "--addr", SimAddr(i),
                                     "--peers", "127.0.11.1", "--period", "50", "--quiet"};
    for (int s = 0; s < kRacksPerNode; ++s) {
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
  for (int nodes : {1, 10, 50}) {
    for (; loaded < nodes; ++loaded) {
      NodeDesc d{static_cast<uint32_t>(loaded + 1), SimAddrValue(loaded), nullptr, {1, 1, 1, 1, 1, 1}};
      comm.CommAddNode(&d);
      for (int s = 0; s < kRacksPerNode; ++s) {
        RackDesc r{static_cast<uint32_t>(loaded + 1), RackOf(loaded, s), static_cast<uint8_t>(s)};
        comm.CommAddRack(&r);
      }
    }
    const int racks = nodes * kRacksPerNode;
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
    while (NowUs() - t0 < seconds * 1000000LL) bench.Handle(10);
    const int64_t elapsed = NowUs() - t0;
    const RingWatch::Figures f1 = lib.Now();
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
        perSec / racks * static_cast<double>(raw.p50) / 1e6,
        static_cast<long long>(lat.p50), static_cast<long long>(lat.p99),
        static_cast<double>(lat.p50) / static_cast<double>(raw.p50),
        static_cast<double>(lat.p99) / static_cast<double>(raw.p99),
        static_cast<unsigned long long>(bench.errors));
    std::printf(
        "   comm thread: %.0f%% of the time in network passes, %.1f passes per exchange; "
        "%u retransmissions, %u event packets refused (ring full), %u messages dropped (no "
        "transmit entry)\n",
        100.0 * static_cast<double>(f1.passUs - f0.passUs) / static_cast<double>(elapsed),
        total > 0 ? static_cast<double>(f1.passes - f0.passes) / static_cast<double>(total) : 0.0,
        f1.retransmissions - f0.retransmissions, f1.ringFull - f0.ringFull, f1.poolFull - f0.poolFull);
  }

  // Every racked port answers at once.
  {
    const int racks = loaded * kRacksPerNode;
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

  comm.Stop();
  for (auto& [r, m] : bench.idle) FreeRackMsg(m);
  g_hFrameWnd.store(msgq::Handle{});
  sims.clear();
  return failed ? 1 : 0;
}
