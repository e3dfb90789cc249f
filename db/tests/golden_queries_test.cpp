// Every stored query translates, prepares against the schema, returns the
// columns the server binds and lets it write the columns it writes.
#include <gtest/gtest.h>
#include <strings.h>

#include <map>

#include "dao/database.h"
#include "dao/errors.h"
#include "site_db.h"

namespace drovana::db::test {
namespace {

struct Golden {
  const char* name;
  std::vector<std::string> params;   // name:TYPE (TYPE empty = untyped)
  std::vector<std::string> columns;  // columns read by name
  std::vector<std::string> writes;   // columns set by Edit / SetField / Update
};

const std::vector<std::string> kRackConfig = {
    "ZoneParentID", "RackType", "SpecialWiringType", "RackCase", "RackNumber", "MuxTypeA", "MuxTypeB",
    "MuxFailPreset", "MuxFailHoldTime", "MuxFailMode", "BrevantPowerupPreset", "RackLanguage",
    "KeypadLockEnable", "FanSpeed", "DigitalDims", "AnalogOutputs", "AnalogInputs", "DigitalDimsFitted",
    "NumberRows", "NumberSlots"};
const std::vector<std::string> kDimmer = {
    "RackType", "DimNumber", "ModuleType", "StatusReportingEnable", "Response", "MinLevel", "MaxVoltage",
    "FluoTopset", "FluoCutoff", "NonDimThreshold", "MuxMode", "Curve", "AnalogIn", "AnalogInEnable",
    "ManualLevelEnable", "ManualLevel", "BvtRoom", "BvtCh", "PanicAction", "CableResistance", "LoadPercentTol"};
const std::vector<std::string> kRequest = {"RID", "RequestPC", "RequestState", "RequestType",
                                           "RequestSubType", "ZoneID", "RequestDiagnostic"};
const std::vector<std::string> kSchedule = {"ScheduleID", "RequestState", "EventTime", "MacroID",
                                            "ActionedTimestamp", "Step", "RequestDiagnostic", "EventID",
                                            "ScheduleDate"};
const std::vector<std::string> kFault = {"FaultType", "RackNumber", "DimmerNumber", "CircuitNumber",
                                         "AriseTimestamp", "SubsideTimestamp", "Diag1", "Diag2", "Description"};
const std::vector<std::string> kCleanerIO = {"ZoneID", "AnalogIn", "AnalogInName", "RackZoneID", "AnalogOutOn",
                                             "AnalogOutOff"};

std::vector<std::string> Without(std::vector<std::string> v, const std::string& drop) {
  std::erase(v, drop);
  return v;
}

const std::vector<Golden> kGolden = {
    {"TKZqryRackModule", {"ValueZoneID:INT"},
     {"Row", "ModuleType0", "ModuleType1", "ModuleType2", "ModuleType3", "ModuleType4", "ModuleType5"},
     {"ModuleType0", "ModuleType5"}},
    {"TKZqryRackConfig", {"ValueZoneID:INT"}, kRackConfig, Without(kRackConfig, "RackNumber")},
    {"TKZqryDimmerConfig", {"ValueZoneID:INT"}, kDimmer, Without(kDimmer, "RackType")},
    {"TKZqryMuxPatch", {"ValueZoneID:INT"}, {"DimNumber", "MuxACh", "MuxBCh"}, {"MuxACh", "MuxBCh"}},
    {"TKZqryQXVLevels", {"MinDimID:INT", "MaxDimID:INT"}, {"DimLevel"}, {"DimLevel"}},
    {"TKZqryQXVLevelsOnePreset", {"MinDimID:INT", "MaxDimID:INT", "ValuePreset:BYTE"}, {"DimLevel"}, {"DimLevel"}},
    {"TKZqryCircuitPatch", {"MinDimID:INT", "MaxDimID:INT"}, {"CircuitID"}, {"CircuitID"}},
    {"TKZqryBvtPatch", {"ValueZoneID:INT"}, {"BvtRoom", "BvtCh"}, {"BvtRoom", "BvtCh"}},
    {"TKZqryTKZRequest", {"ValuePending:"}, kRequest, {"RequestState", "RequestDiagnostic"}},
    {"TKZqryRequestParm", {"ValueRID:INT"}, {"RID", "ParamNumber", "ParamType", "ParamValue"}, {}},
    {"TKZqryRequestRID", {"ValueRID:INT"}, kRequest, {"RequestState", "RequestDiagnostic"}},
    {"TKZqryFaultEvent", {"ValueFaultType:INT", "ValueRackNumber:INT", "ValueDimmerNum:INT"}, kFault,
     Without(Without(Without(kFault, "FaultType"), "RackNumber"), "DimmerNumber")},
    {"TKZqryFaultType", {"ValueFaultType:INT"}, {"FaultType", "FaultName", "DisplayFormat", "FaultCategory"}, {}},
    {"TKZqryQXVFadeTime", {"ValueZoneID:INT"}, {"PresetTime"}, {"PresetTime"}},
    {"TKZqryQXVFadeTimeOnePreset", {"ValueZoneID:INT", "ValuePreset:BYTE"}, {"PresetTime"}, {"PresetTime"}},
    {"TKZqryBvtFadeTime", {"ValueZoneID:INT"}, {"PresetTime"}, {"PresetTime"}},
    {"TKZqryBvtFadeTimeOnePreset", {"ValueZoneID:INT", "ValuePreset:BYTE", "ValueRoom:BYTE"}, {"PresetTime"},
     {"PresetTime"}},
    {"TKZqryBvtLevels", {"ValueZoneID:INT", "ValuePreset:BYTE"}, {"ChLevel"}, {"ChLevel"}},
    {"TKZqryBvtLevelsOneRoom", {"ValueZoneID:INT", "ValuePreset:BYTE", "ValueRoom:BYTE"}, {"ChLevel"}, {"ChLevel"}},
    {"TKZqryUserCurve", {"ValueZoneID:INT", "ValueCurve:SMALLINT"}, {"ZoneID", "UserCurve", "InputLevel", "OutputLevel"},
     {"InputLevel", "OutputLevel"}},
    {"TKZqryBvtChannels", {"ValueZoneID:INT"}, {"DimNumber", "BvtRoom", "BvtCh"}, {}},
    {"TKZqryLoadRack2Node", {}, {"NodeID", "RackNumber", "PortNumber", "IPAddress", "Name"}, {}},
    {"TKZqryRackList", {"ValueZoneID:"}, {"ZoneID", "ZoneType"}, {}},
    {"TKZqryChildren", {"ValueZoneParentID:"}, {"ZoneID", "ZoneType"}, {}},
    {"TKZqryBrevantStatus", {"ValueZoneID:", "ValueRoom:"}, {"ZoneID", "RoomNumber", "PresetNumber"}, {"PresetNumber"}},
    {"TKZqryQXVStatus", {"ValueZoneID:"}, {"ZoneID", "PresetNumber"}, {"PresetNumber"}},
    {"TKZqryNodeIP", {"ValueNodeID:"}, {"NodeID", "NodeName", "NodeType", "IPAddress"}, {}},
    {"TKZqrySchedule", {}, kSchedule, {"RequestState", "RequestDiagnostic", "ActionedTimestamp", "ActionedDay"}},
    {"TKZqryEvent", {"ValueScheduleID:INT"}, kSchedule,
     {"RequestState", "RequestDiagnostic", "Step", "ActionedTimestamp", "ActionedDay"}},
    {"TKZqryMacroStep", {"ValueMacroID:INT", "ValueMacroStep:SMALLINT"},
     {"MacroID", "Step", "Action", "ActionParam1", "ActionParam2", "ActionParam3", "ActionParam4"}, {}},
    {"TKZqryDimGroup", {"ValueDimGroupID:INT"}, {"DimID", "ManualLevelEnable", "ManualLevel"}, {}},
    {"TKZqryRelayCycles", {"ValueZoneID:INT"}, {"relaycycles"}, {"relaycycles"}},
    {"TKZqryRelayCyclesOneRelay", {"ValueDimID:INT"}, {"relaycycles"}, {"relaycycles"}},
    {"TKZqryLevel2Percent", {}, {"Level", "Percent"}, {}},
    {"TKZqryCleanerInputs", {}, kCleanerIO, {}},
    {"TKZqryCleanerStatus", {"ValueZoneID:", "ValueAnalogIn:"}, {"ZoneID", "AnalogIn", "AnalogInStatus"},
     {"AnalogInStatus"}},
    {"TKZqryDeleteRackFaults", {"ValueRackNumber:"}, {}, {}},
    {"TKZqryManualGroup", {"ValueDimGroupID:INT"}, {"DimID"}, {}},
    {"TKZqryManualLevels", {"ValueZoneID:INT"}, {"ManualLevelEnable", "ManualLevel"}, {}},
    {"TKZqryCleanerIOZone", {"ValueZoneID:INT"}, kCleanerIO, {}},
    {"TKZqryCleanerIO", {"ValueZoneID:INT", "ValueAnalogIn:INT"}, kCleanerIO, {}},
    {"TKZqryAnalogPatch", {"ValueZoneID:INT"}, {"AnalogIn", "AnalogInEnable"}, {"AnalogIn", "AnalogInEnable"}},
    {"TKZqryNodeStatus", {"ValueNodeID:INT"}, {"NodeID", "NodeName", "ConnectStatus"}, {"ConnectStatus"}},
    {"TKZqryRackStatus", {"ValueZoneID:INT"}, {"ZoneID", "ZoneParentID", "ConnectStatus"},
     {"ConnectStatus", "SoftwareVersion"}},
    {"TKZqryNodePorts", {}, {"NodeID", "NodeName", "IPAddress", "PortNumber", "PortCategory", "Name"}, {}},
    {"TKZqryNetPatch", {"ValuePatchID:INT"}, {"PatchID", "DldDate", "DldUser"}, {"DldDate", "DldUser"}},
    {"TKZqryMacroIO", {"ValueZoneID:INT", "ValueAnalogIn:INT"}, {"ZoneID", "AnalogIn", "MacroID"}, {}},
    {"TKZqryRoomLink", {"ValueZoneID:INT"}, {"RoomLink"}, {"RoomLink"}},
    {"TKZqryLearntWatts", {"ValueZoneID:INT"}, {"LearntWattage"}, {"LearntWattage"}},
    {"TKZqryModuleType", {}, {"ModuleType", "ModuleName"}, {}},
    {"TKZqryRacksOffLine", {}, {}, {}},
    {"TKZqryNodesOffLine", {}, {}, {}},
    {"TKZqryRackRowsColumns", {"ValueRackNumber:INT"}, {"NumberRows", "NumberSlots"}, {}},
};

// One row in every table, keyed 1 wherever a query selects by key, so that
// every query with every parameter 1 (bounds 0 and 1000000; pending 0) finds
// a row.
const char kSeed[] = R"sql(
INSERT INTO tblTKZRequest (RID, RequestPC, RequestState) VALUES (1, 'pc', 0);
INSERT INTO tblTKZRequestParam (RID, ParamNumber, ParamValue) VALUES (1, 1, '7');
INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackType, RackNumber, NumberRows, NumberSlots) VALUES (1, 1, 2, 1, 4, 6);
INSERT INTO tblRackModuleMap (ZoneID, Row) VALUES (1, 1);
INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, CircuitID) VALUES (1, 1, 1, 1);
INSERT INTO tblRackUserCurvePoint (ZoneID, UserCurve, InputLevel, OutputLevel) VALUES (1, 1, 0, 0);
INSERT INTO tblRackStatus (ZoneID, ZoneParentID, ConnectStatus) VALUES (1, 1, 1);
INSERT INTO tblModuleType VALUES (1, 'module');
INSERT INTO tblLevel2Percent VALUES (1, 1);
INSERT INTO tblQXVPreset VALUES (1, 1, 5);
INSERT INTO tblQXVPresetLevel VALUES (1, 1, 50);
INSERT INTO tblBvtPreset VALUES (1, 1, 1, 5);
INSERT INTO tblBvtPresetLevel VALUES (1, 1, 1, 1, 50);
INSERT INTO tblBvtRoomLink VALUES (1, 1, 0);
INSERT INTO tblQXVZone VALUES (1, 1);
INSERT INTO tblBvtZone VALUES (1, 1, 1);
INSERT INTO tblZoneTree (ZoneID, ZoneParentID, ZoneType) VALUES (1, 1, 'TreeGroup');
INSERT INTO tblDimGroupDim VALUES (1, 1);
INSERT INTO tblCleanerIO (ZoneID, AnalogIn, AnalogInName) VALUES (1, 1, 'in');
INSERT INTO tblCleanerZone VALUES (1, 1, 0);
INSERT INTO tblMacroIO VALUES (1, 1, 1);
INSERT INTO tblSchedule (ScheduleID, RequestState, MacroID) VALUES (1, 0, 1);
INSERT INTO tblMacroStep (MacroID, Step, Action) VALUES (1, 1, 10);
INSERT INTO tblFaultType VALUES (1, 'fault', 'Fault %d', 0);
INSERT INTO tblFaultStatus (FaultType, RackNumber, DimmerNumber) VALUES (1, 1, 1);
INSERT INTO tblNodeType VALUES (1, 'Test node');
INSERT INTO tblNode VALUES (1, 'node1', 1, '127.0.0.2');
INSERT INTO tblNodePort VALUES (1, 1, 1, 2);
INSERT INTO tblNodePortRack VALUES (1, 1);
INSERT INTO tblNodeStatus VALUES (1, 1);
INSERT INTO tblNetPatch (PatchID) VALUES (1);
)sql";

