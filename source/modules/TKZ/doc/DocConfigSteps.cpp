// The rack and dimmer configuration steps of the rack configuration
// process: rack module map, rack configuration, dimmer configuration and
// dimmer fault configuration, mux patch, circuit patch and Brevant patch.
// Each sends one message per rack; a download reads the database before
// the builder runs, an upload writes back what the rack returned that
// differs from the database.
#include <algorithm>
#include <cstring>
#include <string>

#include "Comm.h"
#include "DisplayFlags.h"
#include "Doc.h"
#include "DocSteps.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RackRecords.h"
#include "RcCodes.h"

using namespace docsteps;

namespace {

constexpr size_t kModuleEntries = 48;
constexpr size_t kModuleRowsMax = 16;  // 16 rows of 3 slots, or 8 of 6
// Dimmer records an upload buffer holds at least.
constexpr size_t kDimmerUploadRecords = 108;

#pragma pack(push, 1)
struct ModuleRow {
  int32_t unbound;
  int16_t Row;
  int16_t ModuleType[6];
};

struct BvtPair {
  uint8_t BvtRoom;
  uint8_t BvtCh;
};
#pragma pack(pop)
static_assert(sizeof(ModuleRow) == 18);
// A dimmer's record (DimmerRecord) is what TKZqryDimmerConfig gives and the
// builders read and fill; a mux patch entry (MuxRecord) likewise.

constexpr dao::Binding kModuleBindings[] = {
    {"Row", dao::BindType::kI16, offsetof(ModuleRow, Row), 2},
    {"ModuleType0", dao::BindType::kI16, offsetof(ModuleRow, ModuleType) + 0, 2},
    {"ModuleType1", dao::BindType::kI16, offsetof(ModuleRow, ModuleType) + 2, 2},
    {"ModuleType2", dao::BindType::kI16, offsetof(ModuleRow, ModuleType) + 4, 2},
    {"ModuleType3", dao::BindType::kI16, offsetof(ModuleRow, ModuleType) + 6, 2},
    {"ModuleType4", dao::BindType::kI16, offsetof(ModuleRow, ModuleType) + 8, 2},
    {"ModuleType5", dao::BindType::kI16, offsetof(ModuleRow, ModuleType) + 10, 2},
};

#define DIM_U8(col) {#col, dao::BindType::kU8, offsetof(DimmerRecord, col), 1}
// The dimmer record's columns; the first one (RackType) lies in
// tblRackConfig and is only read.
constexpr dao::Binding kDimBindings[] = {
    {"RackType", dao::BindType::kI16, offsetof(DimmerRecord, RackType), 2},
    DIM_U8(DimNumber), DIM_U8(ModuleType), DIM_U8(StatusReportingEnable), DIM_U8(Response),
    DIM_U8(MinLevel), DIM_U8(MaxVoltage), DIM_U8(FluoTopset), DIM_U8(FluoCutoff),
    DIM_U8(NonDimThreshold), DIM_U8(MuxMode), DIM_U8(Curve), DIM_U8(AnalogIn),
    DIM_U8(AnalogInEnable), DIM_U8(ManualLevelEnable), DIM_U8(ManualLevel), DIM_U8(BvtRoom),
    DIM_U8(BvtCh), DIM_U8(PanicAction),
    {"CableResistance", dao::BindType::kI32, offsetof(DimmerRecord, CableResistance), 4},
    DIM_U8(LoadPercentTol),
};
#undef DIM_U8
static_assert(std::size(kDimBindings) == 21);
// What a dimmer write-back writes: the tblDimConfig columns.
constexpr std::span<const dao::Binding> kDimWriteBindings{kDimBindings + 1, std::size(kDimBindings) - 1};

constexpr dao::Binding kMuxBindings[] = {
    {"DimNumber", dao::BindType::kU8, offsetof(MuxRecord, DimNumber), 1},
    {"MuxACh", dao::BindType::kI16, offsetof(MuxRecord, MuxACh), 2},
    {"MuxBCh", dao::BindType::kI16, offsetof(MuxRecord, MuxBCh), 2},
};

constexpr dao::Binding kCircuitBindings[] = {{"CircuitID", dao::BindType::kI32, 0, 4}};

constexpr dao::Binding kBvtPairBindings[] = {
    {"BvtRoom", dao::BindType::kU8, offsetof(BvtPair, BvtRoom), 1},
    {"BvtCh", dao::BindType::kU8, offsetof(BvtPair, BvtCh), 1},
};

// The nine rack configuration columns an upload writes.
#define RC_COL(col) {#col, dao::BindType::kI16, offsetof(RackConfigRow, col), 2}
constexpr dao::Binding kRackConfigWriteBindings[] = {
    RC_COL(MuxTypeA),        RC_COL(MuxTypeB),     RC_COL(MuxFailPreset),
    RC_COL(MuxFailHoldTime), RC_COL(MuxFailMode),  RC_COL(BrevantPowerupPreset),
    RC_COL(RackLanguage),    RC_COL(KeypadLockEnable), RC_COL(FanSpeed),
};
#undef RC_COL

// Module types per row: six when the rack has six slots, else three.
size_t ModulesPerRow(int32_t slots) { return slots == 6 ? 6 : 3; }

// A Brevant patch value outside rooms 1-16 / channels 1-15 is unpatched.
BvtPair SanePair(uint8_t room, uint8_t channel) {
  if (room < 1 || room > kBvtRooms || channel < 1 || channel > kBvtChannels) return {0, 0};
  return {room, channel};
}

bool SameBound(const void* a, const void* b, std::span<const dao::Binding> bindings) {
  for (const dao::Binding& x : bindings)
    if (std::memcmp(static_cast<const uint8_t*>(a) + x.offset, static_cast<const uint8_t*>(b) + x.offset, x.size) != 0)
      return false;
  return true;
}

// The database's flag for an enable byte: -1 for true, 0 for false.
int16_t DatabaseFlag(uint8_t enable) { return enable != 0 ? int16_t{-1} : int16_t{0}; }

// A dimmer record carries its three enable flags as bytes (true reads
// 0xFF); the row takes them as the database's -1 and 0.
void WriteFlags(dao::Recordset& rs, const DimmerRecord& r) {
  rs.SetField("StatusReportingEnable", DatabaseFlag(r.StatusReportingEnable));
  rs.SetField("AnalogInEnable", DatabaseFlag(r.AnalogInEnable));
  rs.SetField("ManualLevelEnable", DatabaseFlag(r.ManualLevelEnable));
}
// Other rows have no byte flags.
template <typename Row>
void WriteFlags(dao::Recordset&, const Row&) {}

// Writes `next` over the current row when a bound column differs from
// `stored`.
template <typename Row>
void UpdateChanged(CTKZDoc& doc, dao::Recordset& rs, const Row& stored, const Row& next,
                   std::span<const dao::Binding> bindings) {
  if (SameBound(&stored, &next, bindings)) return;
  rs.Edit();
  doc.WriteBoundRow(rs, &next, sizeof next, bindings);
  WriteFlags(rs, next);
  rs.Update();
}

// Writes each stored row of the recordset (read through `read`) whose
// `write` columns differ from `merge` applied to it and the returned record
// of its DimNumber; rows past what the message holds are left alone.
template <typename Row, typename Merge>
void StoreByDimNumber(CTKZDoc& doc, dao::Recordset& rs, const RackMsg* msg, std::span<const dao::Binding> read,
                      std::span<const dao::Binding> write, Merge merge) {
  const size_t returned = HeldItems(msg, sizeof(Row));
  for (; !rs.IsEOF(); rs.MoveNext()) {
    Row stored{};
    rs.ReadRow(&stored, sizeof stored, read);
    if (stored.DimNumber < 1 || stored.DimNumber > returned) continue;
    Row back{};
    std::memcpy(&back, msg->data.data() + (stored.DimNumber - 1) * sizeof back, sizeof back);
    UpdateChanged(doc, rs, stored, merge(stored, back), write);
  }
}

}  // namespace

