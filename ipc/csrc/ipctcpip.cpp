// Module ipctcpip: the UDP socket driver.  See ipctcpip.h.
#include "ipctcpip.h"

#include <cstdio>
#include <cstring>

#include "ipcinst.h"
#include "ipcproc.h"
#include "net/error.h"
#include "net/posix.h"
#include "tessio32.h"

namespace ipc {
namespace {

constexpr char kIpcModuleFile[] = "ipctcpip.c";

// Version 1.1: major in the low byte, minor in the high byte.
constexpr uint16_t kWsaVersion11 = 0x0101;

IpcTcpipState& St() { return Cur().tcpip; }

// The start of the socket layer on this platform: sockets need no
// start-up, so version 1.1 is granted whenever a backend is there.
int BuiltInWsaStartup(uint16_t wantedVersion, IpcWsaData* data) {
  std::memset(data, 0, sizeof *data);
  data->version = wantedVersion;
  std::snprintf(data->description, sizeof data->description, "%s",
                "UDP over the platform's network layer");
  std::snprintf(data->systemStatus, sizeof data->systemStatus, "%s", "Running");
  return 0;
}

// The entry for number e, or null when e is not 1 to 100.
IpcSockEntry* EntryAt(uint8_t e) {
  if (e < 1 || e > IpcTcpipState::kMaxSockets) return nullptr;
  return &St().socks[e - 1];
}

bool EntryUsed(const IpcSockEntry& s) { return s.node != 0xFF; }

// Fills the entry with the 0xCC pattern and marks it free.
void EntryFree(IpcSockEntry& s) {
  s.socket = static_cast<net::Socket>(0xCCCCCCCCu);
  s.remotePort = 0xCCCC;
  s.node = 0xFF;
  s.watched = false;
  s.readyGen = 0;
  s.stashed = false;
}

// The entry is asked whatever a look says: used and not watched, or holding
// a datagram taken ahead.
void UpdateAlwaysAsk(IpcSockEntry& s) {
  const auto i = static_cast<size_t>(&s - St().socks);
  const uint64_t bit = uint64_t{1} << (i % 64);
  if (EntryUsed(s) && (!s.watched || s.stashed))
    St().alwaysAsk[i / 64] |= bit;
  else
    St().alwaysAsk[i / 64] &= ~bit;
}

// The socket had data at the look and has not been read empty since.
bool LookedReady(const IpcSockEntry& s) { return s.readyGen == St().lookGen && s.readyGen != 0; }

// Takes the entry's socket out of the ready set before it is closed.
void Unwatch(IpcSockEntry& s) {
  if (s.watched) St().ready.Remove(s.socket);
  s.watched = false;
}

// A failed socket call: reported with the Winsock number as the code and
// recorded as the owner's socket error, without a text.
void WinsockFailure(uint8_t owner, int error, uint16_t line) {
  const uint16_t code = static_cast<uint16_t>(error);
  IpcReport(IPC_SEV_INTERNAL, code, kIpcModuleFile, line);
  if (owner < IPC_MAX_NET_NODES) {
    St().sockErr[owner] = code;
    St().sockErrText[owner] = nullptr;
  }
}
#define IPC_WINSOCK_FAILURE(owner, error) \
  WinsockFailure((owner), (error), static_cast<uint16_t>(__LINE__))

// Closes every socket in the table without a report (the table is being
// emptied, and with it every node's error), and frees every entry.
void CloseAll() {
  IpcTcpipState& s = St();
  for (IpcSockEntry& entry : s.socks) {
    if (EntryUsed(entry)) {
      Unwatch(entry);
      IpcTcpIpBackend().Close(entry.socket);
    }
    EntryFree(entry);
  }
  s.readyKnown = false;
  s.alwaysAsk[0] = s.alwaysAsk[1] = 0;
}

// Node 0's address with every host bit set.
uint32_t SubnetBroadcast() {
  const IpcNetdbState& db = Cur().netdb;
  const uint32_t own = db.nodes[0].inUse ? db.nodes[0].addr : 0;
  return own | ~db.subnetMask;
}

}  // namespace

void IpcTcpIpBackendSet(net::Backend* backend) {
  if (backend == St().backend) return;
  CloseAll();
  St().backend = backend;
}

net::Backend& IpcTcpIpBackend() {
  net::Backend* b = St().backend;
  return b != nullptr ? *b : net::DefaultBackend();
}

void IpcTcpIpWsaStartupSet(IpcWsaStartupFn fn) { St().wsaStartup = fn; }

void IpcSockTableReset() {
  IpcTcpipState& s = St();
  CloseAll();
  for (uint16_t& code : s.sockErr) code = 0;
  for (const char*& text : s.sockErrText) text = nullptr;
  s.initOk = 0;
  s.counters = IpcSockCounters{};
}

void IpcSockStop() {
  IpcTcpipState& s = St();
  CloseAll();
  s.started = false;
  s.initOk = 0;
}

uint8_t IpcSockOpen(uint8_t node) {
  // What fails here is this PC's, not a received datagram's.
  IpcRxSenderPause notAboutADatagram;
  if (node >= IPC_MAX_NET_NODES) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return 0;
  }
  IpcTcpipState& s = St();
  int free = -1;
  for (int i = 0; i < IpcTcpipState::kMaxSockets; ++i) {
    if (!EntryUsed(s.socks[i])) {
      free = i;
      break;
    }
  }
  if (free < 0) {
    IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_SOCKET);
    IpcSockErrorSet(node, IPC_ERR_SOCKET, kIpcSockErrAllUsed);
    return 0;
  }

  net::Backend& b = IpcTcpIpBackend();
  net::Socket sock = net::kInvalidSocket;
  const int error = s.started ? b.Open(&sock) : kIpcWsaNotInitialised;
  if (error != 0) sock = net::kInvalidSocket;
  IpcSockEntry& entry = s.socks[free];
  entry.socket = sock;
  if (s.openHook != nullptr) s.openHook(static_cast<IpcSocket>(static_cast<intptr_t>(sock)));
  if (sock == net::kInvalidSocket) {
    IPC_WINSOCK_FAILURE(node, error != 0 ? error : net::err::kSysCallFailure);
    EntryFree(entry);
    return 0;
  }

  // Option failures are ignored, as the datagram layer cannot act on them.
  if (node == 0) {
    b.SetOption(sock, net::Option::kBroadcast, true);
    b.SetOption(sock, net::Option::kReuseAddress, true);
  }
  b.SetNonBlocking(sock, true);
  entry.node = node;
  entry.remotePort = 0;
  entry.stashed = false;
  entry.readyGen = 0;
  // A socket the set cannot watch is asked at every receive.
  entry.watched = s.ready.Add(sock, static_cast<uint32_t>(free + 1));
  UpdateAlwaysAsk(entry);
  return static_cast<uint8_t>(free + 1);
}

