// Internal interface of module ipctcpip: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCTCPIP_H
#define IPCTCPIP_H

struct IpcTcpipState {
};

#endif
