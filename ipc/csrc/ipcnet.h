// Internal interface of module ipcnet: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCNET_H
#define IPCNET_H

#include <cstdint>

#include "tessio32.h"

struct IpcNetState {
};

namespace ipc {

// Validates a com-proc for a server located on node and queues it there.
int IpcNetComProcSend(uint8_t node, const IpcComProcHdr* request);
// Validates an event for a client on node and queues it there.
int IpcNetEvntSend(uint8_t node, const IpcEvntHdr* event);
// A client on a server of node was created: move its link towards linked.
void IpcNetLinkNeeded(uint8_t node);
// A client concerning node was destroyed: when no relation with the node
// remains, move its link towards unlinked.
void IpcNetLinkNotNeeded(uint8_t node);

}  // namespace ipc

#endif
