// The recorder that tests read (every module is built; what remains is the
// record of raised events that the tests' raise tap keeps).
#include "ipcstubs.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "ipcinst.h"

namespace ipc {

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

}  // namespace ipc
