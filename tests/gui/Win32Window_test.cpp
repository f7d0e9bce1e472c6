// The operator's window with its native Windows view (run under Wine with an X display, or on
// Windows): controls, layout and colours, calls from other threads, the operator's actions on
// the worker thread, Flush and the close request. The test's main thread is the window's thread
// and dispatches the messages itself. A recording stand-in takes the server's place.
#include <gtest/gtest.h>

#include "gui/win32/Win32Window.h"

#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "gui/LocalGUI.h"
#include "gui_test_support.h"
#include "base/Product.h"

namespace {

using guitest::FakeActions;
using guitest::Gate;
using Texts = std::vector<std::string>;

constexpr int32_t kPort = 4711;
constexpr COLORREF kBack = RGB(120, 140, 240);

bool desktop = false;  // set once in main

void Dispatch() {
  MSG msg{};
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

// Keeps the window's thread dispatching until done() holds; false after the limit.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Dispatch();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs fn on a thread of its own while the window's thread keeps dispatching (calls that wait for
// the window's thread need that). A run that never ends is a hang: the test program stops.
void RunOffView(const std::function<void()>& fn) {
  std::atomic<bool> finished{false};
  std::thread t([&] {
    fn();
    finished.store(true);
  });
  if (!PumpUntil([&] { return finished.load(); })) {
    std::fputs("RunOffView: the thread did not finish\n", stderr);
    std::abort();
  }
  t.join();
}

std::string Text(HWND control) {
  wchar_t buffer[1024] = {};
  ::GetWindowTextW(control, buffer, 1024);
  std::string text;
  for (const wchar_t* c = buffer; *c != 0; ++c) {
    text.push_back(*c < 128 ? static_cast<char>(*c) : '?');
  }
  return text;
}

RECT Bounds(HWND control) {
  RECT r{};
  ::GetWindowRect(control, &r);
  ::MapWindowPoints(nullptr, ::GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

int Selected(HWND selector) {
  return static_cast<int>(::SendMessageW(selector, CB_GETCURSEL, 0, 0));
}

// Every text the status field takes from now on, in order (window thread).
LRESULT CALLBACK RecordTexts(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                             DWORD_PTR texts) {
  if (msg == WM_SETTEXT) {
    std::string text;
    for (auto* c = reinterpret_cast<const wchar_t*>(lp); *c != 0; ++c) {
      text.push_back(static_cast<char>(*c));
    }
    reinterpret_cast<Texts*>(texts)->push_back(text);
  }
  return ::DefSubclassProc(hwnd, msg, wp, lp);
}

struct Destroyer {
  void operator()(LocalGUI* window) const { LocalGUI::Destroy(window); }
};
using WindowPtr = std::unique_ptr<LocalGUI, Destroyer>;

Win32Window* ViewOf(const LocalGUI& window) {
  return static_cast<Win32Window*>(window.view());
}

// One window for the tests that do not need a new one: under Wine without a window manager,
// hiding a window waits two seconds for the manager that never answers. Each test has a
// recording server of its own and starts from the window's first state.
class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (desktop) {
      shared.reset(LocalGUI::Create(kPort, {.headless = false, .onClose = [] {
                                               if (onClose) onClose();
                                             }}));
    }
  }
  static void TearDownTestSuite() { shared.reset(); }

  void SetUp() override {
    if (!desktop) GTEST_SKIP() << "no desktop to draw on";
    ASSERT_NE(shared, nullptr);
    window = shared.get();
    view = ViewOf(*window);
    ASSERT_NE(view, nullptr);
    for (int32_t n = 0; n < 8; ++n) window->SelectRelay(n, 0);
    window->EnableConnect(false);
    window->SetLocalName("");
    window->ShowIP(std::string());
    window->ShowStatus("");
    window->scam = &server;
  }
  void TearDown() override {
    if (window != nullptr) {
      window->Flush();  // the actions with this test's server are done
      window->scam = nullptr;
    }
    onClose = nullptr;
  }

  static inline WindowPtr shared;
  // What closing the shared window does in the test that runs (nothing by default).
  static inline std::function<void()> onClose;
  FakeActions server;
  LocalGUI* window = nullptr;
  Win32Window* view = nullptr;
};

// --- controls, texts, places and colours ---------------------------------------------------------

struct Placed {
  std::string name;
  RECT bounds;
  const char* text;  // nullptr: no text to compare
};

void PrintTo(const Placed& p, std::ostream* os) {
  *os << p.name;
}

std::map<std::string, HWND> Controls(const Win32Window& v) {
  std::map<std::string, HWND> all = {
      {"prodlabel", v.prodlabel}, {"netlabel", v.netlabel},         {"namelabel", v.namelabel},
      {"localname", v.localname}, {"addresslabel", v.addresslabel}, {"ipfield", v.ipfield},
      {"portlabel", v.portlabel}, {"portfield", v.portfield},       {"bclose", v.bclose},
      {"bconnect", v.bconnect},   {"statuslabel", v.statuslabel},   {"statusfield", v.statusfield}};
  for (size_t n = 0; n < 8; ++n) {
    all["LabelR" + std::to_string(n + 1)] = v.LabelR[n];
    all["r" + std::to_string(n + 1)] = v.r[n];
  }
  return all;
}

RECT At(int x, int y, int width) {
  return RECT{x, y, x + width, y + 24};
}

std::vector<Placed> Layout() {
  static const char* const relayNames[] = {"R1", "R2", "R3", "R4", "R5", "R6", "R7", "R8"};
  std::vector<Placed> rows = {
      {"prodlabel", At(5, 0, 300), nullptr},
      {"netlabel", At(5, 76, 300), "VexaNet Server Network Controls"},
      {"namelabel", At(5, 100, 70), "Host/PWD"},
      {"localname", At(130, 100, 230), ""},
      {"addresslabel", At(5, 124, 70), "IP Address"},
      {"ipfield", At(130, 124, 230), ""},
      {"portlabel", At(5, 148, 70), "Socket Port"},
      {"portfield", At(130, 148, 50), "4711"},
      {"bclose", At(180, 148, 60), "Close"},
      {"bconnect", At(240, 148, 120), "Let Client Connect"},
      {"statuslabel", At(5, 177, 100), "Status/Results"},
      {"statusfield", At(105, 177, 300), ""},
  };
  for (int n = 0; n < 8; ++n) {
    rows.push_back({"LabelR" + std::to_string(n + 1), At(10 + 50 * n, 22, 50), relayNames[n]});
    rows.push_back({"r" + std::to_string(n + 1), At(5 + 50 * n, 46, 50), nullptr});
  }
  return rows;
}

class WindowLayout : public WindowTest, public ::testing::WithParamInterface<Placed> {};

TEST_P(WindowLayout, ControlHasItsPlaceTextAndFont) {
  const Placed& row = GetParam();
  HWND control = Controls(*view).at(row.name);
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(::GetParent(control), view->window);
  const RECT b = Bounds(control);
  EXPECT_EQ(b.left, row.bounds.left);
  EXPECT_EQ(b.top, row.bounds.top);
  EXPECT_EQ(b.right, row.bounds.right);
  EXPECT_EQ(b.bottom, row.bounds.bottom);  // a closed selector too
  EXPECT_TRUE(::IsWindowVisible(control));
  if (row.text != nullptr) {
    EXPECT_EQ(Text(control), row.text);
  }
  LOGFONTW font{};
  auto handle = reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0));
  ASSERT_NE(handle, nullptr);
  ASSERT_NE(::GetObjectW(handle, sizeof font, &font), 0);
  EXPECT_EQ(std::wstring(font.lfFaceName), L"Helvetica");
  EXPECT_EQ(font.lfHeight, -13);
  EXPECT_EQ(font.lfWeight, FW_NORMAL);
}

