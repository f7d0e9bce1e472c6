// The client protocol through the built server: each row is a conversation of one or more loopback
// clients with a freshly started server, checked line by line on the wire, byte by byte on the
// serial line and, where it matters, on the console.
//
// Bytes are checked in order: a step that expects a byte takes the next one that arrived after
// start-up, so a stray byte from a line that should have done nothing shows up as a mismatch. A
// reply is likewise the very next line, so a reply to a line that should get none fails the step
// that follows it. Every conversation ends with a synchronising reply or a closed connection, and
// then no byte may be left unchecked.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "E2eFixture.h"

namespace vexanet::e2e {
namespace {

struct Step {
  enum class Kind { kConnect, kSend, kReply, kByte, kClosed, kShutWrite, kConsole };
  Kind kind;
  std::string text;
  uint8_t byte = 0;
};

// A new client connection; the server's greeting "OK" is checked as part of the step.
Step Connect() {
  return {Step::Kind::kConnect, {}};
}
Step Send(std::string bytes) {
  return {Step::Kind::kSend, std::move(bytes)};
}
Step Reply(std::string line) {
  return {Step::Kind::kReply, std::move(line)};
}
Step Byte(uint8_t b) {
  return {Step::Kind::kByte, {}, b};
}
Step Closed() {
  return {Step::Kind::kClosed, {}};
}
Step ShutWrite() {
  return {Step::Kind::kShutWrite, {}};
}
// A console line, after the one the previous console step found.
Step Console(std::string line) {
  return {Step::Kind::kConsole, std::move(line)};
}
Step Status(const std::string& text) {
  return Console(StatusLine(text));
}

struct Conversation {
  std::string name;
  std::vector<std::string> config;  // options for vexanet-config write
  std::vector<Step> steps;
};

void PrintTo(const Conversation& c, std::ostream* os) {
  *os << c.name;
}

const std::string kAccepted = "Password/Connection Accepted!";
const std::string kRejected = "Password/Connection Rejected!";

std::string Describe(const Step& s) {
  switch (s.kind) {
    case Step::Kind::kConnect:
      return "connect";
    case Step::Kind::kSend:
      return "send \"" + s.text + "\"";
    case Step::Kind::kReply:
      return "reply \"" + s.text + "\"";
    case Step::Kind::kByte: {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", s.byte);
      return std::string("byte ") + hex;
    }
    case Step::Kind::kClosed:
      return "connection closed by the server";
    case Step::Kind::kShutWrite:
      return "client ends its sending side";
    case Step::Kind::kConsole:
      return "console \"" + s.text + "\"";
  }
  return {};
}

// Words that are not commands: other case, blanks, prefixes, extensions, other words.
const char* const kNearMisses[] = {
    "close", "CLOSE", "Close ", " Close", "kill",  "Kill",  "KILL ", "r1on", "R1ON",
    "R1on",  " R1On", "R1On ",  "R1Onn",  "R9On",  "R0Off", "R1",    "R",    "Stat",
    "get",   "GET",   "Get ",   "Gett",   "Bnum0", "Bnum3", "PW",    "TO",   "Stat00000000"};

std::string NearMissLines() {
  std::string all;
  for (const char* w : kNearMisses) all += std::string(w) + "\r\n";
  return all;
}

// The sixteen relay words with the byte for board 0 and the status that follows, in this order
// from all off.
struct RelayWord {
  const char* word;
  uint8_t byte;
  const char* status;
};
const RelayWord kRelayWords[] = {
    {"R1On", 0x08, "Stat10000000"},  {"R2On", 0x09, "Stat11000000"},
    {"R3On", 0x0A, "Stat11100000"},  {"R4On", 0x0B, "Stat11110000"},
    {"R5On", 0x0C, "Stat11111000"},  {"R6On", 0x0D, "Stat11111100"},
    {"R7On", 0x0E, "Stat11111110"},  {"R8On", 0x0F, "Stat11111111"},
    {"R1Off", 0x00, "Stat01111111"}, {"R2Off", 0x01, "Stat00111111"},
    {"R3Off", 0x02, "Stat00011111"}, {"R4Off", 0x03, "Stat00001111"},
    {"R5Off", 0x04, "Stat00000111"}, {"R6Off", 0x05, "Stat00000011"},
    {"R7Off", 0x06, "Stat00000001"}, {"R8Off", 0x07, "Stat00000000"},
};

std::vector<Step> AllRelayWords() {
  std::vector<Step> steps{Connect()};
  for (const RelayWord& w : kRelayWords) {
    steps.push_back(Send(std::string(w.word) + "\r\n"));
    steps.push_back(Byte(w.byte));
    steps.push_back(Reply(w.status));
  }
  steps.push_back(Send("Get\r\n"));
  steps.push_back(Reply(kAllOff));
  return steps;
}

const Conversation kConversations[] = {
    {"TypicalExchange",
     {},
     {Connect(), Send("PWDQWK\r\n"), Reply(kAccepted), Status("Password = **** OK"),
      Console("PWD OK"), Send("R1On\r\n"), Byte(0x08), Reply("Stat10000000"), Send("Get\r\n"),
      Reply("Stat10000000"), Send("Close\r\n"), Closed(), Status("Client Closed Connection!"),
      Console("Connection reset"), Console("Server Loop Close"),
      // The next client is served without the operator, and the relay state carries over.
      Connect(), Send("Get\r\n"), Reply("Stat10000000")}},

    {"TimedSessionIsToldItsTime",
     {"--session", "5"},
     {Connect(), Send("PWDQWK\r\n"), Reply(kAccepted), Reply("Available Time: 5 Minutes"),
      Send("R8On\r\n"), Byte(0x0F), Reply("Stat00000001"), Send("Close\r\n"), Closed(),
      Status("Client Closed Connection!")}},

    {"ClientWithoutPasswordIsServedUntimed",
     {"--session", "5"},
     {Connect(), Send("R5On\r\n"), Byte(0x0C), Reply("Stat00001000"),
      // The same state again still sends the byte and the status.
      Send("R5On\r\n"), Byte(0x0C), Reply("Stat00001000"), Send("Get\r\n"), Reply("Stat00001000")}},

    {"WrongPasswordEndsTheSession",
     {},
     {Connect(), Send("PWDqwk\r\nR1On\r\n"), Reply(kRejected), Reply("CLOSE"), Closed(),
      Status("WRONG PASSWORD!"),
      // The blank after PWD is part of the password.
      Connect(), Send("PWD QWK\r\n"), Reply(kRejected), Reply("CLOSE"), Closed(), Connect(),
      Send("PWD\r\n"), Reply(kRejected), Reply("CLOSE"), Closed(),
      // The R1On behind the rejected password was never carried out.
      Connect(), Send("Get\r\n"), Reply(kAllOff)}},

    {"NearMissWordsGetNoReply",
     {},
     {Connect(), Send(NearMissLines()), Send("R2On\r\n"), Byte(0x09), Reply("Stat01000000"),
      Send("Get\r\n"), Reply("Stat01000000")}},

    {"KillEndsOnlyTheSession",
     {},
     {Connect(), Send("KILL\r\n"), Closed(), Status("Client Closed Connection!"),
      Console("Server Loop Close"), Connect(), Send("Get\r\n"), Reply(kAllOff)}},

    {"EmptyLineEndsTheSession",
     {},
     {Connect(), Send("Get\n\nR1On\n"), Reply(kAllOff), Closed(), Status("Len=0 Close"), Connect(),
      Send("Get\r\n\r\n"), Reply(kAllOff), Closed(), Status("Len=0 Close"),
      // R1On after the empty line was never carried out.
      Connect(), Send("Get\r\n"), Reply(kAllOff)}},

    {"EveryLineEndIsAccepted",
     {},
     {Connect(),
      // A carriage return alone ends the line at once, without waiting for what follows.
      Send("Get\r"), Reply(kAllOff), Send("R3On\n"), Byte(0x0A), Reply("Stat00100000"),
      Send("Get\r\nGet\rGet\n"), Reply("Stat00100000"), Reply("Stat00100000"),
      Reply("Stat00100000"), Send("\r"), Closed(), Status("Len=0 Close")}},

    {"EndOfStreamEndsTheSessionAfterTheLastLine",
     {},
     {Connect(), Send("R3On"), ShutWrite(), Byte(0x0A), Reply("Stat00100000"), Closed(),
      Status("Null Close"), Connect(), Send("Get\r\n"), Reply("Stat00100000")}},

    {"TimeSettingLastsForLaterSessions",
     {},
     {Connect(), Send("TO=3\r\n"), Send("PWDQWK\r\n"), Reply(kAccepted),
      Reply("Available Time: 3 Minutes"), Send("Close\r\n"), Closed(),
      // The next session gets the time set by the last one; TO= itself gets no reply.
      Connect(), Send("PWDQWK\r\n"), Reply(kAccepted), Reply("Available Time: 3 Minutes"),
      Send("TO=0\r\n"), Send("Get\r\n"), Reply(kAllOff), Send("Close\r\n"), Closed(),
      // Zero and negative times give no limit.
      Connect(), Send("PWDQWK\r\n"), Reply(kAccepted), Send("Get\r\n"), Reply(kAllOff),
      Send("TO=-2\r\nPWDQWK\r\n"), Reply(kAccepted), Send("Get\r\n"), Reply(kAllOff),
      Send("TO=15\r\n"), Send("Close\r\n"), Closed(),
      // A time set after the password still reaches the next session.
      Connect(), Send("PWDQWK\r\n"), Reply(kAccepted), Reply("Available Time: 15 Minutes"),
      Send("Close\r\n"), Closed()}},

    {"EveryRelayWordSendsItsByte", {}, AllRelayWords()},

    // A client's terminal controls reach the console escaped, never raw.
    {"ControlBytesAreEscapedOnTheConsole",
     {},
     {Connect(), Send("\x1b]0;owned\x07\x1b[2J\r\n"), Send("Get\r\n"), Reply(kAllOff),
      Status("Client Command: \\x1b]0;owned\\x07\\x1b[2J"), Status("Client Command: Get"),
      Send("Close\r\n"), Closed()}},
};

class ProtocolTest : public ServerTest, public ::testing::WithParamInterface<Conversation> {};

TEST_P(ProtocolTest, Conversation) {
  const Conversation& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartListening(c.config));
  ASSERT_NO_FATAL_FAILURE(WaitForRelaysOff());

