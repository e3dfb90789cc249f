// Internal interface of module ipctcpip: the UDP socket driver.
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
#ifndef IPCTCPIP_H
#define IPCTCPIP_H

#include <cstdint>

struct IpcTcpipState {
};

namespace ipc {

// Socket table empty, every node's socket error cleared, driver not
// initialised.  Run by IpcNetInit.
void IpcSockTableReset();
// Stops the driver.  Run by IpcNetTerm.
void IpcSockStop();

// Records a node's socket error: code and a static text (or null).
void IpcSockErrorSet(uint8_t node, uint16_t code, const char* text);
// The node's socket error code (0 = none); text, when not null, receives at
// most 30 characters of its text and a NUL (31 bytes).
uint16_t IpcSockErrorGet(uint8_t node, char* text);
// This PC's own Ethernet address (6 bytes).
void IpcSockEtherAddrGet(uint8_t out[6]);

}  // namespace ipc

#endif
