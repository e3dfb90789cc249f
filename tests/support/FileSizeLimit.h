// A stand-in for a full disk in tests: while one of these exists, no file of
// the process grows past the given size.  The kernel then cuts a write short
// at the limit and fails the next one (EFBIG), as a filling disk does
// (ENOSPC); removing it is the space coming back.
#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace drovana::test {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    // The failed write is to fail, not to end the process.
    signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_);
    rlimit r = old_;
    r.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old_); }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
};

}  // namespace drovana::test
