// Fakes for the comm thread's tests: a recording library, a host identity,
// a message box that keeps its texts, and a frame queue to collect what the
// comm thread posts back.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "CommLibrary.h"
#include "IpcComm.h"
#include "MessageBox.h"
#include "msgqueue.h"
#include "net/backend.h"
#include "net/error.h"
#include "RackMsg.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"

// Records every call (under a lock: the comm thread writes while the test
// may read).  Start-up calls are recorded by name with their arguments; the
// poll's calls only counted.
class FakeCommLibrary : public CommLibrary {
 public:
  // Answers.
  uint8_t initOk = 1;
  uint8_t linkInitOk = 1;
  uint8_t maxNodes = 100;
  uint8_t addrIndex = 255;
  IpcNetNodeLinkStatus linkStatus = IPC_LINK_STATUS_NONE;
  // IpcEvntDespatch reports an event this many times, then none.
  int eventsPending = 0;
  // Run inside IpcNetTcpIpTick (comm thread).
  std::function<void()> onTick;
  // Run inside IpcInit after it is recorded (comm thread).
  std::function<void()> onInit;

  std::vector<std::string> Calls() const {
    std::lock_guard lk(m_);
    return calls_;
  }
  int Ticks() const {
    std::lock_guard lk(m_);
    return ticks_;
  }
  int NetDespatches() const {
    std::lock_guard lk(m_);
    return netDespatches_;
  }
  std::vector<IpcTime> Times() const {
    std::lock_guard lk(m_);
    return times_;
  }
  SocketOpenHook socketHook() const {
    std::lock_guard lk(m_);
    return socketHook_;
  }
  IpcClntEvntFn logCallback() const {
    std::lock_guard lk(m_);
    return logCallback_;
  }

  DebugHook InstallDebugHook(DebugHook fn) override {
    Record("InstallDebugHook");
    return fn;
  }
  SocketOpenHook InstallSocketOpenHook(SocketOpenHook fn) override {
    {
      std::lock_guard lk(m_);
      socketHook_ = fn;
    }
    Record("InstallSocketOpenHook");
    return fn;
  }
  uint16_t IpcInit() override {
    Record("IpcInit");
    if (onInit) onInit();
    return 0;
  }
  void IpcSvrLocationSet(uint8_t t, uint8_t i, uint8_t k, uint8_t h, uint8_t n, int32_t a,
                         int32_t b, int32_t c, int32_t d) override {
    Record("IpcSvrLocationSet(" + Join({t, i, k, h, n, a, b, c, d}) + ")");
  }
  IpcErrCode IpcClntEvntCreate(uint8_t t, uint8_t i, IpcClntEvntFn fn, const char* version,
                               uint8_t* handle, intptr_t user) override {
    {
      std::lock_guard lk(m_);
      logCallback_ = fn;
    }
    *handle = 1;
    Record("IpcClntEvntCreate(" + Join({t, i}) + "," + version + "," +
           (fn == &IpcAssert ? "IpcAssert" : "?") + "," + std::to_string(user) + ")");
    return 0;
  }
  uint8_t IpcNetNodeInfoCreate(uint8_t idx, const char* name, uint32_t addr,
                               uint8_t type) override {
    Record("IpcNetNodeInfoCreate(" + std::to_string(idx) + "," + name + "," +
           net::FormatAddress(addr) + "," + std::to_string(type) + ")");
    return idx;
  }
  void SetCurrentTime(IpcTime t) override {
    std::lock_guard lk(m_);
    if (!started_) calls_.push_back("IpcCurrentTime");
    times_.push_back(t);
  }
  void IpcNetTcpIpInitDriver() override { Record("IpcNetTcpIpInitDriver"); }
  uint8_t IpcNetTcpIpIsInitOk() override {
    Record("IpcNetTcpIpIsInitOk");
    return initOk;
  }
  uint8_t IpcNetNodeLinkInit() override {
    Record("IpcNetNodeLinkInit");
    return linkInitOk;
  }
  uint8_t IpcGetMaxNetNodeIndx() override {
    Record("IpcGetMaxNetNodeIndx");
    std::lock_guard lk(m_);
    started_ = true;  // the last start-up call; what follows is polling
    return maxNodes;
  }
  void IpcNetTcpIpTick() override {
    {
      std::lock_guard lk(m_);
      ++ticks_;
    }
    if (onTick) onTick();
  }
  void IpcNetDespatch() override {
    std::lock_guard lk(m_);
    ++netDespatches_;
  }
  uint8_t IpcEvntDespatch() override {
    std::lock_guard lk(m_);
    if (eventsPending <= 0) return 0;
    --eventsPending;
    return 1;
  }
  uint8_t IpcNetNodeAddrExists(uint32_t) override { return addrIndex; }
  IpcNetNodeLinkStatus IpcNetNodeLinkStatusGet(uint8_t) override { return linkStatus; }
  // The node tables' calls: no node gets a client or a net handle here.
  IpcNetNodeStatus IpcNetNodeStatusGet(uint8_t) override { return IPC_NODE_STATUS_OFFLINE; }
  uint32_t IpcNetNodeAddrGet(uint8_t) override { return 0; }
  uint16_t IpcNetNodeBufStateGet(uint8_t, uint16_t* head, uint16_t* tail) override {
    *head = *tail = 0xFFFF;
    return 0xFFFF;
  }
  void IpcSvrLocationDestroy(uint8_t, uint8_t) override {}
  IpcErrCode IpcClntComProcCreate(uint8_t, uint8_t, const char*, uint8_t* handle) override {
    *handle = 0;
    return IPC_ERR_NO_FREE_CLNT;
  }
  void IpcClntComProcDestroy(uint8_t, uint8_t, uint8_t) override {}
  void IpcClntEvntDestroy(uint8_t, uint8_t, uint8_t) override {}
  uint8_t IpcClntComProcNetHandleGet(uint8_t, uint8_t, uint8_t) override { return 0; }
  uint8_t IpcClntEvntNetHandleGet(uint8_t, uint8_t, uint8_t) override { return 0; }
  int IpcComProc(IpcComProcHdr*) override { return 0; }
  void DirectLinkStart() override { Record("DirectLinkStart"); }
  void MsClockSet(uint8_t, uint8_t, uint8_t, uint8_t) override {}
  void DirectLinkTick() override {}

