// The direct-connect link's channels over a fake serial line: framing,
// synchronisation, sequence and reply bits, time-outs and resends, the
// receiver's checks, reply records, on-change transactions and the dumps.
#include <gtest/gtest.h>

#include <map>

#include "RcCodes.h"
#include "Rle.h"
#include "direct_fixture.h"
#include "platform/time/fake_clock.h"

namespace {

constexpr uint8_t kCh = 2;  // COM1
constexpr uint16_t kRack = 5;
const Bytes kCommand = {0x1B, 0x00};  // what the client gives as data

class DirectLinkTest : public DirectFixture {
 protected:
  DirectLinkTest() { DirectLinkChannelOpen(kCh, 4, false); }

  serial::FakeLine& Line() { return LineOf(kCh); }
  std::vector<Bytes> Writes() { return Line().Writes(); }
  void Feed(const Bytes& b) { Line().Feed(b); }
  uint8_t State() { return Ch(kCh).state; }

  // Steps the channel with bytes fed to the line first.
  void StepWith(const Bytes& b) {
    Feed(b);
    DirectLinkStep(kCh);
  }
  // Drives the first request to kRack through its synchronisation, so that
  // the request frame is on the line.
  void SyncThenRequest(const Bytes& data = kCommand) {
    Request(kCh, kRack, data);
    DirectLinkStep(kCh);        // synchronisation frame
    StepWith(AckFrame(kRack));  // answered
    ASSERT_EQ(State(), DIRECT_SYNCHRONISED);
    DirectLinkStep(kCh);  // the request itself
    ASSERT_EQ(State(), DIRECT_RX_SYNC1);
  }
  // Lets the running time-out expire and takes the time-out step.
  void Expire() {
    AdvanceMs(Ch(kCh).timeout + 10);
    DirectLinkStep(kCh);
    ASSERT_EQ(State(), DIRECT_TIMED_OUT);
    DirectLinkStep(kCh);
  }
};

TEST_F(DirectLinkTest, OpenSetsTheLineTo9600EightNoneOneWithRtsLow) {
  const serial::LineSettings& s = Line().state;
  EXPECT_EQ(s.baud, 9600u);
  EXPECT_EQ(s.byteSize, 8);
  EXPECT_EQ(s.parity, serial::Parity::kNone);
  EXPECT_EQ(s.stopBits, serial::StopBits::kOne);
  EXPECT_EQ(s.rtsControl, serial::RtsControl::kDisable);
  EXPECT_FALSE(Line().rts);
  EXPECT_EQ(State(), DIRECT_IDLE);
  EXPECT_EQ(Ch(kCh).rxFactor, 10);
}

TEST_F(DirectLinkTest, FirstRequestIsPrecededBySynchronisationAndFollowsAtTheNextTick) {
  Request(kCh, kRack, kCommand);
  DirectLinkStep(kCh);
  ASSERT_EQ(Writes().size(), 1u);
  EXPECT_EQ(Writes()[0], SyncFrame(kRack));
  EXPECT_EQ(DirectLinkGetAddress(Ch(kCh).addressIndex)->linkState, 1);

  StepWith(AckFrame(kRack));
  EXPECT_EQ(State(), DIRECT_SYNCHRONISED);
  EXPECT_EQ(Writes().size(), 1u);  // the request waits for the next tick
  DirectLinkStep(kCh);
  ASSERT_EQ(Writes().size(), 2u);
  EXPECT_EQ(Writes()[1], (Bytes{0xFF, 0xFF, 0xAA, 0x55, 0x05, 0x00, 0x80, 0x05, 0x00, 0x23, 0x00,
                                0x00, 0x1B, 0x00, 0xFE, 0x3A, 0xFF, 0xFF}));

  const Bytes answer = {0x1B, 0x00, 0x03, 0x00, 0x0A, 0x0B, 0x0C};
  StepWith(ReplyFrame(kRack, 0x08, 0x00, answer));
  EXPECT_EQ(State(), DIRECT_IDLE);
  ASSERT_EQ(DirectLinkReplyCount(), 1);
  const DirectLinkReply r = TakeReply();
  EXPECT_EQ(r.kind, DIRECT_KIND_CLIENT);
  EXPECT_EQ(r.index, 1);
  EXPECT_EQ(r.address, kRack);
  EXPECT_EQ(r.length, 3 + answer.size());
  EXPECT_EQ(r.atype, kDirectReplyAtype);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(Bytes(r.data, r.data + r.dataLength), answer);
  EXPECT_EQ(DirectLinkGetAddress(Ch(kCh).addressIndex)->linkState, 2);
}

TEST_F(DirectLinkTest, RtsIsRaisedForEachWriteAndDroppedOnceItHasDrained) {
  Line().ClearEvents();
  SyncThenRequest();
  EXPECT_EQ(Line().Trace(), "rts+ write drain rts- rts+ write drain rts-");
  EXPECT_FALSE(Line().rts);
}

TEST_F(DirectLinkTest, SequenceBitFlipsPerRequestAndReplyBitFollowsTheRack) {
  SyncThenRequest();
  StepWith(ReplyFrame(kRack, 0x08, 0, {}));  // bit 0x01 clear: reply bit 2
  TakeReply();
  Request(kCh, kRack, kCommand);
  DirectLinkStep(kCh);
  EXPECT_EQ(Writes().back()[6], 0x80 + 2 + 1);
  StepWith(ReplyFrame(kRack, 0x09, 0, {}));  // bit 0x01 set: reply bit 0
  TakeReply();
  Request(kCh, kRack, kCommand);
  DirectLinkStep(kCh);
  EXPECT_EQ(Writes().back()[6], 0x80 + 0 + 0);
  EXPECT_EQ(Writes().size(), 4u);  // no second synchronisation
}

TEST_F(DirectLinkTest, SilentRackGetsThreeTransmissionsThenNoResponse) {
  SyncThenRequest();
  EXPECT_EQ(Ch(kCh).timeout, kDirectReplyTimeout);
  AdvanceMs(1000);
  DirectLinkStep(kCh);
  EXPECT_EQ(State(), DIRECT_RX_SYNC1);  // not yet: only past the time-out
  AdvanceMs(10);
  DirectLinkStep(kCh);
  EXPECT_EQ(State(), DIRECT_TIMED_OUT);
  DirectLinkStep(kCh);
  EXPECT_EQ(Writes().size(), 3u);
  EXPECT_EQ(Writes()[2], Writes()[1]);  // resent from the frame buffer
  EXPECT_EQ(Ch(kCh).timeout, kDirectReplyTimeout);
  Expire();
  EXPECT_EQ(Writes().size(), 4u);
  EXPECT_EQ(Ch(kCh).timeout, kDirectLastReplyTimeout);  // the third transmission waits 5 s
  AdvanceMs(5000);
  DirectLinkStep(kCh);
  EXPECT_EQ(State(), DIRECT_RX_SYNC1);
  Expire();
  EXPECT_EQ(Writes().size(), 4u);
  EXPECT_EQ(State(), DIRECT_IDLE);
  ASSERT_EQ(DirectLinkReplyCount(), 1);
  const DirectLinkReply r = TakeReply();
  EXPECT_EQ(r.length, 3);
  EXPECT_EQ(r.atype, kDirectErrorAtype);
  EXPECT_EQ(r.rc, IO_KRN_NO_RESPONSE);
  EXPECT_EQ(r.address, kRack);
  // The address must be synchronised again.
  const DirectLinkAddress* e = DirectLinkGetAddress(Ch(kCh).addressIndex);
  EXPECT_EQ(e->linkState, 0);
  EXPECT_EQ(e->sequenceBit, 0);
  EXPECT_EQ(e->replyBit, 0);
  Request(kCh, kRack, kCommand);
  DirectLinkStep(kCh);
  EXPECT_EQ(Writes().back(), SyncFrame(kRack));
}

TEST_F(DirectLinkTest, ReplyTimeOutRunsFromTheLengthBytesByTheReplyLength) {
  SyncThenRequest(Bytes(97, 0x11));
  EXPECT_EQ(Writes().back().size(), 113u);
  const Bytes reply = ReplyFrame(kRack, 0x08, 0, Bytes(97, 0x22));  // L = 100
  AdvanceMs(900);
  StepWith(Bytes(reply.begin(), reply.begin() + 9));  // up to the length
  EXPECT_EQ(Ch(kCh).timeout, 2080u);                  // 2 x 10 x (100 + 4)
  AdvanceMs(2080);
  DirectLinkStep(kCh);
  EXPECT_EQ(State(), DIRECT_RX_ATYPE);
  AdvanceMs(10);
  DirectLinkStep(kCh);
  EXPECT_EQ(State(), DIRECT_TIMED_OUT);
}

struct BadReply {
  const char* what;
  Bytes frame;
  uint8_t code;
};

TEST_F(DirectLinkTest, FaultyRepliesAreResentTwiceThenReportedWithTheirCode) {
  Bytes badCheck = ReplyFrame(kRack, 0x08, 0, {1, 2, 3});
  badCheck[badCheck.size() - 3] ^= 0x40;
  Bytes noReplyBit = ReplyFrame(kRack, 0x00, 0, {1});
  Bytes long600(9 + 600 + 4, 0);
  {
    Bytes data(597, 0x33);
    Bytes big(kDirectFrameOverhead + 600);
    // Built by hand: longer than any frame the link builds.
    big = {0xFF, 0xFF, 0xAA, 0x55, kRack, 0, 0x08, 600 & 0xFF, 600 >> 8, 0xA3, 0, 0};
    big.insert(big.end(), data.begin(), data.end());
    uint8_t c1, c2;
    DirectCheckBytes(big.data() + 4, big.size() - 4, &c1, &c2);
    big.insert(big.end(), {c1, c2, 0xFF, 0xFF});
    long600 = big;
  }
  const BadReply cases[] = {
      {"check byte", badCheck, IO_KRN_CRC_ERROR},
      {"other address", ReplyFrame(kRack + 1, 0x08, 0, {1}), IO_KRN_BAD_ADDRESS},
      {"Atype 0x23", ReplyFrame(kRack, 0x08, 0, {1}, 0x23), IO_KRN_BAD_ATYPE},
      {"length 600", long600, IO_KRN_RESPONSE_TOO_LONG},
      {"control without 0x08", noReplyBit, IO_KRN_BAD_FRAME_CONTROL},
  };
  for (const BadReply& c : cases) {
    SCOPED_TRACE(c.what);
    DirectLinkReset();
    DirectLinkChannelOpen(kCh, 4, false);
    Line().ClearEvents();
    Synchronised(kRack);
    Request(kCh, kRack, kCommand);
    DirectLinkStep(kCh);
    for (int transmission = 1; transmission <= 3; ++transmission) {
      ASSERT_EQ(Writes().size(), size_t(transmission));
      EXPECT_EQ(Ch(kCh).timeout, transmission == 3 ? 5000u : 1000u);
      StepWith(c.frame);
    }
    EXPECT_EQ(State(), DIRECT_IDLE);
    ASSERT_EQ(DirectLinkReplyCount(), 1);
    EXPECT_EQ(TakeReply().rc, c.code);
  }
}

TEST_F(DirectLinkTest, ReplyOfLengthTwoLeavesTheReceiverSkippingUntilTheTimeOut) {
  Synchronised(kRack);
  Request(kCh, kRack, kCommand);
  DirectLinkStep(kCh);
  Bytes l2 = {0xFF, 0xFF, 0xAA, 0x55, kRack, 0, 0x08, 2, 0};
  for (int transmission = 1; transmission <= 3; ++transmission) {
    StepWith(l2);
    EXPECT_EQ(State(), DIRECT_RX_SKIP);
    Expire();
  }
  EXPECT_EQ(Writes().size(), 3u);
  ASSERT_EQ(DirectLinkReplyCount(), 1);
  EXPECT_EQ(TakeReply().rc, IO_KRN_NO_RESPONSE);
}

TEST_F(DirectLinkTest, NoiseSplitBytesAndTruncatedFramesAreRecoveredFrom) {
  SyncThenRequest();
  const Bytes good = ReplyFrame(kRack, 0x08, 0x00, {9, 8, 7});
  // Noise before the frame, with false starts of the sync pair; a repeated
  // 0xAA still leads into 0x55.
  Bytes noisy = {0x00, 0xAA, 0x00, 0xFF, 0xAA, 0xAA};
  noisy.insert(noisy.end(), good.begin() + 3, good.end());
  for (uint8_t b : noisy) StepWith({b});  // one byte per tick
  ASSERT_EQ(DirectLinkReplyCount(), 1);
  EXPECT_EQ(TakeReply().dataLength, 3);

  // A frame cut after its length swallows what follows; the time-out and
  // the resend bring the exchange back.
  Request(kCh, kRack, kCommand);
  DirectLinkStep(kCh);
  StepWith(Bytes(good.begin(), good.begin() + 9));
  StepWith(Bytes(good.begin(), good.begin() + 5));
  EXPECT_EQ(DirectLinkReplyCount(), 0);
  Expire();
  EXPECT_EQ(State(), DIRECT_RX_SYNC1);
  StepWith(good);
  ASSERT_EQ(DirectLinkReplyCount(), 1);
  const DirectLinkReply r = TakeReply();
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(Bytes(r.data, r.data + r.dataLength), (Bytes{9, 8, 7}));
}

TEST_F(DirectLinkTest, AcknowledgementTakenAsAReplyCarriesNothingOfAnEarlierFrame) {
  SyncThenRequest();
  // A long faulty frame first (its length is stored), then an
  // acknowledgement on the resend.
  Bytes big = {0xFF, 0xFF, 0xAA, 0x55, kRack, 0, 0x08, 0xFF, 0xFF};
  StepWith(big);
  Expire();
  StepWith(AckFrame(kRack));
  ASSERT_EQ(DirectLinkReplyCount(), 1);
  const DirectLinkReply r = TakeReply();
  EXPECT_EQ(r.length, 0);
  EXPECT_EQ(r.dataLength, 0);
}

TEST_F(DirectLinkTest, BroadcastGoesAtOnceWithControlZeroAndIsConfirmedOnlyWhenAsked) {
  for (bool confirm : {false, true}) {
    SCOPED_TRACE(confirm);
    DirectLinkReset();
    DirectLinkChannelClose(kCh);
    DirectLinkChannelOpen(kCh, 4, confirm);
    Line().ClearEvents();
    Request(kCh, kDirectBroadcast, kCommand, 3);
    DirectLinkStep(kCh);
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Writes()[0][6], 0x00);
    EXPECT_EQ(Writes()[0][4], 0xFF);
    EXPECT_EQ(State(), DIRECT_IDLE);
    EXPECT_FALSE(Line().rts);
    EXPECT_EQ(DirectLinkReplyCount(), confirm ? 1 : 0);
    if (confirm) {
      const DirectLinkReply r = TakeReply();
      EXPECT_EQ(r.index, 3);
      EXPECT_EQ(r.address, kDirectBroadcast);
      EXPECT_EQ(r.length, 3);
      EXPECT_EQ(r.rc, 0);
    }
  }
}

