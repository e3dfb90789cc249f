// Run-length codec for rack commands, rack responses, polls and file blocks.
//
// Packed stream: a sequence of packets.  0x80 + n (n = 3..127) is a run: n
// copies of the byte that follows.  n (1..127) is a literal: the n bytes that
// follow.  The unpacked side is read or written with a stride: with stride s
// the bytes are taken as s interleaved planes (0, s, 2s, ..., then 1, 1+s, ...)
// so that equal bytes of multi-byte records fall into runs.
#ifndef TKZ_RLE_H
#define TKZ_RLE_H

#include <cstdint>

// The result of either call when the output does not fit or the input is
// malformed.
inline constexpr uint16_t RLE_FAIL = 0xFFFF;

// Largest packed size of n bytes: a literal header per 127 bytes.
constexpr uint32_t RleWorstCase(uint32_t n) { return n + (n + 126) / 127; }

// Packs length bytes of data into out (outSize bytes).  Returns the number
// of packed bytes, 0 for an empty input, or RLE_FAIL when the packed form
// does not fit (out may then hold a partial stream).  A stride of 0 is taken
// as 1.
uint16_t RleEncode(const uint8_t* data, uint16_t length, uint8_t* out, uint16_t outSize,
                   uint16_t stride);

// Unpacks inLength packed bytes into out (outSize bytes).  Returns the
// number of bytes the packets describe, or RLE_FAIL when they would write
// more than outSize bytes or a packet runs past the end of the input.  With
// a stride above 1, outSize must be the unpacked length.  A stride of 0 is
// taken as 1.
uint16_t RleDecode(const uint8_t* in, uint16_t inLength, uint8_t* out, uint16_t outSize,
                   uint16_t stride);

#endif
