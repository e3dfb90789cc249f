// The request engine's records and completion: in-process requests, their
// rack messages, completion and the write-back of a request's row.
#include <cstdio>

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
  // The poll and dispatch of pending requests come with the request engine.
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

void CTKZDoc::WriteBack(InProcRequest* request, int16_t state) {
  if (!m_qdRequestRID) return;
  try {
    m_qdRequestRID->SetParameter("ValueRID", request->RID);
    dao::Recordset rs = m_qdRequestRID->OpenRecordset();
    rs.ReadRow(&m_RequestRow, sizeof m_RequestRow, kRequestRowBindings);
    rs.Edit();
    m_RequestRow.RequestState = state;
    // The column holds 254 characters: the text is cut, never refused.
    CopyFieldText(m_RequestRow.RequestDiagnostic, sizeof m_RequestRow.RequestDiagnostic,
                  request->message.Format());
    if (g_bDocDebug && (state == REQUEST_STATE_SUCCEEDED || state == REQUEST_STATE_FAILED))
      LogPrintf("Request %d %s, \"%s\"\n", request->RID,
                state == REQUEST_STATE_SUCCEEDED ? "succeeded" : "failed",
                m_RequestRow.RequestDiagnostic);
    rs.SetField("RequestState", m_RequestRow.RequestState);
    rs.SetField("RequestDiagnostic", std::string(m_RequestRow.RequestDiagnostic));
    rs.Update();
  } catch (const dao::Error& e) {
    LogDbError(kDocLineWriteBack, e);
  }
}
