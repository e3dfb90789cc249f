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

#include <vector>

#include "CommInlineHarness.h"
#include "DirectSerial.h"
#include "DirectService.h"
#include "RcCodes.h"
#include "SerialRack.h"
#include "platform/serial/fake.h"

namespace {

// This PC's address for the run, 127.2.K.1.
const uint32_t kPcAddr = RunNetwork(0x7F020001u);

class SerialRackComm : public CommRackHarness {
 protected:
  void SetUp() override {
    Prepare(Dotted(kPcAddr));
    // COM1 is a fake line with racks 5 and 6 on it.
    fake_.Line(1).onWrite = [this](std::span<const uint8_t> b) { fake_.Line(1).Feed(racks_.Receive(b)); };
    DirectSerialUseBackend(&fake_);
    DirectLinkServiceReset();
    Start();
  }
  void TearDown() override {
    CommRackHarness::TearDown();
    DirectLinkServiceReset();
    DirectSerialReset();
    DirectSerialUseBackend(nullptr);
  }
  RackMsg* Exchange(uint32_t rack, uint32_t reqNum, const Bytes& command) {
    return CommRackHarness::Exchange(rack, reqNum, command, 30000);
  }

  serial::FakeBackend fake_;
  serialrack::SerialRack racks_{{5, 6}, sim::RackModel::Config{}};
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
