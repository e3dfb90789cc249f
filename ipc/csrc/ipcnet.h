// Internal interface of module ipcnet: the reliable datagram layer.
//
// It carries com-procs and events between this PC (node 0) and the remote
// nodes of the node table as UDP datagrams, each with a 46-byte packet
// header.  Link traffic (to a node's link socket) is sequenced,
// acknowledged and retransmitted; node-0 traffic (the routers' messages on
// port 2510) is sent once.  Small messages to one node are packed into
// 75-byte slots of one datagram while it waits unsent at the tail of the
// node's queue.  Everything runs inside IpcNetDespatch and the library calls
// that queue a message: there is no thread and no timer.
//
// Its state is a member of the library instance (see ipcinst.h); storage is
// fixed: kIpcTxPoolSize transmit entries shared by all nodes, one sequence
// state per node index.  Nothing is allocated.
// Must not include ipcinst.h.
//
// Internal operations report with module name "ipcnet", severity 1 unless
// stated, with the error context their caller set.
#ifndef IPCNET_H
#define IPCNET_H

#include <cstddef>
#include <cstdint>

#include "tessio32.h"

// ---------------------------------------------------------------------
// Wire format.  Every multi-byte field is little-endian; IPv4 addresses are
// carried as host-order u32 values (192.168.1.5 goes out as 05 01 A8 C0).
// The code reads and writes packets as bytes (IpcPkt* helpers below); this
// struct documents the layout and its offsets.

#pragma pack(push, 1)
struct IpcNetPktHdr {
  uint32_t dstAddr;   // receiver; 0xFFFFFFFF = every node
  uint32_t srcAddr;   // sender's node-0 address
  uint16_t length;    // whole datagram, header included: 46 to 1296
  uint8_t kind;       // IpcNetPktKind
  uint8_t seq;        // sender's sequence number on the link
  uint8_t ackSeq;     // last sequence the sender received in order
  uint8_t count;      // messages carried: 1, or up to 13 for kinds 4 and 5
  uint8_t reserved[32];  // not read; 0xCC in packets from the pool
};
#pragma pack(pop)
static_assert(sizeof(IpcNetPktHdr) == 46, "IpcNetPktHdr is 46 bytes");
static_assert(offsetof(IpcNetPktHdr, srcAddr) == 4, "IpcNetPktHdr.srcAddr");
static_assert(offsetof(IpcNetPktHdr, length) == 8, "IpcNetPktHdr.length");
static_assert(offsetof(IpcNetPktHdr, kind) == 10, "IpcNetPktHdr.kind");
static_assert(offsetof(IpcNetPktHdr, seq) == 11, "IpcNetPktHdr.seq");
static_assert(offsetof(IpcNetPktHdr, ackSeq) == 12, "IpcNetPktHdr.ackSeq");
static_assert(offsetof(IpcNetPktHdr, count) == 13, "IpcNetPktHdr.count");
static_assert(offsetof(IpcNetPktHdr, reserved) == 14, "IpcNetPktHdr.reserved");

// Packet kinds.  6 and 7 exist only in the transmit queue: router messages
// on node 0 addressed by their own content, sent as 1/4 and 2/5.
enum IpcNetPktKind : uint8_t {
  IPC_PKT_COMPROC = 1,
  IPC_PKT_EVNT = 2,
  IPC_PKT_ACK = 3,
  IPC_PKT_COMPROC_MULTI = 4,
  IPC_PKT_EVNT_MULTI = 5,
  IPC_PKT_COMPROC_TO = 6,  // destination: u32 at message offset 16
  IPC_PKT_EVNT_TO = 7,     // destination: u32 at message offset 18
};

constexpr uint16_t kIpcPktHdrLen = 46;
constexpr uint16_t kIpcPktMaxLen = kIpcPktHdrLen + IPC_MAX_MSG_LEN;  // 1296
constexpr uint16_t kIpcPktSlotLen = 75;
constexpr uint8_t kIpcPktMaxSlots = 13;  // 46 + 13 * 75 = 1021 bytes
constexpr uint32_t kIpcBcastAddr = 0xFFFFFFFFu;
constexpr uint8_t kIpcPktFill = 0xCC;

// Datagrams of this size and above are acknowledged at once.
constexpr uint16_t kIpcImmediateAckLen = 400;
// Transmissions of a link packet before it is given up.
constexpr uint8_t kIpcMaxTries = 100;
// Datagrams read from one node's socket in one service pass.
constexpr int kIpcRxPerPass = 6;

