// WebPanel: the operator's window for a browser, and an HTTP API for scripts. Opt-in
// (VEXANET_HTTP). It is one more observer of the relay service (PanelState) and one more source
// of switches ("web/ADDRESS:PORT"); the operator's other actions reach the server through
// PanelActions, which start-up implements. It never reaches into the session or the window.
//
//   GET  /                       the panel (one page, everything built in)
//   GET  /api/state              {"relays":[8 booleans],"status":"...","serial":"up"|"down",
//                                 "client":null|{"address","since","secondsLeft"},
//                                 "connectAllowed":bool}
//   PUT  /api/relays/N           {"on":true|false}                 -> the new state
//   PUT  /api/relays             {"relays":[8 booleans]}           -> the new state
//   GET  /api/events             text/event-stream: a "state" event now and after every change
//   POST /api/connection/close   the window's "Close"
//   POST /api/connection/accept  the window's "Let Client Connect" (409 when it is disabled)
//
// Errors are JSON {"error":"..."}: 400 bad JSON or values, 401 password needed, 403 not allowed
// (VEXANET_ALLOW, or a foreign Origin on a change), 404 unknown path or relay, 405 wrong method,
// 409 not now, 413 body over the limit, 415 a change not sent as application/json, 429 too soon
// after a wrong password, 503 too many event streams.
//
// Threads: the HTTP library's listener thread and a fixed pool of worker threads (each open
// event stream holds one while it is open). Switches block their worker for the relay's pause,
// never the listener, the line protocol or the window.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "web/HttpSetting.h"

namespace vexanet::access {
class AccessPolicy;
}
namespace vexanet::relay {
class RelayService;
}

namespace vexanet::web {

// What the panel asks of the server besides switching; start-up links it to the server core.
class PanelActions {
 public:
  virtual ~PanelActions() = default;
  // Whether the window's "Let Client Connect" would do something now.
  virtual bool ConnectAllowed() = 0;
  virtual void LetClientConnect() = 0;
  // The window's "Close": ends the current client's connection (the status says when none).
  virtual void CloseConnection() = 0;
  // The connected client's time left in milliseconds while its session is timed.
  virtual std::optional<int64_t> ClientTimeLeft() = 0;
  virtual bool PasswordMatches(const std::string& given) = 0;
};

struct PanelLimits {
  size_t maxBody = 4096;
  size_t maxStreams = 32;
  // An idle event stream gets a comment this often, so a vanished browser is noticed.
  std::chrono::milliseconds keepAlive{15000};
};

class WebPanel {
 public:
  // relays, actions and access (null: everyone may, no password) must outlive the panel.
  WebPanel(HttpSetting where, relay::RelayService& relays, PanelActions& actions,
           access::AccessPolicy* access, PanelLimits limits = {});
  ~WebPanel();  // stops serving, ends the event streams, joins every thread
  WebPanel(const WebPanel&) = delete;
  WebPanel& operator=(const WebPanel&) = delete;

  // Binds the address and serves on threads of its own. One console line says where, or why
  // not (then false and nothing runs).
  bool Start();
  // The bound port (useful when port 0 was asked); 0 before Start.
  int port() const;

  // The state as /api/state answers it.
  std::string StateJson();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexanet::web
