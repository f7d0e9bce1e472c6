#include "base/Environment.h"

#include <cstdlib>

namespace vexanet {

EnvLookup ProcessEnvironment() {
  return [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

}  // namespace vexanet
