// An environment for the settings' readers made from a table, for tests.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "base/Environment.h"

namespace testing_support {

inline vexanet::EnvLookup EnvTable(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const char* name) -> std::optional<std::string> {
    auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
  };
}

}  // namespace testing_support
