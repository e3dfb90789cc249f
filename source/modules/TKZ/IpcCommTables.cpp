// The comm thread's handlers of the table messages and of the rack-up
// relay, and the node, IO_KRN and IO_FTP work that the tick and shutdown
// drive.  The node state machine, the IO_KRN client and the IO_FTP client
// are not built yet: until they are, no node connects, a rack message goes
// straight back with RC_NODE_OFFLINE, and the calls below that would talk
// to a node do nothing.
#include <cstdio>
#include <cstring>

#include "DisplayFlags.h"
#include "IpcComm.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "ThreadMsgs.h"
#include "net/backend.h"

namespace {

bool ValidRackNumber(uint32_t rack) { return rack >= 1 && rack <= kMaxRackNumber; }

}  // namespace

void CIpcComm::OnLoadPhase(uint32_t /*flags*/) {}

void CIpcComm::OnAddNode(const NodeDesc& desc) {
  NodeEntry* node = Node(desc.nodeId);
  if (node == nullptr) {
    auto entry = std::make_unique<NodeEntry>();
    entry->nodeId = desc.nodeId;
    entry->state = NODE_STATE_UNKNOWN;
    entry->clientId = m_nNextClientId++;
    node = entry.get();
    m_NodeMap.emplace(desc.nodeId, std::move(entry));
  }
  for (int slot = 0; slot < kPortSlots; ++slot) {
    PortSlot& port = node->ports[slot];
    if (desc.portFlags[slot] != 0)
      port.flags |= PORT_FLAG_CONFIGURED;
    else
      port.flags &= static_cast<uint8_t>(~PORT_FLAG_CONFIGURED);
  }
  node->address = desc.address;
  std::snprintf(node->name, sizeof node->name, "%s", net::FormatAddress(desc.address).c_str());
  node->flags |= NODE_FLAG_MARKED;
}

void CIpcComm::OnAddRack(const RackDesc& desc) {
  if (!ValidRackNumber(desc.rack) || desc.portSlot >= kPortSlots) {
    LogPrintfQueued("Error: Rack %u on port slot %u of node %u is out of range, ignored.\n",
                    desc.rack, desc.portSlot, desc.nodeId);
    return;
  }
  RackEntry* rack = Rack(desc.rack);
  if (rack == nullptr) {
    auto entry = std::make_unique<RackEntry>();
    entry->rack = desc.rack;
    rack = entry.get();
    m_RackMap.emplace(desc.rack, std::move(entry));
  }
  rack->nodeId = desc.nodeId;
  rack->portSlot = desc.portSlot;
  rack->flags |= RACK_FLAG_MARKED;
}

void CIpcComm::OnDisconnectNode(uint32_t nodeId) {
  NodeEntry* node = Node(nodeId);
  if (node == nullptr || (node->flags & NODE_FLAG_KRN_LOCATED) == 0) return;
  node->flags |= NODE_FLAG_DISCONNECT | NODE_FLAG_RECONNECT;
  if (g_bIpcCommDebug) LogPrintfQueued("%s: Disconnecting from node.\n", node->name);
}

void CIpcComm::OnRackUp(uint32_t rackNumber) {
  // The UI thread names the rack; one the table no longer holds is ignored.
  RackEntry* rack = ValidRackNumber(rackNumber) ? Rack(rackNumber) : nullptr;
  if (rack == nullptr || (rack->flags & RACK_FLAG_UP) != 0) return;
  rack->flags |= RACK_FLAG_UP;
  if (g_bIpcCommDebug)
    LogPrintfQueued("Rack %d is up, requesting version information.\n",
                    static_cast<int>(rackNumber));
  RequestRackVersion(rackNumber);
}

void CIpcComm::OnRackVersionSet(const RackVersionSet& version) {
  RackEntry* rack = ValidRackNumber(version.rack) ? Rack(version.rack) : nullptr;
  if (rack == nullptr) return;
  std::memcpy(rack->serial, version.bytes, sizeof rack->serial);
  std::memcpy(rack->software, version.bytes + 8, sizeof rack->software);
  rack->hardware = static_cast<uint16_t>(version.bytes[14] | (version.bytes[15] << 8));
  rack->flags |= RACK_FLAG_VERSION;
}

void CIpcComm::OnSendMsg(RackMsg* msg) {
  if (msg->Rack != kRackBroadcast) {
    const RackEntry* rack = ValidRackNumber(msg->Rack) ? Rack(msg->Rack) : nullptr;
    if (rack == nullptr) {
      LogPrintfQueued("Error: Tossing message to unknown rack %d.\n", static_cast<int>(msg->Rack));
      msg->Rcode = RC_NO_NODE_FOR_RACK;
      ReturnMsg(msg);
      return;
    }
    msg->nodeId = rack->nodeId;
    msg->portSlot = rack->portSlot;
    if ((rack->flags & RACK_FLAG_LEARNING) != 0) {
      if (g_bIpcCommDebug)
        LogPrintfQueued("Tossing message to rack %d, rack is learning loads.\n",
                        static_cast<int>(msg->Rack));
      msg->Rcode = RC_RACK_LEARNING;
      ReturnMsg(msg);
      return;
    }
  }
  if (Node(msg->nodeId) == nullptr) {
    LogPrintfQueued("Error: Tossing message to node %d, can't find node.\n",
                    static_cast<int>(msg->nodeId));
    msg->Rcode = RC_NO_NODE_FOR_RACK;
    ReturnMsg(msg);
    return;
  }
  QueueMsg(msg);
}

void CIpcComm::OnLoadLearn(RackMsg* msg, int /*phase*/) {
  // Without the IO_KRN client no learn cycle can run.
  msg->Rcode = RC_NODE_OFFLINE;
  ReturnMsg(msg);
}

void CIpcComm::QueueMsg(RackMsg* msg) {
  // No node comes Online yet.
  msg->link = nullptr;
  msg->Rcode = RC_NODE_OFFLINE;
  ReturnMsg(msg);
}

uint32_t CIpcComm::NodeStep(NodeEntry* node) { return node->state; }

void CIpcComm::FlushNode(NodeEntry* node, uint16_t rcode) {
  for (PortSlot& port : node->ports) {
    while (RackMsg* head = port.TxHead) {
      port.TxHead = head->link;
      if (port.TxHead == nullptr) port.TxTail = nullptr;
      head->link = nullptr;
      if (port.queued > 0) --port.queued;
      port.responseCountdown = 0;
      head->Rcode = rcode;
      ReturnMsg(head);
    }
  }
}

void CIpcComm::ClosePort(NodeEntry* node, int slot) {
  node->ports[slot].flags &= static_cast<uint8_t>(~PORT_FLAG_OPEN);
}

void CIpcComm::IoFtpLogout(NodeEntry* /*node*/) {}
void CIpcComm::FlushIoFtpQueue(NodeEntry* /*node*/) {}
void CIpcComm::OnIoFtpRequest(IoFtpRequest* /*request*/) {}
void CIpcComm::OnIoFtpContinue(IoFtpRequest* /*request*/) {}
void CIpcComm::ForwardIoFtpResult(IoFtpRequest* /*request*/) {}
void CIpcComm::RequestRackVersion(uint32_t /*rack*/) {}

void CIpcComm::ReportNodes() {}
void CIpcComm::ReportNetStats() {}
void CIpcComm::ReportRacks() {}
void CIpcComm::ReportRackVersions() {}
