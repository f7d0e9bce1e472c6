// The relay safety policies a deployment may switch on; without any of them the server does
// exactly what it is told.
//   VEXANET_START_STATE=off|restore      restore: the relays' recorded states at start-up
//   VEXANET_OFF_ON_CLOSE=1,3,8|all        these relays off when a client's session ends
//   VEXANET_MAX_ON=N:DURATION[,...]       relay N off DURATION after it was switched on
//   VEXANET_INTERLOCK=1+2[,5+6+7...]     at most one relay of a group on
// A malformed value is an error that stops the start: a safety setting silently ignored is worse
// than none.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Environment.h"

namespace vexanet::policy {

struct PolicySettings {
  bool restore = false;
  std::array<bool, 8> offOnClose{};  // by relay index 0..7
  std::array<std::optional<std::chrono::milliseconds>, 8> maxOn{};
  std::vector<std::vector<int32_t>> interlocks;  // relay indexes 0..7

  bool Any() const;
  // One line for people: "start state restore; off on close 1,3; max on 2:500 ms; interlock 1+2";
  // "none" without any.
  std::string Describe() const;

  // Each malformed setting adds one line, naming the variable, to errors.
  static PolicySettings FromEnvironment(const EnvLookup& getenv, std::vector<std::string>& errors);
};

}  // namespace vexanet::policy
