// Preset and relay-cycle requests: QXV presets (type 1), Brevant presets
// (type 2) and the relay cycle counts of one rack (type 9), with the
// write-back of the counts a rack returns.
#include <string>

#include "DocPresets.h"

#include "DocComm.h"
#include "DocRequestParams.h"
#include "DocZoneTree.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "TextField.h"

namespace {

// Fixed line numbers of the handlers' database failures.
constexpr int32_t kLineQxvPreset = 1719;
constexpr int32_t kLineBrevantPreset = 1872;
constexpr int32_t kLineRelayCycles = 1943;

constexpr int32_t kBrevantRooms = 16;
constexpr int32_t kLastQxvPreset = 99;     // a rack holds QXV presets 0 to 99
constexpr int32_t kLastBrevantPreset = 9;  // and Brevant presets 0 to 9 per room
constexpr int32_t kLastRelay = 256;
constexpr int32_t kUnsetParam = -2;

// The configuration transfer's steps, unless a test installed others.
PresetSteps TransferSteps() {
  PresetSteps s;
  s.qxvLevels = [](CTKZDoc& doc, const std::vector<uint32_t>& racks, InProcRequest* r, int32_t preset) {
    doc.SendQXVLevels(racks, r, preset);
  };
  s.qxvFadeTimes = [](CTKZDoc& doc, const std::vector<uint32_t>& racks, InProcRequest* r, int32_t preset) {
    doc.SendQXVFadeTimes(racks, r, preset);
  };
  s.brevantLevels = [](CTKZDoc& doc, const std::vector<uint32_t>& racks, InProcRequest* r, int32_t preset,
                       int32_t room) { doc.SendBrevantLevels(racks, r, preset, room); };
  s.brevantFadeTimes = [](CTKZDoc& doc, const std::vector<uint32_t>& racks, InProcRequest* r, int32_t preset,
                          int32_t room) { doc.SendBrevantFadeTimes(racks, r, preset, room); };
  return s;
}

PresetSteps& Steps() {
  static PresetSteps steps = TransferSteps();
  return steps;
}

}  // namespace

void SetPresetSteps(PresetSteps steps) { Steps() = std::move(steps); }
void ResetPresetSteps() { Steps() = TransferSteps(); }

size_t CTKZDoc::ReadRequestParams(RequestParamRow* rows, size_t maxRows) {
  if (!m_rsRequestParm) return 0;
  m_rsRequestParm->Requery();
  return m_rsRequestParm->GetRows(rows, sizeof(RequestParamRow), maxRows, kRequestParamBindings);
}

bool CTKZDoc::FirstParamValue(int32_t& value) {
  RequestParamRow row{};
  if (ReadRequestParams(&row, 1) == 0) {
    FailRequest("Error: Request %d has no parameter.", m_RequestRow.RID);
    return false;
  }
  const std::optional<int32_t> v = ParamInt(row);
  if (!v) {
    FailRequest("Error: Request %d: parameter \"%.50s\" is not a number.", m_RequestRow.RID,
                std::string(FieldText(row.ParamValue)).c_str());
    return false;
  }
  value = *v;
  return true;
}

namespace {

void SetDiagnostic(TKZRequestRow& row, const char* text) {
  CopyFieldText(row.RequestDiagnostic, sizeof row.RequestDiagnostic, text);
}

// Subtypes 0 to 3 (download, upload, select, record); otherwise the request
// is refused.
bool ValidPresetSubType(CTKZDoc& doc, int32_t subType) {
  if (subType >= 0 && subType <= 3) return true;
  doc.FailRequest("Invalid Request subtype %d", subType);
  return false;
}

// The zone's racks for a preset request of `kind` (QXV, Brevant); nothing,
// and the request refused, when a transfer's steps are not installed.
std::optional<RackList> PresetRacks(CTKZDoc& doc, const InProcRequest* request, const char* kind,
                                        bool transfer, bool transferBuilt) {
  if (transfer && !transferBuilt) {
    doc.FailRequest("Error: %s preset %s requests are not supported by this server.", kind,
                    request->RequestSubType == 0 ? "download" : "upload");
    return std::nullopt;
  }
  RackList racks;
  doc.GetRackList(request->ZoneID, racks);
  return racks;
}

}  // namespace

// ---- QXV presets (type 1) -------------------------------------------------------

void CTKZDoc::OnQXVPresetRequest(InProcRequest* request) {
  const int32_t subType = request->RequestSubType;
  if (!ValidPresetSubType(*this, subType)) return;
  const bool transfer = subType == 0 || subType == 1;  // the preset's levels and time
  try {
    int32_t preset = 0;
    if (!FirstParamValue(preset)) return;
    // A transfer takes -1 for every preset; a select or record one preset.
    if (preset < (transfer ? -1 : 0) || preset > kLastQxvPreset) {
      FailRequest("Error: Invalid QXV preset %d.", preset);
      return;
    }
    const PresetSteps& steps = Steps();
    const std::optional<RackList> racks =
        PresetRacks(*this, request, "QXV", transfer, steps.qxvLevels && steps.qxvFadeTimes);
    if (!racks) return;
    switch (subType) {
      case 0:
      case 1:
        SetDiagnostic(m_RequestRow,
                      subType == 0 ? "QXV preset download request sent" : "QXV preset upload request sent");
        if (preset != 0) steps.qxvLevels(*this, *racks, request, preset);
        steps.qxvFadeTimes(*this, *racks, request, preset);
        break;
      case 2:
        SetDiagnostic(m_RequestRow, "QXV preset select message sent");
        ForEachPortMsg(request, *racks, [&](RackMsg* msg) { theComm.PresetOn(msg, preset); });
        break;
      default:
        SetDiagnostic(m_RequestRow, "QXV record preset message sent");
        for (uint32_t rack : *racks) {
          RackMsg* msg = NewRackMsg(request);
          msg->Rack = rack;
          theComm.RecordPreset(msg, preset);
        }
        break;
    }
  } catch (const dao::Error& e) {
    DBExceptionDiag(request, kLineQxvPreset, e.number(), e.description().c_str());
  }
}

