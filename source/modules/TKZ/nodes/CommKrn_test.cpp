// The IO_KRN client over the fake library: the requests byte for byte, the
// response assembly, the port queues and their time-out, the rack up/down
// relay, learn loads, and random interleavings in which every message handed
// in comes back exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "NodeTestSupport.h"
#include "RackCommands.h"
#include "RcCodes.h"
#include "Rle.h"

namespace {

constexpr uint32_t kAddr = 0x0A000005;  // 10.0.0.5
constexpr uint8_t kIdx0 = 10;           // port index of slot 0
constexpr uint8_t kIdx1 = 11;           // port index of slot 1
constexpr uint16_t kStart = 258, kReport = 259, kIndex = 260;

using Bytes = std::vector<uint8_t>;

Bytes Start(uint8_t index, uint16_t len, uint16_t adr, uint16_t rcode) {
  return {index, 0, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
          static_cast<uint8_t>(adr), static_cast<uint8_t>(adr >> 8), static_cast<uint8_t>(rcode),
          static_cast<uint8_t>(rcode >> 8)};
}
Bytes Report(uint8_t index, const Bytes& data) {
  Bytes b{index, static_cast<uint8_t>(data.size())};
  b.insert(b.end(), data.begin(), data.end());
  return b;
}
Bytes Packed(const Bytes& plain) {
  Bytes out(RleWorstCase(static_cast<uint32_t>(plain.size())) + 1);
  const uint16_t n = RleEncode(plain.data(), static_cast<uint16_t>(plain.size()), out.data(),
                               static_cast<uint16_t>(out.size()), 1);
  out.resize(n);
  return out;
}
Bytes Distinct(size_t n, uint8_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i / 256));
  return b;
}

RackMsg* NewMsg(uint32_t rack, uint32_t reqNum, Bytes command = {27, 0, 1, 0, 9}) {
  RackMsg* m = AllocRackMsg();
  m->Rack = rack;
  m->ReqNum = reqNum;
  std::copy(command.begin(), command.end(), m->command);
  m->sendLength = static_cast<int32_t>(command.size());
  return m;
}

// One node (id 1) with ports on slots 0 and 1, racks 5 (slot 0) and 6
// (slot 1), Online with both ports open and both racks polled.
struct KrnRig : NodesRig {
  KrnRig() {
    Load({{1, kAddr, {1, 1}}}, {{1, 5, 0}, {1, 6, 1}});
    BringOnline(1, kAddr, 3);
    lib.Clear();
    host.syncs.clear();
  }
  NodeEntry* node() { return nodes.Node(1); }
  // Off when a test raises events at clients that may be gone.
  bool strict = true;
  void Event(uint16_t code, const Bytes& data) {
    const NodeEntry* n = nodes.FindNode(1);
    const bool raised = n != nullptr && lib.Raise(IPC_SVR_IO_KRN, n->clientId, code, data);
    if (strict) {
      EXPECT_TRUE(raised);
    }
  }
  // The requests of one procedure since the last Clear.
  std::vector<Bytes> Requests(uint8_t proc) const {
    std::vector<Bytes> out;
    for (const Bytes& r : lib.requests)
      if (r[4] == proc) out.push_back(r);
    return out;
  }
  // Answers the head of the slot with the plain response, packed and cut
  // into reports of `chunk` bytes.
  void Answer(uint8_t index, uint16_t rack, const Bytes& plain, uint16_t rcode = 0,
              size_t chunk = 100) {
    const Bytes p = Packed(plain);
    Event(kStart, Start(index, static_cast<uint16_t>(p.size() + 3), rack, rcode));
    for (size_t at = 0; at < p.size(); at += chunk)
      Event(kReport, Report(index, Bytes(p.begin() + at,
                                         p.begin() + std::min(p.size(), at + chunk))));
  }
  RackEntry* rack(uint32_t n) { return nodes.Rack(n); }
};

// A request header as the client writes it: length, type 22, the node's
// client id, the procedure, the KRN com-proc handle, the rest zero.
Bytes Header(uint16_t length, uint8_t clientId, uint8_t proc, uint8_t handle) {
  Bytes h(16, 0);
  h[0] = static_cast<uint8_t>(length);
  h[1] = static_cast<uint8_t>(length >> 8);
  h[2] = IPC_SVR_IO_KRN;
  h[3] = clientId;
  h[4] = proc;
  h[5] = handle;
  return h;
}
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- requests -----------------------------------------------------------------

