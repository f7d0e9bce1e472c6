// Win32Window: the operator's window drawn with the Windows API (the native backend). The
// window's logic is LocalGUI's; this class only builds the fixed layout, shows what LocalGUI
// hands it and passes the operator's actions back.
//
// Threads: the window and its controls belong to the thread that made them, the event loop's
// (main) thread; MakeWindowView has them made there from any thread. Every WindowView operation
// may be called from any thread: the call is queued under a lock, in call order, and carried out
// by the window's thread (at once when called there, otherwise on a private message posted to
// the window, which is delivered in modal loops as well). No control is touched from another
// thread. Control code asserts that it runs on the window's thread.
//
// Selectors: only the operator's choice raises the action. CB_SETCURSEL from the program sends
// no notification; a choice made and then cancelled (Escape, a click elsewhere) is undone.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "gui/LocalGUI.h"
#include "gui/ViewCallQueue.h"
#include "gui/WindowView.h"

namespace vexanet::gui::win32 {

// Carry out the window's queued calls (posted to the window).
inline constexpr UINT kRunCalls = WM_APP + 1;
// Run the tasks posted to the event loop's thread (posted to the loop's helper window).
inline constexpr UINT kRunTasks = WM_APP + 2;

// The line every backend prints when it runs without a window.
inline constexpr const char* kNoWindowLine =
    "No display: running without a window; status texts follow as Status: lines";

// --- the event loop (Win32EventLoop.cpp) ---------------------------------------------------
// Makes the calling thread the event loop's: the thread that makes the window and runs the
// tasks other threads post (a hidden helper window receives them). Returns false when there is
// no desktop to draw on. RunWindowEventLoop calls it first; a test may
// call it on its main thread and dispatch the messages itself. Once per process.
bool StartLoopThread();
// Runs fn on the event loop's thread and waits until it has run; directly when already there.
// Without a running event loop fn runs on the calling thread, which then owns the windows fn
// makes and must dispatch their messages itself. Exceptions thrown by fn reach the caller.
void RunOnLoopThreadAndWait(const std::function<void()>& fn);
// The window whose Tab and Enter keys the calling thread's message loop hands to
// IsDialogMessage; null for none. Per thread, like the windows themselves.
void SetDialogWindow(HWND window);
HWND DialogWindow();
// Ends the process at once with exit status 0 (the session ends: logoff or shutdown).
[[noreturn]] void EndProcessNow();

}  // namespace vexanet::gui::win32

class Win32Window final : public WindowView {
 public:
  // Window thread only; MakeWindowView builds it there from any thread. Throws
  // std::runtime_error when the window or one of its controls cannot be made.
  Win32Window(LocalGUI& logic, int32_t port);
  ~Win32Window() override;
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // --- WindowView ---------------------------------------------------------------------------
  void ShowIP(const std::string& text) override;
  void ShowStatus(const std::string& text, bool echo) override;
  void SelectRelay(int32_t relay, int32_t item) override;
  void SetConnectButton(bool enabled, int grey) override;
  void SetLocalName(const std::string& text) override;
  bool OnViewThread() const override { return ::GetCurrentThreadId() == threadId_; }
  void Drain() override;
  void Wait() override;

  // --- the window and its controls (window thread only) -------------------------------------
  HWND window = nullptr;
  HWND prodlabel = nullptr;
  std::array<HWND, 8> LabelR{};
  std::array<HWND, 8> r{};
  HWND bconnect = nullptr;
  HWND bclose = nullptr;
  HWND netlabel = nullptr;
  HWND namelabel = nullptr;
  HWND addresslabel = nullptr;
  HWND portlabel = nullptr;
  HWND statuslabel = nullptr;
  HWND localname = nullptr;
  HWND ipfield = nullptr;
  HWND portfield = nullptr;
  HWND statusfield = nullptr;
  // The grey level "Let Client Connect" is drawn with.
  int connectGrey() const { return connectGrey_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK FieldProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                                    DWORD_PTR self);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  void OnCommand(int id, int code);
  void OnSelectorNotice(size_t n, int code);
  void Choose(size_t n, int item);
  void DrawButton(const DRAWITEMSTRUCT& item);
  void DrawSelectorItem(const DRAWITEMSTRUCT& item);
  void ApplyConnectButton(bool enabled, int grey);
  HBRUSH GreyBrush(int level);
  HWND Add(const wchar_t* kind, const std::wstring& text, DWORD style, DWORD exStyle, int x,
           int y, int width, int id);
  void AddSelector(size_t n, int x, int y);
  void CentreFieldText(HWND field);
  bool PostDrain();
  void AssertViewThread(const char* where) const;
  void Release();

  LocalGUI& logic_;
  const DWORD threadId_;
  // Made once for the window's life: the background brush shared by every control, the font,
  // and one brush per grey level of "Let Client Connect".
  HBRUSH backBrush_ = nullptr;
  HFONT font_ = nullptr;
  int fieldTextHeight_ = 0;
  std::map<int, HBRUSH> greyBrushes_;
  int connectGrey_ = 0;
  // The item each selector shows for its relay: what the program selected last or the
  // operator's latest choice; a cancelled choice goes back to it.
  std::array<int, 8> shown_{};
  HWND focus_ = nullptr;  // the control that had the focus when the window was deactivated

  std::atomic<bool> postFailed_{false};  // reported once
  // Calls for the window's thread, in call order; a kRunCalls message drains them.
  vexanet::gui::ViewCallQueue calls_{[this] { return OnViewThread(); },
                                     [this] { return PostDrain(); }};
};
