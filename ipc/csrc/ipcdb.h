// Internal interface of module ipcdb: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCDB_H
#define IPCDB_H

struct IpcDbState {
};

#endif
