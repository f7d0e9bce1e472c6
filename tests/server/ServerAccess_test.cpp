// The access settings at work in the server core and its sessions, on loopback: where the core
// listens, which clients it serves, a required password, the back-off after rejected passwords,
// the overall limit on them and the limits on quiet clients. 127.0.0.1, 127.0.0.2 and ::1 stand
// for three client addresses on one machine; 127.0.0.x for many guessers.
#include <netinet/in.h>
#include <sys/socket.h>

#include <map>
#include <set>

#include "LineClient.h"
#include "PortHolder.h"
#include "ServerHarness.h"
#include "access/AccessPolicy.h"
#include "server/ServerSocket.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace acl = vexanet::access;

namespace {

using Clock = std::chrono::steady_clock;

// The core as start-up makes it, with the access settings these variables give.
class Access : public ServerFixture {
 protected:
  using Env = std::map<std::string, std::string>;

  void SetUp() override {}
  void TearDown() override {
    Stop();
    settings_.password.set("QWK");
  }

  void StartWith(const Env& env, int32_t port = 0, const ServerTimings& timings = {}) {
    std::vector<std::string> problems;
    acl::AccessSettings settings = acl::AccessSettings::FromEnvironment(
        [&](const char* name) -> std::optional<std::string> {
          const auto it = env.find(name);
          return it == env.end() ? std::nullopt : std::optional(it->second);
        },
        problems);
    ::setenv("VEXANET_COM1", line_.path().c_str(), 1);
    settings_.to.store(0);
    core_ = std::make_unique<LocalCAM>(
        settings_, "COM1", "Vexa", port, 9600, 8, 1, "None", "None",
        [this](int32_t) {
          auto made = std::make_unique<FakeWindow>(false);
          window_ = made.get();
          return made;
        },
        timings, std::make_unique<acl::AccessPolicy>(settings, timings.backOff));
    if (core_->ss() != nullptr) {
      core_->CommandB5();
      ASSERT_TRUE(StatusBecomes("Awaiting Client Connection"));
    }
  }

  // One client from 127.0.0.1. Greeted: it leaves again and the next session waits. Not
  // greeted: it was closed without a line and the same session goes on waiting.
  bool Served(const std::string& from = "") {
    const auto before = core().connectthread();
    LineClient c(port(), {.from = from});
    const std::optional<std::string> first = c.ReadLine();
    if (first == "OK") {
      c.SendLine("Close");
      EXPECT_TRUE(c.ClosedByServer());
      EXPECT_TRUE(NextSessionWaiting(before));
      return true;
    }
    EXPECT_EQ(first, std::nullopt);
    EXPECT_EQ(core().connectthread(), before);
    EXPECT_TRUE(before->waiting());
    return false;
  }
  // Tries every 50 ms until a client from 127.0.0.1 is served; when that was.
  std::optional<Clock::time_point> ServedWithin(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      if (Served()) return Clock::now();
      Pump(50ms);
    }
    return std::nullopt;
  }
  // A wrong password on a greeted client: the rejection, the connection ends and the next
  // session waits.
  void Reject(LineClient& c) {
    const auto serving = core().connectthread();
    c.SendLine("PWDwrong");
    EXPECT_EQ(c.ReadLine(), "Password/Connection Rejected!");
    EXPECT_EQ(c.ReadLine(), "CLOSE");
    EXPECT_TRUE(c.ClosedByServer());
    EXPECT_TRUE(NextSessionWaiting(serving));
  }
};

// The client's own port, as the server names it.
int LocalPort(const LineClient& c) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (::getsockname(c.fd(), reinterpret_cast<sockaddr*>(&local), &size) != 0) return -1;
  return ntohs(local.sin_port);
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

}  // namespace

