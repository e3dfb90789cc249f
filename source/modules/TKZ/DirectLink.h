// The direct-connect link's entry points that the comm thread drives: the
// start (which creates the local IO_KRN server 22/1), the link's
// millisecond clock and its tick.  Comm thread only.
#pragma once

#include <cstdint>

// Once, after IpcInit.
void DirectLinkStart();
// Every poll, with the poll's clock, before DirectLinkTick.
void MsClockSet(uint8_t hour, uint8_t minute, uint8_t second, uint8_t hundredths);
// Every poll.
void DirectLinkTick();