// ---- Rack module map ----------------------------------------------------------

void CTKZDoc::SendRackModule(const std::vector<uint32_t>& racks, InProcRequest* request) {
  const bool upload = IsUpload(request);
  for (uint32_t rack : racks) {
    RackMsg* msg = nullptr;
    try {
      // Kind 2 racks have no module map to set.
      if (!upload && GetRackType(RackZoneId(static_cast<int32_t>(rack))) == 2) continue;
      std::vector<uint8_t> entries;
      if (!upload) {
        int32_t rows = 0, slots = 0;
        GetRackRowsColumns(static_cast<int32_t>(rack), rows, slots);
        dao::Recordset rs = OpenRackZoneQuery(StepDb(), "TKZqryRackModule", rack);
        const auto moduleRows = ReadRows<ModuleRow>(rs, kModuleRowsMax, kModuleBindings);
        const size_t per = ModulesPerRow(slots);
        entries.assign(2 * kModuleEntries, 0);
        size_t k = 0;
        for (const ModuleRow& r : moduleRows)
          for (size_t j = 0; j < per && k < kModuleEntries; ++j, ++k)
            PutLe16(entries, 2 * k, static_cast<uint16_t>(r.ModuleType[j]));
      }
      msg = NewRackMsg(request);
      msg->Rack = rack;
      msg->data = std::move(entries);
    } catch (const dao::Error& e) {
      LogDiag(request, kLineRackModuleStart, e);
      return;
    }
    SendStepMsg(msg, request, &CComm::GetModuleMap, &CComm::SetModuleMap, &CTKZDoc::StoreRackModule);
  }
}

