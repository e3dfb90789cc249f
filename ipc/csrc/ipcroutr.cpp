// Module ipcroutr: the router server 18/1, its requests and events, and the
// handling of node announcements.
#include "ipcroutr.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "ipccheck.h"
#include "ipcdb.h"
#include "ipcdrhst.h"
#include "ipcinst.h"
#include "ipcnet.h"
#include "ipcnetdb.h"
#include "ipcproc.h"
#include "tessio32.h"

namespace ipc {
namespace {

constexpr char kIpcModuleFile[] = "ipcroutr.c";

constexpr char kRouterLowVersion[] = IPC_VERSION;        // "1.3c"
constexpr char kRouterHighVersion[] = IPC_VERSION_DATE;  // "020615"
constexpr uint8_t kRouterIdCount = 11;
constexpr uint8_t kNoNetHandle = 0xCC;  // the net handle byte of procedures 1, 2

// Event ids of the router's events.
constexpr uint8_t kEvntIdComProcAttached = 1;
constexpr uint8_t kEvntIdEvntAttached = 2;
constexpr uint8_t kEvntIdComProcDetached = 3;
constexpr uint8_t kEvntIdEvntDetached = 4;
constexpr uint8_t kEvntIdLinkStatus = 7;
constexpr uint8_t kEvntIdNodeStatus = 8;

// Reports of this module carry (18, 1); the caller's context comes back
// when the guard goes.
class RouterCtx {
 public:
  RouterCtx() : type_(IpcErrCtxSvrType()), indx_(IpcErrCtxSvrIndx()) {
    IpcErrCtxSet(IPC_SVR_ROUTER, 1);
  }
  ~RouterCtx() { IpcErrCtxSet(type_, indx_); }
  RouterCtx(const RouterCtx&) = delete;
  RouterCtx& operator=(const RouterCtx&) = delete;

