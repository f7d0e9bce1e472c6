// vexanet-server: the main thread runs the window's event loop (or, built without a window, only
// waits); the start-up sequence runs on a thread of its own so that its pauses never freeze the
// window. The process ends only by _Exit (window closed, a stop signal), so no destructor races
// the threads still running.
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

}  // namespace

int main(int /*argc*/, char** argv) {
  HandOverToTheWindowProgram(argv);
  // Before any other thread starts: the window toolkit may change the environment.
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
  // The service manager (systemd) that started us, if any: it hears ready, status and stopping.
  const std::unique_ptr<vexanet::service::ServiceManager> serviceManager =
      vexanet::service::ConnectServiceManager();
  vexanet::InstallStopSignals([manager = serviceManager.get()] { manager->Stopping(); });
  const bool headlessAsked = deployment.headless;
  const int status = vexanet::gui::RunWindowEventLoop(headlessAsked, [&](bool headless) {
    try {
      deployment.headless = headless;
      Vexa::main(0, nullptr, std::move(deployment), *serviceManager);
    } catch (const std::exception& e) {
      vexanet::ConsoleLine(std::string("Start-up failed: ") + e.what());
      std::_Exit(1);
    }
  });
  std::fflush(stdout);
  std::_Exit(status);
}
