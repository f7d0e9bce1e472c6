// Loopback clients against the real server core, the serial line on a pseudo-terminal and a
// recording window.
#include <dirent.h>

#include "ServerHarness.h"
#include "server/Connection.h"
#include "server/ServerSocket.h"
#include "server/TimeOut.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

class Session : public ServerFixture {
 protected:
  // A core whose session "minute" lasts the given time.
  void RestartWithMinute(std::chrono::milliseconds minute) {
    Stop();
    ServerTimings timings;
    timings.minute = minute;
    Start("COM1", 0, true, timings);
  }
  // An accepted password line in a session of one (shortened) minute.
  static void AuthenticateTimed(LineClient& c) {
    c.SendLine("PWDQWK");
    EXPECT_EQ(c.ReadLine(), "Password/Connection Accepted!");
    EXPECT_EQ(c.ReadLine(), "Available Time: 1 Minutes");
  }
};

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

}  // namespace

TEST_F(Session, TypicalExchange) {
  settings_.to.store(5);
  auto c = Connect();
  EXPECT_TRUE(StatusBecomes("Client Connection Accepted!") || SessionConnected());
  c->SendLine("PWDQWK");
  EXPECT_EQ(c->ReadLine(), "Password/Connection Accepted!");
  EXPECT_EQ(c->ReadLine(), "Available Time: 5 Minutes");
  EXPECT_TRUE(WaitUntil([&] { return core().connectthread()->timed(); }));
  c->SendLine("R1On");
  EXPECT_EQ(c->ReadLine(), "Stat10000000");
  EXPECT_EQ(line_.Read(1), std::vector<uint8_t>{0x08});
  c->SendLine("Get");
  EXPECT_EQ(c->ReadLine(), "Stat10000000");
  auto first = core().connectthread();
  c->SendLine("Close");
  EXPECT_TRUE(c->ClosedByServer());
  EXPECT_TRUE(StatusBecomes("Awaiting Client Connection"));
  EXPECT_TRUE(NextSessionWaiting(first));
  EXPECT_FALSE(first->timed());
  EXPECT_TRUE(line_.Drain(200ms).empty());  // "Get" sent no byte
  auto next = Connect();                    // the next client is accepted without the operator
  next->SendLine("Get");
  EXPECT_EQ(next->ReadLine(), "Stat10000000");
}

TEST_F(Session, ClientWithoutPasswordIsServed) {
  StdoutCapture out;
  auto c = Connect();
  c->SendLine("R3On");
  EXPECT_EQ(c->ReadLine(), "Stat00100000");
  EXPECT_EQ(line_.Read(1), std::vector<uint8_t>{0x0A});
  EXPECT_TRUE(WaitUntil([&] { return window().relays[2] == 1; }));
  EXPECT_FALSE(core().connectthread()->timed());
  EXPECT_FALSE(out.Contains("PWD OK"));
}

TEST_F(Session, WrongPasswordEndsTheSession) {
  auto c = Connect();
  auto first = core().connectthread();
  c->SendLine("PWD QWK");  // the blank is part of the compared text
  EXPECT_EQ(c->ReadLine(), "Password/Connection Rejected!");
  EXPECT_EQ(c->ReadLine(), "CLOSE");
  EXPECT_TRUE(c->ClosedByServer());
  EXPECT_TRUE(NextSessionWaiting(first));
  auto next = Connect();
  next->SendLine("PWDQWK");
  EXPECT_EQ(next->ReadLine(), "Password/Connection Accepted!");
  // A later wrong password line also ends an authorised session.
  next->SendLine("PWDqwk");
  EXPECT_EQ(next->ReadLine(), "Password/Connection Rejected!");
  EXPECT_EQ(next->ReadLine(), "CLOSE");
  EXPECT_TRUE(next->ClosedByServer());
}

TEST_F(Session, PasswordAloneMatchesOnlyAnEmptyPassword) {
  auto c = Connect();
  c->SendLine("PWD");
  EXPECT_EQ(c->ReadLine(), "Password/Connection Rejected!");
  EXPECT_EQ(c->ReadLine(), "CLOSE");
  settings_.password.set("");
  ASSERT_TRUE(WaitUntil([&] { return !SessionConnected(); }));
  auto d = Connect();
  d->SendLine("PWD");
  EXPECT_EQ(d->ReadLine(), "Password/Connection Accepted!");
  EXPECT_TRUE(d->Silent());
}

