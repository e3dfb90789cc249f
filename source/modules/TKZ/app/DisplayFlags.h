// Process-wide switches of the server.  Both threads read them; only the UI
// thread writes them (start-up settings, menu commands), so plain loads and
// stores of atomics are enough: a toggle is a load followed by a store.
#pragma once

#include <atomic>

// Display switches: callers gate their own debug lines on these.
inline std::atomic<bool> g_bDocDebug{true};            // "Doc Debug Messages"
inline std::atomic<bool> g_bCommDebug{true};           // "Comm Debug Messages"
inline std::atomic<bool> g_bCommFaults{false};         // not persisted; starts off
inline std::atomic<bool> g_bIpcCommDebug{true};        // "IPC Comm Debug Messages"
inline std::atomic<bool> g_bDirectConnectDebug{true};  // "Direct Connect Comms Debug"

// Log and window behaviour.
inline std::atomic<bool> g_bTimeStampLog{true};  // "Time Stamp Log": stamps and hourly banner
inline std::atomic<bool> g_bLogToDisk{true};     // "Log to disk": the operator's choice
inline std::atomic<bool> g_bInSysTray{true};     // "InSysTray": run hidden behind the tray icon
