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
  kNetInit,
  kNetTerm,
  kTxFlush,           // node
  kLinkClose,         // node
  kLinkOpen,          // node
  kTxQueue,           // node, value = packet kind
  kTxStep,            // node
  kSvrCreate,         // node = svrType, value = svrIndx
  kEvntRaise,         // value = event code
  kSockErrorSet,      // node, value = code
};

// A message handed to the datagram layer's queue.
struct IpcStubTx {
  uint8_t kind;
  uint8_t node;
  uint8_t bytes[96];  // the first bytes of the message, zero-padded
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

  // The first kEvntBytes bytes of each event raised.
  uint8_t evnts[kMaxEvnts][kEvntBytes];
  uint16_t evntCount;

  // Messages queued for sending.
  static constexpr int kMaxTx = 32;
  IpcStubTx tx[kMaxTx];
  uint16_t txCount;

  // Service database: whether the log server (1, 1) is registered.
  bool logSvrCreated;
  // Event raising: when set, raising an event makes a report of its own (as
  // the event checks do when they refuse an event), so tests can see that
  // a report about a report does not recurse.
  bool reportOnRaise;
  // Socket driver: per-node socket error and this PC's Ethernet address.
  uint16_t sockErr[IPC_MAX_NET_NODES];
  const char* sockErrText[IPC_MAX_NET_NODES];
  uint8_t etherAddr[IPC_ETHER_ADDR_SIZE];
};

namespace ipc {

// Forgets the recorded calls and events (not the simulated state).
void IpcStubClear();
// Number of recorded calls of op (for node, when node is not 255).
int IpcStubCount(IpcStubOp op, uint8_t node = 255);

}  // namespace ipc

#endif
