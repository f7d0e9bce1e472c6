// vexanet-client: its word expansion and reply handling directly, then the built program as a
// process against the real server on loopback (COM1 on a pseudo-terminal), and against a small
// fake server for what the real one cannot do quickly (a session whose time is up after a minute
// at the least) or at all (other line ends). Every wait has a deadline.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ProgramCommand.h"
#include "e2e/E2eFixture.h"
#include "vexanet-client/Replies.h"
#include "vexanet-client/Words.h"

extern char** environ;

namespace vexanet::client {
namespace {

using e2e::Clock;
using e2e::kDeadline;
using e2e::UniqueFd;
using namespace std::chrono_literals;

// ---- Words and replies ------------------------------------------------------------------------

std::vector<std::string> Lines(const std::vector<Step>& steps) {
  std::vector<std::string> lines;
  for (const Step& s : steps) {
    switch (s.kind) {
      case Step::Kind::kSend:
        lines.push_back(s.line);
        break;
      case Step::Kind::kToggle:
        lines.push_back("toggle " + std::to_string(s.relay));
        break;
      case Step::Kind::kShowStatus:
        lines.push_back("status");
        break;
    }
  }
  return lines;
}

TEST(ClientWords, FriendlyWordsExpandAndEverythingElseIsOneRawLine) {
  const Expansion e = ExpandWords({"on", "1", "3", "toggle", "4", "status", "off", "8", "all-off",
                                   "TO=5", "Bnum3", "get", "PWDx", "Close"});
  ASSERT_EQ(e.error, "");
  EXPECT_EQ(Lines(e.steps),
            (std::vector<std::string>{"R1On", "R3On", "toggle 4", "status", "R8Off", "R1Off",
                                      "R2Off", "R3Off", "R4Off", "R5Off", "R6Off", "R7Off", "R8Off",
                                      "TO=5", "Bnum3", "get", "PWDx", "Close"}));
  // What the client waits for after each raw line.
  EXPECT_EQ(e.steps[0].expect, Expect::kStatus);
  EXPECT_EQ(e.steps[13].expect, Expect::kNothing);
  EXPECT_EQ(e.steps[14].expect, Expect::kBriefly);
  EXPECT_EQ(e.steps[15].expect, Expect::kBriefly);  // protocol words are case-sensitive
  EXPECT_EQ(e.steps[16].expect, Expect::kPassword);
  EXPECT_EQ(e.steps[17].expect, Expect::kEnd);
  EXPECT_EQ(ExpectFor("R9On"), Expect::kBriefly);
  EXPECT_EQ(ExpectFor("Get "), Expect::kBriefly);

  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"on"},
                                             {"on", "9"},
                                             {"off", "0"},
                                             {"toggle", "12"},
                                             {"status", "Close", "Get"},
                                             {"KILL", "on", "1"},
                                             {""},
                                             {"R1On\r\nR2On"}}) {
    const Expansion b = ExpandWords(bad);
    EXPECT_NE(b.error, "") << bad.front();
    EXPECT_TRUE(b.steps.empty());
  }
}

TEST(ClientWords, TypedLinesLoseOnlyTheirCarriageReturn) {
  EXPECT_EQ(Lines(ExpandTyped("R1On\r").steps), std::vector<std::string>{"R1On"});
  EXPECT_EQ(Lines(ExpandTyped(" R1On ").steps), std::vector<std::string>{" R1On "});
  EXPECT_EQ(Lines(ExpandTyped("on 2 5").steps), (std::vector<std::string>{"R2On", "R5On"}));
  EXPECT_TRUE(ExpandTyped("\r").steps.empty());
  EXPECT_TRUE(ExpandTyped("").steps.empty());
  EXPECT_NE(ExpandTyped("off").error, "");
}

