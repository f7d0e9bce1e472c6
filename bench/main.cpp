// vexanet-bench: timings of the built vexanet-server through its real interfaces, with the floor
// that socat gives for the same path (TCP to a pseudo-terminal and back), printed as a Markdown
// table of medians and 95th percentiles.
//
//   vexanet-bench [--quick] [--idle SECONDS] [--server PATH] [--config PATH]
//
// The server runs headless on a pseudo-terminal (COM1) and a free loopback port. Every figure is
// measured from the benchmark's own thread: it writes a line on the TCP connection and polls the
// connection or the pseudo-terminal's master end for what comes back, on the steady clock.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ServerProcess.h"
#if defined(VEXANET_BENCH_WEB)
#include "web_bench.h"
#endif
#if defined(VEXANET_BENCH_MQTT)
#include "mqtt_bench.h"
#endif

extern char** environ;

namespace {

using namespace vexanet::e2e;
using namespace std::chrono_literals;
using Micros = std::chrono::duration<double, std::micro>;

constexpr auto kDeadline = 10s;

struct Options {
  bool quick = false;
  int idleSeconds = 10;
  Programs programs{VEXANET_SERVER_EXE, VEXANET_CONFIG_EXE};
};

struct Stats {
  std::size_t n = 0;
  double median = 0;  // microseconds
  double p95 = 0;
};

Stats Summarise(std::vector<double> samples) {
  Stats s;
  s.n = samples.size();
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    const std::size_t i = static_cast<std::size_t>(std::ceil(q * double(samples.size()))) - 1;
    return samples[std::min(i, samples.size() - 1)];
  };
  s.median = at(0.5);
  s.p95 = at(0.95);
  return s;
}

std::string Duration(double us) {
  char buf[32];
  if (us < 1000)
    std::snprintf(buf, sizeof buf, "%.0f µs", us);
  else if (us < 10000)
    std::snprintf(buf, sizeof buf, "%.2f ms", us / 1000);
  else
    std::snprintf(buf, sizeof buf, "%.1f ms", us / 1000);
  return buf;
}

std::string Ratio(double ours, double floor) {
  if (floor <= 0) return "–";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f×", ours / floor);
  return buf;
}

double Elapsed(Clock::time_point from, Clock::time_point to) {
  return Micros(to - from).count();
}

// Reads from fd until at least `count` bytes arrived in all; the time the first byte was read.
std::optional<Clock::time_point> ReadBytes(int fd, std::size_t count, std::string* got = nullptr) {
  const auto deadline = Clock::now() + kDeadline;
  std::optional<Clock::time_point> first;
  std::size_t total = 0;
  std::array<char, 256> buf{};
  while (total < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n <= 0) continue;
    if (!first) first = Clock::now();
    total += static_cast<std::size_t>(n);
    if (got != nullptr) got->append(buf.data(), static_cast<std::size_t>(n));
  }
  return first;
}

std::string ExpectLine(LineClient& c, const std::string& want) {
  auto line = c.ReadLine(kDeadline);
  if (line != want)
    throw std::runtime_error("expected \"" + want + "\", got \"" + line.value_or("<nothing>") +
                             "\"");
  return *line;
}

// ---- the server process -------------------------------------------------------------------------

long ProcStatusKiB(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

// User plus system CPU time of a process, in milliseconds.
double CpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = all.rfind(')');  // the command name may contain blanks
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  std::vector<std::string> f;
  while (rest >> field) f.push_back(field);
  // After the name: state is field 3, utime 14 and stime 15 (1-based over the whole line).
  const double ticks = std::stod(f.at(11)) + std::stod(f.at(12));
  return ticks * 1000.0 / double(::sysconf(_SC_CLK_TCK));
}

// ---- the socat floor --------------------------------------------------------------------------

