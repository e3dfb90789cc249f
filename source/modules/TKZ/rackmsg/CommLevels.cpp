// CComm: dimmer fault configuration, relay cycle counts, manual levels and
// learn loads.
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

constexpr uint16_t kFaultItems[] = {0, 1};  // cable resistance, load tolerance
constexpr uint16_t kItemRelayCycles = 2;
constexpr int kSetupReplyRoom = 283;
constexpr int kMaxRelays = 256;  // first and last are one byte each

// Kind 1 racks take item 0 only.
std::span<const uint16_t> FaultItemsFor(int32_t kind) {
  return {kFaultItems, kind == 1 ? size_t{1} : std::size(kFaultItems)};
}

constexpr int kLearnAllDelay = 600, kLearnAllDelayKind2 = 150;
constexpr int kLearnOneDelay = 150, kLearnOneDelayKind2 = 35;

}  // namespace

// --- Dimmer fault configuration download (52): one item per message -----------

void CComm::SetDimFaultConfig(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_SET_DIM_FAULT_CONFIG, sizeof(DimmerRecord))) return;
  const int32_t kind = RackKind(msg->Rack);
  msg->progress = 0;
  msg->rackContinuation = [kind](CComm& c, RackMsg* m) { c.SetDimFaultStep(m, kind); };
  SendDimFaultItem(msg, kind);
}

void CComm::SendDimFaultItem(RackMsg* msg, int32_t kind) {
  const uint16_t code = FaultItemsFor(kind)[static_cast<size_t>(msg->progress)];
  const size_t n = static_cast<size_t>(msg->count);
  CmdWriter w(msg, DIM_CMD_SET_DIM_FAULT_CONFIG);
  w.u8(0).u8(static_cast<uint32_t>(n - 1)).u16(1).u16(code);
  for (size_t d = 0; d < n; ++d) {
    const DimmerRecord r = LoadRecord<DimmerRecord>(msg->data, d);
    w.u16(code == 0 ? static_cast<uint32_t>(r.CableResistance) & 0xFFFF : r.LoadPercentTol);
  }
  Send(msg, w);
}

void CComm::SetDimFaultStep(RackMsg* msg, int32_t kind) {
  if (EndOnError(msg)) return;
  ++msg->progress;
  if (static_cast<size_t>(msg->progress) < FaultItemsFor(kind).size()) return SendDimFaultItem(msg, kind);
  Finish(msg, "Dimmer fault configuration download complete.");
}

// --- Dimmer fault configuration upload (51): 283 / n items per message ----------

void CComm::GetDimFaultConfig(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_GET_DIM_FAULT_CONFIG, sizeof(DimmerRecord))) return;
  const int32_t kind = RackKind(msg->Rack);
  msg->progress = 0;
  msg->chunkSize = std::max(1, kSetupReplyRoom / msg->count);
  msg->rackContinuation = [kind](CComm& c, RackMsg* m) { c.GetDimFaultStep(m, kind); };
  SendDimFaultQuery(msg, kind);
}

void CComm::SendDimFaultQuery(RackMsg* msg, int32_t kind) {
  const auto items = FaultItemsFor(kind);
  const size_t pos = static_cast<size_t>(msg->progress);
  const size_t k = std::min(static_cast<size_t>(msg->chunkSize), items.size() - pos);
  CmdWriter w(msg, DIM_CMD_GET_DIM_FAULT_CONFIG);
  w.u8(0).u8(static_cast<uint32_t>(msg->count - 1)).u16(static_cast<uint32_t>(k));
  for (size_t j = 0; j < k; ++j) w.u16(items[pos + j]);
  Send(msg, w);
}

void CComm::GetDimFaultStep(RackMsg* msg, int32_t kind) {
  const auto items = FaultItemsFor(kind);
  const size_t n = static_cast<size_t>(msg->count);
  const size_t pos = static_cast<size_t>(msg->progress);
  const size_t k = std::min(static_cast<size_t>(msg->chunkSize), items.size() - pos);
  if (!TakeReply(msg, 2 * k * n)) return;
  for (size_t d = 0; d < n; ++d) {
    DimmerRecord r = LoadRecord<DimmerRecord>(msg->data, d);
    for (size_t j = 0; j < k; ++j) {
      const uint16_t v = Rd16(msg, 2 * (j * n + d));
      if (items[pos + j] == 0) {
        r.DimNumber = static_cast<uint8_t>(d + 1);
        r.CableResistance = v;
      } else {
        r.LoadPercentTol = static_cast<uint8_t>(v);
      }
    }
    StoreRecord(msg->data, d, r);
  }
  msg->progress += static_cast<int32_t>(k);
  if (static_cast<size_t>(msg->progress) < items.size()) return SendDimFaultQuery(msg, kind);
  Finish(msg, "Dimmer fault upload request complete.");
}

// --- Relay cycle counts (51, 52 item 2) -------------------------------------------------
// index = first relay (0-based), count = relays, one u32 each in the data
// buffer; progress = relays done. A read carries 139 relays per reply; a
// reset carries its counts in the command, 70 per command.

