/* The network IPC library: servers and services, com-proc and event
 * clients, the net node table and reliable datagrams over UDP.
 *
 * Every export has C linkage.  The library is single-threaded: the host
 * calls it, and is called back by it, on one polling thread only.
 *
 * Ownership: the library never allocates for its caller and never frees
 * what it is given.  Every message, name, version text and out-parameter
 * is a caller-owned buffer; the library copies what it keeps before the
 * call returns.  A callback receives a pointer to the library's own copy,
 * valid only for the duration of the call.
 *
 * Failures are not returned in detail: each refused call reports an
 * IpcLogEvnt on the built-in log server (1, 1) and returns 0, false, 255
 * (operations that give a net node index) or an IpcErrCode. */
#ifndef TESSIO32_H
#define TESSIO32_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define TESSIO32_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define TESSIO32_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ------------------------------------------------------------------ */
/* Versions and limits                                                  */

#define IPC_VERSION      "1.3c"
#define IPC_VERSION_DATE "020615"

enum {
  IPC_MAX_NET_NODES = 100,  /* net node indexes 0 to 99; 0 is this PC */
  IPC_MAX_SVR_INDX = 100,   /* server indexes 1 to 100 of types 21, 22 */
  IPC_MAX_CLNTS = 16,       /* client handles 1 to 16 per server */
  IPC_MAX_SVC_IDS = 30,     /* procedure and event ids per server */
  IPC_MAX_MSG_LEN = 1250,   /* a whole message, header included */
  IPC_MAX_NODE_NAME = 8,    /* characters of a node name */
  IPC_NODE_NAME_SIZE = 10,  /* a node name field: 8 characters, NUL, pad */
  IPC_VERSION_SIZE = 8,     /* an IpcVersion field */
  IPC_ETHER_ADDR_SIZE = 6,
  IPC_NODE_TYPE_STR_SIZE = 5, /* 4-character display code and NUL */
  IPC_MIN_NODE_TYPE = 1,
  IPC_MAX_NODE_TYPE = 25,
  IPC_NO_NET_NODE = 255,    /* "no node" in results */
  IPC_LOG_EVNT_LEN = 34,
  IPC_LOG_EVNT_FROM_LEN = 40
};

/* A version text in an 8-byte NUL-padded field: six digits (a date such
 * as "020615"), or digits, '.' or a letter, digits, an optional letter and
 * an optional '+' or '-', in at most 7 characters ("1.3c", "1.1", "2a0").
 * A field of 8 characters without a NUL is not a valid version. */
typedef char IpcVersion[IPC_VERSION_SIZE];

/* ------------------------------------------------------------------ */
/* Enumerations                                                         */

typedef uint8_t IpcSvrType;
enum {
  IPC_SVR_LOG = 1,     /* the built-in log server, index 1 only */
  IPC_SVR_AUX = 16,    /* index 1 only */
  IPC_SVR_ROUTER = 18, /* the built-in router, index 1 only */
  IPC_SVR_IO_FTP = 21, /* indexes 1 to 100 */
  IPC_SVR_IO_KRN = 22  /* indexes 1 to 100 */
};

typedef uint8_t IpcHostKind;
enum {
  IPC_HOST_KIND_NONE = 0,  /* location not in use */
  IPC_HOST_KIND_LOCAL = 1  /* served by a procedure table in the process */
};

typedef uint8_t IpcNetNodeStatus;
enum {
  IPC_NODE_STATUS_NOT_IN_USE = 0,
  IPC_NODE_STATUS_ONLINE = 1,
  IPC_NODE_STATUS_OFFLINE = 2,
  IPC_NODE_STATUS_DISABLED = 3
};

typedef uint8_t IpcNetNodeLinkStatus;
enum {
  IPC_LINK_STATUS_INVALID = 0,
  IPC_LINK_STATUS_NONE = 1,
  IPC_LINK_STATUS_LINK_WAIT = 2,
  IPC_LINK_STATUS_OK = 3,
  IPC_LINK_STATUS_ERROR = 4,   /* never stored */
  IPC_LINK_STATUS_BROKEN = 5,  /* never stored */
  IPC_LINK_STATUS_UNLINK_WAIT = 6
};

