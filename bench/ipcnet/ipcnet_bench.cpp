// Figures of the reliable datagram layer.
//
// 1. On the in-memory hub with a fake clock (1 ms poll step), a stream of
//    events from a node to the PC at 0, 1, 10 and 30 % loss (and as much
//    duplication): messages delivered per PC poll pass (against the bound of
//    one full packet per pass: 13 small messages, or one larger), the
//    sender's retransmissions per delivered message,
//    and whether every message arrived exactly once and in order.
// 2. The give-up time of an unanswered link packet, from its send to its
//    drop, against the poll interval (and in poll passes).
// 3. On real loopback sockets between two instances, with the clock fed
//    from the monotonic clock: messages per second on one link for 40, 76,
//    399, 400 and 1250-byte events, beside a raw UDP ping-pong between two
//    sockets measured in the same run (a link carries one packet at a time,
//    so the ping-pong rate bounds its packet rate).
//
// Usage: ipcnet_bench [messages-per-loss-case]   (default 20000)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ipcdb.h"
#include "ipcevnt.h"
#include "ipcinst.h"
#include "ipcnet.h"
#include "ipcnetdb.h"
#include "ipctcpip.h"
#include "net/hub.h"
#include "net/posix.h"
#include "tessio32.h"

namespace {

constexpr uint8_t kPeer = 1;

IpcTime TimeOfMs(uint64_t ms) {
  return IPC_TIME_MAKE((ms / 3600000) % 24, (ms / 60000) % 60, (ms / 1000) % 60, (ms / 10) % 100);
}

std::vector<uint8_t> Evnt(uint16_t length, uint32_t serial) {
  std::vector<uint8_t> e(length, 0x5A);
  IpcEvntHdr h{};
  h.length = length;
  h.evntCode = 300;
  h.svrType = IPC_SVR_IO_KRN;
  h.evntId = 1;
  h.hostKind = IPC_HOST_KIND_LOCAL;
  std::memcpy(h.version, "1.3c", 5);
  h.hostHandle = 1;
  std::memcpy(e.data(), &h, sizeof h);
  std::memcpy(e.data() + sizeof h, &serial, 4);
  return e;
}

struct Side {
  ipc::Instance* inst = nullptr;
  std::unique_ptr<net::Backend> host;
  uint32_t expect = 0;  // next serial
  uint64_t received = 0;
  uint64_t outOfOrder = 0;
  uint8_t clnt = 0;
};

void OnEvnt(const IpcEvntHdr* e, intptr_t user) {
  auto* s = reinterpret_cast<Side*>(user);
  uint32_t serial = 0;
  std::memcpy(&serial, reinterpret_cast<const uint8_t*>(e) + sizeof(IpcEvntHdr), 4);
  if (serial != s->expect) ++s->outOfOrder;
  s->expect = serial + 1;
  ++s->received;
}

// Starts a library instance for addr with the peer at index 1 and an event
// client on server 22/1 located there; the link is opened when `link`.
void Start(Side& s, net::Backend* backend, uint32_t addr, uint32_t peer, uint64_t nowMs,
           bool node0Socket) {
  s.inst = ipc::NewInstance();
  ipc::ScopedInstance use(s.inst);
  IpcCurrentTime = TimeOfMs(nowMs);
  IpcInit();
  ipc::IpcTcpIpBackendSet(backend);
  IpcNetNodeInfoCreate(0, "SIDE", addr, 20);
  IpcNetTcpIpInitDriver();
  if (node0Socket) {
    IpcNetNodeLinkInit();
  } else {
    ipc::IpcNetNodeStatusSet(0, IPC_NODE_STATUS_ONLINE);
  }
  IpcNetNodeInfoCreate(kPeer, "PEER", peer, 5);
  ipc::IpcNetNodeSilenceTimeoutSet(kPeer, 65000);
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, IPC_HOST_KIND_LOCAL, 1, kPeer, 0, 0, 0, 0);
  IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, &OnEvnt, "1.3c", &s.clnt, reinterpret_cast<intptr_t>(&s));
}

void Poll(Side& s, uint64_t nowMs) {
  ipc::ScopedInstance use(s.inst);
  IpcCurrentTime = TimeOfMs(nowMs);
  IpcNetDespatch();
  for (int i = 0; i < 60 && IpcEvntDespatch(); ++i) {
  }
}

void Stop(Side& s) {
  {
    ipc::ScopedInstance use(s.inst);
    IpcTerm();
  }
  ipc::DeleteInstance(s.inst);
  s.inst = nullptr;
}

