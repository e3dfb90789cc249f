// The IO_KRN requests of the comm thread: port opens and closes, sending a
// port's head (packed, cut into appends), polling registrations.  The
// events and the responses are in CommKrnEvents.cpp; IO_FTP is CommFtp.cpp.
//
// Every request is built in a zeroed buffer: bytes the request does not
// define go out as 0.
#include <algorithm>
#include <cstring>

#include "CommNodes.h"
#include "DisplayFlags.h"
#include "IoKrnProtocol.h"
#include "LogSink.h"
#include "RackCommands.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "Rle.h"

namespace {

constexpr uint8_t kOpenPortOpen = 3;
constexpr uint8_t kOpenPortClose = 0;
constexpr uint16_t kOpenPortLength = 58;
constexpr uint16_t kSendLength = 24;
constexpr uint16_t kPollLength = 31;
constexpr int kAppendChunk = 40;
constexpr uint32_t kPollInterval = 2000;
constexpr uint8_t kKrnAtype = 0x23;
constexpr uint8_t kPollMode = 2;
// The packing buffer holds the worst case of a full command area.
constexpr size_t kPackedMax = RleWorstCase(kRackMsgCommandSize);

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A request buffer with its header filled.
struct Request {
  uint8_t bytes[IPC_MAX_MSG_LEN] = {};
  Request(uint16_t length, uint8_t svrType, uint8_t svrIndx, uint8_t proc, uint8_t clntHandle) {
    IpcComProcHdr h{};
    h.length = length;
    h.svrType = svrType;
    h.svrIndx = svrIndx;
    h.procId = proc;
    h.clntHandle = clntHandle;
    std::memcpy(bytes, &h, sizeof h);
  }
  IpcComProcHdr* hdr() { return reinterpret_cast<IpcComProcHdr*>(bytes); }
};

// The library's transmit queue took the request.
bool Queued(int result) { return result != IPC_NOT_QUEUED; }

}  // namespace

void CommNodes::Hold(NodeEntry* node, uint32_t rack) {
  if (!node->retryQueued) {
    if (rack != 0)
      LogPrintfQueued("%s: Error: The transmit queue is full; the message to rack %d waits.\n",
                      node->name, static_cast<int>(rack));
    else
      LogPrintfQueued("%s: Error: The transmit queue is full; the port and poll requests wait.\n",
                      node->name);
  }
  node->retryQueued = true;
  m_bAnyHeld = true;
}

void CommNodes::RetryHeld() {
  if (!m_bAnyHeld) return;
  m_bAnyHeld = false;
  for (uint32_t id : NodeIds()) {
    NodeEntry* node = Node(id);
    if (node == nullptr || !node->retryQueued) continue;
    node->retryQueued = false;
    // Without its clients the node gets everything again when it connects.
    if ((node->flags & NODE_FLAG_KRN_CONNECTED) == 0) continue;
    if (!OpenNextPort(node)) AddPollingForNode(node);
    for (int slot = 0; slot < kPortSlots; ++slot) {
      const PortSlot& port = node->ports[slot];
      if (port.TxHead != nullptr && !port.headSent && (port.flags & PORT_FLAG_OPEN) != 0)
        SendNext(node, slot);
    }
  }
}

bool CommNodes::SendOpenPort(NodeEntry* node, int slot, uint8_t subCommand) {
  Request r(kOpenPortLength, IPC_SVR_IO_KRN, node->clientId, IO_KRN_OPEN_PORT,
            node->krnComProcHandle);
  Put32(r.bytes + 16, m_pLib->IpcNetNodeAddrGet(0));
  r.bytes[20] = node->krnEvntHandle;
  r.bytes[21] = subCommand;
  r.bytes[22] = static_cast<uint8_t>(slot + 1);
  if (subCommand == kOpenPortOpen) r.bytes[23] = 4;
  Put16(r.bytes + 24, static_cast<uint16_t>(slot));
  return Queued(m_pLib->IpcComProc(r.hdr()));
}

bool CommNodes::OpenNextPort(NodeEntry* node) {
  if ((node->flags & NODE_FLAG_PORT_OPENING) != 0) return true;
  if ((node->flags & NODE_FLAG_KRN_CONNECTED) == 0) {
    // A teardown that has taken the clients away keeps the node Online
    // until it is Disconnected: connecting again under it would drop the
    // node out of Online unreported.
    if (node->state == NODE_STATE_ONLINE && (node->flags & NODE_FLAG_DISCONNECT) == 0)
      ConnectKrn(node);
    return false;
  }
  for (int slot = 0; slot < kPortSlots; ++slot) {
    const uint8_t f = node->ports[slot].flags;
    if ((f & PORT_FLAG_CONFIGURED) == 0 || (f & PORT_FLAG_OPEN) != 0) continue;
    if (g_bIpcCommDebug) LogPrintfQueued("%s: Initializing IO_KRN Port %d\n", node->name, slot - 1);
    node->flags |= NODE_FLAG_PORT_OPENING;
    node->openingSlot = static_cast<uint32_t>(slot);
    if (!SendOpenPort(node, slot, kOpenPortOpen)) {
      // Not sent: opened again on a retry.
      node->flags &= ~NODE_FLAG_PORT_OPENING;
      Hold(node, 0);
    }
    return true;
  }
  return false;
}