dao::Variant ValueFor(const std::string& param) {
  if (strcasecmp(param.c_str(), "MinDimID") == 0 || strcasecmp(param.c_str(), "ValuePending") == 0 ||
      strcasecmp(param.c_str(), "ValueMacroStep") == 0)
    return int32_t{0};
  if (strcasecmp(param.c_str(), "MaxDimID") == 0) return int32_t{1000000};
  return int32_t{1};
}

class GoldenQueries : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.Exec(kSeed);
    db_ = std::make_unique<dao::Database>(dao::Database::Open(site_.path()));
  }
  SiteDb site_;
  std::unique_ptr<dao::Database> db_;
};

TEST_F(GoldenQueries, TheGoldenListCoversEveryStoredQueryInOrder) {
  auto queries = StoredQueries();
  ASSERT_EQ(queries.size(), kGolden.size());
  for (size_t i = 0; i < queries.size(); ++i) EXPECT_STREQ(queries[i].name, kGolden[i].name) << i;
}

TEST_F(GoldenQueries, EveryQueryTranslatesPreparesAndGivesTheBoundColumns) {
  for (const StoredQuery& sq : StoredQueries()) db_->CreateQueryDef(sq.name, sq.sql);
  for (const Golden& g : kGolden) {
    SCOPED_TRACE(g.name);
    dao::QueryDef q = db_->QueryDefs(g.name);
    std::vector<std::string> params;
    for (const auto& p : q.Parameters()) params.push_back(p.name + ":" + p.type);
    EXPECT_EQ(params, g.params);
    for (const auto& p : q.Parameters()) q.SetParameter(p.name, ValueFor(p.name));
    if (g.columns.empty()) {
      EXPECT_EQ(q.Execute(), 1);  // each action query meets the one seeded row
      continue;
    }
    dao::Recordset rs = q.OpenRecordset();
    std::vector<std::string> names = rs.ColumnNames();
    for (const std::string& col : g.columns) {
      bool found = false;
      for (const std::string& n : names) found |= strcasecmp(n.c_str(), col.c_str()) == 0;
      EXPECT_TRUE(found) << "column " << col;
    }
    ASSERT_FALSE(rs.IsEOF()) << q.TranslatedSql();
    for (const std::string& col : g.columns) EXPECT_NO_THROW(rs.GetField(col)) << col;
    if (g.writes.empty()) continue;
    rs.Edit();
    for (const std::string& col : g.writes) {
      dao::Variant v = int32_t{1};
      if (col == "RequestDiagnostic" || col == "SoftwareVersion" || col == "DldUser") v = "text";
      if (col == "DldDate" || col == "ActionedTimestamp") v = dao::OleDate{38022.5};
      rs.SetField(col, v);
    }
    EXPECT_NO_THROW(rs.Update());
  }
}

