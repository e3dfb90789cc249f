// The in-process request: the document's record of one request from its
// dispatch until its completion.
//
// Ownership: a request is a heap object owned by the document's request map
// (CTKZDoc::m_ReqMap) under its ReqNum while it is there; completion removes
// and frees it.  It owns its work data and its completion text (whose text
// arguments are held by value, so the text outlives any message it came
// from).  `parent` and `lastMsg` are not owned.  UI thread only.
#pragma once

#include <cstdint>
#include <memory>

#include "CompletionText.h"

struct RackMsg;

// Flags of an in-process request.
inline constexpr int32_t REQ_FLAG_SENT = 0x01;           // all sending done: completion may happen
inline constexpr int32_t REQ_FLAG_SCHEDULED = 0x02;      // completion goes to the schedule row
inline constexpr int32_t REQ_FLAG_MACRO = 0x04;          // runs a macro
inline constexpr int32_t REQ_FLAG_CHILD = 0x08;          // completion folds into `parent`
inline constexpr int32_t REQ_FLAG_REMOTE_MACRO = 0x10;   // remote macro
inline constexpr int32_t REQ_FLAG_MACRO_REQUEST = 0x20;  // macro started by request type 3

// Work data a handler hangs on its request; freed with the request.
struct RequestWork {
  virtual ~RequestWork() = default;
};

struct InProcRequest {
  int32_t RID = 0;        // the row's RID (a scheduled event's ScheduleID)
  uint32_t ReqNum = 0;    // from CTKZDoc::m_nNextReqNum
  int32_t expected = 0;   // responses expected (messages, IO_FTP jobs, children)
  int32_t RequestType = 0;
  int32_t RequestSubType = 0;
  int32_t ZoneID = 0;
  int32_t MacroID = 0;
  int32_t step = 0;          // copied into every RackMsg as its target
  uint32_t failingStep = 0;  // target of the response that gave the result
  InProcRequest* parent = nullptr;
  // The message last allocated by CTKZDoc::NewRackMsg while the UI thread
  // still holds it; cleared when it is handed to the comm thread.
  RackMsg* lastMsg = nullptr;
  int32_t flags = 0;  // REQ_FLAG_
  std::unique_ptr<RequestWork> work;
  int32_t received = 0;  // responses received
  uint32_t Rack = 0;     // Rack of the last returned message
  uint16_t Rcode = 0;    // 0, or the first non-zero Rcode received
  CompletionText message;
};