void CommNodes::ClosePort(NodeEntry* node, int slot) {
  if (slot < 0 || slot >= kPortSlots) return;
  node->ports[slot].flags &= static_cast<uint8_t>(~PORT_FLAG_OPEN);
  SendOpenPort(node, slot, kOpenPortClose);
}

void CommNodes::SendHead(NodeEntry* node, int slot) {
  node->flags &= ~NODE_FLAG_FLUSH_PENDING;
  node->countdown = 0;
  PortSlot& port = node->ports[slot];
  while (RackMsg* msg = port.TxHead) {
    if ((port.flags & PORT_FLAG_CONFIGURED) == 0) {
      // No port lies on the slot: nothing would ever open it.
      LogPrintfQueued("Error: Tossing message to rack %d, port %d of %s is not configured.\n",
                      static_cast<int>(msg->Rack), slot - 1, node->name);
      FailHead(node, slot, RC_NO_NODE_FOR_RACK);
      continue;
    }
    if ((port.flags & PORT_FLAG_OPEN) == 0 || port.portIndex == kNoPortIndex) {
      // The port is not open yet: the head goes out when its index
      // arrives.  The response countdown guards the wait as it guards an
      // answer, so a port that never opens cannot hold the message.
      port.headSent = false;
      if (port.responseCountdown == 0) port.responseCountdown = kPortResponseTicks;
      OpenNextPort(node);
      return;
    }
    if (!port.held) {
      msg->responseLength = 0;
      port.received = 0;
      if (g_bIpcCommDebug) {
        if (msg->Rack == kRackBroadcast)
          LogPrintfQueued("%s: Sending broadcast on port %d, Cmd=0x%04X.\n", node->name, slot - 1,
                          msg->Command());
        else
          LogPrintfQueued("%s: Sending message to rack %d, port %d, Cmd=0x%04X.\n", node->name,
                          static_cast<int>(msg->Rack), slot - 1, msg->Command());
      }
    }
    const Send sent = SendKrnMsg(node, slot, msg);
    if (sent != Send::kBad) return;
    // Cannot happen for a message QueueMsg took; it goes back unsent.
    FailHead(node, slot, RC_COMM_FAILURE);
  }
}

CommNodes::Send CommNodes::SendKrnMsg(NodeEntry* node, int slot, RackMsg* msg) {
  if (msg->sendLength < 0 || msg->sendLength > static_cast<int32_t>(kRackMsgCommandSize))
    return Send::kBad;
  uint8_t packed[kPackedMax];
  uint16_t packedLength = 0;
  if (msg->sendLength > 0) {
    packedLength = RleEncode(msg->command, static_cast<uint16_t>(msg->sendLength), packed,
                             sizeof packed, 1);
    if (packedLength == RLE_FAIL) return Send::kBad;
  }
  PortSlot& port = node->ports[slot];
  if (!port.held) {
    port.heldSendQueued = false;
    port.heldPackedQueued = 0;
  }
  auto held = [&] {
    port.held = true;
    port.headSent = false;
    // The wait is guarded as an answer is: it cannot hold the port for good.
    if (port.responseCountdown == 0) port.responseCountdown = kPortResponseTicks;
    Hold(node, msg->Rack);
    return Send::kHeld;
  };
  if (!port.heldSendQueued) {
    Request send(kSendLength, IPC_SVR_IO_KRN, node->clientId, IO_KRN_SEND,
                 node->krnComProcHandle);
    send.bytes[16] = port.portIndex;
    send.bytes[17] = kKrnAtype;
    Put16(send.bytes + 18, static_cast<uint16_t>(packedLength + 3));
    Put16(send.bytes + 20, static_cast<uint16_t>(msg->Rack));
    if (!Queued(m_pLib->IpcComProc(send.hdr()))) return held();
    port.heldSendQueued = true;
  }
  for (int done = port.heldPackedQueued; done < packedLength;) {
    const int n = std::min(kAppendChunk, packedLength - done);
    Request append(static_cast<uint16_t>(18 + n), IPC_SVR_IO_KRN, node->clientId, IO_KRN_APPEND,
                   node->krnComProcHandle);
    append.bytes[16] = static_cast<uint8_t>(n);
    append.bytes[17] = port.portIndex;
    std::memcpy(append.bytes + 18, packed + done, static_cast<size_t>(n));
    if (!Queued(m_pLib->IpcComProc(append.hdr()))) {
      port.heldPackedQueued = static_cast<uint16_t>(done);
      return held();
    }
    done += n;
  }
  PortHeadUnsent(port);
  port.headSent = true;
  port.responseCountdown = kPortResponseTicks;
  return Send::kSent;
}

