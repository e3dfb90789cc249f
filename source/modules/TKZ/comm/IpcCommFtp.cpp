// The comm thread's IO_FTP messages, handed to its IO_FTP client, and the
// frame's handlers of the local-file requests.
#include <thread>

#include "IoFtpFile.h"
#include "IpcComm.h"
#include "RcCodes.h"
#include "ThreadMsgs.h"

bool CIpcComm::OnCommThread() const {
  // Inline, the caller's thread is the comm thread.
  return !m_Thread.joinable() || std::this_thread::get_id() == m_Thread.get_id();
}

bool CIpcComm::PostFtpToFrame(uint32_t message, IoFtpRequest* request) {
  return msgq::PostMessage(g_hFrameWnd.load(), message, 0, reinterpret_cast<intptr_t>(request));
}

void CIpcComm::OnIoFtpRequest(IoFtpRequest* request) { m_Ftp.OnIoFtpRequest(request); }

void CIpcComm::OnIoFtpContinue(IoFtpRequest* request) { m_Ftp.OnIoFtpContinue(request); }

void CIpcComm::ForwardIoFtpResult(IoFtpRequest* request) {
  if (request == nullptr) return;
  if (!OnCommThread()) {
    if (PostToCommWnd(WM_IPC_FTP_FORWARD, 0, reinterpret_cast<intptr_t>(request))) return;
    // No comm thread to take it: straight to the frame.
    if (!PostFtpToFrame(WM_DOC_FTP_DONE, request)) delete request;
    return;
  }
  m_Ftp.ForwardIoFtpResult(request);
}

void CIpcComm::FlushIoFtpQueue(NodeEntry* node) {
  if (node != nullptr) m_Ftp.FlushIoFtpQueue(node);
}

namespace {

void GiveBack(IoFtpRequest* request) {
  if (PostToCommWnd(WM_IPC_FTP_CONTINUE, 0, reinterpret_cast<intptr_t>(request))) return;
  // The comm thread is gone: the job ends here, on the frame's queue.
  request->lent = false;
  request->link = nullptr;
  if (request->Rcode == 0) request->Rcode = RC_FLUSHED;
  if (!msgq::PostMessage(g_hFrameWnd.load(), WM_DOC_FTP_DONE, 0,
                         reinterpret_cast<intptr_t>(request)))
    delete request;
}

}  // namespace

void IoFtpReadBlock(IoFtpRequest* request) {
  if (request == nullptr) return;
  IoFtpReadLocal(request);
  GiveBack(request);
}

void IoFtpCloseFile(IoFtpRequest* request) {
  if (request == nullptr) return;
  IoFtpCloseLocal(request);
  GiveBack(request);
}

void IoFtpAbandonLent(IoFtpRequest* request) {
  if (request == nullptr) return;
  if (request->Rcode == 0) request->Rcode = RC_FLUSHED;
  IoFtpCloseFile(request);
}
