// Costs of the database layer on the request engine's paths, each beside the
// same work done with raw SQLite statements in the same run (the peer):
//   - an empty poll of pending requests (requery plus end-of-file) over a
//     table of 10000 finished requests, without and with an outside process
//     inserting rows into the same database;
//   - claiming and completing one request row (read, conditional update to
//     3, update to 4 with its text), without and with an outside process
//     inserting rows into the same database;
//   - a block read of 1000 request rows into packed records.
// At the end it prints each layer figure as a ratio to its peer.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "dao/database.h"
#include "drovana_db/schema.h"

namespace {

#pragma pack(push, 1)
struct RequestRow {  // the server's 322-byte request row
  int32_t rid;
  char pc[50];
  int16_t state, type;
  int32_t subtype, zone;
  char diag[255];
  char work[1];
};
#pragma pack(pop)

const dao::Binding kRequestBindings[] = {
    {"RID", dao::BindType::kI32, 0, 4},
    {"RequestPC", dao::BindType::kText, 4, 50},
    {"RequestState", dao::BindType::kI16, 54, 2},
    {"RequestType", dao::BindType::kI16, 56, 2},
    {"RequestSubType", dao::BindType::kI32, 58, 4},
    {"ZoneID", dao::BindType::kI32, 62, 4},
    {"RequestDiagnostic", dao::BindType::kText, 66, 255},
};

std::string g_dir;
pid_t g_mainPid = 0;  // the outside writer's process leaves g_dir alone

void Exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "sql failed: %s\n", err ? err : "?");
    std::exit(1);
  }
}

sqlite3* OpenRaw(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_busy_timeout(db, 20000);
  Exec(db, "PRAGMA synchronous=NORMAL");
  return db;
}

// A fresh site database with `done` finished requests and `pending` pending ones.
std::string MakeSite(const std::string& name, int done, int pending) {
  std::string path = g_dir + "/" + name + ".mdb";
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Exec(db, std::string(drovana::db::SchemaSql()) + "PRAGMA journal_mode=WAL; BEGIN;");
  for (int i = 0; i < done + pending; ++i)
    Exec(db, "INSERT INTO tblTKZRequest (RequestPC, RequestState, RequestType, RequestDiagnostic) VALUES "
             "('PC-OFFICE-7', " + std::string(i < done ? "4" : "0") + ", 20, 'Complete.')");
  Exec(db, "COMMIT");
  sqlite3_close(db);
  return path;
}

// An outside program: inserts parameter rows, one per transaction, until
// its pipe closes.
struct OutsideWriter {
  pid_t pid = -1;
  int stop_fd = -1;
  explicit OutsideWriter(const std::string& path) {
    int p[2];
    if (pipe(p) != 0) std::exit(1);
    pid = fork();
    if (pid == 0) {
      close(p[1]);
      sqlite3* db = OpenRaw(path);
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(db, "INSERT INTO tblTKZRequestParam (RID, ParamNumber, ParamValue) VALUES (1, 1, '5')", -1, &s,
                         nullptr);
      fcntl_nonblock(p[0]);
      char c;
      while (read(p[0], &c, 1) < 0) {
        sqlite3_step(s);
        sqlite3_reset(s);
        usleep(200);
      }
      sqlite3_finalize(s);
      sqlite3_close(db);
      _exit(0);
    }
    close(p[0]);
    stop_fd = p[1];
  }
  static void fcntl_nonblock(int fd);
  ~OutsideWriter() {
    close(stop_fd);
    int st;
    waitpid(pid, &st, 0);
  }
};

}  // namespace

#include <fcntl.h>
void OutsideWriter::fcntl_nonblock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

