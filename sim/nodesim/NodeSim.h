// The node simulator: one network node on its own lab address, built on
// our library.  It announces itself (name, node type, start time), offers
// the rack service IO_KRN as server 22/1: IO_KRN_OPEN_PORT is answered with
// IO_KRN_EVNT_INDEX, the rest goes to the rack service (KrnService) with its
// rack models.  It can announce itself offline, disabled or online, restart
// (a new start time, everything the library knew forgotten) and fall
// silent.  Every
// request it takes and every event it sends is written to the trace, one
// line each.
//
// Ownership: the NodeSim owns the library's process-wide state while it
// runs; a process holds at most one.  Everything runs on the caller's
// thread; the procedure functions run inside its polls.
#ifndef SIM_NODESIM_NODESIM_H
#define SIM_NODESIM_NODESIM_H

#include <cstdint>
#include <functional>
#include <string>

#include "KrnService.h"
#include "FtpServer.h"
#include "Peer.h"

namespace nodesim {

// IO_KRN as the node serves it.
constexpr uint8_t kKrnSvrIndx = 1;
constexpr const char* kKrnLowVersion = "1.1";
constexpr const char* kKrnHighVersion = "2a0";
constexpr uint8_t IO_KRN_OPEN_PORT = 1;
constexpr uint8_t IO_KRN_SEND = 3;
constexpr uint8_t IO_KRN_APPEND = 4;
constexpr uint8_t IO_KRN_ADD_POLL = 5;
constexpr uint8_t IO_KRN_DELETE_POLL = 6;
constexpr uint16_t IO_KRN_EVNT_INDEX = 260;
constexpr uint16_t kOpenPortLength = 58;
constexpr int kPorts = 6;
// The port index a node gives the port of slot s.
constexpr uint8_t PortIndexOf(int slot) { return static_cast<uint8_t>(0x20 + slot); }

struct Options {
  ipcpeer::Options peer;  // name, address, where broadcasts go, node type
  FtpOptions ftp;         // IO_FTP 21/1 when it names a directory
};

// The local time as a rack's clock holds it: seconds since 1970 in local
// time (what the server's fault synchronisation sets).
uint32_t LocalSecondsNow();

class NodeSim {
 public:
  using Trace = std::function<void(const std::string& line)>;

  explicit NodeSim(Trace trace);
  NodeSim(const NodeSim&) = delete;
  NodeSim& operator=(const NodeSim&) = delete;

  // Starts the library and the IO_KRN server.  False with a reason.
  bool Start(const Options& options, std::string* error);
  // Forgets everything and starts again with a new start time.
  bool Restart(std::string* error);
  // The status the node announces: IPC_NODE_STATUS_ONLINE (the library's
  // own announcements), IPC_NODE_STATUS_OFFLINE or IPC_NODE_STATUS_DISABLED.
  // Announcing offline or disabled, the node stays on the network (its
  // library keeps its own node 0 online, or it could send nothing) and
  // announces that status every announce period in place of the library's
  // periodic turn, which is held meanwhile.  False for another status.
  bool SetAnnounced(uint8_t status);
  uint8_t announced() const { return announced_; }
  // A silent node reads nothing, sends nothing and announces nothing.
  void SetSilent(bool silent) { silent_ = silent; }
  bool silent() const { return silent_; }

  // Waits up to timeoutMs for a datagram or for extraFd, then polls
  // (unless silent).  True when extraFd is readable.
  bool WaitAndPoll(int timeoutMs, int extraFd);

  // Runs the rack service's polls and sends its answers that are due
  // (unless silent).
  void Tick();
  KrnService& krn() { return krn_; }

  // Ports opened and not closed since the start.
  int openPorts() const;
  uint64_t requests() const { return requests_; }

 private:
  static int OnRequest(const IpcComProcHdr* request);
  int Serve(const IpcComProcHdr* request);
  bool RegisterServer(std::string* error);
  void SendIndex(uint8_t pcNode, uint8_t index, int slot);
  void SendEvent(uint8_t pcNode, uint16_t code, const std::vector<uint8_t>& data);

  Trace trace_;
  FtpServer ftp_;
  Options options_;
  ipcpeer::Peer peer_;
  void AnnounceOwnStatus();

  bool silent_ = false;
  uint8_t announced_ = IPC_NODE_STATUS_ONLINE;
  uint16_t heldPeriod_ = 0;      // the library's announce period while it is held
  int64_t nextAnnounceMs_ = 0;  // the next own announcement
  bool open_[kPorts] = {};
  uint64_t requests_ = 0;
  KrnService krn_;
};

}  // namespace nodesim

#endif
