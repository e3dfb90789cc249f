// Zone inputs and cleaner status: the racks' poll reports of presets and
// input contacts written into the zone status tables, the cleaner inputs
// loaded at start-up, and the cleaner light switches.
#include <cstddef>
#include <cstring>
#include <optional>

#include "Comm.h"
#include "DisplayFlags.h"
#include "Doc.h"
#include "DocRequestParams.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "TextField.h"

namespace {

// Fixed line numbers of this concern's database error lines.
constexpr int kDocLineQxvStatus = 5520;
constexpr int kDocLineBvtStatus = 5560;
constexpr int kDocLineCleanerStatus = 5600;
constexpr int kDocLineLoadCleaner = 5640;
constexpr int kDocLineSetBvtStatus = 5680;
constexpr int kDocLineCleanerRequest = 5720;
constexpr int kDocLineSwitchCleaner = 5760;

// Cleaner inputs 1 to 4 are bits 0 to 3 of an input word, macro inputs bits
// 4 to 7.
constexpr int kCleanerInputs = 4;
constexpr int kFirstMacroInput = 4;
constexpr int kLastMacroInput = 7;

constexpr int32_t kSubTypeCleanerOff = 22;
constexpr int32_t kSubTypeCleanerOn = 23;

constexpr size_t kAnalogInNameSize = 51;

#pragma pack(push, 1)
struct CleanerZoneRow {
  int32_t ZoneID;
  uint8_t AnalogIn;
  int16_t AnalogInStatus;
};
struct CleanerIORow {
  int32_t ZoneID;
  uint8_t AnalogIn;
  char AnalogInName[kAnalogInNameSize];
  int32_t RackZoneID;
  uint8_t AnalogOutOn;
  uint8_t AnalogOutOff;
};
#pragma pack(pop)

constexpr dao::Binding kCleanerZoneBindings[] = {
    {"ZoneID", dao::BindType::kI32, offsetof(CleanerZoneRow, ZoneID), 4},
    {"AnalogIn", dao::BindType::kU8, offsetof(CleanerZoneRow, AnalogIn), 1},
    {"AnalogInStatus", dao::BindType::kI16, offsetof(CleanerZoneRow, AnalogInStatus), 2},
};
constexpr dao::Binding kCleanerIOBindings[] = {
    {"ZoneID", dao::BindType::kI32, offsetof(CleanerIORow, ZoneID), 4},
    {"AnalogIn", dao::BindType::kU8, offsetof(CleanerIORow, AnalogIn), 1},
    {"AnalogInName", dao::BindType::kText, offsetof(CleanerIORow, AnalogInName), kAnalogInNameSize},
    {"RackZoneID", dao::BindType::kI32, offsetof(CleanerIORow, RackZoneID), 4},
    {"AnalogOutOn", dao::BindType::kU8, offsetof(CleanerIORow, AnalogOutOn), 1},
    {"AnalogOutOff", dao::BindType::kU8, offsetof(CleanerIORow, AnalogOutOff), 1},
};

// Writes one column of the recordset's current row.  False when the query
// found no row: there is nothing to write (a status row the plant does not
// have), which the caller logs.
bool WriteCurrent(dao::Recordset& rs, const char* column, const dao::Variant& value) {
  if (rs.IsEOF()) return false;
  rs.Edit();
  rs.SetField(column, value);
  rs.Update();
  return true;
}

}  // namespace

// ---- poll reports -------------------------------------------------------------

