// Preset, relay-cycle and analog patch requests: what they send to the
// racks, byte for byte, and what they write back to the database.
#include "DocPresets.h"
#include "DocRequestTestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

class DocPresetTest : public DocRequestTest {
 protected:
  void SetUp() override {
    DocRequestTest::SetUp();
    KnownRack(3, 2, 1, 4, 2);  // node 2, slot 1: four dimmers and two analog outputs
    racks[3] = &rack3_;
  }
  sim::RackModel rack3_{{3, 0, 4, 0, 2}};
};

// ---- refusals -------------------------------------------------------------------

TEST_F(DocPresetTest, RequestsThatCannotBeServedAreRefusedAtOnceWithTheirReason) {
  struct Case {
    int type, subType, zone;
    std::vector<std::pair<int, const char*>> params;
    const char* row;
  } cases[] = {
      {1, 7, 10003, {{1, "2"}}, "5|Invalid Request subtype 7"},
      {1, 2, 10003, {}, "5|Error: Request %d has no parameter."},
      {1, 2, 10003, {{1, "two"}}, "5|Error: Request %d: parameter \"two\" is not a number."},
      {1, 2, 10003, {{1, "100"}}, "5|Error: Invalid QXV preset 100."},
      {2, 4, 10003, {{1, "1"}, {2, "1"}}, "5|Invalid Request subtype 4"},
      {2, 2, 10003, {{1, "1"}}, "5|Error: Request %d needs a room (parameter 1) and a preset (parameter 2)."},
      {2, 2, 10003, {{1, "17"}, {2, "1"}}, "5|Error: Invalid Brevant room 17."},
      {2, 3, 10003, {{1, "-1"}, {2, "10"}}, "5|Error: Invalid Brevant preset 10."},
      {9, 2, 10003, {{1, "1"}}, "5|Invalid Request subtype 2"},
      {9, 1, 500, {{1, "1"}}, "5|Error: Zone 500 is not a rack."},
      {9, 1, 10003, {{1, "257"}}, "5|Error: Invalid dimmer 257."},
      {9, 1, 10009, {{1, "-1"}}, "5|Error: Rack 9 has no digital dimmers configured."},
      // A rack the document has no outputs for: nothing is sent.
      {10, 21, 10009, {}, "5|Error: Rack 9 has no outputs configured."},
  };
  int rid = 0;
  for (const Case& c : cases) {
    Request(++rid, c.type, c.subType, c.zone);
    for (const auto& [number, value] : c.params) Param(rid, number, value);
  }
  Doc().PollRequests();
  rid = 0;
  for (const Case& c : cases) {
    ++rid;
    char want[300];
    std::snprintf(want, sizeof want, c.row, rid);
    EXPECT_EQ(Row(rid), want) << "type " << c.type << "/" << c.subType;
  }
  EXPECT_TRUE(posted.empty());
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(DocPresetTest, ADatabaseFailureEndsTheRequestWithItsHandlersLine) {
  Sql("DROP TABLE tblTKZRequestParam;");
  const std::pair<int, int> cases[] = {{1, 1719}, {2, 1872}, {9, 1943}};  // type, line
  int rid = 0;
  for (const auto& [type, line] : cases) Request(++rid, type, type == 9 ? 1 : 2, 10003);
  Doc().PollRequests();
  rid = 0;
  for (const auto& [type, line] : cases) {
    const std::string row = Row(++rid);
    EXPECT_EQ(row.rfind("5|Doc#" + std::to_string(line) + ": ", 0), 0u) << row;
    EXPECT_EQ(CountLines("DBExceptionDiag Error: Doc#" + std::to_string(line) + ": "), 1);
  }
  EXPECT_TRUE(posted.empty());
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

// ---- QXV and Brevant presets ------------------------------------------------------

TEST_F(DocPresetTest, PresetCommandsGoToTheZonesPortOrRackAndEndWithTheRacksText) {
  struct Case {
    int type, subType;
    std::vector<std::pair<int, const char*>> params;
    const char* started;
    uint32_t rack;  // as sent
    Bytes bytes;
    const char* done;
  } cases[] = {
      {1, 2, {{1, "7"}}, "QXV preset select message sent", kRackBroadcast, {1, 0, 7}, "QXV preset 7 selected"},
      // A value is the number its text begins with.
      {1, 3, {{1, " 7 (stage)"}}, "QXV record preset message sent", 3, {3, 0, 7}, "QXV preset 7 recorded"},
      {2, 2, {{1, "-1"}, {2, "4"}}, "Brevant preset play request started", kRackBroadcast, {34, 0, 0, 15, 4},
       "Brevant preset 4 selected in all rooms"},
      {2, 3, {{2, "3"}, {1, "2nd room"}}, "Brevant preset record request started", 3, {35, 0, 1, 1, 3},
       "Brevant preset 3 recorded in room 2"},
  };
  int rid = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.started);
    ++rid;
    sent.clear();
    Request(rid, c.type, c.subType, 10003);
    for (const auto& [number, value] : c.params) Param(rid, number, value);
    Doc().PollRequests();
    EXPECT_EQ(Row(rid), std::string("3|") + c.started);
    Serve();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].rack, c.rack);
    EXPECT_EQ(sent[0].bytes, c.bytes);
    if (c.rack == kRackBroadcast) {
      EXPECT_EQ(sent[0].nodeId, 2u);
      EXPECT_EQ(sent[0].portSlot, 1);
    }
    EXPECT_EQ(rack3_.rejects(), 0u) << rack3_.last_reject();
    EXPECT_EQ(Row(rid), std::string("4|") + c.done);
  }
  EXPECT_EQ(rack3_.state().qxvPreset, 7);
  EXPECT_EQ(rack3_.state().roomPresets[15], 4);
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(DocPresetTest, TransfersRunTheLevelStepOnlyForPresetsWithLevelsThenTheFadeTimes) {
  std::vector<std::string> calls;
  auto record = [this, &calls](const std::string& what, CTKZDoc& doc, const std::vector<uint32_t>& zoneRacks,
                               InProcRequest* r) {
    EXPECT_EQ(zoneRacks, (std::vector<uint32_t>{3}));
    calls.push_back(what + " sub " + std::to_string(r->RequestSubType));
    ASSERT_TRUE(SendRackMsg(doc.NewRackMsg(r)));  // one message of the step
  };
  PresetSteps steps;
  steps.qxvLevels = [&](CTKZDoc& d, const std::vector<uint32_t>& z, InProcRequest* r, int32_t p) {
    record("qxv levels " + std::to_string(p), d, z, r);
  };
  steps.qxvFadeTimes = [&](CTKZDoc& d, const std::vector<uint32_t>& z, InProcRequest* r, int32_t p) {
    record("qxv times " + std::to_string(p), d, z, r);
  };
  steps.brevantLevels = [&](CTKZDoc& d, const std::vector<uint32_t>& z, InProcRequest* r, int32_t p, int32_t room) {
    record("bvt levels " + std::to_string(p) + "/" + std::to_string(room), d, z, r);
  };
  steps.brevantFadeTimes = [&](CTKZDoc& d, const std::vector<uint32_t>& z, InProcRequest* r, int32_t p,
                               int32_t room) {
    record("bvt times " + std::to_string(p) + "/" + std::to_string(room), d, z, r);
  };
  SetPresetSteps(steps);
  struct Uninstall {
    ~Uninstall() { ResetPresetSteps(); }
  } uninstall;

  struct Case {
    int type, subType;
    std::vector<std::pair<int, const char*>> params;
    std::vector<std::string> calls;
    const char* started;
    const char* done;
  } cases[] = {
      {1, 0, {{1, "0"}}, {"qxv times 0 sub 0"}, "QXV preset download request sent", "4|Complete."},
      {1, 1, {{1, "5"}}, {"qxv levels 5 sub 1", "qxv times 5 sub 1"}, "QXV preset upload request sent",
       "4|Complete."},
      {1, 0, {{1, "-1"}}, {"qxv levels -1 sub 0", "qxv times -1 sub 0"}, "QXV preset download request sent",
       "4|Complete."},
      {2, 0, {{1, "-1"}, {2, "-1"}}, {"bvt levels -1/-1 sub 0", "bvt times -1/-1 sub 0"},
       "Brevant preset load request started", "4|All Brevant presets set in all rooms."},
      {2, 0, {{1, "3"}, {2, "9"}}, {"bvt times 9/3 sub 0"}, "Brevant preset load request started",
       "4|Brevant preset 9 set in room 3."},
      {2, 1, {{1, "-1"}, {2, "4"}}, {"bvt levels 4/-1 sub 1", "bvt times 4/-1 sub 1"},
       "Brevant preset load request started", "4|Brevant preset 4 retrieved from all rooms."},
      {2, 1, {{1, "2"}, {2, "-1"}}, {"bvt levels -1/2 sub 1", "bvt times -1/2 sub 1"},
       "Brevant preset load request started", "4|All Brevant presets retrieved from room 2."},
  };
  int rid = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.done);
    ++rid;
    calls.clear();
    Request(rid, c.type, c.subType, 10003);
    for (const auto& [number, value] : c.params) Param(rid, number, value);
    Doc().PollRequests();
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(Row(rid), std::string("3|") + c.started);
    while (!posted.empty()) {  // every step's message comes back without a text
      RackMsg* m = posted.front();
      posted.pop_front();
      RunRackMsgContinuation(m);
    }
    EXPECT_EQ(Row(rid), c.done);
  }
}

