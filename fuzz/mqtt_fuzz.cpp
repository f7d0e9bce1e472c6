// Fuzz target: what the MQTT bridge reads from the broker and from its settings.
//
// Input: byte 0 chooses what the rest is: a broker message (topic, a 0 byte, payload) for the
// prefix "lab/b", a VEXANET_MQTT value, or a VEXANET_MQTT_PREFIX value.
//
// Properties checked:
//  - no input crashes or throws;
//  - a topic is taken as relay N's set topic exactly when it is "lab/b/relay/N/set", N 1..8;
//  - a payload switches on or off exactly when it is ON or OFF in any case, blanks around;
//  - an accepted VEXANET_MQTT value prints as a value that is accepted with the same broker;
//    a refused one gives exactly one line;
//  - an accepted prefix gives a node name of letters, digits, '_' and '-' only, and discovery
//    messages that parse as JSON naming the prefix's topics.
#include <cctype>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "mqtt/MqttSettings.h"
#include "mqtt/Topics.h"

namespace {

using vexanet::mqtt::MqttSettings;

vexanet::EnvLookup Env(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const char* name) -> std::optional<std::string> {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
  };
}

std::optional<MqttSettings> Read(std::map<std::string, std::string> env,
                                 std::vector<std::string>& problems) {
  return MqttSettings::FromEnvironment(Env(std::move(env)), "fuzz-host", problems);
}

std::string Upper(std::string_view text) {
  std::string out;
  for (const char c : text) {
    out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return out;
}

void Message(std::string_view rest) {
  std::vector<std::string> problems;
  const auto settings = Read({{"VEXANET_MQTT", "mqtt://b"}, {"VEXANET_MQTT_PREFIX", "lab/b"}},
                             problems);
  FUZZ_CHECK(settings.has_value(), "the fixed settings are accepted");
  const vexanet::mqtt::Topics topics(*settings);
  const size_t zero = rest.find('\0');
  const std::string_view topic = rest.substr(0, zero);
  const std::string_view payload = zero == std::string_view::npos ? "" : rest.substr(zero + 1);

  const std::optional<int> relay = topics.RelayOfSet(topic);
  bool isSet = false;
  for (int n = 0; n < 8; ++n) {
    if (topic == "lab/b/relay/" + std::to_string(n + 1) + "/set") {
      isSet = true;
      FUZZ_CHECK(relay == n, "the set topic names its relay: " + fuzz::Show(topic));
    }
  }
  FUZZ_CHECK(isSet == relay.has_value(), "only set topics name a relay: " + fuzz::Show(topic));

  const std::optional<bool> on = vexanet::mqtt::ParseSwitchPayload(payload);
  std::string_view word = payload;
  while (!word.empty() && std::string_view(" \t\r\n").find(word.front()) != std::string_view::npos)
    word.remove_prefix(1);
  while (!word.empty() && std::string_view(" \t\r\n").find(word.back()) != std::string_view::npos)
    word.remove_suffix(1);
  const std::string upper = Upper(word);
  const std::optional<bool> expected =
      upper == "ON" ? std::optional<bool>(true)
                    : upper == "OFF" ? std::optional<bool>(false) : std::nullopt;
  FUZZ_CHECK(on == expected, "ON/OFF and nothing else: " + fuzz::Show(payload));
  (void)vexanet::mqtt::Excerpt(payload);
}

void Broker(std::string_view value) {
  std::vector<std::string> problems;
  const auto settings = Read({{"VEXANET_MQTT", std::string(value)}}, problems);
  if (!settings) {
    FUZZ_CHECK(problems.size() == 1 || value.find_first_not_of(" \t\r\n") == std::string_view::npos,
               "a refused broker gives one line: " + fuzz::Show(value));
    return;
  }
  std::vector<std::string> again;
  const auto back = Read({{"VEXANET_MQTT", settings->BrokerText()}}, again);
  FUZZ_CHECK(back && back->host == settings->host && back->port == settings->port &&
                 back->tls == settings->tls,
             fuzz::Show(value) + " prints as " + fuzz::Show(settings->BrokerText()));
}

void Prefix(std::string_view value) {
  std::vector<std::string> problems;
  const auto settings =
      Read({{"VEXANET_MQTT", "mqtt://b"}, {"VEXANET_MQTT_PREFIX", std::string(value)}}, problems);
  if (!settings) {
    FUZZ_CHECK(problems.size() == 1, "a refused prefix gives one line: " + fuzz::Show(value));
    return;
  }
  for (const char c : settings->node) {
    const auto u = static_cast<unsigned char>(c);
    FUZZ_CHECK(u < 0x80 && (std::isalnum(u) || c == '_' || c == '-'),
               "node " + fuzz::Show(settings->node));
  }
  const vexanet::mqtt::Topics topics(*settings);
  const auto json = nlohmann::json::parse(topics.DiscoveryMessage(7), nullptr, false);
  FUZZ_CHECK(!json.is_discarded(), "discovery for " + fuzz::Show(value) + " is JSON");
  // Bytes that are not UTF-8 reach JSON as U+FFFD, as they do in the message.
  const auto replaced = [](const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  FUZZ_CHECK(json["command_topic"].dump() == replaced(settings->prefix + "/relay/8/set"),
             "discovery names the set topic for " + fuzz::Show(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t kind = in.Byte();
  const std::string_view rest = in.Rest();
  switch (kind % 3) {
    case 0:
      Message(rest);
      break;
    case 1:
      Broker(rest);
      break;
    default:
      Prefix(rest);
      break;
  }
  return 0;
}
