// The direct-connect IO_KRN service: the local server 22/1 that carries
// the rack service over the serial channels of the direct-connect link
// (DirectLink.h) instead of a network node.  The server's own IO_KRN client
// reaches it when a node's address is this PC; the requests arrive through
// the library's local delivery and the events leave through its event ring.
//
// Six client records (index 0 to 5: the port index a client is given) and
// 192 transaction slots (registered polling commands and one-shot
// requests) whose request bytes share one 512-byte buffer.  On every tick
// the channels are stepped, one reply record is turned into events, and
// armed slots whose interval has run are queued.
//
// All state is static and belongs to this module; the accessors hand out
// pointers into it, valid for the process.  Comm thread only; no lock.
#pragma once

#include <cstdint>

#include "DirectLink.h"
#include "tessio32.h"

inline constexpr uint8_t kDirectClients = 6;
inline constexpr uint8_t kDirectSlots = 192;
inline constexpr uint16_t kDirectSlotBuffer = 512;
inline constexpr uint16_t kDirectClientData = 513;
// Bytes of data an IO_KRN_EVNT_REPORT carries at most.
inline constexpr uint8_t kDirectReportData = 14;
inline constexpr uint16_t kDirectEventSize = 34;

// Slot states.
enum : uint8_t { DIRECT_SLOT_FREE = 0, DIRECT_SLOT_LOADING = 1, DIRECT_SLOT_ARMED = 2 };

struct DirectLinkClient {
  uint8_t index = 0;
  uint8_t node = 0;         // the client's net node index
  uint8_t eventHandle = 0;  // its event-client handle here; 0 = record free
  uint16_t requestLength = 0;  // L of the request being assembled (0 below 3)
  uint16_t expected = 0;       // data bytes expected: L - 3, or 0
  uint16_t received = 0;       // data bytes appended so far
  uint16_t address = 0;
  uint8_t loading = 0;  // 1 while a registration waits for its bytes
  uint8_t atype = 0;
  uint8_t second = 0;
  uint8_t loadingSlot = 0;
  uint8_t channel = 0;
  bool assembling = false;  // a request was begun and is not queued yet
  uint8_t data[kDirectClientData] = {};
};

struct DirectLinkSlot {
  uint8_t state = DIRECT_SLOT_FREE;
  uint8_t number = 0;
  uint16_t address = 0;
  uint8_t channel = 0;
  uint16_t key = 0;
  uint8_t atype = 0;
  uint8_t second = 0;
  uint16_t length = 0;  // L of the request frame
  uint16_t size = 0;    // bytes reserved in the shared buffer: L - 2, or 0
  uint16_t offset = 0;  // start of the region in the shared buffer
  uint16_t loaded = 0;  // bytes appended into the region so far
  uint8_t client = 0;
  // Interval, interval start, reply mode, last reported length and CRC: what
  // the link reads and writes of the slot.
  DirectLinkSlotTrack track;
  // Owner and reply mode when the slot was last queued: its reply goes
  // there even when a one-shot slot was freed (or reused) meanwhile.
  uint8_t sentClient = 0;
  uint8_t sentMode = DIRECT_MODE_ALL;
};

// Once, after IpcInit: creates the server (nothing when already done).
void DirectLinkStart();
// Every poll, after MsClockSet: the channels' step, the pump, the scheduler.
void DirectLinkTick();

// The six procedures (results not used).
int DirectLinkOpenPort(const IpcComProcHdr* request);
// IO_KRN_WRITE: the bytes go out as they are, outside the channel's
// exchange (DirectLinkRawTransmit).
int DirectLinkRawWrite(const IpcComProcHdr* request);
int DirectLinkBeginRequest(const IpcComProcHdr* request);
int DirectLinkAppend(const IpcComProcHdr* request);
int DirectLinkAddPoll(const IpcComProcHdr* request);
int DirectLinkDeletePoll(const IpcComProcHdr* request);

// The record of (node, handle, channel); else the first free record, which
// takes them; else record 0.
uint8_t DirectLinkFindClient(uint8_t node, uint8_t eventHandle, uint8_t channel);
void DirectLinkQueueRequest(uint8_t record);
void DirectLinkQueueSlot(DirectLinkSlot* slot);
void DirectLinkFreeSlot(DirectLinkSlot* slot);
// Polls the open ports and turns one reply record into events.
void DirectLinkPump();

// ---- inspection and tests ----
DirectLinkClient* DirectLinkGetClient(uint8_t record);  // null above 5
DirectLinkSlot* DirectLinkGetSlot(uint8_t number);      // null above 191
uint16_t DirectLinkSlotFill();
const uint8_t* DirectLinkSlotBytes();
// Requests and appends the service could not take (bad record, channel or
// length, an append to nothing, bytes beyond the data area or a region).
uint32_t DirectLinkRefusedRequests();
// Forgets that the service was started (a new library instance follows).
void DirectLinkServiceReset();
