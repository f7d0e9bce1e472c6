// The common set-up of the end-to-end tests: a temporary working folder, COM1 on a pseudo-terminal,
// the built server started headless on a free loopback port, and its transcript printed when a
// test fails.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ServerProcess.h"

namespace vexanet::e2e {

using namespace std::chrono_literals;

// Generous: only a hang ever reaches these.
inline constexpr auto kDeadline = 10s;
inline constexpr auto kStartDeadline = 20s;  // start-up includes 1.2 s of relay switching and 2 s

inline constexpr const char* kAllOff = "Stat00000000";

class ServerTest : public ::testing::Test {
 protected:
  Programs programs{VEXANET_SERVER_EXE, VEXANET_CONFIG_EXE};
  TempDir dir;
  PtyLine com1;
  std::unique_ptr<ServerProcess> server;
  int port = 0;

  Launch HeadlessLaunch(std::vector<std::pair<std::string, std::string>> env = {}) const {
    Launch launch;
    launch.exe = programs.server;
    launch.workdir = dir.path();
    launch.env = std::move(env);
    return launch;
  }

  // Writes the configuration with `configArgs` (the port is chosen here) and starts the server.
  void StartListening(const std::vector<std::string>& configArgs = {}, Launch launch = {}) {
    if (launch.exe.empty()) launch = HeadlessLaunch({{"VEXANET_COM1", com1.path()}});
    server = vexanet::e2e::StartListening(programs, std::move(launch), configArgs, &port);
  }

  // Start-up has switched the eight relays off: the eight bytes are on the line and the eighth
  // status line is out, so a client from now on sees only what its own lines cause.
  void WaitForRelaysOff() {
    ASSERT_EQ(com1.WaitForBytes(8, kStartDeadline).size(), 8u) << "start-up bytes missing";
    relaysOffLine = server->WaitForNth(StatusLine(kAllOff), 8, kStartDeadline);
    ASSERT_TRUE(relaysOffLine) << "the eighth status line of start-up is missing";
  }

  // The ready line, as start-up shows it last.
  std::optional<std::size_t> WaitForReady(const std::string& comport, int minutes) {
    return server->WaitForExact(
        StatusLine(comport + "  Vexa  " + std::to_string(minutes) + " minutes  Ready"),
        kStartDeadline);
  }

  void TearDown() override {
    if (HasFailure() && server) std::cerr << server->Transcript();
    server.reset();
  }

  std::optional<std::size_t> relaysOffLine;
};

}  // namespace vexanet::e2e
