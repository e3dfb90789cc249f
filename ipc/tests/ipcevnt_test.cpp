// The event ring, IpcEvntDespatch, delivery to client slots, and com-proc
// checks and routing.
#include "ipcevnt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "db_fixture.h"
#include "ipcroutr.h"
#include "tessio32.h"

namespace {

using ipctest::DbTest;

constexpr uint32_t kAddr0 = 0xC0A80101;  // this PC
constexpr uint32_t kAddr7 = 0xC0A80107;  // node 7
constexpr uint32_t kAddrUnknown = 0xC0A801F0;

std::vector<uint8_t> MakeEvnt(uint8_t type, uint16_t code, uint8_t hostHandle, uint16_t length,
                              uint8_t hostKind = IPC_HOST_KIND_LOCAL) {
  std::vector<uint8_t> b(std::max<size_t>(length, sizeof(IpcEvntHdr)), 0x5A);
  IpcEvntHdr h{};
  h.length = length;
  h.evntCode = code;
  h.svrType = type;
  h.svrIndx = 0xEE;
  h.evntId = 1;
  h.hostKind = hostKind;
  std::memcpy(h.version, "020615", 7);
  h.hostHandle = hostHandle;
  h.reserved = 0xEE;
  std::memcpy(b.data(), &h, sizeof h);
  return b;
}

// A node announcement of the router carrying addr, or one too short to
// carry an address.
std::vector<uint8_t> MakeAnnounce(uint32_t addr, uint16_t length = 84) {
  std::vector<uint8_t> b = MakeEvnt(IPC_SVR_ROUTER, ipc::kIpcRouterEvntNodeStatus, 1, length);
  if (length >= 26) {
    for (int i = 0; i < 4; ++i) b[22 + i] = static_cast<uint8_t>(addr >> (8 * i));
  }
  return b;
}

IpcEvntHdr* Hdr(std::vector<uint8_t>& b) { return reinterpret_cast<IpcEvntHdr*>(b.data()); }

// What a callback saw.
struct Seen {
  uint8_t svrType;
  uint16_t code;
  uint16_t length;
};

class EvntTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
    IpcSvrLocationSet(IPC_SVR_ROUTER, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
    current = this;
  }
  void TearDown() override {
    current = nullptr;
    DbTest::TearDown();
  }

  // An event client on this PC whose callback records into seen and then
  // runs onEvent.
  uint8_t Listen(uint8_t type, uint8_t indx) {
    uint8_t h = 0;
    EXPECT_EQ(IpcClntEvntCreate(type, indx, &EvntTest::OnEvent, "1.3c", &h, 0), 0);
    return h;
  }

  bool Queue(std::vector<uint8_t>& b, uint8_t src = 0, uint8_t selNode = 0, uint8_t selClnt = 0) {
    return ipc::IpcEvntQueue(Hdr(b), src, selNode, selClnt);
  }

  int DespatchAll() {
    int n = 0;
    while (n < 200 && IpcEvntDespatch()) ++n;
    return n;
  }

  std::vector<Seen> seen;
  std::function<void(const IpcEvntHdr*)> onEvent;
  static EvntTest* current;

 private:
  static void OnEvent(const IpcEvntHdr* e, intptr_t) {
    current->seen.push_back({e->svrType, e->evntCode, e->length});
    if (current->onEvent) current->onEvent(e);
  }
};

EvntTest* EvntTest::current = nullptr;

// ---------------------------------------------------------------------
// Queueing

TEST_F(EvntTest, QueueResolvesTheReceiversIndexBySourceNodeAndMarksTheCallersHeader) {
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 3, IPC_HOST_KIND_LOCAL, 1, 5, 0, 0, 0, 0);
  std::vector<uint8_t> fromNode5 = MakeEvnt(IPC_SVR_IO_KRN, 300, 1, 40);
  ASSERT_TRUE(Queue(fromNode5, 5));
  EXPECT_EQ(Hdr(fromNode5)->svrIndx, 3);
  EXPECT_EQ(Hdr(fromNode5)->reserved, 0);
  std::vector<uint8_t> local = MakeEvnt(IPC_SVR_IO_KRN, 301, 1, 40);
  ASSERT_TRUE(Queue(local, 0));
  EXPECT_EQ(Hdr(local)->svrIndx, 1);
  EXPECT_EQ(ipc::IpcEvntQueued(), 2);

  const IpcEvntState& s = ipc::Cur().evnt;
  EXPECT_EQ(s.slots[0].data[17], 1);  // ready
  EXPECT_EQ(std::memcmp(s.slots[0].data + 18, fromNode5.data() + 18, 22), 0);
  EXPECT_EQ(s.slots[0].data[40], 0xCC);  // nothing beyond the event's length
}

