// Module ipcnet: the reliable datagram layer: transmit pool and queues,
// packing, sequencing, acknowledgement, retransmission, receive checks,
// links, and the periodic network turn of IpcNetDespatch.
#include "ipcnet.h"

#include <cstring>

#include "ipccheck.h"
#include "ipcdb.h"
#include "ipcevnt.h"
#include "ipcinst.h"
#include "ipcnetdb.h"
#include "ipcproc.h"
#include "ipcroutr.h"
#include "ipctcpip.h"
#include "tessio32.h"

namespace ipc {
namespace {

constexpr char kIpcModuleFile[] = "ipcnet.c";

// Header offsets (IpcNetPktHdr).
constexpr size_t kOffDst = offsetof(IpcNetPktHdr, dstAddr);
constexpr size_t kOffSrc = offsetof(IpcNetPktHdr, srcAddr);
constexpr size_t kOffLen = offsetof(IpcNetPktHdr, length);
constexpr size_t kOffKind = offsetof(IpcNetPktHdr, kind);
constexpr size_t kOffSeq = offsetof(IpcNetPktHdr, seq);
constexpr size_t kOffAck = offsetof(IpcNetPktHdr, ackSeq);
constexpr size_t kOffCount = offsetof(IpcNetPktHdr, count);

// Destination words of the router's messages (kinds 6 and 7).
constexpr size_t kComProcDstOff = sizeof(IpcComProcHdr);  // 16
constexpr size_t kEvntDstOff = sizeof(IpcEvntHdr);        // 18

// The receive buffer is one byte longer than the largest datagram, so an
// oversize one shows as such instead of being cut to a plausible size.
constexpr uint16_t kRxBufLen = kIpcPktMaxLen + 1;
static_assert(kRxBufLen <= kIpcSockStashSize, "a datagram taken ahead fits the driver's stash");

IpcNetState& Net() { return Cur().net; }
IpcNodeSeq& Seq(uint8_t node) { return Net().seq[node]; }

uint8_t* Msg(uint8_t* pkt, int slot) { return pkt + kIpcPktHdrLen + kIpcPktSlotLen * slot; }

bool IsComProcKind(uint8_t kind) {
  return kind == IPC_PKT_COMPROC || kind == IPC_PKT_COMPROC_MULTI || kind == IPC_PKT_COMPROC_TO;
}

// Smallest message of a kind: its own header (and the destination word of
// the router's messages).
uint16_t MinMsgLen(uint8_t kind) {
  switch (kind) {
    case IPC_PKT_COMPROC:
    case IPC_PKT_COMPROC_MULTI:
      return sizeof(IpcComProcHdr);
    case IPC_PKT_EVNT:
    case IPC_PKT_EVNT_MULTI:
      return sizeof(IpcEvntHdr);
    case IPC_PKT_COMPROC_TO:
      return kComProcDstOff + 4;
    case IPC_PKT_EVNT_TO:
      return kEvntDstOff + 4;
    default:
      return 0;
  }
}

uint32_t Node0Addr() { return IpcNetNodeInUse(0) ? Cur().netdb.nodes[0].addr : 0; }
uint32_t NodeAddr(uint8_t node) {
  return IpcNetNodeInUse(node) ? Cur().netdb.nodes[node].addr : 0;
}
uint8_t NodeStatus(uint8_t node) {
  return IpcNetNodeInUse(node) ? Cur().netdb.nodes[node].status : 0;
}
uint8_t LinkStatus(uint8_t node) {
  return IpcNetNodeInUse(node) ? Cur().netdb.nodes[node].linkStatus : 0;
}
bool Online(uint8_t node) { return NodeStatus(node) == IPC_NODE_STATUS_ONLINE; }

// The time slot of a transmission attempt.  Slots are counted over the
// hour rather than within the second, so a host that polls exactly once a
// second still sees a new slot at every poll.
uint32_t TimeSlot(uint8_t tries) {
  const uint32_t now = IpcTimeHundredths(IpcCurrentTime);
  return tries < 3 ? now : now / 5;
}

void SetPending(uint8_t node) { Net().pending[node / 64] |= uint64_t{1} << (node % 64); }
void ClearPending(uint8_t node) { Net().pending[node / 64] &= ~(uint64_t{1} << (node % 64)); }

// The lowest node above `after` that the pass serves: one with something
// pending, or whose socket may have data.  -1 when none.  Looked up afresh
// after each node, so a node that the service of a lower one gave work is
// served in the same pass, as in a walk over every index.
int NextNodeToServe(int after, const uint64_t withData[2]) {
  for (int w = (after + 1) / 64; w < 2; ++w) {
    uint64_t bits = Net().pending[w] | withData[w];
    const int from = after + 1 - w * 64;
    if (from > 0) bits &= ~((uint64_t{1} << from) - 1);
    if (bits != 0) {
      const int n = w * 64 + __builtin_ctzll(bits);
      return n < IPC_MAX_NET_NODES ? n : -1;
    }
  }
  return -1;
}

void ResetSeq(uint8_t node) {
  IpcNodeSeq& s = Seq(node);
  s.txSeq = 0;
  s.ackedSeq = 0;
  s.lastRxSeq = 0;
  s.ackOwed = 0;
  s.backoff = 0;
  s.sendFailReported = 0;
}

void FreeEntry(uint16_t i) {
  IpcTxEntry& e = Net().pool[i];
  e.next = kIpcNoEntry;
  e.prev = kIpcNoEntry;
  Net().freeBits[i / 64] |= uint64_t{1} << (i % 64);
}

bool EntryFree(const IpcTxEntry& e) { return e.next == kIpcNoEntry && e.prev == kIpcNoEntry; }

// The free entry with the lowest index, kIpcNoEntry when none; not taken.
uint16_t LowestFreeEntry() {
  IpcNetState& s = Net();
  for (int w = 0; w < kIpcTxPoolSize / 64; ++w) {
    while (s.freeBits[w] != 0) {
      const int b = __builtin_ctzll(s.freeBits[w]);
      const auto i = static_cast<uint16_t>(w * 64 + b);
      if (EntryFree(s.pool[i])) return i;
      s.freeBits[w] &= ~(uint64_t{1} << b);  // a stale mark: the entry is in use
    }
  }
  return kIpcNoEntry;
}

void TakeEntry(uint16_t i) { Net().freeBits[i / 64] &= ~(uint64_t{1} << (i % 64)); }

// The last entry of the node's queue found along the links from its head,
// or kIpcNoEntry when they break before an entry that ends the queue.
uint16_t TailByLinks(uint8_t node) {
  uint16_t i = Seq(node).head;
  for (int k = 0; k < kIpcTxPoolSize; ++k) {
    if (i >= kIpcTxPoolSize) break;
    const IpcTxEntry& e = Net().pool[i];
    if (EntryFree(e) || e.node != node) break;
    if (e.next == i) return i;
    i = e.next;
  }
  return kIpcNoEntry;
}

// Unlinks the head entry of the node's queue and frees it.  The links are
// checked on the way (error 39); whatever they say, the queue ends up
// consistent: a broken chain empties it.
void UnlinkHead(uint8_t node) {
  IpcNodeSeq& q = Seq(node);
  const uint16_t h = q.head;
  if (h == kIpcNoEntry) return;
  if (h >= kIpcTxPoolSize) {
    IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_TX_QUEUE);
    q.head = q.tail = kIpcNoEntry;
    return;
  }
  IpcTxEntry& e = Net().pool[h];
  const uint16_t next = e.next;
  bool broken = e.node != node || e.prev != h || EntryFree(e);
  if (next == h) {
    if (q.tail != h) broken = true;
    q.head = q.tail = kIpcNoEntry;
  } else if (next < kIpcTxPoolSize && Net().pool[next].prev == h) {
    Net().pool[next].prev = next;
    q.head = next;
  } else {
    broken = true;
    q.head = q.tail = kIpcNoEntry;
  }
  if (broken) IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_TX_QUEUE);
  FreeEntry(h);
}

