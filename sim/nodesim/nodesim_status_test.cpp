// A node's status end to end: the comm thread over the real library and
// loopback sockets against a nodesim process that announces itself offline,
// disabled and online again.  A node announced offline or disabled (which
// the library takes as offline) leaves Online at once with its queued
// messages flushed, and comes back Online with its racks up when it
// announces online; the library's disabled status takes the node to
// Disabled the same way.
//
// The comm object runs inline on the test thread with its real 100 ms
// timer.  Deadlines are hang guards only.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "CommInlineHarness.h"
#include "NodesimTestProcess.h"
#include "RcCodes.h"
#include "ipcnetdb.h"

namespace {

// Addresses of this run: 127.42.K.1 (this PC) and .2.
const uint32_t kNet = RunNetwork(0x7F2A0000u);
const uint32_t kAddrA = kNet | 2;
const std::string kPcText = Dotted(kNet | 1), kSimAText = Dotted(kAddrA);

struct Sim : NodesimProcess {
  bool Start(const std::vector<std::string>& extra) {
    return NodesimProcess::Start(NODESIM_PATH, "STATA", kSimAText.c_str(), kPcText.c_str(), extra);
  }
};

class NodesimStatus : public CommRackHarness {
 protected:
  void SetUp() override {
    Prepare(kPcText, kSimAText);
    Start();
  }
  bool Ready() {
    const NodeEntry* n = comm_.FindNode(1);
    return n != nullptr && n->state == NODE_STATE_ONLINE && (n->ports[0].flags & PORT_FLAG_OPEN) != 0 &&
           Up(5);
  }
  uint32_t State() {
    const NodeEntry* n = comm_.FindNode(1);
    return n != nullptr ? n->state : 0;
  }
  // Sends a command to rack 5 as request reqNum without waiting.
  void Send(uint32_t reqNum) {
    RackMsg* m = AllocRackMsg();
    m->Rack = 5;
    m->ReqNum = reqNum;
    const Bytes status = {DIM_CMD_GET_RACK_STATUS, 0, 1, 0, 0};
    std::copy(status.begin(), status.end(), m->command);
    m->sendLength = static_cast<int32_t>(status.size());
    EXPECT_TRUE(SendRackMsg(m));
  }
  int Count(const std::string& report) const {
    return static_cast<int>(std::count(nodeStatus_.begin(), nodeStatus_.end(), report));
  }
};

TEST_F(NodesimStatus, OfflineAndDisabledTakeTheNodeOutOfOnlineWithItsMessagesFlushedAndBack) {
  Sim a;
  ASSERT_TRUE(a.Start({"--rack", "0:5"}));
  AddNode(1, kAddrA, {1, 0, 0, 0, 0, 0});
  AddRack(1, 5, 0);
  ASSERT_TRUE(RunUntil([&] { return Ready(); }, 30000)) << Log();
  const uint8_t idx = IpcNetNodeAddrExists(kAddrA);
  ASSERT_NE(idx, 255);

  const struct {
    const char* name;
    std::function<void()> leave, back;
    uint32_t state;           // the node's state once it has left Online
    uint8_t libraryStatus;    // what the library holds for it then
  } cases[] = {
      {"announced offline", [&] { ASSERT_TRUE(a.Command("offline")); },
       [&] { ASSERT_TRUE(a.Command("online")); }, NODE_STATE_OFFLINE, IPC_NODE_STATUS_OFFLINE},
      // An announced disabled is taken as offline.
      {"announced disabled", [&] { ASSERT_TRUE(a.Command("disabled")); },
       [&] { ASSERT_TRUE(a.Command("online")); }, NODE_STATE_OFFLINE, IPC_NODE_STATUS_OFFLINE},
      {"disabled in the library", [&] { ipc::IpcNetNodeStatusSet(idx, IPC_NODE_STATUS_DISABLED); },
       [&] { ipc::IpcNetNodeStatusSet(idx, IPC_NODE_STATUS_ONLINE); }, NODE_STATE_DISABLED,
       IPC_NODE_STATUS_DISABLED},
  };
  uint32_t req = 100;
  int downs = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // One message on the wire, held by the rack's latency, one behind it.
    ASSERT_TRUE(a.Command("latency 4000"));
    const uint32_t first = ++req, second = ++req;
    Send(first);
    Send(second);
    ASSERT_TRUE(RunUntil([&] { return comm_.FindNode(1)->ports[0].headSent; }, 5000)) << Log();

    c.leave();
    ++downs;
    ASSERT_TRUE(RunUntil([&] { return Count("1 down") == downs; }, 3000)) << Log();
    EXPECT_EQ(State(), c.state);
    EXPECT_EQ(IpcNetNodeStatusGet(idx), c.libraryStatus);
    ASSERT_TRUE(RunUntil([&] { return done_.count(first) != 0 && done_.count(second) != 0; }, 1000));
    EXPECT_EQ(done_[first]->Rcode, RC_FLUSHED);
    EXPECT_EQ(done_[second]->Rcode, RC_FLUSHED);
    EXPECT_EQ(comm_.FindRack(5)->flags & RACK_FLAG_UP, 0);
    // It stays out of Online while it says so.
    RunUntil([] { return false; }, 1500);
    EXPECT_EQ(State(), c.state) << Log();
    EXPECT_EQ(Count("1 down"), downs);

    ASSERT_TRUE(a.Command("latency 0"));
    c.back();
    ASSERT_TRUE(RunUntil([&] { return Ready(); }, 30000)) << Log();
    RackMsg* got = Exchange(5, ++req, {DIM_CMD_GET_RACK_STATUS, 0, 1, 0, 0}, 10000);
    ASSERT_NE(got, nullptr) << Log();
    EXPECT_EQ(got->Rcode, 0);
  }
  EXPECT_EQ(Count("1 up"), 1 + static_cast<int>(std::size(cases)));
  for (auto& [n, m] : done_) FreeRackMsg(m);
  done_.clear();
}

}  // namespace
