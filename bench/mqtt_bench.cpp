#include "mqtt_bench.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "PortHolder.h"

extern char** environ;

namespace vexanet::bench {
namespace {

using namespace e2e;
using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;

// mosquitto on a loopback port of its own, ended with the object.
class Broker {
 public:
  explicit Broker(const std::filesystem::path& dir) {
    {
      testing_support::PortHolder holder;  // a port the system picks, free again at once
      port_ = holder.port();
    }
    const auto config = dir / "mosquitto.conf";
    std::ofstream(config) << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
                          << "persistence false\n";
    std::string program = "mosquitto", flag = "-c", file = config.string();
    char* argv[] = {program.data(), flag.data(), file.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int rc = ::posix_spawnp(&pid_, "mosquitto", &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("mqtt bench: cannot start mosquitto");
  }
  ~Broker() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  int port_ = 0;
  pid_t pid_ = -1;
};

// A publishing client with its network thread.
class Publisher {
 public:
  explicit Publisher(int port) {
    mosquitto_lib_init();
    handle_ = mosquitto_new("vexanet-bench", true, nullptr);
    const auto end = Clock::now() + kDeadline;
    while (mosquitto_connect(handle_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
      if (Clock::now() > end) throw std::runtime_error("mqtt bench: the broker does not answer");
      std::this_thread::sleep_for(50ms);
    }
    mosquitto_loop_start(handle_);
  }
  ~Publisher() {
    mosquitto_disconnect(handle_);
    mosquitto_loop_stop(handle_, false);
    mosquitto_destroy(handle_);
    mosquitto_lib_cleanup();
  }
  void Publish(const std::string& topic, const std::string& payload) {
    mosquitto_publish(handle_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, false);
  }

 private:
  mosquitto* handle_ = nullptr;
};

}  // namespace

MqttFigures MeasureMqtt(const Programs& programs, bool quick) {
  MqttFigures fig;
  TempDir dir("vexanet-bench-mqtt");
  Broker broker(dir.path());
  testing_support::PtyPair pty;
  Launch launch;
  launch.workdir = dir.path();
  launch.env = {{"VEXANET_COM1", pty.path()},
                {"VEXANET_MQTT", "mqtt://127.0.0.1:" + std::to_string(broker.port())},
                {"VEXANET_MQTT_PREFIX", "bench/vexanet"}};
  int port = 0;
  auto server = StartListening(programs, launch, {}, &port);
  if (!server->WaitForExact(StatusLine("COM1  Vexa  0 minutes  Ready"), 30s))
    throw std::runtime_error("mqtt bench: the server did not get ready");
  if (!server->WaitForLine(
          [](const std::string& l) { return l.rfind("MQTT: connected to", 0) == 0; }, 30s))
    throw std::runtime_error("mqtt bench: the bridge did not connect\n" + server->Transcript());
  ReadStartUpBytes(pty.master(), "mqtt bench");
  auto client = LineClient::Connect(port, kDeadline);
  if (!client || client->ReadLine(kDeadline) != "OK") throw std::runtime_error("mqtt bench: no client");
  Publisher publisher(broker.port());

  // "ON" to relay/1/set and "R1On", alternating; each waits for its status line.
  const int rounds = quick ? 10 : 40;
  const int warmUp = std::max(2, rounds / 10);
  for (int i = 0; i < rounds + warmUp; ++i) {
    // The line's pause after the last byte is over before each measured request.
    std::this_thread::sleep_for(200ms);
    auto t0 = Clock::now();
    publisher.Publish("bench/vexanet/relay/1/set", "ON");
    const double setUs = Us(t0, ByteAt(pty.master(), "mqtt bench"));
    // The connected client gets the switch's status line, as when the window switches.
    if (client->ReadLine(kDeadline) != "Stat10000000") throw std::runtime_error("mqtt bench: set");
    std::this_thread::sleep_for(200ms);
    t0 = Clock::now();
    client->Send("R1On\r\n");
    const double lineUs = Us(t0, ByteAt(pty.master(), "mqtt bench"));
    if (client->ReadLine(kDeadline) != "Stat10000000") throw std::runtime_error("mqtt bench: R1On");
    if (i < warmUp) continue;
    fig.setToByte.push_back(setUs);
    fig.lineToByte.push_back(lineUs);
  }
  std::cerr << "bench: MQTT done\n";
  return fig;
}

}  // namespace vexanet::bench
