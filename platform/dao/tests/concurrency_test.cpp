// A second process writing the database while this one reads and updates
// it: the busy error and its retry, no lost or failed updates, and a WAL
// that stays bounded because no statement is left holding a read
// transaction.  Each child is forked before this process opens the file and
// talks over pipes, so every step is ordered without timing.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <functional>

#include "fixture.h"

namespace dao::test {
namespace {

struct Child {
  pid_t pid = -1;
  int to_child = -1, from_child = -1;

  // Runs body(in_fd, out_fd) in a child process, which then exits 0, or 1 on
  // an SQLite failure.
  static Child Start(const std::function<bool(int, int)>& body) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) throw std::runtime_error("pipe");
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
      close(down[1]);
      close(up[0]);
      _exit(body(down[0], up[1]) ? 0 : 1);
    }
    close(down[0]);
    close(up[1]);
    c.to_child = down[1];
    c.from_child = up[0];
    return c;
  }
  void Send(char c) const { ASSERT_EQ(write(to_child, &c, 1), 1); }
  char Receive() const {
    char c = 0;
    return read(from_child, &c, 1) == 1 ? c : '\0';
  }
  bool Exited(int* status) const { return waitpid(pid, status, WNOHANG) == pid; }
  int Wait() {
    int status = 0;
    waitpid(pid, &status, 0);
    close(to_child);
    close(from_child);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

void SendFd(int fd, char c) {
  if (write(fd, &c, 1) != 1) _exit(3);
}
char ReceiveFd(int fd) {
  char c = 0;
  return read(fd, &c, 1) == 1 ? c : '\0';
}

sqlite3* OpenRaw(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(db, 20000);  // a hang guard only
  return db;
}

bool Exec(sqlite3* db, const std::string& sql) { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }

void NapMs(int ms) {
  timespec ts{0, ms * 1000000L};
  nanosleep(&ts, nullptr);
}

class TwoProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("site.mdb");
    MakeDb(path_, std::string(kTestSchema) + "PRAGMA journal_mode=WAL;");
  }
  Database Open(int busy_ms) {
    DatabaseOptions o;
    o.busy_timeout_ms = busy_ms;
    return Database::Open(path_, o);
  }
  TempDir dir_;
  std::string path_;
};

TEST_F(TwoProcessTest, WriteLockHeldElsewhereGivesTheBusyErrorAndALaterRetrySucceeds) {
  MakeDb(path_, "INSERT INTO tblTKZRequest (RID, RequestState) VALUES (1, 0);");
  Child writer = Child::Start([this](int in, int out) {
    sqlite3* db = OpenRaw(path_);
    if (!db || !Exec(db, "BEGIN IMMEDIATE; INSERT INTO tblTKZRequest (RID, RequestState) VALUES (2, 0);")) return false;
    SendFd(out, 'L');  // holding the write lock
    ReceiveFd(in);
    bool ok = Exec(db, "COMMIT");
    sqlite3_close(db);
    SendFd(out, 'C');
    return ok;
  });
  ASSERT_EQ(writer.Receive(), 'L');
  Database db = Open(50);
  Recordset rs = db.OpenRecordset("SELECT * FROM tblTKZRequest WHERE RequestState = 0");  // reads still work
  EXPECT_EQ(rs.RecordCount(), 1);
  rs.Edit();
  rs.SetField("RequestState", int16_t{3});
  EXPECT_DAO_ERROR(rs.Update(), kErrLocked);
  EXPECT_DAO_ERROR(db.Execute("UPDATE tblTKZRequest SET RequestDiagnostic = 'x'"), kErrLocked);
  writer.Send('G');
  ASSERT_EQ(writer.Receive(), 'C');
  EXPECT_EQ(writer.Wait(), 0);
  rs.Edit();  // the failed Update left nothing pending
  rs.SetField("RequestState", int16_t{3});
  EXPECT_NO_THROW(rs.Update());
  rs.Requery();
  EXPECT_EQ(rs.RecordCount(), 1);  // the writer's committed row
  EXPECT_EQ(rs.GetField("RID"), Variant(int32_t{2}));
}

