// Test support: the request engine's routing of a message that comes back
// to the document, for fixtures that play the engine on the test thread.
#pragma once

#include "Doc.h"
#include "RackMsg.h"
#include "RcCodes.h"

// Counts the message in to its request, keeps its outcome when it is the
// request's first failure (or its completion text), then runs its document
// continuation or frees it and completes the request.  False, with the
// message freed, when the document has no request of its number.
inline bool RouteToRequest(CTKZDoc& doc, RackMsg* msg) {
  InProcRequest* request = doc.FindRequest(msg->ReqNum);
  if (request == nullptr) {
    FreeRackMsg(msg);
    return false;
  }
  ++request->received;
  request->Rack = msg->Rack;
  if (request->Rcode == RC_OK) {
    request->Rcode = msg->Rcode;
    request->failingStep = static_cast<uint32_t>(msg->target);
    if (!msg->completion.empty()) request->message = msg->completion;
  }
  if (RunDocContinuation(doc, msg, request)) return true;
  FreeRackMsg(msg);
  doc.CompleteRequest(request);
  return true;
}
