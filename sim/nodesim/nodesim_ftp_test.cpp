// The comm thread's IO_FTP client over the real library and loopback
// sockets against two nodesim processes that receive files, one taking
// packed blocks and one only raw ones: the files arrive whole (an empty one
// too) with their modification time, every datagram is in the network log,
// and each login ends after the idle time.
//
// The comm object runs inline on the test thread with its real 100 ms
// timer; the test serves the frame's file reads and closes as the UI thread
// does.  Deadlines are hang guards only.
//
// Also nodesim's IO_FTP server alone, in this process on a library instance
// of its own: requests that are wrong in each of their fields, and the
// status the server answers each with.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "CommInlineHarness.h"
#include "CommTestSupport.h"
#include "FtpServer.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "NetLog.h"
#include "PeerProcess.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "ipcdrhst.h"
#include "ipcinst.h"
#include "platform/time/clock.h"

namespace {

// Addresses of this test and run: 127.4.K.1 (this PC), .2 and .3, so that
// runs side by side (other build trees) do not bind the same sockets.
const uint32_t kNet = RunNetwork(0x7F040000u);
const std::string kPcText = Dotted(kNet | 1), kSimAText = Dotted(kNet | 2),
                  kSimBText = Dotted(kNet | 3);
const char* const kPc = kPcText.c_str();
struct SimSpec {
  uint32_t nodeId;
  const char* addr;
  uint32_t addrValue;
  bool packed;
};
const SimSpec kSims[] = {{1, kSimAText.c_str(), kNet | 2, true},
                         {2, kSimBText.c_str(), kNet | 3, false}};

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
  EXPECT_NE(Log().find(kSimAText + ": File opened for put (compression ok)"), std::string::npos)
      << Log();
  EXPECT_NE(Log().find(kSimBText + ": File opened for put (compression not supported)"),
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
  EXPECT_NE(Log().find(kSimAText + ": IOFTP logout complete."), std::string::npos);
  EXPECT_NE(Log().find(kSimBText + ": IOFTP logout complete."), std::string::npos);
}

// ---- nodesim's IO_FTP server in this process ----

// IO_FTP requests as the PC's client lays them out (offsets from the start
// of the request, header included).
using Request = std::vector<uint8_t>;

Request Short(uint8_t proc, uint8_t handle, uint16_t length = 46) {
  Request r(length, 0);
  r[4] = proc;
  if (length > 17) {
    r[16] = handle;
    r[17] = 1;
  }
  return r;
}
Request Login(const char* user, const char* password, uint16_t length = 46) {
  Request r = Short(1, 0, length);
  if (length < 46) return r;
  r[18] = 0x01;  // 127.0.0.1, host order: not a node the library knows
  r[21] = 0x7F;
  std::memcpy(&r[24], user, std::min<size_t>(strlen(user), 10));
  std::memcpy(&r[34], password, std::min<size_t>(strlen(password), 10));
  return r;
}
Request Open(uint8_t handle, const std::string& name) {
  Request r = Short(3, handle);
  std::memcpy(&r[18], name.data(), std::min<size_t>(name.size(), 28));
  return r;
}
// A raw block carrying `bytes` bytes of 0x5A.
Request Block(uint8_t handle, uint16_t number, uint16_t bytes, uint16_t length = 1242) {
  Request r = Short(4, handle, length);
  if (length < 24) return r;
  r[18] = static_cast<uint8_t>(bytes);
  r[19] = static_cast<uint8_t>(bytes >> 8);
  r[22] = static_cast<uint8_t>(number);
  r[23] = static_cast<uint8_t>(number >> 8);
  std::fill(r.begin() + 24, r.begin() + 24 + std::min<uint16_t>(bytes, 1184), 0x5A);
  return r;
}
// A packed block 1 of `bytes` raw bytes whose boundary table is `bounds`.
Request Packed(uint8_t handle, uint16_t bytes, std::vector<uint16_t> bounds) {
  Request r = Block(handle, 1, 0);
  r[18] = static_cast<uint8_t>(bytes);
  r[19] = static_cast<uint8_t>(bytes >> 8);
  r[20] = 1;
  for (size_t i = 0; i < bounds.size() && i < 17; ++i) {
    r[1208 + 2 * i] = static_cast<uint8_t>(bounds[i]);
    r[1209 + 2 * i] = static_cast<uint8_t>(bounds[i] >> 8);
  }
  return r;
}
Request Close(uint8_t handle) { return Short(8, handle); }
Request Logout(uint8_t handle) { return Short(2, handle); }

class FtpServerInput : public ::testing::Test {
 protected:
  void TearDown() override { StopServer(); }

