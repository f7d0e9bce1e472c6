// The server as systemd starts it, with the test playing systemd: a datagram socket of its own
// in NOTIFY_SOCKET and WATCHDOG_USEC set. READY=1 comes after the ready line, STATUS= with the
// status texts (password masked), WATCHDOG=1 steadily while every part works and no more once
// one hangs (a build with test hooks), STOPPING=1 on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "UniqueFd.h"
#include "e2e/E2eFixture.h"

namespace vexanet::e2e {
namespace {

using testing_support::UniqueFd;

// A notification socket as systemd's: every datagram is one message of NAME=VALUE lines.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path) : path_(path) {
    fd_ = UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("cannot bind " + path.string());
  }
  // The next message, or empty after the timeout.
  std::optional<std::string> Next(std::chrono::milliseconds timeout) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
  }
  // Messages until one equals `wanted` (true) or the timeout passes (false); all are kept.
  bool WaitFor(const std::string& wanted, std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    while (Clock::now() < until) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      const std::optional<std::string> m = Next(left);
      if (!m) return false;
      seen.push_back(*m);
      if (*m == wanted) return true;
    }
    return false;
  }
  const std::filesystem::path& path() const { return path_; }
  std::vector<std::string> seen;

 private:
  std::filesystem::path path_;
  UniqueFd fd_;
};

class NotifyTest : public ServerTest {};

TEST_F(NotifyTest, ReadyStatusWatchdogAndStoppingAsSystemdHearsThem) {
  NotifySocket notify(dir.path() / "notify");
  Launch launch = HeadlessLaunch({{"VEXANET_COM1", com1.path()},
                                  {"NOTIFY_SOCKET", notify.path().string()},
                                  {"WATCHDOG_USEC", "1000000"}});
  StartListening({}, launch);
  ASSERT_TRUE(notify.WaitFor("READY=1", kStartDeadline));
  const auto ready = server->WaitForExact(StatusLine("COM1  Vexa  0 minutes  Ready"), kDeadline);
  ASSERT_TRUE(ready) << "READY=1 came, but not with the ready line";
  EXPECT_NE(std::find(notify.seen.begin(), notify.seen.end(), "STATUS=Stat00000000"),
            notify.seen.end());
  // Twice a second while all is well.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", std::chrono::seconds(2)));

  LineClient client(port);
  ASSERT_EQ(client.ReadLine(kDeadline), "OK");
  client.SendLine("PWDQWK");
  ASSERT_EQ(client.ReadLine(kDeadline), "Password/Connection Accepted!");
  EXPECT_TRUE(notify.WaitFor("STATUS=Password = **** OK", kDeadline));
  for (const std::string& m : notify.seen) EXPECT_EQ(m.find("QWK"), std::string::npos) << m;

  server->Signal(SIGTERM);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", kDeadline));
  EXPECT_EQ(server->WaitExit(kDeadline), 0);
}

TEST_F(NotifyTest, AHungSerialWriterStopsTheWatchdogMessages) {
#if !defined(VEXANET_TEST_HOOKS)
  GTEST_SKIP() << "needs a build with -DVEXANET_TEST_HOOKS=ON (scripts/test builds one)";
#else
  NotifySocket notify(dir.path() / "notify");
  // Start-up's eight bytes go out; the ninth (the client's) never comes back.
  StartListening({}, HeadlessLaunch({{"VEXANET_COM1", com1.path()},
                                     {"NOTIFY_SOCKET", notify.path().string()},
                                     {"WATCHDOG_USEC", "1000000"},
                                     {"VEXANET_TEST_HANG_SERIAL", "9"}}));
  ASSERT_TRUE(notify.WaitFor("READY=1", kStartDeadline));
  ASSERT_TRUE(notify.WaitFor("WATCHDOG=1", std::chrono::seconds(2)));
  LineClient client(port);
  ASSERT_EQ(client.ReadLine(kDeadline), "OK");
  client.SendLine("R1On");
  const auto stuck = server->WaitForLine(
      [](const std::string& l) {
        return l.rfind("Watchdog: ", 0) == 0 && l.find("serial line writer busy for ") != l.npos;
      },
      kDeadline);
  ASSERT_TRUE(stuck) << "no console line about the stuck writer";
  // From the line on, no WATCHDOG=1: the service manager would restart the server. Messages
  // sent before the line are already waiting on the socket: read them first.
  while (notify.Next(std::chrono::milliseconds(0))) {
  }
  notify.seen.clear();
  EXPECT_FALSE(notify.WaitFor("WATCHDOG=1", std::chrono::milliseconds(2500)));
#endif
}

}  // namespace
}  // namespace vexanet::e2e
