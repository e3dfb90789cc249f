#include <poll.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/error.h"
#include "net/hub.h"
#include "test_fds.h"

namespace net {
namespace {

constexpr uint32_t A(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}
constexpr uint32_t kH1 = A(10, 0, 0, 1), kH2 = A(10, 0, 0, 2), kH3 = A(10, 0, 0, 3);
constexpr uint32_t kFar = A(10, 0, 1, 4);  // another subnet on the same segment
constexpr uint32_t kSubnetBcast = A(10, 0, 0, 255);
constexpr uint16_t kPort = 2510;

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Four hosts on one hub: three on 10.0.0.0/24, one on 10.0.1.0/24.
class HubFixture : public ::testing::Test {
 protected:
  HubFixture() {
    hosts[kH1] = hub.AddHost(kH1, "one");
    hosts[kH2] = hub.AddHost(kH2);
    hosts[kH3] = hub.AddHost(kH3);
    hosts[kFar] = hub.AddHost(kFar);
  }

  Backend& H(uint32_t a) { return *hosts.at(a); }

  Socket Open(uint32_t host, Endpoint at, bool reuse = true, bool broadcast = true) {
    Socket s = kInvalidSocket;
    EXPECT_EQ(H(host).Open(&s), 0);
    EXPECT_EQ(H(host).SetNonBlocking(s, true), 0);
    EXPECT_EQ(H(host).SetOption(s, Option::kReuseAddress, reuse), 0);
    EXPECT_EQ(H(host).SetOption(s, Option::kBroadcast, broadcast), 0);
    EXPECT_EQ(H(host).Bind(s, at), 0) << FormatEndpoint(at);
    return s;
  }

  std::vector<std::string> Take(uint32_t host, Socket s) {
    std::vector<std::string> got;
    char buf[256];
    for (;;) {
      const RecvResult r = H(host).RecvFrom(s, buf, sizeof buf);
      if (r.error == err::kWouldBlock) return got;
      EXPECT_EQ(r.error, 0);
      got.emplace_back(buf, r.copied);
    }
  }

