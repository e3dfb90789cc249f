// The rack configuration process (request type 0): works the request's
// parameter rows one after another, starting the steps each row names over
// every rack of the request's zone, and takes the next row only when every
// message of the current one has come back.
#include <optional>
#include <string>

#include "Comm.h"
#include "DisplayFlags.h"
#include "Doc.h"
#include "DocRequestParams.h"
#include "DocSteps.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "TextField.h"

namespace {

// The process's record, held in the request's work pointer while it runs.
struct RackConfigProcess final : RequestWork {
  int32_t count = 0;              // parameter rows already started
  std::vector<uint32_t> racks;    // the racks of the request's zone
  int32_t value = 0;              // parameter value of the row being worked
  bool starting = false;          // the steps of a row are being started
  bool returned = false;          // a message of the process has come back
  uint32_t lastRack = 0;          // Rack of the message last come back
};

RackConfigProcess* ProcessOf(InProcRequest* request) {
  return request != nullptr ? dynamic_cast<RackConfigProcess*>(request->work.get()) : nullptr;
}

// The completion text of a parameter value; null for a value without steps.
const char* CompletionFormat(int32_t value) {
  switch (value) {
    case 1: return "Rack module map %s rack %d.";
    case 2: return "Rack configuration %s rack %d.";
    case 3: return "Dimmer configuration %s rack %d.";
    case 4: return "Circuit patch %s rack %d.";
    case 5: return "Mux patch %s rack %d.";
    case 6: return "QXV preset fade times %s rack %d.";
    case 7: return "QXV preset levels %s rack %d.";
    case 8: return "Brevant preset fade times %s rack %d.";
    case 9: return "Brevant preset levels %s rack %d.";
    case 10: return "User curves %s rack %d.";
    case 11: return "Brevant patch %s rack %d.";
    case 12: return "Brevant room link %s rack %d.";
    case 20: return "Complete rack configuration %s rack %d.";
    case 21: return "QXV presets %s rack %d.";
    case 22: return "Brevant presets %s rack %d.";
    default: return nullptr;
  }
}

}  // namespace

dao::Database& CTKZDoc::StepDb() {
  if (!m_Database) dao::Throw(dao::kErrInvalidArgument, "The database is not open.");
  return *m_Database;
}

void CTKZDoc::SetDownloadContinuation(RackMsg* msg, const InProcRequest* request) {
  if (request->RequestType == 0)
    msg->docContinuation = [](CTKZDoc& doc, RackMsg* m, InProcRequest* r) { doc.RunRackConfigProcess(m, r); };
  else
    msg->docContinuation = nullptr;
}

void CTKZDoc::SendStepMsg(RackMsg* msg, InProcRequest* request, StepBuilder get, StepBuilder set,
                          void (CTKZDoc::*store)(RackMsg*, InProcRequest*)) {
  if (docsteps::IsUpload(request)) {
    msg->docContinuation = [store](CTKZDoc& doc, RackMsg* m, InProcRequest* r) { (doc.*store)(m, r); };
    (theComm.*get)(msg);
  } else {
    SetDownloadContinuation(msg, request);
    (theComm.*set)(msg);
  }
  docsteps::Adopt(msg, request);
}

bool CTKZDoc::SendStepMsg(RackMsg* msg, InProcRequest* request, StepBuilder get, StepBuilder set,
                          bool (CTKZDoc::*transfer)(RackMsg*, InProcRequest*)) {
  if (docsteps::IsUpload(request)) {
    msg->docContinuation = [transfer](CTKZDoc& doc, RackMsg* m, InProcRequest* r) { (doc.*transfer)(m, r); };
    (theComm.*get)(msg);
  } else {
    if (!(this->*transfer)(msg, request)) return false;
    SetDownloadContinuation(msg, request);
    (theComm.*set)(msg);
  }
  docsteps::Adopt(msg, request);
  return true;
}

void CTKZDoc::HandOnStepMsg(RackMsg* msg, InProcRequest* request) {
  if (request != nullptr && request->RequestType == 0) return RunRackConfigProcess(msg, request);
  docsteps::Adopt(msg, request);
  FreeRackMsg(msg);
  CompleteRequest(request);
}

void CTKZDoc::RunRackConfigProcess(RackMsg* msg, InProcRequest* request) {
  if (request == nullptr) {
    FreeRackMsg(msg);
    return;
  }
  if (msg == nullptr) {
    auto process = std::make_unique<RackConfigProcess>();
    GetRackList(request->ZoneID, process->racks);
    const int racks = static_cast<int>(process->racks.size());
    request->work = std::move(process);
    const std::string text = std::string(request->RequestSubType != 0 ? "Upload" : "Download") +
                             " request process started for " + std::to_string(racks) + " racks";
    CopyFieldText(m_RequestRow.RequestDiagnostic, sizeof m_RequestRow.RequestDiagnostic, text);
    if (g_bDocDebug) LogPrintf("%s\n", text.c_str());
    RunRackConfigRows(request, true);
    return;
  }

  const uint32_t rack = msg->Rack;
  docsteps::Adopt(msg, request);
  FreeRackMsg(msg);
  RackConfigProcess* process = ProcessOf(request);
  if (process == nullptr) {
    // The process has ended already: nothing more to start.
    CompleteRequest(request);
    return;
  }
  process->returned = true;
  process->lastRack = rack;
  // While a row's steps are being started, a message that comes back at
  // once is only counted: the start decides once it is done.
  if (process->starting) return;
  if (request->received < request->expected) return;
  RunRackConfigRows(request, false);
}

