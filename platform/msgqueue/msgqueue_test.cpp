#include "msgqueue.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

namespace msgq {
namespace {

constexpr int kHangGuardMs = 20000;  // only ever reached when something is broken
constexpr uint32_t kMsgA = WM_APP + 1;
constexpr uint32_t kMsgB = WM_APP + 2;

// Takes everything retrievable now; the test's run-once step.
std::vector<Msg> Drain(Handle h) {
  std::vector<Msg> out;
  Msg m;
  while (PeekMessage(h, &m)) out.push_back(m);
  return out;
}

TEST(MsgQueue, PostsFromSeveralThreadsArriveWholeAndInEachSendersOrder) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  Queue q;
  ASSERT_TRUE(q.handle());
  std::atomic<bool> allPosted{true};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        if (!PostMessage(q.handle(), kMsgA, static_cast<uintptr_t>(p), i)) allPosted = false;
      }
    });
  }
  std::vector<intptr_t> next(kProducers, 0);
  int received = 0;
  while (received < kProducers * kPerProducer) {
    ASSERT_TRUE(WaitMessage(q.handle(), kHangGuardMs)) << "after " << received;
    Msg m;
    ASSERT_EQ(GetMessage(q.handle(), &m), 1);
    ASSERT_EQ(m.message, kMsgA);
    ASSERT_LT(m.wParam, static_cast<uintptr_t>(kProducers));
    ASSERT_EQ(m.lParam, next[m.wParam]) << "producer " << m.wParam << " out of order";
    ++next[m.wParam];
    ++received;
  }
  for (auto& t : producers) t.join();
  EXPECT_TRUE(allPosted);
  EXPECT_TRUE(Drain(q.handle()).empty());
}

TEST(MsgQueue, CarriesPointerSizedParametersUnchanged) {
  static int object;
  struct Case {
    uintptr_t w;
    intptr_t l;
  };
  const Case cases[] = {
      {0, 0},
      {std::numeric_limits<uintptr_t>::max(), std::numeric_limits<intptr_t>::min()},
      {uintptr_t{1} << 63, std::numeric_limits<intptr_t>::max()},
      {reinterpret_cast<uintptr_t>(&object), reinterpret_cast<intptr_t>(&object)},
      {0xFFFF, -1},
  };
  Queue q(TimerMode::Manual);
  for (const Case& c : cases) ASSERT_TRUE(PostMessage(q.handle(), kMsgB, c.w, c.l));
  auto got = Drain(q.handle());
  ASSERT_EQ(got.size(), std::size(cases));
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].message, kMsgB);
    EXPECT_EQ(got[i].wParam, cases[i].w) << i;
    EXPECT_EQ(got[i].lParam, cases[i].l) << i;
  }
}

TEST(MsgQueue, TimerIsCoalescedAndComesAfterEveryPost) {
  Queue q(TimerMode::Manual);
  Handle h = q.handle();
  ASSERT_TRUE(SetTimer(h, 0, 100));  // id 0 is a valid timer id
  ASSERT_TRUE(SetTimer(h, 7, 1000));
  ASSERT_TRUE(FireTimer(h, 0));
  ASSERT_TRUE(PostMessage(h, kMsgA, 1, 0));
  ASSERT_TRUE(FireTimer(h, 0));  // still one WM_TIMER for timer 0
  ASSERT_TRUE(FireTimer(h, 7));
  ASSERT_TRUE(FireTimer(h, 0));
  ASSERT_TRUE(PostMessage(h, kMsgA, 2, 0));

  auto got = Drain(h);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].message, kMsgA);
  EXPECT_EQ(got[0].wParam, 1u);
  EXPECT_EQ(got[1].message, kMsgA);
  EXPECT_EQ(got[1].wParam, 2u);
  EXPECT_EQ(got[2].message, WM_TIMER);
  EXPECT_EQ(got[2].wParam, 0u);  // came due first
  EXPECT_EQ(got[3].message, WM_TIMER);
  EXPECT_EQ(got[3].wParam, 7u);

  // Due again only after the next period.
  ASSERT_TRUE(FireTimer(h, 7));
  got = Drain(h);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].wParam, 7u);
}

