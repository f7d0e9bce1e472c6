// The serial line surviving its USB adapter, through the built server and the built simulated
// board: the board's link is COM1 (VEXANET_COM1); SIGUSR1 unplugs the board (the link goes, the
// pseudo-terminal closes) and SIGUSR2 plugs it back (a new pseudo-terminal behind the same link).
// Also: a line missing at start that appears later, a line the server may not open, and what a
// line that stays down costs the server (CPU time, descriptors).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "E2eFixture.h"
#include "ProgramCommand.h"

extern char** environ;

namespace vexanet::e2e {
namespace {

namespace fs = std::filesystem;

// One retry period, the resend of eight bytes with their pauses, and slack for a loaded machine.
constexpr auto kBackDeadline = 1s + 8 * 150ms + 2s;

std::string LostPrefix() {
  return "Serial line lost: ";
}
std::string BackLine(const std::string& device) {
  return "Serial line back: " + device + ", relay states sent again";
}

// The built vexanet-board with --json --link LINK: every byte it receives is recorded from its
// standard output with its arrival time. Ended with SIGTERM (then killed) on destruction.
class Board {
 public:
  struct Received {
    uint8_t value;
    Clock::time_point at;
  };

  Board(const fs::path& link, const fs::path& stderrFile) : link_(link) {
    std::array<int, 2> out{};
    if (::pipe2(out.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    out_ = UniqueFd(out[0]);
    UniqueFd write_end(out[1]);
    std::vector<std::string> args =
        testing_support::ProgramCommand(VEXANET_BOARD_EXE, {"--json", "--link", link.string()});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, write_end.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, stderrFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const int rc = ::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
    write_end.Reset();
    recorder_ = std::make_unique<FdRecorder>(out_.get(), [this](std::string_view data,
                                                                Clock::time_point at) {
      static const std::regex byte(R"(^\{"byte":(\d+),)");
      std::lock_guard lock(mu_);
      partial_.append(data);
      std::size_t nl;
      while ((nl = partial_.find('\n')) != std::string::npos) {
        std::smatch m;
        const std::string line = partial_.substr(0, nl);
        if (std::regex_search(line, m, byte)) {
          received_.push_back(Received{static_cast<uint8_t>(std::stoi(m[1])), at});
        }
        partial_.erase(0, nl + 1);
      }
      cv_.notify_all();
    });
    if (!WaitForLink(true)) throw std::runtime_error("the board made no link");
  }
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;
  ~Board() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      const auto end = Clock::now() + kDeadline;
      int status = 0;
      while (::waitpid(pid_, &status, WNOHANG) == 0 && Clock::now() < end) {
        std::this_thread::sleep_for(5ms);
      }
      if (::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    }
    recorder_.reset();
  }

  // Pulls the adapter: returns once the link is gone.
  bool Unplug() {
    ::kill(pid_, SIGUSR1);
    return WaitForLink(false);
  }
  // Plugs it back: returns once the link leads to the new serial end.
  bool PlugBack() {
    ::kill(pid_, SIGUSR2);
    return WaitForLink(true);
  }

  std::vector<Received> Bytes() const {
    std::lock_guard lock(mu_);
    return received_;
  }
  // Waits until `count` bytes in all have arrived; returns all so far (fewer on timeout).
  std::vector<Received> WaitForBytes(std::size_t count, Clock::duration timeout) const {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
    return received_;
  }

 private:
  bool WaitForLink(bool present) const {
    const auto end = Clock::now() + kDeadline;
    while (Clock::now() < end) {
      std::error_code ec;
      if (fs::exists(fs::symlink_status(link_, ec)) == present) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  fs::path link_;
  pid_t pid_ = -1;
  UniqueFd out_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::string partial_;
  std::vector<Received> received_;
  std::unique_ptr<FdRecorder> recorder_;
};

std::vector<uint8_t> Values(const std::vector<Board::Received>& bytes, std::size_t from,
                            std::size_t to) {
  std::vector<uint8_t> v;
  for (std::size_t i = from; i < std::min(to, bytes.size()); ++i) v.push_back(bytes[i].value);
  return v;
}

std::size_t CountLines(const ServerProcess& server, const std::function<bool(const std::string&)>&
                                                        match) {
  const auto lines = server.Lines();
  return static_cast<std::size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const auto& l) { return match(l.text); }));
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// A connected client that has been greeted.
std::optional<LineClient> Client(int port) {
  auto client = LineClient::Connect(port, kDeadline);
  if (!client || client->ReadLine(kDeadline) != std::optional<std::string>("OK")) return {};
  return client;
}

std::optional<std::string> Ask(LineClient& client, const std::string& word) {
  if (!client.Send(word + "\r\n")) return std::nullopt;
  return client.ReadLine(kDeadline);
}

class RecoveryTest : public ServerTest {
 protected:
  fs::path link() const { return dir.path() / "board-com1"; }
  std::unique_ptr<Board> board;

