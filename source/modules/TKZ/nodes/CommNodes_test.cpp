// The node and rack tables: the load bracket's mark and sweep, descriptors
// out of range, client ids, and what a deleted node leaves behind.
#include <gtest/gtest.h>

#include "NodeTestSupport.h"
#include "RcCodes.h"

namespace {

constexpr uint32_t kAddr1 = 0x7F000101;  // 127.0.1.1
constexpr uint32_t kAddr2 = 0x7F000102;  // 127.0.1.2

RackMsg* Msg(uint32_t rack, uint32_t node, int slot) {
  RackMsg* m = AllocRackMsg();
  m->Rack = rack;
  m->nodeId = node;
  m->portSlot = slot;
  m->sendLength = 4;
  return m;
}

TEST(NodeLoad, SecondLoadMarksAndSweeps) {
  using N = NodesRig::N;
  using R = NodesRig::R;
  const std::vector<N> both = {{1, kAddr1, {1, 1, 0, 0, 0, 0}}, {2, kAddr2, {1, 0, 0, 0, 0, 0}}};
  const std::vector<R> racks = {{1, 5, 0}, {1, 6, 1}};
  struct Case {
    const char* name;
    std::vector<N> nodes;
    std::vector<R> racks;
    std::vector<std::string> requests;  // IO_KRN requests the load sends
    bool node1Disconnecting;           // dropped while connected
    bool node2Kept;
    size_t rackCount;
    const char* line;  // a line the load logs, or null
  } cases[] = {
      {"named again unchanged", both, racks, {}, false, true, 2, nullptr},
      {"slot 1 dropped, slot 2 added",
       {{1, kAddr1, {1, 0, 1, 0, 0, 0}}, {2, kAddr2, {1}}},
       racks,
       {"1/0@1", "1/3@2"},
       false,
       true,
       2,
       "127.0.1.1: Closing IO_KRN on port 0."},
      {"connected node dropped", {{2, kAddr2, {1}}}, racks, {}, true, true, 2,
       "127.0.1.1: has been deleted, disconnecting."},
      {"never-connected node dropped", {{1, kAddr1, {1, 1}}}, racks, {}, false, false, 2,
       "127.0.1.2: Node deleted."},
      {"rack moved to the other slot and to a node not connected",
       both,
       {{2, 5, 0}, {1, 6, 0}},
       {"6", "6", "5", "4"},
       false,
       true,
       2,
       nullptr},
      {"rack dropped", both, {{1, 5, 0}}, {"6"}, false, true, 1, "Deleted rack 6."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NodesRig rig;
    rig.Load(both, racks);
    rig.BringOnline(1, kAddr1, 3);
    const NodeEntry* n1 = rig.nodes.FindNode(1);
    ASSERT_EQ(rig.State(1), NODE_STATE_ONLINE);
    ASSERT_EQ(n1->ports[1].portIndex, 11);
    ASSERT_NE(rig.nodes.FindRack(6)->flags & RACK_FLAG_POLLING, 0);
    const uint8_t clientId = n1->clientId;
    rig.lib.Clear();

    rig.Load(c.nodes, c.racks);

    EXPECT_EQ(rig.lib.KrnRequests(), c.requests);
    n1 = rig.nodes.FindNode(1);
    ASSERT_NE(n1, nullptr);
    EXPECT_EQ(n1->clientId, clientId);
    EXPECT_EQ(n1->flags & NODE_FLAG_KRN_CONNECTED, NODE_FLAG_KRN_CONNECTED);
    EXPECT_EQ((n1->flags & (NODE_FLAG_DISCONNECT | NODE_FLAG_DELETE)) != 0, c.node1Disconnecting);
    EXPECT_EQ(rig.nodes.FindNode(2) != nullptr, c.node2Kept);
    EXPECT_EQ(rig.nodes.RackCount(), c.rackCount);
    if (c.line != nullptr) {
      EXPECT_TRUE(rig.Logged(c.line));
    }
    EXPECT_TRUE(rig.lib.calls.empty()) << rig.lib.calls.front().name;

    // A dropped connected node goes once its connections are down, without
    // telling the document it left Online.
    rig.Ticks(40);
    EXPECT_EQ(rig.nodes.FindNode(1) == nullptr, c.node1Disconnecting);
    if (c.node1Disconnecting) {
      EXPECT_TRUE(rig.Logged("127.0.1.1: Disconnected, deleting node entry."));
      EXPECT_EQ(rig.lib.LiveClients(), 0u);
      EXPECT_EQ(rig.lib.LiveLocations(), 0u);
      EXPECT_EQ(rig.host.posts.size(), 1u);  // only the first "up"
    }
  }
}

TEST(NodeLoad, NodeNamedAgainWhileBeingDeletedStaysAndReconnects) {
  NodesRig rig;
  rig.Load({{1, kAddr1, {1}}}, {});
  rig.BringOnline(1, kAddr1, 3);
  rig.Load({}, {});
  ASSERT_NE(rig.nodes.FindNode(1)->flags & NODE_FLAG_DELETE, 0u);
  rig.Load({{1, kAddr1, {1}}}, {});
  EXPECT_EQ(rig.nodes.FindNode(1)->flags & NODE_FLAG_DELETE, 0u);

  rig.Ticks(40);
  ASSERT_NE(rig.nodes.FindNode(1), nullptr);
  EXPECT_EQ(rig.State(1), NODE_STATE_ONLINE);
  EXPECT_EQ(rig.lib.LiveClients(), 2u);
}

TEST(NodeLoad, RackDescriptorsOutOfRangeAreRefusedWithoutAPoll) {
  struct Case {
    uint32_t rack;
    uint8_t slot;
    bool accepted;
  } cases[] = {{256, 0, true}, {1, 5, true}, {0, 0, false}, {257, 0, false}, {7, 6, false},
               {7, 200, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rack) + " on slot " + std::to_string(c.slot));
    NodesRig rig;
    rig.Load({{1, kAddr1, {1, 1, 1, 1, 1, 1}}}, {});
    rig.BringOnline(1, kAddr1, 3);
    rig.lib.Clear();
    rig.AddRack(1, c.rack, c.slot);
    EXPECT_EQ(rig.nodes.FindRack(c.rack) != nullptr, c.accepted);
    const std::vector<std::string> polls = {"5", "4"};
    EXPECT_EQ(rig.lib.KrnRequests(), c.accepted ? polls : std::vector<std::string>());
    if (!c.accepted) {
      EXPECT_TRUE(rig.Logged("Error: Rack " + std::to_string(c.rack) + " on port slot " +
                             std::to_string(c.slot) + " of node 1 is out of range, ignored."));
    }
  }
}

TEST(NodeLoad, Racks256AndZeroAreNotTheSameEntry) {
  NodesRig rig;
  rig.Load({{1, kAddr1, {1}}}, {{1, 256, 0}, {1, 1, 0}});
  EXPECT_NE(rig.nodes.FindRack(256), nullptr);
  EXPECT_EQ(rig.nodes.FindRack(0), nullptr);
  rig.Load({{1, kAddr1, {1}}}, {{1, 1, 0}});
  EXPECT_EQ(rig.nodes.FindRack(256), nullptr);
  EXPECT_NE(rig.nodes.FindRack(1), nullptr);
}

TEST(NodeLoad, ClientIdsStayWithinTheServerIndexesAndReuseTheLowestFree) {
  NodesRig rig;
  std::vector<NodesRig::N> all;
  for (uint32_t id = 1; id <= 101; ++id) all.push_back({id, 0x7F000200 + id, {}});
  rig.Load(all, {});
  ASSERT_EQ(rig.nodes.NodeCount(), 100u);
  EXPECT_EQ(rig.nodes.FindNode(101), nullptr);
  EXPECT_TRUE(rig.Logged("Error: No client id left for node 101, node ignored."));
  std::set<uint8_t> ids;
  for (uint32_t id = 1; id <= 100; ++id) ids.insert(rig.nodes.FindNode(id)->clientId);
  EXPECT_EQ(ids.size(), 100u);
  EXPECT_EQ(*ids.begin(), 1);
  EXPECT_EQ(*ids.rbegin(), 100);

  // Nodes 37 and 50 leave; the next new nodes take their ids, lowest first.
  all.erase(all.begin() + 49);
  all.erase(all.begin() + 36);
  all.pop_back();
  rig.Load(all, {});
  ASSERT_EQ(rig.nodes.NodeCount(), 98u);
  all.push_back({500, 0x7F0003F4, {}});
  all.push_back({501, 0x7F0003F5, {}});
  rig.Load(all, {});
  EXPECT_EQ(rig.nodes.FindNode(500)->clientId, 37);
  EXPECT_EQ(rig.nodes.FindNode(501)->clientId, 50);
}

TEST(NodeLoad, DeletedNodeReturnsItsQueuedMessagesWithRcFlushed) {
  NodesRig rig;
  rig.Load({{1, kAddr1, {1, 1}}}, {{1, 5, 0}, {1, 6, 1}});
  // The library does not know the node: the messages wait for it.
  rig.nodes.QueueMsg(Msg(5, 1, 0));
  rig.nodes.QueueMsg(Msg(5, 1, 0));
  rig.nodes.QueueMsg(Msg(6, 1, 1));
  NodeEntry* n = rig.nodes.Node(1);
  n->ports[1].RxMsg = AllocRackMsg();  // a partial poll response (freed, not returned)
  ASSERT_EQ(n->ports[0].queued, 2u);
  ASSERT_TRUE(rig.host.returned.empty());

  rig.Load({}, {});

  EXPECT_EQ(rig.nodes.FindNode(1), nullptr);
  using P = std::pair<uint32_t, uint16_t>;
  const std::vector<P> want = {{5, RC_FLUSHED}, {5, RC_FLUSHED}, {6, RC_FLUSHED}};
  EXPECT_EQ(rig.host.returned, want);
}

TEST(NodeLoad, DroppedPortReturnsItsMessagesAndItsRacksStopPolling) {
  NodesRig rig;
  const std::vector<NodesRig::R> racks = {{1, 5, 0}, {1, 6, 1}};
  rig.Load({{1, kAddr1, {1, 1}}}, racks);
  rig.BringOnline(1, kAddr1, 3);
  rig.nodes.Rack(6)->flags |= RACK_FLAG_UP;
  rig.nodes.QueueMsg(Msg(6, 1, 1));  // on the wire
  rig.nodes.QueueMsg(Msg(6, 1, 1));  // waiting behind it
  NodeEntry* n = rig.nodes.Node(1);
  n->ports[1].RxMsg = AllocRackMsg();  // a partial poll response (freed, not returned)
  ASSERT_TRUE(n->ports[1].headSent);
  rig.lib.Clear();

  rig.Load({{1, kAddr1, {1, 0}}}, racks);

  using P = std::pair<uint32_t, uint16_t>;
  EXPECT_EQ(rig.host.returned, (std::vector<P>{{6, RC_FLUSHED}, {6, RC_FLUSHED}}));
  EXPECT_EQ(n->ports[1].TxHead, nullptr);
  EXPECT_EQ(n->ports[1].queued, 0u);
  EXPECT_EQ(n->ports[1].RxMsg, nullptr);
  EXPECT_EQ(rig.lib.KrnRequests(), std::vector<std::string>{"1/0@1"});
  EXPECT_EQ(rig.nodes.FindRack(6)->flags & (RACK_FLAG_POLLING | RACK_FLAG_UP | RACK_FLAG_SYNC_SENT), 0);
  EXPECT_EQ(rig.host.rackDown, std::vector<uint32_t>{6});
  EXPECT_NE(rig.nodes.FindRack(5)->flags & RACK_FLAG_POLLING, 0);

  // Nothing is left to time out: the node keeps its connection.
  rig.Ticks(200);
  EXPECT_EQ(n->linkResets, 0u);
  EXPECT_EQ(rig.host.returned.size(), 2u);
}

// The load that configured a port is followed by one that drops it before
// the node has answered the port's open: the port is closed when its index
// arrives, and no rack is polled on it.
TEST(NodeLoad, PortDroppedWhileItsOpenIsOutstandingIsClosedWhenItsIndexArrives) {
  NodesRig rig;
  const std::vector<NodesRig::R> racks = {{1, 5, 0}, {1, 6, 1}};
  rig.Load({{1, kAddr1, {1, 0}}}, racks);
  rig.BringOnline(1, kAddr1, 3);
  rig.Load({{1, kAddr1, {1, 1}}}, racks);
  ASSERT_NE(rig.nodes.FindNode(1)->flags & NODE_FLAG_PORT_OPENING, 0u);
  rig.Load({{1, kAddr1, {1, 0}}}, racks);
  rig.lib.Clear();
  ASSERT_TRUE(rig.AnswerOpen(1, 11));
  const NodeEntry* n = rig.nodes.FindNode(1);
  EXPECT_EQ(n->ports[1].flags & PORT_FLAG_OPEN, 0);
  EXPECT_EQ(n->flags & NODE_FLAG_PORT_OPENING, 0u);
  EXPECT_EQ(rig.lib.KrnRequests(), std::vector<std::string>{"1/0@1"});
  EXPECT_EQ(rig.nodes.FindRack(6)->flags & RACK_FLAG_POLLING, 0);
  EXPECT_NE(rig.nodes.FindRack(5)->flags & RACK_FLAG_POLLING, 0);
}

TEST(NodeLoad, MessageForANodeTheStepDeletesGoesBack) {
  NodesRig rig;
  rig.Load({{1, kAddr1, {1}}}, {{1, 5, 0}});
  rig.lib.Know(kAddr1, 3);
  // Its teardown is over: the step that QueueMsg runs first deletes it.
  rig.nodes.Node(1)->flags |= NODE_FLAG_DISCONNECT | NODE_FLAG_DELETE;
  rig.nodes.QueueMsg(Msg(5, 1, 0));
  EXPECT_EQ(rig.nodes.FindNode(1), nullptr);
  ASSERT_EQ(rig.host.returned.size(), 1u);
  EXPECT_EQ(rig.host.returned[0].second, RC_FLUSHED);
}

TEST(RackVersion, SixteenBytesFillSerialSoftwareAndHardware) {
  NodesRig rig;
  rig.Load({{1, kAddr1, {1}}}, {{1, 9, 0}});
  const uint8_t bytes[16] = {'S', 'N', '1', '2', '3', '4', '5', '6',
                             'V', '2', '.', '1', 'a', 0, 0x34, 0x12};
  EXPECT_TRUE(rig.nodes.SetRackVersion(9, bytes));
  EXPECT_FALSE(rig.nodes.SetRackVersion(10, bytes));
  const RackEntry* r = rig.nodes.FindRack(9);
  EXPECT_EQ(std::string(r->serial, 8), "SN123456");
  EXPECT_EQ(std::string(r->software, 5), "V2.1a");
  EXPECT_EQ(r->hardware, 0x1234);
  EXPECT_NE(r->flags & RACK_FLAG_VERSION, 0);
}

}  // namespace
