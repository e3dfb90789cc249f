// The comm thread's loop driven step by step on the test thread, over a
// recording fake of the library, a fake clock and manual timers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CommTestSupport.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "NetLog.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "platform/time/fake_clock.h"

namespace {

constexpr uint32_t kLabAddress = 0x7F000005;  // 127.0.0.5

// One comm object with its fakes; the comm object goes first on the way out
// so that what it returns still finds the frame and the log.
struct Rig {
  explicit Rig(uint32_t ownAddress = kLabAddress, std::string host = "labhost-with-long-name")
      : log(clock, dir.path()), identity(std::move(host), ownAddress) {
    g_bTimeStampLog = false;
    g_bIpcCommDebug = true;
    log.AddObserver(&seen);
    comm = std::make_unique<CIpcComm>();
    comm->SetPorts({&lib, &clock, &identity, &box, msgq::TimerMode::Manual});
  }
  ~Rig() { comm.reset(); }

  bool Logged(const std::string& line) const {
    for (const std::string& l : seen.lines())
      if (l == line) return true;
    return false;
  }
  int CountLogged(const std::string& line) const {
    int n = 0;
    for (const std::string& l : seen.lines()) n += l == line;
    return n;
  }
  void Tick() {
    ASSERT_TRUE(msgq::FireTimer(g_hCommWnd.load(), CIpcComm::kTimerId));
    comm->Pump();
  }
  // Posts a synchronous message the way the loop sees it (no thread here).
  void Post(uint32_t id, intptr_t lParam, uintptr_t wParam = 0) {
    ASSERT_TRUE(PostToCommWnd(id, wParam, lParam));
    comm->Pump();
  }
  void AddRack(uint32_t node, uint32_t rack, uint8_t slot) {
    RackDesc d{node, rack, slot};
    Post(WM_IPC_ADD_RACK, reinterpret_cast<intptr_t>(&d));
  }
  void AddNode(uint32_t node, uint32_t address) {
    NodeDesc d{node, address, nullptr, {1, 0, 0, 0, 0, 0}};
    Post(WM_IPC_ADD_NODE, reinterpret_cast<intptr_t>(&d));
  }
  // The rack's fault synchronisation is outstanding in its node's Online
  // period, as the node's state machine and the poll start leave it.
  void SyncSent(uint32_t node, uint32_t rack) {
    comm->Nodes().Node(node)->state = NODE_STATE_ONLINE;
    comm->Nodes().Rack(rack)->flags |= RACK_FLAG_SYNC_SENT;
  }
  // The messages the frame got back, in order, taken over by the caller.
  std::vector<RackMsg*> Returned() {
    std::vector<RackMsg*> out;
    for (const msgq::Msg& m : frame.TakeAll()) {
      EXPECT_EQ(m.message, WM_DOC_MSG_DONE);
      if (m.message == WM_DOC_MSG_DONE) out.push_back(reinterpret_cast<RackMsg*>(m.lParam));
    }
    return out;
  }