// Entry index of the node's socket, 0 = none.
uint8_t SockOf(uint8_t node) { return IpcNetNodeSockIndxGet(node); }

// Sends a packet for the node (IpcNetPktSend): fills kind, length,
// destination and source, and hands it to the socket.  Returns the bytes
// sent, 0 when the driver failed, or -1 when nothing was handed over.
int PktSend(uint8_t node, uint8_t* p) {
  // A send that fails is this PC's trouble, whatever datagram is handled.
  IpcRxSenderPause notAboutADatagram;
  if (p == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
    return -1;
  }
  uint8_t kind = p[kOffKind];
  if (!IpcPktKindValid(kind)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_PKT_KIND);
    return -1;
  }
  const uint8_t link = LinkStatus(node);
  if (link != IPC_LINK_STATUS_OK && link != IPC_LINK_STATUS_UNLINK_WAIT) return -1;
  if (node != 0 && (!Online(node) || !Online(0))) return -1;

  uint32_t dst = 0;
  const uint8_t count = p[kOffCount];
  if (kind == IPC_PKT_COMPROC_TO) {
    dst = IpcGetU32(Msg(p, 0) + kComProcDstOff);
    kind = IPC_PKT_COMPROC;
  } else if (kind == IPC_PKT_EVNT_TO) {
    dst = IpcGetU32(Msg(p, 0) + kEvntDstOff);
    kind = IPC_PKT_EVNT;
  }
  uint16_t length = kIpcPktHdrLen;
  if (kind != IPC_PKT_ACK) {
    const bool comProc = kind == IPC_PKT_COMPROC || kind == IPC_PKT_COMPROC_MULTI;
    if (count <= 1) {
      kind = comProc ? IPC_PKT_COMPROC : IPC_PKT_EVNT;
      length = static_cast<uint16_t>(kIpcPktHdrLen + IpcGetU16(Msg(p, 0)));
    } else {
      kind = comProc ? IPC_PKT_COMPROC_MULTI : IPC_PKT_EVNT_MULTI;
      length = static_cast<uint16_t>(kIpcPktHdrLen + kIpcPktSlotLen * count);
    }
  }
  p[kOffKind] = kind;
  IpcPutU16(p + kOffLen, length);

  if (dst == 0) dst = node == 0 ? kIpcBcastAddr : NodeAddr(node);
  const uint32_t src = Node0Addr();
  IpcPutU32(p + kOffDst, dst);
  IpcPutU32(p + kOffSrc, src);
  if (dst == 0 || src == 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NODE_ADDR);
    return -1;
  }
  const uint8_t sock = SockOf(node);
  if (sock == 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SOCKET);
    return -1;
  }
  const int sent = IpcSockSend(sock, dst, 0, length, p);
  if (sent != length) {
    ++Net().counters.sendFailures;
    if (node != 0) IpcNetNodeLinkStatusSet(node, IPC_LINK_STATUS_ERROR);
  }
  return sent;
}

