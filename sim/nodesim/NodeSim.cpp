#include "NodeSim.h"

#include "SimEvent.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "ipcinst.h"  // the library's announce turn, held while the node announces another status

namespace nodesim {
namespace {

NodeSim* gSim = nullptr;  // the process's one simulator (the procedures reach it)

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string Dotted(uint32_t a) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return buf;
}

int64_t NowMs() { return static_cast<int64_t>(ipcpeer::MonotonicMicros() / 1000); }

}  // namespace

uint32_t LocalSecondsNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return static_cast<uint32_t>(static_cast<int64_t>(now) + local.tm_gmtoff);
}

NodeSim::NodeSim(Trace trace)
    : trace_(std::move(trace)),
      ftp_(trace_),
      krn_([this](uint8_t pcNode, uint16_t code, const std::vector<uint8_t>& data) {
             SendEvent(pcNode, code, data);
           },
           [this](const std::string& line) { trace_(line); }) {}

void NodeSim::Tick() {
  if (silent_) return;
  bool raised = krn_.Tick(NowMs()) > 0;
  if (announced_ != IPC_NODE_STATUS_ONLINE && NowMs() >= nextAnnounceMs_) {
    AnnounceOwnStatus();
    raised = true;
  }
  // What was raised goes out at once rather than after the next wait.
  if (raised) peer_.Poll();
}

void NodeSim::AnnounceOwnStatus() {
  // The library's own turn stays held: it would announce the node online.
  ipc::Cur().net.announceTime = IpcCurrentTime;
  ipc::IpcRouterNodeStatusEvnt(0, announced_);
  nextAnnounceMs_ = NowMs() + std::max<int64_t>(heldPeriod_, 1) * 10;
}

void NodeSim::SendEvent(uint8_t pcNode, uint16_t code, const std::vector<uint8_t>& data) {
  RaiseToPc(IPC_SVR_IO_KRN, kKrnSvrIndx, pcNode, code, data.data(), data.size());
}

int NodeSim::OnRequest(const IpcComProcHdr* request) {
  return gSim != nullptr && request != nullptr ? gSim->Serve(request) : 0;
}

bool NodeSim::RegisterServer(std::string* error) {
  static const IpcComProcEntry procs[] = {
      {IO_KRN_OPEN_PORT, 0, &NodeSim::OnRequest}, {IO_KRN_SEND, 0, &NodeSim::OnRequest},
      {IO_KRN_APPEND, 0, &NodeSim::OnRequest},    {IO_KRN_ADD_POLL, 0, &NodeSim::OnRequest},
      {IO_KRN_DELETE_POLL, 0, &NodeSim::OnRequest}};
  static const uint8_t events[] = {1};
  if (IpcSvrAndSvcCreate(IPC_SVR_IO_KRN, kKrnSvrIndx, kKrnLowVersion, kKrnHighVersion, 6, procs,
                         static_cast<uint8_t>(std::size(procs)), events,
                         static_cast<uint8_t>(std::size(events))) != 1) {
    *error = "IO_KRN server not registered";
    return false;
  }
  IpcSvrLocationSet(IPC_SVR_IO_KRN, kKrnSvrIndx, IPC_HOST_KIND_LOCAL, kKrnSvrIndx, 0, 0, 0, 0, 0);
  return true;
}

bool NodeSim::Start(const Options& options, std::string* error) {
  gSim = this;
  options_ = options;
  options_.peer.serve = false;
  std::fill(std::begin(open_), std::end(open_), false);
  if (!peer_.Start(options_.peer, error)) return false;
  if (!RegisterServer(error)) return false;
  if (!ftp_.Start(options_.ftp, error)) return false;
  trace_("start " + options_.peer.name + " " + Dotted(options_.peer.addr) + " type " +
         std::to_string(options_.peer.nodeType) + " start_time " +
         std::to_string(ipc::IpcNetNodeStartTimeGet(0)));
  return true;
}

