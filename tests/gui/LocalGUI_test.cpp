// The operator's window without a display: components and layout, calls from other threads,
// the operator's actions on the worker thread, headless status lines and the close request.
// The server core needs the serial line and the network, so these tests run without one; the
// paths through a real core are tested with the core.
#include <gtest/gtest.h>

#include <QColor>
#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "gui/LocalGUI.h"
#include "gui_test_support.h"
#include "server/LocalCAM.h"
#include "startup/Vexa.h"

namespace {

using guitest::Gate;
using guitest::RecordingDevice;
using guitest::RunOffGui;

constexpr int32_t kPort = 4711;

// Stands in for the server core where an action only checks that start-up has set it and never
// calls it (the relay selectors reach the core through the device).
alignas(LocalCAM) std::array<std::byte, sizeof(LocalCAM)> coreStandIn{};
LocalCAM* CoreStandIn() {
  return reinterpret_cast<LocalCAM*>(coreStandIn.data());
}

class LocalGUITest : public ::testing::Test {
 protected:
  void SetUp() override {
    LocalGUI::cam = &device;
    LocalGUI::scam = nullptr;
    window.reset(LocalGUI::Create(kPort));
    ASSERT_NE(window, nullptr);
  }
  void TearDown() override {
    window.reset();
    LocalGUI::cam = nullptr;
    LocalGUI::scam = nullptr;
    LocalGUI::SetHeadless(false);
  }

