#include "request.h"

#include <sqlite3.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace drovana::site {
namespace {

// The server holds the database for moments at a time.
constexpr int kBusyTimeoutMs = 5000;

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK) Fail("prepare");
  }
  ~Statement() { sqlite3_finalize(st_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() { return st_; }
  // SQLITE_ROW or SQLITE_DONE; throws on anything else.
  int Step() {
    const int rc = sqlite3_step(st_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail("write");
    return rc;
  }
  [[noreturn]] void Fail(const char* what) {
    throw SiteError(std::string("Database ") + what + " failed: " + sqlite3_errmsg(db_));
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

void Exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errmsg(db);
    sqlite3_free(err);
    throw SiteError("Database write failed: " + msg);
  }
}

}  // namespace

const char* RequestStateName(int state) {
  switch (state) {
    case kStatePending: return "pending";
    case kStateInProcess: return "in process";
    case kStateSucceeded: return "succeeded";
    case kStateFailed: return "failed";
    case kStateCancelled: return "cancelled";
    default: return "unknown";
  }
}

RequestParam ParseParam(const std::string& text) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0)
    throw SiteError("A parameter is written N=VALUE (\"" + text + "\" is not).");
  const std::string number = text.substr(0, eq);
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(number.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || n < INT16_MIN || n > INT16_MAX)
    throw SiteError("The parameter number \"" + number + "\" is not a number from -32768 to 32767.");
  RequestParam p;
  p.number = static_cast<int16_t>(n);
  p.value = text.substr(eq + 1);
  if (p.value.size() > kParamValueWidth)
    throw SiteError("The value of parameter " + number + " is longer than 50 characters.");
  return p;
}

RequestDb::RequestDb(const std::string& dir, const std::string& name) {
  const std::string path = dir + "/" + name + ".mdb";
  if (!std::filesystem::is_regular_file(path))
    throw SiteError(path + " is not there: no site in " + dir + ".");
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw SiteError("Could not open " + path + ": " + msg);
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
}

RequestDb::~RequestDb() { sqlite3_close(db_); }

int64_t RequestDb::Insert(const RequestSpec& spec) {
  if (spec.params.size() > kMaxParams) throw SiteError("At most 100 parameters per request.");
  for (const RequestParam& p : spec.params)
    if (p.value.size() > kParamValueWidth)
      throw SiteError("The value of parameter " + std::to_string(p.number) +
                      " is longer than 50 characters.");
  const std::string pc = spec.requestPc.substr(0, kRequestPcWidth);
  Exec(db_, "BEGIN IMMEDIATE");
  try {
    int64_t rid = 0;
    {
      // The server reads a RID as a 32-bit number: past the last one a new
      // row's key would name no request it can serve.
      Statement last(db_, "SELECT ifnull(max(RID), 0) FROM tblTKZRequest");
      if (last.Step() == SQLITE_ROW && sqlite3_column_int64(last.get(), 0) >= INT32_MAX)
        throw SiteError("The request table has used its last RID (2147483647): no request can be written.");
    }
    {
      Statement st(db_,
                   "INSERT INTO tblTKZRequest (RequestPC, RequestState, RequestType, RequestSubType, "
                   "ZoneID) VALUES (?1, 0, ?2, ?3, ?4)");
      sqlite3_bind_text(st.get(), 1, pc.c_str(), static_cast<int>(pc.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int(st.get(), 2, spec.type);
      sqlite3_bind_int(st.get(), 3, spec.subtype);
      sqlite3_bind_int(st.get(), 4, spec.zone);
      st.Step();
      rid = sqlite3_last_insert_rowid(db_);
    }
    for (const RequestParam& p : spec.params) {
      Statement st(db_,
                   "INSERT INTO tblTKZRequestParam (RID, ParamNumber, ParamType, ParamValue) "
                   "VALUES (?1, ?2, 0, ?3)");
      sqlite3_bind_int64(st.get(), 1, rid);
      sqlite3_bind_int(st.get(), 2, p.number);
      sqlite3_bind_text(st.get(), 3, p.value.c_str(), static_cast<int>(p.value.size()),
                        SQLITE_TRANSIENT);
      st.Step();
    }
    Exec(db_, "COMMIT");
    return rid;
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::optional<RequestResult> RequestDb::Read(int64_t rid) {
  Statement st(db_, "SELECT RequestState, RequestDiagnostic FROM tblTKZRequest WHERE RID = ?1");
  sqlite3_bind_int64(st.get(), 1, rid);
  if (st.Step() != SQLITE_ROW) return std::nullopt;
  RequestResult r;
  r.rid = rid;
  const sqlite3_int64 state = sqlite3_column_int64(st.get(), 0);
  r.state = state < INT_MIN || state > INT_MAX ? -1 : static_cast<int>(state);
  if (const unsigned char* text = sqlite3_column_text(st.get(), 1)) {
    const int n = sqlite3_column_bytes(st.get(), 1);
    r.diagnostic.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(n > 255 ? 255 : n));
  }
  return r;
}

WaitOutcome WaitForRequest(RequestDb& db, int64_t rid, long polls,
                           const std::function<void()>& pause, RequestResult* last) {
  if (polls < 1) polls = 1;
  for (long i = 0; i < polls; ++i) {
    if (i > 0 && pause) pause();
    const std::optional<RequestResult> row = db.Read(rid);
    if (!row) return WaitOutcome::kGone;
    if (last) *last = *row;
    if (row->state == kStateSucceeded) return WaitOutcome::kSucceeded;
    if (row->state == kStateFailed || row->state == kStateCancelled) return WaitOutcome::kFailed;
  }
  return WaitOutcome::kTimedOut;
}

}  // namespace drovana::site
