// The serial line surviving its adapter, on pseudo-terminals with the real driver. "COM1" is a
// symbolic link (VEXANET_COM1) to a pty's serial end; unplugging closes the pty (the serial end
// then fails with EIO and its path is gone) and removes the link, plugging back makes a new pty
// and points the link at it: what a USB adapter and vexanet-board --link do.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "SerialKit/SerialConfig.h"
#include "SerialKit/SerialIOException.h"
#include "SerialKit/SerialPortLocal.h"
#include "PtyPair.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "serial/SerOutPort.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using SerialKit::IOErrorCause;
using std::chrono::milliseconds;

constexpr auto kDeadline = std::chrono::seconds(5);  // only a hang reaches it

SerOutPort MakeLine(const std::string& name) {
  return SerOutPort(name, "Vexa8", 9600, 8, 1, "None", "None");
}

using testing_support::PtyPair;
using testing_support::ScopedEnv;
using testing_support::TempDir;

bool WaitUntil(const std::function<bool()>& done) {
  const auto limit = Clock::now() + kDeadline;
  while (!done()) {
    if (Clock::now() >= limit) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

// A serial line that can be unplugged and plugged back, reached as "COM1" through a link.
class PluggableLine {
 public:
  PluggableLine() : dir_("vexanet-serial"), link_((dir_.path() / "com1").string()),
                    env_("VEXANET_COM1", link_) {}
  ~PluggableLine() { Unplug(); }
  PluggableLine(const PluggableLine&) = delete;
  PluggableLine& operator=(const PluggableLine&) = delete;

  const std::string& link() const { return link_; }
  const fs::path& folder() const { return dir_.path(); }
  std::string slave() const {
    std::lock_guard lock(m_);
    return slavePath_;
  }

  // Plug and Unplug may be called from the line's retry thread (in a reconnect function).
  void Plug() {
    std::lock_guard lock(m_);
    pty_.emplace();  // the board holds the serial end too, so the master never reads a hang-up
    slavePath_ = pty_->path();
    const std::string tmp = link_ + ".new";
    ::unlink(tmp.c_str());
    if (::symlink(slavePath_.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link_.c_str()) != 0) {
      throw std::runtime_error("cannot point the link");
    }
  }
  void Unplug() {
    std::lock_guard lock(m_);
    pty_.reset();
    ::unlink(link_.c_str());
  }

  // The next n bytes the line carries, or fewer if they do not come in time.
  Bytes Read(size_t n) { return PtyPair::ReadFd(Master(), n, kDeadline); }
  // Whether nothing more arrives within a short while.
  bool Quiet() { return PtyPair::QuietFd(Master(), std::chrono::milliseconds(100)); }

 private:
  // A master that an unplug closes meanwhile reads as nothing more.
  int Master() const {
    std::lock_guard lock(m_);
    return pty_ ? pty_->master() : -1;
  }

  mutable std::mutex m_;
  TempDir dir_;
  std::string link_;
  ScopedEnv env_;
  std::string slavePath_;
  std::optional<PtyPair> pty_;
};

// Standard output of the process while the object lives; Text() ends the capture.
class Console {
 public:
  Console() { testing::internal::CaptureStdout(); }
  ~Console() {
    if (!done_) Text();
  }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;
  std::string Text() {
    done_ = true;
    return testing::internal::GetCapturedStdout();
  }

 private:
  bool done_ = false;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The eight bytes the tests' reconnect function sends again, one SendSerial each.
const Bytes kRecorded{0x00, 0x09, 0x02, 0x0B, 0x04, 0x05, 0x0E, 0x07};

struct Resender {
  std::atomic<int> calls{0};
  std::atomic<bool> onOtherThread{false};
  std::thread::id owner = std::this_thread::get_id();
  void Install(SerOutPort& port, std::mutex* orderLock = nullptr) {
    port.SetOnReconnect(
        [this, &port] {
          ++calls;
          if (std::this_thread::get_id() != owner) onOtherThread = true;
          for (uint8_t b : kRecorded) port.SendSerial(Bytes{b});
        },
        orderLock);
  }
};

// Waits until the retry thread has opened the line again and finished the resend.
bool WaitForBack(SerOutPort& port) {
  // IsOpen() turns true before the resend; Usable() on an open line waits for the resend to end
  // and does not itself reopen.
  return WaitUntil([&] { return port.IsOpen(); }) && port.Usable();
}

TEST(SerOutPortRecovery, UnpluggedLineIsLostOnceAndComesBackWithTheStatesSentAgain) {
  PluggableLine line;
  line.Plug();
  SerOutPort port = MakeLine("COM1");
  ASSERT_EQ(SerOutPort::NoCOM(), 0);
  port.SetRetryInterval(milliseconds(100));
  Resender resender;
  std::mutex order;
  resender.Install(port, &order);
  ASSERT_TRUE(port.Usable());
  EXPECT_EQ(port.DeviceName(), line.link());
  port.SendSerial(Bytes{0x0A});
  ASSERT_EQ(line.Read(1), Bytes{0x0A});

  Console console;
  line.Unplug();
  // Sends take the failed path as before; the first one finds the device gone.
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    port.SendSerial(Bytes{0x0B});
    EXPECT_EQ(port.GetSerError(), 1);
    EXPECT_LT(Clock::now() - start, milliseconds(150)) << "no pause after a failed send";
  }
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.Usable());  // tried (or not yet due): the link is gone either way
  std::this_thread::sleep_for(milliseconds(300));  // a few background tries while unplugged

  line.Plug();
  // No command comes: the retry thread reopens and sends the recorded states by itself.
  ASSERT_TRUE(WaitForBack(port));
  EXPECT_EQ(line.Read(kRecorded.size()), kRecorded);
  EXPECT_TRUE(line.Quiet());
  EXPECT_EQ(resender.calls.load(), 1);
  EXPECT_TRUE(resender.onOtherThread.load());
  port.SendSerial(Bytes{0x0C});
  EXPECT_EQ(port.GetSerError(), 0);
  EXPECT_EQ(line.Read(1), Bytes{0x0C});
  EXPECT_EQ(SerOutPort::NoCOM(), 0);

  const std::string out = console.Text();
  EXPECT_EQ(Count(out, "\n"), 2u) << out;
  EXPECT_EQ(out.rfind("Serial line lost: PutData1: Sent only -1 of 1 bytes (Input/output error)\n",
                      0),
            0u)
      << out;
  EXPECT_NE(out.find("Serial line back: " + line.link() + ", relay states sent again\n"),
            std::string::npos)
      << out;
}

// Pulled and plugged back between two commands: no send finds the loss, the retry thread does
// by looking at the idle line, and the board gets its states back without a command.
TEST(SerOutPortRecovery, IdleLineUnpluggedAndPluggedBackGetsItsStatesWithoutACommand) {
  PluggableLine line;
  line.Plug();
  SerOutPort port = MakeLine("COM1");
  port.SetRetryInterval(milliseconds(100));
  Resender resender;
  std::mutex order;
  resender.Install(port, &order);
  ASSERT_TRUE(port.Usable());

  Console console;
  line.Unplug();
  const auto unplugged = Clock::now();
  ASSERT_TRUE(WaitUntil([&] { return !port.IsOpen(); })) << "loss of an idle line not noticed";
  // Twice a second, with room for a slow machine; the deadline of WaitUntil would be a hang.
  EXPECT_LT(Clock::now() - unplugged, std::chrono::seconds(2));
  line.Plug();
  ASSERT_TRUE(WaitForBack(port));
  EXPECT_EQ(line.Read(kRecorded.size()), kRecorded);
  EXPECT_EQ(resender.calls.load(), 1);

  const std::string out = console.Text();
  EXPECT_EQ(out.rfind("Serial line lost: the device hung up while the line was idle", 0), 0u)
      << out;
  EXPECT_EQ(Count(out, "Serial line back: " + line.link() + ", relay states sent again\n"), 1u)
      << out;
}

TEST(SerOutPortRecovery, LineMissingAtStartIsOpenedOnceItAppears) {
  PluggableLine line;  // the link does not exist yet
  Console console;
  SerOutPort port = MakeLine("COM1");
  port.SetRetryInterval(milliseconds(50));
  Resender resender;
  resender.Install(port);
  EXPECT_EQ(SerOutPort::NoCOM(), 1);
  EXPECT_FALSE(port.Usable());
  EXPECT_FALSE(port.SendSer(Bytes{0x01}));
  std::this_thread::sleep_for(milliseconds(200));  // failed tries say nothing more

  line.Plug();
  ASSERT_TRUE(WaitForBack(port));
  EXPECT_EQ(line.Read(kRecorded.size()), kRecorded);
  port.SendSerial(Bytes{0x0D});
  EXPECT_EQ(line.Read(1), Bytes{0x0D});
  EXPECT_EQ(SerOutPort::NoCOM(), 1) << "the code of the construction stays";

  const std::string out = console.Text();
  EXPECT_EQ(out,
            "SerialIOException: SerOpenPort failed: Port not valid\n"
            "Serial line: " + line.link() + " does not exist; VEXANET_COM1 can name another "
            "device (e.g. VEXANET_COM1=/dev/ttyUSB0, or a /dev/serial/by-id/ path)\n"
            "Serial line back: " + line.link() + ", relay states sent again\n");
}

// A relay command holds the order lock, so the retry thread cannot recover the line: the command
// itself reopens it in Usable(), not more often than the retry interval, and the resend runs on
// the command's thread before its own byte.
TEST(SerOutPortRecovery, CommandReopensTheLineAtMostOncePerIntervalAndSendsAfterTheStates) {
  PluggableLine line;
  line.Plug();
  SerOutPort port = MakeLine("COM1");
  port.SetRetryInterval(milliseconds(400));
  Resender resender;
  std::mutex order;
  resender.Install(port, &order);
  Console console;
  std::unique_lock command(order);

  line.Unplug();
  port.SendSerial(Bytes{0x0B});
  ASSERT_FALSE(port.IsOpen());
  line.Plug();
  // The failed send was the last try: the device is back, but no try is due yet.
  EXPECT_FALSE(port.Usable());
  EXPECT_EQ(resender.calls.load(), 0);
  std::this_thread::sleep_for(milliseconds(450));
  EXPECT_TRUE(port.Usable());
  EXPECT_EQ(resender.calls.load(), 1);
  EXPECT_FALSE(resender.onOtherThread.load());
  port.SendSerial(Bytes{0x0F});
  command.unlock();

  Bytes expected = kRecorded;
  expected.push_back(0x0F);
  EXPECT_EQ(line.Read(expected.size()), expected);
}

// A sender that does not hold the order lock (the window's raw hexadecimal command) waits while
// the retry thread sends the states again: its byte comes after all of them.
TEST(SerOutPortRecovery, NoSendOvertakesTheResentStates) {
  PluggableLine line;
  line.Plug();
  SerOutPort port = MakeLine("COM1");
  port.SetRetryInterval(milliseconds(50));
  std::atomic<bool> started{false};
  std::mutex order;
  port.SetOnReconnect(
      [&] {
        started = true;
        for (uint8_t b : kRecorded) port.SendSerial(Bytes{b});
      },
      &order);
  Console console;
  line.Unplug();
  port.SendSerial(Bytes{0x0B});
  line.Plug();
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
  port.SendSerial(Bytes{0x55});
  EXPECT_EQ(port.GetSerError(), 0);
  Bytes expected = kRecorded;
  expected.push_back(0x55);
  EXPECT_EQ(line.Read(expected.size()), expected);
}

// The device vanishes again while the states are being sent: no "back" line and no second
// "lost" line; the next plug-in brings it back.
TEST(SerOutPortRecovery, LostAgainDuringTheResendSaysNothingUntilItIsBack) {
  PluggableLine line;
  line.Plug();
  SerOutPort port = MakeLine("COM1");
  port.SetRetryInterval(milliseconds(50));
  std::atomic<int> calls{0};
  std::atomic<bool> firstDone{false};
  port.SetOnReconnect([&] {
    const int call = ++calls;
    if (call == 1) line.Unplug();
    port.SendSer(Bytes{0x42});
    if (call == 1) firstDone = true;
  });
  Console console;
  line.Unplug();
  port.SendSerial(Bytes{0x0B});
  line.Plug();
  ASSERT_TRUE(WaitUntil([&] { return firstDone.load(); }));
  EXPECT_FALSE(port.IsOpen());
  line.Plug();
  ASSERT_TRUE(WaitForBack(port));
  EXPECT_EQ(line.Read(1), Bytes{0x42});
  EXPECT_EQ(calls.load(), 2);
  const std::string out = console.Text();
  EXPECT_EQ(Count(out, "Serial line lost: "), 1u) << out;
  EXPECT_EQ(Count(out, "Serial line back: "), 1u) << out;
  EXPECT_EQ(out.substr(out.find("Serial line back: ")),
            "Serial line back: " + line.link() + ", relay states sent again\n")
      << out;
}

TEST(SerOutPortRecovery, ReadFindingTheDeviceGoneLosesTheLine) {
  PluggableLine line;
  line.Plug();
  SerOutPort port = MakeLine("COM1");
  port.SetRetryInterval(milliseconds(50));
  Console console;
  line.Unplug();
  port.ReadSer();
  EXPECT_EQ(port.GetSerError(), 2);
  EXPECT_FALSE(port.IsOpen());
  line.Plug();
  ASSERT_TRUE(WaitForBack(port));
  const std::string out = console.Text();
  EXPECT_NE(out.find("Serial line lost: "), std::string::npos) << out;
  EXPECT_NE(out.find("Serial line back: " + line.link() + "\n"), std::string::npos) << out;
}

// --- cost of a line that stays down ---

int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(SerOutPortRecovery, LineThatStaysDownCostsNoCpu) {
  ScopedEnv env("VEXANET_COM1", "/dev/vexanet-no-such-device");
  Console console;
  SerOutPort port = MakeLine("COM1");  // the retry thread tries once a second
  const double before = CpuSeconds();
  std::this_thread::sleep_for(milliseconds(2500));
  EXPECT_LT(CpuSeconds() - before, 0.25) << "the retry thread must sleep between tries";
  const std::string out = console.Text();
  EXPECT_EQ(Count(out, "\n"), 2u) << "the error and the hint, nothing per try\n" << out;
}

// Every way a reopen can fail gives back what it opened: the device missing, a device that is
// no terminal, a device another process holds.
TEST(SerOutPortRecovery, FailedReopensLeakNoDescriptors) {
  PluggableLine line;
  line.Plug();
  const int held = ::open(line.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  for (const std::string& device : {std::string("/dev/vexanet-no-such-device"),
                                   std::string("/dev/null"), line.slave()}) {
    SCOPED_TRACE(device);
    ScopedEnv env("VEXANET_COM1", device);
    Console console;
    SerOutPort port = MakeLine("COM1");
    ASSERT_EQ(SerOutPort::NoCOM(), 1);
    // Holding the order lock, as a relay command does, keeps the retry thread from trying at
    // the same time, so no descriptor of a try under way is counted.
    std::mutex order;
    port.SetOnReconnect({}, &order);
    std::lock_guard command(order);
    port.SetRetryInterval(milliseconds(0));
    const int before = OpenDescriptors();
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(port.Usable());
    EXPECT_EQ(OpenDescriptors(), before);
  }
  ::close(held);
}

TEST(SerOutPortRecovery, RepeatedUnplugAndPlugLeaksNoDescriptors) {
  PluggableLine line;
  line.Plug();
  SerOutPort port = MakeLine("COM1");
  port.SetRetryInterval(milliseconds(0));
  Console console;
  std::optional<int> before;
  for (int i = 0; i < 20; ++i) {
    if (i == 1) before = OpenDescriptors();  // after the first round: the test's own are open
    line.Unplug();
    port.SendSer(Bytes{0x0B});
    ASSERT_FALSE(port.IsOpen());
    line.Plug();
    ASSERT_TRUE(WaitUntil([&] { return port.Usable(); }));
    ASSERT_TRUE(port.SendSer(Bytes{0x0C}));
    ASSERT_EQ(line.Read(1), Bytes{0x0C});
  }
  EXPECT_EQ(OpenDescriptors(), *before);
  const std::string out = console.Text();
  EXPECT_EQ(Count(out, "Serial line lost: "), 20u);
  EXPECT_EQ(Count(out, "Serial line back: "), 20u);
}

// --- permission denied ---

// The console of a line made as an unprivileged user in a child process; nullopt when rights
// cannot be dropped (as root, to nobody).
std::optional<std::string> ConsoleOfLineMadeUnprivileged(const std::string& device) {
  int out[2];
  if (::pipe(out) != 0) return std::nullopt;
  std::fflush(stdout);  // the child must not write out the parent's buffered output
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(77);
    ::setenv("VEXANET_COM1", device.c_str(), 1);
    {
      SerOutPort port = MakeLine("COM1");
    }
    std::fflush(stdout);
    ::_exit(0);
  }
  ::close(out[1]);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = ::read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

TEST(SerOutPortRecovery, PermissionDeniedGivesTheHint) {
  PluggableLine line;
  line.Plug();
  ASSERT_EQ(::chmod(line.slave().c_str(), 0), 0);
  // Only the device is refused: the link's folder is open to everyone.
  fs::permissions(line.folder(), fs::perms::all);
  const std::optional<std::string> out = ConsoleOfLineMadeUnprivileged(line.link());
  if (!out) GTEST_SKIP() << "running as root and cannot drop rights to test a refused open";
  EXPECT_EQ(*out,
            "SerialIOException: SerOpenPort failed: 1004\n"
            "Serial line: " + line.link() + ": permission denied: the user running the server "
            "must be allowed to open it (on Debian: the dialout group)\n");
}

// --- what the port core tells about a failure ---

TEST(SerialPortLocalCause, OpenAndTransferErrorsCarryTheCause) {
  PluggableLine line;
  auto cfg = std::make_shared<SerialKit::SerialConfig>("COM1");
  try {
    SerialKit::SerialPortLocal missing(cfg);
    ADD_FAILURE() << "opened a missing device";
  } catch (const SerialKit::SerialIOException& e) {
    EXPECT_STREQ(e.what(), "SerOpenPort failed: Port not valid");
    EXPECT_EQ(e.detail().cause, IOErrorCause::kMissing);
    EXPECT_EQ(e.detail().osError, ENOENT);
    EXPECT_EQ(e.detail().device, line.link());
  }

  line.Plug();
  SerialKit::SerialPortLocal port(cfg);
  EXPECT_EQ(port.devicePath(), line.link());
  port.putData(Bytes{0x01});
  ASSERT_EQ(line.Read(1), Bytes{0x01});
  line.Unplug();
  for (int i = 0; i < 2; ++i) {  // the first failure finds it gone, the next are refused at once
    try {
      port.putData(Bytes{0x02});
      ADD_FAILURE() << "sent to a vanished device";
    } catch (const SerialKit::SerialIOException& e) {
      EXPECT_STREQ(e.what(), "PutData1: Sent only -1 of 1 bytes");
      EXPECT_EQ(e.detail().cause, IOErrorCause::kDeviceGone);
      EXPECT_EQ(e.detail().osError, EIO);
    }
  }
}

}  // namespace
