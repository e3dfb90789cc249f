// Module ipcdb: server locations and client slots, the attach pass, the
// clean-up when a link closes, and the delivery of events to client slots.
#include "ipcdb.h"

#include <cstring>

#include "ipccheck.h"
#include "ipcdrhst.h"
#include "ipcinst.h"
#include "ipcnet.h"
#include "ipcproc.h"
#include "ipcroutr.h"
#include "tessio32.h"

// ---------------------------------------------------------------------
// Default peers: the modules that own each operation.

int IpcDbPeers::ComProcSend(uint8_t node, const IpcComProcHdr* request) {
  return ipc::IpcNetComProcSend(node, request);
}
int IpcDbPeers::EvntSend(uint8_t node, const IpcEvntHdr* event) {
  return ipc::IpcNetEvntSend(node, event);
}
void IpcDbPeers::LinkNeeded(uint8_t node) { ipc::IpcNetLinkNeeded(node); }
void IpcDbPeers::LinkNotNeeded(uint8_t node) { ipc::IpcNetLinkNotNeeded(node); }
void IpcDbPeers::AttachReq(IpcClntKind kind, uint8_t node, uint8_t svrType, uint8_t hostHandle,
                           uint8_t hostKind, const char* version) {
  if (kind == IpcClntKind::kComProc) {
    ipc::IpcRouterAttachComProcReq(node, svrType, hostHandle, hostKind, version);
  } else {
    ipc::IpcRouterAttachEvntReq(node, svrType, hostHandle, hostKind, version);
  }
}
void IpcDbPeers::DetachReq(IpcClntKind kind, uint8_t node, uint8_t svrType, uint8_t hostHandle,
                           uint8_t hostKind, const char* version, uint8_t netHandle) {
  if (kind == IpcClntKind::kComProc) {
    ipc::IpcRouterDetachComProcReq(node, svrType, hostHandle, hostKind, version, netHandle);
  } else {
    ipc::IpcRouterDetachEvntReq(node, svrType, hostHandle, hostKind, version, netHandle);
  }
}
int IpcDbPeers::SvcDeliver(const IpcComProcHdr* request) { return ipc::IpcSvcDeliver(request); }

