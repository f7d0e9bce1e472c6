#include "ServerProcess.h"

#include "ProgramCommand.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vexanet::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// The environment for a child: ours, less what `launch` removes, plus what it adds.
std::vector<std::string> ChildEnvironment(const Launch& launch) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (StartsWith(entry, "VEXANET_COM")) continue;
    if (launch.headless &&
        (StartsWith(entry, "DISPLAY=") || StartsWith(entry, "WAYLAND_DISPLAY=") ||
         StartsWith(entry, "QT_QPA_PLATFORM=")))
      continue;
    env.emplace_back(entry);
  }
  for (const auto& [name, value] : launch.env) env.push_back(name + "=" + value);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (auto& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

// posix_spawn file actions, destroyed on every path.
class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&fa_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  ~FileActions() { posix_spawn_file_actions_destroy(&fa_); }
  posix_spawn_file_actions_t* get() { return &fa_; }

 private:
  posix_spawn_file_actions_t fa_;
};

std::optional<int> DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return std::nullopt;
}

// Waits for a child with a deadline; nullopt if it is still running.
std::optional<int> WaitChild(pid_t pid, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return DecodeStatus(status);
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
}

bool BindTest(int family, int port) {
  UniqueFd s(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) return false;
  const int one = 1;
  ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (family == AF_INET6) {
    const int zero = 0;
    ::setsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    return ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

}  // namespace

// ---- FdRecorder ---------------------------------------------------------------------------------

FdRecorder::FdRecorder(int fd, Sink sink)
    : fd_(fd), sink_(std::move(sink)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_) throw SystemError("eventfd");
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

FdRecorder::~FdRecorder() {
  thread_.request_stop();
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
  // The jthread joins here, before the descriptors go.
  if (thread_.joinable()) thread_.join();
}

void FdRecorder::Run(std::stop_token stop) {
  std::array<char, 4096> buf{};
  while (!stop.stop_requested()) {
    std::array<pollfd, 2> p{pollfd{fd_, POLLIN, 0}, pollfd{wake_.get(), POLLIN, 0}};
    const int r = ::poll(p.data(), p.size(), -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[1].revents != 0) break;
    if (p[0].revents == 0) continue;
    const ssize_t n = ::read(fd_, buf.data(), buf.size());
    const auto now = Clock::now();
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      sink_({}, now);  // end of stream
      break;
    }
    sink_(std::string_view(buf.data(), static_cast<std::size_t>(n)), now);
  }
}

// ---- PtyLine ------------------------------------------------------------------------------------

PtyLine::PtyLine() {
  recorder_ = std::make_unique<FdRecorder>(
      pty_.master(), [this](std::string_view data, Clock::time_point at) {
        std::lock_guard lock(mu_);
        for (const char c : data) bytes_.push_back(Byte{static_cast<uint8_t>(c), at});
        cv_.notify_all();
      });
}

PtyLine::~PtyLine() {
  recorder_.reset();
}

std::vector<PtyLine::Byte> PtyLine::Bytes() const {
  std::lock_guard lock(mu_);
  return bytes_;
}

std::vector<PtyLine::Byte> PtyLine::WaitForBytes(std::size_t count, Clock::duration timeout) const {
  std::unique_lock lock(mu_);
  cv_.wait_for(lock, timeout, [&] { return bytes_.size() >= count; });
  return bytes_;
}

// ---- ServerProcess ------------------------------------------------------------------------------

