// Node and rack status write-back and the outage records; the rack coming
// up through its fault synchronisation; a rack's poll response turned into
// fault rows end to end (the rack model's own response layout).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Comm.h"
#include "DocRackPort.h"
#include "DocTestSupport.h"
#include "RackCommands.h"
#include "RackModel.h"
#include "RackMsg.h"
#include "RefusedWrites.h"

namespace {

class DocStatusTest : public DocSiteTest {
 protected:
  CTKZDoc& Open() {
    CTKZDoc& doc = OpenDoc();
    Sql("INSERT INTO tblFaultType VALUES (1000, 'Rack down', 'Rack %d is not responding', 2),"
        " (1001, 'Node down', 'Node %s is off line', 2), (2, 'Overheat', 'Overheat %d', 1),"
        " (4, 'Load', 'Load error', 1), (5, 'SRP', 'SRP %d %d', 1), (9, 'Enabled', 'Rack %d on %s', 1),"
        " (19, 'Load', 'Load error %d', 1);"
        "INSERT INTO tblNode (NodeID, NodeName) VALUES (5, 'North'), (6, 'South');"
        "INSERT INTO tblNodeStatus VALUES (5, 1), (6, 1);"
        "INSERT INTO tblRackStatus (ZoneID, ConnectStatus) VALUES (10001, 1), (10002, 1), (10003, 1),"
        " (10004, 1), (10256, 1);");
    return doc;
  }
  RackInfo& Rack(CTKZDoc& doc, int rack, int node, bool up) {
    RackInfo& info = DocTestPeer::AddRack(doc, rack);
    info.NodeID = node;
    info.flags = RACK_INFO_CONFIGURED | RACK_INFO_HAS_NODE | (up ? RACK_INFO_UP : 0);
    return info;
  }
  std::string Status(int zone) {
    return One("SELECT ConnectStatus FROM tblRackStatus WHERE ZoneID = " + std::to_string(zone));
  }
  // FaultType|RackNumber|arise set|subside set|Description
  std::vector<std::string> Outages() {
    return Rows("SELECT FaultType, RackNumber, AriseTimestamp IS NOT NULL, SubsideTimestamp IS NOT NULL,"
                " Description FROM tblFaultStatus ORDER BY RackNumber, FaultType");
  }
  std::string NowText() {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", platform::time::ToOleDate(clock_.Local()));
    return text;
  }
  std::string AriseText(int rack) {
    return One("SELECT printf('%.6f', AriseTimestamp) FROM tblFaultStatus WHERE RackNumber = " +
               std::to_string(rack));
  }
};

TEST_F(DocStatusTest, ANodeGoingDownTakesItsRacksDownUnderOneNodeRecord) {
  CTKZDoc& doc = Open();
  for (int r : {1, 2, 3}) Rack(doc, r, 5, true);
  Rack(doc, 4, 6, true);

  doc.SetNodeStatus(5, false);
  EXPECT_EQ(CountLines("Node \"North\" is now down."), 1);
  for (int r : {1, 2, 3})
    EXPECT_EQ(CountLines("Rack " + std::to_string(r) + " is now down (because it's connected to NodeID 5)."), 1);
  EXPECT_EQ(CountLines("Rack 4 is now down"), 0);
  EXPECT_EQ(One("SELECT ConnectStatus FROM tblNodeStatus WHERE NodeID = 5"), "0");
  EXPECT_EQ(Rows("SELECT ConnectStatus FROM tblRackStatus WHERE ZoneID < 10005 ORDER BY ZoneID"),
            (std::vector<std::string>{"0", "0", "0", "1"}));
  for (int r : {1, 2, 3}) EXPECT_EQ(doc.FindRackInfo(r)->flags & RACK_INFO_UP, 0u);
  EXPECT_NE(doc.FindRackInfo(4)->flags & RACK_INFO_UP, 0u);
  EXPECT_EQ(Outages(), (std::vector<std::string>{"1001|1005|1|0|Node North is off line"}));
  EXPECT_EQ(AriseText(1005), NowText());

  // Back Online: the node's row and its record; its racks wait for their
  // own fault synchronisation.
  doc.SetNodeStatus(5, true);
  EXPECT_EQ(CountLines("Node \"North\" is now up."), 1);
  EXPECT_EQ(One("SELECT ConnectStatus FROM tblNodeStatus WHERE NodeID = 5"), "1");
  EXPECT_EQ(Outages(), (std::vector<std::string>{"1001|1005|1|1|Node North is off line"}));
  EXPECT_EQ(Status(10001), "0");
  EXPECT_EQ(doc.FindRackInfo(1)->flags & RACK_INFO_UP, 0u);
}

TEST_F(DocStatusTest, ARackWithoutAStatusRowDoesNotKeepTheNodesOtherRacksUp) {
  CTKZDoc& doc = Open();
  for (int r : {1, 2, 3}) Rack(doc, r, 5, true);
  Sql("DELETE FROM tblRackStatus WHERE ZoneID = 10002;");

  doc.SetNodeStatus(5, false);
  EXPECT_EQ(CountLines("doc.cpp#6583: Error 3021"), 1) << observer_.text();
  EXPECT_EQ(Status(10001), "0");
  EXPECT_EQ(Status(10003), "0");
  for (int r : {1, 2, 3}) EXPECT_EQ(doc.FindRackInfo(r)->flags & RACK_INFO_UP, 0u) << r;
  EXPECT_EQ(Outages(), (std::vector<std::string>{"1001|1005|1|0|Node North is off line"}));
}

TEST_F(DocStatusTest, ARepeatedRackDownRenewsItsOutageWithoutAStatusWrite) {
  CTKZDoc& doc = Open();
  Rack(doc, 2, 5, true);
  doc.SetRackStatus(2, false);
  EXPECT_EQ(CountLines("Rack 2 has gone down."), 1);
  EXPECT_EQ(Status(10002), "0");
  EXPECT_EQ(Outages(), (std::vector<std::string>{"1000|2|1|0|Rack 2 is not responding"}));

  Sql("UPDATE tblRackStatus SET ConnectStatus = 1 WHERE ZoneID = 10002;");  // to see a write
  clock_.AdvanceSeconds(90);
  doc.SetRackStatus(2, false);
  EXPECT_EQ(CountLines("Rack 2 has gone down."), 1);
  EXPECT_EQ(Status(10002), "1");
  EXPECT_EQ(CountLines("Updating fault record type 1000, rack 2."), 1);
  EXPECT_EQ(AriseText(2), NowText());

  doc.SetRackStatus(2, true);
  EXPECT_EQ(CountLines("Rack 2 has gone up."), 1);
  EXPECT_NE(doc.FindRackInfo(2)->flags & RACK_INFO_UP, 0u);
  EXPECT_EQ(Outages(), (std::vector<std::string>{"1000|2|1|1|Rack 2 is not responding"}));
}

TEST_F(DocStatusTest, ARackUpWithoutAnOutageWritesItsStatusAndIgnoresTheSubside) {
  CTKZDoc& doc = Open();
  Rack(doc, 3, 5, false);
  Sql("UPDATE tblRackStatus SET ConnectStatus = 0;");
  doc.SetRackStatus(3, true);
  EXPECT_EQ(Status(10003), "1");
  EXPECT_EQ(CountLines("Ignoring subsiding fault type 1000, rack 3, no record of fault found."), 1);
  EXPECT_TRUE(Outages().empty());
}

TEST_F(DocStatusTest, MissingStatusRowsAreLoggedAndTheOutageIsStillRecorded) {
  CTKZDoc& doc = Open();
  doc.SetNodeStatus(7, false);
  EXPECT_EQ(CountLines("doc.cpp#6544: Error 3021"), 1);
  Rack(doc, 9, 5, true);
  doc.SetRackStatus(9, false);
  EXPECT_EQ(CountLines("doc.cpp#6630: Error 3021"), 1);
  EXPECT_EQ(doc.FindRackInfo(9)->flags & RACK_INFO_UP, 0u);
  EXPECT_EQ(Outages(), (std::vector<std::string>{"1000|9|1|0|Rack 9 is not responding",
                                                  "1001|1007|1|0|Node NodeID 7 is off line"}));
}

TEST_F(DocStatusTest, StatusMessagesOutsideTheirRangesAreDropped) {
  CTKZDoc& doc = Open();
  Rack(doc, 256, 5, true);
  DocOnRackStatus(0, 0);
  DocOnRackStatus(0, 257);
  DocOnRackStatus(0, -1);
  DocOnNodeStatus(0, -3);
  DocOnNodeStatus(0, static_cast<intptr_t>(1) << 40);
  EXPECT_EQ(CountLines("Error: Rack status for rack "), 3);
  EXPECT_EQ(CountLines("Error: Node status for node "), 2);
  EXPECT_TRUE(Outages().empty());
  doc.SetRackStatus(5, false);  // no record of it
  EXPECT_EQ(CountLines("Error: Status of rack 5 ignored: the rack is not loaded."), 1);

  // Rack 256, whose table key is 0, is a rack like any other; so is it in
  // the cascade of its node.
  DocOnRackStatus(0, 256);
  EXPECT_EQ(CountLines("Rack 256 has gone down."), 1);
  EXPECT_EQ(Status(10256), "0");
  doc.FindRackInfo(256)->flags |= RACK_INFO_UP;
  DocOnNodeStatus(0, 5);
  EXPECT_EQ(CountLines("Rack 256 is now down (because it's connected to NodeID 5)."), 1);
  EXPECT_EQ(Outages(), (std::vector<std::string>{"1000|256|1|0|Rack 256 is not responding",
                                                  "1001|1005|1|0|Node North is off line"}));
}

class DocStatusRefusedTest : public DocStatusTest {
 protected:
  RefusedWrites refused_;  // made before the database is opened
};

TEST_F(DocStatusRefusedTest, StatusAndOutagesTheDatabaseRefusesLandLaterInTheOrderMade) {
  CTKZDoc& doc = Open();
  auto fault = [this](int16_t type, int16_t rack) {
    FaultRecord r;
    r.FaultType = type;
    r.RackNumber = rack;
    r.AriseTimestamp = {platform::time::ToOleDate(clock_.Local()), 0};
    return r;
  };
  for (const WriteRefusal& how : kWriteRefusals) {
    SCOPED_TRACE(how.what);
    Sql("DELETE FROM tblFaultStatus; UPDATE tblNodeStatus SET ConnectStatus = 1;"
        " UPDATE tblRackStatus SET ConnectStatus = 1;");
    for (int r : {1, 2}) Rack(doc, r, 5, true);
    Rack(doc, 4, 6, true);
    // Each case logs the same lines: the log's counts of them end here.
    log_.FlushRepeats();
    observer_ = RecordingObserver();

    ASSERT_TRUE(refused_.Begin(how));
    doc.SetNodeStatus(5, false);
    const FaultRecord old = fault(2, 4);
    doc.WriteFaultRecords(&old, 1);
    doc.SetRackStatus(4, false);
    doc.SetNodeStatus(5, true);
    // Rack 4 answers again: its old faults cleared, up, a fresh fault.
    doc.DeleteRackFaults(4);
    doc.SetRackStatus(4, true);
    const FaultRecord fresh = fault(4, 4);
    doc.WriteFaultRecords(&fresh, 1);
    EXPECT_FALSE(doc.RetryKeptWrites());
    EXPECT_EQ(One("SELECT ConnectStatus FROM tblNodeStatus WHERE NodeID = 5"), "1") << "nothing written yet";
    EXPECT_TRUE(Outages().empty());
    EXPECT_EQ(CountLines("Adding new fault record"), 0) << "a write is told when it lands";

    refused_.End();
    EXPECT_TRUE(doc.RetryKeptWrites());
    EXPECT_EQ(One("SELECT ConnectStatus FROM tblNodeStatus WHERE NodeID = 5"), "1");
    EXPECT_EQ(Rows("SELECT ConnectStatus FROM tblRackStatus WHERE ZoneID < 10005 ORDER BY ZoneID"),
              (std::vector<std::string>{"0", "0", "1", "1"}));
    EXPECT_EQ(Outages(), (std::vector<std::string>{"4|4|1|0|Load error", "1000|4|1|1|Rack 4 is not responding",
                                                    "1001|1005|1|1|Node North is off line"}));
    EXPECT_EQ(doc.KeptWriteCount(), 0u);
    EXPECT_EQ(CountLines("Adding new fault record type 1001, node 5."), 1);
    EXPECT_EQ(CountLines("Fault type 1001 node 5 subsided."), 1);
  }
}

TEST_F(DocStatusRefusedTest, OfflineAtTheCloseOutranksAKeptStatus) {
  CTKZDoc& doc = Open();
  Rack(doc, 3, 5, false);
  Sql("UPDATE tblRackStatus SET ConnectStatus = 0 WHERE ZoneID = 10003;");
  ASSERT_TRUE(refused_.Begin(kWriteRefusals[1]));
  doc.SetRackStatus(3, true);
  EXPECT_EQ(doc.KeptWriteCount(), 1u);
  refused_.End();
  doc.SetAllOffline();
  doc.RetryKeptWrites();
  EXPECT_EQ(Status(10003), "0");
  EXPECT_EQ(doc.KeptWriteCount(), 0u);
}

// A rack says its software version only when it comes up: a version the
// database refused is kept, the newest winning, and lands on a later tick,
// whatever the offline queries did meanwhile.
TEST_F(DocStatusRefusedTest, ARacksSoftwareVersionTheDatabaseRefusesLandsLater) {
  CTKZDoc& doc = Open();
  Rack(doc, 2, 5, true);
  for (const WriteRefusal& how : kWriteRefusals) {
    SCOPED_TRACE(how.what);
    Sql("UPDATE tblRackStatus SET SoftwareVersion = 'old' WHERE ZoneID = 10002;");
    ASSERT_TRUE(refused_.Begin(how));
    EXPECT_THROW(doc.SetRackSoftwareVersion(2, "V1.22"), dao::Error);
    EXPECT_THROW(doc.SetRackSoftwareVersion(2, "V1.23"), dao::Error);
    EXPECT_FALSE(doc.RetryKeptWrites());
    refused_.End();
    EXPECT_EQ(One("SELECT SoftwareVersion FROM tblRackStatus WHERE ZoneID = 10002"), "old");
    doc.SetAllOffline();
    EXPECT_TRUE(doc.RetryKeptWrites());
    EXPECT_EQ(One("SELECT SoftwareVersion FROM tblRackStatus WHERE ZoneID = 10002"), "V1.23");
    EXPECT_EQ(doc.KeptWriteCount(), 0u);
  }
  // A rack without a status row refuses for good: nothing is kept.
  Sql("DELETE FROM tblRackStatus WHERE ZoneID = 10002;");
  EXPECT_THROW(doc.SetRackSoftwareVersion(2, "V1.24"), dao::Error);
  EXPECT_EQ(doc.KeptWriteCount(), 0u);
}

// RackNumber is 16 bits: 1000 + 31767 is the last node id an outage row
// can name; one past it is refused with a line and no row.
TEST_F(DocStatusTest, TheLargestRecordableNodeIdGetsItsOutageRowAndOnePastItNone) {
  CTKZDoc& doc = Open();
  doc.SetNodeStatus(31767, false);
  doc.SetNodeStatus(31768, false);
  EXPECT_EQ(Outages(), (std::vector<std::string>{"1001|32767|1|0|Node NodeID 31767 is off line"}));
  EXPECT_EQ(CountLines("Error: No outage record for node 31767"), 0);
  EXPECT_EQ(CountLines("Error: No outage record for node 31768: its id does not fit a fault record."), 1);
  doc.SetNodeStatus(31767, true);
  EXPECT_EQ(Outages(), (std::vector<std::string>{"1001|32767|1|1|Node NodeID 31767 is off line"}));
}

// The rack-message layer around the document, as the server installs it.
class DocRackLayerTest : public DocStatusTest {
 protected:
  class Relay final : public RackCommPort {
   public:
    bool PostRackUp(uint32_t rack) override {
      up.push_back(rack);
      return true;
    }
    bool PostRackVersionSet(uint32_t, const RackVersion&) override { return true; }
    std::vector<uint32_t> up;
  };
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    SetPostToComm([this](uint32_t, uintptr_t, RackMsg* m) {
      posted.push_back(m);
      return true;
    });
    theComm.SetDocPort(&port_);
    theComm.SetEventPort(&port_);
    theComm.SetCommPort(&relay_);
    theComm.SetClock(&clock_);
  }
  void TearDown() override {
    SetPostToComm({});
    theComm.SetDocPort(nullptr);
    theComm.SetEventPort(nullptr);
    theComm.SetCommPort(nullptr);
    theComm.SetClock(nullptr);
    for (RackMsg* m : posted) FreeRackMsg(m);
  }
  // The message the comm thread would bring back: the rack's answer to
  // what was posted last.
  RackMsg* Answer(sim::RackModel& model) {
    RackMsg* m = posted.back();
    posted.pop_back();
    const sim::RackAnswer a = model.Exchange({m->command, static_cast<size_t>(m->sendLength)});
    std::copy(a.reply.begin(), a.reply.end(), m->response);
    m->responseLength = static_cast<uint16_t>(a.reply.size());
    m->Rcode = a.rcode;
    return m;
  }
  // An unsolicited poll response of the model, as the comm thread posts it.
  RackMsg* Poll(sim::RackModel& model, uint32_t rack) {
    uint8_t atype = 0;
    uint8_t command[16];
    const int n = GetPollCommand(atype, command);
    const sim::RackAnswer a = model.Exchange({command, static_cast<size_t>(n)});
    RackMsg* m = AllocRackMsg();
    m->Rack = rack;
    std::copy(a.reply.begin(), a.reply.end(), m->response);
    m->responseLength = static_cast<uint16_t>(a.reply.size());
    return m;
  }