namespace ipc {
namespace {

constexpr char kIpcModuleFile[] = "ipcdb.c";

// The valid server types in ascending order, as every table walks them.
constexpr uint8_t kSvrTypes[] = {IPC_SVR_LOG, IPC_SVR_AUX, IPC_SVR_ROUTER, IPC_SVR_IO_FTP,
                                 IPC_SVR_IO_KRN};

constexpr uint8_t kFreeFill = 0xCC;

// Position of a server in the flat tables: types 1, 16, 18 first, then the
// hundred indexes of 21 and of 22.  -1 for an invalid server.
int LocPos(uint8_t svrType, uint8_t svrIndx) {
  switch (svrType) {
    case IPC_SVR_LOG:
      return svrIndx == 1 ? 0 : -1;
    case IPC_SVR_AUX:
      return svrIndx == 1 ? 1 : -1;
    case IPC_SVR_ROUTER:
      return svrIndx == 1 ? 2 : -1;
    case IPC_SVR_IO_FTP:
      return (svrIndx >= 1 && svrIndx <= IPC_MAX_SVR_INDX) ? 3 + svrIndx - 1 : -1;
    case IPC_SVR_IO_KRN:
      return (svrIndx >= 1 && svrIndx <= IPC_MAX_SVR_INDX)
                 ? 3 + IPC_MAX_SVR_INDX + svrIndx - 1
                 : -1;
    default:
      return -1;
  }
}

IpcSvrLocation* Loc(uint8_t svrType, uint8_t svrIndx) {
  const int pos = LocPos(svrType, svrIndx);
  return pos < 0 ? nullptr : &Cur().db.locs[pos];
}

IpcClntSlot* Slot(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) {
  const int pos = LocPos(svrType, svrIndx);
  if (pos < 0 || clntHandle < 1 || clntHandle > IPC_MAX_CLNTS) return nullptr;
  return &Cur().db.slots[pos][clntHandle - 1];
}

bool InUse(const IpcSvrLocation& loc) { return loc.hostKind != IPC_HOST_KIND_NONE; }

// A location whose node is a real remote node (1 to 99): the only ones
// that link, router and datagram operations may name.  A destroyed
// location (node 255) is on no node.
bool OnRemoteNode(const IpcSvrLocation& loc) { return loc.node != 0 && IpcNodeIndxValid(loc.node); }

bool HostKindsMatch(uint8_t a, uint8_t b) {
  if (a == b) return true;
  return a >= 4 && a <= 8 && b >= 4 && b <= 8;
}

// Common check of type and index: error 1 for the type, error 2 for an
// index not valid for a valid type.
bool CheckSvr(uint8_t svrType, uint8_t svrIndx) {
  if (!IpcSvrTypeValid(svrType)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
    return false;
  }
  if (!IpcSvrIndxValid(svrType, svrIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
    return false;
  }
  return true;
}

// Type, index and handle checks of the slot operations.
IpcClntSlot* CheckSlot(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) {
  if (!CheckSvr(svrType, svrIndx)) return nullptr;
  if (!IpcClntHandleValid(clntHandle)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_CLNT_HANDLE);
    return nullptr;
  }
  return Slot(svrType, svrIndx, clntHandle);
}

uint8_t& PartInUse(IpcClntSlot& s, IpcClntKind kind) {
  return kind == IpcClntKind::kComProc ? s.comProc.inUse : s.evnt.inUse;
}
uint8_t& PartNode(IpcClntSlot& s, IpcClntKind kind) {
  return kind == IpcClntKind::kComProc ? s.comProc.node : s.evnt.node;
}
uint8_t& PartNetHandle(IpcClntSlot& s, IpcClntKind kind) {
  return kind == IpcClntKind::kComProc ? s.comProc.netHandle : s.evnt.netHandle;
}
const char* PartVersion(const IpcClntSlot& s, IpcClntKind kind) {
  return kind == IpcClntKind::kComProc ? s.comProc.version : s.evnt.version;
}

void DestroyLocation(IpcSvrLocation& loc) {
  loc.hostKind = IPC_HOST_KIND_NONE;
  loc.hostHandle = 0;
  loc.node = IPC_NO_NET_NODE;
}

// The node whose link a client part of a server at `loc` needs: the
// server's when it is elsewhere, else the part's own (a proxy's); 0 when
// none does.
uint8_t LinkNodeOf(const IpcSvrLocation& loc, uint8_t partNode) {
  const uint8_t node = loc.node != 0 ? loc.node : partNode;
  return node != 0 && IpcNodeIndxValid(node) ? node : 0;
}

// A server's location moved away from `was` (destroyed, evicted or set on
// another node): the links that its client parts needed there are released
// once each, after the change, so the datagram layer keeps only those that
// another client still needs.  Destroying the parts later cannot do it: by
// then the location names another node or none.
void ReleaseFormerLinks(uint8_t svrType, uint8_t svrIndx, const IpcSvrLocation& was) {
  const IpcSvrLocation& now = *Loc(svrType, svrIndx);
  if (!InUse(was) || (InUse(now) && now.node == was.node)) return;
  bool released[IPC_MAX_NET_NODES] = {};
  for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h) {
    IpcClntSlot& s = *Slot(svrType, svrIndx, h);
    for (IpcClntKind kind : {IpcClntKind::kComProc, IpcClntKind::kEvnt}) {
      if (!PartInUse(s, kind)) continue;
      const uint8_t node = LinkNodeOf(was, PartNode(s, kind));
      if (node == 0 || released[node]) continue;
      released[node] = true;
      IpcDbPeersGet().LinkNotNeeded(node);
    }
  }
}

// IpcClntComProcCreate and IpcClntEvntCreate.
IpcErrCode ClntCreate(IpcClntKind kind, uint8_t svrType, uint8_t svrIndx, IpcClntEvntFn callback,
                      const char* version, uint8_t* clntHandle, intptr_t userValue) {
  IpcErrCtxSet(svrType, svrIndx);
  if (svrType == 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
    return IPC_ERR_SVR_TYPE;
  }
  if (svrIndx == 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
    return IPC_ERR_SVR_INDX;
  }
  if (!IpcVersionFormValid(version)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_VERSION);
    return IPC_ERR_VERSION;
  }
  if (clntHandle == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_CLNT_HANDLE);
    return IPC_ERR_CLNT_HANDLE;
  }
  if (!CheckSvr(svrType, svrIndx)) {
    return IpcSvrTypeValid(svrType) ? IPC_ERR_SVR_INDX : IPC_ERR_SVR_TYPE;
  }
  const IpcSvrLocation* loc = Loc(svrType, svrIndx);
  if (loc == nullptr) {
    IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_SVR_TYPE);
    return IPC_ERR_SVR_TYPE;
  }

  uint8_t handle = 0;
  for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h) {
    if (!PartInUse(*Slot(svrType, svrIndx, h), kind)) {
      handle = h;
      break;
    }
  }
  if (handle == 0) {
    IPC_REPORT(IPC_SEV_FAILURE, IPC_ERR_NO_FREE_CLNT);
    return IPC_ERR_NO_FREE_CLNT;
  }

  IpcClntSlot& s = *Slot(svrType, svrIndx, handle);
  if (kind == IpcClntKind::kComProc) {
    IpcVersionCopy(s.comProc.version, version);
    s.comProc.node = 0;
    s.comProc.netHandle = 0;
    s.comProc.inUse = 1;
  } else {
    IpcVersionCopy(s.evnt.version, version);
    s.evnt.node = 0;
    s.evnt.netHandle = 0;
    s.evnt.callback = callback;
    s.evnt.userValue = userValue;
    s.evnt.inUse = 1;
  }
  *clntHandle = handle;
  if (PartInUse(s, kind) != 1) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_TABLE);
    return IPC_ERR_TABLE;
  }
  if (OnRemoteNode(*loc)) IpcDbPeersGet().LinkNeeded(loc->node);
  return IPC_ERR_NONE;
}

