// The records that the document puts into a rack message's data buffer and
// that the command builders and reply parsers of CComm read and fill. Their
// layouts are the database rows as the document reads them in one block, by
// column name; they are packed and their sizes fixed.
//
// A data buffer (RackMsg::data) holds a whole number of records back to back.
// The builders copy a record out with LoadRecord and back with StoreRecord,
// never through a reference into the buffer (its bytes are not aligned), and
// refuse a buffer too small for the count they are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "RackRecords.h"

// Other buffers, by builder:
//  - circuit patch: one i32 CircuitID per dimmer;
//  - Brevant patch: pairs {BvtRoom, BvtCh} (1-based, 0 = unpatched);
//  - analog patch: pairs {AnalogIn, AnalogInEnable};
//  - manual level pairs: {ManualLevelEnable, ManualLevel percent};
//  - module map: 48 i16 module types;  room links: 16 bytes;
//  - QXV preset times: one i16 per preset; Brevant preset times: one u16 per
//    room and preset, rooms outermost (16 x 10);
//  - QXV preset levels: one 100-byte row per dimmer (byte p = percent of
//    preset p) for all presets, else one percent per dimmer;
//  - Brevant preset levels: one percent per dimmer, 255 = keep the rack's;
//  - user curve: 4 bytes per point, sent and received as they stand;
//  - relay cycle counts: one u32 per relay.

template <typename T>
bool HasRecords(const std::vector<uint8_t>& buf, size_t count) {
  return count <= buf.size() / sizeof(T);
}

// Record i of the buffer; the caller has checked HasRecords.
template <typename T>
T LoadRecord(const std::vector<uint8_t>& buf, size_t i) {
  T r;
  std::memcpy(&r, buf.data() + i * sizeof(T), sizeof(T));
  return r;
}

template <typename T>
void StoreRecord(std::vector<uint8_t>& buf, size_t i, const T& r) {
  std::memcpy(buf.data() + i * sizeof(T), &r, sizeof(T));
}

// Little-endian u16 and u32 arrays in a data buffer (no alignment needed);
// the caller has checked the buffer's size.
inline uint16_t Buf16(const std::vector<uint8_t>& b, size_t off) {
  return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}
inline void PutBuf16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}
inline uint32_t Buf32(const std::vector<uint8_t>& b, size_t off) {
  return static_cast<uint32_t>(Buf16(b, off)) | (static_cast<uint32_t>(Buf16(b, off + 2)) << 16);
}
inline void PutBuf32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  PutBuf16(b, off, static_cast<uint16_t>(v));
  PutBuf16(b, off + 2, static_cast<uint16_t>(v >> 16));
}
