#include "FrameHandlers.h"

#include <cstdint>

#include "Comm.h"
#include "DisplayFlags.h"
#include "Doc.h"
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

// The comm thread of this program sends no IO_FTP jobs: nothing reaches
// these three, and nothing is released because nothing was handed over.
void ServerFrameHandlers::OnFtpDone(IoFtpRequest*) {
  LogPrintf("Error: An IO_FTP job came back, but file transfer is not part of this program.\n");
}
void ServerFrameHandlers::OnFtpRead(IoFtpRequest*) {
  LogPrintf("Error: File transfer is not part of this program.\n");
}
void ServerFrameHandlers::OnFtpClose(IoFtpRequest*) {}
void ServerFrameHandlers::DiscardFtpRequest(IoFtpRequest*) {}

void ServerFrameHandlers::ReportSchedule() {
  if (g_pDoc != nullptr) g_pDoc->ReportSchedule();
}

bool ServerFrameHandlers::OpenNetLog(const std::string& path) {
  LogPrintf("Error: Unable to open network log \"%s\": the network log is not part of this program.\n",
            path.c_str());
  return false;
}

void ServerFrameHandlers::CloseNetLog() {}