TEST_F(Access, RefusedClientsNeverTakeTheSlot) {
  StdoutCapture out;
  StartWith({{"VEXANET_ALLOW", "127.0.0.2/32"}});
  const auto waiting = core().connectthread();
  const int statusCount = window().statusCount;

  LineClient fromOne(port());
  LineClient fromSix(port(), {.host = "::1", .from = "::1"});  // the listening socket is dual-stack
  ASSERT_TRUE(fromOne.ok());
  ASSERT_TRUE(fromSix.ok());
  EXPECT_TRUE(fromOne.ClosedByServer());
  EXPECT_TRUE(fromSix.ClosedByServer());
  EXPECT_TRUE(WaitUntil([&] {
    return out.Contains("Refused connection from 127.0.0.1: not in VEXANET_ALLOW") &&
           out.Contains("Refused connection from ::1: not in VEXANET_ALLOW");
  }));
  EXPECT_EQ(core().connectthread(), waiting);
  EXPECT_TRUE(waiting->waiting());
  EXPECT_EQ(window().statusCount, statusCount);  // the window never heard of them

  LineClient allowed(port(), {.from = "127.0.0.2"});
  EXPECT_EQ(allowed.ReadLine(), "OK");
  allowed.SendLine("Get");
  EXPECT_EQ(allowed.ReadLine(), "Stat00000000");
  EXPECT_EQ(core().connectthread(), waiting);  // the session that waited serves it

  // One that is refused while the allowed client is served waits in the queue, and is closed
  // as soon as the next session takes it; that session goes on waiting for an allowed client.
  LineClient queued(port());
  ASSERT_TRUE(queued.ok());
  allowed.SendLine("Close");
  EXPECT_TRUE(queued.ClosedByServer());
  EXPECT_TRUE(NextSessionWaiting(waiting));
  LineClient next(port(), {.from = "127.0.0.2"});
  EXPECT_EQ(next.ReadLine(), "OK");
  EXPECT_EQ(Count(out.Text(), "Refused connection from 127.0.0.1"), 2u);
}

TEST_F(Access, ListensOnlyOnTheListedAddresses) {
  PortHolder taken;  // the port is taken on 127.0.0.1, free on ::1
  ASSERT_NE(taken.port(), 0);
  const std::string p = std::to_string(taken.port());
  {
    StdoutCapture out;
    StartWith({{"VEXANET_LISTEN", "127.0.0.1,::1"}}, taken.port());
    EXPECT_EQ(Count(out.Text(), "Cannot listen on "), 1u);
    EXPECT_NE(out.Text().find("Cannot listen on 127.0.0.1 port " + p + ": "), std::string::npos);
    ASSERT_NE(core().ss(), nullptr);
    EXPECT_EQ(core().ss()->LocalEndpoints(),
              (std::vector<asio::ip::tcp::endpoint>{
                  {asio::ip::make_address("::1"), static_cast<uint16_t>(taken.port())}}));
    LineClient v6(taken.port(), {.host = "::1", .from = "::1"});
    EXPECT_EQ(v6.ReadLine(), "OK");
  }
  // Nothing usable: as any other socket that cannot be opened.
  Stop();
  {
    StdoutCapture out;
    StartWith({{"VEXANET_LISTEN", "127.0.0.1"}}, taken.port());
    EXPECT_EQ(core().ss(), nullptr);
    EXPECT_TRUE(StatusBecomes("Can't Get ServerSocket at Port " + p));
    EXPECT_FALSE(window().connectEnabled);
    EXPECT_TRUE(out.Contains("Cannot listen on 127.0.0.1 port " + p + ": Address already in use"));
  }
  // IPv4 loopback only: nothing answers on ::1.
  Stop();
  StartWith({{"VEXANET_LISTEN", "127.0.0.1"}});
  EXPECT_FALSE((LineClient(port(), {.host = "::1", .from = "::1"}).ok()));
  LineClient v4(port());
  EXPECT_EQ(v4.ReadLine(), "OK");
}

TEST_F(Access, RequiredPasswordComesBeforeAnythingElse) {
  StartWith({{"VEXANET_REQUIRE_PASSWORD", "1"}});
  settings_.password.set("s3cret");
  for (const char* first : {"R1On", "Get", "TO=5", "Bnum3", "x"}) {
    const auto previous = core().connectthread();
    auto c = Connect();
    c->SendLine(first);
    EXPECT_EQ(c->ReadLine(), "Password required") << first;
    EXPECT_TRUE(c->ClosedByServer()) << first;
    EXPECT_TRUE(NextSessionWaiting(previous)) << first;
  }
  EXPECT_EQ(settings_.to.load(), 0);
  EXPECT_TRUE(line_.Drain(200ms).empty());
  EXPECT_EQ(window().relays, (std::array<int32_t, 8>{}));

  // The close words still end a session quietly.
  auto quiet = Connect();
  quiet->SendLine("Close");
  EXPECT_TRUE(quiet->ClosedByServer());

  // Until it has sent the password, a client hears nothing of relays switched elsewhere.
  auto c = Connect();
  std::thread([&] { board().set(0, 1); }).join();  // as the window's worker does
  EXPECT_EQ(line_.Read(1), std::vector<uint8_t>{0x08});
  EXPECT_TRUE(c->Silent(200ms));
  c->SendLine("PWDs3cret");
  EXPECT_EQ(c->ReadLine(), "Password/Connection Accepted!");
  c->SendLine("R2On");
  EXPECT_EQ(c->ReadLine(), "Stat11000000");
  std::thread([&] { board().set(1, 0); }).join();
  EXPECT_EQ(c->ReadLine(), "Stat10000000");
  c->SendLine("TO=5");
  c->SendLine("Get");
  EXPECT_EQ(c->ReadLine(), "Stat10000000");
  EXPECT_EQ(settings_.to.load(), 5);
}

