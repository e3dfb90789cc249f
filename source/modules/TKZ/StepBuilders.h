// The command builders the rack configuration steps call, reached through
// one narrow entry so that the document's files need not see the
// rack-message layer's header.  Each forwards to the builder of theComm of
// the same name, which takes the message over (see Comm.h).  UI thread.
#pragma once

struct RackMsg;

enum class StepBuilder {
  GetBrevantPatch,
  GetBrevantPreset,
  GetBrevantPresetTime,
  GetCircuitPatch,
  GetDimFaultConfig,
  GetDimmerSetup,
  GetModuleMap,
  GetMuxPatch,
  GetPreset,
  GetPresetTime,
  GetRackSetup,
  GetRoomLinks,
  GetUserCurve,
  SetBrevantPatch,
  SetBrevantPreset,
  SetBrevantPresetTime,
  SetCircuitPatch,
  SetDimFaultConfig,
  SetDimmerSetup,
  SetModuleMap,
  SetMuxPatch,
  SetPreset,
  SetPresetTime,
  SetRackSetup,
  SetRoomLinks,
  SetUserCurve,
};

void CallBuilder(StepBuilder builder, RackMsg* msg);
