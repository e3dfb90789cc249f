// Ids of the messages the two threads of the server post to each other.
// WM_APP is 0x8000; the WM_DOC_ messages go from the comm thread to the main
// frame, the WM_IPC_ messages from the UI thread to the comm thread's window.
#pragma once

#include <cstdint>

inline constexpr uint32_t WM_DOC_COMM_STOPPED = 0x8000;
inline constexpr uint32_t WM_DOC_MSG_DONE = 0x8001;
inline constexpr uint32_t WM_DOC_FTP_DONE = 0x8002;
inline constexpr uint32_t WM_DOC_FTP_READ = 0x8003;
inline constexpr uint32_t WM_DOC_FTP_CLOSE = 0x8005;
inline constexpr uint32_t WM_DOC_RACK_EVENT = 0x8006;
inline constexpr uint32_t WM_DOC_NODE_STATUS = 0x8007;
inline constexpr uint32_t WM_DOC_RACK_STATUS = 0x8008;
inline constexpr uint32_t WM_IPC_FTP_CONTINUE = 0x800B;
inline constexpr uint32_t WM_IPC_FTP_FORWARD = 0x800C;
inline constexpr uint32_t WM_IPC_FTP_REQUEST = 0x800D;
inline constexpr uint32_t WM_IPC_NET_STATS = 0x800E;
inline constexpr uint32_t WM_IPC_RACK_TABLE = 0x800F;
inline constexpr uint32_t WM_IPC_SEND_MSG = 0x8010;
inline constexpr uint32_t WM_IPC_SHUTDOWN = 0x8011;
inline constexpr uint32_t WM_IPC_NODE_LIST = 0x8012;
inline constexpr uint32_t WM_IPC_SOCKET = 0x8013;
inline constexpr uint32_t WM_IPC_RACK_VERSIONS = 0x8014;
inline constexpr uint32_t WM_IPC_RACK_UP = 0x8015;
inline constexpr uint32_t WM_IPC_RACK_VERSION_SET = 0x8016;
inline constexpr uint32_t WM_IPC_LOAD_PHASE = 0x8017;
inline constexpr uint32_t WM_IPC_ADD_NODE = 0x8018;
inline constexpr uint32_t WM_IPC_ADD_RACK = 0x8019;
inline constexpr uint32_t WM_IPC_DISCONNECT_NODE = 0x801A;
inline constexpr uint32_t WM_IPC_LOAD_LEARN = 0x801B;
inline constexpr uint32_t WM_IPC_DELAY_MSG = 0x801C;
