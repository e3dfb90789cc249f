// CComm: dimmer setup, rack setup and its single items (module map, room
// links), and user curves.
#include <algorithm>
#include <span>

#include "Comm.h"
#include "CommRecords.h"
#include "CommWire.h"
#include "LogSink.h"
#include "RackCommands.h"
#include "RackMsg.h"
#include "RcCodes.h"

namespace {

// --- Dimmer setup items: where each lives in a dimmer record ------------------

enum class Conv { None, Level, Flag };

struct DimmerItem {
  uint8_t code;
  size_t offset;  // in DimmerRecord
  Conv conv;
};

constexpr DimmerItem kDimmerItems[] = {
    {0, offsetof(DimmerRecord, Response), Conv::None},
    {1, offsetof(DimmerRecord, MinLevel), Conv::Level},
    {2, offsetof(DimmerRecord, MaxVoltage), Conv::None},
    {3, offsetof(DimmerRecord, Curve), Conv::None},
    {4, offsetof(DimmerRecord, NonDimThreshold), Conv::Level},
    {5, offsetof(DimmerRecord, FluoTopset), Conv::None},
    {6, offsetof(DimmerRecord, FluoCutoff), Conv::None},
    {7, offsetof(DimmerRecord, MuxMode), Conv::None},
    {8, offsetof(DimmerRecord, StatusReportingEnable), Conv::Flag},
    {9, offsetof(DimmerRecord, AnalogInEnable), Conv::Flag},
    {10, offsetof(DimmerRecord, AnalogIn), Conv::None},
    {12, offsetof(DimmerRecord, PanicAction), Conv::Flag},
};

// Kind 2 racks take items 0 to 10 and 12, the others 0 to 10.
std::span<const DimmerItem> DimmerItemsFor(int32_t kind) {
  return {kDimmerItems, kind == 2 ? std::size(kDimmerItems) : std::size(kDimmerItems) - 1};
}

// Byte of a record at a field offset.
uint8_t& FieldAt(DimmerRecord& r, size_t offset) { return reinterpret_cast<uint8_t*>(&r)[offset]; }

constexpr int kSetupReplyRoom = 283;  // reply bytes a setup query may ask for

// --- Rack setup items -------------------------------------------------------------

constexpr uint8_t kRackItemsKind2[] = {0, 1, 2, 3, 4, 5, 10};
constexpr uint8_t kRackItems[] = {0, 1, 2, 3, 4, 5, 6, 7, 10};
constexpr uint8_t kItemModuleMap = 8;
constexpr uint8_t kItemRoomLinks = 9;
constexpr size_t kModuleEntries = 48;
constexpr size_t kRoomLinks = 16;

std::span<const uint8_t> RackItemsFor(int32_t kind) {
  if (kind == 2) return kRackItemsKind2;
  return kRackItems;
}

size_t RackItemWidth(uint8_t code) {
  switch (code) {
    case 1: case 6: case 7: return 2;
    case 8: return kModuleEntries;
    case 9: return kRoomLinks;
    default: return 1;
  }
}

constexpr int kMaxHoldTime = 600;
constexpr int kHoldForever = 9999;

}  // namespace

// --- Dimmer setup download (23, then 33, then 54) -----------------------------------
// One item per message in the kind's list order; progress = item position,
// then the Brevant patch.

void CComm::SetDimmerSetup(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_SET_DIMMER_SETUP, sizeof(DimmerRecord))) return;
  const int32_t kind = RackKind(msg->Rack);
  msg->progress = 0;
  msg->rackContinuation = [kind](CComm& c, RackMsg* m) { c.SetDimmerSetupStep(m, kind); };
  SendDimmerSetupItem(msg, kind);
}

