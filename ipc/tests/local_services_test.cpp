// Local services: registration with IpcSvrAndSvcCreate, delivery of
// com-procs to procedure functions, and events raised by local servers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "ipcdrdb.h"
#include "ipcdrhst.h"
#include "ipcinst.h"
#include "tessio32.h"

namespace {

struct Report {
  uint8_t severity;
  uint16_t code;
  uint8_t svr;
  uint8_t indx;
  std::string file;
};

std::string Describe(const std::vector<Report>& reports) {
  std::string s;
  for (const Report& r : reports) {
    s += std::string(" [") + r.file + " " + std::to_string(r.code) + " sev " +
         std::to_string(r.severity) + " ctx " + std::to_string(r.svr) + "/" +
         std::to_string(r.indx) + "]";
  }
  return s.empty() ? " none" : s;
}

// One received event, as a local event client saw it.
struct Seen {
  intptr_t client;
  std::vector<uint8_t> bytes;
  const IpcEvntHdr& hdr() const { return *reinterpret_cast<const IpcEvntHdr*>(bytes.data()); }
};

// A started library in an instance of its own, with the log server located
// here and an event client on it that collects the reports.
class LocalServices : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_ = ipc::NewInstance();
    scope_ = std::make_unique<ipc::ScopedInstance>(inst_);
    IpcInit();
    IpcSvrLocationSet(IPC_SVR_LOG, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
    uint8_t h = 0;
    ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_LOG, 1, &OnReport, IPC_VERSION, &h,
                                reinterpret_cast<intptr_t>(this)),
              0);
  }

  void TearDown() override {
    IpcTerm();
    scope_.reset();
    ipc::DeleteInstance(inst_);
  }

  // Delivers everything queued; returns the reports among it.
  std::vector<Report> Drain() {
    for (int i = 0; i < 200 && IpcEvntDespatch(); ++i) {
    }
    std::vector<Report> r;
    r.swap(reports_);
    return r;
  }

  // Registers a server and locates it here under its own index.
  void Serve(uint8_t type, uint8_t indx, uint8_t idCount, const IpcComProcEntry* procs,
             uint8_t procCount, const uint8_t* evnts, uint8_t evntCount) {
    ASSERT_EQ(IpcSvrAndSvcCreate(type, indx, IPC_VERSION, IPC_VERSION_DATE, idCount, procs,
                                 procCount, evnts, evntCount),
              1);
    IpcSvrLocationSet(type, indx, IPC_HOST_KIND_LOCAL, indx, 0, 0, 0, 0, 0);
    ASSERT_EQ(Describe(Drain()), " none");
  }

  // Adds a local event client on the server; events it receives land in
  // seen_ tagged with tag.
  uint8_t Listen(uint8_t type, uint8_t indx, intptr_t tag) {
    uint8_t h = 0;
    tags_.push_back({this, tag});
    EXPECT_EQ(IpcClntEvntCreate(type, indx, &OnEvent, IPC_VERSION, &h,
                                reinterpret_cast<intptr_t>(&tags_.back())),
              0);
    return h;
  }

  static void OnReport(const IpcEvntHdr* e, intptr_t user) {
    auto* self = reinterpret_cast<LocalServices*>(user);
    const auto* r = reinterpret_cast<const IpcLogEvnt*>(e);
    ASSERT_EQ(e->length, IPC_LOG_EVNT_LEN);
    self->reports_.push_back(Report{static_cast<uint8_t>(e->evntCode - 1), r->ErrCode, r->Svr,
                                    r->hTargetSvr,
                                    std::string(r->file, strnlen(r->file, sizeof r->file))});
  }

  struct Tag {
    LocalServices* self;
    intptr_t tag;
  };

  static void OnEvent(const IpcEvntHdr* e, intptr_t user) {
    auto* t = reinterpret_cast<Tag*>(user);
    const auto* p = reinterpret_cast<const uint8_t*>(e);
    t->self->seen_.push_back(Seen{t->tag, std::vector<uint8_t>(p, p + e->length)});
  }

  ipc::Instance* inst_ = nullptr;
  std::unique_ptr<ipc::ScopedInstance> scope_;
  std::vector<Report> reports_;
  std::vector<Seen> seen_;
  std::deque<Tag> tags_;
};

