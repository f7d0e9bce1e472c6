// The termios driver on pseudo-terminal pairs: the driver opens the serial end (slave) by path
// and the test plays the device on the master end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <ostream>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "SerialKit/NativeDriverRegistry.h"
#include "SerialKit/SerialConfig.h"
#include "SerialKit/SerialPortLocal.h"
#include "linux/LinuxDriver.h"

namespace SerialKit {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

double threadCpuMs() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

class SerialKitLinuxPty : public ::testing::Test {
 protected:
  // The driver holds the only open of the serial end, as it would of a real device.
  SerialKitLinuxPty() { pty.ReleaseSerialEnd(); }
  // Opens the pty's serial end with cfg's settings; returns the driver's port number (from 0).
  int32_t openAndConfigure(SerialConfig& cfg) {
    cfg.setPortName(pty.path());
    const int32_t rc = driver->SerOpenPort(cfg);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(driver->SerConfigure(cfg), 0);
    return cfg.getPort() - 1;
  }
  // Waits (bounded) until the driver counts n bytes waiting.
  int32_t waitReady(int32_t port, int32_t n) {
    int32_t got = 0;
    for (int i = 0; i < 200 && (got = driver->SerRxReadyCount(port)) < n; ++i) {
      std::this_thread::sleep_for(5ms);
    }
    return got;
  }

  testing_support::PtyPair pty;
  std::shared_ptr<LinuxDriver> driver = std::make_shared<LinuxDriver>();
};

struct LineCase {
  int32_t bitRate, stopBits;
  speed_t speed;
  bool twoStopBits;
};

void PrintTo(const LineCase& c, std::ostream* os) {
  *os << c.bitRate << " bit/s, " << (c.twoStopBits ? 2 : 1) << " stop bits";
}

class SerialKitLinuxPtyLine : public SerialKitLinuxPty,
                              public ::testing::WithParamInterface<LineCase> {};

TEST_P(SerialKitLinuxPtyLine, SettingsShowOnTheLine) {
  SerialConfig cfg;
  cfg.setBitRate(GetParam().bitRate);
  cfg.setStopBits(GetParam().stopBits);
  openAndConfigure(cfg);
  struct termios t {};
  ASSERT_EQ(::tcgetattr(pty.master(), &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), GetParam().speed);
  EXPECT_EQ(::cfgetispeed(&t), GetParam().speed);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_EQ(t.c_cflag & PARENB, 0u);
  EXPECT_EQ((t.c_cflag & CSTOPB) != 0, GetParam().twoStopBits);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
}

INSTANTIATE_TEST_SUITE_P(All, SerialKitLinuxPtyLine,
                         ::testing::Values(LineCase{SerialConfig::BR_9600, 0, B9600, false},
                                           LineCase{SerialConfig::BR_115200, 1, B115200, true},
                                           LineCase{SerialConfig::BR_110, 0, B110, false}));

TEST_F(SerialKitLinuxPty, BytesBothWays) {
  SerialConfig cfg;
  const int32_t port = openAndConfigure(cfg);
  EXPECT_GE(cfg.getPort(), LinuxDriver::kFirstPathNumber);
  const Bytes hello = {'h', 'e', 'l', 'l', 'o', '\n', 0x00, 0xFF};
  EXPECT_EQ(driver->SerPutData(port, hello), int32_t(hello.size()));
  EXPECT_EQ(driver->SerPutByte(port, 0x0A), 0);
  Bytes expected = hello;
  expected.push_back(0x0A);
  EXPECT_EQ(pty.Read(expected.size(), 2s), expected);

  ASSERT_TRUE(pty.Write({0x11, '\r', 0x03, 0xFF}));
  EXPECT_EQ(waitReady(port, 4), 4);
  EXPECT_EQ(driver->SerGetByte(port), 0x11);
  Bytes buf(16, 0xEE);
  EXPECT_EQ(driver->SerGetData(port, buf), 3);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 3), (Bytes{'\r', 0x03, 0xFF}));
  EXPECT_EQ(driver->SerGetData(port, buf), 0);
  EXPECT_EQ(driver->SerGetByte(port), -1);
  EXPECT_EQ(driver->SerTxBufCount(port), 0);
  EXPECT_EQ(driver->SerTxDrain(port), 0);
  EXPECT_EQ(driver->SerClosePort(port), 0);
  EXPECT_EQ(driver->SerClosePort(port), -1);
  EXPECT_EQ(driver->SerPutByte(port, 1), -1);
}

