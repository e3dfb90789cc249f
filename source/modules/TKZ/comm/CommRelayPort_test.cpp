// The UI thread's side of the rack up relay: a rack's accepted fault
// synchronisation reaches the comm thread's window as WM_IPC_RACK_UP with
// the rack number, and its version as WM_IPC_RACK_VERSION_SET.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Comm.h"
#include "CommRelayPort.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "RackCommands.h"
#include "RackMsg.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "msgqueue.h"
#include "platform/time/fake_clock.h"

namespace {

class RelayTest : public ::testing::Test {
 protected:
  RelayTest() : log_(clock_, dir_.path()) {
    g_bTimeStampLog = false;
    g_bDiskLogActive = false;
  }
  void SetUp() override {
    g_hCommWnd = queue_.handle();
    SetPostToComm([this](uint32_t, uintptr_t, RackMsg* m) {
      sent_.push_back(m);
      return true;
    });
    theComm.SetCommPort(&port_);
  }
  void TearDown() override {
    theComm.SetCommPort(nullptr);
    SetPostToComm({});
    g_hCommWnd = msgq::Handle{};
    for (RackMsg* m : sent_) FreeRackMsg(m);
  }

  TempDir dir_;
  FlagGuard flags_;
  platform::time::FakeClock clock_;
  LogBuffer log_;
  msgq::Queue queue_;
  IpcRackCommPort port_;
  std::vector<RackMsg*> sent_;
};

TEST_F(RelayTest, AnAcceptedFaultSyncPostsRackUpWithTheRackNumber) {
  SendSyncFaultEvents(256);
  ASSERT_EQ(sent_.size(), 1u);
  RackMsg* m = sent_.back();
  sent_.pop_back();
  m->response[0] = DIM_CMD_SYNCH_FAULT_EVENTS;
  m->responseLength = 2;
  RunRackMsgContinuation(m);  // frees the message

  msgq::Msg got;
  ASSERT_TRUE(msgq::PeekMessage(queue_.handle(), &got));
  EXPECT_EQ(got.message, WM_IPC_RACK_UP);
  EXPECT_EQ(got.lParam, 256);
  EXPECT_FALSE(msgq::PeekMessage(queue_.handle(), &got));

  // A failed synchronisation relays nothing.
  SendSyncFaultEvents(3);
  ASSERT_EQ(sent_.size(), 1u);
  m = sent_.back();
  sent_.pop_back();
  m->Rcode = 0x10;
  RunRackMsgContinuation(m);
  EXPECT_FALSE(msgq::PeekMessage(queue_.handle(), &got));
}

TEST_F(RelayTest, TheVersionGoesToTheCommThreadWithItsSixteenBytes) {
  RackVersion v;
  for (int i = 0; i < 16; ++i) v.bytes[i] = static_cast<uint8_t>(i + 1);
  ASSERT_TRUE(port_.PostRackVersionSet(9, v));
  msgq::Msg got;
  ASSERT_TRUE(msgq::PeekMessage(queue_.handle(), &got));
  EXPECT_EQ(got.message, WM_IPC_RACK_VERSION_SET);
  std::unique_ptr<RackVersionSet> set(reinterpret_cast<RackVersionSet*>(got.lParam));
  EXPECT_EQ(set->rack, 9u);
  EXPECT_EQ(set->bytes[0], 1);
  EXPECT_EQ(set->bytes[15], 16);
}

}  // namespace
