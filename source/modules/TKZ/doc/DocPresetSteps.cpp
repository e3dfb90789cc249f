// The preset, curve and room-link steps: QXV preset fade times and levels,
// Brevant preset fade times and levels, user curves and the Brevant room
// link, for the rack configuration process and the preset and room-link
// requests; the room-link request itself; and the write-back of the relay
// cycle counts.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "Comm.h"
#include "DisplayFlags.h"
#include "Doc.h"
#include "DocSteps.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"

using namespace docsteps;

namespace {

constexpr int32_t kQxvPresets = 100;
constexpr size_t kQxvRow = 100;  // levels per dimmer for all presets
constexpr int32_t kBrevantTimes = 160;
constexpr int32_t kBrevantLastPreset = 8;  // all presets: 1 to 8
constexpr size_t kBrevantLevels = static_cast<size_t>(kBvtRooms) * kBvtChannels;
constexpr size_t kCurvePointsMax = 100;
constexpr int32_t kUserCurves = 5;
constexpr size_t kRoomLinks = 16;

#pragma pack(push, 1)
struct CurvePointRow {
  int32_t ZoneID;
  int16_t UserCurve;
  int16_t InputLevel;
  int16_t OutputLevel;
};
#pragma pack(pop)
static_assert(sizeof(CurvePointRow) == 10);

constexpr dao::Binding kPresetTimeBindings[] = {{"PresetTime", dao::BindType::kI16, 0, 2}};
constexpr dao::Binding kDimLevelBindings[] = {{"DimLevel", dao::BindType::kU8, 0, 1}};
constexpr dao::Binding kChLevelBindings[] = {{"ChLevel", dao::BindType::kU8, 0, 1}};
constexpr dao::Binding kRoomLinkBindings[] = {{"RoomLink", dao::BindType::kU8, 0, 1}};
constexpr dao::Binding kRelayCycleBindings[] = {{"relaycycles", dao::BindType::kI32, 0, 4}};
constexpr dao::Binding kBvtPairBindings[] = {
    {"BvtRoom", dao::BindType::kU8, 0, 1},
    {"BvtCh", dao::BindType::kU8, 1, 1},
};
constexpr dao::Binding kCurvePointBindings[] = {
    {"ZoneID", dao::BindType::kI32, offsetof(CurvePointRow, ZoneID), 4},
    {"UserCurve", dao::BindType::kI16, offsetof(CurvePointRow, UserCurve), 2},
    {"InputLevel", dao::BindType::kI16, offsetof(CurvePointRow, InputLevel), 2},
    {"OutputLevel", dao::BindType::kI16, offsetof(CurvePointRow, OutputLevel), 2},
};

// Writes `column` of each row (in query order) whose value differs from
// `value(i)`; rows past `count` are left alone.
template <typename T, typename Value>
void WriteDiffering(dao::Recordset& rs, const char* column, std::span<const dao::Binding> bindings, size_t count,
                    Value value) {
  for (size_t i = 0; i < count && !rs.IsEOF(); ++i, rs.MoveNext()) {
    T stored{};
    rs.ReadRow(&stored, sizeof stored, bindings);
    const std::optional<T> back = value(i);
    if (!back || *back == stored) continue;
    rs.Edit();
    rs.SetField(column, *back);
    rs.Update();
  }
}

}  // namespace

// ---- QXV preset fade times ----------------------------------------------------------

void CTKZDoc::SendQXVFadeTimes(const std::vector<uint32_t>& racks, InProcRequest* request, int32_t preset) {
  for (uint32_t rack : racks) {
    if (FindRackInfo(rack) == nullptr) {
      LogPrintf("Rack %d is not in the rack table; its QXV preset fade times are not moved.\n", static_cast<int>(rack));
      continue;
    }
    RackMsg* msg = NewRackMsg(request);
    msg->Rack = rack;
    msg->index = preset;
    msg->count = preset == -1 ? kQxvPresets : 1;
    if (!SendStepMsg(msg, request, &CComm::GetPresetTime, &CComm::SetPresetTime, &CTKZDoc::TransferQXVFadeTimes)) return;
  }
}