void CTKZDoc::StoreRackModule(RackMsg* msg, InProcRequest* request) {
  StoreUpload(msg, request, kLineRackModuleStore, [&] {
    const uint8_t* reply = msg->Reply();
    if (reply == nullptr || msg->ReplySize() < 2 * kModuleEntries) return;
    int32_t rows = 0, slots = 0;
    GetRackRowsColumns(static_cast<int32_t>(msg->Rack), rows, slots);
    // Entries are laid out as the download packs them.
    const size_t per = ModulesPerRow(slots);
    dao::Recordset rs = OpenRackZoneQuery(StepDb(), "TKZqryRackModule", msg->Rack);
    for (size_t k = 0; !rs.IsEOF() && (k + 1) * per <= kModuleEntries; ++k, rs.MoveNext()) {
      ModuleRow row{};
      rs.ReadRow(&row, sizeof row, kModuleBindings);
      ModuleRow next = row;
      for (size_t j = 0; j < per; ++j) next.ModuleType[j] = static_cast<int16_t>(Le16(reply + 2 * (k * per + j)));
      UpdateChanged(*this, rs, row, next, kModuleBindings);
    }
  });
  HandOnStepMsg(msg, request);
}

// ---- Rack configuration -------------------------------------------------------

void CTKZDoc::SendRackConfig(const std::vector<uint32_t>& racks, InProcRequest* request) {
  for (uint32_t rack : racks) {
    RackMsg* msg = nullptr;
    try {
      dao::Recordset rs = OpenRackZoneQuery(StepDb(), "TKZqryRackConfig", rack);
      RackConfigRow row{};
      rs.ReadRow(&row, sizeof row, kRackConfigBindings);  // 3021 for a rack without its row
      msg = NewRackMsg(request);
      msg->Rack = rack;
      msg->data.assign(reinterpret_cast<const uint8_t*>(&row), reinterpret_cast<const uint8_t*>(&row) + sizeof row);
    } catch (const dao::Error& e) {
      LogDiag(request, kLineRackConfigStart, e);
      return;
    }
    SendStepMsg(msg, request, &CComm::GetRackSetup, &CComm::SetRackSetup, &CTKZDoc::StoreRackConfig);
  }
}

void CTKZDoc::StoreRackConfig(RackMsg* msg, InProcRequest* request) {
  StoreUpload(msg, request, kLineRackConfigStore, [&] {
    if (msg->data.size() < sizeof(RackConfigRow)) return;
    RackConfigRow returned{};
    std::memcpy(&returned, msg->data.data(), sizeof returned);
    dao::Recordset rs = OpenRackZoneQuery(StepDb(), "TKZqryRackConfig", msg->Rack);
    RackConfigRow stored{};
    rs.ReadRow(&stored, sizeof stored, kRackConfigBindings);
    UpdateChanged(*this, rs, stored, returned, kRackConfigWriteBindings);
  });
  HandOnStepMsg(msg, request);
}

// ---- Dimmer configuration and dimmer fault configuration ----------------------

