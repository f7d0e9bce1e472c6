#include "server/LocalCAM.h"

#include <asio/io_context.hpp>
#include <asio/ip/host_name.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <thread>

#include "base/Console.h"
#include "device/Vexa8.h"
#include "serial/SerOutPort.h"
#include "server/ClientSocket.h"
#include "server/ServerSocket.h"

LocalCAM::LocalCAM(CoreSettings& settings, const std::string& comport, const std::string& devtype,
                   int32_t port, int32_t rate, int32_t dbits, int32_t sbits,
                   const std::string& parity, const std::string& handshake,
                   const WindowFactory& makeWindow, const ServerTimings& timings,
                   std::unique_ptr<vexanet::access::AccessPolicy> access)
    : settings_(settings), timings_(timings), access_(std::move(access)), devtype_(devtype) {
  sop_ = std::make_unique<SerOutPort>(comport, devtype, rate, dbits, sbits, parity, handshake);
  NoCOM_ = SerOutPort::NoCOM();
  device_ = std::make_unique<Vexa8>(*this, settings_.net);
  relays_ = std::make_unique<vexanet::relay::RelayService>(
      *device_, [this](std::span<const uint8_t> bytes) { return CommandB0(bytes); });
  relays_->AddObserver(publisher_);
  sop_->SetOnLineChange(
      [this](bool up, const std::string& reason) { relays_->SerialLineChanged(up, reason); });
  // A line that did not open at start is down from the start for whoever watches the relays.
  if (!sop_->IsOpen()) relays_->SerialLineChanged(false, "not open");
  // A line that comes back gets the recorded relay states first, before any other byte.
  sop_->SetOnReconnect([this] { ResendRecordedStates(); }, &device_->SwitchLock());
  cam.store(device_.get());
  if (makeWindow) gui_ = makeWindow(port);
  localgui_ = gui_.get();
  CommandB4("");
  if (settings_.autoaccept) {
    const bool open = OpenServerSocket(port);
    connectEnabled_.store(open);
    if (localgui_ != nullptr) localgui_->EnableConnect(open);
  }
  if (localgui_ != nullptr) localgui_->SetLocalName(settings_.password.get());
  if (retryPort_) listenRetry_ = std::thread([this, port = *retryPort_] { ListenRetryLoop(port); });
}

LocalCAM::~LocalCAM() {
  // A resend under way finishes first; the line's retry thread no longer reaches this core.
  sop_->SetOnReconnect({});
  sop_->SetOnLineChange({});
  stopping_.store(true);
  // A listening socket opened late starts no session any more.
  StopListenRetry();
  // An operator action already under way may still reach this core: let it finish first. (Whoever
  // handed the core to the window takes it back before destroying the core.)
  if (localgui_ != nullptr) localgui_->Flush();
  if (ss_) ss_->Shutdown();
  if (auto current = connectthread()) current->Close(true);
  std::vector<std::shared_ptr<ClientSocket>> sessions;
  {
    std::lock_guard lock(lock_);
    sessions.swap(retired_);
    if (connectthread_) sessions.push_back(std::move(connectthread_));
  }
  for (auto& s : sessions) s->Join();
  sessions.clear();
  gui_.reset();
  localgui_ = nullptr;
  cam.store(nullptr);
}

void LocalCAM::ShowStat(const std::string& text) {
  relays_->ShowStatus(text);
}

namespace {

// "5 s", or "250 ms" for an interval that is no whole number of seconds.
std::string IntervalText(std::chrono::milliseconds interval) {
  if (interval.count() % 1000 == 0) return std::to_string(interval.count() / 1000) + " s";
  return std::to_string(interval.count()) + " ms";
}

}  // namespace

std::unique_ptr<ServerSocket> LocalCAM::Listen(int32_t port, bool report, std::error_code& why) {
  auto socket = std::make_unique<ServerSocket>();
  bool open = false;
  if (access_ && access_->settings().listen) {
    open = socket->Open(
        port, *access_->settings().listen,
        [port, report, &why](const asio::ip::address& address, const std::error_code& ec) {
          why = ec;
          if (!report) return;
          OutLine("Cannot listen on " + address.to_string() + " port " + std::to_string(port) +
                  ": " + ec.message());
        });
  } else {
    open = socket->Open(port, why);
  }
  if (!open) return nullptr;
  return socket;
}