TEST(KrnRequests, EveryRequestIsLaidOutByteForByteWithUndefinedBytesZero) {
  KrnRig rig;
  const uint8_t c = rig.node()->clientId;
  const uint8_t h = rig.node()->krnComProcHandle;
  ASSERT_NE(h, 0);

  // Open and close of slot 1.
  rig.nodes.ClosePort(rig.node(), 1);
  rig.node()->ports[1].flags &= static_cast<uint8_t>(~PORT_FLAG_OPEN);
  ASSERT_TRUE(rig.nodes.OpenNextPort(rig.node()));
  const uint8_t evnt = rig.node()->krnEvntHandle;
  Bytes close = Cat(Header(58, c, 1, h), {0x01, 0x00, 0x00, 0x7F, evnt, 0, 2, 0, 1, 0});
  close.resize(58, 0);
  Bytes open = Cat(Header(58, c, 1, h), {0x01, 0x00, 0x00, 0x7F, evnt, 3, 2, 4, 1, 0});
  open.resize(58, 0);
  ASSERT_EQ(rig.lib.requests.size(), 2u);
  EXPECT_EQ(rig.lib.requests[0], close);
  EXPECT_EQ(rig.lib.requests[1], open);
  rig.AnswerOpen(1, kIdx1);
  rig.lib.Clear();

  // A send of 100 bytes that do not pack: 101 packed bytes in appends of
  // 40, 40 and 21.
  const Bytes cmd = Distinct(100);
  rig.nodes.OnSendMsg(NewMsg(6, 1, cmd));
  const Bytes packed = Packed(cmd);
  ASSERT_EQ(packed.size(), 101u);
  std::vector<Bytes> want = {Cat(Header(24, c, 3, h), {kIdx1, 0x23, 104, 0, 6, 0, 0, 0})};
  for (size_t at = 0; at < packed.size(); at += 40) {
    const size_t n = std::min<size_t>(40, packed.size() - at);
    want.push_back(Cat(Cat(Header(static_cast<uint16_t>(18 + n), c, 4, h),
                           {static_cast<uint8_t>(n), kIdx1}),
                       Bytes(packed.begin() + at, packed.begin() + at + n)));
  }
  EXPECT_EQ(rig.lib.requests, want);
  rig.lib.Clear();

  // A broadcast with no data: the send alone, length 3, rack 0xFFFF.
  RackMsg* b = NewMsg(kRackBroadcast, 2, {});
  b->nodeId = 1;
  b->portSlot = 0;
  rig.nodes.OnSendMsg(b);
  ASSERT_EQ(rig.lib.requests.size(), 1u);
  EXPECT_EQ(rig.lib.requests[0], Cat(Header(24, c, 3, h), {kIdx0, 0x23, 3, 0, 0xFF, 0xFF, 0, 0}));
  rig.lib.Clear();

  // Poll registration of rack 6 (slot 1) and its deletion.
  rig.nodes.DeletePoll(rig.rack(6));
  rig.nodes.AddPoll(rig.rack(6));
  uint8_t atype = 0;
  uint8_t poll[16] = {};
  const int pollLength = GetPollCommand(atype, poll);
  const Bytes pollPacked = Packed(Bytes(poll, poll + pollLength));
  const uint8_t pl = static_cast<uint8_t>(pollPacked.size() + 3);
  Bytes del = Cat(Header(31, c, 6, h), {0, 0, 0, 0, 6, 1, 0, 0, 0, 0, kIdx1, 0, 0, 0, 0});
  Bytes add = Cat(Header(31, c, 5, h), {0xD0, 0x07, 0, 0, 6, 1, 6, 0, pl, 0, kIdx1, 0x23, 0, 0, 2});
  Bytes append = Cat(Cat(Header(static_cast<uint16_t>(18 + pollPacked.size()), c, 4, h), {pl, kIdx1}),
                     pollPacked);
  EXPECT_EQ(rig.lib.requests, (std::vector<Bytes>{del, add, append}));
  EXPECT_EQ(atype, 0x23);
}

TEST(KrnRequests, SendLengthOutsideTheCommandAreaComesBackUnsent) {
  KrnRig rig;
  for (int32_t length : {-1, 291, 100000}) {
    RackMsg* m = NewMsg(5, 7);
    m->sendLength = length;
    rig.nodes.OnSendMsg(m);
  }
  EXPECT_TRUE(rig.lib.requests.empty());
  using P = std::pair<uint32_t, uint16_t>;
  EXPECT_EQ(rig.host.returned,
            (std::vector<P>{{5, RC_COMM_FAILURE}, {5, RC_COMM_FAILURE}, {5, RC_COMM_FAILURE}}));

  // A full command area that does not pack needs 293 bytes: all of them go.
  rig.nodes.OnSendMsg(NewMsg(5, 8, Distinct(290)));
  const auto sends = rig.Requests(3);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0][18] | (sends[0][19] << 8), 293 + 3);
  size_t appended = 0;
  for (const Bytes& a : rig.Requests(4)) {
    EXPECT_LE(a[16], 40);
    appended += a[16];
  }
  EXPECT_EQ(appended, 293u);
}

// ---- response assembly ----------------------------------------------------------

