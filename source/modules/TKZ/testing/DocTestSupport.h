// A fixture for the document's tests: a new site made with the site tool in
// a temporary directory, the file-name globals pointing at it, a log view on
// a fake clock, a recording message box and a recording comm port, and raw
// SQLite access to the site's database as an outside program has it.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "App.h"
#include "CommLoad.h"
#include "Doc.h"
#include "LogBuffer.h"
#include "MessageBox.h"
#include "TestSupport.h"
#include "dao/variant.h"
#include "platform/time/fake_clock.h"
#include "site.h"

// Reaches the document's private parts.
// The OLE date of a local calendar date and time.
inline dao::OleDate OleAt(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  dao::LocalDateTime t;
  t.year = y;
  t.month = mo;
  t.day = d;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  return dao::ToOleDate(t);
}

struct DocTestPeer {
  static RackInfo& AddRack(CTKZDoc& doc, int rack) {
    auto& slot = doc.m_RackMap[static_cast<uint32_t>(rack)];
    if (!slot) slot = std::make_unique<RackInfo>();
    slot->RackNumber = static_cast<uint16_t>(rack);
    return *slot;
  }
  static dao::Database& Db(CTKZDoc& doc) { return *doc.m_Database; }
  static size_t RackCount(const CTKZDoc& doc) { return doc.m_RackMap.size(); }
  static size_t ZoneCount(const CTKZDoc& doc) { return doc.m_ZoneMap.size(); }
};

// Records the calls and, at Start, what the log held then.
class RecordingComm final : public DocCommPort {
 public:
  explicit RecordingComm(const RecordingObserver& log) : log_(log) {}
  bool Start() override {
    calls.push_back("start");
    logAtStart = log_.text();
    return true;
  }
  bool LoadPhase(uint32_t flags) override {
    calls.push_back("phase " + std::to_string(flags));
    if (onPhase) onPhase(flags);
    return true;
  }
  bool AddNode(const NodeDesc* desc) override {
    calls.push_back("node");
    if (desc != nullptr) {
      SeenNode n{desc->nodeId, desc->address, desc->name != nullptr ? desc->name : "", {}};
      std::copy(std::begin(desc->portFlags), std::end(desc->portFlags), n.portFlags.begin());
      nodes.push_back(n);
    }
    return true;
  }
  bool AddRack(const RackDesc* desc) override {
    calls.push_back("rack");
    if (desc != nullptr) racks.push_back({desc->nodeId, desc->rack, desc->portSlot});
    return true;
  }
  // Copies of the descriptors handed over, in order.
  struct SeenNode {
    uint32_t nodeId;
    uint32_t address;
    std::string name;
    std::array<uint8_t, kPortSlots> portFlags;
    bool operator==(const SeenNode&) const = default;
  };
  struct SeenRack {
    uint32_t nodeId;
    uint32_t rack;
    uint32_t portSlot;
    bool operator==(const SeenRack&) const = default;
  };
  std::vector<SeenNode> nodes;
  std::vector<SeenRack> racks;
  bool PostShutdown() override {
    calls.push_back("shutdown");
    return shutdownTaken;
  }
  bool PostIoFtpRequest(IoFtpRequest* job) override { return onFtp ? onFtp(job) : false; }
  std::vector<std::string> calls;
  std::string logAtStart;
  // Runs inside each LoadPhase (an outside program's work meanwhile).
  std::function<void(uint32_t)> onPhase;
  bool shutdownTaken = true;
  // Takes an IO_FTP job (the test then owns it); without it every job is
  // refused.
  std::function<bool(IoFtpRequest*)> onFtp;

 private:
  const RecordingObserver& log_;
};

class DocSiteTest : public ::testing::Test {
 protected:
  DocSiteTest() : log_(clock_, dir_.path()), comm_(observer_) {
    log_.AddObserver(&observer_);
    g_bDocDebug = true;
    g_bTimeStampLog = false;
    savedDb_ = g_strDatabaseFile;
    savedWg_ = g_strWorkgroupFile;
    site_ = (dir_.path() / "site").string();
    drovana::site::CreateSite({site_, "drovana", "Operator", "secret"});
    g_strDatabaseFile = site_ + "/drovana.mdb";
    g_strWorkgroupFile = site_ + "/drovana.mdw";
  }
  ~DocSiteTest() override {
    doc_.reset();
    g_strDatabaseFile = savedDb_;
    g_strWorkgroupFile = savedWg_;
  }

  DocPorts Ports() {
    DocPorts p;
    p.app = &app_;
    p.messageBox = &box_;
    p.comm = &comm_;
    p.clock = &clock_;
    return p;
  }
  CTKZDoc& NewDoc() {
    doc_.reset();
    doc_ = std::make_unique<CTKZDoc>(Ports());
    return *doc_;
  }
  CTKZDoc& OpenDoc() {
    CTKZDoc& doc = NewDoc();
    EXPECT_TRUE(doc.OnNewDocument()) << observer_.text();
    return doc;
  }

  // An outside program's statements on the site database.
  void Sql(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(g_strDatabaseFile.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    const std::string msg = err != nullptr ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << msg << " in " << sql;
  }
  // Rows of a query, each row's columns joined by '|'.
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> out;
    sqlite3* db = nullptr;
    if (sqlite3_open(g_strDatabaseFile.c_str(), &db) != SQLITE_OK) return out;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
      while (sqlite3_step(s) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(s); ++c) {
          if (c > 0) row += '|';
          const unsigned char* t = sqlite3_column_text(s, c);
          row += t != nullptr ? reinterpret_cast<const char*>(t) : "NULL";
        }
        out.push_back(row);
      }
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return out;
  }
  std::string One(const std::string& sql) {
    auto rows = Rows(sql);
    return rows.empty() ? "" : rows.front();
  }
  int CountLines(const std::string& prefix) const {
    int n = 0;
    for (const std::string& l : observer_.lines())
      if (l.rfind(prefix, 0) == 0) ++n;
    return n;
  }

  TempDir dir_;
  FlagGuard flags_;
  platform::time::FakeClock clock_{2026, 3, 14, 9, 30, 0};
  RecordingObserver observer_;
  LogBuffer log_;
  CApp app_;
  RecordingMessageBox box_;
  RecordingComm comm_;
  std::string site_;
  std::string savedDb_, savedWg_;
  std::unique_ptr<CTKZDoc> doc_;
};