// Sends the explicit acknowledgement owed to a node.
void SendAck(uint8_t node) {
  uint8_t p[kIpcPktHdrLen];
  std::memset(p, 0, sizeof p);
  p[kOffKind] = IPC_PKT_ACK;
  p[kOffSeq] = Seq(node).txSeq;
  p[kOffAck] = Seq(node).lastRxSeq;
  Seq(node).ackOwed = 0;
  if (PktSend(node, p) == kIpcPktHdrLen) ++Net().counters.acksSent;
}

// Hands one received com-proc (bounded: 16 to 75 or 1250 bytes, within its
// buffer) on to its server.
void DeliverComProc(uint8_t node, uint8_t* msg) {
  IpcComProcHdr* m = reinterpret_cast<IpcComProcHdr*>(msg);
  const uint8_t srcNode = m->svrType == IPC_SVR_ROUTER ? 0 : node;
  const uint8_t svrIndx = IpcSvrHostHandleFind(m->svrType, m->hostHandle, m->hostKind, 0);
  if (svrIndx == 0) return;
  const uint8_t clnt = IpcClntFindByNode(IpcClntKind::kComProc, m->svrType, svrIndx, srcNode);
  if (clnt == 0) return;
  m->svrIndx = svrIndx;
  m->clntHandle = clnt;
  ++Net().counters.rxMessages;
  IpcComProcRoute(m);
}

void DeliverEvnt(uint8_t node, uint8_t* msg) {
  ++Net().counters.rxMessages;
  IpcEvntQueue(reinterpret_cast<IpcEvntHdr*>(msg), node, 0, 0);
}

// What the structural checks make of a received datagram.
enum class RxShape {
  kGood,      // well formed
  kDrop,      // malformed: reported, dropped unacknowledged
  kBadCount,  // a data packet whose message count is wrong for its kind
};

// Structural checks of a received datagram of `size` bytes: length field,
// kind, message count, and every message within the datagram and its slot.
// Reports what it drops.  A wrong message count is left to the caller,
// which takes the packet's sequence and owes its acknowledgement first.
RxShape RxWellFormed(const uint8_t* p, uint16_t size) {
  if (size < kIpcPktHdrLen || size > kIpcPktMaxLen || IpcGetU16(p + kOffLen) != size) {
    IPC_REPORT(IPC_SEV_FAILURE, IPC_ERR_PKT_SIZE);
    return RxShape::kDrop;
  }
  const uint8_t kind = p[kOffKind];
  const uint8_t count = p[kOffCount];
  switch (kind) {
    case IPC_PKT_ACK:
      return RxShape::kGood;
    case IPC_PKT_COMPROC:
    case IPC_PKT_EVNT: {
      if (count != 1) return RxShape::kBadCount;
      const uint16_t room = static_cast<uint16_t>(size - kIpcPktHdrLen);
      if (room < 2 || IpcGetU16(p + kIpcPktHdrLen) > room ||
          IpcGetU16(p + kIpcPktHdrLen) < MinMsgLen(kind)) {
        IPC_REPORT(IPC_SEV_FAILURE, IPC_ERR_PKT_SIZE);
        return RxShape::kDrop;
      }
      return RxShape::kGood;
    }
    case IPC_PKT_COMPROC_MULTI:
    case IPC_PKT_EVNT_MULTI: {
      if (count < 1 || count > kIpcPktMaxSlots) return RxShape::kBadCount;
      if (kIpcPktHdrLen + kIpcPktSlotLen * count > size) {
        IPC_REPORT(IPC_SEV_FAILURE, IPC_ERR_PKT_SIZE);
        return RxShape::kDrop;
      }
      for (int i = 0; i < count; ++i) {
        const uint16_t len = IpcGetU16(p + kIpcPktHdrLen + kIpcPktSlotLen * i);
        if (len < MinMsgLen(kind) || len > kIpcPktSlotLen) {
          IPC_REPORT(IPC_SEV_FAILURE, IPC_ERR_PKT_SIZE);
          return RxShape::kDrop;
        }
      }
      return RxShape::kGood;
    }
    default:
      IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_PKT_KIND);
      return RxShape::kDrop;
  }
}

// A datagram dropped because it came from another address than the one it
// had to come from: counted, and reported at most once a minute for each
// sender address (a flood of forged datagrams writes one line a minute).
void SenderDropped(uint32_t from) {
  IpcNetState& s = Net();
  ++s.counters.rxSender;
  IpcRxSenderNote* note = nullptr;
  for (IpcRxSenderNote& n : s.senderNotes) {
    if (n.used != 0 && n.addr == from) note = &n;
  }
  if (note != nullptr) {
    if (IpcTimeSince(note->reportedAt) < kIpcRxSenderReportGap) return;
  } else {
    // A free note, else the one reported longest ago.
    note = &s.senderNotes[0];
    for (IpcRxSenderNote& n : s.senderNotes) {
      if (n.used == 0) {
        note = &n;
        break;
      }
      if (IpcTimeSince(n.reportedAt) > IpcTimeSince(note->reportedAt)) note = &n;
    }
  }
  note->addr = from;
  note->reportedAt = IpcCurrentTime;
  note->used = 1;
  ++s.counters.rxSenderReports;
  IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_NODE_ADDR);
}

