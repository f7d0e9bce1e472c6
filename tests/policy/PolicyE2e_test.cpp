// The safety policies through the built server: the relays restored after a kill, a malformed
// setting that stops the start, off on close, interlocks and the maximum on-time over the line
// protocol.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "e2e/E2eFixture.h"

namespace vexanet::e2e {
namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

class PolicyTest : public ServerTest {
 protected:
  void StartWith(Env env) {
    env.emplace_back("VEXANET_COM1", com1.path());
    StartListening({}, HeadlessLaunch(std::move(env)));
  }
  // The values of the bytes from index `from` on, once `count` have arrived in all.
  std::vector<uint8_t> Bytes(size_t from, size_t count) {
    std::vector<uint8_t> values;
    const auto bytes = com1.WaitForBytes(count, kDeadline);
    for (size_t i = from; i < bytes.size(); ++i) values.push_back(bytes[i].value);
    return values;
  }
  bool Said(const std::string& text) { return server->WaitForExact(text, kDeadline).has_value(); }
};

TEST_F(PolicyTest, RestoredAfterAKillAndAllOffFromADamagedFile) {
  const Env env = {{"VEXANET_START_STATE", "restore"}};
  StartWith(env);
  EXPECT_TRUE(Said("Safety policies: start state restore"));
  EXPECT_TRUE(server->WaitForLine(
      [](const std::string& l) {
        return l.rfind("Relay states not restored: ", 0) == 0 &&
               l.ends_with("VexaNetRelays.state does not exist; all relays off");
      },
      kDeadline));
  WaitForRelaysOff();
  {
    LineClient client(port);
    ASSERT_EQ(client.ReadLine(kDeadline), "OK");
    client.SendLine("R1On");
    ASSERT_EQ(client.ReadLine(kDeadline), "Stat10000000");
    client.SendLine("R3On");
    ASSERT_EQ(client.ReadLine(kDeadline), "Stat10100000");
  }
  server->Signal(SIGKILL);
  server->WaitExit(kDeadline);

  StartWith(env);
  EXPECT_EQ(Bytes(10, 18), (std::vector<uint8_t>{0x08, 0x01, 0x0A, 0x03, 0x04, 0x05, 0x06, 0x07}));
  ASSERT_TRUE(WaitForReady("COM1", 0));
  server->Signal(SIGKILL);
  server->WaitExit(kDeadline);

  std::ofstream(dir.path() / "VexaNetRelays.state", std::ios::trunc) << "vexanet relay states 1\n1x";
  StartWith(env);
  EXPECT_TRUE(server->WaitForLine(
      [](const std::string& l) { return l.ends_with("VexaNetRelays.state is damaged; all relays off"); },
      kDeadline));
  EXPECT_EQ(Bytes(18, 26), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(PolicyTest, AMalformedSettingStopsTheStart) {
  for (const auto& [name, value] : Env{{"VEXANET_START_STATE", "yes"},
                                       {"VEXANET_OFF_ON_CLOSE", "1;2"},
                                       {"VEXANET_MAX_ON", "3:forever"},
                                       {"VEXANET_INTERLOCK", "1+2+2"}}) {
    ServerProcess process(HeadlessLaunch({{"VEXANET_COM1", com1.path()}, {name, value}}));
    EXPECT_EQ(process.WaitExit(kDeadline), 1) << name;
    EXPECT_TRUE(process.WaitForLine(
        [&](const std::string& l) { return l.rfind(name + ": \"", 0) == 0; }, kDeadline))
        << process.Transcript();
    EXPECT_TRUE(process.WaitForExact("Not started: a safety setting is malformed", kDeadline));
  }
  EXPECT_TRUE(com1.Bytes().empty()) << "a server that does not start switches nothing";
}

TEST_F(PolicyTest, InterlockAndOffOnCloseOverTheLineProtocol) {
  StartWith({{"VEXANET_OFF_ON_CLOSE", "1"}, {"VEXANET_INTERLOCK", "2+3"}});
  EXPECT_TRUE(Said("Safety policies: off on close 1; interlock 2+3"));
  WaitForRelaysOff();
  {
    LineClient client(port);
    ASSERT_EQ(client.ReadLine(kDeadline), "OK");
    client.SendLine("R1On");
    ASSERT_EQ(client.ReadLine(kDeadline), "Stat10000000");
    client.SendLine("R2On");
    ASSERT_EQ(client.ReadLine(kDeadline), "Stat11000000");
    // Relay 2 goes off first, with its own status line, then relay 3 on.
    client.SendLine("R3On");
    EXPECT_EQ(client.ReadLine(kDeadline), "Stat10000000");
    EXPECT_EQ(client.ReadLine(kDeadline), "Stat10100000");
    EXPECT_EQ(Bytes(8, 12), (std::vector<uint8_t>{0x08, 0x09, 0x01, 0x0A}));
    client.CloseNow();  // the connection drops
  }
  // The next client is let in only after relay 1 went off.
  LineClient next(port);
  ASSERT_EQ(next.ReadLine(kDeadline), "OK");
  EXPECT_EQ(Bytes(12, 13), (std::vector<uint8_t>{0x00}));
  next.SendLine("Get");
  EXPECT_EQ(next.ReadLine(kDeadline), "Stat00100000");
}

TEST_F(PolicyTest, MaximumOnTimeHoldsWhileAClientIsBusy) {
  StartWith({{"VEXANET_MAX_ON", "2:500ms"}});
  WaitForRelaysOff();
  LineClient client(port);
  ASSERT_EQ(client.ReadLine(kDeadline), "OK");
  client.SendLine("R2On");
  ASSERT_EQ(client.ReadLine(kDeadline), "Stat01000000");
  // Busy: one "Get" after the other until relay 2 has gone off.
  std::string last;
  const auto until = Clock::now() + kDeadline;
  while (last != "Stat00000000" && Clock::now() < until) {
    client.SendLine("Get");
    last = client.ReadLine(kDeadline).value_or("");
  }
  const auto bytes = com1.WaitForBytes(10, kDeadline);
  ASSERT_EQ(bytes.size(), 10u);
  EXPECT_EQ(bytes[8].value, 0x09);
  EXPECT_EQ(bytes[9].value, 0x01);
  // Counted from the change (after the byte's 150 ms pause): never early.
  EXPECT_GE(bytes[9].at - bytes[8].at, std::chrono::milliseconds(650));
}

}  // namespace
}  // namespace vexanet::e2e
