// The rack model's command handlers, one per command the server sends.
//
// Every handler reads and checks the whole command before it changes any
// state, so a refused command leaves the rack as it was. "first, last" are
// the bytes at offsets 2 and 3 of most commands: a 0-based inclusive range.
#include <algorithm>

#include "RackModel.h"
#include "RackWire.h"

namespace sim {

namespace {

constexpr uint16_t kNoResponse = 0x10;

// Command numbers, as the rack command table gives them.
enum : uint8_t {
  kPresetOn = 1,
  kRecordPreset = 3,
  kGetPresetTime = 4,
  kSetPresetTime = 5,
  kGetPreset = 6,
  kSetPreset = 7,
  kGetCircuitPatch = 18,
  kSetCircuitPatch = 19,
  kGetMuxPatch = 20,
  kSetMuxPatch = 21,
  kGetDimmerSetup = 22,
  kSetDimmerSetup = 23,
  kGetDimmerStatus = 24,
  kGetRackSetup = 25,
  kSetRackSetup = 26,
  kGetRackStatus = 27,
  kGetUserCurve = 30,
  kSetUserCurve = 31,
  kGetBrevantPatch = 32,
  kSetBrevantPatch = 33,
  kBrevantPresetOn = 34,
  kRecordBrevantPreset = 35,
  kGetBrevantPreset = 36,
  kSetBrevantPreset = 37,
  kGetBrevantPresetTime = 38,
  kSetBrevantPresetTime = 39,
  kGetDimFaultConfig = 51,
  kSetDimFaultConfig = 52,
  kGetManualLevel = 53,
  kSetManualLevel = 54,
  kLearnLoadProfile = 55,
  kSynchFaultEvents = 57,
};

// Rack setup items (25/26) and their widths in bytes; 0 = no such item.
constexpr int kRackSetupWidth[11] = {1, 2, 1, 1, 1, 1, 2, 2, kRackModuleMapEntries, kRackRooms, 1};

// Rack status items (27) and their widths; item 20 is followed by the fault
// event block (u8 count, u8 rack number, 12 bytes per event).
int RackStatusWidth(uint8_t code) {
  switch (code) {
    case 0: case 5: case 6: case 7: case 9: case 12: return 2;
    case 10: case 16: case 17: return 8;
    case 11: return 6;
    case 20: return 4 + 2;
    default: return 0;
  }
}

bool IsFlag(uint8_t v) { return v == 0 || v == 1; }

}  // namespace

#define REFUSE(why) return Refusal{kNoResponse, why}
#define NEED(cond, why) \
  do {                  \
    if (!(cond)) REFUSE(why); \
  } while (0)

RackModel::Result RackModel::Dispatch(uint8_t number, Reader& in, std::vector<uint8_t>& out) {
  switch (number) {
    case kPresetOn: return PresetOn(in);
    case kRecordPreset: return RecordPreset(in);
    case kGetPresetTime: return GetPresetTime(in, out);
    case kSetPresetTime: return SetPresetTime(in);
    case kGetPreset: return GetPreset(in, out);
    case kSetPreset: return SetPreset(in);
    case kGetCircuitPatch: return GetCircuitPatch(in, out);
    case kSetCircuitPatch: return SetCircuitPatch(in);
    case kGetMuxPatch: return GetMuxPatch(in, out);
    case kSetMuxPatch: return SetMuxPatch(in);
    case kGetDimmerSetup: return GetDimmerSetup(in, out);
    case kSetDimmerSetup: return SetDimmerSetup(in);
    case kGetDimmerStatus: return GetDimmerStatus(in, out);
    case kGetRackSetup: return GetRackSetup(in, out);
    case kSetRackSetup: return SetRackSetup(in);
    case kGetRackStatus: return GetRackStatus(in, out);
    case kGetUserCurve: return GetUserCurve(in, out);
    case kSetUserCurve: return SetUserCurve(in);
    case kGetBrevantPatch: return GetBrevantPatch(in, out);
    case kSetBrevantPatch: return SetBrevantPatch(in);
    case kBrevantPresetOn: return BrevantPresetOn(in);
    case kRecordBrevantPreset: return RecordBrevantPreset(in);
    case kGetBrevantPreset: return GetBrevantPreset(in, out);
    case kSetBrevantPreset: return SetBrevantPreset(in);
    case kGetBrevantPresetTime: return GetBrevantPresetTime(in, out);
    case kSetBrevantPresetTime: return SetBrevantPresetTime(in);
    case kGetDimFaultConfig: return GetDimFaultConfig(in, out);
    case kSetDimFaultConfig: return SetDimFaultConfig(in);
    case kGetManualLevel: return GetManualLevels(in, out);
    case kSetManualLevel: return SetManualLevels(in);
    case kLearnLoadProfile: return LearnLoadProfile(in);
    case kSynchFaultEvents: return SynchFaultEvents(in);
    default: REFUSE("command not in the rack's command set");
  }
}

RackModel::Result RackModel::ReadDimmerRange(Reader& in, int& first, int& last) const {
  uint8_t f = 0, l = 0;
  NEED(in.u8(f) && in.u8(l), "command too short");
  NEED(f <= l, "first index after last");
  NEED(l < outputs(), "index beyond the rack's outputs");
  first = f;
  last = l;
  return std::nullopt;
}

bool RackModel::DimmerItemKnown(uint8_t code) const {
  if (code > 12 || code == 11) return false;
  if (code == 12 && strictKind_ && state_.rackType != 2) return false;
  return true;
}

bool RackModel::RackSetupItemKnown(uint8_t code) const {
  if (code > 10) return false;
  if ((code == 6 || code == 7) && strictKind_ && state_.rackType == 2) return false;
  return true;
}

bool RackModel::FaultItemKnown(uint16_t code) const {
  if (code > 2) return false;
  if (code == 1 && strictKind_ && state_.rackType == 1) return false;
  return true;
}

// --- QXV presets (1, 3, 4-7) -------------------------------------------------

RackModel::Result RackModel::PresetOn(Reader& in) {
  uint8_t p = 0;
  NEED(in.u8(p) && in.done(), "preset command length");
  NEED(p < kRackQxvPresets, "QXV preset beyond 99");
  state_.qxvPreset = p;
  for (int d = 0; d < outputs(); ++d) state_.dimmers[d].level = state_.qxvLevels[p][d];
  return std::nullopt;
}

RackModel::Result RackModel::RecordPreset(Reader& in) {
  uint8_t p = 0;
  NEED(in.u8(p) && in.done(), "preset command length");
  NEED(p < kRackQxvPresets, "QXV preset beyond 99");
  for (int d = 0; d < outputs(); ++d) state_.qxvLevels[p][d] = state_.dimmers[d].level;
  return std::nullopt;
}

RackModel::Result RackModel::GetPresetTime(Reader& in, std::vector<uint8_t>& out) {
  uint8_t f = 0, l = 0;
  NEED(in.u8(f) && in.u8(l) && in.done(), "preset time command length");
  NEED(f <= l && l < kRackQxvPresets, "preset range");
  for (int p = f; p <= l; ++p) Put16(out, state_.qxvTimes[p]);
  return std::nullopt;
}

RackModel::Result RackModel::SetPresetTime(Reader& in) {
  uint8_t f = 0, l = 0;
  NEED(in.u8(f) && in.u8(l), "command too short");
  NEED(f <= l && l < kRackQxvPresets, "preset range");
  NEED(in.remaining() == 2u * (l - f + 1), "preset time command length");
  for (int p = f; p <= l; ++p) in.u16(state_.qxvTimes[p]);
  return std::nullopt;
}

RackModel::Result RackModel::GetPreset(Reader& in, std::vector<uint8_t>& out) {
  uint8_t p = 0;
  int f = 0, l = 0;
  NEED(in.u8(p), "command too short");
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.done(), "get preset command length");
  NEED(p < kRackQxvPresets, "QXV preset beyond 99");
  for (int d = f; d <= l; ++d) Put8(out, state_.qxvLevels[p][d]);
  return std::nullopt;
}

