// Platforms without a built-in native driver: the registry starts empty, so the driver choice
// prints its load-failure line and ports run without a driver.
#include "SerialKit/NativeDriverRegistry.h"

namespace SerialKit {

void registerPlatformDrivers(NativeDriverRegistry&) {}

}  // namespace SerialKit