// True when another in-use part of the kind of this server holds netHandle.
bool NetHandleShared(IpcClntKind kind, uint8_t svrType, uint8_t svrIndx, uint8_t except,
                     uint8_t netHandle) {
  for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h) {
    if (h == except) continue;
    IpcClntSlot& o = *Slot(svrType, svrIndx, h);
    if (PartInUse(o, kind) && PartNetHandle(o, kind) == netHandle) return true;
  }
  return false;
}

// IpcClntComProcDestroy and IpcClntEvntDestroy.
void ClntDestroy(IpcClntKind kind, uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) {
  IpcErrCtxSet(svrType, svrIndx);
  IpcClntSlot* s = CheckSlot(svrType, svrIndx, clntHandle);
  if (s == nullptr) return;
  if (!PartInUse(*s, kind)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return;
  }
  const IpcSvrLocation& loc = *Loc(svrType, svrIndx);
  const uint8_t slotNode = PartNode(*s, kind);
  const uint8_t netHandle = PartNetHandle(*s, kind);

  if (OnRemoteNode(loc) && slotNode == 0 && netHandle != 0 &&
      !NetHandleShared(kind, svrType, svrIndx, clntHandle, netHandle)) {
    IpcDbPeersGet().DetachReq(kind, loc.node, svrType, loc.hostHandle, loc.hostKind,
                              PartVersion(*s, kind), netHandle);
  }

  if (kind == IpcClntKind::kComProc) {
    std::memset(&s->comProc, kFreeFill, sizeof s->comProc);
    s->comProc.inUse = 0;
  } else {
    std::memset(&s->evnt, kFreeFill, sizeof s->evnt);
    s->evnt.inUse = 0;
  }
  if (PartInUse(*s, kind) != 0) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_TABLE);
    return;
  }

  const uint8_t linkNode = LinkNodeOf(loc, slotNode);
  if (linkNode != 0) IpcDbPeersGet().LinkNotNeeded(linkNode);
}

uint8_t ClntNetHandleGet(IpcClntKind kind, uint8_t svrType, uint8_t svrIndx,
                         uint8_t clntHandle) {
  IpcErrCtxSet(svrType, svrIndx);
  IpcClntSlot* s = CheckSlot(svrType, svrIndx, clntHandle);
  if (s == nullptr) return 0;
  if (!PartInUse(*s, kind)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return 0;
  }
  return PartNetHandle(*s, kind);
}

