// Platform facts as texts: operating-system name, runtime version, runtime vendor and processor
// architecture. They are read from the system (uname) the first time they are asked for; on
// Linux the name is "Linux" and the architecture "amd64" on x86-64, "aarch64" on 64-bit ARM,
// "x86" on 32-bit x86, otherwise the machine name uname reports. The runtime is this library:
// its version text and the vendor "SerialKit".
//
// Tests replace the facts with a ScopedPlatform, which restores the previous facts when it ends.
#pragma once

#include <optional>
#include <string>

namespace SerialKit {

struct PlatformFacts {
  std::string osName;
  std::string runtimeVersion;
  std::string runtimeVendor;
  std::string architecture;
};

// The facts in force: the innermost ScopedPlatform's, else the system's.
PlatformFacts currentPlatform();
// The system's own facts, never replaced.
PlatformFacts systemPlatform();
// The architecture text for a uname machine name ("x86_64" -> "amd64").
std::string architectureName(const std::string& unameMachine);

class ScopedPlatform {
 public:
  explicit ScopedPlatform(PlatformFacts facts);
  // Replaces only the operating-system name; the other facts stay the current ones.
  explicit ScopedPlatform(const std::string& osName);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  std::optional<PlatformFacts> previous_;
};

}  // namespace SerialKit
