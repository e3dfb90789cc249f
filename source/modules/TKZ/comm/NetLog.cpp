#include "NetLog.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "IpcComm.h"
#include "LogSink.h"
#include "platform/time/clock.h"

namespace {

std::atomic<bool> g_bNetLogOpen{false};
std::mutex g_NetLogLock;
std::FILE* g_pNetLog = nullptr;  // under g_NetLogLock
std::atomic<platform::time::Clock*> g_pNetLogClock{nullptr};

// Takes the open file (if any) out of the log.
std::FILE* Detach() {
  std::lock_guard lock(g_NetLogLock);
  std::FILE* old = g_pNetLog;
  g_pNetLog = nullptr;
  g_bNetLogOpen.store(false);
  return old;
}

}  // namespace

bool OpenNetLog(const char* path) {
  if (std::FILE* old = Detach()) std::fclose(old);
  std::FILE* f = path != nullptr ? std::fopen(path, "wb") : nullptr;
  if (f == nullptr) {
    LogPrintf("Couldn't open net log file \"%s\".\n", path != nullptr ? path : "");
    return false;
  }
  std::lock_guard lock(g_NetLogLock);
  g_pNetLog = f;
  g_bNetLogOpen.store(true);
  return true;
}

void CloseNetLog() {
  if (std::FILE* old = Detach()) std::fclose(old);
}

bool NetLogIsOpen() { return g_bNetLogOpen.load(); }

void SetNetLogClock(platform::time::Clock* clock) { g_pNetLogClock.store(clock); }

void NetLogDebugHook(int direction, uint16_t length, const void* datagram) {
  if (!g_bNetLogOpen.load(std::memory_order_relaxed)) return;
  if (datagram == nullptr) length = 0;
  platform::time::Clock* clock = g_pNetLogClock.load();
  const int64_t ms = (clock != nullptr ? *clock : platform::time::SystemClock()).NowUnixMs();
  const auto time = static_cast<uint32_t>(static_cast<uint64_t>(ms));
  const auto dir = static_cast<uint16_t>(direction);
  uint8_t header[kNetLogRecordHeader] = {
      static_cast<uint8_t>(dir),        static_cast<uint8_t>(dir >> 8),
      static_cast<uint8_t>(length),     static_cast<uint8_t>(length >> 8),
      static_cast<uint8_t>(time),       static_cast<uint8_t>(time >> 8),
      static_cast<uint8_t>(time >> 16), static_cast<uint8_t>(time >> 24)};
  std::lock_guard lock(g_NetLogLock);
  if (g_pNetLog == nullptr) return;
  std::fwrite(header, 1, sizeof header, g_pNetLog);
  if (length > 0) std::fwrite(datagram, 1, length, g_pNetLog);
}
