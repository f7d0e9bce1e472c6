// LocalCAM: the server core, the hub that joins the serial line, the relay board, the window
// and the network. Exactly one exists in the program (Vexa::scam).
//
// Threads that enter it: start-up (constructor, first CommandB5, ShowStat), the window's worker
// (buttons, Host/PWD field, relay selectors through the device), session threads (their Close
// calls CommandB5; relay words reach CommandB0 through the device) and session timers.
// connectthread and SerIn are guarded by a small lock of their own; the serial line paces itself.
//
// Ownership: the core owns the serial line, the device, the listening socket, the window and the
// sessions. Sessions that have ended are joined when the next one is created, so the number of
// threads stays constant however many clients come and go. The destructor (used by tests; the
// program ends with _Exit) stops the waiting session and joins every thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class ClientSocket;
class Device;
class LocalGUI;
class SerOutPort;
class ServerSocket;

class LocalCAM {
 public:
  LocalCAM(const std::string& comport, const std::string& devtype, int32_t port, int32_t rate,
           int32_t dbits, int32_t sbits, const std::string& parity, const std::string& handshake);
  virtual ~LocalCAM();
  LocalCAM(const LocalCAM&) = delete;
  LocalCAM& operator=(const LocalCAM&) = delete;

  // Status text into the window's status field.
  virtual void ShowStat(const std::string& text);
  // Opens the listening socket on all local addresses; true when it is open.
  virtual bool OpenServerSocket(int32_t port);
  // Hands command bytes to the serial line when it is usable; false otherwise.
  virtual bool CommandB0(std::span<const uint8_t> bytes);
  // Looks the text up as a host name and shows the result; shows the new password.
  virtual void CommandB4(const std::string& text);
  // Starts a new session waiting for a client.
  virtual void CommandB5();
  // Closes the current client connection (the operator's "Close").
  virtual void CommandB6();
  // Sleeps, then passes through the core's lock.
  virtual void DelayT(int32_t ms);
  static void OutLine(std::string_view text);

  // --- fields other parts read ---------------------------------------------------------
  std::shared_ptr<ClientSocket> connectthread() const;
  LocalGUI* localgui() const { return localgui_; }
  const std::string& devtype() const { return devtype_; }
  int32_t NoCOM() const { return NoCOM_; }
  std::array<uint8_t, 64> SerIn() const;
  // Listening socket: open or not, and the port it is bound to (useful when port 0 was asked).
  ServerSocket* ss() const { return ss_.get(); }
  int32_t listeningPort() const;

  static inline std::atomic<Device*> cam{nullptr};

  // The text form of a host's address, "name/1.2.3.4"; the empty name stands for this machine.
  // Empty when the name is unknown.
  static std::optional<std::string> LookUpHost(const std::string& name);

 private:
  struct GuiDeleter {
    void operator()(LocalGUI* gui) const;
  };

  std::string devtype_;
  std::unique_ptr<SerOutPort> sop_;
  int32_t NoCOM_ = 0;
  std::unique_ptr<Device> device_;
  std::unique_ptr<LocalGUI, GuiDeleter> gui_;
  LocalGUI* localgui_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::unique_ptr<ServerSocket> ss_;

  mutable std::mutex lock_;  // connectthread, retired sessions, SerIn
  std::shared_ptr<ClientSocket> connectthread_;
  std::vector<std::shared_ptr<ClientSocket>> retired_;
  std::array<uint8_t, 64> SerIn_{};
  std::mutex critsect_;
};