/* Relation between the client slots of one server and one node, the OR
 * over the slots in use on that node (IpcClntNetNodeInfoGet). */
typedef uint8_t IpcClntRelation;
enum {
  IPC_CLNT_REL_EVNT_LOCAL_SVR = 0x01,    /* server here, client here */
  IPC_CLNT_REL_EVNT_PROXY = 0x02,        /* server here, client on the node */
  IPC_CLNT_REL_EVNT_UNATTACHED = 0x03,   /* server elsewhere, no net handle */
  IPC_CLNT_REL_EVNT_ATTACHED = 0x04,     /* server elsewhere, attached */
  IPC_CLNT_REL_COMPROC_LOCAL_SVR = 0x10,
  IPC_CLNT_REL_COMPROC_PROXY = 0x20,
  IPC_CLNT_REL_COMPROC_UNATTACHED = 0x30,
  IPC_CLNT_REL_COMPROC_ATTACHED = 0x40
};

/* Severities of an error report (the event code is severity + 1). */
enum {
  IPC_SEV_FAILURE = 0,  /* exhausted table or outright failure */
  IPC_SEV_ARG = 1,      /* refused argument */
  IPC_SEV_STATE = 2,    /* refused state: not in use, not local, used */
  IPC_SEV_INTERNAL = 3  /* internal lookup or queue inconsistency */
};

/* The library's error numbers.  A Winsock failure carries the Winsock
 * error number (10000 and above) instead. */
typedef uint16_t IpcErrCode;
enum {
  IPC_ERR_NONE = 0,
  IPC_ERR_SVR_TYPE = 1,       /* server type not valid; internal lookup */
  IPC_ERR_SVR_INDX = 2,       /* server index not valid; host handle 0 */
  IPC_ERR_PROC_ID = 3,        /* procedure id 0 or above the id count */
  IPC_ERR_NO_FREE_CLNT = 4,   /* all 16 client slots in use */
  IPC_ERR_EVNT_CODE = 5,      /* event code not valid for the server type */
  IPC_ERR_CLNT_HANDLE = 7,    /* client handle not 1 to 16; null out-pointer */
  IPC_ERR_VERSION = 8,        /* version null or not valid; null out-pointer */
  IPC_ERR_HOST_KIND = 9,      /* host kind not allowed; server not served here */
  IPC_ERR_NET_NODE_INDX = 10, /* net node index 100 or more */
  IPC_ERR_LOCATION_ARGS = 11, /* trailing location arguments mixed */
  IPC_ERR_STATE = 12,         /* not in use, or not allowed in this state */
  IPC_ERR_TABLE = 13,         /* a table entry did not take what was written */
  IPC_ERR_NO_CALLBACK = 14,   /* local event client without a callback */
  IPC_ERR_NODE_NAME = 15,     /* node name null, too long, or used */
  IPC_ERR_NODE_ADDR = 16,     /* node address 0, used, or unknown */
  IPC_ERR_ID_COUNT = 17,      /* idCount not 1 to 30 */
  IPC_ERR_NULL_PROC_FN = 18,  /* null procedure function at registration */
  IPC_ERR_NULL_COMPROC = 19,  /* null com-proc request */
  IPC_ERR_NULL_EVNT = 20,     /* null event */
  IPC_ERR_MSG_LEN = 21,       /* message length out of range */
  IPC_ERR_NODE_TYPE = 32,     /* node type not 1 to 25 */
  IPC_ERR_SOCKET = 33,        /* socket entry bad, free, or table full */
  IPC_ERR_LINK_STATUS = 34,   /* link status not 1 to 6; wrong link state */
  IPC_ERR_PKT_KIND = 35,      /* packet kind not 1 to 7 */
  IPC_ERR_PKT_SIZE = 36,      /* datagram size differs from its header */
  IPC_ERR_NODE_STATUS = 37,   /* node status not 1 to 3 */
  IPC_ERR_SOCKET_KIND = 38,   /* socket kind not 1 or 2 */
  IPC_ERR_TX_QUEUE = 39,      /* transmit queue inconsistent */
  IPC_ERR_NULL_OUT = 40,      /* null out-pointer to a datagram-layer getter */
  IPC_ERR_MSG_COUNT = 41      /* message count of a packet out of range */
};

