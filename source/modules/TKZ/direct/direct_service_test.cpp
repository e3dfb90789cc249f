// The direct-connect IO_KRN service as a client on this PC sees it: port
// opens and their index events, client records, request assembly, the
// transaction slots in their shared buffer, the scheduler and the turning
// of reply records into START and REPORT events.  The library runs in an
// instance of its own; the serial lines are fakes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "DirectService.h"
#include "RcCodes.h"
#include "direct_fixture.h"
#include "LocalKrnClient.h"

namespace {

constexpr uint32_t kPcAddr = 0x0A000001;  // 10.0.0.1
constexpr uint8_t kPort3 = 3;             // channel 2: COM1
const Bytes kPoll = {0x1B, 0x00};

struct Event {
  uint16_t code = 0;
  std::vector<uint8_t> bytes;
  uint8_t At(size_t i) const { return i < bytes.size() ? bytes[i] : 0; }
  uint16_t At16(size_t i) const { return static_cast<uint16_t>(At(i) | At(i + 1) << 8); }
};

class DirectServiceTest : public DirectFixture, protected LocalKrnClient {
 protected:
  DirectServiceTest() { EXPECT_TRUE(StartClient(kPcAddr, &OnEvent, reinterpret_cast<intptr_t>(this))); }
  ~DirectServiceTest() override { StopClient(); }

  static void OnEvent(const IpcEvntHdr* e, intptr_t self) {
    auto* t = reinterpret_cast<DirectServiceTest*>(self);
    const auto* b = reinterpret_cast<const uint8_t*>(e);
    t->events_.push_back({e->evntCode, std::vector<uint8_t>(b, b + e->length)});
  }
  std::vector<Event> Events() {
    Despatch();
    std::vector<Event> out;
    out.swap(events_);
    return out;
  }

  // A request of `length` bytes with its header filled; fields by offset.
  struct Req {
    uint8_t b[IPC_MAX_MSG_LEN] = {};
    void U8(int at, uint8_t v) { b[at] = v; }
    void U16(int at, uint16_t v) { b[at] = static_cast<uint8_t>(v), b[at + 1] = static_cast<uint8_t>(v >> 8); }
    void U32(int at, uint32_t v) { U16(at, static_cast<uint16_t>(v)), U16(at + 2, static_cast<uint16_t>(v >> 16)); }
  };
  void Call(Req& r, uint8_t proc, uint16_t length) { LocalKrnClient::Call(r.b, proc, length); }
  void Open(uint8_t port, uint8_t sub = 3, uint16_t value = 0x1234, uint8_t handle = 0) {
    Req r;
    r.U32(16, kPcAddr);
    r.U8(20, handle != 0 ? handle : evnt_);
    r.U8(21, sub);
    r.U8(22, port);
    r.U8(23, 4);
    r.U16(24, value);
    Call(r, 1, 58);
  }
  void Send(uint8_t record, uint16_t length, uint16_t address, uint8_t atype = 0x23) {
    Req r;
    r.U8(16, record);
    r.U8(17, atype);
    r.U16(18, length);
    r.U16(20, address);
    Call(r, 3, 24);
  }
  void Append(uint8_t record, const Bytes& data, int count = -1) {
    Req r;
    r.U8(16, static_cast<uint8_t>(count < 0 ? data.size() : count));
    r.U8(17, record);
    if (!data.empty()) std::memcpy(r.b + 18, data.data(), data.size());
    Call(r, 4, static_cast<uint16_t>(18 + data.size()));
  }
  void AddPoll(uint8_t record, uint16_t key, uint16_t address, const Bytes& command,
               uint32_t interval = 2000, uint8_t mode = 2) {
    Req r;
    r.U32(16, interval);
    r.U16(20, key);
    r.U16(22, address);
    r.U16(24, static_cast<uint16_t>(command.size() + 3));
    r.U8(26, record);
    r.U8(27, 0x23);
    r.U8(30, mode);
    Call(r, 5, 31);
    // As the server's client does it: the count runs 3 past the bytes.
    Append(record, command, static_cast<int>(command.size() + 3));
  }
  void DeletePoll(uint8_t record, uint16_t key) {
    Req r;
    r.U16(20, key);
    r.U8(26, record);
    Call(r, 6, 31);
  }
  // Slot bytes of a slot's region.
  Bytes Region(const DirectLinkSlot& s) {
    return Bytes(DirectLinkSlotBytes() + s.offset, DirectLinkSlotBytes() + s.offset + s.size);
  }