RackModel::Result RackModel::SetPreset(Reader& in) {
  uint8_t p = 0;
  int f = 0, l = 0;
  NEED(in.u8(p), "command too short");
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(p < kRackQxvPresets, "QXV preset beyond 99");
  NEED(in.remaining() == static_cast<size_t>(l - f + 1), "set preset command length");
  in.bytes(&state_.qxvLevels[p][f], static_cast<size_t>(l - f + 1));
  return std::nullopt;
}

// --- circuit and mux patches (18-21) -----------------------------------------

RackModel::Result RackModel::GetCircuitPatch(Reader& in, std::vector<uint8_t>& out) {
  int f = 0, l = 0;
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.done(), "get circuit patch command length");
  for (int d = f; d <= l; ++d) Put16(out, state_.dimmers[d].circuit);
  return std::nullopt;
}

RackModel::Result RackModel::SetCircuitPatch(Reader& in) {
  int f = 0, l = 0;
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.remaining() == 2u * static_cast<size_t>(l - f + 1), "set circuit patch command length");
  for (int d = f; d <= l; ++d) in.u16(state_.dimmers[d].circuit);
  return std::nullopt;
}

// Inputs 0 (A) and 1 (B) at offsets 2 and 3, then the entry range.
RackModel::Result RackModel::GetMuxPatch(Reader& in, std::vector<uint8_t>& out) {
  uint8_t a = 0, b = 0;
  int f = 0, l = 0;
  NEED(in.u8(a) && in.u8(b), "command too short");
  NEED(a <= b && b <= 1, "mux input range");
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.done(), "get mux patch command length");
  for (int input = a; input <= b; ++input)
    for (int d = f; d <= l; ++d) Put16(out, input == 0 ? state_.dimmers[d].muxA : state_.dimmers[d].muxB);
  return std::nullopt;
}