TEST_F(EvntTest, EventsOfUnlocatedServersAreDroppedSilently) {
  std::vector<uint8_t> unlocated = MakeEvnt(IPC_SVR_IO_KRN, 300, 4, 40);
  std::vector<uint8_t> otherNode = MakeEvnt(IPC_SVR_IO_KRN, 300, 1, 40);
  EXPECT_FALSE(Queue(unlocated));
  EXPECT_FALSE(Queue(otherNode, 6));
  // A report before the log server is located goes the same way.
  IpcLogError(1, IPC_SVR_IO_KRN, 1, IPC_ERR_SVR_INDX, "ipcdb.c", 10);
  EXPECT_EQ(ipc::IpcEvntQueued(), 0);
  EXPECT_EQ(ipc::Cur().evnt.droppedUnresolved, 3u);

  EnableReports();
  EXPECT_FALSE(Queue(unlocated));
  EXPECT_TRUE(Reports().empty());
}

TEST_F(EvntTest, QueueRefusesEventsShorterThanTheirHeaderOrLongerThan1250) {
  EnableReports();
  for (uint16_t length : {uint16_t{0}, uint16_t{17}, uint16_t{1251}}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> e = MakeEvnt(IPC_SVR_IO_KRN, 300, 1, length);
    EXPECT_FALSE(Queue(e));
    const std::vector<ipctest::Report> r = Reports();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, IPC_ERR_MSG_LEN);
    EXPECT_EQ(r[0].severity, IPC_SEV_INTERNAL);
    EXPECT_EQ(r[0].file, "ipcevnt");
  }
  std::vector<uint8_t> longest = MakeEvnt(IPC_SVR_IO_KRN, 300, 1, 1250);
  EXPECT_TRUE(Queue(longest));
}

// ---------------------------------------------------------------------
// The full ring

enum class Kind { kNormal, kForeign, kUnknownAddr, kOwn, kShort };

std::vector<uint8_t> Make(Kind k, uint16_t code) {
  switch (k) {
    case Kind::kNormal:
      return MakeEvnt(IPC_SVR_IO_KRN, code, 1, 30);
    case Kind::kForeign:
      return MakeAnnounce(kAddr7);
    case Kind::kUnknownAddr:
      return MakeAnnounce(kAddrUnknown);
    case Kind::kOwn:
      return MakeAnnounce(kAddr0);
    case Kind::kShort:
      return MakeAnnounce(0, 25);  // too short to carry an address
  }
  return {};
}

