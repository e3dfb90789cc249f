#include "ByteRing.h"

namespace {

uint16_t Next(uint16_t pos) { return static_cast<uint16_t>(pos + 1 == kByteRingSize ? 0 : pos + 1); }

}  // namespace

void RingInit(ByteRing* ring) {
  ring->write = 0;
  ring->read = 0;
}

uint16_t RingCount(const ByteRing* ring) {
  return static_cast<uint16_t>(ring->write >= ring->read
                                   ? ring->write - ring->read
                                   : kByteRingSize - ring->read + ring->write);
}

uint16_t RingSpace(const ByteRing* ring) {
  return static_cast<uint16_t>(kByteRingCapacity - RingCount(ring));
}

uint16_t RingGet(ByteRing* ring) {
  if (ring->read == ring->write) return kRingEmpty;
  const uint8_t b = ring->data[ring->read];
  ring->read = Next(ring->read);
  return b;
}

uint16_t RingGetN(ByteRing* ring, uint8_t* out, uint16_t n) {
  uint16_t got = 0;
  while (got < n) {
    const uint16_t b = RingGet(ring);
    if (b == kRingEmpty) break;
    out[got++] = static_cast<uint8_t>(b);
  }
  return got;
}

uint16_t RingPut(ByteRing* ring, uint8_t byte) {
  const uint16_t next = Next(ring->write);
  if (next == ring->read) return 0;
  ring->data[ring->write] = byte;
  ring->write = next;
  return 1;
}

uint16_t RingPutN(ByteRing* ring, const uint8_t* bytes, uint16_t n) {
  uint16_t put = 0;
  while (put < n && RingPut(ring, bytes[put]) == 1) ++put;
  return put;
}