 private:
  uint8_t type_;
  uint8_t indx_;
};

IpcRoutrState& St() { return Cur().routr; }

const IpcNetNodeEntry* Entry(uint8_t node) {
  if (!IpcNetNodeInUse(node)) return nullptr;
  return &Cur().netdb.nodes[node];
}

// This node's own address; 0 while entry 0 does not exist.
uint32_t OwnAddr() {
  const IpcNetNodeEntry* e = Entry(0);
  return e ? e->addr : 0;
}

uint8_t StatusOf(uint8_t node) {
  const IpcNetNodeEntry* e = Entry(node);
  return e ? e->status : 0;
}

uint8_t LinkStatusOf(uint8_t node) {
  const IpcNetNodeEntry* e = Entry(node);
  return e ? e->linkStatus : 0;
}

bool AllZero(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

// A name field from the network: at least one and at most 8 characters, its
// NUL within the 10 bytes.  out receives the text and its NUL.
bool NameFieldValid(const char (&field)[IPC_NODE_NAME_SIZE], char out[IPC_NODE_NAME_SIZE]) {
  const size_t len = strnlen(field, IPC_NODE_NAME_SIZE);
  if (len == 0 || len > IPC_MAX_NODE_NAME) return false;
  std::memcpy(out, field, len);
  std::memset(out + len, 0, IPC_NODE_NAME_SIZE - len);
  return true;
}

// A version field from the network as a NUL-terminated text (8 bytes at
// most, so a field without a NUL stays invalid for the form rule).
struct VersionText {
  char text[IPC_VERSION_SIZE + 1];
  explicit VersionText(const char (&field)[IPC_VERSION_SIZE]) {
    std::memcpy(text, field, IPC_VERSION_SIZE);
    text[IPC_VERSION_SIZE] = '\0';
  }
  // Eight characters without a NUL are not a version.
  bool Valid() const {
    return std::memchr(text, '\0', IPC_VERSION_SIZE) != nullptr && IpcVersionFormValid(text);
  }
};

// ------------------------------------------------------------------
// Raising events

void RaiseEvnt(IpcRouterEvnt& e, uint16_t code, uint8_t evntId) {
  e.hdr.length = kIpcRouterEvntLen;
  e.hdr.evntCode = code;
  e.hdr.svrType = IPC_SVR_ROUTER;
  e.hdr.svrIndx = 1;
  e.hdr.evntId = evntId;
  e.hdr.hostKind = IPC_HOST_KIND_LOCAL;
  e.hdr.hostHandle = 1;
  e.hdr.reserved = 0;
  IpcEvntRaise(&e.hdr, 0, 0);
}

void RaiseAttachReply(uint16_t code, uint8_t evntId, const IpcRouterReq& r, uint8_t netHandle) {
  IpcRouterEvnt e{};
  e.dstAddr = r.srcAddr;
  e.srcAddr = OwnAddr();
  e.u.attach.svrType = r.svrType;
  e.u.attach.hostHandle = r.hostHandle;
  e.u.attach.hostKind = r.hostKind;
  e.u.attach.netHandle = netHandle;
  std::memcpy(e.u.attach.version, r.version, IPC_VERSION_SIZE);
  RaiseEvnt(e, code, evntId);
}

// ------------------------------------------------------------------
// Requests

// Calls a router procedure on 18/1 of this process (which forwards it when
// its source is this node).
void CallLocal(IpcRouterReq& r) {
  if (St().comProcClnt == 0) return;  // no router
  r.hdr.length = kIpcRouterReqLen;
  r.hdr.svrType = IPC_SVR_ROUTER;
  r.hdr.svrIndx = 1;
  r.hdr.clntHandle = St().comProcClnt;
  IpcComProc(&r.hdr);
}

IpcRouterReq NewReq(uint8_t procId, uint32_t dst, uint32_t src) {
  IpcRouterReq r{};
  r.hdr.procId = procId;
  r.dstAddr = dst;
  r.srcAddr = src;
  return r;
}

// Sends node 0's queue now, step after step, until it is empty.  Every
// entry of node 0 leaves the queue at its single transmission, so the pool
// size bounds the loop.
void FlushNode0() {
  for (int k = 0; k < 64 && IpcNetTxStep(0); ++k) {
  }
}

void AttachOrDetachReq(uint8_t procId, uint8_t node, uint8_t svrType, uint8_t hostHandle,
                       uint8_t hostKind, const char* version, uint8_t netHandle) {
  RouterCtx ctx;
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  const IpcNetNodeEntry* e = Entry(node);
  if (e == nullptr) return;
  IpcRouterReq r = NewReq(procId, e->addr, OwnAddr());
  r.svrType = svrType;
  r.hostHandle = hostHandle;
  r.hostKind = hostKind;
  r.netHandle = netHandle;
  IpcVersionCopy(r.version, version);
  CallLocal(r);
}

// Procedure 1 or 2 from node i: the proxy client that the server keeps for
// node i, reused or created.  Returns its handle, 0 when none.
uint8_t ProxyFor(IpcClntKind kind, const IpcRouterReq& r, uint8_t i) {
  if (!IpcSvrTypeValid(r.svrType)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
    return 0;
  }
  if (r.hostHandle == 0 || r.hostHandle > IpcSvrMaxIndx(r.svrType)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
    return 0;
  }
  if (r.hostKind != IPC_HOST_KIND_LOCAL) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_HOST_KIND);
    return 0;
  }
  const VersionText version(r.version);
  if (!version.Valid()) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_VERSION);
    return 0;
  }
  const uint8_t s = IpcSvrHostHandleFind(r.svrType, r.hostHandle, r.hostKind, 0);
  uint8_t h = IpcClntFindByNode(kind, r.svrType, s, i);
  if (h != 0) return h;
  // The Create calls report their own refusals (a server not served here
  // is index 0) and set their own error context.
  const IpcErrCode rc =
      kind == IpcClntKind::kComProc
          ? IpcClntComProcCreate(r.svrType, s, version.text, &h)
          : IpcClntEvntCreate(r.svrType, s, nullptr, version.text, &h, 0);
  IpcErrCtxSet(IPC_SVR_ROUTER, 1);
  if (rc != IPC_ERR_NONE) return 0;
  if (!IpcClntNodeSet(kind, r.svrType, s, h, i)) {
    // Not a proxy after all: it must not stay as a client of this host.
    if (kind == IpcClntKind::kComProc) {
      IpcClntComProcDestroy(r.svrType, s, h);
    } else {
      IpcClntEvntDestroy(r.svrType, s, h);
    }
    IpcErrCtxSet(IPC_SVR_ROUTER, 1);
    return 0;
  }
  return h;
}

