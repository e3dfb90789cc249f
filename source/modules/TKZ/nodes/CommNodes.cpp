// The node and rack tables: the loads with their mark and sweep, the
// look-ups, deletion, and the rack messages on the ports.
#include "CommNodes.h"

#include <cstdio>
#include <cstring>

#include "CommFtp.h"
#include "DisplayFlags.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "net/backend.h"

namespace {

CommNodes* g_pActive = nullptr;  // target of the IO_KRN event callback (comm thread)

bool ValidRackNumber(uint32_t rack) { return rack >= 1 && rack <= kMaxRackNumber; }

}  // namespace

const char* NodeStateName(uint32_t state) {
  static const char* const kNames[] = {"Invalid      ", "Unknown      ", "Connecting   ",
                                       "Disabled     ", "Offline      ", "Online       ",
                                       "Disconnected "};
  return state <= NODE_STATE_DISCONNECTED ? kNames[state] : kNames[0];
}

CommNodes::CommNodes(NodeLibrary& library, CommNodesHost& host)
    : m_pLib(&library), m_pHost(&host) {
  Activate();
}

CommNodes::~CommNodes() {
  if (g_pActive == this) g_pActive = nullptr;
  FreeAll();
}

void CommNodes::FreeAll() {
  for (auto& [id, node] : m_NodeMap) {
    if (m_pFtp != nullptr) m_pFtp->FreeQueue(node.get());
    for (PortSlot& port : node->ports) {
      while (RackMsg* m = port.TxHead) {
        port.TxHead = m->link;
        FreeRackMsg(m);
      }
      port.TxTail = nullptr;
      if (port.RxMsg != nullptr) FreeRackMsg(port.RxMsg);
      port.RxMsg = nullptr;
    }
  }
  m_NodeMap.clear();
  m_RackMap.clear();
}

void CommNodes::Activate() { g_pActive = this; }

void CommNodes::KrnEventCallback(const IpcEvntHdr* event, intptr_t userValue) {
  if (g_pActive == nullptr || event == nullptr || userValue < 0 ||
      static_cast<uint64_t>(userValue) > UINT32_MAX)
    return;
  g_pActive->OnIoKrnEvent(event, static_cast<uint32_t>(userValue));
}

NodeEntry* CommNodes::Node(uint32_t nodeId) {
  auto it = m_NodeMap.find(nodeId);
  return it == m_NodeMap.end() ? nullptr : it->second.get();
}

RackEntry* CommNodes::Rack(uint32_t rack) {
  auto it = m_RackMap.find(rack);
  return it == m_RackMap.end() ? nullptr : it->second.get();
}

const NodeEntry* CommNodes::FindNode(uint32_t nodeId) const {
  auto it = m_NodeMap.find(nodeId);
  return it == m_NodeMap.end() ? nullptr : it->second.get();
}

const RackEntry* CommNodes::FindRack(uint32_t rack) const {
  auto it = m_RackMap.find(rack);
  return it == m_RackMap.end() ? nullptr : it->second.get();
}

std::vector<uint32_t> CommNodes::NodeIds() const {
  // Steps may delete entries: walks go over a copy of the ids and look each
  // entry up again.
  std::vector<uint32_t> ids;
  ids.reserve(m_NodeMap.size());
  for (const auto& [id, node] : m_NodeMap) ids.push_back(id);
  return ids;
}

std::vector<uint32_t> CommNodes::RackNumbers() const {
  std::vector<uint32_t> racks;
  racks.reserve(m_RackMap.size());
  for (const auto& [rack, entry] : m_RackMap) racks.push_back(rack);
  return racks;
}

uint8_t CommNodes::FreeClientId() const {
  bool used[kMaxClientId + 1] = {};
  for (const auto& [id, node] : m_NodeMap)
    if (node->clientId >= kMinClientId && node->clientId <= kMaxClientId) used[node->clientId] = true;
  for (uint8_t c = kMinClientId; c <= kMaxClientId; ++c)
    if (!used[c]) return c;
  return 0;
}

