// The comm thread's IO_FTP messages: a job is refused at once for a node
// that cannot take it, and a job still queued when the loop ends goes back
// to the frame, never lost.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "CommTestSupport.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "RcCodes.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "platform/time/fake_clock.h"

namespace {

constexpr uint32_t kNodeAddress = 0x7F000006;

struct Rig {
  Rig() : log(clock, dir.path()), identity("lab", 0x7F000005) {
    comm = std::make_unique<CIpcComm>();
    comm->SetPorts({&lib, &clock, &identity, &box, msgq::TimerMode::Manual});
  }
  ~Rig() { comm.reset(); }
  // Each job that came back: (node id, Rcode).
  std::vector<std::pair<uint32_t, uint16_t>> Returned() {
    std::vector<std::pair<uint32_t, uint16_t>> out;
    for (const msgq::Msg& m : frame.TakeAll()) {
      if (m.message == WM_DOC_FTP_DONE) {
        auto* job = reinterpret_cast<IoFtpRequest*>(m.lParam);
        out.emplace_back(job->nodeId, job->Rcode);
      }
      FrameQueue::Free(m);
    }
    return out;
  }
  IoFtpRequest* Job(uint32_t nodeId) {
    auto* r = new IoFtpRequest;
    r->nodeId = nodeId;
    return r;
  }

  FlagGuard flags;
  TempDir dir;
  platform::time::FakeClock clock;
  LogBuffer log;
  FakeCommLibrary lib;
  FakeIdentity identity;
  RecordingMessageBox box;
  FrameQueue frame;
  std::unique_ptr<CIpcComm> comm;
};

TEST(CommFtpMessages, JobsForAbsentOrUnreachableNodesComeBackAtOnce) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  NodeDesc d{3, kNodeAddress, nullptr, {}};
  ASSERT_TRUE(PostToCommWnd(WM_IPC_ADD_NODE, 0, reinterpret_cast<intptr_t>(&d)));
  ASSERT_TRUE(PostIoFtpRequest(rig.Job(3)));   // node Unknown
  ASSERT_TRUE(PostIoFtpRequest(rig.Job(44)));  // no such node
  rig.comm->Pump();
  EXPECT_EQ(rig.Returned(), (std::vector<std::pair<uint32_t, uint16_t>>{
                                {3, RC_NODE_OFFLINE}, {44, RC_NO_NODE_FOR_RACK}}));
  EXPECT_EQ(rig.comm->FindNode(3)->ftpHead, nullptr);
  rig.comm->EndInline();
}

TEST(CommFtpMessages, QueuedJobsGoBackFlushedWhenTheLoopEnds) {
  Rig rig;
  rig.lib.addrIndex = 0;  // this PC: connecting needs no net handles
  rig.lib.linkStatus = IPC_LINK_STATUS_OK;
  ASSERT_TRUE(rig.comm->StartInline());
  NodeDesc d{3, kNodeAddress, nullptr, {}};
  ASSERT_TRUE(PostToCommWnd(WM_IPC_ADD_NODE, 0, reinterpret_cast<intptr_t>(&d)));
  rig.comm->Pump();
  ASSERT_TRUE(msgq::FireTimer(g_hCommWnd.load(), CIpcComm::kTimerId));
  rig.comm->Pump();
  ASSERT_EQ(rig.comm->FindNode(3)->state, static_cast<uint32_t>(NODE_STATE_CONNECTING));
  ASSERT_TRUE(PostIoFtpRequest(rig.Job(3)));
  ASSERT_TRUE(PostIoFtpRequest(rig.Job(3)));
  rig.comm->Pump();
  EXPECT_TRUE(rig.Returned().empty());
  // One more waits in the queue of the comm window when the loop ends.
  ASSERT_TRUE(PostIoFtpRequest(rig.Job(3)));
  rig.comm->EndInline();
  EXPECT_EQ(rig.Returned(), (std::vector<std::pair<uint32_t, uint16_t>>{
                                {3, RC_FLUSHED}, {3, RC_FLUSHED}, {3, RC_FLUSHED}}));
}

// A job lent to the UI thread for a file read, left on a frame that goes:
// its local file is closed, and it goes back to the comm thread (which
// ends it flushed), or, with no comm thread and no frame, it is freed
// (the sanitizer build tells a leaked job).
TEST(CommFtpMessages, LentJobLeftByAClosingFrameIsClosedAndHandedBackNotLost) {
  Rig rig;
  ASSERT_TRUE(rig.comm->StartInline());
  IoFtpRequest* job = rig.Job(44);
  job->lent = true;
  job->file.fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(job->file.fd, 0);
  const int fd = job->file.fd;
  IoFtpAbandonLent(job);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the local file is closed";
  rig.comm->Pump();
  EXPECT_EQ(rig.Returned(), (std::vector<std::pair<uint32_t, uint16_t>>{{44, RC_FLUSHED}}));
  rig.comm->EndInline();

  // Nothing left to take it.
  ASSERT_FALSE(g_hCommWnd.load());
  g_hFrameWnd.store(msgq::Handle{});
  job = rig.Job(45);
  job->lent = true;
  job->file.fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(job->file.fd, 0);
  const int fd2 = job->file.fd;
  IoFtpAbandonLent(job);
  EXPECT_EQ(::fcntl(fd2, F_GETFD), -1);
}

}  // namespace
