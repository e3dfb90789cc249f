// The comm thread's IO_FTP client over the real library and loopback
// sockets against two nodesim processes that receive files, one taking
// packed blocks and one only raw ones: the files arrive whole (an empty one
// too) with their modification time, every datagram is in the network log,
// and each login ends after the idle time.
//
// The comm object runs inline on the test thread with its real 100 ms
// timer; the test serves the frame's file reads and closes as the UI thread
// does.  Deadlines are hang guards only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "CommTestSupport.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "NetLog.h"
#include "PeerProcess.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "platform/time/clock.h"

namespace {

// Addresses of this test only.
constexpr const char* kPc = "127.0.21.1";
struct SimSpec {
  uint32_t nodeId;
  const char* addr;
  uint32_t addrValue;
  bool packed;
};
constexpr SimSpec kSims[] = {{1, "127.0.21.2", 0x7F001502, true},
                             {2, "127.0.21.3", 0x7F001503, false}};

std::vector<uint8_t> Pattern(size_t n, int seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = (i / 100) % 2 == 0 ? static_cast<uint8_t>(seed) : static_cast<uint8_t>(i * 13 + seed);
  return v;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class NodesimFtp : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("DROVANA_NET_ADDR", kPc, 1);
    setenv("DROVANA_NET_BIND_OWN", "1", 1);
    setenv("DROVANA_NET_BCAST_TO", (std::string(kSims[0].addr) + "," + kSims[1].addr).c_str(), 1);
    g_bTimeStampLog = false;
    g_bIpcCommDebug = true;
    g_bCommDebug = true;
    log_.AddObserver(&seen_);
    for (int i = 0; i < 2; ++i) {
      inbox_[i] = dir_.path() / ("inbox" + std::to_string(i));
      std::filesystem::create_directory(inbox_[i]);
      std::vector<std::string> args = {"--name", "SIMF" + std::to_string(i), "--addr",
                                       kSims[i].addr, "--peers", kPc, "--period", "20",
                                       "--ftp-dir", inbox_[i].string()};
      if (!kSims[i].packed) args.push_back("--ftp-raw");
      ASSERT_TRUE(sim_[i].Start(NODESIM_PATH, args));
      ASSERT_TRUE(WaitTrace(i, "ready", 10000));
    }
    comm_.SetPorts({nullptr, nullptr, nullptr, &box_, msgq::TimerMode::Real});
    ASSERT_TRUE(comm_.StartInline());
    for (const SimSpec& s : kSims) {
      NodeDesc d{s.nodeId, s.addrValue, nullptr, {}};
      ASSERT_TRUE(PostToCommWnd(WM_IPC_ADD_NODE, 0, reinterpret_cast<intptr_t>(&d)));
      comm_.Pump();
    }
  }
  void TearDown() override {
    comm_.EndInline();
    unsetenv("DROVANA_NET_ADDR");
    unsetenv("DROVANA_NET_BIND_OWN");
    unsetenv("DROVANA_NET_BCAST_TO");
  }

