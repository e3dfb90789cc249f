#include "NodeLibrary.h"

uint8_t TessioNodeLibrary::IpcNetNodeAddrExists(uint32_t addr) {
  return ::IpcNetNodeAddrExists(addr);
}
IpcNetNodeLinkStatus TessioNodeLibrary::IpcNetNodeLinkStatusGet(uint8_t netNodeIndx) {
  return ::IpcNetNodeLinkStatusGet(netNodeIndx);
}
IpcNetNodeStatus TessioNodeLibrary::IpcNetNodeStatusGet(uint8_t netNodeIndx) {
  return ::IpcNetNodeStatusGet(netNodeIndx);
}
uint32_t TessioNodeLibrary::IpcNetNodeAddrGet(uint8_t netNodeIndx) {
  return ::IpcNetNodeAddrGet(netNodeIndx);
}
uint16_t TessioNodeLibrary::IpcNetNodeBufStateGet(uint8_t netNodeIndx, uint16_t* head,
                                                  uint16_t* tail) {
  return ::IpcNetNodeBufStateGet(netNodeIndx, head, tail);
}
void TessioNodeLibrary::IpcSvrLocationSet(uint8_t svrType, uint8_t svrIndx, uint8_t hostKind,
                                          uint8_t hostHandle, uint8_t netNodeIndx, int32_t a,
                                          int32_t b, int32_t c, int32_t d) {
  ::IpcSvrLocationSet(svrType, svrIndx, hostKind, hostHandle, netNodeIndx, a, b, c, d);
}
void TessioNodeLibrary::IpcSvrLocationDestroy(uint8_t svrType, uint8_t svrIndx) {
  ::IpcSvrLocationDestroy(svrType, svrIndx);
}
IpcErrCode TessioNodeLibrary::IpcClntComProcCreate(uint8_t svrType, uint8_t svrIndx,
                                                   const char* version, uint8_t* clntHandle) {
  return ::IpcClntComProcCreate(svrType, svrIndx, version, clntHandle);
}
IpcErrCode TessioNodeLibrary::IpcClntEvntCreate(uint8_t svrType, uint8_t svrIndx,
                                                IpcClntEvntFn callback, const char* version,
                                                uint8_t* clntHandle, intptr_t userValue) {
  return ::IpcClntEvntCreate(svrType, svrIndx, callback, version, clntHandle, userValue);
}
void TessioNodeLibrary::IpcClntComProcDestroy(uint8_t svrType, uint8_t svrIndx,
                                              uint8_t clntHandle) {
  ::IpcClntComProcDestroy(svrType, svrIndx, clntHandle);
}
void TessioNodeLibrary::IpcClntEvntDestroy(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle) {
  ::IpcClntEvntDestroy(svrType, svrIndx, clntHandle);
}
uint8_t TessioNodeLibrary::IpcClntComProcNetHandleGet(uint8_t svrType, uint8_t svrIndx,
                                                      uint8_t clntHandle) {
  return ::IpcClntComProcNetHandleGet(svrType, svrIndx, clntHandle);
}
uint8_t TessioNodeLibrary::IpcClntEvntNetHandleGet(uint8_t svrType, uint8_t svrIndx,
                                                   uint8_t clntHandle) {
  return ::IpcClntEvntNetHandleGet(svrType, svrIndx, clntHandle);
}
int TessioNodeLibrary::IpcComProc(IpcComProcHdr* request) { return ::IpcComProc(request); }
