#include "DirectFrame.h"

#include <cstring>

void DirectCheckBytes(const uint8_t* bytes, std::size_t n, uint8_t* check1, uint8_t* check2) {
  DirectCheck c;
  for (std::size_t i = 0; i < n; ++i) c.Add(bytes[i]);
  *check1 = static_cast<uint8_t>(-(c.sum1 + c.sum2));
  *check2 = c.sum2;
}

namespace {

std::size_t Finish(uint8_t* out, std::size_t at) {
  DirectCheckBytes(out + 4, at - 4, &out[at], &out[at + 1]);
  out[at + 2] = 0xFF;
  out[at + 3] = 0xFF;
  return at + 4;
}

void Start(uint16_t address, uint8_t control, uint8_t* out) {
  out[0] = 0xFF;
  out[1] = 0xFF;
  out[2] = kDirectSync1;
  out[3] = kDirectSync2;
  out[4] = static_cast<uint8_t>(address);
  out[5] = static_cast<uint8_t>(address >> 8);
  out[6] = control;
}

}  // namespace

std::size_t DirectBuildShortFrame(uint16_t address, uint8_t control, uint8_t* out) {
  Start(address, control, out);
  return Finish(out, 7);
}

std::size_t DirectBuildFrame(uint16_t address, uint8_t control, uint16_t length, uint8_t atype,
                             uint8_t second, const uint8_t* data, uint8_t* out,
                             std::size_t outSize) {
  const std::size_t body = length >= 3 ? length : 0;
  if (kDirectFrameOverhead + body > outSize) return 0;
  Start(address, control, out);
  out[7] = static_cast<uint8_t>(length);
  out[8] = static_cast<uint8_t>(length >> 8);
  std::size_t at = 9;
  if (length >= 3) {
    out[9] = atype;
    out[10] = second;
    out[11] = 0;
    if (length > 3) std::memcpy(out + 12, data, length - 3u);
    at = 9 + std::size_t{length};
  }
  return Finish(out, at);
}
