// The comm thread's seam to the IPC library and the direct-connect link:
// every call the comm thread makes into either goes through a CommLibrary,
// so tests can put a recording fake in place of the library.
//
// The methods carry the library's own names and meaning (tessio32.h).  The
// default, TessioLibrary, forwards each call to the library and the link.
// Threads: called on the comm thread only (the library takes no locks).
// Ownership: CIpcComm does not own the CommLibrary it is given; it must
// outlive the comm thread.
#pragma once

#include <cstdint>

#include "NodeLibrary.h"
#include "tessio32.h"

// The node tables' calls (NodeLibrary) are part of it.
class CommLibrary : public virtual NodeLibrary {
 public:
  virtual ~CommLibrary() = default;

  virtual DebugHook InstallDebugHook(DebugHook fn) = 0;
  virtual SocketOpenHook InstallSocketOpenHook(SocketOpenHook fn) = 0;
  virtual uint16_t IpcInit() = 0;
  virtual uint8_t IpcNetNodeInfoCreate(uint8_t netNodeIndx, const char* name, uint32_t addr,
                                       uint8_t nodeType) = 0;
  // Writes the exported variable IpcCurrentTime.
  virtual void SetCurrentTime(IpcTime time) = 0;
  virtual void IpcNetTcpIpInitDriver() = 0;
  virtual uint8_t IpcNetTcpIpIsInitOk() = 0;
  virtual uint8_t IpcNetNodeLinkInit() = 0;
  virtual uint8_t IpcGetMaxNetNodeIndx() = 0;
  virtual void IpcNetTcpIpTick() = 0;
  virtual void IpcNetDespatch() = 0;
  virtual uint8_t IpcEvntDespatch() = 0;

  // The direct-connect link, which runs on the comm thread.
  virtual void DirectLinkStart() = 0;
  virtual void MsClockSet(uint8_t hour, uint8_t minute, uint8_t second, uint8_t hundredths) = 0;
  virtual void DirectLinkTick() = 0;
};

class TessioLibrary : public CommLibrary, public TessioNodeLibrary {
 public:
  DebugHook InstallDebugHook(DebugHook fn) override;
  SocketOpenHook InstallSocketOpenHook(SocketOpenHook fn) override;
  uint16_t IpcInit() override;
  uint8_t IpcNetNodeInfoCreate(uint8_t netNodeIndx, const char* name, uint32_t addr,
                               uint8_t nodeType) override;
  void SetCurrentTime(IpcTime time) override;
  void IpcNetTcpIpInitDriver() override;
  uint8_t IpcNetTcpIpIsInitOk() override;
  uint8_t IpcNetNodeLinkInit() override;
  uint8_t IpcGetMaxNetNodeIndx() override;
  void IpcNetTcpIpTick() override;
  void IpcNetDespatch() override;
  uint8_t IpcEvntDespatch() override;
  void DirectLinkStart() override;
  void MsClockSet(uint8_t hour, uint8_t minute, uint8_t second, uint8_t hundredths) override;
  void DirectLinkTick() override;
};

// The process's TessioLibrary.
CommLibrary& DefaultCommLibrary();