TEST_F(EvntTest, FullRingHolds49AndOnlyAForeignAnnouncementAtTheHeadGivesWay) {
  struct Case {
    const char* what;
    Kind head;
    Kind incoming;
    bool accepted;
  };
  const Case cases[] = {
      {"announcement of node 7 at the head", Kind::kForeign, Kind::kNormal, true},
      {"announcement of an unknown address at the head", Kind::kUnknownAddr, Kind::kNormal, true},
      {"ordinary event at the head", Kind::kNormal, Kind::kNormal, false},
      {"own announcement at the head", Kind::kOwn, Kind::kNormal, false},
      {"short event of the announcement code at the head", Kind::kShort, Kind::kNormal, false},
      {"foreign announcement incoming", Kind::kForeign, Kind::kForeign, false},
      {"own announcement incoming", Kind::kForeign, Kind::kOwn, true},
      {"short event incoming is no announcement", Kind::kForeign, Kind::kShort, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IpcInit();
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
    IpcSvrLocationSet(IPC_SVR_ROUTER, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
    AddNode(0, kAddr0);
    AddNode(7, kAddr7);
    Listen(IPC_SVR_IO_KRN, 1);
    Listen(IPC_SVR_ROUTER, 1);
    DespatchAll();  // the router's own events about the new entries
    seen.clear();

    std::vector<uint8_t> head = Make(c.head, 299);
    ASSERT_TRUE(Queue(head));
    for (int i = 0; i < 48; ++i) {
      std::vector<uint8_t> e = Make(Kind::kNormal, 300);
      ASSERT_TRUE(Queue(e));
    }
    ASSERT_EQ(ipc::IpcEvntQueued(), 49);
    std::vector<uint8_t> incoming = Make(c.incoming, 301);
    EXPECT_EQ(Queue(incoming), c.accepted);
    EXPECT_EQ(ipc::IpcEvntQueued(), 49);
    EXPECT_EQ(ipc::Cur().evnt.droppedFull, c.accepted ? 0u : 1u);
    EXPECT_EQ(ipc::Cur().evnt.displacedAnnounce, c.accepted ? 1u : 0u);

    EXPECT_EQ(DespatchAll(), 49);
    ASSERT_EQ(seen.size(), 49u);
    EXPECT_EQ(seen.front().code, c.accepted ? 300 : Hdr(head)->evntCode);
    EXPECT_EQ(seen.back().code, c.accepted ? Hdr(incoming)->evntCode : 300);
    EXPECT_EQ(seen.back().length, c.accepted ? Hdr(incoming)->length : 30);
  }
}

TEST_F(EvntTest, EventRaisedByACallbackIntoAFullRingIsDroppedEvenBehindAForeignAnnouncement) {
  AddNode(0, kAddr0);
  AddNode(7, kAddr7);
  Listen(IPC_SVR_IO_KRN, 1);
  Listen(IPC_SVR_ROUTER, 1);
  DespatchAll();  // the router's own events about the new entries
  seen.clear();
  std::vector<uint8_t> announce = MakeAnnounce(kAddr7);
  ASSERT_TRUE(Queue(announce));
  for (int i = 0; i < 48; ++i) {
    std::vector<uint8_t> e = MakeEvnt(IPC_SVR_IO_KRN, 300, 1, 30);
    ASSERT_TRUE(Queue(e));
  }
  int raised = 0;
  bool queuedInside = true;
  onEvent = [&](const IpcEvntHdr* e) {
    if (e->svrType != IPC_SVR_ROUTER || raised++ > 0) return;
    std::vector<uint8_t> more = MakeEvnt(IPC_SVR_IO_KRN, 302, 1, 30);
    queuedInside = Queue(more);
  };
  EXPECT_TRUE(IpcEvntDespatch());
  EXPECT_FALSE(queuedInside);
  EXPECT_EQ(ipc::IpcEvntQueued(), 48);
  onEvent = nullptr;
  EXPECT_EQ(DespatchAll(), 48);
  for (const Seen& s : seen) EXPECT_NE(s.code, 302);
}

// ---------------------------------------------------------------------
// Despatch

TEST_F(EvntTest, DespatchDeliversOneEventPerCallInOrder) {
  Listen(IPC_SVR_IO_KRN, 1);
  EXPECT_FALSE(IpcEvntDespatch());
  for (uint16_t code : {300, 301, 302}) {
    std::vector<uint8_t> e = MakeEvnt(IPC_SVR_IO_KRN, code, 1, 30);
    ASSERT_TRUE(Queue(e));
  }
  EXPECT_TRUE(seen.empty());  // nothing before a despatch
  EXPECT_TRUE(IpcEvntDespatch());
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(DespatchAll(), 2);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].code, 301);
  EXPECT_EQ(seen[2].code, 302);
  EXPECT_FALSE(IpcEvntDespatch());
}

TEST_F(EvntTest, DespatchFromInsideACallbackReturnsFalseAndDeliversNothing) {
  Listen(IPC_SVR_IO_KRN, 1);
  for (uint16_t code : {300, 301}) {
    std::vector<uint8_t> e = MakeEvnt(IPC_SVR_IO_KRN, code, 1, 30);
    ASSERT_TRUE(Queue(e));
  }
  std::vector<int> nested;
  onEvent = [&](const IpcEvntHdr*) { nested.push_back(IpcEvntDespatch()); };
  EXPECT_EQ(DespatchAll(), 2);
  EXPECT_EQ(nested, (std::vector<int>{0, 0}));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].code, 300);
  EXPECT_EQ(seen[1].code, 301);
}

