#include <cstdio>
#include <fstream>

#include "connection.h"
#include "fixture.h"

namespace dao::test {
namespace {

TEST(DatabaseOpen, MissingNotSqliteAndEmptyFilesAreErrorsAndNothingIsCreated) {
  TempDir dir;
  EXPECT_DAO_ERROR(Database::Open(dir.File("missing.mdb")), kErrCannotFindFile);
  EXPECT_EQ(FileSize(dir.File("missing.mdb")), -1);  // the open never creates the file
  EXPECT_DAO_ERROR(Database::Open(dir.path()), kErrCannotFindFile);  // a directory
  std::ofstream(dir.File("text.mdb")) << "Standard Jet DB, but not really.....";
  EXPECT_DAO_ERROR(Database::Open(dir.File("text.mdb")), kErrNotDatabase);
  std::ofstream(dir.File("empty.mdb")).flush();
  EXPECT_DAO_ERROR(Database::Open(dir.File("empty.mdb")), kErrNotDatabase);
  EXPECT_EQ(FileSize(dir.File("empty.mdb")), 0);
}

TEST_F(DbTest, OpensInWalModeWithNormalSync) {
  EXPECT_EQ(QueryText(path_, "PRAGMA journal_mode"), "wal");
  sqlite3_stmt* s = db().connection()->Prepare("PRAGMA synchronous");
  StmtReset reset(s);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(s, 0), 1);  // NORMAL
}

TEST_F(DbTest, QueryCollectionKeepsTextVerbatimWithDates) {
  const std::string text = "PARAMETERS ValueRID INT; SELECT * FROM tblTKZRequest WHERE RID = [ValueRID] ";
  db().CreateQueryDef("TKZqryRequestRID", text);
  now_ = OleDate{38001.0};
  QueryDef q = db().QueryDefs("tkzqryrequestrid");  // names are case-insensitive
  EXPECT_EQ(q.Name(), "TKZqryRequestRID");
  EXPECT_EQ(q.Sql(), text);
  EXPECT_EQ(q.DateCreated(), OleDate{38000.5});
  EXPECT_EQ(q.LastUpdated(), OleDate{38000.5});
  EXPECT_TRUE(db().HasQueryDef("TKZqryRequestRID"));
  EXPECT_EQ(db().QueryDefNames(), std::vector<std::string>{"TKZqryRequestRID"});

  EXPECT_DAO_ERROR(db().CreateQueryDef("TKZQRYREQUESTRID", "SELECT * FROM tblParent"), kErrDuplicateKey);
  EXPECT_DAO_ERROR(db().CreateQueryDef("Broken", "SELECT * FROM t WHERE a = [x"), kErrReserved);
  db().DeleteQueryDef("TKZqryRequestRID");
  EXPECT_FALSE(db().HasQueryDef("TKZqryRequestRID"));
  try {
    db().QueryDefs("TKZqryRequestRID");
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), 0x800A0CC1u);  // what the stored-query maintenance keys on
    EXPECT_EQ(e.number(), 3265);
  }
  EXPECT_DAO_ERROR(db().DeleteQueryDef("TKZqryRequestRID"), kErrItemNotFound);
}

TEST_F(DbTest, ParametersByNameAreCheckedConvertedAndRequired) {
  QueryDef q = db().CreateQueryDef(
      "q", "PARAMETERS ValueRID INT, ValueType SMALLINT, ValueByte BYTE; SELECT * FROM tblTKZRequest "
           "WHERE RID = [ValueRID] and RequestType = [ValueType] and ZoneID <> [ValueByte] and RequestPC <> [Loose]");
  std::vector<ParameterInfo> p = q.Parameters();
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[2].type, "BYTE");
  EXPECT_EQ(p[3].name, "Loose");
  EXPECT_EQ(p[3].type, "");
  EXPECT_DAO_ERROR(q.SetParameter("ValueNoSuch", int32_t{1}), kErrItemNotFound);
  EXPECT_DAO_ERROR(q.OpenRecordset(), kErrTooFewParameters);  // unset parameters are an error, not NULL
  q.SetParameter("valuerid", int32_t{5});
  q.SetParameter("ValueType", int32_t{2});
  EXPECT_EQ(q.Parameter("ValueType"), Variant(int16_t{2}));  // converted to the declared type
  EXPECT_DAO_ERROR(q.SetParameter("ValueType", int32_t{70000}), kErrConversion);
  EXPECT_DAO_ERROR(q.SetParameter("ValueByte", int32_t{-1}), kErrConversion);
  EXPECT_DAO_ERROR(q.SetParameter("ValueRID", "five"), kErrConversion);
  q.SetParameter("ValueByte", "9");
  EXPECT_EQ(q.Parameter("ValueByte"), Variant(uint8_t{9}));
  EXPECT_DAO_ERROR(q.OpenRecordset(), kErrTooFewParameters);
  q.SetParameter("Loose", "pc");
  EXPECT_NO_THROW(q.OpenRecordset());
}

