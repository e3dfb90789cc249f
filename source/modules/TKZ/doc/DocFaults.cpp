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

}  // namespace

void CTKZDoc::WriteFaultRecords(const FaultRecord* records, int32_t count) {
  if (records == nullptr || count < 1) return;
  if (!m_Database) {
    LogPrintf("Error: %d fault records not written: the database is not open.\n", count);
    return;
  }
  try {
    dao::QueryDef qdType = m_Database->QueryDefs("TKZqryFaultType");
    dao::QueryDef qdEvent = m_Database->QueryDefs("TKZqryFaultEvent");
    std::optional<dao::Recordset> rsType;
    std::optional<dao::Recordset> rsEvent;
    for (int32_t i = 0; i < count; ++i) {
      const FaultRecord& rec = records[i];
      const Place at = PlaceOf(rec);
      if (rec.FaultType == FAULT_TYPE_IGNORE) {
        if (g_bDocDebug) LogPrintf("Ignoring fault report from %s %d.\n", at.label, at.number);
        continue;
      }
      qdType.SetParameter("ValueFaultType", static_cast<int32_t>(rec.FaultType));
      qdEvent.SetParameter("ValueFaultType", static_cast<int32_t>(rec.FaultType));
      qdEvent.SetParameter("ValueRackNumber", static_cast<int32_t>(rec.RackNumber));
      qdEvent.SetParameter("ValueDimmerNum", static_cast<int32_t>(rec.DimmerNumber));
      if (!rsType) {
        rsType.emplace(qdType.OpenRecordset());
        rsEvent.emplace(qdEvent.OpenRecordset());
      } else {
        rsType->Requery();
        rsEvent->Requery();
      }
      if (rsType->IsEOF()) {
        LogPrintf("Ignoring unknown fault type %d, %s %d\n", rec.FaultType, at.label, at.number);
        continue;
      }
      FaultTypeRow type{};
      rsType->ReadRow(&type, sizeof type, kFaultTypeBindings);

      FaultRecord row{};
      bool found = !rsEvent->IsEOF();
      if (found) rsEvent->ReadRow(&row, sizeof row, kFaultStatusBindings);

      if (!rec.AriseTimestamp.IsZero()) {
        if (found) {
          rsEvent->Edit();
          if (g_bDocDebug)
            LogPrintf("Updating fault record type %d, %s %d.\n", rec.FaultType, at.label, at.number);
        } else {
          rsEvent->AddNew();
          found = true;
          if (g_bDocDebug)
            LogPrintf("Adding new fault record type %d, %s %d.\n", rec.FaultType, at.label, at.number);
        }
        row = rec;
        const std::string text = FormatFaultDescription(
            std::string_view(type.DisplayFormat, strnlen(type.DisplayFormat, sizeof type.DisplayFormat)),
            std::span<const FaultArg, 3>(rec.args));
        CopyFieldText(row.Description, sizeof row.Description, text);
        WriteBoundRow(*rsEvent, &row, sizeof row, kFaultStatusBindings);
        rsEvent->SetField("SubsideTimestamp", dao::Null{});
        rsEvent->Update();
        // The row is open now, whatever the record carried.
        row.SubsideTimestamp = FaultDate{};
      }

      if (rec.SubsideTimestamp.IsZero()) continue;
      if (found && row.SubsideTimestamp.IsZero()) {
        if (g_bDocDebug) LogPrintf("Fault type %d %s %d subsided.\n", rec.FaultType, at.label, at.number);
        rsEvent->Edit();
        rsEvent->SetField("SubsideTimestamp", dao::OleDate{rec.SubsideTimestamp.days});
        rsEvent->Update();
      } else if (found) {
        if (g_bDocDebug)
          LogPrintf("Ignoring subsiding fault type %d, %s %d, fault already subsided.\n", rec.FaultType,
                    at.label, at.number);
      } else if (g_bDocDebug) {
        LogPrintf("Ignoring subsiding fault type %d, %s %d, no record of fault found.\n", rec.FaultType,
                  at.label, at.number);
      }
    }
  } catch (const dao::Error& e) {
    LogDbError(kDocLineWriteFaults, e);
  }
}

void CTKZDoc::DeleteRackFaults(int32_t rack) {
  if (!m_Database) return;
  try {
    dao::QueryDef q = m_Database->QueryDefs("TKZqryDeleteRackFaults");
    q.SetParameter("ValueRackNumber", rack);
    q.Execute();
  } catch (const dao::Error& e) {
    LogDbError(kDocLineDeleteRackFaults, e);
  }
}

void DocWriteFaultRecords(const FaultRecord* records, int32_t count) {
  if (g_pDoc != nullptr) g_pDoc->WriteFaultRecords(records, count);
}

void DocDeleteRackFaults(int32_t rack) {
  if (g_pDoc != nullptr) g_pDoc->DeleteRackFaults(rack);
}
