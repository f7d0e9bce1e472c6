// WindowsDriver: the native driver on Windows, built on the Win32 communications functions. It
// answers to "nsdWin" in the driver registry.
//
// Port names:
//   "COMn" (n = 1..256, "com" in any case)  the device named by the environment variable
//                        VEXANET_COMn when that is set and not empty (a plain "COMk" there means
//                        \\.\COMk), else \\.\COMn; the port number is n.
//   "\\.\COMn"           the same port as "COMn", without the variable.
//   "\\.\<device>"       another device path; the port gets a number from the driver's own table
//                        (257 upward, one per device for the life of the driver).
//   a record without a name but with a port number n means "COMn" (its base name is not used).
// Anything else is not a valid port (1003).
//
// Opening: CreateFileA(GENERIC_READ | GENERIC_WRITE, no sharing, OPEN_EXISTING, no overlapped
// I/O), GetCommState to make sure it is a serial port, SetupComm with the record's buffer sizes
// (a request the device may ignore), then the timeouts; the handle is closed on every failure
// path. This driver keeps a table of the ports it has open: a second open of the same port (by
// number or by device path) is refused with 1000 before Windows is asked. Every Windows error
// becomes a result code in errorToResult: a port another program holds (ERROR_ACCESS_DENIED,
// ERROR_SHARING_VIOLATION) 1002, a name that does not exist 1003, a setting the device refuses
// (ERROR_INVALID_PARAMETER) 1005, anything else 1001.
//
// Settings: bit rates 110..115200, 5..8 data bits, no/odd/even parity, 1 or 2 stop bits (1.5
// with 5 data bits, as the UART does); binary mode, no abort on line errors. Handshakes: XON/XOFF
// (fOutX, fInX), CTS/RTS (fOutxCtsFlow, RTS handshake), DSR/DTR (fOutxDsrFlow, DTR handshake), or
// the flags: hardware in (RTS handshake), hardware out (CTS), software in (fInX), software out
// (fOutX). After SetCommState the settings are read back: a setting the device silently refused
// fails with 1006. DTR and RTS keep the level last set with SerSetDTR/SerSetRTS (asserted at
// first) when they are not part of the handshake.
//
// Timeouts are kept here, per port, in milliseconds (initially 0; negative values are refused).
// Reading waits up to the receive timeout for the first byte (0 = do not wait), then takes what
// else is waiting, up to the count asked for. Writing: a transmit timeout t > 0 bounds the whole
// write to t; 0 means as long as the bytes need on the line (twice their time at the set bit
// rate, plus a second), so that a stalled handshake cannot hold a write forever. A write cut
// short returns the number of bytes sent.
//
// Line errors (overrun, buffer overflow, framing, parity, break) are collected from every
// ClearCommError the driver makes; each query reports and forgets its own condition.
// sendBreak's duration is in milliseconds (0 = 250 ms); the call returns when the break ends.
// A device that vanishes (an unplugged adapter) makes every later operation but SerClosePort
// fail at once. Windows runs flow control itself, so SerFlowTask is a pause of 50 ms.
//
// Threads: the port table has a lock; each open port is shared by the calls using it, and its
// handle is closed when the last call using it ends. The handle does synchronous I/O, so calls
// on the same port from two threads take turns in Windows; every wait is bounded by a timeout.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "SerialKit/NativeDriver.h"
#include "SerialKit/PortNames.h"
#include "WindowsSysCalls.h"

namespace SerialKit {

class WindowsDriver final : public NativeDriver {
 public:
  static constexpr int32_t kLibVersion = 100;
  static constexpr int32_t kMaxComNumber = SerialKit::kMaxComNumber;
  static constexpr int32_t kFirstPathNumber = 257;
  static constexpr DWORD kFlowTaskPauseMs = 50;
  static constexpr DWORD kDefaultBreakMs = 250;

  explicit WindowsDriver(std::shared_ptr<WindowsSysCalls> sys = realWindowsSysCalls());
  ~WindowsDriver() override;