TEST(KrnResponses, EventSequencesGiveTheirResultAndNothingElse) {
  const Bytes plain = Distinct(300, 3);
  const Bytes p = Packed(plain);
  const auto L = [](size_t n) { return static_cast<uint16_t>(n + 3); };
  const Bytes big(1100, 0x55);  // packed bytes past the response area
  const Bytes cut = {0x05, 0x41};  // a literal of 5 with one byte
  const Bytes runs = [] {          // 9 x 127 = 1143 unpacked bytes
    Bytes b;
    for (int i = 0; i < 9; ++i) b.insert(b.end(), {0xFF, 0x41});
    return b;
  }();
  const Bytes half1(p.begin(), p.begin() + 100), half2(p.begin() + 100, p.end());

  struct Case {
    const char* name;
    std::vector<std::pair<uint16_t, Bytes>> events;
    bool done;           // the head came back
    uint16_t rcode;
    Bytes response;
    size_t rackEvents;
    int ticks = 0;       // ticks after the events
  };
  const std::vector<Case> cases = {
      {"no data completes on the start", {{kStart, Start(kIdx0, 3, 5, 0)}}, true, 0, {}, 0},
      {"link code without data", {{kStart, Start(kIdx0, 3, 5, 0x10)}}, true, 0x10, {}, 0},
      {"start and reports", {{kStart, Start(kIdx0, L(p.size()), 5, 0)}, {kReport, Report(kIdx0, half1)},
        {kReport, Report(kIdx0, half2)}}, true, 0, plain, 0},
      {"duplicate start ignored", {{kStart, Start(kIdx0, L(p.size()), 5, 0)}, {kReport, Report(kIdx0, half1)},
        {kStart, Start(kIdx0, 3, 5, 0x10)}, {kReport, Report(kIdx0, half2)}}, true, 0, plain, 0},
      {"a start naming another rack is not the head's answer", {{kStart, Start(kIdx0, 3, 6, 0x10)},
        {kStart, Start(kIdx0, 3, 5, 0)}}, true, 0, {}, 0},
      {"report past its length", {{kStart, Start(kIdx0, L(50), 5, 0)}, {kReport, Report(kIdx0, half1)}},
       true, RC_INVALID_RESPONSE, {}, 0},
      {"more than 1024 packed bytes", {{kStart, Start(kIdx0, L(big.size()), 5, 0)},
        {kReport, Report(kIdx0, Bytes(big.begin(), big.begin() + 250))},
        {kReport, Report(kIdx0, Bytes(big.begin(), big.begin() + 250))},
        {kReport, Report(kIdx0, Bytes(big.begin(), big.begin() + 250))},
        {kReport, Report(kIdx0, Bytes(big.begin(), big.begin() + 250))},
        {kReport, Report(kIdx0, Bytes(big.begin(), big.begin() + 100))}},
       true, RC_RESPONSE_TOO_LARGE, {}, 0},
      {"cut-off packet", {{kStart, Start(kIdx0, L(cut.size()), 5, 0)}, {kReport, Report(kIdx0, cut)}},
       true, RC_INVALID_RESPONSE, {}, 0},
      {"unpacks past 1024", {{kStart, Start(kIdx0, L(runs.size()), 5, 0)}, {kReport, Report(kIdx0, runs)}},
       true, RC_INVALID_RESPONSE, {}, 0},
      {"report without start", {{kReport, Report(kIdx0, half1)}}, false, 0, {}, 0},
      {"unknown index", {{kStart, Start(0x33, 3, 5, 0)}}, false, 0, {}, 0},
      {"short start", {{kStart, Bytes{kIdx0, 0, 3, 0, 5, 0}}}, false, 0, {}, 0},
      {"report count past the event", {{kStart, Start(kIdx0, L(10), 5, 0)},
        {kReport, Bytes{kIdx0, 200, 1, 2, 3}}}, false, 0, {}, 0},
      {"poll response beside the head", {{kStart, Start(0x80 | kIdx0, L(p.size()), 5, 0)},
        {kReport, Report(0x80 | kIdx0, half1)}, {kReport, Report(0x80 | kIdx0, half2)}},
       false, 0, {}, 1},
      {"stale poll response freed by the next", {{kStart, Start(0x80 | kIdx0, L(p.size()), 5, 0)},
        {kReport, Report(0x80 | kIdx0, half1)}, {kStart, Start(0x80 | kIdx0, 3, 5, 0)}},
       false, 0, {}, 1},
      {"poll response for a rack of another port's node", {{kStart, Start(0x80 | kIdx0, 3, 77, 0)}},
       false, 0, {}, 0},
      {"start, one report, 150 ticks", {{kStart, Start(kIdx0, L(p.size()), 5, 0)},
        {kReport, Report(kIdx0, half1)}}, true, RC_TIMEOUT, {}, 0, 150},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KrnRig rig;
    rig.nodes.OnSendMsg(NewMsg(5, 42));
    for (const auto& [code, data] : c.events) rig.Event(code, data);
    rig.Ticks(c.ticks);
    ASSERT_EQ(rig.host.back.size(), c.done ? 1u : 0u);
    if (c.done) {
      EXPECT_EQ(rig.host.back[0].rcode, c.rcode);
      EXPECT_EQ(rig.host.back[0].response, c.response);
    } else {
      EXPECT_NE(rig.node()->ports[0].TxHead, nullptr);
    }
    EXPECT_EQ(rig.host.rackEvents.size(), c.rackEvents);
    if (c.rackEvents > 0 && c.events.size() == 3 && c.events[2].first == kReport) {
      EXPECT_EQ(rig.host.rackEvents[0].response, plain);
    }
  }
}

TEST(KrnResponses, StalePollResponseIsLoggedAndLaterPollsStillArrive) {
  KrnRig rig;
  const Bytes p = Packed(Distinct(60));
  rig.Event(kStart, Start(0x80 | kIdx1, static_cast<uint16_t>(p.size() + 3), 6, 0));
  rig.Event(kReport, Report(0x80 | kIdx1, Bytes(p.begin(), p.begin() + 10)));
  // The rest is lost; the next poll response comes whole.
  rig.Answer(0x80 | kIdx1, 6, Distinct(20, 9));
  ASSERT_EQ(rig.host.rackEvents.size(), 1u);
  EXPECT_EQ(rig.host.rackEvents[0].response, Distinct(20, 9));
  EXPECT_TRUE(rig.Logged("Error: Incomplete poll response from rack 6 on node 10.0.0.5 discarded."));
  EXPECT_EQ(rig.rack(6)->RxFaults, 1u);
}