/* ------------------------------------------------------------------ */
/* Time                                                                 */

/* The time the host writes before each poll: byte 0 hour, byte 1 minute,
 * byte 2 second, byte 3 hundredths (the u32's bytes in little-endian
 * order).  The library ignores the hour and counts hundredths within the
 * hour.  Hosts feed it from a monotonic clock so that a step of the wall
 * clock does not expire every time-out. */
typedef uint32_t IpcTime;

#define IPC_TIME_MAKE(hour, minute, second, hundredths)                  \
  ((IpcTime)(uint8_t)(hour) | ((IpcTime)(uint8_t)(minute) << 8) |        \
   ((IpcTime)(uint8_t)(second) << 16) | ((IpcTime)(uint8_t)(hundredths) << 24))
#define IPC_TIME_HOUR(t)       ((uint8_t)((t) & 0xFFu))
#define IPC_TIME_MINUTE(t)     ((uint8_t)(((t) >> 8) & 0xFFu))
#define IPC_TIME_SECOND(t)     ((uint8_t)(((t) >> 16) & 0xFFu))
#define IPC_TIME_HUNDREDTHS(t) ((uint8_t)(((t) >> 24) & 0xFFu))

/* ------------------------------------------------------------------ */
/* Records that cross the interface (packed, little-endian)            */

#pragma pack(push, 1)

/* Header of a com-proc request; the request data follows it.  The whole
 * request is at most IPC_MAX_MSG_LEN bytes.  IpcComProc fills hostKind,
 * hostHandle and version. */
typedef struct IpcComProcHdr {
  uint16_t length;     /* whole request, header included */
  uint8_t svrType;     /* called server */
  uint8_t svrIndx;
  uint8_t procId;      /* 1 to the server's id count */
  uint8_t clntHandle;  /* the caller's com-proc client slot */
  uint8_t hostKind;
  uint8_t hostHandle;
  IpcVersion version;  /* the client slot's version */
} IpcComProcHdr;

/* Header of an event; the event data follows it.  The whole event is 18
 * to IPC_MAX_MSG_LEN bytes. */
typedef struct IpcEvntHdr {
  uint16_t length;     /* whole event, header included */
  uint16_t evntCode;   /* 1 to 8 on the log server, 256 to 456 otherwise */
  uint8_t svrType;     /* server that raises it */
  uint8_t svrIndx;     /* the receiver's own index for that server */
  uint8_t evntId;      /* registered with the raising server */
  uint8_t hostKind;    /* set to 1 by the library */
  IpcVersion version;  /* the raising server's, set by the library */
  uint8_t hostHandle;  /* the raising server's own index on its node */
  uint8_t reserved;    /* the event ring's ready mark */
} IpcEvntHdr;

/* The error report raised on the log server (1, 1) by IpcLogError. */
typedef struct IpcLogEvnt {
  IpcEvntHdr hdr;      /* length 34, code severity + 1, type 1, id 1 */
  uint8_t Svr;         /* server type of the error context */
  uint8_t hTargetSvr;  /* server index of the error context */
  uint16_t ErrCode;    /* an IpcErrCode or a Winsock error number */
  char file[10];       /* reporting module ("ipcnetdb"), NUL-terminated */
  uint16_t line;       /* the reporting place's line */
} IpcLogEvnt;

/* A report made while the library handles a datagram it received carries
 * the datagram's sender after the report (length 40); every other report
 * is the plain IpcLogEvnt (length 34). */
