// The direct-connect link's millisecond clock: the milliseconds since local
// midnight of the comm thread's last reading of the local time.  The comm
// thread sets it before every run of the link's tick, so the link's time
// moves in steps of one poll.  Comm thread only.
#ifndef TKZ_MS_CLOCK_H
#define TKZ_MS_CLOCK_H

#include <cstdint>

// clock = hundredths x 10 + second x 1000 + minute x 60000 + hour x 3600000.
void MsClockSet(uint8_t hour, uint8_t minute, uint8_t second, uint8_t hundredths);
void MsClockGet(uint32_t* out);
// clock - *start, modulo 2^32: across midnight the clock falls back and the
// difference becomes very large, so a wait that spans midnight ends at the
// next check.
uint32_t MsClockSince(const uint32_t* start);

#endif
