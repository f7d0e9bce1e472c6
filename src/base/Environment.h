// Deployment settings come from environment variables. Readers take a lookup function, so that
// tests hand them a table and the program hands them its own environment.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace vexanet {

// Looks up one environment variable; empty when it is not set.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// This process's environment. Read it before other threads start: a window toolkit may change
// the environment, and reading it while another thread changes it is undefined.
EnvLookup ProcessEnvironment();

}  // namespace vexanet
