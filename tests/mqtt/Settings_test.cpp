// The bridge's settings and topics: what the environment may say, what the broker sees.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "EnvTable.h"
#include "mqtt/MqttSettings.h"
#include "mqtt/Topics.h"

namespace {

using testing_support::EnvTable;
using vexanet::mqtt::MqttSettings;
using vexanet::mqtt::Topics;

std::optional<MqttSettings> Read(std::map<std::string, std::string> env,
                                 std::vector<std::string>* problemsOut = nullptr) {
  std::vector<std::string> problems;
  auto s = MqttSettings::FromEnvironment(EnvTable(std::move(env)), "lab-pi.local", problems);
  if (problemsOut != nullptr) *problemsOut = problems;
  return s;
}

struct Broker {
  std::string url;
  std::string host;
  int port;
  bool tls;
  std::string text;
};
void PrintTo(const Broker& b, std::ostream* os) { *os << b.url; }

class BrokerAddress : public ::testing::TestWithParam<Broker> {};

TEST_P(BrokerAddress, IsTakenApart) {
  const Broker& b = GetParam();
  std::vector<std::string> problems;
  const auto s = Read({{"VEXANET_MQTT", b.url}}, &problems);
  ASSERT_TRUE(s) << (problems.empty() ? "" : problems[0]);
  EXPECT_EQ(s->host, b.host);
  EXPECT_EQ(s->port, b.port);
  EXPECT_EQ(s->tls, b.tls);
  EXPECT_EQ(s->BrokerText(), b.text);
  EXPECT_TRUE(problems.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Urls, BrokerAddress,
    ::testing::Values(Broker{"mqtt://broker", "broker", 1883, false, "mqtt://broker:1883"},
                      Broker{"mqtt://10.0.0.2:1884", "10.0.0.2", 1884, false, "mqtt://10.0.0.2:1884"},
                      Broker{"mqtts://broker.lan/", "broker.lan", 8883, true, "mqtts://broker.lan:8883"},
                      Broker{"mqtt://[::1]:2000", "::1", 2000, false, "mqtt://[::1]:2000"},
                      Broker{" mqtt://h ", "h", 1883, false, "mqtt://h:1883"}));

struct Env {
  std::map<std::string, std::string> values;
};
void PrintTo(const Env& env, std::ostream* os) {
  const char* separator = "";
  for (const auto& [k, v] : env.values) {
    *os << separator << k << "=";
    for (const char c : v) {
      const auto u = static_cast<unsigned char>(c);
      if (u >= 0x20 && u < 0x7F) {
        *os << c;
      } else {
        static constexpr char kHex[] = "0123456789abcdef";
        *os << "\\x" << kHex[u >> 4] << kHex[u & 0x0F];
      }
    }
    separator = ", ";
  }
}

class BadSetting : public ::testing::TestWithParam<Env> {};

TEST_P(BadSetting, MeansNoBridgeAndOneLineSaysWhy) {
  std::vector<std::string> problems;
  EXPECT_FALSE(Read(GetParam().values, &problems));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("running without the MQTT bridge"), std::string::npos) << problems[0];
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadSetting,
    ::testing::Values(
        Env{{{"VEXANET_MQTT", "tcp://broker"}}}, Env{{{"VEXANET_MQTT", "mqtt://"}}},
        Env{{{"VEXANET_MQTT", "mqtt://broker:0"}}}, Env{{{"VEXANET_MQTT", "mqtt://broker:65536"}}},
        Env{{{"VEXANET_MQTT", "mqtt://broker:1883x"}}},
        Env{{{"VEXANET_MQTT", "mqtt://user:pw@broker"}}}, Env{{{"VEXANET_MQTT", "mqtt://::1"}}},
        Env{{{"VEXANET_MQTT", "mqtt://[::1"}}}, Env{{{"VEXANET_MQTT", "mqtt://bro ker"}}},
        Env{{{"VEXANET_MQTT", "mqtt://b"}, {"VEXANET_MQTT_CAFILE", "/etc/hostname"}}},
        Env{{{"VEXANET_MQTT", "mqtts://b"}, {"VEXANET_MQTT_CAFILE", "/no/such/ca.pem"}}},
        Env{{{"VEXANET_MQTT", "mqtt://b"}, {"VEXANET_MQTT_PASSWORD", "pw"}}},
        Env{{{"VEXANET_MQTT", "mqtt://b"},
             {"VEXANET_MQTT_USER", "u"},
             {"VEXANET_MQTT_PASSWORD", "pw"},
             {"VEXANET_MQTT_PASSWORD_FILE", "/etc/hostname"}}},
        Env{{{"VEXANET_MQTT", "mqtt://b"},
             {"VEXANET_MQTT_USER", "u"},
             {"VEXANET_MQTT_PASSWORD_FILE", "/no/such/file"}}},
        Env{{{"VEXANET_MQTT", "mqtt://b"}, {"VEXANET_MQTT_PREFIX", "home/+/relays"}}},
        Env{{{"VEXANET_MQTT", "mqtt://b"}, {"VEXANET_MQTT_PREFIX", "a//b"}}},
        Env{{{"VEXANET_MQTT", "mqtt://b"}, {"VEXANET_MQTT_PREFIX", "lab/\xff"}}},
        Env{{{"VEXANET_MQTT", "mqtt://b"}, {"VEXANET_MQTT_DISCOVERY", "ha/#"}}}));

TEST(MqttSettings, UnsetOrBlankMeansNoBridgeAndNoLine) {
  std::vector<std::string> problems;
  EXPECT_FALSE(Read({}, &problems));
  EXPECT_FALSE(Read({{"VEXANET_MQTT", "  "}}, &problems));
  EXPECT_TRUE(problems.empty());
}

TEST(MqttSettings, DefaultsNameTheHostAndHomeAssistant) {
  const auto s = Read({{"VEXANET_MQTT", "mqtt://b"}});
  ASSERT_TRUE(s);
  EXPECT_EQ(s->prefix, "vexanet/lab-pi_local");
  EXPECT_EQ(s->node, "vexanet_lab-pi_local");
  EXPECT_EQ(s->discovery, "homeassistant");
  EXPECT_TRUE(s->user.empty());
  EXPECT_FALSE(s->password);
}

TEST(MqttSettings, PrefixDiscoveryOffAndThePasswordFilesFirstLine) {
  const auto dir = std::filesystem::temp_directory_path() / "vexanet-mqtt-settings-test";
  std::filesystem::create_directories(dir);
  const auto file = dir / "password";
  { std::ofstream(file, std::ios::binary) << "s3cret pw\r\nsecond line\n"; }
  const auto s = Read({{"VEXANET_MQTT", "mqtt://b"},
                       {"VEXANET_MQTT_PREFIX", "lab/relays/"},
                       {"VEXANET_MQTT_DISCOVERY", "off"},
                       {"VEXANET_MQTT_USER", "bridge"},
                       {"VEXANET_MQTT_PASSWORD_FILE", file.string()}});
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->prefix, "lab/relays");
  EXPECT_EQ(s->node, "lab_relays");
  EXPECT_TRUE(s->discovery.empty());
  EXPECT_EQ(s->user, "bridge");
  EXPECT_EQ(s->password, "s3cret pw");
  EXPECT_EQ(s->BrokerText().find("s3cret"), std::string::npos);
  EXPECT_TRUE(Topics(*s).DiscoveryConfig(0).empty());
}

