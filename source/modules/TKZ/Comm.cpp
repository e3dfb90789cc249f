#include "Comm.h"

#include "RackMsg.h"

CComm theComm;

bool CComm::EndOnError(RackMsg* msg) {
  if (msg->Rcode == 0) return false;
  DocRackMsgDone(msg);
  return true;
}

void CComm::Finish(RackMsg* msg, const char* format, CompletionArg a0, CompletionArg a1,
                   CompletionArg a2) {
  msg->rackContinuation = nullptr;
  if (format != nullptr) msg->completion.Set(format, std::move(a0), std::move(a1), std::move(a2));
  DocRackMsgDone(msg);
}
