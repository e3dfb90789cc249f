// The routers of two library instances on the in-memory hub with one fake
// clock: discovery by announcements, the link coming up and going down,
// the attachment of clients, and a com-proc answered by an event.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ipc_fixture.h"
#include "ipcdb.h"
#include "ipcinst.h"
#include "ipcnet.h"
#include "ipcnetdb.h"
#include "ipcroutr.h"
#include "ipctcpip.h"
#include "net/hub.h"
#include "tessio32.h"

namespace {

using ipctest::InstanceDeleter;

constexpr uint32_t kPcAddr = 0xC0A80105u;    // 192.168.1.5
constexpr uint32_t kNodeAddr = 0xC0A80114u;  // 192.168.1.20
constexpr uint16_t kAnswerCode = 300;

IpcTime TimeOfMs(uint64_t ms) {
  return IPC_TIME_MAKE((ms / 3600000) % 24, (ms / 60000) % 60, (ms / 1000) % 60, (ms / 10) % 100);
}

struct Side {
  const char* name = "";
  uint32_t addr = 0;
  std::unique_ptr<ipc::Instance, InstanceDeleter> inst;
  std::unique_ptr<net::Backend> backend;
  bool running = true;  // polled by Step
  // Events that reached this side's event clients, and procedure calls.
  std::vector<uint16_t> answers;
  int calls = 0;
};

Side* gServing = nullptr;  // the side whose procedure runs (set by its poll)

// The test server's procedure 1: counts the call and answers with an event
// to every client of the server.
int Answer(const IpcComProcHdr* request) {
  if (gServing != nullptr) ++gServing->calls;
  uint8_t buf[sizeof(IpcEvntHdr) + 4] = {};
  IpcEvntHdr h{};
  h.length = sizeof buf;
  h.evntCode = kAnswerCode;
  h.svrType = IPC_SVR_IO_KRN;
  h.evntId = 1;
  h.hostHandle = 1;
  std::memcpy(buf, &h, sizeof h);
  std::memcpy(buf + sizeof h, reinterpret_cast<const uint8_t*>(request) + sizeof(IpcComProcHdr), 4);
  return IpcEvnt(reinterpret_cast<IpcEvntHdr*>(buf));
}

void OnAnswer(const IpcEvntHdr* event, intptr_t user) {
  reinterpret_cast<Side*>(user)->answers.push_back(event->evntCode);
}

class RouterHub : public ::testing::Test {
 protected:
  static constexpr uint64_t kEpochMs = 10 * 3600000ull + 7 * 60000 + 12340;

  void SetUp() override {
    Start(pc_, "PC", kPcAddr, 20);
    Start(node_, "NODE20", kNodeAddr, 5);
    // The node serves 22/1 with procedure 1 and event id 1.
    On(node_, [] {
      static const IpcComProcEntry procs[] = {{1, 0, &Answer}};
      static const uint8_t ids[] = {1};
      ASSERT_EQ(IpcSvrAndSvcCreate(IPC_SVR_IO_KRN, 1, "1.1", IPC_VERSION_DATE, 2, procs, 1, ids, 1),
                1);
      IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
    });
  }

  void TearDown() override {
    for (Side* s : {&pc_, &node_}) {
      if (s->inst) On(*s, [] { IpcTerm(); });
    }
  }

  uint64_t NowMs() const { return kEpochMs + hub_.Now(); }

  template <typename F>
  void On(Side& s, F f) {
    ipc::ScopedInstance use(s.inst.get());
    IpcCurrentTime = TimeOfMs(NowMs());
    gServing = &s;
    f();
    gServing = nullptr;
  }

  template <typename T, typename F>
  T Read(Side& s, F f) {
    T v{};
    On(s, [&] { v = f(); });
    return v;
  }