  std::vector<Event> events_;
};

TEST_F(DirectServiceTest, OpeningPort3OpensCom1AndAnswersWithTheRecordIndex) {
  Open(kPort3);
  serial::FakeLine& com1 = Com(1);
  EXPECT_TRUE(com1.open);
  EXPECT_EQ(com1.state.baud, 9600u);
  EXPECT_EQ(com1.state.byteSize, 8);
  EXPECT_EQ(com1.state.parity, serial::Parity::kNone);
  EXPECT_FALSE(com1.rts);
  EXPECT_EQ(Ch(2).state, DIRECT_IDLE);
  std::vector<Event> ev = Events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].code, 260);
  EXPECT_EQ(ev[0].bytes.size(), kDirectEventSize);
  EXPECT_EQ(ev[0].At(18), 0);
  EXPECT_EQ(ev[0].At16(22), 0x1234);

  // Again: the port is left alone, the same record answers again.
  Ch(2).state = DIRECT_RX_DATA;
  Open(kPort3, 1, 0x55);
  EXPECT_EQ(fake_.opens().size(), 1u);
  EXPECT_EQ(Ch(2).state, DIRECT_RX_DATA);
  ev = Events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].At(18), 0);
  EXPECT_EQ(ev[0].At16(22), 0x55);
}

TEST_F(DirectServiceTest, ClientRecordsAreFoundByNodeHandleAndChannel) {
  struct Case {
    uint8_t handle, channel, record;
  };
  const Case cases[] = {{1, 2, 0}, {2, 2, 1}, {1, 3, 2}, {1, 2, 0}, {3, 4, 3},
                        {4, 4, 4}, {5, 4, 5}, {6, 4, 0} /* a seventh client */};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "handle " << int(c.handle) << " channel " << int(c.channel));
    EXPECT_EQ(DirectLinkFindClient(0, c.handle, c.channel), c.record);
  }
}

TEST_F(DirectServiceTest, ClosingAChannelClearsOnlyTheClosingClient) {
  Open(kPort3, 3, 0, evnt_);
  DirectLinkFindClient(0, 77, 2);  // a second client of the same channel
  Events();
  Open(kPort3, 0);
  EXPECT_FALSE(Com(1).open);
  EXPECT_EQ(Ch(2).state, DIRECT_CLOSED);
  EXPECT_EQ(DirectLinkGetClient(0)->eventHandle, 0);
  EXPECT_EQ(DirectLinkGetClient(1)->eventHandle, 77);
  EXPECT_TRUE(Events().empty());
}

