// The reliable datagram layer: wire format, sequence window, packing and
// the transmit pool, retransmission and acknowledgement, receive checks,
// links and silence.  Two library instances talk over the in-memory hub
// with one fake clock (net_fixture.h).
#include "ipcnet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "ipc_fixture.h"
#include "net/error.h"
#include "net_fixture.h"

namespace {

using ipctest::kNodeAddr;
using ipctest::kPcAddr;
using ipctest::kPeer;
using ipctest::NetPair;
using ipctest::Reports;
using ipctest::SerialOf;
using ipctest::Side;
using ipctest::TakeReports;
using ipctest::TestEvnt;

constexpr uint16_t kPcLinkPort = 2515 + 20;    // the PC's socket for the node
constexpr uint16_t kNodeLinkPort = 2515 + 5;   // the node's socket for the PC

uint16_t U16(const std::vector<uint8_t>& b, size_t off) { return IpcGetU16(b.data() + off); }
uint32_t U32(const std::vector<uint8_t>& b, size_t off) { return IpcGetU32(b.data() + off); }

// ---------------------------------------------------------------------
// Wire format.

class WireFormat : public NetPair {};

TEST_F(WireFormat, FirstLinkPacketHeaderIsExactAndThreeSmallEventsShareOneKind5Datagram) {
  Link();
  hub_.ClearRecords();
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(SendEvnt(node_, TestEvnt(40, i)));
  Step(1);

  const auto out = Traffic(kNodeAddr, kPcAddr);
  ASSERT_EQ(out.size(), 1u);
  const std::vector<uint8_t>& b = out[0].bytes;
  EXPECT_EQ(out[0].to.port, kPcLinkPort);
  EXPECT_EQ(out[0].from.port, kNodeLinkPort);
  ASSERT_EQ(b.size(), 46u + 3 * 75);
  // Addresses are host-order u32 values written little-endian.
  const uint8_t dst[4] = {0x05, 0x01, 0xA8, 0xC0};
  const uint8_t src[4] = {0x14, 0x01, 0xA8, 0xC0};
  EXPECT_EQ(std::memcmp(b.data() + 0, dst, 4), 0);
  EXPECT_EQ(std::memcmp(b.data() + 4, src, 4), 0);
  EXPECT_EQ(U16(b, 8), 271);
  EXPECT_EQ(b[10], IPC_PKT_EVNT_MULTI);
  EXPECT_EQ(b[11], 1);  // the first packet on a fresh link
  EXPECT_EQ(b[12], 0);  // nothing received yet
  EXPECT_EQ(b[13], 3);
  for (int i = 14; i < 46; ++i) EXPECT_EQ(b[i], 0xCC) << "reserved byte " << i;
  for (uint32_t i = 0; i < 3; ++i) {
    const size_t slot = 46 + 75 * i;
    EXPECT_EQ(U16(b, slot), 40) << i;
    EXPECT_EQ(U32(b, slot + 18), i) << i;
  }

  Step(1);  // the PC reads it in its next poll
  ASSERT_EQ(pc_.received.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(SerialOf(pc_.received[i]), i);
}

TEST_F(WireFormat, SingleMessagesGoAsKind1Or2WithTheirOwnLengthAndLargeOnesAreAckedAtOnce) {
  struct Case {
    uint16_t datagram;  // bytes on the wire, header included
    bool atOnce;        // acknowledged in the poll that reads it
  } cases[] = {{399, false}, {400, true}, {546, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.datagram);
    Link();  // a fresh link for each: the first packet carries sequence 1
    hub_.ClearRecords();
    const uint32_t completed = Counters(node_).completed;
    ASSERT_TRUE(SendEvnt(node_, TestEvnt(static_cast<uint16_t>(c.datagram - 46), 7)));
    Step(1);
    const auto out = Traffic(kNodeAddr, kPcAddr);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes.size(), c.datagram);
    EXPECT_EQ(U16(out[0].bytes, 8), c.datagram);
    EXPECT_EQ(out[0].bytes[10], IPC_PKT_EVNT);
    EXPECT_EQ(out[0].bytes[13], 1);

    // The PC reads it; from 400 bytes on it acknowledges in that poll, by
    // a kind 3 of 46 bytes that names the received sequence, below that
    // only in the next pass.
    Step(1);
    auto back = Traffic(kPcAddr, kNodeAddr);
    if (!c.atOnce) {
      EXPECT_TRUE(back.empty());
      Step(1);
      back = Traffic(kPcAddr, kNodeAddr);
    }
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].bytes.size(), 46u);
    EXPECT_EQ(back[0].bytes[10], IPC_PKT_ACK);
    EXPECT_EQ(back[0].bytes[12], 1);
    EXPECT_EQ(U32(back[0].bytes, 0), kNodeAddr);
    EXPECT_EQ(U32(back[0].bytes, 4), kPcAddr);
    Step(1);
    EXPECT_TRUE(QueueEmpty(node_));
    EXPECT_EQ(Counters(node_).completed, completed + 1);
  }
}

TEST_F(WireFormat, SmallPacketIsAckedByTheNextDataPacketOrExplicitlyInTheNextPass) {
  Link();
  // Piggybacked: the PC has data for the node in the same pass.
  ASSERT_TRUE(SendEvnt(node_, TestEvnt(100, 1)));
  Step(1);  // the node sends
  hub_.ClearRecords();
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(60, 2)));
  Step(1);  // the PC reads it and sends its own packet in the same pass
  auto back = Traffic(kPcAddr, kNodeAddr);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].bytes[10], IPC_PKT_EVNT);
  EXPECT_EQ(back[0].bytes[12], 1);  // carries the acknowledgement
  Step(1);
  EXPECT_TRUE(QueueEmpty(node_));
  for (int i = 0; i < 3; ++i) Step(1);
  EXPECT_TRUE(QueueEmpty(pc_));

  // Explicit: nothing to carry it, so a kind 3 in the next pass.
  ASSERT_TRUE(SendEvnt(node_, TestEvnt(100, 3)));
  Step(1);  // the node sends
  hub_.ClearRecords();
  Step(1);  // the PC reads it and owes the acknowledgement
  EXPECT_TRUE(Traffic(kPcAddr, kNodeAddr).empty());
  Step(1);
  back = Traffic(kPcAddr, kNodeAddr);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].bytes[10], IPC_PKT_ACK);
  EXPECT_EQ(back[0].bytes[12], 2);
}

TEST_F(WireFormat, NothingIsPackedIntoAHeadAlreadySent) {
  Link();
  ASSERT_TRUE(SendEvnt(node_, TestEvnt(40, 0)));
  Step(1);  // sent, not yet acknowledged
  ASSERT_TRUE(SendEvnt(node_, TestEvnt(40, 1)));
  On(node_, [] {
    const IpcNodeSeq& q = ipc::IpcNetNodeSeqGet(kPeer);
    EXPECT_NE(q.head, q.tail);
    EXPECT_EQ(ipc::IpcNetCountersGet().packed, 0u);
  });
  for (int i = 0; i < 5; ++i) Step(1);
  ASSERT_EQ(pc_.received.size(), 2u);
  EXPECT_EQ(SerialOf(pc_.received[1]), 1u);
}

// ---------------------------------------------------------------------
// The sequence window.

class SeqWindow : public ipctest::LibFixture {};

