#include "LogBuffer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <thread>

#include "FileSizeLimit.h"

#include "LogSink.h"
#include "TestSupport.h"
#include "platform/time/fake_clock.h"

namespace {

// Thursday 5 February 2004, 10:22:59.
class LogBufferTest : public ::testing::Test {
 protected:
  LogBufferTest() : clock_(2004, 2, 5, 10, 22, 59), log_(clock_, dir_.path()) {
    g_bTimeStampLog = false;
    g_bDiskLogActive = false;
    log_.AddObserver(&seen_);
  }
  std::string Day(int weekday) const { return ReadFile(log_.DayFilePath(weekday)); }

  FlagGuard flags_;
  TempDir dir_;
  platform::time::FakeClock clock_;
  LogBuffer log_;
  RecordingObserver seen_;
};

constexpr int kThursday = 4, kFriday = 5;

TEST_F(LogBufferTest, KeepsTheNewest400LinesPlusTheLineInProgress) {
  for (int i = 1; i <= 401; ++i) log_.WriteLog("line " + std::to_string(i) + "\n", true);
  log_.WriteLog("partial", true);
  EXPECT_EQ(log_.LineCount(), 400);
  ASSERT_EQ(log_.Lines().size(), 400u);
  EXPECT_EQ(log_.Lines().front(), "line 2");
  EXPECT_EQ(log_.Lines().back(), "line 401");
  EXPECT_EQ(log_.CurrentLine(), "partial");
  EXPECT_EQ(seen_.removed(), 1);
}

TEST_F(LogBufferTest, HourlyBannersCountAgainstTheCap) {
  g_bTimeStampLog = true;
  // Ten minutes a line: a banner every six lines, for a long time.
  for (int i = 0; i < 3000; ++i) {
    log_.WriteLog("tick\n", true);
    clock_.AdvanceSeconds(600);
  }
  EXPECT_EQ(log_.LineCount(), 400);
  EXPECT_EQ(log_.Lines().size(), 400u);
  int banners = 0;
  for (const std::string& l : log_.Lines()) banners += l.rfind("-- ", 0) == 0;
  // Every hour is a banner and six lines.
  EXPECT_NEAR(banners, 400 / 7, 1);
}

TEST_F(LogBufferTest, TextWithoutNewlineContinuesTheLineWithoutANewStamp) {
  g_bTimeStampLog = true;
  log_.WriteLog("first\n", true);
  log_.WriteLog("Sending", true);
  clock_.AdvanceSeconds(5);
  log_.WriteLog(" ... ", true);
  log_.WriteLog("done\nnext\n", true);
  ASSERT_EQ(log_.Lines().size(), 4u);  // banner, first, the continued line, next
  EXPECT_EQ(log_.Lines()[1], "10:22:59 first");
  EXPECT_EQ(log_.Lines()[2], "10:22:59 Sending ... done");
  EXPECT_EQ(log_.Lines()[3], "10:23:04 next");
}

TEST_F(LogBufferTest, OneBannerPerNewHourWithStampsAndNoneWithout) {
  g_bTimeStampLog = true;
  log_.WriteLog("a\n", true);
  clock_.AdvanceSeconds(30);
  log_.WriteLog("b\n", true);
  clock_.SetLocal(2004, 2, 5, 11, 0, 0);
  log_.WriteLog("c\n", true);
  g_bTimeStampLog = false;
  clock_.SetLocal(2004, 2, 5, 12, 0, 1);
  log_.WriteLog("d\n", true);
  EXPECT_EQ(seen_.text(),
            "-- Thu Feb  5 10:22:59 2004, TKZ compiled Feb  5 2004 10:22:59 -- \n"
            "10:22:59 a\n"
            "10:23:29 b\n"
            "-- Thu Feb  5 11:00:00 2004, TKZ compiled Feb  5 2004 10:22:59 -- \n"
            "11:00:00 c\n"
            "d\n");
}

TEST_F(LogBufferTest, DayFilesAcrossMidnightCloseTheOldAndStartTheNewAfresh) {
  WriteFile(log_.DayFilePath(kFriday), "last week's Friday\n");
  g_bTimeStampLog = true;
  g_bDiskLogActive = true;
  clock_.SetLocal(2004, 2, 5, 23, 59, 58);
  log_.WriteLog("before midnight\n", true);
  EXPECT_TRUE(log_.DayFileOpen());
  clock_.AdvanceSeconds(4);
  log_.WriteLog("after midnight\n", true);
  EXPECT_EQ(Day(kThursday),
            "-- Thu Feb  5 23:59:58 2004, TKZ compiled Feb  5 2004 10:22:59 --\x20\n"
            "23:59:58 before midnight\n");
  EXPECT_EQ(Day(kFriday),
            "-- Fri Feb  6 00:00:02 2004, TKZ compiled Feb  5 2004 10:22:59 --\x20\n"
            "00:00:02 after midnight\n");
}

TEST_F(LogBufferTest, RestartOnTheSameWeekdayAppendsToItsFile) {
  WriteFile(log_.DayFilePath(kThursday), "earlier today\n");
  g_bDiskLogActive = true;
  log_.WriteLog("restarted\n", true);
  EXPECT_EQ(Day(kThursday), "earlier today\nrestarted\n");
}

TEST_F(LogBufferTest, DiskLogOffAndOnAgainSameDayAppendsWithoutDeleting) {
  g_bDiskLogActive = true;
  log_.WriteLog("one\n", true);
  log_.ApplyLogToDisk(false);
  EXPECT_FALSE(log_.DayFileOpen());
  log_.WriteLog("window only\n", true);
  log_.ApplyLogToDisk(true);
  log_.WriteLog("two\n", true);
  EXPECT_EQ(Day(kThursday), "one\ntwo\n");
  EXPECT_EQ(seen_.text(), "one\nwindow only\ntwo\n");
}

TEST_F(LogBufferTest, DayFileHoldsEveryLineAsSoonAsItIsWritten) {
  g_bDiskLogActive = true;
  log_.WriteLog("first\n", true);
  EXPECT_EQ(Day(kThursday), "first\n");  // the file is still open
  log_.WriteLog("half a ", true);
  EXPECT_EQ(Day(kThursday), "first\nhalf a ");
}

// A day file that cannot be taken (whatever stands in its place) is skipped
// without waiting; the lines it lacks are counted and told once a line
// reaches it again.
TEST_F(LogBufferTest, UnopenableDayFileIsSkippedCountedAndRetried) {
  const std::filesystem::path day = log_.DayFilePath(kThursday);
  struct Case {
    const char* name;
    void (*make)(const std::filesystem::path&);
    const char* why;
  } cases[] = {
      {"a folder in the way", [](const std::filesystem::path& p) { std::filesystem::create_directory(p); },
       "Is a directory"},
      {"a FIFO without a reader", [](const std::filesystem::path& p) { ::mkfifo(p.c_str(), 0600); },
       "No such device or address"},
      {"a link to a device", [](const std::filesystem::path& p) { std::filesystem::create_symlink("/dev/null", p); },
       "not a regular file"},
  };
  g_bDiskLogActive = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make(day);
    seen_ = RecordingObserver();
    log_.WriteLog(std::string(c.name) + ": lost\n", true);
    log_.WriteLog("also lost\n", true);
    EXPECT_FALSE(log_.DayFileOpen());
    EXPECT_EQ(log_.DayLinesLost(), 2u);
    std::filesystem::remove(day);
    log_.WriteLog("kept\n", true);
    const std::string report = "Error: 2 log lines were not written to \"" + day.string() + "\" (" + c.why + ").\n";
    EXPECT_EQ(Day(kThursday), "kept\n" + report);
    EXPECT_EQ(seen_.text(), std::string(c.name) + ": lost\nalso lost\nkept\n" + report);
    EXPECT_EQ(log_.DayLinesLost(), 0u);
    log_.ApplyLogToDisk(false);
    std::filesystem::remove(day);
    log_.ApplyLogToDisk(true);
  }
}

