// The operator's window. Threads and queues are described in LocalGUI.h; GuiQueue carries
// window updates to the GUI thread, ActionQueue runs the operator's actions on one worker.
#include "gui/LocalGUI.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "device/Device.h"
#include "gui/ActionQueue.h"
#include "gui/GuiQueue.h"
#include "server/LocalCAM.h"
#include "startup/Console.h"
#include "startup/Hex.h"
#include "startup/Vexa.h"

namespace {

using vexanet::gui::ActionQueue;
using vexanet::gui::AssertGuiThread;
using vexanet::gui::GuiQueue;

constexpr int kDarkGrey = 64;  // connect button disabled
constexpr int kGrey = 128;     // connect button enabled by EnableConnect
constexpr int kX0 = 5;         // left margin of every row (the frame's inset is not ours)
constexpr int kTop = 0;        // top of the client area
const char* const kNotReady = "Server not ready";

std::atomic<bool> headless{false};

std::mutex& CloseHandlerLock() {
  static std::mutex m;
  return m;
}
std::function<void()>& CloseHandler() {
  static std::function<void()> handler;
  return handler;
}

// Closing the window ends the process at once, whatever the other threads are doing: no
// destructor runs, so none can race a thread that is still busy.
void ExitNow() {
  std::fflush(stdout);
  std::_Exit(0);
}

// The status field shows about forty characters. A client's line may be 64 KiB long, and laying
// out such a text costs the field megabytes each time; it shows the first kStatusFieldMax
// characters and an ellipsis instead. The console gets the whole text.
constexpr qsizetype kStatusFieldMax = 512;

QString FieldText(const std::string& text) {
  QString shown = QString::fromStdString(text);
  if (shown.size() > kStatusFieldMax) {
    shown.truncate(kStatusFieldMax);
    shown.append(QChar(0x2026));
  }
  return shown;
}

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

struct LocalGUI::Impl {
  explicit Impl(LocalGUI& owner)
      : self(owner), gui(&owner), actions(std::make_unique<ActionQueue>()) {}

  // GUI thread: the connect button's state and background grey.
  void ApplyConnectButton(bool enabled, int grey);
  // GUI thread: the operator's actions, handed to the worker.
  void OnSelector(int relay, int item);
  void OnConnect();
  void OnClose();
  void OnEnter(const QString& entered);
  // Worker: true when start-up has set cam and scam; otherwise shows "Server not ready".
  static bool ServerReady(LocalGUI& window);

  LocalGUI& self;
  GuiQueue gui;
  // One palette per grey level, made once: a palette made anew at every change has a new cache
  // key, and the style would cache a new button image for each session for good.
  std::map<int, QPalette> connectPalettes;
  // Stopped and joined first when the window goes away: its tasks call back into gui.
  std::unique_ptr<ActionQueue> actions;
};

namespace {

// A component is created without a parent and handed to the window when it is added, like the
// window's own steps: create everything, then add and place one by one.
template <typename T>
class Part {
 public:
  template <typename... Args>
  explicit Part(T*& field, Args&&... args)
      : owned_(std::make_unique<T>(std::forward<Args>(args)...)) {
    field = owned_.get();
  }
  T* operator->() const { return owned_.get(); }
  // Adds the component to the window (which then owns it) and places it.
  void AddTo(QWidget* window, const QRect& bounds) {
    owned_->setParent(window);
    owned_->setGeometry(bounds);
    owned_.release();
  }

 private:
  std::unique_ptr<T> owned_;
};

QRect Bounds(int x, int y, int width) {
  return QRect(x, y, width, LocalGUI::h);
}

}  // namespace

LocalGUI::LocalGUI(int32_t port) : impl_(std::make_unique<Impl>(*this)) {
  // A new object belongs to the thread that makes it, so compare with the application's thread.
  AssertGuiThread(QCoreApplication::instance(), "LocalGUI::LocalGUI");
  // The device reference is taken from the main class when the window class is first used.
  Device* none = nullptr;
  cam.compare_exchange_strong(none, Vexa::cam.load());

  // 1. Create the components.
  std::vector<Part<QLabel>> relayLabels;
  relayLabels.reserve(8);
  for (size_t n = 0; n < 8; ++n) relayLabels.emplace_back(LabelR[n], "R" + QString::number(n + 1));
  std::vector<Part<QComboBox>> selectors;
  selectors.reserve(8);
  for (size_t n = 0; n < 8; ++n) selectors.emplace_back(r[n]);
  Part<QPushButton> connectButton(bconnect, "Let Client Connect");
  Part<QPushButton> closeButton(bclose, "Close");
  Part<QLabel> heading(netlabel, "VexaNet Server Network Controls");
  Part<QLabel> nameLabel(namelabel, "Host/PWD");
  Part<QLabel> addressLabel(addresslabel, "IP Address");
  Part<QLabel> portLabel(portlabel, "Socket Port");
  Part<QLabel> statusLabel(statuslabel, "Status/Results");
  Part<QLineEdit> nameField(localname);
  Part<QLineEdit> ipField(ipfield);
  Part<QLineEdit> portField(portfield, "2001");
  Part<QLineEdit> statusField(statusfield);
  Part<QLabel> product(prodlabel, Q(Vexa::prodlabel));

  // 2. The listening port.
  portfield->setText(QString::number(port));

  // 3. Title, font and colours; components inherit them. No layout manager: every component
  // has a fixed place in the client area.
  setWindowTitle(Q(Vexa::prodtitle));
  // The fixed layout counts the font height in pixels (13 px text in 24 px rows); a 13-point
  // font renders about 17 px high at the usual 96 dpi and no longer fits the label columns.
  QFont font(QStringLiteral("Helvetica"));
  font.setPixelSize(Vexa::fontheight);
  setFont(font);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, backcol);
  colours.setColor(QPalette::WindowText, Qt::black);
  colours.setColor(QPalette::Text, Qt::black);
  colours.setColor(QPalette::ButtonText, Qt::black);
  setPalette(colours);
  setAutoFillBackground(true);

