// Whole transfers through a rack model: what a download sets in the rack,
// what an upload brings back, how chunked transfers split, and where a
// failing exchange ends them.
#include <cstring>

#include "RackCommands.h"
#include "comm_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

sim::RackModel::Config Rack(uint16_t number, uint16_t type, uint16_t dims) {
  return sim::RackModel::Config{number, type, dims, 0, 0};
}

class CommTransfersTest : public CommFixture {
 protected:
  void SetUp() override {
    CommFixture::SetUp();
    for (int32_t r = 1; r <= 9; ++r) doc.rackTypes[10000 + r] = 0;
    doc.rackTypes[10002] = 2;
    doc.rackTypes[10003] = 1;
  }
  // The commands sent, by command number.
  std::vector<uint8_t> Numbers() const {
    std::vector<uint8_t> n;
    for (const auto& s : sent) n.push_back(s.bytes[0]);
    return n;
  }
  std::vector<std::pair<int, int>> Ranges(size_t firstAt) const {
    std::vector<std::pair<int, int>> r;
    for (const auto& s : sent) r.emplace_back(s.bytes[firstAt], s.bytes[firstAt + 1]);
    return r;
  }
};

std::vector<DimmerRecord> Dimmers(int n, uint8_t seed) {
  std::vector<DimmerRecord> rs;
  for (int d = 0; d < n; ++d) {
    DimmerRecord r = BlankDimmer();
    const uint8_t s = static_cast<uint8_t>(seed + d);
    r.DimNumber = static_cast<uint8_t>(d + 1);
    r.Response = s;
    r.MinLevel = static_cast<uint8_t>(s % 101);
    r.MaxVoltage = static_cast<uint8_t>(s + 1);
    r.Curve = static_cast<uint8_t>(s + 2);
    r.NonDimThreshold = static_cast<uint8_t>((s + 30) % 101);
    r.FluoTopset = static_cast<uint8_t>(s + 3);
    r.FluoCutoff = static_cast<uint8_t>(s + 4);
    r.MuxMode = static_cast<uint8_t>(s + 5);
    r.StatusReportingEnable = d % 2 ? 0xFF : 0;
    r.AnalogInEnable = d % 3 ? 0xFF : 0;
    r.AnalogIn = static_cast<uint8_t>(s + 6);
    r.PanicAction = d % 2 ? 0 : 0xFF;
    r.ManualLevelEnable = d % 2 ? 0xFF : 0;
    r.ManualLevel = static_cast<uint8_t>((s * 7) % 101);
    r.BvtRoom = static_cast<uint8_t>(1 + d % 16);
    r.BvtCh = static_cast<uint8_t>(1 + d % 15);
    r.CableResistance = 1000 + d;
    r.LoadPercentTol = static_cast<uint8_t>(d + 10);
    rs.push_back(r);
  }
  return rs;
}

Bytes Pack(const std::vector<DimmerRecord>& rs) {
  Bytes b(rs.size() * sizeof(DimmerRecord));
  for (size_t i = 0; i < rs.size(); ++i) StoreRecord(b, i, rs[i]);
  return b;
}

// A percent survives the trip to a level and back (straight-line table).
uint8_t Trip(uint8_t pct) { return theComm.ToPercent(theComm.ToLevel(pct)); }

