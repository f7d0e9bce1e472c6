// SerialConfig: the settings record of one serial line.
//
// Settings are held as small code numbers (BR_9600 is 7, not 9600). Every coded setter checks
// its value and throws std::invalid_argument with a fixed message, leaving the field unchanged.
// The port core hands the whole record to the native driver when it opens and configures a
// line; SerOpenPort writes the opened port's number (counted from 1) back into it.
//
// The port name and the device base name are byte arrays owned through shared pointers:
// getPortName()/getBaseName() return the stored arrays themselves, and copy() shares them, so
// writing into a returned array changes every record that shares it, while setPortName() on one
// record only replaces that record's array.
//
// osName is the operating-system name the platform reported when the record was made; the
// DSR/DTR handshake check uses it, not the current name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace SerialKit {

class SerialConfig {
 public:
  using Bytes = std::vector<uint8_t>;

  // Bit rate codes.
  static constexpr int32_t BR_110 = 0;
  static constexpr int32_t BR_150 = 1;
  static constexpr int32_t BR_300 = 2;
  static constexpr int32_t BR_600 = 3;
  static constexpr int32_t BR_1200 = 4;
  static constexpr int32_t BR_2400 = 5;
  static constexpr int32_t BR_4800 = 6;
  static constexpr int32_t BR_9600 = 7;
  static constexpr int32_t BR_19200 = 8;
  static constexpr int32_t BR_38400 = 9;
  static constexpr int32_t BR_57600 = 10;
  static constexpr int32_t BR_115200 = 11;

  // Parity codes. PY_MARK is declared but refused by setParity.
  static constexpr int32_t PY_NONE = 0;
  static constexpr int32_t PY_ODD = 1;
  static constexpr int32_t PY_EVEN = 2;
  static constexpr int32_t PY_MARK = 3;

  // Data bits codes.
  static constexpr int32_t LN_5BITS = 0;
  static constexpr int32_t LN_6BITS = 1;
  static constexpr int32_t LN_7BITS = 2;
  static constexpr int32_t LN_8BITS = 3;

  // Stop bits codes.
  static constexpr int32_t ST_1BITS = 0;
  static constexpr int32_t ST_2BITS = 1;

  // Handshake: either one of the codes 0..3 or a sum of the four flags (16..240).
  static constexpr int32_t HS_NONE = 0;
  static constexpr int32_t HS_XONXOFF = 1;
  static constexpr int32_t HS_CTSRTS = 2;
  static constexpr int32_t HS_CTSDTR = 2;
  static constexpr int32_t HS_DSRDTR = 3;
  static constexpr int32_t HS_HARD_IN = 0x10;
  static constexpr int32_t HS_HARD_OUT = 0x20;
  static constexpr int32_t HS_SOFT_IN = 0x40;
  static constexpr int32_t HS_SOFT_OUT = 0x80;

  // Port 0, name "COM1", base name "/dev/ttyS".
  SerialConfig();
  // Port number stored unchecked, name of one zero byte, base name "/dev/ttyS".
  explicit SerialConfig(int32_t port);
  // Port number and buffer sizes stored unchecked, base name "/dev/ttyS".
  SerialConfig(int32_t port, int32_t txLen, int32_t rxLen);
  // Port 0, the name's bytes, base name of one zero byte.
  explicit SerialConfig(const std::string& portName);

  // Same as the constructor taking a name, but with a chosen operating-system name instead of
  // the platform's (for tests and tools that need another platform's rules).
  struct OsNameTag {};
  SerialConfig(OsNameTag, const std::string& portName, const std::string& osName);
  static std::shared_ptr<SerialConfig> forOs(const std::string& portName,
                                             const std::string& osName);

  // Setters. Those with a check throw std::invalid_argument and leave the field unchanged.
  void setPortNum(int32_t port);  // "Invalid Port Number: <port>" when negative
  void setPortName(const std::string& name);
  void setBitRate(int32_t bitRate);      // 0..11, else "Invalid Serial Port Bit Rate"
  void setParity(int32_t parity);        // 0..2, else "Invalid Serial Port Parity"
  void setDataBits(int32_t dataBits);    // 0..3, else "Invalid Serial Port Data Bits"
  void setStopBits(int32_t stopBits);    // 0..1, else "Invalid Serial Port Stop Bits"
  void setHandshake(int32_t handshake);  // see SerialConfig.cpp
  void setBaseName(const std::string& name);
  void setHardFlow(bool on) noexcept { hardFlow_ = on; }
  void setTxLen(int32_t len) noexcept { txLen_ = len; }
  void setRxLen(int32_t len) noexcept { rxLen_ = len; }

  int32_t getPort() const noexcept { return port_; }
  int32_t getTxLen() const noexcept { return txLen_; }
  int32_t getRxLen() const noexcept { return rxLen_; }
  int32_t getBitRate() const noexcept { return bitRate_; }
  int32_t getParity() const noexcept { return parity_; }
  int32_t getDataBits() const noexcept { return dataBits_; }
  int32_t getStopBits() const noexcept { return stopBits_; }
  int32_t getHandshake() const noexcept { return handshake_; }
  // The stored arrays themselves (never null).
  std::shared_ptr<Bytes> getPortName() const noexcept { return portName_; }
  std::shared_ptr<Bytes> getBaseName() const noexcept { return baseName_; }
  bool getHardFlow() const noexcept { return hardFlow_; }
  const std::string& getOsName() const noexcept { return *osName_; }

  // A field-by-field copy sharing the two byte arrays and the osName text with this record.
  std::shared_ptr<SerialConfig> copy() const;

 private:
  void setDefaults(const std::string& osName);

  int32_t port_ = 0;
  std::shared_ptr<Bytes> portName_;
  std::shared_ptr<Bytes> baseName_;
  int32_t txLen_ = 2048;
  int32_t rxLen_ = 4096;
  int32_t bitRate_ = BR_9600;
  int32_t parity_ = PY_NONE;
  int32_t dataBits_ = LN_8BITS;
  int32_t stopBits_ = ST_1BITS;
  int32_t handshake_ = HS_NONE;
  bool hardFlow_ = true;
  std::shared_ptr<const std::string> osName_;
};

}  // namespace SerialKit
