// The comm thread's handlers of the table messages and the rack messages
// (handed to the node and rack tables) and of the rack-up relay.  (The
// IO_FTP messages: IpcCommFtp.cpp; the reports: IpcCommReports.cpp.)
#include <cstdio>
#include <cstring>

#include "Comm.h"
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
  // The UI thread names the rack; one the table no longer holds, or whose
  // rack-up is stale (see CommNodes::MarkRackUp), is ignored.
  if (!ValidRackNumber(rackNumber) || !m_Nodes.MarkRackUp(rackNumber)) return;
  if (g_bIpcCommDebug)
    LogPrintfQueued("Rack %d is up, requesting version information.\n",
                    static_cast<int>(rackNumber));
  RequestRackVersion(rackNumber);
}

void CIpcComm::OnRackVersionSet(const RackVersionSet& version) {
  // A rack the table no longer holds is ignored.
  m_Nodes.SetRackVersion(version.rack, version.bytes);
}

void CIpcComm::OnSendMsg(RackMsg* msg) { m_Nodes.OnSendMsg(msg); }

void CIpcComm::OnLoadLearn(RackMsg* msg, int phase) { m_Nodes.OnLoadLearn(msg, phase); }

void CIpcComm::RequestRackVersion(uint32_t rack) { ::RequestRackVersion(rack); }