TEST_F(SeqWindow, NewSequencesByLastAcceptedOne) {
  struct Case {
    const char* what;
    uint8_t last;
    uint8_t txSeq;
    std::vector<std::pair<int, int>> fresh;  // inclusive ranges that are new
  } cases[] = {
      {"fresh link accepts only 1", 0, 0, {{1, 1}}},
      {"after a wrap to 0 with traffic sent", 0, 9, {{1, 238}}},
      {"last 5", 5, 0, {{6, 243}}},
      {"last 15", 15, 3, {{16, 253}}},
      {"last 16", 16, 3, {{17, 255}}},
      {"last 17: wrap below 1", 17, 3, {{0, 0}, {18, 255}}},
      {"last 100", 100, 3, {{0, 83}, {101, 255}}},
      {"last 255: the wrap", 255, 3, {{0, 238}}},
  };
  for (const Case& c : cases) {
    ipc::Cur().net.seq[kPeer].lastRxSeq = c.last;
    ipc::Cur().net.seq[kPeer].txSeq = c.txSeq;
    for (int s = 0; s < 256; ++s) {
      bool expected = false;
      for (auto [lo, hi] : c.fresh) expected = expected || (s >= lo && s <= hi);
      EXPECT_EQ(ipc::IpcNetSeqIsNew(kPeer, static_cast<uint8_t>(s)), expected)
          << c.what << ": sequence " << s;
    }
  }
}

// ---------------------------------------------------------------------
// Packing and the transmit pool (one instance; queueing needs no socket).

class Queueing : public ipctest::LibFixture {
 protected:
  void SetUp() override {
    LibFixture::SetUp();
    ASSERT_EQ(IpcNetNodeInfoCreate(0, "PC", kPcAddr, 20), 0);
    ASSERT_EQ(IpcNetNodeInfoCreate(kPeer, "PEER", kNodeAddr, 5), kPeer);
    ASSERT_EQ(IpcNetNodeInfoCreate(2, "OTHER", kNodeAddr + 1, 5), 2);
    for (uint8_t n : {uint8_t{0}, kPeer, uint8_t{2}}) {
      ipc::IpcNetNodeStatusSet(n, IPC_NODE_STATUS_ONLINE);
      ipc::IpcNetNodeLinkStatusSet(n, IPC_LINK_STATUS_OK);
    }
    ipc::IpcStubClear();
  }

  bool Queue(uint8_t node, uint16_t len, uint32_t serial = 0, uint8_t kind = IPC_PKT_EVNT) {
    const auto e = TestEvnt(len, serial);
    return ipc::IpcNetTxQueue(kind, node, e.data());
  }

  // The entries of a node's queue, head first.
  std::vector<const IpcTxEntry*> Entries(uint8_t node) {
    std::vector<const IpcTxEntry*> out;
    uint16_t i = ipc::IpcNetNodeSeqGet(node).head;
    while (i != kIpcNoEntry && out.size() <= kIpcTxPoolSize) {
      const IpcTxEntry& e = ipc::Cur().net.pool[i];
      out.push_back(&e);
      if (e.next == i) break;
      i = e.next;
    }
    return out;
  }
};

TEST_F(Queueing, SmallMessagesShareAnEntryUpTo13AndA76ByteOneStartsAnother) {
  for (uint32_t i = 0; i < 14; ++i) ASSERT_TRUE(Queue(kPeer, 75, i));
  auto q = Entries(kPeer);
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0]->packet[13], 13);
  EXPECT_EQ(q[1]->packet[13], 1);
  for (int s = 0; s < 13; ++s) EXPECT_EQ(IpcGetU32(q[0]->packet + 46 + 75 * s + 18), uint32_t(s));

  ASSERT_TRUE(Queue(kPeer, 76, 20));  // too long for a slot
  ASSERT_TRUE(Queue(kPeer, 40, 21));  // behind a first message of 76 bytes
  q = Entries(kPeer);
  ASSERT_EQ(q.size(), 4u);
  EXPECT_EQ(q[1]->packet[13], 1);
  EXPECT_EQ(q[2]->packet[13], 1);
  EXPECT_EQ(q[3]->packet[13], 1);
  EXPECT_EQ(ipc::IpcNetCountersGet().packed, 12u);
}

TEST_F(Queueing, KindsAndDestinationsArePackedOnlyWithTheirOwn) {
  ASSERT_TRUE(Queue(kPeer, 40, 0, IPC_PKT_EVNT));
  ASSERT_TRUE(Queue(kPeer, 40, 1, IPC_PKT_COMPROC));
  ASSERT_TRUE(Queue(kPeer, 40, 2, IPC_PKT_COMPROC));
  EXPECT_EQ(Entries(kPeer).size(), 2u);

  // Router events on node 0 pack only when addressed to the same node.
  auto to = [](uint32_t dst, uint32_t serial) {
    auto e = TestEvnt(40, serial);
    IpcPutU32(e.data() + 18, dst);
    return e;
  };
  ASSERT_TRUE(ipc::IpcNetTxQueue(IPC_PKT_EVNT_TO, 0, to(kNodeAddr, 0).data()));
  ASSERT_TRUE(ipc::IpcNetTxQueue(IPC_PKT_EVNT_TO, 0, to(kNodeAddr, 1).data()));
  ASSERT_TRUE(ipc::IpcNetTxQueue(IPC_PKT_EVNT_TO, 0, to(kNodeAddr + 1, 2).data()));
  auto q = Entries(0);
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0]->packet[13], 2);
  EXPECT_EQ(q[1]->packet[13], 1);
}

TEST_F(Queueing, MessageWithTheWholePoolInUseIsRefusedAndItsSenderTold) {
  for (uint32_t i = 0; i < kIpcTxPoolSize; ++i) {
    ASSERT_TRUE(Queue(i % 2 == 0 ? kPeer : 2, 100, i)) << i;
  }
  EXPECT_EQ(ipc::IpcNetPoolFree(), 0);
  IpcTxRefusal why = IpcTxRefusal::kNone;
  const auto big = TestEvnt(500, 48);
  EXPECT_FALSE(ipc::IpcNetTxQueue(IPC_PKT_EVNT, kPeer, big.data(), &why));
  EXPECT_EQ(why, IpcTxRefusal::kPoolFull);
  // What a com-proc or event sender sees.
  EXPECT_EQ(ipc::IpcNetEvntSend(2, reinterpret_cast<const IpcEvntHdr*>(TestEvnt(30, 49).data())),
            IPC_NOT_QUEUED);
  EXPECT_EQ(ipc::IpcNetCountersGet().poolFull, 2u);
  EXPECT_TRUE(TakeReports().empty());
  ipc::IpcNetTxFlush(kPeer);
  EXPECT_EQ(ipc::IpcNetPoolFree(), kIpcTxPoolSize / 2);
  EXPECT_TRUE(Queue(kPeer, 500, 50));
}

TEST_F(Queueing, TailThatNamesNoEntryIsReportedAndTheQueueKeptWhole) {
  struct Case {
    const char* what;
    uint16_t tail;
    bool linksBroken;  // the second entry's link leads nowhere either
  } cases[] = {
      {"tail past the pool", kIpcTxPoolSize + 12, false},
      {"tail marked empty", kIpcNoEntry, false},
      {"tail and links broken: the queue starts again", kIpcTxPoolSize + 12, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Queue(kPeer, 100, 0));
    ASSERT_TRUE(Queue(kPeer, 100, 1));
    IpcNodeSeq& seq = ipc::Cur().net.seq[kPeer];
    if (c.linksBroken) ipc::Cur().net.pool[seq.tail].next = kIpcTxPoolSize + 12;
    seq.tail = c.tail;

    ASSERT_TRUE(Queue(kPeer, 100, 2));
    const auto reports = TakeReports();
    ASSERT_FALSE(reports.empty());
    for (const IpcLogEvnt& r : reports) {
      EXPECT_EQ(r.ErrCode, IPC_ERR_TX_QUEUE);
      EXPECT_EQ(r.hdr.evntCode, IPC_SEV_INTERNAL + 1);
    }
    const auto q = Entries(kPeer);
    const std::vector<uint32_t> want =
        c.linksBroken ? std::vector<uint32_t>{2} : std::vector<uint32_t>{0, 1, 2};
    ASSERT_EQ(q.size(), want.size());
    for (size_t i = 0; i < q.size(); ++i) EXPECT_EQ(IpcGetU32(q[i]->packet + 46 + 18), want[i]);
    EXPECT_EQ(&ipc::Cur().net.pool[seq.tail], q.back());
    EXPECT_EQ(ipc::IpcNetPoolFree(), kIpcTxPoolSize - static_cast<int>(q.size()));

    ipc::IpcNetTxFlush(kPeer);
    EXPECT_TRUE(TakeReports().empty());
    EXPECT_EQ(ipc::IpcNetPoolFree(), kIpcTxPoolSize);
  }
}

