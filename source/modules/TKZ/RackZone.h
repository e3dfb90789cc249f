// A rack's own zone: every rack is a zone of its own whose ZoneID is this
// plus its rack number (the rack-message layer and the document both
// address a rack's rows by it).
#pragma once

#include <cstdint>

inline constexpr int32_t kRackZoneBase = 10000;