// The relation between the parts of a server and one node (IpcClntRelation).
uint8_t Relation(uint8_t svrType, uint8_t svrIndx, uint8_t node) {
  const IpcSvrLocation& loc = *Loc(svrType, svrIndx);
  const bool here = loc.node == 0;
  uint8_t rel = 0;
  for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h) {
    const IpcClntSlot& s = *Slot(svrType, svrIndx, h);
    if (s.evnt.inUse && s.evnt.node == node) {
      rel |= here ? (s.evnt.node == 0 ? IPC_CLNT_REL_EVNT_LOCAL_SVR : IPC_CLNT_REL_EVNT_PROXY)
                  : (s.evnt.netHandle == 0 ? IPC_CLNT_REL_EVNT_UNATTACHED
                                           : IPC_CLNT_REL_EVNT_ATTACHED);
    }
    if (s.comProc.inUse && s.comProc.node == node) {
      rel |= here ? (s.comProc.node == 0 ? IPC_CLNT_REL_COMPROC_LOCAL_SVR
                                         : IPC_CLNT_REL_COMPROC_PROXY)
                  : (s.comProc.netHandle == 0 ? IPC_CLNT_REL_COMPROC_UNATTACHED
                                              : IPC_CLNT_REL_COMPROC_ATTACHED);
    }
  }
  return rel;
}

// One kind of the attach pass for one remote server.
void AttachParts(IpcClntKind kind, uint8_t svrType, uint8_t svrIndx,
                 const IpcSvrLocation& loc) {
  for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h) {
    IpcClntSlot& s = *Slot(svrType, svrIndx, h);
    if (!PartInUse(s, kind) || PartNode(s, kind) != 0 || PartNetHandle(s, kind) != 0) continue;
    uint8_t shared = 0;
    for (uint8_t o = 1; o <= IPC_MAX_CLNTS; ++o) {
      IpcClntSlot& other = *Slot(svrType, svrIndx, o);
      if (o != h && PartInUse(other, kind) && PartNetHandle(other, kind) != 0) {
        shared = PartNetHandle(other, kind);
        break;
      }
    }
    if (shared != 0) {
      PartNetHandle(s, kind) = shared;
    } else {
      IpcDbPeersGet().AttachReq(kind, loc.node, svrType, loc.hostHandle, loc.hostKind,
                                PartVersion(s, kind));
    }
  }
}

// Calls f(svrType, svrIndx) for every server in table order.
template <typename F>
void ForEachSvr(F f) {
  for (uint8_t t : kSvrTypes) {
    const uint8_t max = IpcSvrMaxIndx(t);
    for (uint16_t i = 1; i <= max; ++i) f(t, static_cast<uint8_t>(i));
  }
}

}  // namespace

IpcDbPeers* IpcDbPeersInstall(IpcDbPeers* peers) {
  IpcDbPeers* prev = Cur().db.peers;
  Cur().db.peers = peers;
  return prev;
}

IpcDbPeers& IpcDbPeersGet() {
  static IpcDbPeers defaults;
  IpcDbPeers* p = Cur().db.peers;
  return p != nullptr ? *p : defaults;
}

// ---------------------------------------------------------------------
// Internal operations.

void IpcDbReset() {
  IpcDbState& db = Cur().db;
  std::memset(db.locs, 0, sizeof db.locs);
  std::memset(static_cast<void*>(db.slots), 0, sizeof db.slots);
}

const IpcSvrLocation* IpcSvrLocationGet(uint8_t svrType, uint8_t svrIndx) {
  return Loc(svrType, svrIndx);
}

bool IpcSvrIsLocal(uint8_t svrType, uint8_t svrIndx) {
  const IpcSvrLocation* loc = Loc(svrType, svrIndx);
  return loc != nullptr && InUse(*loc) && loc->node == 0;
}

