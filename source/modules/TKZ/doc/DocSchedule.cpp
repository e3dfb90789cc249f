// Schedules: the schedule queue of today and tomorrow (scheduled events and
// macros waiting on a delay), its load from tblSchedule, the run of due
// events, the write-back of a scheduled event's row, the flush and the
// report.  Every time of day comes from the document's clock.
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>

#include "DisplayFlags.h"
#include "Doc.h"
#include "DocSchedule.h"
#include "LogSink.h"
#include "RcCodes.h"
#include "TextField.h"
#include "platform/time/clock.h"

namespace {

// Source name and line of the schedule row write-back's error line.
constexpr int kDocLineScheduleState = 970;

#pragma pack(push, 1)
struct ScheduleRow {
  int32_t ScheduleID;
  int16_t RequestState;
  double EventTime;
  int32_t MacroID;
  int32_t EventID;
  double ScheduleDate;
};
#pragma pack(pop)

constexpr dao::Binding kScheduleBindings[] = {
    {"ScheduleID", dao::BindType::kI32, offsetof(ScheduleRow, ScheduleID), 4},
    {"RequestState", dao::BindType::kI16, offsetof(ScheduleRow, RequestState), 2},
    {"EventTime", dao::BindType::kDate, offsetof(ScheduleRow, EventTime), 8},
    {"MacroID", dao::BindType::kI32, offsetof(ScheduleRow, MacroID), 4},
    {"EventID", dao::BindType::kI32, offsetof(ScheduleRow, EventID), 4},
    {"ScheduleDate", dao::BindType::kDate, offsetof(ScheduleRow, ScheduleDate), 8},
};

int32_t SecondsOfDay(const platform::time::LocalTime& t) {
  return t.hour * 3600 + t.minute * 60 + t.second;
}

// A calendar date as one comparable number.
int64_t DateKey(int year, int month, int day) {
  return static_cast<int64_t>(year) * 10000 + month * 100 + day;
}

// The calendar date of an OLE date, and its time of day in seconds; false
// for a value outside the years the dates can hold.
bool SplitOleDate(double ole, int64_t& dateKey, int32_t& seconds) {
  platform::time::LocalTime t;
  if (!std::isfinite(ole) || !platform::time::FromOleDate(ole, t)) return false;
  dateKey = DateKey(t.year, t.month, t.day);
  seconds = SecondsOfDay(t);
  return seconds >= 0 && seconds < kSecondsPerDay;
}

// The date after the given local date (the calendar's own arithmetic).
int64_t NextDateKey(const platform::time::LocalTime& now) {
  platform::time::LocalTime noon = now;
  noon.hour = 12;
  noon.minute = 0;
  noon.second = 0;
  noon.millisecond = 0;
  platform::time::LocalTime next;
  if (!platform::time::FromOleDate(platform::time::ToOleDate(noon) + 1.0, next))
    return DateKey(now.year, now.month, now.day) + 1;
  return DateKey(next.year, next.month, next.day);
}

const char* StateWord(int16_t state) {
  switch (state) {
    case REQUEST_STATE_IN_PROCESS: return "started";
    case REQUEST_STATE_SUCCEEDED: return "succeeded";
    case REQUEST_STATE_FAILED: return "failed";
    case REQUEST_STATE_CANCELLED: return "cancelled";
    default: return "?";
  }
}

// The top-level request a request's completion folds into.
const InProcRequest* TopLevel(const InProcRequest* request) {
  return request->parent != nullptr ? request->parent : request;
}

// A running node that belongs to a scheduled event (a macro of a request
// of type 3 also waits in the queue, under its tblTKZRequest RID, and must
// not be matched against schedule rows).
bool IsScheduledRunning(const ScheduleNode* node, int32_t scheduleId) {
  return node->kind == SCHED_RUNNING && node->ScheduleID == scheduleId && node->request != nullptr &&
         (TopLevel(node->request)->flags & REQ_FLAG_SCHEDULED) != 0;
}

}  // namespace

// ---- queue ----------------------------------------------------------------------

void CTKZDoc::InsertScheduleNode(ScheduleNode* node) {
  if (node == nullptr) return;
  ScheduleNode** at = &m_pScheduleHead;
  if (node->kind != SCHED_IMMEDIATE) {
    while (*at != nullptr && ((*at)->kind == SCHED_IMMEDIATE || (*at)->time < node->time)) at = &(*at)->next;
  }
  node->next = *at;
  *at = node;
}

