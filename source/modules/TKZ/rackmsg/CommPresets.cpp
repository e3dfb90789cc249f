// CComm: preset commands, QXV preset times and levels, Brevant preset levels
// and times.
#include <algorithm>

#include "Comm.h"
#include "CommWire.h"
#include "RackCommands.h"
#include "RackMsg.h"

namespace {

constexpr int kQxvLastPreset = 99;
constexpr size_t kQxvRow = 100;  // bytes per dimmer row of all-preset levels
constexpr int kRooms = 16;
constexpr int kBrevantPresets = 10;
constexpr int kBrevantTimes = kRooms * kBrevantPresets;
constexpr int kBrevantTimesGetChunk = 140;
constexpr int kBrevantTimesSetChunk = 130;

}  // namespace

// --- Preset commands -------------------------------------------------------------

void CComm::PresetOn(RackMsg* msg, int32_t preset) { PresetCommand(msg, DIM_CMD_PRESET_ON, preset); }

void CComm::RecordPreset(RackMsg* msg, int32_t preset) {
  PresetCommand(msg, DIM_CMD_RECORD_PRESET, preset);
}

void CComm::BrevantPresetOn(RackMsg* msg, int32_t preset, int32_t room) {
  BrevantPresetCommand(msg, DIM_CMD_BREVANT_PRESET_ON, preset, room);
}

void CComm::RecordBrevantPreset(RackMsg* msg, int32_t preset, int32_t room) {
  BrevantPresetCommand(msg, DIM_CMD_RECORD_BREVANT_PRESET, preset, room);
}

void CComm::PresetCommand(RackMsg* msg, uint8_t command, int32_t preset) {
  CmdWriter w(msg, command);
  if (preset < 0 || preset > 255) return Refuse(msg, command, "preset out of range");
  w.u8(static_cast<uint32_t>(preset));
  msg->completion.Set(nullptr, preset, -1, command);
  msg->rackContinuation = &CComm::OnPresetReply;
  Send(msg, w);
}

void CComm::BrevantPresetCommand(RackMsg* msg, uint8_t command, int32_t preset, int32_t room) {
  CmdWriter w(msg, command);
  if (preset < 0 || preset > 255) return Refuse(msg, command, "preset out of range");
  if (room != -1 && (room < 1 || room > kRooms)) return Refuse(msg, command, "room out of range");
  const uint32_t first = room == -1 ? 0 : static_cast<uint32_t>(room - 1);
  const uint32_t last = room == -1 ? kRooms - 1 : first;
  w.u8(first).u8(last).u8(static_cast<uint32_t>(preset));
  msg->completion.Set(nullptr, preset, room, command);
  msg->rackContinuation = &CComm::OnPresetReply;
  Send(msg, w);
}

void CComm::OnPresetReply(RackMsg* msg) {
  if (EndOnError(msg)) return;
  const int32_t preset = msg->completion.args[0].Int();
  const int32_t room = msg->completion.args[1].Int();
  switch (msg->completion.args[2].Int()) {
    case DIM_CMD_PRESET_ON: return Finish(msg, "QXV preset %d selected", preset);
    case DIM_CMD_RECORD_PRESET: return Finish(msg, "QXV preset %d recorded", preset);
    case DIM_CMD_BREVANT_PRESET_ON:
      if (room == -1) return Finish(msg, "Brevant preset %d selected in all rooms", preset);
      return Finish(msg, "Brevant preset %d selected in room %d", preset, room);
    case DIM_CMD_RECORD_BREVANT_PRESET:
      if (room == -1) return Finish(msg, "Brevant preset %d recorded in all rooms", preset);
      return Finish(msg, "Brevant preset %d recorded in room %d", preset, room);
    default: return Finish(msg);
  }
}

// --- QXV preset times (4, 5) -------------------------------------------------------