// ProxyFor, with this side of the link opened when it is still waiting.
// A node sends attach requests only over a link it has opened on its side,
// so one that arrives while the link waits here means its link-open request
// was lost or came before its first announce.  Waiting for the next announce
// period would send a link-open request back, and the node would reset the
// link and throw away the com-procs it queued on the strength of this reply.
uint8_t LinkedProxyFor(IpcClntKind kind, const IpcRouterReq& r, uint8_t i) {
  const uint8_t h = ProxyFor(kind, r, i);
  if (h != 0 && LinkStatusOf(i) == IPC_LINK_STATUS_LINK_WAIT) {
    IpcNetLinkOpen(i);
    IpcErrCtxSet(IPC_SVR_ROUTER, 1);
  }
  return h;
}

// Procedure 3 or 4 from node i: removes node i's proxy with r's net handle.
// Only a proxy of node i is removed: a stale or forged handle must not take
// away a local client or another node's proxy.
bool DetachValid(const IpcRouterReq& r) {
  if (!IpcSvrTypeValid(r.svrType)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
    return false;
  }
  if (r.hostHandle == 0 || r.hostHandle > IpcSvrMaxIndx(r.svrType)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
    return false;
  }
  return true;
}

void RemoveProxy(IpcClntKind kind, const IpcRouterReq& r, uint8_t i) {
  const uint8_t s = IpcSvrHostHandleFind(r.svrType, r.hostHandle, r.hostKind, 0);
  if (s == 0 || !IpcClntHandleValid(r.netHandle)) return;
  if (kind == IpcClntKind::kComProc) {
    const IpcClntComProcPart* p = IpcClntComProcPartGet(r.svrType, s, r.netHandle);
    if (p != nullptr && p->inUse && p->node == i) IpcClntComProcDestroy(r.svrType, s, r.netHandle);
  } else {
    const IpcClntEvntPart* p = IpcClntEvntPartGet(r.svrType, s, r.netHandle);
    if (p != nullptr && p->inUse && p->node == i) IpcClntEvntDestroy(r.svrType, s, r.netHandle);
  }
  IpcErrCtxSet(IPC_SVR_ROUTER, 1);
}