  // Runs the loop, serving the frame's messages, until pred holds.
  bool RunUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      comm_.Pump();
      for (const msgq::Msg& m : frame_.TakeAll()) {
        auto* job = reinterpret_cast<IoFtpRequest*>(m.lParam);
        if (m.message == WM_DOC_FTP_READ)
          IoFtpReadBlock(job);
        else if (m.message == WM_DOC_FTP_CLOSE)
          IoFtpCloseFile(job);
        else if (m.message == WM_DOC_FTP_DONE)
          done_.emplace_back(job);
        else
          FrameQueue::Free(m);
      }
      for (auto& sim : sim_) {
        const std::string line = sim.ReadLine(0);
        if (!line.empty()) trace_.push_back(line);
      }
      usleep(2000);
    }
    return true;
  }
  bool WaitTrace(int sim, const std::string& prefix, int timeoutMs) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < limit) {
      comm_.Pump();  // nothing to do before the comm loop starts
      const std::string line = sim_[sim].ReadLine(5);
      if (!line.empty()) trace_.push_back(line);
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  IoFtpRequest* Job(uint32_t nodeId, const std::string& local, const char* remote) {
    auto* r = new IoFtpRequest;
    r->nodeId = nodeId;
    SetIoFtpName(r->localName, local.c_str());
    SetIoFtpName(r->remoteName, remote);
    return r;
  }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = (dir_.path() / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string Log() const { return seen_.text(); }
  bool LoggedIn(uint32_t id) { return (comm_.FindNode(id)->flags & NODE_FLAG_FTP_LOGGED_IN) != 0; }

  FlagGuard flags_;
  TempDir dir_;
  std::filesystem::path inbox_[2];
  LogBuffer log_{platform::time::SystemClock(), dir_.path()};
  RecordingObserver seen_;
  RecordingMessageBox box_;
  FrameQueue frame_;
  ipcpeer::PeerProcess sim_[2];
  CIpcComm comm_;
  std::vector<std::unique_ptr<IoFtpRequest>> done_;
  std::vector<std::string> trace_;
};

TEST_F(NodesimFtp, FilesArriveWholePackedOrRawAndTheLoginEndsWhenIdle) {
  ASSERT_TRUE(RunUntil([&] {
    for (const SimSpec& s : kSims) {
      const NodeEntry* n = comm_.FindNode(s.nodeId);
      if (n == nullptr || n->state != NODE_STATE_ONLINE) return false;
    }
    return true;
  }, 30000)) << Log();

  const auto big = Pattern(40000, 3);
  const std::string bigPath = Write("big.bin", big);
  const std::string emptyPath = Write("empty.bin", {});
  // A modification time an hour back, to see it carried.
  struct stat st {};
  ASSERT_EQ(stat(bigPath.c_str(), &st), 0);
  const time_t mtime = (st.st_mtime - 3600) & ~static_cast<time_t>(1);
  const timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, bigPath.c_str(), times, 0), 0);

  const std::string netLog = (dir_.path() / "net.bin").string();
  ASSERT_TRUE(OpenNetLog(netLog.c_str()));
  for (const SimSpec& s : kSims) {
    ASSERT_TRUE(PostIoFtpRequest(Job(s.nodeId, bigPath, "/tmp/install.arm")));
    ASSERT_TRUE(PostIoFtpRequest(Job(s.nodeId, emptyPath, "empty.new")));
  }
  ASSERT_TRUE(RunUntil([&] { return done_.size() == 4; }, 30000)) << Log();
  for (const auto& d : done_) EXPECT_EQ(d->Rcode, 0) << Log();
  CloseNetLog();

  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ReadFile((inbox_[i] / "install.arm").string()), big);
    EXPECT_TRUE(std::filesystem::exists(inbox_[i] / "empty.new"));
    EXPECT_EQ(std::filesystem::file_size(inbox_[i] / "empty.new"), 0u);
    struct stat got {};
    ASSERT_EQ(stat((inbox_[i] / "install.arm").c_str(), &got), 0);
    EXPECT_EQ(got.st_mtime, mtime);
  }
  EXPECT_NE(Log().find("127.0.21.2: File opened for put (compression ok)"), std::string::npos) << Log();
  EXPECT_NE(Log().find("127.0.21.3: File opened for put (compression not supported)"),
            std::string::npos)
      << Log();

  // The network log holds whole records of both directions, each at least
  // a datagram header long, and carried the file's blocks.
  const auto bytes = ReadFile(netLog);
  size_t at = 0, sent = 0, received = 0, payload = 0;
  while (at + 8 <= bytes.size()) {
    const unsigned dir = bytes[at] | bytes[at + 1] << 8;
    const size_t n = bytes[at + 2] | bytes[at + 3] << 8;
    ASSERT_TRUE(dir == 1 || dir == 2) << at;
    ASSERT_GE(n, 46u) << at;
    (dir == 1 ? sent : received) += 1;
    if (dir == 1) payload += n;
    at += 8 + n;
  }
  EXPECT_EQ(at, bytes.size());
  EXPECT_GT(received, 0u);
  EXPECT_GT(sent, 80u);
  EXPECT_GT(payload, big.size());

  // Five seconds without work end both logins.
  ASSERT_TRUE(RunUntil([&] { return !LoggedIn(1) && !LoggedIn(2); }, 20000)) << Log();
  // The simulators' traces, read to their ends.
  for (auto& sim : sim_)
    for (std::string line = sim.ReadLine(200); !line.empty(); line = sim.ReadLine(200))
      trace_.push_back(line);
  int logouts = 0;
  for (const std::string& l : trace_) logouts += l.rfind("ftp logout", 0) == 0;
  EXPECT_EQ(logouts, 2);
  EXPECT_NE(Log().find("127.0.21.2: IOFTP logout complete."), std::string::npos);
  EXPECT_NE(Log().find("127.0.21.3: IOFTP logout complete."), std::string::npos);
}

}  // namespace
