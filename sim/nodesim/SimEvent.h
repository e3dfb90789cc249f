// Raising an event of one of the simulated node's servers to the PC that
// asked (its clients only, when the PC is a known node), or to every client
// when it is not.  An event the ring has no room for is held and raised
// again after the next despatch (ipcpeer::RaiseOrHold): none is lost.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "Peer.h"
#include "tessio32.h"

namespace nodesim {

// The event: the header (code, server type, host handle, id 1), then n data
// bytes (cut to what a message holds).  The library's result.
inline int RaiseToPc(uint8_t svrType, uint8_t hostHandle, uint8_t pcNode, uint16_t code,
                     const uint8_t* data, size_t n) {
  uint8_t buf[IPC_MAX_MSG_LEN] = {};
  n = std::min(n, sizeof buf - sizeof(IpcEvntHdr));
  IpcEvntHdr h{};
  h.length = static_cast<uint16_t>(sizeof h + n);
  h.evntCode = code;
  h.svrType = svrType;
  h.evntId = 1;
  h.hostHandle = hostHandle;
  std::memcpy(buf, &h, sizeof h);
  if (n > 0) std::memcpy(buf + sizeof h, data, n);
  auto* e = reinterpret_cast<IpcEvntHdr*>(buf);
  return pcNode != IPC_NO_NET_NODE && pcNode != 0 ? ipcpeer::RaiseOrHold(e, pcNode, 1)
                                                  : ipcpeer::RaiseOrHold(e, 0, 0);
}

}  // namespace nodesim