TEST_F(DirectLinkTest, NoRequestStartsWhileAReplyRecordWaits) {
  ASSERT_TRUE(DirectLinkQueueReply(DIRECT_KIND_NOTICE, 0, kRack, 0, 0, 0, nullptr));
  Synchronised(kRack);
  Request(kCh, kRack, kCommand);
  DirectLinkStep(kCh);
  EXPECT_TRUE(Writes().empty());
  TakeReply();
  DirectLinkStep(kCh);
  EXPECT_EQ(Writes().size(), 1u);
}

TEST_F(DirectLinkTest, ReplyWaitsOnItsChannelUntilTheReplyRingHasRoom) {
  SyncThenRequest();
  Bytes filler(500, 0x44);
  int records = 0;
  while (DirectLinkQueueReply(DIRECT_KIND_NOTICE, 0, 1, 503, 0, 0, filler.data())) ++records;
  const Bytes answer(200, 0x66);
  StepWith(ReplyFrame(kRack, 0x08, 0, answer));
  EXPECT_EQ(State(), DIRECT_RX_COMPLETE);
  DirectLinkStep(kCh);
  EXPECT_EQ(State(), DIRECT_RX_COMPLETE);
  EXPECT_EQ(DirectLinkReplyCount(), records);
  TakeReply();
  DirectLinkStep(kCh);
  EXPECT_EQ(State(), DIRECT_IDLE);
  DirectLinkReply r;
  for (int i = 1; i < records; ++i) ASSERT_TRUE(DirectLinkTakeReply(&r));
  ASSERT_TRUE(DirectLinkTakeReply(&r));
  EXPECT_EQ(Bytes(r.data, r.data + r.dataLength), answer);
  EXPECT_EQ(DirectLinkDroppedReplies(), 0u);
}

