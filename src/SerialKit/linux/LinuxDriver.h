// LinuxDriver: the native driver on Linux, built on termios. It answers to "nsdLinux" and
// "nsdLux86" in the driver registry.
//
// Port names:
//   "COMn" (n = 1..256)  the device named by the environment variable VEXANET_COMn when that is
//                        set and not empty, else /dev/ttyS<n-1>; the port number is n.
//   "/..."               a device path; the port gets a number from the driver's own table
//                        (257 upward, one per device for the life of the driver).
//   a record without a name but with a port number n uses "COMn", with the record's base name
//   (default "/dev/ttyS") in place of /dev/ttyS.
// Anything else is not a valid port (1003).
//
// Opening: O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, then flock(LOCK_EX | LOCK_NB) (which
// also keeps out root), then TIOCEXCL; both are released on close, and the descriptor is closed
// on every failure path. Results: 1000 when this driver already has the device open, 1002 when
// another process holds it, 1003 when it does not exist or is not a terminal, others from
// errnoToResult.
//
// Settings: raw mode without echo; bit rates 110..115200, 5..8 data bits, no/odd/even parity,
// 1 or 2 stop bits; handshakes: XON/XOFF (IXON|IXOFF), CTS/RTS (CRTSCTS), or the flags: hardware
// in and out together (CRTSCTS), software in (IXOFF), software out (IXON). DSR/DTR and one-sided
// hardware flow cannot be done (1005). After tcsetattr the settings are read back with
// tcgetattr: a setting the device silently refused fails with 1006.
//
// Timeouts are kept here, per port, in milliseconds (initially 0; negative values are refused).
// SerGetByte/SerGetData wait with poll up to the receive timeout for the first byte; SerPutData
// waits up to the transmit timeout for room (0 = no waiting). sendBreak's duration is passed to
// tcsendbreak: milliseconds, rounded up to tenths of a second; 0 = the standard 0.25 to 0.5 s.
// A device that vanishes (hang-up, EIO) makes every later operation but SerClosePort fail at
// once.
//
// Causes: SerOpenPort notes the device path it resolved on the calling thread, and for a failed
// system call the cause (missing, access denied) with its errno; for a path that is no terminal
// (a directory, a FIFO, a regular file, /dev/null) or cannot be followed (a link loop) a reason
// in words; an operation that finds the device gone notes kDeviceGone (see
// SerialIOException.h). Result codes are not changed by this.
//
// The kernel runs flow control, so SerFlowTask is a pause of 50 ms.
//
// Threads: the port table has a lock; each open port is shared by the calls using it, and its
// descriptor is closed (and its locks released) when the last call using it ends.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "LinuxSysCalls.h"
#include "SerialKit/NativeDriver.h"
#include "SerialKit/PortNames.h"
#include "SerialKit/SerialIOException.h"

namespace SerialKit {

class LinuxDriver final : public NativeDriver {
 public:
  static constexpr int32_t kLibVersion = 100;
  static constexpr int32_t kMaxComNumber = SerialKit::kMaxComNumber;
  static constexpr int32_t kFirstPathNumber = 257;
  static constexpr int kFlowTaskPauseMs = 50;

  explicit LinuxDriver(std::shared_ptr<LinuxSysCalls> sys = realLinuxSysCalls());
  ~LinuxDriver() override;

  // The driver's result code for an errno value.
  static int32_t errnoToResult(int err) noexcept;
  // The cause a failed open notes for an errno value (see SerialIOException.h).
  static IOErrorCause openCause(int err) noexcept;
  // The reason a failed open notes for a path that leads to something else than a terminal, and
  // for a path that cannot be followed (see IOErrorDetail::reason).
  static std::string notATerminalReason(mode_t mode);
  static std::string systemReason(int err);
  // The device path a record names, with its port number (0 = from the driver's table);
  // nothing when the record names no valid port.
  struct Target {
    std::string path;
    int32_t number = 0;
  };
  std::optional<Target> resolve(const SerialConfig& config);
  // The record's settings laid over base (raw mode); nothing when a code cannot be done.
  static std::optional<struct termios> buildTermios(const struct termios& base,
                                                    const SerialConfig& config);
  // Whether the settings read back from the device match the ones asked for.
  static bool sameSettings(const struct termios& wanted, const struct termios& got);

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
  std::shared_ptr<OpenPort> findForConfig(const SerialConfig& config);
  std::shared_ptr<OpenPort> findByDevice(dev_t rdev) const;  // table lock held
  int32_t modemBit(int32_t port, int bit);
  int32_t setModemBit(int32_t port, int bit, bool on);
  int32_t readInto(int32_t port, uint8_t* buf, size_t count);

  std::shared_ptr<LinuxSysCalls> sys_;
  mutable std::mutex mutex_;
  std::map<int32_t, std::shared_ptr<OpenPort>> ports_;  // by port number counted from 0
  std::map<dev_t, int32_t> pathNumbers_;
  int32_t nextPathNumber_ = kFirstPathNumber;
};

}  // namespace SerialKit
