// Decoding of a rack's unsolicited poll responses: fault events into fault
// records (in the order they are written), status items into the zone input
// status, and the bounds of a response that is short or lies about its
// event count.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "Comm.h"
#include "LogBuffer.h"
#include "RackCommands.h"
#include "RackEvents.h"
#include "RackMsg.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "platform/time/fake_clock.h"

namespace {

// One record as a line: type/rack/dimmer/circuit/A or S/diag1,diag2/args.
std::string Summary(const FaultRecord& r) {
  std::string s = std::to_string(r.FaultType) + "/" + std::to_string(r.RackNumber) + "/" +
                  std::to_string(r.DimmerNumber) + "/" + std::to_string(r.CircuitNumber) + "/";
  s += !r.AriseTimestamp.IsZero() ? "A" : "";
  s += !r.SubsideTimestamp.IsZero() ? "S" : "";
  s += "/" + std::to_string(r.Diag1) + "," + std::to_string(r.Diag2) + "/";
  for (int i = 0; i < 3; ++i) {
    if (i > 0) s += ",";
    const FaultArg& a = r.args[i];
    if (a.kind == FaultArg::Kind::kNumber) s += std::to_string(a.number);
    if (a.kind == FaultArg::Kind::kText) s += std::string("'") + a.text + "'";
    if (a.kind == FaultArg::Kind::kNone) s += "-";
  }
  return s;
}

struct ZoneUpdate {
  int32_t rack;
  int32_t bits;
  int16_t qxv;
  std::vector<uint8_t> rooms;
};

class RecordingEvents final : public RackEventPort {
 public:
  void WriteFaultRecords(const FaultRecord* records, int32_t count) override {
    std::vector<std::string> call;
    for (int32_t i = 0; i < count; ++i) {
      call.push_back(Summary(records[i]));
      dates.push_back(!records[i].AriseTimestamp.IsZero() ? records[i].AriseTimestamp.days
                                                           : records[i].SubsideTimestamp.days);
    }
    writes.push_back(call);
  }
  void UpdateZoneInputStatus(int32_t rack, int32_t bits, int16_t qxv, const uint8_t* rooms) override {
    zones.push_back({rack, bits, qxv, std::vector<uint8_t>(rooms, rooms + 16)});
  }
  std::vector<std::vector<std::string>> writes;
  std::vector<double> dates;
  std::vector<ZoneUpdate> zones;
};

struct Event {
  uint8_t typeByte;  // bit 7 arose
  uint8_t dimmer;
  uint16_t circuit;
  int32_t time;
  int16_t diag1;
  int16_t diag2;
};

void Put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v));
  Put16(b, static_cast<uint16_t>(v >> 16));
}

// A poll response of rack `rackNo` with the given events (count byte =
// events.size() unless given).
std::vector<uint8_t> PollResponse(uint8_t rackNo, const std::vector<Event>& events, int countByte = -1) {
  std::vector<uint8_t> b;
  Put16(b, DIM_CMD_GET_RACK_STATUS);
  Put16(b, 42);  // QXV preset
  for (int room = 0; room < 16; ++room) b.push_back(static_cast<uint8_t>(room + 1));
  Put32(b, 0x25);  // input bits
  b.push_back(static_cast<uint8_t>(countByte >= 0 ? countByte : static_cast<int>(events.size())));
  b.push_back(rackNo);
  for (const Event& e : events) {
    b.push_back(e.typeByte);
    b.push_back(e.dimmer);
    Put16(b, e.circuit);
    Put32(b, static_cast<uint32_t>(e.time));
    Put16(b, static_cast<uint16_t>(e.diag1));
    Put16(b, static_cast<uint16_t>(e.diag2));
  }
  return b;
}

constexpr uint8_t kArose = 0x80;
constexpr int32_t kDay2 = 86400;          // 1970-01-02 00:00
constexpr double kDay2Ole = 25569.0 + 1;  // its OLE date

