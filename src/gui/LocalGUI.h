// LocalGUI: the operator's window. Mirrors the eight relays and lets the operator switch them,
// shows the server's address, port and latest status text, lets a client connect or closes the
// current connection, and takes a new password or a raw hexadecimal command.
//
// This class is the window's logic, the same for every backend; what is drawn, and how, is the
// view's (WindowView, from the backend the build chose: a toolkit window, a native one, or none).
//
// Threads:
//  - Every public call below may be called from any thread; the view applies the calls in the
//    order they were made.
//  - The operator's actions (selectors, the two buttons, Enter in Host/PWD) reach the view's
//    thread first (OnSelector ...), and never run there: they are queued, in the order the
//    operator made them, to one worker thread, because they wait on the serial line (150 ms per
//    relay byte) and the network.
//  - A selector changed by the program does not raise the operator's action.
//
// Headless (no window to draw, or none wanted): every status text is also written to standard
// output as "Status: " followed by the text.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "gui/WindowView.h"

class OperatorActions;

namespace vexanet::gui {
class ActionQueue;
}

// How a window is made (LocalGUI::Create).
struct LocalGUIOptions {
  // Status texts also go to standard output (see below).
  bool headless = false;
  // What closing the window does (view's thread); empty: the process ends at once with status 0.
  std::function<void()> onClose;
};

class LocalGUI {
 public:
  struct Colour {
    int red, green, blue;
  };
  static constexpr Colour backcol{120, 140, 240};
  static constexpr int32_t GUIwidth = 420;
  static constexpr int32_t h = 24;
  static constexpr int32_t w = 50;
  // The server's operator actions; start-up sets it once the server core exists.
  std::atomic<OperatorActions*> scam{nullptr};

  using Options = LocalGUIOptions;

  // Creates the window for the given listening port and shows it; callable from any thread.
  static LocalGUI* Create(int32_t port, Options options = {});
  // Destroys a window made by Create: the operator's action in progress finishes first, actions
  // still waiting are dropped, then the view goes on its own thread.
  static void Destroy(LocalGUI* window);

  // --- callable from any thread -----------------------------------------------------------
  // Shows an address's text form "hostname/1.2.3.4"; no address shows "null".
  void ShowIP(const std::optional<std::string>& address);
  void ShowStatus(const std::string& text);
  // Enables the connect button with a gray (128) background, or disables it dark gray (64).
  void EnableConnect(bool enabled);
  // Selects item 0 ("Off") or 1 ("On") in the selector of relay index 0..7; anything else is
  // ignored.
  void SelectRelay(int32_t relay, int32_t item);
  // Enables or disables the connect button and gives it a gray background of that level.
  void SetConnectButton(bool enabled, int grey);
  // Puts text into the Host/PWD field.
  void SetLocalName(const std::string& text);

  // Waits until every window call and operator action queued before this call has been carried
  // out. From a thread other than the view's it needs the view's event loop to be running; on
  // the view's thread it carries out the window updates that the actions queue while it waits.
  void Flush();

  bool Headless() const { return headless_.load(); }
  // A backend that cannot show its window after all falls back to headless.
  void SetHeadless(bool on) { headless_.store(on); }
  // The operator asked to close the window (view's thread).
  void RequestClose();

  // --- the operator's actions, from the view's thread -------------------------------------
  void OnSelector(int32_t relay, int32_t item);
  void OnConnect();
  void OnClose();
  void OnEnter(const std::string& text);

  // The backend's view; null when the backend shows nothing.
  WindowView* view() const { return view_.get(); }

  ~LocalGUI();
  LocalGUI(const LocalGUI&) = delete;
  LocalGUI& operator=(const LocalGUI&) = delete;

 private:
  explicit LocalGUI(Options options);
  // Worker: the server's actions, or null after showing "Server not ready".
  OperatorActions* ServerReady();

  std::atomic<bool> headless_;
  const std::function<void()> onClose_;
  std::unique_ptr<vexanet::gui::ActionQueue> actions_;
  std::unique_ptr<WindowView> view_;
};