// ---- Brevant presets (type 2) ---------------------------------------------------

void CTKZDoc::OnBrevantPresetRequest(InProcRequest* request) {
  const int32_t subType = request->RequestSubType;
  if (!ValidPresetSubType(*this, subType)) return;
  const bool transfer = subType == 0 || subType == 1;
  try {
    int32_t room = kUnsetParam;
    int32_t preset = kUnsetParam;
    RequestParamRow rows[2] = {};
    const size_t n = ReadRequestParams(rows, 2);
    for (size_t i = 0; i < n; ++i) {
      const std::optional<int32_t> v = ParamInt(rows[i]);
      if (rows[i].ParamNumber == 1 && v) room = *v;
      if (rows[i].ParamNumber == 2 && v) preset = *v;
    }
    if (room == kUnsetParam || preset == kUnsetParam) {
      FailRequest("Error: Request %d needs a room (parameter 1) and a preset (parameter 2).",
                  m_RequestRow.RID);
      return;
    }
    if (room != -1 && (room < 1 || room > kBrevantRooms)) {
      FailRequest("Error: Invalid Brevant room %d.", room);
      return;
    }
    if (preset < (transfer ? -1 : 0) || preset > kLastBrevantPreset) {
      FailRequest("Error: Invalid Brevant preset %d.", preset);
      return;
    }
    const PresetSteps& steps = Steps();
    const std::optional<RackList> racks =
        PresetRacks(*this, request, "Brevant", transfer, steps.brevantLevels && steps.brevantFadeTimes);
    if (!racks) return;
    switch (subType) {
      case 0:
      case 1: {
        SetDiagnostic(m_RequestRow, "Brevant preset load request started");
        // The request's text unless a response brings its own.
        const CompletionArg word = CompletionArg::Text(subType == 0 ? "set in" : "retrieved from");
        if (preset == -1 && room == -1)
          request->message.Set("All Brevant presets %s all rooms.", word);
        else if (preset == -1)
          request->message.Set("All Brevant presets %s room %d.", word, room);
        else if (room == -1)
          request->message.Set("Brevant preset %d %s all rooms.", preset, word);
        else
          request->message.Set("Brevant preset %d %s room %d.", preset, word, room);
        // Levels are moved for presets 1 to 8 only, fade times for every one.
        if (preset == -1 || (preset >= 1 && preset <= 8))
          steps.brevantLevels(*this, *racks, request, preset, room);
        steps.brevantFadeTimes(*this, *racks, request, preset, room);
        break;
      }
      case 2:
        SetDiagnostic(m_RequestRow, "Brevant preset play request started");
        ForEachPortMsg(request, *racks, [&](RackMsg* msg) { theComm.BrevantPresetOn(msg, preset, room); });
        // The zone's preset status follows the preset played (0 to 9).
        SetBrevantPresetStatus(request->ZoneID, room, static_cast<uint8_t>(preset));
        break;
      default:
        SetDiagnostic(m_RequestRow, "Brevant preset record request started");
        for (uint32_t rack : *racks) {
          RackMsg* msg = NewRackMsg(request);
          msg->Rack = rack;
          theComm.RecordBrevantPreset(msg, preset, room);
        }
        break;
    }
  } catch (const dao::Error& e) {
    DBExceptionDiag(request, kLineBrevantPreset, e.number(), e.description().c_str());
  }
}

// ---- Relay cycle counts (type 9) ------------------------------------------------

void CTKZDoc::OnRelayCycleRequest(InProcRequest* request) {
  const int32_t subType = request->RequestSubType;
  if (subType != 1 && subType != 10) {
    FailRequest("Invalid Request subtype %d", subType);
    return;
  }
  const int64_t rack = static_cast<int64_t>(request->ZoneID) - kRackZoneBase;
  if (rack < 1 || rack > 256) {
    FailRequest("Error: Zone %d is not a rack.", request->ZoneID);
    return;
  }
  try {
    int32_t dimmer = 0;
    if (!FirstParamValue(dimmer)) return;
    int32_t count = 1;
    if (dimmer == -1) {
      count = GetRackDigitalDims(static_cast<int32_t>(rack));
      dimmer = 1;
      if (count < 1 || count > kLastRelay) {
        FailRequest("Error: Rack %d has no digital dimmers configured.", static_cast<int>(rack));
        return;
      }
    } else if (dimmer < 1 || dimmer > kLastRelay) {
      FailRequest("Error: Invalid dimmer %d.", dimmer);
      return;
    }
    SetDiagnostic(m_RequestRow, "Relay cycle count request started");
    RackMsg* msg = NewRackMsg(request);
    msg->Rack = static_cast<uint32_t>(rack);
    msg->index = dimmer - 1;
    msg->count = count;
    msg->data.assign(static_cast<size_t>(count) * 4, 0);
    msg->docContinuation = [](CTKZDoc& doc, RackMsg* m, InProcRequest* r) { doc.StoreRelayCycles(m, r); };
    if (subType == 10)
      theComm.ResetRelayCycleCounts(msg);
    else
      theComm.GetRelayCycleCounts(msg);
  } catch (const dao::Error& e) {
    DBExceptionDiag(request, kLineRelayCycles, e.number(), e.description().c_str());
  }
}