void LocalCAM::Listening(std::unique_ptr<ServerSocket> socket, int32_t port) {
  ss_ = std::move(socket);
  ssOpen_.store(ss_.get());
  ShowStat("Server Socket Opened OK at Port " + std::to_string(port));
}

bool LocalCAM::OpenServerSocket(int32_t port) {
  std::error_code why;
  if (auto socket = Listen(port, true, why)) {
    Listening(std::move(socket), port);
    return true;
  }
  ShowStat("Can't Get ServerSocket at Port " + std::to_string(port));
  // The port may be held only for a while (by a program that starts and ends at boot): a server
  // left without network would be no use, so it tries again until it gets the port.
  const std::string again = "trying again every " + IntervalText(timings_.listenRetry);
  if (access_ && access_->settings().listen) {
    OutLine("Cannot listen on port " + std::to_string(port) + " on any listen address; " + again);
  } else {
    OutLine("Cannot listen on port " + std::to_string(port) + ": " + why.message() + "; " + again);
  }
  retryPort_ = port;  // the constructor starts the retry thread once it has done its work
  return false;
}

void LocalCAM::ListenRetryLoop(int32_t port) {
  std::unique_lock lock(retryLock_);
  for (;;) {
    if (retryWake_.wait_for(lock, timings_.listenRetry, [this] { return retryStop_; })) return;
    std::error_code why;
    std::unique_ptr<ServerSocket> socket = Listen(port, false, why);
    if (!socket) continue;
    Listening(std::move(socket), port);
    break;
  }
  lock.unlock();
  connectEnabled_.store(true);
  if (localgui_ != nullptr) localgui_->EnableConnect(true);
  // The first session, as start-up would have started it (this core's own, not an override's).
  LocalCAM::CommandB5();
}

void LocalCAM::StopListenRetry() {
  {
    std::lock_guard lock(retryLock_);
    retryStop_ = true;
  }
  retryWake_.notify_all();
  if (listenRetry_.joinable()) listenRetry_.join();
}

bool LocalCAM::CommandB0(std::span<const uint8_t> bytes) {
  // Whether the line is usable now (a line that went away is tried again, at most once a
  // second), not only whether it opened at start.
  if (sop_->Usable()) {
    const auto in = sop_->SendSerial(bytes);
    std::lock_guard lock(lock_);
    SerIn_ = in;
    return true;
  }
  ShowStat("COM port not communicating.");
  return false;
}

std::optional<std::string> LocalCAM::LookUpHost(const std::string& name) {
  std::error_code ec;
  const std::string host = name.empty() ? asio::ip::host_name(ec) : name;
  if (ec) return std::nullopt;
  asio::io_context io;
  asio::ip::tcp::resolver resolver(io);
  const auto results = resolver.resolve(host, "", ec);
  if (ec || results.empty()) return std::nullopt;
  // Prefer an IPv4 address, as the address field is sized for one.
  asio::ip::address address = results.begin()->endpoint().address();
  for (const auto& entry : results) {
    if (entry.endpoint().address().is_v4()) {
      address = entry.endpoint().address();
      break;
    }
  }
  std::error_code literal;
  asio::ip::make_address(name, literal);
  const std::string shownName = (!name.empty() && !literal) ? std::string() : host;
  return shownName + "/" + address.to_string();
}

void LocalCAM::CommandB4(const std::string& text) {
  const std::optional<std::string> address = LookUpHost(text);
  if (!address) ShowStat("Unknown Host Can't Get IP");
  if (localgui_ != nullptr) localgui_->ShowIP(address);
  ShowStat("New Password= " + text);
}