namespace {

// The rack's dimmer records at their DimNumber slots of a buffer of
// `records` slots; returns the number placed.  Rows whose DimNumber lies
// outside 1..outputs are skipped.
size_t ReadDimmerRecords(dao::Database& db, uint32_t rack, int32_t outputs, size_t records,
                         std::vector<uint8_t>& buf) {
  dao::Recordset rs = OpenRackZoneQuery(db, "TKZqryDimmerConfig", rack);
  buf.assign(records * sizeof(DimmerRecord), 0);
  size_t placed = 0;
  for (; !rs.IsEOF(); rs.MoveNext()) {
    DimmerRecord r{};
    rs.ReadRow(&r, sizeof r, kDimBindings);
    if (r.DimNumber < 1 || r.DimNumber > outputs) {
      LogPrintf("Dimmer %d of rack %d lies outside its %d outputs; skipped.\n", r.DimNumber,
                static_cast<int>(rack), static_cast<int>(outputs));
      continue;
    }
    const BvtPair pair = SanePair(r.BvtRoom, r.BvtCh);
    r.BvtRoom = pair.BvtRoom;
    r.BvtCh = pair.BvtCh;
    std::memcpy(buf.data() + (r.DimNumber - 1) * sizeof r, &r, sizeof r);
    ++placed;
  }
  return placed;
}

}  // namespace

void CTKZDoc::SendDimmerRecords(const std::vector<uint32_t>& racks, InProcRequest* request, const char* what,
                                int diagLine, StepBuilder get, StepBuilder set,
                                void (CTKZDoc::*store)(RackMsg*, InProcRequest*)) {
  const bool upload = IsUpload(request);
  if (upload) LoadRack2Zone();
  for (uint32_t rack : racks) {
    RackMsg* msg = nullptr;
    try {
      const int32_t outputs = BoundOutputs(GetRackOutputCount(static_cast<int32_t>(rack)));
      if (outputs == 0) {
        LogPrintf("Rack %d has no outputs; its %s is not moved.\n", static_cast<int>(rack), what);
        continue;
      }
      std::vector<uint8_t> buf;
      // An upload starts from the stored records, so that what the rack
      // does not report keeps its stored value.
      const size_t records = upload ? std::max<size_t>(kDimmerUploadRecords, static_cast<size_t>(outputs))
                                    : static_cast<size_t>(outputs);
      const size_t placed = ReadDimmerRecords(StepDb(), rack, outputs, records, buf);
      if (!upload && placed == 0) {
        LogPrintf("Rack %d has no dimmer records; its %s is not set.\n", static_cast<int>(rack), what);
        continue;
      }
      msg = NewRackMsg(request);
      msg->Rack = rack;
      msg->data = std::move(buf);
      msg->count = upload ? outputs : static_cast<int32_t>(placed);
    } catch (const dao::Error& e) {
      LogDiag(request, diagLine, e);
      return;
    }
    SendStepMsg(msg, request, get, set, store);
  }
}

void CTKZDoc::SendDimmerConfig(const std::vector<uint32_t>& racks, InProcRequest* request) {
  SendDimmerRecords(racks, request, "dimmer configuration", kLineDimmerConfigStart, &CComm::GetDimmerSetup,
                    &CComm::SetDimmerSetup, &CTKZDoc::StoreDimmerConfig);
}

void CTKZDoc::SendDimmerFaultConfig(const std::vector<uint32_t>& racks, InProcRequest* request) {
  SendDimmerRecords(racks, request, "dimmer fault configuration", kLineDimFaultStart,
                    &CComm::GetDimFaultConfig, &CComm::SetDimFaultConfig, &CTKZDoc::StoreDimmerFaultConfig);
}

namespace {

// Writes each dimmer row of the rack whose record differs from `merge`
// applied to the returned record of its DimNumber.
template <typename Merge>
void StoreDimmerRecords(CTKZDoc& doc, dao::Database& db, RackMsg* msg, Merge merge) {
  dao::Recordset rs = OpenRackZoneQuery(db, "TKZqryDimmerConfig", msg->Rack);
  StoreByDimNumber<DimmerRecord>(doc, rs, msg, kDimBindings, kDimWriteBindings, merge);
}

}  // namespace

void CTKZDoc::StoreDimmerConfig(RackMsg* msg, InProcRequest* request) {
  StoreUpload(msg, request, kLineDimmerConfigStore, [&] {
    StoreDimmerRecords(*this, StepDb(), msg, [](const DimmerRecord& stored, const DimmerRecord& back) {
      DimmerRecord next = back;
      next.RackType = stored.RackType;
      next.DimNumber = stored.DimNumber;
      next.CableResistance = stored.CableResistance & 0xFFFF;
      next.LoadPercentTol = stored.LoadPercentTol;
      return next;
    });
  });
  HandOnStepMsg(msg, request);
}

