// The rack command set: command numbers, their names, and the poll template.
//
// A rack command travels as a u16 command number (high byte 0) followed by
// its data, little-endian; a rack answers with the same layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr uint8_t DIM_CMD_PRESET_ON = 1;
inline constexpr uint8_t DIM_CMD_PRESET_TIME_ON = 2;
inline constexpr uint8_t DIM_CMD_RECORD_PRESET = 3;
inline constexpr uint8_t DIM_CMD_GET_PRESET_TIME = 4;
inline constexpr uint8_t DIM_CMD_SET_PRESET_TIME = 5;
inline constexpr uint8_t DIM_CMD_GET_PRESET = 6;
inline constexpr uint8_t DIM_CMD_SET_PRESET = 7;
inline constexpr uint8_t DIM_CMD_RESET = 12;
inline constexpr uint8_t DIM_CMD_GET_MUX_PROTOCOL = 15;
inline constexpr uint8_t DIM_CMD_SET_MUX_PROTOCOL = 16;
inline constexpr uint8_t DIM_CMD_GET_MUX_STATUS = 17;
inline constexpr uint8_t DIM_CMD_GET_CIRCUIT_PATCH = 18;
inline constexpr uint8_t DIM_CMD_SET_CIRCUIT_PATCH = 19;
inline constexpr uint8_t DIM_CMD_GET_MUX_PATCH = 20;
inline constexpr uint8_t DIM_CMD_SET_MUX_PATCH = 21;
inline constexpr uint8_t DIM_CMD_GET_DIMMER_SETUP = 22;
inline constexpr uint8_t DIM_CMD_SET_DIMMER_SETUP = 23;
inline constexpr uint8_t DIM_CMD_GET_DIMMER_STATUS = 24;
inline constexpr uint8_t DIM_CMD_GET_RACK_SETUP = 25;
inline constexpr uint8_t DIM_CMD_SET_RACK_SETUP = 26;
inline constexpr uint8_t DIM_CMD_GET_RACK_STATUS = 27;
inline constexpr uint8_t DIM_CMD_GET_SLOT_MAP = 28;
inline constexpr uint8_t DIM_CMD_SET_SLOT_MAP = 29;
inline constexpr uint8_t DIM_CMD_GET_USER_CURVE = 30;
inline constexpr uint8_t DIM_CMD_SET_USER_CURVE = 31;
inline constexpr uint8_t DIM_CMD_GET_BREVANT_PATCH = 32;
inline constexpr uint8_t DIM_CMD_SET_BREVANT_PATCH = 33;
inline constexpr uint8_t DIM_CMD_BREVANT_PRESET_ON = 34;
inline constexpr uint8_t DIM_CMD_RECORD_BREVANT_PRESET = 35;
inline constexpr uint8_t DIM_CMD_GET_BREVANT_PRESET = 36;
inline constexpr uint8_t DIM_CMD_SET_BREVANT_PRESET = 37;
inline constexpr uint8_t DIM_CMD_GET_BREVANT_PRESET_TIME = 38;
inline constexpr uint8_t DIM_CMD_SET_BREVANT_PRESET_TIME = 39;
inline constexpr uint8_t DIM_CMD_GET_BREVANT_ROOM_LINKS = 40;
inline constexpr uint8_t DIM_CMD_SET_BREVANT_ROOM_LINKS = 41;
inline constexpr uint8_t DIM_CMD_GET_PHASE_STATUS = 42;
inline constexpr uint8_t DIM_CMD_SET_RAM = 43;
inline constexpr uint8_t DIM_CMD_GET_RAM = 44;
inline constexpr uint8_t DIM_CMD_GET_RAM_CSUM = 45;
inline constexpr uint8_t DIM_CMD_RUN_FROM_RAM_ADDR = 46;
inline constexpr uint8_t DIM_CMD_ERASE_FLASH = 47;
inline constexpr uint8_t DIM_CMD_PROGRAM_FLASH = 48;
inline constexpr uint8_t DIM_CMD_GET_FLASH_CSUM = 49;
inline constexpr uint8_t DIM_CMD_GET_FAULT_EVENTS = 50;
inline constexpr uint8_t DIM_CMD_GET_DIM_FAULT_CONFIG = 51;
inline constexpr uint8_t DIM_CMD_SET_DIM_FAULT_CONFIG = 52;
inline constexpr uint8_t DIM_CMD_GET_DIMMER_MANUAL_LEVEL = 53;
inline constexpr uint8_t DIM_CMD_SET_DIMMER_MANUAL_LEVEL = 54;
inline constexpr uint8_t DIM_CMD_LEARN_LOAD_PROFILE = 55;
inline constexpr uint8_t DIM_CMD_REPORT_PHASE_CURRENT = 56;
inline constexpr uint8_t DIM_CMD_SYNCH_FAULT_EVENTS = 57;
inline constexpr uint8_t DIM_CMD_GET_CONTROL_SRC = 58;

// Number of named entries of the command-name table (numbers 0 to 58).
inline constexpr unsigned kRackCmdNameCount = 59;

// Name of a command number as the link's traffic dumps print it: the CMD_
// name for numbers 0 to 58 ("0x00 invalid" and the other unused numbers
// included), "0x%02x invalid" for every number beyond the table. The text
// is static and valid for the life of the process; safe from any thread.
const char* RackCmdName(uint8_t number);

// Items of the rack status command (27) that the fixed poll asks for: the
// QXV preset, the room presets of rooms 1-8 and 9-16, and the input bits
// with the fault events that follow them.
inline constexpr uint8_t RACK_STATUS_POLL_ITEMS[4] = {9, 16, 17, 20};

// Atype of a rack command frame as the IO_KRN service carries it.
inline constexpr uint8_t RACK_CMD_ATYPE = 0x23;

// Length of the fixed poll command.
inline constexpr int kPollCommandLength = 8;

// Writes the fixed poll command that each node sends to its racks on the
// server's behalf: Atype 0x23 and {u16 27, u16 item count 4, items 9, 16,
// 17, 20}. Returns the command's length, 8, or 0 (nothing written) when
// `command` has room for fewer than 8 bytes.
int GetPollCommand(uint8_t& atype, std::span<uint8_t> command);