TEST_F(CommTransfersTest, DimmerSetupDownloadThenUploadRoundTripsEveryItem) {
  for (uint16_t kind : {uint16_t{0}, uint16_t{2}}) {
    SCOPED_TRACE(kind);
    const uint32_t rackNo = kind == 2 ? 2 : 1;
    sim::RackModel rack(Rack(static_cast<uint16_t>(rackNo), kind, 24));
    const auto stored = Dimmers(24, 40);
    RackMsg* down = NewMsg(rackNo, 24);
    down->data = Pack(stored);
    RackMsg* done = RunToDocument(rack, down, [](RackMsg* m) { theComm.SetDimmerSetup(m); });
    ASSERT_EQ(done->Rcode, 0) << rack.last_reject();
    EXPECT_EQ(done->completion.Format(), "Dimmer configuration download complete.");
    // One command per item, then the Brevant patch, then the manual levels.
    const size_t items = kind == 2 ? 12 : 11;
    ASSERT_EQ(sent.size(), items + 2);
    EXPECT_EQ(sent[items].bytes[0], DIM_CMD_SET_BREVANT_PATCH);
    EXPECT_EQ(sent[items + 1].bytes[0], DIM_CMD_SET_DIMMER_MANUAL_LEVEL);
    EXPECT_EQ(rack.state().dimmers[3].setup[1], theComm.ToLevel(stored[3].MinLevel));
    EXPECT_EQ(rack.state().dimmers[3].bvtRoom, stored[3].BvtRoom - 1);
    EXPECT_EQ(rack.state().dimmers[1].setup[8], 1) << "flags go as 1";

    toDocument.clear();
    sent.clear();
    RackMsg* up = NewMsg(rackNo, 24, 2808);
    done = RunToDocument(rack, up, [](RackMsg* m) { theComm.GetDimmerSetup(m); });
    ASSERT_EQ(done->Rcode, 0) << rack.last_reject();
    EXPECT_EQ(done->completion.Format(), "Dimmer upload request complete.");
    for (int d = 0; d < 24; ++d) {
      const DimmerRecord got = LoadRecord<DimmerRecord>(up->data, static_cast<size_t>(d));
      const DimmerRecord& want = stored[static_cast<size_t>(d)];
      EXPECT_EQ(got.DimNumber, d + 1);
      EXPECT_EQ(got.Response, want.Response);
      EXPECT_EQ(got.MinLevel, Trip(want.MinLevel));
      EXPECT_EQ(got.NonDimThreshold, Trip(want.NonDimThreshold));
      EXPECT_EQ(got.MaxVoltage, want.MaxVoltage);
      EXPECT_EQ(got.Curve, want.Curve);
      EXPECT_EQ(got.FluoTopset, want.FluoTopset);
      EXPECT_EQ(got.FluoCutoff, want.FluoCutoff);
      EXPECT_EQ(got.MuxMode, want.MuxMode);
      EXPECT_EQ(got.StatusReportingEnable, want.StatusReportingEnable);
      EXPECT_EQ(got.AnalogInEnable, want.AnalogInEnable);
      EXPECT_EQ(got.AnalogIn, want.AnalogIn);
      EXPECT_EQ(got.PanicAction, kind == 2 ? want.PanicAction : 0) << "item 12 only on kind 2";
      EXPECT_EQ(got.BvtRoom, want.BvtRoom);
      EXPECT_EQ(got.BvtCh, want.BvtCh);
      EXPECT_EQ(got.ManualLevelEnable, want.ManualLevelEnable);
      EXPECT_EQ(got.ManualLevel, Trip(want.ManualLevel));
    }
    // 283 / 24 = 11 items per message: the whole list fits one query (or
    // two for kind 2's twelve), then 32 and 53.
    EXPECT_EQ(Numbers(), (kind == 2 ? Bytes{22, 22, 32, 53} : Bytes{22, 32, 53}));
    toDocument.clear();
    sent.clear();
  }
}

TEST_F(CommTransfersTest, DimmerSetupUploadOf96DimmersAsksTwoItemsPerMessage) {
  sim::RackModel rack(Rack(1, 0, 96));
  RackMsg* m = NewMsg(1, 96, 96 * 26);
  RunToDocument(rack, m, [](RackMsg* x) { theComm.GetDimmerSetup(x); });
  EXPECT_EQ(m->Rcode, 0);
  EXPECT_EQ(Numbers(), (Bytes{22, 22, 22, 22, 22, 22, 32, 53}));
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(sent[i].bytes[4], 2) << i;
  EXPECT_EQ(sent[5].bytes[4], 1) << "the eleventh item alone";
}

