// The operator's window with its Qt view, offscreen: components, layout and colours, calls from
// other threads, the operator's actions on the worker thread, headless status lines, Flush and
// the close request. A recording stand-in takes the server's place.
#include <gtest/gtest.h>

#include <QColor>
#include <QComboBox>
#include <QCoreApplication>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <array>
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
#include "gui/qt/QtWindow.h"
#include "gui_test_support.h"
#include "base/Product.h"

namespace {

using guitest::FakeActions;
using guitest::ClosingFails;
using guitest::Gate;
using Texts = std::vector<std::string>;

constexpr int32_t kPort = 4711;
const QColor kBack(120, 140, 240);
const QColor kBlack(Qt::black);

// Keeps the GUI thread's event loop going until done() holds; false after the limit.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs fn on a thread of its own while the GUI thread keeps serving events (calls that wait for
// the GUI thread need that). A run that never ends is a hang: the test program stops.
void RunOffGui(const std::function<void()>& fn) {
  std::atomic<bool> finished{false};
  std::thread t([&] {
    fn();
    finished.store(true);
  });
  if (!PumpUntil([&] { return finished.load(); })) {
    std::fputs("RunOffGui: the thread did not finish\n", stderr);
    std::abort();
  }
  t.join();
}

struct Destroyer {
  void operator()(LocalGUI* window) const { LocalGUI::Destroy(window); }
};
using WindowPtr = std::unique_ptr<LocalGUI, Destroyer>;

QtWindow* ViewOf(const LocalGUI& window) {
  return static_cast<QtWindow*>(window.view());
}

// Every text the status field takes from now on, in order (GUI thread).
void RecordStatusTexts(QtWindow* view, Texts& texts) {
  QObject::connect(view->statusfield, &QLineEdit::textChanged, view,
                   [&texts](const QString& t) { texts.push_back(t.toStdString()); });
}

// The operator types text into Host/PWD and presses Enter.
void Enter(QtWindow& v, const char* text) {
  v.localname->setText(text);
  QTest::keyClick(v.localname, Qt::Key_Return);
}

// A window with a ready server: the recording stand-in.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window.reset(LocalGUI::Create(kPort, ClosingFails()));
    ASSERT_NE(window, nullptr);
    window->scam = &server;
    view = ViewOf(*window);
    ASSERT_NE(view, nullptr);
  }
  void TearDown() override { window.reset(); }

  FakeActions server;  // outlives the window and its worker
  WindowPtr window;
  QtWindow* view = nullptr;
};

QColor ConnectGrey(const QtWindow& v) {
  return v.bconnect->palette().color(QPalette::Button);
}

// --- components, texts, places and colours ------------------------------------------------------

struct Placed {
  std::string name;
  QRect bounds;
  const char* text;  // nullptr: no text to compare
};

void PrintTo(const Placed& p, std::ostream* os) {
  *os << p.name;
}

