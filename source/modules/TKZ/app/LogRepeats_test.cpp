#include "LogRepeats.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr std::int64_t kI = LogRepeats::kIntervalMs;

TEST(LogRepeats, AFloodIsWrittenUpToTheBurstThenCountedPerIntervalUntilAQuietOne) {
  LogRepeats r;
  std::vector<std::string> out;
  for (std::uint64_t i = 0; i < LogRepeats::kBurst; ++i)
    EXPECT_TRUE(r.Admit("bad datagram", static_cast<std::int64_t>(i), 1, out));
  for (std::int64_t t = 10; t < kI; t += 10) EXPECT_FALSE(r.Admit("bad datagram", t, 1, out));
  r.TakeDue(kI - 1, false, out);
  EXPECT_TRUE(out.empty());
  r.TakeDue(kI, false, out);
  EXPECT_EQ(out, std::vector<std::string>{"bad datagram (repeated 999 more times in 10 s)\n"});
  out.clear();
  // The flood goes on: counted, never written again as a line.
  EXPECT_FALSE(r.Admit("bad datagram", kI + 5, 3, out));
  r.TakeDue(2 * kI, false, out);
  EXPECT_EQ(out, std::vector<std::string>{"bad datagram (repeated 3 more times in 10 s)\n"});
  out.clear();
  // A quiet interval ends it; the next one is a first again.
  r.TakeDue(3 * kI, false, out);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(r.Empty());
  EXPECT_TRUE(r.Admit("bad datagram", 3 * kI + 1, 1, out));
}

TEST(LogRepeats, InterleavedFloodsAreFoldedEachInTheOrderTheyBegan) {
  LogRepeats r;
  std::vector<std::string> out;
  // A queue of lines that came many times in a row arrives as one line and
  // its count: written once, the rest counted at once.
  EXPECT_TRUE(r.Admit("from A", 0, 1000, out));
  EXPECT_TRUE(r.Admit("from B", 1, 1, out));
  EXPECT_FALSE(r.Admit("from A", 2, 1, out));
  EXPECT_TRUE(r.Admit("from B", 3, 1, out));
  EXPECT_TRUE(r.Admit("from B", 4, 1, out));
  EXPECT_FALSE(r.Admit("from B", 5, 2, out));
  EXPECT_TRUE(r.Admit("from C", 6, 1, out));  // no summary for what was written
  EXPECT_TRUE(r.Admit("from C", 7, 1, out));
  r.TakeDue(kI + 6, false, out);
  EXPECT_EQ(out, (std::vector<std::string>{"from A (repeated 1000 more times in 10 s)\n",
                                           "from B (repeated 2 more times in 10 s)\n"}));
}

TEST(LogRepeats, ALineThatMakesRoomGivesItsCountAndANewLineIsAlwaysWritten) {
  LogRepeats r;
  std::vector<std::string> out;
  for (size_t i = 0; i < LogRepeats::kTracked; ++i)
    EXPECT_TRUE(r.Admit("line " + std::to_string(i), static_cast<std::int64_t>(i), 1, out));
  EXPECT_TRUE(r.Admit("line 0", 100, 5, out));
  EXPECT_TRUE(r.Admit("one more", 2000, 1, out));
  EXPECT_EQ(out, std::vector<std::string>{"line 0 (repeated 4 more times in 2 s)\n"});
}

TEST(LogRepeats, FlushingAllGivesEveryCountWithTheTimeSoFar) {
  LogRepeats r;
  std::vector<std::string> out;
  EXPECT_TRUE(r.Admit("x", 0, 5, out));
  EXPECT_FALSE(r.Admit("x", 1, 1, out));
  EXPECT_TRUE(r.Admit("y", 0, 1, out));
  r.TakeDue(1500, true, out);
  EXPECT_EQ(out, std::vector<std::string>{"x (repeated 5 more times in 2 s)\n"});
  EXPECT_TRUE(r.Empty());
}

}  // namespace
