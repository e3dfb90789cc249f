// Result codes (Rcode) carried by rack messages and requests.
//
// 0 is success. The server's own codes lie at 0x400 and above; the link
// codes 0x10 to 0x18 come from the node's IO_KRN service (or the
// direct-connect link) in IO_KRN_EVNT_START.
#pragma once

#include <cstdint>

inline constexpr uint16_t RC_OK = 0x000;

inline constexpr uint16_t RC_FLUSHED = 0x401;
inline constexpr uint16_t RC_NO_NODE_FOR_RACK = 0x402;
inline constexpr uint16_t RC_DB_EXCEPTION = 0x403;
inline constexpr uint16_t RC_TOO_MANY_POINTS = 0x404;
inline constexpr uint16_t RC_FTP_LOGIN_FAILED = 0x405;
inline constexpr uint16_t RC_FILE_OPEN_FAILED = 0x406;
inline constexpr uint16_t RC_FILE_READ_FAILED = 0x407;
inline constexpr uint16_t RC_FILE_CLOSE_FAILED = 0x408;
inline constexpr uint16_t RC_COMM_FAILURE = 0x409;
inline constexpr uint16_t RC_FTP_NOT_LOGGED_IN = 0x40A;
inline constexpr uint16_t RC_NODE_OFFLINE = 0x40B;
inline constexpr uint16_t RC_NO_RACK = 0x40C;
inline constexpr uint16_t RC_INVALID_RESPONSE = 0x40D;
inline constexpr uint16_t RC_RACK_OFFLINE = 0x40E;
inline constexpr uint16_t RC_RESPONSE_TOO_LARGE = 0x40F;
inline constexpr uint16_t RC_SWITCH_NOT_CONTROLLABLE = 0x410;
inline constexpr uint16_t RC_CANCELLED_BY_USER = 0x411;
inline constexpr uint16_t RC_CANCELLED_BY_SHUTDOWN = 0x412;
inline constexpr uint16_t RC_TIMEOUT = 0x413;
inline constexpr uint16_t RC_RACK_LEARNING = 0x414;
inline constexpr uint16_t RC_DUPLICATE_CIRCUIT = 0x415;

inline constexpr uint16_t IO_KRN_NO_RESPONSE = 0x10;
inline constexpr uint16_t IO_KRN_BAD_ADDRESS = 0x11;
inline constexpr uint16_t IO_KRN_BAD_FRAME_CONTROL = 0x12;
inline constexpr uint16_t IO_KRN_RESPONSE_TOO_LONG = 0x13;
inline constexpr uint16_t IO_KRN_BAD_ATYPE = 0x14;
inline constexpr uint16_t IO_KRN_NO_BUFFER = 0x15;
inline constexpr uint16_t IO_KRN_CRC_ERROR = 0x16;
inline constexpr uint16_t IO_KRN_NO_SLOTS = 0x17;
inline constexpr uint16_t IO_KRN_BUFFER_OVERFLOW = 0x18;

// True for the link codes 0x10 to 0x18.
constexpr bool IsLinkRcode(uint16_t rc) { return rc >= IO_KRN_NO_RESPONSE && rc <= IO_KRN_BUFFER_OVERFLOW; }

// The text of a result code: the server's codes 0x400 to 0x415 ("???" for
// 0x400) and the link codes 0x10 to 0x18; null for any other code (the
// caller then prints "Request failed, Rcode = 0x%04X").
const char* RcodeText(uint16_t rc);
