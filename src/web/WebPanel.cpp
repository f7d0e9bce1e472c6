#include "web/WebPanel.h"

#include <asio/ip/address.hpp>
#include <httplib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <ctime>
#include <exception>
#include <nlohmann/json.hpp>
#include <regex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "access/AccessPolicy.h"
#include "base/Console.h"
#include "relay/RelayService.h"
#include "web/PanelPage.h"
#include "web/PanelState.h"
#include "web/Requests.h"

namespace vexanet::web {
namespace {

using json = nlohmann::json;
using HandlerResponse = httplib::Server::HandlerResponse;

// Worker threads besides the event streams: enough for a burst of API calls while every stream
// is open.
constexpr size_t kRequestWorkers = 16;

// Texts may carry any bytes a client sent; invalid UTF-8 becomes U+FFFD rather than an error.
std::string Dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void Error(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(Dump(json{{"error", message}}), "application/json");
}

std::string Iso8601(std::chrono::system_clock::time_point t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// What a path allows; empty when the path is unknown.
std::vector<std::string> MethodsOf(const std::string& path) {
  static const std::regex relay("/api/relays/[0-9]+");
  if (path == "/" || path == "/api/state" || path == "/api/events") return {"GET", "HEAD"};
  if (path == "/api/relays" || std::regex_match(path, relay)) return {"PUT"};
  if (path == "/api/connection/close" || path == "/api/connection/accept") return {"POST"};
  return {};
}

bool IsJson(const httplib::Request& req) {
  std::string type = req.get_header_value("Content-Type");
  type = type.substr(0, type.find(';'));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return type == "application/json";
}

}  // namespace

struct WebPanel::Impl {
  Impl(HttpSetting where, relay::RelayService& relays, PanelActions& actions,
       access::AccessPolicy* access, PanelLimits limits)
      : where(std::move(where)),
        relays(relays),
        actions(actions),
        access(access),
        limits(limits),
        state(relays) {}

  const HttpSetting where;
  relay::RelayService& relays;
  PanelActions& actions;
  access::AccessPolicy* const access;
  const PanelLimits limits;
  PanelState state;
  httplib::Server server;
  std::thread listener;
  std::atomic<int> port{0};
  std::atomic<size_t> streams{0};
  bool observing = false;

  bool PasswordRequired() const { return access != nullptr && access->settings().requirePassword; }

  std::string Json(const PanelSnapshot& s) {
    json client = nullptr;
    if (s.client) {
      json left = nullptr;
      if (const std::optional<int64_t> ms = actions.ClientTimeLeft()) left = (*ms + 999) / 1000;
      client = {{"address", s.client->address}, {"since", Iso8601(s.client->since)},
                {"secondsLeft", left}};
    }
    return Dump(json{{"relays", s.relays},
                     {"status", s.status},
                     {"serial", s.serialUp ? "up" : "down"},
                     {"client", client},
                     {"connectAllowed", actions.ConnectAllowed()}});
  }

  void AnswerState(httplib::Response& res) {
    res.set_content(Json(state.Current()), "application/json");
  }

  static std::string Peer(const httplib::Request& req) {
    const bool v6 = req.remote_addr.find(':') != std::string::npos;
    return (v6 ? "[" + req.remote_addr + "]" : req.remote_addr) + ":" +
           std::to_string(req.remote_port);
  }

