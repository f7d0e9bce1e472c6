#include "access/AccessPolicy.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <istream>
#include <system_error>

namespace vexanet::access {

namespace {

constexpr const char* kListen = "VEXANET_LISTEN";
constexpr const char* kAllow = "VEXANET_ALLOW";
constexpr const char* kPassword = "VEXANET_PASSWORD";
constexpr const char* kPasswordFile = "VEXANET_PASSWORD_FILE";
constexpr const char* kRequire = "VEXANET_REQUIRE_PASSWORD";
constexpr const char* kAuthTimeout = "VEXANET_AUTH_TIMEOUT";
constexpr const char* kIdleTimeout = "VEXANET_IDLE_TIMEOUT";
constexpr const char* kGuessLimit = "VEXANET_GUESS_LIMIT";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The value of a setting, or empty when it is unset or holds only blanks (off).
std::optional<std::string> Setting(const EnvLookup& getenv, const char* name) {
  std::optional<std::string> value = getenv(name);
  if (!value || Trim(*value).empty()) return std::nullopt;
  return value;
}

std::vector<std::string_view> SplitList(std::string_view text) {
  std::vector<std::string_view> entries;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ',' || IsBlank(text[i])) {
      if (i > start) entries.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return entries;
}

std::string Quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

std::optional<asio::ip::address> ParseAddress(std::string_view text) {
  std::error_code ec;
  const asio::ip::address address = asio::ip::make_address(std::string(text), ec);
  if (ec) return std::nullopt;
  return address;
}

std::array<unsigned char, 16> V6Bytes(const asio::ip::address& address) {
  if (address.is_v4()) {
    return asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes();
  }
  return address.to_v6().to_bytes();
}

// The first `prefix` bits of a and b are equal.
template <size_t N>
bool SamePrefix(const std::array<unsigned char, N>& a, const std::array<unsigned char, N>& b,
                unsigned prefix) {
  for (size_t i = 0; i < N && prefix > 0; ++i) {
    const unsigned bits = std::min(prefix, 8u);
    const auto mask = static_cast<unsigned char>(0xFFu << (8 - bits));
    if ((a[i] & mask) != (b[i] & mask)) return false;
    prefix -= bits;
  }
  return true;
}

template <size_t N>
void ClearHostBits(std::array<unsigned char, N>& bytes, unsigned prefix) {
  for (size_t i = 0; i < N; ++i) {
    const unsigned keep = prefix >= 8 ? 8 : prefix;
    bytes[i] &= static_cast<unsigned char>(0xFFu << (8 - keep));
    prefix -= keep;
  }
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

PasswordSetting NoneAccepted(const char* source, std::string reason) {
  PasswordSetting p;
  p.kind = PasswordSetting::Kind::NoneAccepted;
  p.source = source;
  p.reason = std::move(reason);
  return p;
}

PasswordSetting PasswordFromFile(const std::string& path) {
  namespace fs = std::filesystem;
  auto fail = [&](const std::string& why) {
    PasswordSetting p = NoneAccepted(kPasswordFile, why);
    p.file = path;
    return p;
  };
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || status.type() == fs::file_type::not_found) {
    const std::error_code why =
        ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory);
    return fail("cannot read " + path + ": " + why.message());
  }
  // A pipe or a device could block start-up or never end; a password lives in a plain file.
  if (!fs::is_regular_file(status)) return fail(path + " is not a regular file");
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int error = errno != 0 ? errno : EACCES;
    return fail("cannot read " + path + ": " + std::generic_category().message(error));
  }
  std::string line;
  bool ended = false;
  char c = 0;
  while (line.size() <= kMaxPasswordBytes && in.get(c)) {
    if (c == '\r' || c == '\n') {
      ended = true;
      break;
    }
    line.push_back(c);
  }
  if (in.bad()) return fail("cannot read " + path);
  if (!ended && line.size() > kMaxPasswordBytes) {
    return fail("the first line of " + path + " is longer than " +
                std::to_string(kMaxPasswordBytes) + " bytes");
  }
  if (line.empty()) return fail("the first line of " + path + " is empty");
  PasswordSetting p;
  p.kind = PasswordSetting::Kind::Text;
  p.text = std::move(line);
  p.source = kPasswordFile;
  p.file = path;
  return p;
}