// Reads are put off while the event ring could not take the events of one
// more packet: the datagram waits in its socket, instead of being read and
// refused unacknowledged (which would wait for the peer to send it again).
bool RingHasRoomForAPacket() { return IpcEvntRoom() >= kIpcPktMaxSlots; }

// The head of the node's queue was never sent.
bool HeadFresh(uint8_t node) {
  const uint16_t h = Seq(node).head;
  if (h >= kIpcTxPoolSize) return false;
  const IpcTxEntry& e = Net().pool[h];
  return !EntryFree(e) && e.tries == 0 && e.sendResult == -1;
}

}  // namespace

// ---------------------------------------------------------------------
// Start and stop.

uint16_t IpcNetInit() {
  IpcNetReset();
  Net().counters = IpcNetCounters{};
  Net().announceTime = IpcCurrentTime;
  IpcNetBcastPeriod = 50;
  IpcSockTableReset();
  IpcRoutrReset();
  IpcRouterCreate();
  return 1;
}

void IpcNetTerm() { IpcSockStop(); }

void IpcNetReset() {
  IpcNetState& s = Net();
  s.pending[0] = s.pending[1] = 0;
  for (IpcRxSenderNote& n : s.senderNotes) n = IpcRxSenderNote{};
  for (int i = 0; i < kIpcTxPoolSize; ++i) {
    std::memset(&s.pool[i], kIpcPktFill, sizeof s.pool[i]);
    FreeEntry(static_cast<uint16_t>(i));
  }
  for (int n = 0; n < IPC_MAX_NET_NODES; ++n) {
    s.seq[n] = IpcNodeSeq{};
    s.seq[n].head = kIpcNoEntry;
    s.seq[n].tail = kIpcNoEntry;
  }
}

// ---------------------------------------------------------------------
// Sequencing.

bool IpcNetSeqIsNew(uint8_t node, uint8_t s) {
  const uint8_t last = Seq(node).lastRxSeq;
  if (last == 0 && Seq(node).txSeq == 0) return s == 1;
  if (last == 16) return s > 16;
  if (last > 16) return s > last || s < last - 16;
  return s > last && s < last + 239;
}

// ---------------------------------------------------------------------
// Queueing and flushing.

bool IpcNetTxQueue(uint8_t kind, uint8_t node, const uint8_t* msg, IpcTxRefusal* why) {
  IpcTxRefusal ignored;
  IpcTxRefusal& reason = why != nullptr ? *why : ignored;
  reason = IpcTxRefusal::kRefused;
  if (!IpcPktKindValid(kind)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_PKT_KIND);
    return false;
  }
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return false;
  }
  uint16_t msgLen = 0;
  if (kind != IPC_PKT_ACK) {
    if (msg == nullptr) {
      IPC_REPORT(IPC_SEV_ARG, IPC_ERR_STATE);
      return false;
    }
    msgLen = IpcGetU16(msg);
    if (msgLen < MinMsgLen(kind) || msgLen > IPC_MAX_MSG_LEN) {
      IPC_REPORT(IPC_SEV_ARG, IPC_ERR_MSG_LEN);
      return false;
    }
  }
  IpcNetState& s = Net();
  if (!Online(node) || LinkStatus(node) != IPC_LINK_STATUS_OK) {
    ++s.counters.notLinked;
    reason = IpcTxRefusal::kNotLinked;
    return false;
  }
  const uint16_t ei = LowestFreeEntry();
  if (ei == kIpcNoEntry) {
    ++s.counters.poolFull;
    reason = IpcTxRefusal::kPoolFull;
    return false;
  }
  reason = IpcTxRefusal::kNone;

  IpcNodeSeq& q = Seq(node);
  if (q.head == kIpcNoEntry) {
    if (q.tail != kIpcNoEntry) IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_TX_QUEUE);
  } else if (kind != IPC_PKT_ACK && msgLen <= kIpcPktSlotLen && q.tail < kIpcTxPoolSize) {
    // Pack into the waiting tail when it was never sent and has the kind,
    // the destination and a free slot.
    IpcTxEntry& t = s.pool[q.tail];
    uint8_t* tp = t.packet;
    const uint8_t count = tp[kOffCount];
    bool fits = t.sendResult == -1 && t.tries == 0 && tp[kOffKind] == kind &&
                ((count >= 2 && count <= kIpcPktMaxSlots - 1) ||
                 (count == 1 && IpcGetU16(Msg(tp, 0)) <= kIpcPktSlotLen));
    if (fits && kind == IPC_PKT_COMPROC_TO) {
      fits = std::memcmp(Msg(tp, 0) + kComProcDstOff, msg + kComProcDstOff, 4) == 0;
    } else if (fits && kind == IPC_PKT_EVNT_TO) {
      fits = std::memcmp(Msg(tp, 0) + kEvntDstOff, msg + kEvntDstOff, 4) == 0;
    }
    if (fits) {
      std::memcpy(Msg(tp, count), msg, msgLen);
      tp[kOffCount] = static_cast<uint8_t>(count + 1);
      ++s.counters.packed;
      SetPending(node);
      return true;
    }
  }

  IpcTxEntry& e = s.pool[ei];
  TakeEntry(ei);
  std::memset(&e, kIpcPktFill, sizeof e);
  e.node = node;
  e.sendResult = -1;
  e.tries = 0;
  e.lastSlot = kIpcNoSlot;
  e.serial = ++s.txSerial;
  e.packet[kOffKind] = kind;
  e.packet[kOffCount] = 1;
  IpcPutU16(e.packet + kOffLen, static_cast<uint16_t>(kIpcPktHdrLen + msgLen));
  if (msgLen > 0) std::memcpy(Msg(e.packet, 0), msg, msgLen);

  if (q.head != kIpcNoEntry && q.tail >= kIpcTxPoolSize) {
    // A tail that names no entry: the queue's own links say where it ends;
    // when they do not either, the queue is dropped and starts again here.
    IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_TX_QUEUE);
    q.tail = TailByLinks(node);
    if (q.tail == kIpcNoEntry) IpcNetTxFlush(node);
  }
  if (q.head == kIpcNoEntry) {
    e.next = ei;
    e.prev = ei;
    q.head = ei;
    q.tail = ei;
  } else {
    const uint16_t t = q.tail;
    e.prev = t;
    e.next = ei;
    s.pool[t].next = ei;
    q.tail = ei;
  }
  SetPending(node);
  return true;
}

