// The preset, curve and room-link steps against rack models: the zone's
// preset tables set in the racks and retrieved from them, Brevant levels
// through the rack's patch, user curves, room links, relay cycle counts.
#include <cstring>

#include "RackConfigTestSupport.h"

namespace {

constexpr int kDims = 6;

int QxvLevel(int dimmer, int preset) { return (dimmer * 13 + preset) % 101; }      // dimmer 1-based
int BvtLevel(int preset, int room, int channel) { return (preset * 7 + room * 3 + channel) % 101; }

TEST_F(RackConfigTest, QxvPresetsGoToTheRacksAndComeBack) {
  for (int rack = 1; rack <= 2; ++rack) {
    AddRack(rack, kDims);
    SeedQxvLevels(rack, kDims);
  }
  SeedZoneTables();
  Dispatch(1, 0, 0, kZone, {"21"});
  Serve();
  ASSERT_EQ(State(1).substr(0, 2), "4|") << State(1);
  for (int rack = 1; rack <= 2; ++rack) {
    const sim::RackState& s = models[rack]->state();
    for (int p = 0; p < 100; ++p) ASSERT_EQ(s.qxvTimes[p], 2 * p + 1) << p;
    for (int p = 1; p < 100; ++p)
      for (int d = 0; d < kDims; ++d) ASSERT_EQ(s.qxvLevels[p][d], theComm.ToLevel(QxvLevel(d + 1, p))) << p << "/" << d;
  }

  sim::RackState& s = models[2]->state();
  s.qxvTimes[7] = 1234;
  s.qxvLevels[5][3] = theComm.ToLevel(66);
  Dispatch(2, 0, 1, kZone, {"21"});
  Serve();
  EXPECT_EQ(State(2).substr(0, 2), "4|") << State(2);
  EXPECT_EQ(One("SELECT PresetTime FROM tblQXVPreset WHERE ZoneID = 500 AND PresetNumber = 7"), "1234");
  EXPECT_EQ(One("SELECT PresetTime FROM tblQXVPreset WHERE ZoneID = 500 AND PresetNumber = 8"), "17");
  EXPECT_EQ(One("SELECT DimLevel FROM tblQXVPresetLevel WHERE DimID = 2004 AND PresetNumber = 5"), "66");
  EXPECT_EQ(One("SELECT DimLevel FROM tblQXVPresetLevel WHERE DimID = 1004 AND PresetNumber = 5"),
            std::to_string(QxvLevel(4, 5)));
  // Preset 0 is never read from a rack: its levels stay.
  EXPECT_EQ(One("SELECT DimLevel FROM tblQXVPresetLevel WHERE DimID = 2001 AND PresetNumber = 0"),
            std::to_string(QxvLevel(1, 0)));
}

TEST_F(RackConfigTest, OneQxvPresetMovesOnlyThatPreset) {
  AddRack(1, kDims);
  SeedQxvLevels(1, kDims);
  SeedZoneTables();
  InProcRequest* r = doc->AddRequest();
  r->RID = 9;
  r->RequestType = 1;  // a QXV preset request
  doc->SendQXVLevels({1}, r, 12);
  doc->SendQXVFadeTimes({1}, r, 12);
  doc->RequestSent(r);
  Serve();
  const sim::RackState& s = models[1]->state();
  EXPECT_EQ(s.qxvTimes[12], 25);
  EXPECT_EQ(s.qxvTimes[11], 0);
  EXPECT_EQ(s.qxvLevels[12][2], theComm.ToLevel(QxvLevel(3, 12)));
  EXPECT_EQ(s.qxvLevels[11][2], 0);
  EXPECT_EQ(doc->RequestCount(), 0u);
}

TEST_F(RackConfigTest, BrevantLevelsForEveryPresetGoThroughThePatchOnePresetAtATime) {
  for (int rack = 1; rack <= 2; ++rack) AddRack(rack, kDims);
  SeedZoneTables();
  const uint32_t reqNum = Dispatch(1, 0, 0, kZone, {"9"});
  EXPECT_EQ(doc->FindRequest(reqNum)->expected, 2);
  Serve();
  ASSERT_EQ(State(1).substr(0, 2), "4|") << State(1);
  EXPECT_EQ(SentCount(37), 2u * 8u);
  for (int rack = 1; rack <= 2; ++rack)
    for (int p = 1; p <= 8; ++p)
      for (int d = 0; d < kDims; ++d)
        ASSERT_EQ(models[rack]->state().bvtLevels[p][d], theComm.ToLevel(BvtLevel(p, d / 3 + 1, d % 3 + 1)))
            << rack << "/" << p << "/" << d;
  EXPECT_EQ(models[1]->state().bvtLevels[9][0], 0);

  // Upload: what the racks hold becomes the channel levels of their patch.
  models[2]->state().bvtLevels[4][4] = theComm.ToLevel(61);  // dimmer 5: room 2, channel 2
  Dispatch(2, 0, 1, kZone, {"9"});
  Serve();
  EXPECT_EQ(State(2).substr(0, 2), "4|") << State(2);
  EXPECT_EQ(SentCount(36), 2u * 8u);
  EXPECT_EQ(One("SELECT ChLevel FROM tblBvtPresetLevel WHERE ZoneID = 500 AND PresetNumber = 4 AND RoomNumber = 2"
                " AND Channel = 2"),
            "61");
  EXPECT_EQ(One("SELECT ChLevel FROM tblBvtPresetLevel WHERE ZoneID = 500 AND PresetNumber = 4 AND RoomNumber = 2"
                " AND Channel = 3"),
            std::to_string(BvtLevel(4, 2, 3)));
}

TEST_F(RackConfigTest, BrevantLevelsOfEveryPresetStillGoToARackThatAnswersWhenAnotherFails) {
  for (int rack = 1; rack <= 2; ++rack) AddRack(rack, kDims);
  SeedZoneTables();
  failing = {{2u, RC_RACK_OFFLINE}};
  auto sentToRack1 = [this](uint16_t command) {
    return std::count_if(sent.begin(), sent.end(),
                         [command](const SentToRack& s) { return s.rack == 1 && s.command == command; });
  };

  Dispatch(1, 0, 0, kZone, {"9"});
  Serve();
  EXPECT_EQ(State(1), std::string("5|") + RcodeText(RC_RACK_OFFLINE));
  EXPECT_EQ(sentToRack1(37), 8);
  for (int p = 1; p <= 8; ++p)
    EXPECT_EQ(models[1]->state().bvtLevels[p][0], theComm.ToLevel(BvtLevel(p, 1, 1))) << p;

  // Upload: the last preset of the rack that answers is written back.
  models[1]->state().bvtLevels[8][0] = theComm.ToLevel(55);  // dimmer 1: room 1, channel 1
  Dispatch(2, 0, 1, kZone, {"9"});
  Serve();
  EXPECT_EQ(State(2), std::string("5|") + RcodeText(RC_RACK_OFFLINE));
  EXPECT_EQ(sentToRack1(36), 8);
  EXPECT_EQ(One("SELECT ChLevel FROM tblBvtPresetLevel WHERE ZoneID = 500 AND PresetNumber = 8 AND RoomNumber = 1"
                " AND Channel = 1"),
            "55");
  EXPECT_EQ(doc->RequestCount(), 0u);
  EXPECT_EQ(unknown, 0);
}

TEST_F(RackConfigTest, BrevantLevelsOfOneRoomKeepTheOtherRoomsDimmers) {
  AddRack(1, kDims);
  SeedZoneTables();
  for (int d = 0; d < kDims; ++d) models[1]->state().bvtLevels[3][d] = 77;
  InProcRequest* r = doc->AddRequest();
  r->RID = 9;
  r->RequestType = 2;  // a Brevant preset request
  doc->SendBrevantLevels({1}, r, 3, 1);
  doc->RequestSent(r);
  Serve();
  EXPECT_EQ(doc->RequestCount(), 0u);
  const sim::RackState& s = models[1]->state();
  for (int d = 0; d < 3; ++d) EXPECT_EQ(s.bvtLevels[3][d], theComm.ToLevel(BvtLevel(3, 1, d + 1))) << d;
  for (int d = 3; d < kDims; ++d) EXPECT_EQ(s.bvtLevels[3][d], 77) << d;
  EXPECT_EQ(SentCount(37), 1u);
}

TEST_F(RackConfigTest, BrevantFadeTimesOfEveryRoomAndPreset) {
  AddRack(1, kDims);
  SeedZoneTables();
  Dispatch(1, 0, 0, kZone, {"8"});
  Serve();
  ASSERT_EQ(State(1).substr(0, 2), "4|") << State(1);
  for (int room = 0; room < 16; ++room)
    for (int p = 0; p < 10; ++p) ASSERT_EQ(models[1]->state().bvtTimes[room][p], (room + 1) * 10 + p);
  models[1]->state().bvtTimes[15][9] = 4321;
  Dispatch(2, 0, 1, kZone, {"8"});
  Serve();
  EXPECT_EQ(State(2).substr(0, 2), "4|") << State(2);
  EXPECT_EQ(One("SELECT PresetTime FROM tblBvtPreset WHERE ZoneID = 500 AND RoomNumber = 16 AND PresetNumber = 9"),
            "4321");
  EXPECT_EQ(One("SELECT PresetTime FROM tblBvtPreset WHERE ZoneID = 500 AND RoomNumber = 16 AND PresetNumber = 8"),
            "168");
}

TEST_F(RackConfigTest, UserCurvesGoOnePerRackAndCurve) {
  for (int rack = 1; rack <= 2; ++rack) AddRack(rack, kDims);
  Dispatch(1, 0, 0, kZone, {"10"});
  EXPECT_EQ(posted.size(), 10u);
  Serve();
  ASSERT_EQ(State(1).substr(0, 2), "4|") << State(1);
  // Curve index 0 is the database's curve 1: inputs 0, 50, 100, then outputs.
  const sim::UserCurve& c = models[2]->state().curves[0];
  ASSERT_EQ(c.points, 3);
  const uint8_t expected[] = {0, 0, 50, 0, 100, 0, 0, 0, 80, 0, 100, 0};
  EXPECT_EQ(std::memcmp(c.data, expected, sizeof expected), 0);

  // An upload that returns fewer points leaves only those.
  sim::UserCurve& back = models[2]->state().curves[0];
  back.points = 1;
  const uint8_t one[] = {30, 0, 40, 0};
  std::memcpy(back.data, one, sizeof one);
  Dispatch(2, 0, 1, kZone, {"10"});
  Serve();
  EXPECT_EQ(State(2).substr(0, 2), "4|") << State(2);
  EXPECT_EQ(Rows("SELECT InputLevel, OutputLevel FROM tblRackUserCurvePoint WHERE ZoneID = 10002 AND UserCurve = 1"),
            (std::vector<std::string>{"30|40"}));
  EXPECT_EQ(One("SELECT count(*) FROM tblRackUserCurvePoint WHERE ZoneID = 10001 AND UserCurve = 1"), "3");
}

TEST_F(RackConfigTest, RoomLinkRequestSetsEveryRackAndAsksOneRack) {
  for (int rack = 1; rack <= 3; ++rack) AddRack(rack, kDims);
  SeedZoneTables();
  Dispatch(1, 12, 0, kZone, {});
  Serve();
  EXPECT_EQ(State(1), "4|Complete.");
  for (int rack = 1; rack <= 3; ++rack) EXPECT_EQ(models[rack]->state().roomLinks[2], 0) << rack;
  for (int rack = 1; rack <= 3; ++rack) EXPECT_EQ(models[rack]->state().roomLinks[3], 1) << rack;

  for (int rack = 1; rack <= 3; ++rack) models[rack]->state().roomLinks[5] = static_cast<uint8_t>(10 + rack);
  sent.clear();
  Dispatch(2, 12, 1, kZone, {});  // no rack is up: the last is asked
  Serve();
  EXPECT_EQ(State(2), "4|Complete.");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].rack, 3u);
  EXPECT_EQ(One("SELECT RoomLink FROM tblBvtRoomLink WHERE ZoneID = 500 AND RoomNumber = 6"), "13");

  sent.clear();
  DocTestPeer::AddRack(*doc, 2).flags |= RACK_INFO_UP;
  Dispatch(3, 12, 1, kZone, {});
  Serve();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].rack, 2u);
  EXPECT_EQ(One("SELECT RoomLink FROM tblBvtRoomLink WHERE ZoneID = 500 AND RoomNumber = 6"), "12");

  Dispatch(4, 12, 3, kZone, {});
  EXPECT_EQ(State(4), "5|Invalid Request subtype 3");
}