bool CTKZDoc::TransferQXVFadeTimes(RackMsg* msg, InProcRequest* request) {
  const bool upload = IsUpload(request);
  const bool all = msg->index == -1;
  const size_t n = all ? kQxvPresets : 1;
  const TransferEnd end = RunTransfer(msg, request, kLineQxvFadeTimes, [&] {
    dao::QueryDef q = StepDb().QueryDefs(all ? "TKZqryQXVFadeTime" : "TKZqryQXVFadeTimeOnePreset");
    q.SetParameter("ValueZoneID", GetRackZone(static_cast<int32_t>(msg->Rack)));
    if (!all) q.SetParameter("ValuePreset", static_cast<uint8_t>(msg->index));
    dao::Recordset rs = q.OpenRecordset();
    if (!upload) {
      const auto times = ReadRows<int16_t>(rs, n, kPresetTimeBindings);
      msg->data.assign(2 * n, 0);
      for (size_t i = 0; i < times.size(); ++i) PutLe16(msg->data, 2 * i, static_cast<uint16_t>(times[i]));
      return true;
    }
    const uint8_t* reply = msg->Reply();
    const size_t returned = reply != nullptr ? std::min(n, msg->ReplySize() / 2) : 0;
    WriteDiffering<int16_t>(rs, "PresetTime", kPresetTimeBindings, returned, [&](size_t i) {
      return std::optional<int16_t>(static_cast<int16_t>(Le16(reply + 2 * i)));
    });
    return false;
  });
  if (end == TransferEnd::kDone) HandOnStepMsg(msg, request);
  return end == TransferEnd::kFilled;
}

// ---- QXV preset levels --------------------------------------------------------------

void CTKZDoc::SendQXVLevels(const std::vector<uint32_t>& racks, InProcRequest* request, int32_t preset) {
  const bool upload = IsUpload(request);
  const bool all = preset == -1;
  for (uint32_t rack : racks) {
    RackMsg* msg = nullptr;
    try {
      const int32_t outputs = BoundOutputs(GetRackOutputCount(static_cast<int32_t>(rack)));
      if (outputs == 0) {
        LogPrintf("Rack %d has no outputs; its QXV preset levels are not moved.\n", static_cast<int>(rack));
        continue;
      }
      const size_t size = static_cast<size_t>(outputs) * (all ? kQxvRow : 1);
      std::vector<uint8_t> buf(size, 0);
      if (!upload) {
        dao::QueryDef q = StepDb().QueryDefs(all ? "TKZqryQXVLevels" : "TKZqryQXVLevelsOnePreset");
        q.SetParameter("MinDimID", MinDimId(rack));
        q.SetParameter("MaxDimID", MaxDimId(rack));
        if (!all) q.SetParameter("ValuePreset", static_cast<uint8_t>(preset));
        dao::Recordset rs = q.OpenRecordset();
        const auto levels = ReadRows<uint8_t>(rs, size, kDimLevelBindings);
        std::copy(levels.begin(), levels.end(), buf.begin());
      }
      msg = NewRackMsg(request);
      msg->Rack = rack;
      msg->count = outputs;
      msg->index = preset;
      msg->data = std::move(buf);
    } catch (const dao::Error& e) {
      LogDiag(request, kLineQxvLevelsStart, e);
      return;
    }
    SendStepMsg(msg, request, &CComm::GetPreset, &CComm::SetPreset, &CTKZDoc::StoreQXVLevels);
  }
}

void CTKZDoc::StoreQXVLevels(RackMsg* msg, InProcRequest* request) {
  StoreUpload(msg, request, kLineQxvLevelsStore, [&] {
    const bool all = msg->index == -1;
    dao::QueryDef q = StepDb().QueryDefs(all ? "TKZqryQXVLevels" : "TKZqryQXVLevelsOnePreset");
    q.SetParameter("MinDimID", MinDimId(msg->Rack));
    q.SetParameter("MaxDimID", MaxDimId(msg->Rack));
    if (!all) q.SetParameter("ValuePreset", static_cast<uint8_t>(msg->index));
    dao::Recordset rs = q.OpenRecordset();
    // Preset 0 is not read from the rack: its stored levels stay.
    WriteDiffering<uint8_t>(rs, "DimLevel", kDimLevelBindings, msg->data.size(), [&](size_t i) {
      if (all && i % kQxvRow == 0) return std::optional<uint8_t>();
      return std::optional<uint8_t>(msg->data[i]);
    });
  });
  HandOnStepMsg(msg, request);
}

