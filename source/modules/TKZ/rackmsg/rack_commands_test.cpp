#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "RackCommands.h"
#include "RackModel.h"

namespace {

TEST(RackCmdName, TableEdgesAndNumbersBeyondIt) {
  const std::pair<unsigned, const char*> cases[] = {
      {0, "0x00 invalid"},
      {1, "CMD_PRESET_ON"},
      {7, "CMD_SET_PRESET"},
      {8, "0x08 invalid"},
      {11, "0x0b invalid"},
      {12, "CMD_RESET"},
      {14, "0x0e invalid"},
      {15, "CMD_GET_MUX_PROTOCOL"},
      {31, "CMD_CMD_SET_USER_CURVE"},
      {39, "CMD_SET_BERVANT_PRESET_TIME"},
      {46, "CMD_RUN_FROM_rAM_ADDR"},
      {57, "CMD_SYNCH_FAULT_EVENTS"},
      {58, "CMD_GET_CONTROL_SRC"},
      {59, "0x3b invalid"},
      {160, "0xa0 invalid"},
      {255, "0xff invalid"},
  };
  for (const auto& [number, name] : cases)
    EXPECT_STREQ(RackCmdName(static_cast<uint8_t>(number)), name) << number;
  EXPECT_EQ(kRackCmdNameCount, 59u);
}

TEST(RackCmdName, EveryCommandNumberNamesItsCommand) {
  const std::pair<uint8_t, const char*> cases[] = {
      {DIM_CMD_GET_CIRCUIT_PATCH, "CMD_GET_CIRCUIT_PATCH"},
      {DIM_CMD_SET_MUX_PATCH, "CMD_SET_MUX_PATCH"},
      {DIM_CMD_GET_RACK_STATUS, "CMD_GET_RACK_STATUS"},
      {DIM_CMD_SET_USER_CURVE, "CMD_CMD_SET_USER_CURVE"},
      {DIM_CMD_GET_BREVANT_ROOM_LINKS, "CMD_GET_BREVANT_ROOM_LINKS"},
      {DIM_CMD_GET_FAULT_EVENTS, "CMD_GET_FAULT_EVENTS"},
      {DIM_CMD_GET_DIM_FAULT_CONFIG, "CMD_GET_DIM_FAULT_CONFIG"},
      {DIM_CMD_LEARN_LOAD_PROFILE, "CMD_LEARN_LOAD_PROFILE"},
      {DIM_CMD_SYNCH_FAULT_EVENTS, "CMD_SYNCH_FAULT_EVENTS"},
  };
  for (const auto& [number, name] : cases) EXPECT_STREQ(RackCmdName(number), name);
}

TEST(PollCommand, TemplateBytesAndTheRackModelsAnswerToThem) {
  uint8_t atype = 0;
  uint8_t cmd[290];
  std::memset(cmd, 0xEE, sizeof cmd);
  ASSERT_EQ(GetPollCommand(atype, cmd), 8);
  EXPECT_EQ(atype, 0x23);
  EXPECT_EQ(std::vector<uint8_t>(cmd, cmd + 9), (std::vector<uint8_t>{27, 0, 4, 0, 9, 16, 17, 20, 0xEE}));

  uint8_t small[7] = {};
  uint8_t a2 = 0;
  EXPECT_EQ(GetPollCommand(a2, small), 0);
  EXPECT_EQ(a2, 0);

  // A rack answers the template with the poll response layout: command 27,
  // QXV preset, 16 room presets, input bits, event count, rack number.
  sim::RackModel rack(sim::RackModel::Config{33, 0, 24, 0, 0});
  rack.SetInputBits(0x0000A5A5);
  const auto answer = rack.Exchange({cmd, 8});
  ASSERT_EQ(answer.kind, sim::AnswerKind::Reply) << rack.last_reject();
  ASSERT_EQ(answer.reply.size(), 26u);
  EXPECT_EQ(answer.reply[0], 27);
  EXPECT_EQ(answer.reply[20], 0xA5);
  EXPECT_EQ(answer.reply[21], 0xA5);
  EXPECT_EQ(answer.reply[24], 0);
  EXPECT_EQ(answer.reply[25], 33);
}

}  // namespace