TEST(ClientReplies, StatusLinesAndTheirPrintedForms) {
  EXPECT_EQ(ParseStatus("Stat10000001"), (Relays{1, 0, 0, 0, 0, 0, 0, 1}));
  for (const char* bad : {"Stat1000000", "Stat100000010", "Stat1000000x", "stat10000000", "Get"})
    EXPECT_FALSE(ParseStatus(bad)) << bad;
  EXPECT_EQ(StatusJson({1, 0, 1, 0, 0, 0, 0, 0}), "{\"relays\":[1,0,1,0,0,0,0,0]}\n");
  EXPECT_EQ(StatusTable({0, 1, 0, 0, 0, 0, 0, 1}),
            "relay  1    2    3    4    5    6    7    8\n"
            "state  off  on   off  off  off  off  off  on\n");
}

TEST(ClientReplies, EveryLineEndEndsOneLineEvenAcrossReads) {
  LineSplitter s;
  std::vector<std::string> lines;
  ASSERT_TRUE(s.Feed("OK\r", lines));
  ASSERT_TRUE(s.Feed("\nStat1\nA\rB\r\n\r\nC", lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"OK", "Stat1", "A", "B", ""}));
  EXPECT_EQ(s.Finish(), std::optional<std::string>("C"));

  LineSplitter small(4);
  std::vector<std::string> some;
  EXPECT_TRUE(small.Feed("abcd\n", some));
  EXPECT_FALSE(small.Feed("abcde", some));
}

// ---- The program as a process -------------------------------------------------------------------

using Env = std::vector<std::pair<std::string, std::string>>;

// The built client with standard output and standard error recorded from pipes. Standard input is
// /dev/null, or a pipe fed with `input` (left open with keepInputOpen). The environment is ours
// without any VEXANET_ variable, plus `env`. Killed and reaped on destruction if still running.
class ClientProcess {
 public:
  explicit ClientProcess(const std::vector<std::string>& args, const Env& env = {},
                         std::optional<std::string> input = std::nullopt,
                         bool keepInputOpen = false) {
    std::array<int, 2> out{}, err{}, in{};
    if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0 ||
        ::pipe2(in.data(), O_CLOEXEC) != 0)
      throw std::runtime_error("pipe2");
    out_ = UniqueFd(out[0]);
    err_ = UniqueFd(err[0]);
    UniqueFd outW(out[1]), errW(err[1]), inR(in[0]);
    in_ = UniqueFd(in[1]);

    std::vector<std::string> argv_s = testing_support::ProgramCommand(VEXANET_CLIENT_EXE, args);
    std::vector<std::string> env_s;
    for (char** e = environ; *e != nullptr; ++e)
      if (!std::string_view(*e).starts_with("VEXANET_")) env_s.emplace_back(*e);
    for (const auto& [name, value] : env) env_s.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (auto& s : argv_s) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : env_s) envp.push_back(s.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, outW.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, errW.get(), STDERR_FILENO);
    if (input)
      posix_spawn_file_actions_adddup2(&fa, inR.get(), STDIN_FILENO);
    else
      posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const int rc = ::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start " + argv_s[0]);

    outRec_ = Record(out_.get(), outText_, outEnded_);
    errRec_ = Record(err_.get(), errText_, errEnded_);
    if (input) {
      const std::string& text = *input;
      if (!text.empty() && ::write(in_.get(), text.data(), text.size()) < 0)
        throw std::runtime_error("write to the client's standard input");
      if (!keepInputOpen) in_.Reset();
    }
  }
  ClientProcess(const ClientProcess&) = delete;
  ClientProcess& operator=(const ClientProcess&) = delete;
  ~ClientProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    outRec_.reset();
    errRec_.reset();
  }

  // The exit status once the program has ended and closed its output; nullopt on timeout.
  std::optional<int> Wait(Clock::duration timeout = kDeadline) {
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    for (;;) {
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) break;
      if (Clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(5ms);
    }
    pid_ = -1;
    std::unique_lock lock(mu_);
    cv_.wait_until(lock, deadline, [this] { return outEnded_ && errEnded_; });
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
  }

  bool WaitForError(const std::string& text, Clock::duration timeout = kDeadline) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
      return errText_.find(text) != std::string::npos || errEnded_;
    }) && errText_.find(text) != std::string::npos;
  }

  std::string Out() const {
    std::lock_guard lock(mu_);
    return outText_;
  }
  std::string Err() const {
    std::lock_guard lock(mu_);
    return errText_;
  }
  std::vector<std::string> ErrLines() const {
    std::vector<std::string> lines;
    std::istringstream in(Err());
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }

 private:
  std::unique_ptr<e2e::FdRecorder> Record(int fd, std::string& text, bool& ended) {
    return std::make_unique<e2e::FdRecorder>(
        fd, [this, &text, &ended](std::string_view data, Clock::time_point) {
          std::lock_guard lock(mu_);
          if (data.empty()) ended = true;
          text.append(data);
          cv_.notify_all();
        });
  }

  pid_t pid_ = -1;
  UniqueFd out_, err_, in_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::string outText_, errText_;
  bool outEnded_ = false, errEnded_ = false;
  std::unique_ptr<e2e::FdRecorder> outRec_, errRec_;
};

