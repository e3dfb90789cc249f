// The node state machine: connecting a node's IO_KRN service, following the
// library's node status, tearing the connections down in order, the
// reconnect delay, the Online reports, and the tick's per-node countdowns.
#include <cstdio>

#include "CommNodes.h"
#include "DisplayFlags.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"

namespace {

constexpr uint8_t kNoNetNode = 255;
constexpr uint16_t kNoTxEntry = 0xFFFF;

// IO_FTP flags that only mean something while its clients exist.
constexpr uint32_t kFtpProgressFlags =
    NODE_FLAG_FTP_CONNECTING | NODE_FLAG_FTP_LOGIN_SENT | NODE_FLAG_FTP_LOGOUT_SENT;
constexpr uint32_t kReconnectFlags = NODE_FLAG_DISCONNECT | NODE_FLAG_RECONNECT |
                                     NODE_FLAG_RECONNECT_DELAY | NODE_FLAG_RECONNECT_NOW;

const char* LinkStatusText(uint8_t status) {
  switch (status) {
    case 0: return "invalid";
    case 1: return "none";
    case 2: return "link wait";
    case 3: return "ok";
    case 4: return "error";
    case 5: return "broken";
    case 6: return "unlink wait";
    default: return "unknown";
  }
}

}  // namespace

bool CommNodes::TxDrained(uint8_t netNodeIndx) {
  uint16_t head = 0, tail = 0;
  m_pLib->IpcNetNodeBufStateGet(netNodeIndx, &head, &tail);
  return head == kNoTxEntry;
}

void CommNodes::DestroyKrnClients(NodeEntry* node) {
  if (node->krnComProcHandle != 0)
    m_pLib->IpcClntComProcDestroy(IPC_SVR_IO_KRN, node->clientId, node->krnComProcHandle);
  if (node->krnEvntHandle != 0)
    m_pLib->IpcClntEvntDestroy(IPC_SVR_IO_KRN, node->clientId, node->krnEvntHandle);
  node->krnComProcHandle = 0;
  node->krnEvntHandle = 0;
}

void CommNodes::DestroyFtpClients(NodeEntry* node) {
  if (node->ftpComProcHandle != 0)
    m_pLib->IpcClntComProcDestroy(IPC_SVR_IO_FTP, node->clientId, node->ftpComProcHandle);
  if (node->ftpEvntHandle != 0)
    m_pLib->IpcClntEvntDestroy(IPC_SVR_IO_FTP, node->clientId, node->ftpEvntHandle);
  node->ftpComProcHandle = 0;
  node->ftpEvntHandle = 0;
}

void CommNodes::ResetPorts(NodeEntry* node) {
  for (PortSlot& port : node->ports) {
    port.portIndex = kNoPortIndex;
    port.flags &= static_cast<uint8_t>(~PORT_FLAG_OPEN);
    port.headSent = false;
    port.received = 0;
    // A poll response the old connection left half-assembled is dropped.
    if (port.RxMsg != nullptr) FreeRackMsg(port.RxMsg);
    port.RxMsg = nullptr;
    port.rxReceived = 0;
  }
  // An open that was outstanding died with the old clients.
  node->flags &= ~NODE_FLAG_PORT_OPENING;
}

bool CommNodes::KrnAttached(NodeEntry* node, uint8_t idx) {
  return node->linkStatus == IPC_LINK_STATUS_OK &&
         (idx == 0 ||
          (m_pLib->IpcClntComProcNetHandleGet(IPC_SVR_IO_KRN, node->clientId, node->krnComProcHandle) != 0 &&
           m_pLib->IpcClntEvntNetHandleGet(IPC_SVR_IO_KRN, node->clientId, node->krnEvntHandle) != 0));
}

void CommNodes::StartPorts(NodeEntry* node) {
  node->flags |= NODE_FLAG_KRN_CONNECTED;
  ResetPorts(node);
  if (!OpenNextPort(node) && g_bIpcCommDebug)
    LogPrintfQueued("%s: No active IO_KRN Port(s)\n", node->name);
}

