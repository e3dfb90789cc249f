// A simulated dimmer rack: rack command bytes in, reply bytes out.
//
// The model holds a rack's whole state and answers every command the server
// sends, laid out byte by byte as the rack command tables give them (levels
// 0-255, flags 0/1, dimmers, rooms and channels counted from 0). It is
// written from those tables alone, so that a misreading in the server's
// builders shows up as a refused or different answer here.
//
// A command is refused - not applied, and answered with link code 0x10 (no
// response), as a real rack ignores a frame it cannot use - when its number
// is not one the server sends, its length is not exactly what its data
// needs, an index or item code is out of range, or a flag is not 0 or 1. The
// reason is kept in last_reject(). A reply that would not fit the 1024-byte
// response area is answered with link code 0x13 instead.
//
// Knobs make an exchange fail with a link code (0x10-0x18), stall (no
// answer at all), answer with another command number, change the stored
// values, and raise faults and input bits.
//
// Not thread-safe: one owner drives a model (a node simulator's port, a
// serial rack simulator, a test).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

inline constexpr int kRackMaxOutputs = 256;     // indexes are one byte
inline constexpr int kRackQxvPresets = 100;     // QXV presets 0-99
inline constexpr int kRackRooms = 16;           // Brevant rooms 0-15
inline constexpr int kRackBrevantPresets = 10;  // Brevant presets 0-9 per room
inline constexpr int kRackUserCurves = 5;       // user curves 0-4
inline constexpr int kRackMaxCurvePoints = 70;
inline constexpr int kRackModuleMapEntries = 48;
inline constexpr int kRackDimmerSetupItems = 13;  // codes 0-12 (11 is unused)
inline constexpr size_t kRackMaxCommand = 290;
inline constexpr size_t kRackMaxReply = 1024;
inline constexpr size_t kRackFaultEventSize = 12;

// One fault event as a poll reports it.
struct FaultEvent {
  uint8_t type = 0;  // 0-63
  bool arose = true;
  uint8_t dimmer = 0;  // 0-based
  uint16_t circuit = 0;
  int32_t time = 0;  // the rack's local time, seconds since 1970
  int16_t diag1 = 0;
  int16_t diag2 = 0;
  bool operator==(const FaultEvent&) const = default;
};

// Per output (digital dimmers first, then analog outputs).
struct DimmerState {
  uint8_t setup[kRackDimmerSetupItems] = {};  // dimmer setup items by code
  uint16_t circuit = 0;
  uint16_t muxA = 0;
  uint16_t muxB = 0;
  uint8_t bvtRoom = 0;     // 0-based; 0xFF = unpatched
  uint8_t bvtChannel = 0;  // 0-based
  uint16_t cableResistance = 0;
  uint16_t loadTolerance = 0;
  uint32_t relayCycles = 0;
  uint8_t manualEnable = 0;  // 0 or 1
  uint8_t manualLevel = 0;
  uint16_t connectedLoad = 0;  // what a load learn measures
  uint16_t learntLoad = 0;
  uint8_t level = 0;  // current output level
};

struct UserCurve {
  uint8_t points = 0;
  uint8_t data[kRackMaxCurvePoints * 4] = {};  // 4 bytes per point, as sent
};

struct RackState {
  // identity and status items
  uint16_t rackNumber = 1;
  uint16_t rackType = 0;
  uint16_t digitalDims = 0;
  uint16_t analogInputs = 0;
  uint16_t analogOutputs = 0;
  uint8_t serialNumber[8] = {};
  char softwareVersion[6] = {'2', '.', '1', '0', 0, 0};  // "2.10"
  uint16_t hardwareVersion = 0;

  DimmerState dimmers[kRackMaxOutputs];

  uint8_t qxvLevels[kRackQxvPresets][kRackMaxOutputs] = {};
  uint16_t qxvTimes[kRackQxvPresets] = {};
  uint8_t bvtLevels[kRackBrevantPresets][kRackMaxOutputs] = {};
  uint16_t bvtTimes[kRackRooms][kRackBrevantPresets] = {};

