// CTKZDoc: the server's one document.  It holds the database connection
// (engine with the workgroup file, the workspace of the server's own
// account, the database, the request queries and their recordsets) and the
// tables the request engine and the resident-table code keep in memory.  Its
// open brings the server up: database, stored-query maintenance, request
// queries, racks and nodes marked offline, the comm thread, the resident
// tables.  Its close runs on the way out.
//
// The class is split across files by concern; each section below names its
// file.  Add a concern as a new section (and file) rather than growing
// another one.
//
// Database conventions (every member that touches the database):
//   - queries are taken by name from the query collection, parameters set by
//     name (i32 for INT and most keys, i16 for SMALLINT, u8 for BYTE), rows
//     read by column-name bindings into packed records (DocRows.h);
//   - every block of database work runs inside a catch of dao::Error, which
//     logs "%s#%d: Error %d : %s\n" through LogDbError with a fixed line
//     number of that block; the few small readers documented as throwing
//     leave the exception to their caller's catch.
//
// Threads: the UI thread only (the thread that constructs it).
// Ownership: the document owns its DAO objects, the records of its rack,
// zone and request maps, and the schedule queue.  It does not own its ports
// (DocPorts): they must outlive it.  g_pDoc points to it from construction
// to destruction.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "DocCommPort.h"
#include "DocKeptWrites.h"
#include "DocRequest.h"
#include "DocRows.h"
#include "DocTables.h"
#include "DocZoneTree.h"
#include "FaultRecord.h"
#include "Document.h"
#include "dao/binding.h"
#include "dao/database.h"
#include "dao/engine.h"
#include "dao/errors.h"
#include "dao/querydef.h"
#include "dao/recordset.h"

class CApp;
class MessageBoxPort;
struct IoFtpRequest;
struct RequestParamRow;
struct RackMsg;
struct ScheduleNode;
class CComm;
namespace platform::time {
class Clock;
}

// The server's own account in the workgroup.
inline constexpr char kDocUserName[] = "TKZ";
inline constexpr char kDocPassword[] = "vqd";
// Source name of the document's database error lines.
inline constexpr char kDocSourceName[] = "doc.cpp";

// Fixed line numbers of the document's database error lines, one per block.
inline constexpr int kDocLineOpen = 1150;            // the open sequence
inline constexpr int kDocLineQueryLookup = 1013;     // stored query: lookup
inline constexpr int kDocLineQueryReplace = 1035;    // stored query: delete / create
inline constexpr int kDocLineWriteBack = 884;        // request write-back
inline constexpr int kDocLinePollRequests = 1235;    // request poll
inline constexpr int kDocLineReloadRackConfig = 5385;
inline constexpr int kDocLineBvtChannelMap = 5460;
inline constexpr int kDocLineSetAllOffline = 6845;
inline constexpr int kDocLineWriteFaults = 6310;
inline constexpr int kDocLineDeleteRackFaults = 6372;
inline constexpr int kDocLineNodeStatus = 6544;
inline constexpr int kDocLineNodeRacks = 6583;
inline constexpr int kDocLineRackStatus = 6630;

// How long the open waits for another program's lock on the database before
// it gives up, and how long the close waits for it to write what it still
// holds (the racks and nodes offline, kept results).
inline constexpr int kDocOpenLockWaitMs = 30000;
inline constexpr int kDocCloseLockWaitMs = 5000;

// The text of a request row that an earlier run of the server left in
// process (it stopped before the result was written): the row is failed,
// never run a second time, as a rack command of it may have gone out.
inline constexpr char kDocLeftInProcessText[] =
    "Error: TKZ stopped while this request was in process; it is not run again.";

// Brevant channel map: rooms 1 to 16, channels 1 to 15.
inline constexpr int kBvtRooms = 16;
inline constexpr int kBvtChannels = 15;
inline constexpr uint8_t kBvtNoDimmer = 255;
// Rows of TKZqryBvtChannels read at most.
inline constexpr size_t kBvtChannelRowsMax = 108;

// Where the document's outside world comes from.  Null members take the
// defaults named.
struct DocPorts {
  CApp* app = nullptr;                     // theApp: the timer callback slot
  MessageBoxPort* messageBox = nullptr;    // standard error
  DocCommPort* comm = nullptr;             // none: communications are not started
  platform::time::Clock* clock = nullptr;  // the system clock
  int openLockWaitMs = kDocOpenLockWaitMs;
  int closeLockWaitMs = kDocCloseLockWaitMs;
};

