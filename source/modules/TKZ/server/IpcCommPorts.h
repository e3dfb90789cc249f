// The document's and the rack-message layer's ports onto the comm thread
// theIpcComm: starting it, the three synchronous load calls, and the rack
// up / version relay.
//
// Threads: UI thread only (the controlling thread of theIpcComm).
// Ownership: the adapters hold a reference to the comm object, which
// outlives them.
#pragma once

#include "CommPorts.h"
#include "DocCommPort.h"
#include "IpcComm.h"

class IpcCommDocPort final : public DocCommPort {
 public:
  explicit IpcCommDocPort(CIpcComm& comm = theIpcComm) : comm_(comm) {}
  bool Start() override { return comm_.Start(); }
  bool LoadPhase(uint32_t flags) override { return comm_.CommLoadPhase(flags); }
  bool AddNode(const NodeDesc* desc) override { return comm_.CommAddNode(desc); }
  bool AddRack(const RackDesc* desc) override { return comm_.CommAddRack(desc); }
  bool PostShutdown() override { return PostCommShutdown(); }
  bool PostIoFtpRequest(IoFtpRequest* job) override { return ::PostIoFtpRequest(job); }
  bool DisconnectNode(uint32_t nodeId) override { return CommDisconnectNode(nodeId); }

 private:
  CIpcComm& comm_;
};