TEST_F(DocPresetTest, OneBrevantPresetOfEveryRoomMovesThatPresetsFadeTimeInEachRoom) {
  // Rack 3 below control zone 7, whose fade times read room x 10 + preset.
  DocTestPeer::AddRack(Doc(), 3).ZoneParentID = 7;
  Sql("WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r WHERE x < 16),"
      " p(y) AS (SELECT 0 UNION ALL SELECT y + 1 FROM p WHERE y < 9)"
      " INSERT INTO tblBvtPreset (ZoneID, RoomNumber, PresetNumber, PresetTime) SELECT 7, x, y, x * 10 + y FROM r, p;");
  const struct Case {
    int subType;
    const char* done;
  } cases[] = {{0, "4|Brevant preset 4 set in all rooms."}, {1, "4|Brevant preset 4 retrieved from all rooms."}};
  int rid = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.done);
    ++rid;
    if (c.subType == 1) rack3_.state().bvtTimes[5][4] = 999;  // room 6, changed at the rack
    Request(rid, 2, c.subType, 10003);
    Param(rid, 1, "-1");
    Param(rid, 2, "4");
    Doc().PollRequests();
    Serve();
    EXPECT_EQ(Row(rid), c.done);
    EXPECT_EQ(rack3_.rejects(), 0u) << rack3_.last_reject();
  }
  for (int room = 0; room < 16; ++room) {
    EXPECT_EQ(rack3_.state().bvtTimes[room][4], room == 5 ? 999 : (room + 1) * 10 + 4) << room;
    EXPECT_EQ(rack3_.state().bvtTimes[room][3], 0) << room;
  }
  EXPECT_EQ(Rows("SELECT RoomNumber || '=' || PresetTime FROM tblBvtPreset WHERE ZoneID = 7 AND PresetNumber = 4"
                 " AND PresetTime <> RoomNumber * 10 + 4"),
            (std::vector<std::string>{"6=999"}));
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(DocPresetTest, AMessageTheCommThreadDoesNotTakeFailsTheRequest) {
  refusePosts = true;
  Request(1, 1, 3, 10003);
  Param(1, 1, "7");
  Doc().PollRequests();
  EXPECT_EQ(Row(1), "5|Communications failure with node");
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

// ---- relay cycle counts -------------------------------------------------------------

class RelayCycleTest : public DocRequestTest {
 protected:
  void SetUp() override {
    DocRequestTest::SetUp();
    KnownRack(3, 2, 1, 96);
    racks[3] = &rack_;
    std::string sql;
    for (int d = 1; d <= 96; ++d) {
      rack_.state().dimmers[d - 1].relayCycles = 1000u + static_cast<uint32_t>(d);
      sql += "INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, relaycycles) VALUES (" +
             std::to_string(3000 + d) + ", 10003, " + std::to_string(d) + ", " + std::to_string(d % 2 ? 1000 + d : 7) +
             ");";
    }
    Sql(sql);
  }
  sim::RackModel rack_{{3, 0, 96, 0, 0}};
};

TEST_F(RelayCycleTest, AllRelaysAreFetchedInOneMessageAndStoredWhereTheyDiffer) {
  Request(1, 9, 1, 10003);
  Param(1, 1, "-1");
  Doc().PollRequests();
  EXPECT_EQ(Row(1), "3|Relay cycle count request started");
  Serve();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes, (Bytes{51, 0, 0, 95, 1, 0, 2, 0}));
  EXPECT_EQ(Row(1), "4|Get relay cycle count request complete.");
  EXPECT_EQ(One("SELECT count(*) FROM tblDimConfig WHERE relaycycles = 1000 + DimNumber"), "96");
}