// Procedures that record their calls in a global log (procedure functions
// get only the message).
std::vector<std::string> g_calls;

int ProcA(const IpcComProcHdr* m) {
  g_calls.push_back("A" + std::to_string(m->procId));
  return 100 + m->procId;
}
int ProcB(const IpcComProcHdr* m) {
  g_calls.push_back("B" + std::to_string(m->procId));
  return 200 + m->procId;
}

// A com-proc header in an exact heap buffer of the header's size, so that a
// read beyond it is caught by the address sanitizer.
struct Msg {
  std::unique_ptr<uint8_t[]> buf{new uint8_t[sizeof(IpcComProcHdr)]()};
  IpcComProcHdr* hdr() { return reinterpret_cast<IpcComProcHdr*>(buf.get()); }
};

Msg MakeMsg(uint8_t type, uint8_t hostHandle, uint8_t procId, const char* version) {
  Msg m;
  IpcComProcHdr* h = m.hdr();
  h->length = sizeof(IpcComProcHdr);
  h->svrType = type;
  h->svrIndx = 3;  // the client's numbering of the server; not the server's own
  h->procId = procId;
  h->clntHandle = 2;
  h->hostKind = IPC_HOST_KIND_LOCAL;
  h->hostHandle = hostHandle;
  std::memcpy(h->version, version, std::min<size_t>(strlen(version) + 1, IPC_VERSION_SIZE));
  return m;
}

// ---------------------------------------------------------------------------
// Registration

struct CreateCase {
  const char* name;
  uint8_t type, indx;
  const char* low;
  const char* high;
  uint8_t idCount;
  bool table;
  uint8_t procCount;
  bool ids;
  uint8_t evntCount;
  uint16_t code;
  uint8_t severity;
};

// Each row carries its own fault and every later one, so the code shows that
// the checks run in their order.
const CreateCase kCreateCases[] = {
    {"type", 2, 0, nullptr, "1.1", 0, true, 0, false, 1, 1, 1},
    {"index of a 1-to-100 type", 22, 101, nullptr, "1.1", 0, true, 0, false, 1, 2, 1},
    {"index 0", 21, 0, "1.3c", "020615", 0, true, 0, false, 0, 2, 1},
    {"index of a single-index type", 18, 2, "10.3c+", "1.1", 31, false, 1, false, 0, 2, 1},
    {"low version malformed", 22, 9, "10.3c+", "020615", 0, true, 0, false, 0, 8, 1},
    {"high version null", 22, 9, "1.3c", nullptr, 31, false, 2, false, 0, 8, 1},
    {"low version above high", 22, 9, "020615", "1.3c", 0, true, 0, false, 0, 8, 1},
    {"id count 0", 22, 9, "1.1", "1.3c", 0, true, 0, false, 0, 17, 1},
    {"id count 31", 16, 1, "1.1", "1.3c", 31, false, 3, false, 0, 17, 1},
    {"table without count", 22, 9, "1.1", "1.3c", 4, true, 0, false, 0, 12, 2},
    {"count without table", 22, 9, "1.1", "1.3c", 4, false, 1, false, 0, 12, 2},
    {"event ids without count", 22, 9, "1.1", "1.3c", 4, false, 0, true, 0, 12, 2},
    {"event count without ids", 22, 9, "1.1", "1.3c", 4, false, 0, false, 2, 12, 2},
    {"already registered", 1, 1, "1.1", "1.3c", 1, false, 0, false, 0, 12, 2},
};

TEST_F(LocalServices, RegistrationRefusalsFollowTheCheckOrderAndLeaveNoRecord) {
  static const IpcComProcEntry table[] = {{1, 0, &ProcA}};
  static const uint8_t ids[] = {1};
  for (const CreateCase& c : kCreateCases) {
    SCOPED_TRACE(c.name);
    const bool existed = ipc::IpcSvcExists(c.type, c.indx);
    EXPECT_EQ(IpcSvrAndSvcCreate(c.type, c.indx, c.low, c.high, c.idCount,
                                 c.table ? table : nullptr, c.procCount, c.ids ? ids : nullptr,
                                 c.evntCount),
              0);
    const std::vector<Report> r = Drain();
    ASSERT_EQ(r.size(), 1u) << Describe(r);
    EXPECT_EQ(r[0].code, c.code);
    EXPECT_EQ(r[0].severity, c.severity);
    EXPECT_EQ(r[0].file, "ipcdrdb");
    EXPECT_EQ(r[0].svr, c.type);
    EXPECT_EQ(r[0].indx, c.indx);
    EXPECT_EQ(ipc::IpcSvcExists(c.type, c.indx), existed);
  }
}