TEST(MsgQueue, KillTimerWithdrawsItsPendingTick) {
  Queue q(TimerMode::Manual);
  Handle h = q.handle();
  ASSERT_TRUE(SetTimer(h, 1, 100));
  ASSERT_TRUE(SetTimer(h, 2, 100));
  ASSERT_TRUE(FireTimer(h, 1));
  ASSERT_TRUE(FireTimer(h, 2));
  ASSERT_TRUE(KillTimer(h, 1));
  EXPECT_FALSE(FireTimer(h, 1));
  EXPECT_FALSE(KillTimer(h, 1));
  auto got = Drain(h);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].message, WM_TIMER);
  EXPECT_EQ(got[0].wParam, 2u);
  EXPECT_FALSE(FireTimer(h, 3));  // never set
}

TEST(MsgQueue, QuitComesAfterPostsAndBeforeTimersAndOnlyOnce) {
  Queue q(TimerMode::Manual);
  Handle h = q.handle();
  ASSERT_TRUE(SetTimer(h, 1, 100));
  ASSERT_TRUE(FireTimer(h, 1));
  ASSERT_TRUE(PostQuitMessage(h, 3));
  ASSERT_TRUE(PostMessage(h, kMsgA, 0, 0));

  Msg m;
  ASSERT_EQ(GetMessage(h, &m), 1);
  EXPECT_EQ(m.message, kMsgA);
  ASSERT_EQ(GetMessage(h, &m), 0);
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 3u);
  ASSERT_EQ(GetMessage(h, &m), 1);
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_FALSE(PeekMessage(h, &m));
}

TEST(MsgQueue, BlockedGetMessageWakesForPostTimerAndQuitFromOtherThreads) {
  Queue q(TimerMode::Manual);
  Handle h = q.handle();
  ASSERT_TRUE(SetTimer(h, 5, 100));
  std::vector<Msg> got;
  std::atomic<size_t> taken{0};
  std::thread consumer([&] {
    Msg m;
    int rc;
    while ((rc = GetMessage(h, &m)) > 0) {
      got.push_back(m);
      ++taken;
    }
    if (rc == 0) got.push_back(m);
  });
  // Each step waits until the consumer has taken the one before, so each
  // finds it asleep, or on its way to sleep, on an empty queue.
  auto takenReaches = [&](size_t n) {
    for (int i = 0; i < kHangGuardMs && taken < n; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return taken >= n;
  };
  // EXPECT, not ASSERT: the consumer must be stopped and joined either way.
  EXPECT_TRUE(PostMessage(h, kMsgA, 1, 0));
  EXPECT_TRUE(takenReaches(1));
  EXPECT_TRUE(FireTimer(h, 5));
  EXPECT_TRUE(takenReaches(2));
  EXPECT_TRUE(PostQuitMessage(h, 9));
  consumer.join();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].message, kMsgA);
  EXPECT_EQ(got[1].message, WM_TIMER);
  EXPECT_EQ(got[2].message, WM_QUIT);
  EXPECT_EQ(got[2].wParam, 9u);
}

TEST(MsgQueue, RealTimerTicksOnceAfterManyPeriodsAndAfterThePosts) {
  Queue q;
  Handle h = q.handle();
  ASSERT_TRUE(SetTimer(h, 4, 1));  // runs at the minimum period
  // Let several periods pass; the assertion holds however many did.
  std::this_thread::sleep_for(std::chrono::milliseconds(5 * kMinTimerPeriodMs));
  ASSERT_TRUE(PostMessage(h, kMsgA, 1, 0));
  ASSERT_TRUE(PostMessage(h, kMsgA, 2, 0));
  Msg m;
  ASSERT_EQ(GetMessage(h, &m), 1);
  EXPECT_EQ(m.message, kMsgA);
  ASSERT_EQ(GetMessage(h, &m), 1);
  EXPECT_EQ(m.message, kMsgA);
  ASSERT_TRUE(WaitMessage(h, kHangGuardMs));
  ASSERT_TRUE(PeekMessage(h, &m));
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_EQ(m.wParam, 4u);
  ASSERT_TRUE(KillTimer(h, 4));
  EXPECT_FALSE(PeekMessage(h, &m));  // the elapsed periods were one tick
}