void CTKZDoc::UpdateZoneInputStatus(int32_t rack, int32_t inputBits, int16_t qxvPreset,
                                    std::span<const uint8_t, kZoneRooms> roomPresets) {
  RackInfo* info = FindRackInfo(rack);
  ZoneStatus* zone = info != nullptr ? FindZoneStatus(info->ZoneParentID) : nullptr;
  if (zone == nullptr || !m_Database) {
    if (g_bDocDebug) LogPrintf("Error: Zone input report of rack %d, which has no zone, ignored.\n", rack);
    return;
  }
  const auto zoneId = static_cast<int32_t>(info->ZoneParentID);

  // QXV preset.  A failed write keeps the stored preset, so the next report
  // writes it again; a zone without a status row has nothing to write.
  if (qxvPreset != zone->lastQxvPreset) {
    try {
      dao::QueryDef q = m_Database->QueryDefs("TKZqryQXVStatus");
      q.SetParameter("ValueZoneID", zoneId);
      dao::Recordset rs = q.OpenRecordset();
      if (!WriteCurrent(rs, "PresetNumber", static_cast<uint8_t>(qxvPreset)))
        LogPrintf("Error: Zone %d has no QXV status row for its preset %d.\n", zoneId, qxvPreset);
      zone->lastQxvPreset = qxvPreset;
    } catch (const dao::Error& e) {
      LogDbError(kDocLineQxvStatus, e);
    }
  }

  // Brevant presets of rooms 1 to 16: each stored once it is written.
  try {
    std::optional<dao::QueryDef> q;
    std::optional<dao::Recordset> rs;
    for (int room = 1; room <= kZoneRooms; ++room) {
      const uint8_t preset = roomPresets[static_cast<size_t>(room - 1)];
      if (preset == zone->lastBvtPresets[room - 1]) continue;
      if (!q) {
        q.emplace(m_Database->QueryDefs("TKZqryBrevantStatus"));
        q->SetParameter("ValueZoneID", zoneId);
        q->SetParameter("ValueRoom", int32_t{room});
        rs.emplace(q->OpenRecordset());
      } else {
        q->SetParameter("ValueRoom", int32_t{room});
        rs->Requery();
      }
      if (!WriteCurrent(*rs, "PresetNumber", preset))
        LogPrintf("Error: Zone %d has no Brevant status row for room %d.\n", zoneId, room);
      zone->lastBvtPresets[room - 1] = preset;
    }
  } catch (const dao::Error& e) {
    LogDbError(kDocLineBvtStatus, e);
  }

  // Cleaner inputs: the word is stored once every change is written.
  const int32_t changed = (inputBits ^ zone->lastInputBits) & ((1 << kCleanerInputs) - 1);
  if (changed != 0) {
    try {
      std::optional<dao::QueryDef> q;
      std::optional<dao::Recordset> rs;
      for (int n = 0; n < kCleanerInputs; ++n) {
        if ((changed & (1 << n)) == 0) continue;
        const bool on = (inputBits & (1 << n)) != 0;
        if (g_bDocDebug)
          LogPrintf(on ? "Cleaner input %d in zone %d has turned on\n" : "Cleaner input %d in zone %d has turned off\n",
                    n + 1, zoneId);
        if (!q) {
          q.emplace(m_Database->QueryDefs("TKZqryCleanerStatus"));
          q->SetParameter("ValueZoneID", zoneId);
          q->SetParameter("ValueAnalogIn", static_cast<uint8_t>(n));
          rs.emplace(q->OpenRecordset());
        } else {
          q->SetParameter("ValueAnalogIn", static_cast<uint8_t>(n));
          rs->Requery();
        }
        if (!WriteCurrent(*rs, "AnalogInStatus", static_cast<uint8_t>(on ? 1 : 0)))
          LogPrintf("Error: Zone %d has no cleaner status row for input %d.\n", zoneId, n + 1);
      }
      zone->lastInputBits = inputBits;
    } catch (const dao::Error& e) {
      LogDbError(kDocLineCleanerStatus, e);
    }
  } else {
    zone->lastInputBits = inputBits;
  }

  // Macro inputs that close start their macro.  The word is stored first,
  // so a macro that reloads tables sees the rack's inputs as reported.
  const int32_t closed = inputBits & ~info->lastInputBits;
  info->lastInputBits = inputBits;
  for (int n = kFirstMacroInput; n <= kLastMacroInput; ++n)
    if ((closed & (1 << n)) != 0) StartInputMacro(rack, n);
}

// ---- cleaner status at start-up -------------------------------------------------

void CTKZDoc::LoadCleanerStatus() {
  if (m_Database) {
    try {
      dao::Recordset rs = m_Database->OpenTable("tblCleanerZone");
      for (; !rs.IsEOF(); rs.MoveNext()) {
        CleanerZoneRow row{};
        rs.ReadRow(&row, sizeof row, kCleanerZoneBindings);
        if (row.AnalogIn >= kCleanerInputs) continue;
        ZoneStatus* zone = FindZoneStatus(static_cast<uint32_t>(row.ZoneID));
        if (zone == nullptr) {
          LogPrintf("Error: Ignoring cleaner status for unknown zone %d\n", row.ZoneID);
          continue;
        }
        // A status of 0 is already what the row holds: nothing to write.
        if (row.AnalogInStatus != 0)
          zone->lastInputBits |= 1 << row.AnalogIn;
        else
          zone->lastInputBits &= ~(1 << row.AnalogIn);
      }
    } catch (const dao::Error& e) {
      LogDbError(kDocLineLoadCleaner, e);
    }
  }
  LogPrintf("Loaded cleaner input status.\n");
}

// ---- Brevant preset status after a preset select ---------------------------------

void CTKZDoc::SetBrevantPresetStatus(int32_t zoneId, int32_t room, uint8_t preset) {
  if (room != -1 && (room < 1 || room > kZoneRooms)) {
    LogPrintf("Error: Brevant preset status for room %d of zone %d: not a room (1 to 16).\n", room, zoneId);
    return;
  }
  if (!m_Database) return;
  const int32_t first = room == -1 ? 1 : room;
  const int32_t last = room == -1 ? kZoneRooms : room;
  try {
    dao::QueryDef q = m_Database->QueryDefs("TKZqryBrevantStatus");
    q.SetParameter("ValueZoneID", zoneId);
    std::optional<dao::Recordset> rs;
    for (int32_t r = first; r <= last; ++r) {
      q.SetParameter("ValueRoom", r);
      if (!rs)
        rs.emplace(q.OpenRecordset());
      else
        rs->Requery();
      if (!WriteCurrent(*rs, "PresetNumber", preset))
        LogPrintf("Error: Zone %d has no Brevant status row for room %d.\n", zoneId, r);
    }
  } catch (const dao::Error& e) {
    LogDbError(kDocLineSetBvtStatus, e);
  }
}

