// The log queue between threads: run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "LogBuffer.h"
#include "LogSink.h"
#include "TestSupport.h"
#include "platform/time/fake_clock.h"

namespace {

class LogThreadsTest : public ::testing::Test {
 protected:
  LogThreadsTest() : log_(clock_, dir_.path()) {
    g_bTimeStampLog = false;
    g_bDiskLogActive = false;
    log_.AddObserver(&seen_);
    log_.SetDrainPoster([this] {
      drainPosted_.store(true);
      return true;
    });
  }
  // What the UI thread's loop does on the drain message.
  void PumpDrain() {
    if (drainPosted_.exchange(false)) log_.OnDrainQueue();
  }

  FlagGuard flags_;
  TempDir dir_;
  platform::time::FakeClock clock_;
  LogBuffer log_;
  RecordingObserver seen_;
  std::atomic<bool> drainPosted_{false};
};

TEST_F(LogThreadsTest, EveryQueuedLineArrivesOnceInEachThreadsOrder) {
  constexpr int kThreads = 4, kLines = 500;
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &running] {
      for (int i = 0; i < kLines; ++i) LogPrintfQueued("T%d %d\n", t, i);
      running.fetch_sub(1);
    });
  }
  int direct = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (running.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    LogPrintf("U %d\n", direct++);
    LogPrintfQueued("U %d\n", direct++);  // on the owner thread: written at once
    PumpDrain();
  }
  for (std::thread& th : threads) th.join();
  PumpDrain();
  EXPECT_EQ(log_.QueuedCount(), 0u);

  std::map<int, int> next;  // thread -> next expected line
  int nextDirect = 0;
  for (const std::string& line : seen_.lines()) {
    int a = -1, b = -1;
    if (std::sscanf(line.c_str(), "T%d %d", &a, &b) == 2) {
      ASSERT_EQ(b, next[a]) << "thread " << a << " out of order or repeated";
      next[a] = b + 1;
    } else {
      ASSERT_EQ(std::sscanf(line.c_str(), "U %d", &a), 1) << line;
      ASSERT_EQ(a, nextDirect++);
    }
  }
  EXPECT_EQ(nextDirect, direct);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << "thread " << t;
}

TEST_F(LogThreadsTest, DiskLogSwitchedOffElsewhereClosesAfterTheLinesBeforeIt) {
  g_bDiskLogActive = true;
  LogPrintf("running\n");
  ASSERT_TRUE(log_.DayFileOpen());
  std::thread comm([] {
    LogPrintfQueued("Shutting down communications, please wait.\n");
    LogPrintfQueued("Closing log file...\n");
    SetLogToDisk(false);
    LogPrintfQueued("after the file\n");
  });
  comm.join();
  // Nothing changed on the UI thread's side yet.
  EXPECT_TRUE(log_.DayFileOpen());
  EXPECT_TRUE(g_bDiskLogActive.load());
  PumpDrain();
  EXPECT_FALSE(log_.DayFileOpen());
  EXPECT_FALSE(g_bDiskLogActive.load());
  EXPECT_EQ(ReadFile(log_.DayFilePath(4)),
            "running\nShutting down communications, please wait.\nClosing log file...\n");
  EXPECT_EQ(seen_.text(),
            "running\nShutting down communications, please wait.\nClosing log file...\n"
            "after the file\n");
}

TEST_F(LogThreadsTest, DiskLogSwitchedWhileLinesAreWrittenStaysInOrder) {
  g_bDiskLogActive = true;
  std::atomic<bool> done{false};
  std::thread comm([&done] {
    for (int i = 0; i < 200; ++i) {
      LogPrintfQueued("c %d\n", i);
      if (i % 50 == 49) SetLogToDisk(i % 100 == 99);  // off at 49 and 149, on at 99
    }
    done = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done.load() && std::chrono::steady_clock::now() < deadline) PumpDrain();
  comm.join();
  PumpDrain();
  std::string expected;
  for (int i = 0; i < 200; ++i)
    if (i < 50 || (i >= 100 && i < 150)) expected += "c " + std::to_string(i) + "\n";
  EXPECT_EQ(ReadFile(log_.DayFilePath(4)), expected);
  EXPECT_EQ(seen_.lines().size(), 200u);
}

}  // namespace
