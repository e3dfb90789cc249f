// The IO_KRN client's receiving side: the messages handed in (resolve,
// learn loads), the event callback (IO_KRN_EVNT_START, IO_KRN_EVNT_REPORT,
// IO_KRN_EVNT_INDEX) with the response assembly in the message's response
// area, the return of a port's head, and the rack up/down relay.
//
// Every event is the library's copy of what a node sent: each field is read
// only when the event's length holds it, and every count is bounded by the
// event and by the response area before bytes are copied.
#include <algorithm>
#include <cstring>

#include "CommNodes.h"
#include "DisplayFlags.h"
#include "LogSink.h"
#include "IoKrnProtocol.h"
#include "RackCommands.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "Rle.h"

namespace {

// Event lengths that hold every field (header 18 bytes).
constexpr uint16_t kStartLength = 26;
constexpr uint16_t kReportHeadLength = 20;
constexpr uint16_t kIndexLength = 19;

constexpr uint8_t kUnsolicited = IO_KRN_INDEX_UNSOLICITED;
constexpr uint8_t kIndexMask = 0x7F;
// A Len of this is a response without data.
constexpr uint16_t kLenNoData = 3;
// Link code of a rack that did not answer.
constexpr uint16_t kRcNoResponse = 0x10;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

bool ValidRackNumber(uint32_t rack) { return rack >= 1 && rack <= kMaxRackNumber; }

}  // namespace

void CommNodesHost::PostRackEvent(RackMsg* msg) { FreeRackMsg(msg); }
void CommNodesHost::PostRackStatus(uint32_t /*rack*/) {}
void CommNodesHost::SendSyncFaultEvents(uint32_t /*rack*/) {}

// ---- messages handed in ------------------------------------------------------

void CommNodes::Refuse(RackMsg* msg, uint16_t rcode) {
  msg->Rcode = rcode;
  msg->responseLength = 0;
  m_pHost->ReturnMsg(msg);
}

bool CommNodes::ResolveMsg(RackMsg* msg) {
  // A message may come back for another exchange: its last result is over.
  msg->Rcode = 0;
  if (msg->Rack != kRackBroadcast) {
    const RackEntry* rack = ValidRackNumber(msg->Rack) ? Rack(msg->Rack) : nullptr;
    if (rack == nullptr) {
      LogPrintfQueued("Error: Tossing message to unknown rack %d.\n", static_cast<int>(msg->Rack));
      Refuse(msg, RC_NO_NODE_FOR_RACK);
      return false;
    }
    msg->nodeId = rack->nodeId;
    msg->portSlot = rack->portSlot;
  }
  if (Node(msg->nodeId) == nullptr) {
    LogPrintfQueued("Error: Tossing message to node %d, can't find node.\n",
                    static_cast<int>(msg->nodeId));
    Refuse(msg, RC_NO_NODE_FOR_RACK);
    return false;
  }
  if (msg->portSlot < 0 || msg->portSlot >= kPortSlots) {
    LogPrintfQueued("Error: Tossing message to port slot %d of node %d, no such slot.\n",
                    static_cast<int>(msg->portSlot), static_cast<int>(msg->nodeId));
    Refuse(msg, RC_NO_NODE_FOR_RACK);
    return false;
  }
  return true;
}

void CommNodes::OnSendMsg(RackMsg* msg) {
  if (!ResolveMsg(msg)) return;
  if (msg->Rack != kRackBroadcast) {
    const RackEntry* rack = Rack(msg->Rack);
    if (rack != nullptr && (rack->flags & RACK_FLAG_LEARNING) != 0) {
      if (g_bIpcCommDebug)
        LogPrintfQueued("Tossing message to rack %d, rack is learning loads.\n",
                        static_cast<int>(msg->Rack));
      Refuse(msg, RC_RACK_LEARNING);
      return;
    }
  }
  QueueMsg(msg);
}