std::string ToLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A wait that is still to run, rounded up.
std::string WaitText(Clock::duration d) {
  using namespace std::chrono;
  if (d >= seconds(1)) return std::to_string(ceil<seconds>(d).count()) + " s";
  return std::to_string(ceil<milliseconds>(d).count()) + " ms";
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text,
                                                       std::string& reason) {
  using namespace std::chrono;
  text = Trim(text);
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  const std::string unit = ToLower(Trim(text.substr(digits)));
  static const std::map<std::string, milliseconds> kUnits = {
      {"", seconds(1)},   {"ms", milliseconds(1)}, {"s", seconds(1)},
      {"m", minutes(1)},  {"min", minutes(1)},     {"h", hours(1)}};
  const auto found = kUnits.find(unit);
  if (digits == 0 || found == kUnits.end()) {
    reason = Quoted(text) + " is not a duration (such as 500ms, 10s or 2m)";
    return std::nullopt;
  }
  uint64_t count = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + digits, count);
  const auto longest = static_cast<uint64_t>(kLongestTimeout / found->second);
  if (ec != std::errc() || end != text.data() + digits || count > longest) {
    reason = Quoted(text) + " is longer than " + DurationText(kLongestTimeout);
    return std::nullopt;
  }
  return found->second * static_cast<int64_t>(count);
}

std::string DurationText(std::chrono::milliseconds d) {
  using namespace std::chrono;
  if (d % hours(1) == milliseconds(0) && d >= hours(1)) return std::to_string(d / hours(1)) + " h";
  if (d % minutes(1) == milliseconds(0) && d >= minutes(1)) {
    return std::to_string(d / minutes(1)) + " min";
  }
  if (d % seconds(1) == milliseconds(0)) return std::to_string(d / seconds(1)) + " s";
  return std::to_string(d.count()) + " ms";
}

asio::ip::address Unmapped(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

// --- Network -------------------------------------------------------------------------------

std::optional<Network> Network::Parse(std::string_view text, std::string& reason) {
  const size_t slash = text.find('/');
  const std::string_view addressText = text.substr(0, slash);
  std::optional<asio::ip::address> address = ParseAddress(addressText);
  if (!address) {
    reason = Quoted(addressText) + " is not an IPv4 or IPv6 address";
    return std::nullopt;
  }
  const unsigned bits = address->is_v4() ? 32 : 128;
  unsigned prefix = bits;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    const bool allDigits = !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) {
      return c >= '0' && c <= '9';
    });
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty()) {
      reason = "the prefix length after / is missing";
      return std::nullopt;
    }
    if (!allDigits || ec != std::errc() || end != digits.data() + digits.size()) {
      reason = "the prefix length " + Quoted(digits) + " is not a number";
      return std::nullopt;
    }
    if (value > bits) {
      reason = "the prefix length /" + std::string(digits) + " is longer than an " +
               (address->is_v4() ? "IPv4 address (32" : "IPv6 address (128") + " bits)";
      return std::nullopt;
    }
    prefix = value;
  }
  if (address->is_v4()) {
    auto bytes = address->to_v4().to_bytes();
    ClearHostBits(bytes, prefix);
    return Network(asio::ip::address_v4(bytes), prefix);
  }
  auto bytes = address->to_v6().to_bytes();
  ClearHostBits(bytes, prefix);
  return Network(asio::ip::address_v6(bytes), prefix);
}

bool Network::Contains(const asio::ip::address& client) const {
  const asio::ip::address c = Unmapped(client);
  if (base_.is_v4())
    return c.is_v4() && SamePrefix(c.to_v4().to_bytes(), base_.to_v4().to_bytes(), prefix_);
  return SamePrefix(V6Bytes(c), base_.to_v6().to_bytes(), prefix_);
}

std::string Network::ToString() const {
  return base_.to_string() + "/" + std::to_string(prefix_);
}

// --- AccessSettings ------------------------------------------------------------------------

