// The comm thread as a real thread: start-up handshake, synchronous calls,
// shutdown and join, and a datagram waking the sleeping loop.  Timers are
// manual, so nothing here depends on how fast the machine is; the waits
// have generous deadlines only as guards against a hang.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CommTestSupport.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "platform/time/fake_clock.h"

namespace {

constexpr uint32_t kLabAddress = 0x7F000005;
constexpr auto kHangGuard = std::chrono::seconds(20);

class CommThread : public ::testing::Test {
 protected:
  CommThread() : log_(clock_, dir_.path()), identity_("labhost", kLabAddress) {
    g_bTimeStampLog = false;
    g_bIpcCommDebug = true;
    log_.AddObserver(&seen_);
    comm_ = std::make_unique<CIpcComm>();
    comm_->SetPorts({&lib_, &clock_, &identity_, &box_, msgq::TimerMode::Manual});
  }
  ~CommThread() override { comm_.reset(); }

  // What the UI thread does on the log's drain message.
  std::vector<std::string> Lines() {
    log_.OnDrainQueue();
    return seen_.lines();
  }
  bool Logged(const std::string& line) {
    for (const std::string& l : Lines())
      if (l == line) return true;
    return false;
  }

  FlagGuard flags_;
  TempDir dir_;
  platform::time::FakeClock clock_;
  LogBuffer log_;
  RecordingObserver seen_;
  FakeCommLibrary lib_;
  FakeIdentity identity_;
  RecordingMessageBox box_;
  FrameQueue frame_;
  std::unique_ptr<CIpcComm> comm_;
};

TEST_F(CommThread, StartReturnsOnlyOnceTheLibraryIsStartedTheLineLoggedAndTheTimerRunning) {
  ASSERT_TRUE(comm_->Start());
  // Everything below was done by the comm thread before Start returned.
  const std::vector<std::string> calls = lib_.Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front(), "InstallDebugHook");
  EXPECT_EQ(calls.back(), "IpcGetMaxNetNodeIndx");
  EXPECT_EQ(calls.size(), 12u);
  EXPECT_TRUE(g_hCommWnd.load());
  EXPECT_TRUE(msgq::FireTimer(g_hCommWnd.load(), CIpcComm::kTimerId)) << "timer set before Start returned";
  EXPECT_TRUE(Logged("IPC DLL supports 100 connections"));
  EXPECT_TRUE(comm_->IsThreadRunning());
  EXPECT_FALSE(comm_->Start()) << "one thread at a time";

  comm_->Stop();
  EXPECT_FALSE(comm_->IsThreadRunning());
  EXPECT_FALSE(g_hCommWnd.load());
  EXPECT_FALSE(PostCommShutdown()) << "nobody takes posts any more";
}

TEST_F(CommThread, SynchronousCallsReturnWithTheirEffectDoneAndTheDescriptorReusable) {
  ASSERT_TRUE(comm_->Start());
  constexpr uint32_t kNodes = 100;  // as many as there are client ids
  NodeDesc node;  // one descriptor on this stack, reused for every call
  RackDesc rack;
  ASSERT_TRUE(comm_->CommLoadPhase(LOAD_PHASE_BEGIN | LOAD_PHASE_RACKS | LOAD_PHASE_NODES));
  for (uint32_t id = 1; id <= kNodes; ++id) {
    node = NodeDesc{id, 0x0A000000u + id, nullptr, {static_cast<uint8_t>(id & 1), 0, 1, 0, 0, 0}};
    ASSERT_TRUE(comm_->CommAddNode(&node));
    // Scribble over it at once: the comm thread must be done with it.
    node = NodeDesc{0xDEAD, 0xDEAD, nullptr, {9, 9, 9, 9, 9, 9}};
    const NodeEntry* entry = comm_->FindNode(id);
    ASSERT_NE(entry, nullptr) << id;
    EXPECT_EQ(entry->address, 0x0A000000u + id);
    EXPECT_EQ(entry->ports[0].flags & PORT_FLAG_CONFIGURED, (id & 1) ? PORT_FLAG_CONFIGURED : 0);
    EXPECT_EQ(entry->ports[2].flags & PORT_FLAG_CONFIGURED, PORT_FLAG_CONFIGURED);

    rack = RackDesc{id, id + 56, 2};
    ASSERT_TRUE(comm_->CommAddRack(&rack));
    rack = RackDesc{0xDEAD, 0, 9};
    ASSERT_NE(comm_->FindRack(id + 56), nullptr);
    EXPECT_EQ(comm_->FindRack(id + 56)->nodeId, id);
  }
  ASSERT_TRUE(comm_->CommLoadPhase(LOAD_PHASE_RACKS | LOAD_PHASE_NODES | LOAD_PHASE_END));
  EXPECT_EQ(comm_->NodeCount(), kNodes);
  EXPECT_EQ(comm_->FindNode(0xDEAD), nullptr);
  EXPECT_EQ(comm_->RackCount(), kNodes);
}

