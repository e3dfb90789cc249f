// Fault records: tblFaultStatus rows from the fault records that the
// fault-event decoding and the status write-back hand over.
#include <cstddef>
#include <cstring>
#include <optional>

#include "Doc.h"
#include "DisplayFlags.h"
#include "FaultFormat.h"
#include "LogSink.h"
#include "TextField.h"

namespace {

#pragma pack(push, 1)
struct FaultTypeRow {
  int16_t FaultType;
  char FaultName[50];
  char DisplayFormat[50];
  int16_t FaultCategory;
};
#pragma pack(pop)

constexpr dao::Binding kFaultTypeBindings[] = {
    {"FaultType", dao::BindType::kI16, offsetof(FaultTypeRow, FaultType), 2},
    {"FaultName", dao::BindType::kText, offsetof(FaultTypeRow, FaultName), 50},
    {"DisplayFormat", dao::BindType::kText, offsetof(FaultTypeRow, DisplayFormat), 50},
    {"FaultCategory", dao::BindType::kI16, offsetof(FaultTypeRow, FaultCategory), 2},
};

// The nine columns of a fault row, read into and written from a
// FaultRecord used as the row buffer.
constexpr dao::Binding kFaultStatusBindings[] = {
    {"FaultType", dao::BindType::kI16, offsetof(FaultRecord, FaultType), 2},
    {"RackNumber", dao::BindType::kI16, offsetof(FaultRecord, RackNumber), 2},
    {"DimmerNumber", dao::BindType::kI16, offsetof(FaultRecord, DimmerNumber), 2},
    {"CircuitNumber", dao::BindType::kI32, offsetof(FaultRecord, CircuitNumber), 4},
    {"AriseTimestamp", dao::BindType::kDate, offsetof(FaultRecord, AriseTimestamp), sizeof(FaultDate)},
    {"SubsideTimestamp", dao::BindType::kDate, offsetof(FaultRecord, SubsideTimestamp),
     sizeof(FaultDate)},
    {"Diag1", dao::BindType::kI16, offsetof(FaultRecord, Diag1), 2},
    {"Diag2", dao::BindType::kI16, offsetof(FaultRecord, Diag2), 2},
    {"Description", dao::BindType::kText, offsetof(FaultRecord, Description), kFaultDescriptionSize},
};

// Where a record's fault lies, for the log lines.
struct Place {
  const char* label;
  int number;
};
Place PlaceOf(const FaultRecord& r) {
  if (r.RackNumber <= kFaultMaxRack) return {"rack", r.RackNumber};
  return {"node", r.RackNumber - kFaultNodeBase};
}

// Writes fault records one at a time, its two queries prepared on the first
// record that needs them and re-queried for each further one.  Every
// database error is thrown to the caller.
class FaultWriter {
 public:
  FaultWriter(CTKZDoc& doc, dao::Database& db) : doc_(doc), db_(db) {}
  void Write(const FaultRecord& rec);

 private:
  CTKZDoc& doc_;
  dao::Database& db_;
  std::optional<dao::QueryDef> qdType_, qdEvent_;
  std::optional<dao::Recordset> rsType_, rsEvent_;
};

void FaultWriter::Write(const FaultRecord& rec) {
  const Place at = PlaceOf(rec);
  if (rec.FaultType == FAULT_TYPE_IGNORE) {
    if (g_bDocDebug) LogPrintf("Ignoring fault report from %s %d.\n", at.label, at.number);
    return;
  }
  if (!qdType_) qdType_.emplace(db_.QueryDefs("TKZqryFaultType"));
  if (!qdEvent_) qdEvent_.emplace(db_.QueryDefs("TKZqryFaultEvent"));
  qdType_->SetParameter("ValueFaultType", static_cast<int32_t>(rec.FaultType));
  qdEvent_->SetParameter("ValueFaultType", static_cast<int32_t>(rec.FaultType));
  qdEvent_->SetParameter("ValueRackNumber", static_cast<int32_t>(rec.RackNumber));
  qdEvent_->SetParameter("ValueDimmerNum", static_cast<int32_t>(rec.DimmerNumber));
  if (!rsType_) rsType_.emplace(qdType_->OpenRecordset()); else rsType_->Requery();
  if (!rsEvent_) rsEvent_.emplace(qdEvent_->OpenRecordset()); else rsEvent_->Requery();
  if (rsType_->IsEOF()) {
    LogPrintf("Ignoring unknown fault type %d, %s %d\n", rec.FaultType, at.label, at.number);
    return;
  }
  FaultTypeRow type{};
  rsType_->ReadRow(&type, sizeof type, kFaultTypeBindings);

  FaultRecord row{};
  bool found = !rsEvent_->IsEOF();
  if (found) rsEvent_->ReadRow(&row, sizeof row, kFaultStatusBindings);

  // The lines of a write are logged once it has landed, so that a write
  // tried again at every tick while the database refuses it says nothing
  // until then.
  if (!rec.AriseTimestamp.IsZero()) {
    const bool adding = !found;
    if (adding)
      rsEvent_->AddNew();
    else
      rsEvent_->Edit();
    row = rec;
    const std::string text = FormatFaultDescription(
        std::string_view(type.DisplayFormat, strnlen(type.DisplayFormat, sizeof type.DisplayFormat)),
        std::span<const FaultArg, 3>(rec.args));
    CopyFieldText(row.Description, sizeof row.Description, text);
    doc_.WriteBoundRow(*rsEvent_, &row, sizeof row, kFaultStatusBindings);
    rsEvent_->SetField("SubsideTimestamp", dao::Null{});
    rsEvent_->Update();
    if (g_bDocDebug)
      LogPrintf(adding ? "Adding new fault record type %d, %s %d.\n" : "Updating fault record type %d, %s %d.\n",
                rec.FaultType, at.label, at.number);
    found = true;
    // The row is open now, whatever the record carried.
    row.SubsideTimestamp = FaultDate{};
  }

  if (rec.SubsideTimestamp.IsZero()) return;
  if (found && row.SubsideTimestamp.IsZero()) {
    rsEvent_->Edit();
    rsEvent_->SetField("SubsideTimestamp", dao::OleDate{rec.SubsideTimestamp.days});
    rsEvent_->Update();
    if (g_bDocDebug) LogPrintf("Fault type %d %s %d subsided.\n", rec.FaultType, at.label, at.number);
  } else if (found) {
    if (g_bDocDebug)
      LogPrintf("Ignoring subsiding fault type %d, %s %d, fault already subsided.\n", rec.FaultType, at.label,
                at.number);
  } else if (g_bDocDebug) {
    LogPrintf("Ignoring subsiding fault type %d, %s %d, no record of fault found.\n", rec.FaultType, at.label,
              at.number);
  }
}

}  // namespace

