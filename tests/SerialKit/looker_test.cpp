// Pattern watcher over an in-memory port: matching across reads, overlapping starts, timeouts,
// abort from another thread, the ring buffer and the refused inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "SerialKit/SerLooker.h"
#include "streams_fake_port.h"

namespace {

using SerialKit::LookItem;
using SerialKit::SerialIOException;
using SerialKit::SerLooker;
using SerialKit::testing::FakeSerialPort;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

Bytes B(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// The line answers `input`, `piece` bytes per look at the port.
void AnswerInPieces(FakeSerialPort& port, const Bytes& input, size_t piece) {
  for (size_t i = 0; i < input.size(); i += piece) {
    const size_t end = std::min(input.size(), i + piece);
    port.arriveLater(Bytes(input.begin() + static_cast<std::ptrdiff_t>(i),
                           input.begin() + static_cast<std::ptrdiff_t>(end)));
  }
}

TEST(SerLooker, FindsAnswerSendsRequestAndRestoresTimeout) {
  auto port = std::make_shared<FakeSerialPort>();
  port->setTimeoutRxValue(750);
  port->deliver({0x78, 0x4F, 0x4B, 0x55});
  SerLooker looker(port);
  const Bytes request{0x41, 0x54};
  const Bytes ok{0x4F, 0x4B};
  EXPECT_TRUE(looker.waitFor(request, ok, milliseconds(1000)));
  EXPECT_EQ(port->sent(), request);
  EXPECT_EQ(looker.getRcvCount(), 3);
  EXPECT_EQ(looker.getDataItemSighted(), ok);
  EXPECT_EQ(port->pending(), 1u);  // the byte after the match is left on the line
  EXPECT_EQ(port->rxTimeoutsSet(), (std::vector<int32_t>{0, 750}));
}

struct MatchCase {
  const char* name;
  std::vector<std::string> patterns;
  std::string input;
  bool found;
  int32_t rcvCount;  // bytes taken when the match came
  std::string sighted;
};
void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << c.name << " input \"" << c.input << '"';
}

class SerLookerMatch : public ::testing::TestWithParam<std::tuple<MatchCase, size_t>> {};

TEST_P(SerLookerMatch, MatchesWhateverPiecesTheLineDelivers) {
  const auto& [c, piece] = GetParam();
  auto port = std::make_shared<FakeSerialPort>();
  AnswerInPieces(*port, B(c.input), piece);
  SerLooker looker(port);
  looker.setNapTime(1);
  std::vector<LookItem> items(c.patterns.begin(), c.patterns.end());
  const bool found = looker.waitFor(std::string("AT"), items, milliseconds(300));
  EXPECT_EQ(found, c.found);
  if (c.found) {
    EXPECT_EQ(looker.getRcvCount(), c.rcvCount);
    EXPECT_EQ(looker.getDataItemSighted(), B(c.sighted));
  } else {
    EXPECT_EQ(looker.getRcvCount(), static_cast<int32_t>(c.input.size()));
    EXPECT_FALSE(looker.getDataItemSighted().has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(
    SerPatterns, SerLookerMatch,
    ::testing::Combine(
        ::testing::Values(MatchCase{"PlainAfterNoise", {"OK"}, "xOKy", true, 3, "OK"},
                          MatchCase{"OverlappingStart", {"aab"}, "aaab", true, 4, "aab"},
                          MatchCase{"RestartAfterRepeat", {"ab"}, "aab", true, 3, "ab"},
                          MatchCase{"RestartMidPattern", {"abc"}, "ababc", true, 5, "abc"},
                          MatchCase{"SecondPatternWins", {"ERROR", "OK"}, "ERROK", true, 5, "OK"},
                          MatchCase{"FirstInListOnSameByte", {"K", "OK"}, "OK", true, 2, "K"},
                          MatchCase{"BrokenPattern", {"OK"}, "OXK", false, 0, ""}),
        ::testing::Values(size_t{1}, size_t{2}, size_t{64})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             std::to_string(std::get<1>(info.param));
    });

TEST(SerLooker, TextOverloadSendsTextBytes) {
  auto port = std::make_shared<FakeSerialPort>();
  port->deliver(B("\r\nOK\r\n"));
  SerLooker looker(port);
  EXPECT_TRUE(looker.waitFor(std::string("ATZ\r"), std::string("OK"), milliseconds(500)));
  EXPECT_EQ(port->sent(), B("ATZ\r"));
  EXPECT_EQ(looker.getDataItemSighted(), B("OK"));
}

TEST(SerLooker, TimesOutOnSilentLineAndRestoresTimeout) {
  auto port = std::make_shared<FakeSerialPort>();
  port->setTimeoutRxValue(1234);
  SerLooker looker(port);
  const auto start = Clock::now();
  EXPECT_FALSE(looker.waitFor(std::string("AT"), std::string("OK"), milliseconds(100)));
  EXPECT_GE(Clock::now() - start, milliseconds(100));
  EXPECT_EQ(port->timeoutRx(), 1234);
  EXPECT_EQ(looker.getRcvCount(), 0);
}

TEST(SerLooker, ZeroTimeoutStillPausesOnce) {
  auto port = std::make_shared<FakeSerialPort>();
  SerLooker looker(port);
  looker.setNapTime(30);
  const auto start = Clock::now();
  EXPECT_FALSE(looker.waitFor(std::string(), std::string("OK"), milliseconds(0)));
  EXPECT_GE(Clock::now() - start, milliseconds(30));
  EXPECT_EQ(port->count("rxReadyCount"), 1);
}

TEST(SerLooker, AbortFromAnotherThreadEndsTheWaitAndLaterWaits) {
  auto port = std::make_shared<FakeSerialPort>();
  port->setTimeoutRxValue(40);
  SerLooker looker(port);
  std::thread aborter([&] {
    std::this_thread::sleep_for(milliseconds(80));
    looker.abort();
  });
  // A timeout of an hour: only the abort can end this wait in a test's time.
  const bool found = looker.waitFor(std::string("AT"), std::string("OK"), std::chrono::hours(1));
  aborter.join();
  EXPECT_FALSE(found);
  EXPECT_EQ(port->timeoutRx(), 40);

  // Once set, the flag ends every later wait after its first pause...
  const int looksBefore = port->count("rxReadyCount");
  EXPECT_FALSE(looker.waitFor(std::string(), std::string("OK"), std::chrono::hours(1)));
  EXPECT_EQ(port->count("rxReadyCount"), looksBefore + 1);
  // ...unless the pattern has come by then.
  port->deliver(B("OK"));
  EXPECT_TRUE(looker.waitFor(std::string(), std::string("OK"), std::chrono::hours(1)));
}

TEST(SerLooker, HugeTimeoutDoesNotOverflowTheDeadline) {
  auto port = std::make_shared<FakeSerialPort>();
  port->arriveLater({});
  port->arriveLater(B("OK"));
  SerLooker looker(port);
  looker.setNapTime(1);
  EXPECT_TRUE(looker.waitFor(std::string(), std::string("OK"), milliseconds::max()));
}

// --- refused waits ---

TEST(SerLooker, ClosedPortIsRefusedBeforeSending) {
  auto port = std::make_shared<FakeSerialPort>(-1);
  SerLooker looker(port);
  try {
    looker.waitFor(std::string("AT"), std::string("OK"), milliseconds(10));
    FAIL();
  } catch (const SerialIOException& e) {
    EXPECT_STREQ(e.what(), "Port not open");
  }
  EXPECT_TRUE(port->sent().empty());
  EXPECT_TRUE(port->rxTimeoutsSet().empty());
  SerLooker noPort;
  EXPECT_THROW(noPort.waitFor(std::string("AT"), std::string("OK"), milliseconds(10)),
               SerialIOException);
}

TEST(SerLooker, RefusedListLeavesNothingBehind) {
  auto port = std::make_shared<FakeSerialPort>();
  SerLooker looker(port);
  looker.setNapTime(1);
  try {
    looker.waitFor(std::string("AT"), std::vector<LookItem>{"OK", int64_t{5}}, milliseconds(10));
    FAIL();
  } catch (const SerialIOException& e) {
    EXPECT_STREQ(e.what(), "waitFor elements must be String or byte[]");
  }
  EXPECT_THROW(looker.waitFor(std::string("AT"), std::vector<LookItem>{"OK", ""}, milliseconds(10)),
               std::invalid_argument);
  EXPECT_THROW(looker.waitFor(Bytes{1}, Bytes{}, milliseconds(10)), std::invalid_argument);
  EXPECT_TRUE(port->sent().empty());
  EXPECT_TRUE(port->rxTimeoutsSet().empty());
  // "OK" of the refused lists must not count for the next wait.
  port->deliver(B("OK"));
  EXPECT_FALSE(looker.waitFor(std::string(), std::string("XY"), milliseconds(5)));
}

TEST(SerLooker, PortFailureMidWaitPassesThroughAndCleansUp) {
  auto port = std::make_shared<FakeSerialPort>();
  port->setTimeoutRxValue(99);
  port->deliver(B("O"));
  port->failOn("getByte");
  SerLooker looker(port);
  try {
    looker.waitFor(std::string("AT"), std::string("OK"), milliseconds(100));
    FAIL();
  } catch (const SerialIOException& e) {
    EXPECT_STREQ(e.what(), "getByte failed");
  }
  EXPECT_EQ(port->timeoutRx(), 99);
}

TEST(SerLooker, OverstatedCountFeedsNoPhantomBytes) {
  auto port = std::make_shared<FakeSerialPort>();
  port->deliver({0x41});
  port->overstateCount(2);
  SerLooker looker(port);
  looker.setNapTime(1);
  EXPECT_FALSE(looker.waitFor(Bytes{}, Bytes{0x41, 0xFF}, milliseconds(20)));
  EXPECT_EQ(looker.getRcvCount(), 1);
}

// --- ring buffer ---

struct RingCase {
  int32_t size;
  std::string input;
  std::string expected;
};
void PrintTo(const RingCase& c, std::ostream* os) {
  *os << "size " << c.size << " input \"" << c.input << '"';
}

class SerLookerRing : public ::testing::TestWithParam<RingCase> {};

TEST_P(SerLookerRing, GetDataGivesMostRecentBytesOldestFirst) {
  const auto& c = GetParam();
  auto port = std::make_shared<FakeSerialPort>();
  port->deliver(B(c.input));
  SerLooker looker(port, c.size);
  looker.setNapTime(1);
  EXPECT_FALSE(looker.waitFor(std::string(), std::string("#"), milliseconds(5)));
  EXPECT_EQ(looker.getData(), B(c.expected));
}

INSTANTIATE_TEST_SUITE_P(SerRing, SerLookerRing,
                         ::testing::Values(RingCase{4, "123456", "3456"}, RingCase{4, "12", "12"},
                                           RingCase{4, "1234", "1234"},
                                           RingCase{4, "12345678", "5678"},
                                           RingCase{3, "1234567", "567"}, RingCase{4, "", ""}));

TEST(SerLooker, SaveResetOffKeepsCollectingAcrossWaits) {
  auto port = std::make_shared<FakeSerialPort>();
  SerLooker looker(port, 4);
  looker.setSaveReset(false);
  looker.setNapTime(1);
  port->deliver(B("abc"));
  EXPECT_FALSE(looker.waitFor(std::string(), std::string("#"), milliseconds(2)));
  port->deliver(B("de"));
  EXPECT_FALSE(looker.waitFor(std::string(), std::string("#"), milliseconds(2)));
  EXPECT_EQ(looker.getRcvCount(), 5);
  EXPECT_EQ(looker.getData(), B("bcde"));
}

TEST(SerLooker, SmallerSaveBufferKeepsWritesInside) {
  auto port = std::make_shared<FakeSerialPort>();
  SerLooker looker(port, 8);
  looker.setSaveReset(false);
  looker.setNapTime(1);
  port->deliver(B("123456"));
  EXPECT_FALSE(looker.waitFor(std::string(), std::string("#"), milliseconds(2)));
  looker.setSaveData(4);  // the write position 6 lies past the new end
  port->deliver(B("abc"));
  EXPECT_FALSE(looker.waitFor(std::string(), std::string("#"), milliseconds(2)));
  EXPECT_EQ(looker.getData(), (Bytes{0, 'a', 'b', 'c'}));
}

TEST(SerLooker, SavingStopsAtZeroAndBufferStays) {
  auto port = std::make_shared<FakeSerialPort>();
  SerLooker looker(port);
  looker.setNapTime(1);
  EXPECT_THROW(looker.getData(), SerialIOException);
  EXPECT_THROW(looker.setSaveData(-1), std::invalid_argument);
  looker.setSaveData(4);
  port->deliver(B("ab"));
  EXPECT_FALSE(looker.waitFor(std::string(), std::string("#"), milliseconds(2)));
  looker.setSaveData(0);
  looker.setSaveReset(false);
  port->deliver(B("cd"));
  EXPECT_FALSE(looker.waitFor(std::string(), std::string("#"), milliseconds(2)));
  EXPECT_EQ(looker.getRcvCount(), 4);
  EXPECT_EQ(looker.getData(), (Bytes{'a', 'b', 0, 0}));
}

}  // namespace
