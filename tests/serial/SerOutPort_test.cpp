// The program's serial line: on a pseudo-terminal pair with the real driver ("COM1" mapped to
// the pty's serial end through VEXANET_COM1), and on a scripted driver for the failures a pty
// cannot produce (timeouts refused, short writes, a failing receive count).
#include "PtyPair.h"
#include "ScopedEnv.h"
#include "UniqueFd.h"
#include "serial/SerOutPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "SerialKit/FakeDriver.h"
#include "SerialKit/NativeDriver.h"
#include "SerialKit/NativeDriverRegistry.h"
#include "SerialKit/SerialConfig.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using SerialKit::SerialConfig;
using SerialKit::test::FakeDriver;
using std::chrono::milliseconds;

std::string HexOf(const Bytes& bytes) {
  std::string s;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02X", b);
    s += two;
  }
  return s;
}

Bytes Zeros() {
  return Bytes(64, 0);
}
Bytes ToBytes(const SerOutPort::Buffer& b) {
  return Bytes(b.begin(), b.end());
}

SerOutPort MakeLine(const std::string& name) {
  return SerOutPort(name, "Vexa8", 9600, 8, 1, "None", "None");
}

using testing_support::ScopedEnv;
using testing_support::UniqueFd;

// A pseudo-terminal pair whose serial end answers to "COM1".
class PtyLine : public testing_support::PtyPair {
 public:
  PtyLine() : env_("VEXANET_COM1", path()) {}

  // Writes bytes as the board would and waits until the serial end has all of them waiting.
  void Answer(const Bytes& bytes) {
    ASSERT_TRUE(Write(bytes));
    const auto limit = Clock::now() + std::chrono::seconds(5);
    int waiting = 0;
    while (Clock::now() < limit) {
      ASSERT_EQ(::ioctl(serial(), FIONREAD, &waiting), 0);
      if (waiting >= static_cast<int>(bytes.size())) return;
      std::this_thread::sleep_for(milliseconds(5));
    }
    FAIL() << "only " << waiting << " bytes arrived";
  }

 private:
  ScopedEnv env_;
};

// --- on a pseudo-terminal with the real driver ---

TEST(SerOutPortPty, SendSerialPutsExactBytesPausesAndTraces) {
  PtyLine line;
  SerOutPort port = MakeLine("COM1");
  ASSERT_EQ(SerOutPort::NoCOM(), 0);
  const Bytes cmd{0x0A, 0xFF};
  const auto start = Clock::now();
  const SerOutPort::Buffer first = port.SendSerial(cmd);
  EXPECT_GE(Clock::now() - start, milliseconds(150));
  EXPECT_EQ(line.Read(2), cmd);
  EXPECT_TRUE(line.Quiet());
  EXPECT_EQ(SerOutPort::iodebug(), "Serial Out: 0AFF  ");
  EXPECT_EQ(port.GetSerError(), 0);
  EXPECT_EQ(ToBytes(first), Zeros());
  const SerOutPort::Buffer second = port.SendSerial(Bytes{0x0B});
  EXPECT_EQ(second, first);
  EXPECT_EQ(line.Read(1), Bytes{0x0B});
}

TEST(SerOutPortPty, SendSerTextAddsOneLineFeed) {
  PtyLine line;
  SerOutPort port = MakeLine("COM1");
  EXPECT_TRUE(port.SendSer(std::string("AB")));
  EXPECT_EQ(line.Read(3), (Bytes{0x41, 0x42, 0x0A}));
  EXPECT_TRUE(line.Quiet());
  EXPECT_EQ(SerOutPort::iodebug(), "Serial Out: AB  ");
}