TEST_F(EvntTest, ACallbackThatRestartsTheLibraryLeavesAWorkingRing) {
  Listen(IPC_SVR_IO_KRN, 1);
  for (uint16_t code : {300, 301}) {
    std::vector<uint8_t> e = MakeEvnt(IPC_SVR_IO_KRN, code, 1, 30);
    ASSERT_TRUE(Queue(e));
  }
  onEvent = [&](const IpcEvntHdr*) {
    onEvent = nullptr;
    IpcInit();
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
    Listen(IPC_SVR_IO_KRN, 1);
  };
  EXPECT_TRUE(IpcEvntDespatch());
  EXPECT_EQ(ipc::IpcEvntQueued(), 0);
  std::vector<uint8_t> e = MakeEvnt(IPC_SVR_IO_KRN, 303, 1, 30);
  ASSERT_TRUE(Queue(e));
  EXPECT_TRUE(IpcEvntDespatch());
  EXPECT_EQ(seen.back().code, 303);
  EXPECT_FALSE(IpcEvntDespatch());
}

TEST_F(EvntTest, InvalidEventsAreConsumedWithAReport) {
  EnableReports();
  Listen(IPC_SVR_IO_KRN, 1);
  std::vector<uint8_t> badCode = MakeEvnt(IPC_SVR_IO_KRN, 100, 1, 30);
  ASSERT_TRUE(Queue(badCode));
  EXPECT_TRUE(IpcEvntDespatch());
  EXPECT_TRUE(seen.empty());
  const std::vector<ipctest::Report> r = Reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].code, IPC_ERR_EVNT_CODE);
  EXPECT_EQ(r[0].severity, IPC_SEV_STATE);
  EXPECT_EQ(r[0].file, "ipcevnt");
  EXPECT_EQ(r[0].svr, IPC_SVR_IO_KRN);
  EXPECT_EQ(r[0].indx, 1);  // the event's host handle
  EXPECT_EQ(ipc::IpcEvntQueued(), 0);
}

// The report of an event refused at delivery names the raising server by
// its host handle, here 3, not by the receiver's index for it, 7.
TEST_F(EvntTest, ARefusedEventIsReportedInTheContextOfItsHostHandle) {
  EnableReports();
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 7, IPC_HOST_KIND_LOCAL, 3, 0, 0, 0, 0, 0);
  Listen(IPC_SVR_IO_KRN, 7);
  std::vector<uint8_t> badCode = MakeEvnt(IPC_SVR_IO_KRN, 100, 3, 30);
  ASSERT_TRUE(Queue(badCode));
  EXPECT_EQ(Hdr(badCode)->svrIndx, 7);
  EXPECT_TRUE(IpcEvntDespatch());
  EXPECT_TRUE(seen.empty());
  const std::vector<ipctest::Report> r = Reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].code, IPC_ERR_EVNT_CODE);
  EXPECT_EQ(r[0].svr, IPC_SVR_IO_KRN);
  EXPECT_EQ(r[0].indx, 3);
}

TEST_F(EvntTest, LocalClientWithoutACallbackIsReportedAndSkipped) {
  EnableReports();
  uint8_t none = 0;
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, nullptr, "1.3c", &none, 0), 0);
  Listen(IPC_SVR_IO_KRN, 1);
  std::vector<uint8_t> e = MakeEvnt(IPC_SVR_IO_KRN, 300, 1, 30);
  ASSERT_TRUE(Queue(e));
  EXPECT_TRUE(IpcEvntDespatch());
  EXPECT_EQ(seen.size(), 1u);
  const std::vector<ipctest::Report> r = Reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].code, IPC_ERR_NO_CALLBACK);
  EXPECT_EQ(r[0].file, "ipcdb");
}

// ---------------------------------------------------------------------
// Selectors

std::vector<uint8_t> g_called;
void HandleListener(const IpcEvntHdr*, intptr_t handle) {
  g_called.push_back(static_cast<uint8_t>(handle));
}

