// The soak program's side of the site database: it writes the requests (a
// writer thread at full speed or at a rate, as outside programs do; one row
// and its parameters per transaction), holds an outside write lock when
// asked, and keeps the account of every request it wrote.
//
// How a request's ending is counted. Polling the rows would miss a state
// that lasts less than a poll (a row claimed, ended, claimed again), so the
// soak program adds to the site, before the server first starts, a table
// soakTransition and triggers on tblTKZRequest that append one row for
// every update of RequestState or RequestDiagnostic (old state, new state,
// text) and for every deletion. A trigger runs inside the server's own
// statement: its row commits exactly when the server's change commits and
// is rolled back with it, so the table holds every change that ever reached
// the database, in order, and nothing that did not. From it, per request:
// claims (a change to 3 from another state), ends (a change into 4, 5 or 6
// from another state, or a final state or text replaced by another), and
// whether a final state was left again. A request ended exactly once has
// one claim at most, one end, and never left its final state. Rewriting the
// same final state and text again (the server's dispatch does) is no end.
//
// Ownership: the Ledger owns its connections and the writer thread; all
// calls except the writer's own work come from the main thread.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Requests.h"

namespace soak {

struct PhaseTally {
  int written = 0;
  int endedOnce = 0;
  int unfinished = 0;  // pending (0) or in process (3) at the end
  int pending = 0;
  int inProcess = 0;
  int duplicated = 0;  // claimed or ended more than once, or left a final state
  int gone = 0;        // the row was deleted
  int succeeded = 0, failed = 0, cancelled = 0;
  int wrong = 0;       // ended otherwise than the plant decides
  std::vector<std::string> examples;  // a few of each kind of fault
};

struct WriterPlan {
  int phase = 0;
  bool fullSpeed = false;
  double perSecond = 50;   // when not at full speed
  int maxRows = 1000000;
  double seconds = 10;
  bool noReloads = false;
  bool keepExpect = false;  // record the plant's outcome for the check
  PlantView view;
  uint32_t seed = 1;
};

struct WriterStats {
  int rows = 0;
  double seconds = 0;
  std::map<std::string, int> refused;  // the database's refusals of our inserts, by text
};

class Ledger {
 public:
  Ledger() = default;
  ~Ledger();
  Ledger(const Ledger&) = delete;
  Ledger& operator=(const Ledger&) = delete;

  bool Open(const std::string& dbPath, std::string* error);
  // The transition table and its triggers (before the server's first start).
  bool InstallAudit(std::string* error);

  void StartWriter(const WriterPlan& plan);
  void StopWriter();
  bool writerRunning() const { return writerBusy_.load(); }
  WriterStats writerStats();

  // One request written now from the main thread.
  bool InsertNow(const RequestSpec& spec, int phase, std::string* error);
  // An outside write lock (BEGIN IMMEDIATE held open) on a connection of
  // its own; EndLock commits it.
  bool BeginLock(std::string* error);
  void EndLock();

  // Reads the transitions and the writer's new rows since the last call.
  bool Refresh(std::string* error);
  PhaseTally Tally(int phase, bool checkExpect) const;
  // Requests written (in any phase) that are not final yet, and of them
  // those in state 3.
  int OpenRequests(int phase = -1) const;  // -1: every phase
  std::vector<int64_t> InProcessNow() const;
  // Transitions seen so far: grows while the server works.
  uint64_t transitions() const { return static_cast<uint64_t>(lastSeq_); }
  // Claims seen so far (changes to state 3).
  uint64_t claimsSeen() const { return claimsSeen_; }
  // Claims of requests that send a rack command, by target, since the start.
  std::map<std::string, uint64_t> ClaimsByTarget() const;
  // The rows of a phase as the table holds them, against the transitions.
  // False with *error when they disagree (the account itself is wrong).
  bool CrossCheck(int phase, std::string* error);
  // ConnectStatus of every node and rack zone.
  bool ReadStatus(std::map<int, int>* nodes, std::map<int, int>* rackZones, std::string* error);

 private:
  struct Written {
    int64_t rid;
    int phase;
    std::string target;
    int expect;
    std::string label;
  };
  struct Track {
    int state = 0;
    std::string diag;
    int claims = 0;
    int ends = 0;
    bool reopened = false;
    bool gone = false;
    std::string history = "0";
  };
  void Apply(Track& t, int oldState, int newState, bool deleted, const std::string& diag);
  void WriterLoop(WriterPlan plan);

  std::string dbPath_;
  sqlite3* reader_ = nullptr;
  sqlite3* control_ = nullptr;
  bool locked_ = false;

  std::thread writer_;
  std::atomic<bool> stopWriter_{false};
  std::atomic<bool> writerBusy_{false};
  std::mutex mu_;                  // guards incoming_ and stats_
  std::vector<Written> incoming_;  // written by the writer, not yet taken
  WriterStats stats_;

  std::vector<Written> written_;
  std::map<int64_t, Track> tracks_;
  int64_t lastSeq_ = 0;
  int oldMismatch_ = 0;
  uint64_t claimsSeen_ = 0;
};

// Opens a connection to the site database with a busy timeout.
sqlite3* OpenDb(const std::string& path, int busyMs, std::string* error);
// Writes one request row and its parameters in one transaction; its RID.
bool InsertRequest(sqlite3* db, const RequestSpec& spec, int64_t* rid, std::string* error);

}  // namespace soak
