#include "autoevent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace msgq {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kHangGuard{20000};

TEST(AutoResetEvent, SetBeforeWaitIsKept) {
  AutoResetEvent e;
  e.Set();
  EXPECT_TRUE(e.Wait(milliseconds{0}));
}

TEST(AutoResetEvent, TwoSetsReleaseOneWait) {
  AutoResetEvent e;
  e.Set();
  e.Set();
  EXPECT_TRUE(e.Wait(milliseconds{0}));
  EXPECT_FALSE(e.Wait(milliseconds{0}));
}

TEST(AutoResetEvent, WaitTimesOutWhenNeverSet) {
  AutoResetEvent e;
  EXPECT_FALSE(e.Wait(milliseconds{1}));
  e.Set();  // a time-out leaves no trace: the next Set still counts
  EXPECT_TRUE(e.Wait(milliseconds{0}));
}

// The start-up handshake: the waiter returns only after the other thread's
// work before Set is done, and sees its effects.
TEST(AutoResetEvent, WaiterSeesWorkDoneBeforeSetOnAnotherThread) {
  for (int round = 0; round < 200; ++round) {
    AutoResetEvent e;
    int work = 0;  // plain: the event orders it
    std::thread t([&] {
      work = round + 1;
      e.Set();
    });
    if (round % 2 == 0) {
      e.Wait();
    } else {
      ASSERT_TRUE(e.Wait(kHangGuard));
    }
    EXPECT_EQ(work, round + 1);
    t.join();
  }
}

TEST(AutoResetEvent, EachSetAfterAWaitReleasesTheNextWait) {
  AutoResetEvent request, reply;
  std::atomic<int> served{0};
  std::thread server([&] {
    for (int i = 0; i < 100; ++i) {
      request.Wait();
      ++served;
      reply.Set();
    }
  });
  for (int i = 0; i < 100; ++i) {
    request.Set();
    ASSERT_TRUE(reply.Wait(kHangGuard));
    EXPECT_EQ(served, i + 1);  // one Set, one handled request
  }
  server.join();
}

}  // namespace
}  // namespace msgq
