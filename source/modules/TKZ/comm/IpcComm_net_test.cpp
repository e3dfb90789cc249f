// The comm thread over the real library and a real socket: a datagram that
// reaches this PC's port 2510 while the loop sleeps is read by the library
// at once (the timers are manual, so no tick can be what reads it), and the
// library's report on the junk reaches the log through IpcAssert.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <mutex>

#include "CommInlineHarness.h"
#include "CommTestSupport.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "TestSupport.h"
#include "ipctcpip.h"
#include "net/posix.h"
#include "platform/time/fake_clock.h"

namespace {

// This suite's own lab address, so that it runs beside the library's
// real-socket tests, and this run's own (127.5.K.45), so that it runs beside
// another run of itself (another checkout's suite on the same machine).
const uint32_t kOwn = RunNetwork(0x7F050000u) | 45;
constexpr uint16_t kNode0Port = 2510;

std::mutex g_mu;
std::condition_variable g_cv;
int g_received = 0;
int g_polls = 0;

// The test's datagrams that the library reads, counted on their way to the network log.
void CountingHook(int direction, uint16_t length, const void* datagram) {
  static const uint8_t kJunk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  if (direction == IPC_DEBUG_DIR_RECV && length == sizeof kJunk &&
      std::memcmp(datagram, kJunk, sizeof kJunk) == 0) {
    std::lock_guard lk(g_mu);
    ++g_received;
    g_cv.notify_all();
  }
  NetLogDebugHook(direction, length, datagram);
}

class CountingLibrary : public TessioLibrary {
 public:
  DebugHook InstallDebugHook(DebugHook) override { return TessioLibrary::InstallDebugHook(CountingHook); }
  // The last call of each poll: after it the loop goes to sleep.
  void DirectLinkTick() override {
    TessioLibrary::DirectLinkTick();
    std::lock_guard lk(g_mu);
    ++g_polls;
    g_cv.notify_all();
  }
};

TEST(CommOverTheLibrary, ADatagramArrivingWhileTheLoopSleepsIsReadWithoutATickAndReported) {
  {
    std::lock_guard lk(g_mu);
    g_received = 0;
    g_polls = 0;
  }
  FlagGuard flags;
  TempDir dir;
  platform::time::FakeClock clock;
  LogBuffer log(clock, dir.path());
  net::LabConfig lab;
  lab.ownAddress = kOwn;
  lab.bindWildcardToOwn = true;
  net::PosixBackend posix(lab);
  ipc::IpcTcpIpBackendSet(&posix);
  CountingLibrary lib;
  RecordingMessageBox box;
  FrameQueue frame;
  {
    CIpcComm comm;
    comm.SetPorts({&lib, &clock, &posix, &box, msgq::TimerMode::Manual});
    ASSERT_TRUE(comm.Start());
    ASSERT_EQ(comm.OwnAddress(), kOwn);

    // Sent from an address and port of its own, which the report names.
    int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(tx, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(kOwn + 1);
    ASSERT_EQ(::bind(tx, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    socklen_t fromLen = sizeof from;
    ASSERT_EQ(::getsockname(tx, reinterpret_cast<sockaddr*>(&from), &fromLen), 0);
    const std::string sender =
        net::FormatEndpoint(net::Endpoint{kOwn + 1, ntohs(from.sin_port)});
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(kOwn);
    to.sin_port = htons(kNode0Port);
    int before;
    {
      // Sent once the first poll is over: only a wake can get it read.
      std::unique_lock lk(g_mu);
      ASSERT_TRUE(g_cv.wait_for(lk, std::chrono::seconds(20), [] { return g_polls >= 1; }));
      before = g_received;
    }
    const char junk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(::sendto(tx, junk, sizeof junk, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(sizeof junk));
    ::close(tx);
    {
      std::unique_lock lk(g_mu);
      EXPECT_TRUE(g_cv.wait_for(lk, std::chrono::seconds(20), [&] { return g_received > before; }))
          << "the library's socket did not wake the loop";
    }
    comm.Stop();
    // The library refused the junk and said so through its log server,
    // whose events reach the log as IpcAssert lines.
    log.OnDrainQueue();
    int reports = 0, errors = 0;
    for (const std::string& l : log.Lines()) {
      reports += l.find("IpcAssert: file: ipcnet, line: ") != std::string::npos &&
                 l.find(", from " + sender) != std::string::npos;
      errors += l.find("Error: ") != std::string::npos;
    }
    EXPECT_GE(reports, 1);
    EXPECT_EQ(errors, 0) << "a clean start";
    EXPECT_GE(comm.SocketMessages(), 1u);
    EXPECT_EQ(comm.TimerMessages(), 0u);
  }
  IpcTerm();
  InstallDebugHook(nullptr);
  InstallSocketOpenHook(nullptr);
  ipc::IpcTcpIpBackendSet(nullptr);
}

}  // namespace
