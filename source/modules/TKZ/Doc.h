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
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "DocCommPort.h"
#include "DocRequest.h"
#include "DocRows.h"
#include "DocTables.h"
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
struct RackMsg;
struct ScheduleNode;
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

  // The open sequence; false ends start-up (its message box has been shown,
  // or the schedule load logged its own error).
  bool OnNewDocument() override;
  // The close: schedule queue emptied, racks and nodes offline, a waiting
  // termination request written back as succeeded.
  void OnCloseDocument() override;

  // Every rack and node offline in the database (TKZqryRacksOffLine, then
  // TKZqryNodesOffLine); a failure is logged and ends it.
  void SetAllOffline();
  // NumberRows and NumberSlots of a rack's configuration.  Throws dao::Error.
  void GetRackRowsColumns(int32_t rack, int32_t& rows, int32_t& slots);
  // RackType of a zone's rack configuration; -1 on any database error (not
  // logged), a missing row included.
  int32_t GetRackType(int32_t zoneId);
  // Writes a rack's software version into its tblRackStatus row (cut to the
  // column's 50 characters).  Throws dao::Error (3021 without a row).
  void SetRackSoftwareVersion(int32_t rack, const std::string& version);

  // Logs "doc.cpp#<line>: Error <low 16 bits> : <description>\n".
  static void LogDbError(int line, const dao::Error& e);

  // =========================================================================
  // Request engine                                        (DocRequests.cpp)
  // PollRequests and the dispatch, OnRackMsgDone and OnIoFtpDone join this
  // section with the request engine.
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
  // Writes state and the request's text into its tblTKZRequest row (read
  // into the row buffer first); a database error is logged.
  void WriteBack(InProcRequest* request, int16_t state);
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
  // Type 10, sub-types 22 and 23: cleaner switches (DocZoneInput.cpp).
  void OnCleanerRequest(InProcRequest* request);
  // Type 12: Brevant room links (DocPresetSteps.cpp).
  void OnRoomLinkRequest(InProcRequest* request);

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
  void LoadNodes();
  void LoadRack2Node();
  void LoadRack2Zone();
  // Re-reads one rack's tblRackConfig row into its record (when it has
  // one and the row exists); a database error is logged.
  void ReloadRackConfig(int32_t rack);
  RackInfo* FindRackInfo(int64_t rack);
  ZoneStatus* FindZoneStatus(uint32_t zoneId);

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

  // =========================================================================
  // Zone input and cleaner status                          (DocZoneInput.cpp)
  // =========================================================================
  void LoadCleanerStatus();

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
  void ShowFatalError(const dao::Error& e);
  dao::DatabaseOptions DatabaseOptionsForClock() const;
  // The comm port, or one that refuses every call when there is none.
  DocCommPort& Comm();
  platform::time::Clock& TheClock() const;

  // ---- DocRequests.cpp ----
  void OnRackMsgHandedOff(uint32_t reqNum, const RackMsg* msg);

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
  std::map<uint8_t, std::unique_ptr<RackInfo>> m_RackMap;    // key: rack number & 0xFF
  std::map<uint32_t, std::unique_ptr<ZoneStatus>> m_ZoneMap;  // key: ZoneID

  // Request engine.
  TKZRequestRow m_RequestRow{};
  std::map<uint32_t, std::unique_ptr<InProcRequest>> m_ReqMap;  // key: ReqNum
  InProcRequest* m_pTerminateRequest = nullptr;                 // in m_ReqMap
  uint32_t m_nNextReqNum = 1;

  // Schedules.
  ScheduleNode* m_pScheduleHead = nullptr;  // owned: the schedule queue
  int16_t m_nDay = 0;                       // day of the month the queue was aligned

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
// The frame's WM_DOC_FTP_DONE: CTKZDoc::OnIoFtpDone on g_pDoc (without a
// document the job is deleted).
void DocIoFtpDone(IoFtpRequest* job);