TEST_F(DirectLinkTest, UnknownKindEmptiesTheTransmitRing) {
  Synchronised(kRack);
  Request(kCh, kRack, kCommand, 1, 0x77);
  Request(kCh, kRack, kCommand, 2);
  DirectLinkStep(kCh);
  EXPECT_EQ(RingCount(DirectLinkTransmitRing(kCh)), 0);
  EXPECT_EQ(Ch(kCh).queued, 0);
  DirectLinkStep(kCh);
  EXPECT_TRUE(Writes().empty());
}

TEST_F(DirectLinkTest, EntriesThatCannotBeSentAreRefusedWholeAndRemnantsDropped) {
  Bytes big(kDirectRequestMaxL - 2, 0x01);  // L = 500
  EXPECT_FALSE(DirectLinkQueueEntry(kCh, DIRECT_KIND_CLIENT, 1, kRack, 500, 0x23, 0, big.data()));
  EXPECT_EQ(RingCount(DirectLinkTransmitRing(kCh)), 0);
  int n = 0;
  while (DirectLinkQueueEntry(kCh, DIRECT_KIND_CLIENT, 1, kRack, 499, 0x23, 0, big.data())) ++n;
  EXPECT_EQ(n, 3);  // 3 x 505 bytes; a fourth does not fit and is not stored in part
  EXPECT_EQ(RingCount(DirectLinkTransmitRing(kCh)), 3 * 505);

  // An entry longer than the frame buffer put in by hand: refused with
  // "Buffer overflow", the entry behind it still goes.
  DirectLinkReset();
  DirectLinkChannelClose(kCh);
  DirectLinkChannelOpen(kCh, 4, false);
  Synchronised(kRack);
  ByteRing* ring = DirectLinkTransmitRing(kCh);
  const uint8_t head[] = {DIRECT_KIND_CLIENT, 4, kRack, 0, 0xF4, 0x01};  // L = 500
  RingPutN(ring, head, 6);
  Bytes body(500, 0x02);
  RingPutN(ring, body.data(), 500);
  ++Ch(kCh).queued;
  Request(kCh, kRack, kCommand, 5);
  DirectLinkStep(kCh);
  EXPECT_TRUE(Writes().empty());
  DirectLinkReply r = TakeReply();
  EXPECT_EQ(r.index, 4);
  EXPECT_EQ(r.rc, IO_KRN_BUFFER_OVERFLOW);
  DirectLinkStep(kCh);
  ASSERT_EQ(Writes().size(), 1u);
  EXPECT_EQ(Writes()[0].size(), 13u + 5);

  // A remnant (an entry stored in part) empties the ring.
  StepWith(ReplyFrame(kRack, 0x08, 0, {}));
  TakeReply();
  const uint8_t part[] = {DIRECT_KIND_CLIENT, 6, kRack, 0, 20, 0, 0x23};
  RingPutN(ring, part, sizeof part);
  ++Ch(kCh).queued;
  DirectLinkStep(kCh);
  EXPECT_EQ(RingCount(ring), 0);
  r = TakeReply();
  EXPECT_EQ(r.index, 6);
  EXPECT_EQ(r.rc, IO_KRN_BUFFER_OVERFLOW);
  EXPECT_EQ(Writes().size(), 1u);
}

