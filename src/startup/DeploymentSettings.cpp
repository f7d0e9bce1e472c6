#include "startup/DeploymentSettings.h"

namespace vexanet {

DeploymentSettings DeploymentSettings::FromEnvironment(const EnvLookup& getenv,
                                                       std::vector<std::string>& problems) {
  DeploymentSettings settings;
  settings.access = access::AccessSettings::FromEnvironment(getenv, problems);
  if (const auto value = getenv("VEXANET_HEADLESS")) {
    if (*value == "1") {
      settings.headless = true;
    } else if (!value->empty() && *value != "0") {
      problems.push_back("VEXANET_HEADLESS: \"" + *value + "\" is neither 1 nor 0; ignored");
    }
  }
  return settings;
}

}  // namespace vexanet
