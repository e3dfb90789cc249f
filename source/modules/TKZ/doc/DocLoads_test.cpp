// Learn loads and manual levels: the messages a dimmer group gives, the
// group's rows a macro writes, the learnt loads written back, and the
// failures that end these requests.
#include "DocRackTestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

class LoadsTest : public DocRackTest {
 protected:
  // Dimmers 1..n of a rack's own zone, each with its manual-level pair.
  void AddDimmers(int rack, const std::vector<std::pair<int, int>>& manual) {
    std::string sql;
    for (size_t i = 0; i < manual.size(); ++i) {
      const int d = static_cast<int>(i) + 1;
      sql += "INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, ManualLevelEnable, ManualLevel, LearntWattage) "
             "VALUES (" + std::to_string(rack * 1000 + d) + ", " + std::to_string(10000 + rack) + ", " +
             std::to_string(d) + ", " + std::to_string(manual[i].first) + ", " + std::to_string(manual[i].second) +
             ", 0);";
    }
    Sql(sql);
  }
  InProcRequest* NewRequest(int rid, int type, int zone, int subType = 0) {
    Sql("INSERT INTO tblTKZRequest (RID, RequestState, RequestType, RequestSubType, ZoneID) VALUES (" +
        std::to_string(rid) + ", 3, " + std::to_string(type) + ", " + std::to_string(subType) + ", " +
        std::to_string(zone) + ");");
    InProcRequest* r = Doc().AddRequest();
    r->RID = rid;
    r->RequestType = type;
    r->RequestSubType = subType;
    r->ZoneID = zone;
    return r;
  }
  std::string RequestRow(int rid) {
    return One("SELECT RequestState || '|' || ifnull(RequestDiagnostic, '') FROM tblTKZRequest WHERE RID = " +
               std::to_string(rid));
  }
  // A set-manual-levels command: enables (flags 1/0), then levels.
  static Bytes ManualCommand(const std::vector<std::pair<int, int>>& pairs) {
    Bytes b{54, 0, 0, static_cast<uint8_t>(pairs.size() - 1)};
    for (const auto& p : pairs) b.push_back(p.first != 0 ? 1 : 0);
    for (const auto& p : pairs) b.push_back(theComm.ToLevel(p.second));
    return b;
  }
};

TEST_F(LoadsTest, ADimmerGroupSendsOneMessagePerRackWithEveryChannelAsStored) {
  AddRack(3, 2, 1, 3, 1);  // three dimmers and one analog output
  AddRack(5, 2, 2, 2, 0);
  AddDimmers(3, {{-1, 10}, {0, 20}, {-1, 100}, {0, 0}});
  AddDimmers(5, {{0, 55}, {-1, 60}});
  Sql("INSERT INTO tblDimGroupDim (DimGroupID, DimID) VALUES (1, 3002), (1, 3004), (1, 5001), (1, 3003);");
  InProcRequest* request = NewRequest(20, 5, 1);
  Doc().StartManualLevels(request);
  Doc().RequestSent(request);
  Serve();
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[0].rack, 3u);
  EXPECT_EQ(sent_[0].bytes, ManualCommand({{-1, 10}, {0, 20}, {-1, 100}, {0, 0}}));
  EXPECT_EQ(sent_[1].rack, 5u);
  EXPECT_EQ(sent_[1].bytes, ManualCommand({{0, 55}, {-1, 60}}));
  EXPECT_EQ(Model(3).state().dimmers[2].manualEnable, 1);
  EXPECT_EQ(RequestRow(20), "4|Set dimmer manual levels request complete.");
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(LoadsTest, AnEmptyGroupSendsNothingAndSucceedsAtOnce) {
  InProcRequest* request = NewRequest(21, 5, 99);
  Doc().StartManualLevels(request);
  Doc().RequestSent(request);
  EXPECT_TRUE(posted_.empty());
  EXPECT_EQ(RequestRow(21), "4|Complete.");
}