void CTKZDoc::AlignScheduleDay(int dayOfMonth) {
  if (dayOfMonth == m_nDay) return;
  m_nDay = static_cast<int16_t>(dayOfMonth);
  // What was due before midnight and has not run yet (a tick that came late
  // across midnight) is overdue now: it runs at once rather than at the
  // same time on the new day.  The queue's order is kept: the overdue
  // nodes lay before every node of the new day.
  for (ScheduleNode* n = m_pScheduleHead; n != nullptr; n = n->next)
    n->time = n->time >= kSecondsPerDay ? n->time - kSecondsPerDay : 0;
}

bool CTKZDoc::ScheduledEventInProcess(int32_t scheduleId) const {
  // Its row does not show its end yet: it is not run a second time.
  if (m_Kept.schedules.count(scheduleId) != 0) return true;
  for (const auto& [reqNum, request] : m_ReqMap)
    if (request->RID == scheduleId && (request->flags & REQ_FLAG_SCHEDULED) != 0 &&
        (request->flags & REQ_FLAG_CHILD) == 0)
      return true;
  return false;
}

// ---- load -----------------------------------------------------------------------

bool CTKZDoc::LoadSchedule() {
  const platform::time::LocalTime now = TheClock().Local();
  const int64_t today = DateKey(now.year, now.month, now.day);
  const int64_t tomorrow = NextDateKey(now);
  const double nowOle = platform::time::ToOleDate(now);
  const dao::OleDate actioned{nowOle};
  const int32_t actionedDay = now.day;
  // The times read below count from today's midnight.
  AlignScheduleDay(now.day);

  // The old queue: waiting macros stay, in their order; the events are read
  // again.
  ScheduleNode* listHead = nullptr;
  ScheduleNode** listTail = &listHead;
  int inProcess = 0;
  for (ScheduleNode* n = m_pScheduleHead; n != nullptr;) {
    ScheduleNode* next = n->next;
    if (n->kind == SCHED_RUNNING) {
      n->next = nullptr;
      *listTail = n;
      listTail = &n->next;
      ++inProcess;
    } else {
      delete n;
    }
    n = next;
  }
  m_pScheduleHead = nullptr;

  int forToday = 0, forTomorrow = 0, cancelled = 0;
  bool ok = true;
  m_ScheduleError.reset();
  auto addEvent = [&](const ScheduleRow& row, int64_t date, int32_t seconds) {
    auto* node = new ScheduleNode;
    node->ScheduleID = row.ScheduleID;
    node->kind = row.RequestState;
    node->MacroID = row.MacroID;
    node->EventID = row.EventID;
    node->time = seconds;
    if (date == today) {
      ++forToday;
    } else {
      node->time += kSecondsPerDay;
      ++forTomorrow;
    }
    *listTail = node;
    listTail = &node->next;
  };

  try {
    if (!m_Database) dao::Throw(dao::kErrInvalidArgument, "The database is not open.");
    dao::Recordset rs = m_Database->QueryDefs("TKZqrySchedule").OpenRecordset();
    auto writeRow = [&](int16_t state, const char* text) {
      rs.Edit();
      rs.SetField("RequestState", state);
      rs.SetField("RequestDiagnostic", std::string(text));
      rs.SetField("ActionedTimestamp", actioned);
      rs.SetField("ActionedDay", actionedDay);
      rs.Update();
    };
    for (; !rs.IsEOF(); rs.MoveNext()) {
      ScheduleRow row{};
      rs.ReadRow(&row, sizeof row, kScheduleBindings);
      // A ScheduleID the i32 cannot hold would write another row: the row
      // itself is failed through the recordset's own key.
      if (row.ScheduleID <= 0 || row.ScheduleID == INT32_MAX) {
        const int64_t id = rs.GetField("ScheduleID").AsInt();
        if (id < 1 || id > INT32_MAX) {
          if (row.RequestState != REQUEST_STATE_FAILED) {
            LogPrintf("Error: Schedule row with ScheduleID %lld ignored: a ScheduleID must lie in 1 to 2147483647.\n",
                      static_cast<long long>(id));
            writeRow(REQUEST_STATE_FAILED, "Ignored, ScheduleID outside 1 to 2147483647");
          }
          continue;
        }
      }
      int64_t date = 0, timeDate = 0;
      int32_t dateSeconds = 0, seconds = 0;
      switch (row.RequestState) {
        case SCHED_PENDING:
        case SCHEDULE_STATE_IMMEDIATE:
          // An event that runs already (its row could not be written as
          // started) is not started a second time.
          if (ScheduledEventInProcess(row.ScheduleID)) break;
          if (!SplitOleDate(row.ScheduleDate, date, dateSeconds) ||
              !SplitOleDate(row.EventTime, timeDate, seconds)) {
            // A date no calendar holds can never come due.
            writeRow(REQUEST_STATE_FAILED, "Ignored, invalid date or time");
            break;
          }
          if (row.RequestState == SCHEDULE_STATE_IMMEDIATE) {
            addEvent(row, date == today ? today : tomorrow, seconds);
          } else if (date == today) {
            addEvent(row, today, seconds);
          } else if (row.ScheduleDate < nowOle) {
            writeRow(REQUEST_STATE_FAILED, "Ignored, stale date");
          } else if (date == tomorrow) {
            addEvent(row, tomorrow, seconds);
          }
          break;
        case REQUEST_STATE_IN_PROCESS: {
          bool found = ScheduledEventInProcess(row.ScheduleID);
          for (ScheduleNode* n = listHead; n != nullptr && !found; n = n->next)
            found = IsScheduledRunning(n, row.ScheduleID);
          if (!found) writeRow(REQUEST_STATE_FAILED, "Failed (not found in TKZ table).");
          break;
        }
        case REQUEST_STATE_CANCELLED: {
          // Unlink every waiting macro of the event first, then end them.
          ScheduleNode* taken = nullptr;
          ScheduleNode** takenTail = &taken;
          for (ScheduleNode** at = &listHead; *at != nullptr;) {
            ScheduleNode* n = *at;
            if (IsScheduledRunning(n, row.ScheduleID)) {
              *at = n->next;
              n->next = nullptr;
              *takenTail = n;
              takenTail = &n->next;
            } else {
              at = &n->next;
            }
          }
          listTail = &listHead;
          while (*listTail != nullptr) listTail = &(*listTail)->next;
          while (taken != nullptr) {
            ScheduleNode* n = taken;
            taken = n->next;
            InProcRequest* request = n->request;
            ++cancelled;
            --inProcess;
            if (g_bDocDebug)
              LogPrintf("Cancelling event %d at macro %d, step %d.\n", n->ScheduleID, n->MacroID, request->step);
            if (request->Rcode == RC_OK) {
              request->Rcode = RC_CANCELLED_BY_USER;
              request->message.Clear();
            }
            ++request->received;
            delete n;
            CompleteRequest(request);
          }
          break;
        }
        default:
          break;
      }
    }
  } catch (const dao::Error& e) {
    LogPrintf("%s:LoadSchedule: Error %d : %s\n", "doc", e.number(), e.description().c_str());
    m_ScheduleError = e;
    ok = false;
  }

  LogPrintf("Loaded %d events scheduled for today, %d for tomorrow.\n", forToday, forTomorrow);
  LogPrintf("Cancelled %d running events, %d are in process.\n", cancelled, inProcess);

  while (listHead != nullptr) {
    ScheduleNode* n = listHead;
    listHead = n->next;
    n->next = nullptr;
    InsertScheduleNode(n);
  }
  return ok;
}

