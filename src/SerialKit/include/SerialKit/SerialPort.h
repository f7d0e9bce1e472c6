// SerialPort: the interface through which streams, the pattern watcher and applications hold a
// serial port. SerialPortLocal is the library's implementation for ports of this machine.
//
// Errors: invalid settings throw std::invalid_argument; everything concerning the port or its
// driver throws SerialIOException. Byte buffers are spans: the library never keeps them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "SerialKit/SerialIOException.h"

namespace SerialKit {

class SerialConfig;

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Settings record: setConfig replaces the record without touching the line; getConfig
  // returns the record itself; configure applies a record's settings to the open line.
  virtual void setConfig(std::shared_ptr<SerialConfig> config) = 0;
  virtual std::shared_ptr<SerialConfig> getConfig() = 0;
  virtual void configure(const SerialConfig& config) = 0;
  virtual void close() = 0;

  // Writing.
  virtual void putByte(uint8_t b) = 0;
  virtual void putString(const std::string& text) = 0;
  virtual void putData(std::span<const uint8_t> data) = 0;
  virtual void putData(std::span<const uint8_t> data, int32_t count) = 0;
  virtual void putData(std::span<const uint8_t> data, int32_t offset, int32_t count) = 0;

  // Reading. getByte: next byte 0..255, or -1 when none came within the receive timeout.
  // getData(buf): fills buf from its start, returns the count stored (0 = nothing there).
  // getData(buf, offset, length): reads up to length bytes and stores them from offset; a buf
  // with no storage (data() == nullptr) reads nothing and returns 0.
  virtual int32_t getByte() = 0;
  virtual int32_t getData(std::span<uint8_t> buf) = 0;
  virtual int32_t getData(std::span<uint8_t> buf, int32_t offset, int32_t length) = 0;

  virtual int32_t rxFlush() = 0;
  virtual int32_t txFlush() = 0;
  virtual int32_t txDrain() = 0;
  virtual int32_t rxReadyCount() = 0;
  virtual int32_t txBufCount() = 0;
  virtual bool rxOverflow() = 0;

  // Line signals and conditions.
  virtual bool sigDSR() = 0;
  virtual bool sigCTS() = 0;
  virtual bool sigCD() = 0;
  virtual bool sigFrameErr() = 0;
  virtual bool sigOverrun() = 0;
  virtual bool sigParityErr() = 0;
  virtual bool sigRing() = 0;
  virtual bool sigBreak() = 0;
  virtual void setDTR(bool on) = 0;
  virtual void setRTS(bool on) = 0;
  virtual void sendBreak(int32_t duration) = 0;

  // Timeouts in milliseconds.
  virtual int32_t getTimeoutRx() = 0;
  virtual int32_t getTimeoutTx() = 0;
  virtual void setTimeoutRx(int32_t ms) = 0;
  virtual void setTimeoutTx(int32_t ms) = 0;

  virtual int32_t getLibVer() = 0;
  // The driver's port number counted from 0; -1 when the port is not open.
  virtual int32_t getPortNum() = 0;
  virtual void setName(const std::string& name) = 0;
  virtual std::string getName() = 0;
};

}  // namespace SerialKit
