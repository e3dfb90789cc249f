// The library instance: every table of every module lives in one object.
//
// A process has a default instance, created on first use, and the exported
// C interface always works on the current one.  Tests may create further
// instances and switch between them, so that a PC and several nodes can run
// in one test process over an in-memory network with one fake clock.
//
// The library is single-threaded: the current instance is a plain pointer,
// and only the host's polling thread may switch it.
#ifndef IPCINST_H
#define IPCINST_H

#include <cstdint>

#include "ipccheck.h"
#include "ipcdb.h"
#include "ipcdrdb.h"
#include "ipcdrhst.h"
#include "ipcevnt.h"
#include "ipcnet.h"
#include "ipcnetdb.h"
#include "ipcproc.h"
#include "ipcroutr.h"
#include "ipcstubs.h"
#include "ipctcpip.h"

namespace ipc {

struct Instance {
  IpcCheckState check;
  IpcProcState proc;
  IpcEvntState evnt;
  IpcDbState db;
  IpcNetdbState netdb;
  IpcNetState net;
  IpcDrhstState drhst;
  IpcDrdbState drdb;
  IpcRoutrState routr;
  IpcTcpipState tcpip;
  // Recorder of the stand-ins for modules not built yet (ipcstubs.cpp).
  IpcStubState stubs;

  // The exported variables IpcCurrentTime and IpcNetBcastPeriod belong to
  // the instance; while it is not current their values are kept here.
  uint32_t savedCurrentTime = 0;
  uint16_t savedBcastPeriod = 0;
};

namespace detail {
// The instance made current (null until a first switch or use), and the
// process's default one, made on first use.
extern Instance* g_current;
Instance& DefaultInstanceFirstUse();
}  // namespace detail

// The current instance.  Never null.
inline Instance& Cur() {
  Instance* c = detail::g_current;
  return c != nullptr ? *c : detail::DefaultInstanceFirstUse();
}

// Creates a fresh instance, as a process starts: every table zero, nothing
// initialised.  The caller owns it and releases it with DeleteInstance.
Instance* NewInstance();

// Releases an instance created by NewInstance.  It must not be current; the
// caller stops its sockets first (IpcTerm) if it started any.
void DeleteInstance(Instance* inst);

// Makes inst current and returns the instance that was current.  The
// exported variables are saved into the old instance and loaded from the
// new one, so each instance keeps its own clock and broadcast period.
Instance* SwitchInstance(Instance* inst);

// Makes inst current for the lifetime of the guard (tests).
class ScopedInstance {
 public:
  explicit ScopedInstance(Instance* inst) : prev_(SwitchInstance(inst)) {}
  ~ScopedInstance() { SwitchInstance(prev_); }
  ScopedInstance(const ScopedInstance&) = delete;
  ScopedInstance& operator=(const ScopedInstance&) = delete;

 private:
  Instance* prev_;
};

}  // namespace ipc

#endif
