// The rack configuration process and its rack and dimmer steps, driven
// against rack models: downloads set the racks from the database, uploads
// write the racks' state back, and failures end the request.
#include "RackConfigTestSupport.h"

namespace {

constexpr int kDims = 6;

// ---- Download and upload of the whole configuration -------------------------------

TEST_F(RackConfigTest, CompleteDownloadSetsEveryRackFromTheDatabase) {
  for (int rack = 1; rack <= 3; ++rack) AddRack(rack, kDims);
  SeedZoneTables();
  const uint32_t reqNum = Dispatch(1, 0, 0, kZone, {"20"});
  ASSERT_NE(doc->FindRequest(reqNum), nullptr);
  // Three racks, seven steps of one message each, user curves five each.
  EXPECT_EQ(posted.size(), 36u);
  EXPECT_EQ(doc->FindRequest(reqNum)->expected, 36);
  EXPECT_EQ(startText, "Load request process started");
  EXPECT_EQ(CountLines("Download request process started for 3 racks"), 1);
  Serve();
  EXPECT_EQ(State(1).substr(0, 2), "4|") << State(1);
  EXPECT_EQ(doc->RequestCount(), 0u);

  for (int rack = 1; rack <= 3; ++rack) {
    SCOPED_TRACE(rack);
    const sim::RackState& s = models[rack]->state();
    EXPECT_EQ(s.language, 2);
    EXPECT_EQ(s.muxFailHoldTime, 120);
    EXPECT_EQ(s.muxFailPreset, 5);
    EXPECT_EQ(s.fanSpeed, 1);
    EXPECT_EQ(s.muxProtocol[0], 4);
    EXPECT_EQ(s.muxSpeed[1], 7);
    const uint8_t modules[] = {11, 12, 13, 21, 22, 23, 0};  // three slots a row
    for (int i = 0; i < 7; ++i) EXPECT_EQ(s.moduleMap[i], modules[i]) << i;
    for (int d = 0; d < kDims; ++d) {
      const sim::DimmerState& dim = s.dimmers[d];
      EXPECT_EQ(dim.setup[1], theComm.ToLevel(10 + d + 1)) << d;  // minimum level
      EXPECT_EQ(dim.setup[0], 2) << d;                             // response
      EXPECT_EQ(dim.circuit, rack * 100 + d + 1) << d;
      EXPECT_EQ(dim.muxA, d + 1) << d;
      EXPECT_EQ(dim.muxB, 100 + d + 1) << d;
      EXPECT_EQ(dim.bvtRoom, d / 3) << d;
      EXPECT_EQ(dim.bvtChannel, d % 3) << d;
      EXPECT_EQ(dim.cableResistance, 100 + d + 1) << d;
      EXPECT_EQ(dim.loadTolerance, 20) << d;
    }
    EXPECT_EQ(s.curves[0].points, 3);
    EXPECT_EQ(s.curves[1].points, 0);
    for (int room = 0; room < 16; ++room) EXPECT_EQ(s.roomLinks[room], (room + 1) % 3) << room;
  }
}

TEST_F(RackConfigTest, CompleteUploadWritesWhatTheRacksHoldAndKeepsWhatTheyDoNotReport) {
  for (int rack = 1; rack <= 2; ++rack) AddRack(rack, kDims);
  SeedZoneTables();
  Dispatch(1, 0, 0, kZone, {"20"});
  Serve();
  ASSERT_EQ(State(1).substr(0, 2), "4|") << State(1);

  // The racks are changed at the panel.
  sim::RackState& s = models[2]->state();
  s.language = 4;
  s.muxFailHoldTime = 9999;
  s.moduleMap[4] = 42;
  s.dimmers[0].setup[1] = theComm.ToLevel(33);
  s.dimmers[0].circuit = 9001;
  s.dimmers[1].muxA = 77;
  s.dimmers[2].bvtRoom = 4;
  s.dimmers[2].bvtChannel = 5;
  s.dimmers[3].cableResistance = 333;
  s.dimmers[3].loadTolerance = 44;
  // Two points: the inputs, then the outputs.
  s.curves[0].points = 2;
  const uint8_t curve[] = {10, 0, 60, 0, 20, 0, 90, 0};
  std::copy(std::begin(curve), std::end(curve), s.curves[0].data);
  s.roomLinks[0] = 9;

  Dispatch(2, 0, 1, kZone, {"20"});
  Serve();
  EXPECT_EQ(State(2).substr(0, 2), "4|") << State(2);
  EXPECT_EQ(CountLines("Upload request process started for 2 racks"), 1);

  EXPECT_EQ(One("SELECT RackLanguage, MuxFailHoldTime, FanSpeed FROM tblRackConfig WHERE ZoneID = 10002"), "4|9999|-1");
  EXPECT_EQ(One("SELECT RackLanguage FROM tblRackConfig WHERE ZoneID = 10001"), "2");
  EXPECT_EQ(One("SELECT ModuleType1 FROM tblRackModuleMap WHERE ZoneID = 10002 AND Row = 2"), "42");
  EXPECT_EQ(One("SELECT MinLevel, CircuitID, ModuleType FROM tblDimConfig WHERE DimID = 2001"), "33|9001|7");
  EXPECT_EQ(One("SELECT MuxACh, MuxBCh FROM tblDimConfig WHERE DimID = 2002"), "77|102");
  EXPECT_EQ(One("SELECT BvtRoom, BvtCh FROM tblDimConfig WHERE DimID = 2003"), "5|6");
  EXPECT_EQ(One("SELECT CableResistance, LoadPercentTol FROM tblDimConfig WHERE DimID = 2004"), "333|44");
  // Rack 1 and the untouched dimmers keep their rows.
  EXPECT_EQ(One("SELECT MinLevel, CircuitID, StatusReportingEnable FROM tblDimConfig WHERE DimID = 1001"), "11|101|-1");
  EXPECT_EQ(One("SELECT RackType FROM tblRackConfig WHERE ZoneID = 10002"), "0");
  EXPECT_EQ(One("SELECT count(*) FROM tblRackUserCurvePoint WHERE ZoneID = 10002 AND UserCurve = 1"), "2");
  EXPECT_EQ(One("SELECT count(*) FROM tblRackUserCurvePoint WHERE ZoneID = 10001 AND UserCurve = 1"), "3");
  EXPECT_EQ(One("SELECT InputLevel, OutputLevel FROM tblRackUserCurvePoint WHERE ZoneID = 10002 AND UserCurve = 1"
                " ORDER BY InputLevel DESC"),
            "60|90");
  // The room links come from one rack only (none is up: the last).
  EXPECT_EQ(One("SELECT RoomLink FROM tblBvtRoomLink WHERE ZoneID = 500 AND RoomNumber = 1"), "9");
  EXPECT_EQ(SentCount(25), 2u * 2u + 1u);  // rack setup and module map per rack, room links once
}

TEST_F(RackConfigTest, ModuleMapPacksSixSlotsARowOnlyForSixSlotRacks) {
  AddRack(1, kDims);
  AddRack(2, kDims);
  Sql("UPDATE tblRackConfig SET NumberSlots = 6 WHERE ZoneID = 10001;"
      "UPDATE tblRackConfig SET NumberSlots = 4 WHERE ZoneID = 10002;");
  Dispatch(1, 0, 0, kZone, {"1"});
  Serve();
  ASSERT_EQ(State(1).substr(0, 2), "4|") << State(1);
  const uint8_t six[] = {11, 12, 13, 99, 99, 99, 21, 22, 23, 99, 99, 99, 0};
  const uint8_t three[] = {11, 12, 13, 21, 22, 23, 0};
  for (size_t i = 0; i < sizeof six; ++i) EXPECT_EQ(models[1]->state().moduleMap[i], six[i]) << i;
  for (size_t i = 0; i < sizeof three; ++i) EXPECT_EQ(models[2]->state().moduleMap[i], three[i]) << i;

  // An upload reads the entries back as they were packed.
  models[1]->state().moduleMap[7] = 55;  // row 2, slot 1
  models[2]->state().moduleMap[4] = 66;  // row 2, slot 1
  Dispatch(2, 0, 1, kZone, {"1"});
  Serve();
  EXPECT_EQ(State(2).substr(0, 2), "4|") << State(2);
  EXPECT_EQ(Rows("SELECT ZoneID, Row, ModuleType0, ModuleType1, ModuleType2, ModuleType3 FROM tblRackModuleMap"
                 " ORDER BY ZoneID, Row"),
            (std::vector<std::string>{"10001|1|11|12|13|99", "10001|2|21|55|23|99", "10002|1|11|12|13|99",
                                      "10002|2|21|66|23|99"}));
}

TEST_F(RackConfigTest, DimmerUploadAsksForEveryOutputAndWritesEachRowByItsDimNumber) {
  // 24 digital dimmers and 2 analog outputs; the database returns the rows
  // last DimNumber first.
  AddRack(1, 26);
  models[1] = std::make_unique<sim::RackModel>(sim::RackModel::Config{1, 0, 24, 0, 2});
  Sql("UPDATE tblRackConfig SET DigitalDims = 24, DigitalDimsFitted = 24, AnalogOutputs = 2 WHERE ZoneID = 10001;"
      "UPDATE sysStoredQuery SET SqlText = SqlText || ' ORDER BY tblDimConfig.DimNumber DESC'"
      " WHERE Name = 'TKZqryDimmerConfig';");
  Dispatch(1, 0, 0, kZone, {"3"});
  Serve();
  ASSERT_EQ(State(1).substr(0, 2), "4|") << State(1);
  sim::RackState& s = models[1]->state();
  s.dimmers[0].setup[1] = theComm.ToLevel(33);   // DimNumber 1
  s.dimmers[25].setup[1] = theComm.ToLevel(44);  // DimNumber 26, the second analog output

  Dispatch(2, 0, 1, kZone, {"3"});
  ASSERT_EQ(posted.size(), 2u);  // dimmer and dimmer fault configuration
  for (const RackMsg* m : posted) EXPECT_EQ(m->count, 26);
  Serve();
  EXPECT_EQ(State(2).substr(0, 2), "4|") << State(2);
  EXPECT_EQ(Rows("SELECT DimNumber || '=' || MinLevel FROM tblDimConfig WHERE ZoneID = 10001"
                 " AND MinLevel <> 10 + DimNumber ORDER BY DimNumber"),
            (std::vector<std::string>{"1=33", "26=44"}));
}

TEST_F(RackConfigTest, DimmerUploadsRewriteEnableFlagsAsTheDatabaseFlags) {
  AddRack(1, kDims);
  // Dimmers 1 and 2 have every enable flag set, dimmer 3 none.
  Sql("UPDATE tblDimConfig SET StatusReportingEnable = -1, AnalogInEnable = -1, ManualLevelEnable = -1"
      " WHERE DimID IN (1001, 1002);"
      "UPDATE tblDimConfig SET StatusReportingEnable = 0, AnalogInEnable = 0, ManualLevelEnable = 0"
      " WHERE DimID = 1003;");
  Dispatch(1, 0, 0, kZone, {"3"});
  Serve();
  ASSERT_EQ(State(1).substr(0, 2), "4|") << State(1);

  // Each row is rewritten by one of the two uploads: dimmer 1 and 3 by the
  // dimmer configuration (a new minimum level), dimmer 2 by the dimmer
  // fault configuration (a new cable resistance).
  sim::RackState& s = models[1]->state();
  s.dimmers[0].setup[1] = theComm.ToLevel(33);
  s.dimmers[1].cableResistance = 444;
  s.dimmers[2].setup[1] = theComm.ToLevel(55);
  Dispatch(2, 0, 1, kZone, {"3"});
  Serve();
  ASSERT_EQ(State(2).substr(0, 2), "4|") << State(2);
  EXPECT_EQ(Rows("SELECT DimID || ':' || MinLevel || ',' || CableResistance || ','"
                 " || StatusReportingEnable || ',' || AnalogInEnable || ',' || ManualLevelEnable"
                 " FROM tblDimConfig WHERE DimID <= 1003 ORDER BY DimID"),
            (std::vector<std::string>{"1001:33,101,-1,-1,-1", "1002:12,444,-1,-1,-1", "1003:55,103,0,0,0"}));
}

// ---- Rows one after another ------------------------------------------------------------

TEST_F(RackConfigTest, NextRowStartsOnlyWhenEveryMessageOfTheRowIsBack) {
  for (int rack = 1; rack <= 3; ++rack) AddRack(rack, kDims);
  Dispatch(1, 0, 0, kZone, {"2", "5"});
  EXPECT_EQ(PostedCount(26), 3u);
  Serve(2);
  EXPECT_EQ(PostedCount(21), 0u) << "the mux patch waits for the last rack configuration";
  Serve(1);
  EXPECT_EQ(PostedCount(21), 3u);
  Serve();
  // The builder's own text of the last reply stays.
  EXPECT_EQ(State(1), "4|Mux patch download complete.");
  EXPECT_EQ(models[3]->state().dimmers[5].muxB, 106);
}

TEST_F(RackConfigTest, RowThatSendsNothingIsFollowedByTheNext) {
  AddRack(1, kDims, 2);  // a kind 2 rack takes no module map
  Dispatch(1, 0, 0, 10001, {"1", "2"});
  Serve();
  EXPECT_EQ(State(1).substr(0, 2), "4|") << State(1);
  EXPECT_EQ(models[1]->state().moduleMap[0], 0);
  EXPECT_EQ(models[1]->state().language, 2);
}

// ---- Failures ---------------------------------------------------------------------------------

TEST_F(RackConfigTest, FailingRackEndsTheRequestWithItsTextAndNoFurtherRowStarts) {
  for (int rack = 1; rack <= 3; ++rack) AddRack(rack, kDims);
  int rid = 1;
  for (uint16_t code : {RC_RACK_OFFLINE, RC_TIMEOUT, RC_NO_NODE_FOR_RACK, RC_FLUSHED, RC_RACK_LEARNING}) {
    SCOPED_TRACE(code);
    for (auto& [rack, model] : models) model = std::make_unique<sim::RackModel>(ModelConfig(rack, kDims));
    sent.clear();
    failing = {{2u, code}};
    Dispatch(rid, 0, 0, kZone, {"2", "5"});
    Serve();
    EXPECT_EQ(State(rid), std::string("5|") + RcodeText(code));
    EXPECT_EQ(doc->RequestCount(), 0u);
    EXPECT_EQ(SentCount(21), 0u);
    EXPECT_EQ(models[1]->state().language, 2);
    EXPECT_EQ(models[3]->state().language, 2);
    ++rid;
  }
}

TEST_F(RackConfigTest, SilentRackTimesOutAndTheOthersAreStillSet) {
  for (int rack = 1; rack <= 2; ++rack) AddRack(rack, kDims);
  models[1]->SetSilent(true);
  Dispatch(1, 0, 0, kZone, {"4"});
  Serve();
  EXPECT_EQ(State(1), std::string("5|") + RcodeText(RC_TIMEOUT));
  EXPECT_EQ(models[2]->state().dimmers[0].circuit, 201);
}

TEST_F(RackConfigTest, UserCurveWithTooManyPointsFailsTheRequest) {
  for (int rack = 1; rack <= 2; ++rack) AddRack(rack, kDims);
  Sql("WITH RECURSIVE p(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM p WHERE x < 71)"
      " INSERT INTO tblRackUserCurvePoint (ZoneID, UserCurve, InputLevel, OutputLevel) SELECT 10001, 2, x, x FROM p;");
  Dispatch(1, 0, 0, kZone, {"10"});
  EXPECT_EQ(posted.size(), 9u) << "the refused curve never reaches the rack";
  Serve();
  EXPECT_EQ(State(1), "5|Too many points in user curve 2");
  EXPECT_EQ(models[2]->state().curves[0].points, 3);
}

TEST_F(RackConfigTest, RowWhoseEveryMessageIsRefusedAtOnceEndsTheRequestOnce) {
  AddRack(1, kDims);
  Sql("DELETE FROM tblRackUserCurvePoint;"
      "WITH RECURSIVE p(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM p WHERE x < 71),"
      " c(y) AS (SELECT 1 UNION ALL SELECT y + 1 FROM c WHERE y < 5)"
      " INSERT INTO tblRackUserCurvePoint (ZoneID, UserCurve, InputLevel, OutputLevel) SELECT 10001, y, x, x FROM p, c;");
  // On the first row (inside the dispatch) and on a later row.
  Dispatch(1, 0, 0, kZone, {"10", "2"});
  EXPECT_EQ(State(1), "5|Too many points in user curve 1");
  EXPECT_TRUE(posted.empty());
  Dispatch(2, 0, 0, kZone, {"2", "10", "5"});
  Serve();
  EXPECT_EQ(State(2), "5|Too many points in user curve 1");
  EXPECT_EQ(SentCount(21), 0u);
  EXPECT_EQ(doc->RequestCount(), 0u);
  EXPECT_EQ(unknown, 0);
}

TEST_F(RackConfigTest, DatabaseErrorInAStepFailsTheRequestOnceTheOthersAreBack) {
  AddRack(1, kDims);
  // Rack 9 is in the tree and the rack table but has no configuration row.
  Sql("INSERT INTO tblZoneTree (ZoneID, ZoneParentID, ZoneType) VALUES (10009, 500, 'Rack');");
  DocTestPeer::AddRack(*doc, 9).ZoneParentID = kZone;
  Dispatch(1, 0, 0, kZone, {"2", "5"});
  EXPECT_EQ(posted.size(), 1u);
  Serve();
  EXPECT_EQ(State(1).rfind("5|Doc#2234: 3021:", 0), 0u) << State(1);
  EXPECT_EQ(CountLines("DBExceptionDiag Error: Doc#2234: 3021:"), 1);
  EXPECT_EQ(models[1]->state().language, 2);
  EXPECT_EQ(SentCount(21), 0u);
}

TEST_F(RackConfigTest, DatabaseErrorWhenTheNextRowIsReadEndsTheRequestFailed) {
  for (int rack = 1; rack <= 2; ++rack) AddRack(rack, kDims);
  Dispatch(1, 0, 0, kZone, {"2", "5"});
  Sql("ALTER TABLE tblTKZRequestParam RENAME TO tblTKZRequestParamAway;");
  Serve();
  EXPECT_EQ(State(1).rfind("5|Doc#2169: ", 0), 0u) << State(1);
  EXPECT_EQ(CountLines("DBExceptionDiag Error: Doc#2169: "), 1);
  EXPECT_EQ(SentCount(21), 0u);
  EXPECT_EQ(doc->RequestCount(), 0u);
}

TEST_F(RackConfigTest, DuplicateCircuitInAnUploadFailsTheRequest) {
  for (int rack = 1; rack <= 2; ++rack) AddRack(rack, kDims);
  Dispatch(1, 0, 0, kZone, {"4"});
  Serve();
  ASSERT_EQ(State(1).substr(0, 2), "4|");
  models[2]->state().dimmers[0].circuit = 102;  // rack 1's dimmer 2 has it
  models[2]->state().dimmers[1].circuit = 7000;
  Dispatch(2, 0, 1, kZone, {"4", "2"});
  Serve();
  EXPECT_EQ(State(2), "5|Duplicate Circuit ID");
  EXPECT_EQ(One("SELECT CircuitID FROM tblDimConfig WHERE DimID = 2001"), "201");
  EXPECT_EQ(SentCount(25), 0u) << "the following row is not started";
}

TEST_F(RackConfigTest, CircuitWriteBackRefusedForAnotherReasonIsNotReportedAsADuplicate) {
  AddRack(1, kDims);
  models[1]->state().dimmers[0].circuit = 7000;
  // Another program's rule refuses every change of a circuit.
  Sql("CREATE TRIGGER keep BEFORE UPDATE OF CircuitID ON tblDimConfig BEGIN SELECT RAISE(ABORT, 'kept'); END;");
  Dispatch(1, 0, 1, kZone, {"4"});
  Serve();
  EXPECT_EQ(State(1).substr(0, 16), "5|Doc#3405: 3317") << State(1);
  EXPECT_EQ(One("SELECT CircuitID FROM tblDimConfig WHERE DimID = 1001"), "101");
}

TEST_F(RackConfigTest, UnchangedUploadUpdatesNoRow) {
  AddRack(1, kDims);
  Dispatch(1, 0, 0, kZone, {"4", "11", "5", "2"});
  Serve();
  ASSERT_EQ(State(1).substr(0, 2), "4|");
  Sql("CREATE TABLE changes (n INTEGER);"
      "CREATE TRIGGER dimChanged AFTER UPDATE ON tblDimConfig BEGIN INSERT INTO changes VALUES (1); END;"
      "CREATE TRIGGER rackChanged AFTER UPDATE ON tblRackConfig BEGIN INSERT INTO changes VALUES (2); END;");
  Dispatch(2, 0, 1, kZone, {"4", "11", "5", "2"});
  Serve();
  EXPECT_EQ(State(2).substr(0, 2), "4|") << State(2);
  EXPECT_EQ(One("SELECT count(*) FROM changes"), "0");
}

// ---- Parameter values and subtypes --------------------------------------------------------

TEST_F(RackConfigTest, ParameterValuesAreParsedOrRefused) {
  struct Case {
    const char* value;
    int subType;
    const char* refusal;  // null: accepted
    uint16_t command;     // first command sent when accepted
  } cases[] = {
      {"13", 0, "Invalid parameter value 13", 0},
      {"0", 0, "Invalid parameter value 0", 0},
      {"23", 0, "Invalid parameter value 23", 0},
      {"-1", 0, "Invalid parameter value -1", 0},
      {"words", 0, "Invalid parameter value 0", 0},
      {"  7 preset levels", 0, nullptr, 7},
      {"6", 2, "Invalid Request subtype 2", 0},
  };
  AddRack(1, kDims);
  int rid = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    for (RackMsg* m : posted) FreeRackMsg(m);
    posted.clear();
    const uint32_t reqNum = Dispatch(rid, 0, c.subType, kZone, {c.value});
    if (c.refusal != nullptr) {
      EXPECT_EQ(State(rid), std::string("5|") + c.refusal);
      EXPECT_EQ(doc->FindRequest(reqNum), nullptr);
      EXPECT_TRUE(posted.empty());
    } else {
      ASSERT_FALSE(posted.empty());
      EXPECT_EQ(posted.front()->Command(), c.command);
      Serve();
      EXPECT_EQ(State(rid).substr(0, 2), "4|");
    }
    ++rid;
  }
}