void CommNodes::AddPoll(RackEntry* rack) {
  NodeEntry* node = Node(rack->nodeId);
  if ((rack->flags & RACK_FLAG_LEARNING) != 0 || node == nullptr ||
      (node->flags & NODE_FLAG_KRN_CONNECTED) == 0 || rack->portSlot >= kPortSlots)
    return;
  const PortSlot& port = node->ports[rack->portSlot];
  if ((port.flags & PORT_FLAG_OPEN) == 0) return;
  uint8_t command[kRackMsgCommandSize] = {};
  uint8_t atype = 0;
  const int length = std::clamp(GetPollCommand(atype, command), 0,
                                static_cast<int>(kRackMsgCommandSize));
  uint8_t packed[kPackedMax];
  uint16_t packedLength =
      RleEncode(command, static_cast<uint16_t>(length), packed, sizeof packed, 1);
  // The append's count is one byte: a poll command packs to a few bytes.
  if (packedLength == RLE_FAIL || packedLength > 255 - 3) {
    LogPrintfQueued("Error: Polling command for rack %d does not fit, not registered.\n",
                    static_cast<int>(rack->rack));
    return;
  }
  const uint16_t key = static_cast<uint16_t>(rack->portSlot * 256 + (rack->rack & 0xFF));
  Request add(kPollLength, IPC_SVR_IO_KRN, node->clientId, IO_KRN_ADD_POLL,
              node->krnComProcHandle);
  Put32(add.bytes + 16, kPollInterval);
  Put16(add.bytes + 20, key);
  Put16(add.bytes + 22, static_cast<uint16_t>(rack->rack));
  Put16(add.bytes + 24, static_cast<uint16_t>(packedLength + 3));
  add.bytes[26] = port.portIndex;
  add.bytes[27] = kKrnAtype;
  add.bytes[30] = kPollMode;
  Request append(static_cast<uint16_t>(18 + packedLength), IPC_SVR_IO_KRN, node->clientId,
                 IO_KRN_APPEND, node->krnComProcHandle);
  append.bytes[16] = static_cast<uint8_t>(packedLength + 3);
  append.bytes[17] = port.portIndex;
  std::memcpy(append.bytes + 18, packed, packedLength);
  // The registration counts once both are queued; until then it is made
  // again, whole, on a retry (a repeated one replaces the node's poll of
  // the same key).
  if (!Queued(m_pLib->IpcComProc(add.hdr())) || !Queued(m_pLib->IpcComProc(append.hdr()))) {
    Hold(node, 0);
    return;
  }
  if (g_bIpcCommDebug)
    LogPrintfQueued("%s: Adding polling command for rack %d on port %d.\n", node->name,
                    static_cast<int>(rack->rack), rack->portSlot - 1);
  node->flags |= NODE_FLAG_POLLS_ADDED;
  rack->flags |= RACK_FLAG_POLLING | RACK_FLAG_SYNC_SENT;
  m_pHost->SendSyncFaultEvents(rack->rack);
}

void CommNodes::DeletePoll(RackEntry* rack) {
  rack->flags &= static_cast<uint8_t>(~RACK_FLAG_POLLING);
  NodeEntry* node = Node(rack->nodeId);
  if (node == nullptr || rack->portSlot >= kPortSlots) return;
  if (g_bIpcCommDebug)
    LogPrintfQueued("%s: Deleting polling command for rack %d on port %d.\n", node->name,
                    static_cast<int>(rack->rack), rack->portSlot - 1);
  const uint16_t key = static_cast<uint16_t>(rack->portSlot * 256 + (rack->rack & 0xFF));
  Request del(kPollLength, IPC_SVR_IO_KRN, node->clientId, IO_KRN_DELETE_POLL,
              node->krnComProcHandle);
  Put16(del.bytes + 20, key);
  del.bytes[26] = node->ports[rack->portSlot].portIndex;
  m_pLib->IpcComProc(del.hdr());
}

void CommNodes::AddPollingForNode(NodeEntry* node) {
  for (auto& [number, rack] : m_RackMap)
    if (rack->nodeId == node->nodeId && (rack->flags & RACK_FLAG_POLLING) == 0) AddPoll(rack.get());
}

void CommNodes::DeletePollingForNode(NodeEntry* node) {
  for (auto& [number, rack] : m_RackMap)
    if (rack->nodeId == node->nodeId && (rack->flags & RACK_FLAG_POLLING) != 0)
      DeletePoll(rack.get());
}
