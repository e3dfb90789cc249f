#include <gtest/gtest.h>

#include <limits>

#include "platform/time/clock.h"
#include "platform/time/fake_clock.h"

namespace pt = platform::time;

TEST(FakeClock, CrossingMidnightChangesDayAndWeekday) {
  pt::FakeClock clock(2004, 2, 5, 23, 59, 59);  // a Thursday
  pt::LocalTime t = clock.Local();
  EXPECT_EQ(t.weekday, 4);
  EXPECT_EQ(t.hour, 23);
  const std::int64_t mono = clock.MonotonicMs();
  clock.AdvanceSeconds(1);
  t = clock.Local();
  EXPECT_EQ(t.weekday, 5);
  EXPECT_EQ(t.day, 6);
  EXPECT_EQ(t.hour, 0);
  EXPECT_EQ(t.minute, 0);
  EXPECT_EQ(t.second, 0);
  EXPECT_EQ(clock.MonotonicMs() - mono, 1000);
}

TEST(FakeClock, SettingTimeBackwardsKeepsMonotonicTime) {
  pt::FakeClock clock(2010, 1, 1, 12, 0, 0);
  clock.AdvanceSeconds(5);
  const std::int64_t mono = clock.MonotonicMs();
  clock.SetLocal(2009, 12, 31, 0, 0, 0);
  EXPECT_EQ(clock.MonotonicMs(), mono);
  EXPECT_EQ(clock.Local().year, 2009);
  EXPECT_EQ(clock.Local().weekday, 4);
}

TEST(FakeClock, UtcOffsetShiftsLocalTimeOnly) {
  pt::FakeClock clock(2004, 2, 5, 10, 0, 0);
  const std::int64_t wall = clock.NowUnixMs();
  clock.SetUtcOffsetSeconds(3600);
  EXPECT_EQ(clock.NowUnixMs(), wall);
  EXPECT_EQ(clock.Local().hour, 11);
}

TEST(CTimeText, MatchesTheCLibraryLayout) {
  pt::FakeClock clock(2004, 2, 5, 10, 22, 59);
  EXPECT_EQ(pt::CTimeText(clock.Local()), "Thu Feb  5 10:22:59 2004");
  clock.SetLocal(2026, 12, 13, 0, 1, 2);
  EXPECT_EQ(pt::CTimeText(clock.Local()), "Sun Dec 13 00:01:02 2026");
}

TEST(OleDate, KnownDatesAndRoundTrip) {
  struct Case {
    int y, mo, d, h, mi, s;
    double ole;
  } cases[] = {
      {1899, 12, 30, 0, 0, 0, 0.0},     {1899, 12, 31, 0, 0, 0, 1.0},
      {1900, 1, 1, 0, 0, 0, 2.0},       {2000, 1, 1, 0, 0, 0, 36526.0},
      {2004, 2, 5, 12, 0, 0, 38022.5},  {1899, 12, 29, 6, 0, 0, -1.25},
      {2004, 2, 5, 18, 0, 0, 38022.75},
  };
  for (const Case& c : cases) {
    pt::LocalTime t;
    t.year = c.y;
    t.month = c.mo;
    t.day = c.d;
    t.hour = c.h;
    t.minute = c.mi;
    t.second = c.s;
    EXPECT_DOUBLE_EQ(pt::ToOleDate(t), c.ole) << c.y << "-" << c.mo << "-" << c.d;
    pt::LocalTime back;
    ASSERT_TRUE(pt::FromOleDate(c.ole, back));
    EXPECT_EQ(back.year, c.y);
    EXPECT_EQ(back.month, c.mo);
    EXPECT_EQ(back.day, c.d);
    EXPECT_EQ(back.hour, c.h);
    EXPECT_EQ(back.minute, c.mi);
    EXPECT_EQ(back.second, c.s);
  }
}

TEST(OleDate, RejectsValuesOutsideItsRange) {
  pt::LocalTime t;
  EXPECT_FALSE(pt::FromOleDate(1e300, t));
  EXPECT_FALSE(pt::FromOleDate(-1e9, t));
  EXPECT_FALSE(pt::FromOleDate(std::numeric_limits<double>::quiet_NaN(), t));
  EXPECT_TRUE(pt::FromOleDate(2958465.5, t));  // 9999-12-31 12:00
  EXPECT_EQ(t.year, 9999);
}

TEST(OleDate, FractionRoundingCarriesIntoTheNextDay) {
  pt::LocalTime t;
  ASSERT_TRUE(pt::FromOleDate(36526.0 - 1e-10, t));  // a hair before 2000-01-01
  EXPECT_EQ(t.year, 2000);
  EXPECT_EQ(t.month, 1);
  EXPECT_EQ(t.day, 1);
  EXPECT_EQ(t.hour, 0);
}
