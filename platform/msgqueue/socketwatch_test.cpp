// Socket readiness as messages, on real UDP sockets over loopback.
#include "msgqueue.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace msgq {
namespace {

constexpr int kHangGuardMs = 20000;
constexpr uint32_t kSockMsg = WM_APP + 0x13;

int OpenUdp() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A receiving socket watched by the test and a socket that sends to it.
class UdpPair : public ::testing::Test {
 protected:
  void SetUp() override {
    rx_ = OpenUdp();
    tx_ = OpenUdp();
    ASSERT_GE(rx_, 0);
    ASSERT_GE(tx_, 0);
    ASSERT_TRUE(q_.handle());
  }
  void TearDown() override {
    UnwatchSocket(rx_);
    if (rx_ >= 0) ::close(rx_);
    if (tx_ >= 0) ::close(tx_);
  }

  void Send(int to, int count) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ASSERT_EQ(::getsockname(to, reinterpret_cast<sockaddr*>(&a), &len), 0);
    for (int i = 0; i < count; ++i) {
      char b = static_cast<char>(i);
      ASSERT_EQ(::sendto(tx_, &b, 1, 0, reinterpret_cast<sockaddr*>(&a), len), 1);
    }
  }

  // Waits for a datagram on fd and reads it.
  static bool RecvOne(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kHangGuardMs) != 1) return false;
    char b[64];
    return ::recv(fd, b, sizeof b, 0) > 0;
  }

  static bool Readable0(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }

  static bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, kHangGuardMs) == 1;
  }

  // Waits for the next message, which must be fd's notification.
  void ExpectNotification(int fd) {
    ASSERT_TRUE(WaitMessage(q_.handle(), kHangGuardMs)) << "no notification for " << fd;
    Msg m;
    ASSERT_TRUE(PeekMessage(q_.handle(), &m));
    EXPECT_EQ(m.message, kSockMsg);
    EXPECT_EQ(m.wParam, static_cast<uintptr_t>(fd));
    EXPECT_EQ(m.lParam, FD_READ);
  }

  void ExpectQuiet() {
    Msg m;
    EXPECT_FALSE(PeekMessage(q_.handle(), &m)) << "unexpected message " << m.message;
  }

  Queue q_{TimerMode::Manual};
  int rx_ = -1;
  int tx_ = -1;
};

struct RearmWay {
  const char* name;
  std::function<void(int fd, Handle h)> rearm;
};

void PrintTo(const RearmWay& w, std::ostream* os) { *os << w.name; }

class SocketRearm : public UdpPair, public ::testing::WithParamInterface<RearmWay> {};

TEST_P(SocketRearm, OneNotificationPerArrivalUntilRearmedAndNoneLostWhileQuiet) {
  const auto& rearm = GetParam().rearm;
  ASSERT_TRUE(WatchSocket(rx_, q_.handle(), kSockMsg));
  Send(rx_, 3);
  ExpectNotification(rx_);
  ExpectQuiet();  // two datagrams still unread, but not re-armed yet

  ASSERT_TRUE(RecvOne(rx_));
  rearm(rx_, q_.handle());
  ExpectNotification(rx_);  // the rest arrived while the socket was quiet
  ExpectQuiet();

  ASSERT_TRUE(RecvOne(rx_));
  ASSERT_TRUE(RecvOne(rx_));
  rearm(rx_, q_.handle());
  rearm(rx_, q_.handle());  // re-arming an armed socket adds nothing
  ExpectQuiet();            // everything read: nothing to announce

  Send(rx_, 1);
  ExpectNotification(rx_);
  ExpectQuiet();
}

