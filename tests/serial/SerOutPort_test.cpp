// The program's serial line: on a pseudo-terminal pair with the real driver ("COM1" mapped to
// the pty's serial end through VEXANET_COM1), and on a scripted driver for the failures a pty
// cannot produce (timeouts refused, short writes, a failing receive count).
#include "serial/SerOutPort.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
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
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "SerialKit/NativeDriver.h"
#include "SerialKit/NativeDriverRegistry.h"
#include "SerialKit/SerialConfig.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using SerialKit::SerialConfig;
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

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A pseudo-terminal pair whose serial end answers to "COM1".
class PtyLine {
 public:
  PtyLine() {
    int m = -1, s = -1;
    char name[256] = {};
    if (::openpty(&m, &s, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    master_ = std::make_unique<Fd>(m);
    slave_ = std::make_unique<Fd>(s);
    path_ = name;
    env_ = std::make_unique<ScopedEnv>("VEXANET_COM1", path_);
  }
  const std::string& path() const { return path_; }
  int master() const { return master_->get(); }

  // The next n bytes the line carries, or fewer if they do not come within five seconds.
  Bytes Read(size_t n) {
    Bytes out;
    const auto limit = Clock::now() + std::chrono::seconds(5);
    while (out.size() < n && Clock::now() < limit) {
      pollfd p{master(), POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      uint8_t buf[256];
      const ssize_t r = ::read(master(), buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }
  // Whether anything more arrives within a short while.
  bool Quiet() {
    pollfd p{master(), POLLIN, 0};
    return ::poll(&p, 1, 100) == 0;
  }
  // Writes bytes as the board would and waits until the serial end has all of them waiting.
  void Answer(const Bytes& bytes) {
    ASSERT_EQ(::write(master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    const auto limit = Clock::now() + std::chrono::seconds(5);
    int waiting = 0;
    while (Clock::now() < limit) {
      ASSERT_EQ(::ioctl(slave_->get(), FIONREAD, &waiting), 0);
      if (waiting >= static_cast<int>(bytes.size())) return;
      std::this_thread::sleep_for(milliseconds(5));
    }
    FAIL() << "only " << waiting << " bytes arrived";
  }

 private:
  std::unique_ptr<Fd> master_, slave_;
  std::string path_;
  std::unique_ptr<ScopedEnv> env_;
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

TEST(SerOutPortPty, MissingDeviceGivesCodeOneAndOneLine) {
  ScopedEnv env("VEXANET_COM1", "/dev/vexanet-no-such-device");
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM1");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(SerOutPort::NoCOM(), 1);
  EXPECT_NE(out.find("SerOpenPort failed: "), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_EQ(out.back(), '\n');
  EXPECT_FALSE(port.SendSer(Bytes{0x0A}));
  EXPECT_EQ(port.GetSerError(), 1);
}

TEST(SerOutPortPty, PortHeldElsewhereGivesCodeOne) {
  PtyLine line;
  Fd other(::open(line.path().c_str(), O_RDWR | O_NOCTTY));
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
  EXPECT_EQ(ToBytes(port.SendSerial(Bytes{0x0A})), Zeros());
  EXPECT_EQ(port.GetSerError(), 1);
  EXPECT_EQ(SerOutPort::iodebug(), "Serial Out: 0A  ");
  EXPECT_FALSE(port.SendSer(std::string("AB")));
  EXPECT_EQ(ToBytes(port.ReadSer()), Zeros());
  EXPECT_EQ(port.GetSerError(), 2);
}

// --- on a scripted driver ---

class ScriptedDriver : public SerialKit::NativeDriver {
 public:
  struct Line {
    int32_t bitRate, parity, dataBits, stopBits, handshake;
    bool hardFlow;
    int32_t txLen, rxLen;
  };
  int32_t openResult = 0;
  int rxTimeoutFailsFromCall = 0;  // 0: never; n: the n-th and later SerSetTimeoutRx fail
  bool txTimeoutFails = false;
  bool shortWrites = false;
  bool rxCountFails = false;
  std::optional<Line> line;
  Bytes sent, waiting;

  int32_t SerGetLibVer() override { return 1; }
  int32_t SerOpenPort(SerialConfig& c) override {
    if (openResult != 0) return openResult;
    c.setPortNum(1);
    return 0;
  }
  int32_t SerConfigure(const SerialConfig& c) override {
    line = Line{c.getBitRate(),   c.getParity(),   c.getDataBits(), c.getStopBits(),
                c.getHandshake(), c.getHardFlow(), c.getTxLen(),    c.getRxLen()};
    return 0;
  }
  int32_t SerClosePort(int32_t) override { return 0; }
  int32_t SerPutByte(int32_t, uint8_t b) override {
    sent.push_back(b);
    return 0;
  }
  int32_t SerPutData(int32_t, std::span<const uint8_t> d) override {
    if (shortWrites) return static_cast<int32_t>(d.size()) - 1;
    sent.insert(sent.end(), d.begin(), d.end());
    return static_cast<int32_t>(d.size());
  }
  int32_t SerGetByte(int32_t) override {
    if (waiting.empty()) return -1;
    const uint8_t b = waiting.front();
    waiting.erase(waiting.begin());
    return b;
  }
  int32_t SerGetData(int32_t, std::span<uint8_t> buf) override {
    const size_t n = std::min(buf.size(), waiting.size());
    std::copy_n(waiting.begin(), n, buf.begin());
    waiting.erase(waiting.begin(), waiting.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int32_t>(n);
  }
  int32_t SerRxFlush(int32_t) override { return 0; }
  int32_t SerTxFlush(int32_t) override { return 0; }
  int32_t SerTxDrain(int32_t) override { return 0; }
  int32_t SerRxReadyCount(int32_t) override {
    return rxCountFails ? -1 : static_cast<int32_t>(waiting.size());
  }
  int32_t SerTxBufCount(int32_t) override { return 0; }
  int32_t SerRxOverflow(int32_t) override { return 0; }
  int32_t SerSigCTS(int32_t) override { return 0; }
  int32_t SerSigDSR(int32_t) override { return 0; }
  int32_t SerSigCD(int32_t) override { return 0; }
  int32_t SerSigFrameErr(int32_t) override { return 0; }
  int32_t SerSigOverrun(int32_t) override { return 0; }
  int32_t SerSigBreak(int32_t) override { return 0; }
  int32_t SerSigParityErr(int32_t) override { return 0; }
  int32_t SerSigRing(int32_t) override { return 0; }
  int32_t SerSetDTR(int32_t, bool) override { return 0; }
  int32_t SerSetRTS(int32_t, bool) override { return 0; }
  int32_t SerSendBreak(int32_t, int32_t) override { return 0; }
  int32_t SerSetTimeoutRx(int32_t, int32_t) override {
    ++rxTimeoutCalls_;
    return rxTimeoutFailsFromCall > 0 && rxTimeoutCalls_ >= rxTimeoutFailsFromCall ? -1 : 0;
  }
  int32_t SerSetTimeoutTx(int32_t, int32_t) override { return txTimeoutFails ? -1 : 0; }
  int32_t SerGetTimeoutRx(int32_t) override { return 0; }
  int32_t SerGetTimeoutTx(int32_t) override { return 0; }
  int32_t SerFlowTask(int32_t) override { return 0; }

 private:
  int rxTimeoutCalls_ = 0;
};

// Makes the scripted driver the process's driver for one test.
class SerOutPortScripted : public ::testing::Test {
 protected:
  void SetUp() override { SerialKit::testing::setProcessDriver(driver); }
  void TearDown() override { SerialKit::testing::resetProcessDriver(); }
  std::shared_ptr<ScriptedDriver> driver = std::make_shared<ScriptedDriver>();
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
  ASSERT_TRUE(driver->line.has_value());
  const auto& l = *driver->line;
  EXPECT_EQ(l.bitRate, SerialConfig::BR_9600);
  EXPECT_EQ(l.dataBits, SerialConfig::LN_8BITS);
  EXPECT_EQ(l.parity, SerialConfig::PY_NONE);
  EXPECT_EQ(l.stopBits, SerialConfig::ST_1BITS);
  EXPECT_EQ(l.handshake, SerialConfig::HS_NONE);
  EXPECT_FALSE(l.hardFlow);
  EXPECT_EQ(l.txLen, 2048);
  EXPECT_EQ(l.rxLen, 4096);
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
  driver->openResult = GetParam().code;
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM1");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(SerOutPort::NoCOM(), 1);
  EXPECT_NE(out.find(GetParam().message), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_FALSE(port.SendSer(Bytes{1}));
  EXPECT_TRUE(driver->sent.empty());
}

INSTANTIATE_TEST_SUITE_P(SerOutPort, SerOutPortOpen,
                         ::testing::Values(OpenCase{1002, "SerOpenPort failed: Port is in use"},
                                           OpenCase{1003, "SerOpenPort failed: Port not valid"},
                                           OpenCase{1000,
                                                    "SerOpenPort failed: Port is already open"},
                                           OpenCase{7, "SerOpenPort failed: 7"}));

TEST_F(SerOutPortScripted, OutputStreamRefusedGivesCodeTwo) {
  driver->txTimeoutFails = true;
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM1");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(SerOutPort::NoCOM(), 2);
  EXPECT_FALSE(port.SendSer(Bytes{1}));
  EXPECT_TRUE(driver->sent.empty());
  driver->waiting = {5, 6};
  EXPECT_EQ(ToBytes(port.ReadSer())[1], 6);
  EXPECT_EQ(port.SerCount(), 2);
}

TEST_F(SerOutPortScripted, InputStreamRefusedGivesCodeThree) {
  driver->rxTimeoutFailsFromCall = 2;  // the open sets it once; the input stream is the second
  testing::internal::CaptureStdout();
  SerOutPort port = MakeLine("COM1");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(SerOutPort::NoCOM(), 3);
  EXPECT_TRUE(port.SendSer(Bytes{1}));
  EXPECT_EQ(driver->sent, Bytes{1});
  port.ReadSer();
  EXPECT_EQ(port.GetSerError(), 2);
}

TEST_F(SerOutPortScripted, BothStreamsRefusedGivesTheLastCode) {
  driver->txTimeoutFails = true;
  driver->rxTimeoutFailsFromCall = 2;
  SerOutPort port = MakeLine("COM1");
  EXPECT_EQ(SerOutPort::NoCOM(), 3);
}

TEST_F(SerOutPortScripted, FailedSendKeepsErrorUntilNextSendSerial) {
  SerOutPort port = MakeLine("COM1");
  driver->shortWrites = true;
  EXPECT_EQ(ToBytes(port.SendSerial(Bytes{0x0A, 0xFF})), Zeros());
  EXPECT_EQ(port.GetSerError(), 1);
  EXPECT_EQ(SerOutPort::iodebug(), "Serial Out: 0AFF  ");
  EXPECT_FALSE(port.SendSer(std::string("AB")));
  port.ReadSer();
  EXPECT_EQ(port.GetSerError(), 1);
  driver->shortWrites = false;
  port.SendSerial(Bytes{0x0A});
  EXPECT_EQ(port.GetSerError(), 0);
}

TEST_F(SerOutPortScripted, FailedSendsAreSaidOnceOnTheConsole) {
  SerOutPort port = MakeLine("COM1");
  driver->shortWrites = true;
  ::testing::internal::CaptureStdout();
  port.SendSerial(Bytes{0x0A, 0xFF});
  port.SendSerial(Bytes{0x0A, 0xFF});
  driver->shortWrites = false;
  port.SendSerial(Bytes{0x0A});
  driver->shortWrites = true;
  port.SendSerial(Bytes{0x0A, 0xFF});
  const std::string out = ::testing::internal::GetCapturedStdout();
  // One line for each run of failed sends, with the port's own message.
  const std::string line = "Serial line send failed: PutData1: Sent only 1 of 2 bytes\n";
  EXPECT_EQ(out, line + line);
}

TEST_F(SerOutPortScripted, FailedReadGivesCodeTwoAndKeepsBuffer) {
  SerOutPort port = MakeLine("COM1");
  driver->waiting = {1, 2, 3};
  port.ReadSer();
  ASSERT_EQ(port.SerCount(), 3);
  driver->rxCountFails = true;
  EXPECT_EQ(ToBytes(port.ReadSer())[2], 3);
  EXPECT_EQ(port.GetSerError(), 2);
  EXPECT_EQ(port.SerCount(), 0);
}

}  // namespace
