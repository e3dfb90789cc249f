// The request engine's routing of a returned IO_FTP job.
#include "Doc.h"
#include "IoFtpRequest.h"
#include "LogSink.h"

void CTKZDoc::OnIoFtpDone(IoFtpRequest* job) {
  if (job == nullptr) return;
  InProcRequest* request = FindRequest(job->ReqNum);
  if (request == nullptr) {
    LogPrintf("Unknown ReqNum %d ignored.\n", static_cast<int>(job->ReqNum));
    delete job;
    return;
  }
  ++request->received;
  // The first failure stays; a success replaces an earlier success's text.
  if (request->Rcode == 0) {
    request->Rcode = job->Rcode;
    request->failingStep = static_cast<uint32_t>(job->target);
    if (!job->result.empty()) request->message = job->result;
  }
  if (job->docContinuation != nullptr) {
    // The continuation owns the job from here on.
    (this->*job->docContinuation)(job, request);
    return;
  }
  delete job;
  CompleteRequest(request);
}

void DocIoFtpDone(IoFtpRequest* job) {
  if (g_pDoc != nullptr)
    g_pDoc->OnIoFtpDone(job);
  else
    delete job;
}