  std::optional<LineClient> client;
  std::size_t nextByte = 8;  // after the start-up bytes
  std::size_t consoleFrom = *relaysOffLine + 1;
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    SCOPED_TRACE("step " + std::to_string(i) + ": " + Describe(s));
    switch (s.kind) {
      case Step::Kind::kConnect: {
        int error = 0;
        client = LineClient::Connect(port, kDeadline, &error);
        ASSERT_TRUE(client) << "connect failed: errno " << error;
        ASSERT_EQ(client->ReadLine(kDeadline), std::optional<std::string>("OK"));
        break;
      }
      case Step::Kind::kSend:
        ASSERT_TRUE(client && client->Send(s.text));
        break;
      case Step::Kind::kReply:
        ASSERT_TRUE(client);
        ASSERT_EQ(client->ReadLine(kDeadline), std::optional<std::string>(s.text));
        break;
      case Step::Kind::kByte: {
        const auto bytes = com1.WaitForBytes(nextByte + 1, kDeadline);
        ASSERT_GT(bytes.size(), nextByte) << "no byte arrived";
        EXPECT_EQ(bytes[nextByte].value, s.byte);
        ++nextByte;
        break;
      }
      case Step::Kind::kClosed: {
        ASSERT_TRUE(client);
        std::string extra;
        EXPECT_TRUE(client->WaitClosed(kDeadline, &extra)) << "connection still open";
        EXPECT_EQ(extra, "") << "unexpected lines before the close";
        client.reset();
        break;
      }
      case Step::Kind::kShutWrite:
        ASSERT_TRUE(client);
        client->ShutdownWrite();
        break;
      case Step::Kind::kConsole: {
        const auto at = server->WaitForExact(s.text, kDeadline, consoleFrom);
        ASSERT_TRUE(at) << "console line missing";
        consoleFrom = *at + 1;
        break;
      }
    }
  }
  EXPECT_EQ(com1.Bytes().size(), nextByte) << "bytes on the serial line that no step expected";
}

INSTANTIATE_TEST_SUITE_P(Conversations, ProtocolTest, ::testing::ValuesIn(kConversations),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vexanet::e2e
