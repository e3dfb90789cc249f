// Internal interface of module ipcroutr: the router server 18/1 and node
// announcements.
//
// Every process that runs the library has a router.  Routers of different
// nodes talk only to each other, over the node-0 sockets (port 2510): each
// announce period a router broadcasts its node's status (event 262); it asks
// the peer router to open or close the link between two nodes (procedures 5
// and 6) and opens or closes its own side; it asks the router of a server's
// node to make a proxy client there for a local client (procedures 1 and 2)
// and stores the net handle that comes back (events 257 and 258), or to
// remove the proxy (procedures 3 and 4, events 259 and 260); and it reports
// a node's link status changes (event 261).
//
// Everything the router sends goes once, without acknowledgement.
//
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
//
// Reports carry module name "ipcroutr" and the error context (18, 1); the
// caller's context is restored on return.
#ifndef IPCROUTR_H
#define IPCROUTR_H

#include <cstddef>
#include <cstdint>

#include "tessio32.h"

// Router procedure ids.
enum IpcRouterProc : uint8_t {
  IPC_ROUTER_ATTACH_COMPROC = 1,
  IPC_ROUTER_ATTACH_EVNT = 2,
  IPC_ROUTER_DETACH_COMPROC = 3,
  IPC_ROUTER_DETACH_EVNT = 4,
  IPC_ROUTER_LINK_OPEN = 5,
  IPC_ROUTER_LINK_CLOSE = 6,
};

// Router event codes (event ids in brackets).
enum IpcRouterEvntCode : uint16_t {
  IPC_ROUTER_EVNT_COMPROC_ATTACHED = 257,  // (1)
  IPC_ROUTER_EVNT_EVNT_ATTACHED = 258,     // (2)
  IPC_ROUTER_EVNT_COMPROC_DETACHED = 259,  // (3)
  IPC_ROUTER_EVNT_EVNT_DETACHED = 260,     // (4)
  IPC_ROUTER_EVNT_LINK_STATUS = 261,       // (7)
  IPC_ROUTER_EVNT_NODE_STATUS = 262,       // (8)
};

#pragma pack(push, 1)

// The request of procedures 1 to 6.  Procedure 5 fills offsets 0 to 24 and
// procedure 6 offsets 0 to 23; receivers read nothing beyond.
struct IpcRouterReq {
  IpcComProcHdr hdr;   // length 36, 18/1, procedure, the router's client
  uint32_t dstAddr;    // the node that is to act
  uint32_t srcAddr;    // the node that asks
  uint8_t svrType;     // procedures 1 to 4; a flag byte in procedure 5
  uint8_t hostHandle;  // the server's own index on the destination node
  uint8_t hostKind;    // must be 1
  uint8_t netHandle;   // the proxy to remove (3, 4); 0xCC in 1 and 2
  IpcVersion version;  // the client's
};

// Content of events 257 to 260.
struct IpcRouterAttachInfo {
  uint8_t svrType;
  uint8_t hostHandle;
  uint8_t hostKind;
  uint8_t netHandle;  // the proxy's; 0 = none could be created
  IpcVersion version;
};

// Content of event 262, the node announce.
struct IpcRouterAnnounce {
  uint8_t status;    // 1 online, 2 offline, 3 disabled
  uint8_t nodeType;  // 1 to 25
  char name[IPC_NODE_NAME_SIZE];
  IpcTime startTime;  // when the node started networking
  uint8_t etherAddr[IPC_ETHER_ADDR_SIZE];
  uint8_t zero[32];
  uint32_t features;  // the node's feature word
};

// The 84-byte router event.
struct IpcRouterEvnt {
  IpcEvntHdr hdr;    // length 84, 257 to 262, type 18, host handle 1
  uint32_t dstAddr;  // 0xFFFFFFFF = every node
  uint32_t srcAddr;  // the raising node
  union {
    IpcRouterAttachInfo attach;
    uint8_t linkStatus;  // event 261
    IpcRouterAnnounce announce;
    uint8_t bytes[58];
  } u;
};

#pragma pack(pop)

