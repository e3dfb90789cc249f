// Internal interface of module ipcevnt: the inbound event ring, through
// which every event (raised on this PC or arriving from a node) reaches the
// event clients of its server, and the routing of com-proc requests
// (IpcComProc and the requests that arrive from the network).
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
//
// Reports: the ring reports with module name "ipcevnt", com-proc checks and
// routing with "ipcproc".
#ifndef IPCEVNT_H
#define IPCEVNT_H

#include <cstdint>

#include "ipcproc.h"
#include "tessio32.h"

// One slot of the ring: the copy of an event (its own length is written)
// and the selector its sender gave.  Byte 17 of the copy is the ready mark:
// 0 while the slot is written, 1 when complete; a reset fills it with 0xCC.
// `from` is the sender of the datagram that brought it (or whose handling
// raised it), named again in the reports of its delivery.
struct IpcEvntSlot {
  uint8_t data[IPC_MAX_MSG_LEN];
  uint8_t selNode;
  uint8_t selClnt;
  IpcRxSender from;
};

constexpr int kIpcEvntRingSlots = 50;  // holds at most 49 events

// Owned by the library instance (ipc::Instance::evnt).
struct IpcEvntState {
  IpcEvntSlot slots[kIpcEvntRingSlots];
  uint16_t head;  // read position
  uint16_t tail;  // write position
  uint8_t busy;   // set while IpcEvntDespatch delivers
  // Bumped by every reset, so that a despatch whose callback reset the
  // library does not move the fresh ring's read position.
  uint32_t resets;

  // Silent drops, for reports, tests and benchmarks (cleared by a reset).
  uint32_t droppedFull;        // new events refused by a full ring
  uint32_t displacedAnnounce;  // queued node announcements given way
  uint32_t droppedUnresolved;  // events whose server is not located here
};

namespace ipc {

// Empties the ring (slots filled with 0xCC, head = tail = 0, not busy) and
// clears the counters.  Run by IpcInit and IpcTerm.
void IpcEvntReset();

// Queues an event for later delivery by IpcEvntDespatch.  Called by the
// raising of local events (source node 0, the caller's selector) and by the
// datagram layer for each event that arrives from node srcNode (selector 0,
// 0).  The caller guarantees that the buffer holds the event's own length
// in bytes.  Sets the error context to (1, 1).  An event shorter than 18 or
// longer than 1250 bytes is reported (error 21, severity 3) and dropped; an
// event whose server is not located here under its host handle and host
// kind on the source node is dropped silently.  Writes into the caller's
// header: svrIndx (the resolved index) and the reserved byte (0).  Returns
// true when the event was queued; *full (when not null) tells a ring that
// had no room from the other refusals.
bool IpcEvntQueue(IpcEvntHdr* event, uint8_t srcNode, uint8_t selNode, uint8_t selClnt,
                  bool* full = nullptr);

// Number of events waiting in the ring, and room for more.
int IpcEvntQueued();
int IpcEvntRoom();

// Routes a com-proc request whose header is complete: to the datagram layer
// when the server is located on another node, to local delivery when it is
// on this PC with host kind 1.  Used by IpcComProc and by the datagram layer
// for each request that arrives from the network; the caller guarantees
// that the buffer holds the request's own length.  Refused (and reported,
// module "ipcproc"): null (19), longer than 1250 (19), shorter than its
// 16-byte header (21), type (1), index (2), host handle 0 (2), procedure id
// 0 (3), client handle not 1 to 16 (7), com-proc client slot not in use
// (12, severity 2), a server not served here (9, severity 2).  Returns the
// result of the delivery or send, else the report's result.
int IpcComProcRoute(IpcComProcHdr* request);

}  // namespace ipc

#endif
