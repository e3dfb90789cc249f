// Internal interface of module ipcdrhst: local delivery of com-procs to
// registered procedures and the raising of events by local servers.
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
#ifndef IPCDRHST_H
#define IPCDRHST_H

#include <cstdint>

#include "tessio32.h"

struct IpcDrhstState {
};

namespace ipc {

// Returns the module to its state at a fresh start.  Run by IpcInit and
// IpcTerm.
void IpcDrhstReset();

// The body of IpcEvnt (selector 0, 0) and IpcEvntSelectedSend: checks the
// event against its server's registration, stamps it and queues it for the
// clients the selector names.  Leaves the error context as it is (its
// caller set it).  IpcLogError raises its reports through it; a report made
// on that road is dropped by IpcLogError itself, so no recursion results.
int IpcEvntRaise(IpcEvntHdr* event, uint8_t selNode, uint8_t selClnt);

// Delivers a com-proc for a server of this process to its procedure and
// returns the procedure's result; 0 when refused.
int IpcSvcDeliver(const IpcComProcHdr* msg);

}  // namespace ipc

#endif
