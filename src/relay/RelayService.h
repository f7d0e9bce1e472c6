// RelayService: the one way to the eight relays. Every way in (a client's command words, the
// operator's window, and whatever comes later) asks it to switch, naming who asks; it keeps the
// eight recorded states, the latest status text and whether the serial line is up, and tells any
// number of observers what happened.
//
// The board driver (a Device) still computes, sends and records each command byte under its
// switch lock, with the serial line's pause after each. The service wraps every request into one
// turn (requests from different sources run one after another) and learns what the driver did
// through the reports its owner hands on (Recorded, StateLine, ShowStatus, SerialLineChanged,
// Client): the server core is the driver's host and passes the driver's callbacks here.
//
// Threads: requests come from any thread (a session, the operator's worker, later the web panel
// or the broker's thread). Observers are called on the thread that caused the report, in the
// order of the reports of that thread; a relay change is reported with the driver's switch lock
// held, so changes are reported in the order the bytes went out. An observer must return quickly
// and must not ask the service to switch from inside a callback (the request would wait for the
// turn its caller holds); it may hand the request to a thread of its own.
//
// Lock order: the service's turn -> the driver's switch lock -> the driver's status lock ->
// the observer list (read) -> whatever an observer takes. The observer list is never held while
// the turn or a driver lock is taken.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/Activity.h"

class Device;

namespace vexanet::relay {

// Who asked for a switch, as console lines and observers name it: "operator",
// "client/192.0.2.7:40000", "start-up", and the names later ways in give themselves.
struct Source {
  std::string name;

  static Source Operator() { return {"operator"}; }
  static Source StartUp() { return {"start-up"}; }
  // The server's own safety rules (interlocks, off when a client leaves, maximum on-time).
  static Source Policy() { return {"policy"}; }
  // "client/" and the client's "address:port".
  static Source Client(const std::string& address) { return {"client/" + address}; }

  bool operator==(const Source&) const = default;
};

// What happened to a client of the line protocol.
enum class ClientEvent {
  Connected,      // accepted and greeted
  Authenticated,  // its password was accepted
  Refused,        // not served: access control, or a wrong or missing password
  Closed,         // its session ended (close word, disconnect, operator, silence)
  TimedOut,       // its session time ran out
};

// "connected", "authenticated", "refused", "closed", "timeout".
const char* EventName(ClientEvent event);

// Told what the service saw. Every callback does nothing unless overridden.
class RelayObserver {
 public:
  virtual ~RelayObserver() = default;

  // A relay (index 0..7) was switched: its recorded state before and now (the same when a relay
  // was switched to the state it had), and who asked.
  virtual void RelayChanged(int32_t /*relay*/, bool /*was*/, bool /*now*/,
                            const Source& /*source*/) {}
  // The relays' status line ("Stat" and eight digits) is to reach the connected client.
  virtual void StateLine(const std::string& /*text*/) {}
  // A status text for the operator (the window's status field).
  virtual void StatusText(const std::string& /*text*/) {}
  // The serial line went down (with the reason) or came back (reason empty).
  virtual void SerialLine(bool /*up*/, const std::string& /*reason*/) {}
  // Something happened to a client; client is its "address:port".
  virtual void Client(ClientEvent /*event*/, const std::string& /*client*/) {}
};

class RelayService {
 public:
  // Sends raw command bytes to the board (the operator's hexadecimal command); false when the
  // serial line was not usable.
  using RawSend = std::function<bool(std::span<const uint8_t>)>;

  // The device must outlive the service; so must every observer until it is removed.
  RelayService(Device& device, RawSend sendRaw);
  RelayService(const RelayService&) = delete;
  RelayService& operator=(const RelayService&) = delete;

  void AddObserver(RelayObserver& observer);
  // Waits for a callback of this observer under way on another thread. Not from a callback.
  void RemoveObserver(RelayObserver& observer);