TEST_F(Access, NoPasswordIsAcceptedUntilTheOperatorSetsOne) {
  // What start-up does with a password file that cannot be read.
  settings_.password.setNone();
  StartWith({});
  EXPECT_EQ(window().localName, "");
  for (const char* line : {"PWD", "PWDQWK"}) {
    const auto previous = core().connectthread();
    auto c = Connect();
    c->SendLine(line);
    EXPECT_EQ(c->ReadLine(), "Password/Connection Rejected!") << line;
    EXPECT_EQ(c->ReadLine(), "CLOSE") << line;
    EXPECT_TRUE(NextSessionWaiting(previous));
  }
  settings_.password.set("fresh");  // as the window's Host/PWD field does
  auto c = Connect();
  c->SendLine("PWDfresh");
  EXPECT_EQ(c->ReadLine(), "Password/Connection Accepted!");
}

TEST_F(Access, RejectedPasswordsTurnTheAddressAwayForLongerAndLonger) {
  StdoutCapture out;
  ServerTimings timings;
  timings.backOff = {400ms, 3200ms};
  StartWith({{"VEXANET_REQUIRE_PASSWORD", "1"}}, 0, timings);
  settings_.password.set("pw");

  // The server records a rejection after `since`; a client it took before `since` + the delay
  // must have been refused. Checked only then, so that a slow machine cannot fail the test.
  auto servedWithin = [&](Clock::time_point since, std::chrono::milliseconds delay) {
    const bool served = Served();
    if (Clock::now() - since < delay) {
      EXPECT_FALSE(served) << "within " << delay.count() << " ms";
    }
    return served;
  };

  // First rejection: 400 ms.
  auto c = Connect();
  auto since = Clock::now();
  Reject(*c);
  if (!servedWithin(since, 400ms)) {
    EXPECT_NE(out.Text().find("Refused connection from 127.0.0.1: too soon after a rejected "
                              "password (refused for "),
              std::string::npos);
  }
  auto served = ServedWithin(5s);
  ASSERT_TRUE(served);
  EXPECT_GE(*served - since, 400ms);

  // Second rejection: 800 ms. Past the first delay the address is still turned away.
  c = Connect();
  since = Clock::now();
  Reject(*c);
  Pump(500ms);
  servedWithin(since, 800ms);
  served = ServedWithin(5s);
  ASSERT_TRUE(served);
  EXPECT_GE(*served - since, 800ms);

  // An accepted password starts the count again: after the next rejection 400 ms suffice.
  c = Connect();
  c->SendLine("PWDpw");
  EXPECT_EQ(c->ReadLine(), "Password/Connection Accepted!");
  Reject(*c);
  Pump(500ms);
  EXPECT_TRUE(Served());
}

TEST_F(Access, WithoutARequiredPasswordNothingIsDelayed) {
  StartWith({{"VEXANET_ALLOW", "127.0.0.0/8"}});
  for (int i = 0; i < 3; ++i) {
    auto c = Connect();
    Reject(*c);
  }
  EXPECT_TRUE(Served());
}

TEST_F(Access, AClientWithoutAnAcceptedPasswordInTimeLosesTheSlot) {
  StdoutCapture out;
  StartWith({{"VEXANET_REQUIRE_PASSWORD", "1"}, {"VEXANET_AUTH_TIMEOUT", "300ms"}});
  settings_.password.set("pw");

  // One that says nothing, and one that never ends its line.
  for (const char* sent : {"", "PWDp"}) {
    const auto since = Clock::now();
    const auto first = core().connectthread();
    auto c = Connect();
    c->Send(sent);
    EXPECT_TRUE(c->ClosedByServer()) << sent;
    EXPECT_GE(Clock::now() - since, 300ms) << sent;
    EXPECT_TRUE(NextSessionWaiting(first)) << sent;
    EXPECT_TRUE(WaitUntil([&] {
      return out.Contains("Client 127.0.0.1:" + std::to_string(LocalPort(*c)) +
                          " closed: no accepted password within 300 ms");
    })) << sent;
  }
  EXPECT_EQ(Count(out.Text(), " closed: "), 2u);

  // The next client gets in, and once its password is accepted it stays past the deadline.
  auto c = Connect();
  c->SendLine("PWDpw");
  EXPECT_EQ(c->ReadLine(), "Password/Connection Accepted!");
  EXPECT_TRUE(c->Silent(600ms));
  c->SendLine("Get");
  EXPECT_EQ(c->ReadLine(), "Stat00000000");
  EXPECT_EQ(Count(out.Text(), " closed: "), 2u);
}

