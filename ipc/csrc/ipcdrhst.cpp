// Local delivery: com-procs for a server of this process reach its
// registered procedure function here, and local servers raise their events
// here (IpcEvnt, IpcEvntSelectedSend) on their way into the event ring.
#include "ipcdrhst.h"

#include <cstring>

#include "ipccheck.h"
#include "ipcdrdb.h"
#include "ipcevnt.h"
#include "ipcinst.h"
#include "ipcproc.h"

namespace ipc {
namespace {

constexpr char kIpcModuleFile[] = "ipcdrhst.c";

IpcEvntRaiseTap g_raiseTap = nullptr;

// Keeps the caller's error context across an operation that sets its own.
class ErrCtxRestore {
 public:
  ErrCtxRestore() : type_(IpcErrCtxSvrType()), indx_(IpcErrCtxSvrIndx()) {}
  ~ErrCtxRestore() { IpcErrCtxSet(type_, indx_); }
  ErrCtxRestore(const ErrCtxRestore&) = delete;
  ErrCtxRestore& operator=(const ErrCtxRestore&) = delete;

 private:
  uint8_t type_;
  uint8_t indx_;
};

// A valid index of the type (the type itself already checked).  Quiet.
bool IndxFits(uint8_t svrType, uint8_t svrIndx) {
  return svrIndx >= 1 && svrIndx <= IpcSvrMaxIndx(svrType);
}

// An 8-byte version field as a text: it counts only when it holds its NUL
// within the field.  Quiet; false when it does not.
bool FieldAsText(const char (&field)[IPC_VERSION_SIZE], char (&text)[IPC_VERSION_SIZE + 1]) {
  std::memcpy(text, field, IPC_VERSION_SIZE);
  text[IPC_VERSION_SIZE] = '\0';
  return std::memchr(field, '\0', IPC_VERSION_SIZE) != nullptr;
}

}  // namespace

void IpcDrhstReset() { Cur().drhst = IpcDrhstState{}; }

IpcEvntRaiseTap IpcEvntRaiseTapInstall(IpcEvntRaiseTap tap) {
  const IpcEvntRaiseTap prev = g_raiseTap;
  g_raiseTap = tap;
  return prev;
}

int IpcSvcDeliver(const IpcComProcHdr* msg) {
  if (msg == nullptr || msg->length > IPC_MAX_MSG_LEN) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NULL_COMPROC);
    return 0;
  }
  const uint8_t type = msg->svrType;
  if (!IpcSvrTypeValid(type)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
    return 0;
  }
  if (!IndxFits(type, msg->svrIndx) || !IndxFits(type, msg->hostHandle)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
    return 0;
  }
  if (!IpcHostKindIsLocal(msg->hostKind)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_HOST_KIND);
    return 0;
  }
  // The server is the one registered under its own index, the host handle.
  const uint8_t indx = msg->hostHandle;
  const IpcSvcRecord* svc = IpcSvcFind(type, indx);
  const uint8_t id = msg->procId;
  if (svc == nullptr || id < 1 || id > IpcSvcMaxId(type, indx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_PROC_ID);
    return 0;
  }
  const IpcComProcFn fn = IpcSvcProcFnGet(type, indx, id);
  if (fn == nullptr) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return 0;
  }
  if (!IpcClntHandleValid(msg->clntHandle)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_CLNT_HANDLE);
    return 0;
  }
  // The client's version may come from the network: bounded by its field.
  char version[IPC_VERSION_SIZE + 1];
  if (!FieldAsText(msg->version, version) || !IpcVersionFormValid(version)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_VERSION);
    return 0;
  }
  if (!IpcSvcVersionInRange(type, indx, version)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_VERSION);
    return 0;
  }
  ++Cur().drhst.delivered;
  if (type == IPC_SVR_ROUTER) return fn(msg);
  // A host's procedure reports for itself.
  IpcRxSenderPause pause;
  return fn(msg);
}

int IpcEvntRaise(IpcEvntHdr* event, uint8_t selNode, uint8_t selClnt) {
  ErrCtxRestore restore;
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (event == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NULL_EVNT);
    return 0;
  }
  if (event->length > IPC_MAX_MSG_LEN) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_MSG_LEN);
    return 0;
  }

  // The raising server is the one registered under the host handle.
  const uint8_t type = event->svrType;
  const uint8_t indx = event->hostHandle;
  IpcErrCtxSet(type, indx);
  if (!IpcNodeIndxValid(selNode)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return 0;
  }
  if (!IpcSvcRegistered(type, indx)) {
    // Invalid type or index, or not registered: reported by the lookup.
    return 0;
  }
  const uint8_t id = event->evntId;
  if (id > IpcSvcSlotsPerSvr(type)) {
    // No server of the type has a slot for it, so it was never registered.
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_PROC_ID);
    return 0;
  }
  if (!IpcSvcEvntEnabled(type, indx, id)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return 0;
  }

  event->hostKind = IPC_HOST_KIND_LOCAL;
  IpcSvcHighVersionGet(type, indx, event->version);

  if (event->length > IPC_MAX_MSG_LEN) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_MSG_LEN);
    return 0;
  }
  if (!IpcSvrTypeValid(type)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_SVR_TYPE);
    return 0;
  }
  if (!IpcEvntCodeValid(type, event->evntCode)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_EVNT_CODE);
    return 0;
  }
  char version[IPC_VERSION_SIZE + 1];
  if (!FieldAsText(event->version, version) || !IpcVersionFormValid(version)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_VERSION);
    return 0;
  }

  ++Cur().drhst.raised;
  if (g_raiseTap != nullptr) g_raiseTap(event, selNode, selClnt);
  // A full ring is told to the raiser, who raises it again later.  An
  // event whose server is not located here has nobody to reach: raised,
  // and gone.
  bool full = false;
  IpcEvntQueue(event, 0, selNode, selClnt, &full);
  return full ? IPC_EVNT_RING_FULL : 1;
}

}  // namespace ipc

extern "C" {

int IpcEvnt(IpcEvntHdr* event) { return ipc::IpcEvntRaise(event, 0, 0); }

int IpcEvntSelectedSend(IpcEvntHdr* event, uint8_t netNodeIndx, uint8_t clntHandle) {
  return ipc::IpcEvntRaise(event, netNodeIndx, clntHandle);
}

}  // extern "C"