class CTKZDoc : public CDocument {
 public:
  // =========================================================================
  // Construction, open, close, stored queries, rack readers      (Doc.cpp)
  // =========================================================================
  explicit CTKZDoc(const DocPorts& ports = {});
  ~CTKZDoc() override;
  CTKZDoc(const CTKZDoc&) = delete;
  CTKZDoc& operator=(const CTKZDoc&) = delete;

  // The open sequence; false ends start-up (its message box has been
  // shown).  While it runs, a statement that meets another program's lock
  // waits for it, up to openLockWaitMs in all (logged once); past that the
  // open fails with a message box that says so.  Request rows an earlier
  // run left in process (RequestState 3) are failed with
  // kDocLeftInProcessText.
  bool OnNewDocument() override;
  // The close: schedule queue emptied, racks and nodes offline, a waiting
  // termination request written back as succeeded.
  void OnCloseDocument() override;

  // Every rack and node offline in the database (TKZqryRacksOffLine, then
  // TKZqryNodesOffLine); a failure is logged and ends it.  A node or rack
  // status still kept for a later tick is dropped: offline holds.
  void SetAllOffline();
  // NumberRows and NumberSlots of a rack's configuration.  Throws dao::Error.
  void GetRackRowsColumns(int32_t rack, int32_t& rows, int32_t& slots);
  // RackType of a zone's rack configuration; -1 on any database error (not
  // logged), a missing row included.
  int32_t GetRackType(int32_t zoneId);
  // Writes a rack's software version into its tblRackStatus row (cut to the
  // column's 50 characters).  Throws dao::Error (3021 without a row); a
  // write that can land later is kept as well and written by a later tick.
  void SetRackSoftwareVersion(int32_t rack, const std::string& version);

  // Logs "doc.cpp#<line>: Error <low 16 bits> : <description>\n".
  static void LogDbError(int line, const dao::Error& e);

  // =========================================================================
  // Request engine                                        (DocRequests.cpp)
  // PollRequests claims each pending row (RequestState 0 to 3 in one
  // conditional update, as other programs write the table concurrently)
  // and dispatches it on RequestType to the request handlers below.
  // =========================================================================
  // The timer callback registered with CApp: polls requests, then runs the
  // due schedule events; a tick during an earlier tick's work does nothing.
  static int OnTimerCallback(void* ctx, uint32_t timerId);
  void PollRequests();

  // A new in-process request with the next ReqNum, entered in the map.
  InProcRequest* AddRequest();
  InProcRequest* FindRequest(uint32_t reqNum);
  size_t RequestCount() const { return m_ReqMap.size(); }
  // Removes a request from the map (or deletes it when it is not there).
  void FreeRequest(InProcRequest* request);

  // A RackMsg for the request: ReqNum and step copied, recorded as its last
  // message, the expected count raised by one.  The caller owns it until it
  // is handed to the comm thread.
  RackMsg* NewRackMsg(InProcRequest* request);
  // Sending done: completes the request when every response is in.
  void RequestSent(InProcRequest* request);
  // Completion: state from Rcode, text, write-back (or parent, or schedule
  // row); the request is freed.  Nothing happens while responses are
  // outstanding or sending is not done.
  void CompleteRequest(InProcRequest* request);
  // Writes state and the request's text into its tblTKZRequest row; a
  // database error is logged.  A request that completes during its own
  // dispatch leaves its result in the row buffer, which the dispatch
  // writes.  A result the database does not take (locked past the busy
  // time-out, disk full, read-only, any error but the row's being gone) is
  // kept and written by a later tick (DocKeptWrites.h), so that the row
  // does not stay in process.
  void WriteBack(InProcRequest* request, int16_t state);
  // Writes kept for a later tick (request results, statuses, fault
  // operations), and the request results among them.
  size_t KeptWriteCount() const { return m_Kept.size(); }
  size_t PendingWriteBackCount() const { return m_Kept.requests.size(); }
  // Tries the kept writes again, in the order requests, node and rack
  // status, fault operations; stops at the first the database still does
  // not take (true when none is left).  Called at the start of every poll.
  bool RetryKeptWrites();
  // Response routing of a returned rack message (the rack-message layer's
  // DocRackMsgDone lands here; the document owns the message from the
  // call): counted on its request, then the message's document
  // continuation runs and owns it, or the message is freed and the request
  // completion checked.  An unknown ReqNum is logged and the message freed.
  void OnRackMsgDone(RackMsg* msg);
  // Counts one returned response (rack message or IO_FTP job) on its
  // request: received raised; while the request has not failed it takes the
  // response's Rcode, target (as the failing step) and completion text (a
  // failing response without a text clears the request's, so that the
  // Rcode's text applies).  Returns the request; null for an unknown ReqNum,
  // logged as "Unknown ReqNum %d ignored.".
  InProcRequest* CountResponse(uint32_t reqNum, uint16_t rcode, int32_t target,
                               const CompletionText& completion);
  // A returned IO_FTP job (WM_DOC_FTP_DONE), which the document owns again:
  // counted on its request (first failure kept), then its document
  // continuation runs, or the request completes and the job is deleted.
  // An unknown ReqNum is logged and the job deleted (DocFtpDone.cpp).
  void OnIoFtpDone(IoFtpRequest* job);