// The payload is one u16 per input and entry: 2 x inputs x entries + 6
// bytes in all (4 x entries + 6 for both inputs).
RackModel::Result RackModel::SetMuxPatch(Reader& in) {
  uint8_t a = 0, b = 0;
  int f = 0, l = 0;
  NEED(in.u8(a) && in.u8(b), "command too short");
  NEED(a <= b && b <= 1, "mux input range");
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  const size_t entries = static_cast<size_t>(l - f + 1);
  NEED(in.remaining() == 2u * entries * (b - a + 1u), "set mux patch command length");
  for (int input = a; input <= b; ++input)
    for (int d = f; d <= l; ++d) in.u16(input == 0 ? state_.dimmers[d].muxA : state_.dimmers[d].muxB);
  return std::nullopt;
}

// --- dimmer setup and status (22-24) -----------------------------------------

RackModel::Result RackModel::GetDimmerSetup(Reader& in, std::vector<uint8_t>& out) {
  int f = 0, l = 0;
  uint16_t count = 0;
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.u16(count), "command too short");
  NEED(count >= 1 && in.remaining() == count, "get dimmer setup command length");
  uint8_t codes[kRackMaxCommand];
  in.bytes(codes, count);
  for (int i = 0; i < count; ++i) NEED(DimmerItemKnown(codes[i]), "dimmer setup item unknown");
  for (int i = 0; i < count; ++i)
    for (int d = f; d <= l; ++d) Put8(out, state_.dimmers[d].setup[codes[i]]);
  return std::nullopt;
}

RackModel::Result RackModel::SetDimmerSetup(Reader& in) {
  int f = 0, l = 0;
  uint16_t count = 0;
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.u16(count), "command too short");
  const size_t n = static_cast<size_t>(l - f + 1);
  NEED(count >= 1 && in.remaining() == count + count * n, "set dimmer setup command length");
  uint8_t codes[kRackMaxCommand];
  uint8_t values[kRackMaxCommand];
  in.bytes(codes, count);
  in.bytes(values, count * n);
  for (int i = 0; i < count; ++i) {
    NEED(DimmerItemKnown(codes[i]), "dimmer setup item unknown");
    const bool flag = codes[i] == 8 || codes[i] == 9 || codes[i] == 12;
    for (size_t k = 0; k < n && flag; ++k) NEED(IsFlag(values[i * n + k]), "flag not 0 or 1");
  }
  for (int i = 0; i < count; ++i)
    for (size_t k = 0; k < n; ++k) state_.dimmers[f + k].setup[codes[i]] = values[i * n + k];
  return std::nullopt;
}

// Item 0 (the only one) is the learnt load, a u16 per dimmer.
RackModel::Result RackModel::GetDimmerStatus(Reader& in, std::vector<uint8_t>& out) {
  int f = 0, l = 0;
  uint16_t count = 0;
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.u16(count), "command too short");
  NEED(count >= 1 && in.remaining() == count, "get dimmer status command length");
  uint8_t codes[kRackMaxCommand];
  in.bytes(codes, count);
  for (int i = 0; i < count; ++i) NEED(codes[i] == 0, "dimmer status item unknown");
  for (int i = 0; i < count; ++i)
    for (int d = f; d <= l; ++d) Put16(out, state_.dimmers[d].learntLoad);
  return std::nullopt;
}

