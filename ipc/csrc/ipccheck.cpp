// Module ipccheck: argument validators, version texts and IpcTime
// arithmetic.
#include "ipccheck.h"

#include <cstring>

#include "ipcproc.h"

namespace ipc {
namespace {

constexpr char kIpcModuleFile[] = "ipccheck.c";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsLetter(char c) { return IsLower(c) || IsUpper(c); }

// The parts of a valid version text.
struct VersionParts {
  bool date = false;
  const char* major = nullptr;
  int majorLen = 0;
  char sep = 0;
  const char* minor = nullptr;
  int minorLen = 0;
  char letter = 0;  // 0 = none
  char sign = 0;    // 0, '+' or '-'
};

// Length of the text within its 8-byte field; -1 when no NUL is found there.
int FieldLen(const char* v) {
  for (int i = 0; i < IPC_VERSION_SIZE; ++i) {
    if (v[i] == '\0') return i;
  }
  return -1;
}

bool ParseVersion(const char* v, VersionParts* p) {
  if (v == nullptr) return false;
  const int n = FieldLen(v);
  if (n <= 0) return false;
  if (n == 6) {
    for (int i = 0; i < 6; ++i) {
      if (!IsDigit(v[i])) return false;
    }
    p->date = true;
    return true;
  }
  // n is 1..5 or 7 here.
  int i = 0;
  p->major = v;
  while (i < n && IsDigit(v[i])) ++i;
  p->majorLen = i;
  if (p->majorLen == 0 || i >= n) return false;
  if (v[i] != '.' && !IsLetter(v[i])) return false;
  p->sep = v[i++];
  p->minor = v + i;
  const int minorStart = i;
  while (i < n && IsDigit(v[i])) ++i;
  p->minorLen = i - minorStart;
  if (p->minorLen == 0) return false;
  if (i < n && IsLetter(v[i])) p->letter = v[i++];
  if (i < n && (v[i] == '+' || v[i] == '-')) p->sign = v[i++];
  return i == n;
}

}  // namespace

bool IpcSvrTypeValid(uint8_t svrType) { return IpcSvrMaxIndx(svrType) != 0; }

uint8_t IpcSvrMaxIndx(uint8_t svrType) {
  switch (svrType) {
    case IPC_SVR_LOG:
    case IPC_SVR_AUX:
    case IPC_SVR_ROUTER:
      return 1;
    case IPC_SVR_IO_FTP:
    case IPC_SVR_IO_KRN:
      return IPC_MAX_SVR_INDX;
    default:
      return 0;
  }
}

bool IpcSvrIndxValid(uint8_t svrType, uint8_t svrIndx) {
  const uint8_t max = IpcSvrMaxIndx(svrType);
  if (max == 0) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
    return false;
  }
  return svrIndx >= 1 && svrIndx <= max;
}

bool IpcClntHandleValid(uint8_t clntHandle) {
  return clntHandle >= 1 && clntHandle <= IPC_MAX_CLNTS;
}

bool IpcEvntCodeValid(uint8_t svrType, uint16_t evntCode) {
  if (!IpcSvrTypeValid(svrType)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
    return false;
  }
  if (svrType == IPC_SVR_LOG) return evntCode >= 1 && evntCode <= 8;
  return evntCode >= 256 && evntCode <= 456;
}

bool IpcHostKindIsLocal(uint8_t hostKind) { return hostKind == IPC_HOST_KIND_LOCAL; }
bool IpcNodeIndxValid(uint8_t netNodeIndx) { return netNodeIndx < IPC_MAX_NET_NODES; }
bool IpcAddrValid(uint32_t addr) { return addr != 0; }
// 0 (no socket) or an entry of the socket table, 1 to 100.
bool IpcSockIndxValid(uint8_t sockIndx) { return sockIndx <= 100; }
bool IpcNodeTypeValid(uint8_t nodeType) {
  return nodeType >= IPC_MIN_NODE_TYPE && nodeType <= IPC_MAX_NODE_TYPE;
}
bool IpcNodeStatusValid(uint8_t status) { return status >= 1 && status <= 3; }
bool IpcLinkStatusValid(uint8_t linkStatus) { return linkStatus >= 1 && linkStatus <= 6; }
bool IpcPktKindValid(uint8_t pktKind) { return pktKind >= 1 && pktKind <= 7; }

