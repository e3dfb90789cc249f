// The document's construction, open sequence and close, the stored-query
// maintenance, and the small rack readers of the database.
#include "Doc.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "App.h"
#include "BuildStamp.h"
#include "DisplayFlags.h"
#include "LogSink.h"
#include "MessageBox.h"
#include "RackMsg.h"
#include "TextField.h"
#include "drovana_db/schema.h"
#include "platform/time/clock.h"

CTKZDoc* g_pDoc = nullptr;

namespace {

// A comm port for a program without the comm thread: every call is refused.
class NoCommPort final : public DocCommPort {
 public:
  bool Start() override { return false; }
  bool LoadPhase(uint32_t) override { return false; }
  bool AddNode(const NodeDesc*) override { return false; }
  bool AddRack(const RackDesc*) override { return false; }
};

constexpr uint32_t kLoadPhaseConfigBegin = 0x07;  // begin + racks + nodes
constexpr uint32_t kLoadPhaseConfigEnd = 0x0E;    // racks + nodes + end

// The build stamp "Mmm dd yyyy hh:mm:ss" (the compiler's date and time
// form, always in English) as a local date-time.
bool ParseBuildStamp(const char* stamp, std::tm& out) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char month[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(stamp, "%3s %d %d %d:%d:%d", month, &day, &year, &hour, &minute, &second) != 6)
    return false;
  int m = -1;
  for (int i = 0; i < 12; ++i)
    if (std::strcmp(month, kMonths[i]) == 0) m = i;
  if (m < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return false;
  out = std::tm{};
  out.tm_year = year - 1900;
  out.tm_mon = m;
  out.tm_mday = day;
  out.tm_hour = hour;
  out.tm_min = minute;
  out.tm_sec = second;
  out.tm_isdst = -1;
  return true;
}

dao::OleDate OleDateOf(const std::tm& t) {
  dao::LocalDateTime l;
  l.year = t.tm_year + 1900;
  l.month = t.tm_mon + 1;
  l.day = t.tm_mday;
  l.hour = t.tm_hour;
  l.minute = t.tm_min;
  l.second = t.tm_sec;
  return dao::ToOleDate(l);
}

}  // namespace

// ---- construction and destruction ---------------------------------------------

CTKZDoc::CTKZDoc(const DocPorts& ports) : m_Ports(ports), m_OwnerThread(std::this_thread::get_id()) {
  g_pDoc = this;
  std::memset(m_BvtChannelMap, kBvtNoDimmer, sizeof m_BvtChannelMap);
  // The engine's system database is the workgroup file; it is started by the
  // open sequence, inside its handler, so that a bad workgroup file fails the
  // open instead of the construction.
  m_DBEngine.SetSystemDatabase(g_strWorkgroupFile);
  m_nDay = static_cast<int16_t>(TheClock().Local().day);
  SetRackMsgHandOffObserver(
      [this](uint32_t reqNum, const RackMsg* msg) { OnRackMsgHandedOff(reqNum, msg); });
  SetRackMsgDoneHandler([this](RackMsg* msg) { OnRackMsgDone(msg); });
  (m_Ports.app != nullptr ? *m_Ports.app : theApp).AddTimerCallback(&CTKZDoc::OnTimerCallback, this);
}

CTKZDoc::~CTKZDoc() {
  (m_Ports.app != nullptr ? *m_Ports.app : theApp).RemoveTimerCallback(&CTKZDoc::OnTimerCallback, this);
  SetRackMsgDoneHandler(nullptr);
  SetRackMsgHandOffObserver(nullptr);
  FlushSchedule();
  m_pTerminateRequest = nullptr;
  m_ReqMap.clear();
  m_ZoneMap.clear();
  m_RackMap.clear();
  // The DAO objects, in the reverse order of the open.
  m_rsMacroStep.reset();
  m_qdMacroStep.reset();
  m_rsRequestParm.reset();
  m_qdRequestRID.reset();
  m_qdRequestParm.reset();
  m_rsPending.reset();
  m_Database.reset();
  m_Workspace.reset();
  if (g_pDoc == this) g_pDoc = nullptr;
}

platform::time::Clock& CTKZDoc::TheClock() const {
  return m_Ports.clock != nullptr ? *m_Ports.clock : platform::time::SystemClock();
}