TEST_F(Queueing, MessagesForNodesNotOnlineOrNotLinkedAreDroppedQuietly) {
  ipc::IpcNetNodeLinkStatusSet(2, IPC_LINK_STATUS_UNLINK_WAIT);
  EXPECT_FALSE(Queue(2, 40));
  EXPECT_EQ(ipc::IpcNetEvntSend(2, reinterpret_cast<const IpcEvntHdr*>(TestEvnt(40, 1).data())),
            IPC_NOT_QUEUED);
  ipc::IpcNetNodeStatusSet(kPeer, IPC_NODE_STATUS_OFFLINE);
  TakeReports();  // the router closing a link that has no socket here
  EXPECT_FALSE(Queue(kPeer, 40));
  EXPECT_FALSE(Queue(7, 40));  // not in the table
  EXPECT_EQ(ipc::IpcNetCountersGet().notLinked, 4u);
  EXPECT_TRUE(TakeReports().empty());
  EXPECT_EQ(ipc::IpcNetPoolFree(), kIpcTxPoolSize);
}

TEST_F(Queueing, BufStateOfAnIdleNodeAndItsRefusals) {
  uint16_t head = 0, tail = 0;
  EXPECT_EQ(IpcNetNodeBufStateGet(kPeer, &head, &tail), 0xFFFF);
  EXPECT_EQ(head, 0xFFFF);
  EXPECT_EQ(tail, 0xFFFF);
  ASSERT_TRUE(Queue(kPeer, 100));
  ASSERT_TRUE(Queue(kPeer, 100));
  EXPECT_EQ(IpcNetNodeBufStateGet(kPeer, &head, &tail), 1);
  EXPECT_EQ(head, 0);
  EXPECT_EQ(tail, 1);

  struct Case {
    uint8_t node;
    bool nullHead;
    uint16_t code;
  } cases[] = {{kPeer, true, IPC_ERR_NULL_OUT}, {100, false, IPC_ERR_NET_NODE_INDX}};
  for (const Case& c : cases) {
    IpcNetNodeBufStateGet(c.node, c.nullHead ? nullptr : &head, &tail);
    auto r = TakeReports();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].ErrCode, c.code);
    EXPECT_STREQ(r[0].file, "ipcnet");
  }
}

TEST_F(Queueing, SendChecksOfComProcsAndEvents) {
  struct Case {
    const char* what;
    uint16_t length;
    uint8_t svrType, svrIndx, procId, clntHandle, hostHandle;
    uint16_t code;  // 0 = queued
  } cases[] = {
      {"too long", 1251, 22, 1, 1, 1, 1, IPC_ERR_NULL_COMPROC},
      {"shorter than its header", 15, 22, 1, 1, 1, 1, IPC_ERR_MSG_LEN},
      {"server type", 40, 23, 1, 1, 1, 1, IPC_ERR_SVR_TYPE},
      {"server index", 40, 22, 101, 1, 1, 1, IPC_ERR_SVR_INDX},
      {"host handle 0", 40, 22, 1, 1, 1, 0, IPC_ERR_SVR_INDX},
      {"procedure 0", 40, 22, 1, 0, 1, 1, IPC_ERR_PROC_ID},
      {"client 0", 40, 22, 1, 1, 0, 1, IPC_ERR_CLNT_HANDLE},
      {"valid", 40, 22, 1, 1, 1, 1, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> m(1300, 0);
    IpcComProcHdr h{};
    h.length = c.length;
    h.svrType = c.svrType;
    h.svrIndx = c.svrIndx;
    h.procId = c.procId;
    h.clntHandle = c.clntHandle;
    h.hostHandle = c.hostHandle;
    h.hostKind = 7;  // another host: goes out as 4
    std::memcpy(m.data(), &h, sizeof h);
    const int r = ipc::IpcNetComProcSend(kPeer, reinterpret_cast<IpcComProcHdr*>(m.data()));
    auto reports = TakeReports();
    if (c.code == 0) {
      EXPECT_EQ(r, 1) << c.what;
      EXPECT_TRUE(reports.empty()) << c.what;
      auto q = Entries(kPeer);
      ASSERT_EQ(q.size(), 1u);
      EXPECT_EQ(q[0]->packet[46 + 6], 4) << "host kind on the wire";
    } else {
      ASSERT_EQ(reports.size(), 1u) << c.what;
      EXPECT_EQ(reports[0].ErrCode, c.code) << c.what;
      EXPECT_EQ(reports[0].Svr, c.svrType) << c.what;
      EXPECT_TRUE(Entries(kPeer).empty()) << c.what;
    }
  }
  ipc::IpcNetTxFlush(kPeer);
  ipc::IpcNetEvntSend(kPeer, nullptr);
  auto r = TakeReports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].ErrCode, IPC_ERR_NULL_EVNT);
  EXPECT_EQ(r[0].Svr, IPC_SVR_LOG);
  auto big = TestEvnt(1250, 0);
  IpcPutU16(big.data(), 1251);
  big.resize(1251);
  ipc::IpcNetEvntSend(kPeer, reinterpret_cast<const IpcEvntHdr*>(big.data()));
  r = TakeReports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].ErrCode, IPC_ERR_MSG_LEN);
  EXPECT_TRUE(Entries(kPeer).empty());
}

// ---------------------------------------------------------------------
// Retransmission.

// Sends the debug hook saw on the current instance: virtual time and bytes.
struct Sent {
  uint64_t ms;
  std::vector<uint8_t> bytes;
};
std::vector<Sent> g_sent;
uint64_t g_nowMs = 0;

void RecordSend(int direction, uint16_t length, const void* datagram) {
  if (direction != IPC_DEBUG_DIR_SEND) return;
  const auto* p = static_cast<const uint8_t*>(datagram);
  g_sent.push_back(Sent{g_nowMs, std::vector<uint8_t>(p, p + length)});
}

class Retransmission : public NetPair {
 protected:
  void SetUp() override {
    NetPair::SetUp();
    g_sent.clear();
    // Only the PC's side of the link opens: the node never answers.
    On(pc_, [] {
      ASSERT_TRUE(ipc::IpcNetLinkOpen(kPeer));
      ipc::IpcNetNodeSilenceTimeoutSet(kPeer, 65000);
      InstallDebugHook(&RecordSend);
    });
  }

  // Polls the PC alone every stepMs until its queue for the node is empty
  // (bounded); returns the sends of link data packets, and the time the
  // queue emptied.
  std::vector<uint64_t> RunUntilGivenUp(uint64_t stepMs, uint64_t* emptiedAt) {
    std::vector<uint64_t> times;
    for (int i = 0; i < 200000 && !QueueEmpty(pc_); ++i) {
      hub_.Advance(stepMs);
      g_nowMs = NowMs();
      Poll(pc_);
    }
    *emptiedAt = g_nowMs;
    for (const Sent& s : g_sent) {
      if (s.bytes.size() > 46 && IpcGetU32(s.bytes.data()) == kNodeAddr &&
          !ipctest::IsRouterDatagram(s.bytes)) {
        times.push_back(s.ms);
      }
    }
    g_sent.clear();
    return times;
  }
};

