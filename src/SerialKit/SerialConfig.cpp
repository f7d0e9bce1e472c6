#include "SerialKit/SerialConfig.h"

#include <array>
#include <stdexcept>
#include <string_view>

#include "SerialKit/Platform.h"

namespace SerialKit {

namespace {

std::shared_ptr<SerialConfig::Bytes> bytesOf(const std::string& text) {
  return std::make_shared<SerialConfig::Bytes>(text.begin(), text.end());
}

std::shared_ptr<SerialConfig::Bytes> oneZeroByte() {
  return std::make_shared<SerialConfig::Bytes>(1, uint8_t{0});
}

// Platforms whose drivers can run a DSR/DTR handshake (exact names).
bool allowsDsrDtr(const std::string& osName) {
  static constexpr std::array<std::string_view, 5> kNames = {"Windows 95", "Windows NT",
                                                             "Windows CE", "Windows 98", "OS/2"};
  for (std::string_view n : kNames) {
    if (osName == n) return true;
  }
  return false;
}

}  // namespace

void SerialConfig::setDefaults(const std::string& osName) {
  port_ = 0;
  portName_ = oneZeroByte();
  baseName_ = oneZeroByte();
  txLen_ = 2048;
  rxLen_ = 4096;
  bitRate_ = BR_9600;
  parity_ = PY_NONE;
  dataBits_ = LN_8BITS;
  stopBits_ = ST_1BITS;
  handshake_ = HS_NONE;
  hardFlow_ = true;
  osName_ = std::make_shared<const std::string>(osName);
}

SerialConfig::SerialConfig() {
  setDefaults(currentPlatform().osName);
  portName_ = bytesOf("COM1");
  setBaseName("/dev/ttyS");
}

SerialConfig::SerialConfig(int32_t port) {
  setDefaults(currentPlatform().osName);
  port_ = port;
  setBaseName("/dev/ttyS");
}

SerialConfig::SerialConfig(int32_t port, int32_t txLen, int32_t rxLen) {
  setDefaults(currentPlatform().osName);
  port_ = port;
  txLen_ = txLen;
  rxLen_ = rxLen;
  setBaseName("/dev/ttyS");
}

SerialConfig::SerialConfig(const std::string& portName) {
  setDefaults(currentPlatform().osName);
  portName_ = bytesOf(portName);
}

SerialConfig::SerialConfig(OsNameTag, const std::string& portName, const std::string& osName) {
  setDefaults(osName);
  portName_ = bytesOf(portName);
}

std::shared_ptr<SerialConfig> SerialConfig::forOs(const std::string& portName,
                                                  const std::string& osName) {
  return std::make_shared<SerialConfig>(OsNameTag{}, portName, osName);
}

void SerialConfig::setPortNum(int32_t port) {
  if (port < 0) throw std::invalid_argument("Invalid Port Number: " + std::to_string(port));
  port_ = port;
}

void SerialConfig::setPortName(const std::string& name) {
  portName_ = bytesOf(name);
}

void SerialConfig::setBitRate(int32_t bitRate) {
  if (bitRate < BR_110 || bitRate > BR_115200) {
    throw std::invalid_argument("Invalid Serial Port Bit Rate");
  }
  bitRate_ = bitRate;
}

void SerialConfig::setParity(int32_t parity) {
  if (parity < PY_NONE || parity > PY_EVEN)
    throw std::invalid_argument("Invalid Serial Port Parity");
  parity_ = parity;
}

void SerialConfig::setDataBits(int32_t dataBits) {
  if (dataBits < LN_5BITS || dataBits > LN_8BITS) {
    throw std::invalid_argument("Invalid Serial Port Data Bits");
  }
  dataBits_ = dataBits;
}

void SerialConfig::setStopBits(int32_t stopBits) {
  if (stopBits < ST_1BITS || stopBits > ST_2BITS) {
    throw std::invalid_argument("Invalid Serial Port Stop Bits");
  }
  stopBits_ = stopBits;
}

// The codes 0..3 and any value 16..240 pass (the range test is plain: 17 passes too); DSR/DTR
// only where the platform named when the record was made can do it.
void SerialConfig::setHandshake(int32_t handshake) {
  if (handshake == HS_DSRDTR && !allowsDsrDtr(*osName_)) {
    throw std::invalid_argument("DSRDTR handshaking not available on this platform");
  }
  if (handshake < 0 || (handshake >= 4 && handshake <= 15) || handshake > 240) {
    throw std::invalid_argument("Invalid Serial Port Handshake");
  }
  handshake_ = handshake;
}

void SerialConfig::setBaseName(const std::string& name) {
  baseName_ = bytesOf(name);
}

std::shared_ptr<SerialConfig> SerialConfig::copy() const {
  return std::make_shared<SerialConfig>(*this);
}

}  // namespace SerialKit
