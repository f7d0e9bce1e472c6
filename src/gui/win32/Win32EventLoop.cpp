// The main loop with a native Windows window: the message loop on the main thread, the start-up
// sequence on a thread of its own. A hidden helper window carries tasks from other threads to
// the main thread (to make and destroy the window there) and hears the end of the session.
//
// Without a desktop to draw on the program runs headless, like the other backends: it prints the
// "No display" line and every status text follows as a "Status: " line. Headless is chosen when
//  - the deployment asks for it (VEXANET_HEADLESS=1; the tests use it under Wine), or
//  - the process's window station is not the interactive one (a service, a remote shell), or
//  - no top-level window can be made (the hidden helper is the probe; under Wine this is the
//    case without an X display).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "gui/EventLoop.h"
#include "gui/LocalGUI.h"
#include "gui/win32/Win32Window.h"
#include "base/Console.h"

namespace vexanet::gui::win32 {
namespace {

const wchar_t* const kHelperClass = L"VexaNetServerLoop";

// The tasks for the event loop's thread: a locked list, and one kRunTasks message posted to the
// helper window while the list is not empty. The helper and the thread are set once, before any
// other thread is started, and never change.
class LoopTasks {
 public:
  static LoopTasks& Instance() {
    static LoopTasks* const tasks = new LoopTasks;  // lives as long as the process
    return *tasks;
  }

  void Start(HWND helper) {
    threadId_.store(::GetCurrentThreadId());
    helper_.store(helper);
  }
  HWND Helper() const { return helper_.load(); }
  bool OnLoopThread() const { return ::GetCurrentThreadId() == threadId_.load(); }

  void Post(std::function<void()> task) {
    bool post = false;
    {
      std::lock_guard lock(m_);
      tasks_.push_back(std::move(task));
      if (!posted_) post = posted_ = true;
    }
    if (post) Kick();
  }

  // Posts kRunTasks again when an earlier post failed and tasks are waiting.
  void Retry() {
    bool post = false;
    {
      std::lock_guard lock(m_);
      if (!posted_ && !tasks_.empty()) post = posted_ = true;
    }
    if (post) Kick();
  }

  void RunPending() {
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard lock(m_);
      tasks.swap(tasks_);
      posted_ = false;
    }
    for (auto& task : tasks) {
      // Exceptions must not unwind through the system's message dispatch.
      try {
        task();
      } catch (const std::exception& e) {
        ConsoleLine(std::string("Window task failed: ") + e.what());
      } catch (...) {
        ConsoleLine("Window task failed");
      }
    }
  }

 private:
  void Kick() {
    if (::PostMessageW(helper_.load(), kRunTasks, 0, 0)) return;
    const DWORD error = ::GetLastError();
    bool report = false;
    {
      std::lock_guard lock(m_);
      posted_ = false;
      report = !reported_;
      reported_ = true;
    }
    if (report) {
      ConsoleLine("Posting to the window's thread failed (Windows error " +
                  std::to_string(error) + "); retrying");
    }
  }

  std::atomic<HWND> helper_{nullptr};
  std::atomic<DWORD> threadId_{0};
  std::mutex m_;
  std::deque<std::function<void()>> tasks_;
  bool posted_ = false;
  bool reported_ = false;
};

thread_local HWND dialogWindow = nullptr;

LRESULT CALLBACK HelperProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case kRunTasks:
      LoopTasks::Instance().RunPending();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // A console program that uses windows hears of logoff and shutdown here, not through its
      // console handler.
      if (wp) EndProcessNow();
      return 0;
    default:
      return ::DefWindowProcW(hwnd, msg, wp, lp);
  }
}

// False for a window station nobody sees (services, remote shells); true when it cannot tell.
bool InteractiveWindowStation() {
  HWINSTA station = ::GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  if (station == nullptr ||
      !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) {
    return true;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// The helper: a hidden top-level window where a desktop takes one (it then also hears the end of
// the session), else a message-only window. Null when neither can be made.
HWND MakeHelper(bool& desktop) {
  WNDCLASSEXW cls{};
  cls.cbSize = sizeof cls;
  cls.lpfnWndProc = HelperProc;
  cls.hInstance = ::GetModuleHandleW(nullptr);
  cls.lpszClassName = kHelperClass;
  if (::RegisterClassExW(&cls) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    desktop = false;
    return nullptr;
  }
  HWND helper = ::CreateWindowExW(0, kHelperClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  cls.hInstance, nullptr);
  desktop = helper != nullptr;
  if (helper == nullptr) {
    helper = ::CreateWindowExW(0, kHelperClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               cls.hInstance, nullptr);
  }
  return helper;
}

}  // namespace

bool StartLoopThread() {
  bool desktop = false;
  HWND helper = MakeHelper(desktop);
  if (helper != nullptr) LoopTasks::Instance().Start(helper);
  return desktop && InteractiveWindowStation();
}

void RunOnLoopThreadAndWait(const std::function<void()>& fn) {
  LoopTasks& loop = LoopTasks::Instance();
  if (loop.Helper() == nullptr || loop.OnLoopThread()) {
    fn();  // no event loop, or already on its thread (waiting there would never end)
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  // The caller waits below until the task has run, so the references in fn stay valid.
  loop.Post([done, &fn] {
    try {
      fn();
      done->set_value();
    } catch (...) {
      done->set_exception(std::current_exception());
    }
  });
  while (finished.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
    loop.Retry();
  }
  finished.get();
}

void SetDialogWindow(HWND window) {
  dialogWindow = window;
}

HWND DialogWindow() {
  return dialogWindow;
}

void EndProcessNow() {
  // At once and with status 0, as when the window is closed; every console line is already
  // flushed. TerminateProcess rather than ExitProcess: the clean-up of the latter would wait for
  // locks that the other threads, stopped wherever they were, may hold.
  ::TerminateProcess(::GetCurrentProcess(), 0);
  std::_Exit(0);  // not reached
}

}  // namespace vexanet::gui::win32

namespace vexanet::gui {

int RunWindowEventLoop(bool headlessAsked, const std::function<void(bool)>& startup) {
  using namespace win32;
  const bool headless = !StartLoopThread() || headlessAsked;
  if (headless) ConsoleLine(kNoWindowLine);

  std::thread(startup, headless).detach();

  // The window's messages, until the process ends (closing the window ends it at once). Tab and
  // Enter go through IsDialogMessage, so that Tab moves between the controls.
  MSG msg{};
  for (;;) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) break;  // WM_QUIT: nobody posts it
    if (got == -1) {
      ConsoleLine("Reading the window's messages failed (Windows error " +
                  std::to_string(::GetLastError()) + ")");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    HWND dialog = DialogWindow();
    if (dialog != nullptr && msg.message == WM_SYSKEYDOWN && msg.wParam == VK_F4 &&
        ::IsChild(dialog, msg.hwnd)) {
      // Alt+F4 closes the window whichever control has the focus (Wine's selector would keep
      // the key to itself).
      ::SendMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
      continue;
    }
    if (dialog != nullptr && ::IsDialogMessageW(dialog, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace vexanet::gui