TEST_F(Retransmission, ScheduleAndGiveUpAtEachPollRate) {
  struct Case {
    uint64_t stepMs;
    uint64_t giveUpMinMs, giveUpMaxMs;
  } cases[] = {
      {1, 4800, 4900},      // 10, 10, then 50 ms
      {100, 9900, 9900},    // one per poll
      {1000, 99000, 99000}, // a poll exactly once a second still retransmits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stepMs);
    const auto before = Counters(pc_);
    ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 1)));
    uint64_t emptiedAt = 0;
    const auto t = RunUntilGivenUp(c.stepMs, &emptiedAt);
    ASSERT_EQ(t.size(), 100u);
    EXPECT_EQ(emptiedAt, t.back());  // given up right after the 100th
    const uint64_t span = t.back() - t.front();
    EXPECT_GE(span, c.giveUpMinMs);
    EXPECT_LE(span, c.giveUpMaxMs);
    for (size_t i = 1; i < t.size(); ++i) {
      const uint64_t gap = t[i] - t[i - 1];
      if (c.stepMs == 1) {
        if (i <= 2) {
          EXPECT_GE(gap, 1u) << i;
          EXPECT_LE(gap, 10u) << i;
        } else if (i == 3) {
          EXPECT_LE(gap, 50u) << i;
        } else {
          EXPECT_EQ(gap, 50u) << i;
        }
      } else {
        EXPECT_EQ(gap, c.stepMs) << i;
      }
    }
    EXPECT_EQ(Counters(pc_).givenUp, before.givenUp + 1);
    // The next case starts without a backoff.
    On(pc_, [] { ipc::Cur().net.seq[kPeer].backoff = 0; });
  }
}

TEST_F(Retransmission, AfterAGiveUpTheNextPacketWaitsForItsTriesToReachTheBackoff) {
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 1)));
  uint64_t emptiedAt = 0;
  ASSERT_EQ(RunUntilGivenUp(10, &emptiedAt).size(), 100u);
  EXPECT_EQ(Read<int>(pc_, [] { return int(ipc::IpcNetNodeSeqGet(kPeer).backoff); }), 99);

  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 2)));
  const auto t = RunUntilGivenUp(10, &emptiedAt);
  // Once at once, then not until its 99th try, which is its last but one.
  ASSERT_EQ(t.size(), 2u);
  EXPECT_GT(t[1] - t[0], 4000u);
}

TEST_F(Retransmission, Node0PacketsAreSentOnceEvenUnanswered) {
  auto e = TestEvnt(84, 0);
  IpcPutU32(e.data() + 18, kNodeAddr);  // a router event for the node
  On(pc_, [&] { ASSERT_TRUE(ipc::IpcNetTxQueue(IPC_PKT_EVNT_TO, 0, e.data())); });
  for (int i = 0; i < 2000; ++i) {
    hub_.Advance(1);
    g_nowMs = NowMs();
    Poll(pc_);
  }
  const auto out = Traffic(kPcAddr, kNodeAddr);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].to.port, 2510);
  EXPECT_EQ(out[0].bytes[10], IPC_PKT_EVNT);  // sent as kind 2
  EXPECT_EQ(U32(out[0].bytes, 0), kNodeAddr);  // destination from the message
  EXPECT_EQ(U16(out[0].bytes, 8), 46 + 84);
  // Node 0's queue no longer holds it (the routers' own announcements may
  // be waiting there).
  On(pc_, [] {
    const IpcNetState& n = ipc::Cur().net;
    uint16_t i = n.seq[0].head;
    for (int k = 0; i != kIpcNoEntry && k < kIpcTxPoolSize; ++k) {
      EXPECT_NE(n.pool[i].packet[46 + 4], IPC_SVR_IO_KRN);
      if (n.pool[i].next == i) break;
      i = n.pool[i].next;
    }
  });
}

// ---------------------------------------------------------------------
// Acknowledgements owed while the own packet is held.

TEST_F(WireFormat, AckOwedWhileTheOwnPacketWaitsForItsSlotGoesOutExplicitly) {
  Link();
  // The node's own packets never reach the PC; its acknowledgements do.
  hub_.SetRule([](const net::Record& d, net::Rng&) {
    net::Decision dec;
    dec.drop = d.from.address == kNodeAddr && d.bytes.size() > 10 &&
               (d.bytes[10] == IPC_PKT_EVNT || d.bytes[10] == IPC_PKT_EVNT_MULTI);
    return dec;
  });
  ASSERT_TRUE(SendEvnt(node_, TestEvnt(100, 1)));  // stays in flight
  for (int i = 0; i < 100; ++i) Step(1);
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 2)));
  for (int i = 0; i < 1000 && !QueueEmpty(pc_); ++i) Step(1);
  EXPECT_TRUE(QueueEmpty(pc_));
  const auto c = Counters(pc_);
  EXPECT_EQ(c.completed, 1u);
  EXPECT_EQ(c.givenUp, 0u);
  EXPECT_LE(c.transmissions, 4u);
  ASSERT_EQ(node_.received.size(), 1u);
  EXPECT_EQ(SerialOf(node_.received[0]), 2u);
}

// ---------------------------------------------------------------------
// A socket whose sends fail.

class FailingSends : public NetPair {
 protected:
  class Backend final : public net::Backend {
   public:
    explicit Backend(std::unique_ptr<net::Backend> inner) : inner_(std::move(inner)) {}
    bool fail = false;
    int Open(net::Socket* s) override { return inner_->Open(s); }
    int SetOption(net::Socket s, net::Option o, bool on) override {
      return inner_->SetOption(s, o, on);
    }
    int SetNonBlocking(net::Socket s, bool on) override { return inner_->SetNonBlocking(s, on); }
    int Bind(net::Socket s, net::Endpoint e) override { return inner_->Bind(s, e); }
    int LocalEndpoint(net::Socket s, net::Endpoint* e) override {
      return inner_->LocalEndpoint(s, e);
    }
    net::SendResult SendTo(net::Socket s, net::Endpoint to, const void* d, std::size_t n) override {
      if (fail) return net::SendResult{net::err::kNoBuffers, 0};
      return inner_->SendTo(s, to, d, n);
    }
    net::RecvResult RecvFrom(net::Socket s, void* buf, std::size_t size) override {
      return inner_->RecvFrom(s, buf, size);
    }
    int Close(net::Socket s) override { return inner_->Close(s); }
    int OwnAddress(uint32_t* a) override { return inner_->OwnAddress(a); }
    int HostName(std::string* n) override { return inner_->HostName(n); }

   private:
    std::unique_ptr<net::Backend> inner_;
  };

  std::unique_ptr<net::Backend> WrapBackend(Side& s, std::unique_ptr<net::Backend> b) override {
    if (&s != &pc_) return b;
    auto w = std::make_unique<Backend>(std::move(b));
    pcBackend_ = w.get();
    return w;
  }

  Backend* pcBackend_ = nullptr;
};

TEST_F(FailingSends, EveryFailedAttemptCountsAndThePersistentFailureIsReportedOnce) {
  // No periodic turns: the routers' announcements and attach requests
  // would fail too.
  On(pc_, [] { IpcNetBcastPeriod = 65535; });
  On(node_, [] { IpcNetBcastPeriod = 65535; });
  Link();
  for (int i = 0; i < 20; ++i) Step(1);  // the routers' events of the start
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 0)));
  for (int i = 0; i < 5; ++i) Step(1);
  ASSERT_EQ(node_.received.size(), 1u);
  pcBackend_->fail = true;
  On(pc_, [] { ipc::IpcStubClear(); });
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 1)));
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 2)));
  // The driver reports each failed send; the layer's own reports are
  // collected after every step.
  std::vector<IpcLogEvnt> mine;
  for (int i = 0; i < 400 && !QueueEmpty(pc_); ++i) {
    Step(100);
    On(pc_, [&] {
      for (const IpcLogEvnt& r : TakeReports()) {
        if (std::string(r.file) == "ipcnet") mine.push_back(r);
      }
    });
  }
  ASSERT_TRUE(QueueEmpty(pc_));  // the queue is not held for ever
  const auto c = Counters(pc_);
  EXPECT_EQ(c.givenUp, 2u);
  // 100 attempts of the first; the second is tried once, held by the
  // backoff the first left, and tried again at its 99th turn.
  EXPECT_EQ(c.sendFailures, 102u);
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0].ErrCode, net::err::kNoBuffers);
  EXPECT_EQ(mine[0].hdr.evntCode, IPC_SEV_FAILURE + 1);

  pcBackend_->fail = false;
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 3)));
  for (int i = 0; i < 20; ++i) Step(1);
  ASSERT_EQ(node_.received.size(), 2u);
  EXPECT_EQ(SerialOf(node_.received[1]), 3u);
}

