// The local file of an IO_FTP job (see IoFtpFile.h).
#include "IoFtpFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "RcCodes.h"

namespace {

IoFtpFileCalls g_calls;

ssize_t ReadFile(int fd, void* buffer, size_t count) {
  return g_calls.read != nullptr ? g_calls.read(fd, buffer, count) : ::read(fd, buffer, count);
}

int CloseFile(int fd) { return g_calls.close != nullptr ? g_calls.close(fd) : ::close(fd); }

std::string ErrorText(int error) {
  char buf[128];
  // GNU strerror_r returns the text (maybe not in buf).
  return strerror_r(error, buf, sizeof buf);
}

std::string LocalName(const IoFtpRequest& request) {
  return std::string(request.localName, strnlen(request.localName, kIoFtpNameSize));
}

void ForgetFile(IoFtpLocalFile& file) {
  file.fd = -1;
  file.buffer.reset();
  file.bytesLeft = 0;
}

}  // namespace

uint32_t FatDateTime(std::time_t t) {
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr || tm.tm_year < 80) return (1u << 16) | (1u << 21);
  const uint32_t years = std::min<uint32_t>(static_cast<uint32_t>(tm.tm_year - 80), 127);
  return static_cast<uint32_t>(tm.tm_sec / 2) | (static_cast<uint32_t>(tm.tm_min) << 5) |
         (static_cast<uint32_t>(tm.tm_hour) << 11) | (static_cast<uint32_t>(tm.tm_mday) << 16) |
         (static_cast<uint32_t>(tm.tm_mon + 1) << 21) | (years << 25);
}

void IoFtpReadLocal(IoFtpRequest* request) {
  IoFtpLocalFile& file = request->file;
  if (file.fd < 0) {
    const std::string name = LocalName(*request);
    // Opened without waiting, so that a FIFO in the file's place cannot
    // hold the UI thread; only a regular file is sent.
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      const int error = fd < 0 ? errno : (S_ISREG(st.st_mode) ? errno : EISDIR);
      if (fd >= 0) ::close(fd);
      ForgetFile(file);
      request->Rcode = RC_FILE_OPEN_FAILED;
      request->result.Set("Unable to open file \"%s\", %s.", CompletionArg::Text(name),
                          CompletionArg::Text(ErrorText(error)));
      return;
    }
    file.fd = fd;
    file.size = static_cast<uint32_t>(std::min<off_t>(st.st_size, UINT32_MAX));
    file.dateTime = FatDateTime(st.st_mtime);
    file.buffer = std::make_unique<uint8_t[]>(kIoFtpBufferSize);
    file.eof = false;
  }
  size_t got = 0;
  while (got < kIoFtpBufferSize) {
    const ssize_t n = ReadFile(file.fd, file.buffer.get() + got, kIoFtpBufferSize - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      CloseFile(file.fd);
      ForgetFile(file);
      request->Rcode = RC_FILE_READ_FAILED;
      request->result.Set("Unable to read from file \"%s\", %s.",
                          CompletionArg::Text(LocalName(*request)),
                          CompletionArg::Text(ErrorText(error)));
      return;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  file.bytesLeft = static_cast<int32_t>(got);
  file.offset = 0;
  if (got < kIoFtpBufferSize) file.eof = true;
}

void IoFtpCloseLocal(IoFtpRequest* request) {
  IoFtpLocalFile& file = request->file;
  if (file.fd >= 0 && CloseFile(file.fd) != 0 && request->Rcode == 0) {
    const int error = errno;
    request->Rcode = RC_FILE_CLOSE_FAILED;
    request->result.Set("Unable to close file, %s.", CompletionArg::Text(ErrorText(error)));
  }
  ForgetFile(file);
}

IoFtpFileCalls SetIoFtpFileCalls(const IoFtpFileCalls& calls) {
  const IoFtpFileCalls previous = g_calls;
  g_calls = calls;
  return previous;
}