  // poll items
  uint16_t qxvPreset = 0;
  uint8_t roomPresets[kRackRooms] = {};
  uint32_t inputBits = 0;

  // rack setup items
  uint8_t language = 0;
  uint16_t muxFailHoldTime = 0;  // 0-600 or 9999
  uint8_t muxFailPreset = 0;
  uint8_t brevantPowerupPreset = 0;
  uint8_t keypadLock = 0;
  uint8_t fanSpeed = 0;  // 0 or 1
  uint8_t muxProtocol[2] = {};
  uint8_t muxSpeed[2] = {};
  uint8_t moduleMap[kRackModuleMapEntries] = {};
  uint8_t roomLinks[kRackRooms] = {};
  uint8_t muxFailMode = 0;

  UserCurve curves[kRackUserCurves];

  uint32_t clock = 0;  // local time, seconds since 1970 (set by command 57)
  std::vector<FaultEvent> active;   // faults in force
  std::deque<FaultEvent> pending;   // events not yet reported by a poll
};

enum class AnswerKind {
  Reply,     // `reply` holds the answer (u16 command, then data); rcode 0
  LinkCode,  // the exchange failed with `rcode` (0x10-0x18); no data
  Silent,    // no answer at all
};

struct RackAnswer {
  AnswerKind kind = AnswerKind::Reply;
  uint16_t rcode = 0;
  std::vector<uint8_t> reply;
};

class RackModel {
 public:
  struct Config {
    uint16_t rackNumber = 1;
    uint16_t rackType = 0;
    uint16_t digitalDims = 48;
    uint16_t analogInputs = 0;
    uint16_t analogOutputs = 0;
  };

  // Throws std::invalid_argument when the outputs exceed kRackMaxOutputs.
  explicit RackModel(const Config& config);
  RackModel() : RackModel(Config{}) {}

  // One exchange: the unpacked command (u16 command number, then its data).
  RackAnswer Exchange(std::span<const uint8_t> command);

  // The whole state, for tests and simulators to read and change.
  RackState& state() { return state_; }
  const RackState& state() const { return state_; }
  // Digital dimmers plus analog outputs, at most kRackMaxOutputs.
  int outputs() const;

  // --- knobs -----------------------------------------------------------------
  // Exchanges are counted from the next one (nth = 1). A failed or stalled
  // exchange does not apply its command.
  void FailNext(uint16_t rcode, int count = 1);
  void FailAt(int nth, uint16_t rcode);
  void StallNext(int count = 1);
  void StallAt(int nth);
  void ClearScript();
  // A silent rack never answers until un-silenced.
  void SetSilent(bool silent) { silent_ = silent; }
  // Answer every reply with this command number instead of the command's own.
  void SetReplyCommand(std::optional<uint16_t> command) { replyCommand_ = command; }
  // Refuse item codes the rack's kind lacks (on by default): dimmer setup
  // item 12 unless kind 2, rack setup items 6 and 7 on kind 2, fault
  // configuration item 1 on kind 1.
  void SetStrictKindItems(bool strict) { strictKind_ = strict; }

  // Raises a fault: it becomes active and an arisen event waits for the
  // next poll. Subsiding removes it and queues a subsided event.
  void RaiseFault(uint8_t type, uint8_t dimmer, uint16_t circuit, int16_t diag1 = 0,
                  int16_t diag2 = 0);
  void SubsideFault(uint8_t type, uint8_t dimmer, uint16_t circuit);
  // Queues an event as it stands (odd types, bad times), leaving the active
  // set alone.
  void QueueFaultEvent(const FaultEvent& event);
  void SetInputBits(uint32_t bits) { state_.inputBits = bits; }
  void SetClock(uint32_t seconds) { state_.clock = seconds; }

