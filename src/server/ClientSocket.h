// ClientSocket: the server's side of one client connection, from the wait for it to its close.
//
// Threads and ownership:
//  - The session's own thread (run) waits for one client on the listening socket, closes at
//    once a connection the access policy refuses (and waits on), greets the client, reads its
//    lines and hands them on. It owns the connection and is the only thread that closes
//    the socket; it does so at its very end, under the session's lock.
//  - Close may run on the session thread, the window's worker (the operator's "Close"), a timer
//    thread (expiry) or the silence watch's thread (no accepted password in time, or no line
//    for the idle limit; it says why on the console first). It acts once, under the session's lock: it shuts the connection down, which
//    ends the session thread's blocked read at once, cancels the timer and tells the host, which
//    re-enables the connect button and starts the next session.
//  - SendRStat and SendTimeoutMsg write lines from any thread, without the session's lock; the
//    connection's writer serialises whole lines and drops them once the writer is closed.
//  - The session owns its timers and its silence watch and joins their threads (and its own) when
//    it is destroyed. The server core destroys a session only after all of its threads have
//    finished.
#pragma once

#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "relay/RelayService.h"
#include "server/ServerTimings.h"

class Connection;
class ServerSocket;
namespace vexanet::access {
class AccessPolicy;
}
class SessionHost;
class SilenceWatch;
class TimeOut;

class ClientSocket {
 public:
  ClientSocket(ServerSocket* ss, SessionHost& host, const ServerTimings& timings = {});
  virtual ~ClientSocket();
  ClientSocket(const ClientSocket&) = delete;
  ClientSocket& operator=(const ClientSocket&) = delete;

  void start();
  void run();

  virtual void SendTimeoutMsg();
  virtual void SendRStat(const std::string& text);
  virtual void SendClose();
  virtual void Close(bool fromOperator);
  virtual void ShowStat(const std::string& text);

  // A client is connected and the session has not been closed.
  bool connected() const { return accepted_.load() && !closed_.load(); }
  // The session thread still waits for its client.
  bool waiting() const { return !accepted_.load() && !runFinished_.load(); }
  bool serving() const { return a_.load(); }
  bool timed() const { return timed_.load(); }
  // The time the client has left in milliseconds while its session is timed; empty otherwise.
  std::optional<int64_t> TimeLeft() const;
  // The session thread and every timer thread have finished.
  bool finished() const;
  // Waits for the session thread and every timer thread. Not for those threads themselves.
  void Join();

 private:
  // The access policy's verdict on an accepted connection: true when it is to be served. A
  // refused connection is closed here, with a console line naming its address.
  bool Admitted(asio::ip::tcp::socket& socket);
  void EndSession();
  void HandleLines();
  void StartTimer();
  // With an access policy that limits silence: starts the watch. Under lock_.
  void StartSilenceWatch();
  // Closes the session once, as Close does; a non-empty `why` is said on the console first,
  // naming the client. The host is told of the end as `event`.
  void CloseSession(const std::string& why,
                    vexanet::relay::ClientEvent event = vexanet::relay::ClientEvent::Closed);

  Connection* connection() const { return csPtr_.load(); }

  ServerSocket* ss_;
  SessionHost& host_;
  const ServerTimings timings_;
  std::unique_ptr<Connection> cs_;  // set once by the session thread under lock_
  std::atomic<Connection*> csPtr_{nullptr};
  std::atomic<std::thread::id> ownerId_{};
  std::atomic<bool> a_{false};
  std::atomic<bool> timed_{false};
  bool passwordok_ = true;
  // The host's access policy (null: none), whether it requires a password before anything
  // else, and whether the client has sent it. The client's address, for the policy.
  vexanet::access::AccessPolicy* const access_;
  const bool passwordRequired_;
  std::atomic<bool> authenticated_{false};
  // The limits on a quiet client from the access policy: a password within (only while one is
  // required) and the longest pause between lines. Empty: none.
  const std::optional<std::chrono::milliseconds> passwordWithin_;
  const std::optional<std::chrono::milliseconds> idleLimit_;
  asio::ip::address peer_;
  // "address:port" of the client, for console lines and the relay service; set before lock_
  std::string peerName_;
  std::string str_;

  mutable std::mutex lock_;                       // Close, every change of cs_ and of the timers
  std::atomic<bool> accepted_{false};             // written under lock_
  std::atomic<bool> closed_{false};               // written under lock_
  std::atomic<int> liveTimers_{0};                // timer threads not yet finished
  TimeOut* timeoutthread_ = nullptr;              // guarded by lock_
  std::vector<std::unique_ptr<TimeOut>> timers_;  // guarded by lock_
  std::unique_ptr<SilenceWatch> watch_;           // guarded by lock_; set once
  std::atomic<bool> runFinished_{false};
  std::thread thread_;
};
