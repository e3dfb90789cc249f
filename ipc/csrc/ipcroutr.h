// Internal interface of module ipcroutr: the router server 18/1 and node
// announcements.
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
#ifndef IPCROUTR_H
#define IPCROUTR_H

#include <cstdint>

struct IpcRoutrState {
};

namespace ipc {

// Router event codes.
constexpr uint16_t kIpcRouterEvntLinkStatus = 261;
constexpr uint16_t kIpcRouterEvntNodeStatus = 262;

// Returns the router's state to a fresh start (it is created again by
// IpcNetInit).  Run by IpcTerm.
void IpcRoutrReset();

// Raised by the node table when a node's stored status changes: event 262
// for node 0; nothing for any other node.
void IpcRouterNodeStatusEvnt(uint8_t node, uint8_t status);
// Raised by the node table when a node's stored link status changes: event
// 261.
void IpcRouterLinkStatusEvnt(uint8_t node, uint8_t linkStatus);
// Asked by the node table for a linked node that goes offline: procedure 6
// to the node and locally.
void IpcRouterLinkCloseReq(uint8_t node);

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