void CTKZDoc::WriteFaultRecords(const FaultRecord* records, int32_t count) {
  if (records == nullptr || count < 1) return;
  if (!m_Database) {
    LogPrintf("Error: %d fault records not written: the database is not open.\n", count);
    return;
  }
  // Behind fault operations still waiting, so that they land in order.
  if (!m_Kept.faults.empty()) {
    for (int32_t i = 0; i < count; ++i) KeepFault(KeptWrites::Fault::Of(records[i]));
    FlushKeptFaults();
    return;
  }
  FaultWriter writer(*this, *m_Database);
  for (int32_t i = 0; i < count; ++i) {
    try {
      writer.Write(records[i]);
    } catch (const dao::Error& e) {
      LogDbError(kDocLineWriteFaults, e);
      // A record the database refuses for good is dropped and the others
      // go on; otherwise this one and the rest wait for a later tick.
      if (!WriteCanLandLater(e)) continue;
      NoteKept(e);
      for (int32_t j = i; j < count; ++j) KeepFault(KeptWrites::Fault::Of(records[j]));
      return;
    }
  }
}

void CTKZDoc::DeleteRackFaults(int32_t rack) {
  if (!m_Database) return;
  if (!m_Kept.faults.empty()) {
    KeepFault(KeptWrites::Fault::DeleteOf(rack));
    FlushKeptFaults();
    return;
  }
  try {
    dao::QueryDef q = m_Database->QueryDefs("TKZqryDeleteRackFaults");
    q.SetParameter("ValueRackNumber", rack);
    q.Execute();
  } catch (const dao::Error& e) {
    LogDbError(kDocLineDeleteRackFaults, e);
    if (!WriteCanLandLater(e)) return;
    NoteKept(e);
    KeepFault(KeptWrites::Fault::DeleteOf(rack));
  }
}

void CTKZDoc::KeepFault(KeptWrites::Fault op) {
  if (m_Kept.faults.size() >= kKeptFaultsMax) {
    m_Kept.faults.pop_front();
    ++m_Kept.faultsDropped;
  }
  m_Kept.faults.push_back(std::move(op));
}

bool CTKZDoc::FlushKeptFaults() {
  if (!m_Database) return m_Kept.faults.empty();
  FaultWriter writer(*this, *m_Database);
  while (!m_Kept.faults.empty()) {
    const KeptWrites::Fault& op = m_Kept.faults.front();
    try {
      if (op.deleteRack) {
        dao::QueryDef q = m_Database->QueryDefs("TKZqryDeleteRackFaults");
        q.SetParameter("ValueRackNumber", op.rack);
        q.Execute();
      } else {
        writer.Write(op.Record());
      }
    } catch (const dao::Error& e) {
      if (WriteCanLandLater(e)) return false;
      LogDbError(op.deleteRack ? kDocLineDeleteRackFaults : kDocLineWriteFaults, e);
    }
    m_Kept.faults.pop_front();
  }
  return true;
}

void DocWriteFaultRecords(const FaultRecord* records, int32_t count) {
  if (g_pDoc != nullptr) g_pDoc->WriteFaultRecords(records, count);
}

void DocDeleteRackFaults(int32_t rack) {
  if (g_pDoc != nullptr) g_pDoc->DeleteRackFaults(rack);
}
