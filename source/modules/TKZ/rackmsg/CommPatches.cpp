// CComm: per-dimmer tables (circuit, Brevant and analog patches) and the mux
// patch.
#include <algorithm>

#include "Comm.h"
#include "CommRecords.h"
#include "CommWire.h"
#include "RackCommands.h"
#include "RackMsg.h"

namespace {

constexpr uint8_t kItemAnalogInEnable = 9;
constexpr uint8_t kItemAnalogIn = 10;

uint32_t LastDimmer(const RackMsg* msg) { return static_cast<uint32_t>(msg->count - 1); }

}  // namespace

// --- Circuit patch (18, 19): one i32 CircuitID per dimmer, u16 on the wire -------

void CComm::GetCircuitPatch(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_GET_CIRCUIT_PATCH, 4)) return;
  CmdWriter w(msg, DIM_CMD_GET_CIRCUIT_PATCH);
  w.u8(0).u8(LastDimmer(msg));
  msg->rackContinuation = &CComm::OnGetCircuitPatch;
  Send(msg, w);
}

void CComm::OnGetCircuitPatch(RackMsg* msg) {
  const size_t n = static_cast<size_t>(msg->count);
  if (!TakeReply(msg, 2 * n)) return;
  for (size_t d = 0; d < n; ++d) PutBuf32(msg->data, 4 * d, Rd16(msg, 2 * d));
  Finish(msg);
}

void CComm::SetCircuitPatch(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_SET_CIRCUIT_PATCH, 4)) return;
  CmdWriter w(msg, DIM_CMD_SET_CIRCUIT_PATCH);
  w.u8(0).u8(LastDimmer(msg));
  for (size_t d = 0; d < static_cast<size_t>(msg->count); ++d) w.u16(Buf32(msg->data, 4 * d));
  msg->rackContinuation = nullptr;
  Send(msg, w);
}

// --- Brevant patch (32, 33): pairs {room, channel}, 1-based ---------------------

void CComm::GetBrevantPatch(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_GET_BREVANT_PATCH, 2)) return;
  CmdWriter w(msg, DIM_CMD_GET_BREVANT_PATCH);
  w.u8(0).u8(LastDimmer(msg));
  msg->rackContinuation = &CComm::OnGetBrevantPatch;
  Send(msg, w);
}

void CComm::OnGetBrevantPatch(RackMsg* msg) {
  const size_t n = static_cast<size_t>(msg->count);
  if (!TakeReply(msg, 2 * n)) return;
  for (size_t d = 0; d < n; ++d) {
    msg->data[2 * d] = static_cast<uint8_t>(Rd8(msg, d) + 1);
    msg->data[2 * d + 1] = static_cast<uint8_t>(Rd8(msg, n + d) + 1);
  }
  Finish(msg);
}

void CComm::SetBrevantPatch(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_SET_BREVANT_PATCH, 2)) return;
  const size_t n = static_cast<size_t>(msg->count);
  CmdWriter w(msg, DIM_CMD_SET_BREVANT_PATCH);
  w.u8(0).u8(LastDimmer(msg));
  for (size_t d = 0; d < n; ++d) w.u8(static_cast<uint8_t>(msg->data[2 * d] - 1));
  for (size_t d = 0; d < n; ++d) w.u8(static_cast<uint8_t>(msg->data[2 * d + 1] - 1));
  msg->rackContinuation = nullptr;
  Send(msg, w);
}

// --- Analog patch: dimmer setup items 9 (enable) and 10 (input) ------------------
// Pairs {AnalogIn, AnalogInEnable}.

void CComm::GetAnalogPatch(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_GET_DIMMER_SETUP, 2)) return;
  CmdWriter w(msg, DIM_CMD_GET_DIMMER_SETUP);
  w.u8(0).u8(LastDimmer(msg)).u16(2).u8(kItemAnalogInEnable).u8(kItemAnalogIn);
  msg->rackContinuation = &CComm::OnGetAnalogPatch;
  Send(msg, w);
}

