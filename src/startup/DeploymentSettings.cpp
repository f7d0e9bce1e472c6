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
  if (const auto value = getenv("VEXANET_HTTP"); value && !value->empty()) {
#if defined(VEXANET_HAVE_WEB)
    std::string problem;
    settings.http = web::ParseHttpSetting(*value, problem);
    if (!settings.http) problems.push_back(problem + "; running without the web panel");
#else
    problems.push_back("VEXANET_HTTP: this build has no web panel; ignored");
#endif
  }
  if (const auto value = getenv("VEXANET_AUDIT")) {
    if (*value == "1") {
      settings.audit = true;
    } else if (!value->empty() && *value != "0") {
      problems.push_back("VEXANET_AUDIT: \"" + *value + "\" is neither 1 nor 0; ignored");
    }
  }
  settings.policies = policy::PolicySettings::FromEnvironment(getenv, settings.fatal);
  return settings;
}

}  // namespace vexanet
