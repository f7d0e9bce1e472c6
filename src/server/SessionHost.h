// SessionHost: what a client session needs from the server it belongs to. The server core is
// the host in the program; tests give a session a small fake.
//
// Threads: called from the session's thread, from the thread that closes the session (the
// operator's worker, a timer) and from whichever thread asks the session for its state.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/Activity.h"
#include "relay/RelayService.h"

namespace vexanet::access {
class AccessPolicy;
}

class SessionHost {
 public:
  virtual ~SessionHost() = default;

  // A status text for the window's status field.
  virtual void ShowStat(const std::string& text) = 0;
  // A command line of the client at "address:port" for the relays ("R1On", "Get", ...): the
  // host hands it to the relay service in the client's name.
  virtual void ClientCommand(const std::string& line, const std::string& client) = 0;
  // Something happened to the client at "address:port" (for observers such as an audit log).
  virtual void ClientChanged(vexanet::relay::ClientEvent /*event*/,
                             const std::string& /*client*/) {}
  // Busy while a session acts on a client's line (for a health check); null: not watched.
  virtual vexanet::Activity* SessionActivity() { return nullptr; }
  // The password a client's "PWD" line must carry.
  virtual std::string password() = 0;
  // The session time in minutes, shared by every session: a client's "TO=" changes it, and the
  // next session's timer starts from it.
  virtual std::atomic<int32_t>& to() = 0;
  // The session has closed its connection: the host lets the next client in.
  virtual void SessionClosed() = 0;

  // Whether a "PWD" line carrying this text is accepted. A host may accept none at all.
  virtual bool PasswordMatches(const std::string& given) { return given == password(); }
  // Who may connect, whether a password is required and the back-off after rejected passwords.
  // Null: every client is served, as when none of the access settings is on.
  virtual vexanet::access::AccessPolicy* access() { return nullptr; }
};