void LocalCAM::CommandB5() {
  ServerSocket* const listening = ssOpen_.load();
  if (stopping_.load() || listening == nullptr) return;
  auto session = std::make_shared<ClientSocket>(listening, *this, timings_);
  std::vector<std::shared_ptr<ClientSocket>> ended;
  {
    std::lock_guard lock(lock_);
    // One session waits at a time: while the current one still waits for its client (the
    // connect button pressed just as a connection ended), it goes on waiting.
    if (connectthread_ && connectthread_->waiting()) {
      session.reset();
    } else if (connectthread_) {
      retired_.push_back(std::move(connectthread_));
    }
    if (session) connectthread_ = session;
    // Sessions whose threads have all finished are released here, outside the lock below.
    for (auto it = retired_.begin(); it != retired_.end();) {
      if ((*it)->finished()) {
        ended.push_back(std::move(*it));
        it = retired_.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (session) session->start();
  connectEnabled_.store(false);
  if (localgui_ != nullptr) localgui_->SetConnectButton(false, 64);
  ended.clear();  // joins threads that have already finished
}

void LocalCAM::CommandB6() {
  std::shared_ptr<ClientSocket> session = connectthread();
  if (!session) {
    ShowStat("No Connection to Close");
    return;
  }
  if (session->connected()) {
    OutLine("Button close");
    session->Close(true);
  }
}

void LocalCAM::ResendRecordedStates() {
  for (const uint8_t b : device_->RecordedCommandBytes()) {
    sop_->SendSerial(std::span<const uint8_t>(&b, 1));
  }
}

void LocalCAM::SelectRelay(int32_t relay, int32_t item) {
  relays_->Recorded(relay, item);
}

std::vector<const vexanet::Activity*> LocalCAM::Activities() const {
  return {&relays_->activity(), &sop_->writing(), &sessionWork_};
}

void LocalCAM::BeforeSwitch(int32_t relay, int32_t state) {
  relays_->BeforeSwitch(relay, state);
}

void LocalCAM::SendRStat(const std::string& text) {
  relays_->StateLine(text);
}

void LocalCAM::ClientCommand(const std::string& line, const std::string& client) {
  relays_->ClientLine(line, vexanet::relay::Source::Client(client));
}

void LocalCAM::ClientChanged(vexanet::relay::ClientEvent event, const std::string& client) {
  relays_->ClientChanged(event, client);
}

void LocalCAM::Publisher::RelayChanged(int32_t relay, bool /*was*/, bool now,
                                       const vexanet::relay::Source& /*source*/) {
  if (core_.localgui_ != nullptr) core_.localgui_->SelectRelay(relay, now ? 1 : 0);
}

void LocalCAM::Publisher::StateLine(const std::string& text) {
  if (std::shared_ptr<ClientSocket> session = core_.connectthread()) session->SendRStat(text);
}

void LocalCAM::Publisher::StatusText(const std::string& text) {
  if (core_.localgui_ != nullptr) core_.localgui_->ShowStatus(text);
}

std::string LocalCAM::password() {
  return settings_.password.get();
}

bool LocalCAM::PasswordMatches(const std::string& given) {
  return settings_.password.Matches(given);
}

void LocalCAM::SessionClosed() {
  // Switches the safety policies made due when the client left come before the next session.
  relays_->RunPending();
  connectEnabled_.store(true);
  if (localgui_ != nullptr) localgui_->SetConnectButton(true, 192);
  CommandB5();
}

void LocalCAM::DelayT(int32_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  std::lock_guard lock(critsect_);
}

void LocalCAM::OutLine(std::string_view text) {
  vexanet::ConsoleLine(text);
}

std::shared_ptr<ClientSocket> LocalCAM::connectthread() const {
  std::lock_guard lock(lock_);
  return connectthread_;
}

std::array<uint8_t, 64> LocalCAM::SerIn() const {
  std::lock_guard lock(lock_);
  return SerIn_;
}

int32_t LocalCAM::listeningPort() const {
  const ServerSocket* const listening = ssOpen_.load();
  return listening != nullptr ? listening->Port() : -1;
}