TEST_F(DirectLinkTest, ShortLengthRequestSendsNoStaleBytes) {
  Synchronised(kRack);
  ASSERT_TRUE(DirectLinkQueueEntry(kCh, DIRECT_KIND_CLIENT, 1, kRack, 0, 0, 0, nullptr));
  ASSERT_TRUE(DirectLinkQueueEntry(kCh, DIRECT_KIND_CLIENT, 1, kRack, 2, 0, 0, nullptr));
  DirectLinkStep(kCh);
  ASSERT_EQ(Writes().size(), 1u);
  EXPECT_EQ(Writes()[0].size(), 13u);
  StepWith(AckFrame(kRack));
  TakeReply();
  DirectLinkStep(kCh);
  ASSERT_EQ(Writes().size(), 2u);
  EXPECT_EQ(Writes()[1].size(), 13u);
  EXPECT_EQ(Writes()[1][7], 2);
}

TEST_F(DirectLinkTest, ChannelWithoutAPortEndsAfterThreeTransmitTimeOuts) {
  DirectLinkChannelOpen(5, 4, false);
  Request(5, kRack, kCommand);
  DirectLinkStep(5);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Ch(5).state, DIRECT_TRANSMITTING);
    EXPECT_EQ(Ch(5).timeout, kDirectTransmitTimeout);
    AdvanceMs(2010);
    DirectLinkStep(5);
    EXPECT_EQ(Ch(5).state, DIRECT_TIMED_OUT);
    DirectLinkStep(5);
  }
  EXPECT_EQ(Ch(5).state, DIRECT_IDLE);
  EXPECT_EQ(TakeReply().rc, IO_KRN_NO_RESPONSE);
  for (int com = 1; com <= 3; ++com) EXPECT_TRUE(Com(com).Writes().empty()) << com;
}

