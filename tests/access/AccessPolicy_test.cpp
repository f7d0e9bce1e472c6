// The access settings from a fake environment, the address checks, the password file and the
// back-off table, with a fake clock.
#include "access/AccessPolicy.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

namespace acl = vexanet::access;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using acl::AccessSettings;
using acl::Clock;
using acl::PasswordSetting;

namespace {

asio::ip::address A(const char* text) {
  return asio::ip::make_address(text);
}

std::optional<acl::Network> Net(const char* text) {
  std::string reason;
  return acl::Network::Parse(text, reason);
}

struct Parsed {
  AccessSettings settings;
  std::vector<std::string> problems;
};

Parsed FromEnv(const std::map<std::string, std::string>& env) {
  Parsed p;
  p.settings = AccessSettings::FromEnvironment(
      [&](const char* name) -> std::optional<std::string> {
        const auto it = env.find(name);
        if (it == env.end()) return std::nullopt;
        return it->second;
      },
      p.problems);
  return p;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

const Clock::time_point t0 = Clock::time_point{} + 1h;

}  // namespace

TEST(AccessNetwork, PrefixEdgesAndHostBits) {
  // /0 holds every IPv4 address, and an IPv4 client seen through a dual-stack socket.
  ASSERT_TRUE(Net("0.0.0.0/0"));
  EXPECT_TRUE(Net("0.0.0.0/0")->Contains(A("203.0.113.9")));
  EXPECT_TRUE(Net("0.0.0.0/0")->Contains(A("::ffff:203.0.113.9")));
  EXPECT_FALSE(Net("0.0.0.0/0")->Contains(A("2001:db8::1")));
  // /32 and /128, explicit or implied by a bare address, hold exactly one address.
  for (const char* n : {"127.0.0.2/32", "127.0.0.2"}) {
    EXPECT_TRUE(Net(n)->Contains(A("127.0.0.2"))) << n;
    EXPECT_FALSE(Net(n)->Contains(A("127.0.0.1"))) << n;
    EXPECT_FALSE(Net(n)->Contains(A("127.0.0.3"))) << n;
  }
  for (const char* n : {"::1/128", "::1"}) {
    EXPECT_TRUE(Net(n)->Contains(A("::1"))) << n;
    EXPECT_FALSE(Net(n)->Contains(A("::2"))) << n;
    EXPECT_FALSE(Net(n)->Contains(A("127.0.0.1"))) << n;
  }
  // Prefixes that do not fall on a byte edge.
  EXPECT_TRUE(Net("192.168.1.128/25")->Contains(A("192.168.1.200")));
  EXPECT_FALSE(Net("192.168.1.128/25")->Contains(A("192.168.1.100")));
  EXPECT_TRUE(Net("2001:db8::/65")->Contains(A("2001:db8::7fff:0:0:1")));
  EXPECT_FALSE(Net("2001:db8::/65")->Contains(A("2001:db8::8000:0:0:1")));
  // Host bits below the prefix are cleared.
  EXPECT_EQ(Net("10.1.2.3/8")->ToString(), "10.0.0.0/8");
  EXPECT_EQ(Net("2001:db8::1/32")->ToString(), "2001:db8::/32");
  EXPECT_EQ(Net("127.0.0.2")->ToString(), "127.0.0.2/32");
}

TEST(AccessNetwork, MappedAddressesMatchBothWays) {
  // An IPv4 network holds the IPv4-mapped form of its addresses (dual-stack socket) ...
  EXPECT_TRUE(Net("127.0.0.0/8")->Contains(A("::ffff:127.0.0.1")));
  EXPECT_FALSE(Net("127.0.0.0/8")->Contains(A("::ffff:10.0.0.1")));
  // ... and an IPv6 network written in the mapped form holds plain IPv4 clients.
  EXPECT_TRUE(Net("::ffff:10.0.0.0/104")->Contains(A("10.9.9.9")));
  EXPECT_FALSE(Net("::ffff:10.0.0.0/104")->Contains(A("11.0.0.1")));
  EXPECT_EQ(acl::Unmapped(A("::ffff:192.0.2.1")), A("192.0.2.1"));
  EXPECT_EQ(acl::Unmapped(A("::1")), A("::1"));
}

TEST(AccessNetwork, RefusesWhatIsNoNetwork) {
  for (const char* text :
       {"", "/8", "10.0.0.0/", "10.0.0.0/x", "10.0.0.0/-1", "10.0.0.0/+8", "10.0.0.0/ 8",
        "10.0.0.0/8/8", "10.0.0.0/33", "::/129", "::1/129", "::/99999999999999999999", "256.0.0.1",
        "10.0.0", "localhost", "127.0.0.1:3001"}) {
    std::string reason;
    EXPECT_FALSE(acl::Network::Parse(text, reason)) << text;
    EXPECT_FALSE(reason.empty()) << text;
  }
  std::string reason;
  acl::Network::Parse("::1/129", reason);
  EXPECT_NE(reason.find("/129"), std::string::npos) << reason;
}

TEST(AccessSettingsTest, NothingSetChangesNothing) {
  // Unset, empty and blank values alike are off: an empty line in /etc/default/vexanet is common.
  for (const auto& env :
       std::vector<std::map<std::string, std::string>>{{},
                                                       {{"VEXANET_LISTEN", ""},
                                                        {"VEXANET_ALLOW", "  "},
                                                        {"VEXANET_PASSWORD", ""},
                                                        {"VEXANET_PASSWORD_FILE", " "},
                                                        {"VEXANET_REQUIRE_PASSWORD", ""}}}) {
    const Parsed p = FromEnv(env);
    EXPECT_TRUE(p.problems.empty()) << Joined(p.problems);
    EXPECT_FALSE(p.settings.listen);
    EXPECT_FALSE(p.settings.allow);
    EXPECT_TRUE(p.settings.Allowed(A("198.51.100.7")));
    EXPECT_EQ(p.settings.password.kind, PasswordSetting::Kind::BuiltIn);
    EXPECT_FALSE(p.settings.requirePassword);
  }
}

TEST(AccessSettingsTest, ListsKeepTheirGoodEntries) {
  // Commas and blanks separate; a mapped address is its IPv4 address; a repeat is dropped.
  Parsed p = FromEnv({{"VEXANET_LISTEN", "127.0.0.1, ::1 ::ffff:127.0.0.1,,bogus"}});
  ASSERT_TRUE(p.settings.listen);
  EXPECT_EQ(*p.settings.listen, (std::vector<asio::ip::address>{A("127.0.0.1"), A("::1")}));
  ASSERT_EQ(p.problems.size(), 1u) << Joined(p.problems);
  EXPECT_NE(p.problems[0].find("\"bogus\""), std::string::npos);

  // A client from 127.0.0.1 is not 127.0.0.2, however it reaches the server.
  p = FromEnv({{"VEXANET_ALLOW", "127.0.0.2/32,::1/129 fe80::/10"}});
  ASSERT_TRUE(p.settings.allow);
  EXPECT_EQ(p.settings.allow->size(), 2u);
  EXPECT_EQ(p.problems.size(), 1u) << Joined(p.problems);
  EXPECT_TRUE(p.settings.Allowed(A("127.0.0.2")));
  EXPECT_TRUE(p.settings.Allowed(A("::ffff:127.0.0.2")));
  EXPECT_TRUE(p.settings.Allowed(A("fe80::1")));
  EXPECT_FALSE(p.settings.Allowed(A("127.0.0.1")));
  EXPECT_FALSE(p.settings.Allowed(A("::ffff:127.0.0.1")));
  EXPECT_FALSE(p.settings.Allowed(A("::1")));
}

TEST(AccessSettingsTest, AListWithNothingUsableClosesRatherThanOpens) {
  const Parsed p = FromEnv(
      {{"VEXANET_LISTEN", "localhost 127.0.0.1:3001"}, {"VEXANET_ALLOW", "10.0.0.0/33 ::/129"}});
  ASSERT_TRUE(p.settings.listen);
  EXPECT_TRUE(p.settings.listen->empty());
  ASSERT_TRUE(p.settings.allow);
  EXPECT_TRUE(p.settings.allow->empty());
  EXPECT_FALSE(p.settings.Allowed(A("127.0.0.1")));
  EXPECT_FALSE(p.settings.Allowed(A("::1")));
  // One line per bad entry and one per list that is left empty.
  EXPECT_EQ(p.problems.size(), 6u) << Joined(p.problems);
  EXPECT_NE(Joined(p.problems).find("port comes from the configuration file"), std::string::npos);
}

TEST(AccessSettingsTest, RequirePasswordSpellings) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"1", true},  {"yes", true}, {"TRUE", true}, {" on ", true},
      {"0", false}, {"no", false}, {"Off", false}, {"false", false}};
  for (const auto& [text, on] : cases) {
    const Parsed p = FromEnv({{"VEXANET_REQUIRE_PASSWORD", text}, {"VEXANET_PASSWORD", "x"}});
    EXPECT_EQ(p.settings.requirePassword, on) << text;
    EXPECT_TRUE(p.problems.empty()) << text << ": " << Joined(p.problems);
  }
  // Anything else turns it on, with a line: a typo must not leave the relays open.
  for (const char* text : {"2", "enabled", "1 # yes"}) {
    const Parsed p = FromEnv({{"VEXANET_REQUIRE_PASSWORD", text}, {"VEXANET_PASSWORD", "x"}});
    EXPECT_TRUE(p.settings.requirePassword) << text;
    EXPECT_EQ(p.problems.size(), 1u) << text;
  }
  // Requiring the well-known password is allowed, but said.
  const Parsed p = FromEnv({{"VEXANET_REQUIRE_PASSWORD", "1"}});
  EXPECT_TRUE(p.settings.requirePassword);
  ASSERT_EQ(p.problems.size(), 1u);
  EXPECT_NE(p.problems[0].find("built-in"), std::string::npos);
}

