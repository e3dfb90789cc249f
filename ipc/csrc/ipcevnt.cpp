// Module ipcevnt: the inbound event ring and IpcEvntDespatch, and the
// routing of com-proc requests (IpcComProc), whose reports carry the module
// name "ipcproc".
#include "ipcevnt.h"

#include <cstring>

#include "ipccheck.h"
#include "ipcdb.h"
#include "ipcinst.h"
#include "ipcproc.h"
#include "ipcroutr.h"
#include "tessio32.h"

namespace ipc {
namespace {

constexpr char kIpcModuleFile[] = "ipcevnt.c";
constexpr char kComProcFile[] = "ipcproc.c";

#define IPC_COMPROC_REPORT(severity, errCode) \
  ::ipc::IpcReport((severity), (errCode), kComProcFile, static_cast<uint16_t>(__LINE__))

constexpr uint8_t kFreeFill = 0xCC;
constexpr size_t kReadyMark = offsetof(IpcEvntHdr, reserved);  // byte 17
constexpr uint16_t kMinEvntLen = sizeof(IpcEvntHdr);            // 18
constexpr uint16_t kMinComProcLen = sizeof(IpcComProcHdr);      // 16

// A node announcement carries the announcing node's address at offset 22;
// one too short to hold it is not an announcement.
constexpr size_t kAnnounceSrcAddr = 22;
constexpr uint16_t kMinAnnounceLen = kAnnounceSrcAddr + 4;  // 26

uint16_t Next(uint16_t pos) { return static_cast<uint16_t>((pos + 1) % kIpcEvntRingSlots); }

uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// An announcement of another node (or of a node not in the table): those
// give way to every other event when the ring is full.  bytes holds at
// least the event's own length, which is 18 or more.
bool IsForeignAnnounce(const uint8_t* bytes) {
  const uint16_t length = ReadU16(bytes + offsetof(IpcEvntHdr, length));
  if (length < kMinAnnounceLen) return false;
  if (bytes[offsetof(IpcEvntHdr, svrType)] != IPC_SVR_ROUTER) return false;
  if (ReadU16(bytes + offsetof(IpcEvntHdr, evntCode)) != kIpcRouterEvntNodeStatus) return false;
  return IpcNetNodeAddrExists(ReadU32(bytes + kAnnounceSrcAddr)) != 0;
}

}  // namespace

void IpcEvntReset() {
  IpcEvntState& s = Cur().evnt;
  std::memset(static_cast<void*>(s.slots), kFreeFill, sizeof s.slots);
  s.head = 0;
  s.tail = 0;
  s.busy = 0;
  ++s.resets;
  s.droppedFull = 0;
  s.displacedAnnounce = 0;
  s.droppedUnresolved = 0;
}

int IpcEvntQueued() {
  const IpcEvntState& s = Cur().evnt;
  return (s.tail + kIpcEvntRingSlots - s.head) % kIpcEvntRingSlots;
}

int IpcEvntRoom() { return kIpcEvntRingSlots - 1 - IpcEvntQueued(); }

bool IpcEvntQueue(IpcEvntHdr* event, uint8_t srcNode, uint8_t selNode, uint8_t selClnt,
                  bool* full) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (full != nullptr) *full = false;
  if (event == nullptr) {
    IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_NULL_EVNT);
    return false;
  }
  const uint16_t length = event->length;
  if (length < kMinEvntLen || length > IPC_MAX_MSG_LEN) {
    IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_MSG_LEN);
    return false;
  }
  event->svrIndx =
      IpcSvrHostHandleFind(event->svrType, event->hostHandle, event->hostKind, srcNode);
  IpcEvntState& s = Cur().evnt;
  if (event->svrIndx == 0) {
    ++s.droppedUnresolved;
    return false;
  }

  if (Next(s.tail) == s.head) {
    // Full.  Nothing displaces the slot being delivered, and an
    // announcement gives way to everything else.
    if (s.busy || IsForeignAnnounce(reinterpret_cast<const uint8_t*>(event)) ||
        !IsForeignAnnounce(s.slots[s.head].data)) {
      ++s.droppedFull;
      if (full != nullptr) *full = true;
      return false;
    }
    std::memset(&s.slots[s.head], kFreeFill, sizeof s.slots[s.head]);
    s.head = Next(s.head);
    ++s.displacedAnnounce;
  }

  IpcEvntSlot& slot = s.slots[s.tail];
  slot.data[kReadyMark] = 0;
  s.tail = Next(s.tail);
  event->reserved = 0;
  std::memcpy(slot.data, event, length);
  slot.selNode = selNode;
  slot.selClnt = selClnt;
  slot.from = IpcRxSenderCurrent();
  slot.data[kReadyMark] = 1;
  return true;
}

