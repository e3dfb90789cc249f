#include "FrameHandlers.h"

#include "DisplayFlags.h"
#include "LogSink.h"
#include "RackMsg.h"

void ServerFrameHandlers::OnMsgDone(RackMsg* msg) { RunRackMsgContinuation(msg); }

void ServerFrameHandlers::OnRackEvent(RackMsg* msg) {
  if (g_bDocDebug)
    LogPrintf("Rack event from rack %u not handled in this program.\n",
              static_cast<unsigned>(msg->Rack));
  FreeRackMsg(msg);
}

void ServerFrameHandlers::OnNodeStatus(uint32_t nodeId, bool up) {
  if (g_bDocDebug)
    LogPrintf("Node %u is %s; its status is not written in this program.\n",
              static_cast<unsigned>(nodeId), up ? "online" : "offline");
}

void ServerFrameHandlers::OnRackStatus(uint32_t rack, bool up) {
  if (g_bDocDebug)
    LogPrintf("Rack %u is %s; its status is not written in this program.\n",
              static_cast<unsigned>(rack), up ? "up" : "down");
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
  LogPrintf("The schedule report is not part of this program.\n");
}

bool ServerFrameHandlers::OpenNetLog(const std::string& path) {
  LogPrintf("Error: Unable to open network log \"%s\": the network log is not part of this program.\n",
            path.c_str());
  return false;
}

void ServerFrameHandlers::CloseNetLog() {}