TEST(AccessSettingsTest, PasswordFromTheEnvironment) {
  Parsed p = FromEnv({{"VEXANET_PASSWORD", " two words "}});
  EXPECT_EQ(p.settings.password.kind, PasswordSetting::Kind::Text);
  EXPECT_EQ(p.settings.password.text, " two words ");  // passwords are compared untrimmed
  EXPECT_EQ(p.settings.password.source, "VEXANET_PASSWORD");
  EXPECT_TRUE(p.problems.empty());

  p = FromEnv({{"VEXANET_PASSWORD", "a\nb"}});
  EXPECT_EQ(p.settings.password.kind, PasswordSetting::Kind::NoneAccepted);
  EXPECT_EQ(p.problems.size(), 1u);
}

TEST(AccessSettingsTest, Durations) {
  using std::chrono::milliseconds;
  const std::vector<std::pair<std::string, milliseconds>> good = {
      {"500ms", 500ms}, {"10s", 10s},   {"2m", 2min}, {"1h", 1h},       {"7", 7s},
      {" 3 S ", 3s},    {"2min", 2min}, {"0", 0ms},   {"86400s", 24h}, {"1440m", 24h}};
  for (const auto& [text, expected] : good) {
    std::string reason;
    EXPECT_EQ(acl::ParseDuration(text, reason), expected) << text << ": " << reason;
  }
  for (const char* text : {"", "s", "-5s", "1.5s", "10 seconds", "10sec", "5x", "10s5",
                           "86401s", "25h", "99999999999999999999999ms"}) {
    std::string reason;
    EXPECT_FALSE(acl::ParseDuration(text, reason)) << text;
    EXPECT_FALSE(reason.empty()) << text;
  }
  EXPECT_EQ(acl::DurationText(10s), "10 s");
  EXPECT_EQ(acl::DurationText(300ms), "300 ms");
  EXPECT_EQ(acl::DurationText(1500ms), "1500 ms");
  EXPECT_EQ(acl::DurationText(2min), "2 min");
  EXPECT_EQ(acl::DurationText(90s), "90 s");
}

