// Byte streams over an in-memory port: attaching, waiting reads, chunked reads, writes.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "SerialKit/SerInputStream.h"
#include "SerialKit/SerOutputStream.h"
#include "streams_fake_port.h"

namespace {

using SerialKit::SerialIOException;
using SerialKit::SerInputStream;
using SerialKit::SerOutputStream;
using SerialKit::testing::FakeSerialPort;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Runs f on another thread after a short delay; joined when the helper goes out of scope.
class Later {
 public:
  Later(milliseconds delay, std::function<void()> f)
      : t_([delay, f = std::move(f)] {
          std::this_thread::sleep_for(delay);
          f();
        }) {}
  ~Later() { t_.join(); }

 private:
  std::thread t_;
};

// --- attaching ---

struct AttachCase {
  const char* name;
  std::function<void(std::shared_ptr<FakeSerialPort>)> attach;
};
void PrintTo(const AttachCase& c, std::ostream* os) {
  *os << c.name;
}

class SerStreamAttach : public ::testing::TestWithParam<AttachCase> {};

TEST_P(SerStreamAttach, ClosedPortIsRefusedAndLeftUntouched) {
  auto port = std::make_shared<FakeSerialPort>(-1);
  try {
    GetParam().attach(port);
    FAIL() << "no error";
  } catch (const SerialIOException& e) {
    EXPECT_STREQ(e.what(), "Port not open");
  }
  EXPECT_EQ(port->count("setTimeoutRx") + port->count("setTimeoutTx"), 0);
}

TEST_P(SerStreamAttach, MissingPortIsRefused) {
  EXPECT_THROW(GetParam().attach(nullptr), SerialIOException);
}

INSTANTIATE_TEST_SUITE_P(SerStreams, SerStreamAttach,
                         ::testing::Values(AttachCase{"Input", [](auto p) { SerInputStream s(p); }},
                                           AttachCase{"Output",
                                                      [](auto p) { SerOutputStream s(p); }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SerInputStream, AttachingSetsReceiveTimeoutToZero) {
  auto port = std::make_shared<FakeSerialPort>(3);
  SerInputStream in(port);
  EXPECT_EQ(port->rxTimeoutsSet(), std::vector<int32_t>{0});
  EXPECT_TRUE(port->txTimeoutsSet().empty());
}

TEST(SerOutputStream, AttachingSetsLargestTransmitTimeout) {
  auto port = std::make_shared<FakeSerialPort>(0);
  SerOutputStream out(port);
  EXPECT_EQ(port->txTimeoutsSet(), std::vector<int32_t>{2147483647});
  EXPECT_TRUE(port->rxTimeoutsSet().empty());
}

TEST(SerStreams, TimeoutFailurePassesThrough) {
  auto port = std::make_shared<FakeSerialPort>(0);
  port->failOn("setTimeoutRx");
  port->failOn("setTimeoutTx");
  EXPECT_THROW({ SerInputStream in(port); }, SerialIOException);
  EXPECT_THROW({ SerOutputStream out(port); }, SerialIOException);
}

// --- reading ---

TEST(SerInputStream, ReadByteWaitsForTheByteAndPollsWithPauses) {
  auto port = std::make_shared<FakeSerialPort>();
  SerInputStream in(port);
  const auto start = Clock::now();
  int32_t got = -2;
  {
    Later deliver(milliseconds(120), [&] { port->deliver({0xFF}); });
    got = in.read();
  }
  const auto waitedMs = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(got, 255);
  EXPECT_GE(port->count("getByte"), 2);
  // Each unanswered attempt is followed by a pause of at least 20 ms: no busy polling.
  EXPECT_LE(port->count("getByte"), waitedMs / 20 + 1);
}

TEST(SerInputStream, ReadArrayGetsWhatIsWaiting) {
  auto port = std::make_shared<FakeSerialPort>();
  SerInputStream in(port);
  port->deliver({1, 2, 3});
  Bytes buf(64, 0xEE);
  EXPECT_EQ(in.read(buf), 3);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4), (Bytes{1, 2, 3, 0xEE}));
}

TEST(SerInputStream, ReadArrayTakesChunksAsTheyCome) {
  auto port = std::make_shared<FakeSerialPort>();
  SerInputStream in(port);
  Bytes first(64), second(36);
  for (int i = 0; i < 64; ++i) first[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 36; ++i) second[i] = static_cast<uint8_t>(100 + i);
  port->deliver(first);
  port->deliver(second);
  EXPECT_EQ(in.available(), 100);
  Bytes buf(64);
  EXPECT_EQ(in.read(buf), 64);
  EXPECT_EQ(buf, first);
  EXPECT_EQ(in.read(buf), 36);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 36), second);
  EXPECT_EQ(buf[36], 36);  // the rest still holds the first chunk
  EXPECT_EQ(in.available(), 0);
}

TEST(SerInputStream, ReadArrayWaitsWhileNothingCame) {
  auto port = std::make_shared<FakeSerialPort>();
  SerInputStream in(port);
  Bytes buf(8);
  int32_t n = 0;
  {
    Later deliver(milliseconds(60), [&] { port->deliver({7, 8}); });
    n = in.read(buf);
  }
  EXPECT_EQ(n, 2);
  EXPECT_EQ(buf[0], 7);
  EXPECT_GE(port->count("getData"), 2);
}

