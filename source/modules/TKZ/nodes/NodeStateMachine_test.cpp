// The node state machine on a fake of the library with manual ticks.
#include <gtest/gtest.h>

#include <algorithm>

#include "NodeTestSupport.h"
#include "RcCodes.h"

namespace {

constexpr uint32_t kAddr = 0x7F000201;  // 127.0.2.1
constexpr uint8_t kIdx = 4;

using Status = FakeNodesHost::Status;

RackMsg* Msg(uint32_t rack, int slot) {
  RackMsg* m = AllocRackMsg();
  m->Rack = rack;
  m->nodeId = 1;
  m->portSlot = slot;
  m->sendLength = 2;
  return m;
}

bool Has(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// Node 1's IO_FTP location and clients, connected (and logged in when
// asked).
NodeEntry* WithIoFtp(NodesRig& rig, bool loggedIn) {
  NodeEntry* n = rig.nodes.Node(1);
  rig.lib.IpcSvrLocationSet(21, n->clientId, 1, 1, kIdx, 0, 0, 0, 0);
  rig.lib.IpcClntComProcCreate(21, n->clientId, "1.5", &n->ftpComProcHandle);
  rig.lib.IpcClntEvntCreate(21, n->clientId, nullptr, "1.5", &n->ftpEvntHandle, 1);
  n->flags |= NODE_FLAG_FTP_LOCATED | NODE_FLAG_FTP_CONNECTED | (loggedIn ? NODE_FLAG_FTP_LOGGED_IN : 0);
  return n;
}

TEST(NodeStep, LibraryAnswersDriveTheStateAndOnlyOnlineChangesAreReported) {
  enum Start { kFresh, kConnecting, kOnline, kOffline };
  struct Answers {
    bool known = true;
    uint8_t idx = kIdx;
    uint8_t link = IPC_LINK_STATUS_OK;
    uint8_t status = IPC_NODE_STATUS_ONLINE;
    bool attached = true;
  };
  struct Case {
    const char* name;
    Start start;
    Answers lib;
    uint32_t state;
    std::vector<Status> posts;              // posted by this step
    std::vector<std::string> calls;         // library calls of this step
    int returned;                           // queued messages returned (RC_FLUSHED)
    bool resetting;                         // teardown and reconnect requested
    bool polls = false;                     // the rack's poll is registered again
  } cases[] = {
      {"unknown address stays unknown", kFresh, {.known = false}, NODE_STATE_UNKNOWN, {}, {}, 0, false},
      {"known address connects", kFresh, {}, NODE_STATE_CONNECTING, {},
       {"IpcSvrLocationSet(22,1)", "IpcClntComProcCreate/2a0(22,1)", "IpcClntEvntCreate/2a0(22,1)"}, 0, false},
      {"this PC connects to the local server with 1.1", kFresh, {.idx = 0}, NODE_STATE_CONNECTING, {},
       {"IpcSvrLocationSet(22,1)", "IpcClntComProcCreate/1.1(22,1)", "IpcClntEvntCreate/2a0(22,1)"}, 0, false},
      {"link not ok: still connecting", kConnecting, {.link = IPC_LINK_STATUS_LINK_WAIT},
       NODE_STATE_CONNECTING, {}, {}, 0, false},
      {"no net handles: still connecting", kConnecting, {.attached = false}, NODE_STATE_CONNECTING, {}, {}, 0, false},
      {"attached and online", kConnecting, {}, NODE_STATE_ONLINE, {{true, 1}}, {}, 0, false},
      {"attached and offline", kConnecting, {.status = IPC_NODE_STATUS_OFFLINE}, NODE_STATE_OFFLINE, {}, {}, 0, false},
      {"this PC needs no net handles", kConnecting, {.idx = 0, .attached = false}, NODE_STATE_ONLINE,
       {{true, 1}}, {}, 0, false},
      {"online stays online", kOnline, {}, NODE_STATE_ONLINE, {}, {}, 0, false},
      {"online goes offline", kOnline, {.status = IPC_NODE_STATUS_OFFLINE}, NODE_STATE_OFFLINE,
       {{false, 1}}, {}, 2, false},
      {"online goes disabled", kOnline, {.status = IPC_NODE_STATUS_DISABLED}, NODE_STATE_DISABLED,
       {{false, 1}}, {}, 2, false},
      // The library closes the link of a node it takes offline: the lost
      // handle is no broken connection.
      {"online goes offline, its link closed", kOnline,
       {.link = IPC_LINK_STATUS_LINK_WAIT, .status = IPC_NODE_STATUS_OFFLINE, .attached = false},
       NODE_STATE_OFFLINE, {{false, 1}}, {}, 2, false},
      {"online goes disabled, its link closed", kOnline,
       {.link = IPC_LINK_STATUS_LINK_WAIT, .status = IPC_NODE_STATUS_DISABLED, .attached = false},
       NODE_STATE_DISABLED, {{false, 1}}, {}, 2, false},
      {"library forgets the node", kOnline, {.status = IPC_NODE_STATUS_NOT_IN_USE}, NODE_STATE_UNKNOWN,
       {{false, 1}}, {}, 2, false},
      // The messages stay queued: each ends by its answer or its time-out.
      {"library loses the address", kOnline, {.known = false}, NODE_STATE_UNKNOWN, {{false, 1}}, {}, 0, false},
      {"online loses its net handle", kOnline, {.attached = false}, NODE_STATE_ONLINE, {}, {}, 0, true},
      {"offline comes back online", kOffline, {}, NODE_STATE_ONLINE, {{true, 1}}, {}, 0, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NodesRig rig;
    rig.AddNode(1, kAddr, {1, 1});
    rig.AddRack(1, 5, 0);
    const uint8_t client = rig.nodes.FindNode(1)->clientId;
    const uint8_t idx = c.lib.idx;
    if (c.start != kFresh) {
      rig.lib.Know(kAddr, idx);
      rig.lib.attachedKrn.insert(client);
      rig.nodes.Tick();
      if (c.start != kConnecting) {
        rig.nodes.Tick();
        rig.AnswerOpen(1, 10);
        rig.AnswerOpen(1, 11);
        ASSERT_EQ(rig.State(1), NODE_STATE_ONLINE);
        rig.nodes.QueueMsg(Msg(5, 0));
        rig.nodes.QueueMsg(Msg(5, 1));
        ASSERT_EQ(rig.host.returned.size(), 0u);
      }
      if (c.start == kOffline) {
        rig.lib.At(kAddr).status = IPC_NODE_STATUS_OFFLINE;
        rig.nodes.Tick();
        ASSERT_EQ(rig.State(1), NODE_STATE_OFFLINE);
      }
    }
    const uint32_t linkResets = rig.nodes.FindNode(1)->linkResets;
    rig.host.posts.clear();
    rig.host.syncs.clear();
    rig.host.returned.clear();
    rig.lib.Clear();

    if (c.lib.known) {
      rig.lib.Know(kAddr, idx, {c.lib.link, c.lib.status});
    } else {
      rig.lib.Forget(kAddr);
    }
    if (!c.lib.attached) rig.lib.attachedKrn.clear();

    rig.nodes.Tick();

    EXPECT_EQ(rig.State(1), c.state);
    EXPECT_EQ(rig.host.posts, c.posts);
    if (c.start == kFresh || c.start == kConnecting) {
      EXPECT_EQ(rig.lib.Names(), c.calls);
    }
    EXPECT_EQ(static_cast<int>(rig.host.returned.size()), c.returned);
    for (const auto& [rack, rc] : rig.host.returned) EXPECT_EQ(rc, RC_FLUSHED);
    const NodeEntry* n = rig.nodes.FindNode(1);
    const auto krn = rig.lib.KrnRequests();
    EXPECT_EQ(std::count(krn.begin(), krn.end(), "5"), c.polls ? 1 : 0) << "ADD_POLL";
    if (c.polls) {
      EXPECT_NE(rig.nodes.FindRack(5)->flags & RACK_FLAG_POLLING, 0);
      EXPECT_EQ(rig.host.syncs, std::vector<uint32_t>{5});
    }
    constexpr uint32_t kReset = NODE_FLAG_DISCONNECT | NODE_FLAG_RECONNECT | NODE_FLAG_RECONNECT_NOW;
    EXPECT_EQ((n->flags & kReset) == kReset, c.resetting);
    const bool left = c.start == kOnline && c.state != NODE_STATE_ONLINE;
    EXPECT_EQ(n->linkResets, linkResets + (left ? 1 : 0));
    if (left) {
      EXPECT_EQ(rig.nodes.FindRack(5)->flags & (RACK_FLAG_UP | RACK_FLAG_SYNC_SENT | RACK_FLAG_POLLING), 0);
      EXPECT_TRUE(rig.Logged("127.0.2.1: Node is now down."));
    }
    // The same answers again report nothing more.
    if (!c.resetting && c.state != NODE_STATE_CONNECTING) {
      const size_t posts = rig.host.posts.size();
      rig.Ticks(3);
      EXPECT_EQ(rig.host.posts.size(), posts);
    }
  }
}

// A node back from Offline whose link was closed meanwhile waits for its
// clients to attach again, then opens its ports anew and polls its racks.
TEST(NodeStep, BackFromOfflineAfterTheLinkClosedAttachesAgainAndOpensThePortsAnew) {
  NodesRig rig;
  rig.AddNode(1, kAddr, {1, 1});
  rig.AddRack(1, 5, 0);
  rig.BringOnline(1, kAddr, kIdx);
  const uint8_t client = rig.nodes.FindNode(1)->clientId;
  rig.lib.Know(kAddr, kIdx, {IPC_LINK_STATUS_LINK_WAIT, IPC_NODE_STATUS_OFFLINE});
  rig.lib.attachedKrn.clear();
  rig.nodes.Tick();
  ASSERT_EQ(rig.State(1), NODE_STATE_OFFLINE);
  EXPECT_EQ(rig.nodes.FindNode(1)->ports[0].flags & PORT_FLAG_OPEN, 0);

  // Online again, the link back, the clients not yet attached: not Online.
  rig.lib.Know(kAddr, kIdx, {IPC_LINK_STATUS_OK, IPC_NODE_STATUS_ONLINE});
  rig.lib.Clear();
  rig.host.posts.clear();
  rig.Ticks(3);
  EXPECT_EQ(rig.State(1), NODE_STATE_OFFLINE);
  EXPECT_TRUE(rig.host.posts.empty());
  EXPECT_TRUE(rig.lib.KrnRequests().empty());

  rig.lib.attachedKrn.insert(client);
  rig.nodes.Tick();
  EXPECT_EQ(rig.State(1), NODE_STATE_ONLINE);
  EXPECT_EQ(rig.host.posts, (std::vector<Status>{{true, 1}}));
  EXPECT_EQ(rig.lib.KrnRequests(), (std::vector<std::string>{"1/3@0"}));
  ASSERT_TRUE(rig.AnswerOpen(1, 12));
  ASSERT_TRUE(rig.AnswerOpen(1, 13));
  EXPECT_EQ(rig.nodes.FindNode(1)->ports[0].portIndex, 12);
  EXPECT_NE(rig.nodes.FindRack(5)->flags & RACK_FLAG_POLLING, 0);
  EXPECT_EQ(rig.nodes.FindNode(1)->flags & NODE_FLAG_DISCONNECT, 0u) << "no teardown";
}

// Teardown: polls first, the IO_KRN clients once the library's transmit
// queue has drained, a pause, the IO_KRN location; the IO_FTP clients once
// logged out, a pause, the IO_FTP location; then Disconnected.
TEST(NodeTeardown, GoesInOrderWithItsPauses) {
  NodesRig rig;
  rig.AddNode(1, kAddr, {1});
  rig.AddRack(1, 5, 0);
  rig.BringOnline(1, kAddr, kIdx);
  ASSERT_NE(rig.nodes.Node(1)->flags & NODE_FLAG_POLLS_ADDED, 0u);
  // An IO_FTP connection, logged out.
  WithIoFtp(rig, false);
  rig.lib.At(kAddr).txHead = 3;  // something still waits to go out
  rig.lib.Clear();
  rig.host.posts.clear();

  rig.nodes.OnDisconnectNode(1);
  std::vector<std::string> seen;
  int disconnectedAt = 0;
  for (int t = 1; t <= 80 && disconnectedAt == 0; ++t) {
    if (t == 3) rig.lib.At(kAddr).txHead = 0xFFFF;
    rig.nodes.Tick();
    for (const std::string& k : rig.lib.KrnRequests()) seen.push_back(std::to_string(t) + " krn " + k);
    for (const std::string& k : rig.lib.Names()) seen.push_back(std::to_string(t) + " " + k);
    rig.lib.Clear();
    EXPECT_EQ(rig.State(1), t < 34 ? NODE_STATE_ONLINE : NODE_STATE_DISCONNECTED) << t;
    if (rig.State(1) == NODE_STATE_DISCONNECTED) disconnectedAt = t;
  }
  const std::vector<std::string> want = {
      "1 krn 6",  // the poll deleted
      "1 IpcClntComProcDestroy(21,1)", "1 IpcClntEvntDestroy(21,1)",
      "3 IpcClntComProcDestroy(22,1)", "3 IpcClntEvntDestroy(22,1)",
      "33 IpcSvrLocationDestroy(22,1)", "33 IpcSvrLocationDestroy(21,1)",
  };
  EXPECT_EQ(seen, want);
  EXPECT_EQ(disconnectedAt, 34);
  EXPECT_EQ(rig.host.posts, (std::vector<Status>{{false, 1}}));
  EXPECT_EQ(rig.lib.LiveClients(), 0u);
  EXPECT_EQ(rig.lib.LiveLocations(), 0u);
  EXPECT_TRUE(rig.Logged("127.0.2.1: Disconnected, starting reconnect delay."));
}

TEST(NodeTeardown, IoFtpLogoutThatNeverAnswersHoldsItUpFiftyTicksAtMost) {
  NodesRig rig;
  rig.AddNode(1, kAddr, {1});
  rig.BringOnline(1, kAddr, kIdx);
  NodeEntry* n = WithIoFtp(rig, true);
  n->ftpLoginHandle = 9;
  rig.lib.Clear();

  rig.nodes.OnDisconnectNode(1);
  int logouts = 0, ftpDestroyedAt = 0, disconnectedAt = 0;
  for (int t = 1; t <= 200 && disconnectedAt == 0; ++t) {
    rig.nodes.Tick();
    for (const auto& r : rig.lib.requests) logouts += r[2] == IPC_SVR_IO_FTP && r[4] == 2 && r[16] == 9;
    for (const std::string& k : rig.lib.Names())
      if (k == "IpcClntComProcDestroy(21,1)") ftpDestroyedAt = t;
    rig.lib.Clear();
    if (rig.State(1) == NODE_STATE_DISCONNECTED) disconnectedAt = t;
  }
  EXPECT_EQ(logouts, 1);
  EXPECT_EQ(ftpDestroyedAt, 51);
  EXPECT_EQ(disconnectedAt, 82);
  n = rig.nodes.Node(1);
  EXPECT_EQ(n->flags & (NODE_FLAGS_CONNECTIONS | NODE_FLAG_FTP_CONNECTING | NODE_FLAG_FTP_LOGIN_SENT |
                        NODE_FLAG_FTP_LOGOUT_SENT | NODE_FLAG_PORT_OPENING),
            0u);
  EXPECT_EQ(rig.lib.LiveClients(), 0u);
}

TEST(NodeReconnect, LostNetHandleTearsDownAndReconnectsAtOnce) {
  NodesRig rig;
  rig.AddNode(1, kAddr, {1});
  rig.BringOnline(1, kAddr, kIdx);
  const uint8_t client = rig.nodes.FindNode(1)->clientId;
  for (int cycle = 0; cycle < 20; ++cycle) {
    SCOPED_TRACE(cycle);
    rig.lib.attachedKrn.clear();
    rig.lib.Clear();
    rig.host.posts.clear();
    rig.Ticks(33);  // teardown: clients, 30-tick pause, location, Disconnected
    EXPECT_EQ(rig.host.posts, (std::vector<Status>{{false, 1}}));
    EXPECT_TRUE(rig.Logged("127.0.2.1: Disconnected, attempting to reconnect."));
    rig.lib.attachedKrn.insert(client);
    rig.Ticks(2);  // Connecting, then Online
    EXPECT_EQ(rig.State(1), NODE_STATE_ONLINE);
    EXPECT_EQ(rig.host.posts, (std::vector<Status>{{false, 1}, {true, 1}}));
    // The port is opened again: no open survived the reset.
    EXPECT_TRUE(Has(rig.lib.KrnRequests(), "1/3@0"));
    EXPECT_TRUE(rig.AnswerOpen(1, 10));
    EXPECT_EQ(rig.lib.LiveClients(), 2u);
  }
  EXPECT_EQ(rig.nodes.FindNode(1)->linkResets, 20u);
}

TEST(NodeReconnect, OpenOutstandingAtTheResetIsSentAgain) {
  NodesRig rig;
  rig.AddNode(1, kAddr, {1});
  rig.lib.Know(kAddr, kIdx);
  rig.lib.attachedKrn.insert(1);
  rig.Ticks(2);
  ASSERT_EQ(rig.State(1), NODE_STATE_ONLINE);
  ASSERT_NE(rig.nodes.FindNode(1)->flags & NODE_FLAG_PORT_OPENING, 0u);  // never answered
  rig.lib.attachedKrn.clear();
  rig.Ticks(33);
  rig.lib.attachedKrn.insert(1);
  rig.lib.Clear();
  rig.Ticks(2);
  EXPECT_EQ(rig.State(1), NODE_STATE_ONLINE);
  EXPECT_EQ(rig.lib.KrnRequests(), (std::vector<std::string>{"1/3@0"}));
}

TEST(NodeReconnect, DelayRunsNineHundredTicksFromDisconnected) {
  NodesRig rig;
  rig.AddNode(1, kAddr, {1});
  rig.BringOnline(1, kAddr, kIdx);
  rig.nodes.OnDisconnectNode(1);
  int t = 0;
  while (rig.State(1) != NODE_STATE_DISCONNECTED && t < 100) {
    rig.nodes.Tick();
    ++t;
  }
  ASSERT_EQ(rig.State(1), NODE_STATE_DISCONNECTED);
  rig.lib.Clear();
  int connectedAfter = 0;
  for (int k = 1; k <= 1000 && connectedAfter == 0; ++k) {
    rig.nodes.Tick();
    if (Has(rig.lib.Names(), "IpcSvrLocationSet(22,1)")) connectedAfter = k;
  }
  EXPECT_GE(connectedAfter, 900);
  EXPECT_LE(connectedAfter, 901);
  EXPECT_TRUE(rig.Logged("127.0.2.1: Reconnect delay expired, attempt to reconnect."));
  EXPECT_EQ(rig.State(1), NODE_STATE_CONNECTING);
}

// Connecting again without a teardown (the library forgot the node) and
// tearing down a node that never attached must not leave client slots
// behind: the library has 16 per server index.
TEST(NodeClients, NoSlotIsLeftBehindOverManyCycles) {
  NodesRig rig;
  rig.AddNode(1, kAddr, {1});
  rig.BringOnline(1, kAddr, kIdx);
  for (int cycle = 0; cycle < 40; ++cycle) {
    SCOPED_TRACE(cycle);
    rig.lib.At(kAddr).status = IPC_NODE_STATUS_NOT_IN_USE;
    rig.nodes.Tick();
    ASSERT_EQ(rig.State(1), NODE_STATE_UNKNOWN);
    rig.lib.At(kAddr).status = IPC_NODE_STATUS_ONLINE;
    rig.Ticks(2);
    ASSERT_EQ(rig.State(1), NODE_STATE_ONLINE);
    rig.AnswerOpen(1, 10);
    ASSERT_EQ(rig.lib.LiveClients(), 2u);
  }
  // Stuck Connecting, then disconnected: its clients go with the location.
  rig.lib.attachedKrn.clear();
  rig.Ticks(36);
  ASSERT_EQ(rig.State(1), NODE_STATE_CONNECTING);
  for (int cycle = 0; cycle < 20; ++cycle) {
    rig.nodes.OnDisconnectNode(1);
    rig.nodes.Node(1)->flags |= NODE_FLAG_RECONNECT_NOW;
    rig.Ticks(3);
    ASSERT_EQ(rig.State(1), NODE_STATE_CONNECTING);
    ASSERT_EQ(rig.lib.LiveClients(), 2u);
  }
  rig.nodes.OnDisconnectNode(1);
  rig.nodes.Node(1)->flags |= NODE_FLAG_DELETE;
  rig.Ticks(3);
  EXPECT_EQ(rig.nodes.FindNode(1), nullptr);
  EXPECT_EQ(rig.lib.LiveClients(), 0u);
  EXPECT_EQ(rig.lib.LiveLocations(), 0u);
}

TEST(NodeQueue, WaitingMessagesGoBackNodeOfflineAfterTheFlushDelayOrFlushedInTheShutdown) {
  // A message for a node that never comes Online; in the shutdown nothing
  // would ever send it, so it goes back at the next tick rather than being
  // lost when the comm thread ends.
  const struct {
    bool shuttingDown;
    int backAfter;  // ticks
    uint16_t rcode;
  } cases[] = {{false, 100, RC_NODE_OFFLINE}, {true, 1, RC_FLUSHED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shuttingDown);
    NodesRig rig;
    rig.host.shuttingDown = c.shuttingDown;
    rig.AddNode(1, kAddr, {1});
    rig.nodes.QueueMsg(Msg(5, 0));
    rig.Ticks(c.backAfter - 1);
    EXPECT_TRUE(rig.host.returned.empty());
    rig.Ticks(1);
    ASSERT_EQ(rig.host.returned.size(), 1u);
    EXPECT_EQ(rig.host.returned[0].second, c.rcode);
  }
}

// A node that leaves Online by a teardown (not by the library's Offline,
// Disabled or forgotten node) keeps its queue: the head on the wire ends by
// its time-out, or goes out again once the node is back and is answered.
TEST(NodeQueue, TeardownOutOfOnlineKeepsTheQueueForTheTimeoutOrTheReconnect) {
  for (bool reconnectNow : {false, true}) {
    SCOPED_TRACE(reconnectNow);
    NodesRig rig;
    rig.AddNode(1, kAddr, {1});
    rig.BringOnline(1, kAddr, kIdx);
    rig.nodes.QueueMsg(Msg(5, 0));  // on the wire
    rig.nodes.QueueMsg(Msg(5, 0));  // behind it
    rig.lib.Clear();
    rig.nodes.OnDisconnectNode(1);
    if (reconnectNow) rig.nodes.Node(1)->flags |= NODE_FLAG_RECONNECT_NOW;
    int t = 0;
    while (rig.host.posts.size() < 2 && t < 149) {  // the node leaves Online
      rig.nodes.Tick();
      ++t;
    }
    ASSERT_EQ(rig.host.posts.back(), (Status{false, 1}));
    EXPECT_TRUE(rig.host.returned.empty()) << "nothing is flushed when the node leaves Online";
    if (!reconnectNow) {
      rig.Ticks(149 - t);
      EXPECT_TRUE(rig.host.returned.empty());
      rig.Ticks(1);
      using P = std::pair<uint32_t, uint16_t>;
      EXPECT_EQ(rig.host.returned, (std::vector<P>{{5, RC_TIMEOUT}, {5, RC_TIMEOUT}}));
      continue;
    }
    // Back Online: the port opens again and the head goes out again.
    rig.Ticks(2);
    ASSERT_EQ(rig.State(1), NODE_STATE_ONLINE);
    rig.lib.Clear();
    ASSERT_TRUE(rig.AnswerOpen(1, 10));
    EXPECT_EQ(rig.lib.KrnRequests(), (std::vector<std::string>{"3", "4"}));
    const uint8_t client = rig.nodes.FindNode(1)->clientId;
    ASSERT_TRUE(rig.lib.Raise(IPC_SVR_IO_KRN, client, 258, {10, 0, 3, 0, 5, 0, 0, 0}));
    ASSERT_EQ(rig.host.returned.size(), 1u);
    EXPECT_EQ(rig.host.returned[0].second, 0);
    EXPECT_NE(rig.nodes.FindNode(1)->ports[0].TxHead, nullptr) << "the second is on the wire";
  }
}

TEST(NodeQueue, OnlineNodeSendsTheHeadAndAPortTimeoutReconnects) {
  NodesRig rig;
  rig.AddNode(1, kAddr, {1});
  rig.BringOnline(1, kAddr, kIdx);
  rig.lib.Clear();
  rig.nodes.QueueMsg(Msg(5, 0));
  rig.nodes.QueueMsg(Msg(5, 0));
  ASSERT_EQ(rig.lib.KrnRequests(), (std::vector<std::string>{"3", "4"}));
  EXPECT_EQ(rig.lib.requests[0][16], 10);  // the port index the node gave
  rig.Ticks(149);
  EXPECT_TRUE(rig.host.returned.empty());
  rig.Ticks(1);
  using P = std::pair<uint32_t, uint16_t>;
  const std::vector<P> want = {{5, RC_TIMEOUT}, {5, RC_TIMEOUT}};
  EXPECT_EQ(rig.host.returned, want);
  EXPECT_TRUE(rig.Logged("127.0.2.1: Error: Timeout waiting for response on port -1."));
  EXPECT_NE(rig.nodes.FindNode(1)->flags & NODE_FLAG_RECONNECT_NOW, 0u);
}

TEST(NodeShutdown, OpenPortsAreClosedAndTheNodeLeavesOnline) {
  NodesRig rig;
  rig.AddNode(1, kAddr, {1, 1});
  rig.AddNode(2, 0x7F000202, {1});  // never known to the library
  rig.BringOnline(1, kAddr, kIdx);
  rig.lib.Clear();
  rig.host.shuttingDown = true;
  rig.nodes.BeginShutdown();
  EXPECT_EQ(rig.lib.KrnRequests(), (std::vector<std::string>{"1/0@0", "1/0@1"}));
  EXPECT_EQ(rig.State(2), NODE_STATE_DISCONNECTED);
  uint32_t online = 1;
  int t = 0;
  while (online != 0 && t < 100) {
    online = rig.nodes.Tick();
    ++t;
  }
  EXPECT_EQ(online, 0u);
  EXPECT_EQ(rig.State(1), NODE_STATE_DISCONNECTED);
  EXPECT_EQ(rig.lib.LiveClients(), 0u);
  EXPECT_EQ(rig.host.posts.back(), (Status{false, 1}));
}

// A node that died just before the shutdown never acknowledges what is
// queued for it nor answers its IO_FTP logout: the shutdown waits for it a
// bounded time, then tears it down with its pause.  Outside the shutdown
// the teardown still waits for the queue.
TEST(NodeShutdown, ANodeThatNeverAnswersHoldsTheShutdownUpABoundedTime) {
  for (bool shutdown : {true, false}) {
    SCOPED_TRACE(shutdown);
    NodesRig rig;
    rig.AddNode(1, kAddr, {1});
    rig.BringOnline(1, kAddr, kIdx);
    WithIoFtp(rig, true);
    rig.lib.At(kAddr).txHead = 3;  // never drains
    if (shutdown) {
      rig.host.shuttingDown = true;
      rig.nodes.BeginShutdown();
    } else {
      rig.nodes.OnDisconnectNode(1);
    }
    int t = 0;
    while (rig.State(1) == NODE_STATE_ONLINE && t < 200) {
      rig.nodes.Tick();
      ++t;
    }
    if (shutdown) {
      EXPECT_GT(t, kShutdownWaitTicks);
      EXPECT_LE(t, kShutdownWaitTicks + kTeardownPauseTicks + 2);
      EXPECT_EQ(rig.State(1), NODE_STATE_DISCONNECTED);
      EXPECT_EQ(rig.lib.LiveClients(), 0u);
      EXPECT_EQ(rig.lib.LiveLocations(), 0u);
    } else {
      EXPECT_EQ(rig.State(1), NODE_STATE_ONLINE) << "still waiting for the queue to drain";
    }
  }
}

// A reconnect that a port time-out asks for in the middle of the shutdown's
// teardown, and a node a load adds while shutting down, must not bring a
// node back Online: the shutdown ends only when no node is Online.
TEST(NodeShutdown, NoNodeComesOnlineAgainOnceTheShutdownHasBegun) {
  NodesRig rig;
  rig.AddNode(1, kAddr, {1});
  rig.BringOnline(1, kAddr, kIdx);
  rig.nodes.QueueMsg(Msg(5, 0));
  rig.Ticks(140);  // the message's answer is 10 ticks from its time-out
  ASSERT_TRUE(rig.host.returned.empty());
  rig.host.shuttingDown = true;
  rig.nodes.BeginShutdown();
  rig.AddNode(2, 0x7F000202, {1});
  rig.BringOnline(2, 0x7F000202, 6);
  rig.lib.Clear();
  for (int t = 1; t <= 1000; ++t) {
    const uint32_t online = rig.nodes.Tick();
    if (t > 40) {
      ASSERT_EQ(online, 0u) << t;
    }
  }
  EXPECT_EQ(rig.host.returned, (std::vector<std::pair<uint32_t, uint16_t>>{{5, RC_TIMEOUT}}));
  EXPECT_EQ(rig.State(1), NODE_STATE_DISCONNECTED);
  EXPECT_EQ(rig.State(2), NODE_STATE_DISCONNECTED);
  EXPECT_FALSE(Has(rig.lib.Names(), "IpcSvrLocationSet(22,1)"));
  EXPECT_EQ(rig.lib.LiveClients(), 0u);
  EXPECT_EQ(rig.lib.LiveLocations(), 0u);
  EXPECT_EQ(rig.CountLogged("127.0.2.1: Disconnected, attempting to reconnect."), 0);
}

// A node load while a teardown runs (the IO_KRN clients gone, the node still
// Online) that configures a new port: the node is not connected again under
// the teardown, and its leaving Online is reported.
TEST(NodeTeardown, LoadThatAddsAPortDuringTheTeardownDoesNotConnectUnderIt) {
  NodesRig rig;
  rig.Load({{1, kAddr, {1, 0}}}, {{1, 5, 0}});
  rig.BringOnline(1, kAddr, kIdx);
  rig.nodes.OnDisconnectNode(1);
  rig.nodes.Tick();  // the clients go; the pause runs
  ASSERT_EQ(rig.State(1), NODE_STATE_ONLINE);
  ASSERT_EQ(rig.nodes.FindNode(1)->flags & NODE_FLAG_KRN_CONNECTED, 0u);
  rig.lib.Clear();
  rig.host.posts.clear();
  rig.Load({{1, kAddr, {1, 1}}}, {{1, 5, 0}});
  int t = 0;
  while (rig.State(1) != NODE_STATE_DISCONNECTED && t < 100) {
    rig.nodes.Tick();
    ++t;
  }
  EXPECT_EQ(rig.State(1), NODE_STATE_DISCONNECTED);
  EXPECT_FALSE(Has(rig.lib.Names(), "IpcSvrLocationSet(22,1)"));
  EXPECT_EQ(rig.host.posts, (std::vector<Status>{{false, 1}}));
  EXPECT_EQ(rig.nodes.FindNode(1)->linkResets, 1u);
  EXPECT_EQ(rig.lib.LiveClients(), 0u);
}

}  // namespace
