// The program's main loop, from the backend the build chose. Runs the start-up sequence on a
// thread of its own, so that its pauses never freeze the window, and the window's event loop on
// the calling (main) thread. Returns only when the process is to end with the result.
#pragma once

#include <functional>

namespace vexanet::gui {

int RunWindowEventLoop(const std::function<void()>& startup);

}  // namespace vexanet::gui
