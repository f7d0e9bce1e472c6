// ServerWindow: the operator's window as the server core drives it. The core never learns which
// window (a toolkit window, a native one, or none at all): start-up hands it one of these.
//
// Threads: every call may come from any thread; a window applies the calls in the order they
// were made.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class ServerWindow {
 public:
  virtual ~ServerWindow() = default;

  // The status field shows this text in place of the previous one.
  virtual void ShowStatus(const std::string& text) = 0;
  // The address field shows "hostname/1.2.3.4"; no address shows "null".
  virtual void ShowIP(const std::optional<std::string>& address) = 0;
  // Enables the connect button with a grey background, or disables it dark grey.
  virtual void EnableConnect(bool enabled) = 0;
  // Selects item 0 ("Off") or 1 ("On") in the selector of relay index 0..7.
  virtual void SelectRelay(int32_t relay, int32_t item) = 0;
  // Enables or disables the connect button with a background grey of that level.
  virtual void SetConnectButton(bool enabled, int grey) = 0;
  // Puts text into the Host/PWD field.
  virtual void SetLocalName(const std::string& text) = 0;
  // Waits until every call and operator action made before has been carried out.
  virtual void Flush() = 0;
};