void CComm::GetPresetTime(RackMsg* msg) {
  CmdWriter w(msg, DIM_CMD_GET_PRESET_TIME);
  if (msg->index < -1 || msg->index > kQxvLastPreset)
    return Refuse(msg, DIM_CMD_GET_PRESET_TIME, "preset out of range");
  const int first = msg->index == -1 ? 0 : msg->index;
  const int last = msg->index == -1 ? kQxvLastPreset : msg->index;
  w.u8(static_cast<uint32_t>(first)).u8(static_cast<uint32_t>(last));
  const size_t need = 2u * static_cast<size_t>(last - first + 1);
  msg->rackContinuation = [need](CComm& c, RackMsg* m) { c.OnPlainReply(m, need); };
  Send(msg, w);
}

void CComm::SetPresetTime(RackMsg* msg) {
  CmdWriter w(msg, DIM_CMD_SET_PRESET_TIME);
  if (msg->index < -1 || msg->index > kQxvLastPreset)
    return Refuse(msg, DIM_CMD_SET_PRESET_TIME, "preset out of range");
  const int first = msg->index == -1 ? 0 : msg->index;
  const int last = msg->index == -1 ? kQxvLastPreset : msg->index;
  const size_t n = static_cast<size_t>(last - first + 1);
  if (!CheckData(msg, DIM_CMD_SET_PRESET_TIME, 2 * n)) return;
  w.u8(static_cast<uint32_t>(first)).u8(static_cast<uint32_t>(last));
  for (size_t i = 0; i < n; ++i) w.u16(Buf16(msg->data, 2 * i));
  msg->rackContinuation = nullptr;
  Send(msg, w);
}

void CComm::OnPlainReply(RackMsg* msg, size_t need) {
  if (!TakeReply(msg, need)) return;
  msg->SetReply(2);
  Finish(msg);
}

// --- QXV preset levels (6, 7) ------------------------------------------------------
// Index -1: presets 1 to 99, one message each, rows of 100 percents per
// dimmer; else the one preset, one percent per dimmer. progress = preset.

void CComm::GetPreset(RackMsg* msg) {
  const bool all = msg->index == -1;
  if (!all && (msg->index < 0 || msg->index > kQxvLastPreset))
    return Refuse(msg, DIM_CMD_GET_PRESET, "preset out of range");
  if (!CheckCount(msg, DIM_CMD_GET_PRESET, all ? kQxvRow : 1)) return;
  if (all) {
    for (size_t d = 0; d < static_cast<size_t>(msg->count); ++d) {
      msg->data[d * kQxvRow] = 0;
      msg->data[d * kQxvRow + kQxvLastPreset] = 255;
    }
  }
  msg->progress = all ? 1 : msg->index;
  msg->rackContinuation = [](CComm& c, RackMsg* m) { c.PresetLevelsStep(m, true); };
  SendPresetLevels(msg, true);
}

void CComm::SetPreset(RackMsg* msg) {
  const bool all = msg->index == -1;
  if (!all && (msg->index < 0 || msg->index > kQxvLastPreset))
    return Refuse(msg, DIM_CMD_SET_PRESET, "preset out of range");
  if (!CheckCount(msg, DIM_CMD_SET_PRESET, all ? kQxvRow : 1)) return;
  msg->progress = all ? 1 : msg->index;
  msg->rackContinuation = [](CComm& c, RackMsg* m) { c.PresetLevelsStep(m, false); };
  SendPresetLevels(msg, false);
}

void CComm::SendPresetLevels(RackMsg* msg, bool get) {
  const bool all = msg->index == -1;
  const size_t n = static_cast<size_t>(msg->count);
  CmdWriter w(msg, get ? DIM_CMD_GET_PRESET : DIM_CMD_SET_PRESET);
  w.u8(static_cast<uint32_t>(msg->progress)).u8(0).u8(static_cast<uint32_t>(n - 1));
  if (!get) {
    for (size_t d = 0; d < n; ++d)
      w.u8(ToLevel(all ? msg->data[d * kQxvRow + static_cast<size_t>(msg->progress)] : msg->data[d]));
  }
  Send(msg, w);
}

