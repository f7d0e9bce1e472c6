// One client session over a line link: the greeting, the password, the steps, the closing word.
// Every reply line is printed as it arrives (with JSON output only the status objects are); the
// lines that end a session (TIME, CLOSE, a rejected password, the connection's end) end the
// session here with exit status 1.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "vexanet-client/LineLink.h"
#include "vexanet-client/Replies.h"
#include "vexanet-client/Words.h"

namespace vexanet::client {

enum ExitStatus : int {
  kExitDone = 0,
  kExitEnded = 1,        // the server rejected the password or ended the session
  kExitUsage = 2,        // bad options or words
  kExitUnreachable = 3,  // could not connect, or no greeting or reply in time
};

struct Options {
  std::optional<std::string> password;
  Clock::duration timeout = std::chrono::seconds(10);
  // How long a line without a known reply waits for one.
  Clock::duration briefWait = std::chrono::milliseconds(500);
  // How long the closing word waits for the server to end the connection, at most.
  Clock::duration closeWait = std::chrono::seconds(2);
  bool json = false;
};

struct Result {
  enum class Kind {
    kGoOn,      // the step is done, the session goes on
    kFinished,  // the session ended as the client asked (Close, KILL)
    kFailed,    // `status` and `message` say why
  };
  Kind kind = Kind::kGoOn;
  int status = kExitDone;
  std::string message;

  static Result GoOn() { return {}; }
  static Result Finished() { return {Kind::kFinished, kExitDone, {}}; }
  static Result Failed(int status, std::string message) {
    return {Kind::kFailed, status, std::move(message)};
  }
  bool failed() const { return kind == Kind::kFailed; }
};

class Client {
 public:
  Client(LineLink& link, Options options, std::ostream& out);

  // Waits for "OK" until `deadline`; calls `onWaiting` once when it has not come `notice` after
  // the call (another client holds the server then).
  Result Greet(Clock::time_point deadline, Clock::duration notice,
               const std::function<void()>& onWaiting);
  // Sends the password when one is set and waits for the server to accept it.
  Result Authenticate();
  Result Run(const Step& step);
  // Sends Close and waits (briefly) for the server to end the connection.
  Result Finish();
  // Prints what the server sends on its own until the link is woken.
  Result Idle();

 private:
  struct Awaited {
    enum class Kind { kGot, kTimedOut, kEnded };
    Kind kind;
    std::string line;
    Result ended;
  };

  void Print(const std::string& line);
  // The session's end when `line` ends it (the line is printed then).
  std::optional<Result> Ending(const std::string& line);
  // Reads until a line for which `wanted` holds (not printed), the deadline, or the session's end;
  // every other line is printed.
  Awaited Await(const std::function<bool(const std::string&)>& wanted, Clock::time_point deadline);
  Result Send(const std::string& line, Expect expect);
  Result Transmit(const std::string& line);
  Result End(const std::string& line);
  Result ReadStatus(const std::string& why, Relays* relays);
  Clock::time_point ReplyDeadline() const { return Clock::now() + options_.timeout; }

  LineLink& link_;
  Options options_;
  std::ostream& out_;
};

// Word mode: greeting, password, every step in order, then Close.
Result RunWords(Client& client, const std::vector<Step>& steps, Clock::time_point greetDeadline,
                Clock::duration notice, const std::function<void()>& onWaiting);

// "2.5 s".
std::string FormatSeconds(Clock::duration d);

}  // namespace vexanet::client