TEST_F(CommTransfersTest, MuxPatchGoesInChunksOf69AndRoundTrips) {
  const std::pair<int, std::vector<std::pair<int, int>>> cases[] = {
      {70, {{0, 68}, {69, 69}}}, {1, {{0, 0}}}, {69, {{0, 68}}}, {139, {{0, 68}, {69, 137}, {138, 138}}}};
  for (const auto& [n, ranges] : cases) {
    SCOPED_TRACE(n);
    sim::RackModel rack(Rack(1, 0, static_cast<uint16_t>(n)));
    RackMsg* down = NewMsg(1, n, 6 * static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
      StoreRecord(down->data, static_cast<size_t>(i),
                  MuxRecord{static_cast<uint8_t>(i + 1), 0, static_cast<int16_t>(i + 1), static_cast<int16_t>(512 + i)});
    RunToDocument(rack, down, [](RackMsg* m) { theComm.SetMuxPatch(m); });
    ASSERT_EQ(down->Rcode, 0) << rack.last_reject();
    EXPECT_EQ(down->completion.Format(), "Mux patch download complete.");
    EXPECT_EQ(Ranges(4), ranges);
    for (const auto& s : sent) EXPECT_EQ(s.bytes.size(), 4u * (s.bytes[5] - s.bytes[4] + 1) + 6);

    toDocument.clear();
    sent.clear();
    RackMsg* up = NewMsg(1, n, 6 * static_cast<size_t>(n));
    RunToDocument(rack, up, [](RackMsg* m) { theComm.GetMuxPatch(m); });
    ASSERT_EQ(up->Rcode, 0);
    EXPECT_EQ(up->completion.Format(), "Mux patch upload request complete.");
    EXPECT_EQ(Ranges(4), ranges);
    EXPECT_EQ(up->data, down->data);
    toDocument.clear();
    sent.clear();
  }
}

TEST_F(CommTransfersTest, RackSetupRoundTripsThroughTheMuxTypeTable) {
  for (uint16_t kind : {uint16_t{0}, uint16_t{2}}) {
    SCOPED_TRACE(kind);
    const uint32_t rackNo = kind == 2 ? 2 : 1;
    sim::RackModel rack(sim::RackModel::Config{static_cast<uint16_t>(rackNo), kind, 24, 3, 2});
    RackConfigRow row;
    std::memset(&row, 0, sizeof row);
    row.RackLanguage = 2, row.MuxFailHoldTime = 9999, row.MuxFailPreset = 5, row.BrevantPowerupPreset = 6;
    row.KeypadLockEnable = 1, row.FanSpeed = -1, row.MuxTypeA = 2, row.MuxTypeB = 3, row.MuxFailMode = 4;
    RackMsg* down = NewMsg(rackNo, 0, sizeof row);
    StoreRecord(down->data, 0, row);
    RunToDocument(rack, down, [](RackMsg* m) { theComm.SetRackSetup(m); });
    ASSERT_EQ(down->Rcode, 0) << rack.last_reject();
    EXPECT_EQ(rack.state().muxFailHoldTime, 9999);
    EXPECT_EQ(rack.state().fanSpeed, 1);
    if (kind == 0) {
      EXPECT_EQ(rack.state().muxProtocol[0], 8);
      EXPECT_EQ(rack.state().muxSpeed[0], 7);
      EXPECT_EQ(rack.state().muxProtocol[1], 2);
    }

    toDocument.clear();
    RackConfigRow blank;
    std::memset(&blank, 0, sizeof blank);
    blank.MuxTypeA = 77, blank.MuxTypeB = 78;  // as the database holds them
    RackMsg* up = NewMsg(rackNo, 0, sizeof blank);
    StoreRecord(up->data, 0, blank);
    if (kind == 0) rack.state().muxSpeed[1] = 200;  // protocol 2 ignores the speed
    RunToDocument(rack, up, [](RackMsg* m) { theComm.GetRackSetup(m); });
    ASSERT_EQ(up->Rcode, 0) << rack.last_reject();
    EXPECT_EQ(up->completion.Format(), "Rack upload request succeeded.");
    const RackConfigRow got = LoadRecord<RackConfigRow>(up->data, 0);
    EXPECT_EQ(got.RackLanguage, 2);
    EXPECT_EQ(got.MuxFailHoldTime, 9999);
    EXPECT_EQ(got.MuxFailPreset, 5);
    EXPECT_EQ(got.BrevantPowerupPreset, 6);
    EXPECT_EQ(got.KeypadLockEnable, 1);
    EXPECT_EQ(got.FanSpeed, -1);
    EXPECT_EQ(got.MuxFailMode, 4);
    EXPECT_EQ(got.MuxTypeA, kind == 0 ? 2 : 77);
    EXPECT_EQ(got.MuxTypeB, kind == 0 ? 3 : 78);
    EXPECT_EQ(got.RackType, kind);
    EXPECT_EQ(got.DigitalDimsFitted, 24);
    EXPECT_EQ(got.AnalogInputs, 3);
    EXPECT_EQ(got.AnalogOutputs, 2);
    toDocument.clear();
  }
}

TEST_F(CommTransfersTest, AnUnknownMuxPairLeavesTheStoredTypeAndIsLogged) {
  sim::RackModel rack(Rack(1, 0, 8));
  rack.state().muxProtocol[0] = 4, rack.state().muxSpeed[0] = 99;  // no such entry
  rack.state().muxProtocol[1] = 4, rack.state().muxSpeed[1] = 3;   // type 1
  RackConfigRow row;
  std::memset(&row, 0, sizeof row);
  row.MuxTypeA = 42, row.MuxTypeB = 43;
  RackMsg* m = NewMsg(1, 0, sizeof row);
  StoreRecord(m->data, 0, row);
  RunToDocument(rack, m, [](RackMsg* x) { theComm.GetRackSetup(x); });
  const RackConfigRow got = LoadRecord<RackConfigRow>(m->data, 0);
  EXPECT_EQ(got.MuxTypeA, 42);
  EXPECT_EQ(got.MuxTypeB, 1);
  EXPECT_TRUE(Logged("mux protocol 4 speed 99"));
}

TEST_F(CommTransfersTest, SingleItemsAndTablesRoundTrip) {
  sim::RackModel rack(Rack(4, 0, 20));
  rack.Vary(7);
  const sim::RackState before = rack.state();
  struct Case {
    const char* name;
    size_t bytes;
    int32_t count, index;
    void (CComm::*get)(RackMsg*);
    void (CComm::*set)(RackMsg*);
  };
  const Case cases[] = {
      {"circuit patch", 80, 20, 0, &CComm::GetCircuitPatch, &CComm::SetCircuitPatch},
      {"Brevant patch", 40, 20, 0, &CComm::GetBrevantPatch, &CComm::SetBrevantPatch},
      {"analog patch", 40, 20, 0, &CComm::GetAnalogPatch, &CComm::SetAnalogPatch},
      {"room links", 16, 0, 0, &CComm::GetRoomLinks, &CComm::SetRoomLinks},
      {"user curve 3", 400, 0, 3, &CComm::GetUserCurve, &CComm::SetUserCurve},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RackMsg* up = NewMsg(4, c.count, c.bytes, c.index);
    RunToDocument(rack, up, [&](RackMsg* m) { (theComm.*c.get)(m); });
    ASSERT_EQ(up->Rcode, 0) << rack.last_reject();
    toDocument.clear();
    // Send back what came up (to a fresh rack), then read it once more.
    sim::RackModel other(Rack(4, 0, 20));
    RackMsg* down = NewMsg(4, up->count, c.bytes, c.index);
    down->data = up->data;
    RunToDocument(other, down, [&](RackMsg* m) { (theComm.*c.set)(m); });
    ASSERT_EQ(down->Rcode, 0) << other.last_reject();
    toDocument.clear();
    RackMsg* again = NewMsg(4, c.count, c.bytes, c.index);
    RunToDocument(other, again, [&](RackMsg* m) { (theComm.*c.get)(m); });
    EXPECT_EQ(again->data, up->data);
    toDocument.clear();
  }
  EXPECT_EQ(rack.state().dimmers[5].circuit, before.dimmers[5].circuit);
}

TEST_F(CommTransfersTest, UploadsConvertFromTheRacksTerms) {
  sim::RackModel rack(Rack(4, 0, 3));
  auto& s = rack.state();
  s.dimmers[0].circuit = 0xFFFF;  // zero-extended, not -1
  s.dimmers[1].bvtRoom = 0xFF;    // unpatched: room 0
  s.dimmers[2].bvtRoom = 15, s.dimmers[2].bvtChannel = 14;
  s.dimmers[0].setup[9] = 1, s.dimmers[0].setup[10] = 7;
  RackMsg* c = NewMsg(4, 3, 12);
  RunToDocument(rack, c, [](RackMsg* m) { theComm.GetCircuitPatch(m); });
  EXPECT_EQ(Buf32(c->data, 0), 0xFFFFu);
  toDocument.clear();
  RackMsg* b = NewMsg(4, 3, 6);
  RunToDocument(rack, b, [](RackMsg* m) { theComm.GetBrevantPatch(m); });
  EXPECT_EQ(b->data, (Bytes{1, 1, 0, 1, 16, 15}));
  toDocument.clear();
  RackMsg* a = NewMsg(4, 3, 6);
  RunToDocument(rack, a, [](RackMsg* m) { theComm.GetAnalogPatch(m); });
  EXPECT_EQ(a->data[0], 7);
  EXPECT_EQ(a->data[1], 0xFF) << "a set flag comes back as the database's true";
  EXPECT_EQ(a->completion.Format(), "Analog patch retrieved from rack 4");
}

TEST_F(CommTransfersTest, QxvPresetLevelsForAllPresetsSend99CommandsAndKeepPresetZero) {
  sim::RackModel rack(Rack(1, 0, 4));
  rack.Vary(3);
  RackMsg* m = NewMsg(1, 4, 400, -1);
  for (auto& b : m->data) b = 77;
  RunToDocument(rack, m, [](RackMsg* x) { theComm.GetPreset(x); });
  ASSERT_EQ(m->Rcode, 0);
  ASSERT_EQ(sent.size(), 99u);
  for (size_t i = 0; i < 99; ++i) EXPECT_EQ(sent[i].bytes[2], i + 1);
  for (size_t d = 0; d < 4; ++d) {
    EXPECT_EQ(m->data[d * 100], 0) << "preset 0 stays 0";
    for (size_t p = 1; p < 100; ++p)
      ASSERT_EQ(m->data[d * 100 + p], theComm.ToPercent(rack.state().qxvLevels[p][d])) << d << " " << p;
  }
  EXPECT_TRUE(m->completion.empty());

  // And down again into a fresh rack: 99 commands, levels through the table.
  toDocument.clear();
  sent.clear();
  sim::RackModel other(Rack(1, 0, 4));
  RunToDocument(other, m, [](RackMsg* x) { theComm.SetPreset(x); });
  ASSERT_EQ(m->Rcode, 0);
  EXPECT_EQ(sent.size(), 99u);
  EXPECT_EQ(other.state().qxvLevels[37][2], theComm.ToLevel(m->data[2 * 100 + 37]));
  EXPECT_EQ(other.state().qxvLevels[0][2], 0);
}

TEST_F(CommTransfersTest, PresetTimesAndBrevantTimesSplitAsTheRackCanTake) {
  sim::RackModel rack(Rack(1, 0, 4));
  rack.Vary(11);
  RackMsg* q = NewMsg(1, 0, 200, -1);
  RunToDocument(rack, q, [](RackMsg* x) { theComm.GetPresetTime(x); });
  ASSERT_EQ(q->Rcode, 0);
  ASSERT_EQ(q->ReplySize(), 200u);
  EXPECT_EQ(q->Reply()[2 * 40] | (q->Reply()[2 * 40 + 1] << 8), rack.state().qxvTimes[40]);
  toDocument.clear();
  sent.clear();

  RackMsg* up = NewMsg(1, 160, 320);
  up->completion.Set(nullptr, -1);
  up->index = 1;
  RunToDocument(rack, up, [](RackMsg* x) { theComm.GetBrevantPresetTime(x); });
  ASSERT_EQ(up->Rcode, 0);
  EXPECT_EQ(Ranges(2), (std::vector<std::pair<int, int>>{{0, 13}, {14, 15}}));
  for (int room = 0; room < 16; ++room)
    for (int p = 0; p < 10; ++p)
      ASSERT_EQ(Buf16(up->data, 2 * static_cast<size_t>(room * 10 + p)), rack.state().bvtTimes[room][p]);
  toDocument.clear();
  sent.clear();

  sim::RackModel other(Rack(1, 0, 4));
  RunToDocument(other, up, [](RackMsg* x) { theComm.SetBrevantPresetTime(x); });
  ASSERT_EQ(up->Rcode, 0) << other.last_reject();
  EXPECT_EQ(Ranges(2), (std::vector<std::pair<int, int>>{{0, 12}, {13, 15}}));
  EXPECT_EQ(sent[0].bytes.size(), 266u);
  for (int room = 0; room < 16; ++room)
    for (int p = 0; p < 10; ++p) ASSERT_EQ(other.state().bvtTimes[room][p], rack.state().bvtTimes[room][p]);
}

TEST_F(CommTransfersTest, BrevantPresetKeepsTheRacksLevelWhere255Stands) {
  sim::RackModel rack(Rack(1, 0, 3));
  rack.state().bvtLevels[4][0] = 3;  // a level the percent table would turn into 4
  rack.state().bvtLevels[4][1] = 200;
  RackMsg* m = NewMsg(1, 3);
  m->data = {255, 50, 255};
  m->completion.Set(nullptr, 4);
  RunToDocument(rack, m, [](RackMsg* x) { theComm.SetBrevantPreset(x); });
  ASSERT_EQ(m->Rcode, 0);
  EXPECT_EQ(Numbers(), (Bytes{36, 37}));
  EXPECT_EQ(rack.state().bvtLevels[4][0], 3) << "kept exactly";
  EXPECT_EQ(rack.state().bvtLevels[4][1], 128);
  EXPECT_EQ(rack.state().bvtLevels[4][2], 0);
  EXPECT_EQ(m->data[0], theComm.ToPercent(3));
  toDocument.clear();
  sent.clear();

  // The document sends the same message again for the next preset, without
  // any 255: only command 37, the old marks are gone.
  m->data = {10, 20, 30};
  m->completion.Set(nullptr, 5);
  RunToDocument(rack, m, [](RackMsg* x) { theComm.SetBrevantPreset(x); });
  EXPECT_EQ(Numbers(), (Bytes{37}));
  EXPECT_EQ(rack.state().bvtLevels[5][0], theComm.ToLevel(10));

  toDocument.clear();
  RackMsg* g = NewMsg(1, 3);
  g->completion.Set(nullptr, 4);
  RunToDocument(rack, g, [](RackMsg* x) { theComm.GetBrevantPreset(x); });
  ASSERT_EQ(g->ReplySize(), 3u);
  EXPECT_EQ(g->Reply()[1], theComm.ToPercent(128));
}

TEST_F(CommTransfersTest, FaultConfigurationByRackKind) {
  for (uint16_t kind : {uint16_t{0}, uint16_t{1}}) {
    SCOPED_TRACE(kind);
    const uint32_t rackNo = kind == 1 ? 3 : 1;
    sim::RackModel rack(Rack(static_cast<uint16_t>(rackNo), kind, 10));
    auto stored = Dimmers(10, 5);
    stored[2].CableResistance = 0x1ABCD;  // the low 16 bits go
    RackMsg* down = NewMsg(rackNo, 10);
    down->data = Pack(stored);
    RunToDocument(rack, down, [](RackMsg* m) { theComm.SetDimFaultConfig(m); });
    ASSERT_EQ(down->Rcode, 0) << rack.last_reject();
    EXPECT_EQ(down->completion.Format(), "Dimmer fault configuration download complete.");
    EXPECT_EQ(sent.size(), kind == 1 ? 1u : 2u);
    EXPECT_EQ(rack.state().dimmers[2].cableResistance, 0xABCD);
    toDocument.clear();
    sent.clear();

    RackMsg* up = NewMsg(rackNo, 10, 2808);
    RunToDocument(rack, up, [](RackMsg* m) { theComm.GetDimFaultConfig(m); });
    ASSERT_EQ(up->Rcode, 0) << rack.last_reject();
    EXPECT_EQ(up->completion.Format(), "Dimmer fault upload request complete.");
    EXPECT_EQ(sent.size(), 1u);
    for (size_t d = 0; d < 10; ++d) {
      const DimmerRecord got = LoadRecord<DimmerRecord>(up->data, d);
      EXPECT_EQ(got.DimNumber, d + 1);
      EXPECT_EQ(got.CableResistance, d == 2 ? 0xABCD : stored[d].CableResistance);
      EXPECT_EQ(got.LoadPercentTol, kind == 1 ? 0 : stored[d].LoadPercentTol);
    }
    toDocument.clear();
    sent.clear();
  }
}

TEST_F(CommTransfersTest, RelayCycleCountsSplitByWhatEachDirectionCarries) {
  sim::RackModel rack(Rack(1, 0, 256));
  rack.Vary(5);
  RackMsg* get = NewMsg(1, 256, 1024, 0);
  RunToDocument(rack, get, [](RackMsg* m) { theComm.GetRelayCycleCounts(m); });
  ASSERT_EQ(get->Rcode, 0) << rack.last_reject();
  EXPECT_EQ(get->completion.Format(), "Get relay cycle count request complete.");
  EXPECT_EQ(Ranges(2), (std::vector<std::pair<int, int>>{{0, 138}, {139, 255}}));
  for (size_t d = 0; d < 256; ++d) ASSERT_EQ(Buf32(get->data, 4 * d), rack.state().dimmers[d].relayCycles);
  toDocument.clear();
  sent.clear();

  // A reset carries its counts in the command: 70 per command.
  RackMsg* reset = NewMsg(1, 200, 800, 10);
  RunToDocument(rack, reset, [](RackMsg* m) { theComm.ResetRelayCycleCounts(m); });
  ASSERT_EQ(reset->Rcode, 0) << rack.last_reject();
  EXPECT_EQ(Ranges(2), (std::vector<std::pair<int, int>>{{10, 79}, {80, 149}, {150, 209}}));
  for (const auto& s : sent) EXPECT_LE(s.bytes.size(), 290u);
  EXPECT_EQ(rack.state().dimmers[10].relayCycles, 0u);
  EXPECT_EQ(rack.state().dimmers[209].relayCycles, 0u);
  EXPECT_NE(rack.state().dimmers[210].relayCycles, 0u);
  EXPECT_EQ(reset->completion.Format(), "Relay cycle counts reset on rack 1.");
  toDocument.clear();
  sent.clear();

  // One relay: the one the index names, for both directions.
  rack.state().dimmers[4].relayCycles = 4242;
  RackMsg* one = NewMsg(1, 1, 4, 4);
  RunToDocument(rack, one, [](RackMsg* m) { theComm.GetRelayCycleCounts(m); });
  EXPECT_EQ(Buf32(one->data, 0), 4242u);
  toDocument.clear();
  one->data.assign(4, 0);
  RunToDocument(rack, one, [](RackMsg* m) { theComm.ResetRelayCycleCounts(m); });
  EXPECT_EQ(rack.state().dimmers[4].relayCycles, 0u);
  EXPECT_EQ(one->completion.Format(), "Relay cycle count reset for relay 5 on rack 1.");
}

TEST_F(CommTransfersTest, ManualLevelsPulseAndTexts) {
  sim::RackModel rack(Rack(1, 0, 4));
  RackMsg* pairs = NewMsg(1, 4);
  pairs->data = {1, 100, 0, 50, 0xFF, 20, 0, 0};
  RunToDocument(rack, pairs, [](RackMsg* m) { theComm.SetManualLevelPairs(m); });
  EXPECT_EQ(pairs->completion.Format(), "Set dimmer manual levels request complete.");
  EXPECT_EQ(rack.state().dimmers[2].manualEnable, 1);
  EXPECT_EQ(rack.state().dimmers[1].manualLevel, 128);
  toDocument.clear();

  RackMsg* get = NewMsg(1, 4, 4 * 26);
  RunToDocument(rack, get, [](RackMsg* m) { theComm.GetManualLevels(m); });
  EXPECT_EQ(get->completion.Format(), "Get dimmer manual levels request complete.");
  const DimmerRecord r2 = LoadRecord<DimmerRecord>(get->data, 2);
  EXPECT_EQ(r2.ManualLevelEnable, 0xFF);
  EXPECT_EQ(r2.ManualLevel, 20);
  toDocument.clear();
  sent.clear();

  RackMsg* pulse = NewMsg(1, 0, 0, 3);
  RunToDocument(rack, pulse, [](RackMsg* m) { theComm.PulseManualLevel(m); });
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bytes, (Bytes{54, 0, 3, 3, 1, 255}));
  EXPECT_EQ(sent[1].bytes, (Bytes{54, 0, 3, 3, 1, 0}));
  EXPECT_EQ(rack.state().dimmers[3].manualLevel, 0);
  toDocument.clear();
  sent.clear();

  // A failed first pulse sends no second command.
  rack.FailNext(IO_KRN_NO_RESPONSE);
  RackMsg* failed = NewMsg(1, 0, 0, 3);
  RunToDocument(rack, failed, [](RackMsg* m) { theComm.PulseManualLevel(m); });
  EXPECT_EQ(sent.size(), 1u);
  EXPECT_EQ(failed->Rcode, IO_KRN_NO_RESPONSE);
}

