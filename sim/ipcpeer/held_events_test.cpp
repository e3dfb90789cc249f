// A server on the library that raises more answers than the event ring has
// room for loses none: what the ring cannot take is held and raised again,
// in order, after the next despatch of a poll.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Peer.h"
#include "ipcevnt.h"
#include "ipcinst.h"
#include "tessio32.h"

namespace {

std::vector<uint32_t> g_seen;

void OnEvent(const IpcEvntHdr* e, intptr_t) {
  uint32_t serial = 0;
  std::memcpy(&serial, reinterpret_cast<const uint8_t*>(e) + sizeof(IpcEvntHdr), 4);
  g_seen.push_back(serial);
}

int RaiseAnswer(uint32_t serial) {
  uint8_t buf[sizeof(IpcEvntHdr) + 4] = {};
  IpcEvntHdr h{};
  h.length = sizeof buf;
  h.evntCode = 300;
  h.svrType = IPC_SVR_IO_KRN;
  h.evntId = 1;
  h.hostHandle = 1;
  std::memcpy(buf, &h, sizeof h);
  std::memcpy(buf + sizeof h, &serial, 4);
  return ipcpeer::RaiseOrHold(reinterpret_cast<IpcEvntHdr*>(buf), 0, 0);
}

TEST(HeldEvents, AnswersBeyondTheRingAreHeldAndDeliveredInOrderByTheNextPolls) {
  ipc::Instance* inst = ipc::NewInstance();
  {
    ipc::ScopedInstance use(inst);
    IpcInit();
    static const uint8_t ids[] = {1};
    ASSERT_EQ(IpcSvrAndSvcCreate(IPC_SVR_IO_KRN, 1, "1.1", IPC_VERSION_DATE, 2, nullptr, 0, ids, 1),
              1);
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
    uint8_t h = 0;
    ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, &OnEvent, IPC_VERSION, &h, 0), 0);

    // 78 answers at once, as 6 datagrams of 13 requests bring them: the
    // ring takes 49.
    g_seen.clear();
    int held = 0;
    for (uint32_t i = 0; i < 78; ++i) held += RaiseAnswer(i) == IPC_EVNT_RING_FULL;
    EXPECT_EQ(held, 29);
    EXPECT_EQ(ipcpeer::HeldEvents(), 29u);
    EXPECT_EQ(ipc::IpcEvntQueued(), 49);
    // A later answer waits behind them even once there is room.
    ASSERT_TRUE(IpcEvntDespatch());
    EXPECT_EQ(RaiseAnswer(78), IPC_EVNT_RING_FULL);

    ipcpeer::Peer peer;  // a host that has not started networking still polls
    for (int i = 0; i < 5 && (ipcpeer::HeldEvents() > 0 || ipc::IpcEvntQueued() > 0); ++i) peer.Poll();
    ASSERT_EQ(g_seen.size(), 79u);
    for (uint32_t i = 0; i < 79; ++i) EXPECT_EQ(g_seen[i], i);
    IpcTerm();
  }
  ipc::DeleteInstance(inst);
}

}  // namespace
