#include "server/ClientSocket.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>
#include <string_view>

#include "access/AccessPolicy.h"
#include "base/Console.h"
#include "server/Connection.h"
#include "server/ServerSocket.h"
#include "server/SessionHost.h"
#include "server/TimeOut.h"

using vexanet::relay::ClientEvent;

namespace {

// The remainder of a "TO=" line as a decimal 32-bit signed integer: an optional minus sign and
// digits, nothing else.
std::optional<int32_t> ParseMinutes(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::optional<std::chrono::milliseconds> PasswordWithin(vexanet::access::AccessPolicy* access) {
  if (access == nullptr || !access->settings().requirePassword) return std::nullopt;
  return access->settings().authTimeout;
}

std::optional<std::chrono::milliseconds> IdleLimit(vexanet::access::AccessPolicy* access) {
  if (access == nullptr) return std::nullopt;
  return access->settings().idleTimeout;
}

// "192.0.2.7:40000", "[2001:db8::1]:40000"; an IPv4 client as such also over IPv6.
std::string EndpointName(const asio::ip::tcp::endpoint& at) {
  const asio::ip::address address = vexanet::access::Unmapped(at.address());
  const std::string text = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return text + ":" + std::to_string(at.port());
}

}  // namespace

ClientSocket::ClientSocket(ServerSocket* ss, SessionHost& host, const ServerTimings& timings)
    : ss_(ss),
      host_(host),
      timings_(timings),
      access_(host.access()),
      passwordRequired_(access_ != nullptr && access_->settings().requirePassword),
      passwordWithin_(PasswordWithin(access_)),
      idleLimit_(IdleLimit(access_)) {}

ClientSocket::~ClientSocket() {
  Join();
}

void ClientSocket::start() {
  thread_ = std::thread([this] {
    ownerId_.store(std::this_thread::get_id());
    run();
    runFinished_.store(true);
  });
}

void ClientSocket::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  std::vector<std::unique_ptr<TimeOut>> timers;
  std::unique_ptr<SilenceWatch> watch;
  {
    std::lock_guard lock(lock_);
    timers.swap(timers_);
    timeoutthread_ = nullptr;
    watch.swap(watch_);
  }
  timers.clear();  // joins each timer's thread
  watch.reset();   // and the watch's
}

bool ClientSocket::finished() const {
  // Lock-free: the server core asks while holding its own lock.
  return runFinished_.load() && liveTimers_.load() == 0;
}

void ClientSocket::run() {
  a_.store(false);
  ShowStat("Awaiting Client Connection");
  std::optional<asio::ip::tcp::socket> socket;
  while (!socket) {
    if (ss_ == nullptr || ss_->IsShutDown()) return;
    std::error_code ec;
    socket = ss_->Accept(ec);
    if (socket && !Admitted(*socket)) {
      socket.reset();  // refused: this session goes on waiting, the window learns nothing
      continue;
    }
    if (socket) break;
    if (ss_->IsShutDown()) return;
    // The wait failed: the next client must still find a waiting session, so wait again after
    // a short pause.
    vexanet::ConsoleLine("Waiting for a client failed: " + ec.message());
    std::this_thread::sleep_for(timings_.acceptRetryPause);
  }
  {
    std::error_code ec;
    const asio::ip::tcp::endpoint remote = socket->remote_endpoint(ec);
    peerName_ = ec ? "at an unknown address" : EndpointName(remote);
  }
  {
    std::lock_guard lock(lock_);
    cs_ = std::make_unique<Connection>(std::move(*socket), timings_.sendTimeout);
    csPtr_.store(cs_.get());
    accepted_.store(true);
    // The client's time starts now, before its greeting, so that even a client that never
    // reads cannot stretch it.
    if (passwordWithin_ || idleLimit_) StartSilenceWatch();
  }
  if (ss_->IsShutDown()) {  // the server is being taken down
    EndSession();
    return;
  }
  ShowStat("Client Connection Accepted!");
  host_.ClientChanged(ClientEvent::Connected, peerName_);
  cs_->EnableKeepAlive();  // best effort: a connection without probes still works
  if (cs_->WriteLine("OK")) {
    {
      // A close from another thread may already have come: it must not be undone.
      std::lock_guard lock(lock_);
      if (!closed_.load()) a_.store(true);
    }
    HandleLines();
  } else {
    ShowStat("I/O Open Unsuccessful");
  }
  EndSession();
}

