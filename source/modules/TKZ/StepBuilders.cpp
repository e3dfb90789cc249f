// Forwards the rack configuration steps' builder calls to theComm.
#include "StepBuilders.h"

#include "Comm.h"
#include "RackMsg.h"

void CallBuilder(StepBuilder builder, RackMsg* msg) {
  switch (builder) {
    case StepBuilder::GetBrevantPatch: return theComm.GetBrevantPatch(msg);
    case StepBuilder::GetBrevantPreset: return theComm.GetBrevantPreset(msg);
    case StepBuilder::GetBrevantPresetTime: return theComm.GetBrevantPresetTime(msg);
    case StepBuilder::GetCircuitPatch: return theComm.GetCircuitPatch(msg);
    case StepBuilder::GetDimFaultConfig: return theComm.GetDimFaultConfig(msg);
    case StepBuilder::GetDimmerSetup: return theComm.GetDimmerSetup(msg);
    case StepBuilder::GetModuleMap: return theComm.GetModuleMap(msg);
    case StepBuilder::GetMuxPatch: return theComm.GetMuxPatch(msg);
    case StepBuilder::GetPreset: return theComm.GetPreset(msg);
    case StepBuilder::GetPresetTime: return theComm.GetPresetTime(msg);
    case StepBuilder::GetRackSetup: return theComm.GetRackSetup(msg);
    case StepBuilder::GetRoomLinks: return theComm.GetRoomLinks(msg);
    case StepBuilder::GetUserCurve: return theComm.GetUserCurve(msg);
    case StepBuilder::SetBrevantPatch: return theComm.SetBrevantPatch(msg);
    case StepBuilder::SetBrevantPreset: return theComm.SetBrevantPreset(msg);
    case StepBuilder::SetBrevantPresetTime: return theComm.SetBrevantPresetTime(msg);
    case StepBuilder::SetCircuitPatch: return theComm.SetCircuitPatch(msg);
    case StepBuilder::SetDimFaultConfig: return theComm.SetDimFaultConfig(msg);
    case StepBuilder::SetDimmerSetup: return theComm.SetDimmerSetup(msg);
    case StepBuilder::SetModuleMap: return theComm.SetModuleMap(msg);
    case StepBuilder::SetMuxPatch: return theComm.SetMuxPatch(msg);
    case StepBuilder::SetPreset: return theComm.SetPreset(msg);
    case StepBuilder::SetPresetTime: return theComm.SetPresetTime(msg);
    case StepBuilder::SetRackSetup: return theComm.SetRackSetup(msg);
    case StepBuilder::SetRoomLinks: return theComm.SetRoomLinks(msg);
    case StepBuilder::SetUserCurve: return theComm.SetUserCurve(msg);
  }
  // Not reached: every builder is listed above.
  DocRackMsgDone(msg);
}