TEST_F(DirectLinkTest, ReopenedChannelDropsEntriesLeftFromBeforeItsClose) {
  Synchronised(kRack);
  DirectLinkChannelClose(kCh);
  EXPECT_FALSE(ComIsOpen(kCh));
  Request(kCh, kRack, {0x01, 0x00}, 1);  // queued while closed
  DirectLinkChannelOpen(kCh, 4, false);
  Request(kCh, kRack, {0x02, 0x00}, 2);
  DirectLinkStep(kCh);
  ASSERT_EQ(Writes().size(), 1u);
  EXPECT_EQ(Writes()[0][12], 0x02);
}

TEST_F(DirectLinkTest, RawWriteLeavesRtsLowAndTheExchangeAlone) {
  SyncThenRequest();
  const uint32_t timeout = Ch(kCh).timeout;
  const uint32_t start = Ch(kCh).startTime;
  AdvanceMs(500);
  const uint8_t raw[] = {0x01, 0x02};
  DirectLinkRawTransmit(kCh, 2, raw);
  EXPECT_FALSE(Line().rts);
  EXPECT_EQ(Writes().back(), (Bytes{0x01, 0x02}));
  EXPECT_EQ(Ch(kCh).timeout, timeout);
  EXPECT_EQ(Ch(kCh).startTime, start);
  EXPECT_EQ(State(), DIRECT_RX_SYNC1);
}