TEST_F(TwoProcessTest, ABoundedLockWaitOutlastsAShortLockAndGivesUpOnALongOne) {
  // The writer holds its lock until told, then lets go after a short while.
  Child writer = Child::Start([this](int in, int out) {
    sqlite3* db = OpenRaw(path_);
    for (char c; db && (c = ReceiveFd(in)) == 'L';) {
      if (!Exec(db, "BEGIN IMMEDIATE")) return false;
      SendFd(out, 'L');
      if (ReceiveFd(in) == 'S') NapMs(300);
      if (!Exec(db, "COMMIT")) return false;
    }
    sqlite3_close(db);
    return db != nullptr;
  });
  Database db = Open(20);
  int waits = 0;
  auto update = [&db] { db.Execute("UPDATE tblTKZRequest SET RequestDiagnostic = 'x'"); };

  writer.Send('L');
  ASSERT_EQ(writer.Receive(), 'L');
  db.WaitForLocksUntil(std::chrono::steady_clock::now() + std::chrono::seconds(20), [&waits] { ++waits; });
  writer.Send('S');  // lets go some 300 ms from now, well past the 20 ms time-out
  EXPECT_NO_THROW(update());
  EXPECT_EQ(waits, 1);
  EXPECT_TRUE(db.EndLockWait());

  writer.Send('L');
  ASSERT_EQ(writer.Receive(), 'L');
  const auto start = std::chrono::steady_clock::now();
  db.WaitForLocksUntil(start + std::chrono::milliseconds(200), [&waits] { ++waits; });
  EXPECT_DAO_ERROR(update(), kErrLocked);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(waits, 2);
  // Past the deadline a statement fails at once, and after the wait the
  // plain time-out holds again.
  EXPECT_DAO_ERROR(update(), kErrLocked);
  EXPECT_EQ(waits, 2);
  EXPECT_TRUE(db.EndLockWait());
  EXPECT_DAO_ERROR(update(), kErrLocked);
  EXPECT_FALSE(db.EndLockWait());
  writer.Send('G');
  writer.Send('Q');
  EXPECT_EQ(writer.Wait(), 0);
  EXPECT_NO_THROW(update());
}

