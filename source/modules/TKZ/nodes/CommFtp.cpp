// The comm thread's IO_FTP client (see CommFtp.h), and the tables' calls
// into it (CommNodes::IoFtpStart, CommNodes::IoFtpLogin, and the logout
// CommNodes::IoFtpLogout sends itself).
#include "CommFtp.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

#include "CommNodes.h"
#include "DisplayFlags.h"
#include "LogSink.h"
#include "Rle.h"
#include "RcCodes.h"
#include "ThreadMsgs.h"

namespace {

CommFtp* g_pActiveFtp = nullptr;

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// An IO_FTP request with its header filled and the login handle and the
// constant 1 that every request carries at +16 and +17.
struct FtpRequest {
  uint8_t bytes[kIoFtpBlockLength] = {};
  FtpRequest(uint16_t length, const NodeEntry& node, uint8_t proc, uint8_t first) {
    IpcComProcHdr h{};
    h.length = length;
    h.svrType = IPC_SVR_IO_FTP;
    h.svrIndx = node.clientId;
    h.procId = proc;
    h.clntHandle = node.ftpComProcHandle;
    std::memcpy(bytes, &h, sizeof h);
    bytes[16] = first;
    bytes[17] = 1;
  }
  IpcComProcHdr* hdr() { return reinterpret_cast<IpcComProcHdr*>(bytes); }
};

}  // namespace

// ---- the tables' calls ----

void CommNodes::IoFtpStart(NodeEntry* node) {
  if (m_pFtp != nullptr) m_pFtp->IoFtpStart(node);
}

void CommNodes::IoFtpLogin(NodeEntry* node) {
  if (m_pFtp != nullptr) m_pFtp->IoFtpLogin(node);
}

void CommNodes::IoFtpLogout(NodeEntry* node) {
  if ((node->flags & NODE_FLAG_FTP_LOGGED_IN) == 0 || (node->flags & NODE_FLAG_FTP_LOGOUT_SENT) != 0)
    return;
  node->flags |= NODE_FLAG_FTP_LOGOUT_SENT;
  node->ftpLogoutCountdown = kFtpLogoutDeadlineTicks;
  if (g_bCommDebug) LogPrintfQueued("%s: Attempting to logout from the FTP server.\n", node->name);
  FtpRequest r(kIoFtpShortLength, *node, IO_FTP_LOGOUT, node->ftpLoginHandle);
  m_pLib->IpcComProc(r.hdr());
}

// ---- the client ----

CommFtp::CommFtp(NodeLibrary& library, CommNodes& nodes, CommFtpHost& host)
    : m_pLib(&library), m_pNodes(&nodes), m_pHost(&host) {
  nodes.SetFtpClient(this);
  Activate();
}

CommFtp::~CommFtp() {
  if (g_pActiveFtp == this) g_pActiveFtp = nullptr;
  // Jobs still queued go with the client (a lent one stays its holder's).
  for (uint32_t id : m_pNodes->NodeIds())
    if (NodeEntry* node = m_pNodes->Node(id)) FreeQueue(node);
  m_pNodes->SetFtpClient(nullptr);
}

void CommFtp::Activate() { g_pActiveFtp = this; }

void CommFtp::EventCallback(const IpcEvntHdr* event, intptr_t userValue) {
  if (g_pActiveFtp == nullptr || event == nullptr || userValue < 0 ||
      static_cast<uint64_t>(userValue) > UINT32_MAX)
    return;
  g_pActiveFtp->OnIoFtpEvent(event, static_cast<uint32_t>(userValue));
}

void CommFtp::PostDone(IoFtpRequest* request) {
  request->link = nullptr;
  request->lent = false;
  // Nobody can take it any more: it goes, with its file.
  if (!m_pHost->PostFtpToFrame(WM_DOC_FTP_DONE, request)) delete request;
}