// --- rack setup (25, 26) -----------------------------------------------------

RackModel::Result RackModel::GetRackSetup(Reader& in, std::vector<uint8_t>& out) {
  uint16_t count = 0;
  NEED(in.u16(count), "command too short");
  NEED(count >= 1 && in.remaining() == count, "get rack setup command length");
  uint8_t codes[kRackMaxCommand];
  in.bytes(codes, count);
  for (int i = 0; i < count; ++i) NEED(RackSetupItemKnown(codes[i]), "rack setup item unknown");
  const RackState& s = state_;
  for (int i = 0; i < count; ++i) {
    switch (codes[i]) {
      case 0: Put8(out, s.language); break;
      case 1: Put16(out, s.muxFailHoldTime); break;
      case 2: Put8(out, s.muxFailPreset); break;
      case 3: Put8(out, s.brevantPowerupPreset); break;
      case 4: Put8(out, s.keypadLock); break;
      case 5: Put8(out, s.fanSpeed); break;
      case 6: Put8(out, s.muxProtocol[0]), Put8(out, s.muxProtocol[1]); break;
      case 7: Put8(out, s.muxSpeed[0]), Put8(out, s.muxSpeed[1]); break;
      case 8: out.insert(out.end(), s.moduleMap, s.moduleMap + kRackModuleMapEntries); break;
      case 9: out.insert(out.end(), s.roomLinks, s.roomLinks + kRackRooms); break;
      case 10: Put8(out, s.muxFailMode); break;
    }
  }
  return std::nullopt;
}

RackModel::Result RackModel::SetRackSetup(Reader& in) {
  uint16_t count = 0;
  NEED(in.u16(count), "command too short");
  NEED(count >= 1 && in.remaining() >= count, "command too short");
  uint8_t codes[kRackMaxCommand];
  in.bytes(codes, count);
  size_t width = 0;
  for (int i = 0; i < count; ++i) {
    NEED(RackSetupItemKnown(codes[i]), "rack setup item unknown");
    width += static_cast<size_t>(kRackSetupWidth[codes[i]]);
  }
  NEED(in.remaining() == width, "set rack setup command length");
  // Check into a copy, then keep it.
  RackState s = state_;
  for (int i = 0; i < count; ++i) {
    switch (codes[i]) {
      case 0: in.u8(s.language); break;
      case 1:
        in.u16(s.muxFailHoldTime);
        NEED(s.muxFailHoldTime <= 600 || s.muxFailHoldTime == 9999, "mux hold time refused");
        break;
      case 2: in.u8(s.muxFailPreset); break;
      case 3: in.u8(s.brevantPowerupPreset); break;
      case 4: in.u8(s.keypadLock); break;
      case 5:
        in.u8(s.fanSpeed);
        NEED(IsFlag(s.fanSpeed), "flag not 0 or 1");
        break;
      case 6: in.bytes(s.muxProtocol, 2); break;
      case 7: in.bytes(s.muxSpeed, 2); break;
      case 8: in.bytes(s.moduleMap, kRackModuleMapEntries); break;
      case 9: in.bytes(s.roomLinks, kRackRooms); break;
      case 10: in.u8(s.muxFailMode); break;
    }
  }
  state_.language = s.language;
  state_.muxFailHoldTime = s.muxFailHoldTime;
  state_.muxFailPreset = s.muxFailPreset;
  state_.brevantPowerupPreset = s.brevantPowerupPreset;
  state_.keypadLock = s.keypadLock;
  state_.fanSpeed = s.fanSpeed;
  std::copy_n(s.muxProtocol, 2, state_.muxProtocol);
  std::copy_n(s.muxSpeed, 2, state_.muxSpeed);
  std::copy_n(s.moduleMap, kRackModuleMapEntries, state_.moduleMap);
  std::copy_n(s.roomLinks, kRackRooms, state_.roomLinks);
  state_.muxFailMode = s.muxFailMode;
  return std::nullopt;
}

// --- rack status and the poll (27) -------------------------------------------

