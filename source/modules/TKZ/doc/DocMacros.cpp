// Macros: the step engine that runs a macro's steps (presets, child macros,
// manual levels, delays, cleaner lights), and the start of a macro by a
// rack's macro input.
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Comm.h"
#include "DisplayFlags.h"
#include "Doc.h"
#include "DocRequestParams.h"
#include "DocZoneTree.h"
#include "DocSchedule.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "platform/time/clock.h"

namespace {

constexpr int kDocLineMacroSteps = 1633;
constexpr int kDocLineMacroIO = 1368;
constexpr int kDocLineInputMacroRow = 1409;

// Child macros run inside their parent's step run; deeper nesting (a macro
// that runs itself before its first delay) ends the step with a failure.
constexpr int kMacroNestingMax = 16;
// The result of a macro stopped by that limit (the server's unnamed code;
// the request carries its own text).
constexpr uint16_t kRcMacroNesting = 0x400;
// The longest delay a step may ask for: a week.
constexpr int64_t kMacroDelayMaxSeconds = 7 * 86400;

constexpr size_t kParamSize = 50;

enum MacroAction : int16_t {
  kActionQxvPreset = 0,
  kActionBrevantPreset = 1,
  kActionChildMacro = 2,
  kActionManualLevels = 3,
  kActionDelay = 4,
  kActionCleanerOn = 5,
  kActionCleanerOff = 6,
  kActionNone = 10,
};

constexpr int32_t kSubTypeCleanerOff = 22;
constexpr int32_t kSubTypeCleanerOn = 23;

#pragma pack(push, 1)
struct MacroStepRow {
  int32_t MacroID;
  int16_t Step;
  int16_t Action;
  char ActionParam1[kParamSize];
  char ActionParam2[kParamSize];
  char ActionParam3[kParamSize];
  char ActionParam4[kParamSize];
};
struct MacroIORow {
  int32_t ZoneID;
  uint8_t AnalogIn;
  uint8_t pad5;
  int32_t MacroID;
};
#pragma pack(pop)
static_assert(sizeof(MacroStepRow) == 208);
static_assert(sizeof(MacroIORow) == 10);

constexpr dao::Binding kMacroStepBindings[] = {
    {"MacroID", dao::BindType::kI32, offsetof(MacroStepRow, MacroID), 4},
    {"Step", dao::BindType::kI16, offsetof(MacroStepRow, Step), 2},
    {"Action", dao::BindType::kI16, offsetof(MacroStepRow, Action), 2},
    {"ActionParam1", dao::BindType::kText, offsetof(MacroStepRow, ActionParam1), kParamSize},
    {"ActionParam2", dao::BindType::kText, offsetof(MacroStepRow, ActionParam2), kParamSize},
    {"ActionParam3", dao::BindType::kText, offsetof(MacroStepRow, ActionParam3), kParamSize},
};
constexpr dao::Binding kMacroIOBindings[] = {
    {"ZoneID", dao::BindType::kI32, offsetof(MacroIORow, ZoneID), 4},
    {"AnalogIn", dao::BindType::kU8, offsetof(MacroIORow, AnalogIn), 1},
    {"MacroID", dao::BindType::kI32, offsetof(MacroIORow, MacroID), 4},
};

// A step parameter: present when its text begins with a number.
bool ParseParam(const char (&text)[kParamSize], int32_t& out) {
  const std::optional<int32_t> v = LeadingDecimal(FieldText(text));
  if (v) out = *v;
  return v.has_value();
}

// "%d:%d:%d".
bool ParseDelay(const char (&text)[kParamSize], int32_t& h, int32_t& m, int32_t& s) {
  std::string_view rest = FieldText(text);
  int32_t* const parts[] = {&h, &m, &s};
  for (size_t i = 0; i < std::size(parts); ++i) {
    if (i > 0) {
      if (rest.empty() || rest.front() != ':') return false;
      rest.remove_prefix(1);
    }
    const std::optional<int32_t> v = ScanDecimal(rest);
    if (!v) return false;
    *parts[i] = *v;
  }
  return true;
}

struct DepthGuard {
  explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  int& depth_;
};

}  // namespace

