#include "web_bench.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "BenchSupport.h"

namespace vexanet::bench {
namespace {

using namespace e2e;
using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;
constexpr std::size_t kStreams = 32;

long VmHWM(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

int WebPort(const ServerProcess& server) {
  const std::string prefix = "Web panel at http://127.0.0.1:";
  const auto at = server.WaitForLine(
      [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, kDeadline);
  if (!at) throw std::runtime_error("web bench: the server has no web panel\n" + server.Transcript());
  return std::stoi(server.Lines()[*at].text.substr(prefix.size()));
}

}  // namespace

WebFigures MeasureWeb(const Programs& programs, bool quick) {
  WebFigures fig;
  TempDir dir("vexanet-bench-web");
  testing_support::PtyPair pty;
  Launch launch;
  launch.workdir = dir.path();
  launch.env = {{"VEXANET_COM1", pty.path()}, {"VEXANET_HTTP", "127.0.0.1:0"}};
  int port = 0;
  auto server = StartListening(programs, launch, {}, &port);
  const int web = WebPort(*server);
  if (!server->WaitForExact(StatusLine("COM1  Vexa  0 minutes  Ready"), 30s))
    throw std::runtime_error("web bench: the server did not get ready");
  ReadStartUpBytes(pty.master(), "web bench");
  auto client = LineClient::Connect(port, kDeadline);
  if (!client || client->ReadLine(kDeadline) != "OK") throw std::runtime_error("web bench: no client");

  // PUT and "R1On", alternating; each waits for its answer before the next round.
  const std::string body = R"({"on":true})";
  const std::string put = "PUT /api/relays/1 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                          "Content-Type: application/json\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
  const int rounds = quick ? 10 : 40;
  const int warmUp = std::max(2, rounds / 10);
  for (int i = 0; i < rounds + warmUp; ++i) {
    auto http = LineClient::Connect(web, kDeadline);
    if (!http) throw std::runtime_error("web bench: cannot connect to the panel");
    // The line's pause after the last byte is over before each measured request.
    std::this_thread::sleep_for(200ms);
    auto t0 = Clock::now();
    http->Send(put);
    const double putUs = Us(t0, ByteAt(pty.master(), "web bench"));
    if (!http->WaitClosed(kDeadline)) throw std::runtime_error("web bench: PUT not answered");
    // The connected client gets the PUT's status line too, as when the window switches.
    if (client->ReadLine(kDeadline) != "Stat10000000") throw std::runtime_error("web bench: PUT");
    std::this_thread::sleep_for(200ms);
    t0 = Clock::now();
    client->Send("R1On\r\n");
    const double lineUs = Us(t0, ByteAt(pty.master(), "web bench"));
    if (client->ReadLine(kDeadline) != "Stat10000000") throw std::runtime_error("web bench: R1On");
    if (i < warmUp) continue;
    fig.putToByte.push_back(putUs);
    fig.lineToByte.push_back(lineUs);
  }
  std::cerr << "bench: PUT done\n";

  // 32 event streams; a line client's switch; the time until the last stream has the change.
  std::vector<std::unique_ptr<LineClient>> streams;
  for (std::size_t i = 0; i < kStreams; ++i) {
    auto s = LineClient::Connect(web, kDeadline);
    if (!s) throw std::runtime_error("web bench: cannot open an event stream");
    s->Send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    if (s->ReadLine(kDeadline) != "HTTP/1.1 200 OK") throw std::runtime_error("web bench: stream");
    streams.push_back(std::make_unique<LineClient>(std::move(*s)));
  }
  // Each stream's first event (the state now) is read before the first round.
  auto waitFor = [&](LineClient& s, const std::string& wanted) {
    while (auto line = s.ReadLine(kDeadline)) {
      if (line->find(wanted) != std::string::npos) return Clock::now();
    }
    throw std::runtime_error("web bench: a stream missed the change");
  };
  for (auto& s : streams) waitFor(*s, "\"relays\":[true");
  fig.streams = streams.size();
  const int fanRounds = quick ? 10 : 40;
  for (int i = 0; i < fanRounds + 2; ++i) {
    const bool on = i % 2 == 1;
    const std::string wanted = on ? "\"relays\":[true" : "\"relays\":[false";
    const auto t0 = Clock::now();
    client->Send(on ? "R1On\r\n" : "R1Off\r\n");
    // Every stream is read as its data comes: poll them all, each until it shows the change.
    // The line client's own status line is the comparison: the same change, told to it.
    std::vector<bool> done(streams.size(), false);
    std::size_t left = streams.size();
    Clock::time_point last = t0;
    std::optional<Clock::time_point> status;
    while (left > 0 || !status) {
      std::vector<pollfd> fds;
      for (auto& s : streams) fds.push_back(pollfd{s->fd(), POLLIN, 0});
      fds.push_back(pollfd{client->fd(), POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 10000) <= 0)
        throw std::runtime_error("web bench: the streams went quiet");
      for (std::size_t k = 0; k < streams.size(); ++k) {
        if (done[k] || (fds[k].revents & POLLIN) == 0) continue;
        // Every whole line that has come, so none waits in the client's buffer unseen.
        while (auto line = streams[k]->ReadLine(1ms)) {
          if (line->find(wanted) == std::string::npos) continue;
          done[k] = true;
          --left;
          last = Clock::now();
          break;
        }
      }
      if (!status && (fds.back().revents & POLLIN) != 0 && client->ReadLine(1ms)) {
        status = Clock::now();
      }
    }
    if (i >= 2) {
      fig.fanOutLast.push_back(Us(t0, last));
      fig.statusLine.push_back(Us(t0, *status));
    }
  }
  fig.peakRssKiB = VmHWM(server->pid());
  std::cerr << "bench: event streams done\n";
  return fig;
}

}  // namespace vexanet::bench
