// The relays' recorded states in a small file of the working folder, for a start-up that
// restores them. Two lines: "vexanet relay states 1" and eight digits 0 or 1 in relay order.
// Written atomically after every change; anything else found in the file counts as damaged.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>

namespace vexanet::policy {

inline constexpr const char* kStateFileName = "VexaNetRelays.state";

// The recorded states, or empty with why set (missing, unreadable, damaged).
std::optional<std::array<bool, 8>> ReadStateFile(const std::filesystem::path& file,
                                                 std::string& why);
bool WriteStateFile(const std::filesystem::path& file, const std::array<bool, 8>& states,
                    std::string& error);

}  // namespace vexanet::policy