TEST_F(CommTransfersTest, LearnLoadsRunsItsCycleAndEndsWithTheLearntLoads) {
  const struct {
    int32_t index, kind, delay;
    Bytes command;
  } cases[] = {{-1, 0, 600, {55, 0, 0, 0}}, {-1, 2, 150, {55, 0, 0, 0}}, {12, 0, 150, {55, 0, 1, 0, 11}},
               {12, 2, 35, {55, 0, 1, 0, 11}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index * 10 + c.kind);
    sim::RackModel rack(Rack(1, 0, 16));
    for (auto& d : rack.state().dimmers) d.connectedLoad = 1500;
    RackMsg* m = NewMsg(1, 16, 0, c.index);
    RunToDocument(rack, m, [&](RackMsg* x) { theComm.LearnLoads(x, c.kind); });
    ASSERT_EQ(m->Rcode, 0) << rack.last_reject();
    EXPECT_EQ(learnPhases, (std::vector<int>{0, 1}));
    EXPECT_EQ(delays, (std::vector<int32_t>{c.delay}));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes, c.command);
    EXPECT_EQ(sent[1].bytes, (Bytes{24, 0, 0, 15, 1, 0, 0}));
    EXPECT_EQ(m->completion.Format(), "Learn loads request complete.");
    ASSERT_EQ(m->ReplySize(), 32u);
    const size_t d = c.index == -1 ? 0 : 11;
    EXPECT_EQ(m->Reply()[2 * d] | (m->Reply()[2 * d + 1] << 8), 1500);
    toDocument.clear();
    sent.clear();
    learnPhases.clear();
    delays.clear();
  }

  // Without the cycle: the other text.
  sim::RackModel rack(Rack(1, 0, 16));
  RackMsg* m = NewMsg(1, 16);
  RunToDocument(rack, m, [](RackMsg* x) { theComm.GetLearntLoads(x); });
  EXPECT_EQ(m->completion.Format(), "Get learnt loads request complete.");
}