// The procedure function of every router procedure.
int RouterProc(const IpcComProcHdr* request) {
  RouterCtx ctx;
  if (request == nullptr) return 0;
  // Read within the request's own length; what it lacks reads as zero.
  IpcRouterReq r{};
  std::memcpy(&r, request, std::min<size_t>(request->length, sizeof r));
  r.hdr.length = kIpcRouterReqLen;

  if (r.dstAddr == kIpcAllNodes) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_ADDR);
    return 0;
  }
  if (r.srcAddr == 0) {
    ++St().requestsDropped;
    return 0;
  }
  const uint8_t i = IpcNetNodeAddrExists(r.srcAddr);
  IpcErrCtxSet(IPC_SVR_ROUTER, 1);
  if (i == 0) {
    // Made in this process: sent once to port 2510 of its destination.
    IpcNetTxQueue(IPC_PKT_COMPROC_TO, 0, reinterpret_cast<const uint8_t*>(&r));
    return 1;
  }
  if (i == IPC_NO_NET_NODE || r.dstAddr != OwnAddr()) {
    ++St().requestsDropped;
    return 0;
  }

  switch (r.hdr.procId) {
    case IPC_ROUTER_ATTACH_COMPROC:
      RaiseAttachReply(IPC_ROUTER_EVNT_COMPROC_ATTACHED, kEvntIdComProcAttached, r,
                       LinkedProxyFor(IpcClntKind::kComProc, r, i));
      break;
    case IPC_ROUTER_ATTACH_EVNT:
      RaiseAttachReply(IPC_ROUTER_EVNT_EVNT_ATTACHED, kEvntIdEvntAttached, r,
                       LinkedProxyFor(IpcClntKind::kEvnt, r, i));
      break;
    case IPC_ROUTER_DETACH_COMPROC:
      if (!DetachValid(r)) break;
      RemoveProxy(IpcClntKind::kComProc, r, i);
      RaiseAttachReply(IPC_ROUTER_EVNT_COMPROC_DETACHED, kEvntIdComProcDetached, r, r.netHandle);
      break;
    case IPC_ROUTER_DETACH_EVNT:
      if (!DetachValid(r)) break;
      RemoveProxy(IpcClntKind::kEvnt, r, i);
      RaiseAttachReply(IPC_ROUTER_EVNT_EVNT_DETACHED, kEvntIdEvntDetached, r, r.netHandle);
      break;
    case IPC_ROUTER_LINK_OPEN:
      IpcNetLinkOpen(i);
      break;
    case IPC_ROUTER_LINK_CLOSE: {
      const uint8_t link = LinkStatusOf(i);
      if (link != IPC_LINK_STATUS_NONE && link != IPC_LINK_STATUS_LINK_WAIT) IpcNetLinkClose(i);
      break;
    }
    default:
      break;
  }
  return 1;
}

// ------------------------------------------------------------------
// Events

// Own events: sent on to their destinations over the node-0 socket.
void SendOwnEvnt(const uint8_t* bytes, uint16_t length, const IpcRouterEvnt& rec) {
  if (rec.hdr.evntCode == IPC_ROUTER_EVNT_NODE_STATUS && rec.dstAddr == kIpcAllNodes) {
    // An announce that does not describe node 0 as the table holds it: an
    // own address that another machine uses.
    const IpcNetNodeEntry* own = Entry(0);
    char name[IPC_NODE_NAME_SIZE];
    const bool nameOk = NameFieldValid(rec.u.announce.name, name) && IpcNetNodeNameExists(name) == 0;
    IpcErrCtxSet(IPC_SVR_ROUTER, 1);
    if (own == nullptr || !nameOk || rec.u.announce.nodeType != own->nodeType ||
        std::memcmp(rec.u.announce.etherAddr, own->etherAddr, IPC_ETHER_ADDR_SIZE) != 0) {
      IpcNetNodeDuplicateSet(0, true);
      return;
    }
  }

  uint8_t copy[IPC_MAX_MSG_LEN];
  std::memcpy(copy, bytes, length);
  auto setDst = [&copy](uint32_t dst) {
    std::memcpy(copy + offsetof(IpcRouterEvnt, dstAddr), &dst, sizeof dst);
  };
  if (rec.dstAddr == kIpcAllNodes) {
    IpcNetTxQueue(IPC_PKT_EVNT, 0, copy);
    // Nodes that may not hear broadcasts but are being linked get a copy.
    for (uint8_t n = 1; n < IPC_MAX_NET_NODES; ++n) {
      const IpcNetNodeEntry* e = Entry(n);
      if (e == nullptr) continue;
      if (e->linkStatus != IPC_LINK_STATUS_LINK_WAIT && e->linkStatus != IPC_LINK_STATUS_OK) continue;
      setDst(e->addr);
      IpcNetTxQueue(IPC_PKT_EVNT_TO, 0, copy);
    }
    return;
  }
  if (rec.hdr.evntCode == IPC_ROUTER_EVNT_NODE_STATUS) setDst(rec.srcAddr);
  IpcNetTxQueue(IPC_PKT_EVNT_TO, 0, copy);
}

