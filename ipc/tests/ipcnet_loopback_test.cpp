// The datagram layer over real UDP sockets on loopback: two library
// instances in this process, each with its own 127.0.5.x address, talk over
// their link sockets (node-0 sockets are not opened, so the test shares no
// port with other suites).  Time is still the fake clock; the kernel
// delivers loopback datagrams before sendto returns.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ipc_fixture.h"
#include "ipcinst.h"
#include "ipcnet.h"
#include "ipcnetdb.h"
#include "ipctcpip.h"
#include "net/posix.h"
#include "net_fixture.h"
#include "tessio32.h"

namespace {

using ipctest::InstanceDeleter;
using ipctest::kPeer;
using ipctest::SerialOf;
using ipctest::Side;
using ipctest::TestEvnt;
using ipctest::TimeOfMs;

constexpr uint32_t kLoA = 0x7F00052Du;  // 127.0.5.45
constexpr uint32_t kLoB = 0x7F00052Eu;  // 127.0.5.46

class Loopback : public ::testing::Test {
 protected:
  void SetUp() override {
    Start(a_, "LOA", kLoA, kLoB);
    Start(b_, "LOB", kLoB, kLoA);
    On(a_, [] { ASSERT_TRUE(ipc::IpcNetLinkOpen(kPeer)); });
    On(b_, [] { ASSERT_TRUE(ipc::IpcNetLinkOpen(kPeer)); });
  }
  void TearDown() override {
    On(a_, [] { IpcTerm(); });
    On(b_, [] { IpcTerm(); });
  }

  template <typename F>
  void On(Side& s, F f) {
    ipc::ScopedInstance use(s.inst.get());
    IpcCurrentTime = TimeOfMs(nowMs_);
    f();
  }

  void Start(Side& s, const char* name, uint32_t addr, uint32_t peer) {
    s.name = name;
    s.inst.reset(ipc::NewInstance());
    On(s, [&] {
      IpcInit();
      ipc::IpcTcpIpBackendSet(&backend_);
      ASSERT_EQ(IpcNetNodeInfoCreate(0, name, addr, 20), 0);
      ipc::IpcNetNodeStatusSet(0, IPC_NODE_STATUS_ONLINE);
      IpcNetTcpIpInitDriver();
      ASSERT_TRUE(IpcNetTcpIpIsInitOk());
      ASSERT_EQ(IpcNetNodeInfoCreate(kPeer, "PEER", peer, 5), kPeer);
      IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, IPC_HOST_KIND_LOCAL, 1, kPeer, 0, 0, 0, 0);
      ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, &ipctest::RecordEvnt, "1.3c", &s.evntClnt,
                                  reinterpret_cast<intptr_t>(&s)),
                0);
    });
  }

  void Poll(Side& s) {
    On(s, [] {
      IpcNetDespatch();
      for (int i = 0; i < 30 && IpcEvntDespatch(); ++i) {
      }
    });
  }

  net::PosixBackend backend_;
  uint64_t nowMs_ = 3 * 60000 + 4567;
  Side a_, b_;
};

TEST_F(Loopback, EventsOfEverySizeArriveOnceAndInOrderBothWays) {
  const uint16_t sizes[] = {18, 22, 40, 75, 76, 200, 399, 400, 1000, 1250};
  constexpr uint32_t kRounds = 30;
  uint32_t serial = 0;
  for (uint32_t r = 0; r < kRounds; ++r) {
    for (uint16_t len : sizes) {
      const auto e = TestEvnt(len < 22 ? 22 : len, serial++);
      On(a_, [&] { ASSERT_EQ(ipc::IpcNetEvntSend(kPeer, reinterpret_cast<const IpcEvntHdr*>(e.data())), 1); });
      On(b_, [&] { ASSERT_EQ(ipc::IpcNetEvntSend(kPeer, reinterpret_cast<const IpcEvntHdr*>(e.data())), 1); });
    }
    for (int i = 0; i < 20000 && (a_.received.size() < serial || b_.received.size() < serial); ++i) {
      nowMs_ += 1;
      Poll(a_);
      Poll(b_);
    }
  }
  for (Side* s : {&a_, &b_}) {
    SCOPED_TRACE(s->name);
    ASSERT_EQ(s->received.size(), serial);
    for (uint32_t i = 0; i < serial; ++i) ASSERT_EQ(SerialOf(s->received[i]), i);
  }
  On(a_, [] { EXPECT_EQ(ipc::IpcNetCountersGet().givenUp, 0u); });
}

}  // namespace
