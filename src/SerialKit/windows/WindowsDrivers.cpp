// The built-in driver of Windows: one instance per process, under the name the driver choice
// gives every Windows platform whose runtime is this library ("nsdWin").
#include "SerialKit/NativeDriverRegistry.h"
#include "WindowsDriver.h"

namespace SerialKit {

void registerPlatformDrivers(NativeDriverRegistry& registry) {
  registry.add("nsdWin", [] {
    static const std::shared_ptr<NativeDriver> driver = std::make_shared<WindowsDriver>();
    return driver;
  });
}

}  // namespace SerialKit
