#include "Peer.h"

#include <poll.h>
#include <sys/epoll.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "ipcnet.h"    // traffic counters
#include "ipcnetdb.h"  // the silence time-out of entry 0, which new entries take

namespace ipcpeer {
namespace {

// The library's sockets, as the socket-open hook saw them, in one epoll
// set, readable while any of them has data: a wait costs the same with one
// node in the table as with a hundred.  A socket the library closes leaves
// the set by itself.
int WaitSet() {
  static const int fd = epoll_create1(EPOLL_CLOEXEC);
  return fd;
}

Peer* gPeer = nullptr;  // the one Peer of the process (callbacks reach it)

// Events waiting for room in the ring, oldest first.
struct Held {
  std::vector<uint8_t> bytes;
  uint8_t node;
  uint8_t client;
};
std::deque<Held>& HeldQueue() {
  static std::deque<Held> q;
  return q;
}

int Raise(std::vector<uint8_t>& bytes, uint8_t node, uint8_t client) {
  auto* e = reinterpret_cast<IpcEvntHdr*>(bytes.data());
  return IpcEvntSelectedSend(e, node, client);
}

// Raises what was held, in order, while the ring takes it; true when any
// went.
bool RaiseHeld() {
  bool any = false;
  std::deque<Held>& q = HeldQueue();
  while (!q.empty()) {
    if (Raise(q.front().bytes, q.front().node, q.front().client) == IPC_EVNT_RING_FULL) break;
    q.pop_front();
    any = true;
  }
  return any;
}

std::string FormatAddr(uint32_t a) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return buf;
}

}  // namespace

uint64_t MonotonicNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t MonotonicMicros() { return MonotonicNanos() / 1000u; }

IpcTime MonotonicIpcTime() {
  const uint64_t cs = MonotonicMicros() / 10000u;  // hundredths
  return IPC_TIME_MAKE((cs / 360000u) % 24, (cs / 6000u) % 60, (cs / 100u) % 60, cs % 100u);
}

int RaiseOrHold(const IpcEvntHdr* event, uint8_t node, uint8_t client) {
  const uint16_t length =
      std::clamp<uint16_t>(event->length, sizeof(IpcEvntHdr), IPC_MAX_MSG_LEN);
  const auto* p = reinterpret_cast<const uint8_t*>(event);
  // Behind what is held already, to keep the order.
  if (HeldQueue().empty()) {
    uint8_t copy[IPC_MAX_MSG_LEN];
    std::memcpy(copy, p, length);
    const int r = IpcEvntSelectedSend(reinterpret_cast<IpcEvntHdr*>(copy), node, client);
    if (r != IPC_EVNT_RING_FULL) return r;
  }
  HeldQueue().push_back(Held{std::vector<uint8_t>(p, p + length), node, client});
  return IPC_EVNT_RING_FULL;
}

size_t HeldEvents() { return HeldQueue().size(); }

uint32_t ParseAddr(const std::string& text) {
  unsigned a, b, c, d;
  char extra;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4) return 0;
  if (a > 255 || b > 255 || c > 255 || d > 255) return 0;
  return (a << 24) | (b << 16) | (c << 8) | d;
}

// IPCPEER_TRACE=1: one line per datagram on standard error (time in
// microseconds, direction, kind, sequence, acknowledged sequence, length).
void Trace(int direction, uint16_t length, const void* datagram) {
  if (length < 14) return;
  const auto* p = static_cast<const uint8_t*>(datagram);
  std::fprintf(stderr, "trace %llu %s kind %u seq %u ack %u len %u\n",
               static_cast<unsigned long long>(MonotonicMicros()), direction == 1 ? "out" : "in",
               p[10], p[11], p[12], length);
}

void Peer::OnSocketOpen(IpcSocket socket) {
  const auto fd = static_cast<intptr_t>(socket);
  if (fd < 0 || fd >= (1 << 20)) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = static_cast<int>(fd);
  epoll_ctl(WaitSet(), EPOLL_CTL_ADD, static_cast<int>(fd), &ev);
}

