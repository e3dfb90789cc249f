#include "Crc16.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t c = static_cast<uint16_t>(i << 8);
    for (int b = 0; b < 8; ++b)
      c = static_cast<uint16_t>((c & 0x8000) != 0 ? (c << 1) ^ 0x1021 : c << 1);
    t[i] = c;
  }
  return t;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x1021 && kTable[255] == 0x1EF0);

}  // namespace

uint16_t Crc16TableEntry(uint8_t i) { return kTable[i]; }

uint16_t Crc16Step(uint8_t byte, uint16_t crc) {
  return static_cast<uint16_t>(kTable[((crc >> 8) ^ byte) & 0xFF] ^ (crc << 8));
}

uint16_t Crc16(const uint8_t* bytes, int16_t n, uint16_t crc) {
  for (int16_t i = 0; i < n; ++i) crc = Crc16Step(bytes[i], crc);
  return crc;
}
