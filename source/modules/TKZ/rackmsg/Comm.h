// The rack-message layer CComm: the one object, theComm, on which every
// rack-layer continuation of a RackMsg runs (UI thread). It turns the
// document's rows into rack commands (the builders), the racks' answers back
// into rows (the reply continuations), and holds the mux-type and level
// tables.
//
// The continuation protocol of a builder that needs more than one exchange:
//  1. First call: set the continuation to the builder's own step, initialise
//     progress/chunk size/step, write the first command and send it.
//  2. Each return: if EndOnError(msg), stop (the message went to the
//     document with its Rcode; the continuation stays set and is not run
//     again). Otherwise take what the reply brings, advance, send the next.
//  3. Nothing left: Finish(msg, text...), or clear the continuation and pass
//     the message to another builder as a fresh first call.
// A single-exchange builder sets a reply parser that ends with Finish, or no
// continuation at all, so that the reply goes straight to the document.
//
// Every builder takes a message that its caller owns and has filled (Rack,
// data buffer, count, index, document continuation); from the call on the
// builder owns it and ends by sending it or by handing it to the document.
// A builder never sends a command that does not fit the command area or a
// data buffer smaller than its count says: it logs the reason and hands the
// message to the document unsent with RC_COMM_FAILURE. A reply that is
// shorter than its command's data, or that answers another command, ends the
// transfer with RC_INVALID_RESPONSE. A message that cannot be posted comes
// back to the document at once with RC_COMM_FAILURE.
//
// Conversions: percents (database, 0-100) go to the racks as levels through
// the level table and come back through it; flags go as 1/0 and come back
// as 0xFF (the database's true, -1) / 0; dimmers and rooms are 1-based in
// the database and 0-based on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "CommPorts.h"
#include "CompletionText.h"
#include "LookupTables.h"
#include "RackZone.h"  // kRackZoneBase: zone of a rack's own records
#include "RackEvents.h"

struct RackMsg;
class CmdWriter;
namespace platform::time {
class Clock;
}

// Entries of a mux patch per command, relays of a relay-cycle read per
// command, relays of a relay-cycle reset per command (the most that fit the
// 290-byte command area: 8 + 4 x 70 bytes).
inline constexpr int kMuxPatchChunk = 69;
inline constexpr int kRelayCycleChunk = 139;
inline constexpr int kRelayCycleResetChunk = 70;
inline constexpr int kMaxCurvePoints = 70;

class CComm {
 public:
  CComm();

  // --- Ports and tables (set at start-up, before the comm thread runs) ------
  void SetDocPort(RackDocPort* port) { doc_ = port; }
  void SetCommPort(RackCommPort* port) { commPort_ = port; }
  // Fault records and zone input status of the unsolicited rack events.
  void SetEventPort(RackEventPort* port) { events_ = port; }
  // Clock for the time sent with the fault synchronisation; null restores
  // the system clock. Not owned.
  void SetClock(const platform::time::Clock* clock);

  void AddMuxType(int16_t key, uint8_t speed, uint8_t protocol) {
    muxTypes_.Add(key, speed, protocol);
  }
  std::optional<size_t> FindMuxType(int16_t key) const { return muxTypes_.Find(key); }
  std::optional<size_t> FindMuxTypeByCodes(uint8_t speed, uint8_t protocol) const {
    return muxTypes_.FindByCodes(speed, protocol);
  }
  const MuxTypeTable& MuxTypes() const { return muxTypes_; }
  void BuildLevelTables(std::span<const LevelRow> rows) { levels_.Build(rows); }
  const LevelTable& Levels() const { return levels_; }

  // Rack kind: the RackType the document gives for the rack's zone; -1 when
  // unknown.
  int32_t RackKind(uint32_t rack);

  // --- The continuation protocol ---------------------------------------------
  // A message that came back with a non-zero Rcode goes to the document
  // unchanged. Returns true when it did; the caller then no longer owns it.
  bool EndOnError(RackMsg* msg);
  // Clears the rack-layer continuation (the finished mark), sets the
  // completion text when a format is given, and hands the message to the
  // document. The caller no longer owns the message.
  void Finish(RackMsg* msg, const char* format = nullptr, CompletionArg a0 = {},
              CompletionArg a1 = {}, CompletionArg a2 = {});

