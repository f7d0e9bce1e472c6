// SerialPortLocal: a serial port of this machine, driven through the process's native driver.
//
// The port owns its settings record (shared: getConfig() returns the record itself), opens the
// line when made with a record, applies settings, moves bytes both ways and closes the line.
// Which optional operations the platform supports is decided once, in the constructor, from the
// operating-system name (see PortFeatures.h); an unsupported operation throws
// "<operation> not supported on <osName>".
//
// Errors: settings forwarders throw std::invalid_argument (SerialConfig's checks); everything
// concerning the port or its driver throws SerialIOException with the message documented at the
// operation in SerialPortLocal.cpp. The errors of open, the put operations, getData and
// rxReadyCount carry what the driver noted about the cause (missing device, access denied, device
// gone; see SerialIOException.h).
//
// Threads: one thread at a time uses a port object. The only second thread is the flow-control
// task (FlowControlTask.h), started by configure() where the platform needs one; configure(),
// close() and the destructor stop it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "SerialKit/PortFeatures.h"
#include "SerialKit/SerialConfig.h"
#include "SerialKit/SerialPort.h"

namespace SerialKit {

class NativeDriver;
class FlowControlTask;

class SerialPortLocal : public SerialPort {
 public:
  // A closed port whose record is made from the platform's default port name.
  SerialPortLocal();
  // Takes the record itself (not a copy) and opens the port at once; an open failure throws
  // SerialIOException, so no object results.
  explicit SerialPortLocal(std::shared_ptr<SerialConfig> config);
  // Stops the flow-control task and closes the port; failures are ignored.
  ~SerialPortLocal() override;

  SerialPortLocal(const SerialPortLocal&) = delete;
  SerialPortLocal& operator=(const SerialPortLocal&) = delete;

  // Life cycle and settings.
  void open();
  void configure();
  void configure(const SerialConfig& config) override;
  void setConfig(std::shared_ptr<SerialConfig> config) override;
  std::shared_ptr<SerialConfig> getConfig() override;
  void close() override;
  void reset();

  // Writing. A closed port passes -1 to the driver, which refuses.
  void putByte(uint8_t b) override;
  void putString(const std::string& text) override;
  void putData(std::span<const uint8_t> data) override;
  void putData(std::span<const uint8_t> data, int32_t count) override;
  void putData(std::span<const uint8_t> data, int32_t offset, int32_t count) override;

  // Reading.
  int32_t getByte() override;
  int32_t getData(std::span<uint8_t> buf) override;
  int32_t getData(std::span<uint8_t> buf, int32_t offset, int32_t length) override;
  int32_t rxFlush() override;
  int32_t txFlush() override;
  int32_t txDrain() override;

  // Status queries, line signals and timeouts (guarded by the feature table).
  int32_t rxReadyCount() override;
  int32_t txBufCount() override;
  bool rxOverflow() override;
  bool sigDSR() override;
  bool sigCTS() override;
  bool sigCD() override;
  bool sigFrameErr() override;
  bool sigOverrun() override;
  bool sigParityErr() override;
  bool sigRing() override;
  bool sigBreak() override;
  void setDTR(bool on) override;
  void setRTS(bool on) override;
  void sendBreak(int32_t duration) override;
  int32_t getTimeoutRx() override;
  int32_t getTimeoutTx() override;
  void setTimeoutRx(int32_t ms) override;
  void setTimeoutTx(int32_t ms) override;

  int32_t getPortNum() override { return port_; }
  void setName(const std::string& name) override { name_ = name; }
  std::string getName() override { return name_; }
  // Always "Not implemented".
  std::string getName(int32_t port);
  int32_t getLibVer() override;
  bool isOpen() const noexcept { return isOpen_; }
  // The device path the driver resolved at the last open (e.g. the VEXANET_COM1 path on Linux);
  // empty when the driver does not say.
  const std::string& devicePath() const noexcept { return devicePath_; }

  // false only for the optional operations the platform lacks; see PortFeatures.h.
  bool isSupported(const std::string& operation) const;

  // Settings forwarders: checked by the record; the line changes at the next configure/reset.
  void setPortName(const std::string& name);
  std::string getPortName() const;
  void setBitRate(int32_t bitRate);
  int32_t getBitRate() const;
  void setDataBits(int32_t dataBits);
  int32_t getDataBits() const;
  void setStopBits(int32_t stopBits);
  int32_t getStopBits() const;
  void setParity(int32_t parity);
  int32_t getParity() const;
  void setHandshake(int32_t handshake);
  int32_t getHandshake() const;

  // The native driver this port was made with (never null; a driver that could not be loaded is
  // replaced by one whose every operation fails).
  const std::shared_ptr<NativeDriver>& nativeDriver() const noexcept { return driver_; }
  const std::string& osName() const noexcept { return osName_; }
  const PortFeatures& features() const noexcept { return features_; }
  // The flow-control task of the last configure, or null; it may already be stopped.
  const FlowControlTask* flowControlTask() const noexcept { return flowControl_.get(); }

 private:
  void featureSetup();
  void stopFlowControl() noexcept;
  bool waitForReceived(int64_t wanted);
  void supportGuard(bool supported, const char* operation) const;
  void openGuard(const char* operation) const;
  [[noreturn]] void failure(const std::string& message) const;

  int32_t port_ = -1;
  bool isOpen_ = false;
  std::string name_ = "Serial Port";
  std::string osName_;
  std::string devName_;
  std::string devicePath_;
  std::shared_ptr<SerialConfig> config_;
  std::unique_ptr<FlowControlTask> flowControl_;
  PortFeatures features_;
  std::shared_ptr<NativeDriver> driver_;
};

}  // namespace SerialKit