DocCommPort& CTKZDoc::Comm() {
  static NoCommPort none;
  return m_Ports.comm != nullptr ? *m_Ports.comm : none;
}

dao::DatabaseOptions CTKZDoc::DatabaseOptionsForClock() const {
  dao::DatabaseOptions options;
  platform::time::Clock* clock = &TheClock();
  options.clock = [clock] { return dao::OleDate{platform::time::ToOleDate(clock->Local())}; };
  return options;
}

void CTKZDoc::LogDbError(int line, const dao::Error& e) {
  LogPrintf("%s#%d: Error %d : %s\n", kDocSourceName, line, e.number(), e.description().c_str());
}

std::string CTKZDoc::FailureReason(const dao::Error& e) const {
  std::string reason = e.description();
  if (e.number() == dao::kErrLocked && m_bLockWaited)
    reason += " Start-up waited " + std::to_string((m_nLockWaitMs + 999) / 1000) +
              " s for the other program to let go of it, and gives up.";
  return reason;
}

namespace {

void ShowStop(MessageBoxPort* box, const std::string& text) {
  StreamMessageBox fallback(stderr);
  (box != nullptr ? *box : static_cast<MessageBoxPort&>(fallback)).Show(text, MessageBoxPort::Icon::kStop);
}

}  // namespace

void CTKZDoc::ShowFatalError(const dao::Error& e) {
  char text[96];
  std::snprintf(text, sizeof text, "Fatal Error: Unable to open database.\nError code = %d.",
                e.number());
  ShowStop(m_Ports.messageBox, std::string(text) + "\n" + FailureReason(e));
}

void CTKZDoc::ShowScheduleError() {
  std::string text = "Fatal Error: Unable to load the schedule (tblSchedule).";
  if (m_ScheduleError)
    text += "\nError code = " + std::to_string(m_ScheduleError->number()) + ".\n" + FailureReason(*m_ScheduleError);
  ShowStop(m_Ports.messageBox, text);
}

void CTKZDoc::BeginLockWait(int ms, const char* what) {
  m_nLockWaitMs = ms;
  m_bLockWaited = false;
  if (!m_Database || ms <= 0) return;
  m_Database->WaitForLocksUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), [this, ms, what] {
    m_bLockWaited = true;
    LogPrintf("The database is locked by another program: %s waits for it, %d s at most.\n", what,
              (ms + 999) / 1000);
  });
}

void CTKZDoc::EndLockWait() {
  if (m_Database) m_Database->EndLockWait();
}

// ---- open and close -----------------------------------------------------------

bool CTKZDoc::OnNewDocument() {
  try {
    m_DBEngine.Start();
    m_Workspace.emplace(m_DBEngine.CreateWorkspace("", kDocUserName, kDocPassword));
    m_Database.emplace(m_Workspace->OpenDatabase(g_strDatabaseFile, DatabaseOptionsForClock()));
    // Another program's lock is waited for, within a bound, until the open
    // is done; past it the open fails and says why.
    BeginLockWait(m_Ports.openLockWaitMs, "start-up");

    MaintainStoredQueries();

    dao::QueryDef pending = m_Database->QueryDefs("TKZqryTKZRequest");
    pending.SetParameter("ValuePending", int32_t{0});
    m_rsPending.emplace(pending.OpenRecordset());

    m_qdRequestParm.emplace(m_Database->QueryDefs("TKZqryRequestParm"));
    m_qdRequestRID.emplace(m_Database->QueryDefs("TKZqryRequestRID"));
    m_qdRequestParm->SetParameter("ValueRID", int32_t{0});
    m_rsRequestParm.emplace(m_qdRequestParm->OpenRecordset());

    m_qdMacroStep.emplace(m_Database->QueryDefs("TKZqryMacroStep"));
    m_qdMacroStep->SetParameter("ValueMacroID", int32_t{0});
    m_qdMacroStep->SetParameter("ValueMacroStep", int16_t{0});
    m_rsMacroStep.emplace(m_qdMacroStep->OpenRecordset());

    if (g_bDocDebug) LogPrintf("Setting status for all racks and nodes to offline.\n");
    try {
      RunOfflineQueries();
    } catch (const dao::Error& e) {
      LogDbError(kDocLineSetAllOffline, e);
      if (e.number() == dao::kErrLocked) throw;  // still locked after the wait
    }
    EndRowsLeftInProcess();

    LogPrintf("Initializing IPC\n");
    StartComm();

    Comm().LoadPhase(kLoadPhaseConfigBegin);
    LoadNodes();
    LoadRack2Node();
    Comm().LoadPhase(kLoadPhaseConfigEnd);
    LoadRack2Zone();
    if (!LoadSchedule()) {
      EndLockWait();
      ShowScheduleError();
      return false;
    }
    LoadCleanerStatus();
    LoadMuxTypes();
    LoadLevelTable();
    EndLockWait();
    return true;
  } catch (const dao::Error& e) {
    EndLockWait();
    LogDbError(kDocLineOpen, e);
    ShowFatalError(e);
    return false;
  }
}

