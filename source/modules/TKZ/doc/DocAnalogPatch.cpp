// The analog patch (request type 10, sub-types 20 and 21): per output of a
// rack, the analog input that drives it and whether that input is enabled
// (tblDimConfig AnalogIn, AnalogInEnable), sent to the racks of a zone or
// read from them and written back where it differs.
#include <cstring>

#include "DocComm.h"
#include "DocZoneTree.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "TextField.h"

namespace {

constexpr int32_t kLineAnalogPatch = 6093;
constexpr int32_t kSubTypeDownload = 20;
constexpr int kMaxOutputs = 256;  // outputs are indexed by one byte

#pragma pack(push, 1)
struct AnalogPatchRow {
  uint8_t AnalogIn;
  uint8_t AnalogInEnable;
};
#pragma pack(pop)
static_assert(sizeof(AnalogPatchRow) == 2);

constexpr dao::Binding kAnalogPatchBindings[] = {
    {"AnalogIn", dao::BindType::kU8, offsetof(AnalogPatchRow, AnalogIn), 1},
    {"AnalogInEnable", dao::BindType::kU8, offsetof(AnalogPatchRow, AnalogInEnable), 1},
};

// The database's flag for an enable byte: -1 for true, 0 for false.
int16_t FlagForDatabase(uint8_t enable) { return enable != 0 ? int16_t{-1} : int16_t{0}; }

}  // namespace

std::vector<uint8_t> CTKZDoc::ReadAnalogPatch(int32_t rack, size_t n) {
  std::vector<uint8_t> pairs(2 * n, 0);
  if (!m_Database) dao::Throw(dao::kErrInvalidArgument, "The database is not open.");
  dao::QueryDef q = m_Database->QueryDefs("TKZqryAnalogPatch");
  q.SetParameter("ValueZoneID", RackZoneId(rack));
  dao::Recordset rs = q.OpenRecordset();
  if (n > 0) rs.GetRows(pairs.data(), sizeof(AnalogPatchRow), n, kAnalogPatchBindings);
  return pairs;
}

void CTKZDoc::TransferAnalogPatch(InProcRequest* request) {
  const bool download = request->RequestSubType == kSubTypeDownload;
  RackList racks;
  GetRackList(request->ZoneID, racks);
  CopyFieldText(m_RequestRow.RequestDiagnostic, sizeof m_RequestRow.RequestDiagnostic,
                download ? "Analog patch download request started" : "Analog patch upload request started");
  for (uint32_t rack : racks) {
    const int32_t outputs = GetRackOutputCount(static_cast<int32_t>(rack));
    if (outputs < 1 || outputs > kMaxOutputs) {
      // Nothing to carry for this rack: the request fails with the reason,
      // the other racks are still served.
      if (request->Rcode == RC_OK) {
        request->Rcode = RC_NO_RACK;
        request->message.Set("Error: Rack %d has no outputs configured.", static_cast<int32_t>(rack));
      }
      continue;
    }
    const size_t n = static_cast<size_t>(outputs);
    RackMsg* msg = NewRackMsg(request);
    msg->Rack = rack;
    msg->count = outputs;
    if (download) {
      try {
        msg->data = ReadAnalogPatch(static_cast<int32_t>(rack), n);
      } catch (const dao::Error& e) {
        // The message was never sent: DBExceptionDiag frees it and stops
        // waiting for it.
        DBExceptionDiag(request, kLineAnalogPatch, e.number(), e.description().c_str());
        continue;
      }
      theComm.SetAnalogPatch(msg);
    } else {
      msg->data.assign(2 * n, 0);
      msg->docContinuation = [](CTKZDoc& doc, RackMsg* m, InProcRequest* r) { doc.AnalogPatchRows(m, r); };
      theComm.GetAnalogPatch(msg);
    }
  }
}

void CTKZDoc::AnalogPatchRows(RackMsg* msg, InProcRequest* request) {
  const size_t n = msg->count > 0 ? static_cast<size_t>(msg->count) : 0;
  if (msg->Rcode == RC_OK && m_Database && msg->data.size() >= 2 * n) {
    try {
      dao::QueryDef q = m_Database->QueryDefs("TKZqryAnalogPatch");
      q.SetParameter("ValueZoneID", RackZoneId(static_cast<int32_t>(msg->Rack)));
      dao::Recordset rs = q.OpenRecordset();
      for (size_t i = 0; i < n && !rs.IsEOF(); ++i, rs.MoveNext()) {
        AnalogPatchRow stored{};
        rs.ReadRow(&stored, sizeof stored, kAnalogPatchBindings);
        const uint8_t input = msg->data[2 * i];
        const uint8_t enable = msg->data[2 * i + 1];
        if (stored.AnalogIn == input && stored.AnalogInEnable == enable) continue;
        rs.Edit();
        rs.SetField("AnalogIn", input);
        rs.SetField("AnalogInEnable", FlagForDatabase(enable));
        rs.Update();
      }
    } catch (const dao::Error& e) {
      DBExceptionDiag(request, kLineAnalogPatch, e.number(), e.description().c_str());
    }
  }
  FreeRackMsg(msg);
  CompleteRequest(request);
}
