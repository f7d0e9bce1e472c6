// vexanet-service.exe's work: the service's entry in the service control manager, and starting
// and stopping it.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "service/WindowsService.h"
#include "service/windows/WindowsErrors.h"

namespace vexanet::service {

std::string WindowsErrorText(unsigned long code) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = "Windows error " + std::to_string(code);
  if (length > 0 && text != nullptr) {
    std::string said(text, length);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' ')) {
      said.pop_back();
    }
    if (!said.empty()) message += ": " + said;
  }
  if (text != nullptr) ::LocalFree(text);
  return message;
}

namespace {

using namespace std::chrono_literals;

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int Fail(const std::string& what, DWORD code) {
  std::string line = "vexanet-service: " + what + ": " + WindowsErrorText(code);
  if (code == ERROR_ACCESS_DENIED) line += " (run it as an administrator)";
  Say(line);
  return 1;
}

// A service control manager or service handle, closed when it goes.
class Handle {
 public:
  explicit Handle(SC_HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) ::CloseServiceHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  explicit operator bool() const { return handle_ != nullptr; }
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continuing";
    case SERVICE_PAUSE_PENDING: return "pausing";
    case SERVICE_PAUSED: return "paused";
    default: return "in an unknown state";
  }
}

bool QueryState(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  DWORD needed = 0;
  return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof status, &needed) != 0;
}

// Waits while the service is in the pending state, up to limit. Returns the state it ends in.
DWORD WaitWhile(SC_HANDLE service, DWORD pending, std::chrono::seconds limit) {
  SERVICE_STATUS_PROCESS status{};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (QueryState(service, status) && status.dwCurrentState == pending &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(200ms);
  }
  return status.dwCurrentState;
}

// The command line the service manager runs. Quoted for the program's argument parser: inside
// quotes, backslashes before the closing quote are doubled so that they stay backslashes.
std::string Quoted(const std::string& text) {
  std::string out = "\"" + text;
  for (auto it = text.rbegin(); it != text.rend() && *it == '\\'; ++it) out += '\\';
  return out + "\"";
}

std::string CommandLine(const ServiceTarget& target) {
  return Quoted(target.server) + " " + kWindowsServiceArgument + " " + Quoted(target.dataFolder);
}

// Restart after a failure, as the Linux unit's Restart=on-failure: 5 s later, the count of
// failures reset after a day. Not every system takes it (an older Wine, say); the service
// works without.
void RestartOnFailure(SC_HANDLE service) {
  SC_ACTION actions[3] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000},
                          {SC_ACTION_RESTART, 5000}};
  SERVICE_FAILURE_ACTIONSA failure{};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  ::ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}

Handle OpenManager(DWORD access) { return Handle(::OpenSCManagerA(nullptr, nullptr, access)); }

// The installed service, opened with the access asked for, and the manager it came from.
struct Installed {
  Handle manager;
  Handle service;
};

// Empty, after saying why, when the service cannot be opened; *status is then the exit status:
// 1, or 0 for a service that is not installed where that counts as done.
std::optional<Installed> OpenInstalled(DWORD access, bool notInstalledIsDone, int* status) {
  Handle manager = OpenManager(SC_MANAGER_CONNECT);
  if (!manager) {
    *status = Fail("cannot open the service control manager", ::GetLastError());
    return std::nullopt;
  }
  Handle service(::OpenServiceA(manager.get(), kWindowsServiceName, access));
  if (!service) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_SERVICE_DOES_NOT_EXIST || !notInstalledIsDone) {
      *status = Fail("cannot open the service", code);
    } else {
      Say(std::string("Service ") + kWindowsServiceName + " is not installed");
      *status = 0;
    }
    return std::nullopt;
  }
  return Installed{std::move(manager), std::move(service)};
}

}  // namespace

ServiceTarget DefaultWindowsServiceTarget() {
  ServiceTarget target;
  char program[MAX_PATH * 4] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, program, sizeof program);
  const std::filesystem::path self(std::string(program, length));
  target.server = (self.parent_path() / "vexanet-server.exe").string();
  char data[MAX_PATH * 4] = {};
  const DWORD got = ::GetEnvironmentVariableA("ProgramData", data, sizeof data);
  const std::string programData =
      got > 0 && got < sizeof data ? std::string(data, got) : std::string("C:\\ProgramData");
  target.dataFolder = (std::filesystem::path(programData) / "VexaNet").string();
  return target;
}