TEST_F(DirectServiceTest, ARequestIsQueuedOnceItsDataIsIn) {
  Open(kPort3);
  Events();
  struct Case {
    const char* what;
    uint16_t length;
    std::vector<Bytes> appends;
    uint8_t queuedAfterSend, queuedAfterAppends;
  };
  const Case cases[] = {
      {"no data: at once", 0, {}, 1, 1},
      {"L 2: at once as L 0", 2, {}, 1, 1},
      {"L 3: after an empty append", 3, {{}}, 0, 1},
      {"L 5: after both bytes", 5, {{0x1B}, {0x00}}, 0, 1},
      {"bytes after the queueing are not a request", 4, {{0x1B}, {0x99}}, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RingInit(DirectLinkTransmitRing(2));
    Ch(2).queued = 0;
    Send(0, c.length, 7);
    EXPECT_EQ(Ch(2).queued, c.queuedAfterSend);
    for (const Bytes& a : c.appends) Append(0, a);
    EXPECT_EQ(Ch(2).queued, c.queuedAfterAppends);
  }
  // The entry of an L 5 request: kind, record, address, L, Atype, second, 0, data.
  RingInit(DirectLinkTransmitRing(2));
  Send(0, 5, 0x0107);
  Append(0, {0xAB, 0xCD});
  Bytes entry(12);
  entry.resize(RingGetN(DirectLinkTransmitRing(2), entry.data(), 12));
  EXPECT_EQ(entry, (Bytes{0x69, 0, 0x07, 0x01, 5, 0, 0x23, 0, 0, 0xAB, 0xCD}));
}

TEST_F(DirectServiceTest, RepliesBecomeAStartAndReportsOfFourteenBytes) {
  Open(kPort3);
  Events();
  Bytes data(40);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(DirectLinkQueueReply(DIRECT_KIND_CLIENT, 0, 9, 43, 0x23, 0x11, data.data()));
  DirectLinkPump();
  std::vector<Event> ev = Events();
  ASSERT_EQ(ev.size(), 4u);
  EXPECT_EQ(ev[0].code, 258);
  EXPECT_EQ(ev[0].At(18), 0);
  EXPECT_EQ(ev[0].At(19), 0x23);
  EXPECT_EQ(ev[0].At16(20), 43);
  EXPECT_EQ(ev[0].At16(22), 9);
  EXPECT_EQ(ev[0].At16(24), 0x11);
  Bytes joined;
  const uint8_t sizes[] = {14, 14, 12};
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(ev[i].code, 259);
    EXPECT_EQ(ev[i].At(19), sizes[i - 1]);
    joined.insert(joined.end(), ev[i].bytes.begin() + 20, ev[i].bytes.begin() + 20 + ev[i].At(19));
  }
  EXPECT_EQ(joined, data);

  ASSERT_TRUE(DirectLinkQueueReply(DIRECT_KIND_CLIENT, 0, 9, 3, 0x23, 0, nullptr));
  DirectLinkPump();
  ev = Events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].At16(20), 3);
}

TEST_F(DirectServiceTest, RegistrationsLiveInTheSharedBufferAndCloseUpWhenFreed) {
  Open(kPort3);
  AddPoll(0, 0x0201, 1, {1, 2, 3});
  AddPoll(0, 0x0202, 2, {4, 5, 6, 7});
  AddPoll(0, 0x0203, 3, {8, 9});
  const DirectLinkSlot& a = *DirectLinkGetSlot(0);
  const DirectLinkSlot& c = *DirectLinkGetSlot(2);
  EXPECT_EQ(a.state, DIRECT_SLOT_ARMED);
  EXPECT_EQ(DirectLinkSlotFill(), 4 + 5 + 3);  // L - 2 each
  // The middle one goes: the last one's bytes move down with it.
  DeletePoll(0, 0x0202);
  EXPECT_EQ(DirectLinkGetSlot(1)->state, DIRECT_SLOT_FREE);
  EXPECT_EQ(DirectLinkSlotFill(), 4 + 3);
  EXPECT_EQ(c.offset, 4);
  const Bytes regionA = Region(a), regionC = Region(c);
  EXPECT_EQ(Bytes(regionC.begin(), regionC.begin() + 2), (Bytes{8, 9}));
  EXPECT_EQ(Bytes(regionA.begin(), regionA.begin() + 3), (Bytes{1, 2, 3}));

  // The same key again replaces the registration.
  AddPoll(0, 0x0201, 1, {0xEE});
  EXPECT_EQ(DirectLinkGetSlot(0)->state, DIRECT_SLOT_ARMED);
  EXPECT_EQ(DirectLinkGetSlot(2)->offset, 0);
  EXPECT_EQ(DirectLinkGetSlot(0)->offset, 3);  // after slot 2's region
  EXPECT_EQ(DirectLinkGetSlot(1)->state, DIRECT_SLOT_FREE);
  EXPECT_EQ(DirectLinkSlotFill(), 3 + 2);
  // Every armed registration left a notice of L 0 for the client.
  int notices = 0;
  while (DirectLinkReplyCount() > 0) {
    DirectLinkPump();
    for (const Event& e : Events())
      if (e.code == 258) {
        EXPECT_EQ(e.At(18), 0x80);
        EXPECT_EQ(e.At16(20), 0);
        ++notices;
      }
  }
  EXPECT_EQ(notices, 4);
}