TEST_F(SerialKitLinuxPty, FlushDropsReceivedBytes) {
  SerialConfig cfg;
  const int32_t port = openAndConfigure(cfg);
  ASSERT_TRUE(pty.Write({1, 2, 3}));
  EXPECT_EQ(waitReady(port, 3), 3);
  EXPECT_EQ(driver->SerRxFlush(port), 0);
  EXPECT_EQ(driver->SerRxReadyCount(port), 0);
}

// A pseudo-terminal takes CS7 with parity "successfully" but keeps 8N1: the read-back sees it.
TEST_F(SerialKitLinuxPty, SilentlyRefusedSettingFailsConfigure) {
  SerialConfig cfg;
  const int32_t port = openAndConfigure(cfg);
  cfg.setDataBits(SerialConfig::LN_7BITS);
  cfg.setParity(SerialConfig::PY_EVEN);
  EXPECT_EQ(driver->SerConfigure(cfg), SerResult::kSettingRefused);
  EXPECT_EQ(driver->SerPutByte(port, 'x'), 0);  // the port stays usable
}

TEST_F(SerialKitLinuxPty, ReceiveTimeoutIsWaitedWithoutData) {
  SerialConfig cfg;
  const int32_t port = openAndConfigure(cfg);
  ASSERT_EQ(driver->SerSetTimeoutRx(port, 120), 0);
  EXPECT_EQ(driver->SerGetTimeoutRx(port), 120);
  EXPECT_EQ(driver->SerSetTimeoutRx(port, -1), -1);
  const auto start = std::chrono::steady_clock::now();
  const double cpu = threadCpuMs();
  EXPECT_EQ(driver->SerGetByte(port), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 120ms);
  EXPECT_LT(threadCpuMs() - cpu, 60.0) << "waited by spinning";

  std::thread late([&] {
    std::this_thread::sleep_for(30ms);
    ASSERT_TRUE(pty.Write({'z'}));
  });
  ASSERT_EQ(driver->SerSetTimeoutRx(port, 5000), 0);
  EXPECT_EQ(driver->SerGetByte(port), 'z');
  late.join();
}

TEST_F(SerialKitLinuxPty, SecondOpenInThisProcessIsAlreadyOpen) {
  SerialConfig cfg;
  openAndConfigure(cfg);
  SerialConfig again(pty.path());
  EXPECT_EQ(driver->SerOpenPort(again), SerResult::kAlreadyOpen);
  // The same device through a COM name mapped by the environment.
  ASSERT_EQ(::setenv("VEXANET_COM77", pty.path().c_str(), 1), 0);
  SerialConfig com(std::string("COM77"));
  EXPECT_EQ(driver->SerOpenPort(com), SerResult::kAlreadyOpen);
  ::unsetenv("VEXANET_COM77");
}

// Opens path with a fresh driver in a child process; returns the child's result code.
int32_t openFromOtherProcess(const std::string& path) {
  int fds[2];
  if (::pipe(fds) != 0) return -100;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    LinuxDriver other;
    SerialConfig cfg(path);
    int32_t rc = other.SerOpenPort(cfg);
    if (rc == 0) other.SerClosePort(cfg.getPort() - 1);
    const ssize_t w = ::write(fds[1], &rc, sizeof rc);
    ::_exit(w == sizeof rc ? 0 : 1);
  }
  ::close(fds[1]);
  int32_t rc = -100;
  if (::read(fds[0], &rc, sizeof rc) != sizeof rc) rc = -101;
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return rc;
}