namespace {

// The poll of an idle server: requery, nothing pending.
void PollDao(benchmark::State& state, bool outside) {
  std::string path = MakeSite(outside ? "pollw" : "poll", 10000, 0);
  std::unique_ptr<OutsideWriter> writer;
  if (outside) writer = std::make_unique<OutsideWriter>(path);
  dao::DatabaseOptions o;
  o.busy_timeout_ms = 20000;
  dao::Database db = dao::Database::Open(path, o);
  dao::QueryDef q = db.TemporaryQueryDef("SELECT * FROM tblTKZRequest WHERE RequestState = [ValuePending]");
  q.SetParameter("ValuePending", int32_t{0});
  dao::Recordset rs = q.OpenRecordset();
  for (auto _ : state) {
    rs.Requery();
    benchmark::DoNotOptimize(rs.IsEOF());
  }
}
void BM_EmptyPoll_Dao(benchmark::State& state) { PollDao(state, false); }
void BM_EmptyPoll_Dao_OutsideWriter(benchmark::State& state) { PollDao(state, true); }
BENCHMARK(BM_EmptyPoll_Dao);
BENCHMARK(BM_EmptyPoll_Dao_OutsideWriter);

void PollRaw(benchmark::State& state, bool outside) {
  std::string path = MakeSite(outside ? "pollrw" : "pollraw", 10000, 0);
  std::unique_ptr<OutsideWriter> writer;
  if (outside) writer = std::make_unique<OutsideWriter>(path);
  sqlite3* db = OpenRaw(path);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "SELECT rowid FROM tblTKZRequest WHERE RequestState = ?1 ORDER BY RID", -1, &s, nullptr);
  for (auto _ : state) {
    sqlite3_bind_int(s, 1, 0);
    benchmark::DoNotOptimize(sqlite3_step(s));
    sqlite3_reset(s);
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
}
void BM_EmptyPoll_Raw(benchmark::State& state) { PollRaw(state, false); }
void BM_EmptyPoll_Raw_OutsideWriter(benchmark::State& state) { PollRaw(state, true); }
BENCHMARK(BM_EmptyPoll_Raw);
BENCHMARK(BM_EmptyPoll_Raw_OutsideWriter);

// Claims and completes one pending row per iteration; the rows are made
// pending in batches outside the timing.
void ClaimDao(benchmark::State& state, bool outside) {
  std::string path = MakeSite(outside ? "claimw" : "claim", 1000, 0);
  std::unique_ptr<OutsideWriter> writer;
  if (outside) writer = std::make_unique<OutsideWriter>(path);
  dao::DatabaseOptions o;
  o.busy_timeout_ms = 20000;
  dao::Database db = dao::Database::Open(path, o);
  dao::QueryDef q = db.TemporaryQueryDef("SELECT * FROM tblTKZRequest WHERE RequestState = [ValuePending]");
  q.SetParameter("ValuePending", int32_t{0});
  dao::Recordset rs = q.OpenRecordset();
  RequestRow row;
  int64_t claimed = 0;
  // As the poll does: one requery, then the rows of the set one by one.
  for (auto _ : state) {
    if (rs.IsEOF()) {
      rs.Requery();
      if (rs.IsEOF()) {
        state.PauseTiming();
        db.Execute("UPDATE tblTKZRequest SET RequestState = 0");
        rs.Requery();
        state.ResumeTiming();
      }
    }
    rs.ReadRow(&row, sizeof row, kRequestBindings);
    rs.Edit();
    rs.SetField("RequestState", int16_t{3});
    if (rs.UpdateIf("RequestState", int16_t{0})) ++claimed;
    rs.Edit();
    rs.SetField("RequestState", int16_t{4});
    rs.SetField("RequestDiagnostic", "Complete.");
    rs.Update();
    rs.MoveNext();
  }
  state.counters["claimed"] = static_cast<double>(claimed);
}
void BM_ClaimComplete_Dao(benchmark::State& state) { ClaimDao(state, false); }
void BM_ClaimComplete_Dao_OutsideWriter(benchmark::State& state) { ClaimDao(state, true); }
BENCHMARK(BM_ClaimComplete_Dao);
BENCHMARK(BM_ClaimComplete_Dao_OutsideWriter);

void ClaimRaw(benchmark::State& state, bool outside) {
  std::string path = MakeSite(outside ? "claimrw" : "claimr", 1000, 0);
  std::unique_ptr<OutsideWriter> writer;
  if (outside) writer = std::make_unique<OutsideWriter>(path);
  sqlite3* db = OpenRaw(path);
  sqlite3_stmt *pick, *read, *claim, *done;
  sqlite3_prepare_v2(db, "SELECT rowid FROM tblTKZRequest WHERE RequestState = 0 ORDER BY RID LIMIT 1", -1, &pick, nullptr);
  sqlite3_prepare_v2(db, "SELECT * FROM tblTKZRequest WHERE rowid = ?1", -1, &read, nullptr);
  sqlite3_prepare_v2(db, "UPDATE tblTKZRequest SET RequestState = 3 WHERE rowid = ?1 AND RequestState = 0", -1, &claim,
                     nullptr);
  sqlite3_prepare_v2(db, "UPDATE tblTKZRequest SET RequestState = 4, RequestDiagnostic = 'Complete.' WHERE rowid = ?1",
                     -1, &done, nullptr);
  RequestRow row;
  for (auto _ : state) {
    if (sqlite3_step(pick) != SQLITE_ROW) {
      sqlite3_reset(pick);
      state.PauseTiming();
      Exec(db, "UPDATE tblTKZRequest SET RequestState = 0");
      state.ResumeTiming();
      sqlite3_step(pick);
    }
    sqlite3_int64 id = sqlite3_column_int64(pick, 0);
    sqlite3_reset(pick);
    sqlite3_bind_int64(read, 1, id);
    if (sqlite3_step(read) == SQLITE_ROW) {
      row.rid = sqlite3_column_int(read, 0);
      std::strncpy(row.pc, reinterpret_cast<const char*>(sqlite3_column_text(read, 1)), sizeof row.pc - 1);
      row.state = static_cast<int16_t>(sqlite3_column_int(read, 2));
    }
    sqlite3_reset(read);
    sqlite3_bind_int64(claim, 1, id);
    sqlite3_step(claim);
    sqlite3_reset(claim);
    sqlite3_bind_int64(done, 1, id);
    sqlite3_step(done);
    sqlite3_reset(done);
    benchmark::DoNotOptimize(row);
  }
  for (sqlite3_stmt* s : {pick, read, claim, done}) sqlite3_finalize(s);
  sqlite3_close(db);
}
void BM_ClaimComplete_Raw(benchmark::State& state) { ClaimRaw(state, false); }
void BM_ClaimComplete_Raw_OutsideWriter(benchmark::State& state) { ClaimRaw(state, true); }
BENCHMARK(BM_ClaimComplete_Raw);
BENCHMARK(BM_ClaimComplete_Raw_OutsideWriter);

void BM_BlockRead1000_Dao(benchmark::State& state) {
  std::string path = MakeSite("block", 0, 1000);
  dao::Database db = dao::Database::Open(path);
  dao::QueryDef q = db.TemporaryQueryDef("SELECT * FROM tblTKZRequest WHERE RequestState = [ValuePending]");
  q.SetParameter("ValuePending", int32_t{0});
  dao::Recordset rs = q.OpenRecordset();
  std::vector<RequestRow> rows(1000);
  for (auto _ : state) {
    rs.MoveFirst();
    size_t n = rs.GetRows(rows.data(), sizeof(RequestRow), rows.size(), kRequestBindings);
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_BlockRead1000_Dao);

void BM_BlockRead1000_Raw(benchmark::State& state) {
  std::string path = MakeSite("blockraw", 0, 1000);
  sqlite3* db = OpenRaw(path);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "SELECT * FROM tblTKZRequest WHERE RequestState = 0 ORDER BY RID", -1, &s, nullptr);
  std::vector<RequestRow> rows(1000);
  for (auto _ : state) {
    size_t n = 0;
    while (sqlite3_step(s) == SQLITE_ROW && n < rows.size()) {
      RequestRow& r = rows[n++];
      r.rid = sqlite3_column_int(s, 0);
      std::memset(r.pc, 0, sizeof r.pc);
      std::strncpy(r.pc, reinterpret_cast<const char*>(sqlite3_column_text(s, 1)), sizeof r.pc - 1);
      r.state = static_cast<int16_t>(sqlite3_column_int(s, 2));
      r.type = static_cast<int16_t>(sqlite3_column_int(s, 3));
      r.subtype = sqlite3_column_int(s, 4);
      r.zone = sqlite3_column_int(s, 5);
      std::memset(r.diag, 0, sizeof r.diag);
      std::strncpy(r.diag, reinterpret_cast<const char*>(sqlite3_column_text(s, 6)), sizeof r.diag - 1);
    }
    sqlite3_reset(s);
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  sqlite3_finalize(s);
  sqlite3_close(db);
}
BENCHMARK(BM_BlockRead1000_Raw);

// Collects each run's time per iteration to print the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Ratios() const {
    const char* pairs[][2] = {
        {"BM_EmptyPoll_Dao", "BM_EmptyPoll_Raw"},
        {"BM_EmptyPoll_Dao_OutsideWriter", "BM_EmptyPoll_Raw_OutsideWriter"},
        {"BM_ClaimComplete_Dao", "BM_ClaimComplete_Raw"},
        {"BM_ClaimComplete_Dao_OutsideWriter", "BM_ClaimComplete_Raw_OutsideWriter"},
        {"BM_BlockRead1000_Dao", "BM_BlockRead1000_Raw"},
    };
    std::printf("\nlayer / raw SQLite (same work, same run):\n");
    for (auto& p : pairs) {
      auto a = times_.find(p[0]), b = times_.find(p[1]);
      if (a == times_.end() || b == times_.end() || b->second <= 0) continue;
      std::printf("  %-36s %8.2fx\n", p[0], a->second / b->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

// The site databases go with the program, also when a failed statement
// ends it early (std::exit runs this; the outside writer ends with _exit).
void RemoveSites() {
  std::error_code ec;
  if (!g_dir.empty() && getpid() == g_mainPid) std::filesystem::remove_all(g_dir, ec);
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/daobench.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  g_dir = tmpl;
  g_mainPid = getpid();
  std::atexit(RemoveSites);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Ratios();
  benchmark::Shutdown();
  return 0;
}
