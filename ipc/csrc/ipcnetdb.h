// Internal interface of module ipcnetdb: the table of net nodes (index 0 is
// this PC, 1 to 99 are remote nodes) and the operations that the router, the
// datagram layer and the socket driver use on it.  The host reads the table
// through the exports of tessio32.h.
// Must not include ipcinst.h.
//
// The internal operations below do not touch the error context: they report
// (module "ipcnetdb") with whatever context their caller set.  Index
// arguments are net node indexes; 100 or more is refused with error 10.
#ifndef IPCNETDB_H
#define IPCNETDB_H

#include <cstdint>
#include <optional>

#include "tessio32.h"

// One entry of the node table.
struct IpcNetNodeEntry {
  uint8_t inUse;                          // 0 = free
  char name[IPC_NODE_NAME_SIZE];          // as given, at most 8 characters
  uint32_t features;                      // feature word, see IpcNetNodeFeaturesFor
  uint32_t addr;                          // IPv4, host order; never 0 when used
  uint8_t nodeType;                       // 1 to 25
  uint8_t etherAddr[IPC_ETHER_ADDR_SIZE];
  uint8_t status;                         // IpcNetNodeStatus; 2 when created
  IpcTime lastHeard;                      // written whenever the status is set
  uint16_t silenceTimeout;                // hundredths of a second
  uint8_t linkStatus;                     // 1, 2, 3 or 6; 1 when created
  uint8_t sockIndx;                       // socket table entry 1 to 100; 0 = none
  IpcTime startTime;                      // when the node came up
  IpcVersion version;
  uint8_t duplicateFound;                 // bool
};

// Owned by the library instance (ipc::Instance::netdb).
struct IpcNetdbState {
  IpcNetNodeEntry nodes[IPC_MAX_NET_NODES];
  uint32_t subnetMask;
};

namespace ipc {

constexpr uint16_t kIpcDefaultSilenceTimeout = 3000;
constexpr uint32_t kIpcSubnetMask = 0xFFFFFF00u;  // 255.255.255.0

// Every entry free (zero bytes), subnet mask 255.255.255.0.  Run by IpcInit
// and IpcTerm.
void IpcNetdbReset();

// Quiet: true when the index is valid and the entry used.
bool IpcNetNodeInUse(uint8_t node);
// The first free index from 1 to 99, else 255.  Quiet.
uint8_t IpcNetNodeFreeIndxFind();

// Stores each given item of a used entry (the router's update): checks, in
// order, index (10), name longer than 8 (15), address 0 (16), type not 1 to
// 25 (32), entry free (12, severity 2), name used by another entry (15,
// severity 2), address used by another entry (16, severity 2).  Setting the
// type also sets the feature word for it.  True when stored.
bool IpcNetNodeInfoSet(uint8_t node, const char* name, std::optional<uint32_t> addr,
                       std::optional<uint8_t> nodeType);

// Deletes a used entry (index 10; free 12, severity 2).  A node whose link is
// established (link status ok or unlink wait) has its link closed first, for
// every index (IpcNetLinkClose); then the entry is filled with 0xCC and
// marked free.  True when deleted.
bool IpcNetNodeDelete(uint8_t node);

// The feature word for a node type: 1033 for types 1 to 3, 6, 7 and 18;
// 1034 for 4 and 8; 8 for 21 and 22; 0 otherwise.
uint32_t IpcNetNodeFeaturesFor(uint8_t nodeType);
// The feature word as 4 bytes, low byte first (zeros for a refused index).
void IpcNetNodeFeaturesGet(uint8_t node, uint8_t out[4]);
// A feature word announced by the node replaces the stored one when it is 0
// or below 4096; anything else is ignored.
void IpcNetNodeFeaturesAnnounced(uint8_t node, uint32_t features);

// Status 1 to 3 (else error 37; index 10; free 12).  Last heard becomes
// IpcCurrentTime even when the status does not change.  On a change the
// router announces it (IpcRouterNodeStatusEvnt); a node going offline has
// its transmit queue emptied (IpcNetTxFlush) and, when its link status is
// neither none nor link wait, the router asked to close its link
// (IpcRouterLinkCloseReq).  True when accepted.
bool IpcNetNodeStatusSet(uint8_t node, uint8_t status);

// Link status 1 to 6 (else error 34; index 10; free 12).  4 (error) and 5
// (broken) are not stored: they become the node's socket error with the
// text "LinkStatus", unless the socket driver already holds an error for
// the node.  Other values are stored; a change raises the router's
// link-status event (IpcRouterLinkStatusEvnt).  True when accepted.
bool IpcNetNodeLinkStatusSet(uint8_t node, uint8_t linkStatus);

// Socket index 0 (none) or a socket table entry 1 to 100 (else error 33;
// index 10; free 12).
bool IpcNetNodeSockIndxSet(uint8_t node, uint8_t sockIndx);
// 0 for a refused index or a free entry.
uint8_t IpcNetNodeSockIndxGet(uint8_t node);

// A valid IpcVersion (null or invalid: error 8; free entry: error 10).
bool IpcNetNodeVersionSet(uint8_t node, const char* version);

// Stores the start time and sets last heard to IpcCurrentTime.
bool IpcNetNodeStartTimeSet(uint8_t node, IpcTime startTime);
// IpcCurrentTime for a refused index or a free entry.
IpcTime IpcNetNodeStartTimeGet(uint8_t node);
IpcTime IpcNetNodeLastHeardGet(uint8_t node);

// 3000 for a refused index or a free entry.
uint16_t IpcNetNodeSilenceTimeoutGet(uint8_t node);
bool IpcNetNodeSilenceTimeoutSet(uint8_t node, uint16_t hundredths);

// 6 bytes; a null address is refused (error 12).
bool IpcNetNodeEtherAddrSet(uint8_t node, const uint8_t* etherAddr);

bool IpcNetNodeDuplicateSet(uint8_t node, bool found);

}  // namespace ipc

#endif
