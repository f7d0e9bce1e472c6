// The program's main loop, from the backend the build chose. Runs the start-up sequence on a
// thread of its own, so that its pauses never freeze the window, and the window's event loop on
// the calling (main) thread. Returns only when the process is to end with the result.
//
// headlessAsked: the deployment wants no window. The backend may choose headless on its own (no
// display); it then prints one console line saying so. startup is told the choice.
#pragma once

#include <functional>

namespace vexanet::gui {

int RunWindowEventLoop(bool headlessAsked, const std::function<void(bool headless)>& startup);

}  // namespace vexanet::gui