TEST_F(DirectServiceTest, RefusedRegistrationsAnswerWithTheirCode) {
  Open(kPort3);
  Events();
  // A registration bigger than the buffer: refused, and no slot kept.
  AddPoll(0, 1, 4, Bytes(200, 0x55));
  AddPoll(0, 2, 4, Bytes(200, 0x55));
  AddPoll(0, 3, 5, Bytes(200, 0x55));
  EXPECT_EQ(DirectLinkGetSlot(2)->state, DIRECT_SLOT_FREE);
  // Every slot taken.
  for (uint8_t i = 2; i < kDirectSlots; ++i) DirectLinkGetSlot(i)->state = DIRECT_SLOT_ARMED;
  AddPoll(0, 4, 6, {1});
  std::vector<uint16_t> codes;
  while (DirectLinkReplyCount() > 0) {
    DirectLinkPump();
    for (const Event& e : Events())
      if (e.code == 258 && e.At16(20) == 3) {
        EXPECT_EQ(e.At(18), 0x80);
        codes.push_back(e.At16(24));
      }
  }
  EXPECT_EQ(codes, (std::vector<uint16_t>{IO_KRN_BUFFER_OVERFLOW, IO_KRN_NO_SLOTS}));
}

TEST_F(DirectServiceTest, TheSchedulerSendsArmedSlotsOncePerIntervalAndOneShotsOnce) {
  Open(kPort3);
  Synchronised(5);
  Synchronised(6);
  AddPoll(0, 1, 5, {0x1B, 0}, 2000);
  AddPoll(0, 2, 6, {0x1C}, 0);
  while (DirectLinkReplyCount() > 0) DirectLinkPump();
  Events();
  // Ticks; the slot each one put on the line (the exchange is then cut
  // short so that the channel is idle again).
  auto ticks = [&](int n) {
    std::vector<int> sent;
    for (int i = 0; i < n; ++i) {
      DirectLinkTick();
      DirectLinkChannel& ch = Ch(2);
      if (ch.state != DIRECT_IDLE) {
        sent.push_back(ch.requestIndex);
        ch.state = DIRECT_IDLE;
        ch.timeout = 0;
      }
    }
    return sent;
  };
  // The one-shot goes at once; the polling command after its interval.
  AdvanceMs(10);
  EXPECT_EQ(ticks(4), (std::vector<int>{1}));
  EXPECT_EQ(DirectLinkGetSlot(1)->state, DIRECT_SLOT_FREE);  // sent once, freed
  AdvanceMs(2000);
  EXPECT_EQ(ticks(4), (std::vector<int>{0}));
  AdvanceMs(1000);
  EXPECT_TRUE(ticks(3).empty());  // slot 0 waits for its interval
  AdvanceMs(1010);
  EXPECT_EQ(ticks(3), (std::vector<int>{0}));
  // The request frames on the line carry the registered command.
  const std::vector<Bytes> writes = LineOf(2).Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_NE(std::search(writes[1].begin(), writes[1].end(), kPoll.begin(), kPoll.end()),
            writes[1].end());
}

TEST_F(DirectServiceTest, AOneShotReplyReachesItsClientAfterItsSlotWasFreed) {
  Open(kPort3);                                // record 0
  Open(4, 3, 0, static_cast<uint8_t>(evnt_));  // the same client on channel 3: record 1
  AddPoll(1, 9, 5, {0x1B}, 0, 1);
  while (DirectLinkReplyCount() > 0) DirectLinkPump();
  Events();
  AdvanceMs(10);
  DirectLinkTick();
  EXPECT_EQ(DirectLinkGetSlot(0)->state, DIRECT_SLOT_FREE);
  ASSERT_TRUE(DirectLinkQueueReply(DIRECT_KIND_SLOT, 0, 5, 3, 0x23, 0, nullptr));
  DirectLinkPump();
  std::vector<Event> ev = Events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].At(18), 0x81);
}