// ---------------------------------------------------------------------
// Receive checks.

class ReceiveChecks : public NetPair {
 protected:
  // A kind 2 datagram from the node to the PC with one 40-byte event.
  static std::vector<uint8_t> Valid() {
    std::vector<uint8_t> b(46, 0xCC);
    IpcPutU32(b.data() + 0, kPcAddr);
    IpcPutU32(b.data() + 4, kNodeAddr);
    b[10] = IPC_PKT_EVNT;
    b[11] = 1;
    b[12] = 0;
    b[13] = 1;
    const auto e = TestEvnt(40, 9);
    b.insert(b.end(), e.begin(), e.end());
    IpcPutU16(b.data() + 8, static_cast<uint16_t>(b.size()));
    return b;
  }
  // A kind 5 datagram with `count` slots of 40-byte events.
  static std::vector<uint8_t> Multi(int count) {
    std::vector<uint8_t> b = Valid();
    b.resize(46);
    b[10] = IPC_PKT_EVNT_MULTI;
    b[13] = static_cast<uint8_t>(count);
    for (int i = 0; i < count; ++i) {
      auto e = TestEvnt(40, i);
      e.resize(75, 0xCC);
      b.insert(b.end(), e.begin(), e.end());
    }
    IpcPutU16(b.data() + 8, static_cast<uint16_t>(b.size()));
    return b;
  }
  static void FixLength(std::vector<uint8_t>& b) {
    IpcPutU16(b.data() + 8, static_cast<uint16_t>(b.size()));
  }

  void Deliver(const std::vector<uint8_t>& b, uint16_t port = kPcLinkPort,
               uint16_t fromPort = kNodeLinkPort) {
    hub_.Inject(net::Endpoint{kNodeAddr, fromPort}, net::Endpoint{kPcAddr, port}, b);
    Poll(pc_);
  }
};

TEST_F(ReceiveChecks, MalformedOrMisaddressedDatagramsAreDroppedUnacknowledged) {
  struct Case {
    const char* what;
    std::function<std::vector<uint8_t>()> make;
    uint16_t code;
    uint8_t severity;
  } cases[] = {
      {"45 bytes", [] { auto b = Valid(); b.resize(45); return b; }, 36, 0},
      {"length field differs", [] { auto b = Valid(); IpcPutU16(b.data() + 8, 87); return b; }, 36, 0},
      {"over 1296 bytes", [] { auto b = Valid(); b.resize(1297, 0); FixLength(b); return b; }, 36, 0},
      {"kind 2 message runs past", [] { auto b = Valid(); IpcPutU16(b.data() + 46, 41); return b; }, 36, 0},
      {"kind 2 message under its header", [] { auto b = Valid(); b.resize(46 + 17); IpcPutU16(b.data() + 46, 17); FixLength(b); return b; }, 36, 0},
      {"kind 1 without a message", [] { auto b = Valid(); b.resize(46); b[10] = IPC_PKT_COMPROC; FixLength(b); return b; }, 36, 0},
      {"kind 5 slots run past", [] { auto b = Multi(2); b[13] = 3; return b; }, 36, 0},
      {"kind 5 slot of 76 bytes", [] { auto b = Multi(2); IpcPutU16(b.data() + 46 + 75, 76); return b; }, 36, 0},
      {"kind 5 slot under its header", [] { auto b = Multi(2); IpcPutU16(b.data() + 46 + 75, 17); return b; }, 36, 0},
      {"kind 0", [] { auto b = Valid(); b[10] = 0; return b; }, 35, 3},
      {"kind 6", [] { auto b = Valid(); b[10] = 6; return b; }, 35, 3},
      {"kind 7", [] { auto b = Valid(); b[10] = 7; return b; }, 35, 3},
      {"kind 8", [] { auto b = Valid(); b[10] = 8; return b; }, 35, 3},
      {"wrong destination", [] { auto b = Valid(); IpcPutU32(b.data(), kPcAddr + 1); return b; }, 16, 3},
      {"wrong source", [] { auto b = Valid(); IpcPutU32(b.data() + 4, kNodeAddr + 1); return b; }, 16, 3},
  };
  Link();
  hub_.ClearRecords();
  for (const Case& c : cases) {
    On(pc_, [] { ipc::IpcStubClear(); });
    Deliver(c.make());
    On(pc_, [&] {
      auto r = ipctest::ReportsFrom();
      ipc::IpcStubClear();
      ASSERT_EQ(r.size(), 1u) << c.what;
      EXPECT_EQ(r[0].report.ErrCode, c.code) << c.what;
      EXPECT_EQ(r[0].report.hdr.evntCode, c.severity + 1) << c.what;
      EXPECT_STREQ(r[0].report.file, "ipcnet") << c.what;
      // The report names the datagram's sender.
      EXPECT_EQ(uint32_t{r[0].fromAddr}, kNodeAddr) << c.what;
      EXPECT_EQ(uint16_t{r[0].fromPort}, kNodeLinkPort) << c.what;
      EXPECT_EQ(ipc::IpcNetNodeSeqGet(kPeer).lastRxSeq, 0) << c.what;
      EXPECT_EQ(ipc::IpcNetNodeSeqGet(kPeer).ackOwed, 0) << c.what;
    });
    Poll(pc_);
    EXPECT_TRUE(pc_.received.empty()) << c.what;
    EXPECT_TRUE(Traffic(kPcAddr, kNodeAddr).empty()) << c.what;
  }

  // The well-formed datagram is taken and acknowledged.
  Deliver(Valid());
  Poll(pc_);
  ASSERT_EQ(pc_.received.size(), 1u);
  EXPECT_EQ(SerialOf(pc_.received[0]), 9u);
  EXPECT_EQ(Traffic(kPcAddr, kNodeAddr).size(), 1u);
}

TEST_F(ReceiveChecks, ExplicitAcksLeaveTheReceiveSequenceAlone) {
  Link();
  auto ack = Valid();
  ack.resize(46);
  ack[10] = IPC_PKT_ACK;
  ack[11] = 1;  // the sender's own sequence: not a data packet of ours
  FixLength(ack);
  Deliver(ack);
  // The data packet with that sequence is still new.
  Deliver(Valid());
  Poll(pc_);
  ASSERT_EQ(pc_.received.size(), 1u);
  // A repeat of the accepted packet is acknowledged again, not delivered.
  hub_.ClearRecords();
  Deliver(Valid());
  Poll(pc_);
  EXPECT_EQ(pc_.received.size(), 1u);
  EXPECT_EQ(Traffic(kPcAddr, kNodeAddr).size(), 1u);
}

TEST_F(ReceiveChecks, Node0SocketIgnoresTheOwnBroadcastAndRefusesOtherDestinations) {
  auto b = Valid();
  IpcPutU32(b.data(), 0xFFFFFFFFu);
  IpcPutU32(b.data() + 4, kPcAddr);  // our own
  On(pc_, [] { ipc::IpcStubClear(); });
  hub_.Inject(net::Endpoint{kPcAddr, 2510}, net::Endpoint{kPcAddr, 2510}, b);
  Poll(pc_);
  On(pc_, [] { EXPECT_TRUE(TakeReports().empty()); });

  IpcPutU32(b.data() + 4, kNodeAddr);
  IpcPutU32(b.data(), kNodeAddr);  // for somebody else
  Deliver(b, 2510, 2510);
  On(pc_, [] {
    auto r = TakeReports();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].ErrCode, IPC_ERR_NODE_ADDR);
    EXPECT_EQ(r[0].hdr.evntCode, IPC_SEV_INTERNAL + 1);
  });
}