void CComm::PresetLevelsStep(RackMsg* msg, bool get) {
  const bool all = msg->index == -1;
  const size_t n = static_cast<size_t>(msg->count);
  if (get) {
    if (!TakeReply(msg, n)) return;
    for (size_t d = 0; d < n; ++d) {
      const uint8_t pct = ToPercent(Rd8(msg, d));
      msg->data[all ? d * kQxvRow + static_cast<size_t>(msg->progress) : d] = pct;
    }
  } else if (EndOnError(msg)) {
    return;
  }
  ++msg->progress;
  if (all && msg->progress <= kQxvLastPreset) return SendPresetLevels(msg, get);
  Finish(msg);
}

// --- Brevant preset levels (36, 37) --------------------------------------------------
// The preset is the first completion argument, count the dimmers.

void CComm::GetBrevantPreset(RackMsg* msg) {
  const int32_t preset = msg->completion.args[0].Int();
  if (preset < 0 || preset > 255) return Refuse(msg, DIM_CMD_GET_BREVANT_PRESET, "preset out of range");
  if (!CheckCount(msg, DIM_CMD_GET_BREVANT_PRESET, 0)) return;
  CmdWriter w(msg, DIM_CMD_GET_BREVANT_PRESET);
  w.u8(static_cast<uint32_t>(preset)).u8(0).u8(static_cast<uint32_t>(msg->count - 1));
  msg->rackContinuation = &CComm::OnGetBrevantPreset;
  Send(msg, w);
}

void CComm::OnGetBrevantPreset(RackMsg* msg) {
  const size_t n = static_cast<size_t>(msg->count);
  if (!TakeReply(msg, n)) return;
  for (size_t d = 0; d < n; ++d) msg->response[2 + d] = ToPercent(msg->response[2 + d]);
  msg->SetReply(2);
  Finish(msg);
}

// 255 in a dimmer's percent keeps the rack's level: the rack's levels are
// read first (36) and those dimmers are sent back exactly as the rack had
// them; their percent in the data buffer becomes the rack's.
void CComm::SetBrevantPreset(RackMsg* msg) {
  const int32_t preset = msg->completion.args[0].Int();
  if (preset < 0 || preset > 255) return Refuse(msg, DIM_CMD_SET_BREVANT_PRESET, "preset out of range");
  if (!CheckCount(msg, DIM_CMD_SET_BREVANT_PRESET, 1)) return;
  msg->extra.clear();
  const auto begin = msg->data.begin();
  if (std::find(begin, begin + msg->count, uint8_t{255}) == begin + msg->count)
    return SendBrevantPreset(msg);
  CmdWriter w(msg, DIM_CMD_GET_BREVANT_PRESET);
  w.u8(static_cast<uint32_t>(preset)).u8(0).u8(static_cast<uint32_t>(msg->count - 1));
  msg->rackContinuation = &CComm::OnBrevantPresetKeep;
  Send(msg, w);
}

void CComm::OnBrevantPresetKeep(RackMsg* msg) {
  const size_t n = static_cast<size_t>(msg->count);
  if (!TakeReply(msg, n)) return;
  // extra: a keep mark per dimmer, then the rack's level per dimmer.
  msg->extra.assign(2 * n, 0);
  for (size_t d = 0; d < n; ++d) {
    if (msg->data[d] != 255) continue;
    msg->extra[d] = 1;
    msg->extra[n + d] = Rd8(msg, d);
    msg->data[d] = ToPercent(Rd8(msg, d));
  }
  SendBrevantPreset(msg);
}

void CComm::SendBrevantPreset(RackMsg* msg) {
  const size_t n = static_cast<size_t>(msg->count);
  const bool keep = msg->extra.size() == 2 * n;
  CmdWriter w(msg, DIM_CMD_SET_BREVANT_PRESET);
  w.u8(static_cast<uint32_t>(msg->completion.args[0].Int())).u8(0).u8(static_cast<uint32_t>(n - 1));
  for (size_t d = 0; d < n; ++d)
    w.u8(keep && msg->extra[d] != 0 ? msg->extra[n + d] : ToLevel(msg->data[d]));
  msg->rackContinuation = nullptr;
  Send(msg, w);
}