// An attach or detach reply from node i for a server located there.
void TakeAttachReply(const IpcRouterEvnt& rec, uint8_t i) {
  if (rec.dstAddr != OwnAddr()) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_ADDR);
    return;
  }
  const uint16_t code = rec.hdr.evntCode;
  const bool attached = code == IPC_ROUTER_EVNT_COMPROC_ATTACHED || code == IPC_ROUTER_EVNT_EVNT_ATTACHED;
  const IpcClntKind kind =
      (code == IPC_ROUTER_EVNT_COMPROC_ATTACHED || code == IPC_ROUTER_EVNT_COMPROC_DETACHED)
          ? IpcClntKind::kComProc
          : IpcClntKind::kEvnt;
  if (attached && LinkStatusOf(i) != IPC_LINK_STATUS_OK) return;
  const IpcRouterAttachInfo& a = rec.u.attach;
  if (!IpcSvrTypeValid(a.svrType) || a.hostHandle == 0 || a.hostKind == IPC_HOST_KIND_NONE) {
    ++St().eventsIgnored;
    return;
  }
  const uint8_t s = IpcSvrHostHandleFind(a.svrType, a.hostHandle, a.hostKind, i);
  const uint8_t h = IpcClntFindByNode(kind, a.svrType, s, 0);
  if (h == 0) return;
  IpcClntNetHandleSet(kind, a.svrType, s, h, attached ? a.netHandle : 0);
}