  void Start(Side& s, const char* name, uint32_t addr, uint8_t type) {
    s.name = name;
    s.addr = addr;
    s.inst.reset(ipc::NewInstance());
    s.backend = hub_.AddHost(addr, name);
    On(s, [&] {
      IpcInit();
      ipc::IpcTcpIpBackendSet(s.backend.get());
      ASSERT_EQ(IpcNetNodeInfoCreate(0, name, addr, type), 0);
      IpcNetTcpIpInitDriver();
      ASSERT_TRUE(IpcNetTcpIpIsInitOk());
      ASSERT_TRUE(IpcNetNodeLinkInit());
    });
  }

  void Poll(Side& s) {
    On(s, [] {
      IpcNetTcpIpTick();
      IpcNetDespatch();
      for (int i = 0; i < 30 && IpcEvntDespatch(); ++i) {
      }
    });
  }

  // Runs both sides for ms of virtual time, polling every 10 ms.
  void Run(uint64_t ms) {
    for (uint64_t t = 0; t < ms; t += 10) {
      hub_.Advance(10);
      if (pc_.running) Poll(pc_);
      if (node_.running) Poll(node_);
    }
  }

  // Runs until pred holds (checked every 10 ms), at most ms; true when it
  // held.
  template <typename P>
  bool RunUntil(uint64_t ms, P pred) {
    for (uint64_t t = 0; t < ms; t += 10) {
      if (pred()) return true;
      Run(10);
    }
    return pred();
  }

  // The index under which side s keeps the node with that address.
  uint8_t IndexOf(Side& s, uint32_t addr) {
    return Read<uint8_t>(s, [&] { return IpcNetNodeAddrExists(addr); });
  }
  uint8_t StatusOf(Side& s, uint32_t addr) {
    return Read<uint8_t>(s, [&] { return IpcNetNodeStatusGet(IpcNetNodeAddrExists(addr)); });
  }
  uint8_t LinkOf(Side& s, uint32_t addr) {
    return Read<uint8_t>(s, [&] { return IpcNetNodeLinkStatusGet(IpcNetNodeAddrExists(addr)); });
  }

  // Both sides know each other online.
  void Discover() {
    ASSERT_TRUE(RunUntil(3000, [&] {
      return StatusOf(pc_, kNodeAddr) == IPC_NODE_STATUS_ONLINE &&
             StatusOf(node_, kPcAddr) == IPC_NODE_STATUS_ONLINE;
    }));
  }

