// The comm thread's side of the rack-message layer's relay port: the rack
// up and version relay of a rack that answers again, posted to the comm
// thread's window (WM_IPC_RACK_UP, WM_IPC_RACK_VERSION_SET).
//
// Install with theComm.SetCommPort(&port); the port must outlive its
// installation.  Threads: called on the UI thread; the posts are taken by
// the comm thread.
#pragma once

#include "CommPorts.h"

class IpcRackCommPort final : public RackCommPort {
 public:
  bool PostRackUp(uint32_t rack) override;
  bool PostRackVersionSet(uint32_t rack, const RackVersion& version) override;
};
