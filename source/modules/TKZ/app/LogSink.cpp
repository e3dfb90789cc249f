#include "LogSink.h"

#include <cstdio>
#include <cstring>

#include "LogBuffer.h"

std::string FormatLogText(const char* format, va_list args) {
  char buf[kLogLineMax];
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  if (n < 0) return {};
  std::string text(buf, static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n)
                                                                  : sizeof buf - 1);
  // A cut line still ends its line when its format did.
  const std::size_t flen = std::strlen(format);
  if (static_cast<std::size_t>(n) >= sizeof buf && flen > 0 && format[flen - 1] == '\n')
    text.back() = '\n';
  return text;
}

namespace {

void Deliver(LogBuffer* view, std::string text) {
  if (view->IsOwnerThread())
    view->WriteLog(text, true);
  else
    view->Queue(std::move(text));
}

void DeliverFormatted(const char* format, va_list args) {
  LogBuffer* view = g_pLogView.load();
  if (view == nullptr) return;
  Deliver(view, FormatLogText(format, args));
}

}  // namespace

void LogPrintf(const char* format, ...) {
  // Meant for the UI thread; a call from elsewhere is queued rather than
  // touching the window from the wrong thread.
  va_list args;
  va_start(args, format);
  DeliverFormatted(format, args);
  va_end(args);
}

void LogPrintfQueued(const char* format, ...) {
  va_list args;
  va_start(args, format);
  DeliverFormatted(format, args);
  va_end(args);
}

void SetLogToDisk(bool on) {
  LogBuffer* view = g_pLogView.load();
  if (view == nullptr) {
    g_bDiskLogActive.store(on);
    return;
  }
  if (view->IsOwnerThread())
    view->ApplyLogToDisk(on);
  else
    view->QueueLogToDisk(on);
}