// Receiving a node announce from node i (255: an address not in the table).
void TakeAnnounce(const IpcRouterEvnt& rec, uint8_t i) {
  const uint32_t S = rec.srcAddr;
  if (rec.dstAddr == S) return;
  const IpcRouterAnnounce& a = rec.u.announce;

  // Everything is checked before anything is changed.
  char name[IPC_NODE_NAME_SIZE];
  const VersionText version(rec.hdr.version);
  if (S == 0 || !IpcNodeTypeValid(a.nodeType) || !NameFieldValid(a.name, name) ||
      !version.Valid() || !IpcNodeStatusValid(a.status)) {
    ++St().announcesRefused;
    return;
  }
  auto refuse = [] { ++St().announcesRefused; };

  // A name held by another entry: the entry goes when it is offline; one
  // that is online (and this PC's own entry always) makes the announce
  // ignored.
  auto clearNameHolder = [&](uint8_t holder) -> bool {
    if (holder == IPC_NO_NET_NODE || holder == i) return true;
    if (holder == 0 || StatusOf(holder) != IPC_NODE_STATUS_OFFLINE) return false;
    return IpcNetNodeDelete(holder);
  };
  auto create = [&](uint8_t indx) -> bool {
    if (IpcNetNodeInfoCreate(indx, name, S, a.nodeType) != indx) return false;
    IpcErrCtxSet(IPC_SVR_ROUTER, 1);
    IpcNetNodeStartTimeSet(indx, a.startTime);
    IpcNetNodeFeaturesAnnounced(indx, a.features);
    IpcNetNodeVersionSet(indx, version.text);
    // Clients of servers located on the index outlive an entry made again:
    // so does their need of its link (link wait instead of none).
    if (IpcClntAnyRelation(indx)) {
      IpcNetLinkNeeded(indx);
      IpcErrCtxSet(IPC_SVR_ROUTER, 1);
    }
    return true;
  };

  uint8_t holder = IpcNetNodeNameExists(name);
  IpcErrCtxSet(IPC_SVR_ROUTER, 1);

  if (i == IPC_NO_NET_NODE) {
    uint8_t indx;
    if (holder != IPC_NO_NET_NODE) {
      if (holder == 0 || StatusOf(holder) != IPC_NODE_STATUS_OFFLINE) {
        IpcNetNodeDuplicateSet(holder, true);
        return refuse();
      }
      if (!IpcNetNodeDelete(holder)) return refuse();
      indx = holder;
    } else {
      indx = IpcNetNodeFreeIndxFind();
      if (indx == IPC_NO_NET_NODE) return refuse();
    }
    if (!create(indx)) return refuse();
    i = indx;
    holder = indx;
  }

  const IpcNetNodeEntry* e = Entry(i);
  if (e == nullptr || i == 0) return refuse();
  if (e->status == IPC_NODE_STATUS_DISABLED) return refuse();

  // A name that is not i's (another entry's, or nobody's: the node was
  // renamed) or another type: the entry takes the announced identity.
  if (holder != i || a.nodeType != e->nodeType) {
    if (!clearNameHolder(holder)) return refuse();
    if (e->status == IPC_NODE_STATUS_OFFLINE) {
      if (!IpcNetNodeDelete(i) || !create(i)) return refuse();
    } else {
      if (!AllZero(e->etherAddr, IPC_ETHER_ADDR_SIZE) &&
          std::memcmp(e->etherAddr, a.etherAddr, IPC_ETHER_ADDR_SIZE) != 0) {
        IpcNetNodeDuplicateSet(i, true);
        return refuse();
      }
      if (!IpcNetNodeInfoSet(i, name, S, a.nodeType)) return refuse();
      IpcNetNodeStartTimeSet(i, a.startTime);
      IpcNetNodeFeaturesAnnounced(i, a.features);
      IpcNetNodeVersionSet(i, version.text);
      IpcNetNodeEtherAddrSet(i, a.etherAddr);
    }
    e = Entry(i);
    if (e == nullptr) return refuse();
  }

  if (AllZero(e->etherAddr, IPC_ETHER_ADDR_SIZE)) {
    IpcNetNodeEtherAddrSet(i, a.etherAddr);
  } else if (std::memcmp(e->etherAddr, a.etherAddr, IPC_ETHER_ADDR_SIZE) != 0) {
    if (e->status != IPC_NODE_STATUS_OFFLINE) {
      // Two machines answer for one node while it is online.
      IpcNetNodeDuplicateSet(i, true);
      return refuse();
    }
    // The node's hardware was replaced while it was away.
    IpcNetNodeEtherAddrSet(i, a.etherAddr);
    IpcNetNodeDuplicateSet(i, false);
  }

  uint8_t status = a.status == IPC_NODE_STATUS_DISABLED ? uint8_t{IPC_NODE_STATUS_OFFLINE} : a.status;
  if (a.startTime != e->startTime) {
    if (e->startTime != 0) status = IPC_NODE_STATUS_OFFLINE;  // restarted
    IpcNetNodeStartTimeSet(i, a.startTime);
    IpcNetNodeFeaturesAnnounced(i, a.features);
    IpcNetNodeVersionSet(i, version.text);
  }
  IpcNetNodeStatusSet(i, status);

  if (status == IPC_NODE_STATUS_ONLINE) {
    const uint8_t link = LinkStatusOf(i);
    if (link == IPC_LINK_STATUS_LINK_WAIT) {
      IpcRouterLinkOpenReq(i);
    } else if (link == IPC_LINK_STATUS_UNLINK_WAIT) {
      IpcRouterLinkCloseReq(i);
    }
  }
}

