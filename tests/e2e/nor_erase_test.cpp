// Chip and sector erase against the emulated board, run in this process.
// Every run passes -T so that a failure costs a short wait, not 120 s.
#include <gtest/gtest.h>

#include "tests/e2e/nor_fixture.h"

namespace nortest {
namespace {

class NorErase : public testing::Test {
 protected:
  TempDir dir;
  const std::vector<uint8_t> before = random_bytes(0x40000, 5);
};

TEST_F(NorErase, ChipEraseClearsTheFlashAndReportsWithoutReset) {
  NorBoard board(dir.path(), {}, before);
  const auto r = run_in_process({"-p", board.port(), "-e", "chip", "-i", "3", "-T", "2000"});
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, "erase success\r");
  EXPECT_TRUE(board.received("ceras 0 3")) << board.transcript();
  EXPECT_EQ(board.flash(0, before.size()), std::vector<uint8_t>(before.size(), 0xFF));
}

// The erase needs no handshake: it talks at 115200.
TEST_F(NorErase, EraseSkipsTheHandshake) {
  NorBoard board(dir.path());
  const auto r = run_in_process({"-p", board.port(), "-e", "chip", "-T", "2000", "-b", "1500000"});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(board.received("ping"));
  EXPECT_EQ(board.stats().device_baud, 115200);
}

// Addresses typed as memory-mapped locations lose their upper bits; only
// [start, end) is erased.
TEST_F(NorErase, SectorEraseReducesAddressesAndErasesTheRangeOnly) {
  NorBoard board(dir.path(), {}, before);
  const auto r = run_in_process({"-p", board.port(), "-e", "0x08010000", "0x08020000", "-i", "2", "-T", "2000"});
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, "sector erase from 10000 to 20000\n\r");
  EXPECT_TRUE(board.received("seras 10000 10000 0 2")) << board.transcript();
  auto expected = before;
  std::fill(expected.begin() + 0x10000, expected.begin() + 0x20000, 0xFF);
  EXPECT_TRUE(board.flash(0, before.size()) == expected);
}

TEST_F(NorErase, SectorEraseWithResetPrintsTheSuccessLine) {
  NorBoard board(dir.path(), {}, before);
  const auto r = run_in_process({"-p", board.port(), "-e", "0x1000", "0x3000", "-T", "2000", "-r"});
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, "sector erase from 1000 to 3000\n\rerase success\r");
  EXPECT_TRUE(board.received("disc"));
}

TEST_F(NorErase, NoAnswerFailsWithinTheGivenTimeout) {
  boardsim::BoardConfig cfg;
  cfg.faults.silent_after_commands = 0;
  NorBoard board(dir.path(), cfg, before);
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"-e", "chip", "-T", "300"}, {"-e", "0x1000", "0x3000", "-T", "300"}}) {
    std::vector<std::string> a = {"-p", board.port()};
    a.insert(a.end(), args.begin(), args.end());
    const auto started = std::chrono::steady_clock::now();
    const auto r = run_in_process(a);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(r.status, -1);
    const std::string lead = args[1] == "chip" ? "" : "sector erase from 1000 to 3000\n\r";
    EXPECT_OUT(r.out, lead + "ceras cmd fail\n\rerase fail\r");
    EXPECT_LT(took, std::chrono::seconds(3));
  }
  EXPECT_TRUE(board.flash(0, before.size()) == before);
}

// The board takes its time to erase; the -T value is the bound that counts.
TEST_F(NorErase, SlowEraseWithinTheTimeoutSucceeds) {
  boardsim::BoardConfig cfg;
  cfg.faults.erase_ms = 300;
  NorBoard board(dir.path(), cfg);
  const auto ok = run_in_process({"-p", board.port(), "-e", "chip", "-T", "2000"});
  EXPECT_EQ(ok.status, 0);
  const auto late = run_in_process({"-p", board.port(), "-e", "chip", "-T", "100"});
  EXPECT_EQ(late.status, -1);
  EXPECT_OUT(late.out, "ceras cmd fail\n\rerase fail\r");
}

// An end not above the start (after the reduction) would reach the board as
// a huge length; such a range is refused before the port is opened.
TEST_F(NorErase, RangesWithoutLengthAreRefusedBeforeOpening) {
  NorBoard board(dir.path(), {}, before);
  for (const auto &range : std::vector<std::pair<std::string, std::string>>{
           {"0x3000", "0x1000"}, {"0x1000", "0x1000"}, {"0x08001000", "0x1000"}, {"0x1000", "0x08000000"}}) {
    const auto r = run_in_process({"-p", board.port(), "-e", range.first, range.second, "-T", "300"});
    EXPECT_EQ(r.status, -1) << range.first << " " << range.second;
  }
  EXPECT_EQ(board.stats().opens, 0);
  EXPECT_TRUE(board.flash(0, before.size()) == before);
}

TEST_F(NorErase, EraseDeviceRefusesAnEmptyRangeItself) {
  NorBoard board(dir.path(), {}, before);
  reset_option_globals();
  g_cmd_option.ce_timeout = 300;
  const UARTHDL hdl = uart_open(board.port().c_str());
  ASSERT_NE(hdl, 0);
  testing::internal::CaptureStdout();
  const int rc = erase_device(hdl, 1, 0x08002000, 0x1000, 0);
  const std::string out = testing::internal::GetCapturedStdout();
  uart_close(hdl);
  EXPECT_EQ(rc, -1);
  EXPECT_OUT(out, "sector erase from 2000 to 1000\n\rceras cmd fail\n\r");
  EXPECT_EQ(board.transcript().find("seras"), std::string::npos) << board.transcript();
  EXPECT_TRUE(board.flash(0, before.size()) == before);
}

}  // namespace
}  // namespace nortest