  // The driver's result code for a Windows error code: the one place where they are mapped.
  static int32_t errorToResult(DWORD error) noexcept;
  // The device path a record names, with its port number (0 = from the driver's table);
  // nothing when the record names no valid port.
  struct Target {
    std::string path;
    int32_t number = 0;
  };
  std::optional<Target> resolve(const SerialConfig& config);
  // The record's settings laid over base; nothing when a code cannot be done.
  static std::optional<DCB> buildDcb(const DCB& base, const SerialConfig& config, bool dtrOn,
                                     bool rtsOn);
  // Whether the settings read back from the device match the ones asked for.
  static bool sameSettings(const DCB& wanted, const DCB& got);
  // The COMMTIMEOUTS for the driver's receive and transmit timeouts at a bit rate.
  static COMMTIMEOUTS commTimeouts(int32_t rxMs, int32_t txMs, DWORD bitRate);

  int32_t SerGetLibVer() override { return kLibVersion; }
  int32_t SerOpenPort(SerialConfig& config) override;
  int32_t SerConfigure(const SerialConfig& config) override;
  int32_t SerClosePort(int32_t port) override;
  int32_t SerPutByte(int32_t port, uint8_t b) override;
  int32_t SerPutData(int32_t port, std::span<const uint8_t> data) override;
  int32_t SerGetByte(int32_t port) override;
  int32_t SerGetData(int32_t port, std::span<uint8_t> buf) override;
  int32_t SerRxFlush(int32_t port) override;
  int32_t SerTxFlush(int32_t port) override;
  int32_t SerTxDrain(int32_t port) override;
  int32_t SerRxReadyCount(int32_t port) override;
  int32_t SerTxBufCount(int32_t port) override;
  int32_t SerRxOverflow(int32_t port) override;
  int32_t SerSigCTS(int32_t port) override;
  int32_t SerSigDSR(int32_t port) override;
  int32_t SerSigCD(int32_t port) override;
  int32_t SerSigFrameErr(int32_t port) override;
  int32_t SerSigOverrun(int32_t port) override;
  int32_t SerSigBreak(int32_t port) override;
  int32_t SerSigParityErr(int32_t port) override;
  int32_t SerSigRing(int32_t port) override;
  int32_t SerSetDTR(int32_t port, bool on) override;
  int32_t SerSetRTS(int32_t port, bool on) override;
  int32_t SerSendBreak(int32_t port, int32_t duration) override;
  int32_t SerSetTimeoutRx(int32_t port, int32_t ms) override;
  int32_t SerSetTimeoutTx(int32_t port, int32_t ms) override;
  int32_t SerGetTimeoutRx(int32_t port) override;
  int32_t SerGetTimeoutTx(int32_t port) override;
  int32_t SerFlowTask(int32_t port) override;

 private:
  struct OpenPort;
  std::shared_ptr<OpenPort> find(int32_t port) const;
  std::shared_ptr<OpenPort> usable(int32_t port) const;  // open and not vanished
  std::shared_ptr<OpenPort> findForConfig(const SerialConfig& config);
  std::shared_ptr<OpenPort> findByKey(const std::string& key) const;  // table lock held
  // ClearCommError: the queue counts into stat, the line errors kept until a query reports them.
  bool collectErrors(OpenPort& p, COMSTAT& stat);
  int32_t queueCount(int32_t port, bool input);
  int32_t lineError(int32_t port, DWORD condition);
  int32_t modemLine(int32_t port, DWORD line);
  int32_t setOutputLine(int32_t port, bool dtr, bool on);
  int32_t setTimeouts(int32_t port, std::optional<int32_t> rxMs, std::optional<int32_t> txMs);
  int32_t purge(int32_t port, DWORD flags);
  int32_t readInto(int32_t port, uint8_t* buf, size_t count);

  std::shared_ptr<WindowsSysCalls> sys_;
  mutable std::mutex mutex_;
  std::map<int32_t, std::shared_ptr<OpenPort>> ports_;  // by port number counted from 0
  std::map<std::string, int32_t> pathNumbers_;          // device key -> number from the table
  int32_t nextPathNumber_ = kFirstPathNumber;
};

}  // namespace SerialKit
