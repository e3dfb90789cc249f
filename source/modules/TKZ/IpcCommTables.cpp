// The comm thread's handlers of the table messages (handed to the node and
// rack tables) and of the rack-up relay.  The load learning is not built
// yet: until it is, a learn-loads message goes straight back with
// RC_NODE_OFFLINE.  (The IO_FTP messages: IpcCommFtp.cpp.)
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

void CIpcComm::OnLoadPhase(uint32_t flags) { m_Nodes.OnLoadPhase(flags); }
void CIpcComm::OnAddNode(const NodeDesc& desc) { m_Nodes.OnAddNode(desc); }
void CIpcComm::OnAddRack(const RackDesc& desc) { m_Nodes.OnAddRack(desc); }
void CIpcComm::OnDisconnectNode(uint32_t nodeId) { m_Nodes.OnDisconnectNode(nodeId); }

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
  // A rack the table no longer holds is ignored.
  m_Nodes.SetRackVersion(version.rack, version.bytes);
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
  m_Nodes.QueueMsg(msg);
}

void CIpcComm::OnLoadLearn(RackMsg* msg, int /*phase*/) {
  // Without the IO_KRN client no learn cycle can run.
  msg->Rcode = RC_NODE_OFFLINE;
  ReturnMsg(msg);
}

void CIpcComm::RequestRackVersion(uint32_t /*rack*/) {}