TEST_F(LocalServices, RegistrationAcceptsTheBounds) {
  EXPECT_EQ(IpcSvrAndSvcCreate(21, 100, "1.1", "1.1", 30, nullptr, 0, nullptr, 0), 1);
  EXPECT_EQ(IpcSvrAndSvcCreate(16, 1, "2a0", "020615", 1, nullptr, 0, nullptr, 0), 1);
  EXPECT_EQ(Describe(Drain()), " none");
  EXPECT_TRUE(ipc::IpcSvcExists(21, 100));
  EXPECT_TRUE(ipc::IpcSvcExists(16, 1));
  EXPECT_FALSE(ipc::IpcSvcExists(21, 99));
}

TEST_F(LocalServices, FaultyEntriesAreSkippedAndTheRestRegistered) {
  // Type 22 has 10 id slots: ids 11 to 30 have none, whatever the id count.
  const IpcComProcEntry table[] = {
      {1, 0xEE, &ProcA},  // registered
      {0, 0, &ProcB},     // id 0: skipped without a report
      {11, 0, &ProcB},    // no slot: error 3
      {3, 0, nullptr},    // no function: error 18
      {1, 0, &ProcB},     // id 1 holds a function already: error 12
      {31, 0, &ProcB},    // above the id count: error 3
      {10, 0, &ProcB},    // the last slot: registered
  };
  const uint8_t ids[] = {2, 2, 0, 11, 10};
  ASSERT_EQ(IpcSvrAndSvcCreate(22, 5, "1.3c", "020615", 30, table, 7, ids, 5), 1);
  const std::vector<Report> r = Drain();
  ASSERT_EQ(r.size(), 6u) << Describe(r);
  const uint16_t codes[] = {3, 18, 12, 3, 12, 3};
  for (size_t i = 0; i < r.size(); ++i) {
    EXPECT_EQ(r[i].code, codes[i]) << i;
    // Each report keeps the registration's context, also after earlier
    // reports were raised.
    EXPECT_EQ(r[i].svr, 22) << i;
    EXPECT_EQ(r[i].indx, 5) << i;
  }

  EXPECT_EQ(ipc::IpcSvcProcFnGet(22, 5, 1), &ProcA);
  EXPECT_EQ(ipc::IpcSvcProcFnGet(22, 5, 3), nullptr);
  EXPECT_EQ(ipc::IpcSvcProcFnGet(22, 5, 10), &ProcB);
  EXPECT_TRUE(ipc::IpcSvcEvntEnabled(22, 5, 2));
  EXPECT_TRUE(ipc::IpcSvcEvntEnabled(22, 5, 10));
  EXPECT_FALSE(ipc::IpcSvcEvntEnabled(22, 5, 1));
  EXPECT_EQ(ipc::IpcSvcMaxId(22, 5), 10);
  Drain();
}

TEST_F(LocalServices, AnIdBeyondTheTypesSlotsNeverReachesTheNextServer) {
  // Server 6's slots follow server 5's: an id 11 of server 5 would land on
  // server 6's id 1.
  ASSERT_EQ(IpcSvrAndSvcCreate(22, 6, "1.3c", "020615", 30, nullptr, 0, nullptr, 0), 1);
  const IpcComProcEntry table[] = {{11, 0, &ProcA}};
  const uint8_t ids[] = {11};
  ASSERT_EQ(IpcSvrAndSvcCreate(22, 5, "1.3c", "020615", 30, table, 1, ids, 1), 1);
  Drain();
  EXPECT_EQ(ipc::IpcSvcProcFnGet(22, 6, 1), nullptr);
  EXPECT_FALSE(ipc::IpcSvcEvntEnabled(22, 6, 1));
  Drain();
}