  // A new server on a library instance of its own, with an event client of
  // this PC on it, receiving into a new directory.
  void StartServer(bool packed) {
    StopServer();
    events_.clear();
    trace_.clear();
    inst_ = ipc::NewInstance();
    scope_ = std::make_unique<ipc::ScopedInstance>(inst_);
    IpcInit();
    inbox_ = dir_.path() / ("inbox" + std::to_string(++servers_));
    std::filesystem::create_directory(inbox_);
    server_ = std::make_unique<nodesim::FtpServer>([this](const std::string& l) { trace_ += l + "\n"; });
    std::string error;
    ASSERT_TRUE(server_->Start({inbox_.string(), packed}, &error)) << error;
    uint8_t h = 0;
    ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_FTP, nodesim::kFtpSvrIndx, &OnEvent, nodesim::kFtpVersion,
                                &h, reinterpret_cast<intptr_t>(this)),
              0);
  }
  void StopServer() {
    if (inst_ == nullptr) return;
    server_.reset();
    IpcTerm();
    scope_.reset();
    ipc::DeleteInstance(inst_);
    inst_ = nullptr;
  }
  // Hands the request to the server as the library does, at an odd address
  // as a message packed into a datagram's slot may lie, and delivers the
  // events it raised.
  void Call(Request r) {
    IpcComProcHdr h{};
    h.length = static_cast<uint16_t>(r.size());
    h.svrType = IPC_SVR_IO_FTP;
    h.svrIndx = nodesim::kFtpSvrIndx;
    h.procId = r[4];
    h.clntHandle = 1;
    h.hostKind = IPC_HOST_KIND_LOCAL;
    h.hostHandle = nodesim::kFtpSvrIndx;
    std::memcpy(h.version, nodesim::kFtpVersion, strlen(nodesim::kFtpVersion));
    r.resize(std::max(r.size(), sizeof h));  // the header is always whole
    std::memcpy(r.data(), &h, sizeof h);
    std::vector<uint8_t> odd(r.size() + 1);
    std::memcpy(odd.data() + 1, r.data(), r.size());
    ipc::IpcSvcDeliver(reinterpret_cast<const IpcComProcHdr*>(odd.data() + 1));
    for (int i = 0; i < 20 && IpcEvntDespatch(); ++i) {
    }
  }
  // What is in the inbox, names sorted, hidden ones too.
  std::string Inbox() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(inbox_))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string s;
    for (const auto& n : names) s += (s.empty() ? "" : " ") + n;
    return s;
  }

  // Events as "code:status", space-separated.
  static void OnEvent(const IpcEvntHdr* e, intptr_t user) {
    auto* self = reinterpret_cast<FtpServerInput*>(user);
    const auto* p = reinterpret_cast<const uint8_t*>(e);
    const int status = e->length >= 22 ? (p[20] | p[21] << 8) : -1;
    self->events_ += (self->events_.empty() ? "" : " ") + std::to_string(e->evntCode) + ":" +
                     std::to_string(status);
  }

  TempDir dir_;
  std::filesystem::path inbox_;
  int servers_ = 0;
  ipc::Instance* inst_ = nullptr;
  std::unique_ptr<ipc::ScopedInstance> scope_;
  std::unique_ptr<nodesim::FtpServer> server_;
  std::string events_;
  std::string trace_;
};