void CTKZDoc::RunMacroSteps(InProcRequest* request) {
  if (request == nullptr) return;
  if (!m_qdMacroStep || !m_rsMacroStep) {
    LogPrintf("Error: Macro %d not run: the macro steps are not open.\n", request->MacroID);
    return;
  }
  DepthGuard depth(m_nMacroDepth);
  InProcRequest* top = request->parent != nullptr ? request->parent : request;

  // One broadcast message per node port that serves the zone's racks; the
  // builder fills and sends each.
  auto eachPortMsg = [&](int32_t zone, auto&& build) {
    RackList racks;
    GetRackList(zone, racks);
    ForEachPortMsg(request, racks, build);
  };

  int32_t last = request->step;
  try {
    bool requery = true;
    for (;;) {
      if (requery) {
        m_qdMacroStep->SetParameter("ValueMacroID", request->MacroID);
        m_qdMacroStep->SetParameter("ValueMacroStep", static_cast<int16_t>(last));
        m_rsMacroStep->Requery();
        requery = false;
      }
      if (m_rsMacroStep->IsEOF()) break;
      MacroStepRow row{};
      m_rsMacroStep->ReadRow(&row, sizeof row, kMacroStepBindings);
      if (row.Step <= last) {
        // Only a step number beyond the column's range reads like this; it
        // would be run again and again.
        LogPrintf("Error: Macro %d: step number out of range after step %d, macro ended.\n", request->MacroID,
                  last);
        break;
      }
      last = row.Step;
      request->step = row.Step;
      if (g_bDocDebug) LogPrintf("Executing Macro %d, step %d.\n", request->MacroID, row.Step);
      int32_t p1 = 0, p2 = 0, p3 = 0;
      const bool has1 = ParseParam(row.ActionParam1, p1);
      const bool has2 = ParseParam(row.ActionParam2, p2);
      bool has3 = ParseParam(row.ActionParam3, p3);

      switch (row.Action) {
        case kActionQxvPreset:
          if (!has1 || !has2) break;
          eachPortMsg(p1, [&](RackMsg* msg) { theComm.PresetOn(msg, p2); });
          break;
        case kActionBrevantPreset: {
          if (!has1 || !has2 || !has3) break;
          const int32_t room = p2 == 0 ? -1 : p2;
          eachPortMsg(p1, [&](RackMsg* msg) { theComm.BrevantPresetOn(msg, p3, room); });
          break;
        }
        case kActionChildMacro: {
          if (!has1) break;
          if (m_nMacroDepth >= kMacroNestingMax) {
            LogPrintf("Error: Macro %d, step %d: macros nested deeper than %d, macro %d not run.\n",
                      request->MacroID, row.Step, kMacroNestingMax, p1);
            if (top->Rcode == 0) {
              top->Rcode = kRcMacroNesting;
              top->failingStep = static_cast<uint32_t>(row.Step);
              top->message.Set("Macro %d step %d: macros nested too deeply", request->MacroID, row.Step);
            }
            break;
          }
          InProcRequest* child = AddRequest();
          child->RID = request->RID;
          child->RequestType = request->RequestType;
          child->RequestSubType = request->RequestSubType;
          child->ZoneID = request->ZoneID;
          child->MacroID = p1;
          child->parent = top;
          child->flags = REQ_FLAG_CHILD;
          ++top->expected;
          RunMacroSteps(child);
          RequestSent(child);
          // The child used the shared recordset: this macro's steps are
          // read again from the one after this step.
          requery = true;
          continue;
        }
        case kActionManualLevels:
          if (has1 && has2 && !has3 && p2 == 0) {
            p3 = 0;
            has3 = true;
          }
          if (!has1 || !has2 || !has3) break;
          SetGroupManualLevels(request, p1, p2, p3);
          // The group's rows were read with another query; the step
          // recordset is still where it was.
          break;
        case kActionDelay: {
          int32_t h = 0, m = 0, s = 0;
          if (!ParseDelay(row.ActionParam1, h, m, s)) break;
          const int64_t seconds = int64_t{h} * 3600 + int64_t{m} * 60 + s;
          if (h < 0 || m < 0 || s < 0 || seconds > kMacroDelayMaxSeconds) {
            LogPrintf("Error: Macro %d, step %d: delay \"%s\" out of range, step skipped.\n", request->MacroID,
                      row.Step, row.ActionParam1);
            break;
          }
          const platform::time::LocalTime now = TheClock().Local();
          AlignScheduleDay(now.day);
          const int64_t due = int64_t{now.hour} * 3600 + int64_t{now.minute} * 60 + now.second + seconds;
          if (g_bDocDebug)
            LogPrintf("Delaying macro %d execution for %d seconds at step %d\n", request->MacroID,
                      static_cast<int>(seconds), request->step);
          auto* node = new ScheduleNode;
          node->ScheduleID = request->RID;
          node->kind = SCHED_RUNNING;
          node->MacroID = request->MacroID;
          node->request = request;
          node->time = static_cast<int32_t>(due);
          InsertScheduleNode(node);
          ++request->expected;
          return;
        }
        case kActionCleanerOn:
        case kActionCleanerOff:
          if (!has1 || !has2) break;
          request->RequestSubType = row.Action == kActionCleanerOn ? kSubTypeCleanerOn : kSubTypeCleanerOff;
          SwitchCleanerLights(request, p1, p2);
          break;
        case kActionNone:
          break;
        default:
          LogPrintf("Unknown Macro action %d ignored.\n", row.Action);
          break;
      }
      m_rsMacroStep->MoveNext();
    }
  } catch (const dao::Error& e) {
    LogDbError(kDocLineMacroSteps, e);
  }
}