class Socat {
 public:
  // Forwards a loopback TCP port to the serial end of a pseudo-terminal that the benchmark owns.
  Socat(int port, const std::string& serialEnd) {
    std::vector<std::string> args{
        "socat", "OPEN:" + serialEnd + ",raw,echo=0",
        "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,nodelay"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawnp(&pid_, "socat", nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  Socat(const Socat&) = delete;
  Socat& operator=(const Socat&) = delete;
  ~Socat() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// socat forwarding a loopback TCP port to the serial end of a pseudo-terminal: the least that any
// server on this path could cost. The benchmark reads and answers on the master end, exactly as it
// does for the server: the same kind of descriptor, the same call, on the same thread.
class Floor {
 public:
  Floor() {
    const int port = PickFreePort(20000, 30000);
    socat_ = std::make_unique<Socat>(port, pty_.path());
    if (!socat_->started()) return;
    const auto deadline = Clock::now() + kDeadline;
    while (!client_ && Clock::now() < deadline) {
      client_ = LineClient::Connect(port, kDeadline);
      if (!client_) std::this_thread::sleep_for(10ms);
    }
  }
  bool available() const { return client_.has_value(); }

  // A line in, forwarded to the pseudo-terminal, answered with a status line, forwarded back.
  double RoundTrip() {
    static const std::string reply = "Stat00000000\r\n";
    const auto t0 = Clock::now();
    client_->Send("Get\r\n");
    if (!ReadBytes(pty_.master(), 5)) throw std::runtime_error("socat: nothing on the pty");
    if (::write(pty_.master(), reply.data(), reply.size()) != ssize_t(reply.size()))
      throw std::runtime_error("socat: pty write failed");
    ExpectLine(*client_, "Stat00000000");
    return Elapsed(t0, Clock::now());
  }

  // A line in, to its first byte on the pseudo-terminal.
  double LineToByte() {
    const auto t0 = Clock::now();
    client_->Send("R1On\r\n");
    std::string got;
    const auto first = ReadBytes(pty_.master(), 1, &got);
    if (!first) throw std::runtime_error("socat: nothing on the pty");
    if (got.size() < 6) ReadBytes(pty_.master(), 6 - got.size());  // the rest of the line
    return Elapsed(t0, *first);
  }

 private:
  PtyPair pty_;  // socat opens the serial end by its path; the benchmark reads the master
  std::unique_ptr<Socat> socat_;
  std::optional<LineClient> client_;
};

// ---- the measurements ---------------------------------------------------------------------------

struct Figures {
  Stats get, byte, status, cycle;
  std::optional<Stats> floorGet, floorByte;
  double idleCpuMs = 0;
  int idleSeconds = 0;
  long peakRssKiB = 0;
};

// The server's samples and the floor's alternate, so that both see the same state of the machine.
Figures Measure(const Options& opt) {
  Figures fig;
  TempDir dir("vexanet-bench");
  PtyPair pty;  // the benchmark polls its master end itself
  Launch launch;
  launch.workdir = dir.path();
  launch.env = {{"VEXANET_COM1", pty.path()}};
  int port = 0;
  auto server = StartListening(opt.programs, launch, {}, &port);
  if (!server->WaitForExact(StatusLine("COM1  Vexa  0 minutes  Ready"), 30s))
    throw std::runtime_error("the server did not get ready\n" + server->Transcript());
  ReadBytes(pty.master(), 8);  // the start-up bytes
  std::cerr << "bench: server ready on port " << port << "\n";

  Floor floor;
  if (!floor.available()) std::cerr << "bench: socat could not be started: no floor\n";

  auto client = LineClient::Connect(port, kDeadline);
  if (!client) throw std::runtime_error("cannot connect to the server");
  ExpectLine(*client, "OK");

  // 1. "Get" round trip; the first tenth of the rounds warms up.
  const int getN = opt.quick ? 200 : 2000;
  std::vector<double> ours, floors;
  for (int i = 0; i < getN + getN / 10; ++i) {
    const auto t0 = Clock::now();
    client->Send("Get\r\n");
    ExpectLine(*client, "Stat00000000");
    const double us = Elapsed(t0, Clock::now());
    const double f = floor.available() ? floor.RoundTrip() : 0;
    if (i < getN / 10) continue;
    ours.push_back(us);
    floors.push_back(f);
  }
  fig.get = Summarise(ours);
  if (floor.available()) fig.floorGet = Summarise(floors);
  std::cerr << "bench: Get round trip done\n";

  // 2, 3. "R1On" to the byte on the serial end, and to the status line. Each floor sample follows
  // the server's 150 ms pause, as each of the server's samples does; the first rounds of both
  // warm up.
  const int relayN = opt.quick ? 10 : 40;
  const int relayWarmUp = std::max(2, relayN / 10);
  std::vector<double> toByte, toStatus;
  floors.clear();
  for (int i = 0; i < relayN + relayWarmUp; ++i) {
    const auto t0 = Clock::now();
    client->Send("R1On\r\n");
    const auto byteAt = ReadBytes(pty.master(), 1);
    if (!byteAt) throw std::runtime_error("no byte on the serial line");
    ExpectLine(*client, "Stat10000000");
    const auto statusAt = Clock::now();
    const double f = floor.available() ? floor.LineToByte() : 0;
    if (i < relayWarmUp) continue;
    toByte.push_back(Elapsed(t0, *byteAt));
    toStatus.push_back(Elapsed(t0, statusAt));
    if (floor.available()) floors.push_back(f);
  }
  fig.byte = Summarise(toByte);
  fig.status = Summarise(toStatus);
  if (floor.available()) fig.floorByte = Summarise(floors);
  std::cerr << "bench: R1On done\n";

  // 5. CPU while idle with a client connected.
  const double cpu0 = CpuMs(server->pid());
  std::this_thread::sleep_for(std::chrono::seconds(opt.idleSeconds));
  fig.idleCpuMs = CpuMs(server->pid()) - cpu0;
  fig.idleSeconds = opt.idleSeconds;
  std::cerr << "bench: idle done\n";

  // 4. Session cycle: connect, "OK", "Close", closed; the next connect is the next cycle.
  client->Send("Close\r\n");
  client->WaitClosed(kDeadline);
  client.reset();
  const int cycleN = opt.quick ? 50 : 300;
  ours.clear();
  for (int i = 0; i < cycleN; ++i) {
    const auto t0 = Clock::now();
    auto c = LineClient::Connect(port, kDeadline);
    if (!c) throw std::runtime_error("session cycle: cannot connect");
    ExpectLine(*c, "OK");
    c->Send("Close\r\n");
    if (!c->WaitClosed(kDeadline)) throw std::runtime_error("session cycle: not closed");
    ours.push_back(Elapsed(t0, Clock::now()));
  }
  fig.cycle = Summarise(ours);
  // Peak resident memory over the whole run.
  fig.peakRssKiB = ProcStatusKiB(server->pid(), "VmHWM");
  std::cerr << "bench: session cycles done\n";
  return fig;
}

// ---- the table --------------------------------------------------------------------------------

void Row(const std::string& what, const Stats& s, const std::optional<Stats>& floor) {
  std::cout << "| " << what << " | " << s.n << " | " << Duration(s.median) << " | "
            << Duration(s.p95) << " | ";
  if (floor)
    std::cout << Duration(floor->median) << " / " << Duration(floor->p95) << " | "
              << Ratio(s.median, floor->median) << " / " << Ratio(s.p95, floor->p95) << " |\n";
  else
    std::cout << "– | – |\n";
}

void Print(const Figures& s) {
  utsname u{};
  ::uname(&u);
  std::cout << "VexaNet Server benchmark: " << VEXANET_BUILD_TYPE << " build, " << u.sysname << " "
            << u.release << " " << u.machine << ", " << std::thread::hardware_concurrency()
            << " CPUs\n\n";
  std::cout << "| Measure | Samples | Median | 95th percentile | socat floor (median / p95) "
               "| Ratio to floor (median / p95) |\n"
            << "|---|---|---|---|---|---|\n";
  Row("\"Get\" round trip (line sent → status line received)", s.get, s.floorGet);
  Row("\"R1On\" sent → command byte on the serial end", s.byte, s.floorByte);
  Row("\"R1On\" sent → status line received (includes the 150 ms pause)", s.status, std::nullopt);
  Row("Session cycle (connect → \"OK\" → \"Close\" → closed)", s.cycle, std::nullopt);
  char line[256];
  std::snprintf(line, sizeof line, "\nSession cycles per second (from the median): %.0f\n",
                s.cycle.median > 0 ? 1e6 / s.cycle.median : 0.0);
  std::cout << line;
  std::snprintf(line, sizeof line,
                "CPU time over %d s idle with a client connected: %.0f ms (%.2f %% of one CPU; "
                "counted in %.0f ms ticks)\n",
                s.idleSeconds, s.idleCpuMs, s.idleCpuMs / (s.idleSeconds * 10.0),
                1000.0 / double(::sysconf(_SC_CLK_TCK)));
  std::cout << line;
  std::snprintf(line, sizeof line, "Peak resident memory (VmHWM): %.1f MiB\n",
                double(s.peakRssKiB) / 1024.0);
  std::cout << line;
  if (!s.floorGet) std::cout << "socat could not be started: no floor measured\n";
  std::cout << std::flush;
}

Options Parse(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--quick") {
      opt.quick = true;
      opt.idleSeconds = 2;
    } else if (a == "--idle") {
      opt.idleSeconds = std::stoi(value());
      if (opt.idleSeconds < 1) throw std::invalid_argument("--idle takes a number of seconds >= 1");
    } else if (a == "--server") {
      opt.programs.server = value();
    } else if (a == "--config") {
      opt.programs.config = value();
    } else {
      throw std::invalid_argument("unknown option " + a +
                                  "\nusage: vexanet-bench [--quick] [--idle SECONDS] "
                                  "[--server PATH] [--config PATH]");
    }
  }
  return opt;
}

}  // namespace

#if defined(VEXANET_BENCH_WEB) || defined(VEXANET_BENCH_MQTT)
// The title and head of a table whose figures compare with the line protocol's in the same run.
void PrintAgainstLineProtocol(const std::string& title) {
  std::cout << "\n" << title << ":\n\n"
            << "| Measure | Samples | Median | 95th percentile | line protocol's own (median / p95) "
               "| Ratio (median / p95) |\n"
            << "|---|---|---|---|---|---|\n";
}
#endif

#if defined(VEXANET_BENCH_WEB)
void PrintWeb(const vexanet::bench::WebFigures& w) {
  PrintAgainstLineProtocol("Web panel (a second server with VEXANET_HTTP, measured the same way)");
  Row("PUT /api/relays/1 sent → command byte on the serial end", Summarise(w.putToByte),
      Summarise(w.lineToByte));
  Row("\"R1On\" → the change in the last of " + std::to_string(w.streams) + " event streams",
      Summarise(w.fanOutLast), Summarise(w.statusLine));
  char line[160];
  std::snprintf(line, sizeof line, "Peak resident memory (VmHWM) with %zu event streams open: %.1f MiB\n",
                w.streams, double(w.peakRssKiB) / 1024.0);
  std::cout << line << std::flush;
}
#endif

#if defined(VEXANET_BENCH_MQTT)
void PrintMqtt(const vexanet::bench::MqttFigures& m) {
  PrintAgainstLineProtocol(
      "MQTT bridge (a third server with VEXANET_MQTT and a mosquitto broker on loopback)");
  Row("relay/1/set \"ON\" published → command byte on the serial end", Summarise(m.setToByte),
      Summarise(m.lineToByte));
  std::cout << std::flush;
}
#endif

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  try {
    const Options opt = Parse(argc, argv);
    Print(Measure(opt));
#if defined(VEXANET_BENCH_WEB)
    PrintWeb(vexanet::bench::MeasureWeb(opt.programs, opt.quick));
#endif
#if defined(VEXANET_BENCH_MQTT)
    PrintMqtt(vexanet::bench::MeasureMqtt(opt.programs, opt.quick));
#endif
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "vexanet-bench: " << e.what() << "\n";
    return 1;
  }
}
