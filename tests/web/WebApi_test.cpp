// The web panel and its API through the built server, started with VEXANET_HTTP on a loopback
// port: each call, each error, the switches' bytes on the serial line, the event stream, the
// password and origin rules, and many requests at once beside a line-protocol client.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "PortHolder.h"
#include "e2e/E2eFixture.h"

namespace vexanet::e2e {
namespace {

using json = nlohmann::json;
using testing_support::PortHolder;

constexpr const char* kJson = "application/json";

// An event stream read over a plain connection: the status line, then one "state" event per
// chunk.
class EventStream {
 public:
  explicit EventStream(int port) : client_(port) {
    client_.Send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    status_ = client_.ReadLine(kDeadline).value_or("");
  }
  const std::string& status() const { return status_; }
  // The next state event's data, skipping chunk sizes, headers and comments.
  std::optional<json> Next(Clock::duration timeout = kDeadline) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      const std::optional<std::string> line = client_.ReadLine(deadline - Clock::now());
      if (!line) return std::nullopt;
      constexpr std::string_view kEvent = "event: state\ndata: ";
      if (line->rfind(kEvent, 0) != 0) continue;
      return json::parse(line->substr(kEvent.size(), line->find('\n', kEvent.size()) - kEvent.size()));
    }
    return std::nullopt;
  }

 private:
  LineClient client_;
  std::string status_;
};

class WebTest : public ServerTest {
 protected:
  // A server with the panel on a free loopback port and these settings; start-up's relay
  // switching is over.
  void StartWith(std::vector<std::pair<std::string, std::string>> env = {}) {
    env.emplace_back("VEXANET_COM1", com1.path());
    if (std::none_of(env.begin(), env.end(), [](const auto& e) { return e.first == "VEXANET_HTTP"; }))
      env.emplace_back("VEXANET_HTTP", "127.0.0.1:0");
    StartListening({}, HeadlessLaunch(std::move(env)));
    WaitForRelaysOff();
    const auto at = server->WaitForLine(
        [](const std::string& l) { return l.rfind("Web panel at http://127.0.0.1:", 0) == 0; },
        kDeadline);
    ASSERT_TRUE(at) << "no web panel line";
    const std::string line = server->Lines()[*at].text;
    webPort = std::stoi(line.substr(std::string("Web panel at http://127.0.0.1:").size()));
  }

  httplib::Client Http() const {
    httplib::Client c("127.0.0.1", webPort);
    c.set_read_timeout(std::chrono::seconds(10));
    return c;
  }

  static json Body(const httplib::Result& r) { return json::parse(r->body); }

  // The serial bytes after start-up's eight.
  std::vector<uint8_t> BytesAfterStartUp(size_t count) {
    std::vector<uint8_t> values;
    const auto bytes = com1.WaitForBytes(8 + count, kDeadline);
    for (size_t i = 8; i < bytes.size(); ++i) values.push_back(bytes[i].value);
    return values;
  }

  int webPort = 0;
};

TEST_F(WebTest, SwitchesGoToTheBoardAndTheStateTellsThem) {
  StartWith();
  httplib::Client http = Http();

  auto r = http.Get("/api/state");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  json state = Body(r);
  EXPECT_EQ(state["relays"], json::array({false, false, false, false, false, false, false, false}));
  EXPECT_EQ(state["serial"], "up");
  EXPECT_TRUE(state["client"].is_null());

  r = http.Put("/api/relays/3", R"({"on":true})", kJson);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  state = Body(r);
  EXPECT_EQ(state["relays"][2], true);
  EXPECT_EQ(state["status"], "Stat00100000");
  EXPECT_EQ(BytesAfterStartUp(1), (std::vector<uint8_t>{0x0A}));
  EXPECT_TRUE(server->WaitForLine(
      [](const std::string& l) {
        return l.rfind("Web request from 127.0.0.1:", 0) == 0 && l.ends_with(": relay 3 on");
      },
      kDeadline));

  // Several at once: only the relays that differ, in relay order, one answer at the end.
  r = http.Put("/api/relays", R"({"relays":[true,false,true,false,false,false,false,true]})", kJson);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(Body(r)["status"], "Stat10100001");
  EXPECT_EQ(BytesAfterStartUp(3), (std::vector<uint8_t>{0x0A, 0x08, 0x0F}));

  r = http.Get("/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(r->body.find("id=\"relays\""), std::string::npos);
  EXPECT_EQ(r->body.find("http://"), std::string::npos) << "the page loads nothing from outside";
}