TEST_F(SerialKitLinuxPty, OtherProcessFindsThePortInUseUntilClosed) {
  SerialConfig cfg;
  const int32_t port = openAndConfigure(cfg);
  EXPECT_EQ(openFromOtherProcess(pty.path()), SerResult::kInUse);  // also as root
  ASSERT_EQ(driver->SerClosePort(port), 0);
  EXPECT_EQ(openFromOtherProcess(pty.path()), 0);
  SerialConfig again(pty.path());
  EXPECT_EQ(driver->SerOpenPort(again), 0);
  EXPECT_EQ(again.getPort(), cfg.getPort());  // a device keeps its number
}

TEST_F(SerialKitLinuxPty, VanishedDeviceFailsEverythingWithoutSpinning) {
  SerialConfig cfg;
  const int32_t port = openAndConfigure(cfg);
  ASSERT_EQ(driver->SerSetTimeoutRx(port, 400), 0);
  ASSERT_EQ(driver->SerSetTimeoutTx(port, 400), 0);
  pty.CloseMaster();

  const double cpu = threadCpuMs();
  EXPECT_EQ(driver->SerGetByte(port), -1);
  Bytes buf(8);
  EXPECT_EQ(driver->SerGetData(port, buf), -1);
  EXPECT_EQ(driver->SerPutData(port, Bytes{1, 2, 3}), -1);
  EXPECT_EQ(driver->SerPutByte(port, 1), -1);
  EXPECT_EQ(driver->SerRxReadyCount(port), -1);
  EXPECT_EQ(driver->SerTxBufCount(port), -1);
  EXPECT_EQ(driver->SerRxFlush(port), -1);
  EXPECT_EQ(driver->SerTxDrain(port), -1);
  EXPECT_EQ(driver->SerSigCTS(port), -1);
  EXPECT_NE(driver->SerConfigure(cfg), 0);
  EXPECT_LT(threadCpuMs() - cpu, 200.0) << "spun on a vanished device";
  EXPECT_EQ(driver->SerClosePort(port), 0);
  SerialConfig again(pty.path());
  EXPECT_EQ(driver->SerOpenPort(again), SerResult::kNotValid);
}

TEST_F(SerialKitLinuxPty, NotValidPorts) {
  char tmpl[] = "/tmp/serialkit_plainXXXXXX";
  const int fd = ::mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  ::close(fd);
  for (const std::string& name :
       {std::string("/nonexistent/ttyX"), std::string("/dev/null"), std::string(tmpl),
        std::string("/tmp"), std::string("COM0"), std::string("COM257"), std::string("ttyS0"),
        std::string("COM1x"), std::string("")}) {
    SerialConfig cfg(name);
    EXPECT_EQ(driver->SerOpenPort(cfg), SerResult::kNotValid) << name;
    EXPECT_EQ(cfg.getPort(), 0) << name;
  }
  ::unlink(tmpl);
}

// The port core with the termios driver underneath, as an application uses it.
TEST_F(SerialKitLinuxPty, PortCoreOpensNamedPortAndMovesBytes) {
  if (systemPlatform().osName != "Linux") GTEST_SKIP() << "not Linux";
  testing::setProcessDriver(driver);
  ASSERT_EQ(::setenv("VEXANET_COM1", pty.path().c_str(), 1), 0);
  {
    auto cfg = std::make_shared<SerialConfig>(std::string("COM1"));
    cfg->setHardFlow(false);
    SerialPortLocal port(cfg);
    EXPECT_EQ(port.getPortNum(), 0);
    EXPECT_EQ(port.getTimeoutRx(), 0);
    port.putString("R1On");
    EXPECT_EQ(pty.Read(4, 2s), (Bytes{'R', '1', 'O', 'n'}));
    ASSERT_TRUE(pty.Write({'O', 'K'}));
    int32_t ready = 0;
    for (int i = 0; i < 200 && (ready = port.rxReadyCount()) < 2; ++i)
      std::this_thread::sleep_for(5ms);
    EXPECT_EQ(ready, 2);
    Bytes buf(8);
    EXPECT_EQ(port.getData(buf, 1, 4), 2);
    EXPECT_EQ(buf[1], 'O');
    EXPECT_THROW(port.sigCTS(), SerialIOException);  // no modem lines on a pty
  }
  ::unsetenv("VEXANET_COM1");
  testing::resetProcessDriver();
}

}  // namespace
}  // namespace SerialKit
