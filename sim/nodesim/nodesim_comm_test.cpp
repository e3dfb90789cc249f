// The comm thread's node tables over the real library and loopback sockets
// against two nodesim processes: both nodes come Online with their ports
// opened; after a restart and a silence of a simulator its node goes
// Offline and comes back with its clients attached again; nothing is left
// behind over the cycles (client slots, server locations, net node entries,
// sockets).
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
  // Server locations the library holds for the node at this address.
  static int Locations(uint32_t addr) {
    uint8_t types[16], handles[16];
    return IpcSvrNetNodeInfoGet(IpcNetNodeAddrExists(addr), types, handles, 16);
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
  const uint8_t idxA = IpcNetNodeAddrExists(kAddrA), idxB = IpcNetNodeAddrExists(kAddrB);
  ASSERT_EQ(Locations(kAddrA), 1);
  ASSERT_EQ(Locations(kAddrB), 1);

  // A restarts while B falls silent; B speaks again once it is down.
  constexpr int kCycles = 5;
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_TRUE(a.Command("restart"));
    ASSERT_TRUE(b.Command("silence"));
    const auto bothDown = [&] { return Count("1 down") >= cycle && Count("2 down") >= cycle; };
    ASSERT_TRUE(RunUntil(bothDown, 30000)) << Log();
    ASSERT_TRUE(b.Command("speak"));
    const auto bothBack = [&] {
      return Count("1 up") > cycle && Count("2 up") > cycle && Ready(1) && Ready(2);
    };
    ASSERT_TRUE(RunUntil(bothBack, 30000)) << Log();

    // The clients were made again in the same slots, on the same net nodes,
    // with one server location each, and no socket was added.
    for (uint32_t id : {1u, 2u}) {
      const NodeEntry* n = comm_.FindNode(id);
      EXPECT_EQ(n->krnComProcHandle, 1) << id;
      EXPECT_EQ(n->krnEvntHandle, 1) << id;
      EXPECT_EQ(n->clientId, id) << id;
    }
    EXPECT_EQ(IpcNetNodeAddrExists(kAddrA), idxA);
    EXPECT_EQ(IpcNetNodeAddrExists(kAddrB), idxB);
    EXPECT_EQ(Locations(kAddrA), 1);
    EXPECT_EQ(Locations(kAddrB), 1);
    EXPECT_LE(OpenFds(), fds);
  }
  EXPECT_GE(comm_.FindNode(1)->linkResets, static_cast<uint32_t>(kCycles));
  EXPECT_GE(comm_.FindNode(2)->linkResets, static_cast<uint32_t>(kCycles));
  // The library took both offline (a new start time, a silence) and closed
  // their links: each went Offline and came back as its clients attached
  // again, with no teardown of a connection taken for broken.
  for (const char* who : {kSimA, kSimB}) {
    EXPECT_EQ(Log().find(std::string(who) + ": KRN handle is invalid"), std::string::npos) << Log();
  }
}

}  // namespace