  // 4. Positions are in client-area coordinates, so there are no frame insets to read and the
  // window is shown once, complete, in step 12.

  // 5. The selectors' items.
  for (QComboBox* selector : r) {
    selector->addItem(QStringLiteral("Off"));
    selector->addItem(QStringLiteral("On"));
  }

  // 6. Product label and relay labels.
  product.AddTo(this, Bounds(kX0, kTop, 300));
  for (int n = 0; n < 8; ++n) relayLabels[n].AddTo(this, Bounds(kX0 + w * n + 5, kTop + 22, w));

  // 7. Selectors. Only the operator's choice (activated) raises the action; the program's
  // setCurrentIndex does not.
  for (int n = 0; n < 8; ++n) {
    selectors[n].AddTo(this, Bounds(kX0 + w * n, kTop + 46, w));
    connect(r[n], &QComboBox::activated, this,
            [this, n](int index) { impl_->OnSelector(n, index); });
  }

  // 8. Heading, Host/PWD.
  heading.AddTo(this, Bounds(kX0, kTop + 76, 300));
  nameLabel.AddTo(this, Bounds(kX0, kTop + 100, 70));
  localname->setReadOnly(false);
  connect(localname, &QLineEdit::returnPressed, this,
          [this] { impl_->OnEnter(localname->text()); });
  nameField.AddTo(this, Bounds(kX0 + 125, kTop + 100, 230));

  // 9. IP address and port.
  addressLabel.AddTo(this, Bounds(kX0, kTop + 124, 70));
  ipfield->setReadOnly(true);
  ipField.AddTo(this, Bounds(kX0 + 125, kTop + 124, 230));
  portLabel.AddTo(this, Bounds(kX0, kTop + 148, 70));
  portfield->setReadOnly(true);
  portField.AddTo(this, Bounds(kX0 + 125, kTop + 148, 50));

  // 10. The two buttons; "Let Client Connect" starts disabled, dark gray.
  impl_->ApplyConnectButton(false, kDarkGrey);
  connect(bconnect, &QPushButton::clicked, this, [this] { impl_->OnConnect(); });
  connectButton.AddTo(this, Bounds(kX0 + 235, kTop + 148, 120));
  connect(bclose, &QPushButton::clicked, this, [this] { impl_->OnClose(); });
  closeButton.AddTo(this, Bounds(kX0 + 175, kTop + 148, 60));

  // 11. Status.
  statusLabel.AddTo(this, Bounds(kX0, kTop + 177, 100));
  statusfield->setReadOnly(true);
  statusField.AddTo(this, Bounds(kX0 + 100, kTop + 177, 300));

  // 12. Close request (closeEvent), size, show. Whether the window can be resized is left to
  // the window system; the components keep their places either way.
  resize(GUIwidth, kTop + 209);
  show();
}

LocalGUI::~LocalGUI() {
  AssertGuiThread(this, "LocalGUI::~LocalGUI");
  // Let the operator's action in progress finish and drop the others before the widgets go.
  impl_->actions.reset();
}

LocalGUI* LocalGUI::Create(int32_t port) {
  LocalGUI* window = nullptr;
  vexanet::gui::RunOnGuiThreadAndWait(
      [&] { window = std::make_unique<LocalGUI>(port).release(); });  // owned by the caller
  return window;
}

void LocalGUI::Destroy(LocalGUI* window) {
  if (window == nullptr) return;
  std::unique_ptr<LocalGUI> owned(window);
  vexanet::gui::RunOnGuiThreadAndWait([&] { owned.reset(); });
}

// --- calls from any thread -------------------------------------------------------------------

void LocalGUI::ShowIP(const std::optional<std::string>& address) {
  QString text = address ? Q(*address) : QStringLiteral("null");
  impl_->gui.Run([this, text] {
    AssertGuiThread(this, "LocalGUI::ShowIP");
    ipfield->setText(text);
  });
}

