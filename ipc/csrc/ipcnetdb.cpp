// Module ipcnetdb: the table of net nodes.
#include "ipcnetdb.h"

#include <cstring>

#include "ipccheck.h"
#include "ipcinst.h"
#include "ipcnet.h"
#include "ipcproc.h"
#include "ipcroutr.h"
#include "ipctcpip.h"

namespace ipc {
namespace {

constexpr char kIpcModuleFile[] = "ipcnetdb.c";

IpcNetNodeEntry* Nodes() { return Cur().netdb.nodes; }

// Length of a name if it has at most 8 characters, else -1.  Reads at most
// 9 bytes.
int NameLen(const char* name) {
  if (name == nullptr) return -1;
  const size_t n = strnlen(name, IPC_MAX_NODE_NAME + 1);
  return n > IPC_MAX_NODE_NAME ? -1 : static_cast<int>(n);
}

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Names compare letter case folded in ASCII, whatever the locale.
bool NameEquals(const char* stored, const char* name) {
  for (int i = 0; i < IPC_NODE_NAME_SIZE; ++i) {
    if (FoldAscii(stored[i]) != FoldAscii(name[i])) return false;
    if (stored[i] == '\0') return true;
  }
  return true;
}

// Index of the used entry with that name (at most 8 characters), or 255.
uint8_t FindName(const char* name) {
  for (uint8_t i = 0; i < IPC_MAX_NET_NODES; ++i) {
    if (Nodes()[i].inUse && NameEquals(Nodes()[i].name, name)) return i;
  }
  return IPC_NO_NET_NODE;
}

uint8_t FindAddr(uint32_t addr) {
  if (addr == 0) return Nodes()[0].inUse ? 0 : IPC_NO_NET_NODE;
  for (uint8_t i = 0; i < IPC_MAX_NET_NODES; ++i) {
    if (Nodes()[i].inUse && Nodes()[i].addr == addr) return i;
  }
  return IPC_NO_NET_NODE;
}

void StoreName(IpcNetNodeEntry& e, const char* name, int len) {
  std::memset(e.name, 0, sizeof e.name);
  std::memcpy(e.name, name, static_cast<size_t>(len));
}

// The checks every setter starts with: index (10), entry in use (12).
IpcNetNodeEntry* UsedEntry(uint8_t node) {
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return nullptr;
  }
  IpcNetNodeEntry& e = Nodes()[node];
  if (!e.inUse) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return nullptr;
  }
  return &e;
}

// Quiet lookup for the getters that answer a default.
const IpcNetNodeEntry* UsedEntryQuiet(uint8_t node) {
  if (!IpcNodeIndxValid(node) || !Nodes()[node].inUse) return nullptr;
  return &Nodes()[node];
}

// Node type display codes, index = node type; 0 and 25 and above have none.
constexpr char kNodeTypeCodes[25][IPC_NODE_TYPE_STR_SIZE] = {
    "????", "TY01", "TY02", "TY03", "TY04", "TY05", "TY06", "TY07", "TY08",
    "TY09", "TY10", "TY11", "TY12", "TY13", "TY14", "TY15", "TY16", "TY17",
    "TY18", "TY19", "TY20", "TY21", "TY22", "TY23", "TY24"};

}  // namespace

void IpcNetdbReset() {
  IpcNetdbState& s = Cur().netdb;
  std::memset(s.nodes, 0, sizeof s.nodes);
  s.subnetMask = kIpcSubnetMask;
}

bool IpcNetNodeInUse(uint8_t node) { return UsedEntryQuiet(node) != nullptr; }

uint8_t IpcNetNodeFreeIndxFind() {
  for (uint8_t i = 1; i < IPC_MAX_NET_NODES; ++i) {
    if (!Nodes()[i].inUse) return i;
  }
  return IPC_NO_NET_NODE;
}

uint32_t IpcNetNodeFeaturesFor(uint8_t nodeType) {
  switch (nodeType) {
    case 1: case 2: case 3: case 6: case 7: case 18:
      return 1033;
    case 4: case 8:
      return 1034;
    case 21: case 22:
      return 8;
    default:
      return 0;
  }
}

