// Loading a native driver by name, and the process's choice of driver.
//
// The built-in drivers are registered under the names the driver choice produces; on Linux the
// termios driver answers to "nsdLinux" and "nsdLux86". The process driver is chosen once, before
// the first port object, from the platform facts (chooseNativeLibrary):
//   - no name for the platform: prints "Platform not supported" and ends the process, status 1;
//   - no driver answers to the name: prints "<description>: Check that native library <name> is
//     in proper directory" and goes on without a driver (ports then get a driver whose every
//     operation fails).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "SerialKit/NativeDriver.h"
#include "SerialKit/Platform.h"

namespace SerialKit {

// The native library name for the platform, "" when the platform is not supported.
std::string chooseNativeLibrary(const PlatformFacts& facts);

class NativeDriverRegistry {
 public:
  using Factory = std::function<std::shared_ptr<NativeDriver>()>;

  // The process-wide registry, holding the built-in drivers.
  static NativeDriverRegistry& instance();

  // Registers (or replaces) the driver made by factory under name.
  void add(const std::string& name, Factory factory);
  // Removes the name; true if it was registered.
  bool remove(const std::string& name);
  bool contains(const std::string& name) const;
  // Makes the driver registered under name; null with a description of why when none is.
  std::shared_ptr<NativeDriver> load(const std::string& name, std::string& errorDescription) const;

 private:
  NativeDriverRegistry();
  mutable std::mutex mutex_;
  std::map<std::string, Factory> factories_;
};

// The process's driver: chosen and loaded on the first call (see above); null when loading
// failed.
std::shared_ptr<NativeDriver> processDriver();

// Test-only controls of the process driver choice.
namespace testing {
// Sets the process driver (null = "no driver loaded") and marks the choice as made.
void setProcessDriver(std::shared_ptr<NativeDriver> driver);
// Forgets the choice, so that the next processDriver() chooses again.
void resetProcessDriver();
}  // namespace testing

// Registers the drivers built for this platform (one implementation file per platform).
void registerPlatformDrivers(NativeDriverRegistry& registry);

}  // namespace SerialKit