typedef struct IpcLogEvntFrom {
  IpcLogEvnt report;
  uint32_t fromAddr;   /* IPv4, host byte order */
  uint16_t fromPort;   /* UDP port */
} IpcLogEvntFrom;

/* What the library tells of a net node. */
typedef struct IpcNetNodeInfo {
  char name[IPC_NODE_NAME_SIZE];  /* at most 8 characters, NUL-terminated */
  uint32_t addr;                  /* IPv4, host byte order */
  uint8_t nodeType;               /* 1 to 25 */
  IpcNetNodeStatus status;
  IpcNetNodeLinkStatus linkStatus;
  uint8_t etherAddr[IPC_ETHER_ADDR_SIZE];
  IpcVersion version;
} IpcNetNodeInfo;

#pragma pack(pop)

TESSIO32_STATIC_ASSERT(sizeof(IpcVersion) == 8, "IpcVersion is 8 bytes");
TESSIO32_STATIC_ASSERT(sizeof(IpcTime) == 4, "IpcTime is 4 bytes");

TESSIO32_STATIC_ASSERT(sizeof(IpcComProcHdr) == 16, "IpcComProcHdr is 16 bytes");
TESSIO32_STATIC_ASSERT(offsetof(IpcComProcHdr, length) == 0, "IpcComProcHdr.length");
TESSIO32_STATIC_ASSERT(offsetof(IpcComProcHdr, svrType) == 2, "IpcComProcHdr.svrType");
TESSIO32_STATIC_ASSERT(offsetof(IpcComProcHdr, svrIndx) == 3, "IpcComProcHdr.svrIndx");
TESSIO32_STATIC_ASSERT(offsetof(IpcComProcHdr, procId) == 4, "IpcComProcHdr.procId");
TESSIO32_STATIC_ASSERT(offsetof(IpcComProcHdr, clntHandle) == 5, "IpcComProcHdr.clntHandle");
TESSIO32_STATIC_ASSERT(offsetof(IpcComProcHdr, hostKind) == 6, "IpcComProcHdr.hostKind");
TESSIO32_STATIC_ASSERT(offsetof(IpcComProcHdr, hostHandle) == 7, "IpcComProcHdr.hostHandle");
TESSIO32_STATIC_ASSERT(offsetof(IpcComProcHdr, version) == 8, "IpcComProcHdr.version");

TESSIO32_STATIC_ASSERT(sizeof(IpcEvntHdr) == 18, "IpcEvntHdr is 18 bytes");
TESSIO32_STATIC_ASSERT(offsetof(IpcEvntHdr, length) == 0, "IpcEvntHdr.length");
TESSIO32_STATIC_ASSERT(offsetof(IpcEvntHdr, evntCode) == 2, "IpcEvntHdr.evntCode");
TESSIO32_STATIC_ASSERT(offsetof(IpcEvntHdr, svrType) == 4, "IpcEvntHdr.svrType");
TESSIO32_STATIC_ASSERT(offsetof(IpcEvntHdr, svrIndx) == 5, "IpcEvntHdr.svrIndx");
TESSIO32_STATIC_ASSERT(offsetof(IpcEvntHdr, evntId) == 6, "IpcEvntHdr.evntId");
TESSIO32_STATIC_ASSERT(offsetof(IpcEvntHdr, hostKind) == 7, "IpcEvntHdr.hostKind");
TESSIO32_STATIC_ASSERT(offsetof(IpcEvntHdr, version) == 8, "IpcEvntHdr.version");
TESSIO32_STATIC_ASSERT(offsetof(IpcEvntHdr, hostHandle) == 16, "IpcEvntHdr.hostHandle");
TESSIO32_STATIC_ASSERT(offsetof(IpcEvntHdr, reserved) == 17, "IpcEvntHdr.reserved");