RackModel::Result RackModel::GetRackStatus(Reader& in, std::vector<uint8_t>& out) {
  uint16_t count = 0;
  NEED(in.u16(count), "command too short");
  NEED(count >= 1 && in.remaining() == count, "get rack status command length");
  uint8_t codes[kRackMaxCommand];
  in.bytes(codes, count);
  size_t size = out.size();
  int faultBlocks = 0;
  for (int i = 0; i < count; ++i) {
    const int w = RackStatusWidth(codes[i]);
    NEED(w != 0, "rack status item unknown");
    size += static_cast<size_t>(w);
    faultBlocks += codes[i] == 20;
  }
  NEED(faultBlocks <= 1, "rack status item 20 asked twice");
  if (size > kRackMaxReply) return Refusal{0x13, "reply longer than 1024 bytes"};
  const RackState& s = state_;
  for (int i = 0; i < count; ++i) {
    switch (codes[i]) {
      case 0: Put16(out, s.rackType); break;
      case 5: Put16(out, s.digitalDims); break;
      case 6: Put16(out, s.analogInputs); break;
      case 7: Put16(out, s.analogOutputs); break;
      case 9: Put16(out, s.qxvPreset); break;
      case 10: out.insert(out.end(), s.serialNumber, s.serialNumber + 8); break;
      case 11: out.insert(out.end(), s.softwareVersion, s.softwareVersion + 6); break;
      case 12: Put16(out, s.hardwareVersion); break;
      case 16: out.insert(out.end(), s.roomPresets, s.roomPresets + 8); break;
      case 17: out.insert(out.end(), s.roomPresets + 8, s.roomPresets + 16); break;
      case 20: {
        Put32(out, s.inputBits);
        // As many waiting events as the reply has room for; the rest wait
        // for the next poll.
        const size_t room = (kRackMaxReply - size) / kRackFaultEventSize;
        const size_t n = std::min({room, state_.pending.size(), size_t{255}});
        Put8(out, static_cast<uint8_t>(n));
        Put8(out, static_cast<uint8_t>(s.rackNumber));
        for (size_t k = 0; k < n; ++k) {
          const FaultEvent e = state_.pending.front();
          state_.pending.pop_front();
          Put8(out, static_cast<uint8_t>((e.arose ? 0x80 : 0x00) | (e.type & 0x3F)));
          Put8(out, e.dimmer);
          Put16(out, e.circuit);
          Put32(out, static_cast<uint32_t>(e.time));
          Put16(out, static_cast<uint16_t>(e.diag1));
          Put16(out, static_cast<uint16_t>(e.diag2));
        }
        break;
      }
    }
  }
  return std::nullopt;
}

// --- user curves (30, 31) ----------------------------------------------------

RackModel::Result RackModel::GetUserCurve(Reader& in, std::vector<uint8_t>& out) {
  uint8_t c = 0;
  NEED(in.u8(c) && in.done(), "get user curve command length");
  NEED(c < kRackUserCurves, "user curve beyond 4");
  const UserCurve& curve = state_.curves[c];
  Put8(out, c);
  Put8(out, curve.points);
  out.insert(out.end(), curve.data, curve.data + 4 * curve.points);
  return std::nullopt;
}

RackModel::Result RackModel::SetUserCurve(Reader& in) {
  uint8_t c = 0, points = 0;
  NEED(in.u8(c) && in.u8(points), "command too short");
  NEED(c < kRackUserCurves, "user curve beyond 4");
  NEED(points <= kRackMaxCurvePoints, "more than 70 curve points");
  NEED(in.remaining() == 4u * points, "set user curve command length");
  UserCurve& curve = state_.curves[c];
  curve.points = points;
  in.bytes(curve.data, 4u * points);
  return std::nullopt;
}

// --- Brevant (32-39) ---------------------------------------------------------

RackModel::Result RackModel::GetBrevantPatch(Reader& in, std::vector<uint8_t>& out) {
  int f = 0, l = 0;
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.done(), "get Brevant patch command length");
  for (int d = f; d <= l; ++d) Put8(out, state_.dimmers[d].bvtRoom);
  for (int d = f; d <= l; ++d) Put8(out, state_.dimmers[d].bvtChannel);
  return std::nullopt;
}

RackModel::Result RackModel::SetBrevantPatch(Reader& in) {
  int f = 0, l = 0;
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.remaining() == 2u * static_cast<size_t>(l - f + 1), "set Brevant patch command length");
  for (int d = f; d <= l; ++d) in.u8(state_.dimmers[d].bvtRoom);
  for (int d = f; d <= l; ++d) in.u8(state_.dimmers[d].bvtChannel);
  return std::nullopt;
}