uint8_t IpcSvrHostHandleFind(uint8_t svrType, uint8_t hostHandle, uint8_t hostKind,
                             uint8_t node) {
  if (!IpcSvrTypeValid(svrType)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
    return 0;
  }
  if (hostHandle == 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
    return 0;
  }
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return 0;
  }
  if (node == 0 && hostKind != IPC_HOST_KIND_LOCAL) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_HOST_KIND);
    return 0;
  }
  if (svrType == IPC_SVR_LOG || svrType == IPC_SVR_ROUTER) hostKind = IPC_HOST_KIND_LOCAL;
  const uint8_t max = IpcSvrMaxIndx(svrType);
  for (uint16_t i = 1; i <= max; ++i) {
    const IpcSvrLocation& loc = *Loc(svrType, static_cast<uint8_t>(i));
    if (InUse(loc) && loc.hostHandle == hostHandle && loc.node == node &&
        HostKindsMatch(loc.hostKind, hostKind)) {
      return static_cast<uint8_t>(i);
    }
  }
  return 0;
}

const IpcClntComProcPart* IpcClntComProcPartGet(uint8_t svrType, uint8_t svrIndx,
                                                uint8_t clntHandle) {
  IpcClntSlot* s = Slot(svrType, svrIndx, clntHandle);
  return s == nullptr ? nullptr : &s->comProc;
}

const IpcClntEvntPart* IpcClntEvntPartGet(uint8_t svrType, uint8_t svrIndx,
                                          uint8_t clntHandle) {
  IpcClntSlot* s = Slot(svrType, svrIndx, clntHandle);
  return s == nullptr ? nullptr : &s->evnt;
}

bool IpcClntNodeSet(IpcClntKind kind, uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle,
                    uint8_t node) {
  IpcClntSlot* s = CheckSlot(svrType, svrIndx, clntHandle);
  if (s == nullptr) return false;
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return false;
  }
  if (Loc(svrType, svrIndx)->node != 0) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return false;
  }
  if (!PartInUse(*s, kind)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return false;
  }
  if (kind == IpcClntKind::kEvnt && (node == 0) != (s->evnt.callback != nullptr)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return false;
  }
  PartNode(*s, kind) = node;
  if (node != 0) IpcDbPeersGet().LinkNeeded(node);
  return true;
}

bool IpcClntNetHandleSet(IpcClntKind kind, uint8_t svrType, uint8_t svrIndx,
                         uint8_t clntHandle, uint8_t netHandle) {
  IpcClntSlot* s = CheckSlot(svrType, svrIndx, clntHandle);
  if (s == nullptr) return false;
  if (!PartInUse(*s, kind)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return false;
  }
  if (netHandle > IPC_MAX_CLNTS) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_CLNT_HANDLE);
    return false;
  }
  PartNetHandle(*s, kind) = netHandle;
  return true;
}

uint8_t IpcClntFindByNode(IpcClntKind kind, uint8_t svrType, uint8_t svrIndx, uint8_t node) {
  if (LocPos(svrType, svrIndx) < 0) return 0;
  for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h) {
    IpcClntSlot& s = *Slot(svrType, svrIndx, h);
    if (PartInUse(s, kind) && PartNode(s, kind) == node) return h;
  }
  return 0;
}

bool IpcClntAnyRelation(uint8_t node) {
  bool found = false;
  ForEachSvr([&](uint8_t t, uint8_t i) {
    if (found) return;
    const IpcSvrLocation& loc = *Loc(t, i);
    uint8_t want;  // the node of the parts that make a relation
    if (InUse(loc) && loc.node == 0) {
      want = node;  // proxies on this PC's server
    } else if (node != 0 && loc.node == node) {
      want = 0;  // local clients of a server on the node
    } else {
      return;
    }
    for (uint8_t h = 1; h <= IPC_MAX_CLNTS && !found; ++h) {
      const IpcClntSlot& s = *Slot(t, i, h);
      found = (s.comProc.inUse && s.comProc.node == want) || (s.evnt.inUse && s.evnt.node == want);
    }
  });
  return found;
}

void IpcClntAttachPass() {
  ForEachSvr([](uint8_t t, uint8_t i) {
    const IpcSvrLocation& loc = *Loc(t, i);
    if (!InUse(loc) || !OnRemoteNode(loc)) return;
    if (IpcNetNodeLinkStatusGet(loc.node) != IPC_LINK_STATUS_OK) return;
    if (IpcNetNodeStatusGet(loc.node) != IPC_NODE_STATUS_ONLINE) return;
    const IpcSvrLocation copy = loc;  // the requests may move the location
    AttachParts(IpcClntKind::kComProc, t, i, copy);
    AttachParts(IpcClntKind::kEvnt, t, i, copy);
  });
}

