// The simulators' command lines: a refused argument is named on the first
// line the program prints (on standard error), before the usage, and the program exits 2 without
// starting; and nodesim's fault commands on its standard input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "RunProgram.h"

namespace {

TEST(SimulatorCommandLine, ARefusedArgumentIsNamedBeforeTheUsage) {
  struct Case {
    const char* exe;
    std::vector<std::string> args;
    const char* first;  // the first line it prints
  };
  const Case cases[] = {
      {NODESIM_PATH, {"--rack", "1:300"}, "nodesim: --rack needs SLOT:RACK[:DIMMERS[:KIND]]"},
      {NODESIM_PATH, {"--addr", "127.0.0"}, "nodesim: --addr needs an IPv4 host address"},
      {NODESIM_PATH, {"--latency"}, "nodesim: --latency needs milliseconds"},
      {NODESIM_PATH, {"--racks", "1"}, "nodesim: unknown argument \"--racks\"."},
      {NODESIM_PATH, {"--addr", "127.0.0.2", "--report", "256"}, "nodesim: --report needs a number"},
      {NODESIM_PATH, {"--addr", "127.0.0.2", "--latency", "99999999999999999999"},
       "nodesim: --latency needs milliseconds"},
      {NODESIM_PATH, {"--addr", "127.0.0.2", "--rack", "6:1"}, "nodesim: --rack needs SLOT:RACK"},
      {NODESIM_PATH, {"--addr", "127.0.0.2", "--rack", "0:5:0"}, "nodesim: --rack needs SLOT:RACK"},
      {NODESIM_PATH, {"--addr", "127.0.0.2", "--rack", "0::5"}, "nodesim: --rack needs SLOT:RACK"},
      {NODESIM_PATH, {"--addr", "127.0.0.2", "--rack", "0:5", "--rack", "1:5"},
       "nodesim: rack 5 given twice."},
      {IPCPEER_PATH, {"--type", "30"}, "ipcpeer: --type needs a node type from 1 to 25."},
      {IPCPEER_PATH, {"--server"}, "ipcpeer: unknown argument \"--server\"."},
      {SERIALRACK_PATH, {}, "serialrack: --racks is required."},
      {SERIALRACK_PATH, {"--racks", "5,,6"}, "serialrack: --racks needs rack numbers from 1 to 256"},
      {SERIALRACK_PATH, {"--racks", ","}, "serialrack: --racks needs rack numbers from 1 to 256"},
      {SERIALRACK_PATH, {"--racks", "257"}, "serialrack: --racks needs rack numbers from 1 to 256"},
      {SERIALRACK_PATH, {"--racks", "5,5"}, "serialrack: rack 5 given twice."},
      {SERIALRACK_PATH, {"--racks", "5", "--device", ""}, "serialrack: --device needs a path."},
      {SERIALRACK_PATH, {"--racks", "5", "--dims", "97"}, "serialrack: --dims needs a number"},
      {SERIALRACK_PATH, {"--racks", "5", "--type", "x"}, "serialrack: --type needs a rack kind"},
      {SERIALRACK_PATH, {"--racks", "5", "--dims"}, "serialrack: --dims needs a value."},
      {SERIALRACK_PATH, {"--rack", "5"}, "serialrack: unknown argument \"--rack\"."},
  };
  for (const Case& c : cases) {
    std::string err;
    EXPECT_EQ(drovana::test::RunProgram(c.exe, c.args, "", &err), 2) << c.first;
    EXPECT_EQ(err.rfind(c.first, 0), 0u) << err;
    EXPECT_NE(err.find("\nusage: "), std::string::npos) << err;
  }
}

// nodesim's fault commands take their fields within their ranges, for a
// rack it holds, and refuse anything else by name.
TEST(SimulatorCommands, NodesimFaultCommandsTakeTheirRangesAndRefuseTheRest) {
  const struct {
    const char* line;
    const char* answer;
  } cases[] = {
      {"rack-fault 5 2 4", "ok rack-fault"},
      {"rack-fault 5 63 255 65535 -32768 32767", "ok rack-fault"},
      {"rack-clear 5 2 4 0", "ok rack-clear"},
      {"rack-fault 5 64 0", "error bad arguments rack-fault"},
      {"rack-fault 5 2 256", "error bad arguments rack-fault"},
      {"rack-fault 5 2 4 65536", "error bad arguments rack-fault"},
      {"rack-fault 5 2 4 0 32768", "error bad arguments rack-fault"},
      {"rack-fault 6 2 4", "error bad arguments rack-fault"},  // no such rack
      {"rack-fault 5 2", "error bad arguments rack-fault"},
      {"rack-clear 5 2 4 0 1", "error bad arguments rack-clear"},
  };
  std::string input;
  for (const auto& c : cases) input += std::string(c.line) + "\n";
  const std::string addr = "127.43." + std::to_string(getpid() % 250 + 1) + ".2";
  std::string out;
  ASSERT_EQ(drovana::test::RunProgram(NODESIM_PATH, {"--addr", addr, "--rack", "0:5", "--quiet"}, input, &out), 0)
      << out;
  size_t at = 0;
  for (const auto& c : cases) {
    const size_t found = out.find(std::string("\n") + c.answer + "\n", at);
    EXPECT_NE(found, std::string::npos) << c.line << "\n" << out;
    if (found != std::string::npos) at = found + 1;
  }
}

}  // namespace