TEST_F(LocalServices, ASecondRegistrationIsRefusedAndTheFirstKept) {
  const IpcComProcEntry first[] = {{1, 0, &ProcA}};
  const IpcComProcEntry second[] = {{1, 0, &ProcB}, {2, 0, &ProcB}};
  const uint8_t ids[] = {3};
  ASSERT_EQ(IpcSvrAndSvcCreate(22, 7, "1.3c", "020615", 4, first, 1, nullptr, 0), 1);
  EXPECT_EQ(IpcSvrAndSvcCreate(22, 7, "1.1", "1.5", 10, second, 2, ids, 1), 0);
  const std::vector<Report> r = Drain();
  ASSERT_EQ(r.size(), 1u) << Describe(r);
  EXPECT_EQ(r[0].code, 12);
  EXPECT_EQ(r[0].severity, 2);

  const IpcSvcRecord* rec = ipc::IpcSvcFind(22, 7);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->idCount, 4);
  EXPECT_STREQ(std::string(rec->lowVersion, 8).c_str(), "1.3c");
  EXPECT_STREQ(std::string(rec->highVersion, 8).c_str(), "020615");
  EXPECT_EQ(ipc::IpcSvcProcFnGet(22, 7, 1), &ProcA);
  EXPECT_EQ(ipc::IpcSvcProcFnGet(22, 7, 2), nullptr);
  EXPECT_FALSE(ipc::IpcSvcEvntEnabled(22, 7, 3));
  Drain();
}

TEST_F(LocalServices, InitRegistersTheLogServerAfreshEveryTime) {
  ASSERT_EQ(IpcSvrAndSvcCreate(22, 7, "1.3c", "020615", 4, nullptr, 0, nullptr, 0), 1);
  IpcInit();
  EXPECT_FALSE(ipc::IpcSvcExists(22, 7));
  const IpcSvcRecord* log = ipc::IpcSvcFind(IPC_SVR_LOG, 1);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->idCount, 1);
  EXPECT_STREQ(std::string(log->lowVersion, 8).c_str(), IPC_VERSION);
  EXPECT_STREQ(std::string(log->highVersion, 8).c_str(), IPC_VERSION_DATE);
  EXPECT_TRUE(ipc::IpcSvcEvntEnabled(IPC_SVR_LOG, 1, 1));
  EXPECT_EQ(ipc::IpcSvcProcFnGet(IPC_SVR_LOG, 1, 1), nullptr);

  IpcTerm();
  EXPECT_FALSE(ipc::IpcSvcExists(IPC_SVR_LOG, 1));
  EXPECT_EQ(IpcLogError(1, 1, 1, 12, "ipcdrdb.c", 1), 0);
  IpcInit();
}

// ---------------------------------------------------------------------------
// Local delivery

struct DeliverCase {
  const char* name;
  uint8_t type, hostHandle, procId;
  const char* version;
  void (*tweak)(IpcComProcHdr*);
  int result;          // the procedure's result when delivered
  uint16_t code;       // 0 = delivered without a report
  uint8_t severity;
};

const DeliverCase kDeliverCases[] = {
    {"version at the low end", 22, 7, 1, "1.3c", nullptr, 101, 0, 0},
    {"version inside the range", 22, 7, 1, "1.5", nullptr, 101, 0, 0},
    {"version at the high end", 22, 7, 3, "020615", nullptr, 203, 0, 0},
    {"version below the range", 22, 7, 1, "1.1", nullptr, 0, 8, 2},
    {"version malformed", 22, 7, 1, "10.3c+", nullptr, 0, 8, 1},
    {"version field without its NUL", 22, 7, 1, "1.3c+abcd", nullptr, 0, 8, 1},
    {"procedure id 0", 22, 7, 0, "1.3c", nullptr, 0, 3, 1},
    {"procedure id above the id count", 22, 7, 5, "1.3c", nullptr, 0, 3, 1},
    {"procedure id above the type's slots", 22, 8, 11, "1.3c", nullptr, 0, 3, 1},
    {"the type's last slot", 22, 8, 10, "1.3c", nullptr, 110, 0, 0},
    {"no function for the id", 22, 7, 2, "1.3c", nullptr, 0, 12, 2},
    {"client handle 0", 22, 7, 1, "1.3c", [](IpcComProcHdr* h) { h->clntHandle = 0; }, 0, 7, 1},
    {"host handle 0", 22, 0, 1, "1.3c", nullptr, 0, 2, 1},
    {"host handle of no registered server", 22, 9, 1, "1.3c", nullptr, 0, 3, 1},
    {"host kind 4", 22, 7, 1, "1.3c", [](IpcComProcHdr* h) { h->hostKind = 4; }, 0, 9, 1},
    {"host kind 0", 22, 7, 1, "1.3c", [](IpcComProcHdr* h) { h->hostKind = 0; }, 0, 9, 1},
    {"longer than 1250", 22, 7, 1, "1.3c", [](IpcComProcHdr* h) { h->length = 1251; }, 0, 19, 1},
    {"type not valid", 23, 7, 1, "1.3c", nullptr, 0, 1, 1},
};