TEST(SerOutPortPty, LineIsAlways9600EightNoneOne) {
  PtyLine line;
  SerOutPort port("COM1", "Vexa8", 19200, 7, 2, "Even", "CTS/RTS");
  ASSERT_EQ(SerOutPort::NoCOM(), 0);
  termios t{};
  ASSERT_EQ(::tcgetattr(line.master(), &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
}

TEST(SerOutPortPty, ReadSerKeepsLastChunkOverFirst) {
  PtyLine line;
  SerOutPort port = MakeLine("COM1");
  port.SendSerial(Bytes{0x01});
  ASSERT_EQ(line.Read(1), Bytes{0x01});
  Bytes answer(100);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(0xA0 + i);
  line.Answer(answer);

  const Bytes got = ToBytes(port.ReadSer());
  EXPECT_EQ(port.SerCount(), 36);
  EXPECT_EQ(port.GetSerError(), 0);
  const Bytes last(answer.begin() + 64, answer.end());
  EXPECT_TRUE(std::equal(last.begin(), last.end(), got.begin()));
  EXPECT_TRUE(std::equal(got.begin() + 36, got.end(), answer.begin() + 36));
  EXPECT_EQ(SerOutPort::iodebug(), "Serial Out: 01  Serial In: " + HexOf(last));
  // SendSerial reads nothing and hands back what the last read left.
  EXPECT_EQ(ToBytes(port.SendSerial(Bytes{0x02})), got);
}

TEST(SerOutPortPty, ReadSerWithNothingWaiting) {
  PtyLine line;
  SerOutPort port = MakeLine("COM1");
  port.SendSerial(Bytes{0x7E});
  EXPECT_EQ(ToBytes(port.ReadSer()), Zeros());
  EXPECT_EQ(port.SerCount(), 0);
  EXPECT_EQ(port.GetSerError(), 0);
  EXPECT_EQ(SerOutPort::iodebug(), "Serial Out: 7E  Serial In: ");
}

TEST(SerOutPortPty, MissingDeviceGivesCodeOneTheErrorAndAHint) {
  ScopedEnv env("VEXANET_COM1", "/dev/vexanet-no-such-device");
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM1");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(SerOutPort::NoCOM(), 1);
  // The error as it always was, then one line naming the path tried and the variable to set.
  EXPECT_EQ(out.rfind("SerialIOException: SerOpenPort failed: Port not valid\n", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
  EXPECT_NE(out.find("Serial line: /dev/vexanet-no-such-device does not exist; VEXANET_COM1 can "
                     "name another device"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.back(), '\n');
  EXPECT_FALSE(port.SendSer(Bytes{0x0A}));
  EXPECT_EQ(port.GetSerError(), 1);
}

TEST(SerOutPortPty, PortHeldElsewhereGivesCodeOne) {
  PtyLine line;
  UniqueFd other(::open(line.path().c_str(), O_RDWR | O_NOCTTY));
  ASSERT_GE(other.get(), 0);
  ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM1");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(SerOutPort::NoCOM(), 1);
  EXPECT_NE(out.find("SerOpenPort failed: Port is in use"), std::string::npos) << out;
}

TEST(SerOutPortPty, ConcurrentSendsStayWholeAndPaused) {
  PtyLine line;
  SerOutPort port = MakeLine("COM1");
  ASSERT_EQ(SerOutPort::NoCOM(), 0);
  std::atomic<bool> sending{true};
  std::thread watcher([&] {
    while (sending.load()) {
      (void)SerOutPort::iodebug();
      (void)SerOutPort::NoCOM();
      (void)port.GetSerError();
      (void)port.SerCount();
      std::this_thread::yield();
    }
  });
  auto sender = [&](uint8_t a, uint8_t b) {
    for (int i = 0; i < 3; ++i) port.SendSerial(Bytes{a, b});
  };
  const auto start = Clock::now();
  std::thread t1(sender, 0x11, 0x12);
  std::thread t2(sender, 0x21, 0x22);
  t1.join();
  t2.join();
  const auto took = Clock::now() - start;
  sending.store(false);
  watcher.join();
  EXPECT_GE(took, milliseconds(450));
  const Bytes got = line.Read(12);
  ASSERT_EQ(got.size(), 12u);
  int ones = 0;
  for (size_t i = 0; i < got.size(); i += 2) {
    const bool one = got[i] == 0x11 && got[i + 1] == 0x12;
    const bool two = got[i] == 0x21 && got[i + 1] == 0x22;
    EXPECT_TRUE(one || two) << "pair " << i / 2 << " was torn";
    ones += one;
  }
  EXPECT_EQ(ones, 3);
  EXPECT_EQ(port.GetSerError(), 0);
}

// --- "COM0": no line at all ---

TEST(SerOutPortNoLine, Com0OpensNothingAndSendsFail) {
  {
    ScopedEnv env("VEXANET_COM1", "/dev/vexanet-no-such-device");
    testing::internal::CaptureStdout();
    SerOutPort failed = MakeLine("COM1");
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(SerOutPort::NoCOM(), 1);
  }
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM0");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(SerOutPort::NoCOM(), 0);  // a later construction replaces the code
  // No line is ever opened, and sends are handed on as before (to fail there).
  EXPECT_TRUE(port.Usable());
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(ToBytes(port.SendSerial(Bytes{0x0A})), Zeros());
  EXPECT_EQ(port.GetSerError(), 1);
  EXPECT_EQ(SerOutPort::iodebug(), "Serial Out: 0A  ");
  EXPECT_FALSE(port.SendSer(std::string("AB")));
  EXPECT_EQ(ToBytes(port.ReadSer()), Zeros());
  EXPECT_EQ(port.GetSerError(), 2);
}

// --- on a scripted driver ---

// Makes the scripted driver the process's driver for one test.
class SerOutPortScripted : public ::testing::Test {
 protected:
  void SetUp() override { SerialKit::testing::setProcessDriver(driver); }
  void TearDown() override { SerialKit::testing::resetProcessDriver(); }
  // Everything the port core handed to SerPutData, as one byte string.
  Bytes Sent() const {
    Bytes all;
    for (const auto& chunk : driver->sent()) all.insert(all.end(), chunk.begin(), chunk.end());
    return all;
  }
  void ShortWrites(bool on) {
    if (on) {
      driver->script("SerPutData", 1);
    } else {
      driver->unscript("SerPutData");
    }
  }
  std::shared_ptr<FakeDriver> driver = std::make_shared<FakeDriver>();
};

struct ArgCase {
  int32_t rate, dataBits, stopBits;
  const char *parity, *handshake;
};
void PrintTo(const ArgCase& c, std::ostream* os) {
  *os << c.rate << " " << c.dataBits << c.parity << c.stopBits << " " << c.handshake;
}

class SerOutPortArgs : public SerOutPortScripted, public ::testing::WithParamInterface<ArgCase> {};

TEST_P(SerOutPortArgs, LineSettingIgnoresTheArguments) {
  const ArgCase& a = GetParam();
  SerOutPort port("COM1", "Vexa8", a.rate, a.dataBits, a.stopBits, a.parity, a.handshake);
  ASSERT_EQ(SerOutPort::NoCOM(), 0);
  ASSERT_FALSE(driver->configured().empty());
  const SerialConfig l = driver->configured().back();
  EXPECT_EQ(l.getBitRate(), SerialConfig::BR_9600);
  EXPECT_EQ(l.getDataBits(), SerialConfig::LN_8BITS);
  EXPECT_EQ(l.getParity(), SerialConfig::PY_NONE);
  EXPECT_EQ(l.getStopBits(), SerialConfig::ST_1BITS);
  EXPECT_EQ(l.getHandshake(), SerialConfig::HS_NONE);
  EXPECT_FALSE(l.getHardFlow());
  EXPECT_EQ(l.getTxLen(), 2048);
  EXPECT_EQ(l.getRxLen(), 4096);
}

INSTANTIATE_TEST_SUITE_P(SerOutPort, SerOutPortArgs,
                         ::testing::Values(ArgCase{19200, 7, 2, "Even", "CTS/RTS"},
                                           ArgCase{115200, 5, 1, "Odd", "XON/XOFF"},
                                           ArgCase{-1, 0, 0, "", ""}));

struct OpenCase {
  int32_t code;
  const char* message;
};
void PrintTo(const OpenCase& c, std::ostream* os) {
  *os << c.code;
}

class SerOutPortOpen : public SerOutPortScripted, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(SerOutPortOpen, RefusedOpenPrintsTheMessageOnce) {
  driver->script("SerOpenPort", GetParam().code);
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM1");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(SerOutPort::NoCOM(), 1);
  EXPECT_NE(out.find(GetParam().message), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_FALSE(port.SendSer(Bytes{1}));
  EXPECT_TRUE(Sent().empty());
}

// A driver that notes no cause still gets the permission hint from its result code 1004; the
// device is then named by the port name.
TEST_F(SerOutPortScripted, AccessDeniedCodeGivesThePermissionHint) {
  driver->script("SerOpenPort", 1004);
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM1");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "SerialIOException: SerOpenPort failed: 1004\n"
            "Serial line: COM1: permission denied: the user running the server must be allowed to "
            "open it (on Debian: the dialout group)\n");
}

// The driver opened the port but refused the setting: the port is closed again, at the start and
// on every retry, or each try would keep a descriptor open and block the next open.
TEST_F(SerOutPortScripted, OpenFailingAfterTheDriverOpenedClosesThePort) {
  driver->script("SerConfigure", 1006);
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM1");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "SerialIOException: Configure failed: 1006\n");
  EXPECT_EQ(SerOutPort::NoCOM(), 1);
  // The order lock held here keeps the retry thread out: only these three tries happen.
  std::mutex order;
  port.SetOnReconnect({}, &order);
  std::lock_guard command(order);
  port.SetRetryInterval(milliseconds(0));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(port.Usable());
  EXPECT_EQ(driver->count("SerOpenPort"), 4u);
  EXPECT_EQ(driver->count("SerClosePort"), 4u);
}

INSTANTIATE_TEST_SUITE_P(SerOutPort, SerOutPortOpen,
                         ::testing::Values(OpenCase{1002, "SerOpenPort failed: Port is in use"},
                                           OpenCase{1003, "SerOpenPort failed: Port not valid"},
                                           OpenCase{1000,
                                                    "SerOpenPort failed: Port is already open"},
                                           OpenCase{7, "SerOpenPort failed: 7"}));

TEST_F(SerOutPortScripted, OutputStreamRefusedGivesCodeTwo) {
  driver->script("SerSetTimeoutTx", -1);
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM1");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(SerOutPort::NoCOM(), 2);
  EXPECT_FALSE(port.SendSer(Bytes{1}));
  EXPECT_TRUE(Sent().empty());
  driver->receive({5, 6});
  EXPECT_EQ(ToBytes(port.ReadSer())[1], 6);
  EXPECT_EQ(port.SerCount(), 2);
}

TEST_F(SerOutPortScripted, InputStreamRefusedGivesCodeThree) {
  driver->scriptFrom("SerSetTimeoutRx", 2,
                     -1);  // the open sets it once; the input stream is the second
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM1");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(SerOutPort::NoCOM(), 3);
  EXPECT_TRUE(port.SendSer(Bytes{1}));
  EXPECT_EQ(Sent(), Bytes{1});
  port.ReadSer();
  EXPECT_EQ(port.GetSerError(), 2);
}

TEST_F(SerOutPortScripted, BothStreamsRefusedGivesTheLastCode) {
  driver->script("SerSetTimeoutTx", -1);
  driver->scriptFrom("SerSetTimeoutRx", 2, -1);
  SerOutPort port = MakeLine("COM1");
  EXPECT_EQ(SerOutPort::NoCOM(), 3);
}

TEST_F(SerOutPortScripted, FailedSendKeepsErrorUntilNextSendSerial) {
  SerOutPort port = MakeLine("COM1");
  ShortWrites(true);
  EXPECT_EQ(ToBytes(port.SendSerial(Bytes{0x0A, 0xFF})), Zeros());
  EXPECT_EQ(port.GetSerError(), 1);
  EXPECT_EQ(SerOutPort::iodebug(), "Serial Out: 0AFF  ");
  EXPECT_FALSE(port.SendSer(std::string("AB")));
  port.ReadSer();
  EXPECT_EQ(port.GetSerError(), 1);
  ShortWrites(false);
  port.SendSerial(Bytes{0x0A});
  EXPECT_EQ(port.GetSerError(), 0);
}

TEST_F(SerOutPortScripted, FailedSendsAreSaidOnceOnTheConsole) {
  SerOutPort port = MakeLine("COM1");
  ShortWrites(true);
  ::testing::internal::CaptureStdout();
  port.SendSerial(Bytes{0x0A, 0xFF});
  port.SendSerial(Bytes{0x0A, 0xFF});
  ShortWrites(false);
  port.SendSerial(Bytes{0x0A});
  ShortWrites(true);
  port.SendSerial(Bytes{0x0A, 0xFF});
  const std::string out = ::testing::internal::GetCapturedStdout();
  // One line for each run of failed sends, with the port's own message.
  const std::string line = "Serial line send failed: PutData1: Sent only 1 of 2 bytes\n";
  EXPECT_EQ(out, line + line);
}

TEST_F(SerOutPortScripted, FailedReadGivesCodeTwoAndKeepsBuffer) {
  SerOutPort port = MakeLine("COM1");
  driver->receive({1, 2, 3});
  port.ReadSer();
  ASSERT_EQ(port.SerCount(), 3);
  driver->script("SerRxReadyCount", -1);
  EXPECT_EQ(ToBytes(port.ReadSer())[2], 3);
  EXPECT_EQ(port.GetSerError(), 2);
  EXPECT_EQ(port.SerCount(), 0);
}

}  // namespace