void CommFtp::OnIoFtpRequest(IoFtpRequest* request) {
  if (request == nullptr) return;
  request->link = nullptr;
  request->lent = false;
  request->started = false;
  request->responseCountdown = 0;
  if (m_pHost->FtpShuttingDown()) {
    request->Rcode = RC_FLUSHED;
    PostDone(request);
    return;
  }
  NodeEntry* node = m_pNodes->Node(request->nodeId);
  if (node == nullptr) {
    LogPrintfQueued("Error: IO_FTP request for node %d, can't find node.\n",
                    static_cast<int>(request->nodeId));
    request->Rcode = RC_NO_NODE_FOR_RACK;
    PostDone(request);
    return;
  }
  if (node->state != NODE_STATE_CONNECTING && node->state != NODE_STATE_ONLINE) {
    request->Rcode = RC_NODE_OFFLINE;
    PostDone(request);
    return;
  }
  const bool wasEmpty = node->ftpHead == nullptr;
  if (node->ftpTail != nullptr)
    node->ftpTail->link = request;
  else
    node->ftpHead = request;
  node->ftpTail = request;
  if (wasEmpty) IoFtpStart(node);
}

void CommFtp::IoFtpStart(NodeEntry* node) {
  IoFtpRequest* head = node->ftpHead;
  // A job already under way goes on by its own answers.
  if (head == nullptr || head->started || head->lent) return;
  node->ftpSendState = 0;
  IoFtpContinue(head);
}

void CommFtp::IoFtpContinue(IoFtpRequest* request) {
  if (request == nullptr || request->lent) return;
  NodeEntry* node = m_pNodes->Node(request->nodeId);
  if (node == nullptr || node->ftpHead != request) {
    if (request->Rcode == 0) request->Rcode = RC_FLUSHED;
    ForwardIoFtpResult(request);
    return;
  }
  node->ftpIdleCountdown = 0;
  // A job under way goes on by its send state; the login matters only
  // before it starts (a node that lost it meanwhile lets its deadline end
  // the job).
  if (request->started) {
    IoFtpSendFile(request);
    return;
  }
  const uint32_t f = node->flags;
  if ((f & NODE_FLAG_FTP_LOGOUT_SENT) != 0) return;  // its answer continues the job
  if ((f & NODE_FLAG_FTP_LOGGED_IN) != 0 || m_pHost->FtpShuttingDown()) {
    IoFtpSendFile(request);
    return;
  }
  if ((f & (NODE_FLAG_FTP_CONNECTED | NODE_FLAG_FTP_CONNECTING)) == 0) {
    if (const uint16_t rc = IoFtpConnect(node); rc != 0) {
      request->Rcode = rc;
      ForwardIoFtpResult(request);
    }
    return;
  }
  // While the clients are still attaching, the tables log in once they are.
  if ((f & NODE_FLAG_FTP_CONNECTED) != 0 && (f & NODE_FLAG_FTP_LOGIN_SENT) == 0) IoFtpLogin(node);
}

uint16_t CommFtp::IoFtpConnect(NodeEntry* node) {
  const uint8_t idx = m_pLib->IpcNetNodeAddrExists(node->address);
  if (idx == 255) return RC_COMM_FAILURE;
  node->flags |= NODE_FLAG_FTP_LOCATED | NODE_FLAG_FTP_CONNECTING;
  node->ftpLoginHandle = 0;
  m_pLib->IpcSvrLocationSet(IPC_SVR_IO_FTP, node->clientId, IPC_HOST_KIND_LOCAL, 1, idx, 0, 0, 0,
                            0);
  m_pLib->IpcClntComProcCreate(IPC_SVR_IO_FTP, node->clientId, CommNodes::kFtpVersion,
                               &node->ftpComProcHandle);
  m_pLib->IpcClntEvntCreate(IPC_SVR_IO_FTP, node->clientId, &CommFtp::EventCallback,
                            CommNodes::kFtpVersion, &node->ftpEvntHandle,
                            static_cast<intptr_t>(node->nodeId));
  return 0;
}

void CommFtp::IoFtpLogin(NodeEntry* node) {
  node->flags |= NODE_FLAG_FTP_LOGIN_SENT;
  if (g_bCommDebug) LogPrintfQueued("%s: Attempting to log into IO_FTP service.\n", node->name);
  FtpRequest r(kIoFtpShortLength, *node, IO_FTP_LOGIN, 0);
  Put32(r.bytes + 18, m_pLib->IpcNetNodeAddrGet(0));
  r.bytes[22] = node->ftpEvntHandle;
  std::memcpy(r.bytes + 24, kIoFtpUserName, sizeof kIoFtpUserName);
  std::memcpy(r.bytes + 34, kIoFtpPassword, sizeof kIoFtpPassword);
  m_pLib->IpcComProc(r.hdr());
  Arm(node->ftpHead);
}