// What a finished run printed, for failure messages.
std::string Transcript(const ClientProcess& c) {
  return "--- client standard output:\n" + c.Out() + "--- client standard error:\n" + c.Err();
}

// Usage and connection failures need no server.
TEST(ClientProgram, UsageErrorsAndARefusedConnection) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"on", "9"},
                                             {"--port", "0", "Get"},
                                             {"--timeout", "0", "Get"},
                                             {"Close", "Get"},
                                             {"--no-such-option"}}) {
    ClientProcess c(args);
    EXPECT_EQ(c.Wait(), 2) << args.front() << "\n" << Transcript(c);
    EXPECT_EQ(c.Out(), "");
    EXPECT_EQ(c.ErrLines().size(), 1u) << c.Err();
  }
  ClientProcess badEnv({"Get"}, {{"VEXANET_PORT", "99999"}});
  EXPECT_EQ(badEnv.Wait(), 2) << Transcript(badEnv);

  const int port = e2e::PickFreePort(20000, 30000);
  ASSERT_NE(port, 0);
  ClientProcess c({"--host", "127.0.0.1", "--port", std::to_string(port), "Get"});
  EXPECT_EQ(c.Wait(), 3) << Transcript(c);
  ASSERT_EQ(c.ErrLines().size(), 1u) << c.Err();
  EXPECT_NE(c.Err().find("could not connect"), std::string::npos) << c.Err();
}

class ClientServerTest : public e2e::ServerTest {
 protected:
  Env PortEnv() const { return {{"VEXANET_PORT", std::to_string(port)}}; }
  std::vector<std::string> At(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(port)});
    return args;
  }
};