TEST_F(DirectLinkTest, FullAddressTableGivesAnEntryNoExchangeIsUsing) {
  for (uint16_t a = 100; a < 100 + kDirectAddresses; ++a) {
    const uint8_t i = DirectLinkAddressIndex(a);
    DirectLinkGetAddress(i)->linkState = 2;
  }
  EXPECT_EQ(DirectLinkAddressIndex(100), 0);
  DirectLinkGetAddress(0)->linkState = 0;  // not synchronised, but in use by a channel
  Ch(kCh).state = DIRECT_RX_SYNC1;
  Ch(kCh).addressIndex = 0;
  DirectLinkGetAddress(7)->linkState = 0;
  EXPECT_EQ(DirectLinkAddressIndex(500), 7);
  EXPECT_EQ(DirectLinkGetAddress(7)->address, 500);
  EXPECT_EQ(DirectLinkGetAddress(7)->linkState, 0);
  // Every entry synchronised: the first one not in use.
  DirectLinkGetAddress(0)->linkState = 2;
  DirectLinkGetAddress(7)->linkState = 2;
  EXPECT_EQ(DirectLinkAddressIndex(501), 1);
  EXPECT_EQ(DirectLinkGetAddress(1)->address, 501);
  EXPECT_EQ(DirectLinkAddressIndex(500), 7);  // still held
}

