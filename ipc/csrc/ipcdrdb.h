// Internal interface of module ipcdrdb: the service database, which keeps
// the registrations of IpcSvrAndSvcCreate (one service record per possible
// server, and the id slots of each server).
// Its state is a member of the library instance (see ipcinst.h); nothing
// here is allocated, every table is indexed directly.
// Must not include ipcinst.h.
#ifndef IPCDRDB_H
#define IPCDRDB_H

#include <cstdint>

#include "tessio32.h"

// One registered (or free) server.
struct IpcSvcRecord {
  uint8_t inUse;           // 1 = registered
  uint8_t idCount;         // ids 1 to idCount, at most 30
  IpcVersion lowVersion;   // NUL-padded, validated at registration
  IpcVersion highVersion;
};

// One id of a server: a procedure id and an event id with the same number
// share the slot and are independent of each other.
struct IpcSvcIdSlot {
  IpcComProcFn fn;      // null = no procedure with this id
  uint8_t evntEnabled;  // 1 = the server raises events with this id
};

// Id slots per server, by type: a server can use no more ids than these,
// whatever its idCount.
constexpr uint8_t kIpcSvcSlotsLog = 1;      // type 1
constexpr uint8_t kIpcSvcSlotsAux = 6;      // type 16
constexpr uint8_t kIpcSvcSlotsRouter = 11;  // type 18
constexpr uint8_t kIpcSvcSlotsIoFtp = 17;   // type 21
constexpr uint8_t kIpcSvcSlotsIoKrn = 10;   // type 22

// One record for each of types 1, 16 and 18, one hundred for each of 21, 22.
constexpr int kIpcSvcRecordCount = 3 + 2 * IPC_MAX_SVR_INDX;  // 203
constexpr int kIpcSvcSlotCount = kIpcSvcSlotsLog + kIpcSvcSlotsAux + kIpcSvcSlotsRouter +
                                 IPC_MAX_SVR_INDX * (kIpcSvcSlotsIoFtp + kIpcSvcSlotsIoKrn);

// Owned by the library instance (ipc::Instance::drdb).  All zero before
// IpcInit and after IpcInit or IpcTerm.
struct IpcDrdbState {
  IpcSvcRecord records[kIpcSvcRecordCount];
  IpcSvcIdSlot slots[kIpcSvcSlotCount];
};

namespace ipc {

// Every service record free and every id slot empty.  Run by IpcInit and
// IpcTerm.
void IpcDrdbReset();

// Id slots of a server of the type; 0 for an invalid type.  Quiet.
uint8_t IpcSvcSlotsPerSvr(uint8_t svrType);

// True when the server is registered.  Quiet: an invalid type or index
// gives false without a report (IpcLogError asks it for the log server, so
// it must never report).
bool IpcSvcExists(uint8_t svrType, uint8_t svrIndx);

// The record of a registered server, or null.  Quiet.  The pointer is valid
// until the next reset of the database.
const IpcSvcRecord* IpcSvcFind(uint8_t svrType, uint8_t svrIndx);

// The highest id the registered server accepts: its idCount, bounded by the
// slot count of its type; 0 when it is not registered.  Quiet.
uint8_t IpcSvcMaxId(uint8_t svrType, uint8_t svrIndx);

// The operations below are for the library's other modules.  Each checks
// the server type (error 1) and index (error 2) and reports a server that
// is not registered (error 12, severity 2), with the caller's error context
// and module name "ipcdrdb"; an id outside 1 to IpcSvcMaxId is not
// reported here (the caller knows what it was asked).

// True when the server is registered.
bool IpcSvcRegistered(uint8_t svrType, uint8_t svrIndx);
// True when id is within 1 to the server's highest id.
bool IpcSvcIdValid(uint8_t svrType, uint8_t svrIndx, uint8_t id);
// The procedure function of the id; null when none is registered or the id
// is out of range.
IpcComProcFn IpcSvcProcFnGet(uint8_t svrType, uint8_t svrIndx, uint8_t id);
// True when the server raises events with this id.
bool IpcSvcEvntEnabled(uint8_t svrType, uint8_t svrIndx, uint8_t id);
// Copies the server's high version (8 bytes); false, with a zero field,
// when refused.
bool IpcSvcHighVersionGet(uint8_t svrType, uint8_t svrIndx, char out[IPC_VERSION_SIZE]);
// True when the version (at most 8 bytes are read) lies within the
// server's range, both ends included.  A version that is not a valid
// IpcVersion is reported (error 8, severity 1); one that is valid but
// outside the range is not reported here.
bool IpcSvcVersionInRange(uint8_t svrType, uint8_t svrIndx, const char* version);

}  // namespace ipc

#endif