TEST_F(LocalServices, DeliveryMatrix) {
  const IpcComProcEntry procs7[] = {{1, 0, &ProcA}, {3, 0, &ProcB}};
  const IpcComProcEntry procs8[] = {{10, 0, &ProcA}};
  ASSERT_EQ(IpcSvrAndSvcCreate(22, 7, "1.3c", "020615", 4, procs7, 2, nullptr, 0), 1);
  ASSERT_EQ(IpcSvrAndSvcCreate(22, 8, "1.3c", "020615", 30, procs8, 1, nullptr, 0), 1);
  Drain();
  for (const DeliverCase& c : kDeliverCases) {
    SCOPED_TRACE(c.name);
    g_calls.clear();
    Msg m = MakeMsg(c.type, c.hostHandle, c.procId, c.version);
    if (c.tweak != nullptr) c.tweak(m.hdr());
    EXPECT_EQ(ipc::IpcSvcDeliver(m.hdr()), c.result);
    const std::vector<Report> r = Drain();
    if (c.code == 0) {
      EXPECT_EQ(Describe(r), " none");
      EXPECT_EQ(g_calls.size(), 1u);
    } else {
      ASSERT_EQ(r.size(), 1u) << Describe(r);
      EXPECT_EQ(r[0].code, c.code);
      EXPECT_EQ(r[0].severity, c.severity);
      EXPECT_TRUE(g_calls.empty());
    }
  }
  EXPECT_EQ(ipc::IpcSvcDeliver(nullptr), 0);
  const std::vector<Report> r = Drain();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].code, 19);
  EXPECT_EQ(r[0].file, "ipcdrhst");
}

// Server 22/1 whose procedure 1 calls back into the library: it raises an
// event and calls procedure 2 of server 22/2 through IpcComProc, and hands
// back what that returned.
uint8_t g_innerClient = 0;

int Inner(const IpcComProcHdr* m) {
  g_calls.push_back("inner");
  return 40 + m->procId;
}

int Outer(const IpcComProcHdr*) {
  g_calls.push_back("outer");
  IpcEvntHdr e{};
  e.length = sizeof e;
  e.evntCode = 258;
  e.svrType = 22;
  e.evntId = 8;
  e.hostHandle = 1;
  IpcEvnt(&e);
  IpcComProcHdr req{};
  req.length = sizeof req;
  req.svrType = 22;
  req.svrIndx = 2;
  req.procId = 2;
  req.clntHandle = g_innerClient;
  return IpcComProc(&req) + 1000;
}

TEST_F(LocalServices, AProcedureCallsBackIntoTheLibraryAndItsResultComesBack) {
  const IpcComProcEntry outer[] = {{1, 0, &Outer}, {0, 0, nullptr}};
  const IpcComProcEntry inner[] = {{2, 0, &Inner}};
  const uint8_t ids[] = {8};
  Serve(22, 1, 10, outer, 2, ids, 1);
  Serve(22, 2, 10, inner, 1, nullptr, 0);
  Listen(22, 1, 1);
  ASSERT_EQ(IpcClntComProcCreate(22, 2, "1.3c", &g_innerClient), 0);
  uint8_t outerClient = 0;
  ASSERT_EQ(IpcClntComProcCreate(22, 1, "1.5", &outerClient), 0);
  g_calls.clear();

  IpcComProcHdr req{};
  req.length = sizeof req;
  req.svrType = 22;
  req.svrIndx = 1;
  req.procId = 1;
  req.clntHandle = outerClient;
  EXPECT_EQ(IpcComProc(&req), 1042);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"outer", "inner"}));
  // The event raised inside the procedure is queued, not delivered.
  EXPECT_TRUE(seen_.empty());
  EXPECT_EQ(Describe(Drain()), " none");
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].hdr().evntCode, 258);
}

