// Internal interface of module ipcnetdb: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCNETDB_H
#define IPCNETDB_H

struct IpcNetdbState {
};

#endif
