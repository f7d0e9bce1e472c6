// The server core with the relay board driver and the window: command bytes on the serial line,
// status texts, the window's Host/PWD field and buttons, and failures of the serial line and the
// listening socket.
#include "ServerHarness.h"
#include "server/ServerSocket.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// Starts the core only when the test says so.
class Core : public ServerFixture {
 protected:
  void SetUp() override {}
  void TearDown() override {
    Stop();
    LocalGUI::SetHeadless(false);
    Vexa8::boardnum.store(0);
  }
  // Enter pressed in the Host/PWD field, as the operator does it.
  void EnterHostPwd(const std::string& text) {
    gui().localname->setText(QString::fromStdString(text));
    emit gui().localname->returnPressed();
  }
};

std::vector<std::string> StatusLines(const std::string& out) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while ((pos = out.find("Status: ", pos)) != std::string::npos) {
    const size_t end = out.find('\n', pos);
    lines.push_back(out.substr(pos + 8, end - pos - 8));
    pos = end;
  }
  return lines;
}

}  // namespace

TEST_F(Core, ConstructionShowsAddressPortAndPassword) {
  LocalGUI::SetHeadless(true);
  StdoutCapture out;
  Start("COM1", 0, false);
  EXPECT_TRUE(WaitUntil([&] { return gui().localname->text() == "QWK"; }));
  EXPECT_TRUE(WaitUntil([&] { return gui().bconnect->isEnabled(); }));
  EXPECT_NE(gui().ipfield->text().toStdString().find('/'), std::string::npos);
  const auto statuses = StatusLines(out.Text());
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], "New Password= ");
  EXPECT_EQ(statuses[1], "Server Socket Opened OK at Port 0");
}

TEST_F(Core, CloseButtonWithoutSession) {
  Start("COM1", 0, false);
  core().CommandB6();
  EXPECT_TRUE(StatusBecomes("No Connection to Close"));
  // The buttons act through the window's worker, never on the GUI thread.
  core().ShowStat("x");
  EXPECT_TRUE(StatusBecomes("x"));
  emit gui().bclose->clicked();
  EXPECT_TRUE(StatusBecomes("No Connection to Close"));
  emit gui().bconnect->clicked();
  EXPECT_TRUE(StatusBecomes("Awaiting Client Connection"));
  EXPECT_TRUE(WaitUntil([&] { return !gui().bconnect->isEnabled(); }));
  auto c = Connect();
  emit gui().bclose->clicked();
  EXPECT_TRUE(c->ClosedByServer());
}

TEST_F(Core, HostPwdFieldSendsRawCommands) {
  Start();
  EnterHostPwd("0x0F");
  EXPECT_EQ(line_.Read(1), std::vector<uint8_t>{0x0F});
  EXPECT_TRUE(StatusBecomes("CMD = 0F"));
  // Every pair is sent, also past the fifteenth byte.
  std::string hex = "0x";
  std::vector<uint8_t> expected;
  for (int i = 0; i < 18; ++i) {
    hex += "0" + std::to_string(i % 8);
    expected.push_back(static_cast<uint8_t>(i % 8));
  }
  EnterHostPwd(hex);
  EXPECT_EQ(line_.Read(18), expected);
  // "0x" alone sends nothing; the relay states and selectors do not change.
  EnterHostPwd("0x");
  EXPECT_TRUE(StatusBecomes("CMD = "));
  EXPECT_TRUE(line_.Drain(300ms).empty());
  EXPECT_EQ(board().relayState(0), 0);
  EXPECT_EQ(Vexa::password(), "QWK");
}

TEST_F(Core, HostPwdFieldSetsThePassword) {
  Start();
  EnterHostPwd("0X0F");  // an upper-case X is no command prefix
  EXPECT_TRUE(StatusBecomes("New Password= 0X0F"));
  EXPECT_EQ(Vexa::password(), "0X0F");
  EnterHostPwd("no.such.host.invalid");
  EXPECT_TRUE(StatusBecomes("New Password= no.such.host.invalid"));
  EXPECT_TRUE(WaitUntil([&] { return gui().ipfield->text() == "null"; }));
  EXPECT_EQ(Vexa::password(), "no.such.host.invalid");
  EXPECT_TRUE(line_.Drain(200ms).empty());
  auto c = Connect();
  c->SendLine("PWDno.such.host.invalid");
  EXPECT_EQ(c->ReadLine(), "Password/Connection Accepted!");
}

TEST_F(Core, UnknownHostStatusSequence) {
  LocalGUI::SetHeadless(true);
  Start("COM1", 0, false);
  StdoutCapture out;
  core().CommandB4("no.such.host.invalid");
  Pump(100ms);
  const auto statuses = StatusLines(out.Text());
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], "Unknown Host Can't Get IP");
  EXPECT_EQ(statuses[1], "New Password= no.such.host.invalid");
  EXPECT_TRUE(WaitUntil([&] { return gui().ipfield->text() == "null"; }));
  EXPECT_EQ(LocalCAM::LookUpHost("127.0.0.1"), "/127.0.0.1");
}

TEST_F(Core, SerialLineThatCannotBeOpened) {
  ::setenv("VEXANET_COM7", "/nonexistent/vexanet-tty", 1);
  StdoutCapture out;
  Start("COM7", 0, true);
  EXPECT_NE(core().NoCOM(), 0);
  EXPECT_NE(out.Text().find("SerOpenPort failed"), std::string::npos);
  const auto before = core().SerIn();
  EXPECT_FALSE(core().CommandB0(std::vector<uint8_t>{0x01}));
  EXPECT_TRUE(StatusBecomes("COM port not communicating."));
  EXPECT_EQ(core().SerIn(), before);
  // The switch is recorded and published all the same.
  auto c = Connect();
  c->SendLine("R1On");
  EXPECT_EQ(c->ReadLine(), "Stat10000000");
  EXPECT_TRUE(StatusBecomes("Stat10000000"));
}

TEST_F(Core, NoPortWantedIsNotAFailure) {
  StdoutCapture out;
  Start("COM0", 0, false);
  EXPECT_EQ(core().NoCOM(), 0);
  EXPECT_TRUE(core().CommandB0(std::vector<uint8_t>{0x01}));  // handed on, nothing sent
  board().set(2, 1);
  EXPECT_TRUE(StatusBecomes("Stat00100000"));
  EXPECT_EQ(out.Text().find("SerOpenPort failed"), std::string::npos);
}

TEST_F(Core, ListeningPortInUse) {
  ServerSocket occupier;
  std::error_code ec;
  ASSERT_TRUE(occupier.Open(0, ec));
  const int busy = occupier.Port();
  Start("COM1", busy, false);
  EXPECT_EQ(core().ss(), nullptr);
  EXPECT_TRUE(StatusBecomes("Can't Get ServerSocket at Port " + std::to_string(busy)));
  Pump(100ms);
  EXPECT_FALSE(gui().bconnect->isEnabled());
  // Without a listening socket the connect button cannot start a session.
  core().CommandB5();
  EXPECT_EQ(core().connectthread(), nullptr);
}

TEST_F(Core, ManualAcceptanceOpensNoSocket) {
  Vexa::autoaccept = false;
  Start("COM1", 0, false);
  Vexa::autoaccept = true;
  EXPECT_EQ(core().ss(), nullptr);
  Pump(100ms);
  EXPECT_FALSE(gui().bconnect->isEnabled());
}