  RecordingDevice device;
  std::unique_ptr<LocalGUI> window;
};

QColor ConnectGrey(const LocalGUI& w) {
  return w.bconnect->palette().color(QPalette::Button);
}

// --- components, texts and places ----------------------------------------------------------

struct Placed {
  std::string name;
  QRect bounds;
  const char* text;  // nullptr: no text to compare
};

void PrintTo(const Placed& p, std::ostream* os) {
  *os << p.name;
}

std::map<std::string, QWidget*> Components(const LocalGUI& w) {
  std::map<std::string, QWidget*> all = {
      {"prodlabel", w.prodlabel}, {"netlabel", w.netlabel},         {"namelabel", w.namelabel},
      {"localname", w.localname}, {"addresslabel", w.addresslabel}, {"ipfield", w.ipfield},
      {"portlabel", w.portlabel}, {"portfield", w.portfield},       {"bclose", w.bclose},
      {"bconnect", w.bconnect},   {"statuslabel", w.statuslabel},   {"statusfield", w.statusfield}};
  for (size_t n = 0; n < 8; ++n) {
    all["LabelR" + std::to_string(n + 1)] = w.LabelR[n];
    all["r" + std::to_string(n + 1)] = w.r[n];
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

class LocalGUILayout : public LocalGUITest, public ::testing::WithParamInterface<Placed> {};

TEST_P(LocalGUILayout, ComponentHasItsPlaceAndText) {
  const Placed& row = GetParam();
  QWidget* w = Components(*window).at(row.name);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->parentWidget(), window.get());
  EXPECT_EQ(w->geometry(), row.bounds);
  EXPECT_TRUE(w->isVisible());
  if (row.text != nullptr) {
    EXPECT_EQ(TextOf(w), row.text);
  }
}

INSTANTIATE_TEST_SUITE_P(Window, LocalGUILayout, ::testing::ValuesIn(Layout()),
                         [](const auto& info) { return info.param.name; });

TEST_F(LocalGUITest, WindowSizeTitleFontAndColours) {
  EXPECT_EQ(window->size(), QSize(420, 209));
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle().toStdString(), Vexa::prodtitle);
  EXPECT_EQ(window->prodlabel->text().toStdString(), Vexa::prodlabel);
  EXPECT_EQ(window->font().family(), QStringLiteral("Helvetica"));
  EXPECT_EQ(window->font().pixelSize(), 13);
  EXPECT_EQ(window->statusfield->font().pixelSize(), 13);  // inherited
  EXPECT_TRUE(window->autoFillBackground());
  EXPECT_EQ(window->palette().color(QPalette::Window), QColor(120, 140, 240));
  EXPECT_EQ(window->netlabel->palette().color(QPalette::WindowText), QColor(Qt::black));
}

TEST_F(LocalGUITest, FieldsSelectorsAndConnectButtonStartAsCreated) {
  EXPECT_FALSE(window->localname->isReadOnly());
  EXPECT_TRUE(window->ipfield->isReadOnly());
  EXPECT_TRUE(window->portfield->isReadOnly());
  EXPECT_TRUE(window->statusfield->isReadOnly());
  for (QComboBox* selector : window->r) {
    ASSERT_EQ(selector->count(), 2);
    EXPECT_EQ(selector->itemText(0), QStringLiteral("Off"));
    EXPECT_EQ(selector->itemText(1), QStringLiteral("On"));
    EXPECT_EQ(selector->currentIndex(), 0);
  }
  EXPECT_FALSE(window->bconnect->isEnabled());
  EXPECT_EQ(ConnectGrey(*window), QColor(64, 64, 64));
  EXPECT_TRUE(window->bclose->isEnabled());
}

// The components join the window in the order it adds them (which is also the keyboard order).
TEST_F(LocalGUITest, ComponentsAreAddedInOrder) {
  std::vector<QWidget*> expected = {window->prodlabel};
  for (QLabel* l : window->LabelR) expected.push_back(l);
  for (QComboBox* c : window->r) expected.push_back(c);
  for (QWidget* w : std::initializer_list<QWidget*>{
           window->netlabel, window->namelabel, window->localname, window->addresslabel,
           window->ipfield, window->portlabel, window->portfield, window->bconnect, window->bclose,
           window->statuslabel, window->statusfield}) {
    expected.push_back(w);
  }
  std::vector<QWidget*> actual;
  for (QObject* child : window->children()) {
    if (auto* w = qobject_cast<QWidget*>(child)) actual.push_back(w);
  }
  EXPECT_EQ(actual, expected);
}

// --- indicators, called on the GUI thread: they take effect at once ----------------------------

struct Indicator {
  std::string name;
  void (*call)(LocalGUI&);
  bool (*check)(const LocalGUI&);
};

void PrintTo(const Indicator& i, std::ostream* os) {
  *os << i.name;
}

class LocalGUIIndicator : public LocalGUITest, public ::testing::WithParamInterface<Indicator> {};

TEST_P(LocalGUIIndicator, TakesEffectAtOnceOnTheGuiThread) {
  LocalGUI::scam = CoreStandIn();  // a ready server: an operator action would reach the device
  GetParam().call(*window);
  EXPECT_TRUE(GetParam().check(*window));
  EXPECT_TRUE(device.Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Window, LocalGUIIndicator,
    ::testing::Values(
        Indicator{"ShowIPAbsent", [](LocalGUI& w) { w.ShowIP(std::nullopt); },
                  [](const LocalGUI& w) { return w.ipfield->text() == "null"; }},
        Indicator{"ShowIPAddress", [](LocalGUI& w) { w.ShowIP("relayhost/192.168.1.20"); },
                  [](const LocalGUI& w) { return w.ipfield->text() == "relayhost/192.168.1.20"; }},
        Indicator{"ShowStatus", [](LocalGUI& w) { w.ShowStatus("Stat00010000"); },
                  [](const LocalGUI& w) { return w.statusfield->text() == "Stat00010000"; }},
        Indicator{"EnableConnectTrue", [](LocalGUI& w) { w.EnableConnect(true); },
                  [](const LocalGUI& w) {
                    return w.bconnect->isEnabled() && ConnectGrey(w) == QColor(128, 128, 128);
                  }},
        Indicator{"EnableConnectFalse",
                  [](LocalGUI& w) {
                    w.EnableConnect(true);
                    w.EnableConnect(false);
                  },
                  [](const LocalGUI& w) {
                    return !w.bconnect->isEnabled() && ConnectGrey(w) == QColor(64, 64, 64);
                  }},
        Indicator{"ConnectButtonLightGrey", [](LocalGUI& w) { w.SetConnectButton(true, 192); },
                  [](const LocalGUI& w) {
                    return w.bconnect->isEnabled() && ConnectGrey(w) == QColor(192, 192, 192);
                  }},
        Indicator{"SetLocalName", [](LocalGUI& w) { w.SetLocalName("QWK"); },
                  [](const LocalGUI& w) { return w.localname->text() == "QWK"; }},
        Indicator{"SelectRelayOn", [](LocalGUI& w) { w.SelectRelay(7, 1); },
                  [](const LocalGUI& w) { return w.r[7]->currentIndex() == 1; }},
        Indicator{"SelectRelayOutOfRangeIgnored",
                  [](LocalGUI& w) {
                    w.SelectRelay(8, 1);
                    w.SelectRelay(-1, 1);
                    w.SelectRelay(2, 2);
                  },
                  [](const LocalGUI& w) {
                    for (QComboBox* c : w.r) {
                      if (c->currentIndex() != 0) return false;
                    }
                    return true;
                  }}),
    [](const auto& info) { return info.param.name; });

// --- calls from other threads -------------------------------------------------------------------

// Two threads move their own selector back and forth and show numbered texts. Every call takes
// effect on the GUI thread, each thread's calls in the order it made them, and none of them
// raises the operator's action.
TEST_F(LocalGUITest, CallsFromOtherThreadsTakeEffectInOrderWithoutOperatorActions) {
  constexpr int kCalls = 200;
  LocalGUI::scam = CoreStandIn();  // a ready server: an operator action would reach the device
  std::map<int, std::vector<int>> seen;  // relay -> indices shown, GUI thread only
  std::vector<std::string> texts;
  for (int relay : {2, 5}) {
    QObject::connect(window->r[relay], &QComboBox::currentIndexChanged, window.get(),
                     [&seen, relay](int index) {
                       EXPECT_EQ(QThread::currentThread(), qApp->thread());
                       seen[relay].push_back(index);
                     });
  }
  QObject::connect(window->statusfield, &QLineEdit::textChanged, window.get(),
                   [&texts](const QString& t) { texts.push_back(t.toStdString()); });

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

  for (int relay : {2, 5}) {
    ASSERT_EQ(seen[relay].size(), static_cast<size_t>(kCalls)) << "relay " << relay;
    for (int i = 0; i < kCalls; ++i) EXPECT_EQ(seen[relay][i], (i + 1) % 2);
  }
  std::map<char, int> next{{'A', 0}, {'B', 0}};
  for (const std::string& t : texts) {
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.substr(1), std::to_string(next[t[0]]++)) << "out of order: " << t;
  }
  EXPECT_EQ(next['A'], kCalls);
  EXPECT_EQ(next['B'], kCalls);
  EXPECT_TRUE(device.Calls().empty());
}

// A call queued by another thread before a call made on the GUI thread is shown first, even
// though the GUI thread has not served its events in between.
TEST_F(LocalGUITest, GuiThreadCallRunsAfterEarlierQueuedCalls) {
  std::vector<std::string> texts;
  QObject::connect(window->statusfield, &QLineEdit::textChanged, window.get(),
                   [&texts](const QString& t) { texts.push_back(t.toStdString()); });
  std::thread other([&] { window->ShowStatus("from the start-up thread"); });
  other.join();  // queued, not yet run: the GUI thread serves no events here
  window->ShowStatus("from the GUI thread");
  EXPECT_EQ(texts, (std::vector<std::string>{"from the start-up thread", "from the GUI thread"}));
  EXPECT_EQ(window->statusfield->text(), QStringLiteral("from the GUI thread"));
}

TEST(LocalGUICreate, FromAnotherThreadBuildsTheWindowOnTheGuiThread) {
  LocalGUI* made = nullptr;
  RunOffGui([&] { made = LocalGUI::Create(3005); });
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->thread(), qApp->thread());
  EXPECT_EQ(made->portfield->text(), QStringLiteral("3005"));
  EXPECT_TRUE(made->isVisible());
  RunOffGui([&] { LocalGUI::Destroy(made); });
}

