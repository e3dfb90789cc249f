// Rack messages end to end: the comm thread over the real library and
// loopback sockets against two nodesim processes with rack models behind
// their ports.  The test plays the UI thread: it answers a rack's fault
// synchronisation with WM_IPC_RACK_UP, stores the version replies, and sends
// rack messages of its own.  Racks are polled, come up through command 57
// and the version request; messages come back with what a rack model given
// the same commands answers; a broadcast is confirmed; a silent rack comes
// back with link code 0x10 and goes down; a held answer times out.
//
// The comm object runs inline on the test thread with its real 100 ms
// timer.  Deadlines are hang guards only.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommInlineHarness.h"
#include "NodesimTestProcess.h"
#include "RackModel.h"
#include "RcCodes.h"

namespace {

// Addresses of this run: 127.1.K.1 (this PC), .2 and .3.
const uint32_t kNet = RunNetwork(0x7F010000u);
const uint32_t kAddrA = kNet | 2, kAddrB = kNet | 3;
const std::string kPcText = Dotted(kNet | 1), kSimAText = Dotted(kAddrA), kSimBText = Dotted(kAddrB);
const char* const kPc = kPcText.c_str();
const char* const kSimA = kSimAText.c_str();
const char* const kSimB = kSimBText.c_str();

struct Sim : NodesimProcess {
  bool Start(const char* name, const char* addr, const std::vector<std::string>& extra) {
    return NodesimProcess::Start(NODESIM_PATH, name, addr, kPc, extra);
  }
};

class NodesimKrn : public CommRackHarness {
 protected:
  void SetUp() override {
    Prepare(kPc, std::string(kSimA) + "," + kSimB);
    Start();
  }
  RackMsg* Exchange(uint32_t rack, uint32_t reqNum, const Bytes& command, int timeoutMs = 20000) {
    return CommRackHarness::Exchange(rack, reqNum, command, timeoutMs);
  }
};

TEST_F(NodesimKrn, RacksComeUpAndAnswerLikeTheirModelsAndSilenceEndsInLinkCodeAndTimeOut) {
  Sim a, b;
  ASSERT_TRUE(a.Start("KRNA", kSimA, {"--rack", "0:5", "--rack", "0:6", "--rack", "1:7:96",
                                      "--report", "37"}));
  ASSERT_TRUE(b.Start("KRNB", kSimB, {"--rack", "3:9", "--report", "250", "--silent-delay", "300"}));
  AddNode(1, kAddrA, {1, 1, 0, 0, 0, 0});
  AddNode(2, kAddrB, {0, 0, 0, 1, 0, 0});
  AddRack(1, 5, 0);
  AddRack(1, 6, 0);
  AddRack(1, 7, 1);
  AddRack(2, 9, 3);

  ASSERT_TRUE(RunUntil([&] { return Up(5) && Up(6) && Up(7) && Up(9); }, 40000)) << Log();
  for (uint32_t rack : {5u, 6u, 7u, 9u}) {
    SCOPED_TRACE(rack);
    EXPECT_EQ(syncs_[rack], 1) << "one command 57";
    EXPECT_EQ(versions_[rack], 1) << "one version request";
    EXPECT_GE(pollEvents_[rack], 1) << "polled and answered";
    EXPECT_NE(comm_.FindRack(rack)->flags & RACK_FLAG_POLLING, 0);
  }

  // Rack messages come back with what a model given the same commands
  // answers: preset times set and read back (a large command in many
  // appends, a large reply in many reports), and the rack's status items.
  sim::RackModel::Config c7;
  c7.rackNumber = 7;
  c7.digitalDims = 96;
  sim::RackModel model(c7);
  Bytes set = {DIM_CMD_SET_PRESET_TIME, 0, 0, 99};
  for (int p = 0; p < 100; ++p) {
    set.push_back(static_cast<uint8_t>(p * 37));
    set.push_back(static_cast<uint8_t>(p % 7));
  }
  const std::vector<Bytes> commands = {set,
                                       {DIM_CMD_GET_PRESET_TIME, 0, 0, 99},
                                       {DIM_CMD_GET_RACK_STATUS, 0, 4, 0, 0, 5, 6, 7},
                                       {DIM_CMD_GET_PRESET, 0, 1, 0, 95}};
  uint32_t req = 100;
  for (const Bytes& cmd : commands) {
    SCOPED_TRACE(static_cast<int>(cmd[0]));
    const sim::RackAnswer want = model.Exchange(cmd);
    ASSERT_EQ(want.kind, sim::AnswerKind::Reply);
    RackMsg* got = Exchange(7, ++req, cmd);
    ASSERT_NE(got, nullptr) << Log();
    EXPECT_EQ(got->Rcode, 0);
    EXPECT_EQ(Bytes(got->response, got->response + got->responseLength), want.reply);
  }

  // The node bends its answers: a second START is ignored, a REPORT past
  // its length and more than 1024 packed bytes come back as errors with no
  // response; the port goes on.
  const Bytes status = {DIM_CMD_GET_RACK_STATUS, 0, 4, 0, 0, 5, 6, 7};
  const Bytes statusReply = model.Exchange(status).reply;
  const struct {
    const char* knob;
    uint16_t rcode;
  } bent[] = {{"abuse dup-start", 0},
              {"abuse long-report", RC_INVALID_RESPONSE},
              {"abuse oversize", RC_RESPONSE_TOO_LARGE},
              {"abuse none", 0}};
  for (const auto& knob : bent) {
    SCOPED_TRACE(knob.knob);
    ASSERT_TRUE(a.Command(knob.knob));
    RackMsg* got = Exchange(7, ++req, status);
    ASSERT_NE(got, nullptr) << Log();
    EXPECT_EQ(got->Rcode, knob.rcode);
    EXPECT_EQ(Bytes(got->response, got->response + got->responseLength),
              knob.rcode == 0 ? statusReply : Bytes{});
  }
  EXPECT_NE(Log().find("Duplicate IO_KRN_EVNT_START from node " + kSimAText + " ignored."),
            std::string::npos);

  // A broadcast on port slot 0 of node 1 is confirmed without data.
  {
    RackMsg* m = AllocRackMsg();
    m->Rack = kRackAll;
    m->ReqNum = 200;
    m->nodeId = 1;
    m->portSlot = 0;
    const Bytes on = {DIM_CMD_PRESET_ON, 0, 3};
    std::copy(on.begin(), on.end(), m->command);
    m->sendLength = 3;
    ASSERT_TRUE(SendRackMsg(m));
    ASSERT_TRUE(RunUntil([&] { return done_.count(200) != 0; }, 20000)) << Log();
    EXPECT_EQ(done_[200]->Rcode, 0);
    EXPECT_EQ(done_[200]->responseLength, 0);
    EXPECT_EQ(done_[200]->Rack, kRackBroadcast);
  }

  // A silent rack: link code 0x10 and one rack-down.
  ASSERT_TRUE(b.Command("rack-silent 9"));
  RackMsg* silent = Exchange(9, 300, {DIM_CMD_GET_RACK_STATUS, 0, 1, 0, 0});
  ASSERT_NE(silent, nullptr) << Log();
  EXPECT_EQ(silent->Rcode, 0x10);
  EXPECT_EQ(std::count(rackDown_.begin(), rackDown_.end(), 9u), 1);
  EXPECT_EQ(comm_.FindRack(9)->flags & RACK_FLAG_UP, 0);

  // An answer held past 15 s: the message times out and the node's
  // connection is built again.
  ASSERT_TRUE(b.Command("rack-speak 9"));
  ASSERT_TRUE(b.Command("abuse hold"));
  RackMsg* held = Exchange(9, 301, {DIM_CMD_GET_RACK_STATUS, 0, 1, 0, 0}, 30000);
  ASSERT_NE(held, nullptr) << Log();
  EXPECT_EQ(held->Rcode, RC_TIMEOUT);
  EXPECT_NE(Log().find(kSimBText + ": Error: Timeout waiting for response on port 2."),
            std::string::npos);

  for (auto& [n, m] : done_) FreeRackMsg(m);
  done_.clear();
}

}  // namespace