INSTANTIATE_TEST_SUITE_P(
    Ways, SocketRearm,
    ::testing::Values(RearmWay{"ByDescriptor", [](int fd, Handle) { RearmSocket(fd); }},
                      RearmWay{"AllOfTheQueue", [](int, Handle h) { RearmSockets(h); }}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(UdpPair, NotificationsQueueBehindEarlierPostsAndAheadOfTimers) {
  ASSERT_TRUE(SetTimer(q_.handle(), 1, 100));
  ASSERT_TRUE(FireTimer(q_.handle(), 1));
  ASSERT_TRUE(PostMessage(q_.handle(), WM_APP, 0, 0));
  ASSERT_TRUE(WatchSocket(rx_, q_.handle(), kSockMsg));
  Send(rx_, 1);
  ASSERT_TRUE(Readable(rx_));
  Msg m;
  ASSERT_TRUE(PeekMessage(q_.handle(), &m));
  EXPECT_EQ(m.message, WM_APP);
  ExpectNotification(rx_);
  ASSERT_TRUE(PeekMessage(q_.handle(), &m));
  EXPECT_EQ(m.message, WM_TIMER);
}

TEST_F(UdpPair, ClosedDescriptorIsNotWatchedUnderItsReusedNumber) {
  ASSERT_TRUE(WatchSocket(rx_, q_.handle(), kSockMsg));
  Send(rx_, 1);
  ExpectNotification(rx_);  // now quiet, waiting for a re-arm

  // The socket is closed without being unwatched; the next socket gets its number.
  const int number = rx_;
  ::close(rx_);
  rx_ = OpenUdp();
  ASSERT_EQ(rx_, number) << "descriptor number not reused; the case cannot be built";
  Send(rx_, 1);
  ASSERT_TRUE(Readable(rx_));
  RearmSocket(number);
  RearmSockets(q_.handle());
  ExpectQuiet();  // the new socket's data is not announced by the old watch

  // Watching the new socket works as for any other.
  ASSERT_TRUE(WatchSocket(rx_, q_.handle(), kSockMsg));
  ExpectNotification(rx_);
}

TEST_F(UdpPair, ClosedWhileArmedAnnouncesNothingForTheNewSocket) {
  ASSERT_TRUE(WatchSocket(rx_, q_.handle(), kSockMsg));
  const int number = rx_;
  ::close(rx_);
  rx_ = OpenUdp();
  ASSERT_EQ(rx_, number) << "descriptor number not reused; the case cannot be built";
  Send(rx_, 1);
  ASSERT_TRUE(Readable(rx_));
  ExpectQuiet();
}

TEST_F(UdpPair, UnwatchedSocketStaysQuiet) {
  ASSERT_TRUE(WatchSocket(rx_, q_.handle(), kSockMsg));
  UnwatchSocket(rx_);
  Send(rx_, 1);
  ASSERT_TRUE(Readable(rx_));
  RearmSocket(rx_);
  ExpectQuiet();
}

TEST_F(UdpPair, WatchingOnAnotherQueueMovesTheWatch) {
  Queue other(TimerMode::Manual);
  ASSERT_TRUE(WatchSocket(rx_, q_.handle(), kSockMsg));
  ASSERT_TRUE(WatchSocket(rx_, other.handle(), kSockMsg + 1));
  Send(rx_, 1);
  ASSERT_TRUE(WaitMessage(other.handle(), kHangGuardMs));
  Msg m;
  ASSERT_TRUE(PeekMessage(other.handle(), &m));
  EXPECT_EQ(m.message, kSockMsg + 1);
  EXPECT_EQ(m.wParam, static_cast<uintptr_t>(rx_));
  ExpectQuiet();
}

TEST_F(UdpPair, DestroyedQueueLeavesTheSocketOpenAndUnwatched) {
  {
    Queue gone(TimerMode::Manual);
    ASSERT_TRUE(WatchSocket(rx_, gone.handle(), kSockMsg));
  }
  RearmSocket(rx_);  // no queue behind it any more: nothing happens
  EXPECT_FALSE(WatchSocket(rx_, Handle{}, kSockMsg));
  EXPECT_FALSE(WatchSocket(-1, q_.handle(), kSockMsg));
  ASSERT_TRUE(WatchSocket(rx_, q_.handle(), kSockMsg));  // still a good descriptor
  Send(rx_, 1);
  ExpectNotification(rx_);
}

// The comm loop's pattern: sleep in GetMessage, read the socket dry on each
// notification, re-arm.  Datagrams sent at random moments from another thread
// must all be read, with no tick to fall back on.
TEST_F(UdpPair, LoopThatRearmsAfterReadingMissesNoDatagram) {
  constexpr int kDatagrams = 2000;
  Handle h = q_.handle();
  ASSERT_TRUE(WatchSocket(rx_, h, kSockMsg));
  std::atomic<int> read{0};
  std::atomic<bool> hung{false};
  int notifications = 0;
  std::thread loop([&] {
    while (read < kDatagrams) {
      if (!WaitMessage(h, kHangGuardMs)) {
        hung = true;
        return;
      }
      Msg m;
      if (!PeekMessage(h, &m) || m.message != kSockMsg) continue;
      ++notifications;
      char b[64];
      while (::recv(rx_, b, sizeof b, 0) > 0) ++read;
      RearmSocket(rx_);
    }
  });
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ASSERT_EQ(::getsockname(rx_, reinterpret_cast<sockaddr*>(&a), &len), 0);
  for (int i = 0; i < kDatagrams; ++i) {
    char b = 1;
    // Pace the sender by what was read: a full receive buffer drops datagrams
    // (each costs about a kilobyte of it however small).
    while (i - read > 32 && !hung) std::this_thread::yield();
    if (::sendto(tx_, &b, 1, 0, reinterpret_cast<sockaddr*>(&a), len) != 1) {
      ADD_FAILURE() << "sendto failed";
      break;
    }
  }
  loop.join();
  EXPECT_FALSE(hung) << "read " << read << " of " << kDatagrams << "; socket still readable: "
                     << Readable0(rx_);
  EXPECT_EQ(read, kDatagrams);
  EXPECT_GE(notifications, 1);
  EXPECT_LE(notifications, kDatagrams);
}

}  // namespace
}  // namespace msgq