bool ClientSocket::Admitted(asio::ip::tcp::socket& socket) {
  using vexanet::access::AccessPolicy;
  if (access_ == nullptr) return true;
  const vexanet::access::AccessSettings& settings = access_->settings();
  // Nothing to check: the client is served as it would be without any setting.
  if (!settings.allow && !settings.requirePassword) return true;
  std::error_code ec;
  const asio::ip::tcp::endpoint remote = socket.remote_endpoint(ec);
  if (ec) {  // gone already; its address cannot be checked
    vexanet::ConsoleLine("Refused connection from an unknown address: " + ec.message());
    socket.close(ec);
    return false;
  }
  peer_ = remote.address();
  const AccessPolicy::Verdict verdict = access_->Admit(peer_, vexanet::access::Clock::now());
  if (verdict.kind == AccessPolicy::Verdict::Kind::Serve) return true;
  vexanet::ConsoleLine(AccessPolicy::RefusalLine(peer_, verdict));
  host_.ClientChanged(ClientEvent::Refused, EndpointName(remote));
  socket.close(ec);
  return false;
}

void ClientSocket::HandleLines() {
  while (a_.load()) {
    str_.clear();
    const Connection::ReadStatus status = cs_->ReadLine(str_);
    if (status == Connection::ReadStatus::Error || !a_.load()) {
      // A reset by the client, or the connection closed from another thread (a line that was
      // still buffered then is not acted on).
      vexanet::ConsoleLine("Server ReadLine I/O Error");
      a_.store(false);
      return;
    }
    // Acting on the line (a relay word waits for its turn and its byte) until the next read.
    vexanet::BusyScope busy(host_.SessionActivity());
    if (status == Connection::ReadStatus::TooLong) {
      vexanet::ConsoleLine("Client line longer than " +
                           std::to_string(LineReader::kDefaultMaxLine) +
                           " bytes: closing the connection");
      return;
    }
    if (status == Connection::ReadStatus::EndOfStream) {
      ShowStat("Client Command: null");
      ShowStat("Null Close");
      return;
    }
    if (watch_) watch_->LineReceived();
    ShowStat("Client Command: " + str_);
    if (str_.empty()) {
      ShowStat("Len=0 Close");
      return;
    }
    if (str_ == "Close" || str_ == "KILL") {
      ShowStat("Client Closed Connection!");
      return;
    }
    if (passwordRequired_ && !authenticated_.load() && !str_.starts_with("PWD")) {
      ShowStat("Password required");
      host_.ClientChanged(ClientEvent::Refused, peerName_);
      cs_->WriteLine("Password required");
      return;
    }
    if (str_.starts_with("TO=")) {
      // A remainder that is no number leaves the setting as it was.
      if (auto minutes = ParseMinutes(std::string_view(str_).substr(3))) host_.to().store(*minutes);
    }
    if (str_.starts_with("PWD")) {
      passwordok_ = false;
      const std::string given = str_.substr(3);
      if (host_.PasswordMatches(given)) {
        ShowStat("Password = " + given + " OK");
        vexanet::ConsoleLine("PWD OK");
        passwordok_ = true;
        authenticated_.store(true);
        host_.ClientChanged(ClientEvent::Authenticated, peerName_);
        if (watch_) watch_->PasswordAccepted();
        if (passwordRequired_) access_->PasswordAccepted(peer_);
        cs_->WriteLine("Password/Connection Accepted!");
        const int32_t minutes = host_.to().load();
        if (minutes > 0) {
          cs_->WriteLine("Available Time: " + std::to_string(minutes) + " Minutes");
          StartTimer();
        }
      }
    }
    if (!passwordok_) {
      // Recorded before the reply, so that a client that reconnects on reading it is refused.
      if (passwordRequired_) access_->PasswordRejected(peer_, vexanet::access::Clock::now());
      ShowStat("WRONG PASSWORD!");
      host_.ClientChanged(ClientEvent::Refused, peerName_);
      cs_->WriteLine("Password/Connection Rejected!");
      cs_->WriteLine("CLOSE");
      return;
    }
    host_.ClientCommand(str_, peerName_);
  }
}

