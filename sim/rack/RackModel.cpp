// The rack model's exchange, knobs, faults and value changes; the command
// handlers are in RackCommandSet.cpp.
#include <algorithm>
#include <stdexcept>

#include "RackModel.h"
#include "RackWire.h"

namespace sim {

namespace {

constexpr uint16_t kNoResponse = 0x10;
constexpr uint16_t kResponseTooLong = 0x13;

// xorshift32: a small deterministic generator for Vary.
struct Rng {
  uint32_t s;
  explicit Rng(uint32_t seed) : s(seed != 0 ? seed : 0x9E3779B9u) {}
  uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  uint8_t Byte() { return static_cast<uint8_t>(Next()); }
  uint16_t Word() { return static_cast<uint16_t>(Next()); }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

}  // namespace

RackModel::RackModel(const Config& config) {
  if (config.digitalDims + config.analogOutputs > kRackMaxOutputs)
    throw std::invalid_argument("rack model: more than 256 outputs");
  state_.rackNumber = config.rackNumber;
  state_.rackType = config.rackType;
  state_.digitalDims = config.digitalDims;
  state_.analogInputs = config.analogInputs;
  state_.analogOutputs = config.analogOutputs;
}

int RackModel::outputs() const {
  return std::min<int>(state_.digitalDims + state_.analogOutputs, kRackMaxOutputs);
}

RackAnswer RackModel::Exchange(std::span<const uint8_t> command) {
  ++exchanges_;
  lastCommand_.assign(command.begin(),
                      command.begin() + static_cast<std::ptrdiff_t>(std::min(command.size(), kRackMaxCommand)));
  ScriptEntry next;
  if (!script_.empty()) {
    next = script_.front();
    script_.pop_front();
  }
  if (silent_ || next.what == Scripted::Stall) return {AnswerKind::Silent, 0, {}};
  if (next.what == Scripted::Fail) return {AnswerKind::LinkCode, next.rcode, {}};

  Result refused;
  std::vector<uint8_t> out;
  uint8_t number = 0;
  if (command.size() < 2 || command.size() > kRackMaxCommand) {
    refused = Refusal{kNoResponse, "command length outside 2..290"};
  } else if (command[1] != 0) {
    refused = Refusal{kNoResponse, "command number above 255"};
  } else {
    number = command[0];
    out.reserve(64);
    Put16(out, replyCommand_.value_or(number));
    Reader in(command.subspan(2));
    refused = Dispatch(number, in, out);
    if (!refused && out.size() > kRackMaxReply)
      refused = Refusal{kResponseTooLong, "reply longer than 1024 bytes"};
  }
  if (refused) {
    ++rejects_;
    lastReject_ = refused->reason;
    return {AnswerKind::LinkCode, refused->rcode, {}};
  }
  ++answered_[number];
  return {AnswerKind::Reply, 0, std::move(out)};
}

void RackModel::Script(int nth, ScriptEntry entry) {
  if (nth < 1) return;
  if (script_.size() < static_cast<size_t>(nth)) script_.resize(static_cast<size_t>(nth));
  script_[static_cast<size_t>(nth - 1)] = entry;
}

void RackModel::FailNext(uint16_t rcode, int count) {
  for (int i = 0; i < count; ++i) Script(i + 1, {Scripted::Fail, rcode});
}
void RackModel::FailAt(int nth, uint16_t rcode) { Script(nth, {Scripted::Fail, rcode}); }
void RackModel::StallNext(int count) {
  for (int i = 0; i < count; ++i) Script(i + 1, {Scripted::Stall, 0});
}
void RackModel::StallAt(int nth) { Script(nth, {Scripted::Stall, 0}); }
void RackModel::ClearScript() { script_.clear(); }

void RackModel::RaiseFault(uint8_t type, uint8_t dimmer, uint16_t circuit, int16_t diag1,
                           int16_t diag2) {
  FaultEvent e{static_cast<uint8_t>(type & 0x3F), true, dimmer, circuit,
               static_cast<int32_t>(state_.clock), diag1, diag2};
  auto same = [&](const FaultEvent& a) {
    return a.type == e.type && a.dimmer == dimmer && a.circuit == circuit;
  };
  auto it = std::find_if(state_.active.begin(), state_.active.end(), same);
  if (it != state_.active.end())
    *it = e;
  else
    state_.active.push_back(e);
  state_.pending.push_back(e);
}

void RackModel::SubsideFault(uint8_t type, uint8_t dimmer, uint16_t circuit) {
  FaultEvent e{static_cast<uint8_t>(type & 0x3F), false, dimmer, circuit,
               static_cast<int32_t>(state_.clock), 0, 0};
  auto it = std::find_if(state_.active.begin(), state_.active.end(), [&](const FaultEvent& a) {
    return a.type == e.type && a.dimmer == dimmer && a.circuit == circuit;
  });
  if (it != state_.active.end()) {
    e.diag1 = it->diag1;
    e.diag2 = it->diag2;
    state_.active.erase(it);
  }
  state_.pending.push_back(e);
}

void RackModel::QueueFaultEvent(const FaultEvent& event) {
  FaultEvent e = event;
  e.type &= 0x3F;
  state_.pending.push_back(e);
}

void RackModel::Vary(uint32_t seed) {
  Rng r(seed);
  RackState& s = state_;
  for (auto& d : s.dimmers) {
    for (int code = 0; code < kRackDimmerSetupItems; ++code) {
      const bool flag = code == 8 || code == 9 || code == 12;
      d.setup[code] = flag ? static_cast<uint8_t>(r.Below(2)) : r.Byte();
    }
    d.circuit = r.Word();
    d.muxA = static_cast<uint16_t>(r.Below(1024));
    d.muxB = static_cast<uint16_t>(r.Below(1024));
    d.bvtRoom = static_cast<uint8_t>(r.Below(kRackRooms));
    d.bvtChannel = static_cast<uint8_t>(r.Below(15));
    d.cableResistance = r.Word();
    d.loadTolerance = static_cast<uint16_t>(r.Below(256));
    d.relayCycles = r.Next();
    d.manualEnable = static_cast<uint8_t>(r.Below(2));
    d.manualLevel = r.Byte();
    d.connectedLoad = r.Word();
    d.learntLoad = r.Word();
  }
  for (auto& row : s.qxvLevels)
    for (auto& v : row) v = r.Byte();
  for (auto& t : s.qxvTimes) t = r.Word();
  for (auto& row : s.bvtLevels)
    for (auto& v : row) v = r.Byte();
  for (auto& room : s.bvtTimes)
    for (auto& t : room) t = r.Word();
  s.language = r.Byte();
  s.muxFailHoldTime = r.Below(8) == 0 ? 9999 : static_cast<uint16_t>(r.Below(601));
  s.muxFailPreset = r.Byte();
  s.brevantPowerupPreset = r.Byte();
  s.keypadLock = r.Byte();
  s.fanSpeed = static_cast<uint8_t>(r.Below(2));
  for (auto& v : s.muxProtocol) v = r.Byte();
  for (auto& v : s.muxSpeed) v = r.Byte();
  for (auto& v : s.moduleMap) v = r.Byte();
  for (auto& v : s.roomLinks) v = r.Byte();
  s.muxFailMode = r.Byte();
  for (auto& c : s.curves) {
    c.points = static_cast<uint8_t>(r.Below(kRackMaxCurvePoints + 1));
    for (auto& v : c.data) v = r.Byte();
  }
}

}  // namespace sim