std::map<std::string, QWidget*> Components(const QtWindow& v) {
  std::map<std::string, QWidget*> all = {
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

std::string TextOf(QWidget* w) {
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text().toStdString();
  if (auto* field = qobject_cast<QLineEdit*>(w)) return field->text().toStdString();
  if (auto* button = qobject_cast<QPushButton*>(w)) return button->text().toStdString();
  return {};
}

std::vector<Placed> Layout() {
  static const std::array<const char*, 8> relayNames = {"R1", "R2", "R3", "R4",
                                                        "R5", "R6", "R7", "R8"};
  std::vector<Placed> rows = {
      {"prodlabel", QRect(5, 0, 300, 24), nullptr},
      {"netlabel", QRect(5, 76, 300, 24), "VexaNet Server Network Controls"},
      {"namelabel", QRect(5, 100, 70, 24), "Host/PWD"},
      {"localname", QRect(130, 100, 230, 24), ""},
      {"addresslabel", QRect(5, 124, 70, 24), "IP Address"},
      {"ipfield", QRect(130, 124, 230, 24), ""},
      {"portlabel", QRect(5, 148, 70, 24), "Socket Port"},
      {"portfield", QRect(130, 148, 50, 24), "4711"},
      {"bclose", QRect(180, 148, 60, 24), "Close"},
      {"bconnect", QRect(240, 148, 120, 24), "Let Client Connect"},
      {"statuslabel", QRect(5, 177, 100, 24), "Status/Results"},
      {"statusfield", QRect(105, 177, 300, 24), ""},
  };
  for (int n = 0; n < 8; ++n) {
    rows.push_back(
        {"LabelR" + std::to_string(n + 1), QRect(10 + 50 * n, 22, 50, 24), relayNames[n]});
    rows.push_back({"r" + std::to_string(n + 1), QRect(5 + 50 * n, 46, 50, 24), nullptr});
  }
  return rows;
}

class WindowLayout : public WindowTest, public ::testing::WithParamInterface<Placed> {};

TEST_P(WindowLayout, ComponentHasItsPlaceAndText) {
  const Placed& row = GetParam();
  QWidget* w = Components(*view).at(row.name);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->parentWidget(), view);
  EXPECT_EQ(w->geometry(), row.bounds);
  EXPECT_TRUE(w->isVisible());
  if (row.text != nullptr) {
    EXPECT_EQ(TextOf(w), row.text);
  }
}

INSTANTIATE_TEST_SUITE_P(Window, WindowLayout, ::testing::ValuesIn(Layout()),
                         [](const auto& info) { return info.param.name; });

// Measured from the outer corner, frame included, the window is 420 wide and T + 209 high (T:
// the frame's top inset), and the rows placed below the frame's top all fit inside.
TEST_F(WindowTest, WindowSizeTitleAndFont) {
  EXPECT_TRUE(view->isVisible());
  const int frameTop = view->geometry().top() - view->frameGeometry().top();
  EXPECT_EQ(view->frameGeometry().size(), QSize(420, frameTop + 209));
  for (const auto& [name, w] : Components(*view)) {
    EXPECT_TRUE(view->rect().contains(w->geometry())) << name;
  }
  EXPECT_EQ(view->windowTitle().toStdString(), std::string(vexanet::product::kTitle));
  EXPECT_EQ(view->prodlabel->text().toStdString(), std::string(vexanet::product::kLabel));
  EXPECT_EQ(view->font().family(), QStringLiteral("Helvetica"));
  EXPECT_EQ(view->font().pixelSize(), 13);
  EXPECT_EQ(view->statusfield->font().pixelSize(), 13);  // inherited
  EXPECT_TRUE(view->autoFillBackground());
}

// The window's background and black foreground reach every component: labels (Window), text
// fields (Base), selectors and "Close" (Button). Only "Let Client Connect" has a background of
// its own; its text is black like the rest.
TEST_F(WindowTest, ComponentsInheritTheWindowColoursExceptTheConnectButtonsGrey) {
  EXPECT_EQ(view->palette().color(QPalette::Window), kBack);
  for (const auto& [name, w] : Components(*view)) {
    SCOPED_TRACE(name);
    const QPalette colours = w->palette();
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
      EXPECT_EQ(colours.color(role), kBlack) << "role " << role;
    }
    EXPECT_EQ(colours.color(QPalette::Window), kBack);
    EXPECT_EQ(colours.color(QPalette::Base), kBack);
    if (w != view->bconnect) {
      EXPECT_EQ(colours.color(QPalette::Button), kBack);
    }
  }
  EXPECT_EQ(ConnectGrey(*view), QColor(64, 64, 64));
  // A later grey changes that one button only.
  window->SetConnectButton(true, 192);
  EXPECT_EQ(ConnectGrey(*view), QColor(192, 192, 192));
  EXPECT_EQ(view->bclose->palette().color(QPalette::Button), kBack);
  EXPECT_EQ(view->r[0]->palette().color(QPalette::Button), kBack);
}

TEST_F(WindowTest, FieldsSelectorsAndConnectButtonStartAsCreated) {
  EXPECT_FALSE(view->localname->isReadOnly());
  EXPECT_TRUE(view->ipfield->isReadOnly());
  EXPECT_TRUE(view->portfield->isReadOnly());
  EXPECT_TRUE(view->statusfield->isReadOnly());
  for (QComboBox* selector : view->r) {
    ASSERT_EQ(selector->count(), 2);
    EXPECT_EQ(selector->itemText(0), QStringLiteral("Off"));
    EXPECT_EQ(selector->itemText(1), QStringLiteral("On"));
    EXPECT_EQ(selector->currentIndex(), 0);
  }
  EXPECT_FALSE(view->bconnect->isEnabled());
  EXPECT_TRUE(view->bclose->isEnabled());
}