AccessSettings AccessSettings::FromEnvironment(const EnvLookup& getenv,
                                               std::vector<std::string>& problems) {
  AccessSettings s;

  if (const auto value = Setting(getenv, kListen)) {
    std::vector<asio::ip::address> addresses;
    for (std::string_view entry : SplitList(*value)) {
      std::optional<asio::ip::address> address = ParseAddress(entry);
      if (!address) {
        // "127.0.0.1:3001" or "[::1]:3001": the port is the configuration file's business.
        const bool withPort = entry.front() == '[' ||
                              (entry.find('.') != entry.npos && entry.find(':') != entry.npos);
        problems.push_back(std::string(kListen) + ": " + Quoted(entry) + " is not an IP address" +
                           (withPort ? " (the port comes from the configuration file)" : "") +
                           "; it is left out");
        continue;
      }
      const asio::ip::address local = Unmapped(*address);
      if (std::find(addresses.begin(), addresses.end(), local) == addresses.end()) {
        addresses.push_back(local);
      }
    }
    if (addresses.empty()) {
      problems.push_back(std::string(kListen) +
                         " names no usable address: the server will not listen at all");
    }
    s.listen = std::move(addresses);
  }

  if (const auto value = Setting(getenv, kAllow)) {
    std::vector<Network> networks;
    for (std::string_view entry : SplitList(*value)) {
      std::string reason;
      if (std::optional<Network> network = Network::Parse(entry, reason)) {
        networks.push_back(*network);
      } else {
        problems.push_back(std::string(kAllow) + ": " + Quoted(entry) + ": " + reason +
                           "; it is left out");
      }
    }
    if (networks.empty()) {
      problems.push_back(std::string(kAllow) +
                         " names no usable network: every client will be refused");
    }
    s.allow = std::move(networks);
  }

  const auto text = Setting(getenv, kPassword);
  const auto file = Setting(getenv, kPasswordFile);
  if (file) {
    if (text) {
      problems.push_back(std::string(kPassword) + " and " + kPasswordFile +
                         " are both set: the password comes from the file");
    }
    s.password = PasswordFromFile(std::string(Trim(*file)));
  } else if (text) {
    if (text->find_first_of("\r\n") != std::string::npos) {
      s.password = NoneAccepted(kPassword, "it holds a line break, which no client line can carry");
    } else {
      s.password.kind = PasswordSetting::Kind::Text;
      s.password.text = *text;
      s.password.source = kPassword;
    }
  }
  if (s.password.kind == PasswordSetting::Kind::NoneAccepted) {
    problems.push_back(s.password.source + ": " + s.password.reason +
                       ": no password is accepted until the operator sets one");
  }

  if (const auto value = Setting(getenv, kRequire)) {
    const std::string word = ToLower(Trim(*value));
    if (word == "1" || word == "yes" || word == "true" || word == "on") {
      s.requirePassword = true;
    } else if (word == "0" || word == "no" || word == "false" || word == "off") {
      s.requirePassword = false;
    } else {
      s.requirePassword = true;
      problems.push_back(std::string(kRequire) + "=" + Quoted(*value) +
                         " is neither 1 nor 0: a password is required");
    }
  }
  if (const auto value = Setting(getenv, kAuthTimeout)) {
    std::string reason;
    const auto timeout = ParseDuration(*value, reason);
    if (timeout && *timeout == std::chrono::milliseconds(0)) {
      reason = "0 would let a client keep the only session without a password";
    }
    if (timeout && reason.empty()) {
      s.authTimeout = *timeout;
    } else {
      problems.push_back(std::string(kAuthTimeout) + ": " + reason + "; the default of " +
                         DurationText(kDefaultAuthTimeout) + " holds");
    }
    if (!s.requirePassword) {
      problems.push_back(std::string(kAuthTimeout) + " has no effect while " + kRequire +
                         " is off");
    }
  }

  if (const auto value = Setting(getenv, kIdleTimeout)) {
    std::string reason;
    const auto timeout = ParseDuration(*value, reason);
    if (!timeout) {
      problems.push_back(std::string(kIdleTimeout) + ": " + reason +
                         "; sessions have no idle limit");
    } else if (*timeout > std::chrono::milliseconds(0)) {
      s.idleTimeout = *timeout;
    }
  }

  if (const auto value = Setting(getenv, kGuessLimit)) {
    const std::string_view text = Trim(*value);
    unsigned limit = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), limit);
    if (AllDigits(text) && ec == std::errc() && end == text.data() + text.size() &&
        limit <= kHighestGuessLimit) {
      s.guessLimit = limit;
    } else {
      problems.push_back(std::string(kGuessLimit) + "=" + Quoted(*value) +
                         " is not a whole number from 0 to " + std::to_string(kHighestGuessLimit) +
                         ": the default of " + std::to_string(kDefaultGuessLimit) +
                         " a minute holds");
    }
    if (!s.requirePassword) {
      problems.push_back(std::string(kGuessLimit) + " has no effect while " + kRequire +
                         " is off");
    }
  }

  if (s.requirePassword && s.password.kind == PasswordSetting::Kind::BuiltIn) {
    problems.push_back(std::string(kRequire) + " is on, but neither " + kPassword + " nor " +
                       kPasswordFile +
                       " is set: clients must send the well-known built-in password");
  }
  return s;
}

