// Internal interface of module ipctcpip: the UDP socket driver, the
// library's only contact with the network.
//
// It keeps a table of 100 UDP sockets, numbered 1 to 100 (0 = no socket),
// each owned by one net node index, the last socket error of every node,
// and the host's two hooks.  Every socket call goes through a net::Backend
// (platform/net): the process's POSIX backend unless a test or simulator
// puts another one (a hub host) in place with IpcTcpIpBackendSet.
//
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
//
// Ownership: the driver owns every socket in its table and is the only one
// that reads from or closes it; a socket handed to the socket-open hook may
// be polled for readiness only.  Every socket still open is closed when the
// table is reset (IpcInit) and when the driver stops (IpcTerm).  The backend
// is not owned: whoever sets it keeps it alive while the instance uses it.
//
// Reports (module "ipctcpip") carry the error context of the caller.
#ifndef IPCTCPIP_H
#define IPCTCPIP_H

#include <cstdint>

#include "net/backend.h"
#include "net/readiness.h"
#include "tessio32.h"

// The most a receive stashes of a datagram taken ahead (the largest the
// datagram layer reads, and one byte to see an oversize one), and how many
// it takes ahead: one call asks for one datagram and this many more.
constexpr uint16_t kIpcSockStashSize = 46 + IPC_MAX_MSG_LEN + 1;
constexpr int kIpcSockAhead = 3;

// One entry of the socket table.
struct IpcSockEntry {
  net::Socket socket = net::kInvalidSocket;
  uint8_t node = 0xFF;      // owning net node index; 255 = entry free
  uint16_t remotePort = 0;  // where sends go when the caller gives port 0
  bool watched = false;     // in the driver's ready set
  // The look (IpcTcpipState::lookGen) that found data on the socket; a
  // socket with an older mark had nothing then, or has been read empty
  // since.  Trusted only between IpcSockReadyBegin and IpcSockReadyEnd.
  uint32_t readyGen = 0;
  // Datagrams taken ahead by a batched receive, handed out in order by the
  // next receives on the entry (their bytes are in IpcTcpipState::stash):
  // stashNext to stashCount - 1 wait.
  bool stashed = false;
  uint8_t stashCount = 0;
  uint8_t stashNext = 0;
  net::RecvResult stashResult[kIpcSockAhead];
};

// System calls of the driver and what it answered without one, for tests
// and benchmarks.  Cleared by IpcSockTableReset.
struct IpcSockCounters {
  uint64_t sends;         // sendto calls
  uint64_t recvCalls;     // receive calls made to the backend
  uint64_t recvEmpty;     // of those, the ones that found nothing
  uint64_t recvAhead;     // datagrams taken ahead by a receive call
  uint64_t recvSkipped;   // receives answered "nothing" from the look
  uint64_t looks;         // looks at the ready set that made a call
};

// What the start of the socket layer grants: the version (low byte major,
// high byte minor) and the stack's description and system status texts.
struct IpcWsaData {
  uint16_t version;
  char description[257];
  char systemStatus[129];
};

// Starts the socket layer for the version wanted and fills *data; 0 or a
// Winsock error number.
using IpcWsaStartupFn = int (*)(uint16_t wantedVersion, IpcWsaData* data);

// Owned by the library instance (ipc::Instance::tcpip).
struct IpcTcpipState {
  static constexpr int kMaxSockets = 100;

  IpcSockEntry socks[kMaxSockets];  // entry e is socks[e - 1]

  // Per-node socket error: a Winsock error number or a library error code
  // (0 = none), and a static text or null.
  uint16_t sockErr[IPC_MAX_NET_NODES] = {};
  const char* sockErrText[IPC_MAX_NET_NODES] = {};

  // IpcNetTcpIpIsInitOk.
  uint8_t initOk = 0;
  // The socket layer is started (between a granted start and the stop);
  // sockets cannot be created otherwise.
  bool started = false;
  // This PC's Ethernet address, which node 0 takes.
  uint8_t etherAddr[IPC_ETHER_ADDR_SIZE] = {};

  // The sockets of the table in one readiness set (token = entry number),
  // looked at once per network pass instead of asking every socket.
  net::ReadySet ready;
  // Between IpcSockReadyBegin and IpcSockReadyEnd.
  bool readyKnown = false;
  uint32_t lookGen = 0;
  // The entries the last look found with data.
  uint8_t lookReady[kMaxSockets] = {};
  int lookReadyCount = 0;
  // Entries (bit e - 1) that are asked whatever the look says: used and not
  // watched, or holding a datagram taken ahead.
  uint64_t alwaysAsk[2] = {};
  uint8_t stash[kMaxSockets][kIpcSockAhead][kIpcSockStashSize] = {};
  IpcSockCounters counters = {};

  // Installed hooks; they stay across IpcInit.
  SocketOpenHook openHook = nullptr;
  DebugHook debugHook = nullptr;

  // Null: the process's backend (net::DefaultBackend()).
  net::Backend* backend = nullptr;
  // Null: the built-in start, which grants version 1.1 whenever a backend
  // is there.  Tests put in a stack that fails or grants another version.
  IpcWsaStartupFn wsaStartup = nullptr;
};