  DocRackPort port_;
  Relay relay_;
  std::vector<RackMsg*> posted;
};

TEST_F(DocRackLayerTest, ARackThatAnswersAgainClearsItsFaultsComesUpAndIsRelayed) {
  CTKZDoc& doc = Open();
  Rack(doc, 2, 5, false);
  Sql("UPDATE tblRackStatus SET ConnectStatus = 0;");
  const FaultRecord before[] = {
      {.FaultType = 1000, .RackNumber = 2, .AriseTimestamp = {5.0, 0}, .args = {FaultArg::Number(2)}},
      {.FaultType = 2, .RackNumber = 2, .AriseTimestamp = {5.0, 0}},
      {.FaultType = 5, .RackNumber = 2, .DimmerNumber = 4, .AriseTimestamp = {5.0, 0}}};
  doc.WriteFaultRecords(before, 3);

  sim::RackModel model({.rackNumber = 2});
  SendSyncFaultEvents(2);
  ASSERT_EQ(posted.size(), 1u);
  RunRackMsgContinuation(Answer(model));
  EXPECT_EQ(relay_.up, std::vector<uint32_t>{2});
  EXPECT_EQ(Status(10002), "1");
  EXPECT_NE(doc.FindRackInfo(2)->flags & RACK_INFO_UP, 0u);
  EXPECT_EQ(Outages(), (std::vector<std::string>{"1000|2|1|1|Rack 2 is not responding"}));
}