  // The PC locates 22/1 on the node and makes a com-proc and an event
  // client on it.
  void MakeClients() {
    On(pc_, [&] {
      const uint8_t n = IpcNetNodeAddrExists(kNodeAddr);
      ASSERT_NE(n, IPC_NO_NET_NODE);
      IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, IPC_HOST_KIND_LOCAL, 1, n, 0, 0, 0, 0);
      ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 1, "1.3c", &comProc_), 0);
      ASSERT_EQ(IpcNetNodeLinkStatusGet(n), IPC_LINK_STATUS_LINK_WAIT);
      ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, &OnAnswer, "1.3c", &evnt_,
                                  reinterpret_cast<intptr_t>(&pc_)),
                0);
    });
  }

  // The PC calls procedure 1 of the node's 22/1 through its com-proc client.
  void CallFromPc() {
    On(pc_, [&] {
      uint8_t req[sizeof(IpcComProcHdr) + 4] = {};
      IpcComProcHdr h{};
      h.length = sizeof req;
      h.svrType = IPC_SVR_IO_KRN;
      h.svrIndx = 1;
      h.procId = 1;
      h.clntHandle = comProc_;
      std::memcpy(req, &h, sizeof h);
      IpcComProc(reinterpret_cast<IpcComProcHdr*>(req));
    });
  }

  uint8_t ComProcNetHandle(uint8_t h) {
    return Read<uint8_t>(pc_, [&] { return IpcClntComProcNetHandleGet(IPC_SVR_IO_KRN, 1, h); });
  }
  uint8_t EvntNetHandle(uint8_t h) {
    return Read<uint8_t>(pc_, [&] { return IpcClntEvntNetHandleGet(IPC_SVR_IO_KRN, 1, h); });
  }

  bool Attached() {
    return LinkOf(pc_, kNodeAddr) == IPC_LINK_STATUS_OK &&
           LinkOf(node_, kPcAddr) == IPC_LINK_STATUS_OK && ComProcNetHandle(comProc_) != 0 &&
           EvntNetHandle(evnt_) != 0;
  }

  // Proxy parts that the node's 22/1 keeps for the PC.
  int Proxies(IpcClntKind kind) {
    return Read<int>(node_, [&] {
      const uint8_t pcIndx = IpcNetNodeAddrExists(kPcAddr);
      int n = 0;
      for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h) {
        if (kind == IpcClntKind::kComProc) {
          const IpcClntComProcPart* p = ipc::IpcClntComProcPartGet(IPC_SVR_IO_KRN, 1, h);
          n += p->inUse && p->node == pcIndx;
        } else {
          const IpcClntEvntPart* p = ipc::IpcClntEvntPartGet(IPC_SVR_IO_KRN, 1, h);
          n += p->inUse && p->node == pcIndx;
        }
      }
      return n;
    });
  }

  // Router requests of a procedure that went from one address to another's
  // port 2510.
  int RouterRequests(uint32_t from, uint32_t to, uint8_t procId) const {
    int n = 0;
    for (const net::Record& r : hub_.Records()) {
      if (r.from.address != from || r.to.address != to || r.to.port != 2510) continue;
      if (r.bytes.size() < kIpcPktHdrLen + sizeof(IpcComProcHdr)) continue;
      const uint8_t* m = r.bytes.data() + kIpcPktHdrLen;
      if (r.bytes[10] == IPC_PKT_COMPROC && m[2] == IPC_SVR_ROUTER && m[4] == procId) ++n;
    }
    return n;
  }

  net::Hub hub_;
  Side pc_;
  Side node_;
  uint8_t comProc_ = 0;
  uint8_t evnt_ = 0;
};

TEST_F(RouterHub, AnnouncementsBringEachSideOnlineInTheOthersTable) {
  Discover();
  char name[IPC_NODE_NAME_SIZE] = {};
  uint8_t type = 0;
  On(pc_, [&] {
    ASSERT_TRUE(IpcNetNodeInfoGet(1, name, nullptr, &type, nullptr, nullptr));
  });
  EXPECT_STREQ(name, "NODE20");
  EXPECT_EQ(type, 5);
  EXPECT_EQ(IndexOf(node_, kPcAddr), 1);
  EXPECT_EQ(LinkOf(pc_, kNodeAddr), IPC_LINK_STATUS_NONE);  // no client, no link
  char version[IPC_VERSION_SIZE] = {};
  On(pc_, [&] { IpcNetNodeVersionGet(1, version); });
  EXPECT_STREQ(version, IPC_VERSION_DATE);
}

TEST_F(RouterHub, LinkComesUpAttachesAndCarriesAComProcAndItsAnswer) {
  Discover();
  MakeClients();
  ASSERT_TRUE(RunUntil(3000, [&] { return Attached(); }));
  EXPECT_GE(RouterRequests(kPcAddr, kNodeAddr, IPC_ROUTER_LINK_OPEN), 1);
  EXPECT_EQ(Proxies(IpcClntKind::kComProc), 1);
  EXPECT_EQ(Proxies(IpcClntKind::kEvnt), 1);

  // A second local client of the same server copies the net handle without
  // asking the node's router again.
  uint8_t second = 0;
  On(pc_, [&] { ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 1, "1.3c", &second), 0); });
  const int attachesBefore = RouterRequests(kPcAddr, kNodeAddr, IPC_ROUTER_ATTACH_COMPROC);
  ASSERT_TRUE(RunUntil(1500, [&] { return ComProcNetHandle(second) != 0; }));
  EXPECT_EQ(ComProcNetHandle(second), ComProcNetHandle(comProc_));
  EXPECT_EQ(RouterRequests(kPcAddr, kNodeAddr, IPC_ROUTER_ATTACH_COMPROC), attachesBefore);
  EXPECT_EQ(Proxies(IpcClntKind::kComProc), 1);

  // A com-proc from the PC runs the node's procedure, whose event comes back.
  CallFromPc();
  ASSERT_TRUE(RunUntil(2000, [&] { return !pc_.answers.empty(); }));
  EXPECT_EQ(node_.calls, 1);
  EXPECT_EQ(pc_.answers.front(), kAnswerCode);
}