// A disk that fills up: lines it cannot take are not written in part, they
// are counted; when it has room again, the count follows the first line
// that gets in, and nothing after it is torn.
TEST_F(LogBufferTest, LinesAFullDiskCannotTakeAreCountedAndToldWhenThereIsRoomAgain) {
  g_bDiskLogActive = true;
  log_.WriteLog("before\n", true);
  {
    drovana::test::FileSizeLimit full(7 + 12);  // "before\n" and 12 bytes more
    log_.WriteLog("line one\n", true);           // fits (9)
    log_.WriteLog("line two\n", true);           // cut at 3 bytes: taken back
    log_.WriteLog("half ", true);                // the start of a line
    log_.WriteLog("and its end\n", true);
    EXPECT_EQ(log_.DayLinesLost(), 2u);
  }
  log_.WriteLog("after\n", true);
  const std::string report = "Error: 2 log lines were not written to \"" +
                             log_.DayFilePath(kThursday).string() + "\" (File too large).\n";
  EXPECT_EQ(Day(kThursday), "before\nline one\nafter\n" + report);
  EXPECT_EQ(seen_.text(), "before\nline one\nline two\nhalf and its end\nafter\n" + report);
}

// The first few of a flood reach the window, the observers (standard
// output) and the day file at once; the rest only as one count per
// interval, also when the flood has stopped before the interval ends.
TEST_F(LogBufferTest, AFloodOfIdenticalLinesIsFoldedInTheWindowTheObserversAndTheDayFileAlike) {
  g_bDiskLogActive = true;
  g_bTimeStampLog = true;
  const std::string bad = "Error: bad datagram from 127.0.0.9.";
  for (int i = 0; i < 10000; ++i) {
    log_.WriteLog(bad + "\n", true);
    if (i == 5000) log_.WriteLog("other\n", true);
  }
  clock_.AdvanceMs(LogRepeats::kIntervalMs - 1);
  log_.OnTimer();
  const std::string first = "10:22:59 " + bad + "\n";
  const std::string banner = log_.Lines().front() + "\n";
  const std::string written = banner + first + first + first + "10:22:59 other\n";
  EXPECT_EQ(seen_.text(), written);
  EXPECT_EQ(Day(kThursday), written);
  clock_.AdvanceMs(1);
  log_.OnTimer();
  const std::string summary = "10:23:09 " + bad + " (repeated 9997 more times in 10 s)\n";
  EXPECT_EQ(seen_.text(), written + summary);
  EXPECT_EQ(Day(kThursday), written + summary);
  EXPECT_EQ(log_.Lines().back() + "\n", summary);
  // A quiet interval ends the flood: the line is a first again.
  clock_.AdvanceMs(LogRepeats::kIntervalMs);
  log_.OnTimer();
  log_.WriteLog(bad + "\n", true);
  EXPECT_EQ(Day(kThursday), written + summary + "10:23:19 " + bad + "\n");
}

