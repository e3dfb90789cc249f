#include "CommRelayPort.h"

#include "IpcComm.h"

bool IpcRackCommPort::PostRackUp(uint32_t rack) { return ::PostRackUp(rack); }

bool IpcRackCommPort::PostRackVersionSet(uint32_t rack, const RackVersion& version) {
  static_assert(sizeof version.bytes == kRackVersionBytes);
  return ::SetRackVersion(rack, version.bytes);
}