TEST_F(LocalServices, AComProcFromAClientOutsideTheVersionRangeIsRefused) {
  const IpcComProcEntry procs[] = {{1, 0, &ProcA}};
  Serve(22, 4, 10, procs, 1, nullptr, 0);
  uint8_t oldClient = 0, newClient = 0;
  ASSERT_EQ(IpcClntComProcCreate(22, 4, "1.1", &oldClient), 0);
  ASSERT_EQ(IpcClntComProcCreate(22, 4, "1.3c", &newClient), 0);
  g_calls.clear();

  IpcComProcHdr req{};
  req.length = sizeof req;
  req.svrType = 22;
  req.svrIndx = 4;
  req.procId = 1;
  req.clntHandle = newClient;
  EXPECT_EQ(IpcComProc(&req), 101);
  EXPECT_EQ(Describe(Drain()), " none");
  req.clntHandle = oldClient;
  EXPECT_EQ(IpcComProc(&req), 0);
  const std::vector<Report> r = Drain();
  ASSERT_EQ(r.size(), 1u) << Describe(r);
  EXPECT_EQ(r[0].code, 8);
  EXPECT_EQ(r[0].severity, 2);
  EXPECT_EQ(r[0].file, "ipcdrhst");
  EXPECT_EQ(g_calls, std::vector<std::string>{"A1"});
}

// ---------------------------------------------------------------------------
// Events

IpcEvntHdr MakeEvnt(uint8_t type, uint8_t hostHandle, uint8_t id, uint16_t code) {
  IpcEvntHdr e;
  std::memset(&e, 0xAB, sizeof e);
  e.length = sizeof e;
  e.evntCode = code;
  e.svrType = type;
  e.evntId = id;
  e.hostHandle = hostHandle;
  return e;
}

class LocalEvents : public LocalServices {
 protected:
  void SetUp() override {
    LocalServices::SetUp();
    if (HasFatalFailure()) return;
    const uint8_t ids[] = {7, 8, 9, 10};
    Serve(22, 3, 10, nullptr, 0, ids, 4);
    for (intptr_t c = 1; c <= 3; ++c) ASSERT_EQ(Listen(22, 3, c), c);
  }

  std::vector<intptr_t> Receivers() const {
    std::vector<intptr_t> v;
    for (const Seen& s : seen_) v.push_back(s.client);
    return v;
  }
};

struct EvntRefusal {
  const char* name;
  uint8_t hostHandle, id;
  uint16_t code;
  uint8_t node;
  uint16_t length;
  uint16_t err;
  uint8_t severity;
  uint8_t ctxType, ctxIndx;
};

const EvntRefusal kEvntRefusals[] = {
    {"event id not enabled", 3, 6, 258, 0, 18, 12, 2, 22, 3},
    {"event id 0", 3, 0, 258, 0, 18, 12, 2, 22, 3},
    {"event id beyond the type's slots", 3, 11, 258, 0, 18, 3, 1, 22, 3},
    {"raising server not registered", 4, 8, 258, 0, 18, 12, 2, 22, 4},
    {"node selector 100", 3, 8, 258, 100, 18, 10, 1, 22, 3},
    {"event code below the range", 3, 8, 255, 0, 18, 5, 2, 22, 3},
    {"event code above the range", 3, 8, 457, 0, 18, 5, 2, 22, 3},
    {"longer than 1250", 3, 8, 258, 0, 1251, 21, 1, 1, 1},
};

TEST_F(LocalEvents, RefusedEventsAreReportedAndQueueNothing) {
  for (const EvntRefusal& c : kEvntRefusals) {
    SCOPED_TRACE(c.name);
    IpcEvntHdr e = MakeEvnt(22, c.hostHandle, c.id, c.code);
    e.length = c.length;
    EXPECT_EQ(IpcEvntSelectedSend(&e, c.node, 0), 0);
    const std::vector<Report> r = Drain();
    ASSERT_EQ(r.size(), 1u) << Describe(r);
    EXPECT_EQ(r[0].code, c.err);
    EXPECT_EQ(r[0].severity, c.severity);
    EXPECT_EQ(r[0].svr, c.ctxType);
    EXPECT_EQ(r[0].indx, c.ctxIndx);
    EXPECT_TRUE(seen_.empty());
  }
  EXPECT_EQ(IpcEvnt(nullptr), 0);
  const std::vector<Report> r = Drain();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].code, 20);
  EXPECT_EQ(r[0].file, "ipcdrhst");
  EXPECT_TRUE(seen_.empty());
}

