#include "SerialKit/Platform.h"

#include <sys/utsname.h>

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
  struct utsname u {};
  if (uname(&u) == 0) {
    facts.osName = u.sysname;
    facts.architecture = architectureName(u.machine);
  } else {
    facts.osName = "unknown";
    facts.architecture = "unknown";
  }
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
