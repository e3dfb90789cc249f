// Internal interface of module ipcdrdb: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCDRDB_H
#define IPCDRDB_H

struct IpcDrdbState {
};

#endif
