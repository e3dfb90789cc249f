// The direct-connect serial frame on RS-485 (little-endian):
//
//   0xFF 0xFF, 0xAA 0x55 (sync), u16 rack address (0xFFFF broadcast),
//   control, u16 L, then L bytes (Atype, a second header byte, 0, and
//   L - 3 data bytes; nothing when L is below 3), check byte 1, check
//   byte 2, 0xFF 0xFF.
//
// The short frame (the synchronisation frame, control 0xA0, and a rack's
// acknowledgement, control bit 0x10) has no length and no header bytes:
// 0xFF 0xFF 0xAA 0x55, address, control, check bytes, 0xFF 0xFF.
//
// Check bytes: over the bytes from the address to the last byte before the
// check bytes, s1 = sum of the bytes and s2 = sum of the successive s1
// values (both modulo 256); check byte 1 = -(s1 + s2), check byte 2 = s2.
// The same two sums run through both check bytes end at 0 and 0.
//
// Pure functions; safe from any thread.
#ifndef TKZ_DIRECT_FRAME_H
#define TKZ_DIRECT_FRAME_H

#include <cstddef>
#include <cstdint>

inline constexpr uint16_t kDirectBroadcast = 0xFFFF;
inline constexpr uint8_t kDirectSync1 = 0xAA;
inline constexpr uint8_t kDirectSync2 = 0x55;
inline constexpr uint8_t kDirectSyncControl = 0xA0;
// Control of a request to a rack: 0x80 + reply bit (0 or 2) + sequence bit.
inline constexpr uint8_t kDirectRequestControl = 0x80;
// Bits of a reply's control byte: set in every reply; set in an
// acknowledgement (no length, no data).
inline constexpr uint8_t kDirectReplyBit = 0x08;
inline constexpr uint8_t kDirectAckBit = 0x10;
// Atype of every rack reply.
inline constexpr uint8_t kDirectReplyAtype = 0xA3;

inline constexpr std::size_t kDirectShortFrameSize = 11;
// A frame's size beside its L bytes.
inline constexpr std::size_t kDirectFrameOverhead = 13;
// The largest frame the link builds (its frame buffer) and the L that fits.
inline constexpr std::size_t kDirectFrameMax = 512;
inline constexpr uint16_t kDirectRequestMaxL = kDirectFrameMax - kDirectFrameOverhead;
// The largest L a reply may carry, and its data.
inline constexpr uint16_t kDirectReplyMaxL = 515;
inline constexpr uint16_t kDirectReplyMaxData = kDirectReplyMaxL - 3;

struct DirectCheck {
  uint8_t sum1 = 0;
  uint8_t sum2 = 0;
  void Add(uint8_t byte) {
    sum1 = static_cast<uint8_t>(sum1 + byte);
    sum2 = static_cast<uint8_t>(sum2 + sum1);
  }
};

// The two check bytes over n bytes.
void DirectCheckBytes(const uint8_t* bytes, std::size_t n, uint8_t* check1, uint8_t* check2);

// Writes a short frame (11 bytes) into out.
std::size_t DirectBuildShortFrame(uint16_t address, uint8_t control, uint8_t* out);

// Writes a frame with length field L into out (outSize bytes): when L is 3
// or more the header bytes and L - 3 bytes of data follow; below 3 nothing
// follows the length.  Returns the size written (13 + L, or 13 when L is
// below 3), or 0 when it does not fit.
std::size_t DirectBuildFrame(uint16_t address, uint8_t control, uint16_t length, uint8_t atype,
                             uint8_t second, const uint8_t* data, uint8_t* out,
                             std::size_t outSize);

#endif
