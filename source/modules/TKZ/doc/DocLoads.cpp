// Learn loads and manual levels: a rack's learnt loads into tblDimConfig
// (request types 8 and 11), and the manual levels of a dimmer group sent to
// its racks (request type 5, macro action 3).
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Comm.h"
#include "Doc.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"

namespace {

constexpr int kDocLineStoreLearntLoads = 4632;
constexpr int kDocLineSetGroupLevels = 4727;
constexpr int kDocLineManualGroup = 4779;
constexpr int kDocLineSendManualLevels = 4836;

constexpr int32_t kRequestTypeLearnLoads = 8;
constexpr int kMaxRackOutputs = 256;
// DimIDs read per block from a dimmer group.
constexpr size_t kGroupBlock = 100;

#pragma pack(push, 1)
struct DimIdRow {
  int32_t DimID;
};
struct DimGroupRow {
  int32_t DimID;
  uint8_t ManualLevelEnable;
  uint8_t ManualLevel;
};
#pragma pack(pop)
static_assert(sizeof(DimGroupRow) == 6);

constexpr dao::Binding kDimIdBindings[] = {
    {"DimID", dao::BindType::kI32, offsetof(DimIdRow, DimID), 4},
};
constexpr dao::Binding kDimGroupBindings[] = {
    {"DimID", dao::BindType::kI32, offsetof(DimGroupRow, DimID), 4},
};
// Two bytes per channel: enable, level.
constexpr dao::Binding kManualLevelBindings[] = {
    {"ManualLevelEnable", dao::BindType::kU8, 0, 1},
    {"ManualLevel", dao::BindType::kU8, 1, 1},
};

// Appends the rack of a DimID unless it is the one appended last; a DimID
// that names no rack (1 to 256) is left out.
void AppendRackOf(std::vector<uint32_t>& racks, int32_t dimId) {
  const int32_t rack = dimId / 1000;
  if (dimId < 0 || rack < 1 || rack > kMaxRackOutputs) {
    LogPrintf("Error: Ignoring dimmer %d of a dimmer group: no such rack.\n", dimId);
    return;
  }
  if (racks.empty() || racks.back() != static_cast<uint32_t>(rack)) racks.push_back(static_cast<uint32_t>(rack));
}

}  // namespace

// ---- learn loads ----------------------------------------------------------------

void CTKZDoc::StartLearnLoads(InProcRequest* request) {
  if (request == nullptr) return;
  const int64_t rack = static_cast<int64_t>(request->ZoneID) - kRackZoneBase;
  if (rack < 1 || rack > 256) {
    FailRequest("Error: Zone %d is not a rack, loads not learnt.", request->ZoneID);
    return;
  }
  const int32_t dims = GetRackDigitalDims(static_cast<int32_t>(rack));
  RackMsg* msg = NewRackMsg(request);
  msg->Rack = static_cast<uint32_t>(rack);
  msg->count = dims;
  msg->index = request->RequestSubType;
  msg->docContinuation = &CTKZDoc::StoreLearntLoads;
  if (request->RequestType == kRequestTypeLearnLoads)
    theComm.LearnLoads(msg, GetRackType(RackZoneId(static_cast<int32_t>(rack))));
  else
    theComm.GetLearntLoads(msg);
}

void CTKZDoc::StoreLearntLoads(RackMsg* msg, InProcRequest* request) {
  if (msg != nullptr && request != nullptr && msg->Rcode == RC_OK) {
    const size_t count = msg->count > 0 ? static_cast<size_t>(msg->count) : 0;
    const uint8_t* reply = msg->Reply();
    if (reply == nullptr || msg->ReplySize() < 2 * count) {
      LogPrintf("Error: Learnt loads of rack %d: reply shorter than its %d dimmers.\n",
                static_cast<int>(msg->Rack), msg->count);
      request->Rcode = RC_INVALID_RESPONSE;
      request->message.Clear();
    } else if (m_Database) {
      try {
        dao::QueryDef q = m_Database->QueryDefs("TKZqryLearntWatts");
        q.SetParameter("ValueZoneID", request->ZoneID);
        dao::Recordset rs = q.OpenRecordset();
        for (size_t d = 0; d < count; ++d) {
          const int32_t watts = reply[2 * d] | (reply[2 * d + 1] << 8);
          rs.Edit();
          rs.SetField("LearntWattage", watts);
          rs.Update();
          rs.MoveNext();
        }
      } catch (const dao::Error& e) {
        DBExceptionDiag(request, kDocLineStoreLearntLoads, e.number(), e.description().c_str());
      }
    }
  }
  FreeRackMsg(msg);
  CompleteRequest(request);
}

