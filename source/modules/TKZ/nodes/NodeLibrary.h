// The library calls the node and rack tables make (the node state machine,
// the IO_KRN port opens and closes, the IO_FTP logout), behind a small
// interface so the tables can be driven by a fake with manual ticks.
//
// The methods carry the library's own names and meaning (tessio32.h).
// TessioNodeLibrary forwards each call to the library.  The comm thread's
// wider seam (CommLibrary) extends this one.
// Threads: comm thread only (the library takes no locks).
// Ownership: whoever hands a NodeLibrary to CommNodes keeps it alive for as
// long as the tables run.
#pragma once

#include <cstdint>

#include "tessio32.h"

class NodeLibrary {
 public:
  virtual ~NodeLibrary() = default;

  virtual uint8_t IpcNetNodeAddrExists(uint32_t addr) = 0;
  virtual IpcNetNodeLinkStatus IpcNetNodeLinkStatusGet(uint8_t netNodeIndx) = 0;
  virtual IpcNetNodeStatus IpcNetNodeStatusGet(uint8_t netNodeIndx) = 0;
  virtual uint32_t IpcNetNodeAddrGet(uint8_t netNodeIndx) = 0;
  virtual uint16_t IpcNetNodeBufStateGet(uint8_t netNodeIndx, uint16_t* head, uint16_t* tail) = 0;
  virtual void IpcSvrLocationSet(uint8_t svrType, uint8_t svrIndx, uint8_t hostKind,
                                 uint8_t hostHandle, uint8_t netNodeIndx, int32_t a, int32_t b,
                                 int32_t c, int32_t d) = 0;
  virtual void IpcSvrLocationDestroy(uint8_t svrType, uint8_t svrIndx) = 0;
  virtual IpcErrCode IpcClntComProcCreate(uint8_t svrType, uint8_t svrIndx, const char* version,
                                          uint8_t* clntHandle) = 0;
  virtual IpcErrCode IpcClntEvntCreate(uint8_t svrType, uint8_t svrIndx, IpcClntEvntFn callback,
                                       const char* version, uint8_t* clntHandle,
                                       intptr_t userValue) = 0;
  virtual void IpcClntComProcDestroy(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) = 0;
  virtual void IpcClntEvntDestroy(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) = 0;
  virtual uint8_t IpcClntComProcNetHandleGet(uint8_t svrType, uint8_t svrIndx,
                                             uint8_t clntHandle) = 0;
  virtual uint8_t IpcClntEvntNetHandleGet(uint8_t svrType, uint8_t svrIndx,
                                          uint8_t clntHandle) = 0;
  // The request is the caller's buffer, valid during the call only.
  virtual int IpcComProc(IpcComProcHdr* request) = 0;
};

class TessioNodeLibrary : public virtual NodeLibrary {
 public:
  uint8_t IpcNetNodeAddrExists(uint32_t addr) override;
  IpcNetNodeLinkStatus IpcNetNodeLinkStatusGet(uint8_t netNodeIndx) override;
  IpcNetNodeStatus IpcNetNodeStatusGet(uint8_t netNodeIndx) override;
  uint32_t IpcNetNodeAddrGet(uint8_t netNodeIndx) override;
  uint16_t IpcNetNodeBufStateGet(uint8_t netNodeIndx, uint16_t* head, uint16_t* tail) override;
  void IpcSvrLocationSet(uint8_t svrType, uint8_t svrIndx, uint8_t hostKind, uint8_t hostHandle,
                         uint8_t netNodeIndx, int32_t a, int32_t b, int32_t c,
                         int32_t d) override;
  void IpcSvrLocationDestroy(uint8_t svrType, uint8_t svrIndx) override;
  IpcErrCode IpcClntComProcCreate(uint8_t svrType, uint8_t svrIndx, const char* version,
                                  uint8_t* clntHandle) override;
  IpcErrCode IpcClntEvntCreate(uint8_t svrType, uint8_t svrIndx, IpcClntEvntFn callback,
                               const char* version, uint8_t* clntHandle,
                               intptr_t userValue) override;
  void IpcClntComProcDestroy(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) override;
  void IpcClntEvntDestroy(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) override;
  uint8_t IpcClntComProcNetHandleGet(uint8_t svrType, uint8_t svrIndx,
                                     uint8_t clntHandle) override;
  uint8_t IpcClntEvntNetHandleGet(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) override;
  int IpcComProc(IpcComProcHdr* request) override;
};
