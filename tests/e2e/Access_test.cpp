// The access settings through the built server, started with them in its environment: allowed
// client networks, listen addresses, the password from a file, a required password and the
// back-off after a rejected one, the deadline for the password, and bad values. 127.0.0.1, 127.0.0.2 and ::1 stand for three
// client addresses on one machine. Without any setting the other end-to-end tests apply.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "E2eFixture.h"
#include "LineClient.h"
#include "PortHolder.h"

namespace vexanet::e2e {
namespace {

using testing_support::LineClient;
using testing_support::PortHolder;

class AccessTest : public ServerTest {
 protected:
  // A server on a free port with these settings besides its serial line; start-up's relay
  // switching is over, and a session waits.
  void StartWith(std::vector<std::pair<std::string, std::string>> env) {
    env.emplace_back("VEXANET_COM1", com1.path());
    StartListening({}, HeadlessLaunch(std::move(env)));
    WaitForRelaysOff();
    ASSERT_TRUE(server->WaitForExact(StatusLine("Awaiting Client Connection"), kDeadline));
  }

  bool HasConsoleLine(const std::string& text) const {
    return server->WaitForExact(text, kDeadline).has_value();
  }
  size_t CountLines(const std::function<bool(const std::string&)>& match) const {
    size_t n = 0;
    for (const auto& line : server->Lines()) n += match(line.text) ? 1 : 0;
    return n;
  }
  static bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
  }
};

TEST_F(AccessTest, OnlyAllowedClientsAreServed) {
  // A /129 is no IPv6 network: it is left out with a console line, the other entry holds.
  StartWith({{"VEXANET_ALLOW", "127.0.0.2/32,::/129"}});
  EXPECT_EQ(CountLines([](const std::string& l) { return StartsWith(l, "VEXANET_ALLOW: "); }),
            1u);
  EXPECT_EQ(CountLines([](const std::string& l) { return l.find("/129") != l.npos; }), 1u);

  LineClient refused(port);
  ASSERT_TRUE(refused.ok());
  EXPECT_TRUE(refused.ClosedByServer(kDeadline));
  EXPECT_TRUE(HasConsoleLine("Refused connection from 127.0.0.1: not in VEXANET_ALLOW"));

  LineClient allowed(port, {.from = "127.0.0.2"});
  EXPECT_EQ(allowed.ReadLine(kDeadline), "OK");
  allowed.SendLine("R4On");
  EXPECT_EQ(allowed.ReadLine(kDeadline), "Stat00010000");
  const auto bytes = com1.WaitForBytes(9, kDeadline);
  ASSERT_EQ(bytes.size(), 9u);
  EXPECT_EQ(bytes[8].value, 0x0B);
  // The refused client never reached the window: one connection was accepted in all.
  EXPECT_EQ(CountLines([](const std::string& l) {
              return l == StatusLine("Client Connection Accepted!");
            }),
            1u);
}

TEST_F(AccessTest, RequiredPasswordFromAFileWithBackOff) {
  const auto file = dir.path() / "password";
  std::ofstream(file) << "s3cret\nnot the password\n";
  StartWith({{"VEXANET_PASSWORD_FILE", file.string()}, {"VEXANET_REQUIRE_PASSWORD", "1"}});

  // Nothing before the password.
  LineClient early(port);
  EXPECT_EQ(early.ReadLine(kDeadline), "OK");
  early.SendLine("R1On");
  EXPECT_EQ(early.ReadLine(kDeadline), "Password required");
  EXPECT_TRUE(early.ClosedByServer(kDeadline));

  // The built-in password is not it. The rejection turns the address away for a second.
  LineClient wrong(port);
  EXPECT_EQ(wrong.ReadLine(kDeadline), "OK");
  const auto since = Clock::now();
  wrong.SendLine("PWDQWK");
  EXPECT_EQ(wrong.ReadLine(kDeadline), "Password/Connection Rejected!");
  EXPECT_EQ(wrong.ReadLine(kDeadline), "CLOSE");
  EXPECT_TRUE(wrong.ClosedByServer(kDeadline));
  ASSERT_TRUE(server->WaitForNth(StatusLine("Awaiting Client Connection"), 3, kDeadline));
  {
    LineClient tooSoon(port);
    const bool greeted = tooSoon.ReadLine(kDeadline).has_value();
    if (Clock::now() - since < 1s) {  // checked only while the second cannot have run out
      EXPECT_FALSE(greeted);
      EXPECT_TRUE(server->WaitForLine(
          [](const std::string& l) {
            return StartsWith(l, "Refused connection from 127.0.0.1: too soon after a rejected "
                                 "password");
          },
          kDeadline));
    }
  }

  // After the second, the password from the first line of the file opens the session.
  std::this_thread::sleep_for(1s - (Clock::now() - since) + 100ms);
  ASSERT_TRUE(server->WaitForNth(StatusLine("Awaiting Client Connection"), 3, kDeadline));
  LineClient right(port);
  ASSERT_EQ(right.ReadLine(kDeadline), "OK");
  right.SendLine("PWDs3cret");
  EXPECT_EQ(right.ReadLine(kDeadline), "Password/Connection Accepted!");
  right.SendLine("R1On");
  EXPECT_EQ(right.ReadLine(kDeadline), "Stat10000000");
  const auto bytes = com1.WaitForBytes(9, kDeadline);
  ASSERT_EQ(bytes.size(), 9u) << "a line before the password must send nothing";
  EXPECT_EQ(bytes[8].value, 0x08);
}

TEST_F(AccessTest, UnreadablePasswordFileAcceptsNoPassword) {
  const auto missing = dir.path() / "no-such-password";
  StartWith({{"VEXANET_PASSWORD_FILE", missing.string()}});
  EXPECT_EQ(CountLines([](const std::string& l) {
              return StartsWith(l, "VEXANET_PASSWORD_FILE: ") &&
                     l.find("no password is accepted until the operator sets one") != l.npos;
            }),
            1u);
  for (const char* line : {"PWDQWK", "PWD"}) {
    LineClient c(port);
    ASSERT_EQ(c.ReadLine(kDeadline), "OK");
    c.SendLine(line);
    EXPECT_EQ(c.ReadLine(kDeadline), "Password/Connection Rejected!") << line;
    EXPECT_EQ(c.ReadLine(kDeadline), "CLOSE") << line;
    EXPECT_TRUE(c.ClosedByServer(kDeadline)) << line;
  }
  // No password is required: a client that sends none is still served.
  LineClient none(port);
  ASSERT_EQ(none.ReadLine(kDeadline), "OK");
  none.SendLine("Get");
  EXPECT_EQ(none.ReadLine(kDeadline), "Stat00000000");
}

TEST_F(AccessTest, SilentClientLosesTheSlotWithinThePasswordDeadline) {
  StartWith({{"VEXANET_PASSWORD", "pw"},
             {"VEXANET_REQUIRE_PASSWORD", "1"},
             {"VEXANET_AUTH_TIMEOUT", "300ms"},
             {"VEXANET_IDLE_TIMEOUT", "soon"}});
  EXPECT_EQ(CountLines([](const std::string& l) {
              return l == "VEXANET_IDLE_TIMEOUT: \"soon\" is not a duration (such as 500ms, 10s or "
                          "2m); sessions have no idle limit";
            }),
            1u);

  // A client that says nothing is closed, and the slot is free again for one that logs in.
  LineClient silent(port);
  ASSERT_EQ(silent.ReadLine(kDeadline), "OK");
  EXPECT_TRUE(silent.ClosedByServer(kDeadline));
  EXPECT_TRUE(server->WaitForLine(
      [](const std::string& l) {
        return StartsWith(l, "Client 127.0.0.1:") &&
               l.ends_with(" closed: no accepted password within 300 ms");
      },
      kDeadline));
  LineClient next(port);
  ASSERT_EQ(next.ReadLine(kDeadline), "OK");
  next.SendLine("PWDpw");
  EXPECT_EQ(next.ReadLine(kDeadline), "Password/Connection Accepted!");
}

TEST_F(AccessTest, ListensOnlyOnTheListedAddresses) {
  // The configured port is taken on 127.0.0.1 and free on ::1.
  port = PickFreePort(3002, 3128);
  ASSERT_NE(port, 0);
  PortHolder taken(port);
  ASSERT_EQ(taken.port(), port);
  ASSERT_EQ(RunTool(programs.config,
                    {"write", (dir.path() / "VexaNetCFG.bin").string(), "--tcp-port",
                     std::to_string(port)},
                    kDeadline),
            0);
  server = std::make_unique<ServerProcess>(HeadlessLaunch(
      {{"VEXANET_COM1", com1.path()}, {"VEXANET_LISTEN", "127.0.0.1, ::1, localhost"}}));
  const std::string p = std::to_string(port);
  ASSERT_TRUE(server->WaitForExact(StatusLine("Server Socket Opened OK at Port " + p),
                                   kStartDeadline));
  EXPECT_EQ(CountLines([](const std::string& l) { return StartsWith(l, "VEXANET_LISTEN: "); }),
            1u);
  EXPECT_EQ(CountLines([](const std::string& l) { return StartsWith(l, "Cannot listen on "); }),
            1u);
  EXPECT_EQ(CountLines([&](const std::string& l) {
              return StartsWith(l, "Cannot listen on 127.0.0.1 port " + p + ": ");
            }),
            1u);
  WaitForRelaysOff();
  LineClient six(port, {.host = "::1", .from = "::1"});
  EXPECT_EQ(six.ReadLine(kDeadline), "OK");
  six.SendLine("Get");
  EXPECT_EQ(six.ReadLine(kDeadline), kAllOff);
}

}  // namespace
}  // namespace vexanet::e2e
