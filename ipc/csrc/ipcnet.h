// Internal interface of module ipcnet: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCNET_H
#define IPCNET_H

struct IpcNetState {
};

#endif
