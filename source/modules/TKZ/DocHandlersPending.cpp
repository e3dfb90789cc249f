// Request handlers whose concern is not built yet: each refuses its request
// as an unknown type, so that a requester sees a clear failure.  A concern
// that is built removes its entry here.
#include "Doc.h"
#include "LogSink.h"

namespace {
void Refuse(CTKZDoc& doc, InProcRequest* request) {
  doc.FailRequest("Error: Unknown or unimplemented TKZ request type %d.",
                  request != nullptr ? request->RequestType : -1);
}
}  // namespace

void CTKZDoc::SendNetworkPatch(IoFtpRequest* /*job*/, InProcRequest* request) { Refuse(*this, request); }
