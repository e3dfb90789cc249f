#include "Requests.h"

namespace soak {
namespace {

constexpr int kRackZoneBase = 10000;
constexpr int kCmdPresetOn = 1;
constexpr int kCmdBrevantPresetOn = 34;
constexpr int kCmdGetDimFaultConfig = 51;  // the relay cycle counts

}  // namespace

RequestSpec RequestMaker::Probe() {
  RequestSpec r;
  r.type = 20;
  r.expect = 4;
  r.label = "probe";
  return r;
}

RequestSpec RequestMaker::Next(const PlantView& plant, bool noReloads) {
  std::vector<const RackSpot*> racks;
  for (const RackSpot& r : plant.layout.racks)
    if (r.node != plant.avoidNode) racks.push_back(&r);
  const RackSpot& rack = *racks[static_cast<size_t>(Pick(0, static_cast<int>(racks.size()) - 1))];
  const bool answers = static_cast<size_t>(rack.rack) < plant.rackAnswers.size() &&
                       plant.rackAnswers[static_cast<size_t>(rack.rack)];
  const bool nodeSpeaks = static_cast<size_t>(rack.node) < plant.nodeSpeaks.size() &&
                          plant.nodeSpeaks[static_cast<size_t>(rack.node)];
  RequestSpec r;
  const int roll = Pick(0, 99);
  if (roll < 15) {
    r = Probe();
    r.label = "type 20";
  } else if (roll < 45) {
    r.type = 9;
    r.subtype = 1;
    r.zone = kRackZoneBase + rack.rack;
    r.params = {{1, std::to_string(Pick(1, plant.layout.rackDimmers))}};
    r.target = Target::RackCommand(rack.rack, kCmdGetDimFaultConfig);
    r.expect = answers ? 4 : 5;
    r.label = "relay cycles of rack " + std::to_string(rack.rack);
  } else if (roll < 65) {
    r.type = 1;
    r.subtype = 2;
    r.zone = kRackZoneBase + rack.rack;
    r.params = {{1, std::to_string(Pick(0, 99))}};
    r.target = Target::PortBroadcast(rack.node, rack.slot, kCmdPresetOn);
    // A broadcast is confirmed by the node for its port, whoever answers.
    r.expect = nodeSpeaks ? 4 : 5;
    r.label = "QXV preset on rack " + std::to_string(rack.rack) + "'s port";
  } else if (roll < 80) {
    r.type = 2;
    r.subtype = 2;
    r.zone = kRackZoneBase + rack.rack;
    r.params = {{1, std::to_string(Pick(1, 16))}, {2, std::to_string(Pick(0, 9))}};
    r.target = Target::PortBroadcast(rack.node, rack.slot, kCmdBrevantPresetOn);
    r.expect = nodeSpeaks ? 4 : 5;
    r.label = "Brevant preset on rack " + std::to_string(rack.rack) + "'s port";
  } else if (roll < 89 || (noReloads && roll < 90)) {
    r.type = 4;
    r.subtype = 101;
    r.expect = 4;
    r.label = "schedule reload";
  } else if (roll < 90) {
    r.type = 4;
    r.subtype = 100;
    r.expect = 4;
    r.label = "rack table reload";
  } else {
    static const std::pair<int16_t, int32_t> kRefused[] = {{13, 0}, {21, 0}, {10, 99}};
    const auto& [type, sub] = kRefused[Pick(0, 2)];
    r.type = type;
    r.subtype = sub;
    r.expect = 5;
    r.label = "refused type " + std::to_string(type);
  }
  return r;
}

}  // namespace soak