  // The current tblTKZRequest row and the handlers' text buffer.
  TKZRequestRow& RequestRow() { return m_RequestRow; }
  const TKZRequestRow& RequestRow() const { return m_RequestRow; }
  // The termination request waiting for the shutdown, or null.
  InProcRequest* TerminateRequest() const { return m_pTerminateRequest; }
  void SetTerminateRequest(InProcRequest* request) { m_pTerminateRequest = request; }

  // =========================================================================
  // Request handlers, one entry per request type.  The dispatch calls these;
  // each lives in the file of its concern.  Until a concern is built its
  // entry is defined in DocHandlersPending.cpp and refuses the request.
  // =========================================================================
  // Type 0: the rack configuration process (DocRackConfig.cpp).  `msg` is
  // null from the dispatch; otherwise a returned message it now owns.
  void RunRackConfigProcess(RackMsg* msg, InProcRequest* request);
  // Types 1, 2 and 9: QXV presets, Brevant presets, relay cycle counts
  // (DocPresets.cpp).
  void OnQXVPresetRequest(InProcRequest* request);
  void OnBrevantPresetRequest(InProcRequest* request);
  void OnRelayCycleRequest(InProcRequest* request);
  // Type 3 (and schedules): runs the steps of the request's macro that
  // follow its current step (DocMacros.cpp).
  void RunMacroSteps(InProcRequest* request);
  // Type 5: manual levels of a dimmer group; types 8 and 11: learn loads and
  // learnt loads from a rack (DocLoads.cpp).
  void StartManualLevels(InProcRequest* request);
  void StartLearnLoads(InProcRequest* request);
  // Type 6: the network patch upload; with a job it is that job's
  // continuation (DocNetPatch.cpp).
  void SendNetworkPatch(IoFtpRequest* job, InProcRequest* request);
  // Type 7: termination (DocRequests.cpp).
  void RequestTermination(InProcRequest* request);
  // Type 10, sub-types 20 and 21: the analog patch (DocAnalogPatch.cpp).
  void TransferAnalogPatch(InProcRequest* request);
  // The analog patch upload's document continuation: the pairs a rack
  // returned written into its tblDimConfig rows where they differ; then the
  // message is freed and the request's completion checked.
  void AnalogPatchRows(RackMsg* msg, InProcRequest* request);
  // Type 10, sub-types 22 and 23: cleaner switches (DocZoneInput.cpp).
  void OnCleanerRequest(InProcRequest* request);
  // Type 12: Brevant room links (DocPresetSteps.cpp).
  void OnRoomLinkRequest(InProcRequest* request);


