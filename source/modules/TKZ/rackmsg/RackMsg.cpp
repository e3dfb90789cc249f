#include "RackMsg.h"

#include <algorithm>

#include "Comm.h"
#include "ThreadMsgs.h"

namespace {

struct Ports {
  PostToCommFn post;
  RackMsgDoneFn done;
  RackMsgHandOffFn handOff;
};

Ports& ports() {
  static Ports p;
  return p;
}

bool Post(uint32_t id, uintptr_t wParam, RackMsg* msg) {
  if (msg == nullptr || !ports().post) return false;
  const uint32_t reqNum = msg->ReqNum;  // the message is not ours after the post
  if (!ports().post(id, wParam, msg)) return false;
  if (ports().handOff) ports().handOff(reqNum, msg);
  return true;
}

}  // namespace

bool RackMsg::SetReply(size_t offset) {
  if (offset >= kRackMsgResponseSize) {
    replyOffset = -1;
    return false;
  }
  replyOffset = static_cast<int32_t>(offset);
  return true;
}

const uint8_t* RackMsg::Reply() const {
  if (replyOffset < 0 || static_cast<size_t>(replyOffset) >= kRackMsgResponseSize) return nullptr;
  return response + replyOffset;
}

size_t RackMsg::ReplySize() const {
  if (Reply() == nullptr) return 0;
  const size_t len = std::min<size_t>(responseLength, kRackMsgResponseSize);
  const size_t off = static_cast<size_t>(replyOffset);
  return len > off ? len - off : 0;
}

RackMsg* AllocRackMsg() { return new RackMsg(); }

void FreeRackMsg(RackMsg* msg) { delete msg; }

void SetPostToComm(PostToCommFn post) { ports().post = std::move(post); }

void SetRackMsgDoneHandler(RackMsgDoneFn done) { ports().done = std::move(done); }

void SetRackMsgHandOffObserver(RackMsgHandOffFn observer) { ports().handOff = std::move(observer); }

bool SendRackMsg(RackMsg* msg) {
  if (msg == nullptr) return false;
  if (msg->Rack == kRackAll) msg->Rack = kRackBroadcast;
  return Post(WM_IPC_SEND_MSG, 0, msg);
}

bool PostLoadLearn(RackMsg* msg, int phase) {
  return Post(WM_IPC_LOAD_LEARN, static_cast<uintptr_t>(phase), msg);
}

bool PostDelayMsg(RackMsg* msg) { return Post(WM_IPC_DELAY_MSG, 0, msg); }

void RunRackMsgContinuation(RackMsg* msg) {
  if (msg == nullptr) return;
  if (msg->rackContinuation) {
    // A copy: the continuation may clear itself, hand the message on or free it.
    RackContinuation step = msg->rackContinuation;
    step(theComm, msg);
    return;
  }
  DocRackMsgDone(msg);
}

bool RunDocContinuation(CTKZDoc& doc, RackMsg* msg, InProcRequest* request) {
  if (msg == nullptr || !msg->docContinuation) return false;
  msg->rackContinuation = nullptr;
  DocContinuation step = msg->docContinuation;
  step(doc, msg, request);
  return true;
}

void DocRackMsgDone(RackMsg* msg) {
  if (msg == nullptr) return;
  if (ports().done) {
    ports().done(msg);
    return;
  }
  FreeRackMsg(msg);
}
