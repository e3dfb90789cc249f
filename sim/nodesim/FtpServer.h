// The node simulator's IO_FTP service, server 21/1: login with the nodes'
// user name and password, files received into one directory (open for
// put, numbered blocks raw or run-length packed, acknowledgements on
// request, close with the file's FAT date-time), logout.  A file appears
// under its remote name's last component only once it is closed whole;
// until then it is written to a ".part" file beside it.
//
// Every value of a request is bounded by the request's own length and each
// field's width before it is used; a request that does not fit is traced
// and answered with an error status where the client waits for an answer.
//
// Ownership: one FtpServer per process (the procedure function reaches it
// through a process-wide pointer).  Everything runs on the caller's thread,
// the procedures inside the library's polls.
#ifndef SIM_NODESIM_FTPSERVER_H
#define SIM_NODESIM_FTPSERVER_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "tessio32.h"

namespace nodesim {

constexpr uint8_t kFtpSvrIndx = 1;
constexpr const char* kFtpVersion = "1.5";

// Statuses the server answers with.
constexpr uint16_t kFtpOk = 0;
constexpr uint16_t kFtpOpenPacked = 32;   // opened, packed blocks accepted
constexpr uint16_t kFtpRefused = 1;       // login refused
constexpr uint16_t kFtpBadName = 2;       // open: no usable name
constexpr uint16_t kFtpCannotCreate = 3;  // open: the file cannot be made
constexpr uint16_t kFtpNotOpen = 4;       // block or close without an open file
constexpr uint16_t kFtpBadBlock = 5;      // close: a block was out of order or malformed
constexpr uint16_t kFtpWriteFailed = 6;   // close: writing or renaming failed

struct FtpOptions {
  std::string dir;        // where files are received; empty: no service
  bool packed = true;     // accept run-length packed blocks
};

class FtpServer {
 public:
  using Trace = std::function<void(const std::string& line)>;

  explicit FtpServer(Trace trace) : trace_(std::move(trace)) {}
  ~FtpServer();
  FtpServer(const FtpServer&) = delete;
  FtpServer& operator=(const FtpServer&) = delete;

  // Registers the server with the running library.  False with a reason.
  bool Start(const FtpOptions& options, std::string* error);
  // The library was restarted: every login and open file is forgotten
  // (part files removed).
  void Reset();

  uint32_t filesReceived() const { return files_; }

 private:
  struct Login {
    uint8_t pcNode = 0;
    int fd = -1;
    std::string name;   // final path
    std::string part;   // path being written
    uint16_t nextBlock = 1;
    uint32_t bytes = 0;
    uint16_t error = 0;  // first fault of the open file
  };

  static int OnRequest(const IpcComProcHdr* request);
  int Serve(const IpcComProcHdr* request);
  void DoLogin(const uint8_t* p, uint16_t length);
  void DoOpen(Login& login, const uint8_t* p, uint16_t length);
  void DoBlock(Login& login, const uint8_t* p, uint16_t length, bool ack);
  void DoClose(Login& login, uint8_t handle, const uint8_t* p, uint16_t length);
  void Abandon(Login& login);
  void Send(uint8_t pcNode, uint16_t code, uint16_t status, uint8_t handle);

  Trace trace_;
  FtpOptions options_;
  std::map<uint8_t, Login> logins_;  // by login handle
  uint8_t lastHandle_ = 0;
  uint32_t files_ = 0;
};

}  // namespace nodesim

#endif