bool IpcSockBind(uint8_t e, uint32_t addr, uint16_t port) {
  IpcRxSenderPause notAboutADatagram;
  IpcSockEntry* entry = EntryAt(e);
  if (entry == nullptr || !EntryUsed(*entry)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SOCKET);
    return false;
  }
  const uint32_t local = addr == kIpcAnyAddress ? net::kAnyAddress : addr;
  const int error = IpcTcpIpBackend().Bind(entry->socket, net::Endpoint{local, port});
  if (error != 0) {
    IPC_WINSOCK_FAILURE(entry->node, error);
    return false;
  }
  return true;
}

void IpcSockRemotePortSet(uint8_t e, uint16_t port) {
  IpcSockEntry* entry = EntryAt(e);
  if (entry == nullptr || !EntryUsed(*entry)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SOCKET);
    return;
  }
  entry->remotePort = port;
}

uint16_t IpcSockSend(uint8_t e, uint32_t dest, uint16_t port, uint16_t len, const void* data) {
  IpcRxSenderPause notAboutADatagram;
  IpcSockEntry* entry = EntryAt(e);
  if (entry == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SOCKET);
    return 0;
  }
  if (data == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return 0;
  }
  // A free entry keeps no port: the debug hook is shown the attempt first.
  if (port == 0 && EntryUsed(*entry)) port = entry->remotePort;
  if (St().debugHook != nullptr) St().debugHook(IPC_DEBUG_DIR_SEND, len, data);
  if (!EntryUsed(*entry)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SOCKET);
    return 0;
  }
  if (dest == kIpcAnyAddress) dest = SubnetBroadcast();

  ++St().counters.sends;
  const net::SendResult r =
      IpcTcpIpBackend().SendTo(entry->socket, net::Endpoint{dest, port}, data, len);
  if (r.error != 0) {
    IPC_WINSOCK_FAILURE(entry->node, r.error);
    return 0;
  }
  return static_cast<uint16_t>(r.bytes <= len ? r.bytes : len);
}