namespace ipc {

// Ports of the datagram layer: node 0's socket (broadcasts and the
// router's traffic), and the base of the per-node link sockets.
constexpr uint16_t kIpcNode0Port = 2510;
constexpr uint16_t kIpcLinkPortBase = 2515;
// The port of a link socket that talks to the node with this address:
// 2515 + the address's low byte (the last number of the dotted form).  A
// link socket for peer P is bound at IpcSockLinkPort(P's address) and sends
// to IpcSockLinkPort(node 0's address).
constexpr uint16_t IpcSockLinkPort(uint32_t addr) {
  return static_cast<uint16_t>(kIpcLinkPortBase + (addr & 0xFFu));
}

// As a bind address: any local address (INADDR_ANY).  As a send
// destination: the subnet broadcast of node 0's address.
constexpr uint32_t kIpcAnyAddress = 0xFFFFFFFFu;

// The two texts of a node's socket error.
inline constexpr const char kIpcSockErrAllUsed[] = "All sockets used";
inline constexpr const char kIpcSockErrLinkStatus[] = "LinkStatus";

// Winsock's "not initialised" (socket created before the start or after
// the stop).
constexpr uint16_t kIpcWsaNotInitialised = 10093;

// Puts a backend under the current instance's driver (null: the process's
// backend).  Sockets still open through the old backend are closed first.
void IpcTcpIpBackendSet(net::Backend* backend);
// The backend in use (never null).
net::Backend& IpcTcpIpBackend();
// Replaces the start of the socket layer (null: the built-in one).
void IpcTcpIpWsaStartupSet(IpcWsaStartupFn fn);

// Closes every open socket, fills every entry with 0xCC and marks it free,
// clears every node's socket error and the initialised flag.  Run by
// IpcNetInit (IpcInit).
void IpcSockTableReset();
// Closes every open socket, stops the socket layer and clears the
// initialised flag.  Run by IpcNetTerm (IpcTerm).
void IpcSockStop();

// Takes the lowest free entry for the node (below 100, else error 10) and
// creates a non-blocking UDP socket in it; node 0's socket also gets the
// broadcast and reuse-address options.  The socket-open hook sees the new
// socket before anything looks at the result.  The entry number 1 to 100,
// or 0 after a report (table full: error 33 and the node's socket error 33
// "All sockets used"; creation failed: the Winsock error).
uint8_t IpcSockOpen(uint8_t node);
// Binds entry e to (addr, port); kIpcAnyAddress binds any local address.
// A bad or free entry gives error 33; a failed bind the Winsock error,
// reported and recorded as the owner's socket error.
bool IpcSockBind(uint8_t e, uint32_t addr, uint16_t port);
// The port that sends go to when they give port 0.  A bad or free entry
// gives error 33.
void IpcSockRemotePortSet(uint8_t e, uint16_t port);
// Sends len bytes to (dest, port); port 0 takes the entry's remote port and
// kIpcAnyAddress the subnet broadcast of node 0's address.  The debug hook
// sees (1, len, data) before the attempt, also one that then fails on a
// free entry.  The bytes sent, 0 after a report.
uint16_t IpcSockSend(uint8_t e, uint32_t dest, uint16_t port, uint16_t len, const void* data);
// Takes the next datagram waiting on entry e into buf (size bytes); the
// sender's address and port, in host order, through the pointers that are
// not null.  0 when nothing waits (no report) or after a report; a datagram
// longer than size is a failure (Winsock's 10040, "message too long"), so
// the result never exceeds size.  A datagram of at least one byte is shown
// to the debug hook as (2, length, buf) before this returns.
//
// One call to the backend takes up to 1 + kIpcSockAhead datagrams; the
// ones after the first wait in the entry for the next receives, and a call
// that brings fewer than it asked for tells that the socket is empty.  Between IpcSockReadyBegin and IpcSockReadyEnd a
// receive on a socket known to be empty answers 0 without asking it.
uint16_t IpcSockRecv(uint8_t e, uint32_t* fromAddr, uint16_t* fromPort, uint16_t size, void* buf);

// Looks once at every socket of the table and learns which have data;
// until IpcSockReadyEnd, receives trust what it learnt (a datagram that
// arrives meanwhile waits for the next look).  A socket the set cannot
// watch, or a failed look, leaves the sockets to be asked as before.  The
// datagram layer brackets each network pass with the two.
void IpcSockReadyBegin();
void IpcSockReadyEnd();
// Whether entry e may have a datagram to hand out: true unless the look
// found its socket empty (or a receive emptied it since); quiet.
bool IpcSockMayHaveData(uint8_t e);
// Sets bit n of nodes (n / 64, n % 64) for each net node whose socket may
// have a datagram to hand out, as IpcSockMayHaveData says; outside a look,
// for every node with a socket.
void IpcSockNodesWithData(uint64_t nodes[2]);
const IpcSockCounters& IpcSockCountersGet();
// Closes entry e's socket (a failure is reported and recorded); the entry is
// filled with 0xCC and freed in any case.  A bad or free entry gives error
// 33.
void IpcSockClose(uint8_t e);

// Records a node's socket error: code and a static text (or null).  An
// invalid node gives error 10 (severity 3).
void IpcSockErrorSet(uint8_t node, uint16_t code, const char* text);
// The node's socket error code (0 = none; 10 for an invalid node); text,
// when not null, receives at most 30 characters of its text and a NUL (31
// bytes), or an empty string.
uint16_t IpcSockErrorGet(uint8_t node, char* text);
// This PC's own Ethernet address (6 bytes).
void IpcSockEtherAddrGet(uint8_t out[6]);

// The backend socket of entry e (kInvalidSocket for a bad or free entry);
// quiet.  For the datagram layer's tests and the host's message loop.
net::Socket IpcSockOf(uint8_t e);
// Entries in use; quiet.
int IpcSockUsedCount();

}  // namespace ipc

#endif
