// vexanet-server: the main thread runs the window's event loop (or, built without a window, only
// waits); the start-up sequence runs on a thread of its own so that its pauses never freeze the
// window. The process ends only by _Exit (window closed, SIGINT, SIGTERM), so no destructor races
// the threads still running.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "gui/EventLoop.h"
#include "startup/Console.h"
#include "startup/StopSignals.h"
#include "startup/Vexa.h"

int main(int /*argc*/, char** /*argv*/) {
  vexanet::InstallStopSignals();
  const int status = vexanet::gui::RunWindowEventLoop([] {
    try {
      Vexa::main(0, nullptr);
    } catch (const std::exception& e) {
      vexanet::ConsoleLine(std::string("Start-up failed: ") + e.what());
      std::_Exit(1);
    }
  });
  std::fflush(stdout);
  std::_Exit(status);
}
