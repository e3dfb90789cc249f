// Internal interface of module ipcnet: the reliable datagram layer.
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
#ifndef IPCNET_H
#define IPCNET_H

#include <cstdint>

#include "tessio32.h"

struct IpcNetState {
};

namespace ipc {

// Start of the datagram layer, the last step of IpcInit: IpcNetBcastPeriod
// = 50, transmit pool free and every queue empty, socket table reset
// (IpcSockTableReset), router state reset and router created.  Its result
// is IpcInit's.
uint16_t IpcNetInit();
// Stop, the first step of IpcTerm after the error context: stops the socket
// driver (IpcSockStop).
void IpcNetTerm();
// The pool, the queues and the per-node sequence state emptied, without
// touching sockets.  Run by IpcTerm after IpcNetTerm.
void IpcNetReset();

// Drops every packet queued for the node.
void IpcNetTxFlush(uint8_t node);
// Closes the node's link socket.  The node table calls it for a used entry
// with an established link just before deleting it (any index 0 to 99).
bool IpcNetLinkClose(uint8_t node);

// Validates a com-proc for a server located on node and queues it there.
int IpcNetComProcSend(uint8_t node, const IpcComProcHdr* request);
// Validates an event for a client on node and queues it there.
int IpcNetEvntSend(uint8_t node, const IpcEvntHdr* event);
// A client on a server of node was created: move its link towards linked.
void IpcNetLinkNeeded(uint8_t node);
// A client concerning node was destroyed: when no relation with the node
// remains, move its link towards unlinked.
void IpcNetLinkNotNeeded(uint8_t node);

// Packet kinds of the transmit queue; 6 and 7 are the router's messages,
// addressed by their own content and sent as 1/4 and 2/5.
enum IpcNetPktKind : uint8_t {
  IPC_PKT_COMPROC = 1,
  IPC_PKT_EVNT = 2,
  IPC_PKT_ACK = 3,
  IPC_PKT_COMPROC_MULTI = 4,
  IPC_PKT_EVNT_MULTI = 5,
  IPC_PKT_COMPROC_TO = 6,
  IPC_PKT_EVNT_TO = 7,
};

// Queues a message (its own length in its first two bytes) of a kind on a
// node; dropped without a report when the node is not online or its link
// not ok, or the pool is full.  True when queued.
bool IpcNetTxQueue(uint8_t kind, uint8_t node, const void* message);
// One transmit step for the head packet of the node's queue; true when the
// head entry was completed (on node 0 every entry completes at its step).
bool IpcNetTxStep(uint8_t node);
// Opens the node's link (socket, sequence state, link status 3).
bool IpcNetLinkOpen(uint8_t node);

}  // namespace ipc

#endif