  // Changes every stored configuration value (levels, times, patches,
  // setups, fault configuration, curves, manual levels, loads) to other
  // valid values derived from the seed, so that an upload differs from what
  // was downloaded. Identity, counts, version and faults are left alone.
  void Vary(uint32_t seed);

  // --- observation -----------------------------------------------------------
  uint64_t exchanges() const { return exchanges_; }
  uint64_t rejects() const { return rejects_; }
  const std::string& last_reject() const { return lastReject_; }
  // Exchanges of a command number that the model answered with data.
  uint64_t answered(uint8_t command) const { return answered_[command]; }
  // The last command handed in (its first 290 bytes).
  const std::vector<uint8_t>& last_command() const { return lastCommand_; }

 private:
  enum class Scripted { Normal, Fail, Stall };
  struct ScriptEntry {
    Scripted what = Scripted::Normal;
    uint16_t rcode = 0;
  };
  struct Refusal {
    uint16_t rcode;
    const char* reason;
  };
  using Result = std::optional<Refusal>;
  class Reader;

  void Script(int nth, ScriptEntry entry);
  Result Dispatch(uint8_t number, Reader& in, std::vector<uint8_t>& out);

  Result PresetOn(Reader& in);
  Result RecordPreset(Reader& in);
  Result GetPresetTime(Reader& in, std::vector<uint8_t>& out);
  Result SetPresetTime(Reader& in);
  Result GetPreset(Reader& in, std::vector<uint8_t>& out);
  Result SetPreset(Reader& in);
  Result GetCircuitPatch(Reader& in, std::vector<uint8_t>& out);
  Result SetCircuitPatch(Reader& in);
  Result GetMuxPatch(Reader& in, std::vector<uint8_t>& out);
  Result SetMuxPatch(Reader& in);
  Result GetDimmerSetup(Reader& in, std::vector<uint8_t>& out);
  Result SetDimmerSetup(Reader& in);
  Result GetDimmerStatus(Reader& in, std::vector<uint8_t>& out);
  Result GetRackSetup(Reader& in, std::vector<uint8_t>& out);
  Result SetRackSetup(Reader& in);
  Result GetRackStatus(Reader& in, std::vector<uint8_t>& out);
  Result GetUserCurve(Reader& in, std::vector<uint8_t>& out);
  Result SetUserCurve(Reader& in);
  Result GetBrevantPatch(Reader& in, std::vector<uint8_t>& out);
  Result SetBrevantPatch(Reader& in);
  Result BrevantPresetOn(Reader& in);
  Result RecordBrevantPreset(Reader& in);
  Result GetBrevantPreset(Reader& in, std::vector<uint8_t>& out);
  Result SetBrevantPreset(Reader& in);
  Result GetBrevantPresetTime(Reader& in, std::vector<uint8_t>& out);
  Result SetBrevantPresetTime(Reader& in);
  Result GetDimFaultConfig(Reader& in, std::vector<uint8_t>& out);
  Result SetDimFaultConfig(Reader& in);
  Result GetManualLevels(Reader& in, std::vector<uint8_t>& out);
  Result SetManualLevels(Reader& in);
  Result LearnLoadProfile(Reader& in);
  Result SynchFaultEvents(Reader& in);

  Result ReadDimmerRange(Reader& in, int& first, int& last) const;
  bool DimmerItemKnown(uint8_t code) const;
  bool RackSetupItemKnown(uint8_t code) const;
  bool FaultItemKnown(uint16_t code) const;

  RackState state_;
  std::deque<ScriptEntry> script_;
  bool silent_ = false;
  bool strictKind_ = true;
  std::optional<uint16_t> replyCommand_;
  uint64_t exchanges_ = 0;
  uint64_t rejects_ = 0;
  uint64_t answered_[256] = {};
  std::string lastReject_;
  std::vector<uint8_t> lastCommand_;
};

}  // namespace sim
