// vexanet-server: the main thread runs the window's event loop (or, built without a window, only
// waits); the start-up sequence runs on a thread of its own so that its pauses never freeze the
// window. The process ends only by _Exit (window closed, a stop signal), so no destructor races
// the threads still running. As a Windows service (vexanet-service.exe installs it) it ends on
// the service manager's stop.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#if defined(VEXANET_WINDOW_PROGRAM_PATH)
#include <unistd.h>
#endif

#include "gui/EventLoop.h"
#include "base/Console.h"
#include "service/ServiceManager.h"
#include "startup/StopSignals.h"
#include "startup/Vexa.h"
#if defined(_WIN32)
#include <fstream>

#include "access/AccessPolicy.h"
#include "service/WindowsService.h"
#endif

namespace {

// A windowless server installed beside the window program hands over to it when it starts on a
// display, so one command serves a desktop and a service alike. Returns only when there is no
// such hand-over.
void HandOverToTheWindowProgram([[maybe_unused]] char** argv) {
#if defined(VEXANET_WINDOW_PROGRAM_PATH)
  const char* program = VEXANET_WINDOW_PROGRAM_PATH;
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) return;
  if (::access(program, X_OK) != 0) return;
  ::execv(program, argv);
  vexanet::ConsoleLine(std::string("Cannot start the window program ") + program + ": " +
                       std::strerror(errno) + "; running without a window");
#endif
}

// Reads the deployment settings and runs the window's event loop, with start-up on a thread of
// its own, until the process ends. As a Windows service there is no window and no console: the
// service's stop ends the process instead of a stop signal.
[[noreturn]] void Serve(vexanet::service::ServiceManager& serviceManager, bool asService) {
  // Before any other thread of the server starts: the window toolkit may change the environment.
  std::vector<std::string> problems;
  vexanet::DeploymentSettings deployment =
      vexanet::DeploymentSettings::FromEnvironment(vexanet::ProcessEnvironment(), problems);
  for (const std::string& problem : problems) vexanet::ConsoleLine(problem);
  if (!deployment.fatal.empty()) {
    for (const std::string& error : deployment.fatal) vexanet::ConsoleLine(error);
    vexanet::ConsoleLine("Not started: a safety setting is malformed");
    std::fflush(stdout);
    std::_Exit(1);
  }
  if (!asService) {
    vexanet::InstallStopSignals([manager = &serviceManager] { manager->Stopping(); });
  }
  const bool headlessAsked = deployment.headless || asService;
  const int status = vexanet::gui::RunWindowEventLoop(headlessAsked, [&](bool headless) {
    try {
      deployment.headless = headless;
      Vexa::main(0, nullptr, std::move(deployment), serviceManager);
    } catch (const std::exception& e) {
      vexanet::ConsoleLine(std::string("Start-up failed: ") + e.what());
      std::_Exit(1);
    }
  });
  std::fflush(stdout);
  std::_Exit(status);
}

#if defined(_WIN32)
// The service's deployment settings: vexanet.env in its data folder (NAME=value lines, as in the
// Linux service's environment file) over the system's environment. Only the names are logged:
// a value may be a password.
void TakeServiceEnvironmentFile() {
  std::ifstream in("vexanet.env", std::ios::binary);
  if (!in.is_open()) return;
  std::string names;
  for (const auto& [name, value] : vexanet::access::ReadEnvironmentFile(in)) {
    if (::_putenv_s(name.c_str(), value.c_str()) != 0) {
      vexanet::ConsoleLine("vexanet.env: cannot set " + name);
      continue;
    }
    names += (names.empty() ? "" : " ") + name;
  }
  vexanet::ConsoleLine("Settings from vexanet.env: " + (names.empty() ? "none" : names));
}
#endif

}  // namespace

int main([[maybe_unused]] int argc, char** argv) {
#if defined(_WIN32)
  if (argc >= 2 && std::strcmp(argv[1], vexanet::service::kWindowsServiceArgument) == 0) {
    return vexanet::service::RunAsWindowsService(
        argc >= 3 ? argv[2] : "", [](vexanet::service::ServiceManager& manager) {
          TakeServiceEnvironmentFile();
          Serve(manager, true);
        });
  }
#endif
  HandOverToTheWindowProgram(argv);
  // The service manager (systemd) that started us, if any: it hears ready, status and stopping.
  const std::unique_ptr<vexanet::service::ServiceManager> serviceManager =
      vexanet::service::ConnectServiceManager();
  Serve(*serviceManager, false);
}
