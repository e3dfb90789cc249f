// Internal interface of module ipcdrhst: local delivery of com-procs to the
// procedure functions of registered servers, and the raising of events by
// local servers (the exports IpcEvnt and IpcEvntSelectedSend).
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
#ifndef IPCDRHST_H
#define IPCDRHST_H

#include <cstdint>

#include "tessio32.h"

// Owned by the library instance (ipc::Instance::drhst).
struct IpcDrhstState {
  // Com-procs handed to a procedure function, and events that passed the
  // checks and were handed to the event ring, since the last reset.
  uint32_t delivered;
  uint32_t raised;
};

namespace ipc {

// Returns the module to its state at a fresh start.  Run by IpcInit and
// IpcTerm.
void IpcDrhstReset();

// Delivers a com-proc for a server of this process to its procedure and
// returns the procedure's result; 0 when refused (reported, module
// "ipcdrhst", with the caller's error context).  The server is the one
// registered as (svrType, hostHandle): the host handle is the server's own
// index here, the message's svrIndx is the client's numbering.  Checks, in
// order: null or over 1250 bytes (19); type (1); index or host handle (2);
// host kind not 1 (9); procedure id 0, above the server's id count or above
// its type's slots, or server not registered (3); no function for the id
// (12, severity 2); client handle not 1 to 16 (7); the version at offset 8,
// read within its 8 bytes, not valid (8) or outside the server's range (8,
// severity 2).  The message stays the caller's and is valid only during
// the call; the procedure may call back into the library.
int IpcSvcDeliver(const IpcComProcHdr* msg);

// The body of IpcEvnt (selector 0, 0) and IpcEvntSelectedSend: checks the
// event against its server's registration, stamps it (host kind 1, the
// server's high version) and queues it for the clients the selector names.
// Reports carry (1, 1) for a null or oversize event and the event's (type,
// host handle) after that; on return the error context is what it was on
// entry.  IpcLogError raises its reports through it; a report made on that
// road is dropped by IpcLogError itself, so no recursion results.  Returns
// 1 when the event was queued (or dropped because its server is not located
// here, so that nobody could receive it), IPC_EVNT_RING_FULL when the ring
// had no room (the raiser raises it again later), 0 after a report.
int IpcEvntRaise(IpcEvntHdr* event, uint8_t selNode, uint8_t selClnt);

// An observer of raised events (tests and debugging): called with every
// event that passed the checks and was stamped, just before it is handed
// to the ring.  Process-wide, for every instance; it survives IpcInit.
// Null removes it.  Returns the observer installed before.
using IpcEvntRaiseTap = void (*)(const IpcEvntHdr* event, uint8_t selNode, uint8_t selClnt);
IpcEvntRaiseTap IpcEvntRaiseTapInstall(IpcEvntRaiseTap tap);

}  // namespace ipc

#endif
