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

#pragma pack(push, 1)

// One dimmer (or analog output) of a rack, in DimNumber order: slot d - 1
// holds DimNumber d.
struct DimmerRecord {
  int16_t RackType;
  uint8_t DimNumber;
  uint8_t ModuleType;
  uint8_t StatusReportingEnable;
  uint8_t Response;
  uint8_t MinLevel;
  uint8_t MaxVoltage;
  uint8_t FluoTopset;
  uint8_t FluoCutoff;
  uint8_t NonDimThreshold;
  uint8_t MuxMode;
  uint8_t Curve;
  uint8_t AnalogIn;
  uint8_t AnalogInEnable;
  uint8_t ManualLevelEnable;
  uint8_t ManualLevel;
  uint8_t BvtRoom;
  uint8_t BvtCh;
  uint8_t PanicAction;
  int32_t CableResistance;
  uint8_t LoadPercentTol;
  uint8_t unused;
};
static_assert(sizeof(DimmerRecord) == 26);
static_assert(offsetof(DimmerRecord, Response) == 5);
static_assert(offsetof(DimmerRecord, PanicAction) == 19);
static_assert(offsetof(DimmerRecord, CableResistance) == 20);
static_assert(offsetof(DimmerRecord, LoadPercentTol) == 24);

// A rack's tblRackConfig row (bytes 0 to 3 are not bound).
struct RackConfigRow {
  uint8_t unbound[4];
  int32_t ZoneParentID;
  int16_t RackType;
  char SpecialWiringType[1];
  uint8_t pad;
  int16_t RackCase;
  int16_t RackNumber;
  int16_t MuxTypeA;
  int16_t MuxTypeB;
  int16_t MuxFailPreset;
  int16_t MuxFailHoldTime;
  int16_t MuxFailMode;
  int16_t BrevantPowerupPreset;
  int16_t RackLanguage;
  int16_t KeypadLockEnable;
  int16_t FanSpeed;
  int16_t DigitalDims;
  int32_t AnalogOutputs;
  int32_t AnalogInputs;
  int16_t DigitalDimsFitted;
  int16_t NumberRows;
  int16_t NumberSlots;
};
static_assert(sizeof(RackConfigRow) == 50);
static_assert(offsetof(RackConfigRow, RackType) == 8);
static_assert(offsetof(RackConfigRow, MuxTypeA) == 16);
static_assert(offsetof(RackConfigRow, FanSpeed) == 32);
static_assert(offsetof(RackConfigRow, AnalogOutputs) == 36);
static_assert(offsetof(RackConfigRow, DigitalDimsFitted) == 44);
static_assert(offsetof(RackConfigRow, NumberSlots) == 48);

// One entry of a rack's mux patch, in DimNumber order.
struct MuxRecord {
  uint8_t DimNumber;
  uint8_t pad;
  int16_t MuxACh;
  int16_t MuxBCh;
};
static_assert(sizeof(MuxRecord) == 6);

#pragma pack(pop)

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
