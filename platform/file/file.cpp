#include "platform/file/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace platform::file {

ReadResult ReadRegularFile(const std::filesystem::path& path, std::size_t maxBytes,
                           std::string& out, int& error) {
  out.clear();
  error = 0;
  // The name is looked at first, so that a FIFO or a device is not even
  // opened; the descriptor is looked at again, in case the name changed
  // hands in between, and opened without waiting for a FIFO's writer.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = errno;
    return error == ENOENT || error == ENOTDIR ? ReadResult::kMissing : ReadResult::kFailed;
  }
  if (!S_ISREG(st.st_mode)) return ReadResult::kNotRegular;
  if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) return ReadResult::kTooLarge;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = errno;
    return error == ENOENT || error == ENOTDIR ? ReadResult::kMissing : ReadResult::kFailed;
  }
  ReadResult result = ReadResult::kOk;
  if (::fstat(fd, &st) != 0) {
    error = errno;
    result = ReadResult::kFailed;
  } else if (!S_ISREG(st.st_mode)) {
    result = ReadResult::kNotRegular;
  } else {
    // A file that grows while it is read is still read no further than one
    // byte past the bound.
    out.resize(maxBytes + 1);
    std::size_t got = 0;
    while (got < out.size()) {
      const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = errno;
        result = ReadResult::kFailed;
        break;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (result == ReadResult::kOk && got > maxBytes) result = ReadResult::kTooLarge;
    out.resize(result == ReadResult::kOk ? got : 0);
  }
  ::close(fd);
  return result;
}

std::string ReadResultText(ReadResult result, std::size_t maxBytes, int error) {
  switch (result) {
    case ReadResult::kOk:
      return "read";
    case ReadResult::kMissing:
      return "no such file";
    case ReadResult::kNotRegular:
      return "not a regular file";
    case ReadResult::kTooLarge:
      return "larger than " + std::to_string(maxBytes) + " bytes";
    case ReadResult::kFailed:
      break;
  }
  return std::strerror(error != 0 ? error : EIO);
}

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::filesystem::path& path, bool truncate) {
  Close();
  notRegular_ = false;
  const int flags =
      O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (truncate ? O_TRUNC : 0);
  fd_ = ::open(path.c_str(), flags, 0644);
  if (fd_ < 0) {
    error_ = errno;
    return false;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    error_ = EINVAL;
    notRegular_ = true;
    Close();
    return false;
  }
  return true;
}

std::string AppendFile::ErrorText() const {
  if (notRegular_) return "not a regular file";
  return std::strerror(error_ != 0 ? error_ : EIO);
}

void AppendFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool AppendFile::Append(const void* data, std::size_t n) {
  if (fd_ < 0) {
    if (error_ == 0) error_ = EBADF;
    return false;
  }
  notRegular_ = false;
  const char* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd_, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      error_ = w < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<std::size_t>(w);
  }
  if (done == n) return true;
  if (done > 0) {
    // Appending leaves the offset at the end of what was written: the
    // record began `done` bytes before it.
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end < static_cast<off_t>(done) || ::ftruncate(fd_, end - static_cast<off_t>(done)) != 0)
      Close();
  }
  return false;
}

}  // namespace platform::file