void CommFtp::SendOpenPut(NodeEntry* node, IoFtpRequest* request) {
  FtpRequest r(kIoFtpShortLength, *node, IO_FTP_OPEN_PUT, node->ftpLoginHandle);
  // At most 27 characters fit; the name field is bounded by its size.
  const size_t n = strnlen(request->remoteName, kIoFtpRemoteNameFit - 1);
  std::memcpy(r.bytes + 18, request->remoteName, n);
  m_pLib->IpcComProc(r.hdr());
  Arm(request);
}

void CommFtp::SendClose(NodeEntry* node, IoFtpRequest* request) {
  FtpRequest r(kIoFtpShortLength, *node, IO_FTP_CLOSE, node->ftpLoginHandle);
  Put32(r.bytes + 18, request->file.dateTime);
  m_pLib->IpcComProc(r.hdr());
  node->ftpTransferFlags |= FTP_XFER_CLOSE_OUTSTANDING;
  request->closeStatus = 0;
  Arm(request);
}

bool CommFtp::Lend(uint32_t message, IoFtpRequest* request) {
  request->lent = true;
  if (m_pHost->PostFtpToFrame(message, request)) return true;
  // The UI thread cannot take it: the job ends here.
  request->lent = false;
  if (request->Rcode == 0) request->Rcode = RC_FLUSHED;
  if (NodeEntry* node = m_pNodes->Node(request->nodeId)) node->ftpSendState = 5;
  ForwardIoFtpResult(request);
  return false;
}

void CommFtp::EndAfterClose(NodeEntry* node, IoFtpRequest* request) {
  request->responseCountdown = 0;
  if (request->file.fd >= 0) {
    node->ftpSendState = 4;
    Lend(WM_DOC_FTP_CLOSE, request);
    return;
  }
  node->ftpSendState = 5;
  ForwardIoFtpResult(request);
}

void CommFtp::OnIoFtpContinue(IoFtpRequest* request) {
  if (request == nullptr) return;
  request->lent = false;
  IoFtpSendFile(request);
}

void CommFtp::IoFtpSendFile(IoFtpRequest* request) {
  if (request->lent) return;
  NodeEntry* node = m_pNodes->Node(request->nodeId);
  if (node == nullptr || node->ftpHead != request) {
    // Its node went while the job was away.
    if (request->Rcode == 0) request->Rcode = RC_FLUSHED;
    ForwardIoFtpResult(request);
    return;
  }
  switch (node->ftpSendState) {
    case 0:
      if (request->Rcode != 0) {
        node->ftpSendState = 5;
        ForwardIoFtpResult(request);
        return;
      }
      node->ftpSendState = 1;
      node->ftpTransferFlags = 0;
      request->started = true;
      Lend(WM_DOC_FTP_READ, request);
      return;
    case 1:
      if (request->Rcode != 0) {
        EndAfterClose(node, request);
        return;
      }
      if (g_bCommDebug)
        LogPrintfQueued("%s: Sending file \"%.*s\" (%d bytes) to node as \"%.*s\".\n", node->name,
                        static_cast<int>(kIoFtpNameSize), request->localName,
                        static_cast<int>(request->file.size), static_cast<int>(kIoFtpNameSize),
                        request->remoteName);
      node->ftpSendState = 2;
      request->nextBlock = 1;
      request->file.offset = 0;
      request->blocksSinceAck = 0;
      SendOpenPut(node, request);
      return;
    case 2:
      if (request->Rcode != 0) {
        EndAfterClose(node, request);
        return;
      }
      [[fallthrough]];
    case 3: {
      node->ftpSendState = 3;
      IoFtpLocalFile& file = request->file;
      if (file.bytesLeft > 0 && request->Rcode == 0) IoFtpSendBlocks(node, request);
      if (file.bytesLeft <= 0 && node->ftpTransferFlags == 0 && !file.eof &&
          request->Rcode == 0) {
        file.offset = 0;
        Lend(WM_DOC_FTP_READ, request);
        return;
      }
      if (request->Rcode != 0) {
        // The file was not sent whole (a read failed, or the job is being
        // flushed): a close would have the node keep the part it has under
        // the file's name.  The remote file stays unclosed and the login
        // ends, which makes the node discard it; the next job logs in again.
        node->ftpTransferFlags = 0;
        m_pNodes->IoFtpLogout(node);
        EndAfterClose(node, request);
        return;
      }
      if (file.eof && file.bytesLeft <= 0 && (node->ftpTransferFlags & FTP_XFER_ACK_AWAITED) == 0) {
        SendClose(node, request);
        node->ftpSendState = 4;
        if (file.fd >= 0) Lend(WM_DOC_FTP_CLOSE, request);
      }
      return;
    }
    case 4:
      if ((node->ftpTransferFlags & FTP_XFER_CLOSE_OUTSTANDING) != 0) return;
      // The node's answer counts unless the job failed before it.
      if (request->Rcode == 0) request->Rcode = request->closeStatus;
      node->ftpSendState = 5;
      ForwardIoFtpResult(request);
      return;
    default:
      return;
  }
}