void CComm::SendDimmerSetupItem(RackMsg* msg, int32_t kind) {
  const auto items = DimmerItemsFor(kind);
  const size_t n = static_cast<size_t>(msg->count);
  const size_t pos = static_cast<size_t>(msg->progress);
  if (pos < items.size()) {
    const DimmerItem& item = items[pos];
    CmdWriter w(msg, DIM_CMD_SET_DIMMER_SETUP);
    w.u8(0).u8(static_cast<uint32_t>(n - 1)).u16(1).u8(item.code);
    for (size_t d = 0; d < n; ++d) {
      DimmerRecord r = LoadRecord<DimmerRecord>(msg->data, d);
      const uint8_t v = FieldAt(r, item.offset);
      w.u8(item.conv == Conv::Level ? ToLevel(v) : item.conv == Conv::Flag ? FlagToRack(v) : v);
    }
    return Send(msg, w);
  }
  CmdWriter w(msg, DIM_CMD_SET_BREVANT_PATCH);
  w.u8(0).u8(static_cast<uint32_t>(n - 1));
  for (size_t d = 0; d < n; ++d) w.u8(static_cast<uint8_t>(LoadRecord<DimmerRecord>(msg->data, d).BvtRoom - 1));
  for (size_t d = 0; d < n; ++d) w.u8(static_cast<uint8_t>(LoadRecord<DimmerRecord>(msg->data, d).BvtCh - 1));
  Send(msg, w);
}

void CComm::SetDimmerSetupStep(RackMsg* msg, int32_t kind) {
  if (EndOnError(msg)) return;
  ++msg->progress;
  if (static_cast<size_t>(msg->progress) <= DimmerItemsFor(kind).size())
    return SendDimmerSetupItem(msg, kind);
  msg->rackContinuation = nullptr;
  msg->completion.Set("Dimmer configuration download complete.");
  SetManualLevels(msg);
}

// --- Dimmer setup upload (22, then 32, then 53) ---------------------------------------
// 283 / n items per message; progress = position of the next item asked.

void CComm::GetDimmerSetup(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_GET_DIMMER_SETUP, sizeof(DimmerRecord))) return;
  const int32_t kind = RackKind(msg->Rack);
  msg->progress = 0;
  msg->chunkSize = std::max(1, kSetupReplyRoom / msg->count);
  msg->rackContinuation = [kind](CComm& c, RackMsg* m) { c.GetDimmerSetupStep(m, kind); };
  SendDimmerSetupQuery(msg, kind);
}

void CComm::SendDimmerSetupQuery(RackMsg* msg, int32_t kind) {
  const auto items = DimmerItemsFor(kind);
  const size_t n = static_cast<size_t>(msg->count);
  const size_t pos = static_cast<size_t>(msg->progress);
  if (pos < items.size()) {
    const size_t k = std::min(static_cast<size_t>(msg->chunkSize), items.size() - pos);
    CmdWriter w(msg, DIM_CMD_GET_DIMMER_SETUP);
    w.u8(0).u8(static_cast<uint32_t>(n - 1)).u16(static_cast<uint32_t>(k));
    for (size_t j = 0; j < k; ++j) w.u8(items[pos + j].code);
    return Send(msg, w);
  }
  CmdWriter w(msg, DIM_CMD_GET_BREVANT_PATCH);
  w.u8(0).u8(static_cast<uint32_t>(n - 1));
  Send(msg, w);
}

void CComm::GetDimmerSetupStep(RackMsg* msg, int32_t kind) {
  const auto items = DimmerItemsFor(kind);
  const size_t n = static_cast<size_t>(msg->count);
  const size_t pos = static_cast<size_t>(msg->progress);
  if (pos < items.size()) {
    const size_t k = std::min(static_cast<size_t>(msg->chunkSize), items.size() - pos);
    if (!TakeReply(msg, k * n)) return;
    for (size_t d = 0; d < n; ++d) {
      DimmerRecord r = LoadRecord<DimmerRecord>(msg->data, d);
      for (size_t j = 0; j < k; ++j) {
        const DimmerItem& item = items[pos + j];
        const uint8_t v = Rd8(msg, j * n + d);
        FieldAt(r, item.offset) =
            item.conv == Conv::Level ? ToPercent(v) : item.conv == Conv::Flag ? FlagFromRack(v) : v;
        if (item.code == 0) r.DimNumber = static_cast<uint8_t>(d + 1);
      }
      StoreRecord(msg->data, d, r);
    }
    msg->progress += static_cast<int32_t>(k);
    return SendDimmerSetupQuery(msg, kind);
  }
  if (!TakeReply(msg, 2 * n)) return;
  for (size_t d = 0; d < n; ++d) {
    DimmerRecord r = LoadRecord<DimmerRecord>(msg->data, d);
    r.BvtRoom = static_cast<uint8_t>(Rd8(msg, d) + 1);
    r.BvtCh = static_cast<uint8_t>(Rd8(msg, n + d) + 1);
    StoreRecord(msg->data, d, r);
  }
  msg->rackContinuation = nullptr;
  msg->completion.Set("Dimmer upload request complete.");
  GetManualLevels(msg);
}