TEST_F(Session, CloseWordsAndTheirNearMisses) {
  StdoutCapture out;
  auto c = Connect();
  for (const char* nearMiss : {"close", "CLOSE", "Close ", " Close", "kill", "KILL ", "Stat",
                               "Bnum3", "r1on", "R1ON", "R9On", "x", "ab"}) {
    c->SendLine(nearMiss);
    EXPECT_TRUE(c->Silent(100ms)) << nearMiss;
  }
  EXPECT_TRUE(line_.Drain(100ms).empty());
  auto first = core().connectthread();
  c->SendLine("KILL");
  EXPECT_TRUE(c->ClosedByServer());
  EXPECT_TRUE(NextSessionWaiting(first));
  EXPECT_TRUE(WaitUntil([&] { return out.Contains("Server Loop Close"); }));
  // KILL ended only the session.
  auto next = Connect();
  next->SendLine("Close");
  EXPECT_TRUE(next->ClosedByServer());
}

TEST_F(Session, EmptyLineAndEndOfStream) {
  auto c = Connect();
  c->Send("\r\n");
  EXPECT_TRUE(c->ClosedByServer());
  EXPECT_TRUE(StatusBecomes("Awaiting Client Connection"));

  // Text before the end of the stream without a terminator is a last line.
  auto d = Connect();
  d->Send("R2On");
  ::shutdown(d->fd(), SHUT_WR);
  EXPECT_EQ(d->ReadLine(), "Stat01000000");
  EXPECT_EQ(line_.Read(1), std::vector<uint8_t>{0x09});
  EXPECT_TRUE(d->ClosedByServer());
}

TEST_F(Session, CarriageReturnAndLineFeedSplitAcrossReads) {
  auto c = Connect();
  c->Send("Get\r");
  EXPECT_EQ(c->ReadLine(), "Stat00000000");
  Pump(100ms);  // the LF arrives in a read of its own
  c->Send("\nGet\n");
  EXPECT_EQ(c->ReadLine(), "Stat00000000");
  EXPECT_TRUE(c->Silent());
  EXPECT_TRUE(SessionConnected());
}

TEST_F(Session, SessionTimeSetting) {
  auto c = Connect();
  c->SendLine("TO=3");
  EXPECT_TRUE(c->Silent(100ms));
  EXPECT_EQ(settings_.to.load(), 3);
  c->SendLine("PWDQWK");
  EXPECT_EQ(c->ReadLine(), "Password/Connection Accepted!");
  EXPECT_EQ(c->ReadLine(), "Available Time: 3 Minutes");
  EXPECT_TRUE(WaitUntil([&] { return core().connectthread()->timed(); }));
  // A later "TO=" changes the setting, not the running timer.
  c->SendLine("TO=0");
  EXPECT_TRUE(c->Silent(100ms));
  EXPECT_EQ(settings_.to.load(), 0);
  EXPECT_TRUE(WaitUntil([&] { return core().connectthread()->timed(); }));
  c->SendLine("PWDQWK");
  EXPECT_EQ(c->ReadLine(), "Password/Connection Accepted!");
  EXPECT_TRUE(c->Silent(100ms));  // no time line when the setting is 0
  c->SendLine("TO=-4");
  c->SendLine("PWDQWK");
  EXPECT_EQ(c->ReadLine(), "Password/Connection Accepted!");
  EXPECT_TRUE(c->Silent(100ms));
  EXPECT_EQ(settings_.to.load(), -4);
}