bool AccessSettings::Allowed(const asio::ip::address& client) const {
  if (!allow) return true;
  return std::any_of(allow->begin(), allow->end(),
                     [&](const Network& n) { return n.Contains(client); });
}

std::vector<std::string> AccessSettings::Describe() const {
  std::vector<std::string> lines;
  if (!listen) {
    lines.push_back(std::string("listen: every local address (") + kListen + " not set)");
  } else if (listen->empty()) {
    lines.push_back(std::string("listen: nowhere, no usable address in ") + kListen);
  } else {
    std::vector<std::string> names;
    for (const auto& a : *listen) names.push_back(a.to_string());
    lines.push_back("listen: " + Join(names) + " (" + kListen + ")");
  }

  if (!allow) {
    lines.push_back(std::string("allow: every client (") + kAllow + " not set)");
  } else if (allow->empty()) {
    lines.push_back(std::string("allow: no client, no usable network in ") + kAllow);
  } else {
    std::vector<std::string> names;
    for (const auto& n : *allow) names.push_back(n.ToString());
    lines.push_back("allow: " + Join(names) + " (" + kAllow + ")");
  }

  switch (password.kind) {
    case PasswordSetting::Kind::BuiltIn:
      lines.push_back(std::string("password: the well-known built-in default (") + kPassword +
                      " and " + kPasswordFile + " not set)");
      break;
    case PasswordSetting::Kind::Text:
      if (password.file.empty()) {
        lines.push_back("password: set (" + password.source + ")");
      } else {
        lines.push_back("password: set, the first line of " + password.file + " (" +
                        password.source + ")");
      }
      break;
    case PasswordSetting::Kind::NoneAccepted:
      lines.push_back("password: none accepted until the operator sets one (" + password.source +
                      ": " + password.reason + ")");
      break;
  }

  lines.push_back(std::string("require password: ") + (requirePassword ? "yes" : "no") + " (" +
                  kRequire + (requirePassword ? ")" : " not set or off)"));

  // The two settings that act only while a password is required say so.
  const std::string unused = requirePassword ? "" : ", unused while no password is required";
  lines.push_back("password within: " + DurationText(authTimeout) + " (" + kAuthTimeout +
                  (authTimeout == kDefaultAuthTimeout ? ", default" : "") + unused + ")");
  if (idleTimeout) {
    lines.push_back("idle limit: " + DurationText(*idleTimeout) + " (" + kIdleTimeout + ")");
  } else {
    lines.push_back(std::string("idle limit: none (") + kIdleTimeout + " not set or 0)");
  }
  if (guessLimit == 0) {
    lines.push_back(std::string("rejected passwords, all addresses: no limit (") + kGuessLimit +
                    "=0" + unused + ")");
  } else {
    lines.push_back("rejected passwords, all addresses: at most " + std::to_string(guessLimit) +
                    " a minute (" + kGuessLimit +
                    (guessLimit == kDefaultGuessLimit ? ", default" : "") + unused + ")");
  }
  return lines;
}

// --- BackOff -------------------------------------------------------------------------------

