#include "dao/jetsql.h"

#include <gtest/gtest.h>

namespace dao::jetsql {
namespace {

std::vector<std::string> NoPk(const std::string&) { return {}; }

TEST(JetSqlTranslate, ParametersClauseGivesTypesAndIsRemoved) {
  Translation t = Translate(
      "PARAMETERS ValueZoneID INT, ValuePreset BYTE, ValueRoom SMALLINT;SELECT PresetTime FROM tblBvtPreset "
      "WHERE ZoneID = [ValueZoneID] and PresetNumber = [ValuePreset] and RoomNumber = [valueroom]");
  ASSERT_EQ(t.params.size(), 3u);
  EXPECT_EQ(t.params[0].type, ParamType::kInt);
  EXPECT_EQ(t.params[1].type, ParamType::kByte);
  EXPECT_EQ(t.params[2].type, ParamType::kSmallInt);
  EXPECT_EQ(t.sql,
            "SELECT PresetTime FROM tblBvtPreset WHERE ZoneID = ?1 and PresetNumber = ?2 and RoomNumber = ?3");
  EXPECT_EQ(t.where, "ZoneID = ?1 and PresetNumber = ?2 and RoomNumber = ?3");
  EXPECT_EQ(FindParam(t, "VALUEROOM"), 2);
}

TEST(JetSqlTranslate, UndeclaredBracketNamesBecomeUntypedParametersSharingOneNumber) {
  Translation t = Translate("SELECT * FROM tblBvtZone WHERE ZoneID = [ValueZoneID] and RoomNumber = [ValueRoom] "
                            "or ZoneID = [VALUEZONEID]");
  ASSERT_EQ(t.params.size(), 2u);
  EXPECT_EQ(t.params[0].type, ParamType::kUntyped);
  EXPECT_EQ(t.where, "ZoneID = ?1 and RoomNumber = ?2 or ZoneID = ?1");
}

TEST(JetSqlTranslate, DottedBracketNamesAreIdentifiersNotParameters) {
  Translation t = Translate("SELECT [tblNode].[NodeID] FROM tblNode WHERE NodeID = [ValueNodeID]");
  ASSERT_EQ(t.params.size(), 1u);
  EXPECT_EQ(t.select_list, "\"tblNode\".\"NodeID\"");
}

TEST(JetSqlTranslate, StringsAreKeptAndNotScannedForBrackets) {
  Translation t = Translate("SELECT * FROM tblZoneTree WHERE ZoneType = \"Rack [x]\" or ZoneType = 'it''s';");
  EXPECT_TRUE(t.params.empty());
  EXPECT_EQ(t.where, "ZoneType = 'Rack [x]' or ZoneType = 'it''s'");
}

TEST(JetSqlTranslate, ClausesAndTablesOfNestedJoins) {
  Translation t = Translate(
      "SELECT tblNode.NodeID, RackNumber, IPAddress, PortNumber, Name FROM ((tblNodePortRack INNER JOIN tblNodePort "
      "ON tblNodePortRack.PortID = tblNodePort.PortID) INNER JOIN tblNode ON tblNodePort.NodeID = "
      "tblNode.NodeID)INNER JOIN tblNodeType ON tblNode.NodeType = tblNodeType.NodeType");
  ASSERT_EQ(t.tables.size(), 4u);
  EXPECT_EQ(t.tables[0].name, "tblNodePortRack");
  EXPECT_EQ(t.tables[1].name, "tblNodePort");
  EXPECT_EQ(t.tables[2].name, "tblNode");
  EXPECT_EQ(t.tables[3].name, "tblNodeType");
  EXPECT_TRUE(t.where.empty());
  EXPECT_TRUE(t.order_by.empty());
}

TEST(JetSqlTranslate, AliasesAndParenthesesInsideOn) {
  Translation t = Translate("SELECT a.x FROM tblA AS a INNER JOIN tblB b ON (a.id = b.id) WHERE a.x > 1 ORDER BY b.y");
  ASSERT_EQ(t.tables.size(), 2u);
  EXPECT_EQ(t.tables[0].alias, "a");
  EXPECT_EQ(t.tables[1].name, "tblB");
  EXPECT_EQ(t.tables[1].alias, "b");
  EXPECT_EQ(t.order_by, "b.y");
}

TEST(JetSqlTranslate, ActionQueries) {
  EXPECT_EQ(Translate("UPDATE tblRackStatus SET ConnectStatus = 0;").kind, Kind::kUpdate);
  Translation d = Translate("DELETE * FROM tblFaultStatus WHERE RackNumber = [ValueRackNumber] and FaultType <> 1000");
  EXPECT_EQ(d.kind, Kind::kDelete);
  EXPECT_EQ(d.sql, "DELETE FROM tblFaultStatus WHERE RackNumber = ?1 and FaultType <> 1000");
}

TEST(JetSqlTranslate, NaturalOrderFromPrimaryKeysWhenTheQueryHasNone) {
  auto pk = [](const std::string& table) -> std::vector<std::string> {
    if (table == "tblRackConfig") return {"ZoneID"};
    if (table == "tblDimConfig") return {"DimID"};
    return {};
  };
  Translation t = Translate("SELECT tblRackConfig.RackType, tblDimConfig.* FROM tblRackConfig INNER JOIN tblDimConfig "
                            "ON tblRackConfig.ZoneID = tblDimConfig.ZoneID WHERE tblDimConfig.ZoneID=[ValueZoneID]");
  EXPECT_EQ(EffectiveOrder(t, pk), "\"tblRackConfig\".\"ZoneID\", \"tblDimConfig\".\"DimID\"");
  EXPECT_EQ(KeysetSql(t, pk),
            "SELECT \"tblRackConfig\".rowid, \"tblDimConfig\".rowid FROM tblRackConfig INNER JOIN tblDimConfig ON "
            "tblRackConfig.ZoneID = tblDimConfig.ZoneID WHERE tblDimConfig.ZoneID=?1 ORDER BY "
            "\"tblRackConfig\".\"ZoneID\", \"tblDimConfig\".\"DimID\"");
  EXPECT_EQ(FetchSql(t),
            "SELECT tblRackConfig.RackType, tblDimConfig.* FROM tblRackConfig INNER JOIN tblDimConfig ON "
            "tblRackConfig.ZoneID = tblDimConfig.ZoneID WHERE \"tblRackConfig\".rowid = ?2 AND "
            "\"tblDimConfig\".rowid IS ?3");
  Translation own = Translate("SELECT * FROM tblSchedule ORDER BY EventTime");
  EXPECT_EQ(EffectiveOrder(own, NoPk), "EventTime");
  Translation bare = Translate("SELECT * FROM tblX");
  EXPECT_EQ(EffectiveOrder(bare, NoPk), "\"tblX\".rowid");
}

TEST(JetSqlTranslate, RefusesWhatItCannotTranslate) {
  const char* bad[] = {
      "PARAMETERS x FLOAT; SELECT * FROM t WHERE a = [x]",  // unknown type
      "PARAMETERS x INT SELECT * FROM t",                   // no ';'
      "SELECT * FROM t WHERE a = [x",                       // unterminated bracket
      "SELECT * FROM t WHERE a = 'x",                       // unterminated string
      "SELECT * FROM t; DROP TABLE t",                      // a second statement
      "SELECT (a FROM t",                                   // unbalanced
      "SELECT 1",                                           // no FROM
      "CREATE TABLE x (a INT)",                             // not a query
      "SELECT * FROM t WHERE d = #1/1/2000#",               // Jet date literal
      "",
  };
  for (const char* sql : bad) EXPECT_THROW(Translate(sql), TranslateError) << sql;
  EXPECT_THROW(KeysetSql(Translate("SELECT DISTINCT a FROM t"), NoPk), TranslateError);
  EXPECT_THROW(Translate("SELECT * FROM t INNER JOIN t ON t.a = t.a"), TranslateError);
}

}  // namespace
}  // namespace dao::jetsql