TEST(AccessSettingsTest, TimeoutsAndGuessLimit) {
  // Unset: a password within 10 s (used only when one is required), no idle limit, 30 guesses.
  Parsed p = FromEnv({});
  EXPECT_EQ(p.settings.authTimeout, 10s);
  EXPECT_FALSE(p.settings.idleTimeout);
  EXPECT_EQ(p.settings.guessLimit, 30u);

  p = FromEnv({{"VEXANET_REQUIRE_PASSWORD", "1"},
               {"VEXANET_PASSWORD", "x"},
               {"VEXANET_AUTH_TIMEOUT", "300ms"},
               {"VEXANET_IDLE_TIMEOUT", "2m"},
               {"VEXANET_GUESS_LIMIT", "0"}});
  EXPECT_TRUE(p.problems.empty()) << Joined(p.problems);
  EXPECT_EQ(p.settings.authTimeout, 300ms);
  EXPECT_EQ(p.settings.idleTimeout, 2min);
  EXPECT_EQ(p.settings.guessLimit, 0u);
  const std::string shown = Joined(p.settings.Describe());
  EXPECT_NE(shown.find("password within: 300 ms (VEXANET_AUTH_TIMEOUT)"), std::string::npos)
      << shown;
  EXPECT_NE(shown.find("idle limit: 2 min (VEXANET_IDLE_TIMEOUT)"), std::string::npos) << shown;
  EXPECT_NE(shown.find("no limit (VEXANET_GUESS_LIMIT=0)"), std::string::npos) << shown;

  // Bad values: one line each; the password deadline and the guess limit keep their defaults,
  // the idle limit stays off. A zero password deadline is bad: it would be no deadline at all.
  for (const char* authText : {"soon", "0", "0ms", "25h"}) {
    p = FromEnv({{"VEXANET_REQUIRE_PASSWORD", "1"},
                 {"VEXANET_PASSWORD", "x"},
                 {"VEXANET_AUTH_TIMEOUT", authText},
                 {"VEXANET_IDLE_TIMEOUT", "-1"},
                 {"VEXANET_GUESS_LIMIT", "ten"}});
    EXPECT_EQ(p.settings.authTimeout, 10s) << authText;
    EXPECT_FALSE(p.settings.idleTimeout) << authText;
    EXPECT_EQ(p.settings.guessLimit, 30u) << authText;
    ASSERT_EQ(p.problems.size(), 3u) << Joined(p.problems);
    EXPECT_EQ(p.problems[0].rfind("VEXANET_AUTH_TIMEOUT: ", 0), 0u) << p.problems[0];
    EXPECT_NE(p.problems[0].find("the default of 10 s holds"), std::string::npos);
    EXPECT_NE(p.problems[1].find("no idle limit"), std::string::npos) << p.problems[1];
    EXPECT_NE(p.problems[2].find("the default of 30"), std::string::npos) << p.problems[2];
  }
  for (const char* limitText : {"-1", "10001", "3 a minute", "99999999999"}) {
    p = FromEnv({{"VEXANET_REQUIRE_PASSWORD", "1"},
                 {"VEXANET_PASSWORD", "x"},
                 {"VEXANET_GUESS_LIMIT", limitText}});
    EXPECT_EQ(p.settings.guessLimit, 30u) << limitText;
    EXPECT_EQ(p.problems.size(), 1u) << limitText;
  }
  // An idle limit of 0 is off, as unset.
  p = FromEnv({{"VEXANET_IDLE_TIMEOUT", "0s"}});
  EXPECT_FALSE(p.settings.idleTimeout);
  EXPECT_TRUE(p.problems.empty()) << Joined(p.problems);

  // The password settings without a required password are said to do nothing.
  p = FromEnv({{"VEXANET_AUTH_TIMEOUT", "5s"}, {"VEXANET_GUESS_LIMIT", "5"}});
  EXPECT_EQ(p.problems.size(), 2u) << Joined(p.problems);
  EXPECT_NE(Joined(p.settings.Describe()).find("unused while no password is required"),
            std::string::npos);
}

class PasswordFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vexanet-access-" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(fs::create_directory(dir_));
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& bytes) {
    const std::string path = (dir_ / "password").string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
  }
  static Parsed Read(const std::string& path, const std::string& envPassword = "") {
    std::map<std::string, std::string> env{{"VEXANET_PASSWORD_FILE", path}};
    if (!envPassword.empty()) env["VEXANET_PASSWORD"] = envPassword;
    return FromEnv(env);
  }
  fs::path dir_;
};

TEST_F(PasswordFile, FirstLineWithoutItsLineEnd) {
  for (const std::string bytes :
       {"s3cret\r\nsecond\r\n", "s3cret\nsecond", "s3cret", "s3cret\rsecond"}) {
    const Parsed p = Read(Write(bytes));
    EXPECT_EQ(p.settings.password.kind, PasswordSetting::Kind::Text);
    EXPECT_EQ(p.settings.password.text, "s3cret");
    EXPECT_EQ(p.settings.password.source, "VEXANET_PASSWORD_FILE");
    EXPECT_TRUE(p.problems.empty()) << Joined(p.problems);
  }
  // The file wins over VEXANET_PASSWORD, and that is said.
  const Parsed p = Read(Write("fromfile\n"), "fromenv");
  EXPECT_EQ(p.settings.password.text, "fromfile");
  EXPECT_EQ(p.problems.size(), 1u);
}

