// Reply continuations on replies that are short, answer another command or
// carry a bogus length; and the replies to the layer's own messages (fault
// synchronisation and version), which reach the document and the comm
// thread through their ports.
#include <cstring>

#include "DisplayFlags.h"
#include "RackCommands.h"
#include "comm_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

class CommRepliesTest : public CommFixture {
 protected:
  void SetUp() override {
    CommFixture::SetUp();
    doc.rackTypes[10001] = 0;
    doc.rackTypes[10002] = 2;
  }
};

struct UploadCase {
  const char* name;
  int32_t count, index;
  size_t bytes;
  std::function<void(RackMsg*)> build;
};

std::vector<UploadCase> Uploads() {
  return {
      {"preset times", 0, -1, 0, [](RackMsg* m) { theComm.GetPresetTime(m); }},
      {"preset levels", 8, 5, 8, [](RackMsg* m) { theComm.GetPreset(m); }},
      {"circuit patch", 8, 0, 32, [](RackMsg* m) { theComm.GetCircuitPatch(m); }},
      {"mux patch", 8, 0, 48, [](RackMsg* m) { theComm.GetMuxPatch(m); }},
      {"dimmer setup", 8, 0, 208, [](RackMsg* m) { theComm.GetDimmerSetup(m); }},
      {"analog patch", 8, 0, 16, [](RackMsg* m) { theComm.GetAnalogPatch(m); }},
      {"rack setup", 0, 0, 50, [](RackMsg* m) { theComm.GetRackSetup(m); }},
      {"module map", 0, 0, 0, [](RackMsg* m) { theComm.GetModuleMap(m); }},
      {"room links", 0, 0, 16, [](RackMsg* m) { theComm.GetRoomLinks(m); }},
      {"user curve", 0, 1, 400, [](RackMsg* m) { theComm.GetUserCurve(m); }},
      {"Brevant patch", 8, 0, 16, [](RackMsg* m) { theComm.GetBrevantPatch(m); }},
      {"Brevant preset", 8, 0, 0, [](RackMsg* m) { m->completion.Set(nullptr, 2), theComm.GetBrevantPreset(m); }},
      {"Brevant preset keep", 8, 0, 8,
       [](RackMsg* m) { m->data.assign(8, 255), m->completion.Set(nullptr, 2), theComm.SetBrevantPreset(m); }},
      {"Brevant preset times", 160, 1, 320,
       [](RackMsg* m) { m->completion.Set(nullptr, -1), theComm.GetBrevantPresetTime(m); }},
      {"fault configuration", 8, 0, 208, [](RackMsg* m) { theComm.GetDimFaultConfig(m); }},
      {"relay cycle counts", 8, 0, 32, [](RackMsg* m) { theComm.GetRelayCycleCounts(m); }},
      {"manual levels", 8, 0, 208, [](RackMsg* m) { theComm.GetManualLevels(m); }},
      {"learnt loads", 8, 0, 0, [](RackMsg* m) { theComm.GetLearntLoads(m); }},
  };
}

// Under ASan: no parser reads what the reply does not hold, and none writes
// what its data buffer cannot hold.
TEST_F(CommRepliesTest, ShortOrForeignRepliesEndTheTransferAsInvalid) {
  struct Garble {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> mangle;
    std::function<void(sim::RackModel&)> knob;
  };
  const Garble garbles[] = {
      {"one byte short", [](Bytes& r) { r.pop_back(); }, nullptr},
      {"command number only", [](Bytes& r) { r.resize(2); }, nullptr},
      {"empty", [](Bytes& r) { r.clear(); }, nullptr},
      {"another command", nullptr, [](sim::RackModel& r) { r.SetReplyCommand(99); }},
  };
  for (const auto& g : garbles) {
    for (const auto& u : Uploads()) {
      SCOPED_TRACE(std::string(g.name) + ": " + u.name);
      sim::RackModel rack(sim::RackModel::Config{1, 0, 8, 0, 0});
      rack.Vary(1);
      rack.state().curves[1].points = 20;
      if (g.knob) g.knob(rack);
      mangle = g.mangle;
      RackMsg* m = NewMsg(1, u.count, u.bytes, u.index);
      const Bytes before = m->data;
      RunToDocument(rack, m, u.build);
      EXPECT_EQ(m->Rcode, RC_INVALID_RESPONSE);
      EXPECT_EQ(rack.exchanges(), 1u) << "nothing more is asked";
      EXPECT_TRUE(m->completion.empty());
      EXPECT_TRUE(Logged("Error: Invalid reply to "));
      toDocument.clear();
      sent.clear();
    }
  }
}