// ---- due events -----------------------------------------------------------------

void CTKZDoc::RunDueEvents() {
  platform::time::LocalTime now = TheClock().Local();
  AlignScheduleDay(now.day);
  // What a run puts into the queue (a delay of zero, a reload) waits for the
  // next second, so that one tick always ends.
  int budget = 0;
  for (const ScheduleNode* n = m_pScheduleHead; n != nullptr; n = n->next) ++budget;

  while (m_pScheduleHead != nullptr && budget-- > 0) {
    now = TheClock().Local();
    AlignScheduleDay(now.day);
    ScheduleNode* node = m_pScheduleHead;
    if (node->kind != SCHED_IMMEDIATE && SecondsOfDay(now) < node->time) break;
    m_pScheduleHead = node->next;
    node->next = nullptr;

    InProcRequest* request = nullptr;
    switch (node->kind) {
      case SCHED_PENDING:
      case SCHED_IMMEDIATE:
        if (g_bDocDebug)
          LogPrintf(node->kind == SCHED_PENDING ? "Executing pending event, ScheduleID = %d.\n"
                                                : "Executing immediate event, ScheduleID = %d.\n",
                    node->ScheduleID);
        request = AddRequest();
        request->RID = node->ScheduleID;
        request->MacroID = node->MacroID;
        request->parent = request;
        request->flags = REQ_FLAG_SCHEDULED | REQ_FLAG_MACRO | (node->EventID == -1 ? REQ_FLAG_REMOTE_MACRO : 0);
        request->message.Set("Scheduled event %d started", node->ScheduleID);
        WriteScheduleState(request, REQUEST_STATE_IN_PROCESS);
        break;
      case SCHED_RUNNING:
        request = node->request;
        if (request != nullptr) {
          if (g_bDocDebug)
            LogPrintf("Continuing execution of Macro %d at step %d.\n", request->MacroID, request->step);
          // The delay has answered.
          ++request->received;
          request->flags &= ~REQ_FLAG_SENT;
        }
        break;
      default:
        break;
    }
    delete node;
    if (request == nullptr) continue;
    // The steps still to run give the text; a failure before the delay keeps
    // its own, as nothing replaces the first failure.
    if (request->Rcode == RC_OK) request->message.Clear();
    RunMacroSteps(request);
    RequestSent(request);
  }
}

