// Drives the built vexanet-server from outside, through its real interfaces only: a configuration
// file in a temporary folder, COM ports mapped to pseudo-terminals, TCP on loopback and standard
// output. Used by the end-to-end tests, the client's tests and the benchmark.
//
// Threads: a PtyLine and a ServerProcess each own one reader thread that records what arrives
// (bytes on the serial end, lines on the server's standard output) with its arrival time on the
// steady clock; the owner waits on those records with a deadline. Clients are LineClients, which
// have no thread. Every descriptor and process is released by its owner's destructor; a server
// still running is killed and reaped.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "LineClient.h"
#include "PtyPair.h"
#include "TempDir.h"
#include "UniqueFd.h"

namespace vexanet::e2e {

using Clock = std::chrono::steady_clock;

using testing_support::LineClient;
using testing_support::PtyPair;
using testing_support::TempDir;
using testing_support::UniqueFd;

// Reads a descriptor on a thread of its own until end of stream or destruction, handing every
// chunk with its arrival time to `sink`.
class FdRecorder {
 public:
  using Sink = std::function<void(std::string_view, Clock::time_point)>;
  FdRecorder(int fd, Sink sink);
  FdRecorder(const FdRecorder&) = delete;
  FdRecorder& operator=(const FdRecorder&) = delete;
  ~FdRecorder();

 private:
  void Run(std::stop_token stop);

  int fd_;
  Sink sink_;
  UniqueFd wake_;  // eventfd that ends the wait in poll
  std::jthread thread_;
};

// A pseudo-terminal pair whose master end is recorded: every byte the server writes to the serial
// end is kept with its arrival time.
class PtyLine {
 public:
  struct Byte {
    uint8_t value;
    Clock::time_point at;
  };

  PtyLine();  // throws std::runtime_error when no pseudo-terminal can be had
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;
  ~PtyLine();

  const std::string& path() const { return pty_.path(); }
  int master() const { return pty_.master(); }

  // Every byte received so far.
  std::vector<Byte> Bytes() const;
  // Waits until `count` bytes in all have arrived; returns all bytes so far (fewer on timeout).
  std::vector<Byte> WaitForBytes(std::size_t count, Clock::duration timeout) const;
  // The line settings of the serial end as the server left them.
  termios Settings() const { return pty_.SerialSettings(); }

 private:
  PtyPair pty_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<Byte> bytes_;
  std::unique_ptr<FdRecorder> recorder_;
};

// How to start a process.
struct Launch {
  std::filesystem::path exe;  // a program of this build
  std::filesystem::path workdir;
  std::vector<std::string> args;
  // A program of this machine, with its arguments, that starts `exe` (for example setpriv to
  // drop rights); empty: `exe` is started directly (through the emulator in a cross build).
  std::vector<std::string> wrapper;
  // Added to the environment after the headless filter below.
  std::vector<std::pair<std::string, std::string>> env;
  // Removes DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM, so the server runs without a window
  // and writes its status texts to standard output. VEXANET_COM* variables are always removed.
  bool headless = true;
};

// One vexanet-server process: standard output on a pipe, recorded line by line; standard error in
// a file in the working folder.
class ServerProcess {
 public:
  struct Line {
    std::string text;
    Clock::time_point at;
  };

  explicit ServerProcess(const Launch& launch);  // throws std::runtime_error if it cannot start
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  ~ServerProcess();  // kills and reaps the process if it still runs

  pid_t pid() const { return pid_; }

  // Every complete line so far.
  std::vector<Line> Lines() const;
  // Index of the first line at or after `from` for which `match` holds, waiting up to `timeout`.
  std::optional<std::size_t> WaitForLine(const std::function<bool(const std::string&)>& match,
                                         Clock::duration timeout, std::size_t from = 0) const;
  std::optional<std::size_t> WaitForExact(const std::string& text, Clock::duration timeout,
                                          std::size_t from = 0) const;
  // Index of the `count`-th line equal to `text`.
  std::optional<std::size_t> WaitForNth(const std::string& text, std::size_t count,
                                        Clock::duration timeout) const;

  bool Signal(int sig) const;
  // Exit status (128 + signal number for a signal) once the process ended; nullopt on timeout.
  // Lines() then holds everything it wrote (its output is read to the end within `timeout`).
  std::optional<int> WaitExit(Clock::duration timeout);
  // Standard output and standard error so far, for a failure message.
  std::string Transcript() const;

 private:
  pid_t pid_ = -1;
  UniqueFd out_;
  std::filesystem::path stderrPath_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<Line> lines_;
  std::string partial_;
  bool ended_ = false;  // standard output reached its end
  std::unique_ptr<FdRecorder> recorder_;
};

// Runs `exe` with `args` and waits for it; its exit status, or nullopt if it did not end in time
// (it is killed then).
std::optional<int> RunTool(const std::filesystem::path& exe, const std::vector<std::string>& args,
                           Clock::duration timeout);

// A TCP port in [low, high] that nothing listens on right now (chosen at random, so that tests
// running at the same time rarely pick the same one), or 0 if none was found.
int PickFreePort(int low, int high);

// Where the programs are.
struct Programs {
  std::filesystem::path server;
  std::filesystem::path config;
};

// A server listening on a free port: writes VexaNetCFG.bin into `workdir` with `configArgs` plus
// --tcp-port P, starts the server and waits until it reports the listening socket open. A port
// taken between the check and the server's bind is retried with another one. Returns the process
// and sets *port; throws std::runtime_error after repeated failures.
std::unique_ptr<ServerProcess> StartListening(const Programs& programs, Launch launch,
                                              const std::vector<std::string>& configArgs, int* port,
                                              int portLow = 3002, int portHigh = 3128);

// Expected texts.
inline constexpr std::string_view kStatusPrefix = "Status: ";
inline std::string StatusLine(std::string_view text) {
  return std::string(kStatusPrefix) + std::string(text);
}

}  // namespace vexanet::e2e