TEST_F(LocalEvents, NothingIsDeliveredBeforeDespatchAndOneEventPerDespatch) {
  IpcEvntHdr a = MakeEvnt(22, 3, 8, 258);
  IpcEvntHdr b = MakeEvnt(22, 3, 9, 259);
  EXPECT_EQ(IpcEvnt(&a), 1);
  EXPECT_EQ(IpcEvnt(&b), 1);
  EXPECT_TRUE(seen_.empty());
  ASSERT_TRUE(IpcEvntDespatch());
  EXPECT_EQ(Receivers(), (std::vector<intptr_t>{1, 2, 3}));
  for (const Seen& s : seen_) EXPECT_EQ(s.hdr().evntCode, 258);
  ASSERT_TRUE(IpcEvntDespatch());
  EXPECT_EQ(seen_.size(), 6u);
  EXPECT_EQ(seen_.back().hdr().evntCode, 259);
  EXPECT_FALSE(IpcEvntDespatch());
}

TEST_F(LocalEvents, ARaiserIsToldWhenTheRingIsFullAndItsEventGoesOutWhenRaisedAgain) {
  for (uint16_t i = 0; i < 49; ++i) {
    IpcEvntHdr e = MakeEvnt(22, 3, 8, static_cast<uint16_t>(300 + i % 100));
    ASSERT_EQ(IpcEvnt(&e), 1) << i;
  }
  IpcEvntHdr answer = MakeEvnt(22, 3, 9, 299);
  EXPECT_EQ(IpcEvnt(&answer), IPC_EVNT_RING_FULL);
  EXPECT_EQ(IpcEvntSelectedSend(&answer, 0, 2), IPC_EVNT_RING_FULL);
  EXPECT_EQ(ipc::IpcEvntQueued(), 49);  // nothing queued, nothing displaced
  ASSERT_TRUE(IpcEvntDespatch());
  EXPECT_EQ(IpcEvnt(&answer), 1);
  Drain();
  ASSERT_FALSE(seen_.empty());
  EXPECT_EQ(seen_.back().hdr().evntCode, 299);
  EXPECT_TRUE(reports_.empty());
}

TEST_F(LocalEvents, RaisingStampsHostKindAndTheServersHighVersion) {
  IpcEvntHdr e = MakeEvnt(22, 3, 10, 260);
  ASSERT_EQ(IpcEvnt(&e), 1);
  EXPECT_EQ(e.hostKind, 1);
  EXPECT_EQ(std::string(e.version, 8), std::string("020615\0\0", 8));
  EXPECT_EQ(Describe(Drain()), " none");
  ASSERT_EQ(seen_.size(), 3u);
  EXPECT_EQ(seen_[0].hdr().hostKind, 1);
  EXPECT_EQ(std::string(seen_[0].hdr().version, 8), std::string("020615\0\0", 8));
  EXPECT_EQ(seen_[0].hdr().svrIndx, 3);
}

TEST_F(LocalEvents, SelectorsChooseTheLocalClients) {
  struct Case {
    const char* name;
    uint8_t node, client;
    std::vector<intptr_t> receivers;
  };
  const Case cases[] = {
      {"every client", 0, 0, {1, 2, 3}},
      {"node 5 and any client: every client", 5, 0, {1, 2, 3}},
      {"the local client 2 only", 0, 2, {2}},
      {"a local handle not in use", 0, 4, {}},
      {"clients on node 5: no local one", 5, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    seen_.clear();
    IpcEvntHdr e = MakeEvnt(22, 3, 8, 258);
    EXPECT_EQ(IpcEvntSelectedSend(&e, c.node, c.client), 1);
    EXPECT_EQ(Describe(Drain()), " none");
    EXPECT_EQ(Receivers(), c.receivers);
  }
}

}  // namespace