TEST(SerInputStream, ReadIntoEmptyArrayReturnsAtOnce) {
  auto port = std::make_shared<FakeSerialPort>();
  SerInputStream in(port);
  EXPECT_EQ(in.read(std::span<uint8_t>()), 0);
  EXPECT_EQ(port->count("getData"), 0);
}

TEST(SerInputStream, ReadWithOffsetStoresFromOffset) {
  auto port = std::make_shared<FakeSerialPort>();
  SerInputStream in(port);
  port->deliver({1, 2, 3, 4, 5});
  Bytes buf(6, 0);
  EXPECT_EQ(in.read(buf, 2, 3), 3);
  EXPECT_EQ(buf, (Bytes{0, 0, 1, 2, 3, 0}));
  EXPECT_EQ(port->pending(), 2u);
}

TEST(SerInputStream, ReadWithoutArrayDropsTheBytes) {
  auto port = std::make_shared<FakeSerialPort>();
  SerInputStream in(port);
  port->deliver({1, 2, 3});
  EXPECT_EQ(in.read(std::span<uint8_t>(), 0, 2), 0);
  EXPECT_EQ(port->pending(), 1u);
}

struct RangeCase {
  int32_t offset, length;
};
void PrintTo(const RangeCase& c, std::ostream* os) {
  *os << "offset " << c.offset << ", length " << c.length;
}

class SerStreamRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(SerStreamRange, BadRangeIsRefusedBeforeAnyTransfer) {
  auto port = std::make_shared<FakeSerialPort>();
  SerInputStream in(port);
  SerOutputStream out(port);
  port->deliver({1, 2, 3});
  Bytes buf(4);
  EXPECT_THROW(in.read(buf, GetParam().offset, GetParam().length), std::out_of_range);
  EXPECT_EQ(port->pending(), 3u);
  EXPECT_THROW(out.write(buf, GetParam().offset, GetParam().length), std::out_of_range);
  EXPECT_TRUE(port->sent().empty());
}

INSTANTIATE_TEST_SUITE_P(SerStreams, SerStreamRange,
                         ::testing::Values(RangeCase{-1, 2}, RangeCase{0, -1}, RangeCase{2, 3},
                                           RangeCase{5, 0}, RangeCase{1, 2147483647},
                                           RangeCase{2147483647, 1}));

TEST(SerInputStream, CloseClosesThePort) {
  auto port = std::make_shared<FakeSerialPort>();
  SerInputStream in(port);
  in.close();
  EXPECT_EQ(port->count("close"), 1);
  EXPECT_EQ(port->getPortNum(), -1);
}

TEST(SerInputStream, PortErrorsPassThroughUnchanged) {
  auto port = std::make_shared<FakeSerialPort>();
  SerInputStream in(port);
  port->failOn("rxReadyCount");
  port->failOn("getData");
  Bytes buf(4);
  try {
    in.available();
    FAIL();
  } catch (const SerialIOException& e) {
    EXPECT_STREQ(e.what(), "rxReadyCount failed");
  }
  EXPECT_THROW(in.read(buf), SerialIOException);
}

// --- writing ---

TEST(SerOutputStream, WriteByteSendsLowEightBits) {
  auto port = std::make_shared<FakeSerialPort>();
  SerOutputStream out(port);
  out.write(0x141);
  out.write(-1);
  EXPECT_EQ(port->sent(), (Bytes{0x41, 0xFF}));
  EXPECT_EQ(port->count("putByte"), 2);
}

TEST(SerOutputStream, WriteArraySendsAllAtOnce) {
  auto port = std::make_shared<FakeSerialPort>();
  SerOutputStream out(port);
  out.write(Bytes{0x0A, 0xFF});
  EXPECT_EQ(port->putDataCalls(), std::vector<Bytes>{(Bytes{0x0A, 0xFF})});
}

TEST(SerOutputStream, WriteRangeSendsJustThatRange) {
  auto port = std::make_shared<FakeSerialPort>();
  SerOutputStream out(port);
  const Bytes data{10, 20, 30};
  out.write(data, 1, 2);
  EXPECT_EQ(port->putDataCalls(), std::vector<Bytes>{(Bytes{20, 30})});
}

TEST(SerOutputStream, FlushWaitsUntilNothingIsLeftToSend) {
  auto port = std::make_shared<FakeSerialPort>();
  SerOutputStream out(port);
  port->scriptTxBufCount({5, 2, 1, -1, 7});
  out.flush();
  EXPECT_EQ(port->count("txBufCount"), 4);
  out.flush();  // 7, then 0
  EXPECT_EQ(port->count("txBufCount"), 6);
}

TEST(SerOutputStream, SendFailurePassesThroughUnchanged) {
  auto port = std::make_shared<FakeSerialPort>();
  SerOutputStream out(port);
  port->failOn("putData");
  try {
    out.write(Bytes{1});
    FAIL();
  } catch (const SerialIOException& e) {
    EXPECT_STREQ(e.what(), "putData failed");
  }
}

}  // namespace
