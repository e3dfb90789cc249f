// The document's resident records of racks and zones, loaded from the plant
// configuration and kept while the server runs.
//
// Ownership: the document's rack and zone maps own these records; UI thread
// only.
#pragma once

#include <cstdint>

inline constexpr uint32_t RACK_INFO_UP = 0x1;          // status last written as up
inline constexpr uint32_t RACK_INFO_HAS_NODE = 0x2;    // named by the rack-to-node load
inline constexpr uint32_t RACK_INFO_CONFIGURED = 0x4;  // listed by tblRackConfig

#include "RackZone.h"  // kRackZoneBase: a rack's own zone is this plus its number

struct RackInfo {
  uint32_t ZoneParentID = 0;
  int32_t DigitalDimsFitted = 0;
  int32_t AnalogOutputs = 0;
  int32_t NodeID = -1;  // -1: no node reaches the rack
  int32_t portSlot = 0;
  uint8_t RackNumber = 0;  // also the key (the rack number's low 8 bits)
  uint32_t flags = 0;      // RACK_INFO_
  int32_t lastInputBits = 0;
};

struct ZoneStatus {
  int16_t lastQxvPreset = 0;
  int32_t lastInputBits = 0;
  uint8_t lastBvtPresets[16] = {};  // rooms 1 to 16
};

// A rack's own zone id (the rack number taken as at most 16 bits).
constexpr int32_t RackZoneId(int32_t rack) { return kRackZoneBase + (rack & 0xFFFF); }

// The rack table's key of a rack number.
constexpr uint8_t RackKey(int64_t rack) { return static_cast<uint8_t>(rack & 0xFF); }
