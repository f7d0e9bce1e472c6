// Start-up, configuration, failures of the serial line and the listening socket, and the stop
// signals, through the built server.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "E2eFixture.h"

namespace vexanet::e2e {
namespace {

bool HasLine(const std::vector<ServerProcess::Line>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.text == text; });
}

std::string OkLine(int port) {
  return StatusLine("Server Socket Opened OK at Port " + std::to_string(port));
}

// Connects, reads the greeting and sends one line; the client for further checks.
std::optional<LineClient> Session(int port, const std::string& line) {
  auto client = LineClient::Connect(port, kDeadline);
  if (!client || client->ReadLine(kDeadline) != std::optional<std::string>("OK")) return {};
  if (!client->Send(line)) return {};
  return client;
}

using StartupTest = ServerTest;

TEST_F(StartupTest, OpensTheLineSwitchesRelaysOffThenReportsReady) {
  // Arguments are ignored, also those the window toolkit would otherwise take.
  Launch launch = HeadlessLaunch({{"VEXANET_COM1", com1.path()}});
  launch.args = {"-platform", "xcb", "--session", "9", "COM5"};
  ASSERT_NO_FATAL_FAILURE(StartListening({}, launch));

  // The line is set to 9600 bit/s, 8 data bits, no parity, 1 stop bit, raw.
  const auto bytes = com1.WaitForBytes(8, kStartDeadline);
  const termios t = com1.Settings();
  EXPECT_EQ(cfgetospeed(&t), B9600);
  EXPECT_EQ(cfgetispeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);

  // Relays 1 to 8 off, in order, one switch at a time with its pause.
  ASSERT_EQ(bytes.size(), 8u);
  for (uint8_t i = 0; i < 8; ++i) EXPECT_EQ(bytes[i].value, i) << "byte " << int(i);
  EXPECT_GE(bytes[7].at - bytes[0].at, 900ms) << "seven pauses of 150 ms between the bytes";

  const auto ready = WaitForReady("COM1", 0);
  ASSERT_TRUE(ready);
  const auto lines = server->Lines();
  EXPECT_EQ(lines.front().text,
            "No display: running without a window; status texts follow as Status: lines");
  EXPECT_TRUE(HasLine(lines, OkLine(port)));
  // The ready line comes last, after the eight status lines of the switches and a 2 s pause.
  const auto eighth = server->WaitForNth(StatusLine(kAllOff), 8, kDeadline);
  ASSERT_TRUE(eighth);
  EXPECT_LT(*eighth, *ready);
  EXPECT_GE(lines[*ready].at - bytes[7].at, 1800ms);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const auto& l) { return l.text == StatusLine(kAllOff); }),
            8);

  // A client is served.
  auto client = Session(port, "Get\r\n");
  ASSERT_TRUE(client);
  EXPECT_EQ(client->ReadLine(kDeadline), std::optional<std::string>(kAllOff));
  EXPECT_EQ(com1.Bytes().size(), 8u);
}

TEST_F(StartupTest, EarlyClientSwitchIsCarriedOutAfterTheAllOff) {
  ASSERT_NO_FATAL_FAILURE(StartListening());
  // Greeted while start-up is still switching the relays off (it is not ready for over 3 s).
  auto client = Session(port, "R5On\r\n");
  ASSERT_TRUE(client);
  const auto bytes = com1.WaitForBytes(9, kStartDeadline);
  ASSERT_EQ(bytes.size(), 9u);
  for (uint8_t i = 0; i < 8; ++i) EXPECT_EQ(bytes[i].value, i) << "byte " << int(i);
  EXPECT_EQ(bytes[8].value, 0x0C);

  // The all-off's own status lines may come first; the reply to the word is the true state.
  std::optional<std::string> reply;
  do {
    reply = client->ReadLine(kDeadline);
  } while (reply == std::optional<std::string>(kAllOff));
  EXPECT_EQ(reply, std::optional<std::string>("Stat00001000"));
  ASSERT_TRUE(WaitForReady("COM1", 0));
  ASSERT_TRUE(client->Send("Get\r\n"));
  EXPECT_EQ(client->ReadLine(kDeadline), std::optional<std::string>("Stat00001000"));
  EXPECT_EQ(com1.Bytes().size(), 9u);
}

// Configuration bytes: serial port name, port offset and session time.
struct ConfigCase {
  std::string name;
  std::vector<std::string> config;
  std::string comport;    // the name the server must open
  int portLow, portHigh;  // where the listening port is picked
  int minutes;
};

void PrintTo(const ConfigCase& c, std::ostream* os) {
  *os << c.name;
}