bool IpcNetNodeInfoSet(uint8_t node, const char* name, std::optional<uint32_t> addr,
                       std::optional<uint8_t> nodeType) {
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return false;
  }
  const int nameLen = name != nullptr ? NameLen(name) : 0;
  if (nameLen < 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_NAME);
    return false;
  }
  if (addr && *addr == 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_ADDR);
    return false;
  }
  if (nodeType && !IpcNodeTypeValid(*nodeType)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_TYPE);
    return false;
  }
  IpcNetNodeEntry& e = Nodes()[node];
  if (!e.inUse) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return false;
  }
  if (name != nullptr) {
    const uint8_t other = FindName(name);
    if (other != IPC_NO_NET_NODE && other != node) {
      IPC_REPORT(IPC_SEV_STATE, IPC_ERR_NODE_NAME);
      return false;
    }
  }
  if (addr) {
    const uint8_t other = FindAddr(*addr);
    if (other != IPC_NO_NET_NODE && other != node) {
      IPC_REPORT(IPC_SEV_STATE, IPC_ERR_NODE_ADDR);
      return false;
    }
  }
  if (name != nullptr) StoreName(e, name, nameLen);
  if (addr) e.addr = *addr;
  if (nodeType) {
    e.nodeType = *nodeType;
    e.features = IpcNetNodeFeaturesFor(*nodeType);
  }
  return true;
}

bool IpcNetNodeDelete(uint8_t node) {
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return false;
  }
  IpcNetNodeEntry& e = Nodes()[node];
  if (!e.inUse) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return false;
  }
  // The datagram layer closes the link while it can still see the entry.
  if (e.linkStatus == IPC_LINK_STATUS_OK || e.linkStatus == IPC_LINK_STATUS_UNLINK_WAIT) {
    IpcNetLinkClose(node);
  }
  std::memset(&e, 0xCC, sizeof e);
  e.inUse = 0;
  if (Nodes()[node].inUse) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_TABLE);
    return false;
  }
  return true;
}

void IpcNetNodeFeaturesGet(uint8_t node, uint8_t out[4]) {
  const IpcNetNodeEntry* e = UsedEntryQuiet(node);
  const uint32_t f = e != nullptr ? e->features : 0;
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(f >> (8 * i));
}

void IpcNetNodeFeaturesAnnounced(uint8_t node, uint32_t features) {
  IpcNetNodeEntry* e = UsedEntry(node);
  if (e != nullptr && features < 4096) e->features = features;
}

bool IpcNetNodeStatusSet(uint8_t node, uint8_t status) {
  if (!IpcNodeStatusValid(status)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_STATUS);
    return false;
  }
  IpcNetNodeEntry* e = UsedEntry(node);
  if (e == nullptr) return false;
  e->lastHeard = IpcCurrentTime;
  if (e->status == status) return true;
  e->status = status;
  IpcRouterNodeStatusEvnt(node, status);
  if (status == IPC_NODE_STATUS_OFFLINE) {
    IpcNetTxFlush(node);
    // The calls above may have changed the table: read the entry again.
    const uint8_t link = Nodes()[node].linkStatus;
    if (Nodes()[node].inUse && link != IPC_LINK_STATUS_NONE && link != IPC_LINK_STATUS_LINK_WAIT) {
      IpcRouterLinkCloseReq(node);
    }
  }
  return true;
}

bool IpcNetNodeLinkStatusSet(uint8_t node, uint8_t linkStatus) {
  if (!IpcLinkStatusValid(linkStatus)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_LINK_STATUS);
    return false;
  }
  IpcNetNodeEntry* e = UsedEntry(node);
  if (e == nullptr) return false;
  if (linkStatus == IPC_LINK_STATUS_ERROR || linkStatus == IPC_LINK_STATUS_BROKEN) {
    if (IpcSockErrorGet(node, nullptr) == 0) IpcSockErrorSet(node, linkStatus, "LinkStatus");
    return true;
  }
  if (e->linkStatus == linkStatus) return true;
  e->linkStatus = linkStatus;
  IpcRouterLinkStatusEvnt(node, linkStatus);
  return true;
}

bool IpcNetNodeSockIndxSet(uint8_t node, uint8_t sockIndx) {
  if (!IpcSockIndxValid(sockIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SOCKET);
    return false;
  }
  IpcNetNodeEntry* e = UsedEntry(node);
  if (e == nullptr) return false;
  e->sockIndx = sockIndx;
  return true;
}

uint8_t IpcNetNodeSockIndxGet(uint8_t node) {
  const IpcNetNodeEntry* e = UsedEntryQuiet(node);
  return e != nullptr ? e->sockIndx : 0;
}

