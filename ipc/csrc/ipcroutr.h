// Internal interface of module ipcroutr: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCROUTR_H
#define IPCROUTR_H

#include <cstdint>

struct IpcRoutrState {
};

namespace ipc {

// Requests to the router of node: create a proxy for a local client of a
// server located there (procedures 1 and 2), or remove the proxy with that
// net handle (procedures 3 and 4).  version is the client's (8 bytes).
void IpcRouterAttachComProcReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                               uint8_t hostKind, const char* version);
void IpcRouterAttachEvntReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                            uint8_t hostKind, const char* version);
void IpcRouterDetachComProcReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                               uint8_t hostKind, const char* version, uint8_t netHandle);
void IpcRouterDetachEvntReq(uint8_t node, uint8_t svrType, uint8_t hostHandle,
                            uint8_t hostKind, const char* version, uint8_t netHandle);

}  // namespace ipc

#endif
