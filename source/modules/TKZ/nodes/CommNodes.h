// The comm thread's node and rack tables and the node state machine.
//
// CommNodes keeps one NodeEntry per network node the database names and one
// RackEntry per rack, loads them in a mark-and-sweep bracket (OnLoadPhase,
// OnAddNode, OnAddRack), connects each node's IO_KRN service, opens its rack
// ports, reports a node that comes Online or leaves it, tears connections
// down on request and reconnects after a delay.  Every call it makes into
// the IPC library goes through a NodeLibrary; everything it hands to the UI
// thread goes through a CommNodesHost.
//
// Threads: comm thread only.  The library's IO_KRN event callback
// (KrnEventCallback) runs on the comm thread inside a library poll and
// reaches the active CommNodes (Activate).
//
// Ownership: CommNodes owns every NodeEntry and RackEntry (the maps), every
// RackMsg queued on a port or being assembled there, until it goes back to
// the host (ReturnMsg) or is freed at destruction.  Nothing outside keeps a
// pointer to an entry across a post, a reload or a re-send: messages carry
// the rack number and node id, looked up when used.  It does not own the
// library or the host, which must outlive it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "CommTables.h"
#include "NodeLibrary.h"

struct RackMsg;
class CommFtp;

// What the tables hand to the rest of the comm thread and to the UI thread.
class CommNodesHost {
 public:
  virtual ~CommNodesHost() = default;
  // Hands a message back to the UI thread (WM_DOC_MSG_DONE); the host owns
  // it from then on.
  virtual void ReturnMsg(RackMsg* msg) = 0;
  // WM_DOC_NODE_STATUS: wParam 1 = now Online, 0 = left Online; lParam id.
  virtual void PostNodeStatus(bool online, uint32_t nodeId) = 0;
  // The comm object is shutting down.
  virtual bool ShuttingDown() const = 0;
  // WM_DOC_RACK_EVENT: an unsolicited poll response allocated here; the host
  // owns it from then on.  The default frees it.
  virtual void PostRackEvent(RackMsg* msg);
  // WM_DOC_RACK_STATUS (wParam 0, lParam rack number): the rack is down.
  virtual void PostRackStatus(uint32_t rack);
  // The rack answers again: its fault synchronisation (command 57) is to be
  // sent.  The host allocates and hands over the message itself.
  virtual void SendSyncFaultEvents(uint32_t rack);
};

class CommNodes {
 public:
  // IO_KRN and IO_FTP service versions.
  static constexpr const char* kKrnVersion = "2a0";
  static constexpr const char* kKrnLocalVersion = "1.1";
  static constexpr const char* kFtpVersion = "1.5";

  CommNodes(NodeLibrary& library, CommNodesHost& host);
  // Frees every message still queued on a port and every entry.  Makes no
  // library call and posts nothing.
  ~CommNodes();
  CommNodes(const CommNodes&) = delete;
  CommNodes& operator=(const CommNodes&) = delete;

  void SetLibrary(NodeLibrary& library) { m_pLib = &library; }
  // Frees every queued message and every entry, as the destructor does.
  void FreeAll();
  // Makes this the target of the IO_KRN event callback.  The constructor
  // does it; the comm thread does it again when it starts.
  void Activate();

  // ---- the document's loads (the synchronous messages) ----
  void OnLoadPhase(uint32_t flags);
  void OnAddNode(const NodeDesc& desc);
  void OnAddRack(const RackDesc& desc);
  void OnDisconnectNode(uint32_t nodeId);
  // The rack's 16 version bytes: serial (8), software (6), hardware (u16
  // little-endian); marks the version received.  False for an unknown rack.
  bool SetRackVersion(uint32_t rack, const uint8_t* versionBytes);

  // ---- the state machine ----
  // One step of the node; returns its new state.  The entry may have been
  // deleted when this returns: the caller looks it up again by id.
  uint32_t NodeStep(NodeEntry* node);
  void ConnectKrn(NodeEntry* node);
  // Nothing waits in the library's transmit queue for the net node.
  bool TxDrained(uint8_t netNodeIndx);
  // The tick's work on every node, in id order: countdowns, port response
  // time-outs, the state machine.  Returns how many nodes are Online.
  uint32_t Tick();
  // Shutdown's work on every node: teardown requested, open ports closed
  // when the link is up, IO_FTP logged out; nodes with nothing to close go
  // Disconnected at once.  From kShutdownWaitTicks after it on, a teardown
  // waits neither for the library's transmit queue to drain nor for an
  // IO_FTP logout's answer: a node that has died cannot hold the shutdown
  // up for longer.
  void BeginShutdown();