void IpcClntLinkClosed(uint8_t node) {
  if (node == 0 || !IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  ForEachSvr([node](uint8_t t, uint8_t i) {
    if (Loc(t, i)->node != node) return;
    for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h) {
      IpcClntSlot& s = *Slot(t, i, h);
      if (s.comProc.inUse) s.comProc.netHandle = 0;
      if (s.evnt.inUse) s.evnt.netHandle = 0;
    }
  });
  ForEachSvr([node](uint8_t t, uint8_t i) {
    if (!IpcSvrIsLocal(t, i)) return;
    for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h) {
      IpcClntSlot& s = *Slot(t, i, h);
      if (s.evnt.inUse && s.evnt.node == node) IpcClntEvntDestroy(t, i, h);
      if (s.comProc.inUse && s.comProc.node == node) IpcClntComProcDestroy(t, i, h);
    }
  });
}

void IpcEvntDeliver(const IpcEvntHdr* event, uint8_t selNode, uint8_t selClnt) {
  if (event->length > IPC_MAX_MSG_LEN) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_MSG_LEN);
    return;
  }
  if (!IpcSvrTypeValid(event->svrType)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_SVR_TYPE);
    return;
  }
  if (!IpcEvntCodeValid(event->svrType, event->evntCode)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_EVNT_CODE);
    return;
  }
  if (event->hostKind == IPC_HOST_KIND_NONE) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_HOST_KIND);
    return;
  }
  const uint8_t t = event->svrType;
  const uint8_t i = event->svrIndx;
  if (LocPos(t, i) < 0) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_SVR_INDX);
    return;
  }

  // Remote clients first, each with its own copy; then the local ones.
  for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h) {
    const IpcClntEvntPart& p = Slot(t, i, h)->evnt;
    if (!p.inUse || p.node == 0 || !IpcNodeIndxValid(p.node)) continue;
    if (selClnt == 0 || (selNode != 0 && selNode == p.node)) {
      IpcDbPeersGet().EvntSend(p.node, event);
    }
  }
  for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h) {
    const IpcClntEvntPart& p = Slot(t, i, h)->evnt;
    if (!p.inUse || p.node != 0) continue;
    if (selClnt != 0 && !(selNode == 0 && h == selClnt)) continue;
    if (p.callback == nullptr) {
      IPC_REPORT(IPC_SEV_STATE, IPC_ERR_NO_CALLBACK);
      continue;
    }
    if (t == IPC_SVR_ROUTER) {
      p.callback(event, p.userValue);
    } else {
      // A host's callback reports for itself.
      IpcRxSenderPause pause;
      p.callback(event, p.userValue);
    }
  }
}

}  // namespace ipc

// ---------------------------------------------------------------------
// Exports.

extern "C" {

void IpcSvrLocationSet(uint8_t svrType, uint8_t svrIndx, uint8_t hostKind, uint8_t hostHandle,
                       uint8_t netNodeIndx, int32_t a, int32_t b, int32_t c, int32_t d) {
  using namespace ipc;
  IpcErrCtxSet(svrType, svrIndx);
  if (!CheckSvr(svrType, svrIndx)) return;
  if (hostHandle == 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
    return;
  }
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  if (netNodeIndx == 0 && hostKind != IPC_HOST_KIND_LOCAL) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_HOST_KIND);
    return;
  }
  const bool allZero = a == 0 && b == 0 && c == 0 && d == 0;
  const bool allSet = a != 0 && b != 0 && c != 0 && d != 0;
  if (!allZero && !allSet) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_LOCATION_ARGS);
    return;
  }
  // One location is held by one index only.
  const uint8_t other = IpcSvrHostHandleFind(svrType, hostHandle, hostKind, netNodeIndx);
  const bool evicts = other != 0 && other != svrIndx;
  const IpcSvrLocation otherWas = evicts ? *Loc(svrType, other) : IpcSvrLocation{};
  if (evicts) DestroyLocation(*Loc(svrType, other));
  IpcSvrLocation& loc = *Loc(svrType, svrIndx);
  const IpcSvrLocation was = loc;
  loc.hostKind = hostKind;
  loc.hostHandle = hostHandle;
  loc.node = netNodeIndx;
  if (evicts) ReleaseFormerLinks(svrType, other, otherWas);
  ReleaseFormerLinks(svrType, svrIndx, was);
}