BackOff::BackOff(Times times, size_t capacity)
    : times_(times), capacity_(std::max<size_t>(capacity, 1)) {
  if (times_.first <= Clock::duration::zero()) times_.first = Clock::duration(1);
  if (times_.longest < times_.first) times_.longest = times_.first;
}

BackOff::Key BackOff::KeyOf(const asio::ip::address& client) {
  // An IPv4 client has one key however it arrives: 192.0.2.1 and ::ffff:192.0.2.1 alike.
  return V6Bytes(client);
}

Clock::duration BackOff::DelayAfter(unsigned rejections) const {
  Clock::duration delay = times_.first;
  for (unsigned i = 1; i < rejections && delay < times_.longest; ++i) delay *= 2;
  return std::min(delay, times_.longest);
}

std::optional<Clock::duration> BackOff::Wait(const asio::ip::address& client,
                                             Clock::time_point now) {
  std::lock_guard lock(lock_);
  const auto it = entries_.find(KeyOf(client));
  if (it == entries_.end()) return std::nullopt;
  const Entry& e = it->second;
  if (now < e.last + e.delay) return e.last + e.delay - now;
  if (now >= ForgetAt(e)) entries_.erase(it);
  return std::nullopt;
}

bool BackOff::RefuseNow(const asio::ip::address& client, Clock::time_point now) {
  return Wait(client, now).has_value();
}

void BackOff::Rejected(const asio::ip::address& client, Clock::time_point now) {
  std::lock_guard lock(lock_);
  const Key key = KeyOf(client);
  auto it = entries_.find(key);
  if (it != entries_.end() && now >= ForgetAt(it->second)) {
    entries_.erase(it);
    it = entries_.end();
  }
  if (it == entries_.end()) {
    if (entries_.size() >= capacity_) MakeRoom(now);
    it = entries_.emplace(key, Entry{}).first;
  }
  Entry& e = it->second;
  if (e.rejections < 64) ++e.rejections;  // far past the point where the delay stops growing
  e.last = now;
  e.delay = DelayAfter(e.rejections);
}

void BackOff::MakeRoom(Clock::time_point now) {
  std::erase_if(entries_, [&](const auto& kv) { return now >= ForgetAt(kv.second); });
  if (entries_.size() < capacity_) return;
  const auto soonest =
      std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
        return a.second.last + a.second.delay < b.second.last + b.second.delay;
      });
  entries_.erase(soonest);
}

void BackOff::Succeeded(const asio::ip::address& client) {
  std::lock_guard lock(lock_);
  entries_.erase(KeyOf(client));
}

size_t BackOff::size() const {
  std::lock_guard lock(lock_);
  return entries_.size();
}

// --- GuessLimit ----------------------------------------------------------------------------

GuessLimit::GuessLimit(unsigned limit, Clock::duration window)
    : limit_(limit), window_(std::max(window, Clock::duration(1))) {}

std::optional<Clock::duration> GuessLimit::Wait(Clock::time_point now) const {
  std::lock_guard lock(lock_);
  if (limit_ == 0 || times_.size() < limit_) return std::nullopt;
  const Clock::time_point roomAt = times_[oldest_] + window_;
  if (now < roomAt) return roomAt - now;
  return std::nullopt;
}

void GuessLimit::Rejected(Clock::time_point now) {
  std::lock_guard lock(lock_);
  if (limit_ == 0) return;
  if (times_.size() < limit_) {
    times_.push_back(now);
    return;
  }
  times_[oldest_] = now;
  oldest_ = (oldest_ + 1) % limit_;
}

// --- AccessPolicy --------------------------------------------------------------------------

AccessPolicy::AccessPolicy(AccessSettings settings, BackOff::Times times, size_t capacity)
    : settings_(std::move(settings)),
      backOff_(times, capacity),
      guesses_(settings_.guessLimit, times.guessWindow) {}

AccessPolicy::Verdict AccessPolicy::Admit(const asio::ip::address& client, Clock::time_point now) {
  if (!settings_.Allowed(client)) return {Verdict::Kind::NotAllowed, {}};
  if (settings_.requirePassword) {
    if (const auto wait = backOff_.Wait(client, now)) return {Verdict::Kind::TooSoon, *wait};
    if (const auto wait = guesses_.Wait(now)) return {Verdict::Kind::TooManyGuesses, *wait};
  }
  return {};
}

