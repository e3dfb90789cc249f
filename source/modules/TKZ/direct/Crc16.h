// CRC-16 with polynomial 0x1021, most significant bit first, no reflection
// and no final XOR (started from 0xFFFF it is CRC-16/CCITT-FALSE).  The
// direct-connect link uses it only to recognise unchanged poll replies.
#ifndef TKZ_CRC16_H
#define TKZ_CRC16_H

#include <cstdint>

// Entry i of the table: the CRC of the byte i from 0.
uint16_t Crc16TableEntry(uint8_t i);
// table[(crc >> 8) ^ byte] ^ (crc << 8), kept to 16 bits.
uint16_t Crc16Step(uint8_t byte, uint16_t crc);
// Crc16Step over the n bytes in order; n below 1 gives crc unchanged.
uint16_t Crc16(const uint8_t* bytes, int16_t n, uint16_t crc);

#endif