// --- Rack setup (26; 25 then 27) ----------------------------------------------------------

void CComm::SetRackSetup(RackMsg* msg) {
  if (!CheckData(msg, DIM_CMD_SET_RACK_SETUP, sizeof(RackConfigRow))) return;
  const RackConfigRow row = LoadRecord<RackConfigRow>(msg->data, 0);
  const auto items = RackItemsFor(RackKind(msg->Rack));
  const int rack = static_cast<int>(msg->Rack);

  // The two inputs' table entries; a type not in the table sends 0.
  MuxTypeEntry mux[2];
  const int16_t types[2] = {row.MuxTypeA, row.MuxTypeB};
  for (int i = 0; i < 2; ++i) {
    if (std::find(items.begin(), items.end(), 6) == items.end()) break;
    if (auto slot = FindMuxType(types[i])) {
      mux[i] = muxTypes_.slot(*slot);
    } else {
      LogPrintf("Error: Mux type %d of rack %d is not in the mux type table; sending 0.\n",
                types[i], rack);
      mux[i] = MuxTypeEntry{types[i], 0, 0};
    }
  }

  CmdWriter w(msg, DIM_CMD_SET_RACK_SETUP);
  w.u16(static_cast<uint32_t>(items.size()));
  for (uint8_t code : items) w.u8(code);
  for (uint8_t code : items) {
    switch (code) {
      case 0: w.u8(static_cast<uint16_t>(row.RackLanguage)); break;
      case 1: {
        int hold = row.MuxFailHoldTime;
        if ((hold < 0 || hold > kMaxHoldTime) && hold != kHoldForever) {
          LogPrintf("Error: Attempt to set an invalid Mux hold time %d\n", hold);
          hold = 0;
        }
        w.u16(static_cast<uint32_t>(hold));
        break;
      }
      case 2: w.u8(static_cast<uint16_t>(row.MuxFailPreset)); break;
      case 3: w.u8(static_cast<uint16_t>(row.BrevantPowerupPreset)); break;
      case 4: w.u8(static_cast<uint16_t>(row.KeypadLockEnable)); break;
      case 5: w.u8(FlagToRack(row.FanSpeed)); break;
      case 6: w.u8(mux[0].protocol).u8(mux[1].protocol); break;
      case 7: w.u8(mux[0].speed).u8(mux[1].speed); break;
      case 10: w.u8(static_cast<uint16_t>(row.MuxFailMode)); break;
    }
  }
  msg->rackContinuation = nullptr;
  Send(msg, w);
}

void CComm::GetRackSetup(RackMsg* msg) {
  if (!CheckData(msg, DIM_CMD_GET_RACK_SETUP, sizeof(RackConfigRow))) return;
  const int32_t kind = RackKind(msg->Rack);
  const auto items = RackItemsFor(kind);
  CmdWriter w(msg, DIM_CMD_GET_RACK_SETUP);
  w.u16(static_cast<uint32_t>(items.size()));
  for (uint8_t code : items) w.u8(code);
  msg->rackContinuation = [kind](CComm& c, RackMsg* m) { c.OnGetRackSetup(m, kind); };
  Send(msg, w);
}