// ---- write-back -----------------------------------------------------------------

void CTKZDoc::WriteScheduleRow(int32_t scheduleId, const KeptWrites::ScheduleResult& result) {
  dao::QueryDef q = m_Database->QueryDefs("TKZqryEvent");
  q.SetParameter("ValueScheduleID", scheduleId);
  dao::Recordset rs = q.OpenRecordset();
  rs.Edit();
  rs.SetField("RequestState", result.state);
  rs.SetField("RequestDiagnostic", result.text);
  rs.SetField("Step", result.step);
  rs.SetField("ActionedTimestamp", dao::OleDate{result.actioned});
  rs.SetField("ActionedDay", result.actionedDay);
  rs.Update();
}

void CTKZDoc::WriteScheduleState(InProcRequest* request, int16_t state) {
  if (request == nullptr) return;
  const bool remote = (request->flags & REQ_FLAG_REMOTE_MACRO) != 0;
  std::string diagnostic = request->message.Format();
  if (remote) diagnostic = "Remote Macro: " + diagnostic;
  char text[kRequestDiagnosticSize];
  CopyFieldText(text, sizeof text, diagnostic);
  if (!m_Database) return;
  const platform::time::LocalTime now = TheClock().Local();
  const KeptWrites::ScheduleResult result{state, text, static_cast<int32_t>(request->failingStep),
                                          platform::time::ToOleDate(now), now.day};
  try {
    WriteScheduleRow(request->RID, result);
    m_Kept.schedules.erase(request->RID);
  } catch (const dao::Error& e) {
    LogDbError(kDocLineScheduleState, e);
    // The event goes on (or has ended); its row waits for a later tick.
    if (WriteCanLandLater(e)) {
      NoteKept(e);
      m_Kept.schedules[request->RID] = result;
    } else {
      m_Kept.schedules.erase(request->RID);
    }
    return;
  }
  if (g_bDocDebug) {
    if (remote)
      LogPrintf("Remote macro call %s, \"%s\"\n", StateWord(state), text);
    else
      LogPrintf("Scheduled event %d %s, \"%s\"\n", request->RID, StateWord(state), text);
  }
}

// ---- flush and report -----------------------------------------------------------

void CTKZDoc::FlushSchedule() {
  ScheduleNode* taken = m_pScheduleHead;
  m_pScheduleHead = nullptr;
  while (taken != nullptr) {
    ScheduleNode* n = taken;
    taken = n->next;
    InProcRequest* request = n->kind == SCHED_RUNNING ? n->request : nullptr;
    if (request != nullptr) {
      if (request->Rcode == RC_OK) {
        request->Rcode = RC_CANCELLED_BY_SHUTDOWN;
        request->message.Clear();
      }
      ++request->received;
      if (g_bDocDebug)
        LogPrintf("Cancelling event %d at macro %d, step %d.\n", n->ScheduleID, n->MacroID, request->step);
    }
    delete n;
    if (request != nullptr) CompleteRequest(request);
  }
}

void CTKZDoc::ReportSchedule() {
  const int32_t nowSeconds = SecondsOfDay(TheClock().Local());
  LogPrintf("\nState         Time    From now  ID     Macro  Last Step\n");
  for (const ScheduleNode* n = m_pScheduleHead; n != nullptr; n = n->next) {
    const char* state = "Invalid !  ";
    switch (n->kind) {
      case SCHED_PENDING: state = "Pending    "; break;
      case SCHED_IMMEDIATE: state = "Immediate  "; break;
      case SCHED_RUNNING: state = "In progress"; break;
      default: break;
    }
    int32_t hours = n->time / 3600;
    if (hours > 24) hours -= 24;
    const int32_t fromNow = n->time - nowSeconds;
    const int32_t step = n->kind == SCHED_RUNNING && n->request != nullptr ? n->request->step : 0;
    LogPrintf("%s %2d:%02d:%02d  %2d:%02d:%02d  %-6d %-6d %-6d\n", state, hours, (n->time / 60) % 60,
              n->time % 60, fromNow / 3600, (fromNow % 3600) / 60, fromNow % 60, n->ScheduleID, n->MacroID,
              step);
  }
  LogPrintf("\n");
}
