// The numbers of the rack service IO_KRN (server type 22) that both its
// client (the node tables) and the server's own direct-connect service use:
// procedure ids, event codes, and bit 7 of an event's port index.
#pragma once

#include <cstdint>

inline constexpr uint8_t IO_KRN_OPEN_PORT = 1;
inline constexpr uint8_t IO_KRN_WRITE = 2;
inline constexpr uint8_t IO_KRN_SEND = 3;
inline constexpr uint8_t IO_KRN_APPEND = 4;
inline constexpr uint8_t IO_KRN_ADD_POLL = 5;
inline constexpr uint8_t IO_KRN_DELETE_POLL = 6;

inline constexpr uint16_t IO_KRN_EVNT_START = 258;
inline constexpr uint16_t IO_KRN_EVNT_REPORT = 259;
inline constexpr uint16_t IO_KRN_EVNT_INDEX = 260;

// Set in an event's index for a transaction's reply (a polling command's),
// a registration notice or a refused registration.
inline constexpr uint8_t IO_KRN_INDEX_UNSOLICITED = 0x80;
