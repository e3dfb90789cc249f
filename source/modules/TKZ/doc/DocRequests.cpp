// The request engine: the poll and dispatch of pending request rows, the
// in-process requests and their rack messages, the response routing,
// completion and the write-back of a request's row; the refresh of the
// resident tables (type 4) and the termination request (type 7).
#include <climits>
#include <cstdio>
#include <string>

#include "DisplayFlags.h"
#include "Doc.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "TextField.h"

namespace {

// Re-entry counter of the timer callback (process-wide).
int s_nTimerReentry = 0;

struct ReentryGuard {
  ReentryGuard() { ++s_nTimerReentry; }
  ~ReentryGuard() { --s_nTimerReentry; }
  ReentryGuard(const ReentryGuard&) = delete;
  ReentryGuard& operator=(const ReentryGuard&) = delete;
};

}  // namespace

int CTKZDoc::OnTimerCallback(void* ctx, uint32_t /*timerId*/) {
  auto* doc = static_cast<CTKZDoc*>(ctx);
  const bool first = s_nTimerReentry == 0;
  ReentryGuard guard;
  if (first && doc != nullptr) {
    doc->PollRequests();
    doc->RunDueEvents();
  }
  return 0;
}

void CTKZDoc::PollRequests() {
  RetryKeptWrites();
  if (!m_rsPending) return;
  try {
    m_rsPending->Requery();
    bool goOn = true;
    while (goOn && !m_rsPending->IsEOF()) {
      try {
        goOn = ClaimAndDispatch();
      } catch (const dao::Error& e) {
        // A row deleted by its requester since the requery is passed over;
        // any other error ends this poll.
        if (e.number() != dao::kErrRecordDeleted) throw;
      }
      m_rsPending->MoveNext();
    }
  } catch (const dao::Error& e) {
    LogDbError(kDocLinePollRequests, e);
  }
}

bool CTKZDoc::RefuseOutOfRangeRid() {
  // The i32 binding holds a RID outside its range at INT32_MIN or
  // INT32_MAX; only then is the column read whole.
  if (m_RequestRow.RID > 0 && m_RequestRow.RID < INT32_MAX) return false;
  const int64_t rid = m_rsPending->GetField("RID").AsInt();
  if (rid >= 1 && rid <= INT32_MAX) return false;
  char text[kRequestDiagnosticSize];
  std::snprintf(text, sizeof text, "Error: RID %lld is outside 1 to 2147483647; the request is not run.",
                static_cast<long long>(rid));
  if (m_RefusedRids.insert(rid).second)
    LogPrintf("Error: Request row with RID %lld refused: a RID must lie in 1 to 2147483647.\n",
              static_cast<long long>(rid));
  // Through the pending recordset, whose keyset holds the row's whole key.
  try {
    m_rsPending->Edit();
    m_rsPending->SetField("RequestState", REQUEST_STATE_FAILED);
    m_rsPending->SetField("RequestDiagnostic", std::string(text));
    m_rsPending->UpdateIf("RequestState", REQUEST_STATE_PENDING);
  } catch (const dao::Error& e) {
    // A row that refuses the change for good is passed over from now on;
    // otherwise the poll ends and a later one fails the row.
    if (WriteCanLandLater(e)) throw;
    return true;
  }
  m_RefusedRids.erase(rid);  // the row is no longer pending
  return true;
}

