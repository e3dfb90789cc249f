// The hub shared by threads: a sender, a receiver and the thread that moves
// virtual time, as when a host's comm thread and a test driver meet on it.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/error.h"
#include "net/hub.h"

namespace net {
namespace {

TEST(HubThreads, EveryDelayedDatagramArrivesOnceAcrossThreads) {
  constexpr int kCount = 2000;
  Hub hub;
  auto h1 = hub.AddHost(0x0A000001);
  auto h2 = hub.AddHost(0x0A000002);
  hub.SetFaults(5, Faults{0, 0, 0, 20});
  hub.SetQueueLimit(kCount);
  std::atomic<int> readyCalls{0};
  hub.SetReadyHook([&](Socket) { readyCalls.fetch_add(1, std::memory_order_relaxed); });
  Socket tx = kInvalidSocket, rx = kInvalidSocket;
  ASSERT_EQ(h1->Open(&tx), 0);
  ASSERT_EQ(h2->Open(&rx), 0);
  ASSERT_EQ(h2->Bind(rx, {0, 2510}), 0);

  std::atomic<bool> sent{false};
  std::thread sender([&] {
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(h1->SendTo(tx, {0x0A000002, 2510}, &i, sizeof i).error, 0);
    sent = true;
  });
  std::vector<int> seen(kCount, 0);
  std::thread receiver([&] {
    int got = 0;
    for (long spins = 0; got < kCount && spins < 200000000; ++spins) {
      int v = -1;
      const RecvResult r = h2->RecvFrom(rx, &v, sizeof v);
      if (r.error == err::kWouldBlock) {
        std::this_thread::yield();
        continue;
      }
      ASSERT_EQ(r.error, 0);
      ASSERT_GE(v, 0);
      ASSERT_LT(v, kCount);
      ++seen[v];
      ++got;
    }
  });
  while (!sent || hub.InFlight() > 0) {
    hub.Advance(1);
    std::this_thread::yield();
  }
  sender.join();
  receiver.join();
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(seen[i], 1) << i;
  EXPECT_GE(readyCalls.load(), 1);
}

}  // namespace
}  // namespace net
