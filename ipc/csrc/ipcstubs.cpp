// Stand-ins for the operations of modules that are not built yet.  They
// record each call in the instance's stub state; the simulated state is the
// least the finished modules rely on.
#include "ipcstubs.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "ipcinst.h"

namespace ipc {
namespace {

void Record(IpcStubOp op, uint8_t node, uint16_t value) {
  IpcStubState& s = Cur().stubs;
  if (s.callCount >= IpcStubState::kMaxCalls) {
    ++s.callsDropped;
    return;
  }
  s.calls[s.callCount++] = IpcStubCall{op, node, value};
}

}  // namespace

void IpcStubClear() {
  IpcStubState& s = Cur().stubs;
  s.callCount = 0;
  s.callsDropped = 0;
  s.evntCount = 0;
  s.txCount = 0;
}

int IpcStubCount(IpcStubOp op, uint8_t node) {
  const IpcStubState& s = Cur().stubs;
  int n = 0;
  for (int i = 0; i < s.callCount; ++i) {
    if (s.calls[i].op == op && (node == 255 || s.calls[i].node == node)) ++n;
  }
  return n;
}

// ipcdrdb
void IpcDrdbReset() {
  Cur().drdb = IpcDrdbState{};
  Cur().stubs.logSvrCreated = false;
}

bool IpcSvcExists(uint8_t svrType, uint8_t svrIndx) {
  return svrType == IPC_SVR_LOG && svrIndx == 1 && Cur().stubs.logSvrCreated;
}

// ipcdrhst
void IpcDrhstReset() { Cur().drhst = IpcDrhstState{}; }

int IpcEvntRaise(IpcEvntHdr* event, uint8_t selNode, uint8_t selClnt) {
  IpcStubState& s = Cur().stubs;
  Record(IpcStubOp::kEvntRaise, 0, event ? event->evntCode : 0);
  if (s.reportOnRaise) IpcLogError(IPC_SEV_ARG, IPC_SVR_LOG, 1, IPC_ERR_EVNT_CODE, "ipcdrhst.c", 1);
  if (event == nullptr) return 0;
  if (s.evntCount < IpcStubState::kMaxEvnts) {
    size_t n = std::min<size_t>(event->length, IpcStubState::kEvntBytes);
    std::memset(s.evnts[s.evntCount], 0, IpcStubState::kEvntBytes);
    std::memcpy(s.evnts[s.evntCount], event, n);
    ++s.evntCount;
  }
  // Stamp it as the raising does and queue it, keeping the caller's error
  // context, so that reports reach the log server's clients.
  event->hostKind = IPC_HOST_KIND_LOCAL;
  IpcVersionCopy(event->version, IPC_VERSION_DATE);
  const uint8_t ctxType = IpcErrCtxSvrType();
  const uint8_t ctxIndx = IpcErrCtxSvrIndx();
  IpcEvntQueue(event, 0, selNode, selClnt);
  IpcErrCtxSet(ctxType, ctxIndx);
  return 1;
}

// ipcnet
uint16_t IpcNetInit() {
  Record(IpcStubOp::kNetInit, 0, 0);
  Cur().net = IpcNetState{};
  IpcSockTableReset();
  IpcNetBcastPeriod = 50;
  IpcRouterCreate();
  return 1;
}

void IpcNetTerm() {
  Record(IpcStubOp::kNetTerm, 0, 0);
  IpcSockStop();
}

void IpcNetReset() { Cur().net = IpcNetState{}; }

void IpcNetTxFlush(uint8_t node) { Record(IpcStubOp::kTxFlush, node, 0); }

bool IpcNetLinkClose(uint8_t node) {
  Record(IpcStubOp::kLinkClose, node, 0);
  return true;
}

bool IpcNetLinkOpen(uint8_t node) {
  Record(IpcStubOp::kLinkOpen, node, 0);
  return true;
}

bool IpcNetTxQueue(uint8_t kind, uint8_t node, const void* message) {
  IpcStubState& s = Cur().stubs;
  Record(IpcStubOp::kTxQueue, node, kind);
  if (message == nullptr || s.txCount >= IpcStubState::kMaxTx) return false;
  IpcStubTx& t = s.tx[s.txCount++];
  t.kind = kind;
  t.node = node;
  uint16_t len;
  std::memcpy(&len, message, sizeof len);
  std::memset(t.bytes, 0, sizeof t.bytes);
  std::memcpy(t.bytes, message, std::min<size_t>(len, sizeof t.bytes));
  return true;
}

bool IpcNetTxStep(uint8_t node) {
  Record(IpcStubOp::kTxStep, node, 0);
  return false;
}

// ipctcpip
void IpcSockTableReset() {
  IpcStubState& s = Cur().stubs;
  Cur().tcpip = IpcTcpipState{};
  std::fill(std::begin(s.sockErr), std::end(s.sockErr), uint16_t{0});
  std::fill(std::begin(s.sockErrText), std::end(s.sockErrText), nullptr);
}

void IpcSockStop() {}

void IpcSockErrorSet(uint8_t node, uint16_t code, const char* text) {
  Record(IpcStubOp::kSockErrorSet, node, code);
  if (node >= IPC_MAX_NET_NODES) return;
  Cur().stubs.sockErr[node] = code;
  Cur().stubs.sockErrText[node] = text;
}

uint16_t IpcSockErrorGet(uint8_t node, char* text) {
  if (text != nullptr) text[0] = '\0';
  if (node >= IPC_MAX_NET_NODES) return IPC_ERR_NET_NODE_INDX;
  const char* t = Cur().stubs.sockErrText[node];
  if (text != nullptr && t != nullptr) {
    std::strncpy(text, t, 30);
    text[30] = '\0';
  }
  return Cur().stubs.sockErr[node];
}

void IpcSockEtherAddrGet(uint8_t out[6]) {
  std::memcpy(out, Cur().stubs.etherAddr, IPC_ETHER_ADDR_SIZE);
}

}  // namespace ipc

// Exports of modules that are not built yet.

extern "C" uint8_t IpcSvrAndSvcCreate(uint8_t svrType, uint8_t svrIndx,
                                      const char* /*lowVersion*/,
                                      const char* /*highVersion*/, uint8_t /*idCount*/,
                                      const IpcComProcEntry* /*procTable*/,
                                      uint8_t /*procCount*/, const uint8_t* /*eventIds*/,
                                      uint8_t /*eventCount*/) {
  using namespace ipc;
  Record(IpcStubOp::kSvrCreate, svrType, svrIndx);
  if (svrType == IPC_SVR_LOG && svrIndx == 1) Cur().stubs.logSvrCreated = true;
  return 1;
}
