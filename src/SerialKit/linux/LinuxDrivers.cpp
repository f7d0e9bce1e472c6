// The built-in drivers of Linux: the termios driver, one instance per process, under both of
// its names.
#include "LinuxDriver.h"
#include "SerialKit/NativeDriverRegistry.h"

namespace SerialKit {

void registerPlatformDrivers(NativeDriverRegistry& registry) {
  const NativeDriverRegistry::Factory shared = [] {
    static const std::shared_ptr<NativeDriver> driver = std::make_shared<LinuxDriver>();
    return driver;
  };
  registry.add("nsdLinux", shared);
  registry.add("nsdLux86", shared);
}

}  // namespace SerialKit
