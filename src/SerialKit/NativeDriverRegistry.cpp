#include "SerialKit/NativeDriverRegistry.h"

#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

#include "Diagnostics.h"

namespace SerialKit {

// Rules in order; a later match overrides an earlier one. Comparisons are exact.
// "Windows 98" shares the Windows rows (the feature table and the handshake check already treat
// it as a Windows platform). "Linux" on "amd64", "aarch64" or "arm" chooses the termios driver.
std::string chooseNativeLibrary(const PlatformFacts& f) {
  const std::string& os = f.osName;
  const std::string& arch = f.architecture;
  const bool oldRuntime = f.runtimeVersion == "1.0.2" || f.runtimeVersion == "102";
  const bool microsoft = f.runtimeVendor == "Microsoft Corp.";
  std::string name;
  if (os == "Windows 95" || os == "Windows NT" || os == "Windows 98") {
    name = "nsdWin";
    if (oldRuntime) name = "nsdWinNm";
    if (microsoft) name = "nsdWinRni";
    if (microsoft && f.runtimeVersion == "1.0.2") name = "nsdWinRnia";
  }
  if (os == "Windows CE") name = "nsdWce";
  if (os == "OS/2") name = "nsdos2j";
  if (os == "Mac OS") name = "nsdMac";
  if (os == "Linux" && arch == "x86") name = "nsdLux86";
  if (os == "Linux" && (arch == "amd64" || arch == "aarch64" || arch == "arm")) name = "nsdLinux";
  if (os == "FreeBSD" && (arch == "i386" || arch == "x86")) name = "nsdBsdx86";
  if ((os == "Solaris" || os == "SunOS") && arch == "x86") name = "nsdSolx86";
  if ((os == "Solaris" || os == "SunOS") && arch == "sparc") name = "nsdSolSparc";
  if (os == "HP-UX" && arch == "PA-RISC") name = "nsdHpxPaRisc";
  if (os == "Irix" && arch == "mips") name = "nsdIrxMips";
  if (os == "AIX" && arch == "POWER_PC") name = "nsdAixPpc";
  return name;
}

NativeDriverRegistry::NativeDriverRegistry() {
  registerPlatformDrivers(*this);
}

NativeDriverRegistry& NativeDriverRegistry::instance() {
  static NativeDriverRegistry registry;
  return registry;
}

void NativeDriverRegistry::add(const std::string& name, Factory factory) {
  std::lock_guard<std::mutex> lock(mutex_);
  factories_[name] = std::move(factory);
}

bool NativeDriverRegistry::remove(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return factories_.erase(name) > 0;
}

bool NativeDriverRegistry::contains(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return factories_.count(name) > 0;
}

std::shared_ptr<NativeDriver> NativeDriverRegistry::load(const std::string& name,
                                                         std::string& errorDescription) const {
  Factory factory;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = factories_.find(name);
    if (it != factories_.end()) factory = it->second;
  }
  if (!factory) {
    errorDescription = "no built-in native driver answers to " + name;
    return nullptr;
  }
  std::shared_ptr<NativeDriver> driver = factory();
  if (!driver) errorDescription = "native driver " + name + " could not be started";
  return driver;
}

namespace {

struct ProcessChoice {
  std::mutex mutex;
  bool chosen = false;
  std::shared_ptr<NativeDriver> driver;
};

ProcessChoice& processChoice() {
  static ProcessChoice choice;
  return choice;
}

}  // namespace

std::shared_ptr<NativeDriver> processDriver() {
  ProcessChoice& c = processChoice();
  std::unique_lock<std::mutex> lock(c.mutex);
  if (c.chosen) return c.driver;
  const std::string name = chooseNativeLibrary(currentPlatform());
  if (name.empty()) {
    lock.unlock();  // exit runs static destructors: leave no mutex locked
    detail::printLine("Platform not supported");
    std::exit(1);
  }
  std::string error;
  c.driver = NativeDriverRegistry::instance().load(name, error);
  if (!c.driver) {
    detail::printLine(error + ": Check that native library " + name + " is in proper directory");
  }
  c.chosen = true;
  return c.driver;
}

namespace testing {

void setProcessDriver(std::shared_ptr<NativeDriver> driver) {
  ProcessChoice& c = processChoice();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.driver = std::move(driver);
  c.chosen = true;
}

void resetProcessDriver() {
  ProcessChoice& c = processChoice();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.driver.reset();
  c.chosen = false;
}

}  // namespace testing

namespace {

// Every operation answers with its failure value.
class UnavailableDriver final : public NativeDriver {
 public:
  int32_t SerGetLibVer() override { return SerResult::kFailure; }
  int32_t SerOpenPort(SerialConfig&) override { return SerResult::kOpenFailed; }
  int32_t SerConfigure(const SerialConfig&) override { return SerResult::kOpenFailed; }
  int32_t SerClosePort(int32_t) override { return SerResult::kFailure; }
  int32_t SerPutByte(int32_t, uint8_t) override { return SerResult::kFailure; }
  int32_t SerPutData(int32_t, std::span<const uint8_t>) override { return SerResult::kFailure; }
  int32_t SerGetByte(int32_t) override { return SerResult::kFailure; }
  int32_t SerGetData(int32_t, std::span<uint8_t>) override { return SerResult::kFailure; }
  int32_t SerRxFlush(int32_t) override { return SerResult::kFailure; }
  int32_t SerTxFlush(int32_t) override { return SerResult::kFailure; }
  int32_t SerTxDrain(int32_t) override { return SerResult::kFailure; }
  int32_t SerRxReadyCount(int32_t) override { return SerResult::kFailure; }
  int32_t SerTxBufCount(int32_t) override { return SerResult::kFailure; }
  int32_t SerRxOverflow(int32_t) override { return SerResult::kFailure; }
  int32_t SerSigCTS(int32_t) override { return SerResult::kFailure; }
  int32_t SerSigDSR(int32_t) override { return SerResult::kFailure; }
  int32_t SerSigCD(int32_t) override { return SerResult::kFailure; }
  int32_t SerSigFrameErr(int32_t) override { return SerResult::kFailure; }
  int32_t SerSigOverrun(int32_t) override { return SerResult::kFailure; }
  int32_t SerSigBreak(int32_t) override { return SerResult::kFailure; }
  int32_t SerSigParityErr(int32_t) override { return SerResult::kFailure; }
  int32_t SerSigRing(int32_t) override { return SerResult::kFailure; }
  int32_t SerSetDTR(int32_t, bool) override { return SerResult::kFailure; }
  int32_t SerSetRTS(int32_t, bool) override { return SerResult::kFailure; }
  int32_t SerSendBreak(int32_t, int32_t) override { return SerResult::kFailure; }
  int32_t SerSetTimeoutRx(int32_t, int32_t) override { return SerResult::kFailure; }
  int32_t SerSetTimeoutTx(int32_t, int32_t) override { return SerResult::kFailure; }
  int32_t SerGetTimeoutRx(int32_t) override { return SerResult::kFailure; }
  int32_t SerGetTimeoutTx(int32_t) override { return SerResult::kFailure; }
  int32_t SerFlowTask(int32_t) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return SerResult::kFailure;
  }
};

}  // namespace

std::shared_ptr<NativeDriver> makeUnavailableDriver() {
  static const std::shared_ptr<NativeDriver> driver = std::make_shared<UnavailableDriver>();
  return driver;
}

}  // namespace SerialKit
