// The first command each builder sends, byte for byte, written from the
// rack command layouts (little-endian; dimmers, rooms, channels 0-based;
// levels 0-255 through the straight-line level table: 50 % = 128,
// 20 % = 51, 100 % = 255).
#include <cstring>

#include "App.h"
#include "RackCommands.h"
#include "comm_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct GoldenCase {
  const char* name;
  std::function<void(RackMsg*)> fill;   // the document's part
  std::function<void(RackMsg*)> build;  // the builder
  Bytes expected;
  uint32_t postedAs = WM_IPC_SEND_MSG;
};

void PutDimmers(RackMsg* m, const std::vector<DimmerRecord>& rs) {
  m->count = static_cast<int32_t>(rs.size());
  m->data.assign(rs.size() * sizeof(DimmerRecord), 0);
  for (size_t i = 0; i < rs.size(); ++i) StoreRecord(m->data, i, rs[i]);
}

RackConfigRow ConfigRow() {
  RackConfigRow row;
  std::memset(&row, 0, sizeof row);
  row.RackLanguage = 2;
  row.MuxFailHoldTime = 300;
  row.MuxFailPreset = 5;
  row.BrevantPowerupPreset = 6;
  row.KeypadLockEnable = 1;
  row.FanSpeed = -1;
  row.MuxTypeA = 1;
  row.MuxTypeB = 2;
  row.MuxFailMode = 9;
  return row;
}

void PutRow(RackMsg* m, const RackConfigRow& row) {
  m->data.assign(sizeof row, 0);
  StoreRecord(m->data, 0, row);
}