  // --- Preset commands (1, 3, 34, 35) ------------------------------------------
  // The completion arguments keep preset, room and command number; the reply
  // parser OnPresetReply sets the text. Room -1 is every room, else 1-16.
  void PresetOn(RackMsg* msg, int32_t preset);
  void RecordPreset(RackMsg* msg, int32_t preset);
  void BrevantPresetOn(RackMsg* msg, int32_t preset, int32_t room);
  void RecordBrevantPreset(RackMsg* msg, int32_t preset, int32_t room);
  void OnPresetReply(RackMsg* msg);

  // --- QXV preset times and levels (4-7) ---------------------------------------
  // Index -1: presets 0-99 (times) or 1-99 (levels), else the one preset.
  // GetPresetTime leaves the reply (one u16 per preset) at the reply pointer.
  void GetPresetTime(RackMsg* msg);
  void SetPresetTime(RackMsg* msg);
  void GetPreset(RackMsg* msg);
  void SetPreset(RackMsg* msg);

  // --- Brevant presets (36-39) --------------------------------------------------
  // The preset is the first completion argument; count = dimmers.
  void GetBrevantPreset(RackMsg* msg);
  void SetBrevantPreset(RackMsg* msg);
  // First completion argument -1: all 16 rooms x 10 presets (count 160);
  // else index = room (1-based) and presets arg0 .. arg0 + count - 1.
  void GetBrevantPresetTime(RackMsg* msg);
  void SetBrevantPresetTime(RackMsg* msg);

  // --- Per-dimmer tables (18, 19, 32, 33, 22/23 items 9 and 10) ----------------
  void GetCircuitPatch(RackMsg* msg);
  void SetCircuitPatch(RackMsg* msg);
  void GetBrevantPatch(RackMsg* msg);
  void SetBrevantPatch(RackMsg* msg);
  void GetAnalogPatch(RackMsg* msg);
  void SetAnalogPatch(RackMsg* msg);

  // --- Mux patch (20, 21), chunks of 69 entries --------------------------------
  void GetMuxPatch(RackMsg* msg);
  void SetMuxPatch(RackMsg* msg);

  // --- Dimmer setup (22, 23; then 32/33 and 53/54) -----------------------------
  void GetDimmerSetup(RackMsg* msg);
  void SetDimmerSetup(RackMsg* msg);

  // --- Rack setup and single items (25, 26, then 27) ---------------------------
  void GetRackSetup(RackMsg* msg);
  void SetRackSetup(RackMsg* msg);
  // GetModuleMap leaves 48 u16 at the reply pointer.
  void GetModuleMap(RackMsg* msg);
  void SetModuleMap(RackMsg* msg);
  void GetRoomLinks(RackMsg* msg);
  void SetRoomLinks(RackMsg* msg);

  // --- User curves (30, 31); index = curve 0-4 ---------------------------------
  void GetUserCurve(RackMsg* msg);
  void SetUserCurve(RackMsg* msg);

  // --- Dimmer fault configuration and relay cycle counts (51, 52) -------------
  void GetDimFaultConfig(RackMsg* msg);
  void SetDimFaultConfig(RackMsg* msg);
  // index = first relay (0-based), count = relays.
  void GetRelayCycleCounts(RackMsg* msg);
  void ResetRelayCycleCounts(RackMsg* msg);

  // --- Manual levels (53, 54) -----------------------------------------------------
  void GetManualLevels(RackMsg* msg);
  void SetManualLevels(RackMsg* msg);
  void SetManualLevelPairs(RackMsg* msg);
  // index = dimmer, 0-based.
  void PulseManualLevel(RackMsg* msg);

  // --- Learn loads (55, then 24) ------------------------------------------------
  // index -1: every dimmer, else the dimmer number (1-based).
  void LearnLoads(RackMsg* msg, int32_t rackKind);
  void OnLearnLoadsStep(RackMsg* msg);
  // Leaves one u16 learnt load per dimmer at the reply pointer.
  void GetLearntLoads(RackMsg* msg);

  // --- Replies to the layer's own messages (they free the message) -------------
  void OnSyncFaultEventsReply(RackMsg* msg);
  void OnRackVersionReply(RackMsg* msg);

  // --- Unsolicited rack events (CommRackEvents.cpp) ----------------------------
  // WM_DOC_RACK_EVENT: a poll the rack did not answer makes the rack probed
  // with a fault synchronisation; a poll response (command 27) is decoded;
  // the message is freed in every case.
  void OnRackEvent(RackMsg* msg);
  // Fault events into fault records, status items into the zone input
  // status.  The caller keeps the message.
  void DecodeFaultEvents(RackMsg* msg);

