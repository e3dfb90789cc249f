// What the document hands the comm thread to fill its node and rack tables:
// the load phases that bracket a load, and the node and rack descriptors.
// The document builds them, the comm thread reads them (CommTables.h has the
// tables themselves).
//
// Ownership: a NodeDesc or RackDesc lives on the caller's stack for the
// duration of a synchronous call only.
#pragma once

#include <cstdint>

// Port slots of a node.
inline constexpr int kPortSlots = 6;

// Flags of CommLoadPhase.  A node load is bracketed by 7 and 14, a rack
// refresh by 3 and 10.
inline constexpr uint32_t LOAD_PHASE_BEGIN = 0x01;
inline constexpr uint32_t LOAD_PHASE_RACKS = 0x02;
inline constexpr uint32_t LOAD_PHASE_NODES = 0x04;
inline constexpr uint32_t LOAD_PHASE_END = 0x08;

// CommAddNode's descriptor.
struct NodeDesc {
  uint32_t nodeId = 0;
  uint32_t address = 0;          // host byte order
  const char* name = nullptr;    // the loader's; not read by the comm thread
  uint8_t portFlags[kPortSlots] = {};  // non-zero: a port lies on that slot
};

// CommAddRack's descriptor.
struct RackDesc {
  uint32_t nodeId = 0;
  uint32_t rack = 0;     // 1 to 256
  uint8_t portSlot = 0;  // 0 to 5
};