// ---- Brevant preset fade times -------------------------------------------------------

void CTKZDoc::SendBrevantFadeTimes(const std::vector<uint32_t>& racks, InProcRequest* request, int32_t preset,
                                   int32_t room) {
  const bool all = preset == -1;
  // Every preset goes in one message per rack (index 1); one preset goes in
  // one message per room, so one preset of every room (room -1) takes a
  // message for each room 1 to 16.
  const int32_t firstRoom = all ? 1 : room == -1 ? 1 : room;
  const int32_t lastRoom = all ? 1 : room == -1 ? kBvtRooms : room;
  for (uint32_t rack : racks) {
    if (FindRackInfo(rack) == nullptr) {
      LogPrintf("Rack %d is not in the rack table; its Brevant preset fade times are not moved.\n",
                static_cast<int>(rack));
      continue;
    }
    for (int32_t r = firstRoom; r <= lastRoom; ++r) {
      RackMsg* msg = NewRackMsg(request);
      msg->Rack = rack;
      msg->completion.Set(nullptr, preset);
      msg->index = r;
      msg->count = all ? kBrevantTimes : 1;
      msg->data.assign(2 * static_cast<size_t>(msg->count), 0);
      if (!SendStepMsg(msg, request, &CComm::GetBrevantPresetTime, &CComm::SetBrevantPresetTime,
                       &CTKZDoc::TransferBrevantFadeTimes))
        return;
    }
  }
}

bool CTKZDoc::TransferBrevantFadeTimes(RackMsg* msg, InProcRequest* request) {
  const bool upload = IsUpload(request);
  const int32_t preset = msg->completion.args[0].Int();
  const bool all = preset == -1;
  const size_t n = std::min(static_cast<size_t>(all ? kBrevantTimes : 1), msg->data.size() / 2);
  const TransferEnd end = RunTransfer(msg, request, kLineBrevantFadeTimes, [&] {
    dao::QueryDef q = StepDb().QueryDefs(all ? "TKZqryBvtFadeTime" : "TKZqryBvtFadeTimeOnePreset");
    q.SetParameter("ValueZoneID", GetRackZone(static_cast<int32_t>(msg->Rack)));
    if (!all) {
      q.SetParameter("ValuePreset", static_cast<uint8_t>(preset));
      q.SetParameter("ValueRoom", static_cast<uint8_t>(msg->index));
    }
    dao::Recordset rs = q.OpenRecordset();
    if (!upload) {
      const auto times = ReadRows<int16_t>(rs, n, kPresetTimeBindings);
      for (size_t i = 0; i < times.size(); ++i) PutLe16(msg->data, 2 * i, static_cast<uint16_t>(times[i]));
      return true;
    }
    WriteDiffering<int16_t>(rs, "PresetTime", kPresetTimeBindings, n, [&](size_t i) {
      return std::optional<int16_t>(static_cast<int16_t>(Le16(msg->data.data() + 2 * i)));
    });
    return false;
  });
  if (end == TransferEnd::kDone) HandOnStepMsg(msg, request);
  return end == TransferEnd::kFilled;
}

// ---- Brevant preset levels ------------------------------------------------------------
// completion.args[0] = the preset being moved, args[1] = the selector (-1 =
// presets 1 to 8); index = the room (-1 = all); count = the rack's outputs.

void CTKZDoc::SendBrevantLevels(const std::vector<uint32_t>& racks, InProcRequest* request, int32_t preset,
                                int32_t room) {
  for (uint32_t rack : racks) {
    int32_t outputs = 0;
    if (FindRackInfo(rack) != nullptr) outputs = BoundOutputs(GetRackOutputCount(static_cast<int32_t>(rack)));
    if (outputs == 0) {
      LogPrintf("Rack %d has no outputs; its Brevant preset levels are not moved.\n", static_cast<int>(rack));
      continue;
    }
    RackMsg* msg = NewRackMsg(request);
    msg->Rack = rack;
    msg->count = outputs;
    msg->index = room;
    msg->completion.Set(nullptr, preset == -1 ? 1 : preset, preset);
    msg->data.assign(static_cast<size_t>(outputs), kBvtNoDimmer);
    msg->docContinuation = [](CTKZDoc& d, RackMsg* m, InProcRequest* r) { d.TransferBrevantLevels(m, r); };
    SendBrevantLevelsMsg(msg, request);
    Adopt(msg, request);
  }
}