TEST_F(CommThread, SynchronousCallsReturnAtOnceWhenTheLoopIsNotRunning) {
  NodeDesc node{1, kLabAddress, nullptr, {}};
  RackDesc rack{1, 1, 0};
  EXPECT_FALSE(comm_->CommAddNode(&node)) << "before Start";

  ASSERT_TRUE(comm_->Start());
  ASSERT_TRUE(PostCommShutdown());
  ASSERT_TRUE(msgq::FireTimer(g_hCommWnd.load(), CIpcComm::kTimerId));
  msgq::Msg m;
  ASSERT_TRUE(frame_.Next(&m));
  ASSERT_EQ(m.message, WM_DOC_COMM_STOPPED);
  // The loop has ended (or is ending); neither call may wait for ever.
  EXPECT_FALSE(comm_->CommLoadPhase(LOAD_PHASE_BEGIN));
  EXPECT_FALSE(comm_->CommAddRack(&rack));
  EXPECT_TRUE(comm_->Join());
  EXPECT_FALSE(comm_->CommAddNode(&node)) << "after Join";
}

TEST_F(CommThread, ShutdownPostsCommStoppedTheThreadIsJoinedAndTheUiThreadClosesTheDayFile) {
  log_.ApplyLogToDisk(true);
  LogPrintf("before shutdown\n");
  ASSERT_TRUE(log_.DayFileOpen());
  const auto dayFile = log_.DayFilePath(clock_.Local().weekday);

  ASSERT_TRUE(comm_->Start());
  NodeDesc node{3, 0x7F000003, nullptr, {1, 0, 0, 0, 0, 0}};
  ASSERT_TRUE(comm_->CommAddNode(&node));
  ASSERT_TRUE(PostCommShutdown());
  // Posts come before timers, so the tick sees the shutdown.
  ASSERT_TRUE(msgq::FireTimer(g_hCommWnd.load(), CIpcComm::kTimerId));
  msgq::Msg m;
  ASSERT_TRUE(frame_.Next(&m));
  EXPECT_EQ(m.message, WM_DOC_COMM_STOPPED);
  EXPECT_TRUE(comm_->Join());
  EXPECT_FALSE(comm_->IsThreadRunning());
  EXPECT_EQ(comm_->Flags(), 0u);

  // The comm thread only asked for the switch: the file is still open here
  // and closes when the UI thread drains, after the lines before it.
  EXPECT_TRUE(g_bDiskLogActive.load());
  EXPECT_TRUE(log_.DayFileOpen());
  log_.OnDrainQueue();
  EXPECT_FALSE(g_bDiskLogActive.load());
  EXPECT_FALSE(log_.DayFileOpen());
  const std::string text = ReadFile(dayFile);
  EXPECT_NE(text.find("Shutting down communications, please wait.\n"), std::string::npos);
  EXPECT_NE(text.find("Closing log file...\n"), std::string::npos);
}

TEST_F(CommThread, StopAfterStartEndsAndJoinsTheThreadAndReturnsWhatWasQueued) {
  ASSERT_TRUE(comm_->Start());
  for (int i = 0; i < 50; ++i) {
    RackMsg* msg = AllocRackMsg();
    msg->Rack = 1 + i;
    msg->delay = 3600;
    ASSERT_TRUE(PostDelayMsg(msg));
  }
  comm_->Stop();  // as when the document's open fails after Start
  EXPECT_FALSE(comm_->IsThreadRunning());
  comm_.reset();  // the delay queue is freed with the object
  // Whatever the loop did not take came back to the frame; nothing leaks
  // (the sanitizer builds check).
  for (const msgq::Msg& m : frame_.TakeAll()) FrameQueue::Free(m);
}