// Another thread's flood waits in the queue as one line and its count, and
// is folded when it is drained; the order of what was queued is kept.
TEST_F(LogBufferTest, AFloodQueuedByAnotherThreadWaitsAsOneLineAndIsFoldedWhenDrained) {
  std::thread comm([this] {
    log_.Queue("start\n");
    for (int i = 0; i < 100000; ++i) log_.Queue("node 3: bad event\n");
    log_.Queue("half ");
    log_.Queue("half ");
    log_.Queue("end\n");
    log_.Queue("node 3: bad event\n");
  });
  comm.join();
  EXPECT_EQ(log_.QueuedCount(), 6u);
  log_.OnDrainQueue();
  log_.FlushRepeats();
  EXPECT_EQ(seen_.text(),
            "start\nnode 3: bad event\nhalf half end\n"
            "node 3: bad event (repeated 100000 more times in 1 s)\n");
}

// Blank lines and pieces of lines are never folded: a report's layout stays.
TEST_F(LogBufferTest, BlankLinesAndLinesWrittenInPiecesAreNotFolded) {
  for (int i = 0; i < 5; ++i) log_.WriteLog("\n", true);
  for (int i = 0; i < 5; ++i) {
    log_.WriteLog("rack ", true);
    log_.WriteLog("up\n", true);
  }
  log_.FlushRepeats();
  EXPECT_EQ(seen_.text(), "\n\n\n\n\nrack up\nrack up\nrack up\nrack up\nrack up\n");
}

