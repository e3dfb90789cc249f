#include <cstring>
#include <string>

#include "damage.h"

#include "fixture.h"

namespace dao::test {
namespace {

#pragma pack(push, 1)
struct Req {
  int32_t rid;
  int16_t state;
  char diag[20];
};
#pragma pack(pop)
const Binding kReq[] = {
    {"RID", BindType::kI32, 0, 4},
    {"RequestState", BindType::kI16, 4, 2},
    {"RequestDiagnostic", BindType::kText, 6, 20},
};

std::vector<int32_t> Walk(Recordset& rs) {
  std::vector<int32_t> ids;
  while (!rs.IsEOF()) {
    Req r;
    rs.ReadRow(&r, sizeof r, kReq);
    ids.push_back(r.rid);
    rs.MoveNext();
  }
  return ids;
}

class RecordsetTest : public DbTest {
 protected:
  QueryDef Pending() {
    QueryDef q = db().TemporaryQueryDef("SELECT * FROM tblTKZRequest WHERE RequestState = [ValuePending]");
    q.SetParameter("ValuePending", int32_t{0});
    return q;
  }
};

TEST_F(RecordsetTest, KeysetKeepsRowsChangedOutOfTheWhereUntilRequery) {
  RunSql(path_, "INSERT INTO tblTKZRequest (RID, RequestState) VALUES (1, 0), (2, 0), (3, 0);");
  Recordset rs = Pending().OpenRecordset();
  Req r;
  rs.ReadRow(&r, sizeof r, kReq);
  EXPECT_EQ(+r.rid, 1);
  // Another program moves rows 2 and 3 out of the WHERE and adds a pending row.
  RunSql(path_, "UPDATE tblTKZRequest SET RequestState = 4, RequestDiagnostic = 'done' WHERE RID IN (2, 3);"
                "INSERT INTO tblTKZRequest (RID, RequestState) VALUES (4, 0);");
  // And this recordset edits the current row out of the WHERE too.
  rs.Edit();
  rs.SetField("RequestState", int16_t{3});
  rs.Update();
  rs.ReadRow(&r, sizeof r, kReq);
  EXPECT_EQ(+r.state, 3);  // the current row shows its new values
  rs.MoveNext();
  rs.ReadRow(&r, sizeof r, kReq);
  EXPECT_EQ(+r.rid, 2);
  EXPECT_EQ(+r.state, 4);  // current values, still in the set
  EXPECT_STREQ(r.diag, "done");
  rs.MoveFirst();
  EXPECT_EQ(Walk(rs), (std::vector<int32_t>{1, 2, 3}));  // each once; row 4 not yet
  rs.Requery();
  EXPECT_EQ(Walk(rs), (std::vector<int32_t>{4}));
}

TEST_F(RecordsetTest, NaturalOrderIsThePrimaryKeyWhateverTheInsertOrder) {
  RunSql(path_, "INSERT INTO tblTKZRequest (RID, RequestState) VALUES (50, 0), (7, 0), (23, 0), (1, 0);"
                "INSERT INTO tblChild VALUES (2, 3, 23, NULL), (1, 9, 19, NULL), (2, 1, 21, NULL), (1, 2, 12, NULL),"
                " (2, 2, 22, NULL), (1, 5, 15, NULL);");
  Recordset rs = Pending().OpenRecordset();
  EXPECT_EQ(Walk(rs), (std::vector<int32_t>{1, 7, 23, 50}));
  Recordset levels = db().OpenRecordset("SELECT Level FROM tblChild");
  int32_t got[6];
  const Binding b[] = {{"Level", BindType::kI32, 0, 4}};
  ASSERT_EQ(levels.GetRows(got, 4, 6, b), 6u);
  EXPECT_EQ(std::vector<int32_t>(got, got + 6), (std::vector<int32_t>{12, 15, 19, 21, 22, 23}));
  // A query's own ORDER BY wins.
  Recordset own = db().OpenRecordset("SELECT Level FROM tblChild ORDER BY Level DESC");
  ASSERT_EQ(own.GetRows(got, 4, 2, b), 2u);
  EXPECT_EQ(got[0], 23);
}

TEST_F(RecordsetTest, UpdatesThroughAJoinTouchOnlyTheRightTableAndRow) {
  RunSql(path_, "INSERT INTO tblParent VALUES (1, 'one', 100), (2, 'two', 200);"
                "INSERT INTO tblChild VALUES (1, 1, 11, 'a'), (1, 2, 12, 'b'), (2, 1, 21, 'c');");
  Recordset rs = db().OpenRecordset("SELECT tblParent.Label, tblChild.* FROM tblParent INNER JOIN tblChild "
                                    "ON tblParent.ParentID = tblChild.ParentID WHERE tblParent.ParentID = 1");
  rs.MoveNext();  // child (1, 2)
  rs.Edit();
  rs.SetField("Level", int32_t{99});        // tblChild.Level: the one in the select list
  rs.SetField("label", "ONE");              // tblParent.Label
  rs.SetField("tblParent.Level", int32_t{101});  // a column of the other table by its dotted name
  rs.Update();
  EXPECT_EQ(QueryText(path_, "SELECT group_concat(ParentID || ':' || Slot || ':' || Level, ' ') FROM "
                             "(SELECT * FROM tblChild ORDER BY ParentID, Slot)"),
            "1:1:11 1:2:99 2:1:21");
  EXPECT_EQ(QueryText(path_, "SELECT group_concat(Label || ':' || Level, ' ') FROM "
                             "(SELECT * FROM tblParent ORDER BY ParentID)"),
            "ONE:101 two:200");
  EXPECT_EQ(rs.GetField("Label"), Variant("ONE"));
  EXPECT_DAO_ERROR(rs.AddNew(), kErrReadOnly);  // no single base table
  Recordset computed = db().OpenRecordset("SELECT Level + 1 AS Next FROM tblChild");
  computed.Edit();
  EXPECT_DAO_ERROR(computed.SetField("Next", int32_t{1}), kErrReadOnly);
  EXPECT_DAO_ERROR(computed.SetField("Nothing", int32_t{1}), kErrItemNotFound);
}

TEST_F(RecordsetTest, MovesAndEndOfFile) {
  Recordset empty = db().OpenTable("tblParent");
  EXPECT_TRUE(empty.IsEOF());
  EXPECT_TRUE(empty.IsBOF());
  EXPECT_DAO_ERROR(empty.MoveFirst(), kErrNoCurrentRecord);
  EXPECT_DAO_ERROR(empty.MoveNext(), kErrNoCurrentRecord);
  EXPECT_DAO_ERROR(empty.Edit(), kErrNoCurrentRecord);
  EXPECT_DAO_ERROR(empty.GetField("Label"), kErrNoCurrentRecord);

  RunSql(path_, "INSERT INTO tblParent VALUES (1, 'a', 0), (2, 'b', 0), (3, 'c', 0), (4, 'd', 0);");
  Recordset rs = db().OpenTable("tblParent");
  auto id = [&] { return rs.GetField("ParentID").AsInt(); };
  EXPECT_EQ(id(), 1);
  rs.Move(2);
  EXPECT_EQ(id(), 3);
  rs.MoveLast();
  EXPECT_EQ(id(), 4);
  rs.MovePrevious();
  EXPECT_EQ(id(), 3);
  rs.Move(10);  // stops at EOF
  EXPECT_TRUE(rs.IsEOF());
  EXPECT_DAO_ERROR(rs.Move(1), kErrNoCurrentRecord);
  rs.MovePrevious();
  EXPECT_EQ(id(), 4);
  rs.Move(-10);
  EXPECT_TRUE(rs.IsBOF());
  EXPECT_DAO_ERROR(rs.MovePrevious(), kErrNoCurrentRecord);
  rs.MoveNext();
  EXPECT_EQ(id(), 1);
}

TEST_F(RecordsetTest, ReadRowStaysAndGetRowsAdvances) {
  RunSql(path_, "INSERT INTO tblTKZRequest (RID, RequestState) VALUES (1, 0), (2, 0), (3, 0), (4, 0), (5, 0);");
  Recordset rs = Pending().OpenRecordset();
  Req r;
  rs.ReadRow(&r, sizeof r, kReq);
  rs.ReadRow(&r, sizeof r, kReq);
  EXPECT_EQ(+r.rid, 1);
  Req block[3];
  ASSERT_EQ(rs.GetRows(block, sizeof(Req), 3, kReq), 3u);
  EXPECT_EQ(+block[2].rid, 3);
  rs.ReadRow(&r, sizeof r, kReq);
  EXPECT_EQ(+r.rid, 4);  // positioned after the block
  EXPECT_EQ(rs.GetRows(block, sizeof(Req), 3, kReq), 2u);
  EXPECT_TRUE(rs.IsEOF());
  EXPECT_EQ(rs.GetRows(block, sizeof(Req), 3, kReq), 0u);
}

TEST_F(RecordsetTest, BlockReadSkipsRowsDeletedByAnotherProgram) {
  RunSql(path_, "INSERT INTO tblTKZRequest (RID, RequestState) VALUES (1, 0), (2, 0), (3, 0), (4, 0), (5, 0), (6, 0);");
  Recordset rs = Pending().OpenRecordset();
  // Gone before the block read: the current row, one inside the block and the last one.
  RunSql(path_, "DELETE FROM tblTKZRequest WHERE RID IN (1, 3, 6);");
  Req block[3] = {};
  ASSERT_EQ(rs.GetRows(block, sizeof(Req), 3, kReq), 3u);
  EXPECT_EQ((std::vector<int32_t>{block[0].rid, block[1].rid, block[2].rid}), (std::vector<int32_t>{2, 4, 5}));
  EXPECT_FALSE(rs.IsEOF());
  EXPECT_EQ(rs.GetRows(block, sizeof(Req), 3, kReq), 0u);  // only the deleted row 6 was left
  EXPECT_TRUE(rs.IsEOF());
  // A row deleted through the recordset is skipped too.
  rs.Requery();
  rs.Delete();
  ASSERT_EQ(rs.GetRows(block, sizeof(Req), 3, kReq), 2u);
  EXPECT_EQ(+block[0].rid, 4);
  EXPECT_EQ(+block[1].rid, 5);
}

TEST_F(RecordsetTest, FailedRequeryLeavesNoCurrentRecord) {
  RunSql(path_, "INSERT INTO tblParent VALUES (1, 'a', 5), (2, 'b', 6);");
  Recordset rs = db().OpenRecordset("SELECT * FROM tblParent WHERE abs(Level) >= 0");
  EXPECT_EQ(rs.RecordCount(), 2);
  // abs() of the smallest 64-bit integer overflows: the WHERE fails on this row.
  RunSql(path_, "INSERT INTO tblParent VALUES (3, 'c', -9223372036854775807 - 1);");
  EXPECT_THROW(rs.Requery(), Error);
  EXPECT_TRUE(rs.IsEOF());
  EXPECT_TRUE(rs.IsBOF());
  EXPECT_EQ(rs.RecordCount(), 0);
  EXPECT_DAO_ERROR(rs.GetField("Label"), kErrNoCurrentRecord);
  EXPECT_DAO_ERROR(rs.Edit(), kErrNoCurrentRecord);
  EXPECT_DAO_ERROR(rs.MoveFirst(), kErrNoCurrentRecord);
  char label[8];
  const Binding b[] = {{"Label", BindType::kText, 0, sizeof label}};
  EXPECT_DAO_ERROR(rs.ReadRow(label, sizeof label, b), kErrNoCurrentRecord);
  EXPECT_EQ(rs.GetRows(label, sizeof label, 1, b), 0u);
  // The next requery that succeeds brings the rows back.
  RunSql(path_, "DELETE FROM tblParent WHERE ParentID = 3;");
  rs.Requery();
  EXPECT_EQ(rs.RecordCount(), 2);
  EXPECT_EQ(rs.GetField("Label"), Variant("a"));
}

TEST_F(RecordsetTest, AddNewJoinsTheSetAndDeleteLeavesIt) {
  RunSql(path_, "INSERT INTO tblParent VALUES (1, 'a', 0), (2, 'b', 0), (3, 'c', 0);");
  Recordset rs = db().OpenTable("tblParent");
  rs.AddNew();
  rs.SetField("Label", "new");
  rs.Update();
  EXPECT_EQ(rs.GetField("ParentID").AsInt(), 1);  // the current row stays current
  EXPECT_EQ(rs.RecordCount(), 4);
  rs.MoveNext();
  rs.Delete();
  EXPECT_DAO_ERROR(rs.GetField("Label"), kErrRecordDeleted);
  rs.MoveFirst();
  std::vector<std::string> labels;
  for (; !rs.IsEOF(); rs.MoveNext()) labels.push_back(rs.GetField("Label").AsText());
  EXPECT_EQ(labels, (std::vector<std::string>{"a", "c", "new"}));
  EXPECT_EQ(QueryText(path_, "SELECT count(*) FROM tblParent"), "3");
}

TEST_F(RecordsetTest, RowDeletedByAnotherProgramReadsAsDeleted) {
  RunSql(path_, "INSERT INTO tblParent VALUES (1, 'a', 0), (2, 'b', 0);");
  Recordset rs = db().OpenTable("tblParent");
  RunSql(path_, "DELETE FROM tblParent WHERE ParentID = 1;");
  EXPECT_DAO_ERROR(rs.GetField("Label"), kErrRecordDeleted);
  rs.Edit();
  rs.SetField("Label", "x");
  EXPECT_DAO_ERROR(rs.Update(), kErrRecordDeleted);
  rs.MoveNext();
  EXPECT_EQ(rs.GetField("Label"), Variant("b"));
}

TEST_F(RecordsetTest, ARowLostToADamagedPageReadsAsDamagedNotAsDeleted) {
  // Rows 1, 2 and 3, the second one's key damaged: the page still lists
  // three rows, but row 3 is no longer found by its key.
  const std::string path = dir_.File("damaged.mdb");
  MakeDb(path, "CREATE TABLE tblParent (ParentID INTEGER PRIMARY KEY, Label TEXT, Level INTEGER);"
               "INSERT INTO tblParent VALUES (1, 'a', 0), (2, 'b', 0), (3, 'c', 0);");
  ASSERT_EQ(dao::testing::DamageSecondRowKey(path, "tblParent"), "");
  Database db = Database::Open(path);
  const Binding b[] = {{"Label", BindType::kText, 0, 8}};
  char label[8];
  Recordset rs = db.OpenTable("tblParent");
  rs.ReadRow(label, sizeof label, b);
  EXPECT_STREQ(label, "a");
  rs.MoveNext();
  rs.MoveNext();
  try {
    rs.ReadRow(label, sizeof label, b);
    ADD_FAILURE() << "the row of the damaged page was read";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrCorrupt) << e.description();
    EXPECT_NE(e.description().find("damaged (table tblParent"), std::string::npos) << e.description();
  }
  // Nor does a block read pass over the lost row in silence, or an edit
  // of it say that it was deleted.
  rs.MoveFirst();
  char block[3][8];
  EXPECT_DAO_ERROR(rs.GetRows(block, 8, 3, b), kErrCorrupt);
  rs.MoveLast();
  rs.Edit();
  rs.SetField("Label", "x");
  EXPECT_DAO_ERROR(rs.Update(), kErrCorrupt);
}

TEST_F(RecordsetTest, UpdateOutsideEditAndUpdateIfClaimsOnce) {
  RunSql(path_, "INSERT INTO tblTKZRequest (RID, RequestState) VALUES (1, 0);");
  Recordset a = Pending().OpenRecordset();
  Recordset b = Pending().OpenRecordset();
  EXPECT_DAO_ERROR(a.SetField("RequestState", int16_t{3}), kErrNotInUpdate);
  EXPECT_DAO_ERROR(a.Update(), kErrNotInUpdate);
  a.Edit();
  a.SetField("RequestState", int16_t{3});
  EXPECT_TRUE(a.UpdateIf("RequestState", int16_t{0}));
  b.Edit();
  b.SetField("RequestState", int16_t{3});
  EXPECT_FALSE(b.UpdateIf("RequestState", int16_t{0}));  // taken already
  // Plain updates make no conflict check: the last writer wins.
  b.Edit();
  b.SetField("RequestDiagnostic", "from b");
  a.Edit();
  a.SetField("RequestDiagnostic", "from a");
  b.Update();
  a.Update();
  EXPECT_EQ(QueryText(path_, "SELECT RequestState || ' ' || RequestDiagnostic FROM tblTKZRequest"), "3 from a");
}

TEST_F(RecordsetTest, SettingTheIntegerKeyFollowsTheRow) {
  RunSql(path_, "INSERT INTO tblParent VALUES (1, 'a', 0);");
  Recordset rs = db().OpenTable("tblParent");
  rs.Edit();
  rs.SetField("ParentID", int32_t{9});
  rs.Update();
  EXPECT_EQ(rs.GetField("Label"), Variant("a"));
  EXPECT_EQ(rs.GetField("ParentID"), Variant(int32_t{9}));
}

}  // namespace
}  // namespace dao::test
