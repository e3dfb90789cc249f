// Real sockets on loopback.  Ports are taken from the kernel (port 0), so
// the tests can run beside each other and beside anything else.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "net/error.h"
#include "net/posix.h"
#include "test_fds.h"

namespace net {
namespace {

constexpr uint32_t A(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}
constexpr uint32_t kLoop = A(127, 0, 0, 1);

// Opens a non-blocking socket with the given options and binds it.
Socket OpenBound(Backend& b, Endpoint at, bool reuse = false, bool broadcast = false,
                 int* bindError = nullptr) {
  Socket s = kInvalidSocket;
  EXPECT_EQ(b.Open(&s), 0);
  EXPECT_EQ(b.SetNonBlocking(s, true), 0);
  EXPECT_EQ(b.SetOption(s, Option::kReuseAddress, reuse), 0);
  EXPECT_EQ(b.SetOption(s, Option::kBroadcast, broadcast), 0);
  const int e = b.Bind(s, at);
  if (bindError != nullptr) {
    *bindError = e;
  } else {
    EXPECT_EQ(e, 0) << FormatEndpoint(at);
  }
  return s;
}

uint16_t PortOf(Backend& b, Socket s) {
  Endpoint e;
  EXPECT_EQ(b.LocalEndpoint(s, &e), 0);
  return e.port;
}

// Waits (at most a generous guard time) until s is readable.
bool Readable(Socket s, int guardMs = 5000) {
  pollfd p{s, POLLIN, 0};
  return ::poll(&p, 1, guardMs) == 1;
}

// Everything waiting on s, after the datagrams in flight on loopback have
// landed (a send on loopback is queued at the receiver before it returns;
// the poll only guards against a slow machine).
std::vector<RecvResult> Drain(Backend& b, Socket s) {
  std::vector<RecvResult> got;
  char buf[2048];
  for (;;) {
    RecvResult r = b.RecvFrom(s, buf, sizeof buf);
    if (r.error != 0) {
      EXPECT_EQ(r.error, err::kWouldBlock);
      return got;
    }
    got.push_back(r);
  }
}

TEST(PosixBackend, IdleReceiveGivesWouldBlockWithoutWaiting) {
  PosixBackend b;
  Socket s = OpenBound(b, {kLoop, 0});
  char buf[16];
  EXPECT_EQ(b.RecvFrom(s, buf, sizeof buf).error, err::kWouldBlock);
  EXPECT_NE(::fcntl(s, F_GETFL) & O_NONBLOCK, 0);
  // Even a socket left blocking never waits in this layer.
  EXPECT_EQ(b.SetNonBlocking(s, false), 0);
  EXPECT_EQ(b.RecvFrom(s, buf, sizeof buf).error, err::kWouldBlock);
  EXPECT_EQ(b.Close(s), 0);
}

TEST(PosixBackend, OversizeDatagramShowsTrueSizeAndCopiesOnlyTheBuffer) {
  PosixBackend b;
  Socket rx = OpenBound(b, {kLoop, 0});
  Socket tx = OpenBound(b, {kLoop, 0});
  const Endpoint to{kLoop, PortOf(b, rx)};
  std::vector<uint8_t> big(1500);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(b.SendTo(tx, to, big.data(), big.size()).bytes, big.size());
  ASSERT_EQ(b.SendTo(tx, to, "next", 4).bytes, 4u);
  ASSERT_TRUE(Readable(rx));

  uint8_t buf[16 + 8];
  std::memset(buf, 0xEE, sizeof buf);
  RecvResult r = b.RecvFrom(rx, buf, 16);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(r.size, 1500u);
  EXPECT_EQ(r.copied, 16u);
  EXPECT_EQ(std::memcmp(buf, big.data(), 16), 0);
  for (std::size_t i = 16; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0xEE) << "overrun at " << i;
  EXPECT_EQ(r.from, (Endpoint{kLoop, PortOf(b, tx)}));

  // The rest of the oversize datagram is gone; the next one is whole.
  r = b.RecvFrom(rx, buf, 16);
  EXPECT_EQ(r.size, 4u);
  EXPECT_EQ(std::memcmp(buf, "next", 4), 0);
  // A zero-size read consumes a datagram and still tells its size.
  ASSERT_EQ(b.SendTo(tx, to, big.data(), 300).error, 0);
  ASSERT_TRUE(Readable(rx));
  r = b.RecvFrom(rx, nullptr, 0);
  EXPECT_EQ(r.size, 300u);
  EXPECT_EQ(r.copied, 0u);
}

TEST(PosixBackend, BindConflictsFollowReuseAddressOnBothSockets) {
  const struct {
    const char* name;
    uint32_t first, second;
    bool reuseFirst, reuseSecond;
    int expected;
  } cases[] = {
      {"same address, no reuse", kLoop, kLoop, false, false, err::kAddrInUse},
      {"reuse on the first only", kLoop, kLoop, true, false, err::kAddrInUse},
      {"reuse on the second only", kLoop, kLoop, false, true, err::kAddrInUse},
      {"reuse on both", kLoop, kLoop, true, true, 0},
      {"wildcard over specific", kLoop, kAnyAddress, false, false, err::kAddrInUse},
      {"specific over wildcard", kAnyAddress, kLoop, false, false, err::kAddrInUse},
      {"two specific addresses", kLoop, A(127, 0, 0, 2), false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PosixBackend b;
    Socket s1 = OpenBound(b, {c.first, 0}, c.reuseFirst);
    int e = -1;
    Socket s2 = OpenBound(b, {c.second, PortOf(b, s1)}, c.reuseSecond, false, &e);
    EXPECT_EQ(e, c.expected);
    b.Close(s1);
    b.Close(s2);
  }
}

TEST(PosixBackend, FailuresCarryWinsockNumbers) {
  PosixBackend b;
  Socket s = kInvalidSocket;
  ASSERT_EQ(b.Open(&s), 0);
  // TEST-NET-3: no interface has it.
  EXPECT_EQ(b.Bind(s, {A(203, 0, 113, 9), 0}), err::kAddrNotAvail);
  ASSERT_EQ(b.Bind(s, {kLoop, 0}), 0);
  EXPECT_EQ(b.Bind(s, {kLoop, 0}), err::kInvalid);  // bound already
  EXPECT_EQ(b.SendTo(s, {A(127, 255, 255, 255), 9}, "x", 1).error, err::kAccess);  // no broadcast option
  EXPECT_EQ(b.SendTo(s, {kLoop, 0}, "x", 1).error, err::kInvalid);                 // port 0
  std::vector<uint8_t> huge(kMaxDatagram + 1);
  EXPECT_EQ(b.SendTo(s, {kLoop, 9}, huge.data(), huge.size()).error, err::kMessageSize);
  EXPECT_EQ(b.Close(s), 0);
}

// Linux reports an ICMP port-unreachable only to connected sockets; the
// driver's sockets are never connected, so a send to a port nobody is on
// succeeds every time and nothing is reported on receive.
TEST(PosixBackend, SendToClosedPortIsNotReportedOnUnconnectedSockets) {
  PosixBackend b;
  Socket gone = OpenBound(b, {kLoop, 0});
  const uint16_t port = PortOf(b, gone);
  ASSERT_EQ(b.Close(gone), 0);
  Socket s = OpenBound(b, {kLoop, 0});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(b.SendTo(s, {kLoop, port}, "x", 1).error, 0);
  char buf[4];
  EXPECT_EQ(b.RecvFrom(s, buf, sizeof buf).error, err::kWouldBlock);
  b.Close(s);
}

TEST(PosixBackend, ClosesOnlyItsOwnSocketsAndNeverTwice) {
  PosixBackend b;
  Socket s = kInvalidSocket;
  ASSERT_EQ(b.Open(&s), 0);
  ASSERT_EQ(b.Close(s), 0);
  // The number is free again and the next descriptor takes it.
  int pipefd[2];
  ASSERT_EQ(::pipe(pipefd), 0);
  const int other = pipefd[0] == s ? pipefd[0] : pipefd[1];
  EXPECT_EQ(b.Close(s), err::kNotSocket);
  EXPECT_EQ(b.Close(other), err::kNotSocket);
  EXPECT_EQ(b.SendTo(other, {kLoop, 9}, "x", 1).error, err::kNotSocket);
  EXPECT_NE(::fcntl(other, F_GETFD), -1) << "a descriptor the backend does not own was closed";
  ::close(pipefd[0]);
  ::close(pipefd[1]);
}

// On Linux loopback 127.255.255.255 is the broadcast address: it reaches
// sockets bound to the wildcard or to that address, not one bound to
// 127.0.0.1.  127.0.0.255, the /24 broadcast the library computes for an
// own address 127.0.0.x, is an ordinary local address: it reaches one
// socket, the one bound to it ahead of the wildcard.
TEST(PosixBackend, BroadcastOnLoopbackReachesWildcardAndBroadcastBoundSockets) {
  PosixBackend b;
  const uint32_t bcast = A(127, 255, 255, 255);
  const uint32_t subnet = A(127, 0, 0, 255);
  Socket wild = OpenBound(b, {kAnyAddress, 0}, true, true);
  const uint16_t port = PortOf(b, wild);
  Socket atBcast = OpenBound(b, {bcast, port}, true, true);
  Socket atLoop = OpenBound(b, {kLoop, port}, true, true);
  Socket atSubnet = OpenBound(b, {subnet, port}, true, true);
  Socket tx = OpenBound(b, {kLoop, 0}, false, true);

  ASSERT_EQ(b.SendTo(tx, {bcast, port}, "all", 3).error, 0);
  ASSERT_TRUE(Readable(wild));
  ASSERT_TRUE(Readable(atBcast));
  EXPECT_EQ(Drain(b, wild).size(), 1u);
  EXPECT_EQ(Drain(b, atBcast).size(), 1u);
  EXPECT_EQ(Drain(b, atLoop).size(), 0u);
  EXPECT_EQ(Drain(b, atSubnet).size(), 0u);

  ASSERT_EQ(b.SendTo(tx, {subnet, port}, "net", 3).error, 0);
  ASSERT_TRUE(Readable(atSubnet));
  std::vector<RecvResult> got = Drain(b, atSubnet);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].from, (Endpoint{kLoop, PortOf(b, tx)}));
  EXPECT_EQ(Drain(b, wild).size(), 0u);
  EXPECT_EQ(Drain(b, atBcast).size(), 0u);
  for (Socket s : {wild, atBcast, atLoop, atSubnet, tx}) EXPECT_EQ(b.Close(s), 0);
}

// Two lab hosts on 127.0.0.2 and 127.0.0.3, each binding its broadcast
// socket to "the wildcard" on one port, each broadcasting as unicast copies
// to both.
TEST(PosixBackend, LabHostsShareAPortAndHearEachOthersBroadcasts) {
  const uint32_t a2 = A(127, 0, 0, 2), a3 = A(127, 0, 0, 3);
  std::string problems;
  PosixBackend h2(ParseLabConfig("127.0.0.2", "1", "127.0.0.2,127.0.0.3", &problems));
  PosixBackend h3(ParseLabConfig("127.0.0.3", "1", "127.0.0.2,127.0.0.3", &problems));
  ASSERT_EQ(problems, "");
  uint32_t own = 0;
  ASSERT_EQ(h2.OwnAddress(&own), 0);
  EXPECT_EQ(own, a2);

  // A port free on both addresses (the kernel picks it for one).
  Socket s2 = kInvalidSocket, s3 = kInvalidSocket;
  uint16_t port = 0;
  for (int attempt = 0; attempt < 20 && s3 == kInvalidSocket; ++attempt) {
    s2 = OpenBound(h2, {kAnyAddress, 0}, true, true);
    port = PortOf(h2, s2);
    int e = -1;
    Socket t = OpenBound(h3, {kAnyAddress, port}, true, true, &e);
    if (e == 0) {
      s3 = t;
    } else {
      h3.Close(t);
      h2.Close(s2);
    }
  }
  ASSERT_NE(s3, kInvalidSocket);
  Endpoint local;
  ASSERT_EQ(h2.LocalEndpoint(s2, &local), 0);
  EXPECT_EQ(local, (Endpoint{a2, port})) << "the wildcard bind took the own address";
  ASSERT_EQ(h3.LocalEndpoint(s3, &local), 0);
  EXPECT_EQ(local, (Endpoint{a3, port}));

  // Both broadcast forms become copies to both hosts, from the own address.
  for (uint32_t to : {A(127, 0, 0, 255), kLimitedBroadcast}) {
    SCOPED_TRACE(FormatAddress(to));
    const SendResult r = h2.SendTo(s2, {to, port}, "hello", 5);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.bytes, 5u);
    ASSERT_TRUE(Readable(s3));
    ASSERT_TRUE(Readable(s2));
    for (auto [backend, sock] : {std::pair<Backend*, Socket>{&h3, s3}, {&h2, s2}}) {
      const std::vector<RecvResult> got = Drain(*backend, sock);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0].from, (Endpoint{a2, port}));
      EXPECT_EQ(got[0].size, 5u);
    }
  }
  // Without the broadcast option a broadcast is refused, as off the lab.
  Socket plain = OpenBound(h2, {a2, 0});
  EXPECT_EQ(h2.SendTo(plain, {A(127, 0, 0, 255), port}, "no", 2).error, err::kAccess);
  h2.Close(plain);

  // A unicast goes to its host only.
  ASSERT_EQ(h3.SendTo(s3, {a2, port}, "one", 3).error, 0);
  ASSERT_TRUE(Readable(s2));
  EXPECT_EQ(Drain(h2, s2).size(), 1u);
  EXPECT_EQ(Drain(h3, s3).size(), 0u);
  h2.Close(s2);
  h3.Close(s3);
}