  // Who may ask, and with which password; answers the request itself when it may not.
  HandlerResponse Admit(const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    std::error_code ec;
    const asio::ip::address client = asio::ip::make_address(req.remote_addr, ec);
    if (access != nullptr) {
      if (ec) {
        Error(res, 403, "unknown client address");
        return HandlerResponse::Handled;
      }
      using Kind = access::AccessPolicy::Verdict::Kind;
      const access::AccessPolicy::Verdict verdict = access->Admit(client, access::Clock::now());
      if (verdict.kind == Kind::NotAllowed) {
        ConsoleLine(access::AccessPolicy::RefusalLine(client, verdict) + " (web)");
        Error(res, 403, "this address may not use the panel");
        return HandlerResponse::Handled;
      }
      if (verdict.kind != Kind::Serve) {
        const auto seconds =
            std::chrono::ceil<std::chrono::seconds>(verdict.wait).count();
        res.set_header("Retry-After", std::to_string(std::max<int64_t>(seconds, 1)));
        Error(res, 429, "too soon after a wrong password");
        return HandlerResponse::Handled;
      }
    }
    if (PasswordRequired()) {
      const std::optional<std::string> given =
          BasicPassword(req.get_header_value("Authorization"));
      if (!given || !actions.PasswordMatches(*given)) {
        if (given && !ec) access->PasswordRejected(client, access::Clock::now());
        res.set_header("WWW-Authenticate", "Basic realm=\"VexaNet\", charset=\"UTF-8\"");
        Error(res, 401, "password required");
        return HandlerResponse::Handled;
      }
      if (!ec) access->PasswordAccepted(client);
    }
    const std::vector<std::string> methods = MethodsOf(req.path);
    if (methods.empty()) {
      Error(res, 404, "no such resource");
      return HandlerResponse::Handled;
    }
    if (std::find(methods.begin(), methods.end(), req.method) == methods.end()) {
      std::string allow;
      for (const std::string& m : methods) allow += (allow.empty() ? "" : ", ") + m;
      res.set_header("Allow", allow);
      Error(res, 405, "method not allowed");
      return HandlerResponse::Handled;
    }
    if (req.method == "PUT" || req.method == "POST") {
      // Another web site must not switch relays through a visitor's browser.
      const std::string origin = req.get_header_value("Origin");
      const std::string host = req.get_header_value("Host");
      if (!origin.empty() && origin != "http://" + host && origin != "https://" + host) {
        Error(res, 403, "cross-origin requests may not change anything");
        return HandlerResponse::Handled;
      }
      if (req.method == "PUT" && !IsJson(req)) {
        Error(res, 415, "send the body as application/json");
        return HandlerResponse::Handled;
      }
    }
    return HandlerResponse::Unhandled;
  }

  void SwitchOne(const httplib::Request& req, httplib::Response& res) {
    const std::string number = req.matches[1];
    const int relay = number.size() == 1 ? number[0] - '0' : 0;
    if (relay < 1 || relay > 8) {
      Error(res, 404, "relays are numbered 1 to 8");
      return;
    }
    const std::optional<bool> wanted = ParseOneRelay(req.body);
    if (!wanted) {
      Error(res, 400, "expected {\"on\": true or false}");
      return;
    }
    const bool on = *wanted;
    const std::string peer = Peer(req);
    ConsoleLine("Web request from " + peer + ": relay " + std::to_string(relay) +
                (on ? " on" : " off"));
    relays.Switch(relay - 1, on, relay::Source{"web/" + peer});
    AnswerState(res);
  }

  void SwitchAll(const httplib::Request& req, httplib::Response& res) {
    const std::optional<std::array<bool, 8>> all = ParseAllRelays(req.body);
    if (!all) {
      Error(res, 400, "expected {\"relays\": [8 booleans]}");
      return;
    }
    std::array<std::optional<bool>, 8> wanted;
    std::string text;
    for (size_t i = 0; i < 8; ++i) {
      wanted[i] = (*all)[i];
      text += (*all)[i] ? '1' : '0';
    }
    const std::string peer = Peer(req);
    ConsoleLine("Web request from " + peer + ": relays " + text);
    relays.SwitchSeveral(wanted, relay::Source{"web/" + peer});
    AnswerState(res);
  }

  void Events(httplib::Response& res) {
    if (streams.fetch_add(1) >= limits.maxStreams) {
      streams.fetch_sub(1);
      Error(res, 503, "too many event streams");
      return;
    }
    auto sent = std::make_shared<std::optional<uint64_t>>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, sent](size_t /*offset*/, httplib::DataSink& sink) {
          std::vector<PanelSnapshot> snapshots;
          if (!*sent) {
            snapshots.push_back(state.Current());
          } else {
            snapshots = state.After(**sent, limits.keepAlive);
          }
          if (state.stopped()) {
            sink.done();
            return true;
          }
          if (snapshots.empty()) {
            static constexpr std::string_view kComment = ": still here\n\n";
            return sink.write(kComment.data(), kComment.size());
          }
          for (const PanelSnapshot& s : snapshots) {
            const std::string event = "event: state\ndata: " + Json(s) + "\n\n";
            if (!sink.write(event.data(), event.size())) return false;
            *sent = s.seq;
          }
          return true;
        },
        [this](bool /*success*/) { streams.fetch_sub(1); });
  }

