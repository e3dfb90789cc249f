// The resident tables: what the loads hand to the comm thread, the rack
// table keyed by the whole rack number, the sweep of a refresh, the zones'
// presets, and rows that cannot be placed.
#include "DocTestSupport.h"
#include "RackMsg.h"

namespace {

using SeenNode = RecordingComm::SeenNode;
using SeenRack = RecordingComm::SeenRack;

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

// Node types: 1 counts its ports from -1, 2 (a test rig) from 1.
constexpr char kNodeTypes[] =
    "INSERT INTO tblNodeType (NodeType, Name) VALUES (1, 'RackNode'), (2, 'Bench Test rig'), (3, 'test lower');";

TEST_F(DocSiteTest, EachNodeIsHandedOverOnceWithItsSupervisoryPortSlots) {
  Sql(std::string(kNodeTypes) +
      "INSERT INTO tblNode (NodeID, NodeName, NodeType, IPAddress) VALUES "
      " (1, 'North   ', 1, ' 10.0.0.5 '), (2, 'Bench', 2, '192.168.1.20'), (3, 'Quiet', 1, '10.0.0.7'),"
      " (4, 'Broken', 1, '10.0.0.300'), (5, 'Odd', 1, '10.0.0.9'), (6, 'Lower', 3, '255.255.255.255');"
      "INSERT INTO tblNodePort (PortID, NodeID, PortNumber, PortCategory) VALUES "
      // Node 1: categories 2, 1, 2 give two supervisory ports (slots 4 and 1).
      " (10, 1, 3, 2), (11, 1, 1, 1), (12, 1, 0, 2),"
      // Node 2, a test rig: port 3 is slot 2, port 6 slot 5.
      " (20, 2, 3, 2), (21, 2, 6, 2),"
      // Node 3: no supervisory port, still handed over.
      " (30, 3, 1, 1),"
      // Node 4: its address is not an address: not handed over at all.
      " (40, 4, 1, 2),"
      // Node 5: port 5 would be slot 6, and a port without a number has no slot.
      " (50, 5, 5, 2), (51, 5, NULL, 2), (52, 5, 4, 2),"
      // Node 6: 'test' is not 'Test': port 2 is slot 3.
      " (60, 6, 2, 2);");
  OpenDoc();

  const std::vector<SeenNode> expected = {
      {1, Ip(10, 0, 0, 5), "North", {0, 1, 0, 0, 1, 0}},
      {2, Ip(192, 168, 1, 20), "Bench", {0, 0, 1, 0, 0, 1}},
      {3, Ip(10, 0, 0, 7), "Quiet", {0, 0, 0, 0, 0, 0}},
      {5, Ip(10, 0, 0, 9), "Odd", {0, 0, 0, 0, 0, 1}},
      {6, Ip(255, 255, 255, 255), "Lower", {0, 0, 0, 1, 0, 0}},
  };
  EXPECT_EQ(comm_.nodes, expected);
  EXPECT_EQ(CountLines("Loaded 5 node(s) and 6 supervisory port(s)."), 1) << observer_.text();
  EXPECT_EQ(CountLines("Error: Node 4 (\"Broken\") has no valid IP address \"10.0.0.300\", ignored."), 1);
  EXPECT_EQ(CountLines("Error: Port 5 of node 5 has no port slot, ignored."), 1);
  EXPECT_EQ(CountLines("Error: Port 0 of node 5 has no port slot, ignored."), 1);
  // The nodes come between the opening and closing load phases.
  EXPECT_EQ(comm_.calls.front(), "start");
  EXPECT_EQ(comm_.calls[1], "phase 7");
  EXPECT_EQ(comm_.calls.back(), "phase 14");
}

TEST_F(DocSiteTest, AnEmptyPlantHandsNothingOverAndSaysSo) {
  OpenDoc();
  EXPECT_TRUE(comm_.nodes.empty());
  EXPECT_TRUE(comm_.racks.empty());
  EXPECT_EQ(CountLines("Loaded 0 node(s) and 0 supervisory port(s)."), 1);
  EXPECT_EQ(CountLines("Loaded node associations for 0 racks."), 1);
  EXPECT_EQ(CountLines("(re)Loading current Zone state"), 0);
}

TEST_F(DocSiteTest, IpAddressesAreFourNumbersUpTo255) {
  struct Case {
    const char* text;
    std::optional<uint32_t> address;
  };
  const Case cases[] = {
      {"10.0.0.5", Ip(10, 0, 0, 5)},
      {"  192.168.1.20  ", Ip(192, 168, 1, 20)},
      {"255.255.255.255", Ip(255, 255, 255, 255)},
      {"0.0.0.0", 0u},
      {"", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"256.1.1.1", std::nullopt},
      {"1..2.3", std::nullopt},
      {"1.2.3.4x", std::nullopt},
      {"0001.2.3.4", std::nullopt},
      {"-1.2.3.4", std::nullopt},
      {"1. 2.3.4", std::nullopt},
      {"node.example", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(CTKZDoc::ParseIpAddress(c.text), c.address) << '"' << c.text << '"';
}

class DocTablesTest : public DocSiteTest {
 protected:
  // Racks 1 and 256 on node 1, rack 7 on a test rig's port; rows with rack
  // numbers that are no rack's, and one on a port without a slot.
  void AddRackPlant() {
    Sql(std::string(kNodeTypes) +
        "INSERT INTO tblNode (NodeID, NodeName, NodeType, IPAddress) VALUES "
        " (1, 'North', 1, '10.0.0.5'), (2, 'Bench', 2, '10.0.0.6');"
        "INSERT INTO tblNodePort (PortID, NodeID, PortNumber, PortCategory) VALUES "
        " (10, 1, 3, 2), (11, 1, 0, 2), (20, 2, 3, 2), (21, 2, 0, 2);"
        "INSERT INTO tblNodePortRack (PortID, RackNumber) VALUES "
        " (10, 1), (10, 256), (11, 0), (11, 300), (11, -1), (20, 7), (21, 9);"
        "INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackNumber, DigitalDimsFitted, AnalogOutputs) VALUES "
        " (10001, 500, 1, 24, 2), (10256, 600, 256, 48, 0), (10007, 500, 7, 12, NULL);");
  }
  void Refresh(CTKZDoc& doc, int32_t subType) {
    InProcRequest* r = doc.AddRequest();
    r->RequestType = 4;
    r->RequestSubType = subType;
    doc.OnRefreshRequest(r);
    doc.FreeRequest(r);
  }
  // The node ports a broadcast to the racks goes to, as "node/slot".
  std::vector<std::string> PortsReaching(CTKZDoc& doc, const RackList& racks) {
    std::vector<std::string> ports;
    InProcRequest* r = doc.AddRequest();
    doc.ForEachPortMsg(r, racks, [&ports](RackMsg* m) {
      ports.push_back(std::to_string(m->nodeId) + "/" + std::to_string(m->portSlot));
      FreeRackMsg(m);
    });
    r->lastMsg = nullptr;
    doc.FreeRequest(r);
    return ports;
  }
  std::vector<SeenRack> SortedRacks() const {
    std::vector<SeenRack> r = comm_.racks;
    std::sort(r.begin(), r.end(), [](const SeenRack& a, const SeenRack& b) { return a.rack < b.rack; });
    return r;
  }
};

TEST_F(DocTablesTest, RacksAreKeptAndHandedOverUnderTheirWholeNumber) {
  AddRackPlant();
  CTKZDoc& doc = OpenDoc();

  const std::vector<SeenRack> expected = {{1, 1, 4}, {2, 7, 2}, {1, 256, 4}};
  EXPECT_EQ(SortedRacks(), expected);
  EXPECT_EQ(CountLines("Loaded node associations for 7 racks."), 1);
  for (int bad : {0, 300, -1})
    EXPECT_EQ(CountLines("Error: Rack " + std::to_string(bad) + " of node 1 is not a rack number (1 to 256), ignored."),
              1)
        << bad;
  // The test rig's port 0 would be slot -1.
  EXPECT_EQ(CountLines("Error: Rack 9 on port 0 of node 2 has no port slot, ignored."), 1);

  // Rack 256 and rack 0 are not one record; 256 keeps its own zone and sizes.
  EXPECT_EQ(doc.FindRackInfo(0), nullptr);
  EXPECT_EQ(doc.FindRackInfo(300), nullptr);
  RackInfo* r256 = doc.FindRackInfo(256);
  RackInfo* r1 = doc.FindRackInfo(1);
  ASSERT_NE(r256, nullptr);
  ASSERT_NE(r1, nullptr);
  EXPECT_NE(r256, r1);
  EXPECT_EQ(r256->RackNumber, 256);
  EXPECT_EQ(r256->ZoneParentID, 600u);
  EXPECT_EQ(r256->DigitalDimsFitted, 48);
  EXPECT_EQ(r256->NodeID, 1);
  EXPECT_EQ(r256->portSlot, 4);
  EXPECT_EQ(r256->flags, RACK_INFO_HAS_NODE | RACK_INFO_CONFIGURED);
  EXPECT_EQ(r1->ZoneParentID, 500u);
  EXPECT_EQ(r1->AnalogOutputs, 2);
  // A configuration column left empty counts as none.
  EXPECT_EQ(doc.FindRackInfo(7)->AnalogOutputs, 0);
  EXPECT_EQ(DocTestPeer::RackCount(doc), 3u);
  ASSERT_NE(doc.FindZoneStatus(500), nullptr);
  ASSERT_NE(doc.FindZoneStatus(600), nullptr);
  EXPECT_EQ(DocTestPeer::ZoneCount(doc), 2u);
}

TEST_F(DocTablesTest, ARefreshTakesDownARackThatLostItsNodeAndDropsOneNoLongerConfigured) {
  AddRackPlant();
  Sql("INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackNumber) VALUES (10003, 500, 3);"
      "INSERT INTO tblNodePortRack (PortID, RackNumber) VALUES (10, 3);");
  CTKZDoc& doc = OpenDoc();
  for (int rack : {1, 3, 256}) doc.FindRackInfo(rack)->flags |= RACK_INFO_UP;

  // Rack 256 loses its node, rack 3 its configuration.
  Sql("DELETE FROM tblNodePortRack WHERE RackNumber = 256;"
      "DELETE FROM tblRackConfig WHERE RackNumber = 3;");
  g_bDocDebug = true;
  doc.LoadRack2Node();
  doc.LoadRack2Zone();

  RackInfo* r256 = doc.FindRackInfo(256);
  ASSERT_NE(r256, nullptr);
  EXPECT_EQ(r256->NodeID, -1);
  EXPECT_EQ(r256->flags, RACK_INFO_CONFIGURED);
  EXPECT_EQ(CountLines("Rack 256 is now down (because it was connected to NodeID 1)."), 1);
  EXPECT_EQ(doc.FindRackInfo(3), nullptr);
  EXPECT_EQ(doc.FindRackInfo(1)->flags, RACK_INFO_UP | RACK_INFO_HAS_NODE | RACK_INFO_CONFIGURED);

  // Once down, a second sweep says nothing more; no zone was added, so the
  // zones' presets are not read again.
  doc.LoadRack2Zone();
  EXPECT_EQ(CountLines("Rack 256 is now down"), 1);
  EXPECT_EQ(CountLines("(re)Loading current Zone state"), 1);
}

TEST_F(DocTablesTest, ARackThatLostItsNodeWhileDownIsReachedByNoPortMessage) {
  AddRackPlant();
  CTKZDoc& doc = OpenDoc();
  doc.FindRackInfo(1)->flags |= RACK_INFO_UP;  // rack 7 stays down
  for (int32_t subType : {100, 103, 104}) {
    Sql("INSERT OR IGNORE INTO tblNodePortRack (PortID, RackNumber) VALUES (20, 7);");
    Refresh(doc, 100);
    ASSERT_EQ(PortsReaching(doc, {1, 7}), (std::vector<std::string>{"1/4", "2/2"})) << subType;

    Sql("DELETE FROM tblNodePortRack WHERE RackNumber = 7;");
    Refresh(doc, subType);
    const RackInfo* r7 = doc.FindRackInfo(7);
    ASSERT_NE(r7, nullptr) << subType;
    EXPECT_EQ(r7->NodeID, -1) << subType;
    EXPECT_EQ(r7->flags, RACK_INFO_CONFIGURED) << subType;
    EXPECT_EQ(PortsReaching(doc, {1, 7}), (std::vector<std::string>{"1/4"})) << subType;
  }
  // A rack that was down is not written down again.
  EXPECT_EQ(CountLines("Rack 7 is now down"), 0);
  EXPECT_EQ(One("SELECT count(*) FROM tblFaultStatus"), "0");
}

TEST_F(DocTablesTest, ARefreshThatCannotReadTheRackConfigurationKeepsEveryRack) {
  AddRackPlant();
  CTKZDoc& doc = OpenDoc();
  Sql("ALTER TABLE tblRackConfig RENAME TO tblRackConfigAway;");
  Refresh(doc, 100);
  EXPECT_EQ(CountLines("doc:LoadRack2Zone: Error "), 1) << observer_.text();
  EXPECT_EQ(DocTestPeer::RackCount(doc), 3u);
  ASSERT_NE(doc.FindRackInfo(256), nullptr);
  EXPECT_EQ(doc.FindRackInfo(256)->ZoneParentID, 600u);
  EXPECT_EQ(doc.FindRackInfo(256)->DigitalDimsFitted, 48);
  EXPECT_EQ(PortsReaching(doc, {1, 7, 256}), (std::vector<std::string>{"1/4", "2/2"}));

  // Once it reads again, a rack it no longer lists goes.
  Sql("ALTER TABLE tblRackConfigAway RENAME TO tblRackConfig;"
      "DELETE FROM tblRackConfig WHERE RackNumber = 7;");
  Refresh(doc, 100);
  EXPECT_EQ(DocTestPeer::RackCount(doc), 2u);
  EXPECT_EQ(doc.FindRackInfo(7), nullptr);
  EXPECT_EQ(doc.FindRackInfo(1)->flags, RACK_INFO_HAS_NODE | RACK_INFO_CONFIGURED);
}

TEST_F(DocTablesTest, ZonePresetsAreReadWhenAZoneIsAddedSkippingRowsWithoutAPlace) {
  AddRackPlant();
  Sql("INSERT INTO tblQXVZone (ZoneID, PresetNumber) VALUES (500, 12), (600, NULL), (700, 3);"
      "INSERT INTO tblBvtZone (ZoneID, RoomNumber, PresetNumber) VALUES "
      " (500, 1, 4), (500, 16, 9), (500, 0, 7), (500, 17, 7), (600, 3, 2), (700, 1, 1);");
  CTKZDoc& doc = OpenDoc();
  const ZoneStatus* z500 = doc.FindZoneStatus(500);
  const ZoneStatus* z600 = doc.FindZoneStatus(600);
  ASSERT_NE(z500, nullptr);
  ASSERT_NE(z600, nullptr);
  EXPECT_EQ(z500->lastQxvPreset, 12);
  EXPECT_EQ(z600->lastQxvPreset, 0);
  const uint8_t rooms500[kZoneRooms] = {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
  EXPECT_TRUE(std::equal(std::begin(rooms500), std::end(rooms500), z500->lastBvtPresets));
  EXPECT_EQ(z600->lastBvtPresets[2], 2);
  EXPECT_EQ(doc.FindZoneStatus(700), nullptr);  // a zone without racks gets no record
  EXPECT_EQ(CountLines("Error: Brevant preset of room 0 in zone 500 is not a room (1 to 16), ignored."), 1);
  EXPECT_EQ(CountLines("Error: Brevant preset of room 17 in zone 500 is not a room (1 to 16), ignored."), 1);
}

TEST_F(DocTablesTest, ADatabaseErrorIsLoggedAndTheLoadsGoOnWithWhatTheyHave) {
  AddRackPlant();
  // Without node types both node queries fail; the configuration still loads.
  Sql("DROP TABLE tblNodeType;");
  CTKZDoc& doc = OpenDoc();
  EXPECT_EQ(CountLines("doc:LoadNodes: Error "), 1) << observer_.text();
  EXPECT_EQ(CountLines("doc:LoadNodes(): Error "), 1);
  EXPECT_EQ(CountLines("Loaded 0 node(s) and 0 supervisory port(s)."), 1);
  EXPECT_EQ(CountLines("Loaded node associations for"), 0);
  EXPECT_TRUE(comm_.nodes.empty());
  EXPECT_TRUE(comm_.racks.empty());
  ASSERT_NE(doc.FindRackInfo(256), nullptr);
  EXPECT_EQ(doc.FindRackInfo(256)->NodeID, -1);

  Sql("DROP TABLE tblQXVZone;");
  Sql("INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackNumber) VALUES (10008, 800, 8);");
  Sql("INSERT INTO tblBvtZone (ZoneID, RoomNumber, PresetNumber) VALUES (800, 2, 6);");
  doc.LoadRack2Zone();
  EXPECT_EQ(CountLines("doc:LoadRack2Zone: Error "), 1);
  // The Brevant presets are read after the QXV read failed.
  EXPECT_EQ(doc.FindZoneStatus(800)->lastBvtPresets[1], 6);
}

TEST_F(DocSiteTest, ThePortSlotRuleLooksForTestInTheNodeTypeName) {
  struct Case {
    const char* name;
    int32_t port;
    int32_t slot;
  };
  const Case cases[] = {{"RackNode", 3, 4}, {"Bench Test rig", 3, 2}, {"Tester", 1, 0},
                        {"test", 3, 4},     {"", 0, 1},                {nullptr, 4, 5}};
  for (const Case& c : cases) EXPECT_EQ(NodePortSlot(c.name, c.port), c.slot) << (c.name ? c.name : "null");
}

TEST_F(DocTablesTest, ARefreshRequestReloadsByItsSubTypeAndEndsAtOnce) {
  AddRackPlant();
  CTKZDoc& doc = OpenDoc();
  struct Case {
    int32_t subType;
    std::vector<std::string> calls;
    size_t nodes;
    size_t racks;
    int16_t state;
    const char* text;
  };
  const Case cases[] = {
      {100, {"phase 3", "rack", "rack", "rack", "phase 10"}, 0, 3, REQUEST_STATE_SUCCEEDED,
       "TKZ resident rack tables refreshed"},
      {101, {}, 0, 0, REQUEST_STATE_SUCCEEDED, "TKZ resident schedule table refreshed"},
      {102, {}, 0, 0, REQUEST_STATE_SUCCEEDED, "Cleaner table refresh ignored (no longer needed)"},
      {103, {"phase 7", "node", "node", "rack", "rack", "rack", "phase 14"}, 2, 3, REQUEST_STATE_SUCCEEDED,
       "TKZ resident node tables refreshed"},
      {104, {"phase 7", "node", "node", "rack", "rack", "rack", "phase 14"}, 2, 3, REQUEST_STATE_SUCCEEDED,
       "TKZ resident node tables refreshed"},
      {105, {}, 0, 0, REQUEST_STATE_FAILED, "Error: Unknown resident table refresh, sub-type 105."},
  };
  for (const Case& c : cases) {
    comm_.calls.clear();
    comm_.nodes.clear();
    comm_.racks.clear();
    InProcRequest* r = doc.AddRequest();
    r->RequestType = 4;
    r->RequestSubType = c.subType;
    doc.RequestRow().RequestState = REQUEST_STATE_IN_PROCESS;
    doc.OnRefreshRequest(r);
    EXPECT_EQ(comm_.calls, c.calls) << c.subType;
    EXPECT_EQ(comm_.nodes.size(), c.nodes) << c.subType;
    EXPECT_EQ(comm_.racks.size(), c.racks) << c.subType;
    EXPECT_EQ(doc.RequestRow().RequestState, c.state) << c.subType;
    EXPECT_STREQ(doc.RequestRow().RequestDiagnostic, c.text);
    doc.FreeRequest(r);
  }
}

}  // namespace