TEST_F(Session, MalformedSessionTimesLeaveTheSettingAlone) {
  settings_.to.store(7);
  auto c = Connect();
  for (const char* bad : {"TO=", "TO=abc", "TO=+5", "TO= 5", "TO=5 ", "TO=2147483648",
                          "TO=-2147483649", "TO=1e3", "TO=0x10", "TO=--1"}) {
    c->SendLine(bad);
    EXPECT_TRUE(c->Silent(50ms)) << bad;
    EXPECT_EQ(settings_.to.load(), 7) << bad;
  }
  c->SendLine("TO=2147483647");
  c->SendLine("Get");
  EXPECT_EQ(c->ReadLine(), "Stat00000000");
  EXPECT_EQ(settings_.to.load(), 2147483647);
}

TEST_F(Session, OperatorCloseWhileConnectedAndWhileWaiting) {
  StdoutCapture out;
  // While the session waits, the operator's close does nothing and shows nothing.
  auto waiting = core().connectthread();
  core().CommandB6();
  Pump(100ms);
  EXPECT_EQ(core().connectthread(), waiting);
  EXPECT_EQ(Status(), "Awaiting Client Connection");

  auto c = Connect();
  core().CommandB6();
  EXPECT_TRUE(c->ClosedByServer());  // nothing is sent to the client
  EXPECT_TRUE(out.Contains("Button close"));
  EXPECT_TRUE(out.Contains("Connection reset"));
  EXPECT_TRUE(NextSessionWaiting(waiting));
  EXPECT_TRUE(WaitUntil([&] { return !window().connectEnabled; }));
  EXPECT_TRUE(WaitUntil([&] { return out.Contains("Server Loop Close"); }));
  // Exactly one new session waits, and it serves the next client.
  auto next = Connect();
  next->SendLine("Get");
  EXPECT_EQ(next->ReadLine(), "Stat00000000");
}

TEST_F(Session, RelaySwitchedElsewhereReachesTheConnectedClient) {
  auto c = Connect();
  std::thread operatorWorker([&] { board().set(5, 1); });  // as the window's worker does
  EXPECT_EQ(c->ReadLine(), "Stat00000100");
  operatorWorker.join();
  EXPECT_EQ(line_.Read(1), std::vector<uint8_t>{0x0D});
}

TEST_F(Session, TimerExpirySendsTimeAndClosesOnlyItsOwnSession) {
  RestartWithMinute(400ms);
  StdoutCapture out;
  settings_.to.store(1);
  auto c = Connect();
  auto first = core().connectthread();
  AuthenticateTimed(*c);
  EXPECT_EQ(c->ReadLine(), "TIME");
  EXPECT_TRUE(c->ClosedByServer());
  EXPECT_TRUE(NextSessionWaiting(first));
  EXPECT_TRUE(out.Contains("Timeout close"));
  // The next, untimed client is not touched by the earlier timer.
  auto next = Connect();
  Pump(900ms);
  next->SendLine("Get");
  EXPECT_EQ(next->ReadLine(), "Stat00000000");
}

TEST_F(Session, EndingASessionCancelsItsTimer) {
  RestartWithMinute(400ms);
  StdoutCapture out;
  settings_.to.store(1);
  auto c = Connect();
  AuthenticateTimed(*c);
  c->SendLine("Close");
  EXPECT_TRUE(c->ClosedByServer());
  settings_.to.store(0);
  auto next = Connect();
  Pump(1000ms);
  EXPECT_FALSE(out.Contains("Timeout close"));
  next->SendLine("Get");
  EXPECT_EQ(next->ReadLine(), "Stat00000000");
}

TEST_F(Session, SecondPasswordLineRestartsTheTimer) {
  RestartWithMinute(600ms);
  StdoutCapture out;
  settings_.to.store(1);
  auto c = Connect();
  AuthenticateTimed(*c);
  Pump(400ms);
  AuthenticateTimed(*c);
  // One expiry only: the first timer was cancelled.
  EXPECT_EQ(c->ReadLine(), "TIME");
  EXPECT_TRUE(c->ClosedByServer());
  Pump(300ms);
  const std::string text = out.Text();
  EXPECT_EQ(text.find("Timeout close"), text.rfind("Timeout close"));
}