void CComm::OnGetAnalogPatch(RackMsg* msg) {
  const size_t n = static_cast<size_t>(msg->count);
  if (!TakeReply(msg, 2 * n)) return;
  for (size_t d = 0; d < n; ++d) {
    msg->data[2 * d] = Rd8(msg, n + d);
    msg->data[2 * d + 1] = FlagFromRack(Rd8(msg, d));
  }
  Finish(msg, "Analog patch retrieved from rack %d", static_cast<int32_t>(msg->Rack));
}

void CComm::SetAnalogPatch(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_SET_DIMMER_SETUP, 2)) return;
  const size_t n = static_cast<size_t>(msg->count);
  CmdWriter w(msg, DIM_CMD_SET_DIMMER_SETUP);
  w.u8(0).u8(LastDimmer(msg)).u16(2).u8(kItemAnalogInEnable).u8(kItemAnalogIn);
  for (size_t d = 0; d < n; ++d) w.u8(FlagToRack(msg->data[2 * d + 1]));
  for (size_t d = 0; d < n; ++d) w.u8(msg->data[2 * d]);
  msg->rackContinuation = nullptr;
  Send(msg, w);
}

// --- Mux patch (20, 21): chunks of 69 entries, inputs A (0) to B (1) --------------
// progress = first entry of the chunk in flight. A set carries the chunk's A
// channels then its B channels: 4 x entries + 6 bytes.

void CComm::GetMuxPatch(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_GET_MUX_PATCH, sizeof(MuxRecord))) return;
  msg->progress = 0;
  msg->chunkSize = kMuxPatchChunk;
  msg->rackContinuation = [](CComm& c, RackMsg* m) { c.MuxPatchStep(m, true); };
  SendMuxPatch(msg, true);
}

void CComm::SetMuxPatch(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_SET_MUX_PATCH, sizeof(MuxRecord))) return;
  msg->progress = 0;
  msg->chunkSize = kMuxPatchChunk;
  msg->rackContinuation = [](CComm& c, RackMsg* m) { c.MuxPatchStep(m, false); };
  SendMuxPatch(msg, false);
}

void CComm::SendMuxPatch(RackMsg* msg, bool get) {
  const int first = msg->progress;
  const int last = std::min(first + msg->chunkSize - 1, msg->count - 1);
  CmdWriter w(msg, get ? DIM_CMD_GET_MUX_PATCH : DIM_CMD_SET_MUX_PATCH);
  w.u8(0).u8(1).u8(static_cast<uint32_t>(first)).u8(static_cast<uint32_t>(last));
  if (!get) {
    for (int i = first; i <= last; ++i)
      w.u16(static_cast<uint16_t>(LoadRecord<MuxRecord>(msg->data, static_cast<size_t>(i)).MuxACh));
    for (int i = first; i <= last; ++i)
      w.u16(static_cast<uint16_t>(LoadRecord<MuxRecord>(msg->data, static_cast<size_t>(i)).MuxBCh));
  }
  Send(msg, w);
}

void CComm::MuxPatchStep(RackMsg* msg, bool get) {
  const int first = msg->progress;
  const int entries = std::min(msg->chunkSize, msg->count - first);
  if (get) {
    if (!TakeReply(msg, 4 * static_cast<size_t>(entries))) return;
    for (int i = 0; i < entries; ++i) {
      const size_t slot = static_cast<size_t>(first + i);
      MuxRecord r = LoadRecord<MuxRecord>(msg->data, slot);
      r.DimNumber = static_cast<uint8_t>(slot + 1);
      r.MuxACh = static_cast<int16_t>(Rd16(msg, 2 * static_cast<size_t>(i)));
      r.MuxBCh = static_cast<int16_t>(Rd16(msg, 2 * static_cast<size_t>(entries + i)));
      StoreRecord(msg->data, slot, r);
    }
  } else if (EndOnError(msg)) {
    return;
  }
  msg->progress = first + entries;
  if (msg->progress < msg->count) return SendMuxPatch(msg, get);
  Finish(msg, get ? "Mux patch upload request complete." : "Mux patch download complete.");
}
