// The IO_FTP client over the fake library: the bytes of every request, a
// job's blocks and result, its failures, the idle logout and the shutdown.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fstream>
#include <memory>

#include "CommFtp.h"
#include "IoFtpFile.h"
#include "NodeTestSupport.h"
#include "RcCodes.h"
#include "Rle.h"
#include "ThreadMsgs.h"

namespace {

constexpr uint32_t kAddr = 0x7F000201;  // 127.0.2.1
constexpr uint8_t kIdx = 4;
constexpr uint8_t kLoginHandle = 9;

// Keeps what the client posts; READ and CLOSE are served by Serve as the
// UI thread would, each after the call that posted it has returned.
class FakeFtpHost final : public CommFtpHost {
 public:
  bool shuttingDown = false;
  bool refuse = false;
  std::deque<std::pair<uint32_t, IoFtpRequest*>> posts;
  std::vector<std::unique_ptr<IoFtpRequest>> done;
  int reads = 0, closes = 0;

  ~FakeFtpHost() override {
    for (auto& [m, r] : posts)
      if (m == WM_DOC_FTP_DONE) delete r;
  }
  bool PostFtpToFrame(uint32_t message, IoFtpRequest* request) override {
    if (refuse) return false;
    posts.emplace_back(message, request);
    return true;
  }
  bool FtpShuttingDown() const override { return shuttingDown; }

  // Serves the lent jobs; returns whether anything was served.
  bool Serve(CommFtp& ftp) {
    bool any = false;
    while (!posts.empty()) {
      auto [message, request] = posts.front();
      posts.pop_front();
      any = true;
      if (message == WM_DOC_FTP_READ) {
        ++reads;
        IoFtpReadLocal(request);
        ftp.OnIoFtpContinue(request);
      } else if (message == WM_DOC_FTP_CLOSE) {
        ++closes;
        IoFtpCloseLocal(request);
        ftp.OnIoFtpContinue(request);
      } else if (message == WM_DOC_FTP_DONE) {
        done.emplace_back(request);
      }
    }
    return any;
  }
};

// A node that answers its IO_FTP requests as the service does.
struct FtpNode {
  bool answer = true;
  bool refuseLogin = false;
  uint16_t openStatus = kIoFtpOpenPacked;
  uint16_t closeStatus = 0;
  size_t seen = 0;  // requests answered so far
  std::vector<uint8_t> file;  // what the blocks carried, unpacked
  std::vector<std::vector<uint8_t>> blocks;
  int acks = 0, logins = 0, logouts = 0, opens = 0, closes = 0;
  bool badBlock = false;
  bool holdClose = false;  // a close goes unanswered (the test answers it)

