// Rack numbers and a rack's own zone, shared by the document and the
// rack-message layer.
#pragma once

#include <cstdint>

// Rack numbers run from 1 to 256.
inline constexpr int32_t kFirstRackNumber = 1;
inline constexpr int32_t kLastRackNumber = 256;

// A rack's own zone is this plus its rack number (10001 to 10256).
inline constexpr int32_t kRackZoneBase = 10000;

constexpr bool IsRackNumber(int64_t rack) { return rack >= kFirstRackNumber && rack <= kLastRackNumber; }