TEST_F(WebTest, BadRequestsGetTheirCodeAndSwitchNothing) {
  StartWith();
  httplib::Client http = Http();
  const std::string big(5000, ' ');
  struct Case {
    const char* method;
    const char* path;
    std::string body;
    const char* type;
    int status;
  };
  const std::vector<Case> cases = {
      {"PUT", "/api/relays/3", "{on:true}", kJson, 400},
      {"PUT", "/api/relays/3", R"({"on":"yes"})", kJson, 400},
      {"PUT", "/api/relays", R"({"relays":[true]})", kJson, 400},
      {"PUT", "/api/relays/0", R"({"on":true})", kJson, 404},
      {"PUT", "/api/relays/9", R"({"on":true})", kJson, 404},
      {"GET", "/api/nothing", "", "", 404},
      {"GET", "/api/relays/3", "", "", 405},
      {"DELETE", "/api/state", "", "", 405},
      {"POST", "/api/relays/3", R"({"on":true})", kJson, 405},
      {"PUT", "/api/relays/3", R"({"on":true})" + big, kJson, 413},
      {"PUT", "/api/relays/3", R"({"on":true})", "text/plain", 415},
      // A session waits already: the window's connect button is off, so is the panel's.
      {"POST", "/api/connection/accept", "", "", 409},
  };
  for (const Case& c : cases) {
    httplib::Request req;
    req.method = c.method;
    req.path = c.path;
    req.body = c.body;
    if (*c.type != 0) req.set_header("Content-Type", c.type);
    const httplib::Result r = http.send(req);
    ASSERT_TRUE(r) << c.method << " " << c.path;
    EXPECT_EQ(r->status, c.status) << c.method << " " << c.path;
    const json answer = json::parse(r->body, nullptr, false);
    EXPECT_TRUE(answer.is_object() && answer.contains("error")) << c.path << ": " << r->body;
  }
  // Another site's page may not switch through a visitor's browser.
  const auto r = http.Put("/api/relays/1", httplib::Headers{{"Origin", "http://evil.example"}},
                          R"({"on":true})", kJson);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 403);
  const auto same = http.Put("/api/relays/1",
                             httplib::Headers{{"Origin", "http://127.0.0.1:" + std::to_string(webPort)}},
                             R"({"on":true})", kJson);
  ASSERT_TRUE(same);
  EXPECT_EQ(same->status, 200);
  EXPECT_EQ(BytesAfterStartUp(1), (std::vector<uint8_t>{0x08})) << "only the last request switched";
}

TEST_F(WebTest, EventStreamSeesALineClientsSwitchAndIsLimited) {
  StartWith();
  EventStream stream(webPort);
  EXPECT_EQ(stream.status(), "HTTP/1.1 200 OK");
  const std::optional<json> first = stream.Next();
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["relays"][4], false);

  LineClient client(port);
  ASSERT_EQ(client.ReadLine(kDeadline), "OK");
  client.SendLine("R5On");
  ASSERT_EQ(client.ReadLine(kDeadline), "Stat00001000");
  bool seen = false;
  bool clientSeen = false;
  const auto until = Clock::now() + std::chrono::seconds(1);
  while (!seen && Clock::now() < until) {
    const std::optional<json> next = stream.Next(until - Clock::now());
    if (!next) break;
    if ((*next)["client"].is_object()) {
      clientSeen = true;
      EXPECT_EQ((*next)["client"]["address"].get<std::string>().rfind("127.0.0.1:", 0), 0u);
    }
    seen = (*next)["relays"][4] == true;
  }
  EXPECT_TRUE(seen) << "the stream did not show relay 5 on within a second";
  EXPECT_TRUE(clientSeen);

  // 32 streams at most: the one already open and 31 more; the next is turned away.
  std::vector<std::unique_ptr<EventStream>> more;
  for (int i = 0; i < 31; ++i) {
    more.push_back(std::make_unique<EventStream>(webPort));
    ASSERT_EQ(more.back()->status(), "HTTP/1.1 200 OK") << "stream " << i + 2;
  }
  EventStream refused(webPort);
  EXPECT_EQ(refused.status(), "HTTP/1.1 503 Service Unavailable");
  // The API still answers while every stream is open.
  httplib::Client http = Http();
  const auto r = http.Get("/api/state");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
}

