// The document's resident records of racks and zones, loaded from the plant
// configuration and kept while the server runs.
//
// Ownership: the document's rack and zone maps own these records; UI thread
// only.  The rack map is keyed by the whole rack number (1 to 256), so that
// rack 256 never shares a record with another rack.
#pragma once

#include <cstdint>

#include "RackZone.h"

inline constexpr uint32_t RACK_INFO_UP = 0x1;          // status last written as up
inline constexpr uint32_t RACK_INFO_HAS_NODE = 0x2;    // named by the rack-to-node load
inline constexpr uint32_t RACK_INFO_CONFIGURED = 0x4;  // listed by tblRackConfig

// Rooms of a zone's Brevant presets.
inline constexpr int kZoneRooms = 16;

struct RackInfo {
  uint32_t ZoneParentID = 0;
  int32_t DigitalDimsFitted = 0;
  int32_t AnalogOutputs = 0;
  int32_t NodeID = -1;  // -1: no node reaches the rack
  int32_t portSlot = 0;
  uint16_t RackNumber = 0;  // 1 to 256, also the key
  uint32_t flags = 0;       // RACK_INFO_
  int32_t lastInputBits = 0;
};

struct ZoneStatus {
  int16_t lastQxvPreset = 0;
  int32_t lastInputBits = 0;
  uint8_t lastBvtPresets[kZoneRooms] = {};  // rooms 1 to 16
};

// A rack's own zone id (the rack number taken as at most 16 bits).
constexpr int32_t RackZoneId(int32_t rack) { return kRackZoneBase + (rack & 0xFFFF); }

// The port-slot rule of node ports: a node type whose name contains "Test"
// numbers its ports from 1 (slot = port - 1), any other from -1 (slot =
// port + 1).  The result may lie outside the six slots 0 to 5.
int32_t NodePortSlot(const char* nodeTypeName, int32_t portNumber);
