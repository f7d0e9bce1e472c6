// The deployment settings: what the environment (VEXANET_*) decides about this installation,
// read once by main before any other thread starts and handed to start-up, which passes each
// part what it needs. The configuration file's settings are the main class's own (Vexa).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "access/AccessPolicy.h"
#include "base/Environment.h"
#include "mqtt/MqttSettings.h"
#include "policy/PolicySettings.h"
#include "web/HttpSetting.h"

namespace vexanet {

struct DeploymentSettings {
  // Who may connect and how: listen addresses, allowed clients, initial password, timeouts.
  access::AccessSettings access;
  // VEXANET_HEADLESS=1: no window even where one could be shown. The window backend may also
  // choose headless (no display); start-up then gets its choice.
  bool headless = false;
  // VEXANET_HTTP: where the web panel listens; empty: no panel.
  std::optional<web::HttpSetting> http;
  // VEXANET_MQTT and its companions: the MQTT bridge's broker and topics; empty: no bridge.
  std::optional<mqtt::MqttSettings> mqtt;
  // VEXANET_AUDIT=1: a console line for every relay change and client event, naming who.
  bool audit = false;
  // The relay safety policies (VEXANET_START_STATE, _OFF_ON_CLOSE, _MAX_ON, _INTERLOCK).
  policy::PolicySettings policies;
  // Settings so wrong that the server must not start (a malformed safety policy), one line each.
  std::vector<std::string> fatal;

  // Each problem with a setting becomes one line in problems; the setting is then as if unset.
  // hostName makes the MQTT bridge's default topic prefix; empty: this machine's name.
  static DeploymentSettings FromEnvironment(const EnvLookup& getenv,
                                            std::vector<std::string>& problems,
                                            const std::string& hostName = {});
};

}  // namespace vexanet