  Hub hub;
  std::map<uint32_t, std::unique_ptr<Backend>> hosts;
};

TEST_F(HubFixture, DeliveryFollowsLinuxRules) {
  struct Sock {
    uint32_t host;
    uint32_t bind;
    uint16_t port;
  };
  const struct {
    const char* name;
    std::vector<Sock> socks;  // bound in this order
    uint32_t to;
    std::vector<int> receivers;  // indexes into socks
    Fate fate;
  } cases[] = {
      {"unicast reaches the wildcard", {{kH2, kAnyAddress, kPort}}, kH2, {0}, Fate::kDelivered},
      {"specific bound first beats the wildcard",
       {{kH2, kH2, kPort}, {kH2, kAnyAddress, kPort}}, kH2, {0}, Fate::kDelivered},
      {"specific bound last beats the wildcard",
       {{kH2, kAnyAddress, kPort}, {kH2, kH2, kPort}}, kH2, {1}, Fate::kDelivered},
      {"among equals the last bound wins",
       {{kH2, kAnyAddress, kPort}, {kH2, kAnyAddress, kPort}}, kH2, {1}, Fate::kDelivered},
      {"unicast only to the destination host",
       {{kH2, kAnyAddress, kPort}, {kH3, kAnyAddress, kPort}}, kH3, {1}, Fate::kDelivered},
      {"a broadcast-bound socket takes no unicast",
       {{kH2, kSubnetBcast, kPort}}, kH2, {}, Fate::kNoSocket},
      {"other port", {{kH2, kAnyAddress, kPort + 1}}, kH2, {}, Fate::kNoSocket},
      {"no such host", {{kH2, kAnyAddress, kPort}}, A(10, 0, 0, 77), {}, Fate::kNoHost},
      {"limited broadcast: every host, the sender's own too, wildcard or 255.255.255.255",
       {{kH1, kAnyAddress, kPort}, {kH2, kAnyAddress, kPort}, {kH2, kLimitedBroadcast, kPort},
        {kH2, kH2, kPort}, {kH3, kSubnetBcast, kPort}, {kFar, kAnyAddress, kPort},
        {kH3, kAnyAddress, kPort + 1}},
       kLimitedBroadcast, {0, 1, 2, 5}, Fate::kDelivered},
      {"subnet broadcast: the subnet's hosts, wildcard or that address",
       {{kH1, kAnyAddress, kPort}, {kH2, kAnyAddress, kPort}, {kH2, kLimitedBroadcast, kPort},
        {kH2, kH2, kPort}, {kH3, kSubnetBcast, kPort}, {kFar, kAnyAddress, kPort}},
       kSubnetBcast, {0, 1, 4}, Fate::kDelivered},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Socket> socks;
    for (const Sock& s : c.socks) socks.push_back(Open(s.host, {s.bind, s.port}));
    Socket tx = Open(kH1, {kH1, 4000});
    hub.ClearRecords();
    ASSERT_EQ(H(kH1).SendTo(tx, {c.to, kPort}, "d", 1).error, 0);
    for (std::size_t i = 0; i < socks.size(); ++i) {
      const bool expected = std::find(c.receivers.begin(), c.receivers.end(), static_cast<int>(i)) !=
                            c.receivers.end();
      EXPECT_EQ(Take(c.socks[i].host, socks[i]).size(), expected ? 1u : 0u) << "socket " << i;
    }
    const std::vector<Record> rec = hub.Records();
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec[0].fate, c.fate) << FateName(rec[0].fate);
    EXPECT_EQ(rec[0].deliveries, c.receivers.size());
    for (std::size_t i = 0; i < socks.size(); ++i) EXPECT_EQ(H(c.socks[i].host).Close(socks[i]), 0);
    EXPECT_EQ(H(kH1).Close(tx), 0);
  }
}

TEST_F(HubFixture, BindRulesMatchLinux) {
  const struct {
    const char* name;
    uint32_t first, second;
    bool reuseFirst, reuseSecond;
    int expected;
  } cases[] = {
      {"same address, no reuse", kH2, kH2, false, false, err::kAddrInUse},
      {"reuse on one side only", kH2, kH2, true, false, err::kAddrInUse},
      {"reuse on the other side only", kAnyAddress, kAnyAddress, false, true, err::kAddrInUse},
      {"reuse on both", kAnyAddress, kAnyAddress, true, true, 0},
      {"wildcard over specific", kH2, kAnyAddress, false, false, err::kAddrInUse},
      {"specific next to broadcast address", kH2, kSubnetBcast, false, false, 0},
      {"not the host's address", kAnyAddress, kH3, false, false, err::kAddrNotAvail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Backend& b = H(kH2);
    Socket s1 = Open(kH2, {c.first, 7000}, c.reuseFirst);
    Socket s2 = kInvalidSocket;
    ASSERT_EQ(b.Open(&s2), 0);
    b.SetOption(s2, Option::kReuseAddress, c.reuseSecond);
    EXPECT_EQ(b.Bind(s2, {c.second, 7000}), c.expected);
    b.Close(s1);
    b.Close(s2);
  }
  // A bound socket cannot be bound again; a port is shared only per host.
  Socket s = Open(kH2, {kAnyAddress, 7001}, false);
  EXPECT_EQ(H(kH2).Bind(s, {kAnyAddress, 7002}), err::kInvalid);
  Socket other = Open(kH3, {kAnyAddress, 7001}, false);
  H(kH2).Close(s);
  H(kH3).Close(other);
}

TEST_F(HubFixture, SendFailuresAndAutomaticBind) {
  Backend& b = H(kH1);
  Socket s = kInvalidSocket;
  ASSERT_EQ(b.Open(&s), 0);
  EXPECT_EQ(b.SendTo(s, {kSubnetBcast, kPort}, "x", 1).error, err::kAccess);
  EXPECT_EQ(b.SendTo(s, {kLimitedBroadcast, kPort}, "x", 1).error, err::kAccess);
  EXPECT_EQ(b.SendTo(s, {kH2, 0}, "x", 1).error, err::kInvalid);
  std::vector<uint8_t> huge(kMaxDatagram + 1);
  EXPECT_EQ(b.SendTo(s, {kH2, kPort}, huge.data(), huge.size()).error, err::kMessageSize);
  EXPECT_TRUE(hub.Records().empty()) << "a refused send is not on the wire";

  // The first send binds the socket to the wildcard and a free port; the
  // receiver sees the host's address.
  Socket rx = Open(kH2, {kAnyAddress, kPort});
  ASSERT_EQ(b.SendTo(s, {kH2, kPort}, "hi", 2).bytes, 2u);
  Endpoint local;
  ASSERT_EQ(b.LocalEndpoint(s, &local), 0);
  EXPECT_EQ(local.address, kAnyAddress);
  EXPECT_GE(local.port, 32768);
  char buf[8];
  const RecvResult r = H(kH2).RecvFrom(rx, buf, sizeof buf);
  EXPECT_EQ(r.from, (Endpoint{kH1, local.port}));

  // Sockets are the opening host's only.
  EXPECT_EQ(H(kH2).SendTo(s, {kH2, kPort}, "x", 1).error, err::kNotSocket);
  EXPECT_EQ(H(kH2).Close(s), err::kNotSocket);
  EXPECT_EQ(b.Close(s), 0);
  EXPECT_EQ(b.Close(s), err::kNotSocket);
  EXPECT_EQ(b.SendTo(s, {kH2, kPort}, "x", 1).error, err::kNotSocket);
  EXPECT_EQ(b.RecvFrom(s, buf, sizeof buf).error, err::kNotSocket);
  H(kH2).Close(rx);
}

TEST_F(HubFixture, OversizeDatagramShowsTrueSize) {
  Socket rx = Open(kH2, {kAnyAddress, kPort});
  Socket tx = Open(kH1, {kAnyAddress, kPort});
  const std::vector<uint8_t> big(1000, 0x5A);
  ASSERT_EQ(H(kH1).SendTo(tx, {kH2, kPort}, big.data(), big.size()).error, 0);
  uint8_t buf[12] = {};
  const RecvResult r = H(kH2).RecvFrom(rx, buf, 10);
  EXPECT_EQ(r.size, 1000u);
  EXPECT_EQ(r.copied, 10u);
  EXPECT_EQ(buf[9], 0x5A);
  EXPECT_EQ(buf[10], 0);
  EXPECT_EQ(H(kH2).RecvFrom(rx, buf, 10).error, err::kWouldBlock);
}

// The fates of n datagrams from h1 to h2 under the given faults and seed,
// and how many copies arrived.
std::pair<std::vector<Fate>, std::size_t> RunFaults(uint64_t seed, const Faults& f, int n) {
  Hub hub;
  auto h1 = hub.AddHost(kH1);
  auto h2 = hub.AddHost(kH2);
  Socket tx = kInvalidSocket, rx = kInvalidSocket;
  h1->Open(&tx);
  h2->Open(&rx);
  h2->Bind(rx, {kAnyAddress, kPort});
  hub.SetFaults(seed, f);
  hub.SetQueueLimit(2 * static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) h1->SendTo(tx, {kH2, kPort}, &i, sizeof i);
  hub.Advance(f.maxDelay);
  std::size_t arrived = 0;
  int v;
  while (h2->RecvFrom(rx, &v, sizeof v).error == 0) ++arrived;
  std::vector<Fate> fates;
  for (const Record& r : hub.Records()) fates.push_back(r.fate);
  return {fates, arrived};
}

TEST(Hub, SeededLossAndDuplicationAreReproducibleFromTheSeed) {
  const Faults f{200000, 100000, 0, 0};  // 20 % lost, 10 % doubled
  const auto [first, arrived] = RunFaults(42, f, 1000);
  const auto again = RunFaults(42, f, 1000);
  const auto other = RunFaults(43, f, 1000);
  EXPECT_EQ(first, again.first);
  EXPECT_EQ(arrived, again.second);
  EXPECT_NE(first, other.first);

  std::map<Fate, int> count;
  for (Fate x : first) ++count[x];
  EXPECT_GT(count[Fate::kDropped], 150);
  EXPECT_LT(count[Fate::kDropped], 250);
  EXPECT_GT(count[Fate::kDuplicated], 50);
  EXPECT_LT(count[Fate::kDuplicated], 130);
  EXPECT_EQ(count[Fate::kDropped] + count[Fate::kDuplicated] + count[Fate::kDelivered], 1000);
  // Every copy that went out arrived.
  EXPECT_EQ(arrived, static_cast<std::size_t>(count[Fate::kDelivered] + 2 * count[Fate::kDuplicated]));
  // No faults: all arrive.
  EXPECT_EQ(RunFaults(42, Faults{}, 50).second, 50u);
}

TEST_F(HubFixture, DelaysRunOnVirtualTimeAndReorder) {
  Socket rx = Open(kH2, {kAnyAddress, kPort});
  Socket tx = Open(kH1, {kAnyAddress, kPort});
  hub.SetFaults(7, Faults{0, 0, 10, 50});
  for (int i = 0; i < 20; ++i) H(kH1).SendTo(tx, {kH2, kPort}, &i, sizeof i);
  EXPECT_EQ(hub.InFlight(), 20u);
  std::vector<int> order;
  for (uint64_t t = 0; t < 50; ++t) {
    const std::size_t handled = hub.Advance(t == 0 ? 0 : 1);
    if (t < 10) {
      EXPECT_EQ(handled, 0u) << "arrived before its earliest time";
    }
    int v;
    while (H(kH2).RecvFrom(rx, &v, sizeof v).error == 0) order.push_back(v);
  }
  EXPECT_EQ(hub.Now(), 49u);
  hub.Advance(1);
  int v;
  while (H(kH2).RecvFrom(rx, &v, sizeof v).error == 0) order.push_back(v);
  EXPECT_EQ(hub.InFlight(), 0u);
  ASSERT_EQ(order.size(), 20u);
  EXPECT_FALSE(std::is_sorted(order.begin(), order.end())) << "no reordering with delays 10..50";
  for (const Record& r : hub.Records()) {
    EXPECT_EQ(r.fate, Fate::kDelivered);
    EXPECT_GE(r.arrivedAt - r.sentAt, 10u);
    EXPECT_LE(r.arrivedAt - r.sentAt, 50u);
  }
}

TEST_F(HubFixture, RuleCanHoldOneDatagramBehindTheNext) {
  Socket rx = Open(kH2, {kAnyAddress, kPort});
  Socket tx = Open(kH1, {kAnyAddress, kPort});
  hub.SetRule([](const Record& d, Rng&) {
    Decision x;
    if (d.seq == 0) x.delay = 10;
    if (d.seq == 2) x.drop = true;
    if (d.seq == 3) {
      x.duplicate = true;
      x.duplicateDelay = 5;
    }
    return x;
  });
  for (const char* m : {"a", "b", "c", "d"}) H(kH1).SendTo(tx, {kH2, kPort}, m, 1);
  EXPECT_EQ(Take(kH2, rx), (std::vector<std::string>{"b", "d"}));
  hub.Advance(5);
  EXPECT_EQ(Take(kH2, rx), (std::vector<std::string>{"d"}));
  hub.Advance(4);
  EXPECT_TRUE(Take(kH2, rx).empty());
  hub.Advance(1);
  EXPECT_EQ(Take(kH2, rx), (std::vector<std::string>{"a"}));

  const std::vector<Record> rec = hub.Records();
  ASSERT_EQ(rec.size(), 4u);
  const Fate fates[] = {Fate::kDelivered, Fate::kDelivered, Fate::kDropped, Fate::kDuplicated};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(rec[i].seq, static_cast<uint64_t>(i));
    EXPECT_EQ(rec[i].fate, fates[i]) << i;
    EXPECT_EQ(rec[i].from, (Endpoint{kH1, kPort}));
    EXPECT_EQ(rec[i].to, (Endpoint{kH2, kPort}));
    EXPECT_EQ(rec[i].bytes, Bytes(std::string(1, static_cast<char>('a' + i))));
    EXPECT_FALSE(rec[i].broadcast);
  }
  EXPECT_EQ(rec[0].arrivedAt, 10u);
  EXPECT_EQ(rec[3].copies, 2u);
  EXPECT_EQ(rec[3].deliveries, 2u);
  EXPECT_EQ(rec[2].copies, 0u);
}

TEST_F(HubFixture, RecordTracksInFlightAndBroadcasts) {
  Socket rx1 = Open(kH1, {kAnyAddress, kPort});
  Socket rx2 = Open(kH2, {kAnyAddress, kPort});
  hub.SetRule([](const Record&, Rng&) { return Decision{false, false, 3, 0}; });
  H(kH1).SendTo(rx1, {kSubnetBcast, kPort}, "b", 1);
  std::vector<Record> rec = hub.Records();
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(rec[0].fate, Fate::kInFlight);
  EXPECT_TRUE(rec[0].broadcast);
  hub.Advance(3);
  rec = hub.Records();
  EXPECT_EQ(rec[0].fate, Fate::kDelivered);
  EXPECT_EQ(rec[0].deliveries, 2u);  // the sender's own socket hears it too
  EXPECT_EQ(Take(kH1, rx1).size(), 1u);
  EXPECT_EQ(Take(kH2, rx2).size(), 1u);

  hub.SetRecording(false);
  H(kH1).SendTo(rx1, {kH2, kPort}, "u", 1);
  hub.Advance(3);
  EXPECT_EQ(hub.Records().size(), 1u);
  EXPECT_EQ(Take(kH2, rx2).size(), 1u) << "delivery goes on while not recording";
  hub.ClearRecords();
  EXPECT_TRUE(hub.Records().empty());
}

TEST_F(HubFixture, FullQueueLosesTheRest) {
  hub.SetQueueLimit(2);
  Socket rx = Open(kH2, {kAnyAddress, kPort});
  Socket tx = Open(kH1, {kAnyAddress, kPort});
  for (const char* m : {"1", "2", "3"}) EXPECT_EQ(H(kH1).SendTo(tx, {kH2, kPort}, m, 1).error, 0);
  EXPECT_EQ(Take(kH2, rx), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(hub.Records()[2].fate, Fate::kQueueFull);
}

bool PollReadable(Socket s) {
  pollfd p{s, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

TEST_F(HubFixture, SocketIsPollableAndReadyHookFiresOncePerArrivalAfterEmpty) {
  std::vector<Socket> ready;
  hub.SetReadyHook([&](Socket s) { ready.push_back(s); });
  Socket rx = Open(kH2, {kAnyAddress, kPort});
  Socket tx = Open(kH1, {kAnyAddress, kPort});
  EXPECT_FALSE(PollReadable(rx));
  H(kH1).SendTo(tx, {kH2, kPort}, "1", 1);
  H(kH1).SendTo(tx, {kH2, kPort}, "2", 1);
  EXPECT_TRUE(PollReadable(rx));
  EXPECT_EQ(ready, std::vector<Socket>{rx});
  char c;
  H(kH2).RecvFrom(rx, &c, 1);
  EXPECT_TRUE(PollReadable(rx)) << "one datagram still waits";
  H(kH2).RecvFrom(rx, &c, 1);
  EXPECT_FALSE(PollReadable(rx));

  // A delayed datagram makes the socket ready when time brings it.
  hub.SetRule([](const Record&, Rng&) { return Decision{false, false, 5, 0}; });
  H(kH1).SendTo(tx, {kH2, kPort}, "3", 1);
  EXPECT_EQ(ready.size(), 1u);
  EXPECT_FALSE(PollReadable(rx));
  hub.Advance(5);
  EXPECT_EQ(ready.size(), 2u);
  EXPECT_TRUE(PollReadable(rx));
}

TEST(Hub, InjectedDatagramCarriesTheGivenSender) {
  Hub hub;
  auto h = hub.AddHost(kH2);
  EXPECT_EQ(hub.AddHost(kH2), nullptr) << "an address is on the hub once";
  Socket rx = kInvalidSocket;
  h->Open(&rx);
  h->Bind(rx, {kAnyAddress, kPort});
  hub.SetFaults(1, Faults{1000000, 0, 0, 0});  // the rule does not apply to injections
  hub.Inject({A(10, 0, 0, 99), 2600}, {kH2, kPort}, Bytes("spoof"));
  char buf[8];
  const RecvResult r = h->RecvFrom(rx, buf, sizeof buf);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(r.from, (Endpoint{A(10, 0, 0, 99), 2600}));
  uint32_t own = 0;
  EXPECT_EQ(h->OwnAddress(&own), 0);
  EXPECT_EQ(own, kH2);
}

TEST(Hub, DescriptorCountReturnsAndHostsMayOutliveTheHub) {
  const std::size_t before = OpenDescriptorCount();
  {
    std::unique_ptr<Backend> h1, h2;
    {
      Hub hub;
      h1 = hub.AddHost(kH1);
      h2 = hub.AddHost(kH2);
      hub.SetRule([](const Record&, Rng&) { return Decision{false, false, 100, 0}; });
      Socket s = kInvalidSocket;
      for (int i = 0; i < 50; ++i) ASSERT_EQ(h1->Open(&s), 0);
      ASSERT_EQ(h2->Open(&s), 0);
      ASSERT_EQ(h2->Bind(s, {kAnyAddress, kPort}), 0);
      ASSERT_EQ(h1->SendTo(s - 1, {kH2, kPort}, "late", 4).error, 0);  // still in flight
      ASSERT_EQ(h2->Close(s), 0);
    }
    // The hub is gone; its hosts still answer.
    Socket s = kInvalidSocket;
    ASSERT_EQ(h2->Open(&s), 0);
    EXPECT_EQ(h2->SendTo(s, {kH1, kPort}, "x", 1).error, 0);
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
}  // namespace net