void CommFtp::IoFtpSendBlocks(NodeEntry* node, IoFtpRequest* request) {
  IoFtpLocalFile& file = request->file;
  if (!file.buffer) {
    file.bytesLeft = 0;
    return;
  }
  while (file.bytesLeft > 0 && (node->ftpTransferFlags & FTP_XFER_ACK_AWAITED) == 0) {
    // The buffer's bounds hold whatever the UI thread wrote.
    if (file.offset > kIoFtpBufferSize ||
        static_cast<uint32_t>(file.bytesLeft) > kIoFtpBufferSize - file.offset) {
      file.bytesLeft = 0;
      if (request->Rcode == 0) request->Rcode = RC_FILE_READ_FAILED;
      return;
    }
    FtpRequest r(kIoFtpBlockLength, *node, IO_FTP_BLOCK, node->ftpLoginHandle);
    uint8_t* data = r.bytes + kIoFtpBlockData;
    uint16_t raw = 0;
    int pieces = 0;
    if (request->packed) {
      uint16_t used = 0;
      while (pieces < kIoFtpMaxPieces && file.bytesLeft > 0) {
        const auto n = static_cast<uint16_t>(std::min<int32_t>(file.bytesLeft, kIoFtpPieceSize));
        const uint16_t len = RleEncode(file.buffer.get() + file.offset, n, data + used,
                                       static_cast<uint16_t>(kIoFtpBlockDataSize - used),
                                       kIoFtpPackStride);
        if (len == RLE_FAIL || len == 0) break;
        used = static_cast<uint16_t>(used + len);
        Put16(r.bytes + kIoFtpBlockBounds + 2 * (pieces + 1), used);
        ++pieces;
        file.offset += n;
        file.bytesLeft -= n;
        raw = static_cast<uint16_t>(raw + n);
      }
      if (pieces == 0) std::memset(r.bytes + kIoFtpBlockBounds, 0, 34);
    }
    if (pieces == 0) {
      // Raw (also when not even one piece packed into the block).
      const auto n = static_cast<uint16_t>(std::min<int32_t>(file.bytesLeft, kIoFtpBlockDataSize));
      std::memcpy(data, file.buffer.get() + file.offset, n);
      file.offset += n;
      file.bytesLeft -= n;
      raw = n;
    }
    Put16(r.bytes + 18, raw);
    Put16(r.bytes + 20, pieces > 0 ? 1 : 0);
    Put16(r.bytes + 22, request->nextBlock++);
    bool ask = false;
    if (++request->blocksSinceAck >= kIoFtpAckEvery) {
      request->blocksSinceAck = 0;
      ask = !(file.bytesLeft <= 0 && file.eof);
    }
    if (ask) {
      r.bytes[4] = IO_FTP_BLOCK_ACK;
      node->ftpTransferFlags |= FTP_XFER_ACK_AWAITED;
      Arm(request);
    }
    m_pLib->IpcComProc(r.hdr());
  }
}