// The components join the window in the order it adds them (which is also the keyboard order).
TEST_F(WindowTest, ComponentsAreAddedInOrder) {
  std::vector<QWidget*> expected = {view->prodlabel};
  for (QLabel* l : view->LabelR) expected.push_back(l);
  for (QComboBox* c : view->r) expected.push_back(c);
  for (QWidget* w : std::initializer_list<QWidget*>{
           view->netlabel, view->namelabel, view->localname, view->addresslabel, view->ipfield,
           view->portlabel, view->portfield, view->bconnect, view->bclose, view->statuslabel,
           view->statusfield}) {
    expected.push_back(w);
  }
  std::vector<QWidget*> actual;
  for (QObject* child : view->children()) {
    if (auto* w = qobject_cast<QWidget*>(child)) actual.push_back(w);
  }
  EXPECT_EQ(actual, expected);
}

// --- indicators, called on the GUI thread: they take effect at once ----------------------------

struct Indicator {
  std::string name;
  void (*call)(LocalGUI&);
  bool (*check)(const QtWindow&);
};

void PrintTo(const Indicator& i, std::ostream* os) {
  *os << i.name;
}

class WindowIndicator : public WindowTest, public ::testing::WithParamInterface<Indicator> {};

TEST_P(WindowIndicator, TakesEffectAtOnceOnTheGuiThreadWithoutOperatorAction) {
  GetParam().call(*window);
  EXPECT_TRUE(GetParam().check(*view));
  window->Flush();
  EXPECT_TRUE(server.Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Window, WindowIndicator,
    ::testing::Values(
        Indicator{"ShowIPAbsent", [](LocalGUI& w) { w.ShowIP(std::nullopt); },
                  [](const QtWindow& v) { return v.ipfield->text() == "null"; }},
        Indicator{"ShowIPAddress", [](LocalGUI& w) { w.ShowIP("relayhost/192.168.1.20"); },
                  [](const QtWindow& v) { return v.ipfield->text() == "relayhost/192.168.1.20"; }},
        Indicator{"ShowStatus", [](LocalGUI& w) { w.ShowStatus("Stat00010000"); },
                  [](const QtWindow& v) { return v.statusfield->text() == "Stat00010000"; }},
        Indicator{"EnableConnectTrue", [](LocalGUI& w) { w.EnableConnect(true); },
                  [](const QtWindow& v) {
                    return v.bconnect->isEnabled() && ConnectGrey(v) == QColor(128, 128, 128);
                  }},
        Indicator{"EnableConnectFalse",
                  [](LocalGUI& w) {
                    w.EnableConnect(true);
                    w.EnableConnect(false);
                  },
                  [](const QtWindow& v) {
                    return !v.bconnect->isEnabled() && ConnectGrey(v) == QColor(64, 64, 64);
                  }},
        Indicator{"ConnectButtonLightGrey", [](LocalGUI& w) { w.SetConnectButton(true, 192); },
                  [](const QtWindow& v) {
                    return v.bconnect->isEnabled() && ConnectGrey(v) == QColor(192, 192, 192);
                  }},
        Indicator{"SetLocalName", [](LocalGUI& w) { w.SetLocalName("QWK"); },
                  [](const QtWindow& v) { return v.localname->text() == "QWK"; }},
        Indicator{"SelectRelayOn", [](LocalGUI& w) { w.SelectRelay(7, 1); },
                  [](const QtWindow& v) { return v.r[7]->currentIndex() == 1; }},
        Indicator{"SelectRelayOutOfRangeIgnored",
                  [](LocalGUI& w) {
                    w.SelectRelay(8, 1);
                    w.SelectRelay(-1, 1);
                    w.SelectRelay(2, 2);
                    w.SelectRelay(2, -1);
                  },
                  [](const QtWindow& v) {
                    for (QComboBox* c : v.r) {
                      if (c->currentIndex() != 0) return false;
                    }
                    return true;
                  }}),
    [](const auto& info) { return info.param.name; });

// --- calls from other threads -------------------------------------------------------------------

// Two threads move their own selector back and forth and show numbered texts. Every call takes
// effect on the GUI thread, each thread's calls in the order it made them, and none of them
// raises the operator's action.
TEST_F(WindowTest, CallsFromOtherThreadsTakeEffectInOrderWithoutOperatorActions) {
  constexpr int kCalls = 201;  // odd: every selector ends on "On", away from where it started
  std::map<int, std::vector<int>> seen;  // relay -> indices shown, GUI thread only
  Texts texts;
  for (int relay : {2, 5}) {
    QObject::connect(view->r[relay], &QComboBox::currentIndexChanged, view,
                     [&seen, relay](int index) {
                       EXPECT_EQ(QThread::currentThread(), qApp->thread());
                       seen[relay].push_back(index);
                     });
  }
  RecordStatusTexts(view, texts);

  RunOffGui([&] {
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

  // A call still waiting for the same selector or field is replaced by the newer one: what is
  // shown keeps the order of the calls and ends on the last one.
  for (int relay : {2, 5}) {
    ASSERT_FALSE(seen[relay].empty()) << "relay " << relay;
    EXPECT_EQ(seen[relay].back(), kCalls % 2) << "relay " << relay;
    EXPECT_EQ(view->r[relay]->currentIndex(), kCalls % 2) << "relay " << relay;
  }
  std::map<char, int> next{{'A', 0}, {'B', 0}};
  for (const std::string& t : texts) {
    ASSERT_FALSE(t.empty());
    const int n = std::stoi(t.substr(1));
    EXPECT_GE(n, next[t[0]]) << "out of order: " << t;
    next[t[0]] = n + 1;
  }
  EXPECT_TRUE(next['A'] == kCalls || next['B'] == kCalls) << "the last text is shown";
  EXPECT_EQ(view->statusfield->text().mid(1).toInt(), kCalls - 1);
  EXPECT_TRUE(server.Calls().empty());
}

// A call queued by another thread before a call made on the GUI thread is shown first, even
// though the GUI thread has not served its events in between; a status text still waiting is
// replaced by the newer one.
TEST_F(WindowTest, GuiThreadCallRunsAfterEarlierQueuedCalls) {
  Texts texts;
  RecordStatusTexts(view, texts);
  std::vector<std::string> order;
  QObject::connect(view->r[3], &QComboBox::currentIndexChanged, view,
                   [&order](int) { order.push_back("relay"); });
  QObject::connect(view->statusfield, &QLineEdit::textChanged, view,
                   [&order](const QString&) { order.push_back("status"); });
  std::thread other([&] {
    window->ShowStatus("from the start-up thread");
    window->SelectRelay(3, 1);
  });
  other.join();  // queued, not yet run: the GUI thread serves no events here
  window->ShowStatus("from the GUI thread");
  EXPECT_EQ(texts, (Texts{"from the GUI thread"}));
  EXPECT_EQ(order, (std::vector<std::string>{"status", "relay"})) << "the status kept its place";
  EXPECT_EQ(view->r[3]->currentIndex(), 1);
}

TEST(WindowCreate, FromAnotherThreadBuildsTheViewOnTheGuiThread) {
  LocalGUI* made = nullptr;
  RunOffGui([&] { made = LocalGUI::Create(3005, ClosingFails()); });
  ASSERT_NE(made, nullptr);
  QtWindow* v = ViewOf(*made);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->thread(), qApp->thread());
  EXPECT_EQ(v->portfield->text(), QStringLiteral("3005"));
  EXPECT_TRUE(v->isVisible());
  RunOffGui([&] { LocalGUI::Destroy(made); });
}

// Start-up hands the server to the window after creating it: an action uses the server that is
// there when the action runs.
TEST(WindowCreate, UsesTheServerHandedOverAfterCreation) {
  FakeActions server;
  WindowPtr made(LocalGUI::Create(3001, ClosingFails()));
  made->scam = &server;
  QTest::mouseClick(ViewOf(*made)->bclose, Qt::LeftButton);
  made->Flush();
  EXPECT_EQ(server.Actions(), (Texts{"CloseConnection"}));
  made.reset();
}

// --- the operator's actions ------------------------------------------------------------------

// The operator's choice reaches the server on the worker thread, in order: the first call waits
// until the GUI thread has returned from the key press, which it could not if it ran there.
TEST_F(WindowTest, OperatorChoiceRunsOnTheWorkerInOrder) {
  Gate keyHandled;
  std::atomic<bool> waitedInTime{true};
  server.before = [&](const std::string&) {
    if (!keyHandled.WaitOpen()) waitedInTime = false;
  };
  QTest::keyClick(view->r[3], Qt::Key_Down);  // "Off" -> "On"
  keyHandled.Open();
  QTest::keyClick(view->r[3], Qt::Key_Up);    // "On" -> "Off"
  QTest::keyClick(view->r[0], Qt::Key_Down);  // relay 1 "On"
  window->Flush();

  EXPECT_TRUE(waitedInTime.load());
  EXPECT_EQ(server.Actions(),
            (Texts{"SwitchRelay(3, 1)", "SwitchRelay(3, 0)", "SwitchRelay(0, 1)"}));
  const auto calls = server.Calls();
  for (const auto& call : calls) {
    EXPECT_NE(call.thread, std::this_thread::get_id()) << call.action;
    EXPECT_EQ(call.thread, calls[0].thread) << "one worker thread";
  }
}

// "Let Client Connect" only while enabled, and "Close", each on the worker in order.
TEST_F(WindowTest, ButtonsLetAClientConnectAndCloseTheConnection) {
  QTest::mouseClick(view->bconnect, Qt::LeftButton);  // still disabled: nothing
  window->EnableConnect(true);
  QTest::mouseClick(view->bconnect, Qt::LeftButton);
  QTest::mouseClick(view->bclose, Qt::LeftButton);
  window->Flush();
  EXPECT_EQ(server.Actions(), (Texts{"LetClientConnect", "CloseConnection"}));
  for (const auto& call : server.Calls()) EXPECT_NE(call.thread, std::this_thread::get_id());
}

// Enter in Host/PWD: "0x" and hexadecimal digits is a raw command, anything else a host name and
// password. Flush on the GUI thread also carries out the status text the worker shows.
struct Entry {
  std::string name;
  const char* text;
  Texts statusTexts;
  Texts actions;
};

void PrintTo(const Entry& e, std::ostream* os) {
  *os << e.name;
}

class WindowEnter : public WindowTest, public ::testing::WithParamInterface<Entry> {};

TEST_P(WindowEnter, ReachesTheServer) {
  const Entry& e = GetParam();
  Texts texts;
  RecordStatusTexts(view, texts);
  Enter(*view, e.text);
  window->Flush();
  EXPECT_EQ(texts, e.statusTexts);
  EXPECT_EQ(server.Actions(), e.actions);
  for (const auto& call : server.Calls()) EXPECT_NE(call.thread, std::this_thread::get_id());
}

INSTANTIATE_TEST_SUITE_P(
    Window, WindowEnter,
    ::testing::Values(Entry{"HexTwoBytes", "0x0F0A", {"CMD = 0F0A"}, {"SendCommandBytes{0F 0A}"}},
                      Entry{"HexOneByte", "0x0F", {"CMD = 0F"}, {"SendCommandBytes{0F}"}},
                      Entry{"HexPrefixAloneSendsNothing", "0x", {"CMD = "}, {}},
                      Entry{"UpperCaseXIsAPassword", "0X0F", {}, {"SetHostAndPassword(0X0F)"}},
                      Entry{"Password", "secret", {}, {"SetHostAndPassword(secret)"}},
                      Entry{"HostName", "relayhost", {}, {"SetHostAndPassword(relayhost)"}}),
    [](const auto& info) { return info.param.name; });

// Flush from another thread returns only after the operator's actions and the window calls
// queued before it have been carried out; for the calls it needs the GUI thread's event loop.
TEST_F(WindowTest, FlushFromAnotherThreadWaitsForQueuedActionsAndCalls) {
  server.before = [](const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  };
  QTest::keyClick(view->r[6], Qt::Key_Down);
  QTest::keyClick(view->r[6], Qt::Key_Up);
  std::atomic<bool> flushed{false};
  bool shownAfterFlush = false;  // GUI thread only
  QObject::connect(view->statusfield, &QLineEdit::textChanged, view,
                   [&](const QString&) { shownAfterFlush = flushed.load(); });
  size_t actionsAfterFlush = 0;
  std::thread other([&] {
    window->ShowStatus("before Flush");
    window->Flush();
    actionsAfterFlush = server.Calls().size();
    flushed = true;
  });
  // The GUI thread serves no events for a while: the text cannot have been shown yet, so Flush
  // must still be waiting.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(flushed.load());
  ASSERT_TRUE(PumpUntil([&] { return flushed.load(); }));
  other.join();
  EXPECT_EQ(actionsAfterFlush, 2u);
  EXPECT_EQ(view->statusfield->text(), QStringLiteral("before Flush"));
  EXPECT_FALSE(shownAfterFlush);
}

// Before start-up has handed the server to the window, every action only says so: one status
// text, nothing for the server (the window here was made while the server was there, so a window
// that kept the server from its creation would fail).
struct EarlyAction {
  std::string name;
  void (*act)(LocalGUI&, QtWindow&);
};

void PrintTo(const EarlyAction& a, std::ostream* os) {
  *os << a.name;
}

class WindowEarlyAction : public WindowTest, public ::testing::WithParamInterface<EarlyAction> {};

TEST_P(WindowEarlyAction, ShowsServerNotReadyAndDoesNothingElse) {
  window->scam = nullptr;
  Texts texts;
  RecordStatusTexts(view, texts);
  GetParam().act(*window, *view);
  window->Flush();
  EXPECT_EQ(texts, (Texts{"Server not ready"}));
  EXPECT_TRUE(server.Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Window, WindowEarlyAction,
    ::testing::Values(
        EarlyAction{"Selector",
                    [](LocalGUI&, QtWindow& v) { QTest::keyClick(v.r[2], Qt::Key_Down); }},
        EarlyAction{"ConnectButton",
                    [](LocalGUI& w, QtWindow& v) {
                      w.EnableConnect(true);
                      QTest::mouseClick(v.bconnect, Qt::LeftButton);
                    }},
        EarlyAction{"CloseButton",
                    [](LocalGUI&, QtWindow& v) { QTest::mouseClick(v.bclose, Qt::LeftButton); }},
        EarlyAction{"HexCommand", [](LocalGUI&, QtWindow& v) { Enter(v, "0x0F"); }},
        EarlyAction{"Password", [](LocalGUI&, QtWindow& v) { Enter(v, "secret"); }},
        EarlyAction{"EmptyText", [](LocalGUI&, QtWindow& v) { Enter(v, ""); }}),
    [](const auto& info) { return info.param.name; });

// --- headless status lines and the close request ------------------------------------------------

TEST_F(WindowTest, HeadlessWritesEveryStatusTextAsALine) {
  testing::internal::CaptureStdout();
  window->ShowStatus("shown only");
  window->SetHeadless(true);
  window->ShowStatus("COM1  Vexa  0 minutes  Ready");
  RunOffGui([&] { window->ShowStatus("New Password= "); });
  window->SetHeadless(false);
  window->ShowStatus("shown only again");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Status: COM1  Vexa  0 minutes  Ready\nStatus: New Password= ****\n");
  EXPECT_EQ(view->statusfield->text(), QStringLiteral("shown only again"));
}

TEST_F(WindowTest, OverlongStatusTextIsCutInTheFieldButNotOnTheConsole) {
  const std::string text = "Client Command: " + std::string(70000, 'x');
  testing::internal::CaptureStdout();
  window->SetHeadless(true);
  window->ShowStatus(text);
  window->SetHeadless(false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Status: " + text + "\n");
  const QString shown = view->statusfield->text();
  EXPECT_EQ(shown.size(), 513);
  EXPECT_TRUE(shown.startsWith(QStringLiteral("Client Command: xxx")));
  EXPECT_EQ(shown.back(), QChar(0x2026));
  window->ShowStatus("Stat00000000");  // short texts are shown whole
  EXPECT_EQ(view->statusfield->text(), QStringLiteral("Stat00000000"));
}

TEST(WindowClose, ClosingTheWindowCallsItsCloseHandler) {
  int closes = 0;
  WindowPtr made(LocalGUI::Create(3001, {.headless = false, .onClose = [&closes] { ++closes; }}));
  QtWindow* v = ViewOf(*made);
  ASSERT_NE(v, nullptr);
  v->close();
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(v->isVisible());  // only the end of the process takes it away
}

}  // namespace
