// The network patch upload: a type 6 request row becomes a chain of IO_FTP
// jobs on one record, and the request's row, tblNetPatch and the node's
// connection show how it ended.  The comm side is played by a port that
// reads each job's local file from the site directory as the UI thread
// would, and hands the job back.
#include <cmath>
#include <cstring>
#include <fstream>

#include "DocTestSupport.h"
#include "IoFtpFile.h"
#include "IoFtpRequest.h"
#include "RcCodes.h"

namespace {

class FtpComm final : public DocCommPort {
 public:
  bool Start() override { return true; }
  bool LoadPhase(uint32_t) override { return true; }
  bool AddNode(const NodeDesc*) override { return true; }
  bool AddRack(const RackDesc*) override { return true; }
  bool PostIoFtpRequest(IoFtpRequest* job) override {
    if (refuse) return false;
    jobs.push_back(job);
    sent.push_back(std::string(job->localName) + " -> " + job->remoteName);
    return true;
  }
  bool DisconnectNode(uint32_t nodeId) override {
    disconnected.push_back(nodeId);
    return true;
  }
  bool refuse = false;
  std::vector<IoFtpRequest*> jobs;
  std::vector<std::string> sent;
  std::vector<uint32_t> disconnected;
};

class NetPatchTest : public DocSiteTest {
 protected:
  void SetUp() override {
    DocPorts p = Ports();
    p.comm = &ftp_;
    doc_ = std::make_unique<CTKZDoc>(p);
    ASSERT_TRUE(doc_->OnNewDocument()) << observer_.text();
    // The document's current directory is the site's.
    std::filesystem::current_path(site_);
    Sql("INSERT INTO tblNode (NodeID, NodeName, NodeType, IPAddress) VALUES "
        "(7, 'NODE7   ', 5, '10.0.0.7'), (8, 'QNODE', 14, '10.0.0.8'), "
        "(9, '" + std::string(36, 'N') + "', 5, '10.0.0.9');"
        "INSERT INTO tblNetPatch (PatchID) VALUES (3);");
  }
  void Files(std::initializer_list<const char*> names) {
    for (const char* n : names) std::ofstream(site_ + "/" + n) << "contents of " << n << "\n";
  }
  // The dispatch of a type 6 row, then the comm side until no job is out.
  void Run(int rid, int nodeId, int patchId) {
    Sql("INSERT INTO tblTKZRequest (RID, RequestPC, RequestState, RequestType, RequestSubType, "
        "ZoneID) VALUES (" + std::to_string(rid) + ", 'OPS-PC', 3, 6, " + std::to_string(nodeId) +
        ", " + std::to_string(patchId) + ");");
    CTKZDoc& doc = *doc_;
    TKZRequestRow& row = doc.RequestRow();
    row = TKZRequestRow{};
    row.RID = rid;
    std::strcpy(row.RequestPC, "OPS-PC");
    row.RequestState = REQUEST_STATE_IN_PROCESS;
    InProcRequest* r = doc.AddRequest();
    r->RID = rid;
    r->RequestType = 6;
    r->RequestSubType = nodeId;
    r->ZoneID = patchId;
    doc.SendNetworkPatch(nullptr, r);
    handlerState_ = row.RequestState;
    handlerText_ = row.RequestDiagnostic;
    if (row.RequestState == REQUEST_STATE_IN_PROCESS)
      doc.RequestSent(r);
    else
      doc.FreeRequest(r);
    while (!ftp_.jobs.empty()) {
      IoFtpRequest* job = ftp_.jobs.front();
      ftp_.jobs.erase(ftp_.jobs.begin());
      if (failJob_ != 0 && static_cast<int>(ftp_.sent.size()) == failJob_) {
        job->Rcode = RC_FTP_LOGIN_FAILED;
        job->result.Set("IOFTP login to node %s failed.\n", CompletionArg::Text("10.0.0.7"));
      } else {
        do IoFtpReadLocal(job);
        while (job->Rcode == 0 && !job->file.eof);
        IoFtpCloseLocal(job);
      }
      doc.OnIoFtpDone(job);
    }
  }
  std::string State(int rid) {
    return One("SELECT RequestState, RequestDiagnostic FROM tblTKZRequest WHERE RID = " +
               std::to_string(rid));
  }