TEST_F(RackConfigTest, RefusalOnALaterRowEndsTheRequest) {
  AddRack(1, kDims);
  Dispatch(1, 0, 0, kZone, {"2", "13", "5"});
  Serve();
  EXPECT_EQ(State(1), "5|Invalid parameter value 13");
  EXPECT_EQ(doc->RequestCount(), 0u);
  EXPECT_EQ(SentCount(21), 0u);
}

TEST_F(RackConfigTest, NothingToDoCompletesAtOnce) {
  AddRack(1, kDims);
  Dispatch(1, 0, 0, 600, {"2", "13"});  // a zone without racks
  EXPECT_EQ(State(1), "4|Complete.");
  Dispatch(2, 0, 0, kZone, {});  // no parameter rows
  EXPECT_EQ(State(2), "4|Complete.");
  EXPECT_TRUE(posted.empty());
  EXPECT_EQ(doc->RequestCount(), 0u);
}

TEST_F(RackConfigTest, CompletionTextNamesTheValueAndTheLastRack) {
  AddRack(1, kDims);
  AddRack(2, kDims);
  Dispatch(1, 0, 0, kZone, {"2"});
  Serve();
  EXPECT_EQ(State(1), "4|Rack configuration set in rack 2.");
  Dispatch(2, 0, 1, 10001, {"11"});
  Serve();
  EXPECT_EQ(State(2), "4|Brevant patch retrieved from rack 1.");
}

