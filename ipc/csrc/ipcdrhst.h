// Internal interface of module ipcdrhst: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCDRHST_H
#define IPCDRHST_H

struct IpcDrhstState {
};

#endif