TEST(MsgQueue, RestartedTimerKeepsOneEntry) {
  Queue q(TimerMode::Manual);
  Handle h = q.handle();
  ASSERT_TRUE(SetTimer(h, 1, 100));
  ASSERT_TRUE(FireTimer(h, 1));
  ASSERT_TRUE(SetTimer(h, 1, 500));
  ASSERT_TRUE(FireTimer(h, 1));
  EXPECT_EQ(Drain(h).size(), 1u);
  ASSERT_TRUE(KillTimer(h, 1));
  EXPECT_FALSE(KillTimer(h, 1));
}

TEST(MsgQueue, HandleOfADestroyedQueueFailsEverywhere) {
  Handle stale;
  {
    Queue q(TimerMode::Manual);
    stale = q.handle();
    ASSERT_TRUE(SetTimer(stale, 1, 100));
    ASSERT_TRUE(PostMessage(stale, kMsgA, 0, 0));
  }
  Queue other(TimerMode::Manual);
  EXPECT_NE(other.handle(), stale);  // ids are not reused
  for (Handle h : {stale, Handle{}}) {
    Msg m;
    EXPECT_FALSE(PostMessage(h, kMsgA, 0, 0));
    EXPECT_FALSE(PostQuitMessage(h, 0));
    EXPECT_EQ(GetMessage(h, &m), -1);
    EXPECT_FALSE(PeekMessage(h, &m));
    EXPECT_FALSE(WaitMessage(h, 0));
    EXPECT_FALSE(SetTimer(h, 1, 100));
    EXPECT_FALSE(KillTimer(h, 1));
    EXPECT_FALSE(FireTimer(h, 1));
  }
  EXPECT_FALSE(PeekMessage(other.handle(), nullptr));
}

TEST(MsgQueue, PostsToADyingQueueFromOtherThreadsAreSafe) {
  for (int round = 0; round < 20; ++round) {
    auto q = std::make_unique<Queue>(TimerMode::Manual);
    Handle h = q->handle();
    std::atomic<bool> stop{false};
    std::thread producer([&] {
      while (!stop) PostMessage(h, kMsgA, 0, 0);
    });
    Msg m;
    for (int i = 0; i < 100; ++i) PeekMessage(h, &m);  // the producer may outrun any drain
    q.reset();
    EXPECT_FALSE(PostMessage(h, kMsgA, 0, 0));
    stop = true;
    producer.join();
  }
}

TEST(MsgQueue, PollFdSignalsPendingWorkAndClearsOnceDrained) {
  Queue q(TimerMode::Manual);
  Handle h = q.handle();
  auto readable = [&](int timeoutMs) {
    pollfd p{q.pollFd(), POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
  };
  EXPECT_FALSE(readable(0));
  std::thread producer([&] { PostMessage(h, kMsgA, 1, 0); });
  EXPECT_TRUE(readable(kHangGuardMs));
  producer.join();
  EXPECT_EQ(Drain(h).size(), 1u);
  EXPECT_FALSE(readable(0));  // a foreign loop would not spin

  ASSERT_TRUE(SetTimer(h, 1, 100));
  ASSERT_TRUE(FireTimer(h, 1));
  EXPECT_TRUE(readable(0));
  EXPECT_EQ(Drain(h).size(), 1u);
  EXPECT_FALSE(readable(0));
}

}  // namespace
}  // namespace msgq