bool IpcNetNodeVersionSet(uint8_t node, const char* version) {
  if (!IpcVersionValid(version)) {
    if (version != nullptr) IPC_REPORT(IPC_SEV_ARG, IPC_ERR_VERSION);
    return false;
  }
  if (!IpcNetNodeInUse(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return false;
  }
  IpcVersionCopy(Nodes()[node].version, version);
  return true;
}

bool IpcNetNodeStartTimeSet(uint8_t node, IpcTime startTime) {
  IpcNetNodeEntry* e = UsedEntry(node);
  if (e == nullptr) return false;
  e->startTime = startTime;
  e->lastHeard = IpcCurrentTime;
  return true;
}

IpcTime IpcNetNodeStartTimeGet(uint8_t node) {
  const IpcNetNodeEntry* e = UsedEntryQuiet(node);
  return e != nullptr ? e->startTime : IpcCurrentTime;
}

IpcTime IpcNetNodeLastHeardGet(uint8_t node) {
  const IpcNetNodeEntry* e = UsedEntryQuiet(node);
  return e != nullptr ? e->lastHeard : IpcCurrentTime;
}

uint16_t IpcNetNodeSilenceTimeoutGet(uint8_t node) {
  const IpcNetNodeEntry* e = UsedEntryQuiet(node);
  return e != nullptr ? e->silenceTimeout : kIpcDefaultSilenceTimeout;
}

bool IpcNetNodeSilenceTimeoutSet(uint8_t node, uint16_t hundredths) {
  IpcNetNodeEntry* e = UsedEntry(node);
  if (e == nullptr) return false;
  e->silenceTimeout = hundredths;
  return true;
}

bool IpcNetNodeEtherAddrSet(uint8_t node, const uint8_t* etherAddr) {
  IpcNetNodeEntry* e = UsedEntry(node);
  if (e == nullptr) return false;
  if (etherAddr == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return false;
  }
  std::memcpy(e->etherAddr, etherAddr, IPC_ETHER_ADDR_SIZE);
  return true;
}

bool IpcNetNodeDuplicateSet(uint8_t node, bool found) {
  IpcNetNodeEntry* e = UsedEntry(node);
  if (e == nullptr) return false;
  e->duplicateFound = found ? 1 : 0;
  return true;
}

}  // namespace ipc

using namespace ipc;

extern "C" {

uint8_t IpcNetNodeInfoCreate(uint8_t netNodeIndx, const char* name, uint32_t addr,
                             uint8_t nodeType) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return IPC_NO_NET_NODE;
  }
  const int nameLen = NameLen(name);
  if (nameLen < 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_NAME);
    return IPC_NO_NET_NODE;
  }
  if (addr == 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_ADDR);
    return IPC_NO_NET_NODE;
  }
  if (!IpcNodeTypeValid(nodeType)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_TYPE);
    return IPC_NO_NET_NODE;
  }
  IpcNetNodeEntry& e = Nodes()[netNodeIndx];
  if (e.inUse) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return IPC_NO_NET_NODE;
  }
  if (FindAddr(addr) != IPC_NO_NET_NODE) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_NODE_ADDR);
    return IPC_NO_NET_NODE;
  }
  if (FindName(name) != IPC_NO_NET_NODE) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_NODE_NAME);
    return IPC_NO_NET_NODE;
  }

  std::memset(&e, 0, sizeof e);
  StoreName(e, name, nameLen);
  e.nodeType = nodeType;
  e.features = IpcNetNodeFeaturesFor(nodeType);
  e.addr = addr;
  e.status = IPC_NODE_STATUS_OFFLINE;
  e.linkStatus = IPC_LINK_STATUS_NONE;
  e.sockIndx = 0;
  e.silenceTimeout = Nodes()[0].inUse ? Nodes()[0].silenceTimeout : kIpcDefaultSilenceTimeout;
  e.inUse = 1;
  if (netNodeIndx == 0) {
    IpcSockEtherAddrGet(e.etherAddr);
    IpcVersionCopy(e.version, IPC_VERSION_DATE);
  }
  if (FindName(name) != netNodeIndx || FindAddr(addr) != netNodeIndx) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_TABLE);
    return IPC_NO_NET_NODE;
  }
  return netNodeIndx;
}

