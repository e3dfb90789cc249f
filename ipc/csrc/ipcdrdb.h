// Internal interface of module ipcdrdb: the service database (the
// registrations of IpcSvrAndSvcCreate).
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
#ifndef IPCDRDB_H
#define IPCDRDB_H

#include <cstdint>

struct IpcDrdbState {
};

namespace ipc {

// Every service record free.  Run by IpcInit and IpcTerm.
void IpcDrdbReset();

// True when the server is registered.  Quiet: an invalid type or index
// gives false without a report (IpcLogError asks it for the log server, so
// it must never report).
bool IpcSvcExists(uint8_t svrType, uint8_t svrIndx);

}  // namespace ipc

#endif