  // =========================================================================
  // Rack configuration steps  (DocRackConfig.cpp, DocConfigSteps.cpp,
  // DocPresetSteps.cpp, DocRackList.cpp)
  // Each Send* step allocates one message per rack of `racks` (in order) for
  // the request and hands it to its command builder; the direction is the
  // request's RequestSubType (0 download, 1 upload).  Downloads carry the
  // process driver as continuation for RequestType 0 and none otherwise;
  // uploads carry their write-back, which writes what differs from the
  // database and then hands the message on by RequestType (0: the driver;
  // else freed and the request's completion checked).  The Store*/Transfer*
  // members are those continuations; each owns the message it is given.
  // Database errors are caught in each member and go to DBExceptionDiag.
  // A step may hand a message back at once (a builder's refusal): call the
  // steps only while the request cannot complete under them, that is inside
  // its dispatch before RequestSent (the driver guards its own calls).
  // Racks missing from the rack table, or without outputs where the step
  // moves per-dimmer data, are skipped with a log line.
  // =========================================================================
  void SendRackModule(const std::vector<uint32_t>& racks, InProcRequest* request);
  void StoreRackModule(RackMsg* msg, InProcRequest* request);
  void SendRackConfig(const std::vector<uint32_t>& racks, InProcRequest* request);
  void StoreRackConfig(RackMsg* msg, InProcRequest* request);
  void SendDimmerConfig(const std::vector<uint32_t>& racks, InProcRequest* request);
  void StoreDimmerConfig(RackMsg* msg, InProcRequest* request);
  void SendDimmerFaultConfig(const std::vector<uint32_t>& racks, InProcRequest* request);
  void StoreDimmerFaultConfig(RackMsg* msg, InProcRequest* request);
  void SendMuxPatch(const std::vector<uint32_t>& racks, InProcRequest* request);
  void StoreMuxPatch(RackMsg* msg, InProcRequest* request);
  void SendCircuitPatch(const std::vector<uint32_t>& racks, InProcRequest* request);
  // Download: fills the message (the start then sends it); upload: the
  // write-back.  False when the message was handed on (failed or consumed).
  bool TransferCircuitPatch(RackMsg* msg, InProcRequest* request);
  void SendBrevantPatch(const std::vector<uint32_t>& racks, InProcRequest* request);
  // Download: fills and sends the message; upload: the write-back.
  void TransferBrevantPatch(RackMsg* msg, InProcRequest* request);
  // preset -1 = all presets (0-99), else the one preset.
  void SendQXVFadeTimes(const std::vector<uint32_t>& racks, InProcRequest* request, int32_t preset);
  // Download: fills the message (true when it may be sent); upload: the
  // write-back (returns false: the message was handed on).
  bool TransferQXVFadeTimes(RackMsg* msg, InProcRequest* request);
  // preset -1 = all presets, else the one preset.
  void SendQXVLevels(const std::vector<uint32_t>& racks, InProcRequest* request, int32_t preset);
  void StoreQXVLevels(RackMsg* msg, InProcRequest* request);
  // preset -1 = every room and preset (room ignored), else preset in room 1-16.
  void SendBrevantFadeTimes(const std::vector<uint32_t>& racks, InProcRequest* request, int32_t preset,
                            int32_t room);
  bool TransferBrevantFadeTimes(RackMsg* msg, InProcRequest* request);
  // preset -1 = presets 1 to 8, one after another on the same message;
  // room -1 = every room, else room 1-16.
  void SendBrevantLevels(const std::vector<uint32_t>& racks, InProcRequest* request, int32_t preset,
                         int32_t room);
  // The continuation of Brevant levels messages in both directions (also
  // their first fill and send).
  void TransferBrevantLevels(RackMsg* msg, InProcRequest* request);
  // curve -1 = curves 0 to 4, else the one curve (0-based).
  void SendUserCurves(const std::vector<uint32_t>& racks, InProcRequest* request, int32_t curve);
  bool TransferUserCurve(RackMsg* msg, InProcRequest* request);
  // Download: every rack; upload: one message, to the first rack up (else
  // the last of the list).
  void SendRoomLink(const std::vector<uint32_t>& racks, InProcRequest* request);
  bool TransferRoomLink(RackMsg* msg, InProcRequest* request);
  // The continuation of the relay cycle count messages: writes the counts
  // that differ, frees the message and checks the request's completion.
  void StoreRelayCycles(RackMsg* msg, InProcRequest* request);

