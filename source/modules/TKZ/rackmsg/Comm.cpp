// CComm's protocol helpers, ports and the layer's own messages (fault
// synchronisation and version request).
#include "Comm.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "App.h"
#include "CommWire.h"
#include "DisplayFlags.h"
#include "LogSink.h"
#include "RackCommands.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "platform/time/clock.h"

CComm theComm;

CComm::CComm() = default;

void CComm::SetClock(const platform::time::Clock* clock) { clock_ = clock; }

int32_t CComm::RackKind(uint32_t rack) {
  if (doc_ == nullptr) return -1;
  return doc_->GetRackType(kRackZoneBase + static_cast<int32_t>(rack));
}

bool CComm::EndOnError(RackMsg* msg) {
  if (msg->Rcode == 0) return false;
  // A text set on the way (a chained transfer's) does not describe a failure.
  msg->completion.format = nullptr;
  DocRackMsgDone(msg);
  return true;
}

void CComm::Finish(RackMsg* msg, const char* format, CompletionArg a0, CompletionArg a1,
                   CompletionArg a2) {
  msg->rackContinuation = nullptr;
  if (format != nullptr) msg->completion.Set(format, std::move(a0), std::move(a1), std::move(a2));
  DocRackMsgDone(msg);
}

void CComm::Refuse(RackMsg* msg, uint8_t command, const char* why) {
  LogPrintf("Error: %s for rack %d not sent: %s.\n", RackCmdName(command),
            static_cast<int>(msg->Rack), why);
  msg->Rcode = RC_COMM_FAILURE;
  msg->completion.format = nullptr;
  msg->rackContinuation = nullptr;
  DocRackMsgDone(msg);
}

void CComm::Send(RackMsg* msg, const CmdWriter& w) {
  if (w.overflow()) {
    Refuse(msg, msg->command[0], "longer than a rack command");
    return;
  }
  msg->sendLength = static_cast<int32_t>(w.size());
  if (SendRackMsg(msg)) return;
  LogPrintf("Error: %s for rack %d could not be handed to the comm thread.\n",
            RackCmdName(msg->command[0]), static_cast<int>(msg->Rack));
  msg->Rcode = RC_COMM_FAILURE;
  msg->completion.format = nullptr;
  DocRackMsgDone(msg);
}

bool CComm::CheckCount(RackMsg* msg, uint8_t command, size_t recordSize, int max) {
  if (msg->count < 1 || msg->count > max) {
    Refuse(msg, command, "item count out of range");
    return false;
  }
  if (recordSize != 0 && msg->data.size() / recordSize < static_cast<size_t>(msg->count)) {
    Refuse(msg, command, "data buffer smaller than its count");
    return false;
  }
  return true;
}

bool CComm::CheckData(RackMsg* msg, uint8_t command, size_t bytes) {
  if (msg->data.size() >= bytes) return true;
  Refuse(msg, command, "data buffer too small");
  return false;
}

bool CComm::TakeReply(RackMsg* msg, size_t need) {
  if (EndOnError(msg)) return false;
  const size_t len = std::min<size_t>(msg->responseLength, kRackMsgResponseSize);
  if (len >= 2 && len - 2 >= need && msg->ReplyCommand() == msg->Command()) return true;
  LogPrintf("Error: Invalid reply to %s from rack %d (command 0x%04X, %d bytes).\n",
            RackCmdName(msg->command[0]), static_cast<int>(msg->Rack), msg->ReplyCommand(),
            static_cast<int>(msg->responseLength));
  msg->Rcode = RC_INVALID_RESPONSE;
  msg->completion.format = nullptr;
  DocRackMsgDone(msg);
  return false;
}

uint32_t CComm::LocalTimeForRack() const {
  const platform::time::Clock& clock = clock_ != nullptr ? *clock_ : platform::time::SystemClock();
  return static_cast<uint32_t>(CApp::AdjustTime(clock.Now(), false));
}

// --- The layer's own messages ----------------------------------------------------

void SendSyncFaultEvents(uint32_t rack) {
  RackMsg* msg = AllocRackMsg();
  msg->Rack = rack;
  CmdWriter w(msg, DIM_CMD_SYNCH_FAULT_EVENTS);
  w.u32(theComm.LocalTimeForRack());
  msg->sendLength = static_cast<int32_t>(w.size());
  msg->rackContinuation = &CComm::OnSyncFaultEventsReply;
  if (!SendRackMsg(msg)) FreeRackMsg(msg);
}

void RequestRackVersion(uint32_t rack) {
  RackMsg* msg = AllocRackMsg();
  msg->Rack = rack;
  CmdWriter w(msg, DIM_CMD_GET_RACK_STATUS);
  w.u16(3).u8(10).u8(11).u8(12);
  msg->sendLength = static_cast<int32_t>(w.size());
  msg->rackContinuation = &CComm::OnRackVersionReply;
  if (!SendRackMsg(msg)) FreeRackMsg(msg);
}

void CComm::OnSyncFaultEventsReply(RackMsg* msg) {
  if (msg->Rcode == 0) {
    if (msg->responseLength < 2 || msg->ReplyCommand() != DIM_CMD_SYNCH_FAULT_EVENTS)
      LogPrintf("Error: Response to DIM_CMD_SYNCH_FAULT_EVENTS message is incorrect (0x%x)\n",
                msg->ReplyCommand());
    const uint32_t rack = msg->Rack;
    if (commPort_ != nullptr) commPort_->PostRackUp(rack);
    if (doc_ != nullptr) {
      if (RackKind(rack) != 2) doc_->DeleteRackFaults(static_cast<int32_t>(rack));
      doc_->SetRackStatus(static_cast<int32_t>(rack), true);
    }
  }
  FreeRackMsg(msg);
}

void CComm::OnRackVersionReply(RackMsg* msg) {
  constexpr size_t kVersionBytes = 8 + 6 + 2;
  const size_t len = std::min<size_t>(msg->responseLength, kRackMsgResponseSize);
  if (msg->Rcode == 0 && (len < 2 + kVersionBytes || msg->ReplyCommand() != DIM_CMD_GET_RACK_STATUS)) {
    LogPrintf("Error: Invalid version reply from rack %d (command 0x%04X, %d bytes).\n",
              static_cast<int>(msg->Rack), msg->ReplyCommand(), static_cast<int>(msg->responseLength));
  } else if (msg->Rcode == 0) {
    RackVersion version;
    std::memcpy(version.bytes, msg->response + 2, kVersionBytes);
    // The software version: at most 6 characters, cut at a NUL.
    const char* sw = reinterpret_cast<const char*>(version.bytes + 8);
    const std::string text(sw, strnlen(sw, 6));
    const int32_t rack = static_cast<int32_t>(msg->Rack);
    if (g_bCommDebug) LogPrintf("Rack %d is running software version %s\n", rack, text.c_str());
    if (doc_ != nullptr) {
      try {
        doc_->SetRackSoftwareVersion(rack, text);
      } catch (const std::exception& e) {
        LogPrintf("Error: storing the software version of rack %d failed: %s\n", rack, e.what());
      }
    }
    if (commPort_ != nullptr) commPort_->PostRackVersionSet(msg->Rack, version);
  }
  FreeRackMsg(msg);
}