  void Routes() {
    server.set_payload_max_length(limits.maxBody);
    server.set_keep_alive_timeout(5);
    server.set_read_timeout(std::chrono::seconds(5));
    server.set_write_timeout(std::chrono::seconds(5));
    const size_t workers = limits.maxStreams + kRequestWorkers;
    server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    server.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return Admit(req, res); });
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request& /*req*/, httplib::Response& res) {
      if (!res.body.empty()) return HandlerResponse::Unhandled;
      const char* message = res.status == 413   ? "request body too large"
                            : res.status == 404 ? "no such resource"
                            : res.status < 500  ? "bad request"
                                                : "server error";
      Error(res, res.status, message);
      return HandlerResponse::Handled;
    }));
    server.set_exception_handler(
        [](const httplib::Request& /*req*/, httplib::Response& res, std::exception_ptr /*e*/) {
          Error(res, 500, "server error");
        });
    server.Get("/", [](const httplib::Request& /*req*/, httplib::Response& res) {
      res.set_content(std::string(PanelPage()), "text/html; charset=utf-8");
      res.set_header("Content-Security-Policy",
                     "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                     "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
                     "frame-ancestors 'none'");
      res.set_header("X-Content-Type-Options", "nosniff");
    });
    server.Get("/api/state",
               [this](const httplib::Request& /*req*/, httplib::Response& res) { AnswerState(res); });
    server.Get("/api/events",
               [this](const httplib::Request& /*req*/, httplib::Response& res) { Events(res); });
    server.Put(R"(/api/relays/([0-9]+))",
               [this](const httplib::Request& req, httplib::Response& res) { SwitchOne(req, res); });
    server.Put("/api/relays",
               [this](const httplib::Request& req, httplib::Response& res) { SwitchAll(req, res); });
    server.Post("/api/connection/close",
                [this](const httplib::Request& req, httplib::Response& res) {
                  ConsoleLine("Web request from " + Peer(req) + ": close the connection");
                  actions.CloseConnection();
                  AnswerState(res);
                });
    server.Post("/api/connection/accept",
                [this](const httplib::Request& req, httplib::Response& res) {
                  if (!actions.ConnectAllowed()) {
                    Error(res, 409, "a client cannot be let in now");
                    return;
                  }
                  ConsoleLine("Web request from " + Peer(req) + ": let a client connect");
                  actions.LetClientConnect();
                  AnswerState(res);
                });
  }
};

WebPanel::WebPanel(HttpSetting where, relay::RelayService& relays, PanelActions& actions,
                   access::AccessPolicy* access, PanelLimits limits)
    : impl_(std::make_unique<Impl>(std::move(where), relays, actions, access, limits)) {
  impl_->Routes();
}

WebPanel::~WebPanel() {
  Impl& p = *impl_;
  if (p.observing) p.relays.RemoveObserver(p.state);
  p.state.Stop();  // the event streams end, so the workers can be joined
  p.server.stop();
  if (p.listener.joinable()) p.listener.join();
}

bool WebPanel::Start() {
  Impl& p = *impl_;
  const std::string where = p.where.Text();
  int port = p.where.port;
  bool bound = false;
  if (port == 0) {
    port = p.server.bind_to_any_port(p.where.address);
    bound = port > 0;
  } else {
    bound = p.server.bind_to_port(p.where.address, port);
  }
  if (!bound) {
    ConsoleLine("Web panel: cannot listen on " + where + "; running without it");
    return false;
  }
  p.port.store(port);
  p.relays.AddObserver(p.state);
  p.observing = true;
  p.listener = std::thread([&p] { p.server.listen_after_bind(); });
  // Serving before anyone is told where, and stop() finds a running server to stop.
  while (!p.server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  HttpSetting shown = p.where;
  shown.port = static_cast<uint16_t>(port);
  ConsoleLine("Web panel at http://" + shown.Text() + "/");
  if (!p.where.Loopback() && !p.PasswordRequired()) {
    ConsoleLine("Warning: the web panel on " + shown.Text() +
                " asks for no password: anyone who reaches it can switch the relays "
                "(set VEXANET_REQUIRE_PASSWORD)");
  }
  return true;
}

int WebPanel::port() const {
  return impl_->port.load();
}

std::string WebPanel::StateJson() {
  return impl_->Json(impl_->state.Current());
}

}  // namespace vexanet::web