INSTANTIATE_TEST_SUITE_P(Window, WindowLayout, ::testing::ValuesIn(Layout()),
                         [](const auto& info) { return info.param.name; });

// Measured from the outer corner, frame included, the window is 420 wide and T + 209 high (T:
// the frame's top inset), and the rows placed below the frame's top fit inside.
TEST_F(WindowTest, WindowSizeAndTitle) {
  EXPECT_TRUE(::IsWindowVisible(view->window));
  RECT outer{};
  ::GetWindowRect(view->window, &outer);
  POINT clientTop{0, 0};
  ::ClientToScreen(view->window, &clientTop);
  const int frameTop = clientTop.y - outer.top;
  EXPECT_EQ(outer.right - outer.left, 420);
  EXPECT_EQ(outer.bottom - outer.top, frameTop + 209);
  RECT client{};
  ::GetClientRect(view->window, &client);
  for (const auto& [name, control] : Controls(*view)) {
    EXPECT_LE(Bounds(control).bottom, client.bottom) << name;
  }
  EXPECT_EQ(Text(view->window), std::string(vexanet::product::kTitle));
  EXPECT_EQ(Text(view->prodlabel), std::string(vexanet::product::kLabel));
}

// Every control asks the window for its colours: the background brush and black text. Only
// "Let Client Connect" has a grey of its own.
TEST_F(WindowTest, ControlsTakeTheWindowColoursExceptTheConnectButtonsGrey) {
  HDC dc = ::CreateCompatibleDC(nullptr);
  for (UINT message : {WM_CTLCOLORSTATIC, WM_CTLCOLOREDIT, WM_CTLCOLORLISTBOX, WM_CTLCOLORBTN}) {
    ::SetTextColor(dc, RGB(1, 2, 3));
    auto brush = reinterpret_cast<HBRUSH>(::SendMessageW(
        view->window, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(view->ipfield)));
    LOGBRUSH colour{};
    ASSERT_NE(::GetObjectW(brush, sizeof colour, &colour), 0) << message;
    EXPECT_EQ(colour.lbColor, kBack) << message;
    EXPECT_EQ(::GetTextColor(dc), RGB(0, 0, 0)) << message;
    EXPECT_EQ(::GetBkColor(dc), kBack) << message;
  }
  ::DeleteDC(dc);
  window->SetConnectButton(true, 192);
  EXPECT_EQ(view->connectGrey(), 192);
}