  static std::vector<uint8_t> Status(uint16_t s, uint8_t handle = 0) {
    return {0, 0, static_cast<uint8_t>(s), static_cast<uint8_t>(s >> 8), handle};
  }
  // Answers what came since the last call; false when nothing came.
  bool Answer(FakeNodeLibrary& lib, uint8_t clientId) {
    bool any = false;
    while (seen < lib.requests.size()) {
      const std::vector<uint8_t> r = lib.requests[seen++];
      if (r[2] != IPC_SVR_IO_FTP) continue;
      any = true;
      switch (r[4]) {
        case IO_FTP_LOGIN:
          ++logins;
          if (answer)
            lib.Raise(IPC_SVR_IO_FTP, clientId, IO_FTP_EVNT_LOGIN,
                      Status(refuseLogin ? 1 : 0, kLoginHandle));
          break;
        case IO_FTP_LOGOUT:
          ++logouts;
          if (answer) lib.Raise(IPC_SVR_IO_FTP, clientId, IO_FTP_EVNT_LOGOUT, Status(0));
          break;
        case IO_FTP_OPEN_PUT:
          ++opens;
          if (answer) lib.Raise(IPC_SVR_IO_FTP, clientId, IO_FTP_EVNT_OPEN, Status(openStatus));
          break;
        case IO_FTP_BLOCK:
        case IO_FTP_BLOCK_ACK:
          Take(r);
          if (r[4] == IO_FTP_BLOCK_ACK) {
            ++acks;
            if (answer) lib.Raise(IPC_SVR_IO_FTP, clientId, IO_FTP_EVNT_ACK, Status(0));
          }
          break;
        case IO_FTP_CLOSE:
          ++closes;
          if (answer && !holdClose) lib.Raise(IPC_SVR_IO_FTP, clientId, IO_FTP_EVNT_CLOSE, Status(closeStatus));
          break;
        default:
          break;
      }
    }
    return any;
  }
  void Take(const std::vector<uint8_t>& r) {
    blocks.push_back(r);
    const uint16_t raw = static_cast<uint16_t>(r[18] | r[19] << 8);
    const bool packed = (r[20] | r[21] << 8) != 0;
    if (r.size() != kIoFtpBlockLength || static_cast<size_t>(r[22] | r[23] << 8) != blocks.size()) badBlock = true;
    if (!packed) {
      file.insert(file.end(), r.begin() + 24, r.begin() + 24 + raw);
      return;
    }
    // Pieces between the boundaries, each at most 256 bytes unpacked.
    uint16_t got = 0;
    for (int p = 0; p < 16; ++p) {
      const uint16_t from = static_cast<uint16_t>(r[1208 + 2 * p] | r[1209 + 2 * p] << 8);
      const uint16_t to = static_cast<uint16_t>(r[1210 + 2 * p] | r[1211 + 2 * p] << 8);
      if (to == 0) break;
      const uint16_t n = std::min<uint16_t>(256, static_cast<uint16_t>(raw - got));
      std::vector<uint8_t> piece(n);
      if (to <= from || RleDecode(r.data() + 24 + from, to - from, piece.data(), n, 4) != n)
        badBlock = true;
      file.insert(file.end(), piece.begin(), piece.end());
      got = static_cast<uint16_t>(got + n);
    }
    if (got != raw) badBlock = true;
  }
};

struct FtpRig : NodesRig {
  FtpRig() {
    AddNode(1, kAddr);
    BringOnline(1, kAddr, kIdx);
    lib.attachedFtp.insert(ClientId());
    lib.Clear();
  }
  uint8_t ClientId() { return nodes.FindNode(1)->clientId; }
  NodeEntry* Node() { return nodes.Node(1); }
  std::string File(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir.path().string() + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  IoFtpRequest* Job(const std::string& local, const char* remote = "k4znode.new",
                    uint32_t nodeId = 1) {
    auto* r = new IoFtpRequest;
    r->nodeId = nodeId;
    r->ReqNum = 7;
    SetIoFtpName(r->localName, local.c_str());
    SetIoFtpName(r->remoteName, remote);
    return r;
  }
  // Serves the UI's reads and closes and answers as the node until nothing
  // moves, without a tick.
  void Settle() {
    while (host2.Serve(ftp) || node.Answer(lib, ClientId())) {
    }
  }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) {
      nodes.Tick();
      ftp.Tick();
      Settle();
    }
  }
  // Runs the exchange until nothing moves: the UI's reads and closes, the
  // node's answers, and a tick whenever both are quiet (at most `ticks`).
  void Run(int ticks = 5) {
    for (int quiet = 0; quiet < ticks;) {
      const bool a = host2.Serve(ftp);
      const bool b = node.Answer(lib, ClientId());
      if (a || b) continue;
      nodes.Tick();
      ftp.Tick();
      ++quiet;
    }
  }
  FakeFtpHost host2;
  CommFtp ftp{lib, nodes, host2};
  FtpNode node;
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  // Runs and literals both.
  for (size_t i = 0; i < n; ++i) v[i] = (i / 64) % 3 == 0 ? 0x55 : static_cast<uint8_t>(i * 7 + i / 5);
  return v;
}

std::vector<uint8_t> Header(uint16_t length, uint8_t proc, uint8_t clientId, uint8_t handle) {
  std::vector<uint8_t> v(length, 0);
  v[0] = static_cast<uint8_t>(length);
  v[1] = static_cast<uint8_t>(length >> 8);
  v[2] = 21;
  v[3] = clientId;
  v[4] = proc;
  v[5] = handle;
  return v;
}

