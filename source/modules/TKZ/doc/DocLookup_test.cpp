// The open sequence fills the rack-message layer's mux-type and level
// tables from the site's database.
#include "Comm.h"
#include "DocTestSupport.h"

namespace {

TEST_F(DocSiteTest, OpenLoadsEveryMuxTypeRowWithTheLowBytesOfItsSpeedAndProtocol) {
  Sql("DELETE FROM tblMuxType;"
      "INSERT INTO tblMuxType (MuxType, MuxTypeDescription, MuxProtocol, MuxSpeed, MaxChannel) VALUES"
      " (41, 'a', 2, 261, 512), (42, 'b', 4, 9, 48);");
  OpenDoc();
  EXPECT_EQ(CountLines("Loaded 2 MuxTypes."), 1) << observer_.text();

  const auto a = theComm.FindMuxType(41);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(theComm.MuxTypes().slot(*a).speed, 5);  // 261 & 0xFF
  EXPECT_EQ(theComm.MuxTypes().slot(*a).protocol, 2);
  // What a rack reports finds its database type again.
  const auto b = theComm.FindMuxTypeByCodes(9, 4);
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(theComm.MuxTypes().slot(*b).MuxType, 42);
}

TEST_F(DocSiteTest, OpenBuildsTheLevelTablesFromTheSitesLevelRows) {
  // Levels 0-2 show 0 %, 3-5 1 %, 6-8 2 %, level 9 3 %.
  Sql("DELETE FROM tblLevel2Percent;"
      "INSERT INTO tblLevel2Percent (Level, Percent) VALUES"
      " (0, 0), (1, 0), (2, 0), (3, 1), (4, 1), (5, 1), (6, 2), (7, 2), (8, 2), (9, 3);");
  OpenDoc();
  EXPECT_EQ(CountLines("Loaded Level lookup table."), 1) << observer_.text();

  const LevelTable& t = theComm.Levels();
  EXPECT_EQ(t.ToLevel(0), 0);
  EXPECT_EQ(t.ToLevel(1), 4);
  EXPECT_EQ(t.ToLevel(2), 7);
  EXPECT_EQ(t.ToLevel(100), 255);
  EXPECT_EQ(t.levelToPercent()[4], 1);
  EXPECT_EQ(t.levelToPercent()[9], 3);
}

TEST_F(DocSiteTest, AMissingMuxTypeTableIsLoggedAndTheOpenGoesOn) {
  Sql("DROP TABLE tblMuxType;");
  OpenDoc();  // expects the open to succeed
  EXPECT_EQ(CountLines("doc.cpp#"), 1) << observer_.text();
  EXPECT_EQ(CountLines("Loaded 0 MuxTypes."), 1);
  EXPECT_EQ(CountLines("Loaded Level lookup table."), 1);
}

}  // namespace
