#include "startup/StopSignals.h"

#include <signal.h>
#include <unistd.h>

namespace vexanet {

namespace {
void EndProcess(int) {
  ::_exit(0);
}  // every console line is already flushed
}  // namespace

void InstallStopSignals() {
  struct sigaction stop {};
  stop.sa_handler = EndProcess;
  sigemptyset(&stop.sa_mask);
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace vexanet