// Items 6 and 7 give each input's protocol and speed; the input's mux type
// becomes the table's key for the pair. A pair the table does not know
// leaves the stored mux type as it was.
void CComm::OnGetRackSetup(RackMsg* msg, int32_t kind) {
  const auto items = RackItemsFor(kind);
  size_t need = 0;
  for (uint8_t code : items) need += RackItemWidth(code);
  if (!TakeReply(msg, need)) return;

  RackConfigRow row = LoadRecord<RackConfigRow>(msg->data, 0);
  uint8_t protocol[2] = {};
  uint8_t speed[2] = {};
  bool haveProtocol = false, haveSpeed = false;
  size_t at = 0;
  for (uint8_t code : items) {
    switch (code) {
      case 0: row.RackLanguage = Rd8(msg, at); break;
      case 1: row.MuxFailHoldTime = static_cast<int16_t>(Rd16(msg, at)); break;
      case 2: row.MuxFailPreset = Rd8(msg, at); break;
      case 3: row.BrevantPowerupPreset = Rd8(msg, at); break;
      case 4: row.KeypadLockEnable = Rd8(msg, at); break;
      case 5: row.FanSpeed = static_cast<int16_t>(Rd8(msg, at) != 0 ? -1 : 0); break;
      case 6: protocol[0] = Rd8(msg, at), protocol[1] = Rd8(msg, at + 1), haveProtocol = true; break;
      case 7: speed[0] = Rd8(msg, at), speed[1] = Rd8(msg, at + 1), haveSpeed = true; break;
      case 10: row.MuxFailMode = Rd8(msg, at); break;
    }
    at += RackItemWidth(code);
  }
  if (haveProtocol && haveSpeed) {
    int16_t* types[2] = {&row.MuxTypeA, &row.MuxTypeB};
    for (int i = 0; i < 2; ++i) {
      if (auto slot = FindMuxTypeByCodes(speed[i], protocol[i])) {
        *types[i] = muxTypes_.slot(*slot).MuxType;
      } else {
        LogPrintf("Error: Rack %d reports mux protocol %d speed %d, not in the mux type table.\n",
                  static_cast<int>(msg->Rack), protocol[i], speed[i]);
      }
    }
  }
  StoreRecord(msg->data, 0, row);

  CmdWriter w(msg, DIM_CMD_GET_RACK_STATUS);
  w.u16(4).u8(0).u8(5).u8(6).u8(7);
  msg->rackContinuation = &CComm::OnGetRackStatusCounts;
  Send(msg, w);
}

void CComm::OnGetRackStatusCounts(RackMsg* msg) {
  if (!TakeReply(msg, 8)) return;
  RackConfigRow row = LoadRecord<RackConfigRow>(msg->data, 0);
  row.RackType = static_cast<int16_t>(Rd16(msg, 0));
  row.DigitalDimsFitted = static_cast<int16_t>(Rd16(msg, 2));
  row.AnalogInputs = Rd16(msg, 4);
  row.AnalogOutputs = Rd16(msg, 6);
  StoreRecord(msg->data, 0, row);
  Finish(msg, "Rack upload request succeeded.");
}

// --- Module map and room links (25, 26 items 8 and 9) --------------------------------

void CComm::SetModuleMap(RackMsg* msg) {
  if (!CheckData(msg, DIM_CMD_SET_RACK_SETUP, 2 * kModuleEntries)) return;
  CmdWriter w(msg, DIM_CMD_SET_RACK_SETUP);
  w.u16(1).u8(kItemModuleMap);
  for (size_t i = 0; i < kModuleEntries; ++i) w.u8(msg->data[2 * i]);  // low byte of each i16
  msg->rackContinuation = nullptr;
  Send(msg, w);
}

void CComm::GetModuleMap(RackMsg* msg) {
  CmdWriter w(msg, DIM_CMD_GET_RACK_SETUP);
  w.u16(1).u8(kItemModuleMap);
  msg->rackContinuation = &CComm::OnGetModuleMap;
  Send(msg, w);
}

