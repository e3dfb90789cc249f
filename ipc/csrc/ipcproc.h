// Internal interface of module ipcproc: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCPROC_H
#define IPCPROC_H

struct IpcProcState {
};

#endif
