// Entry points of the direct-connect IO_KRN service that the comm thread
// drives: the start (which creates the local IO_KRN server 22/1) and the
// tick.  The link's millisecond clock is MsClockSet (MsClock.h).  Comm
// thread only.
#pragma once

// Once, after IpcInit.
void DirectLinkStart();
// Every poll, after MsClockSet.
void DirectLinkTick();
