#include "ipcinst.h"

#include "tessio32.h"

namespace ipc {
namespace {

Instance& DefaultInstance() {
  // Never destroyed: hosts may still poll from static destructors.
  static Instance* inst = new Instance();
  return *inst;
}

}  // namespace

namespace detail {

Instance* g_current = nullptr;

Instance& DefaultInstanceFirstUse() {
  if (g_current == nullptr) g_current = &DefaultInstance();
  return *g_current;
}

}  // namespace detail

using detail::g_current;

Instance* NewInstance() { return new Instance(); }

void DeleteInstance(Instance* inst) {
  if (inst == nullptr || inst == g_current || inst == &DefaultInstance()) return;
  delete inst;
}

Instance* SwitchInstance(Instance* inst) {
  Instance* prev = &Cur();
  if (inst == nullptr) inst = &DefaultInstance();
  if (inst == prev) return prev;
  prev->savedCurrentTime = IpcCurrentTime;
  prev->savedBcastPeriod = IpcNetBcastPeriod;
  g_current = inst;
  IpcCurrentTime = inst->savedCurrentTime;
  IpcNetBcastPeriod = inst->savedBcastPeriod;
  return prev;
}

}  // namespace ipc

extern "C" {
IpcTime IpcCurrentTime = 0;
uint16_t IpcNetBcastPeriod = 0;
}
