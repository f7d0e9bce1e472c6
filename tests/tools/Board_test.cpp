// The simulated board's logic: decoding, relay state, output formats, line-setting check, link.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PtyPair.h"
#include "TempDir.h"
#include "vexanet-board/Board.h"
#include "vexanet-board/Link.h"

namespace {

using namespace vexanet::board;
using namespace std::chrono;
using namespace std::chrono_literals;

// ---- decoding -------------------------------------------------------------------------------

struct DecodeCase {
  std::uint8_t byte;
  int board, relay, state;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << "0x" << std::hex << static_cast<int>(c.byte);
}

class BoardDecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(BoardDecodeTest, SplitsAddressStateAndRelay) {
  const DecodeCase& c = GetParam();
  EXPECT_EQ(Decode(c.byte), (RelayCommand{c.byte, c.board, c.relay, c.state}));
}

INSTANTIATE_TEST_SUITE_P(Bytes, BoardDecodeTest,
                         testing::Values(DecodeCase{0x0B, 0, 4, 1},  // "R4On" on board 0
                                         DecodeCase{0x38, 3, 1, 1}, DecodeCase{0x7F, 7, 8, 1},
                                         DecodeCase{0x00, 0, 1, 0}, DecodeCase{0x07, 0, 8, 0},
                                         DecodeCase{0x0A, 0, 3, 1}, DecodeCase{0x10, 1, 1, 0},
                                         DecodeCase{0xA5, 10, 6, 0}, DecodeCase{0xF8, 15, 1, 1},
                                         DecodeCase{0xFF, 15, 8, 1}));

TEST(BoardDecode, EveryByteIsBoardTimes16PlusStateTimes8PlusRelayIndex) {
  for (int b = 0; b < 256; ++b) {
    const RelayCommand c = Decode(static_cast<std::uint8_t>(b));
    ASSERT_GE(c.relay, 1);
    ASSERT_LE(c.relay, 8);
    ASSERT_EQ(c.board * 16 + c.state * 8 + (c.relay - 1), b);
  }
}

// ---- relay state per board ------------------------------------------------------------------

TEST(BoardBank, KeepsEachBoardApart) {
  BoardBank bank;
  EXPECT_TRUE(bank.AddressedBoards().empty());

  EXPECT_TRUE(bank.Apply(Decode(0x0B)));  // board 0 R4 on
  EXPECT_TRUE(bank.Apply(Decode(0x38)));  // board 3 R1 on
  EXPECT_TRUE(bank.Apply(Decode(0x3B)));  // board 3 R4 on
  EXPECT_TRUE(bank.Apply(Decode(0x30)));  // board 3 R1 off
  EXPECT_EQ(bank.AddressedBoards(), (std::vector<int>{0, 3}));

  EXPECT_TRUE(bank.RelayOn(0, 4));
  EXPECT_FALSE(bank.RelayOn(0, 1));
  EXPECT_FALSE(bank.RelayOn(3, 1));
  EXPECT_TRUE(bank.RelayOn(3, 4));
  EXPECT_FALSE(bank.Addressed(1));
  EXPECT_EQ(bank.Received(), 4u);
}

TEST(BoardBank, ReportsOnlyRealChanges) {
  BoardBank bank;
  EXPECT_FALSE(bank.Apply(Decode(0x75)));  // board 7 R6 off: already off, but board 7 is shown
  EXPECT_TRUE(bank.Addressed(7));
  EXPECT_TRUE(bank.Apply(Decode(0x7D)));   // R6 on
  EXPECT_FALSE(bank.Apply(Decode(0x7D)));  // again: no change
  EXPECT_TRUE(bank.RelayOn(7, 6));
  EXPECT_TRUE(bank.Apply(Decode(0x75)));  // off
  EXPECT_FALSE(bank.RelayOn(7, 6));
  EXPECT_EQ(bank.Received(), 4u);
}

TEST(BoardBank, AllEightRelaysOfABoardAreIndependent) {
  BoardBank bank;
  for (std::uint8_t b = 0x08; b <= 0x0F; ++b) bank.Apply(Decode(b));  // all on, board 0
  bank.Apply(Decode(0x02));                                           // R3 off
  bank.Apply(Decode(0x07));                                           // R8 off
  for (int r = 1; r <= 8; ++r) EXPECT_EQ(bank.RelayOn(0, r), r != 3 && r != 8) << "relay " << r;
  EXPECT_FALSE(bank.RelayOn(0, 0));
  EXPECT_FALSE(bank.RelayOn(0, 9));
  EXPECT_FALSE(bank.RelayOn(16, 1));
}

// ---- output formats -------------------------------------------------------------------------

system_clock::time_point At(int y, unsigned mo, unsigned d, hours h, minutes mi, seconds s,
                            milliseconds ms) {
  return sys_days{year{y} / month{mo} / day{d}} + h + mi + s + ms;
}

TEST(BoardFormat, UtcTimeWithMilliseconds) {
  EXPECT_EQ(FormatUtcTime(At(2024, 5, 1, 12h, 34min, 56s, 789ms)), "2024-05-01T12:34:56.789Z");
  EXPECT_EQ(FormatUtcTime(At(1999, 12, 31, 23h, 59min, 59s, 5ms)), "1999-12-31T23:59:59.005Z");
  // Truncated, not rounded: 59.9996 s must not become the next minute.
  EXPECT_EQ(FormatUtcTime(At(2024, 1, 1, 0h, 0min, 59s, 999ms) + 600us),
            "2024-01-01T00:00:59.999Z");
}

TEST(BoardFormat, JsonLineCountsRelaysFromOne) {
  const auto t = At(2024, 5, 1, 12h, 34min, 56s, 7ms);
  EXPECT_EQ(
      FormatJsonLine(Decode(0x0B), t),
      "{\"byte\":11,\"board\":0,\"relay\":4,\"state\":1,\"time\":\"2024-05-01T12:34:56.007Z\"}\n");
  EXPECT_EQ(FormatJsonLine(Decode(0xF0), t),
            "{\"byte\":240,\"board\":15,\"relay\":1,\"state\":0,\"time\":\"2024-05-01T12:34:56."
            "007Z\"}\n");
}

TEST(BoardFormat, BoardLineShowsEveryRelay) {
  BoardBank bank;
  bank.Apply(Decode(0x09));  // R2 on
  bank.Apply(Decode(0x0F));  // R8 on
  EXPECT_EQ(FormatBoardLine(bank, 0),
            "board 0   R1 off  R2 ON   R3 off  R4 off  R5 off  R6 off  R7 off  R8 ON");
  bank.Apply(Decode(0xF0));
  EXPECT_EQ(FormatBoardLine(bank, 15),
            "board 15  R1 off  R2 off  R3 off  R4 off  R5 off  R6 off  R7 off  R8 off");
  const std::string bold = FormatBoardLine(bank, 0, true);
  EXPECT_NE(bold.find("R2 \x1b[1mON\x1b[0m"), std::string::npos) << bold;
}

TEST(BoardFormat, PlainLineNamesTheByteAndShowsItsBoard) {
  BoardBank bank;
  const RelayCommand c = Decode(0x38);
  bank.Apply(c);
  const std::string line = FormatPlainLine(c, bank, At(2024, 5, 1, 1h, 2min, 3s, 4ms));
  EXPECT_EQ(line.rfind("2024-05-01T01:02:03.004Z  0x38  board 3 R1 on", 0), 0u) << line;
  EXPECT_NE(line.find("| board 3   R1 ON   R2 off"), std::string::npos) << line;
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST(BoardTerminalView, RedrawsInPlaceOverWhatItDrewLast) {
  BoardBank bank;
  TerminalView view;
  const std::string first = view.Redraw(bank, std::nullopt);
  EXPECT_EQ(first.find("\x1b["), first.find("\x1b[2K"));  // no cursor movement on the first draw
  EXPECT_NE(first.find("waiting"), std::string::npos);
  EXPECT_EQ(CountOf(first, "\n"), 1);

  bank.Apply(Decode(0x38));
  const std::string second = view.Redraw(bank, Decode(0x38));
  EXPECT_EQ(second.rfind("\x1b[1F", 0), 0u) << "back over the one line drawn before";
  EXPECT_EQ(CountOf(second, "\n"), 2);
  EXPECT_NE(second.find("board 3 "), std::string::npos);
  EXPECT_NE(second.find("1 byte, last 0x38 = board 3 R1 on"), std::string::npos) << second;

  bank.Apply(Decode(0x0B));
  const std::string third = view.Redraw(bank, Decode(0x0B));
  EXPECT_EQ(third.rfind("\x1b[2F", 0), 0u);
  EXPECT_EQ(CountOf(third, "\n"), 3);
  EXPECT_LT(third.find("board 0 "), third.find("board 3 ")) << "boards in ascending order";
  EXPECT_EQ(CountOf(third, "\x1b[2K"), 3) << "every line cleared before it is drawn";

  view.Detach();
  const std::string fourth = view.Redraw(bank, Decode(0x0B));
  EXPECT_EQ(fourth.find("F"), std::string::npos) << "a detached view starts where the cursor is";
}

// ---- line setting ---------------------------------------------------------------------------

termios Good() {
  termios t{};
  cfmakeraw(&t);
  cfsetspeed(&t, B9600);
  t.c_cflag |= CLOCAL | CREAD;
  return t;
}

struct SettingCase {
  const char* name;
  void (*spoil)(termios&);
  std::vector<std::string> problems;
};

void PrintTo(const SettingCase& c, std::ostream* os) {
  *os << c.name;
}

class BoardLineSettingTest : public testing::TestWithParam<SettingCase> {};

TEST_P(BoardLineSettingTest, NamesWhatDiffers) {
  termios t = Good();
  GetParam().spoil(t);
  EXPECT_EQ(LineSettingProblems(t), GetParam().problems);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, BoardLineSettingTest,
    testing::Values(
        SettingCase{"Right", [](termios&) {}, {}},
        SettingCase{"Speed", [](termios& t) { cfsetspeed(&t, B19200); }, {"19200 bit/s"}},
        SettingCase{"SevenBits",
                    [](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS7; },
                    {"7 data bits"}},
        SettingCase{"EvenParity", [](termios& t) { t.c_cflag |= PARENB; }, {"even parity"}},
        SettingCase{"OddParity", [](termios& t) { t.c_cflag |= PARENB | PARODD; }, {"odd parity"}},
        SettingCase{"TwoStopBits", [](termios& t) { t.c_cflag |= CSTOPB; }, {"2 stop bits"}},
        SettingCase{"Canonical", [](termios& t) { t.c_lflag |= ICANON; }, {"canonical input"}},
        SettingCase{"Echo", [](termios& t) { t.c_lflag |= ECHO; }, {"echo"}},
        SettingCase{
            "OutputProcessing", [](termios& t) { t.c_oflag |= OPOST; }, {"output processing"}},
        SettingCase{"Several",
                    [](termios& t) {
                      cfsetspeed(&t, B115200);
                      t.c_cflag |= CSTOPB;
                      t.c_oflag |= OPOST;
                    },
                    {"115200 bit/s", "2 stop bits", "output processing"}}),
    [](const testing::TestParamInfo<SettingCase>& info) { return std::string(info.param.name); });

TEST(BoardLineSetting, AFreshPseudoTerminalIsNotSetForTheBoard) {
  const auto problems = LineSettingProblems(testing_support::PtyPair().SerialSettings());
  for (const char* p : {"canonical input", "echo", "output processing"}) {
    EXPECT_NE(std::find(problems.begin(), problems.end(), p), problems.end()) << p;
  }
}

class BoardMonitorTest : public testing::Test {
 protected:
  using Clock = LineSettingMonitor::Clock;

  static termios Default() {
    termios t = Good();
    cfsetspeed(&t, B38400);
    t.c_lflag |= ICANON | ECHO;
    t.c_oflag |= OPOST;
    return t;
  }

  std::optional<std::string> At(const termios& t, milliseconds when, bool data = false) {
    return monitor_.Observe(t, data, start_ + when);
  }

  Clock::time_point start_ = Clock::now();
  LineSettingMonitor monitor_{Default(), 300ms};
};

TEST_F(BoardMonitorTest, SaysNothingBeforeAnybodyUsesTheLine) {
  EXPECT_FALSE(At(Default(), 0ms));
  EXPECT_FALSE(At(Default(), 10s));
}

TEST_F(BoardMonitorTest, ARightSettingIsQuietEvenWhenAppliedInSteps) {
  termios half = Default();
  cfsetspeed(&half, B9600);  // first step: the speed, still canonical
  EXPECT_FALSE(At(half, 100ms));
  EXPECT_FALSE(At(half, 350ms));  // not yet settled: changed at 100 ms
  EXPECT_FALSE(At(Good(), 380ms));
  EXPECT_FALSE(At(Good(), 2s));
  EXPECT_FALSE(At(Good(), 3s, true));
}

TEST_F(BoardMonitorTest, WarnsOnceAboutAWrongSettingThatSettled) {
  termios wrong = Good();
  wrong.c_cflag |= PARENB;
  EXPECT_FALSE(At(wrong, 0ms));
  EXPECT_FALSE(At(wrong, 299ms));
  const auto warning = At(wrong, 300ms);
  ASSERT_TRUE(warning);
  EXPECT_NE(warning->find("warning"), std::string::npos);
  EXPECT_NE(warning->find("even parity"), std::string::npos) << *warning;
  EXPECT_FALSE(At(wrong, 1s));
  EXPECT_FALSE(At(wrong, 2s, true));
}

TEST_F(BoardMonitorTest, DataOnAnUnsetLineWarnsAtOnce) {
  const auto warning = At(Default(), 50ms, true);
  ASSERT_TRUE(warning);
  EXPECT_NE(warning->find("38400 bit/s"), std::string::npos) << *warning;
  EXPECT_FALSE(At(Default(), 60ms, true));
}

TEST_F(BoardMonitorTest, ReapplyingTheSameWrongSettingStaysQuiet) {
  termios wrong = Good();
  wrong.c_cflag |= CSTOPB;
  ASSERT_TRUE(At(wrong, 0ms, true));
  // The server reopens the line and applies its setting again in two quick steps.
  termios step = wrong;
  cfsetspeed(&step, B1200);
  EXPECT_FALSE(At(step, 1000ms));
  EXPECT_FALSE(At(wrong, 1100ms));
  EXPECT_FALSE(At(wrong, 2s));
  EXPECT_FALSE(At(wrong, 3s, true));
}

TEST_F(BoardMonitorTest, ADifferentWrongSettingIsReportedAnew) {
  termios wrong = Good();
  wrong.c_cflag |= CSTOPB;
  ASSERT_TRUE(At(wrong, 0ms, true));
  termios other = wrong;
  cfsetspeed(&other, B1200);
  const auto warning = At(other, 1s, true);
  ASSERT_TRUE(warning);
  EXPECT_NE(warning->find("1200 bit/s, 2 stop bits"), std::string::npos) << *warning;
  EXPECT_FALSE(At(other, 2s, true));
}

TEST_F(BoardMonitorTest, ReportsTheReturnToTheRightSettingAndWarnsAgainLater) {
  termios wrong = Good();
  wrong.c_lflag |= ECHO;
  ASSERT_TRUE(At(wrong, 0ms, true));
  const auto back = At(Good(), 1s, true);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->find("warning"), std::string::npos) << *back;
  EXPECT_TRUE(At(wrong, 2s, true));
}

// ---- the link -------------------------------------------------------------------------------

class BoardLinkTest : public testing::Test {
 protected:
  static std::string Target(const std::string& link) {
    return std::filesystem::read_symlink(link).string();
  }

