#include <gtest/gtest.h>

#include "dao/database.h"
#include "dao/errors.h"
#include "site_db.h"

namespace drovana::db::test {
namespace {

int Number(const std::function<void()>& f) {
  try {
    f();
  } catch (const dao::Error& e) {
    return e.number();
  }
  return 0;
}

TEST(Schema, EveryTableIsStrict) {
  SiteDb site;
  EXPECT_EQ(site.Text("SELECT count(*) FROM pragma_table_list WHERE schema = 'main' AND type = 'table' "
                      "AND name NOT LIKE 'sqlite%' AND strict = 0"),
            "0");
  EXPECT_EQ(site.Text("SELECT count(*) FROM pragma_table_list WHERE schema = 'main' AND name LIKE 'tbl%'"), "32");
}

TEST(Schema, RequestsInsertedByOutsideProgramsGetKeysAndDefaults) {
  SiteDb site;
  site.Exec("INSERT INTO tblTKZRequest (RequestPC, RequestType) VALUES ('pc1', 20);"
            "INSERT INTO tblTKZRequest (RequestPC, RequestType) VALUES ('pc2', 20);");
  EXPECT_EQ(site.Text("SELECT group_concat(RID || ':' || RequestState, ' ') FROM tblTKZRequest"), "1:0 2:0");
  // The pending poll reads through the state index.
  const std::string plan = site.Plan("SELECT rowid FROM tblTKZRequest WHERE RequestState = 0 ORDER BY RID");
  EXPECT_NE(plan.find("ixTKZRequestState"), std::string::npos) << plan;
}

TEST(Schema, WidthsKeysAndRangesAreEnforced) {
  SiteDb site;
  dao::Database db = dao::Database::Open(site.path());
  struct Case {
    std::string sql;
    int error;
  } cases[] = {
      {"INSERT INTO tblTKZRequest (RequestPC) VALUES ('" + std::string(51, 'p') + "')", dao::kErrFieldTooSmall},
      {"INSERT INTO tblTKZRequest (RequestPC) VALUES ('" + std::string(50, 'p') + "')", 0},
      {"INSERT INTO tblTKZRequest (RequestDiagnostic) VALUES ('" + std::string(256, 'd') + "')", dao::kErrFieldTooSmall},
      {"INSERT INTO tblTKZRequest (RequestState) VALUES (40000)", dao::kErrValidation},
      {"INSERT INTO tblTKZRequest (RequestType) VALUES ('x')", dao::kErrConversion},
      {"INSERT INTO tblTKZRequestParam (RID, ParamValue) VALUES (1, '" + std::string(51, 'v') + "')",
       dao::kErrFieldTooSmall},
      {"INSERT INTO tblRackConfig (ZoneID, RackNumber) VALUES (10001, 1)", 0},
      {"INSERT INTO tblRackConfig (ZoneID, RackNumber) VALUES (10002, 1)", dao::kErrDuplicateKey},
      {"INSERT INTO tblRackConfig (ZoneID, RackNumber) VALUES (10300, 300)", dao::kErrValidation},
      {"INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, CircuitID) VALUES (1001, 10001, 1, 0)", 0},
      {"INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, CircuitID) VALUES (1002, 10001, 2, 0)", 0},
      {"INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, CircuitID) VALUES (1003, 10001, 3, 77)", 0},
      {"INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, CircuitID) VALUES (1004, 10001, 4, 77)",
       dao::kErrDuplicateKey},
      {"INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber) VALUES (1005, 10001, 1)", dao::kErrDuplicateKey},
      {"INSERT INTO tblFaultStatus (FaultType, RackNumber, DimmerNumber) VALUES (1, 2, 3)", 0},
      {"INSERT INTO tblFaultStatus (FaultType, RackNumber, DimmerNumber) VALUES (1, 2, 3)", dao::kErrDuplicateKey},
  };
  for (const Case& c : cases) EXPECT_EQ(Number([&] { db.Execute(c.sql); }), c.error) << c.sql;
}

TEST(Schema, RequestAndScheduleKeysOutsideThe32BitRangeTheServerReadsAreRefused) {
  SiteDb site;
  dao::Database db = dao::Database::Open(site.path());
  struct Case {
    const char* sql;
    int error;
  } cases[] = {
      {"INSERT INTO tblTKZRequest (RID) VALUES (1)", 0},
      {"INSERT INTO tblTKZRequest (RID) VALUES (0)", dao::kErrValidation},
      {"INSERT INTO tblTKZRequest (RID) VALUES (-1)", dao::kErrValidation},
      {"INSERT INTO tblTKZRequest (RID) VALUES (4294967297)", dao::kErrValidation},
      {"INSERT INTO tblTKZRequest (RID) VALUES (2147483647)", 0},
      // The next key given to a row inserted without one would be 2^31.
      {"INSERT INTO tblTKZRequest (RequestType) VALUES (20)", dao::kErrValidation},
      {"UPDATE tblTKZRequest SET RID = 2147483648 WHERE RID = 1", dao::kErrValidation},
      {"INSERT INTO tblTKZRequestParam (RID, ParamValue) VALUES (2147483647, 'v')", 0},
      {"INSERT INTO tblTKZRequestParam (RID, ParamValue) VALUES (2147483648, 'v')", dao::kErrValidation},
      {"INSERT INTO tblTKZRequestParam (RID, ParamValue) VALUES (0, 'v')", dao::kErrValidation},
      {"INSERT INTO tblSchedule (ScheduleID) VALUES (2147483647)", 0},
      {"INSERT INTO tblSchedule (ScheduleID) VALUES (-3)", dao::kErrValidation},
      {"INSERT INTO tblSchedule (RequestState) VALUES (0)", dao::kErrValidation},
  };
  for (const Case& c : cases) EXPECT_EQ(Number([&] { db.Execute(c.sql); }), c.error) << c.sql;
  EXPECT_EQ(site.Text("SELECT group_concat(RID, ' ') FROM tblTKZRequest"), "1 2147483647");
}

TEST(Schema, ACircuitTakenByAnotherDimmerIsADuplicateOnUpdate) {
  SiteDb site;
  site.Exec("INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, CircuitID) VALUES (1001, 10001, 1, 5), "
            "(1002, 10001, 2, 6);");
  dao::Database db = dao::Database::Open(site.path());
  dao::QueryDef q = db.TemporaryQueryDef(
      "PARAMETERS MinDimID INT, MaxDimID INT; SELECT CircuitID FROM tblDimConfig WHERE DimID > [MinDimID] and DimID < "
      "[MaxDimID];");
  q.SetParameter("MinDimID", int32_t{1000});
  q.SetParameter("MaxDimID", int32_t{1999});
  dao::Recordset rs = q.OpenRecordset();
  rs.MoveNext();
  rs.Edit();
  rs.SetField("CircuitID", int32_t{5});
  EXPECT_EQ(Number([&] { rs.Update(); }), dao::kErrDuplicateKey);
}

}  // namespace
}  // namespace drovana::db::test