int Peer::Serve(const IpcComProcHdr* request) {
  if (gPeer != nullptr) ++gPeer->served_;
  // The answer carries the request's data back.
  uint8_t buf[IPC_MAX_MSG_LEN];
  const uint16_t dataLen = static_cast<uint16_t>(
      std::min<int>(std::max<int>(request->length - static_cast<int>(sizeof(IpcComProcHdr)), 0),
                    IPC_MAX_MSG_LEN - static_cast<int>(sizeof(IpcEvntHdr))));
  IpcEvntHdr h{};
  h.length = static_cast<uint16_t>(sizeof(IpcEvntHdr) + dataLen);
  h.evntCode = kAnswerCode;
  h.svrType = kTestSvrType;
  h.evntId = 1;
  h.hostHandle = 1;
  std::memcpy(buf, &h, sizeof h);
  std::memcpy(buf + sizeof h, reinterpret_cast<const uint8_t*>(request) + sizeof(IpcComProcHdr),
              dataLen);
  return RaiseOrHold(reinterpret_cast<IpcEvntHdr*>(buf), 0, 0);
}

void Peer::OnAnswer(const IpcEvntHdr* event, intptr_t user) {
  auto* self = reinterpret_cast<Peer*>(user);
  if (event->evntCode != kAnswerCode) return;
  self->lastAnswerAt_ = MonotonicNanos();
  ++self->answers_;
  if (event->length >= sizeof(IpcEvntHdr) + 4) {
    std::memcpy(&self->lastSerial_, reinterpret_cast<const uint8_t*>(event) + sizeof(IpcEvntHdr), 4);
  }
}

void Peer::OnReport(const IpcEvntHdr* event, intptr_t /*user*/) {
  if (event->length < sizeof(IpcLogEvnt)) return;
  IpcLogEvnt r;
  std::memcpy(&r, event, sizeof r);
  r.file[sizeof r.file - 1] = '\0';
  std::fprintf(stderr, "report sev %d svr %u/%u code %u %s:%u\n", event->evntCode - 1, r.Svr,
               r.hTargetSvr, r.ErrCode, r.file, r.line);
}