TEST_F(WebTest, RequiredPasswordIsBasicAuthenticationWithTheLineProtocolsBackOff) {
  StartWith({{"VEXANET_PASSWORD", "s3cret"}, {"VEXANET_REQUIRE_PASSWORD", "1"}});
  httplib::Client http = Http();
  auto r = http.Get("/api/state");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 401);
  EXPECT_NE(r->get_header_value("WWW-Authenticate").find("Basic"), std::string::npos);
  r = http.Get("/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 401);

  http.set_basic_auth("anyone", "guess");
  r = http.Get("/api/state");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 401);
  // Right away the address waits, whatever it sends.
  http.set_basic_auth("anyone", "s3cret");
  r = http.Put("/api/relays/2", R"({"on":true})", kJson);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 429);
  EXPECT_FALSE(r->get_header_value("Retry-After").empty());

  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the first wait is one second
  r = http.Put("/api/relays/2", R"({"on":true})", kJson);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(BytesAfterStartUp(1), (std::vector<uint8_t>{0x09}));
  for (const auto& line : server->Lines()) {
    EXPECT_EQ(line.text.find("s3cret"), std::string::npos) << line.text;
    EXPECT_EQ(line.text.find("guess"), std::string::npos) << line.text;
  }
}

TEST_F(WebTest, NotAllowedAddressesAreRefused) {
  StartWith({{"VEXANET_ALLOW", "10.0.0.0/8"}});
  httplib::Client http = Http();
  const auto r = http.Put("/api/relays/2", R"({"on":true})", kJson);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 403);
  EXPECT_EQ(com1.WaitForBytes(9, std::chrono::milliseconds(500)).size(), 8u) << "switched";
}

// Many requests at once while a line-protocol client keeps switching: every request is
// answered, and the state the panel reports is what the board got last for each relay.
TEST_F(WebTest, ManyRequestsBesideALineClientLoseNothing) {
  StartWith();
  LineClient client(port);
  ASSERT_EQ(client.ReadLine(kDeadline), "OK");
  std::atomic<bool> stop{false};
  std::thread lineSide([&] {
    for (int i = 0; !stop.load() && i < 20; ++i) {
      client.SendLine(i % 2 == 0 ? "R8On" : "R8Off");
      if (!client.ReadLine(kDeadline)) return;
    }
  });
  std::atomic<int> answered{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 10; ++t) {
    callers.emplace_back([&, t] {
      httplib::Client http = Http();
      for (int i = 0; i < 10; ++i) {
        const int relay = 1 + (t + i) % 7;  // relays 1 to 7; relay 8 is the line client's
        const auto r = (i % 3 == 0) ? http.Get("/api/state")
                                    : http.Put("/api/relays/" + std::to_string(relay),
                                               i % 2 == 0 ? R"({"on":true})" : R"({"on":false})",
                                               kJson);
        if (r && r->status == 200) answered.fetch_add(1);
      }
    });
  }
  for (std::thread& t : callers) t.join();
  stop.store(true);
  lineSide.join();
  EXPECT_EQ(answered.load(), 100);

  // Every byte has arrived once the line is quiet; the last byte per relay is its state.
  std::vector<PtyLine::Byte> bytes;
  for (size_t seen = 0;; seen = bytes.size()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    bytes = com1.Bytes();
    if (bytes.size() == seen) break;
  }
  std::array<bool, 8> board{};
  for (size_t i = 8; i < bytes.size(); ++i) {
    const uint8_t b = bytes[i].value;
    ASSERT_LT(b, 16);
    board[b & 7] = b >= 8;
  }
  const auto r = Http().Get("/api/state");
  ASSERT_TRUE(r);
  const json relays = Body(r)["relays"];
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(relays[i], board[i]) << "relay " << i + 1;
}

TEST_F(WebTest, APortInUseOrABadSettingLeavesTheServerRunningWithoutThePanel) {
  PortHolder taken;
  ASSERT_NE(taken.port(), 0);
  StartListening({}, HeadlessLaunch({{"VEXANET_COM1", com1.path()},
                                      {"VEXANET_HTTP", std::to_string(taken.port())}}));
  WaitForRelaysOff();
  EXPECT_TRUE(server->WaitForExact(
      "Web panel: cannot listen on 127.0.0.1:" + std::to_string(taken.port()) +
          "; running without it",
      kDeadline));
  LineClient client(port);
  ASSERT_EQ(client.ReadLine(kDeadline), "OK");
  client.SendLine("R2On");
  EXPECT_EQ(client.ReadLine(kDeadline), "Stat01000000");
  client.SendLine("Close");
  server.reset();

  PtyLine com1b;
  StartListening({}, HeadlessLaunch({{"VEXANET_COM1", com1b.path()},
                                      {"VEXANET_HTTP", "localhost:80"}}));
  EXPECT_TRUE(server->WaitForExact(
      "VEXANET_HTTP: \"localhost:80\": \"localhost\" is not an IP address; running without the "
      "web panel",
      kDeadline));
  EXPECT_TRUE(server->WaitForExact(StatusLine("Awaiting Client Connection"), kDeadline));
}

}  // namespace
}  // namespace vexanet::e2e
