#include "NetLog.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "IpcComm.h"
#include "LogSink.h"
#include "platform/file/file.h"
#include "platform/time/clock.h"

namespace {

std::atomic<bool> g_bNetLogOpen{false};
std::atomic<platform::time::Clock*> g_pNetLogClock{nullptr};

// Under g_NetLogLock: the file, its name, the records it did not take.
std::mutex g_NetLogLock;
platform::file::AppendFile g_NetLog;
std::string g_NetLogPath;
uint64_t g_nDropped = 0;
std::string g_DroppedWhy;
// One record, put together before it is written in one piece.
uint8_t g_Record[kNetLogRecordHeader + 0xFFFF];

// The line that tells of records the file did not take (empty when none),
// and the count cleared.  Under g_NetLogLock.
std::string TakeDroppedText() {
  if (g_nDropped == 0) return {};
  const std::string text = "Error: " + std::to_string(g_nDropped) +
                           (g_nDropped == 1 ? " network log record was" : " network log records were") +
                           " not written to \"" + g_NetLogPath + "\" (" + g_DroppedWhy + ").\n";
  g_nDropped = 0;
  g_DroppedWhy.clear();
  return text;
}

// Closes the open log (if any); returns what is left to tell of it.
std::string Detach() {
  std::lock_guard lock(g_NetLogLock);
  g_bNetLogOpen.store(false);
  std::string text = TakeDroppedText();
  g_NetLog.Close();
  g_NetLogPath.clear();
  return text;
}

void Tell(const std::string& text) {
  if (!text.empty()) LogPrintfQueued("%s", text.c_str());
}

}  // namespace

bool OpenNetLog(const char* path) {
  Tell(Detach());
  {
    std::lock_guard lock(g_NetLogLock);
    if (path != nullptr && g_NetLog.Open(path, true)) {
      g_NetLogPath = path;
      g_bNetLogOpen.store(true);
      return true;
    }
  }
  LogPrintf("Couldn't open net log file \"%s\".\n", path != nullptr ? path : "");
  return false;
}

void CloseNetLog() { Tell(Detach()); }

bool NetLogIsOpen() { return g_bNetLogOpen.load(); }

void SetNetLogClock(platform::time::Clock* clock) { g_pNetLogClock.store(clock); }

void NetLogDebugHook(int direction, uint16_t length, const void* datagram) {
  if (!g_bNetLogOpen.load(std::memory_order_relaxed)) return;
  if (datagram == nullptr) length = 0;
  platform::time::Clock* clock = g_pNetLogClock.load();
  const int64_t ms = (clock != nullptr ? *clock : platform::time::SystemClock()).NowUnixMs();
  const auto time = static_cast<uint32_t>(static_cast<uint64_t>(ms));
  const auto dir = static_cast<uint16_t>(direction);
  std::string tell;
  {
    std::lock_guard lock(g_NetLogLock);
    if (!g_NetLog.IsOpen()) return;
    const uint8_t header[kNetLogRecordHeader] = {
        static_cast<uint8_t>(dir),        static_cast<uint8_t>(dir >> 8),
        static_cast<uint8_t>(length),     static_cast<uint8_t>(length >> 8),
        static_cast<uint8_t>(time),       static_cast<uint8_t>(time >> 8),
        static_cast<uint8_t>(time >> 16), static_cast<uint8_t>(time >> 24)};
    std::memcpy(g_Record, header, sizeof header);
    if (length > 0) std::memcpy(g_Record + sizeof header, datagram, length);
    // The record goes in whole or not at all: the file can always be read
    // to its end, whatever a full disk did to it.
    if (g_NetLog.Append(g_Record, sizeof header + length)) {
      tell = TakeDroppedText();
    } else {
      if (g_nDropped++ == 0) g_DroppedWhy = g_NetLog.ErrorText();
      if (!g_NetLog.IsOpen()) {
        // What the disk left of the record could not be taken back either:
        // nothing more is written behind it.
        tell = TakeDroppedText() + "Error: the network log \"" + g_NetLogPath +
               "\" is closed: a record could not be taken back off its end.\n";
        g_bNetLogOpen.store(false);
      }
    }
  }
  Tell(tell);
}