Bytes Seq(uint8_t from, size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
  return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class CommBuildersTest : public CommFixture {
 protected:
  void SetUp() override {
    CommFixture::SetUp();
    doc.rackTypes[10003] = 0;
    doc.rackTypes[10004] = 2;
    doc.rackTypes[10005] = 1;
  }
};

TEST_F(CommBuildersTest, EveryBuilderSendsItsLayout) {
  DimmerRecord a = BlankDimmer(), b = BlankDimmer();
  a.Response = 11, b.Response = 22;
  a.ManualLevelEnable = 0xFF, a.ManualLevel = 50;
  b.ManualLevelEnable = 0, b.ManualLevel = 100;
  a.CableResistance = 0x12345, b.CableResistance = 7;

  const std::vector<GoldenCase> cases = {
      {"preset on", nullptr, [](RackMsg* m) { theComm.PresetOn(m, 7); }, {1, 0, 7}},
      {"record preset", nullptr, [](RackMsg* m) { theComm.RecordPreset(m, 99); }, {3, 0, 99}},
      {"Brevant preset on, all rooms", nullptr, [](RackMsg* m) { theComm.BrevantPresetOn(m, 4, -1); },
       {34, 0, 0, 15, 4}},
      {"Brevant preset on, room 3", nullptr, [](RackMsg* m) { theComm.BrevantPresetOn(m, 4, 3); },
       {34, 0, 2, 2, 4}},
      {"record Brevant preset, room 16", nullptr,
       [](RackMsg* m) { theComm.RecordBrevantPreset(m, 2, 16); }, {35, 0, 15, 15, 2}},
      {"get preset times, all", [](RackMsg* m) { m->index = -1; },
       [](RackMsg* m) { theComm.GetPresetTime(m); }, {4, 0, 0, 99}},
      {"get preset time, one", [](RackMsg* m) { m->index = 12; },
       [](RackMsg* m) { theComm.GetPresetTime(m); }, {4, 0, 12, 12}},
      {"set preset time, one",
       [](RackMsg* m) { m->index = 12, m->data = {0x34, 0x12}; },
       [](RackMsg* m) { theComm.SetPresetTime(m); }, {5, 0, 12, 12, 0x34, 0x12}},
      {"get preset levels, one", [](RackMsg* m) { m->index = 5, m->count = 3, m->data.assign(3, 0); },
       [](RackMsg* m) { theComm.GetPreset(m); }, {6, 0, 5, 0, 2}},
      {"set preset levels, one", [](RackMsg* m) { m->index = 5, m->count = 3, m->data = {0, 50, 100}; },
       [](RackMsg* m) { theComm.SetPreset(m); }, {7, 0, 5, 0, 2, 0, 128, 255}},
      {"set preset levels, all: preset 1 first",
       [](RackMsg* m) {
         m->index = -1, m->count = 2, m->data.assign(200, 0);
         m->data[1] = 20, m->data[101] = 100;
       },
       [](RackMsg* m) { theComm.SetPreset(m); }, {7, 0, 1, 0, 1, 51, 255}},
      {"get circuit patch", [](RackMsg* m) { m->count = 3, m->data.assign(12, 0); },
       [](RackMsg* m) { theComm.GetCircuitPatch(m); }, {18, 0, 0, 2}},
      {"set circuit patch: low 16 bits",
       [](RackMsg* m) { m->count = 2, m->data = {0x03, 0x02, 0x01, 0x00, 7, 0, 0, 0}; },
       [](RackMsg* m) { theComm.SetCircuitPatch(m); }, {19, 0, 0, 1, 0x03, 0x02, 7, 0}},
      {"get mux patch", [](RackMsg* m) { m->count = 2, m->data.assign(12, 0); },
       [](RackMsg* m) { theComm.GetMuxPatch(m); }, {20, 0, 0, 1, 0, 1}},
      {"set mux patch: A channels then B channels",
       [](RackMsg* m) {
         m->count = 2, m->data.assign(12, 0);
         StoreRecord(m->data, 0, MuxRecord{1, 0, 10, 20});
         StoreRecord(m->data, 1, MuxRecord{2, 0, 300, 400});
       },
       [](RackMsg* m) { theComm.SetMuxPatch(m); }, {21, 0, 0, 1, 0, 1, 10, 0, 44, 1, 20, 0, 144, 1}},
      {"get dimmer setup, 96 dimmers: two items", [](RackMsg* m) { m->count = 96, m->data.assign(96 * 26, 0); },
       [](RackMsg* m) { theComm.GetDimmerSetup(m); }, {22, 0, 0, 95, 2, 0, 0, 1}},
      {"set dimmer setup: item 0 first", [&](RackMsg* m) { PutDimmers(m, {a, b}); },
       [](RackMsg* m) { theComm.SetDimmerSetup(m); }, {23, 0, 0, 1, 1, 0, 0, 11, 22}},
      {"get analog patch", [](RackMsg* m) { m->count = 2, m->data.assign(4, 0); },
       [](RackMsg* m) { theComm.GetAnalogPatch(m); }, {22, 0, 0, 1, 2, 0, 9, 10}},
      {"set analog patch: enables, then inputs",
       [](RackMsg* m) { m->count = 2, m->data = {3, 0xFF, 4, 0}; },
       [](RackMsg* m) { theComm.SetAnalogPatch(m); }, {23, 0, 0, 1, 2, 0, 9, 10, 1, 0, 3, 4}},
      {"set rack setup, kind 0: nine items", [](RackMsg* m) { PutRow(m, ConfigRow()); },
       [](RackMsg* m) { theComm.SetRackSetup(m); },
       {26, 0, 9, 0, 0, 1, 2, 3, 4, 5, 6, 7, 10, 2, 44, 1, 5, 6, 1, 1, 4, 8, 3, 7, 9}},
      {"set rack setup, kind 2: seven items", [](RackMsg* m) { m->Rack = 4, PutRow(m, ConfigRow()); },
       [](RackMsg* m) { theComm.SetRackSetup(m); },
       {26, 0, 7, 0, 0, 1, 2, 3, 4, 5, 10, 2, 44, 1, 5, 6, 1, 1, 9}},
      {"get rack setup, kind 0", [](RackMsg* m) { PutRow(m, ConfigRow()); },
       [](RackMsg* m) { theComm.GetRackSetup(m); }, {25, 0, 9, 0, 0, 1, 2, 3, 4, 5, 6, 7, 10}},
      {"get rack setup, kind 2", [](RackMsg* m) { m->Rack = 4, PutRow(m, ConfigRow()); },
       [](RackMsg* m) { theComm.GetRackSetup(m); }, {25, 0, 7, 0, 0, 1, 2, 3, 4, 5, 10}},
      {"set module map: low byte of 48 entries",
       [](RackMsg* m) {
         m->data.assign(96, 0);
         for (size_t i = 0; i < 48; ++i) m->data[2 * i] = static_cast<uint8_t>(i), m->data[2 * i + 1] = 1;
       },
       [](RackMsg* m) { theComm.SetModuleMap(m); }, Cat({26, 0, 1, 0, 8}, Seq(0, 48))},
      {"get module map", nullptr, [](RackMsg* m) { theComm.GetModuleMap(m); }, {25, 0, 1, 0, 8}},
      {"set room links", [](RackMsg* m) { m->data = Seq(1, 16); },
       [](RackMsg* m) { theComm.SetRoomLinks(m); }, Cat({26, 0, 1, 0, 9}, Seq(1, 16))},
      {"get room links", [](RackMsg* m) { m->data.assign(16, 0); },
       [](RackMsg* m) { theComm.GetRoomLinks(m); }, {25, 0, 1, 0, 9}},
      {"set user curve", [](RackMsg* m) { m->index = 2, m->count = 2, m->data = Seq(1, 8); },
       [](RackMsg* m) { theComm.SetUserCurve(m); }, Cat({31, 0, 2, 2}, Seq(1, 8))},
      {"get user curve", [](RackMsg* m) { m->index = 2, m->data.assign(400, 0); },
       [](RackMsg* m) { theComm.GetUserCurve(m); }, {30, 0, 2}},
      {"get Brevant patch", [](RackMsg* m) { m->count = 2, m->data.assign(4, 0); },
       [](RackMsg* m) { theComm.GetBrevantPatch(m); }, {32, 0, 0, 1}},
      {"set Brevant patch: rooms, then channels, 0-based",
       [](RackMsg* m) { m->count = 2, m->data = {1, 1, 16, 15}; },
       [](RackMsg* m) { theComm.SetBrevantPatch(m); }, {33, 0, 0, 1, 0, 15, 0, 14}},
      {"get Brevant preset", [](RackMsg* m) { m->count = 4, m->completion.Set(nullptr, 3); },
       [](RackMsg* m) { theComm.GetBrevantPreset(m); }, {36, 0, 3, 0, 3}},
      {"set Brevant preset without 255: only 37",
       [](RackMsg* m) { m->count = 2, m->data = {0, 100}, m->completion.Set(nullptr, 3); },
       [](RackMsg* m) { theComm.SetBrevantPreset(m); }, {37, 0, 3, 0, 1, 0, 255}},
      {"set Brevant preset with 255: reads the rack first",
       [](RackMsg* m) { m->count = 2, m->data = {255, 100}, m->completion.Set(nullptr, 3); },
       [](RackMsg* m) { theComm.SetBrevantPreset(m); }, {36, 0, 3, 0, 1}},
      {"get Brevant preset times, all: rooms 0-13",
       [](RackMsg* m) { m->count = 160, m->data.assign(320, 0), m->completion.Set(nullptr, -1); },
       [](RackMsg* m) { theComm.GetBrevantPresetTime(m); }, {38, 0, 0, 13, 0, 9}},
      {"get Brevant preset times, room 5 presets 2-4",
       [](RackMsg* m) { m->index = 5, m->count = 3, m->data.assign(6, 0), m->completion.Set(nullptr, 2); },
       [](RackMsg* m) { theComm.GetBrevantPresetTime(m); }, {38, 0, 4, 4, 2, 4}},
      {"set Brevant preset time, room 1 preset 9",
       [](RackMsg* m) { m->index = 1, m->count = 1, m->data = {0x10, 0x27}, m->completion.Set(nullptr, 9); },
       [](RackMsg* m) { theComm.SetBrevantPresetTime(m); }, {39, 0, 0, 0, 9, 9, 0x10, 0x27}},
      {"get fault configuration, kind 0: u16 codes 0 and 1", [](RackMsg* m) { m->count = 2, m->data.assign(52, 0); },
       [](RackMsg* m) { theComm.GetDimFaultConfig(m); }, {51, 0, 0, 1, 2, 0, 0, 0, 1, 0}},
      {"get fault configuration, kind 1: code 0 only",
       [](RackMsg* m) { m->Rack = 5, m->count = 2, m->data.assign(52, 0); },
       [](RackMsg* m) { theComm.GetDimFaultConfig(m); }, {51, 0, 0, 1, 1, 0, 0, 0}},
      {"set fault configuration: cable resistance, low 16 bits", [&](RackMsg* m) { PutDimmers(m, {a, b}); },
       [](RackMsg* m) { theComm.SetDimFaultConfig(m); }, {52, 0, 0, 1, 1, 0, 0, 0, 0x45, 0x23, 7, 0}},
      {"get relay cycle count of relay 5", [](RackMsg* m) { m->index = 4, m->count = 1, m->data.assign(4, 0); },
       [](RackMsg* m) { theComm.GetRelayCycleCounts(m); }, {51, 0, 4, 4, 1, 0, 2, 0}},
      {"reset relay cycle counts", [](RackMsg* m) { m->index = 0, m->count = 2, m->data.assign(8, 0); },
       [](RackMsg* m) { theComm.ResetRelayCycleCounts(m); }, {52, 0, 0, 1, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"get manual levels", [](RackMsg* m) { m->count = 2, m->data.assign(52, 0); },
       [](RackMsg* m) { theComm.GetManualLevels(m); }, {53, 0, 0, 1}},
      {"set manual levels from dimmer records", [&](RackMsg* m) { PutDimmers(m, {a, b}); },
       [](RackMsg* m) { theComm.SetManualLevels(m); }, {54, 0, 0, 1, 1, 0, 128, 255}},
      {"set manual level pairs", [](RackMsg* m) { m->count = 2, m->data = {1, 0, 0, 20}; },
       [](RackMsg* m) { theComm.SetManualLevelPairs(m); }, {54, 0, 0, 1, 1, 0, 0, 51}},
      {"pulse manual level: full first", [](RackMsg* m) { m->index = 7; },
       [](RackMsg* m) { theComm.PulseManualLevel(m); }, {54, 0, 7, 7, 1, 255}},
      {"learn loads, all dimmers", [](RackMsg* m) { m->index = -1; },
       [](RackMsg* m) { theComm.LearnLoads(m, 0); }, {55, 0, 0, 0}, WM_IPC_LOAD_LEARN},
      {"learn loads, dimmer 12", [](RackMsg* m) { m->index = 12; },
       [](RackMsg* m) { theComm.LearnLoads(m, 2); }, {55, 0, 1, 0, 11}, WM_IPC_LOAD_LEARN},
      {"get learnt loads", [](RackMsg* m) { m->count = 3; },
       [](RackMsg* m) { theComm.GetLearntLoads(m); }, {24, 0, 0, 2, 1, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RackMsg* m = NewMsg(3);
    if (c.fill) c.fill(m);
    c.build(m);
    ASSERT_EQ(posted.size(), 1u) << (toDocument.empty() ? "" : "refused");
    EXPECT_EQ(posted.back().id, c.postedAs);
    EXPECT_EQ(LastCommand(), c.expected);
    EXPECT_TRUE(toDocument.empty());
    posted.clear();
  }
}

TEST_F(CommBuildersTest, WholeTableSetsCarryEveryValue) {
  RackMsg* m = NewMsg(3);
  m->index = -1;
  m->data.resize(200);
  for (size_t i = 0; i < 100; ++i) PutBuf16(m->data, 2 * i, static_cast<uint16_t>(1000 + i));
  theComm.SetPresetTime(m);
  Bytes expect = {5, 0, 0, 99};
  for (int i = 0; i < 100; ++i) expect.push_back(static_cast<uint8_t>((1000 + i) & 0xFF)), expect.push_back(static_cast<uint8_t>((1000 + i) >> 8));
  EXPECT_EQ(LastCommand(), expect);
  EXPECT_EQ(m->sendLength, 204);
}

TEST_F(CommBuildersTest, MuxHoldTimeTheRackWouldRefuseIsSentAsZero) {
  const std::pair<int16_t, uint16_t> cases[] = {{9999, 9999}, {600, 600}, {601, 0}, {0, 0}, {-1, 0}};
  for (const auto& [stored, sent] : cases) {
    RackConfigRow row = ConfigRow();
    row.MuxFailHoldTime = stored;
    RackMsg* m = NewMsg(4);
    PutRow(m, row);
    theComm.SetRackSetup(m);
    const Bytes cmd = LastCommand();
    ASSERT_GE(cmd.size(), 14u);
    EXPECT_EQ(cmd[12] | (cmd[13] << 8), sent) << stored;
    EXPECT_EQ(Logged("Error: Attempt to set an invalid Mux hold time " + std::to_string(stored) + "\n"),
              sent != stored)
        << stored;
    posted.clear();
  }
}

TEST_F(CommBuildersTest, SyncFaultEventsCarriesTheLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  clock_.SetLocal(2004, 2, 5, 10, 22, 59);
  SendSyncFaultEvents(9);
  ASSERT_EQ(posted.size(), 1u);
  const uint32_t t = static_cast<uint32_t>(CApp::AdjustTime(clock_.Now(), false));
  EXPECT_EQ(LastCommand(), (Bytes{57, 0, static_cast<uint8_t>(t), static_cast<uint8_t>(t >> 8),
                                  static_cast<uint8_t>(t >> 16), static_cast<uint8_t>(t >> 24)}));
  EXPECT_EQ(posted.back().msg->Rack, 9u);
  EXPECT_EQ(posted.back().msg->ReqNum, 0u);

  RequestRackVersion(9);
  EXPECT_EQ(LastCommand(), (Bytes{27, 0, 3, 0, 10, 11, 12}));
}

// Inputs a command cannot carry are refused before anything is posted.
TEST_F(CommBuildersTest, RefusedInputNeverLeavesTheServer) {
  struct Case {
    const char* name;
    std::function<void(RackMsg*)> run;
    uint16_t rcode;
  };
  const std::vector<Case> cases = {
      {"circuit patch of 144 dimmers overflows the command area",
       [](RackMsg* m) { m->count = 144, m->data.assign(144 * 4, 0), theComm.SetCircuitPatch(m); }, RC_COMM_FAILURE},
      {"manual levels of 200 dimmers",
       [](RackMsg* m) { m->count = 200, m->data.assign(400, 0), theComm.SetManualLevelPairs(m); }, RC_COMM_FAILURE},
      {"no dimmers", [](RackMsg* m) { m->count = 0, theComm.GetCircuitPatch(m); }, RC_COMM_FAILURE},
      {"more dimmers than the data buffer holds",
       [](RackMsg* m) { m->count = 120, m->data.assign(2808, 0), theComm.GetDimmerSetup(m); }, RC_COMM_FAILURE},
      {"more than 256 dimmers",
       [](RackMsg* m) { m->count = 300, m->data.assign(300 * 4, 0), theComm.GetCircuitPatch(m); }, RC_COMM_FAILURE},
      {"relays beyond 256",
       [](RackMsg* m) { m->index = 200, m->count = 100, m->data.assign(400, 0), theComm.GetRelayCycleCounts(m); },
       RC_COMM_FAILURE},
      {"room 17", [](RackMsg* m) { theComm.BrevantPresetOn(m, 1, 17); }, RC_COMM_FAILURE},
      {"rack row missing", [](RackMsg* m) { theComm.SetRackSetup(m); }, RC_COMM_FAILURE},
      {"71 curve points", [](RackMsg* m) { m->index = 1, m->count = 71, theComm.SetUserCurve(m); }, RC_TOO_MANY_POINTS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RackMsg* m = NewMsg(3);
    c.run(m);
    EXPECT_TRUE(posted.empty());
    ASSERT_EQ(toDocument.size(), 1u);
    EXPECT_EQ(toDocument[0], m);
    EXPECT_EQ(m->Rcode, c.rcode);
    EXPECT_FALSE(m->rackContinuation);
    toDocument.clear();
  }
}

// At the top of each range the highest legal value goes out byte for byte
// and one past it is refused before anything is posted.
TEST_F(CommBuildersTest, HighestLegalValuesGoOutAndOnePastThemIsRefused) {
  // Relay counts 1, 2, ... as u32 from relay `first` on.
  const auto relays = [](RackMsg* m, int first, int count) {
    m->index = first, m->count = count, m->data.assign(4 * static_cast<size_t>(count), 0);
    for (int i = 0; i < count; ++i) PutBuf32(m->data, 4 * static_cast<size_t>(i), static_cast<uint32_t>(i + 1));
  };
  Bytes resetTop = {52, 0, 186, 255, 1, 0, 2, 0};  // relays 187 to 256 in one command
  for (uint8_t i = 1; i <= 70; ++i) resetTop = Cat(resetTop, {i, 0, 0, 0});
  const std::vector<GoldenCase> accepted = {
      {"relay reset ending at relay 256", [&](RackMsg* m) { relays(m, 186, 70); },
       [](RackMsg* m) { theComm.ResetRelayCycleCounts(m); }, resetTop},
      {"relay reset of relay 256", [&](RackMsg* m) { relays(m, 255, 1); },
       [](RackMsg* m) { theComm.ResetRelayCycleCounts(m); }, {52, 0, 255, 255, 1, 0, 2, 0, 1, 0, 0, 0}},
      {"relay count of relay 256", [&](RackMsg* m) { relays(m, 255, 1); },
       [](RackMsg* m) { theComm.GetRelayCycleCounts(m); }, {51, 0, 255, 255, 1, 0, 2, 0}},
      {"Brevant preset 255 set", [](RackMsg* m) { m->count = 2, m->data = {0, 100}, m->completion.Set(nullptr, 255); },
       [](RackMsg* m) { theComm.SetBrevantPreset(m); }, {37, 0, 255, 0, 1, 0, 255}},
      {"manual level pulse of dimmer 256", [](RackMsg* m) { m->index = 255; },
       [](RackMsg* m) { theComm.PulseManualLevel(m); }, {54, 0, 255, 255, 1, 255}},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.name);
    RackMsg* m = NewMsg(3);
    c.fill(m);
    c.build(m);
    ASSERT_EQ(posted.size(), 1u) << (toDocument.empty() ? "" : "refused");
    EXPECT_EQ(LastCommand(), c.expected);
    posted.clear();
  }
  const std::vector<std::pair<const char*, std::function<void(RackMsg*)>>> refused = {
      {"relay reset past relay 256", [&](RackMsg* m) { relays(m, 186, 71), theComm.ResetRelayCycleCounts(m); }},
      {"relay reset of relay 257", [&](RackMsg* m) { relays(m, 256, 1), theComm.ResetRelayCycleCounts(m); }},
      {"relay count past relay 256", [&](RackMsg* m) { relays(m, 255, 2), theComm.GetRelayCycleCounts(m); }},
      {"Brevant preset 256 set",
       [](RackMsg* m) { m->count = 2, m->data = {0, 100}, m->completion.Set(nullptr, 256), theComm.SetBrevantPreset(m); }},
      {"manual level pulse of dimmer 257", [](RackMsg* m) { m->index = 256, theComm.PulseManualLevel(m); }},
  };
  for (const auto& [name, run] : refused) {
    SCOPED_TRACE(name);
    RackMsg* m = NewMsg(3);
    run(m);
    EXPECT_TRUE(posted.empty());
    ASSERT_EQ(toDocument.size(), 1u);
    EXPECT_EQ(m->Rcode, RC_COMM_FAILURE);
    toDocument.clear();
  }
}

TEST_F(CommBuildersTest, UserCurveOfSeventyOnePointsIsRefusedWithItsText) {
  RackMsg* m = NewMsg(3, 71, 71 * 4, 1);
  theComm.SetUserCurve(m);
  ASSERT_EQ(toDocument.size(), 1u);
  EXPECT_EQ(m->completion.Format(), "Too many points in user curve 2");
  toDocument.clear();
  m->count = 70;
  m->Rcode = 0;
  theComm.SetUserCurve(m);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(m->sendLength, 284);
  posted.clear();
}

TEST_F(CommBuildersTest, APostThatFailsComesBackToTheDocument) {
  refusePosts = true;
  RackMsg* m = NewMsg(3);
  theComm.PresetOn(m, 1);
  ASSERT_EQ(toDocument.size(), 1u);
  EXPECT_EQ(m->Rcode, RC_COMM_FAILURE);

  // The layer's own messages are freed (LSan sees a leak otherwise).
  SendSyncFaultEvents(3);
  RequestRackVersion(3);
  EXPECT_EQ(toDocument.size(), 1u);
}

}  // namespace