void CommNodes::OnLoadLearn(RackMsg* msg, int phase) {
  if (phase == 1) {
    // The rack leaves the learning state even when the message can no
    // longer be routed (its node is gone), or it would refuse every message
    // from then on.
    RackEntry* rack = ValidRackNumber(msg->Rack) ? Rack(msg->Rack) : nullptr;
    if (rack != nullptr) rack->flags &= static_cast<uint8_t>(~RACK_FLAG_LEARNING);
    // The message goes back unsent with the code it came with: a learn
    // command that failed stays failed for the document.
    const uint16_t rcode = msg->Rcode;
    if (!ResolveMsg(msg)) return;
    if (g_bIpcCommDebug)
      LogPrintfQueued("Ending load learn cycle on rack %d\n", static_cast<int>(msg->Rack));
    if (rack != nullptr) AddPoll(rack);
    msg->Rcode = rcode;
    m_pHost->ReturnMsg(msg);
    return;
  }
  if (!ResolveMsg(msg)) return;
  RackEntry* rack = msg->Rack != kRackBroadcast ? Rack(msg->Rack) : nullptr;
  if (rack != nullptr && (rack->flags & RACK_FLAG_LEARNING) == 0) {
    if (g_bIpcCommDebug)
      LogPrintfQueued("Starting load learn cycle on rack %d\n", static_cast<int>(msg->Rack));
    rack->flags |= RACK_FLAG_LEARNING;
    if ((rack->flags & RACK_FLAG_POLLING) != 0) DeletePoll(rack);
  }
  // Sent although the rack now learns: only WM_IPC_SEND_MSG is refused.
  QueueMsg(msg);
}

// ---- the return of a head and the relay -------------------------------------

void CommNodes::ForwardResponse(NodeEntry* node, int slot) {
  PortSlot& port = node->ports[slot];
  RackMsg* msg = port.TxHead;
  if (msg == nullptr) return;
  port.TxHead = msg->link;
  if (port.TxHead == nullptr) port.TxTail = nullptr;
  msg->link = nullptr;
  if (port.queued > 0) --port.queued;
  port.responseCountdown = 0;
  PortHeadUnsent(port);
  port.received = 0;

  const bool broadcast = msg->Rack == kRackBroadcast;
  if (g_bIpcCommDebug) {
    if (broadcast)
      LogPrintfQueued("%s: Forwarding %d byte broadcast response, Rcode = 0x%04x.\n", node->name,
                      msg->responseLength, msg->Rcode);
    else if (msg->responseLength > 0)
      LogPrintfQueued("%s: Forwarding %d byte response from rack %d, Rcode = 0x%04x, cmd = 0x%04X\n",
                      node->name, msg->responseLength, static_cast<int>(msg->Rack), msg->Rcode,
                      msg->ReplyCommand());
    else
      LogPrintfQueued("%s: Forwarding %d byte response from rack %d, Rcode = 0x%04x\n", node->name,
                      msg->responseLength, static_cast<int>(msg->Rack), msg->Rcode);
  }
  if (!broadcast) {
    if (RackEntry* rack = Rack(msg->Rack)) {
      if (msg->Rcode != 0) {
        ++rack->Errors;
        rack->LastErrRcode = msg->Rcode;
        rack->LastErrCmd = msg->Command();
        if (msg->Rcode == kRcNoResponse) {
          SetRackResponding(rack, false);
        } else if (msg->Command() == DIM_CMD_SYNCH_FAULT_EVENTS) {
          // The synchronisation failed: the rack's next answer tries again
          // rather than leaving it never up.
          rack->flags &= static_cast<uint8_t>(~RACK_FLAG_SYNC_SENT);
        }
      } else {
        SetRackResponding(rack, true);
      }
    }
  }
  if (msg->Rcode != 0 && !msg->completion.empty() && g_bIpcCommDebug)
    LogPrintfQueued("%s\n", msg->completion.Format().c_str());
  m_pHost->ReturnMsg(msg);
}

void CommNodes::FailHead(NodeEntry* node, int slot, uint16_t rcode) {
  RackMsg* msg = node->ports[slot].TxHead;
  if (msg == nullptr) return;
  // The response area may hold packed bytes of an answer cut short.
  msg->Rcode = rcode;
  msg->responseLength = 0;
  ForwardResponse(node, slot);
}

void CommNodes::SetRackResponding(RackEntry* rack, bool responding) {
  if (responding) {
    if ((rack->flags & RACK_FLAG_POLLING) == 0 ||
        (rack->flags & (RACK_FLAG_UP | RACK_FLAG_SYNC_SENT)) != 0)
      return;
    if (g_bIpcCommDebug)
      LogPrintfQueued("Rack %d is responding again so sync faults now.\n",
                      static_cast<int>(rack->rack));
    rack->flags |= RACK_FLAG_SYNC_SENT;
    m_pHost->SendSyncFaultEvents(rack->rack);
    return;
  }
  rack->flags &= static_cast<uint8_t>(~RACK_FLAG_SYNC_SENT);
  if ((rack->flags & RACK_FLAG_UP) != 0) {
    rack->flags &= static_cast<uint8_t>(~RACK_FLAG_UP);
    m_pHost->PostRackStatus(rack->rack);
  }
}