  CwdGuard cwd_;
  FtpComm ftp_;
  int failJob_ = 0;
  int16_t handlerState_ = 0;
  std::string handlerText_;
};

TEST_F(NetPatchTest, EveryFileOfTheNodesSequenceIsSentThenTheDownloadIsStamped) {
  struct Case {
    int node;
    std::vector<std::string> sent;
  } cases[] = {
      {7, {"NODE7.cfg -> k4znode.new", "install.cfg -> install.bat", "install.arm -> install.arm"}},
      {8, {"QNODE.cfg -> /tmp/k4znode.new", "install.q7x -> /tmp/install.sh",
           "install.arm -> /tmp/install.arm", "nodecfg.q7x -> /tmp/nodecfg"}},
  };
  Files({"NODE7.cfg", "QNODE.cfg", "install.cfg", "install.arm", "install.q7x", "nodecfg.q7x"});
  int rid = 40;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.node);
    ftp_.sent.clear();
    ftp_.disconnected.clear();
    Sql("UPDATE tblNetPatch SET DldDate = NULL, DldUser = NULL;");
    Run(++rid, c.node, 3);
    EXPECT_EQ(ftp_.sent, c.sent);
    EXPECT_EQ(State(rid), "4|Network patch sent to node " + std::to_string(c.node) + ".");
    EXPECT_EQ(One("SELECT DldUser FROM tblNetPatch WHERE PatchID = 3"), "OPS-PC");
    const double when = std::stod(One("SELECT DldDate FROM tblNetPatch WHERE PatchID = 3"));
    EXPECT_NEAR(when, platform::time::ToOleDate(clock_.Local()), 1e-6);
    EXPECT_EQ(ftp_.disconnected, std::vector<uint32_t>{static_cast<uint32_t>(c.node)});
    EXPECT_EQ(doc_->RequestCount(), 0u);
  }
}

TEST_F(NetPatchTest, AFailedFileEndsTheRequestWithoutStampOrDisconnect) {
  struct Case {
    const char* name;
    bool installCfg;
    int failJob;
    size_t jobs;
    std::string state;
  } cases[] = {
      {"missing install.cfg", false, 0, 2,
       "5|Unable to open file \"install.cfg\", No such file or directory."},
      {"login refused on the first file", true, 1, 1, "5|IOFTP login to node 10.0.0.7 failed.\n"},
  };
  int rid = 50;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(site_ + "/install.cfg");
    Files({"NODE7.cfg", "install.arm"});
    if (c.installCfg) Files({"install.cfg"});
    ftp_.sent.clear();
    failJob_ = c.failJob;
    Run(++rid, 7, 3);
    EXPECT_EQ(ftp_.sent.size(), c.jobs);
    EXPECT_EQ(State(rid), c.state);
    EXPECT_EQ(One("SELECT DldUser FROM tblNetPatch WHERE PatchID = 3"), "NULL");
    EXPECT_TRUE(ftp_.disconnected.empty());
    EXPECT_EQ(doc_->RequestCount(), 0u);
  }
}

