// LocalCAM: the server core, the hub that joins the serial line, the relay board, the window
// and the network. Exactly one exists in the program; start-up makes it and hands it the
// settings it reads and changes while it runs (CoreSettings).
//
// The board driver and the sessions reach the core through the small host interfaces they
// declare (DeviceHost, SessionHost); the core drives the window through ServerWindow, which
// start-up hands it, and never learns which window that is.
//
// Every switch goes through the relay service the core owns (relays()): the sessions hand it
// their clients' command words, the operator's actions go to it directly. The core passes the
// driver's reports on to it (SelectRelay -> Recorded, SendRStat -> StateLine, ShowStat ->
// ShowStatus) and is itself one of its observers: it puts status texts and relay changes into
// the window and status lines to the connected client. The session and the window never reach
// each other.
//
// Threads that enter it: start-up (constructor, first CommandB5, ShowStat), the window's worker
// (buttons, Host/PWD field, relay selectors through the device), session threads (their Close
// calls CommandB5; relay words reach CommandB0 through the device), session timers, and the
// listen retry thread while the listening port cannot be had (it starts the first session when
// the port opens).
//
// Lock order (a lock on the left may be held while one on its right is taken, never the other
// way round):
//   relay service's turn -> board driver's switch lock -> board driver's status lock
//     -> serial line's lock -> relay service's observer list -> core's lock
//   session's lock -> core's lock
//   session's lock -> timer's wake lock
//   any of the above -> connection's write lock -> console
//   any of the above -> window queue (the window's own lock, held only to queue a call)
// The board driver's switch lock is held while a command byte is sent (serial line lock and its
// 150 ms pause included); the status lock while the status line is built and handed to the
// session (connection's write lock) and the window. The session's lock is held by Close while it
// tells the core (SessionClosed -> CommandB5 takes the core's lock). The core's lock guards
// connectthread, the retired sessions and SerIn only and is never held while calling out.
//
// Ownership: the core owns the serial line, the device, the listening socket, the window, the
// sessions and the access policy that start-up hands it. Sessions that have ended are joined
// when the next one is created, so the number of threads stays constant however many clients
// come and go. The destructor (used by tests; the program ends with _Exit) stops the waiting
// session and joins every thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "device/DeviceHost.h"
#include "relay/RelayService.h"
#include "server/CoreSettings.h"
#include "server/ServerTimings.h"
#include "server/ServerWindow.h"
#include "server/SessionHost.h"

class ClientSocket;
class Device;
class SerOutPort;
class ServerSocket;

class LocalCAM : public DeviceHost, public SessionHost {
 public:
  // Makes the window for the given listening port; may return null (no window).
  using WindowFactory = std::function<std::unique_ptr<ServerWindow>(int32_t port)>;

  // settings: the session time, automatic acceptance, the board-number words and the password;
  // they must outlive the core. access: who may connect and whether a password is required
  // (null: everyone, as before); its listen addresses decide where OpenServerSocket listens. The
  // core keeps it for life.
  LocalCAM(CoreSettings& settings, const std::string& comport, const std::string& devtype,
           int32_t port, int32_t rate, int32_t dbits, int32_t sbits, const std::string& parity,
           const std::string& handshake, const WindowFactory& makeWindow = {},
           const ServerTimings& timings = {},
           std::unique_ptr<vexanet::access::AccessPolicy> access = nullptr);
  ~LocalCAM() override;
  LocalCAM(const LocalCAM&) = delete;
  LocalCAM& operator=(const LocalCAM&) = delete;

  // Status text into the window's status field.
  void ShowStat(const std::string& text) override;
  // Opens the listening socket on all local addresses, or only on the access settings' listen
  // addresses (one console line for each that cannot be used); true when one is open. When none
  // can be opened, a console line gives the reason and a thread of the core tries again every
  // timings' listenRetry until it succeeds (then shows it as at a first success, enables the
  // connect button and starts the first session) or the core is destroyed.
  virtual bool OpenServerSocket(int32_t port);
  // Hands command bytes to the serial line when it is usable; false otherwise.
  bool CommandB0(std::span<const uint8_t> bytes) override;
  // Looks the text up as a host name and shows the result; shows the new password.
  virtual void CommandB4(const std::string& text);
  // Starts a new session waiting for a client.
  virtual void CommandB5();
  // Closes the current client connection (the operator's "Close").
  virtual void CommandB6();
  // Sleeps, then passes through the core's lock.
  void DelayT(int32_t ms) override;
  static void OutLine(std::string_view text);

