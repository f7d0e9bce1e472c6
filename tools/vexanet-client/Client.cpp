#include "vexanet-client/Client.h"

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <utility>

namespace vexanet::client {

namespace {

using namespace std::chrono_literals;

// How a sent line is named in a message; a password is never shown.
std::string Describe(const std::string& line) {
  if (line.starts_with("PWD")) return "the password";
  return "\"" + line + "\"";
}

}  // namespace

std::string FormatSeconds(Clock::duration d) {
  std::ostringstream s;
  s << std::setprecision(3) << std::chrono::duration<double>(d).count() << " s";
  return s.str();
}

Client::Client(LineLink& link, Options options, std::ostream& out)
    : link_(link), options_(std::move(options)), out_(out) {}

void Client::Print(const std::string& line) {
  if (!options_.json) out_ << line << '\n' << std::flush;
}

std::optional<Result> Client::Ending(const std::string& line) {
  const char* why = nullptr;
  if (line == kTimeUp) why = "the session time is up: the server ended the session";
  if (line == kClosedByServer) why = "the server closed the session";
  if (line == kRejected) why = "the server rejected the password";
  if (why == nullptr) return std::nullopt;
  Print(line);
  return Result::Failed(kExitEnded, why);
}

Client::Awaited Client::Await(const std::function<bool(const std::string&)>& wanted,
                              Clock::time_point deadline) {
  for (;;) {
    Event e = link_.Next(deadline);
    switch (e.kind) {
      case Event::Kind::kLine:
        if (auto end = Ending(e.text)) return {Awaited::Kind::kEnded, {}, *end};
        if (wanted && wanted(e.text)) return {Awaited::Kind::kGot, std::move(e.text), {}};
        Print(e.text);
        break;
      case Event::Kind::kClosed:
        return {Awaited::Kind::kEnded,
                {},
                Result::Failed(kExitEnded, "the server closed the connection" +
                                               (e.text.empty() ? "" : ": " + e.text))};
      case Event::Kind::kTimeout:
        return {Awaited::Kind::kTimedOut, {}, {}};
      case Event::Kind::kWoken:
        break;
    }
  }
}

Result Client::Greet(Clock::time_point deadline, Clock::duration notice,
                     const std::function<void()>& onWaiting) {
  std::optional<Clock::time_point> noticeAt = Clock::now() + notice;
  for (;;) {
    const bool noticeFirst = noticeAt && *noticeAt < deadline;
    const Event e = link_.Next(noticeFirst ? *noticeAt : deadline);
    switch (e.kind) {
      case Event::Kind::kLine:
        if (e.text == kGreeting) return Result::GoOn();
        return Result::Failed(kExitUnreachable,
                              "the server greeted with \"" + e.text + "\" instead of OK");
      case Event::Kind::kClosed:
        return Result::Failed(kExitUnreachable,
                              "the server closed the connection before its greeting" +
                                  (e.text.empty() ? "" : ": " + e.text));
      case Event::Kind::kTimeout:
        if (noticeFirst) {
          noticeAt.reset();
          if (onWaiting) onWaiting();
          break;
        }
        return Result::Failed(kExitUnreachable, "no greeting from the server within " +
                                                    FormatSeconds(options_.timeout) +
                                                    " (another client may still be connected)");
      case Event::Kind::kWoken:
        break;
    }
  }
}

Result Client::Authenticate() {
  if (!options_.password) return Result::GoOn();
  return Send("PWD" + *options_.password, Expect::kPassword);
}

Result Client::Transmit(const std::string& line) {
  if (link_.Send(line, ReplyDeadline())) return Result::GoOn();
  // The server may have said why it went away.
  const Awaited a = Await(nullptr, Clock::now() + options_.briefWait);
  if (a.kind == Awaited::Kind::kEnded) return a.ended;
  return Result::Failed(kExitEnded, "could not send " + Describe(line) + " to the server");
}

Result Client::Send(const std::string& line, Expect expect) {
  if (expect == Expect::kEnd) return End(line);
  if (Result r = Transmit(line); r.failed()) return r;
  std::function<bool(const std::string&)> wanted;
  Clock::time_point deadline = ReplyDeadline();
  switch (expect) {
    case Expect::kNothing:
    case Expect::kEnd:
      return Result::GoOn();
    case Expect::kStatus:
      wanted = IsStatusLine;
      break;
    case Expect::kPassword:
      wanted = [](const std::string& l) { return l == kAccepted; };
      break;
    case Expect::kBriefly:
      wanted = [](const std::string&) { return true; };
      deadline = Clock::now() + std::min(options_.briefWait, options_.timeout);
      break;
  }
  Awaited a = Await(wanted, deadline);
  switch (a.kind) {
    case Awaited::Kind::kGot:
      Print(a.line);
      return Result::GoOn();
    case Awaited::Kind::kEnded:
      return a.ended;
    case Awaited::Kind::kTimedOut:
      break;
  }
  if (expect == Expect::kBriefly) return Result::GoOn();
  return Result::Failed(kExitUnreachable, "no reply to " + Describe(line) + " within " +
                                              FormatSeconds(options_.timeout));
}

Result Client::End(const std::string& line) {
  // A send that fails here means the connection is already gone, which is what the word asks for;
  // a line that says otherwise (TIME, say) is still read below.
  link_.Send(line, ReplyDeadline());
  const auto deadline = Clock::now() + std::min(options_.closeWait, options_.timeout);
  for (;;) {
    const Event e = link_.Next(deadline);
    switch (e.kind) {
      case Event::Kind::kLine:
        if (auto end = Ending(e.text)) return *end;
        Print(e.text);
        break;
      case Event::Kind::kClosed:
      case Event::Kind::kTimeout:  // the server has the word; the client need not stay for more
        return Result::Finished();
      case Event::Kind::kWoken:
        break;
    }
  }
}

Result Client::ReadStatus(const std::string& why, Relays* relays) {
  if (Result r = Transmit("Get"); r.failed()) return r;
  Awaited a = Await(IsStatusLine, ReplyDeadline());
  switch (a.kind) {
    case Awaited::Kind::kEnded:
      return a.ended;
    case Awaited::Kind::kTimedOut:
      return Result::Failed(kExitUnreachable, "no status line for " + why + " within " +
                                                  FormatSeconds(options_.timeout));
    case Awaited::Kind::kGot:
      break;
  }
  const std::optional<Relays> parsed = ParseStatus(a.line);
  if (!parsed) {
    Print(a.line);
    return Result::Failed(kExitEnded, "cannot read the status line \"" + a.line + "\"");
  }
  *relays = *parsed;
  return Result::GoOn();
}

Result Client::Run(const Step& step) {
  Relays relays{};
  switch (step.kind) {
    case Step::Kind::kSend:
      return Send(step.line, step.expect);
    case Step::Kind::kToggle: {
      if (Result r = ReadStatus("toggle " + std::to_string(step.relay), &relays); r.failed())
        return r;
      const bool on = relays[static_cast<std::size_t>(step.relay - 1)] == 0;
      return Send(RelayWord(step.relay, on), Expect::kStatus);
    }
    case Step::Kind::kShowStatus:
      if (Result r = ReadStatus("status", &relays); r.failed()) return r;
      out_ << (options_.json ? StatusJson(relays) : StatusTable(relays)) << std::flush;
      return Result::GoOn();
  }
  return Result::GoOn();
}

Result Client::Finish() {
  return End("Close");
}

Result Client::Idle() {
  for (;;) {
    const Event e = link_.Next(Clock::now() + 1h);
    switch (e.kind) {
      case Event::Kind::kLine:
        if (auto end = Ending(e.text)) return *end;
        Print(e.text);
        break;
      case Event::Kind::kClosed:
        return Result::Failed(
            kExitEnded, "the server closed the connection" + (e.text.empty() ? "" : ": " + e.text));
      case Event::Kind::kTimeout:
        break;
      case Event::Kind::kWoken:
        return Result::GoOn();
    }
  }
}

Result RunWords(Client& client, const std::vector<Step>& steps, Clock::time_point greetDeadline,
                Clock::duration notice, const std::function<void()>& onWaiting) {
  if (Result r = client.Greet(greetDeadline, notice, onWaiting); r.failed()) return r;
  if (Result r = client.Authenticate(); r.failed()) return r;
  for (const Step& step : steps) {
    Result r = client.Run(step);
    if (r.kind == Result::Kind::kFinished) return Result::Finished();
    if (r.failed()) return r;
  }
  Result r = client.Finish();
  return r.failed() ? r : Result::Finished();
}

}  // namespace vexanet::client
