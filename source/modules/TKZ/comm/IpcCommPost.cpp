// The thread messages: the comm thread's message table, the post functions
// of the other threads and the three synchronous calls.
#include "DisplayFlags.h"
#include "IpcComm.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "ThreadMsgs.h"

bool PostToCommWnd(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return msgq::PostMessage(g_hCommWnd.load(), message, wParam, lParam);
}

void InstallRackMsgPoster() {
  SetPostToComm([](uint32_t id, uintptr_t wParam, RackMsg* msg) {
    return PostToCommWnd(id, wParam, reinterpret_cast<intptr_t>(msg));
  });
}

bool PostIoFtpRequest(IoFtpRequest* request) {
  return PostToCommWnd(WM_IPC_FTP_REQUEST, 0, reinterpret_cast<intptr_t>(request));
}

bool CommDisconnectNode(uint32_t nodeId) {
  return PostToCommWnd(WM_IPC_DISCONNECT_NODE, 0, static_cast<intptr_t>(nodeId));
}

bool PostRackUp(uint32_t rack) {
  return PostToCommWnd(WM_IPC_RACK_UP, 0, static_cast<intptr_t>(rack));
}

bool SetRackVersion(uint32_t rack, const uint8_t* versionBytes) {
  if (versionBytes == nullptr) return false;
  auto* set = new RackVersionSet;
  set->rack = rack;
  std::copy(versionBytes, versionBytes + kRackVersionBytes, set->bytes);
  if (PostToCommWnd(WM_IPC_RACK_VERSION_SET, 0, reinterpret_cast<intptr_t>(set))) return true;
  delete set;
  return false;
}

bool PostCommShutdown() { return PostToCommWnd(WM_IPC_SHUTDOWN, 0, 0); }

bool CommLoadPhase(uint32_t flags) { return theIpcComm.CommLoadPhase(flags); }
bool CommAddNode(const NodeDesc* desc) { return theIpcComm.CommAddNode(desc); }
bool CommAddRack(const RackDesc* desc) { return theIpcComm.CommAddRack(desc); }

bool CIpcComm::WaitForSync(uint32_t message, intptr_t lParam) {
  // Without a running loop nobody would ever answer.
  if (!m_bThreadRunning.load() || !m_pEvent) return false;
  const uint64_t before = m_nSyncDone.load();
  if (!PostToCommWnd(message, 0, lParam)) return false;
  // Set after the handler, and once more when the loop ends.
  m_pEvent->Wait();
  return m_nSyncDone.load() > before;
}

void CIpcComm::SyncDone() {
  m_nSyncDone.fetch_add(1);
  if (m_pEvent) m_pEvent->Set();
}

bool CIpcComm::CommLoadPhase(uint32_t flags) {
  return WaitForSync(WM_IPC_LOAD_PHASE, static_cast<intptr_t>(flags));
}

bool CIpcComm::CommAddNode(const NodeDesc* desc) {
  if (desc == nullptr) return false;
  return WaitForSync(WM_IPC_ADD_NODE, reinterpret_cast<intptr_t>(desc));
}

bool CIpcComm::CommAddRack(const RackDesc* desc) {
  if (desc == nullptr) return false;
  return WaitForSync(WM_IPC_ADD_RACK, reinterpret_cast<intptr_t>(desc));
}

void CIpcComm::Dispatch(const msgq::Msg& msg) {
  m_bPolledLast = false;
  ++m_nRun;
  const intptr_t l = msg.lParam;
  switch (msg.message) {
    case msgq::WM_TIMER:
      if (msg.wParam != kTimerId) break;
      m_nTimerMsgs.fetch_add(1, std::memory_order_relaxed);
      OnTimer();
      break;
    case WM_IPC_FTP_CONTINUE:
      OnIoFtpContinue(reinterpret_cast<IoFtpRequest*>(l));
      break;
    case WM_IPC_FTP_FORWARD:
      ForwardIoFtpResult(reinterpret_cast<IoFtpRequest*>(l));
      break;
    case WM_IPC_FTP_REQUEST:
      OnIoFtpRequest(reinterpret_cast<IoFtpRequest*>(l));
      break;
    case WM_IPC_NET_STATS:
      ReportNetStats();
      break;
    case WM_IPC_RACK_TABLE:
      ReportRacks();
      break;
    case WM_IPC_SEND_MSG:
      if (l != 0) OnSendMsg(reinterpret_cast<RackMsg*>(l));
      // A message queued on an idle port goes out before the thread sleeps:
      // now, or after the posts that wait (with theirs).
      if (!PostsWaiting()) Poll();
      break;
    case WM_IPC_SHUTDOWN:
      OnShutdown();
      break;
    case WM_IPC_NODE_LIST:
      ReportNodes();
      break;
    case WM_IPC_SOCKET:
      // Its arrival ended the wait; the next poll reads the socket.
      m_nSocketMsgs.fetch_add(1, std::memory_order_relaxed);
      break;
    case WM_IPC_RACK_VERSIONS:
      ReportRackVersions();
      break;
    case WM_IPC_RACK_UP:
      OnRackUp(static_cast<uint32_t>(l));
      break;
    case WM_IPC_RACK_VERSION_SET:
      if (l != 0) {
        std::unique_ptr<RackVersionSet> set(reinterpret_cast<RackVersionSet*>(l));
        OnRackVersionSet(*set);
      }
      break;
    case WM_IPC_LOAD_PHASE:
      OnLoadPhase(static_cast<uint32_t>(l));
      SyncDone();
      break;
    case WM_IPC_ADD_NODE:
      if (l != 0) OnAddNode(*reinterpret_cast<const NodeDesc*>(l));
      SyncDone();
      break;
    case WM_IPC_ADD_RACK:
      if (l != 0) OnAddRack(*reinterpret_cast<const RackDesc*>(l));
      SyncDone();
      break;
    case WM_IPC_DISCONNECT_NODE:
      OnDisconnectNode(static_cast<uint32_t>(l));
      break;
    case WM_IPC_LOAD_LEARN:
      if (l != 0) OnLoadLearn(reinterpret_cast<RackMsg*>(l), static_cast<int>(msg.wParam));
      break;
    case WM_IPC_DELAY_MSG:
      if (l != 0) OnDelayMsg(reinterpret_cast<RackMsg*>(l));
      break;
    default:
      // Not one of ours: dropped.
      break;
  }
}