// The router's event callback: every router event raised in this process
// or received from the network.
void RouterEvnt(const IpcEvntHdr* event, intptr_t /*userValue*/) {
  RouterCtx ctx;
  if (event == nullptr) return;
  const uint16_t length = std::min<uint16_t>(uint16_t{event->length}, IPC_MAX_MSG_LEN);
  const auto* bytes = reinterpret_cast<const uint8_t*>(event);
  // The fields are read within the event's own length; an event shorter
  // than the record reads the rest as zero (an announce without its
  // feature word gives 0).
  IpcRouterEvnt rec{};
  std::memcpy(&rec, bytes, std::min<size_t>(length, sizeof rec));
  const uint16_t code = rec.hdr.evntCode;
  if (code < IPC_ROUTER_EVNT_COMPROC_ATTACHED || code > IPC_ROUTER_EVNT_NODE_STATUS) return;
  if (length < offsetof(IpcRouterEvnt, u)) return;

  const uint32_t S = rec.srcAddr;
  const uint32_t D = rec.dstAddr;
  const uint8_t i = S == 0 ? uint8_t{IPC_NO_NET_NODE} : IpcNetNodeAddrExists(S);
  IpcErrCtxSet(IPC_SVR_ROUTER, 1);
  if (i == IPC_NO_NET_NODE && code != IPC_ROUTER_EVNT_NODE_STATUS) {
    ++St().eventsIgnored;
    return;
  }
  if (i == 0) {
    SendOwnEvnt(bytes, length, rec);
    return;
  }
  if (D != kIpcAllNodes && D != OwnAddr()) {
    ++St().eventsIgnored;
    return;
  }
  switch (code) {
    case IPC_ROUTER_EVNT_COMPROC_ATTACHED:
    case IPC_ROUTER_EVNT_EVNT_ATTACHED:
    case IPC_ROUTER_EVNT_COMPROC_DETACHED:
    case IPC_ROUTER_EVNT_EVNT_DETACHED:
      TakeAttachReply(rec, i);
      break;
    case IPC_ROUTER_EVNT_NODE_STATUS:
      TakeAnnounce(rec, i);
      break;
    default:  // 261 is only told
      break;
  }
}

}  // namespace

void IpcRoutrReset() { Cur().routr = IpcRoutrState{}; }

void IpcRouterCreate() {
  RouterCtx ctx;
  IpcRoutrReset();
  static const IpcComProcEntry kProcs[] = {
      {IPC_ROUTER_ATTACH_COMPROC, 0, RouterProc}, {IPC_ROUTER_ATTACH_EVNT, 0, RouterProc},
      {IPC_ROUTER_DETACH_COMPROC, 0, RouterProc}, {IPC_ROUTER_DETACH_EVNT, 0, RouterProc},
      {IPC_ROUTER_LINK_OPEN, 0, RouterProc},      {IPC_ROUTER_LINK_CLOSE, 0, RouterProc},
      {0, 0, nullptr},
  };
  static const uint8_t kEvntIds[] = {
      kEvntIdComProcAttached, kEvntIdEvntAttached, kEvntIdComProcDetached, kEvntIdEvntDetached,
      kEvntIdLinkStatus,      kEvntIdNodeStatus,   10, 9, 0};
  IpcSvrAndSvcCreate(IPC_SVR_ROUTER, 1, kRouterLowVersion, kRouterHighVersion, kRouterIdCount,
                     kProcs, static_cast<uint8_t>(std::size(kProcs)), kEvntIds,
                     static_cast<uint8_t>(std::size(kEvntIds)));
  IpcSvrLocationSet(IPC_SVR_ROUTER, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
  uint8_t h = 0;
  if (IpcClntComProcCreate(IPC_SVR_ROUTER, 1, kRouterLowVersion, &h) == IPC_ERR_NONE) {
    St().comProcClnt = h;
  }
  h = 0;
  if (IpcClntEvntCreate(IPC_SVR_ROUTER, 1, RouterEvnt, kRouterLowVersion, &h, 0) == IPC_ERR_NONE) {
    St().evntClnt = h;
  }
}

void IpcRouterNodeStatusEvnt(uint8_t node, uint8_t status) {
  RouterCtx ctx;
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  const IpcNetNodeEntry* e = Entry(node);
  if (e == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return;
  }
  if (!IpcNodeStatusValid(status)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_STATUS);
    return;
  }
  if (node != 0) return;
  IpcRouterEvnt ev{};
  ev.dstAddr = kIpcAllNodes;
  ev.srcAddr = e->addr;
  IpcRouterAnnounce& a = ev.u.announce;
  a.status = status;
  a.nodeType = e->nodeType;
  std::memcpy(a.name, e->name, IPC_NODE_NAME_SIZE);
  a.name[IPC_NODE_NAME_SIZE - 1] = '\0';
  a.startTime = e->startTime;
  std::memcpy(a.etherAddr, e->etherAddr, IPC_ETHER_ADDR_SIZE);
  uint8_t f[4];
  IpcNetNodeFeaturesGet(0, f);
  a.features = static_cast<uint32_t>(f[0]) | (static_cast<uint32_t>(f[1]) << 8) |
               (static_cast<uint32_t>(f[2]) << 16) | (static_cast<uint32_t>(f[3]) << 24);
  RaiseEvnt(ev, IPC_ROUTER_EVNT_NODE_STATUS, kEvntIdNodeStatus);
}