RackModel::Result RackModel::BrevantPresetOn(Reader& in) {
  uint8_t f = 0, l = 0, p = 0;
  NEED(in.u8(f) && in.u8(l) && in.u8(p) && in.done(), "Brevant preset command length");
  NEED(f <= l && l < kRackRooms, "room range");
  NEED(p < kRackBrevantPresets, "Brevant preset beyond 9");
  for (int room = f; room <= l; ++room) state_.roomPresets[room] = p;
  for (int d = 0; d < outputs(); ++d) {
    DimmerState& dim = state_.dimmers[d];
    if (dim.bvtRoom >= f && dim.bvtRoom <= l) dim.level = state_.bvtLevels[p][d];
  }
  return std::nullopt;
}

RackModel::Result RackModel::RecordBrevantPreset(Reader& in) {
  uint8_t f = 0, l = 0, p = 0;
  NEED(in.u8(f) && in.u8(l) && in.u8(p) && in.done(), "Brevant preset command length");
  NEED(f <= l && l < kRackRooms, "room range");
  NEED(p < kRackBrevantPresets, "Brevant preset beyond 9");
  for (int d = 0; d < outputs(); ++d) {
    const DimmerState& dim = state_.dimmers[d];
    if (dim.bvtRoom >= f && dim.bvtRoom <= l) state_.bvtLevels[p][d] = dim.level;
  }
  return std::nullopt;
}

RackModel::Result RackModel::GetBrevantPreset(Reader& in, std::vector<uint8_t>& out) {
  uint8_t p = 0;
  int f = 0, l = 0;
  NEED(in.u8(p), "command too short");
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.done(), "get Brevant preset command length");
  NEED(p < kRackBrevantPresets, "Brevant preset beyond 9");
  for (int d = f; d <= l; ++d) Put8(out, state_.bvtLevels[p][d]);
  return std::nullopt;
}

RackModel::Result RackModel::SetBrevantPreset(Reader& in) {
  uint8_t p = 0;
  int f = 0, l = 0;
  NEED(in.u8(p), "command too short");
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(p < kRackBrevantPresets, "Brevant preset beyond 9");
  NEED(in.remaining() == static_cast<size_t>(l - f + 1), "set Brevant preset command length");
  in.bytes(&state_.bvtLevels[p][f], static_cast<size_t>(l - f + 1));
  return std::nullopt;
}

// One u16 per room and preset, rooms outermost.
RackModel::Result RackModel::GetBrevantPresetTime(Reader& in, std::vector<uint8_t>& out) {
  uint8_t fr = 0, lr = 0, fp = 0, lp = 0;
  NEED(in.u8(fr) && in.u8(lr) && in.u8(fp) && in.u8(lp) && in.done(),
       "get Brevant preset time command length");
  NEED(fr <= lr && lr < kRackRooms, "room range");
  NEED(fp <= lp && lp < kRackBrevantPresets, "Brevant preset range");
  for (int room = fr; room <= lr; ++room)
    for (int p = fp; p <= lp; ++p) Put16(out, state_.bvtTimes[room][p]);
  return std::nullopt;
}

RackModel::Result RackModel::SetBrevantPresetTime(Reader& in) {
  uint8_t fr = 0, lr = 0, fp = 0, lp = 0;
  NEED(in.u8(fr) && in.u8(lr) && in.u8(fp) && in.u8(lp), "command too short");
  NEED(fr <= lr && lr < kRackRooms, "room range");
  NEED(fp <= lp && lp < kRackBrevantPresets, "Brevant preset range");
  NEED(in.remaining() == 2u * (lr - fr + 1u) * (lp - fp + 1u), "set Brevant preset time command length");
  for (int room = fr; room <= lr; ++room)
    for (int p = fp; p <= lp; ++p) in.u16(state_.bvtTimes[room][p]);
  return std::nullopt;
}

// --- dimmer fault configuration and relay cycle counts (51, 52) --------------
// u16 item codes: 0 cable resistance (u16), 1 load tolerance (u16), 2 relay
// cycle count (u32); values item by item, one per dimmer or relay.