void CommNodes::ConnectKrn(NodeEntry* node) {
  const uint8_t idx = m_pLib->IpcNetNodeAddrExists(node->address);
  if (idx == kNoNetNode) return;
  // Clients of an earlier attempt go first, or their slots are lost.
  DestroyKrnClients(node);
  node->flags &= ~NODE_FLAG_KRN_CONNECTED;
  node->state = NODE_STATE_CONNECTING;
  if (g_bIpcCommDebug)
    LogPrintfQueued("%s: Connecting to IPC_SVR_IO_KRN service, NetNodeIdx = %d.\n", node->name,
                    idx);
  m_pLib->IpcSvrLocationSet(IPC_SVR_IO_KRN, node->clientId, IPC_HOST_KIND_LOCAL, 1, idx, 0, 0, 0,
                            0);
  m_pLib->IpcClntComProcCreate(IPC_SVR_IO_KRN, node->clientId,
                               idx == 0 ? kKrnLocalVersion : kKrnVersion, &node->krnComProcHandle);
  m_pLib->IpcClntEvntCreate(IPC_SVR_IO_KRN, node->clientId, &CommNodes::KrnEventCallback,
                            kKrnVersion, &node->krnEvntHandle,
                            static_cast<intptr_t>(node->nodeId));
  node->flags |= NODE_FLAG_KRN_LOCATED;
}

void CommNodes::Teardown(NodeEntry* node, uint8_t idx) {
  uint32_t& f = node->flags;
  // Late in the shutdown nothing more is waited for from the node.
  const bool waitOver = m_pHost->ShuttingDown() && m_shutdownTicks >= kShutdownWaitTicks;
  if ((f & NODE_FLAG_KRN_CONNECTED) != 0 && (f & NODE_FLAG_POLLS_ADDED) != 0) {
    f &= ~NODE_FLAG_POLLS_ADDED;
    DeletePollingForNode(node);
  }
  // A node the library no longer knows has nothing waiting for it.
  if ((f & NODE_FLAG_KRN_CONNECTED) != 0 && (idx == kNoNetNode || waitOver || TxDrained(idx))) {
    f &= ~NODE_FLAG_KRN_CONNECTED;
    DestroyKrnClients(node);
    node->countdown = kTeardownPauseTicks;
  }
  if ((f & NODE_FLAG_KRN_LOCATED) != 0 && (f & NODE_FLAG_KRN_CONNECTED) == 0 &&
      node->countdown == 0) {
    f &= ~NODE_FLAG_KRN_LOCATED;
    // Clients that never attached are still there.
    DestroyKrnClients(node);
    f &= ~NODE_FLAG_PORT_OPENING;
    m_pLib->IpcSvrLocationDestroy(IPC_SVR_IO_KRN, node->clientId);
  }
  if ((f & NODE_FLAG_FTP_LOGGED_IN) != 0) {
    // The logout is asked for once; a node that never answers it does not
    // hold the teardown up for longer than the deadline.
    if ((f & NODE_FLAG_FTP_LOGOUT_SENT) == 0) {
      IoFtpLogout(node);
    } else if (node->ftpLogoutCountdown == 0 || waitOver) {
      f &= ~(NODE_FLAG_FTP_LOGGED_IN | NODE_FLAG_FTP_LOGOUT_SENT);
      node->ftpLoginHandle = 0;
    }
  }
  if ((f & NODE_FLAG_FTP_CONNECTED) != 0 && (f & NODE_FLAG_FTP_LOGGED_IN) == 0) {
    f &= ~NODE_FLAG_FTP_CONNECTED;
    DestroyFtpClients(node);
    node->countdown = kTeardownPauseTicks;
  }
  if ((f & NODE_FLAG_FTP_LOCATED) != 0 && (f & NODE_FLAG_FTP_CONNECTED) == 0 &&
      node->countdown == 0) {
    f &= ~NODE_FLAG_FTP_LOCATED;
    DestroyFtpClients(node);
    f &= ~kFtpProgressFlags;
    m_pLib->IpcSvrLocationDestroy(IPC_SVR_IO_FTP, node->clientId);
  }
}