TEST(PosixBackend, WithoutLabSettingsWildcardStaysWildcard) {
  PosixBackend b;
  Socket s = OpenBound(b, {kAnyAddress, 0}, true, true);
  Endpoint local;
  ASSERT_EQ(b.LocalEndpoint(s, &local), 0);
  EXPECT_EQ(local.address, kAnyAddress);
  b.Close(s);
}

TEST(PosixBackend, OwnAddressIsTheOverrideOrANonLoopbackInterface) {
  PosixBackend plain;
  uint32_t a = 1;
  const int e = plain.OwnAddress(&a);
  if (e == 0) {
    EXPECT_NE(a >> 24, 127u) << FormatAddress(a);
    EXPECT_NE(a, 0u);
  } else {
    EXPECT_EQ(e, err::kHostNotFound);
    EXPECT_EQ(a, 0u);
  }
  PosixBackend lab(LabConfig{A(127, 0, 0, 9), false, {}});
  ASSERT_EQ(lab.OwnAddress(&a), 0);
  EXPECT_EQ(a, A(127, 0, 0, 9));
  std::string name;
  EXPECT_EQ(lab.HostName(&name), 0);
  EXPECT_FALSE(name.empty());
}

TEST(PosixBackend, DescriptorCountReturnsAfterClosingEverything) {
  const std::size_t before = OpenDescriptorCount();
  {
    PosixBackend b;
    std::vector<Socket> open;
    for (int i = 0; i < 100; ++i) {
      Socket s = kInvalidSocket;
      ASSERT_EQ(b.Open(&s), 0);
      open.push_back(s);
    }
    ASSERT_EQ(b.Bind(open[0], {kLoop, 0}), 0);
    ASSERT_EQ(b.SendTo(open[1], {kLoop, PortOf(b, open[0])}, "x", 1).error, 0);
    for (std::size_t i = 0; i < 60; ++i) EXPECT_EQ(b.Close(open[i]), 0);
    EXPECT_EQ(b.OpenCount(), 40u);
    // The other 40 go with the backend.
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
}  // namespace net
