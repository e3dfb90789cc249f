// Operations many request handlers share: failing the request being
// dispatched, writing a bound row back, a rack's zone and output counts,
// the failure path after a database exception, and the Brevant channel map.
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <limits>

#include "Doc.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "TextField.h"

namespace {

// Longest database description kept in a request's text, so that the
// whole "Doc#%d: %d:%s" stays within the diagnostic column.
constexpr size_t kDiagDescriptionMax = 205;

#pragma pack(push, 1)
struct BvtChannelRow {
  uint8_t DimNumber;
  uint8_t BvtRoom;
  uint8_t BvtCh;
};
#pragma pack(pop)

constexpr dao::Binding kBvtChannelBindings[] = {
    {"DimNumber", dao::BindType::kU8, offsetof(BvtChannelRow, DimNumber), 1},
    {"BvtRoom", dao::BindType::kU8, offsetof(BvtChannelRow, BvtRoom), 1},
    {"BvtCh", dao::BindType::kU8, offsetof(BvtChannelRow, BvtCh), 1},
};

// Bytes a binding reads from the row buffer.
size_t BoundSize(const dao::Binding& b) {
  switch (b.type) {
    case dao::BindType::kI16: return 2;
    case dao::BindType::kI32: return 4;
    case dao::BindType::kU8: return 1;
    case dao::BindType::kDate: return sizeof(double);
    case dao::BindType::kText: return b.size;
  }
  return 0;
}

}  // namespace

void CTKZDoc::FailRequest(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatLogText(format, args);
  va_end(args);
  CopyFieldText(m_RequestRow.RequestDiagnostic, sizeof m_RequestRow.RequestDiagnostic, text);
  LogPrintf("%s\n", m_RequestRow.RequestDiagnostic);
  m_RequestRow.RequestState = REQUEST_STATE_FAILED;
}

void CTKZDoc::WriteBoundRow(dao::Recordset& recordset, const void* row, size_t rowSize,
                            std::span<const dao::Binding> bindings) {
  const auto* base = static_cast<const uint8_t*>(row);
  for (const dao::Binding& b : bindings) {
    const size_t size = BoundSize(b);
    if (b.column == nullptr || size == 0 || b.offset > rowSize || size > rowSize - b.offset)
      dao::Throw(dao::kErrInvalidArgument, "A binding does not fit the row buffer.");
    const uint8_t* at = base + b.offset;
    dao::Variant value;
    switch (b.type) {
      case dao::BindType::kI16: {
        int16_t v;
        std::memcpy(&v, at, sizeof v);
        value = v;
        break;
      }
      case dao::BindType::kI32: {
        int32_t v;
        std::memcpy(&v, at, sizeof v);
        value = v;
        break;
      }
      case dao::BindType::kU8:
        value = static_cast<uint8_t>(*at);
        break;
      case dao::BindType::kDate: {
        double v;
        std::memcpy(&v, at, sizeof v);
        if (std::isfinite(v)) value = dao::OleDate{v};  // else NULL
        break;
      }
      case dao::BindType::kText:
        value = std::string(reinterpret_cast<const char*>(at), strnlen(reinterpret_cast<const char*>(at), size));
        break;
    }
    recordset.SetField(b.column, value);
  }
}

int32_t CTKZDoc::GetRackOutputCount(int32_t rack) {
  ReloadRackConfig(rack);
  const RackInfo* info = FindRackInfo(rack);
  if (info == nullptr) return 0;
  const int64_t sum = static_cast<int64_t>(info->DigitalDimsFitted) + info->AnalogOutputs;
  if (sum > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (sum < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(sum);
}

int32_t CTKZDoc::GetRackDigitalDims(int32_t rack) {
  ReloadRackConfig(rack);
  const RackInfo* info = FindRackInfo(rack);
  return info != nullptr ? info->DigitalDimsFitted : 0;
}

int32_t CTKZDoc::GetRackZone(int32_t rack) {
  const RackInfo* info = FindRackInfo(rack);
  return info != nullptr ? static_cast<int32_t>(info->ZoneParentID) : 0;
}

uint8_t CTKZDoc::BvtChannelDimmer(int room, int channel) const {
  if (room < 1 || room > kBvtRooms || channel < 1 || channel > kBvtChannels) return kBvtNoDimmer;
  return m_BvtChannelMap[room - 1][channel - 1];
}

void CTKZDoc::LoadBvtChannelMap(int32_t rack) {
  // The map describes this rack only: a read that fails leaves it without
  // a patched channel, never with another rack's dimmers.
  std::memset(m_BvtChannelMap, kBvtNoDimmer, sizeof m_BvtChannelMap);
  if (!m_Database) return;
  try {
    dao::QueryDef q = m_Database->QueryDefs("TKZqryBvtChannels");
    q.SetParameter("ValueZoneID", RackZoneId(rack));
    dao::Recordset rs = q.OpenRecordset();
    const int32_t outputs = GetRackOutputCount(rack);
    const size_t want = outputs <= 0 ? 0 : std::min<size_t>(static_cast<size_t>(outputs), kBvtChannelRowsMax);
    BvtChannelRow rows[kBvtChannelRowsMax] = {};
    const size_t n = want > 0 ? rs.GetRows(rows, sizeof rows[0], want, kBvtChannelBindings) : 0;

    bool taken[kBvtRooms][kBvtChannels] = {};
    for (size_t i = 0; i < n; ++i) {
      const int room = rows[i].BvtRoom;
      const int channel = rows[i].BvtCh;
      if (room < 1 || room > kBvtRooms || channel < 1 || channel > kBvtChannels) continue;
      if (taken[room - 1][channel - 1]) continue;  // the first row in the order read wins
      taken[room - 1][channel - 1] = true;
      m_BvtChannelMap[room - 1][channel - 1] = static_cast<uint8_t>(rows[i].DimNumber - 1);
    }
  } catch (const dao::Error& e) {
    LogDbError(kDocLineBvtChannelMap, e);
  }
}

void DBExceptionDiag(InProcRequest* request, int32_t line, int32_t code, const char* description) {
  const std::string copy(CutText(description != nullptr ? description : "", kDiagDescriptionMax));
  const int32_t number = code & 0xFFFF;
  LogPrintf("DBExceptionDiag Error: Doc#%d: %d:%s\n", line, number, copy.c_str());
  if (request == nullptr) return;
  request->message.Set("Doc#%d: %d:%s", line, number, CompletionArg::Text(copy));
  request->Rcode = RC_DB_EXCEPTION;
  if (request->lastMsg != nullptr) {
    // Allocated for the request and never handed over: it will not come
    // back, so it is not waited for.
    FreeRackMsg(request->lastMsg);
    request->lastMsg = nullptr;
    if (request->expected > 0) --request->expected;
  }
}