void IpcNetTxFlush(uint8_t node) {
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  // Each unlink frees an entry or empties the queue, so the pool's size
  // bounds the loop even over broken links.
  for (int i = 0; i <= kIpcTxPoolSize && Seq(node).head != kIpcNoEntry; ++i) UnlinkHead(node);
  if (Seq(node).head != kIpcNoEntry || Seq(node).tail != kIpcNoEntry) {
    IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_TX_QUEUE);
    Seq(node).head = Seq(node).tail = kIpcNoEntry;
  }
}

// ---------------------------------------------------------------------
// Transmit step.

bool IpcNetTxStep(uint8_t node) {
  if (!IpcNodeIndxValid(node)) return false;
  IpcNetState& s = Net();
  const uint16_t ei = Seq(node).head;
  if (ei == kIpcNoEntry) return false;
  if (ei >= kIpcTxPoolSize || EntryFree(s.pool[ei])) {
    IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_TX_QUEUE);
    IpcNetTxFlush(node);
    return false;
  }
  IpcTxEntry& e = s.pool[ei];
  if (e.node != node) IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_TX_QUEUE);
  const uint8_t en = node;  // the queue's node; its entries are its own
  const uint32_t serial = e.serial;
  IpcNodeSeq& q = Seq(en);
  uint8_t* p = e.packet;

  if (e.tries == 0 && e.sendResult == -1) {
    q.txSeq = static_cast<uint8_t>(q.txSeq + 1);
    p[kOffSeq] = q.txSeq;
    e.sendResult = static_cast<int16_t>(IpcGetU16(p + kOffLen));
  }
  const bool acked = en != 0 && q.ackedSeq == p[kOffSeq];
  if (!acked) {
    // Every transmission carries the acknowledgement along.
    p[kOffAck] = q.lastRxSeq;
    const uint32_t slot = TimeSlot(e.tries);
    if (slot != e.lastSlot) {
      if (e.tries == 0 || e.tries >= q.backoff) {
        const int r = PktSend(en, p);
        e.sendResult = static_cast<int16_t>(r);
        if (r > 0 && r == IpcGetU16(p + kOffLen)) {
          // The owed acknowledgement left with this packet.
          q.ackOwed = 0;
          q.sendFailReported = 0;
        }
        if (r >= 0 && en != 0) {
          ++s.counters.transmissions;
          if (e.tries > 0) ++s.counters.retransmissions;
        }
      }
      e.lastSlot = slot;
      // Every attempt counts, sent, failed or held back by the backoff, so
      // a socket that keeps failing cannot hold the queue for ever.
      e.tries = static_cast<uint8_t>(e.tries + 1);
      if (e.tries == 3) e.lastSlot /= 5;
    }
  }

  IpcNetPktReceive(en);

  // The receive may have run procedures that changed the queue (a link
  // opened again, a node set offline): the entry must still be the head,
  // and the same message, not a new one queued since in the freed slot.
  if (Seq(en).head != ei || EntryFree(s.pool[ei]) || s.pool[ei].node != en ||
      s.pool[ei].serial != serial) {
    return false;
  }
  if (en != 0 && e.sendResult != -1 && e.tries < kIpcMaxTries && q.ackedSeq != p[kOffSeq]) {
    return false;
  }

  if (en != 0) {
    if (q.ackedSeq == p[kOffSeq]) {
      ++s.counters.completed;
    } else if (e.sendResult != -1) {
      ++s.counters.givenUp;
      if (e.sendResult == 0 && !q.sendFailReported) {
        // Every try of the packet failed in the socket driver: say so once
        // until a send succeeds again.
        q.sendFailReported = 1;
        const uint16_t code = IpcSockErrorGet(en, nullptr);
        IPC_REPORT(IPC_SEV_FAILURE, code != 0 ? code : uint16_t{IPC_ERR_SOCKET});
      }
    }
  }
  q.backoff = e.tries > 2 ? static_cast<uint16_t>(e.tries - 1) : 0;
  UnlinkHead(en);
  return true;
}