bool CommNodes::MarkRackUp(uint32_t number) {
  RackEntry* rack = Rack(number);
  if (rack == nullptr || (rack->flags & RACK_FLAG_UP) != 0 ||
      (rack->flags & RACK_FLAG_SYNC_SENT) == 0)
    return false;
  const NodeEntry* node = Node(rack->nodeId);
  if (node == nullptr || node->state != NODE_STATE_ONLINE) return false;
  rack->flags |= RACK_FLAG_UP;
  return true;
}

void CommNodes::SendNext(NodeEntry* node, int slot) {
  if (node->ports[slot].TxHead != nullptr && node->state == NODE_STATE_ONLINE &&
      (node->flags & NODE_FLAG_DISCONNECT) == 0)
    SendHead(node, slot);
}

// ---- events -------------------------------------------------------------------

void CommNodes::OnIoKrnEvent(const IpcEvntHdr* event, uint32_t nodeId) {
  NodeEntry* node = Node(nodeId);
  if (node == nullptr) return;
  // The event is the library's copy, event->length bytes long (read by
  // value: the copy need not be aligned).
  const uint16_t claimed = event->length;
  const uint16_t length = std::min<uint16_t>(claimed, IPC_MAX_MSG_LEN);
  const auto* bytes = reinterpret_cast<const uint8_t*>(event);
  switch (event->evntCode) {
    case IO_KRN_EVNT_START:
      OnKrnStart(node, bytes, length);
      break;
    case IO_KRN_EVNT_REPORT:
      OnKrnReport(node, bytes, length);
      break;
    case IO_KRN_EVNT_INDEX:
      OnKrnIndex(node, bytes, length);
      break;
    default:
      break;
  }
}

int CommNodes::SlotOfIndex(const NodeEntry* node, uint8_t index) const {
  for (int slot = 0; slot < kPortSlots; ++slot) {
    const PortSlot& port = node->ports[slot];
    if ((port.flags & PORT_FLAG_OPEN) != 0 && port.portIndex == index) return slot;
  }
  return -1;
}

void CommNodes::OnKrnStart(NodeEntry* node, const uint8_t* event, uint16_t length) {
  if (length < kStartLength) {
    LogPrintfQueued("Error: Short IO_KRN_EVNT_START (%d bytes) from node %s, ignored.\n", length,
                    node->name);
    return;
  }
  const uint8_t index = event[18];
  const uint16_t len = Get16(event + 20);
  const uint16_t adr = Get16(event + 22);
  const uint16_t rcode = Get16(event + 24);
  if (g_bIpcCommDebug) {
    if (len < kLenNoData)
      LogPrintfQueued("%s: IO_KRN_EVNT_START,  index=0x%02X, Len=%d, Adr=%d.\n", node->name, index,
                      len, adr);
    else
      LogPrintfQueued("%s: IO_KRN_EVNT_START,  index=0x%02X, Len=%d, Adr=%d, Rcode=0x%04x\n",
                      node->name, index, len, adr, rcode);
  }
  const int slot = SlotOfIndex(node, index & kIndexMask);
  if (slot < 0) {
    LogPrintfQueued("Invalid index received 0x%0x from node %s.\n", index, node->name);
    return;
  }
  PortSlot& port = node->ports[slot];
  const bool unsolicited = (index & kUnsolicited) != 0;
  RackMsg* msg = nullptr;
  RackEntry* rack = nullptr;
  if (unsolicited) {
    if (port.RxMsg != nullptr) {
      // The earlier poll response never completed (a report was lost): it
      // would block every later one.
      LogPrintfQueued("Error: Incomplete poll response from rack %d on node %s discarded.\n",
                      static_cast<int>(port.RxMsg->Rack), node->name);
      FreeRackMsg(port.RxMsg);
      port.RxMsg = nullptr;
      port.rxReceived = 0;
    }
    rack = ValidRackNumber(adr) ? Rack(adr) : nullptr;
    if (rack == nullptr || rack->nodeId != node->nodeId) {
      LogPrintfQueued("Error: Poll response received for unknown rack %d on node %s, ignored.\n",
                      adr, node->name);
      return;
    }
    msg = AllocRackMsg();
    msg->nodeId = node->nodeId;
    msg->Rack = adr;
    msg->portSlot = slot;
    port.RxMsg = msg;
  } else {
    ++port.RxMsgs;
    msg = port.TxHead;
    if (msg == nullptr) {
      LogPrintfQueued("Error: IO_KRN_EVNT_START received from node %s when TxHead = NULL, ignored.\n",
                      node->name);
      return;
    }
    if (!port.headSent || port.responseCountdown == 0) {
      LogPrintfQueued("Error: IO_KRN_EVNT_START received from node %s for a message not sent, ignored.\n",
                      node->name);
      return;
    }
    if (msg->responseLength != 0 || port.received != 0) {
      LogPrintfQueued("Duplicate IO_KRN_EVNT_START from node %s ignored.\n", node->name);
      return;
    }
    // The port has one message on the wire; an answer that names another
    // rack belongs to no message here (a stray or late start).  Taking it
    // would end the head with another rack's answer, and the head's own
    // answer would then be taken for the message behind it.
    if (msg->Rack != kRackBroadcast && adr != msg->Rack) {
      LogPrintfQueued("Error: IO_KRN_EVNT_START for rack %d from node %s while rack %d's message is on the port, ignored.\n",
                      adr, node->name, static_cast<int>(msg->Rack));
      return;
    }
    if (msg->Rack != kRackBroadcast) {
      rack = Rack(msg->Rack);
      if (rack != nullptr) ++rack->RxMsgs;
    }
  }
  msg->Rcode = rcode;
  if (len > kLenNoData) {
    // The reports bring len - 3 packed bytes.
    msg->responseLength = len;
    (unsolicited ? port.rxReceived : port.received) = kLenNoData;
    return;
  }
  msg->responseLength = 0;
  if (unsolicited) {
    port.RxMsg = nullptr;
    if (len < kLenNoData) {
      FreeRackMsg(msg);
      return;
    }
    if (g_bIpcCommDebug)
      LogPrintfQueued("%s: Forwarding poll response from rack %d, Rcode = 0x%04x\n", node->name,
                      adr, rcode);
    if (rcode == 0) SetRackResponding(rack, true);
    m_pHost->PostRackEvent(msg);
    return;
  }
  ForwardResponse(node, slot);
  SendNext(node, slot);
}