TEST_F(ClientServerTest, WordsRepliesStatusAndInteractiveLines) {
  ASSERT_NO_FATAL_FAILURE(StartListening());
  ASSERT_NO_FATAL_FAILURE(WaitForRelaysOff());
  {
    ClientProcess c({"on", "1", "3"}, PortEnv());  // the port from the environment
    EXPECT_EQ(c.Wait(), 0) << Transcript(c);
    EXPECT_EQ(c.Out(), "Stat10000000\nStat10100000\n");
    EXPECT_EQ(c.Err(), "");
    const auto bytes = com1.WaitForBytes(10, kDeadline);
    ASSERT_EQ(bytes.size(), 10u);
    EXPECT_EQ(bytes[8].value, 0x08);
    EXPECT_EQ(bytes[9].value, 0x0A);
  }
  {
    ClientProcess c(At({"--json", "toggle", "1", "toggle", "2", "status"}));
    EXPECT_EQ(c.Wait(), 0) << Transcript(c);
    EXPECT_EQ(c.Out(), "{\"relays\":[0,1,1,0,0,0,0,0]}\n");
  }
  {
    // Lines without a reply do not hold the client up, nor print anything.
    ClientProcess c(At({"--password", "QWK", "Bnum3", "TO=0", "status"}));
    EXPECT_EQ(c.Wait(), 0) << Transcript(c);
    EXPECT_EQ(c.Out(),
              "Password/Connection Accepted!\n"
              "relay  1    2    3    4    5    6    7    8\n"
              "state  off  on   on   off  off  off  off  off\n");
  }
  {
    // Typed lines: a CR LF end is one end (else the server would read an empty line and close),
    // and an empty line is not sent.
    ClientProcess c(At({}), {}, "R5On\r\nstatus\n\nGet\n");
    EXPECT_EQ(c.Wait(), 0) << Transcript(c);
    EXPECT_EQ(c.Out(),
              "Stat01101000\n"
              "relay  1    2    3    4    5    6    7    8\n"
              "state  off  on   on   off  on   off  off  off\n"
              "Stat01101000\n");
    EXPECT_EQ(c.Err(), "");
  }
  {
    ClientProcess c(At({"all-off"}));
    EXPECT_EQ(c.Wait(), 0) << Transcript(c);
    EXPECT_EQ(c.Out(),
              "Stat01101000\nStat00101000\nStat00001000\nStat00001000\nStat00000000\n"
              "Stat00000000\nStat00000000\nStat00000000\n");
  }
}

TEST_F(ClientServerTest, PasswordsAndASecondClientThatWaits) {
  ASSERT_NO_FATAL_FAILURE(StartListening({"--session", "5"}));
  ASSERT_NO_FATAL_FAILURE(WaitForRelaysOff());
  {
    ClientProcess c(At({"Get"}), {{"VEXANET_PASSWORD", "qwk"}});
    EXPECT_EQ(c.Wait(), 1) << Transcript(c);
    EXPECT_EQ(c.Out(), "Password/Connection Rejected!\n");
    ASSERT_EQ(c.ErrLines().size(), 1u) << c.Err();
    EXPECT_NE(c.Err().find("rejected the password"), std::string::npos) << c.Err();
  }
  {
    ClientProcess c(At({"--password", "QWK", "Get"}));
    EXPECT_EQ(c.Wait(), 0) << Transcript(c);
    EXPECT_EQ(c.Out(), "Password/Connection Accepted!\nAvailable Time: 5 Minutes\nStat00000000\n");
  }

  // Another client holds the server: the connection is made, the greeting does not come.
  std::optional<e2e::LineClient> holder = e2e::LineClient::Connect(port, kDeadline);
  ASSERT_TRUE(holder);
  ASSERT_EQ(holder->ReadLine(kDeadline), std::optional<std::string>("OK"));
  {
    ClientProcess c(At({"--timeout", "1.5", "Get"}));
    EXPECT_EQ(c.Wait(), 3) << Transcript(c);
    EXPECT_EQ(c.Out(), "");
    const std::vector<std::string> err = c.ErrLines();
    ASSERT_EQ(err.size(), 2u) << c.Err();
    EXPECT_EQ(err[0], "vexanet-client: waiting for the server (another client is connected)");
    EXPECT_NE(err[1].find("no greeting"), std::string::npos) << err[1];
  }
  {
    ClientProcess c(At({"Get"}));
    ASSERT_TRUE(c.WaitForError("waiting for the server")) << Transcript(c);
    ASSERT_TRUE(holder->Send("Close\r\n"));
    EXPECT_EQ(c.Wait(), 0) << Transcript(c);
    EXPECT_EQ(c.Out(), "Stat00000000\n");
  }
}

// ---- Against a fake server ----------------------------------------------------------------------