TEST(LocalGUICreate, TakesTheDeviceFromTheMainClass) {
  RecordingDevice d;
  LocalGUI::cam = nullptr;
  Vexa::cam = &d;
  std::unique_ptr<LocalGUI> made(LocalGUI::Create(3001));
  EXPECT_EQ(LocalGUI::cam.load(), &d);
  made.reset();
  Vexa::cam = nullptr;
  LocalGUI::cam = nullptr;
}

// --- the operator's actions ------------------------------------------------------------------

// The operator's choice reaches the device on the worker thread: the device call waits until
// the GUI thread has returned from the key press, which it could not if it ran there.
TEST_F(LocalGUITest, OperatorChoiceRunsOnTheWorkerInOrder) {
  LocalGUI::scam = CoreStandIn();
  Gate keyHandled;
  std::atomic<bool> waitedInTime{true};
  device.beforeSet = [&] {
    if (!keyHandled.WaitOpen()) waitedInTime = false;
  };
  QTest::keyClick(window->r[3], Qt::Key_Down);  // "Off" -> "On"
  keyHandled.Open();
  QTest::keyClick(window->r[3], Qt::Key_Up);    // "On" -> "Off"
  QTest::keyClick(window->r[0], Qt::Key_Down);  // relay 1 "On"
  window->Flush();

  const auto calls = device.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_TRUE(waitedInTime.load());
  const std::array<std::pair<int, int>, 3> expected{{{3, 1}, {3, 0}, {0, 1}}};
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].channel, expected[i].first) << i;
    EXPECT_EQ(calls[i].value, expected[i].second) << i;
    EXPECT_NE(calls[i].thread, std::this_thread::get_id()) << i;
    EXPECT_EQ(calls[i].thread, calls[0].thread) << "one worker thread";
  }
}

