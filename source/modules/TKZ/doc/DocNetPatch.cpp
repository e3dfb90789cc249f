// Request type 6, the network patch upload: the node's configuration file
// and its install files go to the node over IO_FTP, one job after another
// on the same record; after the last one the download is stamped in
// tblNetPatch and the node's connection is dropped and built again.
#include <cstdio>
#include <cstring>
#include <string>

#include "Doc.h"
#include "IoFtpRequest.h"
#include "LogSink.h"
#include "RcCodes.h"
#include "platform/time/clock.h"

namespace {

// Fixed line numbers of the handler's database blocks.
constexpr int kDocLineNetPatchStart = 4454;
constexpr int kDocLineNetPatchStamp = 4541;

// The node type whose files go under /tmp.
constexpr int16_t kNodeTypeQ7x = 14;
// Longest node name that fits "%s.cfg" in the local name field.
constexpr size_t kNodeNameFit = kIoFtpNameSize - 5;

#pragma pack(push, 1)
struct NodeIPRow {
  int32_t NodeID;
  char NodeName[50];
  int16_t NodeType;
  char IPAddress[15];
  uint8_t pad;
};
#pragma pack(pop)
static_assert(sizeof(NodeIPRow) == 72);

constexpr dao::Binding kNodeIPBindings[] = {
    {"NodeID", dao::BindType::kI32, offsetof(NodeIPRow, NodeID), 4},
    {"NodeName", dao::BindType::kText, offsetof(NodeIPRow, NodeName), 50},
    {"NodeType", dao::BindType::kI16, offsetof(NodeIPRow, NodeType), 2},
    {"IPAddress", dao::BindType::kText, offsetof(NodeIPRow, IPAddress), 15},
};

struct FilePair {
  const char* local;  // a format with the node name for the first file
  const char* remote;
};
constexpr FilePair kQ7xFiles[] = {{"%s.cfg", "/tmp/k4znode.new"},
                                  {"install.q7x", "/tmp/install.sh"},
                                  {"install.arm", "/tmp/install.arm"},
                                  {"nodecfg.q7x", "/tmp/nodecfg"}};
constexpr FilePair kOtherFiles[] = {{"%s.cfg", "k4znode.new"},
                                    {"install.cfg", "install.bat"},
                                    {"install.arm", "install.arm"}};

// What the request keeps until it ends.
struct NetPatchWork final : RequestWork {
  char RequestPC[kRequestPCSize] = {};
  int32_t nodeId = 0;
  std::string nodeName;  // trailing blanks removed
  bool q7x = false;
  size_t next = 0;  // the file of the sequence that goes next
  size_t Count() const { return q7x ? std::size(kQ7xFiles) : std::size(kOtherFiles); }
  const FilePair& File(size_t i) const { return q7x ? kQ7xFiles[i] : kOtherFiles[i]; }
};

// Puts file i of the sequence into the job; false when a name does not fit.
bool SetFile(IoFtpRequest& job, const NetPatchWork& work, size_t i) {
  const FilePair& pair = work.File(i);
  char local[kIoFtpNameSize + 8];
  if (i == 0)
    std::snprintf(local, sizeof local, pair.local, work.nodeName.c_str());
  else
    std::snprintf(local, sizeof local, "%s", pair.local);
  return SetIoFtpName(job.localName, local) && SetIoFtpName(job.remoteName, pair.remote);
}

// The node's name becomes the name of a file in the site directory: it must
// be a plain file name there, of printable characters, naming no other
// directory.
bool PlainFileStem(const std::string& name) {
  if (name.empty() || name.size() > kNodeNameFit || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

// The name as a log line and a diagnostic may show it.
std::string Printable(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

void ResetForNextFile(IoFtpRequest& job) {
  job.link = nullptr;
  job.Rcode = 0;
  job.result.Clear();
  job.file = IoFtpLocalFile{};
}

}  // namespace

void CTKZDoc::SendNetworkPatch(IoFtpRequest* job, InProcRequest* request) {
  if (request == nullptr) {
    delete job;
    return;
  }
  if (job == nullptr) {
    // ---- the handler of request type 6 ----
    auto work = std::make_unique<NetPatchWork>();
    std::memcpy(work->RequestPC, m_RequestRow.RequestPC, sizeof work->RequestPC);
    work->RequestPC[sizeof work->RequestPC - 1] = '\0';
    work->nodeId = request->RequestSubType;
    NodeIPRow row{};
    try {
      if (!m_Database) dao::Throw(3021, "No current record.");
      dao::QueryDef q = m_Database->QueryDefs("TKZqryNodeIP");
      q.SetParameter("ValueNodeID", request->RequestSubType);
      dao::Recordset rs = q.OpenRecordset();
      if (rs.IsEOF()) {
        FailRequest("Network patch: no node %d.", request->RequestSubType);
        return;
      }
      rs.ReadRow(&row, sizeof row, kNodeIPBindings);
    } catch (const dao::Error& e) {
      DBExceptionDiag(request, kDocLineNetPatchStart, static_cast<int32_t>(e.code()),
                      e.description().c_str());
      return;
    }
    std::string name(row.NodeName, strnlen(row.NodeName, sizeof row.NodeName));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (!PlainFileStem(name)) {
      FailRequest("Network patch: node name \"%s\" does not make a file name.",
                  Printable(name).c_str());
      return;
    }
    work->nodeName = name;
    work->q7x = row.NodeType == kNodeTypeQ7x;

    auto first = std::make_unique<IoFtpRequest>();
    first->ReqNum = request->ReqNum;
    first->nodeId = static_cast<uint32_t>(request->RequestSubType);
    first->type = IO_FTP_TYPE_SEND_FILE;
    first->docContinuation = &CTKZDoc::SendNetworkPatch;
    first->target = 1;
    SetFile(*first, *work, 0);
    work->next = 1;
    request->work = std::move(work);
    ++request->expected;
    if (!Comm().PostIoFtpRequest(first.get())) {
      --request->expected;
      FailRequest("Network patch: communications did not take the transfer.");
      return;
    }
    first.release();  // the comm thread's now
    return;
  }

  // ---- a returned job, counted on the request ----
  auto* work = dynamic_cast<NetPatchWork*>(request->work.get());
  if (request->Rcode == 0 && work == nullptr) request->Rcode = RC_FLUSHED;
  if (request->Rcode != 0) {
    // The remaining files are not sent; the node keeps its connection.
    request->work.reset();
    delete job;
    CompleteRequest(request);
    return;
  }
  if (work->next < work->Count()) {
    ResetForNextFile(*job);
    job->target = static_cast<int32_t>(work->next + 1);
    SetFile(*job, *work, work->next);
    ++work->next;
    ++request->expected;
    if (Comm().PostIoFtpRequest(job)) return;
    --request->expected;
    delete job;
    request->Rcode = RC_COMM_FAILURE;
    request->work.reset();
    CompleteRequest(request);
    return;
  }
  delete job;

  const int32_t nodeId = work->nodeId;
  request->message.Set("Network patch sent to node %d.", nodeId);
  try {
    if (!m_Database) dao::Throw(3021, "No current record.");
    dao::QueryDef q = m_Database->QueryDefs("TKZqryNetPatch");
    q.SetParameter("ValuePatchID", request->ZoneID);
    dao::Recordset rs = q.OpenRecordset();
    // A patch the table does not hold cannot be stamped: the edit fails
    // (no current record) and so does the request.
    rs.Edit();
    rs.SetField("DldDate", dao::OleDate{platform::time::ToOleDate(TheClock().Local())});
    rs.SetField("DldUser", std::string(work->RequestPC));
    rs.Update();
  } catch (const dao::Error& e) {
    DBExceptionDiag(request, kDocLineNetPatchStamp, static_cast<int32_t>(e.code()),
                    e.description().c_str());
  }
  request->work.reset();
  CompleteRequest(request);
  Comm().DisconnectNode(static_cast<uint32_t>(nodeId));
}