uint8_t IpcNetNodeInfoGet(uint8_t netNodeIndx, char* name, uint32_t* addr, uint8_t* nodeType,
                          IpcNetNodeStatus* status, IpcNetNodeLinkStatus* linkStatus) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return 0;
  }
  const IpcNetNodeEntry& e = Nodes()[netNodeIndx];
  // A free entry answers with empty values.
  const bool used = e.inUse != 0;
  if (name != nullptr) {
    if (used) {
      std::memcpy(name, e.name, IPC_NODE_NAME_SIZE);
    } else {
      std::memset(name, 0, IPC_NODE_NAME_SIZE);
    }
  }
  if (addr != nullptr) *addr = used ? e.addr : 0;
  if (nodeType != nullptr) *nodeType = used ? e.nodeType : 0;
  if (status != nullptr) *status = used ? e.status : 0;
  if (linkStatus != nullptr) *linkStatus = used ? e.linkStatus : 0;
  return used ? 1 : 0;
}

void IpcNetNodeNameGet(uint8_t netNodeIndx, char* name) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  if (name == nullptr) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return;
  }
  const IpcNetNodeEntry& e = Nodes()[netNodeIndx];
  if (!e.inUse) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return;
  }
  std::memcpy(name, e.name, IPC_NODE_NAME_SIZE);
}

uint32_t IpcNetNodeAddrGet(uint8_t netNodeIndx) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  const IpcNetNodeEntry* e = UsedEntry(netNodeIndx);
  return e != nullptr ? e->addr : 0;
}

IpcNetNodeStatus IpcNetNodeStatusGet(uint8_t netNodeIndx) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return 0;
  }
  const IpcNetNodeEntry& e = Nodes()[netNodeIndx];
  return e.inUse ? e.status : 0;
}

IpcNetNodeLinkStatus IpcNetNodeLinkStatusGet(uint8_t netNodeIndx) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return 0;
  }
  const IpcNetNodeEntry& e = Nodes()[netNodeIndx];
  return e.inUse ? e.linkStatus : 0;
}

void IpcNetNodeEtherAddrGet(uint8_t netNodeIndx, uint8_t* etherAddr) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  if (etherAddr == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return;
  }
  const IpcNetNodeEntry& e = Nodes()[netNodeIndx];
  if (!e.inUse) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return;
  }
  std::memcpy(etherAddr, e.etherAddr, IPC_ETHER_ADDR_SIZE);
}

void IpcNetNodeVersionGet(uint8_t netNodeIndx, char* version) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  if (version == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_VERSION);
    return;
  }
  const IpcNetNodeEntry& e = Nodes()[netNodeIndx];
  if (!e.inUse) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  std::memcpy(version, e.version, IPC_VERSION_SIZE);
}

uint8_t IpcNetNodeDuplicateFoundGet(uint8_t netNodeIndx) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return 0;
  }
  const IpcNetNodeEntry& e = Nodes()[netNodeIndx];
  if (!e.inUse) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return 0;
  }
  return e.duplicateFound ? 1 : 0;
}

uint8_t IpcNetNodeNameExists(const char* name) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (NameLen(name) < 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_NAME);
    return IPC_NO_NET_NODE;
  }
  return FindName(name);
}

uint8_t IpcNetNodeAddrExists(uint32_t addr) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  return FindAddr(addr);
}

uint32_t IpcNetNodeSubNetMaskGet(void) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  return Cur().netdb.subnetMask;
}

uint32_t IpcNetAddrMake(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) |
         (static_cast<uint32_t>(c) << 8) | d;
}

uint8_t IpcNetAddrSplit(uint32_t addr, uint8_t* a, uint8_t* b, uint8_t* c, uint8_t* d) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (a == nullptr || b == nullptr || c == nullptr || d == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return 0;
  }
  *a = static_cast<uint8_t>(addr >> 24);
  *b = static_cast<uint8_t>(addr >> 16);
  *c = static_cast<uint8_t>(addr >> 8);
  *d = static_cast<uint8_t>(addr);
  return *a;
}

uint8_t IpcGetMaxNetNodeIndx(void) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  return IPC_MAX_NET_NODES;
}

char* IpcNodeTypeStrGet(uint8_t nodeType, char* text) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (text == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return nullptr;
  }
  const char* code = nodeType < 25 ? kNodeTypeCodes[nodeType] : kNodeTypeCodes[0];
  std::memcpy(text, code, IPC_NODE_TYPE_STR_SIZE);
  return text;
}

}  // extern "C"
