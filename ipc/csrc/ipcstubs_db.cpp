// Stand-ins for the operations of the datagram layer and the router that
// server locations, client slots and com-proc routing call.
// Each goes when its module is built.  Tests observe these calls through
// IpcDbPeers (ipcdb.h), not here.
#include "ipcroutr.h"

namespace ipc {

// ipcroutr
void IpcRouterAttachComProcReq(uint8_t /*node*/, uint8_t /*svrType*/, uint8_t /*hostHandle*/,
                               uint8_t /*hostKind*/, const char* /*version*/) {}
void IpcRouterAttachEvntReq(uint8_t /*node*/, uint8_t /*svrType*/, uint8_t /*hostHandle*/,
                            uint8_t /*hostKind*/, const char* /*version*/) {}
void IpcRouterDetachComProcReq(uint8_t /*node*/, uint8_t /*svrType*/, uint8_t /*hostHandle*/,
                               uint8_t /*hostKind*/, const char* /*version*/,
                               uint8_t /*netHandle*/) {}
void IpcRouterDetachEvntReq(uint8_t /*node*/, uint8_t /*svrType*/, uint8_t /*hostHandle*/,
                            uint8_t /*hostKind*/, const char* /*version*/,
                            uint8_t /*netHandle*/) {}

}  // namespace ipc
