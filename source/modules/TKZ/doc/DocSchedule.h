// The schedule queue's node: a scheduled event of today or tomorrow waiting
// for its time, or a running macro waiting on a delay step.
//
// Ownership: nodes are heap objects owned by the document's schedule queue
// (CTKZDoc::m_pScheduleHead) from InsertScheduleNode until they are run,
// cancelled, replaced by a reload or flushed.  `request` is not owned: it is
// the in-process request (in the document's request map) that a running
// node resumes.  UI thread only.
#pragma once

#include <cstdint>

struct InProcRequest;

// Kinds of a node (a schedule row's RequestState as it was read).
inline constexpr int16_t SCHED_PENDING = 0;
inline constexpr int16_t SCHED_IMMEDIATE = 2;
inline constexpr int16_t SCHED_RUNNING = 3;

// RequestState of a schedule row written by another program to run its
// event at once.
inline constexpr int16_t SCHEDULE_STATE_IMMEDIATE = 2;

inline constexpr int32_t kSecondsPerDay = 86400;

struct ScheduleNode {
  ScheduleNode* next = nullptr;
  // The tblSchedule row; for a macro waiting on a delay, the RID of its request.
  int32_t ScheduleID = 0;
  int16_t kind = SCHED_PENDING;
  // Due time in seconds after midnight of the current day; 86400 and more
  // is tomorrow (or later, for a long delay).
  int32_t time = 0;
  int32_t MacroID = 0;
  // The row's EventID; -1 marks a macro started by a rack's input.
  int32_t EventID = 0;
  // SCHED_RUNNING only: the request the delay belongs to.
  InProcRequest* request = nullptr;
};
