#include "startup/DeploymentSettings.h"

#include <asio/ip/host_name.hpp>
#include <system_error>

namespace vexanet {
namespace {

// A switch written 1 (on) or 0 (off); unset or empty is off, anything else a problem and off.
bool Flag(const EnvLookup& getenv, const char* name, std::vector<std::string>& problems) {
  const auto value = getenv(name);
  if (!value || value->empty() || *value == "0") return false;
  if (*value == "1") return true;
  problems.push_back(std::string(name) + ": \"" + *value + "\" is neither 1 nor 0; ignored");
  return false;
}

}  // namespace

DeploymentSettings DeploymentSettings::FromEnvironment(const EnvLookup& getenv,
                                                       std::vector<std::string>& problems,
                                                       const std::string& hostName) {
  DeploymentSettings settings;
  settings.access = access::AccessSettings::FromEnvironment(getenv, problems);
  settings.headless = Flag(getenv, "VEXANET_HEADLESS", problems);
  if (const auto value = getenv("VEXANET_HTTP"); value && !value->empty()) {
#if defined(VEXANET_HAVE_WEB)
    std::string problem;
    settings.http = web::ParseHttpSetting(*value, problem);
    if (!settings.http) problems.push_back(problem + "; running without the web panel");
#else
    problems.push_back("VEXANET_HTTP: this build has no web panel; ignored");
#endif
  }
  if (const auto value = getenv("VEXANET_MQTT"); value && !value->empty()) {
#if defined(VEXANET_HAVE_MQTT)
    std::string host = hostName;
    if (host.empty()) {
      std::error_code error;
      host = asio::ip::host_name(error);
      if (error || host.empty()) host = "server";
    }
    settings.mqtt = mqtt::MqttSettings::FromEnvironment(getenv, host, problems);
#else
    (void)hostName;
    problems.push_back("VEXANET_MQTT: this build has no MQTT bridge; ignored");
#endif
  }
  settings.audit = Flag(getenv, "VEXANET_AUDIT", problems);
  settings.policies = policy::PolicySettings::FromEnvironment(getenv, settings.fatal);
  return settings;
}

}  // namespace vexanet