TEST_F(GoldenQueries, RowsAreAddedAndDeletedThroughTheQueriesThatDoSo) {
  dao::QueryDef fault = db_->CreateQueryDef("TKZqryFaultEvent", StoredQueries()[11].sql);
  fault.SetParameter("ValueFaultType", int32_t{1000});
  fault.SetParameter("ValueRackNumber", int32_t{7});
  fault.SetParameter("ValueDimmerNum", int32_t{0});
  dao::Recordset rs = fault.OpenRecordset();
  ASSERT_TRUE(rs.IsEOF());
  rs.AddNew();
  rs.SetField("FaultType", int16_t{1000});
  rs.SetField("RackNumber", int16_t{7});
  rs.SetField("DimmerNumber", int16_t{0});
  rs.SetField("AriseTimestamp", dao::OleDate{38022.5});
  rs.SetField("SubsideTimestamp", dao::Null{});
  rs.Update();
  rs.AddNew();
  rs.SetField("FaultType", int16_t{1000});
  rs.SetField("RackNumber", int16_t{7});
  rs.SetField("DimmerNumber", int16_t{0});
  try {
    rs.Update();
    ADD_FAILURE() << "one row per fault type, rack and dimmer";
  } catch (const dao::Error& e) {
    EXPECT_EQ(e.number(), dao::kErrDuplicateKey);
  }
  dao::QueryDef del = db_->CreateQueryDef("TKZqryDeleteRackFaults", StoredQueries()[36].sql);
  del.SetParameter("ValueRackNumber", int32_t{7});
  EXPECT_EQ(del.Execute(), 0);  // type 1000 rows stay

  dao::QueryDef curve = db_->CreateQueryDef("TKZqryUserCurve", StoredQueries()[19].sql);
  curve.SetParameter("ValueZoneID", int32_t{1});
  curve.SetParameter("ValueCurve", int16_t{1});
  dao::Recordset points = curve.OpenRecordset();
  while (!points.IsEOF()) {
    points.Delete();
    points.MoveNext();
  }
  for (int i = 0; i < 3; ++i) {
    points.AddNew();
    points.SetField("ZoneID", int32_t{1});
    points.SetField("UserCurve", int16_t{1});
    points.SetField("InputLevel", int16_t(i * 10));
    points.SetField("OutputLevel", int16_t(i * 20));
    points.Update();
  }
  points.Requery();
  EXPECT_EQ(points.RecordCount(), 3);
  EXPECT_EQ(site_.Text("SELECT group_concat(InputLevel, ',') FROM tblRackUserCurvePoint"), "0,10,20");

  dao::Recordset sched = db_->OpenTable("tblSchedule");
  sched.AddNew();
  sched.SetField("RequestState", int16_t{2});
  sched.SetField("MacroID", int32_t{4});
  sched.SetField("EventID", int32_t{-1});
  sched.Update();
  EXPECT_EQ(site_.Text("SELECT count(*) FROM tblSchedule WHERE RequestState = 2"), "1");
}

TEST_F(GoldenQueries, NodeStatusJoinWritesTheStatusTableOnly) {
  dao::QueryDef q = db_->CreateQueryDef("TKZqryNodeStatus", StoredQueries()[42].sql);
  q.SetParameter("ValueNodeID", int32_t{1});
  dao::Recordset rs = q.OpenRecordset();
  rs.Edit();
  rs.SetField("ConnectStatus", int32_t{0});
  rs.Update();
  EXPECT_EQ(site_.Text("SELECT ConnectStatus FROM tblNodeStatus WHERE NodeID = 1"), "0");
  EXPECT_EQ(site_.Text("SELECT NodeName FROM tblNode WHERE NodeID = 1"), "node1");
}

}  // namespace
}  // namespace drovana::db::test