// The 48 bytes of the reply become 48 u16 at the start of the response area.
void CComm::OnGetModuleMap(RackMsg* msg) {
  if (!TakeReply(msg, kModuleEntries)) return;
  uint8_t entries[kModuleEntries];
  std::copy_n(msg->response + 2, kModuleEntries, entries);
  for (size_t i = 0; i < kModuleEntries; ++i) {
    msg->response[2 * i] = entries[i];
    msg->response[2 * i + 1] = 0;
  }
  msg->responseLength = static_cast<uint16_t>(2 * kModuleEntries);
  msg->SetReply(0);
  Finish(msg);
}

void CComm::SetRoomLinks(RackMsg* msg) {
  if (!CheckData(msg, DIM_CMD_SET_RACK_SETUP, kRoomLinks)) return;
  CmdWriter w(msg, DIM_CMD_SET_RACK_SETUP);
  w.u16(1).u8(kItemRoomLinks);
  for (size_t i = 0; i < kRoomLinks; ++i) w.u8(msg->data[i]);
  msg->rackContinuation = nullptr;
  Send(msg, w);
}

void CComm::GetRoomLinks(RackMsg* msg) {
  if (!CheckData(msg, DIM_CMD_GET_RACK_SETUP, kRoomLinks)) return;
  CmdWriter w(msg, DIM_CMD_GET_RACK_SETUP);
  w.u16(1).u8(kItemRoomLinks);
  msg->rackContinuation = &CComm::OnGetRoomLinks;
  Send(msg, w);
}

void CComm::OnGetRoomLinks(RackMsg* msg) {
  if (!TakeReply(msg, kRoomLinks)) return;
  std::copy_n(msg->response + 2, kRoomLinks, msg->data.begin());
  Finish(msg);
}

// --- User curves (30, 31): index = curve, count = points ---------------------------

void CComm::SetUserCurve(RackMsg* msg) {
  if (msg->count > kMaxCurvePoints) {
    msg->Rcode = RC_TOO_MANY_POINTS;
    msg->rackContinuation = nullptr;
    msg->completion.Set("Too many points in user curve %d", msg->index + 1);
    DocRackMsgDone(msg);
    return;
  }
  if (msg->index < 0 || msg->index > 255) return Refuse(msg, DIM_CMD_SET_USER_CURVE, "curve out of range");
  if (msg->count < 0) return Refuse(msg, DIM_CMD_SET_USER_CURVE, "point count out of range");
  const size_t bytes = 4 * static_cast<size_t>(msg->count);
  if (!CheckData(msg, DIM_CMD_SET_USER_CURVE, bytes)) return;
  CmdWriter w(msg, DIM_CMD_SET_USER_CURVE);
  w.u8(static_cast<uint32_t>(msg->index)).u8(static_cast<uint32_t>(msg->count));
  for (size_t i = 0; i < bytes; ++i) w.u8(msg->data[i]);
  msg->rackContinuation = nullptr;
  Send(msg, w);
}

void CComm::GetUserCurve(RackMsg* msg) {
  if (msg->index < 0 || msg->index > 255) return Refuse(msg, DIM_CMD_GET_USER_CURVE, "curve out of range");
  CmdWriter w(msg, DIM_CMD_GET_USER_CURVE);
  w.u8(static_cast<uint32_t>(msg->index));
  msg->rackContinuation = &CComm::OnGetUserCurve;
  Send(msg, w);
}

// Reply: a byte not read, the point count, 4 bytes per point. Points that
// the data buffer cannot hold make the reply invalid.
void CComm::OnGetUserCurve(RackMsg* msg) {
  if (!TakeReply(msg, 2)) return;
  const size_t points = Rd8(msg, 1);
  if (4 * points > msg->data.size()) {
    LogPrintf("Error: User curve of %d points from rack %d does not fit its buffer.\n",
              static_cast<int>(points), static_cast<int>(msg->Rack));
    msg->Rcode = RC_INVALID_RESPONSE;
    DocRackMsgDone(msg);
    return;
  }
  if (!TakeReply(msg, 2 + 4 * points)) return;
  std::copy_n(msg->response + 4, 4 * points, msg->data.begin());
  msg->count = static_cast<int32_t>(points);
  Finish(msg, "Upload user curve request complete.");
}