TEST_F(Access, IdleSessionsAreClosed) {
  StdoutCapture out;
  StartWith({{"VEXANET_IDLE_TIMEOUT", "600ms"}});  // no password required
  const auto first = core().connectthread();
  auto c = Connect();
  // Every line starts the idle time afresh: five lines 150 ms apart outlast the limit.
  for (int i = 0; i < 5; ++i) {
    Pump(150ms);
    c->SendLine("Get");
    ASSERT_EQ(c->ReadLine(), "Stat00000000") << i;
  }
  const auto lastLine = Clock::now();
  EXPECT_TRUE(c->ClosedByServer());
  EXPECT_GE(Clock::now() - lastLine, 600ms);
  EXPECT_TRUE(NextSessionWaiting(first));
  EXPECT_TRUE(WaitUntil([&] {
    return out.Contains("Client 127.0.0.1:" + std::to_string(LocalPort(*c)) +
                        " closed: idle for 600 ms");
  }));
  EXPECT_EQ(Count(out.Text(), " closed: "), 1u);
  EXPECT_TRUE(Served());
}

TEST_F(Access, RejectedPasswordsFromManyAddressesTurnEveryoneAway) {
  StdoutCapture out;
  ServerTimings timings;
  timings.backOff = {50ms, 50ms, 1500ms};  // a short per-address wait; the window shortened
  StartWith({{"VEXANET_REQUIRE_PASSWORD", "1"}, {"VEXANET_GUESS_LIMIT", "4"}}, 0, timings);
  settings_.password.set("pw");

  const auto since = Clock::now();
  for (int i = 0; i < 4; ++i) {
    LineClient guesser(port(), {.from = "127.0.0." + std::to_string(10 + i)});
    ASSERT_EQ(guesser.ReadLine(), "OK") << i;
    Reject(guesser);
  }
  // A fifth guesser and the rightful user alike wait until the first guess is a window old.
  // Checked only while the window cannot have passed, so a slow machine cannot fail the test.
  const bool fifth = Served("127.0.0.20");
  const bool rightful = Served("127.0.0.1");
  if (Clock::now() - since < 1500ms) {
    EXPECT_FALSE(fifth);
    EXPECT_FALSE(rightful);
    EXPECT_TRUE(WaitUntil([&] {
      return out.Text().find(
                 "Refused connection from 127.0.0.20: too many rejected passwords "
                 "from all addresses (VEXANET_GUESS_LIMIT; refused for ") != std::string::npos;
    }));
  }
  const auto served = ServedWithin(5s);
  ASSERT_TRUE(served);
  EXPECT_GE(*served - since, 1500ms);
}

TEST(ServerSocketListen, SeveralAddressesShareOneWait) {
  ServerSocket ss;
  std::vector<std::string> failures;
  const auto failed = [&](const asio::ip::address& a, const std::error_code& why) {
    failures.push_back(a.to_string() + ": " + why.message());
  };
  const auto v4 = asio::ip::make_address("127.0.0.1");
  const auto v6 = asio::ip::make_address("::1");
  // The same address twice: the second cannot have the port the first was given.
  ASSERT_TRUE(ss.Open(0, {v4, v6, v4}, failed));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].rfind("127.0.0.1: ", 0), 0u);
  const auto endpoints = ss.LocalEndpoints();
  ASSERT_EQ(endpoints.size(), 2u);
  EXPECT_EQ(endpoints[0].port(), endpoints[1].port());

  // Clients on either address are taken by the one wait.
  LineClient one(ss.Port());
  LineClient six(ss.Port(), {.host = "::1", .from = "::1"});
  std::set<std::string> from;
  for (int i = 0; i < 2; ++i) {
    std::error_code ec;
    auto socket = ss.Accept(ec);
    ASSERT_TRUE(socket) << ec.message();
    from.insert(socket->remote_endpoint().address().to_string());
  }
  EXPECT_EQ(from, (std::set<std::string>{"127.0.0.1", "::1"}));

  // Shutdown ends a wait that is under way, and every later one fails at once.
  std::atomic<bool> ended{false};
  std::thread waiter([&] {
    std::error_code ec;
    EXPECT_FALSE(ss.Accept(ec));
    EXPECT_TRUE(ec);
    ended.store(true);
  });
  Pump(100ms);
  EXPECT_FALSE(ended.load());
  ss.Shutdown();
  waiter.join();
  std::error_code ec;
  EXPECT_FALSE(ss.Accept(ec));

  ServerSocket none;
  EXPECT_FALSE(none.Open(0, {}, failed));
  EXPECT_FALSE(none.Open(70000, {v4}, failed));
  EXPECT_FALSE(none.Accept(ec));
}