  void StartBoard() { board = std::make_unique<Board>(link(), dir.path() / "board.stderr"); }
  void StartServerOnTheLink() {
    StartListening({}, HeadlessLaunch({{"VEXANET_COM1", link().string()}}));
  }
  void TearDown() override {
    ServerTest::TearDown();
    board.reset();
  }
};

TEST_F(RecoveryTest, UnpluggedWithAClientConnectedAndPluggedBack) {
  ASSERT_NO_FATAL_FAILURE(StartBoard());
  ASSERT_NO_FATAL_FAILURE(StartServerOnTheLink());
  ASSERT_TRUE(WaitForReady("COM1", 0));
  ASSERT_EQ(board->WaitForBytes(8, kStartDeadline).size(), 8u);

  auto client = Client(port);
  ASSERT_TRUE(client);
  EXPECT_EQ(Ask(*client, "R1On"), std::optional<std::string>("Stat10000000"));
  ASSERT_EQ(Values(board->WaitForBytes(9, kDeadline), 8, 9), std::vector<uint8_t>{0x08});

  ASSERT_TRUE(board->Unplug());
  // Relay commands are answered as before while the line is down.
  EXPECT_EQ(Ask(*client, "R2On"), std::optional<std::string>("Stat11000000"));
  EXPECT_EQ(Ask(*client, "R3On"), std::optional<std::string>("Stat11100000"));
  const auto lost = server->WaitForLine(
      [](const std::string& l) { return StartsWith(l, LostPrefix()); }, kDeadline);
  ASSERT_TRUE(lost) << "the console says the line is lost";
  EXPECT_TRUE(server->WaitForExact(StatusLine("COM port not communicating."), kDeadline, *lost))
      << "a command on the dead line shows the usual status";

  // Plugged back: with no command from anybody, the recorded states arrive in relay order.
  ASSERT_TRUE(board->PlugBack());
  const auto plugged = Clock::now();
  const auto bytes = board->WaitForBytes(17, kBackDeadline);
  ASSERT_EQ(bytes.size(), 17u) << "the recorded states were not sent again";
  EXPECT_EQ(Values(bytes, 9, 17),
            (std::vector<uint8_t>{0x08, 0x09, 0x0A, 0x03, 0x04, 0x05, 0x06, 0x07}));
  EXPECT_LT(bytes[9].at - plugged, 1s + 500ms) << "the background retry comes once a second";
  const auto back = server->WaitForExact(BackLine(link().string()), kDeadline, *lost);
  ASSERT_TRUE(back);
  EXPECT_GE(server->Lines()[*back].at, bytes[16].at) << "said once the states are sent";

  // The client's status did not change; the next command goes through.
  EXPECT_EQ(Ask(*client, "Get"), std::optional<std::string>("Stat11100000"));
  EXPECT_EQ(Ask(*client, "R4On"), std::optional<std::string>("Stat11110000"));
  EXPECT_EQ(Values(board->WaitForBytes(18, kDeadline), 17, 18), std::vector<uint8_t>{0x0B});

  EXPECT_EQ(CountLines(*server, [](const std::string& l) { return StartsWith(l, LostPrefix()); }),
            1u);
  EXPECT_EQ(CountLines(*server,
                       [](const std::string& l) { return StartsWith(l, "Serial line back: "); }),
            1u);
}

// Pulled and plugged back between two commands, with nobody sending: the server notices the
// hang-up by itself and the board gets the recorded states back.
TEST_F(RecoveryTest, UnpluggedAndPluggedBackBetweenCommandsGetsItsStatesBack) {
  ASSERT_NO_FATAL_FAILURE(StartBoard());
  ASSERT_NO_FATAL_FAILURE(StartServerOnTheLink());
  ASSERT_TRUE(WaitForReady("COM1", 0));
  ASSERT_EQ(board->WaitForBytes(8, kStartDeadline).size(), 8u);
  auto client = Client(port);
  ASSERT_TRUE(client);
  EXPECT_EQ(Ask(*client, "R1On"), std::optional<std::string>("Stat10000000"));
  EXPECT_EQ(Ask(*client, "R3On"), std::optional<std::string>("Stat10100000"));
  ASSERT_EQ(board->WaitForBytes(10, kDeadline).size(), 10u);

  ASSERT_TRUE(board->Unplug());
  const auto lost = server->WaitForLine(
      [](const std::string& l) { return StartsWith(l, LostPrefix()); }, 1s + 500ms + 2s);
  ASSERT_TRUE(lost) << "an idle line's loss is said without a command";
  ASSERT_TRUE(board->PlugBack());
  const auto bytes = board->WaitForBytes(18, kBackDeadline);
  ASSERT_EQ(bytes.size(), 18u) << "the recorded states were not sent again";
  EXPECT_EQ(Values(bytes, 10, 18),
            (std::vector<uint8_t>{0x08, 0x01, 0x0A, 0x03, 0x04, 0x05, 0x06, 0x07}));
  EXPECT_TRUE(server->WaitForExact(BackLine(link().string()), kDeadline, *lost));
  EXPECT_EQ(Ask(*client, "Get"), std::optional<std::string>("Stat10100000"));
}

TEST_F(RecoveryTest, LineMissingAtStartIsUsedOnceItAppears) {
  ASSERT_NO_FATAL_FAILURE(StartServerOnTheLink());
  const auto ready = WaitForReady("COM1", 0);
  ASSERT_TRUE(ready);
  const auto failed =
      server->WaitForExact("SerialIOException: SerOpenPort failed: Port not valid", kDeadline);
  ASSERT_TRUE(failed);
  const auto lines = server->Lines();
  ASSERT_GT(lines.size(), *failed + 1);
  EXPECT_EQ(lines[*failed + 1].text,
            "Serial line: " + link().string() +
                " does not exist; VEXANET_COM1 can name another device (e.g. "
                "VEXANET_COM1=/dev/ttyUSB0, or a /dev/serial/by-id/ path)");
  EXPECT_EQ(CountLines(*server,
                       [](const std::string& l) {
                         return l == StatusLine("COM port not communicating.");
                       }),
            8u);

  ASSERT_NO_FATAL_FAILURE(StartBoard());
  // The recorded states (all off since start-up) reach the board without a restart.
  const auto bytes = board->WaitForBytes(8, kBackDeadline);
  EXPECT_EQ(Values(bytes, 0, 8),
            (std::vector<uint8_t>{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}));
  EXPECT_TRUE(server->WaitForExact(BackLine(link().string()), kDeadline, *ready));
  auto client = Client(port);
  ASSERT_TRUE(client);
  EXPECT_EQ(Ask(*client, "R1On"), std::optional<std::string>("Stat10000000"));
  EXPECT_EQ(Values(board->WaitForBytes(9, kDeadline), 8, 9), std::vector<uint8_t>{0x08});
}

// The server runs as an unprivileged user (when the test runs as root: through setpriv, as
// nobody) and the device's mode is 000.
TEST_F(RecoveryTest, DeviceThatMayNotBeOpenedGivesTheHint) {
  ASSERT_EQ(::chmod(com1.path().c_str(), 0), 0) << std::strerror(errno);
  const fs::path cfg = dir.path() / "VexaNetCFG.bin";
  ASSERT_EQ(RunTool(programs.config, {"write", cfg.string(), "--manual"}, kDeadline), 0);
  Launch launch = HeadlessLaunch({{"VEXANET_COM1", com1.path()}});
  if (::geteuid() == 0) {
    const fs::path setpriv = "/usr/bin/setpriv";
    if (!fs::exists(setpriv)) GTEST_SKIP() << "running as root without setpriv to drop rights";
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    fs::permissions(cfg, fs::perms::owner_read | fs::perms::owner_write |
                             fs::perms::group_read | fs::perms::others_read);
    launch.wrapper = {setpriv.string(), "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  server = std::make_unique<ServerProcess>(launch);
  const auto failed =
      server->WaitForExact("SerialIOException: SerOpenPort failed: 1004", kStartDeadline);
  ASSERT_TRUE(failed);
  ASSERT_TRUE(server->WaitForLine([](const std::string&) { return true; }, kDeadline,
                                  *failed + 1));
  EXPECT_EQ(server->Lines()[*failed + 1].text,
            "Serial line: " + com1.path() +
                ": permission denied: the user running the server must be allowed to open it "
                "(on Debian: the dialout group)");
}

// /proc/PID/stat: user and system time in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

int Descriptors(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec)) {
    ++n;
  }
  return n;
}

// The device is held by another process: every retry opens it and is refused.
TEST_F(RecoveryTest, LineThatStaysDownCostsNoCpuAndNoDescriptors) {
  UniqueFd holder(::open(com1.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(holder);
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  ASSERT_NO_FATAL_FAILURE(StartListening({}, HeadlessLaunch({{"VEXANET_COM1", com1.path()}})));
  ASSERT_TRUE(WaitForReady("COM1", 0));
  ASSERT_TRUE(server->WaitForExact("SerialIOException: SerOpenPort failed: Port is in use",
                                   kDeadline));
  const int fds = Descriptors(server->pid());
  const long ticks = CpuTicks(server->pid());
  ASSERT_GT(fds, 0);
  ASSERT_GE(ticks, 0);
  std::this_thread::sleep_for(3500ms);  // three or four refused tries
  EXPECT_LT(CpuTicks(server->pid()) - ticks, sysconf(_SC_CLK_TCK) / 5) << "busy while down";
  EXPECT_EQ(Descriptors(server->pid()), fds);

  // Released: the line opens without a restart, and its first bytes are the recorded states.
  holder.Reset();
  const auto bytes = com1.WaitForBytes(8, kBackDeadline);
  ASSERT_EQ(bytes.size(), 8u);
  for (std::size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i].value, i) << "relay " << i;
}

}  // namespace
}  // namespace vexanet::e2e
