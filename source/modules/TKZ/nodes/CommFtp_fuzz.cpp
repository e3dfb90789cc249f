// The IO_FTP client under arbitrary events, in arbitrary order and length,
// interleaved with ticks and with the UI thread's reads and closes: it may
// neither read outside an event nor hand a job back twice or never.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <vector>

#include "CommFtp.h"
#include "FuzzInput.h"
#include "NodeTestSupport.h"
#include "ThreadMsgs.h"

namespace {

constexpr uint32_t kAddr = 0x7F000201;

class Host final : public CommFtpHost {
 public:
  std::deque<std::pair<uint32_t, IoFtpRequest*>> lent;
  std::set<IoFtpRequest*> done;
  int doneCount = 0;
  bool PostFtpToFrame(uint32_t message, IoFtpRequest* request) override {
    if (message == WM_DOC_FTP_DONE) {
      if (!done.insert(request).second) __builtin_trap();  // handed back twice
      ++doneCount;
    } else {
      lent.emplace_back(message, request);
    }
    return true;
  }
  bool FtpShuttingDown() const override { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FakeNodeLibrary lib;
  FakeNodesHost nodesHost;
  Host host;
  std::vector<IoFtpRequest*> jobs;
  {
    CommNodes nodes(lib, nodesHost);
    CommFtp ftp(lib, nodes, host);
    NodeDesc d{1, kAddr, "n", {1, 0, 0, 0, 0, 0}};
    nodes.OnAddNode(d);
    lib.Know(kAddr, 4);
    lib.attachedKrn.insert(nodes.FindNode(1)->clientId);
    lib.attachedFtp.insert(nodes.FindNode(1)->clientId);
    nodes.Tick();
    nodes.Tick();
    for (int i = 0; i < 2; ++i) {
      auto* job = new IoFtpRequest;
      job->nodeId = 1;
      jobs.push_back(job);
      ftp.OnIoFtpRequest(job);
    }
    FuzzInput in{data, size};
    static const uint16_t kCodes[] = {257, 258, 259, 260, 264, 300};
    while (in.n > 0) {
      const uint8_t op = in.Byte();
      if (op < 0x40) {
        // An event of some code, some length, some bytes.
        const uint16_t code = kCodes[op % std::size(kCodes)];
        std::vector<uint8_t> body(in.Byte() % 12);
        for (uint8_t& b : body) b = in.Byte();
        lib.Raise(IPC_SVR_IO_FTP, nodes.FindNode(1) ? nodes.FindNode(1)->clientId : 1, code, body);
      } else if (op < 0x80) {
        for (int t = op % 8; t >= 0; --t) {
          nodes.Tick();
          ftp.Tick();
        }
      } else if (!host.lent.empty()) {
        // The UI thread serves the oldest lent job.
        auto [message, job] = host.lent.front();
        host.lent.pop_front();
        if (message == WM_DOC_FTP_READ) {
          const uint32_t n = in.Byte() * 5u;
          if (!job->file.buffer) job->file.buffer = std::make_unique<uint8_t[]>(kIoFtpBufferSize);
          job->file.bytesLeft = static_cast<int32_t>(std::min(n, kIoFtpBufferSize));
          for (int32_t k = 0; k < job->file.bytesLeft; ++k) job->file.buffer[k] = in.Byte();
          job->file.offset = 0;
          job->file.eof = n < kIoFtpBufferSize;
          if ((op & 1) != 0) job->Rcode = 0x407;
        } else {
          job->file.buffer.reset();
        }
        ftp.OnIoFtpContinue(job);
      }
    }
    // Give every lent job back and let the deadlines run out: each job ends.
    for (int round = 0; round < 400 && host.doneCount < 2; ++round) {
      while (!host.lent.empty()) {
        auto [message, job] = host.lent.front();
        host.lent.pop_front();
        if (message == WM_DOC_FTP_READ) {
          job->file.bytesLeft = 0;
          job->file.eof = true;
        }
        ftp.OnIoFtpContinue(job);
      }
      nodes.Tick();
      ftp.Tick();
    }
    if (host.doneCount != 2) {
      const NodeEntry* n = nodes.FindNode(1);
      if (n != nullptr && n->ftpHead != nullptr)
        std::fprintf(stderr, "hanging: state %u flags 0x%x xfer 0x%x started %d lent %d countdown %d rcode %d\n",
                     n->ftpSendState, n->flags, n->ftpTransferFlags, n->ftpHead->started,
                     n->ftpHead->lent, n->ftpHead->responseCountdown, n->ftpHead->Rcode);
      __builtin_trap();  // a job left hanging
    }
  }
  for (IoFtpRequest* job : jobs) delete job;
  return 0;
}