TEST_F(RelayCycleTest, OneRelayIsResetAndItsCountStoredAsZero) {
  Request(1, 9, 10, 10003);
  Param(1, 1, "5");
  Doc().PollRequests();
  Serve();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes, (Bytes{52, 0, 4, 4, 1, 0, 2, 0, 0, 0, 0, 0}));
  EXPECT_EQ(rack_.state().dimmers[4].relayCycles, 0u);
  EXPECT_EQ(One("SELECT relaycycles FROM tblDimConfig WHERE DimID = 3005"), "0");
  EXPECT_EQ(One("SELECT relaycycles FROM tblDimConfig WHERE DimID = 3004"), "7");
  EXPECT_EQ(Row(1), "4|Relay cycle count reset for relay 5 on rack 3.");
}

TEST_F(RelayCycleTest, ResetOfRelay256GoesOutAndRelay257IsRefused) {
  Request(1, 9, 10, 10003);
  Param(1, 1, "256");
  Request(2, 9, 10, 10003);
  Param(2, 1, "257");
  Doc().PollRequests();
  EXPECT_EQ(Row(2), "5|Error: Invalid dimmer 257.");
  Serve();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes, (Bytes{52, 0, 255, 255, 1, 0, 2, 0, 0, 0, 0, 0}));
}

