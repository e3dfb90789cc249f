// The comm thread's node and rack tables: the records, their flags and
// states (CommLoad.h has the descriptors the document hands over to fill
// them).
//
// Threads and ownership: only the comm thread creates, changes and deletes a
// NodeEntry or RackEntry; CIpcComm's maps own them (unique_ptr).  Nothing
// outside the comm thread ever holds a pointer to one: other threads name a
// rack by its number and a node by its id, and the comm thread looks the
// record up when it uses it.  A NodeDesc or RackDesc lives on the caller's
// stack for the duration of a synchronous call only.
#pragma once

#include <cstdint>

#include "CommLoad.h"

struct RackMsg;
struct IoFtpRequest;

inline constexpr uint8_t kNoPortIndex = 255;

// Countdowns of the comm thread, in 100 ms ticks.
inline constexpr int32_t kPortResponseTicks = 150;
inline constexpr int32_t kNodeFlushTicks = 100;
inline constexpr int32_t kTeardownPauseTicks = 30;
inline constexpr int32_t kReconnectDelayTicks = 900;
inline constexpr int32_t kFtpIdleLogoutTicks = 50;
// How long a teardown waits for the answer to its IO_FTP logout.
inline constexpr int32_t kFtpLogoutDeadlineTicks = 50;
// How long the shutdown's teardowns wait for a node's answers at most.
inline constexpr int32_t kShutdownWaitTicks = 20;

// Client ids are server indexes of types 21 and 22: 1 to 100.
inline constexpr uint8_t kMinClientId = 1;
inline constexpr uint8_t kMaxClientId = 100;

inline constexpr uint8_t PORT_FLAG_CONFIGURED = 0x01;
inline constexpr uint8_t PORT_FLAG_OPEN = 0x02;

inline constexpr uint32_t NODE_FLAG_KRN_LOCATED = 0x00001;
inline constexpr uint32_t NODE_FLAG_KRN_CONNECTED = 0x00002;
inline constexpr uint32_t NODE_FLAG_FTP_LOCATED = 0x00004;
inline constexpr uint32_t NODE_FLAG_FTP_CONNECTED = 0x00008;
inline constexpr uint32_t NODE_FLAG_FTP_LOGGED_IN = 0x00010;
inline constexpr uint32_t NODE_FLAG_FTP_CONNECTING = 0x00020;
inline constexpr uint32_t NODE_FLAG_FTP_LOGIN_SENT = 0x00040;
inline constexpr uint32_t NODE_FLAG_FTP_LOGOUT_SENT = 0x00080;
inline constexpr uint32_t NODE_FLAG_POLLS_ADDED = 0x00100;
inline constexpr uint32_t NODE_FLAG_FLUSH_PENDING = 0x00200;
inline constexpr uint32_t NODE_FLAG_PORT_OPENING = 0x00400;
inline constexpr uint32_t NODE_FLAG_MARKED = 0x00800;
inline constexpr uint32_t NODE_FLAG_DISCONNECT = 0x01000;
inline constexpr uint32_t NODE_FLAG_DELETE = 0x02000;
inline constexpr uint32_t NODE_FLAG_RECONNECT = 0x04000;
inline constexpr uint32_t NODE_FLAG_RECONNECT_DELAY = 0x08000;
inline constexpr uint32_t NODE_FLAG_RECONNECT_NOW = 0x10000;
// Any of these: the node still has connections to tear down.
inline constexpr uint32_t NODE_FLAGS_CONNECTIONS = 0x0001F;

enum NodeState : uint32_t {
  NODE_STATE_UNKNOWN = 1,
  NODE_STATE_CONNECTING = 2,
  NODE_STATE_DISABLED = 3,
  NODE_STATE_OFFLINE = 4,
  NODE_STATE_ONLINE = 5,
  NODE_STATE_DISCONNECTED = 6,
};

inline constexpr uint8_t RACK_FLAG_UP = 0x01;
inline constexpr uint8_t RACK_FLAG_VERSION = 0x02;
inline constexpr uint8_t RACK_FLAG_SYNC_SENT = 0x04;
inline constexpr uint8_t RACK_FLAG_MARKED = 0x08;
inline constexpr uint8_t RACK_FLAG_POLLING = 0x10;
inline constexpr uint8_t RACK_FLAG_LEARNING = 0x20;

// Rack numbers run from 1 to 256.
inline constexpr uint32_t kMaxRackNumber = 256;
// The version bytes the UI thread hands over: serial (8), software (6),
// hardware (u16 little-endian).
inline constexpr int kRackVersionBytes = 16;

struct PortSlot {
  uint8_t portIndex = kNoPortIndex;  // IO_KRN port index the node assigned
  uint8_t flags = 0;                 // PORT_FLAG_
  uint16_t received = 0;             // bytes of the head's response assembled, from 3 (0 = not started)
  uint32_t TxMsgs = 0;
  uint32_t RxMsgs = 0;
  uint32_t queued = 0;
  RackMsg* TxHead = nullptr;  // owned: the port's queue, linked through RackMsg::link
  RackMsg* TxTail = nullptr;
  RackMsg* RxMsg = nullptr;   // owned: unsolicited poll response being assembled
  int32_t responseCountdown = 0;  // also guards a head that waits for its port to open
  bool headSent = false;          // the head is on the wire
  uint16_t rxReceived = 0;        // bytes of RxMsg assembled, from 3 (0 = not started)
};

struct NodeEntry {
  uint32_t nodeId = 0;
  uint32_t address = 0;  // IPv4, host byte order
  uint8_t linkStatus = 0;
  char name[16] = {};    // the address in dotted form
  uint8_t clientId = 0;
  uint8_t krnComProcHandle = 0;
  uint8_t krnEvntHandle = 0;
  uint32_t state = NODE_STATE_UNKNOWN;
  uint32_t openingSlot = 0;
  int32_t countdown = 0;
  int32_t ftpIdleCountdown = 0;
  uint32_t linkResets = 0;
  PortSlot ports[kPortSlots];
  uint32_t flags = 0;  // NODE_FLAG_
  IoFtpRequest* ftpHead = nullptr;  // owned: the node's IO_FTP jobs
  IoFtpRequest* ftpTail = nullptr;
  uint8_t ftpComProcHandle = 0;
  uint8_t ftpEvntHandle = 0;
  uint8_t ftpLoginHandle = 0;
  // Send-file state of the IO_FTP client.
  uint32_t ftpSendState = 0;
  uint32_t ftpTransferFlags = 0;
  int32_t ftpFileDescriptor = -1;
  // Ticks left for the IO_FTP logout that a teardown sent; when they run out
  // the teardown goes on without it (0 = none running).
  int32_t ftpLogoutCountdown = 0;
};

struct RackEntry {
  uint32_t rack = 0;  // 1 to 256, the map key
  uint16_t LastErrRcode = 0;
  uint32_t nodeId = 0;
  uint8_t portSlot = 0;
  uint32_t TxMsgs = 0;
  uint32_t RxMsgs = 0;
  uint32_t RxFaults = 0;
  uint32_t Errors = 0;
  uint16_t LastErrCmd = 0;
  char serial[8] = {};    // version item 10
  char software[6] = {};  // version item 11
  uint16_t hardware = 0;  // version item 12
  uint8_t flags = 0;      // RACK_FLAG_
};

// Names of the states as the reports print them (13 characters, padded).
const char* NodeStateName(uint32_t state);