TEST(MqttSettings, ClientIdsFitEveryBrokerAndDifferPerPrefix) {
  const auto shortOne = Read({{"VEXANET_MQTT", "mqtt://b"}, {"VEXANET_MQTT_PREFIX", "lab/b1"}});
  const auto longOne = Read({{"VEXANET_MQTT", "mqtt://b"},
                             {"VEXANET_MQTT_PREFIX", "building-7/lab-3/bench-12/board-1"}});
  const auto longTwo = Read({{"VEXANET_MQTT", "mqtt://b"},
                             {"VEXANET_MQTT_PREFIX", "building-7/lab-3/bench-12/board-2"}});
  ASSERT_TRUE(shortOne && longOne && longTwo);
  EXPECT_EQ(shortOne->ClientId(), "vexanet-lab_b1");
  EXPECT_EQ(longOne->ClientId().size(), 23u);
  EXPECT_EQ(longOne->ClientId().rfind("vexanet-", 0), 0u);
  EXPECT_NE(longOne->ClientId(), longTwo->ClientId());
  EXPECT_EQ(longOne->ClientId(), longOne->ClientId());
}

TEST(MqttTopics, SetTopicsNameRelaysOneToEightAndNothingElse) {
  const auto s = Read({{"VEXANET_MQTT", "mqtt://b"}, {"VEXANET_MQTT_PREFIX", "lab/x"}});
  ASSERT_TRUE(s);
  const Topics t(*s);
  EXPECT_EQ(t.RelayOfSet("lab/x/relay/1/set"), 0);
  EXPECT_EQ(t.RelayOfSet("lab/x/relay/8/set"), 7);
  for (const char* other : {"lab/x/relay/0/set", "lab/x/relay/9/set", "lab/x/relay/10/set",
                            "lab/x/relay/1", "lab/x/relay/1/set/more", "lab/y/relay/1/set",
                            "lab/x/relay//set", "lab/x/relay/a/set", ""}) {
    EXPECT_FALSE(t.RelayOfSet(other)) << other;
  }
  EXPECT_EQ(t.State(2), "lab/x/relay/3");
  EXPECT_EQ(t.SetPattern(), "lab/x/relay/+/set");
  EXPECT_TRUE(t.IsDiscoveryStatus("homeassistant/status"));
  EXPECT_FALSE(t.IsDiscoveryStatus("lab/x/status"));
}