  // The local time sent with the fault synchronisation (seconds since 1970).
  uint32_t LocalTimeForRack() const;

  // Percent to level and back through the level table.
  uint8_t ToLevel(int percent) const { return levels_.ToLevel(percent); }
  uint8_t ToPercent(uint8_t level) const { return levels_.ToPercent(level); }

 private:
  // Sends the command written so far, or refuses a command that overflowed
  // the command area.
  void Send(RackMsg* msg, const CmdWriter& w);
  // Logs why the command was not sent and hands the message to the document
  // with RC_COMM_FAILURE.
  void Refuse(RackMsg* msg, uint8_t command, const char* why);
  // Count in 1..max and a data buffer of at least count x recordSize bytes;
  // else refuses.
  // (recordSize 0: no data buffer needed).
  bool CheckCount(RackMsg* msg, uint8_t command, size_t recordSize, int max = 256);
  // A data buffer of at least `bytes`; else refuses.
  bool CheckData(RackMsg* msg, uint8_t command, size_t bytes);
  // The reply answers the command sent with at least `need` data bytes; else
  // the message goes to the document (with its Rcode, or
  // RC_INVALID_RESPONSE). False when the caller no longer owns the message.
  bool TakeReply(RackMsg* msg, size_t need);

  void PresetCommand(RackMsg* msg, uint8_t command, int32_t preset);
  void BrevantPresetCommand(RackMsg* msg, uint8_t command, int32_t preset, int32_t room);

  // Checks the reply and leaves it at the reply pointer for the document.
  void OnPlainReply(RackMsg* msg, size_t need);
  void PresetLevelsStep(RackMsg* msg, bool get);
  void SendPresetLevels(RackMsg* msg, bool get);
  void OnGetBrevantPreset(RackMsg* msg);
  void OnBrevantPresetKeep(RackMsg* msg);
  void SendBrevantPreset(RackMsg* msg);
  void StartBrevantTimes(RackMsg* msg, bool get);
  void BrevantTimesStep(RackMsg* msg, bool get);
  void SendBrevantTimes(RackMsg* msg, bool get);

  void OnGetCircuitPatch(RackMsg* msg);
  void OnGetBrevantPatch(RackMsg* msg);
  void OnGetAnalogPatch(RackMsg* msg);
  void MuxPatchStep(RackMsg* msg, bool get);
  void SendMuxPatch(RackMsg* msg, bool get);

  void SetDimmerSetupStep(RackMsg* msg, int32_t kind);
  void SendDimmerSetupItem(RackMsg* msg, int32_t kind);
  void GetDimmerSetupStep(RackMsg* msg, int32_t kind);
  void SendDimmerSetupQuery(RackMsg* msg, int32_t kind);
  void OnGetRackSetup(RackMsg* msg, int32_t kind);
  void OnGetRackStatusCounts(RackMsg* msg);
  void OnGetModuleMap(RackMsg* msg);
  void OnGetRoomLinks(RackMsg* msg);
  void OnGetUserCurve(RackMsg* msg);

  void SetDimFaultStep(RackMsg* msg, int32_t kind);
  void SendDimFaultItem(RackMsg* msg, int32_t kind);
  void GetDimFaultStep(RackMsg* msg, int32_t kind);
  void SendDimFaultQuery(RackMsg* msg, int32_t kind);
  void RelayCyclesStep(RackMsg* msg, bool get);
  void SendRelayCycles(RackMsg* msg, bool get);

  void OnGetManualLevels(RackMsg* msg);
  void OnSetManualLevels(RackMsg* msg, bool keepText);
  void SendManualLevels(RackMsg* msg, bool pairs);
  void OnPulseManualLevel(RackMsg* msg);
  void OnGetLearntLoads(RackMsg* msg);

  RackDocPort* doc_ = nullptr;
  RackCommPort* commPort_ = nullptr;
  RackEventPort* events_ = nullptr;
  const platform::time::Clock* clock_ = nullptr;
  MuxTypeTable muxTypes_;
  LevelTable levels_;
};

extern CComm theComm;

// The layer's own messages: allocate, fill and send a new message for the
// rack (its reply parser frees it). Either thread; they touch only the new
// message, the clock and the constant command data.
//  - command 57 with the current local time; its reply marks the rack up;
//  - command 27 with items 10, 11 and 12; its reply stores the version.
void SendSyncFaultEvents(uint32_t rack);
void RequestRackVersion(uint32_t rack);
