// Signals. SIGINT, SIGTERM, SIGHUP and SIGQUIT end the process exactly as closing the window
// does: at once, with exit status 0, nothing closed or switched first, after one console line
// naming the signal ("Signal SIGHUP received: stopping"). SIGUSR1 and SIGUSR2 are ignored, with
// one console line each time ("Signal SIGUSR1 ignored"). SIGPIPE is ignored silently (a client
// that went away is noticed on the connection itself).
//
// On POSIX systems these signals are blocked in every thread and taken by one thread of their
// own with sigwait, so the console line is written by ordinary code, not in a signal handler.
// Must therefore be called before any other thread starts: threads inherit the blocked set.
//
// beforeStop runs on the stopping thread just before the process ends (it tells the service
// manager); it must not wait for anything.
#pragma once

#include <functional>

namespace vexanet {

void InstallStopSignals(std::function<void()> beforeStop = {});

}  // namespace vexanet