  // =========================================================================
  // Shared operations of the request handlers               (DocShared.cpp)
  // =========================================================================
  // Fails the request being dispatched: the text (at most 254 characters)
  // into the row's RequestDiagnostic, logged, RequestState 5.
  void FailRequest(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Sets every bound column of the recordset's record (in Edit or AddNew)
  // from the row buffer.  3001 for a binding outside the buffer.
  void WriteBoundRow(dao::Recordset& recordset, const void* row, size_t rowSize,
                     std::span<const dao::Binding> bindings);
  // DigitalDimsFitted + AnalogOutputs, refreshed from tblRackConfig first;
  // 0 for a rack without a record.
  int32_t GetRackOutputCount(int32_t rack);
  // DigitalDimsFitted, refreshed first; 0 for a rack without a record.
  int32_t GetRackDigitalDims(int32_t rack);
  // The rack's parent zone as last loaded; 0 for a rack without a record.
  int32_t GetRackZone(int32_t rack);
  // Fills the Brevant channel map of a rack from TKZqryBvtChannels.
  void LoadBvtChannelMap(int32_t rack);
  // 0-based dimmer of a room's channel (1-based), kBvtNoDimmer for none.
  uint8_t BvtChannelDimmer(int room, int channel) const;

  // =========================================================================
  // Resident tables: nodes, ports, racks, zones               (DocTables.cpp)
  // =========================================================================
  // Each load reads its query row by row; a row that cannot be placed (a
  // rack number outside 1 to 256, a port slot outside 0 to 5, a missing
  // port number or address) is skipped with an "Error: " line.  A database
  // error is logged and ends that read.
  //
  // Nodes and their supervisory ports (TKZqryNodePorts), each node handed to
  // the comm thread (AddNode).
  void LoadNodes();
  // Rack-to-node associations (TKZqryLoadRack2Node) into the rack table,
  // each rack handed to the comm thread (AddRack).
  void LoadRack2Node();
  // tblRackConfig into the rack table, the sweep of racks no longer
  // configured or no longer reached, the zone records, and (when a zone was
  // added) the zones' current presets from tblQXVZone and tblBvtZone.
  void LoadRack2Zone();
  // Re-reads one rack's tblRackConfig row into its record (when it has
  // one and the row exists); a database error is logged.
  void ReloadRackConfig(int32_t rack);
  // The record of rack 1 to 256; null for any other number.
  RackInfo* FindRackInfo(int64_t rack);
  ZoneStatus* FindZoneStatus(uint32_t zoneId);
  // Four decimal numbers 0 to 255 separated by '.', blanks around the whole
  // allowed, as an IPv4 address in host byte order; nothing for any other
  // text.
  static std::optional<uint32_t> ParseIpAddress(std::string_view text);
  // Request type 4, the refresh of the resident tables by sub-type: 100
  // racks, 101 schedule, 102 nothing (no longer needed), 103 and 104 nodes
  // and racks.  Ends the request at once: the row's RequestState becomes 4
  // with the sub-type's text; an unknown sub-type fails it.
  void OnRefreshRequest(InProcRequest* request);

  // =========================================================================
  // Schedules and macros                                    (DocSchedule.cpp)
  // =========================================================================
  // Loads today's and tomorrow's schedule; false fails the open.
  bool LoadSchedule();
  // Empties the schedule queue.
  void FlushSchedule();
  void RunDueEvents();
  // Completion of a scheduled event: its state into its schedule row.
  void WriteScheduleState(InProcRequest* request, int16_t state);
  // Takes ownership of a node and inserts it: immediate nodes at the head
  // (the one inserted last first), the others before the first
  // non-immediate node whose time is equal or later (DocSchedule.h).
  void InsertScheduleNode(ScheduleNode* node);
  // Logs the queue, one line per node.
  void ReportSchedule();
  const ScheduleNode* ScheduleHead() const { return m_pScheduleHead; }
  // Macros (DocMacros.cpp): a macro input (bit number) of a rack has closed;
  // adds an immediate schedule row for the input's macro and reloads the
  // schedule.  False when the input has no macro or the row was not added.
  bool StartInputMacro(int32_t rack, int32_t input);

  // =========================================================================
  // Learn loads and manual levels                             (DocLoads.cpp)
  // =========================================================================
  // Document continuation of a learn-loads or get-learnt-loads message:
  // writes the learnt loads, frees the message, completes the request.
  void StoreLearntLoads(RackMsg* msg, InProcRequest* request);
  // Writes enable (stored as a database flag) and level (percent) into every
  // dimmer of the group, then sends the group's racks their manual levels.
  void SetGroupManualLevels(InProcRequest* request, int32_t group, int32_t enable, int32_t level);
  // One set-manual-levels message per rack (in list order), every channel
  // of the rack as stored.
  void SendManualLevels(std::span<const uint32_t> racks, InProcRequest* request);

  // =========================================================================
  // Zone input and cleaner status                          (DocZoneInput.cpp)
  // =========================================================================
  // Cleaner input bits of the zones from tblCleanerZone (once, at open,
  // after the zone table exists).
  void LoadCleanerStatus();
  // A rack's poll report: changed QXV and room presets and cleaner inputs
  // written into tblQXVZone, tblBvtZone and tblCleanerZone; a macro input
  // (bits 4 to 7) that closes starts its macro.  A rack without a record,
  // or whose zone has none, is logged and ignored.
  void UpdateZoneInputStatus(int32_t rack, int32_t inputBits, int16_t qxvPreset,
                             std::span<const uint8_t, kZoneRooms> roomPresets);
  // Writes a zone's Brevant preset into tblBvtZone for one room (1 to 16)
  // or, with room -1, for every room; the stored report is not changed.
  void SetBrevantPresetStatus(int32_t zoneId, int32_t room, uint8_t preset);
  // Pulses the cleaner light outputs of a zone (sub-type 23 on, 22 off) for
  // one cleaner input (0-based) or, with -1, all of them.  One message per
  // patch row that names a rack; a request that has failed already keeps
  // its result and text.
  void SwitchCleanerLights(InProcRequest* request, int32_t zoneId, int32_t input);

  // =========================================================================
  // Zone tree and rack lists                               (DocZoneTree.cpp)
  // =========================================================================
  // Appends the racks below a zone (depth first, in the order the tree
  // gives; a rack reached along two branches is listed twice).  A zone
  // 10001 to 10256 is that rack.  A branch that leads back to one of its own
  // ancestors, or lies deeper than kZoneTreeDepthMax, is not walked.
  void GetRackList(int32_t zoneId, RackList& racks);
  // The code of a tree word (TREE_WORD_); exact comparison.
  static int ClassifyTreeWord(std::string_view text);
  // One broadcast message for the request per (node, port slot) serving the
  // racks, linked through RackMsg::link in the order first met; null when no
  // rack is reachable.  The caller owns the list, fills in each command and
  // sends it.
  RackMsg* MakePortMsgList(InProcRequest* request, const RackList& racks);
  // MakePortMsgList's messages handed one by one, unlinked, to `send`,
  // which owns each from the call (a builder that fills and sends it).
  void ForEachPortMsg(InProcRequest* request, const RackList& racks,
                      const std::function<void(RackMsg*)>& send);

  // =========================================================================
  // Fault records                                             (DocFaults.cpp)
  // =========================================================================
  // Writes the records into tblFaultStatus in array order: a raise adds or
  // refreshes the row of (FaultType, RackNumber, DimmerNumber), a subside
  // stamps an open row; records of type -1 and of types without a
  // tblFaultType row are skipped.  A database error is logged and drops the
  // records after the failing one.  A count below 1 writes nothing.
  void WriteFaultRecords(const FaultRecord* records, int32_t count);
  // Deletes every fault row of the rack except its rack-down row; a
  // database error is logged.
  void DeleteRackFaults(int32_t rack);

  // =========================================================================
  // Node and rack status write-back                           (DocStatus.cpp)
  // =========================================================================
  // A node entered (up) or left Online: its tblNodeStatus row; when it went
  // down, every rack of the node is marked down too; then the node's
  // outage record (type 1001) is raised or subsided.
  void SetNodeStatus(int32_t nodeId, bool up);
  // A rack's new state: RACK_INFO_UP and its tblRackStatus row when they
  // change, then its outage record (type 1000) in every case.  A rack
  // number outside 1 to 256, or without a record, is logged and ignored.
  void SetRackStatus(int32_t rack, bool up);
  // The current local date-time of the document's clock.
  FaultDate NowDate() const;

  // =========================================================================
  // Mux-type and level lookup tables                         (DocLookup.cpp)
  // =========================================================================
  void LoadMuxTypes();
  void LoadLevelTable();

 private:
  friend struct DocTestPeer;

  // ---- Doc.cpp ----
  void MaintainStoredQueries();
  void StartComm();
  // The open's message box: "Fatal Error: Unable to open database.\nError
  // code = %d." with the reason on a line of its own.
  void ShowFatalError(const dao::Error& e);
  // The open's message box when the schedule does not load.
  void ShowScheduleError();
  // The reason line of a message box: the error's description, and for a
  // lock that outlasted the open's wait, how long it waited.
  std::string FailureReason(const dao::Error& e) const;
  // The open's and the close's bounded waits for other programs' locks
  // (dao::Database::WaitForLocksUntil); `what` names the step in the log
  // line said when the first statement has to wait.
  void BeginLockWait(int ms, const char* what);
  void EndLockWait();
  // Both offline queries; throws dao::Error.
  void RunOfflineQueries();
  // Fails the request rows that an earlier run left in process.  A lock
  // that outlasts the open's wait is thrown; any other error keeps their
  // results for a later tick.
  void EndRowsLeftInProcess();
  dao::DatabaseOptions DatabaseOptionsForClock() const;
  // The comm port, or one that refuses every call when there is none.
  DocCommPort& Comm();
  platform::time::Clock& TheClock() const;

  // ---- DocPresets.cpp ----
  // Re-queries the dispatched request's parameter rows and reads up to
  // maxRows of them.  Throws dao::Error.
  size_t ReadRequestParams(RequestParamRow* rows, size_t maxRows);
  // The first parameter's value; false when there is none or it is not a
  // number (the request is then refused).  Throws dao::Error.
  bool FirstParamValue(int32_t& value);

  // ---- DocAnalogPatch.cpp ----
  // A rack's stored analog patch: n pairs {AnalogIn, AnalogInEnable} from
  // TKZqryAnalogPatch, zeros past the rows the database holds.  Throws
  // dao::Error.
  std::vector<uint8_t> ReadAnalogPatch(int32_t rack, size_t n);

  // ---- DocRequests.cpp ----
  void OnRackMsgHandedOff(uint32_t reqNum, const RackMsg* msg);
  // Claims the current pending row (0 to 3 in one conditional update) and
  // dispatches it; false when the poll should end (the database did not
  // take the row's result, which is kept).
  bool ClaimAndDispatch();
  void DispatchRequest(InProcRequest* request);
  // A pending row whose RID lies outside 1 to 2147483647 (the request
  // tables' i32 would read another row's): the row itself is failed through
  // the pending recordset, never through its RID, and said once in the log.
  // True when the current row is such a row.
  bool RefuseOutOfRangeRid();
  // Writes state and text into the request row of `rid` through `row`;
  // with onlyInProcess, only while the row still reads RequestState 3
  // (false when it does not).  Throws dao::Error.
  bool WriteRequestResult(TKZRequestRow& row, int32_t rid, int16_t state, const std::string& text,
                          bool onlyInProcess);
  // Writes a result now or, when the database does not take it, keeps it.
  bool StoreRequestResult(int32_t rid, int16_t state, const std::string& text);

  // ---- DocKeptWrites.cpp ----
  // Keeps a write the database did not take (logged when it is the first
  // of an episode); one that can never land is logged and dropped.
  void KeepRequestResult(int32_t rid, int16_t state, const std::string& text, const dao::Error& e);
  // A status or version by its key, the latest winning (int16_t and
  // std::string).
  template <class V>
  void KeepLatest(std::map<int32_t, V>& kept, int32_t key, V value, const dao::Error& e);
  void NoteKept(const dao::Error& e);
  // ---- DocFaults.cpp ----
  // Appends fault operations behind the kept ones (the oldest dropped past
  // kKeptFaultsMax).
  void KeepFault(KeptWrites::Fault op);
  // Replays the kept fault operations in order; false at the first the
  // database still does not take.
  bool FlushKeptFaults();
  // ---- DocStatus.cpp ----
  // ConnectStatus of a node's tblNodeStatus row (read through
  // TKZqryNodeStatus; `onRow` sees the row before it is changed) and of a
  // rack's tblRackStatus row.  Throw dao::Error.
  void WriteNodeConnect(int32_t nodeId, int16_t status,
                        const std::function<void(int32_t, int16_t, const char*)>& onRow = {});
  void WriteRackConnect(int32_t rack, int16_t status);
  // One column of a rack's tblRackStatus row; throws dao::Error (3021
  // without a row).
  void WriteRackStatusField(int32_t rack, std::string_view column, const dao::Variant& value);

  // ---- DocSchedule.cpp ----
  // Writes a scheduled event's row; throws dao::Error.
  void WriteScheduleRow(int32_t scheduleId, const KeptWrites::ScheduleResult& result);
  // A new day of the month: nodes of tomorrow become today's.
  void AlignScheduleDay(int dayOfMonth);
  // Whether a scheduled event with this ScheduleID is in process, or has
  // ended with its result still kept for its row.
  bool ScheduledEventInProcess(int32_t scheduleId) const;
  // ---- DocRackConfig.cpp, DocConfigSteps.cpp, DocPresetSteps.cpp ----
  // Works parameter rows from the process's current one until a row leaves
  // messages outstanding or the process ends.
  void RunRackConfigRows(InProcRequest* request, bool firstCall);
  // Hands a finished step message on by the request's type.
  void HandOnStepMsg(RackMsg* msg, InProcRequest* request);
  // The continuation a download message carries for the request.
  static void SetDownloadContinuation(RackMsg* msg, const InProcRequest* request);
  // A command builder of theComm, which takes the message over (Comm.h).
  using StepBuilder = void (CComm::*)(RackMsg*);
  // Sends a step message through the builder of the request's direction:
  // an upload's comes back to `store`, a download's goes on by the
  // request's type.  The message is then no longer the request's unsent one.
  void SendStepMsg(RackMsg* msg, InProcRequest* request, StepBuilder get, StepBuilder set,
                   void (CTKZDoc::*store)(RackMsg*, InProcRequest*));
  // As above for a step whose `transfer` both fills a download's message
  // and writes back an upload's; false when a download's fill failed (the
  // message is gone with the failure).
  bool SendStepMsg(RackMsg* msg, InProcRequest* request, StepBuilder get, StepBuilder set,
                   bool (CTKZDoc::*transfer)(RackMsg*, InProcRequest*));
  // The dimmer configuration and dimmer fault configuration steps: one
  // message of the rack's dimmer records per rack; `what` names the step in
  // the log lines.
  void SendDimmerRecords(const std::vector<uint32_t>& racks, InProcRequest* request, const char* what,
                         int diagLine, StepBuilder get, StepBuilder set,
                         void (CTKZDoc::*store)(RackMsg*, InProcRequest*));
  void SendBrevantLevelsMsg(RackMsg* msg, InProcRequest* request);
  // The open database; throws dao::Error when there is none.
  dao::Database& StepDb();

  DocPorts m_Ports;
  std::thread::id m_OwnerThread;

  // The database connection, in the order it is built (and released in the
  // reverse order).
  dao::Engine m_DBEngine;
  std::optional<dao::Workspace> m_Workspace;
  std::optional<dao::Database> m_Database;
  std::optional<dao::Recordset> m_rsPending;      // TKZqryTKZRequest, ValuePending 0
  std::optional<dao::QueryDef> m_qdRequestParm;   // ValueRID = the request dispatched
  std::optional<dao::QueryDef> m_qdRequestRID;    // the write-back's query
  std::optional<dao::Recordset> m_rsRequestParm;
  std::optional<dao::QueryDef> m_qdMacroStep;
  std::optional<dao::Recordset> m_rsMacroStep;

  // Resident tables.
  std::map<uint32_t, std::unique_ptr<RackInfo>> m_RackMap;   // key: rack number 1 to 256
  std::map<uint32_t, std::unique_ptr<ZoneStatus>> m_ZoneMap;  // key: ZoneID

  // Request engine.
  TKZRequestRow m_RequestRow{};
  std::map<uint32_t, std::unique_ptr<InProcRequest>> m_ReqMap;  // key: ReqNum
  InProcRequest* m_pTerminateRequest = nullptr;                 // in m_ReqMap
  uint32_t m_nNextReqNum = 1;
  // The request whose row is in the row buffer during its dispatch (0:
  // none): its completion leaves its result there for the dispatch.
  uint32_t m_nDispatchReqNum = 0;
  // Out-of-range RIDs logged already (those whose row still waits).
  std::set<int64_t> m_RefusedRids;
  // Writes the database did not take yet.
  KeptWrites m_Kept;

  // The open's wait for other programs' locks: its bound, and whether a
  // statement had to wait.
  int m_nLockWaitMs = 0;
  bool m_bLockWaited = false;
  // Why the last schedule load failed (the open shows it).
  std::optional<dao::Error> m_ScheduleError;

  // Schedules.
  ScheduleNode* m_pScheduleHead = nullptr;  // owned: the schedule queue
  int16_t m_nDay = 0;                       // day of the month the queue was aligned
  int m_nMacroDepth = 0;                    // nested RunMacroSteps calls (child macros)

  // Shared operations.
  uint8_t m_BvtChannelMap[kBvtRooms][kBvtChannels];
};

// The one document, from its construction to its destruction.
extern CTKZDoc* g_pDoc;

// A request handler's path after a database exception: the request fails
// with RC_DB_EXCEPTION and "Doc#<line>: <code>:<description>" (description
// cut to 205 characters), logged; a message allocated for it and never
// handed to the comm thread is freed and no longer expected (the handler
// must not touch that message again).
void DBExceptionDiag(InProcRequest* request, int32_t line, int32_t code, const char* description);

// Free forwarders to the one document (g_pDoc); each does nothing while
// there is none.  UI thread.  The main frame's handlers of
// WM_DOC_NODE_STATUS and WM_DOC_RACK_STATUS use the first two with the
// messages' wParam and lParam (bounded there: node ids 0 to 2^31 - 1, rack
// numbers 1 to 256, anything else logged and dropped).
void DocOnNodeStatus(uintptr_t wParam, intptr_t lParam);
void DocOnRackStatus(uintptr_t wParam, intptr_t lParam);
void DocSetNodeStatus(int32_t nodeId, bool up);
void DocSetRackStatus(int32_t rack, bool up);
void DocWriteFaultRecords(const FaultRecord* records, int32_t count);
void DocDeleteRackFaults(int32_t rack);
void DocUpdateZoneInputStatus(int32_t rack, int32_t inputBits, int16_t qxvPreset,
                              const uint8_t* roomPresets);
// The frame's WM_DOC_FTP_DONE: CTKZDoc::OnIoFtpDone on g_pDoc (without a
// document the job is deleted).
void DocIoFtpDone(IoFtpRequest* job);