// ---- cleaner light requests ------------------------------------------------------

void CTKZDoc::OnCleanerRequest(InProcRequest* request) {
  if (request == nullptr) return;
  if (!m_qdRequestParm || !m_rsRequestParm) {
    FailRequest("Error: Cleaner request %d: the database is not open.", request->RID);
    return;
  }
  std::string param;
  try {
    m_qdRequestParm->SetParameter("ValueRID", request->RID);
    m_rsRequestParm->Requery();
    if (m_rsRequestParm->IsEOF()) {
      FailRequest("Error: Cleaner request %d has no parameter (the cleaner input, or -1).", request->RID);
      return;
    }
    param = m_rsRequestParm->GetField("ParamValue").AsText();
  } catch (const dao::Error& e) {
    DBExceptionDiag(request, kDocLineCleanerRequest, static_cast<int32_t>(e.code()), e.description().c_str());
    return;
  }
  const std::optional<int32_t> input = LeadingDecimal(param);
  if (!input || *input < -1 || *input > 255) {
    FailRequest("Error: Cleaner request %d: \"%s\" is not a cleaner input (0 to 255, or -1 for all).",
                request->RID, param.c_str());
    return;
  }
  CopyFieldText(m_RequestRow.RequestDiagnostic, sizeof m_RequestRow.RequestDiagnostic,
                "Cleaner input On/Off request started");
  SwitchCleanerLights(request, request->ZoneID, *input);
}

void CTKZDoc::SwitchCleanerLights(InProcRequest* request, int32_t zoneId, int32_t input) {
  if (request == nullptr) return;
  // The request's result and text are this switch's only while nothing
  // earlier (another step of a macro, a message refused on the way) has
  // failed it: the first failure stays.
  auto result = [request](uint16_t rcode, const char* format, CompletionArg a0, CompletionArg a1 = {},
                          CompletionArg a2 = {}) {
    if (request->Rcode != RC_OK) return;
    request->message.Set(format, std::move(a0), std::move(a1), std::move(a2));
    request->Rcode = rcode;
  };
  const bool on = request->RequestSubType == kSubTypeCleanerOn;
  if (!on && request->RequestSubType != kSubTypeCleanerOff) {
    result(RC_SWITCH_NOT_CONTROLLABLE, "Cleaner light switch sub-type %d is neither off (22) nor on (23), zone %d",
           request->RequestSubType, zoneId);
    return;
  }
  if (!m_Database) return;
  const char* word = on ? "on" : "off";
  bool named = false;
  try {
    dao::QueryDef q = m_Database->QueryDefs(input == -1 ? "TKZqryCleanerIOZone" : "TKZqryCleanerIO");
    if (input != -1) q.SetParameter("ValueAnalogIn", input);
    q.SetParameter("ValueZoneID", zoneId);
    dao::Recordset rs = q.OpenRecordset();
    for (; !rs.IsEOF(); rs.MoveNext()) {
      CleanerIORow row{};
      rs.ReadRow(&row, sizeof row, kCleanerIOBindings);
      if (row.RackZoneID == 0) continue;
      const int64_t rack = static_cast<int64_t>(row.RackZoneID) - kRackZoneBase;
      const char* outputColumn = on ? "AnalogOutOn" : "AnalogOutOff";
      if (!IsRackNumber(rack) || rs.GetField(outputColumn).is_null()) {
        LogPrintf("Error: Cleaner patch of input %d in zone %d names no rack output (rack zone %d), ignored.\n",
                  row.AnalogIn + 1, zoneId, row.RackZoneID);
        continue;
      }
      const uint8_t output = on ? row.AnalogOutOn : row.AnalogOutOff;
      const int32_t digitalDims = GetRackDigitalDims(static_cast<int32_t>(rack));
      named = true;
      if (input == -1)
        result(RC_OK, "All cleaner light switches turned %s in zone %d", CompletionArg::Text(word), zoneId);
      else
        result(RC_OK, "Cleaner light switch %d turned %s in zone %d", input + 1, CompletionArg::Text(word), zoneId);
      RackMsg* msg = NewRackMsg(request);
      msg->Rack = static_cast<uint32_t>(rack);
      msg->index = digitalDims + output;
      theComm.PulseManualLevel(msg);
    }
  } catch (const dao::Error& e) {
    DBExceptionDiag(request, kDocLineSwitchCleaner, static_cast<int32_t>(e.code()), e.description().c_str());
    return;
  }
  if (!named)
    result(RC_SWITCH_NOT_CONTROLLABLE, "No control output specified, check the cleaner patch for zone %d", zoneId);
}