TEST(IoFtpWire, EveryRequestHasTheServiceLayout) {
  FtpRig rig;
  rig.node.openStatus = 0;  // raw blocks
  const std::vector<uint8_t> content = {1, 2, 3, 4, 5};
  const std::string path = rig.File("a.bin", content);
  rig.ftp.OnIoFtpRequest(rig.Job(path, "/tmp/install.sh"));
  rig.Run();
  ASSERT_EQ(rig.host2.done.size(), 1u);
  EXPECT_EQ(rig.host2.done[0]->Rcode, 0);
  const NodeEntry* n = rig.Node();
  const uint8_t id = n->clientId, h = n->ftpComProcHandle;
  ASSERT_NE(h, 0);

  std::vector<std::vector<uint8_t>> want;
  auto login = Header(46, 1, id, h);
  login[17] = 1;
  login[18] = 0x01; login[19] = 0x00; login[20] = 0x00; login[21] = 0x7F;  // 127.0.0.1, host order
  login[22] = n->ftpEvntHandle;
  std::memcpy(&login[24], "UserName", 8);
  std::memcpy(&login[34], "Tamarind", 8);
  want.push_back(login);
  auto open = Header(46, 3, id, h);
  open[16] = kLoginHandle;
  open[17] = 1;
  std::memcpy(&open[18], "/tmp/install.sh", 15);
  want.push_back(open);
  auto block = Header(1242, 4, id, h);
  block[16] = kLoginHandle;
  block[17] = 1;
  block[18] = 5;      // raw bytes carried
  block[22] = 1;      // block 1, raw
  std::copy(content.begin(), content.end(), block.begin() + 24);
  want.push_back(block);
  auto close = Header(46, 8, id, h);
  close[16] = kLoginHandle;
  close[17] = 1;
  const uint32_t dt = rig.host2.done[0]->file.dateTime;
  for (int i = 0; i < 4; ++i) close[18 + i] = static_cast<uint8_t>(dt >> (8 * i));
  want.push_back(close);

  std::vector<std::vector<uint8_t>> got;
  for (const auto& r : rig.lib.requests)
    if (r[2] == IPC_SVR_IO_FTP) got.push_back(r);
  ASSERT_GE(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "request " << i;

  // The idle logout, 50 ticks after the job went back.
  rig.Run(60);
  auto logout = Header(46, 2, id, h);
  logout[16] = kLoginHandle;
  logout[17] = 1;
  EXPECT_EQ(rig.lib.requests.back(), logout);
}

TEST(IoFtpWire, PackedBlockCarriesPiecesAndTheirBoundaries) {
  FtpRig rig;
  const std::vector<uint8_t> content(600, 0xAB);  // packs to almost nothing
  rig.ftp.OnIoFtpRequest(rig.Job(rig.File("p.bin", content)));
  rig.Run();
  ASSERT_EQ(rig.node.blocks.size(), 1u);
  const auto& b = rig.node.blocks[0];
  EXPECT_EQ(b[18] | b[19] << 8, 600);
  EXPECT_EQ(b[20] | b[21] << 8, 1);
  // Three pieces (256, 256, 88); each of stride-4 runs.
  std::vector<uint16_t> bounds;
  for (int p = 0; p < 17; ++p) bounds.push_back(static_cast<uint16_t>(b[1208 + 2 * p] | b[1209 + 2 * p] << 8));
  EXPECT_EQ(bounds[0], 0);
  EXPECT_GT(bounds[1], 0);
  EXPECT_GT(bounds[3], bounds[2]);
  EXPECT_EQ(bounds[4], 0);
  EXPECT_EQ(rig.node.file, content);
  EXPECT_FALSE(rig.node.badBlock);
}

TEST(IoFtpTransfer, FileArrivesWholeInNumberedBlocksWithAnAckEveryFifteen) {
  struct Case {
    const char* name;
    size_t size;
    uint16_t openStatus;
    size_t blocks;
    int acks;
    int reads;
  } cases[] = {
      {"empty file: opened and closed, no block", 0, 32, 0, 0, 1},
      {"one short buffer", 100, 32, 1, 0, 1},
      {"exactly one buffer needs a second read", 1024, 32, 1, 0, 2},
      {"one byte over a buffer", 1025, 32, 2, 0, 2},
      {"the 15th block is the file's last: no ack", 14 * 1024 + 10, 32, 15, 0, 15},
      {"fifteen full buffers: the 15th asks, the end is not known yet", 15 * 1024, 32, 15, 1, 16},
      {"fifteen buffers and a bit: the 15th asks", 15 * 1024 + 10, 32, 16, 1, 16},
      {"raw blocks when the node refuses packing", 40000, 0, 40, 2, 40},
      {"packed, many blocks", 40000, 32, 40, 2, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FtpRig rig;
    rig.node.openStatus = c.openStatus;
    const auto content = Pattern(c.size);
    rig.ftp.OnIoFtpRequest(rig.Job(rig.File("f.bin", content)));
    rig.Run();
    ASSERT_EQ(rig.host2.done.size(), 1u);
    EXPECT_EQ(rig.host2.done[0]->Rcode, 0);
    EXPECT_EQ(rig.host2.done[0]->file.fd, -1);
    EXPECT_EQ(rig.node.file, content);
    EXPECT_FALSE(rig.node.badBlock);
    EXPECT_EQ(rig.node.blocks.size(), c.blocks);
    EXPECT_EQ(rig.node.acks, c.acks);
    EXPECT_EQ(rig.host2.reads, c.reads);
    EXPECT_EQ(rig.node.opens, 1);
    EXPECT_EQ(rig.node.closes, 1);
    EXPECT_EQ(rig.host2.closes, 1);
    for (const auto& b : rig.node.blocks) EXPECT_EQ(b[20] | b[21] << 8, c.openStatus == 32 ? 1 : 0);
  }
}

TEST(IoFtpTransfer, NoMoreThanFifteenBlocksGoOutBeforeTheAck) {
  FtpRig rig;
  rig.node.openStatus = 0;
  rig.ftp.OnIoFtpRequest(rig.Job(rig.File("f.bin", Pattern(30000))));
  // The node takes everything but never acknowledges.
  rig.node.answer = true;
  for (int i = 0; i < 200 && rig.node.acks == 0; ++i) {
    rig.host2.Serve(rig.ftp);
    size_t before = rig.node.seen;
    // Answer all but the acknowledgement.
    while (rig.node.seen < rig.lib.requests.size()) {
      const auto& r = rig.lib.requests[rig.node.seen];
      if (r[2] == IPC_SVR_IO_FTP && r[4] == IO_FTP_BLOCK_ACK) {
        rig.node.Take(r);
        ++rig.node.acks;
        ++rig.node.seen;
        continue;
      }
      rig.node.Answer(rig.lib, rig.ClientId());
    }
    if (before == rig.node.seen && rig.host2.posts.empty()) rig.nodes.Tick();
  }
  ASSERT_EQ(rig.node.acks, 1);
  rig.host2.Serve(rig.ftp);
  EXPECT_EQ(rig.node.blocks.size(), 15u);
  EXPECT_EQ(rig.node.blocks.back()[4], IO_FTP_BLOCK_ACK);
  EXPECT_TRUE(rig.host2.done.empty());
}

// Local file calls that fail as a failing disk does: the second read of a
// file, or every close (the descriptor is closed all the same).
int g_readCalls = 0;
ssize_t SecondReadFails(int fd, void* buffer, size_t count) {
  if (++g_readCalls == 2) {
    errno = EIO;
    return -1;
  }
  return ::read(fd, buffer, count);
}
int CloseFails(int fd) {
  ::close(fd);
  errno = EIO;
  return -1;
}

// Puts local file calls in for one scope.
struct FileCallsScope {
  explicit FileCallsScope(const IoFtpFileCalls& calls) : saved(SetIoFtpFileCalls(calls)) {}
  ~FileCallsScope() { SetIoFtpFileCalls(saved); }
  IoFtpFileCalls saved;
};

void ReplacePath(std::string& text, const std::string& path) {
  if (const size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, path);
}

TEST(IoFtpFailures, EachEndsTheJobOnceWithItsCode) {
  enum Setup { kNone, kOffline, kUnknownNode, kAddressUnknown, kLoginRefused, kOpenRefused,
               kNoLocalFile, kSilentNode, kCloseStatus, kReadFails, kLocalCloseFails };
  struct Case {
    const char* name;
    Setup setup;
    uint16_t rcode;
    const char* text;   // the result text ("%s" = the local file), "" for none
    int logins, opens;
    int remoteCloses;   // closes the node received
    int logouts;        // logouts the node received
  } cases[] = {
      {"node offline", kOffline, RC_NODE_OFFLINE, "", 1, 0, 0, 0},
      {"no such node", kUnknownNode, RC_NO_NODE_FOR_RACK, "", 0, 0, 0, 0},
      {"library lost the address", kAddressUnknown, RC_COMM_FAILURE, "", 0, 0, 0, 0},
      {"login refused", kLoginRefused, RC_FTP_LOGIN_FAILED, "IOFTP login to node 127.0.2.1 failed.\n", 1, 0, 0, 0},
      {"open refused", kOpenRefused, RC_FTP_LOGIN_FAILED,
       "Unable to open file for put on 127.0.2.1, error = 0x0005\n", 1, 1, 0, 0},
      {"no local file", kNoLocalFile, RC_FILE_OPEN_FAILED, "", 1, 0, 0, 0},
      {"silent node", kSilentNode, RC_TIMEOUT, "", 1, 0, 0, 0},
      {"the close reports the transfer's result", kCloseStatus, 0x77, "", 1, 1, 1, 0},
      // The node got only the first buffer: the remote file is not closed
      // (the node would keep the part as the whole file) but logged out of.
      {"a read fails mid-file", kReadFails, RC_FILE_READ_FAILED,
       "Unable to read from file \"%s\", Input/output error.", 1, 1, 0, 1},
      // The file went whole; only this PC's close failed.
      {"the local close fails", kLocalCloseFails, RC_FILE_CLOSE_FAILED,
       "Unable to close file, Input/output error.", 1, 1, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FtpRig rig;
    std::string path = rig.File("f.bin", Pattern(3000));
    uint32_t nodeId = 1;
    IoFtpFileCalls calls;
    // A job already queued on the node, for the cases that must leave it so.
    IoFtpRequest* queued = nullptr;
    switch (c.setup) {
      case kOffline:
        // The queued job waits for its login when the node goes offline.
        rig.node.answer = false;
        queued = rig.Job(path);
        rig.ftp.OnIoFtpRequest(queued);
        rig.lib.At(kAddr).status = IPC_NODE_STATUS_OFFLINE;
        rig.nodes.Tick();
        rig.node.Answer(rig.lib, rig.ClientId());
        break;
      case kUnknownNode: nodeId = 99; break;
      case kAddressUnknown: rig.lib.Forget(kAddr); break;
      case kLoginRefused: rig.node.refuseLogin = true; break;
      case kOpenRefused: rig.node.openStatus = 5; break;
      case kNoLocalFile: path = rig.dir.path().string() + "/missing.cfg"; break;
      case kSilentNode: rig.node.answer = false; break;
      case kCloseStatus: rig.node.closeStatus = 0x77; break;
      case kReadFails: g_readCalls = 0; calls.read = &SecondReadFails; break;
      case kLocalCloseFails: calls.close = &CloseFails; break;
      default: break;
    }
    FileCallsScope scope(calls);
    rig.ftp.OnIoFtpRequest(rig.Job(path, "x", nodeId));
    if (queued != nullptr) {
      // Refused at once; the queued job still heads the queue alone.
      ASSERT_EQ(rig.host2.posts.size(), 1u);
      EXPECT_EQ(rig.host2.posts.front().first, WM_DOC_FTP_DONE);
      EXPECT_EQ(rig.Node()->ftpHead, queued);
      EXPECT_EQ(rig.Node()->ftpTail, queued);
      EXPECT_EQ(queued->link, nullptr);
      EXPECT_EQ(queued->Rcode, 0);
    }
    rig.Run(c.setup == kSilentNode ? 200 : 5);
    ASSERT_EQ(rig.host2.done.size(), 1u);
    const IoFtpRequest& done = *rig.host2.done[0];
    EXPECT_EQ(done.Rcode, c.rcode);
    if (*c.text != 0) {
      std::string text = c.text;
      ReplacePath(text, path);
      EXPECT_EQ(done.result.Format(), text);
    }
    EXPECT_EQ(done.file.fd, -1);
    EXPECT_EQ(rig.node.logins, c.logins);
    EXPECT_EQ(rig.node.opens, c.opens);
    EXPECT_EQ(rig.node.closes, c.remoteCloses);
    EXPECT_EQ(rig.node.logouts, c.logouts);
    if (const NodeEntry* n = rig.nodes.FindNode(1)) {
      EXPECT_EQ(n->ftpHead, queued);
      EXPECT_EQ(n->ftpTail, queued);
    }
  }
}

TEST(IoFtpFailures, AFailedReadLeavesTheNextJobToLogInAgainAndArriveWhole) {
  FtpRig rig;
  const auto content = Pattern(5000);
  const std::string path = rig.File("f.bin", content);
  g_readCalls = 0;
  {
    FileCallsScope scope(IoFtpFileCalls{&SecondReadFails, nullptr});
    rig.ftp.OnIoFtpRequest(rig.Job(path));
    rig.ftp.OnIoFtpRequest(rig.Job(path));
    rig.Run();
  }
  ASSERT_EQ(rig.host2.done.size(), 2u);
  EXPECT_EQ(rig.host2.done[0]->Rcode, RC_FILE_READ_FAILED);
  EXPECT_EQ(rig.host2.done[1]->Rcode, 0);
  EXPECT_EQ(rig.node.logins, 2);
  EXPECT_EQ(rig.node.opens, 2);
  EXPECT_EQ(rig.node.closes, 1);
  // What the node kept after the last open is the second file, whole.
  ASSERT_GE(rig.node.file.size(), content.size());
  EXPECT_TRUE(std::equal(content.begin(), content.end(), rig.node.file.end() - static_cast<std::ptrdiff_t>(content.size())));
}

// A local file that is missing or not a regular file ends the job at once
// with its name; a FIFO without a writer does not hold the UI thread.
TEST(IoFtpFailures, ALocalFileThatCannotBeSentNamesTheFileAndTheSystemError) {
  struct Case {
    const char* name;
    void (*make)(const std::string& path);
    const char* error;
  } cases[] = {
      {"missing", [](const std::string&) {}, "No such file or directory"},
      {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
       "Is a directory"},
      {"directory", [](const std::string& p) { std::filesystem::create_directory(p); },
       "Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FtpRig rig;
    const std::string path = rig.dir.path().string() + "/install.cfg";
    c.make(path);
    rig.ftp.OnIoFtpRequest(rig.Job(path));
    rig.Run();
    ASSERT_EQ(rig.host2.done.size(), 1u);
    EXPECT_EQ(rig.host2.done[0]->result.Format(),
              "Unable to open file \"" + path + "\", " + c.error + ".");
  }
}

TEST(IoFtpQueue, JobsRunInTurnOnOneLoginThatEndsFiftyTicksAfterTheLast) {
  FtpRig rig;
  const std::string a = rig.File("a", Pattern(2000)), b = rig.File("b", Pattern(10));
  rig.ftp.OnIoFtpRequest(rig.Job(a));
  rig.ftp.OnIoFtpRequest(rig.Job(b));
  rig.Ticks(1);  // the clients attach: login
  ASSERT_EQ(rig.host2.done.size(), 2u);
  EXPECT_EQ(rig.node.opens, 2);
  EXPECT_EQ(rig.node.logins, 1);
  // Within the idle time a new job uses the login, and the time starts again.
  rig.Ticks(49);
  EXPECT_EQ(rig.node.logouts, 0);
  rig.ftp.OnIoFtpRequest(rig.Job(b));
  rig.Settle();
  EXPECT_EQ(rig.host2.done.size(), 3u);
  rig.Ticks(49);
  EXPECT_EQ(rig.node.logins, 1);
  EXPECT_EQ(rig.node.logouts, 0);
  rig.Ticks(1);
  EXPECT_EQ(rig.node.logouts, 1);
  EXPECT_EQ(rig.Node()->flags & NODE_FLAG_FTP_LOGGED_IN, 0u);
  // After the logout the next job logs in again.
  rig.ftp.OnIoFtpRequest(rig.Job(b));
  rig.Settle();
  EXPECT_EQ(rig.host2.done.size(), 4u);
  EXPECT_EQ(rig.node.logins, 2);
}

TEST(IoFtpQueue, ShutdownReturnsEveryJobFlushedAndLogsOut) {
  FtpRig rig;
  const std::string a = rig.File("a", Pattern(50000));
  for (int i = 0; i < 3; ++i) rig.ftp.OnIoFtpRequest(rig.Job(a));
  // The first job is under way; the node stops answering after the login
  // and the open.
  rig.nodes.Tick();
  rig.node.Answer(rig.lib, rig.ClientId());  // login
  rig.host2.Serve(rig.ftp);                  // first read, open sent
  rig.node.Answer(rig.lib, rig.ClientId());  // open: blocks
  rig.node.answer = false;
  rig.host2.Serve(rig.ftp);
  rig.node.Answer(rig.lib, rig.ClientId());
  ASSERT_GT(rig.node.blocks.size(), 0u);
  rig.host2.shuttingDown = true;
  rig.ftp.FlushIoFtpQueue(rig.Node());
  rig.node.answer = true;
  rig.Run();
  ASSERT_EQ(rig.host2.done.size(), 3u);
  for (const auto& d : rig.host2.done) {
    EXPECT_EQ(d->Rcode, RC_FLUSHED);
    EXPECT_EQ(d->file.fd, -1);
  }
  EXPECT_EQ(rig.node.logouts, 1);
  EXPECT_EQ(rig.Node()->ftpHead, nullptr);
}

TEST(IoFtpQueue, DeletedNodeReturnsItsJobsAlsoTheOneBeingRead) {
  FtpRig rig;
  const std::string a = rig.File("a", Pattern(5000));
  rig.ftp.OnIoFtpRequest(rig.Job(a));
  rig.ftp.OnIoFtpRequest(rig.Job(a));
  rig.nodes.Tick();
  rig.node.Answer(rig.lib, rig.ClientId());  // login
  // The head is with the UI thread for its first read.
  ASSERT_EQ(rig.host2.posts.size(), 1u);
  ASSERT_EQ(rig.host2.posts.front().first, WM_DOC_FTP_READ);
  // The node leaves the tables and goes silent; its teardown ends with the
  // entry deleted while the head is still with the UI thread.
  rig.node.answer = false;
  rig.Load({}, {});
  for (int i = 0; i < 300 && rig.nodes.FindNode(1) != nullptr; ++i) rig.nodes.Tick();
  ASSERT_EQ(rig.nodes.FindNode(1), nullptr);
  ASSERT_EQ(rig.host2.posts.front().first, WM_DOC_FTP_READ);
  rig.host2.Serve(rig.ftp);
  ASSERT_EQ(rig.host2.done.size(), 2u);
  for (const auto& d : rig.host2.done) EXPECT_EQ(d->Rcode, RC_FLUSHED);
}

TEST(IoFtpEvents, ShortOrUnexpectedEventsChangeNothing) {
  FtpRig rig;
  rig.ftp.OnIoFtpRequest(rig.Job(rig.File("a", Pattern(10))));
  const uint8_t id = rig.ClientId();
  // A login answer without its handle is a refusal, not handle 0.
  rig.lib.Raise(IPC_SVR_IO_FTP, id, IO_FTP_EVNT_LOGIN, {0, 0, 0, 0});
  ASSERT_EQ(rig.host2.done.size(), 0u);
  rig.host2.Serve(rig.ftp);
  ASSERT_EQ(rig.host2.done.size(), 1u);
  EXPECT_EQ(rig.host2.done[0]->Rcode, RC_FTP_LOGIN_FAILED);
  // Events shorter than their status, an open nobody waits for, a close
  // nobody sent: ignored.
  rig.lib.Raise(IPC_SVR_IO_FTP, id, IO_FTP_EVNT_CLOSE, {0, 0});
  rig.lib.Raise(IPC_SVR_IO_FTP, id, IO_FTP_EVNT_OPEN, FtpNode::Status(32));
  rig.lib.Raise(IPC_SVR_IO_FTP, id, IO_FTP_EVNT_CLOSE, FtpNode::Status(3));
  rig.lib.Raise(IPC_SVR_IO_FTP, id, 999, FtpNode::Status(0));
  EXPECT_TRUE(rig.host2.posts.empty());
  EXPECT_EQ(rig.Node()->ftpHead, nullptr);
}

TEST(IoFtpEvents, CloseAnswerWhileTheLocalCloseIsLentLeavesTheJobToTheUiThread) {
  FtpRig rig;
  rig.node.holdClose = true;
  rig.ftp.OnIoFtpRequest(rig.Job(rig.File("a", Pattern(10))));
  rig.nodes.Tick();  // the clients attach: login
  // Run until the remote close is sent and the local one is with the UI
  // thread.
  for (int i = 0; i < 10 && rig.node.closes == 0; ++i) {
    rig.node.Answer(rig.lib, rig.ClientId());
    if (rig.node.closes == 0) rig.host2.Serve(rig.ftp);
  }
  ASSERT_EQ(rig.node.closes, 1);
  ASSERT_EQ(rig.host2.posts.size(), 1u);
  ASSERT_EQ(rig.host2.posts.front().first, WM_DOC_FTP_CLOSE);
  IoFtpRequest* lent = rig.host2.posts.front().second;
  // The node's answer comes while the UI thread holds the job: the job's
  // result is the UI thread's to write until it gives the job back.
  rig.lib.Raise(IPC_SVR_IO_FTP, rig.ClientId(), IO_FTP_EVNT_CLOSE, FtpNode::Status(0x77));
  EXPECT_EQ(lent->Rcode, 0);
  rig.Settle();
  ASSERT_EQ(rig.host2.done.size(), 1u);
  EXPECT_EQ(rig.host2.done[0]->Rcode, 0x77);
}

TEST(IoFtpFile, FatDateTimePacksLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  // 2021-03-04 05:06:08 UTC.
  EXPECT_EQ(FatDateTime(1614834368), (41u << 25) | (3u << 21) | (4u << 16) | (5u << 11) | (6u << 5) | 4u);
  EXPECT_EQ(FatDateTime(0), (1u << 21) | (1u << 16));
}

}  // namespace

namespace {

TEST(IoFtpEvents, LogoutEventMidTransferNeitherLogsInAgainNorStallsTheJob) {
  FtpRig rig;
  const auto content = Pattern(20000);
  rig.ftp.OnIoFtpRequest(rig.Job(rig.File("a", content)));
  rig.Ticks(1);  // login
  ASSERT_EQ(rig.host2.done.size(), 1u);
  rig.host2.done.clear();
  rig.node = FtpNode{};
  rig.node.seen = rig.lib.requests.size();
  rig.ftp.OnIoFtpRequest(rig.Job(rig.File("b", content)));
  // The node answers the open, then logs the PC out before the blocks.
  rig.host2.Serve(rig.ftp);
  rig.lib.Raise(IPC_SVR_IO_FTP, rig.ClientId(), IO_FTP_EVNT_LOGOUT, FtpNode::Status(0));
  rig.Settle();
  rig.Ticks(200);
  ASSERT_EQ(rig.host2.done.size(), 1u);
  EXPECT_EQ(rig.node.logins, 0);
  EXPECT_EQ(rig.node.file, content);
  EXPECT_EQ(rig.host2.done[0]->Rcode, 0);
}

}  // namespace

namespace {

// A job that has not started waits for the node to attach its service or
// answer the login; neither may hold the queue for ever.
TEST(IoFtpQueue, AJobWhoseNodeNeverAttachesItsServiceEndsAtItsDeadline) {
  FtpRig rig;
  rig.lib.attachedFtp.clear();
  rig.ftp.OnIoFtpRequest(rig.Job(rig.File("a", Pattern(10))));
  rig.ftp.OnIoFtpRequest(rig.Job(rig.File("b", Pattern(10))));
  rig.Run(400);
  ASSERT_EQ(rig.host2.done.size(), 2u);
  for (const auto& d : rig.host2.done) EXPECT_EQ(d->Rcode, RC_TIMEOUT);
  EXPECT_EQ(rig.node.logins, 0);
  EXPECT_EQ(rig.Node()->ftpHead, nullptr);
}

TEST(IoFtpQueue, AJobWhoseNodeIsTornDownBeforeItsServiceAttachedArrivesOnceTheNodeIsBack) {
  FtpRig rig;
  const auto content = Pattern(3000);
  rig.lib.attachedFtp.clear();
  rig.ftp.OnIoFtpRequest(rig.Job(rig.File("a", content)));
  rig.Ticks(100);
  ASSERT_TRUE(rig.host2.done.empty());
  // A port time-out tears the node down and connects it again; its
  // connection comes back only after a long while, and the service with it.
  rig.Node()->flags |= NODE_FLAG_DISCONNECT | NODE_FLAG_RECONNECT | NODE_FLAG_RECONNECT_NOW;
  rig.lib.attachedKrn.clear();
  for (int i = 0; i < 200 && rig.Node()->state != NODE_STATE_CONNECTING; ++i) rig.Ticks(1);
  ASSERT_EQ(rig.Node()->state, static_cast<uint32_t>(NODE_STATE_CONNECTING));
  rig.Ticks(200);
  ASSERT_TRUE(rig.host2.done.empty());
  rig.lib.attachedKrn.insert(rig.ClientId());
  rig.lib.attachedFtp.insert(rig.ClientId());
  for (int i = 0; i < 140 && rig.host2.done.empty(); ++i) {
    rig.Ticks(1);
    if ((rig.Node()->flags & NODE_FLAG_PORT_OPENING) != 0) rig.AnswerOpen(1, 10);
  }
  ASSERT_EQ(rig.host2.done.size(), 1u);
  EXPECT_EQ(rig.host2.done[0]->Rcode, 0);
  EXPECT_EQ(rig.node.file, content);
}

}  // namespace