class ConfigTest : public ServerTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigTest, ServerFollowsTheFile) {
  const ConfigCase& c = GetParam();
  // COM1 leads nowhere, so the bytes can only arrive if the configured name was used.
  const std::string var = "VEXANET_" + c.comport;
  Launch launch = HeadlessLaunch({{var, com1.path()}});
  if (c.comport != "COM1") launch.env.emplace_back("VEXANET_COM1", "/nonexistent/vexanet-e2e");
  server = vexanet::e2e::StartListening(programs, launch, c.config, &port, c.portLow, c.portHigh);
  ASSERT_TRUE(WaitForReady(c.comport, c.minutes));
  EXPECT_EQ(com1.WaitForBytes(8, kDeadline).size(), 8u);

  auto client = Session(port, "PWDQWK\r\nR1On\r\n");
  ASSERT_TRUE(client);
  EXPECT_EQ(client->ReadLine(kDeadline),
            std::optional<std::string>("Password/Connection Accepted!"));
  if (c.minutes > 0) {
    EXPECT_EQ(
        client->ReadLine(kDeadline),
        std::optional<std::string>("Available Time: " + std::to_string(c.minutes) + " Minutes"));
  }
  EXPECT_EQ(client->ReadLine(kDeadline), std::optional<std::string>("Stat10000000"));
  const auto bytes = com1.WaitForBytes(9, kDeadline);
  ASSERT_EQ(bytes.size(), 9u);
  EXPECT_EQ(bytes[8].value, 0x08);
}

INSTANTIATE_TEST_SUITE_P(
    ConfigBytes, ConfigTest,
    ::testing::Values(ConfigCase{"SecondSerialPort", {"--com", "2"}, "COM2", 3002, 3128, 0},
                      ConfigCase{"PortBelowTheBase", {}, "COM1", 2873, 3000, 0},
                      ConfigCase{"SessionTime", {"--session", "5"}, "COM1", 3002, 3128, 5}),
    [](const auto& info) { return info.param.name; });

TEST_F(StartupTest, ManualAcceptanceOpensNoListeningSocket) {
  port = PickFreePort(3002, 3128);
  ASSERT_NE(port, 0);
  ASSERT_EQ(RunTool(programs.config,
                    {"write", (dir.path() / "VexaNetCFG.bin").string(), "--tcp-port",
                     std::to_string(port), "--manual"},
                    kDeadline),
            0);
  server = std::make_unique<ServerProcess>(HeadlessLaunch({{"VEXANET_COM1", com1.path()}}));
  ASSERT_TRUE(WaitForReady("COM1", 0));
  EXPECT_EQ(com1.WaitForBytes(8, kDeadline).size(), 8u);

  int error = 0;
  EXPECT_FALSE(LineClient::Connect(port, kDeadline, &error));
  EXPECT_EQ(error, ECONNREFUSED);
  const auto lines = server->Lines();
  EXPECT_FALSE(HasLine(lines, OkLine(port)));
  EXPECT_FALSE(HasLine(lines, StatusLine("Awaiting Client Connection")));
}

class SerialFailureTest : public ServerTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(SerialFailureTest, LineThatCannotBeOpenedIsReportedAndCommandsStillAnswered) {
  std::string device = GetParam();
  if (device == "regular-file") {
    device = (dir.path() / "not-a-tty").string();
    std::ofstream(device) << "x";
  }
  ASSERT_NO_FATAL_FAILURE(StartListening({}, HeadlessLaunch({{"VEXANET_COM1", device}})));
  const auto ready = WaitForReady("COM1", 0);
  ASSERT_TRUE(ready);
  const auto lines = server->Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& l) {
    return l.text.find("SerOpenPort failed") != std::string::npos;
  }));
  // Each start-up switch reports the line, and the status line follows it all the same.
  const std::string notCommunicating = StatusLine("COM port not communicating.");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const auto& l) { return l.text == notCommunicating; }),
            8);

  auto client = Session(port, "R1On\r\n");
  ASSERT_TRUE(client);
  EXPECT_EQ(client->ReadLine(kDeadline), std::optional<std::string>("Stat10000000"));
  const auto reported = server->WaitForExact(notCommunicating, kDeadline, *ready + 1);
  ASSERT_TRUE(reported);
  EXPECT_TRUE(server->WaitForExact(StatusLine("Stat10000000"), kDeadline, *reported + 1));
}

