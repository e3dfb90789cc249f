#include "FtpServer.h"

#include "SimEvent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "Rle.h"

namespace nodesim {
namespace {

FtpServer* gFtp = nullptr;

constexpr uint8_t kLogin = 1, kLogout = 2, kOpenPut = 3, kBlock = 4, kBlockAck = 5, kClose = 8;
constexpr uint16_t kEvntLogin = 257, kEvntLogout = 258, kEvntOpen = 259, kEvntAck = 260,
                   kEvntClose = 264;
constexpr uint16_t kShortLength = 46;
constexpr uint16_t kBlockLength = 1242;
constexpr uint16_t kBlockData = 24, kBlockDataSize = 1184, kBlockBounds = 1208;
constexpr int kMaxPieces = 16;
constexpr uint16_t kPieceSize = 256;
constexpr size_t kNameFit = 28;  // remote name field, terminator included

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string Field(const uint8_t* p, size_t width) {
  const auto* c = reinterpret_cast<const char*>(p);
  return std::string(c, strnlen(c, width));
}

std::string Dotted(uint32_t a) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return buf;
}

// The last component of a remote name; empty when none is usable.
std::string LeafName(const std::string& remote) {
  const size_t slash = remote.find_last_of("/\\");
  std::string leaf = slash == std::string::npos ? remote : remote.substr(slash + 1);
  if (leaf == "." || leaf == "..") return "";
  for (char c : leaf)
    if (static_cast<unsigned char>(c) < 0x20) return "";
  return leaf;
}

// A FAT date-time as a time in local time; -1 when it names no date.
time_t FromFat(uint32_t v) {
  std::tm tm{};
  tm.tm_sec = static_cast<int>((v & 31) * 2);
  tm.tm_min = static_cast<int>((v >> 5) & 63);
  tm.tm_hour = static_cast<int>((v >> 11) & 31);
  tm.tm_mday = static_cast<int>((v >> 16) & 31);
  tm.tm_mon = static_cast<int>((v >> 21) & 15) - 1;
  tm.tm_year = static_cast<int>(v >> 25) + 80;
  tm.tm_isdst = -1;
  if (tm.tm_mday < 1 || tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_hour > 23 || tm.tm_min > 59 ||
      tm.tm_sec > 59)
    return -1;
  return std::mktime(&tm);
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

FtpServer::~FtpServer() {
  Reset();
  if (gFtp == this) gFtp = nullptr;
}

int FtpServer::OnRequest(const IpcComProcHdr* request) {
  return gFtp != nullptr && request != nullptr ? gFtp->Serve(request) : 0;
}

bool FtpServer::Start(const FtpOptions& options, std::string* error) {
  options_ = options;
  if (options_.dir.empty()) return true;
  struct stat st {};
  if (::stat(options_.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "IO_FTP directory " + options_.dir + " is not a directory";
    return false;
  }
  gFtp = this;
  static const IpcComProcEntry procs[] = {
      {kLogin, 0, &FtpServer::OnRequest},  {kLogout, 0, &FtpServer::OnRequest},
      {kOpenPut, 0, &FtpServer::OnRequest}, {kBlock, 0, &FtpServer::OnRequest},
      {kBlockAck, 0, &FtpServer::OnRequest}, {kClose, 0, &FtpServer::OnRequest}};
  static const uint8_t events[] = {1};
  if (IpcSvrAndSvcCreate(IPC_SVR_IO_FTP, kFtpSvrIndx, kFtpVersion, kFtpVersion, kClose, procs,
                         static_cast<uint8_t>(std::size(procs)), events,
                         static_cast<uint8_t>(std::size(events))) != 1) {
    *error = "IO_FTP server not registered";
    return false;
  }
  IpcSvrLocationSet(IPC_SVR_IO_FTP, kFtpSvrIndx, IPC_HOST_KIND_LOCAL, kFtpSvrIndx, 0, 0, 0, 0, 0);
  return true;
}

void FtpServer::Reset() {
  for (auto& [handle, login] : logins_) Abandon(login);
  logins_.clear();
}

void FtpServer::Abandon(Login& login) {
  if (login.fd >= 0) {
    ::close(login.fd);
    ::unlink(login.part.c_str());
  }
  login.fd = -1;
}

void FtpServer::Send(uint8_t pcNode, uint16_t code, uint16_t status, uint8_t handle) {
  // Status at +20 and the handle at +22 of the event.
  const uint8_t data[6] = {0, 0, static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8), handle, 0};
  const int rc = RaiseToPc(IPC_SVR_IO_FTP, kFtpSvrIndx, pcNode, code, data, sizeof data);
  char line[96];
  std::snprintf(line, sizeof line, "ftp evt %u status %u handle %u rc %d", code, status, handle, rc);
  trace_(line);
}

int FtpServer::Serve(const IpcComProcHdr* request) {
  // The request is the library's copy: read within its own length.
  const uint16_t length = std::min<uint16_t>(uint16_t{request->length}, IPC_MAX_MSG_LEN);
  const auto* p = reinterpret_cast<const uint8_t*>(request);
  const uint8_t proc = request->procId;
  if (length < 18) {
    trace_("ftp req " + std::to_string(proc) + " short " + std::to_string(length));
    return 0;
  }
  if (proc == kLogin) {
    DoLogin(p, length);
    return 0;
  }
  const uint8_t handle = p[16];
  auto it = logins_.find(handle);
  if (it == logins_.end()) {
    trace_("ftp req " + std::to_string(proc) + " unknown login " + std::to_string(handle));
    return 0;
  }
  Login& login = it->second;
  switch (proc) {
    case kLogout: {
      const uint8_t pc = login.pcNode;
      Abandon(login);
      logins_.erase(it);
      trace_("ftp logout " + std::to_string(handle));
      Send(pc, kEvntLogout, kFtpOk, handle);
      break;
    }
    case kOpenPut:
      DoOpen(login, p, length);
      break;
    case kBlock:
    case kBlockAck:
      DoBlock(login, p, length, proc == kBlockAck);
      break;
    case kClose:
      DoClose(login, handle, p, length);
      break;
    default:
      break;
  }
  return 0;
}

void FtpServer::DoLogin(const uint8_t* p, uint16_t length) {
  if (length < kShortLength) {
    trace_("ftp login short " + std::to_string(length));
    return;
  }
  const uint32_t pc = Get32(p + 18);
  const uint8_t pcNode = IpcNetNodeAddrExists(pc);
  const std::string user = Field(p + 24, 10), password = Field(p + 34, 10);
  trace_("ftp login from " + Dotted(pc) + " user " + user);
  if (user != "UserName" || password != "Tamarind") {
    Send(pcNode, kEvntLogin, kFtpRefused, 0);
    return;
  }
  // A handle no login holds, never 0.
  uint8_t handle = 0;
  for (int i = 0; i < 255 && handle == 0; ++i) {
    lastHandle_ = static_cast<uint8_t>(lastHandle_ == 255 ? 1 : lastHandle_ + 1);
    if (logins_.count(lastHandle_) == 0) handle = lastHandle_;
  }
  if (handle == 0) {
    Send(pcNode, kEvntLogin, kFtpRefused, 0);
    return;
  }
  logins_[handle].pcNode = pcNode;
  Send(pcNode, kEvntLogin, kFtpOk, handle);
}

void FtpServer::DoOpen(Login& login, const uint8_t* p, uint16_t length) {
  Abandon(login);
  const std::string remote = Field(p + 18, std::min<size_t>(kNameFit, length - 18u));
  const std::string leaf = LeafName(remote);
  trace_("ftp open " + remote);
  if (leaf.empty()) {
    Send(login.pcNode, kEvntOpen, kFtpBadName, 0);
    return;
  }
  login.name = options_.dir + "/" + leaf;
  login.part = options_.dir + "/." + leaf + ".part";
  login.fd = ::open(login.part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  login.nextBlock = 1;
  login.bytes = 0;
  login.error = 0;
  if (login.fd < 0) {
    Send(login.pcNode, kEvntOpen, kFtpCannotCreate, 0);
    return;
  }
  Send(login.pcNode, kEvntOpen, options_.packed ? kFtpOpenPacked : kFtpOk, 0);
}

void FtpServer::DoBlock(Login& login, const uint8_t* p, uint16_t length, bool ack) {
  const uint16_t number = length >= 24 ? Get16(p + 22) : 0;
  const uint16_t raw = length >= 20 ? Get16(p + 18) : 0;
  const bool packed = length >= 22 && Get16(p + 20) != 0;
  char line[96];
  std::snprintf(line, sizeof line, "ftp block %u raw %u packed %d%s", number, raw, packed ? 1 : 0,
                ack ? " ack" : "");
  trace_(line);
  auto fault = [&](uint16_t code) {
    if (login.error == 0) login.error = code;
  };
  if (login.fd < 0) {
    fault(kFtpNotOpen);
  } else if (length < kBlockLength || number != login.nextBlock || raw > kMaxPieces * kPieceSize ||
             (!packed && raw > kBlockDataSize) || (packed && !options_.packed)) {
    fault(kFtpBadBlock);
  } else if (login.error == 0) {
    uint8_t out[kMaxPieces * kPieceSize];
    uint16_t got = 0;
    if (!packed) {
      std::memcpy(out, p + kBlockData, raw);
      got = raw;
    } else {
      // The pieces lie between the boundaries; each unpacks to at most 256
      // bytes, the last to what is left of the raw count.
      for (int i = 0; i < kMaxPieces && got < raw; ++i) {
        const uint16_t from = Get16(p + kBlockBounds + 2 * i);
        const uint16_t to = Get16(p + kBlockBounds + 2 * (i + 1));
        const auto n = static_cast<uint16_t>(std::min<int>(kPieceSize, raw - got));
        if (to <= from || to > kBlockDataSize ||
            RleDecode(p + kBlockData + from, static_cast<uint16_t>(to - from), out + got, n, 4) != n) {
          got = 0;
          break;
        }
        got = static_cast<uint16_t>(got + n);
      }
      if (got != raw) fault(kFtpBadBlock);
    }
    if (login.error == 0 && !WriteAll(login.fd, out, got)) fault(kFtpWriteFailed);
    login.bytes += got;
  }
  ++login.nextBlock;
  if (ack) Send(login.pcNode, kEvntAck, kFtpOk, 0);
}

void FtpServer::DoClose(Login& login, uint8_t handle, const uint8_t* p, uint16_t length) {
  if (login.fd < 0) {
    trace_("ftp close without open");
    Send(login.pcNode, kEvntClose, kFtpNotOpen, handle);
    return;
  }
  uint16_t status = login.error;
  if (status == 0 && ::fsync(login.fd) != 0) status = kFtpWriteFailed;
  if (::close(login.fd) != 0 && status == 0) status = kFtpWriteFailed;
  login.fd = -1;
  if (status == 0 && length >= 22) {
    const time_t t = FromFat(Get32(p + 18));
    if (t >= 0) {
      const timespec times[2] = {{t, 0}, {t, 0}};
      ::utimensat(AT_FDCWD, login.part.c_str(), times, 0);
    }
  }
  if (status == 0 && ::rename(login.part.c_str(), login.name.c_str()) != 0) status = kFtpWriteFailed;
  if (status != 0) ::unlink(login.part.c_str());
  if (status == 0) ++files_;
  trace_("ftp close " + login.name + " bytes " + std::to_string(login.bytes) + " status " +
         std::to_string(status));
  Send(login.pcNode, kEvntClose, status, handle);
}

}  // namespace nodesim
