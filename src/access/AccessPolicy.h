// AccessPolicy: who may switch the relays. The deployment settings that come from the
// environment (the five-byte configuration file has no room for them), the check of a client's
// address, the back-off that slows down a client whose password was rejected, and the overall
// limit on rejected passwords from all addresses together.
//
//   VEXANET_LISTEN=ADDRESS[,ADDRESS...]  listen on these local addresses only (default: every one)
//   VEXANET_ALLOW=NET[,NET...]           serve clients from these addresses or CIDR networks only
//   VEXANET_PASSWORD=TEXT                the initial password instead of the built-in one
//   VEXANET_PASSWORD_FILE=PATH           the initial password: the first line of PATH
//   VEXANET_REQUIRE_PASSWORD=1           a client must send the password before anything else
//   VEXANET_AUTH_TIMEOUT=DURATION        ... and within this time (default 10 s)
//   VEXANET_IDLE_TIMEOUT=DURATION        close a session that sends no line for this long
//   VEXANET_GUESS_LIMIT=N                rejected passwords a minute, all addresses together,
//                                        before every connection waits (default 30; 0: no limit)
//
// A duration is a whole number with a unit: 500ms, 10s, 2m, 1h; a number alone is seconds.
//
// A setting that is unset, empty or only blanks is off, and then nothing changes. Lists are
// separated by commas and/or blanks. Every bad value gives one message in `problems`:
//  - A bad entry of a list is left out; the other entries hold. A list of which no entry is
//    usable holds as an empty list (nothing listens, no client is served), never as "every
//    address": a typo must not open the server wider than the operator asked.
//  - A password file that cannot be read, or is empty, leaves the server accepting no password
//    until the operator sets one; it never falls back to the built-in default.
//  - VEXANET_REQUIRE_PASSWORD: 1, yes, true, on turn it on; 0, no, false, off turn it off (any
//    case); any other text turns it on with a message, for the same reason as above.
//  - A bad VEXANET_AUTH_TIMEOUT or VEXANET_GUESS_LIMIT keeps its default; a bad
//    VEXANET_IDLE_TIMEOUT leaves sessions without an idle limit (0 turns it off too).
//
// Threads: AccessSettings is a plain value, read-only once built. BackOff and AccessPolicy may be
// used from any number of threads at once.
#pragma once

#include <array>
#include <asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Environment.h"

namespace vexanet::access {

using Clock = std::chrono::steady_clock;
using vexanet::EnvLookup;

// The address as a client of a dual-stack socket is best compared: an IPv4-mapped IPv6 address
// (::ffff:a.b.c.d) as the IPv4 address, every other address as it is.
asio::ip::address Unmapped(const asio::ip::address& address);

// One IPv4 or IPv6 network: an address and a prefix length.
class Network {
 public:
  // "ADDRESS" (the address alone: /32 or /128) or "ADDRESS/N". Host bits below the prefix are
  // cleared ("10.1.2.3/8" is 10.0.0.0/8). Empty, with the reason, when the text is no network.
  static std::optional<Network> Parse(std::string_view text, std::string& reason);

  // An IPv4 client also matches an IPv6 network that holds its IPv4-mapped form, and an
  // IPv4-mapped client matches IPv4 networks, so a dual-stack socket needs nothing special.
  bool Contains(const asio::ip::address& client) const;
  std::string ToString() const;

 private:
  Network(const asio::ip::address& base, unsigned prefix) : base_(base), prefix_(prefix) {}
  asio::ip::address base_;
  unsigned prefix_ = 0;
};

// Where the initial password comes from. The built-in default itself is the server's business.
struct PasswordSetting {
  enum class Kind {
    BuiltIn,       // neither variable set: the server keeps its built-in default
    Text,          // `text` is the initial password
    NoneAccepted,  // a bad setting: no password matches until the operator sets one
  };
  Kind kind = Kind::BuiltIn;
  std::string text;    // Kind::Text only
  std::string source;  // the variable that decided it; empty for BuiltIn
  std::string file;    // the file named by VEXANET_PASSWORD_FILE, when it decided
  std::string reason;  // Kind::NoneAccepted: why
};

inline constexpr std::chrono::milliseconds kDefaultAuthTimeout{10000};
inline constexpr unsigned kDefaultGuessLimit = 30;
// The largest values taken: longer durations and higher limits are typing mistakes.
inline constexpr std::chrono::milliseconds kLongestTimeout{24 * 3600 * 1000};
inline constexpr unsigned kHighestGuessLimit = 10000;

// "500ms", "10s", "2m", "1h" (blanks before the unit allowed, units in any case) or a whole
// number of seconds. Empty, with the reason, when the text is none of these or longer than
// kLongestTimeout.
std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text, std::string& reason);
// A duration for people: "10 s", "2 min", "300 ms", "1500 ms".
std::string DurationText(std::chrono::milliseconds d);

