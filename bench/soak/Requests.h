// The request rows the soak program writes: a mix of types as outside
// programs write them, each with the rack command it makes the server send
// (its target) and, where the plant decides it, the outcome it must have.
//
//   type 20                      completes at once, no rack
//   type 9 / 1, zone 10000+R     relay cycle counts of one dimmer of rack R:
//                                one command 51 to rack R
//   type 1 / 2, zone 10000+R     QXV preset select: one broadcast command 1
//                                on rack R's port
//   type 2 / 2, zone 10000+R     Brevant preset select: one broadcast
//                                command 34 on rack R's port
//   type 4 / 101                 schedule reload, no rack
//   type 4 / 100                 rack table reload, no rack (rarely)
//   type 13, 21, 10 / 99         refused at once (state 5), no rack
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Plant.h"

namespace soak {

struct RequestSpec {
  int16_t type = 0;
  int32_t subtype = 0;
  int32_t zone = 0;
  std::vector<std::pair<int16_t, std::string>> params;
  Target target;
  // The state it must end in when the plant stays as it is: 4, 5, or 0
  // when the plant does not decide it (a failure of the server's own
  // database work, say).
  int expect = 0;
  std::string label;  // "relay cycles of rack 3", for reports
};

// What the plant is, as a writer thread may read it: a copy.
struct PlantView {
  PlantLayout layout;
  std::vector<bool> rackAnswers;  // by rack number
  std::vector<bool> nodeSpeaks;   // by node number
  int avoidNode = 0;              // no request goes to this node's racks
};

class RequestMaker {
 public:
  explicit RequestMaker(uint32_t seed) : rng_(seed) {}
  // One request of the mix; noReloads leaves out the rack table reloads.
  RequestSpec Next(const PlantView& plant, bool noReloads);
  // The probe: a type 20 request.
  static RequestSpec Probe();

 private:
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::mt19937 rng_;
};

}  // namespace soak