int IpcComProcRoute(IpcComProcHdr* request) {
  if (request == nullptr || request->length > IPC_MAX_MSG_LEN) {
    return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_NULL_COMPROC);
  }
  if (request->length < kMinComProcLen) return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_MSG_LEN);
  const uint8_t t = request->svrType;
  const uint8_t i = request->svrIndx;
  if (!IpcSvrTypeValid(t)) return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
  IpcErrCtxSet(t, i);
  if (!IpcSvrIndxValid(t, i) || request->hostHandle == 0) {
    return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
  }
  if (request->procId == 0) return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_PROC_ID);
  if (!IpcClntHandleValid(request->clntHandle)) {
    return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_CLNT_HANDLE);
  }
  const IpcClntComProcPart* part = IpcClntComProcPartGet(t, i, request->clntHandle);
  if (part == nullptr || !part->inUse) return IPC_COMPROC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);

  const IpcSvrLocation& loc = *IpcSvrLocationGet(t, i);
  if (loc.node != 0) {
    // A destroyed location (node 255) is served nowhere.
    if (!IpcNodeIndxValid(loc.node)) return IPC_COMPROC_REPORT(IPC_SEV_STATE, IPC_ERR_HOST_KIND);
    return IpcDbPeersGet().ComProcSend(loc.node, request);
  }
  if (request->hostKind == IPC_HOST_KIND_LOCAL) return IpcDbPeersGet().SvcDeliver(request);
  return IPC_COMPROC_REPORT(IPC_SEV_STATE, IPC_ERR_HOST_KIND);
}

}  // namespace ipc

extern "C" {

int IpcComProc(IpcComProcHdr* request) {
  using namespace ipc;
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (request == nullptr) return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_NULL_COMPROC);
  // A request shorter than its own header would be read as a full one.
  if (request->length > IPC_MAX_MSG_LEN || request->length < kMinComProcLen) {
    return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_MSG_LEN);
  }
  const uint8_t t = request->svrType;
  const uint8_t i = request->svrIndx;
  if (!IpcSvrTypeValid(t)) return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
  IpcErrCtxSet(t, i);
  if (!IpcSvrIndxValid(t, i)) return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
  if (request->procId == 0) return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_PROC_ID);
  if (!IpcClntHandleValid(request->clntHandle)) {
    return IPC_COMPROC_REPORT(IPC_SEV_ARG, IPC_ERR_CLNT_HANDLE);
  }
  const IpcClntComProcPart& part = *IpcClntComProcPartGet(t, i, request->clntHandle);
  if (!part.inUse) return IPC_COMPROC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);

  const IpcSvrLocation& loc = *IpcSvrLocationGet(t, i);
  request->hostKind = loc.hostKind;
  request->hostHandle = loc.hostHandle;
  std::memcpy(request->version, part.version, IPC_VERSION_SIZE);
  return IpcComProcRoute(request);
}

uint8_t IpcEvntDespatch(void) {
  using namespace ipc;
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  IpcEvntState& s = Cur().evnt;
  // A despatch from inside a callback would deliver the slot in progress
  // again (and the ones behind it out of turn).
  if (s.busy) return 0;
  if (s.head == s.tail) return 0;
  s.busy = 1;
  IpcEvntSlot& slot = s.slots[s.head];
  if (slot.data[kReadyMark] != 1) {
    s.busy = 0;
    return 0;
  }
  const auto* e = reinterpret_cast<const IpcEvntHdr*>(slot.data);
  IpcErrCtxSet(e->svrType, e->hostHandle);
  const uint32_t resets = s.resets;
  // What an event from the network fails at delivery names its sender.
  IpcRxSenderScope sender(slot.from);
  if (e->length > IPC_MAX_MSG_LEN) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_MSG_LEN);
  } else if (!IpcSvrTypeValid(e->svrType)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_SVR_TYPE);
  } else if (!IpcEvntCodeValid(e->svrType, e->evntCode)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_EVNT_CODE);
  } else if (e->hostKind == IPC_HOST_KIND_NONE) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_HOST_KIND);
  } else if (e->svrIndx == 0) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_SVR_INDX);
  } else {
    IpcEvntDeliver(e, slot.selNode, slot.selClnt);
  }
  // A callback that restarted the library left a fresh, empty ring.
  IpcEvntState& now = Cur().evnt;
  if (now.resets == resets) {
    now.head = Next(now.head);
    now.busy = 0;
  }
  return 1;
}

}  // extern "C"