uint32_t CommNodes::NodeStep(NodeEntry* node) {
  const uint32_t id = node->nodeId;
  const uint32_t old = node->state;
  uint32_t now = old;

  // While the comm object shuts down every node is torn down and stays
  // down: one that a load added meanwhile too, or it would come Online and
  // hold the end of the shutdown up for ever.
  const bool shuttingDown = m_pHost->ShuttingDown();
  if (shuttingDown) node->flags |= NODE_FLAG_DISCONNECT;

  const uint8_t idx = m_pLib->IpcNetNodeAddrExists(node->address);
  const bool teardown = (node->flags & NODE_FLAG_DISCONNECT) != 0;
  if (idx == kNoNetNode && !teardown) {
    now = NODE_STATE_UNKNOWN;
  } else {
    if (idx != kNoNetNode) {
      const uint8_t link = m_pLib->IpcNetNodeLinkStatusGet(idx);
      if (link != node->linkStatus) {
        node->linkStatus = link;
        if (g_bIpcCommDebug)
          LogPrintfQueued("%s: Link status is now %s.\n", node->name, LinkStatusText(link));
      }
    }

    if (teardown) {
      if ((node->flags & NODE_FLAGS_CONNECTIONS) != 0) {
        Teardown(node, idx);
      } else {
        if ((node->flags & NODE_FLAG_RECONNECT_DELAY) == 0) node->countdown = 0;
        // Nothing is connected any more: no open, poll or IO_FTP exchange
        // can still be outstanding.
        node->flags &= ~(kFtpProgressFlags | NODE_FLAG_PORT_OPENING | NODE_FLAG_POLLS_ADDED);
        node->ftpLogoutCountdown = 0;
        now = NODE_STATE_DISCONNECTED;
      }
    } else {
      bool checkStatus = true;
      switch (old) {
        case NODE_STATE_UNKNOWN:
        case NODE_STATE_DISCONNECTED:
          ConnectKrn(node);
          now = NODE_STATE_CONNECTING;
          checkStatus = false;
          break;
        case NODE_STATE_CONNECTING:
          if (!KrnAttached(node, idx)) {
            checkStatus = false;
            break;
          }
          StartPorts(node);
          break;
        default:
          break;
      }
      if (checkStatus) {
        const uint8_t status = m_pLib->IpcNetNodeStatusGet(idx);
        // A lost handle while the library still has the node online means a
        // broken connection.  One the library took offline or disabled has
        // had its link closed under it: that is the node's state, not a
        // fault of the connection.
        const bool sound = status != IPC_NODE_STATUS_ONLINE || idx == 0 ||
                           (node->flags & NODE_FLAG_KRN_CONNECTED) == 0 ||
                           old != NODE_STATE_ONLINE ||
                           m_pLib->IpcClntComProcNetHandleGet(IPC_SVR_IO_KRN, node->clientId,
                                                              node->krnComProcHandle) != 0;
        if (!sound) {
          if (g_bIpcCommDebug)
            LogPrintfQueued("%s: KRN handle is invalid, attempting to reset connection.\n",
                            node->name);
          node->flags |= NODE_FLAG_DISCONNECT | NODE_FLAG_RECONNECT | NODE_FLAG_RECONNECT_NOW;
        } else {
          switch (status) {
            case IPC_NODE_STATUS_NOT_IN_USE:
              FlushNode(node, RC_FLUSHED);
              now = NODE_STATE_UNKNOWN;
              break;
            case IPC_NODE_STATUS_ONLINE:
              if (old == NODE_STATE_ONLINE) {
                now = NODE_STATE_ONLINE;
                break;
              }
              // Back from Offline or Disabled after the link was closed:
              // the clients attach again and the ports are opened anew, as
              // after Connecting.
              if ((node->flags & NODE_FLAG_KRN_CONNECTED) == 0 && old != NODE_STATE_CONNECTING) {
                if (!KrnAttached(node, idx)) break;
                StartPorts(node);
              }
              // The state is Online before the heads go out.
              node->state = NODE_STATE_ONLINE;
              // A head on a port not open yet waits for its index (and the
              // port's open is asked for) under its countdown.
              for (int slot = 0; slot < kPortSlots; ++slot)
                if (node->ports[slot].TxHead != nullptr) SendHead(node, slot);
              if (node->ftpHead != nullptr) IoFtpStart(node);
              // The racks lost their polling when the node left Online.  A
              // connection that stayed up keeps its ports open, so no port
              // index comes to register them again: the racks on open ports
              // are registered here (a port still opening registers its
              // racks when its index arrives).
              AddPollingForNode(node);
              now = NODE_STATE_ONLINE;
              break;
            case IPC_NODE_STATUS_OFFLINE:
            case IPC_NODE_STATUS_DISABLED:
              if (old == NODE_STATE_ONLINE) {
                FlushNode(node, RC_FLUSHED);
                // The link was closed with the node's clients: they attach
                // again when the node is back, and its ports open anew.
                if (idx != 0 && m_pLib->IpcClntComProcNetHandleGet(IPC_SVR_IO_KRN, node->clientId,
                                                                   node->krnComProcHandle) == 0) {
                  node->flags &= ~NODE_FLAG_KRN_CONNECTED;
                  ResetPorts(node);
                }
              }
              now = status == IPC_NODE_STATUS_OFFLINE ? NODE_STATE_OFFLINE : NODE_STATE_DISABLED;
              break;
            default:
              break;
          }
        }
      }
      if ((node->flags & NODE_FLAG_FTP_CONNECTING) != 0 &&
          m_pLib->IpcClntComProcNetHandleGet(IPC_SVR_IO_FTP, node->clientId,
                                             node->ftpComProcHandle) != 0 &&
          m_pLib->IpcClntEvntNetHandleGet(IPC_SVR_IO_FTP, node->clientId, node->ftpEvntHandle) !=
              0) {
        node->flags &= ~NODE_FLAG_FTP_CONNECTING;
        node->flags |= NODE_FLAG_FTP_CONNECTED;
        IoFtpLogin(node);
      }
    }
  }

  node->state = now;

  if ((node->flags & NODE_FLAG_FLUSH_PENDING) != 0 && node->countdown == 0 && !shuttingDown) {
    node->flags &= ~NODE_FLAG_FLUSH_PENDING;
    FlushNode(node, RC_NODE_OFFLINE);
  }
  // Once the shutdown has taken a node out of Online nothing sends its
  // messages any more: they go back now, before the comm thread stops.
  if (shuttingDown && now != NODE_STATE_ONLINE) {
    node->flags &= ~NODE_FLAG_FLUSH_PENDING;
    FlushNode(node, RC_FLUSHED);
  }

  if (now != old && (old == NODE_STATE_ONLINE || now == NODE_STATE_ONLINE)) {
    if ((node->flags & NODE_FLAG_DELETE) == 0) {
      if (g_bIpcCommDebug)
        LogPrintfQueued("%s: Node is now %s.\n", node->name,
                        now == NODE_STATE_ONLINE ? "up" : "down");
      m_pHost->PostNodeStatus(now == NODE_STATE_ONLINE, id);
    }
    if (old == NODE_STATE_ONLINE) {
      ++node->linkResets;
      // What is queued stays: a head on the wire ends by its answer or its
      // time-out, a message behind it goes out after the reconnect (the
      // library's Offline, Disabled and forgotten node flushed above).
      for (auto& [number, rack] : m_RackMap) {
        if (rack->nodeId == id)
          rack->flags &= static_cast<uint8_t>(~(RACK_FLAG_UP | RACK_FLAG_SYNC_SENT | RACK_FLAG_POLLING));
      }
    }
  }

  // A reconnect asked for before or during the shutdown (a port time-out
  // in the teardown) waits: the shutdown ends with the node Disconnected.
  if ((node->flags & NODE_FLAG_RECONNECT) != 0 && now == NODE_STATE_DISCONNECTED &&
      !shuttingDown) {
    if ((node->flags & NODE_FLAG_RECONNECT_DELAY) == 0) {
      if ((node->flags & NODE_FLAG_RECONNECT_NOW) != 0) {
        node->flags &= ~kReconnectFlags;
        if (g_bIpcCommDebug)
          LogPrintfQueued("%s: Disconnected, attempting to reconnect.\n", node->name);
      } else {
        node->countdown = kReconnectDelayTicks;
        node->flags |= NODE_FLAG_RECONNECT_DELAY;
        if (g_bIpcCommDebug)
          LogPrintfQueued("%s: Disconnected, starting reconnect delay.\n", node->name);
      }
    } else if (node->countdown == 0) {
      node->flags &= ~kReconnectFlags;
      if (g_bIpcCommDebug)
        LogPrintfQueued("%s: Reconnect delay expired, attempt to reconnect.\n", node->name);
    }
  }

  if ((node->flags & NODE_FLAG_DELETE) != 0 && now == NODE_STATE_DISCONNECTED) {
    if (g_bIpcCommDebug) LogPrintfQueued("%s: Disconnected, deleting node entry.\n", node->name);
    DeleteNode(id);
  }
  return now;
}