// ---------------------------------------------------------------------
// Receive.

bool IpcNetPktReceive(uint8_t node) {
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return false;
  }
  const uint8_t sock = SockOf(node);
  if (sock == 0) return false;
  IpcNetState& s = Net();
  if (!RingHasRoomForAPacket() && IpcSockMayHaveData(sock)) {
    ++s.counters.rxHeld;
    return false;
  }

  uint8_t buf[kRxBufLen];
  uint32_t fromAddr = 0;
  uint16_t fromPort = 0;
  const int got = IpcSockRecv(sock, &fromAddr, &fromPort, kRxBufLen, buf);
  if (got <= 0) {
    if (IpcSockErrorGet(node, nullptr) != 0 && node != 0) {
      IpcNetNodeLinkStatusSet(node, IPC_LINK_STATUS_ERROR);
    }
    return false;
  }
  ++s.counters.rxDatagrams;
  // Whatever is reported about this datagram names where it came from.
  IpcRxSenderScope sender(fromAddr, fromPort);
  // A link socket takes datagrams from its node's own address only.
  if (node != 0 && fromAddr != NodeAddr(node)) {
    SenderDropped(fromAddr);
    return true;
  }
  const uint16_t size = got > kRxBufLen ? kRxBufLen : static_cast<uint16_t>(got);
  const RxShape shape = RxWellFormed(buf, size);
  if (shape == RxShape::kDrop) {
    ++s.counters.rxMalformed;
    return true;
  }

  if (node != 0 && (NodeStatus(node) == IPC_NODE_STATUS_DISABLED ||
                    NodeStatus(0) == IPC_NODE_STATUS_DISABLED)) {
    return true;
  }
  const uint32_t dst = IpcGetU32(buf + kOffDst);
  const uint32_t src = IpcGetU32(buf + kOffSrc);
  const uint32_t own = Node0Addr();
  if (node == 0) {
    if (src == own) return true;  // our own broadcast
    // A node-0 datagram comes from the address its header names.
    if (fromAddr != src) {
      SenderDropped(fromAddr);
      return true;
    }
    if (dst != kIpcBcastAddr && dst != own) {
      ++s.counters.rxAddress;
      IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_NODE_ADDR);
      return true;
    }
  } else if (dst != own || src != NodeAddr(node)) {
    ++s.counters.rxAddress;
    IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_NODE_ADDR);
    return true;
  }

  const uint8_t from = IpcNetNodeAddrExists(src);
  if (from != IPC_NO_NET_NODE && Online(from)) IpcNetNodeStatusSet(from, IPC_NODE_STATUS_ONLINE);

  IpcNodeSeq& q = Seq(node);
  if (buf[kOffAck] == q.txSeq) q.ackedSeq = q.txSeq;

  const uint8_t kind = buf[kOffKind];
  if (kind == IPC_PKT_ACK) return true;
  const uint8_t seq = buf[kOffSeq];
  const uint8_t count = buf[kOffCount];
  if (node != 0) {
    const bool isNew = IpcNetSeqIsNew(node, seq);
    // Events are taken only when the ring can hold them all; otherwise the
    // packet is left unacknowledged for the peer to send again.
    const bool evnts = kind == IPC_PKT_EVNT || kind == IPC_PKT_EVNT_MULTI;
    if (isNew && evnts && shape == RxShape::kGood && IpcEvntRoom() < count) {
      ++s.counters.rxRingFull;
      return true;
    }
    if (seq == q.lastRxSeq || isNew) {
      if (size >= kIpcImmediateAckLen) {
        uint8_t ack[kIpcPktHdrLen];
        std::memcpy(ack, buf, kIpcPktHdrLen);
        ack[kOffKind] = IPC_PKT_ACK;
        ack[kOffAck] = seq;
        q.ackOwed = 0;
        if (PktSend(node, ack) == kIpcPktHdrLen) ++s.counters.acksSent;
      } else {
        q.ackOwed = 1;
        SetPending(node);
      }
    }
    if (!isNew) {
      ++s.counters.rxRepeats;
      return true;
    }
  }
  Seq(node).lastRxSeq = seq;
  if (shape == RxShape::kBadCount) {
    // Its sequence is taken and its acknowledgement owed, so the peer does
    // not send it again: it is reported once, and nothing is delivered.
    ++s.counters.rxMalformed;
    IPC_REPORT(IPC_SEV_INTERNAL, IPC_ERR_MSG_COUNT);
    return true;
  }

  // Slot messages were bounded by RxWellFormed; each is delivered from
  // this call's own copy, so procedures may re-enter the library.
  const bool comProc = IsComProcKind(kind);
  if (kind == IPC_PKT_COMPROC || kind == IPC_PKT_EVNT) {
    if (comProc) {
      DeliverComProc(node, Msg(buf, 0));
    } else {
      DeliverEvnt(node, Msg(buf, 0));
    }
  } else {
    for (int i = 0; i < count; ++i) {
      if (comProc) {
        DeliverComProc(node, Msg(buf, i));
      } else {
        DeliverEvnt(node, Msg(buf, i));
      }
    }
  }
  return true;
}