// Procedure 1 of the PC's 22/2: empties the PC's queue for the node and
// queues a new event there, which takes the slot just freed.
int g_requeueCalls = 0;
int FlushAndQueueAgain(const IpcComProcHdr*) {
  ++g_requeueCalls;
  ipc::IpcNetTxFlush(kPeer);
  const auto e = TestEvnt(100, 2);
  return ipc::IpcNetEvntSend(kPeer, reinterpret_cast<const IpcEvntHdr*>(e.data()));
}

TEST_F(ReceiveChecks, MessageQueuedAfreshWhileTheHeadIsSentIsNotTakenForTheSentOne) {
  Link();
  // The PC serves 22/2 (host handle 2); the node has a com-proc client on
  // it, whose proxy is slot h.
  On(pc_, [] {
    static const IpcComProcEntry procs[] = {{1, 0, &FlushAndQueueAgain}};
    static const uint8_t ids[] = {1};
    ASSERT_EQ(IpcSvrAndSvcCreate(IPC_SVR_IO_KRN, 2, "1.1", IPC_VERSION_DATE, 2, procs, 1, ids, 1),
              1);
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 2, IPC_HOST_KIND_LOCAL, 2, 0, 0, 0, 0, 0);
    uint8_t h = 0;
    ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 2, "1.3c", &h), 0);
    ASSERT_TRUE(ipc::IpcClntNodeSet(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 2, h, kPeer));
  });
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 1)));
  const uint16_t first = Read<uint16_t>(pc_, [] { return ipc::IpcNetNodeSeqGet(kPeer).head; });

  // The node's call waits on the PC's link socket when the PC sends its
  // head: the transmit step reads it and the procedure runs inside.
  std::vector<uint8_t> call = Valid();
  call.resize(46);
  call[10] = IPC_PKT_COMPROC;
  IpcComProcHdr h{};
  h.length = sizeof h + 4;
  h.svrType = IPC_SVR_IO_KRN;
  h.svrIndx = 1;
  h.procId = 1;
  h.clntHandle = 1;
  h.hostHandle = 2;
  h.hostKind = IPC_HOST_KIND_LOCAL;
  std::memcpy(h.version, "1.3c", 5);
  const auto* hp = reinterpret_cast<const uint8_t*>(&h);
  call.insert(call.end(), hp, hp + sizeof h);
  call.resize(call.size() + 4, 0);
  FixLength(call);
  hub_.Inject(net::Endpoint{kNodeAddr, kNodeLinkPort}, net::Endpoint{kPcAddr, kPcLinkPort}, call);
  g_requeueCalls = 0;
  On(pc_, [&] {
    EXPECT_FALSE(ipc::IpcNetTxStep(kPeer));
    EXPECT_EQ(g_requeueCalls, 1);
    // The new event is the head, in the slot the sent one had.
    const uint16_t head = ipc::IpcNetNodeSeqGet(kPeer).head;
    ASSERT_EQ(head, first);
    EXPECT_EQ(IpcGetU32(ipc::Cur().net.pool[head].packet + 46 + 18), 2u);
    EXPECT_TRUE(TakeReports().empty());
  });
  for (int i = 0; i < 10; ++i) Step(1);
  ASSERT_FALSE(node_.received.empty());
  EXPECT_EQ(SerialOf(node_.received.back()), 2u);
  EXPECT_TRUE(QueueEmpty(pc_));
}

TEST_F(ReceiveChecks, DatagramsWaitInTheSocketWhileTheRingHasNoRoomForAPacket) {
  // No periodic turns: the routers' announcements would take ring slots.
  On(pc_, [] { IpcNetBcastPeriod = 65535; });
  On(node_, [] { IpcNetBcastPeriod = 65535; });
  Link();
  // The routers' events of the start and of the opening go first.
  for (int i = 0; i < 20; ++i) Step(1);
  // Five packets of up to 13 events; after three the ring has room for 10.
  constexpr uint32_t kCount = 60;
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_TRUE(SendEvnt(node_, TestEvnt(60, i)));
  // The PC does not despatch its events: the ring fills.
  for (int i = 0; i < 3000; ++i) Step(1, /*drainPc=*/false);
  EXPECT_EQ(Read<int>(pc_, [] { return ipc::IpcEvntQueued(); }), 39);
  EXPECT_GT(Counters(pc_).rxHeld, 0u);
  // Nothing was read only to be refused, and nothing was lost.
  EXPECT_EQ(Counters(pc_).rxRingFull, 0u);
  EXPECT_EQ(Read<uint32_t>(pc_, [] { return ipc::Cur().evnt.droppedFull; }), 0u);
  EXPECT_FALSE(QueueEmpty(node_));

  for (int i = 0; i < 3000 && pc_.received.size() < kCount; ++i) Step(1);
  ASSERT_EQ(pc_.received.size(), kCount);
  for (uint32_t i = 0; i < kCount; ++i) EXPECT_EQ(SerialOf(pc_.received[i]), i);
  EXPECT_EQ(Counters(node_).givenUp, 0u);
}

TEST_F(ReceiveChecks, WrongMessageCountTakesTheSequenceOwesTheAckAndIsReportedOnce) {
  struct Case {
    const char* what;
    std::function<std::vector<uint8_t>()> make;
  } cases[] = {
      {"kind 2 with count 2", [] { auto b = Valid(); b[13] = 2; return b; }},
      {"kind 1 with count 0", [] { auto b = Valid(); b[10] = IPC_PKT_COMPROC; b[13] = 0; return b; }},
      {"kind 5 with count 0", [] { auto b = Multi(2); b[13] = 0; return b; }},
      {"kind 5 with count 14", [] { auto b = Multi(13); b[13] = 14; return b; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Link();  // the packet carries sequence 1, new on a fresh link
    hub_.ClearRecords();
    On(pc_, [] { ipc::IpcStubClear(); });
    const std::vector<uint8_t> bad = c.make();
    Deliver(bad);  // read, then the explicit acknowledgement in the next pass
    On(pc_, [] {
      const auto r = ipctest::ReportsFrom();
      ipc::IpcStubClear();
      ASSERT_EQ(r.size(), 1u);
      EXPECT_EQ(r[0].report.ErrCode, IPC_ERR_MSG_COUNT);
      EXPECT_EQ(r[0].report.hdr.evntCode, IPC_SEV_INTERNAL + 1);
      EXPECT_EQ(uint32_t{r[0].fromAddr}, kNodeAddr);
      EXPECT_EQ(ipc::IpcNetNodeSeqGet(kPeer).lastRxSeq, 1);
    });
    Poll(pc_);
    auto acks = Traffic(kPcAddr, kNodeAddr);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].bytes[10], IPC_PKT_ACK);
    EXPECT_EQ(acks[0].bytes[12], 1);

    // Sent again (the acknowledgement was lost): acknowledged again, not
    // reported again, and nothing is delivered either time.
    Deliver(bad);
    Poll(pc_);
    On(pc_, [] { EXPECT_TRUE(TakeReports().empty()); });
    EXPECT_EQ(Traffic(kPcAddr, kNodeAddr).size(), 2u);
    EXPECT_TRUE(pc_.received.empty());

    // The node's next packet is taken.
    auto next = Valid();
    next[11] = 2;
    Deliver(next);
    Poll(pc_);
    ASSERT_EQ(pc_.received.size(), 1u);
    pc_.received.clear();
  }
}

// A datagram from elsewhere that names the node in its header.
class ForgedSenders : public ReceiveChecks {
 protected:
  static constexpr uint32_t kStranger = 0xC0A80142u;  // 192.168.1.66
  static constexpr uint32_t kStranger2 = 0xC0A80143u;

