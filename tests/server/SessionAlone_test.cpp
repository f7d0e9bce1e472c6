// One session against a fake host: no server core, no serial line, no window. What the session
// itself decides: which lines reach the device, what the client and the host are told, and that
// the host hears of the close once whoever closes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "FakeSessionHost.h"
#include "LineClient.h"
#include "ServerHarness.h"
#include "server/ClientSocket.h"
#include "server/ServerSocket.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

using vexanet::relay::ClientEvent;
using Events = std::vector<std::pair<ClientEvent, std::string>>;

// The client's own end as the server names it: "127.0.0.1:port".
std::string LocalName(const LineClient& client) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (getsockname(client.fd(), reinterpret_cast<sockaddr*>(&local), &size) != 0) return "?";
  return "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
}

class SessionAlone : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ec;
    ASSERT_TRUE(ss_.Open(0, ec)) << ec.message();
  }
  void TearDown() override {
    ss_.Shutdown();
    if (session_) session_->Close(true);
    session_.reset();  // joins the session's threads
  }

  // A session of a host made with `args` that has greeted its client.
  template <typename... Args>
  std::unique_ptr<LineClient> Serve(Args&&... args) {
    host_ = std::make_unique<FakeSessionHost>(std::forward<Args>(args)...);
    session_ = std::make_unique<ClientSocket>(&ss_, *host_, timings_);
    session_->start();
    auto client = std::make_unique<LineClient>(ss_.Port());
    EXPECT_TRUE(client->ok());
    EXPECT_EQ(client->ReadLine(), "OK");
    return client;
  }
  bool Shown(const std::string& text) {
    return WaitUntil([&] {
      const auto s = host_->statuses();
      return std::find(s.begin(), s.end(), text) != s.end();
    });
  }

  ServerSocket ss_;
  ServerTimings timings_;
  std::unique_ptr<FakeSessionHost> host_;  // outlives the session
  std::unique_ptr<ClientSocket> session_;
};

TEST_F(SessionAlone, HandsTheHostEveryOtherLineInOrderInTheClientsNameAndTellsOfTheCloseOnce) {
  auto client = Serve();
  for (const char* line : {"R1On", "Get", "TO=abc", "anything at all"}) client->SendLine(line);
  client->SendLine("Close");
  EXPECT_TRUE(client->ClosedByServer());
  EXPECT_TRUE(WaitUntil([&] { return host_->closes() == 1; }));
  EXPECT_EQ(host_->lines(),
            (std::vector<std::string>{"R1On", "Get", "TO=abc", "anything at all"}));
  EXPECT_EQ(host_->lineClients(), std::vector<std::string>(4, LocalName(*client)));
  EXPECT_EQ(host_->to().load(), 0) << "a TO= remainder that is no number changes nothing";
  EXPECT_TRUE(Shown("Client Command: R1On"));
  EXPECT_TRUE(Shown("Client Closed Connection!"));

  session_->Close(true);  // the operator's "Close" after the client's: nothing more happens
  Pump(50ms);
  EXPECT_EQ(host_->closes(), 1);
}

TEST_F(SessionAlone, AHostThatAcceptsNoPasswordRejectsEvenTheWellKnownOne) {
  auto client = Serve(std::nullopt);
  client->SendLine("PWDQWK");
  EXPECT_EQ(client->ReadLine(), "Password/Connection Rejected!");
  EXPECT_EQ(client->ReadLine(), "CLOSE");
  EXPECT_TRUE(client->ClosedByServer());
  EXPECT_TRUE(Shown("WRONG PASSWORD!"));
  EXPECT_TRUE(host_->lines().empty());
  EXPECT_TRUE(WaitUntil([&] { return host_->closes() == 1; }));
  EXPECT_EQ(host_->events(), (Events{{ClientEvent::Connected, LocalName(*client)},
                                     {ClientEvent::Refused, LocalName(*client)},
                                     {ClientEvent::Closed, LocalName(*client)}}));
}

TEST_F(SessionAlone, ASessionWhoseTimeRunsOutEndsAsTimedOutNotClosed) {
  timings_.minute = 300ms;
  auto client = Serve("QWK");
  host_->to().store(1);
  client->SendLine("PWDQWK");
  EXPECT_EQ(client->ReadLine(), "Password/Connection Accepted!");
  EXPECT_EQ(client->ReadLine(), "Available Time: 1 Minutes");
  EXPECT_EQ(client->ReadLine(), "TIME");
  EXPECT_TRUE(client->ClosedByServer());
  EXPECT_TRUE(WaitUntil([&] { return host_->closes() == 1; }));
  EXPECT_EQ(host_->events().back(), (std::pair{ClientEvent::TimedOut, LocalName(*client)}));
  EXPECT_EQ(host_->events().size(), 3u);
}

TEST_F(SessionAlone, TellsTheHostWhatHappensToItsClientOnceEach) {
  auto client = Serve("QWK");
  client->SendLine("PWDQWK");
  EXPECT_EQ(client->ReadLine(), "Password/Connection Accepted!");
  session_->Close(true);  // the operator's "Close"
  EXPECT_TRUE(client->ClosedByServer());
  session_->Close(true);  // again: nothing more happens
  EXPECT_TRUE(WaitUntil([&] { return host_->closes() == 1; }));
  EXPECT_EQ(host_->events(), (Events{{ClientEvent::Connected, LocalName(*client)},
                                     {ClientEvent::Authenticated, LocalName(*client)},
                                     {ClientEvent::Closed, LocalName(*client)}}));
}

}  // namespace