struct AccessSettings {
  // Empty: listen on every local address. An empty list: listen nowhere.
  std::optional<std::vector<asio::ip::address>> listen;
  // Empty: serve every client. An empty list: serve none.
  std::optional<std::vector<Network>> allow;
  PasswordSetting password;
  bool requirePassword = false;
  // While a password is required: a client that has not sent an accepted one this long after it
  // was greeted is closed.
  std::chrono::milliseconds authTimeout = kDefaultAuthTimeout;
  // A session that sends no line for this long is closed. Empty: no limit.
  std::optional<std::chrono::milliseconds> idleTimeout;
  // While a password is required: this many rejected passwords within a minute, from whatever
  // addresses, turn every connection away until the oldest of them is a minute old. 0: no limit.
  unsigned guessLimit = kDefaultGuessLimit;

  static AccessSettings FromEnvironment(const EnvLookup& getenv,
                                        std::vector<std::string>& problems);

  bool Allowed(const asio::ip::address& client) const;

  // One "name: value" line per setting, for people; never the password's text.
  std::vector<std::string> Describe() const;
};

// The longest first line read from a password file.
inline constexpr size_t kMaxPasswordBytes = 4096;

// After a rejected password, further connections from the same address are refused for a
// while: `first` after one rejection, doubling with every further rejection up to `longest`. A
// refused connection does not lengthen the wait; a success ends it. An address is forgotten
// once it has stayed quiet for `longest` after its wait, and the table holds at most `capacity`
// addresses: when it is full, the entry whose wait ends first makes room.
struct BackOffTimes {
  Clock::duration first = std::chrono::seconds(1);
  Clock::duration longest = std::chrono::seconds(60);
  // The window of the overall limit on rejected passwords (GuessLimit).
  Clock::duration guessWindow = std::chrono::minutes(1);
};

class BackOff {
 public:
  using Times = BackOffTimes;
  static constexpr size_t kDefaultCapacity = 4096;

  explicit BackOff(Times times = {}, size_t capacity = kDefaultCapacity);

  bool RefuseNow(const asio::ip::address& client, Clock::time_point now);
  // How long a connection from the client is still refused; empty when it is not.
  std::optional<Clock::duration> Wait(const asio::ip::address& client, Clock::time_point now);
  void Rejected(const asio::ip::address& client, Clock::time_point now);
  void Succeeded(const asio::ip::address& client);
  size_t size() const;

 private:
  struct Entry {
    unsigned rejections = 0;
    Clock::time_point last;
    Clock::duration delay{};
  };
  using Key = std::array<unsigned char, 16>;

  static Key KeyOf(const asio::ip::address& client);
  Clock::duration DelayAfter(unsigned rejections) const;
  Clock::time_point ForgetAt(const Entry& e) const { return e.last + e.delay + times_.longest; }
  void MakeRoom(Clock::time_point now);

  Times times_;
  size_t capacity_;
  mutable std::mutex lock_;
  std::map<Key, Entry> entries_;
};

// The overall limit on rejected passwords, whatever addresses they come from: once `limit` of
// them fall within one `window`, every connection is refused until the oldest of them has left
// the window. Then one more guess may come, and so on: at most `limit` guesses a window however
// many addresses the guesser has. Keeps the times of the last `limit` rejections only. A limit
// of 0 refuses nothing.
class GuessLimit {
 public:
  GuessLimit(unsigned limit, Clock::duration window);

  // How long every connection is still refused; empty when it is not.
  std::optional<Clock::duration> Wait(Clock::time_point now) const;
  void Rejected(Clock::time_point now);

 private:
  const size_t limit_;
  const Clock::duration window_;
  mutable std::mutex lock_;
  std::vector<Clock::time_point> times_;  // a ring of at most limit_ entries
  size_t oldest_ = 0;                     // once the ring is full, its oldest entry
};

// The settings and the back-off together: what the server asks when a client connects and
// tells when a password is checked. The back-off and the overall limit on rejected passwords
// apply only while a password is required.
class AccessPolicy {
 public:
  struct Verdict {
    // TooSoon: this address had a password rejected lately. TooManyGuesses: too many passwords
    // were rejected lately from all addresses together.
    enum class Kind { Serve, NotAllowed, TooSoon, TooManyGuesses };
    Kind kind = Kind::Serve;
    Clock::duration wait{};  // TooSoon, TooManyGuesses: how long connections are still refused
  };

  explicit AccessPolicy(AccessSettings settings, BackOff::Times times = {},
                        size_t capacity = BackOff::kDefaultCapacity);

  Verdict Admit(const asio::ip::address& client, Clock::time_point now);
  void PasswordRejected(const asio::ip::address& client, Clock::time_point now);
  void PasswordAccepted(const asio::ip::address& client);
  const AccessSettings& settings() const { return settings_; }

  // The console line for a refused connection, naming the address.
  static std::string RefusalLine(const asio::ip::address& client, const Verdict& verdict);

 private:
  AccessSettings settings_;
  BackOff backOff_;
  GuessLimit guesses_;
};

// A service environment file (such as /etc/default/vexanet) as the service manager reads it:
// KEY=VALUE lines; blank lines and lines starting with # or ; are skipped; blanks around the
// value are dropped; a value in single quotes is taken as it is, one in double quotes with
// \" \\ \$ \` unescaped; a backslash outside quotes keeps the next character, and at the end
// of a line joins the next line. A later assignment replaces an earlier one.
std::map<std::string, std::string> ReadEnvironmentFile(std::istream& in);

}  // namespace vexanet::access
