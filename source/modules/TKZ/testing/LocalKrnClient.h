// Test and benchmark support: a client of the local direct-connect IO_KRN
// service, in a library instance of its own that lives as long as the
// object.  The owner starts the client once its own set-up (serial backend,
// clock) is in place and stops it before taking that down.  One thread only.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "DirectService.h"
#include "ipcinst.h"
#include "tessio32.h"

class LocalKrnClient {
 public:
  LocalKrnClient() : inst_(ipc::NewInstance()), use_(std::make_unique<ipc::ScopedInstance>(inst_)) {}
  ~LocalKrnClient() {
    use_.reset();
    ipc::DeleteInstance(inst_);
  }

  // The library with this PC as node 0 at `pcAddr`, the direct-connect
  // service started, and a procedure and an event client of it; events go
  // to onEvent with `self`.  False when a client could not be created.
  bool StartClient(uint32_t pcAddr, IpcClntEvntFn onEvent, intptr_t self) {
    IpcInit();
    IpcNetNodeInfoCreate(0, "PC", pcAddr, 1);
    DirectLinkServiceReset();
    DirectLinkStart();
    return IpcClntComProcCreate(IPC_SVR_IO_KRN, 1, "1.1", &comProc_) == 0 &&
           IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, onEvent, "1.1", &evnt_, self) == 0;
  }
  void StopClient() {
    IpcTerm();
    DirectLinkServiceReset();
  }

  // Calls procedure `proc` with the request in r (its header is filled
  // here, the fields from byte 16 on are the caller's).
  void Call(uint8_t* r, uint8_t proc, uint16_t length) {
    IpcComProcHdr h{};
    h.length = length;
    h.svrType = IPC_SVR_IO_KRN;
    h.svrIndx = 1;
    h.procId = proc;
    h.clntHandle = comProc_;
    std::memcpy(r, &h, sizeof h);
    IpcComProc(reinterpret_cast<IpcComProcHdr*>(r));
  }
  // Hands every queued event to its callback.
  static void Despatch() {
    while (IpcEvntDespatch() != 0) {
    }
  }

  LocalKrnClient(const LocalKrnClient&) = delete;
  LocalKrnClient& operator=(const LocalKrnClient&) = delete;

 protected:
  ipc::Instance* inst_;
  std::unique_ptr<ipc::ScopedInstance> use_;
  uint8_t comProc_ = 0;
  uint8_t evnt_ = 0;
};