TEST_F(TwoProcessTest, ConcurrentWriterLosesNothingAndNoUpdateFails) {
  constexpr int kRequests = 300;
  Child writer = Child::Start([this](int, int) {
    sqlite3* db = OpenRaw(path_);
    if (!db) return false;
    bool ok = true;
    for (int i = 1; i <= kRequests && ok; ++i) {
      // A new pending request, then a change to an older row that the
      // server may be updating at the same moment.
      ok = Exec(db, "INSERT INTO tblTKZRequest (RID, RequestState, RequestPC) VALUES (" + std::to_string(i) +
                        ", 0, 'new')") &&
           Exec(db, "UPDATE tblTKZRequest SET RequestPC = 'c" + std::to_string(i) + "' WHERE RID = " +
                        std::to_string((i + 1) / 2));
    }
    sqlite3_close(db);
    return ok;
  });
  Database db = Open(20000);  // long enough never to expire here: a hang guard
  QueryDef pending = db.TemporaryQueryDef("SELECT * FROM tblTKZRequest WHERE RequestState = [ValuePending]");
  pending.SetParameter("ValuePending", int32_t{0});
  Recordset rs = pending.OpenRecordset();
  int done = 0, status = 0;
  bool writer_done = false;
  for (long polls = 0; polls < 200000 && done < kRequests; ++polls) {
    rs.Requery();
    if (rs.IsEOF()) {
      if (writer_done) break;
      writer_done = writer.Exited(&status);
      NapMs(1);
      continue;
    }
    for (; !rs.IsEOF(); rs.MoveNext()) {
      rs.Edit();
      rs.SetField("RequestState", int16_t{3});
      ASSERT_TRUE(rs.UpdateIf("RequestState", int16_t{0}));  // nobody else claims here
      rs.Edit();
      rs.SetField("RequestState", int16_t{4});
      rs.SetField("RequestDiagnostic", "Complete.");
      rs.Update();
      ++done;
    }
  }
  if (!writer_done) {
    waitpid(writer.pid, &status, 0);
  }
  close(writer.to_child);
  close(writer.from_child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(done, kRequests);
  EXPECT_EQ(QueryText(path_, "SELECT count(*) FROM tblTKZRequest WHERE RequestState = 4 AND RequestDiagnostic = "
                             "'Complete.'"),
            std::to_string(kRequests));
  // The writer's own changes survive too: row r was last renamed by i = 2r.
  EXPECT_EQ(QueryText(path_, "SELECT count(*) FROM tblTKZRequest WHERE RequestPC = 'c' || (2 * RID)"),
            std::to_string(kRequests / 2));
}

// The outside program writes rows of about 2 KB in separate transactions;
// this process polls as the server does.  Returns the largest WAL size seen.
long long PollWhileAnotherProcessWrites(const std::string& path, Database& db, bool leave_reader_open) {
  constexpr int kRows = 3000;
  Child writer = Child::Start([&path](int in, int) {
    sqlite3* w = OpenRaw(path);
    if (!w) return false;
    ReceiveFd(in);
    const std::string label(2000, 'x');
    bool ok = true;
    for (int i = 1; i <= kRows && ok; ++i)
      ok = Exec(w, "INSERT INTO tblParent (ParentID, Label, Level) VALUES (" + std::to_string(i) + ", '" + label +
                       "', 0)");
    sqlite3_close(w);
    return ok;
  });
  // The hazard: a statement stepped once and never reset keeps a read
  // transaction, so checkpoints cannot pass it and the WAL never restarts.
  sqlite3* leak = nullptr;
  sqlite3_stmt* open_read = nullptr;
  if (leave_reader_open) {
    leak = OpenRaw(path);
    Exec(leak, "INSERT INTO tblChild VALUES (1, 1, 0, NULL), (1, 2, 0, NULL)");
    sqlite3_prepare_v2(leak, "SELECT * FROM tblChild", -1, &open_read, nullptr);
    EXPECT_EQ(sqlite3_step(open_read), SQLITE_ROW);  // a row pending: the read transaction stays
  }
  QueryDef q = db.TemporaryQueryDef("SELECT * FROM tblTKZRequest WHERE RequestState = [ValuePending]");
  q.SetParameter("ValuePending", int32_t{0});
  Recordset rs = q.OpenRecordset();
  Recordset parents = db.OpenRecordset("SELECT ParentID, Level FROM tblParent WHERE ParentID = 1");
  writer.Send('G');
  long long max_wal = 0;
  int status = 0;
  for (long polls = 0; polls < 200000; ++polls) {
    rs.Requery();
    (void)rs.IsEOF();
    parents.Requery();
    if (!parents.IsEOF()) (void)parents.GetField("Level");
    max_wal = std::max(max_wal, FileSize(path + "-wal"));
    if (writer.Exited(&status)) break;
    NapMs(1);
  }
  if (open_read) sqlite3_finalize(open_read);
  if (leak) sqlite3_close(leak);
  close(writer.to_child);
  close(writer.from_child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return max_wal;
}

constexpr long long kWalBound = 8ll << 20;  // twice the auto-checkpoint size

TEST_F(TwoProcessTest, WalStaysBoundedWhileAnOutsideProgramWrites) {
  Database db = Open(20000);
  long long wal = PollWhileAnotherProcessWrites(path_, db, /*leave_reader_open=*/false);
  RecordProperty("max_wal_bytes", std::to_string(wal));
  EXPECT_GT(wal, 0);
  EXPECT_LT(wal, kWalBound);
}

TEST_F(TwoProcessTest, AnUnresetReaderMakesTheWalGrowSoTheBoundTestCanFail) {
  Database db = Open(20000);
  long long wal = PollWhileAnotherProcessWrites(path_, db, /*leave_reader_open=*/true);
  RecordProperty("max_wal_bytes", std::to_string(wal));
  EXPECT_GT(wal, kWalBound);
}

}  // namespace
}  // namespace dao::test
