// The request engine's routing of a returned IO_FTP job.
#include "Doc.h"
#include "IoFtpRequest.h"
#include "LogSink.h"

void CTKZDoc::OnIoFtpDone(IoFtpRequest* job) {
  if (job == nullptr) return;
  // Counted like a returned rack message (first failure kept); an unknown
  // ReqNum has been logged.
  InProcRequest* request = CountResponse(job->ReqNum, job->Rcode, job->target, job->result);
  if (request == nullptr) {
    delete job;
    return;
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
