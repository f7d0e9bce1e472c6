// The server core with the relay board driver and a recording window: command bytes on the serial
// line, status texts, the operator's operations (as the window's worker calls them), and failures
// of the serial line and the listening socket.
#include "ServerHarness.h"
#include "server/ServerSocket.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// Starts the core only when the test says so.
class Core : public ServerFixture {
 protected:
  void SetUp() override {}
  void TearDown() override { Stop(); }
  // Runs an operator's operation on a thread of its own, as the window's worker does.
  static void AsOperator(const std::function<void()>& operation) { std::thread(operation).join(); }
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
  StdoutCapture out;
  Start("COM1", 0, false, {}, true);
  EXPECT_EQ(window().localName, "QWK");
  EXPECT_TRUE(window().connectEnabled);
  EXPECT_EQ(window().connectGrey, 128);
  EXPECT_NE(window().ip.find('/'), std::string::npos);
  const auto statuses = StatusLines(out.Text());
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], "New Password= ");
  EXPECT_EQ(statuses[1], "Server Socket Opened OK at Port 0");
}

TEST_F(Core, CloseButtonWithoutSession) {
  Start("COM1", 0, false);
  core().CommandB6();
  EXPECT_TRUE(StatusBecomes("No Connection to Close"));
  // The operator's buttons, from the window's worker.
  core().ShowStat("x");
  EXPECT_TRUE(StatusBecomes("x"));
  AsOperator([&] { core().CommandB6(); });
  EXPECT_TRUE(StatusBecomes("No Connection to Close"));
  AsOperator([&] { core().CommandB5(); });
  EXPECT_TRUE(StatusBecomes("Awaiting Client Connection"));
  EXPECT_FALSE(window().connectEnabled);
  EXPECT_EQ(window().connectGrey, 64);
  auto c = Connect();
  AsOperator([&] { core().CommandB6(); });
  EXPECT_TRUE(c->ClosedByServer());
  // The session's end lets the next client in.
  EXPECT_TRUE(StatusBecomes("Awaiting Client Connection"));
}

TEST_F(Core, RawCommandBytesGoOutWhole) {
  Start();
  // Every byte is sent, also past the fifteenth; the relay states do not change.
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 18; ++i) bytes.push_back(static_cast<uint8_t>(i % 8));
  AsOperator([&] { EXPECT_TRUE(core().CommandB0(bytes)); });
  EXPECT_EQ(line_.Read(18), bytes);
  EXPECT_TRUE(line_.Drain(300ms).empty());
  EXPECT_EQ(board().relayState(0), 0);
  EXPECT_EQ(window().relays, (std::array<int32_t, 8>{}));
}

TEST_F(Core, NewPasswordIsShownAndServesTheNextClient) {
  Start();
  AsOperator([&] {
    core().CommandB4("no.such.host.invalid");
    settings_.password.set("no.such.host.invalid");  // as the window's Host/PWD field does
  });
  EXPECT_TRUE(StatusBecomes("New Password= no.such.host.invalid"));
  EXPECT_EQ(window().ip, "null");
  EXPECT_TRUE(line_.Drain(200ms).empty());
  auto c = Connect();
  c->SendLine("PWDno.such.host.invalid");
  EXPECT_EQ(c->ReadLine(), "Password/Connection Accepted!");
}

TEST_F(Core, UnknownHostStatusSequence) {
  Start("COM1", 0, false, {}, true);
  StdoutCapture out;
  core().CommandB4("no.such.host.invalid");
  Pump(100ms);
  const auto statuses = StatusLines(out.Text());
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], "Unknown Host Can't Get IP");
  EXPECT_EQ(statuses[1], "New Password= no.such.host.invalid");
  EXPECT_EQ(window().ip, "null");
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
  auto occupier = std::make_unique<ServerSocket>();
  std::error_code ec;
  ASSERT_TRUE(occupier->Open(0, ec));
  const int busy = occupier->Port();
  ServerTimings timings;
  timings.listenRetry = 20ms;
  StdoutCapture out;
  Start("COM1", busy, false, timings, true);
  EXPECT_EQ(core().ss(), nullptr);
  EXPECT_TRUE(StatusBecomes("Can't Get ServerSocket at Port " + std::to_string(busy)));
  EXPECT_TRUE(out.Contains("Cannot listen on port " + std::to_string(busy) +
                           ": Address already in use; trying again every 20 ms"));
  EXPECT_FALSE(window().connectEnabled);
  // Without a listening socket the connect button cannot start a session.
  core().CommandB5();
  EXPECT_EQ(core().connectthread(), nullptr);
  // Several tries later it is still held: nothing changes, and nothing more is said.
  Pump(100ms);
  EXPECT_EQ(core().ss(), nullptr);
  EXPECT_EQ(out.Text().find("Cannot listen", out.Text().find("Cannot listen") + 1),
            std::string::npos);

  // Once it is free the core listens, says so and waits for a client.
  occupier.reset();
  EXPECT_TRUE(StatusBecomes("Awaiting Client Connection"));
  ASSERT_NE(core().ss(), nullptr);
  EXPECT_EQ(port(), busy);
  EXPECT_TRUE(out.Contains("Status: Server Socket Opened OK at Port " + std::to_string(busy)));
  auto c = Connect();
  c->SendLine("Get");
  EXPECT_EQ(c->ReadLine(), "Stat00000000");
}

TEST_F(Core, ManualAcceptanceOpensNoSocket) {
  settings_.autoaccept = false;
  Start("COM1", 0, false);
  settings_.autoaccept = true;
  EXPECT_EQ(core().ss(), nullptr);
  EXPECT_FALSE(window().connectEnabled);
}
