// Ending the process on the console's stop events exactly as closing the window does: at once,
// with exit status 0, nothing closed or switched first. Ctrl+C, Ctrl+Break, closing the console
// and system shutdown stop it; a user's logoff is left to the system (a server running for
// another user must not stop on it). A program that shows windows hears of logoff and shutdown
// through its windows instead (WM_ENDSESSION, in the window backend).
#include "startup/StopSignals.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <utility>

#include "base/Console.h"

namespace vexanet {

namespace {

// Set once before the handler is installed.
std::function<void()>& BeforeStop() {
  static std::function<void()> beforeStop;
  return beforeStop;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // Every console line is already flushed. TerminateProcess rather than ExitProcess: the
      // latter's clean-up would wait for locks the other threads, stopped wherever they were,
      // may hold.
      if (BeforeStop()) BeforeStop()();
      ::TerminateProcess(::GetCurrentProcess(), 0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void InstallStopSignals(std::function<void()> beforeStop) {
  BeforeStop() = std::move(beforeStop);
  // A parent may have started us with Ctrl+C ignored (a new process group); take it back.
  ::SetConsoleCtrlHandler(nullptr, FALSE);
  if (!::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
    ConsoleLine("Cannot install the console's stop handler (Windows error " +
                std::to_string(::GetLastError()) + ")");
  }
}

}  // namespace vexanet