// ---- on-change transactions ----

std::map<uint8_t, DirectLinkSlotTrack> g_slots;
DirectLinkSlotTrack* LookupSlot(uint8_t slot) {
  auto it = g_slots.find(slot);
  return it == g_slots.end() ? nullptr : &it->second;
}

class OnChangeTest : public DirectLinkTest {
 protected:
  OnChangeTest() {
    g_slots.clear();
    g_slots[9].replyMode = DIRECT_MODE_CHANGE;
    g_slots[9].interval = 1000;
    DirectLinkSetSlotLookup(LookupSlot);
    Synchronised(kRack);
  }
  ~OnChangeTest() override { g_slots.clear(); }
  // One poll of slot 9 answered with `reply` (or nothing when empty).
  void Poll(const Bytes& reply) {
    Request(kCh, kRack, kCommand, 9, DIRECT_KIND_SLOT);
    DirectLinkStep(kCh);
    if (reply.empty()) {
      Expire();
      return;
    }
    StepWith(reply);
  }
  int Passed() {
    int n = 0;
    DirectLinkReply r;
    while (DirectLinkTakeReply(&r)) ++n;
    return n;
  }
};

TEST_F(OnChangeTest, UnchangedRepliesArePassedOnOnce) {
  const Bytes a = ReplyFrame(kRack, 0x08, 0, {1, 2, 3});
  const Bytes b = ReplyFrame(kRack, 0x08, 0, {1, 2, 4});
  Poll(a);
  EXPECT_EQ(Passed(), 1);
  Poll(a);
  EXPECT_EQ(Passed(), 0);
  Poll(b);
  EXPECT_EQ(Passed(), 1);
  Poll(ReplyFrame(kRack, 0x08, 1, {1, 2, 4}));  // rc counts too
  EXPECT_EQ(Passed(), 1);
  EXPECT_EQ(g_slots[9].lastReportedLength, 6);
}

TEST_F(OnChangeTest, FailureIsReportedOnceWithoutResendsUntilAReplySucceeds) {
  const Bytes a = ReplyFrame(kRack, 0x08, 0, {1, 2, 3});
  Poll(a);
  EXPECT_EQ(Passed(), 1);
  SetMs(60000);
  Poll({});
  EXPECT_EQ(Line().Writes().size(), 2u);  // no resend for an on-change poll
  EXPECT_EQ(g_slots[9].intervalStart, 61010u);
  DirectLinkReply r;
  ASSERT_TRUE(DirectLinkTakeReply(&r));
  EXPECT_EQ(r.kind, DIRECT_KIND_SLOT);
  EXPECT_EQ(r.index, 9);
  EXPECT_EQ(r.rc, IO_KRN_NO_RESPONSE);
  EXPECT_EQ(Passed(), 0);
  Synchronised(kRack);
  Poll({});
  EXPECT_EQ(Passed(), 0);  // silent
  Synchronised(kRack);
  Poll(a);
  EXPECT_EQ(Passed(), 1);  // the same reply as before the failure is news again
}

TEST_F(OnChangeTest, RepliesOf256BytesOrMoreArePassedOnEveryTime) {
  const Bytes big = ReplyFrame(kRack, 0x08, 0, Bytes(253, 0x10));  // L = 256
  Poll(big);
  EXPECT_EQ(Passed(), 1);
  Poll(big);
  EXPECT_EQ(Passed(), 1);
}

