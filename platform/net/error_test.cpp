#include <cerrno>
#include <set>

#include <gtest/gtest.h>

#include "net/error.h"

namespace net {
namespace {

TEST(WinsockError, MapsSocketErrnosToTheirWinsockNumbers) {
  const struct {
    int errnoValue;
    int winsock;
  } cases[] = {
      {EWOULDBLOCK, 10035}, {EAGAIN, 10035},        {EADDRINUSE, 10048},  {EADDRNOTAVAIL, 10049},
      {ENETUNREACH, 10051}, {ENOBUFS, 10055},       {EMSGSIZE, 10040},    {ECONNREFUSED, 10061},
      {EACCES, 10013},      {EPERM, 10013},         {EINVAL, 10022},      {EBADF, 10009},
      {EAFNOSUPPORT, 10047}, {EHOSTUNREACH, 10065}, {ENOTSOCK, 10038},    {ECONNRESET, 10054},
      {EMFILE, 10024},      {ENFILE, 10024},        {EINTR, 10004},       {ENOMEM, 10055},
      {0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WinsockError(c.errnoValue), c.winsock) << "errno " << c.errnoValue;
  }
}

TEST(WinsockError, OtherErrnosAre10000PlusErrno) {
  EXPECT_EQ(WinsockError(ENOENT), 10000 + ENOENT);
  EXPECT_EQ(WinsockError(EPIPE), 10000 + EPIPE);
  EXPECT_EQ(WinsockError(ENOSPC), 10000 + ENOSPC);
}

// 10000 + EDEADLK is 10035, "would block": taken at its word, a failure
// would read as "nothing waiting" and vanish.
TEST(WinsockError, UnmappedErrnoNeverPosesAsAnotherWinsockError) {
  EXPECT_EQ(WinsockError(EDEADLK), err::kSysCallFailure);
  EXPECT_EQ(WinsockError(ENOSYS), err::kSysCallFailure);

  // No other errno may produce the number of one of these meanings.
  const std::set<int> mapped = {EWOULDBLOCK, EADDRINUSE, EADDRNOTAVAIL, ENETUNREACH, ENOBUFS,
                                EMSGSIZE, ECONNREFUSED, EACCES, EINVAL, EBADF, EAFNOSUPPORT,
                                EHOSTUNREACH, ENOTSOCK, ECONNRESET, EMFILE, EINTR, ENOTCONN,
                                ETIMEDOUT, EINPROGRESS, EALREADY, ENETDOWN, EISCONN};
  const std::set<int> aliases = {EPERM, ENFILE, ENOMEM};  // deliberately the same meaning
  std::set<int> meanings;
  for (int e : mapped) meanings.insert(WinsockError(e));
  for (int e = 1; e < 200; ++e) {
    const int w = WinsockError(e);
    EXPECT_GE(w, 10000) << "errno " << e << " collides with the library's codes";
    if (mapped.count(e) == 0 && aliases.count(e) == 0) {
      EXPECT_EQ(meanings.count(w), 0u) << "errno " << e << " reads as Winsock " << w;
    }
  }
  EXPECT_EQ(WinsockError(-1), err::kSysCallFailure);
}

}  // namespace
}  // namespace net