void CComm::GetRelayCycleCounts(RackMsg* msg) {
  if (msg->index < 0 || msg->count < 1 || msg->index + msg->count > kMaxRelays)
    return Refuse(msg, DIM_CMD_GET_DIM_FAULT_CONFIG, "relays out of range");
  if (!CheckCount(msg, DIM_CMD_GET_DIM_FAULT_CONFIG, 4)) return;
  msg->progress = 0;
  msg->chunkSize = kRelayCycleChunk;
  msg->rackContinuation = [](CComm& c, RackMsg* m) { c.RelayCyclesStep(m, true); };
  SendRelayCycles(msg, true);
}

void CComm::ResetRelayCycleCounts(RackMsg* msg) {
  if (msg->index < 0 || msg->count < 1 || msg->index + msg->count > kMaxRelays)
    return Refuse(msg, DIM_CMD_SET_DIM_FAULT_CONFIG, "relays out of range");
  if (!CheckCount(msg, DIM_CMD_SET_DIM_FAULT_CONFIG, 4)) return;
  msg->progress = 0;
  msg->chunkSize = kRelayCycleResetChunk;
  msg->rackContinuation = [](CComm& c, RackMsg* m) { c.RelayCyclesStep(m, false); };
  SendRelayCycles(msg, false);
}

void CComm::SendRelayCycles(RackMsg* msg, bool get) {
  const int k = std::min(msg->count - msg->progress, msg->chunkSize);
  const int first = msg->index + msg->progress;
  CmdWriter w(msg, get ? DIM_CMD_GET_DIM_FAULT_CONFIG : DIM_CMD_SET_DIM_FAULT_CONFIG);
  w.u8(static_cast<uint32_t>(first)).u8(static_cast<uint32_t>(first + k - 1)).u16(1).u16(kItemRelayCycles);
  if (!get) {
    for (int i = 0; i < k; ++i) w.u32(Buf32(msg->data, 4 * static_cast<size_t>(msg->progress + i)));
  }
  Send(msg, w);
}

void CComm::RelayCyclesStep(RackMsg* msg, bool get) {
  const int k = std::min(msg->count - msg->progress, msg->chunkSize);
  if (get) {
    if (!TakeReply(msg, 4 * static_cast<size_t>(k))) return;
    for (int i = 0; i < k; ++i)
      PutBuf32(msg->data, 4 * static_cast<size_t>(msg->progress + i), Rd32(msg, 4 * static_cast<size_t>(i)));
  } else if (EndOnError(msg)) {
    return;
  }
  msg->progress += k;
  if (msg->progress < msg->count) return SendRelayCycles(msg, get);
  if (get) return Finish(msg, "Get relay cycle count request complete.");
  if (msg->count == 1)
    return Finish(msg, "Relay cycle count reset for relay %d on rack %d.", msg->index + 1,
                  static_cast<int32_t>(msg->Rack));
  Finish(msg, "Relay cycle counts reset on rack %d.", static_cast<int32_t>(msg->Rack));
}

// --- Manual levels (53, 54) ----------------------------------------------------------------

void CComm::GetManualLevels(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_GET_DIMMER_MANUAL_LEVEL, sizeof(DimmerRecord))) return;
  CmdWriter w(msg, DIM_CMD_GET_DIMMER_MANUAL_LEVEL);
  w.u8(0).u8(static_cast<uint32_t>(msg->count - 1));
  msg->rackContinuation = &CComm::OnGetManualLevels;
  Send(msg, w);
}

void CComm::OnGetManualLevels(RackMsg* msg) {
  const size_t n = static_cast<size_t>(msg->count);
  if (!TakeReply(msg, 2 * n)) return;
  for (size_t d = 0; d < n; ++d) {
    DimmerRecord r = LoadRecord<DimmerRecord>(msg->data, d);
    r.ManualLevelEnable = FlagFromRack(Rd8(msg, d));
    r.ManualLevel = ToPercent(Rd8(msg, n + d));
    StoreRecord(msg->data, d, r);
  }
  if (!msg->completion.empty()) return Finish(msg);
  Finish(msg, "Get dimmer manual levels request complete.");
}

void CComm::SetManualLevels(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_SET_DIMMER_MANUAL_LEVEL, sizeof(DimmerRecord))) return;
  msg->rackContinuation = [](CComm& c, RackMsg* m) { c.OnSetManualLevels(m, true); };
  SendManualLevels(msg, false);
}

void CComm::SetManualLevelPairs(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_SET_DIMMER_MANUAL_LEVEL, 2)) return;
  msg->rackContinuation = [](CComm& c, RackMsg* m) { c.OnSetManualLevels(m, false); };
  SendManualLevels(msg, true);
}