bool CTKZDoc::ClaimAndDispatch() {
  m_RequestRow = TKZRequestRow{};
  m_rsPending->ReadRow(&m_RequestRow, sizeof m_RequestRow, kRequestRowBindings);
  // The set is fixed at the requery: a row another program has changed
  // since is no longer pending.
  if (m_RequestRow.RequestState != REQUEST_STATE_PENDING) return true;
  if (RefuseOutOfRangeRid()) return true;
  m_rsPending->Edit();
  m_rsPending->SetField("RequestState", REQUEST_STATE_IN_PROCESS);
  if (!m_rsPending->UpdateIf("RequestState", REQUEST_STATE_PENDING)) return true;
  m_RequestRow.RequestState = REQUEST_STATE_IN_PROCESS;

  if (m_qdRequestParm) m_qdRequestParm->SetParameter("ValueRID", m_RequestRow.RID);

  InProcRequest* request = AddRequest();
  request->RID = m_RequestRow.RID;
  request->RequestType = m_RequestRow.RequestType;
  request->RequestSubType = m_RequestRow.RequestSubType;
  request->ZoneID = m_RequestRow.ZoneID;
  const uint32_t reqNum = request->ReqNum;
  const int32_t rid = m_RequestRow.RID;

  // Until its row is written below, the request's completion leaves its
  // result in the row buffer (WriteBack).
  m_nDispatchReqNum = reqNum;
  try {
    DispatchRequest(request);
  } catch (const dao::Error& e) {
    // A handler's own database work is inside its own handler; one that
    // escapes still ends the request, failed, instead of leaving it waiting.
    if (InProcRequest* r = FindRequest(reqNum))
      DBExceptionDiag(r, kDocLinePollRequests, e.number(), e.description().c_str());
  }

  // The handler (or a completion during it) may have ended the request.
  if (InProcRequest* r = FindRequest(reqNum)) {
    if (m_RequestRow.RequestState == REQUEST_STATE_IN_PROCESS)
      RequestSent(r);
    else
      FreeRequest(r);
  }
  m_nDispatchReqNum = 0;

  const std::string text(m_RequestRow.RequestDiagnostic);
  try {
    m_rsPending->Edit();
    m_rsPending->SetField("RequestState", m_RequestRow.RequestState);
    m_rsPending->SetField("RequestDiagnostic", text);
    m_rsPending->Update();
    m_Kept.requests.erase(rid);
  } catch (const dao::Error& e) {
    // The request ended (or stays in process) whatever the database says:
    // what the row is to show waits for a later tick, and this poll ends.
    LogDbError(kDocLinePollRequests, e);
    KeepRequestResult(rid, m_RequestRow.RequestState, text, e);
    return !WriteCanLandLater(e);
  }
  return true;
}

namespace {

// The text the dispatch writes for a request its handler accepted.
void SetDiagnostic(TKZRequestRow& row, const char* format, int32_t arg = 0) {
  char text[kRequestDiagnosticSize];
  std::snprintf(text, sizeof text, format, arg);
  CopyFieldText(row.RequestDiagnostic, sizeof row.RequestDiagnostic, text);
}

constexpr int16_t kLastRequestType = 20;
constexpr int16_t kUnknownRequestType = 13;

}  // namespace

void CTKZDoc::DispatchRequest(InProcRequest* request) {
  const int16_t type = m_RequestRow.RequestType;
  const int32_t subType = m_RequestRow.RequestSubType;
  // The text a handler that keeps the request in process leaves to the
  // dispatch; a handler that ended the request keeps its own.
  const char* text = nullptr;
  int32_t textArg = 0;
  switch (type < 0 || type > kLastRequestType ? kUnknownRequestType : type) {
    case 0: RunRackConfigProcess(nullptr, request); break;
    case 1: OnQXVPresetRequest(request); break;
    case 2: OnBrevantPresetRequest(request); break;
    case 3:
      request->flags |= REQ_FLAG_MACRO | REQ_FLAG_MACRO_REQUEST;
      request->parent = request;
      request->MacroID = request->ZoneID;
      RunMacroSteps(request);
      text = "Macro %d started";
      textArg = request->ZoneID;
      break;
    case 4: OnRefreshRequest(request); break;
    case 5:
      StartManualLevels(request);
      text = "Manual level request process started";
      break;
    case 6:
      SendNetworkPatch(nullptr, request);
      text = "Network patch upload process started";
      break;
    case 7:
      RequestTermination(request);
      text = "TKZ terminating, please wait";
      break;
    case 8:
      StartLearnLoads(request);
      text = "Learning rack load(s)";
      break;
    case 9: OnRelayCycleRequest(request); break;
    case 10:
      if (subType == 20 || subType == 21)
        TransferAnalogPatch(request);
      else if (subType == 22 || subType == 23)
        OnCleanerRequest(request);
      else
        FailRequest("Invalid Request subtype %d", subType);
      break;
    case 11:
      StartLearnLoads(request);
      text = "Retrieving learnt loads from rack";
      break;
    case 12:
      OnRoomLinkRequest(request);
      text = "Brevant Room link request process started";
      break;
    case 20: break;  // completes at once: "Complete."
    default: FailRequest("Error: Unknown or unimplemented TKZ request type %d.", type); break;
  }
  if (text != nullptr && m_RequestRow.RequestState == REQUEST_STATE_IN_PROCESS)
    SetDiagnostic(m_RequestRow, text, textArg);
}

