// Internal interface of module ipccheck: the argument validators that every
// module shares, version texts and their ordering key, and IpcTime
// arithmetic.  The module keeps no state of its own.
// Must not include ipcinst.h.
//
// The validators report only where said (through the current error
// context, module name "ipccheck"); the rest are quiet predicates.
#ifndef IPCCHECK_H
#define IPCCHECK_H

#include <cstdint>

#include "tessio32.h"

struct IpcCheckState {};

namespace ipc {

// Server type is 1, 16, 18, 21 or 22.
bool IpcSvrTypeValid(uint8_t svrType);
// Highest server index of a type: 1 for types 1, 16 and 18, 100 for 21 and
// 22, 0 for an invalid type.  Quiet.
uint8_t IpcSvrMaxIndx(uint8_t svrType);
// An invalid type is reported (error 1, severity 1) and gives false; index 0
// gives false; types 1, 16 and 18 take index 1 only, 21 and 22 take 1..100.
bool IpcSvrIndxValid(uint8_t svrType, uint8_t svrIndx);
// Client handle 1 to 16.
bool IpcClntHandleValid(uint8_t clntHandle);
// An invalid type is reported (error 1, severity 1) and gives false; the
// log server takes codes 1 to 8, every other type 256 to 456.
bool IpcEvntCodeValid(uint8_t svrType, uint16_t evntCode);
// Host kind 1.
bool IpcHostKindIsLocal(uint8_t hostKind);
// Net node index below 100 (quiet twin of the export IpcNetNodeIndxValid,
// which also sets the error context).
bool IpcNodeIndxValid(uint8_t netNodeIndx);
// Address not 0 (quiet twin of IpcNetAddrValid).
bool IpcAddrValid(uint32_t addr);
// Socket index 0 (no socket) or a socket table entry 1 to 100.
bool IpcSockIndxValid(uint8_t sockIndx);
// Node type 1 to 25.
bool IpcNodeTypeValid(uint8_t nodeType);
// Node status 1 to 3; link status 1 to 6.
bool IpcNodeStatusValid(uint8_t status);
bool IpcLinkStatusValid(uint8_t linkStatus);
// Packet kind 1 to 7.
bool IpcPktKindValid(uint8_t pktKind);

// Version texts.  A text is read up to its NUL and never beyond 8 bytes;
// 8 bytes without a NUL are not a valid version.

// The form rule of IpcVersion, quiet; false for null.
bool IpcVersionFormValid(const char* version);
// A null text is reported (error 8, severity 1); otherwise the form rule
// (an invalid form is not reported here).
bool IpcVersionValid(const char* version);
// The first of version, low, high (in that order) that is not a valid
// IpcVersion is reported (error 8, severity 1) and gives false; otherwise
// true when key(low) <= key(version) <= key(high).
bool IpcVersionInRange(const char* version, const char* low, const char* high);
// key(a) <= key(b); false, without a report, when either is not valid.
bool IpcVersionOrder(const char* a, const char* b);

// Longest key a valid text gives: 10 characters (a three- to five-digit
// number in a 7-character text) and the NUL.
constexpr int kIpcVersionKeySize = 11;
// Writes the comparable key of a valid version and returns true; two
// versions compare as their keys do under strcmp.  An invalid text gives
// false and an empty key.
bool IpcVersionKey(const char* version, char key[kIpcVersionKeySize]);

// Copies a version text into an 8-byte field: up to its NUL, at most 8
// bytes, the rest of the field zero.  A null text gives a zero field.
void IpcVersionCopy(char dst[IPC_VERSION_SIZE], const char* src);

// IpcTime as hundredths within the hour (minute * 6000 + second * 100 +
// hundredths), always below kIpcHourHundredths; the hour byte is ignored.
constexpr uint32_t kIpcHourHundredths = 360000;
uint32_t IpcTimeHundredths(IpcTime t);
// Hundredths from `from` to `to`, allowing one wrap of the hour.
uint32_t IpcTimeInterval(IpcTime from, IpcTime to);
// Hundredths from `from` to IpcCurrentTime.
uint32_t IpcTimeSince(IpcTime from);

}  // namespace ipc

#endif