static_assert(sizeof(IpcRouterReq) == 36, "IpcRouterReq is 36 bytes");
static_assert(offsetof(IpcRouterReq, dstAddr) == 16);
static_assert(offsetof(IpcRouterReq, svrType) == 24);
static_assert(offsetof(IpcRouterReq, netHandle) == 27);
static_assert(offsetof(IpcRouterReq, version) == 28);
static_assert(sizeof(IpcRouterAnnounce) == 58, "announce content is 58 bytes");
static_assert(offsetof(IpcRouterAnnounce, startTime) == 12);
static_assert(offsetof(IpcRouterAnnounce, etherAddr) == 16);
static_assert(offsetof(IpcRouterAnnounce, features) == 54);
static_assert(sizeof(IpcRouterEvnt) == 84, "IpcRouterEvnt is 84 bytes");
static_assert(offsetof(IpcRouterEvnt, dstAddr) == 18);
static_assert(offsetof(IpcRouterEvnt, u) == 26);

// Owned by the library instance (ipc::Instance::routr).
struct IpcRoutrState {
  // The router's own clients on 18/1 (0 = router not created).
  uint8_t comProcClnt;
  uint8_t evntClnt;
  // Silent drops and refusals, for tests and reports.
  uint32_t requestsDropped;    // from unknown nodes or for other nodes
  uint32_t eventsIgnored;      // for other nodes, from unknown nodes
  uint32_t announcesRefused;   // malformed, clashing, or table full
};

namespace ipc {

constexpr uint32_t kIpcAllNodes = 0xFFFFFFFFu;
constexpr uint16_t kIpcRouterReqLen = sizeof(IpcRouterReq);
constexpr uint16_t kIpcRouterEvntLen = sizeof(IpcRouterEvnt);
// Kept for the event ring's announcement test.
constexpr uint16_t kIpcRouterEvntLinkStatus = IPC_ROUTER_EVNT_LINK_STATUS;
constexpr uint16_t kIpcRouterEvntNodeStatus = IPC_ROUTER_EVNT_NODE_STATUS;

// Returns the router's state to a fresh start (it is created again by
// IpcNetInit).  Run by IpcTerm.
void IpcRoutrReset();

// Registers server 18/1 with its procedures and events, locates it on node
// 0, and creates the router's own com-proc client and event client.  Run by
// IpcNetInit (after the service database and the locations were cleared).
void IpcRouterCreate();

// Raised by the node table when a node's stored status changes, and by the
// datagram layer every announce period: event 262 for node 0; nothing for
// any other node.  Node 100 or more: error 10; free entry: 12; status not 1
// to 3: 37.
void IpcRouterNodeStatusEvnt(uint8_t node, uint8_t status);
// Raised by the node table when a node's stored link status changes: event
// 261 to that node (to every node for node 0).  Node 100 or more: error 10;
// free entry: 12; link status not 1 to 6: 34.
void IpcRouterLinkStatusEvnt(uint8_t node, uint8_t linkStatus);

// Procedure 5 to the node; node 0's queue is sent at once; when the node is
// online this side of the link is opened too.  Asked by the datagram layer
// every announce period for a node in link wait, and by an announce that
// finds its node in link wait.
void IpcRouterLinkOpenReq(uint8_t node);
// Procedure 6 to the node; node 0's queue is sent at once; this side of the
// link is closed whatever the node's status.
void IpcRouterLinkCloseReq(uint8_t node);

// Requests to the router of node: create a proxy for a local client of a
// server located there (procedures 1 and 2), or remove the proxy with that
// net handle (procedures 3 and 4).  version is the client's (8 bytes).
void IpcRouterAttachComProcReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                               uint8_t hostKind, const char* version);
void IpcRouterAttachEvntReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                            uint8_t hostKind, const char* version);
void IpcRouterDetachComProcReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                               uint8_t hostKind, const char* version, uint8_t netHandle);
void IpcRouterDetachEvntReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                            uint8_t hostKind, const char* version, uint8_t netHandle);

}  // namespace ipc

#endif
