/* The network IPC library: servers and services, com-proc and event
 * clients, the net node table and reliable datagrams over UDP.
 *
 * Every export has C linkage.  The library is single-threaded: the host
 * calls it, and is called back by it, on one polling thread only. */
#ifndef TESSIO32_H
#define TESSIO32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The time the host writes before each poll: byte 0 hour, byte 1 minute,
 * byte 2 second, byte 3 hundredths.  Hosts feed it from a monotonic clock
 * so that a step of the wall clock does not expire every time-out. */
typedef uint32_t IpcTime;

extern IpcTime IpcCurrentTime;
extern uint16_t IpcNetBcastPeriod;

#ifdef __cplusplus
}
#endif

#endif
