// What the document asks of the comm thread: start it, the three
// synchronous load calls, and its shutdown.  theIpcComm implements it in the
// server; tests put a recording fake in its place.
//
// Threads: called on the UI thread only.  The descriptors live on the
// caller's stack for the duration of the call.
#pragma once

#include <cstdint>

struct IoFtpRequest;
struct NodeDesc;
struct RackDesc;

class DocCommPort {
 public:
  virtual ~DocCommPort() = default;
  // Starts the comm thread; returns once it runs (false: it could not).
  virtual bool Start() = 0;
  // Each returns once the comm thread has handled the call.
  virtual bool LoadPhase(uint32_t flags) = 0;
  virtual bool AddNode(const NodeDesc* desc) = 0;
  virtual bool AddRack(const RackDesc* desc) = 0;
  // Asks the comm thread to shut down (WM_IPC_SHUTDOWN; PostCommShutdown in
  // the server): it closes its ports, and once no node is online the frame
  // closes and with it the document.  Returns whether the request was
  // posted; a port without a comm thread refuses it.
  virtual bool PostShutdown() { return false; }
  // Hands an IO_FTP job to the comm thread (PostIoFtpRequest); it comes
  // back with WM_DOC_FTP_DONE.  False: not taken, the caller keeps it.
  virtual bool PostIoFtpRequest(IoFtpRequest* /*job*/) { return false; }
  // Drops the node's connection and builds it again (CommDisconnectNode).
  virtual bool DisconnectNode(uint32_t /*nodeId*/) { return false; }
};
