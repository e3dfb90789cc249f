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
}

int IpcStubCount(IpcStubOp op, uint8_t node) {
  const IpcStubState& s = Cur().stubs;
  int n = 0;
  for (int i = 0; i < s.callCount; ++i) {
    if (s.calls[i].op == op && (node == 255 || s.calls[i].node == node)) ++n;
  }
  return n;
}

// ipcroutr
void IpcRoutrReset() { Cur().routr = IpcRoutrState{}; }

void IpcRouterNodeStatusEvnt(uint8_t node, uint8_t status) {
  Record(IpcStubOp::kRouterNodeStatus, node, status);
}

void IpcRouterLinkStatusEvnt(uint8_t node, uint8_t linkStatus) {
  Record(IpcStubOp::kRouterLinkStatus, node, linkStatus);
}

void IpcRouterLinkCloseReq(uint8_t node) { Record(IpcStubOp::kRouterLinkClose, node, 0); }

void IpcRouterLinkOpenReq(uint8_t node) { Record(IpcStubOp::kRouterLinkOpen, node, 0); }

void IpcRouterCreate() { Record(IpcStubOp::kRouterCreate, 0, 0); }

}  // namespace ipc
