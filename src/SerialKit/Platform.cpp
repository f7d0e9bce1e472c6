#include "SerialKit/Platform.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/utsname.h>
#endif

#include <mutex>
#include <utility>

#include "SerialKit/Version.h"

namespace SerialKit {

namespace {

std::mutex& overrideMutex() {
  static std::mutex m;
  return m;
}

std::optional<PlatformFacts>& overrideFacts() {
  static std::optional<PlatformFacts> facts;
  return facts;
}

PlatformFacts readSystem() {
  PlatformFacts facts;
  facts.runtimeVersion = LibraryVersion();
  facts.runtimeVendor = "SerialKit";
#ifdef _WIN32
  // Every Windows this library builds for is of the NT family.
  facts.osName = "Windows NT";
  SYSTEM_INFO info{};
  ::GetNativeSystemInfo(&info);
  switch (info.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
      facts.architecture = "amd64";
      break;
    case PROCESSOR_ARCHITECTURE_INTEL:
      facts.architecture = "x86";
      break;
    case PROCESSOR_ARCHITECTURE_ARM64:
      facts.architecture = "aarch64";
      break;
    case PROCESSOR_ARCHITECTURE_ARM:
      facts.architecture = "arm";
      break;
    default:
      facts.architecture = "unknown";
      break;
  }
#else
  struct utsname u {};
  if (uname(&u) == 0) {
    facts.osName = u.sysname;
    facts.architecture = architectureName(u.machine);
  } else {
    facts.osName = "unknown";
    facts.architecture = "unknown";
  }
#endif
  return facts;
}

}  // namespace

std::string architectureName(const std::string& unameMachine) {
  if (unameMachine == "x86_64" || unameMachine == "amd64") return "amd64";
  if (unameMachine == "i386" || unameMachine == "i486" || unameMachine == "i586" ||
      unameMachine == "i686") {
    return "x86";
  }
  if (unameMachine == "arm64") return "aarch64";
  // 32-bit ARM names its core: armv6l (Pi 1, Zero), armv7l (a 32-bit system on a Pi 2 to 4),
  // armv8l (a 32-bit process on a 64-bit kernel that asks for it).
  if (unameMachine.starts_with("arm")) return "arm";
  return unameMachine;
}

PlatformFacts systemPlatform() {
  static const PlatformFacts facts = readSystem();
  return facts;
}

PlatformFacts currentPlatform() {
  {
    std::lock_guard<std::mutex> lock(overrideMutex());
    if (overrideFacts()) return *overrideFacts();
  }
  return systemPlatform();
}

ScopedPlatform::ScopedPlatform(PlatformFacts facts) {
  std::lock_guard<std::mutex> lock(overrideMutex());
  previous_ = overrideFacts();
  overrideFacts() = std::move(facts);
}

ScopedPlatform::ScopedPlatform(const std::string& osName) {
  PlatformFacts facts = currentPlatform();
  facts.osName = osName;
  std::lock_guard<std::mutex> lock(overrideMutex());
  previous_ = overrideFacts();
  overrideFacts() = std::move(facts);
}

ScopedPlatform::~ScopedPlatform() {
  std::lock_guard<std::mutex> lock(overrideMutex());
  overrideFacts() = std::move(previous_);
}

}  // namespace SerialKit