void CTKZDoc::RequestTermination(InProcRequest* request) {
  if (m_pTerminateRequest != nullptr) {
    FailRequest("Duplicate TKZ termination request ignored.");
    return;
  }
  // The frame closes, and with it the document, only once the comm thread
  // has shut down: without one the request could never end.
  if (!Comm().PostShutdown()) {
    FailRequest("Error: TKZ termination refused: the communications could not be asked to shut down.");
    return;
  }
  m_pTerminateRequest = request;
  request->expected = 1;
  SetDiagnostic(m_RequestRow, "TKZ terminating, please wait");
}

InProcRequest* CTKZDoc::AddRequest() {
  auto request = std::make_unique<InProcRequest>();
  request->ReqNum = m_nNextReqNum++;
  InProcRequest* raw = request.get();
  m_ReqMap[raw->ReqNum] = std::move(request);
  return raw;
}

InProcRequest* CTKZDoc::FindRequest(uint32_t reqNum) {
  auto it = m_ReqMap.find(reqNum);
  return it != m_ReqMap.end() ? it->second.get() : nullptr;
}

void CTKZDoc::FreeRequest(InProcRequest* request) {
  if (request == nullptr) return;
  if (request == m_pTerminateRequest) m_pTerminateRequest = nullptr;
  auto it = m_ReqMap.find(request->ReqNum);
  if (it != m_ReqMap.end() && it->second.get() == request)
    m_ReqMap.erase(it);
  else
    delete request;
}

RackMsg* CTKZDoc::NewRackMsg(InProcRequest* request) {
  RackMsg* msg = AllocRackMsg();
  msg->ReqNum = request->ReqNum;
  msg->target = request->step;
  request->lastMsg = msg;
  ++request->expected;
  return msg;
}

void CTKZDoc::OnRackMsgHandedOff(uint32_t reqNum, const RackMsg* msg) {
  // Only the UI thread's own hand-offs concern the requests; the comm
  // thread's own messages never touch the document.
  if (reqNum == 0 || std::this_thread::get_id() != m_OwnerThread) return;
  InProcRequest* request = FindRequest(reqNum);
  if (request != nullptr && request->lastMsg == msg) request->lastMsg = nullptr;
}

InProcRequest* CTKZDoc::CountResponse(uint32_t reqNum, uint16_t rcode, int32_t target,
                                      const CompletionText& completion) {
  InProcRequest* request = FindRequest(reqNum);
  if (request == nullptr) {
    LogPrintf("Unknown ReqNum %d ignored.\n", static_cast<int>(reqNum));
    return nullptr;
  }
  ++request->received;
  if (request->Rcode == RC_OK) {
    request->Rcode = rcode;
    request->failingStep = static_cast<uint32_t>(target);
    if (!completion.empty())
      request->message = completion;
    else if (rcode != RC_OK)
      request->message.Clear();  // an earlier success's text does not describe the failure
  }
  return request;
}

void CTKZDoc::OnRackMsgDone(RackMsg* msg) {
  if (msg == nullptr) return;
  InProcRequest* request = CountResponse(msg->ReqNum, msg->Rcode, msg->target, msg->completion);
  if (request == nullptr) {
    FreeRackMsg(msg);
    return;
  }
  request->Rack = msg->Rack;
  // A message a builder handed back without sending it is no longer the
  // request's unsent one.
  if (request->lastMsg == msg) request->lastMsg = nullptr;
  if (RunDocContinuation(*this, msg, request)) return;
  FreeRackMsg(msg);
  CompleteRequest(request);
}