void IpcRouterLinkStatusEvnt(uint8_t node, uint8_t linkStatus) {
  RouterCtx ctx;
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  const IpcNetNodeEntry* e = Entry(node);
  if (e == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return;
  }
  if (!IpcLinkStatusValid(linkStatus)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_LINK_STATUS);
    return;
  }
  IpcRouterEvnt ev{};
  ev.dstAddr = node == 0 ? kIpcAllNodes : e->addr;
  ev.srcAddr = OwnAddr();
  ev.u.linkStatus = linkStatus;
  RaiseEvnt(ev, IPC_ROUTER_EVNT_LINK_STATUS, kEvntIdLinkStatus);
}

void IpcRouterLinkOpenReq(uint8_t node) {
  RouterCtx ctx;
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  const IpcNetNodeEntry* e = Entry(node);
  if (e == nullptr || node == 0) return;
  const uint32_t peer = e->addr;
  IpcRouterReq r = NewReq(IPC_ROUTER_LINK_OPEN, peer, OwnAddr());
  CallLocal(r);
  FlushNode0();
  if (StatusOf(node) == IPC_NODE_STATUS_ONLINE) {
    IpcRouterReq own = NewReq(IPC_ROUTER_LINK_OPEN, OwnAddr(), peer);
    own.svrType = 1;  // the flag byte of the local call
    CallLocal(own);
  }
}

void IpcRouterLinkCloseReq(uint8_t node) {
  RouterCtx ctx;
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  const IpcNetNodeEntry* e = Entry(node);
  if (e == nullptr || node == 0) return;
  const uint32_t peer = e->addr;
  IpcRouterReq r = NewReq(IPC_ROUTER_LINK_CLOSE, peer, OwnAddr());
  CallLocal(r);
  FlushNode0();
  IpcRouterReq own = NewReq(IPC_ROUTER_LINK_CLOSE, OwnAddr(), peer);
  CallLocal(own);
}

void IpcRouterAttachComProcReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                               uint8_t hostKind, const char* version) {
  AttachOrDetachReq(IPC_ROUTER_ATTACH_COMPROC, node, svrType, hostHandle, hostKind, version,
                    kNoNetHandle);
}

void IpcRouterAttachEvntReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                            uint8_t hostKind, const char* version) {
  AttachOrDetachReq(IPC_ROUTER_ATTACH_EVNT, node, svrType, hostHandle, hostKind, version,
                    kNoNetHandle);
}

void IpcRouterDetachComProcReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                               uint8_t hostKind, const char* version, uint8_t netHandle) {
  AttachOrDetachReq(IPC_ROUTER_DETACH_COMPROC, node, svrType, hostHandle, hostKind, version,
                    netHandle);
}

void IpcRouterDetachEvntReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                            uint8_t hostKind, const char* version, uint8_t netHandle) {
  AttachOrDetachReq(IPC_ROUTER_DETACH_EVNT, node, svrType, hostHandle, hostKind, version,
                    netHandle);
}

}  // namespace ipc