// Fills (download) and sends the message for its current preset.  A first
// send's message is the request's unsent one until it is handed over; a
// later one has been counted in and is expected once more only when sent.
void CTKZDoc::SendBrevantLevelsMsg(RackMsg* msg, InProcRequest* request) {
  const bool upload = IsUpload(request);
  const bool first = request->lastMsg == msg;
  const int32_t preset = msg->completion.args[0].Int();
  const int32_t room = msg->index;
  if (!upload) {
    try {
      const bool allRooms = room == -1;
      dao::QueryDef q = StepDb().QueryDefs(allRooms ? "TKZqryBvtLevels" : "TKZqryBvtLevelsOneRoom");
      q.SetParameter("ValueZoneID", GetRackZone(static_cast<int32_t>(msg->Rack)));
      q.SetParameter("ValuePreset", static_cast<uint8_t>(preset));
      if (!allRooms) q.SetParameter("ValueRoom", static_cast<uint8_t>(room));
      dao::Recordset rs = q.OpenRecordset();
      const auto levels = ReadRows<uint8_t>(rs, allRooms ? kBrevantLevels : static_cast<size_t>(kBvtChannels),
                                            kChLevelBindings);
      dao::Recordset prs = OpenRackZoneQuery(StepDb(), "TKZqryBvtPatch", msg->Rack);
      const size_t count = HeldItems(msg, 1);
      std::vector<uint8_t> pairs(2 * count, 0);
      const size_t n = count > 0 ? prs.GetRows(pairs.data(), 2, count, kBvtPairBindings) : 0;
      std::fill(msg->data.begin(), msg->data.end(), kBvtNoDimmer);
      for (size_t d = 0; d < n; ++d) {
        const int r = pairs[2 * d], c = pairs[2 * d + 1];
        if (r < 1 || r > kBvtRooms || c < 1 || c > kBvtChannels) continue;  // unpatched
        size_t at;
        if (allRooms) {
          at = static_cast<size_t>((r - 1) * kBvtChannels + (c - 1));
        } else {
          if (r != room) continue;
          at = static_cast<size_t>(c - 1);
        }
        if (at < levels.size()) msg->data[d] = levels[at];
      }
    } catch (const dao::Error& e) {
      LogDiag(request, kLineBrevantLevels, e);  // a first send's message is freed with it
      if (!first) HandOnStepMsg(msg, request);
      return;
    }
  }
  if (!first) ++request->expected;
  if (upload)
    theComm.GetBrevantPreset(msg);
  else
    theComm.SetBrevantPreset(msg);
}