RackModel::Result RackModel::GetDimFaultConfig(Reader& in, std::vector<uint8_t>& out) {
  int f = 0, l = 0;
  uint16_t count = 0;
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.u16(count), "command too short");
  NEED(count >= 1 && in.remaining() == 2u * count, "get fault configuration command length");
  uint16_t codes[kRackMaxCommand / 2];
  for (int i = 0; i < count; ++i) {
    in.u16(codes[i]);
    NEED(FaultItemKnown(codes[i]), "fault configuration item unknown");
  }
  for (int i = 0; i < count; ++i) {
    for (int d = f; d <= l; ++d) {
      const DimmerState& dim = state_.dimmers[d];
      if (codes[i] == 0) Put16(out, dim.cableResistance);
      else if (codes[i] == 1) Put16(out, dim.loadTolerance);
      else Put32(out, dim.relayCycles);
    }
  }
  return std::nullopt;
}

RackModel::Result RackModel::SetDimFaultConfig(Reader& in) {
  int f = 0, l = 0;
  uint16_t count = 0;
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.u16(count), "command too short");
  NEED(count >= 1 && in.remaining() >= 2u * count, "command too short");
  uint16_t codes[kRackMaxCommand / 2];
  const size_t n = static_cast<size_t>(l - f + 1);
  size_t width = 0;
  for (int i = 0; i < count; ++i) {
    in.u16(codes[i]);
    NEED(FaultItemKnown(codes[i]), "fault configuration item unknown");
    width += n * (codes[i] == 2 ? 4u : 2u);
  }
  NEED(in.remaining() == width, "set fault configuration command length");
  for (int i = 0; i < count; ++i) {
    for (int d = f; d <= l; ++d) {
      DimmerState& dim = state_.dimmers[d];
      if (codes[i] == 0) in.u16(dim.cableResistance);
      else if (codes[i] == 1) in.u16(dim.loadTolerance);
      else in.u32(dim.relayCycles);
    }
  }
  return std::nullopt;
}

// --- manual levels (53, 54) and load learning (55) ---------------------------

RackModel::Result RackModel::GetManualLevels(Reader& in, std::vector<uint8_t>& out) {
  int f = 0, l = 0;
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  NEED(in.done(), "get manual level command length");
  for (int d = f; d <= l; ++d) Put8(out, state_.dimmers[d].manualEnable);
  for (int d = f; d <= l; ++d) Put8(out, state_.dimmers[d].manualLevel);
  return std::nullopt;
}

RackModel::Result RackModel::SetManualLevels(Reader& in) {
  int f = 0, l = 0;
  if (auto r = ReadDimmerRange(in, f, l)) return r;
  const size_t n = static_cast<size_t>(l - f + 1);
  NEED(in.remaining() == 2 * n, "set manual level command length");
  uint8_t enables[kRackMaxOutputs];
  in.bytes(enables, n);
  for (size_t k = 0; k < n; ++k) NEED(IsFlag(enables[k]), "flag not 0 or 1");
  for (size_t k = 0; k < n; ++k) state_.dimmers[f + k].manualEnable = enables[k];
  for (size_t k = 0; k < n; ++k) in.u8(state_.dimmers[f + k].manualLevel);
  return std::nullopt;
}

// u16 mode: 0 learns every dimmer, 1 the dimmer in the next byte. The model
// learns at once: the learnt load becomes the connected load.
RackModel::Result RackModel::LearnLoadProfile(Reader& in) {
  uint16_t mode = 0;
  NEED(in.u16(mode), "command too short");
  if (mode == 0) {
    NEED(in.done(), "learn command length");
    for (int d = 0; d < outputs(); ++d) state_.dimmers[d].learntLoad = state_.dimmers[d].connectedLoad;
    return std::nullopt;
  }
  NEED(mode == 1, "learn mode not 0 or 1");
  uint8_t d = 0;
  NEED(in.u8(d) && in.done(), "learn command length");
  NEED(d < outputs(), "index beyond the rack's outputs");
  state_.dimmers[d].learntLoad = state_.dimmers[d].connectedLoad;
  return std::nullopt;
}

// u32 local time. The rack takes the time and reports every fault still in
// force again, as arisen, from the next poll on.
RackModel::Result RackModel::SynchFaultEvents(Reader& in) {
  uint32_t t = 0;
  NEED(in.u32(t) && in.done(), "synch fault events command length");
  state_.clock = t;
  state_.pending.assign(state_.active.begin(), state_.active.end());
  return std::nullopt;
}

#undef NEED
#undef REFUSE

}  // namespace sim
