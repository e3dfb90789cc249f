#include "Ledger.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kReaderBusyMs = 2000;
// As the site tool: the server holds the database for moments at a time.
constexpr int kWriterBusyMs = 5000;
constexpr size_t kExamples = 4;

bool IsFinal(int state) { return state == 4 || state == 5 || state == 6; }

std::string Errmsg(sqlite3* db) { return db != nullptr ? sqlite3_errmsg(db) : "no connection"; }

bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  *error = msg != nullptr ? msg : Errmsg(db);
  sqlite3_free(msg);
  return false;
}

class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) == SQLITE_OK; }
  ~Stmt() { sqlite3_finalize(st_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return ok_; }
  sqlite3_stmt* get() { return st_; }

 private:
  sqlite3_stmt* st_ = nullptr;
  bool ok_ = false;
};

std::string Text(sqlite3_stmt* st, int col) {
  const unsigned char* t = sqlite3_column_text(st, col);
  return t != nullptr ? reinterpret_cast<const char*>(t) : "";
}

}  // namespace

sqlite3* OpenDb(const std::string& path, int busyMs, std::string* error) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    *error = "cannot open " + path + ": " + Errmsg(db);
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, busyMs);
  return db;
}

bool InsertRequest(sqlite3* db, const RequestSpec& spec, int64_t* rid, std::string* error) {
  if (!Exec(db, "BEGIN IMMEDIATE", error)) return false;
  auto fail = [&](const char* what) {
    *error = std::string(what) + ": " + Errmsg(db);
    std::string ignored;
    Exec(db, "ROLLBACK", &ignored);
    return false;
  };
  {
    Stmt st(db,
            "INSERT INTO tblTKZRequest (RequestPC, RequestState, RequestType, RequestSubType, ZoneID) "
            "VALUES ('SOAK', 0, ?, ?, ?)");
    if (!st.ok()) return fail("prepare");
    sqlite3_bind_int(st.get(), 1, spec.type);
    sqlite3_bind_int(st.get(), 2, spec.subtype);
    sqlite3_bind_int(st.get(), 3, spec.zone);
    if (sqlite3_step(st.get()) != SQLITE_DONE) return fail("insert");
  }
  *rid = sqlite3_last_insert_rowid(db);
  for (const auto& [number, value] : spec.params) {
    Stmt st(db, "INSERT INTO tblTKZRequestParam (RID, ParamNumber, ParamValue) VALUES (?, ?, ?)");
    if (!st.ok()) return fail("prepare");
    sqlite3_bind_int64(st.get(), 1, *rid);
    sqlite3_bind_int(st.get(), 2, number);
    sqlite3_bind_text(st.get(), 3, value.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st.get()) != SQLITE_DONE) return fail("insert parameter");
  }
  if (!Exec(db, "COMMIT", error)) {
    std::string ignored;
    Exec(db, "ROLLBACK", &ignored);
    return false;
  }
  return true;
}

Ledger::~Ledger() {
  StopWriter();
  if (locked_) EndLock();
  sqlite3_close(reader_);
  sqlite3_close(control_);
}

bool Ledger::Open(const std::string& dbPath, std::string* error) {
  dbPath_ = dbPath;
  reader_ = OpenDb(dbPath, kReaderBusyMs, error);
  if (reader_ == nullptr) return false;
  control_ = OpenDb(dbPath, kWriterBusyMs, error);
  return control_ != nullptr;
}

bool Ledger::InstallAudit(std::string* error) {
  return Exec(reader_,
              "CREATE TABLE soakTransition (Seq INTEGER PRIMARY KEY, RID INTEGER NOT NULL, "
              "  OldState INTEGER, NewState INTEGER, Deleted INTEGER NOT NULL DEFAULT 0, Diag TEXT);"
              "CREATE TRIGGER soakTrackUpdate AFTER UPDATE OF RequestState, RequestDiagnostic ON tblTKZRequest "
              "BEGIN INSERT INTO soakTransition (RID, OldState, NewState, Diag) "
              "  VALUES (NEW.RID, OLD.RequestState, NEW.RequestState, NEW.RequestDiagnostic); END;"
              "CREATE TRIGGER soakTrackDelete AFTER DELETE ON tblTKZRequest "
              "BEGIN INSERT INTO soakTransition (RID, OldState, NewState, Deleted, Diag) "
              "  VALUES (OLD.RID, OLD.RequestState, OLD.RequestState, 1, 'row deleted'); END;",
              error);
}

void Ledger::StartWriter(const WriterPlan& plan) {
  StopWriter();
  stopWriter_ = false;
  writerBusy_ = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stats_ = WriterStats{};
  }
  writer_ = std::thread([this, plan] { WriterLoop(plan); });
}

void Ledger::StopWriter() {
  stopWriter_ = true;
  if (writer_.joinable()) writer_.join();
  writerBusy_ = false;
}