// ---------------------------------------------------------------------
// Links.

bool IpcNetLinkOpen(uint8_t node) {
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return false;
  }
  if (!IpcNetNodeInUse(node) || !IpcNetNodeInUse(0)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return false;
  }
  const uint8_t link = LinkStatus(node);
  if (link == IPC_LINK_STATUS_OK || link == IPC_LINK_STATUS_UNLINK_WAIT) {
    ResetSeq(node);
    IpcNetTxFlush(node);
    IpcNetNodeLinkStatusSet(node, IPC_LINK_STATUS_OK);
    return true;
  }
  if (SockOf(node) != 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SOCKET);
    return false;
  }
  const uint8_t sock = IpcSockOpen(node);
  if (sock == 0) return false;
  bool bound;
  if (node == 0) {
    bound = IpcSockBind(sock, kIpcAnyAddress, kIpcNode0Port);
    if (bound) IpcSockRemotePortSet(sock, kIpcNode0Port);
  } else {
    bound = IpcSockBind(sock, Node0Addr(), IpcSockLinkPort(NodeAddr(node)));
    if (bound) IpcSockRemotePortSet(sock, IpcSockLinkPort(Node0Addr()));
  }
  if (!bound) {
    IpcSockClose(sock);
    return false;
  }
  ResetSeq(node);
  IpcNetTxFlush(node);
  IpcNetNodeSockIndxSet(node, sock);
  IpcNetNodeLinkStatusSet(node, IPC_LINK_STATUS_OK);
  if (NodeStatus(node) == IPC_NODE_STATUS_OFFLINE) {
    IpcNetNodeStatusSet(node, IPC_NODE_STATUS_ONLINE);
  }
  return true;
}

bool IpcNetLinkClose(uint8_t node) {
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return false;
  }
  const uint8_t link = LinkStatus(node);
  if (link == IPC_LINK_STATUS_NONE || link == IPC_LINK_STATUS_LINK_WAIT || link == 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_LINK_STATUS);
    return false;
  }
  const uint8_t sock = SockOf(node);
  if (sock == 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SOCKET);
    return false;
  }
  if (node != 0) IpcClntLinkClosed(node);
  if (Online(node) && (Seq(node).head != kIpcNoEntry || Seq(node).ackOwed)) return false;
  // The clean-up may have closed the link already.
  if (SockOf(node) != sock) return true;
  IpcSockClose(sock);
  IpcNetNodeSockIndxSet(node, 0);
  const bool needed = node != 0 && IpcClntAnyRelation(node);
  IpcNetNodeLinkStatusSet(node, needed ? IPC_LINK_STATUS_LINK_WAIT : IPC_LINK_STATUS_NONE);
  IpcNetTxFlush(node);
  return true;
}

void IpcNetLinkNeeded(uint8_t node) {
  if (node == 0) return;
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  const uint8_t link = LinkStatus(node);
  if (link == IPC_LINK_STATUS_NONE) {
    IpcNetNodeLinkStatusSet(node, IPC_LINK_STATUS_LINK_WAIT);
  } else if (link == IPC_LINK_STATUS_UNLINK_WAIT) {
    IpcNetLinkOpen(node);
  }
}

void IpcNetLinkNotNeeded(uint8_t node) {
  if (node == 0) return;
  if (!IpcNodeIndxValid(node)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return;
  }
  if (!IpcNetNodeInUse(node)) return;
  const uint8_t link = LinkStatus(node);
  if (link == IPC_LINK_STATUS_NONE || link == IPC_LINK_STATUS_UNLINK_WAIT) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_LINK_STATUS);
    return;
  }
  if (IpcClntAnyRelation(node)) return;
  IpcNetNodeLinkStatusSet(node, link == IPC_LINK_STATUS_LINK_WAIT ? IPC_LINK_STATUS_NONE
                                                                  : IPC_LINK_STATUS_UNLINK_WAIT);
}

// ---------------------------------------------------------------------
// Sending messages.

int IpcNetComProcSend(uint8_t node, const IpcComProcHdr* request) {
  if (request == nullptr) return IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NULL_COMPROC);
  IpcErrCtxSet(request->svrType, request->svrIndx);
  if (request->length > IPC_MAX_MSG_LEN) return IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NULL_COMPROC);
  if (request->length < sizeof(IpcComProcHdr)) return IPC_REPORT(IPC_SEV_ARG, IPC_ERR_MSG_LEN);
  if (!IpcSvrTypeValid(request->svrType)) return IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
  if (!IpcSvrIndxValid(request->svrType, request->svrIndx) || request->hostHandle == 0) {
    return IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
  }
  if (request->procId == 0) return IPC_REPORT(IPC_SEV_ARG, IPC_ERR_PROC_ID);
  if (request->clntHandle == 0) return IPC_REPORT(IPC_SEV_ARG, IPC_ERR_CLNT_HANDLE);
  const uint8_t* msg = reinterpret_cast<const uint8_t*>(request);
  if (request->hostKind > 4 && request->hostKind <= 8) {
    // Host kinds 4 to 8 count as one on the wire.
    uint8_t copy[IPC_MAX_MSG_LEN];
    std::memcpy(copy, msg, request->length);
    copy[offsetof(IpcComProcHdr, hostKind)] = 4;
    return IpcNetTxQueue(IPC_PKT_COMPROC, node, copy) ? 1 : IPC_NOT_QUEUED;
  }
  return IpcNetTxQueue(IPC_PKT_COMPROC, node, msg) ? 1 : IPC_NOT_QUEUED;
}