// --- Brevant preset times (38, 39) ----------------------------------------------------
// All (first completion argument -1): 16 rooms x 10 presets, rooms from
// progress / 10 on, as many rooms as the chunk holds. One room (index, 1-based):
// presets arg0 .. arg0 + count - 1. progress counts values.

namespace {

struct TimesBlock {
  int firstRoom, lastRoom, firstPreset, lastPreset, values;
};

TimesBlock BlockAt(const RackMsg* msg) {
  const int sel = msg->completion.args[0].Int();
  if (sel != -1) {
    const int room = msg->index - 1;
    return {room, room, sel, sel + msg->count - 1, msg->count};
  }
  const int first = msg->progress / kBrevantPresets;
  const int last = std::min(first + msg->chunkSize / kBrevantPresets - 1, kRooms - 1);
  return {first, last, 0, kBrevantPresets - 1, (last - first + 1) * kBrevantPresets};
}

int TotalTimes(const RackMsg* msg) {
  return msg->completion.args[0].Int() == -1 ? kBrevantTimes : msg->count;
}

}  // namespace

void CComm::GetBrevantPresetTime(RackMsg* msg) { StartBrevantTimes(msg, true); }

void CComm::SetBrevantPresetTime(RackMsg* msg) { StartBrevantTimes(msg, false); }

void CComm::StartBrevantTimes(RackMsg* msg, bool get) {
  const uint8_t cmd = get ? DIM_CMD_GET_BREVANT_PRESET_TIME : DIM_CMD_SET_BREVANT_PRESET_TIME;
  const int sel = msg->completion.args[0].Int();
  if (sel == -1) {
    if (!CheckData(msg, cmd, 2 * kBrevantTimes)) return;
    msg->chunkSize = get ? kBrevantTimesGetChunk : kBrevantTimesSetChunk;
  } else {
    if (msg->index < 1 || msg->index > kRooms) return Refuse(msg, cmd, "room out of range");
    if (sel < 0 || msg->count < 1 || sel + msg->count > kBrevantPresets)
      return Refuse(msg, cmd, "presets out of range");
    if (!CheckData(msg, cmd, 2 * static_cast<size_t>(msg->count))) return;
    msg->chunkSize = msg->count;
  }
  msg->progress = 0;
  if (get)
    msg->rackContinuation = [](CComm& c, RackMsg* m) { c.BrevantTimesStep(m, true); };
  else
    msg->rackContinuation = [](CComm& c, RackMsg* m) { c.BrevantTimesStep(m, false); };
  SendBrevantTimes(msg, get);
}

void CComm::SendBrevantTimes(RackMsg* msg, bool get) {
  const TimesBlock b = BlockAt(msg);
  CmdWriter w(msg, get ? DIM_CMD_GET_BREVANT_PRESET_TIME : DIM_CMD_SET_BREVANT_PRESET_TIME);
  w.u8(static_cast<uint32_t>(b.firstRoom)).u8(static_cast<uint32_t>(b.lastRoom));
  w.u8(static_cast<uint32_t>(b.firstPreset)).u8(static_cast<uint32_t>(b.lastPreset));
  if (!get) {
    for (int i = 0; i < b.values; ++i)
      w.u16(Buf16(msg->data, 2 * static_cast<size_t>(msg->progress + i)));
  }
  Send(msg, w);
}

void CComm::BrevantTimesStep(RackMsg* msg, bool get) {
  const TimesBlock b = BlockAt(msg);
  if (get) {
    if (!TakeReply(msg, 2 * static_cast<size_t>(b.values))) return;
    for (int i = 0; i < b.values; ++i)
      PutBuf16(msg->data, 2 * static_cast<size_t>(msg->progress + i), Rd16(msg, 2 * static_cast<size_t>(i)));
  } else if (EndOnError(msg)) {
    return;
  }
  msg->progress += b.values;
  if (msg->progress < TotalTimes(msg)) return SendBrevantTimes(msg, get);
  Finish(msg);
}