  FlagGuard flags;
  TempDir dir;
  platform::time::FakeClock clock;
  LogBuffer log;
  RecordingObserver seen;
  FakeCommLibrary lib;
  FakeIdentity identity;
  RecordingMessageBox box;
  FrameQueue frame;
  std::unique_ptr<CIpcComm> comm;
};

RackMsg* NewMsg(uint32_t rack, int delay = 0) {
  RackMsg* m = AllocRackMsg();
  m->Rack = rack;
  m->delay = delay;
  return m;
}

TEST(CommStartUp, LibraryStartsInOrderAndNetworkingNeedsAnOwnAddress) {
  const std::vector<std::string> head = {
      "InstallDebugHook", "InstallSocketOpenHook", "IpcInit", "DirectLinkStart",
      "IpcSvrLocationSet(1,1,1,1,0,0,0,0,0)", "IpcClntEvntCreate(1,1,1.3c,IpcAssert,0)"};
  struct Case {
    const char* name;
    uint32_t address;
    uint8_t initOk, linkOk;
    std::vector<std::string> rest;
    const char* errorLine;  // or null
  } cases[] = {
      {"networked", kLabAddress, 1, 1,
       {"IpcNetNodeInfoCreate(0,labhost-,127.0.0.5,20)", "IpcCurrentTime", "IpcNetTcpIpInitDriver",
        "IpcNetTcpIpIsInitOk", "IpcNetNodeLinkInit", "IpcGetMaxNetNodeIndx"},
       nullptr},
      {"driver failed: no link init, no line", kLabAddress, 0, 1,
       {"IpcNetNodeInfoCreate(0,labhost-,127.0.0.5,20)", "IpcCurrentTime", "IpcNetTcpIpInitDriver",
        "IpcNetTcpIpIsInitOk", "IpcGetMaxNetNodeIndx"},
       nullptr},
      {"link init failed", kLabAddress, 1, 0,
       {"IpcNetNodeInfoCreate(0,labhost-,127.0.0.5,20)", "IpcCurrentTime", "IpcNetTcpIpInitDriver",
        "IpcNetTcpIpIsInitOk", "IpcNetNodeLinkInit", "IpcGetMaxNetNodeIndx"},
       "Error: Failed to initialize IPC via IpcNetNodeLinkInit()"},
      {"no own address: no node 0 and no sockets", 0, 1, 1,
       {"IpcCurrentTime", "IpcGetMaxNetNodeIndx"},
       "Error: This PC has no IPv4 address of its own; the network is not started."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.address);
    rig.lib.initOk = c.initOk;
    rig.lib.linkInitOk = c.linkOk;
    ASSERT_TRUE(rig.comm->StartInline());

    std::vector<std::string> want = head;
    want.insert(want.end(), c.rest.begin(), c.rest.end());
    EXPECT_EQ(rig.lib.Calls(), want);
    EXPECT_EQ(rig.comm->HostName(), "labhost-");
    EXPECT_EQ(rig.comm->OwnAddress(), c.address);
    EXPECT_TRUE(rig.Logged("IPC DLL supports 100 connections"));
    int errors = 0;
    for (const std::string& l : rig.seen.lines()) errors += l.rfind("Error: ", 0) == 0;
    EXPECT_EQ(errors, c.errorLine != nullptr ? 1 : 0);
    if (c.errorLine != nullptr) {
      EXPECT_TRUE(rig.Logged(c.errorLine));
    }
    const std::vector<std::string> boxes =
        c.address == 0 ? std::vector<std::string>{"Error: gethostbyname() failed, Error code = 11001."}
                       : std::vector<std::string>{};
    EXPECT_EQ(rig.box.texts(), boxes);

    // The 100 ms timer exists and reaches the tick.
    rig.Tick();
    EXPECT_EQ(rig.comm->TimerMessages(), 1u);
  }
}

TEST(CommPoll, RunsTheLibraryWhileEventsComeAtMostThirtyPasses) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  // Each pass delivers what the event ring holds (49 events), then passes
  // go on while events came.
  struct Case {
    int events;
    int passes;
  } cases[] = {{0, 1}, {1, 2}, {3, 2}, {49, 2}, {50, 3}, {500, 12}, {1469, 30}, {5000, 30}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.events);
    rig.lib.eventsPending = c.events;
    const int ticks = rig.lib.Ticks(), despatches = rig.lib.NetDespatches();
    EXPECT_FALSE(rig.comm->Step());  // a poll, nothing waiting
    EXPECT_EQ(rig.lib.Ticks() - ticks, c.passes);
    EXPECT_EQ(rig.lib.NetDespatches() - despatches, c.passes);
    rig.lib.eventsPending = 0;
  }
}

TEST(CommPoll, WritesTheLibraryClockFromTheMonotonicClockBeforeEachPoll) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  const int64_t origin = rig.clock.MonotonicMs();
  // The layout counts from the monotonic origin; step to 1 h 2 min 3.456 s
  // past the last whole day so the expected bytes are plain.
  const int64_t target = ((origin / 86400000) + 1) * 86400000 + 3723456;
  rig.clock.AdvanceMs(target - origin);
  rig.comm->Step();
  ASSERT_FALSE(rig.lib.Times().empty());
  EXPECT_EQ(rig.lib.Times().back(), IPC_TIME_MAKE(1, 2, 3, 45));

  // A wall-clock step does not move it.
  rig.clock.SetLocal(2031, 1, 1, 0, 0, 0);
  const int64_t mono = rig.clock.MonotonicMs();
  rig.comm->Step();
  EXPECT_EQ(IPC_TIME_SECOND(rig.lib.Times().back()), (mono / 1000) % 60);
}