// One loopback connection served by `script` on a thread of its own; everything the client sent is
// kept.
class FakeServer {
 public:
  class Peer {
   public:
    Peer(int fd, std::string& received) : fd_(fd), received_(received) {}
    bool Send(std::string_view text) {
      return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
             static_cast<ssize_t>(text.size());
    }
    // Reads until what the client sent so far ends with `text`.
    bool WaitFor(std::string_view text) {
      const auto deadline = Clock::now() + kDeadline;
      while (!std::string_view(received_).ends_with(text)) {
        pollfd p{fd_, POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        std::array<char, 256> buf{};
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n <= 0) return false;
        received_.append(buf.data(), static_cast<std::size_t>(n));
      }
      return true;
    }

   private:
    int fd_;
    std::string& received_;
  };

  explicit FakeServer(std::function<void(Peer&)> script)
      : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (!listener_ || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_.get(), 4) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("no loopback listener");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
      pollfd p{listener_.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(kDeadline / 1ms)) <= 0) return;
      UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!conn) return;
      Peer peer(conn.get(), received_);
      script(peer);
    });
  }
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;
  ~FakeServer() { Join(); }

  int port() const { return port_; }
  // Waits for the script to end; then Received holds all the client sent.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  const std::string& Received() const { return received_; }

 private:
  UniqueFd listener_;
  int port_ = 0;
  std::string received_;
  std::thread thread_;
};

TEST(ClientFakeServer, TimeEndsATimedSessionAndAnyLineEndIsRead) {
  FakeServer fake([](FakeServer::Peer& peer) {
    peer.Send("OK\r\n");
    if (!peer.WaitFor("PWDsecret\r\n")) return;
    peer.Send("Password/Connection Accepted!\r\nAvailable Time: 1 Minutes\r\n");
    if (!peer.WaitFor("R1On\r\n")) return;
    peer.Send("Stat10000000\n");  // a bare LF, and next a bare CR
    if (!peer.WaitFor("Get\r\n")) return;
    peer.Send("Stat10000000\r");
    // The minute is up.
    peer.Send("TIME\r\n");
  });
  ClientProcess c(
      {"--host", "127.0.0.1", "--port", std::to_string(fake.port()), "R1On", "Get", "R2On"},
      {{"VEXANET_PASSWORD", "secret"}});
  EXPECT_EQ(c.Wait(), 1) << Transcript(c);
  fake.Join();
  EXPECT_EQ(fake.Received(), "PWDsecret\r\nR1On\r\nGet\r\n");
  EXPECT_EQ(c.Out(),
            "Password/Connection Accepted!\nAvailable Time: 1 Minutes\nStat10000000\n"
            "Stat10000000\nTIME\n");
  ASSERT_EQ(c.ErrLines().size(), 1u) << c.Err();
  EXPECT_NE(c.Err().find("time is up"), std::string::npos) << c.Err();
}

TEST(ClientFakeServer, InteractiveSessionEndsWhenTheServerClosesItWhileTheUserTypes) {
  FakeServer fake([](FakeServer::Peer& peer) {
    peer.Send("OK\r\n");
    if (!peer.WaitFor("Get\r\n")) return;
    peer.Send("Stat00000001\r\n");
    std::this_thread::sleep_for(200ms);  // the client is back at reading typed lines
    peer.Send("CLOSE\r\n");
  });
  // Standard input stays open: the client must not wait for the next typed line.
  ClientProcess c({"--host", "127.0.0.1", "--port", std::to_string(fake.port())}, {}, "Get\n",
                  /*keepInputOpen=*/true);
  EXPECT_EQ(c.Wait(), 1) << Transcript(c);
  EXPECT_EQ(c.Out(), "Stat00000001\nCLOSE\n");
  ASSERT_EQ(c.ErrLines().size(), 1u) << c.Err();
  EXPECT_NE(c.Err().find("closed the session"), std::string::npos) << c.Err();
}

}  // namespace
}  // namespace vexanet::client