void CTKZDoc::RunRackConfigRows(InProcRequest* request, bool firstCall) {
  bool rowDone = !firstCall;  // false only for the first row of the first call
  for (;;) {
    RackConfigProcess* process = ProcessOf(request);
    if (process == nullptr) return;
    if (rowDone) {
      if (request->Rcode != RC_OK) {
        request->work.reset();
        CompleteRequest(request);
        return;
      }
      ++process->count;
      request->received = 0;
      request->expected = 0;
    }
    rowDone = true;

    RequestParamRow row{};
    bool atEnd = false;
    try {
      if (!m_qdRequestParm || !m_rsRequestParm) dao::Throw(dao::kErrInvalidArgument, "The database is not open.");
      m_qdRequestParm->SetParameter("ValueRID", request->RID);
      m_rsRequestParm->Requery();
      if (process->count > 0 && !m_rsRequestParm->IsEOF()) m_rsRequestParm->Move(process->count);
      atEnd = m_rsRequestParm->IsEOF();
      if (!atEnd) m_rsRequestParm->ReadRow(&row, sizeof row, kRequestParamBindings);
    } catch (const dao::Error& e) {
      DBExceptionDiag(request, docsteps::kLineDriver, static_cast<int32_t>(e.code()), e.description().c_str());
      request->work.reset();
      CompleteRequest(request);
      return;
    }

    if (atEnd) {
      // A text that a successful reply carried stays; without any returned
      // message there is no rack to name and the default text applies.
      if (request->message.empty() && process->returned) {
        if (const char* format = CompletionFormat(process->value))
          request->message.Set(format, CompletionArg::Text(request->RequestSubType != 0 ? "retrieved from" : "set in"),
                               static_cast<int32_t>(process->lastRack));
      }
      request->work.reset();
      CompleteRequest(request);
      return;
    }

    const std::optional<int32_t> parsed = ParamInt(row);
    const int32_t value = parsed.value_or(0);
    process->value = value;
    const char* refusal = nullptr;
    int32_t refusalArg = 0;
    if (request->RequestSubType != 0 && request->RequestSubType != 1) {
      refusal = "Invalid Request subtype %d";
      refusalArg = request->RequestSubType;
    } else if (!parsed || CompletionFormat(value) == nullptr) {
      refusal = "Invalid parameter value %d";
      refusalArg = value;
    }
    if (refusal != nullptr) {
      request->work.reset();
      if (firstCall) {
        FailRequest(refusal, refusalArg);  // the dispatch drops the request and writes its row
      } else {
        // No dispatch is waiting: the request ends here, failed, with the text.
        request->message.Set(refusal, refusalArg);
        LogPrintf("%s\n", request->message.Format().c_str());
        request->Rcode = RC_COMM_FAILURE;
        CompleteRequest(request);
      }
      return;
    }

    // Start the row's steps; the list is copied so that nothing a step
    // does can take it from under the loop.
    const std::vector<uint32_t> racks = process->racks;
    process->starting = true;
    switch (value) {
      case 1: SendRackModule(racks, request); break;
      case 2: SendRackConfig(racks, request); break;
      case 3:
        SendDimmerConfig(racks, request);
        SendDimmerFaultConfig(racks, request);
        break;
      case 4: SendCircuitPatch(racks, request); break;
      case 5: SendMuxPatch(racks, request); break;
      case 6: SendQXVFadeTimes(racks, request, -1); break;
      case 7: SendQXVLevels(racks, request, -1); break;
      case 8: SendBrevantFadeTimes(racks, request, -1, 1); break;
      case 9: SendBrevantLevels(racks, request, -1, -1); break;
      case 10: SendUserCurves(racks, request, -1); break;
      case 11: SendBrevantPatch(racks, request); break;
      case 12: SendRoomLink(racks, request); break;
      case 20:
        SendRackModule(racks, request);
        SendRackConfig(racks, request);
        SendDimmerConfig(racks, request);
        SendDimmerFaultConfig(racks, request);
        SendCircuitPatch(racks, request);
        SendMuxPatch(racks, request);
        SendUserCurves(racks, request, -1);
        SendRoomLink(racks, request);
        break;
      case 21:
        SendQXVLevels(racks, request, -1);
        SendQXVFadeTimes(racks, request, -1);
        break;
      case 22:
        SendBrevantFadeTimes(racks, request, -1, 1);
        SendBrevantLevels(racks, request, -1, -1);
        break;
      default: break;
    }
    process->starting = false;
    if (firstCall)
      CopyFieldText(m_RequestRow.RequestDiagnostic, sizeof m_RequestRow.RequestDiagnostic,
                    "Load request process started");

    if (request->received < request->expected) return;  // messages are out
    if (firstCall && racks.empty()) {
      // A zone without racks: the dispatch completes the request at once.
      request->work.reset();
      return;
    }
    // Every message of the row is back already (or the row sent none):
    // the row is done; take the next.
  }
}