// Little-endian field access on packet bytes.
inline uint16_t IpcGetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t IpcGetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void IpcPutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void IpcPutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---------------------------------------------------------------------
// State.

// The transmit pool.  Its size is not on the wire; it is chosen so that a
// plant of 100 nodes (this PC and 99 linked nodes) never fills it.  Every
// message the server sends a node is at most 75 bytes, packed 13 to an
// entry behind the one packet in flight, except IO_FTP's blocks:
//   - rack traffic of a node with r racks: at most 12 rack commands (one
//     per port, and its predecessor whose packet may still await its
//     acknowledgement) of 9 messages each (a SEND and up to 8 appends of
//     the 290-byte command packed), 7 port opens and closes, 3 poll
//     messages per rack: 1 + ceil((115 + 3 r) / 13) entries;
//   - an IO_FTP transfer: 15 blocks of an entry each and 1 for its short
//     requests: 16 entries;
//   - node 0 between two passes: an announcement and its 99 copies, 2
//     attach requests and 1 link status event per node: 397 entries.
// With 256 racks over 99 nodes that is at most 1125 + 1584 + 397 = 3106
// entries with a transfer to every node at once, 1522 without.
constexpr int kIpcTxPoolSize = 4096;
constexpr uint16_t kIpcNoEntry = 0xFFFF;
constexpr uint32_t kIpcNoSlot = 0xFFFFFFFFu;

// One node's link state.  Reset when its link opens.
struct IpcNodeSeq {
  uint8_t txSeq;      // sequence of the last packet sent on the link
  uint8_t ackedSeq;   // last own sequence the peer acknowledged
  uint8_t lastRxSeq;  // sequence of the last packet accepted from the peer
  uint8_t ackOwed;    // an acknowledgement is owed to the peer
  uint16_t backoff;   // retransmission hold for the next packet
  uint16_t head;      // first entry of the node's queue; kIpcNoEntry = empty
  uint16_t tail;      // last entry; kIpcNoEntry = empty
  // A persistent send failure has been reported for this node; cleared by
  // the next good send.
  uint8_t sendFailReported;
};

// One transmit entry.  next/prev chain the entries of one node's queue: the
// last points to itself as next, the first to itself as prev; both
// kIpcNoEntry = free.
struct IpcTxEntry {
  uint8_t node;
  uint16_t next;
  uint16_t prev;
  int16_t sendResult;  // bytes of the last send; -1 = not yet sent / not sent
  uint8_t tries;       // transmission attempts
  // Time slot of the last attempt: hundredths within the hour for the first
  // three tries, fifths of that from then on; kIpcNoSlot when queued.
  uint32_t lastSlot;
  // Number of the queueing that filled the entry (IpcNetState::txSerial):
  // tells a message queued afresh from the one the slot held before.
  uint32_t serial;
  uint8_t packet[kIpcPktMaxLen];
};

// Silent drops and traffic figures, for tests, reports and benchmarks.
// Cleared by IpcNetInit.
struct IpcNetCounters {
  uint32_t poolFull;         // messages refused: no free transmit entry
  uint32_t notLinked;        // messages dropped: node not online or not linked
  uint32_t packed;           // messages packed into a waiting entry
  uint32_t transmissions;    // link packets handed to the socket (all tries)
  uint32_t retransmissions;  // of those, the second and later tries
  uint32_t sendFailures;     // attempts the socket driver failed
  uint32_t givenUp;          // link packets dropped after the last try
  uint32_t completed;        // link packets acknowledged
  uint32_t acksSent;         // explicit acknowledgements (kind 3)
  uint32_t rxDatagrams;      // datagrams read from the sockets
  uint32_t rxMalformed;      // dropped by the size, kind or count checks
  uint32_t rxAddress;        // dropped by the address checks
  uint32_t rxSender;         // dropped: sent from another address than named
  uint32_t rxRepeats;        // link packets not new (repeat or outside window)
  uint32_t rxRingFull;       // link event packets refused: no room in the ring
  uint32_t rxHeld;           // reads put off: the ring had no room for a packet
  uint32_t rxMessages;       // messages handed on (com-procs and events)
  uint32_t rxSenderReports;  // of the sender drops, those reported
};

