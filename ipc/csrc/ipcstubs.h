// Stand-ins for the operations of modules that are not built yet, with a
// recorder that tests read.  Each module that is completed deletes its
// stand-ins from ipcstubs.cpp (and its entries below); the file goes when
// the last one has.
// Must not include ipcinst.h.
#ifndef IPCSTUBS_H
#define IPCSTUBS_H

#include <cstdint>

#include "tessio32.h"

enum class IpcStubOp : uint8_t {
  kEvntRaise,         // value = event code (recorded by the tests' raise tap)
};

struct IpcStubCall {
  IpcStubOp op;
  uint8_t node;
  uint16_t value;
};

// Owned by the library instance (ipc::Instance::stubs).
struct IpcStubState {
  static constexpr int kMaxCalls = 64;
  static constexpr int kMaxEvnts = 16;
  static constexpr int kEvntBytes = 64;

  IpcStubCall calls[kMaxCalls];
  uint16_t callCount;
  uint32_t callsDropped;

  // The first kEvntBytes bytes of each event raised (recorded by the tests'
  // raise tap, ipc/tests/ipc_fixture.h).
  uint8_t evnts[kMaxEvnts][kEvntBytes];
  uint16_t evntCount;

  // Event raising: when set, the tests' raise tap makes a report of its own
  // while an event is raised (as the event checks do when they refuse an
  // event), so tests can see that a report about a report does not recurse.
  bool reportOnRaise;
};

namespace ipc {

// Forgets the recorded calls and events (not the simulated state).
void IpcStubClear();
// Number of recorded calls of op (for node, when node is not 255).
int IpcStubCount(IpcStubOp op, uint8_t node = 255);

}  // namespace ipc

#endif
