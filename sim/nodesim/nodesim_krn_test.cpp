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
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "CommTestSupport.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "PeerProcess.h"
#include "RackCommands.h"
#include "RackModel.h"
#include "RcCodes.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "ipcnetdb.h"
#include "platform/time/clock.h"

namespace {

// Addresses of this run: 127.1.K.1 (this PC), .2 and .3, with K from the
// process id, so that runs side by side do not share them.
const uint32_t kNet = 0x7F010000u | ((static_cast<uint32_t>(getpid()) % 250u + 1u) << 8);
std::string Dotted(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}
const uint32_t kAddrA = kNet | 2, kAddrB = kNet | 3;
const std::string kPcText = Dotted(kNet | 1), kSimAText = Dotted(kAddrA), kSimBText = Dotted(kAddrB);
const char* const kPc = kPcText.c_str();
const char* const kSimA = kSimAText.c_str();
const char* const kSimB = kSimBText.c_str();

using Bytes = std::vector<uint8_t>;

struct Sim {
  ipcpeer::PeerProcess process;
  bool Start(const char* name, const char* addr, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--name", name, "--addr", addr, "--peers", kPc, "--period", "20"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!process.Start(NODESIM_PATH, args)) return false;
    for (int i = 0; i < 5; ++i) {
      const std::string line = process.ReadLine(10000);
      if (line.rfind("ready", 0) == 0) return true;
      if (line.empty()) return false;
    }
    return false;
  }
  bool Command(const std::string& cmd) {
    if (!process.Send(cmd)) return false;
    // Answered with its first word; trace lines come before.
    const std::string ok = "ok " + cmd.substr(0, cmd.find(' '));
    for (int i = 0; i < 100000; ++i) {
      const std::string line = process.ReadLine(10000);
      if (line == ok) return true;
      if (line.empty()) return false;
    }
    return false;
  }
};

class NodesimKrn : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("DROVANA_NET_ADDR", kPc, 1);
    setenv("DROVANA_NET_BIND_OWN", "1", 1);
    setenv("DROVANA_NET_BCAST_TO", (std::string(kSimA) + "," + kSimB).c_str(), 1);
    g_bTimeStampLog = false;
    g_bIpcCommDebug = true;
    log_.AddObserver(&seen_);
    comm_.SetPorts({nullptr, nullptr, nullptr, &box_, msgq::TimerMode::Real});
    ASSERT_TRUE(comm_.StartInline());
  }
  void TearDown() override {
    comm_.EndInline();
    unsetenv("DROVANA_NET_ADDR");
    unsetenv("DROVANA_NET_BIND_OWN");
    unsetenv("DROVANA_NET_BCAST_TO");
  }

  void AddNode(uint32_t id, uint32_t addr, std::vector<uint8_t> ports) {
    NodeDesc d{id, addr, nullptr, {}};
    for (size_t s = 0; s < ports.size(); ++s) d.portFlags[s] = ports[s];
    ASSERT_TRUE(PostToCommWnd(WM_IPC_ADD_NODE, 0, reinterpret_cast<intptr_t>(&d)));
    comm_.Pump();
  }
  void AddRack(uint32_t node, uint32_t rack, uint8_t slot) {
    RackDesc d{node, rack, slot};
    ASSERT_TRUE(PostToCommWnd(WM_IPC_ADD_RACK, 0, reinterpret_cast<intptr_t>(&d)));
    comm_.Pump();
  }

  // The UI thread's side of what the comm thread posts.
  void HandleFrame() {
    for (const msgq::Msg& m : frame_.TakeAll()) {
      if (m.message == WM_DOC_MSG_DONE) {
        auto* msg = reinterpret_cast<RackMsg*>(m.lParam);
        if (msg->ReqNum == 0 && msg->Command() == DIM_CMD_SYNCH_FAULT_EVENTS) {
          ++syncs_[msg->Rack];
          if (msg->Rcode == 0 && msg->ReplyCommand() == DIM_CMD_SYNCH_FAULT_EVENTS)
            PostRackUp(msg->Rack);
          FreeRackMsg(msg);
        } else if (msg->ReqNum == 0 && msg->Command() == DIM_CMD_GET_RACK_STATUS &&
                   msg->command[4] == 10) {
          ++versions_[msg->Rack];
          if (msg->Rcode == 0 && msg->responseLength >= 18) SetRackVersion(msg->Rack, msg->response + 2);
          FreeRackMsg(msg);
        } else {
          done_[msg->ReqNum] = msg;
        }
      } else if (m.message == WM_DOC_RACK_EVENT) {
        auto* msg = reinterpret_cast<RackMsg*>(m.lParam);
        ++pollEvents_[msg->Rack];
        FreeRackMsg(msg);
      } else if (m.message == WM_DOC_RACK_STATUS) {
        rackDown_.push_back(static_cast<uint32_t>(m.lParam));
      }
    }
  }
  bool RunUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      comm_.Pump();
      HandleFrame();
      usleep(1000);
    }
    return true;
  }
  bool Up(uint32_t rack) {
    const RackEntry* r = comm_.FindRack(rack);
    return r != nullptr && (r->flags & RACK_FLAG_UP) != 0 && (r->flags & RACK_FLAG_VERSION) != 0;
  }
  // Sends a command to the rack as the test's request reqNum; waits for it.
  RackMsg* Exchange(uint32_t rack, uint32_t reqNum, const Bytes& command, int timeoutMs = 20000) {
    RackMsg* m = AllocRackMsg();
    m->Rack = rack;
    m->ReqNum = reqNum;
    std::copy(command.begin(), command.end(), m->command);
    m->sendLength = static_cast<int32_t>(command.size());
    EXPECT_TRUE(SendRackMsg(m));
    if (!RunUntil([&] { return done_.count(reqNum) != 0; }, timeoutMs)) return nullptr;
    return done_[reqNum];
  }
  std::string Log() const { return seen_.text(); }

  FlagGuard flags_;
  TempDir dir_;
  LogBuffer log_{platform::time::SystemClock(), dir_.path()};
  RecordingObserver seen_;
  RecordingMessageBox box_;
  FrameQueue frame_;
  CIpcComm comm_;
  std::map<uint32_t, int> syncs_, versions_, pollEvents_;
  std::map<uint32_t, RackMsg*> done_;
  std::vector<uint32_t> rackDown_;
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