 private:
  static std::string Join(std::initializer_list<int32_t> values) {
    std::string s;
    for (int32_t v : values) s += (s.empty() ? "" : ",") + std::to_string(v);
    return s;
  }
  void Record(std::string call) {
    std::lock_guard lk(m_);
    if (!started_) calls_.push_back(std::move(call));
  }

  mutable std::mutex m_;
  std::vector<std::string> calls_;
  bool started_ = false;
  int ticks_ = 0;
  int netDespatches_ = 0;
  std::vector<IpcTime> times_;
  SocketOpenHook socketHook_ = nullptr;
  IpcClntEvntFn logCallback_ = nullptr;
};

// A host's name and address; no sockets.
class FakeIdentity final : public net::Backend {
 public:
  FakeIdentity(std::string name, uint32_t address) : name_(std::move(name)), address_(address) {}
  int Open(net::Socket* s) override {
    *s = net::kInvalidSocket;
    return net::err::kNetDown;
  }
  int SetOption(net::Socket, net::Option, bool) override { return net::err::kNotSocket; }
  int SetNonBlocking(net::Socket, bool) override { return net::err::kNotSocket; }
  int Bind(net::Socket, net::Endpoint) override { return net::err::kNotSocket; }
  int LocalEndpoint(net::Socket, net::Endpoint*) override { return net::err::kNotSocket; }
  net::SendResult SendTo(net::Socket, net::Endpoint, const void*, std::size_t) override {
    return {net::err::kNotSocket, 0};
  }
  net::RecvResult RecvFrom(net::Socket, void*, std::size_t) override {
    return {net::err::kNotSocket, 0, 0, {}};
  }
  int Close(net::Socket) override { return net::err::kNotSocket; }
  int OwnAddress(uint32_t* address) override {
    *address = address_;
    return address_ != 0 ? 0 : net::err::kHostNotFound;
  }
  int HostName(std::string* name) override {
    *name = name_;
    return 0;
  }

 private:
  std::string name_;
  uint32_t address_;
};

// The main frame's queue, owned by the test thread, installed as
// g_hFrameWnd for the test's lifetime.
class FrameQueue {
 public:
  FrameQueue() { g_hFrameWnd.store(q_.handle()); }
  ~FrameQueue() {
    g_hFrameWnd.store(msgq::Handle{});
    msgq::Msg m;
    while (msgq::PeekMessage(q_.handle(), &m)) Free(m);
  }
  // Waits (hang guard only) for the next message.
  bool Next(msgq::Msg* out, int timeoutMs = 20000) {
    return msgq::WaitMessage(q_.handle(), timeoutMs) && msgq::PeekMessage(q_.handle(), out);
  }
  // Takes what is there without waiting.
  std::vector<msgq::Msg> TakeAll() {
    std::vector<msgq::Msg> out;
    msgq::Msg m;
    while (msgq::PeekMessage(q_.handle(), &m)) out.push_back(m);
    return out;
  }
  // Frees what a message hands over (the comm thread's returns).
  static void Free(const msgq::Msg& m) {
    if (m.message == WM_DOC_MSG_DONE || m.message == WM_DOC_RACK_EVENT)
      FreeRackMsg(reinterpret_cast<RackMsg*>(m.lParam));
    else if (m.message == WM_DOC_FTP_DONE)
      delete reinterpret_cast<IoFtpRequest*>(m.lParam);
  }
  msgq::Handle handle() const { return q_.handle(); }

 private:
  msgq::Queue q_;
};
