// Writes the database did not take when the document made them: request
// results (tblTKZRequest and a scheduled event's tblSchedule row), node and
// rack ConnectStatus, a rack's SoftwareVersion, fault records.  The document
// keeps them and tries them again at every timer tick until they land, so that a
// lock held past the busy time-out, a full disk or a file system that turned
// read-only for a while loses nothing the server decided.
//
// The latest state wins: a newer result for a request row, a newer status
// for a node or rack, or a newer version of a rack replaces the kept one
// (and one written at once drops it); fault operations are kept in the order they were made and
// replayed in that order, behind any still waiting, so that a raise never
// lands after the subside that followed it.
//
// Ownership: held by value in the document; fault records own their text
// arguments here.  UI thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "FaultRecord.h"
#include "dao/errors.h"

// False for a write that no retry can make land: the row is gone (3021,
// 3167), the database refuses the value itself (duplicate key, width, null,
// validation, conversion), or the call is wrong (missing query, column or
// table, misuse).  Everything else (busy, disk full or failing, read-only,
// damaged, refused by the system) is kept and tried again.
bool WriteCanLandLater(const dao::Error& e);

// Kept fault operations at most; past it the oldest are dropped (counted
// and logged), so that a database refusing writes for days cannot make the
// server grow without bound.
inline constexpr size_t kKeptFaultsMax = 10000;

struct KeptWrites {
  struct RequestResult {
    int16_t state = 0;
    std::string text;
  };
  // One fault operation: a record to write, or the deletion of a rack's
  // fault rows (DeleteRackFaults).
  struct Fault {
    bool deleteRack = false;
    int32_t rack = 0;
    FaultRecord record;               // text arguments: see Record()
    std::array<std::string, 3> texts;  // the text arguments, owned

    static Fault Of(const FaultRecord& r);
    static Fault DeleteOf(int32_t rack);
    // The record with its text arguments pointing at `texts` (valid while
    // this Fault is not changed).
    FaultRecord Record() const;
  };

  // A scheduled event's row (tblSchedule): state, text, failing step and
  // when it was actioned.
  struct ScheduleResult {
    int16_t state = 0;
    std::string text;
    int32_t step = 0;
    double actioned = 0.0;
    int32_t actionedDay = 0;
  };

  std::map<int32_t, RequestResult> requests;    // by RID
  std::map<int32_t, ScheduleResult> schedules;  // by ScheduleID
  std::map<int32_t, int16_t> nodeStatus;      // ConnectStatus by NodeID
  std::map<int32_t, int16_t> rackStatus;      // ConnectStatus by rack number
  std::map<int32_t, std::string> rackVersions;  // SoftwareVersion by rack number
  std::deque<Fault> faults;                   // in the order made
  size_t faultsDropped = 0;                   // past kKeptFaultsMax, this episode

  // Since the first write was kept: when, and how many were kept.
  int64_t sinceMs = 0;
  size_t keptCount = 0;

  bool empty() const {
    return requests.empty() && schedules.empty() && nodeStatus.empty() && rackStatus.empty() &&
           rackVersions.empty() && faults.empty();
  }
  size_t size() const {
    return requests.size() + schedules.size() + nodeStatus.size() + rackStatus.size() + rackVersions.size() +
           faults.size();
  }
};