bool Peer::Start(const Options& o, std::string* error) {
  gPeer = this;
  HeldQueue().clear();
  startedAt_ = MonotonicMicros();
  // The lab environment is read when the library's backend is first used.
  if (o.addr != 0) {
    setenv("DROVANA_NET_ADDR", FormatAddr(o.addr).c_str(), 1);
    setenv("DROVANA_NET_BIND_OWN", "1", 1);
  }
  if (!o.peers.empty()) {
    std::string list;
    for (uint32_t p : o.peers) list += (list.empty() ? "" : ",") + FormatAddr(p);
    setenv("DROVANA_NET_BCAST_TO", list.c_str(), 1);
  }

  InstallSocketOpenHook(&Peer::OnSocketOpen);
  const char* trace = std::getenv("IPCPEER_TRACE");
  if (trace != nullptr && trace[0] == '1') InstallDebugHook(&Trace);
  IpcInit();
  if (o.serve) {
    static const IpcComProcEntry procs[] = {{1, 0, &Peer::Serve}};
    static const uint8_t ids[] = {1};
    if (IpcSvrAndSvcCreate(kTestSvrType, 1, "1.1", IPC_VERSION_DATE, 2, procs, 1, ids, 1) != 1) {
      *error = "test server not registered";
      return false;
    }
    IpcSvrLocationSet(kTestSvrType, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
  }
  IpcSvrLocationSet(IPC_SVR_LOG, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
  uint8_t logClnt = 0;
  IpcClntEvntCreate(IPC_SVR_LOG, 1, &Peer::OnReport, IPC_VERSION, &logClnt, 0);

  uint32_t addr = o.addr;
  if (addr == 0) {
    *error = "no own address (give --addr)";
    return false;
  }
  if (IpcNetNodeInfoCreate(0, o.name.c_str(), addr, o.nodeType) != 0) {
    *error = "node 0 not created (name of 1 to 8 characters, node type 1 to 25)";
    return false;
  }
  if (o.silence != 0) ipc::IpcNetNodeSilenceTimeoutSet(0, o.silence);
  if (o.period != 0) IpcNetBcastPeriod = o.period;
  IpcCurrentTime = MonotonicIpcTime();
  IpcNetTcpIpInitDriver();
  if (!IpcNetTcpIpIsInitOk()) {
    *error = "socket driver did not start";
    return false;
  }
  if (!IpcNetNodeLinkInit()) {
    *error = "node-0 socket did not open (port 2510 busy on " + FormatAddr(addr) + "?)";
    return false;
  }
  return true;
}

// As the server's comm thread polls: a pass, then every event it queued;
// what waited for room in the ring is raised then, and delivered too; the
// pass again while that did anything, at most 30 times.
void Peer::Poll() {
  for (int pass = 0; pass < 30; ++pass) {
    IpcCurrentTime = MonotonicIpcTime();
    IpcNetTcpIpTick();
    IpcNetDespatch();
    bool work = false;
    for (int round = 0; round < 100; ++round) {
      for (int n = 0; n < 49 && IpcEvntDespatch(); ++n) work = true;
      if (!RaiseHeld()) break;
      work = true;
    }
    if (!work) break;
  }
}

bool Peer::WaitAndPoll(int timeoutMs, int extraFd) {
  // An event already read from a socket waits in the ring, or one waits for
  // room there: deliver it instead of sleeping.
  if (IpcEvntDespatch() || HeldEvents() > 0) timeoutMs = 0;
  // The sockets' set and the extra descriptor; the pass below reads what
  // the sockets hold.
  pollfd fds[2] = {{WaitSet(), POLLIN, 0}, {extraFd, POLLIN, 0}};
  ++waits_;
  const int rc = ::poll(fds, extraFd >= 0 ? 2 : 1, timeoutMs);
  const bool extraReady = rc > 0 && extraFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  Poll();
  return extraReady;
}

uint8_t Peer::NodeOf(const std::string& name) const {
  if (name.empty() || name.size() > IPC_MAX_NODE_NAME) return IPC_NO_NET_NODE;
  return IpcNetNodeNameExists(name.c_str());
}

bool Peer::Connect(const std::string& name, std::string* error) {
  const uint8_t n = NodeOf(name);
  if (n == IPC_NO_NET_NODE || n == 0) {
    *error = "unknown peer " + name;
    return false;
  }
  // Our index of the peer's 22/1 is the peer's node index (1 to 99).
  IpcSvrLocationSet(kTestSvrType, n, IPC_HOST_KIND_LOCAL, 1, n, 0, 0, 0, 0);
  if (IpcClntComProcCreate(kTestSvrType, n, IPC_VERSION, &comProc_) != 0 ||
      IpcClntEvntCreate(kTestSvrType, n, &Peer::OnAnswer, IPC_VERSION, &evnt_,
                        reinterpret_cast<intptr_t>(this)) != 0) {
    *error = "client not created";
    return false;
  }
  node_ = n;
  svrIndx_ = n;
  return true;
}

bool Peer::Attached() const {
  if (node_ == IPC_NO_NET_NODE) return false;
  return IpcNetNodeStatusGet(node_) == IPC_NODE_STATUS_ONLINE &&
         IpcNetNodeLinkStatusGet(node_) == IPC_LINK_STATUS_OK &&
         IpcClntComProcNetHandleGet(kTestSvrType, svrIndx_, comProc_) != 0 &&
         IpcClntEvntNetHandleGet(kTestSvrType, svrIndx_, evnt_) != 0;
}

bool Peer::Call(uint16_t size, uint32_t serial) {
  if (node_ == IPC_NO_NET_NODE) return false;
  size = std::max<uint16_t>(size, 4);
  size = std::min<uint16_t>(size, IPC_MAX_MSG_LEN - sizeof(IpcEvntHdr));
  uint8_t buf[IPC_MAX_MSG_LEN] = {};
  IpcComProcHdr h{};
  h.length = static_cast<uint16_t>(sizeof h + size);
  h.svrType = kTestSvrType;
  h.svrIndx = svrIndx_;
  h.procId = 1;
  h.clntHandle = comProc_;
  std::memcpy(buf, &h, sizeof h);
  std::memcpy(buf + sizeof h, &serial, 4);
  IpcCurrentTime = MonotonicIpcTime();
  IpcComProc(reinterpret_cast<IpcComProcHdr*>(buf));
  // Send it now rather than at the next wake-up.  A whole poll: the
  // transmit step also reads a datagram, and an answer read there waits in
  // the event ring, not on the socket.
  Poll();
  return true;
}

std::string Peer::NetFigures() const {
  const IpcNetCounters& c = ipc::IpcNetCountersGet();
  return "tx " + std::to_string(c.transmissions) + " retx " + std::to_string(c.retransmissions) +
         " acks " + std::to_string(c.acksSent) + " repeats " + std::to_string(c.rxRepeats) +
         " given_up " + std::to_string(c.givenUp);
}

}  // namespace ipcpeer
