// PortNames: the port names every driver understands. "COM1" to "COM256" name ports by number;
// the environment variable VEXANET_COMn, when set and not empty, names the device behind COMn
// (on Linux a device path, on Windows another COM name or a device path). Each driver maps a
// number without such a variable to its own device names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace SerialKit {

inline constexpr int32_t kMaxComNumber = 256;

// "COM1" .. "COM256" -> 1 .. 256; 0 for anything else ("COM0", "COM01", "COM257", "ttyS0").
// ignoreCase: "com1" counts too (Windows names).
int32_t comNumber(std::string_view name, bool ignoreCase = false);

// The environment variable that names the device behind COMn: "VEXANET_COM1".
std::string comOverrideVariable(int32_t n);

}  // namespace SerialKit