TEST(CommMessages, SendMsgIsPolledAgainAtOnceAndAnUnknownRackComesBack) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  rig.comm->Pump();
  const uint32_t polls = rig.comm->Polls();
  ASSERT_TRUE(SendRackMsg(NewMsg(9)));
  EXPECT_TRUE(rig.comm->Step());
  EXPECT_EQ(rig.comm->Polls() - polls, 2u) << "the poll before the wait and the one after";
  std::vector<RackMsg*> back = rig.Returned();
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0]->Rcode, RC_NO_NODE_FOR_RACK);
  FreeRackMsg(back[0]);
  EXPECT_TRUE(rig.Logged("Error: Tossing message to unknown rack 9."));
}

TEST(CommDelayQueue, MessagesDueInOneSecondAllComeBackInOneTickTheRestKeepOrder) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  // Racks name the messages; delays in seconds.
  const int delays[] = {2, 1, 3, 1, 2, 1};
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(PostDelayMsg(NewMsg(101 + i, delays[i])));
  rig.comm->Pump();
  EXPECT_EQ(rig.comm->DelayQueueLength(), 6u);

  auto racks = [&](std::vector<RackMsg*> msgs) {
    std::vector<uint32_t> out;
    for (RackMsg* m : msgs) {
      EXPECT_EQ(m->Rcode, 0);
      EXPECT_EQ(m->link, nullptr);
      out.push_back(m->Rack);
      FreeRackMsg(m);
    }
    return out;
  };

  rig.Tick();
  EXPECT_TRUE(racks(rig.Returned()).empty()) << "nothing is due yet";

  rig.clock.AdvanceMs(1000);
  rig.Tick();
  EXPECT_EQ(racks(rig.Returned()), (std::vector<uint32_t>{102, 104, 106}));
  EXPECT_TRUE(rig.Logged("Delay complete (pMsg->Rack = 106)"));

  // The last message left the queue: a new one still joins at the end.
  ASSERT_TRUE(PostDelayMsg(NewMsg(107, 1)));
  rig.comm->Pump();
  rig.clock.AdvanceMs(1000);
  rig.Tick();
  EXPECT_EQ(racks(rig.Returned()), (std::vector<uint32_t>{101, 105, 107}));

  rig.clock.AdvanceMs(1000);
  rig.Tick();
  EXPECT_EQ(racks(rig.Returned()), (std::vector<uint32_t>{103}));
  EXPECT_EQ(rig.comm->DelayQueueLength(), 0u);
}

TEST(CommShutdown, WithNoNodeOnlineTheNextTickPostsCommStoppedAndEndsTheLoop) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  rig.AddNode(7, 0x7F000007);
  rig.AddNode(8, 0x7F000008);
  ASSERT_TRUE(PostCommShutdown());
  rig.comm->Pump();
  EXPECT_TRUE(rig.Logged("Shutting down communications, please wait."));
  EXPECT_TRUE(rig.Logged("Closing log file..."));
  EXPECT_EQ(rig.comm->Flags(), CIpcComm::kFlagRunning | CIpcComm::kFlagShuttingDown);
  EXPECT_TRUE(rig.frame.TakeAll().empty()) << "stopped only by the tick";
  for (uint32_t id : {7u, 8u}) {
    const NodeEntry* node = rig.comm->FindNode(id);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->state, NODE_STATE_DISCONNECTED);
    EXPECT_NE(node->flags & NODE_FLAG_DISCONNECT, 0u);
  }

  rig.Tick();
  std::vector<msgq::Msg> posted = rig.frame.TakeAll();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, WM_DOC_COMM_STOPPED);
  EXPECT_EQ(posted[0].wParam, 0u);
  EXPECT_EQ(posted[0].lParam, 0);
  EXPECT_EQ(rig.comm->Flags(), 0u);
  EXPECT_FALSE(msgq::FireTimer(g_hCommWnd.load(), CIpcComm::kTimerId)) << "timer killed";
}