TESSIO32_STATIC_ASSERT(sizeof(IpcLogEvnt) == IPC_LOG_EVNT_LEN, "IpcLogEvnt is 34 bytes");
TESSIO32_STATIC_ASSERT(offsetof(IpcLogEvnt, Svr) == 18, "IpcLogEvnt.Svr");
TESSIO32_STATIC_ASSERT(offsetof(IpcLogEvnt, hTargetSvr) == 19, "IpcLogEvnt.hTargetSvr");
TESSIO32_STATIC_ASSERT(offsetof(IpcLogEvnt, ErrCode) == 20, "IpcLogEvnt.ErrCode");
TESSIO32_STATIC_ASSERT(offsetof(IpcLogEvnt, file) == 22, "IpcLogEvnt.file");
TESSIO32_STATIC_ASSERT(offsetof(IpcLogEvnt, line) == 32, "IpcLogEvnt.line");

TESSIO32_STATIC_ASSERT(sizeof(IpcLogEvntFrom) == IPC_LOG_EVNT_FROM_LEN, "IpcLogEvntFrom is 40 bytes");
TESSIO32_STATIC_ASSERT(offsetof(IpcLogEvntFrom, fromAddr) == 34, "IpcLogEvntFrom.fromAddr");
TESSIO32_STATIC_ASSERT(offsetof(IpcLogEvntFrom, fromPort) == 38, "IpcLogEvntFrom.fromPort");

TESSIO32_STATIC_ASSERT(sizeof(IpcNetNodeInfo) == 31, "IpcNetNodeInfo is 31 bytes");
TESSIO32_STATIC_ASSERT(offsetof(IpcNetNodeInfo, addr) == 10, "IpcNetNodeInfo.addr");
TESSIO32_STATIC_ASSERT(offsetof(IpcNetNodeInfo, etherAddr) == 17, "IpcNetNodeInfo.etherAddr");
TESSIO32_STATIC_ASSERT(offsetof(IpcNetNodeInfo, version) == 23, "IpcNetNodeInfo.version");

/* ------------------------------------------------------------------ */
/* Callbacks and procedure tables                                       */

/* Event callback of a local event client.  userValue is the value given
 * to IpcClntEvntCreate (pointer-sized, so it may carry a pointer). */
typedef void (*IpcClntEvntFn)(const IpcEvntHdr* event, intptr_t userValue);

/* Procedure function of a local service.  Its result is handed back by
 * IpcComProc to a caller on the same PC. */
typedef int (*IpcComProcFn)(const IpcComProcHdr* request);

/* One entry of a procedure table given to IpcSvrAndSvcCreate, which steps
 * through the table as an array of this record (natural alignment: the
 * host and the library share this one declaration). */
typedef struct IpcComProcEntry {
  uint8_t procId;   /* 1 to the server's id count; 0 = entry skipped */
  uint8_t unused;   /* not read */
  IpcComProcFn fn;
} IpcComProcEntry;

/* A socket as the socket driver hands it to the socket-open hook (on this
 * platform a file descriptor, widened to pointer size). */
typedef uintptr_t IpcSocket;

/* Called right after each socket is created, before the library looks at
 * the result (so also with an invalid socket). */
typedef void (*SocketOpenHook)(IpcSocket socket);

enum {
  IPC_DEBUG_DIR_SEND = 1,  /* before every send attempt */
  IPC_DEBUG_DIR_RECV = 2   /* after every receive of at least one byte */
};

/* Called with the direction, the datagram's length and its bytes (valid
 * only during the call). */
typedef void (*DebugHook)(int direction, uint16_t length, const void* datagram);

/* ------------------------------------------------------------------ */
/* Exported variables                                                   */

/* Written by the host before each poll, from a monotonic clock (a steady
 * count laid out as minute, second and hundredths), never from the wall
 * clock: every time-out of the library (retransmission, silence, announce
 * period) is measured on it, and a step of the wall clock would expire them
 * all at once. */
extern IpcTime IpcCurrentTime;
/* Hundredths of a second between the library's periodic network turns;
 * IpcInit sets it to 50. */
extern uint16_t IpcNetBcastPeriod;

/* ------------------------------------------------------------------ */
/* Start-up, poll and tear-down                                         */