bool CTKZDoc::StartInputMacro(int32_t rack, int32_t input) {
  if (rack < 1 || rack > 256 || input < 0 || input > 31) {
    LogPrintf("Error: Ignoring change on input #%d, rack %d: no such input.\n", input + 1, rack);
    return false;
  }
  if (!m_Database) return false;
  int32_t macro = 0;
  try {
    dao::QueryDef q = m_Database->QueryDefs("TKZqryMacroIO");
    q.SetParameter("ValueZoneID", RackZoneId(rack));
    q.SetParameter("ValueAnalogIn", input);
    dao::Recordset rs = q.OpenRecordset();
    if (!rs.IsEOF()) {
      MacroIORow row{};
      rs.ReadRow(&row, sizeof row, kMacroIOBindings);
      macro = row.MacroID;
    } else if (g_bDocDebug) {
      LogPrintf("Ignoring change on input #%d, rack %d, no macro assigned.\n", input + 1, rack);
    }
  } catch (const dao::Error& e) {
    LogDbError(kDocLineMacroIO, e);
  }
  if (macro <= 0) return false;

  try {
    const platform::time::LocalTime now = TheClock().Local();
    dao::LocalDateTime timeOfDay;  // on the day-zero date
    timeOfDay.hour = now.hour;
    timeOfDay.minute = now.minute;
    timeOfDay.second = now.second;
    dao::LocalDateTime midnight;
    midnight.year = now.year;
    midnight.month = now.month;
    midnight.day = now.day;
    dao::Recordset table = m_Database->OpenTable("tblSchedule");
    table.AddNew();
    table.SetField("RequestState", SCHEDULE_STATE_IMMEDIATE);
    table.SetField("MacroID", macro);
    table.SetField("Step", int32_t{0});
    table.SetField("EventID", int32_t{-1});
    table.SetField("ActionedTimestamp", dao::OleDate{platform::time::ToOleDate(now)});
    table.SetField("EventTime", dao::ToOleDate(timeOfDay));
    table.SetField("ScheduleDate", dao::ToOleDate(midnight));
    table.Update();
  } catch (const dao::Error& e) {
    LogDbError(kDocLineInputMacroRow, e);
    return false;
  }
  return LoadSchedule();
}
