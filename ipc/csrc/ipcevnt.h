// Internal interface of module ipcevnt: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCEVNT_H
#define IPCEVNT_H

struct IpcEvntState {
};

#endif
