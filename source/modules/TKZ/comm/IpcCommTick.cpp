// The comm thread's 100 ms tick, shutdown and the delay queue.
#include "Comm.h"
#include "DisplayFlags.h"
#include "IpcComm.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "ThreadMsgs.h"

int64_t CIpcComm::NowSeconds() const { return m_pClock->MonotonicMs() / 1000; }

size_t CIpcComm::DelayQueueLength() const {
  size_t n = 0;
  for (const RackMsg* m = m_pDelayHead; m != nullptr; m = m->link) ++n;
  return n;
}

void CIpcComm::ReturnMsg(RackMsg* msg) {
  if (!msgq::PostMessage(g_hFrameWnd.load(), WM_DOC_MSG_DONE, 0, reinterpret_cast<intptr_t>(msg)))
    FreeRackMsg(msg);
}

void CIpcComm::PostNodeStatus(bool online, uint32_t nodeId) {
  msgq::PostMessage(g_hFrameWnd.load(), WM_DOC_NODE_STATUS, online ? 1 : 0,
                    static_cast<intptr_t>(nodeId));
}

void CIpcComm::PostRackEvent(RackMsg* msg) {
  if (!msgq::PostMessage(g_hFrameWnd.load(), WM_DOC_RACK_EVENT, 0, reinterpret_cast<intptr_t>(msg)))
    FreeRackMsg(msg);
}

void CIpcComm::PostRackStatus(uint32_t rack) {
  msgq::PostMessage(g_hFrameWnd.load(), WM_DOC_RACK_STATUS, 0, static_cast<intptr_t>(rack));
}

void CIpcComm::SendSyncFaultEvents(uint32_t rack) { ::SendSyncFaultEvents(rack); }

void CIpcComm::OnDelayMsg(RackMsg* msg) {
  if (g_bIpcCommDebug)
    LogPrintfQueued("Delaying for %d seconds (pMsg->Rack = %d)\n", msg->delay,
                    static_cast<int>(msg->Rack));
  msg->dueTime = NowSeconds() + msg->delay;
  msg->link = nullptr;
  if (m_pDelayTail != nullptr)
    m_pDelayTail->link = msg;
  else
    m_pDelayHead = msg;
  m_pDelayTail = msg;
}

void CIpcComm::OnTimer() {
  if (m_pDelayHead != nullptr) {
    const int64_t now = NowSeconds();
    RackMsg* prev = nullptr;
    for (RackMsg* m = m_pDelayHead; m != nullptr;) {
      RackMsg* next = m->link;
      if (m->dueTime <= now) {
        if (prev != nullptr)
          prev->link = next;
        else
          m_pDelayHead = next;
        if (m_pDelayTail == m) m_pDelayTail = prev;
        m->link = nullptr;
        if (g_bIpcCommDebug)
          LogPrintfQueued("Delay complete (pMsg->Rack = %d)\n", static_cast<int>(m->Rack));
        ReturnMsg(m);
      } else {
        prev = m;
      }
      m = next;
    }
  }

  const uint32_t online = m_Nodes.Tick();
  m_Nodes.RetryHeld();
  m_Ftp.Tick();
  m_nNodesOnline.store(online, std::memory_order_relaxed);

  if ((m_nFlags.load() & kFlagShuttingDown) != 0 && online == 0) {
    msgq::PostMessage(g_hFrameWnd.load(), WM_DOC_COMM_STOPPED, 0, 0);
    m_nFlags.fetch_and(~(kFlagRunning | kFlagShuttingDown));
    if (m_pWindow && m_bTimerSet) msgq::KillTimer(m_pWindow->handle(), kTimerId);
    m_bTimerSet = false;
  }
}

void CIpcComm::OnShutdown() {
  LogPrintfQueued("Shutting down communications, please wait.\n");
  m_nFlags.fetch_or(kFlagShuttingDown);
  m_Nodes.BeginShutdown();
  for (uint32_t id : m_Nodes.NodeIds()) {
    NodeEntry* node = Node(id);
    if (node != nullptr && node->ftpHead != nullptr) FlushIoFtpQueue(node);
  }
  LogPrintfQueued("Closing log file...\n");
  // Off this thread the sink queues the switch behind the lines before it:
  // the UI thread closes the day file when it drains them.
  SetLogToDisk(false);
}
