// The operator's window logic. Threads and queues are described in LocalGUI.h; ActionQueue runs
// the operator's actions on one worker, the view carries window updates to its own thread.
#include "gui/LocalGUI.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <utility>
#include <vector>

#include "gui/ActionQueue.h"
#include "gui/OperatorActions.h"
#include "base/Console.h"
#include "gui/StatusEcho.h"
#include "base/Hex.h"

namespace {

const char* const kNotReady = "Server not ready";

}  // namespace

LocalGUI::LocalGUI(Options options)
    : headless_(options.headless),
      onClose_(std::move(options.onClose)),
      actions_(std::make_unique<vexanet::gui::ActionQueue>()) {}

LocalGUI::~LocalGUI() {
  // Let the operator's action in progress finish and drop the others before the view goes.
  actions_.reset();
  if (view_) DestroyWindowView(std::move(view_));
}

LocalGUI* LocalGUI::Create(int32_t port, Options options) {
  std::unique_ptr<LocalGUI> window(new LocalGUI(std::move(options)));
  window->view_ = MakeWindowView(*window, port);
  return window.release();  // owned by the caller
}

void LocalGUI::Destroy(LocalGUI* window) {
  delete window;
}

// --- calls from any thread -------------------------------------------------------------------

void LocalGUI::ShowIP(const std::optional<std::string>& address) {
  if (view_) view_->ShowIP(address ? *address : std::string("null"));
}

void LocalGUI::ShowStatus(const std::string& text) {
  if (view_) {
    view_->ShowStatus(text, Headless());
  } else if (Headless()) {
    vexanet::ConsoleLine(vexanet::gui::StatusEchoLine(text));
  }
}

void LocalGUI::EnableConnect(bool enabled) {
  SetConnectButton(enabled, enabled ? 128 : 64);
}

void LocalGUI::SelectRelay(int32_t relay, int32_t item) {
  // The driver only ever passes relay 0..7 and item 0 or 1; anything else would leave the
  // selector blank, so it is ignored.
  if (relay < 0 || relay > 7 || item < 0 || item > 1) return;
  if (view_) view_->SelectRelay(relay, item);
}

void LocalGUI::SetConnectButton(bool enabled, int grey) {
  if (view_) view_->SetConnectButton(enabled, grey);
}

void LocalGUI::SetLocalName(const std::string& text) {
  if (view_) view_->SetLocalName(text);
}

void LocalGUI::Flush() {
  if (view_ && view_->OnViewThread()) {
    // Operator actions may queue window updates while we wait for them: carry those out here.
    // The worker never waits for the view's thread, so this ends.
    std::future<void> actionsDone = actions_->Mark();
    while (actionsDone.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
      view_->Drain();
    }
    view_->Drain();
    return;
  }
  actions_->Wait();
  if (view_) view_->Wait();
}

void LocalGUI::RequestClose() {
  if (onClose_) {
    onClose_();
    return;
  }
  // Closing the window ends the process at once, whatever the other threads are doing: no
  // destructor runs, so none can race a thread that is still busy.
  std::fflush(stdout);
  std::_Exit(0);
}

// --- the operator's actions: posted from the view's thread, run on the worker ------------------

// Start-up hands the server to the window once the server core and the device exist; an action
// the operator takes before that only says so.
OperatorActions* LocalGUI::ServerReady() {
  if (OperatorActions* server = scam.load()) return server;
  ShowStatus(kNotReady);
  return nullptr;
}

void LocalGUI::OnSelector(int32_t relay, int32_t item) {
  actions_->Post([this, relay, item] {
    if (OperatorActions* server = ServerReady()) server->SwitchRelay(relay, item);
  });
}

void LocalGUI::OnConnect() {
  actions_->Post([this] {
    if (OperatorActions* server = ServerReady()) server->LetClientConnect();
  });
}

void LocalGUI::OnClose() {
  actions_->Post([this] {
    if (OperatorActions* server = ServerReady()) server->CloseConnection();
  });
}

void LocalGUI::OnEnter(const std::string& entered) {
  // The text as it was when Enter was pressed.
  actions_->Post([this, text = entered] {
    OperatorActions* server = ServerReady();
    if (server == nullptr) return;
    if (text.size() >= 2 && text[0] == '0' && text[1] == 'x') {
      // A raw command for the board: "0x" and hexadecimal digits, every complete pair a byte.
      const std::string digits = text.substr(2);
      ShowStatus("CMD = " + digits);
      const std::vector<uint8_t> bytes = vexanet::hex::S2BS(digits);
      if (!bytes.empty()) server->SendCommandBytes(bytes);
      return;
    }
    // Anything else is a host name to show and the clients' new password.
    server->SetHostAndPassword(text);
  });
}
