// What the panel reads from requests and from its setting: the switch bodies, Basic
// authentication, VEXANET_HTTP.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

#include "web/HttpSetting.h"
#include "web/Requests.h"

namespace vexanet::web {
namespace {

TEST(SwitchBodies, OneRelayTakesOnlyABooleanOn) {
  EXPECT_EQ(ParseOneRelay(R"({"on":true})"), true);
  EXPECT_EQ(ParseOneRelay(R"( {"on": false, "note": "x"} )"), false);
  for (const char* bad : {"", "{", "null", "[]", R"({"on":1})", R"({"on":"true"})", R"({"On":true})",
                          R"({"on":true}{"on":false})", "{\"on\":tru\xff}"}) {
    EXPECT_EQ(ParseOneRelay(bad), std::nullopt) << bad;
  }
}

TEST(SwitchBodies, AllRelaysTakeExactlyEightBooleans) {
  const auto all = ParseAllRelays(R"({"relays":[true,false,true,false,false,false,false,true]})");
  ASSERT_TRUE(all);
  EXPECT_EQ(*all, (std::array<bool, 8>{true, false, true, false, false, false, false, true}));
  for (const char* bad : {R"({"relays":[true,false,true,false,false,false,false]})",
                          R"({"relays":[true,false,true,false,false,false,false,true,true]})",
                          R"({"relays":[true,false,true,false,false,false,false,null]})",
                          R"({"relays":"11110000"})", R"([true,false,true,false,false,false,false,true])"}) {
    EXPECT_EQ(ParseAllRelays(bad), std::nullopt) << bad;
  }
}

TEST(BasicAuthentication, AnyUserTheSecondPartIsThePassword) {
  EXPECT_EQ(BasicPassword("Basic dXNlcjpzM2NyZXQ="), "s3cret");     // user:s3cret
  EXPECT_EQ(BasicPassword("basic OnMzY3JldA=="), "s3cret");         // :s3cret
  EXPECT_EQ(BasicPassword("Basic dTphOmI="), "a:b");                // u:a:b
  EXPECT_EQ(BasicPassword("Basic dTo="), "");                       // u: (empty password)
  for (const char* bad : {"", "Basic", "Bearer dXNlcjpzM2NyZXQ=", "Basic dXNlcg==",  // no colon
                          "Basic ***", "Basic dXNlcjpzM2NyZXQ=x", "Basic =dXNl"}) {
    EXPECT_EQ(BasicPassword(bad), std::nullopt) << bad;
  }
}

TEST(HttpSettingParse, PortAloneIsLoopbackAndAddressesAreKeptAsWritten) {
  std::string problem;
  auto s = ParseHttpSetting("8080", problem);
  ASSERT_TRUE(s) << problem;
  EXPECT_EQ(s->Text(), "127.0.0.1:8080");
  EXPECT_TRUE(s->Loopback());
  s = ParseHttpSetting("0.0.0.0:8080", problem);
  ASSERT_TRUE(s) << problem;
  EXPECT_EQ(s->Text(), "0.0.0.0:8080");
  EXPECT_FALSE(s->Loopback());
  s = ParseHttpSetting("[::1]:9000", problem);
  ASSERT_TRUE(s) << problem;
  EXPECT_EQ(s->Text(), "[::1]:9000");
  EXPECT_TRUE(s->Loopback());
  s = ParseHttpSetting("0", problem);
  ASSERT_TRUE(s) << problem;
  EXPECT_EQ(s->port, 0);
}

TEST(HttpSettingParse, BadValuesNameTheProblem) {
  for (const char* bad : {"", "http", "65536", "-1", "8080x", "localhost:8080", "::1:8080",
                          "[::1]8080", "[127.0.0.1]:80", "1.2.3.4:", "[::1]:"}) {
    std::string problem;
    EXPECT_FALSE(ParseHttpSetting(bad, problem)) << bad;
    EXPECT_EQ(problem.rfind("VEXANET_HTTP: ", 0), 0u) << problem;
  }
}

}  // namespace
}  // namespace vexanet::web
