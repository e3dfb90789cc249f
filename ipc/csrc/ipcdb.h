// Internal interface of module ipcdb: server locations and client slots.
//
// For each of the 203 possible servers (types 1, 16 and 18 with index 1,
// types 21 and 22 with indexes 1 to 100) the library keeps where it lives
// (its location) and 16 client slots, each with a com-proc part and an
// event part.  A part on node 0 is a client of this PC's host; a part on
// node N is the proxy on this PC of a client on node N (made by the
// router).  The module also runs the attach pass, the clean-up when a link
// closes, and the delivery of events to the client slots.
//
// Its state is a member of the library instance (see ipcinst.h).
// Must not include ipcinst.h.
//
// Internal operations report with the caller's error context, module name
// "ipcdb", severity 1 unless stated.
#ifndef IPCDB_H
#define IPCDB_H

#include <cstdint>

#include "tessio32.h"

// Where a server lives.  hostKind 0 = not in use.
struct IpcSvrLocation {
  uint8_t hostKind;    // 1 = a procedure table in the process on that node
  uint8_t hostHandle;  // the server's own index on the node that serves it
  uint8_t node;        // net node index; 0 = this PC; 255 after a destroy
};

// The com-proc part of a client slot.
struct IpcClntComProcPart {
  uint8_t inUse;
  uint8_t node;       // 0 = a local client; N = the proxy of a client on N
  uint8_t netHandle;  // handle of this client's proxy on the server's node
  IpcVersion version;
};

// The event part of a client slot.
struct IpcClntEvntPart {
  uint8_t inUse;
  IpcClntEvntFn callback;  // local clients; null in proxies
  intptr_t userValue;
  IpcVersion version;
  uint8_t node;
  uint8_t netHandle;
};

struct IpcClntSlot {
  IpcClntComProcPart comProc;
  IpcClntEvntPart evnt;
};

// Which part of a client slot an operation concerns.
enum class IpcClntKind : uint8_t { kComProc, kEvnt };

constexpr int kIpcSvrLocationCount = 3 + 2 * IPC_MAX_SVR_INDX;  // 203

// The calls this module and the com-proc routing make into the datagram
// layer, the router and local delivery.  The default sends each to the
// module that owns it; tests install their own (IpcDbPeersInstall) to
// observe and answer them.
class IpcDbPeers {
 public:
  virtual ~IpcDbPeers() = default;
  // Datagram layer: a com-proc for a server located on node.
  virtual int ComProcSend(uint8_t node, const IpcComProcHdr* request);
  // Datagram layer: an event for a client on node.
  virtual int EvntSend(uint8_t node, const IpcEvntHdr* event);
  // Datagram layer: a client on node was created, or one was destroyed.
  virtual void LinkNeeded(uint8_t node);
  virtual void LinkNotNeeded(uint8_t node);
  // Router: attach a client of a server of node, or detach its proxy.
  virtual void AttachReq(IpcClntKind kind, uint8_t node, uint8_t svrType,
                         uint8_t hostHandle, uint8_t hostKind, const char* version);
  virtual void DetachReq(IpcClntKind kind, uint8_t node, uint8_t svrType,
                         uint8_t hostHandle, uint8_t hostKind, const char* version,
                         uint8_t netHandle);
  // Local delivery of a com-proc to its procedure.
  virtual int SvcDeliver(const IpcComProcHdr* request);
};

// Owned by the library instance (ipc::Instance::db).
struct IpcDbState {
  IpcSvrLocation locs[kIpcSvrLocationCount];
  IpcClntSlot slots[kIpcSvrLocationCount][IPC_MAX_CLNTS];
  // Installed peers, or null for the default.  Not owned; kept by a reset.
  IpcDbPeers* peers;
};

namespace ipc {

// No location in use, every location and slot on node 0 (zero bytes).  The
// installed peers stay.  Run by IpcInit and IpcTerm.
void IpcDbReset();

// Installs peers (null: the default) and returns the ones installed before.
IpcDbPeers* IpcDbPeersInstall(IpcDbPeers* peers);
// The peers in force.
IpcDbPeers& IpcDbPeersGet();

// The location of a valid server, else null.  Quiet.
const IpcSvrLocation* IpcSvrLocationGet(uint8_t svrType, uint8_t svrIndx);
// True when the location is in use and on this PC.  Quiet.
bool IpcSvrIsLocal(uint8_t svrType, uint8_t svrIndx);

// The body of IpcSvrHostHandleGet, with the caller's error context: checks
// type (1), host handle 0 (2), node 100 or more (10), node 0 with a host
// kind other than 1 (9).  Types 1 and 18 are looked up with host kind 1.
// Returns the first index in use of the type located on node under that
// host handle with a matching host kind (equal, or both 4 to 8); 0 if none.
uint8_t IpcSvrHostHandleFind(uint8_t svrType, uint8_t hostHandle, uint8_t hostKind,
                             uint8_t node);

// A part of a client slot of a valid server and handle, else null.  Quiet.
const IpcClntComProcPart* IpcClntComProcPartGet(uint8_t svrType, uint8_t svrIndx,
                                                uint8_t clntHandle);
const IpcClntEvntPart* IpcClntEvntPartGet(uint8_t svrType, uint8_t svrIndx,
                                          uint8_t clntHandle);

// Sets the node of an in-use part (router, for proxies).  Checks type (1),
// index (2), handle (7), node (10); the server must be on this PC and the
// part in use (12, severity 2); an event part may take node 0 only with a
// callback and another node only without one (12, severity 2).  Then asks
// for a link to that node.  True when set.
bool IpcClntNodeSet(IpcClntKind kind, uint8_t svrType, uint8_t svrIndx,
                    uint8_t clntHandle, uint8_t node);

// Sets the net handle of an in-use part (router's answer).  Checks type
// (1), index (2), handle (7), part in use (12, severity 2), the new value 0
// to 16 (7).  True when set.
bool IpcClntNetHandleSet(IpcClntKind kind, uint8_t svrType, uint8_t svrIndx,
                         uint8_t clntHandle, uint8_t netHandle);

// The handle of the first in-use part of the server whose node is node; 0
// if none (or the server is not valid).  Quiet.
uint8_t IpcClntFindByNode(IpcClntKind kind, uint8_t svrType, uint8_t svrIndx,
                          uint8_t node);

// True when a location in use on this PC has an in-use part whose node is
// node, or a location on node has an in-use local part (node 0).  Quiet.
bool IpcClntAnyRelation(uint8_t node);

// The attach pass (run by the datagram layer every broadcast period): for
// each location on a valid node other than 0 that is online with its link
// ok, each unattached local part copies the net handle of an attached part
// of the same kind of that server, or else its attach request is sent to
// the node's router.
void IpcClntAttachPass();

// Clean-up when the link to node (1 to 99; else error 10) closes: the parts
// of servers located on it lose their net handles, and the proxies of
// clients on it are destroyed (event part first, then com-proc part).
void IpcClntLinkClosed(uint8_t node);

// Delivers an event to the client slots of its server (svrType, svrIndx):
// remote parts by the datagram layer, local parts by their callback, as the
// selector says.  Checks (severity 2): longer than 1250 (21), type (1),
// event code (5), host kind 0 (9), index (2).
void IpcEvntDeliver(const IpcEvntHdr* event, uint8_t selNode, uint8_t selClnt);

}  // namespace ipc

#endif
