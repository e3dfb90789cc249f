// The preset, curve and room-link steps against rack models.
#include "RackConfigTestSupport.h"

namespace {

constexpr int kDims = 6;
}  // namespace