TEST_F(RelayCycleTest, AFailedFetchWritesNothing) {
  rack_.FailNext(IO_KRN_NO_RESPONSE);
  Request(1, 9, 1, 10003);
  Param(1, 1, "-1");
  Doc().PollRequests();
  Serve();
  EXPECT_EQ(Row(1), "5|IO_KRN: No response from rack");
  EXPECT_EQ(One("SELECT count(*) FROM tblDimConfig WHERE relaycycles = 7"), "48");
}

// ---- analog patch --------------------------------------------------------------------

class AnalogPatchTest : public DocPresetTest {
 protected:
  void SetUp() override {
    DocPresetTest::SetUp();
    // Six outputs of rack 3 (DimIDs out of DimNumber order: the patch
    // follows DimID), and an audit of every row written.
    std::string sql;
    for (int i = 0; i < 6; ++i)
      sql += "INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, AnalogIn, AnalogInEnable) VALUES (" +
             std::to_string(3001 + i) + ", 10003, " + std::to_string(6 - i) + ", " + std::to_string(10 + i) + ", " +
             (i % 2 ? "-1" : "0") + ");";
    sql += "CREATE TABLE written (DimID INTEGER);"
           "CREATE TRIGGER audit AFTER UPDATE ON tblDimConfig BEGIN INSERT INTO written VALUES (NEW.DimID); END;";
    Sql(sql);
    for (int i = 0; i < 6; ++i) {
      rack3_.state().dimmers[i].setup[9] = i % 2 ? 1 : 0;
      rack3_.state().dimmers[i].setup[10] = static_cast<uint8_t>(10 + i);
    }
  }
};