TEST_F(LoadsTest, MacroActionWritesTheGroupsRowsThenSendsThem) {
  struct Case {
    const char* enable;
    const char* level;
    std::string rows;  // enable|level of dimmers 3001, 3002, 3003 afterwards
    size_t messages;
  };
  const Case cases[] = {
      {"1", "40", "-1|40,0|20,-1|40", 1},
      {"0", "", "0|0,0|20,0|0", 1},      // disabled without a level: level 0
      {"1", "150", "0|5,0|20,-1|7", 0},  // a level beyond 100% is refused
  };
  AddRack(3, 2, 1, 3, 0);
  AddDimmers(3, {{0, 5}, {0, 20}, {-1, 7}});
  Sql("INSERT INTO tblDimGroupDim (DimGroupID, DimID) VALUES (4, 3001), (4, 3003);");
  int id = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.enable) + "/" + c.level);
    Sql("UPDATE tblDimConfig SET ManualLevelEnable = CASE DimID WHEN 3003 THEN -1 ELSE 0 END, "
        "ManualLevel = CASE DimID WHEN 3001 THEN 5 WHEN 3002 THEN 20 ELSE 7 END;");
    sent_.clear();
    AddStep(id, 1, 3, "4", c.enable, c.level);
    AddSchedule(id, 2, Ole(2026, 3, 14), TimeOfDay(9, 0), id);
    ASSERT_TRUE(Doc().LoadSchedule());
    Doc().RunDueEvents();
    Serve();
    std::string rows;
    for (const std::string& r : Rows("SELECT ManualLevelEnable || '|' || ManualLevel FROM tblDimConfig ORDER BY DimID"))
      rows += (rows.empty() ? "" : ",") + r;
    EXPECT_EQ(rows, c.rows);
    ASSERT_EQ(sent_.size(), c.messages);
    if (c.messages == 1) {
      const int e = c.enable[0] == '1' ? 1 : 0;
      const int l = c.level[0] != 0 ? std::stoi(c.level) : 0;
      EXPECT_EQ(sent_[0].bytes, ManualCommand({{e, l}, {0, 20}, {e, l}}));
      EXPECT_EQ(ScheduleRow(id), "4|Set dimmer manual levels request complete.|1");
    } else {
      EXPECT_EQ(CountLines("Error: Manual level 150% of dimmer group 4 out of range 0-100, not set."), 1);
      EXPECT_EQ(ScheduleRow(id), "4|Complete.|0");
    }
    ++id;
  }
}

TEST_F(LoadsTest, LearningOneDimmerWritesBackEveryLearntLoadOfTheRack) {
  AddRack(3, 2, 1, 12, 0);
  std::vector<std::pair<int, int>> dims(12, {0, 0});
  AddDimmers(3, dims);
  sim::RackModel& rack = Model(3, 12);
  for (int d = 0; d < 12; ++d) {
    rack.state().dimmers[d].connectedLoad = static_cast<uint16_t>(1000 + d);
    rack.state().dimmers[d].learntLoad = static_cast<uint16_t>(300 + d);
  }
  InProcRequest* request = NewRequest(30, 8, 10003, 12);
  Doc().StartLearnLoads(request);
  Doc().RequestSent(request);
  Serve();
  EXPECT_EQ(learnPhases_, (std::vector<int>{0, 1}));
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[0].bytes, (Bytes{55, 0, 1, 0, 11}));  // dimmer 12 only
  EXPECT_EQ(sent_[1].Command(), 24);                     // then every learnt load
  std::vector<std::string> expected;
  for (int d = 0; d < 12; ++d) expected.push_back(std::to_string(rack.state().dimmers[d].learntLoad));
  EXPECT_EQ(expected[11], "1011");
  EXPECT_EQ(Rows("SELECT LearntWattage FROM tblDimConfig WHERE ZoneID = 10003 ORDER BY DimNumber"), expected);
  EXPECT_EQ(RequestRow(30), "4|Learn loads request complete.");
}

TEST_F(LoadsTest, LearntLoadsRequestsThatFailWriteNothingAndCompleteFailed) {
  struct Case {
    const char* what;
    int dimmerRows;
    uint16_t linkCode;
    std::string row;
    std::string loads;
  };
  const Case cases[] = {
      {"fewer rows than dimmers", 2, 0, "5|Doc#4632: 3021:", "300,301"},
      {"no response", 4, 0x10, "5|IO_KRN: No response from rack", "0,0,0,0"},
  };
  int rid = 40;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int rackNumber = rid - 30;  // racks 10 and 11
    AddRack(rackNumber, 2, 1, 4, 0);
    AddDimmers(rackNumber, std::vector<std::pair<int, int>>(static_cast<size_t>(c.dimmerRows), {0, 0}));
    sim::RackModel& rack = Model(static_cast<uint32_t>(rackNumber), 4);
    for (int d = 0; d < 4; ++d) rack.state().dimmers[d].learntLoad = static_cast<uint16_t>(300 + d);
    if (c.linkCode != 0) failCodes_.push_back(c.linkCode);
    InProcRequest* request = NewRequest(rid, 11, 10000 + rackNumber);
    Doc().StartLearnLoads(request);
    Doc().RequestSent(request);
    Serve();
    EXPECT_EQ(RequestRow(rid).substr(0, c.row.size()), c.row);
    std::string loads;
    for (const std::string& r : Rows("SELECT LearntWattage FROM tblDimConfig WHERE ZoneID = " +
                                     std::to_string(10000 + rackNumber) + " ORDER BY DimNumber"))
      loads += (loads.empty() ? "" : ",") + r;
    EXPECT_EQ(loads, c.loads);
    EXPECT_EQ(Doc().RequestCount(), 0u);
    ++rid;
  }
}

TEST_F(LoadsTest, LearnLoadsForAZoneThatIsNoRackFailsTheRequestUnsent) {
  InProcRequest* request = NewRequest(50, 8, 42, -1);
  Doc().StartLearnLoads(request);
  EXPECT_EQ(Doc().RequestRow().RequestState, REQUEST_STATE_FAILED);
  EXPECT_STREQ(Doc().RequestRow().RequestDiagnostic, "Error: Zone 42 is not a rack, loads not learnt.");
  EXPECT_TRUE(posted_.empty());
  Doc().FreeRequest(request);
}

}  // namespace