TEST(CommRackRelay, RackUpAndVersionCarryTheRackNumberAndUnknownRacksAreIgnored) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  rig.AddNode(1, 0x7F000002);
  rig.AddRack(1, 256, 2);
  rig.AddRack(1, 5, 0);
  ASSERT_EQ(rig.comm->RackCount(), 2u);
  rig.SyncSent(1, 256);
  rig.SyncSent(1, 5);

  for (uint32_t rack : {256u, 256u, 77u, 0u, 100000u}) ASSERT_TRUE(PostRackUp(rack));
  rig.comm->Pump();
  // (The version request then finds the node unknown to the library, and
  // the node leaves Online; the log line tells the rack was marked up.)
  EXPECT_EQ(rig.CountLogged("Rack 256 is up, requesting version information."), 1);
  EXPECT_EQ(rig.CountLogged("Rack 5 is up, requesting version information."), 0)
      << "rack 256 must not alias another";
  EXPECT_EQ(rig.comm->RackCount(), 2u) << "unknown racks are not created";

  uint8_t bytes[kRackVersionBytes];
  std::memcpy(bytes, "SN123456", 8);
  std::memcpy(bytes + 8, "2.10a\0", 6);
  bytes[14] = 0x34;
  bytes[15] = 0x12;
  ASSERT_TRUE(SetRackVersion(256, bytes));
  ASSERT_TRUE(SetRackVersion(77, bytes));  // unknown: dropped, its record freed
  bytes[0] = 'X';                          // the caller's bytes are its own again
  rig.comm->Pump();
  const RackEntry* rack = rig.comm->FindRack(256);
  EXPECT_EQ(std::string(rack->serial, 8), "SN123456");
  EXPECT_STREQ(rack->software, "2.10a");
  EXPECT_EQ(rack->hardware, 0x1234);
  EXPECT_NE(rack->flags & RACK_FLAG_VERSION, 0);
  EXPECT_EQ(rig.comm->FindRack(5)->flags & RACK_FLAG_VERSION, 0);
}

TEST(CommRackRelay, RackUpQueuesOneVersionRequestForTheRack) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  rig.AddNode(1, 0x7F000002);
  rig.AddRack(1, 7, 0);
  // Before its node is Online no synchronisation of the rack is
  // outstanding: a rack-up then is stale and asks nothing.
  ASSERT_TRUE(PostRackUp(7));
  rig.comm->Pump();
  const PortSlot& port = rig.comm->FindNode(1)->ports[0];
  EXPECT_EQ(port.queued, 0u);
  EXPECT_EQ(rig.comm->FindRack(7)->flags & RACK_FLAG_UP, 0);

  rig.SyncSent(1, 7);
  ASSERT_TRUE(PostRackUp(7));
  ASSERT_TRUE(PostRackUp(7));
  rig.comm->Pump();
  // The port is not open: the request waits on it.
  ASSERT_EQ(port.queued, 1u);
  ASSERT_NE(port.TxHead, nullptr);
  EXPECT_EQ(port.TxHead->Rack, 7u);
  EXPECT_EQ(port.TxHead->sendLength, 7);
  const uint8_t want[] = {27, 0, 3, 0, 10, 11, 12};
  EXPECT_EQ(std::memcmp(port.TxHead->command, want, sizeof want), 0);
}

TEST(CommRackRelay, RackDescriptorsOutOfRangeAreRefused) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  rig.AddRack(1, 0, 0);
  rig.AddRack(1, 257, 0);
  rig.AddRack(1, 3, 6);
  EXPECT_EQ(rig.comm->RackCount(), 0u);
  EXPECT_TRUE(rig.Logged("Error: Rack 3 on port slot 6 of node 1 is out of range, ignored."));
}

