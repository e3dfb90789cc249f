// Internal interface of module ipcdb: server locations and client slots.
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
#ifndef IPCDB_H
#define IPCDB_H

struct IpcDbState {
};

namespace ipc {

// No location in use, every location and slot on node 0 (zero bytes).
// Run by IpcInit and IpcTerm.
void IpcDbReset();

}  // namespace ipc

#endif