/* Resets every table, creates the log server and starts the datagram
 * layer.  The result is not relied on. */
uint16_t IpcInit(void);
/* Stops the socket driver and empties every table. */
uint16_t IpcTerm(void);
void IpcNetTcpIpInitDriver(void);
uint8_t IpcNetTcpIpIsInitOk(void);
uint8_t IpcNetNodeLinkInit(void);
void IpcNetTcpIpTick(void);
/* One network pass.  It reads a socket only while the event ring has room
 * for the events of a whole packet, so the host delivers its events
 * (IpcEvntDespatch) between passes; what waits meanwhile stays in its
 * socket. */
void IpcNetDespatch(void);
/* Delivers one queued event; true when one was taken. */
uint8_t IpcEvntDespatch(void);

/* ------------------------------------------------------------------ */
/* Hooks (they survive IpcInit); null removes.  Each returns fn.        */

SocketOpenHook InstallSocketOpenHook(SocketOpenHook fn);
DebugHook InstallDebugHook(DebugHook fn);

/* ------------------------------------------------------------------ */
/* Servers                                                              */

/* Registers a local service: its version range, procedure table
 * (procCount entries, entries with id 0 skipped) and event ids
 * (eventCount bytes, 0 skipped).  1 when registered, 0 after a report. */
uint8_t IpcSvrAndSvcCreate(uint8_t svrType, uint8_t svrIndx,
                           const char* lowVersion, const char* highVersion,
                           uint8_t idCount, const IpcComProcEntry* procTable,
                           uint8_t procCount, const uint8_t* eventIds,
                           uint8_t eventCount);
/* The four trailing values must be all zero or all non-zero. */
void IpcSvrLocationSet(uint8_t svrType, uint8_t svrIndx, uint8_t hostKind,
                       uint8_t hostHandle, uint8_t netNodeIndx, int32_t a,
                       int32_t b, int32_t c, int32_t d);
void IpcSvrLocationDestroy(uint8_t svrType, uint8_t svrIndx);
/* The svrIndx located on the node under that host handle; 0 = none. */
uint8_t IpcSvrHostHandleGet(uint8_t svrType, uint8_t hostHandle,
                            uint8_t hostKind, uint8_t netNodeIndx);
/* Fills up to capacity pairs of the servers located on the node. */
uint16_t IpcSvrNetNodeInfoGet(uint8_t netNodeIndx, uint8_t* svrTypes,
                              uint8_t* hostHandles, uint16_t capacity);

/* ------------------------------------------------------------------ */
/* Clients                                                              */

IpcErrCode IpcClntComProcCreate(uint8_t svrType, uint8_t svrIndx,
                                const char* version, uint8_t* clntHandle);
IpcErrCode IpcClntEvntCreate(uint8_t svrType, uint8_t svrIndx,
                             IpcClntEvntFn callback, const char* version,
                             uint8_t* clntHandle, intptr_t userValue);
void IpcClntComProcDestroy(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle);
void IpcClntEvntDestroy(uint8_t svrType, uint8_t svrIndx, uint8_t clntHandle);
/* The net handle of a client of a remote server; 0 = not attached. */
uint8_t IpcClntComProcNetHandleGet(uint8_t svrType, uint8_t svrIndx,
                                   uint8_t clntHandle);
uint8_t IpcClntEvntNetHandleGet(uint8_t svrType, uint8_t svrIndx,
                                uint8_t clntHandle);
uint16_t IpcClntNetNodeInfoGet(uint8_t netNodeIndx, uint8_t* svrTypes,
                               uint8_t* hostHandles,
                               IpcClntRelation* relations, uint16_t capacity);

/* ------------------------------------------------------------------ */
/* Messages                                                             */

/* Results of IpcComProc for a server on another node, and of IpcEvnt and
 * IpcEvntSelectedSend, when nothing was refused but nothing could be
 * queued either: the caller keeps the message and tries again later. */