void LocalGUI::ShowStatus(const std::string& text) {
  impl_->gui.Run(
      [this, shown = FieldText(text)] {
        AssertGuiThread(this, "LocalGUI::ShowStatus");
        statusfield->setText(shown);
      },
      // Printed when the text takes its place in the order, so the console shows the texts in
      // the order the field does, and at once.
      [&text] {
        if (Headless()) vexanet::ConsoleLine("Status: " + text);
      });
}

void LocalGUI::EnableConnect(bool enabled) {
  SetConnectButton(enabled, enabled ? kGrey : kDarkGrey);
}

void LocalGUI::SelectRelay(int32_t relay, int32_t item) {
  // The driver only ever passes relay 0..7 and item 0 or 1; anything else would leave the
  // selector blank, so it is ignored.
  if (relay < 0 || relay > 7 || item < 0 || item > 1) return;
  impl_->gui.Run([this, relay, item] {
    AssertGuiThread(this, "LocalGUI::SelectRelay");
    r[static_cast<size_t>(relay)]->setCurrentIndex(item);
  });
}

void LocalGUI::SetConnectButton(bool enabled, int grey) {
  impl_->gui.Run([this, enabled, grey] { impl_->ApplyConnectButton(enabled, grey); });
}

void LocalGUI::SetLocalName(const std::string& text) {
  impl_->gui.Run([this, shown = Q(text)] {
    AssertGuiThread(this, "LocalGUI::SetLocalName");
    localname->setText(shown);
  });
}

void LocalGUI::Flush() {
  if (impl_->gui.OnGuiThread()) {
    // Operator actions may queue window updates while we wait for them: run those here. The
    // worker never waits for the GUI thread, so this ends.
    std::future<void> actionsDone = impl_->actions->Mark();
    while (actionsDone.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
      impl_->gui.Drain();
    }
    impl_->gui.Drain();
    return;
  }
  impl_->actions->Wait();
  impl_->gui.Wait();
}

void LocalGUI::SetHeadless(bool on) {
  headless.store(on);
}

bool LocalGUI::Headless() {
  return headless.load();
}

void LocalGUI::SetCloseHandler(std::function<void()> handler) {
  std::lock_guard lock(CloseHandlerLock());
  CloseHandler() = std::move(handler);
}

void LocalGUI::closeEvent(QCloseEvent* event) {
  AssertGuiThread(this, "LocalGUI::closeEvent");
  // The window is never closed other than by ending the process.
  event->ignore();
  std::function<void()> handler;
  {
    std::lock_guard lock(CloseHandlerLock());
    handler = CloseHandler();
  }
  if (handler) {
    handler();
  } else {
    ExitNow();
  }
}

// --- GUI thread ------------------------------------------------------------------------------

void LocalGUI::Impl::ApplyConnectButton(bool enabled, int grey) {
  AssertGuiThread(&self, "LocalGUI::SetConnectButton");
  const int level = std::clamp(grey, 0, 255);
  self.bconnect->setEnabled(enabled);
  auto it = connectPalettes.find(level);
  if (it == connectPalettes.end()) {
    QPalette colours = self.bconnect->palette();
    colours.setColor(QPalette::Button, QColor(level, level, level));
    it = connectPalettes.emplace(level, colours).first;
  }
  self.bconnect->setPalette(it->second);
}

// --- the operator's actions: posted by the GUI thread, run on the worker ------------------------

// Start-up hands the device and then the server core to the window; an action the operator
// takes before that only says so. (The device reaches the core through the main class's
// reference, which start-up sets before the window's.)
bool LocalGUI::Impl::ServerReady(LocalGUI& window) {
  if (cam.load() != nullptr && scam.load() != nullptr) return true;
  window.ShowStatus(kNotReady);
  return false;
}

void LocalGUI::Impl::OnSelector(int relay, int item) {
  actions->Post([window = &self, relay, item] {
    if (!ServerReady(*window)) return;
    cam.load()->set(relay, item);
  });
}

void LocalGUI::Impl::OnConnect() {
  actions->Post([window = &self] {
    if (ServerReady(*window)) scam.load()->CommandB5();
  });
}

void LocalGUI::Impl::OnClose() {
  actions->Post([window = &self] {
    if (ServerReady(*window)) scam.load()->CommandB6();
  });
}

void LocalGUI::Impl::OnEnter(const QString& entered) {
  // The text as it was when Enter was pressed.
  actions->Post([window = &self, text = entered.toStdString()] {
    if (!ServerReady(*window)) return;
    LocalCAM* core = scam.load();
    if (text.size() >= 2 && text[0] == '0' && text[1] == 'x') {
      // A raw command for the board: "0x" and hexadecimal digits, every complete pair a byte.
      const std::string digits = text.substr(2);
      window->ShowStatus("CMD = " + digits);
      const std::vector<uint8_t> bytes = vexanet::hex::S2BS(digits);
      if (!bytes.empty()) core->CommandB0(bytes);
      return;
    }
    // Anything else is a host name to show and the clients' new password.
    core->CommandB4(text);
    Vexa::setPassword(text);
  });
}
