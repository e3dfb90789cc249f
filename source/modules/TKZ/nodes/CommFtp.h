// The comm thread's IO_FTP client: per node a queue of IoFtpRequest jobs,
// the connection to the node's IO_FTP service (server type 21, index = the
// node's client id), login, the file sent in numbered blocks (run-length
// packed when the node accepts it), the close with the file's date and
// time, and the job handed back to the UI thread.  The local file is read
// and closed on the UI thread (IoFtpFile.h) at this client's request.
//
// Send states of a node's head job (NodeEntry::ftpSendState): 0 read the
// first buffer, 1 open the remote file, 2 opened, 3 blocks, 4 closing,
// 5 handed back.  Every request to the node that awaits an answer arms a
// deadline of kResponseTicks; a node that stays silent ends the job with
// RC_TIMEOUT instead of leaving it queued for ever.  A job whose file could
// not be read whole never closes the remote file: it logs out, so that the
// node discards the part it received.
//
// Threads: comm thread only.  The event callback (EventCallback) runs on
// the comm thread inside a library poll and reaches the active client.
// Ownership: a job posted to the comm thread belongs to this client while
// it is queued on its node (NodeEntry::ftpHead/ftpTail, linked through
// IoFtpRequest::link); it leaves through the host (PostFtpToFrame with
// WM_DOC_FTP_DONE) exactly once, or is deleted when nobody can take it.
// The client owns neither the library, the tables nor the host.
#pragma once

#include <cstdint>

#include "CommTables.h"
#include "IoFtpRequest.h"
#include "NodeLibrary.h"

class CommNodes;

// What the client hands to the UI thread.
class CommFtpHost {
 public:
  virtual ~CommFtpHost() = default;
  // Posts the job to the main frame: WM_DOC_FTP_READ or WM_DOC_FTP_CLOSE
  // (lent, it comes back with WM_IPC_FTP_CONTINUE) or WM_DOC_FTP_DONE
  // (handed over).  False when the post was refused.
  virtual bool PostFtpToFrame(uint32_t message, IoFtpRequest* request) = 0;
  // The comm object is shutting down.
  virtual bool FtpShuttingDown() const = 0;
};

// IO_FTP procedures and events.
inline constexpr uint8_t IO_FTP_LOGIN = 1;
inline constexpr uint8_t IO_FTP_LOGOUT = 2;
inline constexpr uint8_t IO_FTP_OPEN_PUT = 3;
inline constexpr uint8_t IO_FTP_BLOCK = 4;
inline constexpr uint8_t IO_FTP_BLOCK_ACK = 5;
inline constexpr uint8_t IO_FTP_CLOSE = 8;
inline constexpr uint16_t IO_FTP_EVNT_LOGIN = 257;
inline constexpr uint16_t IO_FTP_EVNT_LOGOUT = 258;
inline constexpr uint16_t IO_FTP_EVNT_OPEN = 259;
inline constexpr uint16_t IO_FTP_EVNT_ACK = 260;
inline constexpr uint16_t IO_FTP_EVNT_CLOSE = 264;

// Request lengths and the layout of a data block.
inline constexpr uint16_t kIoFtpShortLength = 46;
inline constexpr uint16_t kIoFtpBlockLength = 1242;
inline constexpr uint16_t kIoFtpBlockData = 24;        // offset of the data bytes
inline constexpr uint16_t kIoFtpBlockDataSize = 1184;  // data bytes of a block
inline constexpr uint16_t kIoFtpBlockBounds = 1208;    // offset of the piece boundaries
inline constexpr int kIoFtpMaxPieces = 16;
inline constexpr uint16_t kIoFtpPieceSize = 256;       // file bytes per packed piece
inline constexpr uint16_t kIoFtpPackStride = 4;
inline constexpr uint32_t kIoFtpAckEvery = 15;         // blocks per acknowledgement
// The remote file name that fits the open request, terminator included.
inline constexpr size_t kIoFtpRemoteNameFit = 28;
// Status of IO_FTP_EVNT_OPEN: opened, packed blocks accepted.
inline constexpr uint16_t kIoFtpOpenPacked = 32;

// The login the nodes expect.
inline constexpr char kIoFtpUserName[] = "UserName";
inline constexpr char kIoFtpPassword[] = "Tamarind";

// Transfer flags (NodeEntry::ftpTransferFlags).
inline constexpr uint32_t FTP_XFER_ACK_AWAITED = 0x2;
inline constexpr uint32_t FTP_XFER_CLOSE_OUTSTANDING = 0x4;

class CommFtp {
 public:
  // Ticks the client waits for an answer of the node.
  static constexpr int32_t kResponseTicks = 150;

  // Registers itself with the tables (CommNodes::SetFtpClient) and as the
  // target of the event callback.
  CommFtp(NodeLibrary& library, CommNodes& nodes, CommFtpHost& host);
  // Deletes the jobs still queued (FreeQueue); the tables must still exist.
  ~CommFtp();
  CommFtp(const CommFtp&) = delete;
  CommFtp& operator=(const CommFtp&) = delete;

  void SetLibrary(NodeLibrary& library) { m_pLib = &library; }
  // Makes this the target of the event callback (the comm thread does it
  // again when it starts).
  void Activate();

  // WM_IPC_FTP_REQUEST: a new job.
  void OnIoFtpRequest(IoFtpRequest* request);
  // WM_IPC_FTP_CONTINUE: the UI thread gives a lent job back.
  void OnIoFtpContinue(IoFtpRequest* request);
  // Hands the job back (WM_DOC_FTP_DONE); a job heading its node's queue is
  // unlinked first and the queue goes on.
  void ForwardIoFtpResult(IoFtpRequest* request);
  // Shutdown: the node's jobs go back with RC_FLUSHED (a job being sent
  // ends once its local file is closed).
  void FlushIoFtpQueue(NodeEntry* node);
  // The 100 ms tick: response deadlines, a logout that is never answered.
  void Tick();

  // The node's entry is being deleted: its jobs go back with RC_FLUSHED
  // (a lent one when it comes back).
  void NodeGone(NodeEntry* node);
  // The tables are freed: queued jobs are deleted (a lent one is left to
  // the thread that holds it).
  void FreeQueue(NodeEntry* node);

  void IoFtpStart(NodeEntry* node);
  void IoFtpContinue(IoFtpRequest* request);
  uint16_t IoFtpConnect(NodeEntry* node);
  void IoFtpLogin(NodeEntry* node);
  void IoFtpSendFile(IoFtpRequest* request);
  void IoFtpSendBlocks(NodeEntry* node, IoFtpRequest* request);
  void OnIoFtpEvent(const IpcEvntHdr* event, uint32_t nodeId);
  // The library's event callback; the user value is the node id.
  static void EventCallback(const IpcEvntHdr* event, intptr_t userValue);

 private:
  void SendOpenPut(NodeEntry* node, IoFtpRequest* request);
  void SendClose(NodeEntry* node, IoFtpRequest* request);
  // Lends the job to the UI thread; false (job ended) when refused.
  bool Lend(uint32_t message, IoFtpRequest* request);
  // Ends the job once its local file is closed.
  void EndAfterClose(NodeEntry* node, IoFtpRequest* request);
  void PostDone(IoFtpRequest* request);
  void Arm(IoFtpRequest* request) { if (request != nullptr) request->responseCountdown = kResponseTicks; }

  NodeLibrary* m_pLib;
  CommNodes* m_pNodes;
  CommFtpHost* m_pHost;
};
