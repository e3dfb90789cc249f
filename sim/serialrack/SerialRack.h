// Racks on an RS-485 line, as the direct-connect link sees them: bytes from
// the line in, the racks' answer frames out.  Each rack is a RackModel at
// its own address.  A synchronisation frame to a rack is acknowledged; a
// request frame's packed command is unpacked, answered by the rack's model
// and the answer packed into a reply frame; a broadcast is executed by
// every rack and answered by none.  Frames with a bad check, a length out
// of range or an unknown address get no answer, as on a real line.
//
// Not thread-safe: one thread feeds it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "RackModel.h"

using sim::RackModel;
using sim::RackAnswer;
using sim::AnswerKind;

namespace serialrack {

class SerialRack {
 public:
  using Trace = std::function<void(const std::string&)>;

  // One rack per address, each from `config` with its rack number set to
  // its address.
  SerialRack(const std::vector<uint16_t>& addresses, const RackModel::Config& config);

  // Takes bytes from the line; returns the bytes the racks send back.
  std::vector<uint8_t> Receive(std::span<const uint8_t> bytes);

  // The rack at `address`, or null.
  RackModel* Rack(uint16_t address);
  // A silent rack answers nothing, synchronisation included.
  void SetSilent(uint16_t address, bool silent);
  void SetTrace(Trace trace) { trace_ = std::move(trace); }

  // Frames taken, and frames dropped for a bad check or length.
  uint32_t frames() const { return frames_; }
  uint32_t badFrames() const { return badFrames_; }

 private:
  void OnFrame(uint16_t address, uint8_t control, uint16_t length, const uint8_t* data,
               uint16_t dataLength, std::vector<uint8_t>& out);
  void Say(const std::string& line) const {
    if (trace_) trace_(line);
  }

  struct Station {
    std::unique_ptr<RackModel> model;
    bool silent = false;
  };
  std::map<uint16_t, Station> racks_;
  std::vector<uint8_t> pending_;  // bytes of a frame not complete yet
  Trace trace_;
  uint32_t frames_ = 0;
  uint32_t badFrames_ = 0;
};

}  // namespace serialrack