void CTKZDoc::StoreDimmerFaultConfig(RackMsg* msg, InProcRequest* request) {
  StoreUpload(msg, request, kLineDimFaultStore, [&] {
    StoreDimmerRecords(*this, StepDb(), msg, [](const DimmerRecord& stored, const DimmerRecord& back) {
      DimmerRecord next = stored;
      next.CableResistance = back.CableResistance;
      next.LoadPercentTol = back.LoadPercentTol;
      return next;
    });
  });
  HandOnStepMsg(msg, request);
}

// ---- Mux patch ---------------------------------------------------------------------

void CTKZDoc::SendMuxPatch(const std::vector<uint32_t>& racks, InProcRequest* request) {
  const bool upload = IsUpload(request);
  for (uint32_t rack : racks) {
    RackMsg* msg = nullptr;
    try {
      const int32_t outputs = BoundOutputs(GetRackOutputCount(static_cast<int32_t>(rack)));
      if (outputs == 0) {
        LogPrintf("Rack %d has no outputs; its mux patch is not moved.\n", static_cast<int>(rack));
        continue;
      }
      std::vector<uint8_t> buf(static_cast<size_t>(outputs) * sizeof(MuxRecord), 0);
      int32_t count = outputs;
      if (!upload) {
        dao::Recordset rs = OpenRackZoneQuery(StepDb(), "TKZqryMuxPatch", rack);
        count = 0;
        for (; !rs.IsEOF(); rs.MoveNext()) {
          MuxRecord r{};
          rs.ReadRow(&r, sizeof r, kMuxBindings);
          if (r.DimNumber < 1 || r.DimNumber > outputs) continue;
          std::memcpy(buf.data() + (r.DimNumber - 1) * sizeof r, &r, sizeof r);
          ++count;
        }
        if (count == 0) {
          LogPrintf("Rack %d has no mux patch records; its mux patch is not set.\n", static_cast<int>(rack));
          continue;
        }
      }
      msg = NewRackMsg(request);
      msg->Rack = rack;
      msg->data = std::move(buf);
      msg->count = count;
    } catch (const dao::Error& e) {
      LogDiag(request, kLineMuxPatchStart, e);
      return;
    }
    SendStepMsg(msg, request, &CComm::GetMuxPatch, &CComm::SetMuxPatch, &CTKZDoc::StoreMuxPatch);
  }
}

void CTKZDoc::StoreMuxPatch(RackMsg* msg, InProcRequest* request) {
  StoreUpload(msg, request, kLineMuxPatchStore, [&] {
    dao::Recordset rs = OpenRackZoneQuery(StepDb(), "TKZqryMuxPatch", msg->Rack);
    StoreByDimNumber<MuxRecord>(*this, rs, msg, kMuxBindings, kMuxBindings,
                                [](const MuxRecord& stored, MuxRecord back) {
                                  back.DimNumber = stored.DimNumber;
                                  return back;
                                });
  });
  HandOnStepMsg(msg, request);
}

// ---- Circuit patch -----------------------------------------------------------------

void CTKZDoc::SendCircuitPatch(const std::vector<uint32_t>& racks, InProcRequest* request) {
  for (uint32_t rack : racks) {
    const int32_t outputs = BoundOutputs(GetRackOutputCount(static_cast<int32_t>(rack)));
    if (outputs == 0) {
      LogPrintf("Rack %d has no outputs; its circuit patch is not moved.\n", static_cast<int>(rack));
      continue;
    }
    RackMsg* msg = NewRackMsg(request);
    msg->Rack = rack;
    msg->count = outputs;
    msg->data.assign(4 * static_cast<size_t>(outputs), 0);
    if (!SendStepMsg(msg, request, &CComm::GetCircuitPatch, &CComm::SetCircuitPatch, &CTKZDoc::TransferCircuitPatch)) return;  // the message is gone with the failure
  }
}

