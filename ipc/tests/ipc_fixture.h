// Test fixture of the library: a fresh library instance, made current, with
// IpcInit run and the stand-ins' recorder cleared; and readers of the error
// reports that reached the log server.
#ifndef IPC_TESTS_IPC_FIXTURE_H
#define IPC_TESTS_IPC_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "ipcdrhst.h"
#include "ipcinst.h"
#include "tessio32.h"

namespace ipctest {

// Records every event the library raises in the instance's recorder (the
// first bytes of each), before it goes into the event ring.
inline void RecordRaised(const IpcEvntHdr* event, uint8_t, uint8_t) {
  IpcStubState& s = ipc::Cur().stubs;
  if (s.callCount < IpcStubState::kMaxCalls) {
    s.calls[s.callCount++] = IpcStubCall{IpcStubOp::kEvntRaise, 0, event->evntCode};
  } else {
    ++s.callsDropped;
  }
  if (s.reportOnRaise) IpcLogError(IPC_SEV_ARG, IPC_SVR_LOG, 1, IPC_ERR_EVNT_CODE, "ipcdrhst.c", 1);
  if (s.evntCount < IpcStubState::kMaxEvnts) {
    const size_t n = std::min<size_t>(event->length, IpcStubState::kEvntBytes);
    std::memset(s.evnts[s.evntCount], 0, IpcStubState::kEvntBytes);
    std::memcpy(s.evnts[s.evntCount], event, n);
    ++s.evntCount;
  }
}

// Installed for every test of a program that includes this header.
inline const bool kRecordRaisedInstalled = (ipc::IpcEvntRaiseTapInstall(&RecordRaised), true);

// The reports raised since the recorder was last cleared, oldest first;
// a report about a received datagram also names its sender (length 40,
// sender 0 in the others).
inline std::vector<IpcLogEvntFrom> ReportsFrom() {
  std::vector<IpcLogEvntFrom> out;
  const IpcStubState& s = ipc::Cur().stubs;
  for (int i = 0; i < s.evntCount; ++i) {
    IpcLogEvntFrom e;
    std::memcpy(&e, s.evnts[i], sizeof e);
    const uint16_t length = e.report.hdr.length;
    if (e.report.hdr.svrType != IPC_SVR_LOG) continue;
    if (length == IPC_LOG_EVNT_LEN) {
      e.fromAddr = 0;
      e.fromPort = 0;
    } else if (length != IPC_LOG_EVNT_FROM_LEN) {
      continue;
    }
    out.push_back(e);
  }
  return out;
}

inline std::vector<IpcLogEvnt> Reports() {
  std::vector<IpcLogEvnt> out;
  for (const IpcLogEvntFrom& e : ReportsFrom()) out.push_back(e.report);
  return out;
}

// Takes the reports (and clears the recorder).
inline std::vector<IpcLogEvnt> TakeReports() {
  std::vector<IpcLogEvnt> out = Reports();
  ipc::IpcStubClear();
  return out;
}

struct InstanceDeleter {
  void operator()(ipc::Instance* inst) const { ipc::DeleteInstance(inst); }
};

// A fresh instance for each test, current while the test runs.
class LibFixture : public ::testing::Test {
 protected:
  LibFixture() : inst_(ipc::NewInstance()), use_(inst_.get()) {}
  void SetUp() override {
    IpcInit();
    ipc::IpcStubClear();
  }

  std::unique_ptr<ipc::Instance, InstanceDeleter> inst_;
  ipc::ScopedInstance use_;
};

}  // namespace ipctest

#endif
