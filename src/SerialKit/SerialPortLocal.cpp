#include "SerialKit/SerialPortLocal.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "SerialKit/FlowControlTask.h"
#include "SerialKit/NativeDriver.h"
#include "SerialKit/NativeDriverRegistry.h"
#include "SerialKit/Platform.h"

namespace SerialKit {

namespace {

std::shared_ptr<NativeDriver> driverOrUnavailable() {
  std::shared_ptr<NativeDriver> d = processDriver();
  return d ? d : makeUnavailableDriver();
}

std::string sentOnly(const char* prefix, int64_t sent, int64_t wanted) {
  return std::string(prefix) + std::to_string(sent) + " of " + std::to_string(wanted) + " bytes";
}

std::string openFailure(int32_t code) {
  switch (code) {
    case SerResult::kAlreadyOpen:
      return "SerOpenPort failed: Port is already open";
    case SerResult::kInUse:
      return "SerOpenPort failed: Port is in use";
    case SerResult::kNotValid:
      return "SerOpenPort failed: Port not valid";
    default:
      return "SerOpenPort failed: " + std::to_string(code);
  }
}

}  // namespace

// The driver is chosen (once per process) before anything else of the first port is made.
SerialPortLocal::SerialPortLocal()
    : osName_(currentPlatform().osName), driver_(driverOrUnavailable()) {
  featureSetup();
  config_ = std::make_shared<SerialConfig>(devName_);
}

SerialPortLocal::SerialPortLocal(std::shared_ptr<SerialConfig> config)
    : osName_(currentPlatform().osName), driver_(driverOrUnavailable()) {
  featureSetup();
  if (!config) throw std::invalid_argument("SerialPortLocal: no settings record");
  config_ = std::move(config);
  try {
    open();
  } catch (...) {
    // No object results, so no destructor will run: a port the open left open (a setting the
    // line refused, say) is closed here, or its descriptor would stay open for good.
    stopFlowControl();
    if (port_ >= 0) driver_->SerClosePort(port_);
    throw;
  }
}

SerialPortLocal::~SerialPortLocal() {
  stopFlowControl();
  try {
    close();
  } catch (...) {
    // Clean-up of a discarded port: a failing close is ignored.
  }
}

void SerialPortLocal::featureSetup() {
  features_ = PortFeatures::forOs(osName_);
  devName_ = features_.devName;
}

void SerialPortLocal::stopFlowControl() noexcept {
  if (flowControl_) flowControl_->stop();
}

// ---------------------------------------------------------------------------------------------
// Life cycle and settings

// Opens the port named by the record. Failures: "SerOpenPort failed: Port is already open"
// (1000), "... Port is in use" (1002), "... Port not valid" (1003), "SerOpenPort failed: <n>";
// then configure's and the timeout setters' failures (the port stays open).
void SerialPortLocal::open() {
  if (osName_ == "Windows 95") config_->setHardFlow(false);
  clearIOErrorNote();
  const int32_t rc = driver_->SerOpenPort(*config_);
  IOErrorDetail detail = takeIOErrorNote();
  devicePath_ = detail.device;
  // 1004 says it all, whether the driver noted the cause or not.
  if (rc == SerResult::kAccessDenied) detail.cause = IOErrorCause::kAccessDenied;
  if (rc != 0) throw SerialIOException(openFailure(rc), std::move(detail));
  isOpen_ = true;
  port_ = config_->getPort() - 1;
  configure(*config_);
  if (osName_ == "Mac OS") {
    setTimeoutRx(2000);
    setTimeoutTx(2000);
  } else {
    setTimeoutRx(0);
    if (features_.supSetTimeoutTx) setTimeoutTx(0);
  }
}

void SerialPortLocal::configure() {
  configure(*config_);
}

// Applies the record's settings to the line; "Configure failed: <n>". config is not replaced.
void SerialPortLocal::configure(const SerialConfig& config) {
  if (flowControl_) {
    flowControl_->stop();
    flowControl_.reset();
  }
  const int32_t rc = driver_->SerConfigure(config);
  if (rc != 0) throw SerialIOException("Configure failed: " + std::to_string(rc));
  const int32_t hs = config.getHandshake();
  if (config.getHardFlow() && osName_ == "Windows 95" &&
      (hs == SerialConfig::HS_CTSRTS || hs == SerialConfig::HS_DSRDTR)) {
    flowControl_ = std::make_unique<FlowControlTask>(*this);
    flowControl_->start();
  }
}

void SerialPortLocal::setConfig(std::shared_ptr<SerialConfig> config) {
  if (!config) throw std::invalid_argument("setConfig: no settings record");
  config_ = std::move(config);
}

std::shared_ptr<SerialConfig> SerialPortLocal::getConfig() {
  return config_;
}

// Stops the flow-control task (the field keeps the stopped task) and closes the port; a port
// that is not open is no error. "ClosePort failed" leaves the port as it was.
void SerialPortLocal::close() {
  stopFlowControl();
  if (port_ < 0) return;
  if (driver_->SerClosePort(port_) != 0) throw SerialIOException("ClosePort failed");
  isOpen_ = false;
  port_ = -1;
}

// Closes and reopens with config: "reset: SerOpenPort failed: <n>". Neither hard flow nor the
// timeouts are touched.
void SerialPortLocal::reset() {
  close();
  const int32_t rc = driver_->SerOpenPort(*config_);
  if (rc != 0) throw SerialIOException("reset: SerOpenPort failed: " + std::to_string(rc));
  isOpen_ = true;
  port_ = config_->getPort() - 1;
  configure(*config_);
}

// ---------------------------------------------------------------------------------------------
// Writing

void SerialPortLocal::putByte(uint8_t b) {
  clearIOErrorNote();
  if (driver_->SerPutByte(port_, b) != 0) failure("PutByte failed");
}

void SerialPortLocal::putString(const std::string& text) {
  if (text.empty()) return;
  const auto bytes =
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  clearIOErrorNote();
  const int32_t sent = driver_->SerPutData(port_, bytes);
  if (static_cast<int64_t>(sent) != static_cast<int64_t>(text.size())) {
    failure(sentOnly("PutString: sent only ", sent, static_cast<int64_t>(text.size())));
  }
}

void SerialPortLocal::putData(std::span<const uint8_t> data) {
  if (data.empty()) return;
  clearIOErrorNote();
  const int32_t sent = driver_->SerPutData(port_, data);
  if (static_cast<int64_t>(sent) != static_cast<int64_t>(data.size())) {
    failure(sentOnly("PutData1: Sent only ", sent, static_cast<int64_t>(data.size())));
  }
}

// A negative count is refused like one past the end ("putData: negative count").
void SerialPortLocal::putData(std::span<const uint8_t> data, int32_t count) {
  if (count < 0) throw SerialIOException("putData: negative count");
  if (static_cast<uint64_t>(count) > data.size()) {
    throw SerialIOException("putData: count out of bounds");
  }
  clearIOErrorNote();
  const int32_t sent = driver_->SerPutData(port_, data.first(static_cast<size_t>(count)));
  if (sent != count) failure(sentOnly("PutData2: Sent only ", sent, count));
}

// A negative offset or count is refused ("putData3: negative offset or count").
void SerialPortLocal::putData(std::span<const uint8_t> data, int32_t offset, int32_t count) {
  if (offset < 0 || count < 0) throw SerialIOException("putData3: negative offset or count");
  if (static_cast<uint64_t>(offset) + static_cast<uint64_t>(count) > data.size()) {
    throw SerialIOException("putData3: count out of bounds");
  }
  const auto part = data.subspan(static_cast<size_t>(offset), static_cast<size_t>(count));
  const std::vector<uint8_t> copy(part.begin(), part.end());
  clearIOErrorNote();
  const int32_t sent = driver_->SerPutData(port_, copy);
  if (sent != count) failure(sentOnly("Sent only ", sent, count));
}

// ---------------------------------------------------------------------------------------------
// Reading

// Where the library waits out the receive timeout itself: waits until at least `wanted` bytes
// are waiting or the driver's receive timeout has passed. Returns false at the deadline. Without
// a positive timeout it does not wait and returns true.
bool SerialPortLocal::waitForReceived(int64_t wanted) {
  if (!features_.libGetDataTimeout) return true;
  const int32_t timeout = driver_->SerGetTimeoutRx(port_);
  if (timeout <= 0) return true;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
  for (;;) {
    if (driver_->SerRxReadyCount(port_) >= wanted) return true;
    const Clock::time_point now = Clock::now();
    std::this_thread::yield();
    if (now >= deadline) return false;
  }
}

// "getByte: Port not open"; -1 when no byte came within the receive timeout.
int32_t SerialPortLocal::getByte() {
  if (port_ < 0) throw SerialIOException("getByte: Port not open");
  if (!waitForReceived(1)) return -1;
  return driver_->SerGetByte(port_);
}

// No open check: a closed port passes -1 and the driver refuses ("getData: failed").
int32_t SerialPortLocal::getData(std::span<uint8_t> buf) {
  waitForReceived(static_cast<int64_t>(buf.size()));
  clearIOErrorNote();
  const int32_t n = driver_->SerGetData(port_, buf);
  if (n == -1) failure("getData: failed");
  return n;
}

// A buf without storage reads nothing and returns 0. A negative offset or length, or a range
// past the end of buf, is refused before anything is read, so no received byte is dropped.
int32_t SerialPortLocal::getData(std::span<uint8_t> buf, int32_t offset, int32_t length) {
  if (buf.data() == nullptr) return 0;
  if (offset < 0 || length < 0) throw SerialIOException("getData: negative offset or length");
  if (static_cast<uint64_t>(offset) + static_cast<uint64_t>(length) > buf.size()) {
    throw SerialIOException("getData: offset and length out of bounds");
  }
  std::vector<uint8_t> tmp(static_cast<size_t>(length));
  const int32_t n = getData(std::span<uint8_t>(tmp));
  if (n < 0 || n > length) throw SerialIOException("getData: failed");
  std::copy_n(tmp.begin(), n, buf.begin() + offset);
  return n;
}

int32_t SerialPortLocal::rxFlush() {
  const int32_t r = driver_->SerRxFlush(port_);
  if (r == -1) throw SerialIOException("rxFlush failed");
  return r;
}

int32_t SerialPortLocal::txFlush() {
  const int32_t r = driver_->SerTxFlush(port_);
  if (r == -1) throw SerialIOException("txFlush failed");
  return r;
}

int32_t SerialPortLocal::txDrain() {
  const int32_t r = driver_->SerTxDrain(port_);
  if (r == -1) throw SerialIOException("txDrain failed");
  return r;
}

// ---------------------------------------------------------------------------------------------
// Status queries and line signals. Guards in order: support ("<op> not supported on <osName>"),
// open ("<op>: Port not open"), driver failure ("<op> failed").

// Raises the error with what the driver noted about its cause.
void SerialPortLocal::failure(const std::string& message) const {
  throw SerialIOException(message, takeIOErrorNote());
}

void SerialPortLocal::supportGuard(bool supported, const char* operation) const {
  if (!supported) throw SerialIOException(std::string(operation) + " not supported on " + osName_);
}

void SerialPortLocal::openGuard(const char* operation) const {
  if (port_ < 0) throw SerialIOException(std::string(operation) + ": Port not open");
}

namespace {

int32_t checked(int32_t result, const char* operation) {
  if (result == -1) throw SerialIOException(std::string(operation) + " failed");
  return result;
}

}  // namespace

int32_t SerialPortLocal::rxReadyCount() {
  supportGuard(features_.supRxReadyCount, "rxReadyCount");
  openGuard("rxReadyCount");
  clearIOErrorNote();
  const int32_t n = driver_->SerRxReadyCount(port_);
  if (n == -1) failure("rxReadyCount failed");
  return n;
}

int32_t SerialPortLocal::txBufCount() {
  supportGuard(features_.supTxBufCount, "txBufCount");
  openGuard("txBufCount");
  return checked(driver_->SerTxBufCount(port_), "txBufCount");
}

bool SerialPortLocal::rxOverflow() {
  supportGuard(features_.supRxOverflow, "rxOverflow");
  openGuard("rxOverflow");
  return checked(driver_->SerRxOverflow(port_), "rxOverflow") == 1;
}

bool SerialPortLocal::sigDSR() {
  openGuard("sigDSR");
  return checked(driver_->SerSigDSR(port_), "sigDSR") == 1;
}

bool SerialPortLocal::sigCTS() {
  openGuard("sigCTS");
  return checked(driver_->SerSigCTS(port_), "sigCTS") == 1;
}

bool SerialPortLocal::sigCD() {
  supportGuard(features_.supSigCD, "sigCD");
  openGuard("sigCD");
  return checked(driver_->SerSigCD(port_), "sigCD") == 1;
}

bool SerialPortLocal::sigFrameErr() {
  supportGuard(features_.supSigFrameErr, "sigFrameErr");
  openGuard("sigFrameErr");
  return checked(driver_->SerSigFrameErr(port_), "sigFrameErr") == 1;
}

bool SerialPortLocal::sigOverrun() {
  supportGuard(features_.supSigOverrun, "sigOverrun");
  openGuard("sigOverrun");
  return checked(driver_->SerSigOverrun(port_), "sigOverrun") == 1;
}

// A driver failure counts as "absent".
bool SerialPortLocal::sigParityErr() {
  supportGuard(features_.supSigParityErr, "sigParityErr");
  openGuard("sigParityErr");
  return driver_->SerSigParityErr(port_) == 1;
}

// A driver failure counts as "absent".
bool SerialPortLocal::sigRing() {
  supportGuard(features_.supSigRing, "sigRing");
  openGuard("sigRing");
  return driver_->SerSigRing(port_) == 1;
}

bool SerialPortLocal::sigBreak() {
  supportGuard(features_.supSigBreak, "sigBreak");
  openGuard("sigBreak");
  return checked(driver_->SerSigBreak(port_), "sigBreak") == 1;
}

void SerialPortLocal::setDTR(bool on) {
  supportGuard(features_.supSetDTR, "setDTR");
  checked(driver_->SerSetDTR(port_, on), "setDTR");
}

void SerialPortLocal::setRTS(bool on) {
  supportGuard(features_.supSetRTS, "setRts");
  checked(driver_->SerSetRTS(port_, on), "setRTS");
}

// The duration's unit is the driver's (the termios driver: milliseconds).
void SerialPortLocal::sendBreak(int32_t duration) {
  checked(driver_->SerSendBreak(port_, duration), "sendBreak");
}

int32_t SerialPortLocal::getTimeoutRx() {
  return driver_->SerGetTimeoutRx(port_);
}

int32_t SerialPortLocal::getTimeoutTx() {
  return driver_->SerGetTimeoutTx(port_);
}

void SerialPortLocal::setTimeoutRx(int32_t ms) {
  checked(driver_->SerSetTimeoutRx(port_, ms), "setTimeoutRx");
}

void SerialPortLocal::setTimeoutTx(int32_t ms) {
  checked(driver_->SerSetTimeoutTx(port_, ms), "setTimeoutTx");
}

// ---------------------------------------------------------------------------------------------
// Names, version, features, settings forwarders

std::string SerialPortLocal::getName(int32_t /*port*/) {
  return "Not implemented";
}

int32_t SerialPortLocal::getLibVer() {
  return driver_->SerGetLibVer();
}

bool SerialPortLocal::isSupported(const std::string& operation) const {
  const PortFeatures& f = features_;
  const std::pair<const char*, bool> table[] = {
      {"sigBreak", f.supSigBreak},     {"sigFrameErr", f.supSigFrameErr},
      {"sigOverrun", f.supSigOverrun}, {"sigParityErr", f.supSigParityErr},
      {"rxOverflow", f.supRxOverflow}, {"sigRing", f.supSigRing},
      {"sigCTS", f.supSigCTS},         {"sigDSR", f.supSigDSR},
      {"sigCD", f.supSigCD},           {"setRTS", f.supSetRTS},
      {"setDTR", f.supSetDTR},         {"rxReadyCount", f.supRxReadyCount},
      {"txBufCount", f.supTxBufCount}, {"setTimeoutTx", f.supSetTimeoutTx},
  };
  for (const auto& [name, supported] : table) {
    if (operation == name) return supported;
  }
  return true;
}

void SerialPortLocal::setPortName(const std::string& name) {
  config_->setPortName(name);
}

std::string SerialPortLocal::getPortName() const {
  const auto bytes = config_->getPortName();
  return std::string(bytes->begin(), bytes->end());
}

void SerialPortLocal::setBitRate(int32_t bitRate) {
  config_->setBitRate(bitRate);
}
int32_t SerialPortLocal::getBitRate() const {
  return config_->getBitRate();
}
void SerialPortLocal::setDataBits(int32_t dataBits) {
  config_->setDataBits(dataBits);
}
int32_t SerialPortLocal::getDataBits() const {
  return config_->getDataBits();
}
void SerialPortLocal::setStopBits(int32_t stopBits) {
  config_->setStopBits(stopBits);
}
int32_t SerialPortLocal::getStopBits() const {
  return config_->getStopBits();
}
void SerialPortLocal::setParity(int32_t parity) {
  config_->setParity(parity);
}
int32_t SerialPortLocal::getParity() const {
  return config_->getParity();
}
void SerialPortLocal::setHandshake(int32_t handshake) {
  config_->setHandshake(handshake);
}
int32_t SerialPortLocal::getHandshake() const {
  return config_->getHandshake();
}

}  // namespace SerialKit
