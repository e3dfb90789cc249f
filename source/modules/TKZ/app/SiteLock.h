// One server per site: an exclusive lock (flock) on a file beside the
// database, "<database file>.lock" in the site directory, held for as long
// as the SiteLock lives.  The kernel lets go of it however the process ends
// (a crash or kill -9 included), so nothing is left that blocks a restart;
// the file itself stays and holds the process id of its last holder.
//
// Threads: any one thread.  Ownership: owns the lock file's descriptor
// (close-on-exec).
#pragma once

#include <string>
#include <sys/types.h>

class SiteLock {
 public:
  enum class Result {
    kHeld,         // this process holds the lock now
    kTaken,        // another process holds it (holder() names it when known)
    kUnavailable,  // the file can be neither made nor opened (why() says why)
  };

  SiteLock() = default;
  ~SiteLock() { Release(); }
  SiteLock(const SiteLock&) = delete;
  SiteLock& operator=(const SiteLock&) = delete;

  // The lock file of a database file (a path, relative to the current
  // directory or absolute).
  static std::string PathFor(const std::string& databaseFile) { return databaseFile + ".lock"; }

  // Takes the lock without waiting.
  Result Take(const std::string& path);
  void Release();
  bool Held() const { return fd_ >= 0; }

  // After kTaken: the holder's process id, 0 when it did not write one yet.
  pid_t holder() const { return holder_; }
  // After kUnavailable: the system's text for the failure.
  const std::string& why() const { return why_; }

 private:
  int fd_ = -1;
  pid_t holder_ = 0;
  std::string why_;
};