TEST_F(CommTransfersTest, LearnLoadsThatFailsEndsTheLearningAndReadsNothing) {
  sim::RackModel rack(Rack(1, 0, 16));
  rack.FailNext(IO_KRN_NO_RESPONSE);
  RackMsg* m = NewMsg(1, 16, 0, -1);
  RunToDocument(rack, m, [](RackMsg* x) { theComm.LearnLoads(x, 0); });
  EXPECT_EQ(m->Rcode, IO_KRN_NO_RESPONSE);
  EXPECT_EQ(learnPhases, (std::vector<int>{0, 1})) << "polling comes back";
  EXPECT_TRUE(delays.empty());
  EXPECT_EQ(sent.size(), 1u);
  EXPECT_TRUE(m->completion.empty());
}

// A multi-step transfer stops at the first failing exchange; what earlier
// replies brought stays in the data buffer.
TEST_F(CommTransfersTest, ATransferStopsAtItsFirstFailingExchange) {
  struct Case {
    const char* name;
    int failAt;
    int32_t dims;
    size_t bytes;
    std::function<void(RackMsg*)> build;
  };
  const Case cases[] = {
      {"mux patch upload", 2, 140, 140 * 6, [](RackMsg* m) { theComm.GetMuxPatch(m); }},
      {"dimmer setup download, at the Brevant patch", 12, 20, 20 * 26, [](RackMsg* m) { theComm.SetDimmerSetup(m); }},
      {"dimmer setup upload, at the manual levels", 3, 20, 20 * 26, [](RackMsg* m) { theComm.GetDimmerSetup(m); }},
      {"QXV levels, third preset", 3, 4, 400, [](RackMsg* m) { m->index = -1, theComm.GetPreset(m); }},
      {"relay cycles, second chunk", 2, 200, 800, [](RackMsg* m) { theComm.GetRelayCycleCounts(m); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::RackModel rack(Rack(1, 0, 200));
    rack.Vary(9);
    rack.FailAt(c.failAt, IO_KRN_CRC_ERROR);
    RackMsg* m = NewMsg(1, c.dims, c.bytes);
    RunToDocument(rack, m, c.build);
    EXPECT_EQ(rack.exchanges(), static_cast<uint64_t>(c.failAt)) << "nothing sent after the failure";
    EXPECT_EQ(m->Rcode, IO_KRN_CRC_ERROR);
    EXPECT_TRUE(m->completion.empty()) << "a chained transfer's text does not survive a failure";
    toDocument.clear();
    sent.clear();
  }
  // The mux upload kept the first chunk.
  sim::RackModel rack(Rack(1, 0, 140));
  rack.Vary(9);
  rack.FailAt(2, IO_KRN_CRC_ERROR);
  RackMsg* m = NewMsg(1, 140, 140 * 6);
  RunToDocument(rack, m, [](RackMsg* x) { theComm.GetMuxPatch(x); });
  EXPECT_EQ(LoadRecord<MuxRecord>(m->data, 68).MuxACh, rack.state().dimmers[68].muxA);
  EXPECT_EQ(LoadRecord<MuxRecord>(m->data, 69).MuxACh, 0);
}

}  // namespace
