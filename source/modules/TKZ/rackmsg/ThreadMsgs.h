// Ids of the messages the two threads of the server post to each other.
// WM_APP is 0x8000; the WM_DOC_ messages go from the comm thread to the main
// frame, the WM_IPC_ messages from the UI thread to the comm thread's window.
// 0x8009 and 0x800A belong to the main frame, 0x801D to 0x8020 to the log
// view.
//
// What travels in wParam / lParam (IpcComm.h has the post functions):
//   WM_DOC_MSG_DONE, WM_DOC_RACK_EVENT   lParam RackMsg*, the UI thread owns it
//   WM_DOC_FTP_DONE                      lParam IoFtpRequest*, the UI thread owns it
//   WM_DOC_FTP_READ, WM_DOC_FTP_CLOSE    lParam IoFtpRequest*, stays the comm thread's
//   WM_DOC_NODE_STATUS                   wParam 1 node now Online / 0 left it, lParam node id
//   WM_DOC_RACK_STATUS                   lParam rack number
//   WM_IPC_SEND_MSG, WM_IPC_DELAY_MSG    lParam RackMsg*, the comm thread owns it
//   WM_IPC_LOAD_LEARN                    wParam 0 start / 1 end, lParam RackMsg*
//   WM_IPC_FTP_*                         lParam IoFtpRequest*
//   WM_IPC_SOCKET                        wParam socket, lParam event and error
//   WM_IPC_RACK_UP                       lParam rack number
//   WM_IPC_RACK_VERSION_SET              lParam RackVersionSet*, the comm thread owns it
//   WM_IPC_LOAD_PHASE                    lParam LOAD_PHASE_ flags (synchronous)
//   WM_IPC_ADD_NODE, WM_IPC_ADD_RACK     lParam NodeDesc* / RackDesc* on the
//                                        waiting caller's stack (synchronous)
//   WM_IPC_DISCONNECT_NODE               lParam node id
#pragma once

#include <cstdint>

inline constexpr uint32_t WM_DOC_COMM_STOPPED = 0x8000;
inline constexpr uint32_t WM_DOC_MSG_DONE = 0x8001;
inline constexpr uint32_t WM_DOC_FTP_DONE = 0x8002;
inline constexpr uint32_t WM_DOC_FTP_READ = 0x8003;
inline constexpr uint32_t WM_DOC_FTP_NOP = 0x8004;
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

// Posted to the log view when lines from another thread wait in its queue.
inline constexpr uint32_t WM_LOG_DRAIN = 0x801D;