bool IpcVersionFormValid(const char* version) {
  VersionParts p;
  return ParseVersion(version, &p);
}

bool IpcVersionValid(const char* version) {
  if (version == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_VERSION);
    return false;
  }
  return IpcVersionFormValid(version);
}

bool IpcVersionKey(const char* version, char key[kIpcVersionKeySize]) {
  key[0] = '\0';
  VersionParts p;
  if (!ParseVersion(version, &p)) return false;
  if (p.date) {
    std::memcpy(key, version, 6);
    key[6] = '\0';
    return true;
  }
  // A valid text has at most 7 characters, so the parts below never write
  // more than 10 characters (checked by the tests of the longest forms).
  int k = 0;
  if (p.majorLen == 1) key[k++] = ' ';
  for (int i = 0; i < p.majorLen; ++i) key[k++] = p.major[i];
  if (p.minorLen == 1) key[k++] = '0';
  for (int i = 0; i < p.minorLen; ++i) key[k++] = p.minor[i];
  if (p.letter != 0 && IsLower(p.letter)) {
    key[k++] = p.letter;
  } else {
    if (p.letter != 0) key[k++] = p.letter;  // upper case stays before the accent
    key[k++] = '`';
  }
  key[k++] = p.sep == '.' ? '{' : p.sep;
  key[k++] = p.sign == '-' ? '1' : p.sign == '+' ? '3' : '2';
  key[k] = '\0';
  return true;
}

bool IpcVersionInRange(const char* version, const char* low, const char* high) {
  char kv[kIpcVersionKeySize], kl[kIpcVersionKeySize], kh[kIpcVersionKeySize];
  if (!IpcVersionKey(version, kv) || !IpcVersionKey(low, kl) || !IpcVersionKey(high, kh)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_VERSION);
    return false;
  }
  return std::strcmp(kl, kv) <= 0 && std::strcmp(kv, kh) <= 0;
}

bool IpcVersionOrder(const char* a, const char* b) {
  char ka[kIpcVersionKeySize], kb[kIpcVersionKeySize];
  if (!IpcVersionKey(a, ka) || !IpcVersionKey(b, kb)) return false;
  return std::strcmp(ka, kb) <= 0;
}

void IpcVersionCopy(char dst[IPC_VERSION_SIZE], const char* src) {
  int i = 0;
  if (src != nullptr) {
    for (; i < IPC_VERSION_SIZE && src[i] != '\0'; ++i) dst[i] = src[i];
  }
  for (; i < IPC_VERSION_SIZE; ++i) dst[i] = '\0';
}

uint32_t IpcTimeHundredths(IpcTime t) {
  const uint32_t h = IPC_TIME_MINUTE(t) * 6000u + IPC_TIME_SECOND(t) * 100u +
                     IPC_TIME_HUNDREDTHS(t);
  // A host that writes a minute or second out of range still gets a time
  // within the hour.
  return h % kIpcHourHundredths;
}

uint32_t IpcTimeInterval(IpcTime from, IpcTime to) {
  const uint32_t a = IpcTimeHundredths(from);
  const uint32_t b = IpcTimeHundredths(to);
  return b >= a ? b - a : b + kIpcHourHundredths - a;
}

uint32_t IpcTimeSince(IpcTime from) { return IpcTimeInterval(from, IpcCurrentTime); }

}  // namespace ipc

extern "C" {

uint8_t IpcNetNodeIndxValid(uint8_t netNodeIndx) {
  ipc::IpcErrCtxSet(IPC_SVR_LOG, 1);
  return ipc::IpcNodeIndxValid(netNodeIndx) ? 1 : 0;
}

uint8_t IpcNetAddrValid(uint32_t addr) {
  ipc::IpcErrCtxSet(IPC_SVR_LOG, 1);
  return ipc::IpcAddrValid(addr) ? 1 : 0;
}

}  // extern "C"