TEST_F(RouterHub, LostLinkOpenRequestStillRecovers) {
  Discover();
  // The PC's first procedure 5 is lost on the way.
  bool dropped = false;
  hub_.SetRule([&](const net::Record& d, net::Rng&) {
    net::Decision dec;
    if (!dropped && d.from.address == kPcAddr && d.to.port == 2510 &&
        d.bytes.size() >= kIpcPktHdrLen + 5 && d.bytes[10] == IPC_PKT_COMPROC &&
        d.bytes[kIpcPktHdrLen + 2] == IPC_SVR_ROUTER &&
        d.bytes[kIpcPktHdrLen + 4] == IPC_ROUTER_LINK_OPEN) {
      dropped = true;
      dec.drop = true;
    }
    return dec;
  });
  MakeClients();
  ASSERT_TRUE(RunUntil(10000, [&] { return Attached(); }));
  EXPECT_TRUE(dropped);
}

TEST_F(RouterHub, AComProcSentAtOnceAfterAnAttachThatOutranTheLinkOpenIsNotLost) {
  Discover();
  // The node never sees the PC's link-open request (lost, or there before
  // the PC's first announce), so the PC's attach requests reach a node
  // whose side of the link still waits.
  hub_.SetRule([&](const net::Record& d, net::Rng&) {
    net::Decision dec;
    dec.drop = d.from.address == kPcAddr && d.to.port == 2510 &&
               d.bytes.size() >= kIpcPktHdrLen + 5 && d.bytes[10] == IPC_PKT_COMPROC &&
               d.bytes[kIpcPktHdrLen + 2] == IPC_SVR_ROUTER &&
               d.bytes[kIpcPktHdrLen + 4] == IPC_ROUTER_LINK_OPEN;
    return dec;
  });
  MakeClients();
  // The PC calls in the very poll in which its net handles arrive.
  bool called = false;
  for (int t = 0; t < 1000 && pc_.answers.empty(); t += 10) {
    hub_.Advance(10);
    Poll(pc_);
    if (!called && ComProcNetHandle(comProc_) != 0 && EvntNetHandle(evnt_) != 0) {
      called = true;
      CallFromPc();
    }
    Poll(node_);
  }
  ASSERT_TRUE(called);
  EXPECT_EQ(node_.calls, 1);
  EXPECT_EQ(pc_.answers.size(), 1u);
  EXPECT_EQ(LinkOf(node_, kPcAddr), IPC_LINK_STATUS_OK);
  // The node opened its side on the attach: it never asked the PC to open
  // (which would have reset the PC's side and dropped the call).
  EXPECT_EQ(RouterRequests(kNodeAddr, kPcAddr, IPC_ROUTER_LINK_OPEN), 0);
}

TEST_F(RouterHub, LinkOpenToANodeNotOnlineSendsTheRequestButWaits) {
  Discover();
  node_.running = false;
  Run(600);  // the node's last announce is taken
  On(pc_, [] {
    // Seen offline (as after its silence): the entry stays, the link waits.
    ASSERT_TRUE(ipc::IpcNetNodeStatusSet(1, IPC_NODE_STATUS_OFFLINE));
  });
  MakeClients();
  hub_.ClearRecords();
  Run(1200);
  EXPECT_GE(RouterRequests(kPcAddr, kNodeAddr, IPC_ROUTER_LINK_OPEN), 2);  // every period
  EXPECT_EQ(LinkOf(pc_, kNodeAddr), IPC_LINK_STATUS_LINK_WAIT);
}