TEST_F(EvntTest, SelectorChoosesWhichCallbacksRunAndWhichSendsGoOut) {
  // Slots 1 to 3 local, 4 and 6 proxies of node 5, 5 a proxy of node 6.
  for (intptr_t n = 1; n <= 6; ++n) {
    uint8_t h = 0;
    const bool local = n <= 3;
    ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, local ? &HandleListener : nullptr, "1.3c", &h,
                                n),
              0);
    ASSERT_EQ(h, n);
    if (!local) {
      ASSERT_TRUE(ipc::IpcClntNodeSet(IpcClntKind::kEvnt, IPC_SVR_IO_KRN, 1, h, n == 5 ? 6 : 5));
    }
  }
  struct Case {
    uint8_t selNode, selClnt;
    std::vector<uint8_t> callbacks;
    std::vector<uint8_t> sends;  // nodes, in slot order
  };
  const Case cases[] = {
      {0, 0, {1, 2, 3}, {5, 6, 5}},
      {0, 3, {3}, {}},
      {5, 1, {}, {5, 5}},
      {6, 4, {}, {6}},
      {5, 0, {1, 2, 3}, {5, 6, 5}},  // client 0: every client
      {0, 9, {}, {}},
      {9, 2, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "selector " << int(c.selNode) << ", " << int(c.selClnt));
    g_called.clear();
    peers.calls.clear();
    std::vector<uint8_t> e = MakeEvnt(IPC_SVR_IO_KRN, 300, 1, 30);
    ASSERT_TRUE(Queue(e, 0, c.selNode, c.selClnt));
    ASSERT_TRUE(IpcEvntDespatch());
    EXPECT_EQ(g_called, c.callbacks);
    std::vector<uint8_t> sends;
    for (const ipctest::PeerCall& p : peers.calls) {
      ASSERT_EQ(p.op, "evnt");
      EXPECT_EQ(p.evntCode, 300);
      sends.push_back(p.node);
    }
    EXPECT_EQ(sends, c.sends);
  }
}

// ---------------------------------------------------------------------
// Com-procs

struct Request {
  IpcComProcHdr hdr;
  uint8_t data[8];
};

Request MakeRequest(uint8_t type, uint8_t indx, uint8_t handle) {
  Request r;
  std::memset(&r, 0xEE, sizeof r);
  r.hdr.length = sizeof r;
  r.hdr.svrType = type;
  r.hdr.svrIndx = indx;
  r.hdr.procId = 1;
  r.hdr.clntHandle = handle;
  return r;
}

class ComProcTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    EnableReports();
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 2, IPC_HOST_KIND_LOCAL, 2, 0, 0, 0, 0, 0);
    uint8_t h = 0;
    ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 2, "1.3c", &h), 0);
    ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 3, "1.3c", &h), 0);  // never located
    peers.calls.clear();
  }
};

