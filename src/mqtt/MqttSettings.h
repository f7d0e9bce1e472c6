// The MQTT bridge's settings, from the environment:
//
//   VEXANET_MQTT=mqtt://HOST[:PORT] or mqtts://HOST[:PORT]   the broker (ports 1883 / 8883);
//                                      an IPv6 address in brackets; unset: no bridge
//   VEXANET_MQTT_CAFILE=FILE           the certificate authority for mqtts (default: the
//                                      system's certificates)
//   VEXANET_MQTT_USER, VEXANET_MQTT_PASSWORD or VEXANET_MQTT_PASSWORD_FILE (its first line)
//   VEXANET_MQTT_PREFIX                the topics' prefix (default vexanet/<host name>)
//   VEXANET_MQTT_DISCOVERY             the discovery prefix (default homeassistant; off: none)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Environment.h"

namespace vexanet::mqtt {

struct MqttSettings {
  std::string host;
  uint16_t port = 1883;
  bool tls = false;
  std::string caFile;  // empty: the system's certificates
  std::string user;    // empty: no user name
  std::optional<std::string> password;
  std::string prefix;     // no trailing '/'
  std::string discovery;  // empty: no discovery messages
  // The prefix as a name Home Assistant takes in a topic and an id: characters other than
  // letters, digits, '_' and '-' replaced by '_'.
  std::string node;

  // "mqtt://host:1883", as the console shows it (never the password).
  std::string BrokerText() const;
  // The client id the broker knows the bridge by: "vexanet-" and the node name, or, where that
  // is longer than the 23 characters every broker must take, "vexanet-" and 15 hexadecimal
  // digits of a hash of the node name (the same prefix gives the same id).
  std::string ClientId() const;

  // Empty when VEXANET_MQTT is unset or blank, or when a setting is wrong: then one line per
  // problem says so and the program runs without the bridge. hostName makes the default prefix.
  static std::optional<MqttSettings> FromEnvironment(const EnvLookup& getenv,
                                                     const std::string& hostName,
                                                     std::vector<std::string>& problems);
};

// Characters other than letters, digits, '_' and '-' replaced by '_'.
std::string NodeName(const std::string& text);

}  // namespace vexanet::mqtt
