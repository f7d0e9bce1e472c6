// The bridge's topics and messages, as the broker and Home Assistant see them:
//
//   <prefix>/relay/N          "ON" or "OFF", retained (N = 1..8)
//   <prefix>/relay/N/set      "ON" or "OFF" in any case: switch relay N
//   <prefix>/availability     "online" or "offline", retained (also the broker's last will)
//   <prefix>/status           the latest status text, retained
//   <discovery>/switch/<node>/relayN/config   Home Assistant's discovery message, retained
//   <discovery>/status        "online" when Home Assistant (re)starts
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mqtt/MqttSettings.h"

namespace vexanet::mqtt {

inline constexpr const char* kOnline = "online";
inline constexpr const char* kOffline = "offline";

class Topics {
 public:
  explicit Topics(const MqttSettings& settings);

  // relay: index 0..7; the topics count from 1.
  std::string State(int relay) const;
  std::string SetPattern() const;  // <prefix>/relay/+/set
  std::string Availability() const;
  std::string Status() const;
  // Empty when discovery is off.
  std::string DiscoveryConfig(int relay) const;
  std::string DiscoveryStatus() const;

  // The relay index 0..7 a set topic names, or empty (another topic, N not 1..8).
  std::optional<int> RelayOfSet(std::string_view topic) const;
  bool IsDiscoveryStatus(std::string_view topic) const;

  // Home Assistant's discovery message for relay index 0..7 (JSON): one switch of the one
  // device this server is.
  std::string DiscoveryMessage(int relay) const;

 private:
  const MqttSettings settings_;
};

// "ON", "OFF" (any case, blanks around ignored) as on or off; anything else empty.
std::optional<bool> ParseSwitchPayload(std::string_view payload);
inline const char* StatePayload(bool on) { return on ? "ON" : "OFF"; }

// Text from the network for a console line: at most 64 bytes, then "…".
std::string Excerpt(std::string_view text);

}  // namespace vexanet::mqtt