WriterStats Ledger::writerStats() {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

void Ledger::WriterLoop(WriterPlan plan) {
  std::string error;
  sqlite3* db = OpenDb(dbPath_, kWriterBusyMs, &error);
  RequestMaker maker(plan.seed);
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(static_cast<int64_t>(plan.seconds * 1000));
  const auto interval = std::chrono::microseconds(
      static_cast<int64_t>(1e6 / std::max(0.1, plan.perSecond)));
  auto next = start;
  int rows = 0;
  while (db != nullptr && !stopWriter_ && rows < plan.maxRows && Clock::now() < deadline) {
    if (!plan.fullSpeed) {
      if (Clock::now() < next) {
        std::this_thread::sleep_for(std::min<Clock::duration>(next - Clock::now(), std::chrono::milliseconds(50)));
        continue;
      }
      next += interval;
    }
    const RequestSpec spec = maker.Next(plan.view, plan.noReloads);
    int64_t rid = 0;
    if (InsertRequest(db, spec, &rid, &error)) {
      ++rows;
      std::lock_guard<std::mutex> lock(mu_);
      incoming_.push_back({rid, plan.phase, spec.target.key, plan.keepExpect ? spec.expect : 0, spec.label});
      stats_.rows = rows;
      stats_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } else {
      {
        std::lock_guard<std::mutex> lock(mu_);
        ++stats_.refused[error];
      }
      // The database refuses writes (full, read-only, locked): try again soon.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      next = Clock::now();
    }
  }
  if (db == nullptr) {
    std::lock_guard<std::mutex> lock(mu_);
    ++stats_.refused["writer cannot open the database: " + error];
  }
  sqlite3_close(db);
  writerBusy_ = false;
}

bool Ledger::InsertNow(const RequestSpec& spec, int phase, std::string* error) {
  int64_t rid = 0;
  if (locked_) {
    *error = "the outside lock is held";
    return false;
  }
  if (!InsertRequest(control_, spec, &rid, error)) return false;
  std::lock_guard<std::mutex> lock(mu_);
  incoming_.push_back({rid, phase, spec.target.key, spec.expect, spec.label});
  return true;
}

bool Ledger::BeginLock(std::string* error) {
  if (locked_) return true;
  if (!Exec(control_, "BEGIN IMMEDIATE", error)) return false;
  locked_ = true;
  return true;
}

void Ledger::EndLock() {
  if (!locked_) return;
  std::string error;
  if (!Exec(control_, "COMMIT", &error)) Exec(control_, "ROLLBACK", &error);
  locked_ = false;
}

void Ledger::Apply(Track& t, int oldState, int newState, bool deleted, const std::string& diag) {
  if (deleted) {
    t.gone = true;
    t.history += ">deleted";
    return;
  }
  // Every change of the row passes here, so the old state is the one kept.
  if (oldState != t.state) ++oldMismatch_;
  const bool wasFinal = IsFinal(t.state);
  if (newState == 3 && t.state != 3) {
    ++t.claims;
    ++claimsSeen_;
  }
  if (IsFinal(newState) && (!wasFinal || newState != t.state || diag != t.diag)) ++t.ends;
  if (wasFinal && !IsFinal(newState)) t.reopened = true;
  if (newState != t.state) t.history += ">" + std::to_string(newState);
  else if (wasFinal && diag != t.diag) t.history += ">" + std::to_string(newState) + "(new text)";
  t.state = newState;
  t.diag = diag;
}

bool Ledger::Refresh(std::string* error) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (Written& w : incoming_) {
      tracks_.try_emplace(w.rid);
      written_.push_back(std::move(w));
    }
    incoming_.clear();
  }
  Stmt st(reader_, "SELECT Seq, RID, OldState, NewState, Deleted, Diag FROM soakTransition WHERE Seq > ? ORDER BY Seq");
  if (!st.ok()) {
    *error = "cannot read the transitions: " + Errmsg(reader_);
    return false;
  }
  sqlite3_bind_int64(st.get(), 1, lastSeq_);
  int rc;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    lastSeq_ = sqlite3_column_int64(st.get(), 0);
    Track& t = tracks_[sqlite3_column_int64(st.get(), 1)];
    Apply(t, sqlite3_column_int(st.get(), 2), sqlite3_column_int(st.get(), 3),
          sqlite3_column_int(st.get(), 4) != 0, Text(st.get(), 5));
  }
  if (rc != SQLITE_DONE) {
    *error = "cannot read the transitions: " + Errmsg(reader_);
    return false;
  }
  return true;
}

