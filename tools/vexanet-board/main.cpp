// vexanet-board: plays an eight-relay board on a pseudo-terminal, for trying and testing the server
// without hardware.
//
// One thread, one poll loop over two descriptors: the pseudo-terminal's master end, where every
// byte the server writes to the serial end arrives, and a signalfd for SIGINT, SIGTERM and SIGHUP,
// which end the loop, and SIGUSR1 and SIGUSR2, which unplug and plug back. The board keeps a
// descriptor of the serial end open itself, so the master never sees a hangup when the server
// closes the line, and the server can reopen it at any time. Between bytes the loop wakes every
// 100 ms to read the line setting the server applied.
//
// Unplugging does what pulling a USB adapter does: the link goes, the pseudo-terminal is closed
// (the server's next write fails with EIO, and the serial end's path no longer exists), and the
// board loses power (every relay off). Plugging back makes a new pseudo-terminal and points the
// link at it, as a re-enumerated adapter reappears under its /dev/serial/by-id/ name.
//
// Output: --json prints one JSON object per byte on standard output; otherwise a terminal gets a
// view of the addressed boards that updates in place, and anything else one plain line per byte.
// The banner and warnings go to standard error, so standard output carries only the bytes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vexanet-board/Board.h"
#include "vexanet-board/Link.h"

namespace {

using namespace vexanet::board;
using namespace std::chrono_literals;

constexpr auto kTick = 100ms;    // how often the line setting is read between bytes
constexpr auto kSettle = 300ms;  // a setting unchanged this long is judged
constexpr const char* kName = "vexanet-board";

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~Fd() { Reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  void Reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
};

// Writes all of `text`; false when the descriptor is gone (a closed pipe, say).
bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 1000);
        continue;
      }
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void Diagnostic(const std::string& text) {
  WriteAll(STDERR_FILENO, std::string(kName) + ": " + text + "\n");
}

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

struct Pty {
  Fd master;
  Fd slave;  // held open for the whole run: see the comment at the top
  std::string path;
};

// Opens a pseudo-terminal pair; on failure returns nullopt after saying why.
std::optional<Pty> OpenPty() {
  Pty pty;
  pty.master = Fd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!pty.master) {
    Diagnostic(Errno("cannot open a pseudo-terminal"));
    return std::nullopt;
  }
  if (::grantpt(pty.master.get()) != 0 || ::unlockpt(pty.master.get()) != 0) {
    Diagnostic(Errno("cannot unlock the pseudo-terminal"));
    return std::nullopt;
  }
  std::array<char, 128> name{};
  if (::ptsname_r(pty.master.get(), name.data(), name.size()) != 0) {
    Diagnostic(Errno("cannot name the pseudo-terminal"));
    return std::nullopt;
  }
  pty.path = name.data();
  pty.slave = Fd(::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!pty.slave) {
    Diagnostic(Errno(("cannot open " + pty.path).c_str()));
    return std::nullopt;
  }
  const int flags = ::fcntl(pty.master.get(), F_GETFL);
  if (flags < 0 || ::fcntl(pty.master.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    Diagnostic(Errno("cannot make the pseudo-terminal non-blocking"));
    return std::nullopt;
  }
  return pty;
}

// SIGINT, SIGTERM, SIGHUP, SIGUSR1 and SIGUSR2 arrive on a descriptor instead of interrupting
// the program.
Fd OpenSignalFd() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return Fd();
  return Fd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
}

// Removes the link when the program ends, on every path, while it points where we put it.
class LinkGuard {
 public:
  explicit LinkGuard(std::string link) : link_(std::move(link)) {}
  LinkGuard(const LinkGuard&) = delete;
  LinkGuard& operator=(const LinkGuard&) = delete;
  ~LinkGuard() { Remove(); }

  // Points the link at `target`; an empty text on success, else why not.
  std::string Point(const std::string& target) {
    if (link_.empty()) return {};
    std::string err = MakeLink(link_, target);
    target_ = err.empty() ? target : std::string();
    return err;
  }
  void Remove() {
    if (!link_.empty() && !target_.empty()) RemoveLinkIfOurs(link_, target_);
    target_.clear();
  }

 private:
  std::string link_;
  std::string target_;  // empty while the link is not ours
};

enum class Mode { kJson, kTerminal, kPlain };

struct Options {
  std::string link;
  bool json = false;
  bool quiet = false;
};

