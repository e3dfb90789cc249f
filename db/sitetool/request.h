// Requests for the server written by operators and scripts: a row of
// tblTKZRequest (RequestState 0) with its parameter rows, and the wait for
// the server's result in that row.  The request row and its parameters are
// written in one transaction, so the server never takes a request whose
// parameters are not all there yet.
//
// Ownership: a RequestDb owns its SQLite connection; one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "site.h"

struct sqlite3;

namespace drovana::site {

struct RequestParam {
  int16_t number = 0;  // ParamNumber
  std::string value;   // ParamValue, at most kParamValueWidth characters
};

struct RequestSpec {
  int16_t type = 0;     // RequestType
  int32_t subtype = 0;  // RequestSubType
  int32_t zone = 0;     // ZoneID
  std::vector<RequestParam> params;  // inserted in this order
  std::string requestPc;  // RequestPC, cut to kRequestPcWidth characters
};

inline constexpr size_t kParamValueWidth = 50;
inline constexpr size_t kRequestPcWidth = 50;
inline constexpr size_t kMaxParams = 100;

// RequestState values.
inline constexpr int kStatePending = 0;
inline constexpr int kStateInProcess = 3;
inline constexpr int kStateSucceeded = 4;
inline constexpr int kStateFailed = 5;
inline constexpr int kStateCancelled = 6;

// "pending", "in process", "succeeded", "failed", "cancelled", else "unknown".
const char* RequestStateName(int state);

struct RequestResult {
  int64_t rid = 0;
  int state = 0;
  std::string diagnostic;  // RequestDiagnostic; empty when NULL
};

// Parses "N=V" of --param.  Throws SiteError for a bad number or value.
RequestParam ParseParam(const std::string& text);

class RequestDb {
 public:
  // Opens DIR/NAME.mdb of an existing site for reading and writing.
  // Throws SiteError.
  RequestDb(const std::string& dir, const std::string& name);
  ~RequestDb();
  RequestDb(const RequestDb&) = delete;
  RequestDb& operator=(const RequestDb&) = delete;

  // Writes the request and its parameters; returns the new RID.
  int64_t Insert(const RequestSpec& spec);
  // The row's state and diagnostic; nullopt when the row is gone.
  std::optional<RequestResult> Read(int64_t rid);

  sqlite3* handle() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

enum class WaitOutcome { kSucceeded, kFailed, kTimedOut, kGone };

// Reads the row every poll until its state is 4, 5 or 6, at most `polls`
// times (at least once); between reads it calls `pause` (the tool sleeps
// 100 ms there).  *last receives the last row read.
WaitOutcome WaitForRequest(RequestDb& db, int64_t rid, long polls,
                           const std::function<void()>& pause, RequestResult* last);

}  // namespace drovana::site