void CTKZDoc::EndRowsLeftInProcess() {
  // Nothing of this run is in process yet: every row in state 3 is an
  // earlier run's.
  std::optional<dao::Error> refused;
  try {
    const int64_t n = m_Database->Execute(std::string("UPDATE tblTKZRequest SET RequestState = 5, "
                                                      "RequestDiagnostic = '") +
                                          kDocLeftInProcessText + "' WHERE RequestState = 3");
    if (n > 0)
      LogPrintf("Ended %lld request(s) that an earlier run of TKZ left in process.\n", static_cast<long long>(n));
    return;
  } catch (const dao::Error& e) {
    LogDbError(kDocLineOpen, e);
    if (e.number() == dao::kErrLocked) throw;  // still locked after the wait
    if (!WriteCanLandLater(e)) return;
    refused = e;
  }
  // The database reads but does not take writes now: the rows' results
  // wait for a later tick like any other.
  try {
    dao::Recordset rs = m_Database->OpenRecordset("SELECT RID FROM tblTKZRequest WHERE RequestState = 3");
    for (; !rs.IsEOF(); rs.MoveNext()) {
      const int64_t rid = rs.GetField("RID").AsInt();
      if (rid >= 1 && rid <= INT32_MAX)
        KeepRequestResult(static_cast<int32_t>(rid), REQUEST_STATE_FAILED, kDocLeftInProcessText, *refused);
    }
  } catch (const dao::Error& e) {
    LogDbError(kDocLineOpen, e);
  }
}

void CTKZDoc::StartComm() {
  if (m_Ports.comm == nullptr) {
    LogPrintf("No communications are given to the document: the comm thread is not started.\n");
    return;
  }
  if (!m_Ports.comm->Start()) LogPrintf("Error: The comm thread could not be started.\n");
}

void CTKZDoc::OnCloseDocument() {
  // What the close writes may wait a little for another program's lock.
  BeginLockWait(m_Ports.closeLockWaitMs, "the close");
  FlushSchedule();
  SetAllOffline();
  if (m_pTerminateRequest != nullptr) {
    InProcRequest* request = m_pTerminateRequest;
    m_pTerminateRequest = nullptr;
    request->received = 1;
    // The shutdown is what it waited for: nothing more is sent for it.
    request->flags |= REQ_FLAG_SENT;
    request->message.Set("TKZ Terminated");
    CompleteRequest(request);
  }
  // Writes the database did not take get a last chance.
  if (!RetryKeptWrites())
    LogPrintf("Error: %zu kept database writes are lost: the database did not take them before the close.\n",
              m_Kept.size());
  EndLockWait();
}

// ---- stored queries -----------------------------------------------------------