// A poll response too large for the response area is counted and goes to
// the UI thread with its code and no data, so that the rack is probed.
TEST(KrnResponses, PollResponsePastTheResponseAreaIsForwardedTooLarge) {
  KrnRig rig;
  const Bytes big(1100, 0x55);
  rig.Event(kStart, Start(0x80 | kIdx1, static_cast<uint16_t>(big.size() + 3), 6, 0));
  for (size_t at = 0; at < big.size(); at += 250)
    rig.Event(kReport, Report(0x80 | kIdx1, Bytes(big.begin() + at,
                                                 big.begin() + std::min(big.size(), at + 250))));
  ASSERT_EQ(rig.host.rackEvents.size(), 1u);
  EXPECT_EQ(rig.host.rackEvents[0].rack, 6u);
  EXPECT_EQ(rig.host.rackEvents[0].rcode, RC_RESPONSE_TOO_LARGE);
  EXPECT_TRUE(rig.host.rackEvents[0].response.empty());
  EXPECT_EQ(rig.rack(6)->RxFaults, 1u);
  EXPECT_EQ(rig.CountLogged("Error: response from rack 6 overflowed the buffer."), 1);
  EXPECT_TRUE(rig.Logged("10.0.0.5: Forwarding 0 byte poll response from rack 6, Rcode = 0x040f, cmd = 0x0000"));
  EXPECT_TRUE(rig.host.syncs.empty()) << "the probe is the UI thread's";
  EXPECT_EQ(rig.node()->ports[1].RxMsg, nullptr);

  // The next poll response is taken whole.
  rig.Answer(0x80 | kIdx1, 6, Distinct(20, 9));
  ASSERT_EQ(rig.host.rackEvents.size(), 2u);
  EXPECT_EQ(rig.host.rackEvents[1].rcode, 0);
  EXPECT_EQ(rig.rack(6)->RxFaults, 2u);
}

TEST(KrnResponses, PartialPollResponseIsDroppedWhenThePortsReset) {
  KrnRig rig;
  rig.Event(kStart, Start(0x80 | kIdx0, 40, 5, 0));
  ASSERT_NE(rig.node()->ports[0].RxMsg, nullptr);
  // The node goes away and comes back: a new connection, new ports.
  rig.nodes.OnDisconnectNode(1);
  rig.node()->flags |= NODE_FLAG_RECONNECT_NOW;
  for (int i = 0; i < 200 && !(rig.State(1) == NODE_STATE_ONLINE && rig.node()->linkResets > 0); ++i)
    rig.nodes.Tick();
  ASSERT_EQ(rig.State(1), NODE_STATE_ONLINE);
  EXPECT_EQ(rig.node()->ports[0].RxMsg, nullptr);
  EXPECT_EQ(rig.node()->ports[0].rxReceived, 0);
}

// ---- port queues and time-out ----------------------------------------------------

TEST(KrnQueues, OnePortSendsInOrderOneAtATimeBesideTheOtherPort) {
  KrnRig rig;
  for (uint32_t i = 1; i <= 3; ++i) rig.nodes.OnSendMsg(NewMsg(5, i, {27, 0, static_cast<uint8_t>(i)}));
  rig.nodes.OnSendMsg(NewMsg(6, 9));
  auto sends = rig.Requests(3);
  ASSERT_EQ(sends.size(), 2u) << "one per port";
  EXPECT_EQ(sends[0][16], kIdx0);
  EXPECT_EQ(sends[1][16], kIdx1);
  EXPECT_EQ(rig.node()->ports[0].queued, 3u);

  for (uint32_t i = 1; i <= 3; ++i) {
    rig.Answer(kIdx0, 5, {27, 0, static_cast<uint8_t>(i)});
    ASSERT_EQ(rig.host.back.size(), i);
    EXPECT_EQ(rig.host.back.back().reqNum, i);
    EXPECT_EQ(rig.Requests(3).size(), std::min<size_t>(2 + i, 4)) << "the next goes after the answer";
  }
  EXPECT_EQ(rig.node()->ports[0].TxHead, nullptr);
  EXPECT_EQ(rig.rack(5)->RxMsgs, 3u);
}

TEST(KrnQueues, HeadWaitingForItsPortGoesOutWhenTheIndexArrives) {
  NodesRig rig;
  rig.Load({{1, kAddr, {1, 1}}}, {{1, 5, 0}, {1, 6, 1}});
  rig.lib.Know(kAddr, 3);
  rig.lib.attachedKrn.insert(rig.nodes.FindNode(1)->clientId);
  rig.Ticks(2);  // Online, the open of slot 0 outstanding
  ASSERT_EQ(rig.State(1), NODE_STATE_ONLINE);
  rig.lib.Clear();
  rig.nodes.OnSendMsg(NewMsg(6, 1));  // slot 1: not open yet
  EXPECT_TRUE(std::none_of(rig.lib.requests.begin(), rig.lib.requests.end(),
                           [](const Bytes& r) { return r[4] == 3; }))
      << "nothing is sent on a port still opening";
  rig.AnswerOpen(1, kIdx0);
  rig.AnswerOpen(1, kIdx1);
  std::vector<Bytes> sends;
  for (const Bytes& r : rig.lib.requests)
    if (r[4] == 3) sends.push_back(r);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0][16], kIdx1);
}