int IpcNetEvntSend(uint8_t node, const IpcEvntHdr* event) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (event == nullptr) return IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NULL_EVNT);
  if (event->length > IPC_MAX_MSG_LEN || event->length < sizeof(IpcEvntHdr)) {
    return IPC_REPORT(IPC_SEV_ARG, IPC_ERR_MSG_LEN);
  }
  IpcErrCtxSet(event->svrType, event->hostHandle);
  return IpcNetTxQueue(IPC_PKT_EVNT, node, reinterpret_cast<const uint8_t*>(event)) ? 1
                                                                                    : IPC_NOT_QUEUED;
}

// ---------------------------------------------------------------------
// Read access.

const IpcNetCounters& IpcNetCountersGet() { return Net().counters; }
const IpcNodeSeq& IpcNetNodeSeqGet(uint8_t node) {
  return Seq(node < IPC_MAX_NET_NODES ? node : 0);
}
int IpcNetPoolFree() {
  int n = 0;
  for (uint64_t w : Net().freeBits) n += __builtin_popcountll(w);
  return n;
}

}  // namespace ipc

// ---------------------------------------------------------------------
// Exports.

using namespace ipc;

extern "C" {

uint8_t IpcNetNodeLinkInit(void) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (!IpcNetNodeInUse(0)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return 0;
  }
  IpcNetNodeStartTimeSet(0, IpcCurrentTime);
  uint8_t ether[IPC_ETHER_ADDR_SIZE];
  IpcSockEtherAddrGet(ether);
  IpcNetNodeEtherAddrSet(0, ether);
  return IpcNetLinkOpen(0) ? 1 : 0;
}

void IpcNetDespatch(void) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  // One look learns which sockets have data: a socket without is not asked.
  IpcSockReadyBegin();
  uint64_t withData[2] = {0, 0};
  IpcSockNodesWithData(withData);
  // The node service pass, over the nodes that have something to do, in
  // index order.
  for (int next = NextNodeToServe(-1, withData); next >= 0; next = NextNodeToServe(next, withData)) {
    const auto n = static_cast<uint8_t>(next);
    if (!IpcNetNodeInUse(n)) {
      ClearPending(n);
      continue;
    }
    const bool owed = Seq(n).ackOwed != 0;
    for (int i = 0; i < kIpcRxPerPass && IpcNetPktReceive(n); ++i) {
    }
    // A completed head makes way for the next packet, which goes now rather
    // than in the next pass (node 0's packets each complete as they go, so
    // its queue empties); each step that completes frees an entry.
    for (int k = 0; k < kIpcTxPoolSize && Online(n) && IpcNetTxStep(n) && HeadFresh(n); ++k) {
    }
    // An acknowledgement owed since before this pass that no data packet
    // carried goes out on its own.
    if (n != 0 && owed && Seq(n).ackOwed && IpcNetNodeInUse(n)) SendAck(n);
    if (Seq(n).head == kIpcNoEntry && Seq(n).ackOwed == 0) ClearPending(n);
    IpcErrCtxSet(IPC_SVR_LOG, 1);
  }

  if (IpcTimeSince(Net().announceTime) >= IpcNetBcastPeriod) {
    Net().announceTime = IpcCurrentTime;
    if (Online(0)) IpcRouterNodeStatusEvnt(0, IPC_NODE_STATUS_ONLINE);
    for (uint8_t n = 1; n < IPC_MAX_NET_NODES; ++n) {
      if (!IpcNetNodeInUse(n)) continue;
      IpcErrCtxSet(IPC_SVR_LOG, 1);
      if (LinkStatus(n) == IPC_LINK_STATUS_LINK_WAIT) IpcRouterLinkOpenReq(n);
      if (Online(n) &&
          IpcTimeSince(IpcNetNodeLastHeardGet(n)) >= IpcNetNodeSilenceTimeoutGet(n)) {
        IpcNetNodeStatusSet(n, IPC_NODE_STATUS_OFFLINE);
      }
    }
    IpcErrCtxSet(IPC_SVR_LOG, 1);
    IpcClntAttachPass();
  }
  IpcSockReadyEnd();
}

uint16_t IpcNetNodeBufStateGet(uint8_t netNodeIndx, uint16_t* head, uint16_t* tail) {
  IpcErrCtxSet(IPC_SVR_LOG, 1);
  if (head == nullptr || tail == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NULL_OUT);
    return kIpcNoEntry;
  }
  if (!IpcNodeIndxValid(netNodeIndx)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NET_NODE_INDX);
    return kIpcNoEntry;
  }
  *head = Seq(netNodeIndx).head;
  *tail = Seq(netNodeIndx).tail;
  return *tail;
}

}  // extern "C"
