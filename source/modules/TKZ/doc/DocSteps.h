// What the rack configuration steps share (DocRackConfig.cpp,
// DocConfigSteps.cpp, DocPresetSteps.cpp): the line numbers of their
// database error texts, little-endian access to message buffers, row reads
// and the rack zone's queries, the frame of an upload's write-back, and the
// small rules every step applies to a message it is handed.  UI thread only.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "Doc.h"
#include "DocRequest.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "dao/binding.h"
#include "dao/database.h"
#include "dao/errors.h"
#include "dao/querydef.h"
#include "dao/recordset.h"

namespace docsteps {

// Line numbers of the "Doc#%d: ..." texts, one per function.
inline constexpr int kLineDriver = 2169;
inline constexpr int kLineRackConfigStart = 2234;
inline constexpr int kLineRackConfigStore = 2276;
inline constexpr int kLineRackModuleStart = 2364;
inline constexpr int kLineRackModuleStore = 2448;
inline constexpr int kLineDimmerConfigStart = 2532;
inline constexpr int kLineDimmerConfigStore = 2622;
inline constexpr int kLineDimFaultStart = 2698;
inline constexpr int kLineDimFaultStore = 2778;
inline constexpr int kLineQxvLevelsStart = 2863;
inline constexpr int kLineQxvLevelsStore = 2982;
inline constexpr int kLineQxvFadeTimes = 3119;
inline constexpr int kLineMuxPatchStart = 3209;
inline constexpr int kLineMuxPatchStore = 3275;
inline constexpr int kLineCircuitPatch = 3405;
inline constexpr int kLineBrevantPatch = 3517;
inline constexpr int kLineBrevantFadeTimes = 3670;
inline constexpr int kLineBrevantLevels = 3982;
inline constexpr int kLineRoomLink = 4143;
inline constexpr int kLineUserCurve = 4294;
inline constexpr int kLineRelayCycles = 4386;
inline constexpr int kLineZoneTree = 5290;

// A rack has at most this many outputs (indexes are one byte on the wire).
inline constexpr int32_t kMaxOutputs = 256;

inline bool IsUpload(const InProcRequest* request) { return request->RequestSubType != 0; }

// Output count bounded to 0..kMaxOutputs.
inline int32_t BoundOutputs(int32_t n) { return n < 0 ? 0 : n > kMaxOutputs ? kMaxOutputs : n; }

// DimIDs of a rack lie strictly between rack x 1000 and rack x 1000 + 999.
inline int32_t MinDimId(uint32_t rack) { return static_cast<int32_t>(rack & 0xFFFF) * 1000; }
inline int32_t MaxDimId(uint32_t rack) { return MinDimId(rack) + 999; }

// A message handed to a continuation is no longer the request's unsent one.
inline void Adopt(RackMsg* msg, InProcRequest* request) {
  if (request != nullptr && request->lastMsg == msg) request->lastMsg = nullptr;
}

// Items of `itemSize` bytes the message's buffer holds: its count, bounded
// by the buffer.
inline size_t HeldItems(const RackMsg* msg, size_t itemSize) {
  return std::min(static_cast<size_t>(std::max(msg->count, 0)), msg->data.size() / itemSize);
}

// Up to `max` rows of the recordset from its current row.  Throws dao::Error.
template <typename Row>
std::vector<Row> ReadRows(dao::Recordset& rs, size_t max, std::span<const dao::Binding> bindings) {
  std::vector<Row> rows(max);
  const size_t n = max > 0 ? rs.GetRows(rows.data(), sizeof(Row), max, bindings) : 0;
  rows.resize(n);
  return rows;
}

// The recordset of the stored query `name` for the rack's zone (parameter
// ValueZoneID).  Throws dao::Error.
inline dao::Recordset OpenRackZoneQuery(dao::Database& db, const char* name, uint32_t rack) {
  dao::QueryDef q = db.QueryDefs(name);
  q.SetParameter("ValueZoneID", RackZoneId(static_cast<int32_t>(rack)));
  return q.OpenRecordset();
}

// The "Doc#%d: ..." text of a database error at the given line.
inline void LogDiag(InProcRequest* request, int line, const dao::Error& e) {
  DBExceptionDiag(request, line, static_cast<int32_t>(e.code()), e.description().c_str());
}

// An upload's write-back: the message is no longer the request's unsent
// one; `write` runs only while the request and the message are both
// without failure, and a database error in it goes to the diagnostic line.
template <typename Write>
void StoreUpload(RackMsg* msg, InProcRequest* request, int diagLine, Write write) {
  Adopt(msg, request);
  if (request->Rcode != RC_OK || msg->Rcode != RC_OK) return;
  try {
    write();
  } catch (const dao::Error& e) {
    LogDiag(request, diagLine, e);
  }
}

// How a transfer step (one member both filling a download's message and
// writing back an upload's) ended: a download's message filled, to go on to
// its builder; a download's fill failed (the message is gone with the
// failure); or the message done with, to be handed on.
enum class TransferEnd { kFilled, kFailed, kDone };

// The frame of a transfer step: an upload's message is no longer the
// request's unsent one; `body` runs while the message is without failure
// and returns true when it filled a download's message; a database error in
// it goes to the diagnostic line.
template <typename Body>
TransferEnd RunTransfer(RackMsg* msg, InProcRequest* request, int diagLine, Body body) {
  const bool upload = IsUpload(request);
  if (upload) Adopt(msg, request);
  if (msg->Rcode != RC_OK) return TransferEnd::kDone;
  try {
    if (body()) return TransferEnd::kFilled;
  } catch (const dao::Error& e) {
    LogDiag(request, diagLine, e);  // a download's message is freed with it
    if (!upload) return TransferEnd::kFailed;
  }
  return TransferEnd::kDone;
}

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(Le16(p)) | (static_cast<uint32_t>(Le16(p + 2)) << 16);
}
inline void PutLe16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  PutLe16(b, off, static_cast<uint16_t>(v));
  PutLe16(b, off + 2, static_cast<uint16_t>(v >> 16));
}

}  // namespace docsteps
