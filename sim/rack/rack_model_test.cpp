// The rack model against bytes written out by hand from the rack command
// tables: command layouts in, reply layouts out.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "RackModel.h"

namespace {

using sim::AnswerKind;
using sim::RackModel;
using Bytes = std::vector<uint8_t>;

RackModel::Config Rack(uint16_t number = 5, uint16_t type = 0, uint16_t dims = 12,
                       uint16_t ai = 0, uint16_t ao = 0) {
  return RackModel::Config{number, type, dims, ai, ao};
}

Bytes Reply(RackModel& m, const Bytes& cmd) {
  auto a = m.Exchange(cmd);
  EXPECT_EQ(a.kind, AnswerKind::Reply) << "refused: " << m.last_reject();
  return a.reply;
}

bool Refused(RackModel& m, const Bytes& cmd) {
  auto a = m.Exchange(cmd);
  return a.kind == AnswerKind::LinkCode && a.rcode == 0x10 && a.reply.empty();
}

// What an upload of everything would see: the replies of a set of get
// commands over outputs 0-11 (the rack needs at least 12), concatenated.
Bytes Snapshot(RackModel& m) {
  const Bytes gets[] = {
      {4, 0, 0, 99},                     // preset times
      {6, 0, 3, 0, 11},                  // preset 3 levels
      {18, 0, 0, 11},                    // circuit patch
      {20, 0, 0, 1, 0, 11},              // mux patch
      {22, 0, 0, 11, 11, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
      {24, 0, 0, 11, 1, 0, 0},           // learnt loads
      {25, 0, 11, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
      {30, 0, 2},                        // user curve 2
      {32, 0, 0, 11},                    // Brevant patch
      {36, 0, 4, 0, 11},                 // Brevant preset 4
      {38, 0, 0, 15, 0, 9},              // Brevant preset times
      {51, 0, 0, 11, 3, 0, 0, 0, 1, 0, 2, 0},
      {53, 0, 0, 11},                    // manual levels
      {27, 0, 4, 0, 9, 16, 17, 20},      // poll
  };
  Bytes all;
  for (const auto& g : gets) {
    Bytes r = Reply(m, g);
    all.insert(all.end(), r.begin(), r.end());
  }
  return all;
}

TEST(RackModelStatus, ItemsAnswerInTheOrderAskedWithTheirWidths) {
  RackModel m(Rack(5, 2, 96, 4, 8));
  std::memcpy(m.state().serialNumber, "SN123456", 8);
  std::memcpy(m.state().softwareVersion, "2.10b", 5);
  m.state().hardwareVersion = 0x1234;

  // 27, count 4, items 0 5 6 7: RackType, digital dimmers, analog in, analog out.
  EXPECT_EQ(Reply(m, {27, 0, 4, 0, 0, 5, 6, 7}), (Bytes{27, 0, 2, 0, 96, 0, 4, 0, 8, 0}));
  // The version request: items 10 (8 bytes), 11 (6 characters), 12 (u16).
  EXPECT_EQ(Reply(m, {27, 0, 3, 0, 10, 11, 12}),
            (Bytes{27, 0, 'S', 'N', '1', '2', '3', '4', '5', '6', '2', '.', '1', '0', 'b', 0,
                   0x34, 0x12}));
  // Order follows the request.
  EXPECT_EQ(Reply(m, {27, 0, 2, 0, 7, 0}), (Bytes{27, 0, 8, 0, 2, 0}));
}

TEST(RackModelPoll, ReportsStatusItemsAndEachFaultEventOnce) {
  RackModel m(Rack(5));
  m.state().qxvPreset = 7;
  for (int r = 0; r < 16; ++r) m.state().roomPresets[r] = static_cast<uint8_t>(r + 1);
  m.SetInputBits(0x80000001);
  m.SetClock(0x5F000010);
  m.RaiseFault(20, 3, 0x0102, -2, 300);

  const Bytes poll = {27, 0, 4, 0, 9, 16, 17, 20};
  const Bytes status = {27, 0,                                 // command
                        7, 0,                                  // item 9: QXV preset
                        1, 2, 3, 4, 5, 6, 7, 8,                // item 16: rooms 1-8
                        9, 10, 11, 12, 13, 14, 15, 16,         // item 17: rooms 9-16
                        0x01, 0, 0, 0x80};                     // item 20: input bits
  Bytes first = status;
  first.insert(first.end(), {1, 5,                             // one event, rack_no 5
                             0x80 | 20, 3, 0x02, 0x01,         // arose, type 20, D3, circuit
                             0x10, 0, 0, 0x5F,                 // time
                             0xFE, 0xFF, 0x2C, 0x01});         // diag -2, 300
  EXPECT_EQ(Reply(m, poll), first);

  Bytes quiet = status;
  quiet.insert(quiet.end(), {0, 5});
  EXPECT_EQ(Reply(m, poll), quiet) << "an event is reported once";

  m.SetClock(0x5F000020);
  m.SubsideFault(20, 3, 0x0102);
  Bytes subsided = status;
  subsided.insert(subsided.end(), {1, 5, 20, 3, 0x02, 0x01, 0x20, 0, 0, 0x5F, 0xFE, 0xFF, 0x2C, 0x01});
  EXPECT_EQ(Reply(m, poll), subsided);
}

TEST(RackModelPoll, FaultsInForceAreReportedAgainAfterSynch57) {
  RackModel m(Rack(9));
  m.SetClock(1000);
  m.RaiseFault(2, 0, 1, 40, 0);
  m.SetClock(1001);
  m.RaiseFault(11, 4, 5, 1, 0);
  const Bytes poll = {27, 0, 4, 0, 9, 16, 17, 20};
  EXPECT_EQ(Reply(m, poll)[24], 2);
  m.SubsideFault(2, 0, 1);
  EXPECT_EQ(Reply(m, poll)[24], 1);
  EXPECT_EQ(Reply(m, poll)[24], 0);

  // 57 with u32 local time answers with command 57 alone.
  EXPECT_EQ(Reply(m, {57, 0, 0x78, 0x56, 0x34, 0x12}), (Bytes{57, 0}));
  EXPECT_EQ(m.state().clock, 0x12345678u);
  const Bytes r = Reply(m, poll);
  ASSERT_EQ(r.size(), 26u + 12u);
  EXPECT_EQ(r[24], 1);
  EXPECT_EQ(r[25], 9);
  // The fault still in force, as arisen, with its own time.
  EXPECT_EQ(Bytes(r.begin() + 26, r.end()),
            (Bytes{0x80 | 11, 4, 5, 0, 0xE9, 0x03, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(Reply(m, poll)[24], 0);
}

TEST(RackModelPoll, EventsBeyondTheResponseAreaWaitForTheNextPoll) {
  RackModel m(Rack(1));
  for (int i = 0; i < 100; ++i) m.QueueFaultEvent({30, true, static_cast<uint8_t>(i), 0, i, 0, 0});
  const Bytes poll = {27, 0, 4, 0, 9, 16, 17, 20};
  const Bytes a = Reply(m, poll);
  EXPECT_EQ(a[24], 83);
  EXPECT_EQ(a.size(), 26u + 83u * 12u);
  EXPECT_LE(a.size(), 1024u);
  const Bytes b = Reply(m, poll);
  EXPECT_EQ(b[24], 17);
  EXPECT_EQ(b[26 + 1], 83) << "events keep their order";
}

TEST(RackModelPatch, CircuitPatchRoundTrip) {
  RackModel m(Rack(1, 0, 4));
  EXPECT_EQ(Reply(m, {19, 0, 0, 3, 0x01, 0x10, 0x02, 0x20, 0x03, 0x30, 0xFF, 0xFF}), (Bytes{19, 0}));
  EXPECT_EQ(Reply(m, {18, 0, 0, 3}), (Bytes{18, 0, 0x01, 0x10, 0x02, 0x20, 0x03, 0x30, 0xFF, 0xFF}));
  EXPECT_EQ(Reply(m, {18, 0, 2, 3}), (Bytes{18, 0, 0x03, 0x30, 0xFF, 0xFF}));
  EXPECT_EQ(m.state().dimmers[1].circuit, 0x2002);
}

TEST(RackModelPatch, MuxPatchTakesTheLengthItsPayloadNeeds) {
  RackModel m(Rack(1, 0, 12));
  // Inputs 0 to 1, entries 2 to 4: three A channels, then three B channels:
  // 4 x entries + 6 bytes.
  const Bytes set = {21, 0, 0, 1, 2, 4, 0x0A, 0, 0x0B, 0, 0x0C, 0x01, 0x1A, 0, 0x1B, 0, 0x1C, 0x02};
  ASSERT_EQ(set.size(), 4u * 3u + 6u);
  EXPECT_EQ(Reply(m, set), (Bytes{21, 0}));
  EXPECT_EQ(Reply(m, {20, 0, 0, 1, 2, 4}),
            (Bytes{20, 0, 0x0A, 0, 0x0B, 0, 0x0C, 0x01, 0x1A, 0, 0x1B, 0, 0x1C, 0x02}));
  EXPECT_EQ(m.state().dimmers[4].muxA, 0x010C);
  EXPECT_EQ(m.state().dimmers[4].muxB, 0x021C);

  // 2 x entries + 6 bytes cannot hold both inputs: refused, nothing changes.
  const Bytes before = Snapshot(m);
  EXPECT_TRUE(Refused(m, {21, 0, 0, 1, 2, 4, 1, 0, 2, 0, 3, 0}));
  EXPECT_EQ(Snapshot(m), before);
}

TEST(RackModelPatch, BrevantPatchRoundTripRoomsThenChannels) {
  RackModel m(Rack(1, 0, 3));
  EXPECT_EQ(Reply(m, {33, 0, 0, 2, 0, 15, 0xFF, 14, 0, 0xFF}), (Bytes{33, 0}));
  EXPECT_EQ(Reply(m, {32, 0, 0, 2}), (Bytes{32, 0, 0, 15, 0xFF, 14, 0, 0xFF}));
  EXPECT_EQ(m.state().dimmers[1].bvtRoom, 15);
  EXPECT_EQ(m.state().dimmers[1].bvtChannel, 0);
}

TEST(RackModelItems, DimmerSetupItemsOneBytePerDimmerItemByItem) {
  RackModel m(Rack(1, 0, 3));
  // Items 1 (MinLevel) and 8 (status reporting flag) for dimmers 0-2.
  EXPECT_EQ(Reply(m, {23, 0, 0, 2, 2, 0, 1, 8, 10, 20, 30, 1, 0, 1}), (Bytes{23, 0}));
  EXPECT_EQ(Reply(m, {22, 0, 0, 2, 2, 0, 8, 1}), (Bytes{22, 0, 1, 0, 1, 10, 20, 30}));

  EXPECT_TRUE(Refused(m, {23, 0, 0, 2, 1, 0, 8, 1, 2, 1})) << "flag 2";
  EXPECT_TRUE(Refused(m, {22, 0, 0, 2, 1, 0, 11})) << "item 11 does not exist";
  EXPECT_TRUE(Refused(m, {22, 0, 0, 2, 1, 0, 12})) << "item 12 only on kind 2 racks";
  RackModel kind2(Rack(1, 2, 3));
  EXPECT_EQ(Reply(kind2, {23, 0, 0, 2, 1, 0, 12, 1, 0, 1}), (Bytes{23, 0}));
  EXPECT_EQ(Reply(kind2, {22, 0, 0, 2, 1, 0, 12}), (Bytes{22, 0, 1, 0, 1}));
}

TEST(RackModelItems, RackSetupItemsWithTheirWidths) {
  RackModel m(Rack(1, 0, 3));
  // Items 0 (1), 1 (2), 5 (flag), 6 (2), 7 (2), 10 (1).
  const Bytes set = {26, 0, 6, 0, 0, 1, 5, 6, 7, 10, 3, 0x58, 0x02, 1, 4, 5, 6, 7, 2};
  EXPECT_EQ(Reply(m, set), (Bytes{26, 0}));
  EXPECT_EQ(Reply(m, {25, 0, 6, 0, 10, 7, 6, 5, 1, 0}),
            (Bytes{25, 0, 2, 6, 7, 4, 5, 1, 0x58, 0x02, 3}));
  EXPECT_EQ(m.state().muxFailHoldTime, 600);

  EXPECT_EQ(Reply(m, {26, 0, 1, 0, 1, 0x0F, 0x27}), (Bytes{26, 0})) << "9999 is accepted";
  EXPECT_TRUE(Refused(m, {26, 0, 1, 0, 1, 0x59, 0x02})) << "601 is refused";
  EXPECT_EQ(m.state().muxFailHoldTime, 9999);
  EXPECT_TRUE(Refused(m, {26, 0, 1, 0, 5, 0xFF})) << "fan speed is a 0/1 flag";

  // Module map (item 8, 48 bytes) and room links (item 9, 16 bytes) alone.
  Bytes links = {26, 0, 1, 0, 9};
  for (int i = 0; i < 16; ++i) links.push_back(static_cast<uint8_t>(i * 3));
  EXPECT_EQ(Reply(m, links), (Bytes{26, 0}));
  Bytes got = Reply(m, {25, 0, 1, 0, 9});
  EXPECT_EQ(Bytes(got.begin() + 2, got.end()), Bytes(links.begin() + 5, links.end()));
  EXPECT_EQ(Reply(m, {25, 0, 1, 0, 8}).size(), 2u + 48u);

  RackModel kind2(Rack(1, 2, 3));
  EXPECT_TRUE(Refused(kind2, {25, 0, 1, 0, 6})) << "kind 2 racks have no mux inputs";
}

TEST(RackModelItems, FaultConfigurationAndRelayCycleCounts) {
  RackModel m(Rack(1, 0, 2));
  // Items 0 and 1 (u16 per dimmer), then item 2 (u32 per relay).
  EXPECT_EQ(Reply(m, {52, 0, 0, 1, 2, 0, 0, 0, 1, 0, 0x10, 0x01, 0x20, 0x02, 5, 0, 6, 0}),
            (Bytes{52, 0}));
  EXPECT_EQ(Reply(m, {52, 0, 1, 1, 1, 0, 2, 0, 0x04, 0x03, 0x02, 0x01}), (Bytes{52, 0}));
  EXPECT_EQ(Reply(m, {51, 0, 0, 1, 3, 0, 1, 0, 0, 0, 2, 0}),
            (Bytes{51, 0, 5, 0, 6, 0, 0x10, 0x01, 0x20, 0x02, 0, 0, 0, 0, 0x04, 0x03, 0x02, 0x01}));
  RackModel kind1(Rack(1, 1, 2));
  EXPECT_TRUE(Refused(kind1, {51, 0, 0, 1, 1, 0, 1, 0})) << "kind 1 racks have item 0 only";
  EXPECT_EQ(Reply(kind1, {51, 0, 0, 1, 1, 0, 0, 0}), (Bytes{51, 0, 0, 0, 0, 0}));
}

TEST(RackModelItems, LearnLoadsThenDimmerStatusGivesTheLearntLoads) {
  RackModel m(Rack(1, 0, 3));
  for (int d = 0; d < 3; ++d) m.state().dimmers[d].connectedLoad = static_cast<uint16_t>(1000 * (d + 1));
  EXPECT_EQ(Reply(m, {24, 0, 0, 2, 1, 0, 0}), (Bytes{24, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Reply(m, {55, 0, 1, 0, 1}), (Bytes{55, 0})) << "mode 1, dimmer 1";
  EXPECT_EQ(Reply(m, {24, 0, 0, 2, 1, 0, 0}), (Bytes{24, 0, 0, 0, 0xD0, 0x07, 0, 0}));
  EXPECT_EQ(Reply(m, {55, 0, 0, 0}), (Bytes{55, 0})) << "mode 0, all";
  EXPECT_EQ(Reply(m, {24, 0, 0, 2, 1, 0, 0}), (Bytes{24, 0, 0xE8, 0x03, 0xD0, 0x07, 0xB8, 0x0B}));
  EXPECT_TRUE(Refused(m, {55, 0, 2, 0}));
}

TEST(RackModelPresets, LevelsTimesAndPresetSelection) {
  RackModel m(Rack(1, 0, 3));
  EXPECT_EQ(Reply(m, {7, 0, 42, 0, 2, 0, 128, 255}), (Bytes{7, 0}));
  EXPECT_EQ(Reply(m, {6, 0, 42, 1, 2}), (Bytes{6, 0, 128, 255}));
  EXPECT_EQ(Reply(m, {1, 0, 42}), (Bytes{1, 0}));
  EXPECT_EQ(m.state().dimmers[2].level, 255);
  EXPECT_EQ(Reply(m, {27, 0, 1, 0, 9}), (Bytes{27, 0, 42, 0}));

  EXPECT_EQ(Reply(m, {5, 0, 98, 99, 0x34, 0x12, 0x78, 0x56}), (Bytes{5, 0}));
  EXPECT_EQ(Reply(m, {4, 0, 97, 99}), (Bytes{4, 0, 0, 0, 0x34, 0x12, 0x78, 0x56}));
  EXPECT_TRUE(Refused(m, {1, 0, 100}));

  // Manual levels: enables (0/1) then levels.
  EXPECT_EQ(Reply(m, {54, 0, 1, 2, 1, 0, 200, 7}), (Bytes{54, 0}));
  EXPECT_EQ(Reply(m, {53, 0, 0, 2}), (Bytes{53, 0, 0, 1, 0, 0, 200, 7}));
  EXPECT_TRUE(Refused(m, {54, 0, 0, 0, 0xFF, 9})) << "enable is a 0/1 flag";
}

TEST(RackModelPresets, BrevantRoomsPresetsAndTimes) {
  RackModel m(Rack(1, 0, 3));
  EXPECT_EQ(Reply(m, {33, 0, 0, 2, 4, 4, 5, 0, 1, 0}), (Bytes{33, 0}));  // rooms 4 4 5
  EXPECT_EQ(Reply(m, {37, 0, 6, 0, 2, 11, 22, 33}), (Bytes{37, 0}));
  EXPECT_EQ(Reply(m, {36, 0, 6, 0, 2}), (Bytes{36, 0, 11, 22, 33}));
  EXPECT_EQ(Reply(m, {34, 0, 4, 4, 6}), (Bytes{34, 0})) << "room 4 only";
  EXPECT_EQ(m.state().dimmers[1].level, 22);
  EXPECT_EQ(m.state().dimmers[2].level, 0);
  const Bytes rooms = Reply(m, {27, 0, 2, 0, 16, 17});
  EXPECT_EQ(rooms, (Bytes{27, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  // Times: one u16 per room and preset, rooms outermost.
  EXPECT_EQ(Reply(m, {39, 0, 2, 3, 8, 9, 1, 0, 2, 0, 3, 0, 4, 0}), (Bytes{39, 0}));
  EXPECT_EQ(m.state().bvtTimes[2][9], 2);
  EXPECT_EQ(m.state().bvtTimes[3][8], 3);
  EXPECT_EQ(Reply(m, {38, 0, 3, 3, 8, 9}), (Bytes{38, 0, 3, 0, 4, 0}));
  EXPECT_TRUE(Refused(m, {38, 0, 0, 16, 0, 9})) << "16 rooms";
}

TEST(RackModelCurves, UserCurveRoundTrip) {
  RackModel m(Rack());
  EXPECT_EQ(Reply(m, {31, 0, 4, 2, 1, 2, 3, 4, 5, 6, 7, 8}), (Bytes{31, 0}));
  EXPECT_EQ(Reply(m, {30, 0, 4}), (Bytes{30, 0, 4, 2, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(Reply(m, {30, 0, 0}), (Bytes{30, 0, 0, 0}));
  Bytes tooMany = {31, 0, 0, 71};
  tooMany.resize(4 + 4 * 71);
  EXPECT_TRUE(Refused(m, tooMany));
  EXPECT_TRUE(Refused(m, {30, 0, 5}));
}

TEST(RackModelRefusal, MalformedCommandsAreRefusedAndChangeNothing) {
  RackModel m(Rack(3, 0, 12));
  m.Vary(7);
  const Bytes before = Snapshot(m);
  const Bytes bad[] = {
      {},                                  // nothing
      {19},                                // half a command number
      {19, 1, 0, 0, 1, 0},                 // command number above 255
      {2, 0, 1},                           // not a command the server sends
      {0, 0},                              // "0x00 invalid"
      {59, 0},                             // beyond the table
      {19, 0, 0, 12, 0, 0},                // index beyond 12 outputs
      {19, 0, 3, 2, 0, 0, 0, 0},           // first after last
      {19, 0, 0, 1, 1, 0},                 // payload short
      {19, 0, 0, 0, 1, 0, 2},              // payload long
      {7, 0, 100, 0, 0, 1},                // preset 100
      {5, 0, 0, 100, 0, 0},                // preset time range
      {21, 0, 1, 0, 0, 0, 1, 0},           // inputs B to A
      {23, 0, 0, 0, 0, 0},                 // no items
      {52, 0, 0, 0, 1, 0, 3, 0, 1, 0},     // fault item 3
      {26, 0, 1, 0, 11, 0},                // rack setup item 11
      {27, 0, 2, 0, 20, 20},               // two fault blocks
      {27, 0, 1, 0, 1},                    // status item 1
      {34, 0, 0, 0, 10},                   // Brevant preset 10
      {57, 0, 1, 2, 3},                    // time short
  };
  for (const auto& cmd : bad) EXPECT_TRUE(Refused(m, cmd)) << "command size " << cmd.size();
  EXPECT_EQ(m.rejects(), std::size(bad));
  EXPECT_EQ(Snapshot(m), before);

  Bytes huge(291, 0);
  huge[0] = 19;
  EXPECT_TRUE(Refused(m, huge)) << "longer than the 290-byte command area";
}

TEST(RackModelRefusal, RepliesLongerThanTheResponseAreaGetLinkCode0x13) {
  RackModel m(Rack(1, 2, 200));
  // 6 items x 200 dimmers = 1200 bytes.
  const auto a = m.Exchange(Bytes{22, 0, 0, 199, 6, 0, 0, 1, 2, 3, 4, 5});
  EXPECT_EQ(a.kind, AnswerKind::LinkCode);
  EXPECT_EQ(a.rcode, 0x13);
  EXPECT_EQ(Reply(m, {22, 0, 0, 199, 5, 0, 0, 1, 2, 3, 4}).size(), 2u + 1000u);
}

TEST(RackModelKnobs, ScriptedFailuresAndStallsDoNotApplyTheCommand) {
  RackModel m(Rack(1, 0, 2));
  m.FailAt(2, 0x16);
  m.StallAt(3);
  EXPECT_EQ(Reply(m, {19, 0, 0, 0, 1, 0}), (Bytes{19, 0}));
  auto failed = m.Exchange(Bytes{19, 0, 0, 0, 2, 0});
  EXPECT_EQ(failed.kind, AnswerKind::LinkCode);
  EXPECT_EQ(failed.rcode, 0x16);
  EXPECT_EQ(m.Exchange(Bytes{19, 0, 0, 0, 3, 0}).kind, AnswerKind::Silent);
  EXPECT_EQ(m.state().dimmers[0].circuit, 1);
  EXPECT_EQ(Reply(m, {18, 0, 0, 0}), (Bytes{18, 0, 1, 0})) << "script used up";

  for (uint16_t code = 0x10; code <= 0x18; ++code) {
    m.FailNext(code);
    const auto a = m.Exchange(Bytes{18, 0, 0, 0});
    EXPECT_EQ(a.kind, AnswerKind::LinkCode);
    EXPECT_EQ(a.rcode, code);
    EXPECT_TRUE(a.reply.empty());
  }

  m.SetSilent(true);
  EXPECT_EQ(m.Exchange(Bytes{18, 0, 0, 0}).kind, AnswerKind::Silent);
  m.SetSilent(false);
  m.SetReplyCommand(0x99);
  EXPECT_EQ(Reply(m, {57, 0, 0, 0, 0, 0}), (Bytes{0x99, 0}));
}

TEST(RackModelKnobs, VaryChangesWhatAnUploadSeesAndKeepsValuesValid) {
  RackModel m(Rack(1, 0, 12));
  const Bytes before = Snapshot(m);
  m.Vary(42);
  const Bytes varied = Snapshot(m);
  EXPECT_NE(varied, before);
  RackModel again(Rack(1, 0, 12));
  again.Vary(42);
  EXPECT_EQ(Snapshot(again), varied) << "deterministic for a seed";

  const sim::RackState& s = m.state();
  EXPECT_TRUE(s.muxFailHoldTime <= 600 || s.muxFailHoldTime == 9999);
  EXPECT_LE(s.fanSpeed, 1);
  for (int d = 0; d < 12; ++d) {
    EXPECT_LE(s.dimmers[d].manualEnable, 1);
    EXPECT_LE(s.dimmers[d].setup[8], 1);
  }
  // The varied values download back unchanged: rack setup as uploaded.
  Bytes up = Reply(m, {25, 0, 9, 0, 0, 1, 2, 3, 4, 5, 6, 7, 10});
  Bytes down = {26, 0, 9, 0, 0, 1, 2, 3, 4, 5, 6, 7, 10};
  down.insert(down.end(), up.begin() + 2, up.end());
  EXPECT_EQ(Reply(again, down), (Bytes{26, 0}));
}

TEST(RackModelRefusal, RandomBytesAreAnsweredOrRefusedWithinBounds) {
  RackModel m(Rack(7, 2, 96, 4, 8));
  std::mt19937 rng(1234);
  for (int i = 0; i < 20000; ++i) {
    Bytes cmd(rng() % 40);
    for (auto& b : cmd) b = static_cast<uint8_t>(rng());
    if (cmd.size() >= 2 && (i & 1)) {
      cmd[0] = static_cast<uint8_t>(rng() % 59);
      cmd[1] = 0;
    }
    const auto a = m.Exchange(cmd);
    ASSERT_LE(a.reply.size(), 1024u);
    if (a.kind == AnswerKind::Reply) {
      ASSERT_EQ(a.reply[0], cmd[0]);
    }
  }
}

}  // namespace
