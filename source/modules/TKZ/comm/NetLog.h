// The binary network log: one record per datagram the library sends or
// receives, written by its debug hook (NetLogDebugHook, IpcComm.h) on the
// comm thread.  No file header; little-endian records:
//   +0 u16 direction (1 sent, 2 received), +2 u16 length n,
//   +4 u32 time in milliseconds (Unix seconds * 1000 + milliseconds,
//   modulo 2^32), +8 the n bytes of the datagram.
//
// Each record is written whole or not at all (platform::file::AppendFile):
// with the disk full the records are dropped and counted, and the count is
// logged with the first record the file takes again (or when it closes):
//   Error: 12 network log records were not written to "net.bin" (No space left on device).
//
// Threads: OpenNetLog and CloseNetLog run on the UI thread while the comm
// thread may be inside the hook.  The hook tests one atomic flag while no
// log is open; the file itself is swapped and written under one lock, so a
// record is never written to a file being closed and never split between
// two files.
#pragma once

#include <cstdint>

namespace platform::time {
class Clock;
}

inline constexpr char kDefaultNetLogName[] = "net.bin";
inline constexpr uint16_t kNetLogRecordHeader = 8;

// Opens (truncating) the file for the log, closing any log open before.
// Failure logs "Couldn't open net log file \"%s\".\n" (LogPrintf) and
// returns false; the earlier log is then closed too.
bool OpenNetLog(const char* path);
// Closes the log if one is open.
void CloseNetLog();
bool NetLogIsOpen();
// The clock the records' times come from (null: the system clock).  Before
// a log is opened.
void SetNetLogClock(platform::time::Clock* clock);