uint16_t IpcSockRecv(uint8_t e, uint32_t* fromAddr, uint16_t* fromPort, uint16_t size, void* buf) {
  IpcSockEntry* entry = EntryAt(e);
  if (entry == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SOCKET);
    return 0;
  }
  if (buf == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return 0;
  }
  if (!EntryUsed(*entry)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SOCKET);
    return 0;
  }

  IpcTcpipState& st = St();
  net::RecvResult r;
  if (entry->stashed) {
    // Taken ahead by the last call: handed out now, in its turn.
    const int i = entry->stashNext++;
    if (entry->stashNext >= entry->stashCount) {
      entry->stashed = false;
      UpdateAlwaysAsk(*entry);
    }
    r = entry->stashResult[i];
    if (r.error == 0) std::memcpy(buf, st.stash[e - 1][i], r.copied < size ? r.copied : size);
  } else if (st.readyKnown && entry->watched && !LookedReady(*entry)) {
    ++st.counters.recvSkipped;
    return 0;
  } else {
    // Several at a time: the ones after the first wait in the entry, and a
    // call that brings fewer than it asked for tells that the socket is
    // empty.
    net::RecvSlot slots[1 + kIpcSockAhead];
    slots[0].buf = buf;
    slots[0].size = size;
    for (int i = 0; i < kIpcSockAhead; ++i) {
      slots[1 + i].buf = st.stash[e - 1][i];
      slots[1 + i].size = size;
    }
    const int ask = size <= kIpcSockStashSize ? 1 + kIpcSockAhead : 1;
    ++st.counters.recvCalls;
    const int got = IpcTcpIpBackend().RecvMany(entry->socket, slots, ask);
    if (got == 0) {
      ++st.counters.recvEmpty;
      entry->readyGen = 0;
      return 0;
    }
    r = slots[0].result;
    if (got > 1) {
      st.counters.recvAhead += static_cast<uint64_t>(got - 1);
      entry->stashed = true;
      entry->stashCount = static_cast<uint8_t>(got - 1);
      entry->stashNext = 0;
      for (int i = 1; i < got; ++i) entry->stashResult[i - 1] = slots[i].result;
      UpdateAlwaysAsk(*entry);
    }
    // Fewer than asked for, the last a datagram: empty now.
    if (got < ask && slots[got - 1].result.error == 0 && ask > 1) entry->readyGen = 0;
  }
  // A datagram that does not fit is taken off the queue but not passed on,
  // as a datagram socket does when the buffer is too small.
  if (r.error == 0 && r.size > size) r.error = net::err::kMessageSize;
  if (fromAddr != nullptr) *fromAddr = r.from.address;
  if (fromPort != nullptr) *fromPort = r.from.port;
  if (r.error != 0) {
    if (r.error == net::err::kWouldBlock) return 0;
    if (r.from.address != 0) {
      // A datagram was taken (one too long): the report names its sender.
      IpcRxSenderScope sender(r.from.address, r.from.port);
      IPC_WINSOCK_FAILURE(entry->node, r.error);
    } else {
      IPC_WINSOCK_FAILURE(entry->node, r.error);
    }
    return 0;
  }
  const uint16_t n = static_cast<uint16_t>(r.size);
  if (n > 0 && st.debugHook != nullptr) st.debugHook(IPC_DEBUG_DIR_RECV, n, buf);
  return n;
}

void IpcSockReadyBegin() {
  IpcTcpipState& s = St();
  uint32_t tokens[IpcTcpipState::kMaxSockets];
  const uint64_t looksBefore = s.ready.looks();
  const int n = s.ready.Collect(tokens, IpcTcpipState::kMaxSockets);
  s.counters.looks += s.ready.looks() - looksBefore;
  s.readyKnown = n >= 0;
  if (n < 0) return;
  // A new mark: every socket's older one now means "nothing at this look".
  if (++s.lookGen == 0) s.lookGen = 1;
  s.lookReadyCount = 0;
  for (int i = 0; i < n; ++i) {
    IpcSockEntry* entry = EntryAt(static_cast<uint8_t>(tokens[i]));
    if (entry == nullptr || !EntryUsed(*entry)) continue;
    entry->readyGen = s.lookGen;
    s.lookReady[s.lookReadyCount++] = static_cast<uint8_t>(tokens[i]);
  }
}

void IpcSockReadyEnd() { St().readyKnown = false; }

bool IpcSockMayHaveData(uint8_t e) {
  const IpcSockEntry* entry = EntryAt(e);
  if (entry == nullptr || !EntryUsed(*entry)) return false;
  if (entry->stashed) return true;
  return !(St().readyKnown && entry->watched && !LookedReady(*entry));
}