ServerProcess::ServerProcess(const Launch& launch) : stderrPath_(launch.workdir / "server.stderr") {
  std::array<int, 2> out{};
  if (::pipe2(out.data(), O_CLOEXEC) != 0) throw SystemError("pipe2");
  out_ = UniqueFd(out[0]);
  UniqueFd write_end(out[1]);

  std::vector<std::string> argv_s = launch.wrapper;
  for (auto& word : testing_support::ProgramCommand(launch.exe.string(), launch.args))
    argv_s.push_back(std::move(word));
  std::vector<std::string> env_s = ChildEnvironment(launch);
  std::vector<char*> argv = Pointers(argv_s);
  std::vector<char*> envp = Pointers(env_s);

  FileActions fa;
  posix_spawn_file_actions_addchdir_np(fa.get(), launch.workdir.c_str());
  posix_spawn_file_actions_adddup2(fa.get(), write_end.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(fa.get(), STDERR_FILENO, stderrPath_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(fa.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const int rc = ::posix_spawn(&pid_, argv[0], fa.get(), nullptr, argv.data(), envp.data());
  if (rc != 0) {
    errno = rc;
    pid_ = -1;
    throw SystemError("cannot start " + launch.exe.string());
  }
  write_end.Reset();
  recorder_ =
      std::make_unique<FdRecorder>(out_.get(), [this](std::string_view data, Clock::time_point at) {
        std::lock_guard lock(mu_);
        if (data.empty()) {  // end of output: a last line without its end counts too
          if (!partial_.empty()) lines_.push_back(Line{std::exchange(partial_, {}), at});
          ended_ = true;
        }
        partial_.append(data);
        std::size_t nl;
        while ((nl = partial_.find('\n')) != std::string::npos) {
          lines_.push_back(Line{partial_.substr(0, nl), at});
          partial_.erase(0, nl + 1);
        }
        cv_.notify_all();
      });
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  recorder_.reset();
}

std::vector<ServerProcess::Line> ServerProcess::Lines() const {
  std::lock_guard lock(mu_);
  return lines_;
}

std::optional<std::size_t> ServerProcess::WaitForLine(
    const std::function<bool(const std::string&)>& match, Clock::duration timeout,
    std::size_t from) const {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock lock(mu_);
  std::size_t next = from;
  for (;;) {
    for (; next < lines_.size(); ++next)
      if (match(lines_[next].text)) return next;
    if (ended_) return std::nullopt;
    if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && next >= lines_.size())
      return std::nullopt;
  }
}

std::optional<std::size_t> ServerProcess::WaitForExact(const std::string& text,
                                                       Clock::duration timeout,
                                                       std::size_t from) const {
  return WaitForLine([&](const std::string& line) { return line == text; }, timeout, from);
}

std::optional<std::size_t> ServerProcess::WaitForNth(const std::string& text, std::size_t count,
                                                     Clock::duration timeout) const {
  const auto deadline = Clock::now() + timeout;
  std::optional<std::size_t> at;
  std::size_t from = 0;
  for (std::size_t i = 0; i < count; ++i) {
    at = WaitForExact(text, deadline - Clock::now(), from);
    if (!at) return std::nullopt;
    from = *at + 1;
  }
  return at;
}

bool ServerProcess::Signal(int sig) const {
  return pid_ > 0 && ::kill(pid_, sig) == 0;
}

std::optional<int> ServerProcess::WaitExit(Clock::duration timeout) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = Clock::now() + timeout;
  std::optional<int> status = WaitChild(pid_, timeout);
  if (!status) return status;
  pid_ = -1;
  // The last lines may still be in the pipe when the process is gone: the recorder reads them
  // on its own thread (slowly under an emulator), so wait for the end of the output as well.
  std::unique_lock lock(mu_);
  cv_.wait_until(lock, deadline, [this] { return ended_; });
  return status;
}

std::string ServerProcess::Transcript() const {
  std::ostringstream s;
  s << "--- server standard output:\n";
  for (const Line& l : Lines()) s << l.text << "\n";
  std::ifstream err(stderrPath_);
  s << "--- server standard error:\n" << err.rdbuf();
  return s.str();
}

// ---- Helpers ------------------------------------------------------------------------------------

std::optional<int> RunTool(const fs::path& exe, const std::vector<std::string>& args,
                           Clock::duration timeout) {
  std::vector<std::string> argv_s = testing_support::ProgramCommand(exe.string(), args);
  std::vector<char*> argv = Pointers(argv_s);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    return std::nullopt;
  std::optional<int> status = WaitChild(pid, timeout);
  if (!status) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return status;
}

int PickFreePort(int low, int high) {
  std::random_device seed;
  std::mt19937 gen(seed());
  const int span = high - low + 1;
  const int start = std::uniform_int_distribution<int>(0, span - 1)(gen);
  const bool v6 = UniqueFd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)).get() >= 0;
  for (int i = 0; i < span; ++i) {
    const int port = low + (start + i) % span;
    if (BindTest(v6 ? AF_INET6 : AF_INET, port)) return port;
  }
  return 0;
}

std::unique_ptr<ServerProcess> StartListening(const Programs& programs, Launch launch,
                                              const std::vector<std::string>& configArgs, int* port,
                                              int portLow, int portHigh) {
  constexpr int kAttempts = 6;
  std::string last;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int p = PickFreePort(portLow, portHigh);
    if (p == 0) throw std::runtime_error("no free TCP port in the configurable range");
    std::vector<std::string> args{"write", (launch.workdir / "VexaNetCFG.bin").string(),
                                  "--tcp-port", std::to_string(p)};
    args.insert(args.end(), configArgs.begin(), configArgs.end());
    if (RunTool(programs.config, args, 10s) != 0)
      throw std::runtime_error("vexanet-config could not write the configuration file");
    launch.exe = programs.server;
    auto server = std::make_unique<ServerProcess>(launch);
    const std::string opened = StatusLine("Server Socket Opened OK at Port " + std::to_string(p));
    const std::string taken = StatusLine("Can't Get ServerSocket at Port " + std::to_string(p));
    const auto at =
        server->WaitForLine([&](const std::string& l) { return l == opened || l == taken; }, 20s);
    if (!at)
      throw std::runtime_error("the server did not open its socket\n" + server->Transcript());
    if (server->Lines()[*at].text == opened) {
      *port = p;
      return server;
    }
    last = server->Transcript();
  }
  throw std::runtime_error("no listening socket after several ports\n" + last);
}

}  // namespace vexanet::e2e
