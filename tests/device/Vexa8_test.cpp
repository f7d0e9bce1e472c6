// The relay board driver on a pseudo-terminal through the real server core: command bytes,
// recorded states, selectors and status lines.
#include <algorithm>

#include "ServerHarness.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

class Board : public ServerFixture {
 protected:
  void TearDown() override {
    ServerFixture::TearDown();
    Vexa8::boardnum.store(0);
  }
};

}  // namespace

TEST(Vexa8Wire, CommandByteAndStatusText) {
  EXPECT_EQ(Vexa8::CommandByte(0, 1, 2), 0x0A);
  EXPECT_EQ(Vexa8::CommandByte(0, 0, 7), 0x07);
  EXPECT_EQ(Vexa8::CommandByte(3, 1, 0), 0x38);
  EXPECT_EQ(Vexa8::CommandByte(7, 1, 7), 0x7F);
  EXPECT_EQ(Vexa8::CommandByte(17, 1, 0), 0x18);  // kept to 8 bits
  EXPECT_EQ(Vexa8::StatusText({1, 0, 0, 0, 0, 0, 0, 0}), "Stat10000000");
  EXPECT_EQ(Vexa8::StatusText({0, 0, 0, 0, 0, 0, 0, 0}), "Stat00000000");
}

TEST_F(Board, RelayWordsSendOneByteEach) {
  Device& dev = *Vexa::cam.load();
  EXPECT_TRUE(dev.ParseNetCommand("R5On"));
  EXPECT_EQ(line_.Read(1), std::vector<uint8_t>{0x0C});
  EXPECT_TRUE(StatusBecomes("Stat00001000"));
  EXPECT_TRUE(WaitUntil([&] { return gui().r[4]->currentIndex() == 1; }));
  // The same state again still sends the byte.
  EXPECT_TRUE(dev.ParseNetCommand("R5On"));
  EXPECT_EQ(line_.Read(1), std::vector<uint8_t>{0x0C});
  EXPECT_TRUE(dev.ParseNetCommand("R8Off"));
  EXPECT_EQ(line_.Read(1), std::vector<uint8_t>{0x07});
  EXPECT_TRUE(dev.ParseNetCommand("Get"));
  EXPECT_FALSE(dev.ParseNetCommand("Bnum3"));  // board words are off
  EXPECT_FALSE(dev.ParseNetCommand("Stat"));
  EXPECT_FALSE(dev.ParseNetCommand(""));
  EXPECT_TRUE(line_.Drain(300ms).empty());
  EXPECT_EQ(Vexa8::boardnum.load(), 0);
  EXPECT_EQ(board().stat(), "Stat00001000");
}

TEST_F(Board, BoardAddressInTheCommandByte) {
  board().setboardnum(3);
  EXPECT_TRUE(line_.Drain(100ms).empty());  // no traffic for the address alone
  board().set(0, 1);
  EXPECT_EQ(line_.Read(1), std::vector<uint8_t>{0x38});
  board().setboardnum(7);
  board().set(7, 1);
  EXPECT_EQ(line_.Read(1), std::vector<uint8_t>{0x7F});
  EXPECT_TRUE(StatusBecomes("Stat10000001"));
}

TEST_F(Board, DevInitSwitchesEveryRelayOffInOrder) {
  for (int i = 0; i < 8; ++i) board().set(i, 1);
  line_.Read(8);
  board().DevInit();
  EXPECT_EQ(line_.Read(8), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(board().stat(), "Stat00000000");
  EXPECT_TRUE(WaitUntil([&] {
    for (auto* r : gui().r) {
      if (r->currentIndex() != 0) return false;
    }
    return true;
  }));
}

TEST_F(Board, ConcurrentSwitchesEachSendTheirOwnByte) {
  std::thread a([&] {
    for (int i = 0; i < 4; ++i) board().set(0, 1);
  });
  std::thread b([&] {
    for (int i = 0; i < 4; ++i) board().set(1, 0);
  });
  const auto bytes = line_.Read(8, 10s);
  a.join();
  b.join();
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0x08), 4);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0x01), 4);
}
