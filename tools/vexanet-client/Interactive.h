// Interactive mode: one line sent per line typed, its replies printed before the next prompt, and
// what the server sends on its own printed as it comes.
//
// Typed lines are read on a thread of their own (a blocking read that nothing portable can
// interrupt); the session's thread asks for each line only once the previous one is answered, so
// the prompt follows the replies. When the session ends while that thread is blocked in a read,
// the thread is left behind: the caller must then end the process without returning normally.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "vexanet-client/Client.h"

namespace vexanet::client {

class LineInput {
 public:
  virtual ~LineInput() = default;
  // The next typed line without its line feed; nullopt at the end of input.
  virtual std::optional<std::string> ReadLine() = 0;
};

struct InteractiveResult {
  Result result;
  // The input thread is still blocked in a read: end the process at once (std::_Exit).
  bool inputLeftBlocked = false;
};

// Runs the session after the connection is made. `report` gets messages about typed lines that
// do not end the session (bad words, a reply that did not come in time).
InteractiveResult RunInteractive(Client& client, LineLink& link, std::shared_ptr<LineInput> input,
                                 Clock::time_point greetDeadline, Clock::duration notice,
                                 const std::function<void()>& onWaiting,
                                 const std::function<void(const std::string&)>& report);

}  // namespace vexanet::client