bool CTKZDoc::TransferCircuitPatch(RackMsg* msg, InProcRequest* request) {
  const bool upload = IsUpload(request);
  const TransferEnd end = RunTransfer(msg, request, kLineCircuitPatch, [&] {
    const size_t count = HeldItems(msg, 4);
    dao::QueryDef q = StepDb().QueryDefs("TKZqryCircuitPatch");
    q.SetParameter("MinDimID", MinDimId(msg->Rack));
    q.SetParameter("MaxDimID", MaxDimId(msg->Rack));
    dao::Recordset rs = q.OpenRecordset();
    const std::vector<int32_t> stored = ReadRows<int32_t>(rs, count, kCircuitBindings);
    if (!upload) {
      for (size_t i = 0; i < stored.size(); ++i) PutLe32(msg->data, 4 * i, static_cast<uint32_t>(stored[i]));
      return true;
    }
    try {
      for (size_t i = 0; i < stored.size(); ++i) {
        const int32_t back = static_cast<int32_t>(Le32(msg->data.data() + 4 * i));
        if (back == stored[i]) continue;
        rs.MoveFirst();
        rs.Move(static_cast<int64_t>(i));
        rs.Edit();
        rs.SetField("CircuitID", back);
        rs.Update();
      }
    } catch (const dao::Error& e) {
      // Any other refusal (a busy or damaged database, a rule of another
      // program) is reported as what it is.
      if (e.number() != dao::kErrDuplicateKey) throw;
      // The database refused a circuit that another dimmer already has.
      if (request->Rcode == RC_OK) {
        request->Rcode = RC_DUPLICATE_CIRCUIT;
        request->message.Set("%s", CompletionArg::Text(RcodeText(RC_DUPLICATE_CIRCUIT)));
      }
    }
    return false;
  });
  if (end == TransferEnd::kDone) HandOnStepMsg(msg, request);
  return end == TransferEnd::kFilled;
}

// ---- Brevant patch -----------------------------------------------------------------

void CTKZDoc::SendBrevantPatch(const std::vector<uint32_t>& racks, InProcRequest* request) {
  const bool upload = IsUpload(request);
  for (uint32_t rack : racks) {
    const int32_t outputs = BoundOutputs(GetRackOutputCount(static_cast<int32_t>(rack)));
    if (outputs == 0) {
      LogPrintf("Rack %d has no outputs; its Brevant patch is not moved.\n", static_cast<int>(rack));
      continue;
    }
    RackMsg* msg = NewRackMsg(request);
    msg->Rack = rack;
    msg->count = outputs;
    msg->data.assign(2 * static_cast<size_t>(outputs), 0);
    if (upload) {
      msg->docContinuation = [](CTKZDoc& d, RackMsg* m, InProcRequest* r) { d.TransferBrevantPatch(m, r); };
      theComm.GetBrevantPatch(msg);
      Adopt(msg, request);
    } else {
      SetDownloadContinuation(msg, request);
      TransferBrevantPatch(msg, request);
    }
  }
}

void CTKZDoc::TransferBrevantPatch(RackMsg* msg, InProcRequest* request) {
  const bool upload = IsUpload(request);
  const TransferEnd end = RunTransfer(msg, request, kLineBrevantPatch, [&] {
    const size_t count = HeldItems(msg, 2);
    dao::Recordset rs = OpenRackZoneQuery(StepDb(), "TKZqryBvtPatch", msg->Rack);
    if (!upload) {
      const auto pairs = ReadRows<BvtPair>(rs, count, kBvtPairBindings);
      for (size_t i = 0; i < pairs.size(); ++i) {
        const BvtPair p = SanePair(pairs[i].BvtRoom, pairs[i].BvtCh);
        msg->data[2 * i] = p.BvtRoom;
        msg->data[2 * i + 1] = p.BvtCh;
      }
      return true;
    }
    for (size_t i = 0; i < count && !rs.IsEOF(); ++i, rs.MoveNext()) {
      BvtPair stored{};
      rs.ReadRow(&stored, sizeof stored, kBvtPairBindings);
      const BvtPair back{msg->data[2 * i], msg->data[2 * i + 1]};
      if (stored.BvtRoom == back.BvtRoom && stored.BvtCh == back.BvtCh) continue;
      rs.Edit();
      WriteBoundRow(rs, &back, sizeof back, kBvtPairBindings);
      rs.Update();
    }
    return false;
  });
  if (end == TransferEnd::kDone) return HandOnStepMsg(msg, request);
  if (end == TransferEnd::kFailed) return;
  theComm.SetBrevantPatch(msg);
  Adopt(msg, request);
}
