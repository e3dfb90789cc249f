// Decodes arbitrary packed input with every stride and re-encodes what came
// out: neither side may read or write outside its buffers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Rle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t stride = static_cast<uint16_t>(data[0] % 5);
  const uint16_t outSize = static_cast<uint16_t>(data[1] * 5);
  data += 2;
  size -= 2;
  std::vector<uint8_t> in(data, data + size);  // exact size: overreads trap
  std::vector<uint8_t> out(outSize);
  uint16_t n = RleDecode(in.data(), static_cast<uint16_t>(in.size()), out.data(), outSize, stride);
  if (n != RLE_FAIL && n <= outSize) {
    std::vector<uint8_t> packed(RleWorstCase(n));
    uint16_t p = RleEncode(out.data(), n, packed.data(), static_cast<uint16_t>(packed.size()), stride);
    if (p == RLE_FAIL) __builtin_trap();
  }
  return 0;
}