void CComm::SendManualLevels(RackMsg* msg, bool pairs) {
  const size_t n = static_cast<size_t>(msg->count);
  auto enable = [&](size_t d) {
    return pairs ? msg->data[2 * d] : LoadRecord<DimmerRecord>(msg->data, d).ManualLevelEnable;
  };
  auto percent = [&](size_t d) {
    return pairs ? msg->data[2 * d + 1] : LoadRecord<DimmerRecord>(msg->data, d).ManualLevel;
  };
  CmdWriter w(msg, DIM_CMD_SET_DIMMER_MANUAL_LEVEL);
  w.u8(0).u8(static_cast<uint32_t>(n - 1));
  for (size_t d = 0; d < n; ++d) w.u8(FlagToRack(enable(d)));
  for (size_t d = 0; d < n; ++d) w.u8(ToLevel(percent(d)));
  Send(msg, w);
}

void CComm::OnSetManualLevels(RackMsg* msg, bool keepText) {
  if (EndOnError(msg)) return;
  if (keepText && !msg->completion.empty()) return Finish(msg);
  Finish(msg, "Set dimmer manual levels request complete.");
}

// One dimmer (index, 0-based) full on, then off; the second reply goes to
// the document.
void CComm::PulseManualLevel(RackMsg* msg) {
  if (msg->index < 0 || msg->index > 255)
    return Refuse(msg, DIM_CMD_SET_DIMMER_MANUAL_LEVEL, "dimmer out of range");
  const uint32_t d = static_cast<uint32_t>(msg->index);
  CmdWriter w(msg, DIM_CMD_SET_DIMMER_MANUAL_LEVEL);
  w.u8(d).u8(d).u8(1).u8(255);
  msg->progress = 1;
  msg->rackContinuation = &CComm::OnPulseManualLevel;
  Send(msg, w);
}

void CComm::OnPulseManualLevel(RackMsg* msg) {
  if (EndOnError(msg)) return;
  const uint32_t d = static_cast<uint32_t>(msg->index);
  CmdWriter w(msg, DIM_CMD_SET_DIMMER_MANUAL_LEVEL);
  w.u8(d).u8(d).u8(1).u8(0);
  msg->progress = 2;
  msg->rackContinuation = nullptr;
  Send(msg, w);
}

// --- Learn loads (55, then 24) --------------------------------------------------------------
// progress is the step: 1 learning, 2 waiting out the delay, 3 learning over.

void CComm::LearnLoads(RackMsg* msg, int32_t rackKind) {
  if (msg->rackContinuation) {
    LogPrintf("Error: Learn loads for rack %d started on a message already in a transfer.\n",
              static_cast<int>(msg->Rack));
    if (msg->Rcode == 0) msg->Rcode = RC_COMM_FAILURE;
    DocRackMsgDone(msg);
    return;
  }
  CmdWriter w(msg, DIM_CMD_LEARN_LOAD_PROFILE);
  if (msg->index == -1) {
    w.u16(0);
    msg->delay = rackKind == 2 ? kLearnAllDelayKind2 : kLearnAllDelay;
  } else if (msg->index >= 1 && msg->index <= 256) {
    w.u16(1).u8(static_cast<uint32_t>(msg->index - 1));
    msg->delay = rackKind == 2 ? kLearnOneDelayKind2 : kLearnOneDelay;
  } else {
    return Refuse(msg, DIM_CMD_LEARN_LOAD_PROFILE, "dimmer out of range");
  }
  msg->sendLength = static_cast<int32_t>(w.size());
  msg->progress = 1;
  msg->rackContinuation = &CComm::OnLearnLoadsStep;
  if (PostLoadLearn(msg, 0)) return;
  msg->Rcode = RC_COMM_FAILURE;
  DocRackMsgDone(msg);
}

void CComm::OnLearnLoadsStep(RackMsg* msg) {
  bool posted = false;
  switch (msg->progress) {
    case 1:
      if (msg->Rcode == 0) {
        msg->progress = 2;
        posted = PostDelayMsg(msg);
      } else {
        // The comm thread ends the learning and returns the message with its
        // code; without a continuation it then goes to the document.
        msg->rackContinuation = nullptr;
        posted = PostLoadLearn(msg, 1);
      }
      break;
    case 2:
      // Whatever the delay's outcome, the rack leaves the learning state.
      msg->progress = 3;
      posted = PostLoadLearn(msg, 1);
      break;
    default:
      msg->rackContinuation = nullptr;
      if (EndOnError(msg)) return;
      return GetLearntLoads(msg);
  }
  if (posted) return;
  if (msg->Rcode == 0) msg->Rcode = RC_COMM_FAILURE;
  DocRackMsgDone(msg);
}

void CComm::GetLearntLoads(RackMsg* msg) {
  if (!CheckCount(msg, DIM_CMD_GET_DIMMER_STATUS, 0)) return;
  CmdWriter w(msg, DIM_CMD_GET_DIMMER_STATUS);
  w.u8(0).u8(static_cast<uint32_t>(msg->count - 1)).u16(1).u8(0);
  msg->rackContinuation = &CComm::OnGetLearntLoads;
  Send(msg, w);
}

void CComm::OnGetLearntLoads(RackMsg* msg) {
  if (!TakeReply(msg, 2 * static_cast<size_t>(msg->count))) return;
  msg->SetReply(2);
  Finish(msg, msg->progress != 0 ? "Learn loads request complete." : "Get learnt loads request complete.");
}