  void From(uint32_t addr, const std::vector<uint8_t>& b, uint16_t port = kPcLinkPort) {
    hub_.Inject(net::Endpoint{addr, kNodeLinkPort}, net::Endpoint{kPcAddr, port}, b);
    Poll(pc_);
  }
  // The sender-drop reports since the last call.
  std::vector<IpcLogEvntFrom> Drops() {
    std::vector<IpcLogEvntFrom> out;
    On(pc_, [&] {
      for (const IpcLogEvntFrom& r : ipctest::ReportsFrom()) {
        if (r.report.ErrCode == IPC_ERR_NODE_ADDR) out.push_back(r);
      }
      ipc::IpcStubClear();
    });
    return out;
  }
};

TEST_F(ForgedSenders, LinkDatagramIsTakenOnlyFromItsNodesAddressAndDropsAreReportedOnceAMinute) {
  // No periodic turns: the silent node is not to go offline meanwhile.
  On(pc_, [] { IpcNetBcastPeriod = 65535; });
  On(node_, [] { IpcNetBcastPeriod = 65535; });
  Link();
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 1)));
  Poll(pc_);  // the PC's packet goes out and waits for its acknowledgement
  hub_.ClearRecords();
  Drops();

  // A forged event and a forged acknowledgement from a stranger.
  From(kStranger, Valid());
  auto ack = Valid();
  ack.resize(46);
  ack[10] = IPC_PKT_ACK;
  ack[12] = 1;
  FixLength(ack);
  From(kStranger, ack);
  Poll(pc_);
  EXPECT_TRUE(pc_.received.empty());
  EXPECT_FALSE(QueueEmpty(pc_));  // not acknowledged by the forgery
  EXPECT_EQ(Read<uint8_t>(pc_, [] { return ipc::IpcNetNodeSeqGet(kPeer).lastRxSeq; }), 0);
  EXPECT_TRUE(Traffic(kPcAddr, kNodeAddr).empty());  // nothing acknowledged
  EXPECT_EQ(Counters(pc_).rxSender, 2u);
  auto r = Drops();
  ASSERT_EQ(r.size(), 1u);  // two drops, one line
  EXPECT_EQ(uint32_t{r[0].fromAddr}, kStranger);
  EXPECT_EQ(uint16_t{r[0].fromPort}, kNodeLinkPort);
  EXPECT_EQ(r[0].report.hdr.evntCode, IPC_SEV_INTERNAL + 1);

  // Another stranger has a line of its own; the first gets its next one a
  // minute after its last.
  From(kStranger2, Valid());
  r = Drops();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(uint32_t{r[0].fromAddr}, kStranger2);
  hub_.Advance(59000);
  From(kStranger, Valid());
  EXPECT_TRUE(Drops().empty());
  hub_.Advance(1000);
  From(kStranger, Valid());
  r = Drops();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(uint32_t{r[0].fromAddr}, kStranger);
  EXPECT_EQ(Counters(pc_).rxSender, 5u);

  // The node itself is heard.
  Deliver(Valid());
  Poll(pc_);
  EXPECT_EQ(pc_.received.size(), 1u);
}

TEST_F(ForgedSenders, Node0DatagramIsTakenOnlyFromTheAddressItsHeaderNames) {
  Link();
  On(pc_, [] { ipc::IpcNetNodeStatusSet(kPeer, IPC_NODE_STATUS_ONLINE); });
  const IpcTime heard = Read<IpcTime>(pc_, [] { return ipc::IpcNetNodeLastHeardGet(kPeer); });
  hub_.Advance(2000);
  Drops();
  // Broadcast on port 2510 in the node's name, from a stranger: it does
  // not keep the node heard.
  auto b = Valid();
  IpcPutU32(b.data(), 0xFFFFFFFFu);
  From(kStranger, b, 2510);
  EXPECT_EQ(Read<IpcTime>(pc_, [] { return ipc::IpcNetNodeLastHeardGet(kPeer); }), heard);
  EXPECT_EQ(Counters(pc_).rxSender, 1u);
  const auto r = Drops();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(uint32_t{r[0].fromAddr}, kStranger);

  // From the node's own address it is taken.
  From(kNodeAddr, b, 2510);
  EXPECT_NE(Read<IpcTime>(pc_, [] { return ipc::IpcNetNodeLastHeardGet(kPeer); }), heard);
  EXPECT_EQ(Counters(pc_).rxSender, 1u);
}

// ---------------------------------------------------------------------
// Exactly once, in order, through loss and duplication.

TEST_F(WireFormat, ExactlyOnceInOrderBothWaysThroughLossAndDuplicationPastManyWraps) {
  Link();
  net::Faults f;
  f.dropPerMillion = 100000;       // 10 %
  f.duplicatePerMillion = 100000;  // 10 %
  f.minDelay = 0;
  f.maxDelay = 3;
  hub_.SetFaults(20240611, f);
  hub_.SetRecording(false);

  constexpr uint32_t kCount = 2500;
  net::Rng rng(7);
  uint32_t sentPc = 0, sentNode = 0;
  auto feed = [&](Side& s, uint32_t& sent) {
    while (sent < kCount && Read<int>(s, [] { return ipc::IpcNetPoolFree(); }) > 8) {
      // Mostly small messages (packed), some too long for a slot.
      const uint16_t len = static_cast<uint16_t>(rng.Below(4) == 0 ? 76 + rng.Below(900)
                                                                    : 22 + rng.Below(54));
      ASSERT_TRUE(SendEvnt(s, TestEvnt(len, sent)));
      ++sent;
      if (rng.Below(3) == 0) break;
    }
  };
  for (int i = 0; i < 2000000; ++i) {
    feed(pc_, sentPc);
    feed(node_, sentNode);
    Step(1);
    if (pc_.received.size() == kCount && node_.received.size() == kCount) break;
  }
  for (Side* s : {&pc_, &node_}) {
    SCOPED_TRACE(s->name);
    ASSERT_EQ(s->received.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(SerialOf(s->received[i]), i);
    const auto c = Counters(*s);
    EXPECT_EQ(c.givenUp, 0u);
    EXPECT_GT(c.completed, 4u * 256);  // the 8-bit sequence wrapped several times
    EXPECT_GT(c.rxRepeats, 0u);        // duplicates were seen and dropped
  }
}

// ---------------------------------------------------------------------
// Links and silence.

class Links : public NetPair {
 protected:
  // Router requests of a procedure sent from one side to the other's port
  // 2510 (kind 1 on the wire, server type 18).
  int RouterRequests(uint32_t from, uint32_t to, uint8_t procId) const {
    int n = 0;
    for (const net::Record& r : Traffic(from, to, true)) {
      if (r.to.port != 2510 || r.bytes.size() < kIpcPktHdrLen + sizeof(IpcComProcHdr)) continue;
      const uint8_t* m = r.bytes.data() + kIpcPktHdrLen;
      if (r.bytes[10] == IPC_PKT_COMPROC && m[2] == IPC_SVR_ROUTER && m[4] == procId) ++n;
    }
    return n;
  }
};

TEST_F(Links, LinkWaitOkUnlinkWaitAndClosed) {
  auto link = [&](Side& s) { return Read<int>(s, [] { return int(IpcNetNodeLinkStatusGet(kPeer)); }); };
  // The fixture's event client on the node's server needs the link.
  EXPECT_EQ(link(pc_), IPC_LINK_STATUS_LINK_WAIT);
  for (int i = 0; i < 60; ++i) Step(10);
  // The routers' link-open requests bring it up; whichever side asks first,
  // the other opens on receipt.
  EXPECT_GE(RouterRequests(kPcAddr, kNodeAddr, 5) + RouterRequests(kNodeAddr, kPcAddr, 5), 1);
  EXPECT_EQ(link(pc_), IPC_LINK_STATUS_OK);

  Link();
  EXPECT_EQ(link(pc_), IPC_LINK_STATUS_OK);
  EXPECT_EQ(Read<int>(pc_, [] { return int(IpcNetNodeStatusGet(kPeer)); }), IPC_NODE_STATUS_ONLINE);

  On(pc_, [&] { IpcClntEvntDestroy(IPC_SVR_IO_KRN, 1, pc_.evntClnt); });
  EXPECT_EQ(link(pc_), IPC_LINK_STATUS_UNLINK_WAIT);
  // A client created again reopens it at once.
  On(pc_, [&] {
    ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, &ipctest::RecordEvnt, "1.3c", &pc_.evntClnt,
                                reinterpret_cast<intptr_t>(&pc_)),
              0);
  });
  EXPECT_EQ(link(pc_), IPC_LINK_STATUS_OK);
  On(pc_, [&] { IpcClntEvntDestroy(IPC_SVR_IO_KRN, 1, pc_.evntClnt); });
  EXPECT_EQ(link(pc_), IPC_LINK_STATUS_UNLINK_WAIT);

  // The router's close (on the node's next announce).
  On(pc_, [] {
    ipc::IpcStubClear();
    EXPECT_TRUE(ipc::IpcNetLinkClose(kPeer));
    EXPECT_EQ(IpcNetNodeLinkStatusGet(kPeer), IPC_LINK_STATUS_NONE);
    EXPECT_EQ(ipc::IpcNetNodeSockIndxGet(kPeer), 0);
    ipc::IpcNetLinkNotNeeded(kPeer);  // nothing to release
    auto r = TakeReports();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].ErrCode, IPC_ERR_LINK_STATUS);
    EXPECT_EQ(r[0].hdr.evntCode, IPC_SEV_STATE + 1);
  });
}