void CommNodes::Unpack(RackMsg* msg) {
  if (msg->Rcode == RC_RESPONSE_TOO_LARGE) {
    msg->responseLength = 0;
    return;
  }
  // The packed bytes sit at the start of the response area.
  const uint16_t packedLength = static_cast<uint16_t>(msg->responseLength - kLenNoData);
  uint8_t packed[kRackMsgResponseSize];
  std::memcpy(packed, msg->response, packedLength);
  const uint16_t n = RleDecode(packed, packedLength, msg->response,
                               static_cast<uint16_t>(kRackMsgResponseSize), 1);
  if (n == RLE_FAIL) {
    LogPrintfQueued("Error: response from rack %d could not be unpacked.\n",
                    static_cast<int>(msg->Rack));
    msg->Rcode = RC_INVALID_RESPONSE;
    msg->responseLength = 0;
    return;
  }
  msg->responseLength = n;
}

void CommNodes::OnKrnReport(NodeEntry* node, const uint8_t* event, uint16_t length) {
  if (length < kReportHeadLength) {
    LogPrintfQueued("Error: Short IO_KRN_EVNT_REPORT (%d bytes) from node %s, ignored.\n", length,
                    node->name);
    return;
  }
  const uint8_t index = event[18];
  const uint8_t n = event[19];
  if (kReportHeadLength + n > length) {
    LogPrintfQueued("Error: IO_KRN_EVNT_REPORT from node %s claims %d bytes, holds %d, ignored.\n",
                    node->name, n, length - kReportHeadLength);
    return;
  }
  if (g_bIpcCommDebug)
    LogPrintfQueued("%s: IO_KRN_EVNT_REPORT, index=0x%02X, Len=%d\n", node->name, index, n);
  const int slot = SlotOfIndex(node, index & kIndexMask);
  if (slot < 0) {
    LogPrintfQueued("Error: Invalid index received from node %s (0x%0x)\n", node->name, index);
    return;
  }
  PortSlot& port = node->ports[slot];
  const bool unsolicited = (index & kUnsolicited) != 0;
  RackMsg* msg = unsolicited ? port.RxMsg : port.TxHead;
  if (msg == nullptr) {
    LogPrintfQueued("Error: IO_KRN_EVNT_REPORT received from %s when %s == NULL. Ignored\n",
                    node->name, unsolicited ? "RxMsg" : "TxHead");
    return;
  }
  uint16_t& received = unsolicited ? port.rxReceived : port.received;
  if (received < kLenNoData) {
    LogPrintfQueued("Error: IO_KRN_EVNT_REPORT received from %s before IO_KRN_EVNT_START. Ignored\n",
                    node->name);
    return;
  }
  const uint32_t now = static_cast<uint32_t>(received) + n;
  if (now - kLenNoData > kRackMsgResponseSize) {
    if (msg->Rcode != RC_RESPONSE_TOO_LARGE)
      LogPrintfQueued("Error: response from rack %d overflowed the buffer.\n",
                      static_cast<int>(msg->Rack));
    msg->Rcode = RC_RESPONSE_TOO_LARGE;
  } else {
    std::memcpy(msg->response + (received - kLenNoData), event + kReportHeadLength, n);
  }
  const uint16_t len = msg->responseLength;
  if (now > len) {
    LogPrintfQueued(
        "Error: response from rack %d was longer than indicated by IO_KRN_EVNT_START (%d > %d).\n",
        static_cast<int>(msg->Rack), static_cast<int>(now), len);
    received = 0;
    if (unsolicited) {
      FreeRackMsg(msg);
      port.RxMsg = nullptr;
      return;
    }
    FailHead(node, slot, RC_INVALID_RESPONSE);
    SendNext(node, slot);
    return;
  }
  received = static_cast<uint16_t>(now);
  if (now < len) return;

  Unpack(msg);
  if (!unsolicited) {
    ForwardResponse(node, slot);
    SendNext(node, slot);
    return;
  }
  port.RxMsg = nullptr;
  port.rxReceived = 0;
  RackEntry* rack = Rack(msg->Rack);
  if (msg->Rcode == RC_INVALID_RESPONSE || rack == nullptr) {
    // Nothing of it can be read: the next poll brings the state again.
    FreeRackMsg(msg);
    return;
  }
  // A response too large for the response area goes on without its data:
  // its code makes the UI thread probe the rack with a fault
  // synchronisation.
  ++rack->RxFaults;
  if (g_bIpcCommDebug)
    LogPrintfQueued("%s: Forwarding %d byte poll response from rack %d, Rcode = 0x%04x, cmd = 0x%04X\n",
                    node->name, msg->responseLength, static_cast<int>(msg->Rack), msg->Rcode,
                    msg->responseLength >= 2 ? msg->ReplyCommand() : 0);
  if (msg->Rcode == 0) SetRackResponding(rack, true);
  m_pHost->PostRackEvent(msg);
}

