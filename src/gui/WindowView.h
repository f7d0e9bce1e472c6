// WindowView: what a window backend draws. LocalGUI holds the window's logic (the operator's
// actions, their worker, the order of calls, the console echo) and hands the view only what it
// must show. The build picks one backend; each defines MakeWindowView and DestroyWindowView.
//
// Threads: every operation may be called from any thread; a view applies them on its own thread
// in the order they were made.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class LocalGUI;

class WindowView {
 public:
  virtual ~WindowView() = default;

  virtual void ShowIP(const std::string& text) = 0;
  // echo: also write "Status: " and the text to standard output, at the moment the text takes
  // its place in the order of calls, so the console shows the texts in the field's order.
  virtual void ShowStatus(const std::string& text, bool echo) = 0;
  virtual void SelectRelay(int32_t relay, int32_t item) = 0;
  virtual void SetConnectButton(bool enabled, int grey) = 0;
  virtual void SetLocalName(const std::string& text) = 0;

  // True on the view's own thread.
  virtual bool OnViewThread() const = 0;
  // View thread: carries out every call queued so far.
  virtual void Drain() = 0;
  // Other threads: waits until every call queued before has been carried out.
  virtual void Wait() = 0;
};

// Made by the backend the build chose, for the given window logic and listening port. Callable
// from any thread; null when the backend shows nothing.
std::unique_ptr<WindowView> MakeWindowView(LocalGUI& window, int32_t port);
// Destroys a view made by MakeWindowView on the view's own thread and waits until it is gone.
void DestroyWindowView(std::unique_ptr<WindowView> view);