INSTANTIATE_TEST_SUITE_P(Devices, SerialFailureTest,
                         ::testing::Values("/nonexistent/vexanet-e2e", "regular-file", "/dev/null"),
                         [](const auto& info) {
                           return info.index == 0   ? std::string("Missing")
                                  : info.index == 1 ? std::string("RegularFile")
                                                    : std::string("NotATerminal");
                         });

// A COM1 path that cannot serve as a serial line, and what the extra console line says of it.
struct SerialPathCase {
  std::string name;
  std::string device;   // in the working folder unless absolute; made by the test
  std::string failure;  // the open failure's own line, as it always was
  std::string reason;
};

void PrintTo(const SerialPathCase& c, std::ostream* os) {
  *os << c.name;
}

class SerialPathTest : public ServerTest, public ::testing::WithParamInterface<SerialPathCase> {};

TEST_P(SerialPathTest, LineAfterTheOpenFailureSaysWhatIsWrongWithThePath) {
  const SerialPathCase& c = GetParam();
  std::string device = c.device;
  if (device[0] != '/') {
    device = (dir.path() / device).string();
    if (c.name == "RegularFile") std::ofstream(device) << "x";
    if (c.name == "Fifo") {
      ASSERT_EQ(::mkfifo(device.c_str(), 0600), 0);
    }
    if (c.name == "Directory") std::filesystem::create_directory(device);
    if (c.name == "LinkLoop") std::filesystem::create_symlink(device, device);
  }
  ASSERT_NO_FATAL_FAILURE(StartListening({}, HeadlessLaunch({{"VEXANET_COM1", device}})));
  const auto failed = server->WaitForLine(
      [](const std::string& l) { return l.starts_with("SerialIOException: SerOpenPort failed"); },
      kDeadline);
  ASSERT_TRUE(failed);
  const auto lines = server->Lines();
  ASSERT_GT(lines.size(), *failed + 1);
  EXPECT_EQ(lines[*failed].text, "SerialIOException: SerOpenPort failed: " + c.failure);
  EXPECT_EQ(lines[*failed + 1].text,
            "Serial line: " + device + c.reason +
                "; VEXANET_COM1 must name the serial device (e.g. VEXANET_COM1=/dev/ttyUSB0, or a "
                "/dev/serial/by-id/ path)");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SerialPathTest,
    ::testing::Values(
        SerialPathCase{"RegularFile", "not-a-tty", "Port not valid",
                       ": is a regular file, not a terminal"},
        SerialPathCase{"NotATerminal", "/dev/null", "Port not valid", ": is not a terminal"},
        SerialPathCase{"Fifo", "fifo", "Port not valid",
                       ": is a FIFO (named pipe), not a terminal"},
        SerialPathCase{"Directory", "folder", "Port not valid", ": is a directory, not a terminal"},
        SerialPathCase{"LinkLoop", "loop", "1001", ": too many levels of symbolic links"}),
    [](const auto& info) { return info.param.name; });

// Holds a listening socket on all addresses, as another program would.
class PortHolder {
 public:
  explicit PortHolder(int port) {
    fd_ = UniqueFd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd_) {
      const int zero = 0;
      ::setsockopt(fd_.get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_any;
      a.sin6_port = htons(static_cast<uint16_t>(port));
      ok_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::listen(fd_.get(), 4) == 0;
      return;
    }
    fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    ok_ = fd_ && ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          ::listen(fd_.get(), 4) == 0;
  }
  bool ok() const { return ok_; }

 private:
  UniqueFd fd_;
  bool ok_ = false;
};

TEST_F(StartupTest, PortInUseIsReportedAndStartUpGoesOn) {
  std::optional<PortHolder> holder;
  for (int attempt = 0; attempt < 5 && !(holder && holder->ok()); ++attempt) {
    port = PickFreePort(3002, 3128);
    holder.emplace(port);
  }
  ASSERT_TRUE(holder && holder->ok());
  ASSERT_EQ(RunTool(programs.config,
                    {"write", (dir.path() / "VexaNetCFG.bin").string(), "--tcp-port",
                     std::to_string(port)},
                    kDeadline),
            0);
  server = std::make_unique<ServerProcess>(HeadlessLaunch({{"VEXANET_COM1", com1.path()}}));
  EXPECT_TRUE(server->WaitForExact(
      StatusLine("Can't Get ServerSocket at Port " + std::to_string(port)), kStartDeadline));
  ASSERT_TRUE(WaitForReady("COM1", 0));
  EXPECT_EQ(com1.WaitForBytes(8, kDeadline).size(), 8u);
  EXPECT_FALSE(HasLine(server->Lines(), StatusLine("Awaiting Client Connection")));
}