TEST_F(FtpServerInput, EachBadRequestIsRefusedWithItsStatusAndLeavesNoFile) {
  const Request login = Login("UserName", "Tamarind");
  struct Case {
    const char* name;
    std::vector<Request> steps;
    const char* events;  // what the PC is told, in order
    const char* inbox;   // what the directory holds after the steps
    const char* trace;   // a line the server traces, "" for none
    bool packed = true;  // the server accepts packed blocks
  } cases[] = {
      {"a whole raw file", {login, Open(1, "dir/k4znode.new"), Block(1, 1, 100), Block(1, 2, 3), Close(1)},
       "257:0 259:32 264:0", "k4znode.new", "bytes 103 status 0"},
      {"wrong password", {Login("UserName", "tamarind")}, "257:1", "", "user UserName"},
      {"wrong user", {Login("Username", "Tamarind")}, "257:1", "", ""},
      {"login shorter than its fields", {Login("UserName", "Tamarind", 40)}, "", "", "ftp login short 40"},
      {"request shorter than its handle", {login, Short(3, 1, 17)}, "257:0", "", "ftp req 3 short 17"},
      {"unknown login handle", {login, Open(7, "a"), Close(7)}, "257:0", "", "unknown login 7"},
      {"request after the logout", {login, Logout(1), Open(1, "a")}, "257:0 258:0", "", "unknown login 1"},
      {"name \"..\"", {login, Open(1, "..")}, "257:0 259:2", "", ""},
      {"name ending in \"..\"", {login, Open(1, "/tmp/..")}, "257:0 259:2", "", ""},
      {"name ending in a slash", {login, Open(1, "/tmp/")}, "257:0 259:2", "", ""},
      {"empty name", {login, Open(1, "")}, "257:0 259:2", "", ""},
      {"control character in the name", {login, Open(1, "k4z\x01node")}, "257:0 259:2", "", ""},
      {"tab in the name", {login, Open(1, "k4z\tnode")}, "257:0 259:2", "", ""},
      {"close without an open", {login, Close(1)}, "257:0 264:4", "", "close without open"},
      {"block without an open", {login, Block(1, 1, 10)}, "257:0", "", ""},
      {"blocks out of order", {login, Open(1, "f"), Block(1, 2, 10), Block(1, 1, 10), Close(1)},
       "257:0 259:32 264:5", "", "status 5"},
      {"a block repeated", {login, Open(1, "f"), Block(1, 1, 10), Block(1, 1, 10), Close(1)},
       "257:0 259:32 264:5", "", ""},
      {"block number 0", {login, Open(1, "f"), Block(1, 0, 10), Close(1)}, "257:0 259:32 264:5", "", ""},
      {"short block", {login, Open(1, "f"), Block(1, 1, 10, 1000), Close(1)}, "257:0 259:32 264:5", "", ""},
      {"raw count beyond the data bytes", {login, Open(1, "f"), Block(1, 1, 1185), Close(1)},
       "257:0 259:32 264:5", "", ""},
      {"piece ends before it starts", {login, Open(1, "f"), Packed(1, 10, {4, 2}), Close(1)},
       "257:0 259:32 264:5", "", ""},
      {"empty piece", {login, Open(1, "f"), Packed(1, 10, {0, 0}), Close(1)}, "257:0 259:32 264:5", "", ""},
      {"piece beyond the data bytes", {login, Open(1, "f"), Packed(1, 10, {0, 1200}), Close(1)},
       "257:0 259:32 264:5", "", ""},
      {"piece that does not unpack to its count", {login, Open(1, "f"), Packed(1, 300, {0, 8}), Close(1)},
       "257:0 259:32 264:5", "", ""},
      {"raw count beyond sixteen pieces", {login, Open(1, "f"), Packed(1, 4097, {0, 8}), Close(1)},
       "257:0 259:32 264:5", "", ""},
      {"packed block to a raw-only server", {login, Open(1, "f"), Packed(1, 10, {0, 8}), Close(1)},
       "257:0 259:0 264:5", "", "", false},
      {"logout with the file open", {login, Open(1, "f"), Block(1, 1, 10), Logout(1)},
       "257:0 259:32 258:0", "", "ftp logout 1"},
      {"a second open drops the first file", {login, Open(1, "f"), Block(1, 1, 10), Open(1, "g"), Close(1)},
       "257:0 259:32 259:32 264:0", "g", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartServer(c.packed);
    for (const Request& r : c.steps) Call(r);
    EXPECT_EQ(events_, c.events) << trace_;
    EXPECT_EQ(Inbox(), c.inbox) << trace_;
    if (*c.trace != 0) {
      EXPECT_NE(trace_.find(c.trace), std::string::npos) << trace_;
    }
  }
}

}  // namespace
