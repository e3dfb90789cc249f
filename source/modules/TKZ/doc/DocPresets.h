// The level and fade-time steps of the rack configuration transfer that the
// QXV and Brevant preset download and upload requests (request types 1 and
// 2, sub-types 0 and 1) run over the racks of their zone.
//
// Each step takes the document, the zone's racks, the request and its
// selectors (preset, -1 = all; for Brevant also the room, -1 = all); it
// allocates the request's messages and sends them, and the request's
// sub-type gives the direction.  The configuration transfer provides them
// (CTKZDoc::SendQXVLevels, SendQXVFadeTimes, SendBrevantLevels,
// SendBrevantFadeTimes) and they are installed from the start; tests may
// put others in their place.  A request whose step is empty is refused with
// a clear text.
//
// Threads: installed once at start-up, before the first request; used on
// the UI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

class CTKZDoc;
struct InProcRequest;

struct PresetSteps {
  using QxvStep = std::function<void(CTKZDoc&, const std::vector<uint32_t>&, InProcRequest*, int32_t preset)>;
  using BrevantStep =
      std::function<void(CTKZDoc&, const std::vector<uint32_t>&, InProcRequest*, int32_t preset, int32_t room)>;
  QxvStep qxvLevels;
  QxvStep qxvFadeTimes;
  BrevantStep brevantLevels;
  BrevantStep brevantFadeTimes;
};

// Installs the steps (empty members: not available).
void SetPresetSteps(PresetSteps steps);
// Puts the configuration transfer's steps back.
void ResetPresetSteps();
