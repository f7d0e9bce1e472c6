#include "startup/StopSignals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include "base/Console.h"

namespace vexanet {

namespace {

struct Handled {
  int number;
  const char* name;
  bool stops;
};

constexpr Handled kHandled[] = {
    {SIGINT, "SIGINT", true},   {SIGTERM, "SIGTERM", true},  {SIGHUP, "SIGHUP", true},
    {SIGQUIT, "SIGQUIT", true}, {SIGUSR1, "SIGUSR1", false}, {SIGUSR2, "SIGUSR2", false},
};

[[noreturn]] void TakeSignals(sigset_t set, const std::function<void()>& beforeStop) {
  for (;;) {
    int sig = 0;
    if (::sigwait(&set, &sig) != 0) continue;
    for (const Handled& h : kHandled) {
      if (h.number != sig) continue;
      if (!h.stops) {
        ConsoleLine(std::string("Signal ") + h.name + " ignored");
        break;
      }
      ConsoleLine(std::string("Signal ") + h.name + " received: stopping");
      if (beforeStop) beforeStop();
      std::fflush(stdout);
      ::_exit(0);  // every console line is already flushed
    }
  }
}

}  // namespace

void InstallStopSignals(std::function<void()> beforeStop) {
  sigset_t set;
  sigemptyset(&set);
  for (const Handled& h : kHandled) sigaddset(&set, h.number);
  const int blocked = ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (blocked != 0) {
    ConsoleLine("Cannot block the stop signals (error " + std::to_string(blocked) + ")");
  }
  std::thread(TakeSignals, set, std::move(beforeStop)).detach();
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace vexanet