void IpcSvrLocationDestroy(uint8_t svrType, uint8_t svrIndx) {
  using namespace ipc;
  IpcErrCtxSet(svrType, svrIndx);
  if (!CheckSvr(svrType, svrIndx)) return;
  IpcSvrLocation& loc = *Loc(svrType, svrIndx);
  const IpcSvrLocation was = loc;
  DestroyLocation(loc);
  ReleaseFormerLinks(svrType, svrIndx, was);
}

uint8_t IpcSvrHostHandleGet(uint8_t svrType, uint8_t hostHandle, uint8_t hostKind,
                            uint8_t netNodeIndx) {
  ipc::IpcErrCtxSet(svrType, hostHandle);
  return ipc::IpcSvrHostHandleFind(svrType, hostHandle, hostKind, netNodeIndx);
}

uint16_t IpcSvrNetNodeInfoGet(uint8_t netNodeIndx, uint8_t* svrTypes, uint8_t* hostHandles,
                              uint16_t capacity) {
  using namespace ipc;
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return 0;
  }
  if (svrTypes == nullptr || hostHandles == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return 0;
  }
  uint16_t count = 0;
  ForEachSvr([&](uint8_t t, uint8_t i) {
    const IpcSvrLocation& loc = *Loc(t, i);
    if (count >= capacity || !InUse(loc) || loc.node != netNodeIndx) return;
    svrTypes[count] = t;
    hostHandles[count] = loc.hostHandle;
    ++count;
  });
  return count;
}

uint16_t IpcClntNetNodeInfoGet(uint8_t netNodeIndx, uint8_t* svrTypes, uint8_t* hostHandles,
                               IpcClntRelation* relations, uint16_t capacity) {
  using namespace ipc;
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return 0;
  }
  if (svrTypes == nullptr || hostHandles == nullptr || relations == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return 0;
  }
  uint16_t count = 0;
  ForEachSvr([&](uint8_t t, uint8_t i) {
    const IpcSvrLocation& loc = *Loc(t, i);
    if (count >= capacity || !InUse(loc)) return;
    uint8_t rel = 0;
    if (loc.node == 0) {
      rel = Relation(t, i, netNodeIndx);
    } else if (loc.node == netNodeIndx) {
      rel = Relation(t, i, 0);
    }
    if (rel == 0) return;
    svrTypes[count] = t;
    hostHandles[count] = loc.hostHandle;
    relations[count] = rel;
    ++count;
  });
  return count;
}

IpcErrCode IpcClntComProcCreate(uint8_t svrType, uint8_t svrIndx, const char* version,
                                uint8_t* clntHandle) {
  return ipc::ClntCreate(IpcClntKind::kComProc, svrType, svrIndx, nullptr, version, clntHandle,
                         0);
}

IpcErrCode IpcClntEvntCreate(uint8_t svrType, uint8_t svrIndx, IpcClntEvntFn callback,
                             const char* version, uint8_t* clntHandle, intptr_t userValue) {
  return ipc::ClntCreate(IpcClntKind::kEvnt, svrType, svrIndx, callback, version, clntHandle,
                         userValue);
}

void IpcClntComProcDestroy(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) {
  ipc::ClntDestroy(IpcClntKind::kComProc, svrType, svrIndx, clntHandle);
}

void IpcClntEvntDestroy(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) {
  ipc::ClntDestroy(IpcClntKind::kEvnt, svrType, svrIndx, clntHandle);
}

uint8_t IpcClntComProcNetHandleGet(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) {
  return ipc::ClntNetHandleGet(IpcClntKind::kComProc, svrType, svrIndx, clntHandle);
}

uint8_t IpcClntEvntNetHandleGet(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) {
  return ipc::ClntNetHandleGet(IpcClntKind::kEvnt, svrType, svrIndx, clntHandle);
}

}  // extern "C"