void AccessPolicy::PasswordRejected(const asio::ip::address& client, Clock::time_point now) {
  if (!settings_.requirePassword) return;
  backOff_.Rejected(client, now);
  guesses_.Rejected(now);
}

void AccessPolicy::PasswordAccepted(const asio::ip::address& client) {
  backOff_.Succeeded(client);
}

std::string AccessPolicy::RefusalLine(const asio::ip::address& client, const Verdict& verdict) {
  const std::string who = "Refused connection from " + Unmapped(client).to_string();
  switch (verdict.kind) {
    case Verdict::Kind::NotAllowed:
      return who + ": not in " + kAllow;
    case Verdict::Kind::TooSoon:
      return who + ": too soon after a rejected password (refused for " + WaitText(verdict.wait) +
             " more)";
    case Verdict::Kind::TooManyGuesses:
      return who + ": too many rejected passwords from all addresses (" + kGuessLimit +
             "; refused for " + WaitText(verdict.wait) + " more)";
    case Verdict::Kind::Serve:
      break;
  }
  return who;
}

// --- Environment file ----------------------------------------------------------------------

std::map<std::string, std::string> ReadEnvironmentFile(std::istream& in) {
  enum class State {
    PreKey,
    Key,
    PreValue,
    Value,
    ValueEscape,
    Single,
    Double,
    DoubleEscape,
    Comment
  };
  std::map<std::string, std::string> result;
  State state = State::PreKey;
  std::string key;
  std::string value;
  size_t keep = 0;  // value length without trailing blanks of an unquoted part
  auto assign = [&] {
    value.resize(keep);
    const std::string name(Trim(key));
    if (!name.empty()) result[name] = value;
    key.clear();
    value.clear();
    keep = 0;
  };
  char c = 0;
  while (in.get(c)) {
    switch (state) {
      case State::PreKey:
        if (c == '#' || c == ';') {
          state = State::Comment;
        } else if (!IsBlank(c)) {
          key.assign(1, c);
          state = State::Key;
        }
        break;
      case State::Key:
        if (c == '\n') {
          key.clear();  // a line without "=" is skipped
          state = State::PreKey;
        } else if (c == '=') {
          state = State::PreValue;
        } else {
          key.push_back(c);
        }
        break;
      case State::PreValue:
        if (c == '\n') {
          assign();
          state = State::PreKey;
        } else if (c == '\'') {
          state = State::Single;
        } else if (c == '"') {
          state = State::Double;
        } else if (c == '\\') {
          state = State::ValueEscape;
        } else if (!IsBlank(c)) {
          value.push_back(c);
          keep = value.size();
          state = State::Value;
        }
        break;
      case State::Value:
        if (c == '\n') {
          assign();
          state = State::PreKey;
        } else if (c == '\\') {
          state = State::ValueEscape;
        } else {
          value.push_back(c);
          if (!IsBlank(c)) keep = value.size();
        }
        break;
      case State::ValueEscape:
        if (c != '\n') {  // a backslash at the end of a line joins the next line
          value.push_back(c);
          keep = value.size();
        }
        state = State::Value;
        break;
      case State::Single:
        if (c == '\'') {
          state = State::PreValue;
        } else {
          value.push_back(c);
          keep = value.size();
        }
        break;
      case State::Double:
        if (c == '"') {
          state = State::PreValue;
        } else if (c == '\\') {
          state = State::DoubleEscape;
        } else {
          value.push_back(c);
          keep = value.size();
        }
        break;
      case State::DoubleEscape:
        if (c == '"' || c == '\\' || c == '`' || c == '$') {
          value.push_back(c);
        } else if (c != '\n') {
          value.push_back('\\');
          value.push_back(c);
        }
        keep = value.size();
        state = State::Double;
        break;
      case State::Comment:
        if (c == '\n') state = State::PreKey;
        break;
    }
  }
  if (state != State::PreKey && state != State::Key && state != State::Comment) assign();
  return result;
}

}  // namespace vexanet::access