// The controls are made in the window's order, which is also the order Tab visits them.
TEST_F(WindowTest, ControlsAreMadeInOrder) {
  std::vector<HWND> expected = {view->prodlabel};
  for (HWND l : view->LabelR) expected.push_back(l);
  for (HWND c : view->r) expected.push_back(c);
  for (HWND c : {view->netlabel, view->namelabel, view->localname, view->addresslabel,
                 view->ipfield, view->portlabel, view->portfield, view->bconnect, view->bclose,
                 view->statuslabel, view->statusfield}) {
    expected.push_back(c);
  }
  std::vector<HWND> actual;
  for (HWND c = ::GetWindow(view->window, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT)) {
    actual.push_back(c);
  }
  EXPECT_EQ(actual, expected);
}

// --- indicators, called on the window's thread: they take effect at once --------------------------

TEST_F(WindowTest, IndicatorsTakeEffectAtOnceWithoutOperatorAction) {
  window->ShowIP(std::nullopt);
  EXPECT_EQ(Text(view->ipfield), "null");
  window->ShowIP("relayhost/192.168.1.20");
  EXPECT_EQ(Text(view->ipfield), "relayhost/192.168.1.20");
  window->ShowStatus("Stat00010000");
  EXPECT_EQ(Text(view->statusfield), "Stat00010000");
  window->EnableConnect(true);
  EXPECT_TRUE(::IsWindowEnabled(view->bconnect));
  EXPECT_EQ(view->connectGrey(), 128);
  window->EnableConnect(false);
  EXPECT_FALSE(::IsWindowEnabled(view->bconnect));
  EXPECT_EQ(view->connectGrey(), 64);
  window->SetLocalName("QWK");
  EXPECT_EQ(Text(view->localname), "QWK");
  window->SelectRelay(7, 1);
  EXPECT_EQ(Selected(view->r[7]), 1);
  window->SelectRelay(8, 1);
  window->SelectRelay(2, 2);
  window->SelectRelay(2, -1);
  EXPECT_EQ(Selected(view->r[2]), 0);
  window->Flush();
  EXPECT_TRUE(server.Calls().empty());
}

// The status field shows the first 512 characters of a long text and an ellipsis.
TEST_F(WindowTest, StatusFieldShowsTheStartOfALongText) {
  window->ShowStatus(std::string(70000, 'x') + "end");
  wchar_t shown[1024] = {};
  ::GetWindowTextW(view->statusfield, shown, 1024);
  EXPECT_EQ(std::wstring(shown), std::wstring(512, L'x') + L"\x2026");
}

// --- calls from other threads -------------------------------------------------------------------

