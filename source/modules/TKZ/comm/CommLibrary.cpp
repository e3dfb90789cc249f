#include "CommLibrary.h"

#include "DirectService.h"
#include "MsClock.h"

DebugHook TessioLibrary::InstallDebugHook(DebugHook fn) { return ::InstallDebugHook(fn); }
SocketOpenHook TessioLibrary::InstallSocketOpenHook(SocketOpenHook fn) {
  return ::InstallSocketOpenHook(fn);
}
uint16_t TessioLibrary::IpcInit() { return ::IpcInit(); }
uint8_t TessioLibrary::IpcNetNodeInfoCreate(uint8_t netNodeIndx, const char* name, uint32_t addr,
                                            uint8_t nodeType) {
  return ::IpcNetNodeInfoCreate(netNodeIndx, name, addr, nodeType);
}
void TessioLibrary::SetCurrentTime(IpcTime time) { ::IpcCurrentTime = time; }
void TessioLibrary::IpcNetTcpIpInitDriver() { ::IpcNetTcpIpInitDriver(); }
uint8_t TessioLibrary::IpcNetTcpIpIsInitOk() { return ::IpcNetTcpIpIsInitOk(); }
uint8_t TessioLibrary::IpcNetNodeLinkInit() { return ::IpcNetNodeLinkInit(); }
uint8_t TessioLibrary::IpcGetMaxNetNodeIndx() { return ::IpcGetMaxNetNodeIndx(); }
void TessioLibrary::IpcNetTcpIpTick() { ::IpcNetTcpIpTick(); }
void TessioLibrary::IpcNetDespatch() { ::IpcNetDespatch(); }
uint8_t TessioLibrary::IpcEvntDespatch() { return ::IpcEvntDespatch(); }
void TessioLibrary::DirectLinkStart() { ::DirectLinkStart(); }
void TessioLibrary::MsClockSet(uint8_t hour, uint8_t minute, uint8_t second,
                               uint8_t hundredths) {
  ::MsClockSet(hour, minute, second, hundredths);
}
void TessioLibrary::DirectLinkTick() { ::DirectLinkTick(); }

CommLibrary& DefaultCommLibrary() {
  static TessioLibrary library;
  return library;
}