// ---- manual levels --------------------------------------------------------------

void CTKZDoc::StartManualLevels(InProcRequest* request) {
  if (request == nullptr || !m_Database) return;
  std::vector<uint32_t> racks;
  try {
    dao::QueryDef q = m_Database->QueryDefs("TKZqryManualGroup");
    q.SetParameter("ValueDimGroupID", request->ZoneID);
    dao::Recordset rs = q.OpenRecordset();
    DimIdRow rows[kGroupBlock];
    for (size_t n; (n = rs.GetRows(rows, sizeof rows[0], kGroupBlock, kDimIdBindings)) > 0;)
      for (size_t i = 0; i < n; ++i) AppendRackOf(racks, rows[i].DimID);
  } catch (const dao::Error& e) {
    DBExceptionDiag(request, kDocLineManualGroup, e.number(), e.description().c_str());
    return;
  }
  SendManualLevels(racks, request);
}

void CTKZDoc::SetGroupManualLevels(InProcRequest* request, int32_t group, int32_t enable, int32_t level) {
  if (request == nullptr || !m_Database) return;
  if (level < 0 || level > 100) {
    LogPrintf("Error: Manual level %d%% of dimmer group %d out of range 0-100, not set.\n", level, group);
    return;
  }
  std::vector<uint32_t> racks;
  try {
    dao::QueryDef q = m_Database->QueryDefs("TKZqryDimGroup");
    q.SetParameter("ValueDimGroupID", group);
    dao::Recordset rs = q.OpenRecordset();
    for (; !rs.IsEOF(); rs.MoveNext()) {
      DimGroupRow row{};
      rs.ReadRow(&row, sizeof row, kDimGroupBindings);
      AppendRackOf(racks, row.DimID);
      rs.Edit();
      // Stored as the database's flag (-1 true, 0 false).
      rs.SetField("ManualLevelEnable", static_cast<int16_t>(enable != 0 ? -1 : 0));
      rs.SetField("ManualLevel", static_cast<int16_t>(level));
      rs.Update();
    }
  } catch (const dao::Error& e) {
    DBExceptionDiag(request, kDocLineSetGroupLevels, e.number(), e.description().c_str());
    return;
  }
  SendManualLevels(racks, request);
}

void CTKZDoc::SendManualLevels(std::span<const uint32_t> racks, InProcRequest* request) {
  if (request == nullptr || !m_Database) return;
  try {
    dao::QueryDef q = m_Database->QueryDefs("TKZqryManualLevels");
    std::optional<dao::Recordset> rs;
    for (uint32_t rack : racks) {
      const int32_t n = GetRackOutputCount(static_cast<int32_t>(rack));
      // A count outside 1-256 goes to the builder without data, which
      // refuses it: the request learns of it as a failed message.
      const size_t channels = n >= 1 && n <= kMaxRackOutputs ? static_cast<size_t>(n) : 0;
      std::vector<uint8_t> levels(2 * channels, 0);
      q.SetParameter("ValueZoneID", RackZoneId(static_cast<int32_t>(rack)));
      if (!rs)
        rs.emplace(q.OpenRecordset());
      else
        rs->Requery();
      if (channels > 0) rs->GetRows(levels.data(), 2, channels, kManualLevelBindings);
      RackMsg* msg = NewRackMsg(request);
      msg->Rack = rack;
      msg->count = n;
      msg->data = std::move(levels);
      theComm.SetManualLevelPairs(msg);
    }
  } catch (const dao::Error& e) {
    DBExceptionDiag(request, kDocLineSendManualLevels, e.number(), e.description().c_str());
  }
}