// Two threads move their own selector and show numbered texts. Every call takes effect on the
// window's thread, each thread's calls in the order it made them, and none raises the operator's
// action.
TEST_F(WindowTest, CallsFromOtherThreadsTakeEffectInOrderWithoutOperatorActions) {
  constexpr int kCalls = 200;
  Texts texts;
  ::SetWindowSubclass(view->statusfield, RecordTexts, 1, reinterpret_cast<DWORD_PTR>(&texts));
  RunOffView([&] {
    auto work = [&](int relay, char tag) {
      for (int i = 0; i < kCalls; ++i) {
        window->SelectRelay(relay, (i + 1) % 2);
        window->ShowStatus(tag + std::to_string(i));
      }
    };
    std::thread a(work, 2, 'A');
    std::thread b(work, 5, 'B');
    a.join();
    b.join();
    window->Flush();
  });
  ::RemoveWindowSubclass(view->statusfield, RecordTexts, 1);
  // A call still waiting for the same selector or field is replaced by the newer one: what is
  // shown keeps the order of the calls and ends on the last one.
  std::map<char, int> next{{'A', 0}, {'B', 0}};
  for (const std::string& t : texts) {
    ASSERT_FALSE(t.empty());
    const int n = std::stoi(t.substr(1));
    EXPECT_GE(n, next[t[0]]) << "out of order: " << t;
    next[t[0]] = n + 1;
  }
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(std::stoi(texts.back().substr(1)), kCalls - 1) << "the last text is shown";
  EXPECT_EQ(Selected(view->r[2]), kCalls % 2);
  EXPECT_EQ(Selected(view->r[5]), kCalls % 2);
  EXPECT_TRUE(server.Calls().empty());
}

// A call queued by another thread before a call made on the window's thread is shown first,
// though the window's thread has dispatched nothing in between; a status text still waiting is
// replaced by the newer one.
TEST_F(WindowTest, ViewThreadCallRunsAfterEarlierQueuedCalls) {
  Texts texts;
  ::SetWindowSubclass(view->statusfield, RecordTexts, 1, reinterpret_cast<DWORD_PTR>(&texts));
  std::thread other([&] {
    window->ShowStatus("from the start-up thread");
    window->SelectRelay(3, 1);
  });
  other.join();
  EXPECT_EQ(Selected(view->r[3]), 0) << "still waiting";
  window->ShowStatus("from the window's thread");
  ::RemoveWindowSubclass(view->statusfield, RecordTexts, 1);
  EXPECT_EQ(texts, (Texts{"from the window's thread"}));
  EXPECT_EQ(Selected(view->r[3]), 1);
}

// A window made from another thread is made on the loop's thread, and starts as created.
TEST(WindowCreate, FromAnotherThreadOnTheLoopThreadAsCreated) {
  if (!desktop) GTEST_SKIP() << "no desktop to draw on";
  LocalGUI* made = nullptr;
  RunOffView([&] { made = LocalGUI::Create(3005); });
  ASSERT_NE(made, nullptr);
  Win32Window* v = ViewOf(*made);
  ASSERT_NE(v, nullptr);
  EXPECT_TRUE(v->OnViewThread());
  EXPECT_EQ(::GetWindowThreadProcessId(v->window, nullptr), ::GetCurrentThreadId());
  EXPECT_EQ(Text(v->portfield), "3005");
  auto readOnly = [](HWND field) { return (::GetWindowLongW(field, GWL_STYLE) & ES_READONLY) != 0; };
  EXPECT_FALSE(readOnly(v->localname));
  EXPECT_TRUE(readOnly(v->ipfield));
  EXPECT_TRUE(readOnly(v->portfield));
  EXPECT_TRUE(readOnly(v->statusfield));
  for (HWND selector : v->r) {
    ASSERT_EQ(::SendMessageW(selector, CB_GETCOUNT, 0, 0), 2);
    wchar_t item[8] = {};
    ::SendMessageW(selector, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(item));
    EXPECT_EQ(std::wstring(item), L"Off");
    ::SendMessageW(selector, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(item));
    EXPECT_EQ(std::wstring(item), L"On");
    EXPECT_EQ(Selected(selector), 0);
  }
  EXPECT_FALSE(::IsWindowEnabled(v->bconnect));
  EXPECT_EQ(v->connectGrey(), 64);
  EXPECT_TRUE(::IsWindowEnabled(v->bclose));
  RunOffView([&] { LocalGUI::Destroy(made); });
}

