// Error numbers of the network layer.
//
// Every failure of this layer is reported as a Winsock-style error number
// (10000 and up), never as a raw errno: the library's own error codes are 1
// to 41 and must not be confused with an operating-system failure.
#ifndef NET_ERROR_H
#define NET_ERROR_H

namespace net {

namespace err {
inline constexpr int kOk = 0;
inline constexpr int kInterrupted = 10004;          // EINTR
inline constexpr int kBadDescriptor = 10009;        // EBADF
inline constexpr int kAccess = 10013;               // EACCES, EPERM
inline constexpr int kFault = 10014;                // EFAULT
inline constexpr int kInvalid = 10022;              // EINVAL
inline constexpr int kTooManyFiles = 10024;         // EMFILE, ENFILE
inline constexpr int kWouldBlock = 10035;           // EWOULDBLOCK, EAGAIN
inline constexpr int kInProgress = 10036;           // EINPROGRESS
inline constexpr int kAlready = 10037;              // EALREADY
inline constexpr int kNotSocket = 10038;            // ENOTSOCK
inline constexpr int kDestAddrRequired = 10039;     // EDESTADDRREQ
inline constexpr int kMessageSize = 10040;          // EMSGSIZE
inline constexpr int kProtoType = 10041;            // EPROTOTYPE
inline constexpr int kNoProtoOpt = 10042;           // ENOPROTOOPT
inline constexpr int kProtoNoSupport = 10043;       // EPROTONOSUPPORT
inline constexpr int kSockTypeNoSupport = 10044;    // ESOCKTNOSUPPORT
inline constexpr int kOpNotSupported = 10045;       // EOPNOTSUPP
inline constexpr int kPfNoSupport = 10046;          // EPFNOSUPPORT
inline constexpr int kAfNoSupport = 10047;          // EAFNOSUPPORT
inline constexpr int kAddrInUse = 10048;            // EADDRINUSE
inline constexpr int kAddrNotAvail = 10049;         // EADDRNOTAVAIL
inline constexpr int kNetDown = 10050;              // ENETDOWN
inline constexpr int kNetUnreachable = 10051;       // ENETUNREACH
inline constexpr int kNetReset = 10052;             // ENETRESET
inline constexpr int kConnAborted = 10053;          // ECONNABORTED
inline constexpr int kConnReset = 10054;            // ECONNRESET
inline constexpr int kNoBuffers = 10055;            // ENOBUFS, ENOMEM
inline constexpr int kIsConnected = 10056;          // EISCONN
inline constexpr int kNotConnected = 10057;         // ENOTCONN
inline constexpr int kShutdown = 10058;             // ESHUTDOWN
inline constexpr int kTooManyRefs = 10059;          // ETOOMANYREFS
inline constexpr int kTimedOut = 10060;             // ETIMEDOUT
inline constexpr int kConnRefused = 10061;          // ECONNREFUSED
inline constexpr int kLoop = 10062;                 // ELOOP
inline constexpr int kNameTooLong = 10063;          // ENAMETOOLONG
inline constexpr int kHostDown = 10064;             // EHOSTDOWN
inline constexpr int kHostUnreachable = 10065;      // EHOSTUNREACH
inline constexpr int kNotEmpty = 10066;             // ENOTEMPTY
inline constexpr int kUsers = 10068;                // EUSERS
inline constexpr int kQuota = 10069;                // EDQUOT
inline constexpr int kStale = 10070;                // ESTALE
inline constexpr int kRemote = 10071;               // EREMOTE
inline constexpr int kSysCallFailure = 10107;       // an errno with no Winsock meaning that would read as one
inline constexpr int kHostNotFound = 11001;         // no address for the host
}  // namespace err

// Maps an errno value to its Winsock number: the table above, otherwise
// 10000 + errno.  When 10000 + errno would land on a Winsock number that
// means something else (EDEADLK is 35, and 10035 is "would block"), the
// result is err::kSysCallFailure instead.  0 maps to 0; a negative value to
// err::kSysCallFailure.
int WinsockError(int errnoValue);

}  // namespace net

#endif