void CTKZDoc::MaintainStoredQueries() {
  std::tm stampTm{};
  dao::OleDate stamp{};
  char shown[128] = "?";
  if (ParseBuildStamp(kDocBuildStamp, stampTm)) {
    stamp = OleDateOf(stampTm);
    // Shown in the operator's locale (LC_TIME).
    std::tm norm = stampTm;
    std::mktime(&norm);  // the weekday, for locales whose date shows it
    if (std::strftime(shown, sizeof shown, "%x %X", &norm) == 0)
      std::snprintf(shown, sizeof shown, "%s", kDocBuildStamp);
  }
  LogPrintf("Checking TKZ stored queries, TKZ queries were last compiled on %s.\n", shown);

  for (const drovana::db::StoredQuery& q : drovana::db::StoredQueries()) {
    bool remove = false;
    bool create = false;
    try {
      const dao::QueryDef existing = m_Database->QueryDefs(q.name);
      if (existing.LastUpdated() < stamp) remove = create = true;
    } catch (const dao::Error& e) {
      if (e.code() == dao::Code(dao::kErrItemNotFound))
        create = true;
      else
        LogDbError(kDocLineQueryLookup, e);
      if (e.number() == dao::kErrLocked) throw;  // still locked after the open's wait
    }
    try {
      if (remove) {
        if (g_bDocDebug) LogPrintf("Deleting obsolete query \"%s\".\n", q.name);
        m_Database->DeleteQueryDef(q.name);
      }
      if (create) {
        if (g_bDocDebug) LogPrintf("Creating new query \"%s\".\n", q.name);
        m_Database->CreateQueryDef(q.name, q.sql);
      }
    } catch (const dao::Error& e) {
      LogDbError(kDocLineQueryReplace, e);
      if (e.number() == dao::kErrLocked) throw;  // still locked after the open's wait
    }
  }
}

// ---- racks and nodes in the database ------------------------------------------

void CTKZDoc::SetAllOffline() {
  if (g_bDocDebug) LogPrintf("Setting status for all racks and nodes to offline.\n");
  if (!m_Database) return;
  try {
    RunOfflineQueries();
  } catch (const dao::Error& e) {
    LogDbError(kDocLineSetAllOffline, e);
  }
}

void CTKZDoc::RunOfflineQueries() {
  m_Database->QueryDefs("TKZqryRacksOffLine").Execute();
  m_Database->QueryDefs("TKZqryNodesOffLine").Execute();
  // Offline holds now for every row: older kept statuses must not undo it.
  m_Kept.rackStatus.clear();
  m_Kept.nodeStatus.clear();
}

namespace {

#pragma pack(push, 1)
struct RowsColumnsRow {
  int16_t NumberRows;
  int16_t NumberSlots;
};
#pragma pack(pop)

constexpr dao::Binding kRowsColumnsBindings[] = {
    {"NumberRows", dao::BindType::kI16, offsetof(RowsColumnsRow, NumberRows), 2},
    {"NumberSlots", dao::BindType::kI16, offsetof(RowsColumnsRow, NumberSlots), 2},
};

constexpr size_t kSoftwareVersionWidth = 50;

}  // namespace

void CTKZDoc::GetRackRowsColumns(int32_t rack, int32_t& rows, int32_t& slots) {
  if (!m_Database) dao::Throw(dao::kErrInvalidArgument, "The database is not open.");
  dao::QueryDef q = m_Database->QueryDefs("TKZqryRackRowsColumns");
  q.SetParameter("ValueRackNumber", rack);
  dao::Recordset rs = q.OpenRecordset();
  RowsColumnsRow row{};
  rs.ReadRow(&row, sizeof row, kRowsColumnsBindings);
  rows = row.NumberRows;
  slots = row.NumberSlots;
}

int32_t CTKZDoc::GetRackType(int32_t zoneId) {
  if (!m_Database) return -1;
  try {
    dao::QueryDef q = m_Database->QueryDefs("TKZqryRackConfig");
    q.SetParameter("ValueZoneID", zoneId);
    dao::Recordset rs = q.OpenRecordset();
    RackConfigRow row{};
    rs.ReadRow(&row, sizeof row, kRackConfigBindings);
    return row.RackType;
  } catch (const dao::Error&) {
    return -1;
  }
}

void CTKZDoc::SetRackSoftwareVersion(int32_t rack, const std::string& version) {
  if (!m_Database) dao::Throw(dao::kErrInvalidArgument, "The database is not open.");
  std::string text{CutText(version, kSoftwareVersionWidth)};
  try {
    WriteRackStatusField(rack, "SoftwareVersion", text);
    m_Kept.rackVersions.erase(rack);
  } catch (const dao::Error& e) {
    // Told by the caller; kept, as the rack says its version only when it
    // comes up.
    KeepLatest(m_Kept.rackVersions, rack, std::move(text), e);
    throw;
  }
}
