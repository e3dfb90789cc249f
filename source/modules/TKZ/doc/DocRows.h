// Packed row layouts of the document's row-block reads, shared by several of
// its concerns, with their column bindings (dao/binding.h).  The layouts are
// the ones the request handlers and the rack configuration transfer copy
// into rack messages, so their sizes are fixed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "RackRecords.h"
#include "dao/binding.h"

// ---- tblTKZRequest ----------------------------------------------------------

// RequestState of a request row.
inline constexpr int16_t REQUEST_STATE_PENDING = 0;
inline constexpr int16_t REQUEST_STATE_IN_PROCESS = 3;
inline constexpr int16_t REQUEST_STATE_SUCCEEDED = 4;
inline constexpr int16_t REQUEST_STATE_FAILED = 5;
inline constexpr int16_t REQUEST_STATE_CANCELLED = 6;

inline constexpr size_t kRequestPCSize = 50;
inline constexpr size_t kRequestDiagnosticSize = 255;  // with its NUL: 254 characters at most

#pragma pack(push, 1)
struct TKZRequestRow {
  int32_t RID;
  char RequestPC[kRequestPCSize];
  int16_t RequestState;
  int16_t RequestType;
  int32_t RequestSubType;
  int32_t ZoneID;
  char RequestDiagnostic[kRequestDiagnosticSize];
};
#pragma pack(pop)
static_assert(sizeof(TKZRequestRow) == 321);
static_assert(offsetof(TKZRequestRow, RequestDiagnostic) == 66);

inline constexpr dao::Binding kRequestRowBindings[] = {
    {"RID", dao::BindType::kI32, offsetof(TKZRequestRow, RID), 4},
    {"RequestPC", dao::BindType::kText, offsetof(TKZRequestRow, RequestPC), kRequestPCSize},
    {"RequestState", dao::BindType::kI16, offsetof(TKZRequestRow, RequestState), 2},
    {"RequestType", dao::BindType::kI16, offsetof(TKZRequestRow, RequestType), 2},
    {"RequestSubType", dao::BindType::kI32, offsetof(TKZRequestRow, RequestSubType), 4},
    {"ZoneID", dao::BindType::kI32, offsetof(TKZRequestRow, ZoneID), 4},
    {"RequestDiagnostic", dao::BindType::kText, offsetof(TKZRequestRow, RequestDiagnostic),
     kRequestDiagnosticSize},
};

// ---- tblRackConfig (TKZqryRackConfig, and the table itself) ------------------

// RackConfigRow: RackRecords.h.

#define DROVANA_RC_I16(col) {#col, dao::BindType::kI16, offsetof(RackConfigRow, col), 2}
#define DROVANA_RC_I32(col) {#col, dao::BindType::kI32, offsetof(RackConfigRow, col), 4}
inline constexpr dao::Binding kRackConfigBindings[] = {
    DROVANA_RC_I32(ZoneParentID),
    DROVANA_RC_I16(RackType),
    {"SpecialWiringType", dao::BindType::kText, offsetof(RackConfigRow, SpecialWiringType), 1},
    DROVANA_RC_I16(RackCase),
    DROVANA_RC_I16(RackNumber),
    DROVANA_RC_I16(MuxTypeA),
    DROVANA_RC_I16(MuxTypeB),
    DROVANA_RC_I16(MuxFailPreset),
    DROVANA_RC_I16(MuxFailHoldTime),
    DROVANA_RC_I16(MuxFailMode),
    DROVANA_RC_I16(BrevantPowerupPreset),
    DROVANA_RC_I16(RackLanguage),
    DROVANA_RC_I16(KeypadLockEnable),
    DROVANA_RC_I16(FanSpeed),
    DROVANA_RC_I16(DigitalDims),
    DROVANA_RC_I32(AnalogOutputs),
    DROVANA_RC_I32(AnalogInputs),
    DROVANA_RC_I16(DigitalDimsFitted),
    DROVANA_RC_I16(NumberRows),
    DROVANA_RC_I16(NumberSlots),
};
#undef DROVANA_RC_I16
#undef DROVANA_RC_I32
static_assert(sizeof kRackConfigBindings / sizeof kRackConfigBindings[0] == 20);

// ---- A rack's connection status (TKZqryRackStatus) --------------------------

#pragma pack(push, 1)
struct RackStatusRow {
  int32_t ZoneID;
  int32_t ZoneParentID;
  int16_t ConnectStatus;
};
#pragma pack(pop)

inline constexpr dao::Binding kRackStatusBindings[] = {
    {"ZoneID", dao::BindType::kI32, offsetof(RackStatusRow, ZoneID), 4},
    {"ZoneParentID", dao::BindType::kI32, offsetof(RackStatusRow, ZoneParentID), 4},
    {"ConnectStatus", dao::BindType::kI16, offsetof(RackStatusRow, ConnectStatus), 2},
};
