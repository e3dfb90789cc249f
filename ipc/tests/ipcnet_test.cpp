// The reliable datagram layer: wire format, sequence window, packing and
// the transmit pool, retransmission and acknowledgement, receive checks,
// links and silence.  Two library instances talk over the in-memory hub
// with one fake clock (net_fixture.h).
#include "ipcnet.h"

#include <gtest/gtest.h>

#include <algorithm>
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
  Link();
  hub_.ClearRecords();
  ASSERT_TRUE(SendEvnt(node_, TestEvnt(500, 7)));
  Step(1);
  const auto out = Traffic(kNodeAddr, kPcAddr);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes.size(), 546u);
  EXPECT_EQ(U16(out[0].bytes, 8), 546);
  EXPECT_EQ(out[0].bytes[10], IPC_PKT_EVNT);
  EXPECT_EQ(out[0].bytes[13], 1);

  // 500 bytes: the PC acknowledges in the poll that reads it, by a kind 3
  // of 46 bytes that names the received sequence.
  Step(1);
  const auto back = Traffic(kPcAddr, kNodeAddr);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].bytes.size(), 46u);
  EXPECT_EQ(back[0].bytes[10], IPC_PKT_ACK);
  EXPECT_EQ(back[0].bytes[12], 1);
  EXPECT_EQ(U32(back[0].bytes, 0), kNodeAddr);
  EXPECT_EQ(U32(back[0].bytes, 4), kPcAddr);
  Step(1);
  EXPECT_TRUE(QueueEmpty(node_));
  EXPECT_EQ(Counters(node_).completed, 1u);
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

TEST_F(Queueing, Message49WithTheWholePoolInUseIsDroppedAndCounted) {
  for (uint32_t i = 0; i < kIpcTxPoolSize; ++i) {
    ASSERT_TRUE(Queue(i % 2 == 0 ? kPeer : 2, 100, i)) << i;
  }
  EXPECT_EQ(ipc::IpcNetPoolFree(), 0);
  EXPECT_FALSE(Queue(kPeer, 500, 48));
  EXPECT_FALSE(Queue(2, 30, 49));
  EXPECT_EQ(ipc::IpcNetCountersGet().poolFull, 2u);
  EXPECT_TRUE(TakeReports().empty());  // dropped without a report
  ipc::IpcNetTxFlush(kPeer);
  EXPECT_EQ(ipc::IpcNetPoolFree(), kIpcTxPoolSize / 2);
  EXPECT_TRUE(Queue(kPeer, 500, 50));
}

TEST_F(Queueing, MessagesForNodesNotOnlineOrNotLinkedAreDroppedQuietly) {
  ipc::IpcNetNodeLinkStatusSet(2, IPC_LINK_STATUS_UNLINK_WAIT);
  EXPECT_FALSE(Queue(2, 40));
  ipc::IpcNetNodeStatusSet(kPeer, IPC_NODE_STATUS_OFFLINE);
  TakeReports();  // the router closing a link that has no socket here
  EXPECT_FALSE(Queue(kPeer, 40));
  EXPECT_FALSE(Queue(7, 40));  // not in the table
  EXPECT_EQ(ipc::IpcNetCountersGet().notLinked, 3u);
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

}  // namespace