void CTKZDoc::TransferBrevantLevels(RackMsg* msg, InProcRequest* request) {
  Adopt(msg, request);
  const bool upload = IsUpload(request);
  const int32_t preset = msg->completion.args[0].Int();
  const int32_t selector = msg->completion.args[1].Int();
  const int32_t room = msg->index;
  if (upload && msg->Rcode == RC_OK) {
    try {
      const bool allRooms = room == -1;
      LoadBvtChannelMap(static_cast<int32_t>(msg->Rack));
      dao::QueryDef q = StepDb().QueryDefs(allRooms ? "TKZqryBvtLevels" : "TKZqryBvtLevelsOneRoom");
      q.SetParameter("ValueZoneID", GetRackZone(static_cast<int32_t>(msg->Rack)));
      q.SetParameter("ValuePreset", static_cast<uint8_t>(preset));
      if (!allRooms) q.SetParameter("ValueRoom", static_cast<uint8_t>(room));
      dao::Recordset rs = q.OpenRecordset();
      const uint8_t* reply = msg->Reply();
      const size_t returned = reply != nullptr ? std::min(msg->ReplySize(), static_cast<size_t>(std::max(msg->count, 0))) : 0;
      const size_t rows = allRooms ? kBrevantLevels : static_cast<size_t>(kBvtChannels);
      for (size_t k = 0; k < rows && !rs.IsEOF(); ++k, rs.MoveNext()) {
        const int r = allRooms ? static_cast<int>(k) / kBvtChannels + 1 : room;
        const int c = allRooms ? static_cast<int>(k) % kBvtChannels + 1 : static_cast<int>(k) + 1;
        const uint8_t dimmer = BvtChannelDimmer(r, c);
        if (dimmer == kBvtNoDimmer) {
          if (g_bDocDebug) LogPrintf("\n");
          continue;
        }
        if (g_bDocDebug) LogPrintf("yes\n");
        if (dimmer >= returned) continue;
        uint8_t stored = 0;
        rs.ReadRow(&stored, sizeof stored, kChLevelBindings);
        if (stored == reply[dimmer]) continue;
        rs.Edit();
        rs.SetField("ChLevel", reply[dimmer]);
        rs.Update();
      }
    } catch (const dao::Error& e) {
      LogDiag(request, kLineBrevantLevels, e);
    }
  }
  // All presets: the same message goes again for the next one while this
  // rack answers, whatever the request's other racks do.
  if (msg->Rcode == RC_OK && selector == -1 && preset < kBrevantLastPreset) {
    msg->completion.args[0] = CompletionArg(preset + 1);
    msg->ClearReply();
    SendBrevantLevelsMsg(msg, request);
    return;
  }
  HandOnStepMsg(msg, request);
}

// ---- User curves ---------------------------------------------------------------------------

void CTKZDoc::SendUserCurves(const std::vector<uint32_t>& racks, InProcRequest* request, int32_t curve) {
  const bool upload = IsUpload(request);
  const int32_t first = curve == -1 ? 0 : curve;
  const int32_t last = curve == -1 ? kUserCurves - 1 : curve;
  for (int32_t c = first; c <= last; ++c) {
    for (uint32_t rack : racks) {
      RackMsg* msg = NewRackMsg(request);
      msg->Rack = rack;
      msg->index = c;
      if (upload) msg->data.assign(4 * kCurvePointsMax, 0);
      if (!SendStepMsg(msg, request, &CComm::GetUserCurve, &CComm::SetUserCurve, &CTKZDoc::TransferUserCurve))
        return;
    }
  }
}

bool CTKZDoc::TransferUserCurve(RackMsg* msg, InProcRequest* request) {
  const bool upload = IsUpload(request);
  const TransferEnd end = RunTransfer(msg, request, kLineUserCurve, [&] {
    dao::QueryDef q = StepDb().QueryDefs("TKZqryUserCurve");
    const int32_t zone = RackZoneId(static_cast<int32_t>(msg->Rack));
    const int16_t curve = static_cast<int16_t>(msg->index + 1);
    q.SetParameter("ValueZoneID", zone);
    q.SetParameter("ValueCurve", curve);
    dao::Recordset rs = q.OpenRecordset();
    if (!upload) {
      const auto points = ReadRows<CurvePointRow>(rs, kCurvePointsMax, kCurvePointBindings);
      const size_t n = points.size();
      msg->count = static_cast<int32_t>(n);
      msg->data.assign(4 * n, 0);
      for (size_t i = 0; i < n; ++i) {
        PutLe16(msg->data, 2 * i, static_cast<uint16_t>(points[i].InputLevel));
        PutLe16(msg->data, 2 * (n + i), static_cast<uint16_t>(points[i].OutputLevel));
      }
      return true;
    }
    // The curve becomes the returned points: every stored point goes.
    for (; !rs.IsEOF(); rs.MoveNext()) rs.Delete();
    const size_t n = HeldItems(msg, 4);
    for (size_t i = 0; i < n; ++i) {
      rs.AddNew();
      rs.SetField("ZoneID", zone);
      rs.SetField("UserCurve", curve);
      rs.SetField("InputLevel", static_cast<int16_t>(Le16(msg->data.data() + 2 * i)));
      rs.SetField("OutputLevel", static_cast<int16_t>(Le16(msg->data.data() + 2 * (n + i))));
      rs.Update();
    }
    return false;
  });
  if (end == TransferEnd::kDone) HandOnStepMsg(msg, request);
  return end == TransferEnd::kFilled;
}