  // ---- rack messages on the ports ----
  // Every message handed to these comes back exactly once through the
  // host's ReturnMsg (at once, on its response, on a time-out or a flush).
  //
  // Fills the rack's node id and port slot (a broadcast carries its own)
  // and checks that node and slot exist; otherwise the message goes back
  // with RC_NO_NODE_FOR_RACK and the result is false.
  bool ResolveMsg(RackMsg* msg);
  // WM_IPC_SEND_MSG: resolved, refused with RC_RACK_LEARNING while its rack
  // learns loads, else queued.
  void OnSendMsg(RackMsg* msg);
  // WM_IPC_LOAD_LEARN: phase 0 marks the rack learning, deletes its poll
  // and queues the message; phase 1 clears the mark, registers the poll
  // again and returns the message unsent with the Rcode it came with.
  void OnLoadLearn(RackMsg* msg, int phase);
  // Queues a resolved message (node id and port slot set) on its port,
  // sending it when the node is Online and the port idle.  A message whose
  // node is gone or whose slot is out of range goes back with
  // RC_NO_NODE_FOR_RACK; one whose node the state step deletes, with
  // RC_FLUSHED; one whose send length lies outside 0..290, unsent with
  // RC_COMM_FAILURE.
  void QueueMsg(RackMsg* msg);
  // Returns every message queued on the node's ports with the code (and no
  // response).
  void FlushNode(NodeEntry* node, uint16_t rcode);
  // Takes the port's head off its queue and returns it (rack statistics,
  // the rack up/down relay, logs).
  void ForwardResponse(NodeEntry* node, int slot);
  // The rack up/down relay: a polled rack that answers while neither up nor
  // synchronising gets its fault synchronisation; a rack that stops
  // answering loses its up mark (WM_DOC_RACK_STATUS when it was up).
  void SetRackResponding(RackEntry* rack, bool responding);
  // The UI thread's answer to the rack's fault synchronisation: the rack
  // is marked up only while that synchronisation is outstanding in its
  // node's current Online period.  A rack-up that arrives after the node
  // left Online, or after the rack stopped answering, is stale and leaves
  // the rack alone, so that its next synchronisation brings it up.  True
  // when the rack was marked up now (its version is then to be asked).
  bool MarkRackUp(uint32_t rack);

  // ---- IO_KRN (ports, sending, polls, events) ----
  bool OpenNextPort(NodeEntry* node);
  void ClosePort(NodeEntry* node, int slot);
  void SendHead(NodeEntry* node, int slot);
  void AddPoll(RackEntry* rack);
  void DeletePoll(RackEntry* rack);
  void AddPollingForNode(NodeEntry* node);
  void DeletePollingForNode(NodeEntry* node);
  // The event callback's target; the user value is the node id.
  void OnIoKrnEvent(const IpcEvntHdr* event, uint32_t nodeId);
  static void KrnEventCallback(const IpcEvntHdr* event, intptr_t userValue);

  // ---- IO_FTP (what the tables need of it) ----
  void IoFtpStart(NodeEntry* node);
  void IoFtpLogin(NodeEntry* node);
  void IoFtpLogout(NodeEntry* node);
  // The IO_FTP client that runs the nodes' jobs (none: the tables start no
  // job and log no node in).  Not owned; it clears itself when it goes.
  void SetFtpClient(CommFtp* ftp) { m_pFtp = ftp; }

  // ---- look-ups ----
  NodeEntry* Node(uint32_t nodeId);
  RackEntry* Rack(uint32_t rack);
  const NodeEntry* FindNode(uint32_t nodeId) const;
  const RackEntry* FindRack(uint32_t rack) const;
  size_t NodeCount() const { return m_NodeMap.size(); }
  size_t RackCount() const { return m_RackMap.size(); }
  std::vector<uint32_t> NodeIds() const;
  std::vector<uint32_t> RackNumbers() const;

 private:
  // Client id: the lowest of 1 to 100 that no entry holds; 0 when none.
  uint8_t FreeClientId() const;
  void DeleteNode(uint32_t nodeId);
  void DestroyKrnClients(NodeEntry* node);
  void DestroyFtpClients(NodeEntry* node);
  void Teardown(NodeEntry* node, uint8_t idx);
  void ResetPorts(NodeEntry* node);
  // The link is up and the IO_KRN clients have their net handles (the
  // local server needs none).
  bool KrnAttached(NodeEntry* node, uint8_t idx);
  // The clients are attached: the ports are opened anew, from the first.
  void StartPorts(NodeEntry* node);
  // A slot the last load no longer configures: its queued messages go back
  // with RC_FLUSHED, a poll response half-assembled on it is dropped, its
  // racks lose their polling (the node drops a port's polls with the port),
  // and the port is closed when it was open.
  void DropPort(NodeEntry* node, int slot);
  // Returns every message queued on the slot's port with the code.
  void FlushPort(NodeEntry* node, int slot, uint16_t rcode);
  // Hands back a message that was never queued, with the comm thread's own
  // failure code and no response.
  void Refuse(RackMsg* msg, uint16_t rcode);
  // Ends the port's head with the comm thread's own failure code: whatever
  // its response area holds is not a response.
  void FailHead(NodeEntry* node, int slot, uint16_t rcode);
  // Sends the packed command with its appends; false (nothing sent) when
  // the send length is out of range.
  bool SendKrnMsg(NodeEntry* node, int slot, RackMsg* msg);
  // Sends the port's next head when the node can take it.
  void SendNext(NodeEntry* node, int slot);
  // The slot of an open port with this IO_KRN port index; -1 when none.
  int SlotOfIndex(const NodeEntry* node, uint8_t index) const;
  void OnKrnStart(NodeEntry* node, const uint8_t* event, uint16_t length);
  void OnKrnReport(NodeEntry* node, const uint8_t* event, uint16_t length);
  void OnKrnIndex(NodeEntry* node, const uint8_t* event, uint16_t length);
  // A response's packed bytes are all in: unpack them in place.
  void Unpack(RackMsg* msg);
  void SendOpenPort(NodeEntry* node, int slot, uint8_t subCommand);

  NodeLibrary* m_pLib;
  CommNodesHost* m_pHost;
  CommFtp* m_pFtp = nullptr;
  std::map<uint32_t, std::unique_ptr<NodeEntry>> m_NodeMap;
  std::map<uint32_t, std::unique_ptr<RackEntry>> m_RackMap;
  // Ticks since the shutdown began; past a bound its teardowns no longer
  // wait for a node's answers.
  int32_t m_shutdownTicks = 0;
};
