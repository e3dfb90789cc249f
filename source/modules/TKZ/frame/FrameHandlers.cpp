#include "FrameHandlers.h"

#include <cstdint>

#include "Comm.h"
#include "DisplayFlags.h"
#include "Doc.h"
#include "IoFtpRequest.h"
#include "IpcComm.h"
#include "NetLog.h"
#include "LogSink.h"
#include "RackMsg.h"

void ServerFrameHandlers::OnMsgDone(RackMsg* msg) { RunRackMsgContinuation(msg); }

void ServerFrameHandlers::OnRackEvent(RackMsg* msg) { theComm.OnRackEvent(msg); }

void ServerFrameHandlers::OnNodeStatus(uint32_t nodeId, bool up) {
  DocOnNodeStatus(up ? 1 : 0, static_cast<intptr_t>(nodeId));
}

void ServerFrameHandlers::OnRackStatus(uint32_t rack, bool up) {
  DocOnRackStatus(up ? 1 : 0, static_cast<intptr_t>(rack));
}

// IO_FTP: a finished job goes to the document's response routing; a lent
// job's local file is read or closed here and handed back.
void ServerFrameHandlers::OnFtpDone(IoFtpRequest* request) { DocIoFtpDone(request); }
void ServerFrameHandlers::OnFtpRead(IoFtpRequest* request) { IoFtpReadBlock(request); }
void ServerFrameHandlers::OnFtpClose(IoFtpRequest* request) { IoFtpCloseFile(request); }
// After the frame has closed the comm thread is gone: nothing takes the
// job back, so it is released here.
void ServerFrameHandlers::DiscardFtpRequest(IoFtpRequest* request) { delete request; }
// A lent job may still head its node's queue while the comm thread runs:
// it is given back, never deleted here.
void ServerFrameHandlers::ReturnLentFtpRequest(IoFtpRequest* request) { IoFtpAbandonLent(request); }

void ServerFrameHandlers::ReportSchedule() {
  if (g_pDoc != nullptr) g_pDoc->ReportSchedule();
}

bool ServerFrameHandlers::OpenNetLog(const std::string& path) { return ::OpenNetLog(path.c_str()); }

void ServerFrameHandlers::CloseNetLog() { ::CloseNetLog(); }
