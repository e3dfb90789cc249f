// The comm thread's 100 ms tick, shutdown and the delay queue.
#include "DisplayFlags.h"
#include "IpcComm.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "ThreadMsgs.h"

int64_t CIpcComm::NowSeconds() const { return m_pClock->MonotonicMs() / 1000; }

std::vector<uint32_t> CIpcComm::NodeIds() const {
  // Handlers may delete entries; walks go over a copy of the ids and look
  // each entry up again.
  std::vector<uint32_t> ids;
  ids.reserve(m_NodeMap.size());
  for (const auto& [id, node] : m_NodeMap) ids.push_back(id);
  return ids;
}

NodeEntry* CIpcComm::Node(uint32_t nodeId) {
  auto it = m_NodeMap.find(nodeId);
  return it == m_NodeMap.end() ? nullptr : it->second.get();
}

RackEntry* CIpcComm::Rack(uint32_t rack) {
  auto it = m_RackMap.find(rack);
  return it == m_RackMap.end() ? nullptr : it->second.get();
}

const NodeEntry* CIpcComm::FindNode(uint32_t nodeId) const {
  auto it = m_NodeMap.find(nodeId);
  return it == m_NodeMap.end() ? nullptr : it->second.get();
}

const RackEntry* CIpcComm::FindRack(uint32_t rack) const {
  auto it = m_RackMap.find(rack);
  return it == m_RackMap.end() ? nullptr : it->second.get();
}

size_t CIpcComm::DelayQueueLength() const {
  size_t n = 0;
  for (const RackMsg* m = m_pDelayHead; m != nullptr; m = m->link) ++n;
  return n;
}

void CIpcComm::ReturnMsg(RackMsg* msg) {
  if (!msgq::PostMessage(g_hFrameWnd.load(), WM_DOC_MSG_DONE, 0, reinterpret_cast<intptr_t>(msg)))
    FreeRackMsg(msg);
}

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

  uint32_t online = 0;
  for (uint32_t id : NodeIds()) {
    NodeEntry* node = Node(id);
    if (node == nullptr) continue;
    if (node->countdown > 0) --node->countdown;
    if (node->ftpIdleCountdown > 0 && --node->ftpIdleCountdown == 0) IoFtpLogout(node);
    for (int slot = 0; slot < kPortSlots && (node = Node(id)) != nullptr; ++slot) {
      PortSlot& port = node->ports[slot];
      if (port.responseCountdown > 0 && --port.responseCountdown == 0) {
        LogPrintfQueued("%s: Error: Timeout waiting for response on port %d.\n", node->name,
                        slot - 1);
        FlushNode(node, RC_TIMEOUT);
        // Tear the connection down and build it again at once.
        node->flags |= NODE_FLAG_DISCONNECT | NODE_FLAG_RECONNECT | NODE_FLAG_RECONNECT_NOW;
      }
    }
    if ((node = Node(id)) == nullptr) continue;
    if (NodeStep(node) == NODE_STATE_ONLINE) ++online;
  }
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
  for (uint32_t id : NodeIds()) {
    NodeEntry* node = Node(id);
    if (node == nullptr) continue;
    node->flags |= NODE_FLAG_DISCONNECT;
    bool portClosed = false;
    const uint8_t idx = m_pLib->IpcNetNodeAddrExists(node->address);
    if (idx != 255 && m_pLib->IpcNetNodeLinkStatusGet(idx) == IPC_LINK_STATUS_OK) {
      for (int slot = 0; slot < kPortSlots; ++slot) {
        if ((node->ports[slot].flags & PORT_FLAG_OPEN) != 0) {
          ClosePort(node, slot);
          portClosed = true;
        }
      }
    }
    if (node->ftpHead != nullptr)
      FlushIoFtpQueue(node);
    else if ((node->flags & NODE_FLAG_FTP_LOCATED) != 0)
      IoFtpLogout(node);
    else if (!portClosed)
      node->state = NODE_STATE_DISCONNECTED;
  }
  LogPrintfQueued("Closing log file...\n");
  // Off this thread the sink queues the switch behind the lines before it:
  // the UI thread closes the day file when it drains them.
  SetLogToDisk(false);
}
