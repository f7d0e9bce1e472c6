// The audit log through the built server (VEXANET_AUDIT=1): a line for every relay change with
// who made it and for every client event; the password in no line, right or wrong. The
// operator's switch is checked where the window is driven (tests/e2e/window_driver.py).
#include <gtest/gtest.h>

#include <string>

#include "e2e/E2eFixture.h"

namespace vexanet::e2e {
namespace {

class AuditTest : public ServerTest {};

TEST_F(AuditTest, RelayChangesAndSessionEventsNameWhoAndThePasswordNeverShows) {
  StartListening({}, HeadlessLaunch({{"VEXANET_COM1", com1.path()}, {"VEXANET_AUDIT", "1"},
                                     {"VEXANET_REQUIRE_PASSWORD", "1"},
                                     {"VEXANET_PASSWORD", "s3cret-pw"}}));
  WaitForRelaysOff();
  std::string wrongPeer;
  {
    LineClient wrong(port);
    ASSERT_EQ(wrong.ReadLine(kDeadline), "OK");
    wrong.SendLine("PWDguessed-pw");
    EXPECT_EQ(wrong.ReadLine(kDeadline), "Password/Connection Rejected!");
    EXPECT_TRUE(wrong.WaitClosed(kDeadline));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the back-off after a wrong one
  LineClient client(port);
  ASSERT_EQ(client.ReadLine(kDeadline), "OK");
  client.SendLine("PWDs3cret-pw");
  ASSERT_EQ(client.ReadLine(kDeadline), "Password/Connection Accepted!");
  client.SendLine("R3On");
  ASSERT_EQ(client.ReadLine(kDeadline), "Stat00100000");
  client.SendLine("R3On");  // no change: no line
  ASSERT_EQ(client.ReadLine(kDeadline), "Stat00100000");
  client.SendLine("Close");
  EXPECT_TRUE(client.WaitClosed(kDeadline));
  // The second session's end.
  const auto first = server->WaitForLine(
      [](const std::string& l) { return l.rfind("Audit: session=closed ", 0) == 0; }, kDeadline);
  ASSERT_TRUE(first);
  ASSERT_TRUE(server->WaitForLine(
      [](const std::string& l) { return l.rfind("Audit: session=closed ", 0) == 0; }, kDeadline,
      *first + 1));

  std::vector<std::string> audit;
  for (const auto& line : server->Lines()) {
    EXPECT_EQ(line.text.find("s3cret-pw"), std::string::npos) << line.text;
    EXPECT_EQ(line.text.find("guessed-pw"), std::string::npos) << line.text;
    if (line.text.rfind("Audit: ", 0) == 0) {
      // The client's port differs from run to run: "client=127.0.0.1:PORT" becomes "client".
      std::string text = line.text;
      for (const std::string key : {"client=127.0.0.1:", "by=client/127.0.0.1:"}) {
        const size_t at = text.find(key);
        if (at != std::string::npos) text = text.substr(0, at + key.size() - 1);
      }
      audit.push_back(text);
    }
  }
  EXPECT_EQ(audit, (std::vector<std::string>{
                       "Audit: session=connected client=127.0.0.1",
                       "Audit: session=refused client=127.0.0.1",
                       "Audit: session=closed client=127.0.0.1",
                       "Audit: session=connected client=127.0.0.1",
                       "Audit: session=authenticated client=127.0.0.1",
                       "Audit: relay=3 off->on by=client/127.0.0.1",
                       "Audit: session=closed client=127.0.0.1",
                   }));
  EXPECT_TRUE(server->WaitForExact(StatusLine("Client Command: PWD****"), kDeadline));
  EXPECT_TRUE(server->WaitForExact(StatusLine("Password = **** OK"), kDeadline));
}

}  // namespace
}  // namespace vexanet::e2e
