// The readiness set and the batched receive, on both backends: the kernel's
// sockets on loopback and the in-memory hub.
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/error.h"
#include "net/hub.h"
#include "net/posix.h"
#include "net/readiness.h"
#include "test_fds.h"

namespace net {
namespace {

constexpr uint32_t kLoop = 0x7F000001u;       // 127.0.0.1
constexpr uint32_t kHubHost = 0xC0A80109u;    // 192.168.1.9

class BothBackends : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (GetParam() == 0) {
      backend_ = std::make_unique<PosixBackend>();
      address_ = kLoop;
    } else {
      backend_ = hub_.AddHost(kHubHost);
      address_ = kHubHost;
    }
  }
  void TearDown() override {
    for (Socket s : open_) backend_->Close(s);
  }

  Socket Bound() {
    Socket s = kInvalidSocket;
    EXPECT_EQ(backend_->Open(&s), 0);
    EXPECT_EQ(backend_->SetNonBlocking(s, true), 0);
    EXPECT_EQ(backend_->Bind(s, Endpoint{address_, 0}), 0);
    open_.push_back(s);
    return s;
  }
  Endpoint Local(Socket s) {
    Endpoint e;
    EXPECT_EQ(backend_->LocalEndpoint(s, &e), 0);
    return e;
  }
  void Send(Socket from, Socket to, const std::string& text) {
    const SendResult r = backend_->SendTo(from, Local(to), text.data(), text.size());
    ASSERT_EQ(r.error, 0);
    // On loopback the datagram is queued before the send returns; the poll
    // only guards against a slow machine.
    pollfd p{to, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
  }

  Hub hub_;
  std::unique_ptr<Backend> backend_;
  uint32_t address_ = 0;
  std::vector<Socket> open_;
};

INSTANTIATE_TEST_SUITE_P(Backends, BothBackends, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& p) { return p.param == 0 ? "Posix" : "Hub"; });

TEST_P(BothBackends, ReadySetNamesOnlyTheSocketsWithDataAndMakesNoCallWhenEmpty) {
  ReadySet set;
  uint32_t tokens[8];
  EXPECT_EQ(set.Collect(tokens, 8), 0);
  EXPECT_EQ(set.looks(), 0u);  // nothing watched: no call at all

  const Socket a = Bound(), b = Bound(), tx = Bound();
  ASSERT_TRUE(set.Add(a, 7));
  ASSERT_TRUE(set.Add(b, 9));
  EXPECT_EQ(set.Collect(tokens, 8), 0);
  Send(tx, b, "x");
  ASSERT_EQ(set.Collect(tokens, 8), 1);
  EXPECT_EQ(tokens[0], 9u);
  // Level: still there until read.
  ASSERT_EQ(set.Collect(tokens, 8), 1);
  char buf[16];
  ASSERT_EQ(backend_->RecvFrom(b, buf, sizeof buf).error, 0);
  EXPECT_EQ(set.Collect(tokens, 8), 0);
  EXPECT_EQ(set.looks(), 4u);
  set.Remove(a);
  set.Remove(b);
}

TEST(ReadySet, RefusesWhatIsNoDescriptorAndHoldsOneOnlyWhileItWatches) {
  const std::size_t before = OpenDescriptorCount();
  {
    ReadySet set;
    EXPECT_FALSE(set.Add(kInvalidSocket, 1));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_TRUE(set.Add(fds[0], 1));
    EXPECT_EQ(OpenDescriptorCount(), before + 3);  // the pipe and the set's own
    set.Remove(fds[0]);
    EXPECT_EQ(OpenDescriptorCount(), before + 2);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_FALSE(set.Add(fds[0], 1));  // closed
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_P(BothBackends, RecvManyTakesWhatWaitsInOrderAndAShortBatchMeansEmpty) {
  const Socket rx = Bound(), tx = Bound();
  for (const char* t : {"one", "two", "three"}) Send(tx, rx, t);
  char b0[16], b1[16];
  RecvSlot slots[2];
  slots[0].buf = b0;
  slots[0].size = sizeof b0;
  slots[1].buf = b1;
  slots[1].size = sizeof b1;
  ASSERT_EQ(backend_->RecvMany(rx, slots, 2), 2);
  EXPECT_EQ(std::string(b0, slots[0].result.copied), "one");
  EXPECT_EQ(std::string(b1, slots[1].result.copied), "two");
  EXPECT_EQ(slots[0].result.from, Local(tx));
  EXPECT_EQ(slots[1].result.from, Local(tx));
  ASSERT_EQ(backend_->RecvMany(rx, slots, 2), 1);  // fewer: nothing more waits
  EXPECT_EQ(std::string(b0, slots[0].result.copied), "three");
  EXPECT_EQ(backend_->RecvMany(rx, slots, 2), 0);
}

TEST_P(BothBackends, RecvManyShowsADatagramTooLongForItsSlotAndGoesOn) {
  const Socket rx = Bound(), tx = Bound();
  Send(tx, rx, std::string(300, 'L'));
  Send(tx, rx, "ok");
  char b0[64 + 8], b1[64];
  std::memset(b0, 0x11, sizeof b0);
  RecvSlot slots[2];
  slots[0].buf = b0;
  slots[0].size = 64;
  slots[1].buf = b1;
  slots[1].size = sizeof b1;
  ASSERT_EQ(backend_->RecvMany(rx, slots, 2), 2);
  EXPECT_EQ(slots[0].result.error, 0);
  EXPECT_GT(slots[0].result.size, 64u);
  EXPECT_EQ(slots[0].result.copied, 64u);
  for (std::size_t i = 64; i < sizeof b0; ++i) EXPECT_EQ(b0[i], 0x11) << i;
  EXPECT_EQ(std::string(b1, slots[1].result.copied), "ok");
}

}  // namespace
}  // namespace net