void CommNodes::OnLoadPhase(uint32_t flags) {
  if ((flags & LOAD_PHASE_BEGIN) != 0) {
    if ((flags & LOAD_PHASE_NODES) != 0)
      for (auto& [id, node] : m_NodeMap) node->flags &= ~NODE_FLAG_MARKED;
    if ((flags & LOAD_PHASE_RACKS) != 0)
      for (auto& [n, rack] : m_RackMap) rack->flags &= static_cast<uint8_t>(~RACK_FLAG_MARKED);
    return;
  }
  if ((flags & LOAD_PHASE_END) == 0) return;

  if ((flags & LOAD_PHASE_RACKS) != 0) {
    for (uint32_t number : RackNumbers()) {
      RackEntry* rack = Rack(number);
      if ((rack->flags & RACK_FLAG_MARKED) != 0) continue;
      if ((rack->flags & RACK_FLAG_POLLING) != 0) DeletePoll(rack);
      m_RackMap.erase(number);
      if (g_bIpcCommDebug) LogPrintfQueued("Deleted rack %d.\n", static_cast<int>(number));
    }
  }

  if ((flags & LOAD_PHASE_NODES) != 0) {
    for (uint32_t id : NodeIds()) {
      NodeEntry* node = Node(id);
      if ((node->flags & NODE_FLAG_MARKED) != 0) {
        for (int slot = 0; slot < kPortSlots; ++slot) {
          const PortSlot& port = node->ports[slot];
          if ((port.flags & PORT_FLAG_CONFIGURED) != 0) {
            if ((port.flags & PORT_FLAG_OPEN) == 0) OpenNextPort(node);
          } else if ((port.flags & PORT_FLAG_OPEN) != 0 || port.TxHead != nullptr ||
                     port.RxMsg != nullptr) {
            DropPort(node, slot);
          }
        }
      } else if ((node->flags & NODE_FLAGS_CONNECTIONS) != 0) {
        if ((node->flags & NODE_FLAG_DELETE) == 0) {
          if (g_bIpcCommDebug) LogPrintfQueued("%s: has been deleted, disconnecting.\n", node->name);
          node->flags |= NODE_FLAG_DISCONNECT | NODE_FLAG_DELETE;
        }
      } else {
        if (g_bIpcCommDebug) LogPrintfQueued("%s: Node deleted.\n", node->name);
        DeleteNode(id);
      }
    }
  }
}