// --- the operator's actions ----------------------------------------------------------------------

// The arrow key in a closed selector is the operator's choice: once per change, on the worker.
TEST_F(WindowTest, KeyInSelectorSwitchesTheRelayOnTheWorker) {
  ::SendMessageW(view->r[3], WM_KEYDOWN, VK_DOWN, 0);
  ::SendMessageW(view->r[3], WM_KEYDOWN, VK_DOWN, 0);  // already "On": no second action
  window->Flush();
  ASSERT_EQ(server.Actions(), (Texts{"SwitchRelay(3, 1)"}));
  EXPECT_NE(server.Calls()[0].thread, std::this_thread::get_id());
  EXPECT_EQ(Selected(view->r[3]), 1);
}

// In the dropped list a choice counts when made (also the same item again); a list closed
// without a choice shows the relay's item again.
TEST_F(WindowTest, DroppedListChoiceCountsAndCancelRestores) {
  HWND selector = view->r[6];
  const WPARAM id = static_cast<WPARAM>(::GetDlgCtrlID(selector));
  ::SendMessageW(selector, CB_SHOWDROPDOWN, TRUE, 0);
  ::SendMessageW(selector, CB_SETCURSEL, 1, 0);
  ::SendMessageW(view->window, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(selector));  // following the keys: no action
  ::SendMessageW(view->window, WM_COMMAND, MAKEWPARAM(id, CBN_SELENDCANCEL),
                 reinterpret_cast<LPARAM>(selector));
  EXPECT_EQ(Selected(selector), 0);
  ::SendMessageW(view->window, WM_COMMAND, MAKEWPARAM(id, CBN_SELENDOK),
                 reinterpret_cast<LPARAM>(selector));  // "Off" chosen again
  ::SendMessageW(selector, CB_SHOWDROPDOWN, FALSE, 0);
  window->Flush();
  EXPECT_EQ(server.Actions(), (Texts{"SwitchRelay(6, 0)"}));
}

TEST_F(WindowTest, EnterInHostPwdSendsAHexCommandOrSetsThePassword) {
  ::SetWindowTextW(view->localname, L"0x0F");
  ::SendMessageW(view->localname, WM_KEYDOWN, VK_RETURN, 0);
  window->Flush();
  EXPECT_EQ(Text(view->statusfield), "CMD = 0F");
  ::SetWindowTextW(view->localname, L"secret");
  ::SendMessageW(view->localname, WM_KEYDOWN, VK_RETURN, 0);
  window->Flush();
  EXPECT_EQ(server.Actions(), (Texts{"SendCommandBytes{0F}", "SetHostAndPassword(secret)"}));
  EXPECT_EQ(::SendMessageW(view->localname, WM_GETDLGCODE, VK_RETURN, 0) & DLGC_WANTALLKEYS,
            DLGC_WANTALLKEYS);
}

TEST_F(WindowTest, ButtonsReachTheServerOnlyWhenEnabled) {
  ::SendMessageW(view->bconnect, BM_CLICK, 0, 0);  // disabled
  ::SendMessageW(view->bclose, BM_CLICK, 0, 0);
  window->EnableConnect(true);
  ::SendMessageW(view->bconnect, BM_CLICK, 0, 0);
  window->Flush();
  EXPECT_EQ(server.Actions(), (Texts{"CloseConnection", "LetClientConnect"}));
}

// The operator's actions wait on the serial line: the window's thread never runs them.
TEST_F(WindowTest, ActionsNeverHoldTheWindowsThread) {
  Gate release;
  server.before = [&](const std::string&) { release.WaitOpen(); };
  ::SendMessageW(view->bclose, BM_CLICK, 0, 0);
  window->ShowStatus("still answering");  // the click returned; the action waits on the worker
  EXPECT_EQ(Text(view->statusfield), "still answering");
  release.Open();
  window->Flush();
  EXPECT_EQ(server.Actions(), (Texts{"CloseConnection"}));
}

TEST_F(WindowTest, CloseRequestGoesToTheCloseHandler) {
  int closes = 0;
  onClose = [&] { ++closes; };
  ::SendMessageW(view->window, WM_CLOSE, 0, 0);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(::IsWindow(view->window));  // closed only by ending the process
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  desktop = vexanet::gui::win32::StartLoopThread();
  return RUN_ALL_TESTS();
}