TEST_F(StartupTest, PortHeldAtStartIsTakenOnceFree) {
  std::optional<PortHolder> holder;
  for (int attempt = 0; attempt < 5 && !(holder && holder->ok()); ++attempt) {
    port = PickFreePort(3002, 3128);
    holder.emplace(port);
  }
  ASSERT_TRUE(holder && holder->ok());
  ASSERT_EQ(RunTool(programs.config,
                    {"write", (dir.path() / "VexaNetCFG.bin").string(), "--tcp-port",
                     std::to_string(port)},
                    kDeadline),
            0);
  server = std::make_unique<ServerProcess>(HeadlessLaunch({{"VEXANET_COM1", com1.path()}}));
  const auto cannot = server->WaitForExact(
      StatusLine("Can't Get ServerSocket at Port " + std::to_string(port)), kStartDeadline);
  ASSERT_TRUE(cannot);
  // The reason follows, and what the server does about it.
  EXPECT_TRUE(server->WaitForExact("Cannot listen on port " + std::to_string(port) +
                                       ": Address already in use; trying again every 5 s",
                                   kDeadline, *cannot + 1));

  // Freed while the server starts: it takes the port at its next try and serves a client. The
  // tries are 5 s apart and start-up's own pauses run meanwhile: a start-up's deadline (under
  // emulation a try can come late).
  holder.reset();
  EXPECT_TRUE(server->WaitForExact(OkLine(port), kStartDeadline, *cannot + 1));
  auto client = Session(port, "Get\r\n");
  ASSERT_TRUE(client);
  EXPECT_EQ(client->ReadLine(kDeadline), std::optional<std::string>(kAllOff));
  ASSERT_TRUE(WaitForReady("COM1", 0));
  EXPECT_EQ(com1.WaitForBytes(8, kDeadline).size(), 8u);
}

class StopSignalTest : public ServerTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, EndsAtOnceWithStatusZero) {
  ASSERT_NO_FATAL_FAILURE(StartListening());
  ASSERT_NO_FATAL_FAILURE(WaitForRelaysOff());
  auto client = Session(port, "R2On\r\n");
  ASSERT_TRUE(client);
  ASSERT_EQ(client->ReadLine(kDeadline), std::optional<std::string>("Stat01000000"));

  ASSERT_TRUE(server->Signal(GetParam()));
  EXPECT_EQ(server->WaitExit(kDeadline), std::optional<int>(0));
  EXPECT_TRUE(client->WaitClosed(kDeadline));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) {
                           return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });

std::string SignalName(int sig) {
  switch (sig) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    case SIGQUIT:
      return "SIGQUIT";
    case SIGUSR1:
      return "SIGUSR1";
    case SIGUSR2:
      return "SIGUSR2";
  }
  return std::to_string(sig);
}

// A hang-up and a quit request end the server as cleanly as TERM and INT do.
INSTANTIATE_TEST_SUITE_P(MoreSignals, StopSignalTest, ::testing::Values(SIGHUP, SIGQUIT),
                         [](const auto& info) { return SignalName(info.param); });

TEST_P(StopSignalTest, SaysWhichSignalStoppedIt) {
  ASSERT_NO_FATAL_FAILURE(StartListening());
  ASSERT_TRUE(server->Signal(GetParam()));
  EXPECT_EQ(server->WaitExit(kDeadline), std::optional<int>(0));
  // Other threads may still write a line or two before the process is gone.
  EXPECT_TRUE(HasLine(server->Lines(), "Signal " + SignalName(GetParam()) + " received: stopping"));
}

TEST_F(StartupTest, UserSignalsAreIgnoredWithALineEachTime) {
  ASSERT_NO_FATAL_FAILURE(StartListening());
  ASSERT_NO_FATAL_FAILURE(WaitForRelaysOff());
  std::size_t from = 0;
  for (int sig : {SIGUSR1, SIGUSR2, SIGUSR1}) {
    ASSERT_TRUE(server->Signal(sig));
    const auto said =
        server->WaitForExact("Signal " + SignalName(sig) + " ignored", kDeadline, from);
    ASSERT_TRUE(said) << SignalName(sig);
    from = *said + 1;
  }
  // Still serving.
  auto client = Session(port, "Get\r\n");
  ASSERT_TRUE(client);
  EXPECT_EQ(client->ReadLine(kDeadline), std::optional<std::string>(kAllOff));
  EXPECT_FALSE(server->WaitExit(std::chrono::milliseconds(100)));
  const auto lines = server->Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const auto& l) { return l.text.starts_with("Signal "); }),
            3);
}

}  // namespace
}  // namespace vexanet::e2e