TEST_F(RackConfigTest, RelayCycleCountsThatDifferAreWritten) {
  AddRack(1, kDims);
  Sql("INSERT INTO tblTKZRequest (RID, RequestState, RequestType) VALUES (9, 3, 9);");
  auto store = [this](int32_t index, std::vector<uint32_t> counts, uint16_t rcode) {
    InProcRequest* r = doc->AddRequest();
    r->RID = 9;
    r->RequestType = 9;
    r->flags |= REQ_FLAG_SENT;
    RackMsg* m = doc->NewRackMsg(r);
    m->Rack = 1;
    m->index = index;
    m->count = static_cast<int32_t>(counts.size());
    m->Rcode = rcode;
    for (uint32_t c : counts)
      for (int b = 0; b < 4; ++b) m->data.push_back(static_cast<uint8_t>(c >> (8 * b)));
    r->received = 1;
    r->Rcode = rcode;
    const uint32_t reqNum = r->ReqNum;
    doc->StoreRelayCycles(m, r);
    EXPECT_EQ(doc->FindRequest(reqNum), nullptr) << "completed";
  };
  store(0, {5, 6, 7, 8, 9, 100000}, RC_OK);
  EXPECT_EQ(Rows("SELECT relaycycles FROM tblDimConfig WHERE ZoneID = 10001 ORDER BY DimNumber"),
            (std::vector<std::string>{"5", "6", "7", "8", "9", "100000"}));
  store(2, {70}, RC_OK);
  EXPECT_EQ(One("SELECT relaycycles FROM tblDimConfig WHERE DimID = 1003"), "70");
  store(0, {1, 1, 1, 1, 1, 1}, RC_RACK_OFFLINE);
  EXPECT_EQ(One("SELECT relaycycles FROM tblDimConfig WHERE DimID = 1001"), "5");
  EXPECT_EQ(State(9), std::string("5|") + RcodeText(RC_RACK_OFFLINE));
}

}  // namespace