uint32_t CommNodes::Tick() {
  uint32_t online = 0;
  if (m_pHost->ShuttingDown() && m_shutdownTicks < kShutdownWaitTicks) ++m_shutdownTicks;
  for (uint32_t id : NodeIds()) {
    NodeEntry* node = Node(id);
    if (node == nullptr) continue;
    if (node->countdown > 0) --node->countdown;
    if (node->ftpLogoutCountdown > 0) --node->ftpLogoutCountdown;
    if (node->ftpIdleCountdown > 0 && --node->ftpIdleCountdown == 0) IoFtpLogout(node);
    for (int slot = 0; slot < kPortSlots; ++slot) {
      PortSlot& port = node->ports[slot];
      if (port.responseCountdown > 0 && --port.responseCountdown == 0) {
        LogPrintfQueued("%s: Error: Timeout waiting for response on port %d.\n", node->name,
                        slot - 1);
        FlushNode(node, RC_TIMEOUT);
        // Tear the connection down and build it again at once.
        node->flags |= NODE_FLAG_DISCONNECT | NODE_FLAG_RECONNECT | NODE_FLAG_RECONNECT_NOW;
      }
    }
    if (NodeStep(node) == NODE_STATE_ONLINE) ++online;
  }
  return online;
}

void CommNodes::BeginShutdown() {
  m_shutdownTicks = 0;
  for (uint32_t id : NodeIds()) {
    NodeEntry* node = Node(id);
    if (node == nullptr) continue;
    node->flags |= NODE_FLAG_DISCONNECT;
    bool portClosed = false;
    const uint8_t idx = m_pLib->IpcNetNodeAddrExists(node->address);
    if (idx != kNoNetNode && m_pLib->IpcNetNodeLinkStatusGet(idx) == IPC_LINK_STATUS_OK) {
      for (int slot = 0; slot < kPortSlots; ++slot) {
        if ((node->ports[slot].flags & PORT_FLAG_OPEN) != 0) {
          ClosePort(node, slot);
          portClosed = true;
        }
      }
    }
    // Queued IO_FTP jobs are the IO_FTP client's to return.
    if ((node->flags & NODE_FLAG_FTP_LOCATED) != 0)
      IoFtpLogout(node);
    else if (!portClosed && node->ftpHead == nullptr)
      node->state = NODE_STATE_DISCONNECTED;
  }
}