TEST_F(NetPatchTest, RequestsThatCannotStartPostNoJob) {
  struct Case {
    const char* name;
    int node;
    const char* sql;
    bool refuse;
    const char* text;  // the request's diagnostic begins so
    int16_t handlerState;
  } cases[] = {
      {"no such node", 99, "", false, "Network patch: no node 99.", REQUEST_STATE_FAILED},
      {"node name too long for the file name", 9, "", false, "Network patch: node name \"NNNN",
       REQUEST_STATE_FAILED},
      {"comm thread does not take the job", 7, "", true,
       "Network patch: communications did not take the transfer.", REQUEST_STATE_FAILED},
      {"database exception at the start", 7, "DROP TABLE tblNode;", false, "Doc#4454: ",
       REQUEST_STATE_IN_PROCESS},
  };
  int rid = 60;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (*c.sql != 0) Sql(c.sql);
    ftp_.refuse = c.refuse;
    ftp_.sent.clear();
    Run(++rid, c.node, 3);
    EXPECT_TRUE(ftp_.sent.empty());
    EXPECT_EQ(handlerState_, c.handlerState);
    // A refusal is written by the dispatch from the row; a database
    // exception completes the request through its write-back.
    const std::string text =
        c.handlerState == REQUEST_STATE_FAILED ? handlerText_ : State(rid).substr(2);
    EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
    if (c.handlerState == REQUEST_STATE_IN_PROCESS) {
      EXPECT_EQ(State(rid).substr(0, 2), "5|");
    }
    EXPECT_EQ(doc_->RequestCount(), 0u);
  }
}

// A node name becomes the first file's name in the site directory: one that
// would name a file elsewhere, or no plain file at all, fails the request
// and sends nothing, not even the files after it.
TEST_F(NetPatchTest, NodeNamesThatAreNotPlainFileNamesSendNothing) {
  Files({"install.cfg", "install.arm"});
  std::ofstream(site_ + "/../x.cfg") << "outside the site\n";
  struct Case {
    const char* sqlName;  // an SQL expression
    const char* shown;    // as the diagnostic shows it
  } cases[] = {
      {"'../x'", "../x"},
      {"'/etc/passwd'", "/etc/passwd"},
      {"'a/b'", "a/b"},
      {"'..'", ".."},
      {"'.'", "."},
      {"'a\\b'", "a\\b"},
      {"'new' || char(10) || 'line'", "new?line"},
      {"'tab' || char(9)", "tab?"},
      {"'   '", ""},
  };
  int rid = 80, node = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    ++node;
    Sql("INSERT INTO tblNode (NodeID, NodeName, NodeType, IPAddress) VALUES (" +
        std::to_string(node) + ", " + c.sqlName + ", 5, '10.0.0.20');");
    ftp_.sent.clear();
    Run(++rid, node, 3);
    EXPECT_TRUE(ftp_.sent.empty());
    EXPECT_EQ(handlerState_, REQUEST_STATE_FAILED);
    EXPECT_EQ(handlerText_,
              std::string("Network patch: node name \"") + c.shown + "\" does not make a file name.");
    EXPECT_EQ(doc_->RequestCount(), 0u);
  }
  std::filesystem::remove(site_ + "/../x.cfg");
}

TEST_F(NetPatchTest, StampFailureStillCompletesFailedAndDisconnects) {
  Files({"NODE7.cfg", "install.cfg", "install.arm"});
  struct Case {
    int rid, patchId;
    const char* before;  // an outside program's change first
    const char* state;   // how the row begins
  } cases[] = {
      // A patch the request names but tblNetPatch does not hold is not
      // recorded: the request does not succeed.
      {70, 4, "", "5|Doc#4541: 3021:"},
      {71, 3, "DROP TABLE tblNetPatch;", "5|Doc#4541: "},
  };
  for (const Case& c : cases) {
    if (*c.before != '\0') Sql(c.before);
    const size_t sent = ftp_.sent.size(), disconnected = ftp_.disconnected.size();
    Run(c.rid, 7, c.patchId);
    EXPECT_EQ(ftp_.sent.size(), sent + 3) << c.rid;
    EXPECT_EQ(State(c.rid).rfind(c.state, 0), 0u) << State(c.rid);
    ASSERT_EQ(ftp_.disconnected.size(), disconnected + 1) << c.rid;
    EXPECT_EQ(ftp_.disconnected.back(), 7u);
  }
}

TEST_F(NetPatchTest, JobOfAnUnknownRequestIsDropped) {
  auto* job = new IoFtpRequest;
  job->ReqNum = 12345;
  doc_->OnIoFtpDone(job);  // ASan: deleted, not leaked
  EXPECT_EQ(CountLines("Unknown ReqNum 12345 ignored."), 1);
}

}  // namespace