int Run(const Options& opt) {
  ::signal(SIGPIPE, SIG_IGN);
  Fd signals = OpenSignalFd();
  if (!signals) {
    Diagnostic(Errno("cannot watch for signals"));
    return 1;
  }
  std::optional<Pty> pty = OpenPty();
  if (!pty) return 1;

  LinkGuard link(opt.link);
  if (const std::string err = link.Point(pty->path); !err.empty()) {
    Diagnostic(err);
    return 1;
  }

  const Mode mode = opt.json                       ? Mode::kJson
                    : ::isatty(STDOUT_FILENO) == 1 ? Mode::kTerminal
                                                   : Mode::kPlain;
  // A warning on the terminal that shows the view pushes the view down.
  const bool warnings_share_view = mode == Mode::kTerminal && ::isatty(STDERR_FILENO) == 1;

  if (!opt.quiet) {
    const std::string name = opt.link.empty() ? pty->path : opt.link;
    std::string banner = std::string(kName) + ": serial end " + pty->path + "\n";
    if (!opt.link.empty())
      banner += std::string(kName) + ": link " + opt.link + " -> " + pty->path + "\n";
    banner += std::string(kName) + ": start the server with VEXANET_COM1=" + name +
              "; Ctrl-C ends the board\n";
    banner += std::string(kName) + ": kill -USR1 " + std::to_string(::getpid()) +
              " unplugs it, kill -USR2 " + std::to_string(::getpid()) + " plugs it back\n";
    WriteAll(STDERR_FILENO, banner);
  }

  const auto fresh_monitor = [](const Pty& p) {
    termios initial{};
    ::tcgetattr(p.slave.get(), &initial);
    return LineSettingMonitor(initial, kSettle);
  };
  LineSettingMonitor monitor = fresh_monitor(*pty);
  BoardBank bank;
  TerminalView view;
  std::optional<RelayCommand> last;

  // Unplugging: the link goes first, so nobody opens it while it points at a closed terminal.
  const auto unplug = [&] {
    if (!pty) return;
    link.Remove();
    const std::string path = pty->path;
    pty.reset();
    bank = BoardBank{};  // the board loses power with its adapter
    last.reset();
    Diagnostic("unplugged: " + path + " closed" +
               (opt.link.empty() ? std::string() : ", link " + opt.link + " removed") +
               "; all relays off");
  };
  const auto plug = [&] {
    if (pty) return;
    pty = OpenPty();
    if (!pty) {
      Diagnostic("still unplugged");
      return;
    }
    monitor = fresh_monitor(*pty);
    if (const std::string err = link.Point(pty->path); !err.empty()) Diagnostic(err);
    Diagnostic("plugged back: serial end " + pty->path +
               (opt.link.empty() ? std::string() : ", link " + opt.link + " -> " + pty->path));
  };

  if (mode == Mode::kTerminal && !WriteAll(STDOUT_FILENO, view.Redraw(bank, last))) return 0;

  std::array<std::uint8_t, 512> buf{};
  for (;;) {
    std::array<pollfd, 2> fds{{{pty ? pty->master.get() : -1, POLLIN, 0},
                               {signals.get(), POLLIN, 0}}};
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(kTick.count()));
    if (ready < 0 && errno != EINTR) {
      Diagnostic(Errno("poll"));
      return 1;
    }

    std::string out;
    if (ready > 0 && fds[1].revents != 0) {
      bool end = false;
      bool replugged = false;
      signalfd_siginfo info{};
      while (::read(signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGUSR1) {
          unplug();
          replugged = true;
        } else if (info.ssi_signo == SIGUSR2) {
          plug();
          replugged = true;
        } else {
          end = true;  // SIGINT, SIGTERM or SIGHUP
        }
      }
      if (end) break;
      if (replugged && mode == Mode::kTerminal) {
        if (warnings_share_view) view.Detach();
        out = view.Redraw(bank, last);
      }
    }

    bool data = false;
    if (pty && ready > 0 && fds[0].revents != 0) {
      const ssize_t n = ::read(pty->master.get(), buf.data(), buf.size());
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        // Cannot happen while the board holds the serial end open; not worth spinning on.
        Diagnostic(n == 0 ? "the pseudo-terminal closed" : Errno("reading the pseudo-terminal"));
        return 1;
      }
      const auto now = std::chrono::system_clock::now();
      for (ssize_t i = 0; i < n; ++i) {
        const RelayCommand c = Decode(buf[static_cast<std::size_t>(i)]);
        bank.Apply(c);
        last = c;
        data = true;
        if (mode == Mode::kJson) out += FormatJsonLine(c, now);
        if (mode == Mode::kPlain) out += FormatPlainLine(c, bank, now);
      }
    }

    termios setting{};
    if (pty && ::tcgetattr(pty->slave.get(), &setting) == 0) {
      if (auto note = monitor.Observe(setting, data, std::chrono::steady_clock::now())) {
        Diagnostic(*note);
        if (warnings_share_view) {
          view.Detach();
          if (!data) out = view.Redraw(bank, last);
        }
      }
    }
    if (data && mode == Mode::kTerminal) out = view.Redraw(bank, last);
    if (!out.empty() && !WriteAll(STDOUT_FILENO, out)) return 0;  // nobody reads any more
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Plays an eight-relay board on a pseudo-terminal: decodes every command byte written to its "
      "serial end (bits 7-4 board, bit 3 state, bits 2-0 relay index; relays are numbered 1 to 8) "
      "and shows the relays of every board addressed. With --json, one object per byte: "
      "{\"byte\":11,\"board\":0,\"relay\":4,\"state\":1,\"time\":\"<UTC, ms>\"}. Warns on "
      "standard error when the line is not set to 9600 bit/s, 8 data bits, no parity, 1 stop bit, "
      "raw. SIGINT or SIGTERM ends it and removes the link. SIGUSR1 unplugs it as a USB adapter "
      "is pulled: the link is removed, the pseudo-terminal closed (the server's writes fail with "
      "EIO) and all relays drop to off. SIGUSR2 plugs it back: a new pseudo-terminal, with the "
      "link (same PATH) pointing at it. A new board started with the same --link takes the link "
      "over, even one a killed board left behind.",
      kName};
  Options opt;
  app.add_option("--link", opt.link,
                 "Make PATH a symbolic link to the serial end (replaces a symbolic link there, "
                 "never a file); point VEXANET_COM1 at it. The name stays the same across "
                 "unplugging (SIGUSR1), plugging back (SIGUSR2) and restarts of the board")
      ->type_name("PATH");
  app.add_flag("--json", opt.json, "Print one JSON object per byte received, one per line");
  app.add_flag("--quiet", opt.quiet, "No banner on standard error");
  CLI11_PARSE(app, argc, argv);
  return Run(opt);
}