TEST_F(CommRepliesTest, AResponseLengthBeyondTheAreaReadsOnlyTheArea) {
  for (const auto& u : Uploads()) {
    SCOPED_TRACE(u.name);
    sim::RackModel rack(sim::RackModel::Config{1, 0, 8, 0, 0});
    responseLengthOverride = 0xFFFF;
    RackMsg* m = NewMsg(1, u.count, u.bytes, u.index);
    RunToDocument(rack, m, u.build);  // ASan: nothing past the 1024 bytes
    EXPECT_LE(m->ReplySize(), 1024u);
    toDocument.clear();
  }
}

TEST_F(CommRepliesTest, AUserCurveLongerThanItsBufferIsInvalid) {
  sim::RackModel rack(sim::RackModel::Config{1, 0, 8, 0, 0});
  rack.state().curves[0].points = 70;
  RackMsg* m = NewMsg(1, 0, 40, 0);  // room for 10 points
  RunToDocument(rack, m, [](RackMsg* x) { theComm.GetUserCurve(x); });
  EXPECT_EQ(m->Rcode, RC_INVALID_RESPONSE);
  EXPECT_EQ(m->count, 0);
}

TEST_F(CommRepliesTest, UserCurveUploadTakesThePointCountFromTheReply) {
  sim::RackModel rack(sim::RackModel::Config{1, 0, 8, 0, 0});
  rack.state().curves[2].points = 3;
  for (int i = 0; i < 12; ++i) rack.state().curves[2].data[i] = static_cast<uint8_t>(i + 1);
  RackMsg* m = NewMsg(1, 0, 400, 2);
  RunToDocument(rack, m, [](RackMsg* x) { theComm.GetUserCurve(x); });
  EXPECT_EQ(m->Rcode, 0);
  EXPECT_EQ(m->count, 3);
  EXPECT_EQ(Bytes(m->data.begin(), m->data.begin() + 12), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(m->completion.Format(), "Upload user curve request complete.");
}

TEST_F(CommRepliesTest, ModuleMapComesBackAs48WordsAtTheReply) {
  sim::RackModel rack(sim::RackModel::Config{1, 0, 8, 0, 0});
  for (int i = 0; i < 48; ++i) rack.state().moduleMap[i] = static_cast<uint8_t>(200 + i % 50);
  RackMsg* m = NewMsg(1);
  RunToDocument(rack, m, [](RackMsg* x) { theComm.GetModuleMap(x); });
  ASSERT_EQ(m->ReplySize(), 96u);
  for (size_t i = 0; i < 48; ++i) {
    EXPECT_EQ(m->Reply()[2 * i], rack.state().moduleMap[i]);
    EXPECT_EQ(m->Reply()[2 * i + 1], 0);
  }
}

TEST_F(CommRepliesTest, PresetCommandsSetTheirTextsOnSuccessOnly) {
  struct Case {
    std::function<void(RackMsg*)> build;
    const char* text;
  };
  const Case cases[] = {
      {[](RackMsg* m) { theComm.PresetOn(m, 7); }, "QXV preset 7 selected"},
      {[](RackMsg* m) { theComm.RecordPreset(m, 8); }, "QXV preset 8 recorded"},
      {[](RackMsg* m) { theComm.BrevantPresetOn(m, 3, -1); }, "Brevant preset 3 selected in all rooms"},
      {[](RackMsg* m) { theComm.BrevantPresetOn(m, 3, 12); }, "Brevant preset 3 selected in room 12"},
      {[](RackMsg* m) { theComm.RecordBrevantPreset(m, 4, -1); }, "Brevant preset 4 recorded in all rooms"},
      {[](RackMsg* m) { theComm.RecordBrevantPreset(m, 4, 2); }, "Brevant preset 4 recorded in room 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    sim::RackModel rack(sim::RackModel::Config{1, 0, 8, 0, 0});
    RackMsg* m = NewMsg(1);
    RunToDocument(rack, m, c.build);
    ASSERT_EQ(m->Rcode, 0) << rack.last_reject();
    EXPECT_EQ(m->completion.Format(), c.text);
    toDocument.clear();
    rack.FailNext(IO_KRN_NO_RESPONSE);
    RackMsg* f = NewMsg(1);
    RunToDocument(rack, f, c.build);
    EXPECT_EQ(f->Rcode, IO_KRN_NO_RESPONSE);
    EXPECT_TRUE(f->completion.empty());
    toDocument.clear();
  }
}

// --- The layer's own messages ------------------------------------------------------

TEST_F(CommRepliesTest, SyncFaultsReplyMarksTheRackUpAndClearsItsFaults) {
  sim::RackModel rack(sim::RackModel::Config{1, 0, 8, 0, 0});
  SendSyncFaultEvents(1);
  Serve(rack);
  EXPECT_EQ(rack.state().clock, theComm.LocalTimeForRack());
  EXPECT_EQ(commSide.rackUp, (std::vector<uint32_t>{1}));
  EXPECT_EQ(doc.deletedFaults, (std::vector<int32_t>{1}));
  EXPECT_EQ(doc.statuses, (std::vector<std::pair<int32_t, bool>>{{1, true}}));
  EXPECT_TRUE(toDocument.empty()) << "the message belongs to no request";
}

TEST_F(CommRepliesTest, SyncFaultsReplyKeepsTheFaultsOfKind2Racks) {
  sim::RackModel rack(sim::RackModel::Config{2, 2, 8, 0, 0});
  SendSyncFaultEvents(2);
  Serve(rack);
  EXPECT_TRUE(doc.deletedFaults.empty());
  EXPECT_EQ(doc.statuses, (std::vector<std::pair<int32_t, bool>>{{2, true}}));
  EXPECT_EQ(commSide.rackUp, (std::vector<uint32_t>{2}));
}

TEST_F(CommRepliesTest, SyncFaultsReplyWithAnotherCommandIsLoggedAndStillUsed) {
  sim::RackModel rack(sim::RackModel::Config{1, 0, 8, 0, 0});
  rack.SetReplyCommand(0x33);
  SendSyncFaultEvents(1);
  Serve(rack);
  EXPECT_TRUE(Logged("Error: Response to DIM_CMD_SYNCH_FAULT_EVENTS message is incorrect (0x33)\n"));
  EXPECT_EQ(commSide.rackUp.size(), 1u);
}

TEST_F(CommRepliesTest, AFailedSyncOrVersionChangesNothingAndFreesItsMessage) {
  sim::RackModel rack(sim::RackModel::Config{1, 0, 8, 0, 0});
  rack.FailNext(IO_KRN_NO_RESPONSE, 2);
  SendSyncFaultEvents(1);
  RequestRackVersion(1);
  Serve(rack);  // LSan: both messages freed
  EXPECT_TRUE(commSide.rackUp.empty());
  EXPECT_TRUE(commSide.versionSet.empty());
  EXPECT_TRUE(doc.statuses.empty());
  EXPECT_TRUE(doc.versions.empty());
}

TEST_F(CommRepliesTest, VersionReplyStoresTheTextAndHandsTheBytesOn) {
  g_bCommDebug = true;
  sim::RackModel rack(sim::RackModel::Config{1, 0, 8, 0, 0});
  std::memcpy(rack.state().serialNumber, "SN123456", 8);
  std::memcpy(rack.state().softwareVersion, "V1.23a", 6);  // all six, no NUL
  rack.state().hardwareVersion = 0x0203;
  RequestRackVersion(1);
  Serve(rack);
  EXPECT_EQ(doc.versions, (std::vector<std::pair<int32_t, std::string>>{{1, "V1.23a"}}));
  EXPECT_TRUE(Logged("Rack 1 is running software version V1.23a\n"));
  ASSERT_EQ(commSide.versionSet.size(), 1u);
  EXPECT_EQ(commSide.versionSet[0].first, 1u);
  const uint8_t* v = commSide.versionSet[0].second.bytes;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(v), 14), "SN123456V1.23a");
  EXPECT_EQ(v[14], 0x03);
  EXPECT_EQ(v[15], 0x02);

  // A shorter version text stops at its NUL; a database error is logged and
  // the version still reaches the rack record.
  std::memcpy(rack.state().softwareVersion, "1.3c\0\0", 6);
  doc.throwOnVersion = true;
  RequestRackVersion(1);
  Serve(rack);
  EXPECT_TRUE(Logged("Rack 1 is running software version 1.3c\n"));
  EXPECT_TRUE(Logged("Error: storing the software version of rack 1 failed: No current record."));
  EXPECT_EQ(commSide.versionSet.size(), 2u);
}

TEST_F(CommRepliesTest, AShortVersionReplyStoresNothing) {
  sim::RackModel rack(sim::RackModel::Config{1, 0, 8, 0, 0});
  mangle = [](Bytes& r) { r.resize(10); };
  RequestRackVersion(1);
  Serve(rack);
  EXPECT_TRUE(doc.versions.empty());
  EXPECT_TRUE(commSide.versionSet.empty());
  EXPECT_TRUE(Logged("Error: Invalid version reply from rack 1"));
}

}  // namespace