// ---- The racks of a zone --------------------------------------------------------------------

TEST_F(RackConfigTest, ZoneTreeIsWalkedDepthFirst) {
  Sql("INSERT INTO tblZoneTree (ZoneID, ZoneParentID, ZoneType) VALUES"
      " (700, 0, 'TreeGroup'), (10003, 700, 'Rack'), (710, 700, 'Racks'), (720, 700, 'TreeEnd'),"
      " (10005, 710, 'Rack'), (10006, 710, 'Rack'), (10009, 720, 'Rack'), (730, 700, 'rack'),"
      " (800, 0, 'TreeEnd'), (10001, 800, 'Rack'),"
      " (900, 0, 'Racks'), (910, 900, 'Racks'), (900, 910, 'Racks'), (10002, 910, 'Rack');");
  auto racksOf = [this](int zone) {
    std::vector<uint32_t> racks;
    doc->GetRackList(zone, racks);
    return racks;
  };
  EXPECT_EQ(racksOf(700), (std::vector<uint32_t>{3, 5, 6}));
  EXPECT_EQ(racksOf(10007), (std::vector<uint32_t>{7}));
  EXPECT_TRUE(racksOf(800).empty());
  EXPECT_TRUE(racksOf(650).empty());
  EXPECT_TRUE(racksOf(10257).empty());
  // A tree that loops back on itself ends.
  const auto looped = racksOf(900);
  EXPECT_FALSE(looped.empty());
  EXPECT_EQ(looped.front(), 2u);
}

}  // namespace
