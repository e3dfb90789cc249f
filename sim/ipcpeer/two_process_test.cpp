// Two ipcpeer processes on two loopback lab addresses find each other,
// link, attach, call a procedure and receive its answer; when one is
// killed the other sees it go offline after its (shortened) silence.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "PeerProcess.h"

namespace {

using ipcpeer::PeerProcess;

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

TEST(TwoProcesses, FindLinkCallAndSeeThePeerStop) {
  // Addresses of their own for this run: 127.0.K.2 and 127.0.K.3.
  const std::string net = "127.0." + std::to_string(100 + getpid() % 100) + ".";
  const std::string a = net + "2", b = net + "3";
  const std::string peers = a + "," + b;
  PeerProcess server, client;
  ASSERT_TRUE(server.Start(IPCPEER_PATH, {"--name", "SERVER", "--addr", a, "--peers", peers,
                                          "--silence", "300", "--period", "20"}));
  ASSERT_TRUE(client.Start(IPCPEER_PATH, {"--name", "CLIENT", "--addr", b, "--peers", peers,
                                          "--silence", "300", "--period", "20", "--no-server"}));
  ASSERT_EQ(server.ReadLine(10000), "ready SERVER");
  ASSERT_EQ(client.ReadLine(10000), "ready CLIENT");

  ASSERT_TRUE(StartsWith(client.Ask("wait SERVER online 10000", 15000), "ok online"));
  ASSERT_EQ(client.Ask("connect SERVER", 5000), "ok connect SERVER");
  ASSERT_TRUE(StartsWith(client.Ask("wait SERVER attached 10000", 15000), "ok attached"));
  // Each call waits longer than the library keeps sending a packet, so an
  // answer slowed by a loaded machine is not counted as lost.
  const std::string calls = client.Ask("call 5 16 15000", 90000);
  EXPECT_TRUE(StartsWith(calls, "ok calls 5 answered 5 ")) << calls;
  const std::string served = server.Ask("status CLIENT", 5000);
  EXPECT_NE(served.find(" served 5"), std::string::npos) << served;
  EXPECT_TRUE(StartsWith(server.Ask("wait CLIENT online 5000", 10000), "ok online"));

  server.Kill();
  // Silence of 3 s, seen at the next periodic turn.
  const std::string gone = client.Ask("wait SERVER offline 10000", 15000);
  EXPECT_TRUE(StartsWith(gone, "ok offline")) << gone;
  EXPECT_EQ(client.Ask("quit", 5000), "bye");
}

}  // namespace