// Keeps the sender's queue topped up with events of the given sizes, in at
// most 44 transmit entries (as many as a pool of 48 less a few).
constexpr int kFeedEntries = 44;
uint32_t Feed(Side& s, uint32_t next, uint32_t total, uint16_t len, uint64_t nowMs) {
  ipc::ScopedInstance use(s.inst);
  IpcCurrentTime = TimeOfMs(nowMs);
  while (next < total && kIpcTxPoolSize - ipc::IpcNetPoolFree() < kFeedEntries) {
    const auto e = Evnt(len, next);
    if (ipc::IpcNetEvntSend(kPeer, reinterpret_cast<const IpcEvntHdr*>(e.data())) != 1) break;
    ++next;
  }
  return next;
}

constexpr uint32_t kPc = 0xC0A80105u;
constexpr uint32_t kNode = 0xC0A80114u;

void LossCases(uint32_t total) {
  std::printf("== hub, fake clock, 1 ms poll step, %u events node -> PC\n", total);
  std::printf("%6s %6s %12s %10s %12s %10s %8s %s\n", "loss%", "size", "msgs/pass", "of bound", "retx/msg",
              "given up", "repeats", "exactly-once");
  for (uint16_t len : {uint16_t{40}, uint16_t{200}}) {
    for (uint32_t lossPct : {0u, 1u, 10u, 30u}) {
      net::Hub hub;
      hub.SetRecording(false);
      net::Faults f;
      f.dropPerMillion = lossPct * 10000;
      f.duplicatePerMillion = lossPct * 10000;
      f.maxDelay = lossPct == 0 ? 0 : 2;
      hub.SetFaults(42 + lossPct, f);
      Side pc, node;
      pc.host = hub.AddHost(kPc, "PC");
      node.host = hub.AddHost(kNode, "NODE");
      uint64_t now = 3600000ull * 5;
      Start(pc, pc.host.get(), kPc, kNode, now, false);
      Start(node, node.host.get(), kNode, kPc, now, false);
      for (Side* s : {&pc, &node}) {
        ipc::ScopedInstance use(s->inst);
        ipc::IpcNetLinkOpen(kPeer);
      }
      uint32_t sent = 0;
      uint64_t passes = 0;
      // Bounded: at 30 % loss a message takes about 60 passes on average.
      const uint64_t maxPasses = std::max<uint64_t>(100000, 500ull * total);
      while (pc.received < total && passes < maxPasses) {
        sent = Feed(node, sent, total, len, now);
        hub.Advance(1);
        ++now;
        Poll(pc, now);
        Poll(node, now);
        ++passes;
      }
      IpcNetCounters c;
      {
        ipc::ScopedInstance use(node.inst);
        c = ipc::IpcNetCountersGet();
      }
      IpcNetCounters pcc;
      {
        ipc::ScopedInstance use(pc.inst);
        pcc = ipc::IpcNetCountersGet();
      }
      const double perPass = double(pc.received) / double(passes);
      const bool once = pc.received == total && pc.outOfOrder == 0 && c.givenUp == 0;
      char verdict[64];
      if (once) {
        std::snprintf(verdict, sizeof verdict, "yes");
      } else if (pc.received < total && pc.outOfOrder == 0 && c.givenUp == 0) {
        std::snprintf(verdict, sizeof verdict, "unfinished (%llu of %u)",
                      static_cast<unsigned long long>(pc.received), total);
      } else {
        std::snprintf(verdict, sizeof verdict, "NO");
      }
      std::printf("%6u %6u %12.3f %9.1f%% %12.4f %10u %8u %s\n", lossPct, len, perPass,
                  100.0 * perPass / (len <= kIpcPktSlotLen ? kIpcPktMaxSlots : 1),
                  pc.received ? double(c.retransmissions) / double(pc.received) : 0.0, c.givenUp,
                  pcc.rxRepeats, verdict);
      Stop(pc);
      Stop(node);
    }
  }
}

void GiveUpTimes() {
  std::printf("\n== give-up time of an unanswered link packet (fake clock), from its send to its drop\n");
  std::printf("%10s %14s %12s %12s\n", "poll ms", "give-up s", "polls", "sends");
  for (uint64_t step : {1ull, 5ull, 10ull, 20ull, 50ull, 100ull, 250ull, 1000ull}) {
    net::Hub hub;
    Side pc;
    pc.host = hub.AddHost(kPc, "PC");
    uint64_t now = 3600000ull * 5 + 1234;
    Start(pc, pc.host.get(), kPc, kNode, now, false);
    const uint64_t sentAt = now;
    uint64_t droppedAt = 0;
    uint32_t sends = 0;
    {
      ipc::ScopedInstance use(pc.inst);
      ipc::IpcNetLinkOpen(kPeer);
      const auto e = Evnt(100, 0);
      ipc::IpcNetEvntSend(kPeer, reinterpret_cast<const IpcEvntHdr*>(e.data()));
    }
    // Bounded: a day of fake time at the given step.
    for (uint64_t i = 0; i < 86400000ull / step; ++i) {
      hub.Advance(step);
      now += step;
      Poll(pc, now);
      ipc::ScopedInstance use(pc.inst);
      sends = ipc::IpcNetCountersGet().transmissions;
      if (ipc::IpcNetNodeSeqGet(kPeer).head == kIpcNoEntry) {
        droppedAt = now;
        break;
      }
    }
    if (droppedAt == 0) {
      std::printf("%10llu %14s %12s %12u\n", static_cast<unsigned long long>(step), "never", "-", sends);
    } else {
      std::printf("%10llu %14.2f %12.1f %12u\n", static_cast<unsigned long long>(step),
                  double(droppedAt - sentAt) / 1000.0, double(droppedAt - sentAt) / double(step), sends);
    }
    Stop(pc);
  }
}