TEST(MqttTopics, SwitchPayloadsAreOnOrOffInAnyCase) {
  using vexanet::mqtt::ParseSwitchPayload;
  EXPECT_EQ(ParseSwitchPayload("ON"), true);
  EXPECT_EQ(ParseSwitchPayload("on"), true);
  EXPECT_EQ(ParseSwitchPayload(" Off\n"), false);
  for (const char* other : {"", "1", "true", "onn", "o n", "OFFF", "ON OFF"}) {
    EXPECT_FALSE(ParseSwitchPayload(other)) << other;
  }
  EXPECT_FALSE(ParseSwitchPayload(std::string(1 << 20, 'O')));
}

TEST(MqttTopics, DiscoveryMessageIsOneDeviceWithItsSwitch) {
  const auto s = Read({{"VEXANET_MQTT", "mqtt://b"}, {"VEXANET_MQTT_PREFIX", "lab/bench 2"}});
  ASSERT_TRUE(s);
  const Topics t(*s);
  EXPECT_EQ(t.DiscoveryConfig(4), "homeassistant/switch/lab_bench_2/relay5/config");
  const auto json = nlohmann::json::parse(t.DiscoveryMessage(4));
  EXPECT_EQ(json["unique_id"], "lab_bench_2_relay5");
  EXPECT_EQ(json["command_topic"], "lab/bench 2/relay/5/set");
  EXPECT_EQ(json["state_topic"], "lab/bench 2/relay/5");
  EXPECT_EQ(json["availability_topic"], "lab/bench 2/availability");
  EXPECT_EQ(json["payload_on"], "ON");
  EXPECT_EQ(json["payload_off"], "OFF");
  EXPECT_EQ(json["device"]["identifiers"], nlohmann::json::array({"lab_bench_2"}));
  EXPECT_EQ(nlohmann::json::parse(t.DiscoveryMessage(0))["device"], json["device"]);
}

}  // namespace
