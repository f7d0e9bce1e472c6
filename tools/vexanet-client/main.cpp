// vexanet-client: talks to VexaNet Server over its line protocol, in place of a raw TCP tool.
//
//   vexanet-client [--host H] [--port P] [--password PWD] [--timeout SECONDS] [--json] WORD...
//
// Without words it reads lines from standard input (interactive). The session logic lives in
// vexanet_client_lib; this file reads the command line and wires the parts together.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "vexanet-client/Client.h"
#include "vexanet-client/Interactive.h"
#include "vexanet-client/TcpLink.h"
#include "vexanet-client/Terminal.h"
#include "vexanet-client/Words.h"

namespace client = vexanet::client;

namespace {

constexpr const char* kName = "vexanet-client";
constexpr auto kWaitingNotice = std::chrono::seconds(1);

void Error(const std::string& text) {
  std::cerr << kName << ": " << text << '\n' << std::flush;
}

std::string Footer() {
  return R"(Words, sent in this order after the greeting and the password:
  on N...      switch relays N (1 to 8) on: R<N>On for each
  off N...     switch relays N off: R<N>Off for each
  toggle N...  read the relays with Get, then switch each relay N the other way
  status       read the relays with Get and print them as a table (JSON with --json)
  all-off      switch all eight relays off
  anything else is sent as one line exactly as given: R1On ... R8Off, Get, TO=N,
  PWD<password>, Close, KILL, ... (a line starting with '-' goes after "--")
Then the client sends Close.

Replies: every line the server sends is printed as it arrives; with --json only the
status objects are printed. After each line the client waits as follows:
  R1On ... R8Off, Get  for the status line (Stat and eight digits), up to --timeout
  PWD<password>        for the server's answer, up to --timeout
  TO=N                 not at all: the server never answers it
  Close, KILL          for the server to end the connection (nothing may follow them)
  any other line       up to 0.5 s for a reply; none is no error
"TIME" (the session's time is up), "CLOSE" and a rejected password end the session.
A time limit (TO=N) applies from the next password on: TO=5 PWD<password> ...

The server serves one client at a time. While another client is connected the
connection is made but not greeted: after 1 s the client says it is waiting, and it
gives up when --timeout has passed since it started connecting.

Without words the client is interactive: each line typed is sent (the words above
work too) and its replies are printed before the next prompt; lines the server sends
on its own appear as they come. An empty line is not sent. Close, end of input
(Ctrl-D; Ctrl-Z and Enter on Windows) or the server ends the session.
Typing: )" +
         client::LineEditingNote() +
         R"(.

Exit status: 0 done; 1 the server rejected the password or ended the session (TIME,
CLOSE, connection closed); 2 bad options or words; 3 could not connect, or no
greeting or reply within --timeout. Errors go to standard error, one line each.)";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Switches the relays of a VexaNet Server over its line protocol", kName};
  app.footer(Footer());

  std::string host = "localhost";
  int port = 3001;
  std::string password;
  double timeoutSeconds = 10;
  bool json = false;
  std::vector<std::string> words;

  app.add_option("--host", host, "Server name or address")
      ->envname("VEXANET_HOST")
      ->capture_default_str();
  app.add_option("--port", port, "Server TCP port")
      ->envname("VEXANET_PORT")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  auto* passwordOption =
      app.add_option("--password", password,
                     "Send PWD with this password first (default: none; use the environment "
                     "variable to keep it off the command line)")
          ->envname("VEXANET_PASSWORD");
  app.add_option("--timeout", timeoutSeconds,
                 "Seconds to wait for the connection and greeting, and for each reply")
      ->check(CLI::Range(0.001, 86400.0))
      ->capture_default_str();
  app.add_flag("--json", json, "Print status as {\"relays\":[...]} and no other reply lines");
  app.add_option("WORD", words, "Words to send (see below); none: interactive");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    Error(std::string(e.what()) + " (see --help)");
    return client::kExitUsage;
  }
  if (host.empty()) {
    Error("the host name is empty (see --help)");
    return client::kExitUsage;
  }

  if (password.find_first_of("\r\n") != std::string::npos) {
    Error("the password cannot hold a line break");
    return client::kExitUsage;
  }

  const client::Expansion expansion = client::ExpandWords(words);
  if (!expansion.error.empty()) {
    Error(expansion.error + " (see --help)");
    return client::kExitUsage;
  }

  client::Options options;
  if (passwordOption->count() > 0) options.password = password;
  options.timeout = std::chrono::duration_cast<client::Clock::duration>(
      std::chrono::duration<double>(timeoutSeconds));
  options.json = json;

  const auto deadline = client::Clock::now() + options.timeout;
  client::TcpLink link;
  if (const std::error_code ec = link.Connect(host, static_cast<uint16_t>(port), deadline)) {
    Error("could not connect to " + host + " port " + std::to_string(port) + ": " + ec.message());
    return client::kExitUnreachable;
  }

  client::Client session(link, options, std::cout);
  const auto onWaiting = [] { Error("waiting for the server (another client is connected)"); };

  if (!words.empty()) {
    const client::Result r =
        client::RunWords(session, expansion.steps, deadline, kWaitingNotice, onWaiting);
    if (r.failed()) Error(r.message);
    return r.status;
  }

  const bool terminal = client::StdinIsTerminal();
  if (terminal) {
    Error("connected to " + host + " port " + std::to_string(port) +
          "; type words or lines, Close or Ctrl-D to end");
  }
  const client::InteractiveResult r = client::RunInteractive(
      session, link, client::MakeLineInput("vexanet> "), deadline, kWaitingNotice, onWaiting,
      [](const std::string& message) { Error(message); });
  if (r.result.failed()) Error(r.result.message);
  if (r.inputLeftBlocked) {
    // The input thread is stuck in a read nothing can interrupt: leave without waiting for it.
    client::RestoreTerminal();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(stdout);  // not fflush(nullptr): that would wait for standard input's lock
    std::fflush(stderr);
    std::_Exit(r.result.status);
  }
  return r.result.status;
}
