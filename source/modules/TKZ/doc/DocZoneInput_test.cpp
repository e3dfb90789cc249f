// Zone input reports, the cleaner status load, the Brevant preset status
// and the cleaner light switches.
#include <array>

#include "DocTestSupport.h"
#include "RackCommands.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "ThreadMsgs.h"

namespace {

constexpr int32_t kZone = 500;
using Rooms = std::array<uint8_t, kZoneRooms>;

// Rack 4 stands in zone 500 with 24 digital dimmers; the zone has its QXV,
// Brevant (rooms 1 to 16) and cleaner (inputs 0 to 3) status rows.
class DocZoneInputTest : public DocSiteTest {
 protected:
  DocZoneInputTest() {
    std::string sql =
        "INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackNumber, DigitalDimsFitted, AnalogOutputs) "
        "VALUES (10004, 500, 4, 24, 4);"
        "INSERT INTO tblQXVZone (ZoneID, PresetNumber) VALUES (500, 2);"
        "INSERT INTO tblCleanerZone (ZoneID, AnalogIn, AnalogInStatus) VALUES (500, 0, 0), (500, 1, 0), (500, 2, 0), "
        "(500, 3, 0);"
        "INSERT INTO tblMacroIO (ZoneID, AnalogIn, MacroID) VALUES (10004, 5, 75), (10004, 7, 77), (10004, 8, 78);";
    for (int room = 1; room <= kZoneRooms; ++room)
      sql += "INSERT INTO tblBvtZone (ZoneID, RoomNumber, PresetNumber) VALUES (500, " + std::to_string(room) + ", 0);";
    Sql(sql);
    SetPostToComm([this](uint32_t id, uintptr_t, RackMsg* msg) {
      if (id != WM_IPC_SEND_MSG) return false;
      sent_.push_back(msg);
      return true;
    });
  }
  ~DocZoneInputTest() override {
    SetPostToComm({});
    for (RackMsg* m : sent_) FreeRackMsg(m);
  }

  std::string Bvt() {
    std::string out;
    for (const std::string& r : Rows("SELECT PresetNumber FROM tblBvtZone WHERE ZoneID = 500 ORDER BY RoomNumber"))
      out += r + " ";
    return out;
  }
  std::string Cleaner() {
    std::string out;
    for (const std::string& r : Rows("SELECT AnalogInStatus FROM tblCleanerZone WHERE ZoneID = 500 AND AnalogIn BETWEEN 0 AND 3 ORDER BY AnalogIn"))
      out += r;
    return out;
  }
  // Schedule rows added for the input's macro (macro 70 + input).
  int MacroStarts(int input) {
    return std::stoi(One("SELECT count(*) FROM tblSchedule WHERE MacroID = " + std::to_string(70 + input)));
  }