TEST_F(DbTest, ParametersStayOnTheQueryAcrossRequery) {
  RunSql(path_, "INSERT INTO tblTKZRequest (RID, RequestState) VALUES (1, 0), (2, 3), (3, 0);");
  QueryDef q = db().CreateQueryDef("TKZqryTKZRequest", "SELECT * FROM tblTKZRequest WHERE RequestState = [ValuePending]");
  q.SetParameter("ValuePending", int32_t{0});
  Recordset rs = q.OpenRecordset();
  EXPECT_EQ(rs.RecordCount(), 2);
  rs.Requery();
  EXPECT_EQ(rs.RecordCount(), 2);  // same value, same rows
  QueryDef again = q;              // copies share the parameters
  again.SetParameter("ValuePending", int32_t{3});
  rs.Requery();
  EXPECT_EQ(rs.RecordCount(), 1);
  EXPECT_EQ(rs.GetField("RID"), Variant(int32_t{2}));
}

TEST_F(DbTest, ActionQueriesExecuteWithParameters) {
  RunSql(path_, "INSERT INTO tblTKZRequest (RID, RequestState, ZoneID) VALUES (1, 0, 4), (2, 3, 4), (3, 0, 5);");
  QueryDef d = db().CreateQueryDef("del", "DELETE FROM tblTKZRequest WHERE ZoneID = [ValueZone] and RequestState <> 3");
  EXPECT_DAO_ERROR(d.Execute(), kErrTooFewParameters);
  d.SetParameter("ValueZone", int32_t{4});
  EXPECT_EQ(d.Execute(), 1);
  EXPECT_EQ(db().Execute("UPDATE tblTKZRequest SET RequestState = 0;"), 2);
  EXPECT_DAO_ERROR(db().CreateQueryDef("sel", "SELECT * FROM tblParent").Execute(), kErrInvalidArgument);
}

TEST_F(DbTest, MissingTablesAndColumnsHaveTheirCodes) {
  EXPECT_DAO_ERROR(db().OpenTable("tblNoSuch"), kErrUnknownTable);
  EXPECT_DAO_ERROR(db().OpenTable("x; DROP TABLE tblParent"), kErrUnknownTable);
  EXPECT_DAO_ERROR(db().OpenRecordset("SELECT * FROM tblNoSuch"), kErrUnknownTable);
  EXPECT_DAO_ERROR(db().OpenRecordset("SELECT NoSuchColumn FROM tblParent"), kErrUnknownField);
  EXPECT_DAO_ERROR(db().Execute("UPDATE tblParent SET NoSuch = 1"), kErrUnknownField);
}

TEST_F(DbTest, ConstraintViolationsMapToDuplicateWidthAndTypeErrors) {
  Recordset rs = db().OpenTable("tblTKZRequest");
  rs.AddNew();
  rs.SetField("RID", int32_t{1});
  rs.Update();
  rs.AddNew();
  rs.SetField("RID", int32_t{1});
  EXPECT_DAO_ERROR(rs.Update(), kErrDuplicateKey);
  rs.AddNew();
  rs.SetField("RequestPC", std::string(51, 'x'));
  EXPECT_DAO_ERROR(rs.Update(), kErrFieldTooSmall);
  rs.AddNew();
  rs.SetField("RequestType", "not a number");
  EXPECT_DAO_ERROR(rs.Update(), kErrConversion);
  rs.AddNew();
  rs.SetField("RequestState", Null{});
  EXPECT_DAO_ERROR(rs.Update(), kErrNullValue);

  // A unique index on non-zero values only: zeros repeat, others do not.
  Recordset codes = db().OpenTable("tblCode");
  for (int circuit : {0, 0, 12}) {
    codes.AddNew();
    codes.SetField("Code", int32_t{1});
    codes.SetField("Circuit", int32_t{circuit});
    codes.Update();
  }
  codes.AddNew();
  codes.SetField("Code", int32_t{2});
  codes.SetField("Circuit", int32_t{12});
  EXPECT_DAO_ERROR(codes.Update(), kErrDuplicateKey);
  EXPECT_EQ(QueryText(path_, "SELECT count(*) FROM tblCode"), "3");
}

}  // namespace
}  // namespace dao::test
