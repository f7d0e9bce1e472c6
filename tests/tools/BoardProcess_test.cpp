// The built vexanet-board as a process: the link, JSON lines, surviving a reopened line, the
// line-setting warning, a clean end on SIGTERM, unplugging and plugging back, and a restarted
// board taking over the link. Every wait has a deadline.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ProgramCommand.h"
#include "TempDir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = 10s;  // generous: only a hang ever reaches it

using testing_support::TempDir;

// The board process with its standard output on a pipe and standard error in a file. Killed and
// reaped on destruction if a test ends early.
class Board {
 public:
  Board(const std::vector<std::string>& args, const fs::path& stderr_file) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> argv_s = testing_support::ProgramCommand(VEXANET_BOARD_EXE, args);
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, stderr_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    out_ = out[0];
  }
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;
  ~Board() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  bool started() const { return pid_ > 0; }
  void Signal(int sig) { ::kill(pid_, sig); }

  // Exit status once the process ended, nullopt when it has not within the deadline.
  std::optional<int> Wait() {
    const auto end = Clock::now() + kDeadline;
    while (Clock::now() < end) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

  // The next `count` lines of standard output (fewer if the deadline passes).
  std::vector<std::string> Lines(std::size_t count) {
    std::vector<std::string> lines;
    const auto end = Clock::now() + kDeadline;
    while (lines.size() < count) {
      const auto nl = pending_.find('\n');
      if (nl != std::string::npos) {
        lines.push_back(pending_.substr(0, nl));
        pending_.erase(0, nl + 1);
        continue;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left <= 0ms) break;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[256];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) break;
      pending_.append(buf, static_cast<std::size_t>(n));
    }
    return lines;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
};

bool WaitForPath(const fs::path& p) {
  const auto end = Clock::now() + kDeadline;
  while (Clock::now() < end) {
    if (fs::exists(fs::symlink_status(p))) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Opens the serial end through the link, as the server would; `configure` applies 9600 8N1 raw.
int OpenLine(const fs::path& link, bool configure) {
  const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 || !configure) return fd;
  termios t{};
  ::tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B9600);
  t.c_cflag |= CLOCAL | CREAD;
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

bool WriteBytes(int fd, std::initializer_list<std::uint8_t> bytes) {
  const std::vector<std::uint8_t> v(bytes);
  return ::write(fd, v.data(), v.size()) == static_cast<ssize_t>(v.size());
}

struct Json {
  int byte, board, relay, state;
};

// Parses one line of --json output; the test fails on any other shape.
std::optional<Json> ParseJson(const std::string& line) {
  static const std::regex re(R"(^\{"byte":(\d+),"board":(\d+),"relay":(\d+),"state":(\d),)"
                             R"("time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"\}$)");
  std::smatch m;
  if (!std::regex_match(line, m, re)) return std::nullopt;
  return Json{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])};
}

void ExpectJson(const std::string& line, int byte, int board, int relay, int state) {
  const auto j = ParseJson(line);
  ASSERT_TRUE(j) << "not a JSON line: " << line;
  EXPECT_EQ(j->byte, byte) << line;
  EXPECT_EQ(j->board, board) << line;
  EXPECT_EQ(j->relay, relay) << line;
  EXPECT_EQ(j->state, state) << line;
}

