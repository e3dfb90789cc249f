// Internal interface of module ipcevnt: the inbound event ring.
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
#ifndef IPCEVNT_H
#define IPCEVNT_H

struct IpcEvntState {
};

namespace ipc {

// Empties the ring (slots filled with 0xCC, head = tail = 0, not busy).
// Run by IpcInit and IpcTerm.
void IpcEvntReset();

}  // namespace ipc

#endif