TEST_F(PasswordFile, AnyFailureAcceptsNoPasswordAtAll) {
  const std::string longLine(acl::kMaxPasswordBytes + 1, 'x');
  const std::vector<std::string> paths = {
      Write(""),                    // empty file
      Write("\r\nsecond\n"),        // empty first line
      Write(longLine),              // no end in sight
      (dir_ / "missing").string(),  // cannot be opened
      dir_.string(),                // a folder
#ifndef _WIN32
      "/dev/null",  // no regular file
#endif
  };
  for (const std::string& path : paths) {
    // VEXANET_PASSWORD is also set: a bad file must not fall back to it either.
    const Parsed p = Read(path, "fromenv");
    EXPECT_EQ(p.settings.password.kind, PasswordSetting::Kind::NoneAccepted) << path;
    EXPECT_TRUE(p.settings.password.text.empty());
    EXPECT_FALSE(p.settings.password.reason.empty());
    ASSERT_EQ(p.problems.size(), 2u) << path;  // both set; the file failed
    EXPECT_NE(p.problems[1].find("no password is accepted"), std::string::npos) << p.problems[1];
  }
  // The longest line read still counts.
  EXPECT_EQ(Read(Write(longLine.substr(1) + "\n")).settings.password.kind,
            PasswordSetting::Kind::Text);
}

TEST_F(PasswordFile, DescribeTellsWhereFromButNeverThePassword) {
  const std::string secret = "Zq9-secret";
  for (const Parsed& p : {Read(Write(secret + "\n")), FromEnv({{"VEXANET_PASSWORD", secret}}),
                          Read((dir_ / "missing").string())}) {
    const std::string shown = Joined(p.settings.Describe()) + Joined(p.problems);
    EXPECT_EQ(shown.find(secret), std::string::npos) << shown;
    EXPECT_NE(shown.find("password: "), std::string::npos) << shown;
  }
  EXPECT_NE(Joined(Read(Write(secret)).settings.Describe()).find((dir_ / "password").string()),
            std::string::npos);
  const std::string all = Joined(FromEnv({{"VEXANET_LISTEN", "::1"},
                                          {"VEXANET_ALLOW", "10.1.0.0/16"},
                                          {"VEXANET_REQUIRE_PASSWORD", "1"}})
                                     .settings.Describe());
  EXPECT_NE(all.find("listen: ::1 (VEXANET_LISTEN)"), std::string::npos) << all;
  EXPECT_NE(all.find("allow: 10.1.0.0/16 (VEXANET_ALLOW)"), std::string::npos) << all;
  EXPECT_NE(all.find("require password: yes"), std::string::npos) << all;
}

TEST(AccessBackOff, DoublesUpToTheLongestAndResetsOnSuccess) {
  acl::BackOff b;  // 1 s, doubling to 60 s
  const auto client = A("192.0.2.1");
  EXPECT_FALSE(b.RefuseNow(client, t0));
  Clock::time_point t = t0;
  for (const auto expected : {1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s}) {
    b.Rejected(client, t);
    EXPECT_TRUE(b.RefuseNow(client, t + expected - 1ms)) << expected.count();
    EXPECT_FALSE(b.RefuseNow(client, t + expected)) << expected.count();
    t += expected + 5s;  // the next try comes after the wait
  }
  // Other addresses are not held back; the mapped form is the same client.
  EXPECT_FALSE(b.RefuseNow(A("192.0.2.2"), t - 5s - 1s));
  b.Rejected(client, t);
  EXPECT_TRUE(b.RefuseNow(A("::ffff:192.0.2.1"), t + 59s));
  // A refused connection does not lengthen the wait.
  EXPECT_TRUE(b.RefuseNow(client, t + 30s));
  EXPECT_FALSE(b.RefuseNow(client, t + 60s));
  // A success forgets the client: the next rejection starts again at one second.
  b.Succeeded(client);
  EXPECT_FALSE(b.RefuseNow(client, t + 1s));
  b.Rejected(client, t + 70s);
  EXPECT_FALSE(b.RefuseNow(client, t + 71s));
}

