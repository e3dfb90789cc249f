#include "ipcinst.h"

#include <gtest/gtest.h>

#include "tessio32.h"

namespace {

TEST(Instance, SwitchKeepsEachInstancesClockAndPeriod) {
  ipc::Instance* a = ipc::NewInstance();
  ipc::Instance* b = ipc::NewInstance();
  {
    ipc::ScopedInstance use_a(a);
    EXPECT_EQ(&ipc::Cur(), a);
    IpcCurrentTime = 0x11223344;
    IpcNetBcastPeriod = 50;
    {
      ipc::ScopedInstance use_b(b);
      EXPECT_EQ(&ipc::Cur(), b);
      EXPECT_EQ(IpcCurrentTime, 0u);
      EXPECT_EQ(IpcNetBcastPeriod, 0u);
      IpcCurrentTime = 7;
      IpcNetBcastPeriod = 10;
    }
    EXPECT_EQ(&ipc::Cur(), a);
    EXPECT_EQ(IpcCurrentTime, 0x11223344u);
    EXPECT_EQ(IpcNetBcastPeriod, 50u);
  }
  {
    ipc::ScopedInstance use_b(b);
    EXPECT_EQ(IpcCurrentTime, 7u);
    EXPECT_EQ(IpcNetBcastPeriod, 10u);
  }
  ipc::DeleteInstance(a);
  ipc::DeleteInstance(b);
}

TEST(Instance, CurrentInstanceIsNeverDeleted) {
  ipc::Instance* before = &ipc::Cur();
  ipc::DeleteInstance(before);  // refused: it is current
  EXPECT_EQ(&ipc::Cur(), before);
}

}  // namespace
