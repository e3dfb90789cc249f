// The rack message: one rack command and the rack's answer, with what the
// request engine and the rack-message layer need to carry it through a
// multi-exchange transfer.
//
// Ownership. A RackMsg is a heap object with one owner at a time. The thread
// that allocates it (AllocRackMsg, or the document's NewRackMsg) owns it
// until SendRackMsg, PostLoadLearn or PostDelayMsg returns true; from then on
// only the comm thread touches it, until it comes back with WM_DOC_MSG_DONE
// (or, for an unsolicited poll response allocated by the comm thread,
// WM_DOC_RACK_EVENT) and the UI thread owns it again. FreeRackMsg deletes it
// with everything it owns: the data buffer, the extra buffer, the two
// continuations and the completion text with its arguments. Nothing it owns
// depends on its Rcode.
//
// The message holds no pointer to the comm thread's rack or node records:
// it carries the rack number and the node id, and the comm thread looks the
// records up each time it uses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "CompletionText.h"

class CComm;
class CTKZDoc;
struct InProcRequest;
struct RackMsg;

inline constexpr size_t kRackMsgCommandSize = 290;
inline constexpr size_t kRackMsgResponseSize = 1024;

// Rack number a caller sets to address every rack of a port: SendRackMsg
// rewrites it to kRackBroadcast.
inline constexpr uint32_t kRackAll = 0xFFFFFFFF;
// Rack number of a broadcast on the wire.
inline constexpr uint32_t kRackBroadcast = 0xFFFF;

// The rack-message layer's continuation: the builder or reply parser that
// runs, on theComm, when the message comes back. Usually a member function
// of CComm (`msg->rackContinuation = &CComm::OnPresetReply;`). Empty means
// the exchange is finished and the message goes to the document.
using RackContinuation = std::function<void(CComm&, RackMsg*)>;

// The document's continuation: the step the request engine runs on the
// document when the message comes back finished, usually a member function
// of CTKZDoc taking the message and its in-process request. Empty means the
// request engine frees the message and completes the request.
using DocContinuation = std::function<void(CTKZDoc&, RackMsg*, InProcRequest*)>;

struct RackMsg {
  RackMsg() = default;
  RackMsg(const RackMsg&) = delete;
  RackMsg& operator=(const RackMsg&) = delete;

  // Next message in a port queue or the delay queue (comm thread only).
  RackMsg* link = nullptr;
  // In-process request served (0 for the rack-message layer's own messages).
  uint32_t ReqNum = 0;
  DocContinuation docContinuation;
  // The request handler's buffer: rows a command is built from, or what a
  // reply fills.
  std::vector<uint8_t> data;
  // Rack number 1 to 256; kRackAll before SendRackMsg, kRackBroadcast after.
  uint32_t Rack = 0;
  // The request's step, copied back into the request on completion.
  int32_t target = 0;
  // Items the data buffer holds (dimmers, entries, relays, points).
  int32_t count = 0;
  // Selector of the transfer: first item, preset, curve, dimmer or relay;
  // -1 = all.
  int32_t index = 0;
  // Set by the comm thread.
  uint32_t nodeId = 0;
  int32_t portSlot = 0;
  // Bytes of the command area to send (0 to kRackMsgCommandSize).
  int32_t sendLength = 0;
  RackContinuation rackContinuation;
  // A second buffer of the builders.
  std::vector<uint8_t> extra;
  // Seconds to hold the message back (PostDelayMsg); dueTime is the comm
  // thread's own, the second at which it returns the message.
  int32_t delay = 0;
  int64_t dueTime = 0;
  // Entries per message of a chunked transfer; step counter or index of the
  // next entry of a multi-message transfer.
  int32_t chunkSize = 0;
  int32_t progress = 0;
  // 0 success, else a server code (0x400 and up) or a link code 0x10-0x18.
  uint16_t Rcode = 0;
  // Bytes in the response area.
  uint16_t responseLength = 0;
  CompletionText completion;
  // Where the document finds the reply data: an offset into the response
  // area, or -1 for none (see SetReply / Reply).
  int32_t replyOffset = -1;
  // The rack command as sent: u16 command number at 0, then its data.
  uint8_t command[kRackMsgCommandSize] = {};
  // The rack's answer: u16 command number at 0, then the reply data.
  uint8_t response[kRackMsgResponseSize] = {};

