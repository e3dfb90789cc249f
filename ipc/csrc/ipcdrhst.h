// Internal interface of module ipcdrhst: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCDRHST_H
#define IPCDRHST_H

#include "tessio32.h"

struct IpcDrhstState {
};

namespace ipc {

// Delivers a com-proc for a server of this process to its procedure and
// returns the procedure's result; 0 when refused.
int IpcSvcDeliver(const IpcComProcHdr* msg);

}  // namespace ipc

#endif
