// OperatorActions: what the operator's window can have the server do. The window calls these on
// its worker thread, one after the other in the order the operator acted; start-up hands the
// window an implementation that drives the server core.
#pragma once

#include <cstdint>
#include <span>
#include <string>

class OperatorActions {
 public:
  virtual ~OperatorActions() = default;

  // A relay selector was set: relay index 0..7 to item 0 ("Off") or 1 ("On").
  virtual void SwitchRelay(int32_t relay, int32_t item) = 0;
  // "Let Client Connect".
  virtual void LetClientConnect() = 0;
  // "Close": ends the current client's connection.
  virtual void CloseConnection() = 0;
  // Host/PWD held "0x" and hexadecimal digits: raw command bytes for the board.
  virtual void SendCommandBytes(std::span<const uint8_t> bytes) = 0;
  // Host/PWD held anything else: a host name to look up and show, and the clients' password.
  virtual void SetHostAndPassword(const std::string& text) = 0;
};