class RackEventTest : public ::testing::Test {
 protected:
  RackEventTest() : log_(clock_, dir_.path()) {
    g_bTimeStampLog = false;
    g_bDiskLogActive = false;
    log_.AddObserver(&seen_);
  }
  static void SetUpTestSuite() {
    // Rack times are taken as local time: UTC keeps the dates plain.
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void SetUp() override {
    SetPostToComm([this](uint32_t id, uintptr_t, RackMsg* msg) {
      posted.emplace_back(id, msg);
      return true;
    });
    theComm.SetEventPort(&events);
  }
  void TearDown() override {
    SetPostToComm({});
    theComm.SetEventPort(nullptr);
    for (auto& p : posted) FreeRackMsg(p.second);
  }

  // Hands the response to the rack-event handler as the comm thread would.
  void Deliver(uint32_t rack, const std::vector<uint8_t>& bytes, uint16_t rcode = 0,
               int lengthOverride = -1) {
    RackMsg* m = AllocRackMsg();
    m->Rack = rack;
    m->Rcode = rcode;
    std::copy_n(bytes.begin(), std::min(bytes.size(), kRackMsgResponseSize), m->response);
    m->responseLength = static_cast<uint16_t>(lengthOverride >= 0 ? lengthOverride : bytes.size());
    theComm.OnRackEvent(m);
  }
  int Lines(const std::string& text) const {
    int n = 0;
    for (const std::string& l : seen_.lines())
      if (l.find(text) != std::string::npos) ++n;
    return n;
  }

  TempDir dir_;
  FlagGuard flags_;
  platform::time::FakeClock clock_;
  LogBuffer log_;
  RecordingObserver seen_;
  RecordingEvents events;
  std::vector<std::pair<uint32_t, RackMsg*>> posted;
};

TEST_F(RackEventTest, EachFaultEventBecomesItsRecordWithItsRemapsAndArguments) {
  struct Case {
    const char* what;
    std::vector<Event> events;
    std::vector<std::vector<std::string>> writes;  // each write call, in order
  };
  const Case cases[] = {
      {"overheat keeps both diagnostics", {{kArose | 2, 4, 300, kDay2, 7, 9}}, {{"2/3/4/300/A/7,9/7,9,-"}}},
      {"a subsided control error", {{3, 0, 1, kDay2, 1, 2}}, {{"3/3/0/1/S/1,2/1,2,-"}}},
      {"load error without diagnostic: 19 subsides, 4 arises",
       {{kArose | 19, 5, 10, kDay2, 0, 3}},
       {{"19/3/5/10/S/0,3/-,-,-"}, {"4/3/5/10/A/0,3/-,-,-"}}},
      {"load error with diagnostic: 4 subsides, 19 arises",
       {{kArose | 19, 5, 10, kDay2, 6, 3}},
       {{"4/3/5/10/S/6,3/-,-,-"}, {"19/3/5/10/A/6,3/6,3,-"}}},
      {"the old load error is ignored", {{kArose | 4, 1, 1, kDay2, 0, 0}}, {{"-1/3/1/1/A/0,0/-,-,-"}}},
      {"high DC, old overload and 14 are ignored",
       {{kArose | 0, 0, 0, kDay2, 0, 0}, {kArose | 1, 0, 0, kDay2, 0, 0}, {kArose | 14, 0, 0, kDay2, 0, 0}},
       {{"-1/3/0/0/A/0,0/-,-,-", "-1/3/0/0/A/0,0/-,-,-", "-1/3/0/0/A/0,0/-,-,-"}}},
      {"a type above 25 is ignored", {{kArose | 30, 2, 2, kDay2, 1, 1}}, {{"-1/3/2/2/A/1,1/-,-,-"}}},
      {"type change", {{kArose | 6, 0, 0, kDay2, 8, 0}}, {{"6/3/0/0/A/8,0/3,8,-"}}},
      {"SRP dead", {{kArose | 7, 2, 0, kDay2, 8, 0}}, {{"7/3/2/0/A/8,0/-,-,-"}}},
      {"panic", {{kArose | 8, 0, 0, kDay2, 0, 0}}, {{"8/3/0/0/A/0,0/3,-,-"}}},
      {"enabled on the backup", {{kArose | 9, 0, 0, kDay2, 1, 0}}, {{"9/3/1/0/A/1,0/3,'Backup',-"}}},
      {"enabled on the master", {{kArose | 9, 7, 0, kDay2, 0, 0}}, {{"9/3/0/0/A/0,0/3,'Master',-"}}},
      {"mux fail of input 2", {{kArose | 10, 0, 0, kDay2, 2, 0}}, {{"102/3/2/0/A/2,0/3,-,-"}}},
      {"mux fail", {{kArose | 10, 9, 0, kDay2, 0, 0}}, {{"10/3/0/0/A/0,0/3,-,-"}}},
      {"phase fail of phase B", {{kArose | 11, 0, 0, kDay2, 1, 0}}, {{"11/3/1/0/A/1,0/3,66,-"}}},
      {"fan overtemp of the fan", {{kArose | 12, 0, 0, kDay2, 1, 0}}, {{"101/3/0/0/A/1,0/3,'fan',-"}}},
      {"fan overtemp", {{kArose | 12, 0, 0, kDay2, 0, 1}}, {{"12/3/0/0/A/0,1/3,'over temp',-"}}},
      {"tracking", {{kArose | 13, 0, 0, kDay2, 0, 1}}, {{"13/3/0/0/A/0,1/3,'Backup','tracking'"}}},
      {"not tracking on the main", {{kArose | 13, 0, 0, kDay2, 1, 0}}, {{"13/3/0/0/A/1,0/3,'Main','not tracking'"}}},
      {"comms error names its dimmer", {{kArose | 25, 6, 0, kDay2, 0, 0}}, {{"25/3/6/0/A/0,0/3,6,-"}}},
      {"overload takes its own type", {{kArose | 20, 1, 9, kDay2, 4, 4}}, {{"20/3/1/9/A/4,4/20,-,-"}}},
      {"opposite subsides go first, the rest in one write",
       {{kArose | 19, 5, 10, kDay2, 0, 0}, {kArose | 2, 1, 1, kDay2, 1, 1}},
       {{"19/3/5/10/S/0,0/-,-,-"}, {"4/3/5/10/A/0,0/-,-,-", "2/3/1/1/A/1,1/1,1,-"}}},
  };
  for (const Case& c : cases) {
    events.writes.clear();
    events.zones.clear();
    Deliver(3, PollResponse(3, c.events));
    EXPECT_EQ(events.writes, c.writes) << c.what;
    ASSERT_EQ(events.zones.size(), 1u) << c.what;
  }
}

TEST_F(RackEventTest, EventTimesAreLocalDatesAndABadTimeBecomesTheEpoch) {
  Deliver(3, PollResponse(3, {{kArose | 2, 0, 0, kDay2 + 43200, 0, 0}, {kArose | 2, 1, 0, -5, 0, 0}}));
  ASSERT_EQ(events.dates.size(), 2u);
  EXPECT_DOUBLE_EQ(events.dates[0], kDay2Ole + 0.5);
  EXPECT_DOUBLE_EQ(events.dates[1], 25569.0);
  EXPECT_EQ(Lines("Error: Bad time value fffffffb processing fault event. Time set to 1/1/1970 12:00am."), 1);
}

TEST_F(RackEventTest, StatusItemsReachTheZoneInputStatus) {
  // Exactly the status items: no fault record, the zone status updated.
  std::vector<uint8_t> bytes = PollResponse(7, {});
  bytes.resize(kPollStatusBytes);
  Deliver(7, bytes);
  EXPECT_TRUE(events.writes.empty());
  ASSERT_EQ(events.zones.size(), 1u);
  EXPECT_EQ(events.zones[0].rack, 7);
  EXPECT_EQ(events.zones[0].qxv, 42);
  EXPECT_EQ(events.zones[0].bits, 0x25);
  EXPECT_EQ(events.zones[0].rooms, std::vector<uint8_t>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
}

TEST_F(RackEventTest, ResponsesThatDoNotCarryWhatTheyAnnounceAreBounded) {
  g_bCommDebug = true;
  // Shorter than the status items: nothing is taken.
  std::vector<uint8_t> shortOne = PollResponse(7, {});
  shortOne.resize(20);
  Deliver(7, shortOne);
  EXPECT_TRUE(events.zones.empty());
  EXPECT_EQ(Lines("Error: Poll response from rack 7 is too short (20 bytes), ignored."), 1);

  // Three events announced, one and a half carried: one record.
  std::vector<uint8_t> cut = PollResponse(7, {{kArose | 2, 0, 0, kDay2, 0, 0}, {kArose | 3, 0, 0, kDay2, 0, 0}}, 3);
  cut.resize(kPollEventsOffset + kFaultEventBytes + 6);
  Deliver(7, cut);
  ASSERT_EQ(events.writes.size(), 1u);
  EXPECT_EQ(events.writes[0].size(), 1u);
  EXPECT_EQ(Lines("Error: Poll response from rack 7 announces 3 fault events but carries 1."), 1);
  EXPECT_EQ(Lines("Rack   7 status:  1 faults:"), 1);

  // 255 events announced in a length beyond the response area: bounded by
  // the area (83 whole events fit 1024 bytes).
  events.writes.clear();
  std::vector<uint8_t> big = PollResponse(7, std::vector<Event>(90, Event{kArose | 2, 0, 0, kDay2, 0, 0}), 255);
  Deliver(7, big, 0, 0xFFFF);
  ASSERT_EQ(events.writes.size(), 1u);
  EXPECT_EQ(events.writes[0].size(), (kRackMsgResponseSize - kPollEventsOffset) / kFaultEventBytes);
}

TEST_F(RackEventTest, AWrongRackNumberIsLoggedAndTheResponseStillUsed) {
  Deliver(7, PollResponse(9, {{kArose | 2, 0, 0, kDay2, 0, 0}}));
  EXPECT_EQ(Lines("Error: Rack number inconsistant, pDmrMsg->rack_no = 9 but pMsg->Rack = 7"), 1);
  ASSERT_EQ(events.writes.size(), 1u);
  EXPECT_EQ(events.writes[0][0].substr(0, 4), "2/7/");
  EXPECT_EQ(events.zones.size(), 1u);

  // Rack 256 carries its number in one byte, as 0: no error.
  Deliver(256, PollResponse(0, {{kArose | 2, 0, 0, kDay2, 0, 0}}));
  EXPECT_EQ(Lines("Error: Rack number inconsistant"), 1);
  ASSERT_EQ(events.writes.size(), 2u);
  EXPECT_EQ(events.writes[1][0].substr(0, 6), "2/256/");
}

TEST_F(RackEventTest, AFailedPollProbesTheRackAndAnotherCommandIsRefused) {
  g_bCommDebug = true;
  Deliver(12, {}, 0x10);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].first, WM_IPC_SEND_MSG);
  EXPECT_EQ(posted[0].second->Rack, 12u);
  EXPECT_EQ(posted[0].second->Command(), DIM_CMD_SYNCH_FAULT_EVENTS);
  EXPECT_EQ(Lines("Received poll error from rack 12, probing with a sync faults message."), 1);
  EXPECT_TRUE(events.zones.empty());

  std::vector<uint8_t> other = PollResponse(12, {});
  other[0] = 26;
  Deliver(12, other);
  EXPECT_EQ(Lines("Error: Fault event received from rack 12 with cmd = 0x001A."), 1);
  EXPECT_TRUE(events.zones.empty());
  EXPECT_TRUE(events.writes.empty());
}

TEST_F(RackEventTest, FaultLogShowsEachEventWhenFaultsAreShown) {
  g_bCommFaults = true;
  Deliver(3, PollResponse(3, {{kArose | 30, 1, 2, kDay2, 3, 4}, {11, 4, 5, kDay2, 6, 7}}));
  EXPECT_EQ(Lines("    *BAD*(   30) - D002  C00002      3      4 - Raised"), 1);
  EXPECT_EQ(Lines("    Phase Fail   - D005  C00005      6      7 - Subsided"), 1);
}

}  // namespace