// Waits until `text` shows up in the file (the board's standard error).
bool WaitForText(const fs::path& file, const std::string& text) {
  const auto end = Clock::now() + kDeadline;
  while (Clock::now() < end) {
    if (ReadFile(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(BoardProcess, ServesTheLineAcrossReopeningAndEndsCleanlyOnSigterm) {
  TempDir dir("vexanet-board");
  const fs::path link = dir.path() / "com1";
  const fs::path err = dir.path() / "stderr.txt";
  Board board({"--json", "--link", link.string()}, err);
  ASSERT_TRUE(board.started());
  ASSERT_TRUE(WaitForPath(link)) << ReadFile(err);
  EXPECT_TRUE(fs::is_symlink(link));
  const std::string slave = fs::read_symlink(link).string();
  EXPECT_TRUE(WaitForText(err, slave)) << "banner names the serial end\n" << ReadFile(err);

  int fd = OpenLine(link, true);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_TRUE(WriteBytes(fd, {0x0B, 0x38, 0x7F}));
  auto lines = board.Lines(3);
  ASSERT_EQ(lines.size(), 3u) << ReadFile(err);
  ExpectJson(lines[0], 0x0B, 0, 4, 1);
  ExpectJson(lines[1], 0x38, 3, 1, 1);
  ExpectJson(lines[2], 0x7F, 7, 8, 1);

  // The server closes the line and opens it again: the board is still there.
  ::close(fd);
  std::this_thread::sleep_for(50ms);
  fd = OpenLine(link, true);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_TRUE(WriteBytes(fd, {0x00, 0x0A}));
  lines = board.Lines(2);
  ASSERT_EQ(lines.size(), 2u) << ReadFile(err);
  ExpectJson(lines[0], 0x00, 0, 1, 0);
  ExpectJson(lines[1], 0x0A, 0, 3, 1);  // a line feed byte arrives unchanged on a raw line
  ::close(fd);

  board.Signal(SIGTERM);
  const auto status = board.Wait();
  ASSERT_TRUE(status) << "did not end on SIGTERM";
  EXPECT_EQ(*status, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "link left behind";
  EXPECT_EQ(ReadFile(err).find("warning"), std::string::npos) << ReadFile(err);
}

TEST(BoardProcess, WarnsOnceWhenTheLineIsLeftUnset) {
  TempDir dir("vexanet-board");
  const fs::path link = dir.path() / "com1";
  const fs::path err = dir.path() / "stderr.txt";
  Board board({"--json", "--quiet", "--link", link.string()}, err);
  ASSERT_TRUE(board.started());
  ASSERT_TRUE(WaitForPath(link)) << ReadFile(err);

  const int fd = OpenLine(link, false);  // the system's default: canonical, echo, 38400
  ASSERT_GE(fd, 0) << std::strerror(errno);
  for (std::uint8_t b : {0x0B, 0x0C, 0x0D}) {
    ASSERT_TRUE(WriteBytes(fd, {b}));
    const auto lines = board.Lines(1);
    ASSERT_EQ(lines.size(), 1u);
    ExpectJson(lines[0], b, 0, b - 0x08 + 1, 1);
  }
  ::close(fd);

  board.Signal(SIGINT);
  const auto status = board.Wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
  const std::string text = ReadFile(err);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << "--quiet: only the warning\n" << text;
  EXPECT_NE(text.find("warning"), std::string::npos) << text;
  EXPECT_NE(text.find("canonical input"), std::string::npos) << text;
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

bool WaitForNoPath(const fs::path& p) {
  const auto end = Clock::now() + kDeadline;
  while (Clock::now() < end) {
    if (!fs::exists(fs::symlink_status(p))) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// The errno of the first write to fd that fails within the deadline, 0 if none does.
int WriteFailure(int fd) {
  const auto end = Clock::now() + kDeadline;
  while (Clock::now() < end) {
    const std::uint8_t b = 0x01;
    if (::write(fd, &b, 1) < 0) return errno;
    std::this_thread::sleep_for(10ms);
  }
  return 0;
}

// The board part of a plain output line ("board 0   R1 off  R2 ON ...").
std::string BoardPart(const std::string& line) {
  const auto bar = line.find(" | ");
  return bar == std::string::npos ? std::string() : line.substr(bar + 3);
}

TEST(BoardProcess, UnplugAndPlugBackKeepTheLinkAndDropTheRelays) {
  TempDir dir("vexanet-board");
  const fs::path link = dir.path() / "com1";
  const fs::path err = dir.path() / "stderr.txt";
  Board board({"--link", link.string()}, err);  // plain lines: they show the relays
  ASSERT_TRUE(board.started());
  ASSERT_TRUE(WaitForPath(link)) << ReadFile(err);
  // The banner follows the link, so it may still be on its way.
  EXPECT_TRUE(WaitForText(err, "USR1")) << "the banner says how to unplug\n" << ReadFile(err);

  int fd = OpenLine(link, true);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_TRUE(WriteBytes(fd, {0x0B}));  // R4 on
  auto lines = board.Lines(1);
  ASSERT_EQ(lines.size(), 1u) << ReadFile(err);
  EXPECT_NE(BoardPart(lines[0]).find("R4 ON"), std::string::npos) << lines[0];

  // Unplugged: the link goes, and the line fails as a pulled adapter does.
  board.Signal(SIGUSR1);
  ASSERT_TRUE(WaitForNoPath(link)) << ReadFile(err);
  EXPECT_EQ(WriteFailure(fd), EIO);
  ::close(fd);
  EXPECT_TRUE(WaitForText(err, "unplugged")) << ReadFile(err);
  board.Signal(SIGUSR1);  // unplugging again changes nothing

  // Plugged back: the same link name leads to a new serial end; the relays lost power.
  board.Signal(SIGUSR2);
  ASSERT_TRUE(WaitForPath(link)) << ReadFile(err);
  EXPECT_TRUE(WaitForText(err, "plugged back: serial end " + fs::read_symlink(link).string()))
      << ReadFile(err);
  board.Signal(SIGUSR2);  // plugging in again changes nothing either
  fd = OpenLine(link, true);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_TRUE(WriteBytes(fd, {0x0C}));  // R5 on
  lines = board.Lines(1);
  ASSERT_EQ(lines.size(), 1u) << ReadFile(err);
  EXPECT_NE(BoardPart(lines[0]).find("R4 off"), std::string::npos) << lines[0];
  EXPECT_NE(BoardPart(lines[0]).find("R5 ON"), std::string::npos) << lines[0];
  ::close(fd);

  board.Signal(SIGTERM);
  const auto status = board.Wait();
  ASSERT_TRUE(status) << "did not end on SIGTERM";
  EXPECT_EQ(*status, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "link left behind";
}

TEST(BoardProcess, EndsCleanlyWhileUnplugged) {
  TempDir dir("vexanet-board");
  const fs::path link = dir.path() / "com1";
  const fs::path err = dir.path() / "stderr.txt";
  Board board({"--json", "--quiet", "--link", link.string()}, err);
  ASSERT_TRUE(board.started());
  ASSERT_TRUE(WaitForPath(link)) << ReadFile(err);
  board.Signal(SIGUSR1);
  ASSERT_TRUE(WaitForNoPath(link)) << ReadFile(err);
  board.Signal(SIGINT);
  const auto status = board.Wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

// A board killed outright leaves its link behind; the next board on the same name takes it over.
TEST(BoardProcess, RestartedBoardTakesOverTheLink) {
  TempDir dir("vexanet-board");
  const fs::path link = dir.path() / "com1";
  {
    Board killed({"--json", "--quiet", "--link", link.string()}, dir.path() / "first.txt");
    ASSERT_TRUE(killed.started());
    ASSERT_TRUE(WaitForPath(link));
    killed.Signal(SIGKILL);
    ASSERT_TRUE(killed.Wait());
  }
  ASSERT_TRUE(fs::is_symlink(link)) << "a killed board cannot remove its link";

  const fs::path err = dir.path() / "second.txt";
  Board board({"--json", "--link", link.string()}, err);
  ASSERT_TRUE(board.started());
  // The banner comes once the link is the new board's.
  ASSERT_TRUE(WaitForText(err, "link " + link.string() + " -> ")) << ReadFile(err);
  const int fd = OpenLine(link, true);
  ASSERT_GE(fd, 0) << std::strerror(errno) << ReadFile(err);
  ASSERT_TRUE(WriteBytes(fd, {0x0B}));
  const auto lines = board.Lines(1);
  ASSERT_EQ(lines.size(), 1u) << ReadFile(err);
  ExpectJson(lines[0], 0x0B, 0, 4, 1);
  ::close(fd);
}

TEST(BoardProcess, HelpSaysHowToUnplugAndPlugBack) {
  TempDir dir("vexanet-board");
  Board board({"--help"}, dir.path() / "stderr.txt");
  ASSERT_TRUE(board.started());
  std::string help;
  for (const auto& line : board.Lines(200)) help += line + "\n";
  EXPECT_NE(help.find("SIGUSR1 unplugs"), std::string::npos) << help;
  EXPECT_NE(help.find("SIGUSR2 plugs it back"), std::string::npos) << help;
  EXPECT_EQ(board.Wait(), std::optional<int>(0));
}

}  // namespace
