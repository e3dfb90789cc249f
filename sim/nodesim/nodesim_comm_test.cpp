// The comm thread's node tables over the real library and loopback sockets
// against two nodesim processes: both nodes come Online with their ports
// opened; a restart and a silence of a simulator tear its connection down
// and build it again; nothing is left behind over the cycles.
//
// The comm object runs inline on the test thread with its real 100 ms
// timer.  Deadlines are hang guards only.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "CommTestSupport.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "PeerProcess.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "ipcnetdb.h"
#include "platform/time/clock.h"

namespace {

// Addresses of this run: 127.3.K.1 (this PC), .2 and .3, with K from the
// process id, so that runs side by side do not share them.
const uint32_t kNet = 0x7F030000u | ((static_cast<uint32_t>(getpid()) % 250u + 1u) << 8);
std::string Dotted(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}
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

struct Sim {
  ipcpeer::PeerProcess process;
  bool Start(const char* name, const char* addr) {
    if (!process.Start(NODESIM_PATH, {"--name", name, "--addr", addr, "--peers", kPc, "--period", "20"}))
      return false;
    for (int i = 0; i < 5; ++i) {
      const std::string line = process.ReadLine(10000);
      if (line.rfind("ready", 0) == 0) return true;
      if (line.empty()) return false;
    }
    return false;
  }
  bool Command(const std::string& cmd) {
    if (!process.Send(cmd)) return false;
    for (int i = 0; i < 50; ++i) {
      const std::string line = process.ReadLine(10000);
      if (line == "ok " + cmd) return true;
      if (line.empty()) return false;
    }
    return false;
  }
};

class NodesimComm : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("DROVANA_NET_ADDR", kPc, 1);
    setenv("DROVANA_NET_BIND_OWN", "1", 1);
    setenv("DROVANA_NET_BCAST_TO", (std::string(kSimA) + "," + kSimB).c_str(), 1);
    g_bTimeStampLog = false;
    g_bIpcCommDebug = true;
    log_.AddObserver(&seen_);
    comm_.SetPorts({nullptr, nullptr, nullptr, &box_, msgq::TimerMode::Real});
    ASSERT_TRUE(comm_.StartInline());
    // A silent node is given up after 3 s rather than 30.
    ipc::IpcNetNodeSilenceTimeoutSet(0, 300);
  }
  void TearDown() override {
    comm_.EndInline();
    unsetenv("DROVANA_NET_ADDR");
    unsetenv("DROVANA_NET_BIND_OWN");
    unsetenv("DROVANA_NET_BCAST_TO");
  }

  void Add(uint32_t id, uint32_t addr, std::vector<uint8_t> ports) {
    NodeDesc d{id, addr, nullptr, {}};
    for (size_t s = 0; s < ports.size(); ++s) d.portFlags[s] = ports[s];
    ASSERT_TRUE(PostToCommWnd(WM_IPC_ADD_NODE, 0, reinterpret_cast<intptr_t>(&d)));
    comm_.Pump();
  }
  // Runs the loop until pred holds; false after timeoutMs.
  bool RunUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      comm_.Pump();
      for (const msgq::Msg& m : frame_.TakeAll()) {
        if (m.message == WM_DOC_NODE_STATUS)
          statuses_.push_back(std::to_string(m.lParam) + (m.wParam ? " up" : " down"));
        FrameQueue::Free(m);
      }
      usleep(2000);
    }
    return true;
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
  std::string Log() const { return seen_.text(); }

  FlagGuard flags_;
  TempDir dir_;
  LogBuffer log_{platform::time::SystemClock(), dir_.path()};
  RecordingObserver seen_;
  RecordingMessageBox box_;
  FrameQueue frame_;
  CIpcComm comm_;
  std::vector<std::string> statuses_;
};

TEST_F(NodesimComm, NodesComeOnlineAndReconnectAfterRestartAndSilence) {
  Sim a, b;
  ASSERT_TRUE(a.Start("SIMA", kSimA));
  ASSERT_TRUE(b.Start("SIMB", kSimB));
  Add(1, kAddrA, {1, 1, 0, 0, 0, 0});
  Add(2, kAddrB, {0, 0, 0, 1, 0, 0});

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
