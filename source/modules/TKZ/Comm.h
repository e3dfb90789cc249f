// The rack-message layer CComm: the one object, theComm, on which every
// rack-layer continuation of a RackMsg runs (UI thread).
//
// The continuation protocol of a builder that needs more than one exchange:
//  1. First call (msg->rackContinuation empty): set the continuation to the
//     builder itself, initialise progress/chunk size/step, write the first
//     command and SendRackMsg.
//  2. Each return: if EndOnError(msg), stop (the message went to the
//     document with its Rcode; the continuation stays set and is not run
//     again). Otherwise take what the reply brings, advance, send the next.
//  3. Nothing left: Finish(msg, text...), or clear the continuation and pass
//     the message to another builder as a fresh first call.
// A single-exchange builder sets a reply parser that ends with Finish, or no
// continuation at all, so that the reply goes straight to the document.
#pragma once

#include "CompletionText.h"

struct RackMsg;

class CComm {
 public:
  // Step 2: a message that came back with a non-zero Rcode goes to the
  // document unchanged. Returns true when it did; the caller then no longer
  // owns the message.
  bool EndOnError(RackMsg* msg);

  // Step 3: clears the rack-layer continuation (the finished mark), sets the
  // completion text when a format is given, and hands the message to the
  // document. The caller no longer owns the message.
  void Finish(RackMsg* msg, const char* format = nullptr, CompletionArg a0 = {},
              CompletionArg a1 = {}, CompletionArg a2 = {});
};

extern CComm theComm;