  // u16 command number at offset 0 of the command area / response area.
  uint16_t Command() const { return static_cast<uint16_t>(command[0] | (command[1] << 8)); }
  uint16_t ReplyCommand() const { return static_cast<uint16_t>(response[0] | (response[1] << 8)); }

  // Points the reply at an offset of the response area; false (and no reply)
  // when the offset lies outside it.
  bool SetReply(size_t offset);
  void ClearReply() { replyOffset = -1; }
  // The reply data, or null when none is set.
  const uint8_t* Reply() const;
  // Bytes of the response from the reply on, bounded by the response length
  // and the area: 0 when no reply is set.
  size_t ReplySize() const;
};

// Allocates a message with every field zero (both areas included), no
// continuations, no buffers and no reply.
RackMsg* AllocRackMsg();

// Deletes a message with everything it owns. Null is ignored.
void FreeRackMsg(RackMsg* msg);

// --- Ports, installed once at start-up before the comm thread runs --------

// Posts a message to the comm thread's window: message id, wParam, the
// RackMsg as lParam. Returns whether it was posted.
using PostToCommFn = std::function<bool(uint32_t id, uintptr_t wParam, RackMsg* msg)>;
// The document's response routing (CTKZDoc::OnRackMsgDone): takes ownership.
using RackMsgDoneFn = std::function<void(RackMsg* msg)>;

// Told, on the posting thread, of every message just handed to the comm
// thread: the ReqNum it carried (read before the post) and the message as an
// identity only. The comm thread owns the message by then: the observer
// compares the pointer and never reads through it.
using RackMsgHandOffFn = std::function<void(uint32_t reqNum, const RackMsg* msg)>;

// Installs the ports (an empty function removes one). Not to be called while
// another thread may be posting.
void SetPostToComm(PostToCommFn post);
void SetRackMsgDoneHandler(RackMsgDoneFn done);
void SetRackMsgHandOffObserver(RackMsgHandOffFn observer);

// --- Hand-off to the comm thread -------------------------------------------
// Each returns whether the message was posted. When it was, the comm thread
// owns it and the caller must not touch it again; when it was not (no port,
// a refused post), the caller still owns it.

// Rewrites a Rack of kRackAll (-1) to kRackBroadcast (0xFFFF), then posts
// WM_IPC_SEND_MSG. Callable from either thread.
bool SendRackMsg(RackMsg* msg);
// Posts WM_IPC_LOAD_LEARN with wParam = phase (0 start, 1 end).
bool PostLoadLearn(RackMsg* msg, int phase);
// Posts WM_IPC_DELAY_MSG, wParam 0; the message's delay holds the seconds.
bool PostDelayMsg(RackMsg* msg);

// --- Return on the UI thread -------------------------------------------------

// WM_DOC_MSG_DONE: runs the message's rack-layer continuation on theComm
// when it has one, else hands the message to the document. The continuation
// is copied before it runs, so a continuation may clear or replace itself.
void RunRackMsgContinuation(RackMsg* msg);

// The document side of the protocol (its response routing, step "the
// message has a document continuation"): when the message has one, clears
// the rack-layer continuation and runs a copy of the document continuation
// with the message and its request, which then own the message; returns
// true. Returns false when there is none: the caller frees the message and
// completes the request.
bool RunDocContinuation(CTKZDoc& doc, RackMsg* msg, InProcRequest* request);

// Hands a finished message to the document's response routing (the free
// wrapper of CTKZDoc::OnRackMsgDone). Without an installed handler the
// message is freed.
void DocRackMsgDone(RackMsg* msg);
