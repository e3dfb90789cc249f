// The server's one log sink, reached from both threads.
//
//   LogPrintf        owner (UI) thread: formats and writes at once.
//   LogPrintfQueued  any thread: on the owner thread writes at once; on any
//                    other thread queues the line and asks the owner thread
//                    to drain the queue.
//   SetLogToDisk     any thread: switches the day-file copy on or off; off the
//                    owner thread the switch is queued behind the lines
//                    already queued, so they still reach the file.
//
// A line is formatted into at most kLogLineMax - 1 characters; a longer one
// is cut and keeps its final newline.  Before the log view exists, and after
// it is gone, lines are dropped.  The view must outlive every thread that
// logs through it.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <string>

class LogBuffer;

inline constexpr std::size_t kLogLineMax = 1024;

// The log view's buffer while it exists (set and cleared by LogBuffer).
inline std::atomic<LogBuffer*> g_pLogView{nullptr};

void LogPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogPrintfQueued(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SetLogToDisk(bool on);

// printf-style formatting bounded to kLogLineMax - 1 characters.
std::string FormatLogText(const char* format, va_list args)
    __attribute__((format(printf, 1, 0)));
