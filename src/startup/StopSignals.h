// Ending the process on SIGINT and SIGTERM exactly as closing the window does: at once, with
// exit status 0, nothing closed or switched first. SIGPIPE is ignored (a client that went away
// is noticed on the connection itself).
#pragma once

namespace vexanet {

void InstallStopSignals();

}  // namespace vexanet
