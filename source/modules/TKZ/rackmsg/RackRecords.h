// The packed rack records that the document reads from the database by
// column name and the rack-message layer's builders and parsers read and
// fill in a rack message's data buffer: one definition for both sides.
// Their sizes and offsets are fixed.
#pragma once

#include <cstddef>
#include <cstdint>

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
static_assert(offsetof(RackConfigRow, RackNumber) == 14);
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
