#include "CommLibrary.h"

#include "DirectLink.h"

DebugHook TessioLibrary::InstallDebugHook(DebugHook fn) { return ::InstallDebugHook(fn); }
SocketOpenHook TessioLibrary::InstallSocketOpenHook(SocketOpenHook fn) {
  return ::InstallSocketOpenHook(fn);
}
uint16_t TessioLibrary::IpcInit() { return ::IpcInit(); }
void TessioLibrary::IpcSvrLocationSet(uint8_t svrType, uint8_t svrIndx, uint8_t hostKind,
                                      uint8_t hostHandle, uint8_t netNodeIndx, int32_t a,
                                      int32_t b, int32_t c, int32_t d) {
  ::IpcSvrLocationSet(svrType, svrIndx, hostKind, hostHandle, netNodeIndx, a, b, c, d);
}
IpcErrCode TessioLibrary::IpcClntEvntCreate(uint8_t svrType, uint8_t svrIndx,
                                            IpcClntEvntFn callback, const char* version,
                                            uint8_t* clntHandle, intptr_t userValue) {
  return ::IpcClntEvntCreate(svrType, svrIndx, callback, version, clntHandle, userValue);
}
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
uint8_t TessioLibrary::IpcNetNodeAddrExists(uint32_t addr) { return ::IpcNetNodeAddrExists(addr); }
IpcNetNodeLinkStatus TessioLibrary::IpcNetNodeLinkStatusGet(uint8_t netNodeIndx) {
  return ::IpcNetNodeLinkStatusGet(netNodeIndx);
}
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