  std::vector<RackMsg*> sent_;
};

TEST_F(DocZoneInputTest, AReportWritesOnlyWhatChanged) {
  CTKZDoc& doc = OpenDoc();
  // An outside program's values: a report that repeats the stored ones must
  // not overwrite them.
  Sql("UPDATE tblQXVZone SET PresetNumber = 99; UPDATE tblBvtZone SET PresetNumber = 7;"
      "UPDATE tblCleanerZone SET AnalogInStatus = 5;");
  doc.UpdateZoneInputStatus(4, 0, 2, Rooms{});
  EXPECT_EQ(One("SELECT PresetNumber FROM tblQXVZone"), "99");
  EXPECT_EQ(Bvt(), "7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 ");
  EXPECT_EQ(Cleaner(), "5555");

  // Rooms 3 and 9, the QXV preset and cleaner input 2 change.
  Rooms rooms{};
  rooms[2] = 4;
  rooms[8] = 200;
  doc.UpdateZoneInputStatus(4, 0x2, 11, rooms);
  EXPECT_EQ(One("SELECT PresetNumber FROM tblQXVZone"), "11");
  EXPECT_EQ(Bvt(), "7 7 4 7 7 7 7 7 200 7 7 7 7 7 7 7 ");
  EXPECT_EQ(Cleaner(), "5155");
  EXPECT_EQ(CountLines("Cleaner input 2 in zone 500 has turned on"), 1);

  // Input 2 opens again, input 4 closes.
  doc.UpdateZoneInputStatus(4, 0x8, 11, rooms);
  EXPECT_EQ(Cleaner(), "5051");
  EXPECT_EQ(CountLines("Cleaner input 2 in zone 500 has turned off"), 1);
  EXPECT_EQ(CountLines("Cleaner input 4 in zone 500 has turned on"), 1);
}

TEST_F(DocZoneInputTest, AFailedWriteIsWrittenAgainOnTheNextReport) {
  CTKZDoc& doc = OpenDoc();
  Sql("ALTER TABLE tblCleanerZone RENAME TO tblCleanerZoneAway; ALTER TABLE tblBvtZone RENAME TO tblBvtZoneAway;");
  Rooms rooms{};
  rooms[0] = 3;
  doc.UpdateZoneInputStatus(4, 0x1, 2, rooms);
  EXPECT_EQ(CountLines("doc.cpp#5560: Error "), 1) << observer_.text();
  EXPECT_EQ(CountLines("doc.cpp#5600: Error "), 1);

  Sql("ALTER TABLE tblCleanerZoneAway RENAME TO tblCleanerZone; ALTER TABLE tblBvtZoneAway RENAME TO tblBvtZone;");
  doc.UpdateZoneInputStatus(4, 0x1, 2, rooms);
  EXPECT_EQ(Cleaner(), "1000");
  EXPECT_EQ(Bvt(), "3 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 ");

  // A zone without a status row for a room: logged once, not again and again.
  Sql("DELETE FROM tblBvtZone WHERE RoomNumber = 5;");
  rooms[4] = 8;
  doc.UpdateZoneInputStatus(4, 0x1, 2, rooms);
  doc.UpdateZoneInputStatus(4, 0x1, 2, rooms);
  EXPECT_EQ(CountLines("Error: Zone 500 has no Brevant status row for room 5."), 1);
}

TEST_F(DocZoneInputTest, AMacroInputStartsItsMacroEachTimeItCloses) {
  CTKZDoc& doc = OpenDoc();
  const int32_t bit5 = 1 << 5;
  doc.UpdateZoneInputStatus(4, bit5, 2, Rooms{});
  EXPECT_EQ(MacroStarts(5), 1);
  doc.UpdateZoneInputStatus(4, bit5, 2, Rooms{});
  EXPECT_EQ(MacroStarts(5), 1);
  doc.UpdateZoneInputStatus(4, 0, 2, Rooms{});
  EXPECT_EQ(MacroStarts(5), 1);
  doc.UpdateZoneInputStatus(4, bit5 | (1 << 7) | (1 << 8), 2, Rooms{});
  EXPECT_EQ(MacroStarts(5), 2);
  EXPECT_EQ(MacroStarts(7), 1);
  EXPECT_EQ(MacroStarts(8), 0);  // not a macro input
  // Macro inputs are the rack's, not the zone's cleaner inputs.
  EXPECT_EQ(Cleaner(), "0000");

  // A rack without a record changes nothing.
  doc.UpdateZoneInputStatus(9, bit5, 5, Rooms{});
  doc.UpdateZoneInputStatus(256, bit5, 5, Rooms{});
  EXPECT_EQ(One("SELECT PresetNumber FROM tblQXVZone"), "2");
}

TEST_F(DocZoneInputTest, TheCleanerStatusLoadSetsTheZonesBitsAndSkipsWhatHasNoPlace) {
  Sql("UPDATE tblCleanerZone SET AnalogInStatus = -1 WHERE AnalogIn = 0;"
      "UPDATE tblCleanerZone SET AnalogInStatus = 1 WHERE AnalogIn = 2;"
      "INSERT INTO tblCleanerZone (ZoneID, AnalogIn, AnalogInStatus) VALUES (500, 7, 1), (500, -1, 1), (999, 0, 1);");
  CTKZDoc& doc = OpenDoc();
  EXPECT_EQ(doc.FindZoneStatus(kZone)->lastInputBits, 0x5);
  EXPECT_EQ(CountLines("Error: Ignoring cleaner status for unknown zone 999"), 1);
  EXPECT_EQ(CountLines("Loaded cleaner input status."), 1);
  // The first report that repeats the loaded inputs writes nothing.
  Sql("UPDATE tblCleanerZone SET AnalogInStatus = 9 WHERE ZoneID = 500 AND AnalogIn BETWEEN 0 AND 3;");
  doc.UpdateZoneInputStatus(4, 0x5, 2, Rooms{});
  EXPECT_EQ(Cleaner(), "9999");
}

TEST_F(DocZoneInputTest, BrevantPresetStatusWritesOneRoomOrAll) {
  CTKZDoc& doc = OpenDoc();
  doc.SetBrevantPresetStatus(kZone, 5, 12);
  EXPECT_EQ(Bvt(), "0 0 0 0 12 0 0 0 0 0 0 0 0 0 0 0 ");
  doc.SetBrevantPresetStatus(kZone, -1, 3);
  EXPECT_EQ(Bvt(), "3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 ");
  for (int bad : {0, 17, -2}) doc.SetBrevantPresetStatus(kZone, bad, 9);
  EXPECT_EQ(Bvt(), "3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 ");
  EXPECT_EQ(CountLines("Error: Brevant preset status for room 17 of zone 500: not a room (1 to 16)."), 1);
  // The stored report is not changed: the next report of room 1 = 0 is no change.
  EXPECT_EQ(doc.FindZoneStatus(kZone)->lastBvtPresets[0], 0);
}

// ---- cleaner light requests ------------------------------------------------------

class DocCleanerRequestTest : public DocZoneInputTest {
 protected:
  // Patch: input 0 on rack 4 outputs 1/2, input 1 on no rack, input 2 on rack 4 outputs 3/0.
  void Patch() {
    Sql("INSERT INTO tblCleanerIO (ZoneID, AnalogIn, AnalogInName, RackZoneID, AnalogOutOn, AnalogOutOff) VALUES "
        " (500, 0, 'Hall', 10004, 1, 2), (500, 1, 'Stage', 0, 1, 2), (500, 2, 'Foyer', 10004, 3, 0);");
  }
  InProcRequest* Request(CTKZDoc& doc, int32_t subType, const std::string& param) {
    Sql("INSERT INTO tblTKZRequest (RID, RequestState, RequestType, RequestSubType, ZoneID) VALUES (31, 3, 10, " +
        std::to_string(subType) + ", 500);"
        "INSERT INTO tblTKZRequestParam (RID, ParamNumber, ParamValue) VALUES (31, 1, '" + param + "');");
    InProcRequest* r = doc.AddRequest();
    r->RID = 31;
    r->RequestType = 10;
    r->RequestSubType = subType;
    r->ZoneID = kZone;
    doc.RequestRow().RequestState = REQUEST_STATE_IN_PROCESS;
    return r;
  }
  // (rack, output index, level of the first step) of each message sent.
  std::vector<std::array<uint32_t, 3>> Pulses() const {
    std::vector<std::array<uint32_t, 3>> out;
    for (const RackMsg* m : sent_) {
      EXPECT_EQ(m->Command(), DIM_CMD_SET_DIMMER_MANUAL_LEVEL);
      out.push_back({m->Rack, m->command[2], m->command[5]});
    }
    return out;
  }
};

TEST_F(DocCleanerRequestTest, AllInputsOfAZonePulseEveryPatchedRackOutput) {
  Patch();
  CTKZDoc& doc = OpenDoc();
  InProcRequest* r = Request(doc, 23, "-1");
  doc.OnCleanerRequest(r);
  EXPECT_STREQ(doc.RequestRow().RequestDiagnostic, "Cleaner input On/Off request started");
  EXPECT_EQ(doc.RequestRow().RequestState, REQUEST_STATE_IN_PROCESS);
  // Outputs count after the 24 digital dimmers.
  EXPECT_EQ(Pulses(), (std::vector<std::array<uint32_t, 3>>{{4, 25, 255}, {4, 27, 255}}));
  EXPECT_EQ(r->expected, 2);
  EXPECT_EQ(r->Rcode, RC_OK);
  EXPECT_EQ(r->message.Format(), "All cleaner light switches turned on in zone 500");
  EXPECT_EQ(r->lastMsg, nullptr);  // every message was handed over
}

TEST_F(DocCleanerRequestTest, OneInputSwitchedOffUsesItsOffOutput) {
  Patch();
  CTKZDoc& doc = OpenDoc();
  InProcRequest* r = Request(doc, 22, " 2 (Foyer)");  // the number the value begins with
  doc.OnCleanerRequest(r);
  EXPECT_EQ(Pulses(), (std::vector<std::array<uint32_t, 3>>{{4, 24, 255}}));
  EXPECT_EQ(r->message.Format(), "Cleaner light switch 3 turned off in zone 500");
}

TEST_F(DocCleanerRequestTest, APatchThatNamesNoRackIsNotControllable) {
  Sql("INSERT INTO tblCleanerIO (ZoneID, AnalogIn, RackZoneID, AnalogOutOn, AnalogOutOff) VALUES "
      " (500, 0, 0, 1, 2), (500, 1, 0, 1, 2), (500, 2, 10300, 1, 2), (500, 3, 10004, NULL, 2);");
  CTKZDoc& doc = OpenDoc();
  InProcRequest* r = Request(doc, 23, "-1");
  doc.OnCleanerRequest(r);
  EXPECT_TRUE(sent_.empty());
  EXPECT_EQ(r->expected, 0);
  EXPECT_EQ(r->Rcode, RC_SWITCH_NOT_CONTROLLABLE);
  EXPECT_EQ(r->message.Format(), "No control output specified, check the cleaner patch for zone 500");
  EXPECT_EQ(CountLines("Error: Cleaner patch of input 3 in zone 500 names no rack output (rack zone 10300), ignored."),
            1);
  EXPECT_EQ(CountLines("Error: Cleaner patch of input 4 in zone 500 names no rack output (rack zone 10004), ignored."),
            1);
}

TEST_F(DocCleanerRequestTest, ASwitchOnAFailedRequestKeepsItsFirstFailure) {
  Patch();
  CTKZDoc& doc = OpenDoc();
  const struct Case {
    int32_t input;
    size_t pulses;
  } cases[] = {{-1, 2}, {1, 0}};  // patched to a rack; not
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    for (RackMsg* m : sent_) FreeRackMsg(m);
    sent_.clear();
    InProcRequest* r = doc.AddRequest();
    r->RequestSubType = 23;
    r->Rcode = RC_DB_EXCEPTION;
    r->message.Set("Doc#%d: %d:%s", 1633, 3021, CompletionArg::Text("No current record."));
    doc.SwitchCleanerLights(r, kZone, c.input);
    EXPECT_EQ(sent_.size(), c.pulses);  // the lights are still switched
    EXPECT_EQ(r->Rcode, RC_DB_EXCEPTION);
    EXPECT_EQ(r->message.Format(), "Doc#1633: 3021:No current record.");
    doc.FreeRequest(r);
  }
}

TEST_F(DocCleanerRequestTest, ABadParameterOrADatabaseErrorFailsTheRequest) {
  Patch();
  CTKZDoc& doc = OpenDoc();
  for (const char* bad : {"two", "", "x3", "-2", "256"}) {
    Sql("DELETE FROM tblTKZRequest; DELETE FROM tblTKZRequestParam;");
    InProcRequest* r = Request(doc, 23, bad);
    doc.OnCleanerRequest(r);
    EXPECT_EQ(doc.RequestRow().RequestState, REQUEST_STATE_FAILED) << bad;
    EXPECT_TRUE(sent_.empty()) << bad;
    doc.FreeRequest(r);
  }

  Sql("DELETE FROM tblTKZRequest; DELETE FROM tblTKZRequestParam;");
  InProcRequest* r = Request(doc, 23, "-1");
  DocTestPeer::Db(doc).DeleteQueryDef("TKZqryCleanerIOZone");
  doc.OnCleanerRequest(r);
  EXPECT_EQ(r->Rcode, RC_DB_EXCEPTION);
  EXPECT_EQ(r->message.Format().rfind("Doc#5760: 3265:", 0), 0u) << r->message.Format();
  EXPECT_TRUE(sent_.empty());
}

}  // namespace