void CommFtp::OnIoFtpEvent(const IpcEvntHdr* event, uint32_t nodeId) {
  NodeEntry* node = m_pNodes->Node(nodeId);
  if (node == nullptr) return;
  const uint16_t length = std::min<uint16_t>(uint16_t{event->length}, IPC_MAX_MSG_LEN);
  const auto* bytes = reinterpret_cast<const uint8_t*>(event);
  // Every IO_FTP event carries its status at +20.
  if (length < 22) {
    LogPrintfQueued("%s: Error: Short IO_FTP event %d ignored (%d bytes).\n", node->name,
                    static_cast<int>(event->evntCode), static_cast<int>(length));
    return;
  }
  const auto status = static_cast<uint16_t>(bytes[20] | (bytes[21] << 8));
  IoFtpRequest* request = node->ftpHead;
  bool forward = false;
  // Whether the event moves the head job on, and whether it is the answer
  // to a request whose deadline runs.
  bool answer = false;
  bool awaited = false;
  switch (event->evntCode) {
    case IO_FTP_EVNT_LOGIN:
      awaited = (node->flags & NODE_FLAG_FTP_LOGIN_SENT) != 0;
      node->flags &= ~NODE_FLAG_FTP_LOGIN_SENT;
      // A login handle is needed to go on: an event without one is a refusal.
      if (status != 0 || length < 23) {
        if (request == nullptr || request->started)
          LogPrintfQueued("IOFTP login to node %s failed.\n", node->name);
        if (request != nullptr && !request->started) {
          request->Rcode = RC_FTP_LOGIN_FAILED;
          request->result.Set("IOFTP login to node %s failed.\n",
                              CompletionArg::Text(node->name));
          forward = true;
        }
      } else {
        node->ftpLoginHandle = bytes[22];
        node->flags |= NODE_FLAG_FTP_LOGGED_IN;
        if (g_bCommDebug) LogPrintfQueued("%s: IOFTP login complete.\n", node->name);
      }
      answer = request != nullptr && !request->started;
      break;
    case IO_FTP_EVNT_LOGOUT:
      node->ftpLoginHandle = 0;
      node->flags &= ~(NODE_FLAG_FTP_LOGGED_IN | NODE_FLAG_FTP_LOGOUT_SENT);
      node->ftpLogoutCountdown = 0;
      if (g_bCommDebug) LogPrintfQueued("%s: IOFTP logout complete.\n", node->name);
      // A job that came during the logout logs in again.
      answer = request != nullptr && !request->started;
      break;
    case IO_FTP_EVNT_OPEN:
      // Only the open that is awaited counts.
      if (request == nullptr || node->ftpSendState != 2) return;
      if (status == kIoFtpOpenPacked) {
        request->packed = true;
        if (g_bCommDebug)
          LogPrintfQueued("%s: File opened for put (compression ok)\n", node->name);
      } else if (status == 0) {
        request->packed = false;
        if (g_bCommDebug)
          LogPrintfQueued("%s: File opened for put (compression not supported)\n", node->name);
      } else if (request->Rcode == 0) {
        request->Rcode = RC_FTP_LOGIN_FAILED;
        request->result.Set("Unable to open file for put on %s, error = 0x%04x\n",
                            CompletionArg::Text(node->name), static_cast<int32_t>(status));
      }
      answer = awaited = true;
      break;
    case IO_FTP_EVNT_ACK:
      if ((node->ftpTransferFlags & FTP_XFER_ACK_AWAITED) == 0) return;
      node->ftpTransferFlags &= ~FTP_XFER_ACK_AWAITED;
      answer = request != nullptr && node->ftpSendState == 3;
      awaited = true;
      break;
    case IO_FTP_EVNT_CLOSE:
      if ((node->ftpTransferFlags & FTP_XFER_CLOSE_OUTSTANDING) == 0) return;
      node->ftpTransferFlags &= ~FTP_XFER_CLOSE_OUTSTANDING;
      // Kept apart from Rcode, which the UI thread may be setting while it
      // closes the local file; send state 4 takes it.
      if (request != nullptr) request->closeStatus = status;
      answer = awaited = request != nullptr;
      break;
    default:
      return;
  }
  if (request == nullptr) return;
  if (awaited) request->responseCountdown = 0;
  if (!answer || request->lent) return;  // the UI thread's answer goes on with it
  if (forward)
    ForwardIoFtpResult(request);
  else
    IoFtpContinue(request);
}

void CommFtp::ForwardIoFtpResult(IoFtpRequest* request) {
  if (request == nullptr) return;
  request->responseCountdown = 0;
  NodeEntry* node = m_pNodes->Node(request->nodeId);
  const bool headed = node != nullptr && node->ftpHead == request;
  if (headed) {
    if (g_bCommDebug)
      LogPrintfQueued("%s: Forwarding IO_FTP result, Rcode = 0x%04x.\n", node->name,
                      static_cast<unsigned>(request->Rcode));
    node->ftpHead = request->link;
    if (node->ftpHead == nullptr) node->ftpTail = nullptr;
    request->link = nullptr;
    node->ftpSendState = 0;
    node->ftpTransferFlags = 0;
    if (node->ftpHead == nullptr)
      node->ftpIdleCountdown = kFtpIdleLogoutTicks;
    else if (!m_pHost->FtpShuttingDown())
      IoFtpStart(node);
  }
  PostDone(request);
  if (headed && m_pHost->FtpShuttingDown()) {
    while (IoFtpRequest* next = node->ftpHead) {
      node->ftpHead = next->link;
      next->Rcode = RC_FLUSHED;
      PostDone(next);
    }
    node->ftpTail = nullptr;
    m_pNodes->IoFtpLogout(node);
  }
}