TEST_F(ComProcTest, ChecksInOrderWithTheirCodesAndContexts) {
  struct Case {
    const char* what;
    std::function<void(Request&)> mutate;
    bool null;
    uint16_t code;
    uint8_t severity, svr, indx;
  };
  const Case cases[] = {
      {"null", nullptr, true, IPC_ERR_NULL_COMPROC, 1, 1, 1},
      {"1251 bytes", [](Request& r) { r.hdr.length = 1251; }, false, IPC_ERR_MSG_LEN, 1, 1, 1},
      {"shorter than its header", [](Request& r) { r.hdr.length = 15; }, false, IPC_ERR_MSG_LEN,
       1, 1, 1},
      {"length 0", [](Request& r) { r.hdr.length = 0; }, false, IPC_ERR_MSG_LEN, 1, 1, 1},
      {"type", [](Request& r) { r.hdr.svrType = 5; }, false, IPC_ERR_SVR_TYPE, 1, 1, 1},
      {"index", [](Request& r) { r.hdr.svrIndx = 101; }, false, IPC_ERR_SVR_INDX, 1, 22, 101},
      {"procedure 0", [](Request& r) { r.hdr.procId = 0; }, false, IPC_ERR_PROC_ID, 1, 22, 2},
      {"handle 0", [](Request& r) { r.hdr.clntHandle = 0; }, false, IPC_ERR_CLNT_HANDLE, 1, 22, 2},
      {"handle 17", [](Request& r) { r.hdr.clntHandle = 17; }, false, IPC_ERR_CLNT_HANDLE, 1, 22,
       2},
      {"slot not in use", [](Request& r) { r.hdr.clntHandle = 2; }, false, IPC_ERR_STATE, 2, 22, 2},
      {"location never set", [](Request& r) { r.hdr.svrIndx = 3; }, false, IPC_ERR_SVR_INDX, 1, 22,
       3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Request r = MakeRequest(IPC_SVR_IO_KRN, 2, 1);
    if (c.mutate) c.mutate(r);
    IpcComProc(c.null ? nullptr : &r.hdr);
    const std::vector<ipctest::Report> rep = Reports();
    ASSERT_EQ(rep.size(), 1u);
    EXPECT_EQ(rep[0].code, c.code);
    EXPECT_EQ(rep[0].severity, c.severity);
    EXPECT_EQ(rep[0].svr, c.svr);
    EXPECT_EQ(rep[0].indx, c.indx);
    EXPECT_EQ(rep[0].file, "ipcproc");
    EXPECT_TRUE(peers.calls.empty());
  }
}

TEST_F(ComProcTest, ValidLocalCallGetsItsHeaderFilledAndReturnsTheProceduresResult) {
  Request r = MakeRequest(IPC_SVR_IO_KRN, 2, 1);
  IpcComProcHdr seenHdr{};
  peers.deliver = [&](const IpcComProcHdr* h) {
    seenHdr = *h;
    return 42;
  };
  EXPECT_EQ(IpcComProc(&r.hdr), 42);
  EXPECT_EQ(seenHdr.hostKind, IPC_HOST_KIND_LOCAL);
  EXPECT_EQ(seenHdr.hostHandle, 2);
  EXPECT_EQ(std::memcmp(seenHdr.version, "1.3c\0\0\0\0", 8), 0);
  EXPECT_EQ(r.hdr.hostHandle, 2);  // filled in the caller's buffer
  EXPECT_EQ(r.data[0], 0xEE);      // the data untouched
  EXPECT_EQ(peers.Count("deliver"), 1);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(ComProcTest, CallToARemoteServerGoesToTheDatagramLayerForItsNode) {
  IpcSvrLocationSet(IPC_SVR_IO_FTP, 1, IPC_HOST_KIND_LOCAL, 9, 5, 0, 0, 0, 0);
  uint8_t h = 0;
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_FTP, 1, "2a0", &h), 0);
  peers.calls.clear();
  peers.comProcResult = 7;
  Request r = MakeRequest(IPC_SVR_IO_FTP, 1, h);
  EXPECT_EQ(IpcComProc(&r.hdr), 7);
  ASSERT_EQ(peers.calls.size(), 1u);
  EXPECT_EQ(peers.calls[0].op, "comproc");
  EXPECT_EQ(peers.calls[0].node, 5);
  EXPECT_EQ(peers.calls[0].hostHandle, 9);
  EXPECT_EQ(std::memcmp(r.hdr.version, "2a0", 4), 0);
}

TEST_F(ComProcTest, RoutingOfARequestFromTheNetworkRepeatsTheChecks) {
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 4, IPC_HOST_KIND_LOCAL, 4, 5, 0, 0, 0, 0);
  uint8_t h = 0;
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 4, "1.3c", &h), 0);
  IpcSvrLocationDestroy(IPC_SVR_IO_KRN, 4);
  peers.calls.clear();
  struct Case {
    const char* what;
    std::function<void(Request&)> mutate;
    uint16_t code;
  };
  const Case cases[] = {
      {"host kind not 1 on this PC", [](Request& r) { r.hdr.hostKind = 4; }, IPC_ERR_HOST_KIND},
      {"shorter than its header", [](Request& r) { r.hdr.length = 10; }, IPC_ERR_MSG_LEN},
      {"1251 bytes", [](Request& r) { r.hdr.length = 1251; }, IPC_ERR_NULL_COMPROC},
      {"host handle 0", [](Request& r) { r.hdr.hostHandle = 0; }, IPC_ERR_SVR_INDX},
      {"destroyed location", [](Request& r) { r.hdr.svrIndx = 4; }, IPC_ERR_HOST_KIND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Request r = MakeRequest(IPC_SVR_IO_KRN, 2, 1);
    r.hdr.hostKind = IPC_HOST_KIND_LOCAL;
    r.hdr.hostHandle = 2;
    c.mutate(r);
    ipc::IpcComProcRoute(&r.hdr);
    EXPECT_EQ(ReportCodes(), std::vector<uint16_t>{c.code});
    EXPECT_TRUE(peers.calls.empty());
  }
  Request ok = MakeRequest(IPC_SVR_IO_KRN, 2, 1);
  ok.hdr.hostKind = IPC_HOST_KIND_LOCAL;
  ok.hdr.hostHandle = 2;
  ipc::IpcComProcRoute(&ok.hdr);
  EXPECT_EQ(peers.Count("deliver"), 1);
}

}  // namespace