  // --- requests ----------------------------------------------------------------------------
  // Switches relay index 0..7 on or off (command byte, pause, recorded state, status line).
  void Switch(int32_t relay, bool on, const Source& source);
  // Switches, in relay order, every relay whose wanted state is given and differs from its
  // recorded state, in one turn (nothing from elsewhere lands in between). Returns how many
  // were switched.
  int32_t SwitchSeveral(const std::array<std::optional<bool>, 8>& wanted, const Source& source);
  // A client's command line: the driver acts on its words ("R1On", "Get", ...). True when it was
  // one of them.
  bool ClientLine(const std::string& line, const Source& source);
  // Raw bytes for the board, in the switches' turn and under the driver's switch lock, so a
  // serial line that comes back meanwhile gets the recorded states whole before them.
  bool SendRaw(std::span<const uint8_t> bytes, const Source& source);
  // Brings the board into its initial state (all relays off, or the given states), reported as
  // from start-up. Not in a turn: switches that the driver holds until then wait inside their
  // turn.
  void Init(const std::optional<std::array<bool, 8>>& states = std::nullopt);

  // --- rules --------------------------------------------------------------------------------
  // Groups of relay indexes (0..7) of which at most one may be on: switching one on first
  // switches the others of its group off, with source "policy". Set before anything switches.
  void SetInterlocks(std::vector<std::vector<int32_t>> groups);
  // Switches to make before the next request's own (by whichever thread takes the next turn),
  // or at once by RunPending: for an observer, which may not switch from its callback. Wanted
  // states add to those already pending.
  void SwitchSoon(const std::array<std::optional<bool>, 8>& wanted, const Source& source);
  // Makes the pending switches now, in a turn of their own; nothing when none are pending.
  void RunPending();

  // --- what is known -----------------------------------------------------------------------
  std::array<bool, 8> States() const;
  // The latest status text for the operator.
  std::string Status() const;
  // Whether the serial line is up (true until it is reported lost).
  bool SerialUp() const { return serialUp_.load(); }
  // Busy while a request holds the turn (for a health check).
  const Activity& activity() const { return activity_; }

  // --- reports from the service's owner ----------------------------------------------------
  // The driver recorded relay index 0..7 as state 0 or 1 (called with its switch lock held).
  void Recorded(int32_t relay, int32_t state);
  // The driver is about to switch relay index 0..7 to state 0 or 1 (no lock of its held): the
  // interlocks switch the other relays of its group off first.
  void BeforeSwitch(int32_t relay, int32_t state);
  // The driver's status line for the connected client.
  void StateLine(const std::string& text);
  // A status text for the operator.
  void ShowStatus(const std::string& text);
  // The serial line was lost (with the reason) or came back.
  void SerialLineChanged(bool up, const std::string& reason = {});
  // A line-protocol client event.
  void ClientChanged(ClientEvent event, const std::string& client);

 private:
  // The request's turn: the source is what Recorded reports for switches made on this thread.
  // It makes the pending switches first.
  class Turn;
  // Makes the pending switches; in a turn.
  void RunPendingInTurn();
  // Calls f on every observer, under the list's read lock.
  template <typename F>
  void Tell(F&& f);

  Device& device_;
  const RawSend sendRaw_;

  Activity activity_{"relay requests"};
  std::mutex turn_;                          // one request at a time
  std::atomic<std::thread::id> turnOwner_{}; // the thread holding turn_
  Source current_;                           // the source of turn_'s holder; guarded by turn_

  std::array<std::atomic<bool>, 8> states_{};  // written under the driver's switch lock
  mutable std::mutex statusLock_;
  std::string status_;  // guarded by statusLock_
  std::atomic<bool> serialUp_{true};

  std::vector<std::vector<int32_t>> interlocks_;  // set before use, then only read

  std::mutex pendingLock_;
  std::array<std::optional<bool>, 8> pending_{};  // guarded by pendingLock_
  Source pendingSource_;                          // guarded by pendingLock_

  std::shared_mutex observersLock_;
  std::vector<RelayObserver*> observers_;  // guarded by observersLock_
};

}  // namespace vexanet::relay