  testing_support::TempDir temp_{"vexanet-board"};
  const std::filesystem::path dir_ = temp_.path();
};

TEST_F(BoardLinkTest, CreatesReplacesAndRemovesOnlyItsOwnLink) {
  const std::string link = (dir_ / "com1").string();
  EXPECT_EQ(MakeLink(link, "/dev/pts/101"), "");
  EXPECT_EQ(Target(link), "/dev/pts/101");

  EXPECT_EQ(MakeLink(link, "/dev/pts/102"), "") << "an old link is replaced";
  EXPECT_EQ(Target(link), "/dev/pts/102");

  EXPECT_FALSE(RemoveLinkIfOurs(link, "/dev/pts/101")) << "no longer ours";
  EXPECT_FALSE(RemoveLinkIfOurs(link, "/dev/pts/10"));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_TRUE(RemoveLinkIfOurs(link, "/dev/pts/102"));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 0) << "no leftovers";
}

TEST_F(BoardLinkTest, RefusesToReplaceAFileOrADirectory) {
  const std::string file = (dir_ / "config").string();
  std::ofstream(file) << "keep me";
  const std::string err = MakeLink(file, "/dev/pts/101");
  EXPECT_NE(err.find("not a symbolic link"), std::string::npos) << err;
  std::ifstream in(file);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "keep me");
  EXPECT_FALSE(RemoveLinkIfOurs(file, "/dev/pts/101"));
  EXPECT_TRUE(std::filesystem::is_regular_file(file));

  EXPECT_NE(MakeLink(dir_.string(), "/dev/pts/101"), "");
  EXPECT_TRUE(std::filesystem::is_directory(dir_));
}

}  // namespace