bool NodeSim::Restart(std::string* error) {
  // A restart announces the node online again (IpcInit sets the period).
  announced_ = IPC_NODE_STATUS_ONLINE;
  IpcTerm();
  krn_.Reset();
  ftp_.Reset();
  silent_ = false;
  return Start(options_, error);
}

bool NodeSim::SetAnnounced(uint8_t status) {
  if (status != IPC_NODE_STATUS_ONLINE && status != IPC_NODE_STATUS_OFFLINE &&
      status != IPC_NODE_STATUS_DISABLED)
    return false;
  if (status == IPC_NODE_STATUS_ONLINE) {
    // The library's turn announces the node online again at once.
    if (announced_ != IPC_NODE_STATUS_ONLINE) IpcNetBcastPeriod = heldPeriod_;
  } else if (announced_ == IPC_NODE_STATUS_ONLINE) {
    heldPeriod_ = IpcNetBcastPeriod;
    IpcNetBcastPeriod = 0xFFFF;
  }
  announced_ = status;
  if (status != IPC_NODE_STATUS_ONLINE) {
    AnnounceOwnStatus();
    peer_.Poll();
  }
  trace_(std::string("status ") + (status == IPC_NODE_STATUS_ONLINE    ? "online"
                                   : status == IPC_NODE_STATUS_OFFLINE ? "offline"
                                                                       : "disabled"));
  return true;
}

bool NodeSim::WaitAndPoll(int timeoutMs, int extraFd) {
  if (!silent_) return peer_.WaitAndPoll(timeoutMs, extraFd);
  // Silent: the sockets are left unread; only the control channel counts.
  pollfd p{extraFd, POLLIN, 0};
  const int rc = ::poll(&p, extraFd >= 0 ? 1 : 0, timeoutMs);
  return rc > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

int NodeSim::openPorts() const {
  return static_cast<int>(std::count(std::begin(open_), std::end(open_), true));
}

int NodeSim::Serve(const IpcComProcHdr* request) {
  ++requests_;
  // The request is the library's copy: read within its own length.
  // (The library's copy need not be aligned: the length is read by value.)
  const uint16_t claimed = request->length;
  const uint16_t length = std::min<uint16_t>(claimed, IPC_MAX_MSG_LEN);
  const auto* p = reinterpret_cast<const uint8_t*>(request);
  const uint8_t proc = request->procId;
  if (proc != IO_KRN_OPEN_PORT) {
    krn_.Request(proc, p, length, NowMs());
    return 0;
  }
  if (length < 26) {
    trace_("req 1 short " + std::to_string(length));
    return 0;
  }
  const uint32_t pc = Get32(p + 16);
  const uint8_t sub = p[21];
  const int slot = p[24] | (p[25] << 8);
  char line[128];
  std::snprintf(line, sizeof line, "req open_port from %s evnt %u sub %u slot %d", Dotted(pc).c_str(),
                p[20], sub, slot);
  trace_(line);
  if (slot < 0 || slot >= kPorts) {
    trace_("refused slot " + std::to_string(slot));
    return 0;
  }
  if (sub == 0) {
    open_[slot] = false;
    krn_.Close(slot);
    return 0;
  }
  if (sub != 3) return 0;
  open_[slot] = true;
  const uint8_t pcNode = IpcNetNodeAddrExists(pc);
  krn_.Open(slot, PortIndexOf(slot), pcNode);
  SendIndex(pcNode, PortIndexOf(slot), slot);
  return 0;
}

void NodeSim::SendIndex(uint8_t pcNode, uint8_t index, int slot) {
  const uint8_t data[2] = {index, 0};
  const int rc = RaiseToPc(IPC_SVR_IO_KRN, kKrnSvrIndx, pcNode, IO_KRN_EVNT_INDEX, data, sizeof data);
  char line[96];
  std::snprintf(line, sizeof line, "evt index 0x%02x slot %d node %u rc %d", index, slot, pcNode, rc);
  trace_(line);
}

}  // namespace nodesim
