// The service's side of the service control manager: the dispatcher on the main thread, the
// service's own thread running the server, and the control handler that stops it.
#include "service/WindowsService.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/Console.h"
#include "service/RotatingLog.h"
#include "service/windows/WindowsErrors.h"

namespace vexanet::service {
namespace {

// The console's lines, which a service has nowhere to show, go through a pipe to a thread that
// appends them to the log. Closing the pipe's writing end (Close) lets that thread write what is
// still in the pipe and end.
class ConsoleToLog {
 public:
  bool Start(const std::filesystem::path& path, std::string& problem) {
    log_ = std::make_unique<RotatingLog>(path, kWindowsServiceLogLimit);
    if (!log_->Open()) {
      problem = log_->Problem();
      return false;
    }
    HANDLE reading = nullptr;
    HANDLE writing = nullptr;
    if (!::CreatePipe(&reading, &writing, nullptr, 64 * 1024)) {
      problem = "cannot make a pipe for the console: " + WindowsErrorText(::GetLastError());
      return false;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(writing), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
      problem = "cannot use the console's pipe";
      ::CloseHandle(reading);
      ::CloseHandle(writing);
      return false;
    }
    // A service starts without standard handles: descriptors 1 and 2 become the pipe's (the
    // console's lines are written to descriptor 1 when there is no standard output stream).
    std::fflush(stdout);
    std::fflush(stderr);
    if (::_dup2(fd, 1) != 0 || ::_dup2(fd, 2) != 0) {
      problem = std::string("cannot send the console's lines to the log: ") +
                std::strerror(errno);
      ::CloseHandle(reading);
      ::_close(fd);
      return false;
    }
    ::_close(fd);
    ::SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(1)));
    ::SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(2)));
    std::thread([this, reading] {
      char buffer[4096];
      DWORD got = 0;
      while (::ReadFile(reading, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        log_->Append(std::string_view(buffer, got));
      }
      ::CloseHandle(reading);  // every writer has closed its end
      std::lock_guard<std::mutex> lock(mutex_);
      drained_ = true;
      drainedSignal_.notify_all();
    }).detach();
    started_ = true;
    return true;
  }

  // Ends the console's writing end and waits (a bounded time) for the log to have every line.
  void Close() {
    if (!started_) return;
    std::fflush(stdout);
    std::fflush(stderr);
    ::_close(1);
    ::_close(2);
    std::unique_lock<std::mutex> lock(mutex_);
    // A reader stuck on a full disk must not keep the service from stopping.
    drainedSignal_.wait_for(lock, std::chrono::seconds(3), [this] { return drained_; });
  }

 private:
  std::unique_ptr<RotatingLog> log_;
  bool started_ = false;
  std::mutex mutex_;
  std::condition_variable drainedSignal_;
  bool drained_ = false;
};

// What the service's callbacks share. The service control manager calls the service's main
// function without a pointer of ours, so the one run of this process is found here.
struct ServiceRun {
  std::function<void(ServiceManager&)> serve;
  std::filesystem::path dataFolder;
  SERVICE_STATUS_HANDLE handle = nullptr;
  ConsoleToLog log;
  std::mutex mutex;  // one status report at a time
  DWORD checkPoint = 0;
  std::atomic<bool> stopping{false};
};
ServiceRun* g_run = nullptr;

void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHintMs = 0) {
  std::lock_guard<std::mutex> lock(g_run->mutex);
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  // A stop is taken in every state: a start that hangs (a serial driver that never answers, say)
  // can still be stopped.
  status.dwControlsAccepted =
      state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = waitHintMs;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwCheckPoint = pending ? ++g_run->checkPoint : 0;
  ::SetServiceStatus(g_run->handle, &status);
}

class WindowsServiceManager : public ServiceManager {
 public:
  void Ready() override { Report(SERVICE_RUNNING); }
  void Status(const std::string& /*text*/) override {}  // the log has every status line
  void Stopping() override {}
  std::optional<std::chrono::microseconds> WatchdogInterval() override { return std::nullopt; }
  void Alive() override {}
};

DWORD WINAPI OnControl(DWORD control, DWORD /*eventType*/, void* /*eventData*/, void* /*ctx*/) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      // The handler answers at once; the stop itself is the work of a thread of its own (one:
      // a shutdown during a stop changes nothing).
      if (g_run->stopping.exchange(true)) return NO_ERROR;
      Report(SERVICE_STOP_PENDING, NO_ERROR, 5000);
      std::thread([control] {
        ConsoleLine(control == SERVICE_CONTROL_STOP ? "Service stop requested: stopping"
                                                    : "System shutdown: stopping");
        g_run->log.Close();
        Report(SERVICE_STOPPED);
        // As the console's Ctrl+C: at once, nothing closed or switched first.
        ::TerminateProcess(::GetCurrentProcess(), 0);
      }).detach();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD /*argc*/, char** /*argv*/) {
  g_run->handle = ::RegisterServiceCtrlHandlerExA(kWindowsServiceName, OnControl, nullptr);
  if (g_run->handle == nullptr) return;  // nothing to report to, nowhere to say it
  Report(SERVICE_START_PENDING, NO_ERROR, 30000);

  std::error_code error;
  std::filesystem::create_directories(g_run->dataFolder, error);
  std::filesystem::current_path(g_run->dataFolder, error);
  if (error) {
    Report(SERVICE_STOPPED, ERROR_PATH_NOT_FOUND);
    return;
  }
  std::string problem;
  if (!g_run->log.Start(g_run->dataFolder / kWindowsServiceLog, problem)) {
    RotatingLog(g_run->dataFolder / kWindowsServiceLog, kWindowsServiceLogLimit)
        .Append("Service " + std::string(kWindowsServiceName) + " not started: " + problem + "\n");
    Report(SERVICE_STOPPED, ERROR_WRITE_FAULT);
    return;
  }
  ConsoleLine(std::string("Service ") + kWindowsServiceName + " starting in " +
              g_run->dataFolder.string());
  static WindowsServiceManager manager;
  g_run->serve(manager);  // does not return
}

}  // namespace

int RunAsWindowsService(const std::string& dataFolder,
                        const std::function<void(ServiceManager&)>& serve) {
  if (dataFolder.empty()) {
    ConsoleLine(std::string(kWindowsServiceArgument) + " needs the data folder");
    return 2;
  }
  static ServiceRun run;
  run.serve = serve;
  run.dataFolder = std::filesystem::path(dataFolder);
  g_run = &run;
  std::string name = kWindowsServiceName;
  SERVICE_TABLE_ENTRYA table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherA(table)) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      ConsoleLine(std::string(kWindowsServiceArgument) +
                  " is for the service control manager; install the service with "
                  "vexanet-service.exe install");
    } else {
      ConsoleLine("Cannot reach the service control manager: " + WindowsErrorText(code));
    }
    return 2;
  }
  // The service has stopped (the manager was told so last): end without running the clean-up
  // of a normal return, which would race the threads still running.
  std::_Exit(0);
}

}  // namespace vexanet::service
