// The mux-type and level lookup tables.
#include <gtest/gtest.h>

#include <vector>

#include "LookupTables.h"

namespace {

TEST(MuxTypeTable, ASeventeenthTypeIsDroppedAndTheFirstSixteenStay) {
  MuxTypeTable t;
  for (int16_t k = 0; k < 16; ++k) EXPECT_TRUE(t.Add(static_cast<int16_t>(100 + k), static_cast<uint8_t>(k), 4));
  EXPECT_FALSE(t.Add(200, 1, 4));
  EXPECT_FALSE(t.Find(200));
  for (int16_t k = 0; k < 16; ++k) EXPECT_EQ(t.Find(static_cast<int16_t>(100 + k)), static_cast<size_t>(k));
}

TEST(MuxTypeTable, KeyOf255CannotBeStoredOrFound) {
  MuxTypeTable t;
  EXPECT_FALSE(t.Find(255)) << "a free slot is not a match";
  EXPECT_FALSE(t.Add(255, 1, 1));
  EXPECT_TRUE(t.Add(7, 1, 1));
  EXPECT_FALSE(t.Find(255));
  EXPECT_EQ(t.Find(7), 0u);
}

TEST(MuxTypeTable, ProtocolsOneToThreeIgnoreTheSpeed) {
  MuxTypeTable t;
  t.Add(10, 5, 2);
  t.Add(11, 5, 4);
  t.Add(12, 6, 4);
  EXPECT_EQ(t.FindByCodes(99, 2), 0u) << "protocol 2: any speed";
  EXPECT_FALSE(t.FindByCodes(99, 4)) << "protocol 4: speed must match";
  EXPECT_EQ(t.FindByCodes(6, 4), 2u);
  EXPECT_EQ(t.FindByCodes(5, 4), 1u);
  EXPECT_FALSE(t.FindByCodes(5, 9));
  EXPECT_FALSE(MuxTypeTable{}.FindByCodes(0, 0)) << "free slots never match";
}

std::vector<LevelRow> Rows(const std::vector<int>& percents) {
  std::vector<LevelRow> rows;
  for (size_t i = 0; i < percents.size(); ++i)
    rows.push_back({static_cast<int16_t>(i), static_cast<int16_t>(percents[i])});
  return rows;
}

// A rising table that shows every percent: level l shows round(100 l / 255).
std::vector<LevelRow> RisingRows() {
  std::vector<int> p(256);
  for (int l = 0; l < 256; ++l) p[static_cast<size_t>(l)] = (100 * l + 127) / 255;
  return Rows(p);
}

TEST(LevelTable, EachPercentIsTheMiddleLevelOfItsRun) {
  // Levels 0-2 show 0 %, 3-5 1 %, 6-8 2 %, 9 3 %.
  std::vector<int> p = {0, 0, 0, 1, 1, 1, 2, 2, 2, 3};
  p.resize(256, 3);
  LevelTable t;
  t.Build(Rows(p));
  EXPECT_EQ(t.percentToLevel()[0], 0);
  EXPECT_EQ(t.percentToLevel()[1], 4);
  EXPECT_EQ(t.percentToLevel()[2], 7);
  EXPECT_EQ(t.percentToLevel()[100], 255);
  EXPECT_EQ(t.ToPercent(4), 1);
  EXPECT_EQ(t.ToPercent(9), 3);
}

TEST(LevelTable, ZeroAndFullAreFixedWhateverTheRowsSay) {
  std::vector<int> p(256, 50);
  LevelTable t;
  t.Build(Rows(p));
  EXPECT_EQ(t.ToLevel(0), 0);
  EXPECT_EQ(t.ToLevel(100), 255);
}

TEST(LevelTable, PercentToLevelAndBackIsTheIdentityForARisingTable) {
  LevelTable t;
  t.Build(RisingRows());
  for (int p = 0; p <= 100; ++p) EXPECT_EQ(t.ToPercent(t.ToLevel(p)), p) << p;
  // Every level maps to a percent that maps back into the same run.
  for (int l = 0; l < 256; ++l) {
    const uint8_t p = t.ToPercent(static_cast<uint8_t>(l));
    EXPECT_LE(p, 100);
    EXPECT_EQ(t.ToPercent(t.ToLevel(p)), p) << l;
  }
  // Percents rise with the level.
  for (int p = 1; p <= 100; ++p) EXPECT_GT(t.ToLevel(p), t.ToLevel(p - 1));
}

TEST(LevelTable, PercentsOutsideTheRangeAreBounded) {
  LevelTable t;
  t.Build(RisingRows());
  EXPECT_EQ(t.ToLevel(-5), 0);
  EXPECT_EQ(t.ToLevel(150), 255);
  EXPECT_EQ(t.ToLevel(255), 255);
  // Row percents beyond 0-100 are bounded too.
  std::vector<int> p(256, 0);
  p[10] = 300;
  p[11] = -7;
  t.Build(Rows(p));
  EXPECT_EQ(t.ToPercent(10), 100);
  EXPECT_EQ(t.ToPercent(11), 0);
}

TEST(LevelTable, RowsThatDoNotRiseNeverWritePastTheTable) {
  // 255 changes of percent: more entries than the table has.
  std::vector<int> p(256);
  for (int l = 0; l < 256; ++l) p[static_cast<size_t>(l)] = l % 2 == 0 ? 0 : 100;
  LevelTable t;
  t.Build(Rows(p));  // ASan would see a write past entry 100
  EXPECT_EQ(t.ToLevel(100), 255);
  EXPECT_EQ(t.ToLevel(0), 0);
}

TEST(LevelTable, BeforeLoadingAndForMissingRowsTheStraightLineHolds) {
  LevelTable t;
  EXPECT_EQ(t.ToLevel(0), 0);
  EXPECT_EQ(t.ToLevel(50), 128);
  EXPECT_EQ(t.ToLevel(100), 255);
  EXPECT_EQ(t.ToPercent(255), 100);
  EXPECT_EQ(t.ToPercent(128), 50);

  // Ten rows only: levels 0-9 from the rows, the rest from the line.
  t.Build(Rows({0, 0, 0, 1, 1, 1, 2, 2, 2, 3}));
  EXPECT_EQ(t.ToPercent(9), 3);
  EXPECT_EQ(t.ToPercent(255), 100);
  EXPECT_EQ(t.ToLevel(1), 4);
  EXPECT_EQ(t.ToLevel(100), 255);
  EXPECT_EQ(t.ToLevel(50), 128) << "entries the rows do not reach keep the line";
}

}  // namespace