TEST(AccessBackOff, QuietAddressesAreForgottenAndTheTableIsBounded) {
  acl::BackOff b({100ms, 400ms}, 3);  // shortened, as the server tests shorten it
  const auto client = A("2001:db8::1");
  b.Rejected(client, t0);
  b.Rejected(client, t0 + 150ms);  // 200 ms now
  // Quiet for the longest wait after the wait ends: forgotten, and the next wait is the first.
  EXPECT_FALSE(b.RefuseNow(client, t0 + 150ms + 200ms + 400ms));
  EXPECT_EQ(b.size(), 0u);
  b.Rejected(client, t0 + 1s);
  EXPECT_FALSE(b.RefuseNow(client, t0 + 1s + 100ms));

  // A flood of addresses, in no order: the table never grows past its capacity, and the latest
  // stay held back.
  Clock::time_point t = t0 + 2s;
  std::vector<asio::ip::address> order;
  for (unsigned i = 0; i < 50; ++i) {
    order.push_back(asio::ip::make_address_v4(0x0A000000u + (i * 37) % 50 + 1));
    b.Rejected(order.back(), t);
    t += 1ms;
    EXPECT_LE(b.size(), 3u);
  }
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(b.RefuseNow(order[i], t), i >= order.size() - 3) << order[i].to_string();
  }
}