void CommNodes::OnKrnIndex(NodeEntry* node, const uint8_t* event, uint16_t length) {
  if (length < kIndexLength) {
    LogPrintfQueued("Error: Short IO_KRN_EVNT_INDEX (%d bytes) from node %s, ignored.\n", length,
                    node->name);
    return;
  }
  const uint8_t index = event[18];
  if ((node->flags & NODE_FLAG_PORT_OPENING) == 0) {
    LogPrintfQueued("%s: Unexpected IO_KRN_EVNT_INDEX ignored, index = 0x%x.\n", node->name, index);
    return;
  }
  node->flags &= ~NODE_FLAG_PORT_OPENING;
  const uint32_t opening = node->openingSlot;
  if (opening >= static_cast<uint32_t>(kPortSlots)) return;
  const int slot = static_cast<int>(opening);
  // An index with the unsolicited bit, or one another port holds, could
  // never be told apart in the responses: the connection is built again.
  const int holder = SlotOfIndex(node, index);
  if ((index & kUnsolicited) != 0 || (holder >= 0 && holder != slot)) {
    LogPrintfQueued("%s: Error: Invalid KRN port index 0x%02x for port %d, reconnecting.\n",
                    node->name, index, slot - 1);
    node->flags |= NODE_FLAG_DISCONNECT | NODE_FLAG_RECONNECT;
    return;
  }
  PortSlot& port = node->ports[slot];
  port.portIndex = index;
  port.flags |= PORT_FLAG_OPEN;
  if (g_bIpcCommDebug)
    LogPrintfQueued("%s: Received KRN port index of 0x%02x for port %d\n", node->name, index,
                    slot - 1);
  if ((port.flags & PORT_FLAG_CONFIGURED) == 0) {
    // A load dropped the port while its open was outstanding: it is closed
    // again at once, so that no poll is registered on it and the node does
    // not keep it open.
    if (g_bIpcCommDebug) LogPrintfQueued("%s: Closing IO_KRN on port %d.\n", node->name, slot - 1);
    ClosePort(node, slot);
    if (!OpenNextPort(node)) AddPollingForNode(node);
    return;
  }
  if (!OpenNextPort(node)) AddPollingForNode(node);
  // The head that waited for this port goes out now.
  if (!port.headSent) SendNext(node, slot);
}