void CommFtp::FlushIoFtpQueue(NodeEntry* node) {
  IoFtpRequest* head = node->ftpHead;
  if (head == nullptr) return;
  // The jobs behind the head go back at once.
  while (IoFtpRequest* next = head->link) {
    head->link = next->link;
    next->Rcode = RC_FLUSHED;
    PostDone(next);
  }
  node->ftpTail = head;
  if (head->Rcode == 0) head->Rcode = RC_FLUSHED;
  if (head->lent) return;  // ends when the UI thread gives it back
  node->ftpTransferFlags = 0;
  if (!head->started) {
    node->ftpSendState = 5;
    ForwardIoFtpResult(head);
  } else {
    EndAfterClose(node, head);
  }
}

void CommFtp::Tick() {
  for (uint32_t id : m_pNodes->NodeIds()) {
    NodeEntry* node = m_pNodes->Node(id);
    if (node == nullptr) continue;
    IoFtpRequest* head = node->ftpHead;
    if (head == nullptr || head->lent) continue;
    // A logout the node never answered does not hold the next job up.
    if ((node->flags & NODE_FLAG_FTP_LOGOUT_SENT) != 0 && node->ftpLogoutCountdown == 0) {
      node->flags &= ~(NODE_FLAG_FTP_LOGGED_IN | NODE_FLAG_FTP_LOGOUT_SENT);
      node->ftpLoginHandle = 0;
      IoFtpContinue(head);
      continue;
    }
    // Whatever the job waits for from the node has a deadline, however the
    // wait began.  A job that has not started waits for its login, or, while
    // its node is there, for the node to attach its IO_FTP service, which a
    // node without the service would otherwise hold up for ever.  A job
    // whose connection went with its node (offline, or torn down to connect
    // again) waits without one: the node coming back online starts it again.
    const bool reachable =
        (node->state == NODE_STATE_CONNECTING || node->state == NODE_STATE_ONLINE) &&
        (node->flags & NODE_FLAG_DISCONNECT) == 0;
    const bool attaching = reachable && (node->flags & NODE_FLAG_FTP_CONNECTING) != 0;
    const bool waiting =
        (!head->started && ((node->flags & NODE_FLAG_FTP_LOGIN_SENT) != 0 || attaching)) ||
        (head->started && node->ftpSendState == 2) ||
        (node->ftpTransferFlags & (FTP_XFER_ACK_AWAITED | FTP_XFER_CLOSE_OUTSTANDING)) != 0;
    if (!waiting) {
      head->responseCountdown = 0;
      continue;
    }
    if (head->responseCountdown <= 0) {
      head->responseCountdown = kResponseTicks;
      continue;
    }
    if (--head->responseCountdown > 0) continue;
    LogPrintfQueued("%s: Error: Timeout waiting for IO_FTP response.\n", node->name);
    node->flags &= ~NODE_FLAG_FTP_LOGIN_SENT;
    node->ftpTransferFlags = 0;
    if (head->Rcode == 0) head->Rcode = RC_TIMEOUT;
    if (!head->started) {
      node->ftpSendState = 5;
      ForwardIoFtpResult(head);
    } else {
      EndAfterClose(node, head);
    }
  }
}

void CommFtp::NodeGone(NodeEntry* node) {
  while (IoFtpRequest* request = node->ftpHead) {
    node->ftpHead = request->link;
    request->link = nullptr;
    if (request->Rcode == 0) request->Rcode = RC_FLUSHED;
    // A lent job finds its node gone when it comes back, and goes then.
    if (!request->lent) PostDone(request);
  }
  node->ftpTail = nullptr;
}

void CommFtp::FreeQueue(NodeEntry* node) {
  while (IoFtpRequest* request = node->ftpHead) {
    node->ftpHead = request->link;
    request->link = nullptr;
    if (!request->lent) delete request;
  }
  node->ftpTail = nullptr;
}
