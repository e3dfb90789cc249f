#include "net/error.h"

#include <cerrno>

namespace net {
namespace {

struct Mapping {
  int errnoValue;
  int winsock;
};

constexpr Mapping kTable[] = {
    {EINTR, err::kInterrupted},
    {EBADF, err::kBadDescriptor},
    {EACCES, err::kAccess},
    {EPERM, err::kAccess},
    {EFAULT, err::kFault},
    {EINVAL, err::kInvalid},
    {EMFILE, err::kTooManyFiles},
    {ENFILE, err::kTooManyFiles},
    {EWOULDBLOCK, err::kWouldBlock},
    {EAGAIN, err::kWouldBlock},
    {EINPROGRESS, err::kInProgress},
    {EALREADY, err::kAlready},
    {ENOTSOCK, err::kNotSocket},
    {EDESTADDRREQ, err::kDestAddrRequired},
    {EMSGSIZE, err::kMessageSize},
    {EPROTOTYPE, err::kProtoType},
    {ENOPROTOOPT, err::kNoProtoOpt},
    {EPROTONOSUPPORT, err::kProtoNoSupport},
    {ESOCKTNOSUPPORT, err::kSockTypeNoSupport},
    {EOPNOTSUPP, err::kOpNotSupported},
    {EPFNOSUPPORT, err::kPfNoSupport},
    {EAFNOSUPPORT, err::kAfNoSupport},
    {EADDRINUSE, err::kAddrInUse},
    {EADDRNOTAVAIL, err::kAddrNotAvail},
    {ENETDOWN, err::kNetDown},
    {ENETUNREACH, err::kNetUnreachable},
    {ENETRESET, err::kNetReset},
    {ECONNABORTED, err::kConnAborted},
    {ECONNRESET, err::kConnReset},
    {ENOBUFS, err::kNoBuffers},
    {ENOMEM, err::kNoBuffers},
    {EISCONN, err::kIsConnected},
    {ENOTCONN, err::kNotConnected},
    {ESHUTDOWN, err::kShutdown},
    {ETOOMANYREFS, err::kTooManyRefs},
    {ETIMEDOUT, err::kTimedOut},
    {ECONNREFUSED, err::kConnRefused},
    {ELOOP, err::kLoop},
    {ENAMETOOLONG, err::kNameTooLong},
    {EHOSTDOWN, err::kHostDown},
    {EHOSTUNREACH, err::kHostUnreachable},
    {ENOTEMPTY, err::kNotEmpty},
    {EUSERS, err::kUsers},
    {EDQUOT, err::kQuota},
    {ESTALE, err::kStale},
    {EREMOTE, err::kRemote},
};

// Winsock numbers with a meaning of their own, which 10000 + errno must not
// produce for an errno that means something else.
bool IsWinsockNumber(int n) {
  for (const Mapping& m : kTable) {
    if (m.winsock == n) return true;
  }
  return n == 10067 /* process limit */ || n == err::kSysCallFailure;
}

}  // namespace

int WinsockError(int errnoValue) {
  if (errnoValue == 0) return 0;
  if (errnoValue < 0) return err::kSysCallFailure;
  for (const Mapping& m : kTable) {
    if (m.errnoValue == errnoValue) return m.winsock;
  }
  if (errnoValue > 1000000) return err::kSysCallFailure;
  const int n = 10000 + errnoValue;
  return IsWinsockNumber(n) ? err::kSysCallFailure : n;
}

}  // namespace net