TEST_F(CommThread, SentMessagesAreFollowedByAPollAndNoneByTwo) {
  ASSERT_TRUE(comm_->Start());
  constexpr int kMessages = 20;
  for (int i = 0; i < kMessages; ++i) {
    RackMsg* msg = AllocRackMsg();
    msg->Rack = 9;  // no such rack: it comes back at once
    ASSERT_TRUE(SendRackMsg(msg));
  }
  comm_->Stop();
  // The loop's first poll (unless the messages were waiting already), then
  // one after each message, or after each run of messages that were
  // waiting together; never two after one message.
  EXPECT_GE(comm_->Polls(), 1u);
  EXPECT_LE(comm_->Polls(), 1u + kMessages);
  const std::vector<msgq::Msg> back = frame_.TakeAll();
  EXPECT_EQ(back.size(), static_cast<size_t>(kMessages));
  for (const msgq::Msg& m : back) {
    ASSERT_EQ(m.message, WM_DOC_MSG_DONE);
    EXPECT_EQ(reinterpret_cast<RackMsg*>(m.lParam)->Rcode, RC_NO_NODE_FOR_RACK);
    FrameQueue::Free(m);
  }
}

// A UDP socket that the fake library opens in IpcInit and reads in its tick,
// as the socket driver does.
class SocketLibrary : public FakeCommLibrary {
 public:
  SocketLibrary() {
    onInit = [this] {
      fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
      socklen_t len = sizeof a;
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
      port_.store(ntohs(a.sin_port));
      if (SocketOpenHook hook = socketHook()) hook(static_cast<IpcSocket>(fd_));
    };
    onTick = [this] {
      char b;
      while (::recv(fd_, &b, 1, 0) == 1) {
        std::lock_guard lk(m_);
        ++received_;
        cv_.notify_all();
      }
    };
  }
  ~SocketLibrary() override {
    if (fd_ >= 0) ::close(fd_);
  }
  uint16_t port() const { return port_.load(); }
  // Waits until n datagrams were read and n + 1 polls have run to their
  // end, so that the loop has read everything and is going to sleep.
  bool WaitReadAndPolled(int n) {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, kHangGuard, [&] { return received_ >= n && polls_ >= n + 1; });
  }
  // The last call of each poll.
  void DirectLinkTick() override {
    std::lock_guard lk(m_);
    ++polls_;
    cv_.notify_all();
  }

 private:
  int fd_ = -1;
  std::atomic<uint16_t> port_{0};
  std::mutex m_;
  std::condition_variable cv_;
  int received_ = 0;
  int polls_ = 0;
};

TEST(CommThreadSocket, ADatagramWakesTheSleepingLoopOncePerArrival) {
  FlagGuard flags;
  TempDir dir;
  platform::time::FakeClock clock;
  LogBuffer log(clock, dir.path());
  SocketLibrary lib;
  FakeIdentity identity("labhost", kLabAddress);
  RecordingMessageBox box;
  FrameQueue frame;
  CIpcComm comm;
  // Manual timers: the loop never ticks, only a socket can wake it.
  comm.SetPorts({&lib, &clock, &identity, &box, msgq::TimerMode::Manual});
  ASSERT_TRUE(comm.Start());
  ASSERT_NE(lib.port(), 0);

  int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(tx, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(lib.port());
  ASSERT_TRUE(lib.WaitReadAndPolled(0));
  for (int i = 1; i <= 3; ++i) {
    // Sent after the loop's last read: only a notification can get it read.
    const char b = static_cast<char>(i);
    ASSERT_EQ(::sendto(tx, &b, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 1);
    ASSERT_TRUE(lib.WaitReadAndPolled(i))
        << "datagram " << i << " never read: the socket was not watched or not re-armed";
  }
  ::close(tx);
  comm.Stop();
  EXPECT_EQ(comm.SocketMessages(), 3u) << "one notification per arrival";
  EXPECT_EQ(comm.TimerMessages(), 0u);
}

}  // namespace