std::optional<int64_t> ClientSocket::TimeLeft() const {
  std::lock_guard lock(lock_);
  if (!timed_.load() || closed_.load() || timeoutthread_ == nullptr) return std::nullopt;
  return std::max<int64_t>(timeoutthread_->time(), 0);
}

void ClientSocket::StartTimer() {
  const int64_t time = timings_.SessionTime(host_.to().load());
  std::lock_guard lock(lock_);
  if (closed_.load()) return;
  // An earlier timer of this session is cancelled first: the session keeps one time limit.
  if (timeoutthread_ != nullptr) {
    timeoutthread_->setNegTime();
    timeoutthread_->stopme();
  }
  std::erase_if(timers_, [](const std::unique_ptr<TimeOut>& t) { return t->finished(); });
  auto timer = std::make_unique<TimeOut>(
      time, [this] { SendTimeoutMsg(); }, [this](const std::string& text) { ShowStat(text); });
  timeoutthread_ = timer.get();
  timers_.push_back(std::move(timer));
  liveTimers_.fetch_add(1);
  timeoutthread_->start([this] { liveTimers_.fetch_sub(1); });
  timed_.store(true);
}

void ClientSocket::StartSilenceWatch() {
  using Reason = SilenceWatch::Reason;
  watch_ = std::make_unique<SilenceWatch>(passwordWithin_, idleLimit_, [this](Reason reason) {
    using vexanet::access::DurationText;
    if (reason == Reason::NoPassword) {
      // A password accepted in the same instant wins; the idle limit still holds.
      if (authenticated_.load()) return false;
      CloseSession("no accepted password within " + DurationText(*passwordWithin_));
    } else {
      CloseSession("idle for " + DurationText(*idleLimit_));
    }
    return true;  // closed now, or by someone else already
  });
  liveTimers_.fetch_add(1);
  watch_->start([this] { liveTimers_.fetch_sub(1); });
}

void ClientSocket::EndSession() {
  a_.store(false);
  Close(false);
  vexanet::ConsoleLine("Server Loop Close");
  std::lock_guard lock(lock_);
  if (cs_) cs_->Close();  // the session thread owns the socket and closes it last
}

void ClientSocket::SendRStat(const std::string& text) {
  // While a password is required, a client that has not sent it learns nothing of the relays.
  if (passwordRequired_ && !authenticated_.load()) return;
  if (Connection* c = connection()) c->WriteLine(text);
}

void ClientSocket::SendTimeoutMsg() {
  if (Connection* c = connection()) c->WriteLine("TIME");
  CloseSession({}, ClientEvent::TimedOut);
}

void ClientSocket::SendClose() {
  if (Connection* c = connection()) c->WriteLine("Close");
}

void ClientSocket::Close(bool /*fromOperator*/) {
  CloseSession({});
}

void ClientSocket::CloseSession(const std::string& why, ClientEvent event) {
  std::lock_guard lock(lock_);
  if (!accepted_.load() || closed_.load()) return;
  if (!why.empty()) vexanet::ConsoleLine("Client " + peerName_ + " closed: " + why);
  closed_.store(true);
  a_.store(false);
  if (watch_) watch_->stop();
  if (cs_ && cs_->IsOpen()) {
    cs_->CloseWriter();
    vexanet::ConsoleLine("Connection reset");
    // Shutting the connection down ends the session thread's blocked read at once; the session
    // thread closes the socket itself.
    std::error_code ec = cs_->Shutdown();
    if (!ec && ownerId_.load() == std::this_thread::get_id()) ec = cs_->Close();
    if (ec) vexanet::ConsoleLine("Trouble closing connection");
  }
  if (timed_.load() && timeoutthread_ != nullptr) {
    timeoutthread_->setNegTime();
    timeoutthread_->stopme();
    timed_.store(false);
  }
  a_.store(false);
  host_.ClientChanged(event, peerName_);
  host_.SessionClosed();
}

void ClientSocket::ShowStat(const std::string& text) {
  host_.ShowStat(text);
}