void CTKZDoc::RequestSent(InProcRequest* request) {
  request->flags |= REQ_FLAG_SENT;
  if (request->received >= request->expected) CompleteRequest(request);
}

void CTKZDoc::CompleteRequest(InProcRequest* request) {
  if (request == nullptr) return;
  if (request->received < request->expected || (request->flags & REQ_FLAG_SENT) == 0) return;

  int16_t state;
  if (request->Rcode == RC_OK) {
    state = REQUEST_STATE_SUCCEEDED;
    if (request->message.empty()) request->message.Set("Complete.");
  } else {
    state = (request->Rcode == RC_CANCELLED_BY_USER || request->Rcode == RC_CANCELLED_BY_SHUTDOWN)
                ? REQUEST_STATE_CANCELLED
                : REQUEST_STATE_FAILED;
    if (request->message.empty()) {
      if (const char* text = RcodeText(request->Rcode))
        request->message.Set("%s", CompletionArg::Text(text));
      else
        request->message.Set("Request failed, Rcode = 0x%04X", static_cast<int32_t>(request->Rcode));
    }
  }

  InProcRequest* parent = request->parent;
  if ((request->flags & REQ_FLAG_CHILD) != 0 && parent != nullptr && parent != request) {
    ++parent->received;
    if (parent->Rcode == RC_OK) {
      parent->Rcode = request->Rcode;
      parent->message = request->message;
    }
    CompleteRequest(parent);
  } else if ((request->flags & REQ_FLAG_SCHEDULED) != 0) {
    WriteScheduleState(request, state);
  } else {
    WriteBack(request, state);
  }
  FreeRequest(request);
}

bool CTKZDoc::WriteRequestResult(TKZRequestRow& row, int32_t rid, int16_t state, const std::string& text,
                                 bool onlyInProcess) {
  m_qdRequestRID->SetParameter("ValueRID", rid);
  dao::Recordset rs = m_qdRequestRID->OpenRecordset();
  rs.ReadRow(&row, sizeof row, kRequestRowBindings);
  if (onlyInProcess && row.RequestState != REQUEST_STATE_IN_PROCESS) return false;
  rs.Edit();
  row.RequestState = state;
  // The column holds 254 characters: the text is cut, never refused.
  CopyFieldText(row.RequestDiagnostic, sizeof row.RequestDiagnostic, text);
  rs.SetField("RequestState", row.RequestState);
  rs.SetField("RequestDiagnostic", std::string(row.RequestDiagnostic));
  if (onlyInProcess) return rs.UpdateIf("RequestState", REQUEST_STATE_IN_PROCESS);
  rs.Update();
  return true;
}

bool CTKZDoc::StoreRequestResult(int32_t rid, int16_t state, const std::string& text) {
  if (!m_qdRequestRID) return false;
  try {
    TKZRequestRow row{};
    WriteRequestResult(row, rid, state, text, false);
    m_Kept.requests.erase(rid);
    return true;
  } catch (const dao::Error& e) {
    LogDbError(kDocLineWriteBack, e);
    KeepRequestResult(rid, state, text, e);
    return false;
  }
}

void CTKZDoc::WriteBack(InProcRequest* request, int16_t state) {
  if (!m_qdRequestRID) return;
  char text[kRequestDiagnosticSize];
  CopyFieldText(text, sizeof text, request->message.Format());
  if (g_bDocDebug && (state == REQUEST_STATE_SUCCEEDED || state == REQUEST_STATE_FAILED))
    LogPrintf("Request %d %s, \"%s\"\n", request->RID, state == REQUEST_STATE_SUCCEEDED ? "succeeded" : "failed",
              text);
  if (request->ReqNum == m_nDispatchReqNum) {
    // Its own dispatch writes the row buffer when the handler has returned.
    m_RequestRow.RequestState = state;
    CopyFieldText(m_RequestRow.RequestDiagnostic, sizeof m_RequestRow.RequestDiagnostic, text);
    return;
  }
  StoreRequestResult(request->RID, state, text);
}
