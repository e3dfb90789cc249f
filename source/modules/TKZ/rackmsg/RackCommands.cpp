#include "RackCommands.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kNames[kRackCmdNameCount] = {
    "0x00 invalid",
    "CMD_PRESET_ON",
    "CMD_PRESET_TIME_ON",
    "CMD_RECORD_PRESET",
    "CMD_GET_PRESET_TIME",
    "CMD_SET_PRESET_TIME",
    "CMD_GET_PRESET",
    "CMD_SET_PRESET",
    "0x08 invalid",
    "0x09 invalid",
    "0x0a invalid",
    "0x0b invalid",
    "CMD_RESET",
    "0x0d invalid",
    "0x0e invalid",
    "CMD_GET_MUX_PROTOCOL",
    "CMD_SET_MUX_PROTOCOL",
    "CMD_GET_MUX_STATUS",
    "CMD_GET_CIRCUIT_PATCH",
    "CMD_SET_CIRCUIT_PATCH",
    "CMD_GET_MUX_PATCH",
    "CMD_SET_MUX_PATCH",
    "CMD_GET_DIMMER_SETUP",
    "CMD_SET_DIMMER_SETUP",
    "CMD_GET_DIMMER_STATUS",
    "CMD_GET_RACK_SETUP",
    "CMD_SET_RACK_SETUP",
    "CMD_GET_RACK_STATUS",
    "CMD_GET_SLOT_MAP",
    "CMD_SET_SLOT_MAP",
    "CMD_GET_USER_CURVE",
    "CMD_CMD_SET_USER_CURVE",
    "CMD_GET_BREVANT_PATCH",
    "CMD_SET_BREVANT_PATCH",
    "CMD_BREVANT_PRESET_ON",
    "CMD_RECORD_BREVANT_PRESET",
    "CMD_GET_BREVANT_PRESET",
    "CMD_SET_BREVANT_PRESET",
    "CMD_GET_BREVANT_PRESET_TIME",
    "CMD_SET_BERVANT_PRESET_TIME",
    "CMD_GET_BREVANT_ROOM_LINKS",
    "CMD_SET_BREVANT_ROOM_LINKS",
    "CMD_GET_PHASE_STATUS",
    "CMD_SET_RAM",
    "CMD_GET_RAM",
    "CMD_GET_RAM_CSUM",
    "CMD_RUN_FROM_rAM_ADDR",
    "CMD_ERASE_FLASH",
    "CMD_PROGRAM_FLASH",
    "CMD_GET_FLASH_CSUM",
    "CMD_GET_FAULT_EVENTS",
    "CMD_GET_DIM_FAULT_CONFIG",
    "CMD_SET_DIM_FAULT_CONFIG",
    "CMD_GET_DIMMER_MANUAL_LEVEL",
    "CMD_SET_DIMMER_MANUAL_LEVEL",
    "CMD_LEARN_LOAD_PROFILE",
    "CMD_REPORT_PHASE_CURRENT",
    "CMD_SYNCH_FAULT_EVENTS",
    "CMD_GET_CONTROL_SRC",
};

// Texts for the numbers beyond the table, built once ("0x3b invalid" ...).
struct BeyondTable {
  std::array<std::array<char, 16>, 256> text{};
  BeyondTable() {
    for (unsigned n = kRackCmdNameCount; n < 256; ++n)
      std::snprintf(text[n].data(), text[n].size(), "0x%02x invalid", n);
  }
};

}  // namespace

const char* RackCmdName(uint8_t number) {
  if (number < kRackCmdNameCount) return kNames[number];
  static const BeyondTable beyond;
  return beyond.text[number].data();
}

int GetPollCommand(uint8_t& atype, std::span<uint8_t> command) {
  if (command.size() < static_cast<size_t>(kPollCommandLength)) return 0;
  atype = RACK_CMD_ATYPE;
  const uint8_t poll[kPollCommandLength] = {DIM_CMD_GET_RACK_STATUS, 0, 4, 0,
                                            RACK_STATUS_POLL_ITEMS[0], RACK_STATUS_POLL_ITEMS[1],
                                            RACK_STATUS_POLL_ITEMS[2], RACK_STATUS_POLL_ITEMS[3]};
  std::memcpy(command.data(), poll, sizeof poll);
  return kPollCommandLength;
}
