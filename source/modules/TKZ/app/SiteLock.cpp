#include "SiteLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

SiteLock::Result SiteLock::Take(const std::string& path) {
  Release();
  holder_ = 0;
  why_.clear();
  // Readable by every user, as the site's other files; a read-only site
  // directory still lets an existing file be locked.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0 && (errno == EROFS || errno == EACCES || errno == EPERM))
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    why_ = std::strerror(errno);
    return Result::kUnavailable;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) {
      char text[24] = {};
      const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
      const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
      holder_ = pid > 0 ? static_cast<pid_t>(pid) : 0;
      ::close(fd);
      return Result::kTaken;
    }
    ::close(fd);
    why_ = std::strerror(err);
    return Result::kUnavailable;
  }
  // The holder's process id, for the message of a second server.
  char text[24];
  const int len = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(::getpid()));
  // Only a hint: a file opened read-only keeps the old text.
  const bool written = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, text, static_cast<size_t>(len), 0) == len;
  (void)written;
  fd_ = fd;
  return Result::kHeld;
}

void SiteLock::Release() {
  if (fd_ < 0) return;
  ::close(fd_);  // lets go of the lock
  fd_ = -1;
}