// ---- Room links ----------------------------------------------------------------------------

void CTKZDoc::SendRoomLink(const std::vector<uint32_t>& racks, InProcRequest* request) {
  const bool upload = IsUpload(request);
  std::vector<uint32_t> targets;
  if (!upload) {
    targets = racks;
  } else if (!racks.empty()) {
    // One rack answers for the zone: the first that is up, else the last.
    uint32_t pick = racks.back();
    for (uint32_t rack : racks) {
      const RackInfo* info = FindRackInfo(rack);
      if (info != nullptr && (info->flags & RACK_INFO_UP) != 0) {
        pick = rack;
        break;
      }
    }
    targets.push_back(pick);
  }
  for (uint32_t rack : targets) {
    if (FindRackInfo(rack) == nullptr) {
      LogPrintf("Rack %d is not in the rack table; its room links are not moved.\n", static_cast<int>(rack));
      continue;
    }
    RackMsg* msg = NewRackMsg(request);
    msg->Rack = rack;
    msg->data.assign(kRoomLinks, 0);
    if (!SendStepMsg(msg, request, &CComm::GetRoomLinks, &CComm::SetRoomLinks, &CTKZDoc::TransferRoomLink)) return;
  }
}

bool CTKZDoc::TransferRoomLink(RackMsg* msg, InProcRequest* request) {
  const bool upload = IsUpload(request);
  const TransferEnd end = RunTransfer(msg, request, kLineRoomLink, [&] {
    dao::QueryDef q = StepDb().QueryDefs("TKZqryRoomLink");
    q.SetParameter("ValueZoneID", GetRackZone(static_cast<int32_t>(msg->Rack)));
    dao::Recordset rs = q.OpenRecordset();
    const size_t n = std::min(kRoomLinks, msg->data.size());
    if (!upload) {
      const auto links = ReadRows<uint8_t>(rs, n, kRoomLinkBindings);
      std::copy(links.begin(), links.end(), msg->data.begin());
      return true;
    }
    WriteDiffering<uint8_t>(rs, "RoomLink", kRoomLinkBindings, n,
                            [&](size_t i) { return std::optional<uint8_t>(msg->data[i]); });
    return false;
  });
  if (end == TransferEnd::kDone) HandOnStepMsg(msg, request);
  return end == TransferEnd::kFilled;
}

void CTKZDoc::OnRoomLinkRequest(InProcRequest* request) {
  if (request->RequestSubType != 0 && request->RequestSubType != 1) {
    FailRequest("Invalid Request subtype %d", request->RequestSubType);
    return;
  }
  std::vector<uint32_t> racks;
  GetRackList(request->ZoneID, racks);
  SendRoomLink(racks, request);
}

// ---- Relay cycle counts ----------------------------------------------------------------------

void CTKZDoc::StoreRelayCycles(RackMsg* msg, InProcRequest* request) {
  Adopt(msg, request);
  if (msg->Rcode == RC_OK) {
    try {
      const size_t count = HeldItems(msg, 4);
      dao::QueryDef q = StepDb().QueryDefs(count == 1 ? "TKZqryRelayCyclesOneRelay" : "TKZqryRelayCycles");
      if (count == 1)
        q.SetParameter("ValueDimID", MinDimId(msg->Rack) + msg->index + 1);
      else
        q.SetParameter("ValueZoneID", RackZoneId(static_cast<int32_t>(msg->Rack)));
      dao::Recordset rs = q.OpenRecordset();
      // A run of relays starting past the first lines up with its first.
      if (count > 1 && msg->index > 0 && !rs.IsEOF()) rs.Move(msg->index);
      WriteDiffering<int32_t>(rs, "relaycycles", kRelayCycleBindings, count, [&](size_t i) {
        return std::optional<int32_t>(static_cast<int32_t>(Le32(msg->data.data() + 4 * i)));
      });
    } catch (const dao::Error& e) {
      LogDiag(request, kLineRelayCycles, e);
    }
  }
  FreeRackMsg(msg);
  CompleteRequest(request);
}
