// Internal interface of module ipccheck: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCCHECK_H
#define IPCCHECK_H

struct IpcCheckState {
};

#endif