TEST_F(DirectServiceTest, RawWriteDuringAnExchangeDropsRtsAndLeavesTheExchangeAlone) {
  Open(kPort3);
  Events();
  // A request to a synchronised rack is out; the channel waits for its reply.
  DirectLinkGetAddress(DirectLinkAddressIndex(7))->linkState = 2;
  Send(0, 3, 7);
  Append(0, {});
  DirectLinkStep(2);
  ASSERT_EQ(Ch(2).state, DIRECT_RX_SYNC1);
  AdvanceMs(400);
  const uint32_t timeout = Ch(2).timeout;
  const uint32_t start = Ch(2).startTime;
  const size_t writes = Com(1).Writes().size();

  Req r;
  r.U8(16, 2);  // two bytes
  r.U8(17, 0);  // record 0
  r.U8(18, 0x5A);
  r.U8(19, 0xA5);
  Call(r, 2, 20);

  ASSERT_EQ(Com(1).Writes().size(), writes + 1);
  EXPECT_EQ(Com(1).Writes().back(), (Bytes{0x5A, 0xA5}));
  EXPECT_FALSE(Com(1).rts);  // the line is free for the rack's reply
  EXPECT_EQ(Ch(2).state, DIRECT_RX_SYNC1);
  EXPECT_EQ(Ch(2).timeout, timeout);
  EXPECT_EQ(Ch(2).startTime, start);
  // The reply's time-out still runs from the request.
  AdvanceMs(700);
  DirectLinkStep(2);
  EXPECT_EQ(Ch(2).state, DIRECT_TIMED_OUT);
}

// The service's start leaves every address entry free: each rack gets an
// entry of its own and keeps it, also after its exchange failed.
TEST_F(DirectServiceTest, AddressTableStartsFreeSoARackKeepsItsEntryAfterAFailure) {
  for (uint8_t i = 0; i < kDirectAddresses; ++i) EXPECT_EQ(DirectLinkGetAddress(i)->address, 0) << i;
  Open(kPort3);
  Events();
  // Rack 7 never answers: three synchronisation frames, then link code 0x10.
  Send(0, 3, 7);
  Append(0, {});
  uint16_t rcode = 0;
  for (int t = 0; t < 100 && rcode == 0; ++t) {
    AdvanceMs(100);
    DirectLinkTick();
    for (const Event& e : Events())
      if (e.code == 258) rcode = e.At16(24);
  }
  ASSERT_EQ(rcode, IO_KRN_NO_RESPONSE);
  const uint8_t entry7 = DirectLinkAddressIndex(7);
  // Rack 5 is synchronised and answers; rack 7 asks again.
  Send(0, 3, 5);
  Append(0, {});
  DirectLinkTick();
  const uint8_t entry5 = Ch(2).addressIndex;
  EXPECT_NE(entry5, entry7);
  EXPECT_EQ(DirectLinkGetAddress(entry5)->address, 5);
  EXPECT_EQ(DirectLinkGetAddress(entry7)->address, 7) << "rack 5 took rack 7's entry";
  EXPECT_EQ(DirectLinkAddressIndex(7), entry7);
  EXPECT_EQ(Com(1).Writes().back(), SyncFrame(5));
}

TEST_F(DirectServiceTest, ShortAndOutOfRangeRequestsAreRefused) {
  Open(kPort3);
  Events();
  const uint32_t before = DirectLinkRefusedRequests();
  Req r;
  r.U8(16, 9);  // record 9
  Call(r, 3, 24);
  Req shortOpen;
  shortOpen.U8(22, kPort3);
  Call(shortOpen, 1, 20);
  Req badPort;
  badPort.U32(16, kPcAddr);
  badPort.U8(21, 3);
  badPort.U8(22, 7);
  Call(badPort, 1, 58);
  Append(0, {1, 2});  // nothing was begun
  EXPECT_EQ(DirectLinkRefusedRequests(), before + 4);
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(Ch(2).queued, 0);
}

}  // namespace