TEST_F(RouterHub, LastClientDestroyedUnlinksAtTheNodesNextAnnounceOnBothSides) {
  Discover();
  MakeClients();
  ASSERT_TRUE(RunUntil(3000, [&] { return Attached(); }));
  On(pc_, [&] {
    IpcClntComProcDestroy(IPC_SVR_IO_KRN, 1, comProc_);
    IpcClntEvntDestroy(IPC_SVR_IO_KRN, 1, evnt_);
  });
  EXPECT_EQ(LinkOf(pc_, kNodeAddr), IPC_LINK_STATUS_UNLINK_WAIT);
  ASSERT_TRUE(RunUntil(3000, [&] {
    return LinkOf(pc_, kNodeAddr) == IPC_LINK_STATUS_NONE &&
           LinkOf(node_, kPcAddr) == IPC_LINK_STATUS_NONE;
  }));
  EXPECT_EQ(Proxies(IpcClntKind::kComProc), 0);
  EXPECT_EQ(Proxies(IpcClntKind::kEvnt), 0);
  // Whichever side heard the other's announce first asked it to close.
  EXPECT_GE(RouterRequests(kPcAddr, kNodeAddr, IPC_ROUTER_LINK_CLOSE) +
                RouterRequests(kNodeAddr, kPcAddr, IPC_ROUTER_LINK_CLOSE),
            1);
  EXPECT_EQ(StatusOf(pc_, kNodeAddr), IPC_NODE_STATUS_ONLINE);  // only the link went
}

TEST_F(RouterHub, SilentNodeGoesOfflineAndItsLinkCloses) {
  Discover();
  MakeClients();
  ASSERT_TRUE(RunUntil(3000, [&] { return Attached(); }));
  node_.running = false;
  // Silence time-out 3000 hundredths by default.
  Run(29000);
  EXPECT_EQ(StatusOf(pc_, kNodeAddr), IPC_NODE_STATUS_ONLINE);
  ASSERT_TRUE(RunUntil(3000, [&] { return StatusOf(pc_, kNodeAddr) == IPC_NODE_STATUS_OFFLINE; }));
  // The clients still need the node: back to link wait, not attached.
  EXPECT_EQ(LinkOf(pc_, kNodeAddr), IPC_LINK_STATUS_LINK_WAIT);
  EXPECT_EQ(ComProcNetHandle(comProc_), 0);
  EXPECT_EQ(EvntNetHandle(evnt_), 0);

  // The node comes back: it is seen online and linked again.
  node_.running = true;
  ASSERT_TRUE(RunUntil(5000, [&] { return Attached(); }));
}

TEST_F(RouterHub, RestartedNodeIsOfflineForOneAnnounceThenOnline) {
  Discover();
  // The node starts again: a new instance on the same address and name.
  On(node_, [] { IpcTerm(); });
  node_.inst.reset();
  node_.backend.reset();
  hub_.Advance(2000);
  Start(node_, "NODE20", kNodeAddr, 5);
  std::vector<uint8_t> seen;
  for (int k = 0; k < 200 && (seen.empty() || seen.back() != IPC_NODE_STATUS_ONLINE ||
                              std::find(seen.begin(), seen.end(), IPC_NODE_STATUS_OFFLINE) ==
                                  seen.end());
       ++k) {
    Run(10);
    const uint8_t s = StatusOf(pc_, kNodeAddr);
    if (seen.empty() || seen.back() != s) seen.push_back(s);
  }
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[seen.size() - 2], IPC_NODE_STATUS_OFFLINE);
  EXPECT_EQ(seen.back(), IPC_NODE_STATUS_ONLINE);
}

}  // namespace