uint64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Raw UDP ping-pong between two loopback sockets: round trips per second,
// or 0 when it could not be measured.  Every receive waits at most 1 s.
double PingPong(uint16_t len) {
  const int a = ::socket(AF_INET, SOCK_DGRAM, 0), b = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in aa{}, ba{};
  aa.sin_family = ba.sin_family = AF_INET;
  aa.sin_addr.s_addr = htonl(0x7F000533u);
  ba.sin_addr.s_addr = htonl(0x7F000534u);
  aa.sin_port = htons(29511);
  ba.sin_port = htons(29512);
  const timeval limit{1, 0};
  if (a < 0 || b < 0 || ::bind(a, reinterpret_cast<sockaddr*>(&aa), sizeof aa) != 0 ||
      ::bind(b, reinterpret_cast<sockaddr*>(&ba), sizeof ba) != 0 ||
      ::setsockopt(a, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
      ::setsockopt(b, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
    if (a >= 0) ::close(a);
    if (b >= 0) ::close(b);
    return 0;
  }
  // The answer has the size of a bare acknowledgement packet (its header).
  constexpr ssize_t kAck = 46;
  std::vector<uint8_t> buf(std::max<size_t>(len, kAck) + 1, 1);
  const auto t0 = std::chrono::steady_clock::now();
  int n = 0;
  for (int i = 0; i < 20000; ++i) {
    if (::sendto(a, buf.data(), len, 0, reinterpret_cast<sockaddr*>(&ba), sizeof ba) != len ||
        ::recv(b, buf.data(), buf.size(), 0) != len ||
        ::sendto(b, buf.data(), kAck, 0, reinterpret_cast<sockaddr*>(&aa), sizeof aa) != kAck ||
        ::recv(a, buf.data(), buf.size(), 0) != kAck) {
      break;  // a lost datagram ends the count
    }
    ++n;
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ::close(a);
  ::close(b);
  return n > 0 && s > 0 ? n / s : 0;
}

void Loopback() {
  std::printf("\n== real loopback sockets, one link, clock from the monotonic clock, 1 s a size\n");
  std::printf("%6s %14s %14s %16s %10s\n", "size", "msgs/s", "packets/s", "udp ping-pong/s", "ratio");
  net::PosixBackend backend;
  const uint32_t kA = 0x7F000537u, kB = 0x7F000538u;  // 127.0.5.55, .56
  for (uint16_t len : {uint16_t{40}, uint16_t{76}, uint16_t{399}, uint16_t{400}, uint16_t{1250}}) {
    Side a, b;
    const uint64_t start = SteadyMs();
    Start(a, &backend, kA, kB, start, false);
    Start(b, &backend, kB, kA, start, false);
    for (Side* s : {&a, &b}) {
      ipc::ScopedInstance use(s->inst);
      ipc::IpcNetLinkOpen(kPeer);
    }
    uint32_t sent = 0;
    const uint64_t from = SteadyMs();
    const uint64_t until = from + 1000;
    while (SteadyMs() < until) {
      const uint64_t now = SteadyMs();
      sent = Feed(a, sent, 0xFFFFFFFFu, len, now);
      Poll(a, now);
      Poll(b, now);
    }
    const double secs = double(SteadyMs() - from) / 1000.0;
    uint32_t packets = 0;
    {
      ipc::ScopedInstance use(a.inst);
      packets = ipc::IpcNetCountersGet().completed;
    }
    const double rate = double(b.received) / secs;
    const double ping = PingPong(len);
    if (ping > 0) {
      std::printf("%6u %14.0f %14.0f %16.0f %9.2f%s\n", len, rate, packets / secs, ping, (packets / secs) / ping,
                  b.outOfOrder ? "  (out of order!)" : "");
    } else {
      std::printf("%6u %14.0f %14.0f %16s %10s%s\n", len, rate, packets / secs, "not measured", "-",
                  b.outOfOrder ? "  (out of order!)" : "");
    }
    Stop(a);
    Stop(b);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned long asked = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
  if (asked < 1 || asked > 10000000) {
    std::fprintf(stderr, "usage: ipcnet_bench [messages-per-loss-case 1..10000000]\n");
    return 2;
  }
  const auto total = static_cast<uint32_t>(asked);
  LossCases(total);
  GiveUpTimes();
  Loopback();
  return 0;
}