// Flush from another thread returns only after the operator's actions queued before it.
TEST_F(LocalGUITest, FlushFromAnotherThreadWaitsForQueuedActions) {
  LocalGUI::scam = CoreStandIn();
  device.beforeSet = [] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
  QTest::keyClick(window->r[6], Qt::Key_Down);
  QTest::keyClick(window->r[6], Qt::Key_Up);
  size_t seenAfterFlush = 0;
  RunOffGui([&] {
    window->Flush();
    seenAfterFlush = device.Calls().size();
  });
  EXPECT_EQ(seenAfterFlush, 2u);
}

// Before start-up has handed the server core (and the device) to the window, every action only
// says so.
struct EarlyAction {
  std::string name;
  bool withDevice;
  bool withCore;
  void (*act)(LocalGUI&);
};

void PrintTo(const EarlyAction& a, std::ostream* os) {
  *os << a.name;
}

class LocalGUIEarlyAction : public LocalGUITest,
                            public ::testing::WithParamInterface<EarlyAction> {};

TEST_P(LocalGUIEarlyAction, ShowsServerNotReadyAndDoesNothingElse) {
  const EarlyAction& a = GetParam();
  LocalGUI::cam = a.withDevice ? &device : nullptr;
  LocalGUI::scam = a.withCore ? CoreStandIn() : nullptr;
  const std::string passwordBefore = Vexa::password();
  a.act(*window);
  window->Flush();
  EXPECT_EQ(window->statusfield->text(), QStringLiteral("Server not ready"));
  EXPECT_TRUE(device.Calls().empty());
  EXPECT_EQ(Vexa::password(), passwordBefore);
}

void Enter(LocalGUI& w, const char* text) {
  w.localname->setText(text);
  QTest::keyClick(w.localname, Qt::Key_Return);
}

INSTANTIATE_TEST_SUITE_P(
    Window, LocalGUIEarlyAction,
    ::testing::Values(EarlyAction{"SelectorWithoutCore", true, false,
                                  [](LocalGUI& w) { QTest::keyClick(w.r[2], Qt::Key_Down); }},
                      EarlyAction{"SelectorWithoutDevice", false, true,
                                  [](LocalGUI& w) { QTest::keyClick(w.r[2], Qt::Key_Down); }},
                      EarlyAction{"ConnectButton", true, false,
                                  [](LocalGUI& w) {
                                    w.EnableConnect(true);
                                    QTest::mouseClick(w.bconnect, Qt::LeftButton);
                                  }},
                      EarlyAction{"CloseButton", true, false,
                                  [](LocalGUI& w) { QTest::mouseClick(w.bclose, Qt::LeftButton); }},
                      EarlyAction{"HexCommand", true, false, [](LocalGUI& w) { Enter(w, "0x0F"); }},
                      EarlyAction{"Password", true, false, [](LocalGUI& w) { Enter(w, "secret"); }},
                      EarlyAction{"EmptyText", true, false, [](LocalGUI& w) { Enter(w, ""); }}),
    [](const auto& info) { return info.param.name; });

// --- headless status lines and the close request ------------------------------------------------

TEST_F(LocalGUITest, HeadlessWritesEveryStatusTextAsALine) {
  testing::internal::CaptureStdout();
  window->ShowStatus("shown only");
  LocalGUI::SetHeadless(true);
  window->ShowStatus("COM1  Vexa  0 minutes  Ready");
  RunOffGui([&] { window->ShowStatus("New Password= "); });
  LocalGUI::SetHeadless(false);
  window->ShowStatus("shown only again");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Status: COM1  Vexa  0 minutes  Ready\nStatus: New Password= \n");
  EXPECT_EQ(window->statusfield->text(), QStringLiteral("shown only again"));
}

TEST_F(LocalGUITest, OverlongStatusTextIsCutInTheFieldButNotOnTheConsole) {
  const std::string text = "Client Command: " + std::string(70000, 'x');
  testing::internal::CaptureStdout();
  LocalGUI::SetHeadless(true);
  window->ShowStatus(text);
  LocalGUI::SetHeadless(false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Status: " + text + "\n");
  const QString shown = window->statusfield->text();
  EXPECT_EQ(shown.size(), 513);
  EXPECT_TRUE(shown.startsWith(QStringLiteral("Client Command: xxx")));
  EXPECT_EQ(shown.back(), QChar(0x2026));
  window->ShowStatus("Stat00000000");  // short texts are shown whole
  EXPECT_EQ(window->statusfield->text(), QStringLiteral("Stat00000000"));
}

TEST_F(LocalGUITest, ClosingTheWindowCallsTheCloseHandler) {
  int closes = 0;
  LocalGUI::SetCloseHandler([&closes] { ++closes; });
  window->close();
  LocalGUI::SetCloseHandler([] { ADD_FAILURE() << "a window was closed unexpectedly"; });
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(window->isVisible());  // only the end of the process takes it away
}

}  // namespace
