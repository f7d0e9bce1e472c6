// LocalGUI: the operator's window. Mirrors the eight relays and lets the operator switch them,
// shows the server's address, port and latest status text, lets a client connect or closes the
// current connection, and takes a new password or a raw hexadecimal command.
//
// Threads:
//  - The widgets live on the GUI thread. Every public operation below may be called from any
//    thread: it runs at once on the GUI thread and is queued to it from elsewhere, so calls
//    take effect in the order they were made. Widget code asserts it runs on the GUI thread.
//  - The operator's actions (selectors, the two buttons, Enter in Host/PWD) never run on the GUI
//    thread: they are queued, in the order the operator made them, to one worker thread, because
//    they wait on the serial line (150 ms per relay byte) and the network.
//  - A selector changed by the program does not raise the operator's action (only Qt's
//    `activated` signal, which the program never triggers, is connected).
//
// Headless: with SetHeadless(true) every status text is also written to standard output as
// "Status: " followed by the text.
#pragma once

#include <QColor>
#include <QWidget>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class Device;
class LocalCAM;

class LocalGUI : public QWidget {
 public:
  static inline const QColor backcol{120, 140, 240};
  static constexpr int32_t GUIwidth = 420;
  // Copied from Vexa::cam when the class is first used; start-up sets scam.
  static inline std::atomic<Device*> cam{nullptr};
  static inline std::atomic<LocalCAM*> scam{nullptr};

  // Creates the window for the given listening port and shows it. GUI thread only; from any
  // other thread use Create.
  explicit LocalGUI(int32_t port);
  ~LocalGUI() override;

  // Creates the window on the GUI thread and waits until it exists. Callable from any thread,
  // including the GUI thread itself.
  static LocalGUI* Create(int32_t port);
  // Destroys a window made by Create on the GUI thread and waits until it is gone. Callable
  // from any thread (the GUI thread's event loop must run when called from elsewhere). The
  // operator's action in progress finishes first; actions still waiting are dropped.
  static void Destroy(LocalGUI* window);

  // --- callable from any thread -----------------------------------------------------------
  // Shows an address's text form "hostname/1.2.3.4"; no address shows "null".
  void ShowIP(const std::optional<std::string>& address);
  void ShowStatus(const std::string& text);
  // Enables the connect button with a gray (128) background, or disables it dark gray (64).
  void EnableConnect(bool enabled);
  // Selects item 0 ("Off") or 1 ("On") in the selector of relay index 0..7.
  void SelectRelay(int32_t relay, int32_t item);
  // Enables or disables the connect button and gives it a gray background of that level.
  void SetConnectButton(bool enabled, int grey);
  // Puts text into the Host/PWD field.
  void SetLocalName(const std::string& text);

  // Waits until every GUI call and operator action queued before this call has been carried
  // out. Used by tests and at shutdown. From a thread other than the GUI thread it needs the GUI
  // thread's event loop to be running; on the GUI thread it runs the window updates that the
  // actions queue while it waits for them.
  void Flush();

  static void SetHeadless(bool on);
  static bool Headless();
  // What closing the window does; by default the process ends at once with status 0.
  static void SetCloseHandler(std::function<void()> handler);

  // --- widgets (GUI thread only) ----------------------------------------------------------
  QLabel* prodlabel = nullptr;
  std::array<QLabel*, 8> LabelR{};
  std::array<QComboBox*, 8> r{};
  QPushButton* bconnect = nullptr;
  QPushButton* bclose = nullptr;
  QLabel* netlabel = nullptr;
  QLabel* namelabel = nullptr;
  QLabel* addresslabel = nullptr;
  QLabel* portlabel = nullptr;
  QLabel* statuslabel = nullptr;
  QLineEdit* localname = nullptr;
  QLineEdit* ipfield = nullptr;
  QLineEdit* portfield = nullptr;
  QLineEdit* statusfield = nullptr;
  static constexpr int32_t h = 24;
  static constexpr int32_t w = 50;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