TEST_F(AnalogPatchTest, ADownloadSendsTheStoredPairsOfEveryOutput) {
  for (auto& d : rack3_.state().dimmers) d.setup[9] = d.setup[10] = 0;
  Request(1, 10, 20, 10003);
  Doc().PollRequests();
  EXPECT_EQ(Row(1), "3|Analog patch download request started");
  Serve();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes, (Bytes{23, 0, 0, 5, 2, 0, 9, 10, 0, 1, 0, 1, 0, 1, 10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(rack3_.rejects(), 0u) << rack3_.last_reject();
  EXPECT_EQ(rack3_.state().dimmers[5].setup[10], 15);
  EXPECT_EQ(rack3_.state().dimmers[5].setup[9], 1);
  EXPECT_EQ(Row(1), "4|Complete.");
}

TEST_F(AnalogPatchTest, AnUploadWritesOnlyThePairsThatDiffer) {
  struct Case {
    const char* what;
    std::function<void(sim::RackState&)> change;
    std::vector<std::string> written;
    const char* row;
  } cases[] = {
      {"same patch", [](sim::RackState&) {}, {}, "4|Analog patch retrieved from rack 3"},
      {"pair 5 differs",
       [](sim::RackState& s) { s.dimmers[5].setup[9] = 0; },
       {"3006"},
       "4|Analog patch retrieved from rack 3"},
  };
  int rid = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sql("DELETE FROM written;");
    c.change(rack3_.state());
    Request(++rid, 10, 21, 10003);
    Doc().PollRequests();
    EXPECT_EQ(Row(rid), "3|Analog patch upload request started");
    Serve();
    EXPECT_EQ(Rows("SELECT DimID FROM written"), c.written);
    EXPECT_EQ(Row(rid), c.row);
  }
  EXPECT_EQ(One("SELECT AnalogIn, AnalogInEnable FROM tblDimConfig WHERE DimID = 3006"), "15|0");
  EXPECT_EQ(One("SELECT AnalogInEnable FROM tblDimConfig WHERE DimID = 3004"), "-1");
}

TEST_F(AnalogPatchTest, AFailedUploadWritesNothingAndFailsTheRequest) {
  rack3_.state().dimmers[0].setup[10] = 99;
  rack3_.FailNext(IO_KRN_CRC_ERROR);
  Request(1, 10, 21, 10003);
  Doc().PollRequests();
  Serve();
  EXPECT_EQ(Row(1), "5|IO_KRN: CRC error");
  EXPECT_EQ(One("SELECT count(*) FROM written"), "0");
}

TEST_F(AnalogPatchTest, AZoneWithoutRacksCompletesAtOnce) {
  for (int subType : {20, 21}) {
    Request(subType, 10, subType, 700);
    Doc().PollRequests();
    EXPECT_EQ(Row(subType), "4|Complete.") << subType;
  }
  EXPECT_TRUE(posted.empty());
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(AnalogPatchTest, ADownloadWhoseRowsCannotBeReadSendsNothingAndFails) {
  Sql("DROP TABLE tblDimConfig;");
  Request(1, 10, 20, 10003);
  Doc().PollRequests();
  EXPECT_TRUE(posted.empty());
  const std::string row = Row(1);
  EXPECT_EQ(row.rfind("5|Doc#6093: ", 0), 0u) << row;
  EXPECT_EQ(CountLines("DBExceptionDiag Error: Doc#6093: "), 1);
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

}  // namespace
