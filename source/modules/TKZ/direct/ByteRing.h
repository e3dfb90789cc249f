// Fixed byte rings in which the direct-connect link queues request entries
// (one ring per channel) and reply records (one ring for all channels).
//
// A ring holds at most kByteRingSize - 1 bytes: it is empty when the two
// positions are equal and full when the write position is one behind the
// read position.  Nothing is allocated; the caller owns the ring.  Not
// thread-safe (comm thread only).
#ifndef TKZ_BYTE_RING_H
#define TKZ_BYTE_RING_H

#include <cstdint>

inline constexpr uint16_t kByteRingSize = 1650;
inline constexpr uint16_t kByteRingCapacity = kByteRingSize - 1;
// What RingGet gives for an empty ring.
inline constexpr uint16_t kRingEmpty = 0xFFFF;

struct ByteRing {
  uint16_t write = 0;  // next position written
  uint16_t read = 0;   // next position read
  uint8_t data[kByteRingSize] = {};
};

void RingInit(ByteRing* ring);
// The next byte, or kRingEmpty.
uint16_t RingGet(ByteRing* ring);
// Up to n bytes into out; the count taken (0 when empty, out untouched).
uint16_t RingGetN(ByteRing* ring, uint8_t* out, uint16_t n);
// 1 when stored, 0 when full.
uint16_t RingPut(ByteRing* ring, uint8_t byte);
// Stores bytes until n are stored or the ring fills; the count stored.
uint16_t RingPutN(ByteRing* ring, const uint8_t* bytes, uint16_t n);

// Bytes waiting, and room left.
uint16_t RingCount(const ByteRing* ring);
uint16_t RingSpace(const ByteRing* ring);

#endif
