// NativeDriver: the device layer beneath SerialPortLocal. Every line operation of the port core
// is one call of this interface. A port is addressed by the core's port number, counted from 0;
// the core passes -1 when its port is not open and the driver answers with its failure value.
//
// All results are 32-bit signed integers:
//   SerOpenPort            0 = opened (the record's port field then holds the port's number
//                          counted from 1); 1000 already open in this process, 1002 in use
//                          elsewhere, 1003 not a valid port; other codes below.
//   SerConfigure           0 = line set to the record's settings, else a code below.
//   SerClosePort           0 = closed.
//   SerPutByte             0 = sent.
//   SerPutData             number of bytes sent from the start of the data, -1 = failure.
//   SerGetByte             next byte 0..255, -1 when none came within the receive timeout.
//   SerGetData             bytes stored from the start of buf, 0 = none, -1 = failure.
//   SerRxFlush/SerTxFlush/SerTxDrain, SerSetDTR/SerSetRTS, SerSendBreak,
//   SerSetTimeoutRx/SerSetTimeoutTx, SerRxReadyCount/SerTxBufCount      -1 = failure.
//   SerRxOverflow, SerSigCTS/DSR/CD/FrameErr/Overrun/Break   1 = present, -1 = failure.
//   SerSigParityErr, SerSigRing                              1 = present, anything else absent.
//   SerGetTimeoutRx/SerGetTimeoutTx                          the timeout in milliseconds.
//   SerFlowTask            one bounded pass of flow-control work; its result is ignored.
//
// Threads: SerFlowTask runs on the flow-control thread while the owner calls the other
// operations for the same port; a driver must allow that.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace SerialKit {

class SerialConfig;

// Result codes shared by all drivers.
namespace SerResult {
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kFailure = -1;
inline constexpr int32_t kAlreadyOpen = 1000;     // this process already has the port open
inline constexpr int32_t kOpenFailed = 1001;      // any other open failure
inline constexpr int32_t kInUse = 1002;           // another process holds the port
inline constexpr int32_t kNotValid = 1003;        // no such device, or not a terminal
inline constexpr int32_t kAccessDenied = 1004;    // no permission to use the device
inline constexpr int32_t kBadSetting = 1005;      // a settings code the line cannot do
inline constexpr int32_t kSettingRefused = 1006;  // the device did not take a setting
inline constexpr int32_t kNotOpen = 1007;         // no open port matches the record
inline constexpr int32_t kTooManyPorts = 1009;    // the driver's port table is full
}  // namespace SerResult

class NativeDriver {
 public:
  virtual ~NativeDriver() = default;

  virtual int32_t SerGetLibVer() = 0;
  virtual int32_t SerOpenPort(SerialConfig& config) = 0;
  virtual int32_t SerConfigure(const SerialConfig& config) = 0;
  virtual int32_t SerClosePort(int32_t port) = 0;
  virtual int32_t SerPutByte(int32_t port, uint8_t b) = 0;
  virtual int32_t SerPutData(int32_t port, std::span<const uint8_t> data) = 0;
  virtual int32_t SerGetByte(int32_t port) = 0;
  virtual int32_t SerGetData(int32_t port, std::span<uint8_t> buf) = 0;
  virtual int32_t SerRxFlush(int32_t port) = 0;
  virtual int32_t SerTxFlush(int32_t port) = 0;
  virtual int32_t SerTxDrain(int32_t port) = 0;
  virtual int32_t SerRxReadyCount(int32_t port) = 0;
  virtual int32_t SerTxBufCount(int32_t port) = 0;
  virtual int32_t SerRxOverflow(int32_t port) = 0;
  virtual int32_t SerSigCTS(int32_t port) = 0;
  virtual int32_t SerSigDSR(int32_t port) = 0;
  virtual int32_t SerSigCD(int32_t port) = 0;
  virtual int32_t SerSigFrameErr(int32_t port) = 0;
  virtual int32_t SerSigOverrun(int32_t port) = 0;
  virtual int32_t SerSigBreak(int32_t port) = 0;
  virtual int32_t SerSigParityErr(int32_t port) = 0;
  virtual int32_t SerSigRing(int32_t port) = 0;
  virtual int32_t SerSetDTR(int32_t port, bool on) = 0;
  virtual int32_t SerSetRTS(int32_t port, bool on) = 0;
  virtual int32_t SerSendBreak(int32_t port, int32_t duration) = 0;
  virtual int32_t SerSetTimeoutRx(int32_t port, int32_t ms) = 0;
  virtual int32_t SerSetTimeoutTx(int32_t port, int32_t ms) = 0;
  virtual int32_t SerGetTimeoutRx(int32_t port) = 0;
  virtual int32_t SerGetTimeoutTx(int32_t port) = 0;
  virtual int32_t SerFlowTask(int32_t port) = 0;
};

// The stand-in used when no driver could be loaded: every operation returns its failure value
// (-1; SerOpenPort and SerConfigure 1001), and SerFlowTask pauses briefly so that a caller's
// loop does not spin.
std::shared_ptr<NativeDriver> makeUnavailableDriver();

}  // namespace SerialKit