// A sender whose datagrams were dropped for their source: when it was last
// reported (at most once a minute each).
struct IpcRxSenderNote {
  uint32_t addr;
  IpcTime reportedAt;
  uint8_t used;
};
constexpr int kIpcRxSenderNotes = 16;
// Hundredths between two reports of one sender's dropped datagrams.
constexpr uint32_t kIpcRxSenderReportGap = 6000;

// Owned by the library instance (ipc::Instance::net).
struct IpcNetState {
  IpcTxEntry pool[kIpcTxPoolSize];
  // Bit i set: entry i is free (the lowest is taken first).
  uint64_t freeBits[kIpcTxPoolSize / 64];
  IpcNodeSeq seq[IPC_MAX_NET_NODES];
  IpcTime announceTime;  // last periodic network turn
  uint32_t txSerial;     // serial of the last entry filled
  IpcNetCounters counters;
  IpcRxSenderNote senderNotes[kIpcRxSenderNotes];
  // Nodes (bit n) that may have a packet queued or an acknowledgement
  // owed: with the nodes whose socket has data, the ones a pass serves.
  // Set when either arises, cleared by the pass that finds neither.
  uint64_t pending[2];
};
static_assert(kIpcTxPoolSize % 64 == 0, "the free bits cover the pool in whole words");
static_assert(kIpcTxPoolSize < kIpcNoEntry, "entry indexes fit below kIpcNoEntry");

// Why a message was not queued.
enum class IpcTxRefusal : uint8_t {
  kNone,       // queued
  kRefused,    // bad kind, node or message (reported)
  kNotLinked,  // node not online or not linked (dropped without a report)
  kPoolFull,   // no free transmit entry
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

// Opens the node's link: node 0's socket on port 2510 (any local address,
// broadcast), or a link socket bound to node 0's address at 2515 + the low
// byte of the node's address, sending to 2515 + the low byte of node 0's.
// A link already ok or in unlink wait has its sequence state reset and its
// queue flushed instead.  Sets link status ok and an offline node online.
// False when refused or when the socket fails to open or to bind.
bool IpcNetLinkOpen(uint8_t node);
// Closes the node's link socket: the clients attached through it are
// cleaned up; while the node is online with packets queued or an
// acknowledgement owed the socket stays open (false); otherwise it is
// closed, the queue flushed and the link status set to link wait when a
// client still needs the node, else none (true).  The node table calls it
// for a used entry with an established link just before deleting it.
bool IpcNetLinkClose(uint8_t node);

// The two sends below (and so IpcComProc for a server on another node)
// give 1 when the message is queued, IPC_NOT_QUEUED when it could not be
// (the node is not online or not linked, or the transmit pool is full),
// and a refused message its report's result.
// Validates a com-proc for a server located on node and queues it there
// (kind 1).  Reports with the message's server type and index.
int IpcNetComProcSend(uint8_t node, const IpcComProcHdr* request);
// Validates an event for a client on node and queues it there (kind 2).
int IpcNetEvntSend(uint8_t node, const IpcEvntHdr* event);
// A client on a server of node was created: move its link towards linked.
void IpcNetLinkNeeded(uint8_t node);
// A client concerning node was destroyed: when no relation with the node
// remains, move its link towards unlinked.
void IpcNetLinkNotNeeded(uint8_t node);

// Queues a message (its own length in its first two bytes, at most 1250)
// of a kind on a node, packing it into the waiting tail entry where it
// fits.  Not queued, without a report, when the node is not online or not
// linked, or when the pool is full (both counted); *why (when not null)
// says why.  True when queued.
bool IpcNetTxQueue(uint8_t kind, uint8_t node, const uint8_t* msg, IpcTxRefusal* why = nullptr);
// One transmit step for the head packet of the node's queue (router: node
// 0's queue is sent at once this way).  True when the head was completed.
bool IpcNetTxStep(uint8_t node);
// Reads and processes at most one datagram from the node's socket.  True
// when a datagram was taken from the socket, used or not.
bool IpcNetPktReceive(uint8_t node);

// The new-sequence test of the receive window (node valid).
bool IpcNetSeqIsNew(uint8_t node, uint8_t seq);

// Read access for tests and benchmarks.
const IpcNetCounters& IpcNetCountersGet();
const IpcNodeSeq& IpcNetNodeSeqGet(uint8_t node);  // node below 100
int IpcNetPoolFree();

}  // namespace ipc

#endif
