// Where the main frame hands the comm thread's WM_DOC_ messages and the
// commands that belong to the document or the network log.  The server's
// implementation (ServerFrameHandlers) routes each to its concern; tests put
// a recording fake in its place.
//
// Threads: UI thread only.
// Ownership: each handler that receives a RackMsg* or IoFtpRequest* whose
// ownership the message protocol gives the UI thread (WM_DOC_MSG_DONE,
// WM_DOC_RACK_EVENT, WM_DOC_FTP_DONE) owns it from the call on.
#pragma once

#include <cstdint>
#include <string>

struct RackMsg;
struct IoFtpRequest;

class FrameHandlers {
 public:
  virtual ~FrameHandlers() = default;
  // WM_DOC_MSG_DONE: the returned message's continuation.
  virtual void OnMsgDone(RackMsg* msg) = 0;
  // WM_DOC_FTP_DONE, WM_DOC_FTP_READ, WM_DOC_FTP_CLOSE.
  virtual void OnFtpDone(IoFtpRequest* request) = 0;
  virtual void OnFtpRead(IoFtpRequest* request) = 0;
  virtual void OnFtpClose(IoFtpRequest* request) = 0;
  // WM_DOC_RACK_EVENT: an unsolicited rack event (the handler frees it).
  virtual void OnRackEvent(RackMsg* msg) = 0;
  // WM_DOC_NODE_STATUS, WM_DOC_RACK_STATUS.
  virtual void OnNodeStatus(uint32_t nodeId, bool up) = 0;
  virtual void OnRackStatus(uint32_t rack, bool up) = 0;
  // View, Schedule.
  virtual void ReportSchedule() = 0;
  // File, Open / Close Network Log: true when the log is open.
  virtual bool OpenNetLog(const std::string& path) = 0;
  virtual void CloseNetLog() = 0;
  // An object the frame takes from its queue after it has closed, when no
  // handler may run any more: the UI thread's share of it is released.
  virtual void DiscardFtpRequest(IoFtpRequest* request) = 0;
  // A job lent for a read or a close of its local file (WM_DOC_FTP_READ,
  // WM_DOC_FTP_CLOSE) that the frame takes from its queue after it has
  // closed: the UI thread holds it, so its file is closed here and it is
  // handed back as the read and close handlers hand it back.
  virtual void ReturnLentFtpRequest(IoFtpRequest* request) = 0;
};

// The server's routing: returned messages through the rack-message layer,
// rack events to its decoder, node and rack states to the document's
// status write-back, IO_FTP jobs to the document and the local file reads,
// the schedule report to the document, the network log to its file.
class ServerFrameHandlers final : public FrameHandlers {
 public:
  void OnMsgDone(RackMsg* msg) override;
  void OnFtpDone(IoFtpRequest* request) override;
  void OnFtpRead(IoFtpRequest* request) override;
  void OnFtpClose(IoFtpRequest* request) override;
  void OnRackEvent(RackMsg* msg) override;
  void OnNodeStatus(uint32_t nodeId, bool up) override;
  void OnRackStatus(uint32_t rack, bool up) override;
  void ReportSchedule() override;
  bool OpenNetLog(const std::string& path) override;
  void CloseNetLog() override;
  void DiscardFtpRequest(IoFtpRequest* request) override;
  void ReturnLentFtpRequest(IoFtpRequest* request) override;
};
