// The server as a Windows service: registered with the service control manager, started at
// boot without a window, its console lines in a log file beside the configuration, stopped by
// the manager's stop. Windows only.
//
// The service runs `vexanet-server.exe --windows-service DATA-FOLDER`: the server works in
// DATA-FOLDER (its VexaNetCFG.bin and the state file are there) and writes its console lines to
// DATA-FOLDER\vexanet-server.log (renamed to vexanet-server.log.1 at 8 MiB, the one before
// replaced). A stop from the manager ends the process as Ctrl+C ends the console server, after
// the manager has been told it stopped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "service/ServiceManager.h"

namespace vexanet::service {

inline constexpr const char* kWindowsServiceName = "VexaNet";
inline constexpr const char* kWindowsServiceDisplayName = "VexaNet Server";
inline constexpr const char* kWindowsServiceArgument = "--windows-service";
inline constexpr const char* kWindowsServiceLog = "vexanet-server.log";
inline constexpr std::uintmax_t kWindowsServiceLogLimit = 8u << 20;

// In the process the service control manager started: connects to it, moves into dataFolder,
// sends the console's lines to the log and calls serve on the service's thread; serve does not
// return (the process ends on the manager's stop). Returns, with the exit status, only when the
// process was not started as a service (or the data folder is unusable), after saying why.
int RunAsWindowsService(const std::string& dataFolder,
                        const std::function<void(ServiceManager&)>& serve);

// What vexanet-service.exe does. Each prints what it did or why it could not, and returns the
// exit status: 0 done, 1 failed.
struct ServiceTarget {
  std::string server;      // full path of vexanet-server.exe
  std::string dataFolder;  // where the service works and logs
};
// vexanet-server.exe beside the running program, working in %ProgramData%\VexaNet.
ServiceTarget DefaultWindowsServiceTarget();
int InstallWindowsService(const ServiceTarget& target);  // or updates an installed one
int RemoveWindowsService();                              // stops it first when it runs
int StartWindowsService();                               // waits until it runs
int StopWindowsService();                                // waits until it has stopped
int ShowWindowsService();  // prints "running", "stopped", … or "not installed"

}  // namespace vexanet::service
