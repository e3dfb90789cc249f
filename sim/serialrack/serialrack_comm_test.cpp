// Racks on the PC's own serial line end to end: the comm thread over the
// real library reaches a node whose address is this PC through the local
// direct-connect IO_KRN service, and the service's link talks to racks on
// a fake COM1.  The racks are polled, come up through command 57 and the
// version request, and answer rack messages like their models; a silent
// rack comes back with link code 0x10.
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
#include "DirectSerial.h"
#include "DirectService.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "RackCommands.h"
#include "RcCodes.h"
#include "SerialRack.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "platform/serial/fake.h"
#include "platform/time/clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

// This PC's address for the run, 127.2.K.1 with K from the process id.
const uint32_t kPcAddr = 0x7F020001u | ((static_cast<uint32_t>(getpid()) % 250u + 1u) << 8);
std::string Dotted(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}

class SerialRackComm : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("DROVANA_NET_ADDR", Dotted(kPcAddr).c_str(), 1);
    setenv("DROVANA_NET_BIND_OWN", "1", 1);
    g_bTimeStampLog = false;
    g_bIpcCommDebug = true;
    log_.AddObserver(&seen_);
    // COM1 is a fake line with racks 5 and 6 on it.
    fake_.Line(1).onWrite = [this](std::span<const uint8_t> b) { fake_.Line(1).Feed(racks_.Receive(b)); };
    DirectSerialUseBackend(&fake_);
    DirectLinkServiceReset();
    comm_.SetPorts({nullptr, nullptr, nullptr, &box_, msgq::TimerMode::Real});
    ASSERT_TRUE(comm_.StartInline());
  }
  void TearDown() override {
    comm_.EndInline();
    DirectLinkServiceReset();
    DirectSerialReset();
    DirectSerialUseBackend(nullptr);
    unsetenv("DROVANA_NET_ADDR");
    unsetenv("DROVANA_NET_BIND_OWN");
  }

  void HandleFrame() {
    for (const msgq::Msg& m : frame_.TakeAll()) {
      if (m.message == WM_DOC_MSG_DONE) {
        auto* msg = reinterpret_cast<RackMsg*>(m.lParam);
        if (msg->ReqNum == 0 && msg->Command() == DIM_CMD_SYNCH_FAULT_EVENTS) {
          if (msg->Rcode == 0 && msg->ReplyCommand() == DIM_CMD_SYNCH_FAULT_EVENTS) PostRackUp(msg->Rack);
          FreeRackMsg(msg);
        } else if (msg->ReqNum == 0 && msg->Command() == DIM_CMD_GET_RACK_STATUS && msg->command[4] == 10) {
          ++versions_[msg->Rack];
          if (msg->Rcode == 0 && msg->responseLength >= 18) SetRackVersion(msg->Rack, msg->response + 2);
          FreeRackMsg(msg);
        } else {
          done_[msg->ReqNum] = msg;
        }
      } else if (m.message == WM_DOC_RACK_EVENT) {
        ++pollEvents_[reinterpret_cast<RackMsg*>(m.lParam)->Rack];
        FreeRackMsg(reinterpret_cast<RackMsg*>(m.lParam));
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
  RackMsg* Exchange(uint32_t rack, uint32_t reqNum, const Bytes& command) {
    RackMsg* m = AllocRackMsg();
    m->Rack = rack;
    m->ReqNum = reqNum;
    std::copy(command.begin(), command.end(), m->command);
    m->sendLength = static_cast<int32_t>(command.size());
    EXPECT_TRUE(SendRackMsg(m));
    if (!RunUntil([&] { return done_.count(reqNum) != 0; }, 30000)) return nullptr;
    return done_[reqNum];
  }

  FlagGuard flags_;
  TempDir dir_;
  LogBuffer log_{platform::time::SystemClock(), dir_.path()};
  RecordingObserver seen_;
  RecordingMessageBox box_;
  serial::FakeBackend fake_;
  serialrack::SerialRack racks_{{5, 6}, sim::RackModel::Config{}};
  FrameQueue frame_;
  CIpcComm comm_;
  std::map<uint32_t, int> versions_, pollEvents_;
  std::map<uint32_t, RackMsg*> done_;
  std::vector<uint32_t> rackDown_;
};

TEST_F(SerialRackComm, RacksOnComOneComeUpAnswerAndASilentOneEndsInNoResponse) {
  NodeDesc node{1, kPcAddr, nullptr, {}};
  node.portFlags[2] = 1;  // slot 2: COM1
  ASSERT_TRUE(PostToCommWnd(WM_IPC_ADD_NODE, 0, reinterpret_cast<intptr_t>(&node)));
  comm_.Pump();
  for (uint32_t rack : {5u, 6u}) {
    RackDesc r{1, rack, 2};
    ASSERT_TRUE(PostToCommWnd(WM_IPC_ADD_RACK, 0, reinterpret_cast<intptr_t>(&r)));
    comm_.Pump();
  }
  ASSERT_TRUE(RunUntil([&] { return Up(5) && Up(6); }, 40000)) << seen_.text();
  EXPECT_EQ(versions_[5], 1);
  ASSERT_TRUE(RunUntil([&] { return pollEvents_[5] >= 1; }, 20000)) << "polled and answered";

  sim::RackModel::Config c;
  c.rackNumber = 6;
  sim::RackModel twin(c);
  const Bytes status = {DIM_CMD_GET_RACK_STATUS, 0, 4, 0, 0, 5, 6, 7};
  const sim::RackAnswer want = twin.Exchange(status);
  RackMsg* got = Exchange(6, 100, status);
  ASSERT_NE(got, nullptr) << seen_.text();
  EXPECT_EQ(got->Rcode, 0);
  EXPECT_EQ(Bytes(got->response, got->response + got->responseLength), want.reply);
  FreeRackMsg(got);

  racks_.SetSilent(6, true);
  got = Exchange(6, 101, status);
  ASSERT_NE(got, nullptr) << seen_.text();
  EXPECT_EQ(got->Rcode, IO_KRN_NO_RESPONSE);
  FreeRackMsg(got);
  for (auto& [req, msg] : done_)
    if (req != 100 && req != 101) FreeRackMsg(msg);
}

}  // namespace
