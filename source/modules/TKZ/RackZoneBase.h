// A rack's own zone: kRackZoneBase + its rack number.  One definition for
// the rack-message layer and the document, which a file may include both.
#pragma once

#include <cstdint>

inline constexpr int32_t kRackZoneBase = 10000;