TEST(CommEnd, WhatIsStillQueuedComesBackFlushedAndLaterPostsFail) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  ASSERT_TRUE(SendRackMsg(NewMsg(4)));
  ASSERT_TRUE(PostDelayMsg(NewMsg(5, 60)));
  uint8_t bytes[kRackVersionBytes] = {};
  ASSERT_TRUE(SetRackVersion(4, bytes));
  rig.comm->EndInline();  // nothing was handled: all of it is drained

  std::vector<RackMsg*> back = rig.Returned();
  ASSERT_EQ(back.size(), 2u);
  for (RackMsg* m : back) {
    EXPECT_EQ(m->Rcode, RC_FLUSHED);
    FreeRackMsg(m);
  }
  EXPECT_FALSE(g_hCommWnd.load());
  RackMsg* late = NewMsg(6);
  EXPECT_FALSE(SendRackMsg(late)) << "the caller keeps a message nobody can take";
  FreeRackMsg(late);
  EXPECT_FALSE(SetRackVersion(4, bytes));
}

TEST(CommEnd, TheCommObjectsEndClosesTheNetworkLogWithItsRecords) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  const std::string path = (rig.dir.path() / "net.bin").string();
  ASSERT_TRUE(OpenNetLog(path.c_str()));
  NetLogDebugHook(1, 3, "abc");
  rig.comm.reset();
  EXPECT_FALSE(NetLogIsOpen());
  NetLogDebugHook(2, 2, "xy");  // nothing is logged any more
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::fseek(f, 0, SEEK_END);
  EXPECT_EQ(std::ftell(f), static_cast<long>(kNetLogRecordHeader + 3));
  std::fclose(f);
}

TEST(IpcAssertReport, LogsEveryLogServerEventWithinItsFields) {
  Rig rig;
  IpcLogEvnt e{};
  e.hdr.length = sizeof e;
  e.hdr.evntCode = 2;
  e.Svr = 22;
  e.hTargetSvr = 7;
  e.ErrCode = 10035;
  std::memcpy(e.file, "ipcnetdb", 9);
  e.line = 412;
  IpcAssert(&e.hdr, 0);
  EXPECT_TRUE(rig.Logged("IpcAssert: file: ipcnetdb, line: 412, ErrCode: 10035, Svr: 22, "
                         "hTargetSvr: 7"));

  // A file field without its NUL prints its ten characters only.
  std::memcpy(e.file, "ABCDEFGHIJ", 10);
  IpcAssert(&e.hdr, 0);
  EXPECT_TRUE(rig.Logged("IpcAssert: file: ABCDEFGHIJ, line: 412, ErrCode: 10035, Svr: 22, "
                         "hTargetSvr: 7"));

  // A short event is read no further than its length (the rest as zero).
  auto shortEvent = std::make_unique<uint8_t[]>(sizeof(IpcEvntHdr) + 2);
  IpcEvntHdr hdr{};
  hdr.length = sizeof(IpcEvntHdr) + 2;
  std::memcpy(shortEvent.get(), &hdr, sizeof hdr);
  shortEvent[sizeof hdr] = 1;
  shortEvent[sizeof hdr + 1] = 1;
  IpcAssert(reinterpret_cast<const IpcEvntHdr*>(shortEvent.get()), 0);
  EXPECT_TRUE(rig.Logged("IpcAssert: file: , line: 0, ErrCode: 0, Svr: 1, hTargetSvr: 1"));
}

TEST(IpcAssertReport, AReportAboutAReceivedDatagramNamesItsSenderTheSameWayEachTime) {
  Rig rig;
  IpcLogEvntFrom e{};
  e.report.hdr.length = IPC_LOG_EVNT_FROM_LEN;
  e.report.hdr.evntCode = IPC_SEV_FAILURE + 1;
  e.report.Svr = 1;
  e.report.hTargetSvr = 1;
  e.report.ErrCode = IPC_ERR_PKT_SIZE;
  std::memcpy(e.report.file, "ipcnet", 7);
  e.report.line = 640;
  e.fromAddr = 0xC0A8011Eu;  // 192.168.1.30
  e.fromPort = 2535;
  for (int i = 0; i < 2; ++i) IpcAssert(&e.report.hdr, 0);
  EXPECT_EQ(rig.CountLogged("IpcAssert: file: ipcnet, line: 640, ErrCode: 36, Svr: 1, "
                            "hTargetSvr: 1, from 192.168.1.30:2535"),
            2);
}

}  // namespace