void CommNodes::OnAddNode(const NodeDesc& desc) {
  NodeEntry* node = Node(desc.nodeId);
  if (node == nullptr) {
    const uint8_t clientId = FreeClientId();
    if (clientId == 0) {
      LogPrintfQueued("Error: No client id left for node %u, node ignored.\n", desc.nodeId);
      return;
    }
    auto entry = std::make_unique<NodeEntry>();
    entry->nodeId = desc.nodeId;
    entry->state = NODE_STATE_UNKNOWN;
    entry->ftpFileDescriptor = -1;
    entry->clientId = clientId;
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
  // Named again while a sweep was taking it away: it stays.  Its teardown,
  // if one is running, ends in a reconnect instead of the deletion.
  if ((node->flags & NODE_FLAG_DELETE) != 0) {
    node->flags &= ~NODE_FLAG_DELETE;
    if ((node->flags & NODE_FLAG_DISCONNECT) != 0)
      node->flags |= NODE_FLAG_RECONNECT | NODE_FLAG_RECONNECT_NOW;
  }
}

void CommNodes::OnAddRack(const RackDesc& desc) {
  if (!ValidRackNumber(desc.rack) || desc.portSlot >= kPortSlots) {
    LogPrintfQueued("Error: Rack %u on port slot %u of node %u is out of range, ignored.\n",
                    desc.rack, desc.portSlot, desc.nodeId);
    return;
  }
  RackEntry* rack = Rack(desc.rack);
  if (rack == nullptr) {
    auto entry = std::make_unique<RackEntry>();
    entry->rack = desc.rack;
    entry->nodeId = desc.nodeId;
    entry->portSlot = desc.portSlot;
    entry->flags = RACK_FLAG_MARKED;
    rack = entry.get();
    m_RackMap.emplace(desc.rack, std::move(entry));
    AddPoll(rack);
    return;
  }
  if (rack->nodeId != desc.nodeId || rack->portSlot != desc.portSlot) {
    if ((rack->flags & RACK_FLAG_POLLING) != 0) DeletePoll(rack);
    rack->nodeId = desc.nodeId;
    rack->portSlot = desc.portSlot;
    AddPoll(rack);
  }
  rack->flags |= RACK_FLAG_MARKED;
}

void CommNodes::OnDisconnectNode(uint32_t nodeId) {
  NodeEntry* node = Node(nodeId);
  if (node == nullptr || (node->flags & NODE_FLAG_KRN_LOCATED) == 0) return;
  node->flags |= NODE_FLAG_DISCONNECT | NODE_FLAG_RECONNECT;
  if (g_bIpcCommDebug) LogPrintfQueued("%s: Disconnecting from node.\n", node->name);
}

bool CommNodes::SetRackVersion(uint32_t number, const uint8_t* versionBytes) {
  RackEntry* rack = ValidRackNumber(number) ? Rack(number) : nullptr;
  if (rack == nullptr || versionBytes == nullptr) return false;
  std::memcpy(rack->serial, versionBytes, sizeof rack->serial);
  std::memcpy(rack->software, versionBytes + 8, sizeof rack->software);
  rack->hardware = static_cast<uint16_t>(versionBytes[14] | (versionBytes[15] << 8));
  rack->flags |= RACK_FLAG_VERSION;
  return true;
}

void CommNodes::DeleteNode(uint32_t nodeId) {
  NodeEntry* node = Node(nodeId);
  if (node == nullptr) return;
  // Nothing queued on the node may be lost with it.
  FlushNode(node, RC_FLUSHED);
  if (m_pFtp != nullptr) m_pFtp->NodeGone(node);
  for (PortSlot& port : node->ports) {
    if (port.RxMsg != nullptr) FreeRackMsg(port.RxMsg);
    port.RxMsg = nullptr;
  }
  m_NodeMap.erase(nodeId);
}

void CommNodes::FlushNode(NodeEntry* node, uint16_t rcode) {
  for (int slot = 0; slot < kPortSlots; ++slot) FlushPort(node, slot, rcode);
}

void CommNodes::FlushPort(NodeEntry* node, int slot, uint16_t rcode) {
  while (node->ports[slot].TxHead != nullptr) FailHead(node, slot, rcode);
}

void CommNodes::DropPort(NodeEntry* node, int slot) {
  PortSlot& port = node->ports[slot];
  FlushPort(node, slot, RC_FLUSHED);
  if (port.RxMsg != nullptr) FreeRackMsg(port.RxMsg);
  port.RxMsg = nullptr;
  port.rxReceived = 0;
  for (auto& [number, rack] : m_RackMap) {
    if (rack->nodeId != node->nodeId || rack->portSlot != slot) continue;
    rack->flags &= static_cast<uint8_t>(~RACK_FLAG_POLLING);
    // Nothing reaches it any more: an up rack is reported down.
    SetRackResponding(rack.get(), false);
  }
  if ((port.flags & PORT_FLAG_OPEN) != 0) {
    if (g_bIpcCommDebug) LogPrintfQueued("%s: Closing IO_KRN on port %d.\n", node->name, slot - 1);
    ClosePort(node, slot);
  }
}

void CommNodes::QueueMsg(RackMsg* msg) {
  msg->link = nullptr;
  msg->Rcode = 0;
  if (msg->sendLength < 0 || msg->sendLength > static_cast<int32_t>(kRackMsgCommandSize)) {
    LogPrintfQueued("Error: Tossing message to rack %d, send length %d is out of range.\n",
                    static_cast<int>(msg->Rack), static_cast<int>(msg->sendLength));
    Refuse(msg, RC_COMM_FAILURE);
    return;
  }
  const uint32_t nodeId = msg->nodeId;
  const int slot = msg->portSlot;
  NodeEntry* node = Node(nodeId);
  if (node == nullptr || slot < 0 || slot >= kPortSlots) {
    LogPrintfQueued("Error: Tossing message to node %d, can't find node.\n",
                    static_cast<int>(nodeId));
    Refuse(msg, RC_NO_NODE_FOR_RACK);
    return;
  }
  if (msg->Rack != kRackBroadcast) {
    if (RackEntry* rack = Rack(msg->Rack)) ++rack->TxMsgs;
  }
  NodeStep(node);
  // The step may have deleted the node, returning what it held.
  node = Node(nodeId);
  if (node == nullptr) {
    Refuse(msg, RC_FLUSHED);
    return;
  }
  PortSlot& port = node->ports[slot];
  ++port.TxMsgs;
  ++port.queued;
  if (port.TxHead != nullptr) {
    port.TxTail->link = msg;
    port.TxTail = msg;
    return;
  }
  port.TxHead = port.TxTail = msg;
  if (node->state == NODE_STATE_ONLINE && (node->flags & NODE_FLAG_DISCONNECT) == 0) {
    SendHead(node, slot);
  } else {
    node->countdown = kNodeFlushTicks;
    node->flags |= NODE_FLAG_FLUSH_PENDING;
  }
}
