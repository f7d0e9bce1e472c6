// The words of the command line (and of a typed line) turned into the lines sent to the server,
// each with what the client waits for after it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vexanet::client {

// What follows a line the client sends.
enum class Expect {
  kStatus,    // R1On ... R8Off, Get: the status line
  kPassword,  // PWD...: "Password/Connection Accepted!" (a rejection ends the session)
  kNothing,   // TO=...: the server never answers it, so the client does not wait
  kEnd,       // Close, KILL: the server closes the connection without a reply
  kBriefly,   // anything else: whatever reply comes within a short wait, none is no error
};

struct Step {
  enum class Kind {
    kSend,        // send `line`, then wait as `expect` says
    kToggle,      // Get, then switch `relay` the other way
    kShowStatus,  // Get, then print the relays as a table or JSON
  };
  Kind kind = Kind::kSend;
  std::string line;
  Expect expect = Expect::kBriefly;
  int relay = 0;  // 1 to 8, for kToggle
};

// The result of expanding words: the steps, or what is wrong with the words (nothing is sent then).
struct Expansion {
  std::vector<Step> steps;
  std::string error;
};

// "R<relay>On" or "R<relay>Off".
std::string RelayWord(int relay, bool on);
// What the client waits for after sending `line` as it is.
Expect ExpectFor(std::string_view line);

// The command-line words: the friendly words on/off/toggle N..., status, all-off; every other word
// is one raw line. Close or KILL must be the last word; an empty word or one with a line break is
// an error.
Expansion ExpandWords(const std::vector<std::string>& words);

// A line typed in interactive mode: friendly words when the line starts with one, else the line
// itself (without a carriage return at its end). An empty line gives no step.
Expansion ExpandTyped(std::string line);

}  // namespace vexanet::client