int InstallWindowsService(const ServiceTarget& target) {
  std::error_code error;
  if (!std::filesystem::exists(target.server, error)) {
    Say("vexanet-service: no server at " + target.server);
    return 1;
  }
  std::filesystem::create_directories(target.dataFolder, error);
  if (error) {
    Say("vexanet-service: cannot make the data folder " + target.dataFolder + ": " +
        error.message());
    return 1;
  }
  const Handle manager = OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (!manager) return Fail("cannot open the service control manager", ::GetLastError());
  const std::string command = CommandLine(target);
  SC_HANDLE created = ::CreateServiceA(manager.get(), kWindowsServiceName,
                                       kWindowsServiceDisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
  const char* done = "installed";
  if (created == nullptr) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_SERVICE_EXISTS) return Fail("cannot install the service", code);
    // Installed before (an upgrade, another folder): the same entry, brought up to date.
    created = ::OpenServiceA(manager.get(), kWindowsServiceName, SERVICE_ALL_ACCESS);
    if (created == nullptr) return Fail("cannot open the installed service", ::GetLastError());
    done = "updated";
  }
  const Handle service(created);
  if (std::string(done) == "updated" &&
      !::ChangeServiceConfigA(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                              SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr, kWindowsServiceDisplayName)) {
    return Fail("cannot update the installed service", ::GetLastError());
  }
  char description[] =
      "Lets one network client at a time switch the eight-relay board on a serial port.";
  SERVICE_DESCRIPTIONA about{description};
  ::ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &about);
  RestartOnFailure(service.get());
  Say(std::string("Service ") + kWindowsServiceName + " " + done + ": " + command);
  Say("It starts at boot; its log: " +
      (std::filesystem::path(target.dataFolder) / kWindowsServiceLog).string());
  return 0;
}

int StopWindowsService() {
  int status = 1;
  const auto opened = OpenInstalled(SERVICE_STOP | SERVICE_QUERY_STATUS, false, &status);
  if (!opened) return status;
  const Handle& service = opened->service;
  SERVICE_STATUS stopping{};
  if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &stopping)) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_SERVICE_NOT_ACTIVE) return Fail("cannot stop the service", code);
    Say(std::string("Service ") + kWindowsServiceName + " is not running");
    return 0;
  }
  const DWORD state = WaitWhile(service.get(), SERVICE_STOP_PENDING, 30s);
  if (state != SERVICE_STOPPED) {
    Say(std::string("vexanet-service: the service is ") + StateName(state) + " after 30 s");
    return 1;
  }
  Say(std::string("Service ") + kWindowsServiceName + " stopped");
  return 0;
}

int RemoveWindowsService() {
  int result = 1;
  const auto opened = OpenInstalled(DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS, true, &result);
  if (!opened) return result;
  const Handle& service = opened->service;
  SERVICE_STATUS_PROCESS status{};
  if (QueryState(service.get(), status) && status.dwCurrentState != SERVICE_STOPPED) {
    SERVICE_STATUS stopping{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &stopping);
    if (WaitWhile(service.get(), SERVICE_STOP_PENDING, 30s) != SERVICE_STOPPED) {
      Say("vexanet-service: the service did not stop; not removed");
      return 1;
    }
  }
  if (!::DeleteService(service.get())) return Fail("cannot remove the service", ::GetLastError());
  Say(std::string("Service ") + kWindowsServiceName + " removed");
  return 0;
}

int StartWindowsService() {
  int result = 1;
  const auto opened = OpenInstalled(SERVICE_START | SERVICE_QUERY_STATUS, false, &result);
  if (!opened) return result;
  const Handle& service = opened->service;
  if (!::StartServiceA(service.get(), 0, nullptr)) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_SERVICE_ALREADY_RUNNING) return Fail("cannot start the service", code);
    Say(std::string("Service ") + kWindowsServiceName + " is running already");
    return 0;
  }
  const DWORD state = WaitWhile(service.get(), SERVICE_START_PENDING, 60s);
  if (state != SERVICE_RUNNING) {
    SERVICE_STATUS_PROCESS status{};
    QueryState(service.get(), status);
    Say(std::string("vexanet-service: the service is ") + StateName(state) + " (exit code " +
        std::to_string(status.dwWin32ExitCode) + "); its log " + kWindowsServiceLog +
        " in the data folder says why");
    return 1;
  }
  Say(std::string("Service ") + kWindowsServiceName + " running");
  return 0;
}

int ShowWindowsService() {
  int result = 1;
  const auto opened = OpenInstalled(SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG, true, &result);
  if (!opened) return result;
  const Handle& service = opened->service;
  SERVICE_STATUS_PROCESS status{};
  if (!QueryState(service.get(), status)) return Fail("cannot ask the service", ::GetLastError());
  Say(std::string("Service ") + kWindowsServiceName + " is " + StateName(status.dwCurrentState));
  DWORD needed = 0;
  ::QueryServiceConfigA(service.get(), nullptr, 0, &needed);
  std::vector<unsigned long long> buffer(needed / sizeof(unsigned long long) + 1);  // aligned
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (needed > 0 && ::QueryServiceConfigA(service.get(), config, needed, &needed) &&
      config->lpBinaryPathName != nullptr) {
    Say(std::string("Command: ") + config->lpBinaryPathName);
  }
  return 0;
}

}  // namespace vexanet::service