TEST_F(LogBufferTest, ClearEmptiesTheWindowAndCopyAllGivesItsText) {
  log_.WriteLog("a\nb\nhalf", true);
  EXPECT_EQ(log_.CopyAllText(), "a\nb\nhalf");
  log_.Clear();
  EXPECT_EQ(log_.CopyAllText(), "");
  EXPECT_EQ(log_.LineCount(), 0);
  EXPECT_EQ(seen_.cleared(), 1);
  log_.WriteLog(" rest\nc\n", true);
  EXPECT_EQ(log_.CopyAllText(), " rest\nc\n");
}

TEST_F(LogBufferTest, QueuedLinesComeBeforeTheNextDirectLine) {
  int posts = 0;
  log_.SetDrainPoster([&] { return ++posts, true; });
  log_.Queue("q1\n");
  log_.Queue("q2\n");
  EXPECT_EQ(posts, 1);  // one request while the queue is not empty
  log_.WriteLog("direct\n", true);
  EXPECT_EQ(seen_.text(), "q1\nq2\ndirect\n");
  log_.OnDrainQueue();  // the posted drain finds nothing left
  EXPECT_EQ(seen_.text(), "q1\nq2\ndirect\n");
  log_.Queue("q3\n");
  EXPECT_EQ(posts, 2);
}

TEST_F(LogBufferTest, LineQueuedBeforeTheWindowExistsIsShownByTheNextQueuedLine) {
  log_.Queue("early\n");  // no way to ask for a drain yet
  int posts = 0;
  log_.SetDrainPoster([&] { return ++posts, true; });
  log_.Queue("later\n");
  EXPECT_EQ(posts, 1);
  log_.OnDrainQueue();
  EXPECT_EQ(seen_.text(), "early\nlater\n");
}

TEST_F(LogBufferTest, FailedDrainRequestIsRepeatedByTheNextQueuedLine) {
  bool deliver = false;
  int posts = 0;
  log_.SetDrainPoster([&] { return ++posts, deliver; });
  log_.Queue("a\n");
  deliver = true;
  log_.Queue("b\n");
  EXPECT_EQ(posts, 2);
  log_.Queue("c\n");
  EXPECT_EQ(posts, 2);
  log_.OnDrainQueue();
  EXPECT_EQ(seen_.text(), "a\nb\nc\n");
}

TEST_F(LogBufferTest, LogPrintfCutsLongLinesButKeepsTheirEnd) {
  const std::string big(3000, 'x');
  LogPrintf("%s\n", big.c_str());
  LogPrintf("%s", big.c_str());
  ASSERT_EQ(log_.Lines().size(), 1u);
  EXPECT_EQ(log_.Lines()[0].size(), kLogLineMax - 2);
  EXPECT_EQ(log_.CurrentLine().size(), kLogLineMax - 1);
}

TEST_F(LogBufferTest, NothingIsLoggedOnceTheViewIsGone) {
  {
    platform::time::FakeClock clock;
    LogBuffer other(clock);
    EXPECT_EQ(g_pLogView.load(), &other);
  }
  EXPECT_EQ(g_pLogView.load(), nullptr);
  LogPrintf("dropped\n");
  LogPrintfQueued("dropped\n");
  EXPECT_EQ(seen_.text(), "");
  // Switching disk logging before a view exists still sets the flag.
  SetLogToDisk(true);
  EXPECT_TRUE(g_bDiskLogActive.load());
}

}  // namespace
