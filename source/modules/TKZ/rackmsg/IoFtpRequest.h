// The record of one IO_FTP job: a file this PC sends to a node's IO_FTP
// service (server type 21).
//
// Ownership: the document allocates a request and owns it until it posts it
// with PostIoFtpRequest (WM_IPC_FTP_REQUEST); from then on the comm thread
// owns it, queued on its node, until it comes back with WM_DOC_FTP_DONE.
// While the comm thread waits for a read or a close of the local file
// (WM_DOC_FTP_READ, WM_DOC_FTP_CLOSE) it lends the request to the UI
// thread, which touches only `file`, `Rcode` and `result` and gives it back
// with WM_IPC_FTP_CONTINUE; the comm thread does nothing with a lent
// request meanwhile.  Whoever deletes a request closes its local file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "CompletionText.h"

class CTKZDoc;
struct InProcRequest;

// The only job type the system issues: send a file.
inline constexpr uint32_t IO_FTP_TYPE_SEND_FILE = 3;
// Sizes of the two file-name fields, terminator included.
inline constexpr size_t kIoFtpNameSize = 40;
// The local file is read this many bytes at a time.
inline constexpr uint32_t kIoFtpBufferSize = 1024;

// The document's continuation of a returned job: (job, its request).
using IoFtpDocContinuation = void (CTKZDoc::*)(struct IoFtpRequest*, InProcRequest*);

// The local file of a job, read on the UI thread one buffer at a time.
struct IoFtpLocalFile {
  int fd = -1;                          // -1: not open
  std::unique_ptr<uint8_t[]> buffer;    // kIoFtpBufferSize bytes once open
  int32_t bytesLeft = 0;                // bytes of the buffer not sent yet
  uint32_t offset = 0;                  // next byte of the buffer to send
  uint32_t size = 0;                    // the file's size
  uint32_t dateTime = 0;                // its modification time, FAT format
  bool eof = false;                     // the last read came short
};

struct IoFtpRequest {
  IoFtpRequest() = default;
  // Closes the local file when it is still open.
  ~IoFtpRequest();
  IoFtpRequest(const IoFtpRequest&) = delete;
  IoFtpRequest& operator=(const IoFtpRequest&) = delete;

  IoFtpRequest* link = nullptr;  // next job of the node's queue (comm thread)

  // ---- the document's ----
  uint32_t ReqNum = 0;
  int32_t target = 0;
  IoFtpDocContinuation docContinuation = nullptr;  // none: the request completes

  // ---- the job ----
  uint32_t nodeId = 0;
  uint32_t type = IO_FTP_TYPE_SEND_FILE;
  char localName[kIoFtpNameSize] = {};   // path on this PC
  char remoteName[kIoFtpNameSize] = {};  // name the node stores it under

  // ---- the result ----
  uint16_t Rcode = 0;     // 0 = success
  CompletionText result;  // what the result means, or none

  // ---- the comm thread's transfer state ----
  uint16_t nextBlock = 0;       // number of the next data block, from 1
  uint32_t blocksSinceAck = 0;  // blocks since the last acknowledgement request
  bool packed = false;          // the node accepts run-length packed blocks
  bool started = false;         // the transfer has begun (send state left 0)
  bool lent = false;            // with the UI thread for a read or a close
  int32_t responseCountdown = 0;  // ticks left for the node's answer (0 = none awaited)
  uint16_t closeStatus = 0;     // the node's answer to the close (the transfer's result)

  IoFtpLocalFile file;
};

// Copies text into one of the name fields; false (field emptied) when it
// does not fit with its terminator.
bool SetIoFtpName(char (&field)[kIoFtpNameSize], const char* text);
