// PortFeatures: which optional port operations a platform supports, by operating-system name.
//
//   Group A "Windows 95", "Windows NT", "Windows 98", "OS/2": everything.
//   Group B "Mac OS": no ring, DSR, CD, RTS or transmit count; the library waits out receive
//           timeouts itself; default port "Modem Port".
//   Group C "Linux", "FreeBSD", "Solaris", "HP/UX", "IRIX", "Irix", "AIX": no break, framing,
//           overrun, parity or overflow conditions and no transmit timeout; the library waits
//           out receive timeouts itself; default port "/dev/ttyS0" on Linux, "/dev/ttya" on
//           Solaris, "/dev/tty0" elsewhere. "Irix" (the spelling the driver choice uses) also
//           lacks RTS, DTR and CTS.
//   Any other name: nothing optional, no default port name.
#pragma once

#include <string>

namespace SerialKit {

struct PortFeatures {
  bool supSigBreak = false;
  bool supSigFrameErr = false;
  bool supSigOverrun = false;
  bool supSigParityErr = false;
  bool supRxOverflow = false;
  bool supSigRing = false;
  bool supSigCTS = false;
  bool supSigDSR = false;
  bool supSigCD = false;
  bool supSetRTS = false;
  bool supSetDTR = false;
  bool supRxReadyCount = false;
  bool supTxBufCount = false;
  bool supSetTimeoutTx = false;
  bool supGetTimeoutTx = false;
  // The port core waits out the receive timeout itself in getByte/getData.
  bool libGetDataTimeout = false;
  // Port name of a port object made without a settings record.
  std::string devName;

  static PortFeatures forOs(const std::string& osName);
};

}  // namespace SerialKit
