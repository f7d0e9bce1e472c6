// The build without a window: nothing is drawn, every status text is a "Status: " line on
// standard output, and the main thread only waits for the process to be stopped.
#include <chrono>
#include <thread>

#include "gui/EventLoop.h"
#include "gui/LocalGUI.h"
#include "gui/WindowView.h"
#include "base/Console.h"

std::unique_ptr<WindowView> MakeWindowView(LocalGUI& /*window*/, int32_t /*port*/) {
  return nullptr;  // LocalGUI echoes the status texts itself
}

void DestroyWindowView(std::unique_ptr<WindowView> /*view*/) {}

namespace vexanet::gui {

int RunWindowEventLoop(bool /*headlessAsked*/, const std::function<void(bool)>& startup) {
  ConsoleLine("No display: running without a window; status texts follow as Status: lines");
  std::thread(startup, true).detach();
  // The process ends by a stop signal (or the console's close on Windows), never from here.
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace vexanet::gui