enum {
  /* The node is not online or not linked, or the transmit pool is full. */
  IPC_NOT_QUEUED = -1,
  /* The event ring has no room; it has room again once the host's
   * IpcEvntDespatch has taken an event. */
  IPC_EVNT_RING_FULL = -2
};

/* Completes the request's header and routes it: the result of a local
 * procedure for a server on this PC; for a server on another node 1 when
 * the request is queued, IPC_NOT_QUEUED when it could not be; a refused
 * request gives its report's result. */
int IpcComProc(IpcComProcHdr* request);
/* Raises an event of a local server for every client of it: 1 when
 * raised (queued, or dropped when its server is not located here and so
 * has no client), IPC_EVNT_RING_FULL when the ring had no room (nothing
 * was queued), 0 when refused (reported). */
int IpcEvnt(IpcEvntHdr* event);
/* Raises an event for the clients the selector (node, client) names; the
 * results are IpcEvnt's. */
int IpcEvntSelectedSend(IpcEvntHdr* event, uint8_t netNodeIndx, uint8_t clntHandle);
/* Raises an IpcLogEvnt on the log server; file is the reporting source's
 * path, of which the module name is kept. */
int IpcLogError(uint8_t severity, uint8_t svrType, uint8_t svrIndx,
                uint16_t errCode, const char* file, uint16_t line);

/* ------------------------------------------------------------------ */
/* Net node table                                                       */

/* The index on success, 255 after a report. */
uint8_t IpcNetNodeInfoCreate(uint8_t netNodeIndx, const char* name,
                             uint32_t addr, uint8_t nodeType);
/* True when the entry is in use; every out-pointer may be null.  name
 * receives a whole 10-byte field. */
uint8_t IpcNetNodeInfoGet(uint8_t netNodeIndx, char* name, uint32_t* addr,
                          uint8_t* nodeType, IpcNetNodeStatus* status,
                          IpcNetNodeLinkStatus* linkStatus);
/* name: 10 bytes. */
void IpcNetNodeNameGet(uint8_t netNodeIndx, char* name);
uint32_t IpcNetNodeAddrGet(uint8_t netNodeIndx);
IpcNetNodeStatus IpcNetNodeStatusGet(uint8_t netNodeIndx);
IpcNetNodeLinkStatus IpcNetNodeLinkStatusGet(uint8_t netNodeIndx);
/* etherAddr: 6 bytes. */
void IpcNetNodeEtherAddrGet(uint8_t netNodeIndx, uint8_t* etherAddr);
/* version: 8 bytes. */
void IpcNetNodeVersionGet(uint8_t netNodeIndx, char* version);
/* Copies the node's transmit queue head and tail (0xFFFF = empty);
 * returns the tail. */
uint16_t IpcNetNodeBufStateGet(uint8_t netNodeIndx, uint16_t* head, uint16_t* tail);
uint8_t IpcNetNodeDuplicateFoundGet(uint8_t netNodeIndx);
/* Index of the used entry with that name (case-insensitive), or 255. */
uint8_t IpcNetNodeNameExists(const char* name);
/* Index of the used entry with that address, or 255. */
uint8_t IpcNetNodeAddrExists(uint32_t addr);
uint8_t IpcNetNodeIndxValid(uint8_t netNodeIndx);
uint32_t IpcNetNodeSubNetMaskGet(void);
/* a.b.c.d as a * 2^24 + b * 2^16 + c * 2^8 + d. */
uint32_t IpcNetAddrMake(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
/* Splits an address, a the top byte; returns a. */
uint8_t IpcNetAddrSplit(uint32_t addr, uint8_t* a, uint8_t* b, uint8_t* c, uint8_t* d);
uint8_t IpcNetAddrValid(uint32_t addr);
uint8_t IpcGetMaxNetNodeIndx(void);
/* Copies the node type's 4-character display code and its NUL into text
 * (5 bytes) and returns text; "????" for an unknown type. */
char* IpcNodeTypeStrGet(uint8_t nodeType, char* text);

#ifdef __cplusplus
}
#endif

#endif