void IpcSockNodesWithData(uint64_t nodes[2]) {
  IpcTcpipState& s = St();
  auto mark = [&](const IpcSockEntry& entry) {
    if (entry.node < IPC_MAX_NET_NODES) nodes[entry.node / 64] |= uint64_t{1} << (entry.node % 64);
  };
  if (!s.readyKnown) {
    for (const IpcSockEntry& entry : s.socks) {
      if (EntryUsed(entry)) mark(entry);
    }
    return;
  }
  for (int w = 0; w < 2; ++w) {
    for (uint64_t bits = s.alwaysAsk[w]; bits != 0; bits &= bits - 1) {
      mark(s.socks[w * 64 + __builtin_ctzll(bits)]);
    }
  }
  for (int i = 0; i < s.lookReadyCount; ++i) {
    const IpcSockEntry* entry = EntryAt(s.lookReady[i]);
    if (entry != nullptr && EntryUsed(*entry) && LookedReady(*entry)) mark(*entry);
  }
}

const IpcSockCounters& IpcSockCountersGet() { return St().counters; }

void IpcSockClose(uint8_t e) {
  IpcRxSenderPause notAboutADatagram;
  IpcSockEntry* entry = EntryAt(e);
  if (entry == nullptr || !EntryUsed(*entry)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SOCKET);
    return;
  }
  const uint8_t owner = entry->node;
  Unwatch(*entry);
  const int error = IpcTcpIpBackend().Close(entry->socket);
  EntryFree(*entry);
  UpdateAlwaysAsk(*entry);
  if (error != 0) IPC_WINSOCK_FAILURE(owner, error);
}

void IpcSockErrorSet(uint8_t node, uint16_t code, const char* text) {
  if (node >= IPC_MAX_NET_NODES) {
    IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_NET_NODE_INDX);
    return;
  }
  St().sockErr[node] = code;
  St().sockErrText[node] = text;
}

uint16_t IpcSockErrorGet(uint8_t node, char* text) {
  if (text != nullptr) text[0] = '\0';
  if (node >= IPC_MAX_NET_NODES) return IPC_ERR_NET_NODE_INDX;
  const char* t = St().sockErrText[node];
  if (text != nullptr && t != nullptr) {
    std::strncpy(text, t, 30);
    text[30] = '\0';
  }
  return St().sockErr[node];
}

void IpcSockEtherAddrGet(uint8_t out[6]) {
  std::memcpy(out, St().etherAddr, IPC_ETHER_ADDR_SIZE);
}

net::Socket IpcSockOf(uint8_t e) {
  const IpcSockEntry* entry = EntryAt(e);
  return entry != nullptr && EntryUsed(*entry) ? entry->socket : net::kInvalidSocket;
}

int IpcSockUsedCount() {
  int n = 0;
  for (const IpcSockEntry& entry : St().socks) n += EntryUsed(entry) ? 1 : 0;
  return n;
}

}  // namespace ipc

extern "C" {

void IpcNetTcpIpInitDriver(void) {
  using namespace ipc;
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  IpcTcpipState& s = St();
  s.initOk = 0;
  IpcWsaData data;
  const IpcWsaStartupFn startup = s.wsaStartup != nullptr ? s.wsaStartup : BuiltInWsaStartup;
  if (startup(kWsaVersion11, &data) == 0) {
    data.description[sizeof data.description - 1] = '\0';
    data.systemStatus[sizeof data.systemStatus - 1] = '\0';
    if (data.version != kWsaVersion11) {
      s.started = false;  // the version granted is refused: stopped again
    } else {
      s.started = true;
      if (std::strstr(data.description, "PC-NFS") != nullptr &&
          std::strstr(data.systemStatus, "RTM.EXE") != nullptr) {
        std::fputs("   Cannot run on PC-NFS V5.x winsock.dll\n", stdout);
        std::fflush(stdout);
      } else {
        s.initOk = 1;
      }
    }
  }
  std::memset(s.etherAddr, 0xFF, sizeof s.etherAddr);
}

uint8_t IpcNetTcpIpIsInitOk(void) {
  ipc::IpcErrCtxSet(IPC_SVR_LOG, 1);
  return ipc::St().initOk;
}

void IpcNetTcpIpTick(void) { ipc::IpcErrCtxSet(IPC_SVR_LOG, 1); }

SocketOpenHook InstallSocketOpenHook(SocketOpenHook fn) {
  ipc::St().openHook = fn;
  return fn;
}

DebugHook InstallDebugHook(DebugHook fn) {
  ipc::St().debugHook = fn;
  return fn;
}

}  // extern "C"
