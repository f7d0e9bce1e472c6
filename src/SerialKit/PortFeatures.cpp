#include "SerialKit/PortFeatures.h"

#include <array>
#include <string_view>

namespace SerialKit {

namespace {

template <size_t N>
bool oneOf(const std::string& name, const std::array<std::string_view, N>& names) {
  for (std::string_view n : names) {
    if (name == n) return true;
  }
  return false;
}

constexpr std::array<std::string_view, 4> kGroupA = {"Windows 95", "Windows NT", "Windows 98",
                                                     "OS/2"};
constexpr std::array<std::string_view, 7> kGroupC = {"Linux", "FreeBSD", "Solaris", "HP/UX",
                                                     "IRIX",  "Irix",    "AIX"};

}  // namespace

PortFeatures PortFeatures::forOs(const std::string& osName) {
  PortFeatures f;
  if (oneOf(osName, kGroupA)) {
    f.supSigBreak = f.supSigFrameErr = f.supSigOverrun = f.supSigParityErr = true;
    f.supRxOverflow = f.supSigRing = f.supSigCTS = f.supSigDSR = f.supSigCD = true;
    f.supSetRTS = f.supSetDTR = f.supRxReadyCount = f.supTxBufCount = true;
    f.supSetTimeoutTx = f.supGetTimeoutTx = true;
    f.libGetDataTimeout = false;
    f.devName = "COM1";
  } else if (osName == "Mac OS") {
    f.supSigBreak = f.supSigFrameErr = f.supSigOverrun = f.supSigParityErr = true;
    f.supRxOverflow = true;
    f.supSigCTS = true;
    f.supSetDTR = f.supRxReadyCount = true;
    f.supSetTimeoutTx = f.supGetTimeoutTx = true;
    f.libGetDataTimeout = true;
    f.devName = "Modem Port";
  } else if (oneOf(osName, kGroupC)) {
    f.supSigRing = f.supSigCTS = f.supSigDSR = f.supSigCD = true;
    f.supSetRTS = f.supSetDTR = f.supRxReadyCount = f.supTxBufCount = true;
    f.libGetDataTimeout = true;
    if (osName == "Linux") {
      f.devName = "/dev/ttyS0";
    } else if (osName == "Solaris") {
      f.devName = "/dev/ttya";
    } else {
      f.devName = "/dev/tty0";
    }
    // The spelling the driver choice uses for this system: its drivers lack these lines.
    if (osName == "Irix") f.supSetRTS = f.supSetDTR = f.supSigCTS = false;
  }
  return f;
}

}  // namespace SerialKit