PhaseTally Ledger::Tally(int phase, bool checkExpect) const {
  PhaseTally out;
  std::map<std::string, size_t> shown;
  auto example = [&](const std::string& kind, const Written& w, const Track& t) {
    if (shown[kind]++ >= kExamples) return;
    std::string diag = t.diag.substr(0, 70);
    out.examples.push_back(kind + ": RID " + std::to_string(w.rid) + " (" + w.label + "), states " + t.history +
                           (diag.empty() ? "" : ", \"" + diag + "\""));
  };
  for (const Written& w : written_) {
    if (w.phase != phase) continue;
    ++out.written;
    auto it = tracks_.find(w.rid);
    const Track none;
    const Track& t = it != tracks_.end() ? it->second : none;
    const bool duplicated = t.claims > 1 || t.ends > 1 || t.reopened;
    if (t.gone) {
      ++out.gone;
      example("deleted", w, t);
      continue;
    }
    if (duplicated) {
      ++out.duplicated;
      example("duplicated", w, t);
    }
    if (!IsFinal(t.state)) {
      ++out.unfinished;
      if (t.state == 3) {
        ++out.inProcess;
        example("left in state 3", w, t);
      } else {
        ++out.pending;
        example("left in state " + std::to_string(t.state), w, t);
      }
      continue;
    }
    if (!duplicated) ++out.endedOnce;
    if (t.state == 4) ++out.succeeded;
    if (t.state == 5) ++out.failed;
    if (t.state == 6) ++out.cancelled;
    if (checkExpect && w.expect != 0 && t.state != w.expect) {
      ++out.wrong;
      example("ended in " + std::to_string(t.state) + ", not " + std::to_string(w.expect), w, t);
    }
  }
  return out;
}

int Ledger::OpenRequests(int phase) const {
  int open = 0;
  for (const Written& w : written_) {
    if (phase >= 0 && w.phase != phase) continue;
    auto it = tracks_.find(w.rid);
    if (it == tracks_.end() || (!IsFinal(it->second.state) && !it->second.gone)) ++open;
  }
  return open;
}

std::vector<int64_t> Ledger::InProcessNow() const {
  std::vector<int64_t> rids;
  for (const Written& w : written_) {
    auto it = tracks_.find(w.rid);
    if (it != tracks_.end() && it->second.state == 3 && !it->second.gone) rids.push_back(w.rid);
  }
  return rids;
}

std::map<std::string, uint64_t> Ledger::ClaimsByTarget() const {
  std::map<std::string, uint64_t> claims;
  for (const Written& w : written_) {
    if (w.target.empty()) continue;
    auto it = tracks_.find(w.rid);
    claims[w.target] += it != tracks_.end() ? static_cast<uint64_t>(it->second.claims) : 0;
  }
  return claims;
}

bool Ledger::CrossCheck(int phase, std::string* error) {
  std::map<int64_t, int> table;
  Stmt st(reader_, "SELECT RID, RequestState FROM tblTKZRequest WHERE RequestPC = 'SOAK'");
  if (!st.ok()) {
    *error = "cannot read the request rows: " + Errmsg(reader_);
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW)
    table[sqlite3_column_int64(st.get(), 0)] = sqlite3_column_int(st.get(), 1);
  if (rc != SQLITE_DONE) {
    *error = "cannot read the request rows: " + Errmsg(reader_);
    return false;
  }
  int disagree = 0;
  std::string first;
  if (oldMismatch_ > 0) {
    disagree = oldMismatch_;
    first = "a transition's old state was not the state before it";
  }
  for (const Written& w : written_) {
    if (w.phase != phase) continue;
    auto t = tracks_.find(w.rid);
    auto row = table.find(w.rid);
    const bool gone = t != tracks_.end() && t->second.gone;
    const int tracked = t != tracks_.end() ? t->second.state : 0;
    const bool agrees = row == table.end() ? gone : (!gone && row->second == tracked);
    if (!agrees && disagree++ == 0)
      first = "RID " + std::to_string(w.rid) + ": the row says " +
              (row == table.end() ? std::string("nothing (gone)") : std::to_string(row->second)) +
              ", the transitions " + std::to_string(tracked);
  }
  if (disagree == 0) return true;
  *error = std::to_string(disagree) + " request row(s) differ from their transitions (" + first + ")";
  return false;
}

bool Ledger::ReadStatus(std::map<int, int>* nodes, std::map<int, int>* rackZones, std::string* error) {
  nodes->clear();
  rackZones->clear();
  for (auto [sql, out] : {std::pair{"SELECT NodeID, ConnectStatus FROM tblNodeStatus", nodes},
                          std::pair{"SELECT ZoneID, ConnectStatus FROM tblRackStatus", rackZones}}) {
    Stmt st(reader_, sql);
    if (!st.ok()) {
      *error = "cannot read the status rows: " + Errmsg(reader_);
      return false;
    }
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW)
      (*out)[sqlite3_column_int(st.get(), 0)] = sqlite3_column_int(st.get(), 1);
    if (rc != SQLITE_DONE) {
      *error = "cannot read the status rows: " + Errmsg(reader_);
      return false;
    }
  }
  return true;
}

}  // namespace soak