// A third host on the segment, whose port 2510 another program holds
// without sharing it.
TEST_F(Links, LinkInitFailsWhilePort2510IsHeldAndOnSuccessStampsNode0) {
  constexpr uint32_t kThirdAddr = 0xC0A8011Eu;  // 192.168.1.30
  std::unique_ptr<net::Backend> host = hub_.AddHost(kThirdAddr, "THIRD");
  net::Socket holder = net::kInvalidSocket;
  ASSERT_EQ(host->Open(&holder), 0);
  ASSERT_EQ(host->Bind(holder, net::Endpoint{net::kAnyAddress, 2510}), 0);

  std::unique_ptr<ipc::Instance, ipctest::InstanceDeleter> inst(ipc::NewInstance());
  ipc::ScopedInstance use(inst.get());
  IpcInit();
  ipc::IpcTcpIpBackendSet(host.get());
  ASSERT_EQ(IpcNetNodeInfoCreate(0, "THIRD", kThirdAddr, 20), 0);
  IpcNetTcpIpInitDriver();
  ASSERT_TRUE(IpcNetTcpIpIsInitOk());
  ipc::IpcStubClear();

  IpcCurrentTime = IPC_TIME_MAKE(10, 7, 30, 0);
  EXPECT_EQ(IpcNetNodeLinkInit(), 0);
  EXPECT_EQ(IpcNetNodeLinkStatusGet(0), IPC_LINK_STATUS_NONE);
  EXPECT_EQ(ipc::IpcNetNodeSockIndxGet(0), 0);
  EXPECT_EQ(ipc::IpcSockUsedCount(), 0);  // the socket that failed to bind is closed
  auto r = TakeReports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].ErrCode, net::err::kAddrInUse);

  ASSERT_EQ(host->Close(holder), 0);
  const uint8_t mac[IPC_ETHER_ADDR_SIZE] = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
  std::memcpy(ipc::Cur().tcpip.etherAddr, mac, sizeof mac);  // the driver's own
  const IpcTime start = IPC_TIME_MAKE(10, 8, 15, 42);
  IpcCurrentTime = start;
  EXPECT_EQ(IpcNetNodeLinkInit(), 1);
  EXPECT_EQ(IpcNetNodeLinkStatusGet(0), IPC_LINK_STATUS_OK);
  EXPECT_EQ(IpcNetNodeStatusGet(0), IPC_NODE_STATUS_ONLINE);
  uint8_t ether[IPC_ETHER_ADDR_SIZE] = {};
  IpcNetNodeEtherAddrGet(0, ether);
  EXPECT_EQ(std::memcmp(ether, mac, sizeof mac), 0);
  EXPECT_EQ(ipc::IpcNetNodeStartTimeGet(0), start);
  EXPECT_EQ(ipc::IpcNetNodeLastHeardGet(0), start);
  IpcTerm();
}

TEST_F(Links, OpeningAnOpenLinkResetsItsSequenceAndFlushesItsQueue) {
  Link();
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 1)));
  Step(1);
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 2)));
  On(pc_, [] {
    EXPECT_EQ(ipc::IpcNetNodeSeqGet(kPeer).txSeq, 1);
    const uint8_t sock = ipc::IpcNetNodeSockIndxGet(kPeer);
    EXPECT_TRUE(ipc::IpcNetLinkOpen(kPeer));
    EXPECT_EQ(ipc::IpcNetNodeSockIndxGet(kPeer), sock);  // the socket stays
    EXPECT_EQ(ipc::IpcNetNodeSeqGet(kPeer).txSeq, 0);
    EXPECT_EQ(ipc::IpcNetNodeSeqGet(kPeer).head, kIpcNoEntry);
    // Every entry is free but those of the routers' messages on node 0.
    int node0 = 0;
    for (const IpcTxEntry& e : ipc::Cur().net.pool) node0 += e.next != kIpcNoEntry && e.node == 0;
    EXPECT_EQ(ipc::IpcNetPoolFree(), kIpcTxPoolSize - node0);
  });
}

TEST_F(Links, SilentNodeGoesOfflineAtThePeriodTurnAfterItsTimeOutWithItsQueueFlushed) {
  Link();
  const uint64_t openedAt = NowMs();
  // Only the PC polls from here: the node is silent.
  while (NowMs() - openedAt < 29000) {
    hub_.Advance(10);
    Poll(pc_);
  }
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 1)));
  auto status = [&] { return Read<int>(pc_, [] { return int(IpcNetNodeStatusGet(kPeer)); }); };
  while (NowMs() - openedAt < 29990) {
    hub_.Advance(10);
    Poll(pc_);
  }
  EXPECT_EQ(status(), IPC_NODE_STATUS_ONLINE);
  while (NowMs() - openedAt < 30500 && status() == IPC_NODE_STATUS_ONLINE) {
    hub_.Advance(10);
    Poll(pc_);
  }
  EXPECT_EQ(status(), IPC_NODE_STATUS_OFFLINE);
  EXPECT_GE(NowMs() - openedAt, 30000u);
  EXPECT_TRUE(QueueEmpty(pc_));  // flushed, not given up
  EXPECT_EQ(Counters(pc_).givenUp, 0u);
  EXPECT_EQ(RouterRequests(kPcAddr, kNodeAddr, 6), 1);  // the router's link close
}

TEST_F(Links, CloseIsDeferredWhileTheQueueIsNotEmpty) {
  Link();
  ASSERT_TRUE(SendEvnt(pc_, TestEvnt(100, 1)));
  Poll(pc_);  // sent; the node does not answer
  On(pc_, [] {
    EXPECT_FALSE(ipc::IpcNetLinkClose(kPeer));
    EXPECT_NE(ipc::IpcNetNodeSockIndxGet(kPeer), 0);
    EXPECT_EQ(IpcNetNodeLinkStatusGet(kPeer), IPC_LINK_STATUS_OK);
    // Offline: the queue is flushed and the router's close goes through.
    ipc::IpcNetNodeStatusSet(kPeer, IPC_NODE_STATUS_OFFLINE);
    EXPECT_EQ(ipc::IpcNetNodeSockIndxGet(kPeer), 0);
    // The event client still needs the node.
    EXPECT_EQ(IpcNetNodeLinkStatusGet(kPeer), IPC_LINK_STATUS_LINK_WAIT);
  });
}

}  // namespace
