// Request handlers whose concern is not built yet: each refuses its request
// as an unknown type, so that a requester sees a clear failure.  A concern
// that is built removes its entry here.
#include "Doc.h"

namespace {
void Refuse(CTKZDoc& doc, InProcRequest* request) {
  doc.FailRequest("Error: Unknown or unimplemented TKZ request type %d.",
                  request != nullptr ? request->RequestType : -1);
}
}  // namespace

void CTKZDoc::RunRackConfigProcess(RackMsg* /*msg*/, InProcRequest* request) { Refuse(*this, request); }
void CTKZDoc::OnQXVPresetRequest(InProcRequest* request) { Refuse(*this, request); }
void CTKZDoc::OnBrevantPresetRequest(InProcRequest* request) { Refuse(*this, request); }
void CTKZDoc::OnRelayCycleRequest(InProcRequest* request) { Refuse(*this, request); }
void CTKZDoc::RunMacroSteps(InProcRequest* request) { Refuse(*this, request); }
void CTKZDoc::StartManualLevels(InProcRequest* request) { Refuse(*this, request); }
void CTKZDoc::StartLearnLoads(InProcRequest* request) { Refuse(*this, request); }
void CTKZDoc::RequestTermination(InProcRequest* request) { Refuse(*this, request); }
void CTKZDoc::TransferAnalogPatch(InProcRequest* request) { Refuse(*this, request); }
void CTKZDoc::OnCleanerRequest(InProcRequest* request) { Refuse(*this, request); }
void CTKZDoc::OnRoomLinkRequest(InProcRequest* request) { Refuse(*this, request); }