// ---- dumps ----

class DumpTest : public DirectLinkTest {
 protected:
  DumpTest() : log_(clock_) {
    g_bTimeStampLog = false;
    log_.AddObserver(&seen_);
  }
  ~DumpTest() override { log_.RemoveObserver(&seen_); }
  std::string Text() const { return seen_.text(); }
  platform::time::FakeClock clock_;
  LogBuffer log_;
  RecordingObserver seen_;
};

TEST_F(DumpTest, TrafficIsDumpedOnlyWithTheSwitchOn) {
  SyncThenRequest();
  StepWith(ReplyFrame(kRack, 0x08, 0, {}));
  EXPECT_EQ(Text(), "");
}

TEST_F(DumpTest, TransmittedFramesShowAddressControlCommandAndBytes) {
  g_bDirectConnectDebug = true;
  Bytes command(30);
  for (std::size_t i = 0; i < command.size(); ++i) command[i] = static_cast<uint8_t>(i + 1);
  command[0] = 27;
  Bytes packed(64);
  packed.resize(RleEncode(command.data(), 30, packed.data(), 64, 1));
  Request(kCh, kRack, packed);
  DirectLinkStep(kCh);
  StepWith(AckFrame(kRack));
  DirectLinkStep(kCh);
  std::string want =
      "TX: faddr=5, fctl=0xA0\n"
      "RX: ACK: raddr=5, ctl=0x18, rlen=0\n"
      "TX: CMD_GET_RACK_STATUS: faddr=5, fctl=0x80\n";
  for (std::size_t i = 0; i < command.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %.2X", command[i]);
    want += hex;
    if (i == 24) want += "\n";
  }
  want += "\n";
  EXPECT_EQ(Text(), want);
}

TEST_F(DumpTest, ReceivedRepliesShowTheirCommandOrTheirError) {
  g_bDirectConnectDebug = true;
  SyncThenRequest();
  seen_ = RecordingObserver{};
  const uint8_t reply[] = {57, 0, 7};
  Bytes packed(16);
  packed.resize(RleEncode(reply, 3, packed.data(), 16, 1));
  StepWith(ReplyFrame(kRack, 0x09, 0, packed));
  EXPECT_EQ(Text(), "RX: CMD_SYNCH_FAULT_EVENTS: raddr=5, ctl=0x09, rc=00, rlen=" +
                        std::to_string(3 + packed.size()) + "\n 39 00 07\n");
  TakeReply();
  seen_ = RecordingObserver{};
  Request(kCh, kRack, {});
  DirectLinkStep(kCh);
  seen_ = RecordingObserver{};
  StepWith(ReplyFrame(kRack, 0x08, 0x4C, {}));
  EXPECT_EQ(Text(), "RX: ERROR: rc=0x4C: raddr=5, ctl=0x08\n");
}

TEST(DirectLinkDump, CutOrGarbledFramesAreDumpedWithinTheirBytes) {
  FlagGuard flags;
  g_bTimeStampLog = false;
  platform::time::FakeClock clock;
  LogBuffer log(clock);
  RecordingObserver seen;
  log.AddObserver(&seen);
  const Bytes cases[] = {
      {}, {0xAA}, {0xAA, 0x55, 1, 0}, {0xFF, 0xAA, 0x55, 1, 0, 0x80, 0xFF},
      {0xAA, 0x55, 1, 0, 0x80, 0xFF, 0xFF, 0x23, 0, 0, 0x85},  // L far past the bytes
  };
  for (const Bytes& b : cases) DirectLinkDumpTx(b.data(), static_cast<uint16_t>(b.size()));
  EXPECT_EQ(seen.text(),
            "TX: 0x00 invalid: faddr=1, fctl=0x80\n\n"
            "TX: 0x00 invalid: faddr=1, fctl=0x80\n\n");
  log.RemoveObserver(&seen);
}

}  // namespace