TEST_F(DocRackLayerTest, APollResponsesFaultEventsBecomeFaultRows) {
  CTKZDoc& doc = Open();
  Rack(doc, 3, 5, true);
  constexpr int32_t kT = 86400 * 2 + 3600;  // 1970-01-03 01:00, the rack's local time
  struct Case {
    const char* what;
    std::vector<sim::FaultEvent> events;
    std::vector<std::string> rows;  // FaultType|DimmerNumber|CircuitNumber|Arise|Subside|Diag1|Diag2|Description
  };
  const Case cases[] = {
      {"an overheat arises",
       {{.type = 2, .arose = true, .dimmer = 4, .circuit = 301, .time = kT, .diag1 = 7}},
       {"2|4|301|25571.0416666667|NULL|7|0|Overheat 7"}},
      {"and subsides",
       {{.type = 2, .arose = false, .dimmer = 4, .circuit = 301, .time = kT + 3600}},
       {"2|4|301|25571.0416666667|25571.0833333333|7|0|Overheat 7"}},
      {"a load error without diagnostic is stored as type 4",
       {{.type = 19, .arose = true, .dimmer = 1, .circuit = 2, .time = kT}},
       {"2|4|301|25571.0416666667|25571.0833333333|7|0|Overheat 7",
        "4|1|2|25571.0416666667|NULL|0|0|Load error"}},
      {"with a diagnostic it closes type 4 and opens type 19",
       {{.type = 19, .arose = true, .dimmer = 1, .circuit = 2, .time = kT + 60, .diag1 = 3}},
       {"2|4|301|25571.0416666667|25571.0833333333|7|0|Overheat 7",
        "4|1|2|25571.0416666667|25571.0423611111|0|0|Load error",
        "19|1|2|25571.0423611111|NULL|3|0|Load error 3"}},
      {"an enabled event names the backup by its dimmer",
       {{.type = 9, .arose = true, .dimmer = 0, .time = kT, .diag1 = 1}, {.type = 30, .arose = true, .time = kT}},
       {"2|4|301|25571.0416666667|25571.0833333333|7|0|Overheat 7",
        "4|1|2|25571.0416666667|25571.0423611111|0|0|Load error",
        "9|1|0|25571.0416666667|NULL|1|0|Rack 3 on Backup",
        "19|1|2|25571.0423611111|NULL|3|0|Load error 3"}},
  };
  sim::RackModel model({.rackNumber = 3});
  for (const Case& c : cases) {
    for (const sim::FaultEvent& e : c.events) model.QueueFaultEvent(e);
    theComm.OnRackEvent(Poll(model, 3));
    EXPECT_EQ(Rows("SELECT FaultType, DimmerNumber, CircuitNumber, AriseTimestamp, SubsideTimestamp, Diag1,"
                   " Diag2, Description FROM tblFaultStatus WHERE RackNumber = 3 ORDER BY FaultType"),
              c.rows)
        << c.what;
  }
}

}  // namespace
