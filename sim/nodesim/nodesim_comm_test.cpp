// The comm thread's node tables over the real library and loopback sockets
// against two nodesim processes: both nodes come Online with their ports
// opened; a restart and a silence of a simulator tear its connection down
// and build it again; nothing is left behind over the cycles.
//
// The comm object runs inline on the test thread with its real 100 ms
// timer.  Deadlines are hang guards only.
#include <dirent.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommInlineHarness.h"
#include "NodesimTestProcess.h"
#include "ipcnetdb.h"

namespace {

// Addresses of this run: 127.3.K.1 (this PC), .2 and .3.
const uint32_t kNet = RunNetwork(0x7F030000u);
const uint32_t kAddrA = kNet | 2, kAddrB = kNet | 3;
const std::string kPcText = Dotted(kNet | 1), kSimAText = Dotted(kAddrA), kSimBText = Dotted(kAddrB);
const char* const kPc = kPcText.c_str();
const char* const kSimA = kSimAText.c_str();
const char* const kSimB = kSimBText.c_str();

int OpenFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

struct Sim : NodesimProcess {
  bool Start(const char* name, const char* addr) { return NodesimProcess::Start(NODESIM_PATH, name, addr, kPc); }
};

class NodesimComm : public CommInlineHarness {
 protected:
  void SetUp() override {
    Prepare(kPc, std::string(kSimA) + "," + kSimB);
    Start();
    // A silent node is given up after 3 s rather than 30.
    ipc::IpcNetNodeSilenceTimeoutSet(0, 300);
  }

  void HandleFrame() override {
    for (const msgq::Msg& m : frame_.TakeAll()) {
      if (m.message == WM_DOC_NODE_STATUS) statuses_.push_back(std::to_string(m.lParam) + (m.wParam ? " up" : " down"));
      FrameQueue::Free(m);
    }
  }
  bool RunUntil(const std::function<bool()>& pred, int timeoutMs) {
    return CommInlineHarness::RunUntil(pred, timeoutMs, 2000);
  }
  // Online with every configured port open.
  bool Ready(uint32_t id) {
    const NodeEntry* n = comm_.FindNode(id);
    if (n == nullptr || n->state != NODE_STATE_ONLINE) return false;
    for (const PortSlot& p : n->ports)
      if ((p.flags & PORT_FLAG_CONFIGURED) != 0 && (p.flags & PORT_FLAG_OPEN) == 0) return false;
    return true;
  }
  int Count(const std::string& status) const {
    int n = 0;
    for (const std::string& s : statuses_) n += s == status;
    return n;
  }

  std::vector<std::string> statuses_;
};

TEST_F(NodesimComm, NodesComeOnlineAndReconnectAfterRestartAndSilence) {
  Sim a, b;
  ASSERT_TRUE(a.Start("SIMA", kSimA));
  ASSERT_TRUE(b.Start("SIMB", kSimB));
  AddNode(1, kAddrA, {1, 1, 0, 0, 0, 0});
  AddNode(2, kAddrB, {0, 0, 0, 1, 0, 0});

  ASSERT_TRUE(RunUntil([&] { return Ready(1) && Ready(2); }, 30000)) << Log();
  EXPECT_EQ(comm_.FindNode(1)->ports[0].portIndex, 0x20);
  EXPECT_EQ(comm_.FindNode(1)->ports[1].portIndex, 0x21);
  EXPECT_EQ(comm_.FindNode(2)->ports[3].portIndex, 0x23);
  EXPECT_EQ(Count("1 up"), 1);
  EXPECT_EQ(Count("2 up"), 1);
  const int fds = OpenFds();

  constexpr int kCycles = 2;
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_TRUE(a.Command("restart"));
    ASSERT_TRUE(RunUntil([&] { return Count("1 down") >= cycle; }, 30000)) << Log();
    ASSERT_TRUE(RunUntil([&] { return Count("1 up") > cycle && Ready(1); }, 30000)) << Log();

    ASSERT_TRUE(b.Command("silence"));
    ASSERT_TRUE(RunUntil([&] { return Count("2 down") >= cycle; }, 30000)) << Log();
    ASSERT_TRUE(b.Command("speak"));
    ASSERT_TRUE(RunUntil([&] { return Count("2 up") > cycle && Ready(2); }, 30000)) << Log();

    // The clients were made again in the same slots: none was left behind.
    for (uint32_t id : {1u, 2u}) {
      const NodeEntry* n = comm_.FindNode(id);
      EXPECT_EQ(n->krnComProcHandle, 1) << id;
      EXPECT_EQ(n->krnEvntHandle, 1) << id;
      EXPECT_EQ(n->clientId, id) << id;
    }
  }
  EXPECT_GE(comm_.FindNode(1)->linkResets, static_cast<uint32_t>(kCycles));
  EXPECT_GE(comm_.FindNode(2)->linkResets, static_cast<uint32_t>(kCycles));
  EXPECT_LE(OpenFds(), fds);
  // Both went through the teardown and the immediate reconnect.
  for (const char* who : {kSimA, kSimB}) {
    EXPECT_NE(Log().find(std::string(who) + ": Disconnected, attempting to reconnect."),
              std::string::npos)
        << Log();
  }
}

}  // namespace
