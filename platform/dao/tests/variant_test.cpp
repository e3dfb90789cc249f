#include <gtest/gtest.h>

#include "dao/variant.h"

namespace dao {
namespace {

TEST(OleDate, CalendarRoundTrips) {
  struct Case {
    LocalDateTime t;
    double days;
  } cases[] = {
      {{1899, 12, 30, 0, 0, 0}, 0.0},
      {{1900, 1, 1, 0, 0, 0}, 2.0},
      {{1899, 12, 30, 6, 0, 0}, 0.25},
      {{1899, 12, 29, 6, 0, 0}, -1.25},  // OLE rule: negative day, positive time
      {{2004, 2, 5, 10, 22, 53}, 38022.0 + (10 * 3600 + 22 * 60 + 53) / 86400.0},
      {{2000, 2, 29, 23, 59, 59}, 36585.0 + 86399 / 86400.0},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(ToOleDate(c.t).days, c.days) << c.t.year << "-" << c.t.month << "-" << c.t.day;
    EXPECT_EQ(FromOleDate(OleDate{c.days}), c.t) << c.days;
  }
  // Rounding to the second may carry into the next day.
  EXPECT_EQ(FromOleDate(OleDate{1.0 - 1e-9}), (LocalDateTime{1899, 12, 31, 0, 0, 0}));
  // Before the epoch as well: the time runs forwards from the negative day.
  // -1.999999999 is the last moment of 1899-12-29, -0.999999999 that of
  // 1899-12-30.
  EXPECT_EQ(FromOleDate(OleDate{-2.0 + 1e-9}), (LocalDateTime{1899, 12, 30, 0, 0, 0}));
  EXPECT_EQ(FromOleDate(OleDate{-1.0 + 1e-9}), (LocalDateTime{1899, 12, 31, 0, 0, 0}));
  // Nonsense values give the zero date instead of undefined arithmetic.
  EXPECT_EQ(FromOleDate(OleDate{1e300}), LocalDateTime{});
}

TEST(Variant, ConversionsToIntegerAndText) {
  EXPECT_EQ(Variant().AsInt(), 0);
  EXPECT_EQ(Variant(int16_t{-1}).AsInt(), -1);
  EXPECT_EQ(Variant(uint8_t{255}).AsInt(), 255);
  EXPECT_EQ(Variant("  42abc").AsInt(), 42);
  EXPECT_EQ(Variant(OleDate{3.75}).AsInt(), 3);
  EXPECT_EQ(Variant(int32_t{7}).AsText(), "7");
  EXPECT_EQ(Variant().AsText(), "");
  EXPECT_NE(Variant(int16_t{1}), Variant(int32_t{1}));  // the type is part of the value
}

}  // namespace
}  // namespace dao