  // --- DeviceHost: the board driver's selectors and status lines ---------------------------
  void SelectRelay(int32_t relay, int32_t item) override;
  void SendRStat(const std::string& text) override;
  void BeforeSwitch(int32_t relay, int32_t state) override;

  // --- SessionHost -----------------------------------------------------------------------
  void ClientCommand(const std::string& line, const std::string& client) override;
  void ClientChanged(vexanet::relay::ClientEvent event, const std::string& client) override;
  std::string password() override;
  std::atomic<int32_t>& to() override { return settings_.to; }
  void SessionClosed() override;
  bool PasswordMatches(const std::string& given) override;
  vexanet::access::AccessPolicy* access() override { return access_.get(); }
  vexanet::Activity* SessionActivity() override { return &sessionWork_; }
  // The parts a health check watches: relay requests, the serial line's writer, client sessions.
  std::vector<const vexanet::Activity*> Activities() const;

  // The one way to the relays; made with the device, lives as long as the core.
  vexanet::relay::RelayService& relays() { return *relays_; }

  // --- fields other parts read ---------------------------------------------------------
  std::shared_ptr<ClientSocket> connectthread() const;
  ServerWindow* localgui() const { return localgui_; }
  const std::string& devtype() const { return devtype_; }
  int32_t NoCOM() const { return NoCOM_; }
  std::array<uint8_t, 64> SerIn() const;
  // Whether the window's "Let Client Connect" button is enabled: the same state, for the other
  // operator views.
  bool ConnectEnabled() const { return connectEnabled_.load(); }
  // Listening socket: open or not, and the port it is bound to (useful when port 0 was asked).
  ServerSocket* ss() const { return ssOpen_.load(); }
  int32_t listeningPort() const;

  // The relay board driver the core made; set once in the constructor.
  std::atomic<Device*> cam{nullptr};

  // The text form of a host's address, "name/1.2.3.4"; the empty name stands for this machine.
  // Empty when the name is unknown.
  static std::optional<std::string> LookUpHost(const std::string& name);

 private:
  // One try to listen on the port; the socket when it worked, else why is set. report: a console
  // line for each listed listen address that cannot be used.
  std::unique_ptr<ServerSocket> Listen(int32_t port, bool report, std::error_code& why);
  // The listening socket is open: it is kept and shown.
  void Listening(std::unique_ptr<ServerSocket> socket, int32_t port);
  // The thread that tries again to listen while the port cannot be had.
  void ListenRetryLoop(int32_t port);
  void StopListenRetry();

  // The serial line came back: every relay's recorded state goes out again, in relay order.
  // Runs with the board driver's switch lock held.
  void ResendRecordedStates();

  // The core as an observer of its relay service: the window's selectors and status field, and
  // the connected client's status lines.
  class Publisher : public vexanet::relay::RelayObserver {
   public:
    explicit Publisher(LocalCAM& core) : core_(core) {}
    void RelayChanged(int32_t relay, bool was, bool now,
                      const vexanet::relay::Source& source) override;
    void StateLine(const std::string& text) override;
    void StatusText(const std::string& text) override;

   private:
    LocalCAM& core_;
  };

  CoreSettings& settings_;
  const ServerTimings timings_;
  const std::unique_ptr<vexanet::access::AccessPolicy> access_;
  std::string devtype_;
  std::unique_ptr<SerOutPort> sop_;
  int32_t NoCOM_ = 0;
  std::unique_ptr<Device> device_;
  std::unique_ptr<vexanet::relay::RelayService> relays_;
  Publisher publisher_{*this};
  std::unique_ptr<ServerWindow> gui_;
  ServerWindow* localgui_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> connectEnabled_{false};
  vexanet::Activity sessionWork_{"client session"};
  // The listening socket: set once, by the constructor or the listen retry thread (under
  // retryLock_); ssOpen_ is what other threads read.
  std::unique_ptr<ServerSocket> ss_;
  std::atomic<ServerSocket*> ssOpen_{nullptr};
  std::mutex retryLock_;
  std::condition_variable retryWake_;
  bool retryStop_ = false;            // guarded by retryLock_
  std::optional<int32_t> retryPort_;  // the port to try again, set before the thread starts
  std::thread listenRetry_;

  mutable std::mutex lock_;  // connectthread, retired sessions, SerIn
  std::shared_ptr<ClientSocket> connectthread_;
  std::vector<std::shared_ptr<ClientSocket>> retired_;
  std::array<uint8_t, 64> SerIn_{};
  std::mutex critsect_;
};