TEST_F(Session, OverlongLineEndsTheSession) {
  StdoutCapture out;
  auto c = Connect();
  auto first = core().connectthread();
  c->Send(std::string(70000, 'x'));
  EXPECT_TRUE(c->ClosedByServer());
  EXPECT_TRUE(NextSessionWaiting(first));
  EXPECT_NE(out.Text().find("longer than 65536 bytes"), std::string::npos);
  auto next = Connect();
  next->SendLine("Get");
  EXPECT_EQ(next->ReadLine(), "Stat00000000");
}

TEST(ConnectionWriter, ClientThatNeverReadsCannotHoldAWriter) {
  ServerSocket ss;
  std::error_code ec;
  ASSERT_TRUE(ss.Open(0, ec));
  LineClient client(ss.Port());
  ASSERT_TRUE(client.ok());
  auto socket = ss.Accept(ec);
  ASSERT_TRUE(socket);
  Connection conn(std::move(*socket), 200ms);
  // The client never reads: sooner or later a line cannot be sent in time and is dropped.
  const std::string line(1000, 'x');
  int written = 0;
  while (conn.WriteLine(line) && written < 100000) ++written;
  EXPECT_LT(written, 100000);
  // From then on the writer counts as broken: lines are dropped without waiting again.
  EXPECT_TRUE(conn.Broken());
  EXPECT_FALSE(conn.WriteLine("Stat00000000"));
}

TEST_F(Session, ManySessionsLeaveNoThreadsOrDescriptorsBehind) {
  auto cycle = [&] {
    auto previous = core().connectthread();
    auto c = Connect();
    c->SendLine("Get");
    EXPECT_EQ(c->ReadLine(), "Stat00000000");
    c->SendLine("Close");
    EXPECT_TRUE(c->ClosedByServer());
    EXPECT_TRUE(NextSessionWaiting(previous));
  };
  cycle();
  cycle();
  Pump(100ms);
  const int threads = CountEntries("/proc/self/task");
  const int fds = CountEntries("/proc/self/fd");
  for (int i = 0; i < 60; ++i) cycle();
  ASSERT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") <= threads; }));
  EXPECT_LE(CountEntries("/proc/self/task"), threads);
  EXPECT_LE(CountEntries("/proc/self/fd"), fds);
}

TEST(TimeOutCount, SixtyFourBitMilliseconds) {
  const ServerTimings real;
  EXPECT_EQ(real.SessionTime(1), 62000);
  EXPECT_EQ(real.SessionTime(35791), 2147462000);
  EXPECT_EQ(real.SessionTime(35792), int64_t{35792} * 60000 + 2000);  // not cut short
  EXPECT_EQ(real.SessionTime(2147483647), int64_t{2147483647} * 60000 + 2000);
  ServerTimings shortened;
  shortened.minute = 600ms;
  EXPECT_EQ(shortened.SessionTime(2), 1220);
}

TEST(SilenceWatchTest, EndsOnceNoDeadlineIsLeftAndOutlivesALostRace) {
  using Reason = SilenceWatch::Reason;
  std::mutex m;
  std::vector<Reason> calls;
  auto record = [&](bool closes) {
    return [&, closes](Reason r) {
      std::lock_guard lock(m);
      calls.push_back(r);
      return closes || r == Reason::Idle;
    };
  };
  auto recorded = [&] {
    std::lock_guard lock(m);
    return calls;
  };

  // The password in time and no idle limit: nothing left to watch, the thread ends by itself.
  {
    SilenceWatch w(10s, std::nullopt, record(true));
    w.start();
    w.PasswordAccepted();
    EXPECT_TRUE(WaitUntil([&] { return w.finished(); }));
  }
  // Stopped: it ends without a call.
  {
    SilenceWatch w(10s, 10s, record(true));
    w.start();
    w.stop();
    EXPECT_TRUE(WaitUntil([&] { return w.finished(); }));
  }
  EXPECT_TRUE(recorded().empty());

  // The password deadline passed but the session was not closed (the password came in the same
  // instant): the idle limit still holds.
  SilenceWatch w(0ms, 100ms, record(false));
  w.start();
  EXPECT_TRUE(WaitUntil([&] { return w.finished(); }));
  EXPECT_EQ(recorded(), (std::vector<Reason>{Reason::NoPassword, Reason::Idle}));
}
