// The shared operations of the request handlers.
#include <cmath>
#include <cstring>

#include "DocTestSupport.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "ThreadMsgs.h"

namespace {

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// ---- FailRequest ---------------------------------------------------------------

TEST_F(DocSiteTest, FailRequestFillsTheRowAndLogsWhateverTheSwitches) {
  CTKZDoc& doc = NewDoc();
  g_bDocDebug = false;
  doc.RequestRow().RequestState = REQUEST_STATE_IN_PROCESS;
  doc.FailRequest("Error: Unknown or unimplemented TKZ request type %d.", 15);
  EXPECT_EQ(doc.RequestRow().RequestState, REQUEST_STATE_FAILED);
  EXPECT_STREQ(doc.RequestRow().RequestDiagnostic, "Error: Unknown or unimplemented TKZ request type 15.");
  EXPECT_EQ(CountLines("Error: Unknown or unimplemented TKZ request type 15."), 1);

  // A text past 254 bytes is cut, and not inside a UTF-8 sequence.
  const std::string longText = std::string(253, 'a') + "\xC3\xA9" + "zzz";
  doc.FailRequest("%s", longText.c_str());
  const std::string stored = doc.RequestRow().RequestDiagnostic;
  EXPECT_EQ(stored, std::string(253, 'a'));
  EXPECT_TRUE(ValidUtf8(stored));
}

// ---- DBExceptionDiag -----------------------------------------------------------

TEST_F(DocSiteTest, DBExceptionDiagFailsTheRequestWithTheCutDescription) {
  CTKZDoc& doc = OpenDoc();
  Sql("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (21, 3);");
  InProcRequest* r = doc.AddRequest();
  r->RID = 21;
  const std::string description = std::string(200, 'd') + std::string(100, 'e');  // 300 characters
  DBExceptionDiag(r, 4321, static_cast<int32_t>(dao::Code(dao::kErrNoCurrentRecord)), description.c_str());
  EXPECT_EQ(r->Rcode, RC_DB_EXCEPTION);
  const std::string expected = "Doc#4321: 3021:" + description.substr(0, 205);
  EXPECT_EQ(r->message.Format(), expected);
  EXPECT_EQ(CountLines("DBExceptionDiag Error: " + expected), 1);

  doc.RequestSent(r);
  EXPECT_EQ(One("SELECT RequestState, RequestDiagnostic FROM tblTKZRequest WHERE RID = 21"), "5|" + expected);
}

TEST_F(DocSiteTest, DBExceptionDiagStopsWaitingOnlyForAMessageNeverHandedOver) {
  CTKZDoc& doc = OpenDoc();
  Sql("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (31, 3), (32, 3);");

  // Allocated, then the handler's database work failed before the send:
  // the request no longer waits for it (and it is freed).
  InProcRequest* unsent = doc.AddRequest();
  unsent->RID = 31;
  RackMsg* msg = doc.NewRackMsg(unsent);
  EXPECT_EQ(msg->ReqNum, unsent->ReqNum);
  EXPECT_EQ(unsent->expected, 1);
  DBExceptionDiag(unsent, 100, 3021, "No current record.");
  EXPECT_EQ(unsent->expected, 0);
  EXPECT_EQ(unsent->lastMsg, nullptr);
  doc.RequestSent(unsent);
  EXPECT_EQ(One("SELECT RequestState FROM tblTKZRequest WHERE RID = 31"), "5");

  // Handed over: its answer will still come, so it stays expected.
  std::vector<RackMsg*> posted;
  SetPostToComm([&posted](uint32_t id, uintptr_t, RackMsg* m) {
    EXPECT_EQ(id, WM_IPC_SEND_MSG);
    posted.push_back(m);
    return true;
  });
  InProcRequest* sent = doc.AddRequest();
  sent->RID = 32;
  RackMsg* out = doc.NewRackMsg(sent);
  ASSERT_TRUE(SendRackMsg(out));
  EXPECT_EQ(sent->lastMsg, nullptr);
  DBExceptionDiag(sent, 101, 3260, "Busy.");
  EXPECT_EQ(sent->expected, 1);
  doc.RequestSent(sent);
  EXPECT_EQ(One("SELECT RequestState FROM tblTKZRequest WHERE RID = 32"), "3");
  ASSERT_EQ(posted.size(), 1u);
  FreeRackMsg(posted[0]);

  // A refused post leaves the message with the handler: still not handed over.
  SetPostToComm([](uint32_t, uintptr_t, RackMsg*) { return false; });
  InProcRequest* refused = doc.AddRequest();
  RackMsg* kept = doc.NewRackMsg(refused);
  EXPECT_FALSE(SendRackMsg(kept));
  EXPECT_EQ(refused->lastMsg, kept);
  DBExceptionDiag(refused, 102, 3260, "Busy.");
  EXPECT_EQ(refused->expected, 0);
  SetPostToComm(nullptr);
}

// ---- WriteBoundRow -------------------------------------------------------------

#pragma pack(push, 1)
struct FaultRow {
  int32_t FaultType;
  int16_t RackNumber;
  int16_t DimmerNumber;
  double AriseTimestamp;
  int32_t dateStatus;
  double SubsideTimestamp;
  int32_t subsideStatus;
  char Description[12];
  uint8_t Diag1;
};
#pragma pack(pop)

const dao::Binding kFaultBindings[] = {
    {"FaultType", dao::BindType::kI32, offsetof(FaultRow, FaultType), 4},
    {"RackNumber", dao::BindType::kI16, offsetof(FaultRow, RackNumber), 2},
    {"DimmerNumber", dao::BindType::kI16, offsetof(FaultRow, DimmerNumber), 2},
    {"AriseTimestamp", dao::BindType::kDate, offsetof(FaultRow, AriseTimestamp), 12},
    {"SubsideTimestamp", dao::BindType::kDate, offsetof(FaultRow, SubsideTimestamp), 12},
    {"Description", dao::BindType::kText, offsetof(FaultRow, Description), 12},
    {"Diag1", dao::BindType::kU8, offsetof(FaultRow, Diag1), 1},
};

TEST_F(DocSiteTest, WriteBoundRowSetsEveryTypeFromThePackedRow) {
  CTKZDoc& doc = OpenDoc();
  FaultRow row{};
  row.FaultType = 70000;
  row.RackNumber = -3;
  row.DimmerNumber = 12;
  row.AriseTimestamp = 38022.5;  // 2004-02-05 12:00
  row.SubsideTimestamp = std::nan("");
  std::memcpy(row.Description, "Fuse blown\0\0", 12);
  row.Diag1 = 200;

  dao::Recordset rs = DocTestPeer::Db(doc).OpenTable("tblFaultStatus");
  rs.AddNew();
  doc.WriteBoundRow(rs, &row, sizeof row, kFaultBindings);
  rs.Update();
  EXPECT_EQ(One("SELECT FaultType, RackNumber, DimmerNumber, AriseTimestamp, SubsideTimestamp, Description, Diag1 "
                "FROM tblFaultStatus"),
            "70000|-3|12|38022.5|NULL|Fuse blown|200");

  // A description filling its field without a NUL stays within the field.
  std::memcpy(row.Description, "ABCDEFGHIJKL", 12);
  row.FaultType = 2;
  rs.AddNew();
  doc.WriteBoundRow(rs, &row, sizeof row, kFaultBindings);
  rs.Update();
  EXPECT_EQ(One("SELECT Description FROM tblFaultStatus WHERE FaultType = 2"), "ABCDEFGHIJKL");

  // A binding past the end of the buffer is refused.
  const dao::Binding outside[] = {{"Diag1", dao::BindType::kI32, sizeof row - 2, 4}};
  rs.AddNew();
  try {
    doc.WriteBoundRow(rs, &row, sizeof row, outside);
    ADD_FAILURE() << "no exception";
  } catch (const dao::Error& e) {
    EXPECT_EQ(e.number(), dao::kErrInvalidArgument);
  }
  rs.CancelUpdate();
}

// ---- rack records --------------------------------------------------------------

TEST_F(DocSiteTest, OutputCountsAreRefreshedFromTheConfigurationTheZoneIsNot) {
  CTKZDoc& doc = OpenDoc();
  RackInfo& rack5 = DocTestPeer::AddRack(doc, 5);
  rack5.ZoneParentID = 1;
  rack5.DigitalDimsFitted = 1;
  rack5.AnalogOutputs = 1;
  Sql("INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackNumber, DigitalDimsFitted, AnalogOutputs) "
      "VALUES (10005, 77, 5, 48, 4), (10256, 78, 256, 24, 0);");

  EXPECT_EQ(doc.GetRackZone(5), 1);  // as last loaded
  EXPECT_EQ(doc.GetRackOutputCount(5), 52);
  EXPECT_EQ(doc.GetRackZone(5), 77);
  Sql("UPDATE tblRackConfig SET DigitalDimsFitted = 36 WHERE ZoneID = 10005;");
  EXPECT_EQ(doc.GetRackDigitalDims(5), 36);

  // Rack 256 has a record of its own; it reads its own zone 10256.
  DocTestPeer::AddRack(doc, 256);
  EXPECT_EQ(doc.GetRackOutputCount(256), 24);
  EXPECT_EQ(doc.GetRackZone(256), 78);

  // A record without a configuration row keeps its values; no record gives 0.
  RackInfo& rack9 = DocTestPeer::AddRack(doc, 9);
  rack9.DigitalDimsFitted = 6;
  EXPECT_EQ(doc.GetRackOutputCount(9), 6);
  EXPECT_EQ(doc.GetRackOutputCount(12), 0);
  EXPECT_EQ(doc.GetRackDigitalDims(12), 0);
  EXPECT_EQ(doc.GetRackZone(12), 0);
}

// ---- Brevant channel map -------------------------------------------------------

TEST_F(DocSiteTest, BvtChannelMapTakesTheFirstDimmerOfEachRoomChannel) {
  CTKZDoc& doc = OpenDoc();
  DocTestPeer::AddRack(doc, 3);
  Sql("INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackNumber, DigitalDimsFitted, AnalogOutputs) "
      "VALUES (10003, 50, 3, 4, 0);"
      "INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, BvtRoom, BvtCh) VALUES "
      "(3002, 10003, 2, 1, 1), (3001, 10003, 1, 1, 1), (3003, 10003, 3, 2, 15),"
      "(3004, 10003, 4, 17, 1),"   // no such room
      "(3005, 10003, 5, 3, 3);");  // beyond the rack's outputs: not read
  doc.LoadBvtChannelMap(3);
  EXPECT_EQ(doc.BvtChannelDimmer(1, 1), 0);  // dimmer 1 comes first by DimNumber
  EXPECT_EQ(doc.BvtChannelDimmer(2, 15), 2);
  EXPECT_EQ(doc.BvtChannelDimmer(3, 3), kBvtNoDimmer);
  int patched = 0;
  for (int room = 1; room <= kBvtRooms; ++room)
    for (int ch = 1; ch <= kBvtChannels; ++ch) patched += doc.BvtChannelDimmer(room, ch) != kBvtNoDimmer;
  EXPECT_EQ(patched, 2);

  // Another rack without Brevant patching clears the whole map.
  DocTestPeer::AddRack(doc, 4);
  Sql("INSERT INTO tblRackConfig (ZoneID, RackNumber, DigitalDimsFitted, AnalogOutputs) VALUES (10004, 4, 2, 0);");
  doc.LoadBvtChannelMap(4);
  EXPECT_EQ(doc.BvtChannelDimmer(1, 1), kBvtNoDimmer);
  EXPECT_EQ(doc.BvtChannelDimmer(2, 15), kBvtNoDimmer);
}

TEST_F(DocSiteTest, BvtChannelMapThatCannotBeReadKeepsNoOtherRacksDimmers) {
  CTKZDoc& doc = OpenDoc();
  DocTestPeer::AddRack(doc, 3);
  DocTestPeer::AddRack(doc, 4);
  Sql("INSERT INTO tblRackConfig (ZoneID, RackNumber, DigitalDimsFitted, AnalogOutputs) VALUES"
      " (10003, 3, 2, 0), (10004, 4, 2, 0);"
      "INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, BvtRoom, BvtCh) VALUES (3002, 10003, 2, 1, 1);");
  doc.LoadBvtChannelMap(3);
  ASSERT_EQ(doc.BvtChannelDimmer(1, 1), 1);

  Sql("DROP TABLE tblDimConfig;");
  doc.LoadBvtChannelMap(4);
  EXPECT_EQ(CountLines("doc.cpp#5460: Error "), 1) << observer_.text();
  EXPECT_EQ(doc.BvtChannelDimmer(1, 1), kBvtNoDimmer);  // not rack 3's dimmer 2
}

TEST_F(DocSiteTest, BvtChannelMapReadsAtMost108Rows) {
  CTKZDoc& doc = OpenDoc();
  DocTestPeer::AddRack(doc, 7);
  std::string sql =
      "INSERT INTO tblRackConfig (ZoneID, RackNumber, DigitalDimsFitted, AnalogOutputs) VALUES (10007, 7, 30000, 100000);";
  // 120 dimmers; the 109th and later would patch room 16 channel 15.
  for (int d = 1; d <= 120; ++d)
    sql += "INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, BvtRoom, BvtCh) VALUES (" + std::to_string(7000 + d) +
           ", 10007, " + std::to_string(d) + ", " + (d > 108 ? "16, 15" : "1, 2") + ");";
  Sql(sql);
  doc.LoadBvtChannelMap(7);
  EXPECT_EQ(doc.BvtChannelDimmer(1, 2), 0);
  EXPECT_EQ(doc.BvtChannelDimmer(16, 15), kBvtNoDimmer);
}

}  // namespace
