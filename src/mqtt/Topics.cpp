#include "mqtt/Topics.h"

#include <cctype>
#include <nlohmann/json.hpp>

#include "base/Console.h"

namespace vexanet::mqtt {

Topics::Topics(const MqttSettings& settings) : settings_(settings) {}

std::string Topics::State(int relay) const {
  return settings_.prefix + "/relay/" + std::to_string(relay + 1);
}

std::string Topics::SetPattern() const { return settings_.prefix + "/relay/+/set"; }

std::string Topics::Availability() const { return settings_.prefix + "/availability"; }

std::string Topics::Status() const { return settings_.prefix + "/status"; }

std::string Topics::DiscoveryConfig(int relay) const {
  if (settings_.discovery.empty()) return {};
  return settings_.discovery + "/switch/" + settings_.node + "/relay" + std::to_string(relay + 1) +
         "/config";
}

std::string Topics::DiscoveryStatus() const {
  if (settings_.discovery.empty()) return {};
  return settings_.discovery + "/status";
}

std::optional<int> Topics::RelayOfSet(std::string_view topic) const {
  const std::string head = settings_.prefix + "/relay/";
  constexpr std::string_view tail = "/set";
  if (topic.size() != head.size() + 1 + tail.size()) return std::nullopt;
  if (topic.substr(0, head.size()) != head || topic.substr(head.size() + 1) != tail) {
    return std::nullopt;
  }
  const char digit = topic[head.size()];
  if (digit < '1' || digit > '8') return std::nullopt;
  return digit - '1';
}

bool Topics::IsDiscoveryStatus(std::string_view topic) const {
  return !settings_.discovery.empty() && topic == DiscoveryStatus();
}

std::string Topics::DiscoveryMessage(int relay) const {
  const std::string number = std::to_string(relay + 1);
  const nlohmann::json message = {
      {"name", "Relay " + number},
      {"unique_id", settings_.node + "_relay" + number},
      {"command_topic", settings_.prefix + "/relay/" + number + "/set"},
      {"state_topic", State(relay)},
      {"availability_topic", Availability()},
      {"payload_available", kOnline},
      {"payload_not_available", kOffline},
      {"payload_on", "ON"},
      {"payload_off", "OFF"},
      {"qos", 1},
      {"device",
       {{"identifiers", {settings_.node}},
        {"name", "VexaNet " + settings_.prefix},
        {"manufacturer", "VexaNet"},
        {"model", "Eight-relay board"}}},
  };
  // Topics are UTF-8 already (the prefix came from the environment): replace what is not.
  return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<bool> ParseSwitchPayload(std::string_view payload) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!payload.empty() && blank(payload.front())) payload.remove_prefix(1);
  while (!payload.empty() && blank(payload.back())) payload.remove_suffix(1);
  if (payload.size() > 3) return std::nullopt;
  std::string word;
  for (const char c : payload) {
    word.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  if (word == "ON") return true;
  if (word == "OFF") return false;
  return std::nullopt;
}

std::string Excerpt(std::string_view text) {
  constexpr size_t kLimit = 64;
  if (text.size() <= kLimit) return ConsoleSafe(text);
  return ConsoleSafe(text.substr(0, kLimit)) + "… (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace vexanet::mqtt