TEST(AccessBackOff, ManyThreadsAtOnce) {
  acl::BackOff b({1ms, 8ms}, 16);
  std::vector<std::thread> threads;
  for (unsigned n = 0; n < 4; ++n) {
    threads.emplace_back([&b, n] {
      for (unsigned i = 0; i < 2000; ++i) {
        const auto a = asio::ip::make_address_v4(0x7F000000u + (i * 7 + n) % 40);
        const auto now = t0 + std::chrono::microseconds(i * 50);
        if (!b.RefuseNow(a, now)) b.Rejected(a, now);
        if (i % 5 == n) b.Succeeded(a);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_LE(b.size(), 16u);
}

TEST(AccessPolicyTest, AdmitChecksTheAddressThenTheBackOffWhenAPasswordIsRequired) {
  const auto allowed = A("::ffff:127.0.0.2");
  const auto other = A("::ffff:127.0.0.1");
  for (const bool require : {false, true}) {
    acl::AccessPolicy policy(FromEnv({{"VEXANET_ALLOW", "127.0.0.2"},
                                      {"VEXANET_PASSWORD", "pw"},
                                      {"VEXANET_REQUIRE_PASSWORD", require ? "1" : "0"}})
                                 .settings,
                             {50ms, 3s});
    using Kind = acl::AccessPolicy::Verdict::Kind;
    EXPECT_EQ(policy.Admit(other, t0).kind, Kind::NotAllowed);
    EXPECT_EQ(policy.Admit(allowed, t0).kind, Kind::Serve);
    policy.PasswordRejected(allowed, t0);
    policy.PasswordRejected(allowed, t0 + 60ms);
    const auto verdict = policy.Admit(allowed, t0 + 100ms);
    // Without a required password nothing is delayed.
    EXPECT_EQ(verdict.kind, require ? Kind::TooSoon : Kind::Serve) << require;
    if (require) {
      EXPECT_EQ(verdict.wait, 60ms);  // the second wait is 100 ms, from t0 + 60 ms
      EXPECT_EQ(acl::AccessPolicy::RefusalLine(allowed, verdict),
                "Refused connection from 127.0.0.2: too soon after a rejected password "
                "(refused for 60 ms more)");
    }
    policy.PasswordAccepted(allowed);
    EXPECT_EQ(policy.Admit(allowed, t0 + 100ms).kind, Kind::Serve);
    // A refused address stays refused whatever the back-off says.
    EXPECT_EQ(acl::AccessPolicy::RefusalLine(other, policy.Admit(other, t0)),
              "Refused connection from 127.0.0.1: not in VEXANET_ALLOW");
  }
}

TEST(AccessGuessLimit, AtMostTheLimitInAnyWindow) {
  acl::GuessLimit g(3, 60s);
  EXPECT_FALSE(g.Wait(t0));
  g.Rejected(t0);
  g.Rejected(t0 + 10s);
  EXPECT_FALSE(g.Wait(t0 + 10s));
  g.Rejected(t0 + 20s);
  // Full: refused until the oldest rejection is a window old.
  EXPECT_EQ(g.Wait(t0 + 20s), 40s);
  EXPECT_EQ(g.Wait(t0 + 59s), 1s);
  EXPECT_FALSE(g.Wait(t0 + 60s));
  // Room for one: the next rejection fills the window again, until the second oldest leaves.
  g.Rejected(t0 + 61s);
  EXPECT_EQ(g.Wait(t0 + 61s), 9s);
  EXPECT_FALSE(g.Wait(t0 + 70s));
  // Quiet for a window: all room again.
  g.Rejected(t0 + 200s);
  EXPECT_FALSE(g.Wait(t0 + 200s));

  acl::GuessLimit off(0, 60s);
  for (int i = 0; i < 100; ++i) off.Rejected(t0);
  EXPECT_FALSE(off.Wait(t0));
}

TEST(AccessPolicyTest, RejectionsFromManyAddressesTurnEveryoneAway) {
  using Kind = acl::AccessPolicy::Verdict::Kind;
  const auto env = [](const char* require) {
    return FromEnv({{"VEXANET_PASSWORD", "pw"},
                    {"VEXANET_REQUIRE_PASSWORD", require},
                    {"VEXANET_GUESS_LIMIT", "5"}})
        .settings;
  };
  acl::AccessPolicy policy(env("1"), {1s, 60s, 60s});
  auto address = [](unsigned i) -> asio::ip::address {
    return asio::ip::make_address_v4(0x7F000000u + 10 + i);
  };
  // Five guessers, one guess each: none of them is held back by its own back-off after 1 s.
  for (unsigned i = 0; i < 5; ++i) {
    EXPECT_EQ(policy.Admit(address(i), t0 + i * 1s).kind, Kind::Serve) << i;
    policy.PasswordRejected(address(i), t0 + i * 1s);
  }
  // The limit is reached: a sixth address, and one that never guessed, are turned away.
  for (const auto& who : {address(5), A("192.0.2.1")}) {
    const auto verdict = policy.Admit(who, t0 + 10s);
    EXPECT_EQ(verdict.kind, Kind::TooManyGuesses) << who.to_string();
    EXPECT_EQ(verdict.wait, 50s);
  }
  EXPECT_EQ(acl::AccessPolicy::RefusalLine(A("::ffff:127.0.0.9"), policy.Admit(address(9), t0 + 10s)),
            "Refused connection from 127.0.0.9: too many rejected passwords from all addresses "
            "(VEXANET_GUESS_LIMIT; refused for 50 s more)");
  // An accepted password does not empty the window; its end does.
  policy.PasswordAccepted(address(0));
  EXPECT_EQ(policy.Admit(address(6), t0 + 59s).kind, Kind::TooManyGuesses);
  EXPECT_EQ(policy.Admit(address(6), t0 + 60s).kind, Kind::Serve);

  // Without a required password, rejections are not counted.
  acl::AccessPolicy open(env("0"), {1s, 60s, 60s});
  for (unsigned i = 0; i < 20; ++i) open.PasswordRejected(address(i), t0);
  EXPECT_EQ(open.Admit(address(30), t0).kind, Kind::Serve);
}

TEST(AccessEnvironmentFile, ReadsWhatTheServiceManagerReads) {
  std::istringstream in(
      "# comment\n"
      "; another = comment\n"
      "\n"
      "VEXANET_LISTEN=127.0.0.1,::1\n"
      "  VEXANET_ALLOW =  10.0.0.0/8 192.168.1.0/24  \r\n"
      "VEXANET_PASSWORD='it''s # not a comment'\n"
      "VEXANET_PASSWORD_FILE=\"/run/a \\\"b\\\" \\x\"\n"
      "VEXANET_REQUIRE_PASSWORD=1\\\n"
      "0\n"
      "NOEQUALS\n"
      "VEXANET_COM1=/dev/ttyUSB0\n"
      "VEXANET_COM1=/dev/ttyUSB1\n"
      "EMPTY=\n"
      "LAST=no newline at the end");
  const auto values = acl::ReadEnvironmentFile(in);
  const std::map<std::string, std::string> expected = {
      {"VEXANET_LISTEN", "127.0.0.1,::1"},
      {"VEXANET_ALLOW", "10.0.0.0/8 192.168.1.0/24"},
      {"VEXANET_PASSWORD", "its # not a comment"},
      {"VEXANET_PASSWORD_FILE", "/run/a \"b\" \\x"},
      {"VEXANET_REQUIRE_PASSWORD", "10"},
      {"VEXANET_COM1", "/dev/ttyUSB1"},
      {"EMPTY", ""},
      {"LAST", "no newline at the end"},
  };
  EXPECT_EQ(values, expected);
}
