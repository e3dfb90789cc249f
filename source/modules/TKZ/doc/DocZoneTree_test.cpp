// The zone tree walk and the port message lists.
#include "DocTestSupport.h"
#include "RackMsg.h"

namespace {

class DocZoneTreeTest : public DocSiteTest {
 protected:
  // tblZoneTree rows: (zone, parent, word).
  void Tree(const std::string& values) {
    Sql("INSERT INTO tblZoneTree (ZoneID, ZoneParentID, ZoneType) VALUES " + values + ";");
  }
  RackList Racks(CTKZDoc& doc, int32_t zone) {
    RackList racks;
    doc.GetRackList(zone, racks);
    return racks;
  }
  int ErrorLines() const {
    int n = 0;
    for (const std::string& l : observer_.lines())
      if (l.find("Error") != std::string::npos) ++n;
    return n;
  }
};

TEST_F(DocSiteTest, TreeWordsAreComparedExactly) {
  struct Case {
    const char* word;
    int code;
  };
  const Case cases[] = {{"Racks", TREE_WORD_RACKS},          {"Rack", TREE_WORD_RACK},
                        {"TreeGroup", TREE_WORD_TREE_GROUP}, {"TreeEnd", TREE_WORD_TREE_END},
                        {"racks", TREE_WORD_OTHER},          {"Rack ", TREE_WORD_OTHER},
                        {"TreeEnds", TREE_WORD_OTHER},       {"", TREE_WORD_OTHER}};
  for (const Case& c : cases) EXPECT_EQ(CTKZDoc::ClassifyTreeWord(c.word), c.code) << c.word;
}

TEST_F(DocZoneTreeTest, ARacksOwnZoneIsThatRackWithoutReadingTheTree) {
  // Its tree row would say there is nothing below it: it is not read.
  Tree("(10007, 1, 'TreeEnd'), (10000, 0, 'TreeGroup'), (10257, 0, 'TreeGroup'),"
       "(10002, 10000, 'Rack'), (10003, 10257, 'Rack')");
  CTKZDoc& doc = OpenDoc();
  EXPECT_EQ(Racks(doc, 10007), (RackList{7}));
  EXPECT_EQ(Racks(doc, 10256), (RackList{256}));
  // 10000 and 10257 are no rack's zone: they are walked.
  EXPECT_EQ(Racks(doc, 10000), (RackList{2}));
  EXPECT_EQ(Racks(doc, 10257), (RackList{3}));

  // The list is appended to.
  RackList racks{9};
  doc.GetRackList(10001, racks);
  EXPECT_EQ(racks, (RackList{9, 1}));
}

TEST_F(DocZoneTreeTest, NestedGroupsAreWalkedDepthFirstInTreeOrder) {
  Tree(
      // Group 1: a rack, a group of racks, a leaf, a word the walk does not know, a group of zones.
      "(1, 0, 'TreeGroup'),"
      "(10003, 1, 'Rack'), (20, 1, 'Racks'), (30, 1, 'TreeEnd'), (40, 1, 'Floor'), (50, 1, 'TreeGroup'),"
      "(10005, 20, 'Rack'), (10006, 20, 'Rack'),"
      "(20, 0, 'Racks'), (30, 0, 'TreeEnd'), (50, 0, 'TreeGroup'),"
      "(10009, 30, 'Rack'), (10010, 40, 'Rack'),"
      // Group 50 holds group 60 (deeper still) and rack 5 again.
      "(60, 50, 'Racks'), (10005, 50, 'Rack'), (60, 0, 'Racks'), (10256, 60, 'Rack'),"
      // A leaf zone whose own row says so: nothing, whatever lies below it.
      "(70, 0, 'TreeEnd'), (10004, 70, 'Rack')");
  CTKZDoc& doc = OpenDoc();
  // Rack 5 is reached along two branches and listed twice.
  EXPECT_EQ(Racks(doc, 1), (RackList{3, 5, 6, 256, 5}));
  EXPECT_EQ(Racks(doc, 20), (RackList{5, 6}));
  EXPECT_TRUE(Racks(doc, 70).empty());
  EXPECT_TRUE(Racks(doc, 30).empty());
  EXPECT_EQ(ErrorLines(), 0) << observer_.text();
}

TEST_F(DocZoneTreeTest, AZoneWithoutARowGivesNothingAndLogsNothing) {
  Tree("(10001, 99, 'Rack')");  // children of a zone that has no row of its own
  CTKZDoc& doc = OpenDoc();
  const size_t before = observer_.lines().size();
  EXPECT_TRUE(Racks(doc, 99).empty());
  EXPECT_EQ(observer_.lines().size(), before) << observer_.text();
}

TEST_F(DocZoneTreeTest, BadTreesAreBoundedAndSayWhy) {
  Tree(
      // 7 and 8 hold each other.
      "(7, 0, 'TreeGroup'), (8, 7, 'Racks'), (7, 8, 'TreeGroup'), (10001, 8, 'Rack'),"
      // A rack word on a zone that is no rack's.
      "(9, 0, 'Racks'), (10300, 9, 'Rack'), (10000, 9, 'Rack'), (10002, 9, 'Rack')");
  // A chain of groups deeper than the walk goes: 100 -> 101 -> ... -> 150 -> rack 4.
  std::string chain = "(100, 0, 'TreeGroup')";
  for (int z = 101; z <= 150; ++z) chain += ", (" + std::to_string(z) + ", " + std::to_string(z - 1) + ", 'TreeGroup')";
  chain += ", (10004, 150, 'Rack')";
  Tree(chain);
  CTKZDoc& doc = OpenDoc();

  EXPECT_EQ(Racks(doc, 7), (RackList{1}));
  EXPECT_EQ(CountLines("Error: Zone 7 lies below itself in the zone tree; that branch is not walked."), 1);

  EXPECT_EQ(Racks(doc, 9), (RackList{2}));
  EXPECT_EQ(CountLines("Error: Rack zone 10300 below zone 9 is not a rack's zone (10001 to 10256), ignored."), 1);
  EXPECT_EQ(CountLines("Error: Rack zone 10000 below zone 9 is not a rack's zone (10001 to 10256), ignored."), 1);

  EXPECT_TRUE(Racks(doc, 100).empty());
  EXPECT_EQ(CountLines("Error: Zone 133 lies more than 32 levels deep in the zone tree; it is not walked."), 1)
      << observer_.text();
  // Below the limit the chain is walked.
  EXPECT_EQ(Racks(doc, 130), (RackList{4}));
}

TEST_F(DocZoneTreeTest, ADatabaseErrorEndsTheWalkWithWhatWasFound) {
  Tree("(1, 0, 'TreeGroup'), (10003, 1, 'Rack')");
  CTKZDoc& doc = OpenDoc();
  DocTestPeer::Db(doc).DeleteQueryDef("TKZqryChildren");
  EXPECT_TRUE(Racks(doc, 1).empty());
  EXPECT_EQ(CountLines("doc.cpp#5230: Error "), 1) << observer_.text();
}

// ---- port message lists ---------------------------------------------------------

struct PortOf {
  uint32_t node;
  int32_t slot;
  bool operator==(const PortOf&) const = default;
};

TEST_F(DocSiteTest, OneBroadcastMessagePerNodePortServingTheRacks) {
  CTKZDoc& doc = NewDoc();
  auto place = [&](int rack, int node, int slot) {
    RackInfo& r = DocTestPeer::AddRack(doc, rack);
    r.NodeID = node;
    r.portSlot = slot;
  };
  place(3, 2, 1);
  place(5, 2, 1);
  place(6, 4, 1);
  place(7, -1, 1);   // reached by no node
  place(256, 2, 3);  // same node, another port
  place(1, 4, 1);
  InProcRequest* request = doc.AddRequest();
  request->step = 6;

  RackMsg* list = doc.MakePortMsgList(request, RackList{3, 5, 6, 7, 9, 0, 300, 256, 1});
  std::vector<PortOf> ports;
  for (RackMsg* m = list; m != nullptr; m = m->link) {
    ports.push_back({m->nodeId, m->portSlot});
    EXPECT_EQ(m->Rack, kRackAll);
    EXPECT_EQ(m->ReqNum, request->ReqNum);
    EXPECT_EQ(m->target, 6);
  }
  EXPECT_EQ(ports, (std::vector<PortOf>{{2, 1}, {4, 1}, {2, 3}}));
  EXPECT_EQ(request->expected, 3);
  while (list != nullptr) {
    RackMsg* next = list->link;
    FreeRackMsg(list);
    list = next;
  }
  request->lastMsg = nullptr;

  // No rack reachable: no message, nothing expected.
  InProcRequest* none = doc.AddRequest();
  EXPECT_EQ(doc.MakePortMsgList(none, RackList{7, 9}), nullptr);
  EXPECT_EQ(doc.MakePortMsgList(none, RackList{}), nullptr);
  EXPECT_EQ(none->expected, 0);
}

}  // namespace