TEST(KrnQueues, PortTimeOutReturnsTheNodesMessagesAndReconnects) {
  KrnRig rig;
  rig.nodes.OnSendMsg(NewMsg(5, 1));
  rig.nodes.OnSendMsg(NewMsg(5, 2));
  rig.nodes.OnSendMsg(NewMsg(6, 3));
  rig.Ticks(149);
  EXPECT_TRUE(rig.host.back.empty());
  rig.Ticks(1);
  std::vector<uint32_t> reqs;
  for (const auto& b : rig.host.back) {
    EXPECT_EQ(b.rcode, RC_TIMEOUT);
    reqs.push_back(b.reqNum);
  }
  EXPECT_EQ(reqs, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_TRUE(rig.Logged("10.0.0.5: Error: Timeout waiting for response on port -1."));
  // Torn down and built again at once.
  for (int i = 0; i < 300 && !(rig.State(1) == NODE_STATE_ONLINE && rig.node()->linkResets > 0); ++i)
    rig.Ticks(1);
  EXPECT_EQ(rig.State(1), NODE_STATE_ONLINE);
  EXPECT_EQ(rig.node()->linkResets, 1u);
}

// The packed command a node got from the sends and appends recorded (the
// bytes of every append after the first send of the port index).
Bytes Assembled(const std::vector<Bytes>& requests, uint8_t index) {
  Bytes out;
  for (const Bytes& r : requests)
    if (r[4] == 4 && r[17] == index) out.insert(out.end(), r.begin() + 18, r.begin() + 18 + r[16]);
  return out;
}

TEST(KrnQueues, ACommandTheTransmitQueueCannotTakeWaitsAndGoesOutWholeOnce) {
  // Room for: nothing; the send only; the send and two appends.
  for (int room : {0, 1, 3}) {
    SCOPED_TRACE(room);
    KrnRig rig;
    const Bytes cmd = Distinct(200);  // a send and 6 appends
    rig.lib.queueRoom = room;
    rig.nodes.OnSendMsg(NewMsg(5, 1, cmd));
    EXPECT_TRUE(rig.host.back.empty()) << "held, not failed";
    EXPECT_FALSE(rig.node()->ports[0].headSent);
    EXPECT_TRUE(rig.nodes.AnyHeld());
    EXPECT_EQ(rig.lib.requests.size(), static_cast<size_t>(room));
    EXPECT_TRUE(rig.Logged("10.0.0.5: Error: The transmit queue is full; the message to rack 5 waits."));

    // Still no room: nothing more goes, and nothing is sent twice.
    rig.nodes.RetryHeld();
    rig.Ticks(3);
    EXPECT_EQ(rig.lib.requests.size(), static_cast<size_t>(room));
    rig.lib.queueRoom = -1;
    rig.nodes.RetryHeld();
    EXPECT_FALSE(rig.nodes.AnyHeld());
    EXPECT_EQ(rig.Requests(3).size(), 1u) << "one send";
    EXPECT_EQ(Assembled(rig.lib.requests, kIdx0), Packed(cmd)) << "every byte once, in order";
    EXPECT_TRUE(rig.node()->ports[0].headSent);
    rig.Answer(kIdx0, 5, {27, 0, 1});
    ASSERT_EQ(rig.host.back.size(), 1u);
    EXPECT_EQ(rig.host.back[0].rcode, 0);
  }
}

TEST(KrnQueues, APortOpenOrPollRegistrationNotQueuedIsMadeAgainWhole) {
  NodesRig rig;
  rig.Load({{1, kAddr, {1, 1}}}, {{1, 5, 0}, {1, 6, 1}});
  rig.lib.Know(kAddr, 3);
  rig.lib.attachedKrn.insert(rig.nodes.FindNode(1)->clientId);
  rig.Ticks(2);  // Online, the open of slot 0 sent
  rig.lib.Clear();
  rig.lib.queueRoom = 0;  // the open of slot 1 that follows finds no room
  rig.AnswerOpen(1, kIdx0);
  EXPECT_TRUE(rig.lib.requests.empty());
  EXPECT_TRUE(rig.nodes.AnyHeld());
  rig.lib.queueRoom = -1;
  rig.nodes.RetryHeld();
  EXPECT_EQ(rig.lib.KrnRequests(), (std::vector<std::string>{"1/3@1"}));

  // Room for rack 5's registration and half of rack 6's.
  rig.lib.Clear();
  rig.lib.queueRoom = 3;
  rig.AnswerOpen(1, kIdx1);
  EXPECT_NE(rig.nodes.FindRack(5)->flags & RACK_FLAG_POLLING, 0);
  EXPECT_EQ(rig.nodes.FindRack(6)->flags & RACK_FLAG_POLLING, 0) << "not registered whole";
  EXPECT_EQ(rig.host.syncs, (std::vector<uint32_t>{5}));
  rig.lib.queueRoom = -1;
  rig.nodes.RetryHeld();
  EXPECT_NE(rig.nodes.FindRack(6)->flags & RACK_FLAG_POLLING, 0);
  EXPECT_EQ(rig.host.syncs, (std::vector<uint32_t>{5, 6}));
  // 5 and 4 for rack 5, the refused 5 for rack 6, then both of it again.
  EXPECT_EQ(rig.lib.KrnRequests(), (std::vector<std::string>{"5", "4", "5", "5", "4"}));
  EXPECT_FALSE(rig.nodes.AnyHeld());
}

TEST(KrnQueues, MessageThatCannotGoOutTimesOutLikeAnUnansweredOne) {
  // Its port never opens; the transmit queue never has room for it.
  for (bool portOpens : {false, true}) {
    SCOPED_TRACE(portOpens);
    NodesRig rig;
    rig.Load({{1, kAddr, {1}}}, {{1, 5, 0}});
    rig.lib.Know(kAddr, 3);
    rig.lib.attachedKrn.insert(rig.nodes.FindNode(1)->clientId);
    rig.Ticks(2);  // Online, the open of slot 0 sent
    if (portOpens) {
      rig.AnswerOpen(1, kIdx0);
      rig.lib.queueRoom = 0;
    }
    rig.nodes.OnSendMsg(NewMsg(5, 1));
    rig.Ticks(150);
    ASSERT_EQ(rig.host.back.size(), 1u);
    EXPECT_EQ(rig.host.back[0].rcode, RC_TIMEOUT);
  }
}

TEST(KrnQueues, MessageForAnUnconfiguredPortComesBackAtOnce) {
  KrnRig rig;
  rig.nodes.OnAddRack({1, 8, 4});  // slot 4 has no port on node 1
  rig.nodes.OnSendMsg(NewMsg(8, 1));
  ASSERT_EQ(rig.host.back.size(), 1u);
  EXPECT_EQ(rig.host.back[0].rcode, RC_NO_NODE_FOR_RACK);
  EXPECT_TRUE(rig.Requests(3).empty());
  rig.Ticks(200);
  EXPECT_EQ(rig.node()->linkResets, 0u) << "the node is not reconnected for it";
}

TEST(KrnQueues, HeadQueuedBeforeTheNodeCameOnlineWaitsForItsPortUnderItsCountdown) {
  NodesRig rig;
  rig.Load({{1, kAddr, {1}}}, {{1, 5, 0}});
  rig.nodes.OnSendMsg(NewMsg(5, 1));  // the node is not known to the library yet
  rig.lib.Know(kAddr, 3);
  rig.lib.attachedKrn.insert(rig.nodes.FindNode(1)->clientId);
  rig.Ticks(2);  // Online; the port's open is never answered
  ASSERT_EQ(rig.State(1), NODE_STATE_ONLINE);
  EXPECT_TRUE(rig.host.back.empty());
  rig.Ticks(150);
  ASSERT_EQ(rig.host.back.size(), 1u);
  EXPECT_EQ(rig.host.back[0].rcode, RC_TIMEOUT);
}

// ---- the relay ---------------------------------------------------------------------

TEST(KrnRelay, AnsweringRackGetsOneSyncAndALinkCodeTakesItDown) {
  KrnRig rig;
  // Polling started with a synchronisation each (the rig cleared them).
  EXPECT_NE(rig.rack(5)->flags & RACK_FLAG_SYNC_SENT, 0);
  for (int i = 0; i < 3; ++i) rig.Answer(0x80 | kIdx0, 5, {27, 0, 4, 0});
  EXPECT_TRUE(rig.host.syncs.empty()) << "its synchronisation is on its way";

  // It stops answering a solicited message, then answers polls again.
  rig.nodes.OnSendMsg(NewMsg(5, 1));
  rig.Event(kStart, Start(kIdx0, 3, 5, 0x10));
  EXPECT_TRUE(rig.host.rackDown.empty()) << "it was not up";
  for (int i = 0; i < 3; ++i) rig.Answer(0x80 | kIdx0, 5, {27, 0, 4, 0});
  EXPECT_EQ(rig.host.syncs, (std::vector<uint32_t>{5}));

  // Up (the UI thread's answer); a link code 0x10 posts one rack-down.
  rig.rack(5)->flags |= RACK_FLAG_UP;
  rig.nodes.OnSendMsg(NewMsg(5, 2));
  rig.Event(kStart, Start(kIdx0, 3, 5, 0x10));
  rig.nodes.OnSendMsg(NewMsg(5, 3));
  rig.Event(kStart, Start(kIdx0, 3, 5, 0x10));
  EXPECT_EQ(rig.host.rackDown, (std::vector<uint32_t>{5}));
  EXPECT_EQ(rig.rack(5)->flags & (RACK_FLAG_UP | RACK_FLAG_SYNC_SENT), 0);
  EXPECT_EQ(rig.rack(5)->Errors, 3u);
  EXPECT_EQ(rig.rack(5)->LastErrRcode, 0x10);
}

TEST(KrnRelay, FailedSynchronisationIsRetriedOnTheNextAnswer) {
  KrnRig rig;
  RackMsg* sync = NewMsg(5, 0, {DIM_CMD_SYNCH_FAULT_EVENTS, 0, 1, 2, 3, 4});
  rig.nodes.OnSendMsg(sync);
  rig.Event(kStart, Start(kIdx0, 3, 5, 0x13));  // a link error, not silence
  rig.Answer(0x80 | kIdx0, 5, {27, 0});
  EXPECT_EQ(rig.host.syncs, (std::vector<uint32_t>{5}));
}

TEST(KrnRelay, RackUpCountsOnlyWhileItsSynchronisationIsOutstanding) {
  KrnRig rig;
  EXPECT_FALSE(rig.nodes.MarkRackUp(77)) << "not a rack of the table";

  // The rack stops answering before the UI thread's rack-up arrives.
  rig.nodes.OnSendMsg(NewMsg(5, 1));
  rig.Event(kStart, Start(kIdx0, 3, 5, 0x10));
  EXPECT_FALSE(rig.nodes.MarkRackUp(5));
  EXPECT_EQ(rig.rack(5)->flags & RACK_FLAG_UP, 0);

  // It answers again: a new synchronisation, and its rack-up counts once.
  rig.Answer(0x80 | kIdx0, 5, {27, 0, 4, 0});
  ASSERT_EQ(rig.host.syncs, (std::vector<uint32_t>{5}));
  EXPECT_TRUE(rig.nodes.MarkRackUp(5));
  EXPECT_NE(rig.rack(5)->flags & RACK_FLAG_UP, 0);
  EXPECT_FALSE(rig.nodes.MarkRackUp(5)) << "its version is asked once";
}

TEST(KrnRelay, RackUpArrivingAfterTheNodeLeftOnlineDoesNotSwallowTheNextOne) {
  KrnRig rig;
  ASSERT_NE(rig.rack(5)->flags & RACK_FLAG_SYNC_SENT, 0);
  rig.lib.Forget(kAddr);
  rig.nodes.Tick();
  ASSERT_NE(rig.State(1), NODE_STATE_ONLINE);
  EXPECT_FALSE(rig.nodes.MarkRackUp(5)) << "the synchronisation went with the old link";
  EXPECT_EQ(rig.rack(5)->flags & RACK_FLAG_UP, 0);

  // Back Online: polling starts again with a new synchronisation, and the
  // rack-up that answers it marks the rack up (its version is asked).
  rig.host.syncs.clear();
  rig.lib.Know(kAddr, 3);
  rig.lib.attachedKrn.insert(rig.nodes.FindNode(1)->clientId);
  for (int i = 0; i < 400 && rig.State(1) != NODE_STATE_ONLINE; ++i) rig.nodes.Tick();
  ASSERT_EQ(rig.State(1), NODE_STATE_ONLINE);
  for (uint8_t idx = 10; idx < 16 && (rig.node()->flags & NODE_FLAG_PORT_OPENING) != 0; ++idx)
    rig.AnswerOpen(1, idx);
  ASSERT_EQ(rig.host.syncs, (std::vector<uint32_t>{5, 6}));
  EXPECT_TRUE(rig.nodes.MarkRackUp(5));
}

// A node that attaches while the library has it offline or disabled opens
// its ports and synchronises its racks; a rack-up answering that
// synchronisation before the node is Online does not mark the rack up.
TEST(KrnRelay, RackUpWhileItsNodeIsNotOnlineDoesNotMarkTheRackUp) {
  const struct {
    uint8_t status;
    uint32_t state;
  } cases[] = {{IPC_NODE_STATUS_OFFLINE, NODE_STATE_OFFLINE}, {IPC_NODE_STATUS_DISABLED, NODE_STATE_DISABLED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    NodesRig rig;
    rig.Load({{1, kAddr, {1}}}, {{1, 5, 0}});
    rig.lib.Know(kAddr, 3, {IPC_LINK_STATUS_OK, c.status});
    rig.lib.attachedKrn.insert(rig.nodes.FindNode(1)->clientId);
    rig.Ticks(2);
    ASSERT_EQ(rig.State(1), c.state);
    ASSERT_TRUE(rig.AnswerOpen(1, kIdx0));
    ASSERT_EQ(rig.host.syncs, (std::vector<uint32_t>{5}));
    ASSERT_NE(rig.nodes.FindRack(5)->flags & RACK_FLAG_SYNC_SENT, 0);
    EXPECT_FALSE(rig.nodes.MarkRackUp(5));
    EXPECT_EQ(rig.nodes.FindRack(5)->flags & RACK_FLAG_UP, 0);

    rig.lib.At(kAddr).status = IPC_NODE_STATUS_ONLINE;
    rig.nodes.Tick();
    ASSERT_EQ(rig.State(1), NODE_STATE_ONLINE);
    EXPECT_TRUE(rig.nodes.MarkRackUp(5));
  }
}

// ---- learn loads ---------------------------------------------------------------------

TEST(KrnLearn, LearningRackRefusesOtherMessagesAndPollingPausesAroundIt) {
  KrnRig rig;
  rig.nodes.OnLoadLearn(NewMsg(5, 1, {55, 0, 0, 0}), 0);
  EXPECT_NE(rig.rack(5)->flags & RACK_FLAG_LEARNING, 0);
  EXPECT_EQ(rig.rack(5)->flags & RACK_FLAG_POLLING, 0);
  ASSERT_EQ(rig.Requests(6).size(), 1u) << "poll deleted";
  ASSERT_EQ(rig.Requests(3).size(), 1u) << "the learn command itself is sent";

  rig.nodes.OnSendMsg(NewMsg(5, 2));
  ASSERT_EQ(rig.host.back.size(), 1u);
  EXPECT_EQ(rig.host.back[0].rcode, RC_RACK_LEARNING);
  EXPECT_EQ(rig.Requests(3).size(), 1u);
  rig.nodes.OnSendMsg(NewMsg(6, 3));  // another rack is not affected
  EXPECT_EQ(rig.Requests(3).size(), 2u);

  rig.Answer(kIdx0, 5, {55, 0});
  ASSERT_EQ(rig.host.back.size(), 2u);
  EXPECT_EQ(rig.host.back[1].rcode, 0);
  rig.lib.Clear();
  rig.nodes.OnLoadLearn(NewMsg(5, 4), 1);
  ASSERT_EQ(rig.host.back.size(), 3u);
  EXPECT_EQ(rig.host.back[2].reqNum, 4u);
  EXPECT_EQ(rig.host.back[2].rcode, 0);
  EXPECT_TRUE(rig.Requests(3).empty()) << "the end message goes back unsent";
  EXPECT_EQ(rig.Requests(5).size(), 1u) << "poll added again";
  EXPECT_EQ(rig.rack(5)->flags & RACK_FLAG_LEARNING, 0);
  EXPECT_NE(rig.rack(5)->flags & RACK_FLAG_POLLING, 0);
}

TEST(KrnLearn, EndOfACycleReturnsTheMessageWithTheCodeItCameWith) {
  // The learn command's own result, handed back with the end of the cycle.
  for (const uint16_t rcode : {uint16_t{0x10}, RC_TIMEOUT, uint16_t{0}}) {
    SCOPED_TRACE(rcode);
    KrnRig rig;
    rig.nodes.OnLoadLearn(NewMsg(5, 1, {55, 0, 0, 0}), 0);
    rig.lib.Clear();
    RackMsg* end = NewMsg(5, 1, {55, 0, 0, 0});
    end->Rcode = rcode;
    rig.nodes.OnLoadLearn(end, 1);
    ASSERT_EQ(rig.host.back.size(), 1u);
    EXPECT_EQ(rig.host.back[0].rcode, rcode);
    EXPECT_TRUE(rig.Requests(3).empty());
    EXPECT_EQ(rig.Requests(5).size(), 1u) << "poll added again";
    EXPECT_EQ(rig.rack(5)->flags & RACK_FLAG_LEARNING, 0);
  }

  // The rack's node went while it learnt: the end cannot be routed, but the
  // rack leaves the learning state all the same.
  KrnRig rig;
  rig.nodes.OnLoadLearn(NewMsg(5, 1, {55, 0, 0, 0}), 0);
  rig.Load({}, {{1, 5, 0}, {1, 6, 1}});
  rig.Ticks(100);
  ASSERT_EQ(rig.nodes.FindNode(1), nullptr);
  rig.host.back.clear();
  RackMsg* end = NewMsg(5, 1);
  end->Rcode = 0x10;
  rig.nodes.OnLoadLearn(end, 1);
  ASSERT_EQ(rig.host.back.size(), 1u);
  EXPECT_EQ(rig.host.back[0].rcode, RC_NO_NODE_FOR_RACK);
  EXPECT_EQ(rig.rack(5)->flags & RACK_FLAG_LEARNING, 0);
}

// ---- random interleavings ---------------------------------------------------------------

TEST(KrnProperty, EveryMessageHandedInComesBackExactlyOnce) {
  std::set<uint16_t> seen;  // the results the runs went through
  size_t answered = 0, pollEvents = 0;
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    KrnRig rig;
    rig.strict = false;
    g_bIpcCommDebug = false;
    std::vector<uint32_t> handed;
    uint32_t next = 1;
    for (int step = 0; step < 400; ++step) {
      const int what = pick(12);
      NodeEntry* n = rig.nodes.Node(1);
      if (what <= 3) {
        const uint32_t racks[] = {5, 6, 99, kRackBroadcast};
        const uint32_t r = racks[pick(4)];
        RackMsg* m = NewMsg(r, next, Distinct(static_cast<size_t>(pick(40)) + 2));
        m->nodeId = 1;
        m->portSlot = pick(2);
        if (pick(20) == 0) m->sendLength = 400;
        handed.push_back(next++);
        if (pick(6) == 0)
          rig.nodes.OnLoadLearn(m, pick(2));
        else
          rig.nodes.OnSendMsg(m);
      } else if (what <= 7 && n != nullptr) {
        const int slot = pick(2);
        const uint8_t idx = n->ports[slot].portIndex;
        const uint8_t flag = pick(4) == 0 ? 0x80 : 0;
        const uint16_t rack = static_cast<uint16_t>(slot == 0 ? 5 : 6);
        const Bytes p = Packed(Distinct(static_cast<size_t>(pick(700))));
        switch (pick(5)) {
          case 0:
            rig.Event(kStart, Start(idx | flag, 3, rack, pick(3) == 0 ? 0x10 : 0));
            break;
          case 1:
            rig.Event(kStart, Start(idx | flag, static_cast<uint16_t>(p.size() + 3), rack, 0));
            break;
          case 2:
            rig.Event(kReport, Report(idx | flag, Bytes(p.begin(), p.begin() + std::min<size_t>(p.size(), 200))));
            break;
          case 3:
            rig.Answer(idx | flag, rack, Distinct(static_cast<size_t>(pick(900))), 0,
                       static_cast<size_t>(pick(200) + 1));
            break;
          default:
            rig.Event(kIndex, {static_cast<uint8_t>(pick(3) == 0 ? 0x90 : 12)});
            break;
        }
      } else if (what == 8) {
        rig.Ticks(pick(3) == 0 ? 151 : pick(20));
      } else if (what == 9) {
        rig.nodes.OnDisconnectNode(1);
      } else if (what == 10) {
        if (pick(3) == 0)
          rig.Load({}, {});
        else
          rig.Load({{1, kAddr, {1, 1}}}, {{1, 5, 0}, {1, 6, 1}});
      } else {
        rig.lib.At(kAddr).status = pick(3) == 0 ? IPC_NODE_STATUS_OFFLINE : IPC_NODE_STATUS_ONLINE;
        if (n != nullptr)
          for (uint8_t i = 10; i < 16 && (n->flags & NODE_FLAG_PORT_OPENING) != 0; ++i)
            rig.AnswerOpen(1, i);
      }
    }
    // Everything ends: the node is dropped and its teardown runs out.
    rig.Load({}, {});
    rig.Ticks(400);
    ASSERT_EQ(rig.nodes.FindNode(1), nullptr);
    std::vector<uint32_t> back;
    for (const auto& b : rig.host.back) back.push_back(b.reqNum);
    std::sort(back.begin(), back.end());
    EXPECT_EQ(back, handed);
    for (const auto& b : rig.host.back) {
      seen.insert(b.rcode);
      answered += b.rcode == 0 && !b.response.empty();
    }
    pollEvents += rig.host.rackEvents.size();
  }
  // The runs went through the paths that matter.
  for (uint16_t rc : {uint16_t{0}, uint16_t{0x10}, RC_INVALID_RESPONSE, RC_TIMEOUT, RC_FLUSHED,
                      RC_NO_NODE_FOR_RACK, RC_RACK_LEARNING, RC_COMM_FAILURE})
    EXPECT_EQ(seen.count(rc), 1u) << std::hex << rc;
  EXPECT_GT(answered, 0u);
  EXPECT_GT(pollEvents, 0u);
}

}  // namespace
